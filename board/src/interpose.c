// SPDX-License-Identifier: MIT
/* The libc entry points through which a program reaches the module's kernel
 * side: paths, close, ioctl and system (interpose_fds.c: the other calls on
 * descriptors). Each one asks the board what the path or descriptor is; whatever is
 * not the board's goes to the real libc function untouched.
 *
 * Written in C so that every definition matches libc's own declaration. The
 * real functions are looked up once with dlsym(RTLD_NEXT) and cached; nothing
 * here calls a wrapped function itself. With a sanitizer runtime loaded
 * first, its interceptors find these definitions as "the next one" and chain
 * to them, and these chain on to libc. */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kb_interpose.h"
#include "kb_shim.h"

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*close_fn)(int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef FILE *(*fopen_fn)(const char *, const char *);
typedef int (*access_fn)(const char *, int);
typedef int (*faccessat_fn)(int, const char *, int, int);
typedef int (*stat_fn)(const char *, void *);
typedef int (*fstatat_fn)(int, const char *, void *, int);
typedef int (*xstat_fn)(int, const char *, void *);
typedef int (*fxstatat_fn)(int, int, const char *, void *, int);
typedef int (*statx_fn)(int, const char *, int, unsigned, void *);
typedef int (*system_fn)(const char *);

REAL(open_fn, open)
REAL(open_fn, open64)
REAL(openat_fn, openat)
REAL(openat_fn, openat64)
REAL(close_fn, close)
REAL(ioctl_fn, ioctl)
REAL(fopen_fn, fopen)
REAL(fopen_fn, fopen64)
REAL(access_fn, access)
REAL(faccessat_fn, faccessat)
REAL(stat_fn, stat)
REAL(stat_fn, stat64)
REAL(stat_fn, lstat)
REAL(stat_fn, lstat64)
REAL(fstatat_fn, fstatat)
REAL(fstatat_fn, fstatat64)
REAL(xstat_fn, __xstat)
REAL(xstat_fn, __xstat64)
REAL(xstat_fn, __lxstat)
REAL(xstat_fn, __lxstat64)
REAL(fxstatat_fn, __fxstatat)
REAL(fxstatat_fn, __fxstatat64)
REAL(statx_fn, statx)
REAL(system_fn, system)
#if __SIZEOF_LONG__ == 4
REAL(ioctl_fn, __ioctl_time64)
REAL(stat_fn, __stat64_time64)
REAL(stat_fn, __lstat64_time64)
REAL(fstatat_fn, __fstatat64_time64)
#endif

/* ---- the real functions, for the board's own use --------------------- */

int kbi_real_open(const char *path, int flags, mode_t mode)
{
    return real_open()(path, flags, mode);
}
int kbi_real_close(int fd) { return real_close()(fd); }
int kbi_real_ioctl(int fd, unsigned long req, void *arg) { return real_ioctl()(fd, req, arg); }
int kbi_real_access(const char *path, int mode) { return real_access()(path, mode); }
int kbi_real_system(const char *cmd) { return real_system()(cmd); }
int kbi_real_is_dir(const char *path)
{
    struct stat st;
    return real_stat()(path, &st) == 0 && S_ISDIR(st.st_mode);
}
/* ---- paths --------------------------------------------------------------- */

/* The path a path-taking call should really use. NULL with errno ENOENT for
 * a path of the module that does not exist. Emulated device nodes stand on
 * /dev/null for the calls that only look at a path. */
static int route(int dirfd, const char *path, char *buf, size_t cap, const char **out)
{
    *out = path;
    if (!path || (path[0] != '/' && dirfd != AT_FDCWD)) return 0;
    switch (kbi_classify(path, buf, cap)) {
    case KBI_NODE:
        *out = "/dev/null";
        return 0;
    case KBI_REDIRECT:
        *out = buf;
        return 0;
    case KBI_ABSENT:
        errno = ENOENT;
        return -1;
    default:
        return 0;
    }
}

static mode_t open_mode(int flags, va_list ap)
{
    if (flags & (O_CREAT | O_TMPFILE)) return (mode_t)va_arg(ap, int);
    return 0;
}

static int path_is_absolute_or_cwd(int dirfd, const char *path)
{
    return path && (path[0] == '/' || dirfd == AT_FDCWD);
}

/* Opens through `plain` (open/open64) or `at` (openat/openat64). */
static int board_open(int dirfd, const char *path, int flags, mode_t mode, open_fn plain,
                      openat_fn at)
{
    char buf[PATH_MAX];
    if (path_is_absolute_or_cwd(dirfd, path)) {
        switch (kbi_classify(path, buf, sizeof buf)) {
        case KBI_NODE:
            return kbi_open_node(path, flags, mode);
        case KBI_ABSENT:
            errno = ENOENT;
            return -1;
        case KBI_REDIRECT:
            kbi_note_open(path, flags);
            path = buf;
            break;
        default:
            break;
        }
    }
    if (at) return at(dirfd, path, flags, mode);
    return plain(path, flags, mode);
}

KB_EXPORT int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return board_open(AT_FDCWD, path, flags, mode, real_open(), NULL);
}

