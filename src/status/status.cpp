// The status lines, repaint requests, cursors and the open-file dialog, as
// the probe and the sequencer use them.
#include "status/status.h"

#include <cstdio>
#include <string>

#include "link/link.h"
#include "link/log.h"
#include "platform/platform.h"
#include "settings/settings.h"

char status_line1[128];
char status_line2[128];
char download_path[256];

void set_found_line(const char *ending) {
    // The device where the user knows the port by it, else its COM name.
    const char *label = plat_port_label();
    std::string tail = " on " + (label[0] ? label : "COM" + std::to_string(com_port));
    if (cfg_complete != 1) {
        std::snprintf(status_line1, sizeof status_line1, "Found Modem%s.", tail.c_str());
        return;
    }
    // A name too long for the line is cut, never the port.
    tail += ending;
    int room = static_cast<int>(sizeof status_line1) - 1 - 6 - static_cast<int>(tail.size());
    std::snprintf(status_line1, sizeof status_line1, "Found %.*s%s", room < 0 ? 0 : room,
                  cfg_modemname, tail.c_str());
}

int message_box(const char *text, const char *caption, unsigned flags) {
    log_status(status_line1, status_line2);
    int answer = plat_message_box(text, caption, flags);
    const char *said = answer == PLAT_IDYES ? "Yes" : answer == PLAT_IDNO ? "No" : "OK";
    std::string line = "\"" + std::string(caption) + "\" \"" + text + "\" answered " + said;
    log_line("box", line.c_str());
    return answer;
}

void ReDraw() {
    log_status(status_line1, status_line2);
    plat_redraw();
}

void show_wait_cursor() { plat_set_cursor(PLAT_CURSOR_WAIT); }

void show_arrow_cursor() { plat_set_cursor(PLAT_CURSOR_ARROW); }

int choose_load_file() {
    char file[256] = "modem.hex";
    char title[256] = "";
    char filter[256];
    std::snprintf(filter, sizeof filter, "%s", "Hex files (*.hex)|*.hex|All files|*.*|");
    for (char *p = filter; *p; ++p)
        if (*p == '|') *p = 0;

    std::snprintf(download_path, sizeof download_path, "%s", file);

    plat_open_file req{};
    req.filter = filter;
    req.filter_index = 1;
    req.file = file;
    req.max_file = sizeof file;
    req.file_title = title;
    req.max_file_title = sizeof title;
    req.title = "Choose File to Download";
    req.flags = 0x1004; // OFN_FILEMUSTEXIST | OFN_HIDEREADONLY
    req.def_ext = "hex";
    if (!plat_get_open_file_name(&req)) return 0;

    file[sizeof file - 1] = 0;
    std::snprintf(download_path, sizeof download_path, "%s", file);
    return 1;
}
