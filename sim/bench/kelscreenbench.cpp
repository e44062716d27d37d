/*
 * kelscreenbench.cpp - throughput of the screen path and latency of the
 * keypad path, measured on a virtual board.
 *
 * The bench builds a sandbox with kelvboard, plays the meter (meterSim
 * library) on a loopback address, and starts inside the sandbox a stand-in
 * for the startup client (the app client runs only beside one), kelcontrol
 * and kelappclient. Then:
 *
 *  - screens, stop-and-wait (--latency N): full 320 x 240 screens (200
 *    rectangles and SCR_FIN each) go out one after the other; each carries
 *    a marker unique to it, and the bench watches the sandbox's frame
 *    buffer file (mapped) until the marker shows, then sends the next: the
 *    time from the first rectangle to the marker (latency).
 *  - screens, pipelined (--screens N, --window K): the screen is encoded
 *    once and each one goes out in a single write while at most K are in
 *    flight, so the unit, not the bench, sets the pace: screens per second.
 *    With --rounds R each target gets R pipelined runs and the best counts.
 *  - Both charge the CPU time per screen of kelappclient and kelcontrol
 *    (utime + stime from /proc/<pid>/stat, and the scheduler's run time).
 *  - floor: the same screens, sent the same ways, to kelfloorbench, which
 *    makes only the two unavoidable copies per screen; watched the same
 *    way. Then the framing floor: kelfloorbench --framing, which also reads
 *    each frame as the links must (select, 4, 4, rest). Ratios of the
 *    unit's pipelined figures to both.
 *  - keys: key presses written into the keypad FIFO as 16-byte input
 *    records, timed until their KEYEVENT reaches the meter (press and
 *    release separately).
 *  - idle (--idle S): the meter sets the red status LED blinking, then the
 *    daemon's CPU time over S seconds and its resident memory.
 *
 * Every process started is stopped, the System V objects keyed on the
 * sandbox are removed and the sandbox is deleted at the end.
 *
 *     kelscreenbench [--bin DIR] [--addr A] [--floor-addr B] [--screens N]
 *                    [--latency N] [--window K] [--rounds R] [--keys N]
 *                    [--syn] [--no-floor] [--no-keys] [--keep] [--idle S]
 *                    [--strace N] [--callgrind N]
 *
 * --strace N: N more screens, pipelined, with strace -c -f attached to the
 * app client; prints its system calls per received frame.
 * --callgrind N: the app client is started again under valgrind's
 * callgrind and N screens go through; prints its instructions per full
 * screen in the frame receive and handling (host programs only).
 *
 * --bin: the build's bin directory holding kelvboard and the programs
 * (default: this program's directory). Programs of an armhf build run
 * under qemu-arm by binfmt; export QEMU_LD_PREFIX for them.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "meterSim.h"

#define BENCH_PATH_MAX      1024
#define BENCH_W             320
#define BENCH_H             240
#define BENCH_FB_BYTES      (BENCH_W * BENCH_H * 2)
#define BENCH_RECTS         200          /* 64 x 6 tiles of a full screen */
#define BENCH_MARK_FIXED    0xF800u      /* pure red on the display */
#define BENCH_MARKS         0xFFFFu      /* markers 1..65535; 0 is the warm-up's */
#define BENCH_POLL_US       100
#define BENCH_STOP_GRACE_MS 3000
#define BENCH_MAX_SCREENS   100000
#define BENCH_WINDOW        8            /* pipelined screens in flight, default */
#define BENCH_MAX_WINDOW    64
#define BENCH_MAX_ROUNDS    100
#define BENCH_MAX_KEYS      10000
#define BENCH_MAX_IDLE_S    3600
#define BENCH_MAX_PIDS      4
#define BENCH_KEY_CODE      102          /* the home key */
#define BENCH_EV_SYN        0
#define BENCH_EV_KEY        1
#define BENCH_KEYEVENT_CODE_OFF   16
#define BENCH_KEYEVENT_ACTION_OFF 20

/* The unit's input record: the 32-bit ARM struct input_event. */
#pragma pack(push, 1)
typedef struct {
    uint32_t sec;
    uint32_t usec;
    uint16_t type;
    uint16_t code;
    int32_t value;
} BenchInputEvent_t;
#pragma pack(pop)
static_assert(sizeof(BenchInputEvent_t) == 16, "input record is 16 bytes on the unit");
static_assert(offsetof(BenchInputEvent_t, type) == 8, "type after the time");
static_assert(offsetof(BenchInputEvent_t, value) == 12, "value last");

typedef struct {
    const char *binDir;
    const char *addr;
    const char *floorAddr;
    int32_t screens;      /* pipelined screens */
    int32_t latencyScreens; /* stop-and-wait screens, 0: none */
    int32_t window;       /* pipelined screens in flight at most */
    int32_t rounds;       /* pipelined runs of each; the best counts */
    int32_t keys;
    int32_t bSyn;
    int32_t bFloor;
    int32_t bKeys;
    int32_t bKeep;
    int32_t idleSeconds;  /* 0: no idle measurement */
    int32_t straceScreens;    /* screens of the system-call count, 0: none */
    int32_t callgrindScreens; /* screens under callgrind, 0: none */
    uint32_t waitMs;      /* how long one event may take before it is lost */
} BenchArgs_t;

typedef struct {
    char root[BENCH_PATH_MAX];
    char binDir[BENCH_PATH_MAX];
    pid_t stpPid;
    pid_t ctlPid;
    pid_t appPid;
    pid_t floorPid;
    MeterSim_t *sim;
    MeterSim_t *floorSim;
    uint8_t *fb;
    uint8_t *floorFb;
} Bench_t;

typedef struct {
    int32_t screens;
    int32_t lost;
    double seconds;
    double latMedianMs;
    double latMaxMs;
} BenchScreens_t;

/* What one screen run gives for the comparison of unit and floors. */
typedef struct {
    double screensPerS;
    double cpuMs; /* per screen, of the first process charged (run time) */
} BenchFigures_t;

static volatile sig_atomic_t gStop = 0;
static uint32_t gMark = 0;       /* marker of the last screen sent; every screen gets a new one */
static int64_t gScreensSent = 0; /* full screens sent so far, warm-up included */
static double gLatency[BENCH_MAX_SCREENS > BENCH_MAX_KEYS ? BENCH_MAX_SCREENS : BENCH_MAX_KEYS];
static double gRelease[BENCH_MAX_KEYS];

static void benchOnSignal(int sig)
{
    (void)sig;
    gStop = 1;
}

static uint64_t benchNowUs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)(ts.tv_nsec / 1000);
}

static void benchSleepUs(uint32_t us)
{
    struct timespec ts;
    ts.tv_sec = us / 1000000u;
    ts.tv_nsec = (long)(us % 1000000u) * 1000L;
    nanosleep(&ts, NULL);
}

static int benchCompare(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : (x > y ? 1 : 0);
}

