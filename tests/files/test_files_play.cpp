// File playback end to end on the emulated board: what reaches the device
// for each format, and how a file play ends (end of file, pause and stop,
// close, replacement, failures) with nothing left behind.
#include <atomic>

#include "files_test.h"

#define KA_LOG_FILE "test"
#include "ka_internal.h"

using namespace files_test;
using namespace player_test;

namespace {

// A writer (a decode thread, or the caller's Play) sleeps on the full ring
// of player 0.
bool writer_sleeps()
{
    pthread_mutex_lock(&audCtl.pctx[0].ring_lock);
    bool set = audCtl.pctx[0].ringbuf && audCtl.pctx[0].ringbuf->writer_waiting;
    pthread_mutex_unlock(&audCtl.pctx[0].ring_lock);
    return set;
}

// Device writes of player 0 in the order a test wants: write number g_held
// waits until the gate opens or the player is asked to pause or stop (so a
// long file cannot end before the test acts on it); write number g_fail_at
// waits until a writer sleeps on the full ring (the device fails that one).
std::atomic<int> g_writes{0};
std::atomic<bool> g_gate{false};
int g_held = -1, g_fail_at = -1;
int (*g_real_write)(ka_pctx *, void *, unsigned);
int ordered_write(ka_pctx *p, void *buf, unsigned len)
{
    const int n = g_writes++;
    if (n == g_held)
        eventually([p] {
            return g_gate || __atomic_load_n(&p->pause, __ATOMIC_ACQUIRE) ||
                   __atomic_load_n(&p->stop, __ATOMIC_ACQUIRE);
        });
    if (n == g_fail_at) eventually(writer_sleeps);
    return g_real_write(p, buf, len);
}

class FilePlay : public FileTest {
protected:
    void SetUp() override
    {
        FileTest::SetUp();
        g_writes = 0, g_gate = false, g_held = g_fail_at = -1;
        g_real_write = audCtl.pctx[0].write;
        audCtl.pctx[0].write = ordered_write;
    }
    void TearDown() override
    {
        FileTest::TearDown();
        audCtl.pctx[0].write = g_real_write;
        for (int fd : fds) {
            EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the caller's descriptor stays open";
            close(fd);
        }
    }
    int keep(int fd) { return fds.emplace_back(fd); }
    int ended() const { return log.count("File play main thread end"); }
    bool wait_ended(int plays)
    {
        return eventually([&] { return ended() >= plays; });
    }
    // The player is back to closed with no stream, no descriptor and no
    // thread of the play left, and a new file plays in full on the same
    // device.
    void expect_all_gone_and_device_works()
    {
        EXPECT_TRUE(player_closed(0));
        EXPECT_EQ(kb_pcm_state(0, KB_PLAYBACK), -1) << "a stream stays live";
        EXPECT_EQ(kb_open_fds(), 0);
        EXPECT_TRUE(eventually([this] { return thread_count() <= threads_before; }));
        restart();
        g_held = g_fail_at = -1;
        Bytes next = pcm16(1, 8000, 4000, 9);
        const int fd = keep(open_with("next.wav", wav_file(1, 8000, 16, next)));
        ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, nullptr), 0);
        ASSERT_TRUE(wait_ended(1));
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
    nb_cut.pop_back();           // the last frame cut short is dropped
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
        {"p.wav", wav, Bytes(wav.begin() + 1044, wav.end()),
         1044},                                              // a positive offset is where playback starts
        {"blip.wav", wav_file(1, 8000, 16, blip), blip, 0},  // shorter than half the ring
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
        SCOPED_TRACE(c.name);
        restart();
        ka_test::StderrCapture err;
        const int fd = keep(open_with(c.name, c.file));
        ASSERT_EQ(Ka_AudPlayer_PlayFile(c.offset ? "hw:0,0" : nullptr, fd, c.offset, record_cb), 0);
        ASSERT_TRUE(wait_ended(1));
        Bytes got = played();
        EXPECT_TRUE(all_then_silence(got, c.expected)) << got.size() << " of " << c.expected.size();
        struct kb_pcm_info info {};
        kb_pcm_info(0, KB_PLAYBACK, &info);
        EXPECT_TRUE(!c.rate || info.rate == c.rate) << info.rate;
        EXPECT_TRUE(c.name != "p_d.mp3" || err.has("decoding error 0x")) << "a damaged stretch is reported";
        EXPECT_TRUE(c.name != "p_m.mp3" || !err.has("decoding error")) << "a clean file reports nothing";
        EXPECT_EQ(reports(0), std::vector<int>{AUD_PLAYER_FINISHED});
    }
}

