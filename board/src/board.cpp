// SPDX-License-Identifier: MIT
// Board-wide pieces: the lock, the descriptor table, faults, load-time
// configuration from the environment, reset and process exit.
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string_view>
#include <unordered_map>

#include "kb_internal.h"

namespace kb {
namespace {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_cond;
pthread_once_t g_cond_once = PTHREAD_ONCE_INIT;

void init_cond()
{
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    pthread_cond_init(&g_cond, &a);
    pthread_condattr_destroy(&a);
}

// Emulated descriptors. Those below kFastFds (all of them in practice) sit
// in a static array of atomic slots: the interposed close() and ioctl() ask
// for every descriptor of the process whether it is the board's, and that
// question is answered from the slot alone, without the board lock and
// without allocating (see node_is_ours). That keeps the board out of calls
// made by runtimes at awkward moments, e.g. a sanitizer closing a file
// while it reports, possibly on a thread that holds the board lock. Slots
// are written only under the lock. Descriptors from kFastFds up go to a map,
// guarded by the lock; g_high_fds counts them.
constexpr int kFastFds = 4096;
constinit std::atomic<Node *> g_slots[kFastFds] = {};
std::atomic<int> g_high_fds{0};

// Never destroyed: descriptors may be used from atexit handlers and from
// threads that outlive main().
std::unordered_map<int, Node *> &fd_table()
{
    static auto *t = new std::unordered_map<int, Node *>();
    return *t;
}
std::atomic<int> g_emulated_fds{0};

struct FaultState {
    int device = -1, skip = 0, count = 0, err = 0;
    int seen = 0, hits = 0;
    int calls = 0;  // calls of the kind (on the selected device) since it was set
};
FaultState g_faults[KB_FAULT_COUNT];

}  // namespace

void lock()
{
    pthread_once(&g_cond_once, init_cond);
    pthread_mutex_lock(&g_lock);
}
void unlock() { pthread_mutex_unlock(&g_lock); }

int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void wait_until(int64_t deadline_ns)
{
    if (deadline_ns <= 0) {
        pthread_cond_wait(&g_cond, &g_lock);
        return;
    }
    timespec ts;
    ts.tv_sec = time_t(deadline_ns / 1000000000);
    ts.tv_nsec = long(deadline_ns % 1000000000);
    pthread_cond_timedwait(&g_cond, &g_lock, &ts);
}

void broadcast() { pthread_cond_broadcast(&g_cond); }

// ---- faults ----------------------------------------------------------------

int fault_check(enum kb_fault fault, int device, int dir)
{
    if (fault < 0 || fault >= KB_FAULT_COUNT) return 0;
    FaultState &f = g_faults[fault];
    if (f.count == 0) return 0;
    if (f.device >= 0 && device >= 0 && f.device != device) return 0;
    ++f.calls;
    if (f.seen < f.skip) {
        ++f.seen;
        return 0;
    }
    if (f.count > 0 && f.hits >= f.count) return 0;
    ++f.hits;
    int err = f.err ? f.err : EIO;
    Event e("fault", device, device >= 0 ? dir : -1);
    e.str("name", fault_name(fault)).num("errno", err).str("error", strerror(err));
    return err;
}

void faults_reset()
{
    for (auto &f : g_faults) f = FaultState{};
    for (const auto &s : config().faults) {
        FaultState &f = g_faults[s.fault];
        f.device = s.device;
        f.skip = s.skip;
        f.count = s.count;
        f.err = s.err;
    }
}

// ---- descriptor table --------------------------------------------------------

void node_add(Node *n)
{
    if (n->fd >= 0 && n->fd < kFastFds) {
        g_slots[n->fd].store(n, std::memory_order_release);
    } else {
        fd_table()[n->fd] = n;
        g_high_fds.fetch_add(1, std::memory_order_release);
    }
    g_emulated_fds.fetch_add(1, std::memory_order_relaxed);
}

Node *node_find(int fd)
{
    if (fd >= 0 && fd < kFastFds) return g_slots[fd].load(std::memory_order_acquire);
    if (g_high_fds.load(std::memory_order_relaxed) == 0) return nullptr;
    auto &t = fd_table();
    auto it = t.find(fd);
    return it == t.end() ? nullptr : it->second;
}

Node *node_remove(int fd)
{
    Node *n = nullptr;
    if (fd >= 0 && fd < kFastFds) {
        n = g_slots[fd].exchange(nullptr, std::memory_order_acq_rel);
    } else if (g_high_fds.load(std::memory_order_relaxed) != 0) {
        auto &t = fd_table();
        auto it = t.find(fd);
        if (it != t.end()) {
            n = it->second;
            t.erase(it);
            g_high_fds.fetch_sub(1, std::memory_order_release);
        }
    }
    if (n) g_emulated_fds.fetch_sub(1, std::memory_order_relaxed);
    return n;
}

int node_count()
{
    return g_emulated_fds.load(std::memory_order_relaxed);
}

bool node_is_ours(int fd)
{
    if (fd >= 0 && fd < kFastFds) return g_slots[fd].load(std::memory_order_acquire) != nullptr;
    if (g_high_fds.load(std::memory_order_acquire) == 0) return false;
    Guard g;
    return node_find(fd) != nullptr;
}

bool nodes_exist() { return g_emulated_fds.load(std::memory_order_relaxed) != 0; }

void node_release(Node *n)
{
    if (--n->refs == 0 && n->closed) node_free(n);
}

// ---- configuration -----------------------------------------------------------
namespace {

struct FaultName {
    std::string_view name;
    enum kb_fault fault;
};
constexpr FaultName kFaultNames[] = {
    {"pcm_open", KB_FAULT_PCM_OPEN},         {"pcm_ready", KB_FAULT_PCM_READY},
    {"pcm_hw_params", KB_FAULT_PCM_HW_PARAMS}, {"pcm_sw_params", KB_FAULT_PCM_SW_PARAMS},
    {"pcm_prepare", KB_FAULT_PCM_PREPARE},   {"pcm_start", KB_FAULT_PCM_START},
    {"pcm_write", KB_FAULT_PCM_WRITE},       {"pcm_read", KB_FAULT_PCM_READ},
    {"ctl_open", KB_FAULT_CTL_OPEN},         {"ctl_read", KB_FAULT_CTL_READ},
    {"ctl_write", KB_FAULT_CTL_WRITE},       {"i2c_open", KB_FAULT_I2C_OPEN},
    {"i2c_transfer", KB_FAULT_I2C_TRANSFER},
};

}  // namespace

const char *fault_name(enum kb_fault fault)
{
    for (const auto &f : kFaultNames)
        if (f.fault == fault) return f.name.data();
    return "?";
}

namespace {

// One fault: NAME[@DEVICE]:SKIP:COUNT[:ERRNO] (count -1: every call).
bool parse_fault(std::string_view s, Config::FaultRule &out)
{
    size_t c = s.find(':');
    std::string_view name = s.substr(0, c);
    int device = -1;
    size_t at = name.find('@');
    if (at != std::string_view::npos) {
        device = atoi(std::string(name.substr(at + 1)).c_str());
        name = name.substr(0, at);
    }
    int fault = -1;
    for (const auto &f : kFaultNames)
        if (f.name == name) fault = f.fault;
    if (fault < 0 || c == std::string_view::npos) return false;
    std::string rest(s.substr(c + 1));
    int skip = 0, count = 0, err = EIO;
    int got = sscanf(rest.c_str(), "%d:%d:%d", &skip, &count, &err);
    if (got < 2) return false;
    out = {fault, device, skip, count, err};
    return true;
}

Config make_config()
{
    Config c;
    if (const char *e = getenv("KA_BOARD_SPEED")) c.speed = atof(e);
    if (const char *e = getenv("KA_BOARD_PERIOD_MS")) c.period_ms = atof(e);
    if (const char *e = getenv("KA_BOARD_BUFFER_MS")) c.buffer_ms = atof(e);
    if (const char *e = getenv("KA_BOARD_OUT"); e && *e) c.out_dir = e;
    if (const char *e = getenv("KA_BOARD_CODEC")) {
        if (strcmp(e, "none") == 0) {
            c.codec_present = false;
        } else {
            c.codec_text = e;
            if (c.codec_text.empty() || c.codec_text.back() != '\n') c.codec_text += '\n';
        }
    }
    if (const char *e = getenv("KA_BOARD_FILES")) {
        std::string_view v(e);
        c.data_file = v.find("data") != std::string_view::npos;
        c.run_file = v.find("run") != std::string_view::npos;
    }
    if (const char *e = getenv("KA_BOARD_CAPTURE")) {
        std::string_view v(e);
        if (v.rfind("tone:", 0) == 0) {
            c.capture_kind = 1;
            c.tone_amp = 16384;
            sscanf(e + 5, "%lf:%lf", &c.tone_freq, &c.tone_amp);
        } else if (v.rfind("wav:", 0) == 0) {
            c.capture_kind = 2;
            c.capture_wav = e + 4;
        }
    }
    if (const char *e = getenv("KA_BOARD_FAULTS")) {
        std::string_view v(e);
        while (!v.empty()) {
            size_t comma = v.find(',');
            Config::FaultRule f;
            if (parse_fault(v.substr(0, comma), f)) c.faults.push_back(f);
            if (comma == std::string_view::npos) break;
            v = v.substr(comma + 1);
        }
    }
    return c;
}

void apply_capture_config(const Config &c)
{
    for (int d = 0; d < KB_MAX_DEVICES; ++d) {
        if (c.capture_kind == 1) kb_capture_tone(d, c.tone_freq, c.tone_amp);
        else if (c.capture_kind == 2) kb_capture_wav(d, c.capture_wav.c_str());
    }
}

std::atomic<bool> g_inited{false};
pthread_once_t g_init_once = PTHREAD_ONCE_INIT;

void before_fork()
{
    lock();
    events_lock();
}
void after_fork()
{
    events_unlock();
    unlock();
}
void after_fork_child()
{
    events_forked();
    after_fork();
}

void do_init()
{
    // A fork() never copies the lock while another thread holds it.
    pthread_atfork(before_fork, after_fork, after_fork_child);
    {
        Guard g;
        pcm_reset_locked();
        ctl_reset_locked();
        i2c_reset_locked();
        files_reset_locked(true);
        faults_reset();
        Event("board_ready").str("files", files_root_locked());
    }
    // Marked ready first: setting the capture sources goes through the API,
    // which must not wait for this initialisation to finish.
    g_inited.store(true, std::memory_order_release);
    apply_capture_config(config());

}

}  // namespace

const Config &config()
{
    static const Config *c = new Config(make_config());
    return *c;
}

void ensure_init()
{
    if (g_inited.load(std::memory_order_acquire)) return;
    pthread_once(&g_init_once, do_init);
}

}  // namespace kb

