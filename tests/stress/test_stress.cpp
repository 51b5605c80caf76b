// SPDX-License-Identifier: MIT
// Randomized multi-thread stress of the whole library on the emulated board.
//
// Worker threads draw random operations from their tables until
// KA_STRESS_OPS operations have been made in all (default kCiOps):
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
// a fault thread switches board faults on and off at random.
//
// The operations' sequences come from KA_STRESS_SEED (printed; random when
// unset). A watchdog fails the run with the operation that hangs, every
// worker's current operation, the last log lines and the threads' stacks.
// Afterwards: every context closed, no PCM stream, control or I2C descriptor
// open on the board, the process's threads and descriptors back to their
// count before the storm, every result and report in its documented set, and
// each kind of device working normally again.
//
// Failing writes and reads (KB_FAULT_PCM_WRITE, KB_FAULT_PCM_READ) are in the
// mix unless KA_STRESS_NO_IO_FAULTS=1 leaves them out.
#include <fcntl.h>
#include <sound/asound.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <deque>
#include <functional>
#include <random>

#include "../files/files_test.h"
#include "../player/player_test.h"

namespace {

using files_test::Bytes;
using ka_test::env_long;
using ka_test::now_ms;
using Rng = std::mt19937;

constexpr long kCiOps = 2500;
constexpr int kHangSeconds = 60;

// Board device number of a library device name.
int board_device(const char *name)
{
    if (strncmp(name, "hw:0,", 5) == 0) return atoi(name + 5);
    if (strcmp(name, "audio_bluetooth") == 0) return KB_DEV_BLUETOOTH;
    if (strcmp(name, "audio_usb") == 0) return KB_DEV_USB;
    return KB_DEV_NET;
}

const char *play_dev(int h)
{
    return audCtl.pctx[h].dev_name;
}
const char *cap_dev(int h)
{
    return audCtl.cctx[h].dev_name;
}
int pstate(int h)
{
    return __atomic_load_n(&audCtl.pctx[h].state, __ATOMIC_ACQUIRE);
}
int cstate(int h)
{
    return __atomic_load_n(&audCtl.cctx[h].state, __ATOMIC_ACQUIRE);
}

// ---- Watchdog -------------------------------------------------------------

// What a thread is doing right now; the watchdog reads it.
struct Slot {
    std::string who;
    std::atomic<const char *> op{nullptr};
    std::atomic<int> arg{0};
    std::atomic<int64_t> since{0};
    std::atomic<long> done{0};
};

std::deque<Slot> g_slots;  // stable addresses; filled before any thread starts
unsigned g_seed;
ka_test::LogCapture *g_log;

template <class F>
auto step(Slot &s, const char *op, int arg, F f)
{
    s.arg = arg;
    s.since = now_ms();
    s.op = op;
    auto r = f();
    s.op = nullptr;
    ++s.done;
    return r;
}

[[noreturn]] void report_hang(const Slot &hung)
{
    printf("\nstress: HANG: %s stuck in %s(%d) for more than %d s; seed %u (replay: KA_STRESS_SEED=%u)\n",
           hung.who.c_str(), hung.op.load(), hung.arg.load(), kHangSeconds, g_seed, g_seed);
    for (const Slot &s : g_slots) {
        const char *op = s.op;
        printf("stress:   %-12s %s", s.who.c_str(), op ? op : "(between operations)");
        if (op) printf("(%d) since %" PRId64 " ms", s.arg.load(), now_ms() - s.since);
        printf(", %ld done\n", s.done.load());
    }
    auto lines = g_log->lines();
    printf("stress: last log lines:\n");
    for (size_t i = lines.size() > 40 ? lines.size() - 40 : 0; i < lines.size(); ++i)
        printf("  %d %s", lines[i].prio, lines[i].text.c_str());
    fflush(stdout);
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const std::string gdb = "gdb -p " + std::to_string(getpid()) +
                            " -batch -nx -ex 'set pagination off' -ex 'thread apply all bt' 2>/dev/null 1>&2";
    if (system("command -v gdb >/dev/null") == 0 && system(gdb.c_str()) != 0) printf("stress: gdb failed\n");
    fflush(stdout);
    _exit(1);
}

// ---- Results --------------------------------------------------------------

std::atomic<long> g_violations{0};
std::mutex g_violation_m;
std::vector<std::string> g_violation_text;

void check(bool ok, const char *op, int h, long r)
{
    if (ok) return;
    if (++g_violations > 20) return;
    std::lock_guard<std::mutex> lock(g_violation_m);
    g_violation_text.push_back(std::string(op) + "(" + std::to_string(h) + ") gave " + std::to_string(r));
}

std::atomic<long> g_play_cb[3];  // -1, 5, anything else
std::atomic<long> g_cap_cb[4];   // 0, 5, -1, anything else

int play_cb(int, int result)
{
    ++g_play_cb[result == -1 ? 0 : result == 5 ? 1 : 2];
    return 0;
}

int cap_cb(int result, void *, unsigned)
{
    ++g_cap_cb[result == 0 ? 0 : result == 5 ? 1 : result == -1 ? 2 : 3];
    return 0;
}

// A player's state name and code belong together; a player is never in
// error (it has no such state).
void check_player_state(int h)
{
    int code = 99;
    const char *name = Ka_AudPlayer_GetState(h, &code);
    const bool ok = (code == AUD_PLAYER_FINISHED && !strcmp(name, "AUD_PLAYER_FINISHED")) ||
                    (code == AUD_PLAYER_START && !strcmp(name, "AUD_PLAYER_START")) ||
                    (code == AUD_PLAYER_PAUSE && !strcmp(name, "AUD_PLAYER_PAUSE"));
    check(ok, name, h, code);
}

int check_recorder_state(int h)
{
    int code = 99;
    const char *name = Ka_AudRecorder_HGetState(h, &code);
    const bool ok = (code == 3 && !strcmp(name, "AUD_RECORDER_FINISHED")) ||
                    (code == 0 && !strcmp(name, "AUD_RECORDER_START")) ||
                    (code == -1 && !strcmp(name, "AUD_RECORDER_ERROR"));
    check(ok, name, h, code);
    return code;
}

// ---- Media ----------------------------------------------------------------

struct Media {
    std::string path;
    bool known;  // a format the library plays
};

std::vector<Media> make_media()
{
    using namespace files_test;
    std::vector<Media> m;
    auto add = [&](const std::string &name, const Bytes &b, bool known) {
        write_file(gen_path(name), b);
        m.push_back({gen_path(name), known});
    };
    add("s_stereo.wav", wav_file(2, 44100, 16, pcm16(2, 44100, 4410)), true);
    add("s_mono.wav", wav_file(1, 8000, 16, pcm16(1, 8000, 1600)), true);
    add("s.amr", amrnb_file(30), true);
    add("s.awb", amrwb_file(30), true);
    if (have_tool("lame")) add("s.mp3", mp3_file("s.mp3", 2, 44100, 0.3, "-b 128"), true);
    add("s.bin", Bytes(3000, 0x5A), false);
    return m;
}

struct Storm {
    long ops = 0;
    bool io_faults = true;
    std::vector<Media> media;
    std::atomic<bool> workers_done{false};
};

// ---- Operations -----------------------------------------------------------

// What an operation's call gave, and whether that is in its documented set.
struct Result {
    long value;
    bool ok;
};
Result in(long r, std::initializer_list<long> allowed)
{
    return {r, std::find(allowed.begin(), allowed.end(), r) != allowed.end()};
}
Result done()
{
    return {0, true};
}

// An operation on handle h; `weight` is how often a worker draws it against
// its other operations.
struct Op {
    const char *name;
    std::function<Result(Rng &, int h)> run;
    int weight = 1;
};

const Op kPause{"Ka_AudPlayer_Pause", [](Rng &, int h) { return in(Ka_AudPlayer_Pause(h), {0}); }};
const Op kResume{"Ka_AudPlayer_Resume", [](Rng &, int h) { return in(Ka_AudPlayer_Resume(h), {0}); }};
const Op kStop{"Ka_AudPlayer_Stop", [](Rng &, int h) { return in(Ka_AudPlayer_Stop(h), {0}); }};
const Op kClose{"Ka_AudPlayer_Close", [](Rng &, int h) { return Ka_AudPlayer_Close(h), done(); }};
const Op kState{"Ka_AudPlayer_GetState", [](Rng &, int h) { return check_player_state(h), done(); }};
const Op kMovaStop{"mova_stop_play_file", [](Rng &, int) { return mova_stop_play_file(), done(); }};

const auto g_data = player_test::pattern(6000, 77);

std::vector<Op> stream_ops()
{
    return {
        {"Ka_AudPlayer_Open",
         [](Rng &, int h) {
             return in(Ka_AudPlayer_Open(play_dev(h), play_cb), {h, -1});
         }},
        {"Ka_AudPlayer_OpenExt",
         [](Rng &rng, int h) {
             static const unsigned rates[] = {8000, 16000, 44100, 48000};
             const int ch = 1 + static_cast<int>(rng() % 2);
             return in(Ka_AudPlayer_OpenExt(play_dev(h), play_cb, 0, ch, rates[rng() % 4], 2), {h, -1});
         }},
        {"Ka_AudPlayer_Play",
         [](Rng &rng, int h) {
             const unsigned off = rng() % 3000, len = rng() % 3000;
             const int r = Ka_AudPlayer_Play(h, g_data.data() + off, len);
             return Result{r, r >= -1 && r <= static_cast<int>(len)};
         },
         3},
        kPause,
        kResume,
        kStop,
        kClose,
        {"Ka_AudSoft_SetVolume",
         [](Rng &rng, int h) {
             const unsigned vol = rng() % 4 ? rng() % 120 : 0xFFFFFFFFu;
             return in(Ka_AudSoft_SetVolume(h, vol), {vol <= 100 || vol == 0xFFFFFFFFu ? 0 : -1});
         }},
        {"Ka_AudPlayer_SetBufsize_ms",
         [](Rng &rng, int h) { return in(Ka_AudPlayer_SetBufsize_ms(play_dev(h), 30 + rng() % 250), {0}); }},
        kState,
        {"Ka_AudPlayer_Play on a handle without a player",
         [](Rng &, int) { return in(Ka_AudPlayer_Play(7, g_data.data(), 100), {-1}); }},
    };
}

// Descriptors handed to file plays stay open while a decode thread may still
// read them; the oldest are closed once many newer plays have replaced them.
class FdRing {
public:
    int open_ro(const std::string &path)
    {
        const int fd = open(path.c_str(), O_RDONLY);
        if (fd >= 0) fds_.push_back(fd);
        if (fds_.size() > 64) close(fds_.front()), fds_.pop_front();
        return fd;
    }
    void close_all()
    {
        for (int fd : fds_) close(fd);
        fds_.clear();
    }
    ~FdRing() { close_all(); }

private:
    std::deque<int> fds_;
};

std::vector<Op> file_ops(const Storm &run, FdRing &fds)
{
    return {
        {"Ka_AudPlayer_PlayFile",
         [&](Rng &rng, int h) {
             const Media &m = run.media[rng() % run.media.size()];
             const int fd = fds.open_ro(m.path), offset = rng() % 4 ? 0 : static_cast<int>(rng() % 200);
             return in(Ka_AudPlayer_PlayFile(play_dev(h), fd, offset, play_cb), {-1, m.known ? h : -1});
         },
         3},
        // Raw bytes from a descriptor on a player opened for them.
        {"Ka_AudPlayer_PlayFrmFile",
         [&](Rng &, int h) {
             const int fd = fds.open_ro(run.media[0].path);
             Ka_AudPlayer_OpenExt(play_dev(h), play_cb, 0, 2, 44100, 2);
             return in(Ka_AudPlayer_PlayFrmFile(h, fd, 44), {0, -1});
         }},
        kStop,
        kClose,
        kPause,
        kResume,
        kState,
    };
}

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
        paths.push_back(ka_test::temp_dir() + "/rec" + std::to_string(h) + "_" + std::to_string(n++) + ext);
        if (paths.size() > 16) unlink(paths.front().c_str()), paths.pop_front();
        return paths.back();
    }
};

