/*
 * panelBoard.cpp - the board files the panel shows and changes (see
 * panelBoard.h). Called from kelpanel's watcher thread (reads) and its
 * HTTP handlers (writes).
 */
#include "panelBoard.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelmsg.h"

#define PANEL_LED_DIR "/sys/devices/platform/leds-gpio/leds/"
#define PANEL_BKL_MAX_PATH "/sys/class/backlight/pwm-backlight/max_brightness"
#define PANEL_LM75_PATH "/sys/bus/i2c/drivers/lm75/3-0048/temp1_input"
#define PANEL_FB_PATH "/dev/fb0"
#define PANEL_KEYPAD_PATH "/dev/input/event0"
#define PANEL_VBOARD_CONF "/etc/vboard.conf"
#define PANEL_METER_KEY "METER_HOST="
#define PANEL_UPLOAD_TMP "/usr/ftp/up/.kelupg.bin.part"
#define PANEL_ATTR_MAX 64
#define PANEL_TCP_ESTABLISHED 1

static const char *const panelLedDirs[PANEL_NUM_LEDS] = {"status-ledgreen", "status-ledred",
                                                         "alarm-ledred"};
static const uint16_t panelLinkPorts[PANEL_NUM_LINKS] = {1235, 1234, 1236};

static int32_t panelPath(const DemoBoard_t *board, const char *boardPath, char *buf, size_t len)
{
    int n = snprintf(buf, len, "%s%s", board->root, boardPath);
    return (n < 0 || (size_t)n >= len) ? -1 : 1;
}

/* A decimal attribute; 1 and the value, or -1. */
static int32_t panelReadNumber(const DemoBoard_t *board, const char *boardPath, int32_t *value)
{
    char text[PANEL_ATTR_MAX];
    if (demoReadAttr(board, boardPath, text, sizeof(text)) != 1)
        return -1;
    char *end = NULL;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < -2147483647L || v > 2147483647L)
        return -1;
    *value = (int32_t)v;
    return 1;
}

int32_t panelCheckSandbox(const char *root, char *why, size_t whyLen)
{
    static const struct {
        const char *path;
        mode_t type;
        const char *what;
    } parts[] = {
        {PANEL_FB_PATH, S_IFREG, "frame buffer file"},
        {PANEL_KEYPAD_PATH, S_IFIFO, "keypad FIFO"},
        {"/home/root", S_IFDIR, "IPC key folder"},
        {PANEL_LED_DIR, S_IFDIR, "LED folder"},
    };
    if (root == NULL || root[0] != '/') {
        snprintf(why, whyLen, "the root must be an absolute path");
        return -1;
    }
    for (size_t i = 0; i < sizeof(parts) / sizeof(parts[0]); i++) {
        char path[DEMO_PATH_MAX + 64];
        struct stat st;
        int n = snprintf(path, sizeof(path), "%s%s", root, parts[i].path);
        if (n < 0 || (size_t)n >= sizeof(path) || stat(path, &st) != 0 ||
            (st.st_mode & S_IFMT) != parts[i].type) {
            snprintf(why, whyLen, "no %s at %s%s (make one with kelvboard)", parts[i].what, root,
                     parts[i].path);
            return -1;
        }
        if (parts[i].type == S_IFREG && st.st_size != DEMO_FB_PIXELS * 2) {
            snprintf(why, whyLen, "%s%s holds %lld bytes, not one 320 x 240 frame", root,
                     parts[i].path, (long long)st.st_size);
            return -1;
        }
    }
    return 1;
}

void panelReadLedsLit(const DemoBoard_t *board, PanelLeds_t *leds)
{
    for (int32_t i = 0; i < PANEL_NUM_LEDS; i++)
        leds->lit[i] = demoReadLed(board, i);
}

void panelReadLedTimers(const DemoBoard_t *board, PanelLeds_t *leds)
{
    for (int32_t i = 0; i < PANEL_NUM_LEDS; i++) {
        char path[128];
        char trigger[PANEL_ATTR_MAX];
        snprintf(path, sizeof(path), PANEL_LED_DIR "%s/trigger", panelLedDirs[i]);
        leds->bTimer[i] = demoReadAttr(board, path, trigger, sizeof(trigger)) == 1 &&
                          strcmp(trigger, "timer") == 0;
        leds->delayOn[i] = 0;
        leds->delayOff[i] = 0;
        if (!leds->bTimer[i])
            continue;
        snprintf(path, sizeof(path), PANEL_LED_DIR "%s/delay_on", panelLedDirs[i]);
        (void)panelReadNumber(board, path, &leds->delayOn[i]);
        snprintf(path, sizeof(path), PANEL_LED_DIR "%s/delay_off", panelLedDirs[i]);
        (void)panelReadNumber(board, path, &leds->delayOff[i]);
    }
}

