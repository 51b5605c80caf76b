// SPDX-License-Identifier: MIT
/**
 * @file ka_audio_controls.h
 * @brief Controls: DTMF tone, codec detection and volume, ALC5616 DRC/AGC,
 *        voice volume, library version.
 *
 * Include ka_lib_audio.h, which includes this header. Messages go to the
 * platform log as described in ka_lib_audio.h (source ka_lib_audio).
 * Mixer controls are written through Ka_clt_set_mixer_value(), which logs
 * its own failures. All functions run in the calling thread and return
 * once their writes are done.
 */
#ifndef KA_AUDIO_CONTROLS_H
#define KA_AUDIO_CONTROLS_H

#include "ka_lib_audio.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ===== DTMF tone ========================================================== */

/** One dual tone for Ka_AudTone_Start(). */
typedef struct tone_param {
    uint32_t low;      /**< Low frequency in Hz, at least 100. */
    uint32_t high;     /**< High frequency in Hz, at least 100. */
    uint32_t gain;     /**< Gain, at most 1000; the generator receives gain x 4. */
    uint32_t duration; /**< Duration, handed to the generator unchanged. */
} tone_param;

/** Prepares DTMF tones in the voice receive path: switches the route
 *  control "SEC_AUX_PCM_RX_Voice Mixer DTMF" on (it stays on) and opens a
 *  tone stream (stereo, 44100 Hz, S16_LE; nothing is written to it). A
 *  stream still open from an earlier Open is closed first.
 *  @param device  PCM device name; NULL, or a name of 40 characters or
 *                 more, selects "hw:0,7"
 *  @return 0, or -1 when the stream cannot be opened.
 *  @par Logs
 *  "open pcm handle failed." and the stream setup messages (see
 *  ka_lib_audio.h). */
KA_API int Ka_AudTone_Open(const char *device);
/** Plays one tone: writes low, high, duration and gain x 4 to the control
 *  "DTMF_Generate Rx Low High Duration Gain". Does not check that the tone
 *  stream is open.
 *  @param unused  ignored
 *  @param param   the tone
 *  @return 0 (also when the control write failed), or -1 for a NULL or
 *          out-of-range @p param.
 *  @par Logs
 *  "para is invalid", "wrong para input %u, %u, %u, %d" (low, high,
 *  duration, gain). */
KA_API int Ka_AudTone_Start(int unused, const tone_param *param);
/** Silences the tone generator (writes 1000 Hz, 1000 Hz, duration 0, gain
 *  100 to the generator control).
 *  @return 1 when the control was written, 0 if not (the mixer's result). */
KA_API int Ka_AudTone_Stop(void);
/** Closes the tone stream, if one is open. The DTMF route stays on. */
KA_API void Ka_AudTone_Close(void);

/* ===== Codec ============================================================== */

/** Codec types returned by codec_get_type(). */
enum {
    KA_CODEC_NONE = -1,    /**< No known codec, or the sysfs node cannot be read. */
    KA_CODEC_ALC5616 = 0,  /**< ALC5616 ("5616" in the codec name). */
    KA_CODEC_NAU8810 = 1,  /**< NAU8810 ("8810"). */
    KA_CODEC_NAU88C10 = 2, /**< NAU88C10 ("88c10"). */
    KA_CODEC_NAU8814 = 3,  /**< NAU8814 ("8814"). */
    KA_CODEC_TLV320 = 4,   /**< TLV320 ("tlv320"). */
    KA_CODEC_MAX9867 = 5,  /**< MAX9867 ("max9867"). */
    KA_CODEC_MAX9860 = 6   /**< MAX9860 ("max9860"); has no volume controls here. */
};

/** Volume types of Ka_AudCodec_SetVolume() and Ka_AudCodec_GetVolume(). */
enum {
    KA_CODEC_VOL_PLAYBACK = 0, /**< Playback (DAC) volume. */
    KA_CODEC_VOL_CAPTURE = 1   /**< Capture (ADC) volume. */
};

/** Detects the codec the sound card uses, from the name in
 *  "/sys/devices/soc:sound/codec_name" (read afresh at every call; the
 *  first name of the KA_CODEC_* list found in it wins).
 *  @return the codec type 0..6, or -1.
 *  @par Logs
 *  "open codec name node failed: %s", "read codec name node failed: %s". */
KA_API int codec_get_type(void);
/** Sets the codec's playback or capture volume as percentages, mapped onto
 *  the codec's own volume control (raw = percent x control maximum / 100,
 *  truncated). The codec is detected at the first call that finds one and
 *  then remembered. Codecs with a single-value control take @p left.
 *  @param type   KA_CODEC_VOL_PLAYBACK or KA_CODEC_VOL_CAPTURE
 *  @param left   0..100
 *  @param right  0..100
 *  @return 0 when the value was handed to the mixer (also if the write then
 *          failed), -1 on a bad request: a value above 100, no known codec
 *          (or a MAX9860), an unknown volume type.
 *  @par Logs
 *  "Codec volume 0-100 input:[%d,%d]", "Unknown type of codec", and the
 *  messages of codec_get_type(). */
