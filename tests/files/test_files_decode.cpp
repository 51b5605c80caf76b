// The decode threads against the data-write contract, with a recording
// callback in place of the player: what each hands on, in which chunks, and
// how it ends.
#include "files_test.h"

using namespace files_test;

namespace {

// Written by the decode thread only; read by the test after the join.
struct Sink {
    std::vector<uint32_t> lens;
    Bytes data;
    int answer_from = 1 << 30;  // from this call on, answer `answer`
    int answer = 0;
} g_sink;

int sink_write(int, void *buf, uint32_t len)
{
    int call = int(g_sink.lens.size());
    g_sink.lens.push_back(len);
    g_sink.data.insert(g_sink.data.end(), static_cast<uint8_t *>(buf), static_cast<uint8_t *>(buf) + len);
    return call >= g_sink.answer_from ? g_sink.answer : 0;
}

using StartFn = int (*)(int, int, ka_data_write_cb, pthread_t *);

class Decode : public FileTest {
protected:
    // One decode thread over `file` from `offset`; the answers to give.
    void run(StartFn start, const Bytes &file, off_t offset = 0, int answer_from = 1 << 30, int answer = 0)
    {
        g_sink = Sink{{}, {}, answer_from, answer};
        int fd = open_with("decode.bin", file);
        lseek(fd, offset, SEEK_SET);
        pthread_t tid{};
        ASSERT_EQ(start(3, fd, sink_write, &tid), 0);
        pthread_join(tid, nullptr);
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the descriptor stays open";
        close(fd);
    }
    // Drops the end mark, telling whether there was one.
    bool pop_end_mark()
    {
        bool mark = !g_sink.lens.empty() && g_sink.lens.back() == 0;
        if (mark) g_sink.lens.pop_back();
        return mark;
    }
};

TEST_F(Decode, WavBytesPassUnchangedInBlocks)
{
    Bytes data = pcm16(1, 8000, 750);
    Bytes file = wav_file(1, 8000, 16, data);
    run(start_ka_wav_decode, file, 44);
    EXPECT_EQ(g_sink.lens, (std::vector<uint32_t>{512, 512, 476, 0}));
    EXPECT_EQ(g_sink.data, data);
    run(start_ka_wav_decode, file, 1000);
    EXPECT_EQ(g_sink.data, Bytes(file.begin() + 1000, file.end()));
    run(start_ka_wav_decode, wav_file(1, 8000, 16, {}), 44);
    EXPECT_EQ(g_sink.lens, (std::vector<uint32_t>{0})) << "header only: the end mark alone";
    // Stop or error: no end mark.
    run(start_ka_wav_decode, file, 44, 0, 1);
    EXPECT_EQ(g_sink.lens, (std::vector<uint32_t>{512}));
    run(start_ka_wav_decode, file, 44, 1, -1);
    EXPECT_EQ(g_sink.lens.size(), 2u);
    EXPECT_EQ(log.count("Write Stop") + log.count("Write data error"), 2);
    pthread_t tid;
    EXPECT_EQ(start_ka_wav_decode(0, 0, nullptr, &tid), -1);
    EXPECT_EQ(start_ka_amrnb_decode(0, 0, sink_write, nullptr), -1);
}

TEST_F(Decode, AmrFramesEqualOpencoreDecode)
{
    Bytes nb = amrnb_file(80), wb = amrwb_file(60);
    run(start_ka_amrnb_decode, nb);
    EXPECT_TRUE(pop_end_mark());
    Bytes ref = amr_decode(nb, false);
    EXPECT_EQ(g_sink.lens, std::vector<uint32_t>(ref.size() / 320, 320));
    EXPECT_EQ(g_sink.data, ref);
    EXPECT_EQ(log.count("Amrnb file read end or error"), 1);
    run(start_ka_amrwb_decode, wb);
    EXPECT_FALSE(pop_end_mark()) << "the AMR-WB thread makes no end mark";
    EXPECT_EQ(g_sink.lens, std::vector<uint32_t>(60, 640));
    EXPECT_EQ(g_sink.data, amr_decode(wb, true));

    // The last frame cut short; a type 14 frame; the other format's magic.
    Bytes cut = amrnb_file(45);
    cut.pop_back();
    run(start_ka_amrnb_decode, cut);
    EXPECT_TRUE(pop_end_mark());
    EXPECT_EQ(g_sink.lens.size(), 44u);
    EXPECT_EQ(log.count("Amrnb file read error"), 1);
    Bytes stop = amrwb_file(4);
    stop.push_back(14 << 3);
    stop.resize(stop.size() + 100, 0);
    run(start_ka_amrwb_decode, stop);
    EXPECT_EQ(g_sink.lens.size(), 4u);
    run(start_ka_amrnb_decode, wb);
    run(start_ka_amrwb_decode, nb);
    EXPECT_EQ(log.count("Amrnb Bad header") + log.count("Amrwb Bad header"), 2);
    EXPECT_TRUE(g_sink.lens.empty());
}

TEST_F(Decode, Mp3FramesEqualLibmadDecode)
{
    if (!have_tool("lame")) GTEST_SKIP() << "lame is not installed";
    struct Case {
        const char *name;
        int channels, rate;
        const char *opts;
        uint32_t frame_bytes;
    };
    const Case cases[] = {{"s44.mp3", 2, 44100, "-b 128", 4608},
                          {"m48.mp3", 1, 48000, "-m m -b 64", 2304},
                          {"s22.mp3", 2, 22050, "-b 64", 2304},  // MPEG-2: 576 samples per channel
                          {"m16.mp3", 1, 16000, "-m m -b 32 --add-id3v2 --tt FileTest", 1152}};
    for (const Case &c : cases) {
        Bytes file = mp3_file(c.name, c.channels, c.rate, 1.0, c.opts);
        ASSERT_FALSE(file.empty()) << c.name;
        // From the start, and from a caller's offset in the middle.
        for (off_t offset : {off_t(0), off_t(file.size() / 2)}) {
            StderrToFile quiet;
            run(start_ka_mp3_decode, file, offset);
            Mp3Ref ref = mp3_decode(Bytes(file.begin() + offset, file.end()));
            EXPECT_TRUE(pop_end_mark());
            EXPECT_EQ(g_sink.lens, ref.frame_bytes) << c.name;
            EXPECT_TRUE(g_sink.data == ref.pcm) << c.name;
            EXPECT_EQ(g_sink.lens.front(), c.frame_bytes) << c.name;
        }
    }
}

TEST_F(Decode, Mp3DamageIsReportedAndSkipped)
{
    if (!have_tool("lame")) GTEST_SKIP() << "lame is not installed";
    Bytes file = mp3_file("dmg.mp3", 2, 44100, 1.0, "-b 128 -t");
    size_t frames = mp3_decode(file).frame_bytes.size();
    size_t at = 3000;  // garbage in front of the next frame header
    while (!(file[at] == 0xFF && (file[at + 1] & 0xE0) == 0xE0)) ++at;
    Bytes junk(300, 0x21);
    file.insert(file.begin() + long(at), junk.begin(), junk.end());
    StderrToFile cap;
    run(start_ka_mp3_decode, file);
    std::string err = cap.text();
    EXPECT_GE(count_of(err, "decoding error 0x"), 1) << err;
    EXPECT_TRUE(pop_end_mark());
    EXPECT_TRUE(g_sink.data == mp3_decode(file).pcm);
    EXPECT_GE(g_sink.lens.size() + 1, frames) << "at most the frame the garbage hit is lost";
    // A stop on the third frame: "Write Stop", and the end mark all the same.
    run(start_ka_mp3_decode, file, 0, 2, 1);
    EXPECT_EQ(g_sink.lens, (std::vector<uint32_t>{4608, 4608, 4608, 0}));
    EXPECT_EQ(log.count("Write Stop"), 1);
}

}  // namespace
