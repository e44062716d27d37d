/*
 * kel.cpp - platform utilities shared by the main programs: the platform
 * root, the device record, ticks and clock, the frame buffer device, shell
 * commands, process checks, the configuration and serial number files.
 *
 * Every board path goes through kelRootPath, so with KEL_ROOT set the
 * programs live entirely inside a sandbox directory.
 */
#include "kel.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/times.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define KEL_ROOT_ENV "KEL_ROOT"

const char *kelRootDir(void)
{
    const char *root = getenv(KEL_ROOT_ENV);
    return root ? root : "";
}

INT32 kelRootPath(const char *boardPath, char *buf, UINT32 bufLen)
{
    if (boardPath == NULL || buf == NULL || bufLen == 0) {
        return -1;
    }
    int n = snprintf(buf, bufLen, "%s%s", kelRootDir(), boardPath);
    if (n < 0 || (UINT32)n >= bufLen) {
        buf[0] = '\0';
        return -1;
    }
    return n;
}

void kelSleep(INT32 ms)
{
    if (ms < 0) {
        return;
    }
    usleep((useconds_t)ms * 1000);
}

/* Rate of the times() counter, fixed on first use. Every thread calls
 * kelGetTick: the word goes through KEL_LOAD / KEL_STORE, and two first
 * callers both store the same value. */
static long tickRate;

UINT32 kelGetTick(void)
{
    long tps = KEL_LOAD(tickRate);
    if (tps <= 0) {
        tps = sysconf(_SC_CLK_TCK);
        if (tps <= 0) {
            tps = 100;
        }
        KEL_STORE(tickRate, tps);
    }
    /* Only the counter is wanted: without a buffer the kernel skips
     * summing the CPU times of every thread of the process, which it
     * would otherwise do on each call (and the link threads call this for
     * every frame). The counter is the same. */
    UINT32 counter = (UINT32)times(NULL);
    if (1000 % tps == 0) {
        return counter * (UINT32)(1000 / tps);
    }
    return (UINT32)(((UINT64)counter * 1000u) / (UINT64)tps);
}

UINT64 kelGetRTCTime(void)
{
    return (UINT64)(INT64)time(NULL);
}

INT32 kelExecSysCmd(const char *cmd)
{
    if (cmd == NULL) {
        return -1;
    }
    int status = system(cmd);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return 1;
}

static INT32 kelIsShellLiteral(const char *text)
{
    for (const char *p = text; *p != '\0'; p++) {
        char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '/' || c == '.' || c == '_' || c == '-' || c == '+')) {
            return 0;
        }
    }
    return 1;
}

INT32 kelShellProgram(const char *boardPath, char *buf, UINT32 bufLen)
{
    char path[KEL_PATH_BUF_SIZE];
    if (boardPath == NULL || buf == NULL || bufLen == 0 ||
        kelRootPath(boardPath, path, sizeof(path)) <= 0 || strchr(path, '\'') != NULL) {
        return -1;
    }
    const char *quote = kelIsShellLiteral(path) ? "" : "'";
    int n = snprintf(buf, bufLen, "%s%s%s", quote, path, quote);
    if (n < 0 || (UINT32)n >= bufLen) {
        return -1;
    }
    return n;
}

/* ------------------------------------------------------------------------
 * Key/value files ("KEY value\n" lines): the configuration file, the serial
 * number file and the factory record. They are read and rewritten here
 * directly, never through a shell, so a value can not run commands.
 * ---------------------------------------------------------------------- */

#define KEL_WORD_MAX 31
#define KEL_SN_MAX 32
#define KEL_SN_READ_MAX 64
#define KEL_TMP_SUFFIX ".tmp"
#define KEL_SN_KEY "SN"

/* Characters a shell or a pattern would give meaning to; refused in keys and
 * values so that a stored word stays inert wherever it is used later. */
static const char kelWordForbidden[] = ";$`'\"\\|&<>(){}[]*?!#~%";

static INT32 kelIsWordOfLen(const char *text, UINT32 maxLen)
{
    if (text == NULL) {
        return -1;
    }
    size_t len = strnlen(text, maxLen + 1);
    if (len == 0 || len > maxLen) {
        return -1;
    }
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c <= ' ' || c >= 0x7f || strchr(kelWordForbidden, c) != NULL) {
            return -1;
        }
    }
    return 1;
}

