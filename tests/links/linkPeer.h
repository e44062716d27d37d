/*
 * linkPeer.h - the far end of a TCP link for tests: a listener on a loopback
 * address with an ephemeral port, and plain byte helpers for the peer side.
 * Each test file picks its own 127.0.0.x so test programs run in parallel.
 */
#ifndef LINK_PEER_H
#define LINK_PEER_H

#include <stddef.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kelTypes.h"

class LinkPeer {
public:
    /* Listens on `addr` (127.0.0.x), port chosen by the kernel. */
    explicit LinkPeer(const char *addr, int backlog = 5);
    ~LinkPeer();
    int port() const { return listenPort; }
    const char *addr() const { return host.c_str(); }
    /* Accepts one connection within `timeoutMs`: the peer's descriptor or -1. */
    int accept(int timeoutMs = 3000);

private:
    std::string host;
    int listenFd;
    int listenPort;
};

/* A connected pair: `unit` made by kelNetworkConnecting (non-blocking unless
 * asked), `meter` the accepted end. Both closed on destruction. */
struct LinkPair {
    explicit LinkPair(const char *addr, int nonBlocking = 1);
    ~LinkPair();
    LinkPeer peer;
    int unit;
    int meter;
};

/* A meter listening on a fixed port of its own loopback address, as the
 * unit's link threads expect it; one connection at a time. `ok` tells
 * whether the listener is up. */
class FixedPortMeter {
public:
    FixedPortMeter(const char *addr, int port);
    ~FixedPortMeter();
    /* Drops the current connection and accepts the next within 3 s. */
    int acceptConn();
    void dropConn();
    bool send(const std::vector<unsigned char> &frame);
    /* Exactly `n` bytes within 3 s, or an empty vector. */
    std::vector<unsigned char> read(size_t n);
    bool ok;
    int lfd;
    int conn;
};

/* Writes all bytes on a blocking descriptor; true when done. */
bool peerWrite(int fd, const void *buf, size_t len);
/* Reads exactly `len` bytes within `timeoutMs`; true when all arrived. */
bool peerRead(int fd, void *buf, size_t len, int timeoutMs = 3000);
/* Bytes that arrive within `waitMs` (empty when none). */
std::vector<unsigned char> peerDrain(int fd, int waitMs);
/* Fills the unit's send path until nothing more is accepted; bytes queued. */
size_t peerFillSendPath(int unitFd);
/* Closes with a reset instead of an orderly close. */
void peerReset(int fd);
/* A loopback port that is bound but not listening: connects are refused.
 * The descriptor keeps the port reserved; close it when done. */
int peerRefusingPort(const char *addr, int *port);
/* Milliseconds of a monotonic clock. */
long peerNowMs();

/* A call made on a thread of its own while the test holds a send mutex, to
 * catch it between its own checks and the send. */
class HeldCall {
public:
    explicit HeldCall(std::function<int()> call);
    ~HeldCall();
    /* True once the thread has stayed asleep (blocked on the mutex) for a
     * while, within `timeoutMs`. */
    bool asleep(int timeoutMs = 5000);
    /* Waits for the call to end; its result. */
    int result();

private:
    std::function<int()> body;
    std::atomic<long> tid;
    int rc;
    std::thread thread;
};

/* What a link's own close does under its send mutex, for a test that holds
 * that mutex: the socket closed and -1, the announcement and the state
 * reset. */
void peerDropLinkHeld(KEL_DEVICE_INFO *link);

#endif /* LINK_PEER_H */
