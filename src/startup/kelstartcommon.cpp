/*
 * kelstartcommon.cpp - the startup protocol module: frame layout per
 * command, the transaction counter, the challenge-response digest, and the
 * framed send and receive over the socket layer.
 *
 * Called by the startup client's single thread; the factory test service
 * links it for the digest. Nothing here writes to the error log: results go
 * back to the caller, which decides what a failure means.
 */
#include "kelstartcommon.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

/* The digest constants come from the build (cache variables KEL_DIGEST_M
 * and KEL_DIGEST_N), so the unit, the meter and the factory station can be
 * built with the same pair. */
#ifndef KEL_DIGEST_M
#error "KEL_DIGEST_M (digest multiplier) must be defined by the build"
#endif
#ifndef KEL_DIGEST_N
#error "KEL_DIGEST_N (digest modulus) must be defined by the build"
#endif
static_assert(KEL_DIGEST_M >= 10000 && KEL_DIGEST_M <= 99999, "multiplier has five digits");
static_assert(KEL_DIGEST_N >= 1000000000LL && KEL_DIGEST_N < 2147483648LL,
              "modulus has ten digits and lies below 2^31");

pthread_mutex_t stpSendMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t stpRecvMutex = PTHREAD_MUTEX_INITIALIZER;

/* Transaction counter of this protocol, zero at program start. */
static UINT32 kelTransID;

UINT32 stpGetTransID(void)
{
    return kelFrameNextTransID(&kelTransID);
}

UINT32 stpGetRandom(void)
{
    srand((unsigned int)time(NULL));
    return (UINT32)rand();
}

UINT32 stpGetDigest(UINT32 random)
{
    /* Both the product and the sum keep only their low 32 bits. */
    UINT32 t = random * (UINT32)(KEL_DIGEST_M) + (UINT32)3171547u;
    return t % (UINT32)(KEL_DIGEST_N);
}

/* Payload bytes of the full record of each command. */
static INT32 stpPayloadSize(INT32 cmdType)
{
    switch (cmdType) {
    case KELSTP_CMD_RESPONSE:
        return (INT32)sizeof(KELSTP_response_t);
    case KELSTP_CMD_DATA_REQ:
        return (INT32)sizeof(KELSTP_dataReq_t);
    case KELSTP_CMD_RANDOM:
        return (INT32)sizeof(KELSTP_randomData_t);
    case KELSTP_CMD_VERSION:
        return (INT32)sizeof(KELSTP_versionData_t);
    case KELSTP_CMD_DIGEST:
        return (INT32)sizeof(KELSTP_digestData_t);
    case KELSTP_CMD_STATE:
        return (INT32)sizeof(KELSTP_stateData_t);
    default:
        return 0;
    }
}

INT32 stpGetMsgLengthByCMDType(INT32 cmdType)
{
    return KELSTP_HEADER_SIZE + stpPayloadSize(cmdType);
}

INT32 stpBuildMSG(KELSTP_Message_t *msg, INT32 cmdType, const void *kelData, UINT32 transID)
{
    if (msg == NULL) {
        return -1;
    }
    memset(msg, 0, sizeof(*msg));
    msg->cmdType = cmdType;
    INT32 payload = stpPayloadSize(cmdType);
    if (payload > 0 && kelData == NULL) {
        kelFramePrefixFill(msg, KELSTP_HEADER_SIZE, transID);
        return -1;
    }
    if (cmdType == KELSTP_CMD_DATA_REQ) {
        /* Version bytes, then the serial number up to its first NUL. */
        const KELSTP_dataReq_t *req = (const KELSTP_dataReq_t *)kelData;
        size_t snLen = strnlen(req->serialNum, KELSTP_SN_SIZE);
        memcpy(&msg->dataReq.kelFwVersion, &req->kelFwVersion, sizeof(req->kelFwVersion));
        memcpy(msg->dataReq.serialNum, req->serialNum, snLen);
        payload = KELSTP_DATA_REQ_FIXED + (INT32)snLen;
    } else if (payload > 0) {
        memcpy(msg->raw, kelData, (size_t)payload);
    }
    INT32 length = KELSTP_HEADER_SIZE + payload;
    kelFramePrefixFill(msg, (UINT32)length, transID);
    return length;
}

INT32 stpKELSendMSG(int socket, INT32 cmdType, const void *kelData, INT32 needResp)
{
    (void)needResp;
    if (socket <= 0) {
        return -1;
    }
    KELSTP_Message_t msg;
    UINT32 transID = stpGetTransID();
    /* Only the heartbeat travels without a payload record; the id taken
     * above is not given back. */
    if (kelData == NULL && cmdType != KELSTP_CMD_HEARTBEAT) {
        return -1;
    }
    INT32 length = stpBuildMSG(&msg, cmdType, kelData, transID);
    if (length < 0) {
        return -1;
    }
    INT32 socketWord = socket;
    return (kelFrameSend(&stpSendMutex, &socketWord, &msg, length) > 0) ? 1 : -1;
}

INT32 stpKELRecvMSG(int socket, KELSTP_Message_t *kelRecvMsg)
{
    /* The frame helper refuses a length that would not fit the 52-byte
     * record (or that cuts into the prefix) like a wrong magic. */
    return kelFrameRecv(socket, kelRecvMsg, (int)sizeof(*kelRecvMsg));
}
