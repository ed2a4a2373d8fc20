// Start-up: the program's folder, the settings, the window, the first port.
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "flash/flash.h"
#include "identify/identify.h"
#include "link/link.h"
#include "link/log.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace {
constexpr uint32_t MODULE_CAPACITY = 255;
// "\flashfile.ini" and the terminating zero must fit after the folder.
constexpr size_t SETTINGS_FOLDER_MAX = 256 - sizeof "\\flashfile.ini";
app_choices choices;
} // namespace

void app_choose(const app_choices &c) { choices = c; }

const char *command_line_args(const char *line) {
    if (!line) return "";
    // Codes compared as unsigned bytes: a letter of 0x80 or above belongs
    // to the name, and a quote inside an unquoted name is an ordinary one.
    const unsigned char *p = reinterpret_cast<const unsigned char *>(line);
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p > ' ') ++p;
    }
    while (*p >= 1 && *p <= ' ') ++p;
    return reinterpret_cast<const char *>(p);
}

int command_line_port(const char *cmdline) {
    if (!cmdline || !cmdline[0]) return 0;
    return static_cast<unsigned char>(cmdline[0]) & 15;
}

int app_startup(const char *cmdline, int show_cmd, const char *log_path) {
    char module[256];
    std::memset(module, 0, sizeof module);
    uint32_t n = plat_module_file_name(module, MODULE_CAPACITY);

    // A path that filled the buffer was cut: its folder is not the program's,
    // so it is neither made current nor searched for settings.
    const char *settings_folder = nullptr;
    if (n > 0 && n < MODULE_CAPACITY) {
        settings_folder = module;
        char *slash = std::strrchr(module, '\\');
        if (slash) {
            *slash = 0;
            int made_current = plat_set_current_directory(module);
            // Too long for the settings path; the folder is current, so a
            // relative name finds the same file.
            if (std::strlen(module) > SETTINGS_FOLDER_MAX)
                settings_folder = made_current ? "." : nullptr;
        }
    }
    cfg_complete = read_flash_settings(settings_folder, cfg_modemname, cfg_filename);
    // The file named on the command line is the one the user means.
    if (choices.load_path && choices.load_path[0])
        std::snprintf(cfg_filename, sizeof cfg_filename, "%s", choices.load_path);
    loader_precheck = choices.loader_first ? check_loader_file : nullptr;
    log_start(log_path && log_path[0] ? log_path : cfg_logfile,
              settings_path[0] ? settings_path : "(none)");

    if (!plat_create_main_window(show_cmd)) return 0;
    start_tick = plat_tick_count();
    flash_start();
    if (choices.first_port > 0) com_port = choices.first_port;
    else if (cmdline && cmdline[0]) com_port = command_line_port(cmdline);
    return 1;
}
