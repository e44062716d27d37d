/*
 * soakFault.cpp - the faults of the soak run: which one comes next (seeded,
 * weighted), how the meter commits it through the simulator library, and
 * what the unit must do about it: drop the link and be announced again
 * within the limit the link rules give, or keep the link and show nothing
 * of the broken frame. Called by the round loop of kelsoak.cpp.
 */
#include "soak.h"

#include <string.h>

/* A broken frame is noticed by the receive it arrives in: the link thread
 * waits at most 500 ms for it, closes the link and connects again 50 ms
 * later, and the announcement leaves at once. */
#define SOAK_NOTICE_MS      550u
/* Silence: more than 6000 ms without a frame, looked at after every wait
 * of at most 500 ms, then the 50 ms pause before reconnecting. */
#define SOAK_SILENCE_MS     6550u
/* The startup client stops the app client before it connects again; the
 * board's stop script gives the app client up to 3 s to end. */
#define SOAK_APP_STOP_MS    3000u
/* A stall shorter than a receive wait is absorbed; one longer than the
 * three waits of a frame makes the unit give up on that frame, and the
 * rest, read as a new frame, breaks the link. */
#define SOAK_STALL_SHORT_MIN  50u
#define SOAK_STALL_SHORT_MAX  250u
#define SOAK_STALL_LONG_MIN   1000u
#define SOAK_STALL_LONG_MAX   3500u
/* The stalled heartbeat is split so that at least 4 bytes follow: the
 * rest alone fills the next magic, and the link breaks when it arrives. */
#define SOAK_SPLIT_MAX        12u
#define SOAK_GARBAGE_MIN      4u
#define SOAK_GARBAGE_MAX      64u
#define SOAK_OVERSIZE_MAX     4096u

static const char *const faultNames[SOAK_NUM_FAULTS] = {
    "drop", "garbage", "wrong magic", "oversize length", "half frame",
    "short stall", "long stall", "silence", "rect off frame"};

/* Weights: silence costs most time, a short stall proves least. */
static const uint32_t faultWeights[SOAK_NUM_FAULTS] = {3, 3, 3, 3, 3, 2, 2, 1, 3};

enum { RECT_PAST_RIGHT = 0, RECT_PAST_BOTTOM, RECT_TOO_MANY_PIXELS, RECT_FIELD_OUT, RECT_SHAPES };

void soakRandSeed(SoakRand_t *r, uint64_t seed)
{
    r->state = seed != 0 ? seed : 0x9E3779B97F4A7C15ull;
}

static uint64_t nextRand(SoakRand_t *r)
{
    uint64_t x = r->state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    r->state = x;
    return x * 0x2545F4914F6CDD1Dull;
}

uint32_t soakRandRange(SoakRand_t *r, uint32_t lo, uint32_t hi)
{
    if (hi <= lo)
        return lo;
    uint64_t span = (uint64_t)hi - lo + 1u;
    return lo + (uint32_t)((nextRand(r) >> 11) % span);
}

const char *soakFaultName(int32_t kind)
{
    return (kind >= 0 && kind < SOAK_NUM_FAULTS) ? faultNames[kind] : "?";
}

const char *soakLinkName(int32_t link)
{
    if (link == MSIM_LINK_STARTUP)
        return "startup";
    if (link == MSIM_LINK_SCREEN)
        return "screen";
    return "non-screen";
}

static int32_t pickKind(SoakRand_t *r)
{
    uint32_t total = 0;
    for (int32_t k = 0; k < SOAK_NUM_FAULTS; k++)
        total += faultWeights[k];
    uint32_t at = soakRandRange(r, 0, total - 1u);
    for (int32_t k = 0; k < SOAK_NUM_FAULTS; k++) {
        if (at < faultWeights[k])
            return k;
        at -= faultWeights[k];
    }
    return SOAK_F_DROP;
}

