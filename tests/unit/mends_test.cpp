// Four faults, each held down by a table: the first port from a whole
// command line, a NOK cut by the polling wait's flood restart, a Ctrl-Z in
// the load and loader files, and a close during the loader upload.
#include <chrono>
#include <condition_variable>

#include "flash_fixture.h"

namespace {

using flashtest::Answer;
using flashtest::LinePeer;

TEST(Mends, FirstPortFromTheWholeCommandLine) {
    struct Case {
        const char *line, *args;
        int port;
    } cases[] = {
        {"\"C:\\Tools\\flashfile.exe\"3", "3", 3},
        {"\"C:\\Program Files\\flashfile.exe\" \t 5", "5", 5},
        {"C:\\Tools\\flashfile.exe 7 x", "7 x", 7},
        {"C:\\Pr\xFC" "fung\\flashfile.exe 8", "8", 8},
        {"\"C:\\Tools\\flashfile.exe\" \x01\x1F\xE9", "\xE9", 9},
        {"C:\\Tools\\flashfile.exe   ", "", 0},
        {"\"C:\\Tools\\flashfile.exe\"", "", 0},
        {"C:\\Tools\\flashfile.exe", "", 0},
        {"\"C:\\Tools\\flashfile.exe 3", "", 0},
    };
    for (const Case &c : cases) {
        const char *args = command_line_args(c.line);
        EXPECT_STREQ(args, c.args) << c.line;
        EXPECT_EQ(command_line_port(args), c.port) << c.line;
    }
}

struct MendsFlash : flashtest::Fixture {
    static void answer_questions(int answer) {
        fake::state().answer = [answer](const fake::Box &b) {
            return (b.flags & 0xF) == PLAT_MB_YESNO ? answer : int(PLAT_IDOK);
        };
    }
};

TEST_F(MendsFlash, NokSplitAcrossThePollingRestartIsNeverAnOk) {
    struct Case {
        char code;
        int state;
        const char *line1;
    } cases[] = {{'1', 11, "Abandon Chip!!"},
                 {'2', 7, "Modem could not fine COLON."},
                 {'3', 7, "Modem reports solid Checksum Failure."},
                 {'4', 11, "Abandon Chip!!"}};
    for (const Case &c : cases)
        for (int before = 0; before <= 4; ++before) { // bytes of the NOK before the restart
            SCOPED_TRACE(std::string("NOK") + c.code + " split after " + std::to_string(before));
            TearDown();
            SetUp();
            fake::ScriptedPeer peer;
            open_port(&peer);
            answer_questions(PLAT_IDNO);
            // 51 polls of 80 bytes bring the buffer to its restart at 4080.
            peer.push(std::string(4080 - before, 'x') + "NOK" + c.code + "\r\n");
            flash_state = 8;
            reply_timeout = 90;
            line_len = 11;
            wait_start_tick = fake::ticks();
            for (int i = 0; flash_state == 8 && i < 200; ++i) flash_step();
            EXPECT_EQ(flash_state, c.state);
            EXPECT_EQ(bytes_sent, 0);
            EXPECT_STREQ(status_line1, c.line1);
        }
}

TEST_F(MendsFlash, CtrlZEndsTheLoadAndTheLoaderFile) {
    using L = std::vector<std::string>;
    struct Case {
        size_t keep;             // the file: that much of a record,
        const char *end, *after; // then `end`, Ctrl-Z and `after`
        L loader, load;          // the lines that reach the modem
    } cases[] = {
        {99, "\n", "S1junk\n", {"at&&f:00000001FF", "at&&f"}, {"S9030000FC"}},
        {5, "", "rest\n", {"at&&f:0000"}, {"S9030"}},
        {0, "", "", {"at&&f"}, {}},
    };
    for (const Case &c : cases)
        for (bool loader : {true, false}) {
            std::string file = std::string(loader ? ":00000001FF" : "S9030000FC").substr(0, c.keep) + c.end;
            SCOPED_TRACE((loader ? "loader file " : "load file ") + file);
            TearDown();
            SetUp();
            LinePeer peer;
            peer.answer = [](const std::string &) { return Answer{"OK\r\n", 5}; };
            write_file("f.hex", file + '\x1A' + c.after);
            hex_file = text_open("f.hex");
            open_port(&peer);
            if (loader) {
                EXPECT_EQ(flash_download_loader(), 1);
                EXPECT_EQ(peer.seen(), c.loader);
            } else {
                for (int i = 0; i < 5 && !hex_eof; ++i) send_record(1);
                EXPECT_EQ(peer.seen(), c.load);
            }
        }
}

// Port calls of the loader thread held until the test lets them go: writes
// on a port with CTS low (each then takes nothing, as after its time-out),
// or the looks at the port inside a reply wait.
struct HeldCalls {
    std::mutex m;
    std::condition_variable cv;
    int entered = 0, permits = 0;
    bool waiting = false, open = false;
    void hold() {
        std::unique_lock<std::mutex> lock(m);
        ++entered;
        waiting = true;
        cv.notify_all();
        cv.wait(lock, [&] { return permits > 0 || open; });
        if (!open) --permits;
        waiting = false;
    }
    // Lets the call in progress return, then waits until the thread is held
    // in its next call, or has ended (unsignalled: looked at now and then).
    void let_one_go() {
        std::unique_lock<std::mutex> lock(m);
        int seen = entered;
        ++permits;
        cv.notify_all();
        for (int i = 0; i < 2000 && !(waiting && entered > seen) && loader_busy.load() == 1; ++i)
            cv.wait_for(lock, std::chrono::milliseconds(10));
    }
    void wait_held() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(20), [&] { return waiting; });
    }
    void open_all() {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
};

