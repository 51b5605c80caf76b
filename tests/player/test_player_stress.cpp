// Randomized stress, bounded in operations and time: four threads drive
// open, play, pause, resume, stop, close, volume and settings on four players
// at once, one more only pauses, resumes and stops (as an application would
// to release a writer blocked on a paused player), and one thread per
// capture device opens, starts, stops and closes its recorder. Afterwards
// everything closes, no PCM device stays open and (in the fixture's
// teardown) every library thread is gone; the sanitizer builds check the rest.
#include <atomic>
#include <random>

#include "player_test.h"

using namespace player_test;

namespace {

constexpr int kOps = 3000;
constexpr auto kBudget = std::chrono::seconds(8);

int quiet_cb(int, int) { return 0; }
int capture_cb(int, void *, unsigned) { return 0; }

void player_worker(unsigned seed, std::chrono::steady_clock::time_point deadline)
{
    std::mt19937 rng(seed);
    static const auto data = pattern(4000, 77);
    for (int i = 0; i < kOps && std::chrono::steady_clock::now() < deadline; ++i) {
        const int h = static_cast<int>(rng() % 4);
        const char *dev = audCtl.pctx[h].dev_name;
        switch (rng() % 11) {
        case 0: Ka_AudPlayer_Open(dev, quiet_cb); break;
        case 1: Ka_AudPlayer_OpenExt(dev, quiet_cb, 0, 2, 16000, 2); break;
        case 2: case 3: case 4: Ka_AudPlayer_Play(h, data.data() + rng() % 2000, rng() % 2000); break;
        case 5: Ka_AudPlayer_Pause(h); break;
        case 6: Ka_AudPlayer_Resume(h); break;
        case 7: Ka_AudPlayer_Stop(h); break;
        case 8: Ka_AudPlayer_Close(h); break;
        case 9: Ka_AudSoft_SetVolume(h, rng() % 3 ? rng() % 101 : 0xFFFFFFFFu); break;
        case 10: Ka_AudPlayer_SetBufsize_ms(dev, 40 + rng() % 200); break;
        }
    }
}

// One thread per recorder, in the order recorders are made for: open only a
// closed one, start only one that is not running.
void recorder_worker(int h, unsigned seed, std::chrono::steady_clock::time_point deadline)
{
    std::mt19937 rng(seed);
    bool open = false;
    for (int i = 0; i < kOps && std::chrono::steady_clock::now() < deadline; ++i) {
        switch (rng() % 5) {
        case 0: open = open || Ka_AudRecorder_Open(audCtl.cctx[h].dev_name, capture_cb) == h; break;
        case 1:
            if (open && std::strcmp(Ka_AudRecorder_HGetState(h, nullptr), "AUD_RECORDER_START") != 0)
                Ka_AudRecorder_HStartRecord(h);
            break;
        case 2: Ka_AudRecorder_HStop(h); break;
        case 3:
            Ka_AudRecorder_HClose(h);
            open = __atomic_load_n(&audCtl.cctx[h].state, __ATOMIC_ACQUIRE) != CTX_CLOSED;
            break;
        case 4: std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000)); break;
        }
    }
}

}  // namespace

TEST_F(PlayerTest, RandomizedStress)
{
    for (int d : {0, 13, 14, 16}) kb_capture_tone(d, 440, 8000);
    const auto deadline = std::chrono::steady_clock::now() + kBudget;
    std::atomic<int> left{4};
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w)
        threads.emplace_back([&, w] {
            player_worker(1000 + w, deadline);
            --left;
        });
    threads.emplace_back([&] {
        std::mt19937 rng(99);
        while (left > 0) {
            const int h = static_cast<int>(rng() % 4);
            (rng() % 3 == 0 ? Ka_AudPlayer_Pause : rng() % 2 ? Ka_AudPlayer_Resume : Ka_AudPlayer_Stop)(h);
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
        }
    });
    for (int h = 0; h < 4; ++h) threads.emplace_back(recorder_worker, h, 500 + h, deadline);
    for (auto &t : threads) t.join();

    for (int h = 0; h < 4; ++h) {
        Ka_AudPlayer_Stop(h);  // resumes a paused player
        Ka_AudPlayer_Close(h);
        Ka_AudRecorder_HClose(h);
        EXPECT_EQ(audCtl.pctx[h].ringbuf, nullptr) << "player " << h;
    }
    for (int d : {0, 13, 14, 16})
        for (int dir : {KB_PLAYBACK, KB_CAPTURE}) {
            struct kb_pcm_info info{};
            kb_pcm_info(d, dir, &info);
            EXPECT_EQ(info.open, 0) << "device " << d << " direction " << dir;
        }
}
