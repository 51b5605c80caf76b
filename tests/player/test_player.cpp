// SPDX-License-Identifier: MIT
// The player end to end on the emulated board: bytes in whole periods
// through the software volume, the ring's wake-ups, pause, stop and close
// against the threads they race with, and a callback that calls back into
// the library.
#include <atomic>
#include <cerrno>
#include <random>

#include "player_test.h"

#define KA_LOG_FILE "test"
#include "ka_internal.h"

using namespace player_test;

namespace {

// A Play of player 0 made on a thread of its own.
struct BackgroundPlay {
    BackgroundPlay(const void *d, size_t n) : t([=, this] { result = Ka_AudPlayer_Play(0, d, unsigned(n)); })
    {
    }
    // Whether the Play has returned (a hang is released by a stop); joins.
    bool returned()
    {
        const bool r = eventually([this] { return result != -100; });
        if (!r) Ka_AudPlayer_Stop(0);
        t.join();
        return r;
    }
    std::atomic<int> result{-100};
    std::thread t;
};

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
    EXPECT_EQ(Ka_AudPlayer_Play(0, nullptr, 1), -1);
    EXPECT_TRUE(state_is(0, "AUD_PLAYER_FINISHED")) << "a NULL buffer started a thread";
    Ka_AudPlayer_Close(0);
    EXPECT_EQ(audCtl.pctx[0].write_chunk, 320u);

    ASSERT_EQ(Ka_AudPlayer_SetBufsize_ms("hw:0,13", 200), 0);
    ASSERT_EQ(Ka_AudPlayer_OpenExt("hw:0,13", nullptr, 0, 2, 48000, 2), 1);
    EXPECT_EQ(audCtl.pctx[1].ringbuf->size, 38400);

    // Ring lengths up to 1000 ms; a ring that cannot hold one period is
    // refused cleanly, stream closed.
    EXPECT_EQ(Ka_AudPlayer_SetBufsize_ms(nullptr, 1001), -1);
    EXPECT_EQ(Ka_AudPlayer_SetBufsize_ms(nullptr, 1000), 0);
    ASSERT_EQ(Ka_AudPlayer_SetBufsize_ms(nullptr, 0), 0);
    EXPECT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), -1);
    EXPECT_EQ(log.count("]:Init pctx failed, hdl = 0\n"), 1);
    EXPECT_EQ(kb_pcm_state(0, KB_PLAYBACK), -1);
    ASSERT_EQ(Ka_AudPlayer_SetBufsize_ms(nullptr, 80), 0);
    EXPECT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
}

// Bytes written in chunks of any size reach the device in order, in whole
// periods, through the software volume.
TEST_F(PlayerTest, BytesArriveInOrderInWholePeriodsWithSoftVolume)
{
    ASSERT_EQ(Ka_AudPlayer_OpenExt("hw:0,13", nullptr, 0, 2, 16000, 2), 1);
    EXPECT_EQ(Ka_AudSoft_SetVolume(1, 101), -1);
    EXPECT_EQ(Ka_AudSoft_SetVolume(1, 37), 0);
    const unsigned period = audCtl.pctx[1].write_chunk;
    const auto data = pattern(period * 37 + 123, 7);
    std::mt19937 rng(3);
    for (size_t at = 0; at < data.size();) {
        const size_t n = std::min<size_t>(data.size() - at, rng() % (3 * period) + 1);
        ASSERT_EQ(Ka_AudPlayer_Play(1, data.data() + at, static_cast<unsigned>(n)), static_cast<int>(n));
        at += n;
    }
    ASSERT_TRUE(flush_until_played(1, 13, data.size()));
    const auto out = played(13);
    for (size_t i = 0; i < data.size() / 2; ++i)
        ASSERT_EQ(sample(out, i), static_cast<int16_t>(sample(data, i) * 37 / 100)) << i;
    for (unsigned n : transfers(13)) ASSERT_EQ(n, period);
}

// The play thread first writes once the ring holds half its capacity.
TEST_F(PlayerTest, FirstWriteWaitsForHalfTheRing)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    ASSERT_EQ(Ka_AudPlayer_Play(0, "", 0), 0);  // starts the thread, which then sleeps
    const auto data = pattern(640, 1);
    ASSERT_EQ(play(0, data, 639), 639);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a wrong wake-up
    EXPECT_EQ(kb_pcm_played(0, 0, nullptr, 0), 0u) << "the thread wrote a period below half the ring";
    ASSERT_EQ(Ka_AudPlayer_Play(0, data.data() + 639, 1), 1);
    EXPECT_EQ(kb_pcm_wait_played(0, 320, 60000), 0);
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

