// The test backend of the platform seam: a virtual clock, an in-process
// serial line with whatever sits on its far end, scripted answers to
// message boxes and the file dialog, and a record of everything the core
// did to the outside world.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fake {

// The far end of the serial line (a modem model, or a scripted peer).
struct Peer {
    virtual ~Peer() = default;
    // Bytes the program put on the line, as they were written.
    virtual void on_bytes(const uint8_t *p, size_t n, uint64_t now_ms) = 0;
    // A character sent with TransmitCommChar.
    virtual void on_priority_char(char c, uint64_t now_ms) = 0;
    // Bytes ready for the program to read at this time.
    virtual size_t available(uint64_t now_ms) = 0;
    virtual size_t take(uint8_t *out, size_t n, uint64_t now_ms) = 0;
};

// A peer that answers nothing and keeps what it was sent; tests can push
// bytes for the program to read.
struct ScriptedPeer : Peer {
    std::vector<uint8_t> received;
    std::vector<char> priority;
    std::deque<uint8_t> to_send;
    void push(const std::string &s) { to_send.insert(to_send.end(), s.begin(), s.end()); }
    void on_bytes(const uint8_t *p, size_t n, uint64_t) override { received.insert(received.end(), p, p + n); }
    void on_priority_char(char c, uint64_t) override { priority.push_back(c); }
    size_t available(uint64_t) override { return to_send.size(); }
    size_t take(uint8_t *out, size_t n, uint64_t) override {
        size_t k = 0;
        while (k < n && !to_send.empty()) { out[k++] = to_send.front(); to_send.pop_front(); }
        return k;
    }
};

// A scripted peer whose bytes become readable only from given virtual times
// on (push_at in time order); push() bytes are readable at once.
struct TimedPeer : ScriptedPeer {
    std::deque<std::pair<uint64_t, uint8_t>> timed;
    void push_at(uint64_t at_ms, const std::string &s) {
        for (char c : s) timed.emplace_back(at_ms, static_cast<uint8_t>(c));
    }
    size_t available(uint64_t now_ms) override {
        release(now_ms);
        return to_send.size();
    }
    size_t take(uint8_t *out, size_t n, uint64_t now_ms) override {
        release(now_ms);
        return ScriptedPeer::take(out, n, now_ms);
    }
    void release(uint64_t now_ms) {
        while (!timed.empty() && timed.front().first <= now_ms) {
            to_send.push_back(timed.front().second);
            timed.pop_front();
        }
    }
};

// What one WriteFile call did.
struct WriteCall {
    std::vector<uint8_t> data; // the bytes offered (always what the core passed)
    uint32_t requested = 0;
    uint32_t accepted = 0; // bytes that reached the peer
    bool failed = false;
    uint64_t at_ms = 0;
};

// How the next WriteFile calls behave; when the queue is empty, writes are whole.
struct WriteOutcome {
    enum Kind { Whole, Short, Empty, Fail } kind = Whole;
    uint32_t count = 0; // for Short: bytes taken
};

struct Box {
    std::string text, caption;
    unsigned flags = 0;
    int answer = 0;
};

struct Redraw {
    std::string line1, line2;
    int state = -1;          // -1 when drawn for another thread
    int32_t count = 0, total = 0; // the bar's numbers; 0 and 0 without a bar
    bool from_worker = false;
};

struct PortInfo {
    std::string name; // device name the port answers to
    Peer *peer = nullptr;
    plat_dcb initial_dcb{}; // what GetCommState reports
    bool get_state_fails = false;
    bool set_state_fails = false;
};

struct State {
    // ---- clock ----
    std::atomic<uint64_t> now_ms{0}; // virtual milliseconds since reset
    uint32_t tick_base = 0;          // GetTickCount = tick_base + now_ms (wraps)
    std::atomic<uint32_t> tick_step{1}; // each clock read moves time on this much
    int32_t runtime_clock_base = 0;

    // ---- serial ----
    std::vector<PortInfo> ports;
    std::vector<std::string> open_attempts; // every device name passed to open
    int open_handles = 0;                   // opened and not yet closed
    std::deque<size_t> port_handles;        // behind each handle: its index in ports
    std::vector<WriteCall> writes;
    std::deque<WriteOutcome> write_script;
    std::vector<plat_dcb> set_dcbs;         // every SetCommState record
    std::vector<plat_timeouts> set_timeouts;
    int flushes = 0, clear_breaks = 0, pending_queries = 0, reads = 0;
    bool pending_fails = false, read_fails = false, transmit_fails = false;
    // Run at each ClearCommError before it answers: lets a test set the
    // clock (now_ms) exactly, or look at the core's state between polls.
    std::function<void()> on_port_query;
    // Run at each WriteFile, on the writing thread, before it answers: lets
    // a test hold a write as a port with CTS low does.
    std::function<void()> on_write;
    std::vector<uint32_t> read_sizes; // the size asked of each ReadFile
    uint32_t last_error = 0;
    std::vector<char> transmitted; // TransmitCommChar characters, in order

    // ---- debugger output: every OutputDebugStringA call ----
    std::vector<std::string> outputs;

    // ---- message boxes ----
    std::vector<Box> boxes;
    // Default: OK for OK boxes, Yes for questions.
    std::function<int(const Box &)> answer;

    // ---- file dialog ----
    std::vector<plat_open_file> dialogs; // the requests, as the core made them
    std::vector<std::string> dialog_filters; // each filter list with NULs shown as '|'
    std::function<int(plat_open_file *)> dialog; // default: cancelled

    // ---- window ----
    bool create_fails = false;
    bool window_created = false;
    bool window_destroyed = false;
    int created_show_cmd = -1;
    std::vector<Redraw> redraws;
    std::vector<int> cursors;
    std::function<void()> on_pump; // run by plat_pump_messages
    int pumps = 0;

    // ---- threads ----
    bool thread_start_fails = false;
    std::vector<std::thread> threads;
    std::thread::id gui_thread;

    // ---- settings and folders ----
    std::string module_path = "C:\\fake\\flashfile.exe";
    std::vector<std::string> directories_set;
    bool chdir_for_real = true;

    // Events in order: "trace:<text>", "box:<caption>|<text>", "write:<n>",
    // "char:<c>", "redraw", "cursor:wait", "cursor:arrow", "open:<name>", "close".
    std::vector<std::string> events;

    std::mutex mu; // guards the vectors above when the loader thread runs
};

State &state();
// Back to a fresh machine: clock 0, no ports, empty records, default answers.
// Joins any thread still running.
void reset();
// Joins the threads the core started.
void join_threads();

// Adds a COM port backed by a peer, under the name open_comm_port uses.
void add_port(int number, Peer *peer);

// The debug trace texts as debug_trace passes them (the framing line feeds
// removed): one entry per trace.
std::vector<std::string> traces();
// Everything written to the line, concatenated.
std::vector<uint8_t> wire();
std::string wire_text(); // the same, zero bytes shown as "\0"

// Runs the main loop the way WinMain does, flash_step once per empty queue,
// until the window is destroyed or max_steps steps have run. `each_step`
// (if given) runs before each step, like a message that arrived.
int run_main_loop(long max_steps, const std::function<void()> &each_step = {});

uint32_t ticks(); // the tick count now, without moving the clock

} // namespace fake
