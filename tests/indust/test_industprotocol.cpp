/*
 * test_industprotocol.cpp - factory frames between the unit's protocol
 * module and the station simulator's own decoder, on a socket pair.
 */
#include <gtest/gtest.h>

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "kelindustsocket.h"
#include "stationPair.h"

class FactoryFrames : public StationPairTest {};

TEST_F(FactoryFrames, ResponsesLeaveTheUnitWithTheLengthsTheStationExpects)
{
    ASSERT_EQ(1, industKELSendMSG(unit(), KEL_INDUST_HEARTBEAT, KEL_INDUST_RESPONSE, NULL, 0));
    ASSERT_EQ(1, stationSimRecv(&station, &f, 2000));
    EXPECT_EQ(20u, f.length);
    EXPECT_EQ(SSW_HEARTBEAT, f.cmdType);
    EXPECT_EQ(SSW_RESPONSE, f.msgType);
    UINT32 firstId = f.transID;

    /* A result padded to 16 bytes with zeros. */
    UINT8 result[16];
    memset(result, 0xAA, sizeof(result));
    KEL_TEST_RESULT_e ok = TEST_OK;
    memset(result + 4, 0, 12);
    memcpy(result, &ok, sizeof(ok));
    ASSERT_EQ(1, industKELSendMSG(unit(), KEL_INDUST_REBOOT, KEL_INDUST_RESPONSE, result, 0));
    ASSERT_EQ(1, stationSimRecv(&station, &f, 2000));
    EXPECT_EQ(36u, f.length);
    EXPECT_EQ(SSW_TEST_OK, stationSimResult(&f));
    EXPECT_EQ(std::string(12, '\0'), std::string((char *)f.payload + 4, 12));
    EXPECT_EQ(firstId + 1, f.transID) << "consecutive sends, consecutive ids";

    /* The serial number without its NUL; the information record whole. */
    char sn[33] = "KEL0000042";
    ASSERT_EQ(1, industKELSendMSG(unit(), KEL_INDUST_SN_GET, KEL_INDUST_RESPONSE, sn, 0));
    ASSERT_EQ(1, stationSimRecv(&station, &f, 2000));
    EXPECT_EQ(30u, f.length);
    EXPECT_EQ("KEL0000042", std::string((char *)f.payload, f.payloadLen));
    KEL_INDUST_Info_t info;
    memset(&info, 0, sizeof(info));
    info.MPUFreq = 200000;
    strcpy(info.IPAddr, "10.0.0.9");
    ASSERT_EQ(1, industKELSendMSG(unit(), KEL_INDUST_INFO_GET, KEL_INDUST_RESPONSE, &info, 0));
    ASSERT_EQ(1, stationSimRecv(&station, &f, 2000));
    ASSERT_EQ(144u, f.length);
    SSW_Info_t seen;
    memcpy(&seen, f.payload, sizeof(seen));
    EXPECT_EQ(200000u, seen.MPUFreq);
    EXPECT_STREQ("10.0.0.9", seen.IPAddr);

    /* The challenge is a request carrying its value. */
    KEL_INDUST_AuthChallenge_t challenge = {123456789u};
    ASSERT_EQ(1, industKELSendMSG(unit(), KEL_INDUST_AUTH_CHALLENGE, KEL_INDUST_REQUEST, &challenge, 0));
    ASSERT_EQ(1, stationSimRecv(&station, &f, 2000));
    EXPECT_EQ(24u, f.length);
    EXPECT_EQ(SSW_REQUEST, f.msgType);
    EXPECT_EQ(123456789, stationSimResult(&f));
    EXPECT_EQ(stationSimDigest(123456789u), industGetDigest(123456789u));

    EXPECT_EQ(-1, industKELSendMSG(0, KEL_INDUST_HEARTBEAT, KEL_INDUST_RESPONSE, NULL, 0));
    EXPECT_EQ(-1, industKELSendMSG(unit(), KEL_INDUST_INFO_GET, KEL_INDUST_RESPONSE, NULL, 0));
}

