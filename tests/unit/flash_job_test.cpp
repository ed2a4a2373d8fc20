// Whole jobs on the fake machine against the modem model: the states passed
// through, every box, the traces, and what the modem's flash holds at the end.
#include <algorithm>

#include "flash_fixture.h"

namespace {

using FlashJob = flashtest::Job;
using V = std::vector<int>;
using S = std::vector<std::string>;

const std::string ALL_DONE = "    All Done...|Flash Programming Completed";
const std::string ERASE_QUESTION = "MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash";

std::vector<std::string> records_of(const std::string &text) {
    std::vector<std::string> out;
    std::string line;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            out.push_back(line);
            line.clear();
        } else
            line += c;
    }
    if (!line.empty()) out.push_back(line);
    return out;
}

// The records the modem's flash loader received, in order (without the
// empty "at&&f" that follows a loader file ending with a line end).
S loader_lines(const sim::Modem &m) {
    S out;
    for (auto &t : m.transcript())
        if (t.mode == sim::Mode::FlashLoader && !t.single_char && t.text != "at&&f") out.push_back(t.text);
    return out;
}

TEST_F(FlashJob, LoaderPathFromTheEraseQuestionToCompletion) {
    auto c = config();
    c.rrfl_checksum = 0x9999; // the modem's resident loader does not fit the load
    make_modem(c);
    files("load_I40.hex");

    // The bar's numbers as the window would paint them, by state.
    std::vector<std::pair<int32_t, int32_t>> bar4, bar78;
    V path = run([&] {
        int32_t count, total;
        if (bar_numbers(flash_state, &count, &total)) (flash_state == 4 ? bar4 : bar78).push_back({count, total});
    });

    EXPECT_EQ(path, (V{0, 2, 3, 5, 4, 6, 7, 8, 12, 13, 14}));
    EXPECT_EQ(box_list(), (S{ERASE_QUESTION, ALL_DONE}));
    expect_flash_is_load();
    EXPECT_EQ(modem->m.counters().loader_records, 603);
    EXPECT_EQ(modem->m.counters().loader_uploads, 1);
    EXPECT_EQ(transmitted(), std::vector<char>{'Y'});
    EXPECT_EQ(hComm, nullptr);
    EXPECT_EQ(fake::state().open_handles, 0);
    EXPECT_STREQ(status_line1, "Programming Completed");
    EXPECT_STREQ(status_line2, "<100%>  Complete.");

    // Every record of the load went out once, in order.
    EXPECT_EQ(loader_lines(modem->m), records_of(read_file(testdata("load_I40.hex"))));

    std::vector<std::string> t = flash_traces();
    auto at = [&](const std::string &s) { return std::find(t.begin(), t.end(), s) - t.begin(); };
    EXPECT_EQ(t.front(), "FLASH: Flash init state");
    EXPECT_LT(at("Flash Trying Comm 3 "), at("Flash Open Comm Success on Com3 "));
    EXPECT_LT(at("Flash Open Comm Success on Com3 "), at("FLASH: Flash loader code download success"));
    EXPECT_LT(at("FLASH: Flash loader code download success"), at("FLASH: Dnld successful"));
    EXPECT_EQ(count_traced("flash_download_loader calls ReDraw()"), 31);
    EXPECT_EQ(count_traced("FLASH: Got EOF"), 1);
    EXPECT_EQ(t[t.size() - 3], "FLASH: Flash Destroy Window");
    EXPECT_EQ(t.back(), "FLASH: NULL");

    // The bar: loader lines of 603 in state 4, bytes of the file in 7 and 8.
    // (The GUI may not get to look while the thread runs: no count is required.)
    for (size_t i = 0; i < bar4.size(); ++i) {
        EXPECT_EQ(bar4[i].second, 603);
        if (i) {
            EXPECT_GE(bar4[i].first, bar4[i - 1].first);
        }
    }
    EXPECT_EQ(loader_lines_sent.load(), 603);
    ASSERT_FALSE(bar78.empty());
    for (size_t i = 1; i < bar78.size(); ++i) EXPECT_GE(bar78[i].first, bar78[i - 1].first);
    for (auto &b : bar78) EXPECT_EQ(b.second, load_file_size);
    EXPECT_EQ(bar78.back().first, load_file_size); // an LF file: every character acknowledged

    // Repaints from the loader thread carry its counters.
    int from_worker = 0;
    for (auto &r : fake::state().redraws)
        if (r.from_worker) {
            ++from_worker;
            EXPECT_EQ(r.total, 603);
        }
    EXPECT_EQ(from_worker, 31);

    // The progress texts and their percentages of what was acknowledged.
    S progress;
    for (auto &r : fake::state().redraws)
        if (r.line1 == "Programming the Flash") {
            EXPECT_EQ(r.state, 7);
            char want[32];
            std::snprintf(want, sizeof want, "<%d%%>  Complete.", int(int64_t(r.count) * 100 / r.total));
            EXPECT_EQ(r.line2, want);
            progress.push_back(r.line2);
        }
    EXPECT_EQ(progress.size(), 32u); // records 7, 71, ..., 1991 of 2051 lines
    EXPECT_EQ(progress.front(), "<0%>  Complete.");
    EXPECT_EQ(progress.back(), "<97%>  Complete.");
}

