// SPDX-License-Identifier: MIT
// The AMRWB decode thread over arbitrary input, through the data-write
// contract.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ka_fuzz::run_decode(start_ka_amrwb_decode, data, size, true);
    return 0;
}
