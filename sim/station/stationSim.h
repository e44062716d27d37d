/*
 * stationSim.h - a factory test station, for tests and for a production
 * engineer trying a unit by hand (kelstationsim).
 *
 * One StationSim_t is one TCP connection to a unit's port 1237: it frames
 * requests with its own transaction counter, answers the unit's challenge
 * with the digest (or, on purpose, a wrong one), waits for the answer of a
 * request, and keeps the spontaneous frames that arrive meanwhile (key
 * events, temperature readings) for later. Single-threaded: one caller per
 * connection.
 *
 * Results: 1 (or a count) for success; 0 the unit closed the connection;
 * -1 bad argument, no connection or socket error; -2 time-out; -3 the unit
 * sent a frame with a wrong magic or an impossible length.
 */
#ifndef STATION_SIM_H
#define STATION_SIM_H

#include <stdint.h>

#include "stationSimWire.h"

#define STATION_EVENT_MAX 64

typedef struct {
    uint32_t length;
    uint32_t transID;
    int32_t msgType;
    int32_t cmdType;
    uint32_t payloadLen;
    uint8_t payload[SSW_PAYLOAD_MAX];
} StationFrame_t;

typedef struct {
    int fd;
    uint32_t transID;
    uint32_t challenge;  /* the last challenge the unit sent */
    uint32_t nEvents;    /* frames kept while waiting for others */
    StationFrame_t events[STATION_EVENT_MAX];
} StationSim_t;

/* How the station answers the unit's challenge. */
enum { STATION_DIGEST_RIGHT = 0, STATION_DIGEST_WRONG = 1 };

#ifdef __cplusplus
extern "C" {
#endif

void stationSimInit(StationSim_t *st);
/* Connects to `addr`:`port`, retrying refused connects until `timeoutMs`
 * (the service may still be starting). 1, or -1. */
int stationSimConnect(StationSim_t *st, const char *addr, uint16_t port, uint32_t timeoutMs);
void stationSimClose(StationSim_t *st);
/* (random * M + 3171547) mod N in 32-bit unsigned arithmetic, with the
 * build's multiplier and modulus. */
uint32_t stationSimDigest(uint32_t random);

/* One frame with the station's next transaction id. 1, or -1. */
int stationSimSend(StationSim_t *st, int32_t msgType, int32_t cmdType, const void *payload,
                   uint32_t len);
/* Bytes exactly as given (misbehaviour on purpose). 1, or -1. */
int stationSimSendRaw(StationSim_t *st, const void *bytes, uint32_t len);
/* The next frame within `timeoutMs` (kept events are not looked at). */
int stationSimRecv(StationSim_t *st, StationFrame_t *f, uint32_t timeoutMs);
/* The next frame of `msgType` and `cmdType` within `timeoutMs`: kept events
 * first, then the wire; other frames are kept as events. */
int stationSimWaitFor(StationSim_t *st, int32_t msgType, int32_t cmdType, StationFrame_t *f,
                      uint32_t timeoutMs);
/* A request and its response (same command, message type response). */
int stationSimRequest(StationSim_t *st, int32_t cmdType, const void *payload, uint32_t len,
                      StationFrame_t *resp, uint32_t timeoutMs);
/* The first payload word of a response (its test result), or -1 when the
 * payload is shorter than a word. */
int32_t stationSimResult(const StationFrame_t *f);
/* The handshake: TEST_REQUEST, the unit's challenge, the answer, the
 * unit's TEST_REQUEST response. 1 when it came with TEST_OK; -2 when it did
 * not come (what a wrong answer gets); other failures as above. */
int stationSimAuthenticate(StationSim_t *st, int digestMode, uint32_t timeoutMs);
/* The oldest kept event, or the next frame from the wire within
 * `timeoutMs`. */
int stationSimNextEvent(StationSim_t *st, StationFrame_t *f, uint32_t timeoutMs);
/* 1 when the unit closes the connection within `timeoutMs` (frames that
 * arrive meanwhile are kept as events), -2 when it is still open. */
int stationSimWaitClosed(StationSim_t *st, uint32_t timeoutMs);

/* Monotonic milliseconds. */
uint64_t stationSimNowMs(void);

#ifdef __cplusplus
}
#endif

#endif /* STATION_SIM_H */
