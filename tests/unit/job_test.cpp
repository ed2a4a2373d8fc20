// Whole jobs against the modem model, one row each: the modem's set-up and
// faults, the files, the answers; then the boxes (caption and text, "?" for
// a question, "!" for a warning), "Y" last on the line, the port closed, no
// file left open, and whenever success is reported, the modem's flash equal
// to srec_cat's binary of the load.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/app.h"
#include "fake/fake.h"
#include "flash/flash.h"
#include "link/link.h"

namespace {

using Boxes = std::vector<std::string>;
const std::string ERASE = "?MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash";
const std::string DONE = "    All Done...|Flash Programming Completed";
const std::string NOK1 = "?You May Have Cooked the Flash Chip!|Chip Failed to Erase Properly\nWould you like to Retry.";
const std::string NOK4 = "?You May Have Cooked the Flash Chip!|Chip Failed to Program Properly\nWould you like to Retry.";
const std::string KILL = "?You May Have Cooked the Flash Chip!|Are you Sure you want to Kill the Flash Loader?";
const std::string ABANDON = "!Flash Error|Abandon Chip!!";
const std::string SILENT = "!Error...|Modem is not responding.\nPlease try again later.";
const std::string NO_RECORDS = "!Flash Error|The load file holds no S-records: nothing was programmed.";

sim::Fault fault(const std::string &text) {
    sim::Fault f;
    std::string err;
    EXPECT_TRUE(sim::parse_fault(text, false, &f, &err)) << err;
    return f;
}

size_t open_files() {
    auto it = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

// The file in the job's folder, changed by `edit`.
void edit(fake::Job &job, const char *name, std::function<void(std::string &)> edit) {
    std::string path = job.folder + "/" + name, text = fake::read_file(path);
    edit(text);
    fake::write_file(path, text);
}

// Asks to close the window once, before the first step that finds `when`
// true; `done` is set once the question has been answered.
std::function<void()> close_when(std::function<bool()> when, std::shared_ptr<std::atomic<bool>> done = {}) {
    auto asked = std::make_shared<bool>(false);
    return [=] {
        if (!*asked && when()) {
            *asked = true;
            on_close_request();
            if (done) *done = true;
        }
    };
}

// Holds the loader thread before its 101st line until `go` says so, so that
// a close is asked while it uploads.
void hold_loader(fake::Job &j, std::function<bool()> go) {
    j.setup = [go] {
        fake::pc().on_write = [go] {
            for (int i = 0; i < 100000 && loader_lines_sent.load() == 100 && !go(); ++i)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        };
    };
}
bool uploading() { return flash_state == 4 && loader_lines_sent.load() == 100; }

// The lines the flash loader got after the last 'Z'.
std::vector<std::string> records_after_z(const sim::Modem &m) {
    std::vector<std::string> out;
    for (auto &t : m.transcript()) {
        if (t.single_char && t.text == "Z") out.clear();
        if (t.mode == sim::Mode::FlashLoader && !t.single_char) out.push_back(t.text);
    }
    return out;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out(1);
    for (char c : text)
        if (c == '\n')
            out.emplace_back();
        else if (c != '\r')
            out.back() += c;
    if (out.back().empty()) out.pop_back();
    return out;
}

struct Row {
    const char *name;
    std::function<void(fake::Job &)> setup;
    Boxes boxes;
    bool y = true; // the port was open at the end: "Y" is the last byte written
    std::function<void(fake::Job &)> more = {};
};

void loader_modem(fake::Job &j) { j.modem.rrfl_checksum = 0x9999; } // its resident loader does not fit the load
std::function<void(fake::Job &)> faults(std::vector<std::string> texts) {
    return [=](fake::Job &j) {
        for (auto &t : texts) j.modem.faults.push_back(fault(t));
    };
}

const Row rows[] = {
    {"loader path: the erase question, the 603-line upload", [](auto &j) { loader_modem(j); j.load = "load_I40.hex"; },
     {ERASE, DONE}, true, [](auto &j) {
         EXPECT_EQ(j.model->counters().loader_records, 603);
         EXPECT_EQ(j.model->counters().loader_uploads, 1);
     }},
    {"erase refused: no Y, port closed", [](auto &j) { loader_modem(j); j.answers = "n"; }, {ERASE}, false},
    {"resident loader running", [](auto &j) { j.modem.firmware_running = false; }, {DONE}},
    {"resident loader started by the sequencer", [](auto &) {}, {DONE}, true,
     [](auto &j) { EXPECT_EQ(j.model->counters().loader_uploads, 0); }},
    {"resident loader that does not fit",
     [](auto &j) {
         loader_modem(j);
         j.modem.firmware_running = false;
     },
     {"!INCOMPATIBLE LOAD|IN RRFl and new load has an RRFL checksum mismatch\n\tActual checksum = 9999\n"
      "\tLoad checksum = 1234\nUSE PREVIOUS LOAD !!!"},
     false},
    {"a CR LF load's header fits the modem's loader",
     [](auto &j) {
         j.load = "load_S10.hex";
         j.modem.type_letter = 'S';
         j.modem.rrfl_sector = 16;
         j.modem.rrfl_checksum = 0xBEEF;
     },
     {DONE}},
    {"CR LF load and loader", [](auto &j) { loader_modem(j); j.load = "load_S10.hex"; j.loader = "kivfldr_crlf.hex"; },
     {ERASE, DONE}},
    {"no final line end in either file",
     [](auto &j) { loader_modem(j); j.load = "load_crlf_noeol.hex"; j.loader = "kivfldr_noeol.hex"; }, {ERASE, DONE}},
    {"a load without header, S3 records", [](auto &j) { j.load = "load_noheader.hex"; }, {ERASE, DONE}},
    {"blank lines in both files are sent and not awaited",
     [](auto &j) {
         loader_modem(j);
         j.setup = [&j] {
             edit(j, "modem.hex", [](std::string &s) { s.insert(s.find('\n', 300) + 1, "\n\n"); });
             edit(j, "kivfldr.hex", [](std::string &s) { s.insert(s.find('\n', 100) + 1, "\n"); });
         };
     },
     {ERASE, DONE}},
    {"NOK1 answered Yes: Z, the whole load again", faults({"nok:1@rec:5"}), {NOK1, DONE}, true,
     [](auto &j) {
         EXPECT_EQ(records_after_z(*j.model), lines_of(fake::read_file(fake::testdata("load_small.hex"))));
     }},
    {"NOK1 answered No", [](auto &j) { faults({"nok:1@rec:5"})(j); j.answers = "n"; }, {NOK1, ABANDON}},
    {"NOK4 answered Yes", faults({"nok:4@rec:9"}), {NOK4, DONE}},
    {"NOK4 answered No", [](auto &j) { faults({"nok:4@rec:9"})(j); j.answers = "n"; }, {NOK4, ABANDON}},
    {"Z answered without the version", faults({"nok:1@rec:5", "erasefail@erase:2"}), {NOK1, ABANDON}},
    {"NOK4 on the last record, without a line end: the whole load again",
     [](auto &j) {
         faults({"nok:4@rec:67"})(j);
         j.setup = [&j] { edit(j, "modem.hex", [](std::string &s) { s.pop_back(); }); };
     },
     {NOK4, DONE}, true, [](auto &j) { EXPECT_EQ(records_after_z(*j.model).size(), 67u); }},
    {"NOK3 on the last record, without a line end: resent",
     [](auto &j) {
         faults({"nok:3@rec:67"})(j);
         j.setup = [&j] { edit(j, "modem.hex", [](std::string &s) { s.pop_back(); }); };
     },
     {DONE}},
    {"NOK1 on the last record answered No is no success",
     [](auto &j) {
         faults({"nok:1@rec:67"})(j);
         j.answers = "n";
         j.setup = [&j] { edit(j, "modem.hex", [](std::string &s) { s.pop_back(); }); };
     },
     {NOK1, ABANDON}},
    {"three time-outs, then NOK3 until the shared resends run out",
     faults({"noreply@rec:5", "noreply@rec:6", "noreply@rec:7", "nok:3@rec:8", "nok:3@rec:9", "nok:3@rec:10",
             "nok:3@rec:11"}),
     {"!Flash Error|Modem reports solid Checksum Failure."}},
    {"NOK2 six times, then OK", faults({"nok:2@rec:5", "nok:2@rec:6", "nok:2@rec:7", "nok:2@rec:8", "nok:2@rec:9",
                                        "nok:2@rec:10"}),
     {DONE}},
    {"seven time-outs resent, the eighth ends the job",
     faults({"noreply@rec:5", "noreply@rec:6", "noreply@rec:7", "noreply@rec:8", "noreply@rec:9", "noreply@rec:10",
             "noreply@rec:11", "noreply@rec:12"}),
     {SILENT}},
    {"a load that is no S-record file", [](auto &j) {
         loader_modem(j);
         j.setup = [&j] { fake::write_file(j.folder + "/modem.hex", std::string(200, 'x') + "\n" + std::string(9, 'y')); };
     },
     {ERASE, NO_RECORDS}},
    {"an empty load", [](auto &j) { loader_modem(j); j.setup = [&j] { fake::write_file(j.folder + "/modem.hex", ""); }; },
     {ERASE, NO_RECORDS}},
    {"checksum command confirmed",
     [](auto &j) {
         j.modem.checksum_cmd = "AT&&FCS";
         j.modem.checksum_reply = "CS=1234";
         j.ini += "atchecksum=AT&&FCS\nchecksumresponse=CS=1234\n";
     },
     {DONE}},
    {"checksum command not confirmed",
     [](auto &j) {
         j.modem.checksum_cmd = "AT&&FCS";
         j.modem.checksum_reply = "CS=9999";
         j.ini += "atchecksum=AT&&FCS\nchecksumresponse=CS=1234\n";
     },
     {"    Try again...|Flash Programming Failed."}, true, [](auto &) { EXPECT_STREQ(status_line1, "Programming Failed"); }},
    {"checksum command with an empty expected response",
     [](auto &j) {
         j.modem.checksum_cmd = "AT&&FCS";
         j.modem.checksum_reply = "CS=9999";
         j.ini += "atchecksum=AT&&FCS\n";
     },
     {DONE}},
    {"NoPopUps", [](auto &j) { j.ini += "NoPopUps=yes\n"; }, {}, true,
     [](auto &) { EXPECT_EQ(fake::pc().screens.back().rfind("Programming Completed|Time Elapsed 0 Min ", 0), 0u); }},
    {"SkipFlush", [](auto &j) { j.ini += "SkipFlush=yes\n"; }, {DONE}},
    {"a write failing four times, then going through",
     [](auto &j) {
         j.each_step = [] {
             if (flash_state == 7 && records_sent == 3) fake::pc().write_takes.assign(4, -1);
         };
     },
     {DONE}},
    {"a write failing five times", [](auto &j) {
         j.each_step = [] {
             if (flash_state == 7 && records_sent == 3) fake::pc().write_takes.assign(5, -1);
         };
     },
     {"!Solid CommError|Failed to write line to Modem"}},
    {"a load line too long to send",
     [](auto &j) { j.setup = [&j] { edit(j, "modem.hex", [](std::string &s) { s.insert(s.find("\nS1", 200), 521, '0'); }); }; },
     {"!Load File Error|Line 4 of the load file\nmodem.hex\nis longer than 521 characters.\nThe file is damaged or is not "
      "an S-record file; the job was stopped before that line was sent."},
     true, [](auto &j) { EXPECT_EQ(j.model->counters().records, 3); }},
    {"a loader line too long to send",
     [](auto &j) {
         loader_modem(j);
         j.setup = [&j] { edit(j, "kivfldr.hex", [](std::string &s) { s.insert(s.find('\n'), 507, '0'); }); };
     },
     {ERASE, "!Loader File Error|Line 1 of kivfldr.hex is longer than 521 characters.\nThe file is damaged or is not an "
             "Intel hex file; the download was stopped before that line was sent."},
     true, [](auto &j) { EXPECT_EQ(j.model->counters().loader_records, 0); }},
    {"no loader file", [](auto &j) { loader_modem(j); j.loader = ""; },
     {ERASE, "!ERROR|Flash file open failed - kivfldr.hex"}},
    {"a resident loader of another version", [](auto &j) { j.modem.rrfl_version = "1.3"; },
     {"!Exit...|Version mismatch (Ver:1.4) with RRFL"}},
    {"an uploaded loader of another version", [](auto &j) { loader_modem(j); j.modem.loader_version = "1.3"; },
     {ERASE, "!Exit...|Version mismatch (Ver:1.4) with kivfldr.hex; received at&&f:00000001FF\r\r\nQuillmarch Flash "
             "Loader Ver:1.3\r\n\r\nOK\r\n"}},
    {"no OK to the resident loader's start", faults({"noreply@on=AT&&FGO"}), {SILENT}},
    {"a silent loader upload", [](auto &j) { loader_modem(j); faults({"noreply@on=at&&f:"})(j); }, {ERASE, SILENT}},
    {"the named load file missing", [](auto &j) { j.load = ""; }, {"!File Open Error...|File open failed "}, false},
    {"no settings, the dialog cancelled", [](auto &j) { j.ini = ""; }, {}, false},
    {"no settings: the load picked in the dialog, the modem found on COM1 counting down",
     [](auto &j) {
         j.ini = "";
         j.com = 1;
         j.setup = [&j] {
             fake::pc().ports[2] = nullptr; // COM2 opens, nothing answers
             fake::pc().dialog = [&j](plat_open_file *req) {
                 std::snprintf(req->file, req->max_file, "%s/modem.hex", j.folder.c_str());
                 return 1;
             };
         };
     },
     {DONE}, true, [](auto &j) { EXPECT_EQ(std::string(download_path), j.folder + "/modem.hex"); }},
    {"nothing answers on COM2 and COM1", [](auto &j) {
         j.com = 0;
         j.cmdline = "2";
         j.setup = [] { fake::pc().ports = {{1, nullptr}, {2, nullptr}}; };
     },
     {SILENT}, false},
    {"a reply that holds none of the settings' responses",
     [](auto &j) { j.ini = "modemname=M\nfilename=modem.hex\natcmd=ATI5\nresponse=CONNECT^RING\n"; }, {SILENT}, false},
    {"close confirmed during the loader upload",
     [](auto &j) {
         loader_modem(j);
         hold_loader(j, [] { return loader_stop.load() != 0; });
         j.each_step = close_when(uploading);
     },
     {ERASE, KILL}, true, [](auto &j) { EXPECT_EQ(j.model->counters().loader_uploads, 0); }},
    {"close confirmed in state 6", [](auto &j) { j.each_step = close_when([] { return flash_state == 6; }); }, {KILL}},
    {"close confirmed in state 7",
     [](auto &j) { j.each_step = close_when([] { return flash_state == 7 && records_sent == 3; }); }, {KILL}},
    {"close confirmed in state 8",
     [](auto &j) { j.each_step = close_when([] { return flash_state == 8 && records_sent == 3; }); }, {KILL}},
    {"close refused in states 4, 6, 7 and 8",
     [](auto &j) {
         loader_modem(j);
         j.answers = "ynnnn";
         auto answered = std::make_shared<std::atomic<bool>>(false);
         hold_loader(j, [answered] { return answered->load(); });
         auto c4 = close_when(uploading, answered);
         auto c6 = close_when([] { return flash_state == 6; });
         auto c7 = close_when([] { return flash_state == 7 && records_sent == 3; });
         auto c8 = close_when([] { return flash_state == 8 && records_sent == 5; });
         j.each_step = [=] { c4(), c6(), c7(), c8(); };
     },
     {ERASE, KILL, KILL, KILL, KILL, DONE}},
    {"close outside the flashing states", [](auto &j) { j.each_step = close_when([] { return flash_state == 3; }); },
     {}, false},
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

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
    if (row.y) {
        ASSERT_FALSE(m.line.empty());
        EXPECT_EQ(m.line.back(), 'Y');
    } else {
        EXPECT_EQ(m.line.find('Y'), std::string::npos);
    }
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
