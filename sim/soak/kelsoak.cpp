/*
 * kelsoak.cpp - the soak run's meter: misbehaves at random against a
 * running virtual unit and checks that the unit comes back every time.
 *
 *   kelsoak --root <sandbox> --addr <127.x.y.z> --seconds N [--seed S]
 *
 * The unit's programs are started by the caller (scripts/soak): the startup
 * client, which brings up the control daemon and the app client, and the
 * upgrade program watching its upload folder. This program serves the
 * three meter links (meter simulator library), waits for the unit, then
 * runs rounds until the time is up: one fault on one link (soakFault.cpp),
 * the unit's recovery timed against the limit of that fault, then valid
 * traffic (a changed screen that must reach the LCD byte for byte, a
 * brightness and an LED command, a key press) once every link is back.
 * After a warm-up it takes the figures of every program and of the System
 * V objects (soakWatch.cpp), and again at the end; the report compares
 * them. Exit status 0 when nothing failed, 1 otherwise, 130 when stopped
 * by a signal (the report is printed all the same).
 */
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "demoBoard.h"
#include "soak.h"

#define SOAK_MAX_SECONDS   (12u * 3600u)
#define SOAK_BOOT_MS       90000u  /* the sanitised debug build is slow to start */
#define SOAK_GIVE_UP_MS    30000u  /* a recovery not seen this long after its limit */
#define SOAK_UP_MS         30000u  /* every link back after a fault */
#define SOAK_SCREEN_MS     10000u  /* a sent screen on the LCD */
#define SOAK_ANSWER_MS     5000u   /* a command answered and carried out, a key */
#define SOAK_SLICE_MS      50u
#define SOAK_PAUSE_MIN_MS  300u    /* quiet time between rounds */
#define SOAK_PAUSE_MAX_MS  1500u
/* Scheduling allowance on top of every limit: the unit shares two cores
 * with the simulator, the sanitizers and whatever else runs. */
#define SOAK_SLACK_MS      1000u
/* Resident memory may grow this much after the warm-up: the C library's
 * buffers and, under the sanitizers, freed memory held in quarantine. */
#define SOAK_RSS_SLACK_KB  256
#define SOAK_RSS_SLACK_SAN_KB 4096
#define SOAK_WARMUP_MAX_MS 300000u
/* The unit sends a heartbeat once 2000 ms passed since its last frame,
 * looked at after every wait of at most 500 ms: no gap between its frames
 * on a live connection is longer (outside the faults themselves). */
#define SOAK_HEARTBEAT_GAP_MS 2500u

typedef struct {
    const char *root;
    const char *addr;
    uint32_t seconds;
    uint64_t seed;
    int32_t bSanitized;
} SoakOptions_t;

/* Per fault kind and link. */
typedef struct {
    uint32_t injected;
    uint32_t notInjected;   /* the link had no connection to break */
    uint32_t recovered;     /* dropped and announced again */
    uint32_t kept;          /* absorbed: the link stayed */
    uint32_t late;          /* recovered after limit + slack */
    uint32_t lost;          /* never recovered, or dropped when it should not */
    uint32_t worstMs;
    uint32_t limitAtWorst;
} SoakTally_t;

typedef struct {
    int32_t up;
    uint32_t conn;
    int32_t announced;
    uint64_t lastFrameMs;   /* the unit's last frame on conn, 0: none yet */
    uint64_t faultFromMs;   /* the last fault on this link, start and end */
    uint64_t faultToMs;
    uint32_t worstGapMs;    /* longest quiet stretch between its frames */
    uint32_t lateGaps;      /* stretches over the limit + slack */
} SoakLinkState_t;

typedef struct {
    SoakOptions_t opt;
    DemoBoard_t board;
    MeterSim_t *sim;
    SoakRand_t rand;
    uint64_t startMs;
    uint32_t seq;                    /* next record the pump reads */
    uint32_t gapFromSeq;             /* heartbeat gaps counted from here on
                                        (once the unit is up) */
    SoakLinkState_t links[MSIM_NUM_LINKS];
    SoakTally_t tally[SOAK_NUM_FAULTS][MSIM_NUM_LINKS];
    uint32_t rounds;
    uint32_t otherDrops;             /* links dropped by a fault on another app link */
    uint32_t notUp;                  /* links not all back after a fault */
    uint32_t serviceWorstMs;         /* app client back after a startup fault */
    uint32_t serviceCount;
    uint32_t screens, screensOk, screenWorstMs;
    uint32_t commands, commandsOk;
    uint32_t keys, keysOk;
    /* Programs. */
    pid_t bootPid[SOAK_NUM_PROGS];
    pid_t lastPid[SOAK_NUM_PROGS];
    uint32_t appRestarts;
    uint32_t deaths;                 /* a program gone or replaced */
    uint32_t unexpectedAppRestarts;
    char deathNote[160];
    int32_t bHaveStart;
    SoakProcFig_t figStart[SOAK_NUM_PROGS];
    SoakProcFig_t figEnd[SOAK_NUM_PROGS];
    SoakIpcFig_t ipcStart;
    SoakIpcFig_t ipcEnd;
    uint64_t warmupEndMs;
    uint64_t figStartAtMs;
    /* The app client within each of its lives: figures after its first
     * round against those after every later round. */
    pid_t appPid;
    SoakProcFig_t appBase;
    uint32_t appLives;
    uint32_t appCompared;
    SoakProcFig_t appGrowth;
} Soak_t;

