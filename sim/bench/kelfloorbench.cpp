/*
 * kelfloorbench.cpp - the floor of the screen path: the least work any
 * display unit must do for the meter's screens.
 *
 * It connects to a meter on port 1234 like the app client, announces the
 * 320 x 240 x 16 display once, and then, for every rectangle, exchanges red
 * and blue and copies the rows into a private frame; at screen-finished it
 * copies the whole private frame into the "frame buffer", a file mapped
 * shared (kelscreenbench watches it exactly as it watches the unit's). No
 * queues, no shared segment, no second process: two 153600-byte copies per
 * screen and the socket reads. It links nothing of the unit.
 *
 * With --framing it reads every frame as the unit's links must: a select
 * for readability, then the magic (4 bytes), the length (4 bytes) and the
 * rest, each a read of its own, on a socket with the links' 160 KiB send
 * and receive buffers; without, the prefix and the rest in two reads on a
 * socket the kernel sizes.
 *
 *     kelfloorbench [--framing] <meter address> <frame file>
 *
 * Ends when the meter closes the connection (status 0) or on any error
 * (status 1).
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#define FLOOR_PORT        1234
#define FLOOR_MAGIC       0xb45329c7u
#define FLOOR_PREFIX_LEN  12u
#define FLOOR_HEAD_LEN    16u
#define FLOOR_MAX_FRAME   792u
#define FLOOR_W           320u
#define FLOOR_H           240u
#define FLOOR_BPP         16u
#define FLOOR_ROW_BYTES   (FLOOR_W * 2u)
#define FLOOR_FRAME_BYTES (FLOOR_ROW_BYTES * FLOOR_H)
#define FLOOR_RECT_BYTES  768u
#define FLOOR_SOCK_BUF    163840  /* the links' send and receive buffer sizes */

enum {
    FLOOR_CMD_DATA_REQ = 1,
    FLOOR_CMD_FBDATA = 2,
    FLOOR_CMD_SCR_FIN = 3
};

#pragma pack(push, 1)
typedef struct {
    uint32_t header;
    uint32_t length;
    uint32_t transID;
    int32_t cmdType;
} FloorHead_t;

typedef struct {
    FloorHead_t head;
    uint16_t width;
    uint16_t height;
    uint16_t bpp;
} FloorDataReq_t;

typedef struct {
    FloorHead_t head;
    uint16_t x;
    uint16_t y;
    uint16_t w;
    uint16_t h;
    uint8_t pixels[FLOOR_RECT_BYTES];
} FloorRect_t;
#pragma pack(pop)

static_assert(sizeof(FloorHead_t) == FLOOR_HEAD_LEN, "frame head");
static_assert(sizeof(FloorDataReq_t) == 22, "data request");
static_assert(sizeof(FloorRect_t) == FLOOR_MAX_FRAME, "rectangle frame");
static_assert(offsetof(FloorRect_t, pixels) == 24, "pixels follow the rectangle");

static uint8_t floorFrame[FLOOR_FRAME_BYTES];

/* Reads exactly len bytes: 1, 0 when the peer closed, -1 on error. */
static int floorReadAll(int fd, void *buf, size_t len)
{
    uint8_t *p = (uint8_t *)buf;
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n == 0) {
            return 0;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 1;
}

/* With bLinkBuffers the socket gets the buffer sizes the links set. */
static int floorConnect(const char *addr, int bLinkBuffers)
{
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(FLOOR_PORT);
    if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1) {
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    int size = FLOOR_SOCK_BUF;
    if (bLinkBuffers && (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) < 0 ||
                         setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) < 0)) {
        close(fd);
        return -1;
    }
    if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int floorSendDataRequest(int fd)
{
    FloorDataReq_t req;
    memset(&req, 0, sizeof(req));
    req.head.header = FLOOR_MAGIC;
    req.head.length = sizeof(req);
    req.head.cmdType = FLOOR_CMD_DATA_REQ;
    req.width = FLOOR_W;
    req.height = FLOOR_H;
    req.bpp = FLOOR_BPP;
    return write(fd, &req, sizeof(req)) == (ssize_t)sizeof(req) ? 1 : -1;
}

/* Red and blue exchanged in place, then the rows into the private frame.
 * A rectangle that does not fit the frame or the payload is dropped. */
