// SPDX-License-Identifier: MIT
// Format detection on arbitrary files: every check, and the combined one.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = ka_fuzz::input_fd(data, size);
    if (fd < 0) return 0;
    format_info fi{};
    int type = check_audio_format(fd, &fi);
    if (type != -1 && type != AUD_FILE_WAV && type != AUD_FILE_MP3 && type != AUD_FILE_AMRNB &&
        type != AUD_FILE_AMRWB)
        __builtin_trap();
    if (type >= 0 && fi.file_type != type) __builtin_trap();
    check_wav_file(fd, &fi);
    check_amrnb_file(fd, &fi);
    check_amrwb_file(fd, &fi);
    check_mp3_file(fd, &fi);
    get_mp3_id3_para(fd, &fi);
    get_mp3_frame_para(fd, size > 4 ? int(data[size - 1]) * 13 : 0, &fi);
    return 0;
}
