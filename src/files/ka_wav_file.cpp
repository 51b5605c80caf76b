// SPDX-License-Identifier: MIT
// WAV module: the 44-byte header of recordings, appending PCM, and the decode
// thread that passes a WAV (or raw PCM) file's bytes to the player unchanged.
#define KA_LOG_FILE "ka_wav_file"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "ka_audio_files.h"
#include "ka_files_internal.h"
#include "ka_internal.h"

using namespace ka_files;

namespace {

constexpr size_t kDecodeBlock = 512;

// The header of a fresh recording: 16 bits a sample, no data yet.
std::array<uint8_t, kWavHeaderSize> make_header(int channels, int rate)
{
    // Signed 32-bit arithmetic as the header has always been computed; the
    // multiplication wraps like the device's int would (done unsigned here).
    int32_t byte_rate = int32_t(uint32_t(rate) * uint32_t(channels) * 16u) / 8;
    int32_t block = int32_t(uint32_t(channels) * 16u) / 8;
    return wav_header({uint32_t(channels), uint32_t(rate), uint32_t(byte_rate), uint32_t(block), 16}, 0);
}

void *wav_decode_thread(void *arg)
{
    decode_thread_gate();
    KA_LOGD("Wav decode thread start\n");
    auto *info = static_cast<player_info *>(arg);
    if (!info) {
        KA_LOGE("Para is NULL, exit parse thread\n");
        return nullptr;
    }
    std::unique_ptr<player_info, KaFreeDeleter> owned(info);
    std::unique_ptr<uint8_t, KaFreeDeleter> buffer(static_cast<uint8_t *>(malloc(kDecodeBlock)));
    if (!buffer) {
        owned.reset();
        KA_LOGE("Malloc buffer failed\n");
        return nullptr;
    }
    for (;;) {
        // Wait: the read on the caller's descriptor (see read_once) and the
        // data write, which sleeps while the ring is full and is released
        // by the play thread, a stop, that thread's end or a close (see
        // __ka_default_data_write).
        ssize_t k = ::read(info->fd, buffer.get(), kDecodeBlock);
        if (k < 0) {
            if (errno == EINTR) continue;
            KA_LOGE("Read data failed\n");
            break;
        }
        if (k == 0) {
            KA_LOGD("Wav file end\n");
            info->data_write(info->hdl, buffer.get(), 0);
            break;
        }
        int r = info->data_write(info->hdl, buffer.get(), uint32_t(k));
        if (r < 0) {
            KA_LOGE("Write data error\n");
            break;
        }
        if (r == 1) {
            KA_LOGD("Write Stop\n");
            break;
        }
    }
    owned.reset();
    buffer.reset();
    KA_LOGD("Wav decode thread end\n");
    return nullptr;
}

}  // namespace

extern "C" {

KA_API int wav_init_header(int fd, int channels, int rate, int /*format: always 16-bit*/)
{
    auto h = make_header(channels, rate);
    lseek(fd, 0, SEEK_SET);
    if (::write(fd, h.data(), h.size()) != ssize_t(h.size())) {
        KA_LOGE("Write wav header failed\n");
        return -1;
    }
    return 0;
}

KA_API int wav_update_header(int fd)
{
    // A header of fewer than 44 bytes is padded with zeros before the sizes
    // are patched in (only a failed read is an error).
    std::array<uint8_t, kWavHeaderSize> h{};
    if (lseek(fd, 0, SEEK_SET) < 0 || read_full(fd, h.data(), h.size()) < 0) {
        KA_LOGE("Read wav header failed\n");
        return -1;
    }
    off_t len = lseek(fd, 0, SEEK_END);
    if (len <= 0) return -1;
    if (lseek(fd, 0, SEEK_SET) < 0) return -1;
    uint32_t data = get_le32(&h[40]);
    put_le32(&h[40], uint32_t(len) + data - 44u);
    put_le32(&h[4], uint32_t(len) + data - 8u);
    if (::write(fd, h.data(), h.size()) < 0) {
        KA_LOGE("Write wav header failed\n");
        return -1;
    }
    return 0;
}

KA_API int wav_write_file(int fd, const void *buf, unsigned len)
{
    if (!buf) return -1;
    if (len == 0) return 0;
    ssize_t w = ::write(fd, buf, len);
    return w == ssize_t(len) ? int(len) : -1;
}

KA_API int start_ka_wav_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid)
{
    switch (start_decode_thread(hdl, fd, data_write, tid, wav_decode_thread)) {
    case StartResult::ok:
        return 0;
    case StartResult::bad_args:
        return -1;
    case StartResult::no_memory:
        KA_LOGE("Malloc player_info struct failed\n");
        return -1;
    case StartResult::no_thread:
        KA_LOGE("Create wav decode thread fail.\n");
        return -1;
    }
    return -1;
}

}  // extern "C"
