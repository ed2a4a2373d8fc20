#include "platform/textfile.h"

#include <cstdio>

struct text_file {
    std::FILE *fp;
    int held; // a byte read ahead while looking past a CR, or -2
};

text_file *text_open(const char *path) {
    std::FILE *fp = std::fopen(path, "rb");
    if (!fp) return nullptr;
    return new text_file{fp, -2};
}

static int raw_getc(text_file *f) {
    if (f->held != -2) {
        int c = f->held;
        f->held = -2;
        return c;
    }
    int c = std::fgetc(f->fp);
    return c == EOF ? -1 : c;
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
