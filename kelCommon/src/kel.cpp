/*
 * kel.cpp - platform utilities shared by the main programs: the platform
 * root, the device record, ticks and clock, the frame buffer device, shell
 * commands, process checks, the configuration and serial number files.
 *
 * Every board path goes through kelRootPath, so with KEL_ROOT set the
 * programs live entirely inside a sandbox directory.
 */
#include "kel.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/times.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define KEL_ROOT_ENV "KEL_ROOT"

const char *kelRootDir(void)
{
    const char *root = getenv(KEL_ROOT_ENV);
    return root ? root : "";
}

INT32 kelRootPath(const char *boardPath, char *buf, UINT32 bufLen)
{
    if (boardPath == NULL || buf == NULL || bufLen == 0) {
        return -1;
    }
    int n = snprintf(buf, bufLen, "%s%s", kelRootDir(), boardPath);
    if (n < 0 || (UINT32)n >= bufLen) {
        buf[0] = '\0';
        return -1;
    }
    return n;
}

void kelSleep(INT32 ms)
{
    if (ms < 0) {
        return;
    }
    usleep((useconds_t)ms * 1000);
}

/* Conversion of the times() counter to milliseconds, fixed on first use.
 * Two threads may race here; both compute the same values. */
static long tickRate;
static UINT32 tickFactor;

UINT32 kelGetTick(void)
{
    if (tickRate <= 0) {
        long tps = sysconf(_SC_CLK_TCK);
        if (tps <= 0) {
            tps = 100;
        }
        tickFactor = (1000 % tps == 0) ? (UINT32)(1000 / tps) : 0;
        tickRate = tps;
    }
    struct tms t;
    UINT32 counter = (UINT32)times(&t);
    if (tickFactor != 0) {
        return counter * tickFactor;
    }
    return (UINT32)(((UINT64)counter * 1000u) / (UINT64)tickRate);
}

UINT64 kelGetRTCTime(void)
{
    return (UINT64)(INT64)time(NULL);
}

INT32 kelExecSysCmd(const char *cmd)
{
    if (cmd == NULL) {
        return -1;
    }
    int status = system(cmd);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return 1;
}
