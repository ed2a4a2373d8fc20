// The real GetPrivateProfileStringA on the table that the portable settings
// reader is held to: prints each answer that differs, exits 1 if any does.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../unit/ini_cases.h"

int main() {
    for (const IniFile &f : ini_files) {
        FILE *out = std::fopen(f.name, "wb");
        if (!out || std::fputs(f.bytes, out) < 0 || std::fclose(out) != 0) return 2;
    }
    int differ = 0;
    for (const IniQuery &q : ini_queries) {
        char path[300], out[300];
        std::snprintf(path, sizeof path, ".\\%s", q.file);
        std::memset(out, '#', sizeof out);
        DWORD n = GetPrivateProfileStringA(q.section, q.key, q.def, out, q.capacity, path);
        if (n != q.count || std::strcmp(q.capacity ? out : "", q.value) != 0 ||
            out[q.capacity] != '#') {
            std::printf("%s [%s] %s: %lu \"%s\"; the table: %u \"%s\"\n", q.file, q.section, q.key,
                        static_cast<unsigned long>(n), out, q.count, q.value);
            ++differ;
        }
    }
    std::printf("%d of %u answers differ\n", differ,
                static_cast<unsigned>(sizeof ini_queries / sizeof *ini_queries));
    return differ != 0;
}