INT32 kelIsConfigWord(const char *text)
{
    return kelIsWordOfLen(text, KEL_WORD_MAX);
}

/* Appends the second blank-separated word of `line` to out[*used..cap). */
static void kelAppendSecondWord(const char *line, char *out, UINT32 cap, UINT32 *used)
{
    const char *p = line;
    while (*p == ' ' || *p == '\t') {
        p++;
    }
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n') {
        p++;
    }
    while (*p == ' ' || *p == '\t') {
        p++;
    }
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n' && *used < cap) {
        out[(*used)++] = *p++;
    }
}

/* Collects the values of every line of the host file `path` that contains
 * `key`, concatenated, at most `cap` bytes. Returns the byte count, or -1
 * when the file can not be read. */
static INT32 kelKeyFileCollect(const char *path, const char *key, char *out, UINT32 cap)
{
    FILE *fp = fopen(path, "r");
    if (fp == NULL) {
        return -1;
    }
    char *line = NULL;
    size_t lineCap = 0;
    UINT32 used = 0;
    while (used < cap && getline(&line, &lineCap, fp) != -1) {
        if (strstr(line, key) != NULL) {
            kelAppendSecondWord(line, out, cap, &used);
        }
    }
    free(line);
    fclose(fp);
    return (INT32)used;
}

INT32 kelKeyFileGet(const char *boardPath, const char *key, char *value)
{
    char path[KEL_PATH_BUF_SIZE];
    char got[KEL_ENV_VALUE_SIZE];
    if (boardPath == NULL || value == NULL || kelIsConfigWord(key) < 0) {
        return -1;
    }
    if (kelRootPath(boardPath, path, sizeof(path)) < 0) {
        return -1;
    }
    INT32 n = kelKeyFileCollect(path, key, got, sizeof(got));
    /* A value that fills the whole buffer leaves no room for its end: no
     * writer stores one that long (a word is at most 31 bytes), so it is
     * the concatenation of several lines or a damaged file, and taking a
     * cut of it would be a wrong value. */
    if (n <= 0 || n >= (INT32)sizeof(got)) {
        return -1;
    }
    memcpy(value, got, (size_t)n);
    value[n] = '\0';
    return 1;
}

/* Milliseconds of the monotonic clock. */
static UINT64 kelMonotonicMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (UINT64)ts.tv_sec * 1000u + (UINT64)ts.tv_nsec / 1000000u;
}

#define KEL_LOCK_POLL_MS 10

/* Serialises writers of the files of one directory, across threads and
 * processes. The lock is waited for at most KEL_CONFIG_LOCK_WAIT_MS: a
 * process that holds it for good (stopped, hung) must not hang the daemon's
 * threads or the start of the other programs. Returns the locked
 * descriptor, or -1. */
static int kelLockDir(const char *dir)
{
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    UINT64 start = kelMonotonicMs();
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            close(fd);
            return -1;
        }
        if (kelMonotonicMs() - start >= KEL_CONFIG_LOCK_WAIT_MS) {
            close(fd);
            return -1;
        }
        kelSleep(KEL_LOCK_POLL_MS);
    }
    return fd;
}

static void kelUnlockDir(int fd)
{
    if (fd >= 0) {
        flock(fd, LOCK_UN);
        close(fd);
    }
}

/* Directory part of a host path into `dir`. */
static INT32 kelDirOf(const char *path, char *dir, UINT32 len)
{
    const char *slash = strrchr(path, '/');
    if (slash == NULL) {
        return snprintf(dir, len, ".") < (int)len ? 1 : -1;
    }
    size_t n = (slash == path) ? 1 : (size_t)(slash - path);
    if (n >= len) {
        return -1;
    }
    memcpy(dir, path, n);
    dir[n] = '\0';
    return 1;
}

/* 1 when `line` holds one of the `count` keys. */
static INT32 kelLineHasKey(const char *line, const char *const *keys, UINT32 count)
{
    for (UINT32 i = 0; i < count; i++) {
        if (strstr(line, keys[i]) != NULL) {
            return 1;
        }
    }
    return 0;
}

