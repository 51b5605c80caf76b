// SPDX-License-Identifier: MIT
// Recorder: open a capture stream with its route, run a capture thread that
// hands every period to the caller's callback, stop, close and report.
// The H-forms take the handle; the plain forms act on handle 0 ("hw:0,0").
#define KA_LOG_FILE "ka_lib_audio"

#include <alsa_audio.h>
#include <assert.h>
#include <stdint.h>
#include <stdlib.h>

#include "ka_ctx_own.h"
#include "ka_internal.h"

namespace {

// A state value without a name, which nothing in the library writes: it is
// CTX_RUNNING with bit 2 set, as CTX_PAUSED is CTX_STARTING with it, and is
// taken for a running capture thread.
constexpr int kRunningBit2 = CTX_RUNNING | 4;
static_assert(kRunningBit2 == 7 && CTX_PAUSED == (CTX_STARTING | 4));

// Busy states: a capture thread has been started and close must wait for
// it (the values that become CTX_STARTING or CTX_RUNNING when bit 2 is
// cleared).
constexpr bool busy(int state)
{
    return state == CTX_STARTING || state == CTX_RUNNING || state == CTX_PAUSED || state == kRunningBit2;
}

struct state_name {
    int code;
    const char *name;
};

constexpr state_name recorder_state_name(int state)
{
    switch (state) {
        case CTX_CLOSED:
        case CTX_OPENED:
        case CTX_FINISHED:
            return {3, "AUD_RECORDER_FINISHED"};
        case CTX_STARTING:
        case CTX_RUNNING:
        case kRunningBit2:
            return {0, "AUD_RECORDER_START"};
        case CTX_PAUSED:
            return {1, "AUD_RECORDER_PAUSE"};
        default:  // CTX_ERROR and values without a name
            return {-1, "AUD_RECORDER_ERROR"};
    }
}

// Close waits for the capture thread with a counter starting here.
constexpr int kCloseCounter = 9;

// Capture route controls and the mask bits that select them.
constexpr unsigned kRouteBits[4] = {16, 32, 64, 128};

using cap_cb = int (*)(int, void *, unsigned);

ka_cctx *lookup_dev(const char *dev, int *hdl)
{
    ka_cctx *cctx = __ka_dev2cctx(ka_default_dev(dev), hdl);
    if (!cctx) KA_LOGE("Get cctx from dev failed, dev = %s\n", ka_name_or_null(dev));
    return cctx;
}

ka_cctx *lookup_hdl(int hdl)
{
    ka_cctx *cctx = __ka_hdl2cctx(hdl);
    if (!cctx) KA_LOGE("Get cctx from hdl failed, hdl = %d\n", hdl);
    return cctx;
}

thread_local ka_loop_thread t_capture_loop;

// The last step of a capture loop that ran: a close asked for by the
// callback (which could not wait there for this loop's end) is made now.
void close_if_asked(int hdl)
{
    if (t_capture_loop.leave()) Ka_AudRecorder_HClose(hdl);
}

void deliver(ka_cctx *cctx, int result, void *buf, unsigned len)
{
    // Read afresh for every call; no lock is held while it runs.
    if (cap_cb cb = ka_load(cctx->callback)) cb(result, buf, len);
}

// The end of a capture loop that got inside (see __ka_capture_thread): it
// no longer counts, and a start waiting for it may go on. Its state is
// written only while no newer start has come (`gen` is still the current
// one): a state written since belongs to that start. Always broadcasts, so
// that a waiting close or start learns of the end.
//
// Chosen behaviour for a capture thread that ends without a normal stop (it
// refused to run, had no buffer, or a read failed): the recorder it was
// started for goes to CTX_ERROR, reported as "AUD_RECORDER_ERROR", and a
// waiting close is woken, so that close never waits for a thread that is
// gone. Only the state this thread's start or entry set is replaced; a
// state written since (a new open or start) is left alone.
void end_loop(ka_cctx *cctx, ka_cctx_own &own, unsigned gen, bool inside, int expected, int state)
{
    pthread_mutex_lock(&cctx->state_lock);
    if (inside) {
        assert(own.inside > 0);
        --own.inside;
    }
    if (own.gen == gen && cctx->state == expected) ka_store(cctx->state, state);
    pthread_cond_broadcast(&cctx->state_cond);
    pthread_mutex_unlock(&cctx->state_lock);
}

}  // namespace

int default_capCb(int result, void *buf, unsigned len)
{
    (void)buf;
    (void)len;
    KA_LOGD("Default capture thread callback, result = %d\n", result);
    return 0;
}

