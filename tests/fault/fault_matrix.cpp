// SPDX-License-Identifier: MIT
// The fault matrix: each scenario of the library under each fault the board
// injects, from the first call of its kind and from a later one, and (plain
// build) under a failed allocation or thread creation at every point where
// the library makes one, N = 1, 2, ... until a run no longer reaches N.
//
// Every case runs in a child process of its own; the parent runs up to
// KA_FAULT_JOBS of them at once (default: the processor count). A watchdog
// thread in each child sees the library call every thread of it is in and
// ends the child when a call does not return within 20 seconds (well inside
// the test's time limit, so that its own report comes first), naming case and
// call and what the other threads were in.
// A case survives when nothing hung or crashed; the rounds under the fault
// gave the outcome and texts of the table at the end (a fault that is never
// reached fails the case); once the scenario has closed what it opened, no
// library thread, player, recorder, device descriptor or other descriptor
// is left and nothing the library allocated (counted in the plain build,
// LeakSanitizer in the ASan build); and with the fault cleared the same
// scenario works again.
//
// Beside the cases, a storm: threads draw random operations from their
// tables until KA_STORM_OPS operations have been made in all (default 2500):
//   - two stream workers: open, play, pause, resume, stop, close, volume,
//     ring size and state of the players on handles 0..3;
//   - a file worker: file plays of every format (and of a file of no known
//     format) on handles 2..4, which the stream workers share in part, with
//     stop, close, pause and raw plays from a descriptor;
//   - one recorder worker per capture handle 0, 5, 6: WAV and AMR-NB
//     recordings to files, plain capture with a callback, direct reads;
//   - a blocking-player worker: mova_play_file and mova_play_wav_file on
//     devices the players use as well;
//   - a controls worker: mixer set and get, tone open, start, stop, close.
// Beside them, a releaser pauses, resumes and stops players and stops the
// blocking player (as an application does to release a blocked writer), and
// a fault thread switches board faults on and off at random (failing writes
// and reads too). Every result and report
// must be in its documented set; afterwards the storm's case is judged like
// any other, and a stream and a capture on each handle it used and every
// scenario work again. The operations' sequences come from KA_STORM_SEED
// (in the case's name; random when unset).
//
// KA_FAULT_LONG=1 adds, for each fault a scenario reaches, a case that fails
// just one call, at each of its calls in two rounds (up to 40).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sound/asound.h>

#include <atomic>
#include <climits>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <numeric>
#include <random>

#include "../files/files_test.h"
#include "../player/player_test.h"
#include "fault_interpose.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

// Present where the program is built for coverage (gcov).
extern "C" void __gcov_init(void *) __attribute__((weak));

