// The AT handshake on one COM port: is a flashable modem there, what type is
// it, is it running its resident flash loader (RRFL), and does that loader
// fit the load?
#include <cstdio>
#include <cstring>

#include "identify/identify.h"
#include "link/link.h"
#include "link/modem_contract.h"
#include "settings/settings.h"
#include "status/status.h"

namespace {

// The modem's checksum when its digits cannot be read: no load header can
// hold a negative value, so such a modem never counts as compatible.
constexpr int CHECKSUM_UNREADABLE = -1;

// A write failure is only traced: the reply wait that follows decides.
void send_text(const char *text) {
    if (send_command(hComm, text, static_cast<int32_t>(std::strlen(text))) < 0)
        trace_last_error("Com Error = %lX");
}

// Send, show what the previous wait collected, then wait for "OK".
unsigned exchange(const char *text, unsigned units) {
    send_text(text);
    debug_trace(rx_buffer);
    return wait_for_reply(REPLY_OK, units, 1);
}

// Sets actual_sector_size from the reply and returns where the token starts
// (nullptr when there is none).
const char *find_sector_token() {
    const char *token = std::strstr(rx_buffer, SECTOR_TOKEN_64);
    if (token) {
        actual_sector_size = 64;
        return token;
    }
    token = std::strstr(rx_buffer, SECTOR_TOKEN_16);
    actual_sector_size = token ? 16 : 0;
    return token;
}

void trace_checksum() {
    std::snprintf(msg_buf, sizeof msg_buf, "Actual chksum = 0x%4x\n ",
                  static_cast<unsigned>(actual_rrfl_checksum));
    debug_trace(msg_buf);
}

void mark_checksum_unreadable(const char *where) {
    actual_rrfl_checksum = CHECKSUM_UNREADABLE;
    std::snprintf(msg_buf, sizeof msg_buf,
                  "Actual chksum unreadable: fewer than four characters %s the sector token",
                  where);
    debug_trace(msg_buf);
}

// The loader's checksum digits follow the token in the identification reply.
void read_checksum_after(const char *token) {
    const char *digits = token + 4;
    if (std::memchr(digits, 0, 4)) {
        mark_checksum_unreadable("after");
        return;
    }
    actual_rrfl_checksum = hex4_value(digits);
    trace_checksum();
}

// In the reply to AT&&FFL the checksum digits stand before the token.
void read_checksum_before(const char *token) {
    if (token - rx_buffer < 4) {
        mark_checksum_unreadable("before");
        return;
    }
    actual_rrfl_checksum = hex4_value(token - 4);
    trace_checksum();
}

// The modem's loader is judged against the load only for a load built for
// this very modem type.
void judge_load_type() {
    load_type_ok =
        (load_modem_type != MODEM_UNKNOWN && load_modem_type == actual_modem_type) ? 1 : 0;
}

int rrfl_branch() {
    debug_trace("WE ARE IN RRFL");
    const char *token = find_sector_token();
    std::snprintf(msg_buf, sizeof msg_buf, "Actual sector size = 0x%2x\n ",
                  static_cast<unsigned>(actual_sector_size));
    debug_trace(msg_buf);
    if (token) read_checksum_after(token);

    if (!ldsAreCompat()) {
        report_incompatible_load();
        return PROBE_GIVE_UP;
    }
    send_text(CMD_RRFL_GO);
    if (wait_for_reply(REPLY_OK, UNITS_COMMAND, 1) == WAIT_FOUND) return PROBE_RRFL_STARTED;
    close_port(); // the next port's handle would otherwise replace this one
    return PROBE_NO_MODEM;
}

int full_flash_branch() {
    send_text(CMD_RRFL_INFO);
    if (wait_for_reply(REPLY_OK, UNITS_COMMAND, 1) != WAIT_FOUND) {
        // A stop cut the wait short: no conclusion to draw from the silence.
        if (port_stop.load() != 0) {
            close_port();
            return PROBE_NO_MODEM;
        }
        settle_port();
        return loader_precheck && !loader_precheck() ? PROBE_GIVE_UP : PROBE_NEED_LOADER;
    }
    const char *token = find_sector_token();
    std::snprintf(msg_buf, sizeof msg_buf, "Actual sector = 0x%2x\n ",
                  static_cast<unsigned>(actual_sector_size));
    debug_trace(msg_buf);
    if (token) read_checksum_before(token);

    if (ldsAreCompat()) return PROBE_START_RRFL;

    debug_trace("MUST USE FULL ERASE - LOADS ARE INCOMPAT");
    set_found_line(".");
    std::snprintf(status_line2, sizeof status_line2, "%s", "RRFL is Not Compatible.");
    ReDraw();
    if (loader_precheck && !loader_precheck()) return PROBE_GIVE_UP;
    int answer = message_box("Do you wish to Erase the Entire Flash", "MUST USE FULL ERASE !!! ",
                             PLAT_MB_YESNO);
    return answer == PLAT_IDYES ? PROBE_NEED_LOADER : PROBE_GIVE_UP;
}

} // namespace

