/*
 * kelmsg.cpp - the System V queues and the shared frame buffer segment:
 * looking them up by letter, sending and receiving the packed records with
 * the byte counts of each command, and the writer's half of the frame
 * handshake. Used by every program; the control daemon, the app client and
 * the factory service are the consumers.
 *
 * The records start with a 4-byte type word. The kernel's message buffer
 * starts with a long, which is 8 bytes on x86-64, so the record is always
 * moved through a { long; text } buffer: the type word becomes the long and
 * the bytes after it travel unchanged, with the same count on both targets.
 */
#include "kelmsg.h"

#include <errno.h>
#include <string.h>
#include <sys/shm.h>

#include "kel.h"

#define KEL_MSG_PERM 0666
#define KEL_MSG_TEXT_MAX 28 /* largest byte count: the error record */

typedef struct {
    long mtype;
    char mtext[KEL_MSG_TEXT_MAX];
} kel_MsgBuf_t;

static_assert(sizeof(kel_MsgQue_Error_t) - sizeof(INT32) == KEL_MSG_TEXT_MAX, "largest record");

/* Key of the platform root's "/home/root" with the given letter. */
static INT32 kelIpcKey(INT32 letter, key_t *key)
{
    char path[KEL_PATH_BUF_SIZE];
    if (kelRootPath(KEL_IPC_KEY_PATH, path, sizeof(path)) < 0) {
        return -1;
    }
    key_t k = ftok(path, letter);
    if (k == (key_t)-1) {
        return -1;
    }
    *key = k;
    return 1;
}

INT32 kelAppMsgQueGetID(INT32 *msgQueID, kel_MsgQue_ID_t key)
{
    key_t k;
    if (msgQueID == NULL || kelIpcKey((INT32)key, &k) < 0) {
        return -1;
    }
    int id = msgget(k, IPC_CREAT | IPC_EXCL | KEL_MSG_PERM);
    if (id < 0 && errno == EEXIST) {
        id = msgget(k, 0);
    }
    if (id < 0) {
        return -1;
    }
    *msgQueID = id;
    return 1;
}

static INT32 kelRxByteCount(INT32 cmdType)
{
    switch (cmdType) {
    case KEL_MSGQ_RX_BRIGHTNESS:
        return 4 + (INT32)sizeof(KELNS_brightnessData_t);
    case KEL_MSGQ_RX_TIME:
        return 4 + (INT32)sizeof(KELNS_timeData_t);
    case KEL_MSGQ_RX_STATUS_LED:
        return 4 + (INT32)sizeof(KELNS_statusLedData_t);
    case KEL_MSGQ_RX_ALARM_LED:
        return 4 + (INT32)sizeof(KELNS_alarmLedData_t);
    case KEL_MSGQ_RX_OPT_MODE:
    case KEL_MSGQ_RX_LCDTYPE:
        return 8;
    default:
        return 4; /* the command word alone */
    }
}

static INT32 kelTxByteCount(INT32 cmdType)
{
    switch (cmdType) {
    case KEL_MSGQ_TX_TEMPERATURE:
        return 4 + (INT32)sizeof(KELNS_temperatureData_t);
    case KEL_MSGQ_TX_ERROR:
        return 4 + (INT32)sizeof(KELNS_errorData_t);
    case KEL_MSGQ_TX_KEYEVENT:
        return 4 + (INT32)sizeof(KELFB_keyEvent_t);
    default:
        return 4;
    }
}

INT32 kelAppMsgQueByteCount(kel_MsgQue_MsgType_t msgType, const void *record)
{
    INT32 cmdType = 0;
    switch (msgType) {
    case KEL_MSG_TYPE_FB:
        return KEL_MSGQ_FB_BYTES;
    case KEL_MSG_TYPE_ERROR:
        return KEL_MSGQ_ERROR_BYTES;
    case KEL_MSG_TYPE_RX:
        if (record == NULL) {
            return 0;
        }
        memcpy(&cmdType, (const UINT8 *)record + offsetof(kel_MsgQue_Rx_t, cmdType), sizeof(cmdType));
        return kelRxByteCount(cmdType);
    case KEL_MSG_TYPE_TX:
        if (record == NULL) {
            return 0;
        }
        memcpy(&cmdType, (const UINT8 *)record + offsetof(kel_MsgQue_Tx_t, cmdType), sizeof(cmdType));
        return kelTxByteCount(cmdType);
    default:
        return 0;
    }
}

INT32 kelAppMsgQueDataSend(INT32 msgQueID, kel_MsgQue_MsgType_t msgType, const void *record)
{
    if (msgQueID < 0 || record == NULL) {
        return -1;
    }
    INT32 count = kelAppMsgQueByteCount(msgType, record);
    if (count <= 0) {
        return 1; /* nothing to send for this type */
    }
    kel_MsgBuf_t buf;
    INT32 typeWord = 0;
    memset(&buf, 0, sizeof(buf));
    memcpy(&typeWord, record, sizeof(typeWord));
    buf.mtype = typeWord;
    memcpy(buf.mtext, (const UINT8 *)record + sizeof(INT32), (size_t)count);
    if (msgsnd(msgQueID, &buf, (size_t)count, IPC_NOWAIT) != 0) {
        return -1;
    }
    return 1;
}

