// Whole jobs against the modem model, a row each: the modem, its faults, the files, the answers;
// the boxes ("?" a question, "!" a warning), "Y" last, the port closed, no file left open, the
// window, the log, and with every success the modem's flash equal to srec_cat's binary of the load.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "app/app.h"
#include "campaign/checks.h"
#include "fake/fake.h"
#include "flash/flash.h"
#include "link/link.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Setup = std::function<void(fake::Job &)>;
const std::string COOKED = "?You May Have Cooked the Flash Chip!|";
const std::string ERASE = "?MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash";
const std::string DONE = "    All Done...|Flash Programming Completed";
const std::string FAILED = "    Try again...|Flash Programming Failed.";
const std::string NOK1 = COOKED + "Chip Failed to Erase Properly\nWould you like to Retry.";
const std::string NOK4 = COOKED + "Chip Failed to Program Properly\nWould you like to Retry.";
const std::string KILL = COOKED + "Are you Sure you want to Kill the Flash Loader?";
const std::string ABANDON = "!Flash Error|Abandon Chip!!";
const std::string OUT_OF_STEP = "!Flash Error|The modem's answers fell out of step with the "
                                "records sent: its flash may not hold the load.";
const std::string SILENT = "!Error...|Modem is not responding.\nPlease try again later.";
const std::string NO_DATA = "!Load File Error|modem.hex holds no data records (S1, S2 or S3): "
                            "there is nothing to flash.\nNothing was sent to the modem.";
const std::string VERSION = "!Exit...|Version mismatch (Ver:1.4) with ";
const std::string ERASING = "Erasing the Flash Chip.|Please be Patient...";
const std::string SENDING = "Programming the Flash|<8%>  Complete.";
const std::string COMPLETED = "Programming Completed|Time Elapsed 0 Min *"; // '*': any ending
const std::string STOPPED = "stopped by the user, 0 of 67 records acknowledged (0 resent), 0 bytes";

template <class... T> Strings list(T... s) { return Strings{std::string(s)...}; }

// A file of the job's folder, changed by `edit` before start-up (after any earlier set-up).
Setup edit(const char *name, std::function<void(std::string &)> edit) {
    return [=](fake::Job &j) {
        j.setup = [&j, name, edit, before = j.setup] {
            if (before) before();
            std::string path = j.folder + "/" + name, text = fake::read_file(path);
            edit(text), fake::write_file(path, text);
        };
    };
}
const Setup no_last_eol = edit("modem.hex", [](std::string &s) { s.pop_back(); });

// The modem's faults, space-separated; "KIND@rec:A-B" for each record from A to B.
Setup faults(std::string texts) {
    return [=](fake::Job &j) {
        std::istringstream in(texts);
        for (std::string t, err; in >> t;) {
            size_t at = t.find("@rec:") + 5, dash = t.find('-', at - 5);
            int a = dash == std::string::npos ? -1 : std::stoi(t.substr(at));
            for (int n = a, b = a < 0 ? -1 : std::stoi(t.substr(dash + 1)); n <= b; ++n) {
                std::string one = a < 0 ? t : t.substr(0, at) + std::to_string(n);
                EXPECT_TRUE(sim::parse_fault(one, false, &j.modem.faults.emplace_back(), &err));
            }
        }
    };
}
Setup all(std::initializer_list<Setup> parts) {
    return [v = std::vector<Setup>(parts)](fake::Job &j) {
        for (auto &p : v) p(j);
    };
}
// The checksum command, the modem's reply to it and the response the settings expect.
Setup checksum(const char *reply, std::string expect) {
    return [=](fake::Job &j) {
        j.modem.checksum_cmd = "AT&&FCS", j.modem.checksum_reply = reply;
        j.ini +=
            "atchecksum=AT&&FCS\n" + (expect.empty() ? "" : "checksumresponse=" + expect + "\n");
    };
}
// Its resident loader does not fit the load.
void loader_modem(fake::Job &j) { j.modem.rrfl_checksum = 0x9999; }
void loader_first(fake::Job &j) { j.choices.loader_first = true; }
const std::string LOADER = "!Loader File Error|";
Setup answers(const char *a) {
    return [=](fake::Job &j) { j.answers = a; };
}

