// SPDX-License-Identifier: MIT
// The controls on the emulated board: mixer control access by name
// (tokenising, count mismatches, reads, refusals of the platform, the
// descriptor closed after every call), codec detection by the sysfs node text
// and the codec volume, the ALC5616 DRC/AGC registers on I2C, the DTMF tone
// and the voice volumes.
#include <alsa_audio.h>
#include <errno.h>
#include <stdio.h>

#include <functional>
#include <sstream>

#include "ka_lib_audio.h"
#include "ka_test.h"

using namespace ka_test;

namespace {

using Controls = BoardTest;

using Writes = std::vector<std::string>;

// ---- Mixer ------------------------------------------------------------------

constexpr const char kRoute[] = "SEC_AUX_PCM_RX Audio Mixer MultiMedia1";  // 1 value
constexpr const char kStereo[] = "DAC1 Playback Volume";                   // 2 values
constexpr const char kTriple[] = "Voice Rx Gain";                          // 3 values

TEST_F(Controls, MixerRefusesBadRequestsBeforeTouchingTheDevice)
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
        EXPECT_EQ(log.errors("ka_mixer"), std::vector<std::string>{error + "\n"});
    }
    // A read without a record to fill is refused silently.
    log.clear();
    EXPECT_EQ(Ka_clt_get_mixer_value(kStereo, nullptr), 0);
    EXPECT_EQ(log.dump(), "");
    EXPECT_EQ(kb_fault_hits(KB_FAULT_CTL_OPEN), 0);
    EXPECT_TRUE(ctl_writes().empty());
}

// Values split on runs of spaces; refusals of the platform; two-value reads.
TEST_F(Controls, MixerSetsAndReadsValuesAndReportsPlatformRefusals)
{
    EXPECT_EQ(Ka_clt_set_mixer_value(kTriple, 3, "0 1 2"), 1) << log.dump();
    // The first token is stored without a line; each later one is counted.
    EXPECT_EQ(log.count("count_empty: 1, token: 1\n"), 1);
    EXPECT_EQ(Ka_clt_set_mixer_value(kStereo, 2, "  5   7 "), 1) << log.dump();
    EXPECT_EQ(movaro_clt_set_mixer_value(kRoute, 1, "1"), 1);
    EXPECT_TRUE(log.errors("ka_mixer").empty());
    log.clear();
    // No control of that name; a value the control does not take, where
    // both platform setters fail and the failure carries no message of its own.
    EXPECT_EQ(Ka_clt_set_mixer_value("No Such Control", 1, "1"), 0);
    EXPECT_EQ(Ka_clt_set_mixer_value(kRoute, 1, "7"), 0);
    EXPECT_EQ(log.errors("ka_mixer"), Writes{"Could not get the mixer control for 'No Such Control'.\n"});
    EXPECT_EQ(log.count("sucess"), 0);
    // The first platform setter failing once: the second one writes. (A
    // device refusing every write: the fault matrix.)
    kb_fault(KB_FAULT_CTL_WRITE, -1, 0, 1, EIO);
    EXPECT_EQ(Ka_clt_set_mixer_value(kRoute, 1, "1"), 1);
    EXPECT_EQ(ctl_writes(), (Writes{"Voice Rx Gain = 0 1 2", "DAC1 Playback Volume = 5 7",
                                    kRoute + std::string(" = 1"), kRoute + std::string(" = 1")}));
    const long stereo[2] = {100, 150};
    ASSERT_EQ(kb_ctl_set(kStereo, stereo, 2), 0);
    struct snd_ctl_elem_value v;
    memset(&v, 0xA5, sizeof v);
    EXPECT_EQ(Ka_clt_get_mixer_value(kStereo, &v), 2);
    // The record is cleared first. (A failed read: the fault matrix, through
    // the codec volume.)
    EXPECT_EQ((std::vector<long>{v.value.integer.value, v.value.integer.value + 3}),
              (std::vector<long>{100, 150, 0}));
    EXPECT_EQ(log.count("mixer get DAC1 Playback Volume\n"), 1);
    EXPECT_EQ(Ka_clt_get_mixer_value("No Such Control", &v), -1);
    log.clear();
    EXPECT_EQ(Ka_clt_get_mixer_value(nullptr, &v), -1);
    EXPECT_EQ(log.errors("ka_mixer"), Writes{"Could not get the mixer control for 'NULL'.\n"});
    EXPECT_EQ(kb_open_fds(), 0);
}

