// Format detection, WAV and AMR writers, and AMR to WAV conversion: the
// parts of the file modules that need no player.
#include <fcntl.h>
#include <unistd.h>

#include "files_media.h"
#include "ka_lib_audio.h"
#include "ka_test.h"

using namespace files_test;

namespace {

class Formats : public ka_test::BoardTest {};

// Descriptor of a temporary file holding `b`, open read-write.
int fd_with(const std::string &name, const Bytes &b)
{
    std::string p = gen_path(name);
    write_file(p, b);
    return open(p.c_str(), O_RDWR);
}

int detect(const Bytes &b, format_info &fi, off_t *offset = nullptr)
{
    int fd = fd_with("detect.bin", b);
    fi = format_info{-7, -7, -7, -7, -7};
    int r = check_audio_format(fd, &fi);
    if (offset) *offset = lseek(fd, 0, SEEK_CUR);
    close(fd);
    return r;
}

Bytes mpeg(std::initializer_list<uint8_t> head, size_t pad = 64)
{
    Bytes b(head);
    b.resize(b.size() + pad, 0);
    return b;
}

Bytes id3(uint8_t s6, uint8_t s7, uint8_t s8, uint8_t s9, std::initializer_list<uint8_t> frame)
{
    size_t size = size_t(s6 & 0x7F) << 21 | size_t(s7 & 0x7F) << 14 | size_t(s8 & 0x7F) << 7 | (s9 & 0x7F);
    Bytes b{'I', 'D', '3', 4, 0, 0, s6, s7, s8, s9};
    b.resize(10 + size, 0);
    b.insert(b.end(), frame);
    b.resize(b.size() + 16, 0);
    return b;
}

TEST_F(Formats, DetectsWavWithItsParametersAndDataOffset)
{
    format_info fi;
    off_t off;
    Bytes data(400, 0x11);
    ASSERT_EQ(detect(wav_file(2, 44100, 16, data), fi, &off), AUD_FILE_WAV);
    EXPECT_EQ(fi.flags, 0);
    EXPECT_EQ(fi.channels, 2);
    EXPECT_EQ(fi.rate, 44100);
    EXPECT_EQ(fi.format, 2);
    EXPECT_EQ(fi.file_type, AUD_FILE_WAV);
    EXPECT_EQ(off, 44);
    EXPECT_EQ(log.count("Wav file: rate(44100), Channels(2), format(2)"), 1) << log.dump();

    ASSERT_EQ(detect(wav_file(1, 8000, 8, data), fi), AUD_FILE_WAV);
    EXPECT_EQ(fi.format, 0);
    ASSERT_EQ(detect(wav_file(1, 8000, 24, data), fi), AUD_FILE_WAV);
    EXPECT_EQ(fi.format, 6);
    ASSERT_EQ(detect(wav_file(1, 8000, 32, data), fi), AUD_FILE_WAV);
    EXPECT_EQ(fi.format, 10);

    // Floating point and extensible WAV are no PCM WAV, nor anything else.
    EXPECT_EQ(detect(wav_file(1, 8000, 32, data, 3), fi), -1);
    EXPECT_EQ(detect(wav_file(1, 8000, 16, data, 0xFFFE), fi), -1);
    EXPECT_EQ(fi.channels, -7) << "a failed check writes nothing";
    EXPECT_EQ(detect(wav_file(1, 8000, 12, data), fi), -1);

    // Short RIFF: rejected and rewound.
    int fd = fd_with("short.wav", Bytes{'R', 'I', 'F', 'F', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    EXPECT_EQ(check_wav_file(fd, &fi), -1);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    EXPECT_EQ(check_wav_file(fd, nullptr), -1);
    close(fd);
}

TEST_F(Formats, DetectsAmrByMagicOnly)
{
    format_info fi;
    off_t off;
    ASSERT_EQ(detect(Bytes{'#', '!', 'A', 'M', 'R', '-', 'W', 'B', '\n', 0x44}, fi, &off), AUD_FILE_AMRWB);
    EXPECT_EQ(fi.rate, 16000);
    EXPECT_EQ(fi.channels, 1);
    EXPECT_EQ(off, 0);
    EXPECT_EQ(log.count("Amrwb file"), 1);
    ASSERT_EQ(detect(Bytes{'#', '!', 'A', 'M', 'R', '\n', 'x', 'y'}, fi, &off), AUD_FILE_AMRNB);
    EXPECT_EQ(fi.rate, 8000);
    EXPECT_EQ(fi.format, 2);
    EXPECT_EQ(off, 0);
    EXPECT_EQ(log.count("Amrnb file"), 1);
    EXPECT_EQ(detect(Bytes{'#', '!', 'A', 'M', 'R'}, fi), -1);
}

TEST_F(Formats, DetectsMpegFrameHeadersAndId3Tags)
{
    format_info fi;
    off_t off;
    ASSERT_EQ(detect(mpeg({0xFF, 0xFB, 0x90, 0x64}), fi, &off), AUD_FILE_MP3);
    EXPECT_EQ(fi.rate, 44100);
    EXPECT_EQ(fi.channels, 2);
    EXPECT_EQ(fi.format, 2);
    EXPECT_EQ(off, 0);
    EXPECT_EQ(log.count("mp3: bitrate = 0, samplerate = 44100, ch_bits = 1, channels = 2"), 1) << log.dump();
    ASSERT_EQ(detect(mpeg({0xFF, 0xFB, 0x92, 0xC4}), fi), AUD_FILE_MP3);
    EXPECT_EQ(fi.channels, 1);
    ASSERT_EQ(detect(mpeg({0xFF, 0xF3, 0x94, 0x00}), fi), AUD_FILE_MP3);
    EXPECT_EQ(fi.rate, 24000);
    ASSERT_EQ(detect(mpeg({0xFF, 0xFB, 0x98, 0x00}), fi), AUD_FILE_MP3);
    EXPECT_EQ(fi.rate, 32000);
    // Reserved version and reserved rate index.
    EXPECT_EQ(detect(mpeg({0xFF, 0xEB, 0x90, 0x00}), fi), -1);
    EXPECT_EQ(detect(mpeg({0xFF, 0xFB, 0x9C, 0x00}), fi), -1);
    // MPEG-2.5 sync is not enough on its own...
    EXPECT_EQ(detect(mpeg({0xFF, 0xE3, 0x88, 0xC0}), fi), -1);
    // ...but parses behind a tag, with the third row of rates.
    log.clear();
    ASSERT_EQ(detect(id3(0, 0, 2, 1, {0xFF, 0xE3, 0x88, 0xC0}), fi, &off), AUD_FILE_MP3);
    EXPECT_EQ(fi.rate, 8000);
    EXPECT_EQ(fi.channels, 1);
    EXPECT_EQ(off, 0);
    EXPECT_EQ(log.count("Mp3 ID3 header size = 267"), 1) << log.dump();
    ASSERT_EQ(detect(id3(0, 1, 0, 0, {0xFF, 0xFB, 0x94, 0x00}), fi), AUD_FILE_MP3);
    EXPECT_EQ(log.count("Mp3 ID3 header size = 16394"), 1);
    EXPECT_EQ(fi.rate, 48000);
    // A tag pointing past the end of the file.
    Bytes tag{'I', 'D', '3', 4, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F};
    EXPECT_EQ(detect(tag, fi), -1);

    EXPECT_EQ(detect(Bytes{}, fi), -1);
    EXPECT_EQ(detect(Bytes{0xFF}, fi), -1);
    int fd = fd_with("mp3.bin", mpeg({0xFF, 0xFB, 0x90, 0x64}));
    EXPECT_EQ(get_mp3_frame_para(fd, 0, nullptr), -1);
    EXPECT_EQ(check_audio_format(fd, nullptr), -1);
    close(fd);
}

TEST_F(Formats, WavHeaderWriteUpdateAndSizePatch)
{
    int fd = fd_with("hdr.wav", {});
    ASSERT_EQ(wav_init_header(fd, 1, 8000, 2), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 44);
    Bytes h = read_file(gen_path("hdr.wav"));
    ASSERT_EQ(h.size(), 44u);
    EXPECT_EQ(le32(h, 4), 36u);
    EXPECT_EQ(le32(h, 28), 16000u);
    EXPECT_EQ(le16(h, 32), 2u);
    EXPECT_EQ(le16(h, 34), 16u);
    EXPECT_EQ(le32(h, 40), 0u);
    format_info fi;
    EXPECT_EQ(check_wav_file(fd, &fi), 0) << "a fresh header is a WAV header";

    Bytes data(16000, 0x5A);
    EXPECT_EQ(wav_write_file(fd, data.data(), unsigned(data.size())), 16000);
    EXPECT_EQ(wav_write_file(fd, data.data(), 0), 0);
    EXPECT_EQ(wav_write_file(fd, nullptr, 10), -1);
    ASSERT_EQ(wav_update_header(fd), 0);
    h = read_file(gen_path("hdr.wav"));
    EXPECT_EQ(le32(h, 40), 16000u);
    EXPECT_EQ(le32(h, 4), 16036u);
    // The update adds what the header already held.
    ASSERT_EQ(wav_update_header(fd), 0);
    h = read_file(gen_path("hdr.wav"));
    EXPECT_EQ(le32(h, 40), 32000u);

    // Ka_Update_wav_size adds to the data size and keeps the offset.
    ASSERT_EQ(wav_init_header(fd, 2, 44100, 6), 0);
    h = read_file(gen_path("hdr.wav"));
    EXPECT_EQ(le32(h, 28), 176400u);
    EXPECT_EQ(le16(h, 32), 4u);
    EXPECT_EQ(le16(h, 34), 16u) << "always 16 bits";
    ASSERT_EQ(Ka_Update_wav_size(fd, 1000), 44);
    lseek(fd, 123, SEEK_SET);
    ASSERT_EQ(Ka_Update_wav_size(fd, 320), 44);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 123);
    h = read_file(gen_path("hdr.wav"));
    EXPECT_EQ(le32(h, 40), 1320u);
    EXPECT_EQ(le32(h, 4), 1356u);
    close(fd);

    // Failures: a header that cannot be read or written.
    fd = fd_with("tiny.wav", Bytes{1, 2, 3});
    EXPECT_EQ(Ka_Update_wav_size(fd, 1), -1);
    EXPECT_EQ(log.count("Read wav header failed"), 1);
    close(fd);
    fd = open(gen_path("hdr.wav").c_str(), O_RDONLY);
    EXPECT_EQ(wav_init_header(fd, 1, 8000, 2), -1);
    EXPECT_EQ(log.count("Write wav header failed"), 1);
    close(fd);
}

TEST_F(Formats, AmrNbHeaderAndEncoderWriter)
{
    int fd = fd_with("rec.amr", {});
    ASSERT_EQ(amrnb_init_header(fd), 0);
    void *enc = nullptr;
    EXPECT_EQ(amrnb_enc_init(nullptr), -1);
    amrnb_enc_init(&enc);
    ASSERT_NE(enc, nullptr);
    Bytes speech = pcm_bytes(synth(1, 8000, 160));
    ASSERT_EQ(amrnb_write_file(enc, fd, speech.data(), 320), 0);
    Bytes f = read_file(gen_path("rec.amr"));
    ASSERT_EQ(f.size(), 6u + 21u);
    EXPECT_EQ(memcmp(f.data(), "#!AMR\n", 6), 0);
    EXPECT_EQ((f[6] >> 3) & 15, 5) << "MR795 frame";

    Bytes big(321, 0);
    EXPECT_EQ(amrnb_write_file(enc, fd, big.data(), 321), -1);
    EXPECT_EQ(log.count("AMR max encode frame size = 320"), 1) << log.dump();
    EXPECT_EQ(read_file(gen_path("rec.amr")).size(), 27u) << "nothing written";
    // A short delivery is still one whole frame.
    EXPECT_EQ(amrnb_write_file(enc, fd, speech.data(), 100), 0);
    EXPECT_GT(read_file(gen_path("rec.amr")).size(), 27u);
    EXPECT_EQ(amrnb_write_file(nullptr, fd, speech.data(), 100), -1);
    EXPECT_EQ(amrnb_enc_deinit(enc), 0);
    EXPECT_EQ(amrnb_enc_deinit(nullptr), -1);
    close(fd);

    fd = open(gen_path("rec.amr").c_str(), O_RDONLY);
    EXPECT_EQ(amrnb_init_header(fd), -1);
    EXPECT_EQ(log.count("Write amrnb header failed"), 1);
    close(fd);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(nb_sizes[i], amrnb_sizes[i]);
        EXPECT_EQ(wb_sizes[i], amrwb_sizes[i]);
    }
}

// Converted WAV: header fields and the sample data.
struct Converted {
    int result;
    Bytes wav;
    std::string err;
};

Converted convert(const Bytes &in, int (*fn)(const char *, const char *))
{
    std::string src = gen_path("conv.amr"), dst = gen_path("conv.wav");
    unlink(dst.c_str());
    write_file(src, in);
    StderrToFile cap(gen_path("conv.err"));
    int r = fn(src.c_str(), dst.c_str());
    return {r, read_file(dst), cap.text()};
}

TEST_F(Formats, ConverterMatchesDirectDecodeAndEndsAsDescribed)
{
    // AMR-NB: whole file, then cut inside the last frame.
    Bytes nb = amrnb_file(45);  // ends in speech: the last frame is 21 bytes
    Bytes ref = amr_decode(nb, false);
    Converted c = convert(nb, AMRNB2WAVEFile);
    ASSERT_EQ(c.result, int(ref.size() / 320));
    ASSERT_EQ(c.wav.size(), 44 + ref.size());
    EXPECT_TRUE(std::equal(ref.begin(), ref.end(), c.wav.begin() + 44));
    EXPECT_EQ(le32(c.wav, 40), ref.size());
    EXPECT_EQ(le32(c.wav, 4), ref.size() + 36);
    EXPECT_EQ(le32(c.wav, 24), 8000u);
    EXPECT_EQ(le32(c.wav, 28), 16000u);
    Bytes cut(nb.begin(), nb.end() - 3);
    c = convert(cut, DecodeAMRFileToWAVEFile);
    EXPECT_EQ(c.result, int(ref.size() / 320) - 1);
    EXPECT_EQ(count_of(c.err, "Bad header, NOT AMR-WB file\n"), 1) << c.err;

    // Magic only; a single no-data frame; a type 7 frame.
    c = convert(Bytes{'#', '!', 'A', 'M', 'R', '\n'}, AMRNB2WAVEFile);
    EXPECT_EQ(c.result, 0);
    ASSERT_EQ(c.wav.size(), 44u);
    EXPECT_EQ(le32(c.wav, 4), 36u);
    c = convert(Bytes{'#', '!', 'A', 'M', 'R', '\n', 0x7C}, AMRNB2WAVEFile);
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(le32(c.wav, 40), 320u);
    Bytes t7{'#', '!', 'A', 'M', 'R', '\n', 0x3C};
    t7.resize(t7.size() + 31, 0x55);
    c = convert(t7, AMRNB2WAVEFile);
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(le32(c.wav, 4), 356u);

    // AMR-WB: direct decode equality, then a type 10 frame ends it.
    Bytes wb = amrwb_file(50);
    Bytes wref = amr_decode(wb, true);
    c = convert(wb, DecodeAMRFileToWAVEFile);
    ASSERT_EQ(c.result, 50);
    ASSERT_EQ(c.wav.size(), 44 + wref.size());
    EXPECT_TRUE(std::equal(wref.begin(), wref.end(), c.wav.begin() + 44));
    EXPECT_EQ(le32(c.wav, 24), 16000u);
    EXPECT_EQ(le32(c.wav, 28), 32000u);
    EXPECT_EQ(le16(c.wav, 32), 2u);
    EXPECT_EQ(le16(c.wav, 22), 1u);
    EXPECT_TRUE(c.err.empty()) << c.err;
    Bytes stop = amrwb_file(5);
    stop.push_back(10 << 3);
    stop.insert(stop.end(), 40, 0x11);
    Bytes tail = amrwb_file(5, 9);
    stop.insert(stop.end(), tail.begin() + 9, tail.end());
    c = convert(stop, AMRWB2WAVEFile);
    EXPECT_EQ(c.result, 5);
    EXPECT_EQ(le32(c.wav, 40), 5u * 640u);
    Bytes sid{'#', '!', 'A', 'M', 'R', '-', 'W', 'B', '\n', 9 << 3, 1, 2, 3, 4, 5};
    c = convert(sid, AMRWB2WAVEFile);
    EXPECT_EQ(c.result, 1);

    // Neither format: both messages, -1, no output file.
    c = convert(Bytes{'h', 'e', 'l', 'l', 'o', '!', '!', '!', '!', '!'}, DecodeAMRFileToWAVEFile);
    EXPECT_EQ(c.result, -1);
    EXPECT_TRUE(c.wav.empty());
    EXPECT_EQ(count_of(c.err, "Bad header, NOT AMR-WB file\n"), 1) << c.err;
    EXPECT_EQ(count_of(c.err, "Bad header, n=6, header=hello!\n"), 1) << c.err;

    // Input missing, output not creatable, NULL paths.
    StderrToFile cap(gen_path("conv2.err"));
    EXPECT_EQ(AMRNB2WAVEFile("/nonexistent/in.amr", gen_path("x.wav").c_str()), -1);
    write_file(gen_path("conv.amr"), wb);
    EXPECT_EQ(DecodeAMRFileToWAVEFile(gen_path("conv.amr").c_str(), "/nonexistent/out.wav"), -1);
    EXPECT_EQ(AMRWB2WAVEFile(nullptr, "x"), -1);
    EXPECT_EQ(DecodeAMRFileToWAVEFile("x", nullptr), -1);
    std::string err = cap.text();
    EXPECT_EQ(count_of(err, "/nonexistent/in.amr: "), 1) << err;
    EXPECT_EQ(count_of(err, "Unable to open /nonexistent/out.wav\n"), 1) << err;
    EXPECT_EQ(count_of(err, "Bad header, n=6, header=#!AMR-\n"), 1) << err;
}

TEST_F(Formats, WavWriterCountsWhatItWasGiven)
{
    std::string p = gen_path("sink.wav");
    wav_sink *s = wav_write_open(p.c_str(), 22050, 16, 2);
    ASSERT_NE(s, nullptr);
    Bytes d(1000, 7);
    wav_write_data(s, d.data(), 1000);
    wav_write_data(s, d.data(), 24);
    wav_write_close(s);
    Bytes w = read_file(p);
    ASSERT_EQ(w.size(), 1068u);
    EXPECT_EQ(le32(w, 40), 1024u);
    EXPECT_EQ(le32(w, 28), 22050u * 4);
    EXPECT_EQ(wav_write_open("/nonexistent/x.wav", 8000, 16, 1), nullptr);
    wav_write_close(nullptr);
}

}  // namespace
