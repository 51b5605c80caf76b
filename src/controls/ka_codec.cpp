// SPDX-License-Identifier: MIT
// Codec detection and the codec's playback and capture volume on a 0..100
// scale. The sound driver publishes the codec's device name in sysfs; the
// volume maps onto the raw range of the codec's own ALSA volume control.
#define KA_LOG_FILE "ka_lib_audio"
#include "ka_internal.h"

#include <fcntl.h>
#include <sound/asound.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <string_view>

namespace {

constexpr const char *kCodecNode = "/sys/devices/soc:sound/codec_name";
constexpr size_t kNodeMax = 128;

// Substrings of the codec name, in the order they are searched: the index
// is the codec type, the first match wins.
constexpr std::array<std::string_view, 7> kCodecMatch = {
    "5616", "8810", "88c10", "8814", "tlv320", "max9867", "max9860",
};

constexpr unsigned kPlaybackAllowed = 1u << 0;
constexpr unsigned kCaptureAllowed = 1u << 1;

// The last percentages set, per volume. Atomic because set and get may run
// in different threads without a lock; a get racing a set may still see a
// pair from two different requests.
struct last_vol {
    std::atomic<int> left{0};
    std::atomic<int> right{0};
};

struct codec_desc {
    unsigned flags;
    const char *capture_ctl;
    const char *playback_ctl;
    int capture_max;
    int playback_max;
    last_vol capture_vol;
    last_vol playback_vol;
    int count;  // values per volume control: 1 (mono) or 2 (left, right)
};

// One row per codec type that has volume controls. The MAX9867 has no known
// playback volume control: its playback name stays empty, so a playback set
// reaches the mixer, which finds no such control and says so, and a
// playback get fails. Its capture volume drives "Master Playback Volume"
// with 20 as the top value. The MAX9860 (type 6) has no row at all.
constinit codec_desc codec_table[] = {
    {3, "ADC Capture Volume", "DAC1 Playback Volume", 125, 175, {}, {}, 2},   // ALC5616
    {3, "Capture Volume", "Playback Volume", 255, 255, {}, {}, 1},            // NAU8810
    {3, "Capture Volume", "Master Playback Volume", 127, 127, {}, {}, 1},     // NAU88C10
    {3, "Capture Volume", "Master Playback Volume", 127, 127, {}, {}, 1},     // NAU8814
    {3, "PGA Capture Volume", "PCM Playback Volume", 119, 127, {}, {}, 2},    // TLV320
    {3, "Master Playback Volume", "", 20, 63, {}, {}, 1},                     // MAX9867
};
constexpr int kCodecRows = static_cast<int>(sizeof codec_table / sizeof codec_table[0]);

// Detected codec type; negative until a volume call finds a codec.
constinit std::atomic<int> codec_type{-1};

int cached_codec_type()
{
    int t = codec_type.load(std::memory_order_relaxed);
    if (t < 0) {
        t = codec_get_type();
        codec_type.store(t, std::memory_order_relaxed);
    }
    return t;
}

codec_desc *codec_row(int t) { return (t >= 0 && t < kCodecRows) ? &codec_table[t] : nullptr; }

// What one volume type of a codec row uses.
struct volume_sel {
    const char *ctl;
    int max;
    last_vol *last;
};

// Resolves the volume type on a row; false for an unknown type, a volume the
// codec does not allow, or one without a control name.
bool select_volume(codec_desc &row, int type, volume_sel &sel)
{
    if (type == KA_CODEC_VOL_PLAYBACK && (row.flags & kPlaybackAllowed))
        sel = {row.playback_ctl, row.playback_max, &row.playback_vol};
    else if (type == KA_CODEC_VOL_CAPTURE && (row.flags & kCaptureAllowed))
        sel = {row.capture_ctl, row.capture_max, &row.capture_vol};
    else
        return false;
    return sel.ctl != nullptr;
}

}  // namespace

