/*
 * meterSimLink.cpp - the meter side of the links: listening sockets on the
 * simulator's loopback address, one service thread per link (accept,
 * receive and record the unit's frames, answer GET_DATA and DATA_REQ, hand
 * startup frames to the startup module for its answers, send heartbeats),
 * the record with its wait helpers, and the senders of non-screen commands
 * and of deliberately broken frames. Callers are tests and the kelmetersim
 * program, through meterSim.h.
 */
#include "meterSimInt.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static const uint16_t standardPorts[MSIM_NUM_LINKS] = {MSW_FB_PORT, MSW_NS_PORT, MSW_STP_PORT};

#define MSIM_MAX_CLAIMED   65536u   /* largest oversize frame we will build */

uint64_t meterSimNowMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)(ts.tv_nsec / 1000000);
}

static int32_t stopRequested(MeterSim_t *sim)
{
    return __atomic_load_n(&sim->bStop, __ATOMIC_RELAXED);
}

static int32_t validLink(int32_t link)
{
    return link == MSIM_LINK_SCREEN || link == MSIM_LINK_NONSCREEN ||
           link == MSIM_LINK_STARTUP;
}

void meterSimFillHead(MSW_Head_t *head, uint32_t length, int32_t cmdType)
{
    head->header = MSW_MAGIC;
    head->length = length;
    head->transID = 0;
    head->cmdType = cmdType;
}

static int32_t heartbeatCmd(int32_t link)
{
    if (link == MSIM_LINK_SCREEN)
        return MSW_FB_HEARTBEAT;
    if (link == MSIM_LINK_STARTUP)
        return MSW_STP_HEARTBEAT;
    return MSW_NS_HEARTBEAT;
}

/* ---- the record ---- */

static void recordChecked(MeterSim_t *sim, int32_t link, int32_t kind, uint32_t conn,
                          const uint8_t *bytes, uint32_t nBytes, uint32_t length,
                          int32_t check)
{
    pthread_mutex_lock(&sim->lock);
    MeterSimRecord_t *rec = &sim->ring[sim->nextSeq % MSIM_RECORD_CAP];
    memset(rec, 0, sizeof(*rec));
    rec->seq = sim->nextSeq++;
    rec->link = link;
    rec->kind = kind;
    rec->conn = conn;
    rec->timeMs = meterSimNowMs();
    rec->cmdType = -1;
    rec->length = length;
    rec->check = check;
    if (nBytes > MSW_MAX_FRAME)
        nBytes = MSW_MAX_FRAME;
    if (bytes != NULL && nBytes > 0)
        memcpy(rec->bytes, bytes, nBytes);
    rec->nBytes = nBytes;
    if (kind == MSIM_EV_FRAME && nBytes >= MSW_HEAD_LEN) {
        MSW_Head_t head;
        memcpy(&head, bytes, sizeof(head));
        rec->transID = head.transID;
        rec->cmdType = head.cmdType;
    }
    if (kind == MSIM_EV_CONNECT)
        sim->links[link].bConnected = 1;
    if (kind != MSIM_EV_FRAME && kind != MSIM_EV_CONNECT)
        sim->links[link].bConnected = 0;
    pthread_cond_broadcast(&sim->cond);
    pthread_mutex_unlock(&sim->lock);
}

static void recordEvent(MeterSim_t *sim, int32_t link, int32_t kind, uint32_t conn,
                        const uint8_t *bytes, uint32_t nBytes, uint32_t length)
{
    recordChecked(sim, link, kind, conn, bytes, nBytes, length, MSIM_CHECK_NONE);
}

static int32_t recordMatches(const MeterSimRecord_t *rec, int32_t link, int32_t kind,
                             int32_t cmdType)
{
    if (link != MSIM_ANY && rec->link != link)
        return 0;
    if (kind != MSIM_ANY && rec->kind != kind)
        return 0;
    if (cmdType != MSIM_ANY && (rec->kind != MSIM_EV_FRAME || rec->cmdType != cmdType))
        return 0;
    return 1;
}

/* Oldest seq still held. Caller holds the lock. */
static uint32_t oldestSeq(MeterSim_t *sim, uint32_t fromSeq)
{
    uint32_t oldest = sim->nextSeq > MSIM_RECORD_CAP ? sim->nextSeq - MSIM_RECORD_CAP : 0;
    return fromSeq > oldest ? fromSeq : oldest;
}

uint32_t meterSimMark(MeterSim_t *sim)
{
    pthread_mutex_lock(&sim->lock);
    uint32_t seq = sim->nextSeq;
    pthread_mutex_unlock(&sim->lock);
    return seq;
}

static void deadlineFrom(uint32_t timeoutMs, struct timespec *ts)
{
    clock_gettime(CLOCK_MONOTONIC, ts);
    ts->tv_sec += timeoutMs / 1000u;
    ts->tv_nsec += (long)(timeoutMs % 1000u) * 1000000L;
    if (ts->tv_nsec >= 1000000000L) {
        ts->tv_sec += 1;
        ts->tv_nsec -= 1000000000L;
    }
}

