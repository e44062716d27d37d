/*
 * test_daemon_harness.h - drives a real kelcontrol in a fresh virtual
 * board, as the other programs do: requests on the R queue, frames through
 * the shared segment and the F queue, key records into the keypad FIFO,
 * error reports on the E queue. What comes back is read from the T and I
 * queues, the sysfs files, the frame buffer file, the logs and the journal.
 *
 * Every wait polls against a deadline that is generous enough for a loaded
 * two-core machine and for ARM programs under qemu.
 */
#ifndef TEST_DAEMON_HARNESS_H
#define TEST_DAEMON_HARNESS_H

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "kelSandbox.h"
#include "kelTestWait.h"
#include "kelmsg.h"

#define HARNESS_DEADLINE_MS 20000
#define HARNESS_POLL_MS 20

#define LED_GREEN_DIR "/sys/devices/platform/leds-gpio/leds/status-ledgreen"
#define LED_RED_DIR "/sys/devices/platform/leds-gpio/leds/status-ledred"
#define LED_ALARM_DIR "/sys/devices/platform/leds-gpio/leds/alarm-ledred"
#define BACKLIGHT_FILE "/sys/class/backlight/pwm-backlight/brightness"
#define FB_FILE "/dev/fb0"
#define KEYPAD_FIFO "/dev/input/event0"
#define PICTO_DIR "/usr/share/picto"

/* Polls `cond` until it holds or timeoutMs passed; the last result. */
static inline bool waitFor(const std::function<bool()> &cond, int timeoutMs = HARNESS_DEADLINE_MS)
{
    return kelTestWaitFor(cond, timeoutMs, HARNESS_POLL_MS);
}

/* Little-endian 16-bit frame with every pixel `colour`. */
static inline std::vector<UINT8> solidFrame(UINT16 colour)
{
    std::vector<UINT8> f(KEL_FB_FRAME_SIZE);
    for (size_t i = 0; i + 1 < f.size(); i += 2) {
        f[i] = (UINT8)(colour & 0xFF);
        f[i + 1] = (UINT8)(colour >> 8);
    }
    return f;
}

/* A frame whose every byte differs from its neighbours: catches shifts. */
static inline std::vector<UINT8> patternFrame(unsigned seed)
{
    std::vector<UINT8> f(KEL_FB_FRAME_SIZE);
    UINT32 x = seed * 2654435761u + 1u;
    for (size_t i = 0; i < f.size(); i++) {
        x = x * 1103515245u + 12345u;
        f[i] = (UINT8)(x >> 16);
    }
    return f;
}

/* A fresh virtual board with kelcontrol running in it. */
class DaemonBoard {
public:
    DaemonBoard() : sb(KEL_TEST_BIN_DIR) {}
    /* Whatever a test did, the daemon must still be running at its end
     * (a sanitizer report or a crash ends it). */
    ~DaemonBoard()
    {
        if (pid > 0) {
            EXPECT_TRUE(sb.running(pid)) << "kelcontrol ended:\n" << sb.read("/var/log/kelcontrol.out");
        }
        if (shm != nullptr) {
            shmdt(shm);
        }
    }

    /* Builds the board and starts the daemon; waits until its frame thread
     * has attached the segment (it marks the segment read on attach). */
    bool start()
    {
        if (!sb.ok() || !attachSegment()) {
            return false;
        }
        pid = sb.spawn({"/usr/bin/kelcontrol"});
        if (pid < 0) {
            return false;
        }
        return waitFor([this] { return KEL_LOAD(shm->bRead) == KEL_TRUE; });
    }

    bool attachSegment()
    {
        INT32 id = -1;
        if (kelAppShareMemGetID(&id, KEL_SHM_ID_FB) < 0) {
            return false;
        }
        void *a = shmat(id, nullptr, 0);
        if (a == (void *)-1) {
            return false;
        }
        shm = (kel_ShMem_FB_t *)a;
        return true;
    }

    bool alive() { return pid > 0 && sb.running(pid); }

