// SPDX-License-Identifier: MIT
// File playback driver: Ka_AudPlayer_PlayFile / Ka_AudPlayer_PlayFrmFile, the
// file play main thread, the data-write callback through which the decode
// threads push PCM into the player, and the WAV size update helper.
//
// One file play runs three threads: the detached main thread, the play thread
// of the player and the module's decode thread (joined by the main thread).
//
// Stale threads: a file play's main and decode threads outlive what they
// were started for when the play is replaced by a new file play on the
// device, or when the application stops and closes the player itself (and
// may open it again at once). Every file play installed, open and close
// advances the context's generation (ka_ctx_own.h); the main thread acts on
// the player (starts it, stops and closes it) only while the generation it
// was installed with is still the current one, checking and acting under
// file_lock and, for the close itself, under state_lock, so no new play, open
// or close can come in between. The data-write callback accepts data only
// from the decode thread of the current generation, so a decode thread left
// over is told to stop at its next write instead of feeding what the device
// holds now. A close made by the application waits for the decode thread of
// the play it retires (see ka_player_close), so once the player reads closed
// the play no longer reads the caller's descriptor.
//
// A stop made right after PlayFile or PlayFrmFile returned may come before
// the main thread has started the play thread, whose start clears the stop
// flag. The main thread compares the player's stop count around that start
// and makes such a stop again, so it is not lost.
//
// A play thread can also end on its own (a write error on the device): then
// nothing drains the ring any more and a decode thread waiting for room in
// it would wait for ever, and with it the main thread. A file play therefore
// wraps the player's callback: the caller's callback sees exactly the same
// reports, and the end of the play thread also stops the player, which lets
// the decode thread go. (Ka_AudPlayer_PlayFrmFile wraps the callback only
// when the caller's player has no play thread yet.) Without the wrapper the
// play thread's end still releases a decode thread sleeping on the full
// ring (its Play fails), and the decode thread's pushes never start a new
// play thread behind the one that ended (ka_player_push), so the data-write
// callback refuses the next chunk and the decode thread ends.
#define KA_LOG_FILE "ka_lib_audio"

#include <assert.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <utility>

#include "ka_audio_files.h"
#include "ka_files_internal.h"
#include "ka_internal.h"
#include "ka_play_out.h"
#include "player/ka_player_side.h"

using namespace ka_files;

