// Helper of the controls tests: the board's record of the control device.
#pragma once

#include <string>
#include <vector>

#include "ka_test.h"

namespace ka_test {

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

}  // namespace ka_test
