/*
 * kelfbclient.cpp - the screen-and-key link thread of the app client.
 *
 * The thread owns the link record (its own copy of the program's device
 * record) and the private frame. The meter's rectangles are colour-swapped
 * and copied row by row into the private frame; at screen-finished the
 * whole frame goes to the shared frame buffer and a frame-ready notice to
 * the control daemon's F queue. The transmit thread only calls
 * fbKeyPadEventSend; the fields it shares with the link thread (socket,
 * socketState, bDataRequested) are read and written whole, and the link is
 * closed under fbSendMutex. A key event checks the announcement and takes
 * the socket under that mutex, so it never goes to a closed or reused
 * descriptor, nor to a new connection before its data request; its failure
 * can only fail the connection it was sent on.
 */
#include "kelfbclient.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kel.h"
#include "kelerror.h"
#include "kelmsg.h"
#include "kelsockets.h"

#define FB_REPORT(code) kelLogError(KEL_TASK_FB_CLIENT, KEL_FILEID_FBCLIENT, __LINE__, (code))

static KEL_DEVICE_INFO fbLink;
static KELFB_Message_t fbRecvMsg;
static UINT8 *fbRecvBuf;
static UINT32 fbRowBytes;   /* distance between rows of the private frame */
static UINT32 fbFrameBytes; /* width x height x 2 */
/* The frame-buffer queue, looked up once and again only after a notice
 * to it fails because the queue went away; -1 until the first lookup. */
static INT32 fbQueue = -1;
/* The shared frame buffer, kept attached between screens. */
static kel_FBShareMemKept_t fbShm = KEL_FB_SHM_KEPT_INIT;

KEL_DEVICE_INFO *fbClientLink(void)
{
    return &fbLink;
}

const UINT8 *fbClientFrame(void)
{
    return fbRecvBuf;
}

INT32 fbClientFrameSize(void)
{
    return (INT32)fbFrameBytes;
}

/* The private frame has the geometry of the display when it is a 16-bit
 * one that fits the shared frame buffer; anything else is taken as the
 * unit's 320 x 240 LCD, which is also what the data request announces. */
static void fbSetGeometry(void)
{
    INT32 w = fbLink.width;
    INT32 h = fbLink.height;
    if (fbLink.bpp != KEL_FB_BPP || w <= 0 || h <= 0 || w * h * 2 > KEL_FB_FRAME_SIZE) {
        fbLink.width = KEL_FB_WIDTH;
        fbLink.height = KEL_FB_HEIGHT;
        fbLink.bpp = KEL_FB_BPP;
    }
    fbRowBytes = (UINT32)fbLink.width * 2u;
    fbFrameBytes = fbRowBytes * (UINT32)fbLink.height;
}

INT32 fbClientInit(const KEL_DEVICE_INFO *di)
{
    if (di == NULL) {
        return -1;
    }
    kelCopyDeviceInfo(&fbLink, di);
    memset(&fbRecvMsg, 0, sizeof(fbRecvMsg));
    fbSetGeometry();
    if (fbRecvBuf == NULL) {
        fbRecvBuf = (UINT8 *)malloc(KEL_FB_FRAME_SIZE);
        if (fbRecvBuf == NULL) {
            FB_REPORT(KEL_FW_MEM_ALLOC_ERROR);
            return -1;
        }
    }
    memset(fbRecvBuf, KELFB_WHITE, KEL_FB_FRAME_SIZE);
    snprintf(fbLink.name, sizeof(fbLink.name), "%s", KELFB_LINK_NAME);
    fbLink.port = KELFB_PORT;
    KEL_STORE(fbLink.socket, -1);
    KEL_STORE(fbLink.bDataRequested, KEL_FALSE);
    return 1;
}

