// SPDX-License-Identifier: MIT
// The recorder end to end on the emulated board.
#include <atomic>
#include <cerrno>
#include <cmath>

#include "../player/player_test.h"

using namespace player_test;

namespace {

struct Delivery {
    int result;
    std::vector<unsigned char> bytes;
};
std::mutex g_m;
std::vector<Delivery> g_got;
// Data deliveries after which the callback closes recorder 0 (0: at a
// failed read; -1: never).
std::atomic<int> g_close_after{-1};

int sink_cb(int result, void *buf, unsigned len)
{
    long data = 0;
    {
        std::lock_guard<std::mutex> lock(g_m);
        auto *p = static_cast<unsigned char *>(buf);
        g_got.push_back({result, std::vector<unsigned char>(p, p + len)});
        data = std::count_if(g_got.begin(), g_got.end(), [](auto &x) { return x.result == 0; });
    }
    if ((result == 0 && data == g_close_after) || (result == -1 && g_close_after == 0))
        Ka_AudRecorder_HClose(0);
    return 0;
}

std::vector<Delivery> got()
{
    std::lock_guard<std::mutex> lock(g_m);
    return g_got;
}

// The concatenated data deliveries are the board's tone from frame 0.
bool is_tone(const std::vector<Delivery> &d, double freq, double amp, unsigned rate)
{
    size_t n = 0;
    for (const auto &x : d)
        for (size_t i = 0; x.result == 0 && i + 1 < x.bytes.size(); i += 2, ++n) {
            int16_t s;
            std::memcpy(&s, &x.bytes[i], 2);
            if (s != static_cast<int16_t>(
                         std::lrint(amp * std::sin(2 * M_PI * freq * static_cast<double>(n) / rate))))
                return false;
        }
    return n > 0;
}

class RecorderTest : public PlayerTest {
protected:
    void restart() override
    {
        PlayerTest::restart();
        g_close_after = -1;
        std::lock_guard<std::mutex> lock(g_m);
        g_got.clear();
    }
};

}  // namespace

TEST_F(RecorderTest, CloseOpenedAndNeverOpened)
{
    ASSERT_EQ(Ka_AudRecorder_Open("hw:0,14", sink_cb), 2);
    Ka_AudRecorder_HClose(2);  // never started: no wait
    EXPECT_TRUE(recorder_closed(2));
    EXPECT_TRUE(got().empty());

    // Started but never opened: the thread refuses and close does not hang.
    ASSERT_EQ(Ka_AudRecorder_HStartRecord(3), 0);
    ASSERT_TRUE(eventually([] { return state_is(3, "AUD_RECORDER_ERROR", Ka_AudRecorder_HGetState); }));
    EXPECT_EQ(log.count("]:Cctx not open or already playing, hdl = 3, state = 2\n"), 1);
    Ka_AudRecorder_HClose(3);
    EXPECT_TRUE(recorder_closed(3));
    // A device that cannot be opened: -1, the recorder stays closed.
    kb_fault(KB_FAULT_PCM_OPEN, -1, 0, 1, ENODEV);
    EXPECT_EQ(Ka_AudRecorder_Open("hw:0,14", sink_cb), -1);
    EXPECT_TRUE(recorder_closed(2));

    int code = 42;
    EXPECT_STREQ(Ka_AudRecorder_HGetState(7, &code), "No Such Device");
    EXPECT_EQ(code, 42);
    Ka_AudRecorder_HClose(-1);
    EXPECT_EQ(log.count("]:Get cctx from hdl failed, hdl = -1"), 1);
    EXPECT_EQ(log.count("]:Get cctx from hdl failed, hdl = -1\n"), 0) << "close's message has no line end";
}

// A recorder opened for 16000 Hz reads its device's source at that rate.
TEST_F(RecorderTest, DirectReadAndDefaultCallback)
{
    kb_capture_tone(16, 300, 20000);
    ASSERT_EQ(Ka_AudRecorder_OpenExt("hw:0,16", nullptr, 0, 1, 16000, 2), 3);
    std::vector<unsigned char> buf(640);
    EXPECT_EQ(Ka_AudRecorder_Record(3, nullptr, 640), -1);
    ASSERT_EQ(Ka_AudRecorder_Record(3, buf.data(), 640), 0);
    EXPECT_TRUE(is_tone({{0, buf}}, 300, 20000, 16000));
    ASSERT_EQ(Ka_AudRecorder_HStartRecord(3), 0);
    Ka_AudRecorder_HClose(3);
    // Every read after the direct one was logged by the default callback.
    EXPECT_EQ(log.count("]:Default capture thread callback, result = 0\n"),
              static_cast<int>(kb_pcm_transfers(16, KB_CAPTURE, nullptr, 0)) - 1);
    EXPECT_EQ(log.count("]:Default capture thread callback, result = 5\n"), 1);
}

