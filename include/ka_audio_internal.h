// SPDX-License-Identifier: MIT
/**
 * @file ka_audio_internal.h
 * @brief Not for applications: the device context records and tables, and
 *        the functions the library's own parts call on them.
 *
 * Included by ka_lib_audio.h. Everything here is exported for the library's
 * parts and the project's tools, which reach into a device's context (for
 * example to wrap its write operation); an application works with the
 * Ka_* and mova_* functions and the handles they return and never needs
 * these. They may change with the library's inside.
 */
#ifndef KA_AUDIO_INTERNAL_H
#define KA_AUDIO_INTERNAL_H

#include <pthread.h>
#include <stdint.h>

#include "ka_lib_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

/** @defgroup ka_internal Not for applications
 *  The device context records and their tables, the file playback's decode
 *  operations, and the functions the library's own parts call on them.
 *  They are exported for those parts and for the project's tools; an
 *  application works with the Ka_* and mova_* functions and the handles
 *  they return, and never needs these. */
/** @{ */

/** The byte ring buffer between Ka_AudPlayer_Play() and the play thread
 *  (opaque). */
typedef struct ka_ringbuf ka_ringbuf;
/** Player context; see struct ka_pctx. */
typedef struct ka_pctx ka_pctx;
/** Capture context; see struct ka_cctx. */
typedef struct ka_cctx ka_cctx;

/** Player context: one per device, in the static table audCtl.pctx. The
 *  fields belong to the library; applications use the Ka_AudPlayer_*
 *  functions. The operation fields may be replaced to change one device's
 *  behaviour (for example its write). */
struct ka_pctx {
    const char *dev_name;       /**< Device name; never changes. */
    const char *path_ctl[3];    /**< Playback route mixer controls, selected by @c path_mask bits 0..2. */
    unsigned path_mask;         /**< Route mask (default 1); see Ka_AudPlayer_SetInterface(). */
    struct pcm *pcm;            /**< The open stream; NULL or a placeholder with descriptor -1 when none. */
    ka_ringbuf *ringbuf;        /**< Ring buffer from open to close, else NULL. Guarded by @c ring_lock. */
    int state;                  /**< Context state (CTX_*). Guarded by @c state_lock. */
    int inited;                 /**< 1 from the start of an open until the close has released it. */
    int stop;                   /**< Stop request of the play thread. */
    int pause;                  /**< Pause request of the play thread. */
    unsigned soft_vol;          /**< Software volume in percent, 0..100. */
    int soft_vol_on;            /**< Software volume applied. */
    unsigned bufsize_ms;        /**< Ring length in ms used at the next open (default 80). */
    pthread_t data_thread;      /**< Decode thread of the current file play. */
    pthread_mutex_t state_lock; /**< Guards @c state, @c pause, start and end of the play thread. */
    pthread_mutex_t ring_lock;  /**< Guards @c ringbuf and its contents. Taken after @c state_lock. */
    pthread_mutex_t file_lock;  /**< Held while a file play is installed. Taken before @c state_lock. */
    pthread_cond_t resume_cond; /**< The paused play thread waits on it. */
    pthread_cond_t state_cond;  /**< Broadcast when the play thread ends; Close waits on it. */
    unsigned write_chunk; /**< Bytes Play puts into the ring per step (one period; 320 after a close). */
    /** Player callback (default_playCb() when none). */
    int (*callback)(int hdl, int result);
    int (*start_play)(int hdl); /**< Starts the play thread. */
    /** Writes one period to the stream: 0, or -1. */
    int (*write)(ka_pctx *pctx, void *buf, unsigned len);
    /** Scales 16-bit samples in place by vol/100. */
    int (*soft_volume)(int vol, void *buf, unsigned len);
    ka_start_decode_fn start_decode; /**< Decode start operation of the file play. */
    int file_fd;                     /**< Descriptor of the file play. */
};

/** Capture context: one per device, in the static table audCtl.cctx. The
 *  fields belong to the library; applications use the Ka_AudRecorder_*
 *  functions. */
