// The host libalsa_intf mixer side against the emulated board's control
// device: listing, lookup, value conversion, range and count checks, and the
// descriptor that callers swap between operations.
#include <alsa_audio.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "ka_test.h"

namespace {

using ka_test::BoardTest;

constexpr const char *kCtlPath = "/dev/snd/controlC0";
constexpr const char *kStereo = "DAC1 Playback Volume";  // INTEGER, 2 values, 0..175
constexpr const char *kVoice = "Voice Rx Gain";          // INTEGER, 3 values, -1..5000
constexpr const char *kRoute = "SEC_MI2S_RX Audio Mixer MultiMedia1";  // BOOLEAN

class PlatformMixer : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        m = mixer_open(kCtlPath);
        ASSERT_NE(nullptr, m);
    }
    void TearDown() override { mixer_close(m); }

    std::vector<long> values(const char *name)
    {
        std::vector<long> v(8);
        int n = kb_ctl_get(name, v.data(), 8);
        v.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return v;
    }
    int set(const char *name, std::vector<const char *> argv, bool mul = false)
    {
        struct mixer_ctl *c = mixer_get_control(m, name, 0);
        EXPECT_NE(nullptr, c) << name;
        if (!c) return 1;
        auto **a = const_cast<char **>(argv.data());
        int n = static_cast<int>(argv.size());
        return mul ? mixer_ctl_mulvalues(c, n, a) : mixer_ctl_set_value(c, n, a);
    }
    static size_t writes() { return kb_ctl_writes(nullptr, 0); }

    struct mixer *m = nullptr;
};

TEST_F(PlatformMixer, ListsEveryControlOfTheCard)
{
    EXPECT_GE(m->fd, 0);
    ASSERT_GT(m->count, 20u);
    std::set<unsigned> numids;
    for (unsigned i = 0; i < m->count; ++i) {
        const snd_ctl_elem_info *info = &m->info[i];
        const char *name = reinterpret_cast<const char *>(info->id.name);
        EXPECT_EQ(m, m->ctl[i].mixer);
        EXPECT_EQ(info, m->ctl[i].info);
        EXPECT_EQ(nullptr, m->ctl[i].ename) << name;  // the card has no enumerated control
        EXPECT_EQ(kb_ctl_get(name, nullptr, 0), static_cast<int>(info->count)) << name;
        EXPECT_TRUE(numids.insert(info->id.numid).second) << name;
        EXPECT_EQ(&m->ctl[i], mixer_get_control(m, name, 0)) << name;
    }
    EXPECT_EQ(0u, numids.count(0));
    EXPECT_EQ(1, kb_open_fds());
}

TEST_F(PlatformMixer, OpenFailuresLeaveNothingOpen)
{
    mixer_close(m);
    m = nullptr;
    kb_fault(KB_FAULT_CTL_OPEN, -1, 0, 1, EACCES);
    errno = 0;
    EXPECT_EQ(nullptr, mixer_open(kCtlPath));
    EXPECT_EQ(EACCES, errno);
    EXPECT_EQ(nullptr, mixer_open("/dev/snd/controlC7"));
    EXPECT_EQ(nullptr, mixer_open(nullptr));
    EXPECT_EQ(0, kb_open_fds());
    mixer_close(nullptr);
}

TEST_F(PlatformMixer, LookupIsExactByNameAndIndex)
{
    struct mixer_ctl *c = mixer_get_control(m, kStereo, 0);
    ASSERT_NE(nullptr, c);
    EXPECT_STREQ(kStereo, reinterpret_cast<const char *>(c->info->id.name));
    EXPECT_EQ(2u, c->info->count);
    EXPECT_EQ(nullptr, mixer_get_control(m, kStereo, 1));  // only one of that name
    EXPECT_EQ(nullptr, mixer_get_control(m, "DAC1 Playback", 0));
    EXPECT_EQ(nullptr, mixer_get_control(m, "DAC1 Playback Volume ", 0));
    EXPECT_EQ(nullptr, mixer_get_control(m, "", 0));
    EXPECT_EQ(nullptr, mixer_get_control(m, nullptr, 0));
    EXPECT_EQ(nullptr, mixer_get_control(nullptr, kStereo, 0));
}

