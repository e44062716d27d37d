/*
 * test_startup_seqHarness.h - one unit on a virtual board with the real
 * kelstpclient, facing the meter simulator on its own loopback address.
 *
 * The control daemon is either the real kelcontrol (its accepted work mode
 * is read from the shared segment) or a stand-in that only keeps a process
 * of that name alive, so that the test itself reads the work-mode requests
 * the startup client puts on the request queue.
 */
#ifndef TEST_STARTUP_SEQ_HARNESS_H
#define TEST_STARTUP_SEQ_HARNESS_H

#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kelSandbox.h"
#include "kelmsg.h"
#include "meterSim.h"

/* The application version the built app client publishes (1.8). */
#define SEQ_APP_VERSION_TEXT "001.008.000"
#define SEQ_APP_VERSION 0x0108u
#define SEQ_KERNEL_BUILD 193u

class StartupSeq : public ::testing::Test {
protected:
    /* Called by each test with its own address and daemon choice. */
    void bringUp(const std::string &address, bool realDaemon, bool appInstalled = true)
    {
        addr = address;
        ASSERT_TRUE(sb.ok());
        /* The app client started by the init script talks to this meter. */
        ASSERT_TRUE(sb.write("/etc/vboard.conf", "METER_HOST=" + addr + "\n"));
        ASSERT_TRUE(sb.write("/kel/config/kel.conf", "APP_VERSION " SEQ_APP_VERSION_TEXT "\n"));
        if (!realDaemon) {
            /* Replace the link, never write through it into the build. */
            ASSERT_EQ(unlink(sb.path("/usr/bin/kelcontrol").c_str()), 0);
            ASSERT_TRUE(sb.write("/usr/bin/kelcontrol",
                                 "#!/bin/sh\nwhile :; do sleep 1; done\n"));
            ASSERT_EQ(chmod(sb.path("/usr/bin/kelcontrol").c_str(), 0755), 0);
        }
        if (!appInstalled) {
            ASSERT_EQ(unlink(sb.path("/kel/app/kelappclient").c_str()), 0);
        }
        meterSimDefaultConfig(&cfg, addr.c_str());
        cfg.bServeStartup = 1;
        cfg.stpUnixTime = 1900000000u;   /* 2030-03-17 17:46:40 UTC */
    }

    void startMeter()
    {
        sim = meterSimStart(&cfg);
        ASSERT_NE(sim, nullptr);
    }

    void startUnit()
    {
        stp = sb.spawn({"/usr/bin/kelstpclient", addr});
        ASSERT_GT(stp, 0);
    }

    void TearDown() override
    {
        /* The client first, so nothing restarts what the sandbox stops. */
        if (stp > 0)
            sb.stop(stp);
        meterSimStop(sim);
        sim = nullptr;
    }

    /* Next startup frame of the unit with this command at or after seq. */
    bool waitFrame(uint32_t seq, int32_t cmd, uint32_t timeoutMs, MeterSimRecord_t *rec)
    {
        return meterSimWait(sim, seq, MSIM_LINK_STARTUP, MSIM_EV_FRAME, cmd, timeoutMs, rec) == 1;
    }

    static int32_t word(const MeterSimRecord_t &rec, uint32_t offset)
    {
        int32_t v = -1;
        if (offset + 4 <= rec.nBytes)
            memcpy(&v, rec.bytes + offset, sizeof(v));
        return v;
    }

    /* Next STATE frame carrying `state`; earlier other states are skipped. */
    bool waitState(uint32_t seq, int32_t state, uint32_t timeoutMs, MeterSimRecord_t *out)
    {
        uint64_t end = meterSimNowMs() + timeoutMs;
        MeterSimRecord_t rec;
        while (meterSimNowMs() < end) {
            if (!waitFrame(seq, MSW_STP_STATE, (uint32_t)(end - meterSimNowMs()), &rec))
                return false;
            seq = rec.seq + 1;
            if (word(rec, MSW_HEAD_LEN) == state) {
                if (out != nullptr)
                    *out = rec;
                return true;
            }
        }
        return false;
    }

    /* Work-mode requests on the request queue, in order (stand-in daemon
     * only: nobody else reads the queue). */
    const std::vector<int32_t> &modeRequests()
    {
        key_t key = ftok(sb.path("/home/root").c_str(), KEL_MSG_ID_RX);
        int id = key == (key_t)-1 ? -1 : msgget(key, 0);
        struct {
            long mtype;
            char text[64];
        } buf;
        while (id >= 0) {
            ssize_t n = msgrcv(id, &buf, sizeof(buf.text), 0, IPC_NOWAIT);
            if (n < 0)
                break;
            int32_t cmd = -1, mode = -1;
            if (n >= 8) {
                memcpy(&cmd, buf.text, 4);
                memcpy(&mode, buf.text + 4, 4);
            }
            if (cmd == KEL_MSGQ_RX_OPT_MODE)
                modes.push_back(mode);
        }
        return modes;
    }

    /* Waits for a request of `mode` at or after index `from`; its index. */
    int waitModeRequest(size_t from, int32_t mode, int timeoutMs)
    {
        uint64_t end = meterSimNowMs() + (uint64_t)timeoutMs;
        do {
            const std::vector<int32_t> &m = modeRequests();
            for (size_t i = from; i < m.size(); i++)
                if (m[i] == mode)
                    return (int)i;
            usleep(50000);
        } while (meterSimNowMs() < end);
        return -1;
    }

    /* The work mode the daemon publishes in the shared segment, -1 when
     * there is no segment yet. */
    int32_t segmentMode()
    {
        key_t key = ftok(sb.path("/home/root").c_str(), KEL_SHM_ID_FB);
        int id = key == (key_t)-1 ? -1 : shmget(key, 0, 0);
        if (id < 0)
            return -1;
        void *p = shmat(id, nullptr, SHM_RDONLY);
        if (p == (void *)-1)
            return -1;
        int32_t mode;
        memcpy(&mode, (const char *)p + offsetof(kel_ShMem_FB_t, kelWorkMode), sizeof(mode));
        shmdt(p);
        return mode;
    }

    bool waitSegmentMode(int32_t mode, int timeoutMs)
    {
        uint64_t end = meterSimNowMs() + (uint64_t)timeoutMs;
        do {
            if (segmentMode() == mode)
                return true;
            usleep(50000);
        } while (meterSimNowMs() < end);
        return false;
    }

    /* Position of the first journal line equal to `line`, -1 if none. */
    int journalIndex(const std::string &line)
    {
        std::vector<std::string> lines = sb.journalLines();
        for (size_t i = 0; i < lines.size(); i++)
            if (lines[i] == line)
                return (int)i;
        return -1;
    }

    int journalCount(const std::string &line)
    {
        int n = 0;
        for (const std::string &l : sb.journalLines())
            n += l == line;
        return n;
    }

    /* Polls until `line` appears at least `count` times. */
    bool waitJournalCount(const std::string &line, int count, int timeoutMs)
    {
        uint64_t end = meterSimNowMs() + (uint64_t)timeoutMs;
        do {
            if (journalCount(line) >= count)
                return true;
            usleep(50000);
        } while (meterSimNowMs() < end);
        return false;
    }

    KelSandbox sb{KEL_TEST_BIN_DIR};
    std::string addr;
    MeterSimConfig_t cfg;
    MeterSim_t *sim = nullptr;
    pid_t stp = -1;
    std::vector<int32_t> modes;
};

#endif /* TEST_STARTUP_SEQ_HARNESS_H */
