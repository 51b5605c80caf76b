// SPDX-License-Identifier: MIT
// Player lifecycle: open (ring buffer, playback route, PCM stream), pause,
// resume and stop of the play thread, close (stop and wait for the play
// thread and a file play's decode thread, then release everything), the
// state report and the per-device settings made by name (the software
// volume: ka_soft_volume.cpp). The play path (ka_play_path.cpp: Play and the
// play thread) calls into this file; the waits that Stop ends are described
// there.
#define KA_LOG_FILE "ka_lib_audio"

#include <alsa_audio.h>
#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "ka_devices.h"
#include "ka_internal.h"
#include "player/ka_player_side.h"

namespace {

// Bytes per sample by ALSA format number, for sizing the ring buffer.
constexpr int bytes_per_sample(unsigned format)
{
    if (format <= 1) return 1;
    if (format <= 5) return 2;
    if (format <= 9) return 3;
    if (format <= 13) return 4;
    return 2;
}
static_assert(bytes_per_sample(2) == 2 && bytes_per_sample(6) == 3 && bytes_per_sample(14) == 2);
// The formats the devices are described with size the same.
static_assert([] {
    for (const auto &f : ka_devices::kFormats)
        if (bytes_per_sample(f.code) != int(f.bytes)) return false;
    return true;
}());

struct state_name {
    int code;
    const char *name;
};

constexpr state_name player_state_name(int state)
{
    switch (state) {
        case 0:
        case 1:
        case 5:
            return {AUD_PLAYER_FINISHED, "AUD_PLAYER_FINISHED"};
        case 2:
        case 3:
        case 7:
        case 8:
            return {AUD_PLAYER_START, "AUD_PLAYER_START"};
        case 4:
            return {AUD_PLAYER_ERROR, "AUD_PLAYER_ERROR"};
        case 6:
            return {AUD_PLAYER_PAUSE, "AUD_PLAYER_PAUSE"};
        default:
            return {AUD_PLAYER_ERROR, "Ka_AUDIOPLAY_UNKNOWN"};
    }
}

constexpr bool thread_running(int state)
{
    return state == CTX_STARTING || state == CTX_RUNNING;
}

// Close makes at most this many stop-and-wait rounds. A stopped play thread
// ends after at most one more period write, so only wake-ups that come
// while it still runs use up rounds.
constexpr int kCloseRounds = 8;

ka_pctx *lookup_dev(const char *device, int *hdl)
{
    ka_pctx *pctx = __ka_dev2pctx(ka_default_dev(device), hdl);
    if (!pctx) KA_LOGE("Get pctx from dev failed, dev = %s\n", ka_name_or_null(device));
    return pctx;
}

int handle_of(ka_pctx *pctx)
{
    const int hdl = __ka_pctx2hdl(pctx);
    return hdl >= 0 ? hdl : 0;
}

// ---- Play loop bookkeeping ------------------------------------------------------

thread_local ka_loop_thread t_play_loop;

}  // namespace

void ka_play_drop_ring(ka_pctx *pctx, ka_pctx_own &side)
{
    ka_ringbuf *rb = pctx->ringbuf;
    if (!rb) return;
    pctx->ringbuf = nullptr;
    // A writer may still sleep on it, e.g. one blocked on a full ring after
    // the play thread ended on a write error. Wake it and let it leave
    // before the condition variables go away; it finds the ring gone.
    //
    // Wait: every sleeper counted here is inside its cond_wait (the counts
    // change only under ring_lock, around the wait), so the broadcasts wake
    // them all; each needs only ring_lock, which this wait gives up, to
    // leave, and none sleeps on this ring again (ringbuf is already NULL).
    // The last one out signals drained. No fault can keep one asleep.
    while (side.space_waiters > 0 || side.data_waiters > 0) {
        assert(side.space_waiters >= 0 && side.data_waiters >= 0);
        pthread_cond_broadcast(&rb->space_cond);
        pthread_cond_broadcast(&rb->data_cond);
        pthread_cond_wait(&side.drained, &pctx->ring_lock);
    }
    ka_ringbuf_destroy(rb);
}

ka_loop_thread &ka_play_loop()
{
    return t_play_loop;
}

void ka_play_loop_leave(int hdl)
{
    if (t_play_loop.leave()) Ka_AudPlayer_Close(hdl);
}

int default_playCb(int hdl, int result)
{
    (void)hdl;
    KA_LOGD("Default play thread callback, result = %d\n", result);
    return 0;
}

