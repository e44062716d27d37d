/*
 * kelindustsocket.cpp - the factory test protocol module: payload size of
 * every command, frame layout, the transaction counter, the challenge and
 * its digest, and the framed send and receive over the socket layer.
 *
 * Called by the factory service's main thread (responses) and its queue
 * thread (temperature and key events); industSendMutex keeps their frames
 * apart. Nothing here writes to the error log: results go back to the
 * caller, which decides what a failure means.
 */
#include "kelindustsocket.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include "kelstartcommon.h"

#define INDUST_URANDOM "/dev/urandom"
#define INDUST_RANDOM_DRAWS 4 /* a zero draw is drawn again */

pthread_mutex_t industSendMutex = PTHREAD_MUTEX_INITIALIZER;

/* Transaction counter of this protocol, zero at program start. */
static UINT32 kelTransID;

UINT32 industGetTransID(void)
{
    return kelFrameNextTransID(&kelTransID);
}

/* Four bytes from the kernel's generator: getrandom, or /dev/urandom on a
 * kernel without it. 1, or -1 when neither gave them. */
static INT32 industKernelRandom(UINT32 *value)
{
    for (;;) {
        ssize_t n = getrandom(value, sizeof(*value), 0);
        if (n == (ssize_t)sizeof(*value)) {
            return 1;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != ENOSYS) {
            return -1;
        }
        break;
    }
    int fd = open(INDUST_URANDOM, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    ssize_t n = read(fd, value, sizeof(*value));
    close(fd);
    return n == (ssize_t)sizeof(*value) ? 1 : -1;
}

UINT32 industGetRandom(void)
{
    /* Not the clock-seeded generator of the startup protocol: the clock
     * can be set from outside, and a station that knows the second would
     * know the challenge and could replay a recorded answer. */
    for (INT32 i = 0; i < INDUST_RANDOM_DRAWS; i++) {
        UINT32 value = 0;
        if (industKernelRandom(&value) < 0) {
            return 0;
        }
        if (value != 0) {
            return value;
        }
    }
    return 0;
}

UINT32 industGetDigest(UINT32 random)
{
    return stpGetDigest(random);
}

static INT32 industTextSize(const void *data, UINT32 fieldSize)
{
    return data == NULL ? 0 : (INT32)strnlen((const char *)data, fieldSize);
}

INT32 industGetPayloadSize(INT32 cmdType, INT32 msgType, const void *data)
{
    INT32 response = (msgType == KEL_INDUST_RESPONSE);
    switch (cmdType) {
    case KEL_INDUST_TEST_REQUEST:
    case KEL_INDUST_AUTH_CHALLENGE:
        return 4;
    case KEL_INDUST_TIME_SYNCHRONIZE:
        return 8;
    case KEL_INDUST_VERSION_GET:
    case KEL_INDUST_FACTORY_RESET:
    case KEL_INDUST_TEST_RESULT_GET:
    case KEL_INDUST_COMMU_TEST:
    case KEL_INDUST_FLASH_TEST:
    case KEL_INDUST_IMAGE_GET:
    case KEL_INDUST_FLASH_COPY:
    case KEL_INDUST_REBOOT:
        return response ? KEL_INDUST_RESULT_PAD_SIZE : 0;
    case KEL_INDUST_SN_GET:
        return response ? industTextSize(data, KEL_INDUST_SN_SIZE) : 0;
    case KEL_INDUST_SN_SET:
    case KEL_INDUST_IP_SET:
    case KEL_INDUST_SERVERIP_SET:
        return response ? 4 : industTextSize(data, KEL_INDUST_PAYLOAD_MAX);
    case KEL_INDUST_TEST_RESULT_SET:
        return response ? 4 : (INT32)sizeof(KEL_INDUST_TestResult_t);
    case KEL_INDUST_LED_TEST:
        return response ? 4 : (INT32)sizeof(KEL_INDUST_LEDTest_t);
    case KEL_INDUST_BUTTON_TEST:
        return response ? (INT32)sizeof(KEL_INDUST_ButtonTest_t) : 0;
    case KEL_INDUST_TEMP_GET:
    case KEL_INDUST_BRIGHT_GET:
    case KEL_INDUST_LOGO_GET:
        return response ? 4 : 0;
    case KEL_INDUST_LCD_TEST:
    case KEL_INDUST_LCDTYPE_SET:
    case KEL_INDUST_BRIGHT_SET:
    case KEL_INDUST_TELNET_SET:
    case KEL_INDUST_LOGO_SET:
        return 4;
    case KEL_INDUST_INFO_GET:
        return response ? (INT32)sizeof(KEL_INDUST_Info_t) : 0;
    default: /* the heartbeat and unknown commands carry nothing */
        return 0;
    }
}

INT32 industBuildMSG(KEL_INDUST_Message_t *msg, INT32 cmdType, INT32 msgType, const void *data,
                     UINT32 transID)
{
    if (msg == NULL) {
        return -1;
    }
    memset(msg, 0, sizeof(*msg));
    msg->msgType = (KEL_INDUST_msgTypes_t)msgType;
    msg->cmdType = (KEL_INDUST_cmdTypes_t)cmdType;
    INT32 payload = industGetPayloadSize(cmdType, msgType, data);
    kelFramePrefixFill(msg, KEL_INDUST_HEADER_SIZE, transID);
    if (payload > 0 && data == NULL) {
        return -1;
    }
    if (payload > 0) {
        memcpy(msg->data.raw, data, (size_t)payload);
    }
    INT32 length = KEL_INDUST_HEADER_SIZE + payload;
    kelFramePrefixFill(msg, (UINT32)length, transID);
    return length;
}

INT32 industSendOnLink(const INT32 *socketWord, INT32 cmdType, INT32 msgType, const void *data)
{
    if (socketWord == NULL || KEL_LOAD(*socketWord) <= 0) {
        return -1;
    }
    /* The id is written in under the send mutex: one taken before it could
     * reach the wire after the next one, sent by the other thread. */
    KEL_INDUST_Message_t msg;
    INT32 length = industBuildMSG(&msg, cmdType, msgType, data, 0);
    if (length < 0) {
        return -1;
    }
    return (kelFrameSendNumbered(&industSendMutex, socketWord, &kelTransID, &msg, length) > 0) ? 1 : -1;
}

INT32 industKELSendMSG(int socket, INT32 cmdType, INT32 msgType, const void *data, INT32 needResp)
{
    (void)needResp;
    INT32 socketWord = socket;
    return industSendOnLink(&socketWord, cmdType, msgType, data);
}

INT32 industKELRecvMSG(int socket, KEL_INDUST_Message_t *msg)
{
    /* The frame helper refuses a length beyond the 148-byte record like a
     * wrong magic; one that ends inside the message and command types is
     * refused the same way here. */
    INT32 rc = kelFrameRecv(socket, msg, (int)sizeof(*msg));
    if (rc == 1 && msg->length < KEL_INDUST_HEADER_SIZE) {
        return 0;
    }
    return rc;
}
