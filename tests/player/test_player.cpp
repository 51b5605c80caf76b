// The player end to end on the emulated board: what reaches the device,
// when the play thread first writes, callbacks, pause, stop, close, the
// lone-writer rule, recovery after a write failure, and the settings.
#include <alsa_audio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <random>
#include <thread>

#include "player_test.h"

#define KA_LOG_FILE "test"
#include "ka_internal.h"

using namespace player_test;

namespace {

// Restores a player's operation fields however a test ends.
struct OpsGuard {
    explicit OpsGuard(int h)
        : hdl(h), p(audCtl.pctx[h]), start_play(p.start_play), write(p.write), soft_volume(p.soft_volume)
    {
    }
    ~OpsGuard()
    {
        // The play thread reads the fields: it must have ended first.
        Ka_AudPlayer_Stop(hdl);
        Ka_AudPlayer_Close(hdl);
        p.start_play = start_play;
        p.write = write;
        p.soft_volume = soft_volume;
    }
    int hdl;
    ka_pctx &p;
    int (*start_play)(int);
    int (*write)(ka_pctx *, void *, unsigned);
    int (*soft_volume)(int, void *, unsigned);
};

int32_t ring_capacity(ka_pctx &p) { return p.ringbuf ? p.ringbuf->size : -1; }

int16_t sample_at(const std::vector<unsigned char> &v, size_t i)
{
    int16_t s;
    std::memcpy(&s, v.data() + 2 * i, 2);
    return s;
}

}  // namespace

TEST_F(PlayerTest, OpenDefaultsSettingsAndRefusals)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    ka_pctx &p = audCtl.pctx[0];
    EXPECT_EQ(p.callback, &default_playCb);
    EXPECT_EQ(ring_capacity(p), 1280);  // 80 ms x 2 bytes x 1 channel x 8000 Hz
    struct kb_pcm_info info{};
    ASSERT_EQ(kb_pcm_info(0, KB_PLAYBACK, &info), 0);
    EXPECT_EQ(info.open, 1);
    EXPECT_EQ(info.rate, 8000u);
    EXPECT_EQ(info.channels, 1u);
    EXPECT_EQ(info.format, 2u);
    EXPECT_EQ(p.write_chunk, info.period_bytes);

    EXPECT_EQ(Ka_AudPlayer_Open("hw:0,0", nullptr), -1);
    EXPECT_EQ(log.count("]:Pctx already opened, hdl = 0\n"), 1);
    EXPECT_EQ(Ka_AudPlayer_Open("hw:0,1", nullptr), -1);
    EXPECT_EQ(log.count("]:Get pctx failed, device: hw:0,1\n"), 1);

    int code = 99;
    EXPECT_STREQ(Ka_AudPlayer_GetState(0, &code), "AUD_PLAYER_FINISHED");
    EXPECT_EQ(code, 5);
    EXPECT_STREQ(Ka_AudPlayer_GetState(7, &code), "No Such Device");
    EXPECT_EQ(code, 5);

    Ka_AudPlayer_Close(0);
    EXPECT_EQ(p.write_chunk, 320u);
    EXPECT_EQ(p.ringbuf, nullptr);
    ASSERT_EQ(kb_pcm_info(0, KB_PLAYBACK, &info), 0);
    EXPECT_EQ(info.open, 0);
    EXPECT_EQ(log.count("]:Audio Player closed\n"), 1);

    // Ring length and route mask are kept across open and close.
    EXPECT_EQ(Ka_AudPlayer_SetBufsize_ms("hw:0,13", 1001), -1);
    EXPECT_EQ(Ka_AudPlayer_SetBufsize_ms("hw:0,13", 200), 0);
    EXPECT_EQ(Ka_AudPlayer_SetInterface("hw:0,13", 6), 0);
    unsigned mask = 0;
    EXPECT_EQ(Ka_AudPlayer_GetInterface("hw:0,13", nullptr), -1);
    EXPECT_EQ(Ka_AudPlayer_GetInterface("nope", &mask), -1);
    EXPECT_EQ(log.count("]:Get pctx from dev failed, dev = nope\n"), 1);
    ASSERT_EQ(Ka_AudPlayer_OpenExt("hw:0,13", nullptr, 0, 2, 48000, 2), 1);
    EXPECT_EQ(ring_capacity(audCtl.pctx[1]), 38400);
    Ka_AudPlayer_Close(1);
    EXPECT_EQ(Ka_AudPlayer_GetInterface("hw:0,13", &mask), 0);
    EXPECT_EQ(mask, 6u);
    EXPECT_EQ(audCtl.pctx[1].bufsize_ms, 200u);

    // A ring that cannot hold one period is refused, and the player can be
    // opened again once the length is sane.
    ASSERT_EQ(Ka_AudPlayer_SetBufsize_ms(nullptr, 0), 0);
    EXPECT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), -1);
    EXPECT_EQ(log.count("]:Init pctx failed, hdl = 0\n"), 1);
    EXPECT_STREQ(Ka_AudPlayer_GetState(0, nullptr), "AUD_PLAYER_FINISHED");
    ASSERT_EQ(kb_pcm_info(0, KB_PLAYBACK, &info), 0);
    EXPECT_EQ(info.open, 0);
    ASSERT_EQ(Ka_AudPlayer_SetBufsize_ms(nullptr, 80), 0);
    EXPECT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);

    // A failed stream open leaves the player closed and reopenable.
    Ka_AudPlayer_Close(0);
    kb_fault(KB_FAULT_PCM_OPEN, 0, 0, 1, ENODEV);
    EXPECT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), -1);
    EXPECT_EQ(log.count("]:Pcm open failed, hdl = 0\n"), 1);
    EXPECT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
}

