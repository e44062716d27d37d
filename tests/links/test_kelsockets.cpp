/*
 * The TCP layer and the frame prefix against a real loopback peer on
 * 127.0.0.31: connects that are refused or go unanswered, receives and
 * sends that arrive in pieces, stall or break off, and frames that lie
 * about their length.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "kelsockets.h"
#include "linkPeer.h"

static const char *kAddr = "127.0.0.31";

static const unsigned char kMagic[4] = {0xC7, 0x29, 0x53, 0xB4};

TEST(SocketLayer, InvalidArgumentsAreRefusedAndLeaveTheSocketAlone)
{
    LinkPair link(kAddr);
    ASSERT_GT(link.unit, 0);
    unsigned char buf[8] = {1, 2, 3, 4};
    ASSERT_TRUE(peerWrite(link.meter, buf, 4));

    EXPECT_EQ(-1, kelSocketRecv(link.unit, buf, 0, 500));
    EXPECT_EQ(-1, kelSocketRecv(link.unit, nullptr, 4, 500));
    EXPECT_EQ(-1, kelSocketRecv(-1, buf, 4, 500));
    EXPECT_EQ(-1, kelSocketSend(link.unit, buf, 0, 500));
    EXPECT_EQ(-1, kelSocketSend(link.unit, nullptr, 4, 500));
    EXPECT_EQ(-1, kelSocketSend(-1, buf, 4, 500));
    EXPECT_EQ(-1, kelSocketClose(0));
    EXPECT_EQ(-1, kelSocketClose(-1));
    EXPECT_EQ(-1, kelNetworkConnecting(nullptr, 1236, 1));
    EXPECT_EQ(-1, kelNetworkConnecting(kAddr, 0, 1));
    EXPECT_EQ(-1, kelNetworkConnecting(kAddr, 70000, 1));
    EXPECT_EQ(-1, kelSocketWaitReadable(0, 500));
    EXPECT_EQ(-1, kelSocketWaitReadable(FD_SETSIZE, 500)) << "beyond an fd_set";
    EXPECT_TRUE(peerDrain(link.meter, 100).empty()) << "nothing was sent";

    EXPECT_EQ(1, kelSocketWaitReadable(link.unit, 500)) << "the pending bytes are seen";

    memset(buf, 0, sizeof(buf));
    ASSERT_EQ(1, kelSocketRecv(link.unit, buf, 4, 500));
    EXPECT_EQ(4, buf[3]) << "the pending bytes were still there";
}

TEST(SocketLayer, RefusedConnectsEndNotConnectedAfterThreeAttempts)
{
    int port = 0;
    int reserved = peerRefusingPort(kAddr, &port);
    int s = kelSocketInit();
    ASSERT_GT(s, 0);
    EXPECT_EQ(-1, kelSocketConnect(s, kAddr, port, 0)) << "blocking connect";
    kelSocketClose(s);
    EXPECT_EQ(-4, kelNetworkConnecting(kAddr, port, 1));
    EXPECT_EQ(-4, kelNetworkConnecting(kAddr, port, 0));
    close(reserved);
}

TEST(SocketLayer, AConnectThatIsNeverAnsweredGivesUpAfterAboutOneAndAHalfSeconds)
{
    /* A listener whose accept queue is full drops further SYNs. */
    LinkPeer silent(kAddr, 0);
    int filler = kelNetworkConnecting(kAddr, silent.port(), 1);
    ASSERT_GT(filler, 0);
    int s = kelSocketInit();
    long start = peerNowMs();
    int rc = kelSocketConnect(s, kAddr, silent.port(), 1);
    long took = peerNowMs() - start;
    EXPECT_EQ(-1, rc);
    EXPECT_GE(took, 1400);
    EXPECT_LT(took, 4500);
    kelSocketClose(s);
    kelSocketClose(filler);
}

