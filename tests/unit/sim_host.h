// A PC on the virtual clock for the modem model's own tests: writes go out
// the way the program writes them (16-byte chunks: the data, the byte that
// follows it in the buffer, zero padding), and a wait collects replies from
// an empty buffer and stops as soon as its token has been read, as the
// program's reply wait does.
#pragma once

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "model/modem.h"

struct SimHost {
    sim::Modem &m;
    sim::usec now = 0; // microseconds
    std::string rx;    // what the last wait collected
    std::vector<std::vector<uint8_t>> chunks; // every 16-byte chunk written

    explicit SimHost(sim::Modem &modem) : m(modem) {}

    // devicewrite: `data` followed by `after`, cut to whole 16-byte chunks.
    void write(const std::string &data, char after = '\0') {
        std::string buf = data;
        buf.push_back(after);
        size_t total = (data.size() + 15) / 16 * 16;
        buf.resize(std::max(total, buf.size()), '\0');
        buf.resize(total);
        for (size_t i = 0; i < total; i += 16) {
            chunks.emplace_back(buf.begin() + static_cast<long>(i), buf.begin() + static_cast<long>(i) + 16);
            m.receive(reinterpret_cast<const uint8_t *>(buf.data() + i), 16, now);
        }
    }
    void command(const std::string &cmd) { write(cmd + "\r", '\0'); }
    // A command and its wait for "OK"; true when it came.
    bool ask(const std::string &cmd, long timeout_ms = 2000) {
        command(cmd);
        return wait("OK", timeout_ms);
    }
    // A loader line or record: the line, its CR, the character that ended it.
    void line(const std::string &text, char ended_by = '\n') { write(text + "\r", ended_by); }

    // Reads in 1 ms steps from an empty buffer until `token` has arrived or
    // `timeout_ms` has passed; true when found.
    bool wait(const std::string &token, long timeout_ms) {
        rx.clear();
        for (long t = 0; t <= timeout_ms; ++t) {
            drain();
            if (!token.empty() && rx.find(token) != std::string::npos) return true;
            now += 1000;
        }
        return false;
    }
    // Sends a record line and returns the reply its wait for "OK" collected
    // ("timeout: " and the bytes when none came).
    std::string record(const std::string &text, long timeout_ms = 2000) {
        line(text);
        return wait("OK", timeout_ms) ? rx : "timeout: " + rx;
    }
    // Everything readable now.
    void drain() {
        uint8_t buf[256];
        size_t n;
        while ((n = m.take(buf, sizeof buf, now)) > 0) rx.append(reinterpret_cast<char *>(buf), n);
    }
    // Lets `ms` pass and collects what arrives, from an empty buffer.
    std::string listen(long ms) {
        rx.clear();
        for (long t = 0; t < ms; ++t) {
            drain();
            now += 1000;
        }
        drain();
        return rx;
    }
};

// A file's lines as a text stream reads them (a CR before LF dropped).
inline std::vector<std::string> read_text_lines(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    std::string s = ss.str(), cur;
    std::vector<std::string> out;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        if (c == '\n') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

inline std::vector<uint8_t> read_binary(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline std::string testdata(const std::string &name) { return std::string(TEST_BINARY_DIR) + "/testdata/" + name; }
