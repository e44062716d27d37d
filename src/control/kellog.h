/*
 * kellog.h - log file helpers shared by the daemon's log writers and the
 * factory service: existence and size, age of a log from its first record,
 * head trimming through a staged copy, and repair of an interrupted trim.
 */
#ifndef KEL_LOG_H
#define KEL_LOG_H

#include "kelTypes.h"

#define KEL_LOG_STAGING_DIR "/kel/sys/log"
#define KEL_LOG_STAMP_LEN 15
#define KEL_LOG_STAMP_FMT "%4d%02d%02d-%02d%02d%02d"

#ifdef __cplusplus
extern "C" {
#endif

INT32 kelFileExist(const char *fileName);
INT32 kelFileGetSize(const char *fileName);
INT32 kelFileDeleteLine(const char *fileName, INT32 lineNumber);
UINT64 kelGetTimeStampByStr(const char *pDateTime, UINT32 length);
INT32 kelFileGetLogPeriod(const char *fileName);
INT32 kelInitLogFile(const char *logFileName);
/* Writes the 15-character stamp of `utcSeconds` (UTC fields) into `buf`
 * (at least 16 bytes). 1, or -1. */
INT32 kelFormatTimeStamp(UINT64 utcSeconds, char *buf, UINT32 bufLen);

#ifdef __cplusplus
}
#endif

#endif /* KEL_LOG_H */
