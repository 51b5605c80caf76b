// Shared pieces of the fuzz targets: the input as an open descriptor, and a
// decode thread run through the data-write contract.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <android/log.h>

#include "ka_lib_audio.h"

namespace ka_fuzz {

// The library's progress lines would drown the fuzzer's output.
inline void quiet_logger(const struct __android_log_message *) {}
inline const bool g_quiet = [] {
    __android_log_set_logger(quiet_logger);
    return true;
}();

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
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < len; i += 64) sink = sink ^ static_cast<uint8_t *>(buf)[i];
    (void)sink;
    ++g_side.calls;
    return g_side.stop_after >= 0 && g_side.calls > g_side.stop_after ? 1 : 0;
}

using StartFn = int (*)(int, int, ka_data_write_cb, pthread_t *);

// Runs one decode thread over the input. The first byte picks an early stop
// answer (to exercise the stop path) or none.
inline void run_decode(StartFn start, const uint8_t *data, size_t size, bool even)
{
    g_side = WriteSide{};
    g_side.even_lengths = even;
    if (size > 0 && data[0] == 0x5A) g_side.stop_after = size > 1 ? data[1] % 8 : 0;
    int fd = input_fd(data, size);
    if (fd < 0) return;
    pthread_t tid;
    if (start(0, fd, fuzz_write, &tid) == 0) pthread_join(tid, nullptr);
    close(fd);
}

}  // namespace ka_fuzz
