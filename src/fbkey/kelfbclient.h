/*
 * kelfbclient.h - the app client's screen-and-key link thread: connects to
 * the meter on port 1234, announces the display, assembles the meter's
 * rectangles in a private frame and hands each finished screen to the
 * control daemon (shared frame buffer and F queue); the transmit thread
 * sends key events through fbKeyPadEventSend.
 */
#ifndef KEL_FB_CLIENT_H
#define KEL_FB_CLIENT_H

#include "kelTypes.h"
#include "kelfbcommon.h"

#define KELFB_LINK_NAME "KelFBTask"
#define KELFB_HEARTBEAT_MS 2000   /* quiet time before a heartbeat */
#define KELFB_SILENCE_MS 6000     /* silence that fails the link */
#define KELFB_SELECT_MS 500       /* one wait for the meter */
#define KELFB_RECONNECT_MS 50     /* pause before each connect */
#define KELFB_WHITE 0xFF          /* byte value of a blank frame */

#ifdef __cplusplus
extern "C" {
#endif

/* Thread body; `args` points to the program's KEL_DEVICE_INFO. Runs until
 * cancelled; ends at once when the private frame cannot be allocated. */
void *kelFbKeyHandleThread(void *args);

/* Pieces of the thread, each one step of its loop. */
/* Takes the link's copy of `di`, allocates the private frame. 1, or -1. */
INT32 fbClientInit(const KEL_DEVICE_INFO *di);
/* Resets the link, waits 50 ms and connects; on success the frame is
 * blank and the state is connected. 1 connected, -1 not. */
INT32 fbLinkConnect(void);
/* One pass of the service loop: data request if due, one wait of up to
 * 500 ms, one frame, supervision. 1 to go on (the caller stops once the
 * socket state is failed), -1 when the socket was closed after a select
 * failure. */
INT32 fbLinkService(void);
/* Closes a failed link under fbSendMutex and reports it. */
void fbLinkClose(void);

/* 1 when min <= a <= max, else -1. */
INT32 fbCheckRect(INT32 a, INT32 min, INT32 max);
/* Places one rectangle (bScrFinished FALSE; its pixels are converted in
 * place) or presents the private frame (TRUE). 1, or -1 when the F queue
 * cannot be opened or the rectangle does not fit frame or payload. */
INT32 fbProcessRectData(KELFB_fbData_t *fbData, kel_BOOL_t bScrFinished);
/* Acts on one received frame. */
void fbClientRecvMsgHandle(KELFB_Message_t *recvMsg);
/* Sends DATA_REQ with the display geometry; the send result. */
INT32 fbSendDataRequest(void);
/* Sends one key event (transmit thread). 1 sent or no socket; -1 for a
 * null event, before the data request of this connection, or on failure. */
INT32 fbKeyPadEventSend(const KELFB_keyEvent_t *KeyEvent);
/* Heartbeat when quiet for 2 s; fails the link after 6 s of silence. */
void fbNetworkStateCheck(void);

/* Test access to the link record and the private frame. */
KEL_DEVICE_INFO *fbClientLink(void);
const UINT8 *fbClientFrame(void);
INT32 fbClientFrameSize(void);

#ifdef __cplusplus
}
#endif

#endif /* KEL_FB_CLIENT_H */