TEST_F(PlayerTest, BytesArriveCompleteInOrderInWholePeriods)
{
    ASSERT_EQ(Ka_AudPlayer_OpenExt("hw:0,13", record_cb, 0, 2, 16000, 2), 1);
    const unsigned period = audCtl.pctx[1].write_chunk;
    auto data = pattern(period * 37 + 123, 7);
    std::mt19937 rng(3);
    for (size_t at = 0; at < data.size();) {
        size_t n = std::min<size_t>(data.size() - at, rng() % (3 * period) + 1);
        ASSERT_EQ(Ka_AudPlayer_Play(1, data.data() + at, static_cast<unsigned>(n)), static_cast<int>(n));
        at += n;
    }
    ASSERT_TRUE(flush_until_played(1, 13, data.size()));
    auto out = played(13);
    ASSERT_GE(out.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin())) << "device bytes differ";
    for (unsigned t : transfers(13, KB_PLAYBACK)) ASSERT_EQ(t, period);
    EXPECT_EQ(out.size() % period, 0u);
}

// The first write comes only once the ring holds half its capacity (and at
// least one period); the play thread is asleep until then.
std::atomic<int> g_allowed{0};
std::atomic<int> g_first_write_allowed{-1};
int (*g_saved_write)(ka_pctx *, void *, unsigned);

int watching_write(ka_pctx *p, void *buf, unsigned len)
{
    int expected = -1;
    g_first_write_allowed.compare_exchange_strong(expected, g_allowed.load());
    return g_saved_write(p, buf, len);
}

