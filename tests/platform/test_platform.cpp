// The host stand-ins for the platform libraries: libalsa_intf's PCM side
// (device names, refused opens, negotiation, transfers and xrun recovery) and
// mixer side (listing, lookup, conversion, range and count checks) against the
// emulated board, and liblog's logger hook with many threads.
#include <alsa_audio.h>
#include <android/log.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "ka_test.h"

namespace {

using Platform = ka_test::BoardTest;

struct kb_pcm_info info_of(int dev, int dir = KB_PLAYBACK)
{
    struct kb_pcm_info i{};
    return kb_pcm_info(dev, dir, &i), i;
}

struct pcm *open_pcm(const char *name, unsigned flags = PCM_OUT)
{
    return pcm_open(flags, const_cast<char *>(name));
}

bool has_text(const struct pcm *p, int err) { return strstr(p->error, strerror(err)) != nullptr; }

// Negotiates the way the audio library does; accepted blocks become the record's.
int negotiate(struct pcm *p, unsigned channels, unsigned rate)
{
    auto *hw = static_cast<snd_pcm_hw_params *>(calloc(1, sizeof(snd_pcm_hw_params)));
    param_init(hw);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    param_set_mask(hw, SNDRV_PCM_HW_PARAM_FORMAT, SNDRV_PCM_FORMAT_S16_LE);
    param_set_min(hw, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 10);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_FRAME_BITS, channels * 16);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_CHANNELS, channels);
    param_set_int(hw, SNDRV_PCM_HW_PARAM_RATE, rate);
    param_set_hw_refine(p, hw);
    if (param_set_hw_params(p, hw) != 0) return free(hw), -1;
    auto *sw = static_cast<snd_pcm_sw_params *>(calloc(1, sizeof(snd_pcm_sw_params)));
    sw->period_step = 1;
    sw->avail_min = sw->start_threshold = unsigned(pcm_period_size(hw)) / (channels * 2);
    sw->stop_threshold = unsigned(pcm_buffer_size(hw)) / (channels * 2);
    if (param_set_sw_params(p, sw) != 0) return free(sw), -1;
    return pcm_prepare(p);
}

TEST_F(Platform, PcmDeviceNamesAndRefusedOpens)
{
    for (const char *name : {"", "hw:", "hw:0", "hw:0,", "hw:,1", "hw:a,0", "hw:0,1x", "hw:0,-1",
                             "plughw:0,0", "audio_blue", "audio_net ", "HW:0,0"}) {
        errno = 0;
        EXPECT_TRUE(open_pcm(name) == nullptr && errno == EINVAL) << name;
    }
    errno = 0;
    // Parses, but there is no such node.
    EXPECT_TRUE(open_pcm("hw:0,99") == nullptr && errno != 0 && errno != EINVAL);
    const struct { const char *name; int dev; } good[] = {
        {"hw:0,7", 7}, {"audio_bluetooth", KB_DEV_BLUETOOTH}, {"audio_usb", KB_DEV_USB},
        {"audio_net", KB_DEV_NET}};
    for (const auto &g : good)
        for (int dir : {KB_PLAYBACK, KB_CAPTURE}) {
            unsigned flags = (dir == KB_CAPTURE ? PCM_IN : PCM_OUT) | PCM_MONO;
            struct pcm *p = open_pcm(g.name, flags);
            ASSERT_TRUE(pcm_ready(p)) << g.name;
            EXPECT_TRUE(p->card_no == 0 && p->device_no == g.dev && p->flags == flags) << g.name;
            EXPECT_TRUE(info_of(g.dev, dir).open == 1 && info_of(g.dev, 1 - dir).open == 0) << g.name;
            EXPECT_EQ(0, pcm_close(p));
        }

    kb_fault(KB_FAULT_PCM_OPEN, 3, 0, 1, EBUSY);
    errno = 0;
    EXPECT_TRUE(open_pcm("hw:0,3") == nullptr && errno == EBUSY);
    // A node that opens but can't tell what it is: an unusable handle that
    // says why, and the node closed again.
    kb_fault(KB_FAULT_PCM_READY, -1, 0, 1, EIO);
    errno = 0;
    struct pcm *p = open_pcm("hw:0,4", PCM_IN);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(EIO, errno);
    EXPECT_TRUE(!pcm_ready(p) && p->fd == -1);
    EXPECT_TRUE(has_text(p, EIO)) << p->error;
    EXPECT_EQ(0, kb_open_fds());
    char buf[4] = {};
    EXPECT_TRUE(pcm_prepare(p) == -1 && pcm_read(p, buf, sizeof buf) == -1);
    EXPECT_EQ(0, pcm_close(p));
}