namespace {

using files_test::Bytes;
using std::to_string;

using ka_test::env_long;
using ka_test::now_ms;
using ka_test::read_text;
using player_test::player_closed;
using player_test::recorder_closed;

// ---- The calls a child's threads are in ------------------------------------

struct Watch {
    std::atomic<int64_t> since;  // 0: between calls
    char op[120];
};
constexpr int kWatches = 12;  // a child's main thread and a storm's threads
Watch g_watches[kWatches];
thread_local Watch *t_watch = g_watches;     // this thread's
constexpr int64_t kCallBoundMs = 20 * 1000;  // for a call to return

template <class F>
auto watched(const char *op, F f)
{
    t_watch->since = 0;
    snprintf(t_watch->op, sizeof t_watch->op, "%s", op);
    t_watch->since = now_ms();
    struct Done {
        ~Done() { t_watch->since = 0; }
    } done;
    return f();
}
#define CALL(...) watched(#__VA_ARGS__, [&] { return __VA_ARGS__; })

// Something the library does on its own (a file play ending, a file
// growing); one that never comes is reported like a call that never returns.
template <class Pred>
void wait_for(const char *what, Pred pred)
{
    watched(what, [&] {
        while (!pred()) std::this_thread::sleep_for(std::chrono::microseconds(300));
    });
}

// ---- Scenarios ------------------------------------------------------------

struct Round {
    bool ok = true;
    std::string why;  // every failure, "Ka_AudPlayer_Open gave -1; ..."
    void check(bool c, const std::string &what)
    {
        if (!c) why += (ok ? "" : "; ") + what, ok = false;
    }
};

// A watched call whose result must be `want` ("Ka_AudTone_Stop gave 0").
template <class F>
int checked(Round &r, int want, const char *call, F f)
{
    const int got = watched(call, f);
    r.check(got == want, std::string(call, strcspn(call, "(")) + " gave " + to_string(got));
    return got;
}
#define CHECKED(r, want, ...) checked(r, want, #__VA_ARGS__, [&] { return __VA_ARGS__; })

std::atomic<long> g_play[3];  // callback results -1, 5, anything else
std::atomic<long> g_cap[4];   // 0, 5, -1, anything else
int play_cb(int, int result)
{
    return ++g_play[result == -1 ? 0 : result == 5 ? 1 : 2], 0;
}
int cap_cb(int result, void *, unsigned)
{
    return ++g_cap[result == 0 ? 0 : result == 5 ? 1 : result == -1 ? 2 : 3], 0;
}

const char *play_dev(int h)
{
    return audCtl.pctx[h].dev_name;
}
const char *cap_dev(int h)
{
    return audCtl.cctx[h].dev_name;
}
// Board device number of player h's device.
int board_device(int h)
{
    if (strncmp(play_dev(h), "hw:0,", 5) == 0) return atoi(play_dev(h) + 5);
    if (strcmp(play_dev(h), "audio_bluetooth") == 0) return KB_DEV_BLUETOOTH;
    return strcmp(play_dev(h), "audio_usb") == 0 ? KB_DEV_USB : KB_DEV_NET;
}
size_t played(int dev)
{
    return kb_pcm_played(dev, 0, nullptr, 0);
}
const std::vector<unsigned char> g_zeros(4096, 0);

// Media, made by the parent before any child starts.
struct Media {
    std::string dir, wav, stereo, amrnb, amrwb, mp3, junk;
    Bytes wav_data;
} g_media;

std::string child_path(const char *name)
{
    return g_media.dir + "/" + to_string(getpid()) + name;
}

int g_threads_base;
ka_test::LogCapture *g_log;

// The library's threads are gone (the record-file thread finishes its file
// after the close has returned).
void settle()
{
    wait_for("the library's threads to end", [] { return player_test::thread_count() <= g_threads_base; });
}

// A stream on player h, or one paused before its first Play is filled and
// then resumed: the device receives exactly the data (the play thread is
// woken at half the ring: zeros push the tail out), and the callback never
// sees -1.
void stream_play(Round &r, int h, bool paused)
{
    const auto data = player_test::pattern(paused ? 600 : 3000, paused ? 4 : 9);
    const int dev = board_device(h);
    const size_t before = played(dev);
    if (CHECKED(r, h, Ka_AudPlayer_Open(play_dev(h), play_cb)) == h) {
        if (paused) CALL(Ka_AudPlayer_Pause(h));
        int n = CHECKED(r, int(data.size()), Ka_AudPlayer_Play(h, data.data(), unsigned(data.size())));
        if (paused) CALL(Ka_AudPlayer_Resume(h));
        for (int i = 0; i < 400 && n >= 0 && played(dev) < before + data.size(); ++i) {
            n = CALL(Ka_AudPlayer_Play(h, g_zeros.data(), audCtl.pctx[h].write_chunk));
            r.check(n >= 0, "Ka_AudPlayer_Play gave " + to_string(n));
        }
        std::vector<unsigned char> got(data.size());
        kb_pcm_played(dev, before, got.data(), got.size());
        r.check(got == data, "the device did not receive the data on player " + to_string(h));
    }
    CALL(Ka_AudPlayer_Stop(h));
    CALL(Ka_AudPlayer_Close(h));
    r.check(g_play[0] == 0, "the callback saw -1");
}

void capture(Round &r, int h)
{
    const int got = CHECKED(r, h, Ka_AudRecorder_Open(cap_dev(h), cap_cb));
    unsigned char buf[320];
    // A direct read first; a capture thread that ends on a failure shows it
    // in the state.
    if (got == h) CHECKED(r, 0, Ka_AudRecorder_Record(h, buf, sizeof buf));
    if (got == h && CHECKED(r, 0, Ka_AudRecorder_HStartRecord(h)) == 0)
        wait_for("capture delivering data", [h] {
            int code = 0;
            Ka_AudRecorder_HGetState(h, &code);
            return g_cap[0] >= 4 || g_cap[2] > 0 || code == -1;
        });
    CALL(Ka_AudRecorder_HStop(h));
    CALL(Ka_AudRecorder_HClose(h));
    r.check(g_cap[2] == 0, "the capture callback saw -1");
    r.check(g_cap[0] >= 4,
            "the capture delivered " + to_string(g_cap[0]) + " buffers on recorder " + to_string(h));
}

// The device received at least `want` bytes since `before`, and the callback
// never saw -1.
void check_play(Round &r, size_t before, size_t want)
{
    r.check(g_play[0] == 0, "the callback saw -1");
    r.check(played(0) >= before + want, "the device received " + to_string(played(0) - before) + " bytes");
}

// A file play that ends by itself (the player is closed when the file has
// played), one the application stops once `want` bytes have played, or raw
// bytes after the WAV header on a player opened for them.
enum FilePlay { kToEnd, kStopped, kRaw };
void file_play(Round &r, const std::string &path, size_t want, FilePlay how = kToEnd)
{
    const int fd = open(path.c_str(), O_RDONLY);
    const size_t before = played(0);
    const bool started = how == kRaw
                             ? CHECKED(r, 0, Ka_AudPlayer_OpenExt("hw:0,0", play_cb, 0, 1, 8000, 2)) == 0 &&
                                   CHECKED(r, 0, Ka_AudPlayer_PlayFrmFile(0, fd, 44)) == 0
                             : CHECKED(r, 0, Ka_AudPlayer_PlayFile("hw:0,0", fd, 0, play_cb)) == 0;
    if (started && how == kStopped)
        wait_for("the file play to start", [&] { return played(0) >= before + want || player_closed(0); });
    if (how == kStopped) CALL(Ka_AudPlayer_Stop(0));
    if (started) wait_for("the file play to end", [] { return player_closed(0); });
    if (how == kRaw) CALL(Ka_AudPlayer_Close(0));
    close(fd);
    check_play(r, before, want);
}

// A file play replaced by a new file play on the same device.
void file_play_replaced(Round &r)
{
    const int first = open(g_media.amrnb.c_str(), O_RDONLY), second = open(g_media.wav.c_str(), O_RDONLY);
    // Each file play's main thread ends with one of these.
    auto ended = [] {
        return g_log->count("File play main thread end") + g_log->count("Start pcm thread failed") +
               g_log->count("Start data thread failed");
    };
    const int ended_before = ended();
    const int h1 = CHECKED(r, 0, Ka_AudPlayer_PlayFile("hw:0,0", first, 0, play_cb));
    const size_t before = played(0);
    const int h2 = CHECKED(r, 0, Ka_AudPlayer_PlayFile("hw:0,0", second, 0, play_cb));
    // The replaced play's decode thread may still read its descriptor after
    // the new play has begun; nothing but its main thread's last message
    // tells when it is done with it.
    wait_for("both file plays to end", [&] { return ended() >= ended_before + (h1 == 0) + (h2 == 0); });
    close(first), close(second);
    check_play(r, before, g_media.wav_data.size());
}

// A WAV or an AMR-NB recording on handle 0, or (`replaced`) a WAV recording
// replaced by an AMR-NB recording on the same device. Each waits until its
// file has grown (or its capture has ended); however the capture ended, a
// started recording's file is finished and consistent.
void record(Round &r, bool amr, bool replaced = false)
{
    const std::string paths[] = {child_path("rec.wav"), child_path("rec.amr")};
    const size_t least[] = {44 + 2560, 6 + 21 * 8};
    bool started[2] = {};
    for (int a = amr && !replaced; a <= int(amr); ++a) {
        const char *path = paths[a].c_str();
        started[a] = (a ? CHECKED(r, 0, Ka_AudRecorder_RecordAMRNB("hw:0,0", path))
                        : CHECKED(r, 0, Ka_AudRecorder_RecordWAV("hw:0,0", path, 1, 8000, 2))) == 0;
        if (started[a])
            wait_for("the recording to grow", [&] {
                struct stat st {};
                int code = 0;
                Ka_AudRecorder_HGetState(0, &code);
                return (stat(path, &st) == 0 && size_t(st.st_size) >= least[a]) || code != 0;
            });
    }
    CALL(Ka_AudRecorder_HStop(0));
    CALL(Ka_AudRecorder_HClose(0));
    settle();
    for (int a = amr && !replaced; a <= int(amr); ++a) {
        const Bytes f = files_test::read_file(paths[a]);
        if (started[a] && a)
            r.check(f.size() >= 6 && memcmp(f.data(), "#!AMR\n", 6) == 0 && (f.size() - 6) % 21 == 0,
                    "the AMR file of " + to_string(f.size()) + " bytes is not a header and whole frames");
        if (started[a] && !a)
            r.check(f.size() >= 44 && files_test::le(f, 4) == f.size() - 8 &&
                        files_test::le(f, 40) == f.size() - 44,
                    "the WAV header's sizes do not fit the file of " + to_string(f.size()) + " bytes");
        r.check(f.size() >= least[a], "the recording holds " + to_string(f.size()) + " bytes");
        unlink(paths[a].c_str());
    }
}

void amr_to_wav(Round &r)
{
    const std::string out = child_path("conv.wav");
    CHECKED(r, 15, DecodeAMRFileToWAVEFile(g_media.amrnb.c_str(), out.c_str()));
    const Bytes f = files_test::read_file(out);
    r.check(f.size() == 44 + 15 * 320 && files_test::le(f, 40) == 15 * 320, "the WAV file is incomplete");
    unlink(out.c_str());
}

void tone(Round &r)
{
    const tone_param p{697, 1209, 100, 500};
    CHECKED(r, 0, Ka_AudTone_Open(nullptr));
    CHECKED(r, 0, Ka_AudTone_Start(0, &p));
    long v[4] = {};
    kb_ctl_get("DTMF_Generate Rx Low High Duration Gain", v, 4);
    r.check(std::vector<long>(v, v + 4) == std::vector<long>{697, 1209, 500, 400},
            "the tone control was not written");
    CHECKED(r, 1, Ka_AudTone_Stop());
    CALL(Ka_AudTone_Close());
}

// Rounds alternate their values, so that every round writes its controls.
unsigned g_round;

void codec_volume(Round &r)
{
    const unsigned want = 40 + 20 * (g_round % 2);
    int left = -1, right = -1;
    CHECKED(r, 0, Ka_AudCodec_SetVolume(0, want, 100));
    CHECKED(r, 0, Ka_AudCodec_GetVolume(0, &left, &right));
    r.check(left == int(want) && right == 100,
            "the volume read back is " + to_string(left) + ", " + to_string(right));
}

void drc_agc(Round &r)
{
    kb_i2c_set_reg(2, 0x1b, 0xb5, 0xABCD);
    const drcagc_param p{0x0F0F, 0x1234, 0x00FF, 0x5678, 0xFFFF, 0x4321};
    CHECKED(r, 0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    r.check(kb_i2c_get_reg(2, 0x1b, 0xb5) == 0xAB78 && kb_i2c_get_reg(2, 0x1b, 0xb6) == 0x4321,
            "the registers were not written");
}

void voice_volume(Round &r)
{
    const int level = 1 + int(g_round % 2);
    const size_t commands = kb_system_count();
    CHECKED(r, 0, Ka_AudVoice_SetVolume(0, 3));
    CHECKED(r, 0, Ka_AudVoice_SetVolume(4, level));
    long v[3] = {};
    kb_ctl_get("Voice Rx Gain", v, 3);
    r.check(kb_system_count() == commands + 1, "no command for the audio service");
    r.check(v[0] == 5 - level && v[2] == 500, "Voice Rx Gain was not written");
}

void blocking_player(Round &r)
{
    const size_t before = played(13);
    CHECKED(r, 0, mova_start_play_file());
    CHECKED(r, 0, mova_play_wav_file("hw:0,13", g_media.wav.c_str()));
    CALL(mova_stop_play_file());
    r.check(played(13) >= before + g_media.wav_data.size(), "the device received too little");
}

// A playback stream, then a capture stream started at once (hostless).
void hostless(Round &r)
{
    struct pcm *out = CALL(mova_pcm_open("hw:0,2", 0, 8000, 1, 2, 0));
    r.check(out, "mova_pcm_open (playback) gave NULL");
    for (int i = 0; out && i < 4; ++i)
        CHECKED(r, 0, mova_write_pcm(out, g_zeros.data(), mova_get_pem_buffer_len(out)));
    if (out) CALL(mova_pcm_close(out));
    struct pcm *in = CALL(mova_pcm_open("hw:0,3", 0x10000000, 8000, 1, 2, 1));
    r.check(in, "mova_pcm_open (hostless capture) gave NULL");
    std::vector<unsigned char> buf(in ? mova_get_pem_buffer_len(in) : 0);
    for (int i = 0; in && i < 2; ++i) CHECKED(r, 0, mova_read_pcm(in, buf.data(), unsigned(buf.size())));
    if (in) CALL(mova_pcm_close(in));
}

// Scenarios that answer a fault alike share a family in the table; the codec
// scenarios read the sysfs codec node, the voice scenario the command files.
enum Family { kPlayer, kFilePlayer, kRecorder, kTone, kCodec, kDrc, kVoice, kBlocking, kHostless, kConvert };

const struct Scenario {
    const char *name;
    void (*round)(Round &);
    Family family;
} kScenarios[] = {
    {"stream play", [](Round &r) { stream_play(r, 0, false); }, kPlayer},
    {"capture", [](Round &r) { capture(r, 0); }, kRecorder},
    {"WAV file play", [](Round &r) { file_play(r, g_media.wav, g_media.wav_data.size()); }, kFilePlayer},
    {"AMR-NB file play", [](Round &r) { file_play(r, g_media.amrnb, 15 * 320); }, kFilePlayer},
    {"AMR-WB file play", [](Round &r) { file_play(r, g_media.amrwb, 10 * 640); }, kFilePlayer},
    {"MP3 file play", [](Round &r) { file_play(r, g_media.mp3, 1); }, kFilePlayer},
    {"PlayFrmFile", [](Round &r) { file_play(r, g_media.wav, g_media.wav_data.size(), kRaw); }, kPlayer},
    {"paused stream play", [](Round &r) { stream_play(r, 0, true); }, kPlayer},
    {"file play stopped", [](Round &r) { file_play(r, g_media.wav, 1000, kStopped); }, kFilePlayer},
    {"file play replaced", file_play_replaced, kFilePlayer},
    {"record WAV", [](Round &r) { record(r, false); }, kRecorder},
    {"record AMR-NB", [](Round &r) { record(r, true); }, kRecorder},
    {"recording replaced", [](Round &r) { record(r, true, true); }, kRecorder},
    {"AMR to WAV", amr_to_wav, kConvert},
    {"tone", tone, kTone},
    {"codec volume", codec_volume, kCodec},
    {"DRC/AGC", drc_agc, kDrc},
    {"voice volume", voice_volume, kVoice},
    {"blocking player", blocking_player, kBlocking},
    {"hostless streams", hostless, kHostless},
};

// A round of a scenario, or of anything else: callbacks report only what
// they document.
void run_round(const std::function<void(Round &)> &round, Round &r)
{
    for (auto &n : g_play) n = 0;
    for (auto &n : g_cap) n = 0;
    round(r);
    r.check(g_play[2] == 0 && g_cap[3] == 0, "a callback gave a result outside its set");
    ++g_round;
}
// Without lame there is no MP3 file to play.
bool available(int s)
{
    return kScenarios[s].name != std::string("MP3 file play") || !g_media.mp3.empty();
}

// ---- Faults and what they must show --------------------------------------

constexpr int kNodeMissing = KB_FAULT_COUNT, kCmdFilesMissing = KB_FAULT_COUNT + 1,
              kKinds = KB_FAULT_COUNT + 2;
const char *const kKindNames[kKinds] = {
    "PCM open",  "PCM ready", "PCM hw params", "PCM sw params",      "PCM prepare",
    "PCM start", "PCM write", "PCM read",      "ctl open",           "ctl read",
    "ctl write", "I2C open",  "I2C transfer",  "sysfs node missing", "command files missing"};

enum kb_fault kind(int k)
{
    return static_cast<enum kb_fault>(k);
}

enum Outcome { kFails, kWorks };
enum When { kFirst, kLater, kAny };
struct Expect {
    Family family;
    int kind;
    When when;
    Outcome outcome;
    std::vector<std::string> texts;  // in the log, on stderr or in a round's failures
};
const Expect *expected(int scenario, int kind, bool later);  // the table, at the end

// ---- A child --------------------------------------------------------------

std::string g_err_path;  // the child's standard error stream is this file
int g_fds_base;

std::string stderr_text()
{
    fflush(stderr);
    return read_text(g_err_path);
}

// The library's error log lines (its standard error is the child's .err
// file, which a failure's report shows).
std::string log_errors()
{
    std::string out;
    for (const auto &l : g_log->lines())
        if (l.prio == 6) out += "  log: " + l.text + (l.text.ends_with("\n") ? "" : "\n");
    return out;
}

void board_defaults()
{
    kb_reset();
    kb_set_speed(0);
    for (int d = 0; d < KB_MAX_DEVICES; ++d) kb_capture_tone(d, 440, 8000);
}

// What is left once the scenario closed what it opened ("" when nothing).
std::string leftovers(long allocs_base)
{
    settle();
    std::string out;
    for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
        if (!player_closed(h) || audCtl.pctx[h].ringbuf) out += " player " + to_string(h) + " left open;";
        if (!recorder_closed(h)) out += " recorder " + to_string(h) + " left open;";
    }
    if (kb_open_fds() != 0) out += " " + to_string(kb_open_fds()) + " device descriptors open;";
    const int fds = files_test::proc_entries("/proc/self/fd");
    if (fds != g_fds_base)
        out += " descriptors " + to_string(g_fds_base) + " before, " + to_string(fds) + " after;";
    if (long a = fault::live_allocations(); a != allocs_base)
        out += " library allocations " + to_string(allocs_base) + " before, " + to_string(a) + " after;";
#if defined(__SANITIZE_ADDRESS__)
    if (__lsan_do_recoverable_leak_check() != 0) out += " LeakSanitizer found leaks (on stderr);";
#endif
    return out;
}

// Nothing left over, and with the fault cleared the scenario works again.
// After a storm (s < 0): a stream and a capture on each handle it used, and
// every scenario.
std::string after(int s, long allocs_base)
{
    board_defaults();
    if (std::string out = leftovers(allocs_base); !out.empty()) return out;
    Round clean;
    if (s >= 0) run_round(kScenarios[s].round, clean);
    for (int h = 0; s < 0 && h < 5; ++h) run_round([h](Round &r) { stream_play(r, h, false); }, clean);
    for (int h : {0, 5, 6})
        if (s < 0) run_round([h](Round &r) { capture(r, h); }, clean);
    for (int i = 0; s < 0 && i < int(std::size(kScenarios)); ++i)
        if (available(i)) run_round(kScenarios[i].round, clean);
    return clean.ok ? leftovers(allocs_base) : " with the fault cleared: " + clean.why;
}

struct Job {
    enum Type { probe, board_fault, sweep, storm } type;
    int scenario;
    int kind = 0;        // board fault kind; a sweep's: 0 allocation, 1 thread creation
    bool later = false;  // board fault from a later call: `skip` calls succeed first
    int skip = 0;
    long nth = 0;       // a sweep's failing call; a storm's seed
    bool once = false;  // (long run) the fault fails one call only
    std::string name() const
    {
        if (type == storm) return "storm (KA_STORM_SEED=" + to_string(nth) + ")";
        const std::string n = kScenarios[scenario].name + std::string(": ");
        if (type == probe) return n + "probe";
        if (type == sweep) return n + (kind ? "thread creation " : "allocation ") + to_string(nth) + " fails";
        if (once) return n + kKindNames[kind] + " fails once, at call " + to_string(skip + 1);
        if (kind >= KB_FAULT_COUNT)
            return n + kKindNames[kind] + (later ? " after the first round" : " from the start");
        return n + kKindNames[kind] + (later ? " from call " + to_string(skip + 1) : " from the first call");
    }
};

// Two rounds under the fault, which stays until it is cleared.
std::string child_board_fault(const Job &j)
{
    const bool board = j.kind < KB_FAULT_COUNT;
    auto take_away = [&] {
        if (j.kind == kNodeMissing) kb_set_codec_node(nullptr);
        for (const char *f : {"/data/alsaucm_test", "/run/alsaucm_test"})
            if (j.kind == kCmdFilesMissing) kb_set_file_present(f, 0);
    };
    if (board) kb_fault(kind(j.kind), -1, j.skip, j.once ? 1 : -1, EIO);
    if (!board && !j.later) take_away();
    Round r;  // both rounds
    run_round(kScenarios[j.scenario].round, r);
    if (!board && j.later) take_away();
    run_round(kScenarios[j.scenario].round, r);
    const std::string err = stderr_text();
    // A fault that fails once may be retried or absorbed: only what every
    // case checks applies to it.
    if (j.once) return "";
    std::string problems;
    if (board && kb_fault_hits(kind(j.kind)) == 0) problems += " the fault was never reached;";
    const Expect *e = expected(j.scenario, j.kind, j.later);
    if (!e) return problems + " the table has no row for this case;";
    if (e->outcome == kFails && r.ok) problems += " the scenario worked in spite of the fault;";
    if (e->outcome == kWorks && !r.ok) problems += " the scenario failed: " + r.why + ";";
    for (const std::string &t : e->texts)
        if (!g_log->count(t) && err.find(t) == std::string::npos && r.why.find(t) == std::string::npos)
            problems += " no \"" + t + "\";";
    return problems;
}

// One round: a probe's without a fault, counting the calls of each fault
// kind; a sweep's with its nth allocation or thread creation failing.
std::string child_round(const Job &j, FILE *out)
{
    const auto k = j.kind ? fault::Kind::thread : fault::Kind::alloc;
    for (int f = 0; j.type == Job::probe && f < KB_FAULT_COUNT; ++f) kb_fault(kind(f), -1, INT_MAX, -1, EIO);
    fault::arm(k, j.nth);
    Round r;
    run_round(kScenarios[j.scenario].round, r);
    settle();
    fputs(j.type == Job::probe ? "calls" : fault::calls(k) >= j.nth ? "reached 1" : "reached 0", out);
    for (int f = 0; j.type == Job::probe && f < KB_FAULT_COUNT; ++f)
        fprintf(out, " %d", kb_fault_calls(kind(f)));
    fprintf(out, "\n");
    fault::arm(k, 0);
    std::string problems;
    if (j.type == Job::probe && !r.ok) problems = " the scenario fails without a fault: " + r.why + ";";
    // A failure the library caused is never silent.
    if (!r.ok && log_errors().empty() && stderr_text().empty())
        problems += " the scenario failed without a message: " + r.why + ";";
    return problems;
}

// ---- The storm ------------------------------------------------------------

using Rng = std::mt19937;

std::mutex g_storm_m;
std::string g_storm_why;  // the results outside their documented sets (the first ones)

void check(bool ok, const std::string &call, long got)
{
    std::lock_guard<std::mutex> lock(g_storm_m);
    if (!ok && g_storm_why.size() < 2000) g_storm_why += " " + call + " gave " + to_string(got) + ";";
}

// An operation of the storm on handle h: its call, watched, named by what
// precedes "(" and the handle; its result r must satisfy `ok`.
template <class F, class Ok>
long storm_call(const char *call, int h, F f, Ok ok)
{
    const std::string name = std::string(call, strcspn(call, "(")) + "(" + to_string(h) + ")";
    const long r = watched(name.c_str(), f);
    check(ok(r), name, r);
    return r;
}
#define OP(call, ok) \
    storm_call(      \
        #call, h, [&] { return long(call); }, [&](long r) { return ok; })
#define DO(call) \
    storm_call(  \
        #call, h, [&] { return call, 0L; }, [](long) { return true; })

// A state's name and code belong together, and the state is one of those
// given (a player has no error state).
template <class Get>
int check_state(Get get, int h, std::initializer_list<std::pair<int, const char *>> states)
{
    int code = 99;
    const char *name = get(h, &code);
    bool ok = false;
    for (auto [c, n] : states) ok |= code == c && !strcmp(name, n);
    check(ok, name + ("(" + to_string(h) + ")"), code);
    return code;
}

int player_state(int h)
{
    return check_state(Ka_AudPlayer_GetState, h,
                       {{AUD_PLAYER_FINISHED, "AUD_PLAYER_FINISHED"},
                        {AUD_PLAYER_START, "AUD_PLAYER_START"},
                        {AUD_PLAYER_PAUSE, "AUD_PLAYER_PAUSE"}});
}

int recorder_state(int h)
{
    return check_state(Ka_AudRecorder_HGetState, h,
                       {{3, "AUD_RECORDER_FINISHED"}, {0, "AUD_RECORDER_START"}, {-1, "AUD_RECORDER_ERROR"}});
}

// The storm's own state. Descriptors handed to file plays stay open while a
// decode thread may still read them; the oldest are closed once many newer
// plays have replaced them.
struct Storm {
    std::vector<std::string> media;  // the stereo and the mono WAV file first, the unknown format last
    std::deque<int> fds;
    std::atomic<bool> workers_done{false};
    std::atomic<long> faults_set{0};
    int open_ro(const std::string &path)
    {
        const int fd = open(path.c_str(), O_RDONLY);
        if (fd >= 0) fds.push_back(fd);
        if (fds.size() > 64) close(fds.front()), fds.pop_front();
        return fd;
    }
    ~Storm()
    {
        for (int fd : fds) close(fd);
    }
};

// A recorder worker's own records: a recorder is opened for plain capture
// only when it is closed, and started only when no capture runs on it (a
// second open or start of the same recorder is outside the recorder's
// contract). File recordings may start at any time: they stop and close
// what ran first.
struct Recordings {
    bool plain = false;  // opened here for plain capture
    int n = 0;
    std::deque<std::string> paths;
    std::string next(int h, const char *ext)
    {
        plain = false;
        paths.push_back(child_path(("rec" + to_string(h) + "_" + to_string(n++) + ext).c_str()));
        if (paths.size() > 16) unlink(paths.front().c_str()), paths.pop_front();
        return paths.back();
    }
    // Opened for plain capture and not running: a start or a direct read may come.
    bool idle(int h) { return plain && recorder_state(h) != 0; }
};

// Each thread of the storm draws its operations from one of these; the
// number drawn first picks the operation, so an operation covering several
// numbers is drawn that much more often.

// What every player takes: pause, resume, stop, close, state.
long player_op(unsigned pick, int h)
{
    if (pick == 0) return OP(Ka_AudPlayer_Pause(h), r == 0);
    if (pick == 1) return OP(Ka_AudPlayer_Resume(h), r == 0);
    if (pick == 2) return OP(Ka_AudPlayer_Stop(h), r == 0);
    if (pick == 3) return DO(Ka_AudPlayer_Close(h));
    return DO(player_state(h));
}

const auto g_data = player_test::pattern(6000, 77);

long stream_op(Storm &, Recordings &, Rng &rng, int h)
{
    static const unsigned rates[] = {8000, 16000, 44100, 48000};
    const unsigned pick = rng() % 13, off = rng() % 3000, len = rng() % 3000, ch = 1 + rng() % 2;
    const unsigned vol = rng() % 4 ? rng() % 120 : 0xFFFFFFFFu;
    if (pick == 0) return OP(Ka_AudPlayer_Open(play_dev(h), play_cb), r == h || r == -1);
    if (pick == 1)
        return OP(Ka_AudPlayer_OpenExt(play_dev(h), play_cb, 0, ch, rates[rng() % 4], 2), r == h || r == -1);
    if (pick < 5) return OP(Ka_AudPlayer_Play(h, g_data.data() + off, len), r >= -1 && r <= long(len));
    if (pick == 5) return OP(Ka_AudSoft_SetVolume(h, vol), r == (vol <= 100 || vol == 0xFFFFFFFFu ? 0 : -1));
    if (pick == 6) return OP(Ka_AudPlayer_SetBufsize_ms(play_dev(h), 30 + rng() % 250), r == 0);
    if (pick == 7) return OP(Ka_AudPlayer_Play(7, g_data.data(), 100), r == -1);  // a handle without a player
    return player_op(pick - 8, h);
}

// File plays of every medium, and raw bytes from a descriptor on a player
// opened for them.
long file_op(Storm &run, Recordings &, Rng &rng, int h)
{
    const unsigned pick = rng() % 9, offset = rng() % 4 ? 0 : rng() % 200;
    const std::string &m = run.media[rng() % run.media.size()];
    if (pick < 3) {
        const int fd = run.open_ro(m);
        return OP(Ka_AudPlayer_PlayFile(play_dev(h), fd, int(offset), play_cb),
                  r == -1 || r == (m != g_media.junk ? h : -1));
    }
    if (pick == 3) {
        const int fd = run.open_ro(run.media[0]);
        DO(Ka_AudPlayer_OpenExt(play_dev(h), play_cb, 0, 2, 44100, 2));
        return OP(Ka_AudPlayer_PlayFrmFile(h, fd, 44), r == 0 || r == -1);
    }
    return player_op(pick - 4, h);
}

// WAV and AMR-NB recordings to files, plain capture with a callback, direct
// reads (only while no capture thread reads the same stream).
long recorder_op(Storm &, Recordings &rec, Rng &rng, int h)
{
    const unsigned pick = rng() % 9, ch = 1 + rng() % 2, rate = rng() % 2 ? 8000 : 16000;
    unsigned char buf[640];
    if (pick == 0)
        return OP(Ka_AudRecorder_RecordWAV(cap_dev(h), rec.next(h, ".wav").c_str(), ch, rate, 2),
                  r == h || r == -1);
    if (pick == 1)
        return OP(Ka_AudRecorder_RecordAMRNB(cap_dev(h), rec.next(h, ".amr").c_str()), r == h || r == -1);
    if (pick == 2)
        return recorder_closed(h) &&
               (rec.plain = OP(Ka_AudRecorder_Open(cap_dev(h), cap_cb), r == h || r == -1) == h);
    if (pick == 3) return rec.idle(h) && OP(Ka_AudRecorder_HStartRecord(h), r == 0 || r == -1);
    if (pick < 6) return DO(Ka_AudRecorder_HStop(h));
    if (pick == 6) {
        DO(Ka_AudRecorder_HClose(h));
        return rec.plain = rec.plain && !recorder_closed(h);
    }
    if (pick == 7) return DO(recorder_state(h));
    return rec.idle(h) && OP(Ka_AudRecorder_Record(h, buf, 2 * (1 + rng() % 320)), r == 0 || r == -1);
}

// The blocking player on the device of player h: mova_play_file plays one of
// the WAV files as raw PCM behind its 44-byte header.
long blocking_op(Storm &run, Recordings &, Rng &rng, int h)
{
    const unsigned pick = rng() % 5, stereo = rng() % 2;
    const std::string &path = run.media[stereo ? 0 : 1];
    if (pick == 0) return OP(mova_start_play_file(), r == 0 || r == -12);
    if (pick == 1) return OP(mova_play_wav_file(play_dev(h), path.c_str()), r <= 0);
    if (pick == 2) return DO(mova_stop_play_file());
    const int fd = open(path.c_str(), O_RDONLY);
    lseek(fd, 44, SEEK_SET);
    OP(mova_play_file(stereo ? 44100 : 8000, 1 + stereo, fd, 0, play_dev(h), rng() % 4000), r <= 0);
    return close(fd);
}

// The mixer (a control of two values) and the tone, with a frequency out of
// range now and then.
long controls_op(Storm &, Recordings &, Rng &rng, int h)
{
    static const char *const kVolume = "PCM Playback Volume";
    const unsigned pick = rng() % 7;
    const std::string v = to_string(rng() % 128) + " " + to_string(rng() % 128);
    const tone_param p{rng() % 4 ? 697u : 99u, 1209, 100, 50};
    snd_ctl_elem_value value{};
    if (pick == 0) return OP(Ka_clt_set_mixer_value(kVolume, 2, v.c_str()), r == 0 || r == 1);
    if (pick == 1) return OP(Ka_clt_get_mixer_value(kVolume, &value), r == 2 || r == -1);
    if (pick == 2) return OP(Ka_AudTone_Open(rng() % 2 ? nullptr : "hw:0,7"), r == 0 || r == -1);
    if (pick < 5) return OP(Ka_AudTone_Start(0, &p), r == (p.low == 697 ? 0 : -1));
    if (pick == 5) return OP(Ka_AudTone_Stop(), r == 0 || r == 1);
    return DO(Ka_AudTone_Close());
}

// The releaser pauses, resumes and stops players and stops the blocking
// player, as an application does to release a blocked writer.
long release_op(Storm &, Recordings &, Rng &rng, int h)
{
    static const unsigned ops[] = {0, 1, 1, 2, 2};  // of player_op
    const unsigned pick = rng() % 6;
    return pick == 5 ? DO(mova_stop_play_file()) : player_op(ops[pick], h);
}

// The fault thread's "handles" are fault kinds: one is cleared, or set to
// fail a few calls (or all) from a random call on, on one device or on all.
long fault_op(Storm &run, Recordings &, Rng &rng, int h)
{
    static const int devices[] = {-1, 0, 13, 14, 16, KB_DEV_BLUETOOTH, KB_DEV_USB, KB_DEV_NET, 7};
    const bool ctl = h == KB_FAULT_CTL_OPEN || h == KB_FAULT_CTL_READ || h == KB_FAULT_CTL_WRITE;
    // The mixer retries a failing control device with sleeps under its
    // lock, so control faults stay short.
    const int count = !ctl && rng() % 10 == 0 ? -1 : 1 + int(rng() % 3), skip = int(rng() % 8);
    const int dev = ctl ? -1 : devices[rng() % std::size(devices)];
    if (rng() % 3 == 0) return DO(kb_fault(kind(h), -1, 0, 0, EIO));
    return ++run.faults_set, DO(kb_fault(kind(h), dev, skip, count, EIO));
}

// A thread of the storm: a worker makes its share of the operations; the
// releaser and the fault thread go on until the workers are done, with a
// random pause after each operation.
struct Worker {
    std::vector<int> handles;
    long (*op)(Storm &, Recordings &, Rng &, int h);
    unsigned pause_us = 0;  // 0: a worker
    Recordings rec;         // a recorder worker's
};
constexpr int kWorkers = 8;

void run_worker(Storm &run, long share, Worker &w, Watch *watch, unsigned seed)
{
    t_watch = watch;
    Rng rng(seed);
    for (long n = 1; w.pause_us ? !run.workers_done : n <= share; ++n) {
        w.op(run, w.rec, rng, w.handles[rng() % w.handles.size()]);
        if (!w.pause_us) continue;
        if (n % 500 == 0) g_log->clear();  // the capture keeps every line; bound it
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % w.pause_us));
    }
}

// The storm, then everything closed by its owner's operations, as an
// application would (file plays still running close their players
// themselves); finished recordings have consistent WAV sizes (a capture that
// failed part way included).
std::string child_storm(const Job &j)
{
    Storm run;
    const long share = env_long("KA_STORM_OPS", 2500) / kWorkers;
    run.media = {g_media.stereo, g_media.wav, g_media.amrnb, g_media.amrwb, g_media.mp3, g_media.junk};
    if (g_media.mp3.empty()) run.media.erase(run.media.begin() + 4);
    std::vector<int> kinds(KB_FAULT_CTL_WRITE + 1);  // all but the I2C faults
    std::iota(kinds.begin(), kinds.end(), 0);
    Worker workers[] = {
        {{0, 1, 2, 3}, stream_op}, {{0, 1, 2, 3}, stream_op},
        {{2, 3, 4}, file_op},  // players the stream workers use in part
        {{0}, recorder_op},        {{5}, recorder_op},
        {{6}, recorder_op},        {{1, 3, 6}, blocking_op},  // devices the players use as well
        {{7}, controls_op},        {{0, 1, 2, 3, 4}, release_op, 2000},
        {kinds, fault_op, 3000},
    };
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(workers); ++i)
        threads.emplace_back(run_worker, std::ref(run), share, std::ref(workers[i]), g_watches + 1 + i,
                             unsigned(j.nth) + 1 + unsigned(i));
    for (int i = 0; i < kWorkers; ++i) threads[i].join();
    run.workers_done = true;
    for (size_t i = kWorkers; i < threads.size(); ++i) threads[i].join();
    for (int k = 0; k < KB_FAULT_COUNT; ++k) kb_fault(kind(k), -1, 0, 0, EIO);
    CALL(Ka_AudTone_Close());
    CALL(mova_stop_play_file());
    for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
        // The rounds after the storm take the default ring (a paused
        // player's Play of more than the ring waits for its resume).
        CALL(Ka_AudPlayer_SetBufsize_ms(play_dev(h), 80));
        CALL(Ka_AudRecorder_HStop(h));
        CALL(Ka_AudRecorder_HClose(h));
        wait_for("the players to close", [h] {
            Ka_AudPlayer_Stop(h);  // resumes a paused player
            Ka_AudPlayer_Close(h);
            return player_closed(h);
        });
    }
    settle();
    Round r;
    int wav_checked = 0;
    for (const Worker &w : workers)
        for (const std::string &p : w.rec.paths) {
            const Bytes f = files_test::read_file(p);
            if (p.ends_with(".wav") && f.size() >= 44)
                ++wav_checked,
                    r.check(files_test::le(f, 40) == f.size() - 44, p + ": the data size is wrong");
            unlink(p.c_str());
        }
    printf(
        "storm: seed %ld, %ld operations, %ld fault settings; play callbacks -1: %ld, 5: %ld; capture "
        "callbacks 0: %ld, 5: %ld, -1: %ld; WAV recordings checked %d\n",
        j.nth, share * kWorkers, run.faults_set.load(), g_play[0].load(), g_play[1].load(), g_cap[0].load(),
        g_cap[1].load(), g_cap[2].load(), wav_checked);
    fflush(stdout);
    r.check(g_play[2] == 0 && g_cap[3] == 0, "a callback gave a result outside its set");
    r.check(g_storm_why.empty(), "results outside their sets:" + g_storm_why);
    return r.ok ? "" : " " + r.why + ";";
}

