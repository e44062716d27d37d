/*
 * kelErrorTestClock.h - a settable clock for the error reporting tests and
 * a reader of the reports that reached the E queue.
 */
#ifndef KEL_ERROR_TEST_CLOCK_H
#define KEL_ERROR_TEST_CLOCK_H

#include <string.h>

#include "kelerror.h"
#include "kelmsg.h"

static UINT64 kelFakeNow;

static UINT64 kelFakeClock(void)
{
    return kelFakeNow;
}

/* Clears the ring and installs the fake clock at `start`. */
static inline void kelErrorTestReset(UINT64 start)
{
    memset(kelErrorRing(), 0, sizeof(kel_ErrorLog_t) * (size_t)kelErrorRingSize());
    kelFakeNow = start;
    kelErrorSetClock(kelFakeClock);
}

/* Number of reports waiting on the E queue. */
static inline int kelErrorQueued(void)
{
    INT32 id = -1;
    struct msqid_ds ds;
    if (kelAppMsgQueGetID(&id, KEL_MSG_ID_ERROR) < 0 || kelAppMsgQueGetInfo(id, &ds) < 0) {
        return -1;
    }
    return (int)ds.msg_qnum;
}

/* Index of the ring entry holding the site, or -1. */
static inline int kelErrorSlotOf(INT32 fileID, INT32 line, INT32 code)
{
    kel_ErrorLog_t *ring = kelErrorRing();
    for (int i = 0; i < kelErrorRingSize(); i++) {
        if (ring[i].fileID == fileID && ring[i].lineNum == line && ring[i].errorData.errCode == code) {
            return i;
        }
    }
    return -1;
}

#endif /* KEL_ERROR_TEST_CLOCK_H */