int32_t meterSimWait(MeterSim_t *sim, uint32_t fromSeq, int32_t link, int32_t kind,
                     int32_t cmdType, uint32_t timeoutMs, MeterSimRecord_t *out)
{
    if (sim == NULL)
        return -1;
    struct timespec deadline;
    deadlineFrom(timeoutMs, &deadline);
    pthread_mutex_lock(&sim->lock);
    for (;;) {
        for (uint32_t s = oldestSeq(sim, fromSeq); s < sim->nextSeq; s++) {
            const MeterSimRecord_t *rec = &sim->ring[s % MSIM_RECORD_CAP];
            if (!recordMatches(rec, link, kind, cmdType))
                continue;
            if (out != NULL)
                *out = *rec;
            pthread_mutex_unlock(&sim->lock);
            return 1;
        }
        fromSeq = sim->nextSeq;
        if (pthread_cond_timedwait(&sim->cond, &sim->lock, &deadline) == ETIMEDOUT) {
            pthread_mutex_unlock(&sim->lock);
            return -2;
        }
    }
}

int32_t meterSimCount(MeterSim_t *sim, uint32_t fromSeq, int32_t link, int32_t kind,
                      int32_t cmdType)
{
    if (sim == NULL)
        return -1;
    int32_t count = 0;
    pthread_mutex_lock(&sim->lock);
    for (uint32_t s = oldestSeq(sim, fromSeq); s < sim->nextSeq; s++)
        count += recordMatches(&sim->ring[s % MSIM_RECORD_CAP], link, kind, cmdType);
    pthread_mutex_unlock(&sim->lock);
    return count;
}

int32_t meterSimWaitResponse(MeterSim_t *sim, int32_t link, uint32_t transID,
                             uint32_t timeoutMs)
{
    if (sim == NULL || !validLink(link))
        return -1;
    uint64_t end = meterSimNowMs() + timeoutMs;
    uint32_t seq = 0;
    for (;;) {
        uint64_t now = meterSimNowMs();
        if (now >= end)
            return -2;
        MeterSimRecord_t rec;
        if (meterSimWait(sim, seq, link, MSIM_EV_FRAME, MSW_NS_RESPONSE,
                         (uint32_t)(end - now), &rec) != 1)
            return -2;
        seq = rec.seq + 1;
        if (rec.nBytes < sizeof(MSW_RespFrame_t))
            continue;
        MSW_RespFrame_t frame;
        memcpy(&frame, rec.bytes, sizeof(frame));
        if (frame.resp.transID == transID)
            return frame.resp.respCode < 0 ? 0 : frame.resp.respCode;
    }
}

int32_t meterSimWaitConnected(MeterSim_t *sim, int32_t link, uint32_t timeoutMs)
{
    if (sim == NULL || !validLink(link))
        return -1;
    struct timespec deadline;
    deadlineFrom(timeoutMs, &deadline);
    pthread_mutex_lock(&sim->lock);
    while (!sim->links[link].bConnected) {
        if (pthread_cond_timedwait(&sim->cond, &sim->lock, &deadline) == ETIMEDOUT) {
            pthread_mutex_unlock(&sim->lock);
            return -2;
        }
    }
    pthread_mutex_unlock(&sim->lock);
    return 1;
}

int32_t meterSimConnected(MeterSim_t *sim, int32_t link)
{
    if (sim == NULL || !validLink(link))
        return -1;
    pthread_mutex_lock(&sim->lock);
    int32_t connected = sim->links[link].bConnected;
    pthread_mutex_unlock(&sim->lock);
    return connected;
}

/* ---- sending ---- */

