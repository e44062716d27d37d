/*
 * kelSandbox.h - a virtual board for one integration test.
 *
 * The constructor makes a fresh sandbox in a temporary directory with
 * <bin dir>/kelvboard (board tree, frame buffer file, keypad FIFO, sysfs
 * files, boot environment, BusyBox tools, stand-ins for outside programs,
 * the built programs at their board paths) and sets KEL_ROOT in the test
 * process. Programs are started inside it with KEL_ROOT set and the
 * sandbox's bin directories first on PATH; they cannot set the host clock
 * or reboot the host.
 *
 * Spawned programs are killed if the test process dies without cleaning up.
 * The destructor stops every program it started and every service the
 * sandbox's init scripts started (by the pids in var/run), removes the
 * System V queues and the segment keyed on the sandbox's home/root, deletes
 * the directory and restores KEL_ROOT.
 *
 *     KelSandbox sb;                        // or KelSandbox sb(KEL_TEST_BIN_DIR)
 *     ASSERT_TRUE(sb.ok());
 *     pid_t pid = sb.spawn({"/usr/bin/kelcontrol"});
 *     sb.setTemperature(41500);
 *     EXPECT_TRUE(sb.journalHas("/usr/bin/kelconfig bklctrl 1"));
 *     EXPECT_EQ(0, sb.stop(pid));
 *
 * Stand-ins write one journal line per call, "<name> <args>", where the
 * name is the command as the programs call it ("reboot", "date",
 * "fw_setenv", "/usr/bin/fwupgrade", "/etc/init.d/kelappclient", ...).
 */
#ifndef KEL_SANDBOX_H
#define KEL_SANDBOX_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

class KelSandbox {
public:
    /* binDir: where kelvboard and the programs are built; empty means the
     * directory of the running test executable (also <build>/bin). */
    explicit KelSandbox(const std::string &binDir = "");
    ~KelSandbox();
    KelSandbox(const KelSandbox &) = delete;
    KelSandbox &operator=(const KelSandbox &) = delete;

    /* True when the sandbox was built. */
    bool ok() const { return built; }
    const std::string &dir() const { return root; }
    /* Host path of a board path inside the sandbox. */
    std::string path(const std::string &boardPath) const { return root + boardPath; }
    /* Whole file ("" when missing), and whole-file replacement. */
    std::string read(const std::string &boardPath) const;
    bool write(const std::string &boardPath, const std::string &text) const;
    bool exists(const std::string &boardPath) const;

    /* Starts argv inside the sandbox and returns its pid (-1 on failure).
     * An absolute argv[0] that exists in the sandbox is run from there
     * ("/usr/bin/kelcontrol"); anything else is looked up on the sandbox's
     * PATH or taken as a host path. Output goes to var/log/<name>.out. */
    pid_t spawn(const std::vector<std::string> &argv);
    /* SIGTERM, up to graceMs for it to end, then SIGKILL; reaps it. Returns
     * the exit status, 128 + signal when killed, -1 when not ours. */
    int stop(pid_t pid, int graceMs = 3000);
    /* True while a spawned program has not ended (reaps it if it has). */
    bool running(pid_t pid);
    /* Waits up to timeoutMs for a spawned program to end by itself; its exit
     * status as for stop(), or -2 on time-out (the program keeps running). */
    int waitExit(pid_t pid, int timeoutMs);

    /* Journal of the stand-ins, whole and as lines. */
    std::string journal() const;
    std::vector<std::string> journalLines() const;
    /* True when some journal line equals `line` exactly. */
    bool journalHas(const std::string &line) const;
    /* Polls the journal up to timeoutMs for `line`. */
    bool waitJournal(const std::string &line, int timeoutMs) const;

    /* lm75 reading in thousandths of a degree Celsius. */
    bool setTemperature(int milliCelsius) const;
    /* Makes stand-in `name` (file name, e.g. "fwupgrade") exit with
     * `status`; a negative status restores its own behaviour. */
    bool setExitStatus(const std::string &name, int status) const;
    /* Runs a shell command inside the sandbox (KEL_ROOT, PATH, no right to
     * set the clock); its exit status, or -1. */
    int shell(const std::string &command) const;

    /* Writes one 16-byte input record (the board's struct input_event:
     * 32-bit seconds and microseconds, type, code, value) into the keypad
     * FIFO. The FIFO is opened on first use, once a program reads it (up to
     * timeoutMs), and stays open until the sandbox ends. */
    bool writeKey(uint16_t type, uint16_t code, int32_t value, int timeoutMs = 20000);
    /* A key press or release followed by its report record. */
    bool pressKey(uint16_t code);
    bool releaseKey(uint16_t code);

    /* Removes the queues (R T F E I) and the segment (S) of this sandbox. */
    void removeIpc() const;

private:
    void stopServices();

    std::string root;
    std::string binDir;
    std::string oldRoot;
    bool hadOldRoot = false;
    bool built = false;
    int keypadFd = -1;
    std::vector<pid_t> children;
    std::vector<std::pair<pid_t, int>> ended; /* reaped children, status */
};

#endif /* KEL_SANDBOX_H */
