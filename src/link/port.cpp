// Opening a COM port and putting the line into the modem's settings.
#include <cstdio>

#include "link/link.h"

namespace {
// Low half of the DCB flags word: clear fOutxCtsFlow, both DTR/RTS control
// fields, fOutX and fInX, then set CTS output flow, DTR on and RTS on.
constexpr uint32_t FLAGS_KEEP = 0xDCDF;
constexpr uint32_t FLAGS_SET = 0x1014;
} // namespace

bool open_comm_port() {
    // The speed in the short form is only part of the name; the line speed
    // is set below.
    if (com_port <= 9)
        std::snprintf(comm_device_name, sizeof comm_device_name, "COM%d:19200,n,8,1", com_port);
    else std::snprintf(comm_device_name, sizeof comm_device_name, "\\\\.\\COM%d", com_port);

    hComm = plat_port_open(comm_device_name);
    // A trace like any other, so that the log says why a port was passed over.
    const char *note = plat_port_note();
    if (note[0]) debug_trace(note);
    if (!hComm) return false;

    // On failure the record of the previous port is reused as it stands.
    if (!plat_port_get_state(hComm, &comm_dcb)) {
        std::snprintf(msg_buf, sizeof msg_buf, "In GetCommStat, error = 0x%X\n ",
                      static_cast<unsigned>(plat_last_error()));
        debug_trace(msg_buf);
    }

    comm_dcb.BaudRate = 115200;
    comm_dcb.ByteSize = 8;
    comm_dcb.Parity = 0;   // none
    comm_dcb.StopBits = 0; // one
    uint32_t low = (comm_dcb.flags & 0xFFFFu & FLAGS_KEEP) | FLAGS_SET;
    comm_dcb.flags = (comm_dcb.flags & 0xFFFF0000u) | low;

    if (!plat_port_set_state(hComm, &comm_dcb)) {
        std::snprintf(msg_buf, sizeof msg_buf, "In SetCommStat, error = 0x%X\n ",
                      static_cast<unsigned>(plat_last_error()));
        debug_trace(msg_buf);
    }

    // Reads return at once with what has arrived; a 16-byte write gives up
    // after 1160 ms.
    plat_timeouts t;
    t.ReadIntervalTimeout = 0xFFFFFFFFu;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = 10;
    t.WriteTotalTimeoutConstant = 1000;
    plat_port_set_timeouts(hComm, &t);
    return true;
}

void close_port() {
    if (!hComm) return;
    plat_port_close(hComm);
    hComm = nullptr;
}
