// SPDX-License-Identifier: MIT
// What the emulated PCM devices played out (what a listener hears) against
// what they received, and the period and buffer they offer a client.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "board_pcm.h"

namespace {

using namespace board_pcm;

// A device's played-out (or received) samples; a WAV file's.
std::vector<int16_t> samples(int dev, bool out)
{
    auto get = out ? kb_pcm_played_out : kb_pcm_played;
    std::vector<int16_t> v(get(dev, 0, nullptr, 0) / 2);
    get(dev, 0, v.data(), v.size() * 2);
    return v;
}
std::vector<int16_t> wav_samples(const std::string &path)
{
    std::string s = ka_test::read_text(path.c_str());
    std::vector<int16_t> v(s.size() > 44 ? (s.size() - 44) / 2 : 0);
    memcpy(v.data(), s.data() + 44, v.size() * 2);
    return v;
}

// The last event of a kind on a playback device, and a number of its trace line.
std::string last_event(const char *kind, int dev)
{
    std::vector<kb_event> ev(kb_events(nullptr, 0));
    ev.resize(kb_events(ev.data(), ev.size()));
    for (auto e = ev.rbegin(); e != ev.rend(); ++e)
        if (e->device == dev && std::string(e->kind) == kind) return std::string(e->json) + "\n" + e->text;
    return "";
}
long long field(const std::string &event, const std::string &key)
{
    size_t at = event.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : atoll(event.c_str() + at + key.size() + 3);
}

// The device's geometry, chosen as the kernel does: the smallest period the
// client allows at or above the device's, then the largest buffer of whole
// periods at or below the device's. Then what a listener hears: the frames
// the hardware pointer passed. At speed 0 everything written is played out as
// written (and the received file, the same, is not kept). A stream written
// full and then dropped or closed at once, on a clock all but stopped, drops
// exactly what was queued: played out is a prefix of received, and both add
// up to it. A writer that stops feeding: the pointer plays its data, then the
// buffer's old contents until the stop threshold declares the underrun, a
// buffer later; then silence (at most a minute of it) until the stream starts
// again.
TEST_F(Board, GeometryAndPlayedOutAsThePointerPassed)
{
    int fd = open_pcm(0, KB_PLAYBACK);
    const struct {
        double period_ms, buffer_ms;
        unsigned rate, min_period_us, period, buffer;
    } geometries[] = {
        {4, 4096, 8000, 10, 32, 32768},  // a real kernel's loopback card
        {2.5, 30, 11025, 10, 28, 308},   // 27.56 frames up, 330.75 down to whole periods
        {20, 10, 8000, 10, 160, 160},    // at least one period
        {0, 0, 8000, 25000, 200, 600},   // the client's lower bound above the device's
    };
    for (const auto &g : geometries) {
        kb_set_geometry(g.period_ms, g.buffer_ms);
        snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S16_LE, 1, g.rate);
        iv(p, SNDRV_PCM_HW_PARAM_PERIOD_TIME)->min = g.min_period_us;
        ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p)) << g.period_ms;
        EXPECT_EQ(g.period, iv(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->min) << g.period_ms;
        EXPECT_EQ(g.buffer, iv(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE)->min) << g.period_ms;
    }
    close(fd);

    const std::string dir = ka_test::temp_dir() + "/played-out";
    mkdir(dir.c_str(), 0755);
    kb_set_output_dir(dir.c_str());
    kb_set_geometry(4, 16);
    std::vector<int16_t> data(1024);
    for (size_t f = 0; f < data.size(); ++f) data[f] = f % 4 ? int16_t(f + 1) : 0;
    auto part = [&data](size_t from, size_t to) {
        return std::vector<int16_t>(data.begin() + long(from), data.begin() + long(to));
    };
    auto wav = [&dir](int dev, const char *what) {
        return wav_samples(dir + "/pcmC0D" + std::to_string(dev) + "p" + what + ".wav");
    };
    unsigned buffer = 0;

    fd = prepared_pcm(0, KB_PLAYBACK, 1, SNDRV_PCM_ACCESS_RW_INTERLEAVED, 2, &buffer);
    ASSERT_EQ(128u, buffer);  // period 32 frames
    ASSERT_EQ(0, xfer(fd, true, data.data(), 300));
    close(fd);
    EXPECT_EQ(part(0, 300), samples(0, true));
    EXPECT_EQ(part(0, 300), samples(0, false));
    EXPECT_EQ(part(0, 300), wav(0, ""));
    EXPECT_NE(0, access((dir + "/pcmC0D0p.received.wav").c_str(), F_OK));
    kb_pcm_stats st = pcm_info(0);
    EXPECT_EQ((std::vector<uint64_t>{300, 0, 0, 0}),
              (std::vector<uint64_t>{st.out_frames, st.dropped_frames, st.replayed_frames, st.gap_frames}));

    // The sound lost: up to the last dropped sample that is not silent.
    const long long cut =
        std::find_if(data.rend() - 228, data.rend() - 100, [](int16_t v) { return v != 0; }).base() -
        (data.begin() + 100);
    for (int dev : {1, 2}) {  // 1: DROP, then close; 2: close
        kb_set_speed(0);
        fd = prepared_pcm(dev, KB_PLAYBACK, 1, SNDRV_PCM_ACCESS_RW_INTERLEAVED, 2, &buffer);
        ASSERT_EQ(0, xfer(fd, true, data.data(), 100));
        kb_set_speed(1e-9);
        ASSERT_EQ(0, xfer(fd, true, data.data() + 100, buffer));
        EXPECT_EQ(0, dev == 1 ? io(fd, SNDRV_PCM_IOCTL_DROP) : 0);
        close(fd);
        std::string stop = last_event(dev == 1 ? "pcm_drop" : "pcm_close", dev);
        EXPECT_EQ((std::vector<long long>{100, 128, cut, 100}),
                  (std::vector<long long>{field(stop, "played"), field(stop, "dropped"), field(stop, "cut"),
                                          field(stop, "out")}))
            << stop;
        EXPECT_EQ(dev == 1 ? 0 : 128, field(last_event("pcm_close", dev), "dropped"));
        EXPECT_EQ(dev == 2, stop.find("dropped 128 frames") != std::string::npos) << stop;
        EXPECT_EQ(128u, pcm_info(dev).dropped_frames);
        EXPECT_EQ(part(0, 100), samples(dev, true));
        EXPECT_EQ(part(0, 228), samples(dev, false));
        EXPECT_EQ(part(0, 100), wav(dev, ""));
        EXPECT_EQ(part(0, 228), wav(dev, ".received"));
    }

    kb_set_speed(0);
    fd = prepared_pcm(3, KB_PLAYBACK, 1, SNDRV_PCM_ACCESS_RW_INTERLEAVED, 2, &buffer);
    ASSERT_EQ(0, xfer(fd, true, data.data(), 2 * buffer));
    kb_set_speed(1000);
    ASSERT_EQ(0, kb_pcm_wait_underruns(3, KB_PLAYBACK, 1, 60000));
    kb_set_speed(1e12);  // a long stop
    kb_set_speed(0);
    const std::string underrun = last_event("pcm_underrun", 3);
    EXPECT_TRUE(field(underrun, "out") == 384 && field(underrun, "replayed") == 128) << underrun;
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    ASSERT_EQ(0, xfer(fd, true, data.data() + 300, 100));
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_DROP));
    kb_set_speed(1e12);  // a long silence after the last stop, which no sound follows: not kept
    kb_set_speed(0);
    close(fd);
    const uint64_t minute = 60 * 8000;
    EXPECT_EQ(384 + minute, uint64_t(field(last_event("pcm_start", 3), "out")));
    std::vector<int16_t> heard = part(0, 256);
    for (int16_t v : part(128, 256)) heard.push_back(v);
    heard.resize(heard.size() + minute);
    for (int16_t v : part(300, 400)) heard.push_back(v);
    EXPECT_TRUE(heard == samples(3, true));
    st = pcm_info(3);
    EXPECT_EQ((std::vector<uint64_t>{heard.size(), 0, 128, minute}),
              (std::vector<uint64_t>{st.out_frames, st.dropped_frames, st.replayed_frames, st.gap_frames}));
}

}  // namespace
