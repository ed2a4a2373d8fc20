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

TEST_F(Header, TypeSectorAndChecksum) {
    using L = std::vector<std::string>;
    const struct {
        const char *file, *args;
        int type, sector, checksum;
        L traces;
    } cases[] = {
        {"type_I.hex", "--type I --sector 40 --checksum 1234", 2, 64, 0x1234,
         {"Load Modem type is Internal", "RRFL is in new load (0x40)", "Load chksum = 0x1234\n"}},
        {"type_S.hex", "--type S --sector 40 --checksum 1234", 3, 64, 0x1234,
         {"Load Modem type is External", "RRFL is in new load (0x40)", "Load chksum = 0x1234\n"}},
        {"type_U.hex", "--type U --sector 40 --checksum 1234", 4, 64, 0x1234,
         {"Load Modem type is USB", "RRFL is in new load (0x40)", "Load chksum = 0x1234\n"}},
        {"type_P.hex", "--type P --sector 40 --checksum 1234", 5, 64, 0x1234,
         {"Load Modem type is PCMCIA", "RRFL is in new load (0x40)", "Load chksum = 0x1234\n"}},
        {"type_C.hex", "--type C --sector 40 --checksum 1234", 1, 64, 0x1234,
         {"Load Modem type is Tovarindel", "RRFL is in new load (0x40)", "Load chksum = 0x1234\n"}},
        // A lower-case i is written 69: no type of the table.
        {"type_lower_i.hex", "--type i --sector 40 --checksum 1234", 0, 64, 0x1234,
         {"Load Modem type is Unknown", "RRFL is in new load (0x40)", "Load chksum = 0x1234\n"}},
        // Characters 65..68 hold the word low byte first.
        {"sector10.hex", "--type S --sector 10 --checksum 00ab", 3, 16, 0xab,
         {"Load Modem type is External", "RRFL is in new load (0x10)", "Load chksum = 0x  ab\n"}},
        // No resident loader: the checksum is not read and keeps its value.
        {"sector00.hex", "--type S --sector 00 --checksum beef", 3, 0, -7,
         {"Load Modem type is External", "RRFL is NOT in new Load"}},
        // CR LF line ends give what LF gives.
        {"lf.hex", "--type U --sector 10 --checksum c0de --seed 5", 4, 16, 0xc0de,
         {"Load Modem type is USB", "RRFL is in new load (0x10)", "Load chksum = 0xc0de\n"}},
        {"crlf.hex", "--type U --sector 10 --checksum c0de --seed 5 --crlf", 4, 16, 0xc0de,
         {"Load Modem type is USB", "RRFL is in new load (0x10)", "Load chksum = 0xc0de\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        std::string path = make_load(c.file, c.args);
        SetUp();
        load_rrfl_checksum = -7;
        read_header_of(path);
        EXPECT_EQ(load_modem_type, c.type);
        EXPECT_EQ(load_rrfl_sector, c.sector);
        EXPECT_EQ(load_rrfl_checksum, c.checksum);
        EXPECT_EQ(fake::traces(), c.traces);
    }
    // The CR LF file really differs in its raw bytes before character 65.
    std::FILE *raw = std::fopen((data_dir() + "/crlf.hex").c_str(), "rb");
    ASSERT_NE(raw, nullptr);
    char head[80] = {};
    ASSERT_EQ(std::fread(head, 1, sizeof head, raw), sizeof head);
    std::fclose(raw);
    EXPECT_NE(std::memchr(head, '\r', sizeof head), nullptr);
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
