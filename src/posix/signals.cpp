// Signals as the window's close box: Ctrl-C (SIGINT) asks for a close,
// SIGTERM and SIGHUP are a close already confirmed. The handlers only count
// and write to a pipe that wakes the main thread; the loader thread's
// repaint requests wake it the same way.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "posix/posix.h"

namespace {

std::atomic<int> interrupts{0};
std::atomic<int> terminations{0};
int wake_pipe[2] = {-1, -1};

void on_interrupt(int) {
    interrupts.fetch_add(1);
    posix::wake();
}

void on_terminate(int) {
    terminations.fetch_add(1);
    posix::wake();
}

} // namespace

void posix::signals_start() {
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) wake_pipe[0] = wake_pipe[1] = -1;
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: a question waiting for input must hear it
    sa.sa_handler = on_interrupt;
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_terminate;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr); // the terminal went away
    signal(SIGPIPE, SIG_IGN);
}

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
    pollfd p[2] = {{wake_pipe[0], POLLIN, 0}, {port_fd, POLLIN, 0}};
    if (poll(p, port_fd >= 0 ? 2 : 1, ms) > 0 && (p[0].revents & POLLIN)) drain_wake_pipe();
}
