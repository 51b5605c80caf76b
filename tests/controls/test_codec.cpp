// Codec detection by the sysfs node text and the codec volume. The detected
// type is kept for the life of the process, so each volume case runs in a
// fresh process (a "threadsafe" death test re-executes this program), just
// like an application that has just started.
#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <sstream>

#include "controls_test.h"
#include "ka_lib_audio.h"

using namespace ka_test;

namespace {

constexpr const char *kAlc = "alc5616-codec.2-001b\n";

// Runs the statements in a fresh process whose codec node reads `node` (NULL:
// no node); they write a report to `out` (with <<, which runs the calls in
// the order they are written), and the report must read `expected`.
[[noreturn]] void fresh(const char *node, const std::function<void(std::ostringstream &)> &body)
{
    kb_set_codec_node(node);
    std::ostringstream out;
    body(out);
    fprintf(stderr, "<<%s>>\n", out.str().c_str());
    _exit(0);
}
#define EXPECT_FRESH(node, expected, ...)          \
    GTEST_FLAG_SET(death_test_style, "threadsafe"); \
    EXPECT_EXIT(fresh(node, [](std::ostringstream & out) { __VA_ARGS__; }), ::testing::ExitedWithCode(0), "<<" expected ">>")

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

using Codec = BoardTest;

}  // namespace

TEST_F(Codec, DetectedByTheFirstMatchInTableOrder)
{
    const std::pair<const char *, int> cases[] = {
        {kAlc, 0},       {"nau8810.1-001a", 1},  {"nau88c10.1-001a", 2}, {"nau8814.0-001a", 3}, {"tlv320aic3x", 4},
        {"max9867.1", 5}, {"max9860.1", 6},      {"x 8810 5616", 0},     {"wm8960.1-001a", -1}, {"", -1}, {nullptr, -1}};
    for (const auto &[text, type] : cases) {
        kb_set_codec_node(text);
        EXPECT_EQ(type, codec_get_type()) << (text ? text : "no node");
    }
    EXPECT_EQ(1, log.count("open codec name node failed: /sys/devices/soc:sound/codec_name\n"));
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(Codec, VolumeArithmeticBothWays)
{
    // 50 % of 175 truncates to 87; the stored 50 comes back, not 49.
    EXPECT_FRESH(kAlc, "set=0 ctl=87;175; get=0:50,100", out << set(0, 50, 100, "DAC1 Playback Volume") << get(0));
    // A fresh process converts the raw values back...
    EXPECT_FRESH(kAlc, " get=0:49,100",
        const long raw[2] = {87, 175};
        kb_ctl_set("DAC1 Playback Volume", raw, 2);
        out << get(0);
    );
    // ... and so does one whose control changed behind the library's back.
    EXPECT_FRESH(kAlc, "set=0 ctl=125;0; get=0:100,0 get=0:50,100",
        out << set(1, 100, 0, "ADC Capture Volume") << get(1);
        const long raw[2] = {63, 125};
        kb_ctl_set("ADC Capture Volume", raw, 2);
        out << get(1);
    );
    // One-value codec: 40 % of 255 is 102; the stored right 0 does not map to
    // 102, so the get converts 102 back on both sides.
    EXPECT_FRESH("nau8810.1-001a\n", "set=0 ctl=102; get=0:40,40", out << set(1, 40, 0, "Capture Volume") << get(1));
}

TEST_F(Codec, RefusedRequestsAndCodecsWithoutAUsableControl)
{
    // Above 100 % is refused; without a node or with an unknown codec the
    // volume cannot be set; a bad volume type fails on a known codec.
    EXPECT_FRESH(nullptr, "-1 -1 get=-1:-7,-7", out << Ka_AudCodec_SetVolume(0, 101, 0) << " "
                                                    << Ka_AudCodec_SetVolume(0, 50, 50) << get(0));
    EXPECT_FRESH("wm8960.1-001a\n", "-1 -1 get=-1:-7,-7", out << Ka_AudCodec_SetVolume(0, 50, 50) << " "
                                                              << Ka_AudCodec_SetVolume(2, 10, 10) << get(0));
    EXPECT_FRESH(kAlc, "-1 get=-1:-7,-7", out << Ka_AudCodec_SetVolume(2, 10, 10) << get(-1));
    // MAX9867: playback names no control, so nothing is written and the get
    // fails; capture drives "Master Playback Volume" up to 20.
    EXPECT_FRESH("max9867.1-0018\n", "0 get=-1:-7,-7 set=0 ctl=10;",
        out << Ka_AudCodec_SetVolume(0, 50, 50) << get(0) << " " << set(1, 50, 50, "Master Playback Volume"));
}
