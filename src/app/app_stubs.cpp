// Placeholder until the application shell lands; delete with it.
#include "app/app.h"
int read_flash_settings(const char *, char *, char *) { return 0; }
void init_status_lines() {}
int bar_numbers(int, int32_t *c, int32_t *t) { *c = *t = 0; return 0; }
int bar_geometry(int, int32_t, int32_t, int32_t, int32_t, plat_rect *, plat_rect *) { return 0; }
int close_needs_confirm(int) { return 0; }
void on_close_request() {}
void on_window_destroyed() {}
void ReDraw() {}
void show_wait_cursor() {}
void show_arrow_cursor() {}
int choose_load_file() { return 0; }
int command_line_port(const char *) { return 0; }
int app_startup(const char *, int) { return 0; }
