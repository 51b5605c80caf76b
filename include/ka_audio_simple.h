/*
 * ka_audio_simple.h - Simple family: blocking file player and hostless PCM streams.
 * Part of the public interface of libka_lib_audio.so.1; include
 * ka_lib_audio.h, which includes this header.
 */
#ifndef KA_AUDIO_SIMPLE_H
#define KA_AUDIO_SIMPLE_H

#include "ka_lib_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* KA_AUDIO_SIMPLE_H */