/* Writes all of len bytes to a non-blocking socket, waiting for room. */
static int32_t sendAll(int fd, const uint8_t *bytes, uint32_t len)
{
    uint32_t done = 0;
    uint64_t start = meterSimNowMs();
    while (done < len) {
        ssize_t n = send(fd, bytes + done, len - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += (uint32_t)n;
            start = meterSimNowMs();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -3;
        if (meterSimNowMs() - start > MSIM_SEND_WAIT_MS)
            return -3;
        struct pollfd pfd = {fd, POLLOUT, 0};
        poll(&pfd, 1, 100);
    }
    return 1;
}

/* Takes the send mutex once no stall is under way. */
static void lockForSend(MeterSimLink_t *lk)
{
    pthread_mutex_lock(&lk->sendMutex);
    while (lk->bStalling)
        pthread_cond_wait(&lk->stallCond, &lk->sendMutex);
}

/* Sends one frame, numbering it with the link's next transaction id when
 * bNumber is 1. Caller holds the send mutex. */
static int32_t sendNumbered(MeterSimLink_t *lk, void *frame, uint32_t len, int32_t bNumber,
                            uint32_t *transIdOut)
{
    if (lk->connFd < 0)
        return -1;
    if (bNumber && len >= MSW_PREFIX_LEN) {
        uint32_t id = lk->transID++;
        memcpy((uint8_t *)frame + 8, &id, sizeof(id));
        if (transIdOut != NULL)
            *transIdOut = id;
    }
    int32_t rc = sendAll(lk->connFd, (const uint8_t *)frame, len);
    if (rc == 1)
        lk->lastSendMs = meterSimNowMs();
    return rc;
}

/* Answers to the unit's announcements leave before anything else the
 * meter sends, so a caller reacting to a recorded GET_DATA or DATA_REQ
 * never overtakes the answer. Caller holds the send mutex. */
static void flushPending(MeterSimLink_t *lk)
{
    for (uint32_t i = 0; i < lk->nPending; i++)
        sendNumbered(lk, lk->pending[i].bytes, lk->pending[i].len, 1, NULL);
    lk->nPending = 0;
}

static int32_t sendLocked(MeterSimLink_t *lk, void *frame, uint32_t len, int32_t bNumber,
                          uint32_t *transIdOut)
{
    flushPending(lk);
    return sendNumbered(lk, frame, len, bNumber, transIdOut);
}

int32_t meterSimLinkSend(MeterSim_t *sim, int32_t link, void *frame, uint32_t len,
                         int32_t bNumber, uint32_t *transIdOut)
{
    if (sim == NULL || !validLink(link) || frame == NULL || len == 0)
        return -1;
    MeterSimLink_t *lk = &sim->links[link];
    lockForSend(lk);
    int32_t rc = sendLocked(lk, frame, len, bNumber, transIdOut);
    pthread_mutex_unlock(&lk->sendMutex);
    return rc;
}

uint32_t meterSimLinkConn(MeterSim_t *sim, int32_t link)
{
    MeterSimLink_t *lk = &sim->links[link];
    pthread_mutex_lock(&lk->sendMutex);
    uint32_t conn = lk->connFd >= 0 ? lk->conn : 0;
    pthread_mutex_unlock(&lk->sendMutex);
    return conn;
}

int32_t meterSimSendFrame(MeterSim_t *sim, int32_t link, int32_t cmdType, const void *body,
                          uint32_t bodyLen, uint32_t *transIdOut)
{
    uint8_t frame[MSW_MAX_FRAME];
    if (bodyLen > sizeof(frame) - MSW_HEAD_LEN || (bodyLen > 0 && body == NULL))
        return -1;
    MSW_Head_t head;
    meterSimFillHead(&head, MSW_HEAD_LEN + bodyLen, cmdType);
    memcpy(frame, &head, sizeof(head));
    if (bodyLen > 0)
        memcpy(frame + MSW_HEAD_LEN, body, bodyLen);
    return meterSimLinkSend(sim, link, frame, MSW_HEAD_LEN + bodyLen, 1, transIdOut);
}

int32_t meterSimSetBrightness(MeterSim_t *sim, uint32_t percent, uint32_t *transIdOut)
{
    return meterSimSendFrame(sim, MSIM_LINK_NONSCREEN, MSW_NS_SET_BRIGHTNESS, &percent,
                             sizeof(percent), transIdOut);
}

int32_t meterSimSetTime(MeterSim_t *sim, uint64_t unixTime, uint32_t *transIdOut)
{
    return meterSimSendFrame(sim, MSIM_LINK_NONSCREEN, MSW_NS_SET_TIME, &unixTime,
                             sizeof(unixTime), transIdOut);
}

int32_t meterSimSetStatusLed(MeterSim_t *sim, int32_t colour, const MSW_Pattern_t *pattern,
                             uint32_t *transIdOut)
{
    if (pattern == NULL)
        return -1;
    MSW_StatusLed_t body;
    body.colour = colour;
    body.pattern = *pattern;
    return meterSimSendFrame(sim, MSIM_LINK_NONSCREEN, MSW_NS_SET_STATUS_LED, &body,
                             sizeof(body), transIdOut);
}

int32_t meterSimSetAlarmLed(MeterSim_t *sim, const MSW_Pattern_t *pattern,
                            uint32_t *transIdOut)
{
    if (pattern == NULL)
        return -1;
    return meterSimSendFrame(sim, MSIM_LINK_NONSCREEN, MSW_NS_SET_ALARM_LED, pattern,
                             sizeof(*pattern), transIdOut);
}

int32_t meterSimSendHeartbeat(MeterSim_t *sim, int32_t link)
{
    if (!validLink(link))
        return -1;
    return meterSimSendFrame(sim, link, heartbeatCmd(link), NULL, 0, NULL);
}

/* ---- misbehaviour ---- */

int32_t meterSimSendRaw(MeterSim_t *sim, int32_t link, const void *bytes, uint32_t len)
{
    return meterSimLinkSend(sim, link, (void *)bytes, len, 0, NULL);
}

int32_t meterSimSendBadMagic(MeterSim_t *sim, int32_t link, uint32_t badMagic)
{
    if (!validLink(link))
        return -1;
    MSW_Head_t head;
    meterSimFillHead(&head, MSW_HEAD_LEN, heartbeatCmd(link));
    head.header = badMagic;
    return meterSimLinkSend(sim, link, &head, sizeof(head), 1, NULL);
}

int32_t meterSimSendOversize(MeterSim_t *sim, int32_t link, uint32_t claimedLength)
{
    if (!validLink(link) || claimedLength > MSIM_MAX_CLAIMED)
        return -1;
    uint32_t len = claimedLength < MSW_HEAD_LEN ? MSW_HEAD_LEN : claimedLength;
    uint8_t *frame = (uint8_t *)calloc(1, len);
    if (frame == NULL)
        return -1;
    MSW_Head_t head;
    meterSimFillHead(&head, claimedLength, heartbeatCmd(link));
    memcpy(frame, &head, sizeof(head));
    int32_t rc = meterSimLinkSend(sim, link, frame, len, 1, NULL);
    free(frame);
    return rc;
}

int32_t meterSimSendCutAndClose(MeterSim_t *sim, int32_t link, uint32_t cutAt)
{
    if (sim == NULL || !validLink(link))
        return -1;
    MSW_RectFrame_t rect;
    MSW_TimeFrame_t time;
    MSW_StpRandomFrame_t random;
    uint8_t *frame;
    uint32_t len;
    memset(&rect, 0, sizeof(rect));
    memset(&time, 0, sizeof(time));
    memset(&random, 0, sizeof(random));
    if (link == MSIM_LINK_STARTUP) {
        meterSimFillHead(&random.head, sizeof(random), MSW_STP_RANDOM);
        random.challenge.random = 12345u;
        random.challenge.unixTime = 1700000000u;
        frame = (uint8_t *)&random;
        len = sizeof(random);
    } else if (link == MSIM_LINK_SCREEN) {
        meterSimFillHead(&rect.head, sizeof(rect), MSW_FB_FBDATA);
        rect.rect.w = 64;
        rect.rect.h = 6;
        frame = (uint8_t *)&rect;
        len = sizeof(rect);
    } else {
        meterSimFillHead(&time.head, sizeof(time), MSW_NS_SET_TIME);
        time.unixTime = 1700000000u;
        frame = (uint8_t *)&time;
        len = sizeof(time);
    }
    if (cutAt > len)
        cutAt = len;
    MeterSimLink_t *lk = &sim->links[link];
    lockForSend(lk);
    int32_t rc = -1;
    if (lk->connFd >= 0) {
        flushPending(lk);
        uint32_t id = lk->transID++;
        memcpy(frame + 8, &id, sizeof(id));
        rc = cutAt > 0 ? sendAll(lk->connFd, frame, cutAt) : 1;
        /* The service thread sees the end and closes the descriptor. */
        shutdown(lk->connFd, SHUT_RDWR);
    }
    pthread_mutex_unlock(&lk->sendMutex);
    return rc;
}

int32_t meterSimSendStalled(MeterSim_t *sim, int32_t link, uint32_t splitAt, uint32_t stallMs)
{
    if (sim == NULL || !validLink(link))
        return -1;
    MSW_Head_t head;
    meterSimFillHead(&head, MSW_HEAD_LEN, heartbeatCmd(link));
    if (splitAt > sizeof(head))
        splitAt = sizeof(head);
    MeterSimLink_t *lk = &sim->links[link];
    lockForSend(lk);
    if (lk->connFd < 0) {
        pthread_mutex_unlock(&lk->sendMutex);
        return -1;
    }
    flushPending(lk);
    head.transID = lk->transID++;
    int fd = lk->connFd;
    int32_t rc = splitAt > 0 ? sendAll(fd, (const uint8_t *)&head, splitAt) : 1;
    lk->bStalling = 1;
    pthread_mutex_unlock(&lk->sendMutex);

    /* Nothing else leaves this link during the pause: other senders wait
     * for the stall to end, the service thread holds its answers back. */
    struct timespec ts = {(time_t)(stallMs / 1000u), (long)(stallMs % 1000u) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }

    pthread_mutex_lock(&lk->sendMutex);
    if (rc == 1 && lk->connFd == fd && splitAt < sizeof(head))
        rc = sendAll(fd, (const uint8_t *)&head + splitAt, sizeof(head) - splitAt);
    else if (lk->connFd != fd)
        rc = -3;
    if (rc == 1)
        lk->lastSendMs = meterSimNowMs();
    lk->bStalling = 0;
    flushPending(lk);
    pthread_cond_broadcast(&lk->stallCond);
    pthread_mutex_unlock(&lk->sendMutex);
    return rc;
}

int32_t meterSimDrop(MeterSim_t *sim, int32_t link)
{
    if (sim == NULL || !validLink(link))
        return -1;
    MeterSimLink_t *lk = &sim->links[link];
    pthread_mutex_lock(&lk->sendMutex);
    int32_t rc = -1;
    if (lk->connFd >= 0) {
        shutdown(lk->connFd, SHUT_RDWR);
        rc = 1;
    }
    pthread_mutex_unlock(&lk->sendMutex);
    return rc;
}

/* ---- settings ---- */

void meterSimSetAnswerCodes(MeterSim_t *sim, int32_t getDataCode, int32_t dataReqCode)
{
    pthread_mutex_lock(&sim->lock);
    sim->getDataCode = getDataCode;
    sim->dataReqCode = dataReqCode;
    pthread_mutex_unlock(&sim->lock);
}

void meterSimSetHeartbeat(MeterSim_t *sim, uint32_t intervalMs)
{
    pthread_mutex_lock(&sim->lock);
    sim->heartbeatMs = intervalMs;
    pthread_mutex_unlock(&sim->lock);
}

void meterSimSetSilent(MeterSim_t *sim, int32_t link, int32_t bSilent)
{
    if (!validLink(link))
        return;
    pthread_mutex_lock(&sim->lock);
    sim->links[link].bSilent = bSilent ? 1 : 0;
    pthread_mutex_unlock(&sim->lock);
}

/* ---- service thread ---- */

static void closeConn(MeterSim_t *sim, MeterSimLink_t *lk, int32_t kind)
{
    pthread_mutex_lock(&lk->sendMutex);
    int fd = lk->connFd;
    lk->connFd = -1;
    lk->nPending = 0;
    pthread_mutex_unlock(&lk->sendMutex);
    if (fd < 0)
        return;
    close(fd);
    if (kind == MSIM_EV_CLOSED)
        recordEvent(sim, lk->id, kind, lk->conn, lk->rx, lk->rxLen, 0);
    lk->rxLen = 0;
}

static void acceptConn(MeterSim_t *sim, MeterSimLink_t *lk)
{
    /* Close-on-exec: programs a test starts must not hold the meter's
     * connections (or listeners) open after the simulator let them go. */
    int fd = accept4(lk->listenFd, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        close(fd);
        return;
    }
    /* The unit reconnects only after giving up the old connection; a new
     * one replaces whatever is left of the old. */
    closeConn(sim, lk, MSIM_EV_CLOSED);
    pthread_mutex_lock(&lk->sendMutex);
    lk->connFd = fd;
    lk->conn++;
    lk->lastSendMs = meterSimNowMs();
    lk->nPending = 0;
    pthread_mutex_unlock(&lk->sendMutex);
    lk->rxLen = 0;
    if (lk->id == MSIM_LINK_STARTUP)
        meterSimStartupReset(sim);
    recordEvent(sim, lk->id, MSIM_EV_CONNECT, lk->conn, NULL, 0, 0);
}

void meterSimQueueAnswer(MeterSim_t *sim, int32_t link, const void *frame, uint32_t len)
{
    if (sim == NULL || !validLink(link) || frame == NULL || len < MSW_PREFIX_LEN ||
        len > MSW_STP_MAX_FRAME)
        return;
    MeterSimLink_t *lk = &sim->links[link];
    pthread_mutex_lock(&lk->sendMutex);
    if (lk->nPending < MSIM_PENDING_MAX) {
        memcpy(lk->pending[lk->nPending].bytes, frame, len);
        lk->pending[lk->nPending].len = len;
        lk->nPending++;
    }
    if (!lk->bStalling)   /* else they follow the stalled frame */
        flushPending(lk);
    pthread_mutex_unlock(&lk->sendMutex);
}

static void queueResponse(MeterSim_t *sim, MeterSimLink_t *lk, const MSW_Head_t *head,
                          int32_t code)
{
    MSW_RespFrame_t frame;
    meterSimFillHead(&frame.head, sizeof(frame), MSW_NS_RESPONSE);
    frame.resp.transID = head->transID;
    frame.resp.cmdType = head->cmdType;
    frame.resp.respCode = code;
    meterSimQueueAnswer(sim, lk->id, &frame, sizeof(frame));
}

/* A complete frame sits in rx: answer it when it is an announcement (the
 * answer is on the wire before the frame shows in the record), then
 * record it. */
static void takeFrame(MeterSim_t *sim, MeterSimLink_t *lk)
{
    MSW_Head_t head;
    memcpy(&head, lk->rx, sizeof(head));

    pthread_mutex_lock(&sim->lock);
    int32_t silent = lk->bSilent;
    int32_t getDataCode = sim->getDataCode;
    int32_t dataReqCode = sim->dataReqCode;
    pthread_mutex_unlock(&sim->lock);
    int32_t bAnswer = 0;
    int32_t code = 0;
    if (lk->id == MSIM_LINK_NONSCREEN && head.cmdType == MSW_NS_GET_DATA) {
        bAnswer = 1;
        code = getDataCode;
    }
    if (lk->id == MSIM_LINK_SCREEN && head.cmdType == MSW_FB_DATA_REQ) {
        bAnswer = 1;
        code = dataReqCode;
    }
    if (bAnswer && !silent)
        queueResponse(sim, lk, &head, code);
    int32_t check = MSIM_CHECK_NONE;
    if (lk->id == MSIM_LINK_STARTUP)
        check = meterSimStartupTake(sim, lk->rx, lk->rxLen, !silent);
    recordChecked(sim, lk->id, MSIM_EV_FRAME, lk->conn, lk->rx, lk->rxLen, head.length, check);
    lk->rxLen = 0;
}

/* Bytes still needed for the part of the frame being read. */
static uint32_t bytesWanted(const MeterSimLink_t *lk)
{
    if (lk->rxLen < 8)
        return 8 - lk->rxLen;
    uint32_t length;
    memcpy(&length, lk->rx + 4, sizeof(length));
    return length - lk->rxLen;
}

/* Reads what the socket has; returns -1 once the connection is gone. */
static int32_t readConn(MeterSim_t *sim, MeterSimLink_t *lk)
{
    for (;;) {
        uint32_t want = bytesWanted(lk);
        ssize_t n = recv(lk->connFd, lk->rx + lk->rxLen, want, 0);
        if (n == 0) {
            closeConn(sim, lk, MSIM_EV_CLOSED);
            return -1;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return 1;
            closeConn(sim, lk, MSIM_EV_CLOSED);
            return -1;
        }
        lk->rxLen += (uint32_t)n;
        if (lk->rxLen >= 4) {
            uint32_t magic;
            memcpy(&magic, lk->rx, sizeof(magic));
            if (magic != MSW_MAGIC) {
                recordEvent(sim, lk->id, MSIM_EV_BAD_MAGIC, lk->conn, lk->rx, lk->rxLen, 0);
                closeConn(sim, lk, MSIM_EV_BAD_MAGIC);
                return -1;
            }
        }
        if (lk->rxLen == 8) {
            uint32_t length;
            memcpy(&length, lk->rx + 4, sizeof(length));
            /* Checked before a single byte more is read into rx. */
            if (length < MSW_HEAD_LEN || length > lk->maxFrame) {
                recordEvent(sim, lk->id, MSIM_EV_BAD_LENGTH, lk->conn, lk->rx, lk->rxLen,
                            length);
                closeConn(sim, lk, MSIM_EV_BAD_LENGTH);
                return -1;
            }
        }
        if (lk->rxLen >= 8 && bytesWanted(lk) == 0)
            takeFrame(sim, lk);
    }
}

/* Automatic sends: pending answers, then a heartbeat when due. */
static void autoSend(MeterSim_t *sim, MeterSimLink_t *lk)
{
    pthread_mutex_lock(&sim->lock);
    int32_t silent = lk->bSilent;
    uint32_t heartbeatMs = sim->heartbeatMs;
    pthread_mutex_unlock(&sim->lock);

    pthread_mutex_lock(&lk->sendMutex);
    if (lk->connFd < 0 || lk->bStalling) {
        pthread_mutex_unlock(&lk->sendMutex);
        return;
    }
    flushPending(lk);
    if (!silent && heartbeatMs > 0 && meterSimNowMs() - lk->lastSendMs >= heartbeatMs) {
        MSW_Head_t head;
        meterSimFillHead(&head, MSW_HEAD_LEN, heartbeatCmd(lk->id));
        sendLocked(lk, &head, sizeof(head), 1, NULL);
    }
    pthread_mutex_unlock(&lk->sendMutex);
}

static void *linkThread(void *arg)
{
    MeterSimLink_t *lk = (MeterSimLink_t *)arg;
    MeterSim_t *sim = lk->owner;
    while (!stopRequested(sim)) {
        struct pollfd pfd[2];
        pfd[0].fd = lk->listenFd;
        pfd[0].events = POLLIN;
        pfd[0].revents = 0;
        pfd[1].fd = lk->connFd;   /* only this thread changes it */
        pfd[1].events = POLLIN;
        pfd[1].revents = 0;
        int n = poll(pfd, lk->connFd >= 0 ? 2 : 1, MSIM_POLL_MS);
        if (n < 0 && errno != EINTR)
            break;
        if (n > 0 && (pfd[0].revents & POLLIN))
            acceptConn(sim, lk);
        else if (n > 0 && lk->connFd >= 0 && pfd[1].revents != 0)
            readConn(sim, lk);
        autoSend(sim, lk);
    }
    closeConn(sim, lk, MSIM_EV_CLOSED);
    return NULL;
}

/* ---- start and stop ---- */

void meterSimDefaultConfig(MeterSimConfig_t *cfg, const char *addr)
{
    memset(cfg, 0, sizeof(*cfg));
    cfg->addr = addr;
    cfg->heartbeatMs = 2000;
    cfg->getDataCode = MSW_RC_OK;
    cfg->dataReqCode = MSW_RC_OK;
    cfg->stpAppVersion = 0x0108;
    cfg->stpKernelVersion = 193;
    cfg->stpDigestMode = MSIM_DIGEST_CHECK;
}

static int openListener(const char *addr, uint16_t port)
{
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1)
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    int flags;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) < 0 ||
        bind(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0 || listen(fd, 5) < 0 ||
        (flags = fcntl(fd, F_GETFL, 0)) < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static void initLink(MeterSim_t *sim, MeterSimLink_t *lk, int32_t id, uint16_t port)
{
    memset(lk, 0, sizeof(*lk));
    lk->owner = sim;
    lk->id = id;
    lk->port = port != 0 ? port : standardPorts[id];
    lk->listenFd = -1;
    lk->connFd = -1;
    lk->maxFrame = MSW_FB_MAX_FRAME;
    if (id == MSIM_LINK_NONSCREEN)
        lk->maxFrame = MSW_NS_MAX_FRAME;
    if (id == MSIM_LINK_STARTUP)
        lk->maxFrame = MSW_STP_MAX_FRAME;
    pthread_mutex_init(&lk->sendMutex, NULL);
    pthread_cond_init(&lk->stallCond, NULL);
}

MeterSim_t *meterSimStart(const MeterSimConfig_t *cfg)
{
    if (cfg == NULL || cfg->addr == NULL || strlen(cfg->addr) >= 16)
        return NULL;
    MeterSim_t *sim = (MeterSim_t *)calloc(1, sizeof(MeterSim_t));
    if (sim == NULL)
        return NULL;
    sim->ring = (MeterSimRecord_t *)calloc(MSIM_RECORD_CAP, sizeof(MeterSimRecord_t));
    if (sim->ring == NULL) {
        free(sim);
        return NULL;
    }
    snprintf(sim->addr, sizeof(sim->addr), "%s", cfg->addr);
    sim->heartbeatMs = cfg->heartbeatMs;
    sim->getDataCode = cfg->getDataCode;
    sim->dataReqCode = cfg->dataReqCode;
    pthread_mutex_init(&sim->lock, NULL);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&sim->cond, &ca);
    pthread_condattr_destroy(&ca);
    pthread_mutex_init(&sim->screenLock, NULL);
    for (uint32_t i = 0; i < MSW_SCREEN_W * MSW_SCREEN_H; i++) {
        sim->screen[i] = 0xFFFF;
        sim->sent[i] = 0xFFFF;
    }
    for (int32_t i = 0; i < MSIM_NUM_LINKS; i++) {
        initLink(sim, &sim->links[i], i, cfg->ports[i]);
        sim->links[i].bSilent = cfg->bSilent ? 1 : 0;
    }

    meterSimStartupInit(sim, cfg);

    int32_t ok = 1;
    int32_t lastLink = cfg->bServeStartup ? MSIM_LINK_STARTUP : MSIM_LINK_NONSCREEN;
    for (int32_t i = MSIM_LINK_SCREEN; i <= lastLink && ok; i++) {
        MeterSimLink_t *lk = &sim->links[i];
        lk->listenFd = openListener(sim->addr, lk->port);
        if (lk->listenFd < 0)
            ok = 0;
        else if (pthread_create(&lk->thread, NULL, linkThread, lk) != 0)
            ok = 0;
        else
            lk->bThread = 1;
    }
    if (!ok) {
        meterSimStop(sim);
        return NULL;
    }
    return sim;
}

