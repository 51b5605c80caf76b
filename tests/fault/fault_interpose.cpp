// SPDX-License-Identifier: MIT
// Allocation and thread-creation faults for the library alone.
//
// This executable defines malloc, calloc, realloc, free and pthread_create;
// an executable's definitions come first in symbol lookup, so every call in
// the process arrives here and is passed on to libc. Calls made from the
// library's own code (return address inside libka_lib_audio.so) are counted,
// and the armed N-th one fails, as an exhausted heap or thread limit would
// make it fail. Pointers the library allocated are kept in a table, so a
// scenario can tell whether the library gave back everything it took.
//
// Sanitizer runtimes own these functions; the sanitizer builds leave them
// out (KA_FAULT_INTERPOSE unset), count nothing and rely on LeakSanitizer.
#include "fault_interpose.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <string.h>

#include <atomic>
#include <cstdint>

namespace {

// Failure plan of one kind of call: the armed-th counted call fails.
struct Plan {
    std::atomic<long> count{0};
    std::atomic<long> armed{0};  // 0: none
    bool take()
    {
        const long n = ++count;
        return armed.load(std::memory_order_relaxed) == n;
    }
};
Plan g_alloc, g_thread;
std::atomic<long> g_live_count{0};  // the library's live allocations

}  // namespace

#ifdef KA_FAULT_INTERPOSE

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {

// The library's code: its executable segment (there is one).
uintptr_t g_text_lo = 0, g_text_hi = 0;

int find_library(struct dl_phdr_info *info, size_t, void *)
{
    if (!info->dlpi_name || !strstr(info->dlpi_name, "libka_lib_audio.so")) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (const ElfW(Phdr) &ph = info->dlpi_phdr[i]; ph.p_type == PT_LOAD && (ph.p_flags & PF_X))
            g_text_lo = info->dlpi_addr + ph.p_vaddr, g_text_hi = g_text_lo + ph.p_memsz;
    return 1;
}

bool from_library(void *ret)
{
    return reinterpret_cast<uintptr_t>(ret) >= g_text_lo && reinterpret_cast<uintptr_t>(ret) < g_text_hi;
}

// Live allocations of the library: an open-addressing set of pointers.
constexpr size_t kSlots = 1 << 14;
void *g_live[kSlots];
pthread_mutex_t g_live_m = PTHREAD_MUTEX_INITIALIZER;
void *const kGone = reinterpret_cast<void *>(1);

// Puts p into the set (`in`) or takes it out.
void track(void *p, bool in)
{
    if (!p || (!in && g_live_count.load(std::memory_order_relaxed) == 0)) return;
    pthread_mutex_lock(&g_live_m);
    const size_t first = (reinterpret_cast<uintptr_t>(p) >> 4) * 2654435761u % kSlots;
    for (size_t i = first, n = 0; n < kSlots && (in || g_live[i]); i = (i + 1) % kSlots, ++n)
        if (in ? !g_live[i] || g_live[i] == kGone : g_live[i] == p) {
            g_live[i] = in ? p : kGone;
            g_live_count += in ? 1 : -1;
            break;
        }
    pthread_mutex_unlock(&g_live_m);
}

// A new block for the caller at `ret`: the library's calls are counted (the
// armed one fails) and what they get is tracked.
template <class Alloc>
void *allocate(void *ret, Alloc alloc)
{
    if (!from_library(ret)) return alloc();
    if (g_alloc.take()) return errno = ENOMEM, nullptr;
    void *p = alloc();
    track(p, true);
    return p;
}

}  // namespace

extern "C" {

void *malloc(size_t n)
{
    return allocate(__builtin_return_address(0), [n] { return __libc_malloc(n); });
}

void *calloc(size_t n, size_t size)
{
    return allocate(__builtin_return_address(0), [n, size] { return __libc_calloc(n, size); });
}

void *realloc(void *old, size_t n)
{
    void *ret = __builtin_return_address(0);
    const bool lib = from_library(ret);
    if (lib && g_alloc.take()) return errno = ENOMEM, nullptr;
    void *p = __libc_realloc(old, n);
    if (p || n == 0) track(old, false);
    if (lib) track(p, true);
    return p;
}

void free(void *p)
{
    track(p, false);
    __libc_free(p);
}

int pthread_create(pthread_t *t, const pthread_attr_t *attr, void *(*fn)(void *), void *arg)
{
    using Fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pthread_create"));
    if (from_library(__builtin_return_address(0)) && g_thread.take()) return EAGAIN;
    return real(t, attr, fn, arg);
}

}  // extern "C"

#endif

namespace fault {

bool interpose_available()
{
#ifdef KA_FAULT_INTERPOSE
    if (!g_text_hi) dl_iterate_phdr(find_library, nullptr);
    return g_text_hi != 0;
#else
    return false;
#endif
}

void arm(Kind k, long nth)
{
    Plan &p = k == Kind::alloc ? g_alloc : g_thread;
    p.armed = 0;
    p.count = 0;
    p.armed = nth;
}

long calls(Kind k)
{
    return (k == Kind::alloc ? g_alloc : g_thread).count.load();
}

long live_allocations()
{
    return g_live_count.load();
}

}  // namespace fault