void soakPickFault(SoakRand_t *r, SoakFault_t *f)
{
    memset(f, 0, sizeof(*f));
    f->kind = pickKind(r);
    f->link = f->kind == SOAK_F_RECT ? MSIM_LINK_SCREEN
                                     : (int32_t)soakRandRange(r, MSIM_LINK_SCREEN, MSIM_LINK_STARTUP);
    f->bExpectDrop = 1;
    f->limitMs = SOAK_NOTICE_MS;
    switch (f->kind) {
    case SOAK_F_GARBAGE:
        f->param = soakRandRange(r, SOAK_GARBAGE_MIN, SOAK_GARBAGE_MAX);
        break;
    case SOAK_F_OVERSIZE: {
        uint32_t largest = f->link == MSIM_LINK_SCREEN    ? MSW_FB_MAX_FRAME
                           : f->link == MSIM_LINK_STARTUP ? MSW_STP_MAX_FRAME
                                                          : MSW_NS_MAX_FRAME;
        f->param = soakRandRange(r, largest + 1u, SOAK_OVERSIZE_MAX);
        break;
    }
    case SOAK_F_HALF: {
        uint32_t len = f->link == MSIM_LINK_SCREEN    ? (uint32_t)sizeof(MSW_RectFrame_t)
                       : f->link == MSIM_LINK_STARTUP ? (uint32_t)sizeof(MSW_StpRandomFrame_t)
                                                      : (uint32_t)sizeof(MSW_TimeFrame_t);
        f->param = soakRandRange(r, 1, len - 1u);
        break;
    }
    case SOAK_F_STALL_SHORT:
        f->param = soakRandRange(r, SOAK_STALL_SHORT_MIN, SOAK_STALL_SHORT_MAX);
        f->bExpectDrop = 0;
        f->limitMs = 0;
        break;
    case SOAK_F_STALL_LONG:
        f->param = soakRandRange(r, SOAK_STALL_LONG_MIN, SOAK_STALL_LONG_MAX);
        f->limitMs = f->param + SOAK_NOTICE_MS;
        break;
    case SOAK_F_SILENCE:
        f->limitMs = SOAK_SILENCE_MS;
        break;
    case SOAK_F_RECT:
        f->param = soakRandRange(r, 0, RECT_SHAPES - 1);
        f->bExpectDrop = 0;
        f->limitMs = 0;
        break;
    default:
        break;
    }
    if (f->bExpectDrop && f->link == MSIM_LINK_STARTUP)
        f->limitMs += SOAK_APP_STOP_MS;
}

/* Bytes that are no frame: anything but the magic in the first four. */
static int32_t sendGarbage(MeterSim_t *sim, SoakRand_t *r, int32_t link, uint32_t len)
{
    uint8_t bytes[SOAK_GARBAGE_MAX];
    for (uint32_t i = 0; i < len; i++)
        bytes[i] = (uint8_t)soakRandRange(r, 0, 255);
    if (bytes[0] == (uint8_t)(MSW_MAGIC & 0xFFu))
        bytes[0] ^= 0xFFu;
    return meterSimSendRaw(sim, link, bytes, len);
}

/* A rectangle of random pixels that breaks one rule of placement, then
 * SCR_FIN, so a rectangle placed anyway would reach the LCD. */
static int32_t sendBadRect(MeterSim_t *sim, SoakRand_t *r, uint32_t shape)
{
    uint16_t pixels[MSW_RECT_PIXELS];
    for (uint32_t i = 0; i < MSW_RECT_PIXELS; i++)
        pixels[i] = (uint16_t)soakRandRange(r, 0, 0xFFFF);
    uint16_t x = (uint16_t)soakRandRange(r, 0, MSW_SCREEN_W - 64);
    uint16_t y = (uint16_t)soakRandRange(r, 0, MSW_SCREEN_H - 6);
    uint16_t w = 64;
    uint16_t h = 6;
    switch (shape) {
    case RECT_PAST_RIGHT:
        x = (uint16_t)soakRandRange(r, MSW_SCREEN_W - 63, MSW_SCREEN_W);
        break;
    case RECT_PAST_BOTTOM:
        y = (uint16_t)soakRandRange(r, MSW_SCREEN_H - 5, MSW_SCREEN_H);
        break;
    case RECT_TOO_MANY_PIXELS:
        h = (uint16_t)soakRandRange(r, 7, 12);
        break;
    default:
        if (soakRandRange(r, 0, 1) == 0)
            x = MSW_SCREEN_W + 1;
        else
            h = MSW_SCREEN_H + 1;
        break;
    }
    if (meterSimSendRect(sim, x, y, w, h, pixels, MSW_RECT_PIXELS) != 1)
        return -1;
    return meterSimSendScrFin(sim);
}

int32_t soakInjectFault(MeterSim_t *sim, SoakRand_t *r, const SoakFault_t *f)
{
    switch (f->kind) {
    case SOAK_F_DROP:
        return meterSimDrop(sim, f->link);
    case SOAK_F_GARBAGE:
        return sendGarbage(sim, r, f->link, f->param);
    case SOAK_F_MAGIC: {
        /* Every value but the magic, evenly. */
        uint32_t bad = soakRandRange(r, 0, 0xFFFFFFFEu);
        return meterSimSendBadMagic(sim, f->link, bad >= MSW_MAGIC ? bad + 1u : bad);
    }
    case SOAK_F_OVERSIZE:
        return meterSimSendOversize(sim, f->link, f->param);
    case SOAK_F_HALF:
        return meterSimSendCutAndClose(sim, f->link, f->param);
    case SOAK_F_STALL_SHORT:
    case SOAK_F_STALL_LONG:
        return meterSimSendStalled(sim, f->link, soakRandRange(r, 1, SOAK_SPLIT_MAX), f->param);
    case SOAK_F_SILENCE:
        if (meterSimConnected(sim, f->link) != 1)
            return -1;
        meterSimSetSilent(sim, f->link, 1);
        return 1;
    case SOAK_F_RECT:
        return sendBadRect(sim, r, f->param);
    default:
        return -1;
    }
}

void soakEndFault(MeterSim_t *sim, const SoakFault_t *f)
{
    if (f->kind == SOAK_F_SILENCE)
        meterSimSetSilent(sim, f->link, 0);
}
