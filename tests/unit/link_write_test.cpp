// devicewrite on the wire: 16-byte chunks, the byte after the data, zero
// padding, short and empty writes, the budgets, and the traces.
#include "link_fixture.h"

#include "flash/flash.h"

namespace {

using Write = LinkTest;
using fake::WriteOutcome;

void script(WriteOutcome::Kind kind, int times, uint32_t count = 0) {
    for (int i = 0; i < times; ++i) fake::state().write_script.push_back({kind, count});
}

int count_of(const std::vector<std::string> &v, const std::string &s) {
    int n = 0;
    for (auto &x : v) n += x == s;
    return n;
}

TEST_F(Write, ByteAfterTheDataFollowsItThenZerosToWholeChunks) {
    // A 45-character record, its CR, and the line end it had in its file.
    const std::string rec = "S1130000" + std::string(36, 'A') + "\r";
    const struct {
        std::string buf;
        int len, sent;
        std::string wire;
    } cases[] = {
        {rec + "\nLEFTOVER", 45, 48, z(rec + "\n", 2)},
        {std::string(32, 'B') + "\n", 32, 32, std::string(32, 'B')}, // whole chunks: no extra byte
        {std::string(17, 'C') + "\n", 17, 32, std::string(17, 'C') + z("\n", 14)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        SetUp();
        open_com3();
        EXPECT_EQ(devicewrite(hComm, c.buf.c_str(), c.len), c.sent);
        EXPECT_EQ(fake::wire(), bytes(c.wire));
        for (auto &w : fake::state().writes) EXPECT_EQ(w.requested, 16u);
        // The trace shows the text with the byte after it, not the stale rest.
        if (c.len == 45) {
            EXPECT_EQ(fake::traces()[0], "devicewrite(" + rec + "\n)\n");
        }
    }
}

TEST_F(Write, LengthZeroTracesAndWritesNothing) {
    open_com3();
    EXPECT_EQ(devicewrite(hComm, "", 0), 0);
    EXPECT_TRUE(fake::state().writes.empty());
    EXPECT_EQ(fake::traces(), std::vector<std::string>{"devicewrite()\n"});
}

TEST_F(Write, ShortWriteIsTracedAndTheNextChunkStartsAfterIt) {
    open_com3();
    script(WriteOutcome::Short, 1, 8);
    std::string data = "0123456789ABCDEFGHIJ"; // 20 bytes
    EXPECT_EQ(devicewrite(hComm, data.c_str(), 20), 24);
    ASSERT_EQ(fake::state().writes.size(), 2u);
    EXPECT_EQ(written(0), bytes("0123456789ABCDEF"));
    EXPECT_EQ(written(1), bytes(z("89ABCDEFGHIJ", 4)));
    EXPECT_EQ(fake::wire(), bytes(z("0123456789ABCDEFGHIJ", 4)));
    EXPECT_EQ(fake::traces(),
              (std::vector<std::string>{"devicewrite(" + data + ")\n", "FLASH: Write to ComPort Failed"}));
}

TEST_F(Write, TenEmptyWritesAtTheStartGiveUpWithZero) {
    open_com3();
    script(WriteOutcome::Empty, 12);
    EXPECT_EQ(devicewrite(hComm, "AT\r", 3), 0);
    auto &w = fake::state().writes;
    ASSERT_EQ(w.size(), 10u);
    EXPECT_EQ(count_of(fake::traces(), "FLASH: Write to ComPort Failed"), 10);
    // Each empty write costs its 1160 ms time-out, then a 20 ms pause
    // (one more tick for the read that starts the pause).
    for (size_t i = 1; i < w.size(); ++i) EXPECT_EQ(w[i].at_ms - w[i - 1].at_ms, 1160u + 21u);
}

TEST_F(Write, AfterProgressTwoHundredEmptyWritesAreAllowed) {
    open_com3();
    // An empty write after progress, and 199 further ones: still going.
    script(WriteOutcome::Short, 1, 8);
    script(WriteOutcome::Empty, 199);
    script(WriteOutcome::Whole, 1);
    std::string data(20, 'D');
    EXPECT_EQ(devicewrite(hComm, data.c_str(), 20), 24);
    EXPECT_EQ(fake::state().writes.size(), 201u);

    // After the 200th empty write the call gives up with what went out.
    fake::state().writes.clear();
    script(WriteOutcome::Short, 1, 8);
    script(WriteOutcome::Empty, 201);
    EXPECT_EQ(devicewrite(hComm, data.c_str(), 20), 8);
    EXPECT_EQ(fake::state().writes.size(), 201u);
    fake::state().write_script.clear();

    // Each byte of progress sets the budget back to 200.
    fake::state().writes.clear();
    script(WriteOutcome::Short, 1, 4);
    script(WriteOutcome::Empty, 150);
    script(WriteOutcome::Short, 1, 4);
    script(WriteOutcome::Empty, 201);
    EXPECT_EQ(devicewrite(hComm, data.c_str(), 20), 8);
    EXPECT_EQ(fake::state().writes.size(), 352u);
    fake::state().write_script.clear();
}

TEST_F(Write, FailingPlatformWriteGivesMinusOneAtOnce) {
    open_com3();
    script(WriteOutcome::Whole, 1);
    script(WriteOutcome::Fail, 1);
    std::string data(40, 'E');
    EXPECT_EQ(devicewrite(hComm, data.c_str(), 40), -1);
    EXPECT_EQ(fake::state().writes.size(), 2u);
    EXPECT_EQ(count_of(fake::traces(), "FLASH: Write to ComPort Failed"), 0);
}

TEST_F(Write, LongestLoaderLineGoesOutWholeAndLateChunksArePadded) {
    constexpr int longest = 5 + LINE_MAX_CHARS + 1; // "at&&f", the line, CR
    static_assert(longest == LINK_DATA_MAX, "the longest loader line must fit one write");
    open_com3();
    // With the line end and no terminator after it.
    char line[longest + 1];
    std::string text = "at&&f:" + std::string(LINE_MAX_CHARS - 1, '7') + "\r\n";
    ASSERT_EQ(text.size(), sizeof line);
    std::memcpy(line, text.data(), sizeof line);
    EXPECT_EQ(devicewrite(hComm, line, longest), longest + 1);
    EXPECT_EQ(fake::wire(), bytes(text));
    EXPECT_EQ(fake::traces()[0], "devicewrite(" + text + ")\n");

    // A short write just before the end: the next chunk starts at the last
    // data byte and carries the line end, then zeros.
    fake::state().writes.clear();
    script(WriteOutcome::Whole, 32);
    script(WriteOutcome::Short, 1, 14);
    EXPECT_EQ(devicewrite(hComm, line, longest), 542);
    ASSERT_EQ(fake::state().writes.size(), 34u);
    EXPECT_EQ(written(33), bytes(z("\r\n", 14)));
}

TEST_F(Write, DataBeyondTheLimitIsRefusedUnsent) {
    open_com3();
    std::vector<char> big(LINK_DATA_MAX + 2, 'F');
    big.back() = 0;
    EXPECT_EQ(devicewrite(hComm, big.data(), LINK_DATA_MAX + 1), -1);
    EXPECT_EQ(devicewrite(hComm, "AT\r", -1), -1);
    EXPECT_TRUE(fake::state().writes.empty());
    EXPECT_EQ(fake::traces(),
              (std::vector<std::string>{"FLASH: Line too long for the port: 528 bytes, at most 527; not sent",
                                        "FLASH: Line too long for the port: -1 bytes, at most 527; not sent"}));
}

TEST_F(Write, ShortCommandIsOneZeroPaddedChunkAndItsTraceStopsAtTheFirstZero) {
    open_com3();
    EXPECT_EQ(send_command(hComm, "AT\r", 3), 16);
    ASSERT_EQ(fake::state().writes.size(), 1u);
    EXPECT_EQ(written(0), bytes(z("AT\r", 13)));
    char buf[8] = {'A', 'T', '\r', 0, 'X', 'Y', 0, 0};
    EXPECT_EQ(devicewrite(hComm, buf, 5), 16);
    EXPECT_EQ(written(1), bytes(z(std::string("AT\r\0XY", 6), 10)));
    EXPECT_EQ(fake::traces(), std::vector<std::string>(2, "devicewrite(AT\r)\n"));
    EXPECT_EQ(fake::state().outputs.size(), 6u); // each framed by two line feeds
}

} // namespace
