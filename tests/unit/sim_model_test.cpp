// The modem model against the exact bytes the program puts on the line.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim_host.h"

namespace {

sim::ModemConfig quiet_config() {
    sim::ModemConfig c;
    c.erase_ms = 50;
    return c;
}

sim::ModemConfig with_faults(std::initializer_list<const char *> faults) {
    sim::ModemConfig c = quiet_config();
    for (const char *fault : faults) {
        c.faults.push_back({});
        std::string err;
        EXPECT_TRUE(sim::parse_fault(fault, false, &c.faults.back(), &err)) << err;
    }
    return c;
}

// The probe's opening: wake-ups, flash mode, then `ident`.
void probe_opening(SimHost &h) {
    for (const char *cmd : {"AAAAT", "AT", "AAAAT", "AT&&F"}) ASSERT_TRUE(h.ask(cmd, 4000)) << cmd;
}

// The loader file sent as the program sends it, each line answered OK.
void upload_loader(SimHost &h) {
    for (const auto &l : read_text_lines(testdata("kivfldr.hex"))) {
        h.line("at&&f" + l);
        ASSERT_TRUE(h.wait("OK", 6000));
    }
}

// Sends a file's lines as S-records and expects OK for each.
void program_records(SimHost &h, const std::vector<std::string> &lines, long first_timeout = 360000) {
    long timeout = first_timeout;
    for (size_t i = 0; i < lines.size(); ++i) {
        h.line(lines[i], i + 1 == lines.size() ? '\xff' : '\n');
        ASSERT_TRUE(h.wait("OK", timeout)) << "record " << i << ": " << lines[i];
        ASSERT_EQ(h.rx, "OK\r\n") << "record " << i << ": " << lines[i];
        timeout = 180000;
    }
}

} // namespace

TEST(SimCommandMode, EchoThenReplyExactBytes) {
    sim::Modem m(quiet_config());
    SimHost h(m);
    // (The upper-case echoes are checked byte for byte by the probe tests.)
    ASSERT_TRUE(h.ask("at"));
    h.drain();
    EXPECT_EQ(h.rx, "at\r\r\nOK\r\n");
    EXPECT_FALSE(h.ask("ATX9"));
    EXPECT_EQ(h.rx, "ATX9\r\r\nERROR\r\n");
    // No "AT" on the line: echoed, not answered.
    h.command("HELLO");
    EXPECT_EQ(h.listen(100), "HELLO\r");
    // The zero padding and the byte after the CR are neither echoed nor taken as a line.
    EXPECT_EQ(m.counters().lines, 3);
    EXPECT_EQ(m.transcript().back().text, "HELLO");
}

TEST(SimCommandMode, TypeLetterStandsAtIndexSevenAfterTheProbeOpening) {
    // At the real line rate the probe tests check it through the program;
    // here without pacing.
    for (char letter : {'C', 'I', 'S', 'U', 'P', 'i'}) {
        sim::ModemConfig c = quiet_config();
        c.type_letter = letter;
        c.line_rate = 0;
        sim::Modem m(c);
        SimHost h(m);
        probe_opening(h);
        // The wait above stopped at "OK"; whatever of that reply it did not
        // read would now stand before the echo.
        ASSERT_TRUE(h.ask("ATI5"));
        ASSERT_GE(h.rx.size(), 8u);
        EXPECT_EQ(h.rx.substr(0, 7), "ATI5\r\r\n");
        EXPECT_EQ(h.rx[7], letter);
        EXPECT_EQ(h.rx.find("RRFL"), std::string::npos);
    }
}

