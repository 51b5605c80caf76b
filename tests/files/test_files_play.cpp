// File playback end to end on the emulated board: what reaches the device
// for each format, and how a file play ends (end of file, stop, close,
// replacement, failures) with nothing left behind.
#include <atomic>
#include <mutex>

#include "files_test.h"

#define KA_LOG_FILE "test"
#include "ka_internal.h"

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
    void TearDown() override
    {
        FileTest::TearDown();
        for (int fd : fds) {
            EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the caller's descriptor stays open";
            close(fd);
        }
        std::lock_guard<std::mutex> lock(g_mutex);
        g_results.clear();
    }
    int keep(int fd) { return fds.emplace_back(fd); }
    void wait_ended(int plays)
    {
        wait_until([&] { return ended() >= plays; });
    }
    int ended() const { return log.count("File play main thread end"); }
    // The player is back to closed with no stream, no descriptor and no
    // thread of the play left, and a new file plays in full on the same
    // device.
    void expect_all_gone_and_device_works()
    {
        EXPECT_EQ(__atomic_load_n(&audCtl.pctx[0].state, __ATOMIC_ACQUIRE), CTX_CLOSED);
        EXPECT_EQ(kb_pcm_state(0, KB_PLAYBACK), -1) << "a stream stays live";
        EXPECT_EQ(kb_open_fds(), 0);
        wait_until([this] { return proc_entries("/proc/self/task") <= threads; });
        kb_reset();
        log.clear();
        Bytes next = pcm16(1, 8000, 4000, 9);
        ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, keep(open_with("next.wav", wav_file(1, 8000, 16, next))), 0,
                                        nullptr),
                  0);
        wait_ended(1);
        EXPECT_TRUE(all_then_silence(played(), next)) << played().size() << " of " << next.size();
    }
    std::vector<int> fds;
};

// Damaged bytes in front of a frame header somewhere past `from`.
Bytes damaged(Bytes file, size_t from)
{
    while (!(file[from] == 0xFF && (file[from + 1] & 0xE0) == 0xE0)) ++from;
    file.insert(file.begin() + long(from), 300, 0x21);
    return file;
}

TEST_F(FilePlay, EachFormatReachesTheDeviceAsDecoded)
{
    Bytes data = pcm16(2, 44100, 44100), blip = pcm16(1, 8000, 80), wav = wav_file(2, 44100, 16, data);
    Bytes nb = amrnb_file(150), wb = amrwb_file(150), nb_cut = amrnb_file(45), wb_stop = amrwb_file(40);
    nb_cut.pop_back();  // the last frame cut short is dropped
    wb_stop.push_back(14 << 3);  // a frame type without a size ends the play
    wb_stop.resize(wb_stop.size() + 100, 0);
    struct Case {
        std::string name;
        Bytes file, expected;
        off_t offset;
        unsigned rate = 0;
    };
    std::vector<Case> cases = {
        {"p.wav", wav, data, 0, 44100},
        {"p.wav", wav, Bytes(wav.begin() + 1044, wav.end()), 1044},  // a positive offset is where playback starts
        {"blip.wav", wav_file(1, 8000, 16, blip), blip, 0},          // shorter than half the ring
        {"p.amr", nb, amr_decode(nb, false), 0, 8000},
        {"p.awb", wb, amr_decode(wb, true), 0, 16000},
        {"cut.amr", nb_cut, amr_decode(nb_cut, false), 0},
        {"stop.awb", wb_stop, amr_decode(wb_stop, true), 0},
    };
    if (have_tool("lame")) {
        Bytes s = mp3_file("p_s.mp3", 2, 44100, 1.5, "-b 128 --add-id3v2 --tt Play");
        Bytes m = mp3_file("p_m.mp3", 1, 22050, 1.5, "-m m -b 48");  // MPEG-2
        Bytes d = damaged(mp3_file("p_d.mp3", 2, 44100, 1.0, "-b 128 -t"), 3000);
        cases.push_back({"p_s.mp3", s, mp3_decode(s), 0, 44100});
        cases.push_back({"p_m.mp3", m, mp3_decode(m), 0, 22050});
        cases.push_back({"p_d.mp3", d, mp3_decode(d), 0});
    }
    for (const Case &c : cases) {
        kb_reset();
        log.clear();
        StderrToFile err;
        int fd = keep(open_with(c.name, c.file));
        ASSERT_EQ(Ka_AudPlayer_PlayFile(c.offset ? "hw:0,0" : nullptr, fd, c.offset, play_cb), 0) << c.name;
        wait_ended(1);
        Bytes got = played();
        EXPECT_TRUE(all_then_silence(got, c.expected)) << c.name << ": " << got.size() << " of " << c.expected.size();
        struct kb_pcm_info info{};
        kb_pcm_info(0, KB_PLAYBACK, &info);
        EXPECT_TRUE(!c.rate || info.rate == c.rate) << c.name << " at " << info.rate;
        EXPECT_TRUE(c.name != "p_d.mp3" || err.has("decoding error 0x")) << "a damaged stretch is reported";
        EXPECT_TRUE(c.name != "p_m.mp3" || !err.has("decoding error")) << "a clean file reports nothing";
    }
    EXPECT_EQ(g_results.back(), AUD_PLAYER_FINISHED);
    // ffmpeg's own decoders give the same length (they do not decode
    // comfort noise, so these files have speech frames only).
    if (!have_tool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    for (bool wide : {false, true}) {
        Bytes f = wide ? amrwb_file(100, 4, false) : amrnb_file(100, false);
        write_file(gen_path("ff.amr"), f);
        EXPECT_EQ(run_output("ffmpeg -v error -i " + gen_path("ff.amr") + " -f s16le -").size(), amr_decode(f, wide).size());
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
    Bytes got = played();
    EXPECT_TRUE(got.size() < data.size() && std::equal(got.begin(), got.end(), data.begin()));
    EXPECT_EQ(log.count("Write Stop"), 1);

    // Close by the application: the main thread finds the player closed.
    lseek(fd, 0, SEEK_SET);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), 0);
    ASSERT_EQ(kb_pcm_wait_played(0, got.size() + 3200, 60000), 0);
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
    got = played();
    size_t at = std::find_if(got.begin(), got.end(), [](uint8_t b) { return b != 0x11; }) - got.begin();
    EXPECT_GT(at, 0u);
    EXPECT_TRUE(all_then_silence(Bytes(got.begin() + long(at), got.end()), second));
}