namespace {

constexpr uintptr_t kHdlBits = 3;
constexpr uintptr_t kGenMask = UINTPTR_MAX >> kHdlBits;

// How often the end of a file play looks whether the play thread has
// written the last period.
constexpr int64_t kPollNs = 5000000;

template <size_t H>
int file_play_cb(int hdl, int result)
{
    ka_play_cb cb = ka_load(ka_pctx_own_of(int(H)).file_cb);
    int r = cb ? cb(hdl, result) : 0;
    if (result == AUD_PLAYER_FINISHED) Ka_AudPlayer_Stop(int(H));
    return r;
}

template <size_t... I>
constexpr std::array<ka_play_cb, sizeof...(I)> make_play_cbs(std::index_sequence<I...>)
{
    return {file_play_cb<I>...};
}
constexpr auto kPlayCbs = make_play_cbs(std::make_index_sequence<KA_DEVICE_COUNT>{});

// Puts the wrapper in front of the player's callback while no play thread
// can be reading it.
void wrap_callback(ka_pctx *pctx, int hdl)
{
    pthread_mutex_lock(&pctx->state_lock);
    if (pctx->state == CTX_OPENED && pctx->callback != kPlayCbs[size_t(hdl)]) {
        ka_store(ka_pctx_own_of(hdl).file_cb, pctx->callback);
        pctx->callback = kPlayCbs[size_t(hdl)];
    }
    pthread_mutex_unlock(&pctx->state_lock);
}

// Whether the play is still the one to finish: no stop asked for (by the
// application, a new play on the device or a close) and its play thread
// still there.
bool still_playing(ka_pctx *pctx)
{
    const int state = __atomic_load_n(&pctx->state, __ATOMIC_RELAXED);
    return !__atomic_load_n(&pctx->stop, __ATOMIC_RELAXED) &&
           (state == CTX_STARTING || state == CTX_RUNNING || state == CTX_PAUSED);
}

// The end of a file's data, before the stop that ends the play. Three
// things would cut the end of the file: the play thread takes data out of
// the ring only in whole periods and is first woken when the ring is half
// full (all of a file shorter than half the ring would stay there), the
// stop drops what the ring still holds, and the close drops what the
// device still holds (up to a whole buffer, seconds where a driver allows
// a large one). So:
//  1. the ring is made up to whole periods with silence (less than one
//     period; nothing more is needed, the device is drained below) and the
//     play thread is woken, so that it writes every byte of the file;
//  2. once it has written the last period and waits for more, the device is
//     drained: it plays what it holds and stops at the last written frame.
// Only then comes the stop, so the play's AUD_PLAYER_FINISHED report comes
// when the file has been heard. A stop, a close or a new play on the device
// ends either step at once (what is left may then drop), as does the play
// thread's end (a device failure).
void play_out_file(int hdl, ka_pctx *pctx)
{
    static constexpr uint8_t kZeros[2048] = {};
    pthread_mutex_lock(&pctx->state_lock);
    const size_t period = pctx->write_chunk;
    pthread_mutex_unlock(&pctx->state_lock);
    pthread_mutex_lock(&pctx->ring_lock);
    size_t pad = 0;
    if (pctx->ringbuf && period > 0)
        pad = (period - size_t(ka_ringbuf_used(pctx->ringbuf)) % period) % period;
    pthread_mutex_unlock(&pctx->ring_lock);
    // Wait: a push may sleep on the full ring until the play thread makes
    // room (see writer_sleep); a stop, the play thread's end (a device
    // failure) or a close ends it. Only a pause holds it, until the
    // application resumes or stops (a new PlayFile stops first).
    while (pad > 0) {
        unsigned n = unsigned(pad < sizeof kZeros ? pad : sizeof kZeros);
        if (ka_player_push(hdl, kZeros, n) <= 0) return;  // stopped, closed or failed
        pad -= n;
    }

    // Wait: polls every few milliseconds while the play thread writes the
    // last periods (each write returns once the device has room, within a
    // period), or for as long as the application keeps the player paused.
    for (;;) {
        pthread_mutex_lock(&pctx->ring_lock);
        ka_ringbuf *rb = pctx->ringbuf;
        bool idle = false;
        if (rb && rb->reader_waiting) {
            // Asleep on whole periods that did not fill half the ring.
            if (size_t(ka_ringbuf_used(rb)) >= period)
                pthread_cond_signal(&rb->data_cond);
            else
                idle = true;
        }
        pthread_mutex_unlock(&pctx->ring_lock);
        if (!rb || !still_playing(pctx)) return;
        if (idle) break;
        ka_play_out::sleep_ns(kPollNs);
    }

    // The stream is the player's until the close, which waits for the play
    // thread (idle now, it writes nothing more) to end after a stop: each
    // look at the device is made under state_lock with the play found
    // still running, so the stream cannot be closed under it.
    // Wait: polls the device at most a period apart, until it has played
    // what it held, a stop comes, or the time a drain may take has run out
    // (see ka_play_out::begin: a device that stops moving holds the play no
    // longer than one and a half buffers).
    ka_play_out out;
    pthread_mutex_lock(&pctx->state_lock);
    bool draining = still_playing(pctx) && ka_pcm_live(pctx->pcm) && out.begin(pctx->pcm);
    pthread_mutex_unlock(&pctx->state_lock);
    while (draining) {
        out.nap();
        pthread_mutex_lock(&pctx->state_lock);
        draining = still_playing(pctx) && !out.done(pctx->pcm);
        pthread_mutex_unlock(&pctx->state_lock);
    }
}

// Retires whatever file play was installed on the context; the caller holds
// its file_lock. Returns the new generation.
unsigned new_generation(ka_pctx *pctx, int hdl)
{
    const unsigned gen = ka_advance(ka_pctx_own_of(hdl).gen);
    store_tid(pctx->data_thread, pthread_t{});
    return gen;
}

// The decode thread of a file play has ended (been joined), or will never
// be started: a close waiting for it may go on.
void decoder_done(ka_pctx *pctx, ka_pctx_own &own)
{
    pthread_mutex_lock(&pctx->state_lock);
    assert(own.decoders > 0);
    --own.decoders;
    pthread_cond_broadcast(&pctx->state_cond);
    pthread_mutex_unlock(&pctx->state_lock);
}

// Whether the decode thread of the file play of generation `gen` may start:
// no stop was asked for since the play was installed (the start of the play
// thread may have cleared its flag), and no close or open has retired it.
// If so, it is counted until it has ended (decoder_done), in the same
// state_lock section as the test, so that a close either retires the play
// first or waits for its decode thread. The caller holds file_lock.
bool decoder_may_start(ka_pctx *pctx, ka_pctx_own &own, unsigned gen, bool &stopped)
{
    pthread_mutex_lock(&pctx->state_lock);
    stopped = own.stops != own.file_stops;
    const bool go = !stopped && own.gen == gen;
    if (go) ++own.decoders;
    pthread_mutex_unlock(&pctx->state_lock);
    return go;
}

int locked_state(ka_pctx *pctx)
{
    pthread_mutex_lock(&pctx->state_lock);
    int state = pctx->state;
    pthread_mutex_unlock(&pctx->state_lock);
    return state;
}

// Stops and closes the player unless a newer file play owns it; the caller
// holds file_lock.
//
// Wait: the close waits for the play thread to end (see Ka_AudPlayer_Close).
// The stop has resumed a paused thread, and the close waits for one found
// still paused after a stop like for a running one, so no busy wait is
// needed here for the thread to leave the pause (a spin would starve that
// thread under a real-time policy). What can hold the close is a play
// thread inside pcm_write: it returns when the device takes the period, or
// with an error when the device fails (the driver's own timeout for a dead
// clock), and the thread then ends.
void finish_play_locked(int hdl, unsigned gen)
{
    ka_player_stop(hdl, &gen);
    ka_player_close(hdl, &gen);
}

// Ends the main thread before a decode thread ran, stopping and closing the
// player if `finish`; the end is logged where the play did not fail. The
// caller holds file_lock, which this releases.
void *leave_early(ka_pctx *pctx, int hdl, unsigned gen, bool finish, bool say_end)
{
    if (finish) finish_play_locked(hdl, gen);
    pthread_mutex_unlock(&pctx->file_lock);
    if (say_end) KA_LOGD("File play main thread end\n");
    return nullptr;
}

// Wait (file_lock, taken twice below): held by a PlayFile or PlayFrmFile
// installing a play (short), or by the main thread of the play this one
// replaced while it finishes (the play-out of its end, which that play's
// stop cuts short, and its close; see there).
void *file_play_thread(void *arg)
{
    KA_LOGD("File play main thread start\n");
    auto packed = reinterpret_cast<uintptr_t>(arg);
    int hdl = int(packed & ((1u << kHdlBits) - 1));
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) return nullptr;
    pthread_detach(pthread_self());
    ka_pctx_own &own = ka_pctx_own_of(hdl);

