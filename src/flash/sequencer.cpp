// The flash sequencer: one step of the whole job per idle turn of the main
// loop, from the load file to the closed port.
#include <cstdio>
#include <cstring>

#include "flash/answers.h"
#include "flash/flash.h"
#include "identify/identify.h"
#include "link/link.h"
#include "link/log.h"
#include "link/modem_contract.h"
#include "settings/settings.h"
#include "status/status.h"

namespace {

// Moved by the steps below alone; flash_state is the rest of the program's view of it.
seq_state state = SEQ_INIT;

constexpr const char *LOADER_FILE = "kivfldr.hex";
constexpr uint32_t NAMED_FILE_PAUSE_MS = 3000;
constexpr uint32_t LOADER_START_SLEEP_MS = 5000;
constexpr uint32_t AFTER_LOADER_MS = 100;
constexpr uint32_t BEFORE_CHECKSUM_MS = 1000;
constexpr int32_t MAX_RESENDS = 6;
constexpr int WARNING = PLAT_MB_OK | PLAT_MB_ICONWARNING;
// A path of 255 characters and the longest reason fit whole.
constexpr size_t LOAD_REFUSAL_SIZE = 512;
constexpr const char *NO_RECORDS_TEXT = "The load file holds no S-records: nothing was programmed.";
constexpr const char *OUT_OF_STEP_TEXT =
    "The modem's answers fell out of step with the records sent: its flash may not hold the load.";

void trace_int(const char *format, int value) {
    std::snprintf(trace_buf, sizeof trace_buf, format, value);
    debug_trace(trace_buf);
}

void set_status(const char *line1, const char *line2) {
    std::snprintf(status_line1, sizeof status_line1, "%s", line1);
    std::snprintf(status_line2, sizeof status_line2, "%s", line2);
}

void close_hex_file() {
    if (hex_file) text_close(hex_file);
    hex_file = nullptr;
}

void step_init() {
    job_outcome = JOB_UNFINISHED;
    flash_touched = 0;
    records_acked = records_resent = load_record_count = bytes_acked = 0;
    pass_start_tick = last_ack_tick = 0;
    loader_busy = 0;
    loader_ticks = 0;
    hex_eof = 0;
    answers_clear();
    debug_trace("FLASH: Flash init state");
    if (com_port == 0) com_port = 255;
    state = SEQ_LOAD_FILE;
}

void step_load_file() {
    if (cfg_complete == 1) {
        std::snprintf(download_path, sizeof download_path, "%s", cfg_filename);
        pause_ms(NAMED_FILE_PAUSE_MS);
    } else if (!choose_load_file()) {
        state = SEQ_END;
        return;
    }
    plat_load_file(download_path);
    log_load_file(download_path);
    long size = file_size(download_path);
    hex_file = size < 0 ? nullptr : text_open(download_path);
    if (!hex_file) {
        message_box("File open failed ", "File Open Error...", WARNING);
        state = SEQ_END;
        return;
    }
    load_file_size = static_cast<int32_t>(size);
    state = SEQ_PROBE;

    char header[LOAD_HEADER_CHARS + 1] = {};
    text_read(hex_file, header, LOAD_HEADER_CHARS);
    read_load_header(header);
    close_hex_file();
    char refusal[LOAD_REFUSAL_SIZE];
    if (!check_load_file(download_path, refusal, sizeof refusal)) {
        debug_trace("FLASH: Load file refused");
        message_box(refusal, "Load File Error", WARNING);
        state = SEQ_END;
    }
}

void step_probe() {
    trace_int("Flash Trying Comm %d ", com_port);
    switch (open_and_probe_port()) {
    case PROBE_NO_MODEM:
        if (--com_port == 0) state = SEQ_NOT_RESPONDING;
        break;
    case PROBE_RRFL_STARTED: state = SEQ_RRFL_VERSION; break;
    case PROBE_NEED_LOADER:
        state = SEQ_OPEN_LOADER;
        trace_int("Flash Open Comm Success on Com%d ", com_port);
        break;
    case PROBE_START_RRFL:
        debug_trace("FLASH: entering RRFL");
        if (send_command(hComm, CMD_RRFL_GO, static_cast<int32_t>(std::strlen(CMD_RRFL_GO))) < 0)
            trace_last_error("Com Error = %lX");
        state = wait_for_reply(REPLY_OK, UNITS_COMMAND, 1) == WAIT_FOUND ? SEQ_RRFL_VERSION
                                                                         : SEQ_NOT_RESPONDING;
        break;
    case PROBE_GIVE_UP: state = SEQ_DESTROY; break;
    default: break;
    }
}

void step_open_loader() {
    hex_file = text_open(LOADER_FILE);
    if (!hex_file) {
        message_box("Flash file open failed - kivfldr.hex", "ERROR", WARNING);
        state = SEQ_END;
        return;
    }
    set_found_line(".");
    std::snprintf(status_line2, sizeof status_line2, "%s", "Initializing, Please Wait.");
    ReDraw();
    state = SEQ_LOADER;
}

void judge_loader() {
    plat_thread_close(hThread);
    hThread = nullptr;

    int32_t bad_line = loader_bad_line.load();
    if (bad_line != 0) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "Line %d of %s is longer than %d characters.\n"
                      "The file is damaged or is not an Intel hex file; the download was stopped "
                      "before that line was sent.",
                      static_cast<int>(bad_line), LOADER_FILE, LINE_MAX_CHARS);
        message_box(text, "Loader File Error", WARNING);
        state = SEQ_END;
        return;
    }
    if (loader_result.load() == 0) {
        debug_trace("FLASH: Flash loader code download failed");
        state = SEQ_NOT_RESPONDING;
        return;
    }
    debug_trace("FLASH: Flash loader code download success");
    if (std::strstr(rx_buffer, VERSION_TOKEN)) {
        set_status("Erasing the Flash Chip.", "Please be Patient...");
        ReDraw();
        state = SEQ_OPEN_LOAD;
        settle_port();
        pause_ms(AFTER_LOADER_MS);
    } else {
        // The received text is cut to what the buffer has room for.
        int room = static_cast<int>(sizeof trace_buf) - 1 -
                   std::snprintf(nullptr, 0, "Version mismatch (%s) with kivfldr.hex; received ",
                                 VERSION_TOKEN);
        std::snprintf(trace_buf, sizeof trace_buf,
                      "Version mismatch (%s) with kivfldr.hex; received %.*s", VERSION_TOKEN, room,
                      rx_buffer);
        message_box(trace_buf, "Exit...", WARNING);
        state = SEQ_END;
    }
}

