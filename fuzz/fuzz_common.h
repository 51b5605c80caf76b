// SPDX-License-Identifier: MIT
// Shared pieces of the fuzz targets: the input as an open descriptor, and a
// decode thread run through the data-write contract.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <android/log.h>
#include <sanitizer/asan_interface.h>

#include "ka_lib_audio.h"

namespace ka_fuzz {

// The library's progress lines would drown the fuzzer's output.
inline void quiet_logger(const struct __android_log_message *) {}
inline const bool g_quiet = [] {
    __android_log_set_logger(quiet_logger);
    return true;
}();

// Decode thread bodies run on the fuzzing thread.
//
// Under ASan a new thread per input cost about 100 us, more than the whole
// decoding of a small input: ASan maps a fresh per-thread allocator cache
// whose first refills all page-fault, glibc hands the stack of the ended
// thread back to the kernel so its pages fault again, and the thread's ASan
// records and signal stack are mapped and unmapped. So the targets link the
// library's pthread_create through __wrap_pthread_create
// (-Wl,--wrap=pthread_create): while a target is inside a decode start
// operation (start_and_join), that call only records the thread body and its
// argument, and start_and_join runs the body itself once the start operation
// has returned, which is also when a real thread would get past the start
// gate. What the body does is the same on any thread. Every other
// pthread_create, and all of them with KA_FUZZ_REAL_THREADS=1, creates a
// thread as usual.
struct PendingBody {
    bool capture = false;  // inside start_and_join's start call
    void *(*body)(void *) = nullptr;
    void *arg = nullptr;
};
inline PendingBody g_pending;
inline bool g_real_threads = false;

}  // namespace ka_fuzz

extern "C" int __real_pthread_create(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

extern "C" int __wrap_pthread_create(pthread_t *tid, const pthread_attr_t *attr, void *(*body)(void *),
                                     void *arg)
{
    using ka_fuzz::g_pending;
    if (!g_pending.capture || g_pending.body || ka_fuzz::g_real_threads)
        return __real_pthread_create(tid, attr, body, arg);
    g_pending.body = body;
    g_pending.arg = arg;
    *tid = pthread_self();
    return 0;
}

// The MP3 decoder's error lines and the converter's messages go to the
// standard error stream, one write each: on damaged input they were a good
// part of the time of an input. They are sent to /dev/null by pointing the
// library's `stderr` elsewhere; libFuzzer took its own copy of the stream
// before this runs, and sanitizer reports are written to descriptor 2
// directly, so neither is lost. KA_FUZZ_VERBOSE=1 keeps the messages.
//
// Threads get 512 KiB stacks instead of the 8 MiB default: ASan clears the
// shadow of a thread's whole stack when the thread ends, and for 8 MiB that
// was a good part of the cost of every decode thread. The decode threads
// keep their buffers on the heap.
//
// KA_FUZZ_REAL_THREADS=1 gives every decode thread body a thread of its own
// (see __wrap_pthread_create above).
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) == 0) {
        pthread_attr_setstacksize(&attr, 512 * 1024);
        pthread_setattr_default_np(&attr);
        pthread_attr_destroy(&attr);
    }
    const char *real_threads = getenv("KA_FUZZ_REAL_THREADS");
    ka_fuzz::g_real_threads = real_threads && *real_threads == '1';
    const char *verbose = getenv("KA_FUZZ_VERBOSE");
    if (verbose && *verbose == '1') return 0;
    if (FILE *null = fopen("/dev/null", "w")) stderr = null;
    return 0;
}

namespace ka_fuzz {

// Anonymous files, one per slot, made once and rewritten for every input:
// making and closing one per input was about a tenth of the cost of a small
// input. The descriptors stay open; callers do not close them.
inline int slot_fd(int slot)
{
    static int fds[2] = {-1, -1};
    if (fds[slot] < 0) fds[slot] = memfd_create("ka_fuzz", MFD_CLOEXEC);
    return fds[slot];
}

// The file of `slot` holding exactly the input, rewound.
inline int input_fd(const uint8_t *data, size_t size, int slot = 0)
{
    int fd = slot_fd(slot);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < size) {
        ssize_t w = pwrite(fd, data + done, size - done, off_t(done));
        if (w <= 0) return -1;
        done += size_t(w);
    }
    if (ftruncate(fd, off_t(size)) != 0 || lseek(fd, 0, SEEK_SET) != 0) return -1;
    return fd;
}

// The file of `slot` emptied and rewound.
inline int empty_fd(int slot)
{
    return input_fd(nullptr, 0, slot);
}

// Calls `start` (a decode start operation given the thread id slot) and,
// when it succeeds, lets the decode thread body run to its end. Returns the
// start operation's result.
template <typename Start>
int start_and_join(Start start)
{
    g_pending = PendingBody{};
    g_pending.capture = true;
    pthread_t tid{};
    int rc = start(&tid);
    PendingBody run = g_pending;
    g_pending = PendingBody{};
    if (rc != 0) {
        if (run.body) __builtin_trap();  // a failed start left a thread behind
        return rc;
    }
    if (run.body) {
        if (!pthread_equal(tid, pthread_self())) __builtin_trap();
        run.body(run.arg);
    } else {
        pthread_join(tid, nullptr);
    }
    return rc;
}

// The data-write side: checks what the contract promises (a buffer always,
// whole 16-bit samples from the codecs) and answers stop after `stop_after`
// calls when that is not negative.
struct WriteSide {
    long calls = 0;
    long stop_after = -1;
    bool even_lengths = false;
};
inline WriteSide g_side;

inline int fuzz_write(int, void *buf, uint32_t len)
{
    if (!buf) __builtin_trap();
    if (g_side.even_lengths && (len & 1)) __builtin_trap();
    // All `len` bytes must be readable: one check of the whole range.
    if (len && __asan_region_is_poisoned(buf, len)) __builtin_trap();
    ++g_side.calls;
    return g_side.stop_after >= 0 && g_side.calls > g_side.stop_after ? 1 : 0;
}

using StartFn = int (*)(int, int, ka_data_write_cb, pthread_t *);

// Runs one decode thread over the input. The last byte picks an early stop
// answer (to exercise the stop path) or none: 0x5A stops after as many
// writes as the byte before it says, modulo 8. (The last byte, since the
// first ones are a magic number the stop path lies behind.)
inline void run_decode(StartFn start, const uint8_t *data, size_t size, bool even)
{
    g_side = WriteSide{};
    g_side.even_lengths = even;
    if (size > 0 && data[size - 1] == 0x5A) g_side.stop_after = size > 1 ? data[size - 2] % 8 : 0;
    int fd = input_fd(data, size);
    if (fd < 0) return;
    start_and_join([&](pthread_t *tid) { return start(0, fd, fuzz_write, tid); });
}

}  // namespace ka_fuzz
