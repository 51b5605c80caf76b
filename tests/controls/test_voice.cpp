// Voice volume: the command lines handed to the shell, the voice controls and
// their limits; and the version string.
#include "controls_test.h"
#include "ka_lib_audio.h"

using namespace ka_test;

namespace {

std::vector<std::string> commands()
{
    std::vector<std::string> out;
    char buf[256];
    for (size_t i = 0; kb_system_command(i, buf, sizeof buf) == 0; ++i) out.emplace_back(buf);
    return out;
}

using Voice = BoardTest;

}  // namespace

TEST_F(Voice, CommandsGoToTheFirstCommandFileThatExists)
{
    const struct {
        bool data, run;
        int type, vol;
        std::vector<std::string> cmds;
    } cases[] = {
        {true, true, 0, -3, {"echo rxgains gain -3 > /data/alsaucm_test"}},
        {false, true, 0, 12, {"echo rxgains gain 12 > /run/alsaucm_test"}},
        {true, false, 1, 3, {"echo txvoices 1 3 0 > /data/alsaucm_test"}},
        {false, true, 1, 3, {"echo txvoices 1 3 0 > /run/alsaucm_test"}},
        {false, false, 0, 7, {}},
        {false, false, 1, 7, {}},
    };
    for (const auto &c : cases) {
        kb_reset();
        kb_set_file_present("/data/alsaucm_test", c.data);
        kb_set_file_present("/run/alsaucm_test", c.run);
        EXPECT_EQ(0, Ka_AudVoice_SetVolume(c.type, c.vol));
        EXPECT_EQ(c.cmds, commands()) << c.data << c.run << c.type;
        EXPECT_TRUE(writes_to().empty());
    }
    EXPECT_EQ(1, lib_msg(log, kDebug, "Voice set volume type = 1, vol = 7\n"));
    // The board runs the line against its own copy of the file.
    char buf[64] = {};
    kb_reset();
    kb_set_file_present("/data/alsaucm_test", 0);
    EXPECT_EQ(0, Ka_AudVoice_SetVolume(1, 4));
    kb_file_contents("/run/alsaucm_test", buf, sizeof buf);
    EXPECT_STREQ("txvoices 1 4 0\n", buf);
}

TEST_F(Voice, MuteAndLevelControlsWithTheirLimits)
{
    EXPECT_EQ(0, Ka_AudVoice_SetVolume(2, 1));
    EXPECT_EQ(0, Ka_AudVoice_SetVolume(3, 0));
    EXPECT_EQ(0, Ka_AudVoice_SetVolume(4, 0));
    EXPECT_EQ(0, Ka_AudVoice_SetVolume(4, 5));
    EXPECT_EQ((std::vector<std::vector<long>>{{1, -1, 500}}), writes_to("Voice Rx Device Mute"));
    EXPECT_EQ((std::vector<std::vector<long>>{{0, -1, 500}}), writes_to("Voice Tx Device Mute"));
    EXPECT_EQ((std::vector<std::vector<long>>{{5, -1, 500}, {0, -1, 500}}), writes_to("Voice Rx Gain"));

    kb_reset();
    for (int vol : {2, -1}) {
        EXPECT_EQ(-1, Ka_AudVoice_SetVolume(2, vol));
        EXPECT_EQ(-1, Ka_AudVoice_SetVolume(3, vol));
    }
    EXPECT_EQ(-1, Ka_AudVoice_SetVolume(4, 6));
    EXPECT_EQ(-1, Ka_AudVoice_SetVolume(4, -1));
    EXPECT_EQ(1, lib_msg(log, kError, "Voice volume 0-5 input:[-1]\n"));
    for (int type : {5, -1}) EXPECT_EQ(0, Ka_AudVoice_SetVolume(type, 1));
    EXPECT_TRUE(writes_to().empty());
    EXPECT_TRUE(commands().empty());

    // The table of control names is read at every call.
    const char *saved = voice_info[0];
    voice_info[0] = "Voice Tx Device Mute";
    EXPECT_EQ(0, Ka_AudVoice_SetVolume(4, 1));
    voice_info[0] = saved;
    EXPECT_EQ((std::vector<std::vector<long>>{{4, -1, 500}}), writes_to("Voice Tx Device Mute"));
}

TEST(Version, IsOneConstantString)
{
    EXPECT_STREQ("Lib Version: 00.02.0008", Ka_AudVersion_Get());
    EXPECT_EQ(Ka_AudVersion_Get(), Ka_AudVersion_Get());
}
