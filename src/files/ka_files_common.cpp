// SPDX-License-Identifier: MIT
// Descriptor helpers and the common part of the decode start operations.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ka_audio_files.h"
#include "ka_files_internal.h"

namespace ka_files {

// Wait: reads of the caller's descriptor (detection in the caller's
// thread, decoding in the decode threads). A regular file answers at once;
// a pipe or socket blocks until its writer sends data or closes it, which
// only the caller can arrange, and a stop of the play is seen by a decode
// thread only after the read, at its next data write.
ssize_t read_once(int fd, void *buf, size_t n)
{
    ssize_t r;
    do {
        r = ::read(fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return r;
}

ssize_t read_full(int fd, void *buf, size_t n)
{
    auto *p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < n) {
        ssize_t r = read_once(fd, p + got, n - got);
        if (r < 0) return got ? ssize_t(got) : -1;
        if (r == 0) break;
        got += size_t(r);
    }
    return ssize_t(got);
}

bool fd_usable(int fd) { return fd >= 0 && fcntl(fd, F_GETFL) != -1; }

size_t FdReader::read(void *dst, size_t n)
{
    auto *out = static_cast<uint8_t *>(dst);
    size_t done = 0;
    while (done < n) {
        if (pos == end) {
            // Large requests bypass the buffer.
            if (n - done >= sizeof buf) {
                ssize_t r = read_full(fd, out + done, n - done);
                if (r <= 0) break;
                done += size_t(r);
                continue;
            }
            ssize_t r = read_once(fd, buf, sizeof buf);
            if (r <= 0) break;
            pos = 0;
            end = size_t(r);
        }
        size_t k = end - pos < n - done ? end - pos : n - done;
        memcpy(out + done, buf + pos, k);
        pos += k;
        done += k;
    }
    return done;
}

namespace {
// Held by a start operation from the thread creation until the thread id is
// stored; every decode thread passes it before its first data-write call, so
// the data-write callback always knows the thread that calls it.
pthread_mutex_t g_start_gate = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

// Wait: the gate is held only across one pthread_create and the store of
// the id, never across anything that blocks.
void decode_thread_gate()
{
    pthread_mutex_lock(&g_start_gate);
    pthread_mutex_unlock(&g_start_gate);
}

StartResult start_decode_thread(int hdl, int fd, ka_data_write_cb data_write, pthread_t *tid,
                                void *(*body)(void *))
{
    if (!data_write || !tid) return StartResult::bad_args;
    auto *info = static_cast<player_info *>(calloc(1, sizeof(player_info)));
    if (!info) return StartResult::no_memory;
    info->fd = fd;
    info->hdl = hdl;
    info->data_write = data_write;

    pthread_mutex_lock(&g_start_gate);
    pthread_t id;
    if (pthread_create(&id, nullptr, body, info) != 0) {
        pthread_mutex_unlock(&g_start_gate);
        free(info);
        return StartResult::no_thread;
    }
    store_tid(*tid, id);
    pthread_mutex_unlock(&g_start_gate);
    return StartResult::ok;
}

}  // namespace ka_files
