// SPDX-License-Identifier: MIT
// The simple family: the blocking file player (whole chunks of one period,
// the play flag across start, stop, failures and normal ends, a short prompt
// heard whole, the WAV header checks) and its PCM streams (the hostless
// start, and failed opens that leave nothing open).
#include <alsa_audio.h>
#include <fcntl.h>

#include <fstream>

#include "../player/player_test.h"
#include "stderr_capture.h"

using namespace ka_test;
using player_test::pattern;
using player_test::played;
using player_test::transfers;
using bytes = std::vector<unsigned char>;

namespace {

constexpr const char *kDev = "hw:0,1";

std::string write_file(const std::string &name, const bytes &data)
{
    const std::string path = temp_dir() + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    return path;
}

int play(const std::string &path, uint32_t data_sz)
{
    const int fd = open(path.c_str(), O_RDONLY), rc = mova_play_file(8000, 1, fd, 0, kDev, data_sz);
    return close(fd), rc;
}

class SimplePlayer : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        // The chunk is the period the playback setup negotiates for the layout.
        struct pcm *pcm = mova_pcm_open("hw:0,9", PCM_MONO, 8000, 1, SNDRV_PCM_FORMAT_S16_LE, 0);
        ASSERT_NE(nullptr, pcm);
        period = mova_get_pem_buffer_len(pcm);
        mova_pcm_close(pcm);
        kb_reset();
    }
    void TearDown() override { mova_stop_play_file(); }
    StderrCapture err;
    unsigned period = 0;
};

}  // namespace

TEST_F(SimplePlayer, FlagStateMachineAndWholeChunksOfOnePeriod)
{
    const std::string path = write_file("flag.raw", pattern(100, 1));
    EXPECT_EQ(0, mova_start_play_file());
    EXPECT_EQ(-ENOMEM, mova_start_play_wav_file());
    EXPECT_EQ(0, play(path, 100));
    EXPECT_EQ(-ENOMEM, mova_start_play_file());  // a normal end leaves the flag set
    // A failing play clears it, closes the stream and hands on the refused
    // call's error. (The result of each fault with EIO: the fault matrix.)
    kb_fault(KB_FAULT_PCM_PREPARE, -1, 0, 1, EPERM);
    EXPECT_EQ(-EPERM, play(path, 100));
    EXPECT_EQ(0, kb_open_fds());
    EXPECT_EQ(0, mova_start_play_file());
    mova_stop_play_wav_file();

    // With the flag clear a play reads one chunk, writes nothing, returns 0.
    kb_reset();
    EXPECT_EQ(0, play(path, 100));
    EXPECT_TRUE(transfers(1).empty());

    // Whole chunks of one period.
    kb_reset();
    ASSERT_GT(period, 40u);
    bytes data = pattern(2 * period + 40, 1);
    const std::string chunks = write_file("end.raw", data);
    mova_start_play_file();

    // At the end of the file the last chunk is filled with zeros.
    EXPECT_EQ(0, play(chunks, static_cast<uint32_t>(data.size())));
    EXPECT_EQ((std::vector<unsigned>{period, period, period}), transfers(1));
    data.resize(3 * period, 0);
    EXPECT_EQ(data, played(1));

    // A size below the period makes the chunk smaller; 0 plays nothing;
    // 0xFFFFFFFF counts as -1 remaining after the first chunk.
    for (uint32_t size : {30u, 0u, 0xFFFFFFFFu}) {
        kb_reset();
        EXPECT_EQ(0, play(chunks, size));
        EXPECT_EQ(size == 0 ? std::vector<unsigned>{} : std::vector<unsigned>{std::min(size, period)},
                  transfers(1));
    }
}

// A prompt shorter than the device's buffer, played at the sample clock (on
// the board's default geometry, and in the second run on a 500 ms buffer of
// 10 ms periods), is played out whole before the stream closes, also one
// shorter than a period (which never reaches the start threshold); nothing
// is dropped.
TEST_F(SimplePlayer, ShortPromptIsPlayedOutWhole)
{
    for (const size_t frames : {600u, 50u}) {
        SCOPED_TRACE(frames);
        kb_reset();
        kb_set_speed(1);
        const bytes prompt = pattern(2 * frames, 3);
        mova_start_play_file();
        EXPECT_EQ(0, play(write_file("prompt.raw", prompt), static_cast<uint32_t>(prompt.size())));
        mova_stop_play_file();
        const bytes out = player_test::played_out(1);
        bytes heard = prompt;
        heard.resize(std::max(out.size(), prompt.size()), 0);  // then silence
        EXPECT_TRUE(out == heard) << "played out " << out.size() << " bytes";
        EXPECT_EQ(0u, pcm_info(1).dropped_frames);
    }
    // A stop while the device plays out the end (long enough to catch in a
    // 500 ms buffer) is no natural end: the play returns at once and what the
    // device still holds is dropped.
    if (env_long("KA_BOARD_BUFFER_MS", 0) < 500) return;
    const bytes prompt = pattern(4000, 5);
    mova_start_play_file();
    std::thread stopper([] {
        player_test::eventually([] { return kb_pcm_state(1, KB_PLAYBACK) == SNDRV_PCM_STATE_DRAINING; });
        mova_stop_play_file();
    });
    EXPECT_EQ(0, play(write_file("stopped.raw", prompt), static_cast<uint32_t>(prompt.size())));
    stopper.join();
    EXPECT_GT(pcm_info(1).dropped_frames, 0u);
}

