// SPDX-License-Identifier: MIT
/*
 * ka_lib_audio.h - public interface of libka_lib_audio.so.1
 *
 * Plain C functions over static tables. Usable from C11 and C++.
 * Results are 0 for success and -1 for failure unless a function says
 * otherwise; open functions return a handle 0..6.
 */
/**
 * @file ka_lib_audio.h
 * @brief Device contexts, streaming player, recorder and mixer access.
 *
 * Include this header only: it includes ka_audio_files.h,
 * ka_audio_controls.h and ka_audio_simple.h.
 *
 * @par Devices and handles
 * Seven devices, each with one player and one capture context: handle 0
 * "hw:0,0", 1 "hw:0,13", 2 "hw:0,14", 3 "hw:0,16", 4 "audio_bluetooth",
 * 5 "audio_usb", 6 "audio_net". A device name of NULL means "hw:0,0". The
 * handle an open function returns is the device's index; a player and a
 * recorder on one device have the same handle. Nothing needs initialising:
 * the tables are ready when the library is loaded.
 *
 * @par Results
 * 0 for success and -1 for failure unless a function says otherwise. No
 * function throws or aborts on a bad argument it checks.
 *
 * @par Log messages
 * Failures are logged to the platform log (__android_log_print, empty tag)
 * at priority 6 (error), progress at priority 3 (debug). Each line is
 * "<source>[<line>]:<text>", where source is the library's source file
 * name (ka_lib_audio, ka_wav_file, ka_amr_file, ka_mp3_file or ka_mixer).
 * The texts are quoted below without that prefix and without their line
 * end. Where they go is the platform log's business: a program can route
 * or hide them with a logger installed by __android_log_set_logger()
 * (android/log.h); without one they go to standard error on a PC.
 *
 * @par Stream setup messages
 * Every open of a PCM stream (player, recorder, tone) logs, when it fails,
 * one or more of "Failed to allocate ALSA hardware parameters!",
 * "cannot set hw params", "Failed to allocate ALSA software parameters!",
 * "cannot set sw params", "__ka_pcm_open:params setting failed",
 * "__ka_pcm_open:Failed in pcm_prepare", and always ends with
 * "__ka_pcm_open:PCM open failed".
 *
 * @par Mixer messages
 * Functions that switch routes or write controls go through
 * Ka_clt_set_mixer_value(), which logs its own failures (see there);
 * those messages are not repeated for each caller.
 */
#ifndef KA_LIB_AUDIO_H
#define KA_LIB_AUDIO_H

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** @cond KA_INTERNAL */
#if defined(__GNUC__)
#define KA_API __attribute__((visibility("default")))
#else
#define KA_API
#endif

struct pcm;                /* the platform's PCM stream record (alsa_audio.h) */
struct snd_ctl_elem_value; /* the kernel's control value record (sound/asound.h) */
struct mixer;              /* the platform's mixer record (alsa_audio.h) */
/** @endcond */

/* ===== Device contexts ==================================================== */

/** Number of devices, and of entries in each context table (handles 0..6). */
#define KA_DEVICE_COUNT 7

/** Context states, shared by player and capture contexts (the @c state
 *  field). Ka_AudPlayer_GetState() and Ka_AudRecorder_HGetState() report
 *  them as names and codes. */
enum {
    CTX_CLOSED = 0,   /**< Not open. */
    CTX_OPENED = 1,   /**< Open, no worker thread running. */
    CTX_STARTING = 2, /**< Worker thread created, not yet running. */
    CTX_RUNNING = 3,  /**< Worker thread running. */
    CTX_ERROR = 4,    /**< Capture thread ended on a failure (recorder only). */
    CTX_FINISHED = 5, /**< Capture thread ended after a stop (recorder only). */
    CTX_PAUSED = 6    /**< Play thread held by Ka_AudPlayer_Pause() (player only). */
};

/** Player result codes: reported by Ka_AudPlayer_GetState(), and the
 *  results a ka_play_cb receives (only AUD_PLAYER_ERROR and
 *  AUD_PLAYER_FINISHED are ever given to a callback). */
