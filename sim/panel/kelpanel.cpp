/*
 * kelpanel.cpp - a live front panel of a virtual unit in a web browser.
 *
 *   kelpanel --root DIR [--listen 127.0.0.1:8080] [--meter ADDR] [--meter-pid PID]
 *
 * Serves one page for one sandbox made by kelvboard: the LCD as the frame
 * buffer file holds it (dimmed by the backlight), the three LEDs, the five
 * keys (written into the keypad FIFO as press, auto-repeat and release
 * records), the work mode, the backlight level, a temperature slider that
 * writes the sensor file, the meter link state and the last lines of the
 * journal and of the error log; and actions: drop the meter link (the
 * meter simulator given with --meter-pid leaves for a while), upload an
 * upgrade package into the upload directory, and run a production test
 * with the station simulator built beside this program.
 *
 * One watcher thread polls the board files and bumps a frame or a state
 * number on every change; the page long-polls /frame and /state with the
 * number it has, so changes reach it within a poll and nothing moves while
 * the unit is still. Listens on loopback only: whoever reaches the panel
 * can press the unit's keys and write into its sandbox.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

#include "panelBoard.h"
#include "panelPage.h"
#include "panelState.h"

#define PANEL_DEFAULT_HOST "127.0.0.1"
#define PANEL_DEFAULT_PORT 8080
#define PANEL_LONG_POLL_MS 1000    /* a long poll answers "no change" after */

/* ------------------------------------------------------------------------
 * HTTP
 * ---------------------------------------------------------------------- */

static void panelText(httplib::Response &res, int status, const std::string &text)
{
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

/* A long poll: waits until *seq differs from the page's number or the
 * poll time has passed. Returns true when there is news. */
static bool panelWaitNews(Panel *p, std::unique_lock<std::mutex> &g, const uint64_t *seq,
                          const httplib::Request &req)
{
    uint64_t have = 0;
    if (req.has_param("after"))
        have = strtoull(req.get_param_value("after").c_str(), nullptr, 10);
    panelKeysSeen(&p->keys, panelNowMs());
    bool news = p->changed.wait_for(g, std::chrono::milliseconds(PANEL_LONG_POLL_MS), [&] {
        return *seq != have || p->stop.load();
    });
    panelKeysSeen(&p->keys, panelNowMs());
    return news && *seq != have;
}

static void panelRoutes(httplib::Server &svr, Panel *p)
{
    svr.Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(panelPageHtml, "text/html; charset=utf-8");
    });
    svr.Get("/panel.css", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(panelPageCss, "text/css; charset=utf-8");
    });
    svr.Get("/panel.js", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(panelPageJs, "text/javascript; charset=utf-8");
    });
    svr.Get("/frame", [p](const httplib::Request &req, httplib::Response &res) {
        std::unique_lock<std::mutex> g(p->lock);
        bool news = panelWaitNews(p, g, &p->frameSeq, req) && !p->rgba.empty();
        res.set_header("X-Frame-Seq", std::to_string(p->frameSeq));
        res.set_header("Cache-Control", "no-store");
        if (!news) {
            res.status = 204;
            return;
        }
        res.set_content(std::string(p->rgba.begin(), p->rgba.end()), "application/octet-stream");
    });
    svr.Get("/state", [p](const httplib::Request &req, httplib::Response &res) {
        std::unique_lock<std::mutex> g(p->lock);
        bool news = panelWaitNews(p, g, &p->stateSeq, req);
        res.set_header("X-State-Seq", std::to_string(p->stateSeq));
        res.set_header("Cache-Control", "no-store");
        if (!news) {
            res.status = 204;
            return;
        }
        res.set_content(p->stateJson, "application/json");
    });
    svr.Post("/key", [p](const httplib::Request &req, httplib::Response &res) {
        std::string name = req.get_param_value("name");
        std::string action = req.get_param_value("action");
        int32_t idx = panelKeyIndex(name.c_str());
        bool bComb = name == "comb";
        if (idx < 0 && !bComb)
            return panelText(res, 400, "unknown key '" + name +
                                           "' (up, down, left, right, home or comb)");
        if (action != "press" && action != "release")
            return panelText(res, 400, "unknown key action '" + action + "' (press or release)");
        std::lock_guard<std::mutex> g(p->lock);
        int32_t rc = 1;
        if (bComb)
            rc = action == "press" ? demoPressCombination(&p->board) : 1;
        else if (action == "press")
            rc = panelKeysPress(&p->keys, idx, panelNowMs());
        else
            rc = panelKeysRelease(&p->keys, idx, panelNowMs());
        if (rc < 0)
            return panelText(res, 503, "the keypad is not read (is the control daemon running?)");
        panelText(res, 200, "ok");
    });
    svr.Post("/temperature", [p](const httplib::Request &req, httplib::Response &res) {
        std::string text = req.get_param_value("milli");
        char *end = nullptr;
        errno = 0;
        long v = strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || v < PANEL_TEMP_MIN || v > PANEL_TEMP_MAX)
            return panelText(res, 400, "temperature '" + text +
                                           "' is not thousandths of a degree from -55000 to 125000");
        if (demoSetTemperature(&p->board, (int32_t)v) != 1)
            return panelText(res, 500, "cannot write the sensor file");
        panelText(res, 200, "ok");
    });
    svr.Post("/link/drop", [p](const httplib::Request &, httplib::Response &res) {
        if (p->meterPid <= 0 || !panelIsMeter(p->meterPid))
            return panelText(res, 409, "no meter simulator to send away (start kelpanel with "
                                       "--meter-pid, as scripts/demo --panel does)");
        if (kill(p->meterPid, SIGUSR1) != 0)
            return panelText(res, 500, std::string("cannot signal the meter: ") + strerror(errno));
        std::lock_guard<std::mutex> g(p->lock);
        panelSay(p, "meter link dropped: the meter comes back in a few seconds");
        panelText(res, 200, p->actionText);
    });
    svr.Post("/upload", [p](const httplib::Request &req, httplib::Response &res) {
        if (req.body.empty())
            return panelText(res, 400, "empty upload: choose an upgrade package");
        if (req.body.size() > PANEL_UPLOAD_MAX)
            return panelText(res, 413, "upload larger than 8 MiB");
        if (panelWriteUpload(&p->board, (const uint8_t *)req.body.data(), req.body.size()) != 1)
            return panelText(res, 500, "cannot write " PANEL_UPLOAD_PATH);
        std::lock_guard<std::mutex> g(p->lock);
        panelSay(p, "upgrade package of " + std::to_string(req.body.size()) +
                        " bytes copied to " PANEL_UPLOAD_PATH);
        panelText(res, 200, p->actionText);
    });
    svr.Post("/station/run", [p](const httplib::Request &, httplib::Response &res) {
        std::string station = p->binDir + "/kelstationsim";
        if (access(station.c_str(), X_OK) != 0)
            return panelText(res, 503, "no station simulator in " + p->binDir +
                                           " (kelstationsim is not built)");
        std::lock_guard<std::mutex> g(p->lock);
        if (p->stationRunning)
            return panelText(res, 409, "a production test is running");
        p->stationRunning = true;
        p->stationOutput.clear();
        panelSay(p, "production test running");
        std::thread(panelStationRun, p, station).detach();
        panelText(res, 200, p->actionText);
    });
    /* Errors the library answers itself (no route, body too large) get
     * a readable text as well. */
    svr.set_error_handler([](const httplib::Request &req, httplib::Response &res) {
        if (res.status == 404 && res.body.empty())
            panelText(res, 404, "unknown path " + req.path);
        else if (res.status == 413 && res.body.empty())
            panelText(res, 413, "request body larger than 8 MiB");
    });
}