TEST(SocketLayer, NonBlockingModeIsSetAndClearedIdempotently)
{
    int s = kelSocketInit();
    ASSERT_GT(s, 0);
    EXPECT_EQ(1, kelSocketNonBlocking(s, 0));
    EXPECT_EQ(0, fcntl(s, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(1, kelSocketNonBlocking(s, 1));
    EXPECT_EQ(1, kelSocketNonBlocking(s, 1));
    EXPECT_NE(0, fcntl(s, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(1, kelSocketNonBlocking(s, 7)) << "any value but 1 clears";
    EXPECT_EQ(0, fcntl(s, F_GETFL) & O_NONBLOCK);
    kelSocketClose(s);
    EXPECT_EQ(-6, kelSocketNonBlocking(s, 1));
}

TEST(SocketLayer, ATakenPortMakesTheServerSocketFailWithoutLeakingIt)
{
    LinkPeer holder(kAddr);
    int probe = dup(0);
    close(probe);
    EXPECT_EQ(-5, kelNetworkInitialize(holder.port(), 1, nullptr));
    int after = dup(0);
    close(after);
    EXPECT_EQ(probe, after) << "the failed socket was closed";
    EXPECT_EQ(-1, kelSocketListen(0, 1237, nullptr));
    EXPECT_EQ(-1, kelSocketAccept(-1));
}

TEST(SocketLayer, BytesArrivingInPiecesAreAssembledInOneReceive)
{
    for (int nonBlocking = 0; nonBlocking <= 1; nonBlocking++) {
        LinkPair link(kAddr, nonBlocking);
        ASSERT_GT(link.unit, 0);
        std::thread meter([&] {
            const unsigned char pieces[3][3] = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
            for (auto &p : pieces) {
                peerWrite(link.meter, p, 3);
                usleep(60 * 1000);
            }
        });
        unsigned char got[9] = {0};
        EXPECT_EQ(1, kelSocketRecv(link.unit, got, 9, 1000)) << "nonBlocking " << nonBlocking;
        meter.join();
        EXPECT_EQ(9, got[8]);
        EXPECT_EQ(4, got[3]);
    }
}

TEST(SocketLayer, APeerClosingMidReceiveEndsItWithZero)
{
    LinkPair link(kAddr);
    unsigned char half[5] = {1, 2, 3, 4, 5};
    peerWrite(link.meter, half, sizeof(half));
    close(link.meter);
    link.meter = -1;
    unsigned char got[10];
    EXPECT_EQ(0, kelSocketRecv(link.unit, got, sizeof(got), 2000));
}

TEST(SocketLayer, AReceiveWithNothingToReadTimesOutAtTheNextWait)
{
    LinkPair link(kAddr, 1);
    unsigned char got[4];
    EXPECT_EQ(0, kelSocketWaitReadable(link.unit, 100));
    long start = peerNowMs();
    EXPECT_EQ(-2, kelSocketRecv(link.unit, got, 4, 500));
    long took = peerNowMs() - start;
    EXPECT_GE(took, 480) << "not at once";
    EXPECT_LT(took, 1700);
}

TEST(SocketLayer, ALargeSendToASlowReaderArrivesCompleteAndInOrder)
{
    LinkPair link(kAddr);
    std::vector<unsigned char> data(3 * 1024 * 1024);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = (unsigned char)(i * 7 + (i >> 12));
    }
    std::vector<unsigned char> got;
    std::thread meter([&] {
        unsigned char buf[65536];
        while (got.size() < data.size()) {
            usleep(5 * 1000);
            ssize_t n = recv(link.meter, buf, sizeof(buf), 0);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buf, buf + n);
        }
    });
    EXPECT_EQ(1, kelSocketSend(link.unit, data.data(), (int)data.size(), 30000));
    meter.join();
    EXPECT_TRUE(got == data);
}

TEST(SocketLayer, SendsToAStalledOrVanishedPeerFailWithoutASignal)
{
    LinkPair link(kAddr);
    peerFillSendPath(link.unit);
    unsigned char frame[64] = {0};
    long start = peerNowMs();
    EXPECT_EQ(-2, kelSocketSend(link.unit, frame, sizeof(frame), 600));
    EXPECT_GE(peerNowMs() - start, 580);

    peerReset(link.meter);
    link.meter = -1;
    usleep(50 * 1000);
    EXPECT_EQ(-1, kelSocketSend(link.unit, frame, sizeof(frame), 600));
}

/* --- frames --- */

struct GuardedRecord {
    unsigned char rec[32];
    unsigned char guard[64];
};

static std::vector<unsigned char> prefix(unsigned length, unsigned transID)
{
    std::vector<unsigned char> f(kMagic, kMagic + 4);
    for (unsigned v : {length, transID}) {
        for (int i = 0; i < 4; i++) {
            f.push_back((unsigned char)(v >> (8 * i)));
        }
    }
    return f;
}

TEST(FramePrefix, AWrongMagicIsRejectedAfterExactlyFourBytes)
{
    LinkPair link(kAddr);
    const unsigned char garbage[8] = {0xC7, 0x29, 0x53, 0xB5, 0xAA, 0xBB, 0xCC, 0xDD};
    peerWrite(link.meter, garbage, sizeof(garbage));
    GuardedRecord r;
    EXPECT_EQ(0, kelFrameRecv(link.unit, r.rec, sizeof(r.rec)));
    unsigned char rest[4];
    ASSERT_EQ(1, kelSocketRecv(link.unit, rest, 4, 500));
    EXPECT_EQ(0xAA, rest[0]);
}

TEST(FramePrefix, LengthsOutsideThePrefixAndTheRecordAreRejectedLikeAWrongMagic)
{
    LinkPair link(kAddr);
    for (unsigned bad : {33u, 0xFFFFFFF0u, 11u, 8u, 0u}) {
        std::vector<unsigned char> f = prefix(bad, 5);
        f.resize(f.size() + 40, 0xEE);
        peerWrite(link.meter, f.data(), f.size());
        GuardedRecord r;
        memset(r.guard, 0x5A, sizeof(r.guard));
        EXPECT_EQ(0, kelFrameRecv(link.unit, r.rec, sizeof(r.rec))) << "length " << bad;
        for (unsigned char g : r.guard) {
            ASSERT_EQ(0x5A, g) << "wrote past the record for length " << bad;
        }
        peerDrain(link.unit, 50); /* the rest of the broken frame */
    }
}

TEST(FramePrefix, FramesUpToTheRecordSizeArriveWhole)
{
    LinkPair link(kAddr);
    std::vector<unsigned char> shortFrame = prefix(16, 9);
    shortFrame.insert(shortFrame.end(), {8, 0, 0, 0});
    std::vector<unsigned char> fullFrame = prefix(32, 10);
    for (int i = 12; i < 32; i++) {
        fullFrame.push_back((unsigned char)i);
    }
    std::thread meter([&] {
        peerWrite(link.meter, shortFrame.data(), 6);
        usleep(100 * 1000);
        peerWrite(link.meter, shortFrame.data() + 6, shortFrame.size() - 6);
        peerWrite(link.meter, fullFrame.data(), fullFrame.size());
    });
    GuardedRecord r;
    memset(r.rec, 0xFF, sizeof(r.rec));
    EXPECT_EQ(1, kelFrameRecv(link.unit, r.rec, sizeof(r.rec)));
    EXPECT_EQ(0, memcmp(r.rec, shortFrame.data(), 16));
    EXPECT_EQ(0, r.rec[16]) << "the rest of the record is zero";
    EXPECT_EQ(0, r.rec[31]);
    EXPECT_EQ(1, kelFrameRecv(link.unit, r.rec, sizeof(r.rec)));
    EXPECT_EQ(0, memcmp(r.rec, fullFrame.data(), 32));
    meter.join();
}

TEST(FramePrefix, TransactionIdsAreConsecutiveUniqueAcrossThreadsAndWrap)
{
    UINT32 counter = 0xFFFFFFFEu;
    EXPECT_EQ(0xFFFFFFFEu, kelFrameNextTransID(&counter));
    EXPECT_EQ(0xFFFFFFFFu, kelFrameNextTransID(&counter));
    EXPECT_EQ(0u, kelFrameNextTransID(&counter));

    counter = 0;
    std::vector<UINT32> a(20000), b(20000);
    std::thread t1([&] { for (auto &v : a) v = kelFrameNextTransID(&counter); });
    std::thread t2([&] { for (auto &v : b) v = kelFrameNextTransID(&counter); });
    t1.join();
    t2.join();
    std::set<UINT32> all(a.begin(), a.end());
    all.insert(b.begin(), b.end());
    EXPECT_EQ(40000u, all.size());
    EXPECT_EQ(40000u, counter);
}

/* The meter stops reading while the unit's send path is full, takes a
 * little (so part of the frame goes out), then stalls past the first
 * attempt's 500 ms before reading again. The retry must carry on where the
 * first attempt stopped: a frame sent again from its start would follow its
 * own head on the wire and break the stream. */
TEST(FramePrefix, AFrameCutByATimeoutIsFinishedNotSentTwice)
{
    static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    LinkPair link(kAddr);
    ASSERT_GT(link.unit, 0);
    INT32 word = link.unit;
    const size_t frameLen = 300000;
    const size_t firstRead = 100000;
    std::vector<unsigned char> frame(frameLen);
    for (size_t i = 0; i < frameLen; i++) {
        frame[i] = (unsigned char)(i * 7 + 1);
    }
    kelFramePrefixFill(frame.data(), (UINT32)frameLen, 0);

    const size_t filled = peerFillSendPath(link.unit);
    std::vector<unsigned char> wire(filled + frameLen);
    std::atomic<bool> readAll(false);
    std::thread meter([&] {
        usleep(100 * 1000);
        if (!peerRead(link.meter, wire.data(), firstRead, 3000)) {
            return;
        }
        usleep(800 * 1000);
        readAll = peerRead(link.meter, wire.data() + firstRead, wire.size() - firstRead, 5000);
    });
    EXPECT_EQ(1, kelFrameSend(&mutex, &word, frame.data(), (int)frameLen));
    meter.join();

    ASSERT_TRUE(readAll) << "the meter got fewer bytes than were sent";
    EXPECT_EQ(0, memcmp(wire.data() + filled, frame.data(), frameLen)) << "the frame arrived whole, once";
    EXPECT_TRUE(peerDrain(link.meter, 200).empty()) << "nothing follows the frame";
}

TEST(FramePrefix, AFrameSendGivesUpAfterThreeTimeoutsAndNeverWritesAClosedLink)
{
    static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    LinkPair link(kAddr);
    INT32 word = link.unit;
    unsigned char frame[16];
    kelFramePrefixFill(frame, 16, 0);

    peerFillSendPath(link.unit);
    long start = peerNowMs();
    EXPECT_EQ(-1, kelFrameSend(&mutex, &word, frame, sizeof(frame)));
    EXPECT_GE(peerNowMs() - start, 1400) << "three 500 ms attempts";

    EXPECT_EQ(0, kelFrameCloseLink(&mutex, &word));
    link.unit = -1;
    EXPECT_EQ(-1, word);
    EXPECT_EQ(-1, kelFrameSend(&mutex, &word, frame, sizeof(frame)));
    EXPECT_EQ(-1, kelFrameCloseLink(&mutex, &word));
}
