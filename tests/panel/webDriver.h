/*
 * webDriver.h - just enough of the W3C WebDriver protocol to drive a
 * headless Chromium from a test: Debian's chromedriver on a loopback port,
 * one session with the system Chromium (no browser is downloaded), page
 * loads, element clicks, input actions and scripts whose results are
 * numbers or plain strings.
 *
 * Chromium runs as root here, so it needs --no-sandbox; it gets a fresh
 * profile folder and no background networking, so it talks to nothing but
 * the loopback addresses the test gives it.
 */
#ifndef WEB_DRIVER_H
#define WEB_DRIVER_H

#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <httplib.h>

#include "kelSandbox.h"

#define WD_CHROMIUM "/usr/bin/chromium"
#define WD_CHROMEDRIVER "/usr/bin/chromedriver"
#define WD_ELEMENT_KEY "element-6066-11e4-a52e-4f735466cecf"

static inline std::string wdQuote(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

/* The text of a string field ("name":"text") of a JSON answer; "" if none.
 * Enough for ids and the plain strings the test's scripts return. */
static inline std::string wdField(const std::string &json, const std::string &name)
{
    std::string key = "\"" + name + "\":\"";
    size_t at = json.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    size_t end = json.find('"', at);
    return end == std::string::npos ? "" : json.substr(at, end - at);
}

class WebDriver {
public:
    /* Starts chromedriver inside the sandbox's process list (so it is
     * stopped with the sandbox) on a free loopback port. */
    WebDriver(KelSandbox &sandbox, int port) : sb(sandbox), port(port) {}
    ~WebDriver()
    {
        if (client && !session.empty())
            client->Delete(("/session/" + session).c_str());
        if (pid > 0)
            sb.stop(pid);
        if (!profile.empty())
            (void)system(("rm -rf '" + profile + "'").c_str());
    }

    static bool available() { return access(WD_CHROMIUM, X_OK) == 0 && access(WD_CHROMEDRIVER, X_OK) == 0; }

    /* Driver and browser up; the reason in error() when not. */
    bool start()
    {
        char tmpl[] = "/tmp/kelpanel-chromium.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return fail("no profile folder");
        profile = tmpl;
        pid = sb.spawn({WD_CHROMEDRIVER, "--port=" + std::to_string(port)});
        if (pid < 0)
            return fail("chromedriver did not start");
        client.reset(new httplib::Client("127.0.0.1", port));
        client->set_read_timeout(60, 0);
        bool up = false;
        for (int i = 0; i < 100 && !up; i++) {
            auto r = client->Get("/status");
            up = r && r->status == 200;
            if (!up)
                usleep(100 * 1000);
        }
        if (!up)
            return fail("chromedriver does not answer");
        std::string args;
        for (const char *a : {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                              "--no-first-run", "--disable-background-networking",
                              "--disable-component-update", "--disable-sync",
                              "--disable-dev-shm-usage", "--window-size=1400,1000"})
            args += std::string(args.empty() ? "" : ",") + wdQuote(a);
        args += "," + wdQuote("--user-data-dir=" + profile);
        std::string caps = "{\"capabilities\":{\"alwaysMatch\":{\"browserName\":\"chrome\","
                           "\"goog:chromeOptions\":{\"binary\":\"" WD_CHROMIUM "\",\"args\":[" +
                           args + "]}}}}";
        std::string body;
        if (!post("/session", caps, &body))
            return false;
        session = wdField(body, "sessionId");
        return session.empty() ? fail("no session: " + body) : true;
    }

    bool open(const std::string &url)
    {
        return post(sessionPath("/url"), "{\"url\":" + wdQuote(url) + "}", nullptr);
    }

    /* Runs a script (a promise it returns is awaited); the raw JSON of
     * its value, strings still quoted. */
    std::string run(const std::string &script)
    {
        std::string body;
        if (!post(sessionPath("/execute/sync"), "{\"script\":" + wdQuote(script) + ",\"args\":[]}",
                  &body))
            return "";
        std::string key = "{\"value\":";
        if (body.compare(0, key.size(), key) != 0 || body.back() != '}')
            return "";
        return body.substr(key.size(), body.size() - key.size() - 1);
    }
    /* A script's string result without its quotes. */
    std::string runText(const std::string &script)
    {
        std::string v = run(script);
        return v.size() >= 2 && v.front() == '"' ? v.substr(1, v.size() - 2) : v;
    }

    std::string element(const std::string &css)
    {
        std::string body;
        if (!post(sessionPath("/element"),
                  "{\"using\":\"css selector\",\"value\":" + wdQuote(css) + "}", &body))
            return "";
        return wdField(body, WD_ELEMENT_KEY);
    }

    bool click(const std::string &css)
    {
        std::string id = element(css);
        return !id.empty() && post(sessionPath("/element/" + id + "/click"), "{}", nullptr);
    }

    /* The mouse held down on an element for holdMs, then released. */
    bool hold(const std::string &css, int holdMs)
    {
        std::string id = element(css);
        if (id.empty())
            return false;
        std::string actions =
            "{\"actions\":[{\"type\":\"pointer\",\"id\":\"mouse\",\"parameters\":"
            "{\"pointerType\":\"mouse\"},\"actions\":["
            "{\"type\":\"pointerMove\",\"duration\":0,\"origin\":{\"" WD_ELEMENT_KEY "\":\"" +
            id +
            "\"},\"x\":0,\"y\":0},"
            "{\"type\":\"pointerDown\",\"button\":0},"
            "{\"type\":\"pause\",\"duration\":" +
            std::to_string(holdMs) +
            "},"
            "{\"type\":\"pointerUp\",\"button\":0}]}]}";
        return post(sessionPath("/actions"), actions, nullptr);
    }

    /* Keyboard: a list of (down?, WebDriver key code) steps. */
    bool keys(const std::vector<std::pair<bool, std::string>> &steps)
    {
        std::string list;
        for (const auto &s : steps) {
            list += std::string(list.empty() ? "" : ",") + "{\"type\":\"" +
                    (s.first ? "keyDown" : "keyUp") + "\",\"value\":\"" + s.second + "\"}";
            list += ",{\"type\":\"pause\",\"duration\":150}";
        }
        return post(sessionPath("/actions"),
                    "{\"actions\":[{\"type\":\"key\",\"id\":\"keyboard\",\"actions\":[" + list +
                        "]}]}",
                    nullptr);
    }

    const std::string &error() const { return lastError; }

private:
    std::string sessionPath(const std::string &tail) const { return "/session/" + session + tail; }

    bool post(const std::string &path, const std::string &json, std::string *body)
    {
        auto r = client->Post(path.c_str(), json, "application/json");
        if (!r)
            return fail("no answer to " + path);
        if (r->status != 200)
            return fail(path + ": " + std::to_string(r->status) + " " + r->body.substr(0, 400));
        if (body != nullptr)
            *body = r->body;
        return true;
    }

    bool fail(const std::string &why)
    {
        lastError = why;
        return false;
    }

    KelSandbox &sb;
    int port;
    pid_t pid = -1;
    std::string profile;
    std::string session;
    std::string lastError;
    std::unique_ptr<httplib::Client> client;
};

#endif /* WEB_DRIVER_H */
