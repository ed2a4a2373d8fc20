// What the job reports to the user and asks of them: the two status lines,
// repaint requests, cursors and the choice of the load file. The window
// (app/) and each backend draw from these.
#pragma once

extern char status_line1[128];
extern char status_line2[128];
extern char download_path[256];

// status_line1 = "Found <name> on COM<n>" + ending (with the settings' modem
// name), else "Found Modem on COM<n>."; a long name is cut so that the port
// number still shows.
void set_found_line(const char *ending);

// A message box owned by the main window; the log gets its texts and the
// answer.
int message_box(const char *text, const char *caption, unsigned flags);

void ReDraw();
void show_wait_cursor();
void show_arrow_cursor();
// The open-file dialog: 1 with the chosen path in download_path, 0 when cancelled.
int choose_load_file();
