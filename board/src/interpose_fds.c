// SPDX-License-Identifier: MIT
/* The libc entry points that act on descriptors besides close and ioctl:
 * read and write, duplicates, close_range, and waiting (poll, select and
 * their variants). Whatever is not an emulated descriptor goes to the real
 * libc function untouched; nothing here calls a wrapped function itself. */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include "kb_interpose.h"
#include "kb_shim.h"

/* libc declares poll's array write-only (it fills the results); these
 * wrappers read the descriptors and events the caller put there. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef ssize_t (*read_chk_fn)(int, void *, size_t, size_t);
typedef int (*fcntl_fn)(int, int, ...);
typedef int (*dup_fn)(int);
typedef int (*dup2_fn)(int, int);
typedef int (*dup3_fn)(int, int, int);
typedef int (*close_range_fn)(unsigned, unsigned, int);
typedef void (*closefrom_fn)(int);
typedef int (*poll_fn)(struct pollfd *, nfds_t, int);
typedef int (*poll_chk_fn)(struct pollfd *, nfds_t, int, size_t);
typedef int (*ppoll_fn)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
typedef int (*ppoll_chk_fn)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *, size_t);
typedef int (*select_fn)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
typedef int (*pselect_fn)(int, fd_set *, fd_set *, fd_set *, const struct timespec *, const sigset_t *);

REAL(read_fn, read)
REAL(write_fn, write)
REAL(read_chk_fn, __read_chk)
REAL(fcntl_fn, fcntl)
REAL(fcntl_fn, fcntl64)
REAL(dup_fn, dup)
REAL(dup2_fn, dup2)
REAL(dup3_fn, dup3)
REAL(close_range_fn, close_range)
REAL(closefrom_fn, closefrom)
REAL(poll_fn, poll)
REAL(poll_chk_fn, __poll_chk)
REAL(ppoll_fn, ppoll)
REAL(ppoll_chk_fn, __ppoll_chk)
REAL(select_fn, select)
REAL(pselect_fn, pselect)
#if __SIZEOF_LONG__ == 4
REAL(fcntl_fn, __fcntl_time64)
#endif

/* ---- the real functions, for the board's own use --------------------- */

ssize_t kbi_real_read(int fd, void *buf, size_t n)
{
    return real_read()(fd, buf, n);
}
ssize_t kbi_real_write(int fd, const void *buf, size_t n)
{
    return real_write()(fd, buf, n);
}
int kbi_real_fcntl(int fd, int cmd, long arg)
{
    return real_fcntl()(fd, cmd, arg);
}
int kbi_real_dup3(int oldfd, int newfd, int flags)
{
    return real_dup3()(oldfd, newfd, flags);
}
void kbi_real_closefrom(int lowfd)
{
    closefrom_fn f = real_closefrom();
    if (f) f(lowfd);
}
int kbi_real_ppoll(struct pollfd *fds, nfds_t n, int64_t timeout_ns, const sigset_t *mask)
{
    struct timespec ts, *t = NULL;
    /* At most an hour at a time (a 32-bit time_t), the caller loops. */
    if (timeout_ns > (int64_t)3600 * 1000000000) timeout_ns = (int64_t)3600 * 1000000000;
    if (timeout_ns >= 0) {
        ts.tv_sec = (time_t)(timeout_ns / 1000000000);
        ts.tv_nsec = (long)(timeout_ns % 1000000000);
        t = &ts;
    }
    return real_ppoll()(fds, n, t, mask);
}

/* read() and write(): the device's own file operations (the PCM transfer, a
 * plain I2C message). */
static ssize_t board_read(int fd, void *buf, size_t n)
{
    if (kbi_is_node(fd)) {
        int handled = 0;
        ssize_t r = kbi_read(fd, buf, n, &handled);
        if (handled) return r;
    }
    return real_read()(fd, buf, n);
}

KB_EXPORT ssize_t read(int fd, void *buf, size_t n)
{
    return board_read(fd, buf, n);
}

KB_EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen)
{
    if (n > buflen) return real___read_chk()(fd, buf, n, buflen); /* fails as fortify does */
    return board_read(fd, buf, n);
}

KB_EXPORT ssize_t write(int fd, const void *buf, size_t n)
{
    if (kbi_is_node(fd)) {
        int handled = 0;
        ssize_t r = kbi_write(fd, buf, n, &handled);
        if (handled) return r;
    }
    return real_write()(fd, buf, n);
}

/* ---- duplicates ---------------------------------------------------------- */

/* A duplicate of an emulated descriptor reaches the same emulated open file
 * (the board's table gets the new number); a duplicate made onto an emulated
 * descriptor closes that one first, as dup2 does. The descriptors themselves
 * are real (of /dev/null), so their file status flags are shared as the
 * kernel shares them. */
