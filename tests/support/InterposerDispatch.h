/* Between the C entry points that replace libc's (Interposer.c) and the C++
   registry of fake devices (FakeDevice.cpp). Each sets *handled to 1 when a
   fake device took the call; otherwise the entry point calls libc. */
#pragma once

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

int testsupport_open(const char* path, int flags, int* handled);
int testsupport_ioctl(int fd, unsigned long request, void* argument, int* handled);
ssize_t testsupport_read(int fd, void* buffer, size_t size, int* handled);
ssize_t testsupport_write(int fd, const void* buffer, size_t size, int* handled);
void testsupport_closed(int fd);

#ifdef __cplusplus
}
#endif
