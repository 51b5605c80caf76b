// The recorder end to end on the emulated board: what the capture callback
// gets, the end notification, stop and restart, close in every state, the
// state reports, the route masks, and players and recorders side by side.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ka_lib_audio.h"
#include "ka_test.h"

namespace {

constexpr auto kHangGuard = std::chrono::seconds(60);  // against hangs only

struct Delivery {
    int result;
    std::vector<unsigned char> bytes;
};

// Deliveries per capture callback; callback N records into slot N.
struct Sink {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Delivery> got;
};
Sink g_sink[4];

template <int N>
int sink_cb(int result, void *buf, unsigned len)
{
    Sink &s = g_sink[N];
    std::lock_guard<std::mutex> lock(s.m);
    auto *p = static_cast<unsigned char *>(buf);
    s.got.push_back({result, std::vector<unsigned char>(p, p + len)});
    s.cv.notify_all();
    return 0;
}

std::vector<Delivery> deliveries(int n)
{
    std::lock_guard<std::mutex> lock(g_sink[n].m);
    return g_sink[n].got;
}

bool wait_deliveries(int n, size_t count)
{
    std::unique_lock<std::mutex> lock(g_sink[n].m);
    return g_sink[n].cv.wait_for(lock, kHangGuard, [&] { return g_sink[n].got.size() >= count; });
}

bool wait_recorder_state(int hdl, const char *name)
{
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (std::strcmp(Ka_AudRecorder_HGetState(hdl, nullptr), name) != 0) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// The board's tone source, sample n of a mono S16_LE stream.
int16_t tone(double freq, double amp, unsigned rate, size_t n)
{
    return static_cast<int16_t>(std::lrint(amp * std::sin(2 * M_PI * freq * static_cast<double>(n) / rate)));
}

// Compares the concatenated data deliveries with the tone from frame 0.
::testing::AssertionResult is_tone(const std::vector<Delivery> &got, double freq, double amp, unsigned rate)
{
    size_t n = 0;
    for (const auto &d : got) {
        if (d.result != 0) continue;
        for (size_t i = 0; i + 1 < d.bytes.size(); i += 2, ++n) {
            int16_t s;
            std::memcpy(&s, &d.bytes[i], 2);
            if (s != tone(freq, amp, rate, n))
                return ::testing::AssertionFailure() << "sample " << n << " is " << s << ", source gave "
                                                     << tone(freq, amp, rate, n);
        }
    }
    return ::testing::AssertionSuccess() << n << " samples";
}

std::vector<kb_ctl_write> ctl_writes()
{
    std::vector<kb_ctl_write> w(64);
    w.resize(std::min<size_t>(kb_ctl_writes(w.data(), w.size()), w.size()));
    return w;
}

class RecorderTest : public ka_test::BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        for (auto &s : g_sink) {
            std::lock_guard<std::mutex> lock(s.m);
            s.got.clear();
        }
    }
    void TearDown() override
    {
        for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
            Ka_AudRecorder_HStop(h);
            Ka_AudRecorder_HClose(h);
            EXPECT_EQ(audCtl.cctx[h].state, CTX_CLOSED) << "recorder " << h;
            Ka_AudRecorder_SetInterface(audCtl.cctx[h].dev_name, 16);
            Ka_AudPlayer_Stop(h);
            Ka_AudPlayer_Close(h);
        }
    }
};

}  // namespace

