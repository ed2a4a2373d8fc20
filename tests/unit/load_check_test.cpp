// The load file checked whole before any port is opened: one row for each
// reason a file is refused, with the words the technician reads, and the
// files that must pass (srec_cat's, for each data record type, in either
// hex case).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <ostream>

#include "fake/fake.h"
#include "flash/flash.h"

namespace {

const std::string S0 = "S00600004844521B\n", S1 = "S113000000112233445566778899AABBCCDDEEFFF4\n",
                  S9 = "S9030000FC\n";
const std::string NOTHING_SENT = "\nNothing was sent to the modem.";

struct Row {
    const char *name;
    std::string text;   // the file; "@name": that test data file, "@name lower": with its hex digits in lower case
    std::string reason; // "" when the file is accepted; else the message after "Line 2 of <path>: "
};
std::ostream &operator<<(std::ostream &o, const Row &r) { return o << r.name; }

// The faulty line is always line 2, between a header and a good data record.
std::string line2(const std::string &bad) { return S0 + bad + "\n" + S1 + S9; }

const Row rows[] = {
    {"cut short", line2("S1F"), "the record is cut short."},
    {"no such record type", line2("S4030000FC"), "\"S4\" is not a record type a modem takes (S0 to S3, S5 to S9)."},
    {"a blank among the digits", line2("S1130000001122334455667788 9AABBCCDDEEFFF4"),
     "character 27 is ' ', not a hexadecimal digit."},
    {"a control byte among the digits", line2("S1130000001122334455667788\x7f" "9AABBCCDDEEFFF4"),
     "character 27 is the byte 7F, not a hexadecimal digit."},
    {"a digit missing", line2("S113000000112233445566778899AABBCCDDEEFFF"),
     "the record has an odd number of hexadecimal digits."},
    {"the byte count one too many", line2("S114000000112233445566778899AABBCCDDEEFFF4"),
     "the record says 20 bytes follow, the line holds 19."},
    {"an address too short for S2", line2("S2030000FC"),
     "an S2 record needs 3 address bytes and a checksum, it holds 3 bytes."},
    {"the checksum one off", line2("S113000000112233445566778899AABBCCDDEEFFF5"),
     "the checksum is F4, the record says F5."},
    {"a line of 522 characters", line2(std::string(522, 'X')),
     "the line is 522 characters long; at most 521 can be sent."},
    {"a line of 521 characters", line2(std::string(521, 'X')), ""},
    {"blank lines, other lines, lower-case digits", S0 + "\n; built today\n" +
     "S113000000112233445566778899aabbccddeefff4\n" + S9, ""},
    {"srec_cat S1", "@load_small.hex", ""},
    {"srec_cat S1 in lower case", "@load_small.hex lower", ""},
    {"srec_cat S2 with CR LF", "@load_S10.hex", ""},
    {"srec_cat S3", "@load_noheader.hex", ""},
};

class LoadCheck : public ::testing::TestWithParam<Row> {};

TEST_P(LoadCheck, RefusesWithTheReasonOrAccepts) {
    const Row &row = GetParam();
    std::string text = row.text;
    if (text[0] == '@') {
        size_t blank = text.find(' ');
        text = fake::read_file(fake::testdata(text.substr(1, blank - 1)));
        ASSERT_FALSE(text.empty());
        // Digits only: the record letter S stays as it is.
        if (blank != std::string::npos)
            for (size_t i = 0; i < text.size(); ++i)
                if (text[i] >= 'A' && text[i] <= 'F') text[i] = static_cast<char>(text[i] - 'A' + 'a');
    }
    std::string path = std::string(TEST_BINARY_DIR) + "/check-" + std::to_string(getpid()) + ".hex";
    fake::write_file(path, text);
    char message[512] = "";
    int ok = check_load_file(path.c_str(), message, sizeof message);
    unlink(path.c_str());
    EXPECT_EQ(ok, row.reason.empty() ? 1 : 0);
    EXPECT_EQ(message, row.reason.empty() ? "" : "Line 2 of " + path + ": " + row.reason + NOTHING_SENT);
}

INSTANTIATE_TEST_SUITE_P(, LoadCheck, ::testing::ValuesIn(rows), [](const auto &info) {
    std::string n = info.param.name;
    std::replace_if(n.begin(), n.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return n;
});

TEST(LoadCheckWholeFile, RefusesOneWithoutDataRecordsAndOneThatCannotBeRead) {
    std::string path = std::string(TEST_BINARY_DIR) + "/check-" + std::to_string(getpid()) + ".hex";
    fake::write_file(path, S0 + S9);
    char message[512] = "";
    EXPECT_EQ(check_load_file(path.c_str(), message, sizeof message), 0);
    EXPECT_EQ(message, path + " holds no data records (S1, S2 or S3): there is nothing to flash." + NOTHING_SENT);
    unlink(path.c_str());
    EXPECT_EQ(check_load_file(path.c_str(), message, sizeof message), 0);
    EXPECT_EQ(message, path + " cannot be read.");
}

} // namespace
