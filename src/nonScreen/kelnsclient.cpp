/*
 * kelnsclient.cpp - the non-screen link thread of the app client.
 *
 * The thread owns the link record (its own copy of the program's device
 * record): it connects, sends GET_DATA, turns the meter's commands into R
 * queue requests for the control daemon and answers each, and watches the
 * link with heartbeats and a silence limit. The transmit thread calls the
 * two forwarding senders; the fields it shares with the link thread
 * (socket, socketState, bDataRequested) are read and written whole, and
 * the link is closed under nscSendMutex (nscCloseLink). A forwarded frame
 * checks the announcement and takes the socket under that mutex, so it
 * never goes to a closed or reused descriptor, nor to a new connection
 * before its GET_DATA; its failure can only fail the connection it was
 * sent on.
 */
#include "kelnsclient.h"

#include <stdio.h>
#include <string.h>

#include "kel.h"
#include "kelerror.h"
#include "kelmsg.h"
#include "kelsockets.h"

#define NSC_REPORT(code) kelLogError(KEL_TASK_NSC_CLIENT, KEL_FILEID_NSCLIENT, __LINE__, (code))

static KEL_DEVICE_INFO nscLink;
static KELNS_Message_t nscRecvMsg;

KEL_DEVICE_INFO *nscClientLink(void)
{
    return &nscLink;
}

INT32 nscClientInit(const KEL_DEVICE_INFO *di)
{
    if (di == NULL) {
        return -1;
    }
    kelCopyDeviceInfo(&nscLink, di);
    memset(&nscRecvMsg, 0, sizeof(nscRecvMsg));
    pthread_mutex_lock(&RespBufMutex);
    InitRespMsgBuf();
    pthread_mutex_unlock(&RespBufMutex);
    snprintf(nscLink.name, sizeof(nscLink.name), "%s", KELNS_LINK_NAME);
    nscLink.port = KELNS_PORT;
    KEL_STORE(nscLink.socket, -1);
    KEL_STORE(nscLink.bDataRequested, KEL_FALSE);
    return 1;
}

/* ---- requests to the control daemon ---- */

/* Opens the R queue and posts `msg` under the send mutex. -1 when the
 * queue cannot be opened; 1 otherwise (a failed post is reported). */
static INT32 nscPostRequest(kel_MsgQue_Rx_t *msg)
{
    INT32 queue = -1;
    if (kelAppMsgQueGetID(&queue, KEL_MSG_ID_RX) < 0) {
        NSC_REPORT(KEL_FW_MSGQ_GETID_ERROR);
        return -1;
    }
    msg->msgType = KEL_MSG_TYPE_RX;
    pthread_mutex_lock(&nscSendMutex);
    INT32 rc = kelAppMsgQueDataSend(queue, KEL_MSG_TYPE_RX, msg);
    pthread_mutex_unlock(&nscSendMutex);
    if (rc < 0) {
        NSC_REPORT(KEL_FW_MSGQ_SEND_ERROR);
    }
    return 1;
}

void nscNormalisePattern(const KELNS_patternData_t *in, KELNS_patternData_t *out)
{
    out->Cycle = in->Cycle;
    out->Duty = in->Duty > KELNS_MAX_DUTY ? (UINT16)KELNS_MAX_DUTY : in->Duty;
    out->NumActCycle = in->NumInActCycle == 0 ? (UINT16)1 : in->NumActCycle;
    out->NumInActCycle = in->NumActCycle == 0 ? (UINT16)1 : in->NumInActCycle;
}

INT32 nscKELSetBrightness(UINT32 brightness)
{
    if (brightness > KELNS_MAX_BRIGHTNESS) {
        return -1;
    }
    kel_MsgQue_Rx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.cmdType = KEL_MSGQ_RX_BRIGHTNESS;
    msg.data.brightnessData.brightness = brightness;
    return nscPostRequest(&msg);
}

INT32 nscKELSetTime(UINT64 time)
{
    kel_MsgQue_Rx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.cmdType = KEL_MSGQ_RX_TIME;
    msg.data.timeData.unixTime = time;
    return nscPostRequest(&msg);
}

INT32 nscKELSetStatusLED(INT32 color, const KELNS_patternData_t *pattern)
{
    if (pattern == NULL) {
        return -1;
    }
    kel_MsgQue_Rx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.cmdType = KEL_MSGQ_RX_STATUS_LED;
    msg.data.statusLedData.colour = color;
    KELNS_patternData_t normal;
    nscNormalisePattern(pattern, &normal);
    msg.data.statusLedData.pattern = normal;
    return nscPostRequest(&msg);
}

INT32 nscKELSetAlarmLED(const KELNS_patternData_t *pattern)
{
    if (pattern == NULL) {
        return -1;
    }
    kel_MsgQue_Rx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.cmdType = KEL_MSGQ_RX_ALARM_LED;
    KELNS_patternData_t normal;
    nscNormalisePattern(pattern, &normal);
    msg.data.alarmLedData.pattern = normal;
    return nscPostRequest(&msg);
}

