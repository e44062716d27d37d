/*
 * kelfactorydemo.cpp - the factory act of the demo: a production test
 * station (station simulator library) drives a virtual unit whose factory
 * service runs, and each step is checked where a person would look: the
 * answers, the frame buffer, the LED files, the keypad, the factory files
 * and the work mode the daemon publishes.
 *
 *   kelfactorydemo --root <sandbox> --out <dir> --kelshot <path> [--short]
 *
 * Steps: the station connects and authenticates (the unit enters factory
 * mode and shows its pictogram), reads the unit's information, lights and
 * darkens the LEDs, shows a white and a black screen, sees a key pressed on
 * the unit, writes the serial number and the test result, and disconnects
 * (the unit is back in normal mode). Screenshots go to <dir> as
 * factory-NN-<name>.png; a summary table ends the run; the exit status is 0
 * only when every step happened.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

#include "demoBoard.h"
#include "stationSim.h"

#define FD_ADDR "127.0.0.1"
#define FD_CONNECT_MS 30000 /* the sanitised debug build starts slowly */
#define FD_ANSWER_MS 8000
#define FD_SEEN_MS 10000
#define FD_PAUSE_MS 1200
#define FD_MAX_STEPS 16
#define FD_DETAIL_LEN 160
#define FD_PICTO_TOLERANCE (DEMO_FB_PIXELS / 100)
#define FD_MODE_NORMAL 0
#define FD_MODE_INDUSTRY 4
#define FD_MODE_WORD_OFFSET 8 /* the published mode in the shared segment */
#define FD_SERIAL "KEL-DEMO-0001"
#define FD_TESTER 42

typedef struct {
    const char *root;
    const char *out;
    const char *kelshot;
    int32_t bShort;
} FdOptions_t;

typedef struct {
    char name[20];
    int32_t bOk;
    char detail[FD_DETAIL_LEN];
} FdStep_t;

typedef struct {
    FdOptions_t opt;
    DemoBoard_t board;
    StationSim_t st;
    StationFrame_t f;
    uint16_t fb[DEMO_FB_PIXELS];
    uint16_t picto[DEMO_FB_PIXELS];
    const volatile int32_t *mode; /* the daemon's published work mode */
    uint64_t startMs;
    int32_t shots;
    int32_t nSteps;
    FdStep_t steps[FD_MAX_STEPS];
} Fd_t;

static Fd_t fdDemo;

