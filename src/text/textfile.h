// Reading the load and loader files as a C text stream in mode "r" reads
// them on Windows: a CR directly before an LF is dropped, a Ctrl-Z (0x1A)
// ends the input, every other byte comes through. Same behaviour on every
// platform. Only <cstdio> inside.
#pragma once

#include <cstddef>

struct text_file;

text_file *text_open(const char *path);              // nullptr when the file cannot be opened
int text_getc(text_file *f);                         // next character 0..255, or -1 at the end
size_t text_read(text_file *f, char *buf, size_t n); // up to n characters
void text_close(text_file *f);
long file_size(const char *path); // bytes on disk, -1 when it cannot be opened

// Line by line, a byte 0xFF ends the text as its real end does: old tools
// fill the rest of a file with it. A line that the end closes is sent with
// this byte after its CR, where other lines have the character that ended
// them.
constexpr int TEXT_END_MARK = 0xFF;
// The next line, at most `max` characters of it into `buf` (no terminator);
// returns its whole length, more than `max` for a line too long to keep,
// whose rest is read and dropped. `*end` gets what ended it: '\n'; '\r' when
// `cr_ends` (a loader line ends at LF alone); or TEXT_END_MARK at the end of
// the text, after which nothing more is read.
int text_line(text_file *f, char *buf, int max, bool cr_ends, int *end);