// A long file play whose device write kHeld waits for a pause or a stop:
// paused, it holds (its decode thread waits for room in the ring, the
// application's close is refused) until a stop ends it, and the main thread
// closes the player although the stop found it paused; closed by the
// application, it ends; replaced by a new file play, which neither stops nor
// closes it, the new file plays in full right behind the first one's part.
TEST_F(FilePlay, PauseStopCloseAndReplacementEndThePlay)
{
    constexpr int kHeld = 5;
    Bytes data = pcm16(1, 8000, 8000 * 20), second = pcm16(1, 8000, 4000, 5);
    const Bytes part(data.begin(), data.begin() + (kHeld + 1) * 320);  // written once the held write returns
    const int fd = keep(open_with("long.wav", wav_file(1, 8000, 16, data)));
    auto play_held = [&] {
        restart();
        g_writes = 0, g_held = kHeld;
        lseek(fd, 0, SEEK_SET);
        return Ka_AudPlayer_PlayFile(nullptr, fd, 0, record_cb) == 0 &&
               eventually([] { return g_writes > g_held; });
    };
    ASSERT_TRUE(play_held());
    ASSERT_EQ(Ka_AudPlayer_Pause(0), 0);
    ASSERT_TRUE(eventually([] { return state_is(0, "AUD_PLAYER_PAUSE") && writer_sleeps(); }));
    Ka_AudPlayer_Close(0);
    EXPECT_TRUE(state_is(0, "AUD_PLAYER_PAUSE")) << "a paused file play was closed";
    EXPECT_EQ(ended(), 0);
    Ka_AudPlayer_Stop(0);
    ASSERT_TRUE(wait_ended(1));
    EXPECT_TRUE(player_closed(0));
    EXPECT_EQ(kb_pcm_state(0, KB_PLAYBACK), -1);
    EXPECT_EQ(played(), part);
    EXPECT_EQ(log.count("Write Stop"), 1);
    EXPECT_EQ(reports(0), std::vector<int>{AUD_PLAYER_FINISHED});

    // Closed by the application: the main thread finds the player closed.
    ASSERT_TRUE(play_held());
    Ka_AudPlayer_Close(0);
    ASSERT_TRUE(wait_ended(1));
    EXPECT_EQ(played(), part);
    EXPECT_EQ(log.count("Write Stop") + log.count("Write data error"), 1);

    ASSERT_TRUE(play_held());
    ASSERT_EQ(
        Ka_AudPlayer_PlayFile(nullptr, keep(open_with("b.wav", wav_file(1, 8000, 16, second))), 0, record_cb),
        0);
    ASSERT_TRUE(wait_ended(2));
    const Bytes got = played();
    EXPECT_TRUE(std::equal(part.begin(), part.end(), got.begin()));
    EXPECT_TRUE(all_then_silence(Bytes(got.begin() + long(part.size()), got.end()), second));
}

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
        restart();
        // One failed write only: the device itself would work again at once,
        // so any write after the failure shows a play that went on.
        kb_fault(KB_FAULT_PCM_WRITE, 0, kGoodWrites, 1, EIO);
        g_writes = 0, g_fail_at = kGoodWrites;
        ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, keep(open_with(c.name, c.file)), 0, record_cb), 0);
        ASSERT_TRUE(wait_ended(1));
        EXPECT_EQ(kb_fault_hits(KB_FAULT_PCM_WRITE), 1);
        EXPECT_EQ(log.count("decode thread end"), 1) << log.dump();
        EXPECT_EQ(log.count("Write data error") + log.count("Write Stop"), 1)
            << "the decode thread saw the end";
        EXPECT_EQ(reports(0), (std::vector<int>{AUD_PLAYER_ERROR, AUD_PLAYER_FINISHED}));
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
    eventually([hdl] { return __atomic_load_n(&audCtl.pctx[hdl].state, __ATOMIC_ACQUIRE) == CTX_OPENED; });
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
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    Bytes raw = pcm16(1, 8000, 8000 * 5, 6);
    kb_fault(KB_FAULT_PCM_WRITE, 0, 1, -1, EIO);
    // Write 0, the caller's, waits for the file play to be installed; write
    // 1 fails the caller's thread; write 2, the file play's own thread's
    // first, fails while the decode thread sleeps on the ring.
    g_held = 0, g_fail_at = 2;
    // The caller fills the ring; its thread runs (held in write 0).
    const Bytes first = pcm16(1, 8000, p.ringbuf->size / 2, 5);
    ASSERT_EQ(Ka_AudPlayer_Play(0, first.data(), unsigned(first.size())), int(first.size()));
    EXPECT_EQ(__atomic_load_n(&p.state, __ATOMIC_ACQUIRE), CTX_RUNNING);
    EXPECT_EQ(Ka_AudPlayer_PlayFrmFile(0, keep(open_with("raw.pcm", raw)), 0), 0);
    g_gate = true;
    ASSERT_TRUE(wait_ended(1));
    p.start_play = g_real_start;
    kb_fault(KB_FAULT_PCM_WRITE, 0, 0, 0, 0);

    EXPECT_EQ(log.count("Wav decode thread start"), 1) << "the file play started its own thread";
    EXPECT_EQ(log.count("Wav decode thread end"), 1);
    EXPECT_EQ(reports(0), (std::vector<int>{-1, 5, -1, 5}));
    struct kb_pcm_info info {};
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_EQ(played(), Bytes(first.begin(), first.begin() + long(info.period_bytes)));
    expect_all_gone_and_device_works();
}

