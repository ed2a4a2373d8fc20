// Everything the terminal program writes. On stdout one record a line:
//   status: "<line 1>" "<line 2>"        (when stdout is not a terminal)
//   progress: <percent>% (<count>/<total>)
//   box: "<caption>" "<text>"            an OK box
//   warning: "<caption>" "<text>"        an OK box with the warning icon
//   question: "<caption>" "<text>"       a Yes/No box, then
//   answer: yes|no [(<why it was not typed>)]
//   file: "<path>"                       the load file chosen
// Texts are quoted with backslash escapes (\\ \" \n \r \t \xNN), so every
// record is one line whatever the text holds. On stderr, with --trace, the
// debug trace one trace a line. On a terminal the picture (status lines
// and bar) stays below them, redrawn in place.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "app/app.h"
#include "posix/posix.h"
#include "text/escape.h"

namespace {

// Output records and the trace are plain ASCII, and every escape can be
// undone: a tool reads the texts back byte for byte.
constexpr unsigned RECORD_ESCAPES = ESCAPE_BACKSLASH | ESCAPE_QUOTE | ESCAPE_HIGH;
constexpr unsigned TRACE_ESCAPES = ESCAPE_BACKSLASH | ESCAPE_HIGH;

bool out_tty, err_tty, trace;

// Guards the screen: the picture and every line written around it.
std::mutex screen_mu;
std::string frame; // the status lines and the bar as last drawn
int frame_rows;    // rows of it below which the cursor stands; 0: none live

// With the lock held: the picture off the screen, the cursor where it began.
void erase_frame() {
    if (frame_rows == 0) return;
    posix::write_all(STDOUT_FILENO, "\r\x1b[" + std::to_string(frame_rows) + "A\x1b[J");
}

void show_frame() {
    posix::write_all(STDOUT_FILENO, frame);
    frame_rows = 0;
    for (char c : frame)
        if (c == '\n') ++frame_rows;
}

void to_stderr(const std::string &line) {
    std::lock_guard<std::mutex> lock(screen_mu);
    bool over_frame = err_tty && out_tty && frame_rows > 0;
    if (over_frame) erase_frame();
    posix::write_all(STDERR_FILENO, line);
    if (over_frame) show_frame();
}

void trace_line(const char *text) {
    if (trace) to_stderr(escape_text(text, std::strlen(text), TRACE_ESCAPES) + "\n");
}

} // namespace

void posix::error_line(const std::string &text) {
    to_stderr("flashfile: " + escape_text(text.data(), text.size(), TRACE_ESCAPES) + "\n");
}

void posix::output_start(bool trace_on) {
    out_tty = isatty(STDOUT_FILENO);
    err_tty = isatty(STDERR_FILENO);
    trace = trace_on;
}

bool posix::out_is_terminal() { return out_tty; }

bool posix::err_is_terminal() { return err_tty; }

void posix::output_end() {
    keep_picture();
    if (out_tty) write_all(STDOUT_FILENO, "\r\x1b[K"); // an echoed "^C"
}

void posix::write_all(int fd, const std::string &s) {
    const char *p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // a closed stdout loses the output, not the job
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string posix::quoted(const char *text) {
    return "\"" + escape_text(text, std::strlen(text), RECORD_ESCAPES) + "\"";
}

// At most its buffer, and never past its terminator.
std::string posix::status_text(const char *line) {
    return escape_text(line, strnlen(line, sizeof status_line1), TRACE_ESCAPES);
}

void posix::emit_record(const std::string &line) {
    std::lock_guard<std::mutex> lock(screen_mu);
    bool live = frame_rows > 0;
    erase_frame();
    // A "^C" that the terminal echoed below the picture goes first.
    write_all(STDOUT_FILENO, (out_tty ? "\r\x1b[K" : "") + line + "\n");
    if (live) show_frame();
}

void posix::show_picture(const std::string &rows) {
    std::lock_guard<std::mutex> lock(screen_mu);
    erase_frame();
    frame = rows;
    show_frame();
}

void posix::keep_picture() {
    std::lock_guard<std::mutex> lock(screen_mu);
    frame_rows = 0;
}

// ---- the platform seam: the debugger output ----

void plat_debug_output(const char *text) {
    // The core frames each trace with a line feed before and after; each
    // trace becomes one line, its own line feeds shown as \n.
    thread_local int part = 0;
    bool line_feed = std::strcmp(text, "\n") == 0;
    if (part == 0 && line_feed) {
        part = 1;
        return;
    }
    if (part == 2 && line_feed) {
        part = 0;
        return;
    }
    trace_line(text);
    part = part == 1 ? 2 : 0;
}
