// libFuzzer targets, one per executable (FUZZ_TARGET names it): the modem's
// side of the probe and of a whole job, the load and the loader file through
// a whole job against the modem model, the settings file, the text reader.
// Each aborts when something that must hold does not; the sanitizers catch
// the rest. FUZZ_SEEDS=DIR makes a target write its seed corpus there:
// the real files, and the model's real replies.
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "app/app.h"
#include "campaign/checks.h"
#include "identify/identify.h"
#include "platform/profile.h"

namespace {

struct Input {
    const uint8_t *p;
    size_t n;
    int byte() { return n ? (--n, *p++) : -1; }
    std::string rest() const { return std::string(reinterpret_cast<const char *>(p), n); }
};

const std::string &dir() {
    static const std::string *d = [] {
        auto p = std::filesystem::temp_directory_path() / ("flashfuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(p);
        std::atexit([] { std::filesystem::remove_all(dir()); });
        return new std::string(p.string());
    }();
    return *d;
}

void check(bool ok, const std::string &what) {
    if (ok) return;
    std::fprintf(stderr, "VIOLATION: %s\n", what.c_str());
    std::abort();
}

// A small load (the header and two records of a real one) and loader.
std::vector<std::string> small_load() {
    std::string text = fake::read_file(fake::testdata("load_small.hex"));
    std::vector<std::string> lines;
    for (size_t at = 0; lines.size() < 3; at = text.find('\n', at) + 1) lines.push_back(text.substr(at, text.find('\n', at) - at));
    lines.push_back("S9030000FC");
    return lines;
}
std::string joined(const std::vector<std::string> &lines) {
    std::string s;
    for (auto &l : lines) s += l + "\n";
    return s;
}
const char *const SMALL_LOADER = ":0400000001020304F2\n:00000001FF\n";

// The modem's side from the fuzzer's bytes: at each look at the port the
// next chunk arrives. A chunk is a byte h and the bytes it counts: the clock
// moves on (h & 15)^2 * 40 ms first (past every short time-out at 15), and
// h >> 4 bytes follow (15: 15 more, plus 16 times the next byte).
void modem_from(Input *in) {
    fake::Machine &m = fake::pc();
    m.ports[3] = nullptr;
    m.idle_skip_ms = 2000;
    m.on_look = [in] {
        int h = in->byte();
        if (h < 0) return;
        fake::pc().now_ms += static_cast<uint64_t>((h & 15) * (h & 15) * 40);
        size_t n = static_cast<size_t>(h >> 4);
        if (n == 15) n += 16 * static_cast<size_t>(std::max(in->byte(), 0));
        n = std::min(n, in->n);
        fake::pc().incoming.append(reinterpret_cast<const char *>(in->p), n);
        in->p += n, in->n -= n;
    };
}
// The model's replies as the program read them, as chunks of that form.
std::string as_chunks(const std::vector<std::string> &reads) {
    std::string out;
    for (const auto &r : reads)
        for (size_t i = 0; i < r.size(); i += 14) out += static_cast<char>(std::min<size_t>(14, r.size() - i) << 4) + r.substr(i, 14);
    return out;
}

void set_answers(int bits) { // the n-th question answered by bit n; No after the fourth
    auto n = std::make_shared<int>(0);
    fake::pc().answer = [bits, n](const std::string &box) {
        return box[0] != '?' ? PLAT_IDOK : (bits >> (*n)++ & 1) && *n <= 4 ? PLAT_IDYES : PLAT_IDNO;
    };
}

// -- the probe, answered by the fuzzer: its result, and the port, must agree
// with what the modem said.
void setup_probe(int flags) {
    fake::reset();
    com_port = 3;
    cfg_complete = flags & 1;
    if (cfg_complete) std::strcpy(cfg_atcmd, "ATI5\r"), std::strcpy(cfg_response, flags & 2 ? "" : "Quillmarch^RRFL");
    load_modem_type = MODEM_INTERNAL, load_rrfl_sector = flags & 4 ? 16 : 64, load_rrfl_checksum = 0x1234;
    set_answers(flags >> 3);
}
int probe(Input in) {
    int flags = in.byte();
    if (flags < 0) return 0;
    setup_probe(flags);
    modem_from(&in);
    int r = open_and_probe_port();
    check(r >= 1 && r <= 5 && (hComm != nullptr) == (r != PROBE_NO_MODEM) && fake::pc().open_ports() == (r != PROBE_NO_MODEM),
          "probe result " + std::to_string(r) + " with the port " + (hComm ? "open" : "closed"));
    if (r == PROBE_RRFL_STARTED || r == PROBE_START_RRFL)
        check(load_type_ok && actual_sector_size == load_rrfl_sector && actual_rrfl_checksum == load_rrfl_checksum,
              "the resident loader is used though it does not fit the load");
    close_port();
    return 0;
}

// -- whole jobs: the small files, the modem on COM3.
void small_job(fake::Job &job, int flags, const std::string &load, const std::string &loader) {
    job.root = dir() + "/job";
    job.load = job.loader = "";
    if (flags & 1) job.ini += "NoPopUps=yes\n";
    if (flags & 2) job.ini += "atchecksum=AT&&FCS\nchecksumresponse=CS=GOOD\n";
    job.modem.checksum_cmd = "AT&&FCS", job.modem.checksum_reply = "CS=GOOD";
    job.modem.flash_size = 0x4000; // room for the loads, quick to fill with old firmware
    job.setup = [&job, flags, load, loader] {
        fake::write_file(job.folder + "/modem.hex", load);
        fake::write_file(job.folder + "/kivfldr.hex", loader);
        fake::pc().sleep_with_loader = true;
        set_answers(flags >> 2);
    };
}
std::string played(fake::Job &job, checks::Watch &w, uint64_t records) {
    w.bound = checks::bound_ms(3, 603, records, 4, 0);
    return checks::run(job, w);
}

// The modem's side of a whole job from the fuzzer: success only when every
// record went out after the last full erase.
int job(Input in) {
    int flags = in.byte();
    if (flags < 0) return 0;
    fake::Job job;
    small_job(job, flags, joined(small_load()), SMALL_LOADER);
    job.com = 0;
    auto setup = job.setup;
    job.setup = [&] { setup(), modem_from(&in); };
    checks::Watch w;
    std::string v = played(job, w, 4);
    check(v.empty(), v);
    const std::string &line = fake::pc().line;
    size_t at = line.rfind('Z') == std::string::npos ? 0 : line.rfind('Z');
    for (auto &r : small_load())
        if (w.success) check((at = line.find(r + "\r", at)) != std::string::npos, "success reported, but " + r + " was never sent");
    return 0;
}

// The records of a load as the program reads it: text mode, a Ctrl-Z or
// 0xFF ends it, lines end at LF or CR.
std::vector<std::string> records_of(const std::string &file) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < file.size() && file[i] != '\x1A' && file[i] != '\xFF'; ++i)
        if (file[i] == '\n' || file[i] == '\r')
            out.emplace_back(), i += file.compare(i, 2, "\r\n") == 0;
        else
            out.back() += file[i];
    std::erase_if(out, [](const std::string &l) { return l.empty() || l[0] != 'S'; });
    return out;
}

