/*
 * test_meterlinkBoard.h - one unit on a virtual board talking to the meter
 * simulator: the real kelcontrol and kelappclient in a fresh sandbox, a
 * stand-in startup client (a copy of sleep installed as the sandbox's
 * /usr/bin/kelstpclient, which is all the app client looks for), and the
 * simulator on the loopback address the test file owns.
 *
 * What the unit does is read where the meter and the board see it: the
 * simulator's record of frames and connections, the frame buffer file, the
 * sysfs files and the stand-ins' journal. Every wait is a deadline, loose
 * enough for a loaded two-core machine and for ARM programs under qemu.
 */
#ifndef TEST_METERLINK_BOARD_H
#define TEST_METERLINK_BOARD_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdint.h>
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
#include "meterSim.h"

#define MLB_DEADLINE_MS 20000   /* anything that should happen "soon" */
#define MLB_POLL_MS 25
#define MLB_FB_BYTES (MSW_SCREEN_W * MSW_SCREEN_H * 2)

#define MLB_BACKLIGHT "/sys/class/backlight/pwm-backlight/brightness"
#define MLB_LED_GREEN "/sys/devices/platform/leds-gpio/leds/status-ledgreen/brightness"
#define MLB_LED_RED "/sys/devices/platform/leds-gpio/leds/status-ledred/brightness"
#define MLB_LED_ALARM "/sys/devices/platform/leds-gpio/leds/alarm-ledred/brightness"
#define MLB_FB "/dev/fb0"

/* Polls `cond` until it holds or timeoutMs passed; the last result. */
static inline bool mlbWaitFor(const std::function<bool()> &cond, int timeoutMs = MLB_DEADLINE_MS)
{
    return kelTestWaitFor(cond, timeoutMs, MLB_POLL_MS);
}

/* A 32-bit little-endian word of a recorded frame (-1 beyond its end). */
static inline int32_t mlbWord(const MeterSimRecord_t &rec, uint32_t offset)
{
    int32_t v = -1;
    if (offset + 4 <= rec.nBytes)
        memcpy(&v, rec.bytes + offset, sizeof(v));
    return v;
}

/* A wire pixel as the display holds it: red and blue change places. */
static inline uint16_t mlbWireToDisplay(uint16_t p)
{
    return (uint16_t)(((p & 0x001Fu) << 11) | (p & 0x07E0u) | (p >> 11));
}

/* 320 x 240 display pixels as the frame buffer file holds them. */
static inline std::string mlbFrameBytes(const uint16_t *pixels)
{
    std::string f(MLB_FB_BYTES, '\0');
    for (uint32_t i = 0; i < MSW_SCREEN_W * MSW_SCREEN_H; i++) {
        f[2 * i] = (char)(pixels[i] & 0xFF);
        f[2 * i + 1] = (char)(pixels[i] >> 8);
    }
    return f;
}

/* First differing pixel of two frames, for failure messages. */
static inline std::string mlbFirstDiff(const std::string &got, const std::string &want)
{
    if (got.size() != want.size())
        return "frame buffer holds " + std::to_string(got.size()) + " bytes";
    for (size_t i = 0; i < got.size(); i++) {
        if (got[i] != want[i]) {
            size_t px = i / 2;
            return "first difference at pixel (" + std::to_string(px % MSW_SCREEN_W) + "," +
                   std::to_string(px / MSW_SCREEN_W) + ")";
        }
    }
    return "equal";
}

class MeterLinkBoard {
public:
    MeterLinkBoard() : sb(KEL_TEST_BIN_DIR) {}
    ~MeterLinkBoard()
    {
        if (app > 0)
            sb.stop(app);
        if (ctl > 0)
            sb.stop(ctl);
        if (stp > 0)
            sb.stop(stp);
        meterSimStop(sim);
        if (shm != nullptr)
            shmdt(shm);
    }

    /* Replaces the sandbox's startup client by a copy of sleep (the link
     * is removed first: never write through it into the build). */
    bool installStartupStandIn()
    {
        std::string p = sb.path("/usr/bin/kelstpclient");
        unlink(p.c_str());
        return sb.shell("cp /bin/sleep '" + p + "' && chmod 755 '" + p + "'") == 0;
    }
    pid_t startStartupStandIn()
    {
        stp = sb.spawn({"/usr/bin/kelstpclient", "3600"});
        return stp;
    }

    bool startMeter(const std::string &address)
    {
        addr = address;
        meterSimDefaultConfig(&cfg, addr.c_str());
        sim = meterSimStart(&cfg);
        return sim != nullptr;
    }

    /* Starts the daemon; its frame thread marks the segment read once it
     * has attached, so frames written after that are taken. */
    bool startDaemon()
    {
        INT32 id = -1;
        if (kelAppShareMemGetID(&id, KEL_SHM_ID_FB) < 0)
            return false;
        void *a = shmat(id, nullptr, SHM_RDONLY);
        if (a == (void *)-1)
            return false;
        shm = (kel_ShMem_FB_t *)a;
        ctl = sb.spawn({"/usr/bin/kelcontrol"});
        if (ctl < 0)
            return false;
        return mlbWaitFor([this] { return KEL_LOAD(shm->bRead) == KEL_TRUE; });
    }

    pid_t startApp()
    {
        app = sb.spawn({"/kel/app/kelappclient", addr});
        return app;
    }

