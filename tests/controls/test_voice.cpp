// Voice volume: the command lines handed to the shell, the voice controls and
// their limits.
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
    // Which of /data and /run hold the file; type, volume; the line (none: "").
    for (auto [data, run, type, vol, cmd] : {std::tuple{1, 1, 0, -3, "echo rxgains gain -3 > /data/alsaucm_test"},
                                             {0, 1, 0, 12, "echo rxgains gain 12 > /run/alsaucm_test"},
                                             {1, 0, 1, 3, "echo txvoices 1 3 0 > /data/alsaucm_test"},
                                             {0, 1, 1, 3, "echo txvoices 1 3 0 > /run/alsaucm_test"},
                                             {0, 0, 0, 7, ""}, {0, 0, 1, 7, ""}}) {
        kb_reset();
        kb_set_file_present("/data/alsaucm_test", data);
        kb_set_file_present("/run/alsaucm_test", run);
        EXPECT_EQ(0, Ka_AudVoice_SetVolume(type, vol));
        EXPECT_EQ(*cmd ? std::vector<std::string>{cmd} : std::vector<std::string>{}, commands()) << data << run << type;
        EXPECT_TRUE(writes_to().empty());
    }
}

TEST_F(Voice, MuteAndLevelControlsWithTheirLimits)
{
    for (const auto &[type, vol] : {std::pair{2, 1}, {3, 0}, {4, 0}, {4, 5}}) EXPECT_EQ(0, Ka_AudVoice_SetVolume(type, vol));
    EXPECT_EQ((std::vector<std::vector<long>>{{1, -1, 500}}), writes_to("Voice Rx Device Mute"));
    EXPECT_EQ((std::vector<std::vector<long>>{{0, -1, 500}}), writes_to("Voice Tx Device Mute"));
    EXPECT_EQ((std::vector<std::vector<long>>{{5, -1, 500}, {0, -1, 500}}), writes_to("Voice Rx Gain"));

    kb_reset();
    for (const auto &[type, vol] : {std::pair{2, 2}, {2, -1}, {3, 2}, {3, -1}, {4, 6}, {4, -1}})
        EXPECT_EQ(-1, Ka_AudVoice_SetVolume(type, vol)) << type << " " << vol;
    for (int type : {5, -1}) EXPECT_EQ(0, Ka_AudVoice_SetVolume(type, 1));
    EXPECT_TRUE(writes_to().empty());
    EXPECT_TRUE(commands().empty());
}
