/*
 * test_metersimClient.h - a tiny stand-in for the unit used by the meter
 * simulator tests: raw loopback sockets and frames written byte by byte,
 * so the tests check the simulator against the wire layout, not against
 * its own records.
 */
#ifndef TEST_METERSIM_CLIENT_H
#define TEST_METERSIM_CLIENT_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

static inline uint64_t clientNowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)(ts.tv_nsec / 1000000);
}

/* Little-endian pieces. */
static inline void put32(Bytes &b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b.push_back((uint8_t)(v >> (8 * i)));
}
static inline void put16(Bytes &b, uint16_t v)
{
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
static inline uint32_t get32(const Bytes &b, size_t at)
{
    return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 |
           (uint32_t)b[at + 3] << 24;
}
static inline uint16_t get16(const Bytes &b, size_t at)
{
    return (uint16_t)(b[at] | b[at + 1] << 8);
}

/* Prefix and command type: C7 29 53 B4, length, transID, cmdType. */
static inline Bytes frameHead(uint32_t length, uint32_t transId, int32_t cmd)
{
    Bytes b = {0xC7, 0x29, 0x53, 0xB4};
    put32(b, length);
    put32(b, transId);
    put32(b, (uint32_t)cmd);
    return b;
}

/* Connects to addr:port, retrying while the listener comes up. -1 on
 * failure. */
static inline int clientConnect(const char *addr, uint16_t port, uint32_t waitMs = 3000)
{
    uint64_t end = clientNowMs() + waitMs;
    do {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return -1;
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, addr, &sa.sin_addr);
        if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) == 0)
            return fd;
        close(fd);
        usleep(20000);
    } while (clientNowMs() < end);
    return -1;
}

static inline bool clientSend(int fd, const Bytes &b)
{
    return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == (ssize_t)b.size();
}

/* Reads up to n bytes within waitMs; fewer when the peer closed or time
 * ran out. eof tells which. */
static inline Bytes clientRecv(int fd, size_t n, uint32_t waitMs, bool *eof = nullptr)
{
    Bytes b;
    uint64_t end = clientNowMs() + waitMs;
    if (eof)
        *eof = false;
    while (b.size() < n) {
        uint64_t now = clientNowMs();
        if (now >= end)
            break;
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, (int)(end - now)) <= 0)
            continue;
        uint8_t buf[4096];
        size_t want = n - b.size() < sizeof(buf) ? n - b.size() : sizeof(buf);
        ssize_t got = recv(fd, buf, want, 0);
        if (got <= 0) {
            if (eof)
                *eof = true;
            break;
        }
        b.insert(b.end(), buf, buf + got);
    }
    return b;
}

/* One whole frame by its length field; empty when none arrived in time. */
static inline Bytes clientRecvFrame(int fd, uint32_t waitMs = 2000)
{
    Bytes head = clientRecv(fd, 8, waitMs);
    if (head.size() < 8)
        return Bytes();
    uint32_t len = get32(head, 4);
    if (len < 8 || len > 100000)
        return head;
    Bytes rest = clientRecv(fd, len - 8, waitMs);
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
}

/* True when the peer closes within waitMs (data before the close is
 * discarded). */
static inline bool clientSeesClose(int fd, uint32_t waitMs)
{
    bool eof = false;
    clientRecv(fd, 1u << 20, waitMs, &eof);
    return eof;
}

#endif /* TEST_METERSIM_CLIENT_H */