    /* Both links connected after `mark` and announced (DATA_REQ, GET_DATA);
     * the announcement records are stored in dataReq and getData. */
    bool waitAnnounced(uint32_t mark, int timeoutMs = MLB_DEADLINE_MS)
    {
        if (meterSimWait(sim, mark, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSW_FB_DATA_REQ,
                         (uint32_t)timeoutMs, &dataReq) != 1)
            return false;
        if (meterSimWait(sim, mark, MSIM_LINK_NONSCREEN, MSIM_EV_FRAME, MSW_NS_GET_DATA,
                         (uint32_t)timeoutMs, &getData) != 1)
            return false;
        /* The links mark themselves announced right after these sends. */
        kelTestSleepMs(300);
        return true;
    }

    /* The whole unit: meter, stand-in startup client, daemon, app client,
     * both links announced. */
    bool bringUp(const std::string &address)
    {
        if (!sb.ok() || !startMeter(address) || !installStartupStandIn() ||
            startStartupStandIn() < 0 || !startDaemon())
            return false;
        uint32_t mark = meterSimMark(sim);
        return startApp() > 0 && waitAnnounced(mark);
    }

    bool alive() { return app > 0 && sb.running(app) && ctl > 0 && sb.running(ctl); }
    std::string appOutput() const { return sb.read("/var/log/kelappclient.out"); }

    /* ---- screen ---- */
    std::string screen() const { return sb.read(MLB_FB); }
    bool waitScreen(const std::string &want, int timeoutMs = MLB_DEADLINE_MS) const
    {
        return mlbWaitFor([&] { return screen() == want; }, timeoutMs);
    }

    /* ---- sysfs ---- */
    std::string file(const char *path) const { return kelTestTrim(sb.read(path)); }
    bool waitFile(const char *path, const std::string &value, int timeoutMs = MLB_DEADLINE_MS) const
    {
        return mlbWaitFor([&] { return file(path) == value; }, timeoutMs);
    }

    /* ---- keypad: 16-byte records of the ARM board's input_event ---- */
    bool writeKey(uint16_t type, uint16_t code, int32_t value) { return sb.writeKey(type, code, value); }
    bool press(uint16_t code) { return sb.pressKey(code); }
    bool release(uint16_t code) { return sb.releaseKey(code); }

    /* ---- the meter's record ---- */
    /* Frames of `cmd` on `link` at or after `from`, until `count` arrived or
     * the deadline passed. */
    std::vector<MeterSimRecord_t> frames(uint32_t from, int32_t link, int32_t cmd, size_t count,
                                         int timeoutMs = MLB_DEADLINE_MS)
    {
        std::vector<MeterSimRecord_t> out;
        uint64_t end = meterSimNowMs() + (uint64_t)timeoutMs;
        MeterSimRecord_t rec;
        while (out.size() < count) {
            uint64_t now = meterSimNowMs();
            uint32_t left = now >= end ? 0u : (uint32_t)(end - now);
            if (meterSimWait(sim, from, link, MSIM_EV_FRAME, cmd, left, &rec) != 1)
                break;
            out.push_back(rec);
            from = rec.seq + 1;
        }
        return out;
    }

    /* The unit dropped the link after `mark` and came back: a close, a new
     * connection and its announcement, in that order. Returns the close and
     * the announcement through the pointers. */
    bool waitReconnect(uint32_t mark, int32_t link, int timeoutMs, MeterSimRecord_t *closed,
                       MeterSimRecord_t *announce)
    {
        int32_t cmd = link == MSIM_LINK_SCREEN ? (int32_t)MSW_FB_DATA_REQ : (int32_t)MSW_NS_GET_DATA;
        MeterSimRecord_t c, n;
        if (meterSimWait(sim, mark, link, MSIM_EV_CLOSED, MSIM_ANY, (uint32_t)timeoutMs, &c) != 1)
            return false;
        if (meterSimWait(sim, c.seq + 1, link, MSIM_EV_CONNECT, MSIM_ANY, (uint32_t)timeoutMs, &n) != 1)
            return false;
        MeterSimRecord_t a;
        if (meterSimWait(sim, n.seq + 1, link, MSIM_EV_FRAME, cmd, (uint32_t)timeoutMs, &a) != 1)
            return false;
        if (a.conn != n.conn)
            return false;
        if (closed != nullptr)
            *closed = c;
        if (announce != nullptr)
            *announce = a;
        return true;
    }

    /* The whole record after `from`, one line per event, for messages. */
    std::string describe(uint32_t from)
    {
        std::string out;
        MeterSimRecord_t rec;
        while (meterSimWait(sim, from, MSIM_ANY, MSIM_ANY, MSIM_ANY, 0, &rec) == 1) {
            char line[256];
            meterSimFormatRecord(&rec, line, sizeof(line));
            out += line;
            out += '\n';
            from = rec.seq + 1;
        }
        return out;
    }

    KelSandbox sb;
    std::string addr;
    MeterSimConfig_t cfg;
    MeterSim_t *sim = nullptr;
    pid_t stp = -1, ctl = -1, app = -1;
    kel_ShMem_FB_t *shm = nullptr;
    MeterSimRecord_t dataReq, getData;
};

#endif /* TEST_METERLINK_BOARD_H */
