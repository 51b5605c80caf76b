// PCM streams of the simple family: opens with and without the hostless
// start, the parameter setups of each direction, pass-through transfers, and
// every failure of the open leaving nothing behind.
#include <alsa_audio.h>
#include <errno.h>

#include <string>
#include <vector>

#include "ka_lib_audio.h"
#include "ka_test.h"
#include "stderr_capture.h"

using namespace ka_test;

namespace {

constexpr int kDevNo = 2;
constexpr const char *kDev = "hw:0,2";

struct kb_pcm_info info(int dir, int device = kDevNo)
{
    struct kb_pcm_info i{};
    kb_pcm_info(device, dir, &i);
    return i;
}

std::string progress(unsigned flags, int rate, int ch, int hostless, const char *dev = kDev)
{
    char buf[256];
    snprintf(buf, sizeof buf,
             "mova_pcm_open, device: %s, flag: 0x%x, rate: %d, channel: %d, format: 2, hostless: %d.\n", dev, flags,
             rate, ch, hostless);
    return buf;
}

using Hostless = BoardTest;

}  // namespace

TEST_F(Hostless, StartedAtOnceOnlyWhenHostless)
{
    const struct {
        unsigned flags;
        int dir;
    } streams[] = {{PCM_IN | PCM_MONO, KB_CAPTURE}, {PCM_MONO, KB_PLAYBACK}};
    for (const auto &s : streams) {
        for (int hostless : {0, 1}) {
            kb_reset();
            StderrCapture err;
            struct pcm *pcm = mova_pcm_open(kDev, s.flags, 8000, 1, SNDRV_PCM_FORMAT_S16_LE, hostless);
            ASSERT_NE(nullptr, pcm) << s.dir << "/" << hostless << ": " << err.text();
            const struct kb_pcm_info i = info(s.dir);
            EXPECT_EQ(1, i.open);
            EXPECT_EQ(1u, i.prepares);
            EXPECT_EQ(static_cast<unsigned>(hostless), i.starts) << s.dir;
            EXPECT_EQ(i.period_bytes, mova_get_pem_buffer_len(pcm));
            EXPECT_EQ(0u, i.transfers);
            const std::string expect = progress(s.flags, 8000, 1, hostless) +
                                       "mova_pcm_open, device: hw:0,2, open pcm sucess\n";
            EXPECT_EQ(expect, err.text());

            EXPECT_EQ(0, mova_pcm_close(pcm));
            EXPECT_EQ(0, info(s.dir).open);
            EXPECT_TRUE(err.has("mova_pcm_close \n"));
            EXPECT_EQ(0, kb_open_fds());
        }
    }
}

TEST_F(Hostless, EachDirectionUsesItsOwnSetup)
{
    StderrCapture err;
    // Playback, mono flag: frames of 2 bytes, starts after one period.
    struct pcm *out = mova_pcm_open(kDev, PCM_MONO, 16000, 1, SNDRV_PCM_FORMAT_S16_LE, 0);
    ASSERT_NE(nullptr, out) << err.text();
    struct kb_pcm_info i = info(KB_PLAYBACK);
    EXPECT_EQ(16000u, i.rate);
    EXPECT_EQ(i.period_bytes / 2, i.avail_min);
    EXPECT_EQ(i.period_bytes / 2, i.start_threshold);
    EXPECT_EQ(i.buffer_bytes, i.stop_threshold);
    EXPECT_EQ(i.period_bytes, out->period_size);
    EXPECT_EQ(i.buffer_bytes / i.period_bytes, out->period_cnt);

    // Capture, four-channel flag: frames of 8 bytes, starts at once, never
    // stops on its own.
    struct pcm *in = mova_pcm_open(kDev, PCM_IN | PCM_QUAD, 8000, 4, SNDRV_PCM_FORMAT_S16_LE, 0);
    ASSERT_NE(nullptr, in) << err.text();
    i = info(KB_CAPTURE);
    EXPECT_EQ(4u, i.channels);
    EXPECT_EQ(i.period_bytes / 8, i.avail_min);
    EXPECT_EQ(1u, i.start_threshold);
    EXPECT_EQ(0x7FFFFFFFu, i.stop_threshold);

    // Transfers pass straight through.
    const unsigned period = mova_get_pem_buffer_len(out);
    std::vector<unsigned char> data(period);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<unsigned char>(k * 7 + 1);
    EXPECT_EQ(0, mova_write_pcm(out, data.data(), period));
    std::vector<unsigned char> got(period);
    EXPECT_EQ(period, kb_pcm_played(kDevNo, 0, got.data(), got.size()));
    EXPECT_EQ(data, got);

    kb_capture_tone(kDevNo, 1000, 8000);
    std::vector<unsigned char> captured(mova_get_pem_buffer_len(in), 0);
    EXPECT_EQ(0, mova_read_pcm(in, captured.data(), static_cast<unsigned>(captured.size())));
    EXPECT_NE(std::vector<unsigned char>(captured.size(), 0), captured);

    EXPECT_EQ(0, mova_pcm_close(out));
    EXPECT_EQ(0, mova_pcm_close(in));
    EXPECT_EQ(0, kb_open_fds());
    // Nothing to act on: refused, not a crash.
    EXPECT_LT(mova_pcm_close(nullptr), 0);
    EXPECT_LT(mova_write_pcm(nullptr, data.data(), period), 0);
    EXPECT_EQ(0u, mova_get_pem_buffer_len(nullptr));
}

