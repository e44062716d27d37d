/*
 * kelerrlog.cpp - error log writer of the control daemon.
 *
 * One detached thread consumes the E queue, where every program puts its
 * error reports. Reports meant for the meter are forwarded to the app
 * client on the T queue while it is believed present; every report is
 * appended to "/kel/log/kelerror.log". This thread is the only writer of
 * that file. Its own failures are reported through kelLogError, so they
 * come back on the E queue and are written on a later pass.
 */
#include "kelerrlog.h"

#include <stdio.h>
#include <string.h>
#include <sys/msg.h>
#include <time.h>

#include "kel.h"
#include "kelctlstate.h"
#include "kelerror.h"
#include "kellog.h"
#include "keltemp.h"

#define KEL_ERRLOG_LINE_SIZE 96
#define KEL_ERRLOG_LINE_FMT "%4d%02d%02d-%02d%02d%02d:%1d:%d:%d:%d\n"
#define KEL_ERRLOG_POLL_MS 50

static INT32 errTrimPauseMs = KEL_LOG_TRIM_PAUSE_MS;

void kelErrorLogSetTrimPause(INT32 ms)
{
    errTrimPauseMs = ms;
}

/* Creates the log empty when it is missing. 1, or -1 (reported). */
static INT32 errEnsureLog(const char *logPath)
{
    if (kelFileExist(logPath) >= 0) {
        return 1;
    }
    FILE *fp = fopen(logPath, "w+b");
    if (fp == NULL) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_ERRLOG, __LINE__, KEL_FW_FILE_OPEN_ERROR);
        return -1;
    }
    fclose(fp);
    return 1;
}

/* Formats one report as a log line into `line`; its length, or -1. */
static INT32 errFormatLine(const kel_ErrorLog_t *report, char *line, UINT32 lineLen)
{
    /* Time stamps are read as unsigned 32-bit seconds, which covers every
     * date up to 2106 and cannot fail to convert whatever a peer sent. */
    time_t when = (time_t)(UINT32)(report->errorData.errTimeStamp & 0xFFFFFFFFu);
    struct tm utc;
    if (gmtime_r(&when, &utc) == NULL) {
        return -1;
    }
    int len = snprintf(line, lineLen, KEL_ERRLOG_LINE_FMT, utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                       utc.tm_hour, utc.tm_min, utc.tm_sec, (int)report->appTaskID, (int)report->fileID,
                       (int)report->lineNum, (int)report->errorData.errCode);
    if (len <= 0 || (UINT32)len >= lineLen) {
        return -1;
    }
    return len;
}

INT32 kelLogErrorToFile(const kel_ErrorLog_t *report)
{
    if (report == NULL) {
        return -1;
    }
    char logPath[KEL_PATH_BUF_SIZE];
    if (kelRootPath(KEL_LOG_DIR "/" KEL_ERRLOG_NAME, logPath, sizeof(logPath)) <= 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_ERRLOG, __LINE__, KEL_FW_FILE_OPEN_ERROR);
        return -1;
    }
    if (errEnsureLog(logPath) < 0) {
        return -1;
    }
    if (kelInitLogFile(logPath) < 0) {
        return -1;
    }
    if (kelFileGetLogPeriod(logPath) > KEL_LOG_MAX_PERIOD_S) {
        kelFileDeleteLine(logPath, KEL_LOG_TRIM_LINES);
        kelSleep(errTrimPauseMs);
    }
    if (kelFileGetSize(logPath) >= KEL_LOG_MAX_SIZE) {
        kelFileDeleteLine(logPath, KEL_LOG_TRIM_LINES);
        kelSleep(errTrimPauseMs);
    }

    char line[KEL_ERRLOG_LINE_SIZE];
    memset(line, 0, sizeof(line));
    INT32 len = errFormatLine(report, line, sizeof(line));
    if (len < 0) {
        return -1;
    }
    FILE *fp = fopen(logPath, "a+b");
    if (fp == NULL) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_ERRLOG, __LINE__, KEL_FW_FILE_OPEN_ERROR);
        return -1;
    }
    fseek(fp, 0, SEEK_END);
    size_t written = fwrite(line, 1, (size_t)len, fp);
    int closed = fclose(fp);
    if (written != (size_t)len || closed != 0) {
        kelLogError(KEL_TASK_CONTROL, KEL_FILEID_ERRLOG, __LINE__, KEL_FW_FILE_WRITE_ERROR);
        return -1;
    }
    return 1;
}

INT32 kelErrorLogHandleMsg(const kel_MsgQue_Error_t *msg, INT32 byteCount)
{
    /* Only whole error reports are taken; anything else is dropped without
     * touching the log or the meter. */
    if (msg == NULL || byteCount != KEL_MSGQ_ERROR_BYTES) {
        return 0;
    }
    kel_ErrorLog_t report;
    memcpy(&report, &msg->errLogData, sizeof(report));

    if (KEL_LOAD(bAppClientRunning) == KEL_TRUE && report.bSendtoMeter == KEL_TRUE) {
        if (kelAppMsgQueSendErrData(&report.errorData) <= 0) {
            KEL_STORE(bAppClientRunning, KEL_FALSE);
        }
    }
    return kelLogErrorToFile(&report);
}

void *kelErrorLogHandleThread(void *arg)
{
    (void)arg;
    for (;;) {
        INT32 qid = -1;
        kelSleep(KEL_ERRLOG_POLL_MS);
        if (kelAppMsgQueGetID(&qid, KEL_MSG_ID_ERROR) < 0) {
            continue;
        }
        for (;;) {
            kel_MsgQue_Error_t msg;
            INT32 got = kelAppMsgQueRecvRecord(qid, KEL_MSG_TYPE_ERROR, &msg, sizeof(msg));
            if (got < 0) {
                msgctl(qid, IPC_RMID, NULL);
                kelLogError(KEL_TASK_CONTROL, KEL_FILEID_ERRLOG, __LINE__, KEL_FW_MSGQ_RECV_ERROR);
                break;
            }
            /* A record that is not a whole report (got 0) was taken off
             * and is dropped here without a word: a report about it would
             * only come back to this queue. */
            if (got > 0) {
                kelErrorLogHandleMsg(&msg, got);
            }
        }
    }
    return NULL;
}
