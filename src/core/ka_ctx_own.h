// SPDX-License-Identifier: MIT
// The library's own record of each device context, beside the exported
// ka_pctx and ka_cctx records (whose layout is fixed): what the player, the
// file playback driver and the recorder keep about a context that the
// exported records have no field for. One record per context, in static
// tables made in contexts.cpp, reached by handle.
//
// Generations. A worker thread (file play main thread, decode thread,
// capture loop) works for what the context held when it was started; the
// context may since have been closed, opened again, or given a new file play
// or capture. Such a thread is stale: it must not push into, stop or close
// what the context holds now. Each record therefore carries a generation
// that the events which replace what a context holds advance, and a thread
// compares the generation it was started for with the current one before it
// acts on the context.
#pragma once

#include <pthread.h>

#include "ka_internal.h"

struct ka_pctx_own {
    // ---- Start handshake and ring sleepers (the play path) ----
    // Play threads created by the default start operation; written under
    // state_lock (atomically, since Play reads it without that lock).
    unsigned started;
    // Generation of the newest play thread that has passed its first ring
    // check, or ended without getting there; under ring_lock.
    unsigned passed;
    // Writers inside a wait on space_cond / play threads inside a wait on
    // data_cond of the current ring; under ring_lock.
    int space_waiters;
    int data_waiters;
    // Signalled under ring_lock when the last sleeper leaves a ring that
    // has been taken out of the context.
    pthread_cond_t drained;

    // ---- What the context holds ----
    // Advanced by every successful open and close and by every file play
    // installed; written under state_lock or file_lock, read atomically.
    unsigned gen;
    // Stop requests made so far (Ka_AudPlayer_Stop); atomic.
    unsigned stops;

    // ---- File playback ----
    // The caller's player callback behind the file play's wrapper; atomic.
    ka_play_cb file_cb;
    // Stop requests counted when the current file play was installed; under
    // file_lock.
    unsigned file_stops;
    // Generation of the file play whose decode thread is data_thread; atomic.
    unsigned data_gen;
    // Decode threads of file plays started and not yet joined; under
    // state_lock, and state_cond is broadcast when it drops.
    int decoders;
};

struct ka_cctx_own {
    // Capture thread starts; under state_lock (read atomically by the loop).
    unsigned gen;
    // Capture loops between their entry and their end; under state_lock.
    int inside;
    // Direct reads (Ka_AudRecorder_Record) in progress, and whether a close
    // waits for them to end (on state_cond); both atomic.
    int readers;
    int closing;
    // The caller's capture callback behind a file recording's; atomic.
    ka_cap_cb file_cb;
};

// The records of handle `hdl` (0..KA_DEVICE_COUNT-1).
ka_pctx_own &ka_pctx_own_of(int hdl);
ka_cctx_own &ka_cctx_own_of(int hdl);

// Advances a generation (any thread, any lock): the new value.
inline unsigned ka_advance(unsigned &gen)
{
    return __atomic_add_fetch(&gen, 1u, __ATOMIC_SEQ_CST);
}