// ---- Codec ------------------------------------------------------------------

constexpr const char *kAlc = "alc5616-codec.2-001b\n";

// The detected codec type and the platform mixer object are kept for the
// life of the process, so each volume case runs in a fresh process (a
// "threadsafe" death test re-executes this program), just like an
// application that has just started. The statements run there with the codec node reading `node`
// (NULL: no node); they write a report to `out` (with <<, which runs the
// calls in the order they are written), and the report must read
// `expected`.
[[noreturn]] void fresh(const char *node, const std::function<void(std::ostringstream &)> &body)
{
    kb_set_codec_node(node);
    std::ostringstream out;
    body(out);
    fprintf(stderr, "<<%s>>\n", out.str().c_str());
    exit(0);  // (not _exit, which would skip writing a coverage build's counts)
}
#define EXPECT_FRESH(node, expected, ...)                                                                \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                                      \
    EXPECT_EXIT(fresh(node, [](std::ostringstream &out) { __VA_ARGS__; }), ::testing::ExitedWithCode(0), \
                "<<" expected ">>")

std::string set(int type, uint32_t l, uint32_t r, const char *ctl)
{
    std::ostringstream out;
    out << "set=" << Ka_AudCodec_SetVolume(type, l, r) << " ctl=";
    long v[8] = {};
    for (int i = 0, n = kb_ctl_get(ctl, v, 8); i < n && i < 8; ++i) out << v[i] << ";";
    return out.str();
}

std::string get(int type)
{
    int l = -7, r = -7, rc = Ka_AudCodec_GetVolume(type, &l, &r);
    return " get=" + std::to_string(rc) + ":" + std::to_string(l) + "," + std::to_string(r);
}

