// Drives the product's link code on a real COM port under Wine, one step per
// line that the Linux side sends on stdin; port_check.py checks the far end
// of the line and the answers printed here.
//
//   port_check.exe N     opens COMN, then reads commands:
//     write   sends "AT\r" with send_command
//     idle    reads with nothing waiting, reports how long the calls took
//     char C  sends C with TransmitCommChar
//     wait    waits (blocking, one unit) for "OK"
//     quit    closes the port and ends
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/link.h"

static void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int main(int argc, char **argv) {
    com_port = argc > 1 ? std::atoi(argv[1]) : 3;
    if (!open_comm_port()) {
        say("open failed %s error %u", comm_device_name, static_cast<unsigned>(plat_last_error()));
        return 1;
    }
    say("opened %s", comm_device_name);

    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        line[std::strcspn(line, "\r\n")] = 0;
        if (std::strcmp(line, "write") == 0) {
            say("write %d", static_cast<int>(send_command(hComm, "AT\r", 3)));
        } else if (std::strcmp(line, "idle") == 0) {
            uint32_t t0 = plat_tick_count();
            int32_t n = read_port(0, 80);
            uint32_t t1 = plat_tick_count();
            // ReadFile itself, with the port's read time-outs.
            char buf[16];
            uint32_t got = 99;
            int ok = plat_port_read(hComm, buf, sizeof buf, &got);
            uint32_t t2 = plat_tick_count();
            say("idle %d %u ms; readfile %d %u %u ms", static_cast<int>(n), t1 - t0, ok, got, t2 - t1);
        } else if (std::strncmp(line, "char ", 5) == 0) {
            say("char %d", plat_port_transmit_char(hComm, line[5]));
        } else if (std::strcmp(line, "wait") == 0) {
            unsigned r = wait_for_reply("OK", 1, 1);
            say("wait %u %d", r, static_cast<int>(rx_count));
        } else if (std::strcmp(line, "quit") == 0) {
            break;
        } else {
            say("unknown %s", line);
        }
    }
    close_port();
    say("closed");
    return 0;
}