static int board_fcntl(int fd, int cmd, void *arg, fcntl_fn f)
{
    if ((cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && kbi_is_node(fd))
        return kbi_dup(fd, (int)(intptr_t)arg, cmd == F_DUPFD_CLOEXEC ? O_CLOEXEC : 0, 0);
    return f(fd, cmd, arg);
}

#define FCNTL_WRAPPER(name)                  \
    KB_EXPORT int name(int fd, int cmd, ...) \
    {                                        \
        va_list ap;                          \
        va_start(ap, cmd);                   \
        void *arg = va_arg(ap, void *);      \
        va_end(ap);                          \
        fcntl_fn f = real_##name();          \
        if (!f) f = real_fcntl();            \
        return board_fcntl(fd, cmd, arg, f); \
    }

FCNTL_WRAPPER(fcntl)
FCNTL_WRAPPER(fcntl64)
#if __SIZEOF_LONG__ == 4
FCNTL_WRAPPER(__fcntl_time64)
#endif

KB_EXPORT int dup(int fd)
{
    if (kbi_is_node(fd)) return kbi_dup(fd, 0, 0, 0);
    return real_dup()(fd);
}

KB_EXPORT int dup2(int oldfd, int newfd)
{
    if (oldfd != newfd && (kbi_is_node(oldfd) || kbi_is_node(newfd))) return kbi_dup(oldfd, newfd, 0, 1);
    return real_dup2()(oldfd, newfd);
}

KB_EXPORT int dup3(int oldfd, int newfd, int flags)
{
    if (oldfd != newfd && (kbi_is_node(oldfd) || kbi_is_node(newfd))) return kbi_dup(oldfd, newfd, flags, 1);
    return real_dup3()(oldfd, newfd, flags);
}

KB_EXPORT int close_range(unsigned first, unsigned last, int flags)
{
    close_range_fn f = real_close_range();
    if (!f) {
        errno = ENOSYS;
        return -1;
    }
    /* Only a valid request that closes: one that marks close-on-exec keeps
     * the descriptors open. */
    if (first <= last && !(flags & ~(CLOSE_RANGE_UNSHARE | CLOSE_RANGE_CLOEXEC)) &&
        !(flags & CLOSE_RANGE_CLOEXEC))
        kbi_close_range(first, last);
    return f(first, last, flags);
}

KB_EXPORT void closefrom(int lowfd)
{
    closefrom_fn f = real_closefrom();
    if (lowfd >= 0) kbi_close_range((unsigned)lowfd, ~0u);
    if (f) f(lowfd);
}

/* ---- waiting for descriptors ----------------------------------------------- */

static int has_node(const struct pollfd *fds, nfds_t n)
{
    for (nfds_t i = 0; i < n; ++i)
        if (fds[i].fd >= 0 && kbi_is_node(fds[i].fd)) return 1;
    return 0;
}

static int64_t ts_ns(const struct timespec *t)
{
    if (!t) return -1;
    return (int64_t)t->tv_sec * 1000000000 + t->tv_nsec;
}

KB_EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout)
{
    if (!has_node(fds, n)) return real_poll()(fds, n, timeout);
    return kbi_poll(fds, n, timeout < 0 ? -1 : (int64_t)timeout * 1000000, NULL, NULL);
}

KB_EXPORT int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t fdslen)
{
    if (fdslen / sizeof *fds < n || !has_node(fds, n)) return real___poll_chk()(fds, n, timeout, fdslen);
    return kbi_poll(fds, n, timeout < 0 ? -1 : (int64_t)timeout * 1000000, NULL, NULL);
}

KB_EXPORT int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *t, const sigset_t *mask)
{
    if (!has_node(fds, n)) return real_ppoll()(fds, n, t, mask);
    return kbi_poll(fds, n, ts_ns(t), mask, NULL);
}

KB_EXPORT int __ppoll_chk(struct pollfd *fds, nfds_t n, const struct timespec *t, const sigset_t *mask,
                          size_t fdslen)
{
    if (fdslen / sizeof *fds < n || !has_node(fds, n)) return real___ppoll_chk()(fds, n, t, mask, fdslen);
    return kbi_poll(fds, n, ts_ns(t), mask, NULL);
}

/* select() and pselect() over emulated descriptors: as poll() with the sets'
 * events, turned back into sets the way the kernel does (readable: in, hang
 * up or error; writable: out or error; exceptional: priority data). -2 when
 * no descriptor of the sets is emulated. */
