/*
 * keltemp.cpp - board temperature of the control daemon.
 *
 * Owns the lm75 reading and the temperature log "/kel/log/keltemp.log".
 * The daemon's main loop calls kelCtrlTempHandle every 10 s; the
 * request-queue thread reads the sensor and answers on the factory queue
 * through kelCtrlSendTemperature. The log is written from the main loop
 * only, so it needs no lock.
 */
#include "keltemp.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kel.h"
#include "kelctlstate.h"
#include "kelerror.h"
#include "kellog.h"

/* A reading is at most six characters: -99999 to 999999 thousandths. */
#define KEL_TEMP_READ_MAX 6
#define KEL_TEMP_TEXT_SIZE 8
#define KEL_TEMP_RECORD_SIZE 64
#define KEL_TEMP_RECORD_FMT "%4d%02d%02d-%02d%02d%02d: %.1f\n"

static INT32 tempTrimPauseMs = KEL_LOG_TRIM_PAUSE_MS;

void kelTempSetTrimPause(INT32 ms)
{
    tempTrimPauseMs = ms;
}

INT32 kelGetTemperature(INT32 *temperature)
{
    if (temperature == NULL) {
        return -1;
    }
    char path[KEL_PATH_BUF_SIZE];
    int fd = -1;
    if (kelRootPath(KEL_TEMP_SENSOR_FILE, path, sizeof(path)) > 0) {
        fd = open(path, O_RDONLY);
    }
    if (fd < 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_TEMP, __LINE__, KEL_HW_TEMP_OPEN_ERROR);
        return -1;
    }
    char text[KEL_TEMP_TEXT_SIZE];
    memset(text, 0, sizeof(text));
    ssize_t got = read(fd, text, KEL_TEMP_READ_MAX);
    close(fd);
    if (got <= 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_TEMP, __LINE__, KEL_HW_TEMP_READ_ERROR);
        return -1;
    }
    /* A text without digits is not a reading: taking it as 0 would send
     * and log a false 0.0 degrees. */
    char *end = NULL;
    long value = strtol(text, &end, 10);
    if (end == text) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_TEMP, __LINE__, KEL_HW_TEMP_READ_ERROR);
        return -1;
    }
    *temperature = (INT32)value;
    return 1;
}

/* Creates the log empty when it is missing. 1, or -1 (reported). */
static INT32 tempEnsureLog(const char *logPath)
{
    if (kelFileExist(logPath) >= 0) {
        return 1;
    }
    FILE *fp = fopen(logPath, "w+b");
    if (fp == NULL) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_TEMP, __LINE__, KEL_FW_FILE_OPEN_ERROR);
        return -1;
    }
    fclose(fp);
    return 1;
}

/* Drops the oldest lines of a log that is too old or too large. A failed
 * trim does not stop the append. */
static void tempTrimLog(const char *logPath)
{
    if (kelFileGetLogPeriod(logPath) > KEL_LOG_MAX_PERIOD_S) {
        kelFileDeleteLine(logPath, KEL_LOG_TRIM_LINES);
        kelSleep(tempTrimPauseMs);
    }
    if (kelFileGetSize(logPath) >= KEL_LOG_MAX_SIZE) {
        kelFileDeleteLine(logPath, KEL_LOG_TRIM_LINES);
        kelSleep(tempTrimPauseMs);
    }
}

INT32 kelLogTempToFile(INT32 temperature)
{
    UINT64 now = kelGetRTCTime();
    char logPath[KEL_PATH_BUF_SIZE];
    if (kelRootPath(KEL_LOG_DIR "/" KEL_TEMP_LOG_NAME, logPath, sizeof(logPath)) <= 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_TEMP, __LINE__, KEL_FW_FILE_OPEN_ERROR);
        return -1;
    }
    if (tempEnsureLog(logPath) < 0) {
        return -1;
    }
    if (kelInitLogFile(logPath) < 0) {
        return -1;
    }
    tempTrimLog(logPath);

    time_t when = (time_t)now;
    struct tm utc;
    if (gmtime_r(&when, &utc) == NULL) {
        return -1;
    }
    char record[KEL_TEMP_RECORD_SIZE];
    memset(record, 0, sizeof(record));
    int len = snprintf(record, sizeof(record), KEL_TEMP_RECORD_FMT, utc.tm_year + 1900, utc.tm_mon + 1,
                       utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, (double)temperature / 1000.0);
    if (len <= 0 || (size_t)len >= sizeof(record)) {
        return -1;
    }

    FILE *fp = fopen(logPath, "a+b");
    if (fp == NULL) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_TEMP, __LINE__, KEL_FW_FILE_OPEN_ERROR);
        return -1;
    }
    fseek(fp, 0, SEEK_END);
    size_t written = fwrite(record, 1, (size_t)len, fp);
    /* A write that only fails when the buffer is flushed shows in fclose. */
    int closed = fclose(fp);
    if (written != (size_t)len || closed != 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_TEMP, __LINE__, KEL_FW_FILE_WRITE_ERROR);
        return -1;
    }
    return 1;
}

INT32 kelCtrlSendTemperature(INT32 temperature, kel_MsgQue_ID_t queueLetter)
{
    INT32 qid = -1;
    if (kelAppMsgQueGetID(&qid, queueLetter) < 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_CONTROL, __LINE__, KEL_FW_MSGQ_GETID_ERROR);
        return -1;
    }
    kel_MsgQue_Tx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msgType = KEL_MSG_TYPE_TX;
    msg.cmdType = KEL_MSGQ_TX_TEMPERATURE;
    msg.data.tempData.temperature = temperature;
    if (kelAppMsgQueDataSend(qid, KEL_MSG_TYPE_TX, &msg) < 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_CONTROL, __LINE__, KEL_FW_MSGQ_SEND_ERROR);
        return -1;
    }
    return 1;
}

void kelCtrlTempHandle(void)
{
    INT32 value = 0;
    if (kelGetTemperature(&value) <= 0) {
        return;
    }
    if (value != KEL_LOAD(tempSendValue) && KEL_LOAD(bAppClientRunning) == KEL_TRUE) {
        if (kelCtrlSendTemperature(value, KEL_MSG_ID_TX) < 0) {
            KEL_STORE(bAppClientRunning, KEL_FALSE);
        }
        KEL_STORE(tempSendValue, value);
    }
    if ((UINT32)(kelGetTick() - KEL_LOAD(tTempLogTick)) > KEL_TEMP_LOG_PERIOD_MS) {
        kelLogTempToFile(value);
        KEL_STORE(tTempLogTick, kelGetTick());
    }
}