// Runs `f` once, at the first step that finds `when` true.
std::function<void()> once(std::function<bool()> when, std::function<void()> f) {
    return [=, done = std::make_shared<bool>(false)] {
        if (!*done && when()) *done = true, f();
    };
}
// A close request: the window's close box, or the terminal program's Ctrl-C.
void close_window() { on_close_request(); }
void ctrl_c() { on_close_request(CLOSE_BY_TERMINAL); }
std::function<bool()> in_state(seq_state s, int records = -1) {
    return [=] { return flash_state == s && (records < 0 || records_sent == records); };
}
// The step that sends the load's n-th line.
std::function<bool()> before_record(int n) { return in_state(SEQ_SEND, n - 1); }
Setup on(std::function<bool()> when, std::function<void()> f) {
    return [=](fake::Job &j) { j.each_step = once(when, f); };
}
// From the first step `when` holds, or from the start: what the line takes of each next write's
// chunks (-1: the write fails). NOTHING: the ten empty writes after which a write gives up.
Setup takes(std::function<bool()> when, std::deque<int> t) {
    return on(when, [t] { fake::pc().write_takes = t; });
}
const std::deque<int> NOTHING(10, 0);
Setup first_writes(std::deque<int> t) {
    return [=](fake::Job &j) { j.setup = [t] { fake::pc().write_takes = t; }; };
}
// Holds the loader thread before its 101st line until `go`: a close is asked while it uploads.
Setup hold_loader(std::function<bool()> go) {
    return [=](fake::Job &j) {
        j.setup = [go] {
            fake::pc().sleep_with_loader = false; // the held thread would hold the sleep too
            fake::pc().on_write = [go] {
                for (int i = 0; i < 100000 && loader_lines_sent.load() == 100 && !go(); ++i)
                    std::this_thread::sleep_for(50us);
            };
        };
    };
}
bool uploading() {
    return flash_state == SEQ_LOADER && loader_running() && loader_lines_sent.load() == 100;
}
// The load file changed by `edit` after its check, before it is opened for sending.
Setup after_check(std::function<void(std::string &)> e) {
    return [=](fake::Job &j) {
        j.each_step =
            once(in_state(SEQ_OPEN_LOAD), [&j, e] { edit("modem.hex", e)(j), j.setup(); });
    };
}
// The whole command line as the system gives it, with COM4 open to a search and silent: one that
// starts above the modem's COM3 meets it first. Only the modem's port is opened.
Setup via(const char *whole) {
    return [=](fake::Job &j) {
        j.cmdline = command_line_args(whole), j.setup = [] { fake::pc().ports[4] = nullptr; };
    };
}
void one_port(fake::Job &) { EXPECT_EQ(fake::pc().handles.size(), 1u); }

// The lines the flash loader got after the last 'Z'.
Strings records_after_z(const sim::Modem &m) {
    Strings out;
    for (auto &t : m.transcript())
        if (t.single_char && t.text == "Z") out.clear();
        else if (t.mode == sim::Mode::FlashLoader && !t.single_char) out.push_back(t.text);
    return out;
}
Strings lines_of(const std::string &text) {
    Strings out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}
// What a write puts on the line: the data, the byte after it, zeros to the end of its 16-byte
// chunk.
std::string chunked(std::string data, char after = 0) {
    size_t n = (data.size() + 15) / 16 * 16;
    return (data + after).substr(0, n) + std::string(n - std::min(n, data.size() + 1), '\0');
}

// The last trace: the job's summary, for the log and the tools that read the traces.
std::string summary() { return fake::pc().debug.size() < 2 ? "" : fake::pc().debug.end()[-2]; }
Setup summary_is(std::string text) {
    return [=](fake::Job &) { EXPECT_EQ(summary(), "FLASH: Summary: " + text); };
}
Setup screens(Strings want) { // '*' at the end of a wanted text: any ending
    return [=](fake::Job &) {
        const Strings &got = fake::pc().screens;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin(), want.end(),
                               [](auto &g, auto &w) {
                                   return w.back() == '*'
                                              ? g.rfind(w.substr(0, w.size() - 1), 0) == 0
                                              : g == w;
                               }))
            << ::testing::PrintToString(got);
    };
}
const Strings PLAIN = list("[wait]", "*", "[arrow]", SENDING, COMPLETED, "[arrow]");

