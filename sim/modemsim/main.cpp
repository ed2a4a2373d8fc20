// modemsim: the modem model behind a pseudo-terminal (or a serial device),
// in real time. Prints the device path on its first line of output; a
// Wine prefix can map a COM port to it through a symlink (--link).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "model/modem.h"
#include "version.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Options {
    sim::ModemConfig cfg;
    std::string link, device, image, transcript, flash_in;
    bool exit_after_y = false;
    bool verbose = false;
    double timeout_s = 0;
};

void usage(FILE *out) {
    std::fprintf(
        out,
        "usage: modemsim [options]\n"
        "Puts a simulated flashable modem behind a pseudo-terminal and prints its path.\n"
        "\n"
        "Line:\n"
        "  --link PATH           make PATH a symlink to the device (removed on exit)\n"
        "  --device DEV          use this serial device instead of a new pseudo-terminal\n"
        "  --rate N              bytes a second each way (11520 = 115200 8-N-1); 0: no pacing\n"
        "  --fifo N              PC receiver FIFO trigger level (14); 0: every byte at once\n"
        "Modem:\n"
        "  --type LETTER         type letter in the ATI5 reply: C, I, S, U, P (I)\n"
        "  --resident            the firmware is gone: boot into the resident loader\n"
        "  --sector 64|16|0      resident loader sector size; 0: no resident loader (64)\n"
        "  --rrfl-checksum HEX   resident loader checksum, 4 hex digits (1234)\n"
        "  --rrfl-version V      version in the AT&&FGO banner (1.4)\n"
        "  --loader-version V    version in the banner of an uploaded loader (1.4)\n"
        "  --ident TEXT          text after the type letter in the ATI5 reply\n"
        "  --custom-cmd CMD      a custom identification command (e.g. ATI3)\n"
        "  --custom-reply TEXT   its reply text\n"
        "  --checksum-cmd CMD    an end-of-job checksum command\n"
        "  --checksum-reply TEXT its reply text\n"
        "  --no-echo             no echo in command mode\n"
        "  --latency MS          from a line's CR to its reply (5)\n"
        "  --erase-ms MS         whole-flash erase time (2000)\n"
        "  --flash-base ADDR     flash address (0)\n"
        "  --flash-size BYTES    flash size (0x20000)\n"
        "  --flash-in FILE       initial flash contents\n"
        "Faults:\n"
        "  --fault FAULT         a scripted fault (repeatable)\n"
        "  --random FAULT        a random fault (repeatable)\n"
        "  --seed N              seed of the random faults and noise (1)\n"
        "%s"
        "Run:\n"
        "  --image FILE          write the flash image here on exit\n"
        "  --transcript FILE     write every line received, with its time, here on exit\n"
        "  --exit-after-y        end when the flash session ends with Y\n"
        "  --timeout SEC         end after SEC seconds\n"
        "  -v, --verbose         show each line received and each reply on stderr\n"
        "  --help                this text\n"
        "  --version             the program's name and version\n"
        "Ends on SIGINT or SIGTERM too; the image and transcript are written then.\n",
        sim::fault_help().c_str());
}

[[noreturn]] void bad(const std::string &msg) {
    std::fprintf(stderr, "modemsim: %s (see modemsim --help)\n", msg.c_str());
    std::exit(2);
}

