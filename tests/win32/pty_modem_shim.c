/* Test-only LD_PRELOAD library for running the Win32 runtime under Wine on pseudo-terminals.
 *
 * A pseudo-terminal has no modem lines: TIOCMGET and friends fail with ENOTTY, so Wine cannot
 * read or set DTR and RTS on it. This library answers those four requests for any tty that
 * rejects them, with lines kept per device as a null-modem cable would show them: DTR and RTS
 * as last set (both on at first, as a real port after opening), CTS, DSR and CD always on. Every
 * other request, and every device that has modem lines, goes to the real ioctl. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

enum { kLines = 64, kOutputs = TIOCM_DTR | TIOCM_RTS, kInputs = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR };

static struct {
    dev_t device;
    int bits;
} lines[kLines];
static int used;
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;

static int* LinesOf(dev_t device) {
    for (int i = 0; i < used; ++i) {
        if (lines[i].device == device) return &lines[i].bits;
    }
    if (used == kLines) return 0;
    lines[used].device = device;
    lines[used].bits = kOutputs | kInputs;
    return &lines[used++].bits;
}

typedef int (*Ioctl)(int, unsigned long, ...);

static int Answer(Ioctl real, int fd, unsigned long request, void* arg) {
    const int saved = errno;
    const int result = real(fd, request, arg);
    if (result != -1 || (errno != ENOTTY && errno != EINVAL) || !arg) return result;
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC) {
        return result;
    }
    struct termios tio;
    struct stat st;
    if (tcgetattr(fd, &tio) != 0 || fstat(fd, &st) != 0) return result;

    pthread_mutex_lock(&mutex);
    int* bits = LinesOf(st.st_rdev);
    if (bits) {
        int* value = (int*)arg;
        if (request == TIOCMGET) {
            *value = *bits;
        } else if (request == TIOCMSET) {
            *bits = (*value & kOutputs) | kInputs;
        } else if (request == TIOCMBIS) {
            *bits |= *value & kOutputs;
        } else {
            *bits &= ~(*value & kOutputs);
        }
    }
    pthread_mutex_unlock(&mutex);
    if (!bits) return result;
    errno = saved;
    return 0;
}

/* Defines NAME in place of the C library's, which it looks up at the first call. */
#define INTERPOSE(name)                                   \
    int name(int fd, unsigned long request, ...) {        \
        static Ioctl real;                                \
        if (!real) real = (Ioctl)dlsym(RTLD_NEXT, #name); \
        va_list ap;                                       \
        va_start(ap, request);                            \
        void* arg = va_arg(ap, void*);                    \
        va_end(ap);                                       \
        return Answer(real, fd, request, arg);            \
    }

INTERPOSE(ioctl)
#if __TIMESIZE == 32
/* A 32-bit program built with 64-bit time_t (as Wine's 32-bit side is) calls this name. */
INTERPOSE(__ioctl_time64)
#endif
