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

}  // namespace ka_fuzz

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
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) == 0) {
        pthread_attr_setstacksize(&attr, 512 * 1024);
        pthread_setattr_default_np(&attr);
        pthread_attr_destroy(&attr);
    }
    const char *verbose = getenv("KA_FUZZ_VERBOSE");
    if (verbose && *verbose == '1') return 0;
    if (FILE *null = fopen("/dev/null", "w")) stderr = null;
    return 0;
}

namespace ka_fuzz {

// A descriptor on an anonymous file holding the input, rewound.
inline int input_fd(const uint8_t *data, size_t size)
{
    int fd = memfd_create("ka_fuzz", MFD_CLOEXEC);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < size) {
        ssize_t w = write(fd, data + done, size - done);
        if (w <= 0) break;
        done += size_t(w);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
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
    pthread_t tid;
    if (start(0, fd, fuzz_write, &tid) == 0) pthread_join(tid, nullptr);
    close(fd);
}

}  // namespace ka_fuzz
