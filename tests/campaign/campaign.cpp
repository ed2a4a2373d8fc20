// The fault campaign: whole jobs on the fake platform against the modem
// model, each drawn from its seed (the load and its line ends, the way in,
// faults on both ends of the line, the user's answers and closes), each
// checked against the invariants. Stops at the first violation with the
// command that replays it.
//   campaign [--jobs N] [--seed S] [--replay FILE] [--verbose]
// --replay plays first the seeds that FILE lists, one a line (the first
// number on it), the seeds of jobs that once found a fault.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>

#include "app/app.h"
#include "campaign/checks.h"

namespace {

std::mt19937_64 rng;
int pick(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }
bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
template <class T> T one_of(std::initializer_list<T> v) { return v.begin()[pick(static_cast<int>(v.size()))]; }

struct Base { const char *name; char type; int sector; unsigned checksum; };
const Base bases[] = {{"load_small", 'I', 64, 0x1234}, {"load_c2", 'S', 16, 0xBEEF}, {"load_c3", 'P', 64, 0x0F0F}};
const char *const kinds[] = {"noreply", "late", "nok", "split", "garbage", "flood", "silence", "erasefail"};

// A moment of the job: the first step in a state, the step that sends the
// n-th load line read since start-up, a poll for its reply, the loader's
// k-th line.
struct When { int state = -1, send = 0, poll = 0, loader = 0; std::string text; };
When draw_when(int records, bool loader) {
    When w;
    switch (pick(loader ? 4 : 3)) {
    case 0: w.state = one_of({3, 5, 6, 9, 10, 11, 12}), w.text = "state " + std::to_string(w.state); break;
    case 1: w.send = 1 + pick(records + 3), w.text = "send " + std::to_string(w.send); break;
    case 2: w.poll = 1 + pick(records + 3), w.text = "poll " + std::to_string(w.poll); break;
    default: w.loader = 1 + pick(603), w.text = "loader line " + std::to_string(w.loader);
    }
    return w;
}
bool now(const When &w, int first_in_state) {
    return (w.state >= 0 && w.state == first_in_state) || (w.send && flash_state == 7 && records_sent == w.send - 1) ||
           (w.poll && flash_state == 8 && records_sent == w.poll);
}

std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> v(1);
    for (char c : s)
        if (c == '\n') v.emplace_back();
        else v.back().push_back(c);
    if (v.back().empty()) v.pop_back();
    return v;
}

struct Stats { long jobs = 0, fired[8] = {}, writes_failed = 0, writes_empty = 0, writes_short = 0, read_trouble = 0,
               closes = 0; uint64_t longest = 0, bound = 0; std::map<std::string, std::pair<long, uint64_t>> outcomes; } stats;
uint64_t current_seed;
std::string self;

