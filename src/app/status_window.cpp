// What the main window shows and how it reacts, kept apart from the window
// system so that every backend draws the same: the first status texts, the
// progress bar, the close confirmation.
#include <cstdarg>
#include <cstdio>

#include "app/app.h"
#include "flash/flash.h"
#include "link/link.h"
#include "link/log.h"
#include "link/modem_contract.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace {
// Closing in the flashing states asks first.
bool close_needs_confirm() {
    return flash_state == SEQ_LOADER || flash_state == SEQ_OPEN_LOAD || flash_state == SEQ_SEND ||
           flash_state == SEQ_POLL;
}

// A text longer than the line is cut at the end of its buffer.
void set_line(char (&line)[sizeof status_line1], const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
}
} // namespace

void init_status_lines() {
    set_line(status_line1, "Quillmarch Flash Loader Ver:1.4");
    if (cfg_complete == 1) set_line(status_line2, "Searching for %s.", cfg_modemname);
    else set_line(status_line2, "Searching for the Modem.");
    log_status(status_line1, status_line2);
}

int bar_numbers(int32_t *count, int32_t *total) {
    *count = 0;
    *total = 0;
    if (flash_state == SEQ_LOADER) {
        *count = loader_lines_sent.load();
        *total = loader_line_total.load();
    } else if (flash_state == SEQ_SEND || flash_state == SEQ_POLL) {
        *count = bytes_sent;
        *total = load_file_size;
    }
    if (*count <= 0 || *total <= 0) {
        *count = 0;
        *total = 0;
        return 0;
    }
    // Never past the outline, whatever the counters say.
    if (*count > *total) *count = *total;
    return 1;
}

int bar_geometry(int32_t client_right, int32_t dpi_x, int32_t dpi_y, int32_t line_height,
                 plat_rect *outline, plat_rect *fill) {
    int32_t count, total;
    if (!bar_numbers(&count, &total)) return 0;
    int32_t x = dpi_x / 4;
    int32_t y = dpi_y / 4;
    outline->left = x;
    outline->top = y + 3 * line_height;
    outline->right = client_right - x;
    outline->bottom = y + 4 * line_height;
    // Several megabytes times the bar width do not fit 32 bits.
    int64_t width = static_cast<int64_t>(client_right) - 2 * static_cast<int64_t>(x);
    fill->left = x;
    fill->top = outline->top;
    fill->right = static_cast<int32_t>(x + width * count / total);
    fill->bottom = outline->bottom;
    return 1;
}

int on_close_request(int by) {
    // The shutdown under way sends "Y" on the open port, closes it and
    // destroys the window itself; a second close meanwhile (while it waits
    // for the loader thread, say) must not destroy the window, and with it
    // the port, before "Y" went out.
    if (flash_state == SEQ_END && hComm) return CLOSE_IGNORED;
    if (!close_needs_confirm()) {
        job_stopped_by_user();
        // Ending at once, the terminal program's modem still hears that the
        // work is over, unless the job was ending without it (a give-up).
        if (by != CLOSE_BY_WINDOW && hComm && flash_state != SEQ_DESTROY)
            plat_port_transmit_char(hComm, CHAR_END_JOB);
        plat_destroy_main_window();
        return CLOSE_DESTROYED;
    }
    if (by != CLOSE_BY_TERMINATION &&
        message_box("Are you Sure you want to Kill the Flash Loader?",
                    "You May Have Cooked the Flash Chip!", PLAT_MB_YESNO) != PLAT_IDYES) {
        port_stop.store(0); // the job goes on: a stop that cut a wait short is void
        return CLOSE_DECLINED;
    }
    job_stopped_by_user();
    flash_shut_down();
    return CLOSE_SHUTDOWN;
}

bool close_would_ask() { return close_needs_confirm(); }

void question_cut_short() { job_stopped_by_user(); }

void on_window_destroyed() {
    trace_summary();
    log_end();
    // A loader thread that did not stop may still be inside a port call:
    // its port and file are left to the process's end.
    if (loader_busy.load() == 1) return;
    if (hComm) {
        plat_port_close(hComm);
        hComm = nullptr;
    }
    // A close between steps (after the last record, say) comes before the
    // step that would have closed the file.
    if (hex_file) text_close(hex_file);
    hex_file = nullptr;
}