// y: the port was open at the end, "Y" is the last byte written; more: what else the row shows;
// log: lines of the job's log that tell the workshop what happened, in this order (escaped).
struct Row {
    const char *name;
    Setup setup;
    Strings boxes;
    bool y = true;
    Setup more = nullptr;
    Strings log = {};
};
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

// The ways in, and the files as they come.
const Row ways_in[] = {
    {"loader path: the erase question, the 603-line upload", loader_modem, list(ERASE, DONE), true,
     [](auto &j) {
         // Every byte on the line: the probe, the loader, the records, "Y".
         std::string want;
         for (auto c : {"AAAAT\r", "AT\r", "AAAAT\r", "AT&&F\r", "ATI5\r", "AT&&FFL\r"})
             want += chunked(c);
         for (auto &l : lines_of(fake::read_file(fake::testdata("kivfldr.hex"))))
             want += chunked("at&&f" + l + "\r", '\n');
         want += chunked("at&&f\r", '\xFF');
         for (auto &l : lines_of(fake::read_file(fake::testdata("load_small.hex"))))
             want += chunked(l + "\r", '\n');
         EXPECT_TRUE(fake::pc().line == want + "Y");
         summary_is("completed, 67 records (0 resent), 4851 bytes in 2.5 s, 1912 bytes/s")(j);
         std::string found = "Found Test Modem on COM3.|";
         screens(list("[wait]", found + "RRFL is Not Compatible.",
                      found + "Initializing, Please Wait.", ERASING, "[arrow]", SENDING, COMPLETED,
                      "[arrow]"))(j);
         auto redraw = [](auto &l) { return l.ends_with("ReDraw()"); }; // each 20th line, the last
         EXPECT_EQ(std::ranges::count_if(lines_of(fake::read_file(j.log)), redraw), 603 / 20 + 1);
     },
     list("Load Modem type is Internal", "RRFL is in new load (0x40)", "Load chksum = 0x1234\\n",
          "<CE-3>", "AT\\r\\r\\nOK\\r\\n", "Actual Modem type is INTERNAL",
          "Actual sector = 0x40\\n ", "Actual chksum = 0x9999\\n ", "ldsAreCompat() FAILED",
          "MUST USE FULL ERASE - LOADS ARE INCOMPAT", "Flash Open Comm Success on Com3 ",
          "FLASH: Flash loader code download success", "FLASH: Got EOF", "FLASH: NULL")},
    {"resident loader running; the log names the load before its first line",
     [](auto &j) { j.modem.firmware_running = false; }, list(DONE), true,
     [](auto &j) {
         std::string log = fake::read_file(j.log), at1 = "\n        1 status \"Quillmarch ";
         EXPECT_EQ(log.find(at1 + "Flash Loader Ver:1.4\" \"Searching for Test"),
                   log.find(", load file modem.hex\n") + 21);
     },
     list("WE ARE IN RRFL", "Actual sector size = 0x40\\n ", "Actual chksum = 0x1234\\n ")},
    {"a 64 KB load without header, S3 records: progress every 64th record",
     [](auto &j) { j.load = "load_noheader.hex"; }, list(ERASE, DONE), true,
     [](auto &) {
         EXPECT_EQ(fake::pc().screens.end()[-3], "Programming the Flash|<98%>  Complete.");
     }},
    {"blank lines and a lone CR in the load, a blank line and a NUL (sent with its line) in the "
     "loader",
     all({loader_modem, edit("modem.hex", [](auto &s) { s.insert(s.find('\n', 300) + 1, "\n\n"); }),
          edit("modem.hex", [](auto &s) { s[s.find('\n', 900)] = '\r'; }),
          edit("kivfldr.hex", [](auto &s) { s.insert(s.find('\n', 200) + 3, 1, '\0'); }),
          edit("kivfldr.hex", [](auto &s) { s.insert(s.find('\n', 100) + 1, "\n"); })}),
     list(ERASE, DONE), true, nullptr, list("FLASH: No colon!", "FLASH: No colon!")},
};
// The NOK codes and time-outs while the records go out.
const Row recovery[] = {
    {"NOK1 answered Yes: Z, the whole load again", faults("nok:1@rec:5"), list(NOK1, DONE), true,
     [](auto &j) {
         EXPECT_EQ(records_after_z(*j.model),
                   lines_of(fake::read_file(fake::testdata("load_small.hex"))));
         summary_is("completed, 67 records (0 resent), 4851 bytes in 0.5 s, 9016 bytes/s")(j);
         screens(list("[wait]", "*", "[arrow]", ERASING, "[arrow]",
                      "Programming the Flash|<0%>  Complete.",
                      "Programming the Flash|<99%>  Complete.", COMPLETED, "[arrow]"))(j);
     },
     list("FLASH: Got a NOK", "FLASH: Failure to Erase", "FLASH: Sending Z")},
    {"NOK1 on the last record answered No is no success",
     all({faults("nok:1@rec:67"), answers("n"), no_last_eol}), list(NOK1, ABANDON)},
    {"three writes the line takes nothing of, then NOK3 until the shared resends run out",
     all({faults("nok:3@rec:5-8"), takes(before_record(5), std::deque<int>(30, 0))}),
     list("!Flash Error|Modem reports solid Checksum Failure."), true,
     summary_is("failed, 4 of 67 records acknowledged (7 resent), 254 bytes in 2.0 s, 125 bytes/s"),
     list("FLASH: Timeout Resend", "FLASH: Checksum Failure", "FLASH: Flash Open Comm Failed")},
    {"a resend's OK over 180 s late: out of step at the end of its wait, never the next record's",
     faults("late:181000@rec:5 late:181000@rec:6 late:5000@rec:7 nok:3@rec:7"), list(OUT_OF_STEP),
     true, nullptr, list("FLASH: Answers out of step: 1 owed, 0 with no write waiting")},
    {"NOK4 late twice, answered Yes: both answers taken before Z",
     faults("late:181000@rec:5 nok:4@rec:5-6 late:1500@rec:6"), list(NOK4, DONE), true, nullptr,
     list("FLASH: Failure to program a byte", "FLASH: Sending Z")},
    {"NOK2 six times, an OK 181 s late; another record's answer dropped: out of step 180 s on",
     faults("nok:2@rec:5-10 late:181000@rec:11 noreply@rec:20"), list(OUT_OF_STEP), true,
     [](auto &j) { // no resend after the deficit, the answers to the NOKs not counted short
         EXPECT_EQ(records_after_z(*j.model).size(), 21u);
         auto &resend = j.model->transcript().end()[-2]; // the last line before "Y"
         EXPECT_EQ((fake::pc().now_ms - resend.reply_at.back() / 1000) / 1000, 180u);
     }},
    {"the eighth time-out ends the job", faults("noreply@rec:5-12"), list(SILENT), true, nullptr,
     list("FLASH: Chars Received = 0 ", "OK\\r\\n", "Flash Comm Read Failed",
          "FLASH: Timeout Resend")},
    {"a line that is no record, put in after the load's check and answered: out of step",
     after_check([](auto &s) { s.insert(s.find('\n') + 1, "x\n"); }), list(OUT_OF_STEP)},
    {"the device hangs up while a record's answer is awaited: the job ends at once, naming it",
     on(in_state(SEQ_POLL, 10), [] { fake::pc().hung_up = true; }),
     list("!Line Lost|The line to the modem on COM3 was lost: /dev/ttyUSB0 hung up.\nThe job "
          "was stopped; the modem may be left without its firmware."),
     false, nullptr, list("FLASH: Line lost: /dev/ttyUSB0 hung up")},
};
// Loads refused, the checksum command, the settings, writes that fail.
const Row checks_and_writes[] = {
    {"a load that is no S-record file",
     all({loader_modem,
          edit("modem.hex", [](auto &s) { s = std::string(200, 'x') + "\n" + "yyy"; })}),
     list(NO_DATA), false,
     [](auto &j) { EXPECT_TRUE(j.model->counters().bytes_in == 0 && !job_touched_flash()); },
     list("FLASH: Load file refused", "FLASH: Flash Destroy Window")},
    {"an empty load: no file error, refused by its check",
     edit("modem.hex", [](auto &s) { s.clear(); }), list(NO_DATA), false},
    {"checksum command confirmed", checksum("CS=1234", "CS=1234"), list(DONE), true, nullptr,
     list("\\r\\nCS=1234\\r\\n\\r\\nOK\\r\\n", "\\r\\nCS=1234\\r\\n\\r\\nOK\\r\\n")},
    {"checksum command not confirmed", checksum("CS=9999", "CS=1234"), list(FAILED), true,
     screens(list("[wait]", "*", "[arrow]", SENDING, "Programming Failed|", "[arrow]"))},
    {"writes taken as nothing are no error: the probe's first, the checksum command",
     all({checksum("CS=1234", "CS=1234"), takes(in_state(SEQ_COMPLETE), NOTHING),
          first_writes(NOTHING)}),
     list(FAILED), true, nullptr, list("!Com Error = 0")},
    {"NoPopUps", [](auto &j) { j.ini += "NoPopUps=yes\n"; }, list(), true, screens(PLAIN)},
    {"a write failing four times, then going through", takes(before_record(4), {-1, -1, -1, -1}),
     list(DONE)},
    {"a record's write taken up to its CR and no further: its answer is awaited",
     takes(before_record(4), {16, 16, 16, 16, 11}), list(DONE)},
    {"a write failing five times", takes(before_record(4), {-1, -1, -1, -1, -1}),
     list("!Solid CommError|Failed to write line to Modem"), true, nullptr, list("Com Error= 1F ")},
};
// The loader and the files failing.
const Row failures[] = {
    {"the longest loader line goes out whole, a longer one is refused",
     all({loader_modem, edit("kivfldr.hex",
                             [](auto &s) { // 255 bytes of data: 521 characters
                                 s = ":FF000000" + std::string(510, '0') + "01\n:FF" +
                                     std::string(517, '0') + "01\n" + s;
                             })}),
     list(ERASE,
          "!Loader File Error|Line 2 of kivfldr.hex is longer than 521 characters.\nThe file "
          "is damaged or is not an Intel hex file; the download was stopped before that line "
          "was sent."),
     true, [](auto &j) { EXPECT_EQ(j.model->transcript().back().text.size(), 5u + 521); }},
    {"no loader file", [](auto &j) { loader_modem(j), j.loader = ""; },
     list(ERASE, "!ERROR|Flash file open failed - kivfldr.hex")},
    // The terminal program reads kivfldr.hex whole before it asks to erase: no question, no "Y".
    {"loader read first, missing, the modem silent about its own loader",
     all({faults("noreply@on=AT&&FFL"), loader_first, [](auto &j) { j.loader = ""; }}),
     list(LOADER + "kivfldr.hex: No such file or directory.\nNothing was erased."), false},
    {"loader read first, no end record",
     all({loader_modem, loader_first,
          edit("kivfldr.hex", [](auto &s) { s.resize(s.rfind(':')); })}),
     list(LOADER + "kivfldr.hex has no end record: the file is cut short.\nNothing was erased."),
     false},
    {"no thread for the loader",
     [](auto &j) { loader_modem(j), j.setup = [] { fake::pc().thread_fails = true; }; },
     list(ERASE), true, nullptr, list("hThread==NULL")},
    {"a resident loader of another version", [](auto &j) { j.modem.rrfl_version = "1.3"; },
     list(VERSION + "RRFL")},
    {"a long reply without the version is cut to the box",
     [](auto &j) { loader_modem(j), j.modem.loader_version = std::string(300, 'v'); },
     list(ERASE,
          (VERSION + "kivfldr.hex; received at&&f:00000001FF\r\r\nQuillmarch Flash Loader Ver:" +
           std::string(300, 'v'))
              .substr(0, 255 + 9))},
    {"the resident loader's start taken as nothing: no error traced, no OK",
     first_writes({16, 16, 16, 16, 16, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), list(SILENT), true,
     nullptr, list("!Com Error = 0")},
    {"no OK to the resident loader's start, its write failed",
     first_writes({16, 16, 16, 16, 16, 16, -1}), list(SILENT), true, nullptr,
     list("FLASH: entering RRFL", "Com Error = 1F")},
    {"a loader line that is no record taken as nothing is no error; a record's write fails",
     all({loader_modem, edit("kivfldr.hex", [](auto &s) { s.insert(0, "x\n"); }),
          takes(in_state(SEQ_LOADER), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1})}),
     list(ERASE, SILENT), true, nullptr,
     list("!Com Error= 0 ", "Com Error= 1F ", "FLASH: Flash loader code download failed")},
    {"the load file named on the command line missing", [](auto &j) { j.choices.load_path = "x"; },
     list("!File Open Error...|File open failed "), false},
    {"the load cannot be opened again", // the program's folder is current
     on(in_state(SEQ_OPEN_LOAD), [] { std::filesystem::remove("modem.hex"); }),
     list("!File Open Error...|Flash file open failed ")},
    {"a line too long to send, in a load changed after its check", after_check([](auto &s) {
         s.insert(s.find("\nS1", 200), 448, '0');
     }), // line 4: 522 characters
     list(
         "!Load File Error|Line 4 of the load file\nmodem.hex\nis longer than 521 characters.\nThe "
         "file is damaged or is not an S-record file; the job was stopped before that line was "
         "sent."),
     true, [](auto &j) { EXPECT_EQ(records_after_z(*j.model).size(), 3u); }},
    {"a line of 521 characters is sent, in a load changed after its check",
     after_check([](auto &s) { s.insert(s.find("\nS1", 200), 447, '0'); }),
     list("!Flash Error|Modem reports solid Checksum Failure.")},
    {"a load emptied after its check", after_check([](auto &s) { s.clear(); }),
     list("!Flash Error|The load file holds no S-records: nothing was programmed.")},
};
// The search, the command line and the closes.
const Row search_and_closes[] = {
    {"no settings, the dialog cancelled", [](auto &j) { j.ini = ""; }, list(), false},
    {"no settings: the load picked in the dialog, the modem found on COM1 counting down",
     [](auto &j) {
         j.ini = "", j.com = 1, j.setup = [&j] {
             fake::pc().ports[2] = nullptr; // COM2 opens, nothing answers
             fake::pc().dialog = [&j](auto *r) {
                 return std::snprintf(r->file, r->max_file, "%s/modem.hex", j.folder.c_str()), 1;
             };
         };
     },
     list(DONE), true,
     [](auto &j) {
         EXPECT_EQ(std::string(download_path), j.folder + "/modem.hex");
         screens(list("[wait]", "[wait]", "Found Modem on COM1.|Erasing: Please be Patient...",
                      "[arrow]", SENDING, COMPLETED, "[arrow]"))(j);
     }},
    {"no command line: the search starts at COM255, never COM256",
     [](auto &j) {
         j.cmdline = "", j.com = 255, j.setup = [] { fake::pc().ports[256] = nullptr; };
     },
     list(DONE), true, one_port},
    {"nothing answers on COM2 and COM1",
     [](auto &j) {
         j.com = 0, j.cmdline = "2", j.setup = [] {
             fake::pc().ports = {{1, nullptr}, {2, nullptr}}, fake::pc().write_takes = {-1};
         };
     },
     list(SILENT), false, nullptr, // the Wine runner reads these too
     list("Flash Trying Comm 2 ", "Com Error = 1F", "Not a Quillmarch Flashable modem!",
          "Flash Trying Comm 1 ", "FLASH: Flash Open Comm Failed")},
    {"close confirmed during the loader upload",
     all({loader_modem, hold_loader([] { return port_stop.load() != 0; }),
          on(uploading, close_window)}),
     list(ERASE, KILL), true, [](auto &j) { EXPECT_EQ(j.model->counters().loader_uploads, 0); },
     list("FLASH: Loader download stopped")},
    {"close confirmed in state 6", on(in_state(SEQ_OPEN_LOAD), close_window), list(KILL), true,
     summary_is(STOPPED + " in 0.0 s, 0 bytes/s")},
    {"Ctrl-C while records go out: asked as the close box is", on(in_state(SEQ_POLL, 3), ctrl_c),
     list(KILL)},
    {"close refused in states 4, 6, 7 and 8",
     [](auto &j) {
         auto no = std::make_shared<std::atomic<bool>>(false); // the upload's close answered
         all({loader_modem, answers("ynnnn"), hold_loader([no] { return no->load(); })})(j);
         auto c4 = once(uploading, [no] { close_window(), *no = true; });
         auto c6 = once(in_state(SEQ_OPEN_LOAD), close_window),
              c7 = once(before_record(4), close_window);
         auto c8 = once(in_state(SEQ_POLL, 5), close_window);
         j.each_step = [=] { c4(), c6(), c7(), c8(); };
     },
     list(ERASE, KILL, KILL, KILL, KILL, DONE)},
    {"close outside the flashing states", on(in_state(SEQ_PROBE), close_window), list(), false,
     summary_is(STOPPED + " in 0.0 s, 0 bytes/s")},
    // The terminal program tells the modem "Y" on any close; the window closes the port as it is.
    {"window closed with the resident loader started: the port closed as it stands",
     on(in_state(SEQ_RRFL_VERSION), close_window), list(), false},
    {"Ctrl-C with the resident loader started: Y, then the port closed",
     on(in_state(SEQ_RRFL_VERSION), ctrl_c), list(), true},
    {"the port from the whole command line, the program's path quoted",
     via("\"D:\\Program Files\\flash file.exe\"\x01\t 3"), list(DONE), true, one_port},
};

