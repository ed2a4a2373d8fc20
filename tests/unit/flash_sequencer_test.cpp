// The sequencer's states one by one: the reply limits at their boundaries,
// the boxes of each failure, the completion texts, and the close requests
// in the flashing states, the loader download included.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "flash_fixture.h"

namespace {

using flashtest::Answer;
using FlashJob = flashtest::Job;
using flashtest::LinePeer;
using V = std::vector<int>;
using S = std::vector<std::string>;

const std::string ALL_DONE = "    All Done...|Flash Programming Completed";
const std::string CLOSE_QUESTION = "You May Have Cooked the Flash Chip!|Are you Sure you want to Kill the Flash Loader?";

// ---- the record reply wait, on a clock that moves only when told ----

struct FlashReplyWait : flashtest::Fixture {
    LinePeer peer;
    void SetUp() override {
        flashtest::Fixture::SetUp();
        std::string path = write_file("modem.hex", "S1AAAA\nS1BB\nS1CC\n");
        std::snprintf(download_path, sizeof download_path, "%s", path.c_str());
        load_file_size = 18;
        open_port(&peer);
        skip_flush = 1;
        flash_state = 6;
        flash_step(); // opens the load file
        ASSERT_EQ(flash_state, 7);
        flash_step(); // writes the first record
        ASSERT_EQ(flash_state, 8);
        fake::state().tick_step = 0; // from here the test moves the clock
    }
    // Sets the clock `ms` after the start of the current wait.
    static void at(uint32_t ms) { fake::state().now_ms = uint64_t(wait_start_tick - fake::state().tick_base) + ms; }
    // The poll still waits at exactly `limit_ms` and times out 1 ms later.
    static void expect_limit(uint32_t limit_ms) {
        at(limit_ms);
        flash_step();
        EXPECT_EQ(flash_state, 8) << "at exactly " << limit_ms << " ms the wait still runs";
        at(limit_ms + 1);
        flash_step();
        EXPECT_EQ(flash_state, 7) << "timed out " << limit_ms + 1 << " ms after the write";
    }
    // The next send, with the clock moving as the write needs.
    static void send_next() {
        fake::state().tick_step = 1;
        flash_step();
        ASSERT_EQ(flash_state, 8);
        fake::state().tick_step = 0;
    }
    static int cursor_arrows() {
        int n = 0;
        for (int c : fake::state().cursors) n += c == PLAT_CURSOR_ARROW;
        return n;
    }
};

TEST_F(FlashReplyWait, TheFirstRecordMayTake360SecondsThenEveryWait180) {
    EXPECT_EQ(reply_timeout, 180);
    at(360000);
    flash_step();
    EXPECT_EQ(flash_state, 8); // at exactly the limit the wait still runs
    EXPECT_EQ(cursor_arrows(), 0);
    at(360001);
    flash_step();
    EXPECT_EQ(flash_state, 7);
    EXPECT_EQ(send_next_line, 0);
    EXPECT_EQ(retry_count, 1);
    EXPECT_EQ(reply_timeout, 90);
    EXPECT_EQ(cursor_arrows(), 1); // the arrow returns with the first outcome
    EXPECT_TRUE(traced("FLASH: Timeout Resend"));
    EXPECT_TRUE(traced("Flash Comm Read Failed"));

    send_next(); // the resend
    EXPECT_EQ(peer.seen(), (S{"S1AAAA", "S1AAAA"}));
    expect_limit(180000);
    EXPECT_EQ(retry_count, 2);
    EXPECT_EQ(cursor_arrows(), 1);
}

TEST_F(FlashReplyWait, AReplyReadAtTheLimitCountsAndThe180sLimitFollowsTheFirstReply) {
    peer.push_at(wait_start_tick + 360000, "OK\r\n");
    at(360000);
    flash_step();
    EXPECT_EQ(flash_state, 7);
    EXPECT_EQ(send_next_line, 1);
    EXPECT_EQ(bytes_sent, 7); // "S1AAAA" and its CR
    EXPECT_EQ(reply_timeout, 90);
    EXPECT_EQ(cursor_arrows(), 1);

    send_next();
    expect_limit(180000);
    EXPECT_EQ(bytes_sent, 7);
}

TEST_F(FlashReplyWait, AnUnknownNokKeepsPollingUntilTheTimeOutThenResends) {
    peer.push_at(fake::state().now_ms.load(), "NOK7\r\n");
    flash_step();
    EXPECT_EQ(flash_state, 8);
    EXPECT_TRUE(traced("FLASH: Got a NOK"));
    EXPECT_EQ(reply_timeout, 90);
    expect_limit(180000);
    EXPECT_EQ(send_next_line, 0);
    EXPECT_TRUE(traced("FLASH: Timeout Resend"));
    EXPECT_TRUE(fake::state().boxes.empty());
}

TEST_F(FlashReplyWait, ALastRecordWithoutLineEndIsAwaitedBeforeCompletion) {
    // The mended case: the end of the file is known when the record is
    // written, but only its "OK" completes the job.
    fake::state().tick_step = 1;
    std::string path = write_file("modem2.hex", "S1AA\nS1BB");
    std::snprintf(download_path, sizeof download_path, "%s", path.c_str());
    flash_state = 6;
    flash_step();
    peer.answer = [](const std::string &) { return Answer{"OK\r\n", 5}; };
    while (flash_state == 7 || (flash_state == 8 && hex_eof == 0)) flash_step();
    ASSERT_EQ(flash_state, 8);
    EXPECT_EQ(hex_eof, 1);
    EXPECT_EQ(peer.seen().back(), "S1BB");
    flash_step(); // the reply has not come yet
    EXPECT_EQ(flash_state, 8);
    while (flash_state == 8) flash_step();
    EXPECT_EQ(flash_state, 12);
    EXPECT_EQ(bytes_sent, 10);
    EXPECT_EQ(count_traced("FLASH: Dnld successful"), 1);
}

// ---- states without a modem dialogue of their own ----

struct FlashSteps : flashtest::Fixture {
    std::vector<int> run(long max = 10000000) {
        std::vector<int> steps;
        EXPECT_EQ(fake::run_main_loop(max, [&] { steps.push_back(flash_state); }), 0);
        return flashtest::compress_path(steps);
    }
};

TEST_F(FlashSteps, AMissingLoadFileGivesOneBoxAfterTheNamedFilePause) {
    cfg_complete = 1;
    std::snprintf(cfg_filename, sizeof cfg_filename, "%s", "nowhere.hex");
    EXPECT_EQ(run(), (V{0, 2, 13, 14}));
    EXPECT_EQ(box_list(), S{"File Open Error...|File open failed "});
    EXPECT_EQ(fake::state().boxes[0].flags, unsigned(PLAT_MB_OK | PLAT_MB_ICONWARNING));
    EXPECT_GE(fake::state().now_ms.load(), 3000u);
    EXPECT_LT(fake::state().now_ms.load(), 3100u);
    EXPECT_STREQ(download_path, "nowhere.hex");
    EXPECT_TRUE(fake::state().transmitted.empty());
}

TEST_F(FlashSteps, ACancelledChooserEndsSilently) {
    EXPECT_EQ(run(), (V{0, 2, 13, 14}));
    EXPECT_TRUE(fake::state().boxes.empty());
    EXPECT_EQ(fake::state().dialogs.size(), 1u);
    EXPECT_EQ(flash_traces(), (S{"FLASH: Flash init state", "FLASH: Flash Destroy Window", "", "FLASH: NULL"}));
}

TEST_F(FlashSteps, WithoutAPortTheSearchRunsFrom255DownToCom1) {
    write_file("modem.hex", "S1AA\n");
    cfg_complete = 1;
    std::snprintf(cfg_filename, sizeof cfg_filename, "%s", "modem.hex");
    EXPECT_EQ(run(), (V{0, 2, 3, 9, 13, 14}));
    S tries;
    for (auto &t : fake::traces())
        if (t.rfind("Flash Trying Comm ", 0) == 0) tries.push_back(t);
    ASSERT_EQ(tries.size(), 255u);
    EXPECT_EQ(tries.front(), "Flash Trying Comm 255 ");
    EXPECT_EQ(tries.back(), "Flash Trying Comm 1 ");
    EXPECT_EQ(box_list(), S{"Error...|Modem is not responding.\nPlease try again later."});
    EXPECT_EQ(load_file_size, 5);
    EXPECT_EQ(rx_buffer[0], 0); // the header's characters are gone again
}

TEST_F(FlashSteps, StatesOneAndAboveFourteenDoNothing) {
    for (int s : {1, 15, -1}) {
        flash_state = s;
        flash_step();
        EXPECT_EQ(flash_state, s);
    }
    EXPECT_TRUE(fake::traces().empty());
}

TEST_F(FlashSteps, CompletionTextsAndTheElapsedTime) {
    skip_flush = 1;
    load_file_size = 4321;
    flash_state = 12;
    start_tick = fake::ticks() - 125300;
    flash_step();
    EXPECT_EQ(flash_state, 13);
    EXPECT_EQ(elapsed_min, 2);
    EXPECT_EQ(elapsed_sec, 5);
    EXPECT_EQ(bytes_sent, 4321);
    ASSERT_EQ(fake::state().redraws.size(), 1u);
    EXPECT_EQ(fake::state().redraws[0].line1, "Programming Completed");
    EXPECT_EQ(fake::state().redraws[0].line2, "Time Elapsed 2 Min  5 Sec.");
    EXPECT_EQ(fake::state().redraws[0].count, 0); // no bar in state 12
    // The box comes with the completion texts put back, unpainted.
    EXPECT_STREQ(status_line2, "<100%>  Complete.");
    EXPECT_EQ(box_list(), S{ALL_DONE});
    EXPECT_EQ(fake::state().boxes[0].flags, unsigned(PLAT_MB_OK));
    EXPECT_EQ(fake::state().cursors.back(), PLAT_CURSOR_ARROW);

    no_popups = 1;
    flash_state = 12;
    start_tick = fake::ticks() - 59999;
    flash_step();
    EXPECT_STREQ(status_line2, "Time Elapsed 0 Min 59 Sec.");
    EXPECT_EQ(fake::state().boxes.size(), 1u);
}

// ---- states that talk to the modem model ----

TEST_F(FlashJob, ProbeResult5EndsWithoutBoxOrY) {
    auto c = config();
    c.firmware_running = false;
    c.rrfl_checksum = 0x9999; // a running resident loader that does not fit
    make_modem(c);
    files("load_small.hex", "");
    EXPECT_EQ(run(), (V{0, 2, 3, 14}));
    ASSERT_EQ(fake::state().boxes.size(), 1u);
    EXPECT_EQ(fake::state().boxes[0].caption, "INCOMPATIBLE LOAD"); // the probe's, none of the sequencer's
    EXPECT_TRUE(transmitted().empty());
    EXPECT_FALSE(traced("FLASH: Flash Destroy Window"));
}

TEST_F(FlashJob, AMissingLoaderFileIsNamed) {
    auto c = config();
    c.rrfl_checksum = 0x9999;
    make_modem(c);
    files("load_small.hex", "");
    EXPECT_EQ(run(), (V{0, 2, 3, 5, 13, 14}));
    EXPECT_EQ(box_list(), (S{"MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash",
                             "ERROR|Flash file open failed - kivfldr.hex"}));
    EXPECT_EQ(transmitted(), std::vector<char>{'Y'});
}

TEST_F(FlashJob, AResidentLoaderOfAnotherVersionIsRefused) {
    auto c = config();
    c.rrfl_version = "1.3";
    make_modem(c);
    files("load_small.hex", "");
    EXPECT_EQ(run(), (V{0, 2, 3, 10, 13, 14}));
    EXPECT_EQ(box_list(), S{"Exit...|Version mismatch (Ver:1.4) with RRFL"});
    EXPECT_EQ(transmitted(), std::vector<char>{'Y'});
}

TEST_F(FlashJob, NoOkToTheResidentLoaderStartReportsTheSilentModem) {
    auto c = config();
    sim::Fault f;
    std::string err;
    ASSERT_TRUE(sim::parse_fault("noreply@on=AT&&FGO", false, &f, &err)) << err;
    c.faults = {f};
    make_modem(c);
    files("load_small.hex", "");
    EXPECT_EQ(run(), (V{0, 2, 3, 9, 13, 14}));
    EXPECT_TRUE(traced("FLASH: entering RRFL"));
    EXPECT_EQ(box_list(), S{"Error...|Modem is not responding.\nPlease try again later."});
}

TEST_F(FlashJob, ALongModemNameIsCutSoThatThePortStillShows) {
    make_modem(config());
    files("load_small.hex", "");
    std::string name(200, 'N');
    std::snprintf(cfg_modemname, sizeof cfg_modemname, "%s", name.c_str());
    run();
    bool seen = false;
    for (auto &r : fake::state().redraws)
        if (r.line2 == "Erasing: Please be Patient...") {
            seen = true;
            EXPECT_EQ(r.line1.size(), 127u);
            EXPECT_EQ(r.line1.substr(r.line1.size() - 11), " on COM3...");
            EXPECT_EQ(r.line1.substr(0, 7), "Found N");
        }
    EXPECT_TRUE(seen);
}

TEST_F(FlashJob, ALoadLineTooLongStopsTheJobBeforeItIsSent) {
    make_modem(config());
    files("load_small.hex", "");
    std::string load = read_file(testdata("load_small.hex"));
    size_t third = load.find('\n', load.find('\n', load.find('\n') + 1) + 1);
    load.insert(third, std::string(LINE_MAX_CHARS, '0'));
    write_file("modem.hex", load);
    EXPECT_EQ(run(), (V{0, 2, 3, 10, 6, 7, 8, 7, 13, 14}));
    ASSERT_EQ(fake::state().boxes.size(), 1u);
    EXPECT_EQ(fake::state().boxes[0].caption, "Load File Error");
    EXPECT_EQ(fake::state().boxes[0].text.rfind("Line 3 of the load file\nmodem.hex\n", 0), 0u);
    EXPECT_EQ(modem->m.counters().records, 2);
    EXPECT_EQ(transmitted(), std::vector<char>{'Y'});
}

// ---- closing the window while flashing ----

struct FlashClose : flashtest::Job {
    // Asks to close once, before the first step that finds `when` true.
    std::function<void()> close_when(std::function<bool()> when) {
        auto asked = std::make_shared<bool>(false);
        return [when, asked] {
            if (!*asked && when()) {
                *asked = true;
                on_close_request();
            }
        };
    }
    static void answer_close(int answer) {
        fake::state().answer = [answer](const fake::Box &b) {
            return (b.flags & 0xF) == PLAT_MB_YESNO ? answer : int(PLAT_IDOK);
        };
    }
    void loader_modem() {
        auto c = config();
        c.rrfl_checksum = 0x9999;
        make_modem(c);
        files("load_small.hex");
        answer_close(PLAT_IDYES);
    }
};

TEST_F(FlashClose, ConfirmedInStates6And7And8ShutsDownInOrder) {
    struct Case {
        int state;
        V path;
    } cases[] = {{6, {0, 2, 3, 10, 13, 14}}, {7, {0, 2, 3, 10, 6, 7, 8, 13, 14}},
                 {8, {0, 2, 3, 10, 6, 7, 8, 7, 13, 14}}};
    for (auto &k : cases) {
        SCOPED_TRACE(k.state);
        TearDown();
        SetUp();
        steps.clear();
        make_modem(config());
        files("load_small.hex", "");
        answer_close(PLAT_IDYES);
        int st = k.state;
        V path = run(close_when([st] { return flash_state == st && (st == 6 || records_sent == 3); }));
        EXPECT_EQ(path, k.path);
        EXPECT_EQ(box_list(), S{CLOSE_QUESTION});
        EXPECT_EQ(fake::state().boxes[0].flags, unsigned(PLAT_MB_YESNO));
        EXPECT_EQ(transmitted(), std::vector<char>{'Y'});
        EXPECT_EQ(fake::state().open_handles, 0);
        EXPECT_EQ(modem->m.transcript().back().text, "Y");
    }
}

TEST_F(FlashClose, RefusedInStates4And6And7And8TheJobGoesOn) {
    for (int st : {4, 6, 7, 8}) {
        SCOPED_TRACE(st);
        TearDown();
        SetUp();
        steps.clear();
        loader_modem();
        answer_close(PLAT_IDNO);
        fake::state().answer = [](const fake::Box &b) {
            if (b.caption == "MUST USE FULL ERASE !!! ") return int(PLAT_IDYES);
            return (b.flags & 0xF) == PLAT_MB_YESNO ? int(PLAT_IDNO) : int(PLAT_IDOK);
        };
        V path = run(close_when([st] {
            return flash_state == st && (st != 4 || loader_lines_sent.load() > 100) && (st < 7 || records_sent == 3);
        }));
        EXPECT_EQ(path, (V{0, 2, 3, 5, 4, 6, 7, 8, 12, 13, 14}));
        EXPECT_EQ(box_list(), (S{"MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash", CLOSE_QUESTION,
                                 ALL_DONE}));
        expect_flash_is_load();
    }
}

TEST_F(FlashClose, OutsideTheFlashingStatesTheWindowGoesAtOnce) {
    make_modem(config());
    files("load_small.hex", "");
    V path = run(close_when([] { return flash_state == 3; }));
    EXPECT_EQ(path, (V{0, 2, 3}));
    EXPECT_TRUE(fake::state().boxes.empty());
    EXPECT_TRUE(transmitted().empty());
}

// Holds the loader thread inside one of its writes until let go.
struct GatePeer : fake::Peer {
    fake::Peer *inner;
    long hold_at; // the write call to hold in
    long calls = 0;
    std::mutex m;
    std::condition_variable cv;
    bool held = false, open = false;
    GatePeer(fake::Peer *p, long at) : inner(p), hold_at(at) {}
    void on_bytes(const uint8_t *p, size_t n, uint64_t now) override {
        inner->on_bytes(p, n, now);
        if (++calls != hold_at) return;
        std::unique_lock<std::mutex> lock(m);
        held = true;
        cv.notify_all();
        cv.wait(lock, [&] { return open; });
    }
    void on_priority_char(char c, uint64_t now) override { inner->on_priority_char(c, now); }
    size_t available(uint64_t now) override { return inner->available(now); }
    size_t take(uint8_t *out, size_t n, uint64_t now) override { return inner->take(out, n, now); }
    void wait_held() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return held; });
    }
    void let_go() {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
};

