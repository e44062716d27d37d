/*
 * kelmeterdemo.cpp - plays a short meter session against a virtual unit
 * so that a person can follow what the unit does, and checks each step.
 *
 *   kelmeterdemo --root <sandbox> --out <dir> --kelshot <path> [options]
 *
 * The program is the meter: it serves the startup, screen-and-key and
 * non-screen links on a loopback address (meter simulator library) and
 * watches the sandbox's board files: the frame buffer, the LEDs, the
 * backlight and the journal; it presses keys through the keypad FIFO and
 * changes the temperature sensor. The unit's programs are started by the
 * caller (scripts/demo); the meter only waits for them to connect.
 *
 * Steps: the unit comes up and shows the meter's screen; the gauge value
 * changes (sent as changed rectangles); brightness and LED commands; key
 * presses, each answered with a screen change; a temperature report and an
 * error report (sensor pulled); a link drop (the meter goes away: error
 * pictogram) and the recovery (the meter's screen again). A screenshot is
 * written at each step and a summary table at the end; the exit status is
 * 0 only when every step happened. SIGUSR1 (the front panel's "drop the
 * meter link") makes the meter go away for a few seconds at any time.
 */
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "demoBoard.h"
#include "demoScreen.h"
#include "meterSim.h"

#define DEMO_DEFAULT_ADDR     "127.0.0.200"
#define DEMO_DEFAULT_SECONDS  60
#define DEMO_MAX_STEPS        24
#define DEMO_DETAIL_LEN       160
#define DEMO_MAX_ERRORS       8
#define DEMO_SLICE_MS         50
#define DEMO_BOOT_MS          45000   /* the sanitised debug build is slow */
#define DEMO_FRAME_MS         8000
#define DEMO_KEY_MS           5000
#define DEMO_SETTING_MS       5000
#define DEMO_REPORT_MS        25000   /* the daemon looks at the sensor every 10 s */
#define DEMO_DROP_MS          20000
#define DEMO_LED_SAMPLE_MS    1500
#define DEMO_PICTO_TOLERANCE  (DEMO_FB_PIXELS / 100)
#define DEMO_KERNEL_BUILD     193
#define DEMO_TEMP_MILLIC      41500
#define DEMO_BRIGHT_LOW       30
#define DEMO_BRIGHT_HIGH      80
#define DEMO_AWAY_MS          8000    /* a requested link drop lasts this long */

typedef struct {
    const char *root;
    const char *out;
    const char *kelshot;
    const char *addr;
    const char *ready;
    uint32_t seconds;
    int32_t bShort;
    int32_t bInteractive;
    int32_t bVerbose;
} DemoOptions_t;

typedef struct {
    char name[24];
    int32_t bOk;
    char detail[DEMO_DETAIL_LEN];
} DemoStep_t;

typedef struct {
    DemoOptions_t opt;
    DemoBoard_t board;
    MeterSim_t *sim;
    DemoScreen_t scr;
    uint32_t seq;            /* next record of the current simulator */
    uint64_t startMs;
    /* What the meter saw. */
    int32_t connects[MSIM_NUM_LINKS];
    int32_t screensSent;
    int32_t rectsSent;
    int32_t keysDelivered;
    char keyNames[128];
    int32_t lastKeyCode;
    int32_t keyAnswered;     /* the meter changed its screen for the last key */
    int32_t tempReports;
    int32_t lastTemp;
    int32_t errReports;
    int32_t errCodes[DEMO_MAX_ERRORS];
    int32_t shots;
    DemoStep_t steps[DEMO_MAX_STEPS];
    int32_t nSteps;
} Demo_t;

static volatile sig_atomic_t bStop = 0;
static volatile sig_atomic_t bLeave = 0;

static void onSignal(int sig)
{
    (void)sig;
    bStop = 1;
}

/* SIGUSR1 (the front panel's "drop the meter link"): the meter goes away
 * for a while and comes back. */
static void onLeaveSignal(int sig)
{
    (void)sig;
    bLeave = 1;
}

/* ------------------------------------------------------------------------
 * Reporting
 * ---------------------------------------------------------------------- */

static double elapsed(const Demo_t *d)
{
    return (double)(meterSimNowMs() - d->startMs) / 1000.0;
}

