// SPDX-License-Identifier: MIT
// Streaming play path: Ka_AudPlayer_Play hands bytes to the context's ring
// buffer, the play thread takes them out one PCM period at a time, scales
// them by the software volume and writes them to the stream. Pause, Resume
// and Stop (in ka_player.cpp, with the software volume) steer the play
// thread; this file calls into the player file, never the other way round.
//
// Waits and wake-ups. The writer sleeps on the ring's space_cond, the play
// thread on its data_cond, both with ring_lock; the paused play thread
// sleeps on resume_cond and Close on state_cond, both with state_lock. Every
// sleeper tests, under the lock it sleeps with, both what it waits for and
// the stop flag, and Stop raises the flag before it takes each lock to wake
// the sleepers, so no wake-up can fall between a test and a wait.
#define KA_LOG_FILE "ka_lib_audio"

#include <alsa_audio.h>
#include <stdint.h>
#include <stdlib.h>

#include "ka_internal.h"
#include "player/ka_player_side.h"

namespace {

// ---- Ring sleeps ---------------------------------------------------------------

// Generation a is older than b (the counters may wrap).
inline bool older(unsigned a, unsigned b)
{
    return static_cast<int>(a - b) < 0;
}

// The rest of a wait on one of `rb`'s condition variables: if the ring was
// taken out of the context meanwhile, the last sleeper to leave lets the
// close go on and destroy it. Returns true while the ring is still the
// context's. Called with ring_lock held.
bool leave_ring_wait(ka_pctx *pctx, ka_pctx_own &side, ka_ringbuf *rb)
{
    if (pctx->ringbuf == rb) return true;
    if (side.space_waiters == 0 && side.data_waiters == 0) pthread_cond_signal(&side.drained);
    return false;
}

// A writer's sleep on space_cond. Returns true when the ring is still there.
//
// Wait: woken by the play thread (half the ring free, or its first ring
// check for a start handshake), by Stop, by the play thread's end
// (finish_thread) and by a Close or failed open taking the ring away
// (ka_play_drop_ring). The callers test under ring_lock, before they sleep,
// the stop flag and whether a thread runs, so each of these either finds
// the writer asleep or is seen by it first. Only a paused player keeps a
// writer here for as long as nobody resumes or stops it, as it should.
bool writer_sleep(ka_pctx *pctx, ka_pctx_own &side, ka_ringbuf *rb)
{
    rb->writer_waiting = 1;
    ++side.space_waiters;
    pthread_cond_wait(&rb->space_cond, &pctx->ring_lock);
    --side.space_waiters;
    if (!leave_ring_wait(pctx, side, rb)) return false;  // gone: nothing to clear
    // Another writer may still sleep (one woken by a stop and a new one in
    // a start handshake); the flag stays up as long as anybody does.
    rb->writer_waiting = side.space_waiters > 0;
    return true;
}

// The play thread has passed its first ring check (or ends without it):
// release a Play that waits in the start handshake. ring_lock held.
void mark_passed(ka_pctx *pctx, ka_pctx_own &side, unsigned gen)
{
    if (older(side.passed, gen)) side.passed = gen;
    if (pctx->ringbuf) ka_play_wake_writers(pctx->ringbuf, side);
}

void mark_passed_locked(ka_pctx *pctx, ka_pctx_own &side, unsigned gen)
{
    pthread_mutex_lock(&pctx->ring_lock);
    mark_passed(pctx, side, gen);
    pthread_mutex_unlock(&pctx->ring_lock);
}

void report(ka_pctx *pctx, int hdl, int result)
{
    if (auto cb = pctx->callback) cb(hdl, result);
}

// The play thread's last step: back to CTX_OPENED, wake a waiting Close,
// and wake a writer that sleeps on a full ring. Nothing drains the ring any
// more; the writer finds CTX_OPENED and leaves (Play returns -1 unless a
// stop ended the thread). The state is written before ring_lock is taken
// (state_lock before ring_lock), so a writer that tests it under ring_lock
// either sees it or is still to be woken here.
void finish_thread(ka_pctx *pctx, ka_pctx_own &side)
{
    pthread_mutex_lock(&pctx->state_lock);
    ka_store(pctx->state, static_cast<int>(CTX_OPENED));
    pthread_cond_broadcast(&pctx->state_cond);
    pthread_mutex_lock(&pctx->ring_lock);
    if (pctx->ringbuf) ka_play_wake_writers(pctx->ringbuf, side);
    pthread_mutex_unlock(&pctx->ring_lock);
    pthread_mutex_unlock(&pctx->state_lock);
}

// ---- Play thread -------------------------------------------------------------------

void *play_thread(void *arg)
{
    const int hdl = ka_arg_hdl(arg);
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) {
        KA_LOGE("Get pctx failed\n");
        return nullptr;
    }
    ka_play_loop().hdl = hdl;
    KA_LOGD("Audio play thread\n");
    ka_pctx_own &side = ka_pctx_own_of(hdl);

