/*
 * stationSim.cpp - the factory test station's side of the link (see
 * stationSim.h): plain blocking sockets with poll for the deadlines, its
 * own framing and its own digest.
 */
#include "stationSim.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#if !defined(KEL_DIGEST_M) || !defined(KEL_DIGEST_N)
#error "the digest multiplier and modulus come from the build (KEL_DIGEST_M, KEL_DIGEST_N)"
#endif

#define STATION_RETRY_MS 100
#define STATION_SEND_MS 3000

uint64_t stationSimNowMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

static void stationSleepMs(uint32_t ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

uint32_t stationSimDigest(uint32_t random)
{
    uint32_t t = random * (uint32_t)KEL_DIGEST_M + SSW_DIGEST_INC;
    return t % (uint32_t)KEL_DIGEST_N;
}

void stationSimInit(StationSim_t *st)
{
    if (st == NULL)
        return;
    memset(st, 0, sizeof(*st));
    st->fd = -1;
}

int stationSimConnect(StationSim_t *st, const char *addr, uint16_t port, uint32_t timeoutMs)
{
    if (st == NULL || addr == NULL)
        return -1;
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1)
        return -1;
    /* A unit that drops the link must not end the station with SIGPIPE. */
    signal(SIGPIPE, SIG_IGN);
    stationSimClose(st);
    uint64_t end = stationSimNowMs() + timeoutMs;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) == 0) {
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            st->fd = fd;
            st->nEvents = 0;
            return 1;
        }
        close(fd);
        if (stationSimNowMs() >= end)
            return -1;
        stationSleepMs(STATION_RETRY_MS);
    }
}

void stationSimClose(StationSim_t *st)
{
    if (st == NULL || st->fd < 0)
        return;
    close(st->fd);
    st->fd = -1;
}

/* Waits until `fd` is ready for `events` or `end` passes. 1, -2, -1. */
static int stationWait(int fd, short events, uint64_t end)
{
    for (;;) {
        uint64_t now = stationSimNowMs();
        if (now >= end)
            return -2;
        struct pollfd p = {fd, events, 0};
        int n = poll(&p, 1, (int)(end - now));
        if (n > 0)
            return 1;
        if (n < 0 && errno != EINTR)
            return -1;
    }
}

