// The probe's paths, the load header and the compatibility rule.
#include <gtest/gtest.h>

#include <cstring>

#include "fake/fake.h"
#include "identify/identify.h"
#include "link/link.h"
#include "settings/settings.h"
#include "status/status.h"

namespace {

using Strings = std::vector<std::string>;

// The commands on the line, each without its zero padding.
Strings commands() {
    Strings out(1);
    for (char c : fake::pc().line)
        if (c)
            out.back() += c;
        else if (!out.back().empty())
            out.emplace_back();
    if (out.back().empty()) out.pop_back();
    return out;
}

const Strings OPENING = {"AAAAT\r", "AT\r", "AAAAT\r", "AT&&F\r"};
Strings opening(Strings more) {
    more.insert(more.begin(), OPENING.begin(), OPENING.end());
    return more;
}

struct ProbeRow {
    const char *name;
    std::function<void(sim::ModemConfig &)> modem; // none: `replies` answer instead
    Strings replies;                                // each wait's reply, all at once
    const char *answer;                             // to the erase question
    int result;
    bool open;
    Strings sent;
    std::string box;
    int sector, checksum;
};

const std::string ERASE = "?MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash";
const std::string REFUSED = "!INCOMPATIBLE LOAD|IN RRFl and new load ";
const Strings OK4 = {"OK", "OK", "OK", "OK"};
Strings ok4(Strings more) {
    more.insert(more.begin(), OK4.begin(), OK4.end());
    return more;
}
sim::Fault no_reply_to(const char *text) {
    sim::Fault f;
    f.kind = sim::Fault::NoReply;
    f.where = sim::Fault::Text;
    f.text = text;
    return f;
}

// The load is for an internal modem whose loader has 64-byte sectors and
// the checksum 1234, as the default modem's.
const ProbeRow probe_rows[] = {
    {"nothing answers", {}, {}, "", PROBE_NO_MODEM, false, OPENING, "", 0, 0x777},
    {"no answer to ATI5", [](auto &c) { c.faults.push_back(no_reply_to("ATI5")); }, {}, "", PROBE_NO_MODEM, false,
     opening({"ATI5\r"}), "", 0, 0x777},
    {"firmware whose loader fits", [](auto &) {}, {}, "", PROBE_START_RRFL, true, opening({"ATI5\r", "AT&&FFL\r"}), "",
     64, 0x1234},
    {"firmware whose loader does not fit, erase", [](auto &c) { c.rrfl_sector = 16, c.rrfl_checksum = 0xBEEF; }, {},
     "y", PROBE_NEED_LOADER, true, opening({"ATI5\r", "AT&&FFL\r"}), ERASE, 16, 0xBEEF},
    {"firmware whose loader does not fit, no erase", [](auto &c) { c.rrfl_checksum = 0xBEEF; }, {}, "n",
     PROBE_GIVE_UP, true, opening({"ATI5\r", "AT&&FFL\r"}), ERASE, 64, 0xBEEF},
    {"firmware without a resident loader", [](auto &c) { c.rrfl_sector = 0; }, {}, "", PROBE_NEED_LOADER, true,
     opening({"ATI5\r", "AT&&FFL\r"}), "", 0, 0x777},
    {"resident loader that fits", [](auto &c) { c.firmware_running = false; }, {}, "", PROBE_RRFL_STARTED, true,
     opening({"ATI5\r", "AT&&FGO\r"}), "", 64, 0x1234},
    {"resident loader that does not start",
     [](auto &c) { c.firmware_running = false, c.faults.push_back(no_reply_to("AT&&FGO")); }, {}, "", PROBE_NO_MODEM,
     false, opening({"ATI5\r", "AT&&FGO\r"}), "", 64, 0x1234},
    {"resident loader with another checksum", [](auto &c) { c.firmware_running = false, c.rrfl_checksum = 0x4321; },
     {}, "", PROBE_GIVE_UP, true, opening({"ATI5\r"}),
     REFUSED + "has an RRFL checksum mismatch\n\tActual checksum = 4321\n\tLoad checksum = 1234\nUSE PREVIOUS LOAD !!!",
     64, 0x4321},
    {"resident loader of another type", [](auto &c) { c.firmware_running = false, c.type_letter = 'S'; }, {}, "",
     PROBE_GIVE_UP, true, opening({"ATI5\r"}), REFUSED + "is incompatible (ISA)\nUSE PREVIOUS LOAD !!!", 64, 0x1234},
    // Replies no modem model gives: where the sector token and the digits stand.
    {"no sector token", {}, ok4({"ATI5\r\r\nI RRFL 1234 OK"}), "", PROBE_GIVE_UP, true, opening({"ATI5\r"}),
     REFUSED + "has a sector size mismatch\nActual sector =  0\n Load sector = 40\nUSE PREVIOUS LOAD !!!", 0, 0x777},
    {"both tokens after RRFL", {}, ok4({"ATI5\r\r\nI RRFL,10,0000,40,1234 OK", "OK"}), "", PROBE_RRFL_STARTED, true,
     opening({"ATI5\r", "AT&&FGO\r"}), "", 64, 0x1234},
    {"16-byte sectors after RRFL", {}, ok4({"ATI5\r\r\nI RRFL,10,1234 OK", "OK"}), "", PROBE_GIVE_UP, true,
     opening({"ATI5\r"}),
     REFUSED + "has a sector size mismatch\nActual sector = 10\n Load sector = 40\nUSE PREVIOUS LOAD !!!", 16, 0x1234},
    {"both tokens in the loader facts", {}, ok4({"ATI5\r\r\nI 56K OK", "FL 5678,10,1234,40, OK"}), "",
     PROBE_START_RRFL, true, opening({"ATI5\r", "AT&&FFL\r"}), "", 64, 0x1234},
    {"digits cut after the token", {}, ok4({"ATI5\r\r\nI RRFL OK,40,1"}), "", PROBE_GIVE_UP, true,
     opening({"ATI5\r"}),
     REFUSED + "has an RRFL checksum mismatch\n\tActual checksum = ffffffff\n\tLoad checksum = 1234\nUSE PREVIOUS LOAD !!!",
     64, -1},
    {"digits cut before the token", {}, ok4({"ATI5\r\r\nI 56K OK", "OK,40,"}), "n", PROBE_GIVE_UP, true,
     opening({"ATI5\r", "AT&&FFL\r"}), ERASE, 64, -1},
    {"four digits at the very end after the token", {}, ok4({"ATI5\r\r\nI RRFL OK,40,1234", "OK"}), "",
     PROBE_RRFL_STARTED, true, opening({"ATI5\r", "AT&&FGO\r"}), "", 64, 0x1234},
    {"digits at the very start before the token", {}, ok4({"ATI5\r\r\nI 56K OK", "1234,40, OK"}), "", PROBE_START_RRFL,
     true, opening({"ATI5\r", "AT&&FFL\r"}), "", 64, 0x1234},
};

void PrintTo(const ProbeRow &row, std::ostream *os) { *os << row.name; }

class Probe : public ::testing::TestWithParam<ProbeRow> {};

TEST_P(Probe, Paths) {
    const ProbeRow &row = GetParam();
    fake::reset();
    sim::ModemConfig cfg;
    cfg.line_rate = 0;
    if (row.modem) row.modem(cfg);
    sim::Modem modem(cfg);
    fake::pc().ports[3] = row.modem ? &modem : nullptr;
    for (auto &r : row.replies) fake::pc().looks.push_back({1, r});
    fake::pc().answer = [&](const std::string &) { return *row.answer == 'n' ? PLAT_IDNO : PLAT_IDYES; };
    com_port = 3;
    load_modem_type = MODEM_INTERNAL, load_rrfl_sector = 64, load_rrfl_checksum = 0x1234;
    actual_rrfl_checksum = 0x777; // from an earlier port
    EXPECT_EQ(open_and_probe_port(), row.result);
    EXPECT_EQ(fake::pc().open_ports(), row.open ? 1 : 0);
    EXPECT_EQ(hComm != nullptr, row.open);
    EXPECT_EQ(commands(), row.sent);
    EXPECT_EQ(fake::pc().boxes, row.box.empty() ? Strings{} : Strings{row.box});
    EXPECT_EQ(std::make_pair(actual_sector_size, actual_rrfl_checksum), std::make_pair(row.sector, row.checksum));
    Strings shown{"[wait]"};
    if (row.box == ERASE) shown.push_back("Found Modem on COM3.|RRFL is Not Compatible.");
    EXPECT_EQ(fake::pc().screens, shown);
}

INSTANTIATE_TEST_SUITE_P(, Probe, ::testing::ValuesIn(probe_rows), [](const auto &info) {
    std::string n;
    for (const char *c = info.param.name; *c; ++c) n += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return n;
});

TEST(ProbeType, LetterAtIndexSevenInEitherCase) {
    for (auto [letter, type] : {std::pair<char, int>{'C', 1}, {'c', 1}, {'I', 2}, {'i', 2}, {'S', 3}, {'s', 3},
                                {'U', 4}, {'u', 4}, {'P', 5}, {'p', 5}, {'5', 0}}) {
        fake::reset();
        fake::pc().looks = {{1, "OK"}, {1, "OK"}, {1, "OK"}, {1, "OK"}, {1, std::string("ATI5\r\r\n") + letter + " OK"}};
        fake::pc().ports[3] = nullptr;
        com_port = 3;
        open_and_probe_port();
        EXPECT_EQ(actual_modem_type, type) << letter;
    }
}

// The settings' identification command and the replies it accepts.
TEST(ProbeType, SettingsCommand) {
    const struct {
        const char *atcmd, *response;
        int result;
        Strings sent;
        const char *screen;
    } cases[] = {
        {"ATI3\r", "CONNECT^Quillmarch", PROBE_GIVE_UP, opening({"ATI3\r", "AT&&FFL\r"}),
         "Found A Long Modem Name on COM3.|RRFL is Not Compatible."},
        {"ATI3\r", "CONNECT^RING", PROBE_NO_MODEM, opening({"ATI3\r"}), nullptr},
        {"", "Quillmarch", PROBE_NO_MODEM, OPENING, nullptr}, // nothing answers an empty command
    };
    for (const auto &c : cases) {
        fake::reset();
        sim::ModemConfig cfg;
        cfg.line_rate = 0;
        cfg.custom_cmd = "ATI3";
        cfg.custom_reply = "S Quillmarch V.90"; // the eighth byte read: S
        sim::Modem modem(cfg);
        fake::pc().ports[3] = &modem;
        fake::pc().answer = [](const std::string &) { return PLAT_IDNO; };
        com_port = 3, cfg_complete = 1;
        std::strcpy(cfg_modemname, "A Long Modem Name");
        std::strcpy(cfg_atcmd, c.atcmd);
        std::strcpy(cfg_response, c.response);
        EXPECT_EQ(open_and_probe_port(), c.result) << c.response;
        EXPECT_EQ(commands(), c.sent);
        EXPECT_EQ(fake::pc().open_ports(), c.screen ? 1 : 0);
        EXPECT_EQ(fake::pc().screens.size(), c.screen ? 2u : 1u);
        EXPECT_EQ(fake::pc().screens.back(), c.screen ? c.screen : "[wait]");
        EXPECT_EQ(actual_modem_type, c.screen ? MODEM_EXTERNAL : MODEM_UNKNOWN);
    }
}

TEST(Header, CharactersSixtyFiveToSeventyTwo) {
    const struct {
        const char *chars; // 65..72: the checksum word low byte first, the type, the sector size
        int type, sector, checksum;
    } cases[] = {
        {"34124940", MODEM_INTERNAL, 64, 0x1234}, {"34125340", MODEM_EXTERNAL, 64, 0x1234},
        {"34125540", MODEM_USB, 64, 0x1234},      {"34125040", MODEM_PCMCIA, 64, 0x1234},
        {"34124340", MODEM_TOVARINDEL, 64, 0x1234}, {"34126940", MODEM_UNKNOWN, 64, 0x1234},
        {"ab005310", MODEM_EXTERNAL, 16, 0xab},   {"efbe5300", MODEM_EXTERNAL, 0, -7},
        {"cdAB49G0", MODEM_INTERNAL, 16 * 23, 0xABCD}, {"1234F940", MODEM_UNKNOWN, 0, -7},
        {"", MODEM_UNKNOWN, -48 * 17, 0},          // a file shorter than the header: zero bytes
    };
    for (const auto &c : cases) {
        std::memset(rx_buffer, 0, sizeof rx_buffer);
        std::memset(rx_buffer, 'S', 65);
        std::memcpy(rx_buffer + 65, c.chars, std::strlen(c.chars));
        load_modem_type = 9, load_rrfl_sector = 9, load_rrfl_checksum = -7;
        read_load_header();
        EXPECT_EQ(std::vector<int>({load_modem_type, load_rrfl_sector, load_rrfl_checksum}),
                  std::vector<int>({c.type, c.sector, c.checksum}))
            << c.chars;
    }
    EXPECT_EQ(hex4_value("9fF0"), 0x9FF0);
    EXPECT_EQ(hex4_value("00G0"), 71 * 16); // a stray byte adds its own code at its place
    EXPECT_EQ(hex4_value("000\xFF"), 255);
}

TEST(Header, CompatibleOnlyWhenAllFourHold) {
    auto fitting = [] {
        load_rrfl_sector = actual_sector_size = 64;
        load_rrfl_checksum = actual_rrfl_checksum = 0x1234;
        load_type_ok = 1;
    };
    fitting();
    EXPECT_EQ(ldsAreCompat(), 1);
    const struct {
        std::function<void()> breaks;
        const char *refusal;
    } cases[] = {
        {[] { load_rrfl_sector = actual_sector_size = 0; }, "has NO RRFL\n"},
        {[] { load_type_ok = 0, load_modem_type = MODEM_TOVARINDEL; }, "is incompatible (Central Site)\n"},
        {[] { load_type_ok = 0, load_modem_type = MODEM_EXTERNAL; }, "is incompatible (Serial)\n"},
        {[] { load_type_ok = 0, load_modem_type = MODEM_USB; }, "is incompatible (an unknown modem type)\n"},
        {[] { load_type_ok = 0, load_modem_type = MODEM_PCMCIA; }, "is incompatible (PC Card)\n"},
        {[] { actual_sector_size = 16; }, "has a sector size mismatch\nActual sector = 10\n Load sector = 40\n"},
        {[] { actual_rrfl_checksum = 0xbeef, load_rrfl_checksum = 5; },
         "has an RRFL checksum mismatch\n\tActual checksum = beef\n\tLoad checksum =  5\n"},
    };
    for (const auto &c : cases) {
        fake::reset();
        fitting();
        c.breaks();
        EXPECT_EQ(ldsAreCompat(), 0);
        report_incompatible_load();
        EXPECT_EQ(fake::pc().boxes, Strings{REFUSED + c.refusal + "USE PREVIOUS LOAD !!!"});
    }
}

} // namespace
