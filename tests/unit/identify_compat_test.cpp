// hex4_value, the compatibility rule and the refusal the user sees.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "identify/identify.h"
#include "link/link.h"

namespace {

struct Compat : ::testing::Test {
    void SetUp() override {
        fake::reset();
        load_modem_type = load_rrfl_sector = load_rrfl_checksum = load_type_ok = 0;
        actual_modem_type = actual_sector_size = actual_rrfl_checksum = 0;
    }
    // One "INCOMPATIBLE LOAD" box with a warning icon and an OK button; its text.
    static std::string refusal() {
        report_incompatible_load();
        const auto &boxes = fake::state().boxes;
        EXPECT_EQ(boxes.size(), 1u);
        if (boxes.empty()) return {};
        EXPECT_EQ(boxes[0].caption, "INCOMPATIBLE LOAD");
        EXPECT_EQ(boxes[0].flags, unsigned(PLAT_MB_OK | PLAT_MB_ICONWARNING));
        return boxes[0].text;
    }
    static void fitting_pair() {
        load_rrfl_sector = actual_sector_size = 64;
        load_rrfl_checksum = actual_rrfl_checksum = 0x1234;
        load_type_ok = 1;
    }
};

TEST_F(Compat, Hex4ValueReadsDigitsMostSignificantFirst) {
    EXPECT_EQ(hex4_value("abcd"), 0xABCD);
    EXPECT_EQ(hex4_value("ABCD"), 0xABCD);
    EXPECT_EQ(hex4_value("0012"), 0x12);
    EXPECT_EQ(hex4_value("ffff"), 0xFFFF);
    // A stray byte adds its own code at its place: 'G' is 71.
    EXPECT_EQ(hex4_value("00G0"), 71 * 16);
    // Only four characters are read; no terminator is needed.
    const char five[5] = {'1', '2', '3', '4', '5'};
    EXPECT_EQ(hex4_value(five), 0x1234);
    // Bytes above 127 count as unsigned: 0xFF in the last place adds 255.
    const char high[4] = {'0', '0', '0', static_cast<char>(0xFF)};
    EXPECT_EQ(hex4_value(high), 255);
}

TEST_F(Compat, FitsOnlyWhenAllFourConditionsHold) {
    fitting_pair();
    EXPECT_EQ(ldsAreCompat(), 1);
    EXPECT_TRUE(fake::traces().empty());

    const std::function<void()> breaks[] = {
        [] { load_rrfl_sector = actual_sector_size = 0; }, // sizes equal, but no RRFL in the load
        [] { load_type_ok = 0; },
        [] { actual_sector_size = 16; },
        [] { actual_rrfl_checksum = 0x1235; },
        [] { actual_rrfl_checksum = -1; }, // a checksum that could not be read never fits
    };
    for (const auto &b : breaks) {
        fitting_pair();
        b();
        EXPECT_EQ(ldsAreCompat(), 0);
    }
    EXPECT_EQ(fake::traces(), std::vector<std::string>(5, "ldsAreCompat() FAILED"));
    EXPECT_TRUE(fake::state().boxes.empty());
}

TEST_F(Compat, RefusalTexts) {
    const struct {
        std::function<void()> setup;
        const char *text;
    } cases[] = {
        // The first reason that applies wins.
        {[] { load_type_ok = 1; }, "IN RRFl and new load has NO RRFL\nUSE PREVIOUS LOAD !!!"},
        {[] {
             fitting_pair();
             actual_rrfl_checksum = 0xbeef;
             load_rrfl_checksum = 5; // "%2x" pads on the left with a blank
         },
         "IN RRFl and new load has an RRFL checksum mismatch\n\tActual checksum = beef\n\tLoad checksum =  5\n"
         "USE PREVIOUS LOAD !!!"},
        {[] {
             fitting_pair();
             actual_sector_size = 16;
         },
         "IN RRFl and new load has a sector size mismatch\nActual sector = 10\n Load sector = 40\nUSE PREVIOUS LOAD !!!"},
    };
    for (const auto &c : cases) {
        SetUp();
        c.setup();
        EXPECT_EQ(refusal(), c.text);
    }
    // A load for another type names the type it is for.
    const struct {
        int type;
        const char *name;
    } types[] = {{0, "an unknown modem type"}, {1, "Central Site"}, {2, "ISA"}, {3, "Serial"},
                 {4, "an unknown modem type"}, {5, "PC Card"}, {9, "an unknown modem type"}};
    for (const auto &c : types) {
        SetUp();
        load_rrfl_sector = 64;
        load_modem_type = c.type;
        EXPECT_EQ(refusal(), std::string("IN RRFl and new load is incompatible (") + c.name + ")\nUSE PREVIOUS LOAD !!!")
            << c.type;
    }
}

} // namespace