int32_t panelReadBacklightMax(const DemoBoard_t *board)
{
    int32_t v = -1;
    return panelReadNumber(board, PANEL_BKL_MAX_PATH, &v) == 1 ? v : -1;
}

int32_t panelReadTemperature(const DemoBoard_t *board, int32_t *milliC)
{
    return panelReadNumber(board, PANEL_LM75_PATH, milliC);
}

int32_t panelReadWorkMode(const char *root)
{
    char keyPath[DEMO_PATH_MAX + 32];
    int n = snprintf(keyPath, sizeof(keyPath), "%s%s", root, KEL_IPC_KEY_PATH);
    if (n < 0 || (size_t)n >= sizeof(keyPath))
        return -1;
    key_t key = ftok(keyPath, KEL_SHM_ID_FB);
    if (key == (key_t)-1)
        return -1;
    int id = shmget(key, 0, 0);
    if (id < 0)
        return -1;
    /* Attached only for the read, so a segment removed at the end of a run
     * is not kept alive by the panel. */
    void *seg = shmat(id, NULL, SHM_RDONLY);
    if (seg == (void *)-1)
        return -1;
    INT32 mode = -1;
    memcpy(&mode, (const uint8_t *)seg + offsetof(kel_ShMem_FB_t, kelWorkMode), sizeof(mode));
    shmdt(seg);
    return (mode >= KEL_MODE_NORMAL && mode < KEL_NUM_OF_MODES) ? mode : -1;
}

const char *panelWorkModeName(int32_t mode)
{
    static const char *const names[KEL_NUM_OF_MODES] = {"normal", "error", "upgrade needed",
                                                        "upgrading", "factory test"};
    return (mode >= 0 && mode < KEL_NUM_OF_MODES) ? names[mode] : "unknown";
}

int32_t panelReadMeterHost(const DemoBoard_t *board, char *addr, size_t len)
{
    char path[DEMO_PATH_MAX + 32];
    if (panelPath(board, PANEL_VBOARD_CONF, path, sizeof(path)) != 1)
        return -1;
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return -1;
    char line[128];
    int32_t rc = -1;
    while (rc < 0 && fgets(line, sizeof(line), f) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        const char *v = line + strlen(PANEL_METER_KEY);
        struct in_addr a;
        if (strncmp(line, PANEL_METER_KEY, strlen(PANEL_METER_KEY)) == 0 &&
            inet_pton(AF_INET, v, &a) == 1 && strlen(v) < len) {
            snprintf(addr, len, "%s", v);
            rc = 1;
        }
    }
    fclose(f);
    return rc;
}

void panelLinkStates(const char *tcpTable, const char *addr, int32_t *up)
{
    struct in_addr want;
    for (int32_t i = 0; i < PANEL_NUM_LINKS; i++)
        up[i] = -1;
    if (tcpTable == NULL || addr == NULL || inet_pton(AF_INET, addr, &want) != 1)
        return;
    FILE *f = fopen(tcpTable, "r");
    if (f == NULL)
        return;
    for (int32_t i = 0; i < PANEL_NUM_LINKS; i++)
        up[i] = 0;
    char line[256];
    /* Lines: "sl local_address rem_address st ...", addresses as the hex
     * of the 32-bit word in memory order, ports in hex. The unit's side of
     * a link has the meter as its remote end. */
    while (fgets(line, sizeof(line), f) != NULL) {
        unsigned localAddr, localPort, remAddr, remPort, state;
        if (sscanf(line, " %*u: %8X:%4X %8X:%4X %2X", &localAddr, &localPort, &remAddr,
                   &remPort, &state) != 5 ||
            remAddr != want.s_addr || state != PANEL_TCP_ESTABLISHED)
            continue;
        for (int32_t i = 0; i < PANEL_NUM_LINKS; i++)
            up[i] = up[i] || remPort == panelLinkPorts[i];
    }
    fclose(f);
}

int32_t panelWriteUpload(const DemoBoard_t *board, const uint8_t *data, size_t len)
{
    char tmp[DEMO_PATH_MAX + 64];
    char dest[DEMO_PATH_MAX + 64];
    if (data == NULL || len == 0 || len > PANEL_UPLOAD_MAX ||
        panelPath(board, PANEL_UPLOAD_TMP, tmp, sizeof(tmp)) != 1 ||
        panelPath(board, PANEL_UPLOAD_PATH, dest, sizeof(dest)) != 1)
        return -1;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n <= 0)
            break;
        done += (size_t)n;
    }
    if (close(fd) != 0 || done != len || rename(tmp, dest) != 0) {
        unlink(tmp);
        return -1;
    }
    return 1;
}