TEST_F(MendsFlash, ACloseDuringTheLoaderUploadLeavesThePortToTheThreadAndSendsY) {
    enum { WRITE_GIVES_UP, WRITE_NEVER_RETURNS, REPLY_WAIT };
    for (int where : {WRITE_GIVES_UP, WRITE_NEVER_RETURNS, REPLY_WAIT}) {
        SCOPED_TRACE(where);
        bool stops = where != WRITE_NEVER_RETURNS;
        TearDown();
        SetUp();
        fake::ScriptedPeer peer; // never answers
        HeldCalls gate;
        write_file("kivfldr.hex", ":00000001FF\n");
        hex_file = text_open("kivfldr.hex");
        open_port(&peer);
        auto &s = fake::state();
        if (where == REPLY_WAIT) {
            s.on_port_query = [&gate] { gate.hold(); };
        } else {
            for (int i = 0; i < 50; ++i) s.write_script.push_back({fake::WriteOutcome::Empty, 0});
            s.on_write = [&gate] { gate.hold(); };
        }
        answer_questions(PLAT_IDYES);
        // The shutdown waits; meanwhile the held call returns (or not), and
        // once the thread has ended the close box is clicked again.
        bool clicked_again = false;
        s.on_pump = [&] {
            if (stops) gate.let_one_go();
            if (loader_busy.load() == 0 && !clicked_again) {
                clicked_again = true;
                on_close_request();
            }
        };
        flash_state = 4;
        bool asked = false;
        int rc = fake::run_main_loop(100000, [&] {
            if (flash_state == 4 && loader_ticks == 1 && !asked) {
                asked = true;
                gate.wait_held();
                on_close_request();
            }
        });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(s.transmitted, std::vector<char>{'Y'});
        // A thread still inside its write keeps the port, open, to the end.
        EXPECT_EQ(hComm != nullptr, !stops);
        EXPECT_EQ(s.open_handles, stops ? 0 : 1);
        EXPECT_EQ(traced("FLASH: Loader thread did not stop in time"), !stops);
        gate.open_all();
        fake::join_threads();
        EXPECT_EQ(gate.entered, 1); // no call after the one the close found
        EXPECT_TRUE(traced("FLASH: Loader download stopped"));
    }
}

} // namespace
