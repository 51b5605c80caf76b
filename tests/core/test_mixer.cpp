// SPDX-License-Identifier: MIT
// Mixer control access by name: tokenising, count mismatches, reads of one-
// and multi-value controls, refusals of the platform, and the descriptor
// closed again after every call. (The retries of a control device that does
// not open: the controls tests, in a fresh process.)
#include <alsa_audio.h>
#include <errno.h>

#include <string>
#include <vector>

#include "ka_lib_audio.h"
#include "ka_test.h"

namespace {

using ka_test::BoardTest;

constexpr const char kRoute[] = "SEC_AUX_PCM_RX Audio Mixer MultiMedia1";  // 1 value
constexpr const char kStereo[] = "DAC1 Playback Volume";                   // 2 values
constexpr const char kTriple[] = "Voice Rx Gain";                          // 3 values

class Mixer : public BoardTest {
protected:
    std::vector<long> values(const char *name)
    {
        std::vector<long> v(8);
        int n = kb_ctl_get(name, v.data(), static_cast<int>(v.size()));
        v.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return v;
    }
    std::vector<std::string> errors() { return log.errors("ka_mixer"); }
};

TEST_F(Mixer, SetsValuesSplitOnRunsOfSpaces)
{
    ASSERT_EQ(Ka_clt_set_mixer_value(kTriple, 3, "0 1 2"), 1) << log.dump();
    EXPECT_EQ(values(kTriple), (std::vector<long>{0, 1, 2}));
    EXPECT_EQ(log.count("device: Voice Rx Gain, value: 0 1 2\n"), 1);
    EXPECT_EQ(log.count("count_empty: 1, token: 1\n"), 1);
    EXPECT_EQ(log.count("count_empty: 2, token: 2\n"), 1);
    EXPECT_EQ(log.count("count_empty: 0"), 0) << "the first token is stored without a line";
    EXPECT_EQ(log.count("Set mixer: Voice Rx Gain sucess\n"), 1);

    ASSERT_EQ(Ka_clt_set_mixer_value(kStereo, 2, "  5   7 "), 1) << log.dump();
    EXPECT_EQ(values(kStereo), (std::vector<long>{5, 7}));

    ASSERT_EQ(movaro_clt_set_mixer_value(kRoute, 1, "1"), 1);
    EXPECT_EQ(values(kRoute), (std::vector<long>{1}));
    EXPECT_EQ(kb_open_fds(), 0);
    EXPECT_TRUE(errors().empty());
}

TEST_F(Mixer, RefusesBadRequestsBeforeTouchingTheDevice)
{
    struct Case {
        const char *name;
        int count;
        const char *value;
        const char *error;  // followed by ", failed to mixer: <name>"
    };
    const Case cases[] = {
        {kStereo, 2, "5", "input para is not equel to count"},
        {kRoute, 1, "", "input para is not equel to count"},
        {kRoute, 1, "    ", "input para is not equel to count"},
        {kRoute, 0, "1", "input para is not correct"},
        {nullptr, 1, "1", "input para is not correct"},
        {kRoute, 1, nullptr, "input para is not correct"},
        {kRoute, -1, "1", "malloc memory failed"},
        {kRoute, INT32_MAX, "1", "malloc memory failed"},
        {kRoute, 1, "5 6", nullptr},  // "input count is not correct !!!!" alone
    };
    // Refused before the device is opened: a control device that cannot be
    // opened would show up as retries.
    kb_fault(KB_FAULT_CTL_OPEN, -1, 0, -1, ENOENT);
    for (const auto &c : cases) {
        const std::string error =
            c.error ? std::string(c.error) + ", failed to mixer: " + (c.name ? c.name : "NULL")
                    : "input count is not correct !!!!";
        SCOPED_TRACE(error);
        log.clear();
        EXPECT_EQ(Ka_clt_set_mixer_value(c.name, c.count, c.value), 0);
        EXPECT_EQ(errors(), std::vector<std::string>{error + "\n"});
    }
    // A read without a record to fill is refused silently.
    log.clear();
    EXPECT_EQ(Ka_clt_get_mixer_value(kStereo, nullptr), 0);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(kb_fault_hits(KB_FAULT_CTL_OPEN), 0);
    EXPECT_TRUE(ka_test::ctl_writes().empty());
}

TEST_F(Mixer, PlatformRefusals)
{
    // No control of that name.
    EXPECT_EQ(Ka_clt_set_mixer_value("No Such Control", 1, "1"), 0);
    EXPECT_EQ(errors(), std::vector<std::string>{"Could not get the mixer control for 'No Such Control'.\n"});
    // A value the control does not take: both platform setters fail, and the
    // failure carries no message of its own.
    log.clear();
    EXPECT_EQ(Ka_clt_set_mixer_value(kRoute, 1, "7"), 0);
    EXPECT_TRUE(errors().empty()) << log.dump();
    EXPECT_EQ(log.count("sucess"), 0);
    // The first platform setter failing once: the second one writes. (A
    // device refusing every write: the fault matrix.)
    kb_fault(KB_FAULT_CTL_WRITE, -1, 0, 1, EIO);
    EXPECT_EQ(Ka_clt_set_mixer_value(kRoute, 1, "1"), 1);
    EXPECT_EQ(values(kRoute), (std::vector<long>{1}));
    EXPECT_EQ(kb_open_fds(), 0);
}

TEST_F(Mixer, ReadsOneAndTwoValueControls)
{
    const long stereo[2] = {100, 150};
    ASSERT_EQ(kb_ctl_set(kStereo, stereo, 2), 0);
    struct snd_ctl_elem_value v;
    memset(&v, 0xA5, sizeof v);
    EXPECT_EQ(Ka_clt_get_mixer_value(kStereo, &v), 2);
    EXPECT_EQ(v.value.integer.value[0], 100);
    EXPECT_EQ(v.value.integer.value[1], 150);
    EXPECT_EQ(v.value.integer.value[2], 0) << "the record is cleared first";
    EXPECT_EQ(log.count("mixer get DAC1 Playback Volume\n"), 1);

    const long one = 1;
    ASSERT_EQ(kb_ctl_set(kRoute, &one, 1), 0);
    EXPECT_EQ(Ka_clt_get_mixer_value(kRoute, &v), 1);
    EXPECT_EQ(v.value.integer.value[0], 1);

    EXPECT_EQ(Ka_clt_get_mixer_value("No Such Control", &v), -1);
    log.clear();
    EXPECT_EQ(Ka_clt_get_mixer_value(nullptr, &v), -1);
    EXPECT_EQ(errors(), std::vector<std::string>{"Could not get the mixer control for 'NULL'.\n"});
    EXPECT_EQ(kb_open_fds(), 0);

    // A failed read leaves the count as the result and the record zero
    // apart from its id. (Its message: the fault matrix.)
    kb_fault(KB_FAULT_CTL_READ, -1, 0, 1, EIO);
    memset(&v, 0xA5, sizeof v);
    EXPECT_EQ(Ka_clt_get_mixer_value(kStereo, &v), 2);
    EXPECT_NE(v.id.numid, 0u);
    EXPECT_EQ(v.value.integer.value[0], 0);
    EXPECT_EQ(v.value.integer.value[1], 0);
    EXPECT_EQ(kb_open_fds(), 0);
}

}  // namespace
