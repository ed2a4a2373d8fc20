// The load file checked before any port opens: a row for each reason to refuse one, in the words
// the technician reads, and the files that pass (srec_cat's, each data record type, either hex
// case).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <ostream>

#include "fake/fake.h"
#include "flash/flash.h"

namespace {

const std::string S0 = "S00600004844521B\n", S1 = "S113000000112233445566778899AABBCCDDEEFFF4\n",
                  S9 = "S9030000FC\n";
const std::string NOTHING_SENT = "\nNothing was sent to the modem.";

struct Row {
    const char *name;
    std::string text;    // the file ("-": none); "@name": that test data file, "@name lower": in
                         // lower-case digits
    std::string message; // "" when the file is accepted; '@' stands for its path
};
std::ostream &operator<<(std::ostream &o, const Row &r) { return o << r.name; }

// The faulty line is line 2, between a header and a good data record; what follows is never read.
std::string line2(const std::string &bad) { return S0 + bad + "\n" + S1 + S9 + "S\n;\n"; }
std::string on_line2(const std::string &reason) { return "Line 2 of @: " + reason + NOTHING_SENT; }
std::string no_type(const std::string &t) {
    return on_line2("\"S" + t + "\" is not a record type a modem takes (S0 to S3, S5 to S9).");
}
std::string no_digit(const std::string &c) {
    return on_line2("character " + c + ", not a hexadecimal digit.");
}
std::string stray(const std::string &start) {
    return "Line 2 of @ begins with " + start +
           ": it is not an S-record, and the file is damaged." + NOTHING_SENT;
}

const Row rows[] = {
    {"cut short", line2("S"), on_line2("the record is cut short.")},
    {"four characters are not cut short", line2("S103"),
     on_line2("the record says 3 bytes follow, the line holds 0.")},
    {"no such record type", line2("S4\00130000FC"),
     no_type("4")}, // the type alone is shown, whatever follows
    {"a blank for the type", line2("S \1770000FC"), no_type(" ")},
    {"a control byte for the type", line2("S\177030000FC"), no_type("?")},
    {"the count's first digit", line2("S1G30000"), no_digit("3 is 'G'")},
    {"a blank among the digits", line2("S1130000001122334455667788 9AABBCCDDEEFFF4"),
     no_digit("27 is ' '")},
    {"a control byte among the digits", line2("S1130000001122334455667788\1779AABBCCDDEEFFF4"),
     no_digit("27 is the byte 7F")},
    {"a digit missing", line2("S113000000112233445566778899AABBCCDDEEFFF"),
     on_line2("the record has an odd number of hexadecimal digits.")},
    {"the byte count one too many", line2("S114000000112233445566778899AABBCCDDEEFFF4"),
     on_line2("the record says 20 bytes follow, the line holds 19.")},
    {"an address too short for S2", line2("S2030000FC"),
     on_line2("an S2 record needs 3 address bytes and a checksum, it holds 3 bytes.")},
    {"the checksum one off", line2("S113000000112233445566778899AABBCCDDEEFFF5"),
     on_line2("the checksum is F4, the record says F5.")},
    {"a line of 522 characters", line2(std::string(522, 'X')),
     on_line2("the line is 522 characters long; at most 521 can be sent.")},
    {"no data records", S0 + S9,
     "@ holds no data records (S1, S2 or S3): there is nothing to flash." + NOTHING_SENT},
    {"no file", "-", "@ cannot be read."},
    {"a line of 521 characters is read as a record", line2("S1" + std::string(519, '0')),
     on_line2("the record has an odd number of hexadecimal digits.")},
    {"a line that is not a record", S0 + ";\n" + S1 + S9, stray("';'")},
    {"a faulty record after it, one character without a line end", S0 + ";\nS",
     "Line 3 of @: the record is cut short." + NOTHING_SENT},
    {"one that begins with a blank", S0 + " x\n" + S1 + S9, stray("' '")},
    {"one that begins with a control byte", S0 + "\x7f\n" + S1 + S9, stray("the byte 7F")},
    {"0xFF ends the file", S0 + S1 + S9 + "\xFF" + "S1\n", ""},
    {"a data record after the end record: cut short", S9 + S1,
     on_line2("the last data record, with no end record (S7, S8 or S9) after it: the file is cut "
              "short.")},
    {"the count record off in its high digit", line2("S5031001EB"),
     on_line2("the count record says 4097 data records, the file holds 0 before it.")},
    {"an S1 record without data bytes, a 24-bit count", S0 + "S1030000FC\nS604000001FA\n" + S9, ""},
    {"srec_cat S1", "@load_small.hex", ""},
    {"srec_cat S1 in lower case", "@load_small.hex lower", ""},
    {"srec_cat S2 with CR LF", "@load_S10.hex", ""},
};

class LoadCheck : public ::testing::TestWithParam<Row> {};

TEST_P(LoadCheck, RefusesWithTheReasonOrAccepts) {
    const Row &row = GetParam();
    std::string text = row.text, path = fake::scratch() + "/check.hex";
    if (text[0] == '@') {
        size_t blank = text.find(' ');
        text = fake::read_file(fake::testdata(text.substr(1, blank - 1)));
        ASSERT_FALSE(text.empty());
        for (char &c : text) // digits only: the record letter S stays as it is
            if (blank != std::string::npos && c >= 'A' && c <= 'F')
                c = static_cast<char>(c - 'A' + 'a');
    }
    if (text != "-") fake::write_file(path, text);
    char message[512] = "";
    int ok = check_load_file(path.c_str(), message, sizeof message);
    unlink(path.c_str());
    std::string want = row.message;
    for (size_t at; (at = want.find('@')) != std::string::npos;) want.replace(at, 1, path);
    EXPECT_EQ(ok, want.empty() ? 1 : 0);
    EXPECT_EQ(message, want);
}

INSTANTIATE_TEST_SUITE_P(, LoadCheck, ::testing::ValuesIn(rows), [](const auto &info) {
    std::string n = info.param.name;
    for (char &c : n) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
});

TEST(LoaderCheck, RefusesWithTheReasonOrAccepts) { // kivfldr.hex, before the erase question
    const std::string end = ":00000001ff\n", full = ":FF000000" + std::string(510, '0') + "01\n";
    const std::pair<std::string, std::string> rows[] = {
        {":01000000aa55\n:0400000500000000F7\n" + full + end, ""}, // lower case, 11 and 521 chars
        {":0g000001FF\n", "it holds a character that is not a hexadecimal digit"},
        {":0000\n", "the record is cut short"},
        {":00000006FA\n", "its record type is unknown"},
        {"x\n", "it does not begin with ':' (not an Intel hex record)"}};
    ASSERT_EQ(chdir(fake::scratch().c_str()), 0);
    for (auto &[text, why] : rows) {
        fake::reset(), fake::write_file("kivfldr.hex", text);
        EXPECT_EQ(check_loader_file(), why.empty());
        std::string box =
            "!Loader File Error|Line 1 of kivfldr.hex: " + why + ".\nNothing was erased.";
        EXPECT_EQ(fake::pc().boxes, std::vector<std::string>(!why.empty(), box)) << text;
    }
}

} // namespace
