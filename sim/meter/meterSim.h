/*
 * meterSim.h - a meter on a loopback address, for tests and for the bench.
 *
 * One MeterSim_t serves the screen-and-key link (port 1234), the
 * non-screen link (port 1236) and, when asked to, the startup link (port
 * 1235) as the meter: the unit connects, the simulator answers its GET_DATA
 * and DATA_REQ announcements, runs the startup exchange (challenge with its
 * clock, digest check, expected versions, delivery of a new application
 * file followed by APP_TRANS_DONE), sends screens and commands when asked,
 * keeps the links alive with heartbeats, and records
 * every frame the unit sends with its arrival time (monotonic ms). It can
 * also misbehave on purpose (silence, cut frames, wrong magic, oversize
 * lengths, rectangles that do not fit, stalls).
 *
 * Each link has one service thread (accept, receive, automatic answers and
 * heartbeats); the calls below may come from any thread. Give each instance
 * its own 127.0.0.x address so tests run in parallel.
 *
 * Results: 1 (or a count) for success, negative for failure:
 * -1 bad argument or no connection, -2 time-out, -3 send failed.
 */
#ifndef METER_SIM_H
#define METER_SIM_H

#include <stdint.h>

#include "meterSimWire.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Links. */
enum {
    MSIM_LINK_SCREEN = 0,
    MSIM_LINK_NONSCREEN = 1,
    MSIM_LINK_STARTUP = 2,
    MSIM_NUM_LINKS = 3
};

/* Kinds of recorded events. */
enum {
    MSIM_EV_FRAME = 0,      /* a complete, well-formed frame from the unit */
    MSIM_EV_CONNECT = 1,    /* the unit connected */
    MSIM_EV_CLOSED = 2,     /* the unit closed (nBytes: bytes of a cut frame) */
    MSIM_EV_BAD_MAGIC = 3,  /* the unit sent a wrong magic; link dropped */
    MSIM_EV_BAD_LENGTH = 4  /* the unit sent an impossible length; dropped */
};

/* How the startup link judges the unit's DIGEST. */
enum {
    MSIM_DIGEST_CHECK = 0,   /* VERSION follows a right answer only */
    MSIM_DIGEST_REFUSE = 1,  /* every answer is refused (RESPONSE error) */
    MSIM_DIGEST_ANY = 2      /* every answer is taken */
};

/* The check of a recorded DIGEST frame (MeterSimRecord_t.check). */
enum {
    MSIM_CHECK_NONE = -2,    /* not a DIGEST frame */
    MSIM_CHECK_NO_CHALLENGE = -1,
    MSIM_CHECK_WRONG = 0,
    MSIM_CHECK_RIGHT = 1
};

#define MSIM_ANY         0x7fffffff   /* wildcard for link, kind, cmdType */
#define MSIM_RECORD_CAP  2048         /* events kept; older ones are lost */

typedef struct {
    const char *addr;          /* dotted loopback address, e.g. "127.0.0.5" */
    uint16_t ports[MSIM_NUM_LINKS]; /* 0: the link's standard port */
    uint32_t heartbeatMs;      /* automatic heartbeat interval, 0: none */
    int32_t getDataCode;       /* answer to GET_DATA: MSW_RC_OK / _ERROR */
    int32_t dataReqCode;       /* answer to DATA_REQ */
    int32_t bSilent;           /* both links start silent */
    int32_t bServeStartup;     /* 1: serve the startup link too */
    /* Startup link. */
    uint32_t stpRandom;        /* challenge; 0: a fresh one per DATA_REQ */
    uint64_t stpUnixTime;      /* clock sent with it; 0: the host's clock */
    uint32_t stpAppVersion;    /* VERSION: expected application version */
    uint32_t stpKernelVersion; /* VERSION: expected kernel build */
    int32_t stpDigestMode;     /* MSIM_DIGEST_* */
    /* On STATE APP_UPDATE the file appSource is copied to appDest (a host
     * path, e.g. <sandbox>/usr/ftp/up/kelappclient), made executable, and
     * APP_TRANS_DONE follows. Null appSource: no delivery, no answer. */
    const char *appSource;
    const char *appDest;
} MeterSimConfig_t;

