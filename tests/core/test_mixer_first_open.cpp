// The first mixer access of a process creates the platform mixer object;
// while the control device stays away it is looked for again on every call.
// Kept in a program of its own: the object lives for the life of the process.
#include <android/log.h>
#include <errno.h>
#include <sound/asound.h>

#include <string>
#include <vector>

#include "ka_lib_audio.h"
#include "ka_test.h"

namespace {

using ka_test::BoardTest;

class MixerFirstOpen : public BoardTest {};

TEST_F(MixerFirstOpen, RetriesCreatingTheMixerUntilTheDeviceAppears)
{
    const char *name = "SEC_MI2S_RX Audio Mixer MultiMedia2";
    kb_fault(KB_FAULT_CTL_OPEN, -1, 0, 10, ENOENT);
    EXPECT_EQ(Ka_clt_set_mixer_value(name, 1, "1"), 0);
    std::vector<std::string> want;
    for (int left = 9; left >= 0; --left)
        want.push_back("opening mixer device retry, time left " + std::to_string(left) + "\n");
    want.push_back(std::string("ERROR opening mixer device: ") + name + "\n");
    std::vector<std::string> got;
    for (const auto &l : log.lines())
        if (l.prio == ANDROID_LOG_ERROR) got.push_back(l.text.substr(l.text.find("]:") + 2));
    EXPECT_EQ(got, want);

    // The getter names itself in its final line.
    log.clear();
    kb_fault(KB_FAULT_CTL_OPEN, -1, 0, 10, ENOENT);
    struct snd_ctl_elem_value v;
    EXPECT_EQ(Ka_clt_get_mixer_value(name, &v), -1);
    EXPECT_EQ(log.count("opening mixer device retry"), 10);
    EXPECT_EQ(log.count(std::string("Ka_clt_get_mixer_value, ERROR opening mixer device: ") + name + "\n"), 1);

    // Nothing was kept: the next call creates the mixer and succeeds.
    log.clear();
    EXPECT_EQ(Ka_clt_set_mixer_value(name, 1, "1"), 1) << log.dump();
    EXPECT_EQ(log.count("retry"), 0);
    long value = 0;
    EXPECT_EQ(kb_ctl_get(name, &value, 1), 1);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(kb_open_fds(), 0);

    // From now on only the descriptor is reopened.
    log.clear();
    kb_fault(KB_FAULT_CTL_OPEN, -1, 0, 1, ENOENT);
    EXPECT_EQ(Ka_clt_set_mixer_value(name, 1, "0"), 1);
    EXPECT_EQ(log.count("opening mixer fd retry, time left 9\n"), 1);
    EXPECT_EQ(log.count("opening mixer device retry"), 0);
}

}  // namespace