TEST_F(PlayerTest, FirstWriteWaitsForHalfTheRing)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    OpsGuard guard(0);
    g_saved_write = audCtl.pctx[0].write;
    audCtl.pctx[0].write = watching_write;
    g_allowed = 0;
    g_first_write_allowed = -1;

    const unsigned period = audCtl.pctx[0].write_chunk;
    const unsigned threshold = std::max(1280u / 2, period);
    // Length 0 starts the thread and returns once it sleeps on the empty ring.
    ASSERT_EQ(Ka_AudPlayer_Play(0, "", 0), 0);
    EXPECT_STREQ(Ka_AudPlayer_GetState(0, nullptr), "AUD_PLAYER_START");
    auto data = pattern(threshold, 1);
    ASSERT_EQ(Ka_AudPlayer_Play(0, data.data(), threshold - 1), static_cast<int>(threshold - 1));
    // Room for a wrongly woken thread to write early.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(transfers(0, KB_PLAYBACK).size(), 0u);
    g_allowed = 1;
    ASSERT_EQ(Ka_AudPlayer_Play(0, data.data() + threshold - 1, 1), 1);
    ASSERT_TRUE(wait_played(0, period));
    EXPECT_EQ(g_first_write_allowed.load(), 1);
}

// Device bytes carry the software volume; the scaling goes through the
// context's soft_volume field, and open switches the volume off again.
int negating_volume(int vol, void *buf, unsigned len)
{
    auto *p = static_cast<unsigned char *>(buf);
    for (unsigned i = 0; i + 1 < len; i += 2) {
        int16_t s;
        std::memcpy(&s, p + i, 2);
        s = static_cast<int16_t>(-s * vol / 100);
        std::memcpy(p + i, &s, 2);
    }
    return 0;
}

TEST_F(PlayerTest, SoftVolumeOnDeviceBytes)
{
    EXPECT_EQ(Ka_AudSoft_SetVolume(0, 30), 0);  // switched off again by the open
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    const unsigned period = audCtl.pctx[0].write_chunk;
    auto first = pattern(period * 8, 11);
    ASSERT_EQ(play_all(0, first), static_cast<int>(first.size()));
    ASSERT_TRUE(flush_until_played(0, 0, first.size()));
    auto out = played(0);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin())) << "volume applied after open";
    Ka_AudPlayer_Stop(0);
    Ka_AudPlayer_Close(0);

    kb_reset();
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    EXPECT_EQ(Ka_AudSoft_SetVolume(0, 101), -1);
    EXPECT_EQ(Ka_AudSoft_SetVolume(7, 50), -1);
    EXPECT_EQ(Ka_AudSoft_SetVolume(0, 37), 0);
    auto data = pattern(period * 8, 12);
    ASSERT_EQ(play_all(0, data), static_cast<int>(data.size()));
    ASSERT_TRUE(flush_until_played(0, 0, data.size()));
    out = played(0);
    for (size_t i = 0; i < data.size() / 2; ++i)
        ASSERT_EQ(sample_at(out, i), static_cast<int16_t>(sample_at(data, i) * 37 / 100)) << i;

    // Through the operation field; -1 switches the volume off again.
    Ka_AudPlayer_Stop(0);
    Ka_AudPlayer_Close(0);
    kb_reset();
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    OpsGuard guard(0);
    audCtl.pctx[0].soft_volume = negating_volume;
    ASSERT_EQ(Ka_AudSoft_SetVolume(0, 100), 0);
    ASSERT_EQ(play_all(0, data), static_cast<int>(data.size()));
    ASSERT_TRUE(flush_until_played(0, 0, data.size()));
    out = played(0);
    for (size_t i = 0; i < data.size() / 2; ++i)
        ASSERT_EQ(sample_at(out, i), static_cast<int16_t>(-sample_at(data, i))) << i;
    Ka_AudPlayer_Stop(0);
    Ka_AudPlayer_Close(0);

    kb_reset();
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    audCtl.pctx[0].soft_volume = negating_volume;
    ASSERT_EQ(Ka_AudSoft_SetVolume(0, 100), 0);
    ASSERT_EQ(Ka_AudSoft_SetVolume(0, 0xFFFFFFFFu), 0);
    ASSERT_EQ(play_all(0, data), static_cast<int>(data.size()));
    ASSERT_TRUE(flush_until_played(0, 0, data.size()));
    out = played(0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin())) << "volume still on after -1";
}

