/*
 * kelstationsim.cpp - the factory test station on the command line.
 *
 *   kelstationsim [options] <unit address> <command> [<command> ...]
 *
 * Connects to the unit's factory port, authenticates (unless told not to,
 * or with a wrong digest on purpose), runs the commands in the order given
 * and prints each answer decoded, one line each. With --watch it then stays
 * connected, sending heartbeats, and prints key and temperature events as
 * they come. Exits 0 when every command got its answer and none was
 * TEST_FAIL, 1 otherwise, 2 on a usage error, 3 when the unit cannot be
 * reached.
 */
#include "stationSim.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define KSS_DEFAULT_TIMEOUT_MS 5000
#define KSS_CONNECT_MS 3000
#define KSS_HEARTBEAT_MS 5000
#define KSS_CMD_WAIT (-1) /* not sent: the station pauses */
#define KSS_EXIT_OK 0
#define KSS_EXIT_FAILED 1
#define KSS_EXIT_USAGE 2
#define KSS_EXIT_UNREACHABLE 3

typedef struct {
    const char *addr;
    uint16_t port;
    int32_t bNoAuth;
    int32_t bWrongDigest;
    uint32_t watchS;
    uint32_t timeoutMs;
    char **words; /* the commands and their arguments, in order */
    int nWords;
} KssOptions_t;

/* A command: its words, how many follow the name, the request it sends. */
typedef struct {
    const char *name;
    int nArgs;
    int32_t cmdType;
    const char *argHelp;
} KssCommand_t;

static const KssCommand_t kssCommands[] = {
    {"info", 0, SSW_INFO_GET, ""},
    {"version", 0, SSW_VERSION_GET, ""},
    {"sn", 0, SSW_SN_GET, ""},
    {"sn-set", 1, SSW_SN_SET, " TEXT"},
    {"ip-set", 1, SSW_IP_SET, " A.B.C.D"},
    {"server-ip-set", 1, SSW_SERVERIP_SET, " A.B.C.D"},
    {"led", 2, SSW_LED_TEST, " green|red|alarm|N on|off"},
    {"lcd", 1, SSW_LCD_TEST, " white|black|N"},
    {"lcd-type", 1, SSW_LCDTYPE_SET, " N"},
    {"bright", 1, SSW_BRIGHT_SET, " 0..100"},
    {"bright-get", 0, SSW_BRIGHT_GET, ""},
    {"time", 1, SSW_TIME_SYNCHRONIZE, " now|SECONDS"},
    {"temp", 0, SSW_TEMP_GET, ""},
    {"test-result", 0, SSW_TEST_RESULT_GET, ""},
    {"test-result-set", 3, SSW_TEST_RESULT_SET, " RESULT TESTER now|SECONDS"},
    {"telnet", 1, SSW_TELNET_SET, " on|off"},
    {"logo", 1, SSW_LOGO_SET, " N"},
    {"logo-get", 0, SSW_LOGO_GET, ""},
    {"image-get", 0, SSW_IMAGE_GET, ""},
    {"flash-copy", 0, SSW_FLASH_COPY, ""},
    {"flash-test", 0, SSW_FLASH_TEST, ""},
    {"comm-test", 0, SSW_COMMU_TEST, ""},
    {"reset", 0, SSW_FACTORY_RESET, ""},
    {"reboot", 0, SSW_REBOOT, ""},
    {"heartbeat", 0, SSW_HEARTBEAT, ""},
    {"wait", 1, KSS_CMD_WAIT, " MS (a pause on the station's side)"},
};
#define KSS_NUM_COMMANDS (sizeof(kssCommands) / sizeof(kssCommands[0]))

static volatile sig_atomic_t kssStop;

static void kssOnSignal(int sig)
{
    (void)sig;
    kssStop = 1;
}

static void kssUsage(FILE *out)
{
    fprintf(out,
            "usage: kelstationsim [options] <unit address> <command> [<command> ...]\n"
            "options:\n"
            "  --port P          the unit's factory port (default %d)\n"
            "  --no-auth         skip the handshake\n"
            "  --wrong-digest    answer the unit's challenge with a wrong digest\n"
            "  --watch S         after the commands stay connected S seconds, sending\n"
            "                    heartbeats, and print key and temperature events\n"
            "  --timeout MS      wait for each answer (default %d)\n"
            "commands:\n",
            SSW_PORT, KSS_DEFAULT_TIMEOUT_MS);
    for (size_t i = 0; i < KSS_NUM_COMMANDS; i++)
        fprintf(out, "  %s%s\n", kssCommands[i].name, kssCommands[i].argHelp);
}