TEST_F(FlashJob, ResidentLoaderAlreadyRunningResult2) {
    auto c = config();
    c.firmware_running = false;
    make_modem(c);
    files("load_small.hex", "");
    V path = run();
    EXPECT_EQ(path, (V{0, 2, 3, 10, 6, 7, 8, 12, 13, 14}));
    EXPECT_EQ(box_list(), S{ALL_DONE});
    expect_flash_is_load();
    EXPECT_FALSE(traced("FLASH: entering RRFL"));
    EXPECT_EQ(transmitted(), std::vector<char>{'Y'});
}

TEST_F(FlashJob, ResidentLoaderStartedByTheSequencerResult4) {
    make_modem(config());
    files("load_small.hex", "");
    V path = run();
    EXPECT_EQ(path, (V{0, 2, 3, 10, 6, 7, 8, 12, 13, 14}));
    EXPECT_TRUE(traced("FLASH: entering RRFL"));
    EXPECT_EQ(box_list(), S{ALL_DONE});
    expect_flash_is_load();
}

TEST_F(FlashJob, CrLfFilesAndMissingFinalLineEnds) {
    for (auto [load, loader] : {std::pair<const char *, const char *>{"load_S10.hex", "kivfldr_crlf.hex"},
                                {"load_crlf_noeol.hex", "kivfldr_noeol.hex"}}) {
        SCOPED_TRACE(load);
        TearDown();
        SetUp();
        steps.clear();
        auto c = config();
        c.rrfl_checksum = 0x9999;
        make_modem(c);
        files(load, loader);
        V path = run();
        EXPECT_EQ(path, (V{0, 2, 3, 5, 4, 6, 7, 8, 12, 13, 14}));
        EXPECT_EQ(box_list(), (S{ERASE_QUESTION, ALL_DONE}));
        // One CR per line: the modem saw exactly the file's lines.
        EXPECT_EQ(loader_lines(modem->m), records_of(read_file(testdata(load))));
        EXPECT_EQ(modem->m.counters().nok[2] + modem->m.counters().nok[3], 0);
        if (std::string(load) == "load_S10.hex") {
            expect_flash_is_load();
        } else {
            load_name = "load_I40.hex"; // the same image
            expect_flash_is_load();
        }
    }
}

TEST_F(FlashJob, BlankLinesInBothFilesAreSentAndNotAwaited) {
    std::string loader = read_file(testdata("kivfldr.hex"));
    loader.insert(loader.find('\n', 100) + 1, "\n");
    std::string load = read_file(testdata("load_small.hex"));
    load.insert(load.find('\n', 300) + 1, "\n\n");
    auto c = config();
    c.rrfl_checksum = 0x9999;
    make_modem(c);
    files("load_small.hex");
    write_file("kivfldr.hex", loader);
    write_file("modem.hex", load);
    V path = run();
    EXPECT_EQ(path, (V{0, 2, 3, 5, 4, 6, 7, 8, 12, 13, 14}));
    EXPECT_EQ(box_list(), (S{ERASE_QUESTION, ALL_DONE}));
    EXPECT_EQ(count_traced("FLASH: No colon!"), 2);
    EXPECT_EQ(count_traced("FLASH: Timeout Resend"), 0);
    expect_flash_is_load();
}

