/*
 * kelindustrymain.cpp - entry of the factory test service (kelindustry):
 * sets up the device record, starts the industry queue thread and serves
 * the test station on port 1237 until ten minutes pass without a frame.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "kel.h"
#include "kelerror.h"
#include "kelindustry.h"
#include "kelindustsocket.h"

/* Kept beside the send mutex; receiving happens on the main thread only. */
static pthread_mutex_t industRecvMutex;

int main(void)
{
    KEL_DEVICE_INFO *dev = industDevice();
    memset(dev, 0, sizeof(*dev));
    pthread_mutex_init(&industRecvMutex, NULL);
    if (kelInitDevice(dev, KEL_DEVICE_SERVER, KEL_INDUST_PORT, KEL_NAME_INDUSTRY) < 0) {
        /* The service needs none of what failed (screen geometry, stored
         * brightness); it goes on with the fields it uses. */
        printf("kelindustry: device record incomplete\n");
    }
    KEL_STORE(dev->socket, (INT32)-1);
    KEL_STORE(dev->socketState, KEL_SOCKET_INIT);
    KEL_STORE(dev->bDataRequested, KEL_FALSE);

    /* Joinable, so that the end of the program can wait for it. */
    pthread_t queueThread;
    if (pthread_create(&queueThread, NULL, kelIndustMsgQueRxHandleThread, NULL) != 0) {
        kelLogError(KEL_TASK_APP_INDUSTRY, KEL_FILEID_INDUSTRY, __LINE__, KEL_FW_PTHREAD_ERROR);
        return 1;
    }
    printf("kelindustry: serving the test station on port %d\n", KEL_INDUST_PORT);
    fflush(stdout);

    industServeLimits_t limits;
    limits.port = KEL_INDUST_PORT;
    limits.silenceLimitMs = INDUST_SILENCE_MS;
    limits.idleLimitMs = INDUST_IDLE_MS;
    (void)industServe(&limits);

    printf("kelindustry: no traffic for %d minutes, ending\n", INDUST_IDLE_MS / 60000);
    fflush(stdout);
    industStopQueueThread(queueThread);
    pthread_mutex_destroy(&industSendMutex);
    pthread_mutex_destroy(&industRecvMutex);
    return 0;
}