TEST_F(Platform, PcmNegotiationAndItsRefusals)
{
    struct pcm *p = open_pcm("hw:0,2");
    ASSERT_TRUE(pcm_ready(p));
    ASSERT_EQ(0, negotiate(p, 2, 48000)) << p->error;
    struct kb_pcm_info i = info_of(2);
    EXPECT_TRUE(i.access == SNDRV_PCM_ACCESS_RW_INTERLEAVED && i.format == SNDRV_PCM_FORMAT_S16_LE &&
                i.channels == 2 && i.rate == 48000 && i.prepares == 1);
    ASSERT_TRUE(p->hw_p && p->sw_p);
    EXPECT_EQ(i.period_bytes, unsigned(pcm_period_size(p->hw_p)));
    EXPECT_EQ(i.buffer_bytes, unsigned(pcm_buffer_size(p->hw_p)));
    EXPECT_EQ(i.period_bytes / 4, i.avail_min);
    const struct { enum kb_fault fault; int err; } refusals[] = {
        {KB_FAULT_PCM_HW_PARAMS, EINVAL}, {KB_FAULT_PCM_SW_PARAMS, ENOMEM}, {KB_FAULT_PCM_PREPARE, EIO}};
    for (const auto &r : refusals) {
        kb_fault(r.fault, 2, 0, 1, r.err);
        errno = 0;
        EXPECT_TRUE(negotiate(p, 1, 8000) == -1 && errno == r.err && has_text(p, r.err)) << p->error;
    }
    ASSERT_EQ(0, negotiate(p, 1, 8000)) << p->error;  // fresh blocks; the old ones are freed
    pcm_close(p);
}

TEST_F(Platform, PcmTransfersRecoverFromXrunsAndReportErrors)
{
    struct pcm *p = open_pcm("hw:0,6");
    ASSERT_TRUE(pcm_ready(p));
    p->channels = 1;
    ASSERT_EQ(0, negotiate(p, 2, 8000)) << p->error;  // the negotiated 4-byte frame counts
    std::vector<unsigned char> data(8003);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<unsigned char>(k * 7 + 3);
    ASSERT_EQ(0, pcm_write(p, data.data(), 4003)) << p->error;
    kb_fault(KB_FAULT_PCM_WRITE, 6, 0, 2, EPIPE);
    ASSERT_EQ(0, pcm_write(p, data.data() + 4000, 4000)) << p->error;
    EXPECT_EQ(2, p->underruns);
    EXPECT_EQ(3u, info_of(6).prepares);
    std::vector<unsigned char> got(data.size());
    ASSERT_EQ(8000u, kb_pcm_played(6, 0, got.data(), got.size()));
    EXPECT_EQ(0, memcmp(data.data(), got.data(), 8000));
    kb_fault(KB_FAULT_PCM_WRITE, 6, 0, -1, EPIPE);  // never clears: fails, no hang
    errno = 0;
    EXPECT_TRUE(pcm_write(p, data.data(), 400) == -1 && errno == EPIPE);
    kb_fault(KB_FAULT_PCM_WRITE, 6, 0, 1, EIO);
    errno = 0;
    EXPECT_TRUE(pcm_write(p, data.data(), 400) == -1 && errno == EIO && has_text(p, EIO)) << p->error;
    pcm_close(p);

    kb_capture_tone(9, 1000, 8000);
    p = open_pcm("hw:0,9", PCM_IN | PCM_MONO);
    ASSERT_EQ(0, negotiate(p, 1, 8000)) << p->error;
    std::vector<int16_t> buf(320);
    kb_fault(KB_FAULT_PCM_READ, 9, 1, 1, EPIPE);
    for (int round = 0; round < 2; ++round) {  // prepared again after the overrun: the tone starts over
        ASSERT_EQ(0, pcm_read(p, buf.data(), 640)) << p->error;
        for (int n = 0; n < 320; ++n)
            ASSERT_EQ(int16_t(lrint(8000 * sin(2 * M_PI * 1000 * n / 8000.0))), buf[n]) << n;
    }
    EXPECT_EQ(1, p->underruns);
    kb_fault(KB_FAULT_PCM_READ, 9, 0, 1, EIO);
    errno = 0;
    EXPECT_TRUE(pcm_read(p, buf.data(), 640) == -1 && errno == EIO && has_text(p, EIO)) << p->error;
    pcm_close(p);
}

class PlatformMixer : public Platform {
protected:
    void TearDown() override { mixer_close(m); }
    static std::vector<long> values(const char *name)
    {
        std::vector<long> v(8);
        v.resize(size_t(std::max(0, kb_ctl_get(name, v.data(), 8))));
        return v;
    }
    int set(const char *name, std::vector<const char *> argv, bool mul = false)
    {
        struct mixer_ctl *c = mixer_get_control(m, name, 0);
        EXPECT_NE(nullptr, c) << name;
        auto **a = const_cast<char **>(argv.data());
        const int n = int(argv.size());
        return !c ? 1 : mul ? mixer_ctl_mulvalues(c, n, a) : mixer_ctl_set_value(c, n, a);
    }
    struct mixer *m = nullptr;
};