INT32 kelAppMsgQueDataRecv(INT32 msgQueID, kel_MsgQue_MsgType_t msgType, void *record, UINT32 maxBytes)
{
    if (msgQueID < 0 || record == NULL || maxBytes == 0) {
        return -1;
    }
    if (maxBytes > KEL_MSG_TEXT_MAX) {
        maxBytes = KEL_MSG_TEXT_MAX;
    }
    kel_MsgBuf_t buf;
    ssize_t n;
    do {
        n = msgrcv(msgQueID, &buf, maxBytes, (long)msgType, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return -1;
    }
    INT32 typeWord = (INT32)buf.mtype;
    memcpy(record, &typeWord, sizeof(typeWord));
    memcpy((UINT8 *)record + sizeof(INT32), buf.mtext, (size_t)n);
    return (INT32)n;
}

INT32 kelAppMsgQueSendErrData(const kel_ErrorData_t *errData)
{
    INT32 id = -1;
    if (errData == NULL || kelAppMsgQueGetID(&id, KEL_MSG_ID_TX) < 0) {
        return -1;
    }
    kel_MsgQue_Tx_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.msgType = KEL_MSG_TYPE_TX;
    msg.cmdType = KEL_MSGQ_TX_ERROR;
    memcpy(&msg.data.nsErrData.errorData, errData, sizeof(*errData));
    return kelAppMsgQueDataSend(id, KEL_MSG_TYPE_TX, &msg);
}

INT32 kelAppMsgQueGetInfo(INT32 msgQueID, struct msqid_ds *info)
{
    struct msqid_ds ds;
    if (info == NULL || msgctl(msgQueID, IPC_STAT, &ds) != 0) {
        return -1;
    }
    memcpy(info, &ds, sizeof(ds));
    return 1;
}

INT32 kelAppMsgQueBuffClean(INT32 msgQueID)
{
    return msgctl(msgQueID, IPC_RMID, NULL) == 0 ? 1 : -1;
}

INT32 kelAppShareMemGetID(INT32 *shmID, INT32 key)
{
    key_t k;
    if (shmID == NULL || kelIpcKey(key, &k) < 0) {
        return -1;
    }
    int id = shmget(k, KEL_SHM_SEGMENT_SIZE, IPC_CREAT | IPC_EXCL | KEL_MSG_PERM);
    if (id < 0 && errno == EEXIST) {
        /* An existing segment must be at least as large as ours. */
        id = shmget(k, KEL_SHM_SEGMENT_SIZE, 0);
    }
    if (id < 0) {
        return -1;
    }
    *shmID = id;
    return 1;
}

/* 1 when the frame of `writer` must not reach the screen in `mode`. */
static INT32 kelFrameDropped(kel_AppTaskID_t writer, INT32 mode)
{
    if (writer == KEL_TASK_FB_CLIENT && mode != KEL_MODE_NORMAL) {
        return 1;
    }
    if (writer == KEL_TASK_APP_INDUSTRY && mode == KEL_MODE_FW_UPGRADING) {
        return 1;
    }
    return 0;
}

INT32 kelFBShareMemWrite(const UINT8 *frame, INT32 length, kel_AppTaskID_t writer)
{
    INT32 shmID = -1;
    if (frame == NULL || length < 0 || length > KEL_FB_FRAME_SIZE) {
        return -1;
    }
    if (kelAppShareMemGetID(&shmID, KEL_SHM_ID_FB) < 0) {
        return -1;
    }
    void *addr = shmat(shmID, NULL, 0);
    if (addr == (void *)-1) {
        shmctl(shmID, IPC_RMID, NULL);
        return -1;
    }
    kel_ShMem_FB_t *shm = (kel_ShMem_FB_t *)addr;
    /* The segment is page aligned, so the flag words are aligned too. */
    INT32 *bRead = (INT32 *)addr;
    INT32 *bWriting = bRead + 1;
    INT32 *workMode = bRead + 2;
    INT32 mode = KEL_LOAD(*workMode);
    if (!kelFrameDropped(writer, mode) && KEL_LOAD(*bWriting) != KEL_TRUE) {
        KEL_STORE(*bRead, (INT32)KEL_FALSE);
        KEL_STORE(*bWriting, (INT32)KEL_TRUE);
        memcpy(shm->fBuffer, frame, (size_t)length);
        KEL_STORE(*bWriting, (INT32)KEL_FALSE);
    }
    if (shmdt(addr) != 0) {
        shmctl(shmID, IPC_RMID, NULL);
        return -1;
    }
    return 1;
}
