// Boundaries only a virtual clock can show: each wait still runs at its limit and has timed out 1
// ms later (across the tick wrap too), the pauses, a close during the upload, the elapsed time.
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

// A fresh program with COM3 open and nothing on its line but the bytes the looks bring.
void open_line(uint32_t tick_base = 0) {
    fake::reset(), fake::pc().tick_base = tick_base, fake::pc().ports[3] = nullptr, com_port = 3;
    ASSERT_TRUE(open_comm_port());
}
Looks cat(std::initializer_list<Looks> parts) {
    Looks all;
    for (auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
// The wait ended at the look before the last: the last, which brings what it wants, is left.
bool ended_in_time(const std::string &last) {
    return fake::pc().looks.size() == 1 && fake::pc().looks.front().bytes == last;
}

TEST(Clock, RecordRepliesWait360SecondsForTheFirstThen180) {
    // A look `ms` after the wait began (0: none) and the state the step leaves.
    using Step = std::tuple<uint32_t, const char *, seq_state>;
    const seq_state POLL = SEQ_POLL, SEND = SEQ_SEND;
    const std::vector<Step> timeout = {{360000, "", POLL},
                                       {360001, "", SEND},
                                       {0, "", POLL},
                                       {180000, "", POLL},
                                       {180001, "", SEND}};
    const std::tuple<const char *, uint32_t, std::vector<Step>> cases[] = {
        {"no reply", 0, timeout},
        {"no reply, across the tick wrap", 0xFFFFFFFFu - 1000, timeout},
        {"an unknown NOK: the wait goes on from it, noise on the line at its limit",
         0,
         {{10, "NOK7\r\n", POLL}, {180000, "#", POLL}, {180001, "#", SEND}}},
        {"a reply read at the limit",
         0xFFFFFFFFu - 359000,
         {{360000, "OK\r\n", SEND}, {0, "", POLL}, {180000, "", POLL}, {180001, "", SEND}}}};
    for (const auto &[name, tick_base, steps] : cases) {
        SCOPED_TRACE(name);
        open_line(tick_base);
        fake::write_file(fake::scratch() + "/rec.hex", "S1AA\nS1BB\nS1CC\n");
        std::snprintf(download_path, sizeof download_path, "%s/rec.hex", fake::scratch().c_str());
        flash_start(SEQ_OPEN_LOAD), flash_step(), flash_step();
        ASSERT_EQ(flash_state, SEQ_POLL);
        for (const auto &[ms, bytes, state] : steps) {
            if (ms) fake::pc().looks.push_back({ms, bytes});
            EXPECT_EQ(app_step(), ms > 0 && state == POLL); // the state kept
            EXPECT_EQ(flash_state, state) << ms;
            int32_t waited = -1, limit = -1, left = static_cast<int32_t>(reply_wait_ms());
            // The wait line's figures, and the sleep a front end may take: the rest of the limit.
            EXPECT_TRUE(state == POLL ? reply_awaited() && reply_wait(&waited, &limit) &&
                                            static_cast<uint32_t>(waited) == ms / 1000 &&
                                            left + waited * 1000 == limit * 1000
                                      : !reply_awaited() && !left && !reply_wait(&waited, &limit));
        }
    }
}

// The blocking waits: each look is [ms after the wait began, bytes that came]. A last look brings
// what the wait wants; it is still there when the wait ended where it should.
TEST(Clock, BlockingWaitsEndAtTheirLimits) {
    const Looks none4 = {{4000, ""}, {4001, ""}}, none2 = {{2000, ""}, {2001, ""}};
    const Looks opening = cat({none4, none2, none2}), ident = cat({opening, {{2000, "OK"}}});
    const fake::Machine::Look ok{2002, "ATI5\r\r\nI RRFL,40,1234 OK"};
    const std::tuple<const char *, Looks, int> probes[] = {
        {"nothing answers: 4, 2, 2 and 2 s", cat({opening, none2}), PROBE_NO_MODEM},
        {"AT&&F answered at its limit, ATI5 never", cat({ident, none2}), PROBE_NO_MODEM},
        {"AT&&FFL never answered", cat({ident, {{2000, "ATI5\r\r\nI 56K OK"}}, none2}),
         PROBE_NEED_LOADER},
        {"AT&&FGO never answered", cat({ident, {{2000, "ATI5\r\r\nI RRFL,40,1234 OK"}}, none2}),
         PROBE_NO_MODEM}};
    for (const auto &[name, looks, result] : probes) {
        SCOPED_TRACE(name);
        fake::reset(), fake::pc().ports[3] = nullptr, com_port = 3;
        load_modem_type = MODEM_INTERNAL, load_rrfl_sector = 64, load_rrfl_checksum = 0x1234;
        fake::pc().looks = cat({looks, {ok}});
        EXPECT_EQ(open_and_probe_port(), result);
        EXPECT_TRUE(ended_in_time(ok.bytes));
    }
    // The loader's records: 6 s. Asked to stop, it writes nothing.
    for (auto [looks, result, stop] :
         std::vector<std::tuple<Looks, int, int>>{{{{6000, "OK"}}, 1, 0},
                                                  {{{6000, ""}, {6001, "OK"}}, 1, 0},
                                                  {{{6000, ""}, {6001, ""}}, 0, 0},
                                                  {{}, 0, 1}}) {
        open_line();
        fake::write_file(fake::scratch() + "/kivfldr.hex", ":00000001FF");
        hex_file = text_open((fake::scratch() + "/kivfldr.hex").c_str());
        port_stop = stop, fake::pc().looks = cat({looks, {{6002, "OK"}}});
        EXPECT_EQ(flash_download_loader(), result);
        EXPECT_TRUE(stop ? fake::pc().line.empty() : ended_in_time("OK"));
    }
    // The full-erase offer: 6 s for the reply to "Z", read even when it comes as the wait gives up;
    // a NOK code still to come keeps it no longer. A banner before a NOK erased nothing. It sleeps
    // between its looks.
    for (auto [looks, erased] : {std::pair<Looks, int>{{{6000, "Ver:1.4 OK"}}, 1},
                                 {{{6000, ""}, {6001, ""}}, 0},
                                 {{{6000, ""}, {6001, "Ver:1.4 OK"}}, 1},
                                 {{{10, "NO"}, {6000, "K"}, {6001, ""}}, 0},
                                 {{{6000, "Ver:1.4 NOK1"}}, 0}}) {
        open_line(), fake::pc().looks = cat({looks, {{6002, "Ver:1.4 OK"}}});
        EXPECT_EQ(offer_full_erase("Retry?"), erased);
        EXPECT_TRUE(ended_in_time("Ver:1.4 OK") && fake::pc().waits.empty() == (looks.size() == 1));
    }
    // The checksum command: 4 s.
    for (auto [looks, box] :
         {std::pair<Looks, const char *>{{{4000, "CS=GOOD"}}, "    All Done..."},
          {{{4000, "CS=BAD"}, {4001, ""}}, "    Try again..."}}) {
        open_line(), flash_start(SEQ_COMPLETE);
        std::snprintf(cfg_atchecksum, sizeof cfg_atchecksum, "AT&&FCS\r");
        std::snprintf(cfg_checksumresponse, sizeof cfg_checksumresponse, "CS=GOOD");
        fake::pc().looks = cat({looks, {{4002, "CS=GOOD"}}});
        flash_step();
        EXPECT_EQ(fake::pc().boxes.at(0).rfind(box, 0), 0u);
        EXPECT_TRUE(ended_in_time("CS=GOOD"));
        EXPECT_EQ(fake::pc().line, std::string("AT&&FCS\r") + std::string(8, '\0'));
    }
}

// The pauses, as gaps between what reached the modem in a job with the loader and the checksum
// command: 3 s before the search, 5 s before the loader thread is first looked at, 100 ms after it
// before the first record, 1 s before the checksum command. Before every command, loader line, the
// checksum and "Y" the port settles (SkipFlush: it does not); records follow one another without.
TEST(Clock, Pauses) {
    std::vector<long> at[2];
    uint64_t judged = 0; // the loader is done
    for (bool skip : {false, true}) {
        fake::Job job;
        job.modem.rrfl_checksum = 0x9999, job.modem.checksum_cmd = "AT&&FCS";
        job.modem.checksum_reply = "CS=1", job.ini += "atchecksum=AT&&FCS\n";
        job.ini += skip ? "SkipFlush=yes\n" : "";
        job.each_step = [&] {
            uint64_t now = fake::pc().now_ms;
            bool done = flash_state == SEQ_LOADER && loader_ticks && !loader_running();
            judged = done && !judged ? now : judged;
        };
        ASSERT_TRUE(fake::run(job));
        EXPECT_TRUE(job_completed() && !job_stopped() && job_touched_flash());
        for (auto &l : job.model->transcript()) at[skip].push_back(static_cast<long>(l.at / 1000));
        const auto &t = job.model->transcript();
        auto arrival = [&](const std::string &text) { // ms, of the first line so starting
            auto l = std::ranges::find_if(t, [&](auto &x) { return x.text.starts_with(text); });
            return static_cast<long>(l->at / 1000);
        };
        // To the millisecond: each clock read moves the fake clock 1 ms; settling costs 3 more.
        long late = skip ? 0 : 3, sum_after = arrival("AT&&FCS") - arrival("S9");
        auto got = std::make_tuple(arrival("AAAAT"), arrival("S0") - long(judged), sum_after);
        EXPECT_EQ(got, std::make_tuple(3003 + late, 103 + late, 1012 + late));
        judged = 0;
        if (!skip) continue;
        ASSERT_EQ(at[0].size(), at[1].size());
        for (size_t i = 1; i < t.size(); ++i) { // the 5 s sleep hides the settling before S0
            long settled = (at[0][i] - at[0][i - 1]) - (at[1][i] - at[1][i - 1]);
            bool record = t[i].text.rfind("S", 0) == 0 && t[i - 1].text.rfind("S", 0) == 0;
            // 3 ms a settling; 4 after a loader line, settled after its write (mostly hidden in the
            // wait for its reply) and after the reply.
            long want = record ? 0 : t[i - 1].text.starts_with("at&&f:") ? 4 : 3;
            EXPECT_TRUE(!t[i].text.rfind("S0", 0) || settled == want) << t[i].text;
        }
    }
    // Held at its first write (with SkipFlush it looks at no clock before it), the loader thread is
    // first looked at 5 s after it was started.
    fake::Job one;
    one.modem.rrfl_checksum = 0x9999, one.ini += "SkipFlush=yes\n";
    std::atomic<uint64_t> started = 0, looked = 0;
    one.setup = [&] {
        fake::pc().sleep_with_loader = false, fake::pc().on_write = [&] {
            while (!looked && std::this_thread::get_id() != fake::pc().gui)
                std::this_thread::yield();
        };
    };
    one.each_step = [&] {
        if (flash_state == SEQ_LOADER && !started) started = fake::pc().now_ms.load();
        if (flash_state == SEQ_LOADER && loader_ticks == 1 && !looked)
            looked = fake::pc().now_ms.load();
    };
    ASSERT_TRUE(fake::run(one));
    EXPECT_EQ(looked - started, 5000u);
}

// A close confirmed while the loader thread is stuck in a write: the shutdown waits 7 s for it,
// then ends the job anyway; a second close meanwhile changes nothing.
TEST(Clock, ACloseDuringTheUploadWaitsSevenSecondsForTheThread) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the shutdown after the bound closes the port under the stuck thread";
#endif
    fake::Job job;
    std::atomic<bool> stuck = false; // the close must find the thread in its write, not before it
    job.modem.rrfl_checksum = 0x9999, job.setup = [&stuck] {
        fake::pc().sleep_with_loader = false; // the stuck thread would hold the sleep too
        fake::pc().on_write = [&stuck] {
            while (loader_lines_sent.load() == 100 && !fake::pc().window_destroyed)
                stuck = true, std::this_thread::yield();
        };
    };
    uint64_t start = 0, end = 0, ports = 0; // ports open when the window goes: the thread's
    bool closed = false, again = false;
    job.each_step = [&] {
        if (flash_state == SEQ_LOADER && stuck && !closed) closed = true, on_close_request();
        if (flash_state == SEQ_END && !again)
            again = true, start = fake::pc().now_ms, on_close_request();
        if (flash_state == SEQ_DESTROY && !end)
            end = fake::pc().now_ms, ports = fake::pc().open_ports();
    };
    ASSERT_TRUE(fake::run(job));
    EXPECT_EQ(end - start, 7002u);
    EXPECT_EQ(fake::pc().boxes.size(), 2u) << "the erase question, the close's";
    EXPECT_TRUE(fake::pc().line.find('Y') != std::string::npos);
    EXPECT_TRUE(fake::traced("FLASH: Loader thread did not stop in time"));
    EXPECT_TRUE(ports == 1 && fake::pc().open_ports() == 1) << "the port closed under the thread";
}

TEST(Clock, ElapsedTimeAtCompletion) {
    const std::tuple<uint32_t, uint32_t, const char *> cases[] = {
        {0, 125300, "2 Min  5"},
        {0, 59000, "0 Min 59"},
        {0xFFFFFFFFu - 1000, 3601000, "60 Min  1"}};
    for (const auto &[tick_base, elapsed, shown] : cases) {
        open_line(tick_base);
        fake::pc().now_ms = 4000000, start_tick = fake::ticks() - elapsed,
        flash_start(SEQ_COMPLETE), flash_step();
        std::string want = "Programming Completed|Time Elapsed " + std::string(shown) + " Sec.";
        EXPECT_EQ(fake::pc().screens.at(0), want);
    }
    // The summary: the time from the first record to the last acknowledged, in tenths, the rate.
    const std::pair<uint32_t, const char *> sums[] = {
        {0, "0.0 s, 0"}, {1, "0.0 s, 4851000"}, {1000, "1.0 s, 4851"}, {1100, "1.1 s, 4410"}};
    for (auto [ms, shown] : sums) {
        pass_start_tick = 7, last_ack_tick = 7 + ms, bytes_acked = 4851, trace_summary();
        EXPECT_TRUE(fake::pc().debug.end()[-2].ends_with(std::string(shown) + " bytes/s")) << ms;
    }
}

} // namespace