// One job; "" when every invariant held, else what broke.
std::string play(uint64_t seed, bool verbose) {
    rng.seed(seed);
    fake::Job job;
    job.root = std::string(TEST_BINARY_DIR) + "/campaign-" + std::to_string(getpid());
    std::string recipe;
    auto say = [&](const std::string &s) { recipe += s + "; "; };

    // The load: a base made by srec_cat, its records kept, its line ends and extras drawn.
    const Base &b = bases[pick(3)];
    std::vector<std::string> records = split(fake::read_file(fake::testdata(std::string(b.name) + ".hex")));
    std::vector<std::string> lines = records;
    std::string eol = chance(0.5) ? "\r\n" : "\n";
    int blanks = pick(4);
    for (int i = 0; i < blanks; ++i) lines.insert(lines.begin() + 2 + pick(static_cast<int>(lines.size()) - 1), "");
    size_t lone_cr = chance(0.2) ? 2 + static_cast<size_t>(pick(static_cast<int>(lines.size()) - 3)) : 0;
    bool final_eol = chance(0.7);
    std::string tail = one_of<std::string>({"", "", "\x1A" "S1FFGARBAGE\n", "\xFF" "S9 not a record\n"});
    std::string load;
    for (size_t i = 0; i < lines.size(); ++i) load += lines[i] + (i == lone_cr ? "\r" : i + 1 < lines.size() || final_eol ? eol : "");
    load += tail;
    say(std::string(b.name) + (eol == "\n" ? " LF" : " CRLF") + (final_eol ? "" : " no-final-eol") + " blanks " +
        std::to_string(blanks) + (lone_cr ? " lone-CR" : "") + (tail.empty() ? "" : tail[0] == 0x1A ? " ^Z-tail" : " FF-tail"));
    job.loader = one_of({"kivfldr.hex", "kivfldr_crlf.hex", "kivfldr_noeol.hex"});
    std::string loader = fake::read_file(fake::testdata(job.loader));
    bool loader_blank = chance(0.2);
    if (loader_blank) loader.insert(loader.find('\n', static_cast<size_t>(pick(static_cast<int>(loader.size())))) + 1, "\n");
    say(job.loader + (loader_blank ? " with a blank line" : ""));

    // The modem and the way in: its resident loader fits the load or not.
    sim::ModemConfig &c = job.modem;
    int way = pick(3); // 0 the loader upload, 1 the resident loader running, 2 started by the program
    c.type_letter = chance(0.05) ? 'U' : b.type, c.rrfl_sector = b.sector;
    c.rrfl_checksum = way == 0 ? b.checksum ^ 0x5A5A : b.checksum;
    c.firmware_running = way == 1 ? false : !chance(0.05);
    c.line_rate = chance(0.2) ? 11520 : 0, c.host_fifo = one_of({14, 14, 1, 0}), c.latency_ms = 1 + pick(20);
    c.erase_ms = one_of<long>({2000, 2000, 50, 30000, 400000}), c.seed = static_cast<uint32_t>(rng());
    c.flash_size = 0x4000; // room for every load, quick to fill with old firmware
    say("way " + std::to_string(way) + " type " + c.type_letter + (c.firmware_running ? " firmware" : " resident") +
        " rate " + std::to_string(static_cast<int>(c.line_rate)) + " erase " + std::to_string(c.erase_ms));

    // Settings, ports.
    bool named = chance(0.8), popups = chance(0.7);
    job.ini = named ? "modemname=Test Modem\nfilename=modem.hex\natcmd=ATI5\nresponse=Quillmarch^RRFL\n" : "";
    if (!popups) job.ini += "NoPopUps=yes\n";
    if (chance(0.2)) job.ini += "SkipFlush=yes\n";
    if (chance(0.3)) {
        c.checksum_cmd = "AT&&FCS", c.checksum_reply = "CS=GOOD";
        job.ini += "atchecksum=AT&&FCS\ncheckSumResponse=" + one_of<std::string>({"CS=GOOD", "CS=GOOD", "", "CS=BAD"}) + "\n";
    }
    if (chance(0.1)) job.log = job.root + "/flash.log";
    say("ini " + std::to_string(job.ini.size()) + (named ? " named" : " dialog") + (popups ? "" : " NoPopUps"));
    job.com = chance(0.03) ? 0 : 1 + pick(3);
    int top = std::max(job.com, 1) + pick(2);
    job.cmdline = std::to_string(top);
    std::vector<int> silent;
    for (int p = 1; p <= top; ++p)
        if (p != job.com && chance(0.5)) silent.push_back(p);
    say("modem on COM" + std::to_string(job.com) + " from " + job.cmdline + ", " + std::to_string(silent.size()) + " silent");

    // Faults at the modem's end: scripted, and by chance.
    int R = static_cast<int>(records.size());
    for (int i = pick(4); i > 0; --i) {
        int k = pick(8);
        std::string f = kinds[k];
        if (k == 1) f += ":" + std::to_string(one_of({30, 1500, 4500, 7000, 190000, 370000}));
        if (k == 2) f += ":" + std::to_string(1 + pick(4));
        if (k == 3) f += ":" + std::to_string(1 + pick(40));
        if (k == 4) f += ":" + std::to_string(1 + pick(64));
        if (k == 5) f += ":" + std::to_string(100 + pick(9000));
        if (k == 7) f += "@erase:" + std::to_string(1 + pick(3));
        else if (k == 6) f += chance(0.5) ? "@time:" + std::to_string(pick(20000)) : "@rec:" + std::to_string(1 + pick(R + 5));
        else f += one_of<std::string>({"@cmd:" + std::to_string(1 + pick(12)), "@rec:" + std::to_string(1 + pick(R + 5)),
                                       "@rec:" + std::to_string(1 + pick(5)), "@on=AT&&FGO", "@on=at&&f:", "@on=ATI5",
                                       "@on=AT&&FCS", "@time:" + std::to_string(pick(20000))});
        std::string err;
        c.faults.emplace_back();
        if (!sim::parse_fault(f, false, &c.faults.back(), &err)) return "the campaign drew a bad fault: " + err;
        say(f);
    }
    if (chance(0.25)) {
        int k = one_of({0, 1, 2, 3, 4, 5, 7});
        std::string f = std::string(kinds[k]) + (k == 1 ? ":300" : k == 2 ? ":" + std::to_string(1 + pick(4)) : "") + "@" +
                        one_of<std::string>({"0.005", "0.02", "0.1"});
        c.random_faults.emplace_back();
        std::string err;
        if (!sim::parse_fault(f, true, &c.random_faults.back(), &err)) return "the campaign drew a bad fault: " + err;
        say("random " + f);
    }

    // Faults at the PC's end and the user's doings, each at a moment of the job.
    std::vector<std::pair<When, std::deque<int>>> writes;
    uint64_t empty_writes = 0;
    if (chance(0.15)) {
        std::deque<int> takes;
        int n = 1 + pick(12), kind = pick(3);
        for (int i = 0; i < n; ++i) takes.push_back(kind == 0 ? -1 : kind == 1 ? 0 : 1 + pick(15));
        stats.writes_failed += kind == 0 ? n : 0, stats.writes_short += kind == 2 ? n : 0;
        empty_writes = kind == 1 ? static_cast<uint64_t>(n) : 0, stats.writes_empty += static_cast<long>(empty_writes);
        writes.push_back({draw_when(R, false), takes});
        say(std::string(kind == 0 ? "failed" : kind == 1 ? "empty" : "short") + " writes x" + std::to_string(n) + " at " +
            writes.back().first.text);
    }
    uint64_t read_from = 0, read_to = 0;
    if (chance(0.05)) read_from = static_cast<uint64_t>(pick(20000)), read_to = read_from + static_cast<uint64_t>(pick(8000)),
                      ++stats.read_trouble, say("reads fail " + std::to_string(read_from) + ".." + std::to_string(read_to));
    std::vector<When> closes;
    int hold_line = 0; // a close during the upload: the loader thread is held at this line until it is answered
    for (int i = chance(0.15) ? 1 + pick(2) : 0; i > 0; --i) {
        When w = draw_when(R, hold_line == 0);
        if (w.loader) hold_line = w.loader;
        else closes.push_back(w);
        say("close at " + w.text), ++stats.closes;
    }
    uint32_t tick_base = chance(0.1) ? 0xFFFFFFFFu - static_cast<uint32_t>(pick(60000)) : 0; // the tick count wraps during the job
    if (tick_base) say("ticks wrap");
    int yes_left = pick(4), yes_budget = yes_left; // Yes to the retry questions: a finite number
    say("Yes to retries at most " + std::to_string(yes_budget));

    checks::Watch w;
    w.bound = checks::bound_ms(static_cast<uint64_t>(top), split(loader).size() + 1, static_cast<uint64_t>(R),
                               static_cast<uint64_t>(yes_budget), empty_writes);

    // The job.
    fake::Machine *m = nullptr;
    int first_in_state = -1, last_state = -1;
    bool hold_served = false, said_no = false;
    std::atomic<bool> hold_done{false};
    size_t next_close = 0;
    job.setup = [&] {
        m = &fake::pc();
        m->idle_skip_ms = 250, m->sleep_with_loader = true, m->tick_base = tick_base;
        for (int p : silent) m->ports[p] = nullptr;
        m->dialog = [&](plat_open_file *req) { return std::snprintf(req->file, req->max_file, "%s/modem.hex", job.folder.c_str()), 1; };
        fake::write_file(job.folder + "/modem.hex", load);
        fake::write_file(job.folder + "/kivfldr.hex", loader);
        m->answer = [&](const std::string &box) {
            if (box[0] != '?') return static_cast<int>(PLAT_IDOK);
            bool yes = box.find("Kill") != std::string::npos ? chance(0.5) : box.find("Retry") == std::string::npos ? chance(0.9)
                                                                                 : yes_left > 0 && chance(0.75);
            if (yes && box.find("Retry") != std::string::npos) --yes_left;
            said_no |= !yes;
            return static_cast<int>(yes ? PLAT_IDYES : PLAT_IDNO);
        };
        m->on_write = [&] {
            if (!hold_line || hold_done || std::this_thread::get_id() == m->gui || loader_lines_sent.load() != hold_line) return;
            m->loader_held = true;
            while (m->loader_held) std::this_thread::yield();
            hold_done = true;
        };
    };
    job.each_step = [&] {
        first_in_state = flash_state != last_state ? flash_state : -1;
        last_state = flash_state;
        if (loader_busy.load() != 1 && read_to) m->fail_read = m->now_ms >= read_from && m->now_ms < read_to;
        for (auto &x : writes)
            if (!x.second.empty() && now(x.first, first_in_state)) m->write_takes = x.second, x.second.clear();
        if (next_close < closes.size() && now(closes[next_close], first_in_state)) on_close_request(), ++next_close;
        // A No lets the held loader go on; on a Yes the program lets it go as it waits for it to stop.
        if (m->loader_held && !hold_served) {
            hold_served = true;
            if (on_close_request() != CLOSE_SHUTDOWN) m->loader_held = false;
        }
    };
    std::string v = checks::run(job, w);
    bool success = w.success;

    // What the user was told, and the invariants.
    std::string last = m->boxes.empty() ? "no box" : m->boxes.back().substr(0, m->boxes.back().find_first_of("\n;("));
    if (!popups && !m->screens.empty() && m->screens.back().rfind("Programming Failed|", 0) == 0) last = "Programming Failed, NoPopUps";
    std::string outcome = success ? (popups ? "completed" : "completed, NoPopUps") : job_outcome == JOB_STOPPED ? "stopped: " + last
                                                                                                              : "failed: " + last;
    auto &o = stats.outcomes[outcome.substr(0, 72)];
    o.second = o.first++ ? o.second : seed, ++stats.jobs;
    for (int k = 0; k < 8; ++k) stats.fired[k] += job.model->counters().faults_by_kind[k];
    stats.longest = std::max<uint64_t>(stats.longest, m->now_ms), stats.bound = std::max(stats.bound, w.bound);
    if (verbose) {
        std::cout << "recipe: " << recipe << "\noutcome: " << outcome << " after " << m->now_ms << " ms (bound " << w.bound << ")\n";
        for (auto &x : m->boxes) std::cout << "box: " << x << "\n";
        auto shown = [](std::string t) {
            for (size_t i; (i = t.find_first_of("\r\n")) != std::string::npos;) t.replace(i, 1, t[i] == '\r' ? "\\r" : "\\n");
            return t;
        };
        for (size_t i = m->debug.size() > 200 ? m->debug.size() - 200 : 0; i < m->debug.size(); ++i)
            if (m->debug[i] != "\n" && m->debug[i].rfind("devicewrite", 0)) std::cout << "trace: " << shown(m->debug[i]) << "\n";
        const auto &t = job.model->transcript();
        for (size_t i = t.size() > 40 ? t.size() - 40 : 0; i < t.size(); ++i)
            std::cout << "modem: " << t[i].at / 1000 << " ms " << sim::mode_name(t[i].mode) << " " << shown(t[i].text) << " -> "
                      << shown(t[i].reply) << " at " << (t[i].reply_at.empty() ? -1 : t[i].reply_at.back() / 1000) << " ms\n";
    }
    auto fail = [&](const std::string &what) { if (v.empty()) v = what; };
    // A job without faults, whose modem can take the load, completes.
    bool fits = way != 0 && c.type_letter == b.type, clean = c.faults.empty() && c.random_faults.empty() && writes.empty() &&
                                                           !read_to && closes.empty() && !hold_line && !said_no;
    if (clean && job.com && (fits || c.firmware_running) && job.ini.find("CS=BAD") == std::string::npos && !success)
        fail("a job without faults did not complete: " + outcome);
    if (success) {
        std::string bin = fake::read_file(fake::testdata(std::string(b.name) + ".bin"));
        std::vector<uint8_t> want(bin.begin(), bin.end());
        want.resize(job.model->flash().size(), 0xFF);
        if (job.model->flash() != want) fail("success reported, but the modem's flash is not the load");
        std::string line = checks::unacknowledged(*job.model, records, w.decided_us);
        if (!line.empty()) fail("success reported, but the modem never acknowledged line " + line);
    }
    std::filesystem::remove_all(job.folder);
    return v.empty() ? v : v + "\n  job: " + recipe;
}