TEST(SimCommandMode, ResidentLoaderFacts) {
    // AT&&FFL: four hex digits directly before the sector token.
    for (int sector : {64, 16}) {
        sim::ModemConfig c = quiet_config();
        c.rrfl_sector = sector;
        c.rrfl_checksum = 0xBEEF;
        sim::Modem m(c);
        SimHost h(m);
        ASSERT_TRUE(h.ask("AT&&FFL"));
        std::string token = sector == 64 ? ",40," : ",10,";
        size_t at = h.rx.find(token);
        ASSERT_NE(at, std::string::npos) << h.rx;
        ASSERT_GE(at, 4u);
        EXPECT_EQ(h.rx.substr(at - 4, 4), "BEEF");
        EXPECT_EQ(h.rx.find(sector == 64 ? ",10," : ",40,"), std::string::npos);
    }
    // No resident loader: no facts, and no way into it.
    sim::ModemConfig c = quiet_config();
    c.rrfl_sector = 0;
    sim::Modem m(c);
    SimHost h(m);
    EXPECT_FALSE(h.ask("AT&&FFL"));
    EXPECT_NE(h.rx.find("ERROR"), std::string::npos);
    EXPECT_FALSE(h.ask("AT&&FGO"));
    EXPECT_EQ(m.mode(), sim::Mode::Firmware);
}

TEST(SimCommandMode, FirmwareGoneAnswersFromTheResidentLoader) {
    sim::ModemConfig c = quiet_config();
    c.firmware_running = false;
    c.type_letter = 'U';
    c.rrfl_sector = 16;
    c.rrfl_checksum = 0x0A1B;
    c.rrfl_version = "1.3";
    sim::Modem m(c);
    SimHost h(m);
    ASSERT_EQ(m.mode(), sim::Mode::Resident);
    probe_opening(h);
    ASSERT_TRUE(h.ask("ATI5"));
    EXPECT_EQ(h.rx[7], 'U');
    size_t rrfl = h.rx.find("RRFL");
    size_t tok = h.rx.find(",10,");
    ASSERT_NE(rrfl, std::string::npos);
    ASSERT_NE(tok, std::string::npos);
    EXPECT_EQ(h.rx.substr(tok + 4, 4), "0A1B");
    // AT&&FGO: the banner with the configured version stands before OK.
    ASSERT_TRUE(h.ask("AT&&FGO"));
    EXPECT_EQ(h.rx.find("Ver:1.4"), std::string::npos);
    size_t ver = h.rx.find("Ver:1.3");
    ASSERT_NE(ver, std::string::npos);
    EXPECT_LT(ver, h.rx.find("OK"));
    EXPECT_EQ(m.mode(), sim::Mode::FlashLoader);
}

TEST(SimLoaderUpload, RealLoaderFileThenFlashLoader) {
    auto lines = read_text_lines(testdata("kivfldr.hex"));
    ASSERT_EQ(lines.size(), 603u);
    sim::Modem m(quiet_config());
    SimHost h(m);
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_LE(lines[i].size(), 74u);
        h.line("at&&f" + lines[i]);
        ASSERT_TRUE(h.wait("OK", 6000)) << "line " << i;
        if (i + 1 < lines.size()) {
            EXPECT_EQ(h.rx, "at&&f" + lines[i] + "\r\r\nOK\r\n");
            EXPECT_EQ(m.mode(), sim::Mode::Firmware);
        }
    }
    // The end-of-file record: the banner before OK.
    size_t ver = h.rx.find("Ver:1.4");
    ASSERT_NE(ver, std::string::npos) << h.rx;
    EXPECT_LT(ver, h.rx.find("OK"));
    EXPECT_EQ(m.mode(), sim::Mode::FlashLoader);
    EXPECT_EQ(m.counters().loader_records, 603);
    EXPECT_EQ(m.counters().loader_uploads, 1);
    // The loader's bytes landed where its records put them (the first at 0x8000).
    ASSERT_GE(m.loader_image().size(), 0x8010u);
    EXPECT_EQ(m.loader_image()[0x8000], std::stoi(lines[0].substr(9, 2), nullptr, 16));
    // The file ended with LF: the program sends "at&&f" and CR for the empty
    // rest, now to the flash loader, which must not answer it.
    h.line("at&&f", '\xff');
    EXPECT_EQ(h.listen(500), "");
    EXPECT_EQ(m.counters().ignored_lines, 1);
}

