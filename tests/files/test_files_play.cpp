// File playback end to end on the emulated board: what reaches the device
// for each format, and how a file play ends (end of file, stop, close,
// replacement, pause, failures), with nothing left behind.
#include <atomic>
#include <mutex>
#include <tuple>

#include "files_play.h"
#include "ka_lib_audio.h"

using namespace files_test;

namespace {

std::mutex g_cb_mutex;
std::vector<int> g_results;

int play_cb(int, int result)
{
    std::lock_guard<std::mutex> lock(g_cb_mutex);
    g_results.push_back(result);
    return 0;
}

std::vector<int> results()
{
    std::lock_guard<std::mutex> lock(g_cb_mutex);
    return g_results;
}

class FilePlay : public ka_test::BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        {
            std::lock_guard<std::mutex> lock(g_cb_mutex);
            g_results.clear();
        }
        threads_before = idle_thread_count();
    }
    void TearDown() override
    {
        kb_set_speed(0);
        // Every library thread ends and every device descriptor is closed.
        wait_until([&] { return thread_count() <= threads_before; });
        EXPECT_EQ(kb_open_fds(), 0);
        for (int fd : fds) {
            EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the caller's descriptor stays open";
            close(fd);
        }
    }
    int keep(int fd)
    {
        fds.push_back(fd);
        return fd;
    }
    void wait_plays_ended(int n)
    {
        wait_until([&] { return log.count("File play main thread end") >= n; });
    }
    // The device got a prefix of `expected` that misses at most what the
    // ring and one period hold when the end of the data stops the player.
    void expect_played(const Bytes &expected, unsigned ring_bytes)
    {
        Bytes got = played(0);
        ASSERT_GT(got.size(), 0u);
        EXPECT_TRUE(is_prefix(got, expected)) << got.size() << " of " << expected.size();
        struct kb_pcm_info info{};
        kb_pcm_info(0, KB_PLAYBACK, &info);
        EXPECT_LE(expected.size() - got.size(), ring_bytes + info.period_bytes);
    }
    int threads_before = 0;
    std::vector<int> fds;
};

TEST_F(FilePlay, WavDataReachesTheDeviceUnchanged)
{
    Bytes data = pcm_bytes(synth(2, 44100, 44100));
    Bytes file = wav_file(2, 44100, 16, data);
    int fd = keep(open_written("play.wav", file));
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), 0);
    wait_plays_ended(1);
    expect_played(data, 80 * 4 * 44100 / 1000);
    struct kb_pcm_info info{};
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_EQ(info.channels, 2u);
    EXPECT_EQ(info.rate, 44100u);
    EXPECT_EQ(log.count("Receive Stop flag from decode thread"), 1) << log.dump();
    EXPECT_EQ(results().back(), AUD_PLAYER_FINISHED);
    int code = -9;
    Ka_AudPlayer_GetState(0, &code);
    EXPECT_EQ(code, AUD_PLAYER_FINISHED);

    // A positive offset is where playback starts.
    kb_reset();
    log.clear();
    ASSERT_EQ(Ka_AudPlayer_PlayFile("hw:0,0", fd, 1044, nullptr), 0);
    wait_plays_ended(1);
    expect_played(Bytes(file.begin() + 1044, file.end()), 80 * 4 * 44100 / 1000);
}

TEST_F(FilePlay, AmrPcmOnTheDeviceEqualsOpencoreAndFfmpegLength)
{
    Bytes nb = amrnb_file(150);
    Bytes wb = amrwb_file(150);
    Bytes nb_ref = amr_decode(nb, false), wb_ref = amr_decode(wb, true);
    int fd = keep(open_written("play.amr", nb));
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), 0);
    wait_plays_ended(1);
    expect_played(nb_ref, 80 * 2 * 8000 / 1000);
    struct kb_pcm_info info{};
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_EQ(info.rate, 8000u);
    EXPECT_EQ(info.channels, 1u);

    kb_reset();
    log.clear();
    int fdw = keep(open_written("play.awb", wb));
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fdw, 0, play_cb), 0);
    wait_plays_ended(1);
    expect_played(wb_ref, 80 * 2 * 16000 / 1000);
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_EQ(info.rate, 16000u);

    // ffmpeg's own decoders give the same length (they do not decode
    // comfort noise, so these files have speech frames only).
    if (!have_tool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    Bytes nb_speech = amrnb_file(150, MR795, false), wb_speech = amrwb_file(150, 4, true);
    for (auto [name, file, wide] : {std::tuple{"ff.amr", &nb_speech, false}, std::tuple{"ff.awb", &wb_speech, true}}) {
        write_file(gen_path(name), *file);
        std::string pcm = run_output("ffmpeg -v error -i '" + gen_path(name) + "' -f s16le -");
        EXPECT_EQ(pcm.size(), amr_decode(*file, wide).size()) << name;
    }
}