static const KssCommand_t *kssFind(const char *name)
{
    for (size_t i = 0; i < KSS_NUM_COMMANDS; i++) {
        if (strcmp(kssCommands[i].name, name) == 0)
            return &kssCommands[i];
    }
    return NULL;
}

/* A decimal number in [min, max]; 1, or 0 when `text` is not one. */
static int kssNumber(const char *text, long long min, long long max, long long *out)
{
    char *end = NULL;
    long long v = strtoll(text, &end, 10);
    if (text[0] == '\0' || end == NULL || *end != '\0' || v < min || v > max)
        return 0;
    *out = v;
    return 1;
}

/* "now" or Unix seconds. */
static int kssTime(const char *text, uint64_t *out)
{
    long long v;
    if (strcmp(text, "now") == 0) {
        *out = (uint64_t)time(NULL);
        return 1;
    }
    if (!kssNumber(text, 0, INT64_MAX, &v))
        return 0;
    *out = (uint64_t)v;
    return 1;
}

/* A word of a list, or a number given directly (to try undefined values). */
static int kssChoice(const char *text, const char *const *words, int n, int32_t *out)
{
    long long v;
    for (int i = 0; i < n; i++) {
        if (strcmp(text, words[i]) == 0) {
            *out = i;
            return 1;
        }
    }
    if (!kssNumber(text, INT32_MIN, INT32_MAX, &v))
        return 0;
    *out = (int32_t)v;
    return 1;
}

