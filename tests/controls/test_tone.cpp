// DTMF tone: the values written to the tone generator, the request limits,
// the route and the one tone stream on the board.
#include <thread>

#include "controls_test.h"
#include "ka_lib_audio.h"

using namespace ka_test;

namespace {

constexpr const char *kGenerator = "DTMF_Generate Rx Low High Duration Gain";

int open_on(int device)
{
    struct kb_pcm_info i {};
    kb_pcm_info(device, KB_PLAYBACK, &i);
    return i.open;
}

class Tone : public BoardTest {
    void TearDown() override { Ka_AudTone_Close(); }
};

}  // namespace

TEST_F(Tone, StartAndStopWriteLowHighDurationGain)
{
    const tone_param digit1 = {697, 1209, 100, 500}, limits = {100, 100, 1000, 0};
    EXPECT_EQ(0, Ka_AudTone_Start(99, &digit1));
    EXPECT_EQ(0, Ka_AudTone_Start(0, &limits));
    EXPECT_EQ(1, Ka_AudTone_Stop());
    EXPECT_EQ((std::vector<std::vector<long>>{{697, 1209, 500, 400}, {100, 100, 0, 4000}, {1000, 1000, 0, 100}}),
              writes_to(kGenerator));

    for (const tone_param &p : {tone_param{99, 1209, 100, 500}, {697, 99, 100, 500}, {697, 1209, 1001, 7}})
        EXPECT_EQ(-1, Ka_AudTone_Start(0, &p));
    EXPECT_EQ(-1, Ka_AudTone_Start(0, nullptr));
    EXPECT_EQ(1, lib_msg(log, kError, "wrong para input 697, 1209, 7, 1001\n\r"));
    EXPECT_EQ(1, lib_msg(log, kError, "para is invalid\n\r"));
    EXPECT_EQ(3u, writes_to(kGenerator).size());

    kb_fault(KB_FAULT_CTL_WRITE, -1, 0, -1, EIO);
    EXPECT_EQ(0, Ka_AudTone_Stop());
    EXPECT_EQ(0, Ka_AudTone_Start(0, &digit1));  // the mixer reports that failure
}

TEST_F(Tone, OpenKeepsOneStreamAndCloseReleasesIt)
{
    ASSERT_EQ(0, Ka_AudTone_Open(nullptr));
    EXPECT_EQ((std::vector<std::vector<long>>{{1}}), writes_to("SEC_AUX_PCM_RX_Voice Mixer DTMF"));
    EXPECT_EQ(1, open_on(7));
    EXPECT_EQ(1, lib_msg(log, kDebug, "open tone pcm\n\r"));
    // A second Open replaces the first stream instead of leaking it.
    ASSERT_EQ(0, Ka_AudTone_Open("hw:0,3"));
    EXPECT_EQ(0, open_on(7));
    EXPECT_EQ(1, open_on(3));
    Ka_AudTone_Close();
    EXPECT_EQ(0, kb_open_fds());
    log.clear();
    Ka_AudTone_Close();  // nothing open: nothing done
    EXPECT_TRUE(log.lines().empty());

    // Names of 40 characters or more fall back to hw:0,7; 39 are used as
    // given, and the platform cannot open this one.
    EXPECT_EQ(-1, Ka_AudTone_Open(("hw:0,3" + std::string(33, 'x')).c_str()));
    EXPECT_EQ(1, lib_msg(log, kError, "open pcm handle failed.\n"));
    EXPECT_EQ(0, kb_open_fds());
    ASSERT_EQ(0, Ka_AudTone_Open(("hw:0,3" + std::string(34, 'x')).c_str()));
    EXPECT_EQ(1, open_on(7));

    // A failed Open leaves no stream behind, the replaced one included.
    kb_fault(KB_FAULT_PCM_PREPARE, 7, 0, 1, EIO);
    EXPECT_EQ(-1, Ka_AudTone_Open(nullptr));
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(Tone, RacingOpensAndClosesLeaveNoStreamBehind)
{
    auto churn = [] {
        for (int i = 0; i < 50; ++i) {
            Ka_AudTone_Open(nullptr);
            Ka_AudTone_Close();
        }
    };
    std::thread a(churn), b(churn);
    churn();
    a.join();
    b.join();
    Ka_AudTone_Close();
    EXPECT_EQ(0, open_on(7));
    EXPECT_EQ(0, kb_open_fds());
}
