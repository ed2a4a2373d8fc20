// Reads INI keys and prints what came back, one line per query. Built for
// Windows it asks the real GetPrivateProfileStringA, built for Linux the
// project's own reader; a test compares the two outputs.
//
//   ini_dump QUERIES    each line of QUERIES: file|section|key|default|capacity
//                       (file relative to the current directory)
// Output: file|section|key|default|capacity|returned count|value, where the
// value shows bytes outside printable ASCII, '|' and '\' as \xHH.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
static unsigned read_string(const char *section, const char *key, const char *def, char *out,
                            unsigned capacity, const char *path) {
    return GetPrivateProfileStringA(section, key, def, out, capacity, path);
}
static const char DIR_PREFIX[] = ".\\";
#else
#include "platform/profile.h"
static unsigned read_string(const char *section, const char *key, const char *def, char *out,
                            unsigned capacity, const char *path) {
    return profile_read_string(section, key, def, out, capacity, path);
}
static const char DIR_PREFIX[] = "./";
#endif

static std::vector<std::string> split(const std::string &line) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t bar = line.find('|', start);
        f.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) return f;
        start = bar + 1;
    }
}

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ini_dump QUERIES\n");
        return 2;
    }
    FILE *q = std::fopen(argv[1], "rb");
    if (!q) {
        std::fprintf(stderr, "ini_dump: cannot open %s\n", argv[1]);
        return 2;
    }
    char raw[1024];
    while (std::fgets(raw, sizeof raw, q)) {
        std::string line = raw;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f = split(line);
        if (f.size() != 5) {
            std::fprintf(stderr, "ini_dump: bad query: %s\n", line.c_str());
            return 2;
        }
        std::string path = DIR_PREFIX + f[0];
        unsigned capacity = static_cast<unsigned>(std::strtoul(f[4].c_str(), nullptr, 10));
        // Poisoned past the capacity, to see whether anything is written there.
        std::vector<char> out(capacity + 16, '#');
        unsigned n = read_string(f[1].c_str(), f[2].c_str(), f[3].c_str(), out.data(), capacity, path.c_str());
        std::string shown;
        size_t len = capacity ? strnlen(out.data(), capacity) : 0;
        for (size_t i = 0; i < len; ++i) {
            unsigned char c = static_cast<unsigned char>(out[i]);
            char hex[8];
            if (c < 0x20 || c > 0x7e || c == '|' || c == '\\') {
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                shown += hex;
            } else {
                shown += static_cast<char>(c);
            }
        }
        if (capacity && len == capacity) shown += "<unterminated>";
        std::printf("%s|%u|%s\n", line.c_str(), n, shown.c_str());
    }
    std::fclose(q);
    return 0;
}
