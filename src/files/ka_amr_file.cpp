// SPDX-License-Identifier: MIT
// AMR module: the AMR-NB and AMR-WB decode threads of file playback, the
// AMR-NB header and encoder writer used by recording, and the frame-size
// tables of the storage format (magic line, then frames of one header byte
// and a payload whose size the frame type gives).
#define KA_LOG_FILE "ka_amr_file"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrnb/interf_enc.h>
#include <opencore-amrwb/dec_if.h>

#include <memory>

#include "ka_audio_files.h"
#include "ka_files_internal.h"
#include "ka_internal.h"

using namespace ka_files;

extern "C" {
const int32_t amrnb_sizes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 6, 5, 5, 0, 0, 0, 0};
const int32_t amrwb_sizes[16] = {17, 23, 32, 36, 40, 46, 50, 58, 60, 5, -1, -1, -1, -1, -1, 0};
}

namespace {

// Everything a decode thread works with, allocated once per thread and
// reused for every frame.
template <int Samples>
struct AmrDecodeBuffers {
    uint8_t frame[kAmrFrameMax];
    int16_t samples[Samples];
    uint8_t out[2 * Samples];
    FdReader in;
};

template <typename T>
std::unique_ptr<T, KaFreeDeleter> alloc_buffers()
{
    return std::unique_ptr<T, KaFreeDeleter>(static_cast<T *>(calloc(1, sizeof(T))));
}

void *amrnb_decode_thread(void *arg)
{
    decode_thread_gate();
    KA_LOGD("Amrnb decode thread start\n");
    auto *info = static_cast<player_info *>(arg);
    if (!info) {
        KA_LOGE("Para is NULL, exit parse thread\n");
        return nullptr;
    }
    std::unique_ptr<player_info, KaFreeDeleter> owned(info);
    auto b = alloc_buffers<AmrDecodeBuffers<kAmrNbSamples>>();
    // The read stream is a buffered reader on the caller's descriptor; it is
    // never closed, so the descriptor stays open.
    if (!b || !fd_usable(info->fd)) {
        KA_LOGE("Convert audio fd to fp failed, hdl = %d\n", info->fd);
        return nullptr;
    }
    b->in.fd = info->fd;
    char magic[kAmrNbMagicLen];
    if (b->in.read(magic, sizeof magic) != sizeof magic || memcmp(magic, kAmrNbMagic, sizeof magic) != 0) {
        KA_LOGE("Amrnb Bad header\n");
        return nullptr;
    }
    void *dec = Decoder_Interface_init();
    bool end_of_data = false;
    // Wait: reads of the caller's descriptor (see read_once) and the data
    // writes, released as in the WAV decode thread; the same in the AMR-WB
    // thread below.
    for (;;) {
        if (b->in.read(b->frame, 1) != 1) {
            KA_LOGD("Amrnb file read end or error\n");
            end_of_data = true;
            break;
        }
        size_t size = size_t(amrnb_sizes[amr_frame_type(b->frame[0])]);
        if (b->in.read(b->frame + 1, size) != size) {
            KA_LOGD("Amrnb file read error\n");
            end_of_data = true;
            break;
        }
        Decoder_Interface_Decode(dec, b->frame, b->samples, 0);
        samples_to_le(b->samples, b->out, kAmrNbSamples);
        int r = info->data_write(info->hdl, b->out, sizeof b->out);
        if (r < 0) {
            KA_LOGE("Write data error\n");
            break;
        }
        if (r == 1) {
            KA_LOGD("Write Stop\n");
            break;
        }
    }
    if (end_of_data) info->data_write(info->hdl, b->frame, 0);
    Decoder_Interface_exit(dec);
    owned.reset();
    b.reset();
    KA_LOGD("Amrnb decode thread end\n");
    return nullptr;
}

void *amrwb_decode_thread(void *arg)
{
    decode_thread_gate();
    KA_LOGE("Amrwb decode thread start\n");
    auto *info = static_cast<player_info *>(arg);
    if (!info) {
        KA_LOGE("Para is NULL, exit parse thread\n");
        return nullptr;
    }
    std::unique_ptr<player_info, KaFreeDeleter> owned(info);
    auto b = alloc_buffers<AmrDecodeBuffers<kAmrWbSamples>>();
    if (!b || !fd_usable(info->fd)) {
        KA_LOGE("Convert audio fd to fp failed, hdl = %d\n", info->fd);
        return nullptr;
    }
    b->in.fd = info->fd;
    char magic[kAmrWbMagicLen];
    if (b->in.read(magic, sizeof magic) != sizeof magic || memcmp(magic, kAmrWbMagic, sizeof magic) != 0) {
        KA_LOGE("Amrwb Bad header\n");
        return nullptr;
    }
    void *dec = D_IF_init();
    for (;;) {
        if (b->in.read(b->frame, 1) != 1) break;
        int32_t size = amrwb_sizes[amr_frame_type(b->frame[0])];
        if (size < 0) break;
        if (b->in.read(b->frame + 1, size_t(size)) != size_t(size)) break;
        D_IF_decode(dec, b->frame, b->samples, 0);
        samples_to_le(b->samples, b->out, kAmrWbSamples);
        int r = info->data_write(info->hdl, b->out, sizeof b->out);
        if (r < 0) {
            KA_LOGE("Write data error\n");
            break;
        }
        if (r == 1) {
            KA_LOGD("Write Stop\n");
            break;
        }
    }
    // No end-of-data call here: the main thread's stop ends the play.
    D_IF_exit(dec);
    owned.reset();
    b.reset();
    KA_LOGD("Amrwb decode thread end\n");
    return nullptr;
}

}  // namespace

