// SPDX-License-Identifier: MIT
// The fault matrix: each scenario of the library under each fault the board
// injects, from the first call of its kind and from a later one, and (plain
// build) under a failed allocation or thread creation at every point where
// the library makes one, N = 1, 2, ... until a run no longer reaches N.
//
// Every case runs in a child process of its own; the parent runs up to
// KA_FAULT_JOBS of them at once (default: the processor count), sees each
// library call a child is in and kills a child whose call does not return
// within KA_FAULT_CALL_BOUND_S seconds (default 60), naming case and call.
// A case survives when nothing hung or crashed; the rounds under the fault
// gave the outcome and texts of the table at the end (a fault that is never
// reached fails the case); once the scenario has closed what it opened, no
// library thread, player, recorder, device descriptor or other descriptor
// is left and nothing the library allocated (counted in the plain build,
// LeakSanitizer in the ASan build); and with the fault cleared the same
// scenario works again.
//
// KA_FAULT_LONG=1 adds, for each fault a scenario reaches, a case that fails
// just one call, at each of its calls in two rounds (up to 40); transfers
// fail so with EIO and with EPIPE (which the platform takes for an xrun).
// KA_FAULT_FILTER=text runs the cases whose name holds it; KA_FAULT_VERBOSE=1
// prints each case's outcome and error lines; KA_FAULT_SWEEPS=0 skips the
// sweeps.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <deque>
#include <map>

#include "../files/files_test.h"
#include "../player/player_test.h"
#include "fault_interpose.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define KA_FAULT_LSAN 1
#endif

// Present where the program is built for coverage (gcov).
extern "C" void __gcov_init(void *) __attribute__((weak));

