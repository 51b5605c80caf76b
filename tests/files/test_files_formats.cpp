// Format detection, the WAV and AMR-NB writers and AMR to WAV conversion.
#include "files_test.h"

using namespace files_test;

namespace {

class Formats : public FileTest {};

// check_audio_format on `b`: the result, the record and the offset left.
int detect(const Bytes &b, format_info &fi, off_t *offset = nullptr)
{
    int fd = open_with("detect.bin", b);
    fi = format_info{-7, -7, -7, -7, -7};
    int r = check_audio_format(fd, &fi);
    if (offset) *offset = lseek(fd, 0, SEEK_CUR);
    close(fd);
    return r;
}

Bytes bytes(std::initializer_list<uint8_t> head, size_t pad = 0)
{
    Bytes b(head);
    b.resize(b.size() + pad, 0);
    return b;
}

TEST_F(Formats, DetectionResultsRecordsAndOffsets)
{
    format_info fi;
    off_t off;
    ASSERT_EQ(detect(wav_file(2, 44100, 16, Bytes(100)), fi, &off), AUD_FILE_WAV);
    EXPECT_EQ((std::vector<int>{fi.flags, fi.channels, fi.rate, fi.format, fi.file_type}),
              (std::vector<int>{0, 2, 44100, 2, 0}));
    EXPECT_EQ(off, 44);
    EXPECT_EQ(log.count("Wav file: rate(44100), Channels(2), format(2)"), 1);
    for (auto [bits, format] : {std::pair{8, 0}, {24, 6}, {32, 10}}) {
        ASSERT_EQ(detect(wav_file(1, 8000, bits, Bytes(100)), fi), AUD_FILE_WAV);
        EXPECT_EQ(fi.format, format);
    }
    // Not PCM (float, extensible), odd bits: no format at all, record untouched.
    EXPECT_EQ(detect(wav_file(1, 8000, 32, Bytes(100), 3), fi), -1);
    EXPECT_EQ(detect(wav_file(1, 8000, 16, Bytes(100), 0xFFFE), fi), -1);
    EXPECT_EQ(detect(wav_file(1, 8000, 12, Bytes(100)), fi), -1);
    EXPECT_EQ(fi.channels, -7);
    int fd = open_with("short.wav", bytes({'R', 'I', 'F', 'F'}, 16));
    EXPECT_EQ(check_wav_file(fd, &fi), -1);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0) << "a short header is rewound";
    EXPECT_EQ(check_mp3_file(fd, nullptr), -1);
    close(fd);

    ASSERT_EQ(detect(bytes({'#', '!', 'A', 'M', 'R', '-', 'W', 'B', '\n'}), fi, &off), AUD_FILE_AMRWB);
    EXPECT_EQ(fi.rate, 16000);
    EXPECT_EQ(off, 0);
    ASSERT_EQ(detect(bytes({'#', '!', 'A', 'M', 'R', '\n', 'x'}), fi, &off), AUD_FILE_AMRNB);
    EXPECT_EQ(fi.rate, 8000);
    EXPECT_EQ(off, 0);

    // MPEG frame headers: rate, channels.
    struct Case {
        Bytes file;
        int rate, channels;
    };
    const Case cases[] = {
        {bytes({0xFF, 0xFB, 0x90, 0x64}, 60), 44100, 2},  // MPEG-1, joint stereo
        {bytes({0xFF, 0xFB, 0x92, 0xC4}, 60), 44100, 1},  // single channel
        {bytes({0xFF, 0xF3, 0x94, 0x00}, 60), 24000, 2},  // MPEG-2
        {bytes({0xFF, 0xEB, 0x90, 0x00}, 60), -1, 0},     // reserved version
        {bytes({0xFF, 0xFB, 0x9C, 0x00}, 60), -1, 0},     // reserved rate
        {bytes({0xFF, 0xE3, 0x88, 0xC0}, 60), -1, 0},     // MPEG-2.5 needs a tag
        {bytes({'I', 'D', '3', 4, 0, 0, 0, 0, 2, 1}, 257 + 16), 11025, 2},  // no sync check behind a tag
        {bytes({}), -1, 0},
        {bytes({0xFF}), -1, 0},
    };
    for (const Case &c : cases) {
        int r = detect(c.file, fi, &off);
        EXPECT_EQ(r, c.rate < 0 ? -1 : AUD_FILE_MP3);
        if (r == AUD_FILE_MP3) {
            EXPECT_EQ(fi.rate, c.rate);
            EXPECT_EQ(fi.channels, c.channels);
            EXPECT_EQ(off, 0);
        }
    }
    // Behind ID3v2 tags (syncsafe sizes) the frame header is found and the
    // MPEG-2.5 row applies.
    Bytes tagged = bytes({'I', 'D', '3', 4, 0, 0, 0, 0, 2, 1}, 257);
    tagged.insert(tagged.end(), {0xFF, 0xE3, 0x88, 0xC0});
    ASSERT_EQ(detect(tagged, fi, &off), AUD_FILE_MP3);
    EXPECT_EQ(fi.rate, 8000);
    EXPECT_EQ(off, 0);
    EXPECT_EQ(log.count("Mp3 ID3 header size = 267"), 2);
    Bytes big = bytes({'I', 'D', '3', 4, 0, 0, 0, 1, 0, 0}, 16384);
    big.insert(big.end(), {0xFF, 0xFB, 0x94, 0x00});
    ASSERT_EQ(detect(big, fi), AUD_FILE_MP3);
    EXPECT_EQ(fi.rate, 48000);
    EXPECT_EQ(log.count("Mp3 ID3 header size = 16394"), 1);
}

