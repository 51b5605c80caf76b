// SPDX-License-Identifier: MIT
// The platform stand-ins over the emulated module. libalsa_intf: device
// names, refused opens, an unusable handle, transfers and xrun recovery, the
// capture tone; the mixer's listing, lookup, conversion, range and count
// checks, and the control device's lookup by name. liblog's logger hook.
#include <android/log.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "board_pcm.h"

namespace {

using namespace board_pcm;

// libalsa_intf's streams: device names, refused opens, an unusable handle,
// transfers and xrun recovery, the capture tone. (Refused setups and transfers
// that fail for good: the fault matrix, through the library.)
TEST_F(Board, PlatformPcmNamesSetupTransfersAndXrunRecovery)
{
    for (const char *name : {"", "hw:", "hw:0", "hw:0,", "hw:,1", "hw:a,0", "hw:0,1x", "hw:0,-1",
                             "plughw:0,0", "audio_blue", "audio_net ", "HW:0,0"}) {
        errno = 0;
        EXPECT_TRUE(open_stream(name) == nullptr && errno == EINVAL) << name;
    }

    // A node that opens but can't tell what it is: an unusable handle that
    // says why and refuses every call.
    kb_fault(KB_FAULT_PCM_READY, -1, 0, 1, EIO);
    struct pcm *p = open_stream("hw:0,4", PCM_IN);
    ASSERT_NE(nullptr, p);
    char buf[4] = {};
    EXPECT_TRUE(!pcm_ready(p) && strstr(p->error, strerror(EIO)) && pcm_prepare(p) == -1 &&
                pcm_read(p, buf, sizeof buf) == -1)
        << p->error;
    EXPECT_EQ(0, pcm_close(p));

    p = open_stream("hw:0,6");
    ASSERT_TRUE(pcm_ready(p));
    p->channels = 1;
    ASSERT_EQ(0, negotiate(p, 2, 8000)) << p->error;
    ASSERT_EQ(0, negotiate(p, 2, 8000)) << p->error;  // the negotiated 4-byte frame counts
    std::vector<unsigned char> data(8003);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<unsigned char>(k * 7 + 3);
    ASSERT_EQ(0, pcm_write(p, data.data(), 4003)) << p->error;
    kb_fault(KB_FAULT_PCM_WRITE, 6, 0, 2, EPIPE);
    ASSERT_EQ(0, pcm_write(p, data.data() + 4000, 4000)) << p->error;
    EXPECT_EQ(2, p->underruns);
    EXPECT_EQ(4u, pcm_info(6).prepares);  // two setups, two recoveries
    std::vector<unsigned char> got(data.size());
    ASSERT_EQ(8000u, kb_pcm_played(6, 0, got.data(), got.size()));
    EXPECT_EQ(0, memcmp(data.data(), got.data(), 8000));
    pcm_close(p);

    // The board's capture tone, the same in both channels, goes on across
    // reads; prepared again after the overrun, it starts over.
    kb_capture_tone(9, 1000, 8000);
    p = open_stream("hw:0,9", PCM_IN);
    ASSERT_EQ(0, negotiate(p, 2, 8000)) << p->error;
    std::vector<int16_t> tone(640);
    kb_fault(KB_FAULT_PCM_READ, 9, 2, 1, EPIPE);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(0, pcm_read(p, tone.data(), 640)) << p->error;
        ASSERT_EQ(0, pcm_read(p, tone.data() + 320, 640)) << p->error;
        for (int n = 0; n < 320; ++n)
            ASSERT_TRUE(tone[2 * n] == int16_t(lrint(8000 * sin(2 * M_PI * 1000 * n / 8000.0))) &&
                        tone[2 * n + 1] == tone[2 * n])
                << n;
    }
    EXPECT_EQ(1, p->underruns);
    pcm_close(p);
}

// A control's values as the board holds them.
std::vector<long> values(const char *name)
{
    std::vector<long> v(8);
    v.resize(size_t(std::max(0, kb_ctl_get(name, v.data(), 8))));
    return v;
}

