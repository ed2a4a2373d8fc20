// wait_for_reply in both modes, on the virtual clock, and match_alternatives.
#include "link_fixture.h"

#include <memory>

namespace {

using Reply = LinkTest;

// Moves the clock to the next of the given times at each port query, so
// that every time-out test sees exactly the time the test names.
void clock_at_queries(std::vector<uint64_t> times) {
    auto &s = fake::state();
    s.tick_step = 0;
    auto next = std::make_shared<size_t>(0);
    s.on_port_query = [times, next] {
        if (*next < times.size()) fake::state().now_ms = times[(*next)++];
    };
}

TEST_F(Reply, BlockingWaitRunsAtExactlyTheLimitAndEndsOneMillisecondLater) {
    for (uint32_t base : {0u, 0xFFFFFFFFu - 1000u}) { // and across the wrap
        SetUp();
        open_com3();
        fake::state().tick_base = base;
        clock_at_queries({1000, 2000, 2001});
        EXPECT_EQ(wait_for_reply("OK", 1, 1), unsigned(WAIT_TIMEOUT));
        EXPECT_EQ(wait_start_tick, base);
        EXPECT_EQ(fake::state().pending_queries, 3); // 2000 went on, 2001 ended it
        EXPECT_EQ(rx_count, 0);
        EXPECT_TRUE(fake::state().outputs.empty()); // no trace in this mode
    }
}

TEST_F(Reply, TokenReadAtTheDeadlineStillCounts) {
    open_com3();
    peer.push_at(2500, "OK\r\n");
    clock_at_queries({2500});
    EXPECT_EQ(wait_for_reply("OK", 1, 1), unsigned(WAIT_FOUND));
}

TEST_F(Reply, TokenSplitAcrossTwoReadsIsFound) {
    open_com3();
    std::strcpy(rx_buffer, "OLD TEXT OK"); // the previous exchange is not searched
    peer.push_at(10, "O");
    peer.push_at(20, "K\r\n");
    EXPECT_EQ(wait_for_reply("OK", 1, 1), unsigned(WAIT_FOUND));
    EXPECT_EQ(fake::state().reads, 2);
    EXPECT_STREQ(rx_buffer, "OK\r\n");
    EXPECT_EQ(rx_count, 4);
}

TEST_F(Reply, BlockingWaitEmptiesTheBufferAt3072AndGoesOn) {
    open_com3();
    peer.push(std::string(3100, 'x'));
    peer.push_at(100, "OK\r\n");
    std::vector<int32_t> seen; // rx_count at each query
    std::string after_reset;
    fake::state().on_port_query = [&] {
        seen.push_back(rx_count);
        if (seen.size() == 4) after_reset = rx_buffer;
    };
    EXPECT_EQ(wait_for_reply("OK", 1, 1), unsigned(WAIT_FOUND));
    ASSERT_GE(seen.size(), 5u);
    EXPECT_EQ((std::vector<int32_t>(seen.begin(), seen.begin() + 5)),
              (std::vector<int32_t>{0, 1024, 2048, 0, 28}));
    EXPECT_EQ(after_reset, ""); // the read that crossed 3072 is dropped
    EXPECT_EQ(rx_count, 32);
    EXPECT_EQ(std::string(rx_buffer), std::string(28, 'x') + "OK\r\n");
    EXPECT_EQ(fake::state().read_sizes[0], 1024u);
}

TEST_F(Reply, PromptInTheReplyIsTraced) {
    open_com3();
    peer.push("OK\r\n>");
    EXPECT_EQ(wait_for_reply("OK", 1, 1), unsigned(WAIT_FOUND));
    EXPECT_EQ(fake::traces(), std::vector<std::string>{"OK\r\n>"});

    fake::state().outputs.clear();
    peer.push("\r\nOK\r\n");
    EXPECT_EQ(wait_for_reply("OK", 1, 1), unsigned(WAIT_FOUND));
    EXPECT_TRUE(fake::state().outputs.empty());
}

// The caller starts a polling wait; each call reads at most 80 bytes.
void start_polling() {
    rx_count = 0;
    wait_start_tick = plat_tick_count();
}

TEST_F(Reply, PollingCallReturnsAtOnceWhileTimeIsLeft) {
    open_com3();
    start_polling();
    EXPECT_EQ(wait_for_reply("OK", 90, 0), unsigned(WAIT_PENDING));
    EXPECT_TRUE(fake::state().outputs.empty());
    peer.push("NOK3\r\n");
    EXPECT_EQ(wait_for_reply("NOK", 90, 0), unsigned(WAIT_FOUND));
    EXPECT_STREQ(rx_buffer, "NOK3\r\n");
}

TEST_F(Reply, PollingTimeoutTracesCountBytesAndFailure) {
    open_com3();
    fake::state().tick_base = 0xFFFFFFFFu - 500u;
    clock_at_queries({10, 180000, 180001});
    start_polling();
    peer.push("NO\r\n>");
    EXPECT_EQ(wait_for_reply("OK", 90, 0), unsigned(WAIT_PENDING));
    EXPECT_EQ(wait_for_reply("OK", 90, 0), unsigned(WAIT_PENDING)); // exactly 180 s
    EXPECT_EQ(wait_for_reply("OK", 90, 0), unsigned(WAIT_TIMEOUT));
    EXPECT_EQ(fake::traces(), (std::vector<std::string>{"FLASH: Chars Received = 5 ", "NO\r\n>",
                                                       "Flash Comm Read Failed"}));
}

TEST_F(Reply, PollingFloodNeitherOverrunsNorHidesTheToken) {
    open_com3();
    peer.push(std::string(10000, 'f'));
    peer.push_at(50, "\r\nOK\r\n");
    start_polling();
    unsigned r = WAIT_PENDING;
    int calls = 0;
    while (r == WAIT_PENDING && calls < 1000) {
        r = wait_for_reply("OK", 90, 0);
        ++calls;
        ASSERT_LE(rx_count, 4095 - 80);
        ASSERT_LE(std::strlen(rx_buffer), size_t(rx_count));
    }
    EXPECT_EQ(r, unsigned(WAIT_FOUND));
    EXPECT_NE(std::strstr(rx_buffer, "OK"), nullptr);
    for (uint32_t n : fake::state().read_sizes) EXPECT_LE(n, 80u);
}

TEST_F(Reply, PollingTokenSplitAcrossTheFloodRestartIsFound) {
    open_com3();
    // 51 reads of 80 fill the buffer past its last read's room; the token's
    // first letter is the last byte before the restart, its second the next.
    peer.push(std::string(51 * 80 - 1, 'f') + "O");
    start_polling();
    unsigned r = WAIT_PENDING;
    for (int i = 0; i < 51 && r == WAIT_PENDING; ++i) r = wait_for_reply("OK", 90, 0);
    ASSERT_EQ(r, unsigned(WAIT_PENDING));
    EXPECT_EQ(rx_count, 6); // room for "Ver:1.4" less one
    EXPECT_STREQ(rx_buffer, "fffffO");
    peer.push("K\r\n");
    EXPECT_EQ(wait_for_reply("OK", 90, 0), unsigned(WAIT_FOUND));
}

TEST_F(Reply, PollingTokenInTheReadThatFillsTheBufferIsFound) {
    open_com3();
    // 50 reads of 80 bring 4000 bytes; the 51st would leave no room for
    // another, and holds the token.
    peer.push(std::string(4070, 'f') + "OK" + std::string(8, 'f'));
    start_polling();
    unsigned r = WAIT_PENDING;
    for (int i = 0; i < 51 && r == WAIT_PENDING; ++i) r = wait_for_reply("OK", 90, 0);
    EXPECT_EQ(r, unsigned(WAIT_FOUND));
    EXPECT_EQ(rx_count, 4080);
    // Without it, the next read starts again at the beginning, keeping only
    // the last six bytes (a possible start of the longest reply token).
    peer.push(std::string(80, 'g') + "OK");
    start_polling();
    rx_count = 4000;
    rx_buffer[4000] = 0;
    EXPECT_EQ(wait_for_reply("OK", 90, 0), unsigned(WAIT_PENDING));
    EXPECT_EQ(rx_count, 6);
    EXPECT_STREQ(rx_buffer, "gggggg");
    EXPECT_EQ(wait_for_reply("OK", 90, 0), unsigned(WAIT_FOUND));
    EXPECT_STREQ(rx_buffer, "ggggggOK");
}

TEST_F(Reply, MatchAlternativesTakesListOrder) {
    EXPECT_EQ(match_alternatives("CONNECT 9600", "OK^CONNECT"), 2);
    EXPECT_EQ(match_alternatives("NO CARRIER", "OK^CONNECT"), -1);
    EXPECT_EQ(match_alternatives("OK CONNECT", "CONNECT^OK"), 1);
    EXPECT_EQ(match_alternatives("CONNECT then OK", "OK^CONNECT"), 1);
    EXPECT_EQ(match_alternatives("anything", ""), 1);
    EXPECT_EQ(match_alternatives("no letter a", "A^"), 2);
    EXPECT_EQ(match_alternatives("xyz", "^A"), 1);
    EXPECT_EQ(match_alternatives("xyz", "A^^B"), 2);
    EXPECT_EQ(match_alternatives("ok", "OK"), -1); // case counts
}

TEST_F(Reply, MatchAlternativesConsidersEveryAlternative) {
    std::string list;
    for (int i = 1; i <= 11; ++i) list += "R" + std::to_string(i) + "X^";
    list += "MODEM12";
    EXPECT_EQ(match_alternatives("a MODEM12 here", list.c_str()), 12);

    // The longest list the settings give: 255 characters, the last one counts.
    std::string lng;
    int n = 0;
    while (lng.size() < 250) lng += "Q" + std::to_string(++n) + "^";
    lng += "ZZ";
    lng.resize(255, 'Z');
    EXPECT_EQ(match_alternatives(("got " + lng.substr(lng.rfind('^') + 1)).c_str(), lng.c_str()), n + 1);
}

} // namespace
