// SPDX-License-Identifier: MIT
// Internal interfaces of the emulated board.
//
// One mutex guards all board state. Nothing sleeps or blocks while holding
// it, except in pthread_cond_(timed)wait on the board's one condition
// variable, which releases it. Every state change that someone may wait for
// broadcasts that condition, so waiters simply re-check their predicate.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "ka_board.h"

namespace kb {

// ---- ThreadSanitizer ------------------------------------------------------
// Its interceptors of blocking calls (read, write, poll, select) ignore the
// locks taken inside them, and the board's versions of those calls take the
// board's locks. So each lock and unlock of a board mutex is also told to it
// directly, as an acquire and a release of the mutex's address.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
inline void sync_acquire(void *m)
{
    __tsan_acquire(m);
}
inline void sync_release(void *m)
{
    __tsan_release(m);
}
#else
inline void sync_acquire(void *) {}
inline void sync_release(void *) {}
#endif

// ---- the lock and its condition -----------------------------------------
void lock();
void unlock();
// Waits on the board condition until it is broadcast or until `deadline_ns`
// (CLOCK_MONOTONIC; 0 waits without a deadline). Must hold the lock.
void wait_until(int64_t deadline_ns);
void broadcast();
int64_t now_ns();

struct Guard {
    Guard() { lock(); }
    ~Guard() { unlock(); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

// ---- the event stream (events.cpp) -------------------------------------
// One event of the board, sent when the object goes away:
//   Event("pcm_open", device, dir).num("fd", fd);
// It goes to the trace file (KA_BOARD_TRACE), to kb_events() and, with
// KA_BOARD_LOG=1, to standard error. `kind` must be a string literal.
class Event {
public:
    explicit Event(const char *kind, int device = -1, int dir = -1);
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;
    Event &num(const char *key, long long v);
    Event &str(const char *key, std::string_view v);
    Event &list(const char *key, const long *v, int n);
    // Words for the text log only.
    Event &note(std::string_view text);

private:
    // Starts a field: ,"key": in the JSON and " key=" in the text.
    void field(const char *key);

    const char *kind_;
    int device_, dir_;
    std::string fields_;  // ,"key":value...
    std::string text_;    // " key=value"...
};
bool log_on();
void events_reset();
// Taken around fork() after the board lock, so that a child never inherits
// the sink's lock held.
void events_lock();
void events_unlock();
// In a forked child (sink lock held): its own events count from 0.
void events_forked();

// ---- faults -------------------------------------------------------------
// 0 to go on, or the errno value the call must fail with. Lock held.
// `device` and `dir` say where (a PCM device), -1 when not a PCM call.
int fault_check(enum kb_fault fault, int device, int dir = -1);
const char *fault_name(enum kb_fault fault);
void faults_reset();

// ---- emulated descriptors ----------------------------------------------
enum class NodeKind { pcm, ctl, i2c };

struct PcmStream;

// An emulated open file (what the kernel calls a struct file). Descriptors
// that dup() made of it all lead to it; it is released, as the kernel
// releases a file, when its last descriptor is closed and no call that holds
// it (an ioctl, read, write) is still running.
struct Node {
    NodeKind kind;
    int fd = -1;              // the descriptor it was opened as (its events name it)
    int fds = 1;              // descriptors that lead to it
    int refs = 0;             // calls in progress on it
    bool closed = false;      // no descriptor left; released when refs drops to 0
    bool nonblock = false;    // O_NONBLOCK of the open file, as the latest call found it
    bool subscribed = false;  // control: SUBSCRIBE_EVENTS
    PcmStream *pcm = nullptr;
    int bus = -1;          // i2c
    unsigned slave = 0;    // i2c address set by I2C_SLAVE
};

// Table of emulated descriptors. Lock held.
void node_add(Node *n);  // at n->fd
void node_add_fd(int fd, Node *n);
Node *node_find(int fd);
// Removes the node of `fd` from the table (the descriptor is being closed).
Node *node_remove(int fd);
// The emulated descriptors in [first, last].
std::vector<int> node_fds_in(unsigned first, unsigned last);
int node_count();
// Cheap test without the lock: false when no emulated descriptor is open.
bool nodes_exist();
// Whether `fd` is an emulated descriptor, for the interposed calls, which
// ask it of every descriptor: no lock (except for descriptors above the
// fast table, and only while such a node exists), no allocation. The answer
// is a hint for a descriptor another thread is opening or closing at that
// moment; the calls acting on the node look it up again under the lock.
bool node_is_ours(int fd);
// Descriptor `fd` goes (closed, or replaced by dup2): the open file is
// released with its last descriptor, or by the last call still holding it.
// false when `fd` is not emulated. Lock held.
bool node_drop_fd_locked(int fd);
// Drops a reference taken by a call; releases a closed, unused node.
void node_release(Node *n);
// The release of an open file: the device's close, then the node freed.
void node_free(Node *n);
// Takes a reference on the node of `fd` for a call and notes the open file's
// O_NONBLOCK, or returns null. *flags: its file status flags. Takes the lock.
Node *node_hold(int fd, int *flags);
// The end of a call on a node from node_hold: the reference is dropped
// (under the lock) and the call answers `result`, or -1 with errno = err
// when err is set.
long node_call_end(Node *n, int err, long result);

// ---- waiting in poll() (fileops.cpp, board.cpp) ---------------------------
// An eventfd that broadcast() signals, for a thread waiting in poll(). Lock held.
void poller_add(int efd);
void poller_remove(int efd);

// ---- what a path means to the board --------------------------------------
enum class PathKind {
    none,        // not the board's: pass through untouched
    pcm,         // /dev/snd/pcmC0D<N>p|c, N in range
    ctl,         // /dev/snd/controlC0
    i2c,         // /dev/i2c-<bus> with a chip on the bus
    absent,      // a path of the emulated module that does not exist
    redirected,  // a file kept in the board's private folder
};
struct PathInfo {
    PathKind kind = PathKind::none;
    int device = -1;
    int dir = 0;
    int bus = -1;
    std::string target;  // redirected: the board's copy
};
// Classifies a path. Takes the lock itself.
PathInfo classify(const char *path);

// ---- PCM ------------------------------------------------------------------
int pcm_open(int device, int dir, int flags, mode_t mode);
// Called with the lock held when a PCM descriptor is closed.
void pcm_close_locked(Node *n);
void pcm_free(PcmStream *s);
void pcm_fill_info(void *snd_pcm_info, int device, int dir);
// The ioctl of a PCM node. Takes and drops the lock itself (may block).
int pcm_ioctl(Node *n, unsigned long req, void *arg);
void pcm_reset_locked();
void pcm_set_speed_locked(double f);
double speed_locked();
void pcm_exit_locked();
void pcm_set_output_dir_locked(const char *dir);
// A stream's negotiated format (after HW_PARAMS). Lock held.
struct PcmParams {
    int device, dir;
    unsigned format, rate, channels, frame_bytes;
};
bool pcm_params_locked(const PcmStream *s, PcmParams *out);

// ---- sound on the host (host_audio.cpp) ----------------------------------
// The clock factor of a stream: the board's, or the host's pacing. Lock held.
double host_speed_locked(const PcmStream *s, double speed);
// Frames of a playback stream handed to the host and not taken yet. Lock held.
uint64_t host_queued_locked(const PcmStream *s);
bool host_linked_locked(const PcmStream *s);
void host_forget_locked(const PcmStream *s);
// After a PCM ioctl: starts the host stream, moves its bytes. Lock not held.
void host_after_ioctl(Node *n, unsigned long req, void *arg);

// The file operations of a PCM node (pcm_fileops.cpp): write() of whole
// frames on playback, read() on capture; the poll() mask, with in *next
// (if earlier) when it may change with the clock. Lock not held / held.
int pcm_file_rw(Node *n, void *buf, size_t bytes, bool write, ssize_t *done);
short pcm_poll_locked(Node *n, int64_t now, int64_t *next);

// ---- control device -----------------------------------------------------
int ctl_ioctl(Node *n, unsigned long req, void *arg);
void ctl_reset_locked();

// ---- I2C ---------------------------------------------------------------
bool i2c_bus_exists_locked(int bus);
// Returns an errno value, or 0 with the ioctl's result in *result.
int i2c_ioctl(Node *n, unsigned long req, void *arg, int *result);
void i2c_reset_locked();
// read() and write() of an i2c-dev node: one plain message to the address
// set by I2C_SLAVE. Returns an errno value, or 0 with the bytes in *done.
int i2c_file_rw(Node *n, void *buf, size_t count, bool read, ssize_t *done);
int i2c_open_count_locked();
void i2c_opened_locked();
void i2c_closed_locked();

// ---- files, codec node, system() ----------------------------------------
// `initial`: the board's first set-up, which leaves a shared folder as it is.
void files_reset_locked(bool initial);
bool files_ensure_locked();  // private folder exists
const std::string &files_root_locked();
std::string files_copy_path_locked(const char *path);  // "" if not a board file
void files_exit();
// The whole contents of a file, read past the interposition: its size, or
// -1 when it cannot be opened.
long read_file(const std::string &path, std::string &out);
// Events for board files whose contents changed since the last look.
void files_note_changes();
int board_system(const char *cmd);

// ---- configuration -------------------------------------------------------
struct Config {
    double speed = 0;
    double period_ms = 0, buffer_ms = 0;  // 0: the default geometry
    std::string out_dir;
    bool codec_present = true;
    std::string codec_text = "alc5616-codec.2-001b\n";
    bool data_file = true;
    bool run_file = true;
    int capture_kind = 0;  // 0 silence, 1 tone, 2 wav
    double tone_freq = 0, tone_amp = 0;
    std::string capture_wav;
    struct FaultRule {
        int fault, device, skip, count, err;
    };
    std::vector<FaultRule> faults;
};
// The load-time configuration: defaults with the KA_BOARD_* environment
// applied. kb_reset() returns to it.
const Config &config();
void ensure_init();

}  // namespace kb
