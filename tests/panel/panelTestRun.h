/*
 * panelTestRun.h - a kelpanel of this build on a sandbox, for the panel's
 * tests: a free loopback port, the program started inside the sandbox,
 * the wait until it serves, and an HTTP client for it.
 */
#ifndef PANEL_TEST_RUN_H
#define PANEL_TEST_RUN_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <httplib.h>

#include "kelSandbox.h"

/* A port no one listens on right now (the kernel's pick). */
static inline int panelFreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    int port = -1;
    if (fd >= 0 && bind(fd, (struct sockaddr *)&sa, sizeof(sa)) == 0 &&
        getsockname(fd, (struct sockaddr *)&sa, &len) == 0)
        port = ntohs(sa.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

struct PanelRun {
    explicit PanelRun(KelSandbox &sandbox) : sb(sandbox) {}
    ~PanelRun()
    {
        if (pid > 0)
            sb.stop(pid);
    }

    /* Starts kelpanel with the extra options on the given port (or a free
     * one); true once it answers. */
    bool start(const std::vector<std::string> &extra = {}, int onPort = -1)
    {
        port = onPort > 0 ? onPort : panelFreePort();
        std::vector<std::string> argv = {std::string(KEL_TEST_BIN_DIR) + "/kelpanel", "--root",
                                         sb.dir(), "--listen",
                                         "127.0.0.1:" + std::to_string(port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        pid = sb.spawn(argv);
        if (pid < 0 || port < 0)
            return false;
        client.reset(new httplib::Client("127.0.0.1", port));
        client->set_read_timeout(10, 0);
        for (int i = 0; i < 100; i++) {
            if (client->Get("/panel.css"))
                return true;
            usleep(100 * 1000);
        }
        return false;
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

    KelSandbox &sb;
    pid_t pid = -1;
    int port = -1;
    std::unique_ptr<httplib::Client> client;
};

#endif /* PANEL_TEST_RUN_H */
