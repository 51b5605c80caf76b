// SPDX-License-Identifier: MIT
/**
 * @file ka_audio_files.h
 * @brief Audio files: format detection, file playback, WAV, AMR and MP3
 *        modules, recording to files, AMR to WAV conversion.
 *
 * Include ka_lib_audio.h, which includes this header. Messages go to the
 * platform log as described in ka_lib_audio.h (source ka_lib_audio,
 * ka_wav_file, ka_amr_file or ka_mp3_file), except where a function says
 * standard error.
 *
 * @par File playback
 * Ka_AudPlayer_PlayFile() runs three threads of the library per file: a
 * detached main thread, which starts the player's play thread and a decode
 * thread and, when the decode thread has ended, stops and closes the
 * player; the decode thread of the file's type, which pushes 16-bit PCM
 * through __ka_default_data_write() into the player's ring; and the play
 * thread, which calls the player callback (AUD_PLAYER_FINISHED at the end,
 * AUD_PLAYER_ERROR first if the device fails). The descriptor stays the
 * caller's: it is never closed, and must stay open and unused by the
 * caller until the play has ended: after the callback's
 * AUD_PLAYER_FINISHED the main thread still closes the player, and
 * audCtl.pctx[hdl].state reads CTX_CLOSED once it has. A play the caller
 * ends itself with Ka_AudPlayer_Stop() and Ka_AudPlayer_Close() has ended
 * when that close returns (it waits for the decode thread); none of its
 * threads acts on a player opened on the device afterwards. A stop made
 * as soon as the play function has returned ends the play too.
 */
#ifndef KA_AUDIO_FILES_H
#define KA_AUDIO_FILES_H

#include <stdio.h>

#include "ka_lib_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ===== Format detection =================================================== */

/** What a successful format check fills in; a failed check writes nothing. */
typedef struct format_info {
    int32_t flags;     /**< PCM open flags for the player: always 0 (playback). */
    int32_t channels;  /**< Channel count. */
    int32_t rate;      /**< Sample rate in Hz. */
    int32_t format;    /**< ALSA sample format: 0 S8, 2 S16_LE, 6 S24_LE, 10 S32_LE. */
    int32_t file_type; /**< File type code (AUD_FILE_*). */
} format_info;

/** Checks for a WAV file: "RIFF", "WAVE", "fmt " and integer PCM (coding 1)
 *  of 8, 16, 24 or 32 bits in the 44-byte canonical header. Rewinds first.
 *  @param fd    open descriptor (its offset moves)
 *  @param info  filled on success: channels and rate from the header,
 *               format by bits per sample, file type AUD_FILE_WAV
 *  @return 0 recognised, the offset left at 44; -1 not a WAV file or a NULL
 *          @p info (the offset is then 0 for a file shorter than 44 bytes,
 *          else where the read left it). No message. */
KA_API int check_wav_file(int fd, format_info *info);
/** Checks for the AMR-NB magic "#!AMR\n" at byte 0.
 *  @param fd    open descriptor
 *  @param info  filled on success: 1 channel, 8000 Hz, format 2,
 *               AUD_FILE_AMRNB
 *  @return 0 recognised (offset left at 0), or -1. No message. */
KA_API int check_amrnb_file(int fd, format_info *info);
/** Checks for the AMR-WB magic "#!AMR-WB\n" at byte 0.
 *  @param fd    open descriptor
 *  @param info  filled on success: 1 channel, 16000 Hz, format 2,
 *               AUD_FILE_AMRWB
 *  @return 0 recognised (offset left at 0), or -1. No message. */
KA_API int check_amrwb_file(int fd, format_info *info);
/** Checks for an MPEG audio file: an ID3v2 tag followed by a frame header
 *  (get_mp3_id3_para()), or a frame sync (0xFF, 0xF?) at byte 0
 *  (get_mp3_frame_para()). MPEG-2.5 is recognised only behind a tag.
 *  @param fd    open descriptor
 *  @param info  filled on success: channels (1 for single channel, else
 *               2) and rate from the first frame header, format 2,
 *               AUD_FILE_MP3
 *  @return 0 recognised (offset left at 0), or -1. */
