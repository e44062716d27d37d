/*
 * kellog.cpp - log file helpers for the control daemon's log writers
 * (temperature and error logs) and the factory service: existence and
 * size of a file, the age of a log from its first record, trimming lines
 * from a log's head (a trimmed copy renamed over the log), and repair of a
 * trim of the older kind (copied back in place) that was cut short. Paths
 * given here are host paths (already root-resolved); only the staging
 * directory of the older trims is a board path. Failures are return values
 * only.
 */
#include "kellog.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kel.h"

#define KEL_LOG_LINE_SIZE 64
#define KEL_LOG_COPY_SIZE 10240
#define KEL_LOG_REPAIR_PAUSE_MS 5000
#define KEL_LOG_TRIM_SUFFIX ".trim"

/* Staging file of a log: the log's base name in the staging directory. */
static INT32 kelStagingPath(const char *logFile, char *buf, UINT32 len)
{
    char dir[KEL_PATH_BUF_SIZE];
    if (kelRootPath(KEL_LOG_STAGING_DIR, dir, sizeof(dir)) < 0) {
        return -1;
    }
    const char *slash = strrchr(logFile, '/');
    const char *base = slash ? slash + 1 : logFile;
    int n = snprintf(buf, len, "%s/%s", dir, base);
    return (n < 0 || (UINT32)n >= len) ? -1 : 1;
}

INT32 kelFileExist(const char *fileName)
{
    if (fileName == NULL) {
        return -1;
    }
    return access(fileName, F_OK) == 0 ? 1 : -1;
}

INT32 kelFileGetSize(const char *fileName)
{
    if (fileName == NULL) {
        return -1;
    }
    FILE *fp = fopen(fileName, "rb");
    if (fp == NULL) {
        return -1;
    }
    long start = ftell(fp);
    long end = -1;
    if (fseek(fp, 0, SEEK_END) == 0) {
        end = ftell(fp);
    }
    fclose(fp);
    if (start < 0 || end < 0) {
        return -1;
    }
    return (INT32)(end - start);
}

/* Temporary file of a trim: beside the log, so that the rename over it
 * stays within one file system. */
static INT32 kelTrimTempPath(const char *logFile, char *buf, UINT32 len)
{
    int n = snprintf(buf, len, "%s%s", logFile, KEL_LOG_TRIM_SUFFIX);
    return (n < 0 || (UINT32)n >= len) ? -1 : 1;
}

/* Makes a rename in the directory of `path` durable. */
static void kelSyncDirOf(const char *path)
{
    char dir[KEL_PATH_BUF_SIZE];
    const char *slash = strrchr(path, '/');
    size_t n = (slash == NULL) ? 0 : (slash == path ? 1 : (size_t)(slash - path));
    if (n == 0 || n >= sizeof(dir)) {
        return;
    }
    memcpy(dir, path, n);
    dir[n] = '\0';
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        close(fd);
    }
}

/* Skips `lineNumber` lines of `log` and copies the rest into `out`.
 * 1, or -1 when a read or a write broke off. */
static INT32 kelCopyTail(FILE *log, FILE *out, INT32 lineNumber)
{
    char buf[KEL_LOG_COPY_SIZE];
    char line[KEL_LOG_LINE_SIZE];
    for (INT32 i = 0; i < lineNumber; i++) {
        memset(line, 0, sizeof(line));
        if (fgets(line, sizeof(line), log) == NULL) {
            break;
        }
    }
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), log)) > 0) {
        if (fwrite(buf, 1, n, out) != n) {
            return -1;
        }
    }
    /* A read that broke off is not the end of the log: the records after
     * it would be lost. */
    return ferror(log) ? -1 : 1;
}

/* Replaces `logFile` by the contents of `from` less its first `skipLines`
 * lines. The new log is written to a temporary file beside it, put on the
 * disk and renamed over the log in one step: a cut at any point leaves the
 * old log or the new one, never a log with records missing in between.
 * 1, or -1 with the log unchanged. */
