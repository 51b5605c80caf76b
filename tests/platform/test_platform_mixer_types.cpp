// Mixer value types the board's card does not have (enumerated, 64-bit
// integer, bytes) and controls that share a name: this program answers the
// control ioctls of one private path itself, in front of the board.
#include <alsa_audio.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr const char *kFakePath = "/ka-test/fake-controlC0";

struct FakeCtl {
    const char *name;
    unsigned index;
    int type;
    unsigned count;
    long long min, max;
};
const FakeCtl kCtls[] = {
    {"Mode", 0, SNDRV_CTL_ELEM_TYPE_ENUMERATED, 2, 0, 0},
    {"Gain", 0, SNDRV_CTL_ELEM_TYPE_INTEGER, 1, -10, 10},
    {"Gain", 1, SNDRV_CTL_ELEM_TYPE_INTEGER, 1, 0, 5},
    {"Counter", 0, SNDRV_CTL_ELEM_TYPE_INTEGER64, 1, -5, 5000000000LL},
    {"Blob", 0, SNDRV_CTL_ELEM_TYPE_BYTES, 4, 0, 0},
};
constexpr unsigned kCount = sizeof kCtls / sizeof kCtls[0];
const char *const kModes[] = {"Off", "Speaker", "Headset"};

int g_fake_fd = -1;
bool g_fail_items = false;
struct Write {
    unsigned numid;
    long long v[2];
};
std::vector<Write> g_writes;

int answer(unsigned long req, void *arg)
{
    if (req == SNDRV_CTL_IOCTL_ELEM_LIST) {
        auto *l = static_cast<snd_ctl_elem_list *>(arg);
        l->count = kCount;
        l->used = 0;
        for (unsigned i = 0; i < kCount && l->used < l->space; ++i) {
            snd_ctl_elem_id &id = l->pids[l->used++];
            memset(&id, 0, sizeof id);
            id.numid = i + 1;
        }
        return 0;
    }
    if (req == SNDRV_CTL_IOCTL_ELEM_INFO) {
        auto *in = static_cast<snd_ctl_elem_info *>(arg);
        unsigned numid = in->id.numid, item = in->value.enumerated.item;
        if (numid < 1 || numid > kCount) return ENOENT;
        const FakeCtl &c = kCtls[numid - 1];
        memset(in, 0, sizeof *in);
        in->id.numid = numid;
        in->id.index = c.index;
        snprintf(reinterpret_cast<char *>(in->id.name), sizeof in->id.name, "%s", c.name);
        in->type = c.type;
        in->count = c.count;
        if (c.type == SNDRV_CTL_ELEM_TYPE_ENUMERATED) {
            if (g_fail_items && item > 0) return EIO;
            in->value.enumerated.items = 3;
            in->value.enumerated.item = item;
            if (item < 3) snprintf(in->value.enumerated.name, sizeof in->value.enumerated.name, "%s", kModes[item]);
        } else if (c.type == SNDRV_CTL_ELEM_TYPE_INTEGER64) {
            in->value.integer64.min = c.min;
            in->value.integer64.max = c.max;
        } else {
            in->value.integer.min = static_cast<long>(c.min);
            in->value.integer.max = static_cast<long>(c.max);
        }
        return 0;
    }
    if (req == SNDRV_CTL_IOCTL_ELEM_WRITE) {
        auto *v = static_cast<snd_ctl_elem_value *>(arg);
        if (v->id.numid < 1 || v->id.numid > kCount) return ENOENT;
        Write w{v->id.numid, {}};
        for (int i = 0; i < 2; ++i) {
            switch (kCtls[v->id.numid - 1].type) {
            case SNDRV_CTL_ELEM_TYPE_ENUMERATED: w.v[i] = v->value.enumerated.item[i]; break;
            case SNDRV_CTL_ELEM_TYPE_INTEGER64: w.v[i] = v->value.integer64.value[i]; break;
            default: w.v[i] = v->value.integer.value[i];
            }
        }
        g_writes.push_back(w);
        return 0;
    }
    return ENOTTY;
}

}  // namespace

