// The load file's header (characters 65..72 as read through a text stream),
// the rule that decides whether a modem's resident loader fits the load, and
// the refusal the user sees when it does not.
#include <cstdio>
#include <cstring>

#include "identify/identify.h"
#include "link/link.h"
#include "status/status.h"

namespace {

// Header bytes are taken as signed 8-bit values, as the header formulas
// expect.
int header_char(const char *header, int offset) { return static_cast<signed char>(header[offset]); }

int hex_digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c; // a stray byte adds its own code, carrying into higher digits
}

const char *refusal_type_name(int type) {
    switch (type) {
    case MODEM_TOVARINDEL: return "Central Site";
    case MODEM_INTERNAL: return "ISA";
    case MODEM_EXTERNAL: return "Serial";
    case MODEM_PCMCIA: return "PC Card";
    default: return "an unknown modem type";
    }
}

// Appends to trace_buf without ever running past its end.
void append_text(const char *text) {
    size_t used = std::strlen(trace_buf);
    std::snprintf(trace_buf + used, sizeof trace_buf - used, "%s", text);
}

// Formats one line of the refusal in msg_buf and appends it.
void append_number(const char *format, int value) {
    std::snprintf(msg_buf, sizeof msg_buf, format, static_cast<unsigned>(value));
    append_text(msg_buf);
}

} // namespace

void read_load_header(const char (&header)[LOAD_HEADER_CHARS + 1]) {
    if (header[69] == 'F') { // no header in this load
        load_modem_type = MODEM_UNKNOWN;
        load_rrfl_sector = 0;
        return;
    }

    int type_number = (header_char(header, 69) - '0') * 10 + (header_char(header, 70) - '0');
    const char *name;
    switch (type_number) {
    case 49:
        load_modem_type = MODEM_INTERNAL;
        name = "Internal";
        break;
    case 53:
        load_modem_type = MODEM_EXTERNAL;
        name = "External";
        break;
    case 55:
        load_modem_type = MODEM_USB;
        name = "USB";
        break;
    case 50:
        load_modem_type = MODEM_PCMCIA;
        name = "PCMCIA";
        break;
    case 43:
        load_modem_type = MODEM_TOVARINDEL;
        name = "Tovarindel";
        break;
    default:
        load_modem_type = MODEM_UNKNOWN;
        name = "Unknown";
        break;
    }
    std::snprintf(trace_buf, sizeof trace_buf, "Load Modem type is %s", name);
    debug_trace(trace_buf);

    load_rrfl_sector = (header_char(header, 71) - '0') * 16 + (header_char(header, 72) - '0');
    if (load_rrfl_sector == 0) {
        debug_trace("RRFL is NOT in new Load");
        return;
    }
    std::snprintf(trace_buf, sizeof trace_buf, "RRFL is in new load (0x%2x)",
                  static_cast<unsigned>(load_rrfl_sector));
    debug_trace(trace_buf);

    // The checksum word is stored low byte first.
    const char word[4] = {header[67], header[68], header[65], header[66]};
    load_rrfl_checksum = hex4_value(word);
    std::snprintf(msg_buf, sizeof msg_buf, "Load chksum = 0x%4x\n",
                  static_cast<unsigned>(load_rrfl_checksum));
    debug_trace(msg_buf);
}

int hex4_value(const char *p) {
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        value += hex_digit_value(static_cast<unsigned char>(p[i]));
        if (i < 3) value *= 16;
    }
    return value;
}

int ldsAreCompat() {
    if (load_rrfl_sector != 0 && load_type_ok != 0 && actual_sector_size == load_rrfl_sector &&
        actual_rrfl_checksum == load_rrfl_checksum)
        return 1;
    debug_trace("ldsAreCompat() FAILED");
    return 0;
}

void report_incompatible_load() {
    std::snprintf(trace_buf, sizeof trace_buf, "%s", "IN RRFl and new load ");
    if (load_rrfl_sector == 0) {
        append_text("has NO RRFL\n");
    } else if (load_type_ok == 0) {
        append_text("is incompatible (");
        append_text(refusal_type_name(load_modem_type));
        append_text(")\n");
    } else if (actual_sector_size == load_rrfl_sector) {
        append_text("has an RRFL checksum mismatch\n");
        append_number("\tActual checksum = %2x\n", actual_rrfl_checksum);
        append_number("\tLoad checksum = %2x\n", load_rrfl_checksum);
    } else {
        append_text("has a sector size mismatch\n");
        append_number("Actual sector = %2x\n ", actual_sector_size);
        append_number("Load sector = %2x\n", load_rrfl_sector);
    }
    append_text("USE PREVIOUS LOAD !!!");
    message_box(trace_buf, "INCOMPATIBLE LOAD", PLAT_MB_OK | PLAT_MB_ICONWARNING);
}