/* ------------------------------------------------------------------------
 * Start-up
 * ---------------------------------------------------------------------- */

static void usage(void)
{
    fprintf(stderr,
            "usage: kelpanel --root DIR [--listen 127.0.0.1:8080] [--meter ADDR] "
            "[--meter-pid PID]\n"
            "  --root DIR       the sandbox (made by kelvboard)\n"
            "  --listen H:P     loopback address and port to serve on (127.0.0.1:8080)\n"
            "  --meter ADDR     the meter's address, for the link state (default: the\n"
            "                   sandbox's METER_HOST)\n"
            "  --meter-pid PID  the meter simulator the \"drop the link\" action signals\n");
}

/* "host:port" on loopback; 1 or -1 with a message. */
static int32_t panelParseListen(const char *text, std::string *host, int *port)
{
    const char *colon = strrchr(text, ':');
    if (colon == nullptr || colon == text) {
        fprintf(stderr, "kelpanel: bad --listen '%s' (want 127.x.y.z:PORT)\n", text);
        return -1;
    }
    std::string h(text, (size_t)(colon - text));
    char *end = nullptr;
    long v = strtol(colon + 1, &end, 10);
    if (*end != '\0' || v < 1 || v > 65535) {
        fprintf(stderr, "kelpanel: bad port in --listen '%s'\n", text);
        return -1;
    }
    struct in_addr a;
    if (inet_pton(AF_INET, h.c_str(), &a) != 1 || (ntohl(a.s_addr) >> 24) != 127) {
        fprintf(stderr, "kelpanel: %s is not a loopback address (127.x.y.z): the panel "
                        "presses keys and writes into the sandbox, so it stays on this machine\n",
                h.c_str());
        return -1;
    }
    *host = h;
    *port = (int)v;
    return 1;
}

