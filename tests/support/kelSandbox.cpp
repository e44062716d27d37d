/*
 * kelSandbox.cpp - a virtual board for one integration test (see
 * kelSandbox.h): built by kelvboard, programs started and stopped inside
 * it, everything removed afterwards.
 */
#include "kelSandbox.h"
#include "kelTestRoot.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char **environ;

#define SANDBOX_TEMPLATE "/tmp/kelsb.XXXXXX"
#define SANDBOX_PREFIX "/tmp/kelsb."
#define SANDBOX_POLL_MS 10
#define SERVICE_GRACE_MS 3000
#define SERVICE_KILL_MS 10000

/* Capability numbers of the clock and reboot rights (linux/capability.h). */
#define SANDBOX_CAP_SYS_BOOT 22
#define SANDBOX_CAP_SYS_TIME 25


static void sleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

static std::string readWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "";
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

static bool isExecutable(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

static int statusOf(int wstatus)
{
    if (WIFEXITED(wstatus)) {
        return WEXITSTATUS(wstatus);
    }
    if (WIFSIGNALED(wstatus)) {
        return 128 + WTERMSIG(wstatus);
    }
    return -1;
}

/* In a child before exec: no right to set the host clock or reboot it.
 * Fails harmlessly when the test does not run as root. */
static void dropHostRights(void)
{
    prctl(PR_CAPBSET_DROP, SANDBOX_CAP_SYS_TIME, 0, 0, 0);
    prctl(PR_CAPBSET_DROP, SANDBOX_CAP_SYS_BOOT, 0, 0, 0);
}

/* True once `pid` has died: no such process, or a zombie nobody reaped. */
static bool processGone(pid_t pid)
{
    if (kill(pid, 0) != 0) {
        return true;
    }
    std::string stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size()) {
        return true;
    }
    char state = stat[paren + 2];
    return state == 'Z' || state == 'X';
}

/* Runs argv to completion with the given environment; exit status or -1. */
static int runAndWait(const std::vector<std::string> &argv, char *const *envp)
{
    std::vector<char *> args;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        dropHostRights();
        execve(args[0], args.data(), envp);
        _exit(127);
    }
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return statusOf(ws);
}

static std::string selfDir(void)
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) {
        return ".";
    }
    buf[n] = '\0';
    std::string p(buf);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

/* The environment of programs in the sandbox: the test's own, with
 * KEL_ROOT set and the sandbox's bin directories first on PATH. */
class SandboxEnv {
public:
    SandboxEnv(const std::string &root)
    {
        const char *path = getenv("PATH");
        searchPath = root + "/bin:" + root + "/sbin:" + root + "/usr/bin:" + root + "/usr/sbin:" +
                     (path ? path : "/usr/bin:/bin");
        for (char **e = environ; *e != nullptr; e++) {
            if (strncmp(*e, "KEL_ROOT=", 9) != 0 && strncmp(*e, "PATH=", 5) != 0) {
                strings.push_back(*e);
            }
        }
        strings.push_back("KEL_ROOT=" + root);
        strings.push_back("PATH=" + searchPath);
        for (std::string &s : strings) {
            ptrs.push_back(const_cast<char *>(s.c_str()));
        }
        ptrs.push_back(nullptr);
    }
    char *const *envp() { return ptrs.data(); }
    /* `name` looked up on the sandbox PATH ("" when not found). */
    std::string find(const std::string &name) const
    {
        std::stringstream dirs(searchPath);
        std::string d;
        while (std::getline(dirs, d, ':')) {
            if (!d.empty() && isExecutable(d + "/" + name)) {
                return d + "/" + name;
            }
        }
        return "";
    }

private:
    std::string searchPath;
    std::vector<std::string> strings;
    std::vector<char *> ptrs;
};

KelSandbox::KelSandbox(const std::string &dirOfBins) : binDir(dirOfBins.empty() ? selfDir() : dirOfBins)
{
    const char *old = getenv("KEL_ROOT");
    hadOldRoot = (old != nullptr);
    if (old) {
        oldRoot = old;
    }
    char tmpl[] = SANDBOX_TEMPLATE;
    if (mkdtemp(tmpl) == nullptr) {
        fprintf(stderr, "KelSandbox: cannot create a temporary directory\n");
        return;
    }
    root = tmpl;
    int rc = runAndWait({binDir + "/kelvboard", root}, environ);
    if (rc != 0) {
        fprintf(stderr, "KelSandbox: kelvboard %s failed (%d)\n", root.c_str(), rc);
        return;
    }
    built = true;
    setenv("KEL_ROOT", root.c_str(), 1);
}

