/*
 * ka_lib_audio.h - public interface of libka_lib_audio.so.1
 *
 * Plain C functions over static tables. Usable from C11 and C++.
 * Results are 0 for success and -1 for failure unless a function says
 * otherwise; open functions return a handle 0..6.
 */
#ifndef KA_LIB_AUDIO_H
#define KA_LIB_AUDIO_H

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KA_API __attribute__((visibility("default")))
#else
#define KA_API
#endif

struct pcm;                     /* the platform's PCM stream record (alsa_audio.h) */
struct snd_ctl_elem_value;      /* the kernel's control value record (sound/asound.h) */
struct mixer;                   /* the platform's mixer record (alsa_audio.h) */

/* ===== Device contexts ==================================================== */

#define KA_DEVICE_COUNT 7

/* Context states, shared by player and capture contexts. */
enum {
    CTX_CLOSED = 0,
    CTX_OPENED = 1,
    CTX_STARTING = 2,
    CTX_RUNNING = 3,
    CTX_ERROR = 4,
    CTX_FINISHED = 5,
    CTX_PAUSED = 6
};

/* Player results, given to the play callback and by Ka_AudPlayer_GetState. */
enum {
    AUD_PLAYER_ERROR = -1,
    AUD_PLAYER_START = 0,
    AUD_PLAYER_PAUSE = 1,
    AUD_PLAYER_FINISHED = 5
};

/* File type codes (format detection, file playback, recording). */
enum {
    AUD_FILE_WAV = 0,
    AUD_FILE_MP3 = 1,
    AUD_FILE_AMRNB = 3,
    AUD_FILE_AMRWB = 4
};

typedef struct ka_ringbuf ka_ringbuf;
typedef struct ka_pctx ka_pctx;
typedef struct ka_cctx ka_cctx;

/* Player callback: (handle, result code). Its result is ignored. */
typedef int (*ka_play_cb)(int hdl, int result);
/* Capture callback: (0 data | 5 end after stop | -1 failed read, bytes, length). */
typedef int (*ka_cap_cb)(int result, void *buf, unsigned len);
/* Data-write callback of file playback: negative error, 1 stop, else go on. */
typedef int (*ka_data_write_cb)(int hdl, void *buf, uint32_t len);
/* Decode start operation of file playback. */
typedef int (*ka_start_decode_fn)(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid);

struct ka_pctx {
    const char *dev_name;
    const char *path_ctl[3];
    unsigned path_mask;
    struct pcm *pcm;
    ka_ringbuf *ringbuf;
    int state;
    int inited;
    int stop;
    int pause;
    unsigned soft_vol;
    int soft_vol_on;
    unsigned bufsize_ms;
    pthread_t data_thread;
    pthread_mutex_t state_lock;
    pthread_mutex_t ring_lock;
    pthread_mutex_t file_lock;
    pthread_cond_t resume_cond;
    pthread_cond_t state_cond;
    unsigned write_chunk;
    int (*callback)(int hdl, int result);
    int (*start_play)(int hdl);
    int (*write)(ka_pctx *pctx, void *buf, unsigned len);
    int (*soft_volume)(int vol, void *buf, unsigned len);
    ka_start_decode_fn start_decode;
    int file_fd;
};

struct ka_cctx {
    const char *dev_name;
    int inited;
    int stop;
    struct pcm *pcm;
    const char *path_ctl[4];
    unsigned path_mask;
    int state;
    pthread_t cap_thread;
    pthread_mutex_t state_lock;
    pthread_mutex_t file_lock;
    pthread_cond_t state_cond;
    int (*callback)(int result, void *buf, unsigned len);
    int (*read)(ka_cctx *cctx, void *buf, unsigned len);
    int file_fd;
    int file_type;
    void *amr_enc;
};

/* The two context tables, seven entries each, indexed by handle. */
typedef struct ka_aud_ctl {
    ka_pctx *pctx;
    ka_cctx *cctx;
} ka_aud_ctl;

KA_API extern ka_aud_ctl audCtl;

