// SPDX-License-Identifier: MIT
// Player benchmarks, timed runs printing ratios against baselines measured
// in the same run:
//  - path throughput: bytes through Ka_AudPlayer_Play, the ring, the play
//    thread and pcm_write to the emulated device at unlimited board speed,
//    against memcpy of the same volume in the same chunks (with the software
//    volume off and on);
//  - heap allocations per period in steady playback (malloc, calloc and
//    realloc of the whole process are counted; the device write is replaced
//    by a sink here, so that only the library's path is counted and not the
//    emulated board's own records);
//  - with --realtime[=SECONDS] (default 60): playback at the sample clock
//    from a writer thread, reporting the device's underruns.
#include <alsa_audio.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
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

// Device write replaced by a sink while set.
std::atomic<bool> g_sink{false};
std::atomic<long> g_sink_periods{0};

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

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

// The library's pcm_write lands here first: the platform's one, or the sink.
extern "C" int pcm_write(struct pcm *pcm, void *data, unsigned count)
{
    if (g_sink.load(std::memory_order_relaxed)) {
        g_sink_periods.fetch_add(1, std::memory_order_relaxed);
        return static_cast<int>(count);
    }
    using fn = int (*)(struct pcm *, void *, unsigned);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "pcm_write"));
    return real(pcm, data, count);
}

namespace {

std::vector<unsigned char> make_data(size_t n)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 29 + i / 511);
    return v;
}

// Seconds to hand `total` bytes to a 48 kHz stereo player in `chunk`-byte
// Play calls, at unlimited board speed.
double play_path(size_t total, size_t chunk, int volume)
{
    kb_reset();
    const int h = Ka_AudPlayer_OpenExt("hw:0,13", nullptr, 0, 2, 48000, 2);
    if (h < 0) {
        fprintf(stderr, "bench: player open failed\n");
        exit(1);
    }
    if (volume >= 0) Ka_AudSoft_SetVolume(h, static_cast<unsigned>(volume));
    static const auto data = make_data(1 << 20);
    const auto t0 = clock_type::now();
    for (size_t done = 0; done < total; done += chunk) {
        const size_t at = done % (data.size() - chunk);
        if (Ka_AudPlayer_Play(h, data.data() + at, static_cast<unsigned>(chunk)) != static_cast<int>(chunk)) {
            fprintf(stderr, "bench: Play refused data\n");
            exit(1);
        }
    }
    const double t = seconds_since(t0);
    Ka_AudPlayer_Stop(h);
    Ka_AudPlayer_Close(h);
    return t;
}

double memcpy_baseline(size_t total, size_t chunk)
{
    static const auto data = make_data(1 << 20);
    std::vector<unsigned char> dst(chunk);
    const auto t0 = clock_type::now();
    for (size_t done = 0; done < total; done += chunk) {
        const size_t at = done % (data.size() - chunk);
        memcpy(dst.data(), data.data() + at, chunk);
        asm volatile("" : : "r"(dst.data()) : "memory");
    }
    return seconds_since(t0);
}

// The same with the device write replaced by the sink: the library's own
// share of the path.
double play_path_sink(size_t total, size_t chunk)
{
    g_sink = true;
    const double t = play_path(total, chunk, -1);
    g_sink = false;
    return t;
}

void throughput()
{
    // The board keeps up to 64 MiB of what a device played; stay below it.
    const size_t total = 48u << 20;
    const size_t chunk = 4096;
    double path = 1e9, path_vol = 1e9, sink = 1e9, base = 1e9;
    for (int rep = 0; rep < 3; ++rep) {
        path = std::min(path, play_path(total, chunk, -1));
        sink = std::min(sink, play_path_sink(total, chunk));
        path_vol = std::min(path_vol, play_path(total, chunk, 37));
        base = std::min(base, memcpy_baseline(total, chunk));
    }
    const double mib = static_cast<double>(total) / (1 << 20);
    printf("play path, 48 kHz stereo, %zu-byte Play calls, unlimited board speed:\n", chunk);
    printf("  Play -> device          %8.0f MiB/s\n", mib / path);
    printf("  Play -> device, volume  %8.0f MiB/s\n", mib / path_vol);
    printf("  Play -> sink            %8.0f MiB/s (device write replaced)\n", mib / sink);
    printf("  memcpy baseline         %8.0f MiB/s\n", mib / base);
    printf("  time ratio path/memcpy %.1f, with volume %.1f, to the sink %.1f\n", path / base, path_vol / base,
           sink / base);
}

