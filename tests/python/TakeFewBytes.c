/* Preloaded (LD_PRELOAD) into the interpreter of the Python test of partial
   writes. While quenvar_test_send_takes is 0 or more, every send() on a
   connection to a printer's data port 9100 takes at most that many bytes:
   a port that takes a few bytes a call, as serial and USB ports do, or with
   0 one that takes nothing at all. At -1 (the start) send() is left alone.
   The test sets the variable through ctypes. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

enum { kDataPort = 9100 };

int quenvar_test_send_takes = -1;

typedef ssize_t (*send_type)(int, const void*, size_t, int);

static send_type real_send(void) {
    static send_type function;
    send_type found = __atomic_load_n(&function, __ATOMIC_ACQUIRE);
    if (found == NULL) {
        found = (send_type)dlsym(RTLD_NEXT, "send");
        __atomic_store_n(&function, found, __ATOMIC_RELEASE);
    }
    return found;
}

static int to_data_port(int fd) {
    struct sockaddr_in peer;
    socklen_t length = sizeof peer;
    return getpeername(fd, (struct sockaddr*)&peer, &length) == 0 && peer.sin_family == AF_INET &&
           ntohs(peer.sin_port) == kDataPort;
}

ssize_t send(int fd, const void* data, size_t size, int flags) {
    const int takes = __atomic_load_n(&quenvar_test_send_takes, __ATOMIC_RELAXED);
    if (takes < 0 || !to_data_port(fd)) return real_send()(fd, data, size, flags);
    if (takes == 0) return 0;
    return real_send()(fd, data, size < (size_t)takes ? size : (size_t)takes, flags);
}