// The start handshake must not wait for a wake-up the thread gave before the
// Play that started it began to wait.
TEST_F(PlayerTest, HandshakeDoesNotWaitForAThreadAlreadyPast)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    g_start = audCtl.pctx[0].start_play;
    audCtl.pctx[0].start_play = slow_start;
    BackgroundPlay writer("ab", 2);
    EXPECT_TRUE(writer.returned()) << "Play waits for a wake-up that already happened";
    EXPECT_EQ(writer.result, 2);
    Ka_AudPlayer_Close(0);
    audCtl.pctx[0].start_play = g_start;
}

// Pre-filling a player paused before its first Play: the new thread pauses
// before its first ring check, and the Play that started it must still get
// through the start handshake. Then a pause of a thread asleep on its ring.
TEST_F(PlayerTest, PausedBeforeFirstPlayIsPrefilledThenResumed)
{
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    ASSERT_EQ(Ka_AudPlayer_Pause(0), 0);
    const auto data = pattern(1280 + 640, 11);
    BackgroundPlay first(data.data(), 1280);
    ASSERT_TRUE(first.returned()) << "Play hangs in the start handshake of a paused player";
    EXPECT_EQ(first.result, 1280);
    int code = 100;
    EXPECT_STREQ(Ka_AudPlayer_GetState(0, &code), "AUD_PLAYER_PAUSE");
    EXPECT_EQ(code, AUD_PLAYER_PAUSE);
    Ka_AudPlayer_Close(0);  // refused while paused
    EXPECT_EQ(log.count("]:Audio Player close wrong, state = 6\n"), 1);

    // The ring is full: the next Play blocks until the resumed thread makes
    // room, then everything plays, exactly once and in order.
    BackgroundPlay second(data.data() + 1280, 640);
    EXPECT_TRUE(eventually([] { return ring_flag(0, &ka_ringbuf::writer_waiting); }));
    EXPECT_EQ(second.result, -100);
    EXPECT_EQ(kb_pcm_played(0, 0, nullptr, 0), 0u) << "a paused thread wrote";
    EXPECT_EQ(Ka_AudPlayer_Resume(0), 0);
    ASSERT_TRUE(second.returned());
    EXPECT_EQ(second.result, 640);
    ASSERT_TRUE(eventually([&] { return kb_pcm_played(0, 0, nullptr, 0) >= data.size(); }));
    EXPECT_EQ(played(0), data);

    // Paused again once data wakes the sleeping thread: a writer fills the
    // ring and waits, a second writer is refused; a stop ends the thread and
    // releases the waiting writer with 0, and a close right after the stop
    // waits for the thread instead of refusing.
    ASSERT_TRUE(eventually([] { return reader_asleep(0); }));
    EXPECT_EQ(Ka_AudPlayer_Pause(0), 0);
    const auto big = pattern(1280 * 3, 4);
    BackgroundPlay third(big.data(), big.size());
    ASSERT_TRUE(eventually(
        [] { return state_is(0, "AUD_PLAYER_PAUSE") && ring_flag(0, &ka_ringbuf::writer_waiting); }));
    EXPECT_EQ(play(0, big, 64), 0);
    EXPECT_EQ(log.count("]:Write pctx blocked by other thread\n"), 1);
    EXPECT_EQ(Ka_AudPlayer_Stop(0), 0);
    ASSERT_TRUE(third.returned());
    EXPECT_EQ(third.result, 0);
    Ka_AudPlayer_Close(0);
    EXPECT_TRUE(player_closed(0));
    EXPECT_EQ(reports(0), std::vector<int>{5});
    EXPECT_EQ(Ka_AudPlayer_Pause(7), -1);
}

