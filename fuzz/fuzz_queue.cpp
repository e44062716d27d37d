/*
 * fuzz_queue.cpp - the records the unit's consumers take off the System V
 * queues, whatever a program on the unit posted. The input is a series of
 * records, each [queue selector][byte count][type][bytes]: the bytes are
 * posted with that count and that message type on the R, T, F or E queue,
 * and the consumer of that queue takes it off through the queue layer
 * (which keeps only whole records of its own type) and acts on it:
 *   R  the daemon's request dispatch, then one pass of its work-mode
 *      thread (indications run without their pauses) and of its LED
 *      thread;
 *   T  the app client's transmit dispatch, onto both meter links (each a
 *      connected, announced socket pair);
 *   F  the daemon's frame consumer, on the board's screen and the shared
 *      segment; it serves in a thread of its own until the record is taken
 *      and the queue then removed, which ends its serving as it would;
 *   E  the daemon's error log writer;
 *   I  the factory service's relay of temperatures and key events, onto
 *      a connected, authenticated station (a socket pair).
 * The dispatches are private to their program files, which are compiled in
 * here whole with their entry points renamed.
 */
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/shm.h>
#include <sys/socket.h>

#include "fuzzBoard.h"
#include "kel.h"
#include "kelerrlog.h"
#include "kelindustry.h"
#include "kelfbclient.h"
#include "kelledctrl.h"
#include "kelmodectrl.h"
#include "kelmsg.h"
#include "kelnsclient.h"

#define main kelAppClientProgramMain
#include "kelAppClient.cpp"
#undef main
#include "kelcontrol.cpp"

#define FUZZ_QUEUE_TEXT_MAX 32 /* a little more than any record, to see it refused */

/* One queue: its letter, the type its consumer keeps and the size of its
 * full record. */
typedef struct {
    kel_MsgQue_ID_t letter;
    kel_MsgQue_MsgType_t type;
    UINT32 recordSize;
} fuzz_Queue_t;

static const fuzz_Queue_t fuzzQueues[] = {
    {KEL_MSG_ID_RX, KEL_MSG_TYPE_RX, sizeof(kel_MsgQue_Rx_t)},
    {KEL_MSG_ID_TX, KEL_MSG_TYPE_TX, sizeof(kel_MsgQue_Tx_t)},
    {KEL_MSG_ID_FB, KEL_MSG_TYPE_FB, sizeof(kel_MsgQue_FB_t)},
    {KEL_MSG_ID_ERROR, KEL_MSG_TYPE_ERROR, sizeof(kel_MsgQue_Error_t)},
    {KEL_MSG_ID_INDUSTRY, KEL_MSG_TYPE_TX, sizeof(kel_MsgQue_Tx_t)},
};
#define FUZZ_NUM_QUEUES (sizeof(fuzzQueues) / sizeof(fuzzQueues[0]))

static kel_ShMem_FB_t *fuzzSegment;
static int fuzzNscMeter = -1;
static int fuzzFbMeter = -1;
static int fuzzStation = -1;

static void fuzzNoSleep(INT32 ms)
{
    (void)ms;
}

/* One meter link of the app client, connected and announced, on a pair
 * whose meter end is kept for draining. */
static void fuzzConnectLink(KEL_DEVICE_INFO *link, int *meter)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) {
        return;
    }
    *meter = pair[1];
    KEL_STORE(link->socketState, KEL_SOCKET_CONNECTED);
    KEL_STORE(link->bDataRequested, KEL_TRUE);
    KEL_STORE(link->socket, pair[0]);
}

static void fuzzDrainMeter(int meter)
{
    kel_FuzzLink_t link = {-1, meter};
    kelFuzzLinkDrain(&link);
}

/* The daemon as it runs: its screen mapped, the segment attached, both
 * links of the app client up. Once per process. */
static INT32 fuzzQueueSetUp(void)
{
    kelFuzzRequireBoard();
    di.type = KEL_DEVICE_CLIENT;
    di.fd_fb = -1;
    di.fd_kbd = -1;
    di.kelBrightness = 100;
    if (kelGetFbDevInfo(&di) < 0 || kelFbDevInit(&di) < 0) {
        return -1;
    }
    INT32 shmid = -1;
    if (kelAppShareMemGetID(&shmid, KEL_SHM_ID_FB) < 0) {
        return -1;
    }
    void *addr = shmat(shmid, NULL, 0);
    if (addr == (void *)-1) {
        return -1;
    }
    fuzzSegment = (kel_ShMem_FB_t *)addr;
    kelModeSetSleep(fuzzNoSleep);
    kelErrorLogSetTrimPause(0);

    KEL_DEVICE_INFO link;
    memset(&link, 0, sizeof(link));
    link.width = KEL_FB_WIDTH;
    link.height = KEL_FB_HEIGHT;
    link.bpp = KEL_FB_BPP;
    nscClientInit(&link);
    fbClientInit(&link);
    fuzzConnectLink(nscClientLink(), &fuzzNscMeter);
    fuzzConnectLink(fbClientLink(), &fuzzFbMeter);
    fuzzConnectLink(industDevice(), &fuzzStation);
    return 1;
}

