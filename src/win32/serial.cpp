// The serial port calls of the platform seam on Win32.
#include <windows.h>

#include <cstddef>
#include <cstring>

#include "platform/platform.h"

static_assert(sizeof(plat_dcb) == sizeof(DCB), "plat_dcb must have the DCB's layout");
static_assert(offsetof(plat_dcb, BaudRate) == offsetof(DCB, BaudRate));
static_assert(offsetof(plat_dcb, wReserved) == offsetof(DCB, wReserved));
static_assert(offsetof(plat_dcb, XonLim) == offsetof(DCB, XonLim));
static_assert(offsetof(plat_dcb, ByteSize) == offsetof(DCB, ByteSize));
static_assert(offsetof(plat_dcb, Parity) == offsetof(DCB, Parity));
static_assert(offsetof(plat_dcb, StopBits) == offsetof(DCB, StopBits));
static_assert(offsetof(plat_dcb, XonChar) == offsetof(DCB, XonChar));
static_assert(offsetof(plat_dcb, EvtChar) == offsetof(DCB, EvtChar));
static_assert(offsetof(plat_dcb, wReserved1) == offsetof(DCB, wReserved1));
static_assert(sizeof(plat_timeouts) == sizeof(COMMTIMEOUTS));
static_assert(offsetof(plat_timeouts, WriteTotalTimeoutConstant) ==
              offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant));

namespace {
// A byte a port wait read off the line, handed out ahead of the driver's
// queue. One port is open at a time, used by one thread at a time.
HANDLE held_port;
bool held;
char held_byte;
// The program's own time-outs, put back after each wait.
COMMTIMEOUTS own_timeouts;
bool own_known;
} // namespace

port_handle plat_port_open(const char *device_name) {
    HANDLE h = CreateFileA(device_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

const char *plat_port_note() { return ""; } // the device name is all there is to say

const char *plat_port_label() { return ""; }

void plat_port_close(port_handle h) {
    if (h == held_port) held = false;
    own_known = false;
    if (h) CloseHandle(h);
}

int plat_port_get_state(port_handle h, plat_dcb *dcb) {
    // The caller's record goes in as it is (its DCBlength included) and
    // comes back only when the call succeeded.
    DCB d;
    std::memcpy(&d, dcb, sizeof d);
    if (!GetCommState(h, &d)) return 0;
    std::memcpy(dcb, &d, sizeof d);
    return 1;
}

int plat_port_set_state(port_handle h, const plat_dcb *dcb) {
    DCB d;
    std::memcpy(&d, dcb, sizeof d);
    return SetCommState(h, &d) ? 1 : 0;
}

int plat_port_set_timeouts(port_handle h, const plat_timeouts *t) {
    COMMTIMEOUTS c;
    std::memcpy(&c, t, sizeof c);
    if (!SetCommTimeouts(h, &c)) return 0;
    own_timeouts = c, own_known = true;
    return 1;
}

int plat_port_write(port_handle h, const void *data, uint32_t n, uint32_t *written) {
    DWORD w = 0;
    BOOL ok = WriteFile(h, data, n, &w, nullptr);
    *written = w;
    return ok ? 1 : 0;
}

int plat_port_read(port_handle h, void *data, uint32_t n, uint32_t *got) {
    char *to = static_cast<char *>(data);
    DWORD first = held && h == held_port && n > 0;
    if (first) *to = held_byte, held = false;
    DWORD r = 0;
    BOOL ok = n == first || ReadFile(h, to + first, n - first, &r, nullptr);
    *got = r + first;
    return ok || first ? 1 : 0;
}

void plat_port_wait(port_handle h, uint32_t ms) {
    // The handle is synchronous, and a second thread blocked on it would hold
    // up every other call on it: the wait is a read by the caller itself, of
    // one byte, that returns as soon as one has come or after `ms`.
    if (ms == 0 || (held && h == held_port)) return;
    if (!own_known && !GetCommTimeouts(h, &own_timeouts)) return Sleep(1);
    own_known = true;
    COMMTIMEOUTS wait = own_timeouts;
    wait.ReadIntervalTimeout = MAXDWORD;
    wait.ReadTotalTimeoutMultiplier = MAXDWORD;
    wait.ReadTotalTimeoutConstant = ms < MAXDWORD ? ms : MAXDWORD - 1;
    if (!SetCommTimeouts(h, &wait)) return Sleep(1);
    DWORD r = 0;
    if (ReadFile(h, &held_byte, 1, &r, nullptr) && r == 1) held = true, held_port = h;
    SetCommTimeouts(h, &own_timeouts);
}

int plat_port_pending(port_handle h, uint32_t *in_queue) {
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    if (!ClearCommError(h, &errors, &stat)) return 0;
    *in_queue = stat.cbInQue + (held && h == held_port);
    return 1;
}

int plat_port_clear_break(port_handle h) { return ClearCommBreak(h) ? 1 : 0; }

int plat_port_flush(port_handle h) { return FlushFileBuffers(h) ? 1 : 0; }

int plat_port_transmit_char(port_handle h, char c) { return TransmitCommChar(h, c) ? 1 : 0; }

// A removed device shows as failed writes; it is never told apart here.
int plat_port_lost(port_handle, char *, uint32_t) { return 0; }

uint32_t plat_last_error() { return GetLastError(); }
