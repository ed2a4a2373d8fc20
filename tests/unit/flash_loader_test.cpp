// The loader download: the commands on the line, which lines are awaited,
// the 6 s wait at its boundary, the repaints, and the handshake with the
// sequencer across the two threads.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "flash_fixture.h"

namespace {

using flashtest::Answer;
using flashtest::LinePeer;
using flashtest::wire_bytes;

const char *REC1 = ":020000040000FA";
const char *REC2 = ":0400000001020304F2";
const char *EOFREC = ":00000001FF";

// "at&&f" + line + CR + the character that ended it, zero-padded to 16.
std::string command(const std::string &line, char ended_by) {
    return flashtest::padded("at&&f" + line + '\r', ended_by);
}

struct FlashLoader : flashtest::Fixture {
    LinePeer peer;
    void SetUp() override {
        flashtest::Fixture::SetUp();
        // The modem answers every uploaded record, the last with its banner.
        peer.answer = [](const std::string &l) {
            if (l.rfind("at&&f:", 0) != 0) return Answer{};
            if (l == std::string("at&&f") + EOFREC) return Answer{"\r\nFlash Loader Ver:1.4\r\nOK\r\n", 5};
            return Answer{"\r\nOK\r\n", 5};
        };
    }
    void open_loader(const std::string &bytes) {
        write_file("kivfldr.hex", bytes);
        hex_file = text_open("kivfldr.hex");
        ASSERT_NE(hex_file, nullptr);
        open_port(&peer);
        fake::state().writes.clear();
        fake::state().outputs.clear();
        flash_state = 4; // the bar shows the loader's lines
    }
};

TEST_F(FlashLoader, EveryLineGoesOutPrefixedAndAFinalLineEndAddsOneEmptyCommand) {
    open_loader(std::string(REC1) + "\n\n" + REC2 + "\r\n" + EOFREC + "\n");
    EXPECT_EQ(flash_download_loader(), 1);
    EXPECT_EQ(wire_bytes(), command(REC1, '\n') + command("", '\n') + command(REC2, '\n') + command(EOFREC, '\n') +
                                command("", '\xFF'));
    EXPECT_EQ(peer.seen(), (std::vector<std::string>{std::string("at&&f") + REC1, "at&&f",
                                                      std::string("at&&f") + REC2, std::string("at&&f") + EOFREC,
                                                      "at&&f"}));
    EXPECT_EQ(hex_file, nullptr); // closed after success
    EXPECT_NE(std::strstr(rx_buffer, "Ver:1.4"), nullptr);
    EXPECT_EQ(loader_lines_sent.load(), 4);
    EXPECT_EQ(loader_line_total.load(), 603);
}

TEST_F(FlashLoader, WithoutAFinalLineEndTheLastRecordIsAwaitedAndNothingFollows) {
    // A lone CR is an ordinary character of a loader line.
    open_loader(std::string(REC1) + "\n" + EOFREC);
    EXPECT_EQ(flash_download_loader(), 1);
    EXPECT_EQ(wire_bytes(), command(REC1, '\n') + command(EOFREC, '\xFF'));
    EXPECT_NE(std::strstr(rx_buffer, "Ver:1.4"), nullptr);
    EXPECT_EQ(loader_lines_sent.load(), 1);
}

TEST_F(FlashLoader, ALoneCrStaysInTheLineAndA0xFFEndsTheFile) {
    open_loader(std::string("x\ry\n") + EOFREC + "\n\xFF" + REC1 + "\n");
    EXPECT_EQ(flash_download_loader(), 1);
    EXPECT_EQ(fake::state().writes.front().data[5], 'x');
    EXPECT_EQ(fake::state().writes.front().data[6], '\r');
    EXPECT_EQ(fake::state().writes.front().data[7], 'y');
    EXPECT_EQ(peer.seen().size(), 4u); // "x", "y", the end record, the empty end
}

TEST_F(FlashLoader, TheRecordWaitLastsSixSecondsToTheMillisecond) {
    // An "OK" readable exactly 6000 ms into the wait still counts.
    peer.answer = [](const std::string &l) {
        Answer a{"\r\nOK\r\n"};
        a.after_wait_ms = 6000;
        if (l == std::string("at&&f") + EOFREC) a.text = "Ver:1.4 OK";
        return a;
    };
    open_loader(std::string(REC1) + "\n" + EOFREC);
    EXPECT_EQ(flash_download_loader(), 1);
    EXPECT_EQ(peer.seen().size(), 2u);
}

TEST_F(FlashLoader, ARecordWithoutOkWithinSixSecondsEndsTheDownloadAtOnce) {
    peer.answer = [](const std::string &l) {
        return l == std::string("at&&f") + REC1 ? Answer{"OK", 10} : Answer{};
    };
    open_loader(std::string(REC1) + "\n" + REC2 + "\n" + EOFREC + "\n");
    EXPECT_EQ(flash_download_loader(), 0);
    EXPECT_EQ(peer.seen().size(), 2u); // no line after the unanswered one
    EXPECT_NE(hex_file, nullptr);       // left open on failure
    // Given up just past 6000 ms from the start of the wait.
    uint64_t waited = fake::state().now_ms.load() - (peer.first_look - 1);
    EXPECT_GT(waited, 6000u);
    EXPECT_LE(waited, 6004u);
}

TEST_F(FlashLoader, AWriteErrorIsTracedAndTheDownloadGoesOn) {
    open_loader(std::string("junk\n") + EOFREC);
    fake::state().write_script.push_back({fake::WriteOutcome::Fail});
    EXPECT_EQ(flash_download_loader(), 1);
    EXPECT_TRUE(traced("Com Error= 1F "));
}

TEST_F(FlashLoader, RepaintsEvery20LinesAndAtEveryLineFrom603On) {
    std::string file;
    for (int i = 0; i < 602; ++i) file += std::string(REC2) + "\n";
    file += std::string(EOFREC) + "\n";
    open_loader(file);
    EXPECT_EQ(flash_download_loader(), 1);
    std::vector<int32_t> counts;
    for (auto &r : fake::state().redraws) {
        EXPECT_EQ(r.total, 603);
        counts.push_back(r.count);
    }
    std::vector<int32_t> want;
    for (int i = 20; i <= 600; i += 20) want.push_back(i);
    want.push_back(603);
    EXPECT_EQ(counts, want);
    EXPECT_EQ(count_traced("flash_download_loader calls ReDraw()"), 31);
    EXPECT_EQ(peer.seen().size(), 604u);

    // Past 603 every line repaints.
    fake::state().redraws.clear();
    file = "";
    for (int i = 0; i < 605; ++i) file += std::string(REC2) + "\n";
    open_loader(file + EOFREC);
    EXPECT_EQ(flash_download_loader(), 1);
    EXPECT_EQ(fake::state().redraws.size(), 30u + 3u); // 603, 604 and 605 too
    EXPECT_EQ(loader_lines_sent.load(), 605);
}

TEST_F(FlashLoader, ALineLongerThanTheBoundIsReportedAndNotWritten) {
    std::string longest = ":" + std::string(LINE_MAX_CHARS - 1, '0');
    open_loader(std::string(REC1) + "\n" + longest + "\n" + longest + "0\n" + EOFREC + "\n");
    peer.answer = [](const std::string &) { return Answer{"OK", 5}; };
    EXPECT_EQ(flash_download_loader(), 0);
    EXPECT_EQ(loader_bad_line.load(), 3);
    EXPECT_EQ(peer.seen(), (std::vector<std::string>{std::string("at&&f") + REC1, "at&&f" + longest}));
    EXPECT_EQ(wire_bytes(), command(REC1, '\n') + command(longest, '\n'));
}

TEST_F(FlashLoader, AStopRequestEndsTheDownloadBetweenLines) {
    peer.on_line = [](const std::string &) { port_stop = 1; };
    open_loader(std::string(REC1) + "\n" + REC2 + "\n" + EOFREC + "\n");
    EXPECT_EQ(flash_download_loader(), 0);
    EXPECT_EQ(peer.seen().size(), 1u);
    EXPECT_TRUE(traced("FLASH: Loader download stopped"));
}

// The sequencer's side: state 4 starts the thread, sleeps 5000 ms, then
// watches the flag once per step and judges the result.
struct FlashLoaderThread : FlashLoader {
    void start(const std::string &file) {
        open_loader(file);
        skip_flush = 1;
        flash_state = 4;
        loader_ticks = 0;
    }
    // Steps state 4 until it is left.
    void run() {
        for (long i = 0; flash_state == 4 && i < 100000000; ++i) {
            flash_step();
            std::this_thread::yield();
        }
    }
};

TEST_F(FlashLoaderThread, SuccessWithVer14GoesOnToErase) {
    start(std::string(REC1) + "\n" + REC2 + "\n" + EOFREC + "\n");
    flash_step();
    EXPECT_EQ(loader_ticks, 1);
    EXPECT_NE(hThread, nullptr);
    EXPECT_GE(fake::state().now_ms.load(), 5000u); // the sleep after the start
    run();
    EXPECT_EQ(flash_state, 6);
    EXPECT_EQ(loader_result.load(), 1);
    EXPECT_EQ(loader_busy.load(), 0);
    EXPECT_EQ(hThread, nullptr);
    EXPECT_STREQ(status_line1, "Erasing the Flash Chip.");
    EXPECT_STREQ(status_line2, "Please be Patient...");
    EXPECT_TRUE(traced("FLASH: Flash loader code download success"));
    EXPECT_TRUE(fake::state().boxes.empty());
}

TEST_F(FlashLoaderThread, AFailedDownloadReportsTheSilentModem) {
    peer.answer = [](const std::string &) { return Answer{}; };
    start(std::string(REC1) + "\n" + EOFREC + "\n");
    run();
    EXPECT_EQ(flash_state, 9);
    EXPECT_TRUE(traced("FLASH: Flash loader code download failed"));
}

TEST_F(FlashLoaderThread, AMissingVersionIsQuotedCutToTheBuffer) {
    std::string noise(3000, 'x');
    peer.answer = [noise](const std::string &) { return Answer{"OK " + noise, 5}; };
    start(std::string(EOFREC) + "\n");
    run();
    EXPECT_EQ(flash_state, 13);
    ASSERT_EQ(fake::state().boxes.size(), 1u);
    const auto &box = fake::state().boxes[0];
    EXPECT_EQ(box.caption, "Exit...");
    EXPECT_EQ(box.flags, unsigned(PLAT_MB_OK | PLAT_MB_ICONWARNING));
    std::string head = "Version mismatch (Ver:1.4) with kivfldr.hex; received OK xxx";
    EXPECT_EQ(box.text.substr(0, head.size()), head);
    EXPECT_EQ(box.text.size(), 255u);
}

TEST_F(FlashLoaderThread, ALongLoaderLineIsNamedInTheBox) {
    start(std::string(REC1) + "\n" + ":" + std::string(LINE_MAX_CHARS, '0') + "\n");
    run();
    EXPECT_EQ(flash_state, 13);
    ASSERT_EQ(fake::state().boxes.size(), 1u);
    EXPECT_EQ(fake::state().boxes[0].caption, "Loader File Error");
    EXPECT_EQ(fake::state().boxes[0].text.rfind("Line 2 of kivfldr.hex is longer than 521 characters.\n", 0), 0u);
}

TEST_F(FlashLoaderThread, NoThreadMeansASilentEnd) {
    start(std::string(EOFREC) + "\n");
    fake::state().thread_start_fails = true;
    flash_step();
    EXPECT_EQ(flash_state, 13);
    EXPECT_EQ(loader_busy.load(), 0);
    EXPECT_TRUE(traced("hThread==NULL"));
    EXPECT_EQ(fake::state().now_ms.load() < 5000, true);
}

} // namespace