TEST_F(Controls, CodecDetectedByTheFirstMatchInTableOrder)
{
    // (The codecs of the volume tests are not repeated here.)
    const std::pair<const char *, int> cases[] = {
        {"nau88c10.1-001a", 2}, {"max9860.1", 6}, {"x 8810 5616", 0}, {"", -1}, {nullptr, -1},
    };
    for (const auto &[text, type] : cases) {
        kb_set_codec_node(text);
        EXPECT_EQ(type, codec_get_type()) << (text ? text : "no node");
    }
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(Controls, CodecVolumeArithmeticBothWaysAndRefusals)
{
    // 50 % of 175 truncates to 87; the stored 50 comes back, not 49.
    EXPECT_FRESH(kAlc, "set=0 ctl=87;175; get=0:50,100",
                 out << set(0, 50, 100, "DAC1 Playback Volume") << get(0));
    // A fresh process converts the raw values back...
    EXPECT_FRESH(kAlc, " get=0:49,100", const long raw[2] = {87, 175};
                 kb_ctl_set("DAC1 Playback Volume", raw, 2); out << get(0););
    // ... and so does one whose control changed behind the library's back.
    EXPECT_FRESH(kAlc, "set=0 ctl=125;0; get=0:100,0 get=0:50,100",
                 out << set(1, 100, 0, "ADC Capture Volume") << get(1);
                 const long raw[2] = {63, 125}; kb_ctl_set("ADC Capture Volume", raw, 2); out << get(1););
    // One-value codec: 100 % is its top value 255; the stored right 0 does
    // not map to 255, so the get converts 255 back on both sides.
    EXPECT_FRESH(
        "nau8810.1-001a\n", "set=0 ctl=255; get=0:100,100 set=0 ctl=255;",
        out << set(1, 100, 0, "Capture Volume") << get(1) << " " << set(0, 100, 0, "Playback Volume"));

    // Above 100 % is refused; without a node or with an unknown codec the
    // volume cannot be set; a bad volume type fails on a known codec.
    EXPECT_FRESH(
        nullptr, "-1 -1 get=-1:-7,-7",
        out << Ka_AudCodec_SetVolume(0, 101, 0) << " " << Ka_AudCodec_SetVolume(0, 50, 50) << get(0));
    EXPECT_FRESH(
        "wm8960.1-001a\n", "-1 -1 get=-1:-7,-7",
        out << Ka_AudCodec_SetVolume(0, 50, 50) << " " << Ka_AudCodec_SetVolume(2, 10, 10) << get(0));
    EXPECT_FRESH(kAlc, "-1 get=-1:-7,-7", out << Ka_AudCodec_SetVolume(2, 10, 10) << get(-1));
    // MAX9867: playback names no control, so nothing is written and the get
    // fails; capture drives "Master Playback Volume" up to 20.
    EXPECT_FRESH(
        "max9867.1-0018\n", "0 get=-1:-7,-7 set=0 ctl=10;",
        out << Ka_AudCodec_SetVolume(0, 50, 50) << get(0) << " " << set(1, 50, 50, "Master Playback Volume"));
}

// ---- DRC/AGC ----------------------------------------------------------------

// The number of I2C messages since the last reset.
size_t msgs()
{
    kb_i2c_msg m[64];
    return kb_i2c_msgs(m, 64);
}

std::vector<int> regs()
{
    return {kb_i2c_get_reg(2, 0x1b, 0xB4), kb_i2c_get_reg(2, 0x1b, 0xB5), kb_i2c_get_reg(2, 0x1b, 0xB6)};
}

TEST_F(Controls, DrcagcReadModifyWriteUnderTheMaskOnTheChipTheNodeNames)
{
    kb_i2c_set_reg(2, 0x1b, 0xB4, 0xF0F0), kb_i2c_set_reg(2, 0x1b, 0xB5, 0xABCD),
        kb_i2c_set_reg(2, 0x1b, 0xB6, 0xFFFF);
    const drcagc_param p = {0xFF00, 0x1299, 0x00FF, 0x1234, 0x8001, 0x0000};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ((std::vector<int>{0x12F0, 0xAB34, 0x7FFE}), regs());
    // Each register: its address and a read, then the write. (The order:
    // the failing transfers below.)
    EXPECT_EQ(msgs(), 9u);

    // A whole mask writes without reading; a zero mask skips its register.
    kb_reset();
    const drcagc_param whole = {0, 0x1111, 0xFFFF, 0x0304, 0, 0x2222};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &whole));
    EXPECT_EQ(msgs(), 1u);
    EXPECT_EQ((std::vector<int>{0, 0x0304, 0}), regs());

    // The chip from the node's text, or the given path.
    kb_i2c_add_chip(5, 0x2a);
    kb_set_codec_node("alc5616-codec.5-002a\n");
    const drcagc_param beef = {0xFFFF, 0xBEEF, 0, 0, 0, 0};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &beef));
    EXPECT_EQ(0xBEEF, kb_i2c_get_reg(5, 0x2a, 0xB4));
    // A given path is used with address 0x1B, whatever the node says.
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC("/dev/i2c-2", &beef));
    EXPECT_EQ(0xBEEF, regs()[0]);

    // Failures before any transfer: a node naming no ALC5616 or no address,
    // a bus without the chip, no parameters. (No node: the fault matrix.)
    kb_reset();
    for (const char *text : {"nau8810.1-001a\n", "alc5616-codec.2\n", "alc5616-codec.7-001b\n"}) {
        kb_set_codec_node(text);
        EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &beef)) << text;
    }
    EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC("/dev/i2c-2", nullptr));
    EXPECT_EQ(msgs(), 0u);
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(Controls, DrcagcFailingTransferStopsAtOnceKeepingEarlierWrites)
{
    // Six transfers: read and write of b5, b6, b4. When transfer k fails,
    // only the writes before it have landed, and the device is closed.
    const drcagc_param p = {0x00F0, 0x0050, 0x00F0, 0x0060, 0x00F0, 0x0040};
    for (int k = 0; k < 6; ++k) {
        kb_reset();
        kb_fault(KB_FAULT_I2C_TRANSFER, -1, k, 1, EIO);
        EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p)) << k;
        EXPECT_EQ((std::vector<int>{k > 5 ? 0x50 : 0, k > 1 ? 0x60 : 0, k > 3 ? 0x40 : 0}), regs()) << k;
        // Two messages per read, one per write, up to the failing transfer.
        EXPECT_EQ(static_cast<size_t>(k / 2 * 3 + (k % 2) * 2), msgs()) << k;
        EXPECT_EQ(0, kb_i2c_open_fds());
    }
}

// ---- Tone -------------------------------------------------------------------

