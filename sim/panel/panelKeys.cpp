/*
 * panelKeys.cpp - held keys and their auto-repeat (see panelKeys.h). The
 * HTTP handlers press and release, the watcher thread ticks; kelpanel
 * holds its lock around every call.
 */
#include "panelKeys.h"

#include <stddef.h>
#include <string.h>

static const struct {
    const char *name;
    int32_t code;
} panelKeyTable[PANEL_NUM_KEYS] = {
    {"up", 103}, {"down", 108}, {"left", 105}, {"right", 106}, {"home", 102},
};

void panelKeysInit(PanelKeys_t *keys, PanelKeyWriter_t write, void *ctx, uint64_t nowMs)
{
    memset(keys, 0, sizeof(*keys));
    keys->write = write;
    keys->ctx = ctx;
    keys->lastSeenMs = nowMs;
    keys->repeatKey = -1;
}

int32_t panelKeyIndex(const char *name)
{
    if (name == NULL)
        return -1;
    for (int32_t i = 0; i < PANEL_NUM_KEYS; i++) {
        if (strcmp(name, panelKeyTable[i].name) == 0)
            return i;
    }
    return -1;
}

int32_t panelKeyCode(int32_t index)
{
    return (index >= 0 && index < PANEL_NUM_KEYS) ? panelKeyTable[index].code : -1;
}

int32_t panelKeysPress(PanelKeys_t *keys, int32_t index, uint64_t nowMs)
{
    if (keys == NULL || panelKeyCode(index) < 0)
        return -1;
    keys->lastSeenMs = nowMs;
    if (keys->bHeld[index])
        return 1;
    int32_t rc = keys->write(keys->ctx, panelKeyCode(index), PANEL_KEY_PRESS);
    if (rc < 0)
        return rc;
    keys->bHeld[index] = 1;
    keys->repeatKey = index;
    keys->nextRepeatMs = nowMs + PANEL_KEY_REPEAT_DELAY_MS;
    return 1;
}

int32_t panelKeysRelease(PanelKeys_t *keys, int32_t index, uint64_t nowMs)
{
    if (keys == NULL || panelKeyCode(index) < 0)
        return -1;
    keys->lastSeenMs = nowMs;
    if (!keys->bHeld[index])
        return 1;
    /* The key counts as up even when the record is lost: a release that
     * cannot be written must not turn into endless repeats. */
    keys->bHeld[index] = 0;
    if (keys->repeatKey == index)
        keys->repeatKey = -1;
    return keys->write(keys->ctx, panelKeyCode(index), PANEL_KEY_RELEASE);
}

void panelKeysSeen(PanelKeys_t *keys, uint64_t nowMs)
{
    keys->lastSeenMs = nowMs;
}

int32_t panelKeysTick(PanelKeys_t *keys, uint64_t nowMs)
{
    int32_t written = 0;
    if (nowMs > keys->lastSeenMs && nowMs - keys->lastSeenMs > PANEL_KEY_QUIET_MS) {
        for (int32_t i = 0; i < PANEL_NUM_KEYS; i++) {
            if (!keys->bHeld[i])
                continue;
            keys->bHeld[i] = 0;
            written += keys->write(keys->ctx, panelKeyCode(i), PANEL_KEY_RELEASE) > 0;
        }
        keys->repeatKey = -1;
        return written;
    }
    int32_t k = keys->repeatKey;
    if (k < 0 || nowMs < keys->nextRepeatMs)
        return 0;
    written += keys->write(keys->ctx, panelKeyCode(k), PANEL_KEY_REPEAT) > 0;
    /* A late tick sends one repeat, not a burst to catch up. */
    keys->nextRepeatMs += PANEL_KEY_REPEAT_PERIOD_MS;
    if (keys->nextRepeatMs <= nowMs)
        keys->nextRepeatMs = nowMs + PANEL_KEY_REPEAT_PERIOD_MS;
    return written;
}