typedef struct {
    uint32_t seq;              /* position in the record, from 0 */
    int32_t link;              /* MSIM_LINK_* */
    int32_t kind;              /* MSIM_EV_* */
    uint32_t conn;             /* connection number on its link, from 1 */
    uint64_t timeMs;           /* arrival, CLOCK_MONOTONIC milliseconds */
    int32_t cmdType;           /* frames: command type, else MSW_*_UNKNOWN */
    uint32_t transID;          /* frames: prefix transaction id */
    uint32_t length;           /* frames: prefix length; bad length: value */
    uint32_t nBytes;           /* bytes kept in bytes[] */
    int32_t check;             /* startup DIGEST: MSIM_CHECK_*; else NONE */
    uint8_t bytes[MSW_MAX_FRAME];
} MeterSimRecord_t;

typedef struct MeterSim MeterSim_t;

/* Fills a configuration with defaults: heartbeats every 2000 ms, GET_DATA
 * and DATA_REQ answered OK, standard ports; startup link not served, and
 * when served: fresh challenges with the host's clock, digests checked,
 * application 1.8 (0x0108) and kernel build 193 expected, no delivery. */
void meterSimDefaultConfig(MeterSimConfig_t *cfg, const char *addr);

/* Binds the links and starts their threads; null on failure. */
MeterSim_t *meterSimStart(const MeterSimConfig_t *cfg);
/* Closes every socket, stops the threads and frees the instance. */
void meterSimStop(MeterSim_t *sim);

/* Monotonic milliseconds, the clock of the record. */
uint64_t meterSimNowMs(void);

/* Behaviour while running. */
void meterSimSetAnswerCodes(MeterSim_t *sim, int32_t getDataCode, int32_t dataReqCode);
void meterSimSetHeartbeat(MeterSim_t *sim, uint32_t intervalMs);
/* A silent link answers nothing and sends no heartbeats (frames are still
 * recorded and explicit sends still go out). */
void meterSimSetSilent(MeterSim_t *sim, int32_t link, int32_t bSilent);
/* Startup link behaviour while running. */
void meterSimSetStartupVersions(MeterSim_t *sim, uint32_t appVersion, uint32_t kernelVersion);
void meterSimSetChallenge(MeterSim_t *sim, uint32_t random, uint64_t unixTime);
void meterSimSetDigestMode(MeterSim_t *sim, int32_t mode);
/* Paths are copied; null appSource switches delivery off. 1 or -1. */
int32_t meterSimSetAppDelivery(MeterSim_t *sim, const char *appSource, const char *appDest);
/* Applications delivered so far (copies that succeeded). */
int32_t meterSimDeliveries(MeterSim_t *sim);
/* The right answer to a challenge: (random * M + 3171547) mod N in 32-bit
 * unsigned arithmetic, M and N from the build. */
uint32_t meterSimDigest(uint32_t random);

/* 1 while the unit is connected on the link. */
int32_t meterSimConnected(MeterSim_t *sim, int32_t link);
/* Closes the current connection of the link (the unit sees the drop). */
int32_t meterSimDrop(MeterSim_t *sim, int32_t link);

/* The record. meterSimMark gives the seq the next event will get; wait
 * for events at or after a mark to ignore older ones. */
uint32_t meterSimMark(MeterSim_t *sim);
/* First event at or after fromSeq matching link, kind and cmdType (each
 * may be MSIM_ANY; cmdType only applies to frames). Returns 1 and fills
 * out (may be null), or -2 after timeoutMs. */
int32_t meterSimWait(MeterSim_t *sim, uint32_t fromSeq, int32_t link, int32_t kind,
                     int32_t cmdType, uint32_t timeoutMs, MeterSimRecord_t *out);
/* Number of matching events at or after fromSeq still in the record. */
int32_t meterSimCount(MeterSim_t *sim, uint32_t fromSeq, int32_t link, int32_t kind,
                      int32_t cmdType);
/* The RESPONSE on a link answering the simulator's frame transID; returns
 * the response code (0 or more) or -2 after timeoutMs. */
int32_t meterSimWaitResponse(MeterSim_t *sim, int32_t link, uint32_t transID,
                             uint32_t timeoutMs);
/* Waits until the unit is connected on the link: 1, or -2. */
int32_t meterSimWaitConnected(MeterSim_t *sim, int32_t link, uint32_t timeoutMs);

/* Non-screen commands. Each stores the frame's transaction id in
 * transIdOut (may be null) so its RESPONSE can be awaited. */
int32_t meterSimSetBrightness(MeterSim_t *sim, uint32_t percent, uint32_t *transIdOut);
int32_t meterSimSetTime(MeterSim_t *sim, uint64_t unixTime, uint32_t *transIdOut);
int32_t meterSimSetStatusLed(MeterSim_t *sim, int32_t colour, const MSW_Pattern_t *pattern,
                             uint32_t *transIdOut);