static void say(const Demo_t *d, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

static void say(const Demo_t *d, const char *fmt, ...)
{
    va_list ap;
    printf("[%6.1f s] ", elapsed(d));
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
}

static int32_t step(Demo_t *d, const char *name, int32_t bOk, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

static int32_t step(Demo_t *d, const char *name, int32_t bOk, const char *fmt, ...)
{
    if (d->nSteps >= DEMO_MAX_STEPS)
        return bOk;
    DemoStep_t *s = &d->steps[d->nSteps++];
    snprintf(s->name, sizeof(s->name), "%s", name);
    s->bOk = bOk;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(s->detail, sizeof(s->detail), fmt, ap);
    va_end(ap);
    say(d, "%-14s %s  %s", name, bOk ? "ok" : "FAILED", s->detail);
    return bOk;
}

static void appendText(char *buf, size_t len, const char *text)
{
    size_t used = strlen(buf);
    if (used + strlen(text) + 2 < len)
        snprintf(buf + used, len - used, "%s%s", used > 0 ? " " : "", text);
}

/* ------------------------------------------------------------------------
 * The meter's side: events from the unit and the screen
 * ---------------------------------------------------------------------- */

static int32_t sendScreen(Demo_t *d, int32_t bOnlyChanged)
{
    if (meterSimConnected(d->sim, MSIM_LINK_SCREEN) != 1)
        return -1;
    int32_t n = meterSimSendScreen(d->sim, bOnlyChanged, 1);
    if (n >= 0) {
        d->screensSent++;
        d->rectsSent += n;
    }
    return n;
}

static void redraw(Demo_t *d)
{
    demoScreenDraw(&d->scr, d->sim);
    (void)sendScreen(d, 1);
}

static int32_t le32(const uint8_t *p)
{
    return (int32_t)((uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                     ((uint32_t)p[3] << 24));
}

static void onFrame(Demo_t *d, const MeterSimRecord_t *rec)
{
    if (rec->link == MSIM_LINK_SCREEN && rec->cmdType == MSW_FB_DATA_REQ) {
        /* A (re)connected unit gets the whole screen. */
        int32_t n = sendScreen(d, 0);
        say(d, "screen link: unit asked for the screen, %d rectangles sent", n);
    } else if (rec->link == MSIM_LINK_SCREEN && rec->cmdType == MSW_FB_KEYEVENT &&
               rec->nBytes >= MSW_HEAD_LEN + 8) {
        int32_t code = le32(rec->bytes + MSW_HEAD_LEN);
        int32_t action = le32(rec->bytes + MSW_HEAD_LEN + 4);
        if (action != 0)
            return;
        d->keysDelivered++;
        d->lastKeyCode = code;
        appendText(d->keyNames, sizeof(d->keyNames), demoKeyName(code));
        d->keyAnswered = demoScreenKey(&d->scr, code, action);
        if (d->keyAnswered)
            redraw(d);
        say(d, "key %s reached the meter%s", demoKeyName(code),
            d->keyAnswered ? ", screen answered" : "");
    } else if (rec->link == MSIM_LINK_NONSCREEN && rec->cmdType == MSW_NS_GET_TEMPERATURE &&
               rec->nBytes >= MSW_HEAD_LEN + 4) {
        d->tempReports++;
        d->lastTemp = le32(rec->bytes + MSW_HEAD_LEN);
        say(d, "temperature report: %d.%d C", (int)(d->lastTemp / 1000),
            (int)((d->lastTemp % 1000) / 100));
    } else if (rec->link == MSIM_LINK_NONSCREEN && rec->cmdType == MSW_NS_GET_ERROR &&
               rec->nBytes >= MSW_HEAD_LEN + 4) {
        int32_t code = le32(rec->bytes + MSW_HEAD_LEN);
        if (d->errReports < DEMO_MAX_ERRORS)
            d->errCodes[d->errReports] = code;
        d->errReports++;
        say(d, "error report: code %d", (int)code);
    }
}

static MeterSim_t *startMeter(const Demo_t *d);

/* The meter leaves on request: every link drops, nothing listens for
 * DEMO_AWAY_MS, then the meter serves again and the unit comes back. */
static void leaveForAWhile(Demo_t *d)
{
    bLeave = 0;
    say(d, "meter goes away on request: every link drops for %d s", DEMO_AWAY_MS / 1000);
    meterSimStop(d->sim);
    d->sim = NULL;
    uint64_t back = meterSimNowMs() + DEMO_AWAY_MS;
    while (!bStop && meterSimNowMs() < back)
        usleep(DEMO_SLICE_MS * 1000);
    /* The port was just freed, so this serves at once; the session cannot
     * go on without its meter, hence the retries. */
    while ((d->sim = startMeter(d)) == NULL)
        usleep(1000 * 1000);
    d->seq = 0;
    demoScreenDraw(&d->scr, d->sim);
    say(d, "meter back on %s", d->opt.addr);
}

/* Handles the unit's events for up to waitMs. */
static void pump(Demo_t *d, uint32_t waitMs)
{
    if (bLeave && d->sim != NULL)
        leaveForAWhile(d);
    uint64_t end = meterSimNowMs() + waitMs;
    do {
        MeterSimRecord_t rec;
        if (meterSimWait(d->sim, d->seq, MSIM_ANY, MSIM_ANY, MSIM_ANY, DEMO_SLICE_MS, &rec) != 1)
            continue;
        d->seq = rec.seq + 1;
        if (d->opt.bVerbose) {
            char line[256];
            meterSimFormatRecord(&rec, line, sizeof(line));
            say(d, "%s", line);
        }
        if (rec.kind == MSIM_EV_CONNECT && rec.link >= 0 && rec.link < MSIM_NUM_LINKS)
            d->connects[rec.link]++;
        else if (rec.kind == MSIM_EV_FRAME)
            onFrame(d, &rec);
    } while (!bStop && meterSimNowMs() < end);
}

static MeterSim_t *startMeter(const Demo_t *d)
{
    MeterSimConfig_t cfg;
    meterSimDefaultConfig(&cfg, d->opt.addr);
    /* The meter expects the application the unit has installed, so the
     * unit starts it without an update. */
    cfg.bServeStartup = 1;
    int32_t app = demoReadAppVersion(&d->board);
    if (app >= 0)
        cfg.stpAppVersion = (uint32_t)app;
    cfg.stpKernelVersion = DEMO_KERNEL_BUILD;
    return meterSimStart(&cfg);
}

/* ------------------------------------------------------------------------
 * Waiting for the board
 * ---------------------------------------------------------------------- */

static uint16_t fb[DEMO_FB_PIXELS];
static uint16_t pictos[2][DEMO_FB_PIXELS];

static int32_t fbShowsMeter(Demo_t *d)
{
    return demoReadFrame(&d->board, fb) == 1 && demoFrameDiff(fb, meterSimScreen(d->sim)) == 0;
}

static int32_t fbShowsError(Demo_t *d)
{
    if (demoReadFrame(&d->board, fb) != 1)
        return 0;
    return demoFrameDiff(fb, pictos[0]) < DEMO_PICTO_TOLERANCE ||
           demoFrameDiff(fb, pictos[1]) < DEMO_PICTO_TOLERANCE;
}

static int32_t linksUp(Demo_t *d)
{
    return meterSimConnected(d->sim, MSIM_LINK_STARTUP) == 1 &&
           meterSimConnected(d->sim, MSIM_LINK_SCREEN) == 1 &&
           meterSimConnected(d->sim, MSIM_LINK_NONSCREEN) == 1;
}

/* Pumps events until cond holds or timeoutMs passed; 1 or 0. */
static int32_t waitUntil(Demo_t *d, int32_t (*cond)(Demo_t *), uint32_t timeoutMs)
{
    uint64_t end = meterSimNowMs() + timeoutMs;
    while (!bStop) {
        if (cond(d))
            return 1;
        if (meterSimNowMs() >= end)
            return 0;
        pump(d, DEMO_SLICE_MS * 2);
    }
    return 0;
}

/* A pause a person can follow; short in CI. */
static void demoPause(Demo_t *d, uint32_t ms)
{
    pump(d, d->opt.bShort ? ms / 5 : ms);
}

/* Screenshot of the frame last read into fb: <out>/NN-<name>.png. */
static int32_t shot(Demo_t *d, const char *name, char *file, size_t fileLen)
{
    char path[DEMO_PATH_MAX + 64];
    d->shots++;
    snprintf(file, fileLen, "%02d-%s.png", (int)d->shots, name);
    snprintf(path, sizeof(path), "%s/%s", d->opt.out, file);
    if (demoScreenshot(d->opt.kelshot, fb, path) != 1) {
        say(d, "screenshot %s could not be written", file);
        return -1;
    }
    return 1;
}

/* LED states sampled for a while, so a blinking LED shows as such; the
 * meter's events are handled meanwhile when it serves. */
static void sampleLeds(Demo_t *d, char *buf, size_t len)
{
    int32_t seen[DEMO_NUM_LEDS][2] = {{0, 0}, {0, 0}, {0, 0}};
    uint64_t end = meterSimNowMs() + (d->opt.bShort ? DEMO_LED_SAMPLE_MS / 2 : DEMO_LED_SAMPLE_MS);
    while (!bStop && meterSimNowMs() < end) {
        for (int32_t i = 0; i < DEMO_NUM_LEDS; i++) {
            int32_t v = demoReadLed(&d->board, i);
            if (v >= 0)
                seen[i][v] = 1;
        }
        if (d->sim != NULL)
            pump(d, 20);
        else
            usleep(20 * 1000);
    }
    buf[0] = '\0';
    for (int32_t i = 0; i < DEMO_NUM_LEDS; i++) {
        const char *state = seen[i][0] && seen[i][1] ? "blinking" : seen[i][1] ? "on" : "off";
        size_t used = strlen(buf);
        snprintf(buf + used, len - used, "%s%s %s", i > 0 ? ", " : "", demoLedName(i), state);
    }
}

/* ------------------------------------------------------------------------
 * The session
 * ---------------------------------------------------------------------- */

static int32_t stepStartup(Demo_t *d)
{
    int32_t bUp = waitUntil(d, linksUp, DEMO_BOOT_MS);
    if (!bUp)
        return step(d, "start-up", 0, "links not all up (startup %d, screen %d, non-screen %d)",
                    meterSimConnected(d->sim, MSIM_LINK_STARTUP),
                    meterSimConnected(d->sim, MSIM_LINK_SCREEN),
                    meterSimConnected(d->sim, MSIM_LINK_NONSCREEN));
    return step(d, "start-up", 1,
                "startup link authenticated, app client connected screen and non-screen "
                "links after %.1f s", elapsed(d));
}

static int32_t stepMeterScreen(Demo_t *d)
{
    char file[64] = "";
    int32_t ok = waitUntil(d, fbShowsMeter, DEMO_FRAME_MS) &&
                 shot(d, "meter-screen", file, sizeof(file)) == 1;
    return step(d, "meter screen", ok, ok ? "shown on the LCD (%s)" : "not on the LCD%s", file);
}

static int32_t stepGauge(Demo_t *d)
{
    static const int32_t values[] = {570, 735, 880};
    int32_t rects = 0;
    int32_t shown = 0;
    char files[96] = "";
    for (size_t i = 0; i < sizeof(values) / sizeof(values[0]) && !bStop; i++) {
        demoPause(d, 1500);
        d->scr.value = values[i];
        demoScreenDraw(&d->scr, d->sim);
        int32_t n = sendScreen(d, 1);
        rects += n > 0 ? n : 0;
        say(d, "gauge %d.%d m3/h: %d changed rectangles sent", (int)(values[i] / 10),
            (int)(values[i] % 10), n);
        char file[64];
        if (waitUntil(d, fbShowsMeter, DEMO_FRAME_MS) &&
            shot(d, "gauge", file, sizeof(file)) == 1) {
            shown++;
            appendText(files, sizeof(files), file);
        }
    }
    return step(d, "gauge", shown == 3, "%d/3 values shown, %d changed rectangles of 200 (%s)",
                shown, rects, files);
}

static int32_t backlightIs(Demo_t *d, int32_t level)
{
    uint64_t end = meterSimNowMs() + DEMO_SETTING_MS;
    while (!bStop && meterSimNowMs() < end) {
        if (demoReadBacklight(&d->board) == level)
            return 1;
        pump(d, DEMO_SLICE_MS);
    }
    return 0;
}

static int32_t stepBrightness(Demo_t *d)
{
    int32_t lowOk = meterSimSetBrightness(d->sim, DEMO_BRIGHT_LOW, NULL) == 1 &&
                    backlightIs(d, DEMO_BRIGHT_LOW);
    demoPause(d, 1000);
    int32_t highOk = meterSimSetBrightness(d->sim, DEMO_BRIGHT_HIGH, NULL) == 1 &&
                     backlightIs(d, DEMO_BRIGHT_HIGH);
    return step(d, "brightness", lowOk && highOk, "%d%% -> backlight %s, %d%% -> backlight %s",
                DEMO_BRIGHT_LOW, lowOk ? "30" : "unchanged", DEMO_BRIGHT_HIGH,
                highOk ? "80" : "unchanged");
}

static int32_t stepLeds(Demo_t *d, char *before, size_t len)
{
    static const MSW_Pattern_t steady = {1000, 100, 1, 0};
    static const MSW_Pattern_t blink = {600, 50, 1, 0};
    static const MSW_Pattern_t dark = {1000, 0, 1, 0};
    uint32_t last = 0;
    int32_t sent = meterSimSetStatusLed(d->sim, MSW_LED_GREEN, &steady, NULL) == 1 &&
                   meterSimSetStatusLed(d->sim, MSW_LED_RED, &dark, NULL) == 1 &&
                   meterSimSetAlarmLed(d->sim, &blink, &last) == 1;
    int32_t answered =
        sent && meterSimWaitResponse(d->sim, MSIM_LINK_NONSCREEN, last, DEMO_SETTING_MS) == MSW_RC_OK;
    demoPause(d, 500);
    sampleLeds(d, before, len);
    int32_t ok = answered && strstr(before, "green status on") != NULL &&
                 strstr(before, "red alarm blinking") != NULL;
    say(d, "LEDs after the meter's commands: %s", before);
    return step(d, "LED patterns", ok, "green steady, red status dark, alarm 300/300 ms: %s",
                ok ? "seen on the LED files" : "not seen");
}

static int32_t stepKeys(Demo_t *d)
{
    static const int32_t keys[] = {DEMO_KEY_UP, DEMO_KEY_DOWN, DEMO_KEY_DOWN, DEMO_KEY_RIGHT,
                                   DEMO_KEY_LEFT, DEMO_KEY_HOME, DEMO_KEY_COMB};
    const int32_t nKeys = (int32_t)(sizeof(keys) / sizeof(keys[0]));
    int32_t answered = 0;
    for (int32_t i = 0; i < nKeys && !bStop; i++) {
        demoPause(d, 1000);
        int32_t before = d->keysDelivered;
        d->keyAnswered = 0;
        int32_t rc = keys[i] == DEMO_KEY_COMB ? demoPressCombination(&d->board)
                                              : demoPressKey(&d->board, keys[i]);
        if (rc != 1) {
            say(d, "keypad FIFO refused key %s", demoKeyName(keys[i]));
            continue;
        }
        uint64_t end = meterSimNowMs() + DEMO_KEY_MS;
        while (!bStop && d->keysDelivered == before && meterSimNowMs() < end)
            pump(d, DEMO_SLICE_MS);
        if (d->keysDelivered == before || d->lastKeyCode != keys[i] || !d->keyAnswered)
            continue;
        char name[32];
        char file[64];
        snprintf(name, sizeof(name), "key-%s", demoKeyName(keys[i]));
        for (char *p = name; *p != '\0'; p++)
            *p = (char)((*p >= 'A' && *p <= 'Z') ? *p - 'A' + 'a' : *p);
        if (waitUntil(d, fbShowsMeter, DEMO_FRAME_MS) && shot(d, name, file, sizeof(file)) == 1)
            answered++;
    }
    return step(d, "keys", answered == nKeys, "%d/%d delivered and answered on screen (%s)",
                answered, nKeys, d->keyNames);
}

static int32_t stepTemperature(Demo_t *d)
{
    uint64_t end = meterSimNowMs() + DEMO_REPORT_MS;
    while (!bStop && d->lastTemp != DEMO_TEMP_MILLIC && meterSimNowMs() < end)
        pump(d, DEMO_SLICE_MS * 2);
    int32_t ok = d->lastTemp == DEMO_TEMP_MILLIC;
    return step(d, "temperature", ok, "sensor set to 41.5 C: %s (%d reports)",
                ok ? "reported to the meter" : "not reported", d->tempReports);
}

static int32_t stepErrorReport(Demo_t *d)
{
    int32_t before = d->errReports;
    if (demoUnplugSensor(&d->board) != 1)
        return step(d, "error report", 0, "cannot pull the sensor file");
    say(d, "temperature sensor pulled off the board");
    uint64_t end = meterSimNowMs() + DEMO_REPORT_MS;
    while (!bStop && d->errReports == before && meterSimNowMs() < end)
        pump(d, DEMO_SLICE_MS * 2);
    int32_t plugged = demoPlugSensor(&d->board);
    say(d, "temperature sensor back");
    if (d->errReports == before)
        return step(d, "error report", 0, "sensor pulled: no report");
    int32_t code = before < DEMO_MAX_ERRORS ? d->errCodes[before] : 0;
    return step(d, "error report", plugged == 1, "sensor pulled: code %d reported to the meter%s",
                (int)code, plugged == 1 ? "" : ", sensor not put back");
}

static int32_t stepLinkDrop(Demo_t *d, char *leds, size_t len)
{
    say(d, "meter goes away: every link drops");
    uint64_t t0 = meterSimNowMs();
    meterSimStop(d->sim);
    d->sim = NULL;
    /* Nothing listens now, so the unit's connection attempts fail. With no
     * meter there are no events to handle: only the LCD is watched. */
    int32_t ok = 0;
    uint64_t end = t0 + DEMO_DROP_MS;
    while (!bStop && meterSimNowMs() < end) {
        if (fbShowsError(d)) {
            ok = 1;
            break;
        }
        usleep(DEMO_SLICE_MS * 1000);
    }
    char file[64] = "";
    double after = (double)(meterSimNowMs() - t0) / 1000.0;
    if (ok)
        ok = shot(d, "link-down", file, sizeof(file)) == 1;
    leds[0] = '\0';
    if (ok) {
        sampleLeds(d, leds, len);
        say(d, "LEDs while the link is down: %s", leds);
    }
    return step(d, "link drop", ok,
                ok ? "error pictogram after %.1f s (%s)" : "no error pictogram within %.0f s%s",
                ok ? after : DEMO_DROP_MS / 1000.0, file);
}

static int32_t stepRecovery(Demo_t *d)
{
    if (!d->opt.bShort)
        usleep(2000 * 1000);
    d->sim = startMeter(d);
    d->seq = 0;
    if (d->sim == NULL)
        return step(d, "recovery", 0, "the meter cannot serve on %s again", d->opt.addr);
    uint64_t t0 = meterSimNowMs();
    say(d, "meter back on %s", d->opt.addr);
    demoScreenDraw(&d->scr, d->sim);
    int32_t ok = waitUntil(d, linksUp, DEMO_BOOT_MS) && waitUntil(d, fbShowsMeter, DEMO_FRAME_MS);
    char file[64] = "";
    double after = (double)(meterSimNowMs() - t0) / 1000.0;
    if (ok)
        ok = shot(d, "recovered", file, sizeof(file)) == 1;
    return step(d, "recovery", ok, ok ? "links up, meter screen again after %.1f s (%s)"
                                      : "meter screen not back within %.0f s%s",
                ok ? after : DEMO_BOOT_MS / 1000.0, file);
}

/* Keeps the gauge moving until the run's time is up. */
static void animate(Demo_t *d, uint64_t untilMs)
{
    int32_t delta = 37;
    while (!bStop && meterSimNowMs() < untilMs) {
        pump(d, 1000);
        d->scr.value += delta;
        if (d->scr.value > 950 || d->scr.value < 100)
            delta = -delta;
        redraw(d);
    }
}

/* ------------------------------------------------------------------------
 * Interactive mode: keys typed in the terminal go to the keypad FIFO
 * ---------------------------------------------------------------------- */

static struct termios savedTerm;
static int32_t bTermSaved = 0;

static void rawTerminal(void)
{
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerm) != 0)
        return;
    struct termios t = savedTerm;
    t.c_lflag &= (tcflag_t) ~(ICANON | ECHO);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0)
        bTermSaved = 1;
}

