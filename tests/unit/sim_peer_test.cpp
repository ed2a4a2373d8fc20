// The modem model behind the fake serial line, driven by the program's own
// link code (chunked writes, blocking and polling reply waits) on the
// virtual clock.
#include <gtest/gtest.h>

#include <cstring>

#include "app/app.h"
#include "fake/sim_peer.h"
#include "link/link.h"

TEST(SimPeerTest, RecordsPolledLikeTheSequencerDoes) {
    fake::reset();
    hComm = nullptr;
    rx_count = 0;
    std::memset(rx_buffer, 0, sizeof rx_buffer);
    skip_flush = 0;
    sim::ModemConfig c;
    c.erase_ms = 3000;
    SimPeer modem(c);
    fake::add_port(3, &modem);
    com_port = 3;
    ASSERT_TRUE(open_comm_port());
    send_command(hComm, "AT&&FGO\r", 8);
    ASSERT_EQ(wait_for_reply("OK", 1, 1), 1u);
    settle_port();
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
    EXPECT_EQ(modem.m.flash()[3], 0xDD);
    // 'Z' goes through TransmitCommChar.
    ASSERT_TRUE(plat_port_transmit_char(hComm, 'Z'));
    EXPECT_EQ(wait_for_reply("OK", 3, 1), 1u);
    EXPECT_NE(std::strstr(rx_buffer, "Ver:1.4"), nullptr);
    EXPECT_EQ(modem.m.flash()[3], 0xFF);
    close_port();
    fake::reset();
}
