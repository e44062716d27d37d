/*
 * kelerror.cpp - error reporting for every program: kelLogError suppresses
 * repeats of one reporting site within a window, stamps the report and puts
 * it on the E queue, where the control daemon's error log thread takes it.
 *
 * The ring size and the repeat window are fixed per program at build time
 * (the upgrade program keeps a shorter memory). Reporting never blocks on a
 * consumer and its result is only informative.
 */
#include "kelerror.h"

#include <pthread.h>
#include <string.h>

#include "kel.h"
#include "kelmsg.h"

#ifndef KEL_ERROR_RING_SIZE
#define KEL_ERROR_RING_SIZE 10
#endif
#ifndef KEL_ERROR_REPEAT_WINDOW_S
#define KEL_ERROR_REPEAT_WINDOW_S 600
#endif

static kel_ErrorLog_t kelLogBuff[KEL_ERROR_RING_SIZE];
/* Reports come from every thread; the lock keeps the ring consistent. */
static pthread_mutex_t kelLogLock = PTHREAD_MUTEX_INITIALIZER;
static UINT64 (*kelErrorClock)(void) = kelGetRTCTime;

kel_ErrorLog_t *kelErrorRing(void)
{
    return kelLogBuff;
}

INT32 kelErrorRingSize(void)
{
    return KEL_ERROR_RING_SIZE;
}

INT32 kelErrorRingCount(INT32 errCode)
{
    INT32 n = 0;
    pthread_mutex_lock(&kelLogLock);
    for (INT32 i = 0; i < KEL_ERROR_RING_SIZE; i++) {
        n += kelLogBuff[i].errorData.errCode == errCode ? 1 : 0;
    }
    pthread_mutex_unlock(&kelLogLock);
    return n;
}

void kelErrorSetClock(UINT64 (*clock)(void))
{
    pthread_mutex_lock(&kelLogLock);
    kelErrorClock = (clock != NULL) ? clock : kelGetRTCTime;
    pthread_mutex_unlock(&kelLogLock);
}

static INT32 kelRingFind(const kel_ErrorLog_t *report)
{
    for (INT32 i = 0; i < KEL_ERROR_RING_SIZE; i++) {
        const kel_ErrorLog_t *e = &kelLogBuff[i];
        if (e->errorData.errCode == report->errorData.errCode && e->fileID == report->fileID &&
            e->lineNum == report->lineNum) {
            return i;
        }
    }
    return -1;
}

/* The entry with the oldest time (the highest index among equal times);
 * entry 0 when every entry is later than the report (clock set back). */
static INT32 kelRingVictim(UINT64 reportTime)
{
    INT32 choice = 0;
    UINT64 bound = reportTime;
    for (INT32 i = 0; i < KEL_ERROR_RING_SIZE; i++) {
        if (kelLogBuff[i].errorData.errTimeStamp <= bound) {
            choice = i;
            bound = kelLogBuff[i].errorData.errTimeStamp;
        }
    }
    return choice;
}

static void kelRingStore(INT32 index, const kel_ErrorLog_t *report)
{
    kel_ErrorLog_t *e = &kelLogBuff[index];
    e->appTaskID = report->appTaskID;
    e->fileID = report->fileID;
    e->lineNum = report->lineNum;
    e->errorData.errCode = report->errorData.errCode;
    e->errorData.errTimeStamp = report->errorData.errTimeStamp;
}

INT32 kelLogError(kel_AppTaskID_t appTaskID, INT32 fileID, INT32 lineNum, kel_ErrorCode_t errCode)
{
    kel_ErrorLog_t report;
    memset(&report, 0, sizeof(report));

    pthread_mutex_lock(&kelLogLock);
    report.appTaskID = (INT32)appTaskID;
    report.fileID = fileID;
    report.lineNum = lineNum;
    report.errorData.errCode = (INT32)errCode;
    report.errorData.errTimeStamp = kelErrorClock();
    report.bSendtoMeter = (errCode >= KEL_ERR_METER_THRESHOLD) ? KEL_TRUE : KEL_FALSE;

    INT32 index = kelRingFind(&report);
    if (index >= 0) {
        UINT64 since = kelErrorClock() - kelLogBuff[index].errorData.errTimeStamp;
        if (since < (UINT64)KEL_ERROR_REPEAT_WINDOW_S) {
            pthread_mutex_unlock(&kelLogLock);
            return -1;
        }
    } else {
        index = kelRingVictim(report.errorData.errTimeStamp);
    }
    kelRingStore(index, &report);
    pthread_mutex_unlock(&kelLogLock);

    return kelSendErrorData(&report);
}

INT32 kelSendErrorData(const kel_ErrorLog_t *report)
{
    INT32 id = -1;
    if (report == NULL || kelAppMsgQueGetID(&id, KEL_MSG_ID_ERROR) < 0) {
        return -1;
    }
    kel_MsgQue_Error_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msgType = KEL_MSG_TYPE_ERROR;
    memcpy(&msg.errLogData, report, sizeof(*report));
    return kelAppMsgQueSendKept(&id, KEL_MSG_ID_ERROR, KEL_MSG_TYPE_ERROR, &msg);
}