static void restoreTerminal(void)
{
    if (bTermSaved)
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerm);
    bTermSaved = 0;
}

/* Key code of what was typed: arrows (ESC [ A..D), h, c; 0 for nothing,
 * -1 to quit. */
static int32_t typedKey(const char *buf, ssize_t n, ssize_t *used)
{
    *used = 1;
    if (buf[0] == 'q' || buf[0] == 'Q')
        return -1;
    if (buf[0] == 'h' || buf[0] == 'H')
        return DEMO_KEY_HOME;
    if (buf[0] == 'c' || buf[0] == 'C')
        return DEMO_KEY_COMB;
    if (buf[0] == 0x1b && n >= 3 && buf[1] == '[') {
        *used = 3;
        switch (buf[2]) {
        case 'A': return DEMO_KEY_UP;
        case 'B': return DEMO_KEY_DOWN;
        case 'C': return DEMO_KEY_RIGHT;
        case 'D': return DEMO_KEY_LEFT;
        default: return 0;
        }
    }
    return 0;
}

static int32_t runInteractive(Demo_t *d)
{
    printf("Interactive: arrows move, h home, c the combination, q ends.\n");
    fflush(stdout);
    rawTerminal();
    int32_t sent = 0;
    int32_t deliveredBefore = d->keysDelivered;
    uint64_t nextTick = meterSimNowMs() + 1000;
    while (!bStop) {
        struct pollfd p = {STDIN_FILENO, POLLIN, 0};
        int pr = poll(&p, 1, 100);
        if (pr > 0 && (p.revents & (POLLIN | POLLHUP))) {
            char buf[16];
            ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
            if (n <= 0)
                break;
            ssize_t at = 0;
            int32_t bQuit = 0;
            while (at < n) {
                ssize_t used = 1;
                int32_t key = typedKey(buf + at, n - at, &used);
                at += used;
                if (key < 0) {
                    bQuit = 1;
                    break;
                }
                if (key == 0)
                    continue;
                int32_t rc = key == DEMO_KEY_COMB ? demoPressCombination(&d->board)
                                                  : demoPressKey(&d->board, key);
                sent += rc == 1;
                if (rc != 1)
                    say(d, "keypad FIFO refused key %s", demoKeyName(key));
            }
            if (bQuit)
                break;
        }
        int32_t before = d->keysDelivered;
        pump(d, 10);
        if (d->keysDelivered != before && d->keyAnswered &&
            waitUntil(d, fbShowsMeter, DEMO_FRAME_MS)) {
            char name[32];
            char file[64];
            snprintf(name, sizeof(name), "key-%s", demoKeyName(d->lastKeyCode));
            for (char *c = name; *c != '\0'; c++)
                *c = (char)((*c >= 'A' && *c <= 'Z') ? *c - 'A' + 'a' : *c);
            (void)shot(d, name, file, sizeof(file));
        }
        if (meterSimNowMs() >= nextTick) {
            nextTick += 1000;
            d->scr.value = d->scr.value >= 950 ? 100 : d->scr.value + 13;
            redraw(d);
        }
    }
    restoreTerminal();
    /* Keys typed just before q may still be on their way. */
    uint64_t end = meterSimNowMs() + DEMO_KEY_MS;
    while (!bStop && d->keysDelivered - deliveredBefore < sent && meterSimNowMs() < end)
        pump(d, DEMO_SLICE_MS);
    int32_t delivered = d->keysDelivered - deliveredBefore;
    return step(d, "keys", delivered == sent, "%d typed, %d delivered (%s)", sent, delivered,
                d->keyNames);
}

