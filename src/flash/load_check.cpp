// The load file checked whole before any port is opened: a damaged file
// found half-way through programming leaves a modem without firmware.
#include <cstdio>
#include <cstring>

#include "flash/flash.h"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Address bytes of each record type; 0 for S4, which no load uses.
int address_bytes(char type) {
    switch (type) {
    case '0':
    case '1':
    case '5':
    case '9': return 2;
    case '2':
    case '6':
    case '8': return 3;
    case '3':
    case '7': return 4;
    default: return 0;
    }
}

// What is wrong with one S-record line, in a technician's words; nullptr
// when it is a good record. `why` holds texts that carry numbers.
const char *record_fault(const char *line, int len, char *why, size_t size) {
    if (len < 4) return "the record is cut short.";
    if (address_bytes(line[1]) == 0) {
        std::snprintf(why, size, "\"S%c\" is not a record type a modem takes (S0 to S3, S5 to S9).",
                      line[1] >= 32 && line[1] < 127 ? line[1] : '?');
        return why;
    }
    for (int i = 2; i < len; ++i)
        if (hex_value(line[i]) < 0) {
            unsigned char c = static_cast<unsigned char>(line[i]);
            if (c >= 32 && c < 127)
                std::snprintf(why, size, "character %d is '%c', not a hexadecimal digit.", i + 1,
                              c);
            else
                std::snprintf(why, size, "character %d is the byte %02X, not a hexadecimal digit.",
                              i + 1, c);
            return why;
        }
    if ((len - 2) % 2 != 0) return "the record has an odd number of hexadecimal digits.";
    int count = hex_value(line[2]) * 16 + hex_value(line[3]);
    int follow = (len - 4) / 2;
    if (count != follow) {
        std::snprintf(why, size, "the record says %d bytes follow, the line holds %d.", count,
                      follow);
        return why;
    }
    if (count < address_bytes(line[1]) + 1) {
        std::snprintf(why, size,
                      "an S%c record needs %d address bytes and a checksum, it holds %d bytes.",
                      line[1], address_bytes(line[1]), count);
        return why;
    }
    unsigned sum = static_cast<unsigned>(count);
    for (int i = 4; i < len - 2; i += 2)
        sum += static_cast<unsigned>(hex_value(line[i]) * 16 + hex_value(line[i + 1]));
    unsigned want = ~sum & 0xFF;
    unsigned said = static_cast<unsigned>(hex_value(line[len - 2]) * 16 + hex_value(line[len - 1]));
    if (want != said) {
        std::snprintf(why, size, "the checksum is %02X, the record says %02X.", want, said);
        return why;
    }
    return nullptr;
}

// The value of a good record's address field: for S5 and S6 the number of
// data records before it.
long address_of(const char *line) {
    long value = 0;
    for (int i = 0; i < address_bytes(line[1]) * 2; ++i)
        value = value * 16 + hex_value(line[4 + i]);
    return value;
}

// A count record that disagrees with the data records before it means that
// records were lost (one deleted, say): the flash would not hold the load.
const char *count_fault(const char *line, int data_records, char *why, size_t size) {
    long said = address_of(line);
    if (said == data_records) return nullptr;
    std::snprintf(why, size, "the count record says %ld data records, the file holds %d before it.",
                  said, data_records);
    return why;
}

} // namespace

int check_load_file(const char *path, char *message, size_t size) {
    load_record_count = 0;
    text_file *f = text_open(path);
    if (!f) {
        std::snprintf(message, size, "%s cannot be read.", path);
        return 0;
    }
    char line[LINE_MAX_CHARS + 1];
    char why[128];
    int line_no = 0, data_records = 0, ok = 1;
    // The line of the last data record, and whether an end record followed
    // it: without one the file may have been cut short.
    int last_data = 0;
    bool end_after = false;
    // The first line that is neither blank nor a record. The modem answers
    // such a line, which is not waited for; its answer would be taken for the
    // next record's, and every answer after it for the record after.
    int stray_line = 0;
    char stray_start = 0;
    bool more = true;
    // Lines end where the sender ends them.
    while (ok && more) {
        int end;
        int len = text_line(f, line, LINE_MAX_CHARS, true, &end);
        more = end != TEXT_END_MARK;
        if (len == 0 && !more) break;
        ++line_no;
        const char *fault = nullptr;
        if (len > LINE_MAX_CHARS) {
            std::snprintf(why, sizeof why,
                          "the line is %d characters long; at most %d can be sent.", len,
                          LINE_MAX_CHARS);
            fault = why;
        } else if (len > 0 && line[0] == 'S') {
            fault = record_fault(line, len, why, sizeof why);
            ++load_record_count;
            if (!fault && line[1] >= '1' && line[1] <= '3')
                ++data_records, last_data = line_no, end_after = false;
            if (!fault && (line[1] == '5' || line[1] == '6'))
                fault = count_fault(line, data_records, why, sizeof why);
            if (!fault && line[1] >= '7') end_after = true;
        } else if (len > 0 && !stray_line) {
            stray_line = line_no;
            stray_start = line[0];
        }
        if (fault) {
            std::snprintf(message, size, "Line %d of %s: %s\nNothing was sent to the modem.",
                          line_no, path, fault);
            ok = 0;
        }
    }
    text_close(f);
    if (ok && data_records == 0) {
        std::snprintf(message, size,
                      "%s holds no data records (S1, S2 or S3): there is nothing to flash.\n"
                      "Nothing was sent to the modem.",
                      path);
        ok = 0;
    } else if (ok && stray_line) {
        unsigned char c = static_cast<unsigned char>(stray_start);
        if (c >= 32 && c < 127) std::snprintf(why, sizeof why, "'%c'", c);
        else std::snprintf(why, sizeof why, "the byte %02X", c);
        std::snprintf(
            message, size,
            "Line %d of %s begins with %s: it is not an S-record, and the file is damaged.\n"
            "Nothing was sent to the modem.",
            stray_line, path, why);
        ok = 0;
    } else if (ok && !end_after) {
        std::snprintf(message, size,
                      "Line %d of %s: the last data record, with no end record (S7, S8 or S9) "
                      "after it: the file is cut short.\nNothing was sent to the modem.",
                      last_data, path);
        ok = 0;
    }
    return ok;
}
