// Sending the load file one S-record per step, and what a NOK reply leads to.
#include <cstdio>
#include <cstring>

#include "flash/answers.h"
#include "flash/flash.h"
#include "link/link.h"
#include "link/modem_contract.h"
#include "status/status.h"

namespace {

constexpr int WRITE_ATTEMPTS = 5;
// The progress text comes at the 7th record read since start-up and every
// 64th after it.
constexpr int32_t PROGRESS_EVERY = 64;
constexpr int32_t PROGRESS_AT = 6;
// After this the sequencer gives up (it tests for more than 6 resends).
constexpr int32_t RETRIES_EXHAUSTED = 7;
constexpr const char *ABANDON_TEXT = "Abandon Chip!!";
constexpr const char *ERASE_UNCONFIRMED_TEXT =
    "Abandon Chip!! The modem did not confirm the full erase: its flash may be erased.";

void show_progress() {
    std::snprintf(status_line1, sizeof status_line1, "%s", "Programming the Flash");
    // 64-bit: a load of more than 21 MB would overflow the product.
    long long percent =
        load_file_size > 0 ? static_cast<long long>(bytes_sent) * 100 / load_file_size : 0;
    std::snprintf(status_line2, sizeof status_line2, "<%d%%>  Complete.",
                  static_cast<int>(percent));
    ReDraw();
}

void report_long_line() {
    char text[512]; // the longest path fits whole
    std::snprintf(text, sizeof text,
                  "Line %d of the load file\n%s\nis longer than %d characters.\n"
                  "The file is damaged or is not an S-record file; the job was stopped before that "
                  "line was sent.",
                  static_cast<int>(load_line_no), download_path, LINE_MAX_CHARS);
    message_box(text, "Load File Error", PLAT_MB_OK | PLAT_MB_ICONWARNING);
}

// Reads the next line of the load file into line_buf, followed by a CR and
// the character that ended it. 0 when the line is too long to send.
int read_record() {
    ++load_line_no;
    int end;
    int n = text_line(hex_file, line_buf, LINE_MAX_CHARS, true, &end);
    if (n > LINE_MAX_CHARS) return 0;
    line_len = n;
    if (end == TEXT_END_MARK) {
        hex_eof = 1;
        debug_trace("FLASH: Got EOF");
        if (n == 0) return 1;
    }
    line_buf[n] = LINE_END_CR;
    line_buf[n + 1] = static_cast<char>(end);
    line_buf[n + 2] = 0;
    line_len = n + 1;
    return 1;
}

// The same record again; the reason stays in the status line, unpainted,
// for the sequencer's box should the resends run out.
seq_state resend(const char *trace, const char *reason) {
    debug_trace(trace);
    ++retry_count;
    ++records_resent;
    send_next_line = 0;
    std::snprintf(status_line1, sizeof status_line1, "%s", reason);
    return SEQ_SEND;
}

seq_state again_after_erase(const char *question) {
    return offer_full_erase(question) ? SEQ_OPEN_LOAD : SEQ_FLASH_ERROR;
}

} // namespace

int send_record(int32_t read_new) {
    if (read_new) {
        int32_t r = records_sent % PROGRESS_EVERY;
        retry_count = 0;
        ++records_sent;
        if (r == PROGRESS_AT) show_progress();

        // Nothing is read past the end (a 0xFF may have ended the file early):
        // with nothing written, nothing is awaited and the sequencer completes.
        if (hex_eof == 1) {
            line_len = 0;
            return RECORD_SENT;
        }
        if (!read_record()) {
            report_long_line();
            return RECORD_FAILED;
        }
        if (line_len == 0) return RECORD_SENT;
    }

    int attempt = 0;
    int32_t written;
    while ((written = devicewrite(hComm, line_buf, line_len)) < 0) {
        if (line_lost_reported()) return RECORD_FAILED;
        if (++attempt == WRITE_ATTEMPTS) {
            trace_last_error("Com Error= %lX ");
            message_box("Failed to write line to Modem", "Solid CommError",
                        PLAT_MB_OK | PLAT_MB_ICONWARNING);
            return RECORD_FAILED;
        }
    }

    if (line_buf[0] == 'S') {
        // The modem answers a line once its CR has reached it.
        if (written >= line_len) answer_owed();
        return RECORD_SENT;
    }
    // Not a record: the modem does not answer it, so nothing is awaited, not
    // even for a last line without a line end.
    debug_trace("FLASH: No colon!");
    return RECORD_NOT_AWAITED;
}

int offer_full_erase(const char *question) {
    int answer = message_box(question, "You May Have Cooked the Flash Chip!", PLAT_MB_YESNO);
    if (answer == PLAT_IDYES) {
        debug_trace("FLASH: Sending Z");
        if (plat_port_transmit_char(hComm, CHAR_ERASE_ALL)) answer_owed();
        settle_port();
        // The reply to "Z" is the answer after every answer still owed, and
        // only its banner says that the flash was erased.
        int ok = await_answers(UNITS_ERASE_ALL) && answer_latest() == ANSWER_OK;
        if (ok && answer_latest_banner()) {
            std::snprintf(status_line1, sizeof status_line1, "%s", "Erasing the Flash Chip.");
            std::snprintf(status_line2, sizeof status_line2, "%s", "Please be Patient...");
            ReDraw();
            bytes_sent = 0;
            reply_timeout = UNITS_FIRST_RECORD;
            send_next_line = 1;
            text_close(hex_file);
            hex_file = nullptr;
            return 1;
        }
    }
    retry_count = RETRIES_EXHAUSTED;
    std::snprintf(status_line1, sizeof status_line1, "%s",
                  answer == PLAT_IDYES ? ERASE_UNCONFIRMED_TEXT : ABANDON_TEXT);
    return 0;
}

seq_state handle_nok(const char *reply) {
    debug_trace("FLASH: Got a NOK");
    if (std::strstr(reply, REPLY_NOK1)) {
        debug_trace("FLASH: Failure to Erase");
        return again_after_erase("Chip Failed to Erase Properly\nWould you like to Retry.");
    }
    if (std::strstr(reply, REPLY_NOK2))
        return resend("FLASH: Failure to find COLON", "Modem could not fine COLON.");
    if (std::strstr(reply, REPLY_NOK3))
        return resend("FLASH: Checksum Failure", "Modem reports solid Checksum Failure.");
    if (std::strstr(reply, REPLY_NOK4)) {
        debug_trace("FLASH: Failure to program a byte");
        return again_after_erase("Chip Failed to Program Properly\nWould you like to Retry.");
    }
    return SEQ_POLL;
}