/* ---- frames to the meter ---- */

INT32 nscSendDataRequest(void)
{
    INT32 rc = nscKELSendOnLink(&nscLink, KELNS_CMD_GET_DATA, NULL);
    if (rc <= 0) {
        NSC_REPORT(KEL_COMM_DATA_SEND_FAIL);
    }
    return rc;
}

/* Answers the frame `req` with `code`. 1 sent, or -1 (link failed). */
static INT32 nscSendResponse(const KELNS_Message_t *req, INT32 code)
{
    KELNS_response_t resp;
    resp.transID = req->transID;
    resp.cmdType = req->cmdType;
    resp.respCode = code;
    if (nscKELSendOnLink(&nscLink, KELNS_CMD_RESPONSE, &resp) <= 0) {
        KEL_STORE(nscLink.socketState, KEL_SOCKET_FAIL);
        return -1;
    }
    nscLink.sendTick = kelGetTick();
    return 1;
}

/* The forwarders look at the announcement first only to spare a
 * transaction id; the check that counts is made again under the send
 * mutex. */
INT32 nscKELSendTempData(INT32 temperature)
{
    if (KEL_LOAD(nscLink.bDataRequested) != KEL_TRUE) {
        return -1;
    }
    KELNS_temperatureData_t data;
    data.temperature = temperature;
    return nscKELForwardOnLink(&nscLink, KELNS_CMD_GET_TEMPERATURE, &data);
}

INT32 nscKELSendErrorCode(const kel_ErrorData_t *errData)
{
    if (errData == NULL || KEL_LOAD(nscLink.bDataRequested) != KEL_TRUE) {
        return -1;
    }
    KELNS_errorData_t data;
    memcpy(&data.errorData, errData, sizeof(data.errorData));
    return nscKELForwardOnLink(&nscLink, KELNS_CMD_GET_ERROR, &data);
}

/* ---- the link ---- */

void nscClientRecvMsgHandle(KELNS_Message_t *recvMsg)
{
    if (recvMsg == NULL) {
        return;
    }
    switch (recvMsg->cmdType) {
    case KELNS_CMD_RESPONSE:
        if (recvMsg->data.response.cmdType != KELNS_CMD_GET_DATA) {
            break;
        }
        if (recvMsg->data.response.respCode == KELNS_RC_OK) {
            KEL_STORE(nscLink.bDataRequested, KEL_TRUE);
            KEL_STORE(nscLink.deviceState, KEL_NSC_DATA_RESPONSED);
        } else {
            KEL_STORE(nscLink.socketState, KEL_SOCKET_FAIL);
        }
        break;
    case KELNS_CMD_SET_BRIGHTNESS:
        if (nscKELSetBrightness(recvMsg->data.brightness.brightness) < 0) {
            NSC_REPORT(KEL_FW_NSC_BRIGHTNESS_SET_ERROR);
            if (nscSendResponse(recvMsg, KELNS_RC_ERROR) < 0) {
                NSC_REPORT(KEL_COMM_DATA_SEND_FAIL);
            }
        } else if (nscSendResponse(recvMsg, KELNS_RC_OK) < 0) {
            NSC_REPORT(KEL_COMM_DATA_SEND_FAIL);
        }
        break;
    case KELNS_CMD_SET_TIME:
        if (nscKELSetTime(recvMsg->data.time.unixTime) <= 0) {
            NSC_REPORT(KEL_FW_TIME_SET_ERROR);
            nscSendResponse(recvMsg, KELNS_RC_ERROR);
        } else {
            nscLink.recvTick = kelGetTick();
            nscSendResponse(recvMsg, KELNS_RC_OK);
        }
        break;
    case KELNS_CMD_SET_STATUS_LED:
        if (nscKELSetStatusLED(recvMsg->data.statusLed.colour, &recvMsg->data.statusLed.pattern) < 0) {
            NSC_REPORT(KEL_FW_NSC_STATUSLED_SET_ERROR);
            nscSendResponse(recvMsg, KELNS_RC_ERROR);
        } else {
            nscSendResponse(recvMsg, KELNS_RC_OK);
        }
        break;
    case KELNS_CMD_SET_ALARM_LED:
        if (nscKELSetAlarmLED(&recvMsg->data.alarmLed.pattern) < 0) {
            NSC_REPORT(KEL_FW_NSC_ALARMLED_SET_ERROR);
            nscSendResponse(recvMsg, KELNS_RC_ERROR);
        } else {
            nscSendResponse(recvMsg, KELNS_RC_OK);
        }
        break;
    default:
        /* GET_TEMPERATURE, GET_ERROR, GET_DATA, HEARTBEAT and unknown
         * commands: nothing to do, the frame only refreshed the silence
         * timer. */
        break;
    }
}