enum {
    AUD_PLAYER_ERROR = -1,  /**< Callback: a write to the device failed; the play thread ends. */
    AUD_PLAYER_START = 0,   /**< State: the play thread is starting or playing. */
    AUD_PLAYER_PAUSE = 1,   /**< State: the play thread is paused. */
    AUD_PLAYER_FINISHED = 5 /**< Callback: the play thread has ended. State: not playing. */
};

/** File type codes (format detection, file playback, recording). */
enum {
    AUD_FILE_WAV = 0,   /**< WAV, canonical 44-byte PCM header. */
    AUD_FILE_MP3 = 1,   /**< MPEG audio, with or without an ID3v2 tag. */
    AUD_FILE_AMRNB = 3, /**< AMR narrow band ("#!AMR\n"), 8000 Hz mono. */
    AUD_FILE_AMRWB = 4  /**< AMR wide band ("#!AMR-WB\n"), 16000 Hz mono. */
};

/** Player callback, set at open. Called from the player's play thread, with
 *  no lock of the library held, while Ka_AudPlayer_GetState() still reports
 *  AUD_PLAYER_START. Its result is ignored. Do not close the player from
 *  inside it.
 *  @param hdl     the player's handle
 *  @param result  AUD_PLAYER_FINISHED (5) once, when the play thread ends
 *                 (after a stop, or when it cannot go on); on a failed write
 *                 to the device AUD_PLAYER_ERROR (-1) comes first, then 5.
 *                 Start and pause are not reported to the callback: ask
 *                 Ka_AudPlayer_GetState(). */
typedef int (*ka_play_cb)(int hdl, int result);
/** Capture callback, set at open. Called from the capture thread (or the
 *  record-file thread) with no lock of the library held. Its result is
 *  ignored.
 *  @param result  0: @p buf holds one period of new data; 5: capture ended
 *                 after a stop (nothing new in @p buf), called once after
 *                 the last data; -1: a read failed and the thread ends.
 *  @param buf     the thread's capture buffer, valid only during the call
 *  @param len     its length in bytes (the stream's period size) */
typedef int (*ka_cap_cb)(int result, void *buf, unsigned len);
/** Data-write callback of file playback, called by a decode thread for each
 *  chunk of PCM.
 *  @param hdl  the player's handle
 *  @param buf  the PCM bytes (never NULL, also for @p len 0)
 *  @param len  their count; 0 marks the end of the data
 *  @return negative: error, the decode thread ends; 1: stop, the decode
 *          thread ends; anything else: go on. */
typedef int (*ka_data_write_cb)(int hdl, void *buf, uint32_t len);
/** Decode start operation of file playback: starts the decode thread of one
 *  file type (start_ka_wav_decode() and its siblings).
 *  @param hdl         the player's handle
 *  @param fd          descriptor positioned at the first byte to decode
 *  @param data_write  where the decoded PCM goes
 *  @param tid         receives the (joinable) decode thread's id
 *  @return 0, or -1. */
typedef int (*ka_start_decode_fn)(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid);

/* ===== Player ============================================================= */

/** Opens a player on a device: ring buffer, playback route on, PCM stream
 *  opened and prepared. The play thread starts with the first
 *  Ka_AudPlayer_Play().
 *  @param device    device name, NULL for "hw:0,0"
 *  @param callback  player callback (ka_play_cb), or NULL for default_playCb()
 *  @param flags     PCM open flags (0 for a plain playback stream; 0x00010000
 *                   memory-mapped access, for one channel only: the play
 *                   thread still writes with read/write transfers, which
 *                   the kernel refuses on a memory-mapped stream of two or
 *                   more channels, so every write fails); the channel bit
 *                   is added from @p channels
 *  @param channels  channel count
 *  @param rate      sample rate in Hz
 *  @param format    ALSA sample format: only 2 (S16_LE) opens. The setup
 *                   fixes 16 bits per sample whatever the format, so the
 *                   kernel refuses 0 (S8), 6 (S24_LE) and 10 (S32_LE)
 *  @return the handle 0..6, or -1: unknown device, already open, no memory,
 *          stream refused, or a ring (see Ka_AudPlayer_SetBufsize_ms())
 *          smaller than one period. After a failure the player stays closed,
 *          but a refused stream or ring leaves the ring buffer allocated and
 *          the playback route switched on: call Ka_AudPlayer_Close() with
 *          the device's index (the handle it would have had; see "Devices
 *          and handles" above) to free it and switch the route off.
 *  @par Logs
 *  "Get pctx failed, device: %s" (the name, or "NULL"),
 *  "Pctx already opened, hdl = %d", "Init pctx failed, hdl = %d", and the
 *  messages of __ka_pctx_init(). */