/* Copies the lines of `in` that hold none of the keys to `out`. 1, or -1. */
static INT32 kelCopyOtherLines(FILE *in, FILE *out, const char *const *keys, UINT32 count)
{
    INT32 ok = 1;
    char *line = NULL;
    size_t lineCap = 0;
    ssize_t n;
    while ((n = getline(&line, &lineCap, in)) != -1) {
        if (kelLineHasKey(line, keys, count)) {
            continue;
        }
        if (fputs(line, out) == EOF) {
            ok = -1;
        }
        /* A last line without its end would swallow the appended one. */
        if (n > 0 && line[n - 1] != '\n' && fputc('\n', out) == EOF) {
            ok = -1;
        }
    }
    free(line);
    if (ferror(in)) {
        ok = -1;
    }
    return ok;
}

/* Writes the new contents of `path` into "<path>.tmp" (a leftover of an
 * interrupted write is simply overwritten) and renames it into place, so a
 * power cut leaves either the old or the new file, never half of one.
 * With `keep` set, every line of the old file holding one of the keys is
 * dropped and the other lines are kept; otherwise the old file goes. Then
 * "key value" is appended for each of the `count` pairs, all in the one
 * rename: pairs that belong together are never found half written. */
static INT32 kelRewriteFile(const char *path, INT32 keep, const char *const *keys,
                            const char *const *values, UINT32 count)
{
    char tmp[KEL_PATH_BUF_SIZE];
    if (snprintf(tmp, sizeof(tmp), "%s%s", path, KEL_TMP_SUFFIX) >= (int)sizeof(tmp)) {
        return -1;
    }
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return -1;
    }
    FILE *out = fdopen(fd, "w");
    if (out == NULL) {
        close(fd);
        unlink(tmp);
        return -1;
    }
    INT32 ok = 1;
    if (keep) {
        FILE *in = fopen(path, "r");
        /* Only a missing file starts empty: one that is there but can not be
         * opened (no descriptor left, an I/O error) would lose every other
         * key if it were replaced by the new lines alone. */
        if (in == NULL && errno != ENOENT) {
            ok = -1;
        }
        if (in != NULL) {
            if (kelCopyOtherLines(in, out, keys, count) < 0) {
                ok = -1;
            }
            fclose(in);
        }
    }
    for (UINT32 i = 0; i < count; i++) {
        if (fprintf(out, "%s %s\n", keys[i], values[i]) < 0) {
            ok = -1;
        }
    }
    if (fflush(out) != 0 || fsync(fileno(out)) != 0) {
        ok = -1;
    }
    if (fclose(out) != 0) {
        ok = -1;
    }
    if (ok < 0 || rename(tmp, path) != 0) {
        unlink(tmp);
        return -1;
    }
    return 1;
}

/* Rewrites the host file `path` under its directory's lock (see
 * kelRewriteFile) and makes the rename durable. 1, or -1. */
static INT32 kelRewriteLocked(const char *path, INT32 keep, const char *const *keys,
                              const char *const *values, UINT32 count)
{
    char dir[KEL_PATH_BUF_SIZE];
    if (kelDirOf(path, dir, sizeof(dir)) < 0) {
        return -1;
    }
    int lock = kelLockDir(dir);
    if (lock < 0) {
        return -1;
    }
    INT32 rc = kelRewriteFile(path, keep, keys, values, count);
    if (rc > 0) {
        (void)fsync(lock); /* make the rename itself durable */
    }
    kelUnlockDir(lock);
    return rc;
}

INT32 kelKeyFileSetAll(const char *boardPath, const char *const *keys, const char *const *values,
                       UINT32 count)
{
    char path[KEL_PATH_BUF_SIZE];
    if (boardPath == NULL || keys == NULL || values == NULL || count == 0) {
        return -1;
    }
    for (UINT32 i = 0; i < count; i++) {
        if (kelIsConfigWord(keys[i]) < 0 || kelIsConfigWord(values[i]) < 0) {
            return -1;
        }
    }
    if (kelRootPath(boardPath, path, sizeof(path)) < 0) {
        return -1;
    }
    return kelRewriteLocked(path, 1, keys, values, count);
}

INT32 kelKeyFileSet(const char *boardPath, const char *key, const char *value)
{
    return kelKeyFileSetAll(boardPath, &key, &value, 1);
}