static void fbReportConnectFailure(INT32 result)
{
    if (result == KEL_SOCK_CREATE_FAIL) {
        FB_REPORT(KEL_COMM_SOCKET_INIT_FAIL);
    } else if (result == KEL_SOCK_NOT_CONNECTED || result == KEL_SOCK_NONBLOCK_FAIL) {
        FB_REPORT(KEL_COMM_CONNECT_FAIL);
    } else {
        FB_REPORT(KEL_COMM_PARAM_ERROR);
    }
}

INT32 fbLinkConnect(void)
{
    KEL_STORE(fbLink.bDataRequested, KEL_FALSE);
    KEL_STORE(fbLink.socket, -1);
    KEL_STORE(fbLink.socketState, KEL_SOCKET_CLOSE);
    KEL_STORE(fbLink.deviceState, KEL_DEVICE_DISCONNECTED);
    kelSleep(KELFB_RECONNECT_MS);

    INT32 sock = kelNetworkConnecting(fbLink.host, KELFB_PORT, 1);
    if (sock <= 0) {
        fbReportConnectFailure(sock);
        return -1;
    }
    UINT32 now = kelGetTick();
    fbLink.recvTick = now;
    fbLink.sendTick = now;
    fbLink.stateTick = now;
    memset(fbRecvBuf, KELFB_WHITE, fbFrameBytes);
    KEL_STORE(fbLink.deviceState, KEL_DEVICE_CONNECTED);
    KEL_STORE(fbLink.socketState, KEL_SOCKET_CONNECTED);
    KEL_STORE(fbLink.socket, sock);
    return 1;
}

/* Closes the socket and forgets the connection in one step under the send
 * mutex. 1 when there was a socket, 0 when not. */
static INT32 fbDropSocket(void)
{
    INT32 closed = 0;
    pthread_mutex_lock(&fbSendMutex);
    INT32 sock = KEL_LOAD(fbLink.socket);
    if (sock > 0) {
        kelSocketClose(sock);
        closed = 1;
    }
    KEL_STORE(fbLink.socket, -1);
    KEL_STORE(fbLink.bDataRequested, KEL_FALSE);
    pthread_mutex_unlock(&fbSendMutex);
    return closed;
}

void fbLinkClose(void)
{
    if (fbDropSocket() == 0) {
        return;
    }
    KEL_STORE(fbLink.socketState, KEL_SOCKET_CLOSE);
    KEL_STORE(fbLink.deviceState, KEL_DEVICE_DISCONNECTED);
    FB_REPORT(KEL_COMM_DISCONNECTED);
}

INT32 fbSendDataRequest(void)
{
    KELFB_dataReq_t req;
    req.width = (UINT16)fbLink.width;
    req.height = (UINT16)fbLink.height;
    req.bpp = (UINT16)fbLink.bpp;
    INT32 rc = fbKELSendMSGOnLink(&fbLink.socket, KELFB_CMD_DATA_REQ, &req);
    if (rc <= 0) {
        FB_REPORT(KEL_COMM_DATA_SEND_FAIL);
    }
    return rc;
}

INT32 fbCheckRect(INT32 a, INT32 min, INT32 max)
{
    return (a >= min && a <= max) ? 1 : -1;
}

/* Each value within the frame, the rectangle inside the frame, and its
 * pixels inside the payload. */
static INT32 fbRectFits(const KELFB_fbRect_t *r)
{
    INT32 width = fbLink.width;
    INT32 height = fbLink.height;
    if (fbCheckRect(r->x, 0, width) < 0 || fbCheckRect(r->y, 0, height) < 0 ||
        fbCheckRect(r->w, 0, width) < 0 || fbCheckRect(r->h, 0, height) < 0) {
        return -1;
    }
    if ((INT32)r->x + r->w > width || (INT32)r->y + r->h > height) {
        return -1;
    }
    if ((UINT32)r->w * r->h * 2u > KELFB_RECT_DATA_SIZE) {
        return -1;
    }
    return 1;
}

/* The meter's colour order has bits 0-4 and 11-15 of each little-endian
 * pixel exchanged with respect to the display. */