TEST(SimLoaderUpload, BadRecordsGetError) {
    sim::Modem m(quiet_config());
    SimHost h(m);
    for (const char *bad : {":10800000", ":0400000300008000FF", ":04000003000080007G", ":0400000300008000"}) {
        h.line(std::string("at&&f") + bad);
        EXPECT_FALSE(h.wait("OK", 6000)) << bad;
        EXPECT_NE(h.rx.find("ERROR"), std::string::npos) << bad;
    }
    EXPECT_EQ(m.counters().loader_records, 0);
    EXPECT_EQ(m.mode(), sim::Mode::Firmware);
}

TEST(SimFlashLoader, EachNokFromItsRealCause) {
    sim::ModemConfig c = with_faults({"erasefail@erase:2"});
    c.flash_size = 0x1000;
    sim::Modem m(c);
    SimHost h(m);
    ASSERT_TRUE(h.ask("AT&&FGO"));

    // NOK3: a corrupted checksum, no hex, too short for its count. A bad
    // record erases nothing.
    EXPECT_EQ(h.record("S1070000AABBCCDDE7"), "NOK3\r\n");
    EXPECT_EQ(h.record("S10700X0AABBCCDDEA"), "NOK3\r\n");
    EXPECT_EQ(h.record("S1070000AABBCCDD"), "NOK3\r\n");
    EXPECT_EQ(m.counters().erases, 0);
    // NOK2: the line does not start where a record starts; S4 is no record.
    EXPECT_EQ(h.record("XS1070000AABBCCDDEA"), "NOK2\r\n");
    EXPECT_EQ(h.record("S4030000FC"), "NOK2\r\n");
    // The good record: erase, then programmed.
    EXPECT_EQ(h.record("S1070000AABBCCDDEA"), "OK\r\n");
    EXPECT_EQ(m.flash()[0], 0xAA);
    // NOK4: 0xAA to 0xFF needs zeros turned into ones; clearing more bits
    // (0xAA to 0x22) is fine.
    EXPECT_EQ(h.record("S1070000FFBBCCDD95"), "NOK4\r\n");
    EXPECT_EQ(h.record("S104000022D9"), "OK\r\n");
    EXPECT_EQ(m.flash()[0], 0x22);
    // NOK4: 0x0FFF..0x1000 ends one byte past the flash.
    EXPECT_EQ(h.record("S1050FFF0000EC"), "NOK4\r\n");
    // NOK1: the second erase (Z) fails: no banner.
    m.priority_char('Z', h.now);
    ASSERT_TRUE(h.wait("OK", 6000));
    EXPECT_EQ(h.rx, "NOK1\r\n");
    // The chip is not erased now: the next record erases again (the third, fine).
    EXPECT_EQ(h.record("S1070000AABBCCDDEA"), "OK\r\n");
    EXPECT_EQ(m.counters().erases, 3);
    EXPECT_EQ(m.counters().nok[1], 1);
    EXPECT_EQ(m.counters().nok[2], 2);
    EXPECT_EQ(m.counters().nok[3], 3);
    EXPECT_EQ(m.counters().nok[4], 2);
}

TEST(SimFlashLoader, FirstRecordEraseFailureGivesNok1) {
    sim::Modem m(with_faults({"erasefail@erase:1"}));
    SimHost h(m);
    ASSERT_TRUE(h.ask("AT&&FGO"));
    EXPECT_EQ(h.record("S00600004844521B"), "NOK1\r\n");
}

