// Opening and configuring streams against the emulated sound card: what the
// device negotiated, what the stream record keeps, and every failure path
// with its messages and nothing left open.
#include <alsa_audio.h>
#include <errno.h>

#include "ka_test.h"

#define KA_LOG_FILE "test"
#include "ka_internal.h"

namespace {

using ka_test::BoardTest;

class PcmSetup : public BoardTest {};

TEST_F(PcmSetup, MonoPlaybackAsThePlayerOpensIt)
{
    struct pcm *p = __ka_pcm_open("hw:0,0", 0, 1, 8000, SNDRV_PCM_FORMAT_S16_LE);
    ASSERT_NE(p, nullptr) << log.dump();
    EXPECT_EQ(p->flags, 0x01000000u);
    EXPECT_EQ(p->channels, 1u);
    EXPECT_EQ(p->rate, 8000u);
    EXPECT_EQ(p->format, static_cast<unsigned>(SNDRV_PCM_FORMAT_S16_LE));

    struct kb_pcm_info info{};
    ASSERT_EQ(kb_pcm_info(0, KB_PLAYBACK, &info), 0);
    EXPECT_EQ(info.open, 1);
    EXPECT_EQ(info.access, static_cast<unsigned>(SNDRV_PCM_ACCESS_RW_INTERLEAVED));
    EXPECT_EQ(info.format, static_cast<unsigned>(SNDRV_PCM_FORMAT_S16_LE));
    EXPECT_EQ(info.channels, 1u);
    EXPECT_EQ(info.rate, 8000u);
    EXPECT_EQ(info.prepares, 1u);
    // The stream record keeps what the device negotiated, in bytes.
    EXPECT_EQ(p->period_size, info.period_bytes);
    EXPECT_EQ(p->buffer_size, info.buffer_bytes);
    ASSERT_GT(p->period_size, 0u);
    EXPECT_EQ(p->period_cnt, p->buffer_size / p->period_size);
    // Software parameters count 2-byte mono frames; the stop threshold is
    // the buffer's byte count as stored.
    EXPECT_EQ(info.avail_min, p->period_size / 2);
    EXPECT_EQ(info.start_threshold, p->period_size / 2);
    EXPECT_EQ(info.stop_threshold, p->buffer_size);

    EXPECT_EQ(log.count("__ka_pcm_setParams, "), 1);
    pcm_close(p);
    EXPECT_EQ(kb_open_fds(), 0);
}

TEST_F(PcmSetup, ChannelBitsFramesAndDirection)
{
    struct Case {
        const char *dev;
        int board_dev;
        unsigned flags;
        int channels;
        unsigned want_flags;
        unsigned frame_bytes;
    };
    const Case cases[] = {
        {"hw:0,13", 13, 0, 2, 0, 4},
        {"hw:0,14", 14, 0, 4, 0x02000000u, 8},
        {"hw:0,16", 16, 0, 6, 0x04000000u, 12},
        {"audio_usb", KB_DEV_USB, 0, 8, 0x08000000u, 16},
        {"hw:0,0", 0, 0x10000000u, 1, 0x11000000u, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dev);
        struct pcm *p = __ka_pcm_open(c.dev, c.flags, c.channels, 48000, SNDRV_PCM_FORMAT_S16_LE);
        ASSERT_NE(p, nullptr) << log.dump();
        EXPECT_EQ(p->flags, c.want_flags);
        struct kb_pcm_info info{};
        const int dir = (c.flags & 0x10000000u) ? KB_CAPTURE : KB_PLAYBACK;
        ASSERT_EQ(kb_pcm_info(c.board_dev, dir, &info), 0);
        EXPECT_EQ(info.open, 1);
        EXPECT_EQ(info.channels, static_cast<unsigned>(c.channels));
        EXPECT_EQ(info.rate, 48000u);
        EXPECT_EQ(info.avail_min, p->period_size / c.frame_bytes);
        pcm_close(p);
    }
    EXPECT_EQ(kb_open_fds(), 0);
}

TEST_F(PcmSetup, MemoryMappedAccessFlag)
{
    struct pcm *p = __ka_pcm_open("hw:0,0", 0x00010000u, 2, 44100, SNDRV_PCM_FORMAT_S16_LE);
    ASSERT_NE(p, nullptr) << log.dump();
    struct kb_pcm_info info{};
    ASSERT_EQ(kb_pcm_info(0, KB_PLAYBACK, &info), 0);
    EXPECT_EQ(info.access, static_cast<unsigned>(SNDRV_PCM_ACCESS_MMAP_INTERLEAVED));
    pcm_close(p);
}

TEST_F(PcmSetup, EveryFailureClosesTheStreamAndSaysWhy)
{
    struct Case {
        enum kb_fault fault;
        std::vector<std::string> lines;
    };
    const std::string failed = "ka_lib_audio[";
    const Case cases[] = {
        {KB_FAULT_PCM_OPEN, {"__ka_pcm_open:PCM open failed\n"}},
        {KB_FAULT_PCM_READY, {"__ka_pcm_open:PCM open failed\n"}},
        {KB_FAULT_PCM_HW_PARAMS,
         {"cannot set hw params\n", "__ka_pcm_open:params setting failed\n", "__ka_pcm_open:PCM open failed\n"}},
        {KB_FAULT_PCM_SW_PARAMS,
         {"cannot set sw params", "__ka_pcm_open:params setting failed\n", "__ka_pcm_open:PCM open failed\n"}},
        {KB_FAULT_PCM_PREPARE, {"__ka_pcm_open:Failed in pcm_prepare\n", "__ka_pcm_open:PCM open failed\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        kb_reset();
        log.clear();
        kb_fault(c.fault, -1, 0, 1, EIO);
        EXPECT_EQ(__ka_pcm_open("hw:0,0", 0, 1, 8000, SNDRV_PCM_FORMAT_S16_LE), nullptr);
        EXPECT_EQ(kb_fault_hits(c.fault), 1);
        EXPECT_EQ(kb_open_fds(), 0);
        // The error lines, in order, each "ka_lib_audio[<line>]:<text>" at
        // priority 6 with the empty tag.
        std::vector<std::string> errors;
        for (const auto &l : log.lines()) {
            if (l.prio != ANDROID_LOG_ERROR) continue;
            EXPECT_EQ(l.tag, "");
            ASSERT_EQ(l.text.rfind(failed, 0), 0u) << l.text;
            errors.push_back(l.text.substr(l.text.find("]:") + 2));
        }
        EXPECT_EQ(errors, c.lines);
    }
}

TEST_F(PcmSetup, ChannelCountTheCardRefuses)
{
    // Three channels: no channel bit and CHANNELS 3; this card takes 1, 2, 4,
    // 6 or 8, so the open fails cleanly.
    EXPECT_EQ(__ka_pcm_open("hw:0,0", 0, 3, 8000, SNDRV_PCM_FORMAT_S16_LE), nullptr);
    EXPECT_EQ(log.count("params setting failed"), 1);
    EXPECT_EQ(kb_open_fds(), 0);
    // Unknown device name: the platform refuses the name itself.
    EXPECT_EQ(__ka_pcm_open("hw:zero", 0, 1, 8000, SNDRV_PCM_FORMAT_S16_LE), nullptr);
    EXPECT_EQ(log.count("__ka_pcm_open:PCM open failed\n"), 2);
}

}  // namespace
