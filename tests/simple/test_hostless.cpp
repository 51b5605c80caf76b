// PCM streams of the simple family: the hostless start, the setup of each
// direction, and failed opens that leave nothing open.
#include <alsa_audio.h>

#include "ka_lib_audio.h"
#include "ka_test.h"
#include "stderr_capture.h"

using namespace ka_test;

namespace {

struct kb_pcm_info info(int dir)
{
    struct kb_pcm_info i {};
    kb_pcm_info(2, dir, &i);
    return i;
}

struct pcm *open2(unsigned flags, int ch, int hostless)
{
    return mova_pcm_open("hw:0,2", flags, 8000, ch, SNDRV_PCM_FORMAT_S16_LE, hostless);
}

const std::string kDev = "mova_pcm_open, device: hw:0,2, ";

std::string progress(unsigned flags, int ch, int hostless)
{
    char buf[128];
    snprintf(buf, sizeof buf, "flag: 0x%x, rate: 8000, channel: %d, format: 2, hostless: %d.\n", flags, ch, hostless);
    return kDev + buf;
}

using Hostless = BoardTest;

}  // namespace

TEST_F(Hostless, StartedAtOnceOnlyWhenHostless)
{
    for (unsigned flags : {PCM_IN | PCM_MONO, PCM_MONO}) {
        const int dir = (flags & PCM_IN) ? KB_CAPTURE : KB_PLAYBACK;
        for (int hostless : {0, 1}) {
            kb_reset();
            StderrCapture err;
            struct pcm *pcm = open2(flags, 1, hostless);
            ASSERT_NE(nullptr, pcm) << err.text();
            const struct kb_pcm_info i = info(dir);
            EXPECT_EQ(1u, i.prepares);
            EXPECT_EQ(static_cast<unsigned>(hostless), i.starts) << dir;
            EXPECT_EQ(i.period_bytes, mova_get_pem_buffer_len(pcm));
            EXPECT_EQ(progress(flags, 1, hostless) + kDev + "open pcm sucess\n", err.text());
            EXPECT_EQ(0, mova_pcm_close(pcm));
            EXPECT_TRUE(err.has("mova_pcm_close \n"));
            EXPECT_EQ(0, kb_open_fds());
        }
    }
}

TEST_F(Hostless, EachDirectionHasItsOwnSetup)
{
    StderrCapture err;
    // Playback, mono flag: frames of 2 bytes; starts after one period.
    struct pcm *out = open2(PCM_MONO, 1, 0);
    ASSERT_NE(nullptr, out);
    struct kb_pcm_info i = info(KB_PLAYBACK);
    EXPECT_EQ(i.period_bytes / 2, i.avail_min);
    EXPECT_EQ(i.period_bytes / 2, i.start_threshold);
    EXPECT_EQ(i.buffer_bytes, i.stop_threshold);
    EXPECT_EQ(i.buffer_bytes / i.period_bytes, out->period_cnt);
    // Capture, four-channel flag: frames of 8 bytes; starts at once and
    // never stops on its own.
    struct pcm *in = open2(PCM_IN | PCM_QUAD, 4, 0);
    ASSERT_NE(nullptr, in);
    i = info(KB_CAPTURE);
    EXPECT_EQ(i.period_bytes / 8, i.avail_min);
    EXPECT_EQ(1u, i.start_threshold);
    EXPECT_EQ(0x7FFFFFFFu, i.stop_threshold);

    std::vector<unsigned char> data(mova_get_pem_buffer_len(out), 0x5A), got(data.size());
    EXPECT_EQ(0, mova_write_pcm(out, data.data(), static_cast<unsigned>(data.size())));
    EXPECT_EQ(data.size(), kb_pcm_played(2, 0, got.data(), got.size()));
    EXPECT_EQ(data, got);
    EXPECT_EQ(0, mova_read_pcm(in, data.data(), static_cast<unsigned>(data.size())));
    EXPECT_EQ(0, mova_pcm_close(out) + mova_pcm_close(in));
    EXPECT_EQ(0, kb_open_fds());
    EXPECT_LT(mova_pcm_close(nullptr), 0);  // refused, not a crash
}

TEST_F(Hostless, FailedOpensReturnNullWithNothingOpen)
{
    const std::string rec = "mova_record_set_params:";
    const struct {
        enum kb_fault fault;
        unsigned flags;
        std::string message;
    } cases[] = {
        {KB_FAULT_PCM_OPEN, PCM_IN, kDev + "pcm is not ready\n"},
        {KB_FAULT_PCM_READY, 0, kDev + "pcm is not ready\n"},
        {KB_FAULT_PCM_HW_PARAMS, PCM_IN, rec + "cannot set hw params" + kDev + "pcm in  params setting failed\n"},
        {KB_FAULT_PCM_HW_PARAMS, 0, "cannot set hw params\n" + kDev + "pcm out params setting failed\n"},
        {KB_FAULT_PCM_SW_PARAMS, PCM_IN, rec + "cannot set sw params" + kDev + "pcm in  params setting failed\n"},
        {KB_FAULT_PCM_SW_PARAMS, 0, "cannot set sw params" + kDev + "pcm out params setting failed\n"},
        {KB_FAULT_PCM_PREPARE, PCM_IN, kDev + "Failed in pcm_prepare\n"},
        {KB_FAULT_PCM_START, PCM_IN, kDev + "Hostless IOCTL_START Error no 5 \n"},
        {KB_FAULT_PCM_START, 0, kDev + "Hostless IOCTL_START Error no 5 \n"},
    };
    for (const auto &c : cases) {
        kb_reset();
        StderrCapture err;
        kb_fault(c.fault, 2, 0, -1, EIO);
        EXPECT_EQ(nullptr, open2(c.flags, 2, 1)) << c.fault;
        EXPECT_EQ(progress(c.flags, 2, 1) + c.message, err.text()) << c.fault;  // progress first, reason last
        EXPECT_EQ(0, kb_open_fds()) << c.fault;
    }
    StderrCapture err;
    EXPECT_EQ(nullptr, mova_pcm_open(nullptr, 0, 8000, 2, SNDRV_PCM_FORMAT_S16_LE, 0));
    EXPECT_TRUE(err.has("mova_pcm_open, device: NULL, pcm is not ready\n"));
}
