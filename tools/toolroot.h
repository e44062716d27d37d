/*
 * toolroot.h - platform root for the bench tools.
 *
 * The bench tools share no code with the system, so they carry their own
 * copy of the one rule every program follows for board paths: the path is
 * prefixed with the environment variable KEL_ROOT when it is set and not
 * empty. Off the board this points the tools at the virtual board's
 * sandbox; on the board KEL_ROOT is unset and the paths stay as they are.
 * Like every program they also make sure descriptors 0, 1 and 2 are open
 * before they open anything else.
 */
#ifndef KEL_TOOL_ROOT_H
#define KEL_TOOL_ROOT_H

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#define TOOL_ROOT_ENV "KEL_ROOT"
#define TOOL_PATH_MAX 4096

/* Writes the host path of `boardPath` into `buf`. Returns the length
 * written, or -1 when it does not fit `bufLen` bytes. */
static inline int toolRootPath(const char *boardPath, char *buf, size_t bufLen)
{
    if (boardPath == NULL || buf == NULL || bufLen == 0) {
        return -1;
    }
    const char *root = getenv(TOOL_ROOT_ENV);
    if (root == NULL) {
        root = "";
    }
    int n = snprintf(buf, bufLen, "%s%s", root, boardPath);
    if (n < 0 || (size_t)n >= bufLen) {
        buf[0] = '\0';
        return -1;
    }
    return n;
}

/* Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
 * a device or file opened later never becomes standard input or output.
 * Returns 0, or -1 when /dev/null cannot be opened. */
static inline int toolEnsureStdDescriptors(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        int got = open("/dev/null", O_RDWR);
        if (got < 0) {
            return -1;
        }
        if (got != fd) {
            int rc = dup2(got, fd);
            close(got);
            if (rc < 0) {
                return -1;
            }
        }
    }
    return 0;
}

#endif /* KEL_TOOL_ROOT_H */