static void fbSwapColours(UINT8 *pixels, UINT32 bytes)
{
    for (UINT32 i = 0; i + 1 < bytes; i += 2) {
        UINT8 b0 = pixels[i];
        UINT8 b1 = pixels[i + 1];
        pixels[i] = (UINT8)((b0 & 0xE0) | (b1 >> 3));
        pixels[i + 1] = (UINT8)((b1 & 0x07) | (UINT8)(b0 << 3));
    }
}

static INT32 fbPlaceRect(KELFB_fbData_t *fbData)
{
    if (fbData == NULL || fbRecvBuf == NULL) {
        return -1;
    }
    const KELFB_fbRect_t *r = &fbData->fbRect;
    if (fbRectFits(r) < 0) {
        FB_REPORT(KEL_FW_FB_DATA_CHECK_ERROR);
        return -1;
    }
    fbSwapColours(fbData->fbData, KELFB_RECT_DATA_SIZE);
    UINT32 rowBytes = (UINT32)r->w * 2u;
    for (UINT32 row = 0; row < r->h; row++) {
        memcpy(fbRecvBuf + (r->y + row) * fbRowBytes + (UINT32)r->x * 2u,
               fbData->fbData + row * rowBytes, rowBytes);
    }
    return 1;
}

static INT32 fbPresentFrame(void)
{
    if (fbRecvBuf == NULL) {
        return -1;
    }
    if (kelFBShareMemWriteKept(&fbShm, fbRecvBuf, (INT32)fbFrameBytes, KEL_TASK_FB_CLIENT) < 0) {
        FB_REPORT(KEL_FW_SHM_RW_ERROR);
    }
    kel_MsgQue_FB_t note;
    note.msgType = KEL_MSG_TYPE_FB;
    note.appTaskID = KEL_TASK_FB_CLIENT;
    note.bScrFinished = KEL_TRUE;
    if (kelAppMsgQueSendKept(&fbQueue, KEL_MSG_ID_FB, KEL_MSG_TYPE_FB, &note) < 0) {
        FB_REPORT(KEL_FW_MSGQ_SEND_ERROR);
    }
    return 1;
}

INT32 fbProcessRectData(KELFB_fbData_t *fbData, kel_BOOL_t bScrFinished)
{
    if (fbQueue < 0 && kelAppMsgQueGetID(&fbQueue, KEL_MSG_ID_FB) < 0) {
        FB_REPORT(KEL_FW_MSGQ_GETID_ERROR);
        return -1;
    }
    if (bScrFinished == KEL_TRUE) {
        return fbPresentFrame();
    }
    return fbPlaceRect(fbData);
}

void fbClientRecvMsgHandle(KELFB_Message_t *recvMsg)
{
    if (recvMsg == NULL) {
        return;
    }
    switch (recvMsg->cmdType) {
    case KELFB_CMD_FBDATA:
        fbProcessRectData(&recvMsg->payload.fbData, KEL_FALSE);
        break;
    case KELFB_CMD_SCR_FIN:
        fbProcessRectData(&recvMsg->payload.fbData, KEL_TRUE);
        break;
    case KELFB_CMD_RESPONSE:
        if (recvMsg->payload.respData.cmdType != KELFB_CMD_DATA_REQ) {
            break;
        }
        if (recvMsg->payload.respData.respCode == KELFB_RC_OK) {
            KEL_STORE(fbLink.bDataRequested, KEL_TRUE);
            KEL_STORE(fbLink.deviceState, KEL_FBK_DATA_REQUESTED);
        } else {
            KEL_STORE(fbLink.socketState, KEL_SOCKET_FAIL);
        }
        break;
    default:
        /* DATA_REQ, KEYEVENT, HEARTBEAT and unknown commands: nothing to do,
         * the frame only refreshed the silence timer. */
        break;
    }
}

