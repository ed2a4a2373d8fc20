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

TEST_F(SimPeerTest, ProbeOpeningPutsTheTypeLetterAtIndexSeven) {
    for (char letter : {'I', 'S', 'C'}) {
        sim::ModemConfig c;
        c.type_letter = letter;
        start(c);
        EXPECT_EQ(cmd("AAAAT\r", 2), 1u);
        EXPECT_EQ(cmd("AT\r", 1), 1u);
        EXPECT_EQ(cmd("AAAAT\r", 1), 1u);
        EXPECT_EQ(cmd("AT&&F\r", 1), 1u);
        EXPECT_EQ(cmd("ATI5\r", 1), 1u);
        EXPECT_EQ(std::string(rx_buffer, 7), "ATI5\r\r\n");
        EXPECT_EQ(rx_buffer[7], letter);
        // The modem saw the commands without their padding.
        const auto &tr = modem->m.transcript();
        ASSERT_EQ(tr.size(), 5u);
        EXPECT_EQ(tr[3].text, "AT&&F");
        EXPECT_EQ(tr[4].text, "ATI5");
        close_port();
    }
}

TEST_F(SimPeerTest, ResidentLoaderFactsThroughTheWait) {
    sim::ModemConfig c;
    c.rrfl_checksum = 0xC0DE;
    start(c);
    EXPECT_EQ(cmd("AT&&FFL\r", 1), 1u);
    const char *tok = std::strstr(rx_buffer, ",40,");
    ASSERT_NE(tok, nullptr);
    ASSERT_GE(tok - rx_buffer, 4);
    EXPECT_EQ(std::string(tok - 4, 4), "C0DE");
    EXPECT_EQ(cmd("AT&&FGO\r", 1), 1u);
    EXPECT_NE(std::strstr(rx_buffer, "Ver:1.4"), nullptr);
}

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