KA_API int Ka_AudPlayer_OpenExt(const char *device, ka_play_cb callback, unsigned flags, int channels,
                                unsigned rate, unsigned format);
/** Ka_AudPlayer_OpenExt(device, callback, 0, 1, 8000, 2): mono, 8000 Hz,
 *  S16_LE.
 *  @param device    device name, NULL for "hw:0,0"
 *  @param callback  player callback, or NULL
 *  @return the handle, or -1. */
KA_API int Ka_AudPlayer_Open(const char *device, ka_play_cb callback);
/** Closes a player: stops a running play thread and waits for it to end
 *  (buffered data is dropped), closes the stream, switches the route off and
 *  frees the ring buffer. Closing the stream drops what the device still
 *  holds, up to the stream's buffer (see Ka_AudPlayer_Play() for a
 *  stream's end to be heard). Also releases what a failed open of the
 *  device left (see Ka_AudPlayer_OpenExt()).
 *  @param hdl  the handle
 *  @return 0 in every case; the outcome is told by the log and by
 *          Ka_AudPlayer_GetState().
 *  @par Blocking
 *  Until the play thread has ended: at most about one period write after
 *  the stop. A player paused with Ka_AudPlayer_Pause() and not stopped is
 *  not closed; stop or resume it first. On a file play
 *  (Ka_AudPlayer_PlayFile(), Ka_AudPlayer_PlayFrmFile()) also until its
 *  decode thread has ended, after at most its current read of the file's
 *  descriptor (on a pipe: until its writer writes or closes it).
 *  @par Logs
 *  "Audio Player close wrong, state = %d" (paused; priority 3),
 *  "Audio Player close failed, state = %d" (the thread did not end within
 *  eight wake-ups; priority 3), "Audio Player closed" on success. */
KA_API int Ka_AudPlayer_Close(int hdl);
/** Reports a player's state.
 *  @param hdl   the handle
 *  @param code  receives AUD_PLAYER_FINISHED (closed, opened: not playing),
 *               AUD_PLAYER_START (play thread starting or running),
 *               AUD_PLAYER_PAUSE or AUD_PLAYER_ERROR; may be NULL
 *  @return a constant string: "AUD_PLAYER_FINISHED", "AUD_PLAYER_START",
 *          "AUD_PLAYER_PAUSE", "AUD_PLAYER_ERROR", or "No Such Device"
 *          (handle outside 0..6, @p code untouched).
 *  @par Logs
 *  "Get pctx from hdl failed, hdl = %d". */
KA_API const char *Ka_AudPlayer_GetState(int hdl, int *code);
/** Sets the length of a device's ring buffer, used from its next open. The
 *  play thread starts writing once half the ring is filled, so this is the
 *  latency budget. The ring must hold at least one PCM period or the open
 *  fails.
 *  @param device  device name, NULL for "hw:0,0"
 *  @param ms      milliseconds, 0..1000 (default 80)
 *  @return 0, or -1 (@p ms above 1000, unknown device).
 *  @par Logs
 *  "Get pctx from dev failed, dev = %s". */
KA_API int Ka_AudPlayer_SetBufsize_ms(const char *device, unsigned ms);
/** Reads a device's playback route mask.
 *  @param device  device name, NULL for "hw:0,0"
 *  @param mask    receives the mask
 *  @return 0, or -1 (unknown device, NULL @p mask).
 *  @par Logs
 *  "Get pctx from dev failed, dev = %s". */
