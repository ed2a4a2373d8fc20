// Modem identification: the load header, the compatibility rule, the probe.
#pragma once

// Modem type codes, one scale for the modem and the load.
enum {
    MODEM_UNKNOWN = 0,
    MODEM_TOVARINDEL = 1,
    MODEM_INTERNAL = 2,
    MODEM_EXTERNAL = 3,
    MODEM_USB = 4,
    MODEM_PCMCIA = 5
};

// Results of open_and_probe_port.
enum {
    PROBE_NO_MODEM = 1,
    PROBE_RRFL_STARTED = 2,
    PROBE_NEED_LOADER = 3,
    PROBE_START_RRFL = 4,
    PROBE_GIVE_UP = 5
};

extern int actual_modem_type;
extern int actual_sector_size;
extern int actual_rrfl_checksum;
extern int load_modem_type;
extern int load_rrfl_sector;
extern int load_rrfl_checksum;
extern int load_type_ok;

// The characters read from the load file's start (text stream rules): the
// header is characters 65 to 72 of them.
constexpr int LOAD_HEADER_CHARS = 75;
// `header`: those characters, zero bytes past the end of a shorter file.
void read_load_header(const char (&header)[LOAD_HEADER_CHARS + 1]);
int hex4_value(const char *p);
int ldsAreCompat();
void report_incompatible_load();

// When set, asked as soon as the modem is found to need the loader file,
// before the full-erase question: 0 ends the job there, the user told why.
extern int (*loader_precheck)();

int open_and_probe_port();
int decode_modem_type();