static volatile sig_atomic_t bStop = 0;

static void onSignal(int sig)
{
    (void)sig;
    bStop = 1;
}

static double elapsed(const Soak_t *s)
{
    return (double)(meterSimNowMs() - s->startMs) / 1000.0;
}

static void say(const Soak_t *s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

static void say(const Soak_t *s, const char *fmt, ...)
{
    va_list ap;
    printf("[%7.1f s] ", elapsed(s));
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
}

/* The frame with which the unit announces itself on a new connection. */
static int32_t announceCmd(int32_t link)
{
    if (link == MSIM_LINK_NONSCREEN)
        return MSW_NS_GET_DATA;
    if (link == MSIM_LINK_SCREEN)
        return MSW_FB_DATA_REQ;
    return MSW_STP_DATA_REQ;
}

/* ------------------------------------------------------------------------
 * Following the links
 * ---------------------------------------------------------------------- */

/* A frame of the unit: the stretch since its previous one on the same
 * connection, unless a fault on this link fell into it (a stalled frame
 * holds the link thread in its receive). */
static void countGap(SoakLinkState_t *lk, const MeterSimRecord_t *rec)
{
    int32_t bFault = lk->lastFrameMs < lk->faultToMs && rec->timeMs > lk->faultFromMs;
    if (lk->lastFrameMs != 0 && rec->timeMs > lk->lastFrameMs && !bFault) {
        uint32_t gap = (uint32_t)(rec->timeMs - lk->lastFrameMs);
        if (gap > lk->worstGapMs)
            lk->worstGapMs = gap;
        lk->lateGaps += (uint32_t)(gap > SOAK_HEARTBEAT_GAP_MS + SOAK_SLACK_MS);
    }
    lk->lastFrameMs = rec->timeMs;
}

/* Reads the record up to now: which links are up and announced, and the
 * unit's heartbeat gaps. */
static void pump(Soak_t *s)
{
    MeterSimRecord_t rec;
    while (meterSimWait(s->sim, s->seq, MSIM_ANY, MSIM_ANY, MSIM_ANY, 0, &rec) == 1) {
        s->seq = rec.seq + 1;
        if (rec.link < 0 || rec.link >= MSIM_NUM_LINKS)
            continue;
        SoakLinkState_t *lk = &s->links[rec.link];
        if (rec.kind == MSIM_EV_CONNECT) {
            lk->up = 1;
            lk->conn = rec.conn;
            lk->announced = 0;
            lk->lastFrameMs = 0;
        } else if (rec.kind == MSIM_EV_FRAME) {
            if (rec.conn == lk->conn && rec.cmdType == announceCmd(rec.link))
                lk->announced = 1;
            if (rec.conn == lk->conn && rec.seq >= s->gapFromSeq)
                countGap(lk, &rec);
        } else if (rec.conn == lk->conn) {
            lk->up = 0;
        }
    }
}

static int32_t allUp(Soak_t *s)
{
    pump(s);
    for (int32_t l = 0; l < MSIM_NUM_LINKS; l++) {
        if (!s->links[l].up || !s->links[l].announced ||
            meterSimConnected(s->sim, l) != 1)
            return 0;
    }
    return 1;
}

static int32_t waitAllUp(Soak_t *s, uint32_t timeoutMs)
{
    uint64_t end = meterSimNowMs() + timeoutMs;
    while (!bStop) {
        if (allUp(s))
            return 1;
        if (meterSimNowMs() >= end)
            return 0;
        usleep(SOAK_SLICE_MS * 1000);
    }
    return 0;
}

/* The unit connected again on the link after fromSeq and announced itself
 * on that connection: 1 with the time of the announcement, or 0. */
static int32_t waitAnnounced(Soak_t *s, int32_t link, uint32_t fromSeq, uint32_t timeoutMs,
                             uint64_t *atMs)
{
    uint64_t end = meterSimNowMs() + timeoutMs;
    uint32_t seq = fromSeq;
    MeterSimRecord_t conn;
    int32_t bConnected = 0;
    while (!bStop) {
        uint64_t now = meterSimNowMs();
        if (now >= end)
            return 0;
        uint32_t slice = (uint32_t)(end - now) < 200u ? (uint32_t)(end - now) : 200u;
        MeterSimRecord_t rec;
        if (!bConnected) {
            if (meterSimWait(s->sim, seq, link, MSIM_EV_CONNECT, MSIM_ANY, slice, &conn) == 1) {
                bConnected = 1;
                seq = conn.seq + 1;
            }
            continue;
        }
        if (meterSimWait(s->sim, seq, link, MSIM_EV_FRAME, announceCmd(link), slice, &rec) != 1)
            continue;
        seq = rec.seq + 1;
        if (rec.conn == conn.conn) {
            *atMs = rec.timeMs;
            return 1;
        }
    }
    return 0;
}

/* ------------------------------------------------------------------------
 * Valid traffic
 * ---------------------------------------------------------------------- */

static uint16_t lcd[DEMO_FB_PIXELS];

static int32_t lcdShowsMeter(Soak_t *s)
{
    return demoReadFrame(&s->board, lcd) == 1 &&
           memcmp(lcd, meterSimScreen(s->sim), sizeof(lcd)) == 0;
}

/* A changed screen: a pattern now and then, otherwise a few rectangles of
 * new colours; only what changed is sent, then SCR_FIN. */
static void changeScreen(Soak_t *s)
{
    if (soakRandRange(&s->rand, 0, 7) == 0) {
        meterSimDrawPattern(s->sim, (int32_t)soakRandRange(&s->rand, 0, 3),
                            (uint16_t)soakRandRange(&s->rand, 0, 0xFFFF));
        return;
    }
    uint32_t n = soakRandRange(&s->rand, 1, 3);
    for (uint32_t i = 0; i < n; i++) {
        int32_t x = (int32_t)soakRandRange(&s->rand, 0, MSW_SCREEN_W - 1);
        int32_t y = (int32_t)soakRandRange(&s->rand, 0, MSW_SCREEN_H - 1);
        int32_t w = (int32_t)soakRandRange(&s->rand, 1, (uint32_t)(MSW_SCREEN_W - x));
        int32_t h = (int32_t)soakRandRange(&s->rand, 1, (uint32_t)(MSW_SCREEN_H - y));
        meterSimFillRect(s->sim, x, y, w, h, (uint16_t)soakRandRange(&s->rand, 0, 0xFFFF));
    }
}

static int32_t checkScreen(Soak_t *s)
{
    s->screens++;
    changeScreen(s);
    uint64_t t0 = meterSimNowMs();
    if (meterSimSendScreen(s->sim, 1, 1) < 0)
        return 0;
    uint64_t end = t0 + SOAK_SCREEN_MS;
    while (!bStop && meterSimNowMs() < end) {
        if (lcdShowsMeter(s)) {
            uint32_t ms = (uint32_t)(meterSimNowMs() - t0);
            if (ms > s->screenWorstMs)
                s->screenWorstMs = ms;
            s->screensOk++;
            return 1;
        }
        usleep(SOAK_SLICE_MS * 1000);
    }
    return 0;
}

static int32_t backlightBecomes(Soak_t *s, int32_t level)
{
    uint64_t end = meterSimNowMs() + SOAK_ANSWER_MS;
    while (!bStop && meterSimNowMs() < end) {
        if (demoReadBacklight(&s->board) == level)
            return 1;
        usleep(SOAK_SLICE_MS * 1000);
    }
    return 0;
}

/* A brightness the daemon must apply and an LED pattern the link must
 * accept; both answered OK. */
static int32_t checkCommands(Soak_t *s)
{
    s->commands++;
    uint32_t level = soakRandRange(&s->rand, 0, 100);
    uint32_t tid = 0;
    if (meterSimSetBrightness(s->sim, level, &tid) != 1 ||
        meterSimWaitResponse(s->sim, MSIM_LINK_NONSCREEN, tid, SOAK_ANSWER_MS) != MSW_RC_OK ||
        !backlightBecomes(s, (int32_t)level))
        return 0;
    MSW_Pattern_t pattern;
    pattern.cycle = soakRandRange(&s->rand, 200, 2000);
    pattern.duty = soakRandRange(&s->rand, 0, 100);
    pattern.numActCycle = soakRandRange(&s->rand, 0, 3);
    pattern.numInActCycle = soakRandRange(&s->rand, 0, 3);
    if (meterSimSetStatusLed(s->sim, (int32_t)soakRandRange(&s->rand, MSW_LED_GREEN, MSW_LED_RED),
                             &pattern, &tid) != 1 ||
        meterSimWaitResponse(s->sim, MSIM_LINK_NONSCREEN, tid, SOAK_ANSWER_MS) != MSW_RC_OK)
        return 0;
    s->commandsOk++;
    return 1;
}

static int32_t le32(const uint8_t *p)
{
    return (int32_t)((uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                     ((uint32_t)p[3] << 24));
}

/* A key stroke on the keypad reaches the meter as its release. */
static int32_t checkKey(Soak_t *s)
{
    static const int32_t keys[] = {DEMO_KEY_UP, DEMO_KEY_DOWN, DEMO_KEY_LEFT, DEMO_KEY_RIGHT,
                                   DEMO_KEY_HOME};
    s->keys++;
    int32_t code = keys[soakRandRange(&s->rand, 0, (uint32_t)(sizeof(keys) / sizeof(keys[0])) - 1)];
    uint32_t seq = meterSimMark(s->sim);
    if (demoPressKey(&s->board, code) != 1)
        return 0;
    uint64_t end = meterSimNowMs() + SOAK_ANSWER_MS;
    MeterSimRecord_t rec;
    while (!bStop && meterSimNowMs() < end) {
        if (meterSimWait(s->sim, seq, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSW_FB_KEYEVENT, 200,
                         &rec) != 1)
            continue;
        seq = rec.seq + 1;
        if (rec.nBytes >= MSW_HEAD_LEN + 8 && le32(rec.bytes + MSW_HEAD_LEN) == code &&
            le32(rec.bytes + MSW_HEAD_LEN + 4) == 0) {
            s->keysOk++;
            return 1;
        }
    }
    return 0;
}

/* ------------------------------------------------------------------------
 * Programs
 * ---------------------------------------------------------------------- */

/* A program gone or replaced is a death; the app client is replaced by
 * design after each startup-link failure (it runs only while that link
 * is up), and only then. */
static void checkProgs(Soak_t *s, int32_t bStartupFault)
{
    for (int32_t p = 0; p < SOAK_NUM_PROGS; p++) {
        pid_t pid = soakFindProg(s->opt.root, p);
        if (pid == s->lastPid[p])
            continue;
        if (p == SOAK_P_APP && pid != 0) {
            s->appRestarts++;
            if (!bStartupFault) {
                s->unexpectedAppRestarts++;
                say(s, "kelappclient replaced (pid %d -> %d) without a startup-link fault",
                    (int)s->lastPid[p], (int)pid);
            }
        } else {
            s->deaths++;
            snprintf(s->deathNote, sizeof(s->deathNote), "%s pid %d -> %d", soakProgName(p),
                     (int)s->lastPid[p], (int)pid);
            say(s, "%s: was pid %d, now %s %d", soakProgName(p), (int)s->lastPid[p],
                pid == 0 ? "gone" : "pid", (int)pid);
        }
        s->lastPid[p] = pid;
    }
}

/* The app client is a new process after each startup-link fault, so its
 * figures at the end say nothing about what one process gathered over
 * its faults on the screen and non-screen links: each life is compared
 * with its own first round. */
static void followAppLife(Soak_t *s)
{
    SoakProcFig_t figs[SOAK_NUM_PROGS];
    soakSampleProgs(s->opt.root, figs);
    const SoakProcFig_t *now = &figs[SOAK_P_APP];
    if (now->pid == 0)
        return;
    if (now->pid != s->appPid) {
        s->appPid = now->pid;
        s->appBase = *now;
        s->appLives++;
        return;
    }
    s->appCompared++;
    if (now->fds - s->appBase.fds > s->appGrowth.fds)
        s->appGrowth.fds = now->fds - s->appBase.fds;
    if (now->threads - s->appBase.threads > s->appGrowth.threads)
        s->appGrowth.threads = now->threads - s->appBase.threads;
    if (now->rssKb - s->appBase.rssKb > s->appGrowth.rssKb)
        s->appGrowth.rssKb = now->rssKb - s->appBase.rssKb;
}

/* ------------------------------------------------------------------------
 * Rounds
 * ---------------------------------------------------------------------- */

/* Links other than the faulted one that dropped since seq. A fault on the
 * startup link takes the app client's links down by design. */
static uint32_t otherDrops(Soak_t *s, const SoakFault_t *f, uint32_t seq)
{
    if (f->link == MSIM_LINK_STARTUP)
        return 0;
    uint32_t n = 0;
    for (int32_t l = 0; l < MSIM_NUM_LINKS; l++) {
        if (l != f->link)
            n += (uint32_t)meterSimCount(s->sim, seq, l, MSIM_EV_CONNECT, MSIM_ANY);
    }
    return n;
}

static void recordRecovery(Soak_t *s, const SoakFault_t *f, uint64_t t0, uint32_t seq)
{
    SoakTally_t *t = &s->tally[f->kind][f->link];
    uint64_t at = 0;
    int32_t ok = waitAnnounced(s, f->link, seq, f->limitMs + SOAK_GIVE_UP_MS, &at);
    soakEndFault(s->sim, f);
    if (bStop)
        return;
    if (!ok) {
        t->lost++;
        say(s, "#%u %s on %s: the unit did not come back within %u ms", s->rounds,
            soakFaultName(f->kind), soakLinkName(f->link), f->limitMs + SOAK_GIVE_UP_MS);
        return;
    }
    uint32_t ms = at > t0 ? (uint32_t)(at - t0) : 0;
    t->recovered++;
    if (ms >= t->worstMs) {
        t->worstMs = ms;
        t->limitAtWorst = f->limitMs;
    }
    int32_t bLate = ms > f->limitMs + SOAK_SLACK_MS;
    t->late += (uint32_t)bLate;
    char service[64] = "";
    if (f->link == MSIM_LINK_STARTUP) {
        uint64_t fbAt = 0, nsAt = 0;
        if (waitAnnounced(s, MSIM_LINK_SCREEN, seq, SOAK_UP_MS, &fbAt) &&
            waitAnnounced(s, MSIM_LINK_NONSCREEN, seq, SOAK_UP_MS, &nsAt)) {
            uint64_t back = fbAt > nsAt ? fbAt : nsAt;
            uint32_t svc = back > t0 ? (uint32_t)(back - t0) : 0;
            s->serviceCount++;
            if (svc > s->serviceWorstMs)
                s->serviceWorstMs = svc;
            snprintf(service, sizeof(service), ", app client back after %u ms", svc);
        }
    }
    say(s, "#%u %s on %s: announced again after %u ms (limit %u)%s%s", s->rounds,
        soakFaultName(f->kind), soakLinkName(f->link), ms, f->limitMs, service,
        bLate ? "  LATE" : "");
}

static void runRound(Soak_t *s)
{
    SoakFault_t f;
    soakPickFault(&s->rand, &f);
    s->rounds++;
    SoakTally_t *t = &s->tally[f.kind][f.link];
    pump(s);
    uint32_t seq = meterSimMark(s->sim);
    uint64_t t0 = meterSimNowMs();
    s->links[f.link].faultFromMs = t0;
    s->links[f.link].faultToMs = UINT64_MAX;
    int32_t bInjected = soakInjectFault(s->sim, &s->rand, &f) == 1;
    if (!bInjected) {
        soakEndFault(s->sim, &f);
        t->notInjected++;
        say(s, "#%u %s on %s: no connection to break", s->rounds, soakFaultName(f.kind),
            soakLinkName(f.link));
    } else {
        t->injected++;
        if (f.bExpectDrop)
            recordRecovery(s, &f, t0, seq);
        else
            soakEndFault(s->sim, &f);
    }
    s->links[f.link].faultToMs = meterSimNowMs();
    if (bStop)
        return;
    if (!waitAllUp(s, SOAK_UP_MS)) {
        s->notUp++;
        say(s, "#%u: links not all back after %u ms", s->rounds, SOAK_UP_MS);
        return;
    }
    int32_t screenOk = checkScreen(s);
    int32_t cmdOk = checkCommands(s);
    int32_t keyOk = checkKey(s);
    if (!screenOk || !cmdOk || !keyOk)
        say(s, "#%u after %s on %s: screen %s, commands %s, key %s", s->rounds,
            soakFaultName(f.kind), soakLinkName(f.link), screenOk ? "ok" : "FAILED",
            cmdOk ? "ok" : "FAILED", keyOk ? "ok" : "FAILED");
    if (bInjected && !f.bExpectDrop) {
        int32_t drops = meterSimCount(s->sim, seq, f.link, MSIM_EV_CONNECT, MSIM_ANY);
        if (drops > 0) {
            t->lost++;
            say(s, "#%u %s on %s: the link dropped, it should have been kept", s->rounds,
                soakFaultName(f.kind), soakLinkName(f.link));
        } else {
            t->kept++;
        }
    }
    uint32_t others = otherDrops(s, &f, seq);
    if (others > 0) {
        s->otherDrops += others;
        say(s, "#%u %s on %s: %u other link(s) dropped too", s->rounds, soakFaultName(f.kind),
            soakLinkName(f.link), others);
    }
    checkProgs(s, f.link == MSIM_LINK_STARTUP);
    if (s->bHaveStart)
        followAppLife(s);
}

/* ------------------------------------------------------------------------
 * Report
 * ---------------------------------------------------------------------- */

static void printFaults(const Soak_t *s)
{
    printf("faults injected by kind (per link: startup / screen / non-screen)\n");
    uint32_t total = 0;
    for (int32_t k = 0; k < SOAK_NUM_FAULTS; k++) {
        const SoakTally_t *t = s->tally[k];
        uint32_t n = t[0].injected + t[1].injected + t[2].injected;
        total += n;
        printf("  %-16s %5u   (%u / %u / %u)\n", soakFaultName(k), n,
               t[MSIM_LINK_STARTUP].injected, t[MSIM_LINK_SCREEN].injected,
               t[MSIM_LINK_NONSCREEN].injected);
    }
    printf("  %-16s %5u   in %u rounds\n", "total", total, s->rounds);
    printf("\nrecoveries (announced again on a new connection, from the fault; allowed:\n"
           "limit + %u ms scheduling slack)\n", SOAK_SLACK_MS);
    printf("  %-16s %-10s %6s %9s %9s %9s %5s %5s\n", "kind", "link", "faults", "recovered",
           "worst ms", "limit ms", "late", "lost");
    for (int32_t k = 0; k < SOAK_NUM_FAULTS; k++) {
        for (int32_t l = MSIM_LINK_STARTUP; l >= MSIM_LINK_SCREEN; l--) {
            const SoakTally_t *t = &s->tally[k][l];
            if (t->injected == 0)
                continue;
            if (k == SOAK_F_STALL_SHORT || k == SOAK_F_RECT)
                printf("  %-16s %-10s %6u   link kept %u of %u, dropped %u\n", soakFaultName(k),
                       soakLinkName(l), t->injected, t->kept, t->injected, t->lost);
            else
                printf("  %-16s %-10s %6u %9u %9u %9u %5u %5u\n", soakFaultName(k),
                       soakLinkName(l), t->injected, t->recovered, t->worstMs, t->limitAtWorst,
                       t->late, t->lost);
        }
    }
    printf("  the unit's longest quiet stretch on a live link, faults on it excluded (limit %u ms):\n"
           "  startup %u ms, screen %u ms, non-screen %u ms; over the limit + slack: %u\n",
           SOAK_HEARTBEAT_GAP_MS, s->links[MSIM_LINK_STARTUP].worstGapMs,
           s->links[MSIM_LINK_SCREEN].worstGapMs, s->links[MSIM_LINK_NONSCREEN].worstGapMs,
           s->links[0].lateGaps + s->links[1].lateGaps + s->links[2].lateGaps);
    printf("  app client back after a startup-link fault: %u times, worst %u ms\n",
           s->serviceCount, s->serviceWorstMs);
    printf("  other links dropped by a screen or non-screen fault: %u; links not back "
           "within %u ms: %u\n", s->otherDrops, SOAK_UP_MS, s->notUp);
}

static int32_t rssSlack(const Soak_t *s)
{
    return s->opt.bSanitized ? SOAK_RSS_SLACK_SAN_KB : SOAK_RSS_SLACK_KB;
}

/* Prints the programs' figures; returns the number of figures that grew. */
static int32_t printProgs(const Soak_t *s)
{
    int32_t grown = 0;
    printf("\nprograms, after the warm-up (%.0f s) -> at the end\n",
           (double)(s->figStartAtMs - s->startMs) / 1000.0);
    printf("  %-13s %-15s %-11s %-19s %-9s\n", "program", "pid", "fds", "rss kB", "threads");
    for (int32_t p = 0; p < SOAK_NUM_PROGS; p++) {
        const SoakProcFig_t *a = &s->figStart[p];
        const SoakProcFig_t *b = &s->figEnd[p];
        int32_t fdUp = b->fds > a->fds;
        int32_t rssUp = b->rssKb > a->rssKb + rssSlack(s);
        int32_t thrUp = b->threads > a->threads;
        int32_t gone = b->pid == 0 || a->pid == 0;
        grown += fdUp + rssUp + thrUp + gone;
        char pids[32];
        snprintf(pids, sizeof(pids), "%d -> %d", (int)a->pid, (int)b->pid);
        char fds[24], rss[32], thr[24];
        snprintf(fds, sizeof(fds), "%d -> %d%s", a->fds, b->fds, fdUp ? "!" : "");
        snprintf(rss, sizeof(rss), "%d -> %d%s", a->rssKb, b->rssKb, rssUp ? "!" : "");
        snprintf(thr, sizeof(thr), "%d -> %d%s", a->threads, b->threads, thrUp ? "!" : "");
        printf("  %-13s %-15s %-11s %-19s %-9s%s\n", soakProgName(p), pids, fds, rss, thr,
               gone ? "  NOT RUNNING" : "");
    }
    printf("  (rss may grow by %d kB after the warm-up%s; fds and threads not at all;\n"
           "   kelappclient is a new process after each startup-link fault: %u restarts,\n"
           "   %u of them without one)\n",
           rssSlack(s), s->opt.bSanitized ? ", sanitizer quarantine included" : "",
           s->appRestarts, s->unexpectedAppRestarts);
    int32_t appUp = (s->appGrowth.fds > 0) + (s->appGrowth.threads > 0) +
                    (s->appGrowth.rssKb > rssSlack(s));
    printf("  kelappclient within each life, after its first round: %u lives, %u rounds "
           "compared,\n  at most fds +%d, threads +%d, rss +%d kB%s\n",
           s->appLives, s->appCompared, s->appGrowth.fds, s->appGrowth.threads,
           s->appGrowth.rssKb, appUp > 0 ? "  GREW" : "");
    return grown + appUp;
}

static void ipcWaiting(const SoakIpcFig_t *f, char *buf, size_t len)
{
    buf[0] = '\0';
    for (size_t i = 0; soakQueueLetters[i] != '\0'; i++) {
        size_t used = strlen(buf);
        if (f->waiting[i] >= 0)
            snprintf(buf + used, len - used, "%s%c %d", used > 0 ? ", " : "",
                     soakQueueLetters[i], f->waiting[i]);
    }
}

static int32_t printIpc(const Soak_t *s)
{
    char a[64], b[64];
    ipcWaiting(&s->ipcStart, a, sizeof(a));
    ipcWaiting(&s->ipcEnd, b, sizeof(b));
    printf("\nSystem V objects keyed on the sandbox, after the warm-up -> at the end\n");
    printf("  queues         %d -> %d   (messages waiting: %s -> %s)\n", s->ipcStart.queues,
           s->ipcEnd.queues, a, b);
    printf("  segments       %d -> %d   (attached %d -> %d)\n", s->ipcStart.segments,
           s->ipcEnd.segments, s->ipcStart.attached, s->ipcEnd.attached);
    return (s->ipcEnd.queues > s->ipcStart.queues) + (s->ipcEnd.segments > s->ipcStart.segments) +
           (s->ipcEnd.attached > s->ipcStart.attached);
}

static int32_t report(Soak_t *s)
{
    printf("\n== soak report ==\n");
    printf("seed %llu, meter on %s, %.0f s, %s build\n\n", (unsigned long long)s->opt.seed,
           s->opt.addr, elapsed(s), s->opt.bSanitized ? "sanitizer" : "plain");
    printFaults(s);
    int32_t failures = 0;
    for (int32_t k = 0; k < SOAK_NUM_FAULTS; k++) {
        for (int32_t l = 0; l < MSIM_NUM_LINKS; l++)
            failures += (int32_t)(s->tally[k][l].late + s->tally[k][l].lost);
    }
    failures += (int32_t)(s->otherDrops + s->notUp);
    for (int32_t l = 0; l < MSIM_NUM_LINKS; l++)
        failures += (int32_t)s->links[l].lateGaps;
    printf("\nvalid traffic between faults\n");
    printf("  screens on the LCD byte-exact  %u of %u (worst %u ms)\n", s->screensOk, s->screens,
           s->screenWorstMs);
    printf("  commands answered and applied  %u of %u\n", s->commandsOk, s->commands);
    printf("  keys delivered to the meter    %u of %u\n", s->keysOk, s->keys);
    failures += (int32_t)(s->screens - s->screensOk + s->commands - s->commandsOk + s->keys -
                          s->keysOk);
    int32_t grown = 0;
    if (s->bHaveStart) {
        grown = printProgs(s) + printIpc(s);
    } else {
        printf("\nno figures: the run ended before its warm-up\n");
        failures++;
    }
    printf("\nprograms died or replaced: %u%s%s%s\n", s->deaths + s->unexpectedAppRestarts,
           s->deaths > 0 ? " (last: " : "", s->deaths > 0 ? s->deathNote : "",
           s->deaths > 0 ? ")" : "");
    failures += (int32_t)(s->deaths + s->unexpectedAppRestarts) + grown;
    if (s->rounds == 0)
        failures++;
    printf("result: %s (%d failed checks, %d figures grew)\n", failures == 0 ? "PASS" : "FAIL",
           failures, grown);
    fflush(stdout);
    return failures == 0 ? 0 : 1;
}

/* ------------------------------------------------------------------------
 * Main
 * ---------------------------------------------------------------------- */

static void usage(void)
{
    fprintf(stderr,
            "usage: kelsoak --root SANDBOX --addr 127.x.y.z --seconds N [--seed S] "
            "[--sanitized]\n"
            "  N from 1 to %u; S any number (default: from the clock, printed)\n"
            "  --sanitized   the programs carry the sanitizers (wider memory slack)\n",
            SOAK_MAX_SECONDS);
}

static int32_t parseNumber(const char *v, uint64_t max, uint64_t *out)
{
    char *end = NULL;
    if (v == NULL || v[0] < '0' || v[0] > '9')
        return -1;
    unsigned long long n = strtoull(v, &end, 10);
    if (*end != '\0' || n > max)
        return -1;
    *out = n;
    return 1;
}

static int32_t parseArgs(int argc, char **argv, SoakOptions_t *o)
{
    memset(o, 0, sizeof(*o));
    o->seed = (uint64_t)time(NULL) ^ ((uint64_t)getpid() << 20);
    uint64_t n = 0;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(a, "--sanitized") == 0) {
            o->bSanitized = 1;
            continue;
        }
        if (v == NULL)
            return -1;
        i++;
        if (strcmp(a, "--root") == 0) {
            o->root = v;
        } else if (strcmp(a, "--addr") == 0) {
            o->addr = v;
        } else if (strcmp(a, "--seconds") == 0) {
            if (parseNumber(v, SOAK_MAX_SECONDS, &n) != 1 || n == 0)
                return -1;
            o->seconds = (uint32_t)n;
        } else if (strcmp(a, "--seed") == 0) {
            if (parseNumber(v, UINT64_MAX, &o->seed) != 1)
                return -1;
        } else {
            return -1;
        }
    }
    if (o->root == NULL || o->addr == NULL || o->seconds == 0 ||
        strncmp(o->addr, "127.", 4) != 0)
        return -1;
    return 1;
}

