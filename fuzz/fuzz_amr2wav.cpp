// SPDX-License-Identifier: MIT
// AMR to WAV conversion of arbitrary input, both formats.
#include <stdlib.h>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int in = ka_fuzz::input_fd(data, size, 0);
    int out = ka_fuzz::empty_fd(1);
    if (in < 0 || out < 0) return 0;
    char in_path[64], out_path[64];
    snprintf(in_path, sizeof in_path, "/proc/self/fd/%d", in);
    snprintf(out_path, sizeof out_path, "/proc/self/fd/%d", out);
    int frames = DecodeAMRFileToWAVEFile(in_path, out_path);
    // Each frame is 20 ms of output: the file cannot hold more frames than
    // bytes.
    if (frames > int(size)) __builtin_trap();
    return 0;
}
