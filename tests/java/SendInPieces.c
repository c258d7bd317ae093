/* Preloaded (LD_PRELOAD) into the JVM of the Java test that needs a port which
   takes few bytes a call: every send() on a connection to a printer's data
   port 9100 takes at most 64 bytes, as the USB ports do, and a single offer of
   more than 64 KiB fails with EMSGSIZE, so a caller that hands the port its
   whole job on every call shows up as a failed write instead of a slow one.
   Every other send goes to libc unchanged. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

enum { kPiece = 64, kLargestOffer = 64 * 1024, kDataPort = 9100 };

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
    if (!to_data_port(fd)) return real_send()(fd, data, size, flags);
    if (size > kLargestOffer) {
        errno = EMSGSIZE;
        return -1;
    }
    return real_send()(fd, data, size < kPiece ? size : kPiece, flags);
}
