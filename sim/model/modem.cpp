#include "model/modem.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {

namespace {

constexpr size_t kMaxLine = 1024; // longer lines are refused, not cut

bool starts_with_ci(const std::string &s, const std::string &prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(s[i])) !=
            std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

std::string upper(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

size_t find_at(const std::string &s) {
    for (size_t i = 0; i + 1 < s.size(); ++i)
        if ((s[i] == 'A' || s[i] == 'a') && (s[i + 1] == 'T' || s[i + 1] == 't')) return i;
    return std::string::npos;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Hex pairs to bytes; false when a character is not hex or one is left over.
bool hex_bytes(const std::string &s, size_t from, std::vector<uint8_t> *out) {
    if ((s.size() - from) % 2 != 0) return false;
    out->clear();
    for (size_t i = from; i < s.size(); i += 2) {
        int h = hexval(s[i]), l = hexval(s[i + 1]);
        if (h < 0 || l < 0) return false;
        out->push_back(static_cast<uint8_t>(h * 16 + l));
    }
    return true;
}

// A command as configured ("ATI3" or "I3"), as the text after "AT".
std::string command_body(const std::string &cmd) {
    std::string c = cmd;
    while (!c.empty() && (c.back() == '\r' || c.back() == '\n')) c.pop_back();
    size_t at = find_at(c);
    if (at == 0) c = c.substr(2);
    return upper(c);
}

std::string text_reply(const std::string &text) { return "\r\n" + text + "\r\n"; }
const char *const kOK = "\r\nOK\r\n";
const char *const kERROR = "\r\nERROR\r\n";

} // namespace

const char *mode_name(Mode m) {
    switch (m) {
    case Mode::Firmware: return "firmware";
    case Mode::Resident: return "resident";
    case Mode::FlashLoader: return "loader";
    case Mode::Dead: return "dead";
    }
    return "?";
}

struct Modem::Effects {
    bool no_reply = false;
    long late_ms = 0;
    int nok = 0;
    long split_ms = 0;
    long garbage = 0;
    long flood = 0;
    bool erase_fail = false;
};

Modem::Modem(ModemConfig cfg) : cfg_(std::move(cfg)), rng_(cfg_.seed) {
    if (cfg_.line_rate > 0) byte_ns_ = static_cast<int64_t>(1e9 / cfg_.line_rate + 0.5);
    if (cfg_.firmware_running) mode_ = Mode::Firmware;
    else mode_ = cfg_.rrfl_sector ? Mode::Resident : Mode::Dead;
    // A modem with firmware holds that firmware: programming without an
    // erase would fail.
    flash_.assign(cfg_.flash_size, 0xFF);
    if (cfg_.firmware_running) {
        std::mt19937 old(cfg_.seed ^ 0x5eedu);
        for (auto &b : flash_) b = static_cast<uint8_t>(old());
    }
    for (const auto &f : cfg_.faults)
        if (f.kind == Fault::Silence && f.where == Fault::Time)
            silence_from_ns_ =
                std::min<int64_t>(silence_from_ns_, static_cast<int64_t>(f.n) * 1000000);
}

// ---- input -----------------------------------------------------------------

void Modem::receive(const uint8_t *p, size_t n, usec now) {
    int64_t now_ns = now * 1000;
    for (size_t i = 0; i < n; ++i) {
        int64_t t = std::max(now_ns, in_free_ns_) + byte_ns_;
        in_free_ns_ = t;
        arrive(p[i], t / 1000);
    }
}

void Modem::priority_char(char c, usec now) {
    // Goes out ahead of whatever the PC still has queued.
    arrive(static_cast<uint8_t>(c), (now * 1000 + byte_ns_) / 1000);
}

void Modem::arrive(uint8_t b, usec t) {
    if (t * 1000 >= silence_from_ns_) return;
    ++counters_.bytes_in;
    if (b == 0) return; // write padding
    if (after_cr_ && (b == '\n' || b == 0xFF)) {
        after_cr_ = false; // the line end the program sends along
        return;
    }
    after_cr_ = false;
    if (b == '\n' || mode_ == Mode::Dead) return;
    if (mode_ == Mode::FlashLoader && line_.empty() && (b == 'Z' || b == 'Y')) {
        single_char_command(static_cast<char>(b), t);
        return;
    }
    bool command_mode = mode_ == Mode::Firmware || mode_ == Mode::Resident;
    if (command_mode && cfg_.echo) emit_raw(std::string(1, static_cast<char>(b)), t, 0);
    if (b == '\r') {
        after_cr_ = true;
        std::string line;
        line.swap(line_);
        handle_line(line, t);
        line_overflow_ = false;
        return;
    }
    if (line_.size() < kMaxLine) line_.push_back(static_cast<char>(b));
    else line_overflow_ = true;
}

void Modem::handle_line(const std::string &line, usec t) {
    transcript_.push_back({t, mode_, line, false, "", {}});
    ++counters_.lines;
    Effects fx;
    usec start = std::max(t, busy_until_);
    if (mode_ == Mode::FlashLoader) {
        flash_loader_line(line, start, fx);
    } else {
        ++command_no_;
        collect_faults(Fault::Command, command_no_, line, t, fx);
        if (t * 1000 >= silence_from_ns_) return;
        command_line(line, start, fx);
    }
}

// ---- command mode ----------------------------------------------------------

void Modem::command_line(const std::string &line, usec t, Effects &fx) {
    size_t at = find_at(line);
    if (at == std::string::npos) {
        ++counters_.ignored_lines; // a modem does not answer what is no command
        return;
    }
    ++counters_.commands;
    usec when = t + cfg_.latency_ms * 1000;
    busy_until_ = when;
    std::string raw = line.substr(at + 2);
    std::string cmd = upper(raw);
    auto reply = [&](const std::string &text, bool ok) {
        std::string out = text.empty() ? "" : text_reply(text);
        out += ok ? kOK : kERROR;
        if (!ok) ++counters_.command_errors;
        emit(out, when, &fx);
    };
    if (line_overflow_ || fx.nok) return reply("", false);
    if (!cfg_.custom_cmd.empty() && cmd == command_body(cfg_.custom_cmd))
        return reply(cfg_.custom_reply, true);
    if (!cfg_.checksum_cmd.empty() && cmd == command_body(cfg_.checksum_cmd))
        return reply(cfg_.checksum_reply, true);
    char buf[128];
    const char *sector = cfg_.rrfl_sector == 64   ? ",40,"
                         : cfg_.rrfl_sector == 16 ? ",10,"
                                                  : nullptr;
    if (cmd.empty() || cmd == "Z" || cmd == "&F" || cmd == "&&F") return reply("", true);
    if (cmd == "E0" || cmd == "E1") {
        cfg_.echo = cmd == "E1";
        return reply("", true);
    }
    if (cmd == "I5") {
        if (mode_ == Mode::Resident) {
            std::snprintf(buf, sizeof buf, "%c RRFL%s%04X", cfg_.type_letter, sector ? sector : "",
                          cfg_.rrfl_checksum & 0xFFFF);
            return reply(buf, true);
        }
        return reply(std::string(1, cfg_.type_letter) + cfg_.ident_text, true);
    }
    if (cmd.size() <= 2 && cmd[0] == 'I') return reply("Quillmarch Data/Fax Modem", true);
    if (cmd == "&&FFL") {
        if (!sector) return reply("", false);
        std::snprintf(buf, sizeof buf, "FL %04X%s", cfg_.rrfl_checksum & 0xFFFF, sector);
        return reply(buf, true);
    }
    if (cmd == "&&FGO") {
        if (!sector) return reply("", false);
        reply(banner("RRFL", cfg_.rrfl_version), true);
        mode_before_loader_ = mode_;
        mode_ = Mode::FlashLoader;
        running_version_ = cfg_.rrfl_version;
        pass_erased_ = session_erased_ = false;
        ++counters_.sessions;
        return;
    }
    if (cmd.rfind("&&F", 0) == 0 && cmd.size() > 3 && cmd[3] == ':')
        return loader_upload(raw.substr(3), t, fx);
    reply("", false);
}

std::string Modem::banner(const char *what, const std::string &version) const {
    return std::string(what) + " Flash Loader Ver:" + version;
}

void Modem::loader_upload(const std::string &rec, usec t, Effects &fx) {
    usec when = t + cfg_.latency_ms * 1000;
    std::vector<uint8_t> b;
    bool good =
        hex_bytes(rec, 1, &b) && b.size() >= 5 && b.size() == static_cast<size_t>(b[0]) + 5u;
    if (good) {
        unsigned sum = 0;
        for (uint8_t v : b) sum += v;
        good = (sum & 0xFF) == 0;
    }
    int type = good ? b[3] : -1;
    if (!good || type > 5) {
        ++counters_.command_errors;
        emit(kERROR, when, &fx);
        return;
    }
    ++counters_.loader_records;
    uint32_t addr = ext_base_ + (static_cast<uint32_t>(b[1]) << 8 | b[2]);
    if (type == 0) {
        size_t end = static_cast<size_t>(addr) + b[0];
        if (end <= (1u << 20)) { // a flash loader is small; keep what fits a sane RAM
            if (loader_image_.size() < end) loader_image_.resize(end, 0xFF);
            std::copy(b.begin() + 4, b.begin() + 4 + b[0], loader_image_.begin() + addr);
        }
    } else if (type == 2 && b[0] == 2) {
        ext_base_ = (static_cast<uint32_t>(b[4]) << 8 | b[5]) << 4;
    } else if (type == 4 && b[0] == 2) {
        ext_base_ = (static_cast<uint32_t>(b[4]) << 8 | b[5]) << 16;
    } else if (type == 1) {
        emit(text_reply(banner("Quillmarch", cfg_.loader_version)) + kOK, when, &fx);
        ++counters_.loader_uploads;
        mode_before_loader_ = mode_;
        mode_ = Mode::FlashLoader;
        running_version_ = cfg_.loader_version;
        pass_erased_ = session_erased_ = false;
        ext_base_ = 0;
        ++counters_.sessions;
        return;
    }
    emit(kOK, when, &fx);
}

// ---- flash loader ----------------------------------------------------------

void Modem::flash_loader_line(const std::string &line, usec t, Effects &fx) {
    usec when = t + cfg_.latency_ms * 1000;
    if (line.empty() && !line_overflow_) {
        ++counters_.ignored_lines;
        return;
    }
    if (starts_with_ci(line, "AT")) {
        std::string cmd = upper(line.substr(2));
        const std::string *text = nullptr;
        if (!cfg_.checksum_cmd.empty() && cmd == command_body(cfg_.checksum_cmd))
            text = &cfg_.checksum_reply;
        if (!cfg_.custom_cmd.empty() && cmd == command_body(cfg_.custom_cmd))
            text = &cfg_.custom_reply;
        if (!text) {
            ++counters_.ignored_lines;
            return;
        }
        busy_until_ = when;
        emit(text_reply(*text) + kOK, when, nullptr);
        return;
    }
    ++record_no_;
    ++counters_.records;
    collect_faults(Fault::Record, record_no_, line, t, fx);
    if (t * 1000 >= silence_from_ns_) return;

    auto answer = [&](int nok) {
        busy_until_ = std::max(busy_until_, when);
        if (nok) {
            ++counters_.nok[nok];
            char buf[16];
            std::snprintf(buf, sizeof buf, "NOK%d\r\n", nok);
            emit(buf, when, &fx);
        } else {
            ++counters_.records_ok;
            emit("OK\r\n", when, &fx);
        }
    };
    if (fx.nok) return answer(fx.nok);
    if (line[0] != 'S' || line.size() < 2 || line[1] < '0' || line[1] > '9' || line[1] == '4')
        return answer(2);
    int type = line[1] - '0';
    std::vector<uint8_t> b;
    static const int addr_len[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    bool good = !line_overflow_ && hex_bytes(line, 2, &b) && b.size() >= 2 &&
                b.size() == static_cast<size_t>(b[0]) + 1u && b[0] >= addr_len[type] + 1;
    if (good) {
        unsigned sum = 0;
        for (uint8_t v : b) sum += v;
        good = (sum & 0xFF) == 0xFF;
    }
    if (!good) return answer(3);
    if (!pass_erased_) {
        when += cfg_.erase_ms * 1000;
        if (!erase_all(t, fx)) return answer(1);
    }
    if (type >= 1 && type <= 3) {
        uint32_t addr = 0;
        for (int i = 0; i < addr_len[type]; ++i) addr = addr << 8 | b[1 + i];
        size_t n = b[0] - addr_len[type] - 1;
        const uint8_t *data = b.data() + 1 + addr_len[type];
        uint64_t lo = addr, hi = static_cast<uint64_t>(addr) + n;
        if (lo < cfg_.flash_base || hi > static_cast<uint64_t>(cfg_.flash_base) + flash_.size()) {
            pass_clean_ = false;
            return answer(4);
        }
        for (size_t i = 0; i < n; ++i) {
            uint8_t &cell = flash_[addr - cfg_.flash_base + i];
            uint8_t now = cell & data[i]; // programming only clears bits
            cell = now;
            if (now != data[i]) {
                pass_clean_ = false;
                return answer(4);
            }
            ++counters_.bytes_programmed;
        }
    } else if (type >= 7) {
        image_complete_ = pass_clean_;
    }
    answer(0);
}

bool Modem::erase_all(usec t, Effects &fx) {
    ++erase_no_;
    ++counters_.erases;
    bool fail = fx.erase_fail;
    for (auto &f : cfg_.faults)
        if (f.kind == Fault::EraseFail && f.where == Fault::Erase && !f.used && f.n == erase_no_) {
            f.used = true;
            fail = true;
        }
    for (auto &f : cfg_.random_faults)
        if (f.kind == Fault::EraseFail &&
            std::uniform_real_distribution<double>(0, 1)(rng_) < f.rate)
            fail = true;
    (void)t;
    if (fail) {
        ++counters_.faults_applied;
        ++counters_.faults_by_kind[Fault::EraseFail];
        pass_erased_ = false;
        return false;
    }
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    pass_erased_ = session_erased_ = pass_clean_ = true;
    image_complete_ = false;
    return true;
}

void Modem::single_char_command(char c, usec t) {
    transcript_.push_back({t, mode_, std::string(1, c), true, "", {}});
    Effects fx;
    collect_faults(Fault::Always, 0, std::string(1, c), t, fx);
    if (t * 1000 >= silence_from_ns_) return;
    usec start = std::max(t, busy_until_);
    if (c == 'Y') {
        ++counters_.y_commands;
        busy_until_ = start;
        reboot_after_session();
        return;
    }
    ++counters_.z_commands;
    usec when = start + cfg_.latency_ms * 1000 + cfg_.erase_ms * 1000;
    busy_until_ = when;
    if (erase_all(t, fx)) {
        // A new pass on an erased chip: its first record has nothing to erase.
        emit(text_reply(banner("Quillmarch", running_version_)) + "OK\r\n", when, &fx);
    } else {
        ++counters_.nok[1];
        emit("NOK1\r\n", when, &fx);
    }
}

void Modem::reboot_after_session() {
    if (!session_erased_) mode_ = mode_before_loader_;
    else if (image_complete_) mode_ = Mode::Firmware;
    else mode_ = cfg_.rrfl_sector ? Mode::Resident : Mode::Dead;
    pass_erased_ = session_erased_ = false;
    line_.clear();
}

// ---- faults ----------------------------------------------------------------

void Modem::collect_faults(Fault::Where where, long n, const std::string &line, usec t,
                           Effects &fx) {
    auto apply = [&](const Fault &f) {
        ++counters_.faults_applied;
        ++counters_.faults_by_kind[f.kind];
        switch (f.kind) {
        case Fault::NoReply: fx.no_reply = true; break;
        case Fault::Late: fx.late_ms += f.arg; break;
        case Fault::Nok: fx.nok = static_cast<int>(f.arg); break;
        case Fault::Split: fx.split_ms = f.arg > 0 ? f.arg : 2; break;
        case Fault::Garbage: fx.garbage += f.arg > 0 ? f.arg : 8; break;
        case Fault::Flood: fx.flood += f.arg > 0 ? f.arg : 4096; break;
        case Fault::Silence: pull_cable(t); break;
        case Fault::EraseFail: fx.erase_fail = true; break;
        }
    };
    for (auto &f : cfg_.faults) {
        bool hit = false;
        switch (f.where) {
        case Fault::Command:
        case Fault::Record:
            hit = f.where == where && f.n == n && !f.used;
            if (hit) f.used = true;
            break;
        case Fault::Erase: break; // decided when the erase happens
        case Fault::Text: hit = starts_with_ci(line, f.text); break;
        case Fault::Time:
            hit = !f.used && f.kind != Fault::Silence && t >= static_cast<usec>(f.n) * 1000;
            if (hit) f.used = true;
            break;
        case Fault::Always: hit = true; break;
        }
        if (hit) apply(f);
    }
    for (auto &f : cfg_.random_faults)
        if (f.kind != Fault::EraseFail &&
            std::uniform_real_distribution<double>(0, 1)(rng_) < f.rate)
            apply(f);
}

void Modem::pull_cable(usec t) {
    int64_t t_ns = t * 1000;
    silence_from_ns_ = std::min(silence_from_ns_, t_ns);
    while (wire_.size() > fifo_count_ && wire_.back().end_ns >= silence_from_ns_) wire_.pop_back();
}

// ---- output ----------------------------------------------------------------

std::string Modem::noise(long n) {
    // Line noise that cannot be taken for a reply token.
    static const char alphabet[] =
        "#$%&*+-./"
        ";<=>?@[]^_{|}~\x01\x02\x07\x10\x11\x13\x7f\x80\x8a\x9c\xa5\xbe\xc3\xdf\xe7\xf0\xfe";
    std::string s;
    std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 2);
    for (long i = 0; i < n; ++i) s.push_back(alphabet[pick(rng_)]);
    return s;
}

void Modem::emit(const std::string &text, usec t, const Effects *fx) {
    usec gap = 0;
    if (fx) {
        if (fx->no_reply) return;
        t += fx->late_ms * 1000;
        if (fx->flood) emit_raw(noise(fx->flood), t, 0);
        if (fx->garbage) emit_raw(noise(fx->garbage), t, 0);
        gap = fx->split_ms * 1000;
    }
    int64_t start = std::max(t * 1000, out_free_ns_);
    if (start >= silence_from_ns_) return;
    replies_.push_back({start / 1000, text});
    size_t sent = emit_raw(text, t, gap);
    // Every reply answers the line being handled, which is the last one taken down.
    if (!transcript_.empty()) {
        transcript_.back().reply += text.substr(0, sent);
        for (size_t i = wire_.size() - sent; i < wire_.size(); ++i)
            transcript_.back().reply_at.push_back(wire_[i].end_ns / 1000);
    }
}

size_t Modem::emit_raw(const std::string &bytes, usec t, usec gap) {
    int64_t t_ns = t * 1000, gap_ns = gap * 1000;
    for (size_t i = 0; i < bytes.size(); ++i) {
        int64_t start = std::max(t_ns + static_cast<int64_t>(i) * gap_ns, out_free_ns_);
        int64_t end = start + byte_ns_;
        if (end >= silence_from_ns_) return i;
        out_free_ns_ = end;
        wire_.push_back({static_cast<uint8_t>(bytes[i]), end});
        ++counters_.bytes_out;
    }
    return bytes.size();
}

void Modem::flush_fifo() {
    for (size_t i = 0; i < fifo_count_; ++i) {
        readable_.push_back(wire_.front().b);
        wire_.pop_front();
    }
    fifo_count_ = 0;
}

// The PC's UART hands bytes to the driver when its FIFO reaches the trigger
// level, or when the line has been quiet for four byte times after a byte.
void Modem::pump_fifo(usec now) {
    int64_t now_ns = now * 1000;
    bool fifo = cfg_.host_fifo > 0 && byte_ns_ > 0;
    int64_t quiet = 4 * byte_ns_;
    while (fifo_count_ < wire_.size() && wire_[fifo_count_].end_ns <= now_ns) {
        const OutByte &ob = wire_[fifo_count_];
        if (fifo_count_ > 0 && ob.end_ns - last_arrival_ns_ >= quiet) flush_fifo();
        last_arrival_ns_ = wire_[fifo_count_].end_ns;
        ++fifo_count_;
        if (!fifo || fifo_count_ >= static_cast<size_t>(cfg_.host_fifo)) flush_fifo();
    }
    if (fifo_count_ > 0 && now_ns - last_arrival_ns_ >= quiet) flush_fifo();
}

size_t Modem::available(usec now) {
    pump_fifo(now);
    return readable_.size();
}

size_t Modem::take(uint8_t *out, size_t max, usec now) {
    pump_fifo(now);
    size_t k = 0;
    while (k < max && !readable_.empty()) {
        out[k++] = readable_.front();
        readable_.pop_front();
    }
    return k;
}

usec Modem::next_output_time() const {
    if (!readable_.empty()) return 0;
    int64_t best = -1;
    if (fifo_count_ < wire_.size()) best = wire_[fifo_count_].end_ns;
    if (fifo_count_ > 0) {
        int64_t q = last_arrival_ns_ + 4 * byte_ns_;
        if (best < 0 || q < best) best = q;
    }
    return best < 0 ? -1 : (best + 999) / 1000;
}

std::string Modem::transcript_text() const {
    std::string out;
    char head[64];
    for (const auto &l : transcript_) {
        std::snprintf(head, sizeof head, "%lld.%03lld %s%s ", static_cast<long long>(l.at / 1000),
                      static_cast<long long>(l.at % 1000), mode_name(l.mode),
                      l.single_char ? " char" : "");
        out += head;
        for (unsigned char c : l.text) {
            if (c >= 0x20 && c < 0x7f) {
                out.push_back(static_cast<char>(c));
            } else {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02X", c);
                out += esc;
            }
        }
        out.push_back('\n');
    }
    return out;
}

} // namespace sim