KelSandbox::~KelSandbox()
{
    if (keypadFd >= 0) {
        close(keypadFd);
    }
    for (pid_t pid : std::vector<pid_t>(children)) {
        stop(pid);
    }
    if (!root.empty()) {
        stopServices();
        removeIpc();
    }
    if (root.rfind(SANDBOX_PREFIX, 0) == 0) {
        runAndWait({"/bin/rm", "-rf", root}, environ);
    }
    if (hadOldRoot) {
        setenv("KEL_ROOT", oldRoot.c_str(), 1);
    } else {
        unsetenv("KEL_ROOT");
    }
}

std::string KelSandbox::read(const std::string &boardPath) const
{
    return readWhole(path(boardPath));
}

bool KelSandbox::write(const std::string &boardPath, const std::string &text) const
{
    std::ofstream out(path(boardPath), std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

bool KelSandbox::exists(const std::string &boardPath) const
{
    struct stat st;
    return lstat(path(boardPath).c_str(), &st) == 0;
}

pid_t KelSandbox::spawn(const std::vector<std::string> &argv)
{
    if (!built || argv.empty() || argv[0].empty()) {
        return -1;
    }
    SandboxEnv env(root);
    std::string prog = argv[0];
    if (prog[0] == '/' && exists(prog)) {
        prog = path(prog);
    } else if (prog.find('/') == std::string::npos) {
        prog = env.find(prog);
    }
    if (prog.empty() || !isExecutable(prog)) {
        fprintf(stderr, "KelSandbox: cannot run %s\n", argv[0].c_str());
        return -1;
    }
    std::string base = argv[0].substr(argv[0].rfind('/') + 1);
    std::string logPath = root + "/var/log/" + base + ".out";
    std::vector<char *> args;
    args.push_back(const_cast<char *>(prog.c_str()));
    for (size_t i = 1; i < argv.size(); i++) {
        args.push_back(const_cast<char *>(argv[i].c_str()));
    }
    args.push_back(nullptr);

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        /* A test that dies without its destructor takes its programs along. */
        prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        if (getppid() != parent) {
            _exit(127);
        }
        dropHostRights();
        int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        if (in >= 0) {
            dup2(in, 0);
        }
        execve(args[0], args.data(), env.envp());
        _exit(127);
    }
    for (size_t i = 0; i < ended.size(); i++) {
        if (ended[i].first == pid) { /* a reused pid: forget the old status */
            ended.erase(ended.begin() + (long)i);
            break;
        }
    }
    children.push_back(pid);
    return pid;
}

int KelSandbox::waitExit(pid_t pid, int timeoutMs)
{
    for (const auto &e : ended) {
        if (e.first == pid) {
            return e.second;
        }
    }
    size_t idx = children.size();
    for (size_t i = 0; i < children.size(); i++) {
        if (children[i] == pid) {
            idx = i;
        }
    }
    if (idx == children.size()) {
        return -1;
    }
    for (int waited = 0;; waited += SANDBOX_POLL_MS) {
        int ws = 0;
        pid_t r = waitpid(pid, &ws, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) {
            int rc = r == pid ? statusOf(ws) : -1;
            children.erase(children.begin() + (long)idx);
            ended.push_back(std::make_pair(pid, rc));
            return rc;
        }
        if (waited >= timeoutMs) {
            return -2;
        }
        sleepMs(SANDBOX_POLL_MS);
    }
}

bool KelSandbox::running(pid_t pid)
{
    return waitExit(pid, 0) == -2;
}

int KelSandbox::stop(pid_t pid, int graceMs)
{
    int rc = waitExit(pid, 0);
    if (rc != -2) {
        return rc; /* already ended (its status), or not ours (-1) */
    }
    kill(pid, SIGTERM);
    rc = waitExit(pid, graceMs);
    if (rc == -2) {
        kill(pid, SIGKILL);
        rc = waitExit(pid, 10000);
    }
    return rc;
}

/* Services started by the sandbox's init scripts are not our children:
 * their pids are in var/run, checked to be this sandbox's before a kill. */
void KelSandbox::stopServices()
{
    std::string runDir = root + "/var/run";
    DIR *d = opendir(runDir.c_str());
    if (d == nullptr) {
        return;
    }
    std::vector<pid_t> pids;
    for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pid") == 0) {
            long pid = strtol(readWhole(runDir + "/" + name).c_str(), nullptr, 10);
            if (pid > 1) {
                pids.push_back((pid_t)pid);
            }
        }
    }
    closedir(d);
    auto isOurs = [this](pid_t pid) {
        std::string cmd = readWhole("/proc/" + std::to_string(pid) + "/cmdline");
        return cmd.find(root + "/") != std::string::npos;
    };
    /* Only the processes of this sandbox are signalled; from then on they
     * are waited for until they have died (gone, or a zombie): a dying
     * process has already lost its command line while it still runs its
     * exit, which on a busy machine takes a while. */
    std::vector<pid_t> ours;
    for (pid_t pid : pids) {
        if (isOurs(pid)) {
            ours.push_back(pid);
            kill(pid, SIGTERM);
        }
    }
    auto anyLeft = [&ours](int timeoutMs) {
        for (int waited = 0;; waited += SANDBOX_POLL_MS) {
            bool any = false;
            for (pid_t pid : ours) {
                any = any || !processGone(pid);
            }
            if (!any || waited >= timeoutMs) {
                return any;
            }
            sleepMs(SANDBOX_POLL_MS);
        }
    };
    if (!anyLeft(SERVICE_GRACE_MS)) {
        return;
    }
    for (pid_t pid : ours) {
        if (!processGone(pid)) {
            kill(pid, SIGKILL);
        }
    }
    (void)anyLeft(SERVICE_KILL_MS);
}

