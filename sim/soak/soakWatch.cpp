/*
 * soakWatch.cpp - what the soak run measures of the unit without asking
 * it: its programs found in /proc by the board path they were started
 * from (descriptors, resident memory, threads), and the System V queues and
 * segment keyed on the sandbox (how many, messages waiting, attachments).
 * Called by kelsoak.cpp at the start, after each round and at the end.
 */
#include "soak.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <unistd.h>

#define SOAK_PATH_MAX        600
#define SOAK_FIG_SAMPLES     5       /* samples of one figure */
#define SOAK_FIG_PAUSE_US    100000  /* between them */

static const char *const progNames[SOAK_NUM_PROGS] = {"kelcontrol", "kelstpclient",
                                                      "kelappclient", "kelupgrade"};
/* Where the board starts each program from: its argv[0] under the root. */
static const char *const progPaths[SOAK_NUM_PROGS] = {"/usr/bin/kelcontrol",
                                                      "/usr/bin/kelstpclient",
                                                      "/kel/app/kelappclient",
                                                      "/usr/bin/kelupgrade"};

const char soakQueueLetters[] = "RTIFE";
#define SOAK_SEGMENT_LETTER 'S'

const char *soakProgName(int32_t prog)
{
    return (prog >= 0 && prog < SOAK_NUM_PROGS) ? progNames[prog] : "?";
}

/* argv[0] of a process, "" when it is gone. */
static void readArgv0(const char *pid, char *buf, size_t len)
{
    char path[300];
    snprintf(path, sizeof(path), "/proc/%s/cmdline", pid);
    buf[0] = '\0';
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return;
    size_t n = fread(buf, 1, len - 1, f);
    fclose(f);
    buf[n] = '\0';   /* argv[0] ends at its own NUL */
}

pid_t soakFindProg(const char *root, int32_t prog)
{
    if (prog < 0 || prog >= SOAK_NUM_PROGS)
        return 0;
    char want[SOAK_PATH_MAX];
    snprintf(want, sizeof(want), "%s%s", root, progPaths[prog]);
    DIR *d = opendir("/proc");
    if (d == NULL)
        return 0;
    pid_t found = 0;
    for (struct dirent *e = readdir(d); e != NULL && found == 0; e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        char argv0[SOAK_PATH_MAX];
        readArgv0(e->d_name, argv0, sizeof(argv0));
        if (strcmp(argv0, want) == 0)
            found = (pid_t)atoi(e->d_name);
    }
    closedir(d);
    return found;
}

static int32_t countFds(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/fd", (int)pid);
    DIR *d = opendir(path);
    if (d == NULL)
        return -1;
    int32_t n = 0;
    for (struct dirent *e = readdir(d); e != NULL; e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

/* VmRSS (kB) and Threads of /proc/<pid>/status; -1 when missing. */
static void readStatus(pid_t pid, int32_t *rssKb, int32_t *threads)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", (int)pid);
    *rssKb = -1;
    *threads = -1;
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return;
    char line[256];
    while (fgets(line, sizeof(line), f) != NULL) {
        if (strncmp(line, "VmRSS:", 6) == 0)
            *rssKb = atoi(line + 6);
        else if (strncmp(line, "Threads:", 8) == 0)
            *threads = atoi(line + 8);
    }
    fclose(f);
}

void soakSampleProgs(const char *root, SoakProcFig_t figs[SOAK_NUM_PROGS])
{
    for (int32_t p = 0; p < SOAK_NUM_PROGS; p++) {
        memset(&figs[p], 0, sizeof(figs[p]));
        figs[p].pid = soakFindProg(root, p);
        figs[p].fds = -1;
        figs[p].rssKb = -1;
        figs[p].threads = -1;
    }
    for (int32_t s = 0; s < SOAK_FIG_SAMPLES; s++) {
        if (s > 0)
            usleep(SOAK_FIG_PAUSE_US);
        for (int32_t p = 0; p < SOAK_NUM_PROGS; p++) {
            if (figs[p].pid == 0)
                continue;
            int32_t fds = countFds(figs[p].pid);
            int32_t rss, threads;
            readStatus(figs[p].pid, &rss, &threads);
            if (fds >= 0 && (figs[p].fds < 0 || fds < figs[p].fds))
                figs[p].fds = fds;
            if (threads >= 0 && (figs[p].threads < 0 || threads < figs[p].threads))
                figs[p].threads = threads;
            if (rss >= 0)
                figs[p].rssKb = rss;
        }
    }
}

void soakSampleIpc(const char *root, SoakIpcFig_t *fig)
{
    memset(fig, 0, sizeof(*fig));
    char path[SOAK_PATH_MAX];
    snprintf(path, sizeof(path), "%s/home/root", root);
    for (size_t i = 0; i < sizeof(fig->waiting) / sizeof(fig->waiting[0]); i++)
        fig->waiting[i] = -1;
    for (size_t i = 0; soakQueueLetters[i] != '\0'; i++) {
        key_t key = ftok(path, soakQueueLetters[i]);
        int id = key == (key_t)-1 ? -1 : msgget(key, 0);
        struct msqid_ds ds;
        if (id < 0 || msgctl(id, IPC_STAT, &ds) != 0)
            continue;
        fig->queues++;
        fig->waiting[i] = (int32_t)ds.msg_qnum;
    }
    key_t key = ftok(path, SOAK_SEGMENT_LETTER);
    int id = key == (key_t)-1 ? -1 : shmget(key, 0, 0);
    struct shmid_ds ds;
    if (id >= 0 && shmctl(id, IPC_STAT, &ds) == 0) {
        fig->segments = 1;
        fig->attached = (int32_t)ds.shm_nattch;
    }
}