INT32 kelGetLinuxEnv(const char *key, char *value)
{
    if (key == NULL || value == NULL) {
        return -1;
    }
    return kelKeyFileGet(KEL_CONFIG_FILE, key, value);
}

INT32 kelSetLinuxEnv(const char *key, const char *value)
{
    if (key == NULL || value == NULL || key[0] == '\0' || value[0] == '\0') {
        return -1;
    }
    return kelKeyFileSet(KEL_CONFIG_FILE, key, value);
}

/* mkdir -p of a host directory path. */
static INT32 kelMakeDirs(const char *dir)
{
    char buf[KEL_PATH_BUF_SIZE];
    if (snprintf(buf, sizeof(buf), "%s", dir) >= (int)sizeof(buf)) {
        return -1;
    }
    for (char *p = buf + 1; *p != '\0'; p++) {
        if (*p != '/') {
            continue;
        }
        *p = '\0';
        if (mkdir(buf, 0755) != 0 && errno != EEXIST) {
            return -1;
        }
        *p = '/';
    }
    if (mkdir(buf, 0755) != 0 && errno != EEXIST) {
        return -1;
    }
    return 1;
}

/* Replaces the serial number file by the single line "SN <sn>", creating
 * its directory when needed. */
static INT32 kelWriteSerialFile(const char *sn)
{
    char path[KEL_PATH_BUF_SIZE];
    char dir[KEL_PATH_BUF_SIZE];
    const char *key = KEL_SN_KEY;
    if (kelRootPath(KEL_SN_FILE, path, sizeof(path)) < 0 || kelDirOf(path, dir, sizeof(dir)) < 0) {
        return -1;
    }
    if (kelMakeDirs(dir) < 0) {
        return -1;
    }
    return kelRewriteLocked(path, 0, &key, &sn, 1);
}

INT32 kelGetSerialNumber(char *buf, INT32 *length)
{
    char path[KEL_PATH_BUF_SIZE];
    char got[KEL_SN_READ_MAX];
    if (buf == NULL || length == NULL) {
        return -1;
    }
    if (kelRootPath(KEL_SN_FILE, path, sizeof(path)) < 0) {
        return -1;
    }
    if (access(path, F_OK) != 0) {
        (void)kelWriteSerialFile(KEL_SN_DEFAULT);
    }
    INT32 n = kelKeyFileCollect(path, KEL_SN_KEY, got, sizeof(got));
    if (n <= 0 || n > KEL_SN_MAX) {
        return -1;
    }
    memcpy(buf, got, (size_t)n);
    *length = n;
    return 1;
}

INT32 kelSetSerialNumber(const char *sn, INT32 length)
{
    if (sn == NULL || length == 0 || kelIsWordOfLen(sn, KEL_SN_MAX) < 0) {
        return -1;
    }
    return kelWriteSerialFile(sn);
}

void kelFormatVersion(const kel_FwVersion_t *v, char *buf, UINT32 bufLen)
{
    if (v == NULL || buf == NULL || bufLen == 0) {
        return;
    }
    snprintf(buf, bufLen, KEL_VERSION_FMT, v->majorVersion, v->minorVersion,
             (int)v->buildVersion);
}

/* ------------------------------------------------------------------------
 * Device record
 * ---------------------------------------------------------------------- */

INT32 kelArgsParse(KEL_DEVICE_INFO *di, int argc, char **argv)
{
    if (di == NULL) {
        return -1;
    }
    if (argc >= 2 && argv != NULL && argv[1] != NULL) {
        size_t len = strlen(argv[1]);
        if (len >= sizeof(di->host)) {
            return -1;
        }
        memcpy(di->host, argv[1], len + 1);
        return 0;
    }
    snprintf(di->host, sizeof(di->host), "%s", KEL_DEFAULT_HOST);
    return 0;
}

/* Writes the formatted version under `key` unless it is stored already. */
static void kelPublishVersion(const char *key, const kel_FwVersion_t *v)
{
    char want[KEL_ENV_VALUE_SIZE] = {0};
    char have[KEL_ENV_VALUE_SIZE + 1] = {0};
    kelFormatVersion(v, want, sizeof(want));
    if (kelGetLinuxEnv(key, have) < 0 || strcmp(have, want) != 0) {
        (void)kelSetLinuxEnv(key, want);
    }
}

