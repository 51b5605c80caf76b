/*
 * ka_audio_files.h - Audio files: format detection, file playback, WAV/AMR/MP3 modules, recording to files, AMR to WAV.
 * Part of the public interface of libka_lib_audio.so.1; include
 * ka_lib_audio.h, which includes this header.
 */
#ifndef KA_AUDIO_FILES_H
#define KA_AUDIO_FILES_H

#include "ka_lib_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* KA_AUDIO_FILES_H */