KA_API int __ka_pctx2hdl(ka_pctx *pctx);
KA_API ka_pctx *__ka_hdl2pctx(int hdl);
KA_API ka_pctx *__ka_dev2pctx(const char *dev, int *hdl);
KA_API int __ka_cctx2hdl(ka_cctx *cctx);
KA_API ka_cctx *__ka_hdl2cctx(int hdl);
KA_API ka_cctx *__ka_dev2cctx(const char *dev, int *hdl);
KA_API int __ka_pctx_set_path(ka_pctx *pctx, int on);

/* ===== Player ============================================================= */

KA_API int __ka_pctx_init(ka_pctx *pctx, ka_play_cb callback, unsigned flags, int channels,
                          unsigned rate, unsigned format);
KA_API int __ka_pctx_deinit(ka_pctx *pctx);
KA_API int default_playCb(int hdl, int result);

KA_API int Ka_AudPlayer_OpenExt(const char *device, ka_play_cb callback, unsigned flags,
                                int channels, unsigned rate, unsigned format);
KA_API int Ka_AudPlayer_Open(const char *device, ka_play_cb callback);
KA_API int Ka_AudPlayer_Close(int hdl);
KA_API const char *Ka_AudPlayer_GetState(int hdl, int *code);
KA_API int Ka_AudPlayer_SetBufsize_ms(const char *device, unsigned ms);
KA_API int Ka_AudPlayer_GetInterface(const char *device, unsigned *mask);
KA_API int Ka_AudPlayer_SetInterface(const char *device, unsigned mask);

KA_API int Ka_AudPlayer_Play(int hdl, const void *buf, unsigned len);
KA_API int Ka_AudPlayer_RawPlay(void);
KA_API int Ka_AudPlayer_Pause(int hdl);
KA_API int Ka_AudPlayer_Resume(int hdl);
KA_API int Ka_AudPlayer_Stop(int hdl);
KA_API int Ka_AudSoft_SetVolume(int hdl, unsigned vol);

/* ===== Recorder =========================================================== */

KA_API int __ka_cctx_set_path(ka_cctx *cctx, int on);
KA_API int __ka_cctx_init(ka_cctx *cctx, ka_cap_cb callback);
KA_API int __ka_cctx_deinit(ka_cctx *cctx);
KA_API int default_capCb(int result, void *buf, unsigned len);

KA_API int Ka_AudRecorder_OpenExt(const char *dev, ka_cap_cb callback, unsigned flags,
                                  int channels, unsigned rate, unsigned format);
KA_API int Ka_AudRecorder_Open(const char *dev, ka_cap_cb callback);
KA_API int Ka_AudRecorder_HStartRecord(int hdl);
KA_API int Ka_AudRecorder_StartRecord(void);
KA_API void Ka_AudRecorder_HStop(int hdl);
KA_API void Ka_AudRecorder_Stop(void);
KA_API int Ka_AudRecorder_HPause(int hdl);
KA_API int Ka_AudRecorder_Pause(void);
KA_API int Ka_AudRecorder_HResume(int hdl);
KA_API int Ka_AudRecorder_Resume(void);
KA_API void Ka_AudRecorder_HClose(int hdl);
KA_API void Ka_AudRecorder_Close(void);
KA_API const char *Ka_AudRecorder_HGetState(int hdl, int *code);
KA_API const char *Ka_AudRecorder_GetState(int *code);
KA_API int Ka_AudRecorder_Record(int hdl, void *buf, unsigned len);
KA_API int Ka_AudRecorder_GetInterface(const char *dev, unsigned *mask);
KA_API int Ka_AudRecorder_SetInterface(const char *dev, unsigned mask);

/* ===== Mixer ============================================================== */

/* 1 on success, 0 on failure. `value` holds `count` values separated by spaces. */
KA_API int Ka_clt_set_mixer_value(const char *name, int count, const char *value);
KA_API int movaro_clt_set_mixer_value(const char *name, int count, const char *value);
/* The control's value count (>= 1) with the values read into *value;
 * -1 when the device can't be opened or there is no such control; 0 for a
 * NULL value. */
KA_API int Ka_clt_get_mixer_value(const char *name, struct snd_ctl_elem_value *value);
KA_API int mixer_open_fd(const char *path);
KA_API int mixer_close_fd(struct mixer *mixer);

#ifdef __cplusplus
}
#endif

/* The other families of the interface. */
#include "ka_audio_files.h"
#include "ka_audio_controls.h"
#include "ka_audio_simple.h"

#endif /* KA_LIB_AUDIO_H */