constexpr const char *kStereo = "DAC1 Playback Volume";                // INTEGER, 2 values, 0..175
constexpr const char *kRoute = "SEC_MI2S_RX Audio Mixer MultiMedia1";  // BOOLEAN

TEST_F(PlatformMixer, ListingLookupAndSet)
{
    kb_fault(KB_FAULT_CTL_OPEN, -1, 0, 1, EACCES);
    errno = 0;
    EXPECT_EQ(nullptr, mixer_open("/dev/snd/controlC0"));
    EXPECT_EQ(EACCES, errno);
    EXPECT_EQ(nullptr, mixer_open("/dev/snd/controlC7"));
    EXPECT_EQ(0, kb_open_fds());
    ASSERT_NE(nullptr, m = mixer_open("/dev/snd/controlC0"));
    ASSERT_GT(m->count, 20u);
    for (unsigned i = 0; i < m->count; ++i) {
        const char *name = reinterpret_cast<const char *>(m->info[i].id.name);
        EXPECT_TRUE(m->ctl[i].mixer == m && m->ctl[i].info == &m->info[i]);
        EXPECT_EQ(kb_ctl_get(name, nullptr, 0), int(m->info[i].count)) << name;
        EXPECT_EQ(&m->ctl[i], mixer_get_control(m, name, 0)) << name;
    }
    EXPECT_EQ(nullptr, mixer_get_control(m, kStereo, 1));  // only one of that name
    for (const char *name : {"DAC1 Playback", "DAC1 Playback Volume ", "", (const char *)nullptr})
        EXPECT_EQ(nullptr, mixer_get_control(m, name, 0));

    // Setting checks the count and the range.
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
    EXPECT_EQ(2u, kb_ctl_writes(nullptr, 0));  // refused values write nothing
    EXPECT_EQ((std::vector<long>{0, 175}), values(kStereo));
    const struct { const char *word; long value; } words[] = {
        {"1", 1}, {"0", 0}, {"on", 1}, {"off", 0}, {"true", 1}, {"false", 0}};
    for (const auto &w : words) {
        long before = !w.value;
        kb_ctl_set(kRoute, &before, 1);
        EXPECT_EQ(0, set(kRoute, {w.word})) << w.word;
        EXPECT_EQ(std::vector<long>{w.value}, values(kRoute)) << w.word;
    }
    kb_fault(KB_FAULT_CTL_WRITE, -1, 0, 1, EIO);
    EXPECT_EQ(-EIO, set(kStereo, {"5", "6"}));
}

std::vector<std::string> g_texts;
std::atomic<int> g_a{0}, g_b{0}, g_broken{0};

void record(const __android_log_message *m)
{
    EXPECT_TRUE(m->struct_size == sizeof *m && m->buffer_id == 0 && m->file == nullptr && m->line == 0);
    g_texts.push_back(std::to_string(m->priority) + "|" + m->tag + "|" + m->message);
}

// Counts a message of the threads below, and whether it arrived whole.
void tally(const __android_log_message *m, std::atomic<int> &n)
{
    const size_t len = strlen(m->message);
    if (strcmp(m->tag, "w") != 0 || (len != 3 && len != 3 + 5000) || m->message[len - 1] != '\n') ++g_broken;
    ++n;
}

TEST(PlatformLog, LoggerHookWithManyThreads)
{
    const std::string big(5000, 'a');  // beyond any stack buffer
    g_texts.clear();
    g_a = g_b = g_broken = 0;
    __android_log_set_logger(record);
    __android_log_print(ANDROID_LOG_ERROR, "tag", "%s[%d]:x=%05.1f", "ka_mixer", 42, 2.5);
    __android_log_write(ANDROID_LOG_INFO, nullptr, "as is\n");
    __android_log_print(ANDROID_LOG_DEBUG, "", "<%s>\n", big.c_str());
    EXPECT_EQ((std::vector<std::string>{"6|tag|ka_mixer[42]:x=002.5", "4||as is\n", "3||<" + big + ">\n"}),
              g_texts);

    // Writers log while another thread swaps the logger: each message reaches
    // one logger, whole.
    constexpr int kThreads = 4, kEach = 1000;
    std::atomic<bool> stop{false};
    __android_logger_function fa = [](const __android_log_message *m) { tally(m, g_a); };
    __android_logger_function fb = [](const __android_log_message *m) { tally(m, g_b); };
    __android_log_set_logger(fa);
    std::thread switcher([&] {
        for (bool a = false; !stop.load(); a = !a) __android_log_set_logger(a ? fa : fb);
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t, &big] {
            for (int i = 0; i < kEach; ++i)
                __android_log_print(ANDROID_LOG_DEBUG, "w", "%d:%s\n", t, i % 100 ? "" : big.c_str());
        });
    for (auto &w : writers) w.join();
    stop = true;
    switcher.join();
    __android_log_set_logger(nullptr);
    EXPECT_EQ(kThreads * kEach, g_a.load() + g_b.load());
    EXPECT_EQ(0, g_broken.load());
}

}  // namespace
