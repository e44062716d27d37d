/*
 * kelsockets.cpp - the TCP layer under the meter links and the factory
 * service: socket creation, connect with retries, complete sends and
 * receives bounded by a time-out, and the common frame prefix.
 *
 * Linked into the app client, the startup client and the factory service.
 * The layer keeps no state and reports nothing to the error log; callers get
 * the result codes of kelsockets.h and report themselves.
 *
 * Readiness waits inside send, receive and connect use poll rather than
 * select so that a descriptor number above FD_SETSIZE can never write past
 * an fd_set; the link threads' readability wait uses select and refuses
 * such a descriptor.
 */
#include "kelsockets.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <arpa/inet.h>

#include "kel.h"

#define KEL_SOCK_PORT_MAX 65535

static int kelSockTimedOut(UINT32 startTick, int timeout)
{
    return (UINT32)(kelGetTick() - startTick) > (UINT32)timeout;
}

/* Waits up to `ms` for `events` on `socket`: 1 ready, 0 not ready, -1 with
 * errno set on failure. */
static int kelSockWait(int socket, short events, int ms)
{
    struct pollfd pfd;
    pfd.fd = socket;
    pfd.events = events;
    pfd.revents = 0;
    int rc = poll(&pfd, 1, ms);
    if (rc < 0) {
        return -1;
    }
    return (rc > 0 && pfd.revents != 0) ? 1 : 0;
}

int kelSocketInit(void)
{
    signal(SIGPIPE, SIG_IGN);

    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s <= 0) {
        if (s == 0) {
            close(s);
        }
        return KEL_SOCK_ERROR;
    }

    int on = 1;
    int bufSize = KEL_SOCK_BUF_SIZE;
    struct timeval tv;
    tv.tv_sec = KEL_SOCK_IO_TIMEO_S;
    tv.tv_usec = 0;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0 ||
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof(bufSize)) < 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bufSize, sizeof(bufSize)) < 0 ||
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) < 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) < 0) {
        close(s);
        return KEL_SOCK_ERROR;
    }
    return s;
}

int kelSocketClose(int socket)
{
    if (socket <= 0) {
        return KEL_SOCK_ERROR;
    }
    return close(socket);
}

int kelSocketListen(int listenSocket, int port, const char *interfaceIp_p)
{
    (void)interfaceIp_p;
    if (listenSocket <= 0 || port <= 0 || port > KEL_SOCK_PORT_MAX) {
        return KEL_SOCK_ERROR;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons((uint16_t)port);
    if (bind(listenSocket, (struct sockaddr *)&addr, sizeof(addr)) < 0) {
        return KEL_SOCK_ERROR;
    }
    if (listen(listenSocket, KEL_SOCK_LISTEN_BACKLOG) < 0) {
        return KEL_SOCK_ERROR;
    }
    return KEL_SOCK_OK;
}

int kelSocketAccept(int listenSocket)
{
    if (listenSocket <= 0) {
        return KEL_SOCK_ERROR;
    }
    int s = accept(listenSocket, NULL, NULL);
    if (s < 0) {
        return (errno == EINTR) ? KEL_SOCK_CLOSED : KEL_SOCK_ERROR;
    }
    if (s == 0) {
        /* Descriptor 0 would read as "interrupted"; never hand it out. */
        close(s);
        return KEL_SOCK_ERROR;
    }
    return s;
}

int kelSocketSelect(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                    struct timeval *timeout)
{
    return select(nfds, readfds, writefds, exceptfds, timeout);
}

int kelSocketWaitReadable(int socket, int timeoutMs)
{
    /* FD_SET on a descriptor at or above FD_SETSIZE would write past the
     * set. */
    if (socket <= 0 || socket >= FD_SETSIZE || timeoutMs < 0) {
        return KEL_SOCK_ERROR;
    }
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(socket, &readSet);
    struct timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    int n = kelSocketSelect(socket + 1, &readSet, NULL, NULL, &tv);
    if (n < 0) {
        return KEL_SOCK_ERROR;
    }
    return (n > 0 && FD_ISSET(socket, &readSet)) ? 1 : 0;
}

int kelSocketRecv(int socket, void *buf, int len, int timeout)
{
    if (socket < 0 || buf == NULL || len <= 0 || timeout < 0) {
        return KEL_SOCK_ERROR;
    }
    UINT8 *pos = (UINT8 *)buf;
    int remaining = len;

    /* Bytes that have already arrived need no clock: the first attempt
     * never waits, and the start tick is read only when the call has to.
     * The time-out still counts from the start of the call, give or take
     * that one non-waiting attempt. */
    ssize_t first = recv(socket, pos, (size_t)remaining, MSG_DONTWAIT);
    if (first == (ssize_t)remaining) {
        return KEL_SOCK_OK;
    }
    if (first == 0) {
        return KEL_SOCK_CLOSED;
    }
    if (first > 0) {
        pos += first;
        remaining -= (int)first;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        return KEL_SOCK_ERROR;
    }
    UINT32 start = kelGetTick();

    while (remaining > 0) {
        if (kelSockTimedOut(start, timeout)) {
            return KEL_SOCK_TIMEOUT;
        }
        ssize_t n = recv(socket, pos, (size_t)remaining, 0);
        if (n > 0) {
            pos += n;
            remaining -= (int)n;
            continue;
        }
        if (n == 0) {
            return KEL_SOCK_CLOSED;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return KEL_SOCK_ERROR;
        }
        if (kelSockWait(socket, POLLIN | POLLPRI, KEL_SOCK_WAIT_MS) < 0 && errno != EINTR) {
            return KEL_SOCK_ERROR;
        }
    }
    return KEL_SOCK_OK;
}

/* The send loop of kelSocketSend; *sent counts the bytes that went out,
 * whatever the result, so a caller can carry on after a time-out. */
static int kelSockSendCounted(int socket, const UINT8 *buf, int len, int timeout, int *sent)
{
    const UINT8 *pos = buf;
    int remaining = len;
    *sent = 0;
    UINT32 start = kelGetTick();

    while (remaining > 0) {
        if (kelSockTimedOut(start, timeout)) {
            return KEL_SOCK_TIMEOUT;
        }
        int ready = kelSockWait(socket, POLLOUT, KEL_SOCK_WAIT_MS);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return KEL_SOCK_ERROR;
        }
        if (ready == 0) {
            continue;
        }
        /* MSG_NOSIGNAL as well as the ignored SIGPIPE: a socket that did not
         * come from kelSocketInit must not end the process either. */
        ssize_t n = send(socket, pos, (size_t)remaining, MSG_NOSIGNAL);
        if (n > 0) {
            pos += n;
            remaining -= (int)n;
            *sent += (int)n;
            continue;
        }
        if (n == 0) {
            return KEL_SOCK_CLOSED;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            continue;
        }
        return KEL_SOCK_ERROR;
    }
    return KEL_SOCK_OK;
}

