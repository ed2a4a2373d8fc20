// The modem model behind the fake serial line, driven by the program's own
// link code (chunked writes, blocking and polling reply waits) on the
// virtual clock.
#include <gtest/gtest.h>

#include <cstring>

#include "app/app.h"
#include "fake/sim_peer.h"
#include "link/link.h"
#include "sim_host.h"

namespace {

struct SimPeerTest : ::testing::Test {
    std::unique_ptr<SimPeer> modem;

    void start(sim::ModemConfig c) {
        fake::reset();
        hComm = nullptr;
        rx_count = 0;
        std::memset(rx_buffer, 0, sizeof rx_buffer);
        skip_flush = 0;
        modem = std::make_unique<SimPeer>(c);
        fake::add_port(3, modem.get());
        com_port = 3;
        ASSERT_TRUE(open_comm_port());
    }
    void TearDown() override {
        close_port();
        fake::reset();
    }
    unsigned cmd(const char *text, unsigned units) {
        send_command(hComm, text, static_cast<int32_t>(std::strlen(text)));
        unsigned r = wait_for_reply("OK", units, 1);
        settle_port();
        return r;
    }
};

} // namespace

TEST_F(SimPeerTest, RecordsPolledLikeTheSequencerDoes) {
    sim::ModemConfig c;
    c.erase_ms = 3000;
    start(c);
    ASSERT_EQ(cmd("AT&&FGO\r", 1), 1u);
    // A record with its CR and the LF that ended it in the file.
    char line[64] = "S1070000AABBCCDDEA\r\n";
    uint32_t sent = fake::ticks();
    ASSERT_GT(devicewrite(hComm, line, 19), 0);
    rx_count = 0;
    wait_start_tick = fake::ticks();
    unsigned r = 0;
    while ((r = wait_for_reply("OK", 180, 0)) == 0) {}
    EXPECT_EQ(r, 1u);
    EXPECT_STREQ(rx_buffer, "OK\r\n");
    // The first record waited for the erase.
    EXPECT_GE(fake::ticks() - sent, 3000u);
    EXPECT_EQ(modem->m.flash()[3], 0xDD);
    // 'Z' goes through TransmitCommChar.
    ASSERT_TRUE(plat_port_transmit_char(hComm, 'Z'));
    EXPECT_EQ(wait_for_reply("OK", 3, 1), 1u);
    EXPECT_NE(std::strstr(rx_buffer, "Ver:1.4"), nullptr);
    EXPECT_EQ(modem->m.flash()[3], 0xFF);
}