TEST_F(Hostless, EveryFailedOpenReturnsNullWithNothingOpen)
{
    const struct {
        enum kb_fault fault;
        unsigned flags;
        const char *message;
    } cases[] = {
        {KB_FAULT_PCM_OPEN, PCM_IN, "mova_pcm_open, device: hw:0,2, pcm is not ready\n"},
        {KB_FAULT_PCM_READY, 0, "mova_pcm_open, device: hw:0,2, pcm is not ready\n"},
        {KB_FAULT_PCM_HW_PARAMS, PCM_IN,
         "mova_record_set_params:cannot set hw paramsmova_pcm_open, device: hw:0,2, pcm in  params setting failed\n"},
        {KB_FAULT_PCM_HW_PARAMS, 0,
         "cannot set hw params\nmova_pcm_open, device: hw:0,2, pcm out params setting failed\n"},
        {KB_FAULT_PCM_SW_PARAMS, PCM_IN,
         "mova_record_set_params:cannot set sw paramsmova_pcm_open, device: hw:0,2, pcm in  params setting failed\n"},
        {KB_FAULT_PCM_SW_PARAMS, 0,
         "cannot set sw paramsmova_pcm_open, device: hw:0,2, pcm out params setting failed\n"},
        {KB_FAULT_PCM_PREPARE, PCM_IN, "mova_pcm_open, device: hw:0,2, Failed in pcm_prepare\n"},
        {KB_FAULT_PCM_START, PCM_IN, "mova_pcm_open, device: hw:0,2, Hostless IOCTL_START Error no 5 \n"},
        {KB_FAULT_PCM_START, 0, "mova_pcm_open, device: hw:0,2, Hostless IOCTL_START Error no 5 \n"},
    };
    for (const auto &c : cases) {
        kb_reset();
        StderrCapture err;
        kb_fault(c.fault, kDevNo, 0, -1, EIO);
        EXPECT_EQ(nullptr, mova_pcm_open(kDev, c.flags, 8000, 2, SNDRV_PCM_FORMAT_S16_LE, 1)) << c.fault;
        // The progress line comes first, the reason last.
        EXPECT_EQ(progress(c.flags, 8000, 2, 1) + c.message, err.text()) << c.fault;
        EXPECT_EQ(0, kb_open_fds()) << c.fault;
        EXPECT_EQ(0, info(KB_CAPTURE).open + info(KB_PLAYBACK).open) << c.fault;
    }
    StderrCapture err;
    EXPECT_EQ(nullptr, mova_pcm_open(nullptr, 0, 8000, 2, SNDRV_PCM_FORMAT_S16_LE, 0));
    EXPECT_TRUE(err.has("mova_pcm_open, device: NULL, pcm is not ready\n"));
}
