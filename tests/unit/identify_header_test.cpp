// The load header as read from load files made with the project's
// generator (srec_cat underneath), through the text reader.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "identify/identify.h"
#include "link/link.h"
#include "platform/textfile.h"

namespace {

std::string data_dir() {
    std::string dir = std::string(TEST_BINARY_DIR) + "/identify_loads";
    std::filesystem::create_directories(dir);
    return dir;
}

// A small load made by the generator with `args`; made once per test run.
std::string make_load(const std::string &name, const std::string &args) {
    std::string path = data_dir() + "/" + name;
    std::string cmd = "python3 " + std::string(TEST_SOURCE_DIR) + "/scripts/make-load --quiet --size 2048 -o " +
                      path + " " + args;
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "make-load failed: " << cmd;
    return path;
}

struct Header : ::testing::Test {
    void SetUp() override {
        fake::reset();
        load_modem_type = load_rrfl_sector = load_rrfl_checksum = load_type_ok = 0;
        actual_sector_size = actual_rrfl_checksum = 0;
    }
    // What the sequencer does: the first 75 characters of the load, read as
    // a text stream, at the start of a buffer that holds nothing else.
    static void read_header_of(const std::string &path) {
        std::memset(rx_buffer, 0, sizeof rx_buffer);
        text_file *f = text_open(path.c_str());
        ASSERT_NE(f, nullptr) << path;
        text_read(f, rx_buffer, 75);
        text_close(f);
        read_load_header();
    }
};

TEST_F(Header, TypePairsOfTheTable) {
    const struct {
        const char *letter;
        int type;
        const char *trace;
    } cases[] = {
        {"I", 2, "Load Modem type is Internal"}, {"S", 3, "Load Modem type is External"},
        {"U", 4, "Load Modem type is USB"},      {"P", 5, "Load Modem type is PCMCIA"},
        {"C", 1, "Load Modem type is Tovarindel"},
        // A lower-case i is written 69: no type of the table.
        {"i", 0, "Load Modem type is Unknown"},
    };
    for (const auto &c : cases) {
        std::string path = make_load(std::string("type_") + (c.letter[0] == 'i' ? "lower_i" : c.letter) + ".hex",
                                     std::string("--type ") + c.letter + " --sector 40 --checksum 1234");
        fake::reset();
        read_header_of(path);
        EXPECT_EQ(load_modem_type, c.type) << c.letter;
        EXPECT_EQ(load_rrfl_sector, 64) << c.letter;
        EXPECT_EQ(fake::traces(), (std::vector<std::string>{c.trace, "RRFL is in new load (0x40)",
                                                            "Load chksum = 0x1234\n"}))
            << c.letter;
    }
}

TEST_F(Header, SectorPairsAndChecksum) {
    // Characters 65..68 hold 3412: low byte first, so the word is 0x1234.
    read_header_of(make_load("sector40.hex", "--type S --sector 40 --checksum 1234"));
    EXPECT_EQ(load_rrfl_sector, 64);
    EXPECT_EQ(load_rrfl_checksum, 0x1234);

    fake::reset();
    read_header_of(make_load("sector10.hex", "--type S --sector 10 --checksum 00ab"));
    EXPECT_EQ(load_rrfl_sector, 16);
    EXPECT_EQ(load_rrfl_checksum, 0xab);
    EXPECT_EQ(fake::traces(), (std::vector<std::string>{"Load Modem type is External",
                                                        "RRFL is in new load (0x10)", "Load chksum = 0x  ab\n"}));

    // No resident loader: the checksum is not read and keeps its value.
    fake::reset();
    load_rrfl_checksum = 0;
    read_header_of(make_load("sector00.hex", "--type S --sector 00 --checksum beef"));
    EXPECT_EQ(load_modem_type, 3);
    EXPECT_EQ(load_rrfl_sector, 0);
    EXPECT_EQ(load_rrfl_checksum, 0);
    EXPECT_EQ(fake::traces(), (std::vector<std::string>{"Load Modem type is External", "RRFL is NOT in new Load"}));
}

TEST_F(Header, NoHeaderMeansNoTypeAndNoLoader) {
    load_modem_type = 3;
    load_rrfl_sector = 64;
    read_header_of(make_load("noheader.hex", "--no-header"));
    EXPECT_EQ(rx_buffer[69], 'F');
    EXPECT_EQ(load_modem_type, 0);
    EXPECT_EQ(load_rrfl_sector, 0);
    EXPECT_EQ(load_rrfl_checksum, 0);
    EXPECT_TRUE(fake::traces().empty());
    EXPECT_EQ(ldsAreCompat(), 0);
    EXPECT_EQ(fake::traces(), std::vector<std::string>{"ldsAreCompat() FAILED"});
}

TEST_F(Header, CrLfAndLfGiveTheSameValues) {
    std::string lf = make_load("lf.hex", "--type U --sector 10 --checksum c0de --seed 5");
    std::string crlf = make_load("crlf.hex", "--type U --sector 10 --checksum c0de --seed 5 --crlf");
    // The CR LF file really differs in its raw bytes before character 65.
    std::FILE *raw = std::fopen(crlf.c_str(), "rb");
    ASSERT_NE(raw, nullptr);
    char head[80] = {};
    ASSERT_EQ(std::fread(head, 1, sizeof head, raw), sizeof head);
    std::fclose(raw);
    ASSERT_NE(std::memchr(head, '\r', sizeof head), nullptr);

    read_header_of(lf);
    const int lf_values[3] = {load_modem_type, load_rrfl_sector, load_rrfl_checksum};
    auto lf_traces = fake::traces();
    fake::reset();
    load_modem_type = load_rrfl_sector = load_rrfl_checksum = 0;
    read_header_of(crlf);
    EXPECT_EQ(lf_values[0], 4);
    EXPECT_EQ(lf_values[1], 16);
    EXPECT_EQ(lf_values[2], 0xc0de);
    EXPECT_EQ(load_modem_type, lf_values[0]);
    EXPECT_EQ(load_rrfl_sector, lf_values[1]);
    EXPECT_EQ(load_rrfl_checksum, lf_values[2]);
    EXPECT_EQ(fake::traces(), lf_traces);
}

TEST_F(Header, FileShorterThanTheHeader) {
    // The positions past the end keep their zero bytes and the same rules
    // apply: no table type, a nonzero (negative) sector size that no modem
    // reports, and zero bytes adding nothing to the checksum.
    std::string path = data_dir() + "/short.hex";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("S00600004844521B\r\nS9030000FC\r\n", f);
    std::fclose(f);
    read_header_of(path);
    EXPECT_EQ(load_modem_type, 0);
    EXPECT_EQ(load_rrfl_sector, -48 * 16 - 48);
    EXPECT_EQ(load_rrfl_checksum, 0);
    EXPECT_EQ(fake::traces(), (std::vector<std::string>{"Load Modem type is Unknown", "RRFL is in new load (0xfffffcd0)",
                                                        "Load chksum = 0x   0\n"}));
    actual_sector_size = 64;
    load_type_ok = 1;
    EXPECT_EQ(ldsAreCompat(), 0);
}

} // namespace
