/*
 * The router's platform service libraries (libplatform, libsystem, libutils),
 * declared as this system's programs call them: shared values, modem control
 * and WAN interface bookkeeping. On this machine a stand-in library of the same
 * names is linked instead (see DESIGN.md).
 *
 * Modem indexes count from 0. Texts are NUL-terminated.
 */
#ifndef PLATFORM_H
#define PLATFORM_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(PLATFORM_BUILD)
#define PLATFORM_API __attribute__((visibility("default")))
#else
#define PLATFORM_API
#endif

/* ---- shared values (the section is "common") ------------------------------ */

/* The value text, or NULL when absent. The text stays valid until the calling
 * thread's next call of a databoard_get* function. */
PLATFORM_API char *databoard_getvalue(const char *section, const char *name);
/* Stores the value for databoard_getvalue; 0 on success, -1 on failure. */
PLATFORM_API int databoard_setvalue(const char *section, const char *name, const char *value);
/* As databoard_setvalue, and into the shared segment as well. */
PLATFORM_API int databoard_setvalue_withshm(const char *section, const char *name,
                                            const char *value);
/* Called as databoard_getshmvalue_g(0, segment, section, name, 0, 1): the value
 * read from the given area of the segment (NULL segment: attach it), NULL when
 * absent. Same lifetime as databoard_getvalue's text. */
PLATFORM_API char *databoard_getshmvalue_g(int area, void *segment, const char *section,
                                           const char *name, int flags, int copy);
/* Prints every used slot of the shared segment to standard output. */
PLATFORM_API void SHMCOMMON_Printall(void);
/* Prints the GPS shared table to standard output. */
PLATFORM_API void GPS_SHMPrintall(int flags);

/* ---- modem and WAN services ------------------------------------------------ */

/* 0 when the modem is usable. */
PLATFORM_API int modem_check_valid(int modem);
/* 0 when the modem's configured type is the word ("qmi", "atdial"). */
PLATFORM_API int modem_check_type(int modem, const char *type);
/* 1 when the modem is stopped. */
PLATFORM_API int modem_status(int modem);
PLATFORM_API int modem_stop(int modem, int flags);
/* Fills a 32-byte buffer with the postfix of the modem's dial interface
 * (empty when there is none). */
PLATFORM_API int modem_get_dialif_postfix(char *postfix, int modem);
PLATFORM_API int modem_report_start_atcmd(const char *ifname, int flags);
/* Registers the interface as a WAN profile:
 * (ifname, "dhcp", test site, fill-gateway word, profile, "", "", ""). */
PLATFORM_API int net_wan_if_set_profile(const char *ifname, const char *proto,
                                        const char *test_site, const char *fill_gw, int profile,
                                        const char *extra1, const char *extra2, const char *extra3);
PLATFORM_API int net_wan_clear_old_ip(const char *ifname);
/* Records the interface as the current WAN (1) or not (0):
 * (ifname, 0 or 1, "", "", "", "", "", flag text). */
PLATFORM_API int set_cur_wan_info(const char *ifname, int current, const char *extra1,
                                  const char *extra2, const char *extra3, const char *extra4,
                                  const char *extra5, const char *flag);
PLATFORM_API int cur_valid_if_init(const char *list);
/* Space-separated interface list, or empty. */
PLATFORM_API int cur_slave_ifs_init(const char *list);

/* Removes CR and LF characters of text in place. */
PLATFORM_API void striprn(char *text);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_H */
