// Application shell, on top of the job: start-up, the main loop's step, the
// main window's logic (first status texts, progress bar, close confirmation)
// and what the front ends may ask of the job. The front ends (win32/,
// posix/) use this header and the seam, nothing else of the core; the
// window shows status_line1 and status_line2 (status/status.h).
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "status/status.h"

struct plat_rect {
    int32_t left, top, right, bottom;
};
extern plat_rect progress_rect;

// Sets the first two status lines (called by the backend between creating
// the window and showing it).
void init_status_lines();
// What the bar shows now: 1 with a bar (count of total), 0 without.
int bar_numbers(int32_t *count, int32_t *total);
// The bar's outline and fill for a client width, dots per inch and line height:
// 1 when there is a bar to draw.
int bar_geometry(int32_t client_right, int32_t dpi_x, int32_t dpi_y, int32_t line_height,
                 plat_rect *outline, plat_rect *fill);

// Where a close request comes from. The window's close box asks first in
// the flashing states; outside them it ends the job at once and closes the
// port as it stands. The terminal program's Ctrl-C asks the same, and its
// termination request is a close already confirmed; either tells the modem
// "Y" before a close that ends the job at once, as that program promises
// for every close, unless the job was ending without it (a give-up).
enum { CLOSE_BY_WINDOW = 0, CLOSE_BY_TERMINAL = 1, CLOSE_BY_TERMINATION = 2 };
// What a close request did.
enum { CLOSE_IGNORED = 0, CLOSE_DECLINED = 1, CLOSE_SHUTDOWN = 2, CLOSE_DESTROYED = 3 };
// WM_CLOSE: asks in the flashing states and on Yes hands the shutdown to the
// sequencer; leaves a shutdown that still has a port to close to itself;
// elsewhere destroys the window at once. Either way the job counts as
// stopped by the user.
int on_close_request(int by = CLOSE_BY_WINDOW);
// A close request cut a question or the choice of the load file short: the
// job counts as stopped by the user.
void question_cut_short();
// WM_DESTROY: closes a port still open, unless the loader thread may still
// be using it.
void on_window_destroyed();

// ---- the job, as the main loop sees it ----
// One step of the job (an idle turn of the main loop). True when the job is
// still where the step found it: waiting, for a reply or the loader thread.
bool app_step();
// The modem's answer to a record is awaited: input on the port is worth
// waking for.
bool reply_awaited();
// While a reply is awaited: the milliseconds the main loop may sleep for input
// before the next step is due (the reply's time-out); else 0.
uint32_t reply_wait_ms();
// The loader thread is sending kivfldr.hex.
bool loader_running();
// The port the job has open, nullptr when none.
port_handle job_port();
// How the job ended: completed ("Flash Programming Completed"), stopped by
// the user, or neither (failed, or not ended).
bool job_completed();
bool job_stopped();
// The modem was given work on its flash (the loader upload or a load record
// began): a job that ends otherwise leaves the flash to be programmed again.
bool job_touched_flash();
// A close request now would ask first.
bool close_would_ask();
// Ends the probe's and the reply waits at once, for a stop that will not
// ask; safe in a signal handler.
void stop_waits();
// While a record's answer is awaited: 1, with the seconds waited and allowed.
int reply_wait(int32_t *waited_s, int32_t *limit_s);

// Where the terminal program departs from the window's ways; the window
// program leaves them as they are. Given before app_startup.
struct app_choices {
    const char *load_path = nullptr; // over the settings' filename
    int first_port = 0;              // 1 to 255, over the command line's first character
    bool loader_first = false;       // kivfldr.hex checked before the full-erase question
};
void app_choose(const app_choices &choices);

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
