/* Test seam preloaded into a program under test: records every termios
 * setting it applies (the pseudo-terminals of the tests keep only part of
 * the control flags, so character size and parity are checked here). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>

typedef int (*tcsetattr_fn)(int, int, const struct termios *);

int tcsetattr(int fd, int action, const struct termios *t) {
    static tcsetattr_fn real;
    const char *path = getenv("TERMIOS_PROBE");
    if (!real) real = (tcsetattr_fn)dlsym(RTLD_NEXT, "tcsetattr");
    if (path && t) {
        FILE *f = fopen(path, "a");
        if (f) {
            fprintf(f, "cflag=%o iflag=%o oflag=%o lflag=%o ospeed=%u ispeed=%u\n",
                    (unsigned)t->c_cflag, (unsigned)t->c_iflag, (unsigned)t->c_oflag,
                    (unsigned)t->c_lflag, (unsigned)cfgetospeed(t), (unsigned)cfgetispeed(t));
            fclose(f);
        }
    }
    return real ? real(fd, action, t) : -1;
}