void step_loader() {
    if (loader_ticks == 0) {
        port_stop = 0;
        loader_bad_line = 0;
        // Armed before the start, so that no later step can read the flag
        // before the thread has had the chance to raise it.
        loader_busy = 1;
        hThread = plat_thread_start(loader_thread);
        if (!hThread) {
            loader_busy = 0;
            debug_trace("hThread==NULL");
            state = SEQ_END;
            return;
        }
        loader_ticks = 1;
        flash_touched = 1;
        plat_sleep(LOADER_START_SLEEP_MS);
        return;
    }
    if (loader_busy.load() == 1) {
        ++loader_ticks;
        return;
    }
    judge_loader();
}

void step_open_load() {
    close_hex_file();
    hex_file = text_open(download_path);
    if (!hex_file) {
        message_box("Flash file open failed ", "File Open Error...", WARNING);
        state = SEQ_END;
        return;
    }
    reply_timeout = UNITS_FIRST_RECORD;
    bytes_sent = 0;
    send_next_line = 1;
    // A restart after a full erase sends the whole load again.
    hex_eof = 0;
    answers_clear();
    load_line_no = 0;
    records_acked = bytes_acked = 0;
    pass_start_tick = last_ack_tick = plat_tick_count();
    state = SEQ_SEND;
}

void step_send() {
    flash_touched = 1;
    int sent = send_record(send_next_line);
    if (sent == RECORD_FAILED) state = SEQ_END;
    if (sent == RECORD_SENT) {
        rx_count = 0;
        wait_start_tick = plat_tick_count();
        state = SEQ_POLL;
    }
}

void complete() {
    debug_trace("FLASH: Dnld successful");
    state = SEQ_COMPLETE;
}

// The current record is acknowledged: on to the next.
void next_record() {
    send_next_line = 1;
    answers_reset();
    // Only an acknowledged last record completes the job.
    if (hex_eof == 1) complete();
    else state = SEQ_SEND;
}

// Which write an answer belongs to can no longer be told: nothing the modem
// says from here on can count as success.
void out_of_step() {
    std::snprintf(trace_buf, sizeof trace_buf,
                  "FLASH: Answers out of step: %d owed, %d with no write waiting",
                  static_cast<int>(answers_owed()), static_cast<int>(answers_extra()));
    debug_trace(trace_buf);
    std::snprintf(status_line1, sizeof status_line1, "%s", OUT_OF_STEP_TEXT);
    state = SEQ_FLASH_ERROR;
}

