// The host libalsa_intf PCM side against the emulated board: device names,
// refused opens, parameter negotiation, transfers and xrun recovery.
#include <alsa_audio.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "ka_test.h"

namespace {

using ka_test::BoardTest;

class PlatformPcm : public BoardTest {};

struct kb_pcm_info info_of(int dev, int dir)
{
    struct kb_pcm_info i{};
    EXPECT_EQ(0, kb_pcm_info(dev, dir, &i));
    return i;
}

struct pcm *open_ok(const char *name, unsigned flags = PCM_OUT)
{
    struct pcm *p = pcm_open(flags, const_cast<char *>(name));
    EXPECT_NE(nullptr, p) << name;
    if (p) {
        EXPECT_TRUE(pcm_ready(p)) << p->error;
    }
    return p;
}

// Negotiates the way the audio library does; the blocks become the record's.
int negotiate(struct pcm *p, unsigned channels, unsigned rate, unsigned format = SNDRV_PCM_FORMAT_S16_LE)
{
    auto *hw = static_cast<snd_pcm_hw_params *>(calloc(1, sizeof(snd_pcm_hw_params)));
    param_init(hw);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_FORMAT, format);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
    param_set_min(hw, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 10);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, 16);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_FRAME_BITS, channels * 16);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_CHANNELS, channels);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_RATE, rate);
    param_set_hw_refine(p, hw);
    if (param_set_hw_params(p, hw) != 0) {
        free(hw);
        return -1;
    }
    unsigned period_frames = static_cast<unsigned>(pcm_period_size(hw)) / (channels * 2);
    auto *sw = static_cast<snd_pcm_sw_params *>(calloc(1, sizeof(snd_pcm_sw_params)));
    sw->period_step = 1;
    sw->avail_min = period_frames;
    sw->start_threshold = period_frames;
    sw->stop_threshold = static_cast<unsigned>(pcm_buffer_size(hw)) / (channels * 2);
    if (param_set_sw_params(p, sw) != 0) {
        free(sw);
        return -1;
    }
    return pcm_prepare(p);
}

std::vector<unsigned char> pattern(size_t n)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + 3);
    return v;
}

TEST_F(PlatformPcm, NamesThatDoNotParseOrDoNotExist)
{
    const char *bad[] = {"", "hw:", "hw:0", "hw:0,", "hw:,1", "hw:a,0", "hw:0,1x", "hw:0,-1",
                         "hw:0;1", "plughw:0,0", "audio_blue", "audio_net ", "HW:0,0"};
    for (const char *name : bad) {
        errno = 0;
        EXPECT_EQ(nullptr, pcm_open(PCM_OUT, const_cast<char *>(name))) << name;
        EXPECT_EQ(EINVAL, errno) << name;
    }
    EXPECT_EQ(nullptr, pcm_open(PCM_OUT, nullptr));
    // Parsable, but no such node: NULL with the open's errno.
    errno = 0;
    EXPECT_EQ(nullptr, pcm_open(PCM_OUT, const_cast<char *>("hw:0,99")));
    EXPECT_NE(0, errno);
    EXPECT_NE(EINVAL, errno);
    EXPECT_EQ(0, kb_open_fds());
    EXPECT_EQ(-1, pcm_close(nullptr));
}