static void kssFormatTime(uint64_t t, char *buf, size_t len)
{
    time_t tt = (time_t)t;
    struct tm tm;
    if (gmtime_r(&tt, &tm) == NULL || strftime(buf, len, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0)
        snprintf(buf, len, "?");
}

/* Lays out the request payload of `cmd` from its words. Its length, or -1
 * (message printed) when a word is not understood. */
static int kssBuildPayload(const KssCommand_t *cmd, char **args, uint8_t *payload)
{
    static const char *const leds[] = {"green", "red", "alarm"};
    static const char *const onOff[] = {"on", "off"};
    static const char *const lcd[] = {"white", "black"};
    long long v;
    int32_t w;
    switch (cmd->cmdType) {
    case SSW_SN_SET:
    case SSW_IP_SET:
    case SSW_SERVERIP_SET: {
        size_t len = strlen(args[0]);
        if (len > SSW_PAYLOAD_MAX) {
            fprintf(stderr, "%s: text longer than %u bytes\n", cmd->name, SSW_PAYLOAD_MAX);
            return -1;
        }
        memcpy(payload, args[0], len);
        return (int)len;
    }
    case SSW_LED_TEST: {
        SSW_LedTest_t led;
        if (!kssChoice(args[0], leds, 3, &led.led) || !kssChoice(args[1], onOff, 2, &led.ctrl))
            break;
        memcpy(payload, &led, sizeof(led));
        return (int)sizeof(led);
    }
    case SSW_LCD_TEST:
        if (!kssChoice(args[0], lcd, 2, &w))
            break;
        memcpy(payload, &w, sizeof(w));
        return 4;
    case SSW_TELNET_SET:
        if (!kssChoice(args[0], onOff, 2, &w))
            break;
        w = (w == 0) ? 1 : (w == 1) ? 0 : w; /* on is 1, off is 0 */
        memcpy(payload, &w, sizeof(w));
        return 4;
    case SSW_LCDTYPE_SET:
    case SSW_LOGO_SET:
    case SSW_BRIGHT_SET:
        if (!kssNumber(args[0], INT32_MIN, UINT32_MAX, &v))
            break;
        w = (int32_t)(uint32_t)v;
        memcpy(payload, &w, sizeof(w));
        return 4;
    case SSW_TIME_SYNCHRONIZE: {
        uint64_t t;
        if (!kssTime(args[0], &t))
            break;
        memcpy(payload, &t, sizeof(t));
        return 8;
    }
    case SSW_TEST_RESULT_SET: {
        SSW_TestResult_t r;
        long long result;
        long long tester;
        if (!kssNumber(args[0], INT32_MIN, INT32_MAX, &result) ||
            !kssNumber(args[1], INT32_MIN, INT32_MAX, &tester) || !kssTime(args[2], &r.timeStamp))
            break;
        r.testResult = (int32_t)result;
        r.testID = (int32_t)tester;
        memcpy(payload, &r, sizeof(r));
        return (int)sizeof(r);
    }
    default:
        return 0;
    }
    fprintf(stderr, "%s: arguments not understood\n", cmd->name);
    return -1;
}

static const char *kssResultText(int32_t r)
{
    return r == SSW_TEST_OK ? "TEST_OK" : r == SSW_TEST_FAIL ? "TEST_FAIL" : "unknown result";
}

/* A text field of at most `len` bytes, printable characters only. */
static void kssPrintText(const uint8_t *text, uint32_t len)
{
    for (uint32_t i = 0; i < len && text[i] != '\0'; i++)
        putchar(text[i] >= ' ' && text[i] < 0x7f ? text[i] : '?');
}

static void kssPrintInfo(const StationFrame_t *f)
{
    SSW_Info_t info;
    char when[40];
    if (f->payloadLen < sizeof(info)) {
        printf("short information record (%u bytes)\n", f->payloadLen);
        return;
    }
    memcpy(&info, f->payload, sizeof(info));
    kssFormatTime(info.kelTime, when, sizeof(when));
    printf("\n  clock          %s\n", when);
    printf("  MPU frequency  %u\n", info.MPUFreq);
    printf("  language       %d\n  flash bank     %d\n", info.kelLanguage, info.curMTDGroup);
    printf("  brightness     %d\n  backlight ctrl %d\n", info.kelBrightness, info.kelBKLCtrl);
    printf("  LCD type       %d\n  telnet         %d\n", info.kelLcdType, info.kelTelnet);
    printf("  work hours     %d\n  logo           %u\n", info.workHour, info.logoType);
    const struct {
        const char *label;
        const char *text;
    } texts[] = {{"app version", info.kelAppVersion}, {"kernel version", info.kelKernelVersion},
                 {"fw version", info.kelFWVersion},   {"app server", info.appServer},
                 {"IP address", info.IPAddr}};
    for (size_t i = 0; i < sizeof(texts) / sizeof(texts[0]); i++) {
        printf("  %-14s ", texts[i].label);
        kssPrintText((const uint8_t *)texts[i].text, 16);
        putchar('\n');
    }
}

/* Prints the answer of `cmdType`; 1 when it counts as a success. */
static int kssPrintAnswer(int32_t cmdType, const StationFrame_t *f)
{
    int32_t r = stationSimResult(f);
    char when[40];
    switch (cmdType) {
    case SSW_INFO_GET:
        kssPrintInfo(f);
        return f->payloadLen >= sizeof(SSW_Info_t);
    case SSW_VERSION_GET:
    case SSW_SN_GET:
        kssPrintText(f->payload, f->payloadLen);
        putchar('\n');
        return f->payloadLen > 0;
    case SSW_TIME_SYNCHRONIZE: {
        uint64_t t = 0;
        memcpy(&t, f->payload, f->payloadLen >= 8 ? 8 : 0);
        kssFormatTime(t, when, sizeof(when));
        printf("unit clock %s (%llu)\n", when, (unsigned long long)t);
        return f->payloadLen >= 8;
    }
    case SSW_HEARTBEAT:
        printf("alive\n");
        return 1;
    case SSW_TEMP_GET:
        printf("%.3f C\n", r / 1000.0);
        return f->payloadLen >= 4;
    case SSW_BRIGHT_GET:
        printf("brightness %d\n", r);
        return f->payloadLen >= 4;
    case SSW_LOGO_GET:
        printf("logo %d\n", r);
        return f->payloadLen >= 4;
    case SSW_TEST_RESULT_GET: {
        SSW_TestResult_t tr;
        if (f->payloadLen < sizeof(tr)) {
            printf("short record\n");
            return 0;
        }
        memcpy(&tr, f->payload, sizeof(tr));
        kssFormatTime(tr.timeStamp, when, sizeof(when));
        printf("result %d (%s), tester %d, time %s\n", tr.testResult, kssResultText(tr.testResult),
               tr.testID, tr.timeStamp == 0 ? "none" : when);
        return 1;
    }
    default:
        printf("%s\n", kssResultText(r));
        return r == SSW_TEST_OK;
    }
}

/* Prints a spontaneous frame of the unit. */
static void kssPrintEvent(const StationFrame_t *f)
{
    SSW_KeyEvent_t key;
    if (f->cmdType == SSW_BUTTON_TEST && f->payloadLen >= sizeof(key)) {
        memcpy(&key, f->payload, sizeof(key));
        printf("event: key %d %s\n", key.keyCode, key.keyAction ? "press" : "release");
    } else if (f->cmdType == SSW_TEMP_GET && f->payloadLen >= 4) {
        printf("event: temperature %.3f C\n", stationSimResult(f) / 1000.0);
    } else {
        printf("event: frame type %d command %d, %u payload bytes\n", f->msgType, f->cmdType,
               f->payloadLen);
    }
    fflush(stdout);
}

static void kssPrintKeptEvents(StationSim_t *st)
{
    StationFrame_t f;
    while (st->nEvents > 0 && stationSimNextEvent(st, &f, 0) == 1)
        kssPrintEvent(&f);
}

static int kssWatch(StationSim_t *st, uint64_t ms, uint32_t timeoutMs);

/* Runs one command; 1 success, 0 failed or unanswered, -1 link lost. */
static int kssRun(StationSim_t *st, const KssCommand_t *cmd, char **args, uint32_t timeoutMs)
{
    if (cmd->cmdType == KSS_CMD_WAIT) {
        long long ms;
        if (!kssNumber(args[0], 0, 3600000, &ms)) {
            fprintf(stderr, "wait: milliseconds expected\n");
            return 0;
        }
        printf("wait %lld ms\n", ms);
        fflush(stdout);
        return kssWatch(st, (uint64_t)ms, timeoutMs) ? 1 : -1;
    }
    uint8_t payload[SSW_PAYLOAD_MAX];
    int len = kssBuildPayload(cmd, args, payload);
    if (len < 0)
        return 0;
    printf("%s", cmd->name);
    for (int i = 0; i < cmd->nArgs; i++)
        printf(" %s", args[i]);
    printf(": ");
    fflush(stdout);
    StationFrame_t f;
    int rc = stationSimRequest(st, cmd->cmdType, payload, (uint32_t)len, &f, timeoutMs);
    int ok = 0;
    if (rc == 1)
        ok = kssPrintAnswer(cmd->cmdType, &f);
    else if (rc == -2)
        printf("no answer\n");
    else
        printf("connection lost\n");
    fflush(stdout);
    kssPrintKeptEvents(st);
    return rc == 1 ? ok : (rc == -2 ? 0 : -1);
}

static int kssAuthenticate(StationSim_t *st, const KssOptions_t *o)
{
    int mode = o->bWrongDigest ? STATION_DIGEST_WRONG : STATION_DIGEST_RIGHT;
    int rc = stationSimAuthenticate(st, mode, o->timeoutMs);
    printf("auth: ");
    if (rc == 1)
        printf("TEST_OK (challenge %u)\n", st->challenge);
    else if (rc == -2)
        printf("no answer (challenge %u, %s digest sent)\n", st->challenge,
               o->bWrongDigest ? "wrong" : "right");
    else
        printf("failed (%d)\n", rc);
    fflush(stdout);
    return rc;
}

/* Stays connected for `ms`, heartbeats every 5 s, events printed. */
static int kssWatch(StationSim_t *st, uint64_t ms, uint32_t timeoutMs)
{
    uint64_t end = stationSimNowMs() + ms;
    uint64_t nextBeat = stationSimNowMs() + KSS_HEARTBEAT_MS;
    while (!kssStop && stationSimNowMs() < end) {
        if (stationSimNowMs() >= nextBeat) {
            StationFrame_t f;
            int rc = stationSimRequest(st, SSW_HEARTBEAT, NULL, 0, &f, timeoutMs);
            if (rc != 1) {
                printf("heartbeat: %s\n", rc == -2 ? "no answer" : "connection lost");
                return 0;
            }
            kssPrintKeptEvents(st);
            nextBeat = stationSimNowMs() + KSS_HEARTBEAT_MS;
        }
        StationFrame_t f;
        int rc = stationSimNextEvent(st, &f, 200);
        if (rc == 1)
            kssPrintEvent(&f);
        else if (rc != -2) {
            printf("connection lost\n");
            return 0;
        }
    }
    return 1;
}

/* One option at argv[*i] (its value, if any, consumed). 1, or -1. */
static int kssOption(int argc, char **argv, int *i, KssOptions_t *o)
{
    long long v;
    const char *opt = argv[*i];
    int hasValue = (*i + 1 < argc);
    if (strcmp(opt, "--no-auth") == 0) {
        o->bNoAuth = 1;
    } else if (strcmp(opt, "--wrong-digest") == 0) {
        o->bWrongDigest = 1;
    } else if (strcmp(opt, "--port") == 0 && hasValue && kssNumber(argv[*i + 1], 1, 65535, &v)) {
        o->port = (uint16_t)v;
        (*i)++;
    } else if (strcmp(opt, "--watch") == 0 && hasValue && kssNumber(argv[*i + 1], 0, 86400, &v)) {
        o->watchS = (uint32_t)v;
        (*i)++;
    } else if (strcmp(opt, "--timeout") == 0 && hasValue && kssNumber(argv[*i + 1], 1, 600000, &v)) {
        o->timeoutMs = (uint32_t)v;
        (*i)++;
    } else if (strcmp(opt, "--help") == 0) {
        kssUsage(stdout);
        exit(KSS_EXIT_OK);
    } else {
        fprintf(stderr, "kelstationsim: bad option %s\n", opt);
        return -1;
    }
    return 1;
}

/* Options may stand anywhere a command name may; the words of the
 * commands (names and their arguments, taken as they are) are collected
 * into o->words, every one checked before anything is sent. */
static int kssParseOptions(int argc, char **argv, KssOptions_t *o)
{
    memset(o, 0, sizeof(*o));
    o->port = SSW_PORT;
    o->timeoutMs = KSS_DEFAULT_TIMEOUT_MS;
    o->words = (char **)calloc((size_t)argc, sizeof(char *));
    if (o->words == NULL)
        return -1;
    for (int i = 1; i < argc;) {
        if (strncmp(argv[i], "--", 2) == 0) {
            if (kssOption(argc, argv, &i, o) < 0)
                return -1;
            i++;
            continue;
        }
        if (o->addr == NULL) {
            o->addr = argv[i++];
            continue;
        }
        const KssCommand_t *cmd = kssFind(argv[i]);
        if (cmd == NULL) {
            fprintf(stderr, "kelstationsim: unknown command %s\n", argv[i]);
            return -1;
        }
        if (i + cmd->nArgs >= argc) {
            fprintf(stderr, "kelstationsim: %s needs%s\n", cmd->name, cmd->argHelp);
            return -1;
        }
        for (int k = 0; k <= cmd->nArgs; k++)
            o->words[o->nWords++] = argv[i + k];
        i += 1 + cmd->nArgs;
    }
    if (o->addr == NULL) {
        fprintf(stderr, "kelstationsim: no unit address\n");
        return -1;
    }
    return 1;
}

int main(int argc, char **argv)
{
    KssOptions_t o;
    if (kssParseOptions(argc, argv, &o) < 0) {
        kssUsage(stderr);
        return KSS_EXIT_USAGE;
    }
    signal(SIGINT, kssOnSignal);
    signal(SIGTERM, kssOnSignal);

    static StationSim_t st;
    stationSimInit(&st);
    if (stationSimConnect(&st, o.addr, o.port, KSS_CONNECT_MS) != 1) {
        fprintf(stderr, "kelstationsim: cannot reach %s port %u\n", o.addr, o.port);
        return KSS_EXIT_UNREACHABLE;
    }
    printf("connected to %s port %u\n", o.addr, o.port);
    fflush(stdout);

    int status = KSS_EXIT_OK;
    if (!o.bNoAuth) {
        int rc = kssAuthenticate(&st, &o);
        if (rc != 1)
            status = KSS_EXIT_FAILED;
        if (rc != 1 && rc != -2) {
            stationSimClose(&st);
            return status;
        }
    }
    for (int i = 0; i < o.nWords && !kssStop;) {
        const KssCommand_t *cmd = kssFind(o.words[i]);
        int rc = kssRun(&st, cmd, &o.words[i + 1], o.timeoutMs);
        if (rc != 1)
            status = KSS_EXIT_FAILED;
        if (rc < 0)
            break;
        i += 1 + cmd->nArgs;
    }
    if (o.watchS > 0 && st.fd >= 0) {
        printf("watching for %u s\n", o.watchS);
        fflush(stdout);
        if (!kssWatch(&st, (uint64_t)o.watchS * 1000u, o.timeoutMs))
            status = KSS_EXIT_FAILED;
    }
    stationSimClose(&st);
    free(o.words);
    return status;
}
