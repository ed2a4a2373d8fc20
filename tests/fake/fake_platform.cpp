#include "fake_platform.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "app/app.h"
#include "flash/flash.h"
#include "platform/profile.h"

namespace fake {

namespace {
State *g_state = nullptr;

// A handle is the address of its entry in State::port_handles, which holds
// the index of the port in State::ports: stable while ports are added, and
// freed with the state, so a test that leaves a port open leaks nothing.
PortInfo *port_of(port_handle h) { return &state().ports.at(*static_cast<size_t *>(h)); }

uint64_t advance() {
    State &s = state();
    return s.now_ms.fetch_add(s.tick_step.load());
}

void log_event(const std::string &e) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.events.push_back(e);
}

std::string port_name(int n) {
    char buf[32];
    if (n <= 9)
        std::snprintf(buf, sizeof buf, "COM%d:19200,n,8,1", n);
    else
        std::snprintf(buf, sizeof buf, "\\\\.\\COM%d", n);
    return buf;
}
} // namespace

State &state() {
    if (!g_state) {
        g_state = new State;
        g_state->gui_thread = std::this_thread::get_id();
    }
    return *g_state;
}

void join_threads() {
    State &s = state();
    for (auto &t : s.threads)
        if (t.joinable()) t.join();
    s.threads.clear();
}

void reset() {
    if (g_state) join_threads();
    delete g_state;
    g_state = nullptr;
    state();
}

void add_port(int number, Peer *peer) {
    PortInfo p;
    p.name = port_name(number);
    p.peer = peer;
    state().ports.push_back(p);
}

std::vector<std::string> traces() {
    // debug_trace makes three outputs: "\n", the text, "\n".
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    std::vector<std::string> out;
    const auto &o = s.outputs;
    for (size_t i = 0; i < o.size();) {
        if (i + 2 < o.size() && o[i] == "\n" && o[i + 2] == "\n") {
            out.push_back(o[i + 1]);
            i += 3;
        } else {
            out.push_back(o[i]);
            ++i;
        }
    }
    return out;
}

std::vector<uint8_t> wire() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    std::vector<uint8_t> out;
    for (auto &w : s.writes)
        out.insert(out.end(), w.data.begin(), w.data.begin() + w.accepted);
    return out;
}

std::string wire_text() {
    std::string out;
    for (uint8_t b : wire()) {
        if (b == 0)
            out += "\\0";
        else
            out += static_cast<char>(b);
    }
    return out;
}

uint32_t ticks() { return state().tick_base + static_cast<uint32_t>(state().now_ms.load()); }

int run_main_loop(long max_steps, const std::function<void()> &each_step) {
    State &s = state();
    long n = 0;
    while (!s.window_destroyed && n < max_steps) {
        if (each_step) each_step();
        if (s.window_destroyed) break;
        flash_step();
        ++n;
    }
    return s.window_destroyed ? 0 : -1;
}

} // namespace fake

using fake::state;

// ---- serial ----

port_handle plat_port_open(const char *device_name) {
    auto &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.open_attempts.push_back(device_name);
        s.events.push_back(std::string("open:") + device_name);
    }
    for (size_t i = 0; i < s.ports.size(); ++i) {
        if (s.ports[i].name == device_name) {
            ++s.open_handles;
            s.port_handles.push_back(i);
            return &s.port_handles.back();
        }
    }
    s.last_error = 2; // ERROR_FILE_NOT_FOUND
    return nullptr;
}

void plat_port_close(port_handle h) {
    if (!h) return;
    --state().open_handles;
    fake::log_event("close");
}

int plat_port_get_state(port_handle h, plat_dcb *dcb) {
    auto *p = fake::port_of(h);
    if (p->get_state_fails) {
        state().last_error = 0x57;
        return 0;
    }
    *dcb = p->initial_dcb;
    dcb->DCBlength = sizeof(plat_dcb);
    return 1;
}

int plat_port_set_state(port_handle h, const plat_dcb *dcb) {
    auto *p = fake::port_of(h);
    state().set_dcbs.push_back(*dcb);
    if (p->set_state_fails) {
        state().last_error = 0x57;
        return 0;
    }
    return 1;
}

int plat_port_set_timeouts(port_handle, const plat_timeouts *t) {
    state().set_timeouts.push_back(*t);
    return 1;
}

int plat_port_write(port_handle h, const void *data, uint32_t n, uint32_t *written) {
    auto &s = state();
    auto *p = fake::port_of(h);
    if (s.on_write) s.on_write();
    fake::WriteCall call;
    call.data.assign(static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + n);
    call.requested = n;
    call.at_ms = s.now_ms.load();
    fake::WriteOutcome o;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.write_script.empty()) {
            o = s.write_script.front();
            s.write_script.pop_front();
        }
    }
    int ok = 1;
    switch (o.kind) {
    case fake::WriteOutcome::Whole: call.accepted = n; break;
    case fake::WriteOutcome::Short: call.accepted = o.count < n ? o.count : n; break;
    case fake::WriteOutcome::Empty: call.accepted = 0; s.now_ms += 1160; break;
    case fake::WriteOutcome::Fail: call.failed = true; ok = 0; s.last_error = 0x1F; break;
    }
    *written = call.accepted;
    if (call.accepted && p->peer) p->peer->on_bytes(call.data.data(), call.accepted, s.now_ms.load());
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.events.push_back("write:" + std::to_string(call.accepted));
        s.writes.push_back(std::move(call));
    }
    return ok;
}

