// SPDX-License-Identifier: MIT
// Mixer controls by name and their values as text: Ka_clt_set_mixer_value
// (the library's split of the value text, then the platform's lookup by name
// and conversion by the control's type) and Ka_clt_get_mixer_value, over the
// stand-in control device of fuzz_module.h.
//
// Input: a first line, "get" or the value count given with the text (decimal,
// any sign); a second line, the control name; the rest, the value text. An
// input without a line end is a name to read.
#include <limits.h>

#include <string>

#include "fuzz_common.h"
#include "fuzz_module.h"

namespace {

int count_of(const std::string &line)
{
    char *end = nullptr;
    long v = strtol(line.c_str(), &end, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string in(reinterpret_cast<const char *>(data), size);
    const size_t first = in.find('\n');
    std::string head = "get", name = in, value;
    if (first != std::string::npos) {
        head = in.substr(0, first);
        const size_t second = in.find('\n', first + 1);
        name = in.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        if (second != std::string::npos) value = in.substr(second + 1);
    }

    if (head == "get") {
        struct snd_ctl_elem_value v;
        const int n = Ka_clt_get_mixer_value(name.c_str(), &v);
        // -1 for no such control, else the control's value count.
        if (n < -1 || n == 0 || n > 128) __builtin_trap();
    } else {
        const long before = ka_fuzz_module::state().writes;
        const int rc = Ka_clt_set_mixer_value(name.c_str(), count_of(head), value.c_str());
        const long writes = ka_fuzz_module::state().writes - before;
        // 1 after exactly one write of converted values; 0 with nothing written.
        if ((rc != 0 && rc != 1) || writes != rc) __builtin_trap();
    }
    // The control device is open only during an operation.
    if (ka_fuzz_module::open_fds() != 0) __builtin_trap();
    return 0;
}
