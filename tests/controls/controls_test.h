// Helpers of the controls tests: log lines by priority and text, and the
// board's record of the control device.
#pragma once

#include <string>
#include <vector>

#include "ka_test.h"

namespace ka_test {

constexpr int kDebug = 3, kError = 6;

// Lines of priority `prio` reading "ka_lib_audio[<line>]:<body>" exactly.
inline int lib_msg(const LogCapture &log, int prio, const std::string &body)
{
    int n = 0;
    for (const LogLine &l : log.lines()) {
        const size_t close = l.text.find("]:");
        n += l.prio == prio && l.tag.empty() && l.text.rfind("ka_lib_audio[", 0) == 0 && close != std::string::npos &&
             l.text.find_first_not_of("0123456789", 13) == close && l.text.substr(close + 2) == body;
    }
    return n;
}

// Values of every recorded write to control `name` (all controls: ""), in order.
inline std::vector<std::vector<long>> writes_to(const std::string &name = "")
{
    std::vector<kb_ctl_write> w(1024);
    w.resize(std::min(kb_ctl_writes(w.data(), w.size()), w.size()));
    std::vector<std::vector<long>> out;
    for (const kb_ctl_write &x : w)
        if (name.empty() || name == x.name) out.emplace_back(x.values, x.values + x.count);
    return out;
}

inline std::vector<long> ctl_values(const char *name)
{
    long v[8] = {};
    const int n = kb_ctl_get(name, v, 8);
    return n < 0 ? std::vector<long>{} : std::vector<long>(v, v + std::min(n, 8));
}

}  // namespace ka_test
