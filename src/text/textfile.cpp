#include "text/textfile.h"

#include <cstdio>

namespace {
// Text mode ends the input at a Ctrl-Z, which old DOS tools put at the end
// of their files; nothing after it is read.
constexpr int CTRL_Z = 0x1A;
} // namespace

struct text_file {
    std::FILE *fp;
    int held;   // a byte read ahead while looking past a CR, or -2
    bool ended; // the end or a Ctrl-Z was read
};

text_file *text_open(const char *path) {
    std::FILE *fp = std::fopen(path, "rb");
    if (!fp) return nullptr;
    return new text_file{fp, -2, false};
}

static int raw_getc(text_file *f) {
    if (f->held != -2) {
        int c = f->held;
        f->held = -2;
        return c;
    }
    if (f->ended) return -1;
    int c = std::fgetc(f->fp);
    if (c == EOF || c == CTRL_Z) {
        f->ended = true;
        return -1;
    }
    return c;
}

int text_getc(text_file *f) {
    int c = raw_getc(f);
    if (c == '\r') {
        int next = raw_getc(f);
        if (next == '\n') return '\n';
        f->held = next;
    }
    return c;
}

int text_line(text_file *f, char *buf, int max, bool cr_ends, int *end) {
    int len = 0;
    for (;;) {
        int c = text_getc(f);
        if (c < 0 || c == TEXT_END_MARK) {
            f->ended = true;
            *end = TEXT_END_MARK;
            return len;
        }
        if (c == '\n' || (cr_ends && c == '\r')) {
            *end = c;
            return len;
        }
        if (len < max) buf[len] = static_cast<char>(c);
        ++len;
    }
}

size_t text_read(text_file *f, char *buf, size_t n) {
    size_t k = 0;
    while (k < n) {
        int c = text_getc(f);
        if (c < 0) break;
        buf[k++] = static_cast<char>(c);
    }
    return k;
}

void text_close(text_file *f) {
    if (!f) return;
    std::fclose(f->fp);
    delete f;
}

long file_size(const char *path) {
    std::FILE *fp = std::fopen(path, "rb");
    if (!fp) return -1;
    long n = -1;
    if (std::fseek(fp, 0, SEEK_END) == 0) n = std::ftell(fp);
    std::fclose(fp);
    return n;
}
