// Codec detection by the sysfs node text and the codec volume on a 0..100
// scale. The detected type is kept for the life of the process, so every
// volume case runs in a fresh process of its own (a death test in the
// "threadsafe" style re-executes this program): there the cache is empty,
// exactly as in an application that has just started.
#include <sound/asound.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>

#include "controls_test.h"
#include "ka_lib_audio.h"

using namespace ka_test;

namespace {

constexpr const char *kNodeMissing = "open codec name node failed: /sys/devices/soc:sound/codec_name\n";

class Codec : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

// Runs the lambda in a fresh process whose board shows `node` as the codec
// name (NULL: no node) and expects the text it returns.
#define EXPECT_FRESH(node, expected, ...)                                              \
    EXPECT_EXIT(                                                                       \
        {                                                                              \
            kb_set_codec_node(node);                                                   \
            const std::string got = std::function<std::string()>(__VA_ARGS__)();       \
            fprintf(stderr, "<<%s>>\n", got.c_str());                                  \
            fflush(stderr);                                                            \
            _exit(0);                                                                  \
        },                                                                             \
        ::testing::ExitedWithCode(0), "<<" expected ">>")

std::string join(const std::vector<long> &v)
{
    std::string s;
    for (long x : v) s += (s.empty() ? "" : ",") + std::to_string(x);
    return s;
}

// "set=<result> ctl=<values>" after a set.
std::string set_report(int type, uint32_t l, uint32_t r, const char *ctl)
{
    const int rc = Ka_AudCodec_SetVolume(type, l, r);
    return "set=" + std::to_string(rc) + " ctl=" + join(ctl_values(ctl));
}

// "get=<result>:<left>,<right>" (the outputs as they were left).
std::string get_report(int type)
{
    int l = -7, r = -7;
    const int rc = Ka_AudCodec_GetVolume(type, &l, &r);
    return "get=" + std::to_string(rc) + ":" + std::to_string(l) + "," + std::to_string(r);
}

}  // namespace

TEST_F(Codec, DetectionTakesTheFirstMatchInTableOrder)
{
    const struct {
        const char *text;
        int type;
    } cases[] = {
        {"alc5616-codec.2-001b\n", 0}, {"nau8810.1-001a\n", 1}, {"nau88c10.1-001a", 2},
        {"nau8814.0-001a\n", 3},       {"tlv320aic3x.2-0018\n", 4}, {"max9867.1-0018\n", 5},
        {"max9860.1-0010\n", 6},       {"x 8810 and 5616\n", 0},    {"wm8960.1-001a\n", -1},
        {"", -1},
    };
    for (const auto &c : cases) {
        kb_set_codec_node(c.text);
        EXPECT_EQ(c.type, codec_get_type()) << c.text;
    }
    log.clear();
    kb_set_codec_node(nullptr);
    EXPECT_EQ(-1, codec_get_type());
    EXPECT_EQ(1, lib_msg(log, kError, kNodeMissing));
    EXPECT_EQ(0, kb_open_fds());
}

// The lambdas below build their report with operator<<, whose operands are
// evaluated left to right (unlike those of +), so the calls run in the order
// they are written.

TEST_F(Codec, Alc5616KeepsTheLastPercentagesWhileTheyMapExactly)
{
    // 50 % of 175 truncates to 87; the stored 50 comes back, not 49.
    EXPECT_FRESH("alc5616-codec.2-001b\n", "set=0 ctl=87,175 get=0:50,100", [] {
        std::ostringstream out;
        out << set_report(0, 50, 100, "DAC1 Playback Volume") << " " << get_report(0);
        return out.str();
    });
    // A fresh process converts the raw values back.
    EXPECT_FRESH("alc5616-codec.2-001b\n", "get=0:49,100", [] {
        const long raw[2] = {87, 175};
        kb_ctl_set("DAC1 Playback Volume", raw, 2);
        return get_report(0);
    });
    // Capture: 100 % is the row's maximum; a control changed behind the
    // library's back no longer matches and is converted.
    EXPECT_FRESH("alc5616-codec.2-001b\n", "set=0 ctl=125,0 get=0:100,0 get=0:50,100", [] {
        std::ostringstream out;
        out << set_report(1, 100, 0, "ADC Capture Volume") << " " << get_report(1);
        const long raw[2] = {63, 125};
        kb_ctl_set("ADC Capture Volume", raw, 2);
        out << " " << get_report(1);
        return out.str();
    });
}

