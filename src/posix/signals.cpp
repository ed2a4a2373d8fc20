// Signals as the window's close box: Ctrl-C (SIGINT) on a terminal asks for
// a close; SIGTERM, SIGHUP and a Ctrl-C with no terminal to ask on are a
// close already confirmed. The handlers only count, cut the job's waits
// short for a close that will not ask, and write to a pipe that wakes the
// main thread; the loader thread's repaint requests wake it the same way.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "app/app.h"
#include "posix/posix.h"

namespace {

std::atomic<int> interrupts{0};
std::atomic<int> terminations{0};
std::atomic<bool> interrupt_ends_job{false};
int wake_pipe[2] = {-1, -1};

void on_interrupt(int) {
    interrupts.fetch_add(1);
    if (interrupt_ends_job.load()) stop_waits();
    posix::wake();
}

void on_terminate(int) {
    terminations.fetch_add(1);
    stop_waits();
    posix::wake();
}

// Unless the signal was ignored when the program started (nohup, a
// background job of a script): it stays so.
void handle(int sig, void (*handler)(int)) {
    struct sigaction sa {
    }, old{};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) return;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: a question waiting for input must hear it
    sa.sa_handler = handler;
    sigaction(sig, &sa, nullptr);
}

} // namespace

void posix::signals_start(bool ask_on_interrupt) {
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) wake_pipe[0] = wake_pipe[1] = -1;
    handle(SIGINT, ask_on_interrupt ? on_interrupt : on_terminate);
    handle(SIGTERM, on_terminate);
    handle(SIGHUP, on_terminate); // the terminal went away
    signal(SIGPIPE, SIG_IGN);
}

void posix::interrupt_at_once(bool at_once) { interrupt_ends_job.store(at_once); }

int posix::take_close_request() {
    if (terminations.exchange(0) > 0) {
        interrupts.store(0);
        return REQUEST_TERMINATE;
    }
    if (interrupts.exchange(0) > 0) return REQUEST_INTERRUPT;
    return REQUEST_NONE;
}

bool posix::close_pending() { return interrupts.load() > 0 || terminations.load() > 0; }

bool posix::termination_pending() { return terminations.load() > 0; }

void posix::forget_interrupts() { interrupts.store(0); }

void posix::forget_close_requests() {
    interrupts.store(0);
    terminations.store(0);
}

void posix::wake() {
    if (wake_pipe[1] < 0) return;
    int saved = errno;
    char c = 0;
    ssize_t ignored = write(wake_pipe[1], &c, 1);
    (void)ignored;
    errno = saved;
}

int posix::wake_fd() { return wake_pipe[0]; }

void posix::drain_wake_pipe() {
    char buf[64];
    while (read(wake_pipe[0], buf, sizeof buf) > 0) {
    }
}

void posix::idle_wait(int port_fd, int ms) {
    // On a terminal the wait for a late answer is shown counting up by the
    // second: no longer asleep than that.
    if (out_is_terminal() && ms > 1000) ms = 1000;
    pollfd p[2] = {{wake_pipe[0], POLLIN, 0}, {port_fd, POLLIN, 0}};
    if (poll(p, port_fd >= 0 ? 2 : 1, ms) > 0 && (p[0].revents & POLLIN)) drain_wake_pipe();
}
