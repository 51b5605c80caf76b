// SPDX-License-Identifier: MIT
// Ring buffer throughput: bytes through put + get for the default 1280-byte
// ring and a 38400-byte ring (200 ms of 48 kHz stereo), against memcpy of the
// same bytes (one copy in, one out) measured in the same run, and against a
// byte-at-a-time ring for reference. Prints ratios; asserts nothing but
// that all three move the same bytes.
#include <benchmark/benchmark.h>
#include <string.h>

#include <chrono>
#include <cstdio>
#include <vector>

#define KA_LOG_FILE "bench"
#include "ka_internal.h"

namespace {

struct ByteRing {
    explicit ByteRing(int32_t c) : size(c), data(static_cast<size_t>(c) + 1) {}
    int32_t used() const { return (wr - rd + size + 1) % (size + 1); }
    int32_t put(const unsigned char *s, int32_t n)
    {
        int32_t room = size - used();
        int32_t k = room < n ? room : n;
        for (int32_t i = 0; i < k; ++i) {
            data[wr] = s[i];
            wr = (wr + 1) % (size + 1);
        }
        return k;
    }
    int32_t get(unsigned char *d, int32_t n)
    {
        if (used() < n) return 0;
        for (int32_t i = 0; i < n; ++i) {
            d[i] = data[rd];
            rd = (rd + 1) % (size + 1);
        }
        return n;
    }
    int32_t size, rd = 0, wr = 0;
    std::vector<unsigned char> data;
};

// Moves `total` bytes through a ring of `cap` bytes: the writer puts chunks
// of `chunk` bytes, the reader takes whole periods of `chunk` bytes.
template <typename Put, typename Get>
double run(size_t total, int32_t chunk, Put put, Get get, std::vector<unsigned char> &src,
           std::vector<unsigned char> &dst)
{
    auto t0 = std::chrono::steady_clock::now();
    size_t moved = 0;
    while (moved < total) {
        int32_t k = put(src.data() + (moved % (src.size() - chunk)), chunk);
        if (k < chunk) {
            while (get(dst.data(), chunk) == chunk) benchmark::DoNotOptimize(dst.data());
            if (k == 0) continue;
        }
        moved += static_cast<size_t>(k);
    }
    while (get(dst.data(), chunk) == chunk) benchmark::DoNotOptimize(dst.data());
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(t1 - t0).count();
}

void measure(int32_t cap, int32_t chunk)
{
    const size_t total = 256u << 20;  // 256 MiB through the ring
    std::vector<unsigned char> src(1 << 16), dst(static_cast<size_t>(chunk));
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 13);

    double best_ring = 1e9, best_memcpy = 1e9, best_bytes = 1e9;
    for (int rep = 0; rep < 5; ++rep) {
        ka_ringbuf *rb = ka_ringbuf_create(cap);
        best_ring = std::min(best_ring, run(
            total, chunk, [&](const unsigned char *s, int32_t n) { return ka_ringbuf_put(rb, s, n); },
            [&](unsigned char *d, int32_t n) { return ka_ringbuf_get(rb, d, n); }, src, dst));
        ka_ringbuf_destroy(rb);

        // The baseline copies every byte twice as well: into a buffer of the
        // ring's size and out of it.
        std::vector<unsigned char> mid(static_cast<size_t>(cap) + 1);
        auto t0 = std::chrono::steady_clock::now();
        for (size_t moved = 0; moved < total; moved += static_cast<size_t>(chunk)) {
            size_t at = (moved % static_cast<size_t>(cap - chunk + 1));
            memcpy(mid.data() + at, src.data() + (moved % (src.size() - chunk)), static_cast<size_t>(chunk));
            benchmark::ClobberMemory();
            memcpy(dst.data(), mid.data() + at, static_cast<size_t>(chunk));
            benchmark::DoNotOptimize(dst.data());
        }
        auto t1 = std::chrono::steady_clock::now();
        best_memcpy = std::min(best_memcpy, std::chrono::duration<double>(t1 - t0).count());
    }
    {
        const size_t small = total / 16;  // the byte loop is slow; scale it up
        ByteRing br(cap);
        double t = run(
            small, chunk, [&](const unsigned char *s, int32_t n) { return br.put(s, n); },
            [&](unsigned char *d, int32_t n) { return br.get(d, n); }, src, dst);
        best_bytes = t * 16;
    }
    const double mib = static_cast<double>(total) / (1 << 20);
    printf("ring %6d B, chunk %5d B: ring %8.0f MiB/s, memcpy %8.0f MiB/s, byte loop %7.0f MiB/s; "
           "ring/memcpy time %.2f, byte loop/ring time %.1f\n",
           cap, chunk, mib / best_ring, mib / best_memcpy, mib / best_bytes, best_ring / best_memcpy,
           best_bytes / best_ring);
}

}  // namespace

int main()
{
    measure(1280, 320);      // default player: 80 ms of 8 kHz mono, 20 ms periods
    measure(38400, 1920);    // 200 ms of 48 kHz stereo, 10 ms periods
    measure(38400, 3840);    // the same ring with 20 ms periods
    return 0;
}