int __ka_cctx_set_path(ka_cctx *cctx, int on)
{
    if (!cctx) return -1;
    const char *value = on ? "1" : "0";
    for (int k = 0; k < 4; ++k)
        if (ka_load(cctx->path_mask) & kRouteBits[k]) Ka_clt_set_mixer_value(cctx->path_ctl[k], 1, value);
    return 0;
}

int __ka_cctx_init(ka_cctx *cctx, ka_cap_cb callback)
{
    if (!cctx) return -1;
    cctx->inited = 1;
    cctx->pcm = &closed_pcm;
    ka_store(cctx->callback, callback ? callback : static_cast<cap_cb>(default_capCb));
    return 0;
}

int __ka_cctx_deinit(ka_cctx *cctx)
{
    if (!cctx) return -1;
    cctx->pcm = &closed_pcm;
    cctx->inited = 0;
    ka_store(cctx->callback, static_cast<cap_cb>(default_capCb));
    return 0;
}

void *__ka_capture_thread(void *arg)
{
    const int hdl = ka_arg_hdl(arg);
    ka_cctx *cctx = lookup_hdl(hdl);
    if (!cctx) return nullptr;
    ka_cctx_own &own = ka_cctx_own_of(hdl);

    pthread_mutex_lock(&cctx->state_lock);
    // Chosen behaviour: a start made right after a stop (HStop, then
    // HStartRecord at once) finds the earlier loop still in its last read.
    // That loop ends there (its start is no longer the current one, see the
    // loop below), and this thread waits for it, so that one stream is
    // never read by two capture threads and the earlier loop's end
    // notification comes before this one's first data.
    //
    // Wait: woken by the end of every loop that got inside (end_loop),
    // which comes after at most one more read: the loop tests its start's
    // generation, which the start of this thread advanced, before each read
    // (see __ka_cctx_read for what ends a read).
    while (own.inside > 0) {
        assert(own.inside == 1);  // a loop waits for the one before it, so at most one is inside
        pthread_cond_wait(&cctx->state_cond, &cctx->state_lock);
    }
    const int state = cctx->state;
    const unsigned gen = own.gen;
    if (state != CTX_STARTING || !ka_pcm_live(cctx->pcm)) {
        KA_LOGE("Cctx not open or already playing, hdl = %d, state = %d\n", hdl, state);
        pthread_mutex_unlock(&cctx->state_lock);
        // A start on a recorder without a stream left CTX_STARTING behind.
        if (state == CTX_STARTING) end_loop(cctx, own, gen, false, CTX_STARTING, CTX_ERROR);
        return nullptr;
    }
    const unsigned size = cctx->pcm->period_size;
    ka_store(cctx->state, static_cast<int>(CTX_RUNNING));
    ++own.inside;
    pthread_mutex_unlock(&cctx->state_lock);

    void *buf = malloc(size);
    if (!buf) {
        KA_LOGE("Malloc buffer failed\n");
        end_loop(cctx, own, gen, true, CTX_RUNNING, CTX_ERROR);
        return nullptr;
    }
    t_capture_loop.hdl = hdl;
    // A newer start has cleared the stop flag this loop was asked to end
    // by: its generation tells the loop to end all the same.
    while (!ka_load(cctx->stop) && ka_load(own.gen) == gen) {
        // Wait: the read blocks until the device has captured a period,
        // woken by its clock; a failing device returns an error at once and
        // ends the loop below. A stop is seen only between reads, so the
        // loop (and a close waiting for it) lasts at most one more period,
        // unless the device's clock stops: the driver then fails the read
        // after its own timeout, which ends the loop like any read error.
        if (cctx->read(cctx, buf, size) < 0) {
            KA_LOGE("Read pcm error, hdl = %d\n", hdl);
            deliver(cctx, -1, buf, size);
            free(buf);
            end_loop(cctx, own, gen, true, CTX_RUNNING, CTX_ERROR);
            close_if_asked(hdl);
            return nullptr;
        }
        deliver(cctx, 0, buf, size);
    }
    deliver(cctx, 5, buf, size);
    end_loop(cctx, own, gen, true, CTX_RUNNING, CTX_FINISHED);
    free(buf);
    close_if_asked(hdl);
    return nullptr;
}

