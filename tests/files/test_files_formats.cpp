// Format detection, the WAV and AMR-NB writers and AMR to WAV conversion.
#include "files_test.h"

using namespace files_test;

namespace {

using Formats = FileTest;

Bytes bytes(std::initializer_list<uint8_t> head, size_t pad = 0, std::initializer_list<uint8_t> tail = {})
{
    Bytes b(head);
    b.resize(b.size() + pad, 0);
    b.insert(b.end(), tail);
    return b;
}

TEST_F(Formats, DetectionResultsRecordsAndOffsets)
{
    struct Case {
        Bytes file;
        int result, rate, channels, format;
    };
    const int W = AUD_FILE_WAV, M = AUD_FILE_MP3;
    const Case cases[] = {
        {wav_file(2, 44100, 16, Bytes(100)), W, 44100, 2, 2},
        {wav_file(1, 8000, 8, Bytes(100)), W, 8000, 1, 0},
        {wav_file(1, 8000, 24, Bytes(100)), W, 8000, 1, 6},
        {wav_file(1, 8000, 32, Bytes(100)), W, 8000, 1, 10},
        // Not PCM (float, extensible), odd bits: no format, record untouched.
        {wav_file(1, 8000, 32, Bytes(100), 3), -1, -7, -7, -7},
        {wav_file(1, 8000, 16, Bytes(100), 0xFFFE), -1, -7, -7, -7},
        {wav_file(1, 8000, 12, Bytes(100)), -1, -7, -7, -7},
        {bytes({'#', '!', 'A', 'M', 'R', '-', 'W', 'B', '\n'}), AUD_FILE_AMRWB, 16000, -7, -7},
        {bytes({'#', '!', 'A', 'M', 'R', '\n', 'x'}), AUD_FILE_AMRNB, 8000, -7, -7},
        // MPEG frame headers: rate, channels.
        {bytes({0xFF, 0xFB, 0x90, 0x64}, 60), M, 44100, 2, -7},  // MPEG-1, joint stereo
        {bytes({0xFF, 0xFB, 0x92, 0xC4}, 60), M, 44100, 1, -7},  // single channel
        {bytes({0xFF, 0xF3, 0x94, 0x00}, 60), M, 24000, 2, -7},  // MPEG-2
        {bytes({0xFF, 0xEB, 0x90, 0x00}, 60), -1, -7, -7, -7},   // reserved version
        {bytes({0xFF, 0xFB, 0x9C, 0x00}, 60), -1, -7, -7, -7},   // reserved rate
        {bytes({0xFF, 0xE3, 0x88, 0xC0}, 60), -1, -7, -7, -7},   // MPEG-2.5 needs a tag
        {bytes({'I', 'D', '3', 4, 0, 0, 0, 0, 2, 1}, 257 + 16), M, 11025, 2,
         -7},  // no sync check behind a tag
        // Behind ID3v2 tags (syncsafe sizes) the header is found, MPEG-2.5 included.
        {bytes({'I', 'D', '3', 4, 0, 0, 0, 0, 2, 1}, 257, {0xFF, 0xE3, 0x88, 0xC0}), M, 8000, 1, -7},
        {bytes({'I', 'D', '3', 4, 0, 0, 0, 1, 0, 0}, 16384, {0xFF, 0xFB, 0x94, 0x00}), M, 48000, 2, -7},
        {bytes({}), -1, -7, -7, -7},
        {bytes({0xFF}), -1, -7, -7, -7},
    };
    for (const Case &c : cases) {
        int fd = open_with("detect.bin", c.file);
        format_info fi{-7, -7, -7, -7, -7};
        EXPECT_EQ(check_audio_format(fd, &fi), c.result) << &c - cases;
        EXPECT_EQ(c.result == -1 ? -7 : c.rate, fi.rate) << &c - cases;
        EXPECT_TRUE(fi.channels == c.channels || c.channels == -7) << &c - cases;
        EXPECT_TRUE(fi.format == c.format || c.format == -7) << &c - cases;
        EXPECT_TRUE(c.result == -1 || lseek(fd, 0, SEEK_CUR) == (c.result == W ? 44 : 0)) << &c - cases;
        close(fd);
    }
    format_info fi;
    int fd = open_with("short.wav", bytes({'R', 'I', 'F', 'F'}, 16));
    EXPECT_EQ(check_wav_file(fd, &fi) + lseek(fd, 0, SEEK_CUR), -1)
        << "a short header is refused and rewound";
    close(fd);
}

TEST_F(Formats, WavHeaderUpdates)
{
    // The size fields grow by each update; the file offset is kept.
    int fd = open_with("hdr.wav", {}, O_RDWR);
    ASSERT_EQ(wav_init_header(fd, 2, 44100, 6), 0);
    ASSERT_EQ(Ka_Update_wav_size(fd, 1000), 44);
    lseek(fd, 123, SEEK_SET);
    ASSERT_EQ(Ka_Update_wav_size(fd, 320), 44);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 123);
    Bytes h = read_file(gen_path("hdr.wav"));
    EXPECT_EQ((std::vector<uint32_t>{le(h, 4), le(h, 28), le(h, 32, 2), le(h, 34, 2), le(h, 40)}),
              (std::vector<uint32_t>{1356, 176400, 4, 16, 1320}));
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
    ka_test::StderrCapture cap;
    int r = fn(gen_path("conv.amr").c_str(), gen_path("conv.wav").c_str());
    return {r, read_file(gen_path("conv.wav")), cap.text()};
}

