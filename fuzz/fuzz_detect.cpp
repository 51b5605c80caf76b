// SPDX-License-Identifier: MIT
// Format detection on arbitrary files: every check, and the combined one;
// and ka-audio's header reader (tools/ka-audio/media_header.cpp) with the
// lines it makes of what it read.
#include "fuzz_common.h"
#include "media_header.h"

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
    const format_info lib = fi;
    check_wav_file(fd, &fi);
    check_amrnb_file(fd, &fi);
    check_amrwb_file(fd, &fi);
    check_mp3_file(fd, &fi);
    get_mp3_id3_para(fd, &fi);
    get_mp3_frame_para(fd, size > 4 ? int(data[size - 1]) * 13 : 0, &fi);

    // The audio the reader finds lies inside the file, and a WAV or MPEG
    // file that the library rejects gets a line that says why.
    const ka_tool::MediaHeader h = ka_tool::read_media_header(fd);
    const bool read = h.error.empty() && h.kind != ka_tool::MediaHeader::kOther;
    if (read && h.kind == ka_tool::MediaHeader::kWav && h.data_at + h.data_size > size) __builtin_trap();
    if (read && h.kind == ka_tool::MediaHeader::kMpeg && h.frame_at + 4 > size) __builtin_trap();
    const std::string why = ka_tool::unplayable(h, "in", type, lib.channels, lib.rate, lib.format);
    if (read && type < 0 && why.empty()) __builtin_trap();
    if (read && ka_tool::describe_layout(h).empty()) __builtin_trap();
    return 0;
}
