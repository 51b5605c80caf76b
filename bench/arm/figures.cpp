// SPDX-License-Identifier: MIT
// Start time and memory of a play, for scripts/arm-instructions.sh (on the
// real kernel in the VM) and scripts/play-figures.sh (on the board). Its own
// program, apart from bench/arm_plays, because it counts the heap by taking
// malloc's place, which the counted plays must not have.
//
//   play_figures media DIR          the four files of bench/arm_plays media
//   play_figures start FMT FILE     Ka_AudPlayer_PlayFile of FILE
//   play_figures stream RATE CH     Ka_AudPlayer_OpenExt, then one
//                                   Ka_AudPlayer_Play of 1 s of samples
//       Where the kernel's ALSA status file is there, print
//       "first-sound <ns> period <frames> buffer <frames>": from the call to
//       the stream's trigger time, once the device runs. Elsewhere (the
//       board) print "call <ns>", CLOCK_MONOTONIC before the call: the
//       device's start is the pcm_start event of the board's trace. Then
//       stop and close the player.
//   play_figures memory none|play|bare [FMT FILE]
//       Run as bench/arm_plays does, to the end, and at exit print
//       "memory: peak-rss <kB> heap-peak <bytes> allocations <n> steady <n>":
//       the process's peak resident size, the most heap bytes in use at once
//       (every thread, every library), the allocations made, and those of
//       them made in steady playback (from 0.5 s to 4.5 s of the 5 s file).
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "ka_lib_audio.h"
#include "media.h"

namespace {

using namespace ka_bench;

std::atomic<long> g_live, g_peak, g_allocs, g_steady_allocs;
std::atomic<bool> g_steady;

void note_alloc(void *p)
{
    if (!p) return;
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (g_steady.load(std::memory_order_relaxed)) g_steady_allocs.fetch_add(1, std::memory_order_relaxed);
    long now = g_live.fetch_add(long(malloc_usable_size(p)), std::memory_order_relaxed) +
               long(malloc_usable_size(p));
    long peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}
void note_free(void *p)
{
    if (p) g_live.fetch_sub(long(malloc_usable_size(p)), std::memory_order_relaxed);
}

}  // namespace

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

void *malloc(size_t n)
{
    void *p = __libc_malloc(n);
    note_alloc(p);
    return p;
}
void *calloc(size_t n, size_t m)
{
    void *p = __libc_calloc(n, m);
    note_alloc(p);
    return p;
}
void *realloc(void *p, size_t n)
{
    note_free(p);
    void *q = __libc_realloc(p, n);
    note_alloc(q);
    return q;
}
int posix_memalign(void **out, size_t align, size_t n)
{
    void *p = __libc_memalign(align, n);
    if (!p) return 12;  // ENOMEM
    note_alloc(p);
    *out = p;
    return 0;
}
void *aligned_alloc(size_t align, size_t n)
{
    void *p = __libc_memalign(align, n);
    note_alloc(p);
    return p;
}
void *memalign(size_t align, size_t n)
{
    return aligned_alloc(align, n);
}
void free(void *p)
{
    note_free(p);
    __libc_free(p);
}
}

