// A serial device that hangs up (a USB adapter pulled) ends the job at once:
// no answer can come any more, and waiting for one would only hide why.
#include <cstdio>

#include "flash/flash.h"
#include "link/link.h"
#include "status/status.h"

int line_lost_reported() {
    char why[160];
    if (!hComm || !plat_port_lost(hComm, why, sizeof why)) return 0;
    char text[320];
    std::snprintf(text, sizeof text, "FLASH: Line lost: %s", why);
    debug_trace(text);
    // The device is named in `why`; a COM name the user does not know is not.
    char port[16] = "";
    if (!plat_port_label()[0]) std::snprintf(port, sizeof port, " on COM%d", com_port);
    std::snprintf(text, sizeof text,
                  "The line to the modem%s was lost: %s.\n"
                  "The job was stopped; the modem may be left without its firmware.",
                  port, why);
    message_box(text, "Line Lost", PLAT_MB_OK | PLAT_MB_ICONWARNING);
    return 1;
}

int line_lost_ends_step() {
    // The states that hold the port between steps; the loader download's
    // only once its thread has let go of it.
    bool holds = false;
    switch (flash_state) {
    case SEQ_OPEN_LOADER:
    case SEQ_OPEN_LOAD:
    case SEQ_SEND:
    case SEQ_POLL:
    case SEQ_NOT_RESPONDING:
    case SEQ_RRFL_VERSION:
    case SEQ_FLASH_ERROR: holds = true; break;
    case SEQ_LOADER: holds = loader_ticks != 0 && loader_busy.load() != 1; break;
    default: break;
    }
    return holds && line_lost_reported();
}
