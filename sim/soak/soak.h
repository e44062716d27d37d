/*
 * soak.h - the parts of the soak driver (kelsoak): the seeded generator,
 * the faults the meter commits on purpose and what the unit must do about
 * each (soakFault.cpp), and the figures of the unit's programs and System V
 * objects taken from /proc and the IPC tables (soakWatch.cpp). The round
 * loop and the report are in kelsoak.cpp.
 */
#ifndef SOAK_H
#define SOAK_H

#include <stdint.h>
#include <sys/types.h>

#include "meterSim.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- generator: xorshift64*, the same sequence on every host ---- */

typedef struct {
    uint64_t state;
} SoakRand_t;

void soakRandSeed(SoakRand_t *r, uint64_t seed);
/* Uniform in [lo, hi] (hi >= lo). */
uint32_t soakRandRange(SoakRand_t *r, uint32_t lo, uint32_t hi);

/* ---- faults ---- */

enum {
    SOAK_F_DROP = 0,        /* the meter closes the connection */
    SOAK_F_GARBAGE,         /* bytes that are no frame */
    SOAK_F_MAGIC,           /* a heartbeat with a wrong magic */
    SOAK_F_OVERSIZE,        /* a length beyond the link's largest frame */
    SOAK_F_HALF,            /* part of a frame, then the connection closes */
    SOAK_F_STALL_SHORT,     /* a frame paused shorter than a receive wait */
    SOAK_F_STALL_LONG,      /* a frame paused longer than the receive waits */
    SOAK_F_SILENCE,         /* nothing at all, the connection kept open */
    SOAK_F_RECT,            /* a rectangle that does not fit (screen link) */
    SOAK_NUM_FAULTS
};

typedef struct {
    int32_t kind;           /* SOAK_F_* */
    int32_t link;           /* MSIM_LINK_* */
    uint32_t param;         /* stall ms, bytes, claimed length or rect shape */
    int32_t bExpectDrop;    /* 1: the unit must drop and reconnect the link;
                               0: it must keep the link */
    uint32_t limitMs;       /* reconnection limit from the link rules */
} SoakFault_t;

const char *soakFaultName(int32_t kind);
const char *soakLinkName(int32_t link);
/* Picks a fault, its link and its parameter; fills the expectation. */
void soakPickFault(SoakRand_t *r, SoakFault_t *f);
/* Commits the fault. Stalls return when the frame is complete again;
 * silence starts here and ends with soakEndFault. 1, or negative when the
 * link had no connection to misbehave on. */
int32_t soakInjectFault(MeterSim_t *sim, SoakRand_t *r, const SoakFault_t *f);
void soakEndFault(MeterSim_t *sim, const SoakFault_t *f);

/* ---- the unit's programs and System V objects ---- */

enum {
    SOAK_P_CONTROL = 0,
    SOAK_P_STARTUP,
    SOAK_P_APP,
    SOAK_P_UPGRADE,
    SOAK_NUM_PROGS
};

typedef struct {
    pid_t pid;              /* 0: not running */
    int32_t fds;            /* open descriptors */
    int32_t rssKb;          /* resident memory */
    int32_t threads;
} SoakProcFig_t;

typedef struct {
    int32_t queues;         /* queues keyed on the sandbox */
    int32_t segments;       /* segments keyed on the sandbox */
    int32_t attached;       /* attachments of the segment */
    int32_t waiting[8];     /* messages waiting per queue letter, -1: none */
} SoakIpcFig_t;

const char *soakProgName(int32_t prog);
/* The pid of a program running from the sandbox root (argv[0] is its board
 * path under root); 0 when none runs. */
pid_t soakFindProg(const char *root, int32_t prog);
/* Figures of every program: the smallest descriptor and thread counts of
 * a few samples (a program holds a pipe or a thread for a moment now and
 * then), the resident memory of the last. */
void soakSampleProgs(const char *root, SoakProcFig_t figs[SOAK_NUM_PROGS]);
/* The queues (R T I F E) and the segment (S) keyed on root/home/root. */
void soakSampleIpc(const char *root, SoakIpcFig_t *fig);
/* Letters of the queues, in the order of SoakIpcFig_t.waiting. */
extern const char soakQueueLetters[];

#ifdef __cplusplus
}
#endif

#endif /* SOAK_H */