KB_EXPORT int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return board_open(AT_FDCWD, path, flags, mode, real_open64(), NULL);
}

KB_EXPORT int __open_2(const char *path, int flags)
{
    return board_open(AT_FDCWD, path, flags, 0, real_open(), NULL);
}

KB_EXPORT int __open64_2(const char *path, int flags)
{
    return board_open(AT_FDCWD, path, flags, 0, real_open64(), NULL);
}

KB_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return board_open(dirfd, path, flags, mode, NULL, real_openat());
}

KB_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return board_open(dirfd, path, flags, mode, NULL, real_openat64());
}

KB_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    return board_open(dirfd, path, flags, 0, NULL, real_openat());
}

KB_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
    return board_open(dirfd, path, flags, 0, NULL, real_openat64());
}

/* The open(2) flags of an fopen mode. */
static int fopen_flags(const char *mode)
{
    int plus = mode && strchr(mode, '+') != NULL;
    switch (mode ? mode[0] : 'r') {
    case 'w':
        return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
        return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
        return plus ? O_RDWR : O_RDONLY;
    }
}

KB_EXPORT FILE *fopen(const char *restrict path, const char *restrict mode)
{
    char buf[PATH_MAX];
    const char *p;
    if (route(AT_FDCWD, path, buf, sizeof buf, &p) < 0) return NULL;
    if (p == buf) kbi_note_open(path, fopen_flags(mode));
    return real_fopen()(p, mode);
}

KB_EXPORT FILE *fopen64(const char *restrict path, const char *restrict mode)
{
    char buf[PATH_MAX];
    const char *p;
    if (route(AT_FDCWD, path, buf, sizeof buf, &p) < 0) return NULL;
    if (p == buf) kbi_note_open(path, fopen_flags(mode));
    return real_fopen64()(p, mode);
}

KB_EXPORT int access(const char *path, int mode)
{
    char buf[PATH_MAX];
    const char *p;
    if (route(AT_FDCWD, path, buf, sizeof buf, &p) < 0) return -1;
    return real_access()(p, mode);
}

KB_EXPORT int faccessat(int dirfd, const char *path, int mode, int flags)
{
    char buf[PATH_MAX];
    const char *p;
    if (route(dirfd, path, buf, sizeof buf, &p) < 0) return -1;
    return real_faccessat()(dirfd, p, mode, flags);
}

/* The stat family: the board only changes the path. */
#define STAT_WRAPPER(name, type)                              \
    KB_EXPORT int name(const char *restrict path, type buf)   \
    {                                                         \
        char rb[PATH_MAX];                                    \
        const char *p; \
        if (route(AT_FDCWD, path, rb, sizeof rb, &p) < 0) return -1;                            \
        return real_##name()(p, buf);                         \
    }

