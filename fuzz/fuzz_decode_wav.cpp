// SPDX-License-Identifier: MIT
// The WAV decode thread over arbitrary input, through the data-write
// contract.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ka_fuzz::run_decode(start_ka_wav_decode, data, size, false);
    return 0;
}