TEST_F(Formats, WavHeaderAndAmrNbWriters)
{
    int fd = open_with("hdr.wav", {}, O_RDWR);
    ASSERT_EQ(wav_init_header(fd, 1, 8000, 2), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 44);
    Bytes d(16000, 0x5A);
    EXPECT_EQ(wav_write_file(fd, d.data(), 16000), 16000);
    EXPECT_EQ(wav_write_file(fd, d.data(), 0), 0);
    EXPECT_EQ(wav_write_file(fd, nullptr, 10), -1);
    ASSERT_EQ(wav_update_header(fd), 0);
    Bytes h = read_file(gen_path("hdr.wav"));
    EXPECT_EQ((std::vector<uint32_t>{le(h, 4), le(h, 28), le(h, 32, 2), le(h, 34, 2), le(h, 40)}),
              (std::vector<uint32_t>{16036, 16000, 2, 16, 16000}));
    ASSERT_EQ(wav_update_header(fd), 0);
    EXPECT_EQ(le(read_file(gen_path("hdr.wav")), 40), 32000u) << "adds what the header held";
    ASSERT_EQ(wav_init_header(fd, 2, 44100, 6), 0);
    ASSERT_EQ(Ka_Update_wav_size(fd, 1000), 44);
    lseek(fd, 123, SEEK_SET);
    ASSERT_EQ(Ka_Update_wav_size(fd, 320), 44);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 123);
    h = read_file(gen_path("hdr.wav"));
    EXPECT_EQ((std::vector<uint32_t>{le(h, 4), le(h, 28), le(h, 32, 2), le(h, 34, 2), le(h, 40)}),
              (std::vector<uint32_t>{1356, 176400, 4, 16, 1320}));
    close(fd);
    fd = open(gen_path("hdr.wav").c_str(), O_RDONLY);
    EXPECT_EQ(wav_init_header(fd, 1, 8000, 2), -1);
    EXPECT_EQ(amrnb_init_header(fd), -1);
    EXPECT_EQ(log.count("Write wav header failed") + log.count("Write amrnb header failed"), 2);
    close(fd);

    fd = open_with("rec.amr", {}, O_RDWR);
    ASSERT_EQ(amrnb_init_header(fd), 0);
    EXPECT_EQ(Ka_Update_wav_size(fd, 1), -1) << "no WAV header to read";
    void *enc = nullptr;
    EXPECT_EQ(amrnb_enc_init(nullptr), -1);
    amrnb_enc_init(&enc);
    Bytes speech = pcm16(1, 8000, 160);
    ASSERT_EQ(amrnb_write_file(enc, fd, speech.data(), 320), 0);
    Bytes f = read_file(gen_path("rec.amr"));
    ASSERT_EQ(f.size(), 27u) << "magic and one 21-byte MR795 frame";
    EXPECT_EQ(memcmp(f.data(), "#!AMR\n", 6), 0);
    EXPECT_EQ((f[6] >> 3) & 15, 5);
    Bytes big(321, 0);
    EXPECT_EQ(amrnb_write_file(enc, fd, big.data(), 321), -1);
    EXPECT_EQ(log.count("AMR max encode frame size = 320"), 1);
    EXPECT_EQ(amrnb_write_file(enc, fd, speech.data(), 100), 0) << "a short delivery is one whole frame";
    EXPECT_EQ(amr_decode(read_file(gen_path("rec.amr")), false).size(), 640u);
    EXPECT_EQ(amrnb_enc_deinit(enc), 0);
    EXPECT_EQ(amrnb_enc_deinit(nullptr), -1);
    close(fd);
}

