// The player end to end on the emulated board.
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <random>

#include "player_test.h"

#define KA_LOG_FILE "test"
#include "ka_internal.h"

using namespace player_test;

namespace {

// Replaces a player's write operation by `fn` (which calls the saved one)
// and puts it back once the play thread has ended.
int (*g_write)(ka_pctx *, void *, unsigned);
struct WriteHook {
    WriteHook(int h, int (*fn)(ka_pctx *, void *, unsigned)) : hdl(h)
    {
        g_write = audCtl.pctx[h].write;
        audCtl.pctx[h].write = fn;
    }
    ~WriteHook()
    {
        Ka_AudPlayer_Stop(hdl);
        Ka_AudPlayer_Close(hdl);
        audCtl.pctx[hdl].write = g_write;
    }
    int hdl;
};

bool ring_flag(int h, int ka_ringbuf::*flag)
{
    pthread_mutex_lock(&audCtl.pctx[h].ring_lock);
    const bool set = audCtl.pctx[h].ringbuf && audCtl.pctx[h].ringbuf->*flag;
    pthread_mutex_unlock(&audCtl.pctx[h].ring_lock);
    return set;
}

// The play thread really sleeps on an empty ring: the flag alone may be a
// woken thread's that has not run yet, but below half the ring nobody has
// woken it.
bool reader_asleep(int h)
{
    pthread_mutex_lock(&audCtl.pctx[h].ring_lock);
    const ka_ringbuf *rb = audCtl.pctx[h].ringbuf;
    const int64_t slots = rb ? int64_t{rb->size} + 1 : 1;
    const bool asleep = rb && rb->reader_waiting && (int64_t{rb->wr} - rb->rd + slots) % slots < rb->size / 2;
    pthread_mutex_unlock(&audCtl.pctx[h].ring_lock);
    return asleep;
}

int16_t sample(const std::vector<unsigned char> &v, size_t i)
{
    int16_t s;
    std::memcpy(&s, &v[2 * i], 2);
    return s;
}

}  // namespace

TEST_F(PlayerTest, OpenSizesRingAndRefuses)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    EXPECT_EQ(audCtl.pctx[0].callback, &default_playCb);
    EXPECT_EQ(audCtl.pctx[0].ringbuf->size, 1280);  // 80 ms x 2 bytes x 1 channel x 8000 Hz
    EXPECT_EQ(Ka_AudPlayer_Open("hw:0,0", nullptr), -1);
    EXPECT_EQ(log.count("]:Pctx already opened, hdl = 0\n"), 1);
    EXPECT_EQ(Ka_AudPlayer_Play(0, nullptr, 10), -1);
    EXPECT_TRUE(state_is(0, "AUD_PLAYER_FINISHED")) << "a NULL buffer started a thread";
    Ka_AudPlayer_Close(0);
    EXPECT_EQ(audCtl.pctx[0].write_chunk, 320u);

    ASSERT_EQ(Ka_AudPlayer_SetBufsize_ms("hw:0,13", 200), 0);
    ASSERT_EQ(Ka_AudPlayer_OpenExt("hw:0,13", nullptr, 0, 2, 48000, 2), 1);
    EXPECT_EQ(audCtl.pctx[1].ringbuf->size, 38400);

    // A ring that cannot hold one period is refused cleanly, stream closed.
    ASSERT_EQ(Ka_AudPlayer_SetBufsize_ms(nullptr, 0), 0);
    EXPECT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), -1);
    EXPECT_EQ(log.count("]:Init pctx failed, hdl = 0\n"), 1);
    struct kb_pcm_info info{};
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_EQ(info.open, 0);
    ASSERT_EQ(Ka_AudPlayer_SetBufsize_ms(nullptr, 80), 0);
    EXPECT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
}

TEST_F(PlayerTest, BytesArriveInOrderInWholePeriodsWithSoftVolume)
{
    ASSERT_EQ(Ka_AudPlayer_OpenExt("hw:0,13", nullptr, 0, 2, 16000, 2), 1);
    const unsigned period = audCtl.pctx[1].write_chunk;
    const auto data = pattern(period * 37 + 123, 7);
    std::mt19937 rng(3);
    for (size_t at = 0; at < data.size();) {
        const size_t n = std::min<size_t>(data.size() - at, rng() % (3 * period) + 1);
        ASSERT_EQ(Ka_AudPlayer_Play(1, data.data() + at, static_cast<unsigned>(n)), static_cast<int>(n));
        at += n;
    }
    ASSERT_TRUE(flush_until_played(1, 13, data.size()));
    auto out = played(13);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    std::vector<unsigned> t(kb_pcm_transfers(13, KB_PLAYBACK, nullptr, 0));
    kb_pcm_transfers(13, KB_PLAYBACK, t.data(), t.size());
    for (unsigned n : t) ASSERT_EQ(n, period);

    // Software volume on the device bytes; open switches it off again.
    Ka_AudPlayer_Close(1);
    kb_reset();
    ASSERT_EQ(Ka_AudPlayer_OpenExt("hw:0,13", nullptr, 0, 2, 16000, 2), 1);
    EXPECT_EQ(Ka_AudSoft_SetVolume(1, 101), -1);
    EXPECT_EQ(Ka_AudSoft_SetVolume(1, 37), 0);
    ASSERT_EQ(play(1, data), static_cast<int>(data.size()));
    ASSERT_TRUE(flush_until_played(1, 13, data.size()));
    out = played(13);
    for (size_t i = 0; i < data.size() / 2; ++i)
        ASSERT_EQ(sample(out, i), static_cast<int16_t>(sample(data, i) * 37 / 100)) << i;
}

