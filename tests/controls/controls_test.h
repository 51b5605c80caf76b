// Helpers of the controls tests: log lines by priority and exact text, and
// what the board recorded for the control device.
#pragma once

#include <string>
#include <vector>

#include "ka_board.h"
#include "ka_test.h"

namespace ka_test {

constexpr int kDebug = 3;
constexpr int kError = 6;

// Log lines of priority `prio` that read "<file>[<line>]:<body>" exactly.
inline int count_msg(const LogCapture &log, int prio, const std::string &file, const std::string &body)
{
    int n = 0;
    for (const LogLine &l : log.lines()) {
        if (l.prio != prio || l.tag != "" || l.text.compare(0, file.size() + 1, file + "[") != 0) continue;
        const size_t close = l.text.find("]:", file.size() + 1);
        if (close == std::string::npos || close == file.size() + 1) continue;
        if (l.text.find_first_not_of("0123456789", file.size() + 1) != close) continue;
        if (l.text.compare(close + 2, std::string::npos, body) == 0) ++n;
    }
    return n;
}

inline int lib_msg(const LogCapture &log, int prio, const std::string &body)
{
    return count_msg(log, prio, "ka_lib_audio", body);
}

// Every control write recorded since the last board reset.
inline std::vector<kb_ctl_write> ctl_writes()
{
    std::vector<kb_ctl_write> w(4096);
    const size_t n = kb_ctl_writes(w.data(), w.size());
    w.resize(n < w.size() ? n : w.size());
    return w;
}

// Values of the writes to control `name`, one vector per write, in order.
inline std::vector<std::vector<long>> writes_to(const std::string &name)
{
    std::vector<std::vector<long>> out;
    for (const kb_ctl_write &w : ctl_writes())
        if (name == w.name) out.emplace_back(w.values, w.values + w.count);
    return out;
}

// The current values of a control; empty when the board has no such control.
inline std::vector<long> ctl_values(const std::string &name)
{
    long v[8] = {};
    int n = kb_ctl_get(name.c_str(), v, 8);
    if (n < 0) return {};
    return std::vector<long>(v, v + (n < 8 ? n : 8));
}

}  // namespace ka_test
