// The host libalsa_intf mixer side: listing, lookup, value conversion, range
// and count checks, and the descriptor that callers swap between operations.
// Most tests use the board's card. Types that card lacks (enumerated, 64-bit,
// bytes) and controls sharing a name come from a small control device that
// this program answers itself on a private path, in front of the board.
#include <alsa_audio.h>
#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <set>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "ka_test.h"

namespace {

constexpr const char *kCtlPath = "/dev/snd/controlC0";
constexpr const char *kStereo = "DAC1 Playback Volume";  // INTEGER, 2 values, 0..175
constexpr const char *kRoute = "SEC_MI2S_RX Audio Mixer MultiMedia1";  // BOOLEAN

// ---- the private control device -----------------------------------------
constexpr const char *kFakePath = "/ka-test/fake-controlC0";
struct FakeCtl {
    const char *name;
    unsigned index;
    int type;
    unsigned count;
    long long min, max;
} const kFake[] = {{"Mode", 0, SNDRV_CTL_ELEM_TYPE_ENUMERATED, 2, 0, 0},
                   {"Gain", 0, SNDRV_CTL_ELEM_TYPE_INTEGER, 1, -10, 10},
                   {"Gain", 1, SNDRV_CTL_ELEM_TYPE_INTEGER, 1, 0, 5},
                   {"Counter", 0, SNDRV_CTL_ELEM_TYPE_INTEGER64, 1, -5, 5000000000LL},
                   {"Blob", 0, SNDRV_CTL_ELEM_TYPE_BYTES, 4, 0, 0}};
const char *const kModes[] = {"Off", "Speaker", "Headset"};
int g_fake_fd = -1;
bool g_fail_items = false;
std::vector<std::vector<long long>> g_fake_writes;  // numid, value 0, value 1

int fake_ioctl(unsigned long req, void *arg)
{
    if (req == SNDRV_CTL_IOCTL_ELEM_LIST) {
        auto *l = static_cast<snd_ctl_elem_list *>(arg);
        l->count = 5;
        for (l->used = 0; l->used < l->space && l->used < 5; ++l->used) {
            memset(&l->pids[l->used], 0, sizeof l->pids[0]);
            l->pids[l->used].numid = l->used + 1;
        }
        return 0;
    }
    if (req == SNDRV_CTL_IOCTL_ELEM_INFO) {
        auto *in = static_cast<snd_ctl_elem_info *>(arg);
        unsigned numid = in->id.numid, item = in->value.enumerated.item;
        if (numid < 1 || numid > 5) return ENOENT;
        const FakeCtl &c = kFake[numid - 1];
        memset(in, 0, sizeof *in);
        in->id.numid = numid;
        in->id.index = c.index;
        strcpy(reinterpret_cast<char *>(in->id.name), c.name);
        in->type = c.type;
        in->count = c.count;
        in->value.integer64.min = c.min;
        in->value.integer64.max = c.max;
        if (c.type == SNDRV_CTL_ELEM_TYPE_INTEGER) {
            in->value.integer.min = long(c.min);
            in->value.integer.max = long(c.max);
        } else if (c.type == SNDRV_CTL_ELEM_TYPE_ENUMERATED) {
            if (item >= 3 || (g_fail_items && item > 0)) return EIO;
            in->value.enumerated.items = 3;
            strcpy(in->value.enumerated.name, kModes[item]);
        }
        return 0;
    }
    if (req != SNDRV_CTL_IOCTL_ELEM_WRITE) return ENOTTY;
    auto *v = static_cast<snd_ctl_elem_value *>(arg);
    int type = kFake[v->id.numid - 1].type;
    std::vector<long long> w{v->id.numid};
    for (int i = 0; i < 2; ++i)
        w.push_back(type == SNDRV_CTL_ELEM_TYPE_ENUMERATED  ? v->value.enumerated.item[i]
                    : type == SNDRV_CTL_ELEM_TYPE_INTEGER64 ? v->value.integer64.value[i]
                                                            : v->value.integer.value[i]);
    g_fake_writes.push_back(w);
    return 0;
}

}  // namespace

