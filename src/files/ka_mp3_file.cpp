// SPDX-License-Identifier: MIT
// MP3 module: a decode thread that streams an MPEG audio file through one
// libmad decoder (synchronous mode) and hands every decoded frame to the
// player as 16-bit PCM.
//
// Two choices about where decoding starts, both made so that no audio is
// lost:
//  - The file is decoded from the position the thread finds the descriptor
//    at: byte 0 after detection, or the caller's positive offset. Nothing is
//    skipped, so the first bytes of the file are decoded too.
//  - At the end of the file libmad is given MAD_BUFFER_GUARD zero bytes
//    behind the data, which it needs to decode the last frame.
#define KA_LOG_FILE "ka_mp3_file"

#include <mad.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include "ka_audio_files.h"
#include "ka_files_internal.h"
#include "ka_internal.h"

using namespace ka_files;

namespace {

// The scaling's fixed points: full scale clips, half a step rounds up.
static_assert(mp3_scale(0x10000000) == 32767 && mp3_scale(0x7FFFFFFF) == 32767);
static_assert(mp3_scale(-0x10000000) == -32768 && mp3_scale(-0x7FFFFFFF - 1) == -32768);
static_assert(mp3_scale(0) == 0 && mp3_scale(4096) == 1 && mp3_scale(4095) == 0 && mp3_scale(-4097) == -1);

// Bytes read per refill of the decoder's input. The fuzz targets build this
// module with a smaller block (KA_MP3_INPUT_BLOCK) so that inputs of a few
// KB cross every refill; a block still holds the longest frame of any
// standard bitrate.
#ifndef KA_MP3_INPUT_BLOCK
#define KA_MP3_INPUT_BLOCK 8192
#endif
constexpr size_t kInputBlock = KA_MP3_INPUT_BLOCK;
static_assert(kInputBlock >= 2048);
constexpr size_t kFirstBlock = 512;
constexpr size_t kMaxFrameSamples = 1152;

// The thread's input record and its output buffer, one allocation per
// thread.
struct mp3fp {
    int stream;        // the caller's descriptor, read directly
    uint32_t budget;   // bytes to take from the starting position to the end
    uint32_t taken;    // bytes read so far
    uint32_t buf_len;  // valid bytes in buf
    bool started;      // the decoder has been given a buffer
    bool guarded;      // the end guard has been appended
    uint8_t buf[kInputBlock + MAD_BUFFER_GUARD];
    uint8_t pcm[kMaxFrameSamples * 2 * 2];
};

enum mad_flow mp3_input(void *data, struct mad_stream *stream)
{
    auto *info = static_cast<player_info *>(data);
    auto *fp = static_cast<mp3fp *>(info->priv);
    if (fp->guarded) return MAD_FLOW_STOP;

    // Bytes libmad has not consumed yet stay at the front of the buffer. The
    // first call keeps the block read when the thread started.
    size_t keep = fp->buf_len;
    if (fp->started) keep = stream->next_frame ? size_t(stream->bufend - stream->next_frame) : 0;
    if (keep >= kInputBlock) keep = 0;  // no frame is that long: drop it and go on
    if (keep) memmove(fp->buf, fp->buf + fp->buf_len - keep, keep);