// Every write of the record, resends included, is owed an answer, and the
// answers come in the order of the writes. Only once every one has come does
// the last decide; until then a late answer to an earlier write could be
// taken for the record's own, or the next record's.
void step_poll() {
    int32_t before = answers_taken();
    unsigned r = poll_answers(static_cast<unsigned>(reply_timeout));
    bool came = answers_taken() != before;
    if (answers_extra() > 0) {
        out_of_step();
        return;
    }

    // The end of the file was reached with nothing left to write: there is
    // no reply to wait for.
    if (hex_eof == 1 && line_len == 0) {
        // A file without a single acknowledged record (empty, or not an
        // S-record file at all) programmed nothing: never call that success.
        if (bytes_sent == 0) {
            std::snprintf(status_line1, sizeof status_line1, "%s", NO_RECORDS_TEXT);
            state = SEQ_FLASH_ERROR;
            return;
        }
        complete();
        return;
    }
    // A line that never falls quiet keeps the polling wait from its time-out.
    uint32_t limit = static_cast<uint32_t>(reply_timeout) * WAIT_UNIT_MS;
    bool timed_out = !came && (r == WAIT_TIMEOUT ||
                               (r == WAIT_FOUND && plat_tick_count() - wait_start_tick > limit));
    if (!came && !timed_out) return;

    if (reply_timeout != UNITS_RECORD) {
        reply_timeout = UNITS_RECORD;
        show_arrow_cursor();
    }
    wait_start_tick = plat_tick_count();

    if (came && answers_owed() == 0 && answer_latest() == ANSWER_OK) {
        bytes_sent += line_len;
        bytes_acked += line_len;
        ++records_acked;
        last_ack_tick = wait_start_tick;
        next_record();
    } else if (came && answers_owed() == 0) {
        seq_state next = handle_nok(answer_latest_text());
        // Every write so far is answered: the record's next writes are counted afresh.
        answers_reset();
        state = retry_count > MAX_RESENDS ? SEQ_FLASH_ERROR : next;
    } else if (!came && answers_owed() > 0 && answers_taken() > 0) {
        // An answer came after a resend and a whole wait brought none of those still owed: one
        // was lost. Every later write is answered in turn behind it, so no resend can make up
        // for it; the resends would only spend minutes before the same end.
        out_of_step();
    } else if (!came && retry_count <= MAX_RESENDS) {
        ++retry_count;
        send_next_line = 0;
        state = SEQ_SEND;
        ++records_resent;
        debug_trace("FLASH: Timeout Resend");
    } else if (!came) {
        state = SEQ_NOT_RESPONDING;
    }
}

void step_not_responding() {
    message_box("Modem is not responding.\nPlease try again later.", "Error...", WARNING);
    debug_trace("FLASH: Flash Open Comm Failed");
    state = SEQ_END;
}

void step_rrfl_version() {
    if (std::strstr(rx_buffer, VERSION_TOKEN)) {
        set_found_line("...");
        std::snprintf(status_line2, sizeof status_line2, "%s", "Erasing: Please be Patient...");
        ReDraw();
        state = SEQ_OPEN_LOAD;
    } else {
        std::snprintf(trace_buf, sizeof trace_buf, "Version mismatch (%s) with RRFL",
                      VERSION_TOKEN);
        message_box(trace_buf, "Exit...", WARNING);
        state = SEQ_END;
    }
}

void step_flash_error() {
    message_box(status_line1, "Flash Error", WARNING);
    debug_trace("FLASH: Flash Open Comm Failed");
    state = SEQ_END;
}

void step_complete() {
    settle_port();
    int ok = 1;
    if (cfg_atchecksum[0] != 0) {
        pause_ms(BEFORE_CHECKSUM_MS);
        if (send_command(hComm, cfg_atchecksum, static_cast<int32_t>(std::strlen(cfg_atchecksum))) <
            0)
            trace_last_error("Com Error = %lX");
        ok = wait_for_reply(cfg_checksumresponse, UNITS_CHECKSUM, 1) == WAIT_FOUND;
        debug_trace(rx_buffer);
    }
    job_outcome = ok ? JOB_COMPLETED : JOB_FAILED;
    if (ok) {
        set_status("Programming Completed", "<100%>  Complete.");
        bytes_sent = load_file_size;
        uint32_t seconds = (plat_tick_count() - start_tick) / 1000;
        elapsed_min = static_cast<int32_t>(seconds / 60);
        elapsed_sec = static_cast<int32_t>(seconds % 60);
        std::snprintf(status_line2, sizeof status_line2, "Time Elapsed %1d Min %2d Sec.",
                      static_cast<int>(elapsed_min), static_cast<int>(elapsed_sec));
    } else set_status("Programming Failed", "");
    ReDraw();
    settle_port();
    show_arrow_cursor();
    if (no_popups != 1) {
        if (ok) {
            set_status("Programming Completed", "<100%>  Complete.");
            message_box("Flash Programming Completed", "    All Done...", PLAT_MB_OK);
        } else message_box("Flash Programming Failed.", "    Try again...", PLAT_MB_OK);
    }
    close_hex_file();
    state = SEQ_END;
}