TEST_F(FilePlay, Mp3PcmOnTheDeviceEqualsLibmadDecode)
{
    if (!have_tool("lame")) GTEST_SKIP() << "lame is not installed";
    Bytes stereo = mp3_file("play_s.mp3", 2, 44100, 1.5, "-b 128 --add-id3v2 --tt Play");
    Bytes mono = mp3_file("play_m.mp3", 1, 22050, 1.5, "-m m -b 48");
    ASSERT_FALSE(stereo.empty());
    int fd = keep(open_written("play_s.mp3", stereo));
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), 0);
    wait_plays_ended(1);
    expect_played(mp3_decode(stereo).pcm, 80 * 4 * 44100 / 1000);

    kb_reset();
    log.clear();
    int fdm = keep(open_written("play_m.mp3", mono));
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fdm, 0, play_cb), 0);
    wait_plays_ended(1);
    expect_played(mp3_decode(mono).pcm, 80 * 2 * 22050 / 1000);
    struct kb_pcm_info info{};
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_EQ(info.channels, 1u);
    EXPECT_EQ(info.rate, 22050u);
}

TEST_F(FilePlay, StopAndCloseDuringAPlayEndIt)
{
    kb_set_speed(1.0);
    Bytes data = pcm_bytes(synth(1, 8000, 8000 * 20));
    int fd = keep(open_written("long.wav", wav_file(1, 8000, 16, data)));
    int h = Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb);
    ASSERT_EQ(h, 0);
    ASSERT_EQ(kb_pcm_wait_played(0, 3200, 60000), 0);
    EXPECT_EQ(Ka_AudPlayer_Stop(h), 0);
    wait_plays_ended(1);
    EXPECT_LT(played(0).size(), data.size());
    EXPECT_TRUE(is_prefix(played(0), data));
    EXPECT_EQ(log.count("Write Stop"), 1) << log.dump();
    EXPECT_EQ(results().back(), AUD_PLAYER_FINISHED);

    // Close by the application: the decode thread gives up, the main thread
    // finds the player closed.
    log.clear();
    lseek(fd, 0, SEEK_SET);
    h = Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb);
    ASSERT_EQ(h, 0);
    size_t before = played(0).size();
    ASSERT_EQ(kb_pcm_wait_played(0, before + 3200, 60000), 0);
    Ka_AudPlayer_Close(h);
    wait_plays_ended(1);
    EXPECT_EQ(log.count("Write data error") + log.count("Write Stop"), 1) << log.dump();
    int code = -9;
    Ka_AudPlayer_GetState(h, &code);
    EXPECT_EQ(code, AUD_PLAYER_FINISHED);
}

TEST_F(FilePlay, NewPlayReplacesTheRunningOneAndIsNotClosedByIt)
{
    kb_set_speed(1.0);
    Bytes first(8000 * 2 * 20, 0x11);  // constant, easy to tell apart
    Bytes second = pcm_bytes(synth(1, 8000, 8000 / 2));
    int fd1 = keep(open_written("first.wav", wav_file(1, 8000, 16, first)));
    int fd2 = keep(open_written("second.wav", wav_file(1, 8000, 16, second)));
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd1, 0, play_cb), 0);
    ASSERT_EQ(kb_pcm_wait_played(0, 3200, 60000), 0);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd2, 0, play_cb), 0);
    wait_plays_ended(2);
    // The device got some of the first file, then the second one, played to
    // its end: the first play's main thread did not cut it short.
    Bytes got = played(0);
    size_t at = 0;
    while (at < got.size() && got[at] == 0x11) ++at;
    ASSERT_GT(at, 0u);
    Bytes tail(got.begin() + long(at), got.end());
    EXPECT_TRUE(is_prefix(tail, second));
    struct kb_pcm_info info{};
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_LE(second.size() - tail.size(), 1280u + info.period_bytes);
    EXPECT_EQ(log.count("Receive Stop flag from decode thread"), 1) << log.dump();
}

