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
    char mtext[KEL_MSGQ_RECV_MAX_BYTES];
} kel_MsgBuf_t;

static_assert(sizeof(kel_MsgQue_Error_t) - sizeof(INT32) == KEL_MSG_TEXT_MAX, "largest record");
static_assert(KEL_MSGQ_RECV_MAX_BYTES > KEL_MSG_TEXT_MAX, "a longer record shows as one");

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

INT32 kelAppMsgQueSendKept(INT32 *msgQueID, kel_MsgQue_ID_t key, kel_MsgQue_MsgType_t msgType,
                           const void *record)
{
    if (msgQueID == NULL) {
        return -1;
    }
    if (*msgQueID >= 0 && kelAppMsgQueDataSend(*msgQueID, msgType, record) > 0) {
        return 1;
    }
    /* A full queue (EAGAIN) loses the message as any send does; only a
     * queue that is no longer there is looked up again. */
    if (*msgQueID >= 0 && errno != EIDRM && errno != EINVAL) {
        return -1;
    }
    if (kelAppMsgQueGetID(msgQueID, key) < 0) {
        return -1;
    }
    return kelAppMsgQueDataSend(*msgQueID, msgType, record);
}

/* One blocking receive into `buf`, repeated when a signal breaks it off.
 * The byte count, or -1 with errno set. */