KA_API int check_mp3_file(int fd, format_info *info);
/** Parses the MPEG frame header behind an ID3v2 tag at the start of the
 *  file (at the tag's size + 10).
 *  @param fd    open descriptor
 *  @param info  filled on success, as check_mp3_file()
 *  @return 0, or -1 (short read, reserved version or rate, NULL @p info).
 *          Once the tag header has been read the offset is left at 0.
 *          Logs "Mp3 ID3 header size = %d" at priority 3. */
KA_API int get_mp3_id3_para(int fd, format_info *info);
/** Parses the MPEG frame header at an absolute file offset (no sync check).
 *  @param fd      open descriptor
 *  @param offset  where the 4-byte header starts
 *  @param info    filled on success, as check_mp3_file()
 *  @return 0 (offset left at 0), or -1 (seek failure, short read, reserved
 *          version or sample rate index, NULL @p info). */
KA_API int get_mp3_frame_para(int fd, int offset, format_info *info);
/** Detects a file's format: the WAV, AMR-NB, AMR-WB and MP3 checks in that
 *  order. Runs in the calling thread; no other thread may use @p fd
 *  meanwhile.
 *  @param fd    open descriptor; left where playback of the detected type
 *               starts (44 for WAV, 0 otherwise)
 *  @param info  filled by the matching check
 *  @return the file type code (AUD_FILE_WAV, AUD_FILE_AMRNB, AUD_FILE_AMRWB,
 *          AUD_FILE_MP3), or -1 when none matches (no message). Logs which
 *          one matched at priority 3. */
KA_API int check_audio_format(int fd, format_info *info);

/* ===== File playback ====================================================== */

/** Handed by a decode start operation to its decode thread, which owns and
 *  frees it. */
typedef struct player_info {
    int fd;                      /**< Descriptor to decode from, at its first byte to read. */
    int hdl;                     /**< Player handle, first argument of every data_write call. */
    void *priv;                  /**< Decoder-private state (MP3 only). */
    ka_data_write_cb data_write; /**< Where the decoded PCM goes. */
} player_info;

/** Plays a WAV, AMR-NB, AMR-WB or MP3 file on a device, in threads of the
 *  library (see "File playback" at the top of this file). Whatever played
 *  on the device is stopped and closed first. Returns as soon as the play is set up; the
 *  player is stopped and closed by the library when the file has played.
 *  Stop it early with Ka_AudPlayer_Stop(); Pause, Resume and GetState work
 *  on the handle as for a stream, but a pause does not hold the file: the
 *  decode thread goes on and what it decodes while the player is paused is
 *  dropped, so a resumed play goes on further in the file, and one that
 *  reaches the end of the file while paused ends there (stopped and
 *  closed) without the rest.
 *  At the end of the file the device plays what it holds before the player
 *  is stopped and closed, so all of the file is heard and
 *  AUD_PLAYER_FINISHED comes once it has been (at most about a device
 *  buffer after the last data). A stop, a close or a new play on the
 *  device ends the play at once, dropping what the device holds.
 *  @par WAV files
 *  Detection reads the canonical 44-byte header only, and a WAV file is
 *  played from byte 44 to the end of the file whatever chunks it has: a
 *  chunk before the samples (LIST, fact, a format chunk longer than 16
 *  bytes) or after them is played as if it were samples. Pass the offset
 *  of the first sample (the byte after the "data" chunk's 8-byte header) as
 *  @p offset to skip what lies before; what follows the samples is played
 *  all the same. Only 16-bit WAV files play: 8, 24 and 32-bit ones are
 *  detected, but their player does not open (see Ka_AudPlayer_OpenExt()).
 *  @param device    device name, NULL for "hw:0,0"
 *  @param fd        descriptor of the file, open for reading; stays the
 *                   caller's, never closed
 *  @param offset    if positive, the absolute byte offset where decoding
 *                   starts instead of the detected start (an AMR file needs
 *                   its magic there; for a WAV file see above); 0 or less:
 *                   the detected start (44 for WAV, 0 otherwise)
 *  @param callback  player callback (ka_play_cb), called from the play
 *                   thread with AUD_PLAYER_FINISHED when the play has ended
 *                   (after AUD_PLAYER_ERROR if the device failed); or NULL
 *  @return the handle 0..6, or -1 (unknown device, unknown format, player
 *          not opened, thread not created).
 *  @par Logs
 *  "Get pctx from dev failed, dev = %s", "Unknown file format", "Set offset
 *  error, fd = %d, hdl = %d" (play goes on), "open aud player failed, ret =
 *  %d" and the messages of Ka_AudPlayer_OpenExt(), "Create file play thread
 *  fail."; from the main thread "Start pcm thread failed, hdl = %d", "Start
 *  data thread failed, hdl = %d"; from the decode threads the messages of
 *  start_ka_wav_decode() and its siblings. */