// A writer (a decode thread, or the caller's Play) sleeps on the full ring
// of player 0.
bool writer_sleeps()
{
    pthread_mutex_lock(&audCtl.pctx[0].ring_lock);
    bool set = audCtl.pctx[0].ringbuf && audCtl.pctx[0].ringbuf->writer_waiting;
    pthread_mutex_unlock(&audCtl.pctx[0].ring_lock);
    return set;
}

// Device writes of player 0 made in the order a test wants: write number
// g_hold_for[n] waits until g_gate is open, write number g_fail_at waits
// until a writer sleeps on the full ring (the device fails that one).
std::atomic<int> g_writes{0};
std::atomic<bool> g_gate{false};
int g_gated_write = -1, g_fail_at = -1;
int (*g_real_write)(ka_pctx *, void *, unsigned);
int ordered_write(ka_pctx *p, void *buf, unsigned len)
{
    int n = g_writes++;
    if (n == g_gated_write) wait_until([] { return g_gate.load(); });
    if (n == g_fail_at) wait_until(writer_sleeps);
    return g_real_write(p, buf, len);
}
struct OrderedWrites {
    OrderedWrites(int gated, int fail_at)
    {
        g_writes = 0;
        g_gate = false;
        g_gated_write = gated;
        g_fail_at = fail_at;
        g_real_write = audCtl.pctx[0].write;
        audCtl.pctx[0].write = ordered_write;
    }
    ~OrderedWrites() { audCtl.pctx[0].write = g_real_write; }
};

// A device that fails part way through a file while the decode thread
// sleeps on the full ring: the play thread ends on the failed write, and
// with it the whole file play (decode thread, main thread, player, stream),
// exactly at the failure: nothing is played after it, by this play thread
// or by another one started behind it.
TEST_F(FilePlay, DeviceFailingPartWayEndsTheWholePlay)
{
    struct Case {
        std::string name;
        Bytes file, expected;
    };
    Bytes nb = amrnb_file(250), wb = amrwb_file(250);
    Bytes pcm = pcm16(1, 8000, 8000 * 5);
    std::vector<Case> cases = {
        {"fail.wav", wav_file(1, 8000, 16, pcm), pcm},
        {"fail.amr", nb, amr_decode(nb, false)},
        {"fail.awb", wb, amr_decode(wb, true)},
    };
    if (have_tool("lame")) {
        Bytes m = mp3_file("fail.mp3", 2, 44100, 4.0, "-b 128");
        cases.push_back({"fail.mp3", m, mp3_decode(m)});
    }
    constexpr int kGoodWrites = 3;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kb_reset();
        log.clear();
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_results.clear();
        }
        // One failed write only: the device itself would work again at once,
        // so any write after the failure shows a play that went on.
        kb_fault(KB_FAULT_PCM_WRITE, 0, kGoodWrites, 1, EIO);
        {
            OrderedWrites order(-1, kGoodWrites);
            int fd = keep(open_with(c.name, c.file));
            ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), 0);
            wait_ended(1);
        }
        EXPECT_EQ(kb_fault_hits(KB_FAULT_PCM_WRITE), 1);
        EXPECT_EQ(log.count("]:pcm_write failed, hdl = 0, ret = -1\n"), 1);
        EXPECT_EQ(log.count("decode thread end"), 1) << log.dump();
        EXPECT_EQ(log.count("Write data error") + log.count("Write Stop"), 1)
            << "the decode thread saw the end";
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            EXPECT_EQ(g_results, (std::vector<int>{AUD_PLAYER_ERROR, AUD_PLAYER_FINISHED}));
        }
        struct kb_pcm_info info {};
        kb_pcm_info(0, KB_PLAYBACK, &info);
        ASSERT_GT(info.period_bytes, 0u);
        size_t good = size_t(kGoodWrites) * info.period_bytes;
        ASSERT_GE(c.expected.size(), 4 * good);
        EXPECT_EQ(played(), Bytes(c.expected.begin(), c.expected.begin() + long(good)));
        expect_all_gone_and_device_works();
        if (HasFatalFailure()) return;
    }
}

