// The probe's paths, the load header and the compatibility rule.
#include <gtest/gtest.h>

#include <cstring>

#include "fake/fake.h"
#include "identify/identify.h"
#include "link/link.h"
#include "settings/settings.h"

namespace {

using Strings = std::vector<std::string>;
using Modem = std::function<void(sim::ModemConfig &)>;
const std::string ERASE = "?MUST USE FULL ERASE !!! |Do you wish to Erase the Entire Flash";
const std::string REFUSED = "!INCOMPATIBLE LOAD|IN RRFl and new load ";
const std::string SECTORS = REFUSED + "has a sector size mismatch\nActual sector = ";
const std::string SUMS = REFUSED + "has an RRFL checksum mismatch\n\tActual checksum = ";
const std::string PREVIOUS = "\nUSE PREVIOUS LOAD !!!";

// The commands on the line, without their CR and zero padding.
std::string commands() {
    std::string out;
    for (char c : fake::pc().line) out += c == '\r' ? " " : std::string(c ? 1 : 0, c);
    return out;
}

Modem no_reply_to(std::string cmd) {
    return [cmd](sim::ModemConfig &c) {
        c.faults.push_back({.kind = sim::Fault::NoReply, .where = sim::Fault::Text, .text = cmd});
    };
}
void resident(sim::ModemConfig &c) { c.firmware_running = false; }
void as_made(sim::ModemConfig &) {}
// The opening answered, then these replies (a model gives none of them).
Strings ok4(std::string ident, std::string more = "") {
    Strings r{"OK", "OK", "OK", "OK", ident};
    if (!more.empty()) r.push_back(more);
    return r;
}

// The load fits the model's default loader (internal, 64-byte sectors, checksum 1234). `sent`:
// after "AAAAT AT AAAAT AT&&F"; the port stays open but for PROBE_NO_MODEM; `sector`, `sum`: as
// read.
struct ProbeRow {
    const char *name;
    Modem modem; // none: `replies` answer instead, one a wait
    int result;
    const char *sent;
    std::string box; // "" none
    int sector, sum;
    Strings replies = {};
    const char *settings = nullptr; // "atcmd|response" of the settings
    char answer = 'y';              // to the erase question
    const char *said = "";          // the log's word on why the port was given up
};
const ProbeRow probe_rows[] = {
    {"nothing answers", nullptr, PROBE_NO_MODEM, "", "", 0, 0x777},
    {"no answer to ATI5", no_reply_to("ATI5"), PROBE_NO_MODEM, "ATI5", "", 0, 0x777, Strings(),
     nullptr, 'y', "Where's the ATI5???"},
    {"firmware whose loader does not fit, erase",
     [](auto &c) { c.rrfl_sector = 16, c.rrfl_checksum = 0xBEEF; }, PROBE_NEED_LOADER,
     "ATI5 AT&&FFL", ERASE, 16, 0xBEEF},
    {"firmware without a resident loader", [](auto &c) { c.rrfl_sector = 0; }, PROBE_NEED_LOADER,
     "ATI5 AT&&FFL", "", 0, 0x777},
    {"resident loader that does not start", [](auto &c) { resident(c), no_reply_to("AT&&FGO")(c); },
     PROBE_NO_MODEM, "ATI5 AT&&FGO", "", 64, 0x1234},
    {"resident loader of another type", [](auto &c) { resident(c), c.type_letter = 'S'; },
     PROBE_GIVE_UP, "ATI5", REFUSED + "is incompatible (ISA)" + PREVIOUS, 64, 0x1234},
    // The settings' command: the type letter is the eighth byte of its reply.
    {"a reply the settings accept", as_made, PROBE_GIVE_UP, "ATI3 AT&&FFL", ERASE, 64, 0x1234,
     Strings(), "ATI3|CONNECT^Quillmarch", 'n'},
    {"a reply the settings do not accept", as_made, PROBE_NO_MODEM, "ATI3", "", 0, 0x777, Strings(),
     "ATI3|CONNECT^RING", 'y', "Can't match CONNECT^RING"},
    {"an empty alternative accepts any reply", as_made, PROBE_GIVE_UP, "ATI3 AT&&FFL", ERASE, 64,
     0x1234, Strings(), "ATI3|CONNECT^", 'n'},
    {"an empty command in the settings", as_made, PROBE_NO_MODEM, "", "", 0, 0x777, Strings(),
     "|Quillmarch", 'y', "Failed AT command "},
    // Where the sector token and the checksum digits stand.
    {"no sector token", nullptr, PROBE_GIVE_UP, "ATI5",
     SECTORS + " 0\n Load sector = 40" + PREVIOUS, 0, 0x777, ok4("ATI5\r\r\nI RRFL 1234 OK")},
    {"both tokens after RRFL", nullptr, PROBE_RRFL_STARTED, "ATI5 AT&&FGO", "", 64, 0x1234,
     ok4("ATI5\r\r\nI RRFL,10,0000,40,1234 OK", "OK")},
    {"digits cut after the token", nullptr, PROBE_GIVE_UP, "ATI5",
     SUMS + "ffffffff\n\tLoad checksum = 1234" + PREVIOUS, 64, -1, ok4("ATI5\r\r\nI RRFL OK,40,1"),
     nullptr, 'y', "Actual chksum unreadable: fewer than four characters after the sector token"},
    {"digits cut before the token", nullptr, PROBE_GIVE_UP, "ATI5 AT&&FFL", ERASE, 64, -1,
     ok4("ATI5\r\r\nI 56K OK", "OK,40,"), nullptr, 'n',
     "Actual chksum unreadable: fewer than four characters before the sector token"},
    {"four digits at the very end", nullptr, PROBE_RRFL_STARTED, "ATI5 AT&&FGO", "", 64, 0x1234,
     ok4("ATI5\r\r\nI RRFL OK,40,1234", "OK")},
    {"four digits at the very start", nullptr, PROBE_START_RRFL, "ATI5 AT&&FFL", "", 64, 0x1234,
     ok4("ATI5\r\r\nI 56K OK", "1234,40, OK")},
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
        fake::pc().answer = [&](auto &) { return row.answer == 'n' ? PLAT_IDNO : PLAT_IDYES; };
        if (row.settings) {
            std::string s = row.settings, cmd = s.substr(0, s.find('|'));
            cfg_complete = 1, std::snprintf(cfg_modemname, 256, "Test Modem");
            std::snprintf(cfg_atcmd, 256, "%s%s", cmd.c_str(), cmd.empty() ? "" : "\r");
            std::snprintf(cfg_response, 256, "%s", s.substr(s.find('|') + 1).c_str());
        }
        load_modem_type = MODEM_INTERNAL, load_rrfl_sector = 64, load_rrfl_checksum = 0x1234;
        actual_rrfl_checksum = 0x777; // from an earlier port
        EXPECT_EQ(open_and_probe_port(), row.result);
        bool open = row.result != PROBE_NO_MODEM;
        EXPECT_TRUE(fake::pc().open_ports() == open && (hComm != nullptr) == open);
        EXPECT_EQ(commands(),
                  "AAAAT AT AAAAT AT&&F " + std::string(row.sent) + (*row.sent ? " " : ""));
        EXPECT_EQ(fake::pc().boxes, row.box.empty() ? Strings{} : Strings{row.box});
        EXPECT_EQ(actual_sector_size, row.sector);
        EXPECT_EQ(actual_rrfl_checksum, row.sum);
        EXPECT_TRUE(fake::traced("writing to COM3:19200,n,8,1\n")); // the Wine runner's cue
        EXPECT_TRUE(!*row.said || fake::traced(row.said)) << row.said;
        EXPECT_TRUE(!row.settings || !open || actual_modem_type == MODEM_EXTERNAL);
    }
    // The type letter in either case, counted from the echo, past the previous reply's line end.
    for (char letter : std::string("CcIiSsUuPp5")) {
        fake::reset(), fake::pc().ports[3] = nullptr, com_port = 3;
        std::string end = std::islower(letter) ? "\r\n" : "";
        for (auto &r : ok4(end + "ATI5\r\r\n" + letter + " OK")) fake::pc().looks.push_back({1, r});
        open_and_probe_port();
        size_t type = std::string("CISUP").find(static_cast<char>(std::toupper(letter))) + 1;
        EXPECT_EQ(actual_modem_type, static_cast<int>(type)) << letter;
    }
}