KA_API int Ka_AudPlayer_PlayFile(const char *device, int fd, int offset, ka_play_cb callback);
/** Plays a file's bytes as raw PCM, unchanged, on a player the caller has
 *  opened with matching parameters (no format detection). Runs in threads
 *  of the library like Ka_AudPlayer_PlayFile(), ending the same way; the
 *  player is stopped and closed by the library when the data has played.
 *  The player must have no play thread running: open it and hand it no
 *  Ka_AudPlayer_Play() before (or wait until its play thread has ended),
 *  since the file play starts the play thread itself. On a player whose
 *  play thread runs that start fails ("Start pcm thread failed, hdl = %d")
 *  and the library stops and closes the player at once.
 *  @param hdl     handle of an open player
 *  @param fd      descriptor to read from; stays the caller's
 *  @param offset  if positive, the absolute byte offset to start at;
 *                 otherwise the descriptor's current offset
 *  @return 0 (not the handle), or -1 (handle outside 0..6, thread not
 *          created; the player then stays open).
 *  @par Logs
 *  "Get pctx from hdl failed, hdl = %d", "Set offset error, fd = %d, hdl =
 *  %d", "Create file play thread fail.", and the thread messages of
 *  Ka_AudPlayer_PlayFile(). */
KA_API int Ka_AudPlayer_PlayFrmFile(int hdl, int fd, int offset);

/** Starts the WAV decode thread (ka_start_decode_fn): it reads @p fd from
 *  its current offset in blocks of up to 512 bytes and hands them unchanged
 *  to @p data_write, then makes the end-of-data call (length 0) at the end
 *  of the file. It ends on a read error, a negative result (error) or 1
 *  (stop) from @p data_write, and never closes @p fd.
 *  @param hdl         player handle passed to @p data_write
 *  @param fd          descriptor to read
 *  @param data_write  data-write callback (not NULL)
 *  @param tid         receives the thread's id; the thread is joinable and
 *                     must be joined (not NULL)
 *  @return 0, or -1 (NULL argument, no memory, thread not created).
 *  @par Logs
 *  "Malloc player_info struct failed", "Create wav decode thread fail."; the
 *  thread: "Malloc buffer failed", "Read data failed", "Write data error",
 *  "Write Stop" (priority 3). */
KA_API int start_ka_wav_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid);
/** Starts the AMR-NB decode thread: it checks the magic "#!AMR\n" at the
 *  descriptor's offset, decodes each frame to 320 bytes (160 samples, 8000
 *  Hz mono S16_LE) for @p data_write, and makes the end-of-data call at the
 *  end of the file or at a cut frame. Arguments and thread as
 *  start_ka_wav_decode().
 *  @param hdl  player handle
 *  @param fd   descriptor, at the magic
 *  @param data_write  data-write callback
 *  @param tid  receives the joinable thread's id
 *  @return 0, or -1 (NULL argument, no memory, thread not created).
 *  @par Logs
 *  "Malloc player_info struct failed", "Create paly thread fail."; the
 *  thread: "Convert audio fd to fp failed, hdl = %d" (with the descriptor),
 *  "Amrnb Bad header", "Write data error", and at priority 3 "Amrnb file
 *  read end or error", "Amrnb file read error", "Write Stop". */
KA_API int start_ka_amrnb_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid);
/** Starts the AMR-WB decode thread: as start_ka_amrnb_decode() for the magic
 *  "#!AMR-WB\n" and 640-byte frames (320 samples, 16000 Hz mono). It ends
 *  at the end of the file, a cut frame or a frame type 10..14 without an
 *  end-of-data call.
 *  @param hdl  player handle
 *  @param fd   descriptor, at the magic
 *  @param data_write  data-write callback
 *  @param tid  receives the joinable thread's id
 *  @return 0, or -1.
 *  @par Logs
 *  "Malloc player_info struct failed", "Create paly thread fail."; the
 *  thread: "Convert audio fd to fp failed, hdl = %d", "Amrwb Bad header",
 *  "Write data error", "Write Stop" (priority 3). */
