/*
 * kelNSCCommon.cpp - the non-screen protocol module: frame layout per
 * command, the framed send (with an optional wait for the meter's answer),
 * the framed receive, and the response buffer.
 *
 * Called by the non-screen link thread and, for temperature and error
 * reports, by the app client's transmit thread. Nothing here writes to the
 * error log; results go back to the caller.
 */
#include "kelNSCCommon.h"

#include <string.h>

#include "kel.h"

pthread_mutex_t nscSendMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t RespBufMutex = PTHREAD_MUTEX_INITIALIZER;
kelRespMsgBuf_t kelRespMsgBuf[KELNS_RESP_BUF_SIZE];

/* Transaction counter of this protocol, shared by both sending threads. */
static UINT32 kelTransID;

UINT32 nscGetTransID(void)
{
    return kelFrameNextTransID(&kelTransID);
}

/* Payload bytes carried by each command. */
static INT32 nscPayloadSize(INT32 cmdType)
{
    switch (cmdType) {
    case KELNS_CMD_RESPONSE:
        return (INT32)sizeof(KELNS_response_t);
    case KELNS_CMD_SET_BRIGHTNESS:
        return (INT32)sizeof(KELNS_brightnessData_t);
    case KELNS_CMD_SET_TIME:
        return (INT32)sizeof(KELNS_timeData_t);
    case KELNS_CMD_SET_STATUS_LED:
        return (INT32)sizeof(KELNS_statusLedData_t);
    case KELNS_CMD_SET_ALARM_LED:
        return (INT32)sizeof(KELNS_alarmLedData_t);
    case KELNS_CMD_GET_TEMPERATURE:
        return (INT32)sizeof(KELNS_temperatureData_t);
    case KELNS_CMD_GET_ERROR:
        return (INT32)sizeof(KELNS_errorData_t);
    default:
        return 0;
    }
}

INT32 nscGetMsgLengthByCMDType(INT32 cmdType)
{
    return KELNS_HEADER_SIZE + nscPayloadSize(cmdType);
}

INT32 nscBuildMSG(KELNS_Message_t *msg, INT32 cmdType, const void *kelData, UINT32 transID)
{
    if (msg == NULL) {
        return -1;
    }
    INT32 payload = nscPayloadSize(cmdType);
    INT32 length = KELNS_HEADER_SIZE + payload;
    memset(msg, 0, sizeof(*msg));
    kelFramePrefixFill(msg, (UINT32)length, transID);
    msg->cmdType = cmdType;
    if (payload > 0) {
        if (kelData == NULL) {
            return -1;
        }
        memcpy(msg->data.raw, kelData, (size_t)payload);
    }
    return length;
}

/* Waits up to one second for an OK answer to (cmdType, transID). A matching
 * answer is taken out of the buffer whatever its verdict. 1, or -2. */
static INT32 nscWaitResponse(INT32 cmdType, UINT32 transID)
{
    UINT32 start = kelGetTick();
    do {
        INT32 verdict = -1;
        INT32 pos = KELNS_RESP_BUF_SIZE;
        pthread_mutex_lock(&RespBufMutex);
        if (FindRespMsgByTypeAndID(cmdType, transID, &pos) > 0) {
            verdict = GetRespCodeByPos(pos);
            RemoveRespMsgByPos(pos);
        }
        pthread_mutex_unlock(&RespBufMutex);
        if (verdict == 1) {
            return 1;
        }
        kelSleep(KELNS_RESP_POLL_MS);
    } while ((UINT32)(kelGetTick() - start) < KELNS_RESP_WAIT_MS);
    return -2;
}

/* Builds and sends one frame on the socket held in `socketWord`; with
 * `gate`, only while that link is announced (see kelFrameSendAnnounced). */
static INT32 nscSendFrame(const INT32 *socketWord, KEL_DEVICE_INFO *gate, INT32 cmdType,
                          const void *kelData, INT32 needResp)
{
    if (KEL_LOAD(*socketWord) <= 0) {
        return -1;
    }
    KELNS_Message_t msg;
    UINT32 transID = nscGetTransID();
    /* Only the two announcements travel without a payload record; the id
     * taken above is not given back. */
    if (kelData == NULL && cmdType != KELNS_CMD_GET_DATA && cmdType != KELNS_CMD_HEARTBEAT) {
        return -1;
    }
    INT32 length = nscBuildMSG(&msg, cmdType, kelData, transID);
    if (length < 0) {
        return -1;
    }
    INT32 sent = (gate != NULL) ? kelFrameSendAnnounced(&nscSendMutex, gate, &msg, length)
                                : kelFrameSend(&nscSendMutex, socketWord, &msg, length);
    if (sent <= 0) {
        return -1;
    }
    if (needResp != 1) {
        return 1;
    }
    return nscWaitResponse(cmdType, transID);
}

INT32 nscKELSendMSG(int socket, INT32 cmdType, const void *kelData, INT32 needResp)
{
    INT32 socketWord = socket;
    return nscSendFrame(&socketWord, NULL, cmdType, kelData, needResp);
}