TEST(Header, CharactersSixtyFiveToSeventyTwo) {
    // The checksum word low byte first, the type, the sector size; "": a file shorter than the
    // header, zero bytes. A stray byte adds its own code at its place.
    const std::tuple<const char *, int, int, int> cases[] = {
        {"34124940", MODEM_INTERNAL, 64, 0x1234},   {"34125340", MODEM_EXTERNAL, 64, 0x1234},
        {"34125540", MODEM_USB, 64, 0x1234},        {"34125040", MODEM_PCMCIA, 64, 0x1234},
        {"34124340", MODEM_TOVARINDEL, 64, 0x1234}, {"34126940", MODEM_UNKNOWN, 64, 0x1234},
        {"ab005310", MODEM_EXTERNAL, 16, 0xab},     {"efbe5300", MODEM_EXTERNAL, 0, -7},
        {"cdAB49G0", MODEM_INTERNAL, 368, 0xABCD},  {"1234F940", MODEM_UNKNOWN, 0, -7},
        {"", MODEM_UNKNOWN, -48 * 17, 0},           {"9fF04940", MODEM_INTERNAL, 64, 0xF09F},
        {"G0004940", MODEM_INTERNAL, 64, 71 * 16},  {"0\377004940", MODEM_INTERNAL, 64, 255}};
    for (const auto &[chars, type, sector, checksum] : cases) {
        char header[LOAD_HEADER_CHARS + 1] = {};
        std::memset(header, 'S', 65), std::memcpy(header + 65, chars, std::strlen(chars));
        fake::reset(), load_modem_type = 9, load_rrfl_sector = 9, load_rrfl_checksum = -7;
        read_load_header(header);
        EXPECT_EQ(std::vector<int>({load_modem_type, load_rrfl_sector, load_rrfl_checksum}),
                  std::vector<int>({type, sector, checksum}))
            << chars;
        bool none = sector == 0 && type != MODEM_UNKNOWN; // for the log
        EXPECT_EQ(fake::traced("RRFL is NOT in new Load"), none) << chars;
    }
}