KA_API int Ka_AudPlayer_GetInterface(const char *device, unsigned *mask);
/** Sets a device's playback route mask: bit 0 "SEC_AUX_PCM_RX Audio Mixer
 *  MultiMediaN", bit 1 "SEC_MI2S_RX Audio Mixer MultiMediaN", bit 2
 *  "Incall_Music Audio Mixer MultiMediaN" (default 1). Takes effect at the
 *  next open (routes on) and the next close (routes off, with the mask set
 *  then). Not checked.
 *  @param device  device name, NULL for "hw:0,0"
 *  @param mask    the mask
 *  @return 0, or -1 for an unknown device.
 *  @par Logs
 *  "Get pctx from dev failed, dev = %s". */
KA_API int Ka_AudPlayer_SetInterface(const char *device, unsigned mask);

/** Hands PCM bytes to an open player. The first Play after an open (or
 *  after the previous play thread ended) starts the play thread. Bytes go
 *  into the ring buffer; the play thread writes them to the device one
 *  period at a time, starting once the ring is half full. Bytes left in the
 *  ring after a stop are played by the next play thread of the same open
 *  player; the last bytes of a stream that stay below half the ring are not
 *  written until more follow. For the end of a stream to be heard, hand
 *  over silence behind it before stopping: half the ring and one period
 *  get every byte of it to the device, which then still holds up to a
 *  buffer of it (the stream's buffer size, which the driver chooses:
 *  from tens of milliseconds to seconds) that
 *  Ka_AudPlayer_Close() drops; so add the device's buffer. In all: half the
 *  ring, one period and the device buffer of silence, then stop and close.
 *  (File plays do this themselves, draining the device instead.)
 *  @param hdl  the handle
 *  @param buf  the bytes, in the format the player was opened with
 *  @param len  their count; 0 only starts the play thread
 *  @return @p len when all bytes were accepted; 0 when a stop was requested
 *          (whatever was accepted before); fewer than @p len when another
 *          thread was already waiting in Play (one writer at a time); -1 on
 *          error: bad handle, player not open, NULL @p buf with @p len > 0,
 *          the play thread could not start, or it ended without a stop (a
 *          write to the device failed) while this call waited.
 *  @par Blocking
 *  While the ring is full, until the play thread has made room (half the
 *  ring), a stop, a close, or the end of the play thread. A Play that
 *  starts the play thread also waits for it to begin.
 *  @par Logs
 *  "Get pctx failed, hdl = %d", "pctx not open, hdl = %d",
 *  "Start play thread failed, hdl = %d" (with "Wrong state when creating
 *  play thread, hdl = %d, state = %d" or "Create play thread failed."),
 *  "pctx error, ring buffer is not ready", "Write pctx blocked by other
 *  thread", "Play thread not running, hdl = %d". The play thread logs
 *  "pcm_write failed, hdl = %d, ret = %d" when a write to the device fails
 *  and "mallloc periodBuf failed". */
KA_API int Ka_AudPlayer_Play(int hdl, const void *buf, unsigned len);
/** Does nothing.
 *  @return 0. */
KA_API int Ka_AudPlayer_RawPlay(void);
/** Asks the play thread to pause at its next period; it then reports
 *  AUD_PLAYER_PAUSE through Ka_AudPlayer_GetState() (not through the
 *  callback). A pause set before the first Play holds the new thread at
 *  once; Play still fills the ring. Does not look at the state.
 *  Only the play thread is held, not the device: it plays what it holds and
 *  runs dry. On a kernel it then plays its buffer's old contents again
 *  (the stop threshold is the buffer size in bytes, read as frames: one
 *  more buffer for mono, three for stereo) before it declares an underrun
 *  and falls silent; the resumed thread's next write starts it again. To
 *  pause without that, hand over silence instead, or stop. A file play
 *  drops its decoded data while paused (see Ka_AudPlayer_PlayFile()).
 *  @param hdl  the handle
 *  @return 0, or -1 for a handle outside 0..6.
 *  @par Logs
 *  "Get pctx from hdl failed, hdl = %d". */
