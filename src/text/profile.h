// The private-profile (INI) rules of GetPrivateProfileStringA, in portable
// code: the Linux build and the tests read settings with it, and a Wine
// test holds it to the real call.
#pragma once

#include <cstdint>

uint32_t profile_read_string(const char *section, const char *key, const char *def, char *out,
                             uint32_t capacity, const char *path);
