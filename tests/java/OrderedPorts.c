/* Preloaded with ThreadSanitizer into a JVM (make test-thread): a port is
   used by one thread at a time, and a Java program orders the calls on a port
   with its own locks, futures and joins, which the sanitizer cannot see in a
   JVM that is not built with it. Each call of the C interface on a port is
   made here to acquire the port before it and release it after it, so the
   order the caller keeps is the order the sanitizer sees. Anything shared
   between ports (the bridge's field cache, the USB library's lists) is still
   judged as it is. */
#define _GNU_SOURCE
#include <dlfcn.h>

void __tsan_acquire(void* address);
void __tsan_release(void* address);

/* The library's own function: the JVM loads the library (with the bridge)
   into a scope of its own, where RTLD_NEXT does not look. */
static void* library_function(const char* name) {
    static void* library;
    void* found = __atomic_load_n(&library, __ATOMIC_ACQUIRE);
    if (found == 0) {
        found = dlopen("libQuenvar.so.1", RTLD_LAZY | RTLD_NOLOAD);
        __atomic_store_n(&library, found, __ATOMIC_RELEASE);
    }
    return found != 0 ? dlsym(found, name) : 0;
}

#define NEXT(name, type) ((type)library_function(#name))

void* OpenPort(const char* portName, const char* portSettings, unsigned int timeoutMs) {
    void* port = NEXT(OpenPort, void* (*)(const char*, const char*, unsigned int))(portName, portSettings, timeoutMs);
    if (port != 0) __tsan_release(port);
    return port;
}

int ClosePort(void* port) {
    if (port != 0) __tsan_acquire(port);
    return NEXT(ClosePort, int (*)(void*))(port);
}

#define ORDERED(name, parameters, arguments, type)     \
    int name parameters {                              \
        if (port != 0) __tsan_acquire(port);           \
        const int result = NEXT(name, type) arguments; \
        if (port != 0) __tsan_release(port);           \
        return result;                                 \
    }

ORDERED(ReadPort, (void* port, unsigned char* buf, unsigned int size, unsigned int* read), (port, buf, size, read),
        int (*)(void*, unsigned char*, unsigned int, unsigned int*))
ORDERED(WritePort, (void* port, const unsigned char* buf, unsigned int size, unsigned int* written),
        (port, buf, size, written), int (*)(void*, const unsigned char*, unsigned int, unsigned int*))
ORDERED(GetOnlineStatus, (void* port, unsigned int* online), (port, online), int (*)(void*, unsigned int*))
ORDERED(GetParsedStatus, (void* port, void* status), (port, status), int (*)(void*, void*))
ORDERED(GetParsedStatusEx, (void* port, void* status, unsigned int version), (port, status, version),
        int (*)(void*, void*, unsigned int))
ORDERED(BeginCheckedBlock, (void* port, void* status), (port, status), int (*)(void*, void*))
ORDERED(BeginCheckedBlockEx, (void* port, void* status, unsigned int version), (port, status, version),
        int (*)(void*, void*, unsigned int))
ORDERED(EndCheckedBlock, (void* port, void* status), (port, status), int (*)(void*, void*))
ORDERED(EndCheckedBlockEx, (void* port, void* status, unsigned int version), (port, status, version),
        int (*)(void*, void*, unsigned int))
ORDERED(ResetDevice, (void* port), (port), int (*)(void*))
