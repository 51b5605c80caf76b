/*
 * ka_audio_simple.h - Simple family: blocking file player and hostless PCM streams.
 * Part of the public interface of libka_lib_audio.so.1; include
 * ka_lib_audio.h, which includes this header.
 *
 * These functions write their messages to the standard error stream. They
 * report failures as negative errno values, or a NULL stream.
 */
#ifndef KA_AUDIO_SIMPLE_H
#define KA_AUDIO_SIMPLE_H

#include "ka_lib_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ===== Blocking file player =============================================== */

/* Plays `data_sz` bytes of 16-bit PCM from `fd` on `device` in the calling
 * thread, one period per write. Runs only while the play flag is set (see
 * mova_start_play_file). 0 when the playback ended (data used up, end of
 * file, or stopped), a negative errno otherwise. */
KA_API int mova_play_file(unsigned rate, int channels, int fd, unsigned flags, const char *device,
                          uint32_t data_sz);
/* Plays a canonical 16-bit PCM WAV file. */
KA_API int mova_play_wav_file(const char *device, const char *path);

/* Sets the play flag: 0, or -ENOMEM when it is set already. */
KA_API int mova_start_play_file(void);
/* Clears the play flag; any thread may call it to end a playback early.
 * Returns the length of the message it writes. */
KA_API int mova_stop_play_file(void);
KA_API int mova_start_play_wav_file(void);
KA_API int mova_stop_play_wav_file(void);

/* ===== PCM streams of their own =========================================== */

/* Opens and prepares a stream (capture when `flags` has 0x10000000); a
 * non-zero `hostless` starts it at once. NULL on any failure. */
KA_API struct pcm *mova_pcm_open(const char *device, unsigned flags, int rate, int channels,
                                 int format, int hostless);
KA_API int mova_pcm_close(struct pcm *pcm);
KA_API int mova_write_pcm(struct pcm *pcm, const void *data, unsigned len);
KA_API int mova_read_pcm(struct pcm *pcm, void *buf, unsigned len);
/* The stream's period size in bytes. */
KA_API unsigned mova_get_pem_buffer_len(struct pcm *pcm);

#ifdef __cplusplus
}
#endif

#endif /* KA_AUDIO_SIMPLE_H */