long to_long(const std::string &opt, const std::string &v, int base = 0) {
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(v.c_str(), &end, base);
    if (v.empty() || *end || errno || n < 0) bad(opt + " needs a whole number, not \"" + v + "\"");
    return n;
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) bad(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("modemsim %s\n", FLASHFILE_VERSION);
            std::exit(0);
        } else if (a == "--link") o.link = value();
        else if (a == "--device") o.device = value();
        else if (a == "--rate") {
            std::string v = value();
            char *end = nullptr;
            o.cfg.line_rate = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || o.cfg.line_rate < 0)
                bad("--rate needs a number of bytes a second");
        } else if (a == "--fifo") o.cfg.host_fifo = static_cast<int>(to_long(a, value()));
        else if (a == "--type") {
            std::string v = value();
            if (v.size() != 1) bad("--type takes one letter");
            o.cfg.type_letter = v[0];
        } else if (a == "--resident") o.cfg.firmware_running = false;
        else if (a == "--sector") {
            long s = to_long(a, value());
            if (s != 64 && s != 16 && s != 0) bad("--sector must be 64, 16 or 0");
            o.cfg.rrfl_sector = static_cast<int>(s);
        } else if (a == "--rrfl-checksum") {
            long c = to_long(a, value(), 16);
            if (c > 0xFFFF) bad("--rrfl-checksum takes at most four hex digits");
            o.cfg.rrfl_checksum = static_cast<unsigned>(c);
        } else if (a == "--rrfl-version") o.cfg.rrfl_version = value();
        else if (a == "--loader-version") o.cfg.loader_version = value();
        else if (a == "--ident") o.cfg.ident_text = value();
        else if (a == "--custom-cmd") o.cfg.custom_cmd = value();
        else if (a == "--custom-reply") o.cfg.custom_reply = value();
        else if (a == "--checksum-cmd") o.cfg.checksum_cmd = value();
        else if (a == "--checksum-reply") o.cfg.checksum_reply = value();
        else if (a == "--no-echo") o.cfg.echo = false;
        else if (a == "--latency") o.cfg.latency_ms = to_long(a, value());
        else if (a == "--erase-ms") o.cfg.erase_ms = to_long(a, value());
        else if (a == "--flash-base") o.cfg.flash_base = static_cast<uint32_t>(to_long(a, value()));
        else if (a == "--flash-size") {
            long n = to_long(a, value());
            if (n < 1 || n > (64L << 20)) bad("--flash-size must be 1 byte to 64 MB");
            o.cfg.flash_size = static_cast<uint32_t>(n);
        } else if (a == "--flash-in") o.flash_in = value();
        else if (a == "--fault" || a == "--random") {
            sim::Fault f;
            std::string err;
            if (!sim::parse_fault(value(), a == "--random", &f, &err)) bad(err);
            (a == "--fault" ? o.cfg.faults : o.cfg.random_faults).push_back(f);
        } else if (a == "--seed") o.cfg.seed = static_cast<uint32_t>(to_long(a, value()));
        else if (a == "--image") o.image = value();
        else if (a == "--transcript") o.transcript = value();
        else if (a == "--exit-after-y") o.exit_after_y = true;
        else if (a == "--timeout") o.timeout_s = static_cast<double>(to_long(a, value()));
        else if (a == "-v" || a == "--verbose") o.verbose = true;
        else bad("unknown option " + a);
    }
    return o;
}

void make_raw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
}

std::string printable(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c >= 0x20 && c < 0x7f) out.push_back(static_cast<char>(c));
        else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        }
    }
    return out;
}

bool write_file(const std::string &path, const void *data, size_t n) {
    std::ofstream f(path, std::ios::binary);
    f.write(static_cast<const char *>(data), static_cast<std::streamsize>(n));
    return static_cast<bool>(f);
}

} // namespace