static void takeFigures(Soak_t *s, SoakProcFig_t *figs, SoakIpcFig_t *ipc)
{
    soakSampleProgs(s->opt.root, figs);
    soakSampleIpc(s->opt.root, ipc);
}

static MeterSim_t *startMeter(Soak_t *s)
{
    MeterSimConfig_t cfg;
    meterSimDefaultConfig(&cfg, s->opt.addr);
    cfg.bServeStartup = 1;
    int32_t app = demoReadAppVersion(&s->board);
    if (app >= 0)
        cfg.stpAppVersion = (uint32_t)app;
    return meterSimStart(&cfg);
}

static int32_t bootUnit(Soak_t *s)
{
    if (!waitAllUp(s, SOAK_BOOT_MS)) {
        say(s, "the unit did not bring up its links within %u s", SOAK_BOOT_MS / 1000);
        return 0;
    }
    if (!checkScreen(s)) {
        say(s, "the first screen did not reach the LCD");
        return 0;
    }
    for (int32_t p = 0; p < SOAK_NUM_PROGS; p++) {
        s->bootPid[p] = soakFindProg(s->opt.root, p);
        s->lastPid[p] = s->bootPid[p];
        if (s->bootPid[p] == 0) {
            say(s, "%s is not running", soakProgName(p));
            return 0;
        }
    }
    say(s, "unit up: kelcontrol %d, kelstpclient %d, kelappclient %d, kelupgrade %d",
        (int)s->bootPid[SOAK_P_CONTROL], (int)s->bootPid[SOAK_P_STARTUP],
        (int)s->bootPid[SOAK_P_APP], (int)s->bootPid[SOAK_P_UPGRADE]);
    return 1;
}