TEST_F(PlatformMixer, IntegerValuesAreCheckedBeforeAnythingIsWritten)
{
    EXPECT_EQ(0, set(kStereo, {"0", "175"}));
    EXPECT_EQ((std::vector<long>{0, 175}), values(kStereo));
    EXPECT_EQ(0, set(kVoice, {"-1", "5000", "17"}, true));
    EXPECT_EQ((std::vector<long>{-1, 5000, 17}), values(kVoice));
    ASSERT_EQ(2u, writes());
    kb_ctl_write w[2];
    kb_ctl_writes(w, 2);
    EXPECT_STREQ(kStereo, w[0].name);
    EXPECT_EQ(3, w[1].count);

    // Wrong counts, out of range, not decimal numbers: refused, nothing written.
    const std::vector<std::vector<const char *>> bad = {
        {"1"}, {"1", "2", "3"}, {"176", "0"}, {"0", "-1"}, {"12abc", "0"}, {"", "0"},
        {"0x10", "0"}, {"99999999999999999999", "0"}, {"1", nullptr}};
    for (const auto &argv : bad) {
        EXPECT_LT(set(kStereo, argv), 0) << argv[0];
        EXPECT_LT(set(kStereo, argv, true), 0) << argv[0];
    }
    EXPECT_LT(set(kVoice, {"-2", "0", "0"}), 0);
    struct mixer_ctl *c = mixer_get_control(m, kStereo, 0);
    EXPECT_EQ(-EINVAL, mixer_ctl_set_value(c, 0, nullptr));
    EXPECT_EQ(-EINVAL, mixer_ctl_set_value(nullptr, 1, nullptr));
    EXPECT_EQ(2u, writes());
    EXPECT_EQ((std::vector<long>{0, 175}), values(kStereo));
}

TEST_F(PlatformMixer, BooleanWords)
{
    const struct {
        const char *word;
        long value;
    } good[] = {{"1", 1}, {"0", 0}, {"on", 1}, {"off", 0}, {"true", 1}, {"false", 0}};
    for (const auto &g : good) {
        long before = g.value ? 0 : 1;
        kb_ctl_set(kRoute, &before, 1);
        EXPECT_EQ(0, set(kRoute, {g.word})) << g.word;
        EXPECT_EQ(std::vector<long>{g.value}, values(kRoute)) << g.word;
    }
    size_t n = writes();
    for (const char *word : {"2", "-1", "yes", "", "onn"}) EXPECT_LT(set(kRoute, {word}), 0) << word;
    EXPECT_LT(set(kRoute, {"1", "1"}), 0);
    EXPECT_EQ(n, writes());
}

TEST_F(PlatformMixer, EveryOperationUsesTheDescriptorOfTheMoment)
{
    // The caller closes the descriptor between operations and reopens it.
    ASSERT_EQ(0, close(m->fd));
    m->fd = -1;
    EXPECT_LT(set(kStereo, {"1", "2"}), 0);
    EXPECT_EQ(0u, writes());
    m->fd = open(kCtlPath, O_RDWR);
    ASSERT_GE(m->fd, 0);
    EXPECT_EQ(0, set(kStereo, {"3", "4"}));
    EXPECT_EQ((std::vector<long>{3, 4}), values(kStereo));

    kb_fault(KB_FAULT_CTL_WRITE, -1, 0, 1, EIO);
    EXPECT_EQ(-EIO, set(kStereo, {"5", "6"}));
    EXPECT_EQ((std::vector<long>{3, 4}), values(kStereo));
}

}  // namespace