/* Posts `count` bytes under message type `type`, as any program may. */
static INT32 fuzzPost(INT32 qid, long type, const uint8_t *bytes, UINT32 count)
{
    struct {
        long mtype;
        char mtext[FUZZ_QUEUE_TEXT_MAX];
    } buf;
    memset(&buf, 0, sizeof(buf));
    buf.mtype = type;
    memcpy(buf.mtext, bytes, count);
    return msgsnd(qid, &buf, count, IPC_NOWAIT) == 0 ? 1 : -1;
}

/* The R, T, E and I consumers: one receive (the queue holds the one record
 * just posted, so it never waits), and on failure the queue is dropped as
 * each consumer does. */
static void fuzzConsumeOne(INT32 qid, const fuzz_Queue_t *q)
{
    UINT8 record[sizeof(kel_MsgQue_Error_t)];
    memset(record, 0, sizeof(record));
    INT32 got = kelAppMsgQueRecvRecord(qid, q->type, record, q->recordSize);
    if (got < 0) {
        msgctl(qid, IPC_RMID, NULL);
        return;
    }
    if (got == 0) {
        return;
    }
    switch (q->letter) {
    case KEL_MSG_ID_RX:
        kelCtrlDispatchRequest((const kel_MsgQue_Rx_t *)record);
        kelWorkModeControlPass(&di);
        kelLEDControlPass(kelGetTick());
        break;
    case KEL_MSG_ID_TX:
        appTxDispatch((const kel_MsgQue_Tx_t *)record);
        fuzzDrainMeter(fuzzNscMeter);
        fuzzDrainMeter(fuzzFbMeter);
        break;
    case KEL_MSG_ID_ERROR:
        kelErrorLogHandleMsg((const kel_MsgQue_Error_t *)record, got);
        break;
    case KEL_MSG_ID_INDUSTRY:
        (void)industQueueDispatch((const kel_MsgQue_Tx_t *)record, got);
        fuzzDrainMeter(fuzzStation);
        break;
    default:
        break;
    }
}

typedef struct {
    INT32 qid;
} fuzz_FrameServer_t;

static void *fuzzServeFrames(void *arg)
{
    ctlServeFrames(((fuzz_FrameServer_t *)arg)->qid, fuzzSegment);
    return NULL;
}

/* The frame consumer serves until its receive fails: once the posted
 * record has been taken, the queue is removed under it. */
static void fuzzConsumeFrames(INT32 qid)
{
    KEL_STORE(fuzzSegment->bRead, (INT32)KEL_FALSE);
    KEL_STORE(fuzzSegment->bWriting, (INT32)KEL_FALSE);
    fuzz_FrameServer_t server = {qid};
    pthread_t thread;
    if (pthread_create(&thread, NULL, fuzzServeFrames, &server) != 0) {
        msgctl(qid, IPC_RMID, NULL);
        return;
    }
    struct msqid_ds info;
    while (msgctl(qid, IPC_STAT, &info) == 0 && info.msg_qnum > 0) {
        sched_yield();
    }
    msgctl(qid, IPC_RMID, NULL);
    pthread_join(thread, NULL);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static INT32 ready;
    if (ready == 0) {
        ready = fuzzQueueSetUp() > 0 ? 1 : -1;
    }
    if (ready < 0) {
        return 0;
    }
    /* Every input starts from the daemon's power-on state. */
    KEL_STORE(di.workMode, KEL_MODE_NORMAL);
    kelModeResetState();
    kelLEDResetState();
    kelLEDStagesReset(kelGetTick());
    KEL_STORE(bAppClientRunning, KEL_TRUE);
    kelFuzzDrainQueues();

    size_t pos = 0;
    while (pos + 3 <= size) {
        const fuzz_Queue_t *q = &fuzzQueues[data[pos] % FUZZ_NUM_QUEUES];
        UINT32 count = data[pos + 1] % (FUZZ_QUEUE_TEXT_MAX + 1);
        long type = data[pos + 2];
        pos += 3;
        if (count == 0 || count > size - pos) {
            break;
        }
        const uint8_t *bytes = data + pos;
        pos += count;

        INT32 qid = -1;
        if (kelAppMsgQueGetID(&qid, q->letter) < 0 || fuzzPost(qid, type, bytes, count) < 0) {
            continue;
        }
        if (q->letter == KEL_MSG_ID_FB) {
            fuzzConsumeFrames(qid);
        } else {
            fuzzConsumeOne(qid, q);
        }
        kelFuzzDrainQueues();
    }
    return 0;
}
