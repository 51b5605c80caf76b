// SPDX-License-Identifier: MIT
// JSON text of the board's events, shared by the board (its trace lines)
// and the launcher (its own lines in the same trace file).
#pragma once

#include <stdio.h>

#include <string>
#include <string_view>

namespace kb {

// Appends `s` to `out` escaped for a JSON string (without the quotes).
inline void json_escape(std::string &out, std::string_view s)
{
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char b[8];
                    snprintf(b, sizeof b, "\\u%04x", c);
                    out += b;
                } else {
                    out += ch;
                }
        }
    }
}

}  // namespace kb
