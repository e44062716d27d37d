/*
 * stationPair.h - a test station on one end of a socket pair, the unit's
 * side on the other: factory frames without a port.
 */
#ifndef STATION_PAIR_H
#define STATION_PAIR_H

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "stationSim.h"

class StationPairTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        stationSimInit(&station);
        station.fd = fds[1];
    }
    void TearDown() override
    {
        close(fds[0]);
        stationSimClose(&station);
    }
    int unit() const { return fds[0]; }
    int fds[2] = {-1, -1};
    StationSim_t station;
    StationFrame_t f;
};

#endif /* STATION_PAIR_H */
