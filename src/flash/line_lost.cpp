// A serial device that hangs up (a USB adapter pulled) ends the job at once:
// no answer can come any more, and waiting for one would only hide why.
#include <cstdio>

#include "flash/flash.h"
#include "link/link.h"
#include "status/status.h"

int end_if_line_lost() {
    char why[160];
    if (!hComm || !plat_port_lost(hComm, why, sizeof why)) return 0;
    char text[320];
    std::snprintf(text, sizeof text, "FLASH: Line lost: %s", why);
    debug_trace(text);
    std::snprintf(text, sizeof text,
                  "The line to the modem on COM%d was lost: %s.\n"
                  "The job was stopped; the modem may be left without its firmware.",
                  com_port, why);
    message_box(text, "Line Lost", PLAT_MB_OK | PLAT_MB_ICONWARNING);
    flash_state = 13;
    return 1;
}

int line_lost_ends_step() {
    // The states that hold the port between steps; the loader download's
    // only once its thread has let go of it.
    bool holds = (flash_state >= 5 && flash_state <= 11) ||
                 (flash_state == 4 && loader_ticks != 0 && loader_busy.load() != 1);
    return holds && end_if_line_lost();
}