void watchdog(int) {
    char text[160];
    int n = std::snprintf(text, sizeof text, "VIOLATION: job %llu hangs (no end in 60 s of real time)\nreplay: %s --seed %llu --jobs 1 --verbose\n",
                          static_cast<unsigned long long>(current_seed), self.c_str(), static_cast<unsigned long long>(current_seed));
    (void)!write(2, text, static_cast<size_t>(n));
    _exit(1);
}

} // namespace

int main(int argc, char **argv) {
    uint64_t jobs = 1000, seed = 1;
    bool verbose = false;
    std::vector<uint64_t> seeds;
    self = argv[0];
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--jobs" && i + 1 < argc) jobs = std::stoull(argv[++i]);
        else if (a == "--seed" && i + 1 < argc) seed = std::stoull(argv[++i]);
        else if (a == "--verbose") verbose = true;
        else if (a == "--replay" && i + 1 < argc) {
            std::ifstream f(argv[++i]);
            for (std::string line; std::getline(f, line);)
                if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) seeds.push_back(std::stoull(line));
            if (!f.eof()) return std::cerr << "campaign: cannot read " << argv[i] << "\n", 2;
        } else return std::cerr << "usage: campaign [--jobs N] [--seed S] [--replay FILE] [--verbose]\n", 2;
    }
    for (uint64_t s = seed; s < seed + jobs; ++s) seeds.push_back(s);
    std::signal(SIGALRM, watchdog);
    auto start = std::chrono::steady_clock::now();
    for (uint64_t s : seeds) {
        current_seed = s;
        alarm(60);
        std::string v = play(s, verbose);
        if (!v.empty()) {
            std::cout << "VIOLATION in job " << s << ": " << v << "\nreplay: " << self << " --seed " << s << " --jobs 1 --verbose\n";
            return 1;
        }
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "jobs run: " << stats.jobs << " (seeds " << seed << " to " << seed + jobs - 1 << ", " << seeds.size() - jobs
              << " replayed) in " << secs
              << " s; violations: 0; longest job " << stats.longest / 1000 << " s of virtual time (largest bound "
              << stats.bound / 1000 << " s)\nfaults injected at the modem's end (fired):";
    for (int k = 0; k < 8; ++k) std::cout << " " << kinds[k] << " " << stats.fired[k];
    std::cout << "\nat the PC's end: failed writes " << stats.writes_failed << ", empty writes " << stats.writes_empty
              << ", short writes " << stats.writes_short << ", jobs with failing reads " << stats.read_trouble
              << "; closes asked " << stats.closes << "\noutcomes (jobs, first seed):\n";
    for (auto &[k, n] : stats.outcomes) std::cout << "  " << n.first << "  (" << n.second << ")  " << k << "\n";
}