/* Reads a decimal configuration value; -1 when the key is absent. */
static INT32 kelReadConfigNumber(const char *key, long *out)
{
    char text[KEL_ENV_VALUE_SIZE + 1] = {0};
    if (kelGetLinuxEnv(key, text) < 0) {
        return -1;
    }
    *out = strtol(text, NULL, 10);
    return 1;
}

INT32 kelInitDevice(KEL_DEVICE_INFO *di, kel_DeviceType_t type, INT32 port, const char *name)
{
    if (di == NULL) {
        return -1;
    }
    di->appVersion.majorVersion = KEL_APP_VERSION_MAJOR;
    di->appVersion.minorVersion = KEL_APP_VERSION_MINOR;
    di->appVersion.buildVersion = KEL_APP_VERSION_BUILD;
    di->kernelVersion.majorVersion = KEL_KERNEL_VERSION_MAJOR;
    di->kernelVersion.minorVersion = KEL_KERNEL_VERSION_MINOR;
    di->kernelVersion.buildVersion = KEL_KERNEL_VERSION_BUILD;
    di->workMode = KEL_MODE_NORMAL;

    memset(di->sn, 0, sizeof(di->sn));
    if (name != NULL) {
        snprintf(di->name, sizeof(di->name), "%s", name);
        if (strcmp(name, KEL_NAME_APPCLIENT) == 0) {
            kelPublishVersion("APP_VERSION", &di->appVersion);
        }
        if (strcmp(name, KEL_NAME_STPCLIENT) == 0) {
            INT32 snLen = 0;
            if (kelGetSerialNumber(di->sn, &snLen) < 0) {
                return -1;
            }
            kelPublishVersion("KER_VERSION", &di->kernelVersion);
        }
    } else {
        snprintf(di->name, sizeof(di->name), "%s", "kelAppName");
    }

    long number = 0;
    if (kelReadConfigNumber("LANGUAGE", &number) < 0) {
        di->kelLang = KEL_LANG_ENGLISH;
        if (kelSetLinuxEnv("LANGUAGE", "0") < 0) {
            return -1;
        }
    } else {
        di->kelLang = (kel_LanguageType_t)number;
    }

    if (kelReadConfigNumber("BKLPWM", &number) < 0) {
        di->kelBrightness = 100;
        if (kelSetLinuxEnv("BKLPWM", "100") < 0) {
            return -1;
        }
    } else {
        /* Out of range on both sides: a 64-bit long must not wrap a stored
         * "4294967296" or "-4294967295" into 0..100. */
        if (number < 0 || number > 100) {
            return -1;
        }
        di->kelBrightness = (UINT32)number;
    }

    di->fd_fb = -1;
    di->fd_kbd = -1;
    di->socket = -1;
    di->type = type;
    di->port = port;
    di->deviceState = KEL_DEVICE_INIT;
    di->socketState = KEL_SOCKET_INIT;
    di->bDataRequested = KEL_FALSE;
    di->bAppRunning = KEL_FALSE;
    di->fbmmap = NULL;

    return kelGetFbDevInfo(di) < 0 ? -1 : 1;
}

/* A link thread takes the program's record as its own while the transmit
 * thread already tests the link's socket and flags: a plain memcpy would
 * write those words under it. */
void kelCopyDeviceInfo(KEL_DEVICE_INFO *dst, const KEL_DEVICE_INFO *src)
{
    if (dst == NULL || src == NULL) {
        return;
    }
    memcpy(dst->name, src->name, sizeof(dst->name));
    memcpy(dst->host, src->host, sizeof(dst->host));
    memcpy(dst->sn, src->sn, sizeof(dst->sn));
    KEL_STORE(dst->type, src->type);
    KEL_STORE(dst->port, src->port);
    KEL_STORE(dst->width, src->width);
    KEL_STORE(dst->height, src->height);
    KEL_STORE(dst->bpp, src->bpp);
    KEL_STORE(dst->fd_kbd, src->fd_kbd);
    KEL_STORE(dst->fd_fb, src->fd_fb);
    KEL_STORE(dst->socket, src->socket);
    KEL_STORE(dst->kelBrightness, src->kelBrightness);
    KEL_STORE(dst->kelLang, src->kelLang);
    KEL_STORE(dst->fbmmap, src->fbmmap);
    KEL_STORE(dst->deviceState, src->deviceState);
    KEL_STORE(dst->socketState, src->socketState);
    KEL_STORE(dst->stateTick, src->stateTick);
    KEL_STORE(dst->sendTick, src->sendTick);
    KEL_STORE(dst->recvTick, src->recvTick);
    KEL_STORE(dst->bDataRequested, src->bDataRequested);
    KEL_STORE(dst->bTimeSynchronized, src->bTimeSynchronized);
    KEL_STORE(dst->bAppRunning, src->bAppRunning);
    KEL_STORE(dst->workMode, src->workMode);
    memcpy(&dst->appVersion, &src->appVersion, sizeof(dst->appVersion));
    memcpy(&dst->kernelVersion, &src->kernelVersion, sizeof(dst->kernelVersion));
}

