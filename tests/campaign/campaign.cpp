// Jobs against the modem model, each drawn from its seed and held to the invariants; the first
// violation stops it with the command that replays it. Usage: see main().
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>

#include "app/app.h"
#include "campaign/checks.h"

namespace {

std::mt19937_64 rng;
std::string drawn; // for the violation's report
int draw(const char *what, int n) {
    int v = static_cast<int>(rng() % static_cast<uint64_t>(n));
    return drawn += std::string(what) + "=" + std::to_string(v) + " ", v;
}
bool maybe(const char *what, double p) {
    return rng() % 1000 < p * 1000 && (drawn += std::string(what) + " ", true);
}
template <class T> T one_of(const char *what, std::initializer_list<T> v) {
    return v.begin()[draw(what, static_cast<int>(v.size()))];
}

// A moment of the job: the first step in a state, the step sending the n-th load line read since
// start-up, a poll for its reply, or (hold) the loader thread writing its n-th line.
struct When {
    int state = -1, send = 0, poll = 0, hold = 0;
    bool now(int first) const {
        return (state >= 0 && state == first) ||
               (send && flash_state == SEQ_SEND && records_sent == send - 1) ||
               (poll && flash_state == SEQ_POLL && records_sent == poll);
    }
};
When when(int records, bool hold) {
    When w;
    int k = draw("when", hold ? 4 : 3), n = 1 + draw("n", k == 3 ? 603 : records + 3);
    (k == 0   ? w.state
     : k == 1 ? w.send
     : k == 2 ? w.poll
              : w.hold) =
        k ? n
          : one_of<int>("state", {SEQ_PROBE, SEQ_OPEN_LOADER, SEQ_OPEN_LOAD, SEQ_NOT_RESPONDING,
                                  SEQ_RRFL_VERSION, SEQ_FLASH_ERROR, SEQ_COMPLETE});
    return w;
}

const char *const kinds[] = {"noreply", "late",  "nok",     "split",
                             "garbage", "flood", "silence", "erasefail"};
struct {
    long jobs = 0, fired[8] = {}, writes[3] = {}, closes = 0, hang_ups = 0, merged = 0;
    uint64_t longest = 0;
    std::map<std::string, std::pair<long, uint64_t>> outcomes;
} stats; // merged: reads that held two answers or more

std::string play(uint64_t seed, bool verbose) {
    rng.seed(seed), drawn.clear();
    fake::Job job;
    job.root = std::string(TEST_BINARY_DIR) + "/campaign-" + std::to_string(getpid()),
    job.load = job.loader = "";
    // The load: a base made by srec_cat; its records kept, its line ends and extras drawn.
    struct {
        const char *name;
        char type;
        int sector;
        unsigned checksum;
    } bases[] = {{"load_small", 'I', 64, 0x1234},
                 {"load_c2", 'S', 16, 0xBEEF},
                 {"load_c3", 'P', 64, 0x0F0F}},
      b = bases[draw("load", 3)];
    std::vector<std::string> records, lines;
    std::istringstream base(fake::read_file(fake::testdata(std::string(b.name) + ".hex")));
    for (std::string l; std::getline(base, l);) records.push_back(l), lines.push_back(l);
    for (int i = draw("blanks", 4); i > 0; --i)
        lines.insert(lines.begin() + 2 + draw("at", static_cast<int>(lines.size()) - 1), "");
    size_t lone_cr = maybe("lone-cr", 0.2)
                         ? 2 + static_cast<size_t>(draw("at", static_cast<int>(lines.size()) - 3))
                         : 0;
    std::string eol = maybe("crlf", 0.5) ? "\r\n" : "\n", load,
                last_eol = maybe("no-final-eol", 0.3) ? "" : eol;
    for (size_t i = 0; i < lines.size(); ++i)
        load += lines[i] + (i == lone_cr ? "\r" : i + 1 < lines.size() ? eol : last_eol);
    load += one_of<std::string>("tail", {"", "", "\032S1FFGARBAGE\n", "\377S9 not a record\n"});
    std::string loader = fake::read_file(
        fake::testdata(one_of("loader", {"kivfldr.hex", "kivfldr_crlf.hex", "kivfldr_noeol.hex"})));
    if (maybe("loader-blank", 0.2))
        loader.insert(loader.find('\n', static_cast<size_t>(draw("at", 9000))) + 1, "\n");
    // The modem and the way in: 0 the loader upload, 1 its resident loader running, 2 started by
    // the program.
    sim::ModemConfig &c = job.modem;
    int way = draw("way", 3);
    c.type_letter = maybe("other-type", 0.05) ? 'U' : b.type, c.rrfl_sector = b.sector,
    c.rrfl_checksum = way ? b.checksum : 0x9999;
    c.firmware_running = way != 1 && !maybe("resident", 0.05),
    c.line_rate = maybe("paced", 0.2) ? 11520 : 0;
    c.host_fifo = one_of("fifo", {14, 14, 1, 0}), c.latency_ms = 1 + draw("latency", 20),
    c.flash_size = 0x4000;
    c.erase_ms = one_of<long>("erase", {2000, 2000, 50, 30000, 400000}),
    c.seed = static_cast<uint32_t>(rng());
    // Settings and ports.
    bool popups = !maybe("NoPopUps", 0.3);
    job.ini =
        maybe("dialog", 0.2)
            ? ""
            : "modemname=Test Modem\nfilename=modem.hex\natcmd=ATI5\nresponse=Quillmarch^RRFL\n";
    job.ini += (popups ? "" : "NoPopUps=yes\n") +
               std::string(maybe("SkipFlush", 0.2) ? "SkipFlush=yes\n" : "");
    if (maybe("checksum", 0.3))
        job.ini += "atchecksum=AT&&FCS\ncheckSumResponse=" +
                   one_of<std::string>("reply", {"CS=GOOD", "CS=GOOD", "", "CS=BAD"}) + "\n";
    c.checksum_cmd = "AT&&FCS", c.checksum_reply = "CS=GOOD",
    job.log = maybe("log", 0.1) ? job.root + "/flash.log" : "";
    job.com = maybe("no-modem", 0.03) ? 0 : 1 + draw("com", 3);
    int top = std::max(job.com, 1) + draw("from", 2), R = static_cast<int>(records.size());
    job.cmdline = std::to_string(top);
    // Faults at the modem's end, scripted and by chance.
    for (int i = draw("faults", 4); i > 0; --i) {
        int k = draw("kind", 8);
        std::string f = kinds[k], n = std::to_string(1 + draw("n", 40)),
                    at = std::to_string(draw("ms", 20000)), err;
        if (k == 1)
            f += ":" + std::to_string(one_of("late", {30, 1500, 4500, 7000, 190000, 370000}));
        if (k >= 2 && k <= 5)
            f += ":" + std::to_string(k == 2   ? 1 + draw("nok", 4)
                                      : k == 5 ? 100 + draw("flood", 9000)
                                               : 1 + draw("arg", 64));
        f += k == 7
                 ? "@erase:" + std::to_string(1 + draw("n", 3))
                 : one_of<std::string>("at", {"@cmd:" + std::to_string(1 + draw("n", 12)),
                                              "@rec:" + std::to_string(1 + draw("n", R + 5)),
                                              "@rec:" + n, "@on=AT&&FGO", "@on=at&&f:", "@on=ATI5",
                                              "@on=AT&&FCS", "@time:" + at});
        if (!sim::parse_fault(f, false, &c.faults.emplace_back(), &err)) return err;
    }
    if (maybe("random", 0.25)) {
        int k = one_of("kind", {0, 1, 2, 3, 4, 5, 7});
        std::string f = kinds[k] +
                        std::string(k == 1   ? ":300"
                                    : k == 2 ? ":" + std::to_string(1 + draw("nok", 4))
                                             : "") +
                        "@" + one_of<std::string>("rate", {"0.005", "0.02", "0.1"});
        if (!sim::parse_fault(f, true, &c.random_faults.emplace_back(), &f)) return f;
    }
    // Drawn apart, so that earlier jobs stay as they were: answers later than the time-out (also
    // to the resend, maybe with a NOK: NOK1 and NOK4 bring the erase offer); hang-ups.
    std::mt19937_64 later(seed * 0x9E3779B97F4A7C15u);
    std::vector<std::string> beyond;
    std::swap(rng, later);
    for (int n = maybe("beyond", 0.1) ? 1 + draw("n", R + 3) : 0, i = 0; n && i < 3; ++i) {
        std::string at = "@rec:" + std::to_string(n + (i == 1)); // (twice:) its resend
        if (i == 0 || maybe(i == 1 ? "twice" : "late-nok", 0.5))
            beyond.push_back(i == 2 ? "nok:" + std::to_string(one_of("nok", {1, 3, 4})) + at
                                    : "late:" + std::to_string(one_of("s", {181, 190, 370})) +
                                          "000" + at);
    }
    When hang_at = maybe("hang-up", 0.03) ? when(R, true) : When{};
    std::swap(rng, later);
    for (auto &f : beyond) sim::parse_fault(f, false, &c.faults.emplace_back(), &f);
    // Faults at the PC's end, the user's answers and closes, each at a moment of the job.
    std::deque<int> takes;
    When write_at, hold_at;
    std::vector<When> closes;
    if (maybe("writes", 0.15))
        for (int kind = draw("kind", 3), n = 1 + draw("n", 12); n > 0; --n)
            takes.push_back(kind == 0 ? -1 : kind == 1 ? 0 : 1 + draw("took", 15));
    if (!takes.empty()) write_at = when(R, false);
    for (int i = maybe("close", 0.15) ? 1 + draw("closes", 2) : 0; i > 0; --i) {
        When w = when(R, !hold_at.hold);
        (w.hold ? hold_at : closes.emplace_back()) = w;
    }
    const std::deque<int> takes_drawn = takes;
    bool faultless = c.faults.empty() && c.random_faults.empty() && takes.empty() &&
                     hang_at.state < 0 && !hang_at.send && !hang_at.poll && !hang_at.hold,
         said_no = false;          // closes refused allowed
    int yes_left = draw("yes", 4); // Yes to the retry questions: a finite number
    uint32_t tick_base =
        maybe("ticks-wrap", 0.1) ? 0xFFFFFFFFu - static_cast<uint32_t>(draw("ms", 60000)) : 0;
    checks::Watch w;
    w.bound = checks::bound_ms(static_cast<uint64_t>(top), 604, records.size(),
                               static_cast<uint64_t>(yes_left), takes.size());

    // The job.
    int first = -1, last = -1;
    std::atomic<bool> held_once{false}, close_served{false};
    size_t next_close = 0;
    fake::Machine *m = nullptr;
    job.setup = [&] {
        m = &fake::pc(), m->idle_skip_ms = 250, m->sleep_with_loader = true,
        m->tick_base = tick_base;
        for (int p = 1; p <= top; ++p)
            if (p != job.com && (p * 7919 + seed) % 2)
                m->ports[p] = nullptr; // a device that answers nothing
        m->dialog = [&](plat_open_file *req) {
            return std::snprintf(req->file, req->max_file, "%s/modem.hex", job.folder.c_str()), 1;
        };
        fake::write_file(job.folder + "/modem.hex", load),
            fake::write_file(job.folder + "/kivfldr.hex", loader);
        m->answer = [&](const std::string &box) {
            bool retry = box.find("Retry") != std::string::npos,
                 kill = box.find("Kill") != std::string::npos;
            bool yes = kill ? rng() % 2 : retry ? yes_left > 0 && rng() % 4 : rng() % 10;
            yes_left -= yes && retry, said_no |= !yes && box[0] == '?' && !kill;
            return box[0] != '?' ? PLAT_IDOK : yes ? PLAT_IDYES : PLAT_IDNO;
        };
        m->on_write = [&] { // a close during the upload: the loader thread waits at its line until
                            // it is answered
            if (hang_at.hold && loader_lines_sent.load() == hang_at.hold - 1) m->hung_up = true;
            if (!hold_at.hold || held_once || std::this_thread::get_id() == m->gui ||
                loader_lines_sent.load() != hold_at.hold - 1)
                return;
            for (held_once = m->loader_held = true; m->loader_held;) std::this_thread::yield();
        };
    };
    job.each_step = [&] {
        first = flash_state != last ? flash_state : -1, last = flash_state;
        if (!takes.empty() && write_at.now(first)) m->write_takes = takes, takes.clear();
        if (next_close < closes.size() && closes[next_close].now(first))
            on_close_request(), ++next_close;
        if (hang_at.now(first)) m->hung_up = true;
        if (m->loader_held && !close_served.exchange(true) && on_close_request() != CLOSE_SHUTDOWN)
            m->loader_held = false;
    };
    std::string v = checks::run(job, w);

    // What the user was told, the figures, the invariants beyond every job's.
    std::string shown = m->boxes.empty()
                            ? "no box"
                            : m->boxes.back().substr(0, m->boxes.back().find_first_of("\n;("));
    for (auto &x : m->screens)
        shown = !popups && x.rfind("Programming Failed|", 0) == 0 ? "Programming Failed, NoPopUps"
                                                                  : shown;
    std::string outcome = w.success
                              ? (popups ? "completed" : "completed, NoPopUps")
                              : (job_outcome == JOB_STOPPED ? "stopped: " : "failed: ") + shown;
    auto &o = stats.outcomes[outcome.substr(0, 72)];
    o.second = o.first++ ? o.second : seed, ++stats.jobs,
    stats.longest = std::max<uint64_t>(stats.longest, m->now_ms);
    for (int k = 0; k < 8; ++k) stats.fired[k] += job.model->counters().faults_by_kind[k];
    for (int t : takes_drawn) ++stats.writes[t < 0 ? 0 : t == 0 ? 1 : 2];
    stats.closes += static_cast<long>(closes.size()) + (hold_at.hold != 0);
    stats.hang_ups += m->hung_up;
    for (auto &r : m->reads) stats.merged += r.find("OK") < r.rfind("OK");
    for (auto &t : m->debug)
        if (verbose && t != "\n" && t.rfind("devicewrite", 0)) std::cout << "trace: " << t << "\n";
    if (verbose) std::cout << "outcome: " << outcome << " after " << m->now_ms << " ms\n";
    std::string bin = fake::read_file(fake::testdata(std::string(b.name) + ".bin")),
                line = checks::unacknowledged(*job.model, records, w.decided_us);
    std::vector<uint8_t> want(bin.begin(), bin.end());
    want.resize(job.model->flash().size(), 0xFF);
    if (v.empty() && faultless && !said_no && job_outcome != JOB_STOPPED && job.com &&
        ((way && c.type_letter == b.type) || c.firmware_running) && !w.success &&
        job.ini.find("BAD") == std::string::npos)
        v = "a job without faults did not complete: " + outcome;
    if (v.empty() && w.success)
        v = !line.empty() ? "success reported, but the modem never acknowledged " + line
            : job.model->flash() != want ? "success reported, but the modem's flash is not the load"
                                         : "";
    std::filesystem::remove_all(job.folder);
    return v.empty() ? v : v + "\n  drawn: " + drawn;
}

std::string self, hang; // what to say should the job under way hang
void hangs(int) { (void)!write(2, hang.data(), hang.size()), _exit(1); }

} // namespace

