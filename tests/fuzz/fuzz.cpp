// libFuzzer targets, one program named fuzz_<target> for each: probe and job (the modem's side of
// the probe and of a whole job), load and loader (the files through a whole job against the modem
// model), settings (its reader). Each aborts when what must hold does not, the sanitizers catch the
// rest. With FUZZ_SEEDS=DIR it writes its seeds there: the real files, the model's replies.
#include <unistd.h>

#include <cstring>
#include <numeric>
#include <sstream>

#include "app/app.h"
#include "campaign/checks.h"
#include "identify/identify.h"

namespace {

struct Input {
    const uint8_t *p;
    size_t n;
    int byte() { return n ? (--n, *p++) : -1; }
    std::string rest() const { return std::string(reinterpret_cast<const char *>(p), n); }
};
void check(bool ok, const char *what) {
    ok ? void() : (std::fprintf(stderr, "VIOLATION: %s\n", what), std::abort());
}
const std::string dir =
    std::filesystem::temp_directory_path().string() + "/flashfuzz-" + std::to_string(getpid());
const bool made = std::filesystem::create_directories(dir) &&
                  !std::atexit([] { std::filesystem::remove_all(dir); });
// A small load (the header line and a record of a real one, and an end record) and loader.
std::vector<std::string> small_load() {
    std::istringstream t(fake::read_file(fake::testdata("load_small.hex")));
    std::vector<std::string> l(3);
    for (auto &x : l) std::getline(t, x);
    return l.push_back("S9030000FC"), l;
}
std::string joined(const std::vector<std::string> &l) {
    return std::accumulate(l.begin(), l.end(), std::string(),
                           [](auto a, auto &b) { return a + b + "\n"; });
}

// The modem's side from the fuzzer's bytes: at each look at the port the clock moves (h & 15)^2 *
// 40 ms for a byte h, then h >> 4 bytes arrive (15: 15 + 16 times the next byte).
void modem_from(Input *in) {
    fake::pc().ports[3] = nullptr, fake::pc().idle_skip_ms = 2000;
    fake::pc().on_look = [in] {
        int h = in->byte();
        size_t n = h < 0
                       ? 0
                       : static_cast<size_t>(h >> 4) +
                             (h >> 4 == 15 ? 16 * static_cast<size_t>(std::max(in->byte(), 0)) : 0);
        fake::pc().now_ms += static_cast<uint64_t>((h & 15) * (h & 15) * 40 * (h >= 0));
        fake::pc().incoming.append(reinterpret_cast<const char *>(in->p), n = std::min(n, in->n)),
            in->p += n, in->n -= n;
    };
}
void answers(int bits) { // the n-th question answered by bit n, No after the fourth
    fake::pc().answer = [bits, n = 0](const std::string &box) mutable {
        return box[0] != '?' ? PLAT_IDOK : (bits >> n++ & 1) && n <= 4 ? PLAT_IDYES : PLAT_IDNO;
    };
}

// The probe: its result and the port agree; a resident loader is used only when it fits the load.
void probe_setup(int flags) {
    fake::reset(), answers(flags), com_port = 3, cfg_complete = flags & 1;
    std::strcpy(cfg_atcmd, "ATI5\r"), std::strcpy(cfg_response, flags & 2 ? "" : "Quillmarch^RRFL");
    load_modem_type = MODEM_INTERNAL, load_rrfl_sector = flags & 4 ? 16 : 64,
    load_rrfl_checksum = 0x1234;
}
int probe(Input in) {
    probe_setup(in.byte()), modem_from(&in);
    int r = open_and_probe_port();
    check(r >= 1 && r <= 5 && (hComm != nullptr) == (r != 1) && fake::pc().open_ports() == (r != 1),
          "the probe's result and its port");
    check((r != 2 && r != 4) || (load_type_ok && actual_sector_size == load_rrfl_sector &&
                                 actual_rrfl_checksum == load_rrfl_checksum),
          "a resident loader that does not fit used");
    return close_port(), 0;
}

// A whole job with these files, the modem on COM3 (`modem`'s), answers and settings from `flags`.
void play(fake::Job &job, checks::Watch &w, int flags, std::string load, std::string loader,
          Input *modem = nullptr) {
    job.root = dir + "/job", job.load = job.loader = "", job.com = modem ? 0 : 3,
    job.modem.flash_size = 0x4000;
    job.modem.checksum_cmd = "AT&&FCS", job.modem.checksum_reply = "CS=GOOD";
    job.ini += std::string(flags & 1 ? "NoPopUps=yes\n" : "") +
               (flags & 2 ? "atchecksum=AT&&FCS\nchecksumresponse=CS=GOOD\n" : "");
    job.setup = [&job, flags, load, loader, modem] {
        fake::write_file(job.folder + "/modem.hex", load),
            fake::write_file(job.folder + "/kivfldr.hex", loader);
        fake::pc().sleep_with_loader = true, answers(flags >> 2),
        modem ? modem_from(modem) : void();
    };
    w.bound = checks::bound_ms(
        3, 603, static_cast<uint64_t>(std::count(load.begin(), load.end(), '\n')) + 1, 4, 0);
    check(checks::run(job, w).empty(), "an invariant of every job (see the campaign)");
}
// Answered by the fuzzer: success only when every record went out after the last full erase.
int job(Input in) {
    fake::Job job;
    checks::Watch w;
    play(job, w, in.byte(), joined(small_load()), ":0400000001020304F2\n:00000001FF\n", &in);
    size_t at = fake::pc().line.rfind('Z') == std::string::npos ? 0 : fake::pc().line.rfind('Z');
    for (auto &r : small_load())
        check(!w.success || (at = fake::pc().line.find(r + "\r", at)) != std::string::npos,
              "success, a record never sent");
    return 0;
}
// A load (or loader) from the fuzzer: success only when the modem answered every record as the
// program reads them (Ctrl-Z or 0xFF ends it, LF or CR a line) and holds the small load.
int files(Input in, bool is_loader) {
    std::string text = in.rest();
    std::vector<std::string> records(1);
    for (size_t i = 0; i < text.size() && text[i] != '\x1A' && text[i] != '\xFF'; ++i)
        text[i] == '\n' || text[i] == '\r'
            ? (records.emplace_back(), i += text.compare(i, 2, "\r\n") == 0)
            : (records.back() += text[i], 0);
    std::erase_if(records, [](const std::string &l) { return l.empty() || l[0] != 'S'; });
    fake::Job job;
    checks::Watch w;
    job.modem.firmware_running = is_loader || text.size() & 1,
    job.modem.rrfl_checksum = !is_loader && text.size() & 2 ? 0x1234 : 0x9999;
    play(job, w, 6, is_loader ? joined(small_load()) : text,
         is_loader ? text : ":0400000001020304F2\n:00000001FF\n");
    check(!w.success ||
              checks::unacknowledged(*job.model, is_loader ? small_load() : records, w.decided_us)
                  .empty(),
          "success, a record unanswered");
    std::string bin = fake::read_file(fake::testdata("load_small.bin")).substr(0, 64);
    check(!w.success || !is_loader || std::memcmp(bin.data(), job.model->flash().data(), 64) == 0,
          "success, the load not in the flash");
    return 0;
}
int load(Input in) { return files(in, false); }
int loader(Input in) { return files(in, true); }

// The settings file: its values and the status lines made of them within their buffers (the
// sanitizers), the port on the found line however long the name.
int settings(Input in) {
    fake::reset(), fake::write_file(dir + "/flashfile.ini", in.rest());
    cfg_complete = read_flash_settings(dir.c_str(), cfg_modemname, cfg_filename),
    init_status_lines(), com_port = 255, set_found_line("...");
    return check(std::strstr(status_line1, " on COM255") &&
                     match_alternatives("I-56K V.90 Quillmarch OK", cfg_response) <= 255,
                 "the found line"),
           0;
}

int (*target)(Input) = nullptr;
// The seeds: the real files; as chunks, the model's replies in the probe and jobs, each way in.
void write_seeds(const std::string &name, const std::string &to) {
    std::filesystem::create_directories(to);
    int n = 0;
    auto seed = [&](const std::string &bytes) {
        fake::write_file(to + "/seed-" + std::to_string(++n), bytes);
    };
    for (std::string f :
         {"load_small.hex", "load_c2.hex", "load_c3.hex", "kivfldr_crlf.hex", "kivfldr_noeol.hex"})
        if (name == (f[0] == 'l' ? "load" : "loader")) seed(fake::read_file(fake::testdata(f)));
    if (name == "settings")
        seed("; a note\r\n[ flashinfo "
             "]\r\nmodemname=M\nfilename=modem.hex\r\nNoPopUps=YES\natchecksum=AT&&FCS\n "
             "checkSumResponse = \"<empty>\" \n");
    for (int flags = 12; flags < 16 && (name == "probe" || name == "job"); ++flags)
        for (int way = 0; way < 3; ++way) {
            fake::Job job;
            job.modem.firmware_running = way != 1, job.modem.rrfl_checksum = way ? 0x1234 : 0x9999;
            sim::Modem modem(job.modem);
            checks::Watch w;
            name == "job"
                ? play(job, w, flags, joined(small_load()), ":0400000001020304F2\n:00000001FF\n")
                : (probe_setup(flags), fake::pc().ports[3] = &modem, open_and_probe_port(),
                   close_port());
            std::string chunks(1, static_cast<char>(flags));
            for (const auto &r : fake::pc().reads)
                for (size_t i = 0; i < r.size(); i += 14)
                    chunks += static_cast<char>(std::min<size_t>(14, r.size() - i) << 4) +
                              r.substr(i, 14);
            seed(chunks);
        }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv) {
    std::string name = std::filesystem::path((*argv)[0]).filename().string(),
                seeds = std::getenv("FUZZ_SEEDS") ? std::getenv("FUZZ_SEEDS") : "";
    using Target = std::pair<const char *, int (*)(Input)>;
    for (auto [t, f] : {Target{"probe", probe},
                        {"job", job},
                        {"load", load},
                        {"loader", loader},
                        {"settings", settings}})
        target = name == "fuzz_" + std::string(t) ? (name = t, f) : target;
    if (!target)
        std::fprintf(stderr, "run me as fuzz_probe, _job, _load, _loader or _settings\n"),
            std::exit(2);
    return seeds.empty() ? 0
                         : (write_seeds(name, std::filesystem::absolute(seeds)), std::exit(0), 0);
}
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return (void)made, target(Input{data, size});
}
