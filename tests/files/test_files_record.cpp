// Recording to WAV and AMR-NB files on the emulated board: the files are
// complete and closed once the recorder is closed, whatever came next.
#include <cmath>

#include "files_play.h"
#include "ka_lib_audio.h"

using namespace files_test;

namespace {

class FileRecord : public ka_test::BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        threads_before = idle_thread_count();
    }
    void TearDown() override
    {
        wait_until([&] { return thread_count() <= threads_before; });
        EXPECT_EQ(kb_open_fds(), 0);
    }
    static uint64_t captured()
    {
        struct kb_pcm_info info{};
        kb_pcm_info(0, KB_CAPTURE, &info);
        return info.bytes;
    }
    // Records on "hw:0,0" until at least `bytes` were captured, then stops
    // and closes the recorder.
    void record_until(int hdl, uint64_t bytes)
    {
        ASSERT_EQ(hdl, 0);
        wait_until([&] { return captured() >= bytes; });
        Ka_AudRecorder_HStop(hdl);
        Ka_AudRecorder_HClose(hdl);
    }
    int threads_before = 0;
};

// The board's tone, sample n, 16-bit.
int16_t tone(double freq, double amp, int rate, long n) { return int16_t(lrint(amp * sin(2 * M_PI * freq * n / rate))); }

void expect_wav_sizes(const Bytes &w)
{
    ASSERT_GE(w.size(), 44u);
    EXPECT_EQ(memcmp(w.data(), "RIFF", 4), 0);
    EXPECT_EQ(le32(w, 4), w.size() - 8);
    EXPECT_EQ(le32(w, 40), w.size() - 44);
}

TEST_F(FileRecord, WavFileHoldsExactlyTheCapturedData)
{
    kb_capture_tone(0, 440, 8000);
    std::string path = gen_path("rec.wav");
    write_file(path, Bytes(100000, 1));  // truncated by the recording
    record_until(Ka_AudRecorder_RecordWAV(nullptr, path.c_str(), 1, 8000, 2), 16000);
    EXPECT_EQ(fds_on(path), 0) << "closed once the recorder is closed";
    Bytes w = read_file(path);
    expect_wav_sizes(w);
    EXPECT_EQ(le16(w, 22), 1u);
    EXPECT_EQ(le32(w, 24), 8000u);
    EXPECT_EQ(le16(w, 34), 16u);
    ASSERT_GE(w.size(), 44u + 16000u);
    // Nothing but the delivered buffers: the tone from its first sample.
    EXPECT_EQ((w.size() - 44) % 2, 0u);
    for (long n = 0; n < long(w.size() - 44) / 2; ++n)
        ASSERT_EQ(int16_t(le16(w, 44 + 2 * size_t(n))), tone(440, 8000, 8000, n)) << "sample " << n;

    if (have_tool("soxi")) {
        EXPECT_EQ(run_output("soxi -r '" + path + "'"), "8000\n");
        EXPECT_EQ(run_output("soxi -c '" + path + "'"), "1\n");
        EXPECT_EQ(run_output("soxi -s '" + path + "'"), std::to_string((w.size() - 44) / 2) + "\n");
    }
    if (have_tool("ffmpeg")) {
        std::string pcm = run_output("ffmpeg -v error -i '" + path + "' -f s16le -");
        EXPECT_EQ(pcm.size(), w.size() - 44);
    }
}

TEST_F(FileRecord, AmrNbFilePlaysBackAndDecodes)
{
    kb_capture_tone(0, 700, 9000);
    std::string path = gen_path("rec.amr");
    record_until(Ka_AudRecorder_RecordAMRNB(nullptr, path.c_str()), 8000);
    EXPECT_EQ(fds_on(path), 0);
    Bytes a = read_file(path);
    ASSERT_GT(a.size(), 6u + 21u) << log.dump();
    EXPECT_EQ(memcmp(a.data(), "#!AMR\n", 6), 0);
    // Whole frames only.
    Bytes ref = amr_decode(a, false);
    size_t pos = 6, frames = 0;
    while (pos < a.size()) {
        pos += 1 + size_t(amrnb_sizes[(a[pos] >> 3) & 15]);
        ++frames;
    }
    EXPECT_EQ(pos, a.size());
    EXPECT_EQ(ref.size(), frames * 320);

    // Back through the library's own player.
    kb_reset();
    log.clear();
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, nullptr), 0);
    wait_until([&] { return log.count("File play main thread end") == 1; });
    Bytes got = played(0);
    EXPECT_TRUE(is_prefix(got, ref));
    EXPECT_GT(got.size(), 0u);
    close(fd);

    if (have_tool("ffmpeg")) {
        std::string pcm = run_output("ffmpeg -v error -i '" + path + "' -f s16le - 2>/dev/null");
        EXPECT_GT(pcm.size(), 0u);
        EXPECT_EQ(pcm.size() % 320, 0u);
    }
}