int Ka_AudRecorder_OpenExt(const char *dev, ka_cap_cb callback, unsigned flags, int channels, unsigned rate,
                           unsigned format)
{
    int hdl = -1;
    ka_cctx *cctx = lookup_dev(dev, &hdl);
    if (!cctx) return -1;
    pthread_mutex_lock(&cctx->state_lock);
    __ka_cctx_set_path(cctx, 1);
    struct pcm *pcm = __ka_pcm_open(cctx->dev_name, flags | KA_PCM_IN, channels, rate, format);
    if (!pcm) {
        KA_LOGE("Open pcm failed, hdl = %d\n", hdl);
        pthread_mutex_unlock(&cctx->state_lock);
        return -1;
    }
    __atomic_store_n(&cctx->pcm, pcm, __ATOMIC_SEQ_CST);  // Record reads it without a lock
    ka_store(cctx->callback, callback ? callback : static_cast<cap_cb>(default_capCb));
    ka_store(cctx->state, static_cast<int>(CTX_OPENED));
    pthread_mutex_unlock(&cctx->state_lock);
    return hdl;
}

int Ka_AudRecorder_Open(const char *dev, ka_cap_cb callback)
{
    return Ka_AudRecorder_OpenExt(dev, callback, 0, 1, 8000, 2);
}

int Ka_AudRecorder_HStartRecord(int hdl)
{
    ka_cctx *cctx = lookup_hdl(hdl);
    if (!cctx) return -1;
    pthread_mutex_lock(&cctx->state_lock);
    if (ka_start_detached(__ka_capture_thread, hdl) != 0) {
        KA_LOGE("Create capature thread fail.\n");
        pthread_mutex_unlock(&cctx->state_lock);
        return -1;
    }
    // The thread starts by taking state_lock, so it sees all of these. A
    // capture loop of an earlier start still running ends at its next
    // generation test.
    ka_advance(ka_cctx_own_of(hdl).gen);
    ka_store(cctx->stop, 0);
    ka_store(cctx->state, static_cast<int>(CTX_STARTING));
    pthread_mutex_unlock(&cctx->state_lock);
    return 0;
}

int Ka_AudRecorder_StartRecord(void)
{
    return Ka_AudRecorder_HStartRecord(0);
}

void Ka_AudRecorder_HStop(int hdl)
{
    ka_cctx *cctx = lookup_hdl(hdl);
    if (!cctx) return;
    ka_store(cctx->stop, 1);
}

void Ka_AudRecorder_Stop(void)
{
    Ka_AudRecorder_HStop(0);
}

// Capture is not paused: these only answer 0.
int Ka_AudRecorder_HPause(int hdl)
{
    (void)hdl;
    return 0;
}
int Ka_AudRecorder_Pause(void)
{
    return 0;
}
int Ka_AudRecorder_HResume(int hdl)
{
    (void)hdl;
    return 0;
}
int Ka_AudRecorder_Resume(void)
{
    return 0;
}

void Ka_AudRecorder_HClose(int hdl)
{
    ka_cctx *cctx = __ka_hdl2cctx(hdl);
    if (!cctx) {
        KA_LOGE("Get cctx from hdl failed, hdl = %d", hdl);
        return;
    }
    // Chosen behaviour: a close made by the capture callback runs in the
    // capture loop's own thread, and waiting below for that loop's end would
    // wait for ever. The loop is stopped and closes the recorder itself as
    // its last step, after its end notification.
    if (t_capture_loop.runs(hdl)) {
        Ka_AudRecorder_HStop(hdl);
        t_capture_loop.close_asked = true;
        return;
    }

    int counter = kCloseCounter;
    bool held = false;  // state_lock is held
    // Stop-and-wait rounds while a capture thread is busy. After a normal
    // stop the first wake-up is that thread's final broadcast (or its error
    // end), so the counter is only used up by wake-ups that come while it
    // still runs. The state is tested once more under the lock taken for the
    // close proper: a start that came in between makes further rounds.
    for (;;) {
        if (!held) {
            pthread_mutex_lock(&cctx->state_lock);
            held = true;
        }
        if (!busy(cctx->state)) break;
        pthread_mutex_unlock(&cctx->state_lock);
        held = false;
        for (;;) {
            Ka_AudRecorder_HStop(hdl);
            pthread_mutex_lock(&cctx->state_lock);
            if (!busy(cctx->state)) {
                held = true;
                break;
            }
            // Wait: woken by the capture loop's end, which broadcasts on
            // every way out once it has been started: the normal end after
            // a stop (CTX_FINISHED), and end_loop for a refusal, a missing
            // buffer or a failed read. The stop above ends the loop after
            // its current read, which the device clock or a device error
            // ends (see __ka_cctx_read). A close from the capture callback
            // never gets here (see above).
            pthread_cond_wait(&cctx->state_cond, &cctx->state_lock);
            --counter;
            pthread_mutex_unlock(&cctx->state_lock);
            if (counter == -1 || !busy(ka_load(cctx->state))) break;
        }
        if (counter <= 0) {
            const int state = ka_load(cctx->state);
            if (held) pthread_mutex_unlock(&cctx->state_lock);
            KA_LOGD("Audio Recorder close failed, state = %d\n", state);
            return;
        }
    }

    if (ka_pcm_live(cctx->pcm)) {
        struct pcm *old = cctx->pcm;
        __atomic_store_n(&cctx->pcm, &closed_pcm, __ATOMIC_SEQ_CST);
        // Chosen behaviour: a direct read (Ka_AudRecorder_Record) still in
        // progress on the stream is waited for before the stream is freed,
        // instead of having its record freed under it.
        //
        // Wait: woken by the last such read as it leaves (it sees `closing`
        // and broadcasts under state_lock); a read that started after the
        // store above found the placeholder and never touches the old
        // stream. A read ends when the device has captured its bytes, or at
        // once when it fails (see Ka_AudRecorder_Record).
        ka_cctx_own &own = ka_cctx_own_of(hdl);
        __atomic_store_n(&own.closing, 1, __ATOMIC_SEQ_CST);
        for (int n; (n = __atomic_load_n(&own.readers, __ATOMIC_SEQ_CST)) != 0;) {
            assert(n > 0);
            pthread_cond_wait(&cctx->state_cond, &cctx->state_lock);
        }
        __atomic_store_n(&own.closing, 0, __ATOMIC_SEQ_CST);
        pcm_close(old);
    }
    ka_store(cctx->state, static_cast<int>(CTX_CLOSED));
    ka_store(cctx->callback, static_cast<cap_cb>(default_capCb));
    __ka_cctx_set_path(cctx, 0);
    pthread_mutex_unlock(&cctx->state_lock);
}

