/*
 * kelfbcommon.cpp - frames of the screen-and-key link: lengths, payload
 * copies, the transaction counter and the framed send and receive over the
 * common socket layer. Used by the link thread (kelfbclient) and, for key
 * events, by the app client's transmit thread.
 */
#include "kelfbcommon.h"

#include <string.h>

#include "kelsockets.h"

pthread_mutex_t fbSendMutex = PTHREAD_MUTEX_INITIALIZER;

static UINT32 kelTransID;

UINT32 fbGetTransID(void)
{
    return kelFrameNextTransID(&kelTransID);
}

INT32 fbGetMsgLengthByCMDType(INT32 cmdType)
{
    switch (cmdType) {
    case KELFB_CMD_RESPONSE:
        return KELFB_HEAD_SIZE + (INT32)sizeof(KELFB_response_t);
    case KELFB_CMD_DATA_REQ:
        return KELFB_HEAD_SIZE + (INT32)sizeof(KELFB_dataReq_t);
    case KELFB_CMD_FBDATA:
        return KELFB_HEAD_SIZE + (INT32)sizeof(KELFB_fbData_t);
    case KELFB_CMD_KEYEVENT:
        return KELFB_HEAD_SIZE + (INT32)sizeof(KELFB_keyEvent_t);
    default:
        return KELFB_HEAD_SIZE;
    }
}

/* Bytes of payload a command carries (what the caller's record holds). */
static INT32 fbPayloadSize(INT32 cmdType)
{
    return fbGetMsgLengthByCMDType(cmdType) - KELFB_HEAD_SIZE;
}

INT32 fbBuildMsg(KELFB_Message_t *msg, INT32 cmdType, const void *kelData)
{
    if (msg == NULL) {
        return -1;
    }
    /* The id is taken as soon as the frame is begun, so a send refused for
     * a missing payload still uses one up, as on the other links. */
    UINT32 transID = fbGetTransID();
    INT32 payload = fbPayloadSize(cmdType);
    if (kelData == NULL && cmdType != KELFB_CMD_SCR_FIN && cmdType != KELFB_CMD_HEARTBEAT) {
        return -1;
    }
    INT32 length = fbGetMsgLengthByCMDType(cmdType);
    memset(msg, 0, sizeof(*msg));
    kelFramePrefixFill(msg, (UINT32)length, transID);
    msg->cmdType = cmdType;
    if (payload > 0) {
        memcpy(msg->payload.raw, kelData, (size_t)payload);
    }
    return length;
}

/* Builds and sends one frame on the socket held in `socketWord`; with
 * `gate`, only while that link is announced (see kelFrameSendAnnounced).
 * 1 sent, 0 held back by the gate, -1 failed. */
static INT32 fbSendFrame(const INT32 *socketWord, KEL_DEVICE_INFO *gate, INT32 cmdType,
                         const void *kelData)
{
    if (socketWord == NULL || KEL_LOAD(*socketWord) <= 0) {
        return -1;
    }
    KELFB_Message_t msg;
    INT32 length = fbBuildMsg(&msg, cmdType, kelData);
    if (length < 0) {
        return -1;
    }
    INT32 rc = (gate != NULL) ? kelFrameSendAnnounced(&fbSendMutex, gate, &msg, length)
                              : kelFrameSend(&fbSendMutex, socketWord, &msg, length);
    if (rc == KEL_SOCK_REFUSED) {
        return 0;
    }
    return (rc > 0) ? 1 : -1;
}

INT32 fbKELSendMSGOnLink(const INT32 *socketWord, INT32 cmdType, const void *kelData)
{
    return fbSendFrame(socketWord, NULL, cmdType, kelData);
}

INT32 fbKELForwardOnLink(KEL_DEVICE_INFO *link, INT32 cmdType, const void *kelData)
{
    if (link == NULL) {
        return -1;
    }
    return fbSendFrame(&link->socket, link, cmdType, kelData);
}

INT32 fbKELSendMSG(INT32 socket, INT32 cmdType, const void *kelData, INT32 needResp)
{
    (void)needResp;
    INT32 socketWord = socket;
    return fbKELSendMSGOnLink(&socketWord, cmdType, kelData);
}

INT32 fbKELRecvMSG(INT32 socket, KELFB_Message_t *kelRecvMsg)
{
    if (kelRecvMsg == NULL) {
        return -1;
    }
    return kelFrameRecv(socket, kelRecvMsg, (int)sizeof(*kelRecvMsg));
}