int __ka_pctx_init(ka_pctx *pctx, ka_play_cb callback, unsigned flags, int channels, unsigned rate,
                   unsigned format)
{
    if (!pctx) return -1;
    const int hdl = handle_of(pctx);
    ka_pctx_own &side = ka_pctx_own_of(hdl);

    ka_store(pctx->pause, 0);
    ka_store(pctx->soft_vol_on, 0);
    pctx->inited = 1;
    pctx->callback = callback ? callback : default_playCb;

    const uint32_t product = ka_load(pctx->bufsize_ms) * static_cast<uint32_t>(bytes_per_sample(format)) *
                             static_cast<uint32_t>(channels) * rate;
    const int32_t capacity = static_cast<int32_t>(product) / 1000;

    pthread_mutex_lock(&pctx->ring_lock);
    // A ring left behind by an earlier failed open is released, not reused:
    // the new one may need another size.
    ka_play_drop_ring(pctx, side);
    ka_ringbuf *rb = ka_ringbuf_create(capacity);
    if (!rb) {
        KA_LOGE("pctx init ring buffer failed\n");
        pthread_mutex_unlock(&pctx->ring_lock);
        return -1;
    }
    pctx->ringbuf = rb;
    pthread_mutex_unlock(&pctx->ring_lock);
    KA_LOGD("Malloc ring buffer size = %d\n", capacity);

    __ka_pctx_set_path(pctx, 1);

    pctx->pcm = __ka_pcm_open(pctx->dev_name, flags, channels, rate, format);
    if (!pctx->pcm) {
        KA_LOGE("Pcm open failed, hdl = %d\n", hdl);
        return -1;
    }
    // Chosen behaviour: a ring that cannot hold one whole period could never
    // feed the play thread (Play would block forever on it), so such an open
    // is refused and its stream closed at once; the ring and the route stay
    // for Close, as after a failed stream open.
    const unsigned period = pctx->pcm->period_size;
    if (period == 0 || period > static_cast<unsigned>(capacity)) {
        KA_LOGE("Ring buffer size %d is smaller than one period of %u bytes, hdl = %d\n", capacity, period,
                hdl);
        pcm_close(pctx->pcm);
        pctx->pcm = nullptr;
        return -1;
    }
    ka_store(pctx->write_chunk, period);
    return 0;
}

int __ka_pctx_deinit(ka_pctx *pctx)
{
    if (!pctx) return -1;
    ka_pctx_own &side = ka_pctx_own_of(handle_of(pctx));
    pctx->inited = 0;
    ka_store(pctx->pause, 0);
    ka_store(pctx->soft_vol_on, 0);
    pctx->callback = default_playCb;
    if (ka_pcm_live(pctx->pcm)) pcm_close(pctx->pcm);
    ka_store(pctx->write_chunk, 320u);
    pctx->pcm = &closed_pcm;
    __ka_pctx_set_path(pctx, 0);
    pthread_mutex_lock(&pctx->ring_lock);
    ka_play_drop_ring(pctx, side);
    pthread_mutex_unlock(&pctx->ring_lock);
    return 0;
}

int Ka_AudPlayer_OpenExt(const char *device, ka_play_cb callback, unsigned flags, int channels, unsigned rate,
                         unsigned format)
{
    int hdl = -1;
    ka_pctx *pctx = __ka_dev2pctx(ka_default_dev(device), &hdl);
    if (!pctx) {
        KA_LOGE("Get pctx failed, device: %s\n", ka_name_or_null(device));
        return -1;
    }
    pthread_mutex_lock(&pctx->state_lock);
    if (pctx->state != CTX_CLOSED) {
        KA_LOGE("Pctx already opened, hdl = %d\n", hdl);
        pthread_mutex_unlock(&pctx->state_lock);
        return -1;
    }
    if (__ka_pctx_init(pctx, callback, flags, channels, rate, format) < 0) {
        KA_LOGE("Init pctx failed, hdl = %d\n", hdl);
        pthread_mutex_unlock(&pctx->state_lock);
        return -1;
    }
    ka_store(pctx->state, static_cast<int>(CTX_OPENED));
    ka_pctx_own &own = ka_pctx_own_of(hdl);
    ka_advance(own.gen);  // threads of what played before are stale now
    pthread_mutex_unlock(&pctx->state_lock);
    return hdl;
}

int Ka_AudPlayer_Open(const char *device, ka_play_cb callback)
{
    return Ka_AudPlayer_OpenExt(device, callback, 0, 1, 8000, 2);
}