int main(int argc, char **argv) {
    Options o = parse(argc, argv);
    sim::Modem modem(o.cfg);

    if (!o.flash_in.empty()) {
        std::ifstream f(o.flash_in, std::ios::binary);
        if (!f) bad("cannot read the flash contents " + o.flash_in);
        std::vector<char> data((std::istreambuf_iterator<char>(f)),
                               std::istreambuf_iterator<char>());
        if (data.size() > modem.flash().size()) bad(o.flash_in + " is larger than the flash");
        std::memcpy(modem.flash().data(), data.data(), data.size());
    }

    int fd = -1;
    std::string path;
    bool is_pty = o.device.empty();
    if (is_pty) {
        fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0)
            bad(std::string("no pseudo-terminal: ") + std::strerror(errno));
        path = ptsname(fd);
        int slave = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (slave >= 0) {
            make_raw(slave);
            close(slave);
        }
    } else {
        path = o.device;
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) bad("cannot open " + path + ": " + std::strerror(errno));
        make_raw(fd);
    }
    if (!o.link.empty()) {
        struct stat st {};
        if (lstat(o.link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                bad(o.link + " exists and is not a symlink; not replacing it");
            unlink(o.link.c_str());
        }
        if (symlink(path.c_str(), o.link.c_str()) != 0)
            bad("cannot make the symlink " + o.link + ": " + std::strerror(errno));
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    auto t0 = std::chrono::steady_clock::now();
    auto now_us = [&] {
        return static_cast<sim::usec>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - t0)
                                          .count());
    };
    // With pacing, take input no faster than the line would carry it: the
    // writer then waits on the full pseudo-terminal as on a slow line.
    const size_t read_chunk = o.cfg.line_rate > 0 ? 16 : 4096;
    std::string pending_out;
    size_t shown_lines = 0, shown_replies = 0;
    sim::usec y_seen_at = -1;

    while (!g_stop) {
        sim::usec now = now_us();
        if (o.timeout_s > 0 && now >= static_cast<sim::usec>(o.timeout_s * 1e6)) break;
        if (o.exit_after_y && modem.counters().y_commands > 0) {
            if (y_seen_at < 0) y_seen_at = now;
            if (now - y_seen_at > 200000) break;
        }

        // Output that has crossed the line.
        uint8_t buf[4096];
        size_t n;
        while ((n = modem.take(buf, sizeof buf, now)) > 0)
            pending_out.append(reinterpret_cast<char *>(buf), n);
        bool hung_up = false;
        if (!pending_out.empty()) {
            ssize_t w = write(fd, pending_out.data(), pending_out.size());
            if (w > 0) pending_out.erase(0, static_cast<size_t>(w));
            else if (w < 0 && errno == EIO) hung_up = true;
        }

        // A few ms of lead keep the bytes back to back despite wake-up delays.
        const sim::usec lead = 3000;
        bool input_free = modem.input_free_at() <= now + lead;
        pollfd p{
            fd, static_cast<short>((input_free ? POLLIN : 0) | (pending_out.empty() ? 0 : POLLOUT)),
            0};
        sim::usec wait = 50000;
        sim::usec next = modem.next_output_time();
        if (next >= 0) wait = std::min(wait, std::max<sim::usec>(next - now, 0));
        if (!input_free) wait = std::min(wait, modem.input_free_at() - lead - now);
        timespec ts{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
        int r = ppoll(&p, 1, &ts, nullptr);
        if (r < 0 && errno != EINTR) break;
        if (r > 0 && (p.revents & POLLHUP)) hung_up = true;
        if (r > 0 && (p.revents & POLLIN)) {
            ssize_t got = read(fd, buf, read_chunk);
            if (got > 0) modem.receive(buf, static_cast<size_t>(got), now_us());
            else if (got < 0 && errno == EIO) hung_up = true;
        }
        if (hung_up && is_pty) {
            // Nobody has the port open: what the modem says now is lost, as
            // on a real line with the PC's port closed.
            pending_out.clear();
            timespec idle{0, 10 * 1000 * 1000};
            nanosleep(&idle, nullptr);
        }

        if (o.verbose) {
            const auto &tr = modem.transcript();
            for (; shown_lines < tr.size(); ++shown_lines)
                std::fprintf(
                    stderr, "%9.3f  <- [%s] %s\n", static_cast<double>(tr[shown_lines].at) / 1e6,
                    sim::mode_name(tr[shown_lines].mode), printable(tr[shown_lines].text).c_str());
            const auto &rp = modem.replies();
            for (; shown_replies < rp.size(); ++shown_replies)
                std::fprintf(stderr, "%9.3f  -> %s\n",
                             static_cast<double>(rp[shown_replies].at) / 1e6,
                             printable(rp[shown_replies].text).c_str());
        }
    }

    int rc = 0;
    if (!o.image.empty() && !write_file(o.image, modem.flash().data(), modem.flash().size())) {
        std::fprintf(stderr, "modemsim: cannot write the flash image %s\n", o.image.c_str());
        rc = 1;
    }
    if (!o.transcript.empty()) {
        std::string t = modem.transcript_text();
        if (!write_file(o.transcript, t.data(), t.size())) {
            std::fprintf(stderr, "modemsim: cannot write the transcript %s\n",
                         o.transcript.c_str());
            rc = 1;
        }
    }
    if (!o.link.empty()) unlink(o.link.c_str());
    close(fd);
    const auto &c = modem.counters();
    std::fprintf(stderr,
                 "modemsim: %ld lines, %ld commands, %ld loader records, %ld records (%ld OK, "
                 "NOK1-4 %ld/%ld/%ld/%ld), "
                 "%ld erases, %ld bytes in, %ld bytes out, mode %s\n",
                 c.lines, c.commands, c.loader_records, c.records, c.records_ok, c.nok[1], c.nok[2],
                 c.nok[3], c.nok[4], c.erases, c.bytes_in, c.bytes_out,
                 sim::mode_name(modem.mode()));
    return rc;
}