static ssize_t kelMsgRecvRaw(INT32 msgQueID, long msgType, kel_MsgBuf_t *buf, size_t maxBytes, int flags)
{
    ssize_t n;
    do {
        n = msgrcv(msgQueID, buf, maxBytes, msgType, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

/* Puts the received type word and up to `textRoom` bytes of text back
 * into record layout. */
static void kelMsgToRecord(const kel_MsgBuf_t *buf, size_t count, void *record, size_t textRoom)
{
    INT32 typeWord = (INT32)buf->mtype;
    memcpy(record, &typeWord, sizeof(typeWord));
    memcpy((UINT8 *)record + sizeof(INT32), buf->mtext, count < textRoom ? count : textRoom);
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
    ssize_t n = kelMsgRecvRaw(msgQueID, (long)msgType, &buf, maxBytes, 0);
    if (n < 0) {
        return -1;
    }
    kelMsgToRecord(&buf, (size_t)n, record, (size_t)n);
    return (INT32)n;
}

INT32 kelAppMsgQueRecvRecord(INT32 msgQueID, kel_MsgQue_MsgType_t msgType, void *record, UINT32 recordSize)
{
    if (msgQueID < 0 || record == NULL || recordSize <= sizeof(INT32)) {
        return -1;
    }
    kel_MsgBuf_t buf;
    memset(&buf, 0, sizeof(buf));
    /* Any type, and a record longer than the buffer is cut instead of
     * failing the receive: a failure here means the queue itself. */
    ssize_t n = kelMsgRecvRaw(msgQueID, 0, &buf, sizeof(buf.mtext), MSG_NOERROR);
    if (n < 0) {
        return -1;
    }
    memset(record, 0, recordSize);
    kelMsgToRecord(&buf, (size_t)n, record, recordSize - sizeof(INT32));
    if (buf.mtype != (long)msgType || n != kelAppMsgQueByteCount(msgType, record)) {
        return 0;
    }
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

/* The segment is page aligned, so the flag words and the change counter
 * are aligned too. Every access to them is an atomic one, in program
 * order, on both sides of the handshake. */
#define KEL_SHM_LOAD(word) __atomic_load_n(&(word), __ATOMIC_SEQ_CST)
#define KEL_SHM_STORE(word, value) __atomic_store_n(&(word), (value), __ATOMIC_SEQ_CST)

static UINT32 *kelFrameSeq(kel_ShMem_FB_t *shm)
{
    return (UINT32 *)((UINT8 *)shm + KEL_SHM_FB_SEQ_OFFSET);
}

/* Copies a frame in unless the mode keeps this writer off the screen or
 * another writer holds the segment. The writer flag is claimed with one
 * compare-and-swap, so two writers can never both copy; a busy segment
 * loses the frame and nobody waits. The counter is bumped before and after
 * the copy, so a reader can tell that the frame changed under it. */
static void kelFrameWriteIn(kel_ShMem_FB_t *shm, const UINT8 *frame, INT32 length, kel_AppTaskID_t writer)
{
    INT32 mode = KEL_SHM_LOAD(shm->kelWorkMode);
    if (kelFrameDropped(writer, mode)) {
        return;
    }
    INT32 idle = KEL_FALSE;
    if (!__atomic_compare_exchange_n(&shm->bWriting, &idle, (INT32)KEL_TRUE, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)) {
        return;
    }
    UINT32 *seq = kelFrameSeq(shm);
    __atomic_fetch_add(seq, 1u, __ATOMIC_SEQ_CST);
    KEL_SHM_STORE(shm->bRead, (INT32)KEL_FALSE);
    memcpy(shm->fBuffer, frame, (size_t)length);
    __atomic_fetch_add(seq, 1u, __ATOMIC_SEQ_CST);
    KEL_SHM_STORE(shm->bWriting, (INT32)KEL_FALSE);
}

/* Looks up and attaches the shared frame buffer: its address and id, or
 * NULL. A segment that cannot be attached is removed, so the daemon makes
 * a sound one. */
static void *kelFBShareMemAttach(INT32 *shmID)
{
    if (kelAppShareMemGetID(shmID, KEL_SHM_ID_FB) < 0) {
        return NULL;
    }
    void *addr = shmat(*shmID, NULL, 0);
    if (addr == (void *)-1) {
        shmctl(*shmID, IPC_RMID, NULL);
        return NULL;
    }
    return addr;
}

INT32 kelFBShareMemWrite(const UINT8 *frame, INT32 length, kel_AppTaskID_t writer)
{
    INT32 shmID = -1;
    if (frame == NULL || length < 0 || length > KEL_FB_FRAME_SIZE) {
        return -1;
    }
    void *addr = kelFBShareMemAttach(&shmID);
    if (addr == NULL) {
        return -1;
    }
    kelFrameWriteIn((kel_ShMem_FB_t *)addr, frame, length, writer);
    if (shmdt(addr) != 0) {
        shmctl(shmID, IPC_RMID, NULL);
        return -1;
    }
    return 1;
}

/* 1 while the kept segment is still the one under the key: not removed
 * (a removed segment lives on, marked, until its last detach). */
static INT32 kelShmStillCurrent(INT32 shmID)
{
    struct shmid_ds ds;
    if (shmctl(shmID, IPC_STAT, &ds) != 0) {
        return -1;
    }
    return (ds.shm_perm.mode & SHM_DEST) != 0 ? -1 : 1;
}

INT32 kelFBShareMemWriteKept(kel_FBShareMemKept_t *kept, const UINT8 *frame, INT32 length,
                             kel_AppTaskID_t writer)
{
    if (kept == NULL || frame == NULL || length < 0 || length > KEL_FB_FRAME_SIZE) {
        return -1;
    }
    if (kept->addr != NULL && kelShmStillCurrent(kept->shmID) < 0) {
        shmdt(kept->addr);
        kept->addr = NULL;
        kept->shmID = -1;
    }
    if (kept->addr == NULL) {
        kept->addr = kelFBShareMemAttach(&kept->shmID);
        if (kept->addr == NULL) {
            kept->shmID = -1;
            return -1;
        }
    }
    kelFrameWriteIn((kel_ShMem_FB_t *)kept->addr, frame, length, writer);
    return 1;
}

INT32 kelFBShareMemTake(kel_ShMem_FB_t *shm, UINT8 *out, INT32 length)
{
    if (shm == NULL || out == NULL || length < 0 || length > KEL_FB_FRAME_SIZE) {
        return 0;
    }
    UINT32 *seq = kelFrameSeq(shm);
    /* The counter is read before the writer flag: a writer that claimed the
     * segment after this read bumps the counter before it copies. */
    UINT32 before = __atomic_load_n(seq, __ATOMIC_SEQ_CST);
    if (KEL_SHM_LOAD(shm->bWriting) != KEL_FALSE) {
        return -1;
    }
    if (KEL_SHM_LOAD(shm->bRead) != KEL_FALSE) {
        return 0;
    }
    /* Marked read before the copy: a writer that starts later sets it
     * false again after this store, so its frame is never taken as shown. */
    KEL_SHM_STORE(shm->bRead, (INT32)KEL_TRUE);
    memcpy(out, shm->fBuffer, (size_t)length);
    /* Read again with a read-modify-write that adds nothing: the copy's
     * loads cannot move past it, as with a fence, and the thread sanitizer
     * understands it (it has no model of fences). */
    if (__atomic_fetch_add(seq, 0u, __ATOMIC_SEQ_CST) != before) {
        /* Changed under the copy: not shown, so not read. */
        KEL_SHM_STORE(shm->bRead, (INT32)KEL_FALSE);
        return -1;
    }
    return 1;
}