TEST(SimFlashLoader, LinesThatAreNoRecordsGetNoReply) {
    sim::ModemConfig c = quiet_config();
    c.checksum_cmd = "AT&&FZY"; // 'Z' and 'Y' inside a line are no commands
    c.checksum_reply = "CS=5A5A";
    sim::Modem m(c);
    SimHost h(m);
    ASSERT_TRUE(h.ask("AT&&FGO"));
    h.line("");           // a blank line in the load
    h.line("", '\r');     // a file with CR line ends: CR, CR
    h.line("at&&f", '\xff');
    EXPECT_EQ(h.listen(200), "");
    EXPECT_EQ(m.counters().records, 0);
    // The end-of-job checksum command is answered in the loader too.
    ASSERT_TRUE(h.ask("AT&&FZY"));
    EXPECT_EQ(h.rx, "\r\nCS=5A5A\r\n\r\nOK\r\n");
    EXPECT_EQ(m.counters().z_commands + m.counters().y_commands, 0);
    EXPECT_EQ(m.mode(), sim::Mode::FlashLoader);
}

TEST(SimFlashLoader, SessionEndRestartsIntoWhatTheFlashHolds) {
    // Erased but the load never finished: the resident loader takes over.
    {
        sim::Modem m(quiet_config());
        SimHost h(m);
        ASSERT_TRUE(h.ask("AT&&FGO"));
        h.line("S1070000AABBCCDDEA");
        ASSERT_TRUE(h.wait("OK", 2000));
        m.priority_char('Y', h.now);
        EXPECT_EQ(m.mode(), sim::Mode::Resident);
        ASSERT_TRUE(h.ask("ATI5"));
        EXPECT_NE(h.rx.find("RRFL,40,1234"), std::string::npos);
    }
    // Nothing erased: back where it was.
    {
        sim::Modem m(quiet_config());
        SimHost h(m);
        ASSERT_TRUE(h.ask("AT&&FGO"));
        m.priority_char('Y', h.now);
        EXPECT_EQ(m.mode(), sim::Mode::Firmware);
    }
    // No resident loader and no firmware: dead.
    {
        sim::ModemConfig c = quiet_config();
        c.rrfl_sector = 0;
        sim::Modem m(c);
        SimHost h(m);
        upload_loader(h);
        h.line("S1070000AABBCCDDEA");
        ASSERT_TRUE(h.wait("OK", 2000));
        m.priority_char('Y', h.now);
        EXPECT_EQ(m.mode(), sim::Mode::Dead);
        h.command("AT");
        EXPECT_EQ(h.listen(500), "");
    }
}

// Each load programmed, erased with Z and programmed again; Y then restarts
// the modem with firmware, the load having ended with its termination record.
TEST(SimFlashLoader, FlashEqualsSrecCatBinaryOfRandomLoads) {
    for (const char *name : {"load_I40", "load_S10", "load_noheader"}) {
        SCOPED_TRACE(name);
        auto load = read_text_lines(testdata(std::string(name) + ".hex"));
        auto image = read_binary(testdata(std::string(name) + ".bin"));
        ASSERT_FALSE(load.empty());
        ASSERT_FALSE(image.empty());
        sim::ModemConfig c = quiet_config();
        c.latency_ms = 1;
        sim::Modem m(c);
        SimHost h(m);
        ASSERT_TRUE(h.ask("AT&&FGO"));
        for (int pass = 1; pass <= 2; ++pass) {
            // The first record erases: its reply takes the erase time. After
            // Z the pass has nothing to erase.
            sim::usec sent = h.now;
            program_records(h, load);
            sim::usec first_reply = m.replies()[m.replies().size() - load.size()].at - sent;
            if (pass == 1) {
                EXPECT_GE(first_reply, 50000);
            } else {
                EXPECT_LT(first_reply, 50000);
            }
            EXPECT_EQ(m.counters().erases, pass);
            ASSERT_GE(m.flash().size(), image.size());
            EXPECT_TRUE(std::equal(image.begin(), image.end(), m.flash().begin()));
            EXPECT_TRUE(std::all_of(m.flash().begin() + static_cast<long>(image.size()), m.flash().end(),
                                    [](uint8_t b) { return b == 0xFF; }));
            EXPECT_EQ(m.counters().bytes_programmed, pass * static_cast<long>(image.size()));
            if (pass == 2) break;
            // Z: the whole flash erased, banner and OK.
            m.priority_char('Z', h.now);
            ASSERT_TRUE(h.wait("OK", 6000));
            EXPECT_NE(h.rx.find("Ver:1.4"), std::string::npos);
            EXPECT_TRUE(std::all_of(m.flash().begin(), m.flash().end(), [](uint8_t b) { return b == 0xFF; }));
        }
        m.priority_char('Y', h.now);
        EXPECT_EQ(h.listen(100), "");
        EXPECT_EQ(m.mode(), sim::Mode::Firmware);
        EXPECT_EQ(m.counters().z_commands, 1);
        EXPECT_EQ(m.counters().y_commands, 1);
        EXPECT_EQ(m.counters().records_ok, static_cast<long>(2 * load.size()));
        // The transcript holds every line with its time, in order.
        const auto &tr = m.transcript();
        EXPECT_EQ(tr.front().text, "AT&&FGO");
        EXPECT_TRUE(tr.back().single_char);
        EXPECT_EQ(tr.back().text, "Y");
        EXPECT_TRUE(std::is_sorted(tr.begin(), tr.end(), [](auto &a, auto &b) { return a.at < b.at; }));
    }
}