// A fault on the load's records (counted from the first record of the job,
// resends included).
sim::Fault fault(const std::string &text) {
    sim::Fault f;
    std::string err;
    EXPECT_TRUE(sim::parse_fault(text, false, &f, &err)) << err;
    return f;
}

// A resident-loader job whose load's last line has no line end, and whose
// modem answers that last record with `nok` (e.g. "nok:3"); returns the
// records of the load.
S last_record_answered(FlashJob &job, const std::string &nok) {
    std::string load = job.read_file(job.testdata("load_small.hex"));
    load.pop_back();
    S lines = records_of(load);
    auto c = job.config();
    c.faults = {fault(nok + "@rec:" + std::to_string(lines.size()))};
    job.make_modem(c);
    job.files("load_small.hex", "");
    job.write_file("modem.hex", load);
    return lines;
}

TEST_F(FlashJob, Nok1AnsweredYesRestartsFromTheFirstRecordAndSendsTheWholeLoad) {
    auto c = config();
    c.faults = {fault("nok:1@rec:5")};
    make_modem(c);
    files("load_small.hex", "");
    V path = run();
    EXPECT_EQ(path, (V{0, 2, 3, 10, 6, 7, 8, 6, 7, 8, 12, 13, 14}));
    EXPECT_EQ(box_list(), (S{"You May Have Cooked the Flash Chip!|Chip Failed to Erase Properly\nWould you like to Retry.",
                             ALL_DONE}));
    EXPECT_EQ(transmitted(), (std::vector<char>{'Z', 'Y'}));
    expect_flash_is_load();
    auto lines = records_of(read_file(testdata("load_small.hex")));
    EXPECT_EQ(records_sent, static_cast<int32_t>(5 + lines.size() + 1)); // never reset
    S sent = loader_lines(modem->m);
    EXPECT_EQ(S(sent.begin() + 5, sent.end()), lines);
}

TEST_F(FlashJob, Nok4OnTheLastRecordRestartsAndIsNotReportedAsSuccess) {
    // The last line has no line end: its reply is awaited like any other.
    S lines = last_record_answered(*this, "nok:4");
    V path = run();
    EXPECT_EQ(path, (V{0, 2, 3, 10, 6, 7, 8, 6, 7, 8, 12, 13, 14}));
    EXPECT_EQ(box_list(),
              (S{"You May Have Cooked the Flash Chip!|Chip Failed to Program Properly\nWould you like to Retry.",
                 ALL_DONE}));
    EXPECT_EQ(loader_lines(modem->m).size(), 2 * lines.size());
    expect_flash_is_load();
}

TEST_F(FlashJob, ANokOnTheLastRecordWithoutLineEndIsResentThenCompletes) {
    size_t n = last_record_answered(*this, "nok:3").size();
    run();
    EXPECT_EQ(box_list(), S{ALL_DONE});
    EXPECT_EQ(modem->m.counters().nok[3], 1);
    EXPECT_EQ(loader_lines(modem->m).size(), n + 1);
    EXPECT_EQ(count_traced("FLASH: Checksum Failure"), 1);
    expect_flash_is_load();
}

TEST_F(FlashJob, ANokOnTheLastRecordAnsweredNoEndsInFailure) {
    last_record_answered(*this, "nok:1");
    fake::state().answer = [](const fake::Box &b) { return (b.flags & 0xF) == PLAT_MB_YESNO ? int(PLAT_IDNO) : 1; };
    V path = run();
    EXPECT_EQ(path, (V{0, 2, 3, 10, 6, 7, 8, 11, 13, 14}));
    EXPECT_EQ(box_list(), (S{"You May Have Cooked the Flash Chip!|Chip Failed to Erase Properly\nWould you like to Retry.",
                             "Flash Error|Abandon Chip!!"}));
    EXPECT_FALSE(traced("FLASH: Dnld successful"));
    EXPECT_EQ(transmitted(), std::vector<char>{'Y'});
}

