// SPDX-License-Identifier: MIT
// Recorder benchmarks, timed runs printing ratios against a baseline
// measured in the same run:
//  - capture throughput: bytes from the emulated device through the capture
//    thread to the callback at unlimited board speed, against memcpy of the
//    same volume in the same period-sized pieces;
//  - heap allocations per period in steady capture (malloc, calloc and
//    realloc of the whole process are counted; the device read is replaced
//    by a source here, so that only the library's path is counted and not
//    the emulated board's own records).
#include <alsa_audio.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "ka_board.h"
#include "ka_lib_audio.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BENCH_COUNT_ALLOCS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BENCH_COUNT_ALLOCS 0
#endif
#endif
#ifndef BENCH_COUNT_ALLOCS
#define BENCH_COUNT_ALLOCS 1
#endif

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocs{0};
std::atomic<bool> g_source{false};  // device read replaced by a source while set

using clock_type = std::chrono::steady_clock;

}  // namespace

#if BENCH_COUNT_ALLOCS
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t n)
{
    if (g_counting.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m)
{
    if (g_counting.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n)
{
    if (g_counting.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
void free(void *p) { __libc_free(p); }
}
#endif

// The library's pcm_read lands here first: the platform's one, or the source.
extern "C" int pcm_read(struct pcm *pcm, void *data, unsigned count)
{
    if (g_source.load(std::memory_order_relaxed)) {
        memset(data, 0x11, count);
        return 0;
    }
    using fn = int (*)(struct pcm *, void *, unsigned);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "pcm_read"));
    return real(pcm, data, count);
}

namespace {

// What the capture callback has seen; the callback stops the recorder once
// enough has arrived, and counts allocations between two delivery counts.
struct Sink {
    std::mutex m;
    std::condition_variable cv;
    size_t bytes = 0;
    size_t deliveries = 0;
    size_t want = 0;
    size_t count_from = 0, count_to = 0;
    bool ended = false;
    std::vector<unsigned char> copy;
};
Sink g_sink;

int sink_cb(int result, void *buf, unsigned len)
{
    if (result == 0) {
        // A caller does something with the data: one copy out.
        if (g_sink.copy.size() < len) g_sink.copy.resize(len);
        memcpy(g_sink.copy.data(), buf, len);
        g_sink.bytes += len;
        ++g_sink.deliveries;
        if (g_sink.deliveries == g_sink.count_from) g_counting = true;
        if (g_sink.deliveries == g_sink.count_to) g_counting = false;
        if (g_sink.bytes >= g_sink.want) Ka_AudRecorder_HStop(2);
    } else {
        std::lock_guard<std::mutex> lock(g_sink.m);
        g_sink.ended = true;
        g_sink.cv.notify_all();
    }
    return 0;
}

// Seconds to capture `total` bytes of 48 kHz stereo on hw:0,14.
double capture(size_t total, size_t count_from, size_t count_to, size_t *deliveries)
{
    kb_reset();
    {
        std::lock_guard<std::mutex> lock(g_sink.m);
        g_sink.bytes = g_sink.deliveries = 0;
        g_sink.want = total;
        g_sink.count_from = count_from;
        g_sink.count_to = count_to;
        g_sink.ended = false;
    }
    if (Ka_AudRecorder_OpenExt("hw:0,14", sink_cb, 0, 2, 48000, 2) != 2) {
        fprintf(stderr, "bench: recorder open failed\n");
        exit(1);
    }
    g_sink.copy.reserve(1 << 16);
    const auto t0 = clock_type::now();
    Ka_AudRecorder_HStartRecord(2);
    {
        std::unique_lock<std::mutex> lock(g_sink.m);
        g_sink.cv.wait(lock, [] { return g_sink.ended; });
    }
    const double t = std::chrono::duration<double>(clock_type::now() - t0).count();
    Ka_AudRecorder_HClose(2);
    *deliveries = g_sink.deliveries;
    return t;
}

double memcpy_baseline(size_t total, size_t piece)
{
    std::vector<unsigned char> src(piece, 0x11), dst(piece);
    const auto t0 = clock_type::now();
    for (size_t done = 0; done < total; done += piece) {
        memcpy(dst.data(), src.data(), piece);
        asm volatile("" : : "r"(dst.data()) : "memory");
    }
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

}  // namespace

int main()
{
    const size_t total = size_t(64) << 20;
    const size_t period = 3840;  // 20 ms of 48 kHz stereo
    size_t deliveries = 0;
    double cap = 1e9, base = 1e9;
    for (int rep = 0; rep < 3; ++rep) {
        cap = std::min(cap, capture(total, 0, 0, &deliveries));
        base = std::min(base, memcpy_baseline(total, period));
    }
    const double mib = static_cast<double>(total) / (1 << 20);
    printf("capture path, 48 kHz stereo, unlimited board speed: device -> callback %.0f MiB/s "
           "(%zu deliveries), memcpy %.0f MiB/s; time ratio path/memcpy %.1f\n",
           mib / cap, deliveries, mib / base, cap / base);

#if BENCH_COUNT_ALLOCS
    g_source = true;
    g_allocs = 0;
    const size_t from = 200, to = 50200;
    capture(period * (to + 100), from, to, &deliveries);
    g_source = false;
    printf("steady capture: %zu periods, %ld heap allocations, %.4f per period\n", to - from, g_allocs.load(),
           static_cast<double>(g_allocs.load()) / static_cast<double>(to - from));
#else
    printf("steady capture allocations: not counted in a sanitizer build\n");
#endif
    return 0;
}
