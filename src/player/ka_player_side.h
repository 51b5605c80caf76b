// SPDX-License-Identifier: MIT
// Player bookkeeping that lives beside the public context record: the start
// handshake between Ka_AudPlayer_Play and a new play thread, the count of
// threads sleeping on a ring's condition variables, so that a ring is never
// destroyed under a sleeper, and the play loop of the calling thread. All of
// it is kept by the player file (ka_player.cpp); the play path calls it.
#pragma once

#include <pthread.h>

#include "ka_internal.h"

struct ka_play_side {
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
};

// Bookkeeping of the player with handle `hdl` (0..KA_DEVICE_COUNT-1).
ka_play_side &ka_play_side_of(int hdl);

// The calling thread's play loop, if it is a play thread (the player's
// callback runs there).
ka_loop_thread &ka_play_loop();

// The very last step of a play thread that ran: a close asked for by the
// callback (which could not wait there for this thread's end) is made now,
// with the thread no longer counted as the player's.
void ka_play_loop_leave(int hdl);

// Takes the ring out of the context and destroys it once no thread sleeps
// on it any more (waking the sleepers first). Called with ring_lock held.
void ka_play_drop_ring(ka_pctx *pctx, ka_play_side &side);

// Wakes the writers sleeping on the ring's space_cond, if any. Called with
// ring_lock held.
inline void ka_play_wake_writers(ka_ringbuf *rb, const ka_play_side &side)
{
    if (rb->writer_waiting || side.space_waiters > 0) pthread_cond_broadcast(&rb->space_cond);
}
