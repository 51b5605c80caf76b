// SPDX-License-Identifier: MIT
// JSON text of the board's events, shared by the board (its trace lines)
// and the launcher (its own lines in the same trace file).
#pragma once

#include <stdio.h>

#include <string>
#include <string_view>

namespace kb {

// The version of the trace file's format, in the header line that starts
// every trace ({"ev":"trace","format":N,...}). Raised when a field changes
// its meaning or unit, so that an older reader refuses the file instead of
// showing it wrong; new fields and new event kinds keep the version.
constexpr int kTraceFormat = 1;

// The header line, with its newline, that whoever finds the trace file
// empty writes before its first event.
inline std::string trace_header(long long t_ns, int pid)
{
    return "{\"t\":" + std::to_string(t_ns) + ",\"pid\":" + std::to_string(pid) +
           ",\"ev\":\"trace\",\"format\":" + std::to_string(kTraceFormat) + "}\n";
}

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0.
inline size_t utf8_length(std::string_view s)
{
    const auto c = static_cast<unsigned char>(s[0]);
    const size_t n = c < 0x80                     ? 1
                     : (c >> 5) == 6 && c >= 0xC2 ? 2
                     : (c >> 4) == 14             ? 3
                     : c >= 0xF0 && c <= 0xF4     ? 4
                                                  : 0;
    if (n == 0 || n > s.size()) return 0;
    for (size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0;
    const auto c1 = static_cast<unsigned char>(s.size() > 1 ? s[1] : 0);
    // Overlong forms, UTF-16 surrogates, beyond U+10FFFF.
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) ||
        (c == 0xF4 && c1 >= 0x90))
        return 0;
    return n;
}

// `s` with each byte that is not part of well-formed UTF-8 replaced by
// U+FFFD: a JSON text is UTF-8, and command files may hold any bytes.
inline std::string valid_utf8(std::string_view s)
{
    std::string out;
    while (!s.empty()) {
        const size_t n = utf8_length(s);
        out += n ? s.substr(0, n) : std::string_view("\xEF\xBF\xBD");
        s.remove_prefix(n ? n : 1);
    }
    return out;
}

// Appends `s` to `out` escaped for a JSON string (without the quotes).
inline void json_escape(std::string &out, std::string_view raw)
{
    const std::string s = valid_utf8(raw);
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
