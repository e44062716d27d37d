/*
 * kelmetersim.cpp - the meter simulator on the command line.
 *
 *   kelmetersim <addr> [options]
 *
 * Serves the screen-and-key, non-screen and startup links on <addr>,
 * prints every event the unit causes (one line each), and drives the unit:
 * on the startup link it answers the data request with a challenge and the
 * clock, checks the digest and sends the versions given here, and delivers
 * the application file given here when the unit asks for an update; each
 * time the unit announces itself with DATA_REQ on the screen link it gets
 * the screen (pattern or image) and SCR_FIN; each time it sends GET_DATA it
 * gets the brightness, clock and LED settings given here. Runs until
 * --duration ends or a signal. SIGUSR1 makes the meter go away for a few
 * seconds (every link drops, nothing listens) and come back, as the front
 * panel's "drop the meter link" asks. With --burst N, SIGUSR2 makes it send
 * N whole screens back to back, as fast as the unit takes them (a bench's
 * load).
 */
#include "meterSim.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define KMS_TIME_NOW  ((uint64_t)-1)
#define KMS_AWAY_MS   8000

typedef struct {
    const char *addr;
    int32_t pattern;
    uint16_t colour;
    const char *image;
    int32_t bBrightness;
    uint32_t brightness;
    int32_t bTime;
    uint64_t unixTime;
    int32_t bStatus;
    int32_t statusColour;
    MSW_Pattern_t statusPattern;
    int32_t bAlarm;
    MSW_Pattern_t alarmPattern;
    uint32_t heartbeatMs;
    int32_t getDataCode;
    int32_t dataReqCode;
    int32_t bSilent;
    uint32_t durationMs;
    int32_t bQuiet;
    uint16_t screenPort;
    uint16_t nonScreenPort;
    uint16_t startupPort;
    int32_t bNoStartup;
    uint32_t stpRandom;
    uint64_t stpUnixTime;
    uint32_t appVersion;
    uint32_t kernelVersion;
    int32_t digestMode;
    const char *appSource;
    const char *appDest;
    char sandboxDest[600];
    uint32_t burstScreens;
} KmsOptions_t;

static volatile sig_atomic_t bStopSignal = 0;
static volatile sig_atomic_t bLeaveSignal = 0;
static volatile sig_atomic_t bBurstSignal = 0;

static void onSignal(int sig)
{
    (void)sig;
    bStopSignal = 1;
}

static void onLeaveSignal(int sig)
{
    (void)sig;
    bLeaveSignal = 1;
}

static void onBurstSignal(int sig)
{
    (void)sig;
    bBurstSignal = 1;
}

static void usage(void)
{
    fprintf(stderr,
            "usage: kelmetersim <addr> [options]\n"
            "  --pattern bars|checker|gradient|solid:RRGGBB   screen to send (bars)\n"
            "  --image FILE           screen from a P6 PPM or PNG file\n"
            "  --brightness PERCENT   send SET_BRIGHTNESS after GET_DATA\n"
            "  --time SECONDS|now     send SET_TIME after GET_DATA\n"
            "  --status-led green|red:CYCLE,DUTY,ACT,INACT\n"
            "  --alarm-led CYCLE,DUTY,ACT,INACT\n"
            "  --heartbeat MS         heartbeat interval, 0 for none (2000)\n"
            "  --get-data-error       answer GET_DATA with an error\n"
            "  --data-req-error       answer DATA_REQ with an error\n"
            "  --silent               answer nothing, send nothing\n"
            "  --duration MS          stop after MS milliseconds (0: run until killed)\n"
            "  --screen-port N / --nonscreen-port N / --startup-port N\n"
            "                         other ports than 1234 / 1236 / 1235\n"
            "  --no-startup           do not serve the startup link\n"
            "  --app-version MAJOR.MINOR   application version the meter expects (1.8)\n"
            "  --kernel-version N     kernel build the meter expects (193)\n"
            "  --challenge N          fixed challenge (default: a fresh one each time)\n"
            "  --clock SECONDS        clock sent with the challenge (default: now)\n"
            "  --digest check|refuse|any   how the unit's digest is judged (check)\n"
            "  --app-file FILE        application delivered on an update request\n"
            "  --app-dest PATH        where it is put (needed with --app-file)\n"
            "  --sandbox DIR          same as --app-dest DIR/usr/ftp/up/kelappclient\n"
            "  --burst N              on SIGUSR2, send N whole screens back to back\n"
            "  --quiet                print nothing\n");
}

/* Whole-string unsigned number no larger than max. */
static int32_t parseNumber(const char *text, uint64_t max, uint64_t *value)
{
    if (text == NULL || *text < '0' || *text > '9')
        return -1;
    char *end = NULL;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || end == NULL || *end != '\0' || v > max)
        return -1;
    *value = v;
    return 1;
}

