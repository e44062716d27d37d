/*
 * meterSimStartup.cpp - the meter's side of the startup link (port 1235):
 * a challenge with the meter's clock for every DATA_REQ, the check of the
 * unit's DIGEST against the build's multiplier and modulus, the versions
 * the meter expects once the digest is right, and the delivery of a new
 * application file (copied into the sandbox, then APP_TRANS_DONE) when the
 * unit reports STATE APP_UPDATE. The link module (meterSimLink.cpp) hands
 * every complete frame of the link to meterSimStartupTake on the link's
 * service thread; the answers go out through its answer queue.
 */
#include "meterSimInt.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#if !defined(KEL_DIGEST_M) || !defined(KEL_DIGEST_N)
#error "the digest multiplier and modulus come from the build (KEL_DIGEST_M, KEL_DIGEST_N)"
#endif

#define MSIM_COPY_CHUNK 16384

uint32_t meterSimDigest(uint32_t random)
{
    /* Both the product and the sum keep their low 32 bits. */
    uint32_t t = random * (uint32_t)KEL_DIGEST_M + MSW_STP_DIGEST_INC;
    return t % (uint32_t)KEL_DIGEST_N;
}

/* Fresh challenges: xorshift32, never 0 (0 in the settings means "fresh"). */
static uint32_t nextRandom(MeterSim_t *sim)
{
    uint32_t x = sim->randomState;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    sim->randomState = x != 0 ? x : 0x9e3779b9u;
    return sim->randomState;
}

void meterSimStartupInit(MeterSim_t *sim, const MeterSimConfig_t *cfg)
{
    sim->stpRandom = cfg->stpRandom;
    sim->stpUnixTime = cfg->stpUnixTime;
    sim->stpAppVersion = cfg->stpAppVersion;
    sim->stpKernelVersion = cfg->stpKernelVersion;
    sim->stpDigestMode = cfg->stpDigestMode;
    sim->appSource[0] = '\0';
    sim->appDest[0] = '\0';
    if (cfg->appSource != NULL && cfg->appDest != NULL &&
        strlen(cfg->appSource) < sizeof(sim->appSource) &&
        strlen(cfg->appDest) < sizeof(sim->appDest)) {
        snprintf(sim->appSource, sizeof(sim->appSource), "%s", cfg->appSource);
        snprintf(sim->appDest, sizeof(sim->appDest), "%s", cfg->appDest);
    }
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    sim->randomState = (uint32_t)ts.tv_nsec ^ ((uint32_t)ts.tv_sec << 16) ^ 0x2545f491u;
    if (sim->randomState == 0)
        sim->randomState = 1;
    sim->bChallenged = 0;
}

void meterSimStartupReset(MeterSim_t *sim)
{
    pthread_mutex_lock(&sim->lock);
    sim->bChallenged = 0;
    pthread_mutex_unlock(&sim->lock);
}

void meterSimSetStartupVersions(MeterSim_t *sim, uint32_t appVersion, uint32_t kernelVersion)
{
    if (sim == NULL)
        return;
    pthread_mutex_lock(&sim->lock);
    sim->stpAppVersion = appVersion;
    sim->stpKernelVersion = kernelVersion;
    pthread_mutex_unlock(&sim->lock);
}

void meterSimSetChallenge(MeterSim_t *sim, uint32_t random, uint64_t unixTime)
{
    if (sim == NULL)
        return;
    pthread_mutex_lock(&sim->lock);
    sim->stpRandom = random;
    sim->stpUnixTime = unixTime;
    pthread_mutex_unlock(&sim->lock);
}

void meterSimSetDigestMode(MeterSim_t *sim, int32_t mode)
{
    if (sim == NULL || mode < MSIM_DIGEST_CHECK || mode > MSIM_DIGEST_ANY)
        return;
    pthread_mutex_lock(&sim->lock);
    sim->stpDigestMode = mode;
    pthread_mutex_unlock(&sim->lock);
}

int32_t meterSimSetAppDelivery(MeterSim_t *sim, const char *appSource, const char *appDest)
{
    if (sim == NULL)
        return -1;
    if (appSource != NULL &&
        (appDest == NULL || strlen(appSource) >= MSIM_PATH_MAX || strlen(appDest) >= MSIM_PATH_MAX))
        return -1;
    pthread_mutex_lock(&sim->lock);
    sim->appSource[0] = '\0';
    sim->appDest[0] = '\0';
    if (appSource != NULL) {
        snprintf(sim->appSource, sizeof(sim->appSource), "%s", appSource);
        snprintf(sim->appDest, sizeof(sim->appDest), "%s", appDest);
    }
    pthread_mutex_unlock(&sim->lock);
    return 1;
}

