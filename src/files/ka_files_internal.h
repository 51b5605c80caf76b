// SPDX-License-Identifier: MIT
// Pieces shared by the file modules (detection, playback driver, WAV, AMR,
// MP3, conversion and recording to files). Nothing here is exported.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <bit>
#include <type_traits>

#if defined(__ARM_FEATURE_SAT)
#include <arm_acle.h>
#endif

#include "ka_lib_audio.h"

namespace ka_files {

// ---- Little-endian fields ---------------------------------------------------

constexpr uint32_t get_le16(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
constexpr uint32_t get_le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
constexpr void put_le16(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
constexpr void put_le32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// One 16-bit sample as two bytes, low byte first: a plain store on a
// little-endian machine.
inline void store_le16(uint8_t *p, int16_t v)
{
    if constexpr (std::endian::native == std::endian::little)
        memcpy(p, &v, sizeof v);
    else
        put_le16(p, uint16_t(v));
}

// 16-bit samples to bytes, low byte first, whatever the host's byte order.
inline void samples_to_le(const int16_t *in, uint8_t *out, size_t count)
{
    for (size_t i = 0; i < count; ++i) put_le16(out + 2 * i, uint16_t(in[i]));
}

// ---- Descriptor I/O -----------------------------------------------------------

// One read(), retried while it is interrupted.
ssize_t read_once(int fd, void *buf, size_t n);
// Reads until `n` bytes, end of file or an error; the count read (an error
// after some bytes counts as a short read), or -1 when nothing was read
// because of an error.
ssize_t read_full(int fd, void *buf, size_t n);
// True when `fd` is an open descriptor: what opening a read stream on it
// needs. Streams of the decode threads are never closed: the descriptor is
// the caller's.
bool fd_usable(int fd);

// A small buffered reader over a caller's descriptor. It owns no descriptor
// and allocates nothing; it lives inside a decode thread's buffers.
struct FdReader {
    int fd = -1;
    size_t pos = 0;
    size_t end = 0;
    uint8_t buf[4096];

    // Reads up to `n` bytes; fewer only at end of file or on an error.
    size_t read(void *dst, size_t n);
};

// ---- Decode threads -----------------------------------------------------------

enum class StartResult { ok, bad_args, no_memory, no_thread };

// Common part of the decode start operations: allocates the player_info,
// creates the joinable decode thread running `body` with it and stores the
// thread id through `tid`. The id is stored before the thread can make its
// first data-write call: the thread passes decode_thread_gate() first.
StartResult start_decode_thread(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid,
                                void *(*body)(void *));
// First call of every decode thread body (see start_decode_thread).
void decode_thread_gate();

// Thread ids shared between threads are read and written atomically.
inline pthread_t load_tid(pthread_t &slot)
{
    return std::atomic_ref<pthread_t>(slot).load(std::memory_order_acquire);
}
inline void store_tid(pthread_t &slot, pthread_t id)
{
    std::atomic_ref<pthread_t>(slot).store(id, std::memory_order_release);
}

// ---- Shared constants ------------------------------------------------------------

constexpr size_t kWavHeaderSize = 44;
constexpr char kAmrNbMagic[] = "#!AMR\n";
constexpr size_t kAmrNbMagicLen = 6;
constexpr char kAmrWbMagic[] = "#!AMR-WB\n";
constexpr size_t kAmrWbMagicLen = 9;
constexpr size_t kAmrFrameMax = 500;  // header byte and up to 499 payload bytes
constexpr int kAmrNbSamples = 160;
constexpr int kAmrWbSamples = 320;

// ---- WAV header --------------------------------------------------------------------

// The fields of a PCM WAV file's format chunk, as its writer computes them.
struct WavFormat {
    uint32_t channels;
    uint32_t rate;
    uint32_t byte_rate;
    uint32_t block;  // bytes a frame; the header keeps its low 16 bits
    uint32_t bits;
};

// The canonical 44-byte header, little-endian: "RIFF" and the RIFF size
// (the data size plus 36), "WAVE", a 16-byte linear PCM format chunk, then
// the data chunk's tag and size. Recordings and conversions both write it.
inline std::array<uint8_t, kWavHeaderSize> wav_header(const WavFormat &f, uint32_t data_len)
{
    std::array<uint8_t, kWavHeaderSize> h{};
    memcpy(&h[0], "RIFF", 4);
    put_le32(&h[4], data_len + 36u);
    memcpy(&h[8], "WAVE", 4);
    memcpy(&h[12], "fmt ", 4);
    put_le32(&h[16], 16);
    put_le16(&h[20], 1);
    put_le16(&h[22], f.channels);
    put_le32(&h[24], f.rate);
    put_le32(&h[28], f.byte_rate);
    put_le16(&h[32], f.block);
    put_le16(&h[34], f.bits);
    memcpy(&h[36], "data", 4);
    put_le32(&h[40], data_len);
    return h;
}

// Frame type of an AMR frame header byte.
constexpr unsigned amr_frame_type(uint8_t header)
{
    return (header >> 3) & 0x0F;
}

// libmad fixed point (1.0 = 0x10000000) to 16 bits: round half a step up,
// clip to [-1.0, 1.0), shift down. Done in 32 bits, which a 32-bit core does
// in three instructions (on ARM a shift, an add and one saturating shift):
// (sample + 2^12) >> 13 is ((sample >> 12) + 1) >> 1, without the sum's
// overflow, and clipping after the shift gives what clipping before it would
// (checked for every 32-bit input).
constexpr int16_t mp3_scale(int32_t sample)
{
    int32_t s = ((sample >> 12) + 1) >> 1;
#if defined(__ARM_FEATURE_SAT)
    // The compiler finds the saturation in a plain clamp, but not once a loop
    // has hoisted the bounds into registers.
    if (!std::is_constant_evaluated()) return int16_t(__ssat(s, 16));
#endif
    return int16_t(s > 32767 ? 32767 : s < -32768 ? -32768 : s);
}

}  // namespace ka_files