/* ------------------------------------------------------------------------
 * Summary and main
 * ---------------------------------------------------------------------- */

static void printSummary(Demo_t *d, const char *ledsUp, const char *ledsDown)
{
    char journal[2048];
    int32_t lines = demoReadJournal(&d->board, journal, sizeof(journal), 12);
    printf("\n== demo summary ==\n");
    printf("%-14s %-6s %s\n", "step", "result", "detail");
    for (int32_t i = 0; i < d->nSteps; i++)
        printf("%-14s %-6s %s\n", d->steps[i].name, d->steps[i].bOk ? "ok" : "FAILED",
               d->steps[i].detail);
    printf("\n");
    printf("links          connections seen: startup %d, screen %d, non-screen %d\n",
           d->connects[MSIM_LINK_STARTUP], d->connects[MSIM_LINK_SCREEN],
           d->connects[MSIM_LINK_NONSCREEN]);
    printf("screens        %d sent, %d rectangles\n", d->screensSent, d->rectsSent);
    printf("keys           %d delivered: %s\n", d->keysDelivered,
           d->keyNames[0] != '\0' ? d->keyNames : "-");
    printf("LEDs (meter)   %s\n", ledsUp[0] != '\0' ? ledsUp : "-");
    printf("LEDs (no link) %s\n", ledsDown[0] != '\0' ? ledsDown : "-");
    printf("backlight      %d%%\n", demoReadBacklight(&d->board));
    printf("temperature    %d reports, last %d.%d C\n", d->tempReports,
           (int)(d->lastTemp / 1000), (int)((d->lastTemp % 1000) / 100));
    printf("errors         %d reports:", d->errReports);
    for (int32_t i = 0; i < d->errReports && i < DEMO_MAX_ERRORS; i++)
        printf(" %d", (int)d->errCodes[i]);
    printf("\n");
    printf("screenshots    %d in %s\n", d->shots, d->opt.out);
    printf("journal        %d lines, the last ones:\n", lines < 0 ? 0 : lines);
    for (char *line = strtok(journal, "\n"); line != NULL; line = strtok(NULL, "\n"))
        printf("                 %s\n", line);
    fflush(stdout);
}

