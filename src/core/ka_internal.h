// SPDX-License-Identifier: MIT
// Internal interface shared by the library's subsystems. Nothing here is
// exported: the linker version script keeps these names local.
#pragma once

#include <android/log.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>

#include "ka_lib_audio.h"

struct pcm;

// Logging. Every message goes to the platform log with the empty tag; the
// format starts with "%s[%d]:" filled with the source file name of the
// translation unit (KA_LOG_FILE, defined before this header is included)
// and the source line.
#ifndef KA_LOG_FILE
#error "define KA_LOG_FILE before including ka_internal.h"
#endif
#define KA_LOGD(fmt, ...) \
    __android_log_print(ANDROID_LOG_DEBUG, "", "%s[%d]:" fmt, KA_LOG_FILE, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define KA_LOGE(fmt, ...) \
    __android_log_print(ANDROID_LOG_ERROR, "", "%s[%d]:" fmt, KA_LOG_FILE, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// Shown in a lookup failure when the caller gave no device name.
inline const char *ka_name_or_null(const char *name) { return name ? name : "NULL"; }
// Device-name defaulting: NULL selects the first device.
inline const char *ka_default_dev(const char *name) { return name ? name : "hw:0,0"; }

// ---- Stream slots ----------------------------------------------------------

// Placeholder stream record of a closed context (descriptor -1).
extern struct pcm closed_pcm;

// True when a stream slot holds a live stream (neither NULL nor closed_pcm).
inline bool ka_pcm_live(const struct pcm *p) { return p != nullptr && p != &closed_pcm; }

// ---- PCM stream setup --------------------------------------------------------

struct pcm *__ka_pcm_open(const char *device, unsigned flags, int channels, unsigned rate,
                          unsigned format);
int __ka_pcm_setParams(struct pcm *pcm);

// Open flags of the platform (the channel bits are ka_devices::kChannels).
constexpr unsigned KA_PCM_IN = 0x10000000u;
constexpr unsigned KA_PCM_MMAP = 0x00010000u;

// ---- Byte ring buffer -----------------------------------------------------

// The ring between Ka_AudPlayer_Play and the play thread. Capacity C, C + 1
// storage bytes right behind the header, indices modulo C + 1. Callers hold
// the context's ring_lock around every operation.
struct ka_ringbuf {
    int32_t rd;
    int32_t wr;
    int writer_waiting;
    int reader_waiting;
    pthread_cond_t space_cond;
    pthread_cond_t data_cond;
    int32_t size;

    unsigned char *data() { return reinterpret_cast<unsigned char *>(this + 1); }
};

// Allocates and initialises a ring of capacity `capacity` (indices, flags,
// both condition variables); NULL when it cannot be had (negative or
// overflowing capacities included).
ka_ringbuf *ka_ringbuf_create(int32_t capacity);
// Destroys the condition variables and frees the block.
void ka_ringbuf_destroy(ka_ringbuf *rb);

int32_t ka_ringbuf_put(ka_ringbuf *rb, const void *src, int32_t n);
int32_t ka_ringbuf_get(ka_ringbuf *rb, void *dst, int32_t n);
int32_t ka_ringbuf_free(const ka_ringbuf *rb);
int32_t ka_ringbuf_used(const ka_ringbuf *rb);

// ---- Default per-context operations ------------------------------------------

int __ka_pctx_start_play(int hdl);
int __ka_pctx_write(ka_pctx *pctx, void *buf, unsigned len);
int __ka_soft_volume(int vol, void *buf, unsigned len);
int __ka_cctx_read(ka_cctx *cctx, void *buf, unsigned len);

// The capture thread body; run by a started recorder's thread and inside the
// record-file thread.
void *__ka_capture_thread(void *arg);

// ---- Plain flags ----------------------------------------------------------

// Flags that are written and read without a lock (stop requests, software
// volume, route masks, ring length) are accessed through these, so that a
// reader always sees a whole value and the accesses are not data races.
template <typename T>
inline T ka_load(const T &field)
{
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}
template <typename T, typename V>
inline void ka_store(T &field, V value)
{
    __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELAXED);
}

// ---- Worker threads ----------------------------------------------------------

// The library's worker threads (play, capture, record-file) take their
// context's handle as their argument.
inline void *ka_hdl_arg(int hdl) { return reinterpret_cast<void *>(static_cast<intptr_t>(hdl)); }
inline int ka_arg_hdl(void *arg) { return static_cast<int>(reinterpret_cast<intptr_t>(arg)); }

// Starts `body(handle)` in a detached thread, storing its id through `tid`
// when one is given. 0, or the non-zero result of the failing pthread call.
inline int ka_start_detached(void *(*body)(void *), int hdl, pthread_t *tid = nullptr)
{
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    pthread_t id;
    rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0) rc = pthread_create(&id, &attr, body, ka_hdl_arg(hdl));
    pthread_attr_destroy(&attr);
    if (rc == 0 && tid != nullptr) *tid = id;
    return rc;
}

// Which handle's worker loop (play thread, capture loop) runs in the calling
// thread, and whether that loop's callback asked for a close. A close made
// from the callback cannot wait there for the loop's end, so the loop makes
// it itself as its very last step. Each kind of loop has its own
// thread_local one.
struct ka_loop_thread {
    int hdl = -1;
    bool close_asked = false;

    bool runs(int h) const { return hdl == h; }
    // The loop's last step: the thread no longer counts as the handle's.
    // True when the callback asked for a close, which the caller makes now.
    bool leave()
    {
        hdl = -1;
        const bool asked = close_asked;
        close_asked = false;
        return asked;
    }
};

// ---- Play path -------------------------------------------------------------------

// Ka_AudPlayer_Play without its first step: it never starts a play thread.
// A player whose thread has ended (or never started) takes nothing: 0 when
// a stop has been asked for, -1 otherwise. The data-write callback of file
// playback pushes through it, so that a decode thread can never start a new
// play thread behind one that ended on a device failure (the file play's
// main thread alone starts it).
int ka_player_push(int hdl, const void *buf, unsigned len);

// ---- Small RAII helpers -------------------------------------------------------

// Releases a block from malloc or calloc: the deleter of the unique_ptrs
// that own one.
struct KaFreeDeleter {
    void operator()(void *p) const { free(p); }
};

// Holds a pthread mutex for the life of the object.
class KaLock {
public:
    explicit KaLock(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~KaLock() { pthread_mutex_unlock(&m_); }
    KaLock(const KaLock &) = delete;
    KaLock &operator=(const KaLock &) = delete;

private:
    pthread_mutex_t &m_;
};
