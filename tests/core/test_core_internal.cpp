// SPDX-License-Identifier: MIT
// Internal units that need no board: the byte ring against a byte-at-a-time
// model of it (which covers partial puts, all-or-nothing gets and the wrap of
// both indices), and the software volume routine against the per-sample
// rule. (A program that never starts the board also checks that its exit
// copes with that.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#define KA_LOG_FILE "test"
#include "files/ka_files_internal.h"
#include "ka_internal.h"

namespace {

struct RingDeleter {
    void operator()(ka_ringbuf *rb) const { ka_ringbuf_destroy(rb); }
};
using Ring = std::unique_ptr<ka_ringbuf, RingDeleter>;

// The ring as the module's original code moved it: one byte per step. A put
// takes what fits (a non-positive count comes back as it is, unless the ring
// is full); a get takes all it asks for or nothing.
struct ModelRing {
    explicit ModelRing(int32_t c) : size(c), data(static_cast<size_t>(c) + 1) {}
    int32_t used() const { return (wr - rd + size + 1) % (size + 1); }
    int32_t put(const unsigned char *src, int32_t n)
    {
        const int32_t k = used() == size ? 0 : std::min(size - used(), n);
        for (int32_t i = 0; i < k; ++i) data[std::exchange(wr, (wr + 1) % (size + 1))] = src[i];
        return k;
    }
    int32_t get(unsigned char *dst, int32_t n)
    {
        const int32_t k = used() == 0 || used() < n ? 0 : n;
        for (int32_t i = 0; i < k; ++i) dst[i] = data[std::exchange(rd, (rd + 1) % (size + 1))];
        return k;
    }
    int32_t size;
    int32_t rd = 0, wr = 0;
    std::vector<unsigned char> data;
};

TEST(RingBuffer, ImpossibleCapacities)
{
    EXPECT_EQ(ka_ringbuf_create(-1), nullptr);
    EXPECT_EQ(ka_ringbuf_create(INT32_MAX), nullptr);
}

// Block copies must behave exactly like the byte-at-a-time ring: same
// results, same indices, same room, same bytes out, for every mix of sizes;
// a ring holds exactly its capacity (the storage's one byte more is never
// used), and a ring of capacity 0 takes and gives nothing.
TEST(RingBuffer, MatchesByteAtATimeModel)
{
    std::mt19937 rng(1234);
    for (int32_t c : {0, 1, 2, 7, 320, 1280, 38400}) {
        bool wrapped = false, refused_get = false, partial_put = false, full = false;
        Ring rb(ka_ringbuf_create(c));
        ASSERT_TRUE(rb);
        ModelRing model(c);
        std::vector<unsigned char> src(static_cast<size_t>(c) * 4 + 16), a(src.size()), b(src.size());
        for (auto &x : src) x = static_cast<unsigned char>(rng());
        for (int step = 0; step < 4000; ++step) {
            int32_t n = static_cast<int32_t>(rng() % (src.size() / 2 + 1)) - 2;
            if (rng() % 2) {
                const unsigned char *from = src.data() + rng() % (src.size() / 2);
                const int32_t k = model.put(from, n);
                ASSERT_EQ(ka_ringbuf_put(rb.get(), from, n), k) << c;
                partial_put |= k > 0 && k < n;
            } else {
                if (n > 0) {
                    std::fill(a.begin(), a.begin() + n, 0);
                    std::fill(b.begin(), b.begin() + n, 0);
                }
                const int32_t k = model.get(b.data(), n);
                ASSERT_EQ(ka_ringbuf_get(rb.get(), a.data(), n), k) << c;
                ASSERT_EQ(a, b) << "a refused get copies nothing; a granted one the oldest bytes";
                refused_get |= k == 0 && n > 0 && model.used() > 0;
            }
            wrapped |= rb->wr < model.rd && rb->rd > 0;
            ASSERT_EQ(rb->rd, model.rd);
            ASSERT_EQ(rb->wr, model.wr);
            ASSERT_EQ(ka_ringbuf_used(rb.get()), model.used());
            ASSERT_EQ(ka_ringbuf_free(rb.get()), c - model.used());
            full |= model.used() == c && c > 0;
        }
        // The random walk must have reached the cases it stands for.
        if (c == 0) continue;
        EXPECT_TRUE(partial_put && refused_get && full) << c;
        if (c > 2) {
            EXPECT_TRUE(wrapped) << c;
        }
    }
}

// Scales `n` samples (s0, s0 + step, ...) placed at an odd address, followed
// by one odd byte, and compares every byte with the rule, written
// independently: 64-bit product, C++ division (which truncates toward zero),
// back to 16 bits; the bytes around the samples stay as they were.
void check(int vol, size_t n, int s0, int step)
{
    std::vector<unsigned char> buf(1 + 2 * n + 1, 0xA5), want = buf;
    for (size_t i = 0; i < n; ++i) {
        const auto s = static_cast<int16_t>(s0 + static_cast<int>(i) * step);
        const auto scaled = static_cast<int16_t>(static_cast<int64_t>(vol) * s / 100);
        std::memcpy(&buf[1 + 2 * i], &s, 2);
        std::memcpy(&want[1 + 2 * i], &scaled, 2);
    }
    ASSERT_EQ(__ka_soft_volume(vol, &buf[1], static_cast<unsigned>(2 * n + 1)), 0);
    const auto at = std::mismatch(buf.begin(), buf.end(), want.begin()).first - buf.begin();
    ASSERT_EQ(at, buf.end() - buf.begin()) << "volume " << vol << ", length " << n << ": byte " << at;
}

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

}  // namespace

// The little-endian fields of WAV and AMR headers, all four bytes of each.
TEST(LittleEndian, FieldsRoundTrip)
{
    uint8_t b[4] = {};
    ka_files::put_le32(b, 0x89ABCDEFu);
    EXPECT_EQ((std::vector<uint8_t>{b, b + 4}), (std::vector<uint8_t>{0xEF, 0xCD, 0xAB, 0x89}));
    EXPECT_EQ(ka_files::get_le32(b), 0x89ABCDEFu);
}