TEST_F(FilePlay, PauseDropsDecodedData)
{
    // A player paused in the middle of its play, as the main thread sets it
    // up: then a decode thread registered on it has its data dropped.
    ASSERT_EQ(Ka_AudPlayer_SetBufsize_ms(nullptr, 1000), 0);
    int h = Ka_AudPlayer_Open(nullptr, play_cb);
    ASSERT_EQ(h, 0);
    Bytes lead = pcm_bytes(synth(1, 8000, 8000));
    ASSERT_EQ(Ka_AudPlayer_Play(h, lead.data(), 0), 0);
    Ka_AudPlayer_Pause(h);
    ASSERT_EQ(Ka_AudPlayer_Play(h, lead.data(), 9000), 9000);
    wait_until([&] {
        int code = 0;
        Ka_AudPlayer_GetState(h, &code);
        return code == AUD_PLAYER_PAUSE;
    });
    Bytes data(20000, 0x42);
    int fd = keep(open_written("pause.wav", wav_file(1, 8000, 16, data)));
    lseek(fd, 44, SEEK_SET);
    ka_pctx *pctx = __ka_hdl2pctx(h);
    ASSERT_EQ(start_ka_wav_decode(h, fd, __ka_default_data_write, &pctx->data_thread), 0);
    pthread_join(pctx->data_thread, nullptr);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), off_t(44 + data.size())) << "the whole file was decoded";
    EXPECT_EQ(log.count("Write Stop") + log.count("Write data error"), 0) << log.dump();
    Ka_AudPlayer_Stop(h);
    wait_until([&] {
        int code = 0;
        Ka_AudPlayer_GetState(h, &code);
        return code == AUD_PLAYER_FINISHED;
    });
    Ka_AudPlayer_Close(h);
    Ka_AudPlayer_SetBufsize_ms(nullptr, 80);
    Bytes got = played(0);
    EXPECT_TRUE(is_prefix(got, lead)) << "nothing of the paused file was played";
}

TEST_F(FilePlay, FailuresEndThePlayCleanly)
{
    // Write errors on the device.
    kb_fault(KB_FAULT_PCM_WRITE, 0, 2, -1, EIO);
    Bytes data = pcm_bytes(synth(1, 8000, 8000 * 2));
    int fd = keep(open_written("fail.wav", wav_file(1, 8000, 16, data)));
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), 0);
    wait_plays_ended(1);
    auto r = results();
    EXPECT_NE(std::find(r.begin(), r.end(), AUD_PLAYER_ERROR), r.end());
    kb_fault(KB_FAULT_PCM_WRITE, 0, 0, 0, 0);

    // Unknown format: -1, and what played on the device was stopped.
    log.clear();
    int text = keep(open_written("text.txt", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}));
    EXPECT_EQ(Ka_AudPlayer_PlayFile(nullptr, text, 0, play_cb), -1);
    EXPECT_EQ(log.count("Unknown file format"), 1);
    EXPECT_EQ(Ka_AudPlayer_PlayFile("hw:9,9", fd, 0, play_cb), -1);
    EXPECT_EQ(log.count("Get pctx from dev failed, dev = hw:9,9"), 1);

    // Player open failure.
    kb_fault(KB_FAULT_PCM_OPEN, -1, 0, 1, ENODEV);
    EXPECT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), -1);
    EXPECT_EQ(log.count("open aud player failed, ret = -1"), 1) << log.dump();
    Ka_AudPlayer_Close(0);

    // A read error in the decode thread (a directory read as raw PCM).
    log.clear();
    int dir = keep(open(gen_dir().c_str(), O_RDONLY | O_DIRECTORY));
    int h = Ka_AudPlayer_Open(nullptr, play_cb);
    ASSERT_EQ(Ka_AudPlayer_PlayFrmFile(h, dir, 0), 0);
    wait_plays_ended(1);
    EXPECT_EQ(log.count("Read data failed"), 1) << log.dump();
}

TEST_F(FilePlay, PlayFromFileClosesTheCallersPlayerAtTheEnd)
{
    Bytes raw = pcm_bytes(synth(1, 8000, 8000));
    int fd = keep(open_written("raw.pcm", raw));
    int h = Ka_AudPlayer_OpenExt("hw:0,0", play_cb, 0, 1, 8000, 2);
    ASSERT_EQ(h, 0);
    EXPECT_EQ(Ka_AudPlayer_PlayFrmFile(h, fd, 0), 0) << "0, not the handle";
    wait_plays_ended(1);
    expect_played(raw, 1280);
    EXPECT_EQ(log.count("Audio Player closed"), 1);
    EXPECT_EQ(Ka_AudPlayer_PlayFrmFile(7, fd, 0), -1);

    // The data-write callback serves only the registered decode thread.
    int8_t byte = 0;
    EXPECT_EQ(__ka_default_data_write(0, nullptr, 0), -1);
    EXPECT_EQ(__ka_default_data_write(0, &byte, 1), 1);
    EXPECT_EQ(log.count("Data decode thread not match handle, return stop"), 1);
    EXPECT_EQ(__ka_default_data_write(9, &byte, 1), -1);
    EXPECT_EQ(__ka_pctx_setops(__ka_hdl2pctx(0), 2), -1);
    EXPECT_EQ(__ka_pctx_setops(nullptr, 0), -1);
    EXPECT_EQ(__ka_pctx_setfd(nullptr, 1), -1);
}

}  // namespace
