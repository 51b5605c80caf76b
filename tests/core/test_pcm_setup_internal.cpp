// SPDX-License-Identifier: MIT
// Opening and configuring streams against the emulated sound card: what the
// device negotiated and what the stream record keeps, for each channel
// layout, direction and access; and a refused open, which closes the stream
// and says why. (Each board fault's messages: the fault matrix.)
#include <alsa_audio.h>

#include <tuple>

#include "ka_test.h"

#define KA_LOG_FILE "test"
#include "ka_internal.h"

namespace {

using ka_test::BoardTest;

using PcmSetup = BoardTest;

TEST_F(PcmSetup, NegotiatesLayoutDirectionAndAccess)
{
    struct Case {
        const char *dev;
        int board_dev;
        unsigned flags;
        int channels;
        unsigned rate;
        unsigned want_flags;  // the channel bits added
        unsigned access;
    };
    const unsigned rw = SNDRV_PCM_ACCESS_RW_INTERLEAVED;
    const Case cases[] = {
        {"hw:0,0", 0, 0, 1, 8000, 0x01000000u, rw},  // mono, as the player opens it
        {"hw:0,13", 13, 0, 2, 48000, 0, rw},
        {"hw:0,14", 14, 0, 4, 48000, 0x02000000u, rw},
        {"hw:0,16", 16, 0, 6, 48000, 0x04000000u, rw},
        {"audio_usb", KB_DEV_USB, 0, 8, 48000, 0x08000000u, rw},
        {"hw:0,0", 0, 0x10000000u, 1, 48000, 0x11000000u, rw},  // capture
        {"hw:0,0", 0, 0x00010000u, 2, 44100, 0x00010000u, SNDRV_PCM_ACCESS_MMAP_INTERLEAVED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.dev) + " flags " + std::to_string(c.flags));
        kb_reset();
        log.clear();
        struct pcm *p = __ka_pcm_open(c.dev, c.flags, c.channels, c.rate, SNDRV_PCM_FORMAT_S16_LE);
        ASSERT_NE(p, nullptr) << log.dump();
        const unsigned s16 = SNDRV_PCM_FORMAT_S16_LE, ch = c.channels;
        EXPECT_EQ(std::tuple(p->flags, p->channels, p->rate, p->format),
                  std::tuple(c.want_flags, ch, c.rate, s16));
        kb_pcm_stats info{};
        const int dir = (c.flags & 0x10000000u) ? KB_CAPTURE : KB_PLAYBACK;
        ASSERT_EQ(kb_pcm_get_stats(c.board_dev, dir, &info), 0);
        // Open once, prepared once, with what was asked for.
        EXPECT_EQ(std::tuple(info.open, info.prepares, info.access, info.format, info.channels, info.rate),
                  std::tuple(1, 1u, c.access, s16, ch, c.rate));
        // The stream record keeps what the device negotiated, in bytes.
        ASSERT_GT(p->period_size, 0u);
        EXPECT_EQ(std::tuple(p->period_size, p->buffer_size, p->period_cnt),
                  std::tuple(info.period_bytes, info.buffer_bytes, info.buffer_bytes / info.period_bytes));
        // Software parameters count 16-bit frames; the stop threshold is the
        // buffer's byte count as stored.
        EXPECT_EQ(std::tuple(info.avail_min, info.start_threshold, info.stop_threshold),
                  std::tuple(p->period_size / (2 * ch), p->period_size / (2 * ch), p->buffer_size));
        pcm_close(p);
        EXPECT_EQ(kb_open_fds(), 0);
    }
}

TEST_F(PcmSetup, RefusedOpenClosesTheStreamAndSaysWhy)
{
    // Three channels: no channel bit and CHANNELS 3; this card takes 1, 2, 4,
    // 6 or 8, so the open fails cleanly.
    EXPECT_EQ(__ka_pcm_open("hw:0,0", 0, 3, 8000, SNDRV_PCM_FORMAT_S16_LE), nullptr);
    EXPECT_EQ(kb_open_fds(), 0);
    // Unknown device name: the platform refuses the name itself.
    EXPECT_EQ(__ka_pcm_open("hw:zero", 0, 1, 8000, SNDRV_PCM_FORMAT_S16_LE), nullptr);
    // The error lines, in order, each "ka_lib_audio[<line>]:<text>" with the
    // empty tag.
    EXPECT_EQ(
        log.errors("ka_lib_audio"),
        (std::vector<std::string>{"cannot set hw params\n", "__ka_pcm_open:params setting failed\n",
                                  "__ka_pcm_open:PCM open failed\n", "__ka_pcm_open:PCM open failed\n"}));
}

}  // namespace