    pthread_mutex_lock(&pctx->state_lock);
    const unsigned gen = side.started;
    const int state = pctx->state;
    if (state != CTX_STARTING) {
        KA_LOGE("pctx not open or already playing, hdl = %d, state = %d\n", hdl, state);
        pthread_mutex_unlock(&pctx->state_lock);
        mark_passed_locked(pctx, side, gen);
        return nullptr;
    }
    ka_store(pctx->state, static_cast<int>(CTX_RUNNING));
    pthread_mutex_unlock(&pctx->state_lock);

    // The stream and its period size were fixed by the open, before the
    // state_lock section above.
    const unsigned period = pctx->pcm->period_size;
    auto *buf = static_cast<unsigned char *>(malloc(period));
    bool passed = false;
    if (!buf) {
        KA_LOGE("mallloc periodBuf failed\n");
        mark_passed_locked(pctx, side, gen);
        report(pctx, hdl, AUD_PLAYER_FINISHED);
        finish_thread(pctx, side);
        KA_LOGE("Play task end\n");
        ka_play_loop_leave(hdl);
        return nullptr;
    }

    for (;;) {
        if (ka_load(pctx->stop)) break;

        bool stopped = false;
        while (ka_load(pctx->pause)) {
            pthread_mutex_lock(&pctx->state_lock);
            // A stop raised before this test keeps the thread from pausing;
            // one raised later finds CTX_PAUSED and resumes it.
            if (pctx->pause && !ka_load(pctx->stop)) {
                ka_store(pctx->state, static_cast<int>(CTX_PAUSED));
                // Paused before the first ring check (a pause made before
                // the first Play): the Play that started this thread waits
                // in the start handshake and is released here, after the
                // state already reads paused, so it can fill the ring while
                // the player is held. (state_lock before ring_lock.)
                if (!passed) {
                    passed = true;
                    mark_passed_locked(pctx, side, gen);
                }
                // Wait: woken by Resume, or by Stop through Resume. Close never
                // waits for a paused thread without a stop (it refuses), so
                // a pause that is never resumed holds only this thread (and
                // a writer sleeping on the full ring), as asked.
                pthread_cond_wait(&pctx->resume_cond, &pctx->state_lock);
                ka_store(pctx->state, static_cast<int>(CTX_RUNNING));
            }
            pthread_mutex_unlock(&pctx->state_lock);
            if (ka_load(pctx->stop)) {
                stopped = true;
                break;
            }
        }
        if (stopped) break;

        pthread_mutex_lock(&pctx->ring_lock);
        ka_ringbuf *rb = pctx->ringbuf;
        if (!rb) {
            KA_LOGE("pctx error, ring buffer is not ready\n");
            if (!passed) mark_passed(pctx, side, gen);
            passed = true;
            pthread_mutex_unlock(&pctx->ring_lock);
            break;
        }
        if (!passed) {
            // First ring check of this thread: a Play waiting in the start
            // handshake may go on.
            passed = true;
            mark_passed(pctx, side, gen);
        } else if (ka_ringbuf_free(rb) >= rb->size / 2) {
            ka_play_wake_writers(rb, side);
        }

        if (ka_ringbuf_get(rb, buf, static_cast<int32_t>(period)) > 0) {
            pthread_mutex_unlock(&pctx->ring_lock);
            // Wait: in the device write (see __ka_pctx_write), no lock held.
            const int ret = pctx->write(pctx, buf, period);
            if (ret < 0) {
                KA_LOGE("pcm_write failed, hdl = %d, ret = %d\n", hdl, ret);
                report(pctx, hdl, AUD_PLAYER_ERROR);
                break;
            }
            continue;
        }
        if (ka_load(pctx->stop)) {  // no sleep once a stop has been asked for
            pthread_mutex_unlock(&pctx->ring_lock);
            break;
        }
        // Wait: for data, woken by a Play that has filled half the ring, by
        // Stop and by a Close taking the ring away. A player that is open
        // with nobody playing keeps its thread here, idle, until one of
        // them comes; a Close always does (it stops first).
        rb->reader_waiting = 1;
        ++side.data_waiters;
        pthread_cond_wait(&rb->data_cond, &pctx->ring_lock);
        --side.data_waiters;
        if (!leave_ring_wait(pctx, side, rb)) {
            pthread_mutex_unlock(&pctx->ring_lock);
            break;
        }
        rb->reader_waiting = 0;
        pthread_mutex_unlock(&pctx->ring_lock);
    }

