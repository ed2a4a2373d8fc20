// Waiting for an expected reply, and checking a reply against a list.
#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "link/modem_contract.h"

namespace {
constexpr int32_t BLOCKING_READ_MAX = 1024;
constexpr int32_t POLLING_READ_MAX = 80;
// The most bytes the buffer holds before its terminator.
constexpr int32_t RX_TEXT_MAX = static_cast<int32_t>(sizeof rx_buffer) - 1;
// The longest token a caller looks for in the buffer after a wait; a
// restart keeps one byte less of the tail, so that none is cut in two.
constexpr int32_t LONGEST_REPLY_TOKEN = sizeof VERSION_TOKEN - 1;
static_assert(LONGEST_REPLY_TOKEN >= static_cast<int32_t>(sizeof REPLY_NOK1 - 1));

bool timed_out(unsigned units) { return (reply_left_ms = reply_time_left(units)) == 0; }

unsigned found() {
    // A prompt in the reply is worth seeing on the debugger.
    if (std::strchr(rx_buffer, '>')) debug_trace(rx_buffer);
    return WAIT_FOUND;
}
} // namespace

uint32_t reply_time_left(unsigned units) {
    uint32_t elapsed = plat_tick_count() - wait_start_tick;
    uint32_t limit = static_cast<uint32_t>(units * WAIT_UNIT_MS);
    return elapsed > limit ? 0 : limit + 1 - elapsed;
}

unsigned wait_for_reply(const char *token, unsigned units, int blocking) {
    if (blocking) {
        rx_count = 0;
        wait_start_tick = plat_tick_count();
        for (;;) {
            int32_t n = read_port(rx_count, BLOCKING_READ_MAX);
            if (n > 0) {
                rx_count += n;
                // Too little room for another read: start again from the
                // beginning; the bytes of this read are dropped unsearched.
                if (rx_count + BLOCKING_READ_MAX > RX_TEXT_MAX) rx_count = 0;
                rx_buffer[rx_count] = 0;
                if (std::strstr(rx_buffer, token)) return found();
            }
            uint32_t left = reply_time_left(units);
            if (left == 0 || port_stop.load() != 0) return WAIT_TIMEOUT;
            // A device that has gone will never answer.
            if (n <= 0 && port_lost()) return WAIT_TIMEOUT;
            if (n <= 0) plat_port_wait(hComm, left < LINK_STOP_LOOK_MS ? left : LINK_STOP_LOOK_MS);
        }
    }

    int32_t n = read_port(rx_count, POLLING_READ_MAX);
    if (n > 0) {
        rx_count += n;
        rx_buffer[rx_count] = 0;
        if (std::strstr(rx_buffer, token)) return found();
        // A modem that floods the line: search what came, then start again
        // from the beginning once another read might not fit, keeping the
        // tail that could be the start of a token split across two reads:
        // the awaited one, or one the caller looks for afterwards (a NOK
        // code whose "NO" came before the restart would otherwise read as
        // "OK").
        if (rx_count + POLLING_READ_MAX > RX_TEXT_MAX) {
            int32_t longest = static_cast<int32_t>(std::strlen(token));
            if (longest < LONGEST_REPLY_TOKEN) longest = LONGEST_REPLY_TOKEN;
            int32_t keep = longest - 1;
            if (keep > rx_count) keep = rx_count;
            std::memmove(rx_buffer, rx_buffer + rx_count - keep, static_cast<size_t>(keep));
            rx_count = keep;
            rx_buffer[rx_count] = 0;
        }
    }
    if (!timed_out(units)) return WAIT_PENDING;
    std::snprintf(trace_buf, sizeof trace_buf, "FLASH: Chars Received = %d ",
                  static_cast<int>(rx_count));
    debug_trace(trace_buf);
    debug_trace(rx_buffer);
    debug_trace("Flash Comm Read Failed");
    return WAIT_TIMEOUT;
}

int match_alternatives(const char *text, const char *list) {
    char copy[256];
    std::snprintf(copy, sizeof copy, "%s", list);
    // Every alternative counts, however many; the first in the list wins.
    int number = 1;
    char *alt = copy;
    for (;;) {
        char *sep = std::strchr(alt, '^');
        if (sep) *sep = 0;
        if (std::strstr(text, alt)) return number;
        if (!sep) return -1;
        alt = sep + 1;
        ++number;
    }
}