int32_t meterSimDeliveries(MeterSim_t *sim)
{
    if (sim == NULL)
        return -1;
    pthread_mutex_lock(&sim->lock);
    int32_t n = sim->deliveries;
    pthread_mutex_unlock(&sim->lock);
    return n;
}

/* Copies src to dst through a temporary file renamed into place, so the
 * unit never sees half a file and a link at dst is replaced, not written
 * through. 1 or -1. */
static int32_t copyFile(const char *src, const char *dst)
{
    char tmp[MSIM_PATH_MAX + 8];
    if (snprintf(tmp, sizeof(tmp), "%s.part", dst) >= (int)sizeof(tmp))
        return -1;
    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -1;
    int out = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (out < 0) {
        close(in);
        return -1;
    }
    uint8_t buf[MSIM_COPY_CHUNK];
    int32_t rc = 1;
    for (;;) {
        ssize_t n = read(in, buf, sizeof(buf));
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            rc = -1;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                rc = -1;
                break;
            }
            done += w;
        }
        if (rc < 0)
            break;
    }
    close(in);
    if (fchmod(out, 0755) != 0 || close(out) != 0)
        rc = -1;
    if (rc == 1 && rename(tmp, dst) != 0)
        rc = -1;
    if (rc < 0)
        unlink(tmp);
    return rc;
}

static void queueFrame(MeterSim_t *sim, int32_t cmdType, const void *body, uint32_t bodyLen)
{
    uint8_t frame[MSW_STP_MAX_FRAME];
    MSW_Head_t head;
    meterSimFillHead(&head, MSW_HEAD_LEN + bodyLen, cmdType);
    memcpy(frame, &head, sizeof(head));
    if (bodyLen > 0)
        memcpy(frame + MSW_HEAD_LEN, body, bodyLen);
    meterSimQueueAnswer(sim, MSIM_LINK_STARTUP, frame, MSW_HEAD_LEN + bodyLen);
}

static void answerDataReq(MeterSim_t *sim)
{
    MSW_StpRandom_t challenge;
    pthread_mutex_lock(&sim->lock);
    challenge.random = sim->stpRandom != 0 ? sim->stpRandom : nextRandom(sim);
    challenge.unixTime = sim->stpUnixTime != 0 ? sim->stpUnixTime : (uint64_t)time(NULL);
    sim->challenge = challenge.random;
    sim->bChallenged = 1;
    pthread_mutex_unlock(&sim->lock);
    queueFrame(sim, MSW_STP_RANDOM, &challenge, sizeof(challenge));
}

/* Checks the answer against the outstanding challenge, which it uses up. */
static int32_t checkDigest(MeterSim_t *sim, uint32_t digest, int32_t *mode,
                           MSW_StpVersion_t *version)
{
    pthread_mutex_lock(&sim->lock);
    int32_t check = MSIM_CHECK_NO_CHALLENGE;
    if (sim->bChallenged)
        check = digest == meterSimDigest(sim->challenge) ? MSIM_CHECK_RIGHT : MSIM_CHECK_WRONG;
    sim->bChallenged = 0;
    *mode = sim->stpDigestMode;
    version->appVersion = sim->stpAppVersion;
    version->kernelVersion = sim->stpKernelVersion;
    pthread_mutex_unlock(&sim->lock);
    return check;
}

static void answerDigest(MeterSim_t *sim, const MSW_Head_t *head, int32_t check, int32_t mode,
                         const MSW_StpVersion_t *version)
{
    int32_t bAccepted = mode == MSIM_DIGEST_ANY ||
                        (mode == MSIM_DIGEST_CHECK && check == MSIM_CHECK_RIGHT);
    MSW_Response_t resp;
    resp.transID = head->transID;
    resp.cmdType = MSW_STP_DIGEST;
    resp.respCode = bAccepted ? MSW_RC_OK : MSW_RC_ERROR;
    queueFrame(sim, MSW_STP_RESPONSE, &resp, sizeof(resp));
    if (bAccepted)
        queueFrame(sim, MSW_STP_VERSION, version, sizeof(*version));
}

/* The unit waits for a new application: deliver it, then say so. */
static void deliverApp(MeterSim_t *sim)
{
    char src[MSIM_PATH_MAX];
    char dst[MSIM_PATH_MAX];
    pthread_mutex_lock(&sim->lock);
    memcpy(src, sim->appSource, sizeof(src));
    memcpy(dst, sim->appDest, sizeof(dst));
    pthread_mutex_unlock(&sim->lock);
    if (src[0] == '\0' || copyFile(src, dst) != 1)
        return;
    pthread_mutex_lock(&sim->lock);
    sim->deliveries++;
    pthread_mutex_unlock(&sim->lock);
    int32_t done = MSW_STP_STATE_APP_TRANS_DONE;
    queueFrame(sim, MSW_STP_STATE, &done, sizeof(done));
}

