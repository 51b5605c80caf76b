// SPDX-License-Identifier: MIT
// File format detection: WAV, AMR-NB, AMR-WB and MPEG audio (with or without
// an ID3v2 tag) on an open descriptor, with the PCM parameters the player is
// opened with. Each check starts by rewinding the descriptor and, on
// success, leaves it where the decode thread is to start reading.
#define KA_LOG_FILE "ka_lib_audio"

#include <string.h>
#include <unistd.h>

#include <array>

#include "ka_audio_files.h"
#include "ka_files_internal.h"
#include "ka_internal.h"

using namespace ka_files;

namespace {

// Sampling frequencies by MPEG version row (1, 2, 2.5) and frequency index.
constexpr std::array<int32_t, 9> kMpegRates = {44100, 48000, 32000, 22050, 24000,
                                               16000, 11025, 12000, 8000};

void fill(format_info *info, int channels, int rate, int format, int type)
{
    info->flags = 0;
    info->channels = channels;
    info->rate = rate;
    info->format = format;
    info->file_type = type;
}

// The ALSA sample format of a WAV file's bits per sample, or -1.
constexpr int wav_format(uint32_t bits)
{
    switch (bits) {
    case 8:
        return 0;  // signed 8-bit
    case 16:
        return 2;
    case 24:
        return 6;
    case 32:
        return 10;
    default:
        return -1;
    }
}

// Wait: detection reads the caller's descriptor in the caller's thread (see
// read_once); nothing of the library is held meanwhile.
int check_magic(int fd, const char *magic, size_t len)
{
    char got[16];
    if (lseek(fd, 0, SEEK_SET) < 0) return -1;
    if (read_full(fd, got, len) != ssize_t(len) || memcmp(got, magic, len) != 0) return -1;
    if (lseek(fd, 0, SEEK_SET) < 0) return -1;
    return 0;
}

}  // namespace

extern "C" {

KA_API int check_wav_file(int fd, format_info *info)
{
    if (!info) return -1;
    if (lseek(fd, 0, SEEK_SET) < 0) return -1;
    uint8_t h[kWavHeaderSize];
    if (read_full(fd, h, sizeof h) != ssize_t(sizeof h)) {
        lseek(fd, 0, SEEK_SET);
        return -1;
    }
    if (memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVE", 4) != 0 || memcmp(h + 12, "fmt ", 4) != 0 ||
        get_le16(h + 20) != 1)
        return -1;
    int format = wav_format(get_le16(h + 34));
    if (format < 0) return -1;
    fill(info, int(get_le16(h + 22)), int(get_le32(h + 24)), format, AUD_FILE_WAV);
    return 0;
}

KA_API int check_amrnb_file(int fd, format_info *info)
{
    if (!info) return -1;
    if (check_magic(fd, kAmrNbMagic, kAmrNbMagicLen) < 0) return -1;
    fill(info, 1, 8000, 2, AUD_FILE_AMRNB);
    return 0;
}

KA_API int check_amrwb_file(int fd, format_info *info)
{
    if (!info) return -1;
    if (check_magic(fd, kAmrWbMagic, kAmrWbMagicLen) < 0) return -1;
    fill(info, 1, 16000, 2, AUD_FILE_AMRWB);
    return 0;
}

KA_API int get_mp3_frame_para(int fd, int offset, format_info *info)
{
    if (!info) return -1;
    if (lseek(fd, offset, SEEK_SET) < 0) return -1;
    uint8_t b[4] = {};
    if (read_full(fd, b, sizeof b) < 1) return -1;
    int row;
    switch ((b[1] >> 3) & 3) {
    case 3:
        row = 0;  // MPEG-1
        break;
    case 2:
        row = 1;  // MPEG-2
        break;
    case 0:
        row = 2;  // MPEG-2.5
        break;
    default:
        return -1;  // reserved
    }
    int index = (b[2] >> 2) & 3;
    if (index == 3) return -1;
    int rate = kMpegRates[size_t(row * 3 + index)];
    int mode = b[3] >> 6;
    int channels = mode == 3 ? 1 : 2;
    KA_LOGD("mp3: bitrate = %d, samplerate = %d, ch_bits = %d, channels = %d\n", 0, rate, mode, channels);
    fill(info, channels, rate, 2, AUD_FILE_MP3);
    lseek(fd, 0, SEEK_SET);
    return 0;
}

KA_API int get_mp3_id3_para(int fd, format_info *info)
{
    if (!info) return -1;
    if (lseek(fd, 0, SEEK_SET) < 0) return -1;
    uint8_t b[16] = {};
    if (read_full(fd, b, sizeof b) < 1) return -1;
    int size = (b[6] & 0x7F) << 21 | (b[7] & 0x7F) << 14 | (b[8] & 0x7F) << 7 | (b[9] & 0x7F);
    int offset = size + 10;
    KA_LOGD("Mp3 ID3 header size = %d\n", offset);
    int r = get_mp3_frame_para(fd, offset, info);
    lseek(fd, 0, SEEK_SET);
    return r;
}

KA_API int check_mp3_file(int fd, format_info *info)
{
    if (!info) return -1;
    if (lseek(fd, 0, SEEK_SET) < 0) return -1;
    uint8_t b[10] = {};
    if (read_full(fd, b, sizeof b) < 1) return -1;
    if (memcmp(b, "ID3", 3) == 0) return get_mp3_id3_para(fd, info);
    if (b[0] != 0xFF || (b[1] & 0xF0) != 0xF0) return -1;
    return get_mp3_frame_para(fd, 0, info);
}

KA_API int check_audio_format(int fd, format_info *info)
{
    if (!info) return -1;
    if (check_wav_file(fd, info) == 0) {
        KA_LOGD("Wav file: rate(%d), Channels(%d), format(%d)\n", info->rate, info->channels, info->format);
        return AUD_FILE_WAV;
    }
    if (check_amrnb_file(fd, info) == 0) {
        KA_LOGD("Amrnb file\n");
        return AUD_FILE_AMRNB;
    }
    if (check_amrwb_file(fd, info) == 0) {
        KA_LOGD("Amrwb file\n");
        return AUD_FILE_AMRWB;
    }
    if (check_mp3_file(fd, info) == 0) {
        KA_LOGD("Mp3 file\n");
        return AUD_FILE_MP3;
    }
    return -1;
}

}  // extern "C"