TEST_F(PlatformPcm, NamesSelectNodeAndDirection)
{
    struct {
        const char *name;
        int dev;
    } cases[] = {{"hw:0,0", 0}, {"hw:0,7", 7}, {"audio_bluetooth", KB_DEV_BLUETOOTH},
                 {"audio_usb", KB_DEV_USB}, {"audio_net", KB_DEV_NET}};
    for (auto &c : cases) {
        for (int dir : {KB_PLAYBACK, KB_CAPTURE}) {
            unsigned flags = (dir == KB_CAPTURE ? PCM_IN : PCM_OUT) | PCM_MONO;
            struct pcm *p = open_ok(c.name, flags);
            ASSERT_NE(nullptr, p);
            EXPECT_EQ(0, p->card_no);
            EXPECT_EQ(c.dev, p->device_no);
            EXPECT_EQ(flags, p->flags);
            EXPECT_EQ(1, info_of(c.dev, dir).open) << c.name << " dir " << dir;
            EXPECT_EQ(0, info_of(c.dev, 1 - dir).open) << c.name << " dir " << dir;
            EXPECT_EQ(0, pcm_close(p));
            EXPECT_EQ(0, info_of(c.dev, dir).open);
        }
    }
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(PlatformPcm, RefusedOpenAndFailedInfoSayWhy)
{
    kb_fault(KB_FAULT_PCM_OPEN, 3, 0, 1, EBUSY);
    errno = 0;
    EXPECT_EQ(nullptr, pcm_open(PCM_OUT, const_cast<char *>("hw:0,3")));
    EXPECT_EQ(EBUSY, errno);
    struct pcm *p = open_ok("hw:0,3");  // the fault was for one call only
    pcm_close(p);

    kb_fault(KB_FAULT_PCM_READY, -1, 0, 1, EIO);
    errno = 0;
    p = pcm_open(PCM_IN, const_cast<char *>("hw:0,4"));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(EIO, errno);
    EXPECT_FALSE(pcm_ready(p));
    EXPECT_EQ(-1, p->fd);
    EXPECT_NE(nullptr, strstr(p->error, strerror(EIO))) << p->error;
    EXPECT_EQ(0, kb_open_fds());  // the node was closed again
    // Everything else refuses a record without a stream, and says so.
    EXPECT_EQ(-1, pcm_prepare(p));
    char buf[4] = {};
    EXPECT_EQ(-1, pcm_read(p, buf, sizeof buf));
    EXPECT_EQ(0, pcm_close(p));
}

TEST_F(PlatformPcm, ParamBlockSetters)
{
    snd_pcm_hw_params hw;
    param_init(&hw);
    for (int n = SNDRV_PCM_HW_PARAM_FIRST_MASK; n <= SNDRV_PCM_HW_PARAM_LAST_MASK; ++n)
        for (unsigned w : hw.masks[n - SNDRV_PCM_HW_PARAM_FIRST_MASK].bits) EXPECT_EQ(~0u, w);
    for (int n = SNDRV_PCM_HW_PARAM_FIRST_INTERVAL; n <= SNDRV_PCM_HW_PARAM_LAST_INTERVAL; ++n) {
        const snd_interval &i = hw.intervals[n - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
        EXPECT_EQ(0u, i.min);
        EXPECT_EQ(UINT_MAX, i.max);
        EXPECT_EQ(0u, i.integer);
    }
    EXPECT_EQ(~0u, hw.rmask);
    EXPECT_EQ(0u, hw.cmask);

    param_set_mask(&hw, SNDRV_PCM_HW_PARAM_FORMAT, 37);
    const snd_mask &m = hw.masks[SNDRV_PCM_HW_PARAM_FORMAT - SNDRV_PCM_HW_PARAM_FIRST_MASK];
    for (unsigned w = 0; w < sizeof m.bits / sizeof m.bits[0]; ++w)
        EXPECT_EQ(w == 1 ? 1u << 5 : 0u, m.bits[w]);
    param_set_int(&hw, SNDRV_PCM_HW_PARAM_RATE, 8000);
    param_set_min(&hw, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 10);
    param_set_max(&hw, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 90);
    const snd_interval &rate = hw.intervals[SNDRV_PCM_HW_PARAM_RATE - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
    const snd_interval &pt = hw.intervals[SNDRV_PCM_HW_PARAM_PERIOD_TIME - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
    EXPECT_EQ(8000u, rate.min);
    EXPECT_EQ(8000u, rate.max);
    EXPECT_EQ(1u, rate.integer);
    EXPECT_EQ(10u, pt.min);
    EXPECT_EQ(90u, pt.max);
    // A mask setter given an interval number (or the reverse) changes nothing.
    snd_pcm_hw_params before = hw;
    param_set_mask(&hw, SNDRV_PCM_HW_PARAM_RATE, 1);
    param_set_int(&hw, SNDRV_PCM_HW_PARAM_ACCESS, 1);
    EXPECT_EQ(0, memcmp(&before, &hw, sizeof hw));
}

TEST_F(PlatformPcm, NegotiationReachesTheDevice)
{
    struct pcm *p = open_ok("hw:0,2");
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(0, negotiate(p, 2, 48000)) << p->error;
    struct kb_pcm_info i = info_of(2, KB_PLAYBACK);
    EXPECT_EQ(unsigned(SNDRV_PCM_ACCESS_RW_INTERLEAVED), i.access);
    EXPECT_EQ(unsigned(SNDRV_PCM_FORMAT_S16_LE), i.format);
    EXPECT_EQ(2u, i.channels);
    EXPECT_EQ(48000u, i.rate);
    EXPECT_EQ(1u, i.hw_params);
    EXPECT_EQ(1u, i.sw_params);
    EXPECT_EQ(1u, i.prepares);
    ASSERT_NE(nullptr, p->hw_p);
    ASSERT_NE(nullptr, p->sw_p);
    EXPECT_EQ(i.period_bytes, static_cast<unsigned>(pcm_period_size(p->hw_p)));
    EXPECT_EQ(i.buffer_bytes, static_cast<unsigned>(pcm_buffer_size(p->hw_p)));
    EXPECT_GT(i.period_bytes, 0u);
    EXPECT_EQ(i.period_bytes / 4, i.avail_min);
    EXPECT_EQ(i.period_bytes / 4, i.start_threshold);
    // Negotiating again hands in fresh blocks; the old ones are released.
    ASSERT_EQ(0, negotiate(p, 1, 8000)) << p->error;
    EXPECT_EQ(2u, info_of(2, KB_PLAYBACK).hw_params);
    EXPECT_EQ(1u, info_of(2, KB_PLAYBACK).channels);
    pcm_close(p);
}

TEST_F(PlatformPcm, RefusedParametersKeepErrnoAndText)
{
    struct pcm *p = open_ok("hw:0,5");
    ASSERT_NE(nullptr, p);
    kb_fault(KB_FAULT_PCM_HW_PARAMS, 5, 0, 1, EINVAL);
    errno = 0;
    EXPECT_EQ(-1, negotiate(p, 1, 8000));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(nullptr, p->hw_p);  // a refused block stays the caller's
    EXPECT_NE(nullptr, strstr(p->error, strerror(EINVAL))) << p->error;

    kb_fault(KB_FAULT_PCM_SW_PARAMS, 5, 0, 1, ENOMEM);
    errno = 0;
    EXPECT_EQ(-1, negotiate(p, 1, 8000));
    EXPECT_EQ(ENOMEM, errno);
    EXPECT_NE(nullptr, p->hw_p);
    EXPECT_EQ(nullptr, p->sw_p);

    kb_fault(KB_FAULT_PCM_PREPARE, 5, 0, 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, negotiate(p, 1, 8000));
    EXPECT_EQ(EIO, errno);
    EXPECT_NE(nullptr, strstr(p->error, strerror(EIO))) << p->error;
    EXPECT_EQ(0, negotiate(p, 1, 8000)) << p->error;
    pcm_close(p);
}

TEST_F(PlatformPcm, WriteDeliversWholeFramesInOrder)
{
    kb_set_speed(0);
    struct pcm *p = open_ok("hw:0,1");
    ASSERT_NE(nullptr, p);
    p->channels = 1;
    ASSERT_EQ(0, negotiate(p, 2, 8000)) << p->error;  // the negotiated 4-byte frame wins
    auto data = pattern(10003);
    ASSERT_EQ(0, pcm_write(p, data.data(), static_cast<unsigned>(data.size()))) << p->error;
    std::vector<unsigned char> got(data.size());
    ASSERT_EQ(10000u, kb_pcm_played(1, 0, got.data(), got.size()));
    EXPECT_EQ(0, memcmp(data.data(), got.data(), 10000));
    EXPECT_EQ(0, pcm_write(p, data.data(), 3));  // less than one frame: nothing
    EXPECT_EQ(10000u, info_of(1, KB_PLAYBACK).bytes);
    EXPECT_EQ(0, p->underruns);
    pcm_close(p);
}

TEST_F(PlatformPcm, WriteRecoversFromUnderrunsAndReportsErrors)
{
    kb_set_speed(0);
    struct pcm *p = open_ok("hw:0,6");
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(0, negotiate(p, 1, 8000)) << p->error;
    auto data = pattern(4000);
    kb_fault(KB_FAULT_PCM_WRITE, 6, 1, 2, EPIPE);  // two underruns after one transfer
    ASSERT_EQ(0, pcm_write(p, data.data(), 2000)) << p->error;
    ASSERT_EQ(0, pcm_write(p, data.data() + 2000, 2000)) << p->error;
    EXPECT_EQ(2, p->underruns);
    EXPECT_EQ(3u, info_of(6, KB_PLAYBACK).prepares);
    std::vector<unsigned char> got(data.size());
    ASSERT_EQ(data.size(), kb_pcm_played(6, 0, got.data(), got.size()));
    EXPECT_EQ(data, got);

    // An underrun that never clears ends in a failure, not in a hang.
    kb_fault(KB_FAULT_PCM_WRITE, 6, 0, -1, EPIPE);
    errno = 0;
    EXPECT_EQ(-1, pcm_write(p, data.data(), 2000));
    EXPECT_EQ(EPIPE, errno);
    kb_fault(KB_FAULT_PCM_WRITE, 6, 0, 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, pcm_write(p, data.data(), 2000));
    EXPECT_EQ(EIO, errno);
    EXPECT_NE(nullptr, strstr(p->error, strerror(EIO))) << p->error;
    pcm_close(p);
}

TEST_F(PlatformPcm, RealUnderrunOnTheSampleClock)
{
    kb_set_speed(1.0);
    struct pcm *p = open_ok("hw:0,8");
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(0, negotiate(p, 1, 8000)) << p->error;
    unsigned buffer = info_of(8, KB_PLAYBACK).buffer_bytes;
    auto data = pattern(buffer);
    ASSERT_EQ(0, pcm_write(p, data.data(), buffer / 2)) << p->error;
    // Wait until everything queued must have been played out, then write on.
    ASSERT_EQ(0, kb_pcm_wait_played(8, buffer / 2, 10000));
    usleep(static_cast<useconds_t>(1e6 * buffer / 2 / 8000 + 100000));
    ASSERT_EQ(0, pcm_write(p, data.data(), buffer / 2)) << p->error;
    EXPECT_GE(p->underruns, 1);
    EXPECT_GE(info_of(8, KB_PLAYBACK).underruns, 1u);
    ASSERT_EQ(0, kb_pcm_wait_played(8, buffer, 10000));
    pcm_close(p);
}

TEST_F(PlatformPcm, ReadCapturesTheToneAndRecoversFromOverruns)
{
    kb_set_speed(0);
    kb_capture_tone(9, 1000, 8000);
    struct pcm *p = open_ok("hw:0,9", PCM_IN | PCM_MONO);
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(0, negotiate(p, 1, 8000)) << p->error;
    std::vector<int16_t> buf(320);
    ASSERT_EQ(0, pcm_read(p, buf.data(), 320 * 2)) << p->error;
    for (int n = 0; n < 320; ++n)
        ASSERT_EQ(static_cast<int16_t>(lrint(8000 * sin(2 * M_PI * 1000 * n / 8000.0))), buf[n]) << n;

    kb_fault(KB_FAULT_PCM_READ, 9, 0, 1, EPIPE);
    EXPECT_EQ(0, pcm_read(p, buf.data(), 320 * 2)) << p->error;
    EXPECT_EQ(1, p->underruns);
    // After the recovering PREPARE the tone starts again from sample 0.
    EXPECT_EQ(static_cast<int16_t>(lrint(8000 * sin(2 * M_PI * 1000 * 1 / 8000.0))), buf[1]);

    kb_fault(KB_FAULT_PCM_READ, 9, 0, 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, pcm_read(p, buf.data(), 320 * 2));
    EXPECT_EQ(EIO, errno);
    EXPECT_NE(nullptr, strstr(p->error, strerror(EIO))) << p->error;
    pcm_close(p);
    EXPECT_EQ(0, kb_open_fds());
}

}  // namespace