TEST_F(RecorderTest, CaptureDeliversTheSourcePeriodByPeriod)
{
    kb_capture_tone(0, 440, 12000);
    ASSERT_EQ(Ka_AudRecorder_Open(nullptr, sink_cb<0>), 0);
    int code = 99;
    EXPECT_STREQ(Ka_AudRecorder_GetState(&code), "AUD_RECORDER_FINISHED");
    EXPECT_EQ(code, 3);
    struct kb_pcm_info info{};
    ASSERT_EQ(kb_pcm_info(0, KB_CAPTURE, &info), 0);
    EXPECT_EQ(info.open, 1);
    EXPECT_EQ(info.rate, 8000u);
    EXPECT_EQ(info.channels, 1u);
    const unsigned period = info.period_bytes;
    ASSERT_GT(period, 0u);

    ASSERT_EQ(Ka_AudRecorder_StartRecord(), 0);
    ASSERT_TRUE(wait_deliveries(0, 20));
    EXPECT_STREQ(Ka_AudRecorder_GetState(&code), "AUD_RECORDER_START");
    EXPECT_EQ(code, 0);
    Ka_AudRecorder_Stop();
    ASSERT_TRUE(wait_recorder_state(0, "AUD_RECORDER_FINISHED"));
    EXPECT_EQ(audCtl.cctx[0].state, CTX_FINISHED);

    auto got = deliveries(0);
    ASSERT_GE(got.size(), 21u);
    // Data only, then exactly one end notification, last, carrying the
    // buffer as the last delivery left it.
    for (size_t i = 0; i + 1 < got.size(); ++i) {
        ASSERT_EQ(got[i].result, 0) << i;
        ASSERT_EQ(got[i].bytes.size(), period) << i;
    }
    EXPECT_EQ(got.back().result, 5);
    EXPECT_EQ(got.back().bytes, got[got.size() - 2].bytes);
    EXPECT_TRUE(is_tone(got, 440, 12000, 8000));
    auto t = std::vector<unsigned>(kb_pcm_transfers(0, KB_CAPTURE, nullptr, 0));
    kb_pcm_transfers(0, KB_CAPTURE, t.data(), t.size());
    EXPECT_EQ(t.size(), got.size() - 1) << "reads without a delivery";
    for (unsigned n : t) EXPECT_EQ(n, period);

    Ka_AudRecorder_Close();
    EXPECT_EQ(audCtl.cctx[0].state, CTX_CLOSED);
    EXPECT_STREQ(Ka_AudRecorder_GetState(&code), "AUD_RECORDER_FINISHED");
    ASSERT_EQ(kb_pcm_info(0, KB_CAPTURE, &info), 0);
    EXPECT_EQ(info.open, 0);
    EXPECT_EQ(deliveries(0).size(), got.size()) << "delivery after the end notification";
}

TEST_F(RecorderTest, StopThenStartAgainCapturesAgain)
{
    kb_capture_tone(13, 1000, 8000);
    ASSERT_EQ(Ka_AudRecorder_OpenExt("hw:0,13", sink_cb<1>, 0, 1, 16000, 2), 1);
    ASSERT_EQ(Ka_AudRecorder_HStartRecord(1), 0);
    ASSERT_TRUE(wait_deliveries(1, 3));
    Ka_AudRecorder_HStop(1);
    ASSERT_TRUE(wait_recorder_state(1, "AUD_RECORDER_FINISHED"));
    const size_t first = deliveries(1).size();
    ASSERT_EQ(Ka_AudRecorder_HStartRecord(1), 0);  // clears the stop request
    ASSERT_TRUE(wait_deliveries(1, first + 3));
    Ka_AudRecorder_HStop(1);
    ASSERT_TRUE(wait_recorder_state(1, "AUD_RECORDER_FINISHED"));
    auto got = deliveries(1);
    int ends = 0;
    for (auto &d : got) ends += d.result == 5;
    EXPECT_EQ(ends, 2);
    EXPECT_EQ(got[first - 1].result, 5);
    EXPECT_EQ(got.back().result, 5);
    EXPECT_TRUE(is_tone(got, 1000, 8000, 16000)) << "the stream continues across the restart";
    // Pause and resume change nothing.
    EXPECT_EQ(Ka_AudRecorder_HPause(1), 0);
    EXPECT_EQ(Ka_AudRecorder_HResume(1), 0);
    EXPECT_EQ(Ka_AudRecorder_Pause(), 0);
    EXPECT_EQ(Ka_AudRecorder_Resume(), 0);
    EXPECT_EQ(audCtl.cctx[1].state, CTX_FINISHED);
}

