// The private-profile (INI) reading rules of GetPrivateProfileStringA as the
// Windows program meets them, for the builds and tests that have no Windows.
// The Wine agreement test holds this reader to the real call.
#include "text/profile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

bool is_blank(unsigned char c) {
    // ^Z is an old end-of-file mark and counts as a blank.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == 0x1a;
}

unsigned char fold(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

bool same_name(const char *a, size_t alen, const char *b, size_t blen) {
    if (alen != blen) return false;
    for (size_t i = 0; i < alen; ++i)
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void trim(const char *&begin, const char *&end) {
    while (begin < end && is_blank(static_cast<unsigned char>(*begin))) ++begin;
    while (end > begin && is_blank(static_cast<unsigned char>(end[-1]))) --end;
}

enum { FILE_READ, FILE_MISSING, FILE_UNREADABLE };

// A file that does not exist in an existing folder reads as an empty file;
// any other failure to open it gives the default untouched.
int read_whole_file(const char *path, std::string &text) {
    FILE *f = std::fopen(path, "rb");
    if (!f) {
        if (errno != ENOENT) return FILE_UNREADABLE;
        std::string folder = path;
        size_t sep = folder.find_last_of("/\\");
        folder = sep == std::string::npos ? "." : folder.substr(0, sep + 1);
        std::error_code ec;
        return std::filesystem::is_directory(folder, ec) ? FILE_MISSING : FILE_UNREADABLE;
    }
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    std::fclose(f);
    return FILE_READ;
}

// Finds the value of key in the first section called section. Lines before
// any section belong to a section without a name. The value stays unset for
// a key line without '=' and when the key is not in that first section.
bool find_value(const std::string &text, const char *section, const char *key, std::string &value) {
    const char *sec_b = section, *sec_e = section + std::strlen(section);
    const char *key_b = key, *key_e = key + std::strlen(key);
    trim(sec_b, sec_e);
    trim(key_b, key_e);

    const char *p = text.data();
    const char *end = p + text.size();
    if (text.size() >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;

    bool in_wanted = same_name("", 0, sec_b, static_cast<size_t>(sec_e - sec_b));
    bool seen_wanted = in_wanted;
    while (p < end) {
        // CR, LF and CR LF all end a line.
        const char *line = p;
        while (p < end && *p != '\n' && *p != '\r') ++p;
        const char *line_end = p;
        while (p < end && (*p == '\n' || *p == '\r')) ++p;
        trim(line, line_end);
        if (line >= line_end) continue;

        if (*line == '[') {
            const char *close = nullptr;
            for (const char *c = line_end; c > line; --c)
                if (c[-1] == ']') {
                    close = c - 1;
                    break;
                }
            if (close) {
                if (seen_wanted) return false; // only the first matching section counts
                const char *name = line + 1;
                trim(name, close);
                in_wanted = same_name(name, static_cast<size_t>(close - name), sec_b,
                                      static_cast<size_t>(sec_e - sec_b));
                seen_wanted = in_wanted;
                continue;
            }
            // Without a closing bracket the line is an ordinary key line.
        }
        if (!in_wanted) continue;

        const char *eq =
            static_cast<const char *>(std::memchr(line, '=', static_cast<size_t>(line_end - line)));
        const char *name_end = eq ? eq : line_end;
        while (name_end > line && is_blank(static_cast<unsigned char>(name_end[-1]))) --name_end;
        if (!same_name(line, static_cast<size_t>(name_end - line), key_b,
                       static_cast<size_t>(key_e - key_b)))
            continue;
        if (!eq) return false;
        const char *v = eq + 1;
        while (v < line_end && is_blank(static_cast<unsigned char>(*v))) ++v;
        value.assign(v, static_cast<size_t>(line_end - v));
        return true;
    }
    return false;
}

// Copies a value or default, without a pair of matching quotes around it,
// cut to capacity - 1 characters.
uint32_t copy_entry(const std::string &value, char *out, uint32_t capacity) {
    const char *v = value.c_str();
    size_t len = value.size();
    bool quoted = false;
    if (len >= 2 && (v[0] == '"' || v[0] == '\'') && v[len - 1] == v[0]) {
        quoted = true;
        ++v;
        --len; // the closing quote is still counted
    }
    size_t n = len < capacity - 1 ? len : capacity - 1;
    std::memcpy(out, v, n);
    out[n] = 0;
    if (quoted && capacity >= len && n > 0) out[--n] = 0;
    return static_cast<uint32_t>(n);
}

} // namespace

uint32_t profile_read_string(const char *section, const char *key, const char *def, char *out,
                             uint32_t capacity, const char *path) {
    if (!out || capacity == 0) return 0;
    // Trailing spaces of the default are dropped.
    std::string fallback = def ? def : "";
    while (fallback.size() > 1 && fallback.back() == ' ') fallback.pop_back();

    std::string text, value;
    int file = read_whole_file(path, text);
    if (file == FILE_UNREADABLE) {
        size_t n = fallback.size() < capacity - 1 ? fallback.size() : capacity - 1;
        std::memcpy(out, fallback.data(), n);
        out[n] = 0;
        return static_cast<uint32_t>(n);
    }
    if (file == FILE_READ && find_value(text, section, key, value))
        return copy_entry(value, out, capacity);
    return copy_entry(fallback, out, capacity);
}
