#include "fake/fake.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "app/app.h"
#include "flash/flash.h"
#include "identify/identify.h"
#include "link/link.h"
#include "platform/profile.h"

namespace fake {
namespace {

Machine *g_pc = nullptr;
using Lock = std::lock_guard<std::recursive_mutex>;

uint64_t advance() { return pc().now_ms.fetch_add(1); }
sim::usec us(uint64_t ms) { return static_cast<sim::usec>(ms) * 1000; }
size_t index_of(port_handle h) { return static_cast<size_t>(reinterpret_cast<intptr_t>(h)); }
// The port a handle has open, 0 once it is closed: calls on it then fail.
int port_of(port_handle h) {
    size_t i = index_of(h);
    return i >= 1 && i <= pc().handles.size() ? pc().handles[i - 1] : 0;
}
sim::Modem *modem_of(port_handle h) {
    auto p = pc().ports.find(port_of(h));
    return p == pc().ports.end() ? nullptr : p->second;
}

void reset_program() {
    if (hex_file) text_close(hex_file);
    hex_file = nullptr, hThread = nullptr, hComm = nullptr;
    flash_state = records_sent = retry_count = bytes_sent = load_file_size = com_port = rx_count = 0;
    loader_busy = loader_result = loader_lines_sent = loader_line_total = loader_stop = loader_bad_line = 0;
    std::memset(rx_buffer, 0, sizeof rx_buffer);
    std::memset(&comm_dcb, 0, sizeof comm_dcb);
    cfg_complete = read_flash_settings(nullptr, cfg_modemname, cfg_filename);
    status_line1[0] = status_line2[0] = download_path[0] = 0;
    load_modem_type = load_rrfl_sector = load_rrfl_checksum = load_type_ok = 0;
    actual_modem_type = actual_sector_size = actual_rrfl_checksum = 0;
}

} // namespace

Machine &pc() { return g_pc ? *g_pc : *(g_pc = new Machine); }

void reset() {
    for (auto &t : pc().threads)
        if (t.joinable()) t.join();
    delete g_pc;
    g_pc = new Machine;
    reset_program();
}

uint32_t ticks() { return pc().tick_base + static_cast<uint32_t>(pc().now_ms.load()); }

std::string testdata(const std::string &name) { return std::string(TEST_BINARY_DIR) + "/testdata/" + name; }

std::string scratch() {
    static const struct Dir {
        std::string path = std::string(TEST_BINARY_DIR) + "/scratch/" + std::to_string(getpid());
        Dir() { std::filesystem::create_directories(path); }
        ~Dir() { std::error_code ignored; std::filesystem::remove_all(path, ignored); }
    } dir;
    return dir.path;
}

std::string read_file(const std::string &path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

bool run(Job &job) {
    reset();
    Machine &m = pc();
    job.folder = scratch() + "/job";
    std::filesystem::remove_all(job.folder);
    std::filesystem::create_directories(job.folder);
    if (!job.ini.empty()) write_file(job.folder + "/flashfile.ini", "[FlashInfo]\n" + job.ini);
    std::string load = job.load.empty() ? "" : read_file(testdata(job.load));
    std::string loader = job.loader.empty() ? "" : read_file(testdata(job.loader));
    if (job.edit) job.edit(load, loader);
    if (!job.load.empty()) write_file(job.folder + "/modem.hex", load);
    if (!job.loader.empty()) write_file(job.folder + "/kivfldr.hex", loader);
    for (const std::string &f : job.faults) {
        std::string err;
        job.modem.faults.emplace_back();
        if (!sim::parse_fault(f, false, &job.modem.faults.back(), &err)) throw std::invalid_argument(err);
    }
    job.model = std::make_unique<sim::Modem>(job.modem);
    if (job.com) m.ports[job.com] = job.model.get();
    m.module_path = job.folder + "\\flashfile.exe";
    m.answer = [&job](const std::string &box) {
        if (box[0] != '?') return PLAT_IDOK;
        char a = job.answers.empty() ? 'y' : job.answers[0];
        return job.answers.erase(0, 1), a == 'n' ? PLAT_IDNO : PLAT_IDYES;
    };
    if (job.setup) job.setup();
    if (!app_startup(job.cmdline.c_str(), 1)) return false;
    for (long n = 0; !m.window_destroyed && n < job.max_steps; ++n) {
        if (job.each_step) job.each_step();
        if (!m.window_destroyed) flash_step();
        if (loader_busy) std::this_thread::sleep_for(std::chrono::microseconds(10)); // the thread's turn
    }
    for (auto &t : m.threads) t.join();
    m.threads.clear();
    return m.window_destroyed;
}

} // namespace fake

using fake::pc;

// ---- serial ----

port_handle plat_port_open(const char *device_name) {
    for (auto &p : pc().ports) {
        char name[32];
        std::snprintf(name, sizeof name, p.first <= 9 ? "COM%d:19200,n,8,1" : "\\\\.\\COM%d", p.first);
        if (std::strcmp(name, device_name) == 0) {
            pc().handles.push_back(p.first);
            return reinterpret_cast<port_handle>(static_cast<intptr_t>(pc().handles.size()));
        }
    }
    return pc().last_error = 2, nullptr; // ERROR_FILE_NOT_FOUND
}

void plat_port_close(port_handle h) {
    fake::Lock lock(pc().mu);
    if (fake::port_of(h)) pc().handles[fake::index_of(h) - 1] = 0;
}

int plat_port_get_state(port_handle, plat_dcb *dcb) {
    if (pc().fail_get_state) return pc().last_error = 0x57, 0;
    *dcb = pc().dcb;
    dcb->DCBlength = sizeof(plat_dcb);
    return 1;
}

int plat_port_set_state(port_handle, const plat_dcb *dcb) {
    if (pc().fail_set_state) return pc().last_error = 0x57, 0;
    return pc().dcb = *dcb, 1;
}

int plat_port_set_timeouts(port_handle, const plat_timeouts *t) { return pc().timeouts = *t, 1; }

int plat_port_write(port_handle h, const void *data, uint32_t n, uint32_t *written) {
    fake::Machine &m = pc();
    {
        fake::Lock lock(m.mu);
        int take = static_cast<int>(n);
        if (!m.write_takes.empty()) take = m.write_takes.front(), m.write_takes.pop_front();
        m.writes.emplace_back(m.now_ms.load(), n);
        if (take < 0 || !fake::port_of(h)) return m.last_error = 0x1F, *written = 0, 0;
        *written = static_cast<uint32_t>(take);
        m.line.append(static_cast<const char *>(data), static_cast<size_t>(take));
        if (sim::Modem *modem = fake::modem_of(h))
            modem->receive(static_cast<const uint8_t *>(data), static_cast<size_t>(take), fake::us(m.now_ms));
    }
    if (m.on_write) m.on_write();
    return 1;
}

int plat_port_pending(port_handle h, uint32_t *in_queue) {
    fake::Machine &m = pc();
    fake::Lock lock(m.mu);
    if (!m.looks.empty()) {
        m.now_ms += static_cast<uint32_t>(wait_start_tick + m.looks.front().ms - 1 - fake::ticks());
        m.incoming += m.looks.front().bytes;
        m.looks.pop_front();
    }
    if (m.fail_pending || !fake::port_of(h)) return 0;
    sim::Modem *modem = fake::modem_of(h);
    uint64_t now = fake::advance();
    *in_queue = static_cast<uint32_t>(m.incoming.size() + (modem ? modem->available(fake::us(now)) : 0));
    return 1;
}

int plat_port_read(port_handle h, void *data, uint32_t n, uint32_t *got) {
    fake::Machine &m = pc();
    fake::Lock lock(m.mu);
    if (m.fail_read || !fake::port_of(h)) return m.last_error = 0x1E, *got = 0, 0;
    uint32_t k = std::min<uint32_t>(n, static_cast<uint32_t>(m.incoming.size()));
    std::memcpy(data, m.incoming.data(), k);
    m.incoming.erase(0, k);
    if (sim::Modem *modem = fake::modem_of(h))
        k += static_cast<uint32_t>(modem->take(static_cast<uint8_t *>(data) + k, n - k, fake::us(m.now_ms)));
    return *got = k, 1;
}

int plat_port_clear_break(port_handle) { return 1; }
int plat_port_flush(port_handle) { return 1; }

int plat_port_transmit_char(port_handle h, char c) {
    fake::Lock lock(pc().mu);
    if (!fake::port_of(h)) return 0;
    pc().line += c;
    if (sim::Modem *modem = fake::modem_of(h)) modem->priority_char(c, fake::us(pc().now_ms));
    return 1;
}

uint32_t plat_last_error() { return pc().last_error; }

// ---- time ----

uint32_t plat_tick_count() { return pc().tick_base + static_cast<uint32_t>(fake::advance()); }
int32_t plat_runtime_clock_ms() { return static_cast<int32_t>(fake::advance()); }
// The sleep after starting the loader thread runs alongside the thread's own
// time, from the moment it was started, however late this thread gets here.
void plat_sleep(uint32_t ms) {
    uint64_t until = (pc().threads.empty() ? pc().now_ms.load() : pc().thread_started_at) + ms, now = pc().now_ms;
    while (now < until && !pc().now_ms.compare_exchange_weak(now, until)) {
    }
}

// ---- debugger output, boxes, dialog, window, threads ----

void plat_debug_output(const char *text) {
    fake::Lock lock(pc().mu);
    pc().debug.push_back(text);
}

int plat_message_box(const char *text, const char *caption, unsigned flags) {
    const char *kind = flags == PLAT_MB_YESNO ? "?" : flags == (PLAT_MB_OK | PLAT_MB_ICONWARNING) ? "!" : flags ? "#" : "";
    pc().boxes.push_back(kind + std::string(caption) + "|" + text);
    if (pc().answer) return pc().answer(pc().boxes.back());
    return flags == PLAT_MB_YESNO ? PLAT_IDYES : PLAT_IDOK;
}

int plat_get_open_file_name(plat_open_file *req) { return pc().dialog ? pc().dialog(req) : 0; }

int plat_create_main_window(int) { return pc().create_fails ? 0 : (init_status_lines(), 1); }

void plat_redraw() {
    fake::Lock lock(pc().mu);
    if (std::this_thread::get_id() == pc().gui)
        pc().screens.push_back(std::string(status_line1) + "|" + status_line2);
    else // the loader thread: only its own counters are safe to read
        pc().loader_bars.emplace_back(loader_lines_sent.load(), loader_line_total.load());
}

void plat_destroy_main_window() {
    if (!pc().window_destroyed.exchange(true)) on_window_destroyed();
}

void plat_pump_messages() {
    for (auto end = std::chrono::steady_clock::now() + pc().pump; loader_busy && std::chrono::steady_clock::now() < end;)
        std::this_thread::yield();
}
void plat_set_cursor(int which) { pc().screens.push_back(which == PLAT_CURSOR_WAIT ? "[wait]" : "[arrow]"); }

thread_handle plat_thread_start(void (*entry)()) {
    if (pc().thread_fails) return nullptr;
    pc().thread_started_at = pc().now_ms;
    return &pc().threads.emplace_back(entry);
}

void plat_thread_close(thread_handle) {}

// ---- settings and folders ----

uint32_t plat_profile_string(const char *section, const char *key, const char *def, char *out, uint32_t capacity,
                             const char *path) {
    std::string p = path; // the core builds Windows paths
    for (auto &c : p)
        if (c == '\\') c = '/';
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