INT32 fbKeyPadEventSend(const KELFB_keyEvent_t *KeyEvent)
{
    if (KeyEvent == NULL || KEL_LOAD(fbLink.bDataRequested) != KEL_TRUE) {
        return -1;
    }
    if (KEL_LOAD(fbLink.socket) <= 0) {
        return 1;
    }
    /* Checked again under the send mutex: the link may have been dropped
     * and reconnected since. A key held back there is simply dropped. */
    INT32 rc = fbKELForwardOnLink(&fbLink, KELFB_CMD_KEYEVENT, KeyEvent);
    if (rc > 0) {
        return 1;
    }
    if (rc < 0) {
        FB_REPORT(KEL_FW_FB_KEY_SEND_ERROR);
    }
    return -1;
}

/* Heartbeat and silence rules at tick `now`. The tick is read again only
 * after a heartbeat went out, since that send may have waited. */
static void fbSuperviseLink(UINT32 now)
{
    if ((UINT32)(now - fbLink.sendTick) > KELFB_HEARTBEAT_MS) {
        if (fbKELSendMSGOnLink(&fbLink.socket, KELFB_CMD_HEARTBEAT, NULL) <= 0) {
            KEL_STORE(fbLink.socketState, KEL_SOCKET_FAIL);
            FB_REPORT(KEL_COMM_DATA_SEND_FAIL);
        } else {
            fbLink.sendTick = now;
        }
        now = kelGetTick();
    }
    if ((UINT32)(now - fbLink.recvTick) > KELFB_SILENCE_MS) {
        KEL_STORE(fbLink.socketState, KEL_SOCKET_FAIL);
        FB_REPORT(KEL_COMM_TIMEOUT);
    }
}

void fbNetworkStateCheck(void)
{
    fbSuperviseLink(kelGetTick());
}

INT32 fbLinkService(void)
{
    if (KEL_LOAD(fbLink.bDataRequested) != KEL_TRUE) {
        if (fbSendDataRequest() <= 0) {
            KEL_STORE(fbLink.socketState, KEL_SOCKET_FAIL);
            return 1;
        }
        UINT32 now = kelGetTick();
        fbLink.stateTick = now;
        fbLink.sendTick = now;
        KEL_STORE(fbLink.deviceState, KEL_FBK_DATA_REQUESTED);
        KEL_STORE(fbLink.bDataRequested, KEL_TRUE);
    }

    INT32 sock = KEL_LOAD(fbLink.socket);
    INT32 ready = kelSocketWaitReadable(sock, KELFB_SELECT_MS);
    UINT32 now;
    if (ready < 0) {
        KEL_STORE(fbLink.socketState, KEL_SOCKET_FAIL);
        FB_REPORT(KEL_COMM_SELECT_ERROR);
        fbDropSocket();
        return -1;
    }
    if (ready > 0) {
        if (KEL_LOAD(fbLink.socketState) != KEL_SOCKET_CONNECTED) {
            return 1;
        }
        INT32 rc = fbKELRecvMSG(sock, &fbRecvMsg);
        if (rc <= 0) {
            if (rc == KEL_SOCK_TIMEOUT) {
                FB_REPORT(KEL_COMM_TIMEOUT);
            } else {
                KEL_STORE(fbLink.socketState, KEL_SOCKET_FAIL);
            }
            FB_REPORT(KEL_COMM_DATA_RECV_FAIL);
            return 1;
        }
        now = kelGetTick();
        fbLink.recvTick = now;
        fbClientRecvMsgHandle(&fbRecvMsg);
    } else {
        now = kelGetTick();
    }
    if (KEL_LOAD(fbLink.socketState) == KEL_SOCKET_CONNECTED) {
        fbSuperviseLink(now);
    }
    return 1;
}

void *kelFbKeyHandleThread(void *args)
{
    if (fbClientInit((const KEL_DEVICE_INFO *)args) < 0) {
        return NULL;
    }
    for (;;) {
        if (fbLinkConnect() < 0) {
            continue;
        }
        while (KEL_LOAD(fbLink.socketState) != KEL_SOCKET_FAIL) {
            if (fbLinkService() < 0) {
                break;
            }
        }
        fbLinkClose();
    }
    return NULL;
}