KA_API int Ka_AudPlayer_Pause(int hdl);
/** Lets a paused play thread go on where it stopped.
 *  @param hdl  the handle
 *  @return 0, or -1 for a handle outside 0..6.
 *  @par Logs
 *  "Get pctx from hdl failed, hdl = %d". */
KA_API int Ka_AudPlayer_Resume(int hdl);
/** Asks the play thread to end (a paused one is resumed first) and wakes
 *  every waiting Play, which then returns 0. Does not wait: the thread ends
 *  after at most one more period write and reports AUD_PLAYER_FINISHED to
 *  the callback. Until a new play thread starts, every Play returns 0.
 *  @param hdl  the handle
 *  @return 0, or -1 for a handle outside 0..6.
 *  @par Logs
 *  "Get pctx from hdl failed, hdl = %d". */
KA_API int Ka_AudPlayer_Stop(int hdl);
/** Sets the software volume of an open player, applied to 16-bit samples
 *  from the next period written (sample x vol / 100). Open and close switch
 *  it off, so set it after each open.
 *  @param hdl  the handle
 *  @param vol  0..100 percent, or 0xFFFFFFFF (-1) to switch it off
 *  @return 0, or -1 (handle outside 0..6, @p vol out of range; the setting
 *          is then unchanged).
 *  @par Logs
 *  "Get pctx from hdl failed, hdl = %d". */
KA_API int Ka_AudSoft_SetVolume(int hdl, unsigned vol);

/* ===== Recorder =========================================================== */

/** Opens a recorder: switches the capture route on and opens a capture
 *  stream. Capture starts with Ka_AudRecorder_HStartRecord(); or read the
 *  stream directly with Ka_AudRecorder_Record().
 *  @param dev       device name, NULL for "hw:0,0"
 *  @param callback  capture callback (ka_cap_cb), or NULL for default_capCb()
 *  @param flags     PCM open flags; the capture flag 0x10000000 is added
 *                   (memory-mapped access 0x00010000 for one channel only,
 *                   as for Ka_AudPlayer_OpenExt())
 *  @param channels  channel count
 *  @param rate      sample rate in Hz
 *  @param format    ALSA sample format: only 2 (S16_LE) opens, as for
 *                   Ka_AudPlayer_OpenExt()
 *  @return the handle 0..6, or -1 (unknown device, stream refused; the route
 *          then stays on).
 *  @par Logs
 *  "Get cctx from dev failed, dev = %s", "Open pcm failed, hdl = %d", and
 *  the stream setup messages. */
KA_API int Ka_AudRecorder_OpenExt(const char *dev, ka_cap_cb callback, unsigned flags, int channels,
                                  unsigned rate, unsigned format);
/** Ka_AudRecorder_OpenExt(dev, callback, 0, 1, 8000, 2): mono, 8000 Hz,
 *  S16_LE.
 *  @param dev       device name, NULL for "hw:0,0"
 *  @param callback  capture callback, or NULL
 *  @return the handle, or -1. */
KA_API int Ka_AudRecorder_Open(const char *dev, ka_cap_cb callback);
/** Starts capture: a detached capture thread reads one period at a time and
 *  hands each to the callback (result 0) until a stop, then calls it once
 *  with 5; a failed read gives -1 and ends the thread. The thread ends at
 *  once, without a callback, if the recorder is not open; the state then
 *  reads AUD_RECORDER_ERROR. A start made right after a stop, while the
 *  stopped thread is still in its last read, ends that thread after the
 *  read (it delivers it, then 5) and the new thread reads only then.
 *  @param hdl  the handle
 *  @return 0, or -1 (handle outside 0..6, thread not created).
 *  @par Logs
 *  "Get cctx from hdl failed, hdl = %d", "Create capature thread fail.";
 *  the thread: "Cctx not open or already playing, hdl = %d, state = %d",
 *  "Malloc buffer failed", "Read pcm error, hdl = %d". */
