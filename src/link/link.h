// Modem link: the port, raw input and output, the debug trace, reply waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

extern port_handle hComm;
extern int com_port;
extern plat_dcb comm_dcb;
extern char comm_device_name[32];

extern char rx_buffer[4096];
extern int32_t rx_count;
extern uint32_t wait_start_tick;
// What the last look at a reply wait's clock left of it, in ms (reply_time_left).
extern uint32_t reply_left_ms;

extern char trace_buf[256];
extern char msg_buf[256];

// Set by the GUI thread when it abandons the job while the loader thread may
// be using the port: a write that stalls gives up before its next chunk and
// a blocking reply wait at once, so that the thread lets go of the port
// within one port call.
extern std::atomic<int32_t> port_stop;

// Reply-wait results.
enum { WAIT_PENDING = 0, WAIT_FOUND = 1, WAIT_TIMEOUT = 2 };
// One time-out unit of wait_for_reply, in milliseconds.
constexpr uint32_t WAIT_UNIT_MS = 2000;

// Opens COM<com_port> into hComm and sets the line; the device name it used
// stays in comm_device_name. False when the port does not open.
bool open_comm_port();

void debug_trace(const char *text);

// The longest data one devicewrite call takes: a loader line with its
// "at&&f" prefix and CR (the flash subsystem's LINE_BUF_SIZE less the
// line-end byte); settings commands (at most 255) fit too. The byte after
// the data is read and sent as well, so callers pass terminated buffers.
// Longer (or negative) lengths are traced and refused with -1, nothing sent.
constexpr int32_t LINK_DATA_MAX = 527;
// Writes go out in chunks of this size, padded with zeros.
constexpr int32_t LINK_CHUNK = 16;

int32_t devicewrite(port_handle h, const char *data, int32_t length);
int32_t send_command(port_handle h, const char *text, int32_t length);
int32_t port_rx_pending(port_handle h);
// True once the device behind hComm has gone: a reply will never come.
bool port_lost();
int32_t read_port(int32_t offset, int32_t max);
void settle_port();
// Sleep at least `ms` on the tick clock, or on the C runtime's clock.
void pause_ms(uint32_t ms);
void clock_wait(int32_t ms);

unsigned wait_for_reply(const char *token, unsigned units, int blocking);
// A blocking wait looks at the stop request at least this often.
constexpr uint32_t LINK_STOP_LOOK_MS = 20;
// Milliseconds until a reply wait of `units` begun at wait_start_tick has
// timed out; 0 once it has.
uint32_t reply_time_left(unsigned units);
int match_alternatives(const char *text, const char *list);

// After a failed write: traces the system's last error code with `format`
// ("Com Error = %lX" or "Com Error= %lX ").
void trace_last_error(const char *format);

// Closes hComm when open and sets it to nullptr.
void close_port();
