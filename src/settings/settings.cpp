// The settings file, flashfile.ini in the program's folder, read once at start-up.
#include <cstdio>
#include <cstring>

#include "settings/settings.h"
#include "platform/platform.h"

namespace {
const char SETTINGS_SECTION[] = "FlashInfo";
const char SETTINGS_FILE[] = "flashfile.ini";
constexpr uint32_t VALUE_CAPACITY = 255; // of the 256-byte buffers: 254 characters at most
const char NOT_SET[] = "<empty>";

int is_yes(const char *value) {
    return (value[0] == 'y' || value[0] == 'Y') && (value[1] == 'e' || value[1] == 'E') &&
           (value[2] == 's' || value[2] == 'S') && value[3] == 0;
}

uint32_t read_key(const char *path, const char *key, const char *def, char *out) {
    return plat_profile_string(SETTINGS_SECTION, key, def, out, VALUE_CAPACITY, path);
}

// atcmd, response, atchecksum, checksumresponse: a missing key, an empty value
// and "<empty>" all mean "not set"; commands get their carriage return.
void read_optional(const char *path, const char *key, char *out, int add_cr) {
    char value[256] = "";
    uint32_t n = read_key(path, key, NOT_SET, value);
    if (n == 0 || std::strcmp(value, NOT_SET) == 0) {
        out[0] = 0;
        return;
    }
    // 254 characters at most, so the CR still fits the 256 bytes.
    std::snprintf(out, 256, add_cr ? "%s\r" : "%s", value);
}
} // namespace

int read_flash_settings(const char *directory, char *modemname, char *filename) {
    no_popups = 0;
    skip_flush = 0;
    modemname[0] = 0;
    filename[0] = 0;
    cfg_atcmd[0] = 0;
    cfg_response[0] = 0;
    cfg_atchecksum[0] = 0;
    cfg_checksumresponse[0] = 0;
    cfg_logfile[0] = 0;
    settings_path[0] = 0;

    // No folder, or one too long for the path buffer: the defaults, rather
    // than a cut path that could name some other file.
    char path[256];
    if (!directory) return 0;
    int len = std::snprintf(path, sizeof path, "%s\\%s", directory, SETTINGS_FILE);
    if (len < 0 || len >= static_cast<int>(sizeof path)) return 0;
    std::snprintf(settings_path, sizeof settings_path, "%s", path);

    char value[256] = "";
    read_key(path, "NoPopUps", "", value);
    no_popups = is_yes(value);
    value[0] = 0;
    read_key(path, "SkipFlush", "", value);
    skip_flush = is_yes(value);

    uint32_t name_len = read_key(path, "modemname", "", modemname);
    uint32_t file_len = read_key(path, "filename", "", filename);

    read_optional(path, "atcmd", cfg_atcmd, 1);
    read_optional(path, "response", cfg_response, 0);
    read_optional(path, "atchecksum", cfg_atchecksum, 1);
    read_optional(path, "checksumresponse", cfg_checksumresponse, 0);
    read_key(path, "logfile", "", cfg_logfile);

    return name_len != 0 && file_len != 0;
}
