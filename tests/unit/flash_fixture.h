// Shared by the flash tests: a peer that answers whole lines with scripted
// replies at chosen times, and a fixture that gives every test a fresh
// program state, a scratch folder and an open port.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/app.h"
#include "fake/fake_platform.h"
#include "fake/sim_peer.h"
#include "flash/flash.h"
#include "identify/identify.h"
#include "link/link.h"

namespace flashtest {

// What a LinePeer answers to one line: the reply text, readable `delay_ms`
// after the line's CR arrived, or `after_wait_ms` after the tick count at
// which the program began to wait for it (the first look at the port after
// the line, less the millisecond that reading the start tick took).
struct Answer {
    std::string text;
    uint64_t delay_ms = 0;
    int64_t after_wait_ms = -1;
};

// Splits what the program writes into lines (the text before each CR; zero
// padding, LF and a 0xFF after a CR are dropped) and answers each one.
struct LinePeer : fake::Peer {
    std::mutex mu;
    std::function<Answer(const std::string &line)> answer; // default: silence
    std::vector<std::string> lines;
    std::vector<uint64_t> line_times;
    std::vector<char> priority;
    std::function<Answer(char c)> answer_char; // for 'Z'
    // Runs (outside the lock) when a line is complete, before its answer is
    // queued; tests use it to hold the writer back.
    std::function<void(const std::string &line)> on_line;

    struct Out {
        uint64_t ready;
        uint8_t b;
    };
    std::deque<Out> out;
    std::string cur;
    bool after_cr = false;
    bool first_look_due = false;
    uint64_t first_look = 0; // when the port was first looked at after the last line
    std::vector<Answer> relative; // waiting for that look to be placed in time

    void queue(const Answer &a, uint64_t now) {
        if (a.after_wait_ms >= 0) {
            relative.push_back(a);
            return;
        }
        for (char ch : a.text) out.push_back({now + a.delay_ms, static_cast<uint8_t>(ch)});
    }
    // Bytes readable from `at_ms` on the fake clock.
    void push_at(uint64_t at_ms, const std::string &text) {
        std::lock_guard<std::mutex> lock(mu);
        for (char ch : text) out.push_back({at_ms, static_cast<uint8_t>(ch)});
    }
    void on_bytes(const uint8_t *p, size_t n, uint64_t now) override {
        std::vector<std::string> done;
        {
            std::lock_guard<std::mutex> lock(mu);
            for (size_t i = 0; i < n; ++i) {
                uint8_t b = p[i];
                bool was_after_cr = after_cr;
                after_cr = false;
                if (b == 0 || b == '\n' || (b == 0xFF && was_after_cr)) continue;
                if (b == '\r') {
                    first_look_due = true;
                    done.push_back(cur);
                    lines.push_back(cur);
                    line_times.push_back(now);
                    cur.clear();
                    after_cr = true;
                    continue;
                }
                cur += static_cast<char>(b);
            }
        }
        for (const auto &l : done) {
            if (on_line) on_line(l);
            std::lock_guard<std::mutex> lock(mu);
            if (answer) queue(answer(l), now);
        }
    }
    void on_priority_char(char c, uint64_t now) override {
        std::lock_guard<std::mutex> lock(mu);
        priority.push_back(c);
        if (answer_char) queue(answer_char(c), now);
    }
    size_t available(uint64_t now) override {
        std::lock_guard<std::mutex> lock(mu);
        if (first_look_due) {
            first_look_due = false;
            first_look = now;
            for (auto &a : relative)
                for (char ch : a.text) out.push_back({now - 1 + a.after_wait_ms, static_cast<uint8_t>(ch)});
            relative.clear();
        }
        size_t k = 0;
        while (k < out.size() && out[k].ready <= now) ++k;
        return k;
    }
    size_t take(uint8_t *dst, size_t n, uint64_t now) override {
        std::lock_guard<std::mutex> lock(mu);
        size_t k = 0;
        while (k < n && !out.empty() && out.front().ready <= now) {
            dst[k++] = out.front().b;
            out.pop_front();
        }
        return k;
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(mu);
        return lines;
    }
};

inline void reset_program() {
    flash_state = 0;
    load_file_size = 0;
    hex_file = nullptr;
    hThread = nullptr;
    loader_ticks = 0;
    reply_timeout = 0;
    send_next_line = 0;
    bytes_sent = 0;
    retry_count = 0;
    hex_eof = 0;
    records_sent = 0;
    elapsed_min = elapsed_sec = 0;
    loader_busy = 0;
    loader_result = 0;
    loader_lines_sent = 0;
    loader_line_total = 0;
    port_stop = 0;
    loader_bad_line = 0;
    load_line_no = 0;
    std::memset(line_buf, 0, sizeof line_buf);
    line_len = 0;

    hComm = nullptr;
    com_port = 0;
    std::memset(rx_buffer, 0, sizeof rx_buffer);
    rx_count = 0;
    wait_start_tick = 0;

    no_popups = 0;
    skip_flush = 0;
    cfg_modemname[0] = cfg_filename[0] = cfg_atcmd[0] = cfg_response[0] = 0;
    cfg_atchecksum[0] = cfg_checksumresponse[0] = 0;
    cfg_complete = 0;
    status_line1[0] = status_line2[0] = 0;
    download_path[0] = 0;
    start_tick = 0;

    load_modem_type = load_rrfl_sector = load_rrfl_checksum = load_type_ok = 0;
    actual_modem_type = actual_sector_size = actual_rrfl_checksum = 0;
}

struct Fixture : ::testing::Test {
    std::filesystem::path dir;
    std::filesystem::path old_cwd;

