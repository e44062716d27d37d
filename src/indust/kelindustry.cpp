/*
 * kelindustry.cpp - the factory test service's serving loop and industry
 * queue thread (see kelindustry.h). The main thread listens, receives and
 * runs the command handlers of kelindustcommon; the queue thread relays
 * what the control daemon posts on the industry queue. They share the
 * device record: its socket is closed and replaced under industSendMutex,
 * which every send holds, so the queue thread never writes to a closed or
 * reused descriptor.
 */
#include "kelindustry.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/select.h>

#include "kel.h"
#include "kelcommon.h"
#include "kelerror.h"
#include "kelindustcommon.h"
#include "kelindustsocket.h"
#include "kelsockets.h"

#define INDUST_REPORT(code) kelLogError(KEL_TASK_APP_INDUSTRY, KEL_FILEID_INDUSTRY, __LINE__, (code))

#define INDUST_LISTEN_RETRY_MS 750
#define INDUST_SELECT_MS 500
#define INDUST_QUEUE_PAUSE_MS 50
/* Not used for binding: the service listens on every interface. */
#define INDUST_LISTEN_ADDR "169.254.254.2"

static KEL_DEVICE_INFO industDev;

KEL_DEVICE_INFO *industDevice(void)
{
    return &industDev;
}

/* Unsigned difference of two ticks is more than `limit`. */
static INT32 industElapsed(UINT32 since, UINT32 now, UINT32 limit)
{
    return (UINT32)(now - since) > limit ? 1 : 0;
}

/* Children started by the handlers (dd, fw_setenv, the stand-ins) must not
 * keep the port or a station's link open after the service ends. */