int decode_modem_type() {
    // The line end of the previous reply can come after its "OK" was found,
    // and so begin this one's text: the letter is counted from the echo.
    size_t echo = std::strspn(rx_buffer, "\r\n");
    char letter =
        std::strlen(rx_buffer + echo) > TYPE_LETTER_INDEX ? rx_buffer[echo + TYPE_LETTER_INDEX] : 0;
    const char *name;
    switch (letter) {
    case 'C':
    case 'c':
        actual_modem_type = MODEM_TOVARINDEL;
        name = "TOVARINDEL";
        break;
    case 'I':
    case 'i':
        actual_modem_type = MODEM_INTERNAL;
        name = "INTERNAL";
        break;
    case 'S':
    case 's':
        actual_modem_type = MODEM_EXTERNAL;
        name = "EXTERNAL";
        break;
    case 'U':
    case 'u':
        actual_modem_type = MODEM_USB;
        name = "USB";
        break;
    case 'P':
    case 'p':
        actual_modem_type = MODEM_PCMCIA;
        name = "PCMCIA";
        break;
    default:
        actual_modem_type = MODEM_UNKNOWN;
        name = "Unknown";
        break;
    }
    std::snprintf(trace_buf, sizeof trace_buf, "Actual Modem type is %s", name);
    debug_trace(trace_buf);
    settle_port();
    return 1;
}

int open_and_probe_port() {
    if (!open_comm_port()) return PROBE_NO_MODEM;

    // Room for the longest settings value after the fixed words.
    char text[300];

    show_wait_cursor();
    std::snprintf(trace_buf, sizeof trace_buf, "<CE-%d>", com_port);
    debug_trace(trace_buf);
    settle_port();

    exchange(CMD_WAKE, UNITS_FIRST_WAKE);
    settle_port();
    std::snprintf(text, sizeof text, "writing to %s\n", comm_device_name);
    debug_trace(text);
    exchange(CMD_AT, UNITS_COMMAND);
    settle_port();
    exchange(CMD_WAKE, UNITS_COMMAND);
    settle_port();

    if (exchange(CMD_FLASH_MODE, UNITS_COMMAND) != WAIT_FOUND) {
        close_port();
        debug_trace("Not a Quillmarch Flashable modem!");
        return PROBE_NO_MODEM;
    }
    settle_port();

    if (cfg_complete == 1) {
        if (exchange(cfg_atcmd, UNITS_COMMAND) != WAIT_FOUND) {
            close_port();
            std::snprintf(text, sizeof text, "Failed AT command %s", cfg_atcmd);
            debug_trace(text);
            return PROBE_NO_MODEM;
        }
        if (match_alternatives(rx_buffer, cfg_response) == -1) {
            std::snprintf(text, sizeof text, "Can't match %s", cfg_response);
            debug_trace(text);
            close_port(); // the next port's handle would otherwise replace this one
            return PROBE_NO_MODEM;
        }
    } else if (exchange(CMD_IDENTIFY, UNITS_COMMAND) != WAIT_FOUND) {
        close_port();
        debug_trace("Where's the ATI5???");
        return PROBE_NO_MODEM;
    }

    decode_modem_type();
    judge_load_type();

    if (std::strstr(rx_buffer, REPLY_RRFL)) return rrfl_branch();
    return full_flash_branch();
}