TEST_F(Controls, ToneKeepsOneStreamAndWritesLowHighDurationGain)
{
    ASSERT_EQ(0, Ka_AudTone_Open(nullptr));
    EXPECT_EQ(1, pcm_info(7).open);
    // A second Open replaces the first stream instead of leaking it.
    ASSERT_EQ(0, Ka_AudTone_Open("hw:0,3"));
    EXPECT_EQ(std::pair(0, 1), std::pair(pcm_info(7).open, pcm_info(3).open));
    const tone_param digit1 = {697, 1209, 100, 500}, limits = {100, 100, 1000, 0};
    EXPECT_EQ(0, Ka_AudTone_Start(99, &digit1));
    EXPECT_EQ(0, Ka_AudTone_Start(0, &limits));
    EXPECT_EQ(1, Ka_AudTone_Stop());
    for (const tone_param &p : {tone_param{99, 1209, 100, 500}, {697, 99, 100, 500}, {697, 1209, 1001, 7}})
        EXPECT_EQ(-1, Ka_AudTone_Start(0, &p));
    EXPECT_EQ(-1, Ka_AudTone_Start(0, nullptr));
    const std::string route = "SEC_AUX_PCM_RX_Voice Mixer DTMF = 1",
                      tone = "DTMF_Generate Rx Low High Duration Gain =";
    EXPECT_EQ(ctl_writes(), (Writes{route, route, tone + " 697 1209 500 400", tone + " 100 100 0 4000",
                                    tone + " 1000 1000 0 100"}));
    Ka_AudTone_Close();
    EXPECT_EQ(0, kb_open_fds());
    // A failed Open leaves no stream behind, the replaced one included.
    ASSERT_EQ(0, Ka_AudTone_Open(nullptr));
    kb_fault(KB_FAULT_PCM_PREPARE, 7, 0, 1, EIO);
    EXPECT_EQ(-1, Ka_AudTone_Open(nullptr));
    EXPECT_EQ(0, kb_open_fds());
}

// ---- Voice ------------------------------------------------------------------

std::vector<std::string> commands()
{
    std::vector<std::string> out;
    char buf[256];
    for (size_t i = 0; kb_system_command(i, buf, sizeof buf) == 0; ++i) out.emplace_back(buf);
    return out;
}

TEST_F(Controls, VoiceCommandsAndControls)
{
    // Commands go to the first command file that exists: which of /data and
    // /run hold the file; type, volume; the line. (No file, no command: the
    // fault matrix.)
    for (auto [data, run, type, vol, cmd] :
         {std::tuple{1, 1, 0, -3, "echo rxgains gain -3 > /data/alsaucm_test"},
          {0, 1, 0, 12, "echo rxgains gain 12 > /run/alsaucm_test"},
          {1, 0, 1, 3, "echo txvoices 1 3 0 > /data/alsaucm_test"},
          {0, 1, 1, 3, "echo txvoices 1 3 0 > /run/alsaucm_test"}}) {
        kb_reset();
        kb_set_file_present("/data/alsaucm_test", data);
        kb_set_file_present("/run/alsaucm_test", run);
        EXPECT_EQ(0, Ka_AudVoice_SetVolume(type, vol));
        EXPECT_EQ(commands(), Writes{cmd}) << data << run << type;
        EXPECT_TRUE(ctl_writes().empty());
    }
    // Mute and level controls, with their limits.
    kb_reset();
    for (const auto &[type, vol] : {std::pair{2, 1}, {3, 0}, {4, 0}, {4, 5}})
        EXPECT_EQ(0, Ka_AudVoice_SetVolume(type, vol));
    EXPECT_EQ(ctl_writes(), (Writes{"Voice Rx Device Mute = 1 -1 500", "Voice Tx Device Mute = 0 -1 500",
                                    "Voice Rx Gain = 5 -1 500", "Voice Rx Gain = 0 -1 500"}));

    kb_reset();
    for (const auto &[type, vol] : {std::pair{2, 2}, {2, -1}, {3, 2}, {3, -1}, {4, 6}, {4, -1}})
        EXPECT_EQ(-1, Ka_AudVoice_SetVolume(type, vol)) << type << " " << vol;
    for (int type : {5, -1}) EXPECT_EQ(0, Ka_AudVoice_SetVolume(type, 1));
    EXPECT_TRUE(ctl_writes().empty());
    EXPECT_TRUE(commands().empty());
}

}  // namespace