void Ka_AudRecorder_Close(void)
{
    Ka_AudRecorder_HClose(0);
}

const char *Ka_AudRecorder_HGetState(int hdl, int *code)
{
    ka_cctx *cctx = lookup_hdl(hdl);
    if (!cctx) return "No Such Device";
    const state_name s = recorder_state_name(ka_load(cctx->state));
    if (code) *code = s.code;
    return s.name;
}

const char *Ka_AudRecorder_GetState(int *code)
{
    return Ka_AudRecorder_HGetState(0, code);
}

int Ka_AudRecorder_Record(int hdl, void *buf, unsigned len)
{
    if (!buf) return -1;
    ka_cctx *cctx = lookup_hdl(hdl);
    if (!cctx) return -1;
    // Chosen behaviour: a recorder that has never had a stream (NULL slot)
    // reports a failed read instead of handing NULL to the platform.
    // Wait: in the caller's thread, until the device has captured `len`
    // bytes (its clock) or fails (at once); nothing of the library is held.
    // Counted as a reader before the stream is taken, so that a close
    // either finds it counted and waits, or has already put the placeholder
    // in the slot (both sides use sequentially consistent atomics). The read
    // takes no lock; only the last reader to leave while a close waits for
    // it takes state_lock, to wake that close.
    ka_cctx_own &own = ka_cctx_own_of(hdl);
    __atomic_add_fetch(&own.readers, 1, __ATOMIC_SEQ_CST);
    struct pcm *pcm = __atomic_load_n(&cctx->pcm, __ATOMIC_SEQ_CST);
    const bool ok = pcm && pcm_read(pcm, buf, len) >= 0;
    if (__atomic_sub_fetch(&own.readers, 1, __ATOMIC_SEQ_CST) == 0 &&
        __atomic_load_n(&own.closing, __ATOMIC_SEQ_CST)) {
        pthread_mutex_lock(&cctx->state_lock);
        pthread_cond_broadcast(&cctx->state_cond);
        pthread_mutex_unlock(&cctx->state_lock);
    }
    if (!ok) {
        KA_LOGE("Read pcm error, hdl = %d\n", hdl);
        return -1;
    }
    return 0;
}

int Ka_AudRecorder_GetInterface(const char *dev, unsigned *mask)
{
    int hdl = -1;
    ka_cctx *cctx = lookup_dev(dev, &hdl);
    if (!cctx) return -1;
    if (!mask) return -1;
    *mask = ka_load(cctx->path_mask);
    return 0;
}

int Ka_AudRecorder_SetInterface(const char *dev, unsigned mask)
{
    int hdl = -1;
    ka_cctx *cctx = lookup_dev(dev, &hdl);
    if (!cctx) return -1;
    ka_store(cctx->path_mask, mask);
    return 0;
}
