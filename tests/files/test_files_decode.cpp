// The decode threads of the WAV, AMR and MP3 modules against the data-write
// contract, with a recording callback in place of the player: what each
// thread hands on, in which chunks, and how it ends.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "files_media.h"
#include "ka_lib_audio.h"
#include "ka_test.h"

using namespace files_test;

namespace {

// What the decode thread handed on. Only the decode thread writes it, and
// the test reads it after joining that thread.
struct Sink {
    std::vector<uint32_t> lens;
    Bytes data;
    int answer_from = -1;  // from this call on, answer `answer`
    int answer = 0;
} g_sink;

int sink_write(int, void *buf, uint32_t len)
{
    if (!buf) return -1;
    int call = int(g_sink.lens.size());
    g_sink.lens.push_back(len);
    auto *p = static_cast<uint8_t *>(buf);
    g_sink.data.insert(g_sink.data.end(), p, p + len);
    return g_sink.answer_from >= 0 && call >= g_sink.answer_from ? g_sink.answer : 0;
}

using StartFn = int (*)(int, int, ka_data_write_cb, pthread_t *);

class Decode : public ka_test::BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        g_sink = Sink{};
    }
    // Runs one decode thread over `file` from `offset` to its end.
    void run(StartFn start, const Bytes &file, off_t offset = 0)
    {
        std::string p = gen_path("decode.bin");
        ASSERT_TRUE(write_file(p, file));
        int fd = open(p.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        lseek(fd, offset, SEEK_SET);
        pthread_t tid{};
        ASSERT_EQ(start(3, fd, sink_write, &tid), 0);
        pthread_join(tid, nullptr);
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the descriptor stays open";
        close(fd);
    }
    Bytes pcm_without_end() const { return g_sink.data; }
    bool ends_with_mark() const { return !g_sink.lens.empty() && g_sink.lens.back() == 0; }
};

TEST_F(Decode, WavPassesBytesInBlocksAndMarksTheEnd)
{
    Bytes data(1500);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    Bytes file = wav_file(1, 8000, 16, data);
    run(start_ka_wav_decode, file, 44);
    EXPECT_EQ(g_sink.lens, (std::vector<uint32_t>{512, 512, 476, 0}));
    EXPECT_EQ(g_sink.data, data);
    EXPECT_EQ(log.count("Wav file end"), 1);
    EXPECT_EQ(log.count("Wav decode thread end"), 1);

    // Header only: just the end mark. A caller's offset decides the start.
    g_sink = Sink{};
    run(start_ka_wav_decode, wav_file(1, 8000, 16, {}), 44);
    EXPECT_EQ(g_sink.lens, (std::vector<uint32_t>{0}));
    g_sink = Sink{};
    run(start_ka_wav_decode, file, 1000);
    EXPECT_EQ(g_sink.data, Bytes(file.begin() + 1000, file.end()));

    // Stop on the first block: no end mark; an error likewise.
    g_sink = Sink{};
    g_sink.answer_from = 0;
    g_sink.answer = 1;
    run(start_ka_wav_decode, file, 44);
    EXPECT_EQ(g_sink.lens, (std::vector<uint32_t>{512}));
    EXPECT_EQ(log.count("Write Stop"), 1);
    g_sink = Sink{};
    g_sink.answer_from = 1;
    g_sink.answer = -1;
    run(start_ka_wav_decode, file, 44);
    EXPECT_EQ(g_sink.lens.size(), 2u);
    EXPECT_EQ(log.count("Write data error"), 1);

    pthread_t tid;
    EXPECT_EQ(start_ka_wav_decode(0, 0, nullptr, &tid), -1);
    EXPECT_EQ(start_ka_wav_decode(0, 0, sink_write, nullptr), -1);
    EXPECT_EQ(start_ka_mp3_decode(0, 0, nullptr, &tid), -1);
    EXPECT_EQ(start_ka_amrnb_decode(0, 0, sink_write, nullptr), -1);
}

TEST_F(Decode, AmrNbFramesEqualOpencoreDecode)
{
    Bytes file = amrnb_file(80);
    Bytes ref = amr_decode(file, false);
    run(start_ka_amrnb_decode, file);
    ASSERT_TRUE(ends_with_mark());
    g_sink.lens.pop_back();
    EXPECT_EQ(g_sink.lens, std::vector<uint32_t>(ref.size() / 320, 320));
    EXPECT_EQ(g_sink.data, ref);
    EXPECT_EQ(log.count("Amrnb file read end or error"), 1);

    // Cut short: whole frames, then the read error and the end mark.
    g_sink = Sink{};
    Bytes cut = amrnb_file(45);
    Bytes cut_ref = amr_decode(cut, false);
    cut.pop_back();
    run(start_ka_amrnb_decode, cut);
    EXPECT_TRUE(ends_with_mark());
    EXPECT_EQ(g_sink.data.size(), cut_ref.size() - 320);
    EXPECT_EQ(log.count("Amrnb file read error"), 1);

    // A no-data frame is one byte and still a whole 20 ms of output.
    g_sink = Sink{};
    run(start_ka_amrnb_decode, Bytes{'#', '!', 'A', 'M', 'R', '\n', 0x7C});
    EXPECT_EQ(g_sink.lens, (std::vector<uint32_t>{320, 0}));

    // Magic only; the wrong magic.
    g_sink = Sink{};
    run(start_ka_amrnb_decode, Bytes{'#', '!', 'A', 'M', 'R', '\n'});
    EXPECT_EQ(g_sink.lens, (std::vector<uint32_t>{0}));
    g_sink = Sink{};
    run(start_ka_amrnb_decode, amrwb_file(3));
    EXPECT_TRUE(g_sink.lens.empty());
    EXPECT_EQ(log.count("Amrnb Bad header"), 1);
}