STAT_WRAPPER(stat, struct stat *restrict)
STAT_WRAPPER(stat64, struct stat64 *restrict)
STAT_WRAPPER(lstat, struct stat *restrict)
STAT_WRAPPER(lstat64, struct stat64 *restrict)
#if __SIZEOF_LONG__ == 4
STAT_WRAPPER(__stat64_time64, void *)
STAT_WRAPPER(__lstat64_time64, void *)
#endif

#define FSTATAT_WRAPPER(name, type)                                                   \
    KB_EXPORT int name(int dirfd, const char *restrict path, type buf, int flags)     \
    {                                                                                 \
        char rb[PATH_MAX];                                                            \
        const char *p;                            \
        if (route(dirfd, path, rb, sizeof rb, &p) < 0) return -1;                                                    \
        return real_##name()(dirfd, p, buf, flags);                                   \
    }

FSTATAT_WRAPPER(fstatat, struct stat *restrict)
FSTATAT_WRAPPER(fstatat64, struct stat64 *restrict)
#if __SIZEOF_LONG__ == 4
FSTATAT_WRAPPER(__fstatat64_time64, void *)
#endif

/* The stat entry points of programs built against an older libc. */
#define XSTAT_WRAPPER(name)                                   \
    KB_EXPORT int name(int ver, const char *path, void *buf)  \
    {                                                         \
        char rb[PATH_MAX];                                    \
        const char *p; \
        if (route(AT_FDCWD, path, rb, sizeof rb, &p) < 0) return -1;                            \
        xstat_fn f = real_##name();                           \
        if (!f) {                                             \
            errno = ENOSYS;                                   \
            return -1;                                        \
        }                                                     \
        return f(ver, p, buf);                                \
    }

XSTAT_WRAPPER(__xstat)
XSTAT_WRAPPER(__xstat64)
XSTAT_WRAPPER(__lxstat)
XSTAT_WRAPPER(__lxstat64)

#define FXSTATAT_WRAPPER(name)                                                    \
    KB_EXPORT int name(int ver, int dirfd, const char *path, void *buf, int flags) \
    {                                                                             \
        char rb[PATH_MAX];                                                        \
        const char *p;                        \
        if (route(dirfd, path, rb, sizeof rb, &p) < 0) return -1;                                                \
        fxstatat_fn f = real_##name();                                            \
        if (!f) {                                                                 \
            errno = ENOSYS;                                                       \
            return -1;                                                            \
        }                                                                         \
        return f(ver, dirfd, p, buf, flags);                                      \
    }

FXSTATAT_WRAPPER(__fxstatat)
FXSTATAT_WRAPPER(__fxstatat64)

KB_EXPORT int statx(int dirfd, const char *restrict path, int flags, unsigned int mask,
                    struct statx *restrict buf)
{
    char rb[PATH_MAX];
    const char *p;
    if (route(dirfd, path, rb, sizeof rb, &p) < 0) return -1;
    return real_statx()(dirfd, p, flags, mask, buf);
}

/* ---- descriptors ------------------------------------------------------- */

KB_EXPORT int close(int fd)
{
    if (kbi_is_node(fd)) {
        int r = kbi_close(fd);
        if (r != -2) return r;
    }
    return real_close()(fd);
}

KB_EXPORT int ioctl(int fd, unsigned long req, ...)
{
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (kbi_is_node(fd)) {
        int handled = 0;
        int r = kbi_ioctl(fd, req, arg, &handled);
        if (handled) return r;
    }
    return real_ioctl()(fd, req, arg);
}

#if __SIZEOF_LONG__ == 4
/* 32-bit programs built with 64-bit time call this name instead. */
KB_EXPORT int __ioctl_time64(int fd, unsigned long req, ...)
{
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (kbi_is_node(fd)) {
        int handled = 0;
        int r = kbi_ioctl(fd, req, arg, &handled);
        if (handled) return r;
    }
    ioctl_fn f = real___ioctl_time64();
    if (!f) f = real_ioctl();
    return f(fd, req, arg);
}
#endif

/* ---- commands ---------------------------------------------------------- */

KB_EXPORT int system(const char *cmd)
{
    if (!cmd) return real_system()(cmd);
    return kbi_system(cmd);
}
