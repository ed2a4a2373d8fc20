// What no whole job may do, checked after it: shared by the fault campaign and the fuzz targets.
#pragma once

#include <climits>
#include <filesystem>

#include "fake/fake.h"
#include "flash/flash.h"
#include "link/link.h"
#include "settings/settings.h"

namespace checks {

// The longest a job may take (ms), a second more per wait: the named file's pause; six probe waits
// a port; the resident loader's start; the upload (sleep, each line's wait and pause, the wait for
// a stopped thread); per pass (one, and one per Yes to a retry) the 'Z' wait, the first record's
// 360 s and 8 writes of 180 s for every record; the checksum exchange; 25 ms per empty write.
inline uint64_t bound_ms(uint64_t ports, uint64_t loader_lines, uint64_t records, uint64_t yes,
                         uint64_t empty_writes) {
    return 3000 + ports * 20000 + 3000 + 5000 + loader_lines * 7000 + 8100 +
           (1 + yes) * (368000 + records * 8 * 181000) + 6000 + empty_writes * 25;
}

struct Watch { // what a job's steps showed: the port open at the shutdown, when success was decided
    uint64_t bound = UINT64_MAX, decided_us = 0;
    bool port_at_shutdown = false, overran = false, success = false;
};
inline size_t open_fds() {
    return static_cast<size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Runs the job (stopped should it overrun its bound); "" when what holds for every job held.
inline std::string run(fake::Job &job, Watch &w) {
    job.each_step = [&, each = job.each_step] {
        if (each) each();
        w.port_at_shutdown |= flash_state == SEQ_END && hComm;
        w.decided_us =
            flash_state == SEQ_COMPLETE && !w.decided_us ? fake::pc().now_ms * 1000 : w.decided_us;
        if (fake::pc().now_ms > w.bound) w.overran = true, job.max_steps = 0;
    };
    size_t fds = open_fds();
    // The bound stops it; the steps while the loader thread works are many.
    job.max_steps = LONG_MAX;
    bool ended = fake::run(job);
    const fake::Machine &m = fake::pc();
    for (auto &s : m.screens) w.success |= s.rfind("Programming Completed|Time Elapsed", 0) == 0;
    bool boxed = std::count(m.boxes.begin(), m.boxes.end(),
                            "    All Done...|Flash Programming Completed") > 0;
    return !ended || w.overran
               ? "the job did not end within its bound of " + std::to_string(w.bound) + " ms"
           : w.success != (job_outcome == JOB_COMPLETED) || boxed != (w.success && no_popups != 1)
               ? "the outcome shown and the outcome kept disagree"
           : w.port_at_shutdown && !m.hung_up && (m.line.empty() || m.line.back() != 'Y')
               ? "the port was open at the shutdown, but \"Y\" was not the last byte written"
           : m.open_ports() || hComm ? "a port was left open"
           : open_fds() != fds       ? "a file was left open"
                                     : "";
}

// The first of `records` the modem did not answer "OK" to, in order, in its last pass (after its
// last 'Z') and before success was decided; "" when it answered them all.
inline std::string unacknowledged(const sim::Modem &modem, const std::vector<std::string> &records,
                                  uint64_t decided_us) {
    const auto &t = modem.transcript();
    size_t from = 0, k = 0;
    for (size_t i = 0; i < t.size(); ++i)
        from = t[i].single_char && t[i].text == "Z" ? i + 1 : from;
    sim::usec cut = modem.cable_pulled_at(), until = static_cast<sim::usec>(decided_us);
    for (size_t i = from; i < t.size() && k < records.size(); ++i)
        k += t[i].text == records[k] && t[i].mode == sim::Mode::FlashLoader &&
             t[i].reply.rfind("OK", 0) == 0 && t[i].reply_at[1] <= until &&
             (cut < 0 || t[i].reply_at[1] < cut);
    return k < records.size() ? records[k] : "";
}

} // namespace checks