KA_API int start_ka_amrwb_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid);
/** Starts the MP3 decode thread: it decodes MPEG audio from the
 *  descriptor's offset to the end with libmad and hands each frame as
 *  16-bit PCM (interleaved when stereo) to @p data_write, then makes the
 *  end-of-data call whatever ended the decoding. Damaged data is skipped.
 *  @param hdl  player handle
 *  @param fd   descriptor
 *  @param data_write  data-write callback
 *  @param tid  receives the joinable thread's id
 *  @return 0, or -1.
 *  @par Logs
 *  "Malloc player_info struct failed", "Create paly thread fail."; the
 *  thread: "Malloc mp3fp failed, hdl = %d", "Convert audio fd to fp
 *  failed, hdl = %d" (both with the descriptor), "Write data error", "Write
 *  Stop" (priority 3); damaged data on standard error: "decoding error
 *  0x%04x (%s) at byte offset %u". */
KA_API int start_ka_mp3_decode(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid);

/* ===== WAV ================================================================ */

/** Writes a canonical 44-byte WAV header at offset 0: linear PCM, 16 bits
 *  per sample whatever @p format says, RIFF size 36 and data size 0. The
 *  offset is left at 44.
 *  @param fd        descriptor open for writing
 *  @param channels  channel count
 *  @param rate      sample rate in Hz
 *  @param format    not used
 *  @return 0, or -1 (fewer than 44 bytes written; logs "Write wav header
 *          failed"). */
KA_API int wav_init_header(int fd, int channels, int rate, int format);
/** Patches a WAV header's sizes after the data has been written: data size
 *  += file length - 44, RIFF size likewise (call it once per file). The
 *  offset is left at 44.
 *  @param fd  descriptor open for reading and writing
 *  @return 0, or -1 (read or write error, empty file).
 *  @par Logs
 *  "Read wav header failed", "Write wav header failed". */
KA_API int wav_update_header(int fd);
/** Appends bytes with one write() at the current offset (a short write is
 *  not continued). No message.
 *  @param fd   descriptor
 *  @param buf  the bytes
 *  @param len  their count
 *  @return @p len when all were written, 0 for @p len 0, -1 otherwise (NULL
 *          @p buf, short or failed write). */
KA_API int wav_write_file(int fd, const void *buf, unsigned len);
/** Adds a byte count to a WAV header's data size (the RIFF size becomes the
 *  new data size + 36). The file offset is restored.
 *  @param fd  descriptor open for reading and writing
 *  @param n   bytes to add
 *  @return the header write's result (44 on success), or -1 when the header
 *          cannot be read (the offset is then not restored).
 *  @par Logs
 *  "Read wav header failed", "write wav head failed.". */
KA_API int Ka_Update_wav_size(int fd, unsigned n);

/* ===== AMR ================================================================ */

/** AMR-NB payload bytes behind the frame header byte, by frame type
 *  (header >> 3) & 15. */
KA_API extern const int32_t amrnb_sizes[16];
/** AMR-WB payload bytes by frame type; -1 marks a type that is not accepted
 *  (10..14). */
KA_API extern const int32_t amrwb_sizes[16];
/** Same values as amrnb_sizes (used by the AMR to WAV conversion). */
KA_API extern const int32_t nb_sizes[16];
/** Same values as amrwb_sizes (used by the AMR to WAV conversion). */
KA_API extern const int32_t wb_sizes[16];

/** Writes the AMR-NB magic "#!AMR\n" at offset 0.
 *  @param fd  descriptor open for writing
 *  @return 0, or -1 (logs "Write amrnb header failed"). */
KA_API int amrnb_init_header(int fd);
/** Creates an AMR-NB encoder (DTX on) for amrnb_write_file().
 *  @param enc  receives the encoder, or NULL when none was created
 *  @return the encoder as an int (truncated on 64-bit hosts: use @p *enc),
 *          0 when none was created, -1 for a NULL @p enc. */