TEST_F(FileRecord, NewRecordingOnTheDeviceFinishesTheEarlierFile)
{
    kb_capture_tone(0, 300, 5000);
    std::string first = gen_path("first.wav"), second = gen_path("second.amr");
    int h = Ka_AudRecorder_RecordWAV(nullptr, first.c_str(), 1, 8000, 2);
    ASSERT_EQ(h, 0);
    wait_until([&] { return captured() >= 4000; });
    int h2 = Ka_AudRecorder_RecordAMRNB(nullptr, second.c_str());
    EXPECT_EQ(h2, h);
    EXPECT_EQ(fds_on(first), 0);
    expect_wav_sizes(read_file(first));
    EXPECT_GE(read_file(first).size(), 44u + 4000u);
    record_until(h2, captured() + 4000);
    Bytes a = read_file(second);
    EXPECT_EQ(memcmp(a.data(), "#!AMR\n", 6), 0);
    EXPECT_GT(a.size(), 6u);
    EXPECT_EQ(fds_on(second), 0);
}

TEST_F(FileRecord, ReadFailureStillFinishesTheFile)
{
    kb_capture_tone(0, 440, 8000);
    kb_fault(KB_FAULT_PCM_READ, 0, 5, -1, EIO);
    std::string path = gen_path("fail.wav");
    int h = Ka_AudRecorder_RecordWAV(nullptr, path.c_str(), 1, 8000, 2);
    ASSERT_EQ(h, 0);
    wait_until([&] { return log.count("Read pcm error") == 1; });
    Ka_AudRecorder_HStop(h);
    Ka_AudRecorder_HClose(h);
    wait_until([&] { return fds_on(path) == 0; });
    Bytes w = read_file(path);
    expect_wav_sizes(w);
    EXPECT_EQ(w.size() - 44, captured()) << "what was stored up to the failure";
}

TEST_F(FileRecord, RefusedTypesAndWrongCallers)
{
    std::string path = gen_path("x.mp3");
    write_file(path, Bytes(10, 1));
    EXPECT_EQ(Ka_AudRecorder_RecordFile(nullptr, path.c_str(), AUD_FILE_MP3, 1, 8000, 2, nullptr), -1);
    EXPECT_EQ(log.count("Init file header failed"), 1);
    EXPECT_TRUE(read_file(path).empty()) << "created and truncated";
    struct kb_pcm_info info{};
    kb_pcm_info(0, KB_CAPTURE, &info);
    EXPECT_EQ(info.opens, 0u) << "no recorder opened";
    EXPECT_EQ(Ka_AudRecorder_RecordFile(nullptr, path.c_str(), AUD_FILE_AMRWB, 1, 8000, 2, nullptr), -1);
    EXPECT_EQ(Ka_AudRecorder_RecordFile(nullptr, nullptr, 0, 1, 8000, 2, nullptr), -1);
    EXPECT_EQ(Ka_AudRecorder_RecordWAV("nodev", path.c_str(), 1, 8000, 2), -1);
    EXPECT_EQ(log.count("Get cctx from dev failed, dev = nodev"), 1);
    EXPECT_EQ(Ka_AudRecorder_RecordWAV(nullptr, "/nonexistent/x.wav", 1, 8000, 2), -1);
    EXPECT_EQ(log.count("Open file /nonexistent/x.wav error"), 1);

    // Type 2: the AMR-NB header and nothing else unless the callback writes.
    std::string p2 = gen_path("t2.amr");
    int h = Ka_AudRecorder_RecordFile(nullptr, p2.c_str(), 2, 1, 8000, 2, nullptr);
    record_until(h, 3200);
    EXPECT_EQ(read_file(p2), (Bytes{'#', '!', 'A', 'M', 'R', '\n'}));
    EXPECT_GT(log.count("Default capture thread callback, result = 0"), 0);

    // Header helpers and file callbacks outside a record-file thread.
    int fd = open(p2.c_str(), O_RDWR);
    EXPECT_EQ(__ka_init_file_header(fd, 7, 1, 8000, 2), 0);
    EXPECT_EQ(__ka_init_file_header(fd, 4, 1, 8000, 2), -1);
    close(fd);
    char buf[4] = {};
    EXPECT_EQ(__ka_wav_write_file_cb(0, buf, 4), -1);
    EXPECT_EQ(__ka_amrnb_write_file_cb(0, buf, 4), -1);
    EXPECT_EQ(read_file(p2).size(), 6u);
}

}  // namespace
