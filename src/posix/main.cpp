// flashfile on Linux: the command line, the main loop that drives the flash
// job one step at a time, and the exit status that tells a script how the
// job ended.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "posix/posix.h"
#include "version.h"

namespace {

enum {
    EXIT_COMPLETED = 0,
    EXIT_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_STOPPED = 3,
    EXIT_FLASH_INCOMPLETE = 4, // failed or stopped after the flash was given work
};

// The longest path the core's 256-byte buffers hold.
constexpr size_t PATH_MAX_CHARS = 255;
// Between two steps while the loader thread runs, at most this long: its end
// wakes no one.
constexpr int LOADER_LOOK_MS = 10;

const char USAGE[] = "usage: flashfile [--port DEVICE | N] [--file PATH] [--dir DIR] [--yes|--no]\n"
                     "                 [--trace] [--log FILE]\n"
                     "       flashfile --list | --help | --version\n";

const char HELP[] =
    "Programs a new load into the flash of a Quillmarch modem on a serial port.\n"
    "\n"
    "  --port DEVICE  the modem's serial device (e.g. /dev/ttyUSB0); only it is tried\n"
    "  N              COM port N (1 to 255) first, then down to COM1; COMn is the\n"
    "                 device of key COMn in section [Ports] of flashfile.ini\n"
    "                 (COM3=/dev/ttyUSB0), else /dev/ttyS<n-1>\n"
    "                 without either: the serial devices present (USB and ACM\n"
    "                 adapters, the [Ports] devices, then built-in ports)\n"
    "  --file PATH    the load file (over flashfile.ini's filename; without\n"
    "                 either, asked on the terminal, default modem.hex)\n"
    "  --dir DIR      work in DIR: flashfile.ini, kivfldr.hex, a relative load file\n"
    "  --yes, --no    answer the job's questions (erase, retry) so, without asking;\n"
    "                 never the question whether to stop\n"
    "  --trace        write the debug trace to standard error, one line a trace\n"
    "  --log FILE     append every trace, box and status line to FILE, with times\n"
    "  --list         list the serial devices present, then exit\n"
    "  --help         this text\n"
    "  --version      the program's name and version\n"
    "\n"
    "Exit status: 0 programming completed; 1 failed, the modem's flash untouched;\n"
    "2 a usage error, nothing done; 3 stopped by the user (Ctrl-C, SIGTERM), the\n"
    "flash untouched; 4 failed or stopped after the flash was erased or written:\n"
    "run the job again.\n";

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
    bool list = false;
};

// N: a whole number from 1 to 255, 0 for anything else.
int port_number(const std::string &n) {
    if (n.empty() || n.size() > 3 || n.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    int v = std::stoi(n);
    return v <= 255 ? v : 0;
}

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
        else if (a == "--list") cl->list = true;
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
        else if (!port_number(a))
            err = "the port number must be a whole number from 1 to 255, not \"" + a +
                  "\"; name a device with --port " + (a[0] == '/' ? a : "DEVICE");
        else {
            cl->port_arg = a;
            cl->have_n = true;
        }
        if (has_inline && (a == "--help" || a == "--version" || a == "--yes" || a == "--no" ||
                           a == "--trace" || a == "--list"))
            err = a + " takes no value";
        if (!err.empty()) return err;
    }
    if (yes && no) return "--yes and --no cannot both be given";
    if (!cl->port.empty() && cl->have_n) return "--port and N cannot both be given";
    cl->answer = yes ? posix::ANSWER_YES : no ? posix::ANSWER_NO : posix::ASK;
    return "";
}

int exit_status() {
    if (job_completed()) return EXIT_COMPLETED;
    if (job_touched_flash()) return EXIT_FLASH_INCOMPLETE;
    return job_stopped() ? EXIT_STOPPED : EXIT_FAILED;
}

// The log must be there for a production line to keep its record: a file
// that cannot be written is refused before any port is touched.
std::string log_fault(const std::string &path) {
    if (path.empty()) return "";
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        close(fd);
        return "";
    }
    return "cannot write the log file " + path + ": " + std::strerror(errno);
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
    if (cl.list && posix::list_devices() == 0) {
        std::fprintf(stderr, "flashfile: no serial devices found\n");
        return EXIT_FAILED;
    }
    if (cl.list) return EXIT_COMPLETED;
    err = log_fault(cl.log);
    if (!err.empty()) {
        std::fprintf(stderr, "flashfile: %s\n", err.c_str());
        return EXIT_USAGE;
    }

    posix::output_start(cl.trace);
    bool terminal = posix::questions_start(cl.answer, cl.file);
    posix::signals_start(terminal);
    app_choices choices;
    choices.load_path = cl.file.c_str();
    choices.loader_first = true;
    // --port: the search starts at COM1, which is that device.
    posix::use_com1_device(cl.port);
    if (!cl.port.empty()) choices.first_port = 1;
    else if (cl.have_n) choices.first_port = port_number(cl.port_arg);
    else choices.first_port = std::max(posix::search_devices(), 1);
    app_choose(choices);
    if (!app_startup("", 0, cl.log.c_str())) return EXIT_FAILED;

    for (;;) {
        posix::interrupt_at_once(!terminal || !close_would_ask());
        int request = posix::take_close_request();
        if (request != posix::REQUEST_NONE) posix::serve_close_request(request);
        posix::serve_redraw();
        if (posix::window_destroyed()) break;
        bool still = app_step();
        if (posix::window_destroyed()) break;
        posix::refresh_wait_line();
        idle_if_waiting(still);
    }
    on_window_destroyed();
    posix::output_end();

    int status = exit_status();
    if (job_stopped())
        posix::emit_record(job_touched_flash()
                               ? "stopped: the modem's flash is incomplete; run the job again"
                               : "stopped: nothing was written to the modem");
    // A loader thread that would not stop must not outlive what it uses.
    if (loader_running()) _exit(status);
    return status;
}
