// Everything the program says to the modem and every reply token it relies
// on, in one place. Replies are searched as substrings of rx_buffer.
#pragma once

// A table, aligned by hand.
// clang-format off
// Sent                                      // by: awaited, time-out in units
#define CMD_WAKE        "AAAAT\r"   // probe: "OK", 2 then 1; outcome ignored
#define CMD_AT          "AT\r"      // probe: "OK", 1; outcome ignored
#define CMD_FLASH_MODE  "AT&&F\r"   // probe: "OK", 1; none = no flashable modem
#define CMD_IDENTIFY    "ATI5\r"    // probe: "OK", 1; type letter at index 7, "RRFL"
#define CMD_RRFL_INFO   "AT&&FFL\r" // probe: "OK", 1; checksum digits then sector token
#define CMD_RRFL_GO     "AT&&FGO\r" // probe, sequencer: "OK", 1; reply holds VERSION_TOKEN
#define LOADER_PREFIX   "at&&f"     // loader thread: prefix of every loader line
#define LINE_END_CR     '\r'        // ends every loader line and load record sent
#define LOADER_RECORD_MARK ':'      // loader lines starting so: "OK", 3; others not awaited
                                    // load record: "OK" (no "NOK"), 180 first, then 90
#define CHAR_ERASE_ALL  'Z'         // full-erase offer: "OK", 3; reply holds VERSION_TOKEN
#define CHAR_END_JOB    'Y'         // end of the job: nothing awaited
// From the settings: cfg_atcmd in place of CMD_IDENTIFY ("OK", 1; the reply
// also holds one alternative of cfg_response), and cfg_atchecksum at the end
// (cfg_checksumresponse, UNITS_CHECKSUM; found = the job succeeded).

// Relied on in replies
#define REPLY_OK        "OK"      // also found inside every NOK code
#define REPLY_NOK       "NOK"
#define REPLY_NOK1      "NOK1"    // erase failed
#define REPLY_NOK2      "NOK2"    // record start not found
#define REPLY_NOK3      "NOK3"    // checksum failure
#define REPLY_NOK4      "NOK4"    // programming failed
#define REPLY_RRFL      "RRFL"    // the resident loader is running
#define SECTOR_TOKEN_64 ",40,"
#define SECTOR_TOKEN_16 ",10,"
#define VERSION_TOKEN   "Ver:1.4"
#define TYPE_LETTER_INDEX 7       // in the identification reply: C, I, S, U or P
#define CHECKSUM_DIGITS 4         // hex digits next to the sector token
// clang-format on

// Time-outs, in units of 2000 ms
enum {
    UNITS_FIRST_WAKE = 2,
    UNITS_COMMAND = 1,
    UNITS_LOADER_LINE = 3,
    UNITS_ERASE_ALL = 3,
    UNITS_FIRST_RECORD = 180,
    UNITS_RECORD = 90,
    UNITS_CHECKSUM = 2,
};
