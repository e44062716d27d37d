/*
 * demoBoard.cpp - the demo's view of the virtual board (see demoBoard.h).
 * Every path is a board path under the sandbox directory given at open;
 * nothing here touches the host's own /dev or /sys.
 */
#include "demoBoard.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#define DEMO_FB_BYTES       (DEMO_FB_PIXELS * 2)
#define DEMO_FB_PATH        "/dev/fb0"
#define DEMO_KEYPAD_PATH    "/dev/input/event0"
#define DEMO_LED_DIR        "/sys/devices/platform/leds-gpio/leds/"
#define DEMO_BKL_PATH       "/sys/class/backlight/pwm-backlight/brightness"
#define DEMO_LM75_PATH      "/sys/bus/i2c/drivers/lm75/3-0048/temp1_input"
#define DEMO_LM75_AWAY      "/sys/bus/i2c/drivers/lm75/3-0048/temp1_input.unplugged"
#define DEMO_PICTO_DIR      "/usr/share/picto/"
#define DEMO_JOURNAL_PATH   "/var/log/journal"
#define DEMO_CONFIG_PATH    "/kel/config/kel.conf"
#define DEMO_APP_KEY        "APP_VERSION "
#define DEMO_CONFIG_MAX     4096
#define DEMO_ATTR_MAX       32

#define DEMO_BMP_HEADER     54
#define DEMO_BMP_BPP        24

#define DEMO_EV_SYN         0
#define DEMO_EV_KEY         1
#define DEMO_SYN_REPORT     0

static const char *const demoLedNames[DEMO_NUM_LEDS] = {
    "status-ledgreen", "status-ledred", "alarm-ledred"};

/* The unit's input record: the 32-bit board's struct input_event. */
#pragma pack(push, 1)
typedef struct {
    uint32_t sec;
    uint32_t usec;
    uint16_t type;
    uint16_t code;
    int32_t value;
} DemoInputEvent_t;
#pragma pack(pop)
static_assert(sizeof(DemoInputEvent_t) == 16, "input event record");
static_assert(offsetof(DemoInputEvent_t, type) == 8, "input event type");
static_assert(offsetof(DemoInputEvent_t, code) == 10, "input event code");
static_assert(offsetof(DemoInputEvent_t, value) == 12, "input event value");

/* <root><boardPath> into buf; -1 when it does not fit. */
static int32_t boardPath(const DemoBoard_t *board, const char *boardPath, char *buf,
                         uint32_t len)
{
    int n = snprintf(buf, len, "%s%s", board->root, boardPath);
    return (n < 0 || (uint32_t)n >= len) ? -1 : 1;
}

int32_t demoBoardOpen(DemoBoard_t *board, const char *root)
{
    if (board == NULL || root == NULL || root[0] != '/' ||
        strlen(root) >= sizeof(board->root))
        return -1;
    snprintf(board->root, sizeof(board->root), "%s", root);
    char path[DEMO_PATH_MAX + 32];
    struct stat st;
    if (boardPath(board, DEMO_FB_PATH, path, sizeof(path)) != 1 || stat(path, &st) != 0)
        return -1;
    return 1;
}

/* Whole file into buf (NUL-terminated, at most len - 1 bytes); the count
 * or -1. */
static int32_t readSmallFile(const char *path, char *buf, uint32_t len)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, buf, len - 1);
    close(fd);
    if (n < 0)
        return -1;
    buf[n] = '\0';
    return (int32_t)n;
}

int32_t demoReadAttr(const DemoBoard_t *board, const char *boardPathText, char *buf,
                     uint32_t len)
{
    char path[DEMO_PATH_MAX + 96];
    if (boardPath(board, boardPathText, path, sizeof(path)) != 1)
        return -1;
    if (readSmallFile(path, buf, len) < 0)
        return -1;
    size_t end = strlen(buf);
    while (end > 0 && (buf[end - 1] == '\n' || buf[end - 1] == ' ' || buf[end - 1] == '\r'))
        buf[--end] = '\0';
    return 1;
}