KA_API int Ka_AudCodec_SetVolume(int type, uint32_t left, uint32_t right);
/** Reads the codec's playback or capture volume as percentages. While the
 *  control still holds what the last Ka_AudCodec_SetVolume() wrote, those
 *  percentages are returned exactly; otherwise they are computed from the
 *  raw values (truncated).
 *  @param type   KA_CODEC_VOL_PLAYBACK or KA_CODEC_VOL_CAPTURE
 *  @param left   receives the left (or only) percentage
 *  @param right  receives the right percentage (the left one for a
 *                single-value control)
 *  @return 0 with both stored, -1 on failure: a NULL pointer, no known
 *          codec, an unknown volume type, the control cannot be read.
 *  @par Logs
 *  "unknown volume type %d", "Codec get volume error" (priority 3), and the
 *  messages of codec_get_type() and Ka_clt_get_mixer_value(). */
KA_API int Ka_AudCodec_GetVolume(int type, int *left, int *right);

/* ===== ALC5616 DRC/AGC ==================================================== */

/** Bits to change in the ALC5616 DRC/AGC registers 0xB4..0xB6 and their new
 *  values (Ka_AudCodec_Set_ALC5616_DRCAGC()). */
typedef struct drcagc_param {
    uint16_t mask_b4;  /**< Bits of 0xB4 to change: 0 leaves it alone, 0xFFFF replaces it whole. */
    uint16_t value_b4; /**< New bits of 0xB4 (only those in @c mask_b4 count). */
    uint16_t mask_b5;  /**< Bits of 0xB5 to change. */
    uint16_t value_b5; /**< New bits of 0xB5. */
    uint16_t mask_b6;  /**< Bits of 0xB6 to change. */
    uint16_t value_b6; /**< New bits of 0xB6. */
} drcagc_param;

/** Changes bits of the ALC5616's DRC/AGC registers over I2C (past the
 *  mixer), in the order 0xB5, 0xB6, 0xB4: read-modify-write for a partial
 *  mask, a plain write for 0xFFFF. Registers written before a failure stay
 *  written. Not serialised: callers that tune from several threads lock
 *  themselves.
 *  @param dev    the I2C device node (the chip is then at 0x1B), or NULL to
 *                find bus and address from "/sys/devices/soc:sound/codec_name"
 *                ("alc5616-codec.<bus>-<addr>")
 *  @param param  the changes
 *  @return 0 on success or when all masks are 0 (nothing is opened), -1 on
 *          any failure.
 *  @par Blocking
 *  For the I2C transfers (adapter timeout 10 ms, 2 retries).
 *  @par Logs
 *  "Ka_AudCodec_Set_ALC5616_DRCAGC: wrong parameters",
 *  "Ka_AudCodec_Set_ALC5616_DRCAGC: open file failed: errno=%d",
 *  "Ka_AudCodec_Set_ALC5616_DRCAGC: cannot find alc5616",
 *  "Ka_AudCodec_Set_ALC5616_DRCAGC, line: %d, dev: %s,  open i2c device
 *  failed ", "__i2c_read_data_8_16, i2c read failed: ret=%d addr=%04x
 *  reg=%02x", "__i2c_write_data_8_16, i2c write failed: ret=%d addr=%04x
 *  reg=%02x". */
KA_API int Ka_AudCodec_Set_ALC5616_DRCAGC(const char *dev, const drcagc_param *param);

/* ===== Voice volume and version =========================================== */

/** Voice volume types of Ka_AudVoice_SetVolume(). */
enum {
    KA_VOICE_RX_GAIN_CMD = 0,  /**< Receive gain command to the audio service, any value. */
    KA_VOICE_TX_VOICE_CMD = 1, /**< Transmit voice command to the audio service, any value. */
    KA_VOICE_RX_MUTE = 2,      /**< Receive mute, 0 or 1 (control voice_info[2]). */
    KA_VOICE_TX_MUTE = 3,      /**< Transmit mute, 0 or 1 (control voice_info[3]). */
    KA_VOICE_RX_LEVEL = 4      /**< Receive level, 0..5 (control voice_info[0]). */
};

/** Voice control names, read at every Ka_AudVoice_SetVolume() call; an
 *  application may point them elsewhere. 0: receive level ("Voice Rx
 *  Gain"), 1: unused, 2: receive mute ("Voice Rx Device Mute"), 3: transmit
 *  mute ("Voice Tx Device Mute"). */
KA_API extern const char *voice_info[4];

/** Sets a voice call volume. Types 0 and 1 run "echo rxgains gain <vol>" or
 *  "echo txvoices 1 <vol> 0" into the audio service's command file
 *  "/data/alsaucm_test", else "/run/alsaucm_test" (nothing when neither
 *  exists); types 2..4 write the three values (vol, -1, 500) to the voice
 *  control, level 4 as 5 - vol.
 *  @param type  KA_VOICE_* (other types do nothing)
 *  @param vol   the value for that type
 *  @return 0 (also when the command or the control write failed), -1 for a
 *          value out of range for types 2..4.
 *  @par Blocking
 *  Types 0 and 1 until the shell command has run (system()).
 *  @par Logs
 *  "Voice volume 0-5 input:[%d]" (type 4). */
KA_API int Ka_AudVoice_SetVolume(int type, int vol);
/** The library version.
 *  @return "Lib Version: 00.02.0008", a constant string (the same pointer at
 *          every call), not to be freed. */
KA_API const char *Ka_AudVersion_Get(void);

#ifdef __cplusplus
}
#endif

#endif /* KA_AUDIO_CONTROLS_H */
