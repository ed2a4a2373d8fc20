// Reading the load and loader files as a C text stream in mode "r" reads
// them on Windows: a CR directly before an LF is dropped, a Ctrl-Z (0x1A)
// ends the input, every other byte comes through. Same behaviour on every
// platform. Only <cstdio> inside.
#pragma once

#include <cstddef>

struct text_file;

text_file *text_open(const char *path); // nullptr when the file cannot be opened
int text_getc(text_file *f);            // next character 0..255, or -1 at the end
size_t text_read(text_file *f, char *buf, size_t n); // up to n characters
void text_close(text_file *f);
long file_size(const char *path); // bytes on disk, -1 when it cannot be opened
