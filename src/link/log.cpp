#include "link/log.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <atomic>
#include <string>

#include "platform/platform.h"
#include "text/escape.h"
#include "version.h"

namespace {
// The loader thread traces too: one lock keeps every line whole. A spin
// lock, since the Windows build's runtime has no std::mutex; it is held only
// while a line is written.
std::atomic_flag busy = ATOMIC_FLAG_INIT;
struct guard {
    guard() {
        while (busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~guard() { busy.clear(std::memory_order_release); }
};
std::FILE *file;
std::string log_path;
std::string header;
std::string held; // lines written before the load file was known
bool holding;
uint32_t start_ms;
std::string last_status;

// One event, one line: line ends and other control bytes are shown escaped;
// every other byte stays as it is.
std::string escaped(const char *text) { return escape_text(text, std::strlen(text), 0); }

// Called with the lock held; the trace goes to the debugger only, since the
// log is what failed.
void give_up(const char *what) {
    if (file) std::fclose(file);
    file = nullptr;
    holding = false;
    held.clear();
    std::string text =
        "FLASH: Log file " + log_path + " " + what + "; the job goes on without a log";
    plat_debug_output("\n");
    plat_debug_output(text.c_str());
    plat_debug_output("\n");
}

void put(const std::string &line) {
    if (std::fputs(line.c_str(), file) < 0 || std::fflush(file) != 0) give_up("cannot be written");
}
} // namespace

void log_start(const char *path, const char *settings) {
    guard lock;
    if (!path || !path[0]) return;
    log_path = path;
    start_ms = plat_tick_count();
    file = std::fopen(path, "a");
    if (!file) {
        give_up("cannot be opened");
        return;
    }
    char when[32] = "";
    std::time_t now = std::time(nullptr);
    if (const std::tm *t = std::localtime(&now))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", t);
    header = std::string("Quillmarch Flash Loader " FLASHFILE_VERSION ", run of ") + when +
             ", settings " + settings;
    holding = true;
}

void log_load_file(const char *path) {
    guard lock;
    if (!file || !holding) return;
    holding = false;
    put(header + ", load file " + (path && path[0] ? path : "(none)") + "\n");
    if (file) put(held);
    held.clear();
}

void log_line(const char *kind, const char *text) {
    {
        guard lock;
        if (!file) return;
    }
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "%9u ", static_cast<unsigned>(plat_tick_count() - start_ms));
    std::string line = stamp + std::string(kind) + " " + escaped(text) + "\n";
    guard lock;
    if (!file) return;
    if (holding) held += line;
    else put(line);
}

void log_status(const char *line1, const char *line2) {
    std::string both = "\"" + escaped(line1) + "\" \"" + escaped(line2) + "\"";
    {
        guard lock;
        if (!file || both == last_status) return;
        last_status = both;
    }
    log_line("status", both.c_str());
}

void log_end() {
    log_load_file("");
    guard lock;
    if (file) std::fclose(file);
    file = nullptr;
}