TEST_F(PlayerTest, StopReportsFinishedAndWriteErrorReportsErrorThenFinished)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    const unsigned period = audCtl.pctx[0].write_chunk;
    auto data = pattern(1280, 2);
    ASSERT_EQ(play_all(0, data), 1280);
    ASSERT_TRUE(wait_played(0, period));
    EXPECT_EQ(Ka_AudPlayer_Stop(0), 0);
    ASSERT_TRUE(wait_reports(0, 1));
    ASSERT_TRUE(wait_player_state(0, "AUD_PLAYER_FINISHED"));
    EXPECT_EQ(results_of(0), std::vector<int>{5});
    EXPECT_EQ(log.count("]:Ending play task, stop = 1, hdl = 0\n"), 1);

    // A failed write ends the thread with -1 then 5 ... (half a fresh ring:
    // the writer must not wait for space, as nobody would make it)
    Ka_AudPlayer_Close(0);
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    clear_reports();
    kb_fault(KB_FAULT_PCM_WRITE, 0, 1, 1, EIO);
    ASSERT_EQ(Ka_AudPlayer_Play(0, data.data(), 640), 640);
    ASSERT_TRUE(wait_reports(0, 2));
    ASSERT_TRUE(wait_player_state(0, "AUD_PLAYER_FINISHED"));
    EXPECT_EQ(results_of(0), (std::vector<int>{-1, 5}));
    EXPECT_EQ(log.count("]:pcm_write failed, hdl = 0, ret = -1\n"), 1);
    EXPECT_EQ(kb_fault_hits(KB_FAULT_PCM_WRITE), 1);

    // ... and leaves a player that plays again, from what the ring still held.
    const size_t before = kb_pcm_played(0, 0, nullptr, 0);
    auto more = pattern(period * 6, 3);
    ASSERT_EQ(play_all(0, more), static_cast<int>(more.size()));
    ASSERT_TRUE(flush_until_played(0, 0, before + 2 * period));
    EXPECT_STREQ(Ka_AudPlayer_GetState(0, nullptr), "AUD_PLAYER_START");
    auto out = played(0);
    EXPECT_NE(std::search(out.begin(), out.end(), more.begin(), more.begin() + period), out.end());
}

