// SPDX-License-Identifier: MIT
// Player helpers over the context's own record (ka_ctx_own.h): the start
// handshake between Ka_AudPlayer_Play and a new play thread, the count of
// threads sleeping on a ring's condition variables, so that a ring is never
// destroyed under a sleeper, and the play loop of the calling thread. All of
// it is kept by the player file (ka_player.cpp); the play path and the file
// playback driver call it.
#pragma once

#include <pthread.h>

#include "ka_ctx_own.h"
#include "ka_internal.h"

// Stop and Close of player `hdl`. With a generation, only while the context
// still holds that generation (see ka_ctx_own.h): the file play's main
// thread stops and closes only its own play. Without one, whatever the
// context holds (Ka_AudPlayer_Stop and Ka_AudPlayer_Close).
int ka_player_stop(int hdl, const unsigned *gen);
void ka_player_close(int hdl, const unsigned *gen);

// The calling thread's play loop, if it is a play thread (the player's
// callback runs there).
ka_loop_thread &ka_play_loop();

// The very last step of a play thread that ran: a close asked for by the
// callback (which could not wait there for this thread's end) is made now,
// with the thread no longer counted as the player's.
void ka_play_loop_leave(int hdl);

// Takes the ring out of the context and destroys it once no thread sleeps
// on it any more (waking the sleepers first). Called with ring_lock held.
void ka_play_drop_ring(ka_pctx *pctx, ka_pctx_own &side);

// Wakes the writers sleeping on the ring's space_cond, if any. Called with
// ring_lock held.
inline void ka_play_wake_writers(ka_ringbuf *rb, const ka_pctx_own &side)
{
    if (rb->writer_waiting || side.space_waiters > 0) pthread_cond_broadcast(&rb->space_cond);
}
