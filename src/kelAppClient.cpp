/*
 * kelAppClient.cpp - the app client program (kelappclient): the unit as the
 * meter's remote screen. It runs the non-screen link thread (kelnsclient),
 * the screen-and-key link thread (kelfbclient) and a transmit thread that
 * forwards the control daemon's temperature readings, error records and key
 * events from the T queue to the meter. It lives only while the startup
 * client (kelstpclient) runs: it refuses to start without it and ends
 * within one supervision period after it is gone.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "kel.h"
#include "kelerror.h"
#include "kelfbclient.h"
#include "kelmsg.h"
#include "kelnsclient.h"

#define APP_SUPERVISE_MS 10000 /* startup client check period */
#define APP_TX_RETRY_MS 50     /* pause before (re)opening the T queue */
#define APP_EXIT_STOPPED 1     /* orderly stop, or not allowed to run */
#define APP_EXIT_FAILED (-1)   /* device record or thread creation failed */
#define APP_STOP_WAIT_MS 1000  /* for the cancelled workers to end */
#define APP_STOP_POLL_MS 10
#define APP_WORKERS 3

#define APP_REPORT(code) kelLogError(KEL_TASK_APP_CLIENT, KEL_FILEID_APPCLIENT, __LINE__, (code))

static KEL_DEVICE_INFO appDevice;

/* Hands one whole event to its link; one the link cannot take now (no
 * connection, no announcement yet) is dropped by the sender. Records that
 * are not whole events never get here: the receive drops them. */
static void appTxDispatch(const kel_MsgQue_Tx_t *msg)
{
    switch (msg->cmdType) {
    case KEL_MSGQ_TX_TEMPERATURE:
        nscKELSendTempData(msg->data.tempData.temperature);
        break;
    case KEL_MSGQ_TX_ERROR:
        nscKELSendErrorCode(&msg->data.nsErrData.errorData);
        break;
    case KEL_MSGQ_TX_KEYEVENT:
        fbKeyPadEventSend(&msg->data.kelKeyEvent);
        break;
    default:
        break;
    }
}

static void *kelNscTxHandleThread(void *args)
{
    (void)args;
    for (;;) {
        kelSleep(APP_TX_RETRY_MS);
        INT32 queue = -1;
        if (kelAppMsgQueGetID(&queue, KEL_MSG_ID_TX) <= 0) {
            continue;
        }
        for (;;) {
            kel_MsgQue_Tx_t msg;
            INT32 bytes = kelAppMsgQueRecvRecord(queue, KEL_MSG_TYPE_TX, &msg, sizeof(msg));
            if (bytes < 0) {
                /* A broken queue is dropped; the next open makes a new one. */
                msgctl(queue, IPC_RMID, NULL);
                break;
            }
            if (bytes > 0) {
                appTxDispatch(&msg);
            }
        }
    }
    return NULL;
}

/* Starts one worker. 1, or -1 (reported). The workers are joined only when
 * the program stops, but they stay joinable: a worker that has already
 * ended (the screen link gives up when it cannot get its frame) still has
 * a valid thread id for the cancellation. */
static INT32 appStartThread(pthread_t *thread, void *(*body)(void *))
{
    int rc = pthread_create(thread, NULL, body, &appDevice);
    if (rc != 0) {
        APP_REPORT(KEL_FW_PTHREAD_ERROR);
        return -1;
    }
    return 1;
}

/* Cancels the workers and joins each one that ends within
 * APP_STOP_WAIT_MS, so none is left ended but never joined. One that does
 * not end in time (cancelled while holding a send mutex that another
 * worker waits for, which is no cancellation point) is left to the
 * process exit. */
static void appStopThreads(pthread_t *threads, INT32 count)
{
    INT32 joined[APP_WORKERS] = {0};
    INT32 left = count;
    for (INT32 i = 0; i < count; i++) {
        pthread_cancel(threads[i]);
    }
    UINT32 start = kelGetTick();
    for (;;) {
        for (INT32 i = 0; i < count; i++) {
            if (!joined[i] && pthread_tryjoin_np(threads[i], NULL) == 0) {
                joined[i] = 1;
                left--;
            }
        }
        if (left == 0 || (UINT32)(kelGetTick() - start) >= APP_STOP_WAIT_MS) {
            return;
        }
        kelSleep(APP_STOP_POLL_MS);
    }
}

static INT32 appStartupClientRunning(void)
{
    return kelCheckAppRunning(KEL_NAME_STPCLIENT) > 0 ? 1 : 0;
}

int main(int argc, char **argv)
{
    /* Before anything is opened: the meter links' sockets must never be
     * descriptor 0, 1 or 2 when the client was started without them. */
    (void)kelEnsureStdDescriptors();
    memset(&appDevice, 0, sizeof(appDevice));
    if (kelArgsParse(&appDevice, argc, argv) < 0) {
        printf("kelappclient: meter address too long\n");
        return APP_EXIT_STOPPED;
    }
    if (!appStartupClientRunning()) {
        printf("kelappclient: startup client not running\n");
        return APP_EXIT_STOPPED;
    }
    if (kelInitDevice(&appDevice, KEL_DEVICE_CLIENT, 0, KEL_NAME_APPCLIENT) < 0) {
        printf("kelappclient: device initialisation failed\n");
        return APP_EXIT_FAILED;
    }

    /* Transmit, screen-and-key link, non-screen link. */
    pthread_t workers[APP_WORKERS];
    if (appStartThread(&workers[0], kelNscTxHandleThread) < 0 ||
        appStartThread(&workers[1], kelFbKeyHandleThread) < 0 ||
        appStartThread(&workers[2], kelNSCHandleThread) < 0) {
        return APP_EXIT_FAILED;
    }
    printf("kelappclient: meter %s\n", appDevice.host);
    fflush(stdout);

    do {
        kelSleep(APP_SUPERVISE_MS);
    } while (appStartupClientRunning());

    printf("kelappclient: startup client gone, stopping\n");
    fflush(stdout);
    appStopThreads(workers, APP_WORKERS);
    /* A worker may still be stuck in its cancellation: end the process at
     * once rather than run exit-time clean-up beside it. The kernel closes
     * both meter links. */
    _exit(APP_EXIT_STOPPED);
}
