// Record sending and the NOK recovery: exact bytes on the line, what is
// awaited, the progress text, the write retries and the erase offer.
#include "flash_fixture.h"

namespace {

using flashtest::Answer;
using flashtest::LinePeer;
using flashtest::wire_bytes;

// Line + CR + the character that ended it, padded with zeros to 16 bytes.
std::string chunked(const std::string &line, char ended_by) { return flashtest::padded(line + '\r', ended_by); }

struct FlashRecords : flashtest::Fixture {
    LinePeer peer;
    void open_load(const std::string &bytes) {
        std::string path = write_file("modem.hex", bytes);
        std::snprintf(download_path, sizeof download_path, "%s", path.c_str());
        load_file_size = static_cast<int32_t>(bytes.size());
        hex_file = text_open(path.c_str());
        ASSERT_NE(hex_file, nullptr);
        open_port(&peer);
        fake::state().outputs.clear();
        fake::state().writes.clear();
    }
};

TEST_F(FlashRecords, LinesGoOutWithOneCrAndTheirLineEndAndBlankLinesAreNotAwaited) {
    // CR LF line ends, a blank line, a lone-CR line end, no line end at the end.
    open_load("S1AAA\r\n\r\nS1BB\rS1CCCC");

    EXPECT_EQ(send_record(1), 1);
    EXPECT_EQ(line_len, 6);
    EXPECT_EQ(wire_bytes(), chunked("S1AAA", '\n'));

    fake::state().writes.clear();
    EXPECT_EQ(send_record(1), 0); // a lone CR is written, nothing awaited
    EXPECT_EQ(line_len, 1);
    EXPECT_EQ(wire_bytes(), chunked("", '\n'));
    EXPECT_EQ(flashtest::Fixture::flash_traces().back(), "FLASH: No colon!");

    fake::state().writes.clear();
    EXPECT_EQ(send_record(1), 1);
    EXPECT_EQ(wire_bytes(), chunked("S1BB", '\r'));
    EXPECT_EQ(hex_eof, 0);

    fake::state().writes.clear();
    EXPECT_EQ(send_record(1), 1); // the last line, ended by the end of the file
    EXPECT_EQ(hex_eof, 1);
    EXPECT_EQ(line_len, 7);
    EXPECT_EQ(wire_bytes(), chunked("S1CCCC", '\xFF'));
    EXPECT_TRUE(traced("FLASH: Got EOF"));

    // Nothing is read after the end: nothing written, and nothing to await.
    fake::state().writes.clear();
    EXPECT_EQ(send_record(1), 1);
    EXPECT_EQ(line_len, 0);
    EXPECT_TRUE(fake::state().writes.empty());
    EXPECT_EQ(records_sent, 5);
    // The CR that ended "S1BB" in its file follows the CR sent after it.
    EXPECT_EQ(peer.seen(), (std::vector<std::string>{"S1AAA", "", "S1BB", "", "S1CCCC"}));
}

TEST_F(FlashRecords, AFileEndingWithALineEndFindsTheEndWithNothingToWrite) {
    open_load("S1AA\n");
    EXPECT_EQ(send_record(1), 1);
    EXPECT_EQ(hex_eof, 0);
    fake::state().writes.clear();
    EXPECT_EQ(send_record(1), 1);
    EXPECT_EQ(hex_eof, 1);
    EXPECT_EQ(line_len, 0);
    EXPECT_TRUE(fake::state().writes.empty());
    EXPECT_EQ(count_traced("FLASH: Got EOF"), 1);
}

TEST_F(FlashRecords, AByte0xFFEndsTheFileAndNothingAfterItIsSent) {
    open_load(std::string("S1AA\n\xFFS1BB\n", 11));
    EXPECT_EQ(send_record(1), 1);
    fake::state().writes.clear();
    EXPECT_EQ(send_record(1), 1);
    EXPECT_EQ(hex_eof, 1);
    EXPECT_EQ(line_len, 0);
    EXPECT_EQ(send_record(1), 1);
    EXPECT_TRUE(fake::state().writes.empty());
    EXPECT_EQ(peer.seen(), std::vector<std::string>{"S1AA"});
}

TEST_F(FlashRecords, ALastLineThatIsNoRecordIsNotAwaited) {
    open_load("S1AA\nend");
    EXPECT_EQ(send_record(1), 1);
    EXPECT_EQ(send_record(1), 0);
    EXPECT_EQ(hex_eof, 1);
    EXPECT_TRUE(traced("FLASH: No colon!"));
    EXPECT_EQ(send_record(1), 1); // the end: nothing written, the job completes
    EXPECT_EQ(line_len, 0);
}

TEST_F(FlashRecords, AResendWritesTheSameBytesAndKeepsTheRetryCount) {
    open_load("S1AAAA\nS1BB\n");
    EXPECT_EQ(send_record(1), 1);
    std::string first = wire_bytes();
    retry_count = 3;
    fake::state().writes.clear();
    EXPECT_EQ(send_record(0), 1);
    EXPECT_EQ(wire_bytes(), first);
    EXPECT_EQ(retry_count, 3);
    EXPECT_EQ(records_sent, 1);
    EXPECT_EQ(send_record(1), 1);
    EXPECT_EQ(retry_count, 0);
}

TEST_F(FlashRecords, ProgressTextAtThe7thRecordAndEvery64thAfterItFromTheNeverResetCount) {
    std::string load;
    for (int i = 0; i < 140; ++i) load += "S1AA\n";
    open_load(load);
    load_file_size = 40000000; // the product is formed in 64 bits
    std::vector<int> shown;
    for (int i = 1; i <= 140; ++i) {
        bytes_sent = 30000000 + i;
        size_t before = fake::state().redraws.size();
        send_record(1);
        if (fake::state().redraws.size() != before) shown.push_back(i);
    }
    EXPECT_EQ(shown, (std::vector<int>{7, 71, 135}));
    EXPECT_STREQ(status_line1, "Programming the Flash");
    EXPECT_STREQ(status_line2, "<75%>  Complete.");

    // After a restart the count goes on: the text comes when the count read
    // before counting is 6 modulo 64, not at the 7th record of the pass.
    records_sent = 197;
    load_file_size = 1000;
    bytes_sent = 333;
    hex_eof = 0;
    size_t before = fake::state().redraws.size();
    send_record(1);
    EXPECT_EQ(fake::state().redraws.size(), before);
    send_record(1);
    EXPECT_EQ(fake::state().redraws.size(), before + 1);
    EXPECT_STREQ(status_line2, "<33%>  Complete.");
}

TEST_F(FlashRecords, FiveFailedWritesEndTheJobWithTheSolidCommErrorBox) {
    open_load("S1AA\nS1BB\n");
    for (int i = 0; i < 4; ++i) fake::state().write_script.push_back({fake::WriteOutcome::Fail});
    EXPECT_EQ(send_record(1), 1); // the fifth attempt goes through
    EXPECT_EQ(fake::state().writes.size(), 5u);
    EXPECT_TRUE(fake::state().boxes.empty());

    fake::state().writes.clear();
    flash_state = 7;
    for (int i = 0; i < 5; ++i) fake::state().write_script.push_back({fake::WriteOutcome::Fail});
    EXPECT_EQ(send_record(1), 0);
    EXPECT_EQ(fake::state().writes.size(), 5u);
    EXPECT_EQ(flash_state, 13);
    EXPECT_TRUE(traced("Com Error= 1F "));
    ASSERT_EQ(fake::state().boxes.size(), 1u);
    EXPECT_EQ(fake::state().boxes[0].text, "Failed to write line to Modem");
    EXPECT_EQ(fake::state().boxes[0].caption, "Solid CommError");
    EXPECT_EQ(fake::state().boxes[0].flags, unsigned(PLAT_MB_OK | PLAT_MB_ICONWARNING));
}

TEST_F(FlashRecords, TheLongestLineIsSentWholeAndALongerOneStopsTheJobBeforeItIsWritten) {
    std::string longest = "S3" + std::string(LINE_MAX_CHARS - 2, 'A');
    std::string too_long = "S3" + std::string(LINE_MAX_CHARS - 1, 'B');
    open_load("S1AA\n" + longest + "\n\n" + too_long + "\nS1CC\n");

    EXPECT_EQ(send_record(1), 1);
    fake::state().writes.clear();
    EXPECT_EQ(send_record(1), 1);
    EXPECT_EQ(line_len, LINE_MAX_CHARS + 1);
    EXPECT_EQ(wire_bytes(), chunked(longest, '\n')); // in 16-byte chunks
    EXPECT_EQ(fake::state().writes.size(), size_t((LINE_MAX_CHARS + 1 + 15) / 16));
    EXPECT_EQ(send_record(1), 0); // the blank line

    fake::state().writes.clear();
    flash_state = 7;
    EXPECT_EQ(send_record(1), 0);
    EXPECT_EQ(flash_state, 13);
    EXPECT_TRUE(fake::state().writes.empty());
    ASSERT_EQ(fake::state().boxes.size(), 1u);
    const auto &box = fake::state().boxes[0];
    EXPECT_EQ(box.caption, "Load File Error");
    EXPECT_EQ(box.flags, unsigned(PLAT_MB_OK | PLAT_MB_ICONWARNING));
    EXPECT_NE(box.text.find("Line 4 of the load file\n" + std::string(download_path) + "\n"), std::string::npos);
    EXPECT_NE(box.text.find("longer than 521 characters"), std::string::npos);
    EXPECT_EQ(peer.seen(), (std::vector<std::string>{"S1AA", longest, ""}));
}

struct FlashNok : FlashRecords {
    void SetUp() override {
        FlashRecords::SetUp();
        open_load("S1AA\nS1BB\n");
        send_record(1);
        flash_state = 8;
        send_next_line = 1;
        bytes_sent = 77;
        reply_timeout = 90;
    }
};

TEST_F(FlashNok, Nok2AndNok3ResendAndNameTheReasonWithoutARepaint) {
    EXPECT_EQ(handle_nok("NOK2\r\n"), 1);
    EXPECT_EQ(flash_state, 7);
    EXPECT_EQ(send_next_line, 0);
    EXPECT_EQ(retry_count, 1);
    EXPECT_STREQ(status_line1, "Modem could not fine COLON.");
    EXPECT_EQ(handle_nok("junk NOK3"), 1);
    EXPECT_EQ(retry_count, 2);
    EXPECT_STREQ(status_line1, "Modem reports solid Checksum Failure.");
    EXPECT_TRUE(fake::state().redraws.empty());
    EXPECT_EQ(flash_traces(), (std::vector<std::string>{"FLASH: Got a NOK", "FLASH: Failure to find COLON",
                                                        "FLASH: Got a NOK", "FLASH: Checksum Failure"}));
}

TEST_F(FlashNok, AnUnknownCodeChangesNothing) {
    EXPECT_EQ(handle_nok("NOK7\r\n"), 1);
    EXPECT_EQ(flash_state, 8);
    EXPECT_EQ(retry_count, 0);
    EXPECT_EQ(send_next_line, 1);
    EXPECT_EQ(flash_traces(), std::vector<std::string>{"FLASH: Got a NOK"});
}

TEST_F(FlashNok, Nok1WinsOverNok3AndYesWithVer14RestartsFromTheFirstRecord) {
    peer.answer_char = [](char c) { return Answer{c == 'Z' ? "\r\nFlash Loader Ver:1.4\r\nOK\r\n" : "", 2000}; };
    text_file *was = hex_file;
    EXPECT_NE(was, nullptr);
    EXPECT_EQ(handle_nok("NOK3 NOK1"), 1);
    EXPECT_EQ(flash_state, 6);
    EXPECT_EQ(peer.priority, std::vector<char>{'Z'});
    EXPECT_EQ(bytes_sent, 0);
    EXPECT_EQ(reply_timeout, 180);
    EXPECT_EQ(send_next_line, 1);
    EXPECT_EQ(hex_file, nullptr);
    EXPECT_STREQ(status_line1, "Erasing the Flash Chip.");
    EXPECT_STREQ(status_line2, "Please be Patient...");
    ASSERT_EQ(fake::state().boxes.size(), 1u);
    EXPECT_EQ(fake::state().boxes[0].text, "Chip Failed to Erase Properly\nWould you like to Retry.");
    EXPECT_EQ(fake::state().boxes[0].caption, "You May Have Cooked the Flash Chip!");
    EXPECT_EQ(fake::state().boxes[0].flags, unsigned(PLAT_MB_YESNO));
    EXPECT_EQ(flash_traces(), (std::vector<std::string>{"FLASH: Got a NOK", "FLASH: Failure to Erase",
                                                        "FLASH: Sending Z"}));
    EXPECT_EQ(fake::state().redraws.size(), 1u);
}

TEST_F(FlashNok, Nok4AnsweredNoAbandonsWithoutSendingZ) {
    fake::state().answer = [](const fake::Box &) { return int(PLAT_IDNO); };
    EXPECT_EQ(handle_nok("NOK4"), 0);
    EXPECT_EQ(fake::state().boxes.at(0).text, "Chip Failed to Program Properly\nWould you like to Retry.");
    EXPECT_TRUE(peer.priority.empty());
    EXPECT_EQ(retry_count, 7);
    EXPECT_STREQ(status_line1, "Abandon Chip!!");
    EXPECT_EQ(flash_state, 8);
    EXPECT_NE(hex_file, nullptr);
    EXPECT_EQ(flash_traces(), (std::vector<std::string>{"FLASH: Got a NOK", "FLASH: Failure to program a byte"}));
}

TEST_F(FlashNok, YesWithoutVer14AfterZAbandonsAfterTheSixSecondWait) {
    // The modem stays silent: the buffer still holds the NOK reply.
    std::snprintf(rx_buffer, sizeof rx_buffer, "%s", "NOK1\r\n");
    uint32_t before = fake::ticks();
    EXPECT_EQ(handle_nok(rx_buffer), 0);
    uint32_t waited = fake::ticks() - before;
    EXPECT_GT(waited, 6000u);
    EXPECT_LT(waited, 6100u);
    EXPECT_EQ(peer.priority, std::vector<char>{'Z'});
    EXPECT_STREQ(status_line1, "Abandon Chip!!");
    EXPECT_EQ(retry_count, 7);

    // An answer without the version is no better.
    peer.answer_char = [](char) { return Answer{"OK\r\n", 10}; };
    EXPECT_EQ(offer_full_erase("Q"), 0);
    EXPECT_STREQ(rx_buffer, "OK\r\n");
    EXPECT_STREQ(status_line1, "Abandon Chip!!");
}

} // namespace
