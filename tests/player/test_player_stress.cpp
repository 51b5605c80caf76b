// Randomized stress: several threads drive open, play, pause, resume, stop,
// close and the software volume on four players at once, while one thread
// per capture device opens, starts, stops and closes its recorder. Bounded
// in operations and in time. Afterwards every player and recorder closes,
// every library thread has gone and no PCM device is left open;
// ThreadSanitizer and AddressSanitizer builds check the rest.
#include <dirent.h>

#include <atomic>
#include <random>
#include <thread>

#include "player_test.h"

using namespace player_test;

namespace {

constexpr int kPlayers = 4;
constexpr int kWorkers = 4;
constexpr int kOpsPerWorker = 3000;
constexpr auto kTimeBudget = std::chrono::seconds(8);

std::atomic<long> g_results[8];  // counts of play callback results + 1

int counting_cb(int, int result)
{
    if (result >= -1 && result <= 5) g_results[result + 1].fetch_add(1, std::memory_order_relaxed);
    return 0;
}

std::atomic<long> g_captured{0};
std::atomic<long> g_bad_delivery{0};

int capture_cb(int result, void *buf, unsigned len)
{
    if (result == 0) {
        if (!buf || len == 0) g_bad_delivery.fetch_add(1);
        g_captured.fetch_add(len, std::memory_order_relaxed);
    }
    return 0;
}

int thread_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

void player_worker(unsigned seed, std::chrono::steady_clock::time_point deadline, std::atomic<long> *ops)
{
    std::mt19937 rng(seed);
    static const auto data = pattern(4000, 77);
    for (int i = 0; i < kOpsPerWorker && std::chrono::steady_clock::now() < deadline; ++i) {
        const int h = static_cast<int>(rng() % kPlayers);
        const char *dev = audCtl.pctx[h].dev_name;
        switch (rng() % 12) {
        case 0: Ka_AudPlayer_Open(dev, counting_cb); break;
        case 1: Ka_AudPlayer_OpenExt(dev, counting_cb, 0, 2, 16000, 2); break;
        case 2: case 3: case 4: {
            const unsigned n = rng() % 2000;
            Ka_AudPlayer_Play(h, data.data() + rng() % 2000, n);
            break;
        }
        case 5: Ka_AudPlayer_Pause(h); break;
        case 6: Ka_AudPlayer_Resume(h); break;
        case 7: Ka_AudPlayer_Stop(h); break;
        case 8: Ka_AudPlayer_Close(h); break;
        case 9: Ka_AudSoft_SetVolume(h, rng() % 3 == 0 ? 0xFFFFFFFFu : rng() % 101); break;
        case 10: {
            int code;
            Ka_AudPlayer_GetState(h, &code);
            break;
        }
        case 11: Ka_AudPlayer_SetBufsize_ms(dev, 40 + rng() % 200); break;
        }
        ops->fetch_add(1);
    }
}

// Pause, resume and stop, never blocking: releases writers that sleep on a
// paused player, as an application would.
void steerer(unsigned seed, const std::atomic<int> *workers_left)
{
    std::mt19937 rng(seed);
    while (workers_left->load() > 0) {
        const int h = static_cast<int>(rng() % kPlayers);
        switch (rng() % 3) {
        case 0: Ka_AudPlayer_Resume(h); break;
        case 1: Ka_AudPlayer_Stop(h); break;
        case 2: Ka_AudPlayer_Pause(h); break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    }
}

// One thread per recorder: it opens only a closed recorder and starts only
// one that is not running, the calling order recorders are made for.
void recorder_worker(int h, unsigned seed, std::chrono::steady_clock::time_point deadline)
{
    std::mt19937 rng(seed);
    bool open = false;
    for (int i = 0; i < kOpsPerWorker && std::chrono::steady_clock::now() < deadline; ++i) {
        switch (rng() % 6) {
        case 0:
            if (!open) open = Ka_AudRecorder_Open(audCtl.cctx[h].dev_name, capture_cb) == h;
            break;
        case 1:
            if (open && std::strcmp(Ka_AudRecorder_HGetState(h, nullptr), "AUD_RECORDER_START") != 0)
                Ka_AudRecorder_HStartRecord(h);
            break;
        case 2: case 3: Ka_AudRecorder_HStop(h); break;
        case 4:
            Ka_AudRecorder_HClose(h);
            open = __atomic_load_n(&audCtl.cctx[h].state, __ATOMIC_ACQUIRE) != CTX_CLOSED;
            break;
        case 5: std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000)); break;
        }
    }
    Ka_AudRecorder_HClose(h);
}

}  // namespace

TEST_F(PlayerTest, RandomizedStress)
{
    // A first thread lets a sanitizer's helper thread exist before counting.
    std::thread([] {}).join();
    const int threads_before = thread_count();
    for (int d : {0, 13, 14, 16}) kb_capture_tone(d, 440, 8000);
    const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;

    std::atomic<long> ops{0};
    std::atomic<int> workers_left{kWorkers};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w)
        threads.emplace_back([&, w] {
            player_worker(1000 + w, deadline, &ops);
            workers_left.fetch_sub(1);
        });
    threads.emplace_back(steerer, 99, &workers_left);
    for (int h = 0; h < kPlayers; ++h) threads.emplace_back(recorder_worker, h, 500 + h, deadline);
    for (auto &t : threads) t.join();

    // Everything closes; a paused player is stopped (which resumes it) first.
    for (int h = 0; h < kPlayers; ++h) {
        Ka_AudPlayer_Stop(h);
        Ka_AudPlayer_Close(h);
        EXPECT_EQ(audCtl.pctx[h].state, CTX_CLOSED) << "player " << h;
        EXPECT_EQ(audCtl.pctx[h].ringbuf, nullptr) << "player " << h;
        EXPECT_EQ(audCtl.cctx[h].state, CTX_CLOSED) << "recorder " << h;
    }
    for (int d : {0, 13, 14, 16})
        for (int dir : {KB_PLAYBACK, KB_CAPTURE}) {
            struct kb_pcm_info info{};
            ASSERT_EQ(kb_pcm_info(d, dir, &info), 0);
            EXPECT_EQ(info.open, 0) << "device " << d << " direction " << dir << " stayed open";
        }
    EXPECT_EQ(g_bad_delivery.load(), 0);

    // Detached play and capture threads are gone shortly after the closes.
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (thread_count() > threads_before && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(thread_count(), threads_before) << "library threads left running";

    // Some work got done (not a measure of anything but that the run did not
    // stall at the start).
    EXPECT_GT(ops.load(), 0);
    std::printf("stress: %ld player operations, %ld bytes captured, callbacks: error %ld, finished %ld\n",
                ops.load(), g_captured.load(), g_results[0].load(), g_results[6].load());
}