TEST(SimFlashLoader, FlashBaseMovesTheWindow) {
    sim::ModemConfig c = quiet_config();
    c.flash_base = 0x10000;
    c.flash_size = 0x100;
    sim::Modem m(c);
    SimHost h(m);
    ASSERT_TRUE(h.ask("AT&&FGO"));
    h.line("S2060100001122C5"); // 0x010000: 11 22
    ASSERT_TRUE(h.wait("OK", 2000));
    EXPECT_EQ(h.rx, "OK\r\n");
    EXPECT_EQ(m.flash()[0], 0x11);
    EXPECT_EQ(m.flash()[1], 0x22);
    h.line("S1040000AA51"); // below the base
    ASSERT_TRUE(h.wait("OK", 2000));
    EXPECT_EQ(h.rx, "NOK4\r\n");
}

TEST(SimTiming, LineRateAndLatency) {
    sim::ModemConfig c = with_faults({"flood:11520@cmd:2"});
    c.latency_ms = 20;
    sim::Modem m(c);
    SimHost h(m);
    // Reply 20 ms after the CR reached the modem (5 bytes on the line first).
    ASSERT_TRUE(h.ask("ATI5"));
    ASSERT_GE(m.replies().size(), 1u);
    EXPECT_NEAR(static_cast<double>(m.replies()[0].at), 20000 + 5 * 86.8, 100);
    // 11,520 flood bytes and the reply take one second on the line.
    sim::usec start = h.now;
    ASSERT_TRUE(h.ask("AT", 3000));
    double secs = static_cast<double>(h.now - start) / 1e6;
    EXPECT_GT(h.rx.size(), 11520u);
    EXPECT_NEAR(secs, 1.02, 0.02);
}