std::vector<Op> recorder_ops(Recordings &rec)
{
    return {
        {"Ka_AudRecorder_RecordWAV",
         [&](Rng &rng, int h) {
             const std::string path = rec.next(h, ".wav");
             const int ch = 1 + static_cast<int>(rng() % 2);
             const unsigned rate = rng() % 2 ? 8000 : 16000;
             rec.plain = false;
             return in(Ka_AudRecorder_RecordWAV(cap_dev(h), path.c_str(), ch, rate, 2), {h, -1});
         }},
        {"Ka_AudRecorder_RecordAMRNB",
         [&](Rng &, int h) {
             rec.plain = false;
             return in(Ka_AudRecorder_RecordAMRNB(cap_dev(h), rec.next(h, ".amr").c_str()), {h, -1});
         }},
        {"Ka_AudRecorder_Open",
         [&](Rng &, int h) {
             if (cstate(h) != CTX_CLOSED) return done();
             const int r = Ka_AudRecorder_Open(cap_dev(h), cap_cb);
             rec.plain = r == h;
             return in(r, {h, -1});
         }},
        {"Ka_AudRecorder_HStartRecord",
         [&](Rng &, int h) {
             if (!rec.plain || check_recorder_state(h) == 0) return done();
             return in(Ka_AudRecorder_HStartRecord(h), {0, -1});
         }},
        {"Ka_AudRecorder_HStop", [](Rng &, int h) { return Ka_AudRecorder_HStop(h), done(); }, 2},
        {"Ka_AudRecorder_HClose",
         [&](Rng &, int h) {
             Ka_AudRecorder_HClose(h);
             if (cstate(h) == CTX_CLOSED) rec.plain = false;
             return done();
         }},
        {"Ka_AudRecorder_HGetState", [](Rng &, int h) { return check_recorder_state(h), done(); }},
        // A direct read, only while no capture thread reads the same stream.
        {"Ka_AudRecorder_Record",
         [&](Rng &rng, int h) {
             if (!rec.plain || check_recorder_state(h) == 0) return done();
             unsigned char buf[640];
             return in(Ka_AudRecorder_Record(h, buf, 2 * (1 + rng() % 320)), {0, -1});
         }},
    };
}