KA_API int Ka_AudRecorder_HStartRecord(int hdl);
/** Ka_AudRecorder_HStartRecord(0).
 *  @return 0, or -1. */
KA_API int Ka_AudRecorder_StartRecord(void);
/** Asks the capture thread to end. Does not wait: the thread sees the
 *  request before its next read, so at most one more buffer is delivered,
 *  then the callback gets 5.
 *  @param hdl  the handle
 *  @par Logs
 *  "Get cctx from hdl failed, hdl = %d". */
KA_API void Ka_AudRecorder_HStop(int hdl);
/** Ka_AudRecorder_HStop(0). */
KA_API void Ka_AudRecorder_Stop(void);
/** Does nothing: capture cannot be paused.
 *  @param hdl  the handle (not used)
 *  @return 0. */
KA_API int Ka_AudRecorder_HPause(int hdl);
/** Does nothing.
 *  @return 0. */
KA_API int Ka_AudRecorder_Pause(void);
/** Does nothing.
 *  @param hdl  the handle (not used)
 *  @return 0. */
KA_API int Ka_AudRecorder_HResume(int hdl);
/** Does nothing.
 *  @return 0. */
KA_API int Ka_AudRecorder_Resume(void);
/** Closes a recorder: stops a running capture thread and waits for it to
 *  end, closes the stream, switches the route off. For a file recording
 *  that captured (Ka_AudRecorder_RecordFile()) the file is complete and
 *  closed when this returns.
 *  @param hdl  the handle
 *  @par Blocking
 *  Until the capture thread has ended: at most about one period read after
 *  the stop; and until a direct read (Ka_AudRecorder_Record()) that
 *  another thread has in progress has returned, before the stream goes.
 *  @par Logs
 *  "Get cctx from hdl failed, hdl = %d", "Audio Recorder close failed,
 *  state = %d" (priority 3; the thread did not end within the allowed
 *  wake-ups and nothing was closed). */
KA_API void Ka_AudRecorder_HClose(int hdl);
/** Ka_AudRecorder_HClose(0). */
KA_API void Ka_AudRecorder_Close(void);
/** Reports a recorder's state. No lock is taken.
 *  @param hdl   the handle
 *  @param code  receives 3 (closed, opened, finished), 0 (starting,
 *               capturing), 1 (paused) or -1 (error); may be NULL
 *  @return a constant string: "AUD_RECORDER_FINISHED", "AUD_RECORDER_START",
 *          "AUD_RECORDER_PAUSE", "AUD_RECORDER_ERROR" (the capture thread
 *          ended on a failure), or "No Such Device" (handle outside 0..6,
 *          @p code untouched).
 *  @par Logs
 *  "Get cctx from hdl failed, hdl = %d". */
KA_API const char *Ka_AudRecorder_HGetState(int hdl, int *code);
/** Ka_AudRecorder_HGetState(0, code).
 *  @param code  receives the code; may be NULL
 *  @return the state name. */
KA_API const char *Ka_AudRecorder_GetState(int *code);
/** Reads from an open recorder's stream directly, in the calling thread (no
 *  capture thread needed). Do not mix with a running capture thread.
 *  @param hdl  the handle
 *  @param buf  receives the data
 *  @param len  bytes to read
 *  @return 0, or -1 (NULL @p buf, handle outside 0..6, no stream, read error).
 *  @par Blocking
 *  Until the device has captured @p len bytes.
 *  @par Logs
 *  "Get cctx from hdl failed, hdl = %d", "Read pcm error, hdl = %d". */
KA_API int Ka_AudRecorder_Record(int hdl, void *buf, unsigned len);
/** Reads a device's capture route mask.
 *  @param dev   device name, NULL for "hw:0,0"
 *  @param mask  receives the mask
 *  @return 0, or -1 (unknown device, NULL @p mask).
 *  @par Logs
 *  "Get cctx from dev failed, dev = %s". */
