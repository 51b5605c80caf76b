/*
 * ka_audio_files.h - Audio files: format detection, file playback, WAV/AMR/MP3 modules, recording to files, AMR to WAV.
 * Part of the public interface of libka_lib_audio.so.1; include
 * ka_lib_audio.h, which includes this header.
 */
#ifndef KA_AUDIO_FILES_H
#define KA_AUDIO_FILES_H

#include <stdio.h>

#include "ka_lib_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ===== Format detection =================================================== */

/* What a successful check fills: PCM open flags (always 0, playback),
 * channels, rate in Hz, ALSA sample format (0 S8, 2 S16_LE, 6 S24_LE,
 * 10 S32_LE) and the file type code (AUD_FILE_*). A failed check writes
 * nothing. */
typedef struct format_info {
    int32_t flags;
    int32_t channels;
    int32_t rate;
    int32_t format;
    int32_t file_type;
} format_info;

/* Each check rewinds the descriptor first and leaves it where playback
 * starts: byte 44 for WAV, byte 0 for AMR and MP3. 0 recognised, -1 not (or a
 * NULL info). */
KA_API int check_wav_file(int fd, format_info *info);
KA_API int check_amrnb_file(int fd, format_info *info);
KA_API int check_amrwb_file(int fd, format_info *info);
KA_API int check_mp3_file(int fd, format_info *info);
/* The MPEG frame header behind an ID3v2 tag at the start of the file. */
KA_API int get_mp3_id3_para(int fd, format_info *info);
/* The MPEG frame header at absolute file offset `offset`. */
KA_API int get_mp3_frame_para(int fd, int offset, format_info *info);
/* WAV, AMR-NB, AMR-WB, MP3 in that order: the file type code of the first
 * that matches, or -1. */
KA_API int check_audio_format(int fd, format_info *info);

/* ===== File playback ====================================================== */

/* Handed by a decode start operation to its decode thread, which owns and
 * frees it. `priv` is decoder-private (MP3 only). */
typedef struct player_info {
    int fd;
    int hdl;
    void *priv;
    ka_data_write_cb data_write;
} player_info;

/* Plays the file open on `fd` on `device` (NULL: "hw:0,0"): detects its
 * format, opens the player, and decodes in threads of the library. A positive
 * `offset` is where reading starts instead of the detected data start. The
 * descriptor stays the caller's and is never closed. The handle, or -1. */
KA_API int Ka_AudPlayer_PlayFile(const char *device, int fd, int offset, ka_play_cb callback);
/* Plays the descriptor's bytes as raw PCM on an already opened player; the
 * player is closed when the file has played. 0, or -1. */
KA_API int Ka_AudPlayer_PlayFrmFile(int hdl, int fd, int offset);
/* Installs the decode start operation of a file type (0, 1, 3, 4). */
KA_API int __ka_pctx_setops(ka_pctx *pctx, int type);
KA_API int __ka_pctx_setfd(ka_pctx *pctx, int fd);
/* Data-write callback of file playback: -1 error, 1 stop, 0 taken or
 * dropped (paused). len 0 marks the end of the data and stops the player. */
KA_API int __ka_default_data_write(int hdl, void *buf, uint32_t len);

/* Decode start operations: create the module's decode thread (joinable), its
 * id stored through `tid`. 0, or -1. */
KA_API int start_ka_wav_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid);
KA_API int start_ka_amrnb_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid);
KA_API int start_ka_amrwb_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid);
KA_API int start_ka_mp3_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid);

/* ===== WAV ================================================================ */

/* Canonical 44-byte header, 16 bits per sample whatever `format` says, sizes
 * 36 and 0; leaves the offset at 44. 0, or -1. */
KA_API int wav_init_header(int fd, int channels, int rate, int format);
/* Adds the bytes behind the header to its sizes. 0, or -1. */
KA_API int wav_update_header(int fd);
/* One write of `len` bytes: len, 0 for len 0, -1 otherwise. */
KA_API int wav_write_file(int fd, const void *buf, unsigned len);
/* Adds `n` to the data size (RIFF size follows); the file offset is kept.
 * The header write's result (44), or -1. */
KA_API int Ka_Update_wav_size(int fd, unsigned n);

/* ===== AMR ================================================================ */

/* Payload bytes behind the header byte, by frame type (header >> 3) & 15.
 * -1 marks a frame type that is not accepted. */
KA_API extern const int32_t amrnb_sizes[16];
KA_API extern const int32_t amrwb_sizes[16];
KA_API extern const int32_t nb_sizes[16];
KA_API extern const int32_t wb_sizes[16];

/* Writes "#!AMR\n" at offset 0. 0, or -1. */
KA_API int amrnb_init_header(int fd);
/* Creates an AMR-NB encoder (DTX on) into *enc; returns it as an int (0 when
 * none was created), -1 for a NULL slot. */
KA_API int amrnb_enc_init(void **enc);
KA_API int amrnb_enc_deinit(void *enc);
/* Encodes up to 320 bytes (160 samples, S16_LE) as one MR795 frame and
 * appends it to fd. 0, or -1 (more than 320 bytes, NULL state or buffer). */
KA_API int amrnb_write_file(void *enc, int fd, const void *buf, unsigned len);

/* ===== Recording to files ================================================= */

/* Creates `path` (truncated, mode 0644), writes the header of `type`
 * (AUD_FILE_WAV or AUD_FILE_AMRNB; 2 writes an AMR-NB header only; above 4
 * nothing), opens a recorder on `dev` and captures into `callback` in a
 * thread that finishes and closes the file after the stop. The handle, or
 * -1. Stop and close with Ka_AudRecorder_HStop / Ka_AudRecorder_HClose; once
 * the close has returned the file is complete and closed. */
KA_API int Ka_AudRecorder_RecordFile(const char *dev, const char *path, int type, int channels,
                                     unsigned rate, unsigned format, ka_cap_cb callback);
KA_API int Ka_AudRecorder_RecordWAV(const char *dev, const char *path, int channels,
                                    unsigned rate, unsigned format);
/* Mono, 8000 Hz, 16 bits, AMR-NB at 7.95 kbit/s. */
KA_API int Ka_AudRecorder_RecordAMRNB(const char *dev, const char *path);
KA_API int __ka_init_file_header(int fd, int type, int channels, unsigned rate, unsigned format);
/* Capture callbacks that store into the file of the calling record-file
 * thread; -1 when the caller is no such thread. */
KA_API int __ka_wav_write_file_cb(int result, void *buf, unsigned len);
KA_API int __ka_amrnb_write_file_cb(int result, void *buf, unsigned len);

/* ===== AMR to WAV ========================================================= */

/* Frames converted (0 or more), or -1. Messages go to standard error. */
KA_API int DecodeAMRFileToWAVEFile(const char *in, const char *out);
KA_API int AMRWB2WAVEFile(const char *in, const char *out);
KA_API int AMRNB2WAVEFile(const char *in, const char *out);

/* A WAV file being written through stdio. */
typedef struct wav_sink {
    FILE *file;
    int data_len;
    int rate;
    int bits;
    int channels;
} wav_sink;

KA_API wav_sink *wav_write_open(const char *path, int rate, int bits, int channels);
KA_API void wav_write_data(wav_sink *sink, const void *data, int len);
KA_API void wav_write_close(wav_sink *sink);

#ifdef __cplusplus
}
#endif

#endif /* KA_AUDIO_FILES_H */
