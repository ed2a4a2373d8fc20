// Application shell, on top of the job: start-up and the main window's logic
// (first status texts, progress bar, close confirmation), which every backend
// draws and obeys.
#pragma once

#include <cstdint>

#include "settings/settings.h"
#include "status/status.h"

struct plat_rect {
    int32_t left, top, right, bottom;
};
extern plat_rect progress_rect;

// Sets the first two status lines (called by the backend between creating
// the window and showing it).
void init_status_lines();
// Which count and total the bar shows in a state: 1 with a bar, 0 without.
int bar_numbers(int state, int32_t *count, int32_t *total);
// The bar's outline and fill for a client width, dots per inch and line height:
// 1 when there is a bar to draw.
int bar_geometry(int state, int32_t client_right, int32_t dpi_x, int32_t dpi_y,
                 int32_t line_height, plat_rect *outline, plat_rect *fill);
// Whether closing in this state asks first.
int close_needs_confirm(int state);
// What a close request did.
enum { CLOSE_IGNORED = 0, CLOSE_DECLINED = 1, CLOSE_SHUTDOWN = 2, CLOSE_DESTROYED = 3 };
// WM_CLOSE: asks in the flashing states and on Yes hands the shutdown to the
// sequencer; leaves a shutdown that still has a port to close to itself;
// elsewhere destroys the window at once. `confirmed` skips the question (a
// termination request from the system). Either way the job counts as
// stopped by the user.
int on_close_request(int confirmed = 0);
// WM_DESTROY: closes a port still open, unless the loader thread may still
// be using it.
void on_window_destroyed();

// ---- start-up ----
// The arguments of a whole process command line (as GetCommandLineA gives
// it): after the program name, which runs to its closing quote when it
// starts with one and otherwise to the first character of code 32 or less,
// and after the characters of code 1 to 32 that follow it.
const char *command_line_args(const char *line);
int command_line_port(const char *cmdline); // code of the first character AND 15, or 0
// Steps before the main loop: folder, settings, window, start tick, state, port.
// 0 when the window could not be created.
// `log_path`, when given, is the log file in place of the settings' logfile.
int app_startup(const char *cmdline, int show_cmd, const char *log_path = nullptr);