void allocations()
{
#if BENCH_COUNT_ALLOCS
    kb_reset();
    const int h = Ka_AudPlayer_Open(nullptr, nullptr);  // 8 kHz mono, 320-byte periods
    if (h < 0) exit(1);
    Ka_AudSoft_SetVolume(h, 50);
    static const auto data = make_data(1 << 16);
    // The counter itself works: one allocation counts one.
    g_allocs = 0;
    g_counting = true;
    void *volatile probe = malloc(16);
    g_counting = false;
    free(probe);
    if (g_allocs.load() != 1) printf("allocation counter is not active (%ld)\n", g_allocs.load());
    g_sink = true;
    const unsigned chunk = 1000;
    for (int i = 0; i < 200; ++i) Ka_AudPlayer_Play(h, data.data(), chunk);  // warm up
    const long p0 = g_sink_periods.load();
    g_allocs = 0;
    g_counting = true;
    for (int i = 0; i < 50000; ++i) Ka_AudPlayer_Play(h, data.data() + (i % 1000) * 2, chunk);
    g_counting = false;
    const long periods = g_sink_periods.load() - p0;
    const long allocs = g_allocs.load();
    g_sink = false;
    Ka_AudPlayer_Stop(h);
    Ka_AudPlayer_Close(h);
    printf("steady playback (soft volume on): %ld periods, %ld heap allocations, %.4f per period\n", periods,
           allocs, periods ? static_cast<double>(allocs) / static_cast<double>(periods) : 0.0);
#else
    printf("steady playback allocations: not counted in a sanitizer build\n");
#endif
}

void realtime(int secs)
{
    kb_reset();
    kb_set_speed(1.0);
    const int h = Ka_AudPlayer_OpenExt("hw:0,13", nullptr, 0, 2, 48000, 2);
    if (h < 0) exit(1);
    const size_t per_second = 48000 * 4;
    const size_t total = per_second * static_cast<size_t>(secs);
    static const auto data = make_data(1 << 20);
    const auto t0 = clock_type::now();
    std::thread writer([&] {
        const size_t chunk = per_second / 100;  // 10 ms per call
        for (size_t done = 0; done < total; done += chunk)
            Ka_AudPlayer_Play(h, data.data() + done % (data.size() - chunk), static_cast<unsigned>(chunk));
    });
    writer.join();
    Ka_AudPlayer_Stop(h);
    Ka_AudPlayer_Close(h);
    const double t = seconds_since(t0);
    kb_pcm_stats info{};
    kb_pcm_get_stats(13, KB_PLAYBACK, &info);
    printf("real-time playback, 48 kHz stereo, %d s of audio: %.1f s elapsed, %llu bytes played, "
           "%u underruns\n",
           secs, t, static_cast<unsigned long long>(info.bytes), info.underruns);
    kb_set_speed(0);
}

}  // namespace

int main(int argc, char **argv)
{
    int realtime_secs = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--realtime") == 0) {
            realtime_secs = 60;
        } else if (strncmp(argv[i], "--realtime=", 11) == 0) {
            realtime_secs = atoi(argv[i] + 11);
        } else {
            fprintf(stderr, "usage: %s [--realtime[=SECONDS]]\n", argv[0]);
            return 2;
        }
    }
    throughput();
    allocations();
    if (realtime_secs > 0)
        realtime(realtime_secs);
    else
        printf("real-time playback: skipped (run with --realtime for 60 s)\n");
    return 0;
}