extern "C" int open(const char *path, int flags, ...)
{
    using open_fn = int (*)(const char *, int, ...);
    static auto next = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    if (strcmp(path, kFakePath) == 0) return g_fake_fd = next("/dev/null", O_RDWR);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    int fd = next(path, flags, mode);
    if (fd == g_fake_fd) g_fake_fd = -1;  // the number was free again: not ours any more
    return fd;
}

extern "C" int ioctl(int fd, unsigned long req, ...) noexcept
{
    using ioctl_fn = int (*)(int, unsigned long, ...);
    static auto next = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd < 0 || fd != g_fake_fd) return next(fd, req, arg);
    int err = fake_ioctl(req, arg);
    return err ? (errno = err, -1) : 0;
}

namespace {

class PlatformMixer : public ka_test::BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        g_fake_writes.clear();
    }
    void open_mixer(const char *path)
    {
        mixer_close(m);
        m = mixer_open(path);
        ASSERT_NE(nullptr, m);
    }
    void TearDown() override { mixer_close(m); }
    static std::vector<long> values(const char *name)
    {
        std::vector<long> v(8);
        v.resize(size_t(std::max(0, kb_ctl_get(name, v.data(), 8))));
        return v;
    }
    int set(const char *name, std::vector<const char *> argv, bool mul = false, unsigned index = 0)
    {
        struct mixer_ctl *c = mixer_get_control(m, name, index);
        EXPECT_NE(nullptr, c) << name;
        auto **a = const_cast<char **>(argv.data());
        int n = int(argv.size());
        return !c ? 1 : mul ? mixer_ctl_mulvalues(c, n, a) : mixer_ctl_set_value(c, n, a);
    }
    static size_t writes() { return kb_ctl_writes(nullptr, 0); }
    struct mixer *m = nullptr;
};

TEST_F(PlatformMixer, ListingAndLookup)
{
    kb_fault(KB_FAULT_CTL_OPEN, -1, 0, 1, EACCES);
    errno = 0;
    EXPECT_EQ(nullptr, mixer_open(kCtlPath));
    EXPECT_EQ(EACCES, errno);
    EXPECT_EQ(nullptr, mixer_open("/dev/snd/controlC7"));
    EXPECT_EQ(0, kb_open_fds());

    open_mixer(kCtlPath);
    ASSERT_GT(m->count, 20u);
    std::set<unsigned> numids{0};
    for (unsigned i = 0; i < m->count; ++i) {
        const char *name = reinterpret_cast<const char *>(m->info[i].id.name);
        EXPECT_TRUE(m->ctl[i].mixer == m && m->ctl[i].info == &m->info[i] && !m->ctl[i].ename);
        EXPECT_EQ(kb_ctl_get(name, nullptr, 0), int(m->info[i].count)) << name;
        EXPECT_TRUE(numids.insert(m->info[i].id.numid).second) << name;
        EXPECT_EQ(&m->ctl[i], mixer_get_control(m, name, 0)) << name;
    }
    EXPECT_EQ(nullptr, mixer_get_control(m, kStereo, 1));  // only one of that name
    for (const char *name : {"DAC1 Playback", "DAC1 Playback Volume ", "", static_cast<const char *>(nullptr)})
        EXPECT_EQ(nullptr, mixer_get_control(m, name, 0));
    EXPECT_EQ(nullptr, mixer_get_control(nullptr, kStereo, 0));

    // Enumerated item names and controls sharing a name (private device).
    open_mixer(kFakePath);
    ASSERT_EQ(5u, m->count);
    ASSERT_NE(nullptr, m->ctl[0].ename);
    for (int j = 0; j < 3; ++j) EXPECT_STREQ(kModes[j], m->ctl[0].ename[j]);
    EXPECT_EQ(&m->ctl[1], mixer_get_control(m, "Gain", 0));
    EXPECT_EQ(&m->ctl[2], mixer_get_control(m, "Gain", 1));
    EXPECT_EQ(nullptr, mixer_get_control(m, "Gain", 2));
    g_fail_items = true;  // an item name that can't be read fails the open
    EXPECT_EQ(nullptr, mixer_open(kFakePath));
    g_fail_items = false;
    EXPECT_EQ(-1, fcntl(g_fake_fd, F_GETFD));  // and closes its descriptor
}

