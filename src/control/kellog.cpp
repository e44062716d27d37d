/*
 * kellog.cpp - log file helpers for the control daemon's log writers
 * (temperature and error logs) and the factory service: existence and
 * size of a file, the age of a log from its first record, trimming lines
 * from a log's head through a staged copy, and repair of a trim that was
 * cut short. Paths given here are host paths (already root-resolved); only
 * the staging directory is a board path. Failures are return values only.
 */
#include "kellog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kel.h"

#define KEL_LOG_LINE_SIZE 64
#define KEL_LOG_COPY_SIZE 10240
#define KEL_LOG_REPAIR_PAUSE_MS 5000

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

/* Copies `from` over `to` (truncate and write, as "cp -f" does) and then
 * removes `from`. Done here rather than through a shell so that no path is
 * ever taken apart by one. 1, or -1 when the copy failed (`from` stays). */
static INT32 kelCopyBackAndRemove(const char *from, const char *to)
{
    char buf[KEL_LOG_COPY_SIZE];
    FILE *in = fopen(from, "rb");
    if (in == NULL) {
        return -1;
    }
    FILE *out = fopen(to, "wb");
    if (out == NULL) {
        fclose(in);
        return -1;
    }
    INT32 ok = 1;
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), in)) > 0) {
        if (fwrite(buf, 1, n, out) != n) {
            ok = -1;
            break;
        }
    }
    if (ferror(in)) {
        ok = -1;
    }
    fclose(in);
    if (fflush(out) != 0 || fsync(fileno(out)) != 0) {
        ok = -1;
    }
    if (fclose(out) != 0) {
        ok = -1;
    }
    if (ok < 0) {
        return -1;
    }
    return unlink(from) == 0 ? 1 : -1;
}

INT32 kelFileDeleteLine(const char *fileName, INT32 lineNumber)
{
    char buf[KEL_LOG_COPY_SIZE];
    char staging[KEL_PATH_BUF_SIZE];
    char line[KEL_LOG_LINE_SIZE];
    if (fileName == NULL || lineNumber <= 0) {
        return -1;
    }
    if (kelStagingPath(fileName, staging, sizeof(staging)) < 0) {
        return -1;
    }
    FILE *stage = fopen(staging, "w+b");
    if (stage == NULL) {
        return -1;
    }
    FILE *log = fopen(fileName, "rb");
    if (log == NULL) {
        /* The empty staging file is cleared by the next kelInitLogFile. */
        fclose(stage);
        return -1;
    }
    for (INT32 i = 0; i < lineNumber; i++) {
        memset(line, 0, sizeof(line));
        if (fgets(line, sizeof(line), log) == NULL) {
            break;
        }
    }
    INT32 ok = 1;
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), log)) > 0) {
        if (fwrite(buf, 1, n, stage) != n) {
            ok = -1;
            break;
        }
    }
    /* A read that broke off is not the end of the log: copying the part
     * staged so far back would drop every record after it. */
    if (ferror(log)) {
        ok = -1;
    }
    fclose(log);
    /* The staged copy must be on the disk before the log is cut: a power
     * cut while copying back is repaired from it at the next start. */
    if (fflush(stage) != 0 || fsync(fileno(stage)) != 0) {
        ok = -1;
    }
    if (fclose(stage) != 0) {
        ok = -1;
    }
    if (ok < 0) {
        return -1;
    }
    return kelCopyBackAndRemove(staging, fileName);
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
    time_t t = (time_t)utcSeconds;
    struct tm tm;
    if (gmtime_r(&t, &tm) == NULL || tm.tm_year + 1900 > 9999 || tm.tm_year + 1900 < 0) {
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
    if (logFileName == NULL || kelStagingPath(logFileName, staging, sizeof(staging)) < 0) {
        return -1;
    }
    if (kelFileExist(staging) <= 0) {
        return 1;
    }
    if (kelFileGetSize(logFileName) < kelFileGetSize(staging)) {
        /* The copy back was cut short: the staged copy is the whole log. */
        INT32 rc = kelCopyBackAndRemove(staging, logFileName);
        kelSleep(KEL_LOG_REPAIR_PAUSE_MS);
        return rc;
    }
    return unlink(staging) == 0 ? 1 : -1;
}