static void usage(void)
{
    fprintf(stderr,
            "usage: kelmeterdemo --root SANDBOX --out DIR --kelshot PATH [options]\n"
            "  --addr A         loopback address the meter serves on (" DEMO_DEFAULT_ADDR ")\n"
            "  --seconds N      keep the gauge moving until N s have passed (%d)\n"
            "  --short          short pauses, no extra time (for CI)\n"
            "  --interactive    keys typed in the terminal go to the unit\n"
            "  --ready FILE     created once the meter serves\n"
            "  --verbose        print every frame the unit sends\n",
            DEMO_DEFAULT_SECONDS);
}

static int32_t parseArgs(int argc, char **argv, DemoOptions_t *o)
{
    memset(o, 0, sizeof(*o));
    o->addr = DEMO_DEFAULT_ADDR;
    o->seconds = DEMO_DEFAULT_SECONDS;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(a, "--short") == 0) {
            o->bShort = 1;
        } else if (strcmp(a, "--interactive") == 0) {
            o->bInteractive = 1;
        } else if (strcmp(a, "--verbose") == 0) {
            o->bVerbose = 1;
        } else if (v == NULL) {
            return -1;
        } else if (strcmp(a, "--root") == 0) {
            o->root = v, i++;
        } else if (strcmp(a, "--out") == 0) {
            o->out = v, i++;
        } else if (strcmp(a, "--kelshot") == 0) {
            o->kelshot = v, i++;
        } else if (strcmp(a, "--addr") == 0) {
            o->addr = v, i++;
        } else if (strcmp(a, "--ready") == 0) {
            o->ready = v, i++;
        } else if (strcmp(a, "--seconds") == 0) {
            char *end = NULL;
            unsigned long n = strtoul(v, &end, 10);
            if (v[0] < '0' || v[0] > '9' || *end != '\0' || n > 86400)
                return -1;
            o->seconds = (uint32_t)n;
            i++;
        } else {
            return -1;
        }
    }
    if (o->root == NULL || o->out == NULL || o->kelshot == NULL ||
        strncmp(o->addr, "127.", 4) != 0)
        return -1;
    return 1;
}