std::string KelSandbox::journal() const
{
    return read("/var/log/journal");
}

std::vector<std::string> KelSandbox::journalLines() const
{
    std::vector<std::string> lines;
    std::stringstream in(journal());
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool KelSandbox::journalHas(const std::string &line) const
{
    for (const std::string &l : journalLines()) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

bool KelSandbox::waitJournal(const std::string &line, int timeoutMs) const
{
    for (int waited = 0;; waited += SANDBOX_POLL_MS) {
        if (journalHas(line)) {
            return true;
        }
        if (waited >= timeoutMs) {
            return false;
        }
        sleepMs(SANDBOX_POLL_MS);
    }
}

bool KelSandbox::writeKey(uint16_t type, uint16_t code, int32_t value, int timeoutMs)
{
    /* Opening for writing succeeds only once a reader has the FIFO open. */
    for (int waited = 0; keypadFd < 0; waited += SANDBOX_POLL_MS) {
        keypadFd = open(path("/dev/input/event0").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (keypadFd >= 0) {
            break;
        }
        if (waited >= timeoutMs) {
            return false;
        }
        sleepMs(SANDBOX_POLL_MS);
    }
    uint8_t rec[16];
    uint32_t sec = 1000;
    uint32_t usec = 0;
    memcpy(rec, &sec, 4);
    memcpy(rec + 4, &usec, 4);
    memcpy(rec + 8, &type, 2);
    memcpy(rec + 10, &code, 2);
    memcpy(rec + 12, &value, 4);
    return ::write(keypadFd, rec, sizeof(rec)) == (ssize_t)sizeof(rec);
}

bool KelSandbox::pressKey(uint16_t code)
{
    return writeKey(1, code, 1) && writeKey(0, 0, 0);
}

bool KelSandbox::releaseKey(uint16_t code)
{
    return writeKey(1, code, 0) && writeKey(0, 0, 0);
}

bool KelSandbox::setTemperature(int milliCelsius) const
{
    /* Replaced by rename, so a reader never sees a half-written value. */
    const std::string file = "/sys/bus/i2c/drivers/lm75/3-0048/temp1_input";
    if (!write(file + ".tmp", std::to_string(milliCelsius) + "\n")) {
        return false;
    }
    return rename(path(file + ".tmp").c_str(), path(file).c_str()) == 0;
}

bool KelSandbox::setExitStatus(const std::string &name, int status) const
{
    if (name.empty() || name.find('/') != std::string::npos) {
        return false;
    }
    std::string file = "/var/lib/vboard/exit/" + name;
    if (status < 0) {
        return unlink(path(file).c_str()) == 0 || errno == ENOENT;
    }
    return write(file, std::to_string(status) + "\n");
}

int KelSandbox::shell(const std::string &command) const
{
    if (!built) {
        return -1;
    }
    SandboxEnv env(root);
    return runAndWait({"/bin/sh", "-c", command}, env.envp());
}

void KelSandbox::removeIpc() const
{
    kelTestRemoveIpc(root);
}
