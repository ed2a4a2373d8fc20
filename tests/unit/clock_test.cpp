// Boundaries only a virtual clock can show: each reply wait still runs at
// its limit and has timed out 1 ms later (across the 32-bit tick wrap too),
// the pauses, the join bound of a close during the upload, the elapsed time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/app.h"
#include "fake/fake.h"
#include "flash/flash.h"
#include "identify/identify.h"
#include "link/link.h"
#include "settings/settings.h"

namespace {

using Looks = std::deque<fake::Machine::Look>;

// A fresh program with COM3 open and nothing on its line but the bytes the
// looks bring.
void open_line(uint32_t tick_base = 0) {
    fake::reset(), fake::pc().tick_base = tick_base, fake::pc().ports[3] = nullptr, com_port = 3;
    ASSERT_TRUE(open_comm_port());
}

TEST(Clock, RecordRepliesWait360SecondsForTheFirstThen180) {
    struct Step { uint32_t ms; const char *bytes; seq_state state; }; // a look `ms` after the wait began (0: none), the state after
    const seq_state POLL = SEQ_POLL, SEND = SEQ_SEND;
    const std::vector<Step> timeout = {{360000, "", POLL}, {360001, "", SEND}, {0, "", POLL}, {180000, "", POLL}, {180001, "", SEND}};
    const struct { const char *name; uint32_t tick_base; std::vector<Step> steps; } cases[] = {
        {"no reply", 0, timeout},
        {"no reply, across the tick wrap", 0xFFFFFFFFu - 1000, timeout},
        {"an unknown NOK: the wait goes on from it", 0, {{10, "NOK7\r\n", POLL}, {180000, "", POLL}, {180001, "", SEND}}},
        {"a reply read at the limit", 0xFFFFFFFFu - 359000,
         {{360000, "OK\r\n", SEND}, {0, "", POLL}, {180000, "", POLL}, {180001, "", SEND}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        open_line(c.tick_base);
        fake::write_file(fake::scratch() + "/rec.hex", "S1AA\nS1BB\nS1CC\n");
        std::snprintf(download_path, sizeof download_path, "%s/rec.hex", fake::scratch().c_str());
        flash_start(SEQ_OPEN_LOAD), flash_step(), flash_step();
        ASSERT_EQ(flash_state, SEQ_POLL);
        for (const Step &s : c.steps) {
            if (s.ms) fake::pc().looks.push_back({s.ms, s.bytes});
            flash_step();
            EXPECT_EQ(flash_state, s.state) << s.ms;
        }
    }
}

// The blocking waits: each look is [ms after the wait began, bytes that
// came]. A last look brings what the wait wants; it is still there when the
// wait ended where it should.
TEST(Clock, BlockingWaitsEndAtTheirLimits) {
    const Looks none4 = {{4000, ""}, {4001, ""}}, none2 = {{2000, ""}, {2001, ""}};
    auto cat = [](std::initializer_list<Looks> parts) {
        Looks all;
        return std::for_each(parts.begin(), parts.end(), [&](auto &p) { all.insert(all.end(), p.begin(), p.end()); }), all;
    };
    auto left_over = [](const fake::Machine::Look &last) {
        return fake::pc().looks.size() == 1 && fake::pc().looks.front().bytes == last.bytes;
    };
    const Looks opening = cat({none4, none2, none2}), ident = cat({opening, {{2000, "OK"}}});
    const fake::Machine::Look ok{2002, "ATI5\r\r\nI RRFL,40,1234 OK"};
    const struct { const char *name; Looks looks; int result; } probes[] = {
        {"nothing answers: 4, 2, 2 and 2 s", cat({opening, none2}), PROBE_NO_MODEM},
        {"AT&&F answered at its limit, ATI5 never", cat({ident, none2}), PROBE_NO_MODEM},
        {"AT&&FFL never answered", cat({ident, {{2000, "ATI5\r\r\nI 56K OK"}}, none2}), PROBE_NEED_LOADER},
        {"AT&&FGO never answered", cat({ident, {{2000, "ATI5\r\r\nI RRFL,40,1234 OK"}}, none2}), PROBE_NO_MODEM},
    };
    for (const auto &p : probes) {
        SCOPED_TRACE(p.name);
        fake::reset(), fake::pc().ports[3] = nullptr, com_port = 3;
        load_modem_type = MODEM_INTERNAL, load_rrfl_sector = 64, load_rrfl_checksum = 0x1234;
        fake::pc().looks = cat({p.looks, {ok}});
        EXPECT_EQ(open_and_probe_port(), p.result);
        EXPECT_TRUE(left_over(ok)) << "a wait ended at the wrong look";
    }
    // The loader's records: 6 s. Asked to stop, or at a line too long to send, it fails with nothing written.
    const std::string rec = ":00000001FF";
    for (auto [text, stop, looks, result] : std::vector<std::tuple<std::string, int, Looks, int>>{
             {rec, 0, {{6000, "OK"}}, 1}, {rec, 0, {{6000, ""}, {6001, "OK"}}, 1},
             {rec, 0, {{6000, ""}, {6001, ""}}, 0}, {rec, 1, {}, 0}, {std::string(522, '0'), 0, {}, 0}}) {
        open_line();
        fake::write_file(fake::scratch() + "/kivfldr.hex", text);
        hex_file = text_open((fake::scratch() + "/kivfldr.hex").c_str());
        port_stop = stop;
        fake::pc().looks = cat({looks, {{6002, "OK"}}});
        EXPECT_EQ(flash_download_loader(), result);
        EXPECT_TRUE(looks.empty() ? fake::pc().line.empty() : left_over({0, "OK"}));
    }
    // The full-erase offer: 6 s for the reply to "Z".
    for (auto [looks, erased] : {std::pair<Looks, int>{{{6000, "Ver:1.4 OK"}}, 1}, {{{6000, ""}, {6001, ""}}, 0}}) {
        open_line();
        fake::pc().looks = cat({looks, {{6002, "Ver:1.4 OK"}}});
        EXPECT_EQ(offer_full_erase("Retry?"), erased);
        EXPECT_TRUE(left_over({0, "Ver:1.4 OK"}));
    }
    // The checksum command: 4 s.
    for (auto [looks, box] : {std::pair<Looks, const char *>{{{4000, "CS=GOOD"}}, "    All Done...|Flash Programming Completed"},
                              {{{4000, "CS=BAD"}, {4001, ""}}, "    Try again...|Flash Programming Failed."}}) {
        open_line();
        std::snprintf(cfg_atchecksum, sizeof cfg_atchecksum, "AT&&FCS\r"), flash_start(SEQ_COMPLETE);
        std::snprintf(cfg_checksumresponse, sizeof cfg_checksumresponse, "CS=GOOD");
        fake::pc().looks = cat({looks, {{4002, "CS=GOOD"}}});
        flash_step();
        EXPECT_EQ(fake::pc().boxes, std::vector<std::string>{box});
        EXPECT_TRUE(left_over({0, "CS=GOOD"}));
        EXPECT_EQ(fake::pc().line, std::string("AT&&FCS\r") + std::string(8, '\0'));
    }
}

// The pauses, as gaps between what reached the modem, exact on the virtual
// clock: the pause itself and the fake's 1 ms for each look at a clock.
TEST(Clock, Pauses) {
    fake::Job job;
    job.modem.rrfl_checksum = 0x9999, job.modem.checksum_cmd = "AT&&FCS", job.modem.checksum_reply = "CS=1";
    job.ini += "atchecksum=AT&&FCS\n";
    uint64_t judged = 0; // the loader is done: from here on only the GUI thread moves the clock
    job.each_step = [&] { judged = flash_state == SEQ_LOADER && loader_ticks && !loader_busy && !judged ? fake::pc().now_ms.load() : judged; };
    ASSERT_TRUE(fake::run(job));
    const sim::Modem &m = *job.model;
    auto arrival = [&](const std::string &text) { // ms, of the first line so starting
        auto &t = m.transcript();
        return std::find_if(t.begin(), t.end(), [&](auto &l) { return l.text.rfind(text, 0) == 0; })->at / 1000;
    };
    // With the settings naming the load, 3 s before the search.
    EXPECT_EQ(arrival("AAAAT"), 3000 + 4);
    // Each of the probe's commands, and the upload's first line, after the port settled (2 ms of the 8).
    EXPECT_EQ(arrival("AT&&FFL") - arrival("AAAAT"), 5 * 8);
    EXPECT_EQ(arrival("at&&f:") - arrival("AT&&FFL"), 8);
    // The loader's 603 lines, each after the one before had settled: the GUI thread waits, its clock stands.
    EXPECT_EQ(arrival("at&&f:00000001FF") - arrival("at&&f:"), 602 * 8);
    // 100 ms after the uploaded loader before the first record.
    EXPECT_EQ(arrival("S0") - static_cast<sim::usec>(judged), 100 + 4);
    // 1 s after the last record before the checksum command.
    EXPECT_EQ(arrival("AT&&FCS") - arrival("S9"), 1000 + 13);
    EXPECT_EQ(arrival("Y") - arrival("AT&&FCS"), 9); // its reply, then the port settled before "Y"

    // The loader thread is first looked at 5 s after it was started: held at
    // its first write, and with SkipFlush it looks at no clock before it.
    fake::Job one;
    one.modem.rrfl_checksum = 0x9999, one.ini += "SkipFlush=yes\n";
    std::atomic<uint64_t> started = 0, looked = 0;
    one.setup = [&] { fake::pc().sleep_with_loader = false, fake::pc().on_write = [&] {
        while (!looked && std::this_thread::get_id() != fake::pc().gui) std::this_thread::yield(); }; };
    one.each_step = [&] {
        if (flash_state == SEQ_LOADER && !started) started = fake::pc().now_ms.load();
        if (flash_state == SEQ_LOADER && loader_ticks == 1 && !looked) looked = fake::pc().now_ms.load();
    };
    ASSERT_TRUE(fake::run(one));
    EXPECT_EQ(looked - started, 5000u);
}

// A close confirmed while the loader thread is stuck in a write: the shutdown
// waits 7 s for it, then ends the job anyway; a second close meanwhile
// changes nothing.
TEST(Clock, ACloseDuringTheUploadWaitsSevenSecondsForTheThread) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the shutdown after the bound closes the port under the stuck thread";
#endif
    fake::Job job;
    job.modem.rrfl_checksum = 0x9999, job.setup = [] {
        fake::pc().sleep_with_loader = false; // the stuck thread would hold the sleep too
        fake::pc().on_write = [] { while (loader_lines_sent.load() == 100 && !fake::pc().window_destroyed) std::this_thread::yield(); };
    };
    uint64_t start = 0, end = 0, ports = 0; // ports open when the window goes: the thread still holds one
    bool closed = false, again = false;
    job.each_step = [&] {
        if (flash_state == SEQ_LOADER && loader_lines_sent.load() == 100 && !closed) closed = true, on_close_request();
        if (flash_state == SEQ_END && !again) again = true, start = fake::pc().now_ms, on_close_request();
        if (flash_state == SEQ_DESTROY && !end) end = fake::pc().now_ms, ports = fake::pc().open_ports();
    };
    ASSERT_TRUE(fake::run(job));
    EXPECT_EQ(end - start, 7000u + 2) << "the bound, and the fake's 1 ms for the first and last look at the clock";
    EXPECT_EQ(fake::pc().boxes, (std::vector<std::string>{"?MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash",
        "?You May Have Cooked the Flash Chip!|Are you Sure you want to Kill the Flash Loader?"}));
    EXPECT_TRUE(fake::pc().line.find('Y') != std::string::npos && fake::traced("FLASH: Loader thread did not stop in time"));
    EXPECT_EQ(ports, 1u) << "the port was closed under the thread";
    EXPECT_EQ(fake::pc().open_ports(), 1) << "the port was closed under the thread as the window went";
}

TEST(Clock, ElapsedTimeAtCompletion) {
    const struct { uint32_t tick_base, elapsed; const char *shown; } cases[] = {
        {0, 125300, "2 Min  5"}, {0, 59000, "0 Min 59"}, {0xFFFFFFFFu - 1000, 3601000, "60 Min  1"}};
    for (const auto &c : cases) {
        open_line(c.tick_base);
        fake::pc().now_ms = 4000000, start_tick = fake::ticks() - c.elapsed, flash_start(SEQ_COMPLETE);
        flash_step();
        EXPECT_EQ(fake::pc().screens.at(0), std::string("Programming Completed|Time Elapsed ") + c.shown + " Sec.");
    }
}

} // namespace
