/*
 * meterSimInt.h - the inside of a MeterSim_t, shared by the link module
 * (meterSimLink.cpp) and the screen module (meterSimScreen.cpp). Not for
 * users of the library.
 */
#ifndef METER_SIM_INT_H
#define METER_SIM_INT_H

#include <pthread.h>

#include "meterSim.h"

#define MSIM_PENDING_MAX   8     /* automatic answers waiting to go out */
#define MSIM_SEND_WAIT_MS  2000  /* a send that makes no progress fails */
#define MSIM_POLL_MS       20    /* service thread wake-up */

typedef struct {
    uint32_t transID;
    int32_t cmdType;
    int32_t respCode;
} MeterSimPending_t;

struct MeterSim;

typedef struct {
    struct MeterSim *owner;
    int32_t id;
    uint16_t port;
    int listenFd;
    /* connFd, transID, bStalling, lastSendMs and pending[] are guarded by
     * sendMutex; only the service thread opens and closes connFd. */
    int connFd;
    uint32_t conn;
    uint32_t transID;
    int32_t bStalling;
    uint64_t lastSendMs;
    pthread_mutex_t sendMutex;
    pthread_cond_t stallCond;
    MeterSimPending_t pending[MSIM_PENDING_MAX];
    uint32_t nPending;
    /* Service thread only. */
    uint8_t rx[MSW_MAX_FRAME];
    uint32_t rxLen;
    uint32_t maxFrame;
    pthread_t thread;
    int32_t bThread;
    /* Guarded by the instance lock. */
    int32_t bSilent;
    int32_t bConnected;
} MeterSimLink_t;

struct MeterSim {
    char addr[16];
    MeterSimLink_t links[MSIM_NUM_LINKS];
    /* lock guards the record, the answer codes, heartbeat and silence. */
    pthread_mutex_t lock;
    pthread_cond_t cond;
    MeterSimRecord_t *ring;
    uint32_t nextSeq;
    uint32_t heartbeatMs;
    int32_t getDataCode;
    int32_t dataReqCode;
    int32_t bStop;                  /* atomic */
    /* screen guards the held screen and what the unit was sent. */
    pthread_mutex_t screenLock;
    uint16_t screen[MSW_SCREEN_W * MSW_SCREEN_H];
    uint16_t sent[MSW_SCREEN_W * MSW_SCREEN_H];
    uint32_t sentConn;              /* connection sent[] belongs to */
};

/* Sends a whole frame on a link: fills the prefix transaction id with the
 * link's next value (when bNumber is 1) under the send mutex. 1, -1 (no
 * connection), -3 (send failed). */
int32_t meterSimLinkSend(MeterSim_t *sim, int32_t link, void *frame, uint32_t len,
                         int32_t bNumber, uint32_t *transIdOut);
/* Connection number of a link (0 before the first). */
uint32_t meterSimLinkConn(MeterSim_t *sim, int32_t link);
/* Fills a frame head. */
void meterSimFillHead(MSW_Head_t *head, uint32_t length, int32_t cmdType);

#endif /* METER_SIM_INT_H */