TEST_F(FilePlay, RefusalsAndRawPlay)
{
    EXPECT_EQ(Ka_AudPlayer_PlayFile(nullptr, keep(open_with("t.txt", {'h', 'i', '\n'})), 0, record_cb), -1);
    EXPECT_EQ(log.count("Unknown file format"), 1);
    const int fd = keep(open_with("f.wav", wav_file(1, 8000, 16, pcm16(1, 8000, 1600))));
    kb_fault(KB_FAULT_PCM_OPEN, -1, 0, 1, ENODEV);
    EXPECT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, record_cb), -1);
    EXPECT_FALSE(audCtl.pctx[0].inited) << "the failed open's ring and route are released";

    // Raw PCM on the caller's player, closed at the end; 0, not the handle.
    Bytes raw = pcm16(1, 8000, 8000);
    int h = Ka_AudPlayer_OpenExt("hw:0,0", record_cb, 0, 1, 8000, 2);
    EXPECT_EQ(Ka_AudPlayer_PlayFrmFile(h, keep(open_with("raw.pcm", raw)), 0), 0);
    ASSERT_TRUE(wait_ended(1));
    EXPECT_TRUE(all_then_silence(played(), raw));
    // A read error of the decode thread (a directory read as PCM).
    h = Ka_AudPlayer_Open(nullptr, record_cb);
    ASSERT_EQ(Ka_AudPlayer_PlayFrmFile(h, keep(open(ka_test::temp_dir().c_str(), O_RDONLY)), 0), 0);
    ASSERT_TRUE(wait_ended(2));
    EXPECT_EQ(log.count("Read data failed"), 1);
}

}  // namespace
