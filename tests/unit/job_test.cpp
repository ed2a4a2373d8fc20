// Whole jobs against the modem model, one row each: the modem's set-up and faults, the files, the answers;
// then the boxes (caption and text, "?" for a question, "!" for a warning), "Y" last on the line, the port
// closed, no file left open, what the window showed, the summary, and whenever success is reported, the
// modem's flash equal to srec_cat's binary of the load.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "app/app.h"
#include "fake/fake.h"
#include "flash/flash.h"
#include "link/link.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Setup = std::function<void(fake::Job &)>;
const std::string ERASE = "?MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash";
const std::string DONE = "    All Done...|Flash Programming Completed";
const std::string NOK1 = "?You May Have Cooked the Flash Chip!|Chip Failed to Erase Properly\nWould you like to Retry.";
const std::string NOK4 = "?You May Have Cooked the Flash Chip!|Chip Failed to Program Properly\nWould you like to Retry.";
const std::string KILL = "?You May Have Cooked the Flash Chip!|Are you Sure you want to Kill the Flash Loader?";
const std::string ABANDON = "!Flash Error|Abandon Chip!!";
const std::string SILENT = "!Error...|Modem is not responding.\nPlease try again later.";
const std::string NO_DATA = "!Load File Error|modem.hex holds no data records (S1, S2 or S3): there is nothing to flash.\n"
                            "Nothing was sent to the modem.";
const std::string NO_RECORDS = "!Flash Error|The load file holds no S-records: nothing was programmed.";
const std::string ERASING = "Erasing the Flash Chip.|Please be Patient...";
const std::string COMPLETED = "Programming Completed|Time Elapsed 0 Min *"; // '*': any ending
const Strings PLAIN = {"[wait]", "*", "[arrow]", "Programming the Flash|<8%>  Complete.", COMPLETED, "[arrow]"};

long open_files() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

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
            int a = dash == std::string::npos ? -1 : std::stoi(t.substr(at)), b = a < 0 ? -1 : std::stoi(t.substr(dash + 1));
            for (int n = a; n <= b; ++n) {
                j.modem.faults.emplace_back();
                EXPECT_TRUE(sim::parse_fault(a < 0 ? t : t.substr(0, at) + std::to_string(n), false, &j.modem.faults.back(), &err));
            }
        }
    };
}
Setup all(std::initializer_list<Setup> parts) {
    return [v = std::vector<Setup>(parts)](fake::Job &j) { for (auto &p : v) p(j); };
}
// The checksum command, the modem's reply to it and the response the settings expect.
Setup checksum(const char *reply, std::string expect) {
    return [=](fake::Job &j) {
        j.modem.checksum_cmd = "AT&&FCS", j.modem.checksum_reply = reply;
        j.ini += "atchecksum=AT&&FCS\n" + (expect.empty() ? "" : "checksumresponse=" + expect + "\n");
    };
}
void loader_modem(fake::Job &j) { j.modem.rrfl_checksum = 0x9999; } // its resident loader does not fit the load
Setup answers(const char *a) { return [=](fake::Job &j) { j.answers = a; }; }

// Runs `f` once, before the first step that finds `when` true.
// A click on the close box.
void close_window() { on_close_request(); }

std::function<void()> once(std::function<bool()> when, std::function<void()> f) {
    return [=, done = std::make_shared<bool>(false)] { if (!*done && when()) *done = true, f(); };
}
std::function<bool()> before_record(int n) { // the step that sends the load's n-th line
    return [n] { return flash_state == 7 && records_sent == n - 1; };
}
std::function<bool()> in_state(int s) { return [s] { return flash_state == s; }; }
// Holds the loader thread before its 101st line until `go` says so, so that
// a close is asked while it uploads.
Setup hold_loader(std::function<bool()> go) {
    return [=](fake::Job &j) {
        j.setup = [go] {
            fake::pc().sleep_with_loader = false; // the held thread would hold the sleep too
            fake::pc().on_write = [go] {
                for (int i = 0; i < 100000 && loader_lines_sent.load() == 100 && !go(); ++i) std::this_thread::sleep_for(50us);
            };
        };
    };
}
// The load file changed by `edit` after its check, before it is opened for sending.
Setup after_check(std::function<void(std::string &)> e) {
    return [=](fake::Job &j) { j.each_step = once(in_state(6), [&j, e] { edit("modem.hex", e)(j), j.setup(); }); };
}
// The whole command line as the system gives it, with COM4 open to a search and silent: one that starts
// above the modem's COM3 meets it first.
Setup via(const char *whole) {
    return [=](fake::Job &j) { j.cmdline = command_line_args(whole), j.setup = [] { fake::pc().ports[4] = nullptr; }; };
}
void one_port(fake::Job &) { EXPECT_EQ(fake::pc().handles.size(), 1u) << "a port besides the modem's was opened"; }
bool uploading() { return flash_state == 4 && loader_lines_sent.load() == 100; }

