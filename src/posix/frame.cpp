// The terminal as the main window's face: the two status lines and the bar,
// redrawn in place on a terminal, or as status: and progress: records when
// stdout is not one. Only the main thread paints; a repaint the loader
// thread asks for waits for the main thread's next turn.
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "app/app.h"
#include "posix/posix.h"

namespace {

const std::thread::id MAIN_THREAD = std::this_thread::get_id();

std::atomic<bool> redraw_wanted{false};
bool destroyed;
// A reply this late shows its wait on a third line.
constexpr int32_t OVERDUE_S = 5;
std::string wait_shown;   // that line as last drawn
const char *prompt_line2; // line 2 while a prompt of the program's own waits

// The log of a non-terminal stdout: what it said last.
std::string logged_line1, logged_line2;
bool logged_status;
int logged_tenth = -1;
int32_t logged_total;

int terminal_columns() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
    return 80;
}

std::string wait_line() {
    int32_t waited, limit;
    if (!reply_wait(&waited, &limit) || waited <= OVERDUE_S) return "";
    return "waiting for the modem's answer: " + std::to_string(waited) + " s of " +
           std::to_string(limit) + " s";
}

void draw_terminal(const std::string &line1, const std::string &line2, int bar, int32_t count,
                   int32_t total) {
    int cols = terminal_columns();
    size_t room = static_cast<size_t>(cols - 1);
    std::string f = line1.substr(0, room) + "\x1b[K\n" + line2.substr(0, room) + "\x1b[K\n";
    if (bar) {
        int width = cols - 9 < 50 ? cols - 9 : 50;
        int filled = static_cast<int>(static_cast<int64_t>(width) * count / total);
        int percent = static_cast<int>(static_cast<int64_t>(count) * 100 / total);
        char pct[16];
        std::snprintf(pct, sizeof pct, "] %3d%%", percent);
        f += "[" + std::string(static_cast<size_t>(filled), '#') +
             std::string(static_cast<size_t>(width - filled), '.') + pct + "\x1b[K\n";
    }
    wait_shown = wait_line();
    if (!wait_shown.empty()) f += wait_shown.substr(0, room) + "\x1b[K\n";
    posix::show_picture(f);
}

void draw_log(const std::string &line1, const std::string &line2, int bar, int32_t count,
              int32_t total) {
    if (!logged_status || line1 != logged_line1 || line2 != logged_line2) {
        logged_status = true;
        logged_line1 = line1;
        logged_line2 = line2;
        posix::emit_record("status: " + posix::quoted(status_line1) + " " +
                           posix::quoted(status_line2));
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
    std::snprintf(text, sizeof text, "progress: %d%% (%d/%d)",
                  static_cast<int>(static_cast<int64_t>(count) * 100 / total),
                  static_cast<int>(count), static_cast<int>(total));
    posix::emit_record(text);
}

} // namespace

bool posix::on_main_thread() { return std::this_thread::get_id() == MAIN_THREAD; }

// The paint: on the main thread only, which alone writes the status lines.
void posix::draw() {
    int32_t count, total;
    int bar = bar_numbers(&count, &total);
    std::string line1 = status_text(status_line1);
    std::string line2 = status_text(prompt_line2 ? prompt_line2 : status_line2);
    if (out_is_terminal()) draw_terminal(line1, line2, bar, count, total);
    else draw_log(line1, line2, bar, count, total);
}

void posix::serve_redraw() {
    if (redraw_wanted.exchange(false)) draw();
}

bool posix::window_destroyed() { return destroyed; }

void posix::refresh_wait_line() {
    if (out_is_terminal() && wait_line() != wait_shown) draw();
}

void posix::prompt_status(const char *line2) {
    prompt_line2 = line2;
    draw();
}

// ---- the platform seam: the window ----

int plat_create_main_window(int) {
    init_status_lines();
    posix::draw();
    return 1;
}

void plat_redraw() {
    if (posix::on_main_thread()) {
        redraw_wanted.store(false);
        posix::draw();
        return;
    }
    // The loader thread must not read the status lines: the main thread
    // paints at its next turn.
    redraw_wanted.store(true);
    posix::wake();
}

void plat_destroy_main_window() { destroyed = true; }

void plat_pump_messages() {
    posix::serve_redraw();
    posix::idle_wait(-1, 1);
}

void plat_set_cursor(int) {}
