// SPDX-License-Identifier: MIT
// Hardware and software parameter negotiation of a PCM stream, shared by the
// core's stream setup and the simple family's playback and capture setups.
// The families differ only in which channel bits of the open flags their
// frame size counts, in the thresholds of a capture stream that runs on,
// and in how and where they report a failure.
#pragma once

#include "ka_devices.h"

struct pcm;

// The channel bits of the platform's open flags, all four.
constexpr unsigned KA_PCM_CHANNEL_BITS = [] {
    unsigned bits = 0;
    for (const auto &c : ka_devices::kChannels) bits |= c.flag;
    return bits;
}();

// Channel count named by the channel bits of open flags, tested in the
// order 1, 4, 6, 8 channels; only the bits in `known` count, and no bit
// among them means stereo.
constexpr unsigned ka_channels_of_flags(unsigned flags, unsigned known = KA_PCM_CHANNEL_BITS)
{
    for (const auto &c : ka_devices::kChannels)
        if (c.flag & known & flags) return static_cast<unsigned>(c.count);
    return 2;
}

// The channel bit of a count among `known` (none for stereo and for counts
// that have no bit there).
constexpr unsigned ka_channel_flag(int channels, unsigned known = KA_PCM_CHANNEL_BITS)
{
    for (const auto &c : ka_devices::kChannels)
        if (c.count == channels) return c.flag & known;
    return 0;
}

static_assert(ka_channels_of_flags(0x01000000u | 0x04000000u) == 1 &&
              ka_channels_of_flags(0x02000000u) == 4 && ka_channels_of_flags(0x08000000u) == 8 &&
              ka_channels_of_flags(0x10000000u) == 2 &&
              ka_channels_of_flags(0x02000000u, 0x01000000u | 0x04000000u) == 2);
static_assert(ka_channel_flag(1) == 0x01000000u && ka_channel_flag(4) == 0x02000000u &&
              ka_channel_flag(6) == 0x04000000u && ka_channel_flag(8) == 0x08000000u &&
              ka_channel_flag(3) == 0 && ka_channel_flag(4, 0x01000000u | 0x04000000u) == 0);

// The setup's failures; the family's report gives each its message.
enum class ka_params_failure { hw_alloc, hw_refused, sw_alloc, sw_refused };

struct ka_params_family {
    // Channel bits the frame size of the software parameters counts.
    unsigned channel_bits;
    // Start at the first frame, never stop on an overrun and fill with
    // silence (a capture stream that runs on), rather than start after one
    // period and stop at the buffer size.
    bool capture;
    void (*report)(ka_params_failure);
};

// Negotiates the hardware parameters from the stream's rate, channels,
// flags and format, stores the buffer size, period size (bytes) and period
// count into the stream, and sets the software parameters. 0, -ENOMEM, or
// the negated errno of the refused call. A parameter block the platform did
// not take is released; one it took stays the stream's.
int ka_pcm_set_params(struct pcm *pcm, const ka_params_family &family);

// The negated errno of a call that just failed; -EIO should the platform
// have left errno at 0, so that a failure is never reported as success.
int ka_neg_errno();