static void fdSay(const Fd_t *d, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void fdSay(const Fd_t *d, const char *fmt, ...)
{
    va_list ap;
    printf("[%6.1f s] factory: ", (double)(stationSimNowMs() - d->startMs) / 1000.0);
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
}

static int32_t fdStep(Fd_t *d, const char *name, int32_t bOk, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
static int32_t fdStep(Fd_t *d, const char *name, int32_t bOk, const char *fmt, ...)
{
    if (d->nSteps >= FD_MAX_STEPS)
        return bOk;
    FdStep_t *s = &d->steps[d->nSteps++];
    snprintf(s->name, sizeof(s->name), "%s", name);
    s->bOk = bOk;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(s->detail, sizeof(s->detail), fmt, ap);
    va_end(ap);
    fdSay(d, "%-14s %s: %s", name, bOk ? "ok" : "FAILED", s->detail);
    return bOk;
}

static void fdSleep(uint32_t ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

/* A pause a person can follow; short in CI. */
static void fdPause(const Fd_t *d)
{
    fdSleep(d->opt.bShort ? FD_PAUSE_MS / 6 : FD_PAUSE_MS);
}

/* Polls `cond` until it holds or timeoutMs passed. */
static int32_t fdWaitFor(Fd_t *d, int32_t (*cond)(Fd_t *), uint32_t timeoutMs)
{
    uint64_t end = stationSimNowMs() + timeoutMs;
    for (;;) {
        if (cond(d))
            return 1;
        if (stationSimNowMs() >= end)
            return 0;
        fdSleep(50);
    }
}

/* Maps the daemon's shared segment read-only, for the published mode;
 * the daemon makes it when it starts, so it is looked for until found. */
static void fdAttachMode(Fd_t *d)
{
    if (d->mode != NULL)
        return;
    char keyPath[DEMO_PATH_MAX + 16];
    snprintf(keyPath, sizeof(keyPath), "%s/home/root", d->board.root);
    key_t key = ftok(keyPath, 'S');
    int id = key == (key_t)-1 ? -1 : shmget(key, 0, 0);
    void *a = id < 0 ? (void *)-1 : shmat(id, NULL, SHM_RDONLY);
    if (a != (void *)-1)
        d->mode = (const volatile int32_t *)((const char *)a + FD_MODE_WORD_OFFSET);
}

static int32_t fdMode(Fd_t *d)
{
    fdAttachMode(d);
    return d->mode != NULL ? *d->mode : -1;
}

static int32_t fdInFactoryMode(Fd_t *d)
{
    return fdMode(d) == FD_MODE_INDUSTRY;
}

static int32_t fdInNormalMode(Fd_t *d)
{
    return fdMode(d) == FD_MODE_NORMAL;
}

static int32_t fdScreenIsPicto(Fd_t *d)
{
    return demoReadFrame(&d->board, d->fb) == 1 && demoFrameDiff(d->fb, d->picto) <= FD_PICTO_TOLERANCE;
}

static int32_t fdScreenAll(Fd_t *d, uint16_t pixel)
{
    if (demoReadFrame(&d->board, d->fb) != 1)
        return 0;
    for (uint32_t i = 0; i < DEMO_FB_PIXELS; i++) {
        if (d->fb[i] != pixel)
            return 0;
    }
    return 1;
}

static int32_t fdScreenWhite(Fd_t *d)
{
    return fdScreenAll(d, 0xFFFF);
}

static int32_t fdScreenBlack(Fd_t *d)
{
    return fdScreenAll(d, 0x0000);
}

/* Screenshot of the frame last read: <out>/factory-NN-<name>.png. */
static void fdShot(Fd_t *d, const char *name, char *file, size_t len)
{
    char path[DEMO_PATH_MAX + 64];
    snprintf(file, len, "factory-%02d-%s.png", (int)++d->shots, name);
    snprintf(path, sizeof(path), "%s/%s", d->opt.out, file);
    if (demoScreenshot(d->opt.kelshot, d->fb, path) != 1) {
        fdSay(d, "screenshot %s could not be written", file);
        snprintf(file, len, "no screenshot");
    }
}

/* A request answered TEST_OK. */
static int32_t fdAskOk(Fd_t *d, int32_t cmd, const void *payload, uint32_t len)
{
    return stationSimRequest(&d->st, cmd, payload, len, &d->f, FD_ANSWER_MS) == 1 &&
           stationSimResult(&d->f) == SSW_TEST_OK;
}

static int32_t fdLed(Fd_t *d, int32_t led, int32_t ctrl)
{
    SSW_LedTest_t t = {led, ctrl};
    return fdAskOk(d, SSW_LED_TEST, &t, sizeof(t));
}

static int32_t fdLedsLit(Fd_t *d)
{
    return demoReadLed(&d->board, DEMO_LED_STATUS_RED) == 1 && demoReadLed(&d->board, DEMO_LED_ALARM) == 1;
}

static int32_t fdLedsDark(Fd_t *d)
{
    return demoReadLed(&d->board, DEMO_LED_STATUS_RED) == 0 && demoReadLed(&d->board, DEMO_LED_ALARM) == 0;
}

static void fdConnectAndAuthenticate(Fd_t *d)
{
    char file[64];
    if (!fdStep(d, "connect", stationSimConnect(&d->st, FD_ADDR, SSW_PORT, FD_CONNECT_MS) == 1,
                "station on %s port %d", FD_ADDR, SSW_PORT))
        return;
    int rc = stationSimAuthenticate(&d->st, STATION_DIGEST_RIGHT, FD_ANSWER_MS);
    int32_t factory = rc == 1 && fdWaitFor(d, fdInFactoryMode, FD_SEEN_MS);
    fdStep(d, "authenticate", factory, "challenge %u answered, work mode %d (factory)",
           d->st.challenge, (int)fdMode(d));
    int32_t seen = fdWaitFor(d, fdScreenIsPicto, FD_SEEN_MS);
    fdShot(d, "pictogram", file, sizeof(file));
    fdStep(d, "pictogram", seen, "factory pictogram on the LCD, %s", file);
}

static void fdInformation(Fd_t *d)
{
    SSW_Info_t info;
    char sn[SSW_PAYLOAD_MAX + 1] = {0};
    int32_t ok = stationSimRequest(&d->st, SSW_INFO_GET, NULL, 0, &d->f, FD_ANSWER_MS) == 1 &&
                 d->f.payloadLen == sizeof(info);
    memset(&info, 0, sizeof(info));
    if (ok)
        memcpy(&info, d->f.payload, sizeof(info));
    if (stationSimRequest(&d->st, SSW_SN_GET, NULL, 0, &d->f, FD_ANSWER_MS) == 1)
        memcpy(sn, d->f.payload, d->f.payloadLen);
    fdStep(d, "information", ok && sn[0] != '\0',
           "serial %s, app %.16s, kernel %.16s, brightness %d, logo %u", sn, info.kelAppVersion,
           info.kelKernelVersion, info.kelBrightness, info.logoType);
}

static void fdLedsAndScreens(Fd_t *d)
{
    char white[64];
    char black[64];
    int32_t on = fdLed(d, SSW_LED_STATE_RED, SSW_LED_ON) && fdLed(d, SSW_LED_ALARM_RED, SSW_LED_ON) &&
                 fdWaitFor(d, fdLedsLit, FD_SEEN_MS);
    fdPause(d);
    int32_t off = fdLed(d, SSW_LED_STATE_RED, SSW_LED_OFF) && fdLed(d, SSW_LED_ALARM_RED, SSW_LED_OFF) &&
                  fdWaitFor(d, fdLedsDark, FD_SEEN_MS);
    fdStep(d, "LED test", on && off, "red status and red alarm LEDs lit, then dark");

    int32_t value = SSW_LCD_WHITE;
    int32_t okWhite = fdAskOk(d, SSW_LCD_TEST, &value, sizeof(value)) && fdWaitFor(d, fdScreenWhite, FD_SEEN_MS);
    fdShot(d, "lcd-white", white, sizeof(white));
    fdPause(d);
    value = SSW_LCD_BLACK;
    int32_t okBlack = fdAskOk(d, SSW_LCD_TEST, &value, sizeof(value)) && fdWaitFor(d, fdScreenBlack, FD_SEEN_MS);
    fdShot(d, "lcd-black", black, sizeof(black));
    fdStep(d, "LCD test", okWhite && okBlack, "white screen %s, black screen %s", white, black);
}

static void fdKeyPress(Fd_t *d)
{
    SSW_KeyEvent_t key = {-1, -1};
    int32_t pressed = demoPressKey(&d->board, DEMO_KEY_UP) == 1;
    int32_t seen = pressed && stationSimWaitFor(&d->st, SSW_RESPONSE, SSW_BUTTON_TEST, &d->f, FD_SEEN_MS) == 1 &&
                   d->f.payloadLen == sizeof(key);
    if (seen)
        memcpy(&key, d->f.payload, sizeof(key));
    fdStep(d, "key press", seen && key.keyCode == DEMO_KEY_UP,
           "up pressed on the keypad, the station saw key %d %s", key.keyCode,
           key.keyAction == 1 ? "press" : "?");
}

static void fdRecords(Fd_t *d)
{
    char sn[SSW_PAYLOAD_MAX + 1] = {0};
    int32_t set = fdAskOk(d, SSW_SN_SET, FD_SERIAL, (uint32_t)strlen(FD_SERIAL));
    if (stationSimRequest(&d->st, SSW_SN_GET, NULL, 0, &d->f, FD_ANSWER_MS) == 1)
        memcpy(sn, d->f.payload, d->f.payloadLen);
    fdStep(d, "serial number", set && strcmp(sn, FD_SERIAL) == 0, "written and read back: %s", sn);

    SSW_TestResult_t r = {SSW_TEST_OK, FD_TESTER, (uint64_t)time(NULL)};
    SSW_TestResult_t back;
    memset(&back, 0, sizeof(back));
    set = fdAskOk(d, SSW_TEST_RESULT_SET, &r, sizeof(r));
    if (stationSimRequest(&d->st, SSW_TEST_RESULT_GET, NULL, 0, &d->f, FD_ANSWER_MS) == 1 &&
        d->f.payloadLen == sizeof(back))
        memcpy(&back, d->f.payload, sizeof(back));
    fdStep(d, "test result", set && back.testResult == SSW_TEST_OK && back.testID == FD_TESTER &&
                                 back.timeStamp == (uint32_t)r.timeStamp,
           "result %d by tester %d stored in /kel/factory/indust.conf", back.testResult, back.testID);
}

static void fdDisconnect(Fd_t *d)
{
    char file[64];
    stationSimClose(&d->st);
    int32_t normal = fdWaitFor(d, fdInNormalMode, FD_SEEN_MS);
    demoReadFrame(&d->board, d->fb);
    fdShot(d, "after", file, sizeof(file));
    fdStep(d, "disconnect", normal, "work mode %d (normal) once the station left, %s", (int)fdMode(d), file);
}

static void fdSummary(const Fd_t *d)
{
    int32_t ok = 0;
    for (int32_t i = 0; i < d->nSteps; i++)
        ok += d->steps[i].bOk;
    printf("\nfactory act: %d of %d steps ok\n\n", (int)ok, (int)d->nSteps);
    printf("%-14s %-6s %s\n", "step", "result", "detail");
    for (int32_t i = 0; i < d->nSteps; i++)
        printf("%-14s %-6s %s\n", d->steps[i].name, d->steps[i].bOk ? "ok" : "FAILED", d->steps[i].detail);
    printf("\nscreenshots    %d in %s\n", (int)d->shots, d->opt.out);
    fflush(stdout);
}

static int fdParse(int argc, char **argv, FdOptions_t *o)
{
    memset(o, 0, sizeof(*o));
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = (i + 1 < argc) ? argv[i + 1] : NULL;
        if (strcmp(a, "--short") == 0) {
            o->bShort = 1;
        } else if (strcmp(a, "--root") == 0 && v != NULL) {
            o->root = v, i++;
        } else if (strcmp(a, "--out") == 0 && v != NULL) {
            o->out = v, i++;
        } else if (strcmp(a, "--kelshot") == 0 && v != NULL) {
            o->kelshot = v, i++;
        } else {
            return -1;
        }
    }
    return (o->root != NULL && o->out != NULL && o->kelshot != NULL) ? 1 : -1;
}

int main(int argc, char **argv)
{
    Fd_t *d = &fdDemo;
    if (fdParse(argc, argv, &d->opt) < 0) {
        fprintf(stderr, "usage: kelfactorydemo --root SANDBOX --out DIR --kelshot PATH [--short]\n");
        return 2;
    }
    if (demoBoardOpen(&d->board, d->opt.root) != 1 ||
        demoLoadPicto(&d->board, "picto_full_ind_0.bmp", d->picto) != 1) {
        fprintf(stderr, "kelfactorydemo: %s is no virtual board with pictograms\n", d->opt.root);
        return 2;
    }
    d->startMs = stationSimNowMs();
    stationSimInit(&d->st);

    fdConnectAndAuthenticate(d);
    if (d->st.fd >= 0) {
        fdInformation(d);
        fdLedsAndScreens(d);
        fdKeyPress(d);
        fdRecords(d);
        fdDisconnect(d);
    }
    fdSummary(d);
    for (int32_t i = 0; i < d->nSteps; i++) {
        if (!d->steps[i].bOk)
            return 1;
    }
    return 0;
}
