// SPDX-License-Identifier: MIT
// The application's test: libka_board, linked into this program before
// libc, is the module; louder_echo() runs on it unchanged. The test chooses
// what the microphone hears and which calls fail, then reads what the
// speaker's device played and which routes were set.
#include <errno.h>
#include <gtest/gtest.h>
#include <ka_board.h>
#include <math.h>

#include <algorithm>
#include <string>
#include <vector>

#include "louder.h"

namespace {

struct Case {
    double amplitude;  // of the microphone's 440 Hz tone
    int gain;
};

class Louder : public testing::TestWithParam<Case> {
protected:
    void SetUp() override { kb_reset(); }  // defaults: the clock as fast as the program goes
};

TEST_P(Louder, PlaysWhatTheMicrophoneHeardLouderOnTheSpeaker)
{
    const Case c = GetParam();
    kb_capture_tone(0, 440, c.amplitude);
    ASSERT_EQ(0, louder_echo(1000, c.gain));

    kb_pcm_stats speaker{};
    ASSERT_EQ(0, kb_pcm_get_stats(0, KB_PLAYBACK, &speaker));
    EXPECT_EQ((std::vector<unsigned>{2 /* S16_LE */, LOUDER_RATE, 1}),
              (std::vector<unsigned>{speaker.format, speaker.rate, speaker.channels}));
    std::vector<int16_t> played(LOUDER_RATE);
    // What the speaker sounded (at the unlimited clock of kb_reset() it is
    // everything the application wrote; at the sample clock, what the device
    // played out before the application closed it).
    ASSERT_EQ(played.size() * 2, kb_pcm_played_out(0, 0, played.data(), played.size() * 2));
    for (unsigned n = 0; n < played.size(); ++n) {
        // The board's tone, as ka_board.h gives it, times the gain.
        const long heard = lrint(c.amplitude * sin(2 * M_PI * 440 * n / LOUDER_RATE));
        ASSERT_EQ(std::clamp(heard * c.gain, -32768L, 32767L), played[n]) << "sample " << n;
    }

    std::vector<kb_ctl_write> writes(16);
    writes.resize(std::min(writes.size(), kb_ctl_writes(writes.data(), writes.size())));
    std::vector<std::string> routes;
    for (const auto &w : writes) routes.push_back(std::string(w.name) + "=" + std::to_string(w.values[0]));
    EXPECT_EQ((std::vector<std::string>{
                  "MultiMedia1 Mixer SEC_AUX_PCM_UL_TX=1", "MultiMedia1 Mixer SEC_AUX_PCM_UL_TX=0",
                  "SEC_AUX_PCM_RX Audio Mixer MultiMedia1=1", "SEC_AUX_PCM_RX Audio Mixer MultiMedia1=0"}),
              routes);
}

// Twice as loud; twice as loud, clipped at full scale; as heard.
INSTANTIATE_TEST_SUITE_P(Gains, Louder, testing::Values(Case{4000, 2}, Case{20000, 2}, Case{8000, 1}));

TEST(LouderFaults, PlaysNothingWhenTheMicrophoneCannotOpen)
{
    kb_reset();
    kb_fault(KB_FAULT_PCM_OPEN, 0, 0, 1, EBUSY);
    EXPECT_EQ(-1, louder_echo(1000, 2));
    kb_pcm_stats speaker{};
    ASSERT_EQ(0, kb_pcm_get_stats(0, KB_PLAYBACK, &speaker));
    EXPECT_EQ(0u, speaker.opens);
}

}  // namespace
