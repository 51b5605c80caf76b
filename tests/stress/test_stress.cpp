// Randomized multi-thread stress of the whole library on the emulated board.
//
// Worker threads draw random operations until KA_STRESS_OPS operations have
// been made in all (default kCiOps):
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
#include <map>
#include <random>
#include <set>

#include "../files/files_test.h"
#include "../player/player_test.h"

namespace {

using files_test::Bytes;

constexpr long kCiOps = 2500;
constexpr int kHangSeconds = 60;

using ka_test::env_long;
using ka_test::now_ms;

int fd_count()
{
    return files_test::proc_entries("/proc/self/fd");
}

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

// ---- Watchdog -------------------------------------------------------------

// What a thread is doing right now; the watchdog reads it.
struct Slot {
    const char *who = "";
    std::atomic<const char *> op{nullptr};
    std::atomic<int> arg{0};
    std::atomic<int64_t> since{0};
    std::atomic<long> done{0};
};

std::deque<Slot> g_slots;  // stable addresses; filled before any thread starts
unsigned g_seed;
ka_test::LogCapture *g_log;

Slot &slot(const char *who)
{
    g_slots.emplace_back().who = who;
    return g_slots.back();
}

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
           hung.who, hung.op.load(), hung.arg.load(), kHangSeconds, g_seed, g_seed);
    for (const Slot &s : g_slots) {
        const char *op = s.op;
        printf("stress:   %-12s %s", s.who, op ? op : "(between operations)");
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

// Each of the kWorkers workers makes an equal share of the operations.
constexpr int kWorkers = 8;
bool take(const Storm &run, const Slot &s)
{
    return s.done < run.ops / kWorkers;
}

// ---- Workers --------------------------------------------------------------

void stream_worker(Storm &run, Slot &s, unsigned seed)
{
    std::mt19937 rng(seed);
    static const auto data = player_test::pattern(6000, 77);
    while (take(run, s)) {
        const int h = static_cast<int>(rng() % 4);
        switch (rng() % 13) {
            case 0: {
                int r =
                    step(s, "Ka_AudPlayer_Open", h, [&] { return Ka_AudPlayer_Open(play_dev(h), play_cb); });
                check(r == h || r == -1, "Ka_AudPlayer_Open", h, r);
                break;
            }
            case 1: {
                static const unsigned rates[] = {8000, 16000, 44100, 48000};
                const int ch = 1 + static_cast<int>(rng() % 2);
                const unsigned rate = rates[rng() % 4];
                int r = step(s, "Ka_AudPlayer_OpenExt", h,
                             [&] { return Ka_AudPlayer_OpenExt(play_dev(h), play_cb, 0, ch, rate, 2); });
                check(r == h || r == -1, "Ka_AudPlayer_OpenExt", h, r);
                break;
            }
            case 2:
            case 3:
            case 4: {
                const unsigned off = rng() % 3000, len = rng() % 3000;
                int r = step(s, "Ka_AudPlayer_Play", h,
                             [&] { return Ka_AudPlayer_Play(h, data.data() + off, len); });
                check(r >= -1 && r <= static_cast<int>(len), "Ka_AudPlayer_Play", h, r);
                break;
            }
            case 5:
                check(step(s, "Ka_AudPlayer_Pause", h, [&] { return Ka_AudPlayer_Pause(h); }) == 0, "Pause",
                      h, -1);
                break;
            case 6:
                check(step(s, "Ka_AudPlayer_Resume", h, [&] { return Ka_AudPlayer_Resume(h); }) == 0,
                      "Resume", h, -1);
                break;
            case 7:
                check(step(s, "Ka_AudPlayer_Stop", h, [&] { return Ka_AudPlayer_Stop(h); }) == 0, "Stop", h,
                      -1);
                break;
            case 8:
                step(s, "Ka_AudPlayer_Close", h, [&] { return Ka_AudPlayer_Close(h); });
                break;
            case 9: {
                const unsigned vol = rng() % 4 ? rng() % 120 : 0xFFFFFFFFu;
                int r = step(s, "Ka_AudSoft_SetVolume", h, [&] { return Ka_AudSoft_SetVolume(h, vol); });
                check(r == (vol <= 100 || vol == 0xFFFFFFFFu ? 0 : -1), "Ka_AudSoft_SetVolume", h, r);
                break;
            }
            case 10: {
                const unsigned ms = 30 + rng() % 250;
                int r = step(s, "Ka_AudPlayer_SetBufsize_ms", h,
                             [&] { return Ka_AudPlayer_SetBufsize_ms(play_dev(h), ms); });
                check(r == 0, "Ka_AudPlayer_SetBufsize_ms", h, r);
                break;
            }
            case 11:
                step(s, "Ka_AudPlayer_GetState", h, [&] { return check_player_state(h), 0; });
                break;
            case 12: {  // a handle without a player
                int r =
                    step(s, "Ka_AudPlayer_Play", 7, [&] { return Ka_AudPlayer_Play(7, data.data(), 100); });
                check(r == -1, "Ka_AudPlayer_Play", 7, r);
                break;
            }
        }
    }
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

void file_worker(Storm &run, Slot &s, unsigned seed, FdRing &fds)
{
    std::mt19937 rng(seed);
    while (take(run, s)) {
        const int h = 2 + static_cast<int>(rng() % 3);
        switch (rng() % 9) {
            case 0:
            case 1:
            case 2: {
                const Media &m = run.media[rng() % run.media.size()];
                const int fd = fds.open_ro(m.path);
                const int offset = rng() % 4 ? 0 : static_cast<int>(rng() % 200);
                int r = step(s, "Ka_AudPlayer_PlayFile", h,
                             [&] { return Ka_AudPlayer_PlayFile(play_dev(h), fd, offset, play_cb); });
                check(m.known ? r == h || r == -1 : r == -1, "Ka_AudPlayer_PlayFile", h, r);
                break;
            }
            case 3: {  // raw bytes from a descriptor on a player opened for them
                const int fd = fds.open_ro(run.media[0].path);
                step(s, "Ka_AudPlayer_OpenExt", h,
                     [&] { return Ka_AudPlayer_OpenExt(play_dev(h), play_cb, 0, 2, 44100, 2); });
                int r = step(s, "Ka_AudPlayer_PlayFrmFile", h,
                             [&] { return Ka_AudPlayer_PlayFrmFile(h, fd, 44); });
                check(r == 0 || r == -1, "Ka_AudPlayer_PlayFrmFile", h, r);
                break;
            }
            case 4:
                step(s, "Ka_AudPlayer_Stop", h, [&] { return Ka_AudPlayer_Stop(h); });
                break;
            case 5:
                step(s, "Ka_AudPlayer_Close", h, [&] { return Ka_AudPlayer_Close(h); });
                break;
            case 6:
                step(s, "Ka_AudPlayer_Pause", h, [&] { return Ka_AudPlayer_Pause(h); });
                break;
            case 7:
                step(s, "Ka_AudPlayer_Resume", h, [&] { return Ka_AudPlayer_Resume(h); });
                break;
            case 8:
                step(s, "Ka_AudPlayer_GetState", h, [&] { return check_player_state(h), 0; });
                break;
        }
    }
}

// One worker per capture handle: a recorder is opened for plain capture only
// when it is closed, and started only when no capture runs on it (a second
// open or start of the same recorder is outside the recorder's contract).
// File recordings may start at any time: they stop and close what ran first.
void recorder_worker(Storm &run, Slot &s, unsigned seed, int h, std::deque<std::string> &paths)
{
    std::mt19937 rng(seed);
    bool plain = false;  // opened here for plain capture
    int n = 0;
    auto new_path = [&](const char *ext) {
        paths.push_back(ka_test::temp_dir() + "/rec" + std::to_string(h) + "_" + std::to_string(n++) + ext);
        if (paths.size() > 16) unlink(paths.front().c_str()), paths.pop_front();
        return paths.back();
    };
    std::vector<unsigned char> buf(640);
    while (take(run, s)) {
        switch (rng() % 9) {
            case 0: {
                const std::string path = new_path(".wav");
                const int ch = 1 + static_cast<int>(rng() % 2);
                const unsigned rate = rng() % 2 ? 8000 : 16000;
                int r = step(s, "Ka_AudRecorder_RecordWAV", h,
                             [&] { return Ka_AudRecorder_RecordWAV(cap_dev(h), path.c_str(), ch, rate, 2); });
                check(r == h || r == -1, "Ka_AudRecorder_RecordWAV", h, r);
                plain = false;
                break;
            }
            case 1: {
                const std::string path = new_path(".amr");
                int r = step(s, "Ka_AudRecorder_RecordAMRNB", h,
                             [&] { return Ka_AudRecorder_RecordAMRNB(cap_dev(h), path.c_str()); });
                check(r == h || r == -1, "Ka_AudRecorder_RecordAMRNB", h, r);
                plain = false;
                break;
            }
            case 2:
                if (__atomic_load_n(&audCtl.cctx[h].state, __ATOMIC_ACQUIRE) == CTX_CLOSED) {
                    int r = step(s, "Ka_AudRecorder_Open", h,
                                 [&] { return Ka_AudRecorder_Open(cap_dev(h), cap_cb); });
                    check(r == h || r == -1, "Ka_AudRecorder_Open", h, r);
                    plain = r == h;
                }
                break;
            case 3:
                if (plain && check_recorder_state(h) != 0) {
                    int r = step(s, "Ka_AudRecorder_HStartRecord", h,
                                 [&] { return Ka_AudRecorder_HStartRecord(h); });
                    check(r == 0 || r == -1, "Ka_AudRecorder_HStartRecord", h, r);
                }
                break;
            case 4:
            case 5:
                step(s, "Ka_AudRecorder_HStop", h, [&] { return Ka_AudRecorder_HStop(h), 0; });
                break;
            case 6:
                step(s, "Ka_AudRecorder_HClose", h, [&] { return Ka_AudRecorder_HClose(h), 0; });
                if (__atomic_load_n(&audCtl.cctx[h].state, __ATOMIC_ACQUIRE) == CTX_CLOSED) plain = false;
                break;
            case 7:
                step(s, "Ka_AudRecorder_HGetState", h, [&] { return check_recorder_state(h); });
                break;
            case 8: {  // a direct read, only while no capture thread reads the same stream
                if (!plain || check_recorder_state(h) == 0) break;
                const unsigned len = 2 * (1 + rng() % 320);
                int r = step(s, "Ka_AudRecorder_Record", h,
                             [&] { return Ka_AudRecorder_Record(h, buf.data(), len); });
                check(r == 0 || r == -1, "Ka_AudRecorder_Record", h, r);
                break;
            }
        }
    }
}

void blocking_worker(Storm &run, Slot &s, unsigned seed)
{
    std::mt19937 rng(seed);
    static const int handles[] = {1, 3, 6};
    while (take(run, s)) {
        const int h = handles[rng() % 3];
        switch (rng() % 5) {
            case 0: {
                int r = step(s, "mova_start_play_file", h, [] { return mova_start_play_file(); });
                check(r == 0 || r == -12, "mova_start_play_file", h, r);
                break;
            }
            case 1:
            case 2: {
                const Media &m = run.media[rng() % 2];  // the two WAV files: raw PCM behind a 44-byte header
                const int fd = open(m.path.c_str(), O_RDONLY);
                lseek(fd, 44, SEEK_SET);
                const int ch = m.path.find("stereo") != std::string::npos ? 2 : 1;
                const unsigned rate = ch == 2 ? 44100 : 8000, size = rng() % 4000;
                int r = step(s, "mova_play_file", h,
                             [&] { return mova_play_file(rate, ch, fd, 0, play_dev(h), size); });
                check(r <= 0, "mova_play_file", h, r);
                close(fd);
                break;
            }
            case 3: {
                const Media &m = run.media[rng() % 2];
                int r = step(s, "mova_play_wav_file", h,
                             [&] { return mova_play_wav_file(play_dev(h), m.path.c_str()); });
                check(r <= 0, "mova_play_wav_file", h, r);
                break;
            }
            case 4:
                step(s, "mova_stop_play_file", h, [] { return mova_stop_play_file(); });
                break;
        }
    }
}

void controls_worker(Storm &run, Slot &s, unsigned seed)
{
    std::mt19937 rng(seed);
    static const char *const kVolume = "PCM Playback Volume";  // two values
    while (take(run, s)) {
        switch (rng() % 7) {
            case 0: {
                const std::string v = std::to_string(rng() % 128) + " " + std::to_string(rng() % 128);
                int r = step(s, "Ka_clt_set_mixer_value", 2,
                             [&] { return Ka_clt_set_mixer_value(kVolume, 2, v.c_str()); });
                check(r == 0 || r == 1, "Ka_clt_set_mixer_value", 2, r);
                break;
            }
            case 1: {
                snd_ctl_elem_value v{};
                int r =
                    step(s, "Ka_clt_get_mixer_value", 2, [&] { return Ka_clt_get_mixer_value(kVolume, &v); });
                check(r == 2 || r == -1, "Ka_clt_get_mixer_value", 2, r);
                break;
            }
            case 2: {
                int r = step(s, "Ka_AudTone_Open", 7,
                             [&] { return Ka_AudTone_Open(rng() % 2 ? nullptr : "hw:0,7"); });
                check(r == 0 || r == -1, "Ka_AudTone_Open", 7, r);
                break;
            }
            case 3:
            case 4: {
                const bool good = rng() % 4 != 0;
                const tone_param p{good ? 697u : 99u, 1209, 100, 50};
                int r = step(s, "Ka_AudTone_Start", 7, [&] { return Ka_AudTone_Start(0, &p); });
                check(r == (good ? 0 : -1), "Ka_AudTone_Start", 7, r);
                break;
            }
            case 5: {
                int r = step(s, "Ka_AudTone_Stop", 7, [] { return Ka_AudTone_Stop(); });
                check(r == 0 || r == 1, "Ka_AudTone_Stop", 7, r);
                break;
            }
            case 6:
                step(s, "Ka_AudTone_Close", 7, [] { return Ka_AudTone_Close(), 0; });
                break;
        }
    }
}

// Pauses, resumes and stops players and stops the blocking player until the
// workers are done.
void releaser(Storm &run, Slot &s, unsigned seed)
{
    std::mt19937 rng(seed);
    for (int i = 0; !run.workers_done; ++i) {
        const int h = static_cast<int>(rng() % 5);
        switch (rng() % 7) {
            case 0:
                step(s, "Ka_AudPlayer_Pause", h, [&] { return Ka_AudPlayer_Pause(h); });
                break;
            case 1:
            case 2:
                step(s, "Ka_AudPlayer_Resume", h, [&] { return Ka_AudPlayer_Resume(h); });
                break;
            case 3:
            case 4:
                step(s, "Ka_AudPlayer_Stop", h, [&] { return Ka_AudPlayer_Stop(h); });
                break;
            case 5:
                step(s, "mova_stop_play_file", 0, [] { return mova_stop_play_file(); });
                break;
            case 6:
                break;
        }
        if (i % 500 == 0) g_log->clear();  // the capture keeps every line; bound it
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    }
}

std::atomic<long> g_faults_set{0};
std::atomic<long> g_fault_hits[KB_FAULT_COUNT];

// Setting a fault restarts its hit count: the hits so far are added up first.
void set_fault(enum kb_fault k, int dev, int skip, int count)
{
    g_fault_hits[k] += kb_fault_hits(k);
    kb_fault(k, dev, skip, count, EIO);
}

void fault_thread(Storm &run, Slot &s, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<enum kb_fault> kinds = {KB_FAULT_PCM_OPEN,      KB_FAULT_PCM_READY,   KB_FAULT_PCM_HW_PARAMS,
                                        KB_FAULT_PCM_SW_PARAMS, KB_FAULT_PCM_PREPARE, KB_FAULT_PCM_START,
                                        KB_FAULT_CTL_OPEN,      KB_FAULT_CTL_READ,    KB_FAULT_CTL_WRITE};
    if (run.io_faults) kinds.insert(kinds.end(), {KB_FAULT_PCM_WRITE, KB_FAULT_PCM_READ});
    static const int devices[] = {-1, 0, 13, 14, 16, KB_DEV_BLUETOOTH, KB_DEV_USB, KB_DEV_NET, 7};
    while (!run.workers_done) {
        const enum kb_fault k = kinds[rng() % kinds.size()];
        const bool ctl = k == KB_FAULT_CTL_OPEN || k == KB_FAULT_CTL_READ || k == KB_FAULT_CTL_WRITE;
        if (rng() % 3 == 0) {
            step(s, "kb_fault clear", k, [&] { return set_fault(k, -1, 0, 0), 0; });
        } else {
            // The mixer retries a failing control device with sleeps under its
            // lock, so control faults stay short.
            const int count = !ctl && rng() % 10 == 0 ? -1 : 1 + static_cast<int>(rng() % 3);
            const int dev = ctl ? -1 : devices[rng() % std::size(devices)];
            step(s, "kb_fault", k, [&] { return set_fault(k, dev, static_cast<int>(rng() % 8), count), 0; });
            ++g_faults_set;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    }
}

void clear_faults()
{
    for (int k = 0; k < KB_FAULT_COUNT; ++k) set_fault(static_cast<enum kb_fault>(k), -1, 0, 0);
}

// ---- After the storm: each kind of device works normally -----------------

void expect_player_plays(int h)
{
    const int dev = board_device(play_dev(h));
    ASSERT_EQ(Ka_AudPlayer_Open(play_dev(h), play_cb), h);
    const size_t before = kb_pcm_played(dev, 0, nullptr, 0);
    const auto data = player_test::pattern(5000, 5);
    EXPECT_EQ(player_test::play(h, data), 5000);
    const std::vector<unsigned char> zeros(audCtl.pctx[h].write_chunk, 0);
    EXPECT_TRUE(player_test::eventually([&] {
        return kb_pcm_played(dev, 0, nullptr, 0) >= before + 5000 || player_test::play(h, zeros) < 0;
    }));
    std::vector<unsigned char> got(5000);
    kb_pcm_played(dev, before, got.data(), got.size());
    EXPECT_EQ(got, data) << "player " << h;
    Ka_AudPlayer_Stop(h);
    Ka_AudPlayer_Close(h);
    check_player_state(h);
    EXPECT_EQ(__atomic_load_n(&audCtl.pctx[h].state, __ATOMIC_ACQUIRE), CTX_CLOSED) << "player " << h;
}

void expect_file_plays(int h, const std::string &wav)
{
    const int dev = board_device(play_dev(h));
    const Bytes file = files_test::read_file(wav);
    const size_t before = kb_pcm_played(dev, 0, nullptr, 0);
    const int fd = open(wav.c_str(), O_RDONLY);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(play_dev(h), fd, 0, play_cb), h);
    EXPECT_TRUE(player_test::eventually(
        [&] { return __atomic_load_n(&audCtl.pctx[h].state, __ATOMIC_ACQUIRE) == CTX_CLOSED; }));
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
    EXPECT_EQ(__atomic_load_n(&audCtl.cctx[h].state, __ATOMIC_ACQUIRE), CTX_CLOSED) << "recorder " << h;
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
    const int fds_before = fd_count();
    const int64_t t0 = now_ms();

    FdRing file_fds;
    std::deque<std::string> rec_paths[3];
    g_slots.clear();
    Slot &s_stream0 = slot("stream0"), &s_stream1 = slot("stream1"), &s_file = slot("file"),
         &s_rec0 = slot("record0"), &s_rec5 = slot("record5"), &s_rec6 = slot("record6"),
         &s_mova = slot("blocking"), &s_ctl = slot("controls"), &s_rel = slot("releaser"),
         &s_fault = slot("faults"), &s_main = slot("main");
    std::atomic<bool> watching{true};
    std::thread watchdog([&] {
        while (watching) {
            for (const Slot &s : g_slots)
                if (s.op && now_ms() - s.since > kHangSeconds * 1000) report_hang(s);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    std::vector<std::thread> workers;
    workers.emplace_back(stream_worker, std::ref(run), std::ref(s_stream0), g_seed + 1);
    workers.emplace_back(stream_worker, std::ref(run), std::ref(s_stream1), g_seed + 2);
    workers.emplace_back(file_worker, std::ref(run), std::ref(s_file), g_seed + 3, std::ref(file_fds));
    workers.emplace_back(recorder_worker, std::ref(run), std::ref(s_rec0), g_seed + 4, 0,
                         std::ref(rec_paths[0]));
    workers.emplace_back(recorder_worker, std::ref(run), std::ref(s_rec5), g_seed + 5, 5,
                         std::ref(rec_paths[1]));
    workers.emplace_back(recorder_worker, std::ref(run), std::ref(s_rec6), g_seed + 6, 6,
                         std::ref(rec_paths[2]));
    workers.emplace_back(blocking_worker, std::ref(run), std::ref(s_mova), g_seed + 7);
    workers.emplace_back(controls_worker, std::ref(run), std::ref(s_ctl), g_seed + 8);
    std::thread rel(releaser, std::ref(run), std::ref(s_rel), g_seed + 9);
    std::thread faults(fault_thread, std::ref(run), std::ref(s_fault), g_seed + 10);
    for (auto &t : workers) t.join();
    run.workers_done = true;
    rel.join();
    faults.join();
    const int64_t storm_ms = now_ms() - t0;

    // Everything closed by its owner's operations, as an application would.
    clear_faults();
    step(s_main, "closing everything", 0, [&] {
        for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
            Ka_AudPlayer_Stop(h);  // resumes a paused player
            Ka_AudPlayer_Close(h);
            Ka_AudRecorder_HStop(h);
            Ka_AudRecorder_HClose(h);
        }
        Ka_AudTone_Close();
        mova_stop_play_file();
        return 0;
    });
    // File plays still running close their players themselves.
    step(s_main, "waiting for the players to close", 0, [&] {
        for (int h = 0; h < KA_DEVICE_COUNT; ++h)
            player_test::eventually([&] {
                Ka_AudPlayer_Stop(h);
                Ka_AudPlayer_Close(h);
                return __atomic_load_n(&audCtl.pctx[h].state, __ATOMIC_ACQUIRE) == CTX_CLOSED;
            });
        return 0;
    });
    step(s_main, "waiting for the library's threads", 0, [&] {
        return player_test::eventually([&] { return player_test::thread_count() <= threads_before + 1; });
    });
    const int threads_after = player_test::thread_count() - 1;  // the watchdog is still there
    watching = false;
    watchdog.join();
    for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
        EXPECT_EQ(__atomic_load_n(&audCtl.pctx[h].state, __ATOMIC_ACQUIRE), CTX_CLOSED) << "player " << h;
        EXPECT_EQ(__atomic_load_n(&audCtl.cctx[h].state, __ATOMIC_ACQUIRE), CTX_CLOSED) << "recorder " << h;
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
    for (auto &paths : rec_paths)
        for (const std::string &p : paths) {
            const Bytes f = files_test::read_file(p);
            if (p.ends_with(".wav") && f.size() >= 44) {
                ++wav_checked;
                EXPECT_EQ(files_test::le(f, 40), f.size() - 44) << p;
            }
            unlink(p.c_str());
        }
    rec_paths[0].clear(), rec_paths[1].clear(), rec_paths[2].clear();
    file_fds.close_all();
    const int fds_after = fd_count();

    long per_faults = 0;
    std::string hits;
    for (int k = 0; k < KB_FAULT_COUNT; ++k) {
        per_faults += g_fault_hits[k];
        hits += " " + std::to_string(g_fault_hits[k].load());
    }
    printf("stress: %ld operations in %" PRId64
           " ms (stream %ld+%ld, file %ld, record %ld+%ld+%ld, blocking %ld, "
           "controls %ld; releaser %ld, fault settings %ld, failed calls %ld)\nstress: failed calls by fault "
           "kind:%s\n",
           run.ops / kWorkers * kWorkers, storm_ms, s_stream0.done.load(), s_stream1.done.load(),
           s_file.done.load(), s_rec0.done.load(), s_rec5.done.load(), s_rec6.done.load(), s_mova.done.load(),
           s_ctl.done.load(), s_rel.done.load(), g_faults_set.load(), per_faults, hits.c_str());
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
