// SPDX-License-Identifier: MIT
/* Between the libc entry points (interpose.c, plain C so that its
 * definitions match libc's declarations exactly) and the emulation (C++). */
#ifndef KB_SHIM_H
#define KB_SHIM_H

#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KBI_HIDDEN __attribute__((visibility("hidden")))

/* What a path is to the board. */
enum kbi_path {
    KBI_PASS = 0,     /* not the board's */
    KBI_NODE = 1,     /* an emulated device node: open it with kbi_open_node */
    KBI_REDIRECT = 2, /* a board file: use the path written to `out` */
    KBI_ABSENT = 3    /* a path of the module that does not exist: ENOENT */
};
KBI_HIDDEN int kbi_classify(const char *path, char *out, size_t cap);
KBI_HIDDEN int kbi_open_node(const char *path, int flags, mode_t mode);
/* Non-zero when `fd` is an emulated descriptor. */
KBI_HIDDEN int kbi_is_node(int fd);
/* Closes an emulated descriptor; -2 when `fd` is not one. */
KBI_HIDDEN int kbi_close(int fd);
/* The ioctl of an emulated descriptor; *handled 0 when `fd` is not one. */
KBI_HIDDEN int kbi_ioctl(int fd, unsigned long req, void *arg, int *handled);
KBI_HIDDEN int kbi_system(const char *cmd);
/* read() and write() of an emulated descriptor; *handled 0 when `fd` is not one. */
KBI_HIDDEN ssize_t kbi_read(int fd, void *buf, size_t n, int *handled);
KBI_HIDDEN ssize_t kbi_write(int fd, const void *buf, size_t n, int *handled);
/* A duplicate of `oldfd`: `to` 0 at the lowest free number from `newfd` up
 * (dup, F_DUPFD), 1 at `newfd` itself (dup2, dup3; oldfd != newfd). `flags`:
 * O_CLOEXEC or 0. Either descriptor may be emulated. */
KBI_HIDDEN int kbi_dup(int oldfd, int newfd, int flags, int to);
/* The emulated descriptors in [first, last] are being closed. */
KBI_HIDDEN void kbi_close_range(unsigned first, unsigned last);
/* poll() over descriptors of which some are emulated; timeout_ns < 0 waits
 * without a limit; *left_ns (if given) gets the time not waited. */
KBI_HIDDEN int kbi_poll(struct pollfd *fds, nfds_t n, int64_t timeout_ns, const sigset_t *mask,
                        int64_t *left_ns);
/* A board file (not a device node) is being opened: an event. */
KBI_HIDDEN void kbi_note_open(const char *path, int flags);

/* The real libc functions. Nothing in the board calls a wrapped entry point
 * itself (a wrapped call may take the board lock, which the caller may hold
 * already): it uses these. The test board_own_calls keeps it so. */
KBI_HIDDEN int kbi_real_open(const char *path, int flags, mode_t mode);
KBI_HIDDEN int kbi_real_close(int fd);
KBI_HIDDEN int kbi_real_ioctl(int fd, unsigned long req, void *arg);
KBI_HIDDEN int kbi_real_access(const char *path, int mode);
KBI_HIDDEN int kbi_real_system(const char *cmd);
KBI_HIDDEN ssize_t kbi_real_read(int fd, void *buf, size_t n);
KBI_HIDDEN ssize_t kbi_real_write(int fd, const void *buf, size_t n);
KBI_HIDDEN int kbi_real_fcntl(int fd, int cmd, long arg);
KBI_HIDDEN int kbi_real_dup3(int oldfd, int newfd, int flags);
KBI_HIDDEN void kbi_real_closefrom(int lowfd);
/* Whether `path` is a directory (stat). */
KBI_HIDDEN int kbi_real_is_dir(const char *path);
/* ppoll(); timeout_ns < 0 waits without a limit, else at most an hour. */
KBI_HIDDEN int kbi_real_ppoll(struct pollfd *fds, nfds_t n, int64_t timeout_ns, const sigset_t *mask);

#ifdef __cplusplus
}
#endif

#endif