int stationSimSendRaw(StationSim_t *st, const void *bytes, uint32_t len)
{
    if (st == NULL || st->fd < 0 || (bytes == NULL && len > 0))
        return -1;
    const uint8_t *p = (const uint8_t *)bytes;
    uint64_t end = stationSimNowMs() + STATION_SEND_MS;
    uint32_t done = 0;
    while (done < len) {
        if (stationWait(st->fd, POLLOUT, end) != 1)
            return -1;
        ssize_t n = send(st->fd, p + done, len - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += (uint32_t)n;
    }
    return 1;
}

int stationSimSend(StationSim_t *st, int32_t msgType, int32_t cmdType, const void *payload,
                   uint32_t len)
{
    uint8_t frame[SSW_HEAD_LEN + SSW_PAYLOAD_MAX];
    if (st == NULL || len > SSW_PAYLOAD_MAX || (payload == NULL && len > 0))
        return -1;
    SSW_Head_t head;
    head.header = SSW_MAGIC;
    head.length = SSW_HEAD_LEN + len;
    head.transID = st->transID++;
    head.msgType = msgType;
    head.cmdType = cmdType;
    memcpy(frame, &head, sizeof(head));
    if (len > 0)
        memcpy(frame + SSW_HEAD_LEN, payload, len);
    return stationSimSendRaw(st, frame, SSW_HEAD_LEN + len);
}

/* Exactly `len` bytes before `end`. 1, 0 closed, -2, -1. */
static int stationReadExact(int fd, void *buf, uint32_t len, uint64_t end)
{
    uint8_t *p = (uint8_t *)buf;
    uint32_t got = 0;
    while (got < len) {
        int w = stationWait(fd, POLLIN, end);
        if (w != 1)
            return w;
        ssize_t n = recv(fd, p + got, len - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return 0;
        if (n < 0)
            return -1;
        got += (uint32_t)n;
    }
    return 1;
}

int stationSimRecv(StationSim_t *st, StationFrame_t *f, uint32_t timeoutMs)
{
    if (st == NULL || f == NULL || st->fd < 0)
        return -1;
    memset(f, 0, sizeof(*f));
    uint64_t end = stationSimNowMs() + timeoutMs;
    SSW_Head_t head;
    int rc = stationReadExact(st->fd, &head, SSW_PREFIX_LEN, end);
    if (rc != 1)
        return rc;
    if (head.header != SSW_MAGIC || head.length < SSW_HEAD_LEN || head.length > SSW_FRAME_MAX)
        return -3;
    /* Once a frame has begun, its rest is waited for a little longer. */
    uint64_t restEnd = end > stationSimNowMs() + 1000 ? end : stationSimNowMs() + 1000;
    rc = stationReadExact(st->fd, (uint8_t *)&head + SSW_PREFIX_LEN, SSW_HEAD_LEN - SSW_PREFIX_LEN,
                          restEnd);
    if (rc != 1)
        return rc;
    f->length = head.length;
    f->transID = head.transID;
    f->msgType = head.msgType;
    f->cmdType = head.cmdType;
    f->payloadLen = head.length - SSW_HEAD_LEN;
    return stationReadExact(st->fd, f->payload, f->payloadLen, restEnd);
}

static void stationKeep(StationSim_t *st, const StationFrame_t *f)
{
    if (st->nEvents < STATION_EVENT_MAX)
        st->events[st->nEvents++] = *f;
}

static void stationTake(StationSim_t *st, uint32_t i, StationFrame_t *f)
{
    *f = st->events[i];
    memmove(&st->events[i], &st->events[i + 1], (st->nEvents - i - 1) * sizeof(StationFrame_t));
    st->nEvents--;
}

int stationSimWaitFor(StationSim_t *st, int32_t msgType, int32_t cmdType, StationFrame_t *f,
                      uint32_t timeoutMs)
{
    if (st == NULL || f == NULL)
        return -1;
    for (uint32_t i = 0; i < st->nEvents; i++) {
        if (st->events[i].msgType == msgType && st->events[i].cmdType == cmdType) {
            stationTake(st, i, f);
            return 1;
        }
    }
    uint64_t end = stationSimNowMs() + timeoutMs;
    for (;;) {
        uint64_t now = stationSimNowMs();
        if (now >= end)
            return -2;
        StationFrame_t got;
        int rc = stationSimRecv(st, &got, (uint32_t)(end - now));
        if (rc != 1)
            return rc;
        if (got.msgType == msgType && got.cmdType == cmdType) {
            *f = got;
            return 1;
        }
        stationKeep(st, &got);
    }
}

int stationSimRequest(StationSim_t *st, int32_t cmdType, const void *payload, uint32_t len,
                      StationFrame_t *resp, uint32_t timeoutMs)
{
    int rc = stationSimSend(st, SSW_REQUEST, cmdType, payload, len);
    if (rc != 1)
        return rc;
    return stationSimWaitFor(st, SSW_RESPONSE, cmdType, resp, timeoutMs);
}

int32_t stationSimResult(const StationFrame_t *f)
{
    int32_t v;
    if (f == NULL || f->payloadLen < sizeof(v))
        return -1;
    memcpy(&v, f->payload, sizeof(v));
    return v;
}

int stationSimAuthenticate(StationSim_t *st, int digestMode, uint32_t timeoutMs)
{
    uint32_t version = 1;
    StationFrame_t f;
    if (stationSimSend(st, SSW_REQUEST, SSW_TEST_REQUEST, &version, sizeof(version)) != 1)
        return -1;
    int rc = stationSimWaitFor(st, SSW_REQUEST, SSW_AUTH_CHALLENGE, &f, timeoutMs);
    if (rc != 1)
        return rc;
    if (f.payloadLen < sizeof(uint32_t))
        return -3;
    memcpy(&st->challenge, f.payload, sizeof(st->challenge));
    uint32_t answer = stationSimDigest(st->challenge);
    if (digestMode == STATION_DIGEST_WRONG)
        answer += 1;
    if (stationSimSend(st, SSW_RESPONSE, SSW_AUTH_CHALLENGE, &answer, sizeof(answer)) != 1)
        return -1;
    rc = stationSimWaitFor(st, SSW_RESPONSE, SSW_TEST_REQUEST, &f, timeoutMs);
    if (rc != 1)
        return rc;
    return stationSimResult(&f) == SSW_TEST_OK ? 1 : -1;
}

int stationSimNextEvent(StationSim_t *st, StationFrame_t *f, uint32_t timeoutMs)
{
    if (st == NULL || f == NULL)
        return -1;
    if (st->nEvents > 0) {
        stationTake(st, 0, f);
        return 1;
    }
    return stationSimRecv(st, f, timeoutMs);
}

int stationSimWaitClosed(StationSim_t *st, uint32_t timeoutMs)
{
    if (st == NULL || st->fd < 0)
        return -1;
    uint64_t end = stationSimNowMs() + timeoutMs;
    for (;;) {
        uint64_t now = stationSimNowMs();
        if (now >= end)
            return -2;
        StationFrame_t f;
        int rc = stationSimRecv(st, &f, (uint32_t)(end - now));
        if (rc == 1) {
            stationKeep(st, &f);
            continue;
        }
        if (rc == 0 || rc == -1)
            return 1; /* orderly close or reset */
        if (rc != -2)
            return rc;
    }
}