namespace {

long long now_ns(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// The kernel's view of playback device 0 once it runs: its trigger time
// (CLOCK_REALTIME, the stream's default timestamps) and geometry. Polls
// every millisecond for at most two seconds; false on the board, which has
// no such file.
bool kernel_start(long long *start, long *period, long *buffer)
{
    for (int i = 0; i < 2000; ++i) {
        FILE *f = fopen("/proc/asound/card0/pcm0p/sub0/status", "r");
        if (!f) return false;
        char line[128];
        bool running = false;
        long long sec = 0, nsec = 0;
        while (fgets(line, sizeof line, f)) {
            if (strncmp(line, "state: RUNNING", 14) == 0) running = true;
            sscanf(line, "trigger_time: %lld.%lld", &sec, &nsec);
        }
        fclose(f);
        if (running) {
            *start = sec * 1000000000LL + nsec;
            f = fopen("/proc/asound/card0/pcm0p/sub0/hw_params", "r");
            while (f && fgets(line, sizeof line, f)) {
                sscanf(line, "period_size: %ld", period);
                sscanf(line, "buffer_size: %ld", buffer);
            }
            if (f) fclose(f);
            return true;
        }
        usleep(1000);
    }
    return false;
}

long long g_call_rt, g_call_mono;
void note_call()
{
    g_call_rt = now_ns(CLOCK_REALTIME);
    g_call_mono = now_ns(CLOCK_MONOTONIC);
}

// The device's start as seen by the kernel, then the player stopped.
void report_start(int hdl)
{
    long long start = 0;
    long period = 0, buffer = 0;
    if (kernel_start(&start, &period, &buffer)) {
        // The stream's timestamps are wall-clock time unless the platform
        // asked for monotonic ones: the two lie decades apart.
        long long call = start > 1000000000LL * 3600 * 24 * 365 ? g_call_rt : g_call_mono;
        printf("first-sound %lld ns period %ld buffer %ld\n", start - call, period, buffer);
    } else {
        usleep(300000);  // the board: its trace has the start
        printf("call %lld\n", g_call_mono);
    }
    Ka_AudPlayer_Stop(hdl);
    Ka_AudPlayer_Close(hdl);
}

std::vector<int16_t> g_samples;
void *play_samples(void *h)
{
    Ka_AudPlayer_Play(int(intptr_t(h)), g_samples.data(), unsigned(g_samples.size() * 2));
    return nullptr;
}

void report_memory()
{
    long hwm = 0;
    // The thread that runs the exit handlers may be the last of several: its own
    // status file has the process's memory (the first thread's has not, once
    // that thread has ended).
    FILE *f = fopen("/proc/thread-self/status", "r");
    char line[128];
    while (f && fgets(line, sizeof line, f)) sscanf(line, "VmHWM: %ld", &hwm);
    if (f) fclose(f);
    printf("memory: peak-rss %ld heap-peak %ld allocations %ld steady %ld\n", hwm, g_peak.load(),
           g_allocs.load(), g_steady_allocs.load());
}

int usage()
{
    fprintf(stderr,
            "usage: play_figures media DIR | start FMT FILE | stream RATE CH | memory none|play|bare [FMT FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) return usage();
    std::string mode = argv[1];
    if (mode == "media") return argc == 3 && make_gate_media(argv[2]) ? 0 : 2;
    if (mode == "start" && argc == 4) {
        int fd = open(argv[3], O_RDONLY);
        note_call();
        int h = Ka_AudPlayer_PlayFile(nullptr, fd, 0, nullptr);
        if (h < 0) return 3;
        report_start(h);
        return 0;
    }
    if (mode == "stream" && argc == 4) {
        int rate = atoi(argv[2]), channels = atoi(argv[3]);
        g_samples = synth(channels, rate, rate);
        int h = Ka_AudPlayer_OpenExt(nullptr, nullptr, 0, channels, unsigned(rate), 2);
        if (h < 0) return 3;
        note_call();
        pthread_t t;
        pthread_create(&t, nullptr, play_samples, reinterpret_cast<void *>(intptr_t(h)));
        report_start(h);
        pthread_join(t, nullptr);
        return 0;
    }
    if (mode != "memory") return usage();
    // The figures are taken at exit, once the last thread has ended.
    atexit(report_memory);
    std::string what = argv[2];
    if (what == "none") pthread_exit(nullptr);
    if (argc != 5) return usage();
    const GateFormat *fmt = gate_format(argv[3]);
    if (!fmt) return usage();
    if (what == "bare") {
        if (fmt->bare(argv[4]) == 0) return 3;
        pthread_exit(nullptr);
    }
    if (what != "play") return usage();
    int fd;
    if (start_play(argv[4], &fd) < 0) return 3;
    // Steady playback: from half a second in to half a second before the
    // end of the 5 s file, away from the start and the end of the play.
    usleep(500000);
    g_steady = true;
    usleep(4000000);
    g_steady = false;
    pthread_exit(nullptr);
}