int main(int argc, char **argv) {
    uint64_t jobs = 1000, seed = 1;
    bool verbose = false;
    std::vector<uint64_t> seeds;
    self = argv[0];
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i], next = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--verbose") verbose = true;
        else if (a == "--jobs" && !next.empty()) jobs = std::stoull(argv[++i]);
        else if (a == "--seed" && !next.empty()) seed = std::stoull(argv[++i]);
        else if (a == "--replay" && !next.empty() && std::ifstream(argv[++i]))
            for (std::ifstream f(argv[i]); std::getline(f, a);)
                a[0] >= '0' && a[0] <= '9' ? seeds.push_back(std::stoull(a)) : void();
        else
            return std::cerr
                       << "usage: campaign [--jobs N] [--seed S] [--replay FILE] [--verbose]\n",
                   2;
    }
    for (uint64_t s = seed; s < seed + jobs; ++s) seeds.push_back(s);
    std::signal(SIGALRM, hangs);
    auto start = std::chrono::steady_clock::now();
    auto secs = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    for (uint64_t s : seeds) {
        std::string replay =
            "\nreplay: " + self + " --seed " + std::to_string(s) + " --jobs 1 --verbose\n";
        hang = "VIOLATION: job " + std::to_string(s) + " hangs" + replay, alarm(60);
        std::string v = play(s, verbose);
        if (!v.empty()) return std::cout << "VIOLATION in job " << s << ": " << v << replay, 1;
        if (stats.jobs % 10000 == 0) std::cerr << stats.jobs << " jobs, " << secs() << " s\n";
    }
    std::cout << "jobs run: " << stats.jobs << " (seeds " << seed << " to " << seed + jobs - 1
              << ", " << seeds.size() - jobs << " replayed) in " << secs()
              << " s; violations: 0; longest job " << stats.longest / 1000
              << " s of virtual time\nfaults injected at the modem's end (fired):";
    for (int k = 0; k < 8; ++k) std::cout << " " << kinds[k] << " " << stats.fired[k];
    std::cout << "\nat the PC's end: failed writes " << stats.writes[0] << " empty writes "
              << stats.writes[1] << " short writes " << stats.writes[2]
              << "; closes asked: " << stats.closes << "; hang-ups: " << stats.hang_ups
              << "\nreads holding two answers: " << stats.merged
              << "\noutcomes (jobs, first seed):\n";
    for (auto &[k, n] : stats.outcomes)
        std::cout << "  " << n.first << "  (" << n.second << ")  " << k << "\n";
}
