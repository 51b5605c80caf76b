// SPDX-License-Identifier: MIT
/**
 * @file ka_audio_simple.h
 * @brief Simple family: blocking file player and PCM streams of their own
 *        (hostless or not), without device contexts.
 *
 * Include ka_lib_audio.h, which includes this header. These functions write
 * their messages to the standard error stream, each beginning with the
 * function's name (as quoted below), and report failures as negative errno
 * values, or a NULL stream. They start no thread.
 */
#ifndef KA_AUDIO_SIMPLE_H
#define KA_AUDIO_SIMPLE_H

#include "ka_lib_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ===== Blocking file player =============================================== */

/** Plays raw 16-bit PCM from a descriptor on a device, in the calling
 *  thread, one period per write. Plays only while the play flag is set
 *  (mova_start_play_file()); another thread ends it early with
 *  mova_stop_play_file(). Data is written in whole chunks: a last chunk is
 *  filled from what follows in the file, or with zeros at its end. A play
 *  that reaches the end of its data lets the device play what it holds
 *  before the stream is closed (a close would drop it: up to the device's
 *  buffer, all of a short prompt); one stopped with mova_stop_play_file()
 *  meanwhile ends at once, dropping it.
 *  @param rate      sample rate in Hz
 *  @param channels  channel count (1 adds the mono flag, 6 the 5.1 flag)
 *  @param fd        descriptor at the first sample; not closed
 *  @param flags     PCM open flags (0 for playback)
 *  @param device    PCM device name
 *  @param data_sz   bytes to play
 *  @return 0 when the playback ended (data used up, end of file, or the flag
 *          cleared), a negative errno otherwise: -EBADFD (device not
 *          opened), -ENOMEM, or that of the refused call. A failure clears
 *          the play flag; a normal end leaves it set.
 *  @par Blocking
 *  For the whole playback: until the data has been written and played out
 *  by the device, or the flag is seen cleared (checked before each chunk
 *  and, at the end, at least every period). A device that stops moving
 *  holds the end at most one and a half of its buffers.
 *  @par Messages
 *  "mova_play_file:params setting failed" (after the setup's own "cannot
 *  set hw params", "cannot set sw params" or an allocation message),
 *  "mova_play_file:Failed in pcm_prepare", "mova_play_file:could not
 *  allocate %d bytes", "mova_play_file: pcm_write failed"; progress
 *  "mova_play_file: data_sz = %d, mova_play_file_need_running: %d." and
 *  "mova_play_file: Done playing". */
KA_API int mova_play_file(unsigned rate, int channels, int fd, unsigned flags, const char *device,
                          uint32_t data_sz);
/** Plays a canonical 16-bit PCM WAV file (44-byte header, format chunk of
 *  16 bytes) with mova_play_file() and its data size. Start the play flag
 *  first. Only that layout plays right: the samples are read from byte 44
 *  and their size from byte 40, whatever chunk stands there: a file with
 *  another chunk before its samples plays that chunk's contents as samples,
 *  for that chunk's length, instead of its samples.
 *  @param device  PCM device name
 *  @param path    the file
 *  @return 0, or a negative errno: -EINVAL (NULL @p path, not a 16-bit PCM
 *          WAV file, header cut short), the negative result of open(), or
 *          that of mova_play_file(). The file is closed on return.
 *  @par Blocking
 *  As mova_play_file().
 *  @par Messages
 *  "mova_play_wav_file: cannot open '%s'", "mova_play_wav_file: cannot read
 *  header", "mova_play_wav_file: '%s' is not a riff/wave file",
 *  "mova_play_wav_file: '%s' is not pcm format", "mova_play_wav_file: '%s'
 *  is not 16bit per sample", and those of mova_play_file(). */
KA_API int mova_play_wav_file(const char *device, const char *path);

/** Sets the play flag that mova_play_file() needs.
 *  @return 0, or -ENOMEM when it is set already (the previous play ended
 *          normally and was not stopped: call mova_stop_play_file()).
 *  @par Messages
 *  "mova_start_play_file: start play file, mova_play_file_need_running:
 *  %d"; when refused "mova_start_play_file: stop play file,
 *  mova_play_file_need_running: %d". */
KA_API int mova_start_play_file(void);
/** Clears the play flag; any thread may call it to end a playback after
 *  its current chunk. Does not wait for it.
 *  @return the length of the message it writes ("mova_stop_play_file: stop
 *          play file, mova_play_file_need_running: 0"). */
KA_API int mova_stop_play_file(void);
/** Same as mova_start_play_file().
 *  @return 0, or -ENOMEM. */
KA_API int mova_start_play_wav_file(void);
/** Same as mova_stop_play_file().
 *  @return the length of the message written. */
KA_API int mova_stop_play_wav_file(void);

/* ===== PCM streams of their own =========================================== */

/** Opens and prepares a PCM stream owned by the caller. A hostless stream
 *  is started at once (SNDRV_PCM_IOCTL_START), so it runs without reads or
 *  writes; otherwise it starts with the first transfer.
 *  @param device    PCM device name
 *  @param flags     PCM open flags, used unchanged: 0x10000000 capture,
 *                   channel bits 0x01000000 mono, 0x02000000 four,
 *                   0x04000000 5.1, 0x08000000 eight channels
 *  @param rate      sample rate in Hz
 *  @param channels  channel count
 *  @param format    ALSA sample format
 *  @param hostless  non-zero: start the stream now
 *  @return the stream, to be closed with mova_pcm_close(), or NULL on any
 *          failure (nothing stays open).
 *  @par Messages
 *  Each beginning "mova_pcm_open, device: %s, ": "pcm is not ready", "pcm in
 *  params setting failed" (capture; two spaces after "in"), "pcm out params
 *  setting failed", "Failed in pcm_prepare", "Hostless IOCTL_START Error no
 *  %d"; progress "flag: 0x%x, rate: %d, channel: %d, format: %d, hostless:
 *  %d." and "open pcm sucess". */
KA_API struct pcm *mova_pcm_open(const char *device, unsigned flags, int rate, int channels,
                                 int format, int hostless);
/** Closes a stream from mova_pcm_open(); writes "mova_pcm_close ".
 *  @param pcm  the stream
 *  @return the platform's close result (-1 for NULL). */
KA_API int mova_pcm_close(struct pcm *pcm);
/** Writes to a playback stream (the platform's pcm_write()).
 *  @param pcm   the stream
 *  @param data  the bytes
 *  @param len   their count, best a multiple of the period
 *  @return the platform's result: 0 or more on success, negative on failure.
 *  @par Blocking
 *  Until the device has room for the data. */
KA_API int mova_write_pcm(struct pcm *pcm, const void *data, unsigned len);
/** Reads from a capture stream (the platform's pcm_read()).
 *  @param pcm  the stream
 *  @param buf  receives the data
 *  @param len  bytes to read
 *  @return the platform's result: 0 or more on success, negative on failure.
 *  @par Blocking
 *  Until the device has captured the data. */
KA_API int mova_read_pcm(struct pcm *pcm, void *buf, unsigned len);
/** The stream's period size in bytes, the natural size of one read or
 *  write.
 *  @param pcm  the stream
 *  @return the period size, or 0 for NULL. */
KA_API unsigned mova_get_pem_buffer_len(struct pcm *pcm);

#ifdef __cplusplus
}
#endif

#endif /* KA_AUDIO_SIMPLE_H */