static INT32 kelReplaceLog(const char *from, INT32 skipLines, const char *logFile)
{
    char temp[KEL_PATH_BUF_SIZE];
    if (kelTrimTempPath(logFile, temp, sizeof(temp)) < 0) {
        return -1;
    }
    FILE *in = fopen(from, "rb");
    if (in == NULL) {
        return -1;
    }
    FILE *out = fopen(temp, "w+b");
    if (out == NULL) {
        fclose(in);
        return -1;
    }
    INT32 ok = kelCopyTail(in, out, skipLines);
    fclose(in);
    if (fflush(out) != 0 || fsync(fileno(out)) != 0) {
        ok = -1;
    }
    if (fclose(out) != 0) {
        ok = -1;
    }
    if (ok < 0 || rename(temp, logFile) != 0) {
        unlink(temp);
        return -1;
    }
    kelSyncDirOf(logFile);
    return 1;
}

INT32 kelFileDeleteLine(const char *fileName, INT32 lineNumber)
{
    if (fileName == NULL || lineNumber <= 0) {
        return -1;
    }
    return kelReplaceLog(fileName, lineNumber, fileName);
}

/* Copies `len` characters at `from` into a NUL-terminated field and reads
 * it as decimal. */
static int kelStampField(const char *from, size_t len)
{
    char field[5];
    memcpy(field, from, len);
    field[len] = '\0';
    return atoi(field);
}

UINT64 kelGetTimeStampByStr(const char *pDateTime, UINT32 length)
{
    if (pDateTime == NULL || strlen(pDateTime) != length || length < KEL_LOG_STAMP_LEN) {
        return 0;
    }
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = kelStampField(pDateTime, 4) - 1900;
    tm.tm_mon = kelStampField(pDateTime + 4, 2) - 1;
    tm.tm_mday = kelStampField(pDateTime + 6, 2);
    tm.tm_hour = kelStampField(pDateTime + 9, 2);
    tm.tm_min = kelStampField(pDateTime + 11, 2);
    tm.tm_sec = kelStampField(pDateTime + 13, 2);
    /* Stamps are written from UTC fields, so they are read back as UTC. */
    time_t t = timegm(&tm);
    return (UINT64)(INT64)t;
}

INT32 kelFormatTimeStamp(UINT64 utcSeconds, char *buf, UINT32 bufLen)
{
    if (buf == NULL || bufLen <= KEL_LOG_STAMP_LEN) {
        return -1;
    }
    struct tm tm;
    if (kelUtcCalendar(utcSeconds, &tm) < 0) {
        return -1;
    }
    snprintf(buf, bufLen, KEL_LOG_STAMP_FMT, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec);
    return 1;
}

INT32 kelFileGetLogPeriod(const char *fileName)
{
    char line[KEL_LOG_LINE_SIZE];
    if (kelFileGetSize(fileName) <= 0) {
        return -1;
    }
    FILE *fp = fopen(fileName, "rb");
    if (fp == NULL) {
        return -1;
    }
    memset(line, 0, sizeof(line));
    if (fgets(line, sizeof(line), fp) == NULL) {
        line[0] = '\0';
    }
    fclose(fp);
    if (line[0] == '\0') {
        return -1;
    }
    UINT64 first = kelGetTimeStampByStr(line, (UINT32)strlen(line));
    return (INT32)((UINT32)kelGetRTCTime() - (UINT32)first);
}

INT32 kelInitLogFile(const char *logFileName)
{
    char staging[KEL_PATH_BUF_SIZE];
    char temp[KEL_PATH_BUF_SIZE];
    if (logFileName == NULL || kelStagingPath(logFileName, staging, sizeof(staging)) < 0) {
        return -1;
    }
    /* A trim cut before its rename leaves its copy beside the log, which
     * is then still whole: the copy only goes. */
    if (kelTrimTempPath(logFileName, temp, sizeof(temp)) > 0) {
        (void)unlink(temp);
    }
    /* A staging copy is left by a trim of the older kind, which copied the
     * trimmed log back in place: when the log came out shorter, that copy
     * is the whole log. */
    if (kelFileExist(staging) <= 0) {
        return 1;
    }
    if (kelFileGetSize(logFileName) < kelFileGetSize(staging)) {
        /* The copy back was cut short: the staged copy is the whole log. */
        INT32 rc = kelReplaceLog(staging, 0, logFileName);
        if (rc > 0 && unlink(staging) != 0) {
            rc = -1;
        }
        kelSleep(KEL_LOG_REPAIR_PAUSE_MS);
        return rc;
    }
    return unlink(staging) == 0 ? 1 : -1;
}
