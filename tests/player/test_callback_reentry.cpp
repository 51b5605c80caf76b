// Callbacks that call back into the library from the library's own threads:
// a close (or a play) made by a player's or recorder's callback must not
// wait for the very thread it runs in.
#include <algorithm>
#include <atomic>
#include <cerrno>

#include "player_test.h"

using namespace player_test;

namespace {

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

std::mutex g_m;
std::vector<int> g_cap;
std::atomic<int> g_close_after{-1};  // data deliveries before the callback closes

int closing_cap_cb(int result, void *, unsigned)
{
    int data = 0;
    {
        std::lock_guard<std::mutex> lock(g_m);
        g_cap.push_back(result);
        data = static_cast<int>(std::count(g_cap.begin(), g_cap.end(), 0));
    }
    if ((result == 0 && data == g_close_after) || (result == -1 && g_close_after == 0))
        Ka_AudRecorder_HClose(0);
    return 0;
}

std::vector<int> cap_results()
{
    std::lock_guard<std::mutex> lock(g_m);
    return g_cap;
}

bool player_closed(int hdl)
{
    return __atomic_load_n(&audCtl.pctx[hdl].state, __ATOMIC_ACQUIRE) == CTX_CLOSED;
}
bool recorder_closed(int hdl)
{
    return __atomic_load_n(&audCtl.cctx[hdl].state, __ATOMIC_ACQUIRE) == CTX_CLOSED;
}

}  // namespace

// The play thread reports -1 and 5 on its way out; a close from the
// callback closes the player once that thread has ended, and a play from it
// takes nothing (nothing would drain the ring any more).
TEST_F(PlayerTest, CallbackClosesItsPlayerOnStopAndOnWriteError)
{
    const auto data = pattern(1280 * 3, 21);
    for (int close_on : {AUD_PLAYER_FINISHED, AUD_PLAYER_ERROR}) {
        SCOPED_TRACE(close_on);
        kb_reset();
        log.clear();
        {
            std::lock_guard<std::mutex> lock(g_reports_m);
            g_reports[0].clear();
        }
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
        const bool closed =
            eventually([this] { return player_closed(0) && thread_count() <= threads_before; });
        EXPECT_TRUE(closed) << "the close made by the callback never completed";
        if (!closed) return;  // the play thread is stuck; nothing more can be checked
        EXPECT_EQ(reports(0),
                  close_on == AUD_PLAYER_ERROR ? (std::vector<int>{-1, 5}) : (std::vector<int>{5}));
        EXPECT_EQ(g_play_result.load(), 0) << "a stop has been asked for in both cases";
        EXPECT_EQ(kb_pcm_state(0, KB_PLAYBACK), -1);
        EXPECT_EQ(kb_open_fds(), 0);
        EXPECT_EQ(log.count("]:Audio Player closed\n"), 1);
        // The device plays again.
        kb_reset();
        ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
        ASSERT_EQ(play(0, data), static_cast<int>(data.size()));
        EXPECT_TRUE(flush_until_played(0, 0, data.size()));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), played(0).begin()));
        Ka_AudPlayer_Stop(0);
        Ka_AudPlayer_Close(0);
    }
}

// A capture callback that closes its recorder, after some data or on a
// failed read: the capture ends, the end notification still comes after a
// data delivery, and the recorder is closed with its stream.
TEST_F(PlayerTest, CaptureCallbackClosesItsRecorder)
{
    for (int after : {3, 0}) {
        SCOPED_TRACE(after);
        kb_reset();
        {
            std::lock_guard<std::mutex> lock(g_m);
            g_cap.clear();
        }
        g_close_after = after;
        if (after == 0) kb_fault(KB_FAULT_PCM_READ, 0, 2, 1, EIO);
        ASSERT_EQ(Ka_AudRecorder_Open(nullptr, closing_cap_cb), 0);
        ASSERT_EQ(Ka_AudRecorder_HStartRecord(0), 0);
        const bool closed =
            eventually([this] { return recorder_closed(0) && thread_count() <= threads_before; });
        EXPECT_TRUE(closed) << "the close made by the callback never completed";
        if (!closed) return;
        EXPECT_EQ(cap_results(), after == 3 ? (std::vector<int>{0, 0, 0, 5}) : (std::vector<int>{0, 0, -1}));
        EXPECT_EQ(kb_open_fds(), 0);
        // The device records again.
        ASSERT_EQ(Ka_AudRecorder_Open(nullptr, nullptr), 0);
        ASSERT_EQ(Ka_AudRecorder_HStartRecord(0), 0);
        EXPECT_TRUE(
            eventually([this] { return log.count("Default capture thread callback, result = 0") > 0; }));
        Ka_AudRecorder_HStop(0);
        Ka_AudRecorder_HClose(0);
        EXPECT_TRUE(recorder_closed(0));
    }
}
