/*
 * kelsockets.h - the TCP layer under every link of the unit: socket creation
 * with fixed options, bounded connects with retries, complete sends and
 * receives within a time-out, and the 12-byte frame prefix that all four
 * application protocols (non-screen, screen and key, startup, factory test)
 * put in front of their messages.
 *
 * The socket functions keep no state and may be called from any thread.
 * Each protocol module owns one send mutex and one transaction counter and
 * hands them to the frame helpers at the bottom of this header.
 */
#ifndef KEL_SOCKETS_H
#define KEL_SOCKETS_H

#include <pthread.h>
#include <sys/select.h>

#include "kelTypes.h"

/* Result codes of the layer. */
#define KEL_SOCK_OK 1
#define KEL_SOCK_CLOSED 0          /* peer closed; interrupted accept; bad frame */
#define KEL_SOCK_ERROR (-1)        /* failure or invalid argument */
#define KEL_SOCK_TIMEOUT (-2)      /* receive or send ran out of time */
#define KEL_SOCK_CREATE_FAIL (-3)  /* socket creation failed */
#define KEL_SOCK_NOT_CONNECTED (-4)
#define KEL_SOCK_BIND_FAIL (-5)    /* bind or listen failed */
#define KEL_SOCK_NONBLOCK_FAIL (-6)
#define KEL_SOCK_REFUSED (-7)      /* frame held back: link not announced */

/* Socket options and waits. */
#define KEL_SOCK_BUF_SIZE 163840       /* SO_SNDBUF and SO_RCVBUF */
#define KEL_SOCK_IO_TIMEO_S 1          /* SO_SNDTIMEO and SO_RCVTIMEO */
#define KEL_SOCK_WAIT_MS 500           /* one readiness wait inside send/recv */
#define KEL_SOCK_CONNECT_WAIT_MS 1500  /* non-blocking connect completion */
#define KEL_SOCK_REFUSED_PAUSE_MS 1500 /* pause after a refused connect */
#define KEL_SOCK_CONNECT_ATTEMPTS 3
#define KEL_SOCK_INIT_RETRY_MS 100
#define KEL_SOCK_LISTEN_BACKLOG 5

/* Frame prefix shared by every protocol; integers travel little-endian as
 * they lie in memory. `length` counts the whole frame, prefix included. */
#define KEL_FRAME_MAGIC 0xb45329c7u
#define KEL_FRAME_IO_TIMEOUT_MS 500
#define KEL_FRAME_SEND_ATTEMPTS 3

typedef struct KEL_PACKED {
    UINT32 header;
    UINT32 length;
    UINT32 transID;
} kel_FramePrefix_t;

#define KEL_FRAME_PREFIX_SIZE 12
static_assert(sizeof(kel_FramePrefix_t) == KEL_FRAME_PREFIX_SIZE, "frame prefix");
static_assert(offsetof(kel_FramePrefix_t, length) == 4, "frame prefix");
static_assert(offsetof(kel_FramePrefix_t, transID) == 8, "frame prefix");

#ifdef __cplusplus
extern "C" {
#endif

/* IPv4 stream socket with the fixed options; SIGPIPE is ignored so a write
 * to a closed peer gives an error. The descriptor, or -1. */
int kelSocketInit(void);
/* Closes a descriptor above 0; -1 for 0 or negative values. */
int kelSocketClose(int socket);
/* Binds `port` on all interfaces and listens; `interfaceIp_p` is unused.
 * 1, or -1. */
int kelSocketListen(int listenSocket, int port, const char *interfaceIp_p);
/* New descriptor; 0 when interrupted by a signal; -1 otherwise. */
int kelSocketAccept(int listenSocket);
/* Plain select. */
int kelSocketSelect(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                    struct timeval *timeout);
/* Waits up to `timeoutMs` with select for `socket` to become readable.
 * 1 readable, 0 not within the time, -1 when select fails or the
 * descriptor is 0 or less or beyond what an fd_set holds. */
int kelSocketWaitReadable(int socket, int timeoutMs);
/* Reads/writes exactly `len` bytes within `timeout` ms (checked between
 * waits of up to 500 ms). 1 done, 0 peer closed, -2 time-out, -1 error or
 * invalid argument. */
int kelSocketRecv(int socket, void *buf, int len, int timeout);
int kelSocketSend(int socket, const void *buf, int len, int timeout);
/* `isNonBlocking` 1 sets O_NONBLOCK, anything else clears it. 1, or -6. */
int kelSocketNonBlocking(int socket, int isNonBlocking);
/* Connects to `server` (dotted address or host name) and `port`. 1, -1 on
 * invalid argument, resolution failure, refusal or time-out, -6 when the
 * non-blocking mode cannot be set. */
int kelSocketConnect(int socket, const char *server, int port, int isNonBlocking);
/* Listening socket: descriptor, -3, -5 or -6. */
int kelNetworkInitialize(int port, int isNonBlocking, const char *interfaceIp_p);
/* Connected socket after up to three attempts: descriptor, or -1 (bad
 * argument), -3, -4 or -6 from the last attempt. */
int kelNetworkConnecting(const char *server, int port, int isNonBlocking);

/* --- Frame helpers used by the protocol modules --- */

/* Takes the counter's value and advances it by one in one indivisible step
 * (wraps at 2^32). */
UINT32 kelFrameNextTransID(UINT32 *counter);
/* Fills the prefix at the start of `frame`. */
void kelFramePrefixFill(void *frame, UINT32 length, UINT32 transID);
/* Sends one whole frame: up to three attempts, each holding `sendMutex`
 * around one 500 ms socket send. The socket is read from `socketWord` under
 * the mutex, so a link closed under the same mutex is never written after
 * its close. 1 sent, -1 failed (invalid socket, peer closed, error, three
 * time-outs). */
int kelFrameSend(pthread_mutex_t *sendMutex, const INT32 *socketWord, const void *frame,
                 int length);
/* kelFrameSend for a link whose senders share one transaction counter:
 * the id is written into the frame's prefix under `sendMutex` when the
 * frame starts, and `counter` advances once its first bytes went out, so
 * two threads never put id n+1 on the wire before n (an id taken before
 * the mutex could be). A frame that never started leaves the counter as it
 * was. 1 sent, -1 failed. */
int kelFrameSendNumbered(pthread_mutex_t *sendMutex, const INT32 *socketWord, UINT32 *counter,
                         void *frame, int length);
/* kelFrameSend for a thread other than the link's own: the frame goes out
 * only while `link` has a socket and has announced itself on it
 * (bDataRequested), both read under `sendMutex`, so a link closed and
 * reconnected meanwhile never gets the frame before its announcement. A
 * failed send stores KEL_SOCKET_FAIL in link->socketState under the mutex;
 * a refusal changes nothing. 1 sent, -7 refused, -1 failed. */
int kelFrameSendAnnounced(pthread_mutex_t *sendMutex, KEL_DEVICE_INFO *link, const void *frame,
                          int length);
/* Receives one frame into `record` of `capacity` bytes (zeroed first). The
 * prefix's `length` must lie between the prefix size and `capacity`;
 * anything else, like a wrong magic, ends the read with 0 and nothing
 * written past the prefix. 1, 0 (bad frame or peer closed), -1, -2. */
int kelFrameRecv(int socket, void *record, int capacity);
/* Closes the socket in `socketWord` under `sendMutex` and stores -1 there.
 * Result of the close, or -1 when there was no socket. */
int kelFrameCloseLink(pthread_mutex_t *sendMutex, INT32 *socketWord);

#ifdef __cplusplus
}
#endif

#endif /* KEL_SOCKETS_H */