struct ka_cctx {
    const char *dev_name; /**< Device name; never changes. */
    int inited;           /**< Set by __ka_cctx_init(), cleared by __ka_cctx_deinit(). */
    int stop;             /**< Stop request of the capture thread. */
    /** The open capture stream; NULL or a placeholder with descriptor -1 when none. */
    struct pcm *pcm;
    const char *path_ctl[4]; /**< Capture route mixer controls, selected by @c path_mask bits 4..7. */
    unsigned path_mask;      /**< Route mask (default 16); see Ka_AudRecorder_SetInterface(). */
    int state;               /**< Context state (CTX_*). Guarded by @c state_lock. */
    pthread_t cap_thread;    /**< Record-file thread of a file recording. */
    /** Guards @c state, @c pcm, @c callback, start and end of the capture thread. */
    pthread_mutex_t state_lock;
    pthread_mutex_t file_lock; /**< Held while a file recording is set up. Taken before @c state_lock. */
    pthread_cond_t state_cond; /**< Broadcast when the capture thread ends; Close waits on it. */
    /** Capture callback (default_capCb() when none). */
    int (*callback)(int result, void *buf, unsigned len);
    int (*read)(ka_cctx *cctx, void *buf, unsigned len); /**< Reads one buffer: 0, or -1. */
    int file_fd;                                         /**< Descriptor of the file being recorded. */
    int file_type; /**< File type of the recording (AUD_FILE_WAV or AUD_FILE_AMRNB). */
    void *amr_enc; /**< AMR-NB encoder of the recording. */
};

/** The two context tables, indexed by handle. */
typedef struct ka_aud_ctl {
    ka_pctx *pctx; /**< The seven player contexts. */
    ka_cctx *cctx; /**< The seven capture contexts. */
} ka_aud_ctl;

/** The context tables; every lookup of the library goes through them. */
KA_API extern ka_aud_ctl audCtl;

/** Handle of a player context: the index of the first device whose name
 *  equals the context's @c dev_name.
 *  @param pctx  a player context, or NULL
 *  @return the handle 0..6, or -1 (NULL or unknown name). No message. */
KA_API int __ka_pctx2hdl(ka_pctx *pctx);
/** Player context of a handle.
 *  @param hdl  a handle
 *  @return the context, or NULL when @p hdl is outside 0..6. No message. */
KA_API ka_pctx *__ka_hdl2pctx(int hdl);
/** Player context of a device name (compared as strings).
 *  @param dev  device name; NULL is not defaulted here and yields NULL
 *  @param hdl  receives the handle when found, else left untouched; may be NULL
 *  @return the context, or NULL when no device has that name. No message. */
KA_API ka_pctx *__ka_dev2pctx(const char *dev, int *hdl);
/** Handle of a capture context; as __ka_pctx2hdl().
 *  @param cctx  a capture context, or NULL
 *  @return the handle 0..6, or -1. */
KA_API int __ka_cctx2hdl(ka_cctx *cctx);
/** Capture context of a handle; as __ka_hdl2pctx().
 *  @param hdl  a handle
 *  @return the context, or NULL when @p hdl is outside 0..6. */
KA_API ka_cctx *__ka_hdl2cctx(int hdl);
/** Capture context of a device name; as __ka_dev2pctx().
 *  @param dev  device name (not NULL)
 *  @param hdl  receives the handle when found; may be NULL
 *  @return the context, or NULL. */
KA_API ka_cctx *__ka_dev2cctx(const char *dev, int *hdl);
/** Switches the playback route controls selected by @c path_mask (bits
 *  0..2) on or off: Ka_clt_set_mixer_value(control, 1, "1" or "0") for each,
 *  in bit order. Mixer failures are logged by the mixer and not reported.
 *  @param pctx  a player context
 *  @param on    non-zero: on; 0: off
 *  @return 0, or -1 for a NULL context. */
KA_API int __ka_pctx_set_path(ka_pctx *pctx, int on);

/** Opens a player context (called by Ka_AudPlayer_OpenExt() with the
 *  context's @c state_lock held; not for applications). Allocates the ring
 *  buffer (bufsize_ms x bytes per sample x channels x rate / 1000 bytes),
 *  switches the route on and opens the stream. On failure the ring and the
 *  route stay for a close to release.
 *  @param pctx      the context
 *  @param callback  player callback, or NULL for default_playCb()
 *  @param flags     PCM open flags, as for Ka_AudPlayer_OpenExt()
 *  @param channels  channel count
 *  @param rate      sample rate in Hz
 *  @param format    ALSA sample format
 *  @return 0, or -1.
 *  @par Logs
 *  "pctx init ring buffer failed", "Pcm open failed, hdl = %d",
 *  "Ring buffer size %d is smaller than one period of %u bytes, hdl = %d",
 *  and the stream setup messages. */
KA_API int __ka_pctx_init(ka_pctx *pctx, ka_play_cb callback, unsigned flags, int channels, unsigned rate,
                          unsigned format);
