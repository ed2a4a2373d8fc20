// Counting the flash loader's answers against the lines written to it.
#include "flash/answers.h"

#include "link/link.h"
#include "link/modem_contract.h"

namespace {

int32_t owed, taken, extra;
int latest;
bool latest_banner;

// What the scan keeps between reads: the two characters before, a "NOK"
// whose code has not come yet, how much of the version banner came.
char before1, before2;
bool nok_open;
int banner_at;
bool banner_seen;

// The reply wait's buffer starts again before it is this full, so that the
// wait's own restart for a flood (which drops what no token needs) never
// comes: every byte is taken here once.
constexpr int32_t RX_KEEP_MAX = 2048;

// By kind, the NOK codes from the fourth on.
const char *const TEXTS[] = {"",         REPLY_OK,   REPLY_NOK, REPLY_NOK1,
                             REPLY_NOK2, REPLY_NOK3, REPLY_NOK4};
constexpr int NOK1_TEXT = 3;

bool wait_over(unsigned units) {
    return plat_tick_count() - wait_start_tick > units * WAIT_UNIT_MS;
}

void matched(int kind) {
    if (owed == 0) {
        ++extra;
    } else {
        --owed, ++taken;
        latest = kind;
        latest_banner = banner_seen;
    }
    banner_seen = false;
}

void scan(char c) {
    if (nok_open) {
        nok_open = false;
        matched(c >= '1' && c <= '4' ? ANSWER_NOK1 + (c - '1') : ANSWER_NOK_OTHER);
    } else if (before1 == 'O' && c == 'K') {
        if (before2 == 'N') nok_open = true;
        else matched(ANSWER_OK);
    }
    banner_at = c == VERSION_TOKEN[banner_at] ? banner_at + 1 : c == VERSION_TOKEN[0] ? 1 : 0;
    if (VERSION_TOKEN[banner_at] == 0) banner_seen = true, banner_at = 0;
    before2 = before1;
    before1 = c;
}

} // namespace

void answers_clear() {
    answers_reset();
    extra = 0;
    before1 = before2 = 0;
    nok_open = banner_seen = false;
    banner_at = 0;
}

void answers_reset() {
    owed = taken = 0;
    latest = ANSWER_NONE;
    latest_banner = false;
}

void answer_owed() { ++owed; }

void answers_take(const char *bytes, int32_t n) {
    for (int32_t i = 0; i < n; ++i) scan(bytes[i]);
}

int32_t answers_owed() { return owed; }
int32_t answers_taken() { return taken; }
int32_t answers_extra() { return extra; }
int answer_latest() { return latest; }
int answer_latest_banner() { return latest_banner ? 1 : 0; }
const char *answer_latest_text() {
    return TEXTS[latest >= ANSWER_NOK1 ? latest - ANSWER_NOK1 + NOK1_TEXT : latest];
}

unsigned poll_answers(unsigned units) {
    if (rx_count > RX_KEEP_MAX) rx_count = 0;
    int32_t from = rx_count;
    unsigned r = wait_for_reply(REPLY_OK, units, 0);
    if (rx_count > from) answers_take(rx_buffer + from, rx_count - from);
    return r;
}

int await_answers(unsigned units) {
    rx_count = 0;
    wait_start_tick = plat_tick_count();
    while (owed > 0) {
        int32_t came = taken + extra;
        unsigned r = poll_answers(units);
        if (r == WAIT_TIMEOUT || port_lost()) return 0;
        // A line that never falls quiet keeps the polling wait from its time-out.
        if (r == WAIT_FOUND && taken + extra == came && wait_over(units)) return 0;
        // Asleep until the next byte or the time-out, as the blocking wait.
        uint32_t ms = reply_left_ms < LINK_STOP_LOOK_MS ? reply_left_ms : LINK_STOP_LOOK_MS;
        if (r == WAIT_PENDING) plat_port_wait(hComm, ms);
    }
    return 1;
}
