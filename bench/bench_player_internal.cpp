// SPDX-License-Identifier: MIT
// Software volume throughput: the library's scaling routine on period-sized
// and larger buffers, against memcpy of the same bytes and against the
// plain one-sample-at-a-time rule, measured in the same run. Prints ratios.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#define KA_LOG_FILE "bench"
#include "ka_internal.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The rule sample by sample, as a reference point.
__attribute__((noinline)) void per_sample(int vol, void *buf, unsigned len)
{
    auto *p = static_cast<unsigned char *>(buf);
    for (unsigned i = 0; i + 1 < len; i += 2) {
        int16_t s;
        memcpy(&s, p + i, 2);
        s = static_cast<int16_t>(vol * s / 100);
        memcpy(p + i, &s, 2);
    }
}

template <typename F>
double best_of(int reps, size_t rounds, F f)
{
    double best = 1e9;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = clock_type::now();
        for (size_t i = 0; i < rounds; ++i) f(i);
        best = std::min(best, std::chrono::duration<double>(clock_type::now() - t0).count());
    }
    return best;
}

void measure(unsigned len)
{
    const size_t total = size_t(512) << 20;
    const size_t rounds = total / len;
    std::vector<unsigned char> buf(len), src(len);
    for (unsigned i = 0; i < len; ++i) src[i] = static_cast<unsigned char>(i * 7 + 3);
    buf = src;
    // Volume 100 and 0 take shortcuts; 37 runs the arithmetic.
    const double vol = best_of(5, rounds, [&](size_t) {
        __ka_soft_volume(37, buf.data(), len);
        asm volatile("" : : "r"(buf.data()) : "memory");
    });
    const double ref = best_of(5, rounds, [&](size_t) {
        per_sample(37, buf.data(), len);
        asm volatile("" : : "r"(buf.data()) : "memory");
    });
    const double cpy = best_of(5, rounds, [&](size_t) {
        memcpy(buf.data(), src.data(), len);
        asm volatile("" : : "r"(buf.data()) : "memory");
    });
    const double mib = static_cast<double>(rounds) * len / (1 << 20);
    printf("%6u-byte buffers: soft volume %7.0f MiB/s, per-sample rule %7.0f MiB/s, memcpy %7.0f MiB/s; "
           "time ratio volume/memcpy %.2f, per-sample/volume %.2f\n",
           len, mib / vol, mib / ref, mib / cpy, vol / cpy, ref / vol);
}

}  // namespace

int main()
{
    measure(320);    // 20 ms of 8 kHz mono
    measure(3840);   // 20 ms of 48 kHz stereo
    measure(65536);
    return 0;
}
