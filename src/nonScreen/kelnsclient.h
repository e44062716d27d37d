/*
 * kelnsclient.h - the app client's non-screen link thread: connects to the
 * meter on port 1236, announces the unit with GET_DATA, hands the meter's
 * brightness, clock and LED commands to the control daemon (R queue) and
 * answers them, keeps the link alive with heartbeats, and forwards the
 * daemon's temperature readings and error records for the transmit thread.
 */
#ifndef KEL_NS_CLIENT_H
#define KEL_NS_CLIENT_H

#include "kelTypes.h"
#include "kelNSCCommon.h"

#define KELNS_LINK_NAME "KelNSTask"
#define KELNS_HEARTBEAT_MS 2000   /* quiet time before a heartbeat */
#define KELNS_SILENCE_MS 6000     /* silence that fails the link */
#define KELNS_SELECT_MS 500       /* one wait for the meter */
#define KELNS_RECONNECT_MS 50     /* pause before each connect */
#define KELNS_MAX_BRIGHTNESS 100
#define KELNS_MAX_DUTY 100

#ifdef __cplusplus
extern "C" {
#endif

/* Thread body; `args` points to the program's KEL_DEVICE_INFO. Runs until
 * cancelled. */
void *kelNSCHandleThread(void *args);

/* Pieces of the thread, each one step of its loop. */
/* Takes the link's copy of `di`. 1, or -1 for a null record. */
INT32 nscClientInit(const KEL_DEVICE_INFO *di);
/* Resets the link, waits 50 ms and connects. 1 connected, -1 not. */
INT32 nscLinkConnect(void);
/* One pass of the service loop: GET_DATA if due, one wait of up to 500 ms,
 * one frame, supervision. 1 to go on (the caller stops once the socket
 * state is failed), -1 when the socket was closed after a select failure. */
INT32 nscLinkService(void);
/* Closes a failed link under nscSendMutex and reports it. */
void nscLinkClose(void);

void nscClientRecvMsgHandle(KELNS_Message_t *recvMsg);
void nscNetworkStateCheck(void);
INT32 nscSendDataRequest(void);

/* Posts to the control daemon. 1 posted (or the post failed after the
 * queue opened, which is reported); -1 out of range or no queue. */
INT32 nscKELSetBrightness(UINT32 brightness);
INT32 nscKELSetTime(UINT64 time);
INT32 nscKELSetStatusLED(INT32 color, const KELNS_patternData_t *pattern);
INT32 nscKELSetAlarmLED(const KELNS_patternData_t *pattern);
/* The posted form of a meter's LED pattern. */
void nscNormalisePattern(const KELNS_patternData_t *in, KELNS_patternData_t *out);

/* Forwarding for the transmit thread: -1 without sending before GET_DATA
 * went out on this connection; otherwise the send result (a failure fails
 * the link). */
INT32 nscKELSendTempData(INT32 temperature);
INT32 nscKELSendErrorCode(const kel_ErrorData_t *errData);

/* Test access to the link record. */
KEL_DEVICE_INFO *nscClientLink(void);

#ifdef __cplusplus
}
#endif

#endif /* KEL_NS_CLIENT_H */
