// Message boxes and questions on the terminal: a box is printed and the job
// goes on; a question waits for y or n (Enter means no), unless --yes or
// --no answers it or there is no terminal to ask on. The load file's prompt
// stands in for the open-file dialog, and a Ctrl-C asks the close
// confirmation here.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/app.h"
#include "posix/posix.h"

namespace {

int answer_policy = posix::ASK;
std::string file_option;
// Questions need a terminal to answer from and one to ask on.
bool interactive;
int prompt_fd = -1;
bool asking_close; // the question on screen is the close confirmation

void prompt(const std::string &text) {
    if (prompt_fd >= 0) posix::write_all(prompt_fd, text);
}

enum { GOT_LINE, GOT_SIGNAL, GOT_END };

// A line typed on the terminal, without its line end; a close request or
// the end of input ends the wait.
int read_line(std::string *line) {
    line->clear();
    for (;;) {
        pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {posix::wake_fd(), POLLIN, 0}};
        int r = poll(p, 2, -1);
        if (posix::close_pending()) {
            posix::drain_wake_pipe();
            tcflush(STDIN_FILENO, TCIFLUSH); // what was half typed is dropped
            return GOT_SIGNAL;
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            return GOT_END;
        }
        if (p[1].revents) posix::drain_wake_pipe(); // a redraw waits for the answer
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[256];
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return line->empty() ? GOT_END : GOT_LINE;
        line->append(buf, static_cast<size_t>(n));
        size_t eol = line->find('\n');
        if (eol != std::string::npos) {
            line->resize(eol);
            return GOT_LINE;
        }
    }
}

std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

const char *close_reason() { return posix::termination_pending() ? "terminated" : "Ctrl-C"; }

// A close by the user cuts a question short: No, and the job ends as soon
// as the step returns (the close request stays for the main loop).
int answer_stopped(const char *why) {
    question_cut_short();
    posix::emit_record(std::string("answer: no (") + why + ")");
    return PLAT_IDNO;
}

int ask(const char *text, const char *caption) {
    posix::keep_picture();
    std::string question = "question: " + posix::quoted(caption) + " " + posix::quoted(text);
    posix::emit_record(question);
    int result;
    if (asking_close) {
        // --yes and --no answer the job's questions, never this one; only a
        // Ctrl-C pressed while it is open answers it.
        posix::forget_interrupts();
        result = -1;
    } else if (answer_policy != posix::ASK) {
        bool yes = answer_policy == posix::ANSWER_YES;
        posix::emit_record(yes ? "answer: yes (--yes)" : "answer: no (--no)");
        result = yes ? PLAT_IDYES : PLAT_IDNO;
    } else if (!interactive) {
        posix::emit_record("answer: no (no terminal)");
        result = PLAT_IDNO;
    } else if (posix::close_pending()) {
        result = answer_stopped("stopping");
    } else result = -1;

    if (result < 0 && prompt_fd == STDERR_FILENO) prompt(question + "\n");
    while (result < 0) {
        prompt("y/n, Enter = no: ");
        std::string line;
        int got = read_line(&line);
        if (got == GOT_SIGNAL) {
            prompt("\n");
            if (asking_close) {
                // A second Ctrl-C, or a termination: the close is confirmed.
                const char *why = close_reason();
                posix::forget_close_requests();
                posix::emit_record(std::string("answer: yes (") + why + ")");
                result = PLAT_IDYES;
            } else result = answer_stopped(close_reason());
            break;
        }
        if (got == GOT_END) {
            prompt("\n");
            posix::emit_record("answer: no (end of input)");
            result = PLAT_IDNO;
            break;
        }
        std::string a = trimmed(line);
        for (char &c : a)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (a == "y" || a == "yes") result = PLAT_IDYES;
        else if (a.empty() || a == "n" || a == "no") result = PLAT_IDNO;
        else continue;
        posix::emit_record(result == PLAT_IDYES ? "answer: yes" : "answer: no");
    }
    posix::draw();
    return result;
}

bool is_file(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The dialog's default extension: added to a name that has none.
std::string with_default_ext(const std::string &name, const char *ext) {
    if (!ext || !*ext) return name;
    size_t slash = name.find_last_of('/');
    size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) return name;
    return name + "." + ext;
}

// 0 when cancelled (end of input, or a close by the user).
int prompt_load_file(plat_open_file *req, std::string *chosen) {
    const std::string def = req->file;
    if (posix::close_pending()) {
        question_cut_short();
        return 0;
    }
    // The picture says what is awaited, and stays above the prompt.
    posix::prompt_status("Waiting for the load file's name below.");
    posix::keep_picture();
    int chosen_one = 0;
    while (!chosen_one) {
        prompt("Load file [" + def + "]: ");
        std::string line;
        int got = read_line(&line);
        if (got != GOT_LINE) {
            prompt("\n");
            if (got == GOT_SIGNAL) question_cut_short();
            break;
        }
        std::string name = trimmed(line);
        if (name.empty()) name = def;
        name = with_default_ext(name, req->def_ext);
        if (name.size() >= req->max_file) {
            prompt("The path is longer than " + std::to_string(req->max_file - 1) +
                   " characters.\n");
            continue;
        }
        // OFN_FILEMUSTEXIST: the dialog takes only a file that is there.
        if ((req->flags & 0x1000) && !is_file(name)) {
            prompt("No such file: " + name + "\n");
            continue;
        }
        *chosen = name;
        chosen_one = 1;
    }
    posix::prompt_status(nullptr);
    return chosen_one;
}

} // namespace

bool posix::questions_start(int answer, const std::string &file) {
    answer_policy = answer;
    file_option = file;
    interactive = isatty(STDIN_FILENO) && (out_is_terminal() || err_is_terminal());
    prompt_fd = !interactive ? -1 : out_is_terminal() ? STDOUT_FILENO : STDERR_FILENO;
    return interactive;
}

int posix::serve_close_request(int request) {
    asking_close = true;
    int result =
        on_close_request(request == REQUEST_TERMINATE ? CLOSE_BY_TERMINATION : CLOSE_BY_TERMINAL);
    asking_close = false;
    return result;
}

// ---- the platform seam: boxes and the open-file dialog ----

int plat_message_box(const char *text, const char *caption, unsigned flags) {
    if ((flags & 0x0F) == PLAT_MB_YESNO) return ask(text, caption);
    bool warning = (flags & 0xF0) == PLAT_MB_ICONWARNING;
    posix::emit_record(std::string(warning ? "warning: " : "box: ") + posix::quoted(caption) + " " +
                       posix::quoted(text));
    return PLAT_IDOK;
}

int plat_get_open_file_name(plat_open_file *req) {
    std::string chosen;
    if (!file_option.empty()) chosen = file_option;
    else if (!interactive) chosen = req->file;
    else if (!prompt_load_file(req, &chosen)) return 0;
    if (chosen.size() >= req->max_file) return 0; // refused by the command line already
    std::memcpy(req->file, chosen.c_str(), chosen.size() + 1);
    return 1;
}

void plat_load_file(const char *path) {
    posix::emit_record("file: " + posix::quoted(path));
    // The box the job shows names no file and no reason.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) posix::error_line(std::string(path) + ": " + std::strerror(errno));
    else close(fd);
}
