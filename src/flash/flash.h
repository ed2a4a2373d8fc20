// Flash download: the sequencer, the loader thread, record sending.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "platform/textfile.h"

extern int flash_state;

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

void loader_thread();
int flash_download_loader();

// When the device behind the open port has gone: the job ends with a box
// that names it (state 13), and 1. The second looks only in the states
// that hold the port between steps.
int end_if_line_lost();
int line_lost_ends_step();

int32_t send_record(int32_t read_new);
int handle_nok(const char *reply);
int offer_full_erase(const char *question);