TEST_F(SimplePlayer, WavHeadersAreCheckedBeforePlaying)
{
    const int free_fd = dup(2);  // the lowest free descriptor; a leak would take it
    close(free_fd);
    // Mono, 8000 Hz, 16 bits; the data chunk's tag is not looked at.
    bytes data = pattern(period + 10, 1),
          good = {'R', 'I', 'F', 'F', 0, 0, 0,  0, 'W', 'A', 'V',  'E',  'f', 'm',
                  't', ' ', 16,  0,   0, 0, 1,  0, 1,   0,   0x40, 0x1F, 0,   0,
                  0,   0,   0,   0,   0, 0, 16, 0, 'L', 'I', 'S',  'T'};
    for (int i = 0; i < 4; ++i) good.push_back(static_cast<unsigned char>(data.size() >> (8 * i)));
    good.insert(good.end(), data.begin(), data.end());
    mova_start_play_wav_file();
    EXPECT_EQ(0, mova_play_wav_file(kDev, write_file("ok.wav", good).c_str()));
    data.resize(2 * period, 0);
    EXPECT_EQ(data, played(1));

    kb_reset();
    const std::string riff = "is not a riff/wave file", pcm = "is not pcm format",
                      bits = "is not 16bit per sample";
    for (auto [at, byte, complaint] : {std::tuple{3, 'X', riff},
                                       {11, 'X', riff},
                                       {15, '_', riff},
                                       {16, char(18), pcm},
                                       {20, char(3), pcm},
                                       {34, char(8), bits}}) {
        bytes b = good;
        b[size_t(at)] = static_cast<unsigned char>(byte);
        const std::string path = write_file("bad" + std::to_string(at) + ".wav", b);
        EXPECT_EQ(-EINVAL, mova_play_wav_file(kDev, path.c_str())) << at;
        EXPECT_TRUE(err.has("mova_play_wav_file: '" + path + "' " + complaint + "\n")) << at;
    }
    EXPECT_LT(
        mova_play_wav_file(kDev, write_file("short.wav", bytes(good.begin(), good.begin() + 20)).c_str()), 0);
    EXPECT_EQ(-1, mova_play_wav_file(kDev, "/nonexistent/x.wav"));
    EXPECT_TRUE(transfers(1).empty());
    const int still_free = dup(2);
    close(still_free);
    EXPECT_EQ(free_fd, still_free);
    EXPECT_EQ(-ENOMEM, mova_start_play_file());  // header failures leave the flag alone
}

TEST_F(SimplePlayer, HostlessStreamStartedOnlyWhenHostlessAndFailuresLeaveNothingOpen)
{
    const std::string dev = "mova_pcm_open, device: hw:0,2, ", ok = dev + "open pcm sucess\n";
    // Flags, hostless, the last line said. (A start that fails otherwise:
    // the fault matrix.)
    for (auto [flags, hostless, said] : {std::tuple{PCM_IN, 0, ok},
                                         {PCM_IN, 1, ok},
                                         {0u, 0, ok},
                                         // Nothing queued: the start would underrun at once (EPIPE).
                                         {0u, 1, dev + "Hostless IOCTL_START Error no 32 \n"},
                                         {PCM_IN | PCM_QUAD, 0, ok},
                                         {PCM_MONO, 0, ok}}) {
        kb_reset();
        StderrCapture out;
        struct pcm *pcm = mova_pcm_open("hw:0,2", flags, 8000, 2, SNDRV_PCM_FORMAT_S16_LE, hostless);
        char progress[128];
        snprintf(progress, sizeof progress, "flag: 0x%x, rate: 8000, channel: 2, format: 2, hostless: %d.\n",
                 flags, hostless);
        EXPECT_EQ(dev + progress + said, out.text()) << flags;  // progress first, outcome last
        EXPECT_EQ(said == ok, pcm != nullptr) << flags;
        if (pcm) {
            const kb_pcm_stats i = pcm_info(2, flags & PCM_IN ? KB_CAPTURE : KB_PLAYBACK);
            EXPECT_EQ(1u, i.prepares);
            EXPECT_EQ(static_cast<unsigned>(hostless), i.starts) << flags;
            EXPECT_EQ(i.period_bytes, mova_get_pem_buffer_len(pcm));
            // A period in frames of the channels the flags name (capture
            // knows four, both directions one; else two), 16 bits each.
            const unsigned ch = flags & PCM_MONO ? 1 : flags & PCM_QUAD ? 4 : 2;
            EXPECT_EQ(i.avail_min, i.period_bytes / (2 * ch)) << flags;
            EXPECT_EQ(0, mova_pcm_close(pcm));
        }
        EXPECT_EQ(0, kb_open_fds()) << flags;
    }
    EXPECT_EQ(nullptr, mova_pcm_open(nullptr, 0, 8000, 2, SNDRV_PCM_FORMAT_S16_LE, 0));
}
