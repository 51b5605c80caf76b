// SPDX-License-Identifier: MIT
// The emulated descriptors' other file operations: read() and write() (the
// device's own: a PCM transfer, a plain I2C message), duplicates (dup, dup2,
// dup3, F_DUPFD) and close_range(), and poll() over emulated and plain
// descriptors together.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>

#include <sound/asound.h>

#include <algorithm>
#include <vector>

#include "kb_internal.h"
#include "kb_shim.h"

namespace kb {
namespace {

// The control file's read() hands out queued events: EBADFD before
// SUBSCRIBE_EVENTS, EINVAL for less than one event, and then, as the board
// never queues one, EAGAIN or a wait that only a signal would end on the
// module. It has no write().
int ctl_file_read(Node *n, size_t bytes)
{
    Guard g;
    if (!n->subscribed) return EBADFD;
    if (bytes < sizeof(snd_ctl_event)) return EINVAL;
    if (n->nonblock) return EAGAIN;
    for (;;) wait_until(0);
}

// As vfs_read/vfs_write: a descriptor not open for it gives EBADF, a device
// without the operation EINVAL; then the device's own operation.
ssize_t node_rw(int fd, void *buf, size_t bytes, bool write, int *handled)
{
    int flags = 0;
    Node *n = node_hold(fd, &flags);
    if (!n) {
        *handled = 0;
        return -1;
    }
    *handled = 1;
    const int acc = flags & O_ACCMODE;
    const bool allowed = write ? (acc == O_WRONLY || acc == O_RDWR) : (acc == O_RDONLY || acc == O_RDWR);
    ssize_t done = 0;
    int err = 0;
    if (flags < 0 || !allowed)
        err = EBADF;
    else if (n->kind == NodeKind::pcm)
        err = pcm_file_rw(n, buf, bytes, write, &done);
    else if (n->kind == NodeKind::i2c)
        err = i2c_file_rw(n, buf, bytes, !write, &done);
    else
        err = write ? EINVAL : ctl_file_read(n, bytes);
    return node_call_end(n, err, done);
}

// The poll mask of an emulated descriptor (POLLNVAL once it is closed).
// i2c-dev has no poll of its own: the kernel's default mask. The control
// file is never ready (no event is ever queued). Lock held.
short node_poll_locked(int fd, short events, int64_t now, int64_t *next)
{
    Node *n = node_find(fd);
    if (!n) return POLLNVAL;
    short mask = 0;
    if (n->kind == NodeKind::pcm)
        mask = pcm_poll_locked(n, now, next);
    else if (n->kind == NodeKind::i2c)
        mask = POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM;
    return short(mask & (events | POLLERR | POLLHUP));
}

}  // namespace

}  // namespace kb

using namespace kb;

extern "C" {

ssize_t kbi_read(int fd, void *buf, size_t n, int *handled)
{
    return node_rw(fd, buf, n, false, handled);
}

ssize_t kbi_write(int fd, const void *buf, size_t n, int *handled)
{
    return node_rw(fd, const_cast<void *>(buf), n, true, handled);
}

int kbi_dup(int oldfd, int newfd, int flags, int to)
{
    // Under the lock, so that the new number and the table agree for anyone
    // else looking it up.
    Guard g;
    Node *from = node_find(oldfd);
    int r = to ? kbi_real_dup3(oldfd, newfd, flags)
               : kbi_real_fcntl(oldfd, (flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, newfd);
    if (r < 0) return -1;
    if (to) node_drop_fd_locked(r);  // the emulated descriptor dup2 closed
    if (from) {
        node_add_fd(r, from);
        ++from->fds;
    }
    return r;
}

void kbi_close_range(unsigned first, unsigned last)
{
    Guard g;
    for (int fd : node_fds_in(first, last)) node_drop_fd_locked(fd);
}

int kbi_poll(struct pollfd *fds, nfds_t n, int64_t timeout_ns, const sigset_t *mask, int64_t *left_ns)
{
    ensure_init();
    const int64_t start = now_ns();
    const int64_t deadline = timeout_ns < 0 ? -1 : start + timeout_ns;
    // The real poll() sees the plain descriptors, and in place of the
    // emulated ones (-1: ignored) an eventfd that the board signals at every
    // change of its state; a change that only the clock brings (frames
    // becoming available) ends the wait by its time.
    std::vector<pollfd> plain(fds, fds + n);
    std::vector<bool> ours(n);
    for (nfds_t i = 0; i < n; ++i) {
        ours[i] = fds[i].fd >= 0 && node_is_ours(fds[i].fd);
        if (ours[i]) plain[i].fd = -1;
    }
    const int efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (efd < 0) return -1;
    plain.push_back({efd, POLLIN, 0});
    bool last_look = false;
    int result;
    for (;;) {
        int64_t now, next = INT64_MAX;
        int ready = 0;
        {
            Guard g;
            now = now_ns();
            for (nfds_t i = 0; i < n; ++i)
                if (ours[i])
                    ready += (fds[i].revents = node_poll_locked(fds[i].fd, fds[i].events, now, &next)) != 0;
            if (!ready && !last_look && (deadline < 0 || now < deadline))
                poller_add(efd);
            else
                last_look = true;
        }
        // No limit (-1) when neither the caller nor the clock gives one.
        int64_t wait = 0;
        if (!last_look) {
            const int64_t until = std::min(next, deadline < 0 ? INT64_MAX : deadline);
            wait = until == INT64_MAX ? -1 : std::max<int64_t>(until - now, 0);
        }
        int r = kbi_real_ppoll(plain.data(), n + (last_look ? 0 : 1), wait, last_look ? nullptr : mask);
        const int err = errno;
        if (!last_look) {
            Guard g;
            poller_remove(efd);
        }
        if (r < 0) {
            errno = err;
            result = -1;
            break;
        }
        if (last_look) {
            result = ready;
            for (nfds_t i = 0; i < n; ++i)
                if (!ours[i]) result += (fds[i].revents = plain[i].revents) != 0;
            break;
        }
        uint64_t count;
        if (plain[n].revents) (void)!kbi_real_read(efd, &count, sizeof count);
        // A plain descriptor is ready, or the time is up: one more look at
        // everything, without waiting.
        if (r > (plain[n].revents ? 1 : 0) || (deadline >= 0 && now_ns() >= deadline)) last_look = true;
    }
    kbi_real_close(efd);
    if (left_ns) *left_ns = deadline < 0 ? 0 : std::max<int64_t>(0, deadline - now_ns());
    return result;
}

}  // extern "C"