std::vector<Op> blocking_ops(const Storm &run)
{
    return {
        {"mova_start_play_file",
         [](Rng &, int) {
             return in(mova_start_play_file(), {0, -12});
         }},
        // The two WAV files: raw PCM behind a 44-byte header.
        {"mova_play_file",
         [&](Rng &rng, int h) {
             const Media &m = run.media[rng() % 2];
             const int fd = open(m.path.c_str(), O_RDONLY);
             lseek(fd, 44, SEEK_SET);
             const int ch = m.path.find("stereo") != std::string::npos ? 2 : 1;
             const int r = mova_play_file(ch == 2 ? 44100 : 8000, ch, fd, 0, play_dev(h), rng() % 4000);
             close(fd);
             return Result{r, r <= 0};
         },
         2},
        {"mova_play_wav_file",
         [&](Rng &rng, int h) {
             const int r = mova_play_wav_file(play_dev(h), run.media[rng() % 2].path.c_str());
             return Result{r, r <= 0};
         }},
        kMovaStop,
    };
}

std::vector<Op> controls_ops()
{
    static const char *const kVolume = "PCM Playback Volume";  // two values
    return {
        {"Ka_clt_set_mixer_value",
         [](Rng &rng, int) {
             const std::string v = std::to_string(rng() % 128) + " " + std::to_string(rng() % 128);
             return in(Ka_clt_set_mixer_value(kVolume, 2, v.c_str()), {0, 1});
         }},
        {"Ka_clt_get_mixer_value",
         [](Rng &, int) {
             snd_ctl_elem_value v{};
             return in(Ka_clt_get_mixer_value(kVolume, &v), {2, -1});
         }},
        {"Ka_AudTone_Open",
         [](Rng &rng, int) {
             return in(Ka_AudTone_Open(rng() % 2 ? nullptr : "hw:0,7"), {0, -1});
         }},
        {"Ka_AudTone_Start",
         [](Rng &rng, int) {
             const bool good = rng() % 4 != 0;
             const tone_param p{good ? 697u : 99u, 1209, 100, 50};
             return in(Ka_AudTone_Start(0, &p), {good ? 0 : -1});
         },
         2},
        {"Ka_AudTone_Stop",
         [](Rng &, int) {
             return in(Ka_AudTone_Stop(), {0, 1});
         }},
        {"Ka_AudTone_Close", [](Rng &, int) { return Ka_AudTone_Close(), done(); }},
    };
}

