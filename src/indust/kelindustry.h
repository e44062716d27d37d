/*
 * kelindustry.h - the factory test service program (kelindustry): the
 * serving loop on TCP port 1237 (one station at a time, a newer one takes
 * over), the station's silence limit, the return to normal work mode when
 * a link fails, the industry queue thread that relays the control daemon's
 * temperature readings and key events, and the end after a long time
 * without traffic.
 *
 * The loop's limits are parameters so that they can be tried with short
 * values; the program runs it with the real ones.
 */
#ifndef KEL_INDUSTRY_H
#define KEL_INDUSTRY_H

#include <pthread.h>

#include "kelTypes.h"
#include "kelmsg.h"

#define INDUST_SILENCE_MS 18000 /* a station sends something this often */
#define INDUST_IDLE_MS 600000   /* the service ends after this without a frame */

typedef struct {
    INT32 port;
    UINT32 silenceLimitMs;
    UINT32 idleLimitMs;
} industServeLimits_t;

#ifdef __cplusplus
extern "C" {
#endif

/* The process-wide device record of the service. */
KEL_DEVICE_INFO *industDevice(void);
/* Serves stations on `limits->port` until `limits->idleLimitMs` pass
 * without a received frame; then closes the station's link and returns 0. */
INT32 industServe(const industServeLimits_t *limits);
/* Hands one record taken from the industry queue (`bytes` after its type
 * word) to the station. 1 relayed, 0 nothing to relay or nobody to relay
 * to, -1 a record that is not one of ours (foreign type or size). */
INT32 industQueueDispatch(const kel_MsgQue_Tx_t *msg, INT32 bytes);
/* The industry queue thread; `args` is ignored. */
void *kelIndustMsgQueRxHandleThread(void *args);
/* Ends the queue thread (woken by a record of no command) and joins it. */
void industStopQueueThread(pthread_t thread);

#ifdef __cplusplus
}
#endif

#endif /* KEL_INDUSTRY_H */