TEST_F(Decode, AmrWbFramesEqualOpencoreDecodeWithoutEndMark)
{
    Bytes file = amrwb_file(60);
    Bytes ref = amr_decode(file, true);
    run(start_ka_amrwb_decode, file);
    EXPECT_EQ(g_sink.lens, std::vector<uint32_t>(60, 640));
    EXPECT_EQ(g_sink.data, ref);
    EXPECT_EQ(log.count("Amrwb decode thread end"), 1);

    // A type 14 frame ends the play there.
    g_sink = Sink{};
    Bytes stop = amrwb_file(4);
    stop.push_back(14 << 3);
    Bytes more = amrwb_file(4, 5);
    stop.insert(stop.end(), more.begin() + 9, more.end());
    run(start_ka_amrwb_decode, stop);
    EXPECT_EQ(g_sink.lens.size(), 4u);

    g_sink = Sink{};
    run(start_ka_amrwb_decode, amrnb_file(3));
    EXPECT_TRUE(g_sink.lens.empty());
    EXPECT_EQ(log.count("Amrwb Bad header"), 1);
}

class Mp3Decode : public Decode {
protected:
    void SetUp() override
    {
        Decode::SetUp();
        if (!have_tool("lame")) GTEST_SKIP() << "lame is not installed";
    }
    // Decodes `file` through the module and compares with libmad directly:
    // the same PCM, one data-write call per frame, then the end mark.
    void expect_like_libmad(const Bytes &file, off_t offset = 0)
    {
        g_sink = Sink{};
        run(start_ka_mp3_decode, file, offset);
        Mp3Ref ref = mp3_decode(Bytes(file.begin() + offset, file.end()));
        ASSERT_TRUE(ends_with_mark());
        g_sink.lens.pop_back();
        EXPECT_EQ(g_sink.lens, ref.frame_bytes);
        EXPECT_EQ(g_sink.data.size(), ref.pcm.size());
        EXPECT_TRUE(g_sink.data == ref.pcm);
    }
};

TEST_F(Mp3Decode, FramesEqualLibmadDecodeForEveryLayout)
{
    Bytes stereo1 = mp3_file("s44.mp3", 2, 44100, 1.0, "-b 128");
    ASSERT_FALSE(stereo1.empty());
    expect_like_libmad(stereo1);
    EXPECT_EQ(g_sink.lens.front(), 4608u);

    Bytes mono1 = mp3_file("m48.mp3", 1, 48000, 1.0, "-m m -b 64");
    expect_like_libmad(mono1);
    EXPECT_EQ(g_sink.lens.front(), 2304u);

    Bytes stereo2 = mp3_file("s22.mp3", 2, 22050, 1.0, "-b 64");
    expect_like_libmad(stereo2);
    EXPECT_EQ(g_sink.lens.front(), 2304u) << "MPEG-2 layer III: 576 samples per channel";

    Bytes mono2 = mp3_file("m16.mp3", 1, 16000, 1.0, "-m m -b 32 --add-id3v2 --tt FileTest --ta Synth");
    ASSERT_EQ(memcmp(mono2.data(), "ID3", 3), 0);
    expect_like_libmad(mono2);
    EXPECT_EQ(g_sink.lens.front(), 1152u);

    // A caller's offset is where decoding starts.
    expect_like_libmad(stereo1, off_t(stereo1.size() / 2));
}

TEST_F(Mp3Decode, DamagedBytesBetweenFramesAreReportedAndSkipped)
{
    Bytes clean = mp3_file("dmg.mp3", 2, 44100, 1.0, "-b 128 -t");
    ASSERT_FALSE(clean.empty());
    Mp3Ref clean_ref = mp3_decode(clean);
    // Garbage right after the first frame header found past byte 3000.
    Bytes damaged = clean;
    size_t at = 3000;
    while (at + 1 < damaged.size() && !(damaged[at] == 0xFF && (damaged[at + 1] & 0xE0) == 0xE0)) ++at;
    Bytes junk(300);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(0x21 + i % 50);
    damaged.insert(damaged.begin() + long(at), junk.begin(), junk.end());

    StderrToFile cap(gen_path("mp3.err"));
    expect_like_libmad(damaged);
    std::string err = cap.text();
    EXPECT_GE(count_of(err, "decoding error 0x"), 1) << err;
    EXPECT_EQ(log.count("Mp3 decode thread end"), 1);
    // No break in the play: as many frames as without the damage, give or
    // take the one the garbage hit.
    EXPECT_GE(g_sink.lens.size() + 2, clean_ref.frame_bytes.size());

    // Stop answered on the third frame: the end mark is still made.
    g_sink = Sink{};
    g_sink.answer_from = 2;
    g_sink.answer = 1;
    run(start_ka_mp3_decode, clean);
    EXPECT_EQ(g_sink.lens.size(), 4u);
    EXPECT_TRUE(ends_with_mark());
    EXPECT_EQ(log.count("Write Stop"), 1);
}

TEST_F(Decode, Mp3OfGarbageEndsCleanly)
{
    Bytes junk(20000);
    std::mt19937 rng(5);
    for (auto &b : junk) b = uint8_t(rng());
    StderrToFile cap(gen_path("junk.err"));
    run(start_ka_mp3_decode, junk);
    cap.text();
    EXPECT_TRUE(ends_with_mark());
    g_sink = Sink{};
    run(start_ka_mp3_decode, Bytes{});
    EXPECT_EQ(g_sink.lens, (std::vector<uint32_t>{0}));
}

}  // namespace
