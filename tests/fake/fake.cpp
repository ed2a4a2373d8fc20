#include "fake/fake.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/app.h"
#include "flash/answers.h"
#include "flash/flash.h"
#include "identify/identify.h"
#include "link/link.h"
#include "text/profile.h"
#include "settings/settings.h"

namespace fake {

using Lock = std::lock_guard<std::recursive_mutex>;
uint64_t advance() { return pc().now_ms.fetch_add(1); }
sim::usec us(uint64_t ms) { return static_cast<sim::usec>(ms) * 1000; }
// The port a handle has open: 0 once it is closed. Calls on such a handle fail.
int port_of(port_handle h) {
    size_t i = static_cast<size_t>(reinterpret_cast<intptr_t>(h));
    return i >= 1 && i <= pc().handles.size() ? pc().handles[i - 1] : 0;
}
sim::Modem *modem_of(port_handle h) {
    auto p = pc().ports.find(port_of(h));
    return p == pc().ports.end() ? nullptr : p->second;
}

namespace {
Machine *g_pc = nullptr;

void reset_program() {
    if (hex_file) text_close(hex_file);
    hex_file = nullptr, hThread = nullptr, hComm = nullptr;
    flash_start();
    records_sent = retry_count = bytes_sent = load_file_size = com_port = rx_count = 0;
    loader_busy = loader_result = loader_lines_sent = loader_line_total = port_stop =
        loader_bad_line = 0;
    std::memset(rx_buffer, 0, sizeof rx_buffer);
    answers_clear();
    std::memset(&comm_dcb, 0, sizeof comm_dcb);
    read_flash_settings(nullptr, cfg_modemname, cfg_filename);
    cfg_complete = 0;
    status_line1[0] = status_line2[0] = download_path[0] = 0;
    load_modem_type = load_rrfl_sector = load_rrfl_checksum = load_type_ok = 0;
    actual_modem_type = actual_sector_size = actual_rrfl_checksum = 0;
}
} // namespace

Machine &pc() {
    if (!g_pc) g_pc = new Machine;
    return *g_pc;
}

void join_threads() {
    for (auto &t : pc().threads)
        if (t.joinable()) t.join();
    pc().threads.clear();
}

void reset() {
    if (g_pc) join_threads();
    delete g_pc;
    g_pc = new Machine;
    reset_program();
}

uint32_t ticks() { return pc().tick_base + static_cast<uint32_t>(pc().now_ms.load()); }

bool traced(const std::string &text) {
    Lock lock(pc().mu);
    return std::find(pc().debug.begin(), pc().debug.end(), text) != pc().debug.end();
}

std::string testdata(const std::string &name) {
    return std::string(TEST_BINARY_DIR) + "/testdata/" + name;
}

// Each test process has its own folder, so that ctest may run them side by side.
std::string scratch() {
    static const struct Dir {
        std::string path = std::string(TEST_BINARY_DIR) + "/scratch/" + std::to_string(getpid());
        Dir() { std::filesystem::create_directories(path); }
        ~Dir() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } dir;
    return dir.path;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

bool run(Job &job) {
    reset();
    Machine &m = pc();
    job.folder = job.root.empty() ? scratch() + "/job" : job.root;
    std::filesystem::remove_all(job.folder);
    std::filesystem::create_directories(job.folder);
    if (!job.ini.empty()) write_file(job.folder + "/flashfile.ini", "[FlashInfo]\n" + job.ini);
    if (!job.load.empty()) write_file(job.folder + "/modem.hex", read_file(testdata(job.load)));
    if (!job.loader.empty())
        write_file(job.folder + "/kivfldr.hex", read_file(testdata(job.loader)));
    job.model = std::make_unique<sim::Modem>(job.modem);
    if (job.com) m.ports[job.com] = job.model.get();
    m.module_path = job.folder + "\\flashfile.exe";
    m.answer = [&job](const std::string &box) { // the next answer, then Yes
        char a = box[0] != '?' ? 'o' : job.answers.empty() ? 'y' : job.answers[0];
        if (a != 'o' && !job.answers.empty()) job.answers.erase(0, 1);
        return static_cast<int>(a == 'o' ? PLAT_IDOK : a == 'n' ? PLAT_IDNO : PLAT_IDYES);
    };
    if (job.setup) job.setup();
    app_choose(job.choices);
    if (!app_startup(job.cmdline.c_str(), 1, job.log.c_str())) return false;
    for (long n = 0; !m.window_destroyed && n < job.max_steps; ++n) {
        if (job.each_step) job.each_step();
        // The main loop sleeps while the loader thread works: the thread gets on, however busy
        // the machine.
        if (!m.window_destroyed && app_step() && loader_running())
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    join_threads();
    return m.window_destroyed;
}

} // namespace fake

using fake::pc;

// ---- serial ----

port_handle plat_port_open(const char *device_name) {
    for (auto &p : pc().ports) {
        char name[32];
        std::snprintf(name, sizeof name, p.first <= 9 ? "COM%d:19200,n,8,1" : "\\\\.\\COM%d",
                      p.first);
        if (std::strcmp(name, device_name) == 0) {
            pc().handles.push_back(p.first);
            return reinterpret_cast<port_handle>(static_cast<intptr_t>(pc().handles.size()));
        }
    }
    pc().last_error = 2; // ERROR_FILE_NOT_FOUND
    return nullptr;
}

const char *plat_port_note() { return ""; }
const char *plat_port_label() { return ""; }

void plat_port_close(port_handle h) {
    fake::Lock lock(pc().mu);
    if (fake::port_of(h)) pc().handles[static_cast<size_t>(reinterpret_cast<intptr_t>(h)) - 1] = 0;
}

int plat_port_get_state(port_handle, plat_dcb *dcb) {
    if (pc().fail_get_state) return pc().last_error = 0x57, 0;
    *dcb = pc().dcb;
    dcb->DCBlength = sizeof(plat_dcb);
    return 1;
}

int plat_port_set_state(port_handle, const plat_dcb *dcb) {
    if (pc().fail_set_state) return pc().last_error = 0x1F, 0;
    pc().dcb = *dcb;
    return 1;
}

int plat_port_set_timeouts(port_handle, const plat_timeouts *t) { return pc().timeouts = *t, 1; }

int plat_port_write(port_handle h, const void *data, uint32_t n, uint32_t *written) {
    fake::Machine &m = pc();
    {
        fake::Lock lock(m.mu);
        int take = m.write_takes.empty() ? static_cast<int>(n) : m.write_takes.front();
        if (!m.write_takes.empty()) m.write_takes.pop_front();
        m.writes.emplace_back(m.now_ms.load(), n);
        if (take < 0 || !fake::port_of(h) || m.hung_up) return m.last_error = 0x1F, *written = 0, 0;
        *written = static_cast<uint32_t>(take);
        m.line.append(static_cast<const char *>(data), static_cast<size_t>(take));
        if (sim::Modem *modem = fake::modem_of(h))
            modem->receive(static_cast<const uint8_t *>(data), static_cast<size_t>(take),
                           fake::us(m.now_ms.load()));
    }
    if (m.on_write) m.on_write();
    return 1;
}

int plat_port_pending(port_handle h, uint32_t *in_queue) {
    fake::Machine &m = pc();
    fake::Lock lock(m.mu);
    if (!m.looks.empty()) {
        fake::Machine::Look l = m.looks.front();
        m.looks.pop_front();
        m.now_ms += static_cast<uint32_t>(wait_start_tick + l.ms - 1 - fake::ticks());
        m.incoming += l.bytes;
    }
    if (m.on_look) m.on_look();
    if (m.fail_pending || !fake::port_of(h) || m.hung_up) return 0;
    sim::Modem *modem = fake::modem_of(h);
    uint64_t now = fake::advance();
    *in_queue =
        static_cast<uint32_t>(m.incoming.size() + (modem ? modem->available(fake::us(now)) : 0));
    sim::usec next = modem && !*in_queue && m.idle_skip_ms ? modem->next_output_time() : -1;
    if (!*in_queue)
        m.now_ms +=
            next < 0 ? m.idle_skip_ms
                     : std::min<uint64_t>(m.idle_skip_ms,
                                          std::max<sim::usec>(0, (next + 999) / 1000 -
                                                                     static_cast<sim::usec>(now)));
    return 1;
}

// Kept; no time passes: each read of the clock moves it on, so every time-out keeps its boundary.
void plat_port_wait(port_handle, uint32_t ms) { pc().waits.push_back(ms); }

int plat_port_read(port_handle h, void *data, uint32_t n, uint32_t *got) {
    fake::Machine &m = pc();
    fake::Lock lock(m.mu);
    if (m.fail_read || !fake::port_of(h)) return m.last_error = 0x1E, *got = 0, 0;
    uint32_t k = std::min<uint32_t>(n, static_cast<uint32_t>(m.incoming.size()));
    std::memcpy(data, m.incoming.data(), k);
    m.incoming.erase(0, k);
    if (sim::Modem *modem = fake::modem_of(h))
        k += static_cast<uint32_t>(
            modem->take(static_cast<uint8_t *>(data) + k, n - k, fake::us(m.now_ms)));
    if ((*got = k)) m.reads.emplace_back(static_cast<const char *>(data), k);
    return 1;
}

int plat_port_clear_break(port_handle) { return 1; }
int plat_port_flush(port_handle) { return 1; }

int plat_port_transmit_char(port_handle h, char c) {
    fake::Lock lock(pc().mu);
    if (!fake::port_of(h) || pc().hung_up) return 0;
    pc().line += c;
    if (sim::Modem *modem = fake::modem_of(h)) modem->priority_char(c, fake::us(pc().now_ms));
    return 1;
}

uint32_t plat_last_error() { return pc().last_error; }
int plat_port_lost(port_handle h, char *why, uint32_t size) {
    return pc().hung_up && h && (!why || std::snprintf(why, size, "/dev/ttyUSB0 hung up"));
}

// ---- time ----

uint32_t plat_tick_count() { return pc().tick_base + static_cast<uint32_t>(fake::advance()); }
int32_t plat_runtime_clock_ms() { return static_cast<int32_t>(fake::advance()); }
namespace fake {
// With sleep_with_loader, on the GUI thread: waits until the loader thread ends or is held
// (`release` lets a held one go first); 1 when it waited so.
bool await_loader(bool release) {
    if (!pc().sleep_with_loader || std::this_thread::get_id() != pc().gui) return false;
    if (release) pc().loader_held = false;
    while (loader_busy.load() == 1 && !pc().loader_held)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    return true;
}
} // namespace fake

void plat_sleep(uint32_t ms) {
    ms -= pc().early_wakes && ms > 2 ? 2 : 0;
    uint64_t until = pc().now_ms + ms;
    if (fake::await_loader(false)) {
        if (pc().now_ms < until) pc().now_ms = until;
        return;
    }
    pc().now_ms += ms;
    std::this_thread::yield();
}

// ---- debugger output, boxes, dialog, window ----

void plat_debug_output(const char *text) {
    fake::Lock lock(pc().mu);
    pc().debug.push_back(text);
}

int plat_message_box(const char *text, const char *caption, unsigned flags) {
    const char *kind = flags == PLAT_MB_YESNO                        ? "?"
                       : flags == (PLAT_MB_OK | PLAT_MB_ICONWARNING) ? "!"
                       : flags                                       ? "#"
                                                                     : "";
    std::string box = kind + std::string(caption) + "|" + text;
    pc().boxes.push_back(box);
    return pc().answer ? pc().answer(box) : flags == PLAT_MB_YESNO ? PLAT_IDYES : PLAT_IDOK;
}

int plat_get_open_file_name(plat_open_file *req) { return pc().dialog ? pc().dialog(req) : 0; }
void plat_load_file(const char *) {}

int plat_create_main_window(int) {
    if (pc().create_fails) return 0;
    init_status_lines();
    return 1;
}

void plat_redraw() {
    fake::Lock lock(pc().mu); // the loader thread's repaints: it must not read the lines
    if (std::this_thread::get_id() == pc().gui)
        pc().screens.push_back(std::string(status_line1) + "|" + status_line2);
}

void plat_destroy_main_window() {
    if (pc().window_destroyed) return;
    on_window_destroyed(); // the window counts as gone once its WM_DESTROY has been handled
    pc().window_destroyed = true;
}

// Window messages take a little real time: the loader thread gets on meanwhile.
void plat_pump_messages() {
    if (!fake::await_loader(true)) std::this_thread::sleep_for(std::chrono::microseconds(20));
}
void plat_set_cursor(int which) {
    pc().screens.push_back(which == PLAT_CURSOR_WAIT ? "[wait]" : "[arrow]");
}

// ---- threads, settings, folders ----

thread_handle plat_thread_start(void (*entry)()) {
    if (pc().thread_fails) return nullptr;
    pc().threads.emplace_back(entry), ++pc().thread_handles;
    return &pc().threads.back();
}

void plat_thread_close(thread_handle h) { pc().thread_handles -= h != nullptr; }

uint32_t plat_profile_string(const char *section, const char *key, const char *def, char *out,
                             uint32_t capacity, const char *path) {
    std::string p = path; // the core builds Windows paths
    std::replace(p.begin(), p.end(), '\\', '/');
    return profile_read_string(section, key, def, out, capacity, p.c_str());
}

uint32_t plat_module_file_name(char *buf, uint32_t capacity) {
    const std::string &m = pc().module_path;
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(m.size(), capacity - 1));
    std::memcpy(buf, m.data(), n);
    buf[n] = 0;
    return m.size() >= capacity ? capacity : n; // a cut path fills the buffer
}

int plat_set_current_directory(const char *dir) { return chdir(dir) == 0; }