std::atomic<long> g_faults_set{0};
std::atomic<long> g_fault_hits[KB_FAULT_COUNT];

// Setting a fault restarts its hit count: the hits so far are added up first.
void set_fault(enum kb_fault k, int dev, int skip, int count)
{
    g_fault_hits[k] += kb_fault_hits(k);
    kb_fault(k, dev, skip, count, EIO);
}

// The fault thread's "handles" are fault kinds.
std::vector<int> fault_kinds(const Storm &run)
{
    std::vector<int> k = {KB_FAULT_PCM_OPEN,      KB_FAULT_PCM_READY,   KB_FAULT_PCM_HW_PARAMS,
                          KB_FAULT_PCM_SW_PARAMS, KB_FAULT_PCM_PREPARE, KB_FAULT_PCM_START,
                          KB_FAULT_CTL_OPEN,      KB_FAULT_CTL_READ,    KB_FAULT_CTL_WRITE};
    if (run.io_faults) k.insert(k.end(), {KB_FAULT_PCM_WRITE, KB_FAULT_PCM_READ});
    return k;
}

std::vector<Op> fault_ops()
{
    return {
        {"kb_fault clear",
         [](Rng &, int k) { return set_fault(static_cast<enum kb_fault>(k), -1, 0, 0), done(); }},
        {"kb_fault",
         [](Rng &rng, int k) {
             static const int devices[] = {-1, 0, 13, 14, 16, KB_DEV_BLUETOOTH, KB_DEV_USB, KB_DEV_NET, 7};
             const bool ctl = k == KB_FAULT_CTL_OPEN || k == KB_FAULT_CTL_READ || k == KB_FAULT_CTL_WRITE;
             // The mixer retries a failing control device with sleeps under
             // its lock, so control faults stay short.
             const int count = !ctl && rng() % 10 == 0 ? -1 : 1 + static_cast<int>(rng() % 3);
             const int dev = ctl ? -1 : devices[rng() % std::size(devices)];
             set_fault(static_cast<enum kb_fault>(k), dev, static_cast<int>(rng() % 8), count);
             return ++g_faults_set, done();
         },
         2},
    };
}

