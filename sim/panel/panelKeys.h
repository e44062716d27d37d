/*
 * panelKeys.h - the five keys of the panel page and what holding them
 * does: a press record when a key goes down, auto-repeat records while it
 * is held (after the input layer's usual delay and at its usual rate, as
 * the board's keypad driver reports them) and a release when it comes up.
 * A page that stops asking for news (closed, crashed, network gone) gets
 * its held keys released, so no key stays down for ever.
 *
 * The records go out through a writer the caller gives (the keypad FIFO
 * of the sandbox in kelpanel); times are the caller's monotonic
 * milliseconds, so the rules are tested without waiting.
 */
#ifndef PANEL_KEYS_H
#define PANEL_KEYS_H

#include <stdint.h>

#define PANEL_NUM_KEYS 5
#define PANEL_KEY_REPEAT_DELAY_MS 250   /* first repeat after the press */
#define PANEL_KEY_REPEAT_PERIOD_MS 33   /* then one repeat per period */
#define PANEL_KEY_QUIET_MS 2500         /* page silent this long: release */

/* Input record values. */
#define PANEL_KEY_RELEASE 0
#define PANEL_KEY_PRESS 1
#define PANEL_KEY_REPEAT 2

/* Writes one key record; 1 on success, negative on failure. */
typedef int32_t (*PanelKeyWriter_t)(void *ctx, int32_t code, int32_t value);

typedef struct {
    int32_t bHeld[PANEL_NUM_KEYS];
    int32_t repeatKey;              /* index of the repeating key, or -1 */
    uint64_t nextRepeatMs;
    uint64_t lastSeenMs;            /* last sign of life of a page */
    PanelKeyWriter_t write;
    void *ctx;
} PanelKeys_t;

void panelKeysInit(PanelKeys_t *keys, PanelKeyWriter_t write, void *ctx, uint64_t nowMs);

/* Index of a key name ("up", "down", "left", "right", "home"), or -1. */
int32_t panelKeyIndex(const char *name);
/* Linux key code of a key index, or -1. */
int32_t panelKeyCode(int32_t index);

/* A key goes down: its press record (nothing when it is already held).
 * 1, or the writer's failure (the key then counts as not held). */
int32_t panelKeysPress(PanelKeys_t *keys, int32_t index, uint64_t nowMs);
/* A key comes up: its release record (nothing when it is not held). */
int32_t panelKeysRelease(PanelKeys_t *keys, int32_t index, uint64_t nowMs);
/* A page asked for news. */
void panelKeysSeen(PanelKeys_t *keys, uint64_t nowMs);
/* Called often (every few milliseconds): the repeats that are due, or the
 * release of every held key once the page has been quiet too long.
 * Returns the number of records written. */
int32_t panelKeysTick(PanelKeys_t *keys, uint64_t nowMs);

#endif /* PANEL_KEYS_H */
