// SPDX-License-Identifier: MIT
// The module's seven audio devices as data: the names the open functions
// take, the PCM node behind each, what each is for, the route mixer controls
// of its player and capture contexts, and the stream formats, channel counts
// and rates the module's sound card takes. The context tables are built from
// it, and the command-line tool describes the devices from the same table.
// Constants only: nothing here needs linking.
#pragma once

namespace ka_devices {

// Route mixer controls of the sound card's front ends (MultiMediaN).
#define KA_PLAY_ROUTES(mm)                                                                              \
    {                                                                                                   \
        "SEC_AUX_PCM_RX Audio Mixer " mm, "SEC_MI2S_RX Audio Mixer " mm, "Incall_Music Audio Mixer " mm \
    }
#define KA_CAP_ROUTES(mm)                                                               \
    {                                                                                   \
        mm " Mixer SEC_AUX_PCM_UL_TX", mm " Mixer SEC_MI2S_TX", mm " Mixer VOC_REC_UL", \
            mm " Mixer VOC_REC_DL"                                                      \
    }

struct Device {
    const char *name;  // what the open functions and --device take
    int card;          // the PCM node: /dev/snd/pcmC<card>D<pcm_device>p (playback) or ...c
    int pcm_device;
    const char *purpose;  // one line for people
    const char *play[3];  // playback route controls, path_mask bits 0..2
    const char *cap[4];   // capture route controls, path_mask bits 4..7
};

constexpr int kCount = 7;

// The handle of a device is its index here. The virtual names have no route
// controls (their routes are switched with empty names all the same and the
// mixer refuses them); the platform's PCM library opens them as devices 20 to
// 22 of card 0.
constexpr Device kDevices[kCount] = {
    {"hw:0,0", 0, 0, "default device (front end MultiMedia1): codec, voice call",
     KA_PLAY_ROUTES("MultiMedia1"), KA_CAP_ROUTES("MultiMedia1")},
    {"hw:0,13", 0, 13, "second stream (front end MultiMedia2): codec, voice call",
     KA_PLAY_ROUTES("MultiMedia2"), KA_CAP_ROUTES("MultiMedia2")},
    {"hw:0,14", 0, 14, "third stream (front end MultiMedia6): codec, voice call",
     KA_PLAY_ROUTES("MultiMedia6"), KA_CAP_ROUTES("MultiMedia6")},
    {"hw:0,16", 0, 16, "fourth stream (front end MultiMedia5): codec, voice call",
     KA_PLAY_ROUTES("MultiMedia5"), KA_CAP_ROUTES("MultiMedia5")},
    {"audio_bluetooth", 0, 20, "Bluetooth audio (no route controls)", {"", "", ""}, {"", "", "", ""}},
    {"audio_usb", 0, 21, "USB audio (no route controls)", {"", "", ""}, {"", "", "", ""}},
    {"audio_net", 0, 22, "network audio (no route controls)", {"", "", ""}, {"", "", "", ""}},
};

#undef KA_PLAY_ROUTES
#undef KA_CAP_ROUTES

// Bits a sample of every stream the library sets up: the stream setup fixes
// sample and frame bits at this whatever the format, since the module's
// streams carry 16-bit frames; a card format of another width is refused.
constexpr unsigned kSampleBits = 16;

// Sample formats: the ALSA format code a stream is opened with, its name and
// the bytes one sample takes.
struct Format {
    unsigned code;
    const char *name;
    unsigned bytes;
};
constexpr Format kFormats[] = {
    {2, "S16_LE", 2},
    {0, "S8", 1},
    {6, "S24_LE", 3},
    {10, "S32_LE", 4},
};

// Channel counts a stream opens with and the channel bit each adds to the
// platform's open flags (stereo has none).
struct Channels {
    int count;
    unsigned flag;
};
constexpr Channels kChannels[] = {
    {1, 0x01000000u}, {2, 0u}, {4, 0x02000000u}, {6, 0x04000000u}, {8, 0x08000000u},
};

// Sample rates the sound card runs at, in Hz.
constexpr unsigned kRateMin = 8000;
constexpr unsigned kRateMax = 48000;

// The table entry of a device name, or nullptr.
constexpr const Device *find(const char *name)
{
    if (name == nullptr) return nullptr;
    for (const Device &d : kDevices) {
        const char *a = d.name;
        const char *b = name;
        while (*a != '\0' && *a == *b) {
            ++a;
            ++b;
        }
        if (*a == *b) return &d;
    }
    return nullptr;
}

}  // namespace ka_devices