TEST_F(FlashJob, Nok1AnsweredYesWithoutVer14AbandonsTheChip) {
    auto c = config();
    c.faults = {fault("nok:1@rec:5"), fault("erasefail@erase:2")}; // the erase after 'Z' fails
    make_modem(c);
    files("load_small.hex", "");
    V path = run();
    EXPECT_EQ(path, (V{0, 2, 3, 10, 6, 7, 8, 11, 13, 14}));
    EXPECT_EQ(box_list(), (S{"You May Have Cooked the Flash Chip!|Chip Failed to Erase Properly\nWould you like to Retry.",
                             "Flash Error|Abandon Chip!!"}));
    EXPECT_EQ(transmitted(), (std::vector<char>{'Z', 'Y'}));
}

TEST_F(FlashJob, ThreeTimeOutsThenFourNok3OnOneRecord) {
    auto c = config();
    c.faults = {fault("noreply@rec:5"), fault("noreply@rec:6"), fault("noreply@rec:7"),
                fault("nok:3@rec:8"),   fault("nok:3@rec:9"),   fault("nok:3@rec:10"),
                fault("nok:3@rec:11")};
    make_modem(c);
    files("load_small.hex", "");
    V path = run();
    EXPECT_EQ(path, (V{0, 2, 3, 10, 6, 7, 8, 11, 13, 14}));
    EXPECT_EQ(box_list(), S{"Flash Error|Modem reports solid Checksum Failure."});
    EXPECT_EQ(count_traced("FLASH: Timeout Resend"), 3);
    EXPECT_EQ(count_traced("FLASH: Checksum Failure"), 4);
    EXPECT_EQ(count_traced("Flash Comm Read Failed"), 3);
    EXPECT_EQ(retry_count, 7);
    S sent = loader_lines(modem->m);
    ASSERT_EQ(sent.size(), 11u);
    for (size_t i = 5; i < 11; ++i) EXPECT_EQ(sent[i], sent[4]); // the same record each time
}

TEST_F(FlashJob, SevenTimeOutsAreResentAndTheEighthEndsTheJob) {
    auto c = config();
    for (int i = 5; i <= 12; ++i) c.faults.push_back(fault("noreply@rec:" + std::to_string(i)));
    make_modem(c);
    files("load_small.hex", "");
    V path = run();
    EXPECT_EQ(path, (V{0, 2, 3, 10, 6, 7, 8, 9, 13, 14}));
    EXPECT_EQ(box_list(), S{"Error...|Modem is not responding.\nPlease try again later."});
    EXPECT_EQ(count_traced("FLASH: Timeout Resend"), 7);
    EXPECT_EQ(count_traced("FLASH: Flash Open Comm Failed"), 1);
    EXPECT_EQ(loader_lines(modem->m).size(), 12u);
    // Each resend follows 180 s after the previous write, as the first
    // reply has come long before.
    std::vector<sim::usec> at;
    for (auto &t : modem->m.transcript())
        if (t.mode == sim::Mode::FlashLoader) at.push_back(t.at);
    for (size_t i = 5; i < 12; ++i) {
        EXPECT_GT(at[i] - at[i - 1], 180000 * 1000) << i;
        EXPECT_LT(at[i] - at[i - 1], 180010 * 1000) << i;
    }
    EXPECT_EQ(fake::state().boxes[0].flags, unsigned(PLAT_MB_OK | PLAT_MB_ICONWARNING));
}

TEST_F(FlashJob, TheWriteFailingFiveTimesEndsTheJob) {
    make_modem(config());
    files("load_small.hex", "");
    bool armed = false;
    V path = run([&] {
        if (!armed && flash_state == 7 && records_sent == 3) {
            armed = true;
            for (int i = 0; i < 5; ++i) fake::state().write_script.push_back({fake::WriteOutcome::Fail});
        }
    });
    EXPECT_EQ(path, (V{0, 2, 3, 10, 6, 7, 8, 7, 13, 14}));
    EXPECT_EQ(box_list(), S{"Solid CommError|Failed to write line to Modem"});
    EXPECT_EQ(transmitted(), std::vector<char>{'Y'});
}

