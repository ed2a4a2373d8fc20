#include "identify/identify.h"

int actual_modem_type;
int actual_sector_size;
int actual_rrfl_checksum;
int load_modem_type;
int load_rrfl_sector;
int load_rrfl_checksum;
int load_type_ok;
int (*loader_precheck)();