static int32_t parsePattern(const char *text, MSW_Pattern_t *p)
{
    unsigned c, d, a, i;
    char extra;
    if (text == NULL || sscanf(text, "%u,%u,%u,%u%c", &c, &d, &a, &i, &extra) != 4 ||
        c > 65535 || d > 65535 || a > 65535 || i > 65535)
        return -1;
    p->cycle = (uint16_t)c;
    p->duty = (uint16_t)d;
    p->numActCycle = (uint16_t)a;
    p->numInActCycle = (uint16_t)i;
    return 1;
}

/* "MAJOR.MINOR" as the startup link carries it: major * 256 + minor. */
static int32_t parseAppVersion(const char *text, uint32_t *version)
{
    unsigned major, minor;
    char extra;
    if (text == NULL || sscanf(text, "%u.%u%c", &major, &minor, &extra) != 2 || major > 255 ||
        minor > 255)
        return -1;
    *version = (uint32_t)(major * 256u + minor);
    return 1;
}

static int32_t parseScreen(const char *text, KmsOptions_t *o)
{
    if (strcmp(text, "bars") == 0)
        o->pattern = MSIM_PATTERN_BARS;
    else if (strcmp(text, "checker") == 0)
        o->pattern = MSIM_PATTERN_CHECKER;
    else if (strcmp(text, "gradient") == 0)
        o->pattern = MSIM_PATTERN_GRADIENT;
    else if (strncmp(text, "solid:", 6) == 0 && strlen(text) == 12) {
        char *end = NULL;
        unsigned long rgb = strtoul(text + 6, &end, 16);
        if (end == NULL || *end != '\0')
            return -1;
        o->pattern = MSIM_PATTERN_SOLID;
        o->colour = meterSimRgb565((uint8_t)(rgb >> 16), (uint8_t)(rgb >> 8), (uint8_t)rgb);
    } else
        return -1;
    return 1;
}