TEST_F(FlashJob, ChecksumCommandFoundNotFoundAndWithAnEmptyResponse) {
    struct Case {
        const char *response;
        const char *modem_reply;
        bool ok;
    } cases[] = {{"CS=1234", "CS=1234", true}, {"CS=1234", "CS=9999", false}, {"", "CS=9999", true}};
    for (auto &k : cases) {
        SCOPED_TRACE(k.response);
        TearDown();
        SetUp();
        steps.clear();
        auto c = config();
        c.checksum_cmd = "AT&&FCS";
        c.checksum_reply = k.modem_reply;
        make_modem(c);
        files("load_small.hex", "");
        std::snprintf(cfg_atchecksum, sizeof cfg_atchecksum, "%s", "AT&&FCS\r");
        std::snprintf(cfg_checksumresponse, sizeof cfg_checksumresponse, "%s", k.response);
        uint64_t at12 = 0, at13 = 0;
        run([&] {
            if (flash_state == 12 && !at12) at12 = fake::state().now_ms.load();
            if (flash_state == 13 && !at13) at13 = fake::state().now_ms.load();
        });
        EXPECT_EQ(modem->m.transcript().back().text, "Y");
        if (k.ok) {
            EXPECT_EQ(box_list(), S{ALL_DONE});
        } else {
            EXPECT_EQ(box_list(), S{"    Try again...|Flash Programming Failed."});
            EXPECT_STREQ(status_line1, "Programming Failed");
            EXPECT_STREQ(status_line2, "");
            EXPECT_GT(at13 - at12, 1000u + 4000u); // the pause and the whole wait
            EXPECT_LT(at13 - at12, 1000u + 4000u + 50u);
        }
        EXPECT_EQ(fake::state().boxes.back().flags, unsigned(PLAT_MB_OK));
    }
}

TEST_F(FlashJob, NoPopUpsEndsWithTheElapsedTimeAndNoBox) {
    make_modem(config());
    files("load_small.hex", "");
    no_popups = 1;
    run();
    EXPECT_TRUE(box_list().empty());
    EXPECT_STREQ(status_line1, "Programming Completed");
    char want[64];
    std::snprintf(want, sizeof want, "Time Elapsed %1d Min %2d Sec.", int(elapsed_min), int(elapsed_sec));
    EXPECT_STREQ(status_line2, want);
    EXPECT_EQ(fake::state().redraws.back().line2, want);
    EXPECT_EQ(transmitted(), std::vector<char>{'Y'});
}

TEST_F(FlashJob, TheLoadChosenInTheDialogAndThePortFoundCountingDown) {
    auto c = config();
    c.firmware_running = false;
    modem = std::make_unique<SimPeer>(c);
    fake::add_port(1, modem.get());
    files("load_small.hex", "");
    cfg_complete = 0;
    std::string path = (dir / "modem.hex").string();
    fake::state().dialog = [path](plat_open_file *req) {
        std::snprintf(req->file, req->max_file, "%s", path.c_str());
        return 1;
    };
    V p = run();
    EXPECT_EQ(p, (V{0, 2, 3, 10, 6, 7, 8, 12, 13, 14}));
    EXPECT_EQ(std::string(download_path), path);
    std::vector<std::string> tries;
    for (auto &t : fake::traces())
        if (t.rfind("Flash Trying Comm", 0) == 0) tries.push_back(t);
    EXPECT_EQ(tries, (S{"Flash Trying Comm 3 ", "Flash Trying Comm 2 ", "Flash Trying Comm 1 "}));
    expect_flash_is_load();
}

// A wrong file picked as the load (or an empty one) programs nothing, and
// must not end in "Programming Completed".
TEST_F(FlashJob, ALoadWithoutRecordsIsAFailureNotASuccess) {
    const std::string not_a_load(200, 'x');
    for (const std::string &content : {not_a_load + "\n" + not_a_load + "\n", std::string()}) {
        SCOPED_TRACE(content.empty() ? "empty file" : "text file");
        fake::reset();
        flashtest::reset_program();
        steps.clear();
        auto c = config();
        c.rrfl_checksum = 0x9999;
        make_modem(c);
        files("load_small.hex");
        write_file("modem.hex", content);
        V path = run();
        EXPECT_EQ(path, (V{0, 2, 3, 5, 4, 6, 7, 8, 11, 13, 14}));
        EXPECT_EQ(box_list(), (S{ERASE_QUESTION, "Flash Error|The load file holds no S-records: nothing was programmed."}));
        EXPECT_FALSE(traced("FLASH: Dnld successful"));
        EXPECT_EQ(transmitted().back(), 'Y');
    }
}

} // namespace