TEST_F(Formats, ConversionEqualsDirectDecodeAndEndsAsDescribed)
{
    // Whole files with SID and no-data frames; a frame cut short is dropped;
    // AMR-WB types 10..14 end the conversion.
    Bytes cut = amrnb_file(45), stop = amrwb_file(5), empty = bytes({'#', '!', 'A', 'M', 'R', '\n'});
    cut.resize(cut.size() - 3);
    stop.push_back(10 << 3);
    stop.resize(stop.size() + 60, 0x11);
    const struct {
        Bytes in;
        bool wide;
        int (*fn)(const char *, const char *);
        int frames;
    } cases[] = {{amrnb_file(90), false, DecodeAMRFileToWAVEFile, 90},
                 {amrwb_file(60), true, DecodeAMRFileToWAVEFile, 60},
                 {cut, false, AMRNB2WAVEFile, 44},
                 {stop, true, AMRWB2WAVEFile, 5},
                 {empty, false, AMRNB2WAVEFile, 0}};
    for (const auto &k : cases) {
        Bytes ref = amr_decode(k.in, k.wide);
        Converted c = convert(k.in, k.fn);
        EXPECT_EQ(c.result, k.frames);
        ASSERT_EQ(c.wav.size(), 44 + ref.size());
        EXPECT_TRUE(std::equal(ref.begin(), ref.end(), c.wav.begin() + 44));
        EXPECT_EQ((std::vector<uint32_t>{le(c.wav, 4), le(c.wav, 22, 2), le(c.wav, 24), le(c.wav, 28),
                                         le(c.wav, 32, 2), le(c.wav, 34, 2), le(c.wav, 40)}),
                  (std::vector<uint32_t>{uint32_t(ref.size() + 36), 1, k.wide ? 16000u : 8000u,
                                         k.wide ? 32000u : 16000u, 2, 16, uint32_t(ref.size())}));
    }
    Converted c = convert(bytes({'h', 'e', 'l', 'l', 'o', '!', '!', '!', '!'}), DecodeAMRFileToWAVEFile);
    EXPECT_TRUE(c.result == -1 && c.wav.empty());
    EXPECT_NE(c.err.find("Bad header, n=6, header=hello!\n"), std::string::npos) << c.err;
    ka_test::StderrCapture cap;
    EXPECT_EQ(AMRNB2WAVEFile("/nonexistent/in.amr", "x.wav"), -1);
    write_file(gen_path("conv.amr"), amrwb_file(2));
    EXPECT_EQ(DecodeAMRFileToWAVEFile(gen_path("conv.amr").c_str(), "/nonexistent/out.wav"), -1);
    EXPECT_TRUE(cap.has("/nonexistent/in.amr: ") && cap.has("Unable to open /nonexistent/out.wav\n"))
        << cap.text();
}

}  // namespace
