/*
 * upgUnit.h - a virtual unit for the upgrade program: a sandbox with the
 * real kelcontrol and kelupgrade, packages built by the unit's own package
 * code and dropped into the upload folder, and readers for what the
 * program leaves behind: the boot environment, the configuration file, the
 * journal of outside programs, the error log and the published work mode.
 */
#ifndef UPG_UNIT_H
#define UPG_UNIT_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kelSandbox.h"
#include "kelTestWait.h"
#include "kelmsg.h"
#include "kelupg.h"

#define UPG_PACKAGE "/usr/ftp/up/kelupg.bin"
/* An upload is taken after one 5 s poll and a further 10 s; ARM programs
 * under qemu and a loaded machine get a good margin on top. */
#define UPG_PICKUP_MS 40000

#define UPG_POLL_MS 50

static inline bool upgWaitFor(const std::function<bool()> &cond, int timeoutMs)
{
    return kelTestWaitFor(cond, timeoutMs, UPG_POLL_MS);
}

class UpgUnit {
public:
    KelSandbox sb;
    pid_t control = -1;
    pid_t upgrade = -1;

    /* The board as prepared before the programs start: boot environment
     * values, configuration lines; the journal starts empty. */
    bool prepare(const std::map<std::string, std::string> &env, const std::string &config = "LCD 1\n")
    {
        if (!sb.ok()) {
            return false;
        }
        for (const auto &kv : env) {
            if (sb.shell("fw_setenv " + kv.first + " " + kv.second) != 0) {
                return false;
            }
        }
        return sb.write("/kel/config/kel.conf", config) && sb.write("/var/log/journal", "");
    }
    bool startControl()
    {
        control = sb.spawn({"/usr/bin/kelcontrol"});
        return control > 0 && upgWaitFor([this] { return segment() != nullptr; }, 20000);
    }
    bool startUpgrade(const std::vector<std::string> &args = {})
    {
        std::vector<std::string> argv = {"/usr/bin/kelupgrade"};
        argv.insert(argv.end(), args.begin(), args.end());
        upgrade = sb.spawn(argv);
        return upgrade > 0;
    }

    /* Builds a package from `image` and puts it in place in one rename, as
     * an upload that has just finished. */
    bool upload(const std::string &image, UINT8 lcd = 1, UINT8 major = 2, UINT8 minor = 1, UINT8 build = 7)
    {
        std::string pkg = buildPackage(image, lcd, major, minor, build);
        return !pkg.empty() && place(pkg);
    }
    std::string buildPackage(const std::string &image, UINT8 lcd = 1, UINT8 major = 2, UINT8 minor = 1,
                             UINT8 build = 7)
    {
        if (!sb.write("/var/lib/vboard/image.in", image)) {
            return "";
        }
        kel_UpgFileHeader_t h;
        memset(&h, 0, sizeof(h));
        memcpy(h.upgFileMark, KEL_UPG_FILE_MARK, 4);
        h.lcdType = lcd;
        h.upgVersionMajor = major;
        h.upgVersionMinor = minor;
        h.upgVersionBuild = build;
        if (KelUpgrade::GetInstance()->GenerateUpgFile(sb.path("/var/lib/vboard/image.in").c_str(),
                                                       sb.path("/var/lib/vboard/pkg.in").c_str(), &h) < 0) {
            return "";
        }
        return sb.read("/var/lib/vboard/pkg.in");
    }
    bool place(const std::string &bytes)
    {
        return sb.write("/usr/ftp/up/.kelupg.part", bytes) &&
               rename(sb.path("/usr/ftp/up/.kelupg.part").c_str(), sb.path(UPG_PACKAGE).c_str()) == 0;
    }

    static std::string imageOf(size_t size, int seed = 1)
    {
        std::string data(size, '\0');
        UINT32 x = 2463534242u + (UINT32)seed;
        for (size_t i = 0; i < size; i++) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            data[i] = (char)(x & 0xff);
        }
        return data;
    }

    /* The whole boot environment as "name=value" lines. */
    std::string env()
    {
        if (sb.shell("fw_printenv > $KEL_ROOT/var/lib/vboard/env.out 2>/dev/null") != 0) {
            return "";
        }
        return sb.read("/var/lib/vboard/env.out");
    }
    std::string config() { return sb.read("/kel/config/kel.conf"); }
    std::vector<std::string> journal() { return sb.journalLines(); }
    int journalCount(const std::string &line)
    {
        int n = 0;
        for (const std::string &l : sb.journalLines()) {
            n += l == line ? 1 : 0;
        }
        return n;
    }

    /* Codes the upgrade program reported, in the order the daemon logged them. */
    std::vector<int> reports()
    {
        std::vector<int> codes;
        std::stringstream in(sb.read("/kel/log/kelerror.log"));
        std::string line;
        while (std::getline(in, line)) {
            int task = -1, file = -1, lineNum = -1, code = -1;
            size_t colon = line.find(':');
            if (colon != std::string::npos &&
                sscanf(line.c_str() + colon, ":%d:%d:%d:%d", &task, &file, &lineNum, &code) == 4 &&
                task == KEL_TASK_UPGRADE) {
                codes.push_back(code);
            }
        }
        return codes;
    }
    int reportCount(int code)
    {
        int n = 0;
        for (int c : reports()) {
            n += c == code ? 1 : 0;
        }
        return n;
    }

    /* The work mode the daemon publishes, or -1 before it attached. */
    int workMode()
    {
        const volatile kel_ShMem_FB_t *shm = segment();
        return shm == nullptr ? -1 : shm->kelWorkMode;
    }

    ~UpgUnit()
    {
        if (attached != nullptr) {
            shmdt((const void *)attached);
        }
    }

private:
    const volatile kel_ShMem_FB_t *attached = nullptr;
    /* The daemon's segment, once it exists and the daemon has attached;
     * looked up without creating it. */
    const volatile kel_ShMem_FB_t *segment()
    {
        if (attached == nullptr) {
            key_t k = ftok(sb.path("/home/root").c_str(), KEL_SHM_ID_FB);
            int id = k == (key_t)-1 ? -1 : shmget(k, 0, 0);
            struct shmid_ds ds;
            if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_nattch == 0) {
                return nullptr;
            }
            void *addr = shmat(id, nullptr, SHM_RDONLY);
            if (addr == (void *)-1) {
                return nullptr;
            }
            attached = (const volatile kel_ShMem_FB_t *)addr;
        }
        return attached;
    }
};

#endif /* UPG_UNIT_H */
