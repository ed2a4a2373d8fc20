// What the parts of the POSIX front-end share among themselves: the command
// line's choices, the terminal that stands in for the window, the signals
// that stand in for its close box.
#pragma once

#include <string>

#include "platform/platform.h"

namespace posix {

enum { ASK = 0, ANSWER_YES = 1, ANSWER_NO = 2 };

struct options {
    std::string port; // --port: the device behind COM1
    std::string file; // --file: the load file when the settings name none
    int answer = ASK; // --yes / --no
    bool trace = false;
    std::string log; // --log: the log file in place of the settings' logfile
};
// Set once by main before start-up, read-only afterwards (by any thread).
extern options opts;

// ---- terminal (terminal.cpp) ----

// Looks at what stdin, stdout and stderr are and installs the signal
// handlers. Before anything is drawn.
void terminal_start();
// Leaves the last picture on the screen and the cursor below it.
void terminal_end();
// One line of trace on stderr when --trace is given; any thread.
void trace_line(const char *text);
// Draws what a redraw from another thread asked for; main thread only.
void serve_redraw();
// Pending close requests, taken one at a time: 0 none, or one of these.
enum { REQUEST_NONE = 0, REQUEST_INTERRUPT = 1, REQUEST_TERMINATE = 2 };
int take_close_request();
// Serves a close request the way the window's close box is served: the
// question it asks (a second Ctrl-C there means Yes; a termination
// request is a close already confirmed). Returns the app's close result.
int serve_close_request(int request);
bool window_destroyed();
// Waits up to `ms` for the port (fd, or -1) to have input, a signal or a
// redraw request from another thread.
void idle_wait(int port_fd, int ms);

// ---- serial (serial.cpp) ----

// The descriptor behind an open port, -1 for none.
int port_fd(port_handle h);

// ---- system (system.cpp) ----

bool on_main_thread();

} // namespace posix