static void industCloseOnExec(int fd)
{
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) {
        (void)fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

/* Closes the station's link under the send mutex and forgets its
 * authentication. */
static void industCloseStation(KEL_DEVICE_INFO *dev)
{
    (void)kelFrameCloseLink(&industSendMutex, &dev->socket);
    industResetAuth(dev);
}

/* The listening socket, retried every 750 ms. -1 when the idle limit
 * passed while waiting for it. */
static int industListen(KEL_DEVICE_INFO *dev, const industServeLimits_t *lim, UINT32 lastActivity)
{
    for (;;) {
        int fd = kelNetworkInitialize(lim->port, 0, INDUST_LISTEN_ADDR);
        if (fd > 0) {
            industCloseOnExec(fd);
            return fd;
        }
        KEL_STORE(dev->socketState, KEL_SOCKET_CLOSE);
        KEL_STORE(dev->deviceState, KEL_DEVICE_DISCONNECTED);
        kelSleep(INDUST_LISTEN_RETRY_MS);
        if (industElapsed(lastActivity, kelGetTick(), lim->idleLimitMs)) {
            return -1;
        }
    }
}

/* A station knocks: any earlier one is dropped (a newer station always
 * takes over and must authenticate again), then the new one is accepted.
 * 1 accepted, 0 interrupted, -1 the listening socket failed. */
static INT32 industAcceptStation(KEL_DEVICE_INFO *dev, int listenFd)
{
    KEL_STORE(dev->socketState, KEL_SOCKET_LISTENNING);
    INT32 wasAuthenticated = industIsAuthenticated(dev);
    industResetAuth(dev);
    if (KEL_LOAD(dev->socket) > 0) {
        industCloseStation(dev);
        /* The factory mode belongs to an authenticated station. */
        if (wasAuthenticated) {
            (void)kelSetWorkMode(KEL_MODE_NORMAL);
        }
    }
    int fd = kelSocketAccept(listenFd);
    if (fd == 0) {
        return 0;
    }
    if (fd < 0) {
        return -1;
    }
    industCloseOnExec(fd);
    UINT32 now = kelGetTick();
    KEL_STORE(dev->recvTick, now);
    KEL_STORE(dev->sendTick, now);
    KEL_STORE(dev->deviceState, KEL_DEVICE_CONNECTED);
    pthread_mutex_lock(&industSendMutex);
    KEL_STORE(dev->socket, (INT32)fd);
    pthread_mutex_unlock(&industSendMutex);
    KEL_STORE(dev->socketState, KEL_SOCKET_CONNECTED);
    return 1;
}

/* Reads one frame of the station and hands it to the handlers. */
static void industReadStation(KEL_DEVICE_INFO *dev, UINT32 *lastActivity)
{
    KEL_INDUST_Message_t recvMsg;
    memset(&recvMsg, 0, sizeof(recvMsg));
    INT32 rc = industKELRecvMSG(KEL_LOAD(dev->socket), &recvMsg);
    if (rc == KEL_SOCK_TIMEOUT) {
        return;
    }
    if (rc <= 0) {
        KEL_STORE(dev->socketState, KEL_SOCKET_FAIL);
        return;
    }
    UINT32 now = kelGetTick();
    KEL_STORE(dev->recvTick, now);
    *lastActivity = now;
    industAppMsgRxHandle(dev, &recvMsg);
}

/* A failed link is closed; the unit goes back to normal work mode when the
 * station had put it into the factory mode. One that never authenticated
 * leaves the mode alone: garbage or silence from any host must not end a
 * firmware upgrade. */
static void industDropFailedStation(KEL_DEVICE_INFO *dev)
{
    if (KEL_LOAD(dev->socketState) != KEL_SOCKET_FAIL || KEL_LOAD(dev->socket) <= 0) {
        return;
    }
    INT32 wasAuthenticated = industIsAuthenticated(dev);
    industCloseStation(dev);
    KEL_STORE(dev->socketState, KEL_SOCKET_CLOSE);
    KEL_STORE(dev->deviceState, KEL_DEVICE_DISCONNECTED);
    if (wasAuthenticated) {
        (void)kelSetWorkMode(KEL_MODE_NORMAL);
    }
}

/* Serves on one listening socket. 0 when the idle limit passed, -1 when
 * the listening socket failed and must be made anew. */
static INT32 industServeListener(KEL_DEVICE_INFO *dev, int listenFd, const industServeLimits_t *lim,
                                 UINT32 *lastActivity)
{
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listenFd, &readable);
        int maxFd = listenFd;
        INT32 station = KEL_LOAD(dev->socket);
        if (station > 0 && station < FD_SETSIZE) {
            FD_SET(station, &readable);
            maxFd = station > maxFd ? station : maxFd;
        }
        struct timeval tv;
        tv.tv_sec = 0;
        tv.tv_usec = INDUST_SELECT_MS * 1000;
        int n = kelSocketSelect(maxFd + 1, &readable, NULL, NULL, &tv);
        if (n < 0) {
            if (errno != EINTR) {
                KEL_STORE(dev->socketState, KEL_SOCKET_FAIL);
            }
            n = 0;
        }

        if (n > 0 && FD_ISSET(listenFd, &readable)) {
            /* The new station's first frame is read on the next round. */
            if (industAcceptStation(dev, listenFd) < 0) {
                return -1;
            }
        } else if (n > 0 && station > 0 && station < FD_SETSIZE && FD_ISSET(station, &readable) &&
                   KEL_LOAD(dev->socketState) == KEL_SOCKET_CONNECTED) {
            industReadStation(dev, lastActivity);
        }

        UINT32 now = kelGetTick();
        if (KEL_LOAD(dev->socketState) == KEL_SOCKET_CONNECTED &&
            industElapsed(KEL_LOAD(dev->recvTick), now, lim->silenceLimitMs)) {
            KEL_STORE(dev->socketState, KEL_SOCKET_FAIL);
        }
        if (industElapsed(*lastActivity, now, lim->idleLimitMs)) {
            return 0;
        }
        industDropFailedStation(dev);
    }
}

