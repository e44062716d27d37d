/*
 * linkPeer.cpp - loopback peer helpers for link tests (see linkPeer.h).
 */
#include "linkPeer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdio>

#include "kelsockets.h"

static int bindLoopback(const char *addr, int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = 0;
    if (fd < 0 || inet_pton(AF_INET, addr, &sa.sin_addr) != 1 ||
        bind(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0) {
        perror("link peer bind");
        abort();
    }
    socklen_t len = sizeof(sa);
    getsockname(fd, (struct sockaddr *)&sa, &len);
    *port = ntohs(sa.sin_port);
    return fd;
}

LinkPeer::LinkPeer(const char *addr, int backlog) : host(addr), listenFd(-1), listenPort(0)
{
    listenFd = bindLoopback(addr, &listenPort);
    if (listen(listenFd, backlog) < 0) {
        perror("link peer listen");
        abort();
    }
}

LinkPeer::~LinkPeer()
{
    close(listenFd);
}

int LinkPeer::accept(int timeoutMs)
{
    struct pollfd pfd = {listenFd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) != 1) {
        return -1;
    }
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

LinkPair::LinkPair(const char *addr, int nonBlocking) : peer(addr), unit(-1), meter(-1)
{
    unit = kelNetworkConnecting(addr, peer.port(), nonBlocking);
    meter = peer.accept();
}

LinkPair::~LinkPair()
{
    if (unit > 0) {
        close(unit);
    }
    if (meter >= 0) {
        close(meter);
    }
}

FixedPortMeter::FixedPortMeter(const char *addr, int port) : ok(false), lfd(-1), conn(-1)
{
    lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    ok = lfd >= 0 && inet_pton(AF_INET, addr, &sa.sin_addr) == 1 &&
         bind(lfd, (struct sockaddr *)&sa, sizeof(sa)) == 0 && listen(lfd, 5) == 0;
}

FixedPortMeter::~FixedPortMeter()
{
    dropConn();
    if (lfd >= 0) {
        close(lfd);
    }
}

int FixedPortMeter::acceptConn()
{
    dropConn();
    struct pollfd p = {lfd, POLLIN, 0};
    if (poll(&p, 1, 3000) == 1) {
        conn = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    return conn;
}

void FixedPortMeter::dropConn()
{
    if (conn >= 0) {
        close(conn);
    }
    conn = -1;
}

bool FixedPortMeter::send(const std::vector<unsigned char> &frame)
{
    return peerWrite(conn, frame.data(), frame.size());
}

std::vector<unsigned char> FixedPortMeter::read(size_t n)
{
    std::vector<unsigned char> b(n);
    if (!peerRead(conn, b.data(), n, 3000)) {
        b.clear();
    }
    return b;
}

bool peerWrite(int fd, const void *buf, size_t len)
{
    const unsigned char *p = (const unsigned char *)buf;
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        p += n;
        len -= (size_t)n;
    }
    return true;
}

bool peerRead(int fd, void *buf, size_t len, int timeoutMs)
{
    unsigned char *p = (unsigned char *)buf;
    long deadline = peerNowMs() + timeoutMs;
    while (len > 0) {
        long left = deadline - peerNowMs();
        struct pollfd pfd = {fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, (int)left) != 1) {
            return false;
        }
        ssize_t n = recv(fd, p, len, 0);
        if (n <= 0) {
            return false;
        }
        p += n;
        len -= (size_t)n;
    }
    return true;
}

std::vector<unsigned char> peerDrain(int fd, int waitMs)
{
    std::vector<unsigned char> out;
    unsigned char buf[4096];
    struct pollfd pfd = {fd, POLLIN, 0};
    while (poll(&pfd, 1, waitMs) == 1) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

size_t peerFillSendPath(int unitFd)
{
    int flags = fcntl(unitFd, F_GETFL, 0);
    fcntl(unitFd, F_SETFL, flags | O_NONBLOCK);
    static unsigned char block[65536];
    size_t total = 0;
    for (;;) {
        ssize_t n = send(unitFd, block, sizeof(block), MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        total += (size_t)n;
    }
    fcntl(unitFd, F_SETFL, flags);
    return total;
}

void peerReset(int fd)
{
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(fd);
}

int peerRefusingPort(const char *addr, int *port)
{
    return bindLoopback(addr, port);
}

long peerNowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

HeldCall::HeldCall(std::function<int()> call) : body(call), tid(0), rc(0)
{
    thread = std::thread([this] {
        tid.store((long)syscall(SYS_gettid));
        rc = body();
    });
}

HeldCall::~HeldCall()
{
    if (thread.joinable()) {
        thread.join();
    }
}

/* The scheduler state letter of one of this process's threads, or 0. */
static char threadState(long tid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/task/%ld/stat", tid);
    FILE *f = fopen(path, "r");
    if (f == NULL) {
        return 0;
    }
    char line[512];
    char state = 0;
    if (fgets(line, sizeof(line), f) != NULL) {
        /* pid (comm) S ...: the name may hold spaces, the state follows
         * its closing parenthesis. */
        const char *close = strrchr(line, ')');
        if (close != NULL && close[1] == ' ') {
            state = close[2];
        }
    }
    fclose(f);
    return state;
}

bool HeldCall::asleep(int timeoutMs)
{
    /* Asleep in five looks 20 ms apart: a thread that only passes through
     * a short wait on its way is not taken for a blocked one. */
    const int kLooks = 5;
    long deadline = peerNowMs() + timeoutMs;
    int seen = 0;
    while (peerNowMs() < deadline) {
        long t = tid.load();
        seen = (t != 0 && threadState(t) == 'S') ? seen + 1 : 0;
        if (seen >= kLooks) {
            return true;
        }
        usleep(20000);
    }
    return false;
}

int HeldCall::result()
{
    if (thread.joinable()) {
        thread.join();
    }
    return rc;
}

void peerDropLinkHeld(KEL_DEVICE_INFO *link)
{
    kelSocketClose(KEL_LOAD(link->socket));
    KEL_STORE(link->socket, -1);
    KEL_STORE(link->bDataRequested, KEL_FALSE);
    KEL_STORE(link->socketState, KEL_SOCKET_CLOSE);
    KEL_STORE(link->deviceState, KEL_DEVICE_DISCONNECTED);
}