TEST(Header, CompatibleOnlyWhenAllFourHold) {
    auto type = [](int t) { return [t] { load_type_ok = 0, load_modem_type = t; }; };
    const std::tuple<std::function<void()>, const char *> cases[] = {
        {[] {}, ""},
        {[] { load_rrfl_sector = actual_sector_size = 0; }, "has NO RRFL\n"},
        {type(MODEM_TOVARINDEL), "is incompatible (Central Site)\n"},
        {type(MODEM_EXTERNAL), "is incompatible (Serial)\n"},
        {type(MODEM_USB), "is incompatible (an unknown modem type)\n"},
        {type(MODEM_PCMCIA), "is incompatible (PC Card)\n"},
        {[] { actual_sector_size = 16; }, "has a sector size mismatch\nActual sector = 10\n Load "
                                          "sector = 40\n"},
        {[] { actual_rrfl_checksum = 0xbeef, load_rrfl_checksum = 5; },
         "has an RRFL checksum mismatch\n\tActual checksum = beef\n\tLoad checksum =  5\n"},
    };
    for (const auto &[breaks, refusal] : cases) {
        fake::reset(), load_type_ok = 1;
        load_rrfl_sector = actual_sector_size = 64,
        load_rrfl_checksum = actual_rrfl_checksum = 0x1234;
        breaks();
        EXPECT_EQ(ldsAreCompat(), *refusal ? 0 : 1);
        if (*refusal) report_incompatible_load();
        Strings box{REFUSED + refusal + "USE PREVIOUS LOAD !!!"};
        EXPECT_EQ(fake::pc().boxes, *refusal ? box : Strings{});
    }
}

} // namespace