void nscNetworkStateCheck(void)
{
    UINT32 now = kelGetTick();
    if ((UINT32)(now - nscLink.sendTick) > KELNS_HEARTBEAT_MS) {
        if (nscKELSendOnLink(&nscLink, KELNS_CMD_HEARTBEAT, NULL) <= 0) {
            KEL_STORE(nscLink.socketState, KEL_SOCKET_FAIL);
            NSC_REPORT(KEL_COMM_DATA_SEND_FAIL);
        } else {
            nscLink.sendTick = now;
        }
    }
    if ((UINT32)(kelGetTick() - nscLink.recvTick) > KELNS_SILENCE_MS) {
        KEL_STORE(nscLink.socketState, KEL_SOCKET_FAIL);
        NSC_REPORT(KEL_COMM_TIMEOUT);
    }
}

static void nscReportConnectFailure(INT32 result)
{
    if (result == KEL_SOCK_CREATE_FAIL) {
        NSC_REPORT(KEL_COMM_SOCKET_INIT_FAIL);
    } else if (result == KEL_SOCK_NOT_CONNECTED || result == KEL_SOCK_NONBLOCK_FAIL) {
        NSC_REPORT(KEL_COMM_CONNECT_FAIL);
    } else {
        NSC_REPORT(KEL_COMM_PARAM_ERROR);
    }
}

INT32 nscLinkConnect(void)
{
    KEL_STORE(nscLink.bDataRequested, KEL_FALSE);
    KEL_STORE(nscLink.socket, -1);
    KEL_STORE(nscLink.socketState, KEL_SOCKET_CLOSE);
    KEL_STORE(nscLink.deviceState, KEL_DEVICE_DISCONNECTED);
    kelSleep(KELNS_RECONNECT_MS);

    INT32 sock = kelNetworkConnecting(nscLink.host, KELNS_PORT, 1);
    if (sock <= 0) {
        nscReportConnectFailure(sock);
        return -1;
    }
    UINT32 now = kelGetTick();
    nscLink.recvTick = now;
    nscLink.sendTick = now;
    nscLink.stateTick = now;
    KEL_STORE(nscLink.deviceState, KEL_DEVICE_CONNECTED);
    KEL_STORE(nscLink.socketState, KEL_SOCKET_CONNECTED);
    KEL_STORE(nscLink.socket, sock);
    return 1;
}

void nscLinkClose(void)
{
    if (KEL_LOAD(nscLink.socket) <= 0) {
        return;
    }
    nscCloseLink(&nscLink);
    NSC_REPORT(KEL_COMM_DISCONNECTED);
}

INT32 nscLinkService(void)
{
    if (KEL_LOAD(nscLink.bDataRequested) != KEL_TRUE) {
        if (nscSendDataRequest() <= 0) {
            KEL_STORE(nscLink.socketState, KEL_SOCKET_FAIL);
            return 1;
        }
        UINT32 now = kelGetTick();
        nscLink.stateTick = now;
        nscLink.sendTick = now;
        KEL_STORE(nscLink.deviceState, KEL_NSC_DATA_REQUESTED);
        KEL_STORE(nscLink.bDataRequested, KEL_TRUE);
    }

    INT32 sock = KEL_LOAD(nscLink.socket);
    INT32 ready = kelSocketWaitReadable(sock, KELNS_SELECT_MS);
    if (ready < 0) {
        KEL_STORE(nscLink.socketState, KEL_SOCKET_FAIL);
        NSC_REPORT(KEL_COMM_SELECT_ERROR);
        nscCloseLink(&nscLink);
        return -1;
    }
    if (ready > 0) {
        if (KEL_LOAD(nscLink.socketState) != KEL_SOCKET_CONNECTED) {
            return 1;
        }
        INT32 rc = nscKELRecvMSG(sock, &nscRecvMsg);
        if (rc <= 0) {
            if (rc == KEL_SOCK_TIMEOUT) {
                NSC_REPORT(KEL_COMM_TIMEOUT);
            } else {
                KEL_STORE(nscLink.socketState, KEL_SOCKET_FAIL);
            }
            NSC_REPORT(KEL_COMM_DATA_RECV_FAIL);
            return 1;
        }
        nscLink.recvTick = kelGetTick();
        nscClientRecvMsgHandle(&nscRecvMsg);
    }
    if (KEL_LOAD(nscLink.socketState) == KEL_SOCKET_CONNECTED) {
        nscNetworkStateCheck();
    }
    return 1;
}

void *kelNSCHandleThread(void *args)
{
    if (nscClientInit((const KEL_DEVICE_INFO *)args) < 0) {
        return NULL;
    }
    for (;;) {
        if (nscLinkConnect() < 0) {
            continue;
        }
        while (KEL_LOAD(nscLink.socketState) != KEL_SOCKET_FAIL) {
            if (nscLinkService() < 0) {
                break;
            }
        }
        nscLinkClose();
    }
    return NULL;
}