int32_t demoReadFrame(const DemoBoard_t *board, uint16_t *pixels)
{
    char path[DEMO_PATH_MAX + 32];
    if (pixels == NULL || boardPath(board, DEMO_FB_PATH, path, sizeof(path)) != 1)
        return -1;
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    uint8_t *dst = (uint8_t *)pixels;
    size_t got = 0;
    while (got < DEMO_FB_BYTES) {
        ssize_t n = read(fd, dst + got, DEMO_FB_BYTES - got);
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    close(fd);
    return got == DEMO_FB_BYTES ? 1 : -1;
}

/* Channels of a blue-high pixel. */
static int32_t chanDiff(uint16_t a, uint16_t b)
{
    int32_t d = 0;
    int32_t da = (int32_t)(a >> 11) - (int32_t)(b >> 11);
    int32_t dg = (int32_t)((a >> 5) & 0x3F) - (int32_t)((b >> 5) & 0x3F);
    int32_t dr = (int32_t)(a & 0x1F) - (int32_t)(b & 0x1F);
    d = abs(da) > d ? abs(da) : d;
    d = abs(dg) / 2 > d ? abs(dg) / 2 : d;
    d = abs(dr) > d ? abs(dr) : d;
    return d;
}

uint32_t demoFrameDiff(const uint16_t *a, const uint16_t *b)
{
    uint32_t count = 0;
    for (uint32_t i = 0; i < DEMO_FB_PIXELS; i++)
        count += chanDiff(a[i], b[i]) > 1;
    return count;
}

static uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}

int32_t demoLoadPicto(const DemoBoard_t *board, const char *name, uint16_t *pixels)
{
    char rel[DEMO_PATH_MAX];
    char path[DEMO_PATH_MAX * 2];
    if (name == NULL || pixels == NULL || strchr(name, '/') != NULL ||
        snprintf(rel, sizeof(rel), DEMO_PICTO_DIR "%s", name) >= (int)sizeof(rel) ||
        boardPath(board, rel, path, sizeof(path)) != 1)
        return -1;
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        return -1;
    uint8_t hdr[DEMO_BMP_HEADER];
    int32_t rc = -1;
    uint8_t *row = NULL;
    if (fread(hdr, 1, sizeof(hdr), f) != sizeof(hdr) || hdr[0] != 'B' || hdr[1] != 'M')
        goto out;
    {
        uint32_t offBits = le32(hdr + 10);
        int32_t w = (int32_t)le32(hdr + 18);
        int32_t h = (int32_t)le32(hdr + 22);
        if (w < 1 || w > DEMO_FB_W || h < 1 || h > DEMO_FB_H || hdr[28] != DEMO_BMP_BPP ||
            fseek(f, (long)offBits, SEEK_SET) != 0)
            goto out;
        uint32_t rowBytes = ((uint32_t)w * 3u + 3u) & ~3u;
        row = (uint8_t *)malloc(rowBytes);
        if (row == NULL)
            goto out;
        for (uint32_t i = 0; i < DEMO_FB_PIXELS; i++)
            pixels[i] = 0xFFFF;
        /* File rows run bottom-up; pixels are blue, green, red. */
        for (int32_t fy = 0; fy < h; fy++) {
            if (fread(row, 1, rowBytes, f) != rowBytes)
                goto out;
            int32_t y = h - 1 - fy;
            for (int32_t x = 0; x < w; x++) {
                const uint8_t *p = row + x * 3;
                pixels[y * DEMO_FB_W + x] =
                    (uint16_t)(((p[0] >> 3) << 11) | ((p[1] >> 2) << 5) | (p[2] >> 3));
            }
        }
        rc = 1;
    }
out:
    free(row);
    fclose(f);
    return rc;
}

/* Runs argv[0] with its arguments, output to stderr; 1 when it exits 0. */
static int32_t runProgram(char *const argv[])
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 1 : -1;
}

int32_t demoScreenshot(const char *kelshot, const uint16_t *pixels, const char *pngPath)
{
    char raw[DEMO_PATH_MAX + 8];
    if (kelshot == NULL || pixels == NULL || pngPath == NULL ||
        snprintf(raw, sizeof(raw), "%s.fb", pngPath) >= (int)sizeof(raw))
        return -1;
    FILE *f = fopen(raw, "wb");
    if (f == NULL)
        return -1;
    size_t n = fwrite(pixels, 2, DEMO_FB_PIXELS, f);
    if (fclose(f) != 0 || n != DEMO_FB_PIXELS) {
        unlink(raw);
        return -1;
    }
    char *argv[] = {(char *)kelshot, raw, (char *)pngPath, NULL};
    int32_t rc = runProgram(argv);
    unlink(raw);
    return rc;
}

