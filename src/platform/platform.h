// The one seam between the portable core and the operating system.
// The core includes only this header for OS services; each backend
// (win32, posix, and the test fake) implements every function below.
// Values of the constants match the Win32 ones so that traces and tests
// read the same everywhere.
#pragma once

#include <cstdint>

// ---- serial port -------------------------------------------------------

typedef void *port_handle; // nullptr: no port open

// Same layout as the Win32 DCB (28 bytes); `flags` is its bit-field word.
struct plat_dcb {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t flags;
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
};

// Bits of plat_dcb::flags, as the Win32 DCB lays them out.
enum : uint32_t {
    DCB_fBinary = 1u << 0,
    DCB_fParity = 1u << 1,
    DCB_fOutxCtsFlow = 1u << 2,
    DCB_fOutxDsrFlow = 1u << 3,
    DCB_fDtrControl_mask = 3u << 4, // 1 = enable
    DCB_fDsrSensitivity = 1u << 6,
    DCB_fTXContinueOnXoff = 1u << 7,
    DCB_fOutX = 1u << 8,
    DCB_fInX = 1u << 9,
    DCB_fErrorChar = 1u << 10,
    DCB_fNull = 1u << 11,
    DCB_fRtsControl_mask = 3u << 12, // 1 = enable
    DCB_fAbortOnError = 1u << 14,
};

struct plat_timeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

// CreateFileA(name, read|write, exclusive, OPEN_EXISTING, synchronous).
// nullptr when the device cannot be opened.
port_handle plat_port_open(const char *device_name);
// The backend's words on the last plat_port_open, for the trace: the device
// behind the name and what became of it; "" when it has none to add.
const char *plat_port_note();
// The device behind the port last opened, as its user names it, for the
// status line; "" where the COM name is the user's own.
const char *plat_port_label();
void plat_port_close(port_handle h);
int plat_port_get_state(port_handle h, plat_dcb *dcb);       // 1 ok, 0 failed
int plat_port_set_state(port_handle h, const plat_dcb *dcb); // 1 ok, 0 failed
int plat_port_set_timeouts(port_handle h, const plat_timeouts *t);
// WriteFile: 1 when the call succeeded (*written may still be short), 0 on failure.
int plat_port_write(port_handle h, const void *data, uint32_t n, uint32_t *written);
// ReadFile: 1 when the call succeeded, 0 on failure.
int plat_port_read(port_handle h, void *data, uint32_t n, uint32_t *got);
// ClearCommError: bytes waiting in the driver; 1 ok, 0 failed.
int plat_port_pending(port_handle h, uint32_t *in_queue);
// Sleeps until input is waiting on the port or `ms` have passed, whichever
// comes first; returns at once when input is already waiting.
void plat_port_wait(port_handle h, uint32_t ms);
int plat_port_clear_break(port_handle h);
int plat_port_flush(port_handle h);
// TransmitCommChar: the character goes ahead of any queued output.
int plat_port_transmit_char(port_handle h, char c);
// 1 once the device behind the port has gone for good (it hung up, or
// gives input/output errors: a USB adapter pulled, the far end of a
// pseudo-terminal closed) and nothing it sent is left to read; what the
// system said, naming the device, goes to `why` when given. The Windows
// backend always says 0: there a removed device shows as failed writes.
int plat_port_lost(port_handle h, char *why, uint32_t size);
uint32_t plat_last_error();

// ---- time ----------------------------------------------------------------

uint32_t plat_tick_count();      // GetTickCount: milliseconds, wraps at 2^32
int32_t plat_runtime_clock_ms(); // the C runtime's elapsed-time clock, in ms
// Sleeps, never spinning, until plat_tick_count() or plat_runtime_clock_ms()
// has moved on by `ms` from its value at the call, and wakes soon after that
// boundary (the system's timer slack, or one short slice where the clocks'
// phase is unknown). Where the two clocks tick apart it may end before the
// other one has moved on: a caller waiting on that one sleeps again for the
// rest. The window's thread keeps painting while it sleeps.
void plat_sleep(uint32_t ms);

// ---- debugger output -----------------------------------------------------

void plat_debug_output(const char *text); // OutputDebugStringA

// ---- message boxes and the open-file dialog -------------------------------

enum : unsigned {
    PLAT_MB_OK = 0x00,
    PLAT_MB_YESNO = 0x04,
    PLAT_MB_ICONWARNING = 0x30, // MB_ICONEXCLAMATION
};
enum : int { PLAT_IDOK = 1, PLAT_IDCANCEL = 2, PLAT_IDYES = 6, PLAT_IDNO = 7 };

// MessageBoxA owned by the main window.
int plat_message_box(const char *text, const char *caption, unsigned flags);

// The fields of OPENFILENAMEA the program sets; everything else is zero.
// The backend supplies the record size and the owner window.
struct plat_open_file {
    const char *filter; // pairs of NUL-terminated texts, ended by a double NUL
    uint32_t filter_index;
    char *file; // in: initial name, out: the chosen path
    uint32_t max_file;
    char *file_title;
    uint32_t max_file_title;
    const char *title;
    uint32_t flags;
    const char *def_ext;
};
int plat_get_open_file_name(plat_open_file *req); // 1 chosen, 0 cancelled or failed
// The load file the job is about to read, from the settings or chosen; the
// window shows nothing of it, the terminal program names it.
void plat_load_file(const char *path);

// ---- main window -----------------------------------------------------------

int plat_create_main_window(int show_cmd); // 1 created and shown
void plat_redraw();                        // invalidate all, update now; any thread
void plat_destroy_main_window();
// Handles the window messages that are waiting, without running a sequencer
// step; lets the GUI thread wait for the loader thread without deadlocking
// on its repaints. When none is waiting it sleeps until one comes, a
// millisecond at most, so that the caller's loop does not spin.
void plat_pump_messages();

enum { PLAT_CURSOR_ARROW = 0, PLAT_CURSOR_WAIT = 1 };
void plat_set_cursor(int which);

// ---- threads ----------------------------------------------------------------

typedef void *thread_handle;
// Starts entry() on a new thread at once; nullptr when it could not be created.
thread_handle plat_thread_start(void (*entry)());
void plat_thread_close(thread_handle h);

// ---- settings and folders --------------------------------------------------

// GetPrivateProfileStringA: returns the number of characters stored.
uint32_t plat_profile_string(const char *section, const char *key, const char *def, char *out,
                             uint32_t capacity, const char *path);
// GetModuleFileNameA: characters stored (capacity means the path was cut).
uint32_t plat_module_file_name(char *buf, uint32_t capacity);
int plat_set_current_directory(const char *dir);