    pthread_mutex_lock(&pctx->file_lock);
    const unsigned gen = ka_load(own.gen);
    // Retired before it began (a newer play, or a close of the player, has
    // already stopped and closed this one): nothing to do.
    if ((gen & kGenMask) != (packed >> kHdlBits)) return leave_early(pctx, hdl, gen, false, true);
    if (pctx->start_play(hdl) < 0) {
        KA_LOGE("Start pcm thread failed, hdl = %d\n", hdl);
        return leave_early(pctx, hdl, gen, true, false);
    }
    // A stop that came before the start above (which cleared its flag) is
    // made again, and the play ends before any of the file is decoded.
    bool stopped = false;
    if (!decoder_may_start(pctx, own, gen, stopped)) {
        if (stopped) ka_player_stop(hdl, &gen);
        return leave_early(pctx, hdl, gen, true, true);
    }
    ka_store(own.data_gen, gen);
    if (!pctx->start_decode ||
        pctx->start_decode(hdl, pctx->file_fd, __ka_default_data_write, &pctx->data_thread) < 0) {
        KA_LOGE("Start data thread failed, hdl = %d\n", hdl);
        decoder_done(pctx, own);
        return leave_early(pctx, hdl, gen, true, false);
    }
    pthread_t decoder = load_tid(pctx->data_thread);
    pthread_mutex_unlock(&pctx->file_lock);

    // Wait: for the decode thread, which ends at the end of its data, on a
    // read or decode error, or at its next data write once the play is
    // stopped, closed, replaced or its play thread has ended (a device
    // failure: the push sleeping on the full ring is released with -1 and
    // the next one is refused). What can hold it: a push into a paused
    // player (until resume or stop), a play thread inside pcm_write (see
    // __ka_pctx_write), and a read on the caller's descriptor that does not
    // return (a pipe nobody writes to), which is the caller's to end.
    // file_lock is not held here, so a new play on the device never waits
    // for this join.
    pthread_join(decoder, nullptr);
    decoder_done(pctx, own);

