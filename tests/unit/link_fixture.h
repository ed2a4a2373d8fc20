// Common set-up of the modem link tests: a fresh fake machine with COM3
// opened on a peer whose bytes arrive when the test says.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "fake/fake_platform.h"
#include "link/link.h"

struct LinkTest : ::testing::Test {
    fake::TimedPeer peer;

    void SetUp() override {
        fake::reset();
        hComm = nullptr;
        rx_count = 0;
        wait_start_tick = 0;
        std::memset(rx_buffer, 0, sizeof rx_buffer);
        std::memset(&comm_dcb, 0, sizeof comm_dcb);
        skip_flush = 0;
    }

    void open_com3() {
        fake::add_port(3, &peer);
        com_port = 3;
        ASSERT_TRUE(open_comm_port());
        fake::state().outputs.clear();
        fake::state().events.clear();
    }

    static std::vector<uint8_t> bytes(const std::string &s) { return {s.begin(), s.end()}; }
    static std::vector<uint8_t> written(size_t i) { return fake::state().writes.at(i).data; }
};

// Text with embedded zero bytes, e.g. z("AT\r", 13) is "AT\r" and 13 zeros.
inline std::string z(const std::string &s, size_t zeros) { return s + std::string(zeros, '\0'); }