/* Sorts v and returns the value at fraction q (0.5 median, 1 maximum). */
static double benchQuantile(double *v, int32_t n, double q)
{
    if (n <= 0) {
        return 0.0;
    }
    qsort(v, (size_t)n, sizeof(double), benchCompare);
    int32_t i = (int32_t)(q * (double)(n - 1) + 0.5);
    return v[i < 0 ? 0 : (i >= n ? n - 1 : i)];
}

/* Starts argv[0] with argv; output appended to logPath; KEL_ROOT set when
 * root is given. The child dies with the bench. Returns the pid or -1. */
static pid_t benchSpawn(const char *const *argv, const char *logPath, const char *root)
{
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (root != NULL) {
        setenv("KEL_ROOT", root, 1);
    }
    int in = open("/dev/null", O_RDONLY);
    int out = open(logPath != NULL ? logPath : "/dev/null", O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in >= 0) {
        dup2(in, 0);
    }
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    execv(argv[0], (char *const *)argv);
    _exit(127);
}

/* Exit status of a program run to its end, or -1. */
static int32_t benchRunWait(const char *const *argv)
{
    pid_t pid = benchSpawn(argv, NULL, NULL);
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* SIGTERM, a grace period, then SIGKILL; always reaped. */
static void benchStop(pid_t *pid)
{
    if (*pid <= 0) {
        return;
    }
    kill(*pid, SIGTERM);
    uint64_t end = benchNowUs() + BENCH_STOP_GRACE_MS * 1000u;
    int status = 0;
    while (waitpid(*pid, &status, WNOHANG) == 0) {
        if (benchNowUs() > end) {
            kill(*pid, SIGKILL);
            waitpid(*pid, &status, 0);
            break;
        }
        benchSleepUs(20000);
    }
    *pid = -1;
}

/* 1 while the child has not ended (reaps it when it has). */
static int32_t benchAlive(pid_t pid)
{
    int status = 0;
    return pid > 0 && waitpid(pid, &status, WNOHANG) == 0 ? 1 : 0;
}

/* utime + stime of a process in clock ticks, or -1. */
static int64_t benchCpuTicks(pid_t pid)
{
    char path[64];
    char buf[1024];
    snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) {
        return -1;
    }
    buf[n] = '\0';
    /* The command name may hold blanks; fields count from after its ')'. */
    char *p = strrchr(buf, ')');
    if (p == NULL) {
        return -1;
    }
    unsigned long long utime = 0, stime = 0;
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
               &stime) != 2) {
        return -1;
    }
    return (int64_t)(utime + stime);
}

/* Time on a CPU of all threads of a process in ns, from the scheduler's
 * per-thread statistics: a finer count than the 10 ms ticks of utime and
 * stime. -1 when unavailable. */
static int64_t benchRunNs(pid_t pid)
{
    char dirPath[64];
    snprintf(dirPath, sizeof(dirPath), "/proc/%d/task", (int)pid);
    DIR *dir = opendir(dirPath);
    if (dir == NULL) {
        return -1;
    }
    int64_t total = 0;
    struct dirent *de;
    while ((de = readdir(dir)) != NULL) {
        if (de->d_name[0] < '0' || de->d_name[0] > '9') {
            continue;
        }
        char path[128];
        char buf[128];
        snprintf(path, sizeof(path), "%s/%.20s/schedstat", dirPath, de->d_name);
        int fd = open(path, O_RDONLY);
        if (fd < 0) {
            continue;
        }
        ssize_t n = read(fd, buf, sizeof(buf) - 1);
        close(fd);
        unsigned long long ns = 0;
        if (n > 0) {
            buf[n] = '\0';
            if (sscanf(buf, "%llu", &ns) == 1) {
                total += (int64_t)ns;
            }
        }
    }
    closedir(dir);
    return total;
}