    KA_LOGD("Ending play task, stop = %d, hdl = %d\n", ka_load(pctx->stop), hdl);
    if (!passed) mark_passed_locked(pctx, side, gen);
    report(pctx, hdl, AUD_PLAYER_FINISHED);
    finish_thread(pctx, side);
    free(buf);
    KA_LOGE("Play task end\n");
    ka_play_loop_leave(hdl);
    return nullptr;
}

// Start handshake of the Play that started the play thread: wait until
// that thread has passed its first ring check. It wakes the writer there,
// and it also counts its generation as passed under ring_lock, so a thread
// that got there before this Play took the lock is not waited for.
//
// Wait: every way out of the play thread marks its generation passed first
// (refusal, no buffer, a pause before the first check, a stop, a missing
// ring), so the writer is released however the thread ends; Stop and a
// Close taking the ring release it too.
int start_handshake(ka_pctx *pctx, int hdl)
{
    ka_pctx_own &side = ka_pctx_own_of(hdl);
    const unsigned target = ka_load(side.started);
    pthread_mutex_lock(&pctx->ring_lock);
    ka_ringbuf *rb = pctx->ringbuf;
    if (!rb) {
        KA_LOGE("pctx error, ring buffer is not ready\n");
        pthread_mutex_unlock(&pctx->ring_lock);
        return -1;
    }
    rb->writer_waiting = 1;
    bool present = true;
    while (older(side.passed, target) && !ka_load(pctx->stop)) {
        present = writer_sleep(pctx, side, rb);
        if (!present) break;
        rb->writer_waiting = 1;
    }
    if (present) rb->writer_waiting = side.space_waiters > 0;
    pthread_mutex_unlock(&pctx->ring_lock);
    return 0;
}

}  // namespace

// ---- Default operations -------------------------------------------------------------

int __ka_pctx_write(ka_pctx *pctx, void *buf, unsigned len)
{
    if (!pctx || !buf || len == 0) return -1;
    if (ka_load(pctx->soft_vol_on)) pctx->soft_volume(static_cast<int>(ka_load(pctx->soft_vol)), buf, len);
    // Wait: pcm_write blocks until the device has room for the period, woken
    // by the device clock; an under-run is recovered in the platform layer
    // and a failing device returns an error at once, which ends the play
    // thread. Stop cannot cut the write short: a stop is seen after it, at
    // most one period later. A device whose clock stopped keeps it waiting
    // until the driver gives up (its DMA timeout fails the write), and with
    // it a Close or file play end that waits for this thread.
    return pcm_write(pctx->pcm, buf, len) < 0 ? -1 : 0;
}

int __ka_pctx_start_play(int hdl)
{
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) {
        KA_LOGE("Get pctx from hdl failed, hdl = %d\n", hdl);
        return -1;
    }
    pthread_mutex_lock(&pctx->state_lock);
    if (pctx->state != CTX_OPENED) {
        KA_LOGE("Wrong state when creating play thread, hdl = %d, state = %d\n", hdl, pctx->state);
        pthread_mutex_unlock(&pctx->state_lock);
        return -1;
    }
    if (ka_start_detached(play_thread, hdl) != 0) {
        KA_LOGE("Create play thread failed.\n");
        pthread_mutex_unlock(&pctx->state_lock);
        return -1;
    }
    // The new thread reads these under state_lock, after this unlock.
    ka_pctx_own &side = ka_pctx_own_of(hdl);
    ka_store(side.started, side.started + 1);
    ka_store(pctx->state, static_cast<int>(CTX_STARTING));
    ka_store(pctx->stop, 0);
    pthread_mutex_unlock(&pctx->state_lock);
    return 0;
}