extern "C" {

KA_API int start_ka_amrnb_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid)
{
    switch (start_decode_thread(hdl, fd, data_write, tid, amrnb_decode_thread)) {
    case StartResult::ok:
        return 0;
    case StartResult::bad_args:
        return -1;
    case StartResult::no_memory:
        KA_LOGE("Malloc player_info struct failed\n");
        return -1;
    case StartResult::no_thread:
        KA_LOGE("Create paly thread fail.\n");
        return -1;
    }
    return -1;
}

KA_API int start_ka_amrwb_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid)
{
    switch (start_decode_thread(hdl, fd, data_write, tid, amrwb_decode_thread)) {
    case StartResult::ok:
        return 0;
    case StartResult::bad_args:
        return -1;
    case StartResult::no_memory:
        KA_LOGE("Malloc player_info struct failed\n");
        return -1;
    case StartResult::no_thread:
        KA_LOGE("Create paly thread fail.\n");
        return -1;
    }
    return -1;
}

KA_API int amrnb_init_header(int fd)
{
    lseek(fd, 0, SEEK_SET);
    if (::write(fd, kAmrNbMagic, kAmrNbMagicLen) != ssize_t(kAmrNbMagicLen)) {
        KA_LOGE("Write amrnb header failed\n");
        return -1;
    }
    return 0;
}

KA_API int amrnb_enc_init(void **enc)
{
    if (!enc) return -1;
    *enc = Encoder_Interface_init(1);
    // The state is also returned as an int, as callers have always had it;
    // on a 64-bit host that value is truncated, the slot is not.
    return int(reinterpret_cast<intptr_t>(*enc));
}

KA_API int amrnb_enc_deinit(void *enc)
{
    if (!enc) return -1;
    Encoder_Interface_exit(enc);
    return 0;
}

KA_API int amrnb_write_file(void *enc, int fd, const void *buf, unsigned len)
{
    constexpr unsigned kMaxBytes = 2 * kAmrNbSamples;
    if (len > kMaxBytes) {
        KA_LOGE("AMR max encode frame size = %d\n", int(kMaxBytes));
        return -1;
    }
    if (!enc || !buf) return -1;
    // A delivery shorter than one frame is completed with silence: the
    // encoder always codes 160 samples, and zeros add nothing audible.
    int16_t frame[kAmrNbSamples] = {};
    const auto *p = static_cast<const uint8_t *>(buf);
    for (unsigned i = 0; i < len / 2; ++i) frame[i] = int16_t(get_le16(p + 2 * i));
    uint8_t out[kAmrFrameMax];
    int n = Encoder_Interface_Encode(enc, MR795, frame, out, 0);
    if (n > 0 && ::write(fd, out, size_t(n)) < 0) KA_LOGE("Write amr file failed\n");
    return 0;
}

}  // extern "C"
