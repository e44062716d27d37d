/*
 * wiresharkCapture.h - what the dissector tests need around Wireshark: a
 * tcpdump capture of one loopback address, tshark with the unit's Lua
 * dissector over the capture, and the fields it prints, one row per packet.
 *
 * A capture on lo sees every test's loopback traffic; the filter keeps the
 * test's own address only. tcpdump needs root (CI runs as root); without it,
 * or without tcpdump and tshark, the tests are skipped and say why.
 *
 * Stopping is exact, not timed: a UDP datagram with a marker goes to the
 * address last, and the capture is stopped once the file holds the marker
 * (loopback packets are captured in the order they are sent).
 */
#ifndef WIRESHARK_CAPTURE_H
#define WIRESHARK_CAPTURE_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#define WSC_DEADLINE_MS 20000
#define WSC_POLL_MS 25
#define WSC_MARKER "kelunit-capture-end"
#define WSC_DISSECTOR KEL_TEST_SOURCE_DIR "/tools/wireshark/kelunit.lua"

static inline uint64_t wscNowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

static inline void wscSleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

static inline std::string wscReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

static inline bool wscHaveTool(const char *name)
{
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

/* Why the capture tests cannot run here, "" when they can. */
static inline std::string wscMissing()
{
    if (geteuid() != 0)
        return "capturing on lo needs root";
    if (!wscHaveTool("tcpdump") || !wscHaveTool("tshark"))
        return "tcpdump and tshark are not installed (scripts/lib-install.sh installs them)";
    return "";
}

class LoopbackCapture {
public:
    ~LoopbackCapture()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (!dir.empty()) {
            unlink(file.c_str());
            unlink(errFile.c_str());
            rmdir(dir.c_str());
        }
    }

    /* Starts tcpdump on lo for `addr`; true once it listens. */
    bool start(const std::string &address)
    {
        addr = address;
        char tmpl[] = "/tmp/kelcapture.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return false;
        dir = tmpl;
        file = dir + "/capture.pcap";
        errFile = dir + "/tcpdump.err";
        pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::string filter = "host " + addr;
            execlp("tcpdump", "tcpdump", "-i", "lo", "-n", "-U", "-s", "0", "-w", file.c_str(),
                   filter.c_str(), (char *)nullptr);
            _exit(127);
        }
        uint64_t end = wscNowMs() + WSC_DEADLINE_MS;
        while (wscNowMs() < end) {
            if (wscReadFile(errFile).find("listening on") != std::string::npos)
                return true;
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            wscSleepMs(WSC_POLL_MS);
        }
        return false;
    }

    /* Sends the marker, waits until it is in the file, stops tcpdump. */
    bool stop()
    {
        if (pid <= 0)
            return false;
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(9);
        inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
        bool seen = false;
        uint64_t end = wscNowMs() + WSC_DEADLINE_MS;
        while (fd >= 0 && !seen && wscNowMs() < end) {
            sendto(fd, WSC_MARKER, strlen(WSC_MARKER), 0, (struct sockaddr *)&a, sizeof(a));
            for (int i = 0; i < 8 && !seen; i++) {
                wscSleepMs(WSC_POLL_MS);
                seen = wscReadFile(file).find(WSC_MARKER) != std::string::npos;
            }
        }
        if (fd >= 0)
            close(fd);
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return seen;
    }

    /* Keeps a copy of the capture (for the readers' samples). */
    bool keep(const std::string &path) const
    {
        std::string cmd = "cp '" + file + "' '" + path + "'";
        return system(cmd.c_str()) == 0;
    }

    std::string addr, dir, file, errFile;
    pid_t pid = -1;
};

/* tshark's standard output and error over `file` with the dissector. */
struct TsharkRun {
    std::string out, err;
    int status = -1;
};

static inline TsharkRun wscTshark(const std::string &file, const std::string &args)
{
    TsharkRun r;
    char errTmpl[] = "/tmp/keltshark.XXXXXX";
    int errFd = mkstemp(errTmpl);
    if (errFd < 0)
        return r;
    close(errFd);
    std::string errPath = errTmpl;
    std::string cmd = "tshark -n -r '" + file + "' -X lua_script:" WSC_DISSECTOR " " + args +
                      " 2>'" + errPath + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        unlink(errPath.c_str());
        return r;
    }
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        r.out.append(buf, n);
    int rc = pclose(p);
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.err = wscReadFile(errPath);
    unlink(errPath.c_str());
    return r;
}

/* One packet of `tshark -T fields -E occurrence=a`: each field's values. */
typedef std::map<std::string, std::vector<std::string>> WscPacket;

static inline std::vector<std::string> wscSplit(const std::string &s, char sep)
{
    std::vector<std::string> out;
    if (s.empty())
        return out;
    size_t from = 0;
    for (;;) {
        size_t at = s.find(sep, from);
        out.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return out;
        from = at + 1;
    }
}

/* Every packet that matches `filter`, with `fields` (values joined by ';',
 * which no field of these tests contains). */
static inline std::vector<WscPacket> wscPackets(const std::string &file, const std::string &filter,
                                                const std::vector<std::string> &fields,
                                                std::string *errOut = nullptr)
{
    std::string args = "-Y '" + filter + "' -T fields -E separator=/t -E occurrence=a -E aggregator=';'";
    for (const std::string &f : fields)
        args += " -e " + f;
    TsharkRun r = wscTshark(file, args);
    if (errOut != nullptr)
        *errOut = r.err;
    std::vector<WscPacket> packets;
    for (const std::string &line : wscSplit(r.out, '\n')) {
        if (line.empty())
            continue;
        std::vector<std::string> cols = wscSplit(line, '\t');
        WscPacket p;
        for (size_t i = 0; i < fields.size(); i++)
            p[fields[i]] = i < cols.size() ? wscSplit(cols[i], ';') : std::vector<std::string>();
        packets.push_back(p);
    }
    return packets;
}

/* All values of `field` over the packets, in capture order. */
static inline std::vector<std::string> wscAll(const std::vector<WscPacket> &packets,
                                              const std::string &field)
{
    std::vector<std::string> out;
    for (const WscPacket &p : packets) {
        auto it = p.find(field);
        if (it != p.end())
            out.insert(out.end(), it->second.begin(), it->second.end());
    }
    return out;
}

static inline bool wscHas(const WscPacket &p, const std::string &field, const std::string &value)
{
    auto it = p.find(field);
    if (it == p.end())
        return false;
    for (const std::string &v : it->second)
        if (v == value)
            return true;
    return false;
}

#endif /* WIRESHARK_CAPTURE_H */
