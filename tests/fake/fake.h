// The seam's test backend: a virtual clock, COM ports with the modem model on the line, scripted
// answers to boxes and the dialog, a record of what the program did. `run` plays a whole job.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "model/modem.h"
#include "platform/platform.h"

namespace fake {

struct Machine {
    // GetTickCount is tick_base + now_ms; every read of a clock moves it on 1 ms, so that busy
    // waits end and no test waits in real time.
    std::atomic<uint64_t> now_ms{0};
    uint32_t tick_base = 0;
    bool early_wakes = false; // each sleep of 3 ms or more ends 2 ms early, as a system's may

    // COM ports by number, each with what answers on its line (nullptr: nothing does). `incoming`
    // bytes are readable ahead of the modem's.
    std::map<int, sim::Modem *> ports;
    std::string incoming;
    // Each look at the port (ClearCommError) takes the next of these: the clock is set so that the
    // time-out check after it reads the current wait's start + `ms`, and `bytes` arrive. Exact
    // reply-wait boundaries.
    struct Look {
        uint32_t ms;
        std::string bytes;
    };
    std::deque<Look> looks;
    std::function<void()> on_look; // at each look at the port, before the bytes waiting are counted
    // A look that finds nothing moves the clock on by up to this much, never past the modem's next
    // byte: a PC busy elsewhere. Keeps long waits cheap.
    uint32_t idle_skip_ms = 0;
    std::vector<std::string> reads; // every read that brought bytes, as the program got it
    std::vector<uint32_t> waits;    // each sleep until the port's next byte: the most ms asked
    std::deque<int> write_takes;    // bytes each next WriteFile takes (-1: fails); none: all 16
    // After each WriteFile, outside the lock: a test may hold the writer.
    std::function<void()> on_write;
    std::string line; // every byte that went out, 'Z' and 'Y' included, in order
    std::vector<std::pair<uint64_t, uint32_t>> writes; // each WriteFile: when, bytes offered
    std::vector<int> handles;                          // the port each handle opened, 0 once closed
    int open_ports() const {
        return static_cast<int>(handles.size() - std::count(handles.begin(), handles.end(), 0));
    }
    plat_dcb dcb{}; // what GetCommState reports; SetCommState stores here
    plat_timeouts timeouts{};
    bool fail_get_state = false, fail_set_state = false, fail_pending = false, fail_read = false;
    std::atomic<bool> hung_up{false}; // the device went away: port calls fail, and it says so
    uint32_t last_error = 0;

    std::vector<std::string> debug; // every OutputDebugStringA text
    // "caption|text", with "?" before questions, "!" before warnings.
    std::vector<std::string> boxes;
    std::function<int(const std::string &box)> answer; // default: OK, or Yes
    std::function<int(plat_open_file *)> dialog;       // default: cancelled
    // What the window showed: "line1|line2" at each repaint on the GUI thread, "[wait]" and
    // "[arrow]" as the cursor changed.
    std::vector<std::string> screens;
    std::string module_path = "C:\\fake\\flashfile.exe";
    bool create_fails = false, thread_fails = false;
    int thread_handles = 0; // started and not closed
    std::atomic<bool> window_destroyed{false};
    // The GUI thread's sleep and its wait for the loader thread to stop leave the clock to the
    // loader thread until it ends, as real concurrency would: a job plays the same every time. A
    // test may hold the loader thread (loader_held, until false): the sleep ends, the wait lets go.
    bool sleep_with_loader = true;
    std::atomic<bool> loader_held{false};

    std::vector<std::thread> threads;
    std::thread::id gui = std::this_thread::get_id();
    std::recursive_mutex mu;
};

Machine &pc();
// A fresh machine and program (the core's globals as at start-up); joins any thread still running.
void reset();
void join_threads();
uint32_t ticks(); // GetTickCount now, without moving the clock
bool traced(const std::string &text);

// A whole job as WinMain runs it: the files in a fresh folder that is the program's own, start-up,
// then one sequencer step per turn of the main loop until the window is destroyed.
struct Job {
    sim::ModemConfig modem = quiet();
    int com = 3; // the modem's port (0: none)
    std::string cmdline = "3";
    // [FlashInfo] lines of flashfile.ini; empty: no settings file.
    std::string ini =
        "modemname=Test Modem\nfilename=modem.hex\natcmd=ATI5\nresponse=Quillmarch^RRFL\n";
    std::string load = "load_small.hex"; // test data copied to modem.hex ("": none)
    std::string loader = "kivfldr.hex";  // test data copied to kivfldr.hex ("": none)
    std::string answers;                 // 'y' or 'n' for each question, in order (then Yes)
    std::function<void()> setup;         // after the files are written, before start-up
    std::function<void()> each_step;     // before each step, like a message that arrived
    long max_steps = 20000000;
    std::string root; // the job's folder; empty: <build>/job
    std::string log;  // the log file in place of the settings' logfile
    app_choices choices;

    std::unique_ptr<sim::Modem> model;
    std::string folder;
    static sim::ModemConfig quiet() {
        sim::ModemConfig c;
        c.line_rate = 0; // no pacing: the program's own waits are what counts
        return c;
    }
};
// Returns whether the window was destroyed.
bool run(Job &job);
std::string testdata(const std::string &name);
std::string scratch(); // this test process's own folder
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

} // namespace fake
