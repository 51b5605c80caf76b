// SPDX-License-Identifier: MIT
// The software volume routine against the per-sample rule: every 16-bit
// sample at every volume 0..100 on an unaligned buffer with an odd trailing
// byte, short lengths, and volumes outside 0..100.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#define KA_LOG_FILE "test"
#include "ka_internal.h"

namespace {

// The rule, written independently: 64-bit product, C++ division (which
// truncates toward zero), back to 16 bits.
int16_t rule(int vol, int16_t s)
{
    return static_cast<int16_t>(static_cast<int64_t>(vol) * s / 100);
}

// Scales `n` samples (s0, s0 + step, ...) placed at an odd address, followed
// by one odd byte, and compares every sample with the rule.
void check(int vol, size_t n, int s0, int step)
{
    std::vector<unsigned char> buf(1 + 2 * n + 1, 0xA5);
    for (size_t i = 0; i < n; ++i) {
        const auto s = static_cast<int16_t>(s0 + static_cast<int>(i) * step);
        std::memcpy(&buf[1 + 2 * i], &s, 2);
    }
    ASSERT_EQ(__ka_soft_volume(vol, &buf[1], static_cast<unsigned>(2 * n + 1)), 0);
    ASSERT_EQ(buf[0], 0xA5);
    ASSERT_EQ(buf.back(), 0xA5) << "odd last byte touched at volume " << vol;
    for (size_t i = 0; i < n; ++i) {
        const auto s = static_cast<int16_t>(s0 + static_cast<int>(i) * step);
        int16_t got;
        std::memcpy(&got, &buf[1 + 2 * i], 2);
        ASSERT_EQ(got, rule(vol, s)) << "volume " << vol << ", sample " << s << ", length " << n;
    }
}

}  // namespace

TEST(SoftVolume, EverySampleAtEveryVolume)
{
    for (int vol = 0; vol <= 100; ++vol) check(vol, 65536, -32768, 1);
}

TEST(SoftVolume, ShortLengthsOtherVolumesAndRefusals)
{
    for (size_t n : {0u, 1u, 63u, 64u, 65u, 129u, 500u}) check(71, n, -32768, 131);
    for (int vol : {-37, -100, 101, 250, 65535}) check(vol, 1000, -32768, 65);
    unsigned char b[2] = {1, 2};
    EXPECT_EQ(__ka_soft_volume(50, b, 0), -1);
    EXPECT_EQ(__ka_soft_volume(50, nullptr, 2), -1);
    EXPECT_EQ(__ka_pctx_write(nullptr, b, 2), -1);
}