static double benchSelfCpuMs(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

static double benchTicksToMs(int64_t ticks)
{
    return (double)ticks * 1000.0 / (double)sysconf(_SC_CLK_TCK);
}

static uint8_t *benchMapFile(const char *path, int32_t bWrite)
{
    int fd = open(path, bWrite ? (O_RDWR | O_CREAT) : O_RDONLY, 0644);
    if (fd < 0) {
        return NULL;
    }
    if (bWrite && ftruncate(fd, BENCH_FB_BYTES) < 0) {
        close(fd);
        return NULL;
    }
    void *map = mmap(NULL, BENCH_FB_BYTES, PROT_READ | (bWrite ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
    close(fd);
    return map == MAP_FAILED ? NULL : (uint8_t *)map;
}

/*
 * Screen markers. Three pixels, set on the meter's screen in display
 * order: (0,0) pure red, (1,0) the screen number, (319,239) its complement.
 * The wire carries them with red and blue exchanged and the unit exchanges
 * them back, so the frame buffer must show exactly these values; a missing
 * or doubled exchange shows (0,0) as pure blue and never matches. The last
 * pixel of the frame also tells that the copy reached the end.
 */
static uint16_t benchPixel(const uint8_t *fb, int32_t x, int32_t y)
{
    const volatile uint8_t *p = fb + (y * BENCH_W + x) * 2;
    return (uint16_t)(p[0] | (p[1] << 8));
}

static void benchDrawMarker(MeterSim_t *sim, uint32_t n)
{
    meterSimFillRect(sim, 0, 0, 1, 1, (uint16_t)BENCH_MARK_FIXED);
    meterSimFillRect(sim, 1, 0, 1, 1, (uint16_t)n);
    meterSimFillRect(sim, BENCH_W - 1, BENCH_H - 1, 1, 1, (uint16_t)~n);
}

static int32_t benchMarkerShown(const uint8_t *fb, uint32_t n)
{
    return benchPixel(fb, 0, 0) == BENCH_MARK_FIXED && benchPixel(fb, 1, 0) == (uint16_t)n &&
           benchPixel(fb, BENCH_W - 1, BENCH_H - 1) == (uint16_t)~n;
}

/* The marker after m: 1..65535 round and round. */
static uint32_t benchNextMark(uint32_t m)
{
    return m % BENCH_MARKS + 1u;
}

/* Place of a marker in the round: 1 is 0, 65535 is 65534, and the
 * warm-up's 0 stands just before 1. */
static uint32_t benchMarkPlace(uint32_t m)
{
    return (m + BENCH_MARKS - 1u) % BENCH_MARKS;
}

/* Screens from marker `from` forward to marker `to`. */
static uint32_t benchMarkSteps(uint32_t from, uint32_t to)
{
    return (benchMarkPlace(to) + BENCH_MARKS - benchMarkPlace(from)) % BENCH_MARKS;
}

/* Polls the mapped frame for marker n: 1, or -2 after timeoutMs. */
static int32_t benchWaitMarker(const uint8_t *fb, uint32_t n, uint32_t timeoutMs)
{
    uint64_t end = benchNowUs() + (uint64_t)timeoutMs * 1000u;
    while (!benchMarkerShown(fb, n)) {
        if (gStop || benchNowUs() > end) {
            return -2;
        }
        benchSleepUs(BENCH_POLL_US);
    }
    return 1;
}

/* Sends marker-0 screens until one shows: the path is up. 1 or -2. */
static int32_t benchWarmUp(MeterSim_t *sim, const uint8_t *fb, uint32_t timeoutMs)
{
    uint64_t end = benchNowUs() + (uint64_t)timeoutMs * 1000u;
    meterSimDrawPattern(sim, MSIM_PATTERN_GRADIENT, 0);
    benchDrawMarker(sim, 0);
    while (benchNowUs() < end && !gStop) {
        int32_t sent = meterSimSendScreen(sim, 0, 1);
        gScreensSent += sent == BENCH_RECTS ? 1 : 0;
        if (sent == BENCH_RECTS && benchWaitMarker(fb, 0, 500) == 1) {
            return 1;
        }
        benchSleepUs(100000);
    }
    return -2;
}

/* Screens 1..count, one after the other, each awaited in the frame. */
static int32_t benchScreens(MeterSim_t *sim, const uint8_t *fb, int32_t count, uint32_t waitMs,
                            BenchScreens_t *res)
{
    memset(res, 0, sizeof(*res));
    int32_t shown = 0;
    uint64_t t0 = benchNowUs();
    for (int32_t i = 1; i <= count && !gStop; i++) {
        /* Marker 0 belongs to the warm-up screens. */
        gMark = benchNextMark(gMark);
        benchDrawMarker(sim, gMark);
        uint64_t ts = benchNowUs();
        int32_t sent = meterSimSendScreen(sim, 0, 1);
        if (sent != BENCH_RECTS) {
            fprintf(stderr, "kelscreenbench: screen %d: %d rectangles sent\n", (int)i, (int)sent);
            return -1;
        }
        gScreensSent++;
        if (benchWaitMarker(fb, gMark, waitMs) != 1) {
            res->lost++;
            continue;
        }
        gLatency[shown++] = (double)(benchNowUs() - ts) / 1000.0;
    }
    res->seconds = (double)(benchNowUs() - t0) / 1e6;
    res->screens = shown;
    res->latMedianMs = benchQuantile(gLatency, shown, 0.5);
    res->latMaxMs = benchQuantile(gLatency, shown, 1.0);
    return gStop ? -1 : 1;
}

/*
 * Pipelined screens. The meter's screen is encoded once as the wire carries
 * it (200 rectangles and SCR_FIN, 158416 bytes); from screen to screen only
 * the three marker pixels and the transaction ids change. Each screen goes
 * out in one write, as fast as the socket takes it, while at most `window`
 * screens are in flight: not yet known to be in the frame.
 *
 * A screen counts as done when its marker, or that of a later screen,
 * shows in the frame: the unit shows the newest screen it has, so a screen
 * overtaken before the daemon took it is done without ever showing. The
 * bench reads the three pixels of the mapped frame (no system call) after
 * every write and, while the window is full, every BENCH_PIPE_POLL_US; with
 * several screens queued behind the one being shown, that polling never
 * leaves the unit without work.
 */
#define BENCH_PIPE_POLL_US   200
#define BENCH_PIX_OFF        (offsetof(MSW_RectFrame_t, rect) + offsetof(MSW_Rect_t, pixels))
#define BENCH_SCREEN_BYTES   (BENCH_RECTS * sizeof(MSW_RectFrame_t) + MSW_HEAD_LEN)

static_assert(sizeof(MSW_RectFrame_t) == 792, "a full rectangle frame");
static_assert(BENCH_PIX_OFF == 24, "pixels follow the rectangle's place and size");

static uint8_t gWire[BENCH_SCREEN_BYTES];

/* Byte offset in gWire of pixel (x, y): tiles of 64 x 6 in rows of five. */
static uint32_t benchWirePixelAt(int32_t x, int32_t y)
{
    uint32_t tile = (uint32_t)(y / 6) * (BENCH_W / 64) + (uint32_t)(x / 64);
    return tile * (uint32_t)sizeof(MSW_RectFrame_t) + (uint32_t)BENCH_PIX_OFF +
           (uint32_t)((y % 6) * 64 + x % 64) * 2u;
}

static void benchWireSetPixel(int32_t x, int32_t y, uint16_t display)
{
    uint16_t wire = meterSimDisplayToWire(display);
    memcpy(gWire + benchWirePixelAt(x, y), &wire, sizeof(wire));
}

/* The meter's current screen into gWire, in the order meterSimSendScreen
 * sends it, and SCR_FIN after it. */
static void benchWireEncode(MeterSim_t *sim)
{
    const uint16_t *screen = meterSimScreen(sim);
    for (int32_t y = 0; y < BENCH_H; y++) {
        for (int32_t x = 0; x < BENCH_W; x++) {
            benchWireSetPixel(x, y, screen[y * BENCH_W + x]);
        }
    }
    for (int32_t t = 0; t <= BENCH_RECTS; t++) {
        MSW_Head_t head;
        head.header = MSW_MAGIC;
        head.length = t < BENCH_RECTS ? (uint32_t)sizeof(MSW_RectFrame_t) : MSW_HEAD_LEN;
        head.transID = 0;
        head.cmdType = t < BENCH_RECTS ? MSW_FB_FBDATA : MSW_FB_SCR_FIN;
        uint8_t *frame = gWire + (uint32_t)t * sizeof(MSW_RectFrame_t);
        memcpy(frame, &head, sizeof(head));
        if (t < BENCH_RECTS) {
            uint16_t place[4] = {(uint16_t)((t % 5) * 64), (uint16_t)((t / 5) * 6), 64, 6};
            memcpy(frame + sizeof(head), place, sizeof(place));
        }
    }
}

/* Marker n into the encoded screen, and n as every frame's transaction id. */
static void benchWireMark(uint32_t n)
{
    benchWireSetPixel(0, 0, (uint16_t)BENCH_MARK_FIXED);
    benchWireSetPixel(1, 0, (uint16_t)n);
    benchWireSetPixel(BENCH_W - 1, BENCH_H - 1, (uint16_t)~n);
    for (int32_t t = 0; t <= BENCH_RECTS; t++) {
        memcpy(gWire + (uint32_t)t * sizeof(MSW_RectFrame_t) + offsetof(MSW_Head_t, transID), &n,
               sizeof(n));
    }
}

/* A pipelined run: screens sent, screens done, and the marker of the last
 * screen known done. */
typedef struct {
    int32_t sent;
    int32_t done;
    uint32_t doneMark;
} BenchPipe_t;

/* Takes in a whole screen in the frame that is one of those in flight. */
static void benchPipeLook(const uint8_t *fb, BenchPipe_t *p)
{
    uint32_t m = benchPixel(fb, 1, 0);
    uint32_t steps = benchMarkSteps(p->doneMark, m);
    if (steps > 0 && steps <= (uint32_t)(p->sent - p->done) && benchMarkerShown(fb, m)) {
        p->done += (int32_t)steps;
        p->doneMark = m;
    }
}

/* Waits until at most `limit` screens are in flight: 1, or -2 when none
 * came through for waitMs. */
static int32_t benchPipeWait(const uint8_t *fb, BenchPipe_t *p, int32_t limit, uint32_t waitMs)
{
    uint64_t end = benchNowUs() + (uint64_t)waitMs * 1000u;
    while (p->sent - p->done > limit) {
        int32_t before = p->done;
        benchPipeLook(fb, p);
        if (p->done > before) {
            end = benchNowUs() + (uint64_t)waitMs * 1000u;
            continue;
        }
        if (gStop || benchNowUs() > end) {
            return -2;
        }
        benchSleepUs(BENCH_PIPE_POLL_US);
    }
    return 1;
}

/* Screens 1..count pipelined, at most `window` in flight; every one must
 * be done in the end. */
static int32_t benchPipelined(MeterSim_t *sim, const uint8_t *fb, int32_t count, int32_t window,
                              uint32_t waitMs, BenchScreens_t *res)
{
    memset(res, 0, sizeof(*res));
    benchWireEncode(sim);
    BenchPipe_t p = {0, 0, gMark};
    int32_t rc = 1;
    uint64_t t0 = benchNowUs();
    while (p.sent < count && !gStop && rc == 1) {
        rc = benchPipeWait(fb, &p, window - 1, waitMs);
        if (rc != 1) {
            break;
        }
        gMark = benchNextMark(gMark);
        benchWireMark(gMark);
        if (meterSimSendRaw(sim, MSIM_LINK_SCREEN, gWire, (uint32_t)BENCH_SCREEN_BYTES) != 1) {
            fprintf(stderr, "kelscreenbench: screen %d could not be sent\n", (int)p.sent + 1);
            return -1;
        }
        gScreensSent++;
        p.sent++;
        benchPipeLook(fb, &p);
    }
    if (rc == 1) {
        benchPipeWait(fb, &p, 0, waitMs);
    }
    res->seconds = (double)(benchNowUs() - t0) / 1e6;
    res->screens = p.done;
    res->lost = count - p.done;
    return gStop ? -1 : 1;
}

/* Runs the screens, stop-and-wait (window 0) or pipelined, and prints one
 * block: the processes named are charged. */
static int32_t benchScreenRun(const char *label, MeterSim_t *sim, const uint8_t *fb, int32_t count,
                              int32_t window, uint32_t waitMs, const pid_t *pids,
                              const char *const *names, int32_t nPids, BenchFigures_t *fig)
{
    memset(fig, 0, sizeof(*fig));
    int64_t before[BENCH_MAX_PIDS], after[BENCH_MAX_PIDS];
    int64_t runBefore[BENCH_MAX_PIDS], runAfter[BENCH_MAX_PIDS];
    if (nPids < 0 || nPids > BENCH_MAX_PIDS) {
        return -1;
    }
    for (int32_t p = 0; p < nPids; p++) {
        before[p] = benchCpuTicks(pids[p]);
        runBefore[p] = benchRunNs(pids[p]);
    }
    double selfBefore = benchSelfCpuMs();
    BenchScreens_t res;
    int32_t rc = window > 0 ? benchPipelined(sim, fb, count, window, waitMs, &res)
                            : benchScreens(sim, fb, count, waitMs, &res);
    double selfMs = benchSelfCpuMs() - selfBefore;
    for (int32_t p = 0; p < nPids; p++) {
        after[p] = benchCpuTicks(pids[p]);
        runAfter[p] = benchRunNs(pids[p]);
    }
    const char *mode = window > 0 ? "pipelined" : "stop-and-wait";
    if (rc < 0 || res.screens == 0) {
        printf("%-7s %s: no screen came through (lost %d)\n", label, mode, (int)res.lost);
        return -1;
    }
    double perScreen = 1.0 / (double)res.screens;
    fig->screensPerS = (double)res.screens / res.seconds;
    printf("%-7s %s: %d screens in %.3f s = %.1f screens/s (lost %d)", label, mode,
           (int)res.screens, res.seconds, fig->screensPerS, (int)res.lost);
    if (window > 0) {
        printf(", at most %d in flight\n", (int)window);
    } else {
        printf("; first rectangle to frame: median %.2f ms, max %.2f ms\n", res.latMedianMs,
               res.latMaxMs);
    }
    printf("%-7s CPU per screen, utime+stime (scheduler run time):", "");
    double total = 0.0;
    for (int32_t p = 0; p < nPids; p++) {
        if (before[p] < 0 || after[p] < 0) {
            printf(" %s ?", names[p]);
            continue;
        }
        double ms = benchTicksToMs(after[p] - before[p]) * perScreen;
        /* The ratios take the run time where there is one: it counts in ns,
         * utime and stime in whole clock ticks. */
        double figMs = ms;
        total += ms;
        printf(" %s %.3f ms", names[p], ms);
        if (runBefore[p] >= 0 && runAfter[p] >= runBefore[p]) {
            figMs = (double)(runAfter[p] - runBefore[p]) / 1e6 * perScreen;
            printf(" (run time %.3f ms)", figMs);
        }
        if (p == 0) {
            fig->cpuMs = figMs;
        }
        printf(",");
    }
    printf(" together %.3f ms (meter and watcher in the bench: %.3f ms)\n", total,
           selfMs * perScreen);
    return 1;
}

/* The stop-and-wait run (latency), then the pipelined rounds; fig gets
 * the best round's screens/s and the least CPU per screen of a round:
 * other work on the machine only ever slows a round down. */
static int32_t benchBothModes(const char *label, MeterSim_t *sim, const uint8_t *fb,
                              const BenchArgs_t *a, const pid_t *pids, const char *const *names,
                              int32_t nPids, BenchFigures_t *fig)
{
    BenchFigures_t round;
    int32_t rc = 1;
    memset(fig, 0, sizeof(*fig));
    if (a->latencyScreens > 0) {
        rc = benchScreenRun(label, sim, fb, a->latencyScreens, 0, a->waitMs, pids, names, nPids,
                            &round);
    }
    for (int32_t r = 0; r < a->rounds && rc > 0; r++) {
        rc = benchScreenRun(label, sim, fb, a->screens, a->window, a->waitMs, pids, names, nPids,
                            &round);
        if (r == 0 || round.screensPerS > fig->screensPerS) {
            fig->screensPerS = round.screensPerS;
        }
        if (r == 0 || round.cpuMs < fig->cpuMs) {
            fig->cpuMs = round.cpuMs;
        }
    }
    if (rc > 0 && a->rounds > 1) {
        printf("%-7s pipelined, best of %d rounds: %.1f screens/s, CPU (run time) per screen of %s "
               "%.3f ms\n",
               label, (int)a->rounds, fig->screensPerS, names[0], fig->cpuMs);
    }
    fflush(stdout);
    return rc;
}

static int32_t benchKeyWrite(int fd, int32_t value, int32_t bSyn)
{
    BenchInputEvent_t ev[2];
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    memset(ev, 0, sizeof(ev));
    ev[0].sec = (uint32_t)now.tv_sec;
    ev[0].usec = (uint32_t)(now.tv_nsec / 1000);
    ev[0].type = BENCH_EV_KEY;
    ev[0].code = BENCH_KEY_CODE;
    ev[0].value = value;
    ev[1] = ev[0];
    ev[1].type = BENCH_EV_SYN;
    ev[1].code = 0;
    ev[1].value = 0;
    size_t len = bSyn ? sizeof(ev) : sizeof(ev[0]);
    return write(fd, ev, len) == (ssize_t)len ? 1 : -1;
}

/* Writes one key record and waits for its KEYEVENT: ms, or -1. */
static double benchKeyOnce(MeterSim_t *sim, int fd, int32_t value, int32_t bSyn, uint32_t waitMs)
{
    uint32_t mark = meterSimMark(sim);
    uint64_t t0 = benchNowUs();
    if (benchKeyWrite(fd, value, bSyn) < 0) {
        return -1.0;
    }
    MeterSimRecord_t rec;
    if (meterSimWait(sim, mark, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSW_FB_KEYEVENT, waitMs, &rec) != 1) {
        return -1.0;
    }
    double ms = (double)(benchNowUs() - t0) / 1000.0;
    int32_t code = 0, action = 0;
    memcpy(&code, rec.bytes + BENCH_KEYEVENT_CODE_OFF, sizeof(code));
    memcpy(&action, rec.bytes + BENCH_KEYEVENT_ACTION_OFF, sizeof(action));
    if (rec.nBytes < 24 || code != BENCH_KEY_CODE || action != (value != 0 ? 1 : 0)) {
        fprintf(stderr, "kelscreenbench: unexpected key event %d/%d\n", (int)code, (int)action);
        return -1.0;
    }
    return ms;
}

static int32_t benchKeys(Bench_t *b, const BenchArgs_t *a)
{
    char fifo[BENCH_PATH_MAX + 32];
    snprintf(fifo, sizeof(fifo), "%s/dev/input/event0", b->root);
    int fd = open(fifo, O_WRONLY | O_NONBLOCK);
    if (fd < 0) {
        printf("keys   cannot open the keypad FIFO (%s)\n", strerror(errno));
        return -1;
    }
    unsigned int seed = 12345u;
    int32_t n = 0, lost = 0;
    for (int32_t i = 0; i < a->keys && !gStop; i++) {
        /* A random pause, so presses fall at any phase of the daemon's loop. */
        benchSleepUs((uint32_t)(rand_r(&seed) % 100000));
        double press = benchKeyOnce(b->sim, fd, 1, a->bSyn, a->waitMs);
        double release = press < 0 ? -1.0 : benchKeyOnce(b->sim, fd, 0, a->bSyn, a->waitMs);
        if (press < 0 || release < 0) {
            lost++;
            benchSleepUs(500000);
            continue;
        }
        gLatency[n] = press;
        gRelease[n] = release;
        n++;
    }
    close(fd);
    if (n == 0) {
        printf("keys   no key event reached the meter (lost %d)\n", (int)lost);
        return -1;
    }
    double pMed = benchQuantile(gLatency, n, 0.5), p90 = benchQuantile(gLatency, n, 0.9);
    double pMax = benchQuantile(gLatency, n, 1.0);
    double rMed = benchQuantile(gRelease, n, 0.5), r90 = benchQuantile(gRelease, n, 0.9);
    double rMax = benchQuantile(gRelease, n, 1.0);
    printf("keys   %d presses%s (lost %d), FIFO write to KEYEVENT at the meter:\n", (int)n,
           a->bSyn ? " with EV_SYN after each record" : "", (int)lost);
    printf("       press   median %.2f ms, 90%% %.2f ms, worst %.2f ms\n", pMed, p90, pMax);
    printf("       release median %.2f ms, 90%% %.2f ms, worst %.2f ms\n", rMed, r90, rMax);
    return 1;
}

/* Queues and segment keyed on the sandbox's home/root. */
static void benchRemoveIpc(const char *root)
{
    static const char letters[] = {'R', 'T', 'F', 'E', 'I'};
    char keyPath[BENCH_PATH_MAX + 16];
    snprintf(keyPath, sizeof(keyPath), "%s/home/root", root);
    for (size_t i = 0; i < sizeof(letters); i++) {
        key_t key = ftok(keyPath, letters[i]);
        int id = key == (key_t)-1 ? -1 : msgget(key, 0);
        if (id >= 0) {
            msgctl(id, IPC_RMID, NULL);
        }
    }
    key_t key = ftok(keyPath, 'S');
    int id = key == (key_t)-1 ? -1 : shmget(key, 0, 0);
    if (id >= 0) {
        shmctl(id, IPC_RMID, NULL);
    }
}

static void benchCleanup(Bench_t *b, const BenchArgs_t *a)
{
    benchStop(&b->appPid);
    benchStop(&b->floorPid);
    benchStop(&b->ctlPid);
    benchStop(&b->stpPid);
    if (b->sim != NULL) {
        meterSimStop(b->sim);
        b->sim = NULL;
    }
    if (b->floorSim != NULL) {
        meterSimStop(b->floorSim);
        b->floorSim = NULL;
    }
    if (b->fb != NULL) {
        munmap(b->fb, BENCH_FB_BYTES);
    }
    if (b->floorFb != NULL) {
        munmap(b->floorFb, BENCH_FB_BYTES);
    }
    if (b->root[0] == '\0') {
        return;
    }
    benchRemoveIpc(b->root);
    if (a->bKeep) {
        printf("sandbox kept in %s\n", b->root);
        return;
    }
    const char *rm[] = {"/bin/rm", "-rf", b->root, NULL};
    benchRunWait(rm);
}

static void benchPrintMachine(const Bench_t *b)
{
    struct utsname u;
    char model[256] = "unknown";
    FILE *fp = fopen("/proc/cpuinfo", "r");
    if (fp != NULL) {
        char line[512];
        while (fgets(line, sizeof(line), fp) != NULL) {
            char *colon = strchr(line, ':');
            if (strncmp(line, "model name", 10) == 0 && colon != NULL) {
                snprintf(model, sizeof(model), "%s", colon + 2);
                model[strcspn(model, "\n")] = '\0';
                break;
            }
        }
        fclose(fp);
    }
    uname(&u);
    /* e_machine of the daemon's ELF header: 40 is 32-bit ARM. */
    char path[BENCH_PATH_MAX + 16];
    snprintf(path, sizeof(path), "%s/kelcontrol", b->binDir);
    uint8_t elf[20] = {0};
    int fd = open(path, O_RDONLY);
    if (fd >= 0) {
        if (read(fd, elf, sizeof(elf)) != (ssize_t)sizeof(elf)) {
            memset(elf, 0, sizeof(elf));
        }
        close(fd);
    }
    int arm = elf[18] == 40 && elf[19] == 0;
    printf("machine: %s %s, %s, %ld CPUs online; unit programs: %s\n", u.sysname, u.machine, model,
           sysconf(_SC_NPROCESSORS_ONLN), arm ? "32-bit ARM under qemu-arm" : u.machine);
}

static int32_t benchArgs(int argc, char **argv, BenchArgs_t *a)
{
    memset(a, 0, sizeof(*a));
    a->addr = "127.0.0.71";
    a->floorAddr = "127.0.0.72";
    a->screens = 300;
    a->latencyScreens = 100;
    a->window = BENCH_WINDOW;
    a->rounds = 1;
    a->keys = 200;
    a->bFloor = 1;
    a->bKeys = 1;
    a->waitMs = 10000;
    for (int i = 1; i < argc; i++) {
        const char *o = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(o, "--syn") == 0) {
            a->bSyn = 1;
        } else if (strcmp(o, "--no-floor") == 0) {
            a->bFloor = 0;
        } else if (strcmp(o, "--no-keys") == 0) {
            a->bKeys = 0;
        } else if (strcmp(o, "--keep") == 0) {
            a->bKeep = 1;
        } else if (v != NULL && strcmp(o, "--bin") == 0) {
            a->binDir = v, i++;
        } else if (v != NULL && strcmp(o, "--addr") == 0) {
            a->addr = v, i++;
        } else if (v != NULL && strcmp(o, "--floor-addr") == 0) {
            a->floorAddr = v, i++;
        } else if (v != NULL && strcmp(o, "--screens") == 0) {
            a->screens = atoi(v), i++;
        } else if (v != NULL && strcmp(o, "--latency") == 0) {
            a->latencyScreens = atoi(v), i++;
        } else if (v != NULL && strcmp(o, "--rounds") == 0) {
            a->rounds = atoi(v), i++;
        } else if (v != NULL && strcmp(o, "--window") == 0) {
            a->window = atoi(v), i++;
        } else if (v != NULL && strcmp(o, "--keys") == 0) {
            a->keys = atoi(v), i++;
        } else if (v != NULL && strcmp(o, "--idle") == 0) {
            a->idleSeconds = atoi(v), i++;
        } else if (v != NULL && strcmp(o, "--strace") == 0) {
            a->straceScreens = atoi(v), i++;
        } else if (v != NULL && strcmp(o, "--callgrind") == 0) {
            a->callgrindScreens = atoi(v), i++;
        } else {
            return -1;
        }
    }
    if (a->screens < 1 || a->screens > BENCH_MAX_SCREENS || a->latencyScreens < 0 ||
        a->latencyScreens > BENCH_MAX_SCREENS || a->window < 1 || a->window > BENCH_MAX_WINDOW ||
        a->rounds < 1 || a->rounds > BENCH_MAX_ROUNDS ||
        a->keys < 0 || a->keys > BENCH_MAX_KEYS ||
        a->idleSeconds < 0 || a->idleSeconds > BENCH_MAX_IDLE_S || a->straceScreens < 0 ||
        a->straceScreens > BENCH_MAX_SCREENS || a->callgrindScreens < 0 ||
        a->callgrindScreens > BENCH_MAX_SCREENS ||
        strncmp(a->addr, "127.", 4) != 0 || strncmp(a->floorAddr, "127.", 4) != 0) {
        return -1;
    }
    return 1;
}

static int32_t benchBinDir(const BenchArgs_t *a, Bench_t *b)
{
    char self[BENCH_PATH_MAX];
    const char *dir = a->binDir;
    if (dir == NULL) {
        ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        if (n <= 0) {
            return -1;
        }
        self[n] = '\0';
        char *slash = strrchr(self, '/');
        if (slash == NULL) {
            return -1;
        }
        *slash = '\0';
        dir = self;
    }
    return realpath(dir, b->binDir) != NULL ? 1 : -1;
}

/* Sandbox, meter, startup stand-in, daemon and app client, screen link up. */
static int32_t benchStartUnit(Bench_t *b, const BenchArgs_t *a)
{
    char tmpl[] = "/tmp/kelbench.XXXXXX";
    char vboard[BENCH_PATH_MAX + 16];
    if (mkdtemp(tmpl) == NULL || realpath(tmpl, b->root) == NULL) {
        fprintf(stderr, "kelscreenbench: cannot make a sandbox directory\n");
        return -1;
    }
    snprintf(vboard, sizeof(vboard), "%s/kelvboard", b->binDir);
    const char *mk[] = {vboard, b->root, NULL};
    if (benchRunWait(mk) != 0) {
        fprintf(stderr, "kelscreenbench: kelvboard could not build the sandbox\n");
        return -1;
    }

    MeterSimConfig_t cfg;
    meterSimDefaultConfig(&cfg, a->addr);
    b->sim = meterSimStart(&cfg);
    if (b->sim == NULL) {
        fprintf(stderr, "kelscreenbench: meter simulator cannot start on %s\n", a->addr);
        return -1;
    }

    /* The app client runs only while a startup client of its root runs; a
     * sleeping process carrying that program's path stands in for it. */
    char stp[BENCH_PATH_MAX + 32], ctl[BENCH_PATH_MAX + 32], app[BENCH_PATH_MAX + 32];
    char ctlLog[BENCH_PATH_MAX + 32], appLog[BENCH_PATH_MAX + 32];
    snprintf(stp, sizeof(stp), "%s/usr/bin/kelstpclient", b->root);
    snprintf(ctl, sizeof(ctl), "%s/usr/bin/kelcontrol", b->root);
    snprintf(app, sizeof(app), "%s/kel/app/kelappclient", b->root);
    snprintf(ctlLog, sizeof(ctlLog), "%s/var/log/kelcontrol.out", b->root);
    snprintf(appLog, sizeof(appLog), "%s/var/log/kelappclient.out", b->root);
    const char *stpArgv[] = {stp, "86400", NULL};
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setenv("KEL_ROOT", b->root, 1);
        execv("/bin/sleep", (char *const *)stpArgv);
        _exit(127);
    }
    b->stpPid = pid;

    const char *ctlArgv[] = {vboard, "--run", b->root, ctl, NULL};
    b->ctlPid = benchSpawn(ctlArgv, ctlLog, NULL);
    benchSleepUs(300000);
    const char *appArgv[] = {vboard, "--run", b->root, app, a->addr, NULL};
    b->appPid = benchSpawn(appArgv, appLog, NULL);
    if (b->stpPid < 0 || b->ctlPid < 0 || b->appPid < 0) {
        return -1;
    }
    if (meterSimWaitConnected(b->sim, MSIM_LINK_SCREEN, 30000) != 1 ||
        meterSimWait(b->sim, 0, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSW_FB_DATA_REQ, 30000, NULL) != 1) {
        fprintf(stderr, "kelscreenbench: the app client did not come up (see %s)\n", appLog);
        return -1;
    }
    char fbPath[BENCH_PATH_MAX + 16];
    snprintf(fbPath, sizeof(fbPath), "%s/dev/fb0", b->root);
    b->fb = benchMapFile(fbPath, 0);
    if (b->fb == NULL) {
        fprintf(stderr, "kelscreenbench: cannot map %s\n", fbPath);
        return -1;
    }
    if (benchWarmUp(b->sim, b->fb, 30000) != 1) {
        fprintf(stderr, "kelscreenbench: no screen reached the frame buffer (logs in %s/var/log)\n",
                b->root);
        return -1;
    }
    return 1;
}

static int32_t benchStartFloor(Bench_t *b, const BenchArgs_t *a, int32_t bFraming)
{
    char prog[BENCH_PATH_MAX + 32], file[BENCH_PATH_MAX + 32], log[BENCH_PATH_MAX + 32];
    snprintf(prog, sizeof(prog), "%s/kelfloorbench", b->binDir);
    snprintf(file, sizeof(file), "%s/tmp/floor.fb", b->root);
    snprintf(log, sizeof(log), "%s/var/log/kelfloorbench.out", b->root);
    MeterSimConfig_t cfg;
    meterSimDefaultConfig(&cfg, a->floorAddr);
    b->floorSim = meterSimStart(&cfg);
    b->floorFb = benchMapFile(file, 1);
    if (b->floorSim == NULL || b->floorFb == NULL) {
        fprintf(stderr, "kelscreenbench: floor meter or frame file failed\n");
        return -1;
    }
    const char *plain[] = {prog, a->floorAddr, file, NULL};
    const char *framing[] = {prog, "--framing", a->floorAddr, file, NULL};
    b->floorPid = benchSpawn(bFraming ? framing : plain, log, NULL);
    if (b->floorPid < 0 || meterSimWaitConnected(b->floorSim, MSIM_LINK_SCREEN, 30000) != 1 ||
        benchWarmUp(b->floorSim, b->floorFb, 30000) != 1) {
        fprintf(stderr, "kelscreenbench: kelfloorbench did not come up (see %s)\n", log);
        return -1;
    }
    return 1;
}

/* Reads the summary of `strace -c`: the total number of calls, and into
 * `names`/`calls` the rows (at most `max`). -1 when the file has none. */
static int64_t benchStraceRead(const char *path, char names[][24], int64_t *calls, int32_t max,
                               int32_t *rows)
{
    FILE *fp = fopen(path, "r");
    *rows = 0;
    if (fp == NULL) {
        return -1;
    }
    char line[256];
    int64_t total = -1;
    while (fgets(line, sizeof(line), fp) != NULL) {
        double pct, secs;
        long long usecs, n;
        int used = 0;
        if (sscanf(line, "%lf %lf %lld %lld %n", &pct, &secs, &usecs, &n, &used) != 4) {
            continue;
        }
        /* An error count may stand between the calls and the name. */
        char first[24] = "", second[24] = "";
        int words = sscanf(line + used, "%23s %23s", first, second);
        const char *name = words == 2 ? second : first;
        if (strcmp(name, "total") == 0) {
            total = n;
        } else if (*rows < max) {
            snprintf(names[*rows], 24, "%s", name);
            calls[(*rows)++] = n;
        }
    }
    fclose(fp);
    return total;
}

/* System calls of the app client per received frame: `strace -c -f`
 * attached while a few more screens go through. A separate pass, since
 * tracing slows the traced process down. */
static int32_t benchSyscalls(Bench_t *b, const BenchArgs_t *a)
{
    const char *strace = "/usr/bin/strace";
    if (access(strace, X_OK) != 0) {
        printf("syscalls not counted: %s is missing\n", strace);
        return 1;
    }
    char out[BENCH_PATH_MAX + 32], pidText[16];
    snprintf(out, sizeof(out), "%s/tmp/strace.out", b->root);
    snprintf(pidText, sizeof(pidText), "%d", (int)b->appPid);
    const char *argv[] = {strace, "-c", "-f", "-q", "-p", pidText, "-o", out, NULL};
    pid_t tracer = benchSpawn(argv, NULL, NULL);
    if (tracer < 0) {
        return -1;
    }
    benchSleepUs(1000000); /* attached to every thread before the first screen */
    BenchScreens_t res;
    int32_t rc = benchPipelined(b->sim, b->fb, a->straceScreens, a->window, a->waitMs, &res);
    kill(tracer, SIGINT);
    int status = 0;
    waitpid(tracer, &status, 0);
    char names[32][24];
    int64_t calls[32];
    int32_t rows = 0;
    int64_t total = benchStraceRead(out, names, calls, 32, &rows);
    if (rc < 0 || res.lost > 0) {
        printf("syscalls screens did not come through (lost %d)\n", (int)res.lost);
        return -1;
    }
    if (total <= 0) {
        printf("syscalls not counted: strace could not attach to the app client\n");
        return 1;
    }
    double frames = (double)a->straceScreens * (BENCH_RECTS + 1);
    printf("syscalls kelappclient %.2f per received frame (%lld calls, %d screens of %d frames):",
           (double)total / frames, (long long)total, (int)a->straceScreens, BENCH_RECTS + 1);
    for (int32_t i = 0; i < rows; i++) {
        printf(" %s %.2f%s", names[i], (double)calls[i] / frames, i + 1 < rows ? "," : "\n");
    }
    return 1;
}

/* Total instructions of a callgrind output file ("summary:" or
 * "totals:" line), or -1. */
static int64_t benchCallgrindRead(const char *path)
{
    FILE *fp = fopen(path, "r");
    if (fp == NULL) {
        return -1;
    }
    char line[256];
    long long total = -1;
    while (fgets(line, sizeof(line), fp) != NULL) {
        long long n;
        if (sscanf(line, "summary: %lld", &n) == 1 || sscanf(line, "totals: %lld", &n) == 1) {
            total = n;
        }
    }
    fclose(fp);
    return total;
}

/* Instructions per full screen of the app client under callgrind: the app
 * client is started again under valgrind with collection switched on only
 * inside the frame receive and the frame handler, so start-up and idle
 * passes do not count. The count is the same from run to run. */
static int32_t benchCallgrind(Bench_t *b, const BenchArgs_t *a)
{
    const char *valgrind = "/usr/bin/valgrind";
    if (access(valgrind, X_OK) != 0) {
        printf("callgrind not measured: %s is missing\n", valgrind);
        return 1;
    }
    char vboard[BENCH_PATH_MAX + 16], app[BENCH_PATH_MAX + 32], log[BENCH_PATH_MAX + 32];
    char out[BENCH_PATH_MAX + 32], outOpt[BENCH_PATH_MAX + 64];
    snprintf(vboard, sizeof(vboard), "%s/kelvboard", b->binDir);
    snprintf(app, sizeof(app), "%s/kel/app/kelappclient", b->root);
    snprintf(log, sizeof(log), "%s/var/log/kelappclient.callgrind", b->root);
    snprintf(out, sizeof(out), "%s/tmp/callgrind.out", b->root);
    snprintf(outOpt, sizeof(outOpt), "--callgrind-out-file=%s", out);
    benchStop(&b->appPid);
    const char *argv[] = {vboard, "--run", b->root, valgrind, "--tool=callgrind", outOpt,
                          "--collect-atstart=no", "--toggle-collect=fbKELRecvMSG",
                          "--toggle-collect=fbClientRecvMsgHandle", app, a->addr, NULL};
    b->appPid = benchSpawn(argv, log, NULL);
    if (b->appPid < 0 || meterSimWaitConnected(b->sim, MSIM_LINK_SCREEN, 60000) != 1 ||
        meterSimWait(b->sim, 0, MSIM_LINK_SCREEN, MSIM_EV_FRAME, MSW_FB_DATA_REQ, 60000, NULL) != 1) {
        printf("callgrind the app client did not come up under valgrind (see %s)\n", log);
        return -1;
    }
    int64_t first = gScreensSent;
    BenchScreens_t res;
    if (benchWarmUp(b->sim, b->fb, 60000) != 1 ||
        benchScreens(b->sim, b->fb, a->callgrindScreens, 60000, &res) < 0) {
        printf("callgrind screens did not come through under valgrind\n");
        return -1;
    }
    int64_t screens = gScreensSent - first;
    benchStop(&b->appPid);
    int64_t instr = benchCallgrindRead(out);
    if (instr <= 0 || screens <= 0) {
        printf("callgrind no figure in %s\n", out);
        return -1;
    }
    printf("callgrind kelappclient %.0f instructions per full screen (frame receive and handling, "
           "%lld screens)\n",
           (double)instr / (double)screens, (long long)screens);
    return 1;
}

/* One floor run, from start to stop of its meter: the plain floor reads a
 * frame in two reads, the framing floor as the links must (select, 4, 4,
 * rest). */
static int32_t benchFloorRun(Bench_t *b, const BenchArgs_t *a, int32_t bFraming, BenchFigures_t *fig)
{
    const char *names[] = {"kelfloorbench"};
    int32_t rc = benchStartFloor(b, a, bFraming);
    if (rc > 0) {
        rc = benchBothModes(bFraming ? "framing" : "floor", b->floorSim, b->floorFb, a,
                            &b->floorPid, names, 1, fig);
    }
    benchStop(&b->floorPid);
    if (b->floorSim != NULL) {
        meterSimStop(b->floorSim);
        b->floorSim = NULL;
    }
    if (b->floorFb != NULL) {
        munmap(b->floorFb, BENCH_FB_BYTES);
        b->floorFb = NULL;
    }
    return rc;
}

static double benchRatio(double a, double b)
{
    return b > 0.0 ? a / b : 0.0;
}

/* Resident memory of a process in kB from /proc/<pid>/status, or -1. */
static int64_t benchRssKb(pid_t pid)
{
    char path[64];
    char line[256];
    snprintf(path, sizeof(path), "/proc/%d/status", (int)pid);
    FILE *fp = fopen(path, "r");
    if (fp == NULL) {
        return -1;
    }
    long long kb = -1;
    while (fgets(line, sizeof(line), fp) != NULL) {
        if (sscanf(line, "VmRSS: %lld", &kb) == 1) {
            break;
        }
    }
    fclose(fp);
    return kb;
}

/* CPU the daemon uses while the unit idles with the red status LED
 * blinking (the LED thread's 1 ms poll is the daemon's busiest idle
 * work), and its resident memory. */
static int32_t benchIdle(Bench_t *b, int32_t seconds)
{
    MSW_Pattern_t blink;
    blink.cycle = 100;
    blink.duty = 50;
    blink.numActCycle = 1;
    blink.numInActCycle = 0;
    if (meterSimSetStatusLed(b->sim, 1, &blink, NULL) < 0) {
        printf("idle   the meter could not set the LED\n");
        return -1;
    }
    benchSleepUs(2000000);
    int64_t before = benchCpuTicks(b->ctlPid);
    benchSleepUs((uint32_t)seconds * 1000000u);
    int64_t after = benchCpuTicks(b->ctlPid);
    if (before < 0 || after < 0) {
        printf("idle   kelcontrol is gone\n");
        return -1;
    }
    double cpuMs = benchTicksToMs(after - before);
    printf("idle   kelcontrol, red status LED blinking, %d s: CPU %.0f ms (%.2f %%), VmRSS %lld kB\n",
           (int)seconds, cpuMs, cpuMs / ((double)seconds * 10.0), (long long)benchRssKb(b->ctlPid));
    return 1;
}

int main(int argc, char **argv)
{
    BenchArgs_t a;
    Bench_t b;
    memset(&b, 0, sizeof(b));
    b.stpPid = b.ctlPid = b.appPid = b.floorPid = -1;
    if (benchArgs(argc, argv, &a) < 0) {
        fprintf(stderr, "usage: kelscreenbench [--bin DIR] [--addr 127.x.y.z] [--floor-addr 127.x.y.z]\n"
                        "       [--screens N] [--latency N] [--window K] [--rounds R] [--keys N]\n"
                        "       [--syn] [--no-floor] [--no-keys] [--keep]\n"
                        "       [--idle SECONDS] [--strace SCREENS] [--callgrind SCREENS]\n");
        return 2;
    }
    if (benchBinDir(&a, &b) < 0) {
        fprintf(stderr, "kelscreenbench: no bin directory\n");
        return 2;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = benchOnSignal;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    benchPrintMachine(&b);
    printf("command:");
    for (int i = 0; i < argc; i++) {
        printf(" %s", argv[i]);
    }
    printf("\n");
    fflush(stdout);

    BenchFigures_t unit, floor, framing;
    int32_t rc = benchStartUnit(&b, &a);
    if (rc > 0) {
        const pid_t pids[] = {b.appPid, b.ctlPid};
        const char *names[] = {"kelappclient", "kelcontrol"};
        rc = benchBothModes("unit", b.sim, b.fb, &a, pids, names, 2, &unit);
    }
    if (rc > 0 && a.bFloor) {
        rc = benchFloorRun(&b, &a, 0, &floor);
        if (rc > 0) {
            rc = benchFloorRun(&b, &a, 1, &framing);
        }
        if (rc > 0) {
            printf("ratios  pipelined, unit to floor: screens/s %.2f, CPU (run time) per screen of "
                   "kelappclient %.2f; unit to framing floor: screens/s %.2f, CPU per screen %.2f\n",
                   benchRatio(unit.screensPerS, floor.screensPerS), benchRatio(unit.cpuMs, floor.cpuMs),
                   benchRatio(unit.screensPerS, framing.screensPerS),
                   benchRatio(unit.cpuMs, framing.cpuMs));
        }
    }
    if (rc > 0 && a.bKeys && a.keys > 0) {
        if (!benchAlive(b.ctlPid) || !benchAlive(b.appPid)) {
            printf("keys   the unit's programs are gone\n");
            rc = -1;
        } else {
            rc = benchKeys(&b, &a);
        }
    }
    if (rc > 0 && a.idleSeconds > 0) {
        rc = benchIdle(&b, a.idleSeconds);
    }
    if (rc > 0 && a.straceScreens > 0) {
        rc = benchSyscalls(&b, &a);
    }
    if (rc > 0 && a.callgrindScreens > 0) {
        rc = benchCallgrind(&b, &a);
    }
    benchCleanup(&b, &a);
    return rc > 0 ? 0 : 1;
}