INT32 industServe(const industServeLimits_t *limits)
{
    KEL_DEVICE_INFO *dev = &industDev;
    if (limits == NULL) {
        return -1;
    }
    UINT32 lastActivity = kelGetTick();
    KEL_STORE(dev->socket, (INT32)-1);
    for (;;) {
        int listenFd = industListen(dev, limits, lastActivity);
        if (listenFd < 0) {
            break;
        }
        KEL_STORE(dev->socketState, KEL_SOCKET_LISTENNING);
        INT32 rc = industServeListener(dev, listenFd, limits, &lastActivity);
        kelSocketClose(listenFd);
        if (rc == 0) {
            break;
        }
    }
    industCloseStation(dev);
    return 0;
}

INT32 industQueueDispatch(const kel_MsgQue_Tx_t *msg, INT32 bytes)
{
    if (msg == NULL || msg->msgType != KEL_MSG_TYPE_TX ||
        bytes != kelAppMsgQueByteCount(KEL_MSG_TYPE_TX, msg)) {
        return -1;
    }
    INT32 rc = 0;
    switch (msg->cmdType) {
    case KEL_MSGQ_TX_TEMPERATURE:
        rc = industKELSendTempData(&industDev, msg->data.tempData.temperature);
        break;
    case KEL_MSGQ_TX_KEYEVENT:
        rc = industKeyPadEventSend(&industDev, &msg->data.kelKeyEvent);
        break;
    default: /* other events are not for the station */
        break;
    }
    return rc > 0 ? 1 : 0;
}

/* Set when the program ends; the thread looks at it after every pause and
 * every record. Ending the thread this way, rather than by cancellation,
 * never leaves it stopped inside a send or a post. */
static INT32 industQueueStop;

void *kelIndustMsgQueRxHandleThread(void *args)
{
    (void)args;
    while (!KEL_LOAD(industQueueStop)) {
        kelSleep(INDUST_QUEUE_PAUSE_MS);
        INT32 queue = -1;
        if (kelAppMsgQueGetID(&queue, KEL_MSG_ID_INDUSTRY) < 0) {
            INDUST_REPORT(KEL_FW_MSGQ_GETID_ERROR);
            continue;
        }
        while (!KEL_LOAD(industQueueStop)) {
            /* Any record is taken off the queue, a longer one cut: one of
             * another kind or size is dropped, never left blocking it. */
            kel_MsgQue_Tx_t rec;
            INT32 bytes = kelAppMsgQueRecvRecord(queue, KEL_MSG_TYPE_TX, &rec, sizeof(rec));
            if (bytes < 0) {
                int err = errno;
                INDUST_REPORT(KEL_FW_MSGQ_RECV_ERROR);
                if (err == EIDRM || err == EINVAL) {
                    break; /* the queue is gone: look it up anew */
                }
                kelSleep(INDUST_QUEUE_PAUSE_MS);
                continue;
            }
            if (KEL_LOAD(industQueueStop)) {
                break; /* the wake-up record of the program's end */
            }
            if (bytes == 0 || industQueueDispatch(&rec, bytes) < 0) {
                INDUST_REPORT(KEL_FW_MSGQ_RECV_ERROR);
            }
        }
    }
    return NULL;
}

void industStopQueueThread(pthread_t thread)
{
    KEL_STORE(industQueueStop, (INT32)1);
    /* A record of no command wakes the thread from its receive. */
    INT32 queue = -1;
    if (kelAppMsgQueGetID(&queue, KEL_MSG_ID_INDUSTRY) > 0) {
        kel_MsgQue_Tx_t wake;
        memset(&wake, 0, sizeof(wake));
        wake.msgType = KEL_MSG_TYPE_TX;
        wake.cmdType = -1;
        (void)kelAppMsgQueDataSend(queue, KEL_MSG_TYPE_TX, &wake);
    }
    pthread_join(thread, NULL);
    KEL_STORE(industQueueStop, (INT32)0);
}
