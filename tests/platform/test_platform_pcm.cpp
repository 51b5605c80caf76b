// The host libalsa_intf PCM side against the emulated board: device names,
// refused opens, parameter negotiation, transfers and xrun recovery.
#include <alsa_audio.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "ka_test.h"

namespace {

class PlatformPcm : public ka_test::BoardTest {};

struct kb_pcm_info info_of(int dev, int dir = KB_PLAYBACK)
{
    struct kb_pcm_info i{};
    EXPECT_EQ(0, kb_pcm_info(dev, dir, &i));
    return i;
}

struct pcm *open_pcm(const char *name, unsigned flags = PCM_OUT)
{
    return pcm_open(flags, const_cast<char *>(name));
}

bool has_text(const struct pcm *p, int err) { return strstr(p->error, strerror(err)) != nullptr; }

// Negotiates the way the audio library does; accepted blocks become the record's.
int negotiate(struct pcm *p, unsigned channels, unsigned rate)
{
    auto *hw = static_cast<snd_pcm_hw_params *>(calloc(1, sizeof(snd_pcm_hw_params)));
    param_init(hw);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_FORMAT, SNDRV_PCM_FORMAT_S16_LE);
    param_set_min(hw, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 10);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_FRAME_BITS, channels * 16);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_CHANNELS, channels);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_RATE, rate);
    param_set_hw_refine(p, hw);
    if (param_set_hw_params(p, hw) != 0) return free(hw), -1;
    auto *sw = static_cast<snd_pcm_sw_params *>(calloc(1, sizeof(snd_pcm_sw_params)));
    sw->period_step = 1;
    sw->avail_min = sw->start_threshold = unsigned(pcm_period_size(hw)) / (channels * 2);
    sw->stop_threshold = unsigned(pcm_buffer_size(hw)) / (channels * 2);
    if (param_set_sw_params(p, sw) != 0) return free(sw), -1;
    return pcm_prepare(p);
}

std::vector<unsigned char> pattern(size_t n)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + 3);
    return v;
}

TEST_F(PlatformPcm, DeviceNames)
{
    for (const char *name : {"", "hw:", "hw:0", "hw:0,", "hw:,1", "hw:a,0", "hw:0,1x", "hw:0,-1",
                             "plughw:0,0", "audio_blue", "audio_net ", "HW:0,0"}) {
        errno = 0;
        EXPECT_EQ(nullptr, open_pcm(name)) << name;
        EXPECT_EQ(EINVAL, errno) << name;
    }
    EXPECT_EQ(nullptr, open_pcm(nullptr));
    errno = 0;
    EXPECT_EQ(nullptr, open_pcm("hw:0,99"));  // parses, but there is no such node
    EXPECT_NE(0, errno);
    EXPECT_NE(EINVAL, errno);

    const struct {
        const char *name;
        int dev;
    } good[] = {{"hw:0,7", 7}, {"audio_bluetooth", KB_DEV_BLUETOOTH}, {"audio_usb", KB_DEV_USB},
                {"audio_net", KB_DEV_NET}};
    for (const auto &g : good)
        for (int dir : {KB_PLAYBACK, KB_CAPTURE}) {
            unsigned flags = (dir == KB_CAPTURE ? PCM_IN : PCM_OUT) | PCM_MONO;
            struct pcm *p = open_pcm(g.name, flags);
            ASSERT_TRUE(pcm_ready(p)) << g.name;
            EXPECT_EQ(0, p->card_no);
            EXPECT_EQ(g.dev, p->device_no);
            EXPECT_EQ(flags, p->flags);
            EXPECT_EQ(1, info_of(g.dev, dir).open) << g.name;
            EXPECT_EQ(0, info_of(g.dev, 1 - dir).open) << g.name;
            EXPECT_EQ(0, pcm_close(p));
        }
    EXPECT_EQ(0, kb_open_fds());
    EXPECT_EQ(-1, pcm_close(nullptr));
}

