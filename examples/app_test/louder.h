// SPDX-License-Identifier: MIT
/*
 * louder.h - a small application: records from the microphone, then plays
 * what it heard back louder on the speaker path.
 */
#ifndef LOUDER_H
#define LOUDER_H

#ifdef __cplusplus
extern "C" {
#endif

enum { LOUDER_RATE = 8000 };

/* Records `ms` milliseconds of 8000 Hz mono 16-bit audio from the
 * microphone ("hw:0,0" capture), then plays them on the speaker path
 * ("hw:0,0" playback) with each sample multiplied by `gain` (clamped to the
 * 16-bit range). 0, or -1 when the recorder or the player cannot be opened
 * or a read fails. */
int louder_echo(unsigned ms, int gain);

#ifdef __cplusplus
}
#endif

#endif /* LOUDER_H */
