/*
 * industBoard.h - one unit on a virtual board with its factory service: the
 * real kelcontrol and kelindustry in a fresh sandbox, and test stations
 * (the station simulator's library) connecting to 127.0.0.1 port 1237.
 *
 * What the unit does is read where the station and the board see it: the
 * answers, the files of the sandbox, the frame buffer file, the sysfs
 * files, the stand-ins' journal and the work mode published in the shared
 * segment. Every wait is a deadline, loose enough for a loaded two-core
 * machine and for ARM programs under qemu.
 */
#ifndef INDUST_BOARD_H
#define INDUST_BOARD_H

#include <gtest/gtest.h>

#include <string.h>
#include <sys/shm.h>
#include <time.h>

#include <functional>
#include <string>

#include "kelSandbox.h"
#include "kelTestWait.h"
#include "kelmsg.h"
#include "stationSim.h"

#define IB_ADDR "127.0.0.1"
#define IB_DEADLINE_MS 20000 /* anything that should happen "soon" */
#define IB_ANSWER_MS 8000    /* one answer of the unit */
#define IB_SILENT_MS 1500    /* how long "no answer" is waited for */
#define IB_POLL_MS 25

#define IB_LED_RED "/sys/devices/platform/leds-gpio/leds/status-ledred/brightness"
#define IB_LED_ALARM "/sys/devices/platform/leds-gpio/leds/alarm-ledred/brightness"
#define IB_BACKLIGHT "/sys/class/backlight/pwm-backlight/brightness"

/* Polls `cond` until it holds or timeoutMs passed; the last result. */
static inline bool ibWaitFor(const std::function<bool()> &cond, int timeoutMs = IB_DEADLINE_MS)
{
    return kelTestWaitFor(cond, timeoutMs, IB_POLL_MS);
}

static inline std::string ibTrim(const std::string &s)
{
    size_t e = s.find_last_not_of(" \t\r\n");
    return e == std::string::npos ? "" : s.substr(0, e + 1);
}

/* A station of its own, closed when it goes out of scope. */
struct IbStation {
    IbStation() { stationSimInit(&st); }
    ~IbStation() { stationSimClose(&st); }
    bool connect() { return stationSimConnect(&st, IB_ADDR, SSW_PORT, IB_DEADLINE_MS) == 1; }
    bool authenticate() { return stationSimAuthenticate(&st, STATION_DIGEST_RIGHT, IB_ANSWER_MS) == 1; }
    /* The request's answer (1), or what came instead. */
    int ask(int32_t cmd, const void *payload = nullptr, uint32_t len = 0, int timeoutMs = IB_ANSWER_MS)
    {
        return stationSimRequest(&st, cmd, payload, len, &resp, (uint32_t)timeoutMs);
    }
    /* The test result of the answer, or -1 when none came. */
    int32_t result(int32_t cmd, const void *payload = nullptr, uint32_t len = 0)
    {
        return ask(cmd, payload, len) == 1 ? stationSimResult(&resp) : -1;
    }
    int32_t resultOfText(int32_t cmd, const std::string &text)
    {
        return result(cmd, text.data(), (uint32_t)text.size());
    }
    int32_t resultOfWord(int32_t cmd, int32_t word) { return result(cmd, &word, sizeof(word)); }
    /* True when the request gets no answer within IB_SILENT_MS. */
    bool unanswered(int32_t cmd, const void *payload = nullptr, uint32_t len = 0)
    {
        return ask(cmd, payload, len, IB_SILENT_MS) == -2;
    }
    StationSim_t st;
    StationFrame_t resp;
};

class IndustBoard {
public:
    IndustBoard() : sb(KEL_TEST_BIN_DIR) {}
    ~IndustBoard()
    {
        if (ind > 0)
            sb.stop(ind);
        if (ctl > 0)
            sb.stop(ctl);
        if (shm != nullptr)
            shmdt(shm);
    }

    /* The daemon (its frame thread attached) and then the service. */
    bool start()
    {
        if (!sb.ok())
            return false;
        INT32 id = -1;
        if (kelAppShareMemGetID(&id, KEL_SHM_ID_FB) < 0)
            return false;
        void *a = shmat(id, nullptr, SHM_RDONLY);
        if (a == (void *)-1)
            return false;
        shm = (kel_ShMem_FB_t *)a;
        ctl = sb.spawn({"/usr/bin/kelcontrol"});
        if (ctl < 0 || !ibWaitFor([this] { return KEL_LOAD(shm->bRead) == KEL_TRUE; }))
            return false;
        ind = sb.spawn({"/usr/bin/kelindustry"});
        return ind > 0;
    }

    /* The board started and `s` connected; authenticated when asked. */
    bool startWith(IbStation &s, bool authenticated = true)
    {
        return start() && s.connect() && (!authenticated || s.authenticate());
    }

    /* The work mode the daemon publishes. */
    int32_t mode() const { return shm ? KEL_LOAD(shm->kelWorkMode) : -1; }
    bool waitMode(int32_t m, int timeoutMs = IB_DEADLINE_MS)
    {
        return ibWaitFor([this, m] { return mode() == m; }, timeoutMs);
    }
    /* True when every byte of the frame buffer file is `b`. */
    bool screenIs(unsigned char b) const
    {
        std::string fb = sb.read("/dev/fb0");
        return fb.size() == KEL_FB_FRAME_SIZE && fb.find_first_not_of((char)b) == std::string::npos;
    }
    bool fileIs(const std::string &boardPath, const std::string &text, int timeoutMs = IB_DEADLINE_MS)
    {
        return ibWaitFor([&] { return ibTrim(sb.read(boardPath)) == text; }, timeoutMs);
    }
    bool serviceRunning() { return ind > 0 && sb.running(ind); }

    KelSandbox sb;
    pid_t ctl = -1;
    pid_t ind = -1;
    kel_ShMem_FB_t *shm = nullptr;
};

#endif /* INDUST_BOARD_H */