int32_t meterSimSetAlarmLed(MeterSim_t *sim, const MSW_Pattern_t *pattern,
                            uint32_t *transIdOut);
/* A heartbeat now, on any link. */
int32_t meterSimSendHeartbeat(MeterSim_t *sim, int32_t link);
/* Any frame of the link's protocol with a proper prefix: length is
 * MSW_HEAD_LEN + bodyLen; the next transaction id is used. */
int32_t meterSimSendFrame(MeterSim_t *sim, int32_t link, int32_t cmdType,
                          const void *body, uint32_t bodyLen, uint32_t *transIdOut);

/* Screen. The simulator holds the screen the meter shows, 320 x 240
 * RGB565 in the display's colour order; sending converts to the wire's. */
enum {
    MSIM_PATTERN_BARS = 0,     /* eight vertical colour bars */
    MSIM_PATTERN_CHECKER = 1,  /* 16-pixel black and white squares */
    MSIM_PATTERN_GRADIENT = 2, /* red across, green down, blue diagonal */
    MSIM_PATTERN_SOLID = 3     /* one colour */
};
void meterSimDrawPattern(MeterSim_t *sim, int32_t pattern, uint16_t colour);
void meterSimFillRect(MeterSim_t *sim, int32_t x, int32_t y, int32_t w, int32_t h,
                      uint16_t colour);
/* Loads a P6 PPM (or a PNG where built with PNG) into the screen, top-left
 * aligned, cropped to 320 x 240, black beyond the image. */
int32_t meterSimLoadImage(MeterSim_t *sim, const char *path);
/* The screen as the simulator holds it (320 * 240 pixels). */
const uint16_t *meterSimScreen(MeterSim_t *sim);
/* Sends the screen as rectangles of 64 x 6 pixels: all of them, or only
 * those that differ from what this connection was last sent (a new
 * connection starts white). SCR_FIN follows when bFinish is 1. Returns the
 * number of rectangles sent. */
int32_t meterSimSendScreen(MeterSim_t *sim, int32_t bOnlyChanged, int32_t bFinish);
/* One rectangle as given, unchecked (a rectangle that does not fit is one
 * way to misbehave); pixels in wire order, nPixels at most 384 (rest 0). */
int32_t meterSimSendRect(MeterSim_t *sim, uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                         const uint16_t *wirePixels, uint32_t nPixels);
int32_t meterSimSendScrFin(MeterSim_t *sim);

/* Misbehaviour on purpose. */
/* Raw bytes, no framing. */
int32_t meterSimSendRaw(MeterSim_t *sim, int32_t link, const void *bytes, uint32_t len);
/* A heartbeat whose magic is replaced by badMagic. */
int32_t meterSimSendBadMagic(MeterSim_t *sim, int32_t link, uint32_t badMagic);
/* A heartbeat whose length field says claimedLength; claimedLength bytes
 * follow in total (zero padded), as if the frame were that long. */
int32_t meterSimSendOversize(MeterSim_t *sim, int32_t link, uint32_t claimedLength);
/* The first cutAt bytes of a full FBDATA (screen), SET_TIME (non-screen)
 * or RANDOM (startup) frame, then the connection is closed. */
int32_t meterSimSendCutAndClose(MeterSim_t *sim, int32_t link, uint32_t cutAt);
/* The first splitAt bytes of a heartbeat, a pause of stallMs (during which
 * the link sends nothing else), then the rest. */
int32_t meterSimSendStalled(MeterSim_t *sim, int32_t link, uint32_t splitAt, uint32_t stallMs);

/* Colour order: the wire has red and blue exchanged against the display. */
uint16_t meterSimDisplayToWire(uint16_t pixel);
/* RGB888 to a display pixel: blue in bits 15-11, green 10-5, red 4-0. */
uint16_t meterSimRgb565(uint8_t r, uint8_t g, uint8_t b);

/* Image files into an RGB565 buffer of w x h (display order): top-left
 * aligned, cropped, black beyond the image. 1 or -1. */
int32_t meterSimReadPpm(const char *path, uint16_t *buf, int32_t w, int32_t h);
int32_t meterSimReadPng(const char *path, uint16_t *buf, int32_t w, int32_t h);

/* One line describing an event, for printing. */
void meterSimFormatRecord(const MeterSimRecord_t *rec, char *buf, uint32_t len);

#ifdef __cplusplus
}
#endif

#endif /* METER_SIM_H */