static int32_t parseArgs(int argc, char **argv, KmsOptions_t *o)
{
    memset(o, 0, sizeof(*o));
    o->heartbeatMs = 2000;
    o->getDataCode = MSW_RC_OK;
    o->dataReqCode = MSW_RC_OK;
    o->appVersion = 0x0108;
    o->kernelVersion = 193;
    o->digestMode = MSIM_DIGEST_CHECK;
    if (argc < 2 || argv[1][0] == '-')
        return -1;
    o->addr = argv[1];
    for (int i = 2; i < argc; i++) {
        const char *opt = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : NULL;
        uint64_t n = 0;
        int32_t used = 1;   /* the option takes a value */
        if (strcmp(opt, "--pattern") == 0) {
            if (val == NULL || parseScreen(val, o) != 1)
                return -1;
        } else if (strcmp(opt, "--image") == 0) {
            if (val == NULL)
                return -1;
            o->image = val;
        } else if (strcmp(opt, "--brightness") == 0) {
            if (parseNumber(val, 0xFFFFFFFFu, &n) != 1)
                return -1;
            o->bBrightness = 1;
            o->brightness = (uint32_t)n;
        } else if (strcmp(opt, "--time") == 0) {
            if (val != NULL && strcmp(val, "now") == 0)
                n = KMS_TIME_NOW;
            else if (parseNumber(val, 0xFFFFFFFFFFFFFFFEull, &n) != 1)
                return -1;
            o->bTime = 1;
            o->unixTime = n;
        } else if (strcmp(opt, "--status-led") == 0) {
            if (val == NULL)
                return -1;
            if (strncmp(val, "green:", 6) == 0)
                o->statusColour = MSW_LED_GREEN;
            else if (strncmp(val, "red:", 4) == 0)
                o->statusColour = MSW_LED_RED;
            else
                return -1;
            if (parsePattern(strchr(val, ':') + 1, &o->statusPattern) != 1)
                return -1;
            o->bStatus = 1;
        } else if (strcmp(opt, "--alarm-led") == 0) {
            if (parsePattern(val, &o->alarmPattern) != 1)
                return -1;
            o->bAlarm = 1;
        } else if (strcmp(opt, "--heartbeat") == 0) {
            if (parseNumber(val, 3600000u, &n) != 1)
                return -1;
            o->heartbeatMs = (uint32_t)n;
        } else if (strcmp(opt, "--burst") == 0) {
            if (parseNumber(val, 100000, &n) != 1 || n == 0)
                return -1;
            o->burstScreens = (uint32_t)n;
        } else if (strcmp(opt, "--duration") == 0) {
            if (parseNumber(val, 0xFFFFFFFFu, &n) != 1)
                return -1;
            o->durationMs = (uint32_t)n;
        } else if (strcmp(opt, "--screen-port") == 0) {
            if (parseNumber(val, 65535u, &n) != 1 || n == 0)
                return -1;
            o->screenPort = (uint16_t)n;
        } else if (strcmp(opt, "--nonscreen-port") == 0) {
            if (parseNumber(val, 65535u, &n) != 1 || n == 0)
                return -1;
            o->nonScreenPort = (uint16_t)n;
        } else if (strcmp(opt, "--startup-port") == 0) {
            if (parseNumber(val, 65535u, &n) != 1 || n == 0)
                return -1;
            o->startupPort = (uint16_t)n;
        } else if (strcmp(opt, "--app-version") == 0) {
            if (parseAppVersion(val, &o->appVersion) != 1)
                return -1;
        } else if (strcmp(opt, "--kernel-version") == 0) {
            if (parseNumber(val, 0xFFFFFFFFu, &n) != 1)
                return -1;
            o->kernelVersion = (uint32_t)n;
        } else if (strcmp(opt, "--challenge") == 0) {
            if (parseNumber(val, 0xFFFFFFFFu, &n) != 1 || n == 0)
                return -1;
            o->stpRandom = (uint32_t)n;
        } else if (strcmp(opt, "--clock") == 0) {
            if (parseNumber(val, 0xFFFFFFFFFFFFFFFFull, &n) != 1 || n == 0)
                return -1;
            o->stpUnixTime = n;
        } else if (strcmp(opt, "--digest") == 0) {
            if (val != NULL && strcmp(val, "check") == 0)
                o->digestMode = MSIM_DIGEST_CHECK;
            else if (val != NULL && strcmp(val, "refuse") == 0)
                o->digestMode = MSIM_DIGEST_REFUSE;
            else if (val != NULL && strcmp(val, "any") == 0)
                o->digestMode = MSIM_DIGEST_ANY;
            else
                return -1;
        } else if (strcmp(opt, "--app-file") == 0) {
            if (val == NULL)
                return -1;
            o->appSource = val;
        } else if (strcmp(opt, "--app-dest") == 0) {
            if (val == NULL)
                return -1;
            o->appDest = val;
        } else if (strcmp(opt, "--sandbox") == 0) {
            int len = val == NULL ? -1
                                  : snprintf(o->sandboxDest, sizeof(o->sandboxDest),
                                             "%s/usr/ftp/up/kelappclient", val);
            if (len < 0 || len >= (int)sizeof(o->sandboxDest))
                return -1;
            o->appDest = o->sandboxDest;
        } else {
            used = 0;
            if (strcmp(opt, "--no-startup") == 0)
                o->bNoStartup = 1;
            else if (strcmp(opt, "--get-data-error") == 0)
                o->getDataCode = MSW_RC_ERROR;
            else if (strcmp(opt, "--data-req-error") == 0)
                o->dataReqCode = MSW_RC_ERROR;
            else if (strcmp(opt, "--silent") == 0)
                o->bSilent = 1;
            else if (strcmp(opt, "--quiet") == 0)
                o->bQuiet = 1;
            else
                return -1;
        }
        i += used;
    }
    if (o->appSource != NULL && o->appDest == NULL)
        return -1;
    return 1;
}

/* The settings the unit gets after each GET_DATA. */
static void sendSettings(MeterSim_t *sim, const KmsOptions_t *o)
{
    if (o->bBrightness && meterSimSetBrightness(sim, o->brightness, NULL) != 1)
        printf("SET_BRIGHTNESS not sent\n");
    if (o->bTime) {
        uint64_t t = o->unixTime == KMS_TIME_NOW ? (uint64_t)time(NULL) : o->unixTime;
        if (meterSimSetTime(sim, t, NULL) != 1)
            printf("SET_TIME not sent\n");
    }
    if (o->bStatus && meterSimSetStatusLed(sim, o->statusColour, &o->statusPattern, NULL) != 1)
        printf("SET_STATUS_LED not sent\n");
    if (o->bAlarm && meterSimSetAlarmLed(sim, &o->alarmPattern, NULL) != 1)
        printf("SET_ALARM_LED not sent\n");
}

/* Serves the links with the options' behaviour and screen; null on
 * failure (the reason printed). */