void clear_faults()
{
    for (int k = 0; k < KB_FAULT_COUNT; ++k) set_fault(static_cast<enum kb_fault>(k), -1, 0, 0);
}

// A thread of the storm: a worker makes its share of the operations; the
// releaser and the fault thread go on until the workers are done, with a
// random pause after each operation.
struct Worker {
    const char *name;
    std::vector<int> handles;
    std::vector<Op> ops;
    unsigned pause_us = 0;  // 0: a worker
};
constexpr int kWorkers = 8;

void run_worker(Storm &run, const Worker &w, Slot &s, unsigned seed)
{
    Rng rng(seed);
    int total = 0;
    for (const Op &op : w.ops) total += op.weight;
    while (w.pause_us ? !run.workers_done : s.done < run.ops / kWorkers) {
        const int h = w.handles[rng() % w.handles.size()];
        const Op *op = w.ops.data();
        for (int pick = static_cast<int>(rng() % total); pick >= op->weight; ++op) pick -= op->weight;
        const Result r = step(s, op->name, h, [&] { return op->run(rng, h); });
        check(r.ok, op->name, h, r.value);
        if (!w.pause_us) continue;
        if (s.done % 500 == 0) g_log->clear();  // the capture keeps every line; bound it
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % w.pause_us));
    }
}

