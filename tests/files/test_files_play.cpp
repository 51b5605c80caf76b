// File playback end to end on the emulated board: what reaches the device
// for each format, and how a file play ends (end of file, stop, close,
// replacement, pause, failures) with nothing left behind.
#include <mutex>

#include "files_test.h"

using namespace files_test;

namespace {

std::mutex g_mutex;
std::vector<int> g_results;

int play_cb(int, int result)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_results.push_back(result);
    return 0;
}

class FilePlay : public FileTest {
protected:
    void SetUp() override
    {
        FileTest::SetUp();
        std::lock_guard<std::mutex> lock(g_mutex);
        g_results.clear();
    }
    void TearDown() override
    {
        FileTest::TearDown();
        for (int fd : fds) {
            EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the caller's descriptor stays open";
            close(fd);
        }
    }
    int keep(int fd) { return fds.emplace_back(fd); }
    void wait_ended(int plays = 1)
    {
        wait_until([&] { return log.count("File play main thread end") >= plays; });
    }
    // Plays `file` to its end on a fresh board: the device gets all of
    // `expected`, then at most silence.
    void expect_plays(const std::string &name, const Bytes &file, const Bytes &expected)
    {
        kb_reset();
        log.clear();
        ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, keep(open_with(name, file)), 0, play_cb), 0);
        wait_ended();
        EXPECT_TRUE(all_then_silence(played(), expected)) << name << ": " << played().size() << " of " << expected.size();
    }
    std::vector<int> fds;
};

TEST_F(FilePlay, EachFormatReachesTheDeviceAsDecoded)
{
    Bytes data = pcm16(2, 44100, 44100);
    Bytes wav = wav_file(2, 44100, 16, data);
    expect_plays("p.wav", wav, data);
    EXPECT_EQ(log.count("Receive Stop flag from decode thread"), 1);
    EXPECT_EQ(g_results.back(), AUD_PLAYER_FINISHED);
    struct kb_pcm_info info{};
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_EQ(info.rate, 44100u);
    EXPECT_EQ(info.channels, 2u);
    // A positive offset is where playback starts.
    kb_reset();
    ASSERT_EQ(Ka_AudPlayer_PlayFile("hw:0,0", fds.back(), 1044, nullptr), 0);
    wait_ended(2);
    EXPECT_TRUE(all_then_silence(played(), Bytes(wav.begin() + 1044, wav.end())));
    // A file shorter than half the ring plays all the same.
    Bytes blip = pcm16(1, 8000, 80);
    expect_plays("blip.wav", wav_file(1, 8000, 16, blip), blip);

    Bytes nb = amrnb_file(150), wb = amrwb_file(150);
    expect_plays("p.amr", nb, amr_decode(nb, false));
    expect_plays("p.awb", wb, amr_decode(wb, true));  // ends without an end mark
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_EQ(info.rate, 16000u);
    if (have_tool("lame")) {
        Bytes s = mp3_file("p_s.mp3", 2, 44100, 1.5, "-b 128 --add-id3v2 --tt Play");
        Bytes m = mp3_file("p_m.mp3", 1, 22050, 1.5, "-m m -b 48");
        StderrToFile quiet;
        expect_plays("p_s.mp3", s, mp3_decode(s).pcm);
        expect_plays("p_m.mp3", m, mp3_decode(m).pcm);
    }
    // ffmpeg's own decoders give the same length (they do not decode
    // comfort noise, so these files have speech frames only).
    if (!have_tool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    for (bool wide : {false, true}) {
        Bytes f = wide ? amrwb_file(100, 4, false) : amrnb_file(100, false);
        write_file(gen_path("ff.amr"), f);
        EXPECT_EQ(run_output("ffmpeg -v error -i " + gen_path("ff.amr") + " -f s16le -").size(),
                  amr_decode(f, wide).size());
    }
}

TEST_F(FilePlay, StopCloseAndReplacementEndThePlay)
{
    kb_set_speed(1.0);
    Bytes data = pcm16(1, 8000, 8000 * 20);
    int fd = keep(open_with("long.wav", wav_file(1, 8000, 16, data)));
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), 0);
    ASSERT_EQ(kb_pcm_wait_played(0, 3200, 60000), 0);
    Ka_AudPlayer_Stop(0);
    wait_ended(1);
    EXPECT_TRUE(is_prefix(played(), data));
    EXPECT_LT(played().size(), data.size());
    EXPECT_EQ(log.count("Write Stop"), 1);

    // Close by the application: the main thread finds the player closed.
    lseek(fd, 0, SEEK_SET);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), 0);
    ASSERT_EQ(kb_pcm_wait_played(0, played().size() + 3200, 60000), 0);
    Ka_AudPlayer_Close(0);
    wait_ended(2);
    EXPECT_EQ(log.count("Write Stop") + log.count("Write data error"), 2);

    // A new play replaces a running one, which then neither stops nor closes
    // it: the second file plays to its end after part of the first.
    kb_reset();
    Bytes first(8000 * 2 * 20, 0x11), second = pcm16(1, 8000, 4000);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, keep(open_with("a.wav", wav_file(1, 8000, 16, first))), 0, play_cb), 0);
    ASSERT_EQ(kb_pcm_wait_played(0, 3200, 60000), 0);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, keep(open_with("b.wav", wav_file(1, 8000, 16, second))), 0, play_cb), 0);
    wait_ended(4);
    Bytes got = played();
    size_t at = 0;
    while (at < got.size() && got[at] == 0x11) ++at;
    Bytes tail(got.begin() + long(at), got.end());
    EXPECT_GT(at, 0u);
    EXPECT_TRUE(all_then_silence(tail, second));
    EXPECT_EQ(log.count("Receive Stop flag from decode thread"), 1);
}

