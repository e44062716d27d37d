/*
 * kelerrlog.h - error log writer of the control daemon: one thread takes
 * every program's error reports off the E queue, forwards those meant for
 * the meter to the app client (T queue) while it is believed present, and
 * appends each report as one line to "/kel/log/kelerror.log", trimming the
 * file from the front when it gets too old or too large.
 */
#ifndef KEL_ERRLOG_H
#define KEL_ERRLOG_H

#include "kelTypes.h"
#include "kelmsg.h"

#define KEL_ERRLOG_NAME "kelerror.log"

#ifdef __cplusplus
extern "C" {
#endif

/* Thread body (argument ignored); never returns. */
void *kelErrorLogHandleThread(void *arg);
/* Appends one report to the error log. 1 when written, -1 otherwise. */
INT32 kelLogErrorToFile(const kel_ErrorLog_t *report);
/* Handles one message taken off the E queue (`byteCount` bytes after the
 * type word): forwards and writes it. 1 when written, 0 when the message
 * was not a whole error report and was dropped, -1 when writing failed. */
INT32 kelErrorLogHandleMsg(const kel_MsgQue_Error_t *msg, INT32 byteCount);

/* Test hook: pause after each log trim (5000 ms by default). */
void kelErrorLogSetTrimPause(INT32 ms);

#ifdef __cplusplus
}
#endif

#endif /* KEL_ERRLOG_H */