// The lines the flash loader got after the last 'Z'.
Strings records_after_z(const sim::Modem &m) {
    Strings out;
    for (auto &t : m.transcript())
        if (t.single_char && t.text == "Z") out.clear();
        else if (t.mode == sim::Mode::FlashLoader && !t.single_char)
            out.push_back(t.text);
    return out;
}
Strings lines_of(const std::string &text) {
    Strings out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// The last trace: the job's summary, for the log and the tools that read the traces.
std::string summary() { return fake::pc().debug.size() < 2 ? "" : fake::pc().debug.end()[-2]; }
Setup summary_is(std::string text) {
    return [=](fake::Job &) { EXPECT_EQ(summary(), "FLASH: Summary: " + text); };
}

// What a write of `data` puts on the line: the data, the byte after it,
// zeros to the end of the last 16-byte chunk.
std::string chunked(std::string data, char after = 0) {
    size_t n = (data.size() + 15) / 16 * 16;
    data += after;
    data.resize(n, '\0');
    return data;
}

// y: the port was open at the end, "Y" is the last byte written; screens: what the window showed (when given);
// log: lines of the job's log that tell the workshop what happened, in this order (as logged, escaped).
struct Row { const char *name; Setup setup; Strings boxes; bool y = true; Strings screens = {}; Setup more = {}; Strings log = {}; };
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

const Row rows[] = {
    {"loader path: the erase question, the 603-line upload", loader_modem, {ERASE, DONE}, true,
     {"[wait]", "Found Test Modem on COM3.|RRFL is Not Compatible.", "Found Test Modem on COM3.|Initializing, Please Wait.",
      ERASING, "[arrow]", "Programming the Flash|<8%>  Complete.", COMPLETED, "[arrow]"},
     [](auto &j) {
         // Every byte on the line: the probe, the loader, the records, "Y".
         std::string want;
         for (const char *c : {"AAAAT\r", "AT\r", "AAAAT\r", "AT&&F\r", "ATI5\r", "AT&&FFL\r"}) want += chunked(c);
         for (auto &l : lines_of(fake::read_file(fake::testdata("kivfldr.hex")))) want += chunked("at&&f" + l + "\r", '\n');
         want += chunked("at&&f\r", '\xFF');
         for (auto &l : lines_of(fake::read_file(fake::testdata("load_small.hex")))) want += chunked(l + "\r", '\n');
         EXPECT_TRUE(fake::pc().line == want + "Y");
         summary_is("completed, 67 records (0 resent), 4851 bytes in 2.5 s, 1912 bytes/s")(j);
         EXPECT_EQ(j.model->counters().loader_records, 603);
         auto &bars = fake::pc().loader_bars; // the loader's own repaints: lines sent, of 603, every 20th
         for (auto [count, total] : bars) EXPECT_EQ(total, 603);
         using Bars = std::vector<std::pair<int32_t, int32_t>>;
         EXPECT_EQ((bars.size() < 2 ? bars : Bars{bars.front(), bars.back()}), (Bars{{20, 603}, {603, 603}}));
     },
     {"Load Modem type is Internal", "RRFL is in new load (0x40)", "Load chksum = 0x1234\\n", "<CE-3>", "AT\\r\\r\\nOK\\r\\n",
      "Actual Modem type is INTERNAL", "Actual sector = 0x40\\n ", "Actual chksum = 0x9999\\n ", "ldsAreCompat() FAILED",
      "MUST USE FULL ERASE - LOADS ARE INCOMPAT", "Flash Open Comm Success on Com3 ", "flash_download_loader calls ReDraw()",
      "FLASH: Flash loader code download success", "FLASH: Got EOF", "FLASH: Flash Destroy Window", "FLASH: NULL"}},
    {"erase refused: no Y, port closed", all({loader_modem, answers("n")}), {ERASE}, false},
    {"resident loader running; the log names the load before its first line", [](auto &j) { j.modem.firmware_running = false; },
     {DONE}, true, {}, [](auto &j) {
         std::string log = fake::read_file(j.log); // the load file on its first line, then the first status lines
         EXPECT_TRUE(log.find(", load file modem.hex\n") < log.find(" status \"Quillmarch Flash Loader Ver:1.4\" \"Searching for Test Modem.\"\n"));
     },
     {"WE ARE IN RRFL", "Actual sector size = 0x40\\n ", "Actual chksum = 0x1234\\n "}},
    {"resident loader started by the sequencer; a long modem name is cut, the port still shows",
     [](auto &j) { j.ini = "modemname=" + std::string(200, 'N') + "\nfilename=modem.hex\natcmd=ATI5\nresponse=Quillmarch\n"; },
     {DONE}, true,
     {"[wait]", "Found " + std::string(110, 'N') + " on COM3...|Erasing: Please be Patient...", "[arrow]",
      "Programming the Flash|<8%>  Complete.", COMPLETED, "[arrow]"},
     [](auto &j) { EXPECT_EQ(j.model->counters().loader_uploads, 0); }, {"Actual chksum = 0x1234\\n ", "FLASH: entering RRFL"}},
    {"resident loader that does not fit", [](auto &j) { loader_modem(j), j.modem.firmware_running = false; },
     {"!INCOMPATIBLE LOAD|IN RRFl and new load has an RRFL checksum mismatch\n\tActual checksum = 9999\n"
      "\tLoad checksum = 1234\nUSE PREVIOUS LOAD !!!"},
     false},
    {"a CR LF load's header fits the modem's loader",
     [](auto &j) { j.load = "load_S10.hex", j.modem.type_letter = 'S', j.modem.rrfl_sector = 16, j.modem.rrfl_checksum = 0xBEEF; },
     {DONE}},
    {"CR LF load and loader", [](auto &j) { loader_modem(j), j.load = "load_S10.hex", j.loader = "kivfldr_crlf.hex"; },
     {ERASE, DONE}, true, {}, // the summary counts the bytes written, one CR a record
     summary_is("completed, 1027 records (0 resent), 78901 bytes in 10.2 s, 7711 bytes/s")},
    {"no final line end in either file",
     [](auto &j) { loader_modem(j), j.load = "load_crlf_noeol.hex", j.loader = "kivfldr_noeol.hex"; }, {ERASE, DONE}},
    {"a 64 KB load without header, S3 records: progress every 64th record", [](auto &j) { j.load = "load_noheader.hex"; },
     {ERASE, DONE}, true, {}, [](auto &) { EXPECT_EQ(fake::pc().screens.end()[-3], "Programming the Flash|<98%>  Complete."); }},
    {"blank lines and a lone CR in the load, a blank line and a NUL byte (sent with its line) in the loader",
     all({loader_modem, edit("modem.hex", [](std::string &s) { s.insert(s.find('\n', 300) + 1, "\n\n")[s.find('\n', 900)] = '\r'; }),
          edit("kivfldr.hex", [](std::string &s) { s.insert(s.find('\n', 200) + 3, 1, '\0').insert(s.find('\n', 100) + 1, "\n"); })}),
     {ERASE, DONE}, true, {}, {}, {"FLASH: No colon!", "FLASH: No colon!"}},
    {"0xFF ends the load", edit("modem.hex", [](std::string &s) { s += "\xFF\nS11300000000000000000000000000000000EC\n"; }),
     {DONE}},
    {"0xFF ends the loader", all({loader_modem, edit("kivfldr.hex", [](std::string &s) { s += "\xFF\n:BAD\n"; })}),
     {ERASE, DONE}},
    {"NOK1 answered Yes: Z, the whole load again", faults("nok:1@rec:5"), {NOK1, DONE}, true,
     {"[wait]", "*", "[arrow]", ERASING, "[arrow]", "Programming the Flash|<0%>  Complete.",
      "Programming the Flash|<99%>  Complete.", COMPLETED, "[arrow]"},
     [](auto &j) {
         EXPECT_EQ(records_after_z(*j.model), lines_of(fake::read_file(fake::testdata("load_small.hex"))));
         summary_is("completed, 67 records (0 resent), 4851 bytes in 0.5 s, 9016 bytes/s")(j);
     },
     {"FLASH: Got a NOK", "FLASH: Failure to Erase", "FLASH: Sending Z"}},
    {"NOK1 answered No", all({faults("nok:1@rec:5"), answers("n")}), {NOK1, ABANDON}, true,
     {"[wait]", "*", "[arrow]"}, {}, {"FLASH: Failure to Erase", "FLASH: Flash Open Comm Failed"}},
    {"NOK4 answered No", all({faults("nok:4@rec:9"), answers("n")}), {NOK4, ABANDON}},
    {"Z answered without the version", faults("nok:1@rec:5 erasefail@erase:2"),
     {NOK1, ABANDON + " The modem did not confirm the full erase: its flash may be erased."}},
    {"NOK4 on the last record, without a line end: the whole load again",
     all({faults("nok:4@rec:67"), no_last_eol}), {NOK4, DONE}, true, {},
     [](auto &j) { EXPECT_EQ(records_after_z(*j.model).size(), 67u); }},
    {"NOK3 on the last record, without a line end: resent", all({faults("nok:3@rec:67"), no_last_eol}), {DONE}},
    {"NOK1 on the last record answered No is no success",
     all({faults("nok:1@rec:67"), answers("n"), no_last_eol}), {NOK1, ABANDON}},
    {"three writes the line takes nothing of, then NOK3 until the shared resends run out",
     [](auto &j) { faults("nok:3@rec:5-8")(j), j.each_step = once(before_record(5), [] {
         fake::pc().write_takes.assign(30, 0); }); },
     {"!Flash Error|Modem reports solid Checksum Failure."}, true, {},
     summary_is("failed, 4 of 67 records acknowledged (7 resent), 254 bytes in 2.0 s, 125 bytes/s"),
     {"FLASH: Chars Received = 0 ", "OK\\r\\n", "Flash Comm Read Failed", "FLASH: Timeout Resend", "FLASH: Checksum Failure"}},
    {"a resend's OK over 180 s late is not taken for the next record's",
     faults("late:181000@rec:5 late:181000@rec:6 late:5000@rec:7 nok:3@rec:7"), {DONE}},
    {"NOK4 181 s late, the resend's OK: the resend programmed the record",
     faults("late:181000@rec:5 nok:4@rec:5 late:1500@rec:6"), {DONE}},
    {"NOK4 late twice, answered Yes: both answers taken before Z",
     faults("late:181000@rec:5 nok:4@rec:5-6 late:1500@rec:6"), {NOK4, DONE}, true, {}, {},
     {"FLASH: Failure to program a byte", "FLASH: Sending Z"}},
    {"a late NOK3 and the resend's OK in one read: no wait for an answer already read",
     faults("late:181000@rec:5 nok:3@rec:5"), {DONE}, true, {},
     summary_is("completed, 67 records (1 resent), 4851 bytes in 183.5 s, 26 bytes/s")},
    {"NOK2 six times, then OK", faults("nok:2@rec:5-10"), {DONE}},
    {"seven writes unanswered, then an OK: the answers owed to them never come",
     faults("noreply@rec:5-11"), {"!Flash Error|The modem's answers fell out of step with the "
                                  "records sent: its flash may not hold the load."}},
    {"the eighth time-out ends the job", faults("noreply@rec:5-12"), {SILENT}, true, {"[wait]", "*", "[arrow]"}},
    {"the device hangs up while a record's answer is awaited: the job ends at once, naming it",
     [](auto &j) { j.each_step = once([] { return flash_state == 8 && records_sent == 10; },
                                      [] { fake::pc().hung_up = true; }); },
     {"!Line Lost|The line to the modem on COM3 was lost: /dev/ttyUSB0 hung up.\nThe job was "
      "stopped; the modem may be left without its firmware."}, false},
    {"a load that is no S-record file",
     all({loader_modem, edit("modem.hex", [](std::string &s) { s = std::string(200, 'x') + "\n" + std::string(9, 'y'); })}),
     {NO_DATA}, false, {}, [](auto &j) { EXPECT_EQ(j.model->counters().bytes_in, 0); },
     {"FLASH: Load file refused", "FLASH: Flash Destroy Window", ""}},
    {"an empty load: no file error, refused by its check", edit("modem.hex", [](std::string &s) { s.clear(); }), {NO_DATA}, false},
    {"checksum command confirmed", checksum("CS=1234", "CS=1234"), {DONE}, true, {}, {},
     {"\\r\\nCS=1234\\r\\n\\r\\nOK\\r\\n", "FLASH: Flash Destroy Window"}},
    {"checksum command not confirmed", checksum("CS=9999", "CS=1234"), {"    Try again...|Flash Programming Failed."},
     true, {"[wait]", "*", "[arrow]", "Programming the Flash|<8%>  Complete.", "Programming Failed|", "[arrow]"}},
    {"checksum command with an empty expected response", checksum("CS=9999", ""), {DONE}},
    {"NoPopUps", [](auto &j) { j.ini += "NoPopUps=yes\n"; }, {}, true, PLAIN},
    {"SkipFlush", [](auto &j) { j.ini += "SkipFlush=yes\n"; }, {DONE}},
    {"a write failing four times, then going through",
     [](auto &j) { j.each_step = once(before_record(4), [] { fake::pc().write_takes.assign(4, -1); }); }, {DONE}},
    {"a write failing five times",
     [](auto &j) { j.each_step = once(before_record(4), [] { fake::pc().write_takes.assign(5, -1); }); },
     {"!Solid CommError|Failed to write line to Modem"}, true, {}, {}, {"Com Error= 1F "}},
    {"the longest loader line goes out whole, a longer one is refused",
     all({loader_modem, edit("kivfldr.hex", [](std::string &s) { // 255 bytes of data: 521 characters
              s = ":FF000000" + std::string(510, '0') + "01\n" + ":FF000000" + std::string(511, '0') + "01\n" + s;
          })}),
     {ERASE, "!Loader File Error|Line 2 of kivfldr.hex is longer than 521 characters.\nThe file is damaged or is not an "
             "Intel hex file; the download was stopped before that line was sent."},
     true, {}, [](auto &j) { EXPECT_EQ(j.model->transcript().back().text.size(), 5u + 521); }},
    {"no loader file", [](auto &j) { loader_modem(j), j.loader = ""; }, {ERASE, "!ERROR|Flash file open failed - kivfldr.hex"}},
    {"no thread for the loader", [](auto &j) { loader_modem(j), j.setup = [] { fake::pc().thread_fails = true; }; },
     {ERASE}, true, {}, {}, {"hThread==NULL"}},
    {"a resident loader of another version", [](auto &j) { j.modem.rrfl_version = "1.3"; },
     {"!Exit...|Version mismatch (Ver:1.4) with RRFL"}},
    {"an uploaded loader of another version", [](auto &j) { loader_modem(j), j.modem.loader_version = "1.3"; },
     {ERASE, "!Exit...|Version mismatch (Ver:1.4) with kivfldr.hex; received at&&f:00000001FF\r\r\nQuillmarch Flash "
             "Loader Ver:1.3\r\n\r\nOK\r\n"}},
    {"a long reply without the version is cut to the box",
     [](auto &j) { loader_modem(j), j.modem.loader_version = std::string(300, 'v'); },
     {ERASE, ("!Exit...|Version mismatch (Ver:1.4) with kivfldr.hex; received at&&f:00000001FF\r\r\nQuillmarch Flash "
              "Loader Ver:" + std::string(300, 'v')).substr(0, 255 + 9)}},
    {"no OK to the resident loader's start", faults("noreply@on=AT&&FGO"), {SILENT}},
    {"a silent loader upload", all({loader_modem, faults("noreply@on=at&&f:")}), {ERASE, SILENT}, true, {}, {},
     {"FLASH: Flash loader code download failed"}},
    {"the named load file missing", [](auto &j) { j.load = ""; }, {"!File Open Error...|File open failed "}, false, {}, {},
     {"FLASH: Flash Destroy Window"}},
    {"the load cannot be opened again",
     [](auto &j) { j.each_step = once(in_state(6), [&j] { std::filesystem::remove(j.folder + "/modem.hex"); }); },
     {"!File Open Error...|Flash file open failed "}},
    {"a line too long to send, in a load changed after its check",
     after_check([](auto &s) { s.insert(s.find("\nS1", 200), 448, '0'); }), // line 4: 522 characters
     {"!Load File Error|Line 4 of the load file\nmodem.hex\nis longer than 521 characters.\nThe file is damaged or is "
      "not an S-record file; the job was stopped before that line was sent."},
     true, {}, [](auto &j) { EXPECT_EQ(records_after_z(*j.model).size(), 3u); }},
    {"a load emptied after its check", after_check([](auto &s) { s.clear(); }), {NO_RECORDS}},
    {"no settings, the dialog cancelled", [](auto &j) { j.ini = ""; }, {}, false, {}, {}, {"FLASH: Flash Destroy Window"}},
    {"no settings: the load picked in the dialog, the modem found on COM1 counting down",
     [](auto &j) {
         j.ini = "", j.com = 1, j.setup = [&j] {
             fake::pc().ports[2] = nullptr; // COM2 opens, nothing answers
             fake::pc().dialog = [&j](auto *r) { return std::snprintf(r->file, r->max_file, "%s/modem.hex", j.folder.c_str()), 1; };
         };
     },
     {DONE}, true, {"[wait]", "[wait]", "Found Modem on COM1.|Erasing: Please be Patient...", "[arrow]",
      "Programming the Flash|<8%>  Complete.", COMPLETED, "[arrow]"},
     [](auto &j) { EXPECT_EQ(std::string(download_path), j.folder + "/modem.hex"); }},
    {"no command line: the search starts at COM255, never COM256",
     [](auto &j) { j.cmdline = "", j.com = 255, j.setup = [] { fake::pc().ports[256] = nullptr; }; }, {DONE}, true, {}, one_port},
    {"nothing answers on COM2 and COM1",
     [](auto &j) { j.com = 0, j.cmdline = "2", j.setup = [] { fake::pc().ports = {{1, nullptr}, {2, nullptr}}; }; },
     {SILENT}, false, {}, {}, // the Wine runner reads these too
     {"Flash Trying Comm 2 ", "Not a Quillmarch Flashable modem!", "Flash Trying Comm 1 ", "FLASH: Flash Open Comm Failed"}},
    {"a reply that holds none of the settings' responses",
     [](auto &j) { j.ini = "modemname=M\nfilename=modem.hex\natcmd=ATI5\nresponse=CONNECT^RING\n"; }, {SILENT}, false, {}, {},
     {"Can't match CONNECT^RING"}},
    {"close confirmed during the loader upload",
     all({loader_modem, hold_loader([] { return port_stop.load() != 0; }),
          [](auto &j) { j.each_step = once(uploading, close_window); }}),
     {ERASE, KILL}, true, {}, [](auto &j) { EXPECT_EQ(j.model->counters().loader_uploads, 0); }, {"FLASH: Loader download stopped"}},
    {"close confirmed in state 6", [](auto &j) { j.each_step = once(in_state(6), close_window); }, {KILL}, true, {},
     summary_is("stopped by the user, 0 of 67 records acknowledged (0 resent), 0 bytes in 0.0 s, 0 bytes/s")},
    {"close confirmed in state 7", [](auto &j) { j.each_step = once(before_record(4), close_window); }, {KILL}},
    {"close confirmed in state 8",
     [](auto &j) { j.each_step = once([] { return flash_state == 8 && records_sent == 3; }, close_window); }, {KILL},
     true, {}, summary_is("stopped by the user, 2 of 67 records acknowledged (0 resent), 104 bytes in 2.0 s, 51 bytes/s")},
    {"close refused in states 4, 6, 7 and 8",
     [](auto &j) {
         loader_modem(j), j.answers = "ynnnn";
         auto answered = std::make_shared<std::atomic<bool>>(false);
         hold_loader([answered] { return answered->load(); })(j);
         auto c4 = once(uploading, [answered] { on_close_request(), *answered = true; });
         auto c6 = once(in_state(6), close_window), c7 = once(before_record(4), close_window);
         auto c8 = once([] { return flash_state == 8 && records_sent == 5; }, close_window);
         j.each_step = [=] { c4(), c6(), c7(), c8(); };
     },
     {ERASE, KILL, KILL, KILL, KILL, DONE}},
    {"close outside the flashing states", [](auto &j) { j.each_step = once(in_state(3), close_window); }, {}, false, {},
     summary_is("stopped by the user, 0 of 67 records acknowledged (0 resent), 0 bytes in 0.0 s, 0 bytes/s")},
    {"the port from the whole command line, the program's path quoted", via("\"D:\\Program Files\\flash file.exe\"\x01\t 3"),
     {DONE}, true, {}, one_port},
    {"the port from the whole command line, the path unquoted", via("flashfile.exe 3"), {DONE}, true, {}, one_port},
};

bool matches(const Strings &got, const Strings &want) { // '*' at the end of a wanted text: any ending
    return std::equal(got.begin(), got.end(), want.begin(), want.end(), [](const std::string &g, const std::string &w) {
        return w.back() == '*' ? g.rfind(w.substr(0, w.size() - 1), 0) == 0 : g == w;
    });
}

class Jobs : public ::testing::TestWithParam<Row> {};

TEST_P(Jobs, EndAsTheyShould) {
    const Row &row = GetParam();
    fake::Job job;
    row.setup(job);
    if (job.log.empty()) job.log = fake::scratch() + "/job.log", std::filesystem::remove(job.log);
    long files = open_files();
    ASSERT_TRUE(fake::run(job)) << "the window was not destroyed";
    const fake::Machine &m = fake::pc();
    EXPECT_EQ(m.boxes, row.boxes);
    EXPECT_TRUE(m.open_ports() == 0 && hComm == nullptr && m.thread_handles == 0) << "a port or a thread's handle was left open";
    EXPECT_EQ(open_files(), files) << "a file was left open";
    EXPECT_EQ(m.line.find('Y') != std::string::npos, row.y);
    EXPECT_EQ(row.y && !m.line.empty() ? m.line.back() : 'Y', 'Y') << "Y is not the last byte written";
    if (!row.screens.empty()) { EXPECT_TRUE(matches(m.screens, row.screens)) << ::testing::PrintToString(m.screens); }
    if (!m.boxes.empty() && m.boxes.back() == DONE) { EXPECT_STREQ(status_line2, "<100%>  Complete."); } // behind the box
    std::string status = status_line1;
    if (status == "Programming Completed") {
        std::string bin = fake::read_file(fake::testdata(job.load.substr(0, job.load.size() - 4) + ".bin"));
        std::vector<uint8_t> want(bin.begin(), bin.end());
        want.resize(job.model->flash().size(), 0xFF);
        EXPECT_TRUE(job.model->flash() == want) << "the modem's flash is not the load";
    }
    EXPECT_TRUE(fake::traced("FLASH: Flash init state")); // what the Wine runner waits for
    EXPECT_EQ(fake::traced("FLASH: Dnld successful"), status == "Programming Completed" || status == "Programming Failed");
    EXPECT_EQ(summary().rfind("FLASH: Summary: completed", 0) == 0, status == "Programming Completed") << summary();
    if (row.more) row.more(job);
    std::string log = fake::read_file(job.log);
    size_t at = 0;
    for (auto &line : row.log) EXPECT_NE(at = log.find(" trace " + line + "\n", at + 1), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(, Jobs, ::testing::ValuesIn(rows), [](const auto &info) {
    std::string n = info.param.name;
    std::replace_if(n.begin(), n.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
    return n;
});

} // namespace