extern "C" KA_API int codec_get_type(void)
{
    int fd = open(kCodecNode, O_RDONLY);
    if (fd < 0) {
        KA_LOGE("open codec name node failed: %s\n", kCodecNode);
        return -1;
    }
    char text[kNodeMax + 1] = {};
    ssize_t n = read(fd, text, kNodeMax);
    if (n < 0) {
        KA_LOGE("read codec name node failed: %s\n", kCodecNode);
        close(fd);
        return -1;
    }
    text[n] = '\0';
    close(fd);

    const std::string_view name(text);
    for (size_t t = 0; t < kCodecMatch.size(); ++t)
        if (name.find(kCodecMatch[t]) != std::string_view::npos) return static_cast<int>(t);
    return -1;
}

extern "C" KA_API int Ka_AudCodec_SetVolume(int type, uint32_t left, uint32_t right)
{
    if (left > 100 || right > 100) {
        KA_LOGE("Codec volume 0-100 input:[%d,%d]\n", static_cast<int>(left), static_cast<int>(right));
        return -1;
    }
    const int ct = cached_codec_type();
    KA_LOGD("Codec set volume %d, %d, codec_type = %d, type= %d, \n", static_cast<int>(left),
            static_cast<int>(right), ct, type);

    codec_desc *row = codec_row(ct);
    volume_sel sel{};
    if (row == nullptr || !select_volume(*row, type, sel)) {
        KA_LOGE("Unknown type of codec\n");
        return -1;
    }
    // Kept even when the write below fails.
    sel.last->left.store(static_cast<int>(left), std::memory_order_relaxed);
    sel.last->right.store(static_cast<int>(right), std::memory_order_relaxed);

    // Integer arithmetic with truncation: 50 % of 175 is 87.
    const int raw_left = static_cast<int>(left) * sel.max / 100;
    const int raw_right = static_cast<int>(right) * sel.max / 100;
    char text[32] = {};
    if (row->count == 1)
        snprintf(text, sizeof text, "%d", raw_left);
    else if (row->count == 2)
        snprintf(text, sizeof text, "%d %d", raw_left, raw_right);
    else
        return 0;
    Ka_clt_set_mixer_value(sel.ctl, row->count, text);  // a failed write is logged by the mixer
    return 0;
}

extern "C" KA_API int Ka_AudCodec_GetVolume(int type, int *left, int *right)
{
    if (left == nullptr || right == nullptr) return -1;
    const int ct = cached_codec_type();
    codec_desc *row = codec_row(ct);
    volume_sel sel{};
    if (row == nullptr || !select_volume(*row, type, sel)) {
        KA_LOGE("unknown volume type %d\n", type);
        return -1;
    }

    struct snd_ctl_elem_value value;
    memset(&value, 0, sizeof value);
    const int count = Ka_clt_get_mixer_value(sel.ctl, &value);
    if (count != 1 && count != 2) {
        KA_LOGD("Codec get volume error\n");
        return -1;
    }
    const int first = static_cast<int>(value.value.integer.value[0]);
    const int second = static_cast<int>(value.value.integer.value[count == 2 ? 1 : 0]);

    // While the last percentages set still map exactly onto what the control
    // holds, they are the answer; the reverse conversion would lose what the
    // truncation dropped (50 % of 175 reads back as 49 %).
    const int last_left = sel.last->left.load(std::memory_order_relaxed);
    const int last_right = sel.last->right.load(std::memory_order_relaxed);
    int l, r;
    if (last_left * sel.max / 100 == first && last_right * sel.max / 100 == second) {
        l = last_left;
        r = last_right;
    } else {
        // Widened so that an out-of-range raw value cannot overflow; within
        // the control's range this is the 32-bit result, truncated toward 0.
        l = static_cast<int>(int64_t{100} * first / sel.max);
        r = static_cast<int>(int64_t{100} * second / sel.max);
    }
    *left = l;
    *right = r;
    KA_LOGD("Codec get volume %d, %d, codec_type = %d, type= %d, count = %d\n", l, r, ct, type, count);
    return 0;
}
