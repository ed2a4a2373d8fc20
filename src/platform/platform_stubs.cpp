// Placeholder until the text reader and the profile reader land; delete with them.
#include "platform/profile.h"
#include "platform/textfile.h"
text_file *text_open(const char *) { return nullptr; }
int text_getc(text_file *) { return -1; }
size_t text_read(text_file *, char *, size_t) { return 0; }
void text_close(text_file *) {}
long file_size(const char *) { return -1; }
uint32_t profile_read_string(const char *, const char *, const char *def, char *out, uint32_t cap, const char *) {
    uint32_t n = 0;
    while (def[n] && n + 1 < cap) { out[n] = def[n]; ++n; }
    if (cap) out[n] = 0;
    return n;
}
