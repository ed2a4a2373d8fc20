// The wire: opening a port with the modem's line settings, devicewrite's 16-byte chunks, the reply
// waits, the log file.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "campaign/checks.h"
#include "fake/fake.h"
#include "link/link.h"
#include "link/log.h"
#include "settings/settings.h"
#include "status/status.h"

namespace {

using Looks = std::deque<fake::Machine::Look>;

void open_com3() {
    fake::reset(), fake::pc().ports[3] = nullptr, com_port = 3;
    ASSERT_TRUE(open_comm_port());
}

// 115200 8N1, CTS output flow, DTR and RTS on, no XON/XOFF; every other bit as GetCommState gave
// it; reads that return at once, writes bounded.
TEST(Link, PortOpensWithTheModemsLineSettings) {
    using Port = std::tuple<int, const char *, uint32_t, uint32_t>; // flags read, flags set
    for (auto [port, name, in, out] :
         {Port{1, "COM1:19200,n,8,1", ~0u, 0xFFFFDCDF}, Port{9, "COM9:19200,n,8,1", 0, 0x1014},
          Port{10, "\\\\.\\COM10", 0, 0x1014}, Port{255, "\\\\.\\COM255", 0, 0x1014}}) {
        fake::reset(), fake::pc().ports[port] = nullptr, com_port = port;
        fake::pc().dcb = {0, 9600, in, 0, 11, 0, 7, 2, 2, 0x11, 0x13, 0, 0, 0, 0};
        EXPECT_TRUE(open_comm_port()) << name;
        EXPECT_STREQ(comm_device_name, name);
        const plat_dcb &d = fake::pc().dcb;
        const plat_timeouts &t = fake::pc().timeouts;
        EXPECT_EQ(
            std::vector<uint32_t>({d.BaudRate, d.flags, d.ByteSize, d.Parity, d.StopBits, d.XonLim,
                                   t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                   t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                   t.WriteTotalTimeoutConstant}),
            std::vector<uint32_t>({115200, out, 8, 0, 0, 11, ~0u, 0, 0, 10, 1000}));
    }
    // Settings that cannot be read: the previous port's record, changed as always; refused
    // settings: the port is used as it is. Both logged.
    fake::pc().fail_get_state = true, fake::pc().dcb.flags = 0;
    ASSERT_TRUE(open_comm_port());
    EXPECT_TRUE(fake::pc().dcb.flags == 0x1014u && fake::pc().dcb.XonLim == 11);
    fake::pc().fail_set_state = true;
    EXPECT_TRUE(open_comm_port());
    EXPECT_TRUE(fake::traced("In GetCommStat, error = 0x57\n "));
    EXPECT_TRUE(fake::traced("In SetCommStat, error = 0x1F\n "));
    com_port = 4; // no such port
    EXPECT_FALSE(open_comm_port());
    EXPECT_TRUE(hComm == nullptr && fake::pc().open_ports() == 3);
}

std::string zeros(size_t n) { return std::string(n, '\0'); }

TEST(Link, DevicewriteSendsWholeChunks) {
    const std::string rec = "S1130000" + std::string(36, 'A') + "\r";    // 45 bytes
    const std::string longest = "at&&f:" + std::string(520, '7') + "\r"; // 527 bytes
    const std::string abc = "0123456789ABCDEFGHIJ", B32(32, 'B'), C17(17, 'C');
    std::vector<int> none10(10, 0), then_none199(200, 0), then_none200(201, 0), short_end(32, 16);
    then_none199[0] = then_none200[0] = 8, short_end.push_back(14);
    // The data with the byte after it and what follows; what each WriteFile takes (-1 fails); with
    // a stop request, a write that stalls gives up, one that flows ends its line.
    const struct {
        const char *name;
        std::string data;
        int length;
        std::vector<int> takes;
        int result;
        std::string line;
        int stop = 0;
    } cases[] = {
        {"the data, the byte after it, zeros", rec + "\nLEFT", 45, {}, 48, rec + "\n" + zeros(2)},
        {"data filling whole chunks: nothing after it", B32 + "\n", 32, {}, 32, B32},
        {"17 bytes: two chunks", C17 + "\n", 17, {}, 32, C17 + "\n" + zeros(14)},
        {"nothing", "", 0, {}, 0, ""},
        {"the longest line, whole", longest + "\n", 527, {}, 528, longest + "\n"},
        {"one byte more: refused, nothing sent", longest + "7\n", 528, {}, -1, ""},
        {"a negative length: refused", "AT\r", -1, {}, -1, ""},
        {"a short write: the next chunk starts after it", abc, 20, {8}, 24, abc + zeros(4)},
        {"a write of one byte is progress", abc, 20, {1}, 33, abc + zeros(13)},
        {"a short write before the end of the longest line", longest + "\n", 527, short_end, 542,
         longest + "\n" + zeros(14)},
        {"a failed write: -1 at once", B32 + B32, 40, {16, -1}, -1, B32.substr(16)},
        {"a stop, a short write", abc, 20, {8}, 8, abc.substr(0, 8), 1},
        {"a stop, whole chunks", abc, 20, {}, 32, abc + zeros(12), 1},
        {"ten empty writes at the start: given up", "AT\r", 3, none10, 0, ""},
        {"200 empty writes after progress are borne", abc, 20, then_none199, 24, abc + zeros(4)},
        {"the 200th empty write after progress gives up", abc, 20, then_none200, 8,
         abc.substr(0, 8)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        open_com3();
        fake::pc().write_takes.assign(c.takes.begin(), c.takes.end());
        fake::pc().write_takes.push_back(16), port_stop = c.stop; // after the script: all goes
        EXPECT_EQ(devicewrite(hComm, c.data.c_str(), c.length), c.result);
        EXPECT_EQ(fake::pc().line, c.line);
        // The data and the byte after it, as the Wine runner reads them; a refused line is not, but
        // the log says why, and when a write was cut short.
        bool refused = c.result < 0 && c.line == "";
        EXPECT_NE(fake::traced("devicewrite(" + c.data.substr(0, c.length + 1) + ")\n"), refused);
        std::string length = std::to_string(c.length);
        std::string too_long = "FLASH: Line too long for the port: " + length + " bytes, at most";
        EXPECT_EQ(fake::traced(too_long + " 527; not sent"), refused);
        bool cut =
            std::any_of(c.takes.begin(), c.takes.end(), [](int t) { return t >= 0 && t < 16; });
        EXPECT_EQ(fake::traced("FLASH: Write to ComPort Failed"), cut);
        for (auto [at, asked] : fake::pc().writes) EXPECT_EQ(asked, 16u);
    }
    // After an empty write, 20 ms before the next (and the 1 ms of each read that starts and ends
    // the pause): the last row's writes.
    auto &w = fake::pc().writes;
    for (size_t i = 2; i < w.size(); ++i) EXPECT_EQ(w[i].first - w[i - 1].first, 22u);
}

// Replies arrive at the looks; each look is [ms after the wait began, bytes].
Looks flood(const std::string &first, int quiet_looks, const std::string &later,
            uint32_t last = 12) {
    Looks l{{10, first}};
    for (int i = 0; i < quiet_looks; ++i) l.push_back({11, ""});
    l.push_back({last, later});
    return l;
}

TEST(Link, ReplyWaits) {
    const std::string x3100(3100, 'x'), f(4015, 'f');
    // What the buffer holds after the wait ("": not checked); polling: the call that ended it.
    const std::tuple<const char *, int, Looks, unsigned, std::string, int> cases[] = {
        {"a token split across two reads", 1, {{10, "O"}, {20, "K\r\n"}}, WAIT_FOUND, "OK\r\n", 0},
        {"past 3072 bytes the buffer starts again", 1, flood(x3100, 3, "OK\r\n"), WAIT_FOUND,
         std::string(28, 'x') + "OK\r\n", 0},
        {"3071 bytes leave room for one more read", 1, flood(std::string(3069, 'x') + "OK", 2, ""),
         WAIT_FOUND, "", 0},
        {"nothing, then the limit", 1, {{2000, ""}, {2001, ""}}, WAIT_TIMEOUT, "previous", 0},
        {"polling: one byte per read", 0, {{10, "O"}, {20, "K"}}, WAIT_FOUND, "OK", 2},
        {"polling: a flood then the token", 0, flood(std::string(10000, 'f') + "\r\nOK", 0, ""),
         WAIT_FOUND, "", 126},
        {"polling: the token split across the restart", 0,
         flood(std::string(51 * 80 - 1, 'f') + "O", 50, "K"), WAIT_FOUND, "fffffOK", 52},
        {"polling: 4015 bytes leave room for one more read", 0, flood(f, 50, "OK"), WAIT_FOUND,
         f + "OK", 52},
        {"polling: the restart keeps the tail, then the limit", 0,
         flood(std::string(4080, 'f'), 50, "", 2001), WAIT_TIMEOUT, "ffffff", 52},
        {"polling: the token in the read that fills the buffer", 0,
         flood(std::string(4070, 'f') + "OK" + std::string(8, 'f'), 0, ""), WAIT_FOUND, "", 51},
    };
    for (const auto &[name, blocking, looks, result, rx, ended] : cases) {
        SCOPED_TRACE(name);
        open_com3();
        std::strcpy(rx_buffer, "previous"), fake::pc().looks = looks, rx_count = 0;
        wait_start_tick = fake::ticks();
        unsigned r = wait_for_reply("OK", 1, blocking);
        int polls = 1;
        for (; r == WAIT_PENDING && polls < 200; ++polls) {
            ASSERT_LE(rx_count, 4015);
            r = wait_for_reply("OK", 1, 0);
        }
        EXPECT_EQ(r, result);
        EXPECT_TRUE(rx.empty() || rx == rx_buffer) << rx_buffer;
        EXPECT_TRUE(!ended || polls == ended) << polls;
        EXPECT_TRUE(r != WAIT_FOUND || static_cast<size_t>(rx_count) == std::strlen(rx_buffer));
    }
    // A silent wait sleeps between its looks at the port, 20 ms at most so that a stop is seen; a
    // line that hung up ends it at once.
    size_t looked = 0;
    open_com3(), fake::pc().on_look = [&] { ++looked; };
    const auto &w = fake::pc().waits;
    EXPECT_TRUE(wait_for_reply("OK", 1, 1) == WAIT_TIMEOUT && w.size() + 1 == looked &&
                std::ranges::max(w) == 20);
    open_com3(), fake::pc().hung_up = true;
    EXPECT_TRUE(wait_for_reply("OK", 1, 1) == WAIT_TIMEOUT && fake::ticks() - wait_start_tick < 20);
    // Reads never reach past the terminator's place. A failed read, then a failed look at the port:
    // nothing read (the log says where).
    open_com3();
    fake::pc().incoming = std::string(300, 's');
    EXPECT_EQ(std::vector<int>({read_port(4090, 80), read_port(4094, 80), read_port(4095, 80),
                                read_port(0, 80)}),
              std::vector<int>({5, 1, 0, 80}));
    fake::pc().fail_read = true;
    EXPECT_TRUE(read_port(0, 80) == 0 && fake::traced("<CE-0>"));
    fake::pc().fail_read = false, fake::pc().fail_pending = true;
    EXPECT_TRUE(read_port(0, 80) == 0 && fake::pc().incoming.size() == 214);
    // A sleep takes the time asked, the clock's first and last reads aside; one that ends early is
    // made up, so that a pause never ends before its boundary.
    for (bool early : {false, true}) {
        uint64_t t = fake::pc().now_ms;
        fake::pc().early_wakes = early, clock_wait(100), pause_ms(100);
        EXPECT_EQ(fake::pc().now_ms - t, 204u);
    }
}

// The run's log, appended to: held until the header names the load, an event a line stamped in ms,
// control bytes escaped, the status lines when they change, each box with its answer.
TEST(Log, EachRunAppendsItsOwnLines) {
    const std::string path = fake::scratch() + "/run.log", next = fake::scratch() + "/next.log";
    fake::reset(), fake::write_file(path, "before\n"), fake::write_file(next, "");
    size_t files = checks::open_fds();
    int answer = PLAT_IDNO;
    fake::pc().answer = [&](const std::string &) { return answer; };
    auto at = [](uint32_t ms) { fake::pc().now_ms = 5000 + ms; };
    at(0), log_start(path.c_str(), "C:\\f\\flashfile.ini");
    at(12), debug_trace("a\\\r\n\t\x01\x1f \x7f\x80z");
    std::strcpy(status_line1, "One"), std::strcpy(status_line2, "Two");
    at(13), message_box("Erase?", "Q", PLAT_MB_YESNO), at(14), ReDraw();
    std::strcpy(status_line2, "Three"), at(15), ReDraw(), at(20), answer = PLAT_IDYES;
    message_box("Y?", "Q", PLAT_MB_YESNO), log_load_file("C:\\loads\\modem.hex");
    at(21), answer = PLAT_IDOK, message_box("Done", "Q", PLAT_MB_OK), log_end();
    at(17), log_line("trace", "after the end");
    at(20), log_start(next.c_str(), "(none)"), at(21), log_line("trace", "next run"), log_end();
    EXPECT_EQ(checks::open_fds(), files);
    const std::regex date("run of [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2},");
    EXPECT_EQ(std::regex_replace(fake::read_file(path), date, "run of D,"),
              "before\nQuillmarch Flash Loader 1.4f, run of D, settings C:\\f\\flashfile.ini, load "
              "file C:\\loads\\modem.hex\n       12 trace a\\\\r\\n\\t\\x01\\x1F \\x7F\x80z\n"
              "       13 status \"One\" \"Two\"\n       14 box \"Q\" \"Erase?\" answered No\n"
              "       15 status \"One\" \"Three\"\n       20 box \"Q\" \"Y?\" answered Yes\n"
              "       21 box \"Q\" \"Done\" answered OK\n");
    EXPECT_EQ(std::regex_replace(fake::read_file(next), date, "run of D,"),
              "Quillmarch Flash Loader 1.4f, run of D, settings (none), load file (none)\n"
              "        1 trace next run\n");
    // A log that cannot be opened or written: said where it can be. The debugger shows each trace
    // on a line of its own.
    std::string said = "\na\\\r\n\t\x01\x1f \x7f\x80z\n", got;
    for (std::string bad : {"/no/such/folder/x.log", "/dev/full"}) {
        log_start(bad.c_str(), "x"), log_load_file("m.hex"), log_end();
        std::string what = bad + (bad == "/dev/full" ? " cannot be written" : " cannot be opened");
        said += "\nFLASH: Log file " + what + "; the job goes on without a log\n";
    }
    for (auto &text : fake::pc().debug) got += text;
    EXPECT_EQ(got, said);
}

} // namespace