TEST_F(RecorderTest, CloseInEveryState)
{
    // Opened, never started: no wait, stream closed, route off.
    ASSERT_EQ(Ka_AudRecorder_Open("hw:0,14", sink_cb<0>), 2);
    Ka_AudRecorder_HClose(2);
    EXPECT_EQ(audCtl.cctx[2].state, CTX_CLOSED);
    struct kb_pcm_info info{};
    ASSERT_EQ(kb_pcm_info(14, KB_CAPTURE, &info), 0);
    EXPECT_EQ(info.open, 0);
    auto w = ctl_writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_STREQ(w[1].name, "MultiMedia6 Mixer SEC_AUX_PCM_UL_TX");
    EXPECT_EQ(w[1].values[0], 0);
    EXPECT_TRUE(deliveries(0).empty());

    // Started: close stops it and waits for the end notification.
    ASSERT_EQ(Ka_AudRecorder_Open("hw:0,14", sink_cb<0>), 2);
    ASSERT_EQ(Ka_AudRecorder_HStartRecord(2), 0);
    ASSERT_TRUE(wait_deliveries(0, 2));
    Ka_AudRecorder_HClose(2);
    EXPECT_EQ(deliveries(0).back().result, 5);
    EXPECT_EQ(audCtl.cctx[2].state, CTX_CLOSED);

    // A failed read: -1 to the callback, the recorder reports an error and
    // close still finishes.
    kb_fault(KB_FAULT_PCM_READ, 14, 2, 1, EIO);
    ASSERT_EQ(Ka_AudRecorder_Open("hw:0,14", sink_cb<2>), 2);
    ASSERT_EQ(Ka_AudRecorder_HStartRecord(2), 0);
    ASSERT_TRUE(wait_recorder_state(2, "AUD_RECORDER_ERROR"));
    int code = 0;
    Ka_AudRecorder_HGetState(2, &code);
    EXPECT_EQ(code, -1);
    auto got = deliveries(2);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].result, 0);
    EXPECT_EQ(got[1].result, 0);
    EXPECT_EQ(got[2].result, -1);
    EXPECT_EQ(log.count("]:Read pcm error, hdl = 2\n"), 1);
    Ka_AudRecorder_HClose(2);
    EXPECT_EQ(audCtl.cctx[2].state, CTX_CLOSED);
    ASSERT_EQ(kb_pcm_info(14, KB_CAPTURE, &info), 0);
    EXPECT_EQ(info.open, 0);

    // Started but never opened: the thread refuses, nothing is delivered,
    // and close does not wait for it.
    ASSERT_EQ(Ka_AudRecorder_HStartRecord(3), 0);
    ASSERT_TRUE(wait_recorder_state(3, "AUD_RECORDER_ERROR"));
    EXPECT_EQ(log.count("]:Cctx not open or already playing, hdl = 3, state = 2\n"), 1);
    Ka_AudRecorder_HClose(3);
    EXPECT_EQ(audCtl.cctx[3].state, CTX_CLOSED);

    // Bad handles.
    EXPECT_EQ(Ka_AudRecorder_HStartRecord(7), -1);
    Ka_AudRecorder_HClose(-1);
    ASSERT_EQ(log.count("]:Get cctx from hdl failed, hdl = -1"), 1);
    const auto line = log.lines()[log.find("]:Get cctx from hdl failed, hdl = -1")];
    EXPECT_EQ(line.text.back(), '1') << "close's message has no line end";
    EXPECT_EQ(line.prio, 6);
}

TEST_F(RecorderTest, StateQueriesAndDirectRead)
{
    int code = 42;
    EXPECT_STREQ(Ka_AudRecorder_HGetState(7, &code), "No Such Device");
    EXPECT_EQ(code, 42);
    EXPECT_STREQ(Ka_AudRecorder_HGetState(0, nullptr), "AUD_RECORDER_FINISHED");

    kb_capture_tone(16, 300, 20000);
    ASSERT_EQ(Ka_AudRecorder_Open("hw:0,16", nullptr), 3);
    EXPECT_EQ(audCtl.cctx[3].callback, &default_capCb);
    std::vector<unsigned char> buf(640);
    EXPECT_EQ(Ka_AudRecorder_Record(3, nullptr, 640), -1);
    EXPECT_EQ(Ka_AudRecorder_Record(7, buf.data(), 640), -1);
    ASSERT_EQ(Ka_AudRecorder_Record(3, buf.data(), 640), 0);
    EXPECT_TRUE(is_tone({{0, buf}}, 300, 20000, 8000));
    kb_fault(KB_FAULT_PCM_READ, 16, 0, 1, EIO);
    EXPECT_EQ(Ka_AudRecorder_Record(3, buf.data(), 640), -1);
    EXPECT_EQ(log.count("]:Read pcm error, hdl = 3\n"), 1);

    // The default callback logs every delivery with its result.
    ASSERT_EQ(Ka_AudRecorder_HStartRecord(3), 0);
    ASSERT_TRUE(wait_recorder_state(3, "AUD_RECORDER_START"));
    Ka_AudRecorder_HClose(3);
    // Every successful read after the one direct read was a delivery.
    const size_t reads = kb_pcm_transfers(16, KB_CAPTURE, nullptr, 0);
    EXPECT_EQ(log.count("]:Default capture thread callback, result = 0\n"), static_cast<int>(reads) - 1);
    EXPECT_EQ(log.count("]:Default capture thread callback, result = 5\n"), 1);
}