// A load file from the fuzzer: success only when the modem answered every
// record; its resident loader fits a load with the real header, or the
// loader is uploaded first.
int load(Input in) {
    std::string text = in.rest();
    fake::Job job;
    small_job(job, 6, text, SMALL_LOADER);
    job.modem.firmware_running = text.size() & 1;
    job.modem.rrfl_checksum = text.size() & 2 ? 0x1234 : 0x9999;
    checks::Watch w;
    std::string v = played(job, w, records_of(text).size());
    check(v.empty(), v);
    if (w.success) check(checks::unacknowledged(*job.model, records_of(text), w.decided_us).empty(), "success reported, but a record was never acknowledged");
    return 0;
}

// A loader file from the fuzzer, uploaded before the small load: success
// only with the load in the modem's flash.
int loader(Input in) {
    fake::Job job;
    small_job(job, 6, joined(small_load()), in.rest());
    job.modem.rrfl_checksum = 0x9999;
    checks::Watch w;
    std::string v = played(job, w, 4);
    check(v.empty(), v);
    if (!w.success) return 0;
    std::string bin = fake::read_file(fake::testdata("load_small.bin")).substr(0, 64);
    std::vector<uint8_t> want(bin.begin(), bin.end());
    want.resize(job.model->flash().size(), 0xFF);
    check(job.model->flash() == want, "success reported, but the modem's flash is not the load");
    return 0;
}

// The settings file: every value within its buffer, and what the program
// makes of them (the window's lines, the probe's match) within theirs.
int settings(Input in) {
    fake::reset();
    fake::write_file(dir() + "/flashfile.ini", in.rest());
    cfg_complete = read_flash_settings(dir().c_str(), cfg_modemname, cfg_filename);
    check(cfg_complete <= 1 && no_popups <= 1 && skip_flush <= 1, "settings flags");
    for (const char *v : {cfg_modemname, cfg_filename, cfg_atcmd, cfg_response, cfg_atchecksum, cfg_checksumresponse, cfg_logfile})
        check(std::strlen(v) <= 255, "a settings value past its buffer");
    init_status_lines();
    com_port = 255;
    set_found_line("...");
    check(std::strlen(status_line1) < sizeof status_line1 && std::strstr(status_line1, " on COM255"), "the found line lost its port");
    int r = match_alternatives("\r\nI-56K V.90 Quillmarch 3.12\r\n\r\nOK\r\n", cfg_response);
    check(r == -1 || (r >= 1 && r <= 255), "match_alternatives");
    char small[4];
    profile_read_string("FlashInfo", "modemname", "x", small, 1 + in.n % 4, (dir() + "/flashfile.ini").c_str());
    check(std::strlen(small) <= in.n % 4, "a profile read past its capacity");
    return 0;
}