    pthread_mutex_lock(&pctx->file_lock);
    // A decode thread that makes no end-of-data call (AMR-WB) leaves the
    // player running: let the rest of its data out first.
    int state = locked_state(pctx);
    if (ka_load(own.gen) == gen && !__atomic_load_n(&pctx->stop, __ATOMIC_RELAXED) &&
        (state == CTX_STARTING || state == CTX_RUNNING))
        play_out_file(hdl, pctx);
    finish_play_locked(hdl, gen);
    pthread_mutex_unlock(&pctx->file_lock);
    KA_LOGD("File play main thread end\n");
    return nullptr;
}

// Installs a file play on the context and starts its main thread; the
// caller holds file_lock. 0, or -1 when the thread cannot be created.
int install_locked(ka_pctx *pctx, int hdl, int type, int fd)
{
    ka_pctx_own &own = ka_pctx_own_of(hdl);
    const unsigned gen = new_generation(pctx, hdl);
    wrap_callback(pctx, hdl);
    __ka_pctx_setops(pctx, type);
    __ka_pctx_setfd(pctx, fd);
    pthread_mutex_lock(&pctx->state_lock);
    own.file_stops = own.stops;
    pthread_mutex_unlock(&pctx->state_lock);
    pthread_t t;
    void *arg = reinterpret_cast<void *>((uintptr_t(gen) & kGenMask) << kHdlBits | uintptr_t(hdl));
    if (pthread_create(&t, nullptr, file_play_thread, arg) != 0) {
        KA_LOGE("Create file play thread fail.\n");
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" {

KA_API int __ka_pctx_setops(ka_pctx *pctx, int type)
{
    if (!pctx) return -1;
    ka_start_decode_fn op;
    switch (type) {
        case AUD_FILE_WAV:
            op = start_ka_wav_decode;
            break;
        case AUD_FILE_MP3:
            op = start_ka_mp3_decode;
            break;
        case AUD_FILE_AMRNB:
            op = start_ka_amrnb_decode;
            break;
        case AUD_FILE_AMRWB:
            op = start_ka_amrwb_decode;
            break;
        default:
            return -1;
    }
    pctx->start_decode = op;
    return 0;
}

KA_API int __ka_pctx_setfd(ka_pctx *pctx, int fd)
{
    if (!pctx) return -1;
    pctx->file_fd = fd;
    return 0;
}

KA_API int Ka_AudPlayer_PlayFile(const char *device, int fd, int offset, ka_play_cb callback)
{
    int hdl = -1;
    ka_pctx *pctx = __ka_dev2pctx(ka_default_dev(device), &hdl);
    if (!pctx) {
        KA_LOGE("Get pctx from dev failed, dev = %s\n", ka_name_or_null(device));
        return -1;
    }
    // Retire the file play that ran here (if any) before stopping it, so its
    // main thread leaves the device to this one. A stop comes first: it
    // releases a main thread that holds file_lock while it lets the end of
    // its file out of a paused player.
    // Wait: file_lock, then the close below, wait at most for the play
    // thread to end after this stop (see Ka_AudPlayer_Close); the old main
    // thread's close does the same under file_lock.
    if (__atomic_load_n(&pctx->state, __ATOMIC_RELAXED) != CTX_CLOSED) Ka_AudPlayer_Stop(hdl);
    pthread_mutex_lock(&pctx->file_lock);
    new_generation(pctx, hdl);
    pthread_mutex_unlock(&pctx->file_lock);
    if (locked_state(pctx) != CTX_CLOSED) {
        Ka_AudPlayer_Stop(hdl);
        Ka_AudPlayer_Close(hdl);
    }

    format_info info{};
    if (check_audio_format(fd, &info) < 0) {
        KA_LOGE("Unknown file format\n");
        return -1;
    }
    if (offset > 0 && lseek(fd, offset, SEEK_SET) < 0)
        KA_LOGE("Set offset error, fd = %d, hdl = %d\n", fd, hdl);

    int h = Ka_AudPlayer_OpenExt(device, callback, unsigned(info.flags), info.channels, unsigned(info.rate),
                                 unsigned(info.format));
    if (h < 0) {
        KA_LOGE("open aud player failed, ret = %d\n", h);
        // A failed open leaves its ring buffer and route for a Close, but
        // the caller of a file play has no handle to close: release them
        // here, unless another thread has opened the player meanwhile.
        pthread_mutex_lock(&pctx->state_lock);
        if (pctx->state == CTX_CLOSED && pctx->inited) __ka_pctx_deinit(pctx);
        pthread_mutex_unlock(&pctx->state_lock);
        return -1;
    }
    pctx = __ka_hdl2pctx(h);
    if (!pctx) {
        KA_LOGE("Get pctx from hdl failed, hdl = %d\n", h);
        Ka_AudPlayer_Close(h);
        return -1;
    }
    pthread_mutex_lock(&pctx->file_lock);
    if (install_locked(pctx, h, info.file_type, fd) < 0) {
        pthread_mutex_unlock(&pctx->file_lock);
        Ka_AudPlayer_Close(h);
        return -1;
    }
    pthread_mutex_unlock(&pctx->file_lock);
    return h;
}

KA_API int Ka_AudPlayer_PlayFrmFile(int hdl, int fd, int offset)
{
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) {
        KA_LOGE("Get pctx from hdl failed, hdl = %d\n", hdl);
        return -1;
    }
    if (offset > 0 && lseek(fd, offset, SEEK_SET) < 0)
        KA_LOGE("Set offset error, fd = %d, hdl = %d\n", fd, hdl);
    // Wait: file_lock may be held by the main thread of a file play ending
    // on this player (playing out its end, until the device has played what
    // it holds, and closing it); that ends with the play thread's end (see
    // finish_play_locked), or, for a paused player, when the application
    // resumes or stops it. This player is the caller's and
    // is not stopped here.
    pthread_mutex_lock(&pctx->file_lock);
    // Raw PCM passes through the WAV module unchanged.
    int r = install_locked(pctx, hdl, AUD_FILE_WAV, fd);
    pthread_mutex_unlock(&pctx->file_lock);
    return r;
}

KA_API int __ka_default_data_write(int hdl, void *buf, uint32_t len)
{
    if (!buf) return -1;
    ka_pctx *pctx = __ka_hdl2pctx(hdl);
    if (!pctx) return -1;
    const ka_pctx_own &own = ka_pctx_own_of(hdl);
    if (!pthread_equal(pthread_self(), load_tid(pctx->data_thread)) ||
        ka_load(own.data_gen) != ka_load(own.gen)) {
        KA_LOGD("Data decode thread not match handle, return stop\n");
        return 1;
    }
    // The player stores its state atomically; a plain atomic read is enough
    // here and keeps the lock out of the per-chunk path.
    switch (__atomic_load_n(&pctx->state, __ATOMIC_RELAXED)) {
        case CTX_CLOSED:
            return -1;
        case CTX_OPENED:
        case CTX_FINISHED:
            return 1;
        case CTX_STARTING:
        case CTX_RUNNING:
            break;
        default:
            return 0;  // paused (or in error): the data is dropped, decoding goes on
    }
    if (len == 0) {
        KA_LOGD("Receive Stop flag from decode thread\n");
        play_out_file(hdl, pctx);
        Ka_AudPlayer_Stop(hdl);
        return 1;
    }
    // The state read above may be stale: the play thread can end on a
    // device failure right after it. The push then refuses the data instead
    // of starting a new play thread behind the failed one.
    // Wait: the push sleeps while the ring is full, released by the play
    // thread, a stop, that thread's end or a close (see writer_sleep).
    int r = ka_player_push(hdl, buf, len);
    if (r < 0) {
        KA_LOGE("Ka_AudPlayer_Play failed\n");
        return -1;
    }
    if (r == 0) {
        KA_LOGD("Ka_AudPlayer_Play return stop\n");
        return 1;
    }
    return 0;
}

KA_API int Ka_Update_wav_size(int fd, unsigned n)
{
    off_t here = lseek(fd, 0, SEEK_CUR);
    uint8_t h[kWavHeaderSize];
    if (lseek(fd, 0, SEEK_SET) < 0 || read_full(fd, h, sizeof h) != ssize_t(sizeof h)) {
        KA_LOGE("Read wav header failed\n");
        return -1;
    }
    uint32_t data = get_le32(h + 40) + n;
    put_le32(h + 40, data);
    put_le32(h + 4, data + 36u);
    lseek(fd, 0, SEEK_SET);
    ssize_t w = ::write(fd, h, sizeof h);
    if (w != ssize_t(sizeof h)) KA_LOGE("write wav head failed.\n");
    lseek(fd, here, SEEK_SET);
    return int(w);
}

}  // extern "C"
