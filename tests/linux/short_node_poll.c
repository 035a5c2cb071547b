/*
 * Preloaded into a test's process: the node polls that the library sends from the
 * KORVAL_TEST_SHORT_POLL-th on (counting from 1) leave one byte short, as to a gateway whose
 * firmware cannot take them whole. Every other send is the system's.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/types.h>

enum { POLL_LENGTH = 9, FUNCTION_CODE = 7, SUB_FUNCTION = 8, CUSTOM_FUNCTION = 100 };

static atomic_long polls;

ssize_t send(int fd, const void *buf, size_t len, int flags) {
    ssize_t (*system_send)(int, const void *, size_t, int);
    *(void **)&system_send = dlsym(RTLD_NEXT, "send");
    const unsigned char *bytes = buf;
    if (len == POLL_LENGTH && bytes[FUNCTION_CODE] == CUSTOM_FUNCTION && bytes[SUB_FUNCTION] == 1) {
        const char *from = getenv("KORVAL_TEST_SHORT_POLL");
        if (from != NULL && atomic_fetch_add(&polls, 1) + 1 >= atol(from))
            return system_send(fd, buf, len - 1, flags);
    }
    return system_send(fd, buf, len, flags);
}