    /* ---- R queue ---- */
    bool sendRequest(const kel_MsgQue_Rx_t &msg)
    {
        INT32 q = -1;
        if (kelAppMsgQueGetID(&q, KEL_MSG_ID_RX) < 0) {
            return false;
        }
        return kelAppMsgQueDataSend(q, KEL_MSG_TYPE_RX, &msg) > 0;
    }
    static kel_MsgQue_Rx_t request(INT32 cmd)
    {
        kel_MsgQue_Rx_t m;
        memset(&m, 0, sizeof(m));
        m.msgType = KEL_MSG_TYPE_RX;
        m.cmdType = cmd;
        return m;
    }
    bool sendBrightness(UINT32 level)
    {
        kel_MsgQue_Rx_t m = request(KEL_MSGQ_RX_BRIGHTNESS);
        m.data.brightnessData.brightness = level;
        return sendRequest(m);
    }
    bool sendMode(INT32 mode)
    {
        kel_MsgQue_Rx_t m = request(KEL_MSGQ_RX_OPT_MODE);
        m.data.kelWorkMode = mode;
        return sendRequest(m);
    }
    bool sendStatusLed(INT32 colour, UINT16 cycle, UINT16 duty, UINT16 act, UINT16 inact)
    {
        kel_MsgQue_Rx_t m = request(KEL_MSGQ_RX_STATUS_LED);
        m.data.statusLedData.colour = colour;
        m.data.statusLedData.pattern = KELNS_patternData_t{cycle, duty, act, inact};
        return sendRequest(m);
    }
    bool sendAlarmLed(UINT16 cycle, UINT16 duty, UINT16 act, UINT16 inact)
    {
        kel_MsgQue_Rx_t m = request(KEL_MSGQ_RX_ALARM_LED);
        m.data.alarmLedData.pattern = KELNS_patternData_t{cycle, duty, act, inact};
        return sendRequest(m);
    }
    bool sendTime(UINT64 utc)
    {
        kel_MsgQue_Rx_t m = request(KEL_MSGQ_RX_TIME);
        m.data.timeData.unixTime = utc;
        return sendRequest(m);
    }
    /* A request whose effect is visible (a journal line): once it shows,
     * every request sent before it has been dispatched. */
    bool fence()
    {
        static UINT64 next = 1700000000ull;
        next += 61;
        time_t t = (time_t)next;
        struct tm tm;
        gmtime_r(&t, &tm);
        char line[64];
        snprintf(line, sizeof(line), "date -s %4d.%d.%d-%d:%d:%d", tm.tm_year + 1900, tm.tm_mon + 1,
                 tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        return sendTime(next) && sb.waitJournal(line, HARNESS_DEADLINE_MS);
    }

    /* ---- T and I queues ---- */
    /* Next event on `letter` within timeoutMs; false when none came. */
    bool recvEvent(kel_MsgQue_ID_t letter, kel_MsgQue_Tx_t *out, int timeoutMs)
    {
        INT32 q = -1;
        if (kelAppMsgQueGetID(&q, letter) < 0) {
            return false;
        }
        bool waiting = waitFor(
            [q] {
                struct msqid_ds info;
                return kelAppMsgQueGetInfo(q, &info) > 0 && info.msg_qnum > 0;
            },
            timeoutMs);
        if (!waiting) {
            return false;
        }
        memset(out, 0, sizeof(*out));
        return kelAppMsgQueDataRecv(q, KEL_MSG_TYPE_TX, out, KEL_MSGQ_TX_MAX_BYTES) >= 0;
    }
    /* Next event of command `cmd`, skipping others; false on time-out. */
    bool recvEventOf(kel_MsgQue_ID_t letter, INT32 cmd, kel_MsgQue_Tx_t *out, int timeoutMs)
    {
        long end = kelTestNowMs() + timeoutMs;
        for (;;) {
            long left = end - kelTestNowMs();
            if (left < 0 || !recvEvent(letter, out, (int)left)) {
                return false;
            }
            if (out->cmdType == cmd) {
                return true;
            }
        }
    }
    void drain(kel_MsgQue_ID_t letter)
    {
        kel_MsgQue_Tx_t m;
        while (recvEvent(letter, &m, 0)) {
        }
    }

    /* ---- F queue and segment ---- */
    bool announceFrame(INT32 task, INT32 finished = KEL_TRUE)
    {
        INT32 q = -1;
        if (kelAppMsgQueGetID(&q, KEL_MSG_ID_FB) < 0) {
            return false;
        }
        kel_MsgQue_FB_t m;
        m.msgType = KEL_MSG_TYPE_FB;
        m.appTaskID = task;
        m.bScrFinished = finished;
        return kelAppMsgQueDataSend(q, KEL_MSG_TYPE_FB, &m) > 0;
    }
    bool showFrame(const std::vector<UINT8> &frame, kel_AppTaskID_t task)
    {
        return kelFBShareMemWrite(frame.data(), (INT32)frame.size(), task) > 0 && announceFrame(task);
    }
    std::string screen() const { return sb.read(FB_FILE); }
    bool screenIs(const std::vector<UINT8> &frame) const
    {
        std::string s = screen();
        return s.size() == frame.size() && memcmp(s.data(), frame.data(), frame.size()) == 0;
    }
    bool waitScreen(const std::vector<UINT8> &frame, int timeoutMs = HARNESS_DEADLINE_MS) const
    {
        return waitFor([&] { return screenIs(frame); }, timeoutMs);
    }

    /* ---- sysfs ---- */
    std::string led(const char *dir) const { return kelTestTrim(sb.read(std::string(dir) + "/brightness")); }
    bool waitLed(const char *dir, const std::string &value, int timeoutMs = HARNESS_DEADLINE_MS) const
    {
        return waitFor([&] { return led(dir) == value; }, timeoutMs);
    }
    std::string backlight() const { return kelTestTrim(sb.read(BACKLIGHT_FILE)); }

    /* Samples an LED for durationMs: fraction of samples lit, and whether
     * both states were seen. */
    double ledDuty(const char *dir, int durationMs, bool *sawOn, bool *sawOff) const
    {
        long end = kelTestNowMs() + durationMs;
        int on = 0;
        int total = 0;
        *sawOn = false;
        *sawOff = false;
        while (kelTestNowMs() < end) {
            std::string v = led(dir);
            if (v == "255") {
                on++;
                *sawOn = true;
            } else if (v == "0") {
                *sawOff = true;
            } else {
                kelTestSleepMs(2); /* caught between truncate and write */
                continue;
            }
            total++;
            kelTestSleepMs(10);
        }
        return total > 0 ? (double)on / total : -1.0;
    }

    /* ---- keypad FIFO ---- */
    bool writeKey(UINT16 type, UINT16 code, INT32 value) { return sb.writeKey(type, code, value); }
    bool press(UINT16 code) { return sb.pressKey(code); }
    bool release(UINT16 code) { return sb.releaseKey(code); }

    KelSandbox sb;
    pid_t pid = -1;
    kel_ShMem_FB_t *shm = nullptr;
};

#endif /* TEST_DAEMON_HARNESS_H */
