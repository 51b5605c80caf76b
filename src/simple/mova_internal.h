// SPDX-License-Identifier: MIT
// Stream parameter setups of the simple family, shared by the file player
// and the PCM streams. Both negotiate the hardware parameters from the
// stream's rate, channels, flags and format, store the buffer size, period
// size and period count into the stream, and set the software parameters.
// 0, -ENOMEM, or the negated errno of the refused call; messages go to the
// standard error stream.
#pragma once

struct pcm;

int mova_play_set_params(struct pcm *pcm);
int mova_record_set_params(struct pcm *pcm);

// The channel bits the playback setup and the file player know: mono and
// 5.1 (capture also knows four channels).
constexpr unsigned kMovaPlayChannelBits = 0x01000000u | 0x04000000u;