TEST_F(FlashClose, ConfirmedDuringTheLoaderDownloadStopsTheThreadBeforeThePortCloses) {
    auto c = config();
    c.rrfl_checksum = 0x9999;
    modem = std::make_unique<SimPeer>(c);
    GatePeer gate(modem.get(), 1200); // the probe's writes, then some 70 loader lines
    fake::add_port(3, &gate);
    files("load_small.hex");
    answer_close(PLAT_IDYES);
    // The close is asked while the thread is inside a write; it is let go
    // once the sequencer has asked it to stop and waits for it, and each
    // look at the window waits for the thread so that the clock cannot run
    // ahead of it.
    // A second click on the close box while the shutdown waits changes nothing.
    bool clicked_again = false;
    fake::state().on_pump = [&gate, &clicked_again] {
        if (!clicked_again) {
            clicked_again = true;
            on_close_request();
        }
        gate.let_go();
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (loader_busy.load() == 1 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    };
    bool asked = false;
    auto hook = [&gate, &asked] {
        if (flash_state == 4 && loader_ticks >= 1 && !asked) {
            asked = true;
            gate.wait_held();
            on_close_request();
        }
    };
    V path = run(hook);
    EXPECT_EQ(path, (V{0, 2, 3, 5, 4, 13, 14}));
    EXPECT_EQ(box_list(), (S{"MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash", CLOSE_QUESTION}));
    EXPECT_TRUE(traced("FLASH: Loader download stopped"));
    EXPECT_FALSE(traced("FLASH: Loader thread did not stop in time"));
    // Held in line 299 (four writes a line), it finished that one and stopped.
    EXPECT_EQ(modem->m.counters().loader_records, 299);
    EXPECT_GE(fake::state().pumps, 1);
    EXPECT_EQ(loader_result.load(), 0);
    EXPECT_EQ(hex_file, nullptr); // the loader file is closed once the thread is done
    EXPECT_EQ(fake::state().open_handles, 0);

    // The thread's last write and its end come before the "Y" and the close.
    auto &ev = fake::state().events;
    auto find = [&](const std::string &e) { return std::find(ev.begin(), ev.end(), e) - ev.begin(); };
    long last_write = -1;
    for (size_t i = 0; i < ev.size(); ++i)
        if (ev[i].rfind("write:", 0) == 0) last_write = long(i);
    long stopped = find("trace:FLASH: Loader download stopped");
    long y = find("char:Y");
    long closed = find("close");
    EXPECT_LT(last_write, stopped);
    EXPECT_LT(stopped, y);
    EXPECT_LT(y, closed);
    EXPECT_EQ(transmitted(), std::vector<char>{'Y'});
}

TEST_F(FlashClose, AThreadStuckInAWriteIsAwaitedSevenSecondsAtMost) {
    LinePeer peer;
    std::mutex m;
    std::condition_variable cv;
    bool stuck = false, release = false;
    peer.answer = [](const std::string &l) { return l.size() > 6 ? Answer{"OK\r\n", 5} : Answer{}; };
    peer.on_line = [&](const std::string &l) {
        if (l != "at&&f") return;
        std::unique_lock<std::mutex> lock(m);
        stuck = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    };
    write_file("kivfldr.hex", ":020000040000FA\n\n:00000001FF\n");
    hex_file = text_open("kivfldr.hex");
    open_port(&peer);
    flash_state = 4;
    answer_close(PLAT_IDYES);
    uint64_t gave_up = 0, started = 0;
    std::vector<int> steps;
    int rc = fake::run_main_loop(1000000, [&] {
        if (flash_state == 4 && loader_ticks == 1) {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return stuck; });
            lock.unlock();
            on_close_request();
            started = fake::state().now_ms.load();
        }
        if (flash_state == 14 && !gave_up) gave_up = fake::state().now_ms.load();
        steps.push_back(flash_state);
    });
    EXPECT_EQ(rc, 0);
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    fake::join_threads();
    EXPECT_EQ(flashtest::compress_path(steps), (V{4, 13, 14}));
    EXPECT_TRUE(traced("FLASH: Loader thread did not stop in time"));
    EXPECT_GT(gave_up - started, uint64_t(LOADER_STOP_WAIT_MS));
    EXPECT_LT(gave_up - started, uint64_t(LOADER_STOP_WAIT_MS) + 10);
    EXPECT_GT(fake::state().pumps, 1000);
    EXPECT_EQ(fake::state().transmitted, std::vector<char>{'Y'});
    EXPECT_EQ(loader_busy.load(), 0); // it ended once let go
}

} // namespace