TEST_F(PlatformMixer, ConversionRangeAndCount)
{
    open_mixer(kCtlPath);
    EXPECT_EQ(0, set(kStereo, {"0", "175"}));
    EXPECT_EQ(0, set("Voice Rx Gain", {"-1", "5000", "17"}, true));
    EXPECT_EQ((std::vector<long>{-1, 5000, 17}), values("Voice Rx Gain"));
    for (auto argv : std::vector<std::vector<const char *>>{{"1"}, {"1", "2", "3"}, {"176", "0"}, {"0", "-1"},
                                                            {"12abc", "0"}, {"", "0"}, {"0x10", "0"},
                                                            {"99999999999999999999", "0"}, {"1", nullptr}}) {
        EXPECT_LT(set(kStereo, argv), 0) << argv[0];
        EXPECT_LT(set(kStereo, argv, true), 0) << argv[0];
    }
    for (const char *word : {"2", "-1", "yes", "", "onn"}) EXPECT_LT(set(kRoute, {word}), 0) << word;
    EXPECT_EQ(2u, writes());  // refused values write nothing
    EXPECT_EQ((std::vector<long>{0, 175}), values(kStereo));
    const struct {
        const char *word;
        long value;
    } words[] = {{"1", 1}, {"0", 0}, {"on", 1}, {"off", 0}, {"true", 1}, {"false", 0}};
    for (const auto &w : words) {
        long before = !w.value;
        kb_ctl_set(kRoute, &before, 1);
        EXPECT_EQ(0, set(kRoute, {w.word})) << w.word;
        EXPECT_EQ(std::vector<long>{w.value}, values(kRoute)) << w.word;
    }

    open_mixer(kFakePath);
    EXPECT_EQ(0, set("Mode", {"Headset", "1"}));  // item name or item number
    EXPECT_EQ(0, set("Gain", {"5"}, false, 1));   // the second "Gain" has its own range
    EXPECT_EQ(0, set("Counter", {"5000000000"}));
    EXPECT_EQ((std::vector<std::vector<long long>>{{1, 2, 1}, {3, 5, 0}, {4, 5000000000LL, 0}}), g_fake_writes);
    EXPECT_LT(set("Gain", {"6"}, false, 1), 0);
    for (auto argv : std::vector<std::vector<const char *>>{{"Off", "3"}, {"speaker", "0"}, {"-1", "0"}})
        EXPECT_LT(set("Mode", argv), 0) << argv[0];
    EXPECT_LT(set("Counter", {"5000000001"}), 0);
    EXPECT_LT(set("Blob", {"1", "2", "3", "4"}), 0);
    EXPECT_EQ(3u, g_fake_writes.size());
}

TEST_F(PlatformMixer, UsesTheDescriptorOfTheMoment)
{
    open_mixer(kCtlPath);
    ASSERT_EQ(0, close(m->fd));  // callers close it between operations ...
    m->fd = -1;
    EXPECT_LT(set(kStereo, {"1", "2"}), 0);
    m->fd = open(kCtlPath, O_RDWR);  // ... and reopen it
    EXPECT_EQ(0, set(kStereo, {"3", "4"}));
    EXPECT_EQ((std::vector<long>{3, 4}), values(kStereo));
    kb_fault(KB_FAULT_CTL_WRITE, -1, 0, 1, EIO);
    EXPECT_EQ(-EIO, set(kStereo, {"5", "6"}));
    EXPECT_EQ(1u, writes());
}

}  // namespace
