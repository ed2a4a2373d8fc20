// What the parts of the POSIX front end share among themselves: the output
// records and the picture on the terminal that stands in for the window,
// the questions asked there, and the signals that stand in for its close
// box. main.cpp hands each part its command line choices at start.
#pragma once

#include <string>

#include "platform/platform.h"

namespace posix {

// ---- output (output.cpp): records on stdout, the trace on stderr ----

// Looks at what stdout and stderr are; --trace: the trace goes to stderr.
void output_start(bool trace);
bool out_is_terminal();
bool err_is_terminal();
// Leaves the last picture on the screen and the cursor below it.
void output_end();
void write_all(int fd, const std::string &s);
// A text in double quotes with every escape an output record uses.
std::string quoted(const char *text);
// A status line as the picture and the log of stdout show it.
std::string status_text(const char *line);
// One record a line on stdout, above the picture.
void emit_record(const std::string &line);
// "flashfile: <text>" on stderr, above the picture: what went wrong, for the
// user whether or not the trace is on.
void error_line(const std::string &text);
// The live picture (status lines and bar) redrawn in place, below the
// records; then kept as history, the next one drawn below what follows.
void show_picture(const std::string &rows);
void keep_picture();

// ---- frame (frame.cpp): the status lines and the bar ----

// The main thread alone paints: it alone writes the status lines.
bool on_main_thread();
void draw();
// Draws what a redraw from another thread asked for; main thread only.
void serve_redraw();
bool window_destroyed();
// While a record's answer is overdue, a third line with the wait so far:
// redrawn when its text changes.
void refresh_wait_line();
// Line 2 while the program waits at a prompt of its own; nullptr: the job's.
void prompt_status(const char *line2);

// ---- questions (questions.cpp): boxes, questions, the load file prompt ----

enum { ASK = 0, ANSWER_YES = 1, ANSWER_NO = 2 };
// `answer`: --yes, --no or ASK; `file`: the --file load file, or "". Before
// anything is asked, after output_start. True when there is a terminal to
// ask on.
bool questions_start(int answer, const std::string &file);
// Serves a close request the way the window's close box is served: the
// question it asks (a second Ctrl-C there means Yes; a termination
// request is a close already confirmed). Returns the app's close result.
int serve_close_request(int request);

// ---- signals (signals.cpp): Ctrl-C, SIGTERM and SIGHUP as the close box ----

// Installs the handlers and the pipe that wakes a waiting main thread; a
// signal ignored at start (nohup) stays ignored. `ask_on_interrupt`: Ctrl-C
// asks for a close; without it, it is a close already confirmed.
void signals_start(bool ask_on_interrupt);
// Whether a Ctrl-C now ends the job without asking: it then cuts the job's
// waits short as a termination does.
void interrupt_at_once(bool at_once);
// Pending close requests, taken one at a time: 0 none, or one of these.
enum { REQUEST_NONE = 0, REQUEST_INTERRUPT = 1, REQUEST_TERMINATE = 2 };
int take_close_request();
bool close_pending();
bool termination_pending();
// Drops the Ctrl-Cs pressed so far; forget_close_requests drops all.
void forget_interrupts();
void forget_close_requests();
// Wakes the main thread's wait (any thread); its descriptor, drained.
void wake();
int wake_fd();
void drain_wake_pipe();
// Waits up to `ms` for the port (fd, or -1) to have input, a signal or a
// redraw request from another thread.
void idle_wait(int port_fd, int ms);

// ---- serial (serial.cpp) ----

// --port: the device behind COM1 ("": the settings or the built-in port).
void use_com1_device(const std::string &device);
// The search without N or --port: COMn are the serial devices present, the
// first of them the highest; their number.
int search_devices();
// --list: one line a device present; their number.
int list_devices();
// The descriptor behind an open port, -1 for none.
int port_fd(port_handle h);

} // namespace posix
