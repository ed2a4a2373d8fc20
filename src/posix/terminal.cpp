// The terminal as the main window: the status lines and the bar, message
// boxes and questions, the load file prompt, and Ctrl-C as the close box.
// What is shown and how a close is decided comes from the portable shell
// (app/); this file only draws and asks.
//
// Everything the program says on stdout is one record a line:
//   status: "<line 1>" "<line 2>"        (when stdout is not a terminal)
//   progress: <percent>% (<count>/<total>)
//   box: "<caption>" "<text>"            an OK box
//   warning: "<caption>" "<text>"        an OK box with the warning icon
//   question: "<caption>" "<text>"       a Yes/No box, then
//   answer: yes|no [(<why it was not typed>)]
//   file: "<path>"                       the load file chosen
// Texts are quoted with backslash escapes (\\ \" \n \r \t \xNN), so every
// record is one line whatever the text holds.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "app/app.h"
#include "posix/posix.h"
#include "text/escape.h"

namespace {

bool out_tty, in_tty, err_tty;
// Questions need a terminal to answer from and one to ask on.
bool interactive;
int prompt_fd = -1;

// Guards the screen: the picture and every line written around it.
std::mutex screen_mu;
std::string frame; // the status lines and the bar as last drawn
int frame_rows;    // rows of it below which the cursor stands; 0: none live

std::atomic<bool> redraw_wanted{false};
bool destroyed;
bool asking_close; // the question on screen is the close confirmation

std::atomic<int> interrupts{0};
std::atomic<int> terminations{0};
int wake_pipe[2] = {-1, -1};

// The log of a non-terminal stdout: what it said last.
std::string logged_line1, logged_line2;
bool logged_status;
int logged_tenth = -1;
int32_t logged_total;

void write_all(int fd, const std::string &s) {
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

void wake() {
    if (wake_pipe[1] < 0) return;
    int saved = errno;
    char c = 0;
    ssize_t ignored = write(wake_pipe[1], &c, 1);
    (void)ignored;
    errno = saved;
}

void drain_wake_pipe() {
    char buf[64];
    while (read(wake_pipe[0], buf, sizeof buf) > 0) {
    }
}

void on_interrupt(int) {
    interrupts.fetch_add(1);
    wake();
}

void on_terminate(int) {
    terminations.fetch_add(1);
    wake();
}

// Output records and the trace are plain ASCII, and every escape can be
// undone: a tool reads the texts back byte for byte.
constexpr unsigned RECORD_ESCAPES = ESCAPE_BACKSLASH | ESCAPE_QUOTE | ESCAPE_HIGH;
constexpr unsigned TRACE_ESCAPES = ESCAPE_BACKSLASH | ESCAPE_HIGH;

std::string quoted(const char *text) {
    return "\"" + escape_text(text, std::strlen(text), RECORD_ESCAPES) + "\"";
}

// A status line: at most its buffer, and never past its terminator.
std::string status_text(const char *line) {
    return escape_text(line, strnlen(line, sizeof status_line1), TRACE_ESCAPES);
}

int terminal_columns() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
    return 80;
}

// With the lock held: the picture off the screen, the cursor where it began.
void erase_frame() {
    if (frame_rows == 0) return;
    write_all(STDOUT_FILENO, "\r\x1b[" + std::to_string(frame_rows) + "A\x1b[J");
}

void show_frame() {
    write_all(STDOUT_FILENO, frame);
    frame_rows = 0;
    for (char c : frame)
        if (c == '\n') ++frame_rows;
}

// One record on stdout, above the picture.
void emit_record(const std::string &line) {
    std::lock_guard<std::mutex> lock(screen_mu);
    bool live = frame_rows > 0;
    erase_frame();
    // A "^C" that the terminal echoed below the picture goes first.
    write_all(STDOUT_FILENO, (out_tty ? "\r\x1b[K" : "") + line + "\n");
    if (live) show_frame();
}

// The picture stays where it is as part of the history; the next one is
// drawn below what follows.
void keep_frame() {
    std::lock_guard<std::mutex> lock(screen_mu);
    frame_rows = 0;
}

void draw_terminal(const std::string &line1, const std::string &line2, int bar, int32_t count, int32_t total) {
    int cols = terminal_columns();
    size_t room = static_cast<size_t>(cols - 1);
    std::string f = line1.substr(0, room) + "\x1b[K\n" + line2.substr(0, room) + "\x1b[K\n";
    if (bar) {
        int width = cols - 9 < 50 ? cols - 9 : 50;
        int filled = static_cast<int>(static_cast<int64_t>(width) * count / total);
        int percent = static_cast<int>(static_cast<int64_t>(count) * 100 / total);
        char pct[16];
        std::snprintf(pct, sizeof pct, "] %3d%%", percent);
        f += "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '.') +
             pct + "\x1b[K\n";
    }
    std::lock_guard<std::mutex> lock(screen_mu);
    erase_frame();
    frame = f;
    show_frame();
}

void draw_log(const std::string &line1, const std::string &line2, int bar, int32_t count, int32_t total) {
    if (!logged_status || line1 != logged_line1 || line2 != logged_line2) {
        logged_status = true;
        logged_line1 = line1;
        logged_line2 = line2;
        emit_record("status: " + quoted(status_line1) + " " + quoted(status_line2));
    }
    if (!bar) {
        logged_tenth = -1;
        return;
    }
    int tenth = static_cast<int>(static_cast<int64_t>(count) * 10 / total);
    if (tenth == logged_tenth && total == logged_total) return;
    logged_tenth = tenth;
    logged_total = total;
    char text[80];
    std::snprintf(text, sizeof text, "progress: %d%% (%d/%d)", static_cast<int>(static_cast<int64_t>(count) * 100 / total),
                  static_cast<int>(count), static_cast<int>(total));
    emit_record(text);
}

// The paint: on the main thread only, which alone writes the status lines.
void draw() {
    int32_t count, total;
    int bar = bar_numbers(&count, &total);
    std::string line1 = status_text(status_line1), line2 = status_text(status_line2);
    if (out_tty) draw_terminal(line1, line2, bar, count, total);
    else draw_log(line1, line2, bar, count, total);
}

bool close_pending() { return interrupts.load() > 0 || terminations.load() > 0; }

void prompt(const std::string &text) {
    if (prompt_fd >= 0) write_all(prompt_fd, text);
}

enum { GOT_LINE, GOT_SIGNAL, GOT_END };

// A line typed on the terminal, without its line end; a close request or
// the end of input ends the wait.
int read_line(std::string *line) {
    line->clear();
    for (;;) {
        pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        int r = poll(p, 2, -1);
        if (close_pending()) {
            drain_wake_pipe();
            tcflush(STDIN_FILENO, TCIFLUSH); // what was half typed is dropped
            return GOT_SIGNAL;
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            return GOT_END;
        }
        if (p[1].revents) drain_wake_pipe(); // a redraw waits for the answer
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[256];
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return line->empty() ? GOT_END : GOT_LINE;
        line->append(buf, static_cast<size_t>(n));
        size_t eol = line->find('\n');
        if (eol != std::string::npos) {
            line->resize(eol);
            return GOT_LINE;
        }
    }
}

std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// A close by the user cuts a question short: No, and the job ends as soon
// as the step returns (the close request stays for the main loop).
int answer_stopped(const char *why) {
    question_cut_short();
    emit_record(std::string("answer: no (") + why + ")");
    return PLAT_IDNO;
}

int ask(const char *text, const char *caption) {
    keep_frame();
    std::string question = "question: " + quoted(caption) + " " + quoted(text);
    emit_record(question);
    int result;
    if (posix::opts.answer != posix::ASK) {
        bool yes = posix::opts.answer == posix::ANSWER_YES;
        emit_record(yes ? "answer: yes (--yes)" : "answer: no (--no)");
        result = yes ? PLAT_IDYES : PLAT_IDNO;
    } else if (!interactive) {
        emit_record("answer: no (no terminal)");
        result = PLAT_IDNO;
    } else if (asking_close) {
        // Only a Ctrl-C pressed while the question is open answers it.
        interrupts.store(0);
        result = -1;
    } else if (close_pending()) {
        result = answer_stopped("stopping");
    } else
        result = -1;

    if (result < 0 && prompt_fd == STDERR_FILENO) prompt(question + "\n");
    while (result < 0) {
        prompt("y/n, Enter = no: ");
        std::string line;
        int got = read_line(&line);
        if (got == GOT_SIGNAL) {
            prompt("\n");
            if (asking_close) {
                // A second Ctrl-C, or a termination: the close is confirmed.
                const char *why = terminations.load() > 0 ? "terminated" : "Ctrl-C";
                interrupts.store(0);
                terminations.store(0);
                emit_record(std::string("answer: yes (") + why + ")");
                result = PLAT_IDYES;
            } else
                result = answer_stopped(terminations.load() > 0 ? "terminated" : "Ctrl-C");
            break;
        }
        if (got == GOT_END) {
            prompt("\n");
            emit_record("answer: no (end of input)");
            result = PLAT_IDNO;
            break;
        }
        std::string a = trimmed(line);
        for (char &c : a)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (a == "y" || a == "yes") result = PLAT_IDYES;
        else if (a.empty() || a == "n" || a == "no") result = PLAT_IDNO;
        else continue;
        emit_record(result == PLAT_IDYES ? "answer: yes" : "answer: no");
    }
    draw();
    return result;
}

bool is_file(const std::string &path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The dialog's default extension: added to a name that has none.
std::string with_default_ext(const std::string &name, const char *ext) {
    if (!ext || !*ext) return name;
    size_t slash = name.find_last_of('/');
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) return name;
    return name + "." + ext;
}

// 0 when cancelled (end of input, or a close by the user).
int prompt_load_file(plat_open_file *req, std::string *chosen) {
    const std::string def = req->file;
    keep_frame();
    if (close_pending()) {
        question_cut_short();
        return 0;
    }
    for (;;) {
        prompt("Load file [" + def + "]: ");
        std::string line;
        int got = read_line(&line);
        if (got != GOT_LINE) {
            prompt("\n");
            if (got == GOT_SIGNAL) question_cut_short();
            return 0;
        }
        std::string name = trimmed(line);
        if (name.empty()) name = def;
        name = with_default_ext(name, req->def_ext);
        if (name.size() >= req->max_file) {
            prompt("The path is longer than " + std::to_string(req->max_file - 1) + " characters.\n");
            continue;
        }
        // OFN_FILEMUSTEXIST: the dialog takes only a file that is there.
        if ((req->flags & 0x1000) && !is_file(name)) {
            prompt("No such file: " + name + "\n");
            continue;
        }
        *chosen = name;
        return 1;
    }
}

} // namespace