void meterSimStop(MeterSim_t *sim)
{
    if (sim == NULL)
        return;
    __atomic_store_n(&sim->bStop, 1, __ATOMIC_RELAXED);
    for (int32_t i = 0; i < MSIM_NUM_LINKS; i++) {
        MeterSimLink_t *lk = &sim->links[i];
        if (lk->bThread)
            pthread_join(lk->thread, NULL);
        if (lk->connFd >= 0)
            close(lk->connFd);
        if (lk->listenFd >= 0)
            close(lk->listenFd);
        pthread_mutex_destroy(&lk->sendMutex);
        pthread_cond_destroy(&lk->stallCond);
    }
    pthread_mutex_destroy(&sim->lock);
    pthread_cond_destroy(&sim->cond);
    pthread_mutex_destroy(&sim->screenLock);
    free(sim->ring);
    free(sim);
}

/* ---- printing ---- */

static const char *cmdName(int32_t link, int32_t cmdType)
{
    static const char *const ns[] = {"RESPONSE",    "SET_BRIGHTNESS", "SET_TIME",
                                     "SET_STATUS_LED", "SET_ALARM_LED", "GET_TEMPERATURE",
                                     "GET_ERROR",   "GET_DATA",       "HEARTBEAT"};
    static const char *const fb[] = {"RESPONSE", "DATA_REQ", "FBDATA",
                                     "SCR_FIN",  "KEYEVENT", "HEARTBEAT"};
    if (link == MSIM_LINK_NONSCREEN && cmdType >= 0 && cmdType <= MSW_NS_HEARTBEAT)
        return ns[cmdType];
    if (link == MSIM_LINK_SCREEN && cmdType >= 0 && cmdType <= MSW_FB_HEARTBEAT)
        return fb[cmdType];
    if (link == MSIM_LINK_STARTUP)
        return meterSimStartupCmdName(cmdType);
    return "UNKNOWN";
}

