// SPDX-License-Identifier: MIT
// ka-audio play-raw / record-raw: raw PCM between a file (or the standard
// streams) and a playback or capture device, through the library's player
// and recorder.
#include <alsa_audio.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "commands.h"
#include "ka_devices.h"
#include "ka_lib_audio.h"

namespace {

// The formats a stream opens with: the library fixes every stream's samples
// at 16 bits, so the card refuses a format of another width.
bool opens(const ka_devices::Format &f)
{
    return f.bytes * 8 == ka_devices::kSampleBits;
}

// A format that opens, by name or by its ALSA number.
bool parse_format(const std::string &text, unsigned *number, unsigned *bytes)
{
    char *end = nullptr;
    const unsigned long n = strtoul(text.c_str(), &end, 10);
    const bool numeric = !text.empty() && *end == '\0';
    for (const auto &f : ka_devices::kFormats)
        if (opens(f) && (numeric ? f.code == n : strcasecmp(text.c_str(), f.name) == 0)) {
            *number = f.code;
            *bytes = f.bytes;
            return true;
        }
    return false;
}

// "--format must be S16_LE (2)": the formats that open, by name and number.
std::string format_usage()
{
    std::string s;
    for (const auto &f : ka_devices::kFormats)
        if (opens(f))
            s += (s.empty() ? "" : ", ") + std::string(f.name) + " (" + std::to_string(f.code) + ")";
    return "--format must be " + s + ": the module's streams carry " +
           std::to_string(ka_devices::kSampleBits) + "-bit samples";
}

bool parse_uint(const std::string &text, unsigned long lo, unsigned long hi, unsigned long *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
    *out = v;
    return true;
}

struct StreamArgs {
    std::string device;
    unsigned long channels = 1;
    unsigned long rate = 8000;
    unsigned format = 2;
    unsigned bytes_per_sample = 2;
};

// The options both subcommands share; false after a usage message.
bool take_stream_args(const char *cmd, int &argc, char **argv, StreamArgs *a, int *status)
{
    a->device = ka_tool::take_option(argc, argv, "device", "hw:0,0");
    if (!ka_tool::known_device(cmd, a->device)) {
        *status = 2;
        return false;
    }
    if (!parse_uint(ka_tool::take_option(argc, argv, "channels", "1"), 1, 8, &a->channels)) {
        *status = ka_tool::usage_error(cmd, "--channels must be 1 to 8");
        return false;
    }
    if (!parse_uint(ka_tool::take_option(argc, argv, "rate", "8000"), 1, 384000, &a->rate)) {
        *status = ka_tool::usage_error(cmd, "--rate must be 1 to 384000");
        return false;
    }
    if (!parse_format(ka_tool::take_option(argc, argv, "format", "S16_LE"), &a->format,
                      &a->bytes_per_sample)) {
        *status = ka_tool::usage_error(cmd, format_usage().c_str());
        return false;
    }
    return true;
}

// ---- play-raw ---------------------------------------------------------------------

std::atomic<int> g_play_errors{0};

int play_cb(int hdl, int result)
{
    if (result == AUD_PLAYER_ERROR) {
        g_play_errors.fetch_add(1);
        fprintf(stderr, "ka-audio play-raw: writing to the device failed (player %d)\n", hdl);
    }
    return 0;
}

int run_play_raw(int argc, char **argv)
{
    const char *cmd = "play-raw";
    StreamArgs a;
    int status = 0;
    if (!take_stream_args(cmd, argc, argv, &a, &status)) return status;
    unsigned long volume = 0, buffer_ms = 80;
    const std::string vol_text = ka_tool::take_option(argc, argv, "volume", "");
    if (!vol_text.empty() && !parse_uint(vol_text, 0, 100, &volume))
        return ka_tool::usage_error(cmd, "--volume must be 0 to 100");
    const std::string buf_text = ka_tool::take_option(argc, argv, "buffer-ms", "");
    if (!buf_text.empty() && !parse_uint(buf_text, 1, 1000, &buffer_ms))
        return ka_tool::usage_error(cmd, "--buffer-ms must be 1 to 1000");
    if (argc > 2) return ka_tool::usage_error(cmd, "too many arguments");
    const char *path = argc == 2 ? argv[1] : "-";
    if (strncmp(path, "--", 2) == 0) return ka_tool::usage_error(cmd, "unknown option");

    if (strcmp(path, "-") != 0 && ka_tool::refuse_directory(cmd, path)) return 1;
    FILE *in = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
    if (!in) {
        fprintf(stderr, "ka-audio %s: cannot open %s: %s\n", cmd, path, strerror(errno));
        return 1;
    }
    if (!buf_text.empty() &&
        Ka_AudPlayer_SetBufsize_ms(a.device.c_str(), static_cast<unsigned>(buffer_ms)) != 0) {
        fprintf(stderr, "ka-audio %s: no device '%s'\n", cmd, a.device.c_str());
        if (in != stdin) fclose(in);
        return 1;
    }
    const int hdl = Ka_AudPlayer_OpenExt(a.device.c_str(), play_cb, 0, static_cast<int>(a.channels),
                                         static_cast<unsigned>(a.rate), a.format);
    if (hdl < 0) {
        fprintf(stderr, "ka-audio %s: cannot open a player on '%s'\n", cmd, a.device.c_str());
        if (in != stdin) fclose(in);
        return 1;
    }
    if (!vol_text.empty()) Ka_AudSoft_SetVolume(hdl, static_cast<unsigned>(volume));

    int rc = 0;
    unsigned long long total = 0;
    std::vector<unsigned char> buf(8192);
    for (;;) {
        const size_t n = fread(buf.data(), 1, buf.size(), in);
        if (n == 0) break;
        const int put = Ka_AudPlayer_Play(hdl, buf.data(), static_cast<unsigned>(n));
        if (put != static_cast<int>(n)) {
            fprintf(stderr, "ka-audio %s: the player took %d of %zu bytes\n", cmd, put, n);
            rc = 1;
            break;
        }
        total += n;
    }
    if (ferror(in)) {
        fprintf(stderr, "ka-audio %s: reading %s failed\n", cmd, path);
        rc = 1;
    }
    if (rc == 0) {
        // The play thread takes whole periods, and only once the ring is
        // half full, and the close drops what the device still holds:
        // silence behind the data, more than the ring and the device's
        // buffer hold, lets all of it be heard before the stop.
        const unsigned long ring = buffer_ms * a.bytes_per_sample * a.channels * a.rate / 1000;
        std::vector<unsigned char> silence(2 * ring + 1 + audCtl.pctx[hdl].pcm->buffer_size, 0);
        if (Ka_AudPlayer_Play(hdl, silence.data(), static_cast<unsigned>(silence.size())) !=
            static_cast<int>(silence.size()))
            rc = 1;
    }
    Ka_AudPlayer_Stop(hdl);
    Ka_AudPlayer_Close(hdl);
    if (in != stdin) fclose(in);
    if (g_play_errors.load() != 0) rc = 1;
    fprintf(stderr, "ka-audio %s: %llu bytes played on %s\n", cmd, total, a.device.c_str());
    return rc;
}

// ---- record-raw --------------------------------------------------------------------

struct Capture {
    std::mutex m;
    std::condition_variable cv;
    FILE *out = nullptr;
    unsigned long long wanted = 0;
    unsigned long long written = 0;
    bool failed = false;
    bool ended = false;
};
Capture g_cap;

int capture_cb(int result, void *buf, unsigned len)
{
    std::lock_guard<std::mutex> lock(g_cap.m);
    if (result == 0 && g_cap.written < g_cap.wanted && !g_cap.failed) {
        const unsigned long long left = g_cap.wanted - g_cap.written;
        const size_t n = left < len ? static_cast<size_t>(left) : len;
        if (fwrite(buf, 1, n, g_cap.out) != n) g_cap.failed = true;
        g_cap.written += n;
    } else if (result < 0) {
        g_cap.failed = true;
    } else if (result == 5) {
        g_cap.ended = true;
    }
    g_cap.cv.notify_all();
    return 0;
}

int run_record_raw(int argc, char **argv)
{
    const char *cmd = "record-raw";
    StreamArgs a;
    int status = 0;
    if (!take_stream_args(cmd, argc, argv, &a, &status)) return status;
    unsigned long seconds = 0;
    if (!parse_uint(ka_tool::take_option(argc, argv, "seconds", ""), 1, 86400, &seconds))
        return ka_tool::usage_error(cmd, "--seconds must be 1 to 86400");
    if (argc > 2) return ka_tool::usage_error(cmd, "too many arguments");
    const char *path = argc == 2 ? argv[1] : "-";
    if (strncmp(path, "--", 2) == 0) return ka_tool::usage_error(cmd, "unknown option");

    if (strcmp(path, "-") != 0 && ka_tool::refuse_directory(cmd, path)) return 1;
    FILE *out = strcmp(path, "-") == 0 ? stdout : fopen(path, "wb");
    if (!out) {
        fprintf(stderr, "ka-audio %s: cannot create %s: %s\n", cmd, path, strerror(errno));
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(g_cap.m);
        g_cap.out = out;
        // The length is counted in bytes, not on the clock, so that a source
        // faster than real time still gives exactly the asked duration.
        g_cap.wanted = static_cast<unsigned long long>(seconds) * a.rate * a.channels * a.bytes_per_sample;
    }
    const int hdl = Ka_AudRecorder_OpenExt(a.device.c_str(), capture_cb, 0, static_cast<int>(a.channels),
                                           static_cast<unsigned>(a.rate), a.format);
    if (hdl < 0) {
        fprintf(stderr, "ka-audio %s: cannot open a recorder on '%s'\n", cmd, a.device.c_str());
        if (out != stdout) fclose(out);
        return 1;
    }
    int rc = 0;
    if (Ka_AudRecorder_HStartRecord(hdl) != 0) {
        fprintf(stderr, "ka-audio %s: cannot start recording\n", cmd);
        rc = 1;
    } else {
        std::unique_lock<std::mutex> lock(g_cap.m);
        g_cap.cv.wait(lock, [] { return g_cap.written >= g_cap.wanted || g_cap.failed || g_cap.ended; });
        if (g_cap.failed) rc = 1;
    }
    Ka_AudRecorder_HStop(hdl);
    Ka_AudRecorder_HClose(hdl);
    std::lock_guard<std::mutex> lock(g_cap.m);
    if (fflush(out) != 0) rc = 1;
    if (out != stdout && fclose(out) != 0) rc = 1;
    if (g_cap.failed) fprintf(stderr, "ka-audio %s: capture failed\n", cmd);
    fprintf(stderr, "ka-audio %s: %llu bytes recorded from %s\n", cmd, g_cap.written, a.device.c_str());
    return rc;
}

const ka_tool::Registrar reg_play({"play-raw",
                                   "[--device D] [--channels N] [--rate HZ] [--format F] [--volume 0-100] "
                                   "[--buffer-ms MS] [FILE|-]",
                                   "play raw PCM from a file or standard input on a playback device",
                                   run_play_raw});
const ka_tool::Registrar reg_record(
    {"record-raw", "--seconds S [--device D] [--channels N] [--rate HZ] [--format F] [FILE|-]",
     "record raw PCM from a capture device to a file or standard output", run_record_raw});

}  // namespace
