/*
 * panelActions.cpp - what kelpanel does on the page's behalf beyond the
 * board files: key records into the keypad, the meter simulator check
 * before it is sent away, and the production test (the sandbox's factory
 * service started if needed, the station simulator run and its output
 * collected).
 */
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "panelState.h"

#define PANEL_STATION_OUT_MAX 8192
#define PANEL_STATION_LIMIT_MS 120000
#define PANEL_METER_PREFIX "kelmeter"

int32_t panelKeyWrite(void *ctx, int32_t code, int32_t value)
{
    return demoKeyEvent((const DemoBoard_t *)ctx, code, value);
}

void panelSay(Panel *p, const std::string &text)
{
    p->actionText = text;
}

int32_t panelIsMeter(pid_t pid)
{
    char path[64];
    char comm[64] = "";
    snprintf(path, sizeof(path), "/proc/%d/comm", (int)pid);
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return 0;
    bool got = fgets(comm, sizeof(comm), f) != NULL;
    fclose(f);
    return got && strncmp(comm, PANEL_METER_PREFIX, strlen(PANEL_METER_PREFIX)) == 0;
}

/* 1 when some process runs the program at this host path. */
static int32_t panelProgramRuns(const std::string &program)
{
    bool found = false;
    char self[32];
    snprintf(self, sizeof(self), "%d", (int)getpid());
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir("/proc"), closedir);
    if (!d)
        return 0;
    for (struct dirent *e = readdir(d.get()); e != nullptr && !found; e = readdir(d.get())) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9' || strcmp(e->d_name, self) == 0)
            continue;
        std::string path = std::string("/proc/") + e->d_name + "/cmdline";
        FILE *f = fopen(path.c_str(), "r");
        if (f == nullptr)
            continue;
        char cmd[1024];
        size_t n = fread(cmd, 1, sizeof(cmd) - 1, f);
        fclose(f);
        cmd[n] = '\0';
        /* argv[0], or the script a shell runs as argv[1]. */
        found = program == cmd || (strlen(cmd) + 1 < n && program == cmd + strlen(cmd) + 1);
    }
    return found;
}

/* Starts a program in the background with the sandbox's environment
 * (kelvboard --run), output into the sandbox's var/log/<name>.out. Returns
 * the pid of the child or -1. With outFd >= 0 the output goes there. */
static pid_t panelSpawn(const Panel *p, const std::vector<std::string> &argv, int outFd,
                        const std::string &logName)
{
    std::string vboard = p->binDir + "/kelvboard";
    std::vector<std::string> args = {vboard, "--run", p->root};
    args.insert(args.end(), argv.begin(), argv.end());
    std::vector<char *> cargs;
    for (auto &a : args)
        cargs.push_back(const_cast<char *>(a.c_str()));
    cargs.push_back(nullptr);
    std::string log = p->root + "/var/log/" + logName + ".out";
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    /* Child: no signal blocked, its own process group (a Ctrl-C of the
     * terminal reaches the caller of the panel, who cleans up). */
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    setpgid(0, 0);
    int out = outFd >= 0 ? outFd : open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0)
        _exit(127);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    for (int fd = 3; fd < 1024; fd++)
        close(fd);
    execv(cargs[0], cargs.data());
    _exit(127);
}

void panelStationRun(Panel *p, std::string station)
{
    /* The factory service is started from outside the unit, as the
     * production line does; the panel starts the sandbox's own. */
    std::string service = p->root + "/usr/bin/kelindustry";
    if (access(service.c_str(), X_OK) == 0 && !panelProgramRuns(service)) {
        pid_t s = panelSpawn(p, {service}, -1, "kelindustry");
        if (s > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    std::string out;
    int fds[2];
    pid_t pid = -1;
    if (pipe(fds) == 0) {
        pid = panelSpawn(p,
                         /* The pause lets the unit's factory indication (LEDs
                          * off, pictogram) pass before the LED test lights one. */
                         {station, "127.0.0.1", "info", "wait", "500", "led", "red", "on", "lcd",
                          "black", "lcd", "white", "test-result-set", "1", "7", "now", "test-result"},
                         fds[1], "kelstationsim");
        close(fds[1]);
        uint64_t end = panelNowMs() + PANEL_STATION_LIMIT_MS;
        while (pid > 0 && panelNowMs() < end && !p->stop.load()) {
            struct pollfd pf = {fds[0], POLLIN, 0};
            if (poll(&pf, 1, 200) <= 0)
                continue;
            char buf[512];
            ssize_t n = read(fds[0], buf, sizeof(buf));
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> g(p->lock);
            p->stationOutput.append(buf, (size_t)n);
            if (p->stationOutput.size() > PANEL_STATION_OUT_MAX)
                p->stationOutput.erase(0, p->stationOutput.size() - PANEL_STATION_OUT_MAX);
        }
        close(fds[0]);
    }
    int status = 0;
    if (pid > 0) {
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }
    std::lock_guard<std::mutex> g(p->lock);
    p->stationRunning = false;
    if (pid < 0)
        panelSay(p, "production test: the station simulator could not be started");
    else if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        panelSay(p, "production test: every answer came back");
    else
        panelSay(p, "production test FAILED (see the station output)");
}
