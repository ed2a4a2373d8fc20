// Texts written one to a line (the log file's lines, the terminal program's
// output records and trace): a line end or another control byte inside a
// text shows as a backslash escape, so that a text never breaks its line.
#pragma once

#include <cstddef>
#include <string>

// Always escaped: \n, \r, \t by name, the other bytes below 0x20 and 0x7F as
// \xNN (two upper-case hex digits). What else is, by caller:
enum : unsigned {
    ESCAPE_BACKSLASH = 1, // as \\, so that every escape can be undone
    ESCAPE_QUOTE = 2,     // " as \", for a text in double quotes
    ESCAPE_HIGH = 4,      // bytes 0x80 to 0xFF as \xNN: the line is ASCII
};
std::string escape_text(const char *text, size_t n, unsigned also);
