// Helpers of the player tests: a callback that records what the play thread
// reports, waits on those reports and on player states, and a fixture that
// leaves every player closed and every setting at its default.
#pragma once

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ka_lib_audio.h"
#include "ka_test.h"

namespace player_test {

// Waits in these tests only guard against a hang (a broken implementation
// would otherwise block the run until ctest's timeout); nothing asserts
// how fast anything happens.
constexpr auto kHangGuard = std::chrono::seconds(60);

struct Reports {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<int, int>> list;  // (handle, result)
};

inline Reports &reports()
{
    static Reports r;
    return r;
}

inline int record_cb(int hdl, int result)
{
    Reports &r = reports();
    std::lock_guard<std::mutex> lock(r.m);
    r.list.emplace_back(hdl, result);
    r.cv.notify_all();
    return 0;
}

inline void clear_reports()
{
    std::lock_guard<std::mutex> lock(reports().m);
    reports().list.clear();
}

inline std::vector<int> results_of(int hdl)
{
    std::lock_guard<std::mutex> lock(reports().m);
    std::vector<int> out;
    for (auto &[h, res] : reports().list)
        if (h == hdl) out.push_back(res);
    return out;
}

// Until handle `hdl` has had `count` reports.
inline bool wait_reports(int hdl, size_t count)
{
    Reports &r = reports();
    std::unique_lock<std::mutex> lock(r.m);
    return r.cv.wait_for(lock, kHangGuard, [&] {
        size_t n = 0;
        for (auto &e : r.list) n += e.first == hdl;
        return n >= count;
    });
}

// Until the player's reported state name is `name`.
inline bool wait_player_state(int hdl, const char *name)
{
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (std::strcmp(Ka_AudPlayer_GetState(hdl, nullptr), name) != 0) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

inline bool wait_played(int device, size_t bytes)
{
    return kb_pcm_wait_played(device, bytes, 60000) == 0;
}

inline std::vector<unsigned char> played(int device)
{
    size_t n = kb_pcm_played(device, 0, nullptr, 0);
    std::vector<unsigned char> out(n);
    kb_pcm_played(device, 0, out.data(), n);
    return out;
}

inline std::vector<unsigned> transfers(int device, int dir)
{
    size_t n = kb_pcm_transfers(device, dir, nullptr, 0);
    std::vector<unsigned> out(n);
    kb_pcm_transfers(device, dir, out.data(), n);
    return out;
}

inline std::vector<unsigned char> pattern(size_t n, unsigned seed)
{
    std::vector<unsigned char> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    return v;
}

inline int play_all(int hdl, const std::vector<unsigned char> &data)
{
    return Ka_AudPlayer_Play(hdl, data.data(), static_cast<unsigned>(data.size()));
}

// Zero bytes, period by period, until the device has received `bytes`:
// the ring only wakes the play thread at half its capacity, so the tail
// of a stream needs something behind it to be played.
inline bool flush_until_played(int hdl, int device, size_t bytes)
{
    std::vector<unsigned char> zeros(audCtl.pctx[hdl].write_chunk, 0);
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (kb_pcm_played(device, 0, nullptr, 0) < bytes) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (play_all(hdl, zeros) != static_cast<int>(zeros.size())) return false;
    }
    return true;
}

class PlayerTest : public ka_test::BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        clear_reports();
    }
    void TearDown() override
    {
        for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
            Ka_AudPlayer_Stop(h);
            Ka_AudPlayer_Close(h);
            EXPECT_STREQ(Ka_AudPlayer_GetState(h, nullptr), "AUD_PLAYER_FINISHED") << "player " << h;
            ka_pctx &p = audCtl.pctx[h];
            EXPECT_EQ(p.state, CTX_CLOSED) << "player " << h;
            Ka_AudPlayer_SetBufsize_ms(p.dev_name, 80);
            Ka_AudPlayer_SetInterface(p.dev_name, 1);
        }
    }
};

}  // namespace player_test
