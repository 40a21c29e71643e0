/*
 * modemctl: the router's modem and WAN manager.
 *
 * The program exports these operations by name from its dynamic symbol table,
 * so the router's other tools can look them up in the running binary. Modem
 * slots count from 0; out-parameters are caller-owned buffers of at least 64
 * bytes (texts are cut at 63 characters).
 */
#ifndef MODEMCTL_H
#define MODEMCTL_H

#ifdef __cplusplus
extern "C" {
#endif

/* The program is built with hidden visibility; only these stay visible. */
#define MODEMCTL_API __attribute__((visibility("default")))

/* ---- interface table and failover slaves --------------------------------- */

/* Writes /etc/if_table_list; 0, or -1 when the file cannot be created. */
MODEMCTL_API int cur_if_table_list_init(void);
/* Priority and type of the first table line containing ifname; 0, or -1. */
MODEMCTL_API int cur_if_table_get_byif(const char *ifname, char *priority, char *type);
/* Sets the modem slots up as failover slaves when modem.failover.wan_type is 2. */
MODEMCTL_API int cur_slave_ifs_detect(const char *wan_type, const char *backup,
                                      const char *stop_word);
/* Writes /tmp/.slave_if_list for the selected WAN and sets the backup modem up. */
MODEMCTL_API int cur_slave_fill_selected(const char *selected);

/* ---- device identification and configuration ------------------------------ */

MODEMCTL_API int modem_get_device(char *out, int slot);
MODEMCTL_API int modem_get_if(char *out, int slot);
MODEMCTL_API int modem_get_atif(char *out, int slot);
MODEMCTL_API int modem_get_dialif(char *out, int slot);
MODEMCTL_API int modem_get_type(char *out, int slot);
MODEMCTL_API int modem_get_name(char *out);
/* 1: built-in defaults written (no description file); -1: no token; else 0. */
MODEMCTL_API int modem_fix_device(void);
MODEMCTL_API int modem_init(void);
/* 0 when the module firmware is at least 3.5.23, -1 otherwise. */
MODEMCTL_API int modem_check_version(const char *id);
MODEMCTL_API int modem_dev_radio_type_get(char *out, int slot);
MODEMCTL_API int modem_dev_hwreset_atcmd(int slot);
MODEMCTL_API int modem_set_radio_type(int slot, const char *radio_type);
/* Writes the slot's QMI network file; -2 when it cannot be created. */
MODEMCTL_API int modem_renewconf(int slot);
/* 0 when some slot has an APN, 1 when none has. */
MODEMCTL_API int modem_is_apn_empty(void);

/* ---- WAN bring-up and tear-down -------------------------------------------- */

MODEMCTL_API int modem_start(int slot, int background);
MODEMCTL_API int net_wan_if_up(int start_auto);
MODEMCTL_API int net_wan_if_down(void);

#ifdef __cplusplus
}
#endif

#endif /* MODEMCTL_H */
