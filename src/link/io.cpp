// Raw port input and output, the pauses and the debug trace.
#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "link/log.h"
#include "settings/settings.h"

namespace {
// Budgets of consecutive empty writes: before the first byte has gone out,
// and after any progress.
constexpr int EMPTY_WRITES_AT_START = 10;
constexpr int EMPTY_WRITES_AFTER_PROGRESS = 200;
constexpr uint32_t EMPTY_WRITE_PAUSE_MS = 20;

// Room for the data, the byte after it, and the zero padding of a chunk
// that starts late after a short write (at most LINK_CHUNK - 1 bytes on).
constexpr int32_t WORK_SIZE = LINK_DATA_MAX + LINK_CHUNK + 1;

// "devicewrite(" + text + ")\n": room for the longest data and the byte
// after it.
constexpr int32_t WRITE_TRACE_SIZE = 12 + LINK_DATA_MAX + 1 + 2 + 1;
} // namespace

void debug_trace(const char *text) {
    plat_debug_output("\n");
    plat_debug_output(text);
    plat_debug_output("\n");
    log_line("trace", text);
}

int32_t devicewrite(port_handle h, const char *data, int32_t length) {
    if (length < 0 || length > LINK_DATA_MAX) {
        char refused[128];
        std::snprintf(refused, sizeof refused,
                      "FLASH: Line too long for the port: %d bytes, at most %d; not sent",
                      static_cast<int>(length), static_cast<int>(LINK_DATA_MAX));
        debug_trace(refused);
        return -1;
    }

    // The text up to its first zero, but never past the byte after the data:
    // a full line buffer holds no terminator, and what lies beyond it is
    // not the caller's.
    char trace[WRITE_TRACE_SIZE];
    int shown = static_cast<int>(strnlen(data, static_cast<size_t>(length) + 1));
    std::snprintf(trace, sizeof trace, "devicewrite(%.*s)\n", shown, data);
    debug_trace(trace);

    // The byte after the data goes out too: a command's terminator, or the
    // character that ended a line in its file.
    char work[WORK_SIZE];
    std::memset(work, 0, sizeof work);
    std::memcpy(work, data, static_cast<size_t>(length) + 1);

    int32_t written = 0;
    int budget = EMPTY_WRITES_AT_START;
    while (length - written > 0 && budget > 0) {
        uint32_t took = 0;
        if (!plat_port_write(h, work + written, LINK_CHUNK, &took)) return -1;
        if (took != static_cast<uint32_t>(LINK_CHUNK))
            debug_trace("FLASH: Write to ComPort Failed");
        if (took > 0) {
            written += static_cast<int32_t>(took);
            budget = EMPTY_WRITES_AFTER_PROGRESS;
        } else {
            pause_ms(EMPTY_WRITE_PAUSE_MS);
            --budget;
        }
        // A write that stalls (with CTS low every retry takes its whole
        // time-out) gives up on a stop request; one that flows ends its line.
        if (took != static_cast<uint32_t>(LINK_CHUNK) && port_stop.load() != 0) break;
    }
    return written;
}

void trace_last_error(const char *format) {
    std::snprintf(trace_buf, sizeof trace_buf, format,
                  static_cast<unsigned long>(plat_last_error()));
    debug_trace(trace_buf);
}

int32_t send_command(port_handle h, const char *text, int32_t length) {
    return devicewrite(h, text, length);
}

int32_t port_rx_pending(port_handle h) {
    uint32_t in_queue = 0;
    if (!plat_port_pending(h, &in_queue)) return -1;
    return static_cast<int32_t>(in_queue);
}

bool port_lost() { return hComm && plat_port_lost(hComm, nullptr, 0); }

int32_t read_port(int32_t offset, int32_t max) {
    int32_t waiting = port_rx_pending(hComm);
    if (waiting < 1) return 0;
    // Never past the terminator's place at the end of the buffer.
    int32_t room = static_cast<int32_t>(sizeof rx_buffer) - 1 - offset;
    if (offset < 0 || room < 1) return 0;
    int32_t want = waiting < max ? waiting : max;
    if (want > room) want = room;
    if (want < 1) return 0;
    uint32_t got = 0;
    if (!plat_port_read(hComm, rx_buffer + offset, static_cast<uint32_t>(want), &got)) {
        std::snprintf(trace_buf, sizeof trace_buf, "<CE-%d>", static_cast<int>(offset));
        debug_trace(trace_buf);
        return 0;
    }
    return static_cast<int32_t>(got);
}

void settle_port() {
    if (skip_flush == 1) return;
    plat_port_clear_break(hComm);
    plat_port_flush(hComm);
    clock_wait(1);
    plat_port_flush(hComm);
}

// Asleep, not spinning; a sleep that ends early is made up, so the pause
// never ends before its boundary.
void pause_ms(uint32_t ms) {
    uint32_t start = plat_tick_count();
    for (uint32_t gone = 0; gone < ms; gone = plat_tick_count() - start) plat_sleep(ms - gone);
}

void clock_wait(int32_t ms) {
    int64_t now = plat_runtime_clock_ms(), until = now + ms;
    for (; now < until; now = plat_runtime_clock_ms())
        plat_sleep(static_cast<uint32_t>(until - now));
}
