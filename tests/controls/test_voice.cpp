// Voice volume: the command lines handed to the shell for the platform
// service's command files, the voice controls and their limits; and the
// version string.
#include <string.h>

#include <string>
#include <vector>

#include "controls_test.h"
#include "ka_lib_audio.h"

using namespace ka_test;

namespace {

constexpr const char *kData = "/data/alsaucm_test";
constexpr const char *kRun = "/run/alsaucm_test";

std::vector<std::string> commands()
{
    std::vector<std::string> out;
    for (size_t i = 0; i < kb_system_count(); ++i) {
        char buf[256] = {};
        if (kb_system_command(i, buf, sizeof buf) == 0) out.emplace_back(buf);
    }
    return out;
}

std::string contents(const char *path)
{
    char buf[256] = {};
    return kb_file_contents(path, buf, sizeof buf) < 0 ? "<absent>" : buf;
}

using Voice = BoardTest;

}  // namespace

TEST_F(Voice, CommandsGoToTheFirstCommandFileThatExists)
{
    const struct {
        bool data, run;
        int type, vol;
        const char *command;  // NULL: nothing run
    } cases[] = {
        {true, true, 0, 7, "echo rxgains gain 7 > /data/alsaucm_test"},
        {true, false, 0, -3, "echo rxgains gain -3 > /data/alsaucm_test"},
        {false, true, 0, 12, "echo rxgains gain 12 > /run/alsaucm_test"},
        {false, false, 0, 7, nullptr},
        {true, true, 1, 3, "echo txvoices 1 3 0 > /data/alsaucm_test"},
        {false, true, 1, 3, "echo txvoices 1 3 0 > /run/alsaucm_test"},
        {true, false, 1, 2147483647, "echo txvoices 1 2147483647 0 > /data/alsaucm_test"},
        {false, false, 1, 3, nullptr},
    };
    for (const auto &c : cases) {
        kb_reset();
        log.clear();
        kb_set_file_present(kData, c.data);
        kb_set_file_present(kRun, c.run);
        EXPECT_EQ(0, Ka_AudVoice_SetVolume(c.type, c.vol));
        const auto cmds = commands();
        const std::string what = std::to_string(c.type) + "/" + std::to_string(c.vol) + (c.data ? " data" : "") +
                                 (c.run ? " run" : "");
        if (c.command == nullptr) {
            EXPECT_TRUE(cmds.empty()) << what;
        } else {
            ASSERT_EQ(1u, cmds.size()) << what;
            EXPECT_EQ(c.command, cmds[0]) << what;
        }
        EXPECT_EQ(1, lib_msg(log, kDebug,
                             "Voice set volume type = " + std::to_string(c.type) + ", vol = " +
                                 std::to_string(c.vol) + "\n"));
        EXPECT_TRUE(ctl_writes().empty());
    }
    // The board runs the line against its own copy of the file.
    kb_reset();
    kb_set_file_present(kData, 0);
    EXPECT_EQ(0, Ka_AudVoice_SetVolume(1, 4));
    EXPECT_EQ("txvoices 1 4 0\n", contents(kRun));
    EXPECT_EQ("<absent>", contents(kData));
}

TEST_F(Voice, MuteAndLevelControlsTakeThreeValues)
{
    const struct {
        int type, vol;
        const char *ctl;
        std::vector<long> values;
    } ok[] = {
        {2, 1, "Voice Rx Device Mute", {1, -1, 500}}, {2, 0, "Voice Rx Device Mute", {0, -1, 500}},
        {3, 1, "Voice Tx Device Mute", {1, -1, 500}}, {4, 0, "Voice Rx Gain", {5, -1, 500}},
        {4, 2, "Voice Rx Gain", {3, -1, 500}},        {4, 5, "Voice Rx Gain", {0, -1, 500}},
    };
    for (const auto &c : ok) {
        kb_reset();
        EXPECT_EQ(0, Ka_AudVoice_SetVolume(c.type, c.vol));
        const auto w = ctl_writes();
        ASSERT_EQ(1u, w.size()) << c.type << "/" << c.vol;
        EXPECT_STREQ(c.ctl, w[0].name);
        EXPECT_EQ(c.values, std::vector<long>(w[0].values, w[0].values + w[0].count)) << c.type << "/" << c.vol;
        EXPECT_TRUE(commands().empty());
    }

    kb_reset();
    log.clear();
    for (int vol : {2, -1}) {
        EXPECT_EQ(-1, Ka_AudVoice_SetVolume(2, vol));
        EXPECT_EQ(-1, Ka_AudVoice_SetVolume(3, vol));
    }
    for (int vol : {6, -1}) {
        EXPECT_EQ(-1, Ka_AudVoice_SetVolume(4, vol));
        EXPECT_EQ(1, lib_msg(log, kError, "Voice volume 0-5 input:[" + std::to_string(vol) + "]\n"));
    }
    // Types above 4, negative ones included, do nothing after the progress line.
    for (int type : {5, -1, 1000}) EXPECT_EQ(0, Ka_AudVoice_SetVolume(type, 1));
    EXPECT_EQ(1, lib_msg(log, kDebug, "Voice set volume type = -1, vol = 1\n"));
    EXPECT_TRUE(ctl_writes().empty());
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(0, log.count("ka_mixer"));
}

TEST_F(Voice, ControlNamesAreReadFromTheWritableTable)
{
    const char *saved = voice_info[0];
    voice_info[0] = "Voice Tx Device Mute";
    EXPECT_EQ(0, Ka_AudVoice_SetVolume(4, 1));
    voice_info[0] = saved;
    const auto w = ctl_writes();
    ASSERT_EQ(1u, w.size());
    EXPECT_STREQ("Voice Tx Device Mute", w[0].name);

    // A failing control write is the mixer's to report: still 0.
    kb_fault(KB_FAULT_CTL_WRITE, -1, 0, -1, EIO);
    EXPECT_EQ(0, Ka_AudVoice_SetVolume(2, 1));
}

TEST(Version, IsOneConstantString)
{
    const char *v = Ka_AudVersion_Get();
    ASSERT_NE(nullptr, v);
    EXPECT_STREQ("Lib Version: 00.02.0008", v);
    EXPECT_EQ(v, Ka_AudVersion_Get());
}