TEST_F(PlatformPcm, RefusedOpenAndFailedInfoSayWhy)
{
    kb_fault(KB_FAULT_PCM_OPEN, 3, 0, 1, EBUSY);
    errno = 0;
    EXPECT_EQ(nullptr, open_pcm("hw:0,3"));
    EXPECT_EQ(EBUSY, errno);
    struct pcm *q = open_pcm("hw:0,3");  // the fault was for one call only
    EXPECT_TRUE(pcm_ready(q));
    pcm_close(q);

    kb_fault(KB_FAULT_PCM_READY, -1, 0, 1, EIO);
    errno = 0;
    struct pcm *p = open_pcm("hw:0,4", PCM_IN);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(EIO, errno);
    EXPECT_FALSE(pcm_ready(p));
    EXPECT_EQ(-1, p->fd);
    EXPECT_TRUE(has_text(p, EIO)) << p->error;
    EXPECT_EQ(0, kb_open_fds());  // the node was closed again
    EXPECT_EQ(-1, pcm_prepare(p));
    char buf[4] = {};
    EXPECT_EQ(-1, pcm_read(p, buf, sizeof buf));
    EXPECT_EQ(0, pcm_close(p));
}

TEST_F(PlatformPcm, ParamBlockSetters)
{
    snd_pcm_hw_params hw;
    param_init(&hw);
    for (const snd_mask &m : hw.masks)
        for (unsigned w : m.bits) EXPECT_EQ(~0u, w);
    for (const snd_interval &i : hw.intervals) EXPECT_TRUE(i.min == 0 && i.max == UINT_MAX && !i.integer);
    EXPECT_EQ(~0u, hw.rmask);
    EXPECT_EQ(0u, hw.cmask);

    param_set_mask(&hw, SNDRV_PCM_HW_PARAM_FORMAT, 37);
    const snd_mask &m = hw.masks[SNDRV_PCM_HW_PARAM_FORMAT - SNDRV_PCM_HW_PARAM_FIRST_MASK];
    for (unsigned w = 0; w < sizeof m.bits / sizeof m.bits[0]; ++w) EXPECT_EQ(w == 1 ? 1u << 5 : 0u, m.bits[w]);
    param_set_int(&hw, SNDRV_PCM_HW_PARAM_RATE, 8000);
    param_set_min(&hw, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 10);
    param_set_max(&hw, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 90);
    const snd_interval &rate = hw.intervals[SNDRV_PCM_HW_PARAM_RATE - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
    const snd_interval &pt = hw.intervals[SNDRV_PCM_HW_PARAM_PERIOD_TIME - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
    EXPECT_TRUE(rate.min == 8000 && rate.max == 8000 && rate.integer);
    EXPECT_TRUE(pt.min == 10 && pt.max == 90 && !pt.integer);
    snd_pcm_hw_params before = hw;  // wrong kind of parameter: no change
    param_set_mask(&hw, SNDRV_PCM_HW_PARAM_RATE, 1);
    param_set_int(&hw, SNDRV_PCM_HW_PARAM_ACCESS, 1);
    EXPECT_EQ(0, memcmp(&before, &hw, sizeof hw));
}

TEST_F(PlatformPcm, NegotiationAndItsRefusals)
{
    struct pcm *p = open_pcm("hw:0,2");
    ASSERT_TRUE(pcm_ready(p));
    ASSERT_EQ(0, negotiate(p, 2, 48000)) << p->error;
    struct kb_pcm_info i = info_of(2);
    EXPECT_EQ(unsigned(SNDRV_PCM_ACCESS_RW_INTERLEAVED), i.access);
    EXPECT_EQ(unsigned(SNDRV_PCM_FORMAT_S16_LE), i.format);
    EXPECT_TRUE(i.channels == 2 && i.rate == 48000 && i.prepares == 1);
    ASSERT_TRUE(p->hw_p && p->sw_p);
    EXPECT_EQ(i.period_bytes, unsigned(pcm_period_size(p->hw_p)));
    EXPECT_EQ(i.buffer_bytes, unsigned(pcm_buffer_size(p->hw_p)));
    EXPECT_EQ(i.period_bytes / 4, i.avail_min);

    const struct {
        enum kb_fault fault;
        int err;
    } refusals[] = {{KB_FAULT_PCM_HW_PARAMS, EINVAL}, {KB_FAULT_PCM_SW_PARAMS, ENOMEM},
                    {KB_FAULT_PCM_PREPARE, EIO}};
    for (const auto &r : refusals) {
        kb_fault(r.fault, 2, 0, 1, r.err);
        errno = 0;
        EXPECT_EQ(-1, negotiate(p, 1, 8000));
        EXPECT_EQ(r.err, errno);
        EXPECT_TRUE(has_text(p, r.err)) << p->error;
    }
    ASSERT_EQ(0, negotiate(p, 1, 8000)) << p->error;  // fresh blocks; the old ones are freed
    EXPECT_EQ(1u, info_of(2).channels);
    pcm_close(p);
}

TEST_F(PlatformPcm, WritesWholeFramesAndRecoversFromUnderruns)
{
    struct pcm *p = open_pcm("hw:0,6");
    ASSERT_TRUE(pcm_ready(p));
    p->channels = 1;
    ASSERT_EQ(0, negotiate(p, 2, 8000)) << p->error;  // the negotiated 4-byte frame counts
    auto data = pattern(8003);
    ASSERT_EQ(0, pcm_write(p, data.data(), 4003)) << p->error;
    kb_fault(KB_FAULT_PCM_WRITE, 6, 0, 2, EPIPE);
    ASSERT_EQ(0, pcm_write(p, data.data() + 4000, 4000)) << p->error;
    EXPECT_EQ(2, p->underruns);
    EXPECT_EQ(3u, info_of(6).prepares);
    std::vector<unsigned char> got(data.size());
    ASSERT_EQ(8000u, kb_pcm_played(6, 0, got.data(), got.size()));
    EXPECT_EQ(0, memcmp(data.data(), got.data(), 8000));

    kb_fault(KB_FAULT_PCM_WRITE, 6, 0, -1, EPIPE);  // never clears: fails, no hang
    errno = 0;
    EXPECT_EQ(-1, pcm_write(p, data.data(), 400));
    EXPECT_EQ(EPIPE, errno);
    kb_fault(KB_FAULT_PCM_WRITE, 6, 0, 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, pcm_write(p, data.data(), 400));
    EXPECT_EQ(EIO, errno);
    EXPECT_TRUE(has_text(p, EIO)) << p->error;
    pcm_close(p);
}

TEST_F(PlatformPcm, UnderrunOnTheSampleClock)
{
    kb_set_speed(1.0);
    struct pcm *p = open_pcm("hw:0,8");
    ASSERT_TRUE(pcm_ready(p));
    ASSERT_EQ(0, negotiate(p, 1, 8000)) << p->error;
    unsigned buffer = info_of(8).buffer_bytes;
    auto data = pattern(buffer);
    ASSERT_EQ(0, pcm_write(p, data.data(), buffer / 2)) << p->error;
    usleep(static_cast<useconds_t>(1e6 * buffer / 2 / 8000 + 100000));  // well past the end
    ASSERT_EQ(0, pcm_write(p, data.data(), buffer / 2)) << p->error;
    EXPECT_GE(p->underruns, 1);
    EXPECT_GE(info_of(8).underruns, 1u);
    pcm_close(p);
}

TEST_F(PlatformPcm, ReadsTheToneAndRecoversFromOverruns)
{
    kb_capture_tone(9, 1000, 8000);
    struct pcm *p = open_pcm("hw:0,9", PCM_IN | PCM_MONO);
    ASSERT_TRUE(pcm_ready(p));
    ASSERT_EQ(0, negotiate(p, 1, 8000)) << p->error;
    auto sample = [](int n) { return static_cast<int16_t>(lrint(8000 * sin(2 * M_PI * 1000 * n / 8000.0))); };
    std::vector<int16_t> buf(320);
    ASSERT_EQ(0, pcm_read(p, buf.data(), 640)) << p->error;
    for (int n = 0; n < 320; ++n) ASSERT_EQ(sample(n), buf[n]) << n;

    kb_fault(KB_FAULT_PCM_READ, 9, 0, 1, EPIPE);
    EXPECT_EQ(0, pcm_read(p, buf.data(), 640)) << p->error;
    EXPECT_EQ(1, p->underruns);
    EXPECT_EQ(sample(3), buf[3]);  // prepared again: the tone starts over

    kb_fault(KB_FAULT_PCM_READ, 9, 0, 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, pcm_read(p, buf.data(), 640));
    EXPECT_EQ(EIO, errno);
    EXPECT_TRUE(has_text(p, EIO)) << p->error;
    pcm_close(p);
}

}  // namespace
