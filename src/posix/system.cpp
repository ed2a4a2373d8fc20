// Time, threads, the settings reader and the working folder on POSIX.
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "posix/posix.h"
#include "text/profile.h"

namespace {

uint64_t monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

const uint64_t PROGRAM_START_MS = monotonic_ms();

// Asleep until the instant at which monotonic_ms() reaches `ms`: the
// clocks' millisecond boundary itself, never before it.
void sleep_until_ms(uint64_t ms) {
    timespec at{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// The core builds Windows paths ("<folder>\flashfile.ini").
std::string native_path(const char *path) {
    std::string p = path;
    for (char &c : p)
        if (c == '\\') c = '/';
    return p;
}

struct worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

// The program works in the current folder: its "module" lies there.
const char MODULE_PATH[] = ".\\flashfile";

} // namespace

uint32_t plat_tick_count() { return static_cast<uint32_t>(monotonic_ms()); }

int32_t plat_runtime_clock_ms() { return static_cast<int32_t>(monotonic_ms() - PROGRAM_START_MS); }

// Both clocks count the same milliseconds, so the sleep ends on the
// boundary that their callers wait for (a relative sleep would pay up to a
// whole millisecond past it).
void plat_sleep(uint32_t ms) {
    uint64_t until = monotonic_ms() + ms;
    if (!posix::on_main_thread()) {
        sleep_until_ms(until);
        return;
    }
    // The window keeps painting while the main thread sleeps: the loader
    // thread's progress shows from its first lines.
    for (uint64_t now = monotonic_ms(); now < until; now = monotonic_ms()) {
        posix::serve_redraw();
        sleep_until_ms(until - now < 20 ? until : now + 20);
    }
    posix::serve_redraw();
}

thread_handle plat_thread_start(void (*entry)()) {
    worker *w = new worker;
    w->done = std::make_shared<std::atomic<bool>>(false);
    try {
        auto done = w->done;
        w->thread = std::thread([entry, done] {
            entry();
            done->store(true);
        });
    } catch (const std::system_error &) {
        delete w;
        return nullptr;
    }
    return w;
}

void plat_thread_close(thread_handle h) {
    // Closing a Windows thread handle does not wait for the thread: one that
    // has not finished is left to end on its own.
    worker *w = static_cast<worker *>(h);
    if (!w) return;
    if (w->done->load()) w->thread.join();
    else w->thread.detach();
    delete w;
}

uint32_t plat_profile_string(const char *section, const char *key, const char *def, char *out,
                             uint32_t capacity, const char *path) {
    return profile_read_string(section, key, def, out, capacity, native_path(path).c_str());
}

uint32_t plat_module_file_name(char *buf, uint32_t capacity) {
    if (capacity == 0) return 0;
    uint32_t n = static_cast<uint32_t>(sizeof MODULE_PATH - 1);
    if (n >= capacity) {
        std::memcpy(buf, MODULE_PATH, capacity - 1);
        buf[capacity - 1] = 0;
        return capacity;
    }
    std::memcpy(buf, MODULE_PATH, n + 1);
    return n;
}

int plat_set_current_directory(const char *dir) {
    return chdir(native_path(dir).c_str()) == 0 ? 1 : 0;
}