// Each bit of a route mask switches one route control of the device, in bit
// order, at open and at close (with the mask in force then): bits 0 to 2 a
// player's, bits 4 to 7 a recorder's; other bits select nothing. A player's
// first route is in force until an application sets another.
TEST_F(RecorderTest, RouteMasksSwitchExactlyTheSelectedControls)
{
    unsigned mask = 0;
    EXPECT_EQ(Ka_AudPlayer_GetInterface("hw:0,13", &mask), 0);
    EXPECT_EQ(mask, 1u);
    EXPECT_EQ(Ka_AudPlayer_GetInterface("hw:0,13", nullptr), -1);
    EXPECT_EQ(Ka_AudPlayer_SetInterface("hw:0,5", 1), -1);
    EXPECT_EQ(Ka_AudRecorder_GetInterface(nullptr, nullptr), -1);
    EXPECT_EQ(Ka_AudRecorder_HPause(1), 0);  // accepted and without effect
    EXPECT_EQ(Ka_AudRecorder_HResume(1), 0);
    EXPECT_EQ(Ka_AudRecorder_SetInterface("hw:0,2", 0), -1);
    EXPECT_EQ(log.count("]:Get cctx from dev failed, dev = hw:0,2\n"), 1);
    ASSERT_EQ(Ka_AudPlayer_SetInterface("hw:0,13", 0x10E), 0);
    ASSERT_EQ(Ka_AudRecorder_SetInterface("hw:0,13", 0xF0), 0);
    ASSERT_EQ(Ka_AudPlayer_Open("hw:0,13", nullptr), 1);
    ASSERT_EQ(Ka_AudRecorder_Open("hw:0,13", nullptr), 1);
    ASSERT_EQ(Ka_AudPlayer_SetInterface("hw:0,13", 5), 0);
    ASSERT_EQ(Ka_AudRecorder_SetInterface("hw:0,13", 0x2F), 0);
    EXPECT_EQ(Ka_AudPlayer_GetInterface("hw:0,13", &mask), 0);
    EXPECT_EQ(mask, 5u);
    EXPECT_EQ(Ka_AudRecorder_GetInterface("hw:0,13", &mask), 0);
    EXPECT_EQ(mask, 0x2Fu);
    Ka_AudPlayer_Close(1);
    Ka_AudRecorder_HClose(1);
    EXPECT_EQ(ka_test::ctl_writes(),
              (std::vector<std::string>{
                  "SEC_MI2S_RX Audio Mixer MultiMedia2 = 1", "Incall_Music Audio Mixer MultiMedia2 = 1",
                  "MultiMedia2 Mixer SEC_AUX_PCM_UL_TX = 1", "MultiMedia2 Mixer SEC_MI2S_TX = 1",
                  "MultiMedia2 Mixer VOC_REC_UL = 1", "MultiMedia2 Mixer VOC_REC_DL = 1",
                  "SEC_AUX_PCM_RX Audio Mixer MultiMedia2 = 0", "Incall_Music Audio Mixer MultiMedia2 = 0",
                  "MultiMedia2 Mixer SEC_MI2S_TX = 0"}));
}

// A capture callback that closes its recorder, after some data or on a
// failed read: the capture ends, the end notification still comes after a
// data delivery, and the recorder is closed with its stream.
TEST_F(RecorderTest, CaptureCallbackClosesItsRecorder)
{
    for (int after : {3, 0}) {
        SCOPED_TRACE(after);
        restart();
        g_close_after = after;
        if (after == 0) kb_fault(KB_FAULT_PCM_READ, 0, 2, 1, EIO);
        ASSERT_EQ(Ka_AudRecorder_Open(nullptr, sink_cb), 0);
        ASSERT_EQ(Ka_AudRecorder_HStartRecord(0), 0);
        // The close goes on after the state reads closed (the routes are
        // switched off through the control device): it has ended when no
        // device is open any more.
        ASSERT_TRUE(eventually(
            [this] { return recorder_closed(0) && kb_open_fds() == 0 && thread_count() <= threads_before; }))
            << "the close made by the callback never completed; devices open: " << kb_open_fds();
        std::vector<int> results;
        for (const auto &d : got()) results.push_back(d.result);
        EXPECT_EQ(results, after == 3 ? (std::vector<int>{0, 0, 0, 5}) : (std::vector<int>{0, 0, -1}));
    }
}