static MeterSim_t *startMeter(const KmsOptions_t *o)
{
    MeterSimConfig_t cfg;
    meterSimDefaultConfig(&cfg, o->addr);
    cfg.ports[MSIM_LINK_SCREEN] = o->screenPort;
    cfg.ports[MSIM_LINK_NONSCREEN] = o->nonScreenPort;
    cfg.ports[MSIM_LINK_STARTUP] = o->startupPort;
    cfg.bServeStartup = o->bNoStartup ? 0 : 1;
    cfg.stpRandom = o->stpRandom;
    cfg.stpUnixTime = o->stpUnixTime;
    cfg.stpAppVersion = o->appVersion;
    cfg.stpKernelVersion = o->kernelVersion;
    cfg.stpDigestMode = o->digestMode;
    cfg.appSource = o->appSource;
    cfg.appDest = o->appDest;
    cfg.heartbeatMs = o->bSilent ? 0 : o->heartbeatMs;
    cfg.getDataCode = o->getDataCode;
    cfg.dataReqCode = o->dataReqCode;
    cfg.bSilent = o->bSilent;
    MeterSim_t *sim = meterSimStart(&cfg);
    if (sim == NULL) {
        fprintf(stderr, "kelmetersim: cannot serve on %s\n", o->addr);
        return NULL;
    }
    if (o->image != NULL) {
        if (meterSimLoadImage(sim, o->image) != 1) {
            fprintf(stderr, "kelmetersim: cannot read image %s\n", o->image);
            meterSimStop(sim);
            return NULL;
        }
    } else
        meterSimDrawPattern(sim, o->pattern, o->colour);
    return sim;
}

/* The meter goes away: every link drops and nothing listens for a while,
 * then it serves again. Null when it cannot serve again. */
static MeterSim_t *leaveForAWhile(MeterSim_t *sim, const KmsOptions_t *o)
{
    bLeaveSignal = 0;
    if (!o->bQuiet) {
        printf("meter away for %d s\n", KMS_AWAY_MS / 1000);
        fflush(stdout);
    }
    meterSimStop(sim);
    uint64_t back = meterSimNowMs() + KMS_AWAY_MS;
    while (!bStopSignal && meterSimNowMs() < back) {
        struct timespec ts = {0, 50 * 1000000L};
        nanosleep(&ts, NULL);
    }
    sim = startMeter(o);
    if (sim != NULL && !o->bQuiet) {
        printf("meter back on %s\n", o->addr);
        fflush(stdout);
    }
    return sim;
}

/* The bench's load: whole screens back to back; the unit's reading paces
 * the sends. Always printed, --quiet or not. */
static void sendBurst(MeterSim_t *sim, const KmsOptions_t *o)
{
    bBurstSignal = 0;
    uint64_t start = meterSimNowMs();
    uint32_t sent = 0;
    while (sent < o->burstScreens && !bStopSignal && meterSimSendScreen(sim, 0, 1) > 0)
        sent++;
    printf("burst: %u screens sent in %llu ms\n", sent,
           (unsigned long long)(meterSimNowMs() - start));
    fflush(stdout);
}

static int32_t runLoop(MeterSim_t *sim, const KmsOptions_t *o)
{
    uint64_t end = meterSimNowMs() + o->durationMs;
    uint32_t seq = 0;
    while (!bStopSignal && (o->durationMs == 0 || meterSimNowMs() < end)) {
        if (bLeaveSignal) {
            sim = leaveForAWhile(sim, o);
            if (sim == NULL)
                return -1;
            seq = 0;
        }
        if (bBurstSignal && o->burstScreens > 0)
            sendBurst(sim, o);
        MeterSimRecord_t rec;
        if (meterSimWait(sim, seq, MSIM_ANY, MSIM_ANY, MSIM_ANY, 100, &rec) != 1)
            continue;
        seq = rec.seq + 1;
        if (!o->bQuiet) {
            char line[256];
            meterSimFormatRecord(&rec, line, sizeof(line));
            printf("%s\n", line);
            fflush(stdout);
        }
        if (o->bSilent || rec.kind != MSIM_EV_FRAME)
            continue;
        if (rec.link == MSIM_LINK_NONSCREEN && rec.cmdType == MSW_NS_GET_DATA &&
            o->getDataCode == MSW_RC_OK)
            sendSettings(sim, o);
        if (rec.link == MSIM_LINK_SCREEN && rec.cmdType == MSW_FB_DATA_REQ &&
            o->dataReqCode == MSW_RC_OK) {
            int32_t n = meterSimSendScreen(sim, 0, 1);
            if (!o->bQuiet)
                printf("screen sent: %d rectangles\n", n);
        }
    }
    meterSimStop(sim);
    return 1;
}

int main(int argc, char **argv)
{
    KmsOptions_t o;
    if (parseArgs(argc, argv, &o) != 1) {
        usage();
        return 2;
    }
    MeterSim_t *sim = startMeter(&o);
    if (sim == NULL)
        return 1;

    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGUSR1, onLeaveSignal);
    signal(SIGUSR2, onBurstSignal);
    if (!o.bQuiet) {
        printf("kelmetersim serving on %s\n", o.addr);
        fflush(stdout);
    }
    return runLoop(sim, &o) == 1 ? 0 : 1;
}