KA_API int Ka_AudRecorder_GetInterface(const char *dev, unsigned *mask);
/** Sets a device's capture route mask: bit 4 (16) "MultiMediaN Mixer
 *  SEC_AUX_PCM_UL_TX", bit 5 (32) "... SEC_MI2S_TX", bit 6 (64) "...
 *  VOC_REC_UL", bit 7 (128) "... VOC_REC_DL" (default 16); other bits are
 *  ignored. Takes effect at the next open and close. Not checked.
 *  @param dev   device name, NULL for "hw:0,0"
 *  @param mask  the mask
 *  @return 0, or -1 for an unknown device.
 *  @par Logs
 *  "Get cctx from dev failed, dev = %s". */
KA_API int Ka_AudRecorder_SetInterface(const char *dev, unsigned mask);

/* ===== Mixer ============================================================== */

/** Sets an ALSA mixer control of sound card 0 ("/dev/snd/controlC0") by
 *  name. Any thread may call it; calls are serialised.
 *  @param name   control name
 *  @param count  number of values the control takes (at least 1)
 *  @param value  exactly @p count values separated by spaces, e.g. "87 175"
 *  @return 1 on success, 0 on failure (unlike the other functions). A
 *          value the control refuses (out of its range, or not one of its
 *          items) gives 0 without any message: check the result.
 *  @par Blocking
 *  When the control device cannot be opened: 10 attempts 5 ms apart.
 *  @par Logs
 *  "input para is not correct, failed to mixer: %s" (@p count 0, NULL name
 *  or value), "malloc memory failed, failed to mixer: %s", "input count is
 *  not correct !!!!" (more values than @p count), "input para is not equel
 *  to count, failed to mixer: %s" (fewer), "opening mixer device retry, time
 *  left %d" and "ERROR opening mixer device: %s", "Control device open
 *  failed: %s", "opening mixer fd retry, time left %d" and "ERROR opening
 *  mixer fd: %s", "Could not get the mixer control for '%s'."; on success
 *  "Set mixer: %s sucess" (priority 3). */
KA_API int Ka_clt_set_mixer_value(const char *name, int count, const char *value);
/** Same as Ka_clt_set_mixer_value().
 *  @param name   control name
 *  @param count  number of values
 *  @param value  the values, separated by spaces
 *  @return 1 on success, 0 on failure. */
KA_API int movaro_clt_set_mixer_value(const char *name, int count, const char *value);
/** Reads an ALSA mixer control of sound card 0 by name into the kernel's
 *  value record; the values are in value->value.integer.value[0..count-1].
 *  @param name   control name (NULL counts as no such control)
 *  @param value  the caller's record, cleared and filled
 *  @return the control's value count (1 or more), also when the read itself
 *          failed (the values then read 0); -1 when the control device
 *          cannot be opened or no control has that name; 0 for a NULL
 *          @p value.
 *  @par Blocking
 *  As Ka_clt_set_mixer_value().
 *  @par Logs
 *  "Ka_clt_get_mixer_value, ERROR opening mixer device: %s", the descriptor
 *  retry messages of Ka_clt_set_mixer_value(), "Could not get the mixer
 *  control for '%s'.", "ioctl SNDRV_CTL_IOCTL_ELEM_READ failed, fd: %d,
 *  errno: %d". */
KA_API int Ka_clt_get_mixer_value(const char *name, struct snd_ctl_elem_value *value);
/** Opens a control device read-write.
 *  @param path  device path
 *  @return the descriptor, or the negative result of open().
 *  @par Logs
 *  "Control device open failed: %s". */
KA_API int mixer_open_fd(const char *path);
/** Closes the control device descriptor held by a platform mixer object
 *  (its first member) and sets it to -1.
 *  @param mixer  the mixer object
 *  @return the result of close(). */
KA_API int mixer_close_fd(struct mixer *mixer);

#ifdef __cplusplus
}
#endif

/* The other families of the interface, and what the library's own parts
 * share. */
#include "ka_audio_internal.h"
#include "ka_audio_files.h"
#include "ka_audio_controls.h"
#include "ka_audio_simple.h"

#endif /* KA_LIB_AUDIO_H */