int Ka_AudPlayer_Pause(int hdl)
{
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) {
        KA_LOGE("Get pctx from hdl failed, hdl = %d\n", hdl);
        return -1;
    }
    pthread_mutex_lock(&pctx->state_lock);
    ka_store(pctx->pause, 1);
    pthread_mutex_unlock(&pctx->state_lock);
    return 0;
}

int Ka_AudPlayer_Resume(int hdl)
{
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) {
        KA_LOGE("Get pctx from hdl failed, hdl = %d\n", hdl);
        return -1;
    }
    pthread_mutex_lock(&pctx->state_lock);
    ka_store(pctx->pause, 0);
    pthread_cond_signal(&pctx->resume_cond);
    pthread_mutex_unlock(&pctx->state_lock);
    return 0;
}

int ka_player_stop(int hdl, const unsigned *gen)
{
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) {
        KA_LOGE("Get pctx from hdl failed, hdl = %d\n", hdl);
        return -1;
    }
    ka_pctx_own &own = ka_pctx_own_of(hdl);
    // The flag is raised before any lock is taken, so that every sleeper
    // that tests it under its lock either sees it or is woken below. A stop
    // for a generation raises it only under state_lock, once the generation
    // is found current: a stale file play thread never stops a player that
    // was opened since.
    if (!gen) ka_store(pctx->stop, 1);
    pthread_mutex_lock(&pctx->state_lock);
    if (gen && ka_load(own.gen) != *gen) {
        pthread_mutex_unlock(&pctx->state_lock);
        return 0;
    }
    // Counted under state_lock, which the start of a play thread (clearing
    // the flag) also holds: a file play's main thread compares the count
    // around its start, so that a stop made before that start is not lost.
    ka_advance(own.stops);
    ka_store(pctx->stop, 1);
    // A play thread that has not yet paused sees the stop flag before it
    // would sleep (it tests it under state_lock); one that has paused is
    // found in CTX_PAUSED here and resumed, as Ka_AudPlayer_Resume does.
    if (pctx->state == CTX_PAUSED) {
        ka_store(pctx->pause, 0);
        pthread_cond_signal(&pctx->resume_cond);
    }
    pthread_mutex_unlock(&pctx->state_lock);

    pthread_mutex_lock(&pctx->ring_lock);
    if (ka_ringbuf *rb = pctx->ringbuf) {
        if (rb->reader_waiting || own.data_waiters > 0) pthread_cond_signal(&rb->data_cond);
        ka_play_wake_writers(rb, own);
    }
    pthread_mutex_unlock(&pctx->ring_lock);
    return 0;
}

int Ka_AudPlayer_Stop(int hdl)
{
    return ka_player_stop(hdl, nullptr);
}

namespace {

enum class ThreadEnd { ended, failed, stale };

// Stop-and-wait rounds of a close while a play thread runs (or is found
// paused after a stop, which has resumed it and is on its way out: it is
// waited for like a running one, so that "stop, then close" never fails on
// that short moment; a player paused without a stop is left to the close's
// refusal).
ThreadEnd end_play_thread(int hdl, ka_pctx *pctx, const ka_pctx_own &own, const unsigned *gen)
{
    const int state = ka_load(pctx->state);
    if (!thread_running(state) && !(state == CTX_PAUSED && ka_load(pctx->stop))) return ThreadEnd::ended;
    for (int round = 0; round < kCloseRounds; ++round) {
        if (gen && ka_load(own.gen) != *gen) return ThreadEnd::stale;  // closed (maybe opened) meanwhile
        ka_player_stop(hdl, gen);
        pthread_mutex_lock(&pctx->state_lock);
        // CTX_PAUSED counts as running here: our stop has resumed a thread
        // that paused meanwhile, and it is on its way out.
        //
        // Wait: woken by the play thread's last step (finish_thread), which
        // every thread that reached CTX_STARTING makes, whatever ended it
        // (stop, write error, no buffer or ring). The stop above ends a
        // sleeping or paused thread at once; one inside pcm_write ends after
        // that write (see __ka_pctx_write). A close from the player's own
        // callback never gets here (see ka_player_close).
        if (thread_running(pctx->state) || pctx->state == CTX_PAUSED)
            pthread_cond_wait(&pctx->state_cond, &pctx->state_lock);
        const bool ended = !thread_running(pctx->state) && pctx->state != CTX_PAUSED;
        pthread_mutex_unlock(&pctx->state_lock);
        if (ended) return ThreadEnd::ended;
    }
    return ThreadEnd::failed;
}

}  // namespace