TEST_F(Codec, OneValueCodecWritesTheLeftValueOnly)
{
    // NAU8810 capture 40/0 writes 102; the stored right 0 does not map to
    // 102, so the get converts: 100 * 102 / 255 = 40 on both sides.
    EXPECT_FRESH("nau8810.1-001a\n", "set=0 ctl=102 get=0:40,40", [] {
        std::ostringstream out;
        out << set_report(1, 40, 0, "Capture Volume") << " " << get_report(1);
        return out.str();
    });
    EXPECT_FRESH("nau88c10.1-001a\n", "set=0 ctl=41 get=0:33,33", [] {
        std::ostringstream out;
        out << set_report(0, 33, 33, "Master Playback Volume") << " " << get_report(0);
        return out.str();
    });
}

TEST_F(Codec, BadRequestsAreRefusedWithTheirMessages)
{
    // Out-of-range percentages are refused before detection: no node read.
    EXPECT_FRESH(nullptr, "-1,-1 range=2 node=0 -1 get=-1:-7,-7 unknown=11 null=-1-1", [] {
        LogCapture capture;
        std::ostringstream out;
        out << Ka_AudCodec_SetVolume(0, 101, 0) << "," << Ka_AudCodec_SetVolume(1, 0, 0xFFFFFFFFu);
        out << " range="
            << lib_msg(capture, kError, "Codec volume 0-100 input:[101,0]\n") +
                   lib_msg(capture, kError, "Codec volume 0-100 input:[0,-1]\n");
        out << " node=" << capture.count("open codec name node");
        // Bad volume types on a known codec.
        kb_set_codec_node("alc5616-codec.2-001b\n");
        out << " " << Ka_AudCodec_SetVolume(2, 10, 10) << " " << get_report(-1);
        out << " unknown=" << lib_msg(capture, kError, "Unknown type of codec\n")
            << lib_msg(capture, kError, "unknown volume type -1\n");
        int l = 0;
        out << " null=" << Ka_AudCodec_GetVolume(0, &l, nullptr) << Ka_AudCodec_GetVolume(0, nullptr, &l);
        return out.str();
    });
}

TEST_F(Codec, MissingNodeIsLookedForAgainOnEveryCall)
{
    EXPECT_FRESH(nullptr, "-1 get=-1:-7,-7 node=2 msgs=11 set=0 ctl=35,70", [] {
        LogCapture capture;
        std::ostringstream out;
        out << Ka_AudCodec_SetVolume(0, 50, 50) << " " << get_report(0);
        out << " node=" << lib_msg(capture, kError, kNodeMissing);
        out << " msgs=" << lib_msg(capture, kError, "Unknown type of codec\n")
            << lib_msg(capture, kError, "unknown volume type 0\n");
        // Once the node appears, the next call finds the codec.
        kb_set_codec_node("alc5616-codec.2-001b\n");
        out << " " << set_report(0, 20, 40, "DAC1 Playback Volume");
        return out.str();
    });
}

TEST_F(Codec, CodecsWithoutAUsableControl)
{
    // MAX9860 has no row at all.
    EXPECT_FRESH("max9860.1-0010\n", "-1 get=-1:-7,-7 11", [] {
        LogCapture capture;
        std::ostringstream out;
        out << Ka_AudCodec_SetVolume(0, 10, 10) << " " << get_report(1) << " "
            << lib_msg(capture, kError, "Unknown type of codec\n")
            << lib_msg(capture, kError, "unknown volume type 1\n");
        return out.str();
    });
    // MAX9867: the playback volume names no control, so the mixer finds
    // nothing to write and the get fails; the capture volume drives
    // "Master Playback Volume" up to 20.
    EXPECT_FRESH("max9867.1-0018\n", "0 get=-1:-7,-7 err=1 nctl=2 set=0 ctl=10", [] {
        LogCapture capture;
        std::ostringstream out;
        out << Ka_AudCodec_SetVolume(0, 50, 50) << " " << get_report(0);
        out << " err=" << lib_msg(capture, kDebug, "Codec get volume error\n");
        out << " nctl=" << capture.count("Could not get the mixer control for ''.");
        out << " " << set_report(1, 50, 50, "Master Playback Volume");
        return out.str();
    });
}