struct Converted {
    int result;
    Bytes wav;
    std::string err;
};

Converted convert(const Bytes &in, int (*fn)(const char *, const char *))
{
    write_file(gen_path("conv.amr"), in);
    unlink(gen_path("conv.wav").c_str());
    StderrToFile cap;
    int r = fn(gen_path("conv.amr").c_str(), gen_path("conv.wav").c_str());
    return {r, read_file(gen_path("conv.wav")), cap.text()};
}

TEST_F(Formats, ConversionEqualsDirectDecodeAndEndsAsDescribed)
{
    for (bool wide : {false, true}) {
        Bytes in = wide ? amrwb_file(60) : amrnb_file(90);  // both with SID and no-data frames
        Bytes ref = amr_decode(in, wide);
        Converted c = convert(in, DecodeAMRFileToWAVEFile);
        ASSERT_EQ(c.result, 60 + 30 * !wide);
        ASSERT_EQ(c.wav.size(), 44 + ref.size());
        EXPECT_TRUE(std::equal(ref.begin(), ref.end(), c.wav.begin() + 44));
        EXPECT_EQ((std::vector<uint32_t>{le(c.wav, 4), le(c.wav, 22, 2), le(c.wav, 24), le(c.wav, 28),
                                         le(c.wav, 32, 2), le(c.wav, 34, 2), le(c.wav, 40)}),
                  (std::vector<uint32_t>{uint32_t(ref.size() + 36), 1, wide ? 16000u : 8000u,
                                         wide ? 32000u : 16000u, 2, 16, uint32_t(ref.size())}));
        EXPECT_EQ(count_of(c.err, "Bad header, NOT AMR-WB file\n"), wide ? 0 : 1) << c.err;
    }
    // A frame cut short is dropped; AMR-WB types 10..14 end the conversion.
    Bytes cut = amrnb_file(45);  // ends in speech: 21-byte frames
    cut.resize(cut.size() - 3);
    EXPECT_EQ(convert(cut, AMRNB2WAVEFile).result, 44);
    Bytes stop = amrwb_file(5);
    stop.push_back(10 << 3);
    stop.resize(stop.size() + 60, 0x11);
    EXPECT_EQ(le(convert(stop, AMRWB2WAVEFile).wav, 40), 5u * 640u);
    Converted c = convert(bytes({'#', '!', 'A', 'M', 'R', '\n'}), AMRNB2WAVEFile);
    EXPECT_EQ(c.result, 0);
    ASSERT_EQ(c.wav.size(), 44u);
    EXPECT_EQ(le(c.wav, 4), 36u);
    EXPECT_EQ(convert(bytes({'#', '!', 'A', 'M', 'R', '\n', 0x7C}), AMRNB2WAVEFile).result, 1);

    c = convert(bytes({'h', 'e', 'l', 'l', 'o', '!', '!', '!', '!'}), DecodeAMRFileToWAVEFile);
    EXPECT_EQ(c.result, -1);
    EXPECT_TRUE(c.wav.empty());
    EXPECT_EQ(count_of(c.err, "Bad header, NOT AMR-WB file\nBad header, n=6, header=hello!\n"), 1) << c.err;
    StderrToFile cap;
    EXPECT_EQ(AMRNB2WAVEFile("/nonexistent/in.amr", "x.wav"), -1);
    write_file(gen_path("conv.amr"), amrwb_file(2));
    EXPECT_EQ(DecodeAMRFileToWAVEFile(gen_path("conv.amr").c_str(), "/nonexistent/out.wav"), -1);
    EXPECT_EQ(AMRWB2WAVEFile(nullptr, "x"), -1);
    std::string err = cap.text();
    EXPECT_EQ(count_of(err, "/nonexistent/in.amr: "), 1) << err;
    EXPECT_EQ(count_of(err, "Unable to open /nonexistent/out.wav\nBad header, n=6, header=#!AMR-\n"), 1) << err;
}

}  // namespace
