/* The libc entry points a test process replaces so that named test devices
   can be served from the test itself (see FakeDevice.h). The library under
   test and the USB library call these as they would call libc; anything that
   is not a registered fake device goes on to libc unchanged. */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include "tests/support/InterposerDispatch.h"

#define REAL(name, type)                                           \
    static type real_##name(void) {                                \
        static type function;                                      \
        type found = __atomic_load_n(&function, __ATOMIC_ACQUIRE); \
        if (found == NULL) {                                       \
            found = (type)dlsym(RTLD_NEXT, #name);                 \
            __atomic_store_n(&function, found, __ATOMIC_RELEASE);  \
        }                                                          \
        return found;                                              \
    }

typedef int (*open_type)(const char*, int, ...);
typedef int (*openat_type)(int, const char*, int, ...);
typedef int (*ioctl_type)(int, unsigned long, ...);
typedef ssize_t (*read_type)(int, void*, size_t);
typedef ssize_t (*write_type)(int, const void*, size_t);
typedef int (*close_type)(int);
typedef int (*tcdrain_type)(int);
typedef int (*tcsetattr_type)(int, int, const struct termios*);
typedef ssize_t (*send_type)(int, const void*, size_t, int);

REAL(open, open_type)
REAL(open64, open_type)
REAL(openat, openat_type)
REAL(openat64, openat_type)
REAL(ioctl, ioctl_type)
REAL(read, read_type)
REAL(write, write_type)
REAL(close, close_type)
REAL(tcdrain, tcdrain_type)
REAL(tcsetattr, tcsetattr_type)
REAL(send, send_type)

static mode_t mode_argument(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(arguments, int) : 0;
}

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    int handled = 0;
    const int fd = testsupport_open(path, flags, &handled);
    return handled ? fd : real_open()(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    int handled = 0;
    const int fd = testsupport_open(path, flags, &handled);
    return handled ? fd : real_open64()(path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    int handled = 0;
    const int fd = testsupport_open(path, flags, &handled); /* registered paths are absolute */
    return handled ? fd : real_openat()(directory, path, flags, mode);
}

int openat64(int directory, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    int handled = 0;
    const int fd = testsupport_open(path, flags, &handled); /* registered paths are absolute */
    return handled ? fd : real_openat64()(directory, path, flags, mode);
}

/* The checked forms a fortified build calls. */
int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open64(path, flags); }
int __openat_2(int directory, const char* path, int flags) { return openat(directory, path, flags); }
int __openat64_2(int directory, const char* path, int flags) { return openat64(directory, path, flags); }

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    int handled = 0;
    const int result = testsupport_ioctl(fd, request, argument, &handled);
    return handled ? result : real_ioctl()(fd, request, argument);
}

ssize_t read(int fd, void* buffer, size_t size) {
    int handled = 0;
    const ssize_t result = testsupport_read(fd, buffer, size, &handled);
    return handled ? result : real_read()(fd, buffer, size);
}

ssize_t write(int fd, const void* buffer, size_t size) {
    int handled = 0;
    const ssize_t result = testsupport_write(fd, buffer, size, &handled);
    return handled ? result : real_write()(fd, buffer, size);
}

/* libc drives a terminal with ioctls of its own, which never pass through the
   one above: a device sees these calls as the requests the kernel gets. */

/* TCSBRK with argument 1. */
int tcdrain(int fd) {
    int handled = 0;
    const int result = testsupport_ioctl(fd, TCSBRK, (void*)1, &handled);
    return handled ? result : real_tcdrain()(fd);
}

/* TCSETS, TCSETSW or TCSETSF (TCSANOW, TCSADRAIN, TCSAFLUSH), with libc's
   struct termios as the argument. */
int tcsetattr(int fd, int when, const struct termios* attributes) {
    int handled = 0;
    const int result = testsupport_ioctl(fd, TCSETS + (unsigned long)when, (void*)attributes, &handled);
    return handled ? result : real_tcsetattr()(fd, when, attributes);
}

int close(int fd) {
    /* Forgotten before the real close, so a descriptor number the system hands
       out again at once is never mistaken for the device's. */
    testsupport_closed(fd);
    return real_close()(fd);
}

/* A network printer's data connection that takes only a few bytes a call, as
   serial and USB ports do, for tests of a caller's partial-write loop (the
   Java and Python APIs). Set from the environment when the library is loaded
   (QUENVAR_TEST_SEND_TAKES, QUENVAR_TEST_SEND_LARGEST_OFFER), or at any time
   through the variables themselves:
     quenvar_test_send_takes          -1: send() untouched; n >= 0: every send
                                      on a connection to port 9100 takes at
                                      most n bytes (0: none at all)
     quenvar_test_send_largest_offer  -1: any offer; else a larger offer fails
                                      with EMSGSIZE, so a caller that hands
                                      over far more than a port takes shows. */
int quenvar_test_send_takes = -1;
long quenvar_test_send_largest_offer = -1;

__attribute__((constructor)) static void read_send_settings(void) {
    const char* takes = getenv("QUENVAR_TEST_SEND_TAKES");
    const char* largest = getenv("QUENVAR_TEST_SEND_LARGEST_OFFER");
    if (takes != NULL && *takes != '\0') quenvar_test_send_takes = atoi(takes);
    if (largest != NULL && *largest != '\0') quenvar_test_send_largest_offer = atol(largest);
}

static int to_printer_data_port(int fd) {
    struct sockaddr_in peer;
    socklen_t length = sizeof peer;
    return getpeername(fd, (struct sockaddr*)&peer, &length) == 0 && peer.sin_family == AF_INET &&
           ntohs(peer.sin_port) == 9100;
}

ssize_t send(int fd, const void* data, size_t size, int flags) {
    const int takes = __atomic_load_n(&quenvar_test_send_takes, __ATOMIC_RELAXED);
    const long largest = __atomic_load_n(&quenvar_test_send_largest_offer, __ATOMIC_RELAXED);
    if ((takes < 0 && largest < 0) || !to_printer_data_port(fd)) return real_send()(fd, data, size, flags);
    if (largest >= 0 && size > (size_t)largest) {
        errno = EMSGSIZE;
        return -1;
    }
    if (takes == 0) return 0;
    return real_send()(fd, data, takes > 0 && size > (size_t)takes ? (size_t)takes : size, flags);
}