TEST_F(RecorderTest, MasksSwitchExactlyTheSelectedControls)
{
    unsigned mask = 0;
    EXPECT_EQ(Ka_AudRecorder_GetInterface(nullptr, &mask), 0);
    EXPECT_EQ(mask, 16u);
    EXPECT_EQ(Ka_AudRecorder_GetInterface(nullptr, nullptr), -1);
    EXPECT_EQ(Ka_AudRecorder_SetInterface("hw:0,2", 0), -1);
    EXPECT_EQ(log.count("]:Get cctx from dev failed, dev = hw:0,2\n"), 1);
    EXPECT_EQ(Ka_AudRecorder_OpenExt("nope", nullptr, 0, 1, 8000, 2), -1);
    EXPECT_EQ(log.count("]:Get cctx from dev failed, dev = nope\n"), 1);

    ASSERT_EQ(Ka_AudRecorder_SetInterface("hw:0,13", 0xF0), 0);
    ASSERT_EQ(Ka_AudRecorder_Open("hw:0,13", nullptr), 1);
    // A mask changed while open decides what close switches off.
    ASSERT_EQ(Ka_AudRecorder_SetInterface("hw:0,13", 0x2F), 0);
    Ka_AudRecorder_HClose(1);
    auto w = ctl_writes();
    const char *names[] = {"MultiMedia2 Mixer SEC_AUX_PCM_UL_TX", "MultiMedia2 Mixer SEC_MI2S_TX",
                           "MultiMedia2 Mixer VOC_REC_UL", "MultiMedia2 Mixer VOC_REC_DL"};
    ASSERT_EQ(w.size(), 5u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_STREQ(w[k].name, names[k]);
        EXPECT_EQ(w[k].count, 1);
        EXPECT_EQ(w[k].values[0], 1);
    }
    EXPECT_STREQ(w[4].name, names[1]);
    EXPECT_EQ(w[4].values[0], 0);

    kb_reset();
    ASSERT_EQ(Ka_AudRecorder_SetInterface("hw:0,13", 0x0F), 0);
    ASSERT_EQ(Ka_AudRecorder_Open("hw:0,13", nullptr), 1);
    Ka_AudRecorder_HClose(1);
    EXPECT_TRUE(ctl_writes().empty()) << "bits 0 to 3 switched a control";
}

TEST_F(RecorderTest, TwoPlayersAndTwoRecordersAtOnce)
{
    kb_capture_tone(14, 500, 9000);
    kb_capture_tone(16, 700, 15000);
    ASSERT_EQ(Ka_AudRecorder_Open("hw:0,14", sink_cb<0>), 2);
    ASSERT_EQ(Ka_AudRecorder_OpenExt("hw:0,16", sink_cb<1>, 0, 1, 16000, 2), 3);
    ASSERT_EQ(Ka_AudPlayer_Open("hw:0,0", nullptr), 0);
    ASSERT_EQ(Ka_AudPlayer_OpenExt("hw:0,13", nullptr, 0, 2, 48000, 2), 1);
    ASSERT_EQ(Ka_AudRecorder_HStartRecord(2), 0);
    ASSERT_EQ(Ka_AudRecorder_HStartRecord(3), 0);

    auto make = [](size_t n, unsigned seed) {
        std::vector<unsigned char> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(seed + i * 13 + i / 251);
        return v;
    };
    const auto a = make(audCtl.pctx[0].write_chunk * 50, 1);
    const auto b = make(audCtl.pctx[1].write_chunk * 50, 2);
    std::thread ta([&] { EXPECT_EQ(Ka_AudPlayer_Play(0, a.data(), a.size()), static_cast<int>(a.size())); });
    std::thread tb([&] { EXPECT_EQ(Ka_AudPlayer_Play(1, b.data(), b.size()), static_cast<int>(b.size())); });
    ta.join();
    tb.join();
    ASSERT_TRUE(wait_deliveries(0, 10));
    ASSERT_TRUE(wait_deliveries(1, 10));
    Ka_AudRecorder_HClose(2);
    Ka_AudRecorder_HClose(3);
    // What the ring still holds below half its capacity stays there; every
    // byte that did reach a device is the right one.
    for (auto [dev, data] : {std::pair{0, &a}, std::pair{13, &b}}) {
        std::vector<unsigned char> out(kb_pcm_played(dev, 0, nullptr, 0));
        kb_pcm_played(dev, 0, out.data(), out.size());
        EXPECT_GE(out.size() + 38400, data->size());
        EXPECT_TRUE(std::equal(out.begin(), out.end(), data->begin())) << "device " << dev;
    }
    EXPECT_TRUE(is_tone(deliveries(0), 500, 9000, 8000));
    EXPECT_TRUE(is_tone(deliveries(1), 700, 15000, 16000));
}