int kelSocketSend(int socket, const void *buf, int len, int timeout)
{
    if (socket < 0 || buf == NULL || len <= 0 || timeout < 0) {
        return KEL_SOCK_ERROR;
    }
    int sent = 0;
    return kelSockSendCounted(socket, (const UINT8 *)buf, len, timeout, &sent);
}

int kelSocketNonBlocking(int socket, int isNonBlocking)
{
    int flags = fcntl(socket, F_GETFL, 0);
    if (flags < 0) {
        return KEL_SOCK_NONBLOCK_FAIL;
    }
    int wanted = (isNonBlocking == 1) ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted == flags) {
        return KEL_SOCK_OK;
    }
    if (fcntl(socket, F_SETFL, wanted) < 0) {
        return KEL_SOCK_NONBLOCK_FAIL;
    }
    return KEL_SOCK_OK;
}

/* Resolves `server` to its first IPv4 address. getaddrinfo rather than
 * gethostbyname: two link threads of one program connect at the same time,
 * and gethostbyname hands back shared static storage. 1, or -1. */
static int kelSockResolve(const char *server, struct in_addr *out)
{
    if (inet_pton(AF_INET, server, out) == 1) {
        return KEL_SOCK_OK;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = NULL;
    if (getaddrinfo(server, NULL, &hints, &res) != 0 || res == NULL) {
        return KEL_SOCK_ERROR;
    }
    *out = ((struct sockaddr_in *)res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return KEL_SOCK_OK;
}

int kelSocketConnect(int socket, const char *server, int port, int isNonBlocking)
{
    if (socket <= 0 || server == NULL || port <= 0 || port > KEL_SOCK_PORT_MAX) {
        return KEL_SOCK_ERROR;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    if (kelSockResolve(server, &addr.sin_addr) != KEL_SOCK_OK) {
        return KEL_SOCK_ERROR;
    }

    if (isNonBlocking == 1 && kelSocketNonBlocking(socket, 1) <= 0) {
        return KEL_SOCK_NONBLOCK_FAIL;
    }

    if (connect(socket, (struct sockaddr *)&addr, sizeof(addr)) == 0) {
        return KEL_SOCK_OK;
    }
    if (isNonBlocking != 1 || errno != EINPROGRESS) {
        return KEL_SOCK_ERROR;
    }

    if (kelSockWait(socket, POLLOUT, KEL_SOCK_CONNECT_WAIT_MS) <= 0) {
        return KEL_SOCK_ERROR;
    }
    int soError = 0;
    socklen_t optLen = sizeof(soError);
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &soError, &optLen) < 0) {
        return KEL_SOCK_ERROR;
    }
    if (soError != 0) {
        kelSleep(KEL_SOCK_REFUSED_PAUSE_MS);
        return KEL_SOCK_ERROR;
    }
    return KEL_SOCK_OK;
}

int kelNetworkInitialize(int port, int isNonBlocking, const char *interfaceIp_p)
{
    int s = kelSocketInit();
    if (s <= 0) {
        return KEL_SOCK_CREATE_FAIL;
    }
    if (kelSocketListen(s, port, interfaceIp_p) <= 0) {
        kelSocketClose(s);
        return KEL_SOCK_BIND_FAIL;
    }
    if (isNonBlocking == 1 && kelSocketNonBlocking(s, 1) <= 0) {
        kelSocketClose(s);
        return KEL_SOCK_NONBLOCK_FAIL;
    }
    return s;
}

int kelNetworkConnecting(const char *server, int port, int isNonBlocking)
{
    if (server == NULL || port <= 0 || port > KEL_SOCK_PORT_MAX) {
        return KEL_SOCK_ERROR;
    }
    int result = KEL_SOCK_NOT_CONNECTED;
    for (int attempt = 0; attempt < KEL_SOCK_CONNECT_ATTEMPTS; attempt++) {
        int s = kelSocketInit();
        if (s <= 0) {
            kelSleep(KEL_SOCK_INIT_RETRY_MS);
            result = KEL_SOCK_CREATE_FAIL;
            continue;
        }
        int rc = kelSocketConnect(s, server, port, isNonBlocking);
        if (rc > 0) {
            return s;
        }
        kelSocketClose(s);
        result = (rc == KEL_SOCK_NONBLOCK_FAIL) ? KEL_SOCK_NONBLOCK_FAIL : KEL_SOCK_NOT_CONNECTED;
    }
    return result;
}

UINT32 kelFrameNextTransID(UINT32 *counter)
{
    return __atomic_fetch_add(counter, 1u, __ATOMIC_RELAXED);
}

void kelFramePrefixFill(void *frame, UINT32 length, UINT32 transID)
{
    kel_FramePrefix_t prefix;
    prefix.header = KEL_FRAME_MAGIC;
    prefix.length = length;
    prefix.transID = transID;
    memcpy(frame, &prefix, sizeof(prefix));
}

/* The transaction counter of a frame numbered under the send mutex, and
 * where the frame keeps its id. */
typedef struct {
    UINT32 *counter;
    UINT8 *idField;
} frameNumbering_t;

/* The send loop of the frame senders. With `link`, every attempt that
 * starts the frame first checks, under the mutex, that the link announced
 * itself on its current socket; a refusal sends nothing and leaves the link
 * alone, a failed send marks the link failed before the mutex is released,
 * so it can only fail the connection it was tried on. With `numbering`,
 * every attempt that starts the frame writes the counter's value into it,
 * and the counter advances once the frame's first bytes went out, all under
 * the mutex: frames leave in the order of their ids, without gaps. */
static int frameSend(pthread_mutex_t *sendMutex, const INT32 *socketWord, KEL_DEVICE_INFO *link,
                     const frameNumbering_t *numbering, const void *frame, int length)
{
    /* An attempt that times out after part of the frame went out leaves
     * the rest to the next attempt, with the mutex still held: sending the
     * frame again from its start, or letting another thread's frame in
     * between, would break the stream the peer reads. */
    const UINT8 *bytes = (const UINT8 *)frame;
    int done = 0;
    int rc = KEL_SOCK_ERROR;
    pthread_mutex_lock(sendMutex);
    for (int attempt = 0; attempt < KEL_FRAME_SEND_ATTEMPTS; attempt++) {
        if (attempt > 0 && done == 0) {
            /* Nothing went out yet: other senders may go first. */
            pthread_mutex_unlock(sendMutex);
            pthread_mutex_lock(sendMutex);
        }
        INT32 s = KEL_LOAD(*socketWord);
        if (link != NULL && done == 0 &&
            (s <= 0 || KEL_LOAD(link->bDataRequested) != KEL_TRUE)) {
            rc = KEL_SOCK_REFUSED;
            break;
        }
        if (numbering != NULL && done == 0) {
            UINT32 id = KEL_LOAD(*numbering->counter);
            memcpy(numbering->idField, &id, sizeof(id));
        }
        int sent = 0;
        rc = (s > 0) ? kelSockSendCounted(s, bytes + done, length - done, KEL_FRAME_IO_TIMEOUT_MS, &sent)
                     : KEL_SOCK_ERROR;
        done += sent;
        if (rc != KEL_SOCK_TIMEOUT) {
            break;
        }
    }
    if (link != NULL && rc <= 0 && rc != KEL_SOCK_REFUSED) {
        KEL_STORE(link->socketState, KEL_SOCKET_FAIL);
    }
    if (numbering != NULL && done > 0) {
        (void)kelFrameNextTransID(numbering->counter);
    }
    pthread_mutex_unlock(sendMutex);
    if (rc == KEL_SOCK_REFUSED) {
        return KEL_SOCK_REFUSED;
    }
    return (rc > 0) ? KEL_SOCK_OK : KEL_SOCK_ERROR;
}

int kelFrameSend(pthread_mutex_t *sendMutex, const INT32 *socketWord, const void *frame,
                 int length)
{
    if (sendMutex == NULL || socketWord == NULL || frame == NULL || length <= 0) {
        return KEL_SOCK_ERROR;
    }
    return frameSend(sendMutex, socketWord, NULL, NULL, frame, length);
}

int kelFrameSendNumbered(pthread_mutex_t *sendMutex, const INT32 *socketWord, UINT32 *counter,
                         void *frame, int length)
{
    if (sendMutex == NULL || socketWord == NULL || counter == NULL || frame == NULL ||
        length < KEL_FRAME_PREFIX_SIZE) {
        return KEL_SOCK_ERROR;
    }
    frameNumbering_t numbering;
    numbering.counter = counter;
    numbering.idField = (UINT8 *)frame + offsetof(kel_FramePrefix_t, transID);
    return frameSend(sendMutex, socketWord, NULL, &numbering, frame, length);
}

int kelFrameSendAnnounced(pthread_mutex_t *sendMutex, KEL_DEVICE_INFO *link, const void *frame,
                          int length)
{
    if (sendMutex == NULL || link == NULL || frame == NULL || length <= 0) {
        return KEL_SOCK_ERROR;
    }
    return frameSend(sendMutex, &link->socket, link, NULL, frame, length);
}

int kelFrameRecv(int socket, void *record, int capacity)
{
    if (socket <= 0 || record == NULL || capacity < KEL_FRAME_PREFIX_SIZE) {
        return KEL_SOCK_ERROR;
    }
    UINT8 *rec = (UINT8 *)record;
    memset(rec, 0, (size_t)capacity);

    int rc = kelSocketRecv(socket, rec + offsetof(kel_FramePrefix_t, header), 4,
                           KEL_FRAME_IO_TIMEOUT_MS);
    if (rc <= 0) {
        return rc;
    }
    UINT32 header;
    memcpy(&header, rec + offsetof(kel_FramePrefix_t, header), sizeof(header));
    if (header != KEL_FRAME_MAGIC) {
        return KEL_SOCK_CLOSED;
    }

    rc = kelSocketRecv(socket, rec + offsetof(kel_FramePrefix_t, length), 4,
                       KEL_FRAME_IO_TIMEOUT_MS);
    if (rc <= 0) {
        return rc;
    }
    UINT32 length;
    memcpy(&length, rec + offsetof(kel_FramePrefix_t, length), sizeof(length));
    /* The peer's length decides how much is read into the caller's record:
     * one that does not fit, or that cuts into the prefix, is a broken frame
     * just like a wrong magic. */
    if (length < KEL_FRAME_PREFIX_SIZE || length > (UINT32)capacity) {
        return KEL_SOCK_CLOSED;
    }

    const int body = offsetof(kel_FramePrefix_t, transID);
    rc = kelSocketRecv(socket, rec + body, (int)length - body, KEL_FRAME_IO_TIMEOUT_MS);
    return (rc > 0) ? KEL_SOCK_OK : rc;
}

int kelFrameCloseLink(pthread_mutex_t *sendMutex, INT32 *socketWord)
{
    if (sendMutex == NULL || socketWord == NULL) {
        return KEL_SOCK_ERROR;
    }
    pthread_mutex_lock(sendMutex);
    INT32 s = KEL_LOAD(*socketWord);
    int rc = kelSocketClose(s);
    KEL_STORE(*socketWord, (INT32)-1);
    pthread_mutex_unlock(sendMutex);
    return rc;
}