// The play thread's callback calls into the library: the thread reports -1
// and 5 on its way out; a close from the callback closes the player once
// that thread has ended, and a play from it takes nothing (nothing would
// drain the ring any more).
std::atomic<int> g_close_on{-100};  // result on which the callback closes
std::atomic<int> g_play_result{-100};
int closing_play_cb(int hdl, int result)
{
    record_cb(hdl, result);
    if (result == AUD_PLAYER_FINISHED) {
        const unsigned char byte[2] = {1, 2};
        g_play_result = Ka_AudPlayer_Play(hdl, byte, sizeof byte);
    }
    if (result == g_close_on) Ka_AudPlayer_Close(hdl);
    return 0;
}

TEST_F(PlayerTest, CallbackClosesItsPlayerOnStopAndOnWriteError)
{
    const auto data = pattern(1280 * 3, 21);
    for (int close_on : {AUD_PLAYER_FINISHED, AUD_PLAYER_ERROR}) {
        SCOPED_TRACE(close_on);
        restart();
        g_close_on = close_on;
        g_play_result = -100;
        ASSERT_EQ(Ka_AudPlayer_Open(nullptr, closing_play_cb), 0);
        if (close_on == AUD_PLAYER_ERROR) {
            kb_fault(KB_FAULT_PCM_WRITE, 0, 2, 1, EIO);
            play(0, data);  // ends with -1 once the thread is gone
        } else {
            ASSERT_EQ(play(0, data), static_cast<int>(data.size()));
            Ka_AudPlayer_Stop(0);
        }
        // The close is made by the play thread as its last step: complete
        // once that thread is gone.
        ASSERT_TRUE(eventually([this] { return player_closed(0) && thread_count() <= threads_before; }))
            << "the close made by the callback never completed";
        EXPECT_EQ(reports(0),
                  close_on == AUD_PLAYER_ERROR ? (std::vector<int>{-1, 5}) : (std::vector<int>{5}));
        EXPECT_EQ(g_play_result.load(), 0) << "a stop has been asked for in both cases";
        EXPECT_EQ(kb_open_fds(), 0);
        EXPECT_EQ(log.count("]:Audio Player closed\n"), 1);
        // The device plays again.
        kb_reset();
        ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
        ASSERT_EQ(play(0, data), static_cast<int>(data.size()));
        EXPECT_TRUE(flush_until_played(0, 0, data.size()));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), played().begin()));
        Ka_AudPlayer_Close(0);
    }
}

// A play thread held at its first message while its player stops being
// CTX_STARTING (a tool resetting the context's state under state_lock): it
// ends at once without a report, releasing state_lock and the Play waiting
// in the start handshake, and the bytes that Play gave are played by the
// next thread.
std::atomic<bool> g_thread_held{false}, g_thread_go{false};
void hold_play_thread(const std::string &text)
{
    if (text.find("]:Audio play thread\n") == std::string::npos) return;
    g_thread_held = true;
    eventually([] { return g_thread_go.load(); });
}

TEST_F(PlayerTest, ThreadOfAPlayerNoLongerStartingEndsAtOnce)
{
    ka_pctx &p = audCtl.pctx[0];
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    g_thread_held = g_thread_go = false;
    ka_test::set_log_hook(hold_play_thread);
    BackgroundPlay first("ab", 2);
    const bool held = eventually([] { return g_thread_held.load(); });
    pthread_mutex_lock(&p.state_lock);
    ka_store(p.state, static_cast<int>(CTX_OPENED));
    pthread_mutex_unlock(&p.state_lock);
    ka_test::set_log_hook(nullptr);
    g_thread_go = true;
    ASSERT_TRUE(held);
    ASSERT_TRUE(first.returned()) << "the Play that started the thread is never released";
    EXPECT_EQ(first.result, 2);
    EXPECT_EQ(log.count("]:pctx not open or already playing, hdl = 0, state = 1\n"), 1);
    ASSERT_TRUE(eventually([&p] { return pthread_mutex_trylock(&p.state_lock) == 0; }))
        << "the ended thread kept state_lock";
    pthread_mutex_unlock(&p.state_lock);
    EXPECT_TRUE(reports(0).empty());
    const auto data = pattern(1280, 5);
    ASSERT_EQ(play(0, data), 1280);
    ASSERT_TRUE(flush_until_played(0, 0, data.size() + 2));
    const auto out = played();
    EXPECT_TRUE(out[0] == 'a' && out[1] == 'b' && std::equal(data.begin(), data.end(), out.begin() + 2));
    Ka_AudPlayer_Close(0);
    EXPECT_EQ(reports(0), std::vector<int>{5});
}
