// The byte ring: capacity rules, all-or-nothing reads, wrap-around, and a
// randomized run against a byte-at-a-time model of the same ring.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#define KA_LOG_FILE "test"
#include "ka_internal.h"

namespace {

struct RingDeleter {
    void operator()(ka_ringbuf *rb) const { ka_ringbuf_destroy(rb); }
};
using Ring = std::unique_ptr<ka_ringbuf, RingDeleter>;

Ring make_ring(int32_t capacity)
{
    Ring rb(ka_ringbuf_create(capacity));
    EXPECT_NE(rb, nullptr);
    return rb;
}

std::vector<unsigned char> pattern(size_t n, unsigned seed)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(seed + i * 7);
    return v;
}

// The ring as the module's original code moved it: one byte per step.
struct ModelRing {
    explicit ModelRing(int32_t c) : size(c), data(static_cast<size_t>(c) + 1) {}
    int32_t used() const { return (wr - rd + size + 1) % (size + 1); }
    int32_t put(const unsigned char *src, int32_t n)
    {
        int32_t room = size - used();
        if (room == 0) return 0;
        int32_t k = room < n ? room : n;
        if (k <= 0) return k;
        for (int32_t i = 0; i < k; ++i) {
            data[wr] = src[i];
            wr = (wr + 1) % (size + 1);
        }
        return k;
    }
    int32_t get(unsigned char *dst, int32_t n)
    {
        int32_t u = used();
        if (u == 0 || u < n) return 0;
        if (n <= 0) return n;
        for (int32_t i = 0; i < n; ++i) {
            dst[i] = data[rd];
            rd = (rd + 1) % (size + 1);
        }
        return n;
    }
    int32_t size;
    int32_t rd = 0, wr = 0;
    std::vector<unsigned char> data;
};

TEST(RingBuffer, HoldsExactlyItsCapacity)
{
    Ring rb = make_ring(1280);
    ASSERT_TRUE(rb);
    EXPECT_EQ(ka_ringbuf_free(rb.get()), 1280);
    EXPECT_EQ(ka_ringbuf_used(rb.get()), 0);

    auto in = pattern(1281, 1);
    EXPECT_EQ(ka_ringbuf_put(rb.get(), in.data(), 1280), 1280);
    EXPECT_EQ(ka_ringbuf_used(rb.get()), 1280);
    EXPECT_EQ(ka_ringbuf_free(rb.get()), 0);
    // Full: the storage has one byte more, but it is never used.
    EXPECT_EQ(ka_ringbuf_put(rb.get(), in.data() + 1280, 1), 0);

    std::vector<unsigned char> out(1280);
    EXPECT_EQ(ka_ringbuf_get(rb.get(), out.data(), 1280), 1280);
    EXPECT_EQ(std::vector<unsigned char>(in.begin(), in.begin() + 1280), out);
    EXPECT_EQ(ka_ringbuf_used(rb.get()), 0);
}

TEST(RingBuffer, PartialPutAndAllOrNothingGet)
{
    Ring rb = make_ring(1280);
    auto in = pattern(1280, 3);
    ASSERT_EQ(ka_ringbuf_put(rb.get(), in.data(), 1080), 1080);
    // 200 free: a put of 500 copies 200.
    EXPECT_EQ(ka_ringbuf_put(rb.get(), in.data(), 500), 200);
    EXPECT_EQ(ka_ringbuf_free(rb.get()), 0);

    Ring small = make_ring(1280);
    ASSERT_EQ(ka_ringbuf_put(small.get(), in.data(), 319), 319);
    std::vector<unsigned char> out(320, 0xEE);
    const int32_t rd_before = small->rd;
    EXPECT_EQ(ka_ringbuf_get(small.get(), out.data(), 320), 0);
    EXPECT_EQ(small->rd, rd_before);
    EXPECT_EQ(out[0], 0xEE) << "a refused get must not copy";
    ASSERT_EQ(ka_ringbuf_put(small.get(), in.data() + 319, 1), 1);
    EXPECT_EQ(ka_ringbuf_get(small.get(), out.data(), 320), 320);
    EXPECT_EQ(std::vector<unsigned char>(in.begin(), in.begin() + 320), out);
    EXPECT_EQ(ka_ringbuf_used(small.get()), 0);

    // Zero and negative counts copy nothing.
    EXPECT_EQ(ka_ringbuf_put(small.get(), in.data(), 0), 0);
    EXPECT_EQ(ka_ringbuf_put(small.get(), in.data(), -5), -5);
    EXPECT_EQ(ka_ringbuf_used(small.get()), 0);
}

TEST(RingBuffer, WrapsBothIndicesAfterTheLastSlot)
{
    const int32_t c = 10;
    Ring rb = make_ring(c);
    auto in = pattern(64, 9);
    std::vector<unsigned char> out(64);
    ASSERT_EQ(ka_ringbuf_put(rb.get(), in.data(), 8), 8);
    ASSERT_EQ(ka_ringbuf_get(rb.get(), out.data(), 8), 8);
    EXPECT_EQ(rb->rd, 8);
    // 7 bytes: slots 8, 9, 10, then 0..3.
    ASSERT_EQ(ka_ringbuf_put(rb.get(), in.data() + 8, 7), 7);
    EXPECT_EQ(rb->wr, 4);
    ASSERT_EQ(ka_ringbuf_get(rb.get(), out.data(), 7), 7);
    EXPECT_EQ(rb->rd, 4);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 7, in.begin() + 8));
}

TEST(RingBuffer, CapacityZeroAndImpossibleCapacities)
{
    Ring rb = make_ring(0);
    ASSERT_TRUE(rb);
    unsigned char b[4] = {1, 2, 3, 4};
    EXPECT_EQ(ka_ringbuf_put(rb.get(), b, 4), 0);
    EXPECT_EQ(ka_ringbuf_get(rb.get(), b, 1), 0);

    EXPECT_EQ(ka_ringbuf_create(-1), nullptr);
    EXPECT_EQ(ka_ringbuf_create(INT32_MIN), nullptr);
    EXPECT_EQ(ka_ringbuf_create(INT32_MAX), nullptr);
}

// Block copies must behave exactly like the byte-at-a-time ring: same
// results, same indices, same bytes out, for every mix of sizes.
TEST(RingBuffer, MatchesByteAtATimeModel)
{
    std::mt19937 rng(1234);
    for (int32_t c : {1, 2, 7, 320, 1280, 38400}) {
        Ring rb = make_ring(c);
        ModelRing model(c);
        std::vector<unsigned char> src(static_cast<size_t>(c) * 2 + 8), a(src.size()), b(src.size());
        for (int step = 0; step < 4000; ++step) {
            int32_t n = static_cast<int32_t>(rng() % (src.size() + 1)) - 2;
            if (rng() % 2) {
                for (auto &x : src) x = static_cast<unsigned char>(rng());
                ASSERT_EQ(ka_ringbuf_put(rb.get(), src.data(), n), model.put(src.data(), n)) << c;
            } else {
                std::fill(a.begin(), a.end(), 0);
                std::fill(b.begin(), b.end(), 0);
                ASSERT_EQ(ka_ringbuf_get(rb.get(), a.data(), n), model.get(b.data(), n)) << c;
                ASSERT_EQ(a, b);
            }
            ASSERT_EQ(rb->rd, model.rd);
            ASSERT_EQ(rb->wr, model.wr);
            ASSERT_EQ(ka_ringbuf_used(rb.get()), model.used());
        }
    }
}

}  // namespace
