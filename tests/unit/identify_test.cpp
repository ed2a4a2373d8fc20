// The probe's paths, the load header and the compatibility rule.
#include <gtest/gtest.h>

#include <cstring>

#include "fake/fake.h"
#include "identify/identify.h"
#include "link/link.h"
#include "settings/settings.h"

namespace {

using Strings = std::vector<std::string>;
const std::string ERASE = "?MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash";
const std::string REFUSED = "!INCOMPATIBLE LOAD|IN RRFl and new load ";
const std::string SECTORS = "has a sector size mismatch\nActual sector = ";
const std::string CHECKSUMS = "has an RRFL checksum mismatch\n\tActual checksum = ";
const char *const OPENING = "AAAAT AT AAAAT AT&&F ";

// The commands on the line, without their CR and zero padding.
std::string commands() {
    std::string out;
    for (char c : fake::pc().line) out += c == '\r' ? " " : std::string(c ? 1 : 0, c);
    return out;
}

struct ProbeRow {
    const char *name;
    std::function<void(sim::ModemConfig &)> modem; // none: the replies answer instead, one a wait
    Strings replies;
    int result, open; // open: the port left open
    const char *sent; // after the opening
    std::string box;
    int sector, checksum;
    const char *settings = nullptr; // "atcmd|response" of the settings
    char answer = 'y';              // to the erase question
    const char *said = "";          // the log's word on why the port was given up
};

Strings ok4(std::string ident, std::string more = "") { // the opening answered, then these
    return more.empty() ? Strings{"OK", "OK", "OK", "OK", ident} : Strings{"OK", "OK", "OK", "OK", ident, more};
}
auto no_reply_to(std::string cmd) {
    return [cmd](sim::ModemConfig &c) { c.faults.push_back({.kind = sim::Fault::NoReply, .where = sim::Fault::Text, .text = cmd}); };
}
auto resident = [](sim::ModemConfig &c) { c.firmware_running = false; };
auto as_made = [](sim::ModemConfig &) {};

// The load is for an internal modem whose loader has 64-byte sectors and
// the checksum 1234, as the model's by default.
const ProbeRow probe_rows[] = {
    {"nothing answers", {}, {}, PROBE_NO_MODEM, false, "", "", 0, 0x777},
    {"no answer to ATI5", no_reply_to("ATI5"), {}, PROBE_NO_MODEM, false, "ATI5 ", "", 0, 0x777, nullptr, 'y', "Where's the ATI5???"},
    {"firmware whose loader fits", as_made, {}, PROBE_START_RRFL, true, "ATI5 AT&&FFL ", "", 64, 0x1234},
    {"firmware whose loader does not fit, erase", [](auto &c) { c.rrfl_sector = 16, c.rrfl_checksum = 0xBEEF; }, {},
     PROBE_NEED_LOADER, true, "ATI5 AT&&FFL ", ERASE, 16, 0xBEEF},
    {"firmware whose loader does not fit, no erase", [](auto &c) { c.rrfl_checksum = 0xBEEF; }, {}, PROBE_GIVE_UP, true,
     "ATI5 AT&&FFL ", ERASE, 64, 0xBEEF, nullptr, 'n'},
    {"firmware without a resident loader", [](auto &c) { c.rrfl_sector = 0; }, {}, PROBE_NEED_LOADER, true, "ATI5 AT&&FFL ",
     "", 0, 0x777},
    {"resident loader that fits", resident, {}, PROBE_RRFL_STARTED, true, "ATI5 AT&&FGO ", "", 64, 0x1234},
    {"resident loader that does not start", [](auto &c) { resident(c), no_reply_to("AT&&FGO")(c); }, {}, PROBE_NO_MODEM,
     false, "ATI5 AT&&FGO ", "", 64, 0x1234},
    {"resident loader with another checksum", [](auto &c) { resident(c), c.rrfl_checksum = 0x4321; }, {}, PROBE_GIVE_UP,
     true, "ATI5 ", REFUSED + CHECKSUMS + "4321\n\tLoad checksum = 1234\nUSE PREVIOUS LOAD !!!", 64, 0x4321},
    {"resident loader of another type", [](auto &c) { resident(c), c.type_letter = 'S'; }, {}, PROBE_GIVE_UP, true, "ATI5 ",
     REFUSED + "is incompatible (ISA)\nUSE PREVIOUS LOAD !!!", 64, 0x1234},
    // The settings' command: the type letter is the eighth byte of its reply.
    {"the settings' command and a reply they accept", as_made, {}, PROBE_GIVE_UP, true, "ATI3 AT&&FFL ", ERASE, 64, 0x1234,
     "ATI3|CONNECT^Quillmarch", 'n'},
    {"a reply the settings do not accept", as_made, {}, PROBE_NO_MODEM, false, "ATI3 ", "", 0, 0x777, "ATI3|CONNECT^RING"},
    {"an empty alternative accepts any reply", as_made, {}, PROBE_GIVE_UP, true, "ATI3 AT&&FFL ", ERASE, 64, 0x1234,
     "ATI3|CONNECT^", 'n'},
    {"an empty command in the settings", as_made, {}, PROBE_NO_MODEM, false, "", "", 0, 0x777, "|Quillmarch", 'y',
     "Failed AT command "},
    // Replies no modem model gives: where the sector token and the digits stand.
    {"no sector token", {}, ok4("ATI5\r\r\nI RRFL 1234 OK"), PROBE_GIVE_UP, true, "ATI5 ",
     REFUSED + SECTORS + " 0\n Load sector = 40\nUSE PREVIOUS LOAD !!!", 0, 0x777},
    {"both tokens after RRFL", {}, ok4("ATI5\r\r\nI RRFL,10,0000,40,1234 OK", "OK"), PROBE_RRFL_STARTED, true,
     "ATI5 AT&&FGO ", "", 64, 0x1234},
    {"both tokens in the loader facts", {}, ok4("ATI5\r\r\nI 56K OK", "FL 5678,10,1234,40, OK"), PROBE_START_RRFL, true,
     "ATI5 AT&&FFL ", "", 64, 0x1234},
    {"digits cut after the token", {}, ok4("ATI5\r\r\nI RRFL OK,40,1"), PROBE_GIVE_UP, true, "ATI5 ",
     REFUSED + CHECKSUMS + "ffffffff\n\tLoad checksum = 1234\nUSE PREVIOUS LOAD !!!", 64, -1, nullptr, 'y',
     "Actual chksum unreadable: fewer than four characters after the sector token"},
    {"digits cut before the token", {}, ok4("ATI5\r\r\nI 56K OK", "OK,40,"), PROBE_GIVE_UP, true, "ATI5 AT&&FFL ", ERASE,
     64, -1, nullptr, 'n', "Actual chksum unreadable: fewer than four characters before the sector token"},
    {"four digits at the very end after the token", {}, ok4("ATI5\r\r\nI RRFL OK,40,1234", "OK"), PROBE_RRFL_STARTED, true,
     "ATI5 AT&&FGO ", "", 64, 0x1234},
    {"four digits at the very start before the token", {}, ok4("ATI5\r\r\nI 56K OK", "1234,40, OK"), PROBE_START_RRFL, true,
     "ATI5 AT&&FFL ", "", 64, 0x1234},
};

TEST(Probe, Paths) {
    for (const ProbeRow &row : probe_rows) {
        SCOPED_TRACE(row.name);
        fake::reset();
        sim::ModemConfig cfg = fake::Job::quiet();
        cfg.custom_cmd = "ATI3", cfg.custom_reply = "S Quillmarch V.90";
        if (row.modem) row.modem(cfg);
        sim::Modem modem(cfg);
        fake::pc().ports[3] = row.modem ? &modem : nullptr, com_port = 3;
        for (auto &r : row.replies) fake::pc().looks.push_back({1, r});
        fake::pc().answer = [&](const std::string &) { return row.answer == 'n' ? PLAT_IDNO : PLAT_IDYES; };
        if (row.settings) {
            std::string s = row.settings, cmd = s.substr(0, s.find('|'));
            cfg_complete = 1, std::snprintf(cfg_modemname, 256, "Test Modem");
            std::snprintf(cfg_atcmd, 256, "%s%s", cmd.c_str(), cmd.empty() ? "" : "\r");
            std::snprintf(cfg_response, 256, "%s", s.substr(s.find('|') + 1).c_str());
        }
        load_modem_type = MODEM_INTERNAL, load_rrfl_sector = 64, load_rrfl_checksum = 0x1234;
        actual_rrfl_checksum = 0x777; // from an earlier port
        EXPECT_EQ(open_and_probe_port(), row.result);
        EXPECT_EQ(std::make_pair(fake::pc().open_ports(), hComm != nullptr), std::make_pair(row.open, row.open != 0));
        EXPECT_EQ(commands(), OPENING + std::string(row.sent));
        EXPECT_EQ(fake::pc().boxes, row.box.empty() ? Strings{} : Strings{row.box});
        EXPECT_EQ(std::make_pair(actual_sector_size, actual_rrfl_checksum), std::make_pair(row.sector, row.checksum));
        Strings shown{"[wait]", std::string(row.settings ? "Found Test Modem" : "Found Modem") + " on COM3.|RRFL is Not Compatible."};
        EXPECT_EQ(fake::pc().screens, Strings(shown.begin(), shown.begin() + (row.box == ERASE ? 2 : 1)));
        EXPECT_TRUE(fake::traced("writing to COM3:19200,n,8,1\n")); // the Wine runner's cue
        EXPECT_TRUE(!*row.said || fake::traced(row.said)) << row.said;
        EXPECT_TRUE(!row.settings || !row.open || actual_modem_type == MODEM_EXTERNAL);
    }
    // The type letter in either case, counted from the echo, past the line end of the previous reply.
    for (char letter : std::string("CcIiSsUuPp5")) {
        fake::reset();
        for (auto &r : ok4(std::string(std::islower(letter) ? "\r\n" : "") + "ATI5\r\r\n" + letter + " OK"))
            fake::pc().looks.push_back({1, r});
        fake::pc().ports[3] = nullptr, com_port = 3, open_and_probe_port();
        EXPECT_EQ(actual_modem_type, std::string("CISUP").find(static_cast<char>(std::toupper(letter))) + 1) << letter;
    }
}

TEST(Header, CharactersSixtyFiveToSeventyTwo) {
    // Characters 65..72: the checksum word low byte first, the type, the sector size.
    const struct { const char *chars; int type, sector, checksum; } cases[] = {
        {"34124940", MODEM_INTERNAL, 64, 0x1234}, {"34125340", MODEM_EXTERNAL, 64, 0x1234}, {"34125540", MODEM_USB, 64, 0x1234},
        {"34125040", MODEM_PCMCIA, 64, 0x1234}, {"34124340", MODEM_TOVARINDEL, 64, 0x1234}, {"34126940", MODEM_UNKNOWN, 64, 0x1234},
        {"ab005310", MODEM_EXTERNAL, 16, 0xab}, {"efbe5300", MODEM_EXTERNAL, 0, -7}, {"cdAB49G0", MODEM_INTERNAL, 16 * 23, 0xABCD},
        {"1234F940", MODEM_UNKNOWN, 0, -7}, {"", MODEM_UNKNOWN, -48 * 17, 0}, // "": a file shorter than the header, zero bytes
    };
    for (const auto &c : cases) {
        char header[LOAD_HEADER_CHARS + 1] = {};
        fake::reset(), std::memset(header, 'S', 65), std::memcpy(header + 65, c.chars, std::strlen(c.chars));
        load_modem_type = 9, load_rrfl_sector = 9, load_rrfl_checksum = -7, read_load_header(header);
        EXPECT_EQ(std::vector<int>({load_modem_type, load_rrfl_sector, load_rrfl_checksum}),
                  std::vector<int>({c.type, c.sector, c.checksum})) << c.chars;
        EXPECT_EQ(fake::traced("RRFL is NOT in new Load"), c.sector == 0 && c.type != MODEM_UNKNOWN) << c.chars; // for the log
    }
    // A stray byte adds its own code at its place.
    EXPECT_EQ(std::vector<int>({hex4_value("9fF0"), hex4_value("00G0"), hex4_value("000\xFF")}),
              std::vector<int>({0x9FF0, 71 * 16, 255}));
}

TEST(Header, CompatibleOnlyWhenAllFourHold) {
    const struct { std::function<void()> breaks; const char *refusal; } cases[] = {
        {[] {}, ""}, {[] { load_rrfl_sector = actual_sector_size = 0; }, "has NO RRFL\n"},
        {[] { load_type_ok = 0, load_modem_type = MODEM_TOVARINDEL; }, "is incompatible (Central Site)\n"},
        {[] { load_type_ok = 0, load_modem_type = MODEM_EXTERNAL; }, "is incompatible (Serial)\n"},
        {[] { load_type_ok = 0, load_modem_type = MODEM_USB; }, "is incompatible (an unknown modem type)\n"},
        {[] { load_type_ok = 0, load_modem_type = MODEM_PCMCIA; }, "is incompatible (PC Card)\n"},
        {[] { actual_sector_size = 16; }, "has a sector size mismatch\nActual sector = 10\n Load sector = 40\n"},
        {[] { actual_rrfl_checksum = 0xbeef, load_rrfl_checksum = 5; }, "has an RRFL checksum mismatch\n\tActual "
                                                                         "checksum = beef\n\tLoad checksum =  5\n"},
    };
    for (const auto &c : cases) {
        fake::reset();
        load_rrfl_sector = actual_sector_size = 64, load_rrfl_checksum = actual_rrfl_checksum = 0x1234, load_type_ok = 1, c.breaks();
        EXPECT_EQ(ldsAreCompat(), *c.refusal ? 0 : 1);
        if (*c.refusal) report_incompatible_load();
        EXPECT_EQ(fake::pc().boxes, *c.refusal ? Strings{REFUSED + c.refusal + "USE PREVIOUS LOAD !!!"} : Strings{});
    }
}

} // namespace
