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

/* ===== DTMF tone ========================================================== */

/* One dual tone. Frequencies in Hz (at least 100 each), gain at most 1000
 * (the generator receives gain x 4), duration handed on unchanged. */
typedef struct tone_param {
    uint32_t low;
    uint32_t high;
    uint32_t gain;
    uint32_t duration;
} tone_param;

/* Switches the DTMF route on and opens the tone stream on `device` (NULL, or
 * a name of 40 characters or more, selects "hw:0,7"). A stream still open
 * from an earlier Open is closed first. 0, or -1. */
KA_API int Ka_AudTone_Open(const char *device);
/* Writes one tone to the tone generator; the first argument is ignored.
 * 0, or -1 for a NULL or out-of-range `param`. */
KA_API int Ka_AudTone_Start(int unused, const tone_param *param);
/* Silences the tone generator: 1 when the control was written, 0 if not. */
KA_API int Ka_AudTone_Stop(void);
/* Closes the tone stream, if one is open. */
KA_API void Ka_AudTone_Close(void);

/* ===== Codec ============================================================== */

/* Codec types returned by codec_get_type. */
enum {
    KA_CODEC_NONE = -1,
    KA_CODEC_ALC5616 = 0,
    KA_CODEC_NAU8810 = 1,
    KA_CODEC_NAU88C10 = 2,
    KA_CODEC_NAU8814 = 3,
    KA_CODEC_TLV320 = 4,
    KA_CODEC_MAX9867 = 5,
    KA_CODEC_MAX9860 = 6
};

/* Volume types of Ka_AudCodec_SetVolume / Ka_AudCodec_GetVolume. */
enum {
    KA_CODEC_VOL_PLAYBACK = 0,
    KA_CODEC_VOL_CAPTURE = 1
};

/* The codec the sound card uses, read afresh from sysfs: 0..6, or -1. */
KA_API int codec_get_type(void);
/* Percentages 0..100 for the left and right channel. 0 when handed to the
 * mixer, -1 on a bad request. */
KA_API int Ka_AudCodec_SetVolume(int type, uint32_t left, uint32_t right);
/* 0 with both percentages stored, -1 on failure. */
KA_API int Ka_AudCodec_GetVolume(int type, int *left, int *right);

/* ===== ALC5616 DRC/AGC ==================================================== */

/* Bits to change (mask) and their new values for registers 0xB4..0xB6. A
 * mask of 0 leaves its register alone, 0xFFFF replaces it whole. */
typedef struct drcagc_param {
    uint16_t mask_b4;
    uint16_t value_b4;
    uint16_t mask_b5;
    uint16_t value_b5;
    uint16_t mask_b6;
    uint16_t value_b6;
} drcagc_param;

/* `dev`: the I2C device node (the chip is then at 0x1B), or NULL to find bus
 * and address from sysfs. 0 on success or with nothing to change, else -1. */
KA_API int Ka_AudCodec_Set_ALC5616_DRCAGC(const char *dev, const drcagc_param *param);

/* ===== Voice volume and version =========================================== */

/* Voice volume types. */
enum {
    KA_VOICE_RX_GAIN_CMD = 0,  /* receive gain command, any value */
    KA_VOICE_TX_VOICE_CMD = 1, /* transmit voice command, any value */
    KA_VOICE_RX_MUTE = 2,      /* receive mute, 0 or 1 */
    KA_VOICE_TX_MUTE = 3,      /* transmit mute, 0 or 1 */
    KA_VOICE_RX_LEVEL = 4      /* receive level, 0..5 */
};

/* Voice control names, read at every call; an application may replace them.
 * 0: receive level, 1: unused, 2: receive mute, 3: transmit mute. */
KA_API extern const char *voice_info[4];

/* 0, or -1 for a value out of range for types 2..4. */
KA_API int Ka_AudVoice_SetVolume(int type, int vol);
/* "Lib Version: 00.02.0008"; a constant string, not to be freed. */
KA_API const char *Ka_AudVersion_Get(void);

#ifdef __cplusplus
}
#endif

#endif /* KA_AUDIO_CONTROLS_H */