/* Tries the address once with a plain socket, for a precise message. */
static int32_t panelProbePort(const std::string &host, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
    int rc = bind(fd, (struct sockaddr *)&sa, sizeof(sa));
    int err = errno;
    close(fd);
    if (rc == 0)
        return 1;
    if (err == EADDRINUSE)
        fprintf(stderr, "kelpanel: port %d on %s is taken (another panel?); choose another "
                        "with --listen %s:PORT\n",
                port, host.c_str(), host.c_str());
    else
        fprintf(stderr, "kelpanel: cannot listen on %s:%d: %s\n", host.c_str(), port,
                strerror(err));
    return -1;
}

static std::string panelOwnDir(void)
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0)
        return ".";
    exe[n] = '\0';
    char *slash = strrchr(exe, '/');
    if (slash != nullptr)
        *slash = '\0';
    return exe;
}

int main(int argc, char **argv)
{
    static Panel p;
    const char *root = nullptr;
    const char *listen = PANEL_DEFAULT_HOST ":8080";
    const char *meter = nullptr;
    for (int i = 1; i < argc; i++) {
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            usage();
            return 0;
        }
        if (v == nullptr) {
            usage();
            return 2;
        }
        if (strcmp(argv[i], "--root") == 0) {
            root = v;
        } else if (strcmp(argv[i], "--listen") == 0) {
            listen = v;
        } else if (strcmp(argv[i], "--meter") == 0) {
            meter = v;
        } else if (strcmp(argv[i], "--meter-pid") == 0) {
            char *end = nullptr;
            long pid = strtol(v, &end, 10);
            if (*end != '\0' || pid <= 1 || pid > INT_MAX) {
                fprintf(stderr, "kelpanel: bad meter pid '%s'\n", v);
                return 2;
            }
            p.meterPid = (pid_t)pid;
        } else {
            usage();
            return 2;
        }
        i++;
    }
    if (root == nullptr) {
        usage();
        return 2;
    }
    char real[PATH_MAX];
    char why[DEMO_PATH_MAX + 128];
    if (realpath(root, real) == nullptr) {
        fprintf(stderr, "kelpanel: no folder %s\n", root);
        return 2;
    }
    if (panelCheckSandbox(real, why, sizeof(why)) != 1 || demoBoardOpen(&p.board, real) != 1) {
        fprintf(stderr, "kelpanel: %s is not a sandbox: %s\n", real, why);
        return 2;
    }
    std::string host;
    int port = PANEL_DEFAULT_PORT;
    if (panelParseListen(listen, &host, &port) != 1)
        return 2;
    struct in_addr a;
    char meterHost[64] = "";
    if (meter != nullptr && inet_pton(AF_INET, meter, &a) != 1) {
        fprintf(stderr, "kelpanel: bad meter address '%s'\n", meter);
        return 2;
    }
    if (meter == nullptr && panelReadMeterHost(&p.board, meterHost, sizeof(meterHost)) == 1)
        meter = meterHost;
    p.root = real;
    p.binDir = panelOwnDir();
    p.meterAddr = meter != nullptr ? meter : "";
    panelKeysInit(&p.keys, panelKeyWrite, &p.board, panelNowMs());

    if (panelProbePort(host, port) != 1)
        return 1;
    httplib::Server svr;
    /* The library's default shares the port with any other listener
     * (SO_REUSEPORT), so a second panel would silently take half of the
     * first one's requests; address reuse alone lets a restarted panel
     * take its port back at once and still refuses a taken one. */
    svr.set_socket_options([](int sock) {
        int one = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    });
    svr.set_payload_max_length(PANEL_UPLOAD_MAX);
    panelRoutes(svr, &p);
    if (!svr.bind_to_port(host.c_str(), port)) {
        fprintf(stderr, "kelpanel: cannot listen on %s:%d\n", host.c_str(), port);
        return 1;
    }

    /* Signals are taken by one thread that stops the server; every other
     * thread (the library's workers too) inherits the blocked mask. */
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::thread watcher(panelWatch, &p);
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        p.stop.store(true);
        {
            std::lock_guard<std::mutex> g(p.lock);
            p.changed.notify_all();
        }
        svr.stop();
    });
    printf("kelpanel: the panel of %s is on http://%s:%d/\n", p.root.c_str(), host.c_str(), port);
    fflush(stdout);
    svr.listen_after_bind();
    /* The server also ends when the stopper is still waiting (it never
     * does without a signal); wake it so it can be joined. */
    if (!p.stop.load())
        kill(getpid(), SIGTERM);
    stopper.join();
    watcher.join();
    /* Keys still held are released, so the unit is not left with one
     * down. */
    for (int32_t i = 0; i < PANEL_NUM_KEYS; i++)
        panelKeysRelease(&p.keys, i, panelNowMs());
    return 0;
}
