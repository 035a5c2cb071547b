/*
 * A Linux host program written against canlib.h and linked with -lcanlib, so that it loads
 * libcanlib.so.1 by its soname as any C program would. The tests run it with different
 * environments and read what it prints.
 *
 *   soname_host open MS   opens channel 0, prints "open <status>", waits up to MS milliseconds
 *                         for a frame, prints each as "frame <id hex> <dlc> <bytes hex>" until
 *                         none has come for 300 ms (a node poll's heartbeats come together),
 *                         and closes
 *   soname_host trace     makes one traced call (canGetErrorText for -2)
 *   soname_host stop      calls an unsupported function (kvBeep), prints "kvBeep <status>"
 *   soname_host refuse    writes a frame the gateway cannot carry (an NMT command, identifier
 *                         0), prints "canWrite <status>"
 */
#include "canlib.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { QUIET_MS = 300 };

static unsigned long long milliseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000u + (unsigned long long)now.tv_nsec / 1000000u;
}

static int openAndListen(unsigned ms) {
    canInitializeLibrary();
    const canHandle handle = canOpenChannel(0, 0);
    printf("open %d\n", handle);
    fflush(stdout);
    if (handle < 0)
        return 1;
    unsigned long long end = milliseconds() + ms;
    while (milliseconds() < end) {
        int32_t id = 0;
        uint8_t data[8] = {0};
        uint32_t dlc = 0, flag = 0, time = 0;
        if (canReadWait(handle, &id, data, &dlc, &flag, &time, 50) != canOK)
            continue;
        printf("frame %03X %u", (unsigned)id, dlc);
        for (uint32_t i = 0; i < dlc && i < sizeof data; ++i)
            printf(" %02X", data[i]);
        printf("\n");
        fflush(stdout);
        end = milliseconds() + QUIET_MS;
    }
    return canClose(handle) == canOK ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "open") == 0)
        return openAndListen((unsigned)strtoul(argv[2], NULL, 10));
    if (argc == 2 && strcmp(argv[1], "trace") == 0) {
        char text[32];
        return canGetErrorText(-2, text, sizeof text) == canOK ? 0 : 1;
    }
    if (argc == 2 && strcmp(argv[1], "stop") == 0) {
        printf("kvBeep %d\n", kvBeep());
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "refuse") == 0) {
        const uint8_t startAllNodes[2] = {0x01, 0x00};
        printf("canWrite %d\n", canWrite(0, 0x000, startAllNodes, 2, canMSG_STD));
        return 0;
    }
    fprintf(stderr, "usage: soname_host open MS | trace | stop | refuse\n");
    return 2;
}