/** Releases an opened player context (called by Ka_AudPlayer_Close() with
 *  @c state_lock held): closes the stream, switches the route off, frees the
 *  ring buffer, switches the software volume off.
 *  @param pctx  the context
 *  @return 0, or -1 for a NULL context. */
KA_API int __ka_pctx_deinit(ka_pctx *pctx);
/** The player callback used when none is given: logs "Default play thread
 *  callback, result = %d" at priority 3.
 *  @param hdl     the handle (not used)
 *  @param result  the result code
 *  @return 0. */
KA_API int default_playCb(int hdl, int result);

/** Switches the capture route controls selected by @c path_mask (bits 4..7)
 *  on or off, like __ka_pctx_set_path().
 *  @param cctx  a capture context
 *  @param on    non-zero: on; 0: off
 *  @return 0, or -1 for a NULL context. */
KA_API int __ka_cctx_set_path(ka_cctx *cctx, int on);
/** Marks a capture context initialised with no stream and the given
 *  callback. Opens nothing, takes no lock; no function of the library calls
 *  it.
 *  @param cctx      a capture context
 *  @param callback  capture callback, or NULL for default_capCb()
 *  @return 0, or -1 for a NULL context. */
KA_API int __ka_cctx_init(ka_cctx *cctx, ka_cap_cb callback);
/** Marks a capture context uninitialised with no stream and default_capCb().
 *  Closes nothing.
 *  @param cctx  a capture context
 *  @return 0, or -1 for a NULL context. */
KA_API int __ka_cctx_deinit(ka_cctx *cctx);
/** The capture callback used when none is given: logs "Default capture
 *  thread callback, result = %d" at priority 3.
 *  @param result  the result code
 *  @param buf     the data (not used)
 *  @param len     its length (not used)
 *  @return 0. */
KA_API int default_capCb(int result, void *buf, unsigned len);

/** Installs the decode start operation of a file type in a player context.
 *  @param pctx  the context
 *  @param type  AUD_FILE_WAV, AUD_FILE_MP3, AUD_FILE_AMRNB or AUD_FILE_AMRWB
 *  @return 0, or -1 (NULL context, other type; nothing changed). */
KA_API int __ka_pctx_setops(ka_pctx *pctx, int type);
/** Stores the descriptor of a file play in a player context.
 *  @param pctx  the context
 *  @param fd    the descriptor
 *  @return 0, or -1 for a NULL context. */
KA_API int __ka_pctx_setfd(ka_pctx *pctx, int fd);
/** The data-write callback of file playback (ka_data_write_cb): pushes a
 *  decode thread's PCM into the player's ring like Ka_AudPlayer_Play(), but
 *  never starts a play thread (the file play's main thread does). Accepts
 *  data only from the decode thread of the player's current file play.
 *  @param hdl  the player's handle
 *  @param buf  the PCM bytes
 *  @param len  their count; 0 marks the end of the data: the ring is made
 *              up to whole periods with silence, and once the play thread
 *              has written all of it the device is drained (it plays what
 *              it holds), then the player is stopped; a stop, a close or
 *              the play thread's end cuts this short
 *  @return 0 taken (or dropped while paused); 1 stop (the player is not
 *          playing, a stop was requested, the end mark was taken, or the
 *          caller is not the current decode thread); -1 error (NULL @p buf,
 *          bad handle, player closed, Play failed).
 *  @par Blocking
 *  As Ka_AudPlayer_Play(): while the ring is full; at the end mark until
 *  the device has played what it held (at most one and a half of its
 *  buffers, should it stop moving).
 *  @par Logs
 *  "Ka_AudPlayer_Play failed" (after the Play messages, e.g. "Play thread
 *  not running, hdl = %d" when the play thread ended on a device failure);
 *  at priority 3 "Data decode thread not match
 *  handle, return stop", "Receive Stop flag from decode thread",
 *  "Ka_AudPlayer_Play return stop". */
KA_API int __ka_default_data_write(int hdl, void *buf, uint32_t len);

/** Writes the header of a recording's file type.
 *  @param fd        descriptor of the new file
 *  @param type      AUD_FILE_WAV: wav_init_header(); 2 or AUD_FILE_AMRNB:
 *                   amrnb_init_header(); above 4: nothing
 *  @param channels  channel count
 *  @param rate      sample rate in Hz
 *  @param format    ALSA sample format (not used by the WAV header)
 *  @return 0 (also when the header write failed; the writer logs that), or
 *          -1 for AUD_FILE_MP3, AUD_FILE_AMRWB and negative types. */
KA_API int __ka_init_file_header(int fd, int type, int channels, unsigned rate, unsigned format);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* KA_AUDIO_INTERNAL_H */