/* ------------------------------------------------------------------------
 * Frame buffer device
 * ---------------------------------------------------------------------- */

/* Reads a small sysfs attribute of the frame buffer class into `buf`. */
static INT32 kelReadFbAttr(const char *attr, char *buf, UINT32 len)
{
    char board[KEL_PATH_BUF_SIZE];
    char path[KEL_PATH_BUF_SIZE];
    snprintf(board, sizeof(board), "%s/%s", KEL_FB_SYSFS_DIR, attr);
    if (kelRootPath(board, path, sizeof(path)) < 0) {
        return -1;
    }
    FILE *fp = fopen(path, "r");
    if (fp == NULL) {
        return -1;
    }
    size_t n = fread(buf, 1, len - 1, fp);
    fclose(fp);
    buf[n] = '\0';
    return n > 0 ? 1 : -1;
}

/* Geometry from the attributes Linux's fbdev class shows, for a node that
 * is not a frame buffer device (the sandbox's regular file). */
static INT32 kelGetFbSysfsInfo(KEL_DEVICE_INFO *di)
{
    char size[32];
    char bpp[32];
    int w = 0;
    int h = 0;
    int b = 0;
    if (kelReadFbAttr("virtual_size", size, sizeof(size)) < 0 ||
        kelReadFbAttr("bits_per_pixel", bpp, sizeof(bpp)) < 0) {
        return -1;
    }
    if (sscanf(size, "%d,%d", &w, &h) != 2 || sscanf(bpp, "%d", &b) != 1) {
        return -1;
    }
    if (w <= 0 || h <= 0 || b <= 0 || w > INT16_MAX || h > INT16_MAX || b > INT16_MAX) {
        return -1;
    }
    KEL_STORE(di->width, (INT16)w);
    KEL_STORE(di->height, (INT16)h);
    KEL_STORE(di->bpp, (INT16)b);
    return 1;
}

INT32 kelGetFbDevInfo(KEL_DEVICE_INFO *di)
{
    char path[KEL_PATH_BUF_SIZE];
    if (di == NULL || kelRootPath(KEL_FB_DEVICE, path, sizeof(path)) < 0) {
        return -1;
    }
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct fb_var_screeninfo var;
    memset(&var, 0, sizeof(var));
    int rc = ioctl(fd, FBIOGET_VSCREENINFO, &var);
    int err = errno;
    close(fd);
    /* Only a node that is not a frame-buffer device (a file on the virtual
     * board) takes its geometry from the fbdev attributes; a real device
     * that fails the query is a failure. */
    if (rc != 0) {
        return (err == ENOTTY) ? kelGetFbSysfsInfo(di) : -1;
    }
    /* The daemon's work-mode thread reads the geometry while the frame
     * thread learns it: the three words go through KEL_STORE. */
    KEL_STORE(di->width, (INT16)var.xres);
    KEL_STORE(di->height, (INT16)var.yres);
    KEL_STORE(di->bpp, (INT16)var.bits_per_pixel);
    return 1;
}

static INT32 kelFbMapSize(const KEL_DEVICE_INFO *di)
{
    return (INT32)di->width * (INT32)di->height * (INT32)di->bpp / 8;
}

