// SPDX-License-Identifier: MIT
// ka-audio subcommands for audio files: play, record, amr2wav, detect.
#include <alsa_audio.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "commands.h"
#include "ka_lib_audio.h"
#include "media_header.h"

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_finished{false};
std::atomic<bool> g_play_error{false};

void on_sigint(int)
{
    g_interrupted = true;
}

void catch_sigint()
{
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int play_cb(int, int result)
{
    if (result == AUD_PLAYER_FINISHED) g_finished = true;
    if (result == AUD_PLAYER_ERROR) g_play_error = true;
    return 0;
}

void sleep_ms(long ms)
{
    struct timespec ts {
        ms / 1000, (ms % 1000) * 1000000L
    };
    nanosleep(&ts, nullptr);
}

const char *type_name(int type)
{
    switch (type) {
        case AUD_FILE_WAV:
            return "WAV";
        case AUD_FILE_MP3:
            return "MP3";
        case AUD_FILE_AMRNB:
            return "AMR-NB";
        case AUD_FILE_AMRWB:
            return "AMR-WB";
        default:
            return "unknown";
    }
}

const char *format_name(int format)
{
    switch (format) {
        case 0:
            return "S8";
        case 2:
            return "S16_LE";
        case 6:
            return "S24_LE";
        case 10:
            return "S32_LE";
        default:
            return "?";
    }
}

// How a WAV's samples are coded, as detect names them.
std::string encoding_name(const ka_tool::MediaHeader &h)
{
    std::string s;
    switch (h.tag) {
        case 1:
            s = std::to_string(h.bits) + "-bit PCM";
            break;
        case 3:
            s = std::to_string(h.bits) + "-bit float";
            break;
        case 6:
            s = "A-law";
            break;
        case 7:
            s = "mu-law";
            break;
        default:
            s = "encoding " + std::to_string(h.tag);
    }
    return h.extensible ? s + " (extensible header)" : s;
}

// Playing position. The decoder runs ahead of what is heard by up to the
// ring buffer plus the device's buffer, so the file offset says little. The
// position is counted from what the play thread hands to the device instead:
// the player's write operation (a per-context function-pointer field) is
// wrapped to count the bytes the device accepted. Of those, up to one device
// buffer may still wait in the device; while the play runs that buffer is
// full (the write blocks on it), so it is subtracted. At the end everything
// has been heard and the count is the whole.
std::atomic<uint64_t> g_written{0};
std::atomic<unsigned> g_device_buffer{0};
int (*g_device_write)(ka_pctx *, void *, unsigned) = nullptr;

// The wrapper also keeps what follows the audio off the device: the part of
// a period beyond the first g_audio_bytes is silenced, later periods are
// dropped.
std::atomic<uint64_t> g_audio_bytes{UINT64_MAX};

int counting_write(ka_pctx *pctx, void *buf, unsigned len)
{
    const uint64_t done = g_written.load(), audio = g_audio_bytes.load();
    if (done >= audio) return 0;
    if (len > audio - done)
        memset(static_cast<uint8_t *>(buf) + (audio - done), 0, len - size_t(audio - done));
    int r = g_device_write(pctx, buf, len);
    if (r == 0) {
        g_written += len;
        if (pctx->pcm) g_device_buffer = pctx->pcm->buffer_size;
    }
    return r;
}

std::string mmss(double s)
{
    long t = long(s + 0.5);
    char b[32];
    snprintf(b, sizeof b, "%02ld:%02ld", t / 60, t % 60);
    return b;
}

// One progress report: on a terminal a line redrawn in place with a bar;
// otherwise a plain line per report.
void show_position(bool tty, double pos, double total)
{
    if (total > 0 && pos > total) pos = total;
    if (!tty) {
        printf("%s / %s\n", mmss(pos).c_str(), mmss(total).c_str());
        fflush(stdout);
        return;
    }
    constexpr int kWidth = 30;
    int fill = total > 0 ? int(kWidth * pos / total + 0.5) : 0;
    std::string bar(size_t(fill), '#');
    bar.resize(kWidth, '-');
    printf("\r%s / %s [%s]", mmss(pos).c_str(), mmss(total).c_str(), bar.c_str());
    fflush(stdout);
}

int cmd_play(int argc, char **argv)
{
    std::string device = ka_tool::take_option(argc, argv, "device", "");
    std::string volume = ka_tool::take_option(argc, argv, "volume", "");
    if (argc != 2) return ka_tool::usage_error("play", "one file expected");
    if (!ka_tool::known_device("play", device)) return 2;
    if (ka_tool::refuse_directory("play", argv[1])) return 1;
    long vol = volume.empty() ? -1 : strtol(volume.c_str(), nullptr, 10);
    if (!volume.empty() && (vol < 0 || vol > 100))
        return ka_tool::usage_error("play", "--volume must be 0..100");
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "ka-audio play: cannot open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    // The library starts a WAV at byte 44 and an MPEG file at byte 0; the
    // header read here gives where the audio really starts, and names what
    // the module cannot play.
    const ka_tool::MediaHeader h = ka_tool::read_media_header(fd);
    format_info fi{};
    int type = check_audio_format(fd, &fi);
    std::string refusal = ka_tool::unplayable(h, argv[1], type, fi.channels, fi.rate, fi.format);
    if (refusal.empty() && h.audio_at() > uint64_t(INT_MAX)) refusal = "the audio starts beyond 2 GiB";
    if (!refusal.empty()) {
        fprintf(stderr, "ka-audio play: %s: %s\n", argv[1], refusal.c_str());
        close(fd);
        return 1;
    }
    if (type < 0) {
        fprintf(stderr, "ka-audio play: %s: unknown audio format (WAV, AMR-NB, AMR-WB or MP3 expected)\n",
                argv[1]);
        close(fd);
        return 1;
    }
    const double total = ka_tool::media_length(fd, type, h);
    // Bytes per second on the device: 16-bit samples, as a WAV that plays
    // holds them and the decoders make them.
    const double bytes_per_s = double(fi.rate) * fi.channels * 2;
    // Chunks behind a WAV's data are no sound: the device gets the data
    // chunk's bytes only.
    g_audio_bytes = h.kind == ka_tool::MediaHeader::kWav ? h.data_size : UINT64_MAX;

    const char *dev = device.empty() ? nullptr : device.c_str();
    int want = -1;
    ka_pctx *pctx = __ka_dev2pctx(dev ? dev : "hw:0,0", &want);
    if (!pctx) {
        fprintf(stderr, "ka-audio play: no playback device '%s'\n", dev);
        close(fd);
        return 1;
    }
    g_device_write = pctx->write;
    pctx->write = counting_write;
    catch_sigint();
    ka_tool::reset_library_error();
    int hdl = Ka_AudPlayer_PlayFile(dev, fd, int(h.audio_at()), play_cb);
    if (hdl < 0) {
        pctx->write = g_device_write;
        std::string why = ka_tool::last_library_error();
        fprintf(stderr, "ka-audio play: cannot open the player on %s (device busy or failing)%s%s\n",
                dev ? dev : "hw:0,0", why.empty() ? "" : ": ", why.c_str());
        close(fd);
        return 1;
    }
    if (vol >= 0) Ka_AudSoft_SetVolume(hdl, unsigned(vol));
    const bool tty = isatty(STDOUT_FILENO);
    bool stopping = false;
    long shown = -1;
    // The play has ended when the player has been closed after its finished
    // report.
    while (!(g_finished && __atomic_load_n(&pctx->state, __ATOMIC_RELAXED) == CTX_CLOSED)) {
        if (g_interrupted && !stopping) {
            stopping = true;
            Ka_AudPlayer_Stop(hdl);
        }
        uint64_t heard = g_written.load();
        heard = heard > g_device_buffer.load() ? heard - g_device_buffer.load() : 0;
        double pos = bytes_per_s > 0 ? double(heard) / bytes_per_s : 0;
        // A plain line once a second of position; the terminal line is redrawn.
        if (tty || long(pos) != shown) show_position(tty, pos, total);
        shown = long(pos);
        sleep_ms(tty ? 200 : 50);
    }
    pctx->write = g_device_write;
    double end = bytes_per_s > 0 ? double(g_written.load()) / bytes_per_s : 0;
    show_position(tty, stopping ? end : (total > 0 ? total : end), total > 0 ? total : end);
    if (tty) printf("\n");
    close(fd);
    if (g_play_error) {
        fprintf(stderr, "ka-audio play: writing to the device failed\n");
        return 1;
    }
    if (stopping) fprintf(stderr, "ka-audio play: stopped\n");
    return stopping ? 130 : 0;
}

// A recording stores captured PCM through the library's own file callback,
// counted here: once the asked length of audio is stored, the recorder is
// asked to stop and later deliveries are dropped. Counting captured bytes
// rather than wall time gives the same length at any clock (the board's
// unlimited speed included).
std::atomic<uint64_t> g_rec_left{0};
std::atomic<int> g_rec_hdl{-1};
int (*g_rec_store)(int, void *, unsigned) = nullptr;

int counting_cb(int result, void *buf, unsigned len)
{
    if (result != 0) return g_rec_store(result, buf, len);
    uint64_t left = g_rec_left.load();
    if (left == 0) return 0;
    g_rec_store(result, buf, len);  // whole deliveries: the AMR-NB writer takes whole frames
    if (len >= left) {
        g_rec_left = 0;
        Ka_AudRecorder_HStop(g_rec_hdl);
    } else {
        g_rec_left = left - len;
    }
    return 0;
}

int cmd_record(int argc, char **argv)
{
    std::string device = ka_tool::take_option(argc, argv, "device", "");
    double seconds = atof(ka_tool::take_option(argc, argv, "seconds", "5").c_str());
    int rate = atoi(ka_tool::take_option(argc, argv, "rate", "8000").c_str());
    int channels = atoi(ka_tool::take_option(argc, argv, "channels", "1").c_str());
    if (argc != 2) return ka_tool::usage_error("record", "one output file expected");
    if (!ka_tool::known_device("record", device)) return 2;
    if (ka_tool::refuse_directory("record", argv[1])) return 1;
    if (seconds <= 0 || rate <= 0 || channels <= 0)
        return ka_tool::usage_error("record", "bad --seconds, --rate or --channels");
    std::string path = argv[1];
    bool amr = path.size() > 4 && strcasecmp(path.c_str() + path.size() - 4, ".amr") == 0;
    if (amr) {
        rate = 8000;  // AMR-NB: 8000 Hz mono
        channels = 1;
    }
    const char *dev = device.empty() ? nullptr : device.c_str();
    int expect_hdl = -1;
    if (!__ka_dev2cctx(dev ? dev : "hw:0,0", &expect_hdl)) {
        fprintf(stderr, "ka-audio record: no capture device '%s'\n", dev);
        return 1;
    }
    const double bytes_per_s = double(rate) * channels * 2;
    const uint64_t target = uint64_t(seconds * bytes_per_s);
    g_rec_left = target;
    g_rec_hdl = expect_hdl;
    g_rec_store = amr ? __ka_amrnb_write_file_cb : __ka_wav_write_file_cb;
    catch_sigint();
    int hdl = Ka_AudRecorder_RecordFile(dev, path.c_str(), amr ? AUD_FILE_AMRNB : AUD_FILE_WAV, channels,
                                        unsigned(rate), 2, counting_cb);
    if (hdl < 0) {
        fprintf(stderr, "ka-audio record: cannot record into %s\n", path.c_str());
        return 1;
    }
    // The recorded length against the asked one, as play shows its position.
    const bool tty = isatty(STDOUT_FILENO);
    long shown = -1;
    while (!g_interrupted && g_rec_left.load() > 0) {
        const double pos = double(target - g_rec_left.load()) / bytes_per_s;
        if (tty || long(pos) != shown) show_position(tty, pos, seconds);
        shown = long(pos);
        sleep_ms(tty ? 200 : 50);
    }
    Ka_AudRecorder_HStop(hdl);
    Ka_AudRecorder_HClose(hdl);
    const double recorded = double(target - g_rec_left.load()) / bytes_per_s;
    show_position(tty, recorded, seconds);
    if (tty) printf("\n");
    struct stat st {};
    stat(path.c_str(), &st);
    fprintf(stderr, "%s: %.2f s, %lld bytes (%s)\n", path.c_str(), recorded, (long long)st.st_size,
            amr ? "AMR-NB" : "WAV");
    return g_interrupted ? 130 : 0;
}

int cmd_amr2wav(int argc, char **argv)
{
    if (argc != 3) return ka_tool::usage_error("amr2wav", "input and output expected");
    if (ka_tool::refuse_directory("amr2wav", argv[1]) || ka_tool::refuse_directory("amr2wav", argv[2]))
        return 1;
    int frames = DecodeAMRFileToWAVEFile(argv[1], argv[2]);
    if (frames < 0) return 1;
    printf("%s: %d frames (%.2f s)\n", argv[2], frames, frames * 0.02);
    return 0;
}

int cmd_detect(int argc, char **argv)
{
    if (argc != 2) return ka_tool::usage_error("detect", "one file expected");
    if (ka_tool::refuse_directory("detect", argv[1])) return 1;
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    const ka_tool::MediaHeader h = ka_tool::read_media_header(fd);
    format_info fi{};
    int type = check_audio_format(fd, &fi);
    off_t at = lseek(fd, 0, SEEK_CUR);
    close(fd);
    const std::string why = ka_tool::unplayable(h, argv[1], type, fi.channels, fi.rate, fi.format);
    if (h.kind == ka_tool::MediaHeader::kOther && type < 0) {
        printf("%s: unknown format\n", argv[1]);
        return 1;
    }
    if (!h.error.empty()) {
        printf("%s: %s\n", argv[1], h.error.c_str());
        return 1;
    }
    // A WAV or MPEG file as its header says; other formats as the library
    // detects them.
    if (h.kind == ka_tool::MediaHeader::kWav)
        printf("%s: WAV, %u channel(s), %u Hz, %s, %s\n", argv[1], h.channels, h.rate,
               encoding_name(h).c_str(), ka_tool::describe_layout(h).c_str());
    else if (h.kind == ka_tool::MediaHeader::kMpeg)
        printf("%s: MP3, %u channel(s), %u Hz, %s\n", argv[1], h.channels, h.rate,
               ka_tool::describe_layout(h).c_str());
    else
        printf("%s: %s, %d channel(s), %d Hz, %s, data from byte %lld\n", argv[1], type_name(type),
               fi.channels, fi.rate, format_name(fi.format), (long long)at);
    if (why.empty()) return 0;
    printf("%s: %s\n", argv[1], why.c_str());
    return 1;
}

ka_tool::Registrar r_play({"play", "FILE [--device DEV] [--volume 0..100]",
                           "play a WAV, AMR-NB, AMR-WB or MP3 file (Ctrl-C stops)", cmd_play});
ka_tool::Registrar r_record(
    {"record", "FILE.wav|FILE.amr [--seconds N] [--device DEV] [--rate HZ] [--channels N]",
     "record N seconds of audio into a WAV file (16-bit) or an AMR-NB file (8000 Hz mono)", cmd_record});
ka_tool::Registrar r_amr2wav({"amr2wav", "IN.amr OUT.wav", "convert an AMR-NB or AMR-WB file to WAV",
                              cmd_amr2wav});
ka_tool::Registrar r_detect(
    {"detect", "FILE",
     "show what format a file is detected as, where its audio starts and whether the module plays it",
     cmd_detect});

}  // namespace