extern "C" int open(const char *path, int flags, ...)
{
    using open_fn = int (*)(const char *, int, ...);
    static open_fn next = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    if (strcmp(path, kFakePath) == 0) return g_fake_fd = next("/dev/null", O_RDWR);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return next(path, flags, mode);
}

extern "C" int ioctl(int fd, unsigned long req, ...) noexcept
{
    using ioctl_fn = int (*)(int, unsigned long, ...);
    static ioctl_fn next = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd < 0 || fd != g_fake_fd) return next(fd, req, arg);
    int err = answer(req, arg);
    if (err) errno = err;
    return err ? -1 : 0;
}

namespace {

class PlatformMixerTypes : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_writes.clear();
        g_fail_items = false;
        m = mixer_open(kFakePath);
        ASSERT_NE(nullptr, m);
    }
    void TearDown() override { mixer_close(m); }
    int set(const char *name, unsigned index, std::vector<const char *> argv)
    {
        struct mixer_ctl *c = mixer_get_control(m, name, index);
        if (!c) return 1;
        return mixer_ctl_set_value(c, static_cast<int>(argv.size()), const_cast<char **>(argv.data()));
    }
    struct mixer *m = nullptr;
};

TEST_F(PlatformMixerTypes, ListingKeepsItemNamesAndElementIndices)
{
    ASSERT_EQ(kCount, m->count);
    ASSERT_NE(nullptr, m->ctl[0].ename);
    for (int j = 0; j < 3; ++j) EXPECT_STREQ(kModes[j], m->ctl[0].ename[j]);
    for (unsigned i = 1; i < kCount; ++i) EXPECT_EQ(nullptr, m->ctl[i].ename);
    EXPECT_EQ(&m->ctl[1], mixer_get_control(m, "Gain", 0));
    EXPECT_EQ(&m->ctl[2], mixer_get_control(m, "Gain", 1));
    EXPECT_EQ(nullptr, mixer_get_control(m, "Gain", 2));

    // An item name that can't be read fails the whole open, descriptor closed.
    g_fail_items = true;
    int before = g_fake_fd;
    EXPECT_EQ(nullptr, mixer_open(kFakePath));
    EXPECT_NE(before, g_fake_fd);
    EXPECT_EQ(-1, fcntl(g_fake_fd, F_GETFD));
}

TEST_F(PlatformMixerTypes, ConversionByType)
{
    EXPECT_EQ(0, set("Mode", 0, {"Headset", "1"}));  // item name or item number
    EXPECT_EQ(0, set("Gain", 0, {"-10"}));
    EXPECT_EQ(0, set("Gain", 1, {"5"}));             // the second "Gain" has its own range
    EXPECT_EQ(0, set("Counter", 0, {"5000000000"}));
    ASSERT_EQ(4u, g_writes.size());
    EXPECT_EQ(1u, g_writes[0].numid);
    EXPECT_EQ(2, g_writes[0].v[0]);
    EXPECT_EQ(1, g_writes[0].v[1]);
    EXPECT_EQ(2u, g_writes[1].numid);
    EXPECT_EQ(-10, g_writes[1].v[0]);
    EXPECT_EQ(3u, g_writes[2].numid);
    EXPECT_EQ(4u, g_writes[3].numid);
    EXPECT_EQ(5000000000LL, g_writes[3].v[0]);

    const struct {
        const char *name;
        unsigned index;
        std::vector<const char *> argv;
    } bad[] = {{"Mode", 0, {"Off", "3"}},       {"Mode", 0, {"speaker", "0"}},
               {"Mode", 0, {"-1", "0"}},        {"Mode", 0, {"Off"}},
               {"Gain", 1, {"6"}},              {"Gain", 1, {"-1"}},
               {"Counter", 0, {"5000000001"}},  {"Counter", 0, {"-6"}},
               {"Blob", 0, {"1", "2", "3", "4"}}};
    for (const auto &b : bad) EXPECT_LT(set(b.name, b.index, b.argv), 0) << b.name << " " << b.argv[0];
    EXPECT_EQ(4u, g_writes.size());
}

}  // namespace