// Reads of a capture thread, counting the threads inside at once; held
// until the gate opens.
std::atomic<bool> g_read_gate{false};
std::atomic<int> g_inside{0}, g_most_inside{0};
int (*g_real_read)(ka_cctx *, void *, unsigned);
int gated_read(ka_cctx *c, void *buf, unsigned len)
{
    const int n = ++g_inside;
    for (int most = g_most_inside; n > most && !g_most_inside.compare_exchange_weak(most, n);) {
    }
    eventually([] { return g_read_gate.load(); });
    const int r = g_real_read(c, buf, len);
    --g_inside;
    return r;
}

// A start made right after a stop, while the stopped capture thread is
// still in its read: that thread delivers the read and its end notification
// and ends, and only then does the new thread read, capture going on
// without a gap; two threads never read the stream. Each delivery is a
// period read from the device, an end notification carries the buffer as
// the delivery before it left it. (Handle 0 through the calls without one.)
TEST_F(RecorderTest, StartRightAfterStopNeverReadsWithTwoThreads)
{
    kb_capture_tone(0, 440, 12000);
    ASSERT_EQ(Ka_AudRecorder_Open(nullptr, sink_cb), 0);
    int code = 99;
    EXPECT_STREQ(Ka_AudRecorder_GetState(&code), "AUD_RECORDER_FINISHED");
    EXPECT_EQ(code, 3);
    g_read_gate = false, g_inside = g_most_inside = 0;
    g_real_read = audCtl.cctx[0].read;
    audCtl.cctx[0].read = gated_read;
    ASSERT_EQ(Ka_AudRecorder_StartRecord(), 0);
    const bool reading = eventually([] { return g_inside == 1; });
    Ka_AudRecorder_HStop(0);
    EXPECT_EQ(Ka_AudRecorder_StartRecord(), 0);
    g_read_gate = true;
    EXPECT_TRUE(reading && eventually([] { return got().size() >= 10; }));
    Ka_AudRecorder_Stop();
    EXPECT_TRUE(eventually([] { return state_is(0, "AUD_RECORDER_FINISHED", Ka_AudRecorder_HGetState); }));
    Ka_AudRecorder_HClose(0);
    audCtl.cctx[0].read = g_real_read;
    EXPECT_EQ(g_most_inside, 1) << "two capture threads read at once";
    const auto d = got();
    std::vector<int> results;
    for (size_t i = 0; i < d.size(); ++i) {
        results.push_back(d[i].result);
        EXPECT_TRUE(d[i].result != 0 || d[i].bytes.size() == ka_test::pcm_info(0, KB_CAPTURE).period_bytes)
            << i;
        EXPECT_TRUE(d[i].result != 5 || (i > 0 && d[i].bytes == d[i - 1].bytes)) << i;
    }
    ASSERT_GE(results.size(), 4u);
    EXPECT_EQ(std::vector<int>(results.begin(), results.begin() + 2), (std::vector<int>{0, 5}));
    EXPECT_EQ(std::count(results.begin(), results.end(), 5), 2);
    EXPECT_EQ(results.back(), 5);
    EXPECT_EQ(kb_pcm_transfers(0, KB_CAPTURE, nullptr, 0), d.size() - 2);
    EXPECT_TRUE(is_tone(d, 440, 12000, 8000));
    EXPECT_EQ(ka_test::pcm_info(0, KB_CAPTURE).open, 0);
}

// A close made while another thread is blocked in a direct read waits for
// that read, which gets its data, before the stream goes away.
TEST_F(RecorderTest, CloseWaitsForADirectReadInProgress)
{
    kb_capture_tone(0, 440, 12000);
    kb_set_speed(1);
    ASSERT_EQ(Ka_AudRecorder_Open(nullptr, sink_cb), 0);
    std::vector<unsigned char> buf(4000);  // 250 ms
    std::atomic<int> result{-100};
    std::thread reader([&] { result = Ka_AudRecorder_Record(0, buf.data(), unsigned(buf.size())); });
    const bool blocked = eventually([] { return kb_pcm_waiters(0, KB_CAPTURE) == 1; });
    Ka_AudRecorder_HClose(0);
    reader.join();
    ASSERT_TRUE(blocked);
    EXPECT_TRUE(recorder_closed(0));
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(is_tone({{0, buf}}, 440, 12000, 8000));
}