// The play thread first writes once the ring holds half its capacity.
std::atomic<bool> g_allowed{false}, g_early{false};
int watching_write(ka_pctx *p, void *buf, unsigned len)
{
    if (!g_allowed) g_early = true;
    return g_write(p, buf, len);
}

TEST_F(PlayerTest, FirstWriteWaitsForHalfTheRing)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    WriteHook hook(0, watching_write);
    g_allowed = g_early = false;
    const unsigned half = std::max(1280u / 2, audCtl.pctx[0].write_chunk);
    ASSERT_EQ(Ka_AudPlayer_Play(0, "", 0), 0);  // starts the thread, which then sleeps
    const auto data = pattern(half, 1);
    ASSERT_EQ(play(0, data, half - 1), static_cast<int>(half - 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a wrong wake-up
    g_allowed = true;
    ASSERT_EQ(Ka_AudPlayer_Play(0, data.data() + half - 1, 1), 1);
    ASSERT_EQ(kb_pcm_wait_played(0, audCtl.pctx[0].write_chunk, 60000), 0);
    EXPECT_FALSE(g_early);
}

TEST_F(PlayerTest, CallbacksOnStopAndOnWriteErrorThenPlaysAgain)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    const auto data = pattern(1280, 2);
    ASSERT_EQ(play(0, data), 1280);
    EXPECT_EQ(Ka_AudPlayer_Stop(0), 0);
    ASSERT_TRUE(eventually([] { return state_is(0, "AUD_PLAYER_FINISHED"); }));
    EXPECT_EQ(reports(0), std::vector<int>{5});

    // Half a fresh ring: a writer must not wait for space nobody makes.
    Ka_AudPlayer_Close(0);
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    kb_fault(KB_FAULT_PCM_WRITE, 0, 1, 1, EIO);
    ASSERT_EQ(play(0, data, 640), 640);
    ASSERT_TRUE(eventually([] { return reports(0).size() == 3 && state_is(0, "AUD_PLAYER_FINISHED"); }));
    EXPECT_EQ(reports(0), (std::vector<int>{5, -1, 5}));
    EXPECT_EQ(log.count("]:pcm_write failed, hdl = 0, ret = -1\n"), 1);
    const size_t before = kb_pcm_played(0, 0, nullptr, 0);
    const auto more = pattern(1920, 3);
    ASSERT_EQ(play(0, more), 1920);
    ASSERT_TRUE(flush_until_played(0, 0, before + 1920));
    const auto out = played(0);
    EXPECT_TRUE(std::equal(more.begin(), more.end(), out.begin() + static_cast<long>(before)));
}

// Pauses the player from inside its third period write.
std::atomic<int> g_writes{0};
int pausing_write(ka_pctx *p, void *buf, unsigned len)
{
    const int r = g_write(p, buf, len);
    if (++g_writes == 3) Ka_AudPlayer_Pause(0);
    return r;
}

