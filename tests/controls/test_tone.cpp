// DTMF tone: the values written to the tone generator, the limits of a tone
// request, the route and the tone stream on the board.
#include <alsa_audio.h>
#include <string.h>

#include <string>

#include "controls_test.h"
#include "ka_lib_audio.h"

using namespace ka_test;

namespace {

constexpr const char *kGenerator = "DTMF_Generate Rx Low High Duration Gain";
constexpr const char *kRoute = "SEC_AUX_PCM_RX_Voice Mixer DTMF";
constexpr int kToneDevice = 7;

struct kb_pcm_info tone_info(int device = kToneDevice)
{
    struct kb_pcm_info info{};
    kb_pcm_info(device, KB_PLAYBACK, &info);
    return info;
}

class Tone : public BoardTest {
protected:
    void TearDown() override { Ka_AudTone_Close(); }
};

}  // namespace

TEST_F(Tone, AcceptedRequestsWriteLowHighDurationAndFourTimesTheGain)
{
    struct {
        tone_param p;
        std::vector<long> written;
    } const cases[] = {
        {{697, 1209, 100, 500}, {697, 1209, 500, 400}},  // the digit 1
        {{100, 100, 1000, 0}, {100, 100, 0, 4000}},      // both lower limits, the top gain
        {{941, 1633, 0, 65535}, {941, 1633, 65535, 0}},
    };
    for (const auto &c : cases) {
        kb_reset();
        log.clear();
        EXPECT_EQ(0, Ka_AudTone_Start(12345, &c.p));
        const auto w = writes_to(kGenerator);
        ASSERT_EQ(1u, w.size()) << c.p.low << "/" << c.p.high;
        EXPECT_EQ(c.written, w[0]);
        EXPECT_EQ(1, lib_msg(log, kDebug, "start tone paly...\n"));
    }
}

TEST_F(Tone, RejectedRequestsWriteNothing)
{
    const tone_param bad[] = {
        {99, 1209, 100, 500},
        {697, 99, 100, 500},
        {697, 1209, 1001, 500},
        {0, 0, 0xFFFFFFFFu, 7},
    };
    for (const tone_param &p : bad) {
        log.clear();
        EXPECT_EQ(-1, Ka_AudTone_Start(0, &p));
        const std::string msg = "wrong para input " + std::to_string(p.low) + ", " + std::to_string(p.high) + ", " +
                                std::to_string(p.duration) + ", " + std::to_string(static_cast<int>(p.gain)) + "\n\r";
        EXPECT_EQ(1, lib_msg(log, kError, msg)) << log.dump();
    }
    log.clear();
    EXPECT_EQ(-1, Ka_AudTone_Start(0, nullptr));
    EXPECT_EQ(1, lib_msg(log, kError, "para is invalid\n\r"));
    EXPECT_TRUE(writes_to(kGenerator).empty());
}

TEST_F(Tone, StopSilencesTheGeneratorAndReportsTheMixerResult)
{
    EXPECT_EQ(1, Ka_AudTone_Stop());
    const auto w = writes_to(kGenerator);
    ASSERT_EQ(1u, w.size());
    EXPECT_EQ((std::vector<long>{1000, 1000, 0, 100}), w[0]);
    EXPECT_EQ(1, lib_msg(log, kDebug, "stop tone play\n\r"));

    kb_fault(KB_FAULT_CTL_WRITE, -1, 0, -1, EIO);
    EXPECT_EQ(0, Ka_AudTone_Stop());
    // A failing generator write is the mixer's to report; Start still says 0.
    const tone_param p = {697, 1209, 100, 500};
    EXPECT_EQ(0, Ka_AudTone_Start(0, &p));
}

TEST_F(Tone, OpenSwitchesTheRouteAndKeepsOneStreamOnTheToneDevice)
{
    ASSERT_EQ(0, Ka_AudTone_Open(nullptr));
    EXPECT_EQ((std::vector<std::vector<long>>{{1}}), writes_to(kRoute));
    struct kb_pcm_info info = tone_info();
    EXPECT_EQ(1, info.open);
    EXPECT_EQ(44100u, info.rate);
    EXPECT_EQ(2u, info.channels);
    EXPECT_EQ(0u, info.transfers);
    EXPECT_EQ(1, lib_msg(log, kDebug, "open tone pcm\n\r"));

    // A second Open without Close replaces the stream instead of leaking it.
    ASSERT_EQ(0, Ka_AudTone_Open("hw:0,7"));
    info = tone_info();
    EXPECT_EQ(1, info.open);
    EXPECT_EQ(2u, info.opens);
    ASSERT_EQ(0, Ka_AudTone_Open("hw:0,3"));
    EXPECT_EQ(0, tone_info().open);
    EXPECT_EQ(1, tone_info(3).open);

    Ka_AudTone_Close();
    EXPECT_EQ(0, tone_info(3).open);
    EXPECT_EQ(0, kb_open_fds());
    // The route stays on after Close.
    EXPECT_EQ((std::vector<long>{1}), ctl_values(kRoute));

    // A second Close, like a Close without Open, does nothing.
    log.clear();
    Ka_AudTone_Close();
    EXPECT_EQ(1u, tone_info(3).closes);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(Tone, DeviceNamesOfFortyCharactersOrMoreFallBackToTheToneDevice)
{
    // 39 characters: used as given, and the platform cannot open such a name.
    const std::string name39 = "hw:0,3" + std::string(33, 'x');
    ASSERT_EQ(39u, name39.size());
    EXPECT_EQ(-1, Ka_AudTone_Open(name39.c_str()));
    EXPECT_EQ(1, lib_msg(log, kError, "open pcm handle failed.\n"));
    EXPECT_EQ(0u, tone_info().opens);
    EXPECT_EQ(0, kb_open_fds());

    for (size_t len : {40u, 200u}) {
        const std::string longer = "hw:0,3" + std::string(len - 6, 'x');
        ASSERT_EQ(0, Ka_AudTone_Open(longer.c_str())) << len;
        EXPECT_EQ(1, tone_info().open);
        Ka_AudTone_Close();
    }
}

TEST_F(Tone, FailedOpenLeavesNothingOpen)
{
    kb_fault(KB_FAULT_PCM_HW_PARAMS, kToneDevice, 0, 1, EINVAL);
    EXPECT_EQ(-1, Ka_AudTone_Open(nullptr));
    EXPECT_EQ(1, lib_msg(log, kError, "open pcm handle failed.\n"));
    EXPECT_EQ(0, tone_info().open);
    EXPECT_EQ(0, kb_open_fds());
    // Nothing to close afterwards.
    log.clear();
    Ka_AudTone_Close();
    EXPECT_TRUE(log.lines().empty());
}
