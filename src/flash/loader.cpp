// The loader download: the flash-loader image goes to the modem line by line
// as "at&&f" commands, on a worker thread so that the window keeps painting.
#include <cstdio>
#include <cstring>

#include "flash/flash.h"
#include "link/link.h"
#include "link/modem_contract.h"
#include "status/status.h"

namespace {

constexpr int PREFIX_LEN = sizeof LOADER_PREFIX - 1;
// The loader's expected length: the bar's total, and the point from which
// every line asks for a repaint.
constexpr int32_t LOADER_LINES = 603;
constexpr int32_t REDRAW_EVERY = 20;
// The longest command, prefix, line and CR, must go out in one write call.
static_assert(PREFIX_LEN + LINE_MAX_CHARS + 1 <= LINK_DATA_MAX,
              "a loader line would not fit one write");

int stopped() {
    debug_trace("FLASH: Loader download stopped");
    return 0;
}

} // namespace

int flash_download_loader() {
    settle_port();
    std::memcpy(line_buf, LOADER_PREFIX, PREFIX_LEN);
    loader_lines_sent = 0;
    loader_line_total = LOADER_LINES;

    for (;;) {
        // A close confirmed meanwhile: stop between lines, or as soon as a
        // write or a reply wait gives up on it.
        if (port_stop.load() != 0) return stopped();

        int end;
        int n = text_line(hex_file, line_buf + PREFIX_LEN, LINE_MAX_CHARS, false, &end);
        if (n > LINE_MAX_CHARS) {
            // Cutting it would hand the modem a damaged record.
            loader_bad_line = loader_lines_sent.load() + 1;
            return 0;
        }
        // A blank line is not sent: the modem takes "at&&f" alone for a
        // command and answers it, and that answer, not awaited, would pass
        // for the next record's (the last one's then lacks the version).
        if (n == 0 && end == '\n') continue;
        line_len = PREFIX_LEN + n;
        line_buf[line_len] = LINE_END_CR;
        line_buf[line_len + 1] = static_cast<char>(end);
        line_buf[line_len + 2] = 0;

        if (devicewrite(hComm, line_buf, line_len + 1) < 0) {
            trace_last_error("Com Error= %lX ");
        }
        if (port_stop.load() != 0) return stopped();
        settle_port();
        uint32_t written_at = plat_tick_count();
        while (plat_tick_count() == written_at) plat_sleep(1);

        // Only Intel hex records are acknowledged.
        if (line_buf[PREFIX_LEN] == LOADER_RECORD_MARK) {
            if (wait_for_reply(REPLY_OK, UNITS_LOADER_LINE, 1) != WAIT_FOUND)
                return port_stop.load() != 0 ? stopped() : 0;
            settle_port();
        }

        if (end == TEXT_END_MARK) {
            text_close(hex_file);
            hex_file = nullptr;
            settle_port();
            return 1;
        }

        int32_t sent = ++loader_lines_sent;
        if (sent % REDRAW_EVERY == 0 || sent >= loader_line_total.load()) {
            debug_trace("flash_download_loader calls ReDraw()");
            ReDraw();
        }
    }
}

void loader_thread() {
    loader_busy = 1;
    int result = flash_download_loader();
    loader_result = result;
    loader_busy = 0;
}