    void SetUp() override {
        fake::reset();
        reset_program();
        old_cwd = std::filesystem::current_path();
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::path(TEST_BINARY_DIR) / "flash_scratch" /
              (std::string(info->test_suite_name()) + "." + info->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
    }
    void TearDown() override {
        port_stop = 1; // a test that left the thread running lets it end
        fake::join_threads();
        port_stop = 0; // and every later wait runs its course
        if (hex_file) text_close(hex_file);
        hex_file = nullptr;
        if (hComm) plat_port_close(hComm);
        hComm = nullptr;
        std::filesystem::current_path(old_cwd);
    }

    std::string write_file(const std::string &name, const std::string &bytes) {
        std::ofstream f(dir / name, std::ios::binary);
        f << bytes;
        return (dir / name).string();
    }
    static std::string read_file(const std::string &path) {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    // Opens COM3 on `peer` into hComm.
    static void open_port(fake::Peer *peer) {
        fake::add_port(3, peer);
        com_port = 3;
        ASSERT_TRUE(open_comm_port());
        ASSERT_NE(hComm, nullptr);
    }

    // Everything traced, as one entry per debug_trace, without the
    // write traces (which the link tests cover).
    static std::vector<std::string> flash_traces() {
        std::vector<std::string> out;
        for (auto &t : fake::traces())
            if (t.rfind("devicewrite(", 0) != 0) out.push_back(t);
        return out;
    }
    static bool traced(const std::string &text) {
        for (auto &t : fake::traces())
            if (t == text) return true;
        return false;
    }
    static int count_traced(const std::string &text) {
        int n = 0;
        for (auto &t : fake::traces())
            if (t == text) ++n;
        return n;
    }
    static std::vector<std::string> box_list() {
        std::vector<std::string> out;
        for (auto &b : fake::state().boxes) out.push_back(b.caption + "|" + b.text);
        return out;
    }
};

// The bytes of all writes to the line, as they went out.
inline std::string wire_bytes() {
    auto w = fake::wire();
    return std::string(w.begin(), w.end());
}

// What one write call puts on the line for data followed by the byte after
// it: both, then zeros up to the next multiple of 16 (the byte after is cut
// when the data fill the last chunk).
inline std::string padded(const std::string &data, char after) {
    size_t sent = ((data.size() + 15) / 16) * 16;
    std::string s = data + after;
    s.resize(sent, '\0');
    return s;
}

// The states a run passed through: each state once per stretch, and the
// alternation of sending and polling (7, 8, 7, 8, ...) once per pass.
inline std::vector<int> compress_path(const std::vector<int> &steps) {
    std::vector<int> out;
    for (int s : steps) {
        if (!out.empty() && out.back() == s) continue;
        out.push_back(s);
        size_t n = out.size();
        if (n >= 4 && out[n - 1] == out[n - 3] && out[n - 2] == out[n - 4]) out.resize(n - 2);
    }
    return out;
}

// A whole job on the fake machine against the modem model on COM3, with
// the load and loader files copied from the generated test data.
struct Job : Fixture {
    std::unique_ptr<SimPeer> modem;
    std::vector<int> steps; // the state at each step, in order
    std::string load_name;

    sim::ModemConfig config() {
        sim::ModemConfig c;
        c.line_rate = 0; // no pacing: the job's own waits are what is tested
        return c;
    }
    void make_modem(const sim::ModemConfig &c) {
        modem = std::make_unique<SimPeer>(c);
        fake::add_port(3, modem.get());
    }
    static std::string testdata(const std::string &name) {
        return (std::filesystem::path(TEST_BINARY_DIR) / "testdata" / name).string();
    }
    // The load file as "modem.hex" named by the settings, the loader file
    // in the current folder, the search starting at COM3.
    void files(const std::string &load, const std::string &loader = "kivfldr.hex") {
        load_name = load;
        write_file("modem.hex", read_file(testdata(load)));
        if (!loader.empty()) write_file("kivfldr.hex", read_file(testdata(loader)));
        cfg_complete = 1;
        std::snprintf(cfg_filename, sizeof cfg_filename, "%s", "modem.hex");
        std::snprintf(cfg_modemname, sizeof cfg_modemname, "%s", "Test Modem");
        // The settings then name the identification command too.
        std::snprintf(cfg_atcmd, sizeof cfg_atcmd, "%s", "ATI5\r");
        std::snprintf(cfg_response, sizeof cfg_response, "%s", "Quillmarch^RRFL");
        com_port = 3;
        flash_state = 0;
        start_tick = fake::ticks();
    }
    // Runs the main loop to the end; `hook` runs before every step.
    std::vector<int> run(std::function<void()> hook = {}, long max_steps = 60000000) {
        int rc = fake::run_main_loop(max_steps, [&] {
            if (hook) hook();
            steps.push_back(flash_state); // the state this step runs in
        });
        if (rc != 0) {
            std::string tail;
            auto t = fake::traces();
            for (size_t i = t.size() > 12 ? t.size() - 12 : 0; i < t.size(); ++i) tail += "[" + t[i] + "]";
            std::string path;
            for (int st : compress_path(steps)) path += std::to_string(st) + " ";
            ADD_FAILURE() << "the window was not destroyed; states " << path << "; traces " << tail;
        }
        fake::join_threads();
        return compress_path(steps);
    }
    // The modem's flash holds srec_cat's binary of the load, the rest erased.
    void expect_flash_is_load() {
        std::string bin = read_file(testdata(load_name.substr(0, load_name.size() - 4) + ".bin"));
        ASSERT_FALSE(bin.empty());
        const auto &flash = modem->m.flash();
        ASSERT_GE(flash.size(), bin.size());
        EXPECT_TRUE(std::equal(bin.begin(), bin.end(), flash.begin(),
                               [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }))
            << "the flash differs from the load";
        for (size_t i = bin.size(); i < flash.size(); ++i)
            if (flash[i] != 0xFF) {
                ADD_FAILURE() << "flash byte " << i << " is not erased";
                break;
            }
    }
    static std::vector<char> transmitted() { return fake::state().transmitted; }
};

} // namespace flashtest