TEST_F(PlayerTest, PauseHoldsResumeContinuesStopEndsPaused)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    WriteHook hook(0, pausing_write);
    g_writes = 0;
    const auto data = pattern(320 * 40, 5);
    std::atomic<int> result{-100};
    std::thread writer([&] { result = play(0, data); });
    ASSERT_TRUE(eventually([] { return state_is(0, "AUD_PLAYER_PAUSE"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(kb_pcm_played(0, 0, nullptr, 0), 3u * 320) << "a paused thread wrote";
    Ka_AudPlayer_Close(0);  // refused while paused
    EXPECT_EQ(log.count("]:Audio Player close wrong, state = 6\n"), 1);
    EXPECT_EQ(Ka_AudPlayer_Resume(0), 0);
    writer.join();
    EXPECT_EQ(result.load(), static_cast<int>(data.size()));

    // Paused again once data wakes the sleeping thread; a stop ends it, and
    // a close right after the stop waits for it instead of refusing.
    ASSERT_TRUE(eventually([] { return reader_asleep(0); }));
    EXPECT_EQ(Ka_AudPlayer_Pause(0), 0);
    ASSERT_EQ(play(0, data, 640), 640);
    ASSERT_TRUE(eventually([] { return state_is(0, "AUD_PLAYER_PAUSE"); }));
    EXPECT_EQ(Ka_AudPlayer_Stop(0), 0);
    Ka_AudPlayer_Close(0);
    EXPECT_EQ(audCtl.pctx[0].state, CTX_CLOSED);
    EXPECT_EQ(reports(0), std::vector<int>{5});
    EXPECT_EQ(Ka_AudPlayer_Pause(7), -1);
}

// The play thread is held in its final callback until the gate opens.
std::mutex g_gate_m;
std::condition_variable g_gate_cv;
bool g_gate_open, g_in_final;
int gated_cb(int hdl, int result)
{
    record_cb(hdl, result);
    std::unique_lock<std::mutex> lock(g_gate_m);
    g_in_final = result == 5;
    g_gate_cv.notify_all();
    g_gate_cv.wait(lock, [] { return g_gate_open || !g_in_final; });
    return 0;
}

void open_gate(bool open)
{
    std::lock_guard<std::mutex> lock(g_gate_m);
    g_gate_open = open;
    if (!open) g_in_final = false;
    g_gate_cv.notify_all();
}

TEST_F(PlayerTest, PlayAfterStopAndCloseWaitForTheOldThread)
{
    open_gate(false);
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, gated_cb), 0);
    const auto data = pattern(1280, 9);
    ASSERT_EQ(play(0, data), 1280);
    Ka_AudPlayer_Stop(0);
    ASSERT_TRUE(eventually([] { std::lock_guard<std::mutex> l(g_gate_m); return g_in_final; }));
    EXPECT_EQ(play(0, data), 0);  // the old thread has not ended yet
    open_gate(true);
    ASSERT_TRUE(eventually([] { return state_is(0, "AUD_PLAYER_FINISHED"); }));
    EXPECT_EQ(play(0, data, 640), 640);  // a new thread
    EXPECT_EQ(log.count("]:Audio play thread\n"), 2);

    open_gate(false);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        Ka_AudPlayer_Close(0);
        closed = true;
    });
    ASSERT_TRUE(eventually([] { std::lock_guard<std::mutex> l(g_gate_m); return g_in_final; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(closed) << "close returned while the play thread ran";
    open_gate(true);
    closer.join();
    struct kb_pcm_info info{};
    kb_pcm_info(0, KB_PLAYBACK, &info);
    EXPECT_EQ(info.open, 0);
    EXPECT_EQ(Ka_AudPlayer_Play(0, "x", 1), -1);
}

TEST_F(PlayerTest, SecondWriterIsRefusedWhileFirstWaits)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    ASSERT_EQ(Ka_AudPlayer_Play(0, "", 0), 0);
    ASSERT_EQ(Ka_AudPlayer_Pause(0), 0);  // the thread pauses when data wakes it
    const auto big = pattern(1280 * 3, 4);
    std::atomic<int> first{-100};
    std::thread a([&] { first = play(0, big); });
    const bool waiting = eventually([] { return ring_flag(0, &ka_ringbuf::writer_waiting); });
    EXPECT_TRUE(waiting);
    if (waiting) {
        EXPECT_EQ(play(0, big, 64), 0);
    }
    EXPECT_EQ(log.count("]:Write pctx blocked by other thread\n"), 1);
    Ka_AudPlayer_Stop(0);  // releases the blocked writer with 0
    a.join();
    EXPECT_EQ(first.load(), 0);
}

// A start operation that returns only once the new play thread sleeps on
// its ring, i.e. has long passed its first ring check.
int (*g_start)(int);
int slow_start(int hdl)
{
    const int r = g_start(hdl);
    if (r == 0) eventually([hdl] { return reader_asleep(hdl); });
    return r;
}

TEST_F(PlayerTest, HandshakeDoesNotWaitForAThreadAlreadyPast)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    g_start = audCtl.pctx[0].start_play;
    audCtl.pctx[0].start_play = slow_start;
    std::atomic<int> result{-100};
    std::thread writer([&] { result = Ka_AudPlayer_Play(0, "ab", 2); });
    const bool returned = eventually([&] { return result != -100; });
    EXPECT_TRUE(returned) << "Play waits for a wake-up that already happened";
    Ka_AudPlayer_Stop(0);  // releases it otherwise
    writer.join();
    EXPECT_EQ(result.load(), returned ? 2 : 0);
    Ka_AudPlayer_Close(0);
    audCtl.pctx[0].start_play = g_start;
}