class Jobs : public ::testing::TestWithParam<Row> {};

TEST_P(Jobs, EndAsTheyShould) {
    const Row &row = GetParam();
    fake::Job job;
    row.setup(job);
    if (job.log.empty()) job.log = fake::scratch() + "/job.log", std::filesystem::remove(job.log);
    checks::Watch w;
    w.bound = 86400000;                 // a day: a job that never ends
    EXPECT_EQ(checks::run(job, w), ""); // what holds for every job, as in the campaign
    const fake::Machine &m = fake::pc();
    EXPECT_EQ(m.boxes, row.boxes);
    EXPECT_EQ(m.thread_handles, 0) << "a thread's handle was left open";
    EXPECT_EQ(m.line.find('Y') != std::string::npos, row.y);
    std::string status = status_line1;
    if (status == "Programming Completed") {
        std::string bin =
            fake::read_file(fake::testdata(job.load.substr(0, job.load.size() - 4) + ".bin"));
        std::vector<uint8_t> want(bin.begin(), bin.end());
        want.resize(job.model->flash().size(), 0xFF);
        EXPECT_TRUE(job.model->flash() == want) << "the modem's flash is not the load";
        // Behind the box.
        EXPECT_TRUE(row.boxes.empty() || std::string(status_line2) == "<100%>  Complete.");
    }
    // What the tools that read the traces wait for.
    EXPECT_TRUE(fake::traced("FLASH: Flash init state"));
    bool decided = status == "Programming Completed" || status == "Programming Failed";
    EXPECT_EQ(fake::traced("FLASH: Dnld successful"), decided);
    EXPECT_EQ(summary().rfind("FLASH: Summary: completed", 0) == 0,
              status == "Programming Completed");
    if (row.more) row.more(job);
    std::string log = fake::read_file(job.log);
    size_t at = 0;
    for (auto &line : row.log) // "!": a line that must not be there
        if (line[0] == '!')
            EXPECT_EQ(log.find(" trace " + line.substr(1) + "\n"), log.npos) << line;
        else EXPECT_NE(at = log.find(" trace " + line + "\n", at + 1), log.npos) << line;
}

std::string row_name(const ::testing::TestParamInfo<Row> &info) {
    std::string n = info.param.name;
    std::replace_if(
        n.begin(), n.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
    return n;
}
INSTANTIATE_TEST_SUITE_P(WaysIn, Jobs, ::testing::ValuesIn(ways_in), row_name);
INSTANTIATE_TEST_SUITE_P(Recovery, Jobs, ::testing::ValuesIn(recovery), row_name);
INSTANTIATE_TEST_SUITE_P(ChecksAndWrites, Jobs, ::testing::ValuesIn(checks_and_writes), row_name);
INSTANTIATE_TEST_SUITE_P(Failures, Jobs, ::testing::ValuesIn(failures), row_name);
INSTANTIATE_TEST_SUITE_P(SearchAndCloses, Jobs, ::testing::ValuesIn(search_and_closes), row_name);

} // namespace
