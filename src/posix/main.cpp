// flashfile on Linux: the command line, the main loop that drives the flash
// job one step at a time, and the exit status that tells a script how the
// job ended.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "posix/posix.h"
#include "version.h"

namespace {

enum { EXIT_COMPLETED = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_STOPPED = 3 };

// The longest path the core's 256-byte buffers hold.
constexpr size_t PATH_MAX_CHARS = 255;
// Between two steps while the loader thread runs, at most this long: its end
// wakes no one.
constexpr int LOADER_LOOK_MS = 10;

const char USAGE[] = "usage: flashfile [--port DEVICE] [--file PATH] [--dir DIR] [--yes|--no] "
                     "[--trace] [--log FILE] [N]\n";

const char HELP[] =
    "Programs a new load into the flash of a Quillmarch modem on a serial port.\n"
    "\n"
    "  N              the first COM port to try: the code of N's first character\n"
    "                 AND 15 (3 tries COM3, COM2, COM1); without it COM255 down to COM1\n"
    "  --port DEVICE  COM1 is DEVICE (e.g. /dev/ttyUSB0), and only COM1 is tried\n"
    "  --file PATH    the load file, when flashfile.ini names none\n"
    "                 (else asked on the terminal, default modem.hex)\n"
    "  --dir DIR      work in DIR: flashfile.ini, kivfldr.hex, a relative load file\n"
    "  --yes, --no    answer every question so, without asking\n"
    "  --trace        write the debug trace to standard error, one line a trace\n"
    "  --log FILE     append every trace, box and status line to FILE, with times\n"
    "  --help         this text\n"
    "  --version      the program's name and version\n"
    "\n"
    "COMn is the device named by key COMn of section [Ports] in flashfile.ini\n"
    "(COM3=/dev/ttyUSB0), else /dev/ttyS<n-1>.\n"
    "\n"
    "Exit status: 0 programming completed; 1 any other end of the job; 2 a usage\n"
    "error; 3 stopped by the user (Ctrl-C, a confirmed close, SIGTERM).\n";

struct command_line {
    std::string port;        // --port: the device behind COM1
    std::string file;        // --file: the load file when the settings name none
    int answer = posix::ASK; // --yes / --no
    bool trace = false;
    std::string log; // --log: the log file in place of the settings' logfile
    std::string dir;
    std::string port_arg; // N
    bool have_n = false;
    bool help = false;
    bool version = false;
};

// Empty when the command line is good, else what is wrong with it.
std::string parse(int argc, char **argv, command_line *cl) {
    bool yes = false, no = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string value;
        bool has_inline = false;
        size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            has_inline = true;
        }
        auto take_value = [&](std::string *out) -> std::string {
            if (has_inline) *out = value;
            else if (i + 1 < argc) *out = argv[++i];
            else return a + " needs a value";
            if (out->empty()) return a + " needs a value";
            return "";
        };
        std::string err;
        if (a == "--help" || a == "-h") cl->help = true;
        else if (a == "--version") cl->version = true;
        else if (a == "--port") err = take_value(&cl->port);
        else if (a == "--file") {
            err = take_value(&cl->file);
            if (err.empty() && cl->file.size() > PATH_MAX_CHARS)
                err = "the --file path is longer than " + std::to_string(PATH_MAX_CHARS) +
                      " characters";
        } else if (a == "--dir") err = take_value(&cl->dir);
        else if (a == "--log") err = take_value(&cl->log);
        else if (a == "--yes") yes = true;
        else if (a == "--no") no = true;
        else if (a == "--trace") cl->trace = true;
        else if (a.size() > 1 && a[0] == '-') err = "unknown option " + a;
        else if (cl->have_n) err = "only one port number N may be given";
        else {
            cl->port_arg = a;
            cl->have_n = true;
        }
        if (has_inline &&
            (a == "--help" || a == "--version" || a == "--yes" || a == "--no" || a == "--trace"))
            err = a + " takes no value";
        if (!err.empty()) return err;
    }
    if (yes && no) return "--yes and --no cannot both be given";
    if (!cl->port.empty() && cl->have_n) return "--port tries COM1 only; leave out N";
    cl->answer = yes ? posix::ANSWER_YES : no ? posix::ANSWER_NO : posix::ASK;
    return "";
}

int exit_status() {
    return job_completed() ? EXIT_COMPLETED : job_stopped() ? EXIT_STOPPED : EXIT_FAILED;
}

// A step that left the job waiting for something else (the modem's reply,
// the loader thread) would otherwise spin: a wait to the reply's time-out
// that the reply, a signal or a redraw request cuts short.
void idle_if_waiting(bool still) {
    if (still && reply_awaited())
        posix::idle_wait(posix::port_fd(job_port()), static_cast<int>(reply_wait_ms()));
    else if (still && loader_running()) posix::idle_wait(-1, LOADER_LOOK_MS);
}

} // namespace

int main(int argc, char **argv) {
    command_line cl;
    std::string err = parse(argc, argv, &cl);
    if (!err.empty()) {
        std::fprintf(stderr, "flashfile: %s\n%s", err.c_str(), USAGE);
        return EXIT_USAGE;
    }
    if (cl.help) {
        std::printf("%s%s", USAGE, HELP);
        return EXIT_COMPLETED;
    }
    if (cl.version) {
        std::printf("flashfile %s\n", FLASHFILE_VERSION);
        return EXIT_COMPLETED;
    }
    if (!cl.dir.empty() && chdir(cl.dir.c_str()) != 0) {
        std::fprintf(stderr, "flashfile: cannot work in the folder %s: %s\n", cl.dir.c_str(),
                     std::strerror(errno));
        return EXIT_USAGE;
    }

    posix::output_start(cl.trace);
    posix::questions_start(cl.answer, cl.file);
    posix::signals_start();
    posix::use_com1_device(cl.port);
    // --port: the search starts at COM1, which is that device.
    std::string cmdline = !cl.port.empty() ? "1" : cl.port_arg;
    if (!app_startup(cmdline.c_str(), 0, cl.log.c_str())) return EXIT_FAILED;

    for (;;) {
        int request = posix::take_close_request();
        if (request != posix::REQUEST_NONE) posix::serve_close_request(request);
        posix::serve_redraw();
        if (posix::window_destroyed()) break;
        bool still = app_step();
        if (posix::window_destroyed()) break;
        idle_if_waiting(still);
    }
    on_window_destroyed();
    posix::output_end();

    int status = exit_status();
    // A loader thread that would not stop must not outlive what it uses.
    if (loader_running()) _exit(status);
    return status;
}