// Ends the child when a call of one of its threads does not return in time.
// It stops before the child's own end (a thread left running would make a
// ThreadSanitizer build wait a second at every exit).
std::atomic<bool> g_child_done{false};
void watchdog(FILE *out)
{
    for (; !g_child_done; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        for (int i = 0; i < kWatches; ++i)
            if (const int64_t since = g_watches[i].since; since && now_ms() - since > kCallBoundMs) {
                fprintf(out, "FAILED: HANG: %s did not return within %d s", g_watches[i].op,
                        int(kCallBoundMs / 1000));
                for (int k = 0; k < kWatches; ++k)
                    if (k != i && g_watches[k].since) fprintf(out, "; thread %d in %s", k, g_watches[k].op);
                fprintf(out, "\n");
                fflush(out);
                _exit(3);
            }
}

[[noreturn]] void run_child(const Job &j, const std::string &base)
{
    FILE *out = fopen((base + ".out").c_str(), "w");
    kb_own_files();  // children running at once must not share the board's files
    board_defaults();
    const int err_fd = open((g_err_path = base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    fflush(stderr);
    dup2(err_fd, 2);
    g_log = new ka_test::LogCapture;
    std::thread dog(watchdog, out);  // (and a sanitizer's helper thread exists before counting)
    g_threads_base = player_test::thread_count();
    g_fds_base = files_test::proc_entries("/proc/self/fd");
    const long allocs = fault::live_allocations();
    std::string problems = j.type == Job::board_fault ? child_board_fault(j)
                           : j.type == Job::storm     ? child_storm(j)
                                                      : child_round(j, out);
    problems += after(j.scenario, allocs);
    g_child_done = true;
    dog.join();
    fprintf(out, "%s%s\n", problems.empty() ? "survived" : "FAILED:", problems.c_str());
    if (!problems.empty()) fputs(log_errors().c_str(), out);
    fclose(out);
    fflush(stdout);
    // A coverage build exits normally, so that every module of the program
    // writes what the case ran.
    if (__gcov_init) exit(0);
    _exit(0);
}

// ---- The parent -----------------------------------------------------------

// Runs the queued jobs, `jobs` at once, and adds what they find.
struct Runner {
    const int jobs;
    const bool long_run = env_long("KA_FAULT_LONG", 0) != 0;
    std::deque<Job> queue;
    std::map<pid_t, Job> running;
    int cases = 0, survived = 0;
    int points[2] = {}, points_survived[2] = {};
    std::vector<std::string> failures;

    void run()
    {
        while (!queue.empty() || !running.empty()) {
            while (!queue.empty() && int(running.size()) < jobs) start(queue.front()), queue.pop_front();
            int status;
            const pid_t pid = wait(&status);
            if (running.count(pid)) finish(pid, status);
        }
    }

    std::string base(pid_t pid) const { return g_media.dir + "/case" + to_string(pid); }

    void start(const Job &j)
    {
        fflush(stdout), fflush(stderr);
        const pid_t pid = fork();
        if (pid == 0) run_child(j, base(getpid()));
        running[pid] = j;
    }

    void finish(pid_t pid, int status)
    {
        const Job j = running[pid];
        running.erase(pid);
        const std::string b = base(pid), out = read_text(b + ".out");
        std::string verdict;
        if (WIFSIGNALED(status))
            verdict = std::string("CRASH: ") + strsignal(WTERMSIG(status));
        else if (out.find("FAILED:") != std::string::npos)
            verdict = out.substr(out.find("FAILED:") + 7);
        else if (WEXITSTATUS(status) != 0)
            verdict = "exit status " + to_string(WEXITSTATUS(status)) + " (a sanitizer's report)";
        else if (out.find("survived\n") == std::string::npos)
            verdict = "no report";
        if (!verdict.empty()) {
            std::string err = read_text(b + ".err");
            if (err.size() > 8000) err = "..." + err.substr(err.size() - 8000);
            failures.push_back(j.name() + ": " + verdict +
                               (err.empty() ? "" : "\n  standard error:\n" + err));
        }
        unlink((b + ".out").c_str()), unlink((b + ".err").c_str());
        if (j.type == Job::probe && verdict.empty()) probed(j, out);
        if (j.type == Job::board_fault) ++cases, survived += verdict.empty();
        if (j.type == Job::sweep) {
            ++points[j.kind], points_survived[j.kind] += verdict.empty();
            // A sweep ends at the first run that never reached its failing call.
            if (verdict.empty() && out.starts_with("reached 1") && j.nth < 5000) {
                Job next = j;
                ++next.nth;
                queue.push_front(next);
            }
        }
    }

    // A case for each fault kind the scenario reaches, from its first call
    // and from a later one: the middle of a round's calls (one of the first
    // few, as the count of reads and writes varies), or the second round's
    // first call when a round makes only one.
    void probed(const Job &p, const std::string &out)
    {
        int calls[KB_FAULT_COUNT] = {};
        const char *at = out.c_str() + 5;
        for (int k = 0, n = 0; k < KB_FAULT_COUNT && sscanf(at, "%d%n", &calls[k], &n) == 1; ++k) at += n;
        const Scenario &s = kScenarios[p.scenario];
        for (int k = 0; k < kKinds; ++k)
            if (k < KB_FAULT_COUNT  ? calls[k] > 0
                : k == kNodeMissing ? s.family == kCodec || s.family == kDrc
                                    : s.family == kVoice)
                for (bool later : {false, true}) {
                    const int skip = later && k < KB_FAULT_COUNT ? std::clamp(calls[k] / 2, 1, 3) : 0;
                    queue.push_back({Job::board_fault, p.scenario, k, later, skip});
                }
        // The long run: a fault that fails once, at each call of two rounds.
        for (int k = 0; long_run && k < KB_FAULT_COUNT; ++k)
            for (int skip = 0; skip < std::min(2 * calls[k], 40); ++skip)
                queue.push_back({Job::board_fault, p.scenario, k, skip > 0, skip, 0, true});
    }
};

// ---- The table ------------------------------------------------------------

const std::vector<Expect> &table()
{
    static const std::vector<Expect> rows = [] {
        std::vector<Expect> t;
        auto add = [&t](Family f, int k, When w, Outcome o, std::vector<std::string> texts) {
            t.push_back({f, k, w, o, std::move(texts)});
        };
        // The stream setup that players, recorders and the tone share, and
        // the message of the open that used it.
        const std::pair<Family, const char *> openers[] = {{kPlayer, "Init pctx failed, hdl = 0"},
                                                           {kFilePlayer, "open aud player failed, ret = -1"},
                                                           {kRecorder, "Open pcm failed, hdl = 0"},
                                                           {kTone, "open pcm handle failed."}};
        const std::string setup = "__ka_pcm_open:params setting failed",
                          failed = "__ka_pcm_open:PCM open failed";
        for (auto [f, msg] : openers) {
            for (int k : {KB_FAULT_PCM_OPEN, KB_FAULT_PCM_READY}) add(f, k, kAny, kFails, {failed, msg});
            add(f, KB_FAULT_PCM_HW_PARAMS, kAny, kFails, {"cannot set hw params", setup, failed, msg});
            add(f, KB_FAULT_PCM_SW_PARAMS, kAny, kFails, {"cannot set sw params", setup, failed, msg});
            add(f, KB_FAULT_PCM_PREPARE, kAny, kFails, {"__ka_pcm_open:Failed in pcm_prepare", failed, msg});
        }
        // A failed write ends the play thread (callback -1, then 5), a failed
        // read the capture (callback -1); a recording's file is finished
        // all the same (the round checks it).
        for (Family f : {kPlayer, kFilePlayer})
            add(f, KB_FAULT_PCM_WRITE, kAny, kFails, {"pcm_write failed, hdl = 0, ret = -1"});
        add(kRecorder, KB_FAULT_PCM_READ, kAny, kFails, {"Read pcm error, hdl = 0"});
        // Routes: the mixer reports its failure and the stream goes on. The
        // first access opens the mixer object, later ones only its device.
        for (Family f : {kPlayer, kFilePlayer, kRecorder}) {
            add(f, KB_FAULT_CTL_OPEN, kFirst, kWorks,
                {"opening mixer device retry, time left 0", "ERROR opening mixer device: "});
            add(f, KB_FAULT_CTL_OPEN, kLater, kWorks,
                {"Control device open failed: /dev/snd/controlC0", "opening mixer fd retry, time left 0",
                 "ERROR opening mixer fd: "});
            add(f, KB_FAULT_CTL_WRITE, kAny, kWorks, {});  // a failed set is not logged
        }
        add(kTone, KB_FAULT_CTL_OPEN, kFirst, kFails,
            {"ERROR opening mixer device: DTMF_Generate Rx Low High Duration Gain",
             "Ka_AudTone_Stop gave 0"});
        add(kTone, KB_FAULT_CTL_OPEN, kLater, kFails,
            {"ERROR opening mixer fd: DTMF_Generate Rx Low High Duration Gain"});
        add(kTone, KB_FAULT_CTL_WRITE, kAny, kFails, {"Ka_AudTone_Stop gave 0"});
        add(kCodec, KB_FAULT_CTL_OPEN, kFirst, kFails,
            {"Ka_clt_get_mixer_value, ERROR opening mixer device: DAC1 Playback Volume",
             "Ka_AudCodec_GetVolume gave -1"});
        add(kCodec, KB_FAULT_CTL_OPEN, kLater, kFails, {"ERROR opening mixer fd: DAC1 Playback Volume"});
        // A failed element read still gives the value count; zeros are read.
        add(kCodec, KB_FAULT_CTL_READ, kAny, kFails,
            {"ioctl SNDRV_CTL_IOCTL_ELEM_READ failed, fd: ", ", errno: 5", "the volume read back is 0, 0"});
        add(kCodec, KB_FAULT_CTL_WRITE, kAny, kFails, {});
        // The codec type is detected once and kept: a node that goes away
        // later changes nothing.
        add(kCodec, kNodeMissing, kFirst, kFails,
            {"open codec name node failed: /sys/devices/soc:sound/codec_name", "Unknown type of codec",
             "unknown volume type 0"});
        add(kCodec, kNodeMissing, kLater, kWorks, {});
        add(kDrc, KB_FAULT_I2C_OPEN, kAny, kFails,
            {"Ka_AudCodec_Set_ALC5616_DRCAGC, line: ", ", dev: /dev/i2c-2,  open i2c device failed "});
        add(kDrc, KB_FAULT_I2C_TRANSFER, kFirst, kFails,
            {"__i2c_read_data_8_16, i2c read failed: ret=-1 addr=001b reg=b5"});
        add(kDrc, KB_FAULT_I2C_TRANSFER, kLater, kFails,
            {"__i2c_write_data_8_16, i2c write failed: ret=-1 addr=001b reg=b6"});
        add(kDrc, kNodeMissing, kAny, kFails, {"Ka_AudCodec_Set_ALC5616_DRCAGC: open file failed: errno=2"});
        add(kVoice, KB_FAULT_CTL_OPEN, kFirst, kFails, {"ERROR opening mixer device: Voice Rx Gain"});
        add(kVoice, KB_FAULT_CTL_OPEN, kLater, kFails, {"ERROR opening mixer fd: Voice Rx Gain"});
        add(kVoice, KB_FAULT_CTL_WRITE, kAny, kFails, {"Voice Rx Gain was not written"});
        // Without the command files nothing is run, and nothing is said.
        add(kVoice, kCmdFilesMissing, kAny, kFails, {"no command for the audio service"});
        // The blocking player: negative errno values, messages on stderr.
        for (int k : {KB_FAULT_PCM_OPEN, KB_FAULT_PCM_READY})
            add(kBlocking, k, kAny, kFails, {"mova_play_wav_file gave -77"});
        add(kBlocking, KB_FAULT_PCM_HW_PARAMS, kAny, kFails,
            {"cannot set hw params\nmova_play_file:params setting failed\n", "gave -5"});
        add(kBlocking, KB_FAULT_PCM_SW_PARAMS, kAny, kFails,
            {"cannot set sw paramsmova_play_file:params setting failed\n", "gave -5"});
        add(kBlocking, KB_FAULT_PCM_PREPARE, kAny, kFails,
            {"mova_play_file:Failed in pcm_prepare\n", "gave -5"});
        add(kBlocking, KB_FAULT_PCM_WRITE, kAny, kFails, {"mova_play_file: pcm_write failed\n", "gave -5"});
        // Hostless streams: the playback stream is opened first, the capture
        // stream second.
        const std::string out = "mova_pcm_open, device: hw:0,2, ", in = "mova_pcm_open, device: hw:0,3, ";
        for (int k : {KB_FAULT_PCM_OPEN, KB_FAULT_PCM_READY}) {
            add(kHostless, k, kFirst, kFails, {out + "pcm is not ready\n", "(playback) gave NULL"});
            add(kHostless, k, kLater, kFails, {in + "pcm is not ready\n", "(hostless capture) gave NULL"});
        }
        add(kHostless, KB_FAULT_PCM_HW_PARAMS, kFirst, kFails,
            {"cannot set hw params\n" + out + "pcm out params setting failed\n"});
        add(kHostless, KB_FAULT_PCM_HW_PARAMS, kLater, kFails,
            {"mova_record_set_params:cannot set hw params" + in + "pcm in  params setting failed\n"});
        add(kHostless, KB_FAULT_PCM_SW_PARAMS, kFirst, kFails,
            {"cannot set sw params" + out + "pcm out params setting failed\n"});
        add(kHostless, KB_FAULT_PCM_SW_PARAMS, kLater, kFails,
            {"mova_record_set_params:cannot set sw params" + in + "pcm in  params setting failed\n"});
        add(kHostless, KB_FAULT_PCM_PREPARE, kFirst, kFails, {out + "Failed in pcm_prepare\n"});
        add(kHostless, KB_FAULT_PCM_PREPARE, kLater, kFails, {in + "Failed in pcm_prepare\n"});
        add(kHostless, KB_FAULT_PCM_START, kAny, kFails,
            {in + "Hostless IOCTL_START Error no 5 \n", "(hostless capture) gave NULL"});
        add(kHostless, KB_FAULT_PCM_WRITE, kAny, kFails, {"mova_write_pcm gave -1"});
        add(kHostless, KB_FAULT_PCM_READ, kAny, kFails, {"mova_read_pcm gave -1"});
        return t;
    }();
    return rows;
}

const Expect *expected(int scenario, int kind, bool later)
{
    for (const Expect &e : table())
        if (e.family == kScenarios[scenario].family && e.kind == kind &&
            (e.when == kAny || e.when == (later ? kLater : kFirst)))
            return &e;
    return nullptr;
}

void make_media()
{
    using namespace files_test;
    g_media.dir = ka_test::temp_dir();
    g_media.wav_data = pcm16(1, 8000, 2000);
    write_file(g_media.wav = gen_path("f_mono.wav"), wav_file(1, 8000, 16, g_media.wav_data));
    write_file(g_media.stereo = gen_path("f_stereo.wav"), wav_file(2, 44100, 16, pcm16(2, 44100, 4410)));
    write_file(g_media.junk = gen_path("f.bin"), Bytes(3000, 0x5A));
    write_file(g_media.amrnb = gen_path("f.amr"), amrnb_file(15));
    write_file(g_media.amrwb = gen_path("f.awb"), amrwb_file(15));
    if (have_tool("lame") && !mp3_file("f.mp3", 2, 16000, 0.25, "-b 64").empty())
        g_media.mp3 = gen_path("f.mp3");
}

}  // namespace

int main()
{
    make_media();
    const int64_t t0 = now_ms();
    Runner runner{int(std::max(1L, env_long("KA_FAULT_JOBS", sysconf(_SC_NPROCESSORS_ONLN))))};
    const bool sweeps = fault::interpose_available();
    int scenarios = 0;
    if (g_media.mp3.empty()) printf("fault matrix: lame is missing, the MP3 file play is left out\n");
    for (int s = 0; s < int(std::size(kScenarios)); ++s) {
        if (!available(s)) continue;
        ++scenarios;
        runner.queue.push_back({Job::probe, s});
        for (int kind : {0, 1})
            if (sweeps) runner.queue.push_back({Job::sweep, s, kind, false, 0, 1});
    }
    runner.queue.push_back(
        {Job::storm, -1, 0, false, 0, env_long("KA_STORM_SEED", long(std::random_device{}() & 0x7FFFFFFF))});
    runner.run();
    std::filesystem::remove_all(g_media.dir);  // the media and what the children left
    for (const auto &f : runner.failures) printf("FAILED %s\n", f.c_str());
    printf("fault matrix: %d cases, %d survived (%d scenarios, %.1f s)\n", runner.cases, runner.survived,
           scenarios, double(now_ms() - t0) / 1000);
    const char *what[] = {"allocation", "thread"};
    for (int k : {0, 1}) {
        const int lost = runner.points[k] - runner.points_survived[k];
        if (sweeps)
            printf("%s sweep: %d failure points over %d scenarios, %s\n", what[k], runner.points[k],
                   scenarios, lost ? (to_string(lost) + " did not survive").c_str() : "all survived");
        else
            printf("%s sweep: not run (the sanitizer owns malloc and pthread_create)\n", what[k]);
    }
    fflush(stdout);
    return runner.failures.empty() ? 0 : 1;
}
