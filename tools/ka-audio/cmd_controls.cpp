// SPDX-License-Identifier: MIT
// ka-audio subcommands over the controls and the simple family: DTMF tones,
// codec volumes, voice volumes, ALC5616 DRC/AGC registers, the library
// version and the blocking file player.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "commands.h"
#include "ka_lib_audio.h"

namespace {

// Parses a whole decimal or 0x-prefixed number into [lo, hi].
bool parse_long(const std::string &text, long lo, long hi, long *out)
{
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    long v = strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// ---- tone -----------------------------------------------------------------

struct dtmf_key {
    char key;
    uint32_t low, high;
};
constexpr dtmf_key kDtmf[] = {
    {'1', 697, 1209}, {'2', 697, 1336}, {'3', 697, 1477}, {'A', 697, 1633},
    {'4', 770, 1209}, {'5', 770, 1336}, {'6', 770, 1477}, {'B', 770, 1633},
    {'7', 852, 1209}, {'8', 852, 1336}, {'9', 852, 1477}, {'C', 852, 1633},
    {'*', 941, 1209}, {'0', 941, 1336}, {'#', 941, 1477}, {'D', 941, 1633},
};

const dtmf_key *find_key(char c)
{
    for (const auto &k : kDtmf)
        if (k.key == c || (c >= 'a' && c <= 'd' && k.key == c - 'a' + 'A')) return &k;
    return nullptr;
}

int cmd_tone(int argc, char **argv)
{
    const std::string device = ka_tool::take_option(argc, argv, "device", "");
    long gain = 100, duration = 200, gap = 100;
    if (!parse_long(ka_tool::take_option(argc, argv, "gain", "100"), 0, 1000, &gain))
        return ka_tool::usage_error("tone", "--gain takes 0..1000");
    if (!parse_long(ka_tool::take_option(argc, argv, "duration", "200"), 1, 60000, &duration))
        return ka_tool::usage_error("tone", "--duration takes 1..60000 ms");
    if (!parse_long(ka_tool::take_option(argc, argv, "gap", "100"), 0, 60000, &gap))
        return ka_tool::usage_error("tone", "--gap takes 0..60000 ms");
    if (argc != 2) return ka_tool::usage_error("tone", "one digit sequence expected");
    for (const char *p = argv[1]; *p; ++p)
        if (!find_key(*p)) return ka_tool::usage_error("tone", "digits are 0-9, *, #, A-D");

    if (Ka_AudTone_Open(device.empty() ? nullptr : device.c_str()) != 0) {
        fprintf(stderr, "ka-audio tone: cannot open the tone stream\n");
        return 1;
    }
    int rc = 0;
    for (const char *p = argv[1]; *p; ++p) {
        const dtmf_key *k = find_key(*p);
        tone_param param = {k->low, k->high, static_cast<uint32_t>(gain), static_cast<uint32_t>(duration)};
        if (Ka_AudTone_Start(0, &param) != 0) {
            rc = 1;
            break;
        }
        usleep(static_cast<useconds_t>(duration) * 1000);
        if (Ka_AudTone_Stop() != 1) {
            fprintf(stderr, "ka-audio tone: the tone generator did not take the stop\n");
            rc = 1;
        }
        usleep(static_cast<useconds_t>(gap) * 1000);
    }
    Ka_AudTone_Close();
    return rc;
}

// ---- codec-volume ----------------------------------------------------------

int cmd_codec_volume(int argc, char **argv)
{
    if (argc < 2 || argc > 4) return ka_tool::usage_error("codec-volume", "wrong number of arguments");
    int type;
    if (strcmp(argv[1], "playback") == 0)
        type = KA_CODEC_VOL_PLAYBACK;
    else if (strcmp(argv[1], "capture") == 0)
        type = KA_CODEC_VOL_CAPTURE;
    else
        return ka_tool::usage_error("codec-volume", "the volume is 'playback' or 'capture'");

    if (argc == 2) {
        int left = 0, right = 0;
        if (Ka_AudCodec_GetVolume(type, &left, &right) != 0) {
            fprintf(stderr, "ka-audio codec-volume: cannot read the %s volume (codec type %d)\n", argv[1],
                    codec_get_type());
            return 1;
        }
        printf("%d %d\n", left, right);
        return 0;
    }
    long left = 0, right = 0;
    if (!parse_long(argv[2], 0, 100, &left)) return ka_tool::usage_error("codec-volume", "LEFT is 0..100");
    right = left;
    if (argc == 4 && !parse_long(argv[3], 0, 100, &right))
        return ka_tool::usage_error("codec-volume", "RIGHT is 0..100");
    if (Ka_AudCodec_SetVolume(type, static_cast<uint32_t>(left), static_cast<uint32_t>(right)) != 0) {
        fprintf(stderr, "ka-audio codec-volume: the codec refused the %s volume\n", argv[1]);
        return 1;
    }
    return 0;
}

// ---- voice-volume ----------------------------------------------------------

int cmd_voice_volume(int argc, char **argv)
{
    if (argc != 3) return ka_tool::usage_error("voice-volume", "TYPE and VOL expected");
    long type = 0, vol = 0;
    if (!parse_long(argv[1], 0, 4, &type)) return ka_tool::usage_error("voice-volume", "TYPE is 0..4");
    if (!parse_long(argv[2], -2147483647L - 1, 2147483647L, &vol))
        return ka_tool::usage_error("voice-volume", "VOL is a number");
    if (Ka_AudVoice_SetVolume(static_cast<int>(type), static_cast<int>(vol)) != 0) {
        fprintf(stderr, "ka-audio voice-volume: %ld is out of range for type %ld\n", vol, type);
        return 1;
    }
    return 0;
}

// ---- drcagc ----------------------------------------------------------------

// "b4=MASK:VALUE" (also b5, b6).
bool parse_reg(const char *arg, drcagc_param *p)
{
    if (strlen(arg) < 4 || arg[0] != 'b' || arg[2] != '=') return false;
    const std::string rest = arg + 3;
    const size_t colon = rest.find(':');
    if (colon == std::string::npos) return false;
    long mask = 0, value = 0;
    if (!parse_long(rest.substr(0, colon), 0, 0xFFFF, &mask) || !parse_long(rest.substr(colon + 1), 0, 0xFFFF, &value))
        return false;
    const auto m = static_cast<uint16_t>(mask), v = static_cast<uint16_t>(value);
    switch (arg[1]) {
    case '4': p->mask_b4 = m, p->value_b4 = v; return true;
    case '5': p->mask_b5 = m, p->value_b5 = v; return true;
    case '6': p->mask_b6 = m, p->value_b6 = v; return true;
    default: return false;
    }
}

int cmd_drcagc(int argc, char **argv)
{
    const std::string dev = ka_tool::take_option(argc, argv, "dev", "");
    if (argc < 2) return ka_tool::usage_error("drcagc", "at least one register expected");
    drcagc_param param = {};
    for (int i = 1; i < argc; ++i)
        if (!parse_reg(argv[i], &param)) return ka_tool::usage_error("drcagc", "registers are bN=MASK:VALUE, N 4..6");
    if (Ka_AudCodec_Set_ALC5616_DRCAGC(dev.empty() ? nullptr : dev.c_str(), &param) != 0) {
        fprintf(stderr, "ka-audio drcagc: the registers could not be updated\n");
        return 1;
    }
    return 0;
}

// ---- version ---------------------------------------------------------------

int cmd_version(int argc, char **)
{
    if (argc != 1) return ka_tool::usage_error("version", "no arguments expected");
    printf("%s\n", Ka_AudVersion_Get());
    return 0;
}

// ---- simple-play -------------------------------------------------------------

void *stop_on_signal(void *arg)
{
    int sig = 0;
    if (sigwait(static_cast<sigset_t *>(arg), &sig) == 0) mova_stop_play_file();
    return nullptr;
}

int cmd_simple_play(int argc, char **argv)
{
    const std::string device = ka_tool::take_option(argc, argv, "device", "hw:0,0");
    const bool raw = ka_tool::take_flag(argc, argv, "raw");
    long rate = 8000, channels = 1;
    if (!parse_long(ka_tool::take_option(argc, argv, "rate", "8000"), 1, 384000, &rate))
        return ka_tool::usage_error("simple-play", "--rate takes 1..384000");
    if (!parse_long(ka_tool::take_option(argc, argv, "channels", "1"), 1, 8, &channels))
        return ka_tool::usage_error("simple-play", "--channels takes 1..8");
    if (argc != 2) return ka_tool::usage_error("simple-play", "one file expected");

    // Ctrl-C ends the playback after the chunk being written: a thread of its
    // own takes the signal and clears the play flag.
    static sigset_t stop_signals;  // outlives this call: the waiter reads it
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    pthread_t waiter;
    if (pthread_create(&waiter, nullptr, stop_on_signal, &stop_signals) == 0) pthread_detach(waiter);

    mova_start_play_file();
    int rc;
    if (!raw) {
        rc = mova_play_wav_file(device.c_str(), argv[1]);
    } else {
        const int fd = open(argv[1], O_RDONLY);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            fprintf(stderr, "ka-audio simple-play: cannot open '%s': %s\n", argv[1], strerror(errno));
            if (fd >= 0) close(fd);
            mova_stop_play_file();
            return 1;
        }
        rc = mova_play_file(static_cast<unsigned>(rate), static_cast<int>(channels), fd, 0, device.c_str(),
                            static_cast<uint32_t>(st.st_size));
        close(fd);
    }
    mova_stop_play_file();  // a normal end leaves the play flag set
    if (rc != 0) {
        // The player said why above; -1 is a file it could not open.
        fprintf(stderr, "ka-audio simple-play: playback failed (%d%s%s)\n", rc, rc < -1 ? ": " : "",
                rc < -1 ? strerror(-rc) : "");
        return 1;
    }
    return 0;
}

const ka_tool::Registrar reg_tone({"tone", "[--device D] [--gain 0..1000] [--duration MS] [--gap MS] DIGITS",
                                   "play a DTMF digit sequence into the voice receive path", cmd_tone});
const ka_tool::Registrar reg_codec({"codec-volume", "playback|capture [LEFT [RIGHT]]",
                                    "read, or set in percent, the codec's playback or capture volume",
                                    cmd_codec_volume});
const ka_tool::Registrar reg_voice({"voice-volume", "TYPE VOL",
                                    "set a voice volume (0 rx gain, 1 tx voice, 2 rx mute, 3 tx mute, 4 rx level 0..5)",
                                    cmd_voice_volume});
const ka_tool::Registrar reg_drcagc({"drcagc", "[--dev /dev/i2c-N] bN=MASK:VALUE...",
                                     "change ALC5616 DRC/AGC register bits (registers b4, b5, b6)", cmd_drcagc});
const ka_tool::Registrar reg_version({"version", "", "print the library version", cmd_version});
const ka_tool::Registrar reg_simple({"simple-play", "[--device D] [--raw --rate R --channels C] FILE",
                                     "play a WAV (or raw 16-bit PCM) file with the blocking player", cmd_simple_play});

}  // namespace
