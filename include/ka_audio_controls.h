/*
 * ka_audio_controls.h - Controls: DTMF tone, codec detection and volume, ALC5616 DRC/AGC, voice volume, version.
 * Part of the public interface of libka_lib_audio.so.1; include
 * ka_lib_audio.h, which includes this header.
 */
#ifndef KA_AUDIO_CONTROLS_H
#define KA_AUDIO_CONTROLS_H

#include "ka_lib_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* KA_AUDIO_CONTROLS_H */