/* The payload of a frame the unit sends, as text. */
static void formatBody(const MeterSimRecord_t *rec, char *buf, uint32_t len)
{
    buf[0] = '\0';
    if (rec->link == MSIM_LINK_STARTUP) {
        meterSimStartupFormat(rec, buf, len);
        return;
    }
    const uint8_t *body = rec->bytes + MSW_HEAD_LEN;
    uint32_t bodyLen = rec->nBytes > MSW_HEAD_LEN ? rec->nBytes - MSW_HEAD_LEN : 0;
    if (rec->cmdType == MSW_NS_RESPONSE && bodyLen >= sizeof(MSW_Response_t)) {
        MSW_Response_t r;
        memcpy(&r, body, sizeof(r));
        snprintf(buf, len, " answers trans %u cmd %s code %d", r.transID,
                 cmdName(rec->link, r.cmdType), r.respCode);
    } else if (rec->link == MSIM_LINK_SCREEN && rec->cmdType == MSW_FB_DATA_REQ &&
               bodyLen >= sizeof(MSW_DataReq_t)) {
        MSW_DataReq_t r;
        memcpy(&r, body, sizeof(r));
        snprintf(buf, len, " %ux%u bpp %u", r.width, r.height, r.bpp);
    } else if (rec->link == MSIM_LINK_SCREEN && rec->cmdType == MSW_FB_KEYEVENT &&
               bodyLen >= sizeof(MSW_KeyEvent_t)) {
        MSW_KeyEvent_t k;
        memcpy(&k, body, sizeof(k));
        snprintf(buf, len, " key %d %s", k.keyCode, k.keyAction ? "pressed" : "released");
    } else if (rec->link == MSIM_LINK_NONSCREEN && rec->cmdType == MSW_NS_GET_TEMPERATURE &&
               bodyLen >= 4) {
        int32_t t;
        memcpy(&t, body, sizeof(t));
        snprintf(buf, len, " temperature %d", t);
    } else if (rec->link == MSIM_LINK_NONSCREEN && rec->cmdType == MSW_NS_GET_ERROR &&
               bodyLen >= sizeof(MSW_Error_t)) {
        MSW_Error_t e;
        memcpy(&e, body, sizeof(e));
        snprintf(buf, len, " error %d at %llu", e.errCode, (unsigned long long)e.errTimeStamp);
    }
}

