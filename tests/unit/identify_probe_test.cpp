// The probe handshake on the fake port, against the modem model and, for
// replies no real modem would give, against a scripted far end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/app.h"
#include "fake/fake_platform.h"
#include "fake/sim_peer.h"
#include "identify/identify.h"
#include "link/link.h"

// The traces written, compared with a list that may hold braces.
#define EXPECT_TRACES(...) EXPECT_EQ(fake::traces(), (__VA_ARGS__))

namespace {

using Lines = std::vector<std::string>;

// Answers every line (the text before a CR, zero padding dropped) at once
// with a scripted text, without echo; lines it has no text for get OK.
struct ReplyPeer : fake::Peer {
    std::map<std::string, std::string> replies;
    Lines lines;
    std::string cur, out;
    void on_bytes(const uint8_t *p, size_t n, uint64_t) override {
        for (size_t i = 0; i < n; ++i) {
            char c = static_cast<char>(p[i]);
            if (c == 0) continue;
            if (c != '\r') {
                cur += c;
                continue;
            }
            lines.push_back(cur);
            auto it = replies.find(cur);
            out += it == replies.end() ? "\r\nOK\r\n" : it->second;
            cur.clear();
        }
    }
    void on_priority_char(char, uint64_t) override {}
    size_t available(uint64_t) override { return out.size(); }
    size_t take(uint8_t *o, size_t n, uint64_t) override {
        size_t k = std::min(n, out.size());
        std::memcpy(o, out.data(), k);
        out.erase(0, k);
        return k;
    }
};

// What a command puts on the line: the text, its terminator, zero padding
// to whole 16-byte chunks.
std::string on_line(const std::string &cmd) {
    size_t total = (cmd.size() + 15) / 16 * 16;
    return cmd + std::string(total - cmd.size(), '\0');
}
std::string on_line(const Lines &cmds) {
    std::string s;
    for (const auto &c : cmds) s += on_line(c);
    return s;
}
std::string wire() {
    auto w = fake::wire();
    return {w.begin(), w.end()};
}

// The model echoes a command and ends its answer with OK.
std::string echo_ok(const std::string &cmd) { return cmd + "\r\nOK\r\n"; }
const std::string kIdentReply = "ATI5\r\r\nI-56K V.90 Quillmarch 3.12\r\n\r\nOK\r\n";

// Traces up to the identification command, as the modem model answers.
Lines handshake(const std::string &ident = "ATI5\r") {
    return {"<CE-3>",
            "devicewrite(AAAAT\r)\n",
            "",
            "writing to COM3:19200,n,8,1\n",
            "devicewrite(AT\r)\n",
            echo_ok("AAAAT\r"),
            "devicewrite(AAAAT\r)\n",
            echo_ok("AT\r"),
            "devicewrite(AT&&F\r)\n",
            echo_ok("AAAAT\r"),
            "devicewrite(" + ident + ")\n",
            echo_ok("AT&&F\r")};
}
// The same against a ReplyPeer that answers OK.
Lines scripted_handshake() {
    Lines t = handshake();
    for (size_t i : {5, 7, 9, 11}) t[i] = "\r\nOK\r\n";
    return t;
}
const Lines kCommands = {"AAAAT\r", "AT\r", "AAAAT\r", "AT&&F\r"};

Lines operator+(Lines a, const Lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Traces after the identification: running firmware asked for its loader's
// facts, or the resident loader found answering.
Lines firmware(const std::string &sector, const std::string &chk, const std::string &type = "INTERNAL") {
    return {"Actual Modem type is " + type, "devicewrite(AT&&FFL\r)\n", "Actual sector = 0x" + sector + "\n ",
            "Actual chksum = 0x" + chk + "\n "};
}
Lines resident(const std::string &chk, const std::string &type = "INTERNAL") {
    return {"Actual Modem type is " + type, "WE ARE IN RRFL", "Actual sector size = 0x40\n ",
            "Actual chksum = 0x" + chk + "\n "};
}
const Lines kMustErase = {"ldsAreCompat() FAILED", "MUST USE FULL ERASE - LOADS ARE INCOMPAT"};

sim::Fault no_reply_to(const char *text) {
    sim::Fault f;
    f.kind = sim::Fault::NoReply;
    f.where = sim::Fault::Text;
    f.text = text;
    return f;
}

struct Probe : ::testing::Test {
    void SetUp() override {
        fake::reset();
        hComm = nullptr;
        rx_count = 0;
        std::memset(rx_buffer, 0, sizeof rx_buffer);
        skip_flush = 0;
        cfg_complete = 0;
        cfg_atcmd[0] = cfg_response[0] = cfg_modemname[0] = 0;
        status_line1[0] = status_line2[0] = 0;
        actual_modem_type = actual_sector_size = actual_rrfl_checksum = 0;
        // A load for an internal modem whose resident loader has 64-byte
        // sectors and the checksum 0x1234: what the default model carries.
        load_modem_type = MODEM_INTERNAL;
        load_rrfl_sector = 64;
        load_rrfl_checksum = 0x1234;
        load_type_ok = 0;
        com_port = 3;
    }
    static int probe(fake::Peer *peer) {
        fake::add_port(3, peer);
        return open_and_probe_port();
    }
    static bool port_closed() { return hComm == nullptr && fake::state().open_handles == 0; }
    static bool port_open() { return hComm != nullptr && fake::state().open_handles == 1; }
    // Lines the model took, without the CR.
    static Lines received(const SimPeer &m) {
        Lines out;
        for (const auto &l : m.m.transcript()) out.push_back(l.text);
        return out;
    }
    // The one box shown.
    static const fake::Box &the_box() {
        EXPECT_EQ(fake::state().boxes.size(), 1u);
        return fake::state().boxes.at(0);
    }
    static void expect_sent(const Lines &after_opening) { EXPECT_EQ(wire(), on_line(kCommands + after_opening)); }
};

TEST_F(Probe, NoPortBehindTheNumber) {
    EXPECT_EQ(open_and_probe_port(), PROBE_NO_MODEM);
    EXPECT_EQ(hComm, nullptr);
    EXPECT_TRUE(fake::traces().empty());
    EXPECT_TRUE(fake::state().cursors.empty());
}

TEST_F(Probe, NothingAnswers) {
    fake::ScriptedPeer silent;
    EXPECT_EQ(probe(&silent), PROBE_NO_MODEM);
    EXPECT_TRUE(port_closed());
    expect_sent({});
    EXPECT_TRACES((Lines{"<CE-3>", "devicewrite(AAAAT\r)\n", "", "writing to COM3:19200,n,8,1\n", "devicewrite(AT\r)\n",
                         "", "devicewrite(AAAAT\r)\n", "", "devicewrite(AT&&F\r)\n", "",
                         "Not a Quillmarch Flashable modem!"}));
    EXPECT_TRUE(fake::state().boxes.empty());
    EXPECT_EQ(fake::state().cursors, std::vector<int>{PLAT_CURSOR_WAIT});

    // Each wait runs out just past its 4000, 2000, 2000 and 2000 ms; what
    // lies between (settling, formatting) takes a few clock reads.
    const auto &w = fake::state().writes;
    ASSERT_EQ(w.size(), 4u);
    const uint64_t waits[4] = {w[1].at_ms - w[0].at_ms, w[2].at_ms - w[1].at_ms, w[3].at_ms - w[2].at_ms,
                               fake::state().now_ms.load() - w[3].at_ms};
    const uint64_t expected[4] = {4000, 2000, 2000, 2000};
    for (int i = 0; i < 4; ++i) {
        EXPECT_GT(waits[i], expected[i]) << i;
        EXPECT_LE(waits[i], expected[i] + 10) << i;
    }
}

TEST_F(Probe, TypeLetterInEitherCase) {
    const struct {
        char letter;
        int type;
        const char *trace;
    } cases[] = {{'C', 1, "TOVARINDEL"}, {'c', 1, "TOVARINDEL"}, {'I', 2, "INTERNAL"}, {'i', 2, "INTERNAL"},
                 {'S', 3, "EXTERNAL"},   {'s', 3, "EXTERNAL"},   {'U', 4, "USB"},      {'u', 4, "USB"},
                 {'P', 5, "PCMCIA"},     {'p', 5, "PCMCIA"},     {'5', 0, "Unknown"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.letter);
        SetUp();
        sim::ModemConfig cfg;
        cfg.type_letter = c.letter;
        SimPeer modem(cfg);
        // The loader fits the load only on the modem type the load was made for.
        bool fits = c.type == MODEM_INTERNAL;
        EXPECT_EQ(probe(&modem), fits ? PROBE_START_RRFL : PROBE_NEED_LOADER);
        EXPECT_EQ(actual_modem_type, c.type);
        EXPECT_EQ(load_type_ok, fits ? 1 : 0);
        EXPECT_EQ(actual_sector_size, 64);
        EXPECT_EQ(actual_rrfl_checksum, 0x1234);
        expect_sent({"ATI5\r", "AT&&FFL\r"});
        EXPECT_TRACES(handshake() + firmware("40", "1234", c.trace) + (fits ? Lines{} : kMustErase));
        EXPECT_EQ(fake::state().boxes.size(), fits ? 0u : 1u);
        EXPECT_TRUE(port_open());
        EXPECT_EQ(modem.m.mode(), sim::Mode::Firmware);
    }
}

// Every path against the modem model: the result, the port, what went out,
// the traces after the handshake, and what else the path leaves behind.
TEST_F(Probe, PathsAgainstTheModel) {
    const struct {
        const char *name;
        std::function<void(sim::ModemConfig &)> modem;
        int result;
        bool open;
        Lines sent;
        Lines traces;
        size_t boxes;
        std::function<void(SimPeer &)> more;
    } cases[] = {
        {"no answer to the identification", [](auto &c) { c.faults.push_back(no_reply_to("ATI5")); },
         PROBE_NO_MODEM, false, {"ATI5\r"}, {"Where's the ATI5???"}, 0,
         [](SimPeer &m) { EXPECT_EQ(received(m), (Lines{"AAAAT", "AT", "AAAAT", "AT&&F", "ATI5"})); }},
        {"firmware whose loader fits", [](auto &) {}, PROBE_START_RRFL, true, {"ATI5\r", "AT&&FFL\r"},
         firmware("40", "1234"), 0,
         [](SimPeer &m) { EXPECT_EQ(received(m), (Lines{"AAAAT", "AT", "AAAAT", "AT&&F", "ATI5", "AT&&FFL"})); }},
        // A modem without a resident loader answers AT&&FFL with ERROR.
        {"firmware without loader facts", [](auto &c) { c.rrfl_sector = 0; }, PROBE_NEED_LOADER, true,
         {"ATI5\r", "AT&&FFL\r"}, {"Actual Modem type is INTERNAL", "devicewrite(AT&&FFL\r)\n"}, 0,
         [](SimPeer &) { EXPECT_GT(fake::state().now_ms.load() - fake::state().writes.back().at_ms, 2000u); }},
        {"resident loader that fits", [](auto &c) { c.firmware_running = false; }, PROBE_RRFL_STARTED, true,
         {"ATI5\r", "AT&&FGO\r"}, resident("1234") + Lines{"devicewrite(AT&&FGO\r)\n"}, 0,
         [](SimPeer &m) { EXPECT_EQ(m.m.mode(), sim::Mode::FlashLoader); }},
        // No OK to AT&&FGO: no modem to use here, and its port is not left open.
        {"resident loader that does not start",
         [](auto &c) {
             c.firmware_running = false;
             c.faults.push_back(no_reply_to("AT&&FGO"));
         },
         PROBE_NO_MODEM, false, {"ATI5\r", "AT&&FGO\r"}, resident("1234") + Lines{"devicewrite(AT&&FGO\r)\n"}, 0,
         [](SimPeer &) { EXPECT_EQ(fake::state().events.back(), "close"); }},
        // Another checksum: the refusal names both.
        {"resident loader with another checksum",
         [](auto &c) {
             c.firmware_running = false;
             c.rrfl_checksum = 0x4321;
         },
         PROBE_GIVE_UP, true, {"ATI5\r"}, resident("4321") + Lines{"ldsAreCompat() FAILED"}, 1,
         [](SimPeer &) {
             EXPECT_EQ(the_box().caption, "INCOMPATIBLE LOAD");
             EXPECT_EQ(the_box().text, "IN RRFl and new load has an RRFL checksum mismatch\n"
                                       "\tActual checksum = 4321\n\tLoad checksum = 1234\nUSE PREVIOUS LOAD !!!");
         }},
        // A modem of another type: the refusal names the type the load is for.
        {"resident loader of another type",
         [](auto &c) {
             c.firmware_running = false;
             c.type_letter = 'S';
         },
         PROBE_GIVE_UP, true, {"ATI5\r"}, resident("1234", "EXTERNAL") + Lines{"ldsAreCompat() FAILED"}, 1,
         [](SimPeer &) {
             EXPECT_EQ(load_type_ok, 0);
             EXPECT_EQ(the_box().text, "IN RRFl and new load is incompatible (ISA)\nUSE PREVIOUS LOAD !!!");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim::ModemConfig cfg;
        c.modem(cfg);
        SimPeer modem(cfg);
        EXPECT_EQ(probe(&modem), c.result);
        EXPECT_TRUE(c.open ? port_open() : port_closed());
        expect_sent(c.sent);
        EXPECT_TRACES(handshake() + c.traces);
        EXPECT_EQ(fake::state().boxes.size(), c.boxes);
        c.more(modem);
    }
}

TEST_F(Probe, RunningFirmwareWhoseLoaderDoesNotFit) {
    for (int answer : {PLAT_IDYES, PLAT_IDNO}) {
        SetUp();
        fake::state().answer = [answer](const fake::Box &) { return answer; };
        sim::ModemConfig cfg;
        cfg.rrfl_sector = 16;
        cfg.rrfl_checksum = 0xbeef;
        SimPeer modem(cfg);
        EXPECT_EQ(probe(&modem), answer == PLAT_IDYES ? PROBE_NEED_LOADER : PROBE_GIVE_UP);
        EXPECT_TRUE(port_open());
        expect_sent({"ATI5\r", "AT&&FFL\r"});
        EXPECT_TRACES(handshake() + firmware("10", "beef") + kMustErase);
        const auto &s = fake::state();
        EXPECT_EQ(the_box().text, "Do you wish to Erase the Entire Flash");
        EXPECT_EQ(the_box().caption, "MUST USE FULL ERASE !!! ");
        EXPECT_EQ(the_box().flags, unsigned(PLAT_MB_YESNO));
        // The window shows what was found before the question is asked.
        ASSERT_EQ(s.redraws.size(), 1u);
        EXPECT_EQ(s.redraws[0].line1, "Found Modem on COM3.");
        EXPECT_EQ(s.redraws[0].line2, "RRFL is Not Compatible.");
        auto redraw = std::find(s.events.begin(), s.events.end(), "redraw");
        auto box = std::find_if(s.events.begin(), s.events.end(),
                                [](const std::string &e) { return e.rfind("box:", 0) == 0; });
        EXPECT_LT(redraw, box);
    }
}

// Replies no model gives: where the sector token and the checksum digits
// stand, and digits cut off by the reply's end. The box is answered No.
TEST_F(Probe, LoaderFactsFromScriptedReplies) {
    const struct {
        const char *name, *ident, *ffl;
        int result, sector, checksum;
        Lines sent, traces;
        const char *caption, *box;
    } cases[] = {
        {"no sector token", "ATI5\r\r\nI RRFL 1234\r\n\r\nOK\r\n", nullptr, PROBE_GIVE_UP, 0, 0x777, {"ATI5\r"},
         {"Actual Modem type is INTERNAL", "WE ARE IN RRFL", "Actual sector size = 0x 0\n ", "ldsAreCompat() FAILED"},
         "INCOMPATIBLE LOAD",
         "IN RRFl and new load has a sector size mismatch\nActual sector =  0\n Load sector = 40\nUSE PREVIOUS LOAD !!!"},
        // Identification reply: the digits follow ",40," wherever it stands.
        {"both tokens, identification", "ATI5\r\r\nI RRFL,10,0000,40,1234\r\n\r\nOK\r\n", nullptr,
         PROBE_RRFL_STARTED, 64, 0x1234, {"ATI5\r", "AT&&FGO\r"},
         resident("1234") + Lines{"devicewrite(AT&&FGO\r)\n"}, nullptr, nullptr},
        // AT&&FFL reply: the digits stand before ",40,".
        {"both tokens, loader facts", kIdentReply.c_str(), "AT&&FFL\r\r\nFL 5678,10,1234,40,\r\n\r\nOK\r\n",
         PROBE_START_RRFL, 64, 0x1234, {"ATI5\r", "AT&&FFL\r"}, firmware("40", "1234"), nullptr, nullptr},
        // Fewer than four characters after the token: nothing past the
        // received text is read, and the loads never fit.
        {"cut after the token", "ATI5\r\r\nI RRFL OK,40,1", nullptr, PROBE_GIVE_UP, 64, -1, {"ATI5\r"},
         {"Actual Modem type is INTERNAL", "WE ARE IN RRFL", "Actual sector size = 0x40\n ",
          "Actual chksum unreadable: fewer than four characters after the sector token", "ldsAreCompat() FAILED"},
         "INCOMPATIBLE LOAD",
         "IN RRFl and new load has an RRFL checksum mismatch\n\tActual checksum = ffffffff\n\tLoad checksum = 1234\n"
         "USE PREVIOUS LOAD !!!"},
        {"cut before the token", kIdentReply.c_str(), "OK,40,", PROBE_GIVE_UP, 64, -1, {"ATI5\r", "AT&&FFL\r"},
         Lines{"Actual Modem type is INTERNAL", "devicewrite(AT&&FFL\r)\n", "Actual sector = 0x40\n ",
               "Actual chksum unreadable: fewer than four characters before the sector token"} +
             kMustErase,
         "MUST USE FULL ERASE !!! ", "Do you wish to Erase the Entire Flash"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fake::state().answer = [](const fake::Box &) { return PLAT_IDNO; };
        actual_sector_size = 64;
        actual_rrfl_checksum = 0x777; // from an earlier port
        ReplyPeer peer;
        peer.replies["ATI5"] = c.ident;
        if (c.ffl) peer.replies["AT&&FFL"] = c.ffl;
        EXPECT_EQ(probe(&peer), c.result);
        EXPECT_EQ(actual_sector_size, c.sector);
        EXPECT_EQ(actual_rrfl_checksum, c.checksum);
        expect_sent(c.sent);
        EXPECT_TRACES(scripted_handshake() + c.traces);
        if (c.box) {
            EXPECT_EQ(the_box().caption, c.caption);
            EXPECT_EQ(the_box().text, c.box);
        } else {
            EXPECT_TRUE(fake::state().boxes.empty());
        }
    }
}

TEST_F(Probe, CustomIdentificationCommand) {
    cfg_complete = 1;
    std::strcpy(cfg_modemname, "Quillmarch 56K");
    std::strcpy(cfg_atcmd, "ATI3\r");
    std::strcpy(cfg_response, "CONNECT^Quillmarch");
    sim::ModemConfig cfg;
    cfg.custom_cmd = "ATI3";
    cfg.custom_reply = "S Quillmarch V.90"; // its letter is the eighth byte read
    SimPeer modem(cfg);
    fake::state().answer = [](const fake::Box &) { return PLAT_IDNO; };
    EXPECT_EQ(probe(&modem), PROBE_GIVE_UP);
    EXPECT_EQ(actual_modem_type, MODEM_EXTERNAL);
    expect_sent({"ATI3\r", "AT&&FFL\r"});
    EXPECT_TRACES(handshake("ATI3\r") + firmware("40", "1234", "EXTERNAL") + kMustErase);
    ASSERT_EQ(fake::state().redraws.size(), 1u);
    EXPECT_EQ(fake::state().redraws[0].line1, "Found Quillmarch 56K on COM3.");
    EXPECT_EQ(fake::state().boxes.size(), 1u);

    // A reply that holds none of the accepted texts: no modem here, and the
    // port is given back.
    SetUp();
    cfg_complete = 1;
    std::strcpy(cfg_atcmd, "ATI3\r");
    std::strcpy(cfg_response, "CONNECT^RING");
    SimPeer other(cfg);
    EXPECT_EQ(probe(&other), PROBE_NO_MODEM);
    EXPECT_TRUE(port_closed());
    expect_sent({"ATI3\r"});
    EXPECT_TRACES(handshake("ATI3\r") + Lines{"Can't match CONNECT^RING"});
    EXPECT_TRUE(fake::state().boxes.empty());
}

TEST_F(Probe, EmptyCustomCommand) {
    cfg_complete = 1;
    std::strcpy(cfg_response, "Quillmarch");
    SimPeer modem;
    EXPECT_EQ(probe(&modem), PROBE_NO_MODEM);
    EXPECT_TRUE(port_closed());
    // Nothing goes out after AT&&F, and the wait still runs its 2000 ms.
    expect_sent({});
    EXPECT_GT(fake::state().now_ms.load() - fake::state().writes.back().at_ms, 2000u);
    EXPECT_TRACES(handshake("") + Lines{"Failed AT command "});
}

TEST_F(Probe, LongSettingsValues) {
    // A 255-character command goes out whole; an empty response list
    // accepts any reply; a long modem name is cut so that the port shows.
    cfg_complete = 1;
    std::string body = "ATIQQQQP" + std::string(246, 'Q'); // 254 characters
    std::snprintf(cfg_atcmd, sizeof cfg_atcmd, "%s\r", body.c_str());
    std::string name(254, 'N');
    std::snprintf(cfg_modemname, sizeof cfg_modemname, "%s", name.c_str());
    sim::ModemConfig cfg;
    cfg.custom_cmd = body;
    cfg.custom_reply = "Quillmarch";
    SimPeer modem(cfg);
    EXPECT_EQ(probe(&modem), PROBE_NEED_LOADER);
    expect_sent({body + "\r", "AT&&FFL\r"});
    EXPECT_EQ(received(modem), (Lines{"AAAAT", "AT", "AAAAT", "AT&&F", body, "AT&&FFL"}));
    // The echo's eighth byte is the command's own: P.
    EXPECT_EQ(actual_modem_type, MODEM_PCMCIA);
    std::string line1 = "Found " + name.substr(0, 127 - 6 - 9) + " on COM3.";
    EXPECT_EQ(line1.size(), 127u);
    ASSERT_EQ(fake::state().redraws.size(), 1u);
    EXPECT_EQ(fake::state().redraws[0].line1, line1);

    // The same command unanswered: the trace carries it whole.
    SetUp();
    cfg_complete = 1;
    std::snprintf(cfg_atcmd, sizeof cfg_atcmd, "%s\r", body.c_str());
    SimPeer plain;
    EXPECT_EQ(probe(&plain), PROBE_NO_MODEM);
    EXPECT_EQ(fake::traces().back(), "Failed AT command " + body + "\r");
}

TEST_F(Probe, WriteFailureIsTracedAndTheWaitDecides) {
    fake::state().write_script.push_back({fake::WriteOutcome::Fail, 0});
    SimPeer modem;
    EXPECT_EQ(probe(&modem), PROBE_START_RRFL);
    Lines t = fake::traces();
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ((Lines(t.begin() + 1, t.begin() + 4)), (Lines{"devicewrite(AAAAT\r)\n", "Com Error = 1F", ""}));
    EXPECT_EQ(received(modem), (Lines{"AT", "AAAAT", "AT&&F", "ATI5", "AT&&FFL"}));
}

} // namespace