INT32 kelFbDevInit(KEL_DEVICE_INFO *di)
{
    char path[KEL_PATH_BUF_SIZE];
    if (di == NULL || kelRootPath(KEL_FB_DEVICE, path, sizeof(path)) < 0) {
        return -1;
    }
    int server = (di->type == KEL_DEVICE_SERVER);
    int fd = open(path, (server ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    di->fd_fb = fd;
    INT32 size = kelFbMapSize(di);
    if (size <= 0) {
        return -1;
    }
    int prot = server ? PROT_READ : (PROT_READ | PROT_WRITE);
    void *map = mmap(NULL, (size_t)size, prot, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        return -1;
    }
    di->fbmmap = (char *)map;
    return 1;
}

void kelFbDevClose(KEL_DEVICE_INFO *di)
{
    if (di == NULL) {
        return;
    }
    if (di->fbmmap != NULL) {
        INT32 size = kelFbMapSize(di);
        if (size > 0) {
            munmap(di->fbmmap, (size_t)size);
        }
        di->fbmmap = NULL;
    }
    if (di->fd_fb > 0) {
        close(di->fd_fb);
    }
    di->fd_fb = -1;
}

/* ------------------------------------------------------------------------
 * Processes, clock, kernel, reboot
 * ---------------------------------------------------------------------- */

#define KEL_PROC_DIR "/proc"
#define KEL_PROC_READ_MAX 4096
#define KEL_CHECK_CMD_FMT "ps | grep '%s' | grep -v grep | wc -l"
#define KEL_CHECK_SKIP_WORD "grep"

/* Reads up to len-1 bytes of /proc/<pid>/<what>; returns the count or -1. */
static ssize_t kelReadProcFile(const char *pid, const char *what, char *buf, size_t len)
{
    char path[KEL_PATH_BUF_SIZE + 32];
    snprintf(path, sizeof(path), KEL_PROC_DIR "/%s/%s", pid, what);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    size_t got = 0;
    while (got < len - 1) {
        ssize_t n = read(fd, buf + got, len - 1 - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += (size_t)n;
    }
    close(fd);
    buf[got] = '\0';
    return (ssize_t)got;
}

/* 1 when the process's environment holds the same KEL_ROOT as ours (both
 * unset or empty count as equal). The environment is read whole, entry by
 * entry: it may be far longer than a page. */
static INT32 kelSameRoot(const char *pid, const char *ourRoot)
{
    static const char prefix[] = KEL_ROOT_ENV "=";
    char path[KEL_PATH_BUF_SIZE + 32];
    snprintf(path, sizeof(path), KEL_PROC_DIR "/%s/environ", pid);
    FILE *fp = fopen(path, "re");
    if (fp == NULL) {
        return 0;
    }
    char *entry = NULL;
    size_t cap = 0;
    INT32 same = (ourRoot[0] == '\0') ? 1 : 0;
    while (getdelim(&entry, &cap, '\0', fp) != -1) {
        if (strncmp(entry, prefix, sizeof(prefix) - 1) == 0) {
            same = (strcmp(entry + sizeof(prefix) - 1, ourRoot) == 0) ? 1 : 0;
        }
    }
    free(entry);
    fclose(fp);
    return same;
}

/* 1 when the command line of `pid` (arguments joined with blanks, as ps
 * shows it) contains `name` and not "grep": the board's ps pipeline drops
 * every line holding "grep", so a search for a program is never taken for
 * the program itself. */
static INT32 kelCmdlineHas(const char *pid, const char *name)
{
    char cmd[KEL_PROC_READ_MAX];
    ssize_t n = kelReadProcFile(pid, "cmdline", cmd, sizeof(cmd));
    if (n <= 0) {
        return 0;
    }
    while (n > 0 && cmd[n - 1] == '\0') {
        n--;
    }
    for (ssize_t i = 0; i < n; i++) {
        if (cmd[i] == '\0') {
            cmd[i] = ' ';
        }
    }
    cmd[n] = '\0';
    if (strstr(cmd, KEL_CHECK_SKIP_WORD) != NULL) {
        return 0;
    }
    return strstr(cmd, name) != NULL ? 1 : 0;
}

INT32 kelCheckAppRunning(const char *name)
{
    char probe[KEL_CMD_BUF_SIZE];
    if (name == NULL || name[0] == '\0') {
        return -1;
    }
    /* Names that would not fit the board's ps pipeline are refused. */
    int len = snprintf(probe, sizeof(probe), KEL_CHECK_CMD_FMT, name);
    if (len < 0 || len >= (int)sizeof(probe)) {
        return -1;
    }
    DIR *proc = opendir(KEL_PROC_DIR);
    if (proc == NULL) {
        return -1;
    }
    const char *ourRoot = kelRootDir();
    INT32 found = 0;
    struct dirent *de;
    while (found == 0 && (de = readdir(proc)) != NULL) {
        if (de->d_name[0] < '1' || de->d_name[0] > '9') {
            continue;
        }
        if (kelCmdlineHas(de->d_name, name) && kelSameRoot(de->d_name, ourRoot)) {
            found = 1;
        }
    }
    closedir(proc);
    return found;
}

INT32 kelGetLinuxKernelVersion(char *value)
{
    /* The three characters at offset 22 of "uname -a" (the board's build). */
    enum { KEL_UNAME_OFFSET = 22, KEL_UNAME_LEN = 3 };
    char out[KEL_CMD_BUF_SIZE] = {0};
    if (value == NULL) {
        return -1;
    }
    FILE *pp = popen("uname -a", "r");
    if (pp == NULL) {
        return -1;
    }
    size_t n = fread(out, 1, sizeof(out) - 1, pp);
    pclose(pp);
    if (n <= KEL_UNAME_OFFSET) {
        return -1;
    }
    size_t take = 0;
    while (take < KEL_UNAME_LEN && KEL_UNAME_OFFSET + take < n &&
           out[KEL_UNAME_OFFSET + take] != '\n') {
        take++;
    }
    if (take == 0) {
        return -1;
    }
    memcpy(value, out + KEL_UNAME_OFFSET, take);
    return 1;
}

/* 9999-12-31 23:59:59 UTC, the last second a four-digit year can name. */
#define KEL_LAST_4DIGIT_SECOND 253402300799ull

INT32 kelUtcCalendar(UINT64 utcSeconds, struct tm *tm)
{
    /* Peers send the clock unsigned: a value the signed time type cannot
     * hold would come out as a date before 1970, and one past year 9999
     * would overflow the year (or the date text) when formatted. */
    if (tm == NULL || utcSeconds > KEL_LAST_4DIGIT_SECOND) {
        return -1;
    }
    time_t t = (time_t)utcSeconds;
    if (t < 0 || (UINT64)t != utcSeconds) {
        return -1;
    }
    return gmtime_r(&t, tm) != NULL ? 1 : -1;
}

INT32 kelSetRTCTime(UINT64 utcSeconds)
{
    char cmd[KEL_CMD_BUF_SIZE];
    struct tm tm;
    if (kelUtcCalendar(utcSeconds, &tm) < 0) {
        return -1;
    }
    int len = snprintf(cmd, sizeof(cmd), "date -s %4d.%d.%d-%d:%d:%d", tm.tm_year + 1900,
                       tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (len < 0 || len >= (int)sizeof(cmd)) {
        return -1;
    }
    return kelExecSysCmd(cmd);
}

#define KEL_DEV_NULL "/dev/null"
#define KEL_STD_FD_COUNT 3

INT32 kelEnsureStdDescriptors(void)
{
    for (int fd = 0; fd < KEL_STD_FD_COUNT; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        /* The lowest free descriptor is taken, and every lower one is open
         * by now: this is `fd` itself. */
        int got = open(KEL_DEV_NULL, O_RDWR);
        if (got < 0) {
            return -1;
        }
        if (got != fd) {
            int rc = dup2(got, fd);
            close(got);
            if (rc < 0) {
                return -1;
            }
        }
    }
    return 1;
}

INT32 kelReboot(void)
{
    return kelExecSysCmd("reboot");
}

INT32 kelDebugWriteFile(const UINT8 *buf, INT32 length, const char *fileName)
{
    static const char trailer[] = "finided";
    if (buf == NULL || length < 0 || fileName == NULL) {
        return -1;
    }
    FILE *fp = fopen(fileName, "a+b");
    if (fp == NULL) {
        return -1;
    }
    size_t n = fwrite(buf, 1, (size_t)length, fp);
    INT32 rc = 1;
    if (n != (size_t)length) {
        rc = (INT32)n;
    } else if (fwrite(trailer, 1, sizeof(trailer), fp) != sizeof(trailer)) {
        rc = -1;
    }
    fclose(fp);
    return rc;
}