// A close confirmed during the loader download: the thread owns the port
// and the loader file until it ends, so ask it to stop and wait, serving
// the window meanwhile (its repaint requests need the GUI thread).
// 1 when the thread has ended.
int stop_loader_thread() {
    port_stop = 1;
    uint32_t start = plat_tick_count();
    while (loader_busy.load() == 1 && plat_tick_count() - start <= LOADER_STOP_WAIT_MS)
        plat_pump_messages();
    plat_thread_close(hThread);
    hThread = nullptr;
    if (loader_busy.load() == 1) {
        debug_trace("FLASH: Loader thread did not stop in time");
        return 0;
    }
    return 1;
}

void step_end() {
    int thread_done = hThread ? stop_loader_thread() : 1;
    debug_trace("FLASH: Flash Destroy Window");
    // A thread that did not stop is still inside a port call: the receive
    // buffer is its own, and the port and the loader file stay as they are
    // to the process's end. "Y" still goes out; the system queues it behind
    // the call in progress.
    if (thread_done) debug_trace(rx_buffer);
    if (hComm) plat_port_transmit_char(hComm, CHAR_END_JOB);
    if (thread_done) {
        close_port();
        close_hex_file();
    }
    state = SEQ_DESTROY;
}

void step_destroy() {
    debug_trace("FLASH: NULL");
    plat_destroy_main_window();
}

} // namespace

const seq_state &flash_state = state;

void flash_start(seq_state at) { state = at; }

void flash_shut_down() { state = SEQ_END; }

void trace_summary() {
    uint32_t ms = last_ack_tick - pass_start_tick;
    long long rate = ms > 0 ? static_cast<long long>(bytes_acked) * 1000 / ms : 0;
    char records[96];
    if (job_outcome == JOB_COMPLETED)
        std::snprintf(records, sizeof records, "completed, %d records",
                      static_cast<int>(records_acked));
    else
        std::snprintf(records, sizeof records, "%s, %d of %d records acknowledged",
                      job_outcome == JOB_STOPPED ? "stopped by the user" : "failed",
                      static_cast<int>(records_acked), static_cast<int>(load_record_count));
    // Its own buffer: a loader thread that did not stop may still use trace_buf.
    char text[256];
    std::snprintf(text, sizeof text,
                  "FLASH: Summary: %s (%d resent), %d bytes in %u.%u s, %lld bytes/s", records,
                  static_cast<int>(records_resent), static_cast<int>(bytes_acked), ms / 1000,
                  ms % 1000 / 100, rate);
    debug_trace(text);
}

void job_stopped_by_user() {
    if (job_outcome == JOB_UNFINISHED) job_outcome = JOB_STOPPED;
}

void flash_step() {
    // A device gone: no step of any state can do more than find that out.
    if (line_lost_ends_step()) state = SEQ_END;
    else switch (state) {
        case SEQ_INIT: step_init(); break;
        case SEQ_LOAD_FILE: step_load_file(); break;
        case SEQ_PROBE: step_probe(); break;
        case SEQ_LOADER: step_loader(); break;
        case SEQ_OPEN_LOADER: step_open_loader(); break;
        case SEQ_OPEN_LOAD: step_open_load(); break;
        case SEQ_SEND: step_send(); break;
        case SEQ_POLL: step_poll(); break;
        case SEQ_NOT_RESPONDING: step_not_responding(); break;
        case SEQ_RRFL_VERSION: step_rrfl_version(); break;
        case SEQ_FLASH_ERROR: step_flash_error(); break;
        case SEQ_COMPLETE: step_complete(); break;
        case SEQ_END: step_end(); break;
        case SEQ_DESTROY: step_destroy(); break;
        }
    // Every way to the end other than completion (a box, a No, a cancelled
    // choice, a failed write) is a failed job.
    if ((state == SEQ_END || state == SEQ_DESTROY) && job_outcome == JOB_UNFINISHED)
        job_outcome = JOB_FAILED;
}