TEST_F(FactoryFrames, AFrameTheRecordCannotHoldIsRefusedWithoutWritingPastIt)
{
    struct {
        KEL_INDUST_Message_t msg;
        UINT8 guard[64];
    } rec;
    memset(rec.guard, 0x5C, sizeof(rec.guard));

    /* A wrong magic: 0, and nothing after it is read. */
    SSW_Head_t head = {0x12345678u, 20, 0, SSW_REQUEST, SSW_HEARTBEAT};
    ASSERT_EQ(1, stationSimSendRaw(&station, &head, sizeof(head)));
    EXPECT_EQ(0, industKELRecvMSG(unit(), &rec.msg));
    UINT8 rest[16];
    EXPECT_EQ(16, recv(unit(), rest, sizeof(rest), MSG_DONTWAIT));

    /* Lengths beyond the record or inside the header. */
    for (UINT32 length : {4000u, 149u, 16u}) {
        SSW_Head_t h = {SSW_MAGIC, length, 0, SSW_REQUEST, SSW_HEARTBEAT};
        ASSERT_EQ(1, stationSimSendRaw(&station, &h, sizeof(h)));
        EXPECT_EQ(0, industKELRecvMSG(unit(), &rec.msg)) << length;
        while (recv(unit(), rest, sizeof(rest), MSG_DONTWAIT) > 0) {
        }
    }
    EXPECT_EQ(std::string(64, '\x5C'), std::string((char *)rec.guard, 64));

    /* The largest frame fits exactly. */
    std::string text(128, 'S');
    ASSERT_EQ(1, stationSimSend(&station, SSW_REQUEST, SSW_SN_SET, text.data(), 128));
    EXPECT_EQ(1, industKELRecvMSG(unit(), &rec.msg));
    EXPECT_EQ(148u, rec.msg.length);
    EXPECT_EQ(KEL_INDUST_SN_SET, rec.msg.cmdType);
    EXPECT_EQ(text, std::string((char *)rec.msg.data.raw, 128));
    EXPECT_EQ(std::string(64, '\x5C'), std::string((char *)rec.guard, 64));

    EXPECT_EQ(-1, industKELRecvMSG(-1, &rec.msg));
}

TEST_F(FactoryFrames, TwoThreadsSendingAtOnceNeverPutALaterIdBeforeAnEarlierOne)
{
    /* The main thread answers while the queue thread relays key events:
     * the station must see the ids in the order they were taken. */
    const int perThread = 4000;
    auto sender = [this, perThread] {
        for (int i = 0; i < perThread; i++) {
            if (industKELSendMSG(unit(), KEL_INDUST_HEARTBEAT, KEL_INDUST_RESPONSE, NULL, 0) != 1)
                return;
        }
    };
    std::thread mainThread(sender);
    std::thread queueThread(sender);
    int received = 0;
    int outOfOrder = 0;
    UINT32 expected = 0;
    while (received < 2 * perThread && stationSimRecv(&station, &f, 5000) == 1) {
        if (received > 0 && f.transID != expected && outOfOrder++ == 0) {
            ADD_FAILURE() << "frame " << received << " carries id " << f.transID << ", expected "
                          << expected;
        }
        expected = f.transID + 1;
        received++;
    }
    mainThread.join();
    queueThread.join();
    EXPECT_EQ(2 * perThread, received);
    EXPECT_EQ(0, outOfOrder) << "frames whose id was not the one after the previous frame's";
}

TEST(FactoryChallenge, ChallengesDrawnWithinOneSecondAllDifferAndNoneIsZero)
{
    /* A challenge that follows from the clock (which the station may set)
     * lets a recorded answer be replayed. */
    std::set<UINT32> seen;
    for (int i = 0; i < 16; i++) {
        UINT32 challenge = industGetRandom();
        EXPECT_NE(0u, challenge);
        seen.insert(challenge);
    }
    EXPECT_EQ(16u, seen.size());
}
