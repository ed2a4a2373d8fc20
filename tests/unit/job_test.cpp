// Whole jobs against the modem model, one row each: the modem's set-up and
// faults, the files, the answers; then the boxes (caption and text, "?" for
// a question, "!" for a warning), "Y" last on the line, the port closed, no
// file left open, what the window showed, and whenever success is reported,
// the modem's flash equal to srec_cat's binary of the load.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "app/app.h"
#include "fake/fake.h"
#include "flash/flash.h"
#include "link/link.h"

namespace {

using Strings = std::vector<std::string>;
const std::string ERASE = "?MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash";
const std::string DONE = "    All Done...|Flash Programming Completed";
const std::string COOKED = "?You May Have Cooked the Flash Chip!|";
const std::string NOK1 = COOKED + "Chip Failed to Erase Properly\nWould you like to Retry.";
const std::string NOK4 = COOKED + "Chip Failed to Program Properly\nWould you like to Retry.";
const std::string KILL = COOKED + "Are you Sure you want to Kill the Flash Loader?";
const std::string ABANDON = "!Flash Error|Abandon Chip!!";
const std::string SILENT = "!Error...|Modem is not responding.\nPlease try again later.";
const std::string NO_RECORDS = "!Flash Error|The load file holds no S-records: nothing was programmed.";
const std::string MISMATCH = "!Exit...|Version mismatch (Ver:1.4) with kivfldr.hex; received at&&f:00000001FF\r\r\n"
                             "Quillmarch Flash Loader Ver:";
// Screens: '*' at the end matches any ending.
const std::string FOUND = "Found Test Modem on COM3...|Erasing: Please be Patient...";
const std::string ERASING = "Erasing the Flash Chip.|Please be Patient...";
const std::string PROGRESS = "Programming the Flash|<8%>  Complete.";
const std::string COMPLETED = "Programming Completed|Time Elapsed 0 Min *";
const Strings RESIDENT = {"[wait]", FOUND, "[arrow]", PROGRESS, COMPLETED, "[arrow]"}; // the resident loader's job

size_t open_files() {
    auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<size_t>(std::distance(fds, std::filesystem::directory_iterator()));
}

// Runs `f` once, before the first step that finds `when` true.
std::function<void()> once(std::function<bool()> when, std::function<void()> f) {
    auto done = std::make_shared<bool>(false);
    return [=] {
        if (!*done && when()) *done = true, f();
    };
}
std::function<bool()> in_state(int s, int records = -1) { // with this many of the load's lines read
    return [=] { return flash_state == s && (records < 0 || records_sent == records); };
}
// Holds the loader thread before its 101st line until `go`, so that a close
// is asked while it uploads.
void hold_loader(fake::Job &j, std::function<bool()> go) {
    j.setup = [go] {
        fake::pc().on_write = [go] {
            for (int i = 0; i < 100000 && loader_lines_sent.load() == 100 && !go(); ++i)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        };
    };
}
bool uploading() { return flash_state == 4 && loader_lines_sent.load() == 100; }
void loader_modem(fake::Job &j) { j.modem.rrfl_checksum = 0x9999; } // its resident loader does not fit

// The lines the flash loader got after the last 'Z', and when each came (ms).
Strings records_after_z(const sim::Modem &m, std::vector<long> *at = nullptr) {
    Strings out;
    for (auto &t : m.transcript()) {
        if (t.single_char && t.text == "Z") out.clear();
        if (t.mode == sim::Mode::FlashLoader && !t.single_char) out.push_back(t.text);
        if (at && t.mode == sim::Mode::FlashLoader && !t.single_char) at->push_back(static_cast<long>(t.at / 1000));
    }
    return out;
}
Strings lines_of(const std::string &name) {
    Strings out(1);
    for (char c : fake::read_file(fake::testdata(name)))
        if (c == '\n')
            out.emplace_back();
        else if (c != '\r')
            out.back() += c;
    if (out.back().empty()) out.pop_back();
    return out;
}
// A write of `data` on the line: the data, the byte after it, zeros to the
// end of the last 16-byte chunk.
std::string chunked(std::string data, char after = 0) {
    size_t n = (data.size() + 15) / 16 * 16;
    return (data += after).resize(n, '\0'), data;
}
// The traces that tools/winrun and the demo read appear, in this order.
bool traced(Strings beginnings) {
    size_t i = 0;
    for (const std::string &d : fake::pc().debug) i += i < beginnings.size() && d.rfind(beginnings[i], 0) == 0;
    return i == beginnings.size();
}

struct Row {
    const char *name;
    std::function<void(fake::Job &)> setup;
    Strings boxes;
    bool y = true;        // the port was open at the end: "Y" is the last byte written
    Strings screens = {}; // what the window showed, when given
    std::function<void(fake::Job &)> more = {};
};
void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

const Row rows[] = {
    {"loader path: the erase question, the 603-line upload", loader_modem, {ERASE, DONE}, true,
     {"[wait]", "Found Test Modem on COM3.|RRFL is Not Compatible.", "Found Test Modem on COM3.|Initializing, Please Wait.",
      ERASING, "[arrow]", PROGRESS, COMPLETED, "[arrow]"},
     [](auto &j) { // every byte on the line: the probe, the loader, the records, "Y"
         std::string want;
         for (const char *c : {"AAAAT\r", "AT\r", "AAAAT\r", "AT&&F\r", "ATI5\r", "AT&&FFL\r"}) want += chunked(c);
         for (auto &l : lines_of("kivfldr.hex")) want += chunked("at&&f" + l + "\r", '\n');
         want += chunked("at&&f\r", '\xFF');
         for (auto &l : lines_of("load_small.hex")) want += chunked(l + "\r", '\n');
         EXPECT_TRUE(fake::pc().line == want + "Y");
         EXPECT_TRUE(traced({"FLASH: Flash init state", "Flash Trying Comm 3 ", "writing to COM3:19200,n,8,1\n",
                             "devicewrite(at&&f:", "devicewrite(S0", "FLASH: Dnld successful"}));
         EXPECT_EQ(j.model->counters().loader_records, 603);
         auto &bars = fake::pc().loader_bars; // the loader's own repaints: lines sent, of 603
         for (auto [count, total] : bars) EXPECT_EQ(total, 603);
         EXPECT_EQ(bars.empty() ? std::make_pair(0, 0) : bars.back(), std::make_pair(603, 603));
     }},
    {"erase refused: no Y, port closed", [](auto &j) { loader_modem(j), j.answers = "n"; }, {ERASE}, false},
    {"resident loader running", [](auto &j) { j.modem.firmware_running = false; }, {DONE}},
    {"resident loader started by the sequencer", [](auto &) {}, {DONE}, true,
     RESIDENT, [](auto &j) { EXPECT_EQ(j.model->counters().loader_uploads, 0); }},
    {"a long modem name is cut, the port still shows",
     [](auto &j) { j.ini = "modemname=" + std::string(200, 'N') + "\nfilename=modem.hex\natcmd=ATI5\nresponse=V.90\n"; },
     {DONE}, true, {"[wait]", "Found " + std::string(110, 'N') + " on COM3...|*", "[arrow]", PROGRESS, COMPLETED, "[arrow]"}},
    {"resident loader that does not fit", [](auto &j) { loader_modem(j), j.modem.firmware_running = false; },
     {"!INCOMPATIBLE LOAD|IN RRFl and new load has an RRFL checksum mismatch\n\tActual checksum = 9999\n"
      "\tLoad checksum = 1234\nUSE PREVIOUS LOAD !!!"}, false},
    {"a CR LF load's header fits the modem's loader",
     [](auto &j) { j.load = "load_S10.hex", j.modem.type_letter = 'S', j.modem.rrfl_sector = 16, j.modem.rrfl_checksum = 0xBEEF; },
     {DONE}},
    {"CR LF load and loader", [](auto &j) { loader_modem(j), j.load = "load_S10.hex", j.loader = "kivfldr_crlf.hex"; },
     {ERASE, DONE}},
    {"no final line end in either file",
     [](auto &j) { loader_modem(j), j.load = "load_crlf_noeol.hex", j.loader = "kivfldr_noeol.hex"; }, {ERASE, DONE}},
    {"a 96 KB load without header, S3 records", [](auto &j) { j.load = "load_noheader.hex"; }, {ERASE, DONE}},
    {"blank lines and a lone CR in the load, a blank line in the loader", [](auto &j) {
         loader_modem(j);
         j.edit = [](auto &load, auto &loader) {
             load.insert(load.find('\n', 300) + 1, "\n\n")[load.find('\n', 900)] = '\r';
             loader.insert(loader.find('\n', 100) + 1, "\n");
         };
     }, {ERASE, DONE}},
    {"a NUL byte inside a line of each file goes out with it", [](auto &j) {
         loader_modem(j);
         j.edit = [](auto &load, auto &loader) {
             for (std::string *s : {&load, &loader}) s->insert(s->find('\n', 200) + 3, 1, '\0');
         };
     }, {ERASE, DONE}},
    {"0xFF ends the load, in a last line that is no record", [](auto &j) {
         j.edit = [](auto &load, auto &) { load += "end\xFF\nS113" + std::string(36, '0') + "EC\n"; };
     }, {DONE}},
    {"0xFF ends the loader", [](auto &j) { loader_modem(j), j.edit = [](auto &, auto &loader) { loader += "\xFF\n:BAD\n"; }; },
     {ERASE, DONE}},
    {"NOK1 answered Yes: Z, the whole load again", [](auto &j) { j.faults = {"nok:1@rec:5"}; }, {NOK1, DONE}, true,
     {"[wait]", FOUND, "[arrow]", ERASING, "[arrow]", "Programming the Flash|<0%>  Complete.",
      "Programming the Flash|<99%>  Complete.", COMPLETED, "[arrow]"},
     [](auto &j) { EXPECT_EQ(records_after_z(*j.model), lines_of("load_small.hex")); }},
    {"NOK1 answered No", [](auto &j) { j.faults = {"nok:1@rec:5"}, j.answers = "n"; }, {NOK1, ABANDON}, true,
     {"[wait]", FOUND, "[arrow]"}},
    {"NOK4 answered No", [](auto &j) { j.faults = {"nok:4@rec:9"}, j.answers = "n"; }, {NOK4, ABANDON}},
    {"Z answered without the version", [](auto &j) { j.faults = {"nok:1@rec:5", "erasefail@erase:2"}; }, {NOK1, ABANDON}},
    {"NOK4 on the last record, without a line end: the whole load again", [](auto &j) {
         j.faults = {"nok:4@rec:67"}, j.edit = [](auto &load, auto &) { load.pop_back(); };
     }, {NOK4, DONE}, true, {}, [](auto &j) { EXPECT_EQ(records_after_z(*j.model).size(), 67u); }},
    {"NOK3 on the last record, without a line end: resent",
     [](auto &j) { j.faults = {"nok:3@rec:67"}, j.edit = [](auto &load, auto &) { load.pop_back(); }; }, {DONE}},
    {"NOK1 on the last record answered No is no success", [](auto &j) {
         j.faults = {"nok:1@rec:67"}, j.answers = "n", j.edit = [](auto &load, auto &) { load.pop_back(); };
     }, {NOK1, ABANDON}},
    {"three time-outs, then NOK3 until the shared resends run out", [](auto &j) {
         j.faults = {"noreply@rec:5", "noreply@rec:6", "noreply@rec:7", "nok:3@rec:8", "nok:3@rec:9", "nok:3@rec:10", "nok:3@rec:11"};
     }, {"!Flash Error|Modem reports solid Checksum Failure."}},
    {"six NOKs are resent", [](auto &j) {
         for (int r = 5; r <= 10; ++r) j.faults.push_back("nok:2@rec:" + std::to_string(r));
     }, {DONE}},
    {"seven time-outs are resent", [](auto &j) {
         for (int r = 5; r <= 11; ++r) j.faults.push_back("noreply@rec:" + std::to_string(r));
     }, {DONE}},
    {"the eighth time-out ends the job", [](auto &j) {
         for (int r = 5; r <= 12; ++r) j.faults.push_back("noreply@rec:" + std::to_string(r));
     }, {SILENT}, true, {"[wait]", FOUND, "[arrow]"}},
    {"a load that is no S-record file", [](auto &j) {
         loader_modem(j), j.edit = [](auto &load, auto &) { load = std::string(200, 'x') + "\n" + std::string(9, 'y'); };
     }, {ERASE, NO_RECORDS}},
    {"an empty load", [](auto &j) { loader_modem(j), j.edit = [](auto &load, auto &) { load.clear(); }; }, {ERASE, NO_RECORDS}},
    {"checksum command confirmed", [](auto &j) {
         j.modem.checksum_cmd = "AT&&FCS", j.modem.checksum_reply = "CS=1234", j.ini += "atchecksum=AT&&FCS\nchecksumresponse=CS=1234\n";
     }, {DONE}},
    {"checksum command not confirmed", [](auto &j) {
         j.modem.checksum_cmd = "AT&&FCS", j.modem.checksum_reply = "CS=9999", j.ini += "atchecksum=AT&&FCS\nchecksumresponse=CS=1234\n";
     }, {"    Try again...|Flash Programming Failed."}, true,
     {"[wait]", FOUND, "[arrow]", PROGRESS, "Programming Failed|", "[arrow]"}},
    {"checksum command with an empty expected response", [](auto &j) {
         j.modem.checksum_cmd = "AT&&FCS", j.modem.checksum_reply = "CS=9999", j.ini += "atchecksum=AT&&FCS\n";
     }, {DONE}},
    {"NoPopUps", [](auto &j) { j.ini += "NoPopUps=yes\n"; }, {}, true, RESIDENT},
    {"a write failing four times, then going through",
     [](auto &j) { j.each_step = once(in_state(7, 3), [] { fake::pc().write_takes.assign(4, -1); }); }, {DONE}},
    {"a write failing five times", [](auto &j) { j.each_step = once(in_state(7, 3), [] { fake::pc().write_takes.assign(5, -1); }); },
     {"!Solid CommError|Failed to write line to Modem"}},
    {"a record the line takes nothing of: no error, its reply awaited 180 s, then resent",
     [](auto &j) { j.each_step = once(in_state(7, 3), [] { fake::pc().write_takes.assign(10, 0); }); }, {DONE}, true, {},
     [](auto &j) {
         std::vector<long> at;
         records_after_z(*j.model, &at);
         EXPECT_GT(at.at(3) - at.at(2), 180000);
     }},
    {"a load line too long to send",
     [](auto &j) { j.edit = [](auto &load, auto &) { load.insert(load.find("\nS1", 200), 521, '0'); }; },
     {"!Load File Error|Line 4 of the load file\nmodem.hex\nis longer than 521 characters.\nThe file is damaged or is not "
      "an S-record file; the job was stopped before that line was sent."},
     true, {}, [](auto &j) { EXPECT_EQ(j.model->counters().records, 3); }},
    {"the longest loader line goes out whole, a longer one is refused", [](auto &j) {
         loader_modem(j);
         j.edit = [](auto &, auto &loader) { // 255 bytes of data: 521 characters; then one more
             loader = ":FF000000" + std::string(510, '0') + "01\n:FF000000" + std::string(511, '0') + "01\n" + loader;
         };
     }, {ERASE, "!Loader File Error|Line 2 of kivfldr.hex is longer than 521 characters.\nThe file is damaged or is not an "
                "Intel hex file; the download was stopped before that line was sent."},
     true, {}, [](auto &j) { EXPECT_EQ(j.model->transcript().back().text.size(), 5u + 521); }},
    {"no loader file", [](auto &j) { loader_modem(j), j.loader = ""; }, {ERASE, "!ERROR|Flash file open failed - kivfldr.hex"}},
    {"no thread for the loader", [](auto &j) { loader_modem(j), j.setup = [] { fake::pc().thread_fails = true; }; }, {ERASE}},
    {"a resident loader of another version", [](auto &j) { j.modem.rrfl_version = "1.3"; },
     {"!Exit...|Version mismatch (Ver:1.4) with RRFL"}},
    {"an uploaded loader of another version", [](auto &j) { loader_modem(j), j.modem.loader_version = "1.3"; },
     {ERASE, MISMATCH + "1.3\r\n\r\nOK\r\n"}},
    {"a long reply without the version is cut to the box",
     [](auto &j) { loader_modem(j), j.modem.loader_version = std::string(300, 'v'); },
     {ERASE, (MISMATCH + std::string(300, 'v')).substr(0, 9 + 255)}},
    {"no OK to the resident loader's start", [](auto &j) { j.faults = {"noreply@on=AT&&FGO"}; }, {SILENT}},
    {"a silent loader upload", [](auto &j) { loader_modem(j), j.faults = {"noreply@on=at&&f:"}; }, {ERASE, SILENT}},
    {"the named load file missing", [](auto &j) { j.load = ""; }, {"!File Open Error...|File open failed "}, false},
    {"the load cannot be opened again",
     [](auto &j) { j.each_step = once(in_state(6), [&j] { std::filesystem::remove(j.folder + "/modem.hex"); }); },
     {"!File Open Error...|Flash file open failed "}},
    {"no settings, the dialog cancelled", [](auto &j) { j.ini = ""; }, {}, false},
    {"no settings: the load picked in the dialog, the modem found on COM1 counting down", [](auto &j) {
         j.ini = "", j.com = 1;
         j.setup = [&j] {
             fake::pc().ports[2] = nullptr; // COM2 opens, nothing answers
             fake::pc().dialog = [&j](plat_open_file *req) {
                 return std::snprintf(req->file, req->max_file, "%s/modem.hex", j.folder.c_str()), 1;
             };
         };
     }, {DONE}, true, {"[wait]", "[wait]", "Found Modem on COM1.|Erasing: Please be Patient...", "[arrow]", PROGRESS, COMPLETED, "[arrow]"},
     [](auto &j) { EXPECT_EQ(std::string(download_path), j.folder + "/modem.hex"); }},
    {"no command line: the search starts at COM255", [](auto &j) { j.cmdline = "", j.com = 255; }, {DONE}},
    {"nothing answers on COM2 and COM1", [](auto &j) {
         j.com = 0, j.cmdline = "2", j.setup = [] { fake::pc().ports = {{1, nullptr}, {2, nullptr}}; };
     }, {SILENT}, false, {},
     [](auto &) { EXPECT_TRUE(traced({"Flash Trying Comm 2 ", "Flash Trying Comm 1 ", "FLASH: Flash Open Comm Failed"})); }},
    {"a reply that holds none of the settings' responses",
     [](auto &j) { j.ini = "modemname=M\nfilename=modem.hex\natcmd=ATI5\nresponse=CONNECT^RING\n"; }, {SILENT}, false},
    {"close confirmed during the loader upload", [](auto &j) {
         loader_modem(j), hold_loader(j, [] { return loader_stop.load() != 0; }), j.each_step = once(uploading, on_close_request);
     }, {ERASE, KILL}, true, {}, [](auto &j) { EXPECT_EQ(j.model->counters().loader_uploads, 0); }},
    {"close confirmed in state 6", [](auto &j) { j.each_step = once(in_state(6), on_close_request); }, {KILL}},
    {"close confirmed in state 7", [](auto &j) { j.each_step = once(in_state(7, 3), on_close_request); }, {KILL}},
    {"close confirmed in state 8", [](auto &j) { j.each_step = once(in_state(8, 3), on_close_request); }, {KILL}},
    {"close refused in states 4, 6, 7 and 8", [](auto &j) {
         loader_modem(j), j.answers = "ynnnn";
         auto answered = std::make_shared<std::atomic<bool>>(false);
         hold_loader(j, [answered] { return answered->load(); });
         auto c4 = once(uploading, [answered] { on_close_request(), *answered = true; });
         auto c6 = once(in_state(6), on_close_request), c7 = once(in_state(7, 3), on_close_request);
         auto c8 = once(in_state(8, 5), on_close_request);
         j.each_step = [=] { c4(), c6(), c7(), c8(); };
     }, {ERASE, KILL, KILL, KILL, KILL, DONE}},
    {"close outside the flashing states", [](auto &j) { j.each_step = once(in_state(3), on_close_request); }, {}, false},
};

bool matches(const Strings &got, const Strings &want) {
    bool same = got.size() == want.size();
    for (size_t i = 0; same && i < got.size(); ++i)
        same = want[i].back() == '*' ? got[i].rfind(want[i].substr(0, want[i].size() - 1), 0) == 0 : got[i] == want[i];
    return same;
}

class Jobs : public ::testing::TestWithParam<Row> {};

TEST_P(Jobs, EndAsTheyShould) {
    const Row &row = GetParam();
    fake::Job job;
    row.setup(job);
    size_t files = open_files();
    ASSERT_TRUE(fake::run(job)) << "the window was not destroyed";
    const fake::Machine &m = fake::pc();
    EXPECT_EQ(m.boxes, row.boxes);
    EXPECT_EQ(m.open_ports(), 0);
    EXPECT_EQ(hComm, nullptr);
    EXPECT_EQ(open_files(), files) << "a file was left open";
    std::string y = m.line.find('Y') == std::string::npos ? "no Y" : m.line.back() == 'Y' ? "Y last" : "Y not last";
    EXPECT_EQ(y, row.y ? "Y last" : "no Y");
    bool framed = m.debug.size() % 3 == 0; // each trace between two line feeds
    for (size_t i = 0; framed && i < m.debug.size(); i += 3) framed = m.debug[i] == "\n" && m.debug[i + 2] == "\n";
    EXPECT_TRUE(framed);
    EXPECT_TRUE(row.screens.empty() || matches(m.screens, row.screens)) << ::testing::PrintToString(m.screens);
    EXPECT_TRUE(m.boxes.empty() || m.boxes.back() != DONE || std::string(status_line2) == "<100%>  Complete.");
    if (std::string(status_line1) == "Programming Completed") {
        std::string bin = fake::read_file(fake::testdata(job.load.substr(0, job.load.size() - 4) + ".bin"));
        std::vector<uint8_t> want(bin.begin(), bin.end());
        want.resize(job.model->flash().size(), 0xFF);
        EXPECT_TRUE(job.model->flash() == want) << "the modem's flash is not the load";
    }
    if (row.more) row.more(job);
}

INSTANTIATE_TEST_SUITE_P(, Jobs, ::testing::ValuesIn(rows), [](const auto &info) {
    std::string n;
    for (const char *c = info.param.name; *c; ++c) n += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return n;
});

} // namespace
