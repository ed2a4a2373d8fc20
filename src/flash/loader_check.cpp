// kivfldr.hex checked whole before the modem is asked to erase its flash:
// a loader file found missing or damaged after the erase leaves a modem with
// no firmware and no way to take a new one.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "flash/flash.h"
#include "status/status.h"

namespace {

constexpr const char *LOADER_FILE = "kivfldr.hex";
constexpr int END_RECORD = 1;
constexpr int LAST_RECORD_TYPE = 5;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// What is wrong with one Intel hex line, nullptr for a good record; its type
// goes to `type`.
const char *record_fault(const char *line, int len, int *type) {
    if (len > LINE_MAX_CHARS) return "the line is too long to send";
    if (line[0] != ':') return "it does not begin with ':' (not an Intel hex record)";
    if (len < 11 || (len - 1) % 2 != 0) return "the record is cut short";
    int sum = 0, bytes[5];
    for (int i = 1; i < len; i += 2) {
        int hi = hex_digit(line[i]), lo = hex_digit(line[i + 1]);
        if (hi < 0 || lo < 0) return "it holds a character that is not a hexadecimal digit";
        sum += hi * 16 + lo;
        if (i < 11) bytes[i / 2] = hi * 16 + lo;
    }
    if (bytes[0] != (len - 11) / 2) return "its byte count does not match the line";
    if ((sum & 0xFF) != 0) return "its checksum is wrong";
    *type = bytes[3];
    if (*type > LAST_RECORD_TYPE) return "its record type is unknown";
    return nullptr;
}

int refuse(const char *what) {
    char text[256];
    std::snprintf(text, sizeof text, "%s\nNothing was erased.", what);
    message_box(text, "Loader File Error", PLAT_MB_OK | PLAT_MB_ICONWARNING);
    return 0;
}

} // namespace

int check_loader_file() {
    char what[200];
    text_file *f = text_open(LOADER_FILE);
    if (!f) {
        std::snprintf(what, sizeof what, "%s: %s.", LOADER_FILE, std::strerror(errno));
        return refuse(what);
    }
    char line[LINE_MAX_CHARS + 1];
    const char *fault = nullptr;
    int line_no = 0, end = '\n';
    bool ended = false;
    // Lines as the loader thread reads them; blank ones are not sent.
    while (!fault && end != TEXT_END_MARK) {
        int len = text_line(f, line, LINE_MAX_CHARS, false, &end);
        ++line_no;
        int type = -1;
        if (len > 0) fault = record_fault(line, len, &type);
        if (type == END_RECORD) ended = true;
    }
    text_close(f);
    if (fault) std::snprintf(what, sizeof what, "Line %d of %s: %s.", line_no, LOADER_FILE, fault);
    else if (!ended)
        std::snprintf(what, sizeof what, "%s has no end record: the file is cut short.",
                      LOADER_FILE);
    return fault || !ended ? refuse(what) : 1;
}