/* A pause between rounds in which the links only exchange heartbeats. */
static void quietPause(Soak_t *s)
{
    uint64_t end = meterSimNowMs() + soakRandRange(&s->rand, SOAK_PAUSE_MIN_MS, SOAK_PAUSE_MAX_MS);
    while (!bStop && meterSimNowMs() < end)
        usleep(SOAK_SLICE_MS * 1000);
}

int main(int argc, char **argv)
{
    static Soak_t s;
    if (parseArgs(argc, argv, &s.opt) != 1) {
        usage();
        return 2;
    }
    if (demoBoardOpen(&s.board, s.opt.root) != 1) {
        fprintf(stderr, "kelsoak: %s is no sandbox\n", s.opt.root);
        return 2;
    }
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGPIPE, SIG_IGN);
    soakRandSeed(&s.rand, s.opt.seed);
    s.startMs = meterSimNowMs();
    s.sim = startMeter(&s);
    if (s.sim == NULL) {
        fprintf(stderr, "kelsoak: cannot serve on %s\n", s.opt.addr);
        return 1;
    }
    say(&s, "meter on %s, seed %llu (repeat with --seed %llu), %u s", s.opt.addr,
        (unsigned long long)s.opt.seed, (unsigned long long)s.opt.seed, s.opt.seconds);
    uint64_t endMs = s.startMs + (uint64_t)s.opt.seconds * 1000u;
    uint64_t warmup = (uint64_t)s.opt.seconds * 1000u / 4u;
    s.warmupEndMs = s.startMs + (warmup < SOAK_WARMUP_MAX_MS ? warmup : SOAK_WARMUP_MAX_MS);

    s.gapFromSeq = UINT32_MAX;
    int32_t bUp = bootUnit(&s);
    s.gapFromSeq = meterSimMark(s.sim);
    while (bUp && !bStop && meterSimNowMs() < endMs) {
        runRound(&s);
        if (!s.bHaveStart && !bStop && meterSimNowMs() >= s.warmupEndMs && allUp(&s)) {
            takeFigures(&s, s.figStart, &s.ipcStart);
            s.figStartAtMs = meterSimNowMs();
            s.bHaveStart = 1;
            say(&s, "warm-up over: figures taken");
        }
        quietPause(&s);
    }
    if (bUp && !bStop)
        (void)waitAllUp(&s, SOAK_UP_MS);
    if (s.bHaveStart)
        takeFigures(&s, s.figEnd, &s.ipcEnd);
    int32_t status = report(&s);
    if (!bUp) {
        printf("the unit never came up\n");
        status = 1;
    }
    meterSimStop(s.sim);
    return bStop ? 130 : status;
}
