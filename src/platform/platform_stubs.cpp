// Placeholder until the profile reader lands; delete with it.
#include "platform/profile.h"
uint32_t profile_read_string(const char *, const char *, const char *def, char *out, uint32_t cap, const char *) {
    uint32_t n = 0;
    while (def[n] && n + 1 < cap) { out[n] = def[n]; ++n; }
    if (cap) out[n] = 0;
    return n;
}