using namespace kb;

extern "C" {

void kb_reset(void)
{
    ensure_init();
    {
        Guard g;
        pcm_reset_locked();
        ctl_reset_locked();
        i2c_reset_locked();
        files_reset_locked(false);
        faults_reset();
        broadcast();
    }
    events_reset();
    apply_capture_config(config());
}

void kb_fault(enum kb_fault fault, int device, int skip, int count, int err)
{
    ensure_init();
    if (int(fault) < 0 || fault >= KB_FAULT_COUNT) return;
    Guard g;
    FaultState &f = g_faults[fault];
    f = FaultState{};
    f.device = device;
    f.skip = skip < 0 ? 0 : skip;
    f.count = count < -1 ? -1 : count;
    f.err = err;
}

int kb_fault_hits(enum kb_fault fault)
{
    if (int(fault) < 0 || fault >= KB_FAULT_COUNT) return 0;
    Guard g;
    return g_faults[fault].hits;
}

int kb_fault_calls(enum kb_fault fault)
{
    if (int(fault) < 0 || fault >= KB_FAULT_COUNT) return 0;
    Guard g;
    return g_faults[fault].calls;
}

int kb_open_fds(void)
{
    Guard g;
    return node_count();
}

}  // extern "C"

// At process exit: finish the WAV files and remove the private folder.
__attribute__((destructor)) static void kb_board_exit()
{
    if (!g_inited.load(std::memory_order_acquire)) return;
    {
        Guard g;
        pcm_exit_locked();
    }
    files_exit();
}
