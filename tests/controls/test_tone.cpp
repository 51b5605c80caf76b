// DTMF tone: the values written to the tone generator, the request limits,
// the route and the one tone stream on the board.
#include "controls_test.h"
#include "ka_lib_audio.h"

using namespace ka_test;

namespace {

constexpr const char *kGenerator = "DTMF_Generate Rx Low High Duration Gain";

int open_on(int device)
{
    struct kb_pcm_info i {};
    return kb_pcm_info(device, KB_PLAYBACK, &i), i.open;
}

using Tone = BoardTest;

}  // namespace

TEST_F(Tone, StartAndStopWriteLowHighDurationGain)
{
    const tone_param digit1 = {697, 1209, 100, 500}, limits = {100, 100, 1000, 0};
    EXPECT_EQ(0, Ka_AudTone_Start(99, &digit1));
    EXPECT_EQ(0, Ka_AudTone_Start(0, &limits));
    EXPECT_EQ(1, Ka_AudTone_Stop());
    for (const tone_param &p : {tone_param{99, 1209, 100, 500}, {697, 99, 100, 500}, {697, 1209, 1001, 7}})
        EXPECT_EQ(-1, Ka_AudTone_Start(0, &p));
    EXPECT_EQ((std::vector<std::vector<long>>{{697, 1209, 500, 400}, {100, 100, 0, 4000}, {1000, 1000, 0, 100}}),
              writes_to(kGenerator));
}

TEST_F(Tone, OpenKeepsOneStreamAndCloseReleasesIt)
{
    ASSERT_EQ(0, Ka_AudTone_Open(nullptr));
    EXPECT_EQ((std::vector<std::vector<long>>{{1}}), writes_to("SEC_AUX_PCM_RX_Voice Mixer DTMF"));
    EXPECT_EQ(1, open_on(7));
    // A second Open replaces the first stream instead of leaking it.
    ASSERT_EQ(0, Ka_AudTone_Open("hw:0,3"));
    EXPECT_EQ(0, open_on(7));
    EXPECT_EQ(1, open_on(3));
    Ka_AudTone_Close();
    EXPECT_EQ(0, kb_open_fds());
    ASSERT_EQ(0, Ka_AudTone_Open(nullptr));
    // A failed Open leaves no stream behind, the replaced one included.
    kb_fault(KB_FAULT_PCM_PREPARE, 7, 0, 1, EIO);
    EXPECT_EQ(-1, Ka_AudTone_Open(nullptr));
    EXPECT_EQ(0, kb_open_fds());
}
