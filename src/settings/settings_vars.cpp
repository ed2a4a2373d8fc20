#include "settings/settings.h"

int no_popups;
int skip_flush;
char cfg_modemname[256];
char cfg_filename[256];
char cfg_atcmd[256];
char cfg_response[256];
char cfg_atchecksum[256];
char cfg_checksumresponse[256];
int cfg_complete;
char cfg_logfile[256];
char settings_path[256];
