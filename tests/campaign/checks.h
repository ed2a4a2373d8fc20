// What no whole job may do, checked after it: shared by the fault campaign
// and the fuzz targets.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fake/fake.h"
#include "flash/flash.h"
#include "link/link.h"
#include "settings/settings.h"

namespace checks {

inline size_t open_fds() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// The longest a job may take, in ms, from the time-outs and retry limits:
// the named file's pause; per port tried, its six probe waits; the resident
// loader's start; the loader upload (the sleep, every line's wait, the pause
// after it, the wait for a stopped thread); per pass (the first and one per
// Yes to a retry question) the 'Z' wait, the first record's 360 s, and per
// record 8 writes each waiting up to 180 s; the checksum exchange; 20 ms
// per empty write. Each wait gets a second for the program's own work.
inline uint64_t bound_ms(uint64_t ports, uint64_t loader_lines, uint64_t records, uint64_t yes, uint64_t empty_writes) {
    const uint64_t e = 1000;
    return 3000 + ports * (14000 + 6 * e) + 2000 + e + 5000 + loader_lines * (6000 + e) + 100 + 7000 + e +
           (1 + yes) * (6000 + 360000 + 2 * e + records * 8 * (180000 + e)) + 5000 + e + empty_writes * 25;
}

// Watches a job step by step: whether the port was open as the job was
// shut down, when success was decided, and whether it overran its bound
// (it is then stopped).
struct Watch {
    uint64_t bound = UINT64_MAX, decided_us = 0;
    bool port_at_shutdown = false, overran = false, success = false;
};

// Runs the job; "" when everything that holds for every job held.
inline std::string run(fake::Job &job, Watch &w) {
    auto each = job.each_step;
    job.each_step = [&] {
        if (each) each();
        fake::Machine &m = fake::pc();
        if (flash_state == 13 && hComm) w.port_at_shutdown = true;
        if (flash_state == 12 && !w.decided_us) w.decided_us = m.now_ms * 1000;
        if (m.now_ms > w.bound) w.overran = true, job.max_steps = 0;
    };
    size_t fds = open_fds();
    bool destroyed = fake::run(job);
    fake::Machine &m = fake::pc();
    for (auto &s : m.screens) w.success |= s.rfind("Programming Completed|Time Elapsed", 0) == 0;
    bool boxed = std::count(m.boxes.begin(), m.boxes.end(), "    All Done...|Flash Programming Completed") > 0;
    if (!destroyed || w.overran) return "the job did not end within its bound of " + std::to_string(w.bound) + " ms";
    if (w.success != (job_outcome == JOB_COMPLETED) || boxed != (w.success && no_popups != 1))
        return "the outcome shown and the outcome kept disagree";
    if (w.port_at_shutdown && (m.line.empty() || m.line.back() != 'Y'))
        return "the job ended with the port open, but \"Y\" was not the last byte written";
    if (m.open_ports() || hComm) return "a port was left open";
    if (open_fds() != fds) return "a file was left open";
    return "";
}

// The first of `records` that the modem did not answer "OK" to, in order,
// in its last pass (after its last 'Z'), before success was decided; ""
// when it answered them all.
inline std::string unacknowledged(const sim::Modem &modem, const std::vector<std::string> &records, uint64_t decided_us) {
    const auto &t = modem.transcript();
    size_t from = 0, k = 0;
    for (size_t i = 0; i < t.size(); ++i)
        if (t[i].single_char && t[i].text == "Z") from = i + 1;
    sim::usec cut = modem.cable_pulled_at();
    for (size_t i = from; i < t.size() && k < records.size(); ++i)
        if (t[i].text == records[k] && t[i].mode == sim::Mode::FlashLoader && t[i].reply.rfind("OK", 0) == 0 &&
            t[i].reply_at[1] <= static_cast<sim::usec>(decided_us) && (cut < 0 || t[i].reply_at[1] < cut))
            ++k;
    return k < records.size() ? records[k] : "";
}

} // namespace checks
