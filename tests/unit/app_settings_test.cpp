// The settings file: its key table, the edge cases of each key, and the
// private-profile rules of the portable reader.
#include <cstring>

#include "app_fixture.h"
#include "platform/profile.h"

namespace {

using apptest::AppTest;

class Settings : public AppTest {};

TEST_F(Settings, EveryKeyOfTheTableIsStoredAsItsRuleSays) {
    write_settings("[FlashInfo]\r\n"
                   "NoPopUps=yes\r\n"
                   "SkipFlush=YES\r\n"
                   "modemname=Test Modem\r\n"
                   "filename=C:\\loads\\modem.hex\r\n"
                   "atcmd=ATI5\r\n"
                   "response=OK^READY\r\n"
                   "atchecksum=AT&&FC\r\n"
                   "checksumresponse=CS OK\r\n");
    EXPECT_EQ(read_settings(), 1);
    EXPECT_EQ(no_popups, 1);
    EXPECT_EQ(skip_flush, 1);
    EXPECT_STREQ(cfg_modemname, "Test Modem");
    EXPECT_STREQ(cfg_filename, "C:\\loads\\modem.hex");
    EXPECT_STREQ(cfg_atcmd, "ATI5\r");
    EXPECT_STREQ(cfg_response, "OK^READY"); // the ^ kept, the list whole
    EXPECT_STREQ(cfg_atchecksum, "AT&&FC\r");
    EXPECT_STREQ(cfg_checksumresponse, "CS OK");
}

TEST_F(Settings, OnlyYesInAnyCaseSwitchesAFlagOn) {
    struct Case {
        const char *value;
        int on;
    } cases[] = {{"YES", 1}, {"Yes", 1}, {"yes", 1}, {"yEs", 1}, {" yes ", 1}, {"\"yes\"", 1},
                 {"y", 0},   {"1", 0},   {"true", 0}, {"yes!", 0}, {"no", 0},  {"", 0}};
    for (const Case &c : cases) {
        write_settings(std::string("[FlashInfo]\nNoPopUps=") + c.value + "\nSkipFlush=" + c.value + "\n");
        read_settings();
        EXPECT_EQ(no_popups, c.on) << "NoPopUps=" << c.value;
        EXPECT_EQ(skip_flush, c.on) << "SkipFlush=" << c.value;
    }
}

TEST_F(Settings, CommandsAndResponsesAreEmptyWhenMissingEmptyOrMarkedEmpty) {
    for (const char *value : {"", "<empty>", "   ", "\"<empty>\""}) {
        write_settings(std::string("[FlashInfo]\natcmd=") + value + "\nresponse=" + value +
                       "\natchecksum=" + value + "\nchecksumresponse=" + value + "\n");
        read_settings();
        EXPECT_STREQ(cfg_atcmd, "") << value;
        EXPECT_STREQ(cfg_response, "") << value;
        EXPECT_STREQ(cfg_atchecksum, "") << value;
        EXPECT_STREQ(cfg_checksumresponse, "") << value;
    }
    // Only the exact text "<empty>" means not set.
    write_settings("[FlashInfo]\natcmd=<EMPTY>\nresponse=<empty> \n");
    read_settings();
    EXPECT_STREQ(cfg_atcmd, "<EMPTY>\r");
    EXPECT_STREQ(cfg_response, "");
    // A key that is not there at all.
    write_settings("[FlashInfo]\nmodemname=M\nfilename=f.hex\natchecksum=ATCS\n");
    EXPECT_EQ(read_settings(), 1);
    EXPECT_STREQ(cfg_atcmd, "");
    EXPECT_STREQ(cfg_atchecksum, "ATCS\r");
    EXPECT_STREQ(cfg_checksumresponse, "");
}

TEST_F(Settings, CompleteOnlyWithBothModemNameAndFileName) {
    write_settings("[FlashInfo]\nmodemname=Test Modem\n");
    EXPECT_EQ(read_settings(), 0);
    EXPECT_STREQ(cfg_modemname, "Test Modem");
    EXPECT_STREQ(cfg_filename, "");
    write_settings("[FlashInfo]\nfilename=modem.hex\nmodemname=\n");
    EXPECT_EQ(read_settings(), 0);
    write_settings("[FlashInfo]\nfilename=modem.hex\nmodemname=Test Modem\n");
    EXPECT_EQ(read_settings(), 1);
}

TEST_F(Settings, NoFileOrNoSectionGivesEveryDefault) {
    for (bool with_file : {false, true}) {
        if (with_file) write_settings("[Other]\nmodemname=Test Modem\nfilename=modem.hex\nNoPopUps=yes\n");
        EXPECT_EQ(read_settings(), 0);
        EXPECT_EQ(no_popups, 0);
        EXPECT_EQ(skip_flush, 0);
        for (const char *t : {cfg_modemname, cfg_filename, cfg_atcmd, cfg_response, cfg_atchecksum,
                              cfg_checksumresponse})
            EXPECT_STREQ(t, "");
    }
}

TEST_F(Settings, LongValuesAreCutTo254CharactersAndCommandsStillGetTheirReturn) {
    std::string v300(300, 'x');
    std::string v254(254, 'y');
    write_settings("[FlashInfo]\nmodemname=" + v300 + "\nfilename=" + v254 + "\natcmd=" + v300 +
                   "\natchecksum=" + v254 + "\nresponse=" + v300 + "\n");
    EXPECT_EQ(read_settings(), 1);
    EXPECT_EQ(std::string(cfg_modemname), v300.substr(0, 254));
    EXPECT_EQ(std::string(cfg_filename), v254);
    EXPECT_EQ(std::string(cfg_atcmd), v300.substr(0, 254) + "\r");
    EXPECT_EQ(std::string(cfg_atchecksum), v254 + "\r");
    EXPECT_EQ(std::string(cfg_response), v300.substr(0, 254));
}

TEST_F(Settings, AFolderTooLongForThePathOrNoFolderGivesTheDefaults) {
    write_settings("[FlashInfo]\nmodemname=M\nfilename=f.hex\n");
    EXPECT_EQ(read_flash_settings(nullptr, cfg_modemname, cfg_filename), 0);
    EXPECT_STREQ(cfg_modemname, "");
    // 242 characters of folder leave no room for "\flashfile.ini" and the zero.
    std::string folder = dir.string() + "/" + std::string(242 - dir.string().size() - 1, 'd');
    ASSERT_EQ(folder.size(), 242u);
    write_file(std::filesystem::path(folder) / "flashfile.ini", "[FlashInfo]\nmodemname=M\nfilename=f.hex\n");
    EXPECT_EQ(read_flash_settings(folder.c_str(), cfg_modemname, cfg_filename), 0);
    EXPECT_STREQ(cfg_modemname, "");
    // 241 still fit.
    folder.pop_back();
    write_file(std::filesystem::path(folder) / "flashfile.ini", "[FlashInfo]\nmodemname=M\nfilename=f.hex\n");
    EXPECT_EQ(read_flash_settings(folder.c_str(), cfg_modemname, cfg_filename), 1);
}

// The reader's own rules; the Wine test compares it with the real call on
// many more files.
class ProfileReader : public AppTest {
protected:
    std::string read(const std::string &section, const std::string &key, const char *def = "",
                     uint32_t capacity = 255, uint32_t *count = nullptr, const char *file = "p.ini") {
        char out[512];
        std::memset(out, '#', sizeof out);
        uint32_t n = profile_read_string(section.c_str(), key.c_str(), def, out, capacity,
                                         (dir / file).c_str());
        EXPECT_EQ(out[n], 0);
        EXPECT_EQ(out[capacity], '#'); // nothing written past the capacity
        EXPECT_EQ(n, std::strlen(out));
        if (count) *count = n;
        return out;
    }
};

TEST_F(ProfileReader, NamesIgnoreCaseAndBlanksAndTheFirstMatchWins) {
    write_file(dir / "p.ini", "modemname=before any section\r\n"
                              "[ flashinfo ]\r\n"
                              "  MODEMNAME  =  first  \r\n"
                              "modemname=second\r\n"
                              "[FlashInfo]\r\n"
                              "filename=in the second section\r\n");
    EXPECT_EQ(read("FlashInfo", "modemname"), "first");
    EXPECT_EQ(read(" FLASHINFO ", " ModemName "), "first");
    EXPECT_EQ(read("FlashInfo", "filename", "none"), "none");
}

TEST_F(ProfileReader, QuotesCommentsAndLineEnds) {
    write_file(dir / "p.ini", "[FlashInfo]\r"
                              "a=\"quoted\"\n"
                              "b='single'\r\n"
                              "c=\"mismatched'\n"
                              "d=\"\n"
                              ";e=commented\n"
                              "e=x ; not a comment\n"
                              "f\n");
    EXPECT_EQ(read("FlashInfo", "a"), "quoted");
    EXPECT_EQ(read("FlashInfo", "b"), "single");
    EXPECT_EQ(read("FlashInfo", "c"), "\"mismatched'");
    EXPECT_EQ(read("FlashInfo", "d"), "\"");
    EXPECT_EQ(read("FlashInfo", "e"), "x ; not a comment");
    EXPECT_EQ(read("FlashInfo", "f", "no value"), "no value");
}

TEST_F(ProfileReader, ValuesAreCutToTheCapacityLessOne) {
    write_file(dir / "p.ini", "[FlashInfo]\nlong=" + std::string(300, 'v') + "\nshort=abcdef\n");
    uint32_t n = 0;
    EXPECT_EQ(read("FlashInfo", "long", "", 255, &n), std::string(254, 'v'));
    EXPECT_EQ(n, 254u);
    EXPECT_EQ(read("FlashInfo", "short", "", 4), "abc");
    EXPECT_EQ(read("FlashInfo", "short", "", 1), "");
    EXPECT_EQ(read("FlashInfo", "missing", "default", 4), "def");
    // No file at all: the default.
    EXPECT_EQ(read("FlashInfo", "modemname", "<empty>", 255, nullptr, "none.ini"), "<empty>");
}

} // namespace
