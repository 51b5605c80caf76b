// SPDX-License-Identifier: MIT
// The AMR-NB writer of recordings: the header, the encoder and one
// amrnb_write_file call per captured buffer, as a recording to an AMR-NB file
// makes them, with buffer lengths and contents from the input. The file
// written is then checked frame by frame and played back through the AMR-NB
// decode thread.
//
// Input: records of a 16-bit little-endian length (taken modulo 384, so
// lengths over the 320-byte limit come up) followed by that many PCM bytes;
// the last record takes what is left.
#include <stdlib.h>
#include <string.h>

#include "fuzz_common.h"

namespace {

struct Playback {
    long frames = 0;
    long ends = 0;
};
Playback g_play;

int count_write(int, void *buf, uint32_t len)
{
    if (!buf) __builtin_trap();
    if (len == 0) {
        ++g_play.ends;
        return 1;
    }
    if (len != 320) __builtin_trap();
    ++g_play.frames;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = ka_fuzz::empty_fd(0);
    if (fd < 0) return 0;
    if (amrnb_init_header(fd) != 0) __builtin_trap();
    void *enc = nullptr;
    amrnb_enc_init(&enc);
    if (!enc) __builtin_trap();

    long accepted = 0;
    size_t at = 0;
    while (at < size) {
        size_t len = size - at >= 2 ? (data[at] | size_t(data[at + 1]) << 8) % 384 : 0;
        at += size - at >= 2 ? 2 : size - at;
        if (len > size - at) len = size - at;
        // An exact-size copy, so a read past the delivery is an ASan error.
        auto *buf = static_cast<uint8_t *>(malloc(len ? len : 1));
        if (!buf) break;
        memcpy(buf, data + at, len);
        int r = amrnb_write_file(enc, fd, buf, unsigned(len));
        free(buf);
        at += len;
        if (r != (len > 320 ? -1 : 0)) __builtin_trap();
        if (r == 0) ++accepted;
    }
    amrnb_enc_deinit(enc);

    // The file is the magic and one whole frame per accepted buffer.
    off_t end = lseek(fd, 0, SEEK_END);
    auto *file = static_cast<uint8_t *>(malloc(size_t(end)));
    if (!file) __builtin_trap();
    if (pread(fd, file, size_t(end), 0) != end) __builtin_trap();
    if (end < 6 || memcmp(file, "#!AMR\n", 6) != 0) __builtin_trap();
    long frames = 0;
    off_t pos = 6;
    while (pos < end) {
        pos += 1 + amrnb_sizes[(file[pos] >> 3) & 15];
        ++frames;
    }
    free(file);
    if (pos != end || frames != accepted) __builtin_trap();

    // Played back, every frame gives one data-write call, then the end mark.
    g_play = Playback{};
    lseek(fd, 0, SEEK_SET);
    if (ka_fuzz::start_and_join(
            [&](pthread_t *tid) { return start_ka_amrnb_decode(0, fd, count_write, tid); }) != 0)
        __builtin_trap();
    if (g_play.frames != accepted || g_play.ends != 1) __builtin_trap();
    return 0;
}