// ---- After the storm: each kind of device works normally -----------------

void expect_player_plays(int h)
{
    const int dev = board_device(play_dev(h));
    ASSERT_EQ(Ka_AudPlayer_Open(play_dev(h), play_cb), h);
    const size_t before = kb_pcm_played(dev, 0, nullptr, 0);
    const auto data = player_test::pattern(5000, 5);
    EXPECT_EQ(player_test::play(h, data), 5000);
    EXPECT_TRUE(player_test::flush_until_played(h, dev, before + 5000));
    std::vector<unsigned char> got(5000);
    kb_pcm_played(dev, before, got.data(), got.size());
    EXPECT_EQ(got, data) << "player " << h;
    Ka_AudPlayer_Stop(h);
    Ka_AudPlayer_Close(h);
    check_player_state(h);
    EXPECT_EQ(pstate(h), CTX_CLOSED) << "player " << h;
}

void expect_file_plays(int h, const std::string &wav)
{
    const int dev = board_device(play_dev(h));
    const Bytes file = files_test::read_file(wav);
    const size_t before = kb_pcm_played(dev, 0, nullptr, 0);
    const int fd = open(wav.c_str(), O_RDONLY);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(play_dev(h), fd, 0, play_cb), h);
    EXPECT_TRUE(player_test::eventually([&] { return pstate(h) == CTX_CLOSED; }));
    std::vector<unsigned char> got(file.size() - 44);
    EXPECT_GE(kb_pcm_played(dev, before, got.data(), got.size()), before + got.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), file.begin() + 44)) << "file play on " << h;
    close(fd);
}

void expect_records(int h, const std::string &path)
{
    ASSERT_EQ(Ka_AudRecorder_RecordWAV(cap_dev(h), path.c_str(), 1, 8000, 2), h);
    EXPECT_TRUE(player_test::eventually([&] {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 && st.st_size > 44 + 3200;
    }));
    Ka_AudRecorder_HStop(h);
    Ka_AudRecorder_HClose(h);
    EXPECT_EQ(cstate(h), CTX_CLOSED) << "recorder " << h;
    // The record-file thread patches the sizes after the close has returned.
    EXPECT_TRUE(player_test::eventually([&] {
        const Bytes f = files_test::read_file(path);
        return f.size() > 44 && files_test::le(f, 4) == f.size() - 8 &&
               files_test::le(f, 40) == f.size() - 44;
    })) << "recording on "
        << h;
}

void expect_controls_work()
{
    EXPECT_EQ(Ka_clt_set_mixer_value("PCM Playback Volume", 2, "11 22"), 1);
    snd_ctl_elem_value v{};
    EXPECT_EQ(Ka_clt_get_mixer_value("PCM Playback Volume", &v), 2);
    EXPECT_EQ(v.value.integer.value[0], 11);
    EXPECT_EQ(v.value.integer.value[1], 22);
    EXPECT_EQ(Ka_AudTone_Open(nullptr), 0);
    const tone_param p{697, 1209, 100, 500};
    EXPECT_EQ(Ka_AudTone_Start(0, &p), 0);
    long tone[4] = {};
    kb_ctl_get("DTMF_Generate Rx Low High Duration Gain", tone, 4);
    EXPECT_EQ(std::vector<long>(tone, tone + 4), (std::vector<long>{697, 1209, 500, 400}));
    EXPECT_EQ(Ka_AudTone_Stop(), 1);
    Ka_AudTone_Close();
    EXPECT_EQ(mova_start_play_file(), 0);
    EXPECT_EQ(mova_play_wav_file("hw:0,13", files_test::gen_path("s_mono.wav").c_str()), 0);
    mova_stop_play_file();
}