// Until the play thread sleeps on its ring for want of data.
bool wait_reader_sleeping(int h)
{
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    for (;;) {
        ka_pctx &p = audCtl.pctx[h];
        pthread_mutex_lock(&p.ring_lock);
        const bool sleeping = p.ringbuf && p.ringbuf->reader_waiting;
        pthread_mutex_unlock(&p.ring_lock);
        if (sleeping) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// Pauses the player from inside its third period write, so the thread
// finds the request right after that write.
std::atomic<int> g_writes{0};
int pausing_write(ka_pctx *p, void *buf, unsigned len)
{
    const int r = g_saved_write(p, buf, len);
    if (++g_writes == 3) Ka_AudPlayer_Pause(0);
    return r;
}

TEST_F(PlayerTest, PauseHoldsThreadResumeContinuesStopEndsPaused)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    OpsGuard guard(0);
    g_saved_write = audCtl.pctx[0].write;
    audCtl.pctx[0].write = pausing_write;
    g_writes = 0;
    const unsigned period = audCtl.pctx[0].write_chunk;
    auto data = pattern(period * 40, 5);
    std::atomic<int> result{-100};
    std::thread writer([&] { result = play_all(0, data); });

    ASSERT_TRUE(wait_player_state(0, "AUD_PLAYER_PAUSE"));
    const size_t held = kb_pcm_played(0, 0, nullptr, 0);
    EXPECT_EQ(held, 3u * period);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(kb_pcm_played(0, 0, nullptr, 0), held) << "a paused thread wrote";
    EXPECT_EQ(g_writes.load(), 3);
    // A paused player is not closed.
    Ka_AudPlayer_Close(0);
    EXPECT_EQ(log.count("]:Audio Player close wrong, state = 6\n"), 1);

    EXPECT_EQ(Ka_AudPlayer_Resume(0), 0);
    ASSERT_TRUE(wait_played(0, held + period));
    writer.join();
    EXPECT_EQ(result.load(), static_cast<int>(data.size()));

    // Once the thread sleeps on a ring below one period, a pause takes
    // effect when data wakes it.
    ASSERT_TRUE(wait_reader_sleeping(0));
    EXPECT_EQ(Ka_AudPlayer_Pause(0), 0);
    ASSERT_EQ(Ka_AudPlayer_Play(0, data.data(), 640), 640);
    ASSERT_TRUE(wait_player_state(0, "AUD_PLAYER_PAUSE"));
    EXPECT_EQ(Ka_AudPlayer_Stop(0), 0);
    ASSERT_TRUE(wait_reports(0, 1));
    ASSERT_TRUE(wait_player_state(0, "AUD_PLAYER_FINISHED"));
    EXPECT_EQ(results_of(0), std::vector<int>{5});

    // Stop then close at once: the close waits for the resumed thread
    // instead of finding it still paused.
    ASSERT_EQ(Ka_AudPlayer_Play(0, "", 0), 0);
    ASSERT_TRUE(wait_reader_sleeping(0));
    EXPECT_EQ(Ka_AudPlayer_Pause(0), 0);
    ASSERT_EQ(Ka_AudPlayer_Play(0, data.data(), 640), 640);
    ASSERT_TRUE(wait_player_state(0, "AUD_PLAYER_PAUSE"));
    Ka_AudPlayer_Stop(0);
    Ka_AudPlayer_Close(0);
    EXPECT_EQ(audCtl.pctx[0].state, CTX_CLOSED);
    EXPECT_EQ(Ka_AudPlayer_Pause(7), -1);
    EXPECT_EQ(Ka_AudPlayer_Resume(7), -1);
    EXPECT_EQ(Ka_AudPlayer_Stop(7), -1);
    EXPECT_EQ(log.count("]:Get pctx from hdl failed, hdl = 7\n"), 3);
}

// Play after a stop is refused with 0 until the old thread has ended; then
// it starts a new thread. The old thread is held in its final callback.
std::mutex g_gate_m;
std::condition_variable g_gate_cv;
bool g_gate_open = false;
bool g_in_final = false;

int gated_cb(int hdl, int result)
{
    record_cb(hdl, result);
    if (result == 5) {
        std::unique_lock<std::mutex> lock(g_gate_m);
        g_in_final = true;
        g_gate_cv.notify_all();
        g_gate_cv.wait(lock, [] { return g_gate_open; });
    }
    return 0;
}

TEST_F(PlayerTest, PlayAfterStopWaitsForTheOldThread)
{
    g_gate_open = false;
    g_in_final = false;
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, gated_cb), 0);
    const unsigned period = audCtl.pctx[0].write_chunk;
    auto data = pattern(period * 4, 9);
    ASSERT_EQ(play_all(0, data), static_cast<int>(data.size()));
    Ka_AudPlayer_Stop(0);
    {
        std::unique_lock<std::mutex> lock(g_gate_m);
        ASSERT_TRUE(g_gate_cv.wait_for(lock, kHangGuard, [] { return g_in_final; }));
    }
    EXPECT_STREQ(Ka_AudPlayer_GetState(0, nullptr), "AUD_PLAYER_START");
    EXPECT_EQ(play_all(0, data), 0);
    {
        std::lock_guard<std::mutex> lock(g_gate_m);
        g_gate_open = true;
    }
    g_gate_cv.notify_all();
    ASSERT_TRUE(wait_player_state(0, "AUD_PLAYER_FINISHED"));
    EXPECT_EQ(play_all(0, data), static_cast<int>(data.size()));
    EXPECT_STREQ(Ka_AudPlayer_GetState(0, nullptr), "AUD_PLAYER_START");
    ASSERT_TRUE(flush_until_played(0, 0, period * 4));
    EXPECT_EQ(log.count("]:Audio play thread\n"), 2);
}