// The text reader against the rules it follows: Ctrl-Z ends the text,
// CR LF reads as LF, every other byte comes through; one character at a
// time or in blocks alike.
int text(Input in) {
    std::string bytes = in.rest(), want;
    for (size_t i = 0; i < bytes.size() && bytes[i] != '\x1A'; ++i)
        if (bytes.compare(i, 2, "\r\n") != 0) want += bytes[i];
    std::string path = dir() + "/text";
    fake::write_file(path, bytes);
    check(file_size(path.c_str()) == static_cast<long>(bytes.size()), "file_size");
    text_file *f = text_open(path.c_str());
    std::string got;
    char block[64];
    for (size_t k = 0;; ++k) {
        size_t step = bytes.empty() ? 1 : static_cast<unsigned char>(bytes[k % bytes.size()]) % 40;
        if (step < 8) {
            int c = text_getc(f);
            if (c < 0) break;
            got += static_cast<char>(c);
        } else {
            size_t n = text_read(f, block, step % sizeof block);
            got.append(block, n);
            if (n < step % sizeof block) break;
        }
    }
    text_close(f);
    check(got == want, "the text reader read something else");
    return 0;
}

int (*target)(Input) = nullptr;
std::string target_name;

// The seed corpus: the real files, the model's real replies.
void write_seeds(std::string to) {
    to = std::filesystem::absolute(to).string(); // a job makes its own folder current
    std::filesystem::create_directories(to);
    int n = 0;
    auto seed = [&](const std::string &bytes) { fake::write_file(to + "/seed-" + std::to_string(++n), bytes); };
    const std::string &target = target_name;
    for (const char *f : {"load_small.hex", "load_c2.hex", "load_c3.hex", "kivfldr_crlf.hex", "kivfldr_noeol.hex"})
        if (target == "text" || (target == "load" && f[1] == 'o') || (target == "loader" && f[0] == 'k')) seed(fake::read_file(fake::testdata(f)));
    if (target == "settings" || target == "text")
        for (const char *ini : {"[FlashInfo]\nmodemname=Test Modem\nfilename=modem.hex\natcmd=ATI5\nresponse=Quillmarch^RRFL\n",
                                "[FlashInfo]\r\nNoPopUps=YES\r\nSkipFlush=yes\r\natchecksum=AT&&FCS\r\ncheckSumResponse=<empty>\r\n",
                                "; note\n[other]\nmodemname=x\n[ flashinfo ]\n atcmd = \"ATI3\" \nlogfile=flash.log\n"})
            seed(ini);
    // Replies: the model's own, in the probe and in whole jobs, by each way in.
    for (int flags : {13, 12, 30, 31}) {
        for (int way = 0; way < 3 && (target == "probe" || target == "job"); ++way) {
            fake::Job job;
            small_job(job, flags, joined(small_load()), SMALL_LOADER);
            job.modem.firmware_running = way != 1, job.modem.rrfl_checksum = way ? 0x1234 : 0x9999;
            if (target == "probe") {
                setup_probe(flags);
                sim::Modem modem(job.modem);
                fake::pc().ports[3] = &modem;
                open_and_probe_port();
                close_port();
            } else {
                checks::Watch w;
                played(job, w, 4);
            }
            seed(std::string(1, static_cast<char>(flags)) + as_chunks(fake::pc().reads));
        }
    }
}

} // namespace

// The target is named by the program's name, fuzz_<target>.
extern "C" int LLVMFuzzerInitialize(int *, char ***argv) {
    std::string name = std::filesystem::path((*argv)[0]).filename().string();
    const struct { const char *name; int (*f)(Input); } targets[] = {
        {"probe", probe}, {"job", job}, {"load", load}, {"loader", loader}, {"settings", settings}, {"text", text}};
    for (auto &t : targets)
        if (name == std::string("fuzz_") + t.name) target = t.f, target_name = t.name;
    if (!target) std::fprintf(stderr, "%s: run me as fuzz_probe, fuzz_job, fuzz_load, fuzz_loader, fuzz_settings or fuzz_text\n", name.c_str()), std::exit(2);
    if (const char *to = std::getenv("FUZZ_SEEDS")) write_seeds(to), std::exit(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return target(Input{data, size}); }