class Stress : public player_test::PlayerTest {};

TEST_F(Stress, RandomOperationsWithFaultsOnAllDevices)
{
    Storm run;
    run.ops = env_long("KA_STRESS_OPS", kCiOps);
    run.io_faults = env_long("KA_STRESS_NO_IO_FAULTS", 0) == 0;
    g_seed = static_cast<unsigned>(
        env_long("KA_STRESS_SEED", static_cast<long>(std::random_device{}() & 0x7FFFFFFF)));
    g_log = &log;
    printf(
        "stress: seed %u, %ld operations, write/read faults %s (replay: KA_STRESS_SEED=%u "
        "KA_STRESS_OPS=%ld)\n",
        g_seed, run.ops, run.io_faults ? "on" : "off", g_seed, run.ops);
    fflush(stdout);
    RecordProperty("seed", std::to_string(g_seed));
    run.media = make_media();
    for (int d = 0; d < KB_MAX_DEVICES; ++d) kb_capture_tone(d, 440, 8000);

    // The simple family writes to standard error; its messages go to a file.
    auto err = std::make_unique<ka_test::StderrCapture>();
    const int fds_before = files_test::proc_entries("/proc/self/fd");
    const int64_t t0 = now_ms();

    FdRing file_fds;
    Recordings rec[3];
    const Worker workers[] = {
        {"stream0", {0, 1, 2, 3}, stream_ops()},
        {"stream1", {0, 1, 2, 3}, stream_ops()},
        {"file", {2, 3, 4}, file_ops(run, file_fds)},
        {"record0", {0}, recorder_ops(rec[0])},
        {"record5", {5}, recorder_ops(rec[1])},
        {"record6", {6}, recorder_ops(rec[2])},
        {"blocking", {1, 3, 6}, blocking_ops(run)},
        {"controls", {7}, controls_ops()},
        {"releaser", {0, 1, 2, 3, 4}, {kPause, kResume, kResume, kStop, kStop, kMovaStop}, 2000},
        {"faults", fault_kinds(run), fault_ops(), 3000},
    };
    g_slots.clear();
    for (const Worker &w : workers) g_slots.emplace_back().who = w.name;
    Slot &s_main = g_slots.emplace_back();
    s_main.who = "main";
    std::atomic<bool> watching{true};
    std::thread watchdog([&] {
        while (watching) {
            for (const Slot &s : g_slots)
                if (s.op && now_ms() - s.since > kHangSeconds * 1000) report_hang(s);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(workers); ++i)
        threads.emplace_back(run_worker, std::ref(run), std::cref(workers[i]), std::ref(g_slots[i]),
                             g_seed + 1 + unsigned(i));
    for (int i = 0; i < kWorkers; ++i) threads[i].join();
    run.workers_done = true;
    for (size_t i = kWorkers; i < threads.size(); ++i) threads[i].join();
    const int64_t storm_ms = now_ms() - t0;

    // Everything closed by its owner's operations, as an application would;
    // file plays still running close their players themselves.
    clear_faults();
    step(s_main, "closing everything", 0, [&] {
        Ka_AudTone_Close();
        mova_stop_play_file();
        for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
            Ka_AudRecorder_HStop(h);
            Ka_AudRecorder_HClose(h);
            player_test::eventually([&] {
                Ka_AudPlayer_Stop(h);  // resumes a paused player
                Ka_AudPlayer_Close(h);
                return pstate(h) == CTX_CLOSED;
            });
        }
        return 0;
    });
    step(s_main, "waiting for the library's threads", 0, [&] {
        return player_test::eventually([&] { return player_test::thread_count() <= threads_before + 1; });
    });
    const int threads_after = player_test::thread_count() - 1;  // the watchdog is still there
    watching = false;
    watchdog.join();
    for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
        EXPECT_EQ(pstate(h), CTX_CLOSED) << "player " << h;
        EXPECT_EQ(cstate(h), CTX_CLOSED) << "recorder " << h;
        EXPECT_EQ(audCtl.pctx[h].ringbuf, nullptr) << "player " << h;
    }
    for (int d = 0; d < KB_MAX_DEVICES; ++d)
        for (int dir : {KB_PLAYBACK, KB_CAPTURE}) {
            struct kb_pcm_info info {};
            kb_pcm_info(d, dir, &info);
            EXPECT_EQ(info.open, 0) << "device " << d << " direction " << dir;
        }
    EXPECT_EQ(kb_open_fds(), 0);
    // At most as many as before: a thread that was there at the start may
    // have ended since (qemu-user runs helper threads of its own in the
    // process), but none of the library's may be left.
    EXPECT_LE(threads_after, threads_before);
    // Finished recordings have consistent WAV sizes (a capture that failed
    // part way included).
    int wav_checked = 0;
    for (Recordings &r : rec) {
        for (const std::string &p : r.paths) {
            const Bytes f = files_test::read_file(p);
            if (p.ends_with(".wav") && f.size() >= 44) {
                ++wav_checked;
                EXPECT_EQ(files_test::le(f, 40), f.size() - 44) << p;
            }
            unlink(p.c_str());
        }
        r.paths.clear();
    }
    file_fds.close_all();
    const int fds_after = files_test::proc_entries("/proc/self/fd");

    std::string counts, hits;
    long failed_calls = 0;
    for (const Slot &s : g_slots) counts += " " + s.who + " " + std::to_string(s.done.load());
    for (const auto &k : g_fault_hits) failed_calls += k, hits += " " + std::to_string(k.load());
    printf("stress: %ld operations in %" PRId64 " ms (by thread:%s; fault settings %ld, failed calls %ld)\n",
           run.ops / kWorkers * kWorkers, storm_ms, counts.c_str(), g_faults_set.load(), failed_calls);
    printf("stress: failed calls by fault kind:%s\n", hits.c_str());
    printf(
        "stress: play callbacks -1: %ld, 5: %ld, other: %ld; capture callbacks 0: %ld, 5: %ld, -1: %ld, "
        "other: %ld\n",
        g_play_cb[0].load(), g_play_cb[1].load(), g_play_cb[2].load(), g_cap_cb[0].load(), g_cap_cb[1].load(),
        g_cap_cb[2].load(), g_cap_cb[3].load());
    printf(
        "stress: threads %d before, %d after; descriptors %d before, %d after; WAV recordings checked %d\n",
        threads_before, threads_after, fds_before, fds_after, wav_checked);
    fflush(stdout);
    EXPECT_EQ(fds_after, fds_before);
    EXPECT_EQ(g_play_cb[2], 0) << "play callback results outside -1 and 5";
    EXPECT_EQ(g_cap_cb[3], 0) << "capture callback results outside 0, 5 and -1";
    EXPECT_EQ(g_violations, 0) << [] {
        std::lock_guard<std::mutex> lock(g_violation_m);
        std::string out;
        for (auto &t : g_violation_text) out += t + "\n";
        return out;
    }();
    err.reset();

    // Each kind of device works normally after the storm.
    kb_set_speed(0);
    for (int h : {0, 1, 2, 3, 4}) expect_player_plays(h);
    expect_file_plays(4, files_test::gen_path("s_stereo.wav"));
    for (int h : {0, 5, 6}) expect_records(h, ka_test::temp_dir() + "/after" + std::to_string(h) + ".wav");
    {
        ka_test::StderrCapture quiet;
        expect_controls_work();
    }
}

}  // namespace
