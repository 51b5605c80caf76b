// The software volume routine against the per-sample rule, for every 16-bit
// sample value at every volume 0..100, on unaligned buffers with an odd
// trailing byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#define KA_LOG_FILE "test"
#include "ka_internal.h"

namespace {

// The rule, written independently: 64-bit product, C++ division (which
// truncates toward zero), back to 16 bits.
int16_t rule(int vol, int16_t s) { return static_cast<int16_t>(static_cast<int64_t>(vol) * s / 100); }

}  // namespace

TEST(SoftVolume, RuleExamples)
{
    EXPECT_EQ(rule(50, -3), -1);
    EXPECT_EQ(rule(50, 3), 1);
    EXPECT_EQ(rule(33, 1000), 330);
    EXPECT_EQ(rule(99, -32768), -32440);
}

TEST(SoftVolume, EverySampleAtEveryVolume)
{
    constexpr size_t kSamples = 65536;
    // One leading byte puts the samples at an odd address; one trailing byte
    // is the odd last byte that must stay.
    std::vector<unsigned char> buf(1 + 2 * kSamples + 1);
    std::vector<int16_t> expect(kSamples);
    for (int vol = 0; vol <= 100; ++vol) {
        for (size_t i = 0; i < kSamples; ++i) {
            const auto s = static_cast<int16_t>(static_cast<uint16_t>(i));
            std::memcpy(&buf[1 + 2 * i], &s, 2);
            expect[i] = rule(vol, s);
        }
        buf[0] = 0xA5;
        buf[buf.size() - 1] = 0x5A;
        ASSERT_EQ(__ka_soft_volume(vol, &buf[1], static_cast<unsigned>(2 * kSamples + 1)), 0);
        ASSERT_EQ(buf[0], 0xA5);
        ASSERT_EQ(buf[buf.size() - 1], 0x5A) << "odd last byte touched at volume " << vol;
        for (size_t i = 0; i < kSamples; ++i) {
            int16_t got;
            std::memcpy(&got, &buf[1 + 2 * i], 2);
            ASSERT_EQ(got, expect[i]) << "volume " << vol << ", sample " << static_cast<int16_t>(i);
        }
    }
}

TEST(SoftVolume, ShortBuffersAndRefusals)
{
    // Lengths around the routine's internal block size.
    for (unsigned n : {1u, 2u, 3u, 126u, 127u, 128u, 129u, 130u, 258u, 1001u}) {
        std::vector<unsigned char> buf(n);
        for (unsigned i = 0; i < n; ++i) buf[i] = static_cast<unsigned char>(i * 37 + 5);
        auto orig = buf;
        ASSERT_EQ(__ka_soft_volume(71, buf.data(), n), 0);
        for (unsigned i = 0; i + 1 < n; i += 2) {
            int16_t s, got;
            std::memcpy(&s, &orig[i], 2);
            std::memcpy(&got, &buf[i], 2);
            ASSERT_EQ(got, rule(71, s)) << "length " << n << ", byte " << i;
        }
        if (n % 2) {
            EXPECT_EQ(buf[n - 1], orig[n - 1]);
        }
    }
    // Volumes outside 0..100 (the operation may be called with any) keep
    // the rule as long as the product fits 32 bits.
    for (int vol : {-37, -100, 101, 250, 65535}) {
        std::vector<unsigned char> buf(2 * 1000);
        for (int i = 0; i < 1000; ++i) {
            const auto s = static_cast<int16_t>(i * 65 - 32768);
            std::memcpy(&buf[2 * i], &s, 2);
        }
        const auto orig = buf;
        ASSERT_EQ(__ka_soft_volume(vol, buf.data(), 2000), 0);
        for (int i = 0; i < 1000; ++i) {
            int16_t s, got;
            std::memcpy(&s, &orig[2 * i], 2);
            std::memcpy(&got, &buf[2 * i], 2);
            ASSERT_EQ(got, rule(vol, s)) << "volume " << vol << ", sample " << s;
        }
    }
    unsigned char b[2] = {1, 2};
    EXPECT_EQ(__ka_soft_volume(50, b, 0), -1);
    EXPECT_EQ(__ka_soft_volume(50, nullptr, 2), -1);
    EXPECT_EQ(__ka_pctx_write(nullptr, b, 2), -1);
}