constexpr const char *kStereo = "DAC1 Playback Volume";                // INTEGER, 2 values, 0..175
constexpr const char *kRoute = "SEC_MI2S_RX Audio Mixer MultiMedia1";  // BOOLEAN

TEST_F(Board, PlatformMixerAndTheControlDevice)
{
    struct mixer *m = mixer_open("/dev/snd/controlC0");
    ASSERT_NE(nullptr, m);
    auto set = [m](const char *name, std::vector<const char *> argv, bool mul = false) {
        struct mixer_ctl *c = mixer_get_control(m, name, 0);
        EXPECT_NE(nullptr, c) << name;
        auto **a = const_cast<char **>(argv.data());
        const int n = int(argv.size());
        return !c ? 1 : mul ? mixer_ctl_mulvalues(c, n, a) : mixer_ctl_set_value(c, n, a);
    };
    ASSERT_EQ(4u * 7 + 2 + 7 + 3, m->count);  // four front ends' routes, DTMF, codec, voice
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
    const std::vector<std::vector<const char *>> refused = {
        {"1"},          {"1", "2", "3"}, {"176", "0"},  {"0", "-1"},
        {"12abc", "0"}, {"", "0"},       {"0x10", "0"}, {"99999999999999999999", "0"},
        {"1", nullptr}};
    for (const auto &argv : refused) {
        EXPECT_LT(set(kStereo, argv), 0) << argv[0];
        EXPECT_LT(set(kStereo, argv, true), 0) << argv[0];
    }
    for (const char *word : {"2", "-1", "yes", "", "onn"}) EXPECT_LT(set(kRoute, {word}), 0) << word;
    EXPECT_EQ(2u, kb_ctl_writes(nullptr, 0));  // refused values write nothing
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
    kb_fault(KB_FAULT_CTL_WRITE, -1, 0, 1, EIO);
    EXPECT_EQ(-EIO, set(kStereo, {"5", "6"}));

    // The board finds a control by interface and name too.
    snd_ctl_elem_value v{};
    v.id = {};
    v.id.iface = SNDRV_CTL_ELEM_IFACE_MIXER;
    snprintf(reinterpret_cast<char *>(v.id.name), sizeof v.id.name, "%s", kStereo);
    ASSERT_EQ(0, ioctl(m->fd, SNDRV_CTL_IOCTL_ELEM_READ, &v));
    EXPECT_TRUE(v.value.integer.value[0] == 0 && v.value.integer.value[1] == 175);
    v.id.numid = 0;  // it was filled in
    v.id.iface = SNDRV_CTL_ELEM_IFACE_CARD;
    EXPECT_TRUE(ioctl(m->fd, SNDRV_CTL_IOCTL_ELEM_READ, &v) == -1 && errno == ENOENT);
    // A reset puts the values back.
    kb_reset();
    EXPECT_EQ((std::vector<long>{0, 0}), values(kStereo));
    EXPECT_EQ(0u, kb_ctl_writes(nullptr, 0));
    mixer_close(m);
}

std::vector<std::string> g_texts;

void record(const __android_log_message *m)
{
    EXPECT_TRUE(m->struct_size == sizeof *m && m->buffer_id == 0 && m->file == nullptr && m->line == 0);
    g_texts.push_back(std::to_string(m->priority) + "|" + m->tag + "|" + m->message);
}

TEST(PlatformLog, LoggerHook)
{
    const std::string big(5000, 'a');  // beyond any stack buffer
    g_texts.clear();
    __android_log_set_logger(record);
    __android_log_print(ANDROID_LOG_ERROR, "tag", "%s[%d]:x=%05.1f", "ka_mixer", 42, 2.5);
    __android_log_write(ANDROID_LOG_INFO, nullptr, "as is\n");
    __android_log_print(ANDROID_LOG_DEBUG, "", "<%s>\n", big.c_str());
    __android_log_set_logger(nullptr);
    EXPECT_EQ((std::vector<std::string>{"6|tag|ka_mixer[42]:x=002.5", "4||as is\n", "3||<" + big + ">\n"}),
              g_texts);
}

}  // namespace