namespace posix {

options opts;

void terminal_start() {
    out_tty = isatty(STDOUT_FILENO);
    in_tty = isatty(STDIN_FILENO);
    err_tty = isatty(STDERR_FILENO);
    interactive = in_tty && (out_tty || err_tty);
    prompt_fd = !interactive ? -1 : out_tty ? STDOUT_FILENO : STDERR_FILENO;

    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) wake_pipe[0] = wake_pipe[1] = -1;
    struct sigaction sa{};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: a question waiting for input must hear it
    sa.sa_handler = on_interrupt;
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_terminate;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr); // the terminal went away
    signal(SIGPIPE, SIG_IGN);
}

void terminal_end() {
    keep_frame();
    if (out_tty) write_all(STDOUT_FILENO, "\r\x1b[K"); // an echoed "^C"
}

void trace_line(const char *text) {
    if (!opts.trace) return;
    std::string line = escape_text(text, std::strlen(text), TRACE_ESCAPES) + "\n";
    std::lock_guard<std::mutex> lock(screen_mu);
    bool over_frame = err_tty && out_tty && frame_rows > 0;
    if (over_frame) erase_frame();
    write_all(STDERR_FILENO, line);
    if (over_frame) show_frame();
}

void serve_redraw() {
    if (redraw_wanted.exchange(false)) draw();
}

