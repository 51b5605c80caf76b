// SPDX-License-Identifier: MIT
// The marker of the ARM instruction count: runs one instruction (bx lr) on
// the page that bench/arm/insn_count.c watches, so that the plugin prints
// its running total of user-space instructions. Static and small, so that
// what it adds between two marks is the same every time.
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

int main(void)
{
    void *page = (void *)0x20000000u;
    void *got =
        mmap(page, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (got != page) {
        perror("mark: mmap");
        return 1;
    }
    const uint32_t bx_lr = 0xe12fff1eu;
    memcpy(page, &bx_lr, sizeof bx_lr);
    if (mprotect(page, 4096, PROT_READ | PROT_EXEC) != 0) {
        perror("mark: mprotect");
        return 1;
    }
    __builtin___clear_cache((char *)page, (char *)page + sizeof bx_lr);
    ((void (*)(void))page)();
    return 0;
}