TEST(SimTiming, ReceiverFifoHandsOverInBursts) {
    sim::Modem m(quiet_config());
    SimHost h(m);
    h.command("AT&&FFL");
    // Read whenever anything is there: the first bursts are whole FIFO loads
    // of 14, the rest comes after the line falls quiet.
    std::vector<size_t> sizes;
    for (int t = 0; t < 300 && h.rx.find("OK\r\n") == std::string::npos; ++t) {
        size_t before = h.rx.size();
        h.now += 100; // 0.1 ms steps
        h.drain();
        if (h.rx.size() > before) sizes.push_back(h.rx.size() - before);
    }
    ASSERT_FALSE(sizes.empty());
    for (size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_TRUE(sizes[i] == 14 || sizes[i] < 14);
    EXPECT_EQ(h.rx.substr(h.rx.size() - 4), "OK\r\n"); // the tail is never left behind
}

TEST(SimFaults, ScriptedFaultsHitTheirLine) {
    {
        sim::Modem m(with_faults({"noreply@cmd:2", "late:3000@on=ATI5"}));
        SimHost h(m);
        EXPECT_TRUE(h.ask("AT"));
        EXPECT_FALSE(h.ask("AT"));
        EXPECT_EQ(h.rx, "AT\r"); // the echo still comes
        EXPECT_FALSE(h.ask("ATI5"));
        EXPECT_TRUE(h.wait("OK", 2000));
    }
    {
        sim::Modem m(with_faults({"split:3@cmd:1"}));
        SimHost h(m);
        h.command("AT");
        sim::usec start = h.now;
        ASSERT_TRUE(h.wait("OK", 2000));
        // "\r\nOK" comes one byte every 3 ms after the echo.
        EXPECT_GE(h.now - start, 9000);
    }
    {
        sim::Modem m(with_faults({"garbage:20@rec:1", "nok:3@rec:2", "silence@rec:4"}));
        SimHost h(m);
        ASSERT_TRUE(h.ask("AT&&FGO"));
        h.line("S1070000AABBCCDDEA");
        ASSERT_TRUE(h.wait("OK", 2000));
        EXPECT_EQ(h.rx.size(), 24u);
        EXPECT_EQ(h.rx.substr(20), "OK\r\n");
        h.line("S1070004AABBCCDDE6");
        ASSERT_TRUE(h.wait("OK", 2000));
        EXPECT_EQ(h.rx, "NOK3\r\n");
        EXPECT_EQ(m.flash()[4], 0xFF); // refused, not programmed
        h.line("S1070004AABBCCDDE6");
        ASSERT_TRUE(h.wait("OK", 2000));
        h.line("S1070008AABBCCDDE2");
        EXPECT_FALSE(h.wait("OK", 2000));
        m.priority_char('Z', h.now);
        EXPECT_FALSE(h.wait("OK", 6000)); // the cable stays pulled
        EXPECT_EQ(m.flash()[8], 0xFF);
    }
}

TEST(SimFaults, RandomFaultsFollowTheSeed) {
    auto run = [](uint32_t seed) {
        sim::ModemConfig c = quiet_config();
        c.seed = seed;
        c.random_faults.push_back({});
        std::string err;
        EXPECT_TRUE(sim::parse_fault("noreply@0.3", true, &c.random_faults.back(), &err)) << err;
        sim::Modem m(c);
        SimHost h(m);
        std::string pattern;
        for (int i = 0; i < 40; ++i) {
            h.command("AT");
            pattern += h.wait("OK", 100) ? '+' : '-';
        }
        return pattern;
    };
    std::string a = run(7);
    EXPECT_EQ(a, run(7));
    EXPECT_NE(a, run(8));
    long misses = std::count(a.begin(), a.end(), '-');
    EXPECT_GT(misses, 4);
    EXPECT_LT(misses, 24);
}

TEST(SimFaults, BadFaultTextsAreExplained) {
    sim::Fault f;
    std::string err;
    EXPECT_FALSE(sim::parse_fault("noreply", false, &f, &err));
    EXPECT_NE(err.find("missing '@'"), std::string::npos);
    EXPECT_FALSE(sim::parse_fault("nok:7@rec:1", false, &f, &err));
    EXPECT_NE(err.find("1 to 4"), std::string::npos);
    EXPECT_FALSE(sim::parse_fault("boom@rec:1", false, &f, &err));
    EXPECT_FALSE(sim::parse_fault("late@rec:1", false, &f, &err));
    EXPECT_FALSE(sim::parse_fault("noreply@rec:x", false, &f, &err));
    EXPECT_FALSE(sim::parse_fault("noreply@2", true, &f, &err));
    EXPECT_FALSE(sim::parse_fault("silence@0.1", true, &f, &err));
    EXPECT_TRUE(sim::parse_fault("silence@time:1500", false, &f, &err));
    EXPECT_EQ(f.where, sim::Fault::Time);
    EXPECT_EQ(f.n, 1500);
}