int32_t meterSimStartupTake(MeterSim_t *sim, const uint8_t *frame, uint32_t len, int32_t bAnswer)
{
    /* A short frame reads as zeros beyond its end. */
    uint8_t whole[MSW_STP_MAX_FRAME];
    memset(whole, 0, sizeof(whole));
    if (len > sizeof(whole))
        len = sizeof(whole);
    memcpy(whole, frame, len);
    MSW_Head_t head;
    memcpy(&head, whole, sizeof(head));

    switch (head.cmdType) {
    case MSW_STP_DATA_REQ:
        if (bAnswer)
            answerDataReq(sim);
        return MSIM_CHECK_NONE;
    case MSW_STP_DIGEST: {
        MSW_StpDigestFrame_t digest;
        memcpy(&digest, whole, sizeof(digest));
        int32_t mode = MSIM_DIGEST_CHECK;
        MSW_StpVersion_t version;
        int32_t check = checkDigest(sim, digest.digest, &mode, &version);
        if (bAnswer)
            answerDigest(sim, &head, check, mode, &version);
        return check;
    }
    case MSW_STP_STATE: {
        MSW_StpStateFrame_t state;
        memcpy(&state, whole, sizeof(state));
        if (bAnswer && state.state == MSW_STP_STATE_APP_UPDATE)
            deliverApp(sim);
        return MSIM_CHECK_NONE;
    }
    default:
        return MSIM_CHECK_NONE;
    }
}

const char *meterSimStartupCmdName(int32_t cmdType)
{
    static const char *const names[] = {"RESPONSE", "DATA_REQ", "RANDOM",   "VERSION",
                                        "DIGEST",   "STATE",    "HEARTBEAT"};
    if (cmdType >= 0 && cmdType <= MSW_STP_HEARTBEAT)
        return names[cmdType];
    return "UNKNOWN";
}

static const char *stateName(int32_t state)
{
    static const char *const names[] = {"APP_TRANS_DONE", "APP_RUNNING",   "APP_UPDATE",
                                        "KERNEL_UPDATE",  "APP_STARTFAIL", "DISCONNECTED"};
    if (state >= 0 && state <= MSW_STP_STATE_DISCONNECTED)
        return names[state];
    return "UNKNOWN";
}

void meterSimStartupFormat(const MeterSimRecord_t *rec, char *buf, uint32_t len)
{
    buf[0] = '\0';
    if (rec->nBytes < MSW_HEAD_LEN)
        return;
    uint8_t whole[MSW_STP_MAX_FRAME];
    memset(whole, 0, sizeof(whole));
    memcpy(whole, rec->bytes, rec->nBytes < sizeof(whole) ? rec->nBytes : sizeof(whole));
    if (rec->cmdType == MSW_STP_DATA_REQ) {
        MSW_StpDataReqFrame_t f;
        memcpy(&f, whole, sizeof(f));
        uint32_t snLen = rec->nBytes > MSW_STP_DATA_REQ_MIN ? rec->nBytes - MSW_STP_DATA_REQ_MIN : 0;
        if (snLen > MSW_STP_SN_LEN)
            snLen = MSW_STP_SN_LEN;
        char sn[MSW_STP_SN_LEN + 1];
        uint32_t i;
        for (i = 0; i < snLen; i++) {
            char c = f.req.serialNum[i];
            sn[i] = (c >= 0x20 && c < 0x7f) ? c : '?';
        }
        sn[i] = '\0';
        snprintf(buf, len, " fw %u.%u.%u sn '%s'", f.req.fw.major, f.req.fw.minor, f.req.fw.build,
                 sn);
    } else if (rec->cmdType == MSW_STP_DIGEST) {
        MSW_StpDigestFrame_t f;
        memcpy(&f, whole, sizeof(f));
        const char *verdict = rec->check == MSIM_CHECK_RIGHT   ? "right"
                              : rec->check == MSIM_CHECK_WRONG ? "wrong"
                                                               : "no challenge";
        snprintf(buf, len, " digest %u (%s)", f.digest, verdict);
    } else if (rec->cmdType == MSW_STP_STATE) {
        MSW_StpStateFrame_t f;
        memcpy(&f, whole, sizeof(f));
        snprintf(buf, len, " state %s", stateName(f.state));
    } else if (rec->cmdType == MSW_STP_RESPONSE) {
        MSW_RespFrame_t f;
        memcpy(&f, whole, sizeof(f));
        snprintf(buf, len, " answers trans %u cmd %s code %d", f.resp.transID,
                 meterSimStartupCmdName(f.resp.cmdType), f.resp.respCode);
    }
}
