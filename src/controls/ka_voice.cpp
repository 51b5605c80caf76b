// SPDX-License-Identifier: MIT
// Voice call volume: receive-gain and transmit-voice commands go to the
// platform audio service's command file through the shell; the receive and
// transmit mutes and the receive level go through the voice mixer controls.
// Also the library's version string.
#define KA_LOG_FILE "ka_lib_audio"
#include "ka_internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

constexpr const char *kCmdFiles[] = {"/data/alsaucm_test", "/run/alsaucm_test"};
constexpr unsigned kMaxRxLevel = 5;
constexpr char kVersion[] = "Lib Version: 00.02.0008";

// The first command file that exists, in the order above, or NULL.
const char *command_file()
{
    for (const char *path : kCmdFiles)
        if (access(path, F_OK) == 0) return path;
    return nullptr;
}

// The three values a voice control takes: the level or flag, -1, 500.
int set_voice_control(const char *name, int first)
{
    char text[64] = {};
    snprintf(text, sizeof text, "%d %d %d", first, -1, 500);
    Ka_clt_set_mixer_value(name, 3, text);  // a failed write is logged by the mixer
    return 0;
}

}  // namespace

extern "C" {
KA_API const char *voice_info[4] = {"Voice Rx Gain", "", "Voice Rx Device Mute", "Voice Tx Device Mute"};
}

extern "C" KA_API int Ka_AudVoice_SetVolume(int type, int vol)
{
    KA_LOGD("Voice set volume type = %d, vol = %d\n", type, vol);
    const unsigned utype = static_cast<unsigned>(type);
    const unsigned uvol = static_cast<unsigned>(vol);

    switch (utype) {
    case KA_VOICE_RX_GAIN_CMD:
    case KA_VOICE_TX_VOICE_CMD: {
        const char *file = command_file();
        if (file == nullptr) return 0;
        char cmd[64] = {};
        if (utype == KA_VOICE_RX_GAIN_CMD)
            snprintf(cmd, sizeof cmd, "echo rxgains gain %d > %s", vol, file);
        else
            snprintf(cmd, sizeof cmd, "echo txvoices %d %d %d > %s", 1, vol, 0, file);
        // The service's answer is not ours to judge; only the line is sent.
        // Wait: system() returns when the shell has written the line and
        // exited; it needs nothing from this library, so no fault here can
        // keep it waiting (a shell that cannot start returns -1 at once).
        const int rc = system(cmd);
        (void)rc;
        return 0;
    }
    case KA_VOICE_RX_MUTE:
    case KA_VOICE_TX_MUTE:
        if (uvol > 1) return -1;
        return set_voice_control(voice_info[utype == KA_VOICE_RX_MUTE ? 2 : 3], vol);
    case KA_VOICE_RX_LEVEL:
        if (uvol > kMaxRxLevel) {
            KA_LOGE("Voice volume 0-5 input:[%d]\n", vol);
            return -1;
        }
        // Level 0 is the loudest gain step: the control counts the other way.
        return set_voice_control(voice_info[0], static_cast<int>(kMaxRxLevel - uvol));
    default:
        return 0;
    }
}

extern "C" KA_API const char *Ka_AudVersion_Get(void) { return kVersion; }
