// SPDX-License-Identifier: MIT
// Helpers of the player, recorder and file tests: a play callback that
// records its reports, polling with a hang guard, device bytes, probes of
// the process's threads and descriptors, and a fixture that leaves every
// player and recorder closed with default settings and no library thread
// behind.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ka_lib_audio.h"
#include "ka_test.h"

namespace player_test {

// Polls `pred`. The limit only turns a hang of a broken implementation into
// a failure; nothing asserts how fast anything happens.
template <class Pred>
bool eventually(Pred pred)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Entries of a /proc/self folder, or those whose link names `target`.
inline int proc_entries(const char *dir, const std::string &target = "")
{
    int n = 0;
    DIR *d = opendir(dir);
    while (dirent *e = d ? readdir(d) : nullptr) {
        char link[512];
        ssize_t k = readlink((std::string(dir) + "/" + e->d_name).c_str(), link, sizeof link);
        n += e->d_name[0] != '.' && (target.empty() || (k > 0 && std::string(link, size_t(k)) == target));
    }
    if (d) closedir(d);
    return n;
}

// Threads of this process right now.
inline int thread_count()
{
    return proc_entries("/proc/self/task");
}

inline std::mutex g_reports_m;
inline std::vector<int> g_reports[KA_DEVICE_COUNT];

inline int record_cb(int hdl, int result)
{
    std::lock_guard<std::mutex> lock(g_reports_m);
    g_reports[hdl].push_back(result);
    return 0;
}

inline std::vector<int> reports(int hdl)
{
    std::lock_guard<std::mutex> lock(g_reports_m);
    return g_reports[hdl];
}

// The state player (or, with its getter, recorder) hdl reports is `name`.
inline bool state_is(int hdl, const char *name, const char *(*get)(int, int *) = Ka_AudPlayer_GetState)
{
    return std::strcmp(get(hdl, nullptr), name) == 0;
}

// What playback device `device` received since the last reset.
inline std::vector<unsigned char> played(int device = 0)
{
    std::vector<unsigned char> out(kb_pcm_played(device, 0, nullptr, 0));
    kb_pcm_played(device, 0, out.data(), out.size());
    return out;
}

// What playback device `device` played out (its speaker sounded) since the
// last reset.
inline std::vector<unsigned char> played_out(int device = 0)
{
    std::vector<unsigned char> out(kb_pcm_played_out(device, 0, nullptr, 0));
    return out.resize(kb_pcm_played_out(device, 0, out.data(), out.size())), out;
}

// Sizes of the transfers of `device` in direction `dir` since the last reset.
inline std::vector<unsigned> transfers(int device, int dir = KB_PLAYBACK)
{
    std::vector<unsigned> t(kb_pcm_transfers(device, dir, nullptr, 0));
    return t.resize(std::min(kb_pcm_transfers(device, dir, t.data(), t.size()), t.size())), t;
}

inline std::vector<unsigned char> pattern(size_t n, unsigned seed)
{
    std::vector<unsigned char> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : v) b = static_cast<unsigned char>((x = x * 1664525u + 1013904223u) >> 24);
    return v;
}

inline int play(int hdl, const std::vector<unsigned char> &d, size_t n = SIZE_MAX)
{
    return Ka_AudPlayer_Play(hdl, d.data(), static_cast<unsigned>(std::min(n, d.size())));
}

// Zeros behind the data until the device has received `bytes`: the play
// thread is only woken at half the ring, so a stream's tail needs a push.
inline bool flush_until_played(int hdl, int device, size_t bytes)
{
    const std::vector<unsigned char> zeros(audCtl.pctx[hdl].write_chunk, 0);
    return eventually(
               [&] { return kb_pcm_played(device, 0, nullptr, 0) >= bytes || play(hdl, zeros) < 0; }) &&
           kb_pcm_played(device, 0, nullptr, 0) >= bytes;
}

// A flag of player h's ring (writer_waiting, reader_waiting) under the ring's
// lock; false without a ring.
template <class Ring>
bool ring_flag(int h, int Ring::*flag)
{
    pthread_mutex_lock(&audCtl.pctx[h].ring_lock);
    const bool set = audCtl.pctx[h].ringbuf && audCtl.pctx[h].ringbuf->*flag;
    pthread_mutex_unlock(&audCtl.pctx[h].ring_lock);
    return set;
}

inline bool player_closed(int hdl)
{
    return __atomic_load_n(&audCtl.pctx[hdl].state, __ATOMIC_ACQUIRE) == CTX_CLOSED;
}
inline bool recorder_closed(int hdl)
{
    return __atomic_load_n(&audCtl.cctx[hdl].state, __ATOMIC_ACQUIRE) == CTX_CLOSED;
}

class PlayerTest : public ka_test::BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        std::thread([] {}).join();  // a sanitizer's helper thread exists before counting
        threads_before = thread_count();
        restart();
    }
    // Board back to defaults, log and play reports emptied (also between the
    // cases of a test).
    virtual void restart()
    {
        kb_reset();
        log.clear();
        std::lock_guard<std::mutex> lock(g_reports_m);
        for (auto &r : g_reports) r.clear();
    }
    void TearDown() override
    {
        for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
            Ka_AudPlayer_Stop(h);
            Ka_AudPlayer_Close(h);
            Ka_AudRecorder_HStop(h);
            Ka_AudRecorder_HClose(h);
            EXPECT_TRUE(player_closed(h)) << "player " << h;
            EXPECT_TRUE(recorder_closed(h)) << "recorder " << h;
            Ka_AudPlayer_SetBufsize_ms(audCtl.pctx[h].dev_name, 80);
            Ka_AudPlayer_SetInterface(audCtl.pctx[h].dev_name, 1);
            Ka_AudRecorder_SetInterface(audCtl.cctx[h].dev_name, 16);
        }
        // Detached play and capture threads finish their last steps after a
        // close has returned; none may be left behind.
        EXPECT_TRUE(eventually([this] { return thread_count() <= threads_before; }))
            << "library threads left";
        // Taking the log's lock once more orders those threads' last log
        // lines before the log's destruction at exit (they are never joined).
        log.clear();
    }
    int threads_before = 0;
};

}  // namespace player_test