int plat_port_pending(port_handle h, uint32_t *in_queue) {
    auto &s = state();
    auto *p = fake::port_of(h);
    ++s.pending_queries;
    if (s.on_port_query) s.on_port_query();
    if (s.pending_fails) return 0;
    *in_queue = p->peer ? static_cast<uint32_t>(p->peer->available(fake::advance())) : 0;
    return 1;
}

int plat_port_read(port_handle h, void *data, uint32_t n, uint32_t *got) {
    auto &s = state();
    auto *p = fake::port_of(h);
    ++s.reads;
    s.read_sizes.push_back(n);
    if (s.read_fails) {
        *got = 0;
        s.last_error = 0x1E;
        return 0;
    }
    *got = p->peer ? static_cast<uint32_t>(p->peer->take(static_cast<uint8_t *>(data), n, s.now_ms.load())) : 0;
    return 1;
}

int plat_port_clear_break(port_handle) {
    ++state().clear_breaks;
    return 1;
}

int plat_port_flush(port_handle) {
    ++state().flushes;
    return 1;
}

int plat_port_transmit_char(port_handle h, char c) {
    auto &s = state();
    if (!h || s.transmit_fails) return 0;
    auto *p = fake::port_of(h);
    s.transmitted.push_back(c);
    fake::log_event(std::string("char:") + c);
    if (p->peer) p->peer->on_priority_char(c, s.now_ms.load());
    return 1;
}

uint32_t plat_last_error() { return state().last_error; }

// ---- time ----

uint32_t plat_tick_count() { return state().tick_base + static_cast<uint32_t>(fake::advance()); }

int32_t plat_runtime_clock_ms() {
    return state().runtime_clock_base + static_cast<int32_t>(fake::advance());
}

void plat_sleep(uint32_t ms) {
    state().now_ms += ms;
    std::this_thread::yield();
}

// ---- debugger output ----

void plat_debug_output(const char *text) {
    auto &s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.outputs.push_back(text);
    if (std::strcmp(text, "\n") != 0) s.events.push_back(std::string("trace:") + text);
}

// ---- boxes and dialog ----

int plat_message_box(const char *text, const char *caption, unsigned flags) {
    auto &s = state();
    fake::Box b;
    b.text = text;
    b.caption = caption;
    b.flags = flags;
    if (s.answer)
        b.answer = s.answer(b);
    else
        b.answer = (flags & 0x0F) == PLAT_MB_YESNO ? PLAT_IDYES : PLAT_IDOK;
    s.boxes.push_back(b);
    fake::log_event("box:" + b.caption + "|" + b.text);
    return b.answer;
}

int plat_get_open_file_name(plat_open_file *req) {
    auto &s = state();
    s.dialogs.push_back(*req);
    std::string f;
    for (const char *p = req->filter; p && *p; p += std::strlen(p) + 1) f += std::string(p) + "|";
    s.dialog_filters.push_back(f);
    fake::log_event("dialog");
    return s.dialog ? s.dialog(req) : 0;
}

// ---- window ----

int plat_create_main_window(int show_cmd) {
    auto &s = state();
    if (s.create_fails) return 0;
    init_status_lines();
    s.window_created = true;
    s.created_show_cmd = show_cmd;
    return 1;
}

void plat_redraw() {
    auto &s = state();
    fake::Redraw r;
    if (std::this_thread::get_id() == s.gui_thread) {
        r.line1 = status_line1;
        r.line2 = status_line2;
        r.state = flash_state;
        bar_numbers(flash_state, &r.count, &r.total);
    } else {
        // Painting happens on the GUI thread; from here only the loader's
        // own counters can be read safely.
        r.from_worker = true;
        r.count = loader_lines_sent.load();
        r.total = loader_line_total.load();
    }
    std::lock_guard<std::mutex> lock(s.mu);
    s.redraws.push_back(r);
    s.events.push_back("redraw");
}

void plat_destroy_main_window() {
    auto &s = state();
    if (s.window_destroyed) return;
    s.window_destroyed = true;
    fake::log_event("destroy");
    on_window_destroyed();
}

void plat_pump_messages() {
    auto &s = state();
    ++s.pumps;
    if (s.on_pump) s.on_pump();
    std::this_thread::yield();
}

void plat_set_cursor(int which) {
    state().cursors.push_back(which);
    fake::log_event(which == PLAT_CURSOR_WAIT ? "cursor:wait" : "cursor:arrow");
}

// ---- threads ----

thread_handle plat_thread_start(void (*entry)()) {
    auto &s = state();
    if (s.thread_start_fails) return nullptr;
    s.threads.emplace_back(entry);
    return reinterpret_cast<thread_handle>(s.threads.size()); // never null

}

void plat_thread_close(thread_handle) {}

// ---- settings and folders ----

uint32_t plat_profile_string(const char *section, const char *key, const char *def, char *out,
                             uint32_t capacity, const char *path) {
    // The core builds Windows paths; here the folder is a POSIX one.
    std::string p = path;
    for (auto &c : p)
        if (c == '\\') c = '/';
    return profile_read_string(section, key, def, out, capacity, p.c_str());
}

uint32_t plat_module_file_name(char *buf, uint32_t capacity) {
    const std::string &m = state().module_path;
    if (capacity == 0) return 0;
    uint32_t n = static_cast<uint32_t>(m.size());
    if (n >= capacity) {
        // GetModuleFileNameA cuts the path and terminates it.
        std::memcpy(buf, m.data(), capacity - 1);
        buf[capacity - 1] = 0;
        return capacity;
    }
    std::memcpy(buf, m.c_str(), n + 1);
    return n;
}

int plat_set_current_directory(const char *dir) {
    auto &s = state();
    s.directories_set.push_back(dir);
    if (s.chdir_for_real) return chdir(dir) == 0;
    return 1;
}