static void floorPlaceRect(FloorRect_t *rect)
{
    uint32_t x = rect->x, y = rect->y, w = rect->w, h = rect->h;
    if (x + w > FLOOR_W || y + h > FLOOR_H || w * h * 2u > FLOOR_RECT_BYTES) {
        return;
    }
    for (uint32_t i = 0; i < FLOOR_RECT_BYTES; i += 2) {
        uint8_t b0 = rect->pixels[i];
        uint8_t b1 = rect->pixels[i + 1];
        rect->pixels[i] = (uint8_t)((b0 & 0xE0u) | (b1 >> 3));
        rect->pixels[i + 1] = (uint8_t)((b1 & 0x07u) | (uint8_t)(b0 << 3));
    }
    for (uint32_t r = 0; r < h; r++) {
        memcpy(floorFrame + (y + r) * FLOOR_ROW_BYTES + x * 2u, rect->pixels + r * w * 2u, w * 2u);
    }
}

/* Waits until the socket is readable: 1, or -1 on error. */
static int floorWaitReadable(int fd)
{
    for (;;) {
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(fd, &readSet);
        struct timeval tv;
        tv.tv_sec = 0;
        tv.tv_usec = 500000;
        int n = select(fd + 1, &readSet, NULL, NULL, &tv);
        if (n > 0) {
            return 1;
        }
        if (n < 0 && errno != EINTR) {
            return -1;
        }
    }
}

/* The start of one frame: the 12-byte prefix in one read, or (framing)
 * after a select the magic and the length in two reads. The bytes read,
 * 0 when the peer closed, -1 on error. */
static int floorReadStart(int fd, FloorRect_t *frame, int bFraming)
{
    if (!bFraming) {
        int rc = floorReadAll(fd, frame, FLOOR_PREFIX_LEN);
        return rc > 0 ? (int)FLOOR_PREFIX_LEN : rc;
    }
    if (floorWaitReadable(fd) < 0) {
        return -1;
    }
    int rc = floorReadAll(fd, &frame->head.header, 4);
    if (rc > 0) {
        rc = floorReadAll(fd, &frame->head.length, 4);
    }
    return rc > 0 ? 8 : rc;
}

/* Frames until the meter closes: 0 then, -1 on a broken frame or error. */
static int floorServe(int fd, uint8_t *fb, int bFraming)
{
    FloorRect_t frame;
    for (;;) {
        int have = floorReadStart(fd, &frame, bFraming);
        if (have <= 0) {
            return have;
        }
        uint32_t length = frame.head.length;
        if (frame.head.header != FLOOR_MAGIC || length < FLOOR_HEAD_LEN || length > FLOOR_MAX_FRAME) {
            fprintf(stderr, "kelfloorbench: broken frame (length %u)\n", (unsigned)length);
            return -1;
        }
        if (floorReadAll(fd, (uint8_t *)&frame + have, length - (uint32_t)have) != 1) {
            return -1;
        }
        if (frame.head.cmdType == FLOOR_CMD_FBDATA && length == FLOOR_MAX_FRAME) {
            floorPlaceRect(&frame);
        } else if (frame.head.cmdType == FLOOR_CMD_SCR_FIN) {
            memcpy(fb, floorFrame, FLOOR_FRAME_BYTES);
        }
    }
}

int main(int argc, char **argv)
{
    int bFraming = argc == 4 && strcmp(argv[1], "--framing") == 0;
    if (argc != 3 && !bFraming) {
        fprintf(stderr, "usage: kelfloorbench [--framing] <meter address> <frame file>\n");
        return 1;
    }
    argv += bFraming;
    int ffd = open(argv[2], O_RDWR | O_CREAT, 0644);
    if (ffd < 0 || ftruncate(ffd, FLOOR_FRAME_BYTES) < 0) {
        fprintf(stderr, "kelfloorbench: cannot open %s\n", argv[2]);
        return 1;
    }
    void *map = mmap(NULL, FLOOR_FRAME_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, ffd, 0);
    close(ffd);
    if (map == MAP_FAILED) {
        fprintf(stderr, "kelfloorbench: cannot map %s\n", argv[2]);
        return 1;
    }
    int fd = floorConnect(argv[1], bFraming);
    if (fd < 0) {
        fprintf(stderr, "kelfloorbench: cannot connect to %s:%d\n", argv[1], FLOOR_PORT);
        return 1;
    }
    memset(floorFrame, 0xFF, sizeof(floorFrame));
    int rc = floorSendDataRequest(fd) == 1 ? floorServe(fd, (uint8_t *)map, bFraming) : -1;
    close(fd);
    munmap(map, FLOOR_FRAME_BYTES);
    return rc == 0 ? 0 : 1;
}
