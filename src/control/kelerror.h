/*
 * kelerror.h - error reporting with repeat suppression. Every program links
 * one copy; the ring size and repeat window are fixed per program at build
 * time (KEL_ERROR_RING_SIZE, KEL_ERROR_REPEAT_WINDOW_S).
 */
#ifndef KEL_ERROR_H
#define KEL_ERROR_H

#include "kelTypes.h"

/* Module numbers passed as fileID. */
#define KEL_FILEID_STARTCLIENT 1
#define KEL_FILEID_NSCLIENT 2
#define KEL_FILEID_FBCLIENT 3
#define KEL_FILEID_APPCLIENT 4
#define KEL_FILEID_CONTROL 5
#define KEL_FILEID_PICTO 5
#define KEL_FILEID_LED 6
#define KEL_FILEID_TEMP 7
#define KEL_FILEID_KEYPAD 8
#define KEL_FILEID_MODECTRL 9
#define KEL_FILEID_BACKLIGHT 10
#define KEL_FILEID_ERRLOG 11
#define KEL_FILEID_UPGKEL 20
#define KEL_FILEID_UPG 21
#define KEL_FILEID_INDUSTRY 30
#define KEL_FILEID_INDUSTCOMMON 31

#ifdef __cplusplus
extern "C" {
#endif

INT32 kelLogError(kel_AppTaskID_t appTaskID, INT32 fileID, INT32 lineNum, kel_ErrorCode_t errCode);
INT32 kelSendErrorData(const kel_ErrorLog_t *report);

/* Test access: the ring and its geometry. */
kel_ErrorLog_t *kelErrorRing(void);
INT32 kelErrorRingSize(void);
/* Reports of one code in the ring, counted under the ring's lock (for a
 * test reading while other threads report). */
INT32 kelErrorRingCount(INT32 errCode);
/* Replaces the clock kelLogError reads (null restores the real one). */
void kelErrorSetClock(UINT64 (*clock)(void));

#ifdef __cplusplus
}
#endif

#endif /* KEL_ERROR_H */