int main(int argc, char **argv)
{
    static Demo_t d;
    if (parseArgs(argc, argv, &d.opt) != 1) {
        usage();
        return 2;
    }
    if (demoBoardOpen(&d.board, d.opt.root) != 1) {
        fprintf(stderr, "kelmeterdemo: %s is no sandbox\n", d.opt.root);
        return 2;
    }
    if (demoLoadPicto(&d.board, "picto_full_err_0.bmp", pictos[0]) != 1 ||
        demoLoadPicto(&d.board, "picto_full_err_1.bmp", pictos[1]) != 1) {
        fprintf(stderr, "kelmeterdemo: no error pictograms in the sandbox\n");
        return 2;
    }
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGUSR1, onLeaveSignal);
    signal(SIGPIPE, SIG_IGN);

    d.startMs = meterSimNowMs();
    demoScreenInit(&d.scr);
    d.sim = startMeter(&d);
    if (d.sim == NULL) {
        fprintf(stderr, "kelmeterdemo: cannot serve on %s\n", d.opt.addr);
        return 1;
    }
    demoScreenDraw(&d.scr, d.sim);
    say(&d, "meter serving on %s (startup 1235, screen 1234, non-screen 1236)", d.opt.addr);
    if (d.opt.ready != NULL) {
        FILE *f = fopen(d.opt.ready, "w");
        if (f != NULL)
            fclose(f);
    }

    char ledsUp[160] = "";
    char ledsDown[160] = "";
    if (stepStartup(&d) && stepMeterScreen(&d)) {
        /* The new reading is picked up by the daemon's 10 s check while
         * the other steps run. */
        (void)demoSetTemperature(&d.board, DEMO_TEMP_MILLIC);
        if (d.opt.bInteractive) {
            runInteractive(&d);
        } else {
            stepGauge(&d);
            stepBrightness(&d);
            stepLeds(&d, ledsUp, sizeof(ledsUp));
            stepKeys(&d);
            stepTemperature(&d);
            stepErrorReport(&d);
            if (stepLinkDrop(&d, ledsDown, sizeof(ledsDown)))
                stepRecovery(&d);
            if (!d.opt.bShort && d.sim != NULL)
                animate(&d, d.startMs + (uint64_t)d.opt.seconds * 1000u);
        }
    }
    if (bStop)
        step(&d, "stopped", 0, "interrupted");
    printSummary(&d, ledsUp, ledsDown);
    if (d.sim != NULL)
        meterSimStop(d.sim);
    int32_t bAllOk = d.nSteps > 0;
    for (int32_t i = 0; i < d.nSteps; i++)
        bAllOk = bAllOk && d.steps[i].bOk;
    return bAllOk ? 0 : 1;
}
