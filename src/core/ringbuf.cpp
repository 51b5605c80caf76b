// SPDX-License-Identifier: MIT
// The byte ring between Ka_AudPlayer_Play and the play thread. One block
// holds the header and C + 1 storage bytes; indices run modulo C + 1, so a
// full ring (C bytes) is told apart from an empty one. Callers hold the
// context's ring_lock; nothing here locks.
//
// Bytes are copied in at most two contiguous blocks per call (up to the end
// of the storage, then from its start); the result is the same as a copy one
// byte at a time.
#include <stdlib.h>
#include <string.h>

#define KA_LOG_FILE "ka_lib_audio"
#include "ka_internal.h"

ka_ringbuf *ka_ringbuf_create(int32_t capacity)
{
    // The index arithmetic needs C + 1 to fit the 32-bit indices.
    if (capacity < 0 || capacity == INT32_MAX) return nullptr;
    const size_t storage = static_cast<size_t>(capacity) + 1;
    if (storage > SIZE_MAX - sizeof(ka_ringbuf)) return nullptr;
    auto *rb = static_cast<ka_ringbuf *>(malloc(sizeof(ka_ringbuf) + storage));
    if (rb == nullptr) return nullptr;
    rb->rd = 0;
    rb->wr = 0;
    rb->writer_waiting = 0;
    rb->reader_waiting = 0;
    pthread_cond_init(&rb->space_cond, nullptr);
    pthread_cond_init(&rb->data_cond, nullptr);
    rb->size = capacity;
    return rb;
}

void ka_ringbuf_destroy(ka_ringbuf *rb)
{
    if (rb == nullptr) return;
    pthread_cond_destroy(&rb->space_cond);
    pthread_cond_destroy(&rb->data_cond);
    free(rb);
}

int32_t ka_ringbuf_used(const ka_ringbuf *rb)
{
    const int64_t slots = int64_t{rb->size} + 1;
    return static_cast<int32_t>((int64_t{rb->wr} - rb->rd + slots) % slots);
}

int32_t ka_ringbuf_free(const ka_ringbuf *rb) { return rb->size - ka_ringbuf_used(rb); }

int32_t ka_ringbuf_put(ka_ringbuf *rb, const void *src, int32_t n)
{
    const int32_t room = ka_ringbuf_free(rb);
    if (room == 0) return 0;
    const int32_t k = room < n ? room : n;
    if (k <= 0) return k;

    const int64_t slots = int64_t{rb->size} + 1;
    const auto *in = static_cast<const unsigned char *>(src);
    const int32_t first = static_cast<int32_t>((slots - rb->wr) < k ? (slots - rb->wr) : k);
    memcpy(rb->data() + rb->wr, in, static_cast<size_t>(first));
    memcpy(rb->data(), in + first, static_cast<size_t>(k - first));
    rb->wr = static_cast<int32_t>((int64_t{rb->wr} + k) % slots);
    return k;
}

int32_t ka_ringbuf_get(ka_ringbuf *rb, void *dst, int32_t n)
{
    const int32_t used = ka_ringbuf_used(rb);
    if (used == 0 || used < n) return 0;
    if (n <= 0) return n;

    const int64_t slots = int64_t{rb->size} + 1;
    auto *out = static_cast<unsigned char *>(dst);
    const int32_t first = static_cast<int32_t>((slots - rb->rd) < n ? (slots - rb->rd) : n);
    memcpy(out, rb->data() + rb->rd, static_cast<size_t>(first));
    memcpy(out + first, rb->data(), static_cast<size_t>(n - first));
    rb->rd = static_cast<int32_t>((int64_t{rb->rd} + n) % slots);
    return n;
}
