// SPDX-License-Identifier: MIT
// DTMF tones in the receive side of the voice path. The platform generates
// the tone behind its tone generator control; the library switches the DTMF
// route on, keeps a playback stream open on the tone device (never written
// to) and writes the tone parameters into the generator control.
#define KA_LOG_FILE "ka_lib_audio"
#include "ka_internal.h"

#include <alsa_audio.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

namespace {

constexpr const char *kToneDevice = "hw:0,7";
constexpr const char *kDtmfRoute = "SEC_AUX_PCM_RX_Voice Mixer DTMF";
constexpr const char *kToneGenerator = "DTMF_Generate Rx Low High Duration Gain";
constexpr size_t kDevNameBuf = 40;

constexpr unsigned kToneFlags = 1;
constexpr int kToneChannels = 2;
constexpr unsigned kToneRate = 44100;
constexpr unsigned kToneFormat = SNDRV_PCM_FORMAT_S16_LE;

constexpr uint32_t kMinFreq = 100;
constexpr uint32_t kMaxGain = 1000;

// The tone stream slot. Changed only under tone_lock; Close peeks at it
// before taking the lock, so it is atomic.
constinit std::atomic<struct pcm *> tone_pcm{&closed_pcm};
pthread_mutex_t tone_lock = PTHREAD_MUTEX_INITIALIZER;

// Writes the four generator values: low, high, duration, gain.
int write_generator(const char *values) { return Ka_clt_set_mixer_value(kToneGenerator, 4, values); }

}  // namespace

extern "C" KA_API int Ka_AudTone_Open(const char *device)
{
    char name[kDevNameBuf] = {};
    if (device != nullptr && strlen(device) < kDevNameBuf)
        memcpy(name, device, strlen(device) + 1);
    else
        memcpy(name, kToneDevice, strlen(kToneDevice) + 1);

    // The route stays on whatever happens below; a failure here is the
    // mixer's to report.
    Ka_clt_set_mixer_value(kDtmfRoute, 1, "1");

    pthread_mutex_lock(&tone_lock);
    // A second Open without Close would otherwise lose the first stream and
    // keep its device busy for the life of the process: it is closed here,
    // before the new one is opened (the device may be the same one).
    struct pcm *old = tone_pcm.load(std::memory_order_relaxed);
    if (ka_pcm_live(old)) {
        KA_LOGD("close tone pcm\n\r");
        pcm_close(old);
        tone_pcm.store(&closed_pcm, std::memory_order_relaxed);
    }
    struct pcm *pcm = __ka_pcm_open(name, kToneFlags, kToneChannels, kToneRate, kToneFormat);
    if (pcm == nullptr) {
        pthread_mutex_unlock(&tone_lock);
        KA_LOGE("open pcm handle failed.\n");
        return -1;
    }
    KA_LOGD("open tone pcm\n\r");
    tone_pcm.store(pcm, std::memory_order_relaxed);
    pthread_mutex_unlock(&tone_lock);
    return 0;
}

extern "C" KA_API int Ka_AudTone_Start(int /*unused*/, const tone_param *param)
{
    if (param == nullptr) {
        KA_LOGE("para is invalid\n\r");
        return -1;
    }
    const uint32_t low = param->low, high = param->high;
    const uint32_t gain = param->gain, duration = param->duration;
    if (low < kMinFreq || high < kMinFreq || gain > kMaxGain) {
        KA_LOGE("wrong para input %u, %u, %u, %d\n\r", low, high, duration, static_cast<int>(gain));
        return -1;
    }
    char values[100] = {};
    snprintf(values, sizeof values, "%u %u %u %u", low, high, duration, gain * 4);
    KA_LOGD("start tone paly...\n");
    write_generator(values);  // a failed write is logged by the mixer
    return 0;
}

extern "C" KA_API int Ka_AudTone_Stop(void)
{
    // Low 1000 Hz, high 1000 Hz, duration 0, gain 100: the generator falls silent.
    char values[100] = {};
    snprintf(values, sizeof values, "%d %d %d %d", 1000, 1000, 0, 100);
    KA_LOGD("stop tone play\n\r");
    return write_generator(values);
}

extern "C" KA_API void Ka_AudTone_Close(void)
{
    if (!ka_pcm_live(tone_pcm.load(std::memory_order_relaxed))) return;
    pthread_mutex_lock(&tone_lock);
    // Looked at again under the lock: two racing Closes close the stream once.
    struct pcm *pcm = tone_pcm.load(std::memory_order_relaxed);
    if (ka_pcm_live(pcm)) {
        KA_LOGD("close tone pcm\n\r");
        pcm_close(pcm);
        tone_pcm.store(&closed_pcm, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&tone_lock);
}