KA_API int amrnb_enc_init(void **enc);
/** Releases an AMR-NB encoder.
 *  @param enc  the encoder
 *  @return 0, or -1 for a NULL @p enc. */
KA_API int amrnb_enc_deinit(void *enc);
/** Encodes one 20 ms frame (up to 160 samples, 8000 Hz mono S16_LE; a
 *  shorter buffer is completed with silence) at 7.95 kbit/s and appends it
 *  to the file.
 *  @param enc  encoder from amrnb_enc_init()
 *  @param fd   descriptor open for writing
 *  @param buf  the samples
 *  @param len  bytes, at most 320
 *  @return 0 (also when the write failed: logs "Write amr file failed"), or
 *          -1: more than 320 bytes (logs "AMR max encode frame size = %d"
 *          with 320), NULL @p enc or @p buf. */
KA_API int amrnb_write_file(void *enc, int fd, const void *buf, unsigned len);

/* ===== Recording to files ================================================= */

/** Records from a device into a file. Creates @p path (truncated, mode
 *  0644), writes the header of @p type, opens a recorder (a recorder already
 *  running on the device is stopped and closed first) and captures in a
 *  record-file thread of the library, which calls @p callback for each
 *  period and finishes and closes the file when the capture ends. End it
 *  with Ka_AudRecorder_HStop() and Ka_AudRecorder_HClose() on the returned
 *  handle; once the close has returned the file is complete and closed
 *  (the capture ended on the stop, or earlier on a failed read: the file
 *  then holds what was captured before). Ka_AudRecorder_HGetState()
 *  reports the recording.
 *  @param dev       device name, NULL for "hw:0,0"
 *  @param path      file to create
 *  @param type      AUD_FILE_WAV (sizes patched at the end) or AUD_FILE_AMRNB
 *                   (encoder made and released); 2 writes an AMR-NB header
 *                   only, above 4 nothing: @p callback then writes the
 *                   contents. AUD_FILE_MP3, AUD_FILE_AMRWB and negative
 *                   types are refused.
 *  @param channels  channel count
 *  @param rate      sample rate in Hz
 *  @param format    ALSA sample format (the WAV header says 16 bits)
 *  @param callback  capture callback (ka_cap_cb) that stores the data,
 *                   called from the record-file thread; normally
 *                   __ka_wav_write_file_cb() or __ka_amrnb_write_file_cb()
 *  @return the handle 0..6, or -1 (NULL @p path, unknown device, file not
 *          created, refused type: the file stays empty, recorder not opened
 *          or thread not created: the file keeps its header).
 *  @par Logs
 *  "Get cctx from dev failed, dev = %s", "Open file %s error", "Init file
 *  header failed", "Open Recorder failed, hdl = %d", "Create capature
 *  thread fail.", and the recorder's messages (Ka_AudRecorder_OpenExt(),
 *  Ka_AudRecorder_HStartRecord()). */
KA_API int Ka_AudRecorder_RecordFile(const char *dev, const char *path, int type, int channels, unsigned rate,
                                     unsigned format, ka_cap_cb callback);
/** Records a WAV file: Ka_AudRecorder_RecordFile(dev, path, AUD_FILE_WAV,
 *  channels, rate, format, __ka_wav_write_file_cb).
 *  @param dev       device name, NULL for "hw:0,0"
 *  @param path      file to create
 *  @param channels  channel count
 *  @param rate      sample rate in Hz
 *  @param format    ALSA sample format (use 2: the header says 16 bits)
 *  @return the handle, or -1. */
KA_API int Ka_AudRecorder_RecordWAV(const char *dev, const char *path, int channels, unsigned rate,
                                    unsigned format);
/** Records an AMR-NB file (mono, 8000 Hz, 7.95 kbit/s):
 *  Ka_AudRecorder_RecordFile(dev, path, AUD_FILE_AMRNB, 1, 8000, 2,
 *  __ka_amrnb_write_file_cb). Each capture period is encoded as one 20 ms
 *  frame, so the device's capture period must be 20 ms (320 bytes): a
 *  larger one is refused by amrnb_write_file() and nothing is recorded, a
 *  shorter one is completed with silence to a whole frame (the file then
 *  runs slow, with silence between the pieces). The library asks only for
 *  a period of at least 10 microseconds; the driver chooses it.
 *  @param dev   device name, NULL for "hw:0,0"
 *  @param path  file to create
 *  @return the handle, or -1. */
