// Boundaries only a virtual clock can show: each reply wait still runs at
// its limit and has timed out 1 ms later (across the 32-bit tick wrap too),
// the pauses, the join bound of a close during the upload, the elapsed time.
#include <gtest/gtest.h>

#include <chrono>

#include "app/app.h"
#include "fake/fake.h"
#include "flash/flash.h"
#include "identify/identify.h"
#include "link/link.h"

namespace {

using Looks = std::deque<fake::Machine::Look>;

// A fresh program with COM3 open and nothing on its line but what the looks bring.
void open_line(uint32_t tick_base = 0) {
    fake::reset();
    fake::pc().tick_base = tick_base, fake::pc().ports[3] = nullptr, com_port = 3;
    ASSERT_TRUE(open_comm_port());
}

TEST(Clock, RecordRepliesWait360SecondsForTheFirstThen180) {
    struct Step {
        uint32_t ms; // a look at the port this long after the wait began (0: none)
        const char *bytes;
        int state; // after the step
    };
    const std::vector<Step> none = {{360000, "", 8}, {360001, "", 7}, {0, "", 8}, {180000, "", 8}, {180001, "", 7}};
    const struct {
        const char *name;
        uint32_t tick_base;
        std::vector<Step> steps;
    } cases[] = {
        {"no reply", 0, none},
        {"no reply, across the tick wrap", 0xFFFFFFFFu - 1000, none},
        {"an unknown NOK: the wait goes on from it", 0, {{10, "NOK7\r\n", 8}, {180000, "", 8}, {180001, "", 7}}},
        {"a reply read at the limit", 0xFFFFFFFFu - 359000, {{360000, "OK\r\n", 7}, {0, "", 8}, {180000, "", 8}, {180001, "", 7}}},
    };
    for (const auto &c : cases) {
        open_line(c.tick_base);
        fake::write_file(fake::scratch() + "/rec.hex", "S1AA\nS1BB\nS1CC\n");
        std::snprintf(download_path, sizeof download_path, "%s/rec.hex", fake::scratch().c_str());
        flash_state = 6, flash_step(), flash_step();
        ASSERT_EQ(flash_state, 8);
        for (const Step &s : c.steps) {
            if (s.ms) fake::pc().looks.push_back({s.ms, s.bytes});
            flash_step();
            EXPECT_EQ(flash_state, s.state) << c.name << " at " << s.ms;
        }
    }
}

// The blocking waits, each look being [ms after the wait began, bytes that
// came]. A last look brings what the wait wants: it is left over when the
// wait ended where it should.
TEST(Clock, BlockingWaitsEndAtTheirLimits) {
    auto cat = [](std::initializer_list<Looks> parts) {
        Looks all;
        for (auto &p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const Looks n4 = {{4000, ""}, {4001, ""}}, n2 = {{2000, ""}, {2001, ""}}, six = {{6000, ""}, {6001, ""}};
    const Looks ident = cat({n4, n2, n2, {{1, "OK"}}});
    auto probe = [] {
        load_modem_type = MODEM_INTERNAL, load_rrfl_sector = 64, load_rrfl_checksum = 0x1234;
        return std::to_string(open_and_probe_port());
    };
    auto loader = [] {
        fake::write_file(fake::scratch() + "/kivfldr.hex", ":00000001FF");
        hex_file = text_open((fake::scratch() + "/kivfldr.hex").c_str());
        return std::to_string(flash_download_loader());
    };
    auto full_erase = [] { return flash_state = 8, offer_full_erase("Retry?"), std::to_string(flash_state); };
    auto checksum = [] {
        std::snprintf(cfg_atchecksum, sizeof cfg_atchecksum, "AT&&FCS\r");
        std::snprintf(cfg_checksumresponse, sizeof cfg_checksumresponse, "CS=GOOD");
        return flash_state = 12, flash_step(), fake::pc().boxes.back();
    };
    const struct {
        const char *name;
        std::function<std::string()> run;
        Looks looks;
        std::string outcome;
    } cases[] = {
        {"probe: nothing answers, 4, 2, 2 and 2 s", probe, cat({n4, n2, n2, n2}), "1"},
        {"probe: AT&&F answered at its limit, ATI5 never", probe, cat({n4, n2, n2, {{2000, "OK"}}, n2}), "1"},
        {"probe: AT&&FFL never answered", probe, cat({ident, {{2000, "ATI5\r\r\nI 56K OK"}}, n2}), "3"},
        {"probe: AT&&FGO never answered", probe, cat({ident, {{2000, "ATI5\r\r\nI RRFL,40,1234 OK"}}, n2}), "1"},
        {"a loader record answered at 6 s", loader, {{6000, "OK"}}, "1"},
        {"a loader record answered at the look that ends the wait", loader, {{6000, ""}, {6001, "OK"}}, "1"},
        {"a loader record unanswered", loader, six, "0"},
        {"Z answered at 6 s", full_erase, {{6000, "Ver:1.4 OK"}}, "6"},
        {"Z unanswered", full_erase, six, "8"},
        {"the checksum at 4 s", checksum, {{4000, "CS=GOOD"}}, "    All Done...|Flash Programming Completed"},
        {"no checksum in 4 s", checksum, {{4000, "CS=BAD"}, {4001, ""}}, "    Try again...|Flash Programming Failed."},
    };
    for (const auto &c : cases) {
        open_line();
        fake::pc().looks = cat({c.looks, {{6002, "ATI5\r\r\nI RRFL,40,1234 OK Ver:1.4 CS=GOOD"}}});
        EXPECT_EQ(c.run(), c.outcome) << c.name;
        EXPECT_EQ(fake::pc().looks.size(), 1u) << c.name << ": a wait ended at the wrong look";
    }
}

// The pauses, as gaps between what reached the modem, in ms to 20 ms (the
// clock also moves with each look at it).
TEST(Clock, Pauses) {
    fake::Job job;
    job.modem.rrfl_checksum = 0x9999, job.modem.checksum_cmd = "AT&&FCS", job.modem.checksum_reply = "CS=1";
    job.modem.latency_ms = 20; // an upload longer than the 5 s before the sequencer first looks
    job.ini += "atchecksum=AT&&FCS\n";
    ASSERT_TRUE(fake::run(job));
    auto line = [&](const std::string &text) { // when the first line so starting came
        for (auto &l : job.model->transcript())
            if (l.text.rfind(text, 0) == 0) return l.at / 1000;
        return sim::usec(-1);
    };
    auto gap = [&](const std::string &text, const std::string &reply) { // since the last reply holding `reply`
        sim::usec at = line(text), t = -1;
        for (auto &r : job.model->replies()) t = r.at / 1000 < at && r.text.find(reply) != std::string::npos ? r.at / 1000 : t;
        return at - t;
    };
    EXPECT_EQ(line("AAAAT") / 20, 3000 / 20);        // with the settings naming the load, before the search
    EXPECT_EQ(gap("S0", "Ver:1.4") / 20, 100 / 20);  // after the uploaded loader's banner
    EXPECT_EQ(gap("AT&&FCS", "OK") / 20, 1000 / 20); // after the last record's OK, before the checksum

    // The loader thread is first looked at 5 s after it was started.
    fake::Job one;
    one.modem.rrfl_checksum = 0x9999, one.edit = [](auto &, auto &loader) { loader = ":00000001FF\n"; };
    uint64_t started = 0, judged = 0;
    one.each_step = [&] {
        started = flash_state == 4 && !started ? fake::pc().now_ms.load() : started;
        judged = flash_state == 6 && !judged ? fake::pc().now_ms.load() : judged;
    };
    ASSERT_TRUE(fake::run(one));
    EXPECT_GE(judged - started, 5000u);
}

// A close confirmed while the loader thread is stuck in a write: the shutdown
// waits 7 s for it, then ends the job anyway; a second close meanwhile
// changes nothing.
TEST(Clock, ACloseDuringTheUploadWaitsSevenSecondsForTheThread) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the shutdown after the bound closes the port under the stuck thread";
#endif
    fake::Job job;
    job.modem.rrfl_checksum = 0x9999;
    job.setup = [] {
        fake::pc().pump = {}; // no waiting for a thread that is stuck
        fake::pc().on_write = [] {
            while (loader_lines_sent.load() == 100 && !fake::pc().window_destroyed)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        };
    };
    uint64_t start = 0, end = 0;
    job.each_step = [&] {
        if (flash_state == 4 && loader_lines_sent.load() == 100 && fake::pc().boxes.size() == 1) on_close_request();
        if (flash_state == 13 && !start) start = fake::pc().now_ms, on_close_request();
        if (flash_state == 14 && !end) end = fake::pc().now_ms;
    };
    ASSERT_TRUE(fake::run(job));
    EXPECT_EQ(end - start, 7000u + 2) << "the bound, and the fake's 1 ms for the first and last look at the clock";
    EXPECT_EQ(fake::pc().boxes.size(), 2u); // the erase question and one close question
    EXPECT_EQ(fake::pc().line.back(), 'Y');
}

TEST(Clock, ElapsedTimeAtCompletion) {
    for (auto [tick_base, elapsed, shown] : {std::tuple<uint32_t, uint32_t, const char *>{0, 125300, "2 Min  5"},
                                             {0, 59000, "0 Min 59"}, {0xFFFFFFFFu - 1000, 3601000, "60 Min  1"}}) {
        open_line(tick_base);
        fake::pc().now_ms = 4000000, start_tick = fake::ticks() - elapsed, flash_state = 12, flash_step();
        EXPECT_EQ(fake::pc().screens.at(0), std::string("Programming Completed|Time Elapsed ") + shown + " Sec.");
    }
}

} // namespace
