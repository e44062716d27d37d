/*
 * fuzzBoard.h - the virtual board every fuzz target runs on, and the small
 * helpers the targets share: feeding bytes to a handler through a socket
 * pair, writing a board file, emptying the queues between inputs.
 *
 * The board is made once per process by kelvboard in a temporary directory
 * set as KEL_ROOT. Its bin/ directories go first on PATH, so a handler that
 * sets the clock ("date -s") or reboots reaches the board's journaling
 * stand-ins; the process also gives up the right to set the host clock and
 * to reboot the host, for itself and for every program it starts.
 */
#ifndef KEL_FUZZ_BOARD_H
#define KEL_FUZZ_BOARD_H

#include <stddef.h>
#include <stdint.h>

#include "kelTypes.h"

/* Makes the board on first use. 1, or -1 (the caller aborts: no input may
 * run outside a board). */
INT32 kelFuzzBoard(void);
/* Aborts the process unless the board is there. */
void kelFuzzRequireBoard(void);

/* Writes `size` bytes as the whole of board file `boardPath`. 1, or -1. */
INT32 kelFuzzWriteFile(const char *boardPath, const uint8_t *data, size_t size);

/* Throws away every record waiting on the unit's queues (R T F E I), so
 * one input never sees what an earlier one posted and no queue fills. */
void kelFuzzDrainQueues(void);

/* A connected stream pair standing for one link: `unit` is the end the
 * unit's code reads and answers on, `meter` holds the input. */
typedef struct {
    int unit;
    int meter;
} kel_FuzzLink_t;

/* Opens the pair, writes `size` bytes of input into the meter's end and
 * closes its sending side, so the unit reads the input and then sees the
 * peer close. 1, or -1. */
INT32 kelFuzzLinkOpen(kel_FuzzLink_t *link, const uint8_t *data, size_t size);
/* Reads and drops whatever the unit sent back (never blocks). */
void kelFuzzLinkDrain(const kel_FuzzLink_t *link);
void kelFuzzLinkClose(kel_FuzzLink_t *link);

/* Runs one connection of a meter link thread on the pair: the thread's
 * link record is set as its connect step leaves it (connected, on the
 * pair's unit end, ticks now), then its service step runs until the link
 * fails or the input is used up (each pass takes at most one frame of at
 * least 4 bytes), the unit's answers drained after each pass, and its
 * close step ends the connection (closing the unit end). */
void kelFuzzLinkServe(kel_FuzzLink_t *pair, size_t size, KEL_DEVICE_INFO *link,
                      INT32 (*service)(void), void (*closeLink)(void));

/* Largest input the link targets take: what one socket buffer holds
 * without a reader. */
#define KEL_FUZZ_LINK_MAX_INPUT 65536

#endif /* KEL_FUZZ_BOARD_H */