/* Appends one input record stamped with the time of day. */
static void putEvent(DemoInputEvent_t *ev, uint16_t type, uint16_t code, int32_t value)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    ev->sec = (uint32_t)tv.tv_sec;
    ev->usec = (uint32_t)tv.tv_usec;
    ev->type = type;
    ev->code = code;
    ev->value = value;
}

/* Writes the records in one write (at most a few hundred bytes, so the
 * FIFO takes them whole). The daemon holds the FIFO open; without it the
 * open fails instead of blocking. */
static int32_t writeEvents(const DemoBoard_t *board, const DemoInputEvent_t *evs, uint32_t n)
{
    char path[DEMO_PATH_MAX + 32];
    if (boardPath(board, DEMO_KEYPAD_PATH, path, sizeof(path)) != 1)
        return -1;
    int fd = open(path, O_WRONLY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    size_t len = n * sizeof(DemoInputEvent_t);
    ssize_t w = write(fd, evs, len);
    close(fd);
    return (w >= 0 && (size_t)w == len) ? 1 : -1;
}

int32_t demoPressKey(const DemoBoard_t *board, int32_t keyCode)
{
    if (keyCode <= 0 || keyCode > 0xFFFF)
        return -1;
    DemoInputEvent_t evs[4];
    putEvent(&evs[0], DEMO_EV_KEY, (uint16_t)keyCode, 1);
    putEvent(&evs[1], DEMO_EV_SYN, DEMO_SYN_REPORT, 0);
    putEvent(&evs[2], DEMO_EV_KEY, (uint16_t)keyCode, 0);
    putEvent(&evs[3], DEMO_EV_SYN, DEMO_SYN_REPORT, 0);
    return writeEvents(board, evs, 4);
}

int32_t demoKeyEvent(const DemoBoard_t *board, int32_t keyCode, int32_t value)
{
    if (keyCode <= 0 || keyCode > 0xFFFF || value < 0 || value > 2)
        return -1;
    DemoInputEvent_t evs[2];
    putEvent(&evs[0], DEMO_EV_KEY, (uint16_t)keyCode, value);
    putEvent(&evs[1], DEMO_EV_SYN, DEMO_SYN_REPORT, 0);
    return writeEvents(board, evs, 2);
}

int32_t demoPressCombination(const DemoBoard_t *board)
{
    DemoInputEvent_t evs[8];
    putEvent(&evs[0], DEMO_EV_KEY, DEMO_KEY_DOWN, 1);
    putEvent(&evs[1], DEMO_EV_SYN, DEMO_SYN_REPORT, 0);
    putEvent(&evs[2], DEMO_EV_KEY, DEMO_KEY_LEFT, 1);
    putEvent(&evs[3], DEMO_EV_SYN, DEMO_SYN_REPORT, 0);
    putEvent(&evs[4], DEMO_EV_KEY, DEMO_KEY_LEFT, 0);
    putEvent(&evs[5], DEMO_EV_SYN, DEMO_SYN_REPORT, 0);
    putEvent(&evs[6], DEMO_EV_KEY, DEMO_KEY_DOWN, 0);
    putEvent(&evs[7], DEMO_EV_SYN, DEMO_SYN_REPORT, 0);
    return writeEvents(board, evs, 8);
}

int32_t demoReadLed(const DemoBoard_t *board, int32_t led)
{
    if (led < 0 || led >= DEMO_NUM_LEDS)
        return -1;
    char attr[DEMO_PATH_MAX];
    char bright[DEMO_ATTR_MAX];
    snprintf(attr, sizeof(attr), DEMO_LED_DIR "%s/brightness", demoLedNames[led]);
    if (demoReadAttr(board, attr, bright, sizeof(bright)) != 1 || bright[0] < '0' || bright[0] > '9')
        return -1;
    return atoi(bright) > 0 ? 1 : 0;
}

const char *demoLedName(int32_t led)
{
    static const char *const names[DEMO_NUM_LEDS] = {"green status", "red status", "red alarm"};
    return (led >= 0 && led < DEMO_NUM_LEDS) ? names[led] : "?";
}

int32_t demoReadBacklight(const DemoBoard_t *board)
{
    char text[DEMO_ATTR_MAX];
    if (demoReadAttr(board, DEMO_BKL_PATH, text, sizeof(text)) != 1 || text[0] < '0' ||
        text[0] > '9')
        return -1;
    return atoi(text);
}

/* Replaces the sensor file in one step, so the daemon never reads half. */
int32_t demoSetTemperature(const DemoBoard_t *board, int32_t milliC)
{
    char path[DEMO_PATH_MAX + 64];
    char tmp[DEMO_PATH_MAX + 80];
    if (boardPath(board, DEMO_LM75_PATH, path, sizeof(path)) != 1)
        return -1;
    snprintf(tmp, sizeof(tmp), "%s.tmp", path);
    FILE *f = fopen(tmp, "w");
    if (f == NULL)
        return -1;
    int ok = fprintf(f, "%d\n", (int)milliC) > 0;
    if (fclose(f) != 0 || !ok || rename(tmp, path) != 0) {
        unlink(tmp);
        return -1;
    }
    return 1;
}

int32_t demoUnplugSensor(const DemoBoard_t *board)
{
    char path[DEMO_PATH_MAX + 64];
    char away[DEMO_PATH_MAX + 80];
    if (boardPath(board, DEMO_LM75_PATH, path, sizeof(path)) != 1 ||
        boardPath(board, DEMO_LM75_AWAY, away, sizeof(away)) != 1)
        return -1;
    return rename(path, away) == 0 ? 1 : -1;
}

int32_t demoPlugSensor(const DemoBoard_t *board)
{
    char path[DEMO_PATH_MAX + 64];
    char away[DEMO_PATH_MAX + 80];
    if (boardPath(board, DEMO_LM75_PATH, path, sizeof(path)) != 1 ||
        boardPath(board, DEMO_LM75_AWAY, away, sizeof(away)) != 1)
        return -1;
    return rename(away, path) == 0 ? 1 : -1;
}

int32_t demoReadAppVersion(const DemoBoard_t *board)
{
    char path[DEMO_PATH_MAX + 32];
    char text[DEMO_CONFIG_MAX];
    if (boardPath(board, DEMO_CONFIG_PATH, path, sizeof(path)) != 1 ||
        readSmallFile(path, text, sizeof(text)) < 0)
        return -1;
    for (char *line = text; line != NULL && *line != '\0';) {
        char *next = strchr(line, '\n');
        if (next != NULL)
            *next++ = '\0';
        unsigned major = 0, minor = 0, build = 0;
        if (strncmp(line, DEMO_APP_KEY, strlen(DEMO_APP_KEY)) == 0 &&
            sscanf(line + strlen(DEMO_APP_KEY), "%u.%u.%u", &major, &minor, &build) == 3)
            return (int32_t)(((major * 256u) + (minor % 256u)) % 65536u);
        line = next;
    }
    return -1;
}

int32_t demoReadJournal(const DemoBoard_t *board, char *buf, uint32_t len, uint32_t maxLines)
{
    return demoReadTail(board, DEMO_JOURNAL_PATH, buf, len, maxLines);
}

int32_t demoReadTail(const DemoBoard_t *board, const char *boardPathText, char *buf,
                     uint32_t len, uint32_t maxLines)
{
    char path[DEMO_PATH_MAX + 96];
    if (buf == NULL || len == 0 || boardPathText == NULL ||
        boardPath(board, boardPathText, path, sizeof(path)) != 1)
        return -1;
    buf[0] = '\0';
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return -1;
    /* Count first, then copy the tail. */
    char line[256];
    int32_t total = 0;
    while (fgets(line, sizeof(line), f) != NULL)
        total += strchr(line, '\n') != NULL;
    int32_t skip = total > (int32_t)maxLines ? total - (int32_t)maxLines : 0;
    rewind(f);
    int32_t seen = 0;
    size_t used = 0;
    while (fgets(line, sizeof(line), f) != NULL) {
        if (strchr(line, '\n') == NULL)
            continue;
        if (seen++ < skip)
            continue;
        size_t n = strlen(line);
        if (used + n + 1 > len)
            break;
        memcpy(buf + used, line, n + 1);
        used += n;
    }
    fclose(f);
    return total;
}