int take_close_request() {
    if (terminations.exchange(0) > 0) {
        interrupts.store(0);
        return REQUEST_TERMINATE;
    }
    if (interrupts.exchange(0) > 0) return REQUEST_INTERRUPT;
    return REQUEST_NONE;
}

int serve_close_request(int request) {
    asking_close = true;
    int result = on_close_request(request == REQUEST_TERMINATE ? CLOSE_BY_TERMINATION : CLOSE_BY_TERMINAL);
    asking_close = false;
    return result;
}

bool window_destroyed() { return destroyed; }

void idle_wait(int port_fd, int ms) {
    pollfd p[2] = {{wake_pipe[0], POLLIN, 0}, {port_fd, POLLIN, 0}};
    if (poll(p, port_fd >= 0 ? 2 : 1, ms) > 0 && (p[0].revents & POLLIN)) drain_wake_pipe();
}

} // namespace posix

// ---- the platform seam: window, boxes, dialog, debugger output ----

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
    posix::trace_line(text);
    part = part == 1 ? 2 : 0;
}

int plat_message_box(const char *text, const char *caption, unsigned flags) {
    if ((flags & 0x0F) == PLAT_MB_YESNO) return ask(text, caption);
    bool warning = (flags & 0xF0) == PLAT_MB_ICONWARNING;
    emit_record(std::string(warning ? "warning: " : "box: ") + quoted(caption) + " " + quoted(text));
    return PLAT_IDOK;
}

int plat_get_open_file_name(plat_open_file *req) {
    std::string chosen;
    if (!posix::opts.file.empty()) chosen = posix::opts.file;
    else if (!interactive) chosen = req->file;
    else if (!prompt_load_file(req, &chosen)) return 0;
    if (chosen.size() >= req->max_file) return 0; // refused by the command line already
    std::memcpy(req->file, chosen.c_str(), chosen.size() + 1);
    emit_record("file: " + quoted(req->file));
    return 1;
}

int plat_create_main_window(int) {
    init_status_lines();
    draw();
    return 1;
}

void plat_redraw() {
    if (posix::on_main_thread()) {
        redraw_wanted.store(false);
        draw();
        return;
    }
    // The loader thread must not read the status lines: the main thread
    // paints at its next turn.
    redraw_wanted.store(true);
    wake();
}

void plat_destroy_main_window() { destroyed = true; }

void plat_pump_messages() {
    posix::serve_redraw();
    posix::idle_wait(-1, 1);
}

void plat_set_cursor(int) {}
