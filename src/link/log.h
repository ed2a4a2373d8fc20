// The run's log file: every trace, every message box with its answer and the
// status lines as they change, each line stamped with the milliseconds since
// start, so that a failed job in the field can be reported. A log that
// cannot be written never stops or changes the job.
#pragma once

// Opens `path` (appending) when it is not empty; `settings` names the
// settings file in the header. Lines are held back until log_load_file
// names the load file for the header line.
void log_start(const char *path, const char *settings);
// The load file of this run ("" when none was chosen): writes the header
// line and what was held back.
void log_load_file(const char *path);
void log_line(const char *kind, const char *text);
// The two status lines, written when they differ from the last written.
void log_status(const char *line1, const char *line2);
// Writes what is still held back and closes the file.
void log_end();