static int board_select(int nfds, fd_set *rd, fd_set *wr, fd_set *ex, int64_t timeout_ns,
                        const sigset_t *mask, int64_t *left_ns)
{
    if (nfds < 0 || nfds > FD_SETSIZE) return -2;
    struct pollfd pf[FD_SETSIZE];
    nfds_t n = 0;
    int nodes = 0;
    for (int fd = 0; fd < nfds; ++fd) {
        short ev = 0;
        if (rd && FD_ISSET(fd, rd)) ev |= POLLIN;
        if (wr && FD_ISSET(fd, wr)) ev |= POLLOUT;
        if (ex && FD_ISSET(fd, ex)) ev |= POLLPRI;
        if (!ev) continue;
        nodes |= kbi_is_node(fd);
        pf[n].fd = fd;
        pf[n].events = ev;
        pf[n].revents = 0;
        ++n;
    }
    if (!nodes) return -2;
    int r = kbi_poll(pf, n, timeout_ns, mask, left_ns);
    if (r < 0) return -1;
    for (nfds_t i = 0; i < n; ++i)
        if (pf[i].revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
    int count = 0;
    for (nfds_t i = 0; i < n; ++i) {
        int fd = pf[i].fd;
        short re = pf[i].revents;
        if (rd && FD_ISSET(fd, rd)) {
            if (re & (POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR))
                ++count;
            else
                FD_CLR(fd, rd);
        }
        if (wr && FD_ISSET(fd, wr)) {
            if (re & (POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR))
                ++count;
            else
                FD_CLR(fd, wr);
        }
        if (ex && FD_ISSET(fd, ex)) {
            if (re & POLLPRI)
                ++count;
            else
                FD_CLR(fd, ex);
        }
    }
    return count;
}

KB_EXPORT int select(int nfds, fd_set *rd, fd_set *wr, fd_set *ex, struct timeval *t)
{
    int64_t left = 0;
    int64_t ns = t ? (int64_t)t->tv_sec * 1000000000 + (int64_t)t->tv_usec * 1000 : -1;
    int r = board_select(nfds, rd, wr, ex, ns, NULL, &left);
    if (r == -2) return real_select()(nfds, rd, wr, ex, t);
    if (t) { /* Linux leaves the time not slept in the timeout */
        t->tv_sec = (time_t)(left / 1000000000);
        t->tv_usec = (suseconds_t)(left % 1000000000 / 1000);
    }
    return r;
}

KB_EXPORT int pselect(int nfds, fd_set *rd, fd_set *wr, fd_set *ex, const struct timespec *t,
                      const sigset_t *mask)
{
    int r = board_select(nfds, rd, wr, ex, ts_ns(t), mask, NULL);
    if (r == -2) return real_pselect()(nfds, rd, wr, ex, t, mask);
    return r;
}

#if __SIZEOF_LONG__ == 4
/* 32-bit programs built with 64-bit time call these names instead. */
struct kbi_timespec64 {
    int64_t tv_sec;
    int32_t tv_nsec;
    int32_t pad;
};
struct kbi_timeval64 {
    int64_t tv_sec;
    int64_t tv_usec;
};
typedef int (*ppoll64_fn)(struct pollfd *, nfds_t, const struct kbi_timespec64 *, const sigset_t *);
typedef int (*ppoll64_chk_fn)(struct pollfd *, nfds_t, const struct kbi_timespec64 *, const sigset_t *,
                              size_t);
typedef int (*select64_fn)(int, fd_set *, fd_set *, fd_set *, struct kbi_timeval64 *);
typedef int (*pselect64_fn)(int, fd_set *, fd_set *, fd_set *, const struct kbi_timespec64 *,
                            const sigset_t *);
REAL(ppoll64_fn, __ppoll64)
REAL(ppoll64_chk_fn, __ppoll64_chk)
REAL(select64_fn, __select64)
REAL(pselect64_fn, __pselect64)

static int64_t ts64_ns(const struct kbi_timespec64 *t)
{
    if (!t) return -1;
    return t->tv_sec * 1000000000 + t->tv_nsec;
}

static int missing(void)
{
    errno = ENOSYS;
    return -1;
}

KB_EXPORT int __ppoll64(struct pollfd *fds, nfds_t n, const struct kbi_timespec64 *t, const sigset_t *mask)
{
    if (has_node(fds, n)) return kbi_poll(fds, n, ts64_ns(t), mask, NULL);
    ppoll64_fn f = real___ppoll64();
    return f ? f(fds, n, t, mask) : missing();
}

KB_EXPORT int __ppoll64_chk(struct pollfd *fds, nfds_t n, const struct kbi_timespec64 *t,
                            const sigset_t *mask, size_t fdslen)
{
    if (fdslen / sizeof *fds >= n && has_node(fds, n)) return kbi_poll(fds, n, ts64_ns(t), mask, NULL);
    ppoll64_chk_fn f = real___ppoll64_chk();
    return f ? f(fds, n, t, mask, fdslen) : missing();
}

KB_EXPORT int __select64(int nfds, fd_set *rd, fd_set *wr, fd_set *ex, struct kbi_timeval64 *t)
{
    int64_t left = 0;
    int64_t ns = t ? t->tv_sec * 1000000000 + t->tv_usec * 1000 : -1;
    int r = board_select(nfds, rd, wr, ex, ns, NULL, &left);
    if (r == -2) {
        select64_fn f = real___select64();
        return f ? f(nfds, rd, wr, ex, t) : missing();
    }
    if (t) {
        t->tv_sec = left / 1000000000;
        t->tv_usec = left % 1000000000 / 1000;
    }
    return r;
}

KB_EXPORT int __pselect64(int nfds, fd_set *rd, fd_set *wr, fd_set *ex, const struct kbi_timespec64 *t,
                          const sigset_t *mask)
{
    int r = board_select(nfds, rd, wr, ex, ts64_ns(t), mask, NULL);
    if (r != -2) return r;
    pselect64_fn f = real___pselect64();
    return f ? f(nfds, rd, wr, ex, t, mask) : missing();
}
#endif
