// The settings, read once at start-up from flashfile.ini; every layer above
// may read them.
#pragma once

extern int no_popups;
extern int skip_flush;
extern char cfg_modemname[256];
extern char cfg_filename[256];
extern char cfg_atcmd[256];
extern char cfg_response[256];
extern char cfg_atchecksum[256];
extern char cfg_checksumresponse[256];
extern int cfg_complete;
// The run's log file (empty: none), and the settings file it names.
extern char cfg_logfile[256];
extern char settings_path[256];

int read_flash_settings(const char *directory, char *modemname, char *filename);
