// Flash download: the sequencer, the loader thread, record sending.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "text/textfile.h"

// The sequencer's states, with the numbers they have always had (1 is not
// used). Each step does the work of the state it finds and moves it on.
enum seq_state : int {
    SEQ_INIT = 0,           // the job's counters reset, the first port chosen
    SEQ_LOAD_FILE = 2,      // the load file chosen, its header read, the file checked
    SEQ_PROBE = 3,          // one COM port tried, counting down
    SEQ_LOADER = 4,         // the loader thread uploads kivfldr.hex
    SEQ_OPEN_LOADER = 5,    // kivfldr.hex opened, the thread about to start
    SEQ_OPEN_LOAD = 6,      // the load file opened for a sending pass
    SEQ_SEND = 7,           // one record written
    SEQ_POLL = 8,           // its reply awaited
    SEQ_NOT_RESPONDING = 9, // the modem went silent: the box, then the end
    SEQ_RRFL_VERSION = 10,  // the resident loader's version checked
    SEQ_FLASH_ERROR = 11,   // the modem refused for good: the box, then the end
    SEQ_COMPLETE = 12,      // the checksum command, the result shown
    SEQ_END = 13,           // "Y" to the modem, the port closed
    SEQ_DESTROY = 14,       // the window destroyed
};
// The current state: anyone may read it, only the sequencer moves it.
extern const seq_state &flash_state;

extern int32_t load_file_size;
extern text_file *hex_file;
extern thread_handle hThread;
extern int32_t loader_ticks;
extern int32_t reply_timeout;
extern int32_t send_next_line;
extern int32_t bytes_sent;
extern int32_t retry_count;
extern int32_t hex_eof;
extern int32_t records_sent;
extern int32_t elapsed_min;
extern int32_t elapsed_sec;
// The tick count at start-up: the base of the elapsed time.
extern uint32_t start_tick;

// Shared with the loader thread.
extern std::atomic<int32_t> loader_busy;
extern std::atomic<int32_t> loader_result;
extern std::atomic<int32_t> loader_lines_sent;
extern std::atomic<int32_t> loader_line_total;
// The number of a loader line too long to send, 0 when there was none.
extern std::atomic<int32_t> loader_bad_line;

// Lines of the load file read in the current sending pass.
extern int32_t load_line_no;

// How long a close confirmed during the loader download waits for the
// thread. Asked to stop (port_stop), it lets go of the port at the end of
// its line, or within one port call when the line stalls (a 16-byte write
// gives up after 1160 ms); the rest is margin for a driver that overruns
// its time-outs.
constexpr uint32_t LOADER_STOP_WAIT_MS = 7000;

// The longest line either file format allows: an Intel hex record with 255
// data bytes is 521 characters, an S-record 514.
constexpr int LINE_MAX_CHARS = 521;
// "at&&f", the line, CR, the character that ended the line, and a zero so
// that the write trace never reads older bytes.
constexpr int LINE_BUF_SIZE = 5 + LINE_MAX_CHARS + 3;
extern char line_buf[LINE_BUF_SIZE];
extern int32_t line_len;

void flash_step();
// Puts the sequencer at the start of a job (a test may start it further on).
void flash_start(seq_state at = SEQ_INIT);
// A close the user confirmed while the chip is written: the next step ends
// the job (tells the modem "Y", closes the port, destroys the window).
void flash_shut_down();

// How the job ended: the one record of it, for an exit status or a summary.
// The sequencer decides completed and failed; a close that the user
// confirms, or one that ends the job at once, makes it stopped.
enum { JOB_UNFINISHED = 0, JOB_COMPLETED = 1, JOB_FAILED = 2, JOB_STOPPED = 3 };
extern int job_outcome;
// Called where a close by the user ends the job; an outcome already
// decided stays.
void job_stopped_by_user();

// For the run summary: S-records in the load (counted by its check),
// records acknowledged in the last sending pass and their bytes as written
// (each record and its CR), resends in the whole job, and when that pass
// began and its last record was acknowledged.
extern int32_t load_record_count;
extern int32_t records_acked;
extern int32_t bytes_acked;
extern int32_t records_resent;
extern uint32_t pass_start_tick;
extern uint32_t last_ack_tick;
// One trace at the end of every job: outcome, records, resends, bytes, time.
void trace_summary();

// Reads the load file as the sender will and checks every S-record and the
// line lengths; 0 with the reason for the user in `message` when it must
// not be sent.
int check_load_file(const char *path, char *message, size_t size);

// kivfldr.hex read whole before the modem is asked to erase: every line an
// Intel hex record, and an end record. 0 after a box that names the file and
// what is wrong with it.
int check_loader_file();
// The modem was given work on its flash: the loader upload or a record began.
extern int32_t flash_touched;

void loader_thread();
int flash_download_loader();

// When the device behind the open port has gone: the box that names it,
// and 1; the sequencer then ends the job. The second looks only in the
// states that hold the port between steps.
int line_lost_reported();
int line_lost_ends_step();

// What sending a record came to: a reply to await, nothing to await (a line
// that is no record, or the end of the file), or the end of the job (a line
// too long, a write that failed for good, a lost line; the user was told).
enum { RECORD_SENT = 1, RECORD_NOT_AWAITED = 0, RECORD_FAILED = -1 };
int send_record(int32_t read_new);
// What a NOK reply leads to: the record again (SEQ_SEND), the whole load
// again after a full erase (SEQ_OPEN_LOAD), the box (SEQ_FLASH_ERROR), or,
// for a code no modem sends, the wait going on (SEQ_POLL).
seq_state handle_nok(const char *reply);
// 1 when the user chose the full erase and the modem is ready for the load
// again; 0 with "Abandon Chip!!" for the box (after a Yes, with the word
// that the flash may be erased).
int offer_full_erase(const char *question);