// Pre-filling a player paused before its first Play: the new thread pauses
// before its first ring check, and the Play that started it must still get
// through the start handshake.
TEST_F(PlayerTest, PausedBeforeFirstPlayIsPrefilledThenResumed)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    ASSERT_EQ(Ka_AudPlayer_Pause(0), 0);
    const auto data = pattern(1280 + 640, 11);
    std::atomic<int> first{-100};
    std::thread a([&] { first = play(0, data, 1280); });
    const bool returned = eventually([&] { return first != -100; });
    EXPECT_TRUE(returned) << "Play hangs in the start handshake of a paused player";
    if (!returned) Ka_AudPlayer_Stop(0);  // releases it
    a.join();
    ASSERT_TRUE(returned);
    EXPECT_EQ(first.load(), 1280);
    int code = 100;
    EXPECT_STREQ(Ka_AudPlayer_GetState(0, &code), "AUD_PLAYER_PAUSE");
    EXPECT_EQ(code, AUD_PLAYER_PAUSE);
    Ka_AudPlayer_Close(0);  // refused while paused
    EXPECT_EQ(log.count("]:Audio Player close wrong, state = 6\n"), 1);

    // The ring is full: the next Play blocks until the resumed thread makes
    // room, then everything plays, exactly once and in order.
    std::atomic<int> second{-100};
    std::thread b([&] { second = Ka_AudPlayer_Play(0, data.data() + 1280, 640); });
    EXPECT_TRUE(eventually([] { return ring_flag(0, &ka_ringbuf::writer_waiting); }));
    EXPECT_EQ(second.load(), -100);
    EXPECT_EQ(kb_pcm_played(0, 0, nullptr, 0), 0u) << "a paused thread wrote";
    EXPECT_EQ(Ka_AudPlayer_Resume(0), 0);
    b.join();
    EXPECT_EQ(second.load(), 640);
    ASSERT_TRUE(eventually([&] { return kb_pcm_played(0, 0, nullptr, 0) >= data.size(); }));
    EXPECT_EQ(played(0), data);
    EXPECT_EQ(Ka_AudPlayer_Stop(0), 0);
    Ka_AudPlayer_Close(0);
    EXPECT_EQ(audCtl.pctx[0].state, CTX_CLOSED);
    EXPECT_EQ(reports(0), std::vector<int>{5});
}

// Holds the play thread's first write until a writer sleeps on the full
// ring.
std::atomic<bool> g_first_write{true};
int write_when_writer_waits(ka_pctx *p, void *buf, unsigned len)
{
    if (g_first_write.exchange(false)) eventually([] { return ring_flag(0, &ka_ringbuf::writer_waiting); });
    return g_write(p, buf, len);
}

// A writer blocked on a full ring when the play thread ends on its own (a
// device write error) is released with -1; the player is usable again.
TEST_F(PlayerTest, WriteErrorReleasesAWriterBlockedOnAFullRing)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    const auto data = pattern(1280 * 3, 12);
    {
        g_first_write = true;
        WriteHook hook(0, write_when_writer_waits);
        kb_fault(KB_FAULT_PCM_WRITE, 0, 0, 1, EIO);
        std::atomic<int> result{-100};
        std::thread writer([&] { result = play(0, data); });
        const bool returned = eventually([&] { return result != -100; });
        EXPECT_TRUE(returned) << "the writer stays blocked after the play thread ended";
        if (!returned) Ka_AudPlayer_Stop(0);
        writer.join();
        ASSERT_TRUE(returned);
        EXPECT_EQ(result.load(), -1);
        EXPECT_EQ(reports(0), (std::vector<int>{-1, 5}));
        EXPECT_TRUE(state_is(0, "AUD_PLAYER_FINISHED"));
        EXPECT_EQ(log.count("]:pcm_write failed, hdl = 0, ret = -1\n"), 1);

        // The next Play starts a new thread, which plays what the full ring
        // holds (what followed the failed period) and then the new bytes.
        const auto more = pattern(640, 13);
        ASSERT_EQ(play(0, more), 640);
        EXPECT_EQ(log.count("]:Audio play thread\n"), 2);
        // The thread drains the ring while the writer refills it; whether
        // the last bytes find it awake depends on timing, and a sleeping
        // thread is woken only at half the ring: zeros behind push them.
        ASSERT_TRUE(flush_until_played(0, 0, 1280 + 640));
        auto expect = std::vector<unsigned char>(data.begin() + 320, data.begin() + 320 + 1280);
        expect.insert(expect.end(), more.begin(), more.end());
        auto got = played(0);
        got.resize(expect.size());
        EXPECT_EQ(got, expect);
    }
    EXPECT_EQ(audCtl.pctx[0].state, CTX_CLOSED);
}