void ka_player_close(int hdl, const unsigned *gen)
{
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) return;
    ka_pctx_own &own = ka_pctx_own_of(hdl);
    if (gen && ka_load(own.gen) != *gen) return;

    // Chosen behaviour: a close made by the player's callback runs in the
    // play thread, and waiting below for that thread's end would wait for
    // ever. The thread is stopped and closes the player itself as its last
    // step, once it has ended.
    if (ka_loop_thread &loop = ka_play_loop(); loop.runs(hdl)) {
        ka_player_stop(hdl, gen);
        loop.close_asked = true;
        return;
    }

    bool retired = false;
    for (int pass = 0;; ++pass) {
        const ThreadEnd end = end_play_thread(hdl, pctx, own, retired ? nullptr : gen);
        if (end == ThreadEnd::stale) return;
        if (end == ThreadEnd::failed) {
            KA_LOGD("Audio Player close failed, state = %d\n", ka_load(pctx->state));
            return;
        }
        pthread_mutex_lock(&pctx->state_lock);
        for (;;) {
            if (gen && !retired && ka_load(own.gen) != *gen) break;
            // A play thread started since the rounds above (by the main
            // thread of a file play set up just before this close, which
            // had checked its generation before the close retired it):
            // stopped and waited for again.
            if (thread_running(pctx->state) && pass < kCloseRounds) break;
            if (pctx->state > CTX_OPENED) {
                KA_LOGD("Audio Player close wrong, state = %d\n", pctx->state);
                pthread_mutex_unlock(&pctx->state_lock);
                return;
            }
            // Chosen behaviour: the close retires whatever file play ran on
            // the player (it advances the generation, so that no thread of
            // that play pushes into, starts, stops or closes what the
            // device holds next) and returns only once the play's decode
            // thread has ended, so that the caller may close the play's
            // descriptor as soon as the player reads closed. A close by the
            // file play's own main thread finds its decode thread joined.
            if (!retired) {
                ka_advance(own.gen);
                retired = true;
            }
            if (own.decoders == 0) {
                if (pctx->inited) __ka_pctx_deinit(pctx);
                // Released: a thread that reads the closed state (GetState)
                // also sees everything done before, e.g. a file play's
                // decode thread ended, so that its caller may close the
                // descriptor it handed in.
                __atomic_store_n(&pctx->state, static_cast<int>(CTX_CLOSED), __ATOMIC_RELEASE);
                pthread_mutex_unlock(&pctx->state_lock);
                KA_LOGD("Audio Player closed\n");
                return;
            }
            // Wait: woken by each file play's main thread when its decode
            // thread has ended (joined) or will never be started. With the
            // generation advanced and the play thread ended, a decode thread
            // ends at its next data write ("not match"); what can hold it is
            // its current read of the caller's descriptor (a pipe nobody
            // writes to).
            assert(own.decoders > 0);
            pthread_cond_wait(&pctx->state_cond, &pctx->state_lock);
        }
        pthread_mutex_unlock(&pctx->state_lock);
        if (gen && !retired && ka_load(own.gen) != *gen) return;  // stale before this close retired anything
    }
}

// Returns 0 whatever happened; the outcome is told by the log.
int Ka_AudPlayer_Close(int hdl)
{
    ka_player_close(hdl, nullptr);
    return 0;
}

const char *Ka_AudPlayer_GetState(int hdl, int *code)
{
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) {
        KA_LOGE("Get pctx from hdl failed, hdl = %d\n", hdl);
        return "No Such Device";
    }
    const state_name s = player_state_name(__atomic_load_n(&pctx->state, __ATOMIC_ACQUIRE));
    if (code) *code = s.code;
    return s.name;
}

int Ka_AudPlayer_SetBufsize_ms(const char *device, unsigned ms)
{
    if (ms > 1000) return -1;
    int hdl = -1;
    ka_pctx *pctx = lookup_dev(device, &hdl);
    if (!pctx) return -1;
    ka_store(pctx->bufsize_ms, ms);  // used at the next open
    return 0;
}

int Ka_AudPlayer_GetInterface(const char *device, unsigned *mask)
{
    int hdl = -1;
    ka_pctx *pctx = lookup_dev(device, &hdl);
    if (!pctx) return -1;
    if (!mask) return -1;
    *mask = ka_load(pctx->path_mask);
    return 0;
}

int Ka_AudPlayer_SetInterface(const char *device, unsigned mask)
{
    int hdl = -1;
    ka_pctx *pctx = lookup_dev(device, &hdl);
    if (!pctx) return -1;
    ka_store(pctx->path_mask, mask);  // switched with at the next open and close
    return 0;
}