void meterSimFormatRecord(const MeterSimRecord_t *rec, char *buf, uint32_t len)
{
    if (rec == NULL || buf == NULL || len == 0)
        return;
    const char *linkName = "nonscreen";
    if (rec->link == MSIM_LINK_SCREEN)
        linkName = "screen";
    else if (rec->link == MSIM_LINK_STARTUP)
        linkName = "startup";
    char body[96];
    switch (rec->kind) {
    case MSIM_EV_FRAME:
        formatBody(rec, body, sizeof(body));
        snprintf(buf, len, "%llu %s #%u %s trans %u len %u%s", (unsigned long long)rec->timeMs,
                 linkName, rec->conn, cmdName(rec->link, rec->cmdType), rec->transID,
                 rec->length, body);
        break;
    case MSIM_EV_CONNECT:
        snprintf(buf, len, "%llu %s #%u connected", (unsigned long long)rec->timeMs, linkName,
                 rec->conn);
        break;
    case MSIM_EV_CLOSED:
        snprintf(buf, len, "%llu %s #%u closed (%u bytes of a frame left)",
                 (unsigned long long)rec->timeMs, linkName, rec->conn, rec->nBytes);
        break;
    case MSIM_EV_BAD_MAGIC:
        snprintf(buf, len, "%llu %s #%u wrong magic, dropped", (unsigned long long)rec->timeMs,
                 linkName, rec->conn);
        break;
    default:
        snprintf(buf, len, "%llu %s #%u bad length %u, dropped",
                 (unsigned long long)rec->timeMs, linkName, rec->conn, rec->length);
        break;
    }
}
