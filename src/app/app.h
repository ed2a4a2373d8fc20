// Application shell: start-up, settings, main window and status display.
#pragma once

#include <cstdint>

// ---- settings (read once from flashfile.ini) ----
extern int no_popups;
extern int skip_flush;
extern char cfg_modemname[256];
extern char cfg_filename[256];
extern char cfg_atcmd[256];
extern char cfg_response[256];
extern char cfg_atchecksum[256];
extern char cfg_checksumresponse[256];
extern int cfg_complete;

int read_flash_settings(const char *directory, char *modemname, char *filename);

// ---- status display ----
extern char status_line1[128];
extern char status_line2[128];
extern char download_path[256];
extern uint32_t start_tick;

struct plat_rect {
    int32_t left, top, right, bottom;
};
extern plat_rect progress_rect;

// status_line1 = "Found <name> on COM<n>" + ending (with the settings' modem
// name), else "Found Modem on COM<n>."; a long name is cut so that the port
// number still shows.
void set_found_line(const char *ending);
// Sets the first two status lines (called by the backend between creating
// the window and showing it).
void init_status_lines();
// Which count and total the bar shows in a state: 1 with a bar, 0 without.
int bar_numbers(int state, int32_t *count, int32_t *total);
// The bar's outline and fill for a client width, dots per inch and line height:
// 1 when there is a bar to draw.
int bar_geometry(int state, int32_t client_right, int32_t dpi_x, int32_t dpi_y,
                 int32_t line_height, plat_rect *outline, plat_rect *fill);
// Whether closing in this state asks first.
int close_needs_confirm(int state);
// WM_CLOSE: asks in the flashing states, else destroys the window.
void on_close_request();
// WM_DESTROY: closes a port still open.
void on_window_destroyed();

void ReDraw();
void show_wait_cursor();
void show_arrow_cursor();
int choose_load_file();

// ---- start-up ----
int command_line_port(const char *cmdline); // code of the first character AND 15, or 0
// Steps before the main loop: folder, settings, window, start tick, state, port.
// 0 when the window could not be created.
int app_startup(const char *cmdline, int show_cmd);
