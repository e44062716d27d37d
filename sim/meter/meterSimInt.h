/*
 * meterSimInt.h - the inside of a MeterSim_t, shared by the link module
 * (meterSimLink.cpp), the startup module (meterSimStartup.cpp) and the
 * screen module (meterSimScreen.cpp). Not for users of the library.
 */
#ifndef METER_SIM_INT_H
#define METER_SIM_INT_H

#include <pthread.h>

#include "meterSim.h"

#define MSIM_PENDING_MAX   8     /* automatic answers waiting to go out */
#define MSIM_SEND_WAIT_MS  2000  /* a send that makes no progress fails */
#define MSIM_POLL_MS       20    /* service thread wake-up */

/* An automatic answer waiting to go out: a whole frame, numbered when it
 * leaves. */
typedef struct {
    uint32_t len;
    uint8_t bytes[MSW_STP_MAX_FRAME];
} MeterSimPending_t;

#define MSIM_PATH_MAX      512

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
    /* Startup link settings and state, guarded by lock. */
    uint32_t stpRandom;
    uint64_t stpUnixTime;
    uint32_t stpAppVersion;
    uint32_t stpKernelVersion;
    int32_t stpDigestMode;
    char appSource[MSIM_PATH_MAX];  /* empty: no delivery */
    char appDest[MSIM_PATH_MAX];
    int32_t deliveries;
    /* Startup service thread only. */
    uint32_t challenge;             /* last challenge sent */
    int32_t bChallenged;            /* on this connection */
    uint32_t randomState;           /* generator of fresh challenges */
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
/* Queues an automatic answer (a whole frame of at most MSW_STP_MAX_FRAME
 * bytes) on a link; it goes out before anything else the link sends.
 * Service thread only. */
void meterSimQueueAnswer(MeterSim_t *sim, int32_t link, const void *frame, uint32_t len);

/* Startup module. The unit's frame in rx (complete, length checked):
 * queues the meter's answers (unless bAnswer is 0: a silent link) and
 * returns the DIGEST check for the record
 * (MSIM_CHECK_NONE for other frames). Service thread of the startup link. */
int32_t meterSimStartupTake(MeterSim_t *sim, const uint8_t *frame, uint32_t len,
                            int32_t bAnswer);
/* A new connection on the startup link: forget the challenge. */
void meterSimStartupReset(MeterSim_t *sim);
/* Settings from the configuration. */
void meterSimStartupInit(MeterSim_t *sim, const MeterSimConfig_t *cfg);
/* The payload of a startup frame as text, for printing. */
void meterSimStartupFormat(const MeterSimRecord_t *rec, char *buf, uint32_t len);
/* Command name of a startup frame. */
const char *meterSimStartupCmdName(int32_t cmdType);

#endif /* METER_SIM_INT_H */