// ---- Exported operations -----------------------------------------------------------

namespace {

int play(int hdl, const void *buf, unsigned len, bool may_start)
{
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) {
        KA_LOGE("Get pctx failed, hdl = %d\n", hdl);
        return -1;
    }
    // Chosen behaviour: bytes from a NULL buffer are refused before anything
    // is started, rather than read from address 0.
    if (!buf && len != 0) return -1;

    const int state = ka_load(pctx->state);
    if (state == CTX_CLOSED) {
        KA_LOGE("pctx not open, hdl = %d\n", hdl);
        return -1;
    }
    // Takes nothing, like a Play after the thread ended: a push with no
    // play thread running, and a Play made by the player's callback in its
    // own play thread. That callback runs only when the thread is ending
    // (results -1 and 5), so nothing will drain the ring any more, and a
    // Play waiting for room there would wait for itself.
    if ((state == CTX_OPENED && !may_start) || ka_play_loop().runs(hdl)) {
        if (ka_load(pctx->stop)) return 0;
        KA_LOGE("Play thread not running, hdl = %d\n", hdl);
        return -1;
    }
    if (state == CTX_OPENED) {
        if (pctx->start_play(hdl) < 0) {
            KA_LOGE("Start play thread failed, hdl = %d\n", hdl);
            return -1;
        }
        if (start_handshake(pctx, hdl) < 0) return -1;
    }

    ka_pctx_own &side = ka_pctx_own_of(hdl);
    const auto *src = static_cast<const unsigned char *>(buf);
    unsigned written = 0;
    while (written != len) {
        if (ka_load(pctx->stop)) return 0;
        unsigned chunk = ka_load(pctx->write_chunk);
        if (chunk == 0 || len - written < chunk) chunk = len - written;

        pthread_mutex_lock(&pctx->ring_lock);
        ka_ringbuf *rb = pctx->ringbuf;
        if (!rb) {
            KA_LOGE("pctx error, ring buffer is not ready\n");
            pthread_mutex_unlock(&pctx->ring_lock);
            return -1;
        }
        if (rb->writer_waiting) {
            KA_LOGE("Write pctx blocked by other thread\n");
            pthread_mutex_unlock(&pctx->ring_lock);
            return static_cast<int>(written);
        }
        const int32_t put = ka_ringbuf_put(rb, src + written, static_cast<int32_t>(chunk));
        if (put <= 0) {
            // Full: sleep for space unless a stop has already been asked for
            // (the stop test at the top of the loop then returns). Only the
            // play thread makes space. If it has ended without a stop (a
            // write failure, already reported to the callback with -1 and
            // 5), the player is back in CTX_OPENED and nothing would ever
            // wake this writer: the Play fails instead, and the next Play
            // starts a new thread.
            //
            // The sleep is woken by the play thread (half the ring free),
            // by Stop, by the play thread's end (finish_thread) and by a
            // Close taking the ring away (ka_play_drop_ring).
            if (!ka_load(pctx->stop)) {
                if (ka_load(pctx->state) == CTX_OPENED) {
                    KA_LOGE("Play thread not running, hdl = %d\n", hdl);
                    pthread_mutex_unlock(&pctx->ring_lock);
                    return -1;
                }
                writer_sleep(pctx, side, rb);
            }
            pthread_mutex_unlock(&pctx->ring_lock);
            continue;
        }
        written += static_cast<unsigned>(put);
        if ((rb->reader_waiting || side.data_waiters > 0) && ka_ringbuf_used(rb) >= rb->size / 2)
            pthread_cond_signal(&rb->data_cond);
        pthread_mutex_unlock(&pctx->ring_lock);
    }
    return static_cast<int>(written);
}

}  // namespace

int Ka_AudPlayer_Play(int hdl, const void *buf, unsigned len)
{
    return play(hdl, buf, len, true);
}

int ka_player_push(int hdl, const void *buf, unsigned len)
{
    return play(hdl, buf, len, false);
}

int Ka_AudPlayer_RawPlay(void)
{
    return 0;
}
