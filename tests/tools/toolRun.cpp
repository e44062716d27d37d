/*
 * toolRun.cpp - runs a bench tool as a child process (see toolRun.h).
 */
#include "toolRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

std::string toolPath(const std::string &program)
{
    return std::string(KEL_TEST_BIN_DIR) + "/" + program;
}

static void sleepMs(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

/* Appends whatever the pipe holds now. */
static void drainPipe(int fd, std::string *text)
{
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
        text->append(buf, (size_t)n);
    }
}

int toolRun(const std::vector<std::string> &argv, const std::string &workDir,
            const ToolRun &how, std::string *out)
{
    std::string inPath = workDir + "/tool.stdin";
    {
        std::ofstream in(inPath, std::ios::binary | std::ios::trunc);
        in << how.input;
    }
    std::vector<char *> args;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);

    /* Standard output comes back through a pipe: a file would fall under
     * the tool's file-size limit too. */
    int outPipe[2];
    if (pipe(outPipe) < 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return -1;
    }
    if (pid == 0) {
        int inFd = open(inPath.c_str(), O_RDONLY);
        close(outPipe[0]);
        if (inFd < 0 || dup2(inFd, 0) < 0 || dup2(outPipe[1], 1) < 0 ||
            chdir(workDir.c_str()) < 0) {
            _exit(127);
        }
        umask(0);
        if (how.fileSizeLimit != TOOL_RUN_NO_LIMIT) {
            /* Writes past the limit then fail with EFBIG instead of
             * killing the tool. */
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit lim;
            lim.rlim_cur = (rlim_t)how.fileSizeLimit;
            lim.rlim_max = (rlim_t)how.fileSizeLimit;
            if (setrlimit(RLIMIT_FSIZE, &lim) < 0) {
                _exit(127);
            }
        }
        execv(args[0], args.data());
        _exit(127);
    }

    close(outPipe[1]);
    fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
    std::string text;
    int status = 0;
    int waited = 0;
    for (;;) {
        drainPipe(outPipe[0], &text);
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            break;
        }
        if (waited >= how.timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            close(outPipe[0]);
            return TOOL_RUN_TIMED_OUT;
        }
        sleepMs(10);
        waited += 10;
    }
    drainPipe(outPipe[0], &text);
    close(outPipe[0]);
    if (out != nullptr) {
        *out = text;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
}