namespace {

using files_test::Bytes;
using std::to_string;

using ka_test::env_long;
using ka_test::now_ms;

// ---- The call a child is in, in memory shared with the parent -------------

struct Watch {
    std::atomic<int64_t> since;  // 0: between calls
    char op[120];
};
Watch *g_me;

template <class F>
auto watched(const char *op, F f)
{
    g_me->since = 0;
    snprintf(g_me->op, sizeof g_me->op, "%s", op);
    g_me->since = now_ms();
    struct Done {
        ~Done() { g_me->since = 0; }
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
    void expect(bool c, const char *call, long got)
    {
        check(c, std::string(call) + " gave " + to_string(got));
    }
};

// A watched call whose result must be `want` ("Ka_AudTone_Stop gave 0").
template <class F>
int checked(Round &r, int want, const char *call, F f)
{
    const int got = watched(call, f);
    r.expect(got == want, std::string(call, strcspn(call, "(")).c_str(), got);
    return got;
}
#define CHECKED(r, want, ...) checked(r, want, #__VA_ARGS__, [&] { return __VA_ARGS__; })

std::atomic<int> g_play_err, g_cap_data, g_cap_err;
int play_cb(int, int result)
{
    return g_play_err += result == -1, 0;
}
int cap_cb(int result, void *, unsigned)
{
    return g_cap_data += result == 0, g_cap_err += result == -1, 0;
}

int pstate(int h)
{
    return __atomic_load_n(&audCtl.pctx[h].state, __ATOMIC_ACQUIRE);
}
int cstate(int h)
{
    return __atomic_load_n(&audCtl.cctx[h].state, __ATOMIC_ACQUIRE);
}
size_t played(int dev)
{
    return kb_pcm_played(dev, 0, nullptr, 0);
}
const unsigned char *zeros()
{
    static const std::vector<unsigned char> z(4096, 0);
    return z.data();
}

// Media, made by the parent before any child starts.
struct Media {
    std::string dir, wav, amrnb, amrwb, mp3;
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

// A stream on player 0, or one paused before its first Play is filled and
// then resumed: the device receives exactly the data (the play thread is
// woken at half the ring: zeros push the tail out), and the callback never
// sees -1.
void stream_play(Round &r, bool paused)
{
    const auto data = player_test::pattern(paused ? 600 : 3000, paused ? 4 : 9);
    const size_t before = played(0);
    if (CHECKED(r, 0, Ka_AudPlayer_Open("hw:0,0", play_cb)) == 0) {
        if (paused) CALL(Ka_AudPlayer_Pause(0));
        int n = CHECKED(r, int(data.size()), Ka_AudPlayer_Play(0, data.data(), unsigned(data.size())));
        if (paused) CALL(Ka_AudPlayer_Resume(0));
        for (int i = 0; i < 400 && n >= 0 && played(0) < before + data.size(); ++i) {
            n = CALL(Ka_AudPlayer_Play(0, zeros(), audCtl.pctx[0].write_chunk));
            r.expect(n >= 0, "Ka_AudPlayer_Play", n);
        }
        std::vector<unsigned char> got(data.size());
        kb_pcm_played(0, before, got.data(), got.size());
        r.check(got == data, "the device did not receive the data");
    }
    CALL(Ka_AudPlayer_Stop(0));
    CALL(Ka_AudPlayer_Close(0));
    r.check(g_play_err == 0, "the callback saw -1");
}

void capture(Round &r)
{
    const int h = CHECKED(r, 0, Ka_AudRecorder_Open("hw:0,0", cap_cb));
    // A capture thread that ends on a failure shows it in the state.
    if (h == 0 && CHECKED(r, 0, Ka_AudRecorder_HStartRecord(0)) == 0)
        wait_for("capture delivering data", [] {
            int code = 0;
            Ka_AudRecorder_HGetState(0, &code);
            return g_cap_data >= 4 || g_cap_err > 0 || code == -1;
        });
    CALL(Ka_AudRecorder_HStop(0));
    CALL(Ka_AudRecorder_HClose(0));
    r.check(g_cap_err == 0, "the capture callback saw -1");
    r.check(g_cap_data >= 4, "the capture delivered " + to_string(g_cap_data) + " buffers");
}

// The device received at least `want` bytes since `before`, and the callback
// never saw -1.
void check_play(Round &r, size_t before, size_t want)
{
    r.check(g_play_err == 0, "the callback saw -1");
    r.check(played(0) >= before + want, "the device received " + to_string(played(0) - before) + " bytes");
}

// A file play ends by itself: the player is closed when the file has played.
// `frm`: raw bytes after the WAV header, on a player opened for them.
void file_play(Round &r, const std::string &path, size_t want, bool frm = false)
{
    const int fd = open(path.c_str(), O_RDONLY);
    const size_t before = played(0);
    const bool started = frm ? CHECKED(r, 0, Ka_AudPlayer_OpenExt("hw:0,0", play_cb, 0, 1, 8000, 2)) == 0 &&
                                   CHECKED(r, 0, Ka_AudPlayer_PlayFrmFile(0, fd, 44)) == 0
                             : CHECKED(r, 0, Ka_AudPlayer_PlayFile("hw:0,0", fd, 0, play_cb)) == 0;
    if (started) wait_for("the file play to end", [] { return pstate(0) == CTX_CLOSED; });
    if (frm) CALL(Ka_AudPlayer_Close(0));
    close(fd);
    check_play(r, before, want);
}

// A file play stopped by the application part way.
void file_play_stopped(Round &r)
{
    const int fd = open(g_media.wav.c_str(), O_RDONLY);
    const size_t before = played(0);
    const int h = CHECKED(r, 0, Ka_AudPlayer_PlayFile("hw:0,0", fd, 0, play_cb));
    if (h == 0) wait_for("the file play to start", [&] { return played(0) >= before + 1000 || !pstate(0); });
    CALL(Ka_AudPlayer_Stop(0));
    if (h == 0) wait_for("the file play to end", [] { return pstate(0) == CTX_CLOSED; });
    close(fd);
    check_play(r, before, 1000);
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

size_t record_size(bool amr)
{
    return amr ? 6 + 21 * 8 : 44 + 2560;
}

// Starts a file recording on handle 0 and waits until it has grown (or
// its capture has ended).
int record_start(Round &r, const std::string &path, bool amr)
{
    const int h = amr ? CHECKED(r, 0, Ka_AudRecorder_RecordAMRNB("hw:0,0", path.c_str()))
                      : CHECKED(r, 0, Ka_AudRecorder_RecordWAV("hw:0,0", path.c_str(), 1, 8000, 2));
    if (h == 0)
        wait_for("the recording to grow", [&] {
            struct stat st {};
            int code = 0;
            Ka_AudRecorder_HGetState(0, &code);
            return (stat(path.c_str(), &st) == 0 && size_t(st.st_size) >= record_size(amr)) || code != 0;
        });
    return h;
}

// However the capture ended, a started recording's file is finished and
// consistent.
void record_check(Round &r, const std::string &path, bool amr, bool started)
{
    const Bytes f = files_test::read_file(path);
    if (started && amr)
        r.check(f.size() >= 6 && memcmp(f.data(), "#!AMR\n", 6) == 0 && (f.size() - 6) % 21 == 0,
                "the AMR file of " + to_string(f.size()) + " bytes is not a header and whole frames");
    if (started && !amr)
        r.check(
            f.size() >= 44 && files_test::le(f, 4) == f.size() - 8 && files_test::le(f, 40) == f.size() - 44,
            "the WAV header's sizes do not fit the file of " + to_string(f.size()) + " bytes");
    r.check(f.size() >= record_size(amr), "the recording holds " + to_string(f.size()) + " bytes");
    unlink(path.c_str());
}

// A WAV or AMR-NB recording, and (`replaced`) a WAV recording replaced by an
// AMR-NB recording on the same device.
void record(Round &r, bool amr, bool replaced = false)
{
    const std::string wav = child_path("rec.wav"), amrnb = child_path("rec.amr");
    const int first = replaced || !amr ? record_start(r, wav, false) : -1;
    const int second = replaced || amr ? record_start(r, amrnb, true) : -1;
    CALL(Ka_AudRecorder_HStop(0));
    CALL(Ka_AudRecorder_HClose(0));
    settle();
    if (replaced || !amr) record_check(r, wav, false, first == 0);
    if (replaced || amr) record_check(r, amrnb, true, second == 0);
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
    r.check(v[0] == 697 && v[3] == 400, "the tone control was not written");
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
    for (int i = 0; out && i < 4; ++i) {
        const int w = CALL(mova_write_pcm(out, zeros(), mova_get_pem_buffer_len(out)));
        r.expect(w >= 0, "mova_write_pcm", w);
    }
    if (out) CALL(mova_pcm_close(out));
    struct pcm *in = CALL(mova_pcm_open("hw:0,3", 0x10000000, 8000, 1, 2, 1));
    r.check(in, "mova_pcm_open (hostless capture) gave NULL");
    std::vector<unsigned char> buf(in ? mova_get_pem_buffer_len(in) : 0);
    for (int i = 0; in && i < 2; ++i) {
        const int n = CALL(mova_read_pcm(in, buf.data(), unsigned(buf.size())));
        r.expect(n >= 0, "mova_read_pcm", n);
    }
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
    {"stream play", [](Round &r) { stream_play(r, false); }, kPlayer},
    {"capture", capture, kRecorder},
    {"WAV file play", [](Round &r) { file_play(r, g_media.wav, g_media.wav_data.size()); }, kFilePlayer},
    {"AMR-NB file play", [](Round &r) { file_play(r, g_media.amrnb, 15 * 320); }, kFilePlayer},
    {"AMR-WB file play", [](Round &r) { file_play(r, g_media.amrwb, 10 * 640); }, kFilePlayer},
    {"MP3 file play", [](Round &r) { file_play(r, g_media.mp3, 1); }, kFilePlayer},
    {"PlayFrmFile", [](Round &r) { file_play(r, g_media.wav, g_media.wav_data.size(), true); }, kPlayer},
    {"paused stream play", [](Round &r) { stream_play(r, true); }, kPlayer},
    {"file play stopped", file_play_stopped, kFilePlayer},
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
constexpr int kScenarioCount = int(std::size(kScenarios));

void run_round(int s, Round &r)
{
    g_play_err = g_cap_data = g_cap_err = 0;
    kScenarios[s].round(r);
    ++g_round;
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

int g_err_fd = -1;  // the child's standard error stream is this file
int g_fds_base;

std::string stderr_text()
{
    fflush(stderr);
    std::string out(size_t(lseek(g_err_fd, 0, SEEK_END)), '\0');
    out.resize(size_t(std::max(pread(g_err_fd, out.data(), out.size(), 0), ssize_t(0))));
    return out;
}

std::string error_lines()
{
    std::string out;
    for (const auto &l : g_log->lines())
        if (l.prio == 6) out += "  log: " + l.text + (l.text.ends_with("\n") ? "" : "\n");
    const std::string err = stderr_text();
    for (size_t a = 0, b; a < err.size(); a = b + 1)
        out += "  stderr: " + err.substr(a, (b = std::min(err.find('\n', a), err.size())) - a) + "\n";
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
        if (pstate(h) != CTX_CLOSED)
            out += " player " + to_string(h) + " in state " + to_string(pstate(h)) + ";";
        if (cstate(h) != CTX_CLOSED)
            out += " recorder " + to_string(h) + " in state " + to_string(cstate(h)) + ";";
    }
    if (kb_open_fds() != 0) out += " " + to_string(kb_open_fds()) + " device descriptors open;";
    const int fds = files_test::proc_entries("/proc/self/fd");
    if (fds != g_fds_base)
        out += " descriptors " + to_string(g_fds_base) + " before, " + to_string(fds) + " after;";
    if (long a = fault::live_allocations(); a != allocs_base)
        out += " library allocations " + to_string(allocs_base) + " before, " + to_string(a) + " after;";
#ifdef KA_FAULT_LSAN
    if (__lsan_do_recoverable_leak_check() != 0) out += " LeakSanitizer found leaks (on stderr);";
#endif
    return out;
}

// Nothing left over, and with the fault cleared the scenario works again.
std::string after(int s, long allocs_base)
{
    board_defaults();
    std::string out = leftovers(allocs_base);
    Round clean;
    if (out.empty()) run_round(s, clean);
    if (!clean.ok) return " with the fault cleared: " + clean.why;
    return out.empty() ? leftovers(allocs_base) : out;
}

struct Job {
    enum Type { probe, board_fault, sweep } type;
    int scenario;
    int kind = 0;        // board fault kind; a sweep's: 0 allocation, 1 thread creation
    bool later = false;  // board fault from a later call: `skip` calls succeed first
    int skip = 0;
    long nth = 0;       // a sweep's failing call
    bool once = false;  // (long run) the fault fails one call only
    int err = EIO;      // (long run) EPIPE as well: a transfer the platform takes for an xrun
    std::string name() const
    {
        const std::string n = kScenarios[scenario].name + std::string(": ");
        if (type == probe) return n + "probe";
        if (type == sweep) return n + (kind ? "thread creation " : "allocation ") + to_string(nth) + " fails";
        const std::string e = err == EIO ? "" : " with EPIPE";
        if (once) return n + kKindNames[kind] + e + " fails once, at call " + to_string(skip + 1);
        if (kind >= KB_FAULT_COUNT)
            return n + kKindNames[kind] + (later ? " after the first round" : " from the start");
        return n + kKindNames[kind] + (later ? " from call " + to_string(skip + 1) : " from the first call");
    }
};

// One clean round that counts the calls of each fault kind.
std::string child_probe(const Job &j, FILE *out)
{
    for (int k = 0; k < KB_FAULT_COUNT; ++k) kb_fault(kind(k), -1, INT_MAX, -1, EIO);
    Round r;
    run_round(j.scenario, r);
    settle();
    fprintf(out, "calls");
    for (int k = 0; k < KB_FAULT_COUNT; ++k) fprintf(out, " %d", kb_fault_calls(kind(k)));
    fprintf(out, "\n");
    return r.ok ? leftovers(0) : "the scenario fails without a fault: " + r.why;
}

// Two rounds under the fault, which stays until it is cleared.
std::string child_board_fault(const Job &j)
{
    const long allocs = fault::live_allocations();
    const bool board = j.kind < KB_FAULT_COUNT;
    auto take_away = [&] {
        if (j.kind == kNodeMissing) kb_set_codec_node(nullptr);
        for (const char *f : {"/data/alsaucm_test", "/run/alsaucm_test"})
            if (j.kind == kCmdFilesMissing) kb_set_file_present(f, 0);
    };
    if (board) kb_fault(kind(j.kind), -1, j.skip, j.once ? 1 : -1, j.err);
    if (!board && !j.later) take_away();
    Round r1, r2;
    run_round(j.scenario, r1);
    if (!board && j.later) take_away();
    run_round(j.scenario, r2);
    const bool worked = r1.ok && r2.ok;
    const std::string why = r1.why + (r1.ok || r2.ok ? "" : "; ") + r2.why, err = stderr_text();
    std::string problems;
    if (board && !j.once && kb_fault_hits(kind(j.kind)) == 0) problems += " the fault was never reached;";
    // A fault that fails once may be retried or absorbed: only what every
    // case checks applies to it.
    if (j.once) {
    } else if (const Expect *e = expected(j.scenario, j.kind, j.later)) {
        if (e->outcome == kFails && worked) problems += " the scenario worked in spite of the fault;";
        if (e->outcome == kWorks && !worked) problems += " the scenario failed: " + why + ";";
        for (const std::string &t : e->texts)
            if (!g_log->count(t) && err.find(t) == std::string::npos && why.find(t) == std::string::npos)
                problems += " no \"" + t + "\";";
    } else {
        problems += " the table has no row for this case;";
    }
    if (getenv("KA_FAULT_VERBOSE"))
        printf("%s: %s%s\n%s", j.name().c_str(), worked ? "worked" : "failed: ", why.c_str(),
               error_lines().c_str());
    return problems + after(j.scenario, allocs);
}

std::string child_sweep(const Job &j, FILE *out)
{
    const auto k = j.kind ? fault::Kind::thread : fault::Kind::alloc;
    const long allocs = fault::live_allocations();
    fault::arm(k, j.nth);
    Round r;
    run_round(j.scenario, r);
    settle();
    fprintf(out, "reached %d\n", fault::calls(k) >= j.nth);
    fault::arm(k, 0);
    std::string problems;
    // A failure the library caused is never silent.
    if (!r.ok && error_lines().empty()) problems += " the scenario failed without a message: " + r.why + ";";
    if (getenv("KA_FAULT_VERBOSE"))
        printf("%s: %s%s\n%s", j.name().c_str(), r.ok ? "worked" : "failed: ", r.why.c_str(),
               error_lines().c_str());
    return problems + after(j.scenario, allocs);
}

[[noreturn]] void run_child(const Job &j, const std::string &base)
{
    FILE *out = fopen((base + ".out").c_str(), "w");
    kb_own_files();  // children running at once must not share the board's files
    board_defaults();
    g_err_fd = open((base + ".err").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    fflush(stderr);
    dup2(g_err_fd, 2);
    g_log = new ka_test::LogCapture;
    std::thread([] {}).join();  // a sanitizer's helper thread exists before counting
    g_threads_base = player_test::thread_count();
    g_fds_base = files_test::proc_entries("/proc/self/fd");
    const std::string problems = j.type == Job::probe         ? child_probe(j, out)
                                 : j.type == Job::board_fault ? child_board_fault(j)
                                                              : child_sweep(j, out);
    fprintf(out, "%s%s\n", problems.empty() ? "survived" : "FAILED:", problems.c_str());
    if (!problems.empty()) fputs(error_lines().c_str(), out);
    fclose(out);
    fflush(stdout);
    // A coverage build exits normally, so that every module of the program
    // writes what the case ran.
    if (__gcov_init) exit(0);
    _exit(0);
}

// ---- The parent -----------------------------------------------------------

std::string read_text(const std::string &path)
{
    const Bytes b = files_test::read_file(path);
    return std::string(b.begin(), b.end());
}

bool selected(const Job &j)
{
    const char *f = getenv("KA_FAULT_FILTER");
    return !f || !*f || j.type == Job::probe || j.name().find(f) != std::string::npos;
}

class Runner {
public:
    explicit Runner(int jobs)
        : watches_(static_cast<Watch *>(mmap(nullptr, sizeof(Watch) * size_t(jobs), PROT_READ | PROT_WRITE,
                                             MAP_SHARED | MAP_ANONYMOUS, -1, 0)))
    {
        for (int i = 0; i < jobs; ++i) free_.push_back(i);
    }
    void add(const Job &j) { queue_.push_back(j); }
    void run()
    {
        while (!queue_.empty() || !running_.empty()) {
            while (!queue_.empty() && !free_.empty()) start(queue_.front()), queue_.pop_front();
            int status;
            for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) finish(pid, status);
            for (auto &[pid, r] : running_)
                if (int64_t since = watches_[r.second].since;
                    since && now_ms() - since > bound_ms_ && !hung_.count(pid))
                    hung_[pid] = watches_[r.second].op, kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    int cases = 0, survived = 0;
    int points[2] = {}, points_survived[2] = {}, swept[2] = {};
    std::vector<std::string> failures;

private:
    std::string base(pid_t pid) const { return g_media.dir + "/case" + to_string(pid); }

    void start(const Job &j)
    {
        const int slot = free_.back();
        free_.pop_back();
        watches_[slot].since = 0;
        fflush(stdout), fflush(stderr);
        const pid_t pid = fork();
        if (pid == 0) g_me = &watches_[slot], run_child(j, base(getpid()));
        running_[pid] = {j, slot};
    }

    void finish(pid_t pid, int status)
    {
        auto it = running_.find(pid);
        if (it == running_.end()) return;
        const Job j = it->second.first;
        free_.push_back(it->second.second);
        running_.erase(it);
        const std::string b = base(pid), out = read_text(b + ".out");
        std::string verdict;
        if (hung_.count(pid))
            verdict = "HANG: " + hung_[pid] + " did not return within " + to_string(bound_ms_ / 1000) + " s";
        else if (WIFSIGNALED(status))
            verdict = std::string("CRASH: ") + strsignal(WTERMSIG(status));
        else if (WEXITSTATUS(status) != 0)
            verdict = "exit status " + to_string(WEXITSTATUS(status)) + " (a sanitizer's report)";
        else if (out.find("survived\n") == std::string::npos)
            verdict =
                out.find("FAILED:") == std::string::npos ? "no report" : out.substr(out.find("FAILED:") + 7);
        if (!verdict.empty()) {
            std::string err = read_text(b + ".err");
            if (err.size() > 8000) err = "..." + err.substr(err.size() - 8000);
            failures.push_back(j.name() + ": " + verdict +
                               (err.empty() ? "" : "\n  standard error:\n" + err));
        }
        if (getenv("KA_FAULT_VERBOSE")) fputs(read_text(b + ".err").c_str(), stdout);
        unlink((b + ".out").c_str()), unlink((b + ".err").c_str());
        if (j.type == Job::probe && verdict.empty()) probed(j, out);
        if (j.type == Job::board_fault) ++cases, survived += verdict.empty();
        if (j.type == Job::sweep) {
            ++points[j.kind], points_survived[j.kind] += verdict.empty();
            // A sweep ends at the first run that never reached its failing call.
            if (verdict.empty() && out.starts_with("reached 1") && j.nth < 5000) {
                Job next = j;
                ++next.nth;
                queue_.push_front(next);
            } else {
                ++swept[j.kind];
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
                    const Job j{Job::board_fault, p.scenario, k, later, skip};
                    if (selected(j)) queue_.push_back(j);
                }
        // The long run: a fault that fails once, at each call of two rounds.
        for (int k = 0; long_run_ && k < KB_FAULT_COUNT; ++k)
            for (int skip = 0; skip < std::min(2 * calls[k], 40); ++skip)
                for (int err : {EIO, EPIPE}) {
                    Job j{Job::board_fault, p.scenario, k, skip > 0, skip};
                    j.once = true;
                    j.err = err;
                    if ((err == EIO || k == KB_FAULT_PCM_WRITE || k == KB_FAULT_PCM_READ) && selected(j))
                        queue_.push_back(j);
                }
    }

    Watch *watches_;
    const int64_t bound_ms_ = env_long("KA_FAULT_CALL_BOUND_S", 60) * 1000;
    const bool long_run_ = env_long("KA_FAULT_LONG", 0) != 0;
    std::deque<Job> queue_;
    std::map<pid_t, std::pair<Job, int>> running_;  // job and watch slot
    std::map<pid_t, std::string> hung_;
    std::vector<int> free_;
};

// ---- The table ------------------------------------------------------------

const std::vector<Expect> &table()
{
    enum {
        kOpen = KB_FAULT_PCM_OPEN,
        kReady = KB_FAULT_PCM_READY,
        kHw = KB_FAULT_PCM_HW_PARAMS,
        kSw = KB_FAULT_PCM_SW_PARAMS,
        kPrepare = KB_FAULT_PCM_PREPARE,
        kStart = KB_FAULT_PCM_START,
        kWrite = KB_FAULT_PCM_WRITE,
        kRead = KB_FAULT_PCM_READ,
        kCtlOpen = KB_FAULT_CTL_OPEN,
        kCtlRead = KB_FAULT_CTL_READ,
        kCtlWrite = KB_FAULT_CTL_WRITE,
        kI2cOpen = KB_FAULT_I2C_OPEN,
        kI2cXfer = KB_FAULT_I2C_TRANSFER
    };
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
            add(f, kOpen, kAny, kFails, {failed, msg});
            add(f, kReady, kAny, kFails, {failed, msg});
            add(f, kHw, kAny, kFails, {"cannot set hw params", setup, failed, msg});
            add(f, kSw, kAny, kFails, {"cannot set sw params", setup, failed, msg});
            add(f, kPrepare, kAny, kFails, {"__ka_pcm_open:Failed in pcm_prepare", failed, msg});
        }
        // A failed write ends the play thread (callback -1, then 5), a failed
        // read the capture (callback -1); a recording's file is finished
        // all the same (the round checks it).
        for (Family f : {kPlayer, kFilePlayer})
            add(f, kWrite, kAny, kFails, {"pcm_write failed, hdl = 0, ret = -1"});
        add(kRecorder, kRead, kAny, kFails, {"Read pcm error, hdl = 0"});
        // Routes: the mixer reports its failure and the stream goes on. The
        // first access opens the mixer object, later ones only its device.
        for (Family f : {kPlayer, kFilePlayer, kRecorder}) {
            add(f, kCtlOpen, kFirst, kWorks,
                {"opening mixer device retry, time left 0", "ERROR opening mixer device: "});
            add(f, kCtlOpen, kLater, kWorks,
                {"Control device open failed: /dev/snd/controlC0", "opening mixer fd retry, time left 0",
                 "ERROR opening mixer fd: "});
            add(f, kCtlWrite, kAny, kWorks, {});  // a failed set is not logged
        }
        add(kTone, kCtlOpen, kFirst, kFails,
            {"ERROR opening mixer device: DTMF_Generate Rx Low High Duration Gain",
             "Ka_AudTone_Stop gave 0"});
        add(kTone, kCtlOpen, kLater, kFails,
            {"ERROR opening mixer fd: DTMF_Generate Rx Low High Duration Gain"});
        add(kTone, kCtlWrite, kAny, kFails, {"Ka_AudTone_Stop gave 0"});
        add(kCodec, kCtlOpen, kFirst, kFails,
            {"ERROR opening mixer device: DAC1 Playback Volume",
             "Ka_clt_get_mixer_value, ERROR opening mixer device: DAC1 Playback Volume",
             "Ka_AudCodec_GetVolume gave -1"});
        add(kCodec, kCtlOpen, kLater, kFails, {"ERROR opening mixer fd: DAC1 Playback Volume"});
        // A failed element read still gives the value count; zeros are read.
        add(kCodec, kCtlRead, kAny, kFails,
            {"ioctl SNDRV_CTL_IOCTL_ELEM_READ failed, fd: ", ", errno: 5", "the volume read back is 0, 0"});
        add(kCodec, kCtlWrite, kAny, kFails, {});
        // The codec type is detected once and kept: a node that goes away
        // later changes nothing.
        add(kCodec, kNodeMissing, kFirst, kFails,
            {"open codec name node failed: /sys/devices/soc:sound/codec_name", "Unknown type of codec",
             "unknown volume type 0"});
        add(kCodec, kNodeMissing, kLater, kWorks, {});
        add(kDrc, kI2cOpen, kAny, kFails,
            {"Ka_AudCodec_Set_ALC5616_DRCAGC, line: ", ", dev: /dev/i2c-2,  open i2c device failed "});
        add(kDrc, kI2cXfer, kFirst, kFails,
            {"__i2c_read_data_8_16, i2c read failed: ret=-1 addr=001b reg=b5"});
        add(kDrc, kI2cXfer, kLater, kFails,
            {"__i2c_write_data_8_16, i2c write failed: ret=-1 addr=001b reg=b6"});
        add(kDrc, kNodeMissing, kAny, kFails, {"Ka_AudCodec_Set_ALC5616_DRCAGC: open file failed: errno=2"});
        add(kVoice, kCtlOpen, kFirst, kFails, {"ERROR opening mixer device: Voice Rx Gain"});
        add(kVoice, kCtlOpen, kLater, kFails, {"ERROR opening mixer fd: Voice Rx Gain"});
        add(kVoice, kCtlWrite, kAny, kFails, {"Voice Rx Gain was not written"});
        // Without the command files nothing is run, and nothing is said.
        add(kVoice, kCmdFilesMissing, kAny, kFails, {"no command for the audio service"});
        // The blocking player: negative errno values, messages on stderr.
        add(kBlocking, kOpen, kAny, kFails, {"mova_play_wav_file gave -77"});
        add(kBlocking, kReady, kAny, kFails, {"mova_play_wav_file gave -77"});
        add(kBlocking, kHw, kAny, kFails,
            {"cannot set hw params\nmova_play_file:params setting failed\n", "gave -5"});
        add(kBlocking, kSw, kAny, kFails,
            {"cannot set sw paramsmova_play_file:params setting failed\n", "gave -5"});
        add(kBlocking, kPrepare, kAny, kFails, {"mova_play_file:Failed in pcm_prepare\n", "gave -5"});
        add(kBlocking, kWrite, kAny, kFails, {"mova_play_file: pcm_write failed\n", "gave -5"});
        // Hostless streams: the playback stream is opened first, the capture
        // stream second.
        const std::string out = "mova_pcm_open, device: hw:0,2, ", in = "mova_pcm_open, device: hw:0,3, ";
        for (int k : {kOpen, kReady}) {
            add(kHostless, k, kFirst, kFails, {out + "pcm is not ready\n", "(playback) gave NULL"});
            add(kHostless, k, kLater, kFails, {in + "pcm is not ready\n", "(hostless capture) gave NULL"});
        }
        add(kHostless, kHw, kFirst, kFails,
            {"cannot set hw params\n" + out + "pcm out params setting failed\n"});
        add(kHostless, kHw, kLater, kFails,
            {"mova_record_set_params:cannot set hw params" + in + "pcm in  params setting failed\n"});
        add(kHostless, kSw, kFirst, kFails,
            {"cannot set sw params" + out + "pcm out params setting failed\n"});
        add(kHostless, kSw, kLater, kFails,
            {"mova_record_set_params:cannot set sw params" + in + "pcm in  params setting failed\n"});
        add(kHostless, kPrepare, kFirst, kFails, {out + "Failed in pcm_prepare\n"});
        add(kHostless, kPrepare, kLater, kFails, {in + "Failed in pcm_prepare\n"});
        add(kHostless, kStart, kAny, kFails,
            {in + "Hostless IOCTL_START Error no 5 \n", "(hostless capture) gave NULL"});
        add(kHostless, kWrite, kAny, kFails, {"mova_write_pcm gave -1"});
        add(kHostless, kRead, kAny, kFails, {"mova_read_pcm gave -1"});
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
    Runner runner(int(std::max(1L, env_long("KA_FAULT_JOBS", sysconf(_SC_NPROCESSORS_ONLN)))));
    const bool sweeps = fault::interpose_available() && env_long("KA_FAULT_SWEEPS", 1) != 0;
    int scenarios = 0;
    for (int s = 0; s < kScenarioCount; ++s) {
        if (kScenarios[s].name == std::string("MP3 file play") && g_media.mp3.empty()) {
            printf("fault matrix: lame is missing, the MP3 file play is left out\n");
            continue;
        }
        ++scenarios;
        runner.add({Job::probe, s});
        for (int kind : {0, 1})
            if (sweeps && selected({Job::sweep, s, kind, false, 0, 1}))
                runner.add({Job::sweep, s, kind, false, 0, 1});
    }
    runner.run();
    if (DIR *d = opendir(g_media.dir.c_str())) {  // the media and what the children left
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') unlink((g_media.dir + "/" + e->d_name).c_str());
        closedir(d);
        rmdir(g_media.dir.c_str());
    }
    for (const auto &f : runner.failures) printf("FAILED %s\n", f.c_str());
    printf("fault matrix: %d cases, %d survived (%d scenarios, %.1f s)\n", runner.cases, runner.survived,
           scenarios, double(now_ms() - t0) / 1000);
    const char *what[] = {"allocation", "thread"};
    for (int k : {0, 1}) {
        const int lost = runner.points[k] - runner.points_survived[k];
        if (sweeps)
            printf("%s sweep: %d failure points over %d scenarios, %s\n", what[k], runner.points[k],
                   runner.swept[k], lost ? (to_string(lost) + " did not survive").c_str() : "all survived");
        else
            printf("%s sweep: not run (%s)\n", what[k],
                   fault::interpose_available() ? "KA_FAULT_SWEEPS=0"
                                                : "the sanitizer owns malloc and pthread_create");
    }
    fflush(stdout);
    return runner.failures.empty() ? 0 : 1;
}
