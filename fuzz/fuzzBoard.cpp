/*
 * fuzzBoard.cpp - the virtual board of the fuzz targets and their shared
 * helpers (see fuzzBoard.h).
 */
#include "fuzzBoard.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kel.h"

#ifndef KEL_FUZZ_BIN_DIR
#error "KEL_FUZZ_BIN_DIR (where kelvboard is built) must be defined by the build"
#endif

#define FUZZ_BOARD_TEMPLATE "/tmp/kelfuzz.XXXXXX"
#define FUZZ_PATH_SIZE 1024
#define FUZZ_DRAIN_TEXT 64

/* Capability numbers of the clock and reboot rights (linux/capability.h). */
#define FUZZ_CAP_SYS_BOOT 22
#define FUZZ_CAP_SYS_TIME 25

static const char fuzzQueueLetters[] = {'R', 'T', 'F', 'E', 'I'};

static char fuzzRoot[FUZZ_PATH_SIZE];
static INT32 fuzzBoardState; /* 0 not tried, 1 made, -1 failed */

/* Runs argv to completion; its exit status, or -1. */
static int fuzzRun(char *const argv[])
{
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static void fuzzRemoveIpc(void)
{
    char keyPath[FUZZ_PATH_SIZE];
    if (snprintf(keyPath, sizeof(keyPath), "%s/home/root", fuzzRoot) >= (int)sizeof(keyPath)) {
        return;
    }
    for (char letter : fuzzQueueLetters) {
        key_t key = ftok(keyPath, letter);
        int id = (key == (key_t)-1) ? -1 : msgget(key, 0);
        if (id >= 0) {
            msgctl(id, IPC_RMID, NULL);
        }
    }
    key_t shmKey = ftok(keyPath, 'S');
    int shmId = (shmKey == (key_t)-1) ? -1 : shmget(shmKey, 0, 0);
    if (shmId >= 0) {
        shmctl(shmId, IPC_RMID, NULL);
    }
}

/* At exit: the queues, the segment and the directory go. */
static void fuzzBoardRemove(void)
{
    if (fuzzBoardState != 1) {
        return;
    }
    fuzzRemoveIpc();
    char rm[] = "/bin/rm";
    char rf[] = "-rf";
    char *argv[] = {rm, rf, fuzzRoot, NULL};
    (void)fuzzRun(argv);
}

/* The board's own programs first on PATH, then the host's. */
static INT32 fuzzSetPath(void)
{
    static char path[4 * FUZZ_PATH_SIZE + 64];
    const char *old = getenv("PATH");
    int n = snprintf(path, sizeof(path), "%s/bin:%s/sbin:%s/usr/bin:%s/usr/sbin:%s", fuzzRoot,
                     fuzzRoot, fuzzRoot, fuzzRoot, old != NULL ? old : "/usr/bin:/bin");
    if (n < 0 || n >= (int)sizeof(path)) {
        return -1;
    }
    return setenv("PATH", path, 1) == 0 ? 1 : -1;
}

static INT32 fuzzBoardMake(void)
{
    snprintf(fuzzRoot, sizeof(fuzzRoot), "%s", FUZZ_BOARD_TEMPLATE);
    if (mkdtemp(fuzzRoot) == NULL) {
        return -1;
    }
    char builder[FUZZ_PATH_SIZE];
    snprintf(builder, sizeof(builder), "%s/kelvboard", KEL_FUZZ_BIN_DIR);
    char *argv[] = {builder, fuzzRoot, NULL};
    if (fuzzRun(argv) != 0) {
        fprintf(stderr, "fuzz: %s %s failed\n", builder, fuzzRoot);
        return -1;
    }
    fuzzBoardState = 1;
    atexit(fuzzBoardRemove);
    /* Dropped from the bounding set, the rights are gone for every program
     * started from here on; without the right to drop them (not root) they
     * were never there. */
    prctl(PR_CAPBSET_DROP, FUZZ_CAP_SYS_TIME, 0, 0, 0);
    prctl(PR_CAPBSET_DROP, FUZZ_CAP_SYS_BOOT, 0, 0, 0);
    if (setenv("KEL_ROOT", fuzzRoot, 1) != 0 || fuzzSetPath() < 0) {
        return -1;
    }
    /* The stand-ins journal in the board; nothing a target runs may reach
     * the host's date or reboot. */
    return 1;
}

INT32 kelFuzzBoard(void)
{
    if (fuzzBoardState == 0) {
        fuzzBoardState = -1;
        if (fuzzBoardMake() > 0) {
            fuzzBoardState = 1;
        }
    }
    return fuzzBoardState;
}

void kelFuzzRequireBoard(void)
{
    if (kelFuzzBoard() < 0) {
        fprintf(stderr, "fuzz: no virtual board, refusing to run\n");
        abort();
    }
}

INT32 kelFuzzWriteFile(const char *boardPath, const uint8_t *data, size_t size)
{
    char path[KEL_PATH_BUF_SIZE];
    if (kelRootPath(boardPath, path, sizeof(path)) < 0) {
        return -1;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += (size_t)n;
    }
    return close(fd) == 0 ? 1 : -1;
}

void kelFuzzDrainQueues(void)
{
    char keyPath[KEL_PATH_BUF_SIZE];
    if (kelRootPath("/home/root", keyPath, sizeof(keyPath)) < 0) {
        return;
    }
    for (char letter : fuzzQueueLetters) {
        key_t key = ftok(keyPath, letter);
        int id = (key == (key_t)-1) ? -1 : msgget(key, 0);
        if (id < 0) {
            continue;
        }
        struct {
            long mtype;
            char mtext[FUZZ_DRAIN_TEXT];
        } buf;
        while (msgrcv(id, &buf, sizeof(buf.mtext), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
        }
    }
}

INT32 kelFuzzLinkOpen(kel_FuzzLink_t *link, const uint8_t *data, size_t size)
{
    int pair[2];
    link->unit = -1;
    link->meter = -1;
    if (size > KEL_FUZZ_LINK_MAX_INPUT || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return -1;
    }
    link->unit = pair[0];
    link->meter = pair[1];
    /* The links' sockets are non-blocking on the unit, as connected. */
    fcntl(link->unit, F_SETFL, fcntl(link->unit, F_GETFL) | O_NONBLOCK);
    fcntl(link->meter, F_SETFL, fcntl(link->meter, F_GETFL) | O_NONBLOCK);
    size_t done = 0;
    while (done < size) {
        ssize_t n = send(link->meter, data + done, size - done, MSG_NOSIGNAL);
        if (n <= 0) {
            kelFuzzLinkClose(link);
            return -1;
        }
        done += (size_t)n;
    }
    shutdown(link->meter, SHUT_WR);
    return 1;
}

void kelFuzzLinkDrain(const kel_FuzzLink_t *link)
{
    char buf[4096];
    while (link->meter >= 0 && recv(link->meter, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

void kelFuzzLinkServe(kel_FuzzLink_t *pair, size_t size, KEL_DEVICE_INFO *link,
                      INT32 (*service)(void), void (*closeLink)(void))
{
    UINT32 now = kelGetTick();
    link->recvTick = now;
    link->sendTick = now;
    link->stateTick = now;
    KEL_STORE(link->deviceState, KEL_DEVICE_CONNECTED);
    KEL_STORE(link->socketState, KEL_SOCKET_CONNECTED);
    KEL_STORE(link->socket, pair->unit);

    size_t passes = size / 4 + 4;
    while (passes-- > 0 && KEL_LOAD(link->socketState) != KEL_SOCKET_FAIL) {
        if (service() < 0) {
            break;
        }
        kelFuzzLinkDrain(pair);
    }
    closeLink();
    pair->unit = -1; /* closed with the link */
    kelFuzzLinkClose(pair);
}

void kelFuzzLinkClose(kel_FuzzLink_t *link)
{
    if (link->unit >= 0) {
        close(link->unit);
    }
    if (link->meter >= 0) {
        close(link->meter);
    }
    link->unit = -1;
    link->meter = -1;
}
