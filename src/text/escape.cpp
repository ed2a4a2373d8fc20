#include "text/escape.h"

#include <cstdio>

std::string escape_text(const char *text, size_t n, unsigned also) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\' && (also & ESCAPE_BACKSLASH)) out += "\\\\";
        else if (c == '"' && (also & ESCAPE_QUOTE)) out += "\\\"";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7F || (c > 0x7F && (also & ESCAPE_HIGH))) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else out.push_back(static_cast<char>(c));
    }
    return out;
}