TEST_F(FilePlay, PausedPlayDropsDecodedData)
{
    // A player paused in the middle of its play, as the main thread sets it
    // up; a decode thread registered on it then has its data dropped.
    ASSERT_EQ(Ka_AudPlayer_SetBufsize_ms(nullptr, 1000), 0);
    int h = Ka_AudPlayer_Open(nullptr, play_cb);
    Bytes lead = pcm16(1, 8000, 8000);
    ASSERT_EQ(Ka_AudPlayer_Play(h, lead.data(), 0), 0);
    Ka_AudPlayer_Pause(h);
    ASSERT_EQ(Ka_AudPlayer_Play(h, lead.data(), 9000), 9000);
    auto state_is = [h](int code) {
        return [h, code] {
            int c = -9;
            Ka_AudPlayer_GetState(h, &c);
            return c == code;
        };
    };
    wait_until(state_is(AUD_PLAYER_PAUSE));
    Bytes data(20000, 0x42);
    int fd = keep(open_with("pause.wav", wav_file(1, 8000, 16, data)));
    lseek(fd, 44, SEEK_SET);
    ka_pctx *pctx = __ka_hdl2pctx(h);
    ASSERT_EQ(start_ka_wav_decode(h, fd, __ka_default_data_write, &pctx->data_thread), 0);
    pthread_join(pctx->data_thread, nullptr);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), off_t(44 + data.size())) << "decoded to the end";
    EXPECT_EQ(log.count("Write Stop") + log.count("Write data error"), 0);
    Ka_AudPlayer_Stop(h);
    wait_until(state_is(AUD_PLAYER_FINISHED));
    Ka_AudPlayer_Close(h);
    Ka_AudPlayer_SetBufsize_ms(nullptr, 80);
    EXPECT_TRUE(is_prefix(played(), lead)) << "nothing of the paused file played";
}

TEST_F(FilePlay, FailuresAndRawPlay)
{
    // Device write errors: the play ends (and its decode thread, which would
    // otherwise wait for room in the ring).
    kb_fault(KB_FAULT_PCM_WRITE, 0, 2, -1, EIO);
    int fd = keep(open_with("f.wav", wav_file(1, 8000, 16, pcm16(1, 8000, 16000))));
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), 0);
    wait_ended(1);
    EXPECT_NE(std::find(g_results.begin(), g_results.end(), AUD_PLAYER_ERROR), g_results.end());
    kb_fault(KB_FAULT_PCM_WRITE, 0, 0, 0, 0);

    EXPECT_EQ(Ka_AudPlayer_PlayFile(nullptr, keep(open_with("t.txt", {'h', 'i', '\n'})), 0, play_cb), -1);
    EXPECT_EQ(log.count("Unknown file format"), 1);
    EXPECT_EQ(Ka_AudPlayer_PlayFile("hw:9,9", fd, 0, play_cb), -1);
    EXPECT_EQ(log.count("Get pctx from dev failed, dev = hw:9,9"), 1);
    kb_fault(KB_FAULT_PCM_OPEN, -1, 0, 1, ENODEV);
    EXPECT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), -1);
    EXPECT_EQ(log.count("open aud player failed, ret = -1"), 1);
    Ka_AudPlayer_Close(0);

    // Raw PCM on the caller's player, closed at the end; 0, not the handle.
    Bytes raw = pcm16(1, 8000, 8000);
    int h = Ka_AudPlayer_OpenExt("hw:0,0", play_cb, 0, 1, 8000, 2);
    kb_reset();
    EXPECT_EQ(Ka_AudPlayer_PlayFrmFile(h, keep(open_with("raw.pcm", raw)), 0), 0);
    wait_ended(2);
    EXPECT_TRUE(all_then_silence(played(), raw));
    EXPECT_EQ(Ka_AudPlayer_PlayFrmFile(7, fd, 0), -1);
    // A read error of the decode thread (a directory read as PCM).
    h = Ka_AudPlayer_Open(nullptr, play_cb);
    ASSERT_EQ(Ka_AudPlayer_PlayFrmFile(h, keep(open(getenv("KA_TEST_GEN") ? getenv("KA_TEST_GEN") : "/tmp", O_RDONLY)), 0), 0);
    wait_ended(3);
    EXPECT_EQ(log.count("Read data failed"), 1);

    // Only the registered decode thread may write.
    char byte = 0;
    EXPECT_EQ(__ka_default_data_write(0, nullptr, 0), -1);
    EXPECT_EQ(__ka_default_data_write(0, &byte, 1), 1);
    EXPECT_EQ(log.count("Data decode thread not match handle, return stop"), 1);
    EXPECT_EQ(__ka_pctx_setops(__ka_hdl2pctx(0), 2), -1);
    EXPECT_EQ(__ka_pctx_setfd(nullptr, 1), -1);
}

}  // namespace