KA_API int Ka_AudRecorder_RecordAMRNB(const char *dev, const char *path);
/** Capture callback of WAV recordings: stores a data delivery (result 0)
 *  into the file of the calling record-file thread with wav_write_file().
 *  @param result  capture result; only 0 stores
 *  @param buf     the data
 *  @param len     its length
 *  @return 0, or -1 when the caller is not a record-file thread (nothing
 *          stored). */
KA_API int __ka_wav_write_file_cb(int result, void *buf, unsigned len);
/** Capture callback of AMR-NB recordings: encodes a data delivery (result
 *  0) into the file of the calling record-file thread with
 *  amrnb_write_file().
 *  @param result  capture result; only 0 stores
 *  @param buf     the data
 *  @param len     its length (at most 320 bytes)
 *  @return 0, or -1 when the caller is not a record-file thread. */
KA_API int __ka_amrnb_write_file_cb(int result, void *buf, unsigned len);

/* ===== AMR to WAV ========================================================= */

/** Converts an AMR-WB or AMR-NB file into a 16-bit mono WAV file: tries
 *  AMRWB2WAVEFile(), then AMRNB2WAVEFile(). Runs in the calling thread.
 *  @param in   AMR file path
 *  @param out  WAV file path (created)
 *  @return the number of 20 ms frames converted (0 or more), or -1. An
 *          AMR-NB input first prints the AMR-WB bad-header line.
 *  @par Messages (standard error)
 *  Those of AMRWB2WAVEFile() and AMRNB2WAVEFile(). */
KA_API int DecodeAMRFileToWAVEFile(const char *in, const char *out);
/** Converts an AMR-WB file into a WAV file of 16000 Hz, 16 bits, mono. A
 *  cut last frame, or a frame type 10..14, ends the conversion; the WAV
 *  file is complete for the frames before it. Runs in the calling thread.
 *  @param in   AMR-WB file path
 *  @param out  WAV file path (created only when the input's magic is right)
 *  @return the frames converted (0 or more), or -1 (NULL path, input not
 *          opened, bad magic, output not created).
 *  @par Messages (standard error)
 *  perror() with the input path, "Bad header, NOT AMR-WB file", "Unable to
 *  open %s". */
KA_API int AMRWB2WAVEFile(const char *in, const char *out);
/** Converts an AMR-NB file into a WAV file of 8000 Hz, 16 bits, mono. A cut
 *  last frame ends the conversion. Runs in the calling thread.
 *  @param in   AMR-NB file path
 *  @param out  WAV file path (created only when the input's magic is right)
 *  @return the frames converted (0 or more), or -1.
 *  @par Messages (standard error)
 *  perror() with the input path, "Bad header, n=%d, header=%s", "Unable to
 *  open %s". */
KA_API int AMRNB2WAVEFile(const char *in, const char *out);

/** A WAV file being written through stdio (wav_write_open()). */
typedef struct wav_sink {
    FILE *file;   /**< The output stream. */
    int data_len; /**< Data bytes handed to the stream so far. */
    int rate;     /**< Sample rate in Hz. */
    int bits;     /**< Bits per sample. */
    int channels; /**< Channel count. */
} wav_sink;

/** Creates a WAV file and writes its header for 0 data bytes.
 *  @param path      file to create
 *  @param rate      sample rate in Hz
 *  @param bits      bits per sample
 *  @param channels  channel count
 *  @return the sink, or NULL (no memory, file not created). No message. */
KA_API wav_sink *wav_write_open(const char *path, int rate, int bits, int channels);
/** Appends sample data; write errors are not detected.
 *  @param sink  from wav_write_open()
 *  @param data  the bytes
 *  @param len   their count (negative: nothing) */
KA_API void wav_write_data(wav_sink *sink, const void *data, int len);
/** Rewrites the header with the data size, closes the file and frees the
 *  sink.
 *  @param sink  from wav_write_open(), or NULL */
KA_API void wav_write_close(wav_sink *sink);

#ifdef __cplusplus
}
#endif

#endif /* KA_AUDIO_FILES_H */
