// SPDX-License-Identifier: MIT
/* What the files of libc entry points (interpose.c: paths, close, ioctl,
 * system; interpose_fds.c: read, write, duplicates, waiting) share: each
 * finds the real function once with dlsym(RTLD_NEXT) and caches it. Included
 * by C files only, after their feature macros. */
#ifndef KB_INTERPOSE_H
#define KB_INTERPOSE_H

#include <dlfcn.h>

#define KB_EXPORT __attribute__((visibility("default")))

/* Looks `name` up once and caches it. */
static inline void *next_symbol(void **cache, const char *name)
{
    void *f = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (!f) {
        f = dlsym(RTLD_NEXT, name);
        __atomic_store_n(cache, f, __ATOMIC_RELEASE);
    }
    return f;
}

#define REAL(type, name)                         \
    static type real_##name(void)                \
    {                                            \
        static void *cache;                      \
        return (type)next_symbol(&cache, #name); \
    }

#endif