    size_t n = kInputBlock - keep;
    if (n > fp->budget - fp->taken) n = fp->budget - fp->taken;
    ssize_t got = n ? read_full(fp->stream, fp->buf + keep, n) : 0;
    if (got < 0) got = 0;
    fp->taken += uint32_t(got);
    fp->buf_len = uint32_t(keep + size_t(got));
    if (got == 0 || fp->taken >= fp->budget) {
        // End of input: the guard lets libmad finish the last frame.
        if (fp->buf_len == 0) return MAD_FLOW_STOP;
        memset(fp->buf + fp->buf_len, 0, MAD_BUFFER_GUARD);
        fp->buf_len += MAD_BUFFER_GUARD;
        fp->guarded = true;
    }
    fp->started = true;
    mad_stream_buffer(stream, fp->buf, fp->buf_len);
    return MAD_FLOW_CONTINUE;
}

enum mad_flow mp3_output(void *data, struct mad_header const *, struct mad_pcm *pcm)
{
    auto *info = static_cast<player_info *>(data);
    auto *fp = static_cast<mp3fp *>(info->priv);
    unsigned channels = pcm->channels == 2 ? 2 : 1;
    unsigned length = pcm->length <= kMaxFrameSamples ? pcm->length : kMaxFrameSamples;
    // One loop per channel count, the samples stored as 16-bit words where
    // the machine is little-endian: this loop is most of what the library
    // adds to the decode of an MP3 file.
    uint8_t *out = fp->pcm;
    const mad_fixed_t *left = pcm->samples[0], *right = pcm->samples[1];
    if (channels == 2) {
        for (unsigned i = 0; i < length; ++i, out += 4) {
            store_le16(out, mp3_scale(left[i]));
            store_le16(out + 2, mp3_scale(right[i]));
        }
    } else {
        for (unsigned i = 0; i < length; ++i, out += 2) store_le16(out, mp3_scale(left[i]));
    }
    // Wait: the data write sleeps while the ring is full, released as in the
    // WAV decode thread; the input callback's reads are those of read_once.
    int r = info->data_write(info->hdl, fp->pcm, uint32_t(out - fp->pcm));
    if (r < 0) {
        KA_LOGE("Write data error\n");
        return MAD_FLOW_BREAK;
    }
    if (r == 1) {
        KA_LOGD("Write Stop\n");
        return MAD_FLOW_STOP;
    }
    return MAD_FLOW_CONTINUE;
}

enum mad_flow mp3_error(void *data, struct mad_stream *stream, struct mad_frame *)
{
    auto *info = static_cast<player_info *>(data);
    auto *fp = static_cast<mp3fp *>(info->priv);
    // After the last frame libmad looks for the next frame header in the
    // zero guard this module appended itself and loses synchronisation there.
    // Those bytes are not part of the file, so that is no damage to report;
    // anything found inside the file's own bytes still is.
    if (fp->guarded && stream->this_frame >= fp->buf + fp->buf_len - MAD_BUFFER_GUARD)
        return MAD_FLOW_CONTINUE;
    fprintf(stderr, "decoding error 0x%04x (%s) at byte offset %u\n", unsigned(stream->error),
            mad_stream_errorstr(stream), unsigned(stream->this_frame - fp->buf));
    return MAD_FLOW_CONTINUE;
}

int mp3_run(player_info *info)
{
    struct mad_decoder decoder;
    mad_decoder_init(&decoder, info, mp3_input, nullptr, nullptr, mp3_output, mp3_error, nullptr);
    int result = mad_decoder_run(&decoder, MAD_DECODER_MODE_SYNC);
    mad_decoder_finish(&decoder);
    return result;
}

void *mp3_decode_thread(void *arg)
{
    decode_thread_gate();
    KA_LOGD("Mp3 decode thread start\n");
    auto *info = static_cast<player_info *>(arg);
    if (!info) {
        KA_LOGE("Para is NULL, exit parse thread\n");
        return nullptr;
    }
    std::unique_ptr<player_info, KaFreeDeleter> owned(info);
    std::unique_ptr<mp3fp, KaFreeDeleter> fp(static_cast<mp3fp *>(malloc(sizeof(mp3fp))));
    if (!fp) {
        KA_LOGE("Malloc mp3fp failed, hdl = %d\n", info->fd);
        return nullptr;
    }
    if (!fd_usable(info->fd)) {
        KA_LOGE("Convert audio fd to fp failed, hdl = %d\n", info->fd);
        return nullptr;
    }
    fp->stream = info->fd;
    fp->started = false;
    fp->guarded = false;
    // The budget runs from where the descriptor stands to the end of the
    // file; a descriptor that cannot seek is read to its end.
    off_t here = lseek(fp->stream, 0, SEEK_CUR);
    off_t end = here >= 0 ? lseek(fp->stream, 0, SEEK_END) : -1;
    if (here >= 0 && end >= here) {
        lseek(fp->stream, here, SEEK_SET);
        off_t left = end - here;
        fp->budget = uint64_t(left) > UINT32_MAX ? UINT32_MAX : uint32_t(left);
    } else {
        fp->budget = UINT32_MAX;
    }
    ssize_t got = read_full(fp->stream, fp->buf, fp->budget < kFirstBlock ? fp->budget : kFirstBlock);
    fp->buf_len = got > 0 ? uint32_t(got) : 0;
    fp->taken = fp->buf_len;
    info->priv = fp.get();

    mp3_run(info);

    info->data_write(info->hdl, fp->buf, 0);
    fp.reset();
    owned.reset();
    KA_LOGD("Mp3 decode thread end\n");
    return nullptr;
}

}  // namespace

extern "C" KA_API int start_ka_mp3_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid)
{
    switch (start_decode_thread(hdl, fd, data_write, tid, mp3_decode_thread)) {
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