INT32 nscKELRecvMSG(int socket, KELNS_Message_t *kelRecvMsg)
{
    return kelFrameRecv(socket, kelRecvMsg, (int)sizeof(*kelRecvMsg));
}

INT32 nscKELSendOnLink(KEL_DEVICE_INFO *link, INT32 cmdType, const void *kelData)
{
    if (link == NULL) {
        return -1;
    }
    return nscSendFrame(&link->socket, NULL, cmdType, kelData, 0);
}

INT32 nscKELForwardOnLink(KEL_DEVICE_INFO *link, INT32 cmdType, const void *kelData)
{
    if (link == NULL) {
        return -1;
    }
    return nscSendFrame(&link->socket, link, cmdType, kelData, 0);
}

INT32 nscCloseLink(KEL_DEVICE_INFO *link)
{
    if (link == NULL) {
        return -1;
    }
    pthread_mutex_lock(&nscSendMutex);
    INT32 rc = kelSocketClose(KEL_LOAD(link->socket));
    KEL_STORE(link->socket, (INT32)-1);
    KEL_STORE(link->bDataRequested, KEL_FALSE);
    KEL_STORE(link->socketState, KEL_SOCKET_CLOSE);
    KEL_STORE(link->deviceState, KEL_DEVICE_DISCONNECTED);
    pthread_mutex_unlock(&nscSendMutex);
    return rc;
}

static int nscPosValid(INT32 pos)
{
    return pos >= 0 && pos < KELNS_RESP_BUF_SIZE;
}

static void nscFillEntry(INT32 pos, const KELNS_response_t *respMsg)
{
    kelRespMsgBuf[pos].respMsg.transID = respMsg->transID;
    kelRespMsgBuf[pos].respMsg.cmdType = respMsg->cmdType;
    kelRespMsgBuf[pos].respMsg.respCode = respMsg->respCode;
    kelRespMsgBuf[pos].active = KEL_TRUE;
}

void InitRespMsgBuf(void)
{
    for (INT32 i = 0; i < KELNS_RESP_BUF_SIZE; i++) {
        kelRespMsgBuf[i].active = KEL_FALSE;
        kelRespMsgBuf[i].respMsg.transID = 0;
        kelRespMsgBuf[i].respMsg.cmdType = KELNS_CMD_UNKNOWN;
        kelRespMsgBuf[i].respMsg.respCode = KELNS_RC_ERROR;
    }
}

INT32 FindRespMsgByType(INT32 cmdType, INT32 *pos)
{
    for (INT32 i = 0; i < KELNS_RESP_BUF_SIZE; i++) {
        if (kelRespMsgBuf[i].respMsg.cmdType == cmdType) {
            if (pos != NULL) {
                *pos = i;
            }
            return 1;
        }
    }
    if (pos != NULL) {
        *pos = KELNS_RESP_BUF_SIZE;
    }
    return -1;
}

INT32 FindRespMsgByTypeAndID(INT32 cmdType, UINT32 transID, INT32 *pos)
{
    for (INT32 i = 0; i < KELNS_RESP_BUF_SIZE; i++) {
        if (kelRespMsgBuf[i].respMsg.cmdType == cmdType &&
            kelRespMsgBuf[i].respMsg.transID == transID) {
            if (pos != NULL) {
                *pos = i;
            }
            return 1;
        }
    }
    if (pos != NULL) {
        *pos = KELNS_RESP_BUF_SIZE;
    }
    return -1;
}

INT32 UpdateRespMsgByPos(INT32 pos, const KELNS_response_t *respMsg)
{
    if (!nscPosValid(pos) || respMsg == NULL) {
        return -1;
    }
    nscFillEntry(pos, respMsg);
    return 1;
}

INT32 AddRespMsgToBuf(const KELNS_response_t *respMsg)
{
    /* A response of command -1 would pose as a free entry. */
    if (respMsg == NULL || respMsg->cmdType == KELNS_CMD_UNKNOWN) {
        return -1;
    }
    INT32 pos = KELNS_RESP_BUF_SIZE;
    if (FindRespMsgByType(respMsg->cmdType, &pos) > 0 ||
        FindRespMsgByType(KELNS_CMD_UNKNOWN, &pos) > 0) {
        nscFillEntry(pos, respMsg);
        return 1;
    }
    return -1;
}

INT32 RemoveRespMsgByPos(INT32 pos)
{
    if (!nscPosValid(pos)) {
        return -1;
    }
    kelRespMsgBuf[pos].active = KEL_FALSE;
    kelRespMsgBuf[pos].respMsg.cmdType = KELNS_CMD_UNKNOWN;
    return 1;
}

INT32 GetRespCodeByPos(INT32 pos)
{
    if (!nscPosValid(pos)) {
        return -1;
    }
    if (kelRespMsgBuf[pos].active == KEL_TRUE &&
        kelRespMsgBuf[pos].respMsg.respCode == KELNS_RC_OK) {
        return 1;
    }
    return -1;
}