// The file play's main thread starts its play thread only once the caller's
// thread has ended on the device failure.
int (*g_real_start)(int);
int start_after_end(int hdl)
{
    wait_until([hdl] { return __atomic_load_n(&audCtl.pctx[hdl].state, __ATOMIC_ACQUIRE) == CTX_OPENED; });
    return g_real_start(hdl);
}

// Raw file play on a player whose play thread was already running (so no
// file play wrapper watches the caller's callback), on a device that then
// fails for good: the decode thread sleeping on the full ring is released
// and the play ends.
TEST_F(FilePlay, DeviceFailingUnderRawPlayOnARunningPlayerEndsIt)
{
    ka_pctx &p = audCtl.pctx[0];
    g_real_start = p.start_play;
    p.start_play = start_after_end;
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, play_cb), 0);
    Bytes raw = pcm16(1, 8000, 8000 * 5, 6);
    kb_fault(KB_FAULT_PCM_WRITE, 0, 1, -1, EIO);
    Bytes first;
    {
        // Write 0, the caller's, waits for the file play to be installed;
        // write 1 fails the caller's thread; write 2, the file play's own
        // thread's first, fails while the decode thread sleeps on the ring.
        OrderedWrites order(0, 2);
        // The caller fills the ring; its thread runs (held in write 0).
        first = pcm16(1, 8000, p.ringbuf->size / 2, 5);
        ASSERT_EQ(Ka_AudPlayer_Play(0, first.data(), unsigned(first.size())), int(first.size()));
        EXPECT_EQ(__atomic_load_n(&p.state, __ATOMIC_ACQUIRE), CTX_RUNNING);
        EXPECT_EQ(Ka_AudPlayer_PlayFrmFile(0, keep(open_with("raw.pcm", raw)), 0), 0);
        g_gate = true;
        wait_ended(1);
    }
    p.start_play = g_real_start;
    kb_fault(KB_FAULT_PCM_WRITE, 0, 0, 0, 0);

    EXPECT_EQ(log.count("Wav decode thread start"), 1) << "the file play started its own thread";
    EXPECT_EQ(log.count("Wav decode thread end"), 1);
    EXPECT_EQ(log.count("]:pcm_write failed, hdl = 0, ret = -1\n"), 2);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        EXPECT_EQ(g_results, (std::vector<int>{-1, 5, -1, 5}));
    }
    struct kb_pcm_info info {};
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_EQ(played(), Bytes(first.begin(), first.begin() + long(info.period_bytes)));
    expect_all_gone_and_device_works();
}

// A paused file play holds (its decode thread waits for room in the ring,
// the application's close is refused); a stop by the application ends it,
// and the main thread closes the player although the stop found it paused.
TEST_F(FilePlay, PausedPlayHoldsUntilStopped)
{
    kb_set_speed(1.0);
    Bytes data = pcm16(1, 8000, 8000 * 20);
    int fd = keep(open_with("paused.wav", wav_file(1, 8000, 16, data)));
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, play_cb), 0);
    ASSERT_EQ(kb_pcm_wait_played(0, 3200, 60000), 0);
    ASSERT_EQ(Ka_AudPlayer_Pause(0), 0);
    wait_until([] { return std::string(Ka_AudPlayer_GetState(0, nullptr)) == "AUD_PLAYER_PAUSE"; });
    wait_until(writer_sleeps);
    Ka_AudPlayer_Close(0);
    EXPECT_EQ(log.count("]:Audio Player close wrong, state = 6\n"), 1);
    EXPECT_EQ(ended(), 0);
    Ka_AudPlayer_Stop(0);
    wait_ended(1);
    EXPECT_EQ(__atomic_load_n(&audCtl.pctx[0].state, __ATOMIC_ACQUIRE), CTX_CLOSED);
    EXPECT_EQ(kb_pcm_state(0, KB_PLAYBACK), -1);
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_results, std::vector<int>{AUD_PLAYER_FINISHED});
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
    // A read error of the decode thread (a directory read as PCM).
    h = Ka_AudPlayer_Open(nullptr, play_cb);
    ASSERT_EQ(Ka_AudPlayer_PlayFrmFile(h, keep(open(ka_test::temp_dir().c_str(), O_RDONLY)), 0), 0);
    wait_ended(3);
    EXPECT_EQ(log.count("Read data failed"), 1);
}

}  // namespace