bool writer_waiting(int h)
{
    ka_pctx &p = audCtl.pctx[h];
    pthread_mutex_lock(&p.ring_lock);
    const bool w = p.ringbuf && p.ringbuf->writer_waiting;
    pthread_mutex_unlock(&p.ring_lock);
    return w;
}

TEST_F(PlayerTest, SecondWriterIsRefusedWhileFirstWaits)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    ASSERT_EQ(Ka_AudPlayer_Play(0, "", 0), 0);
    ASSERT_EQ(Ka_AudPlayer_Pause(0), 0);
    // The thread sleeps on the empty ring; it pauses once woken by data.
    auto big = pattern(1280 * 3, 4);
    std::atomic<int> first{-100};
    std::thread a([&] { first = play_all(0, big); });
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (!writer_waiting(0)) {
        ASSERT_LT(std::chrono::steady_clock::now(), end);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    auto small = pattern(64, 8);
    EXPECT_EQ(play_all(0, small), 0);
    EXPECT_EQ(log.count("]:Write pctx blocked by other thread\n"), 1);
    for (auto &l : log.lines())
        if (l.text.find("blocked by other thread") != std::string::npos) {
            EXPECT_EQ(l.prio, 6);
        }
    // A stop releases the blocked writer with 0.
    Ka_AudPlayer_Stop(0);
    a.join();
    EXPECT_EQ(first.load(), 0);
}

TEST_F(PlayerTest, CloseWaitsForThePlayThread)
{
    g_gate_open = false;
    g_in_final = false;
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, gated_cb), 0);
    ASSERT_EQ(Ka_AudPlayer_SetInterface(nullptr, 1), 0);
    auto data = pattern(1280, 6);
    ASSERT_EQ(play_all(0, data), 1280);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        Ka_AudPlayer_Close(0);
        closed = true;
    });
    {
        std::unique_lock<std::mutex> lock(g_gate_m);
        ASSERT_TRUE(g_gate_cv.wait_for(lock, kHangGuard, [] { return g_in_final; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(closed.load()) << "close returned while the play thread ran";
    {
        std::lock_guard<std::mutex> lock(g_gate_m);
        g_gate_open = true;
    }
    g_gate_cv.notify_all();
    closer.join();
    EXPECT_EQ(audCtl.pctx[0].state, CTX_CLOSED);
    struct kb_pcm_info info{};
    ASSERT_EQ(kb_pcm_info(0, KB_PLAYBACK, &info), 0);
    EXPECT_EQ(info.open, 0);
    // The route went on at open and off at close.
    kb_ctl_write w[8];
    size_t n = kb_ctl_writes(w, 8);
    ASSERT_EQ(n, 2u);
    EXPECT_STREQ(w[0].name, "SEC_AUX_PCM_RX Audio Mixer MultiMedia1");
    EXPECT_EQ(w[0].values[0], 1);
    EXPECT_STREQ(w[1].name, "SEC_AUX_PCM_RX Audio Mixer MultiMedia1");
    EXPECT_EQ(w[1].values[0], 0);
    EXPECT_EQ(Ka_AudPlayer_Play(0, data.data(), 4), -1);
    EXPECT_EQ(log.count("]:pctx not open, hdl = 0\n"), 1);
}

TEST_F(PlayerTest, NullBufferAndBadHandles)
{
    EXPECT_EQ(Ka_AudPlayer_Play(7, "x", 1), -1);
    EXPECT_EQ(log.count("]:Get pctx failed, hdl = 7\n"), 1);
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    EXPECT_EQ(Ka_AudPlayer_Play(0, nullptr, 10), -1);
    EXPECT_STREQ(Ka_AudPlayer_GetState(0, nullptr), "AUD_PLAYER_FINISHED") << "a NULL buffer started a thread";
    EXPECT_EQ(Ka_AudPlayer_RawPlay(), 0);
    EXPECT_EQ(Ka_AudPlayer_Close(-1), 0);
}
