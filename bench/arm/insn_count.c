// SPDX-License-Identifier: MIT
// A qemu TCG plugin for qemu-system-arm: counts the guest's user-space
// instructions (below the 32-bit ARM kernel's TASK_SIZE; the kernel and its
// modules lie above) and prints the running total whenever user code runs
// at the marker page, which bench/arm/mark.c maps and calls. The difference
// between two marks is what user space ran between them: every process,
// every thread, libraries and dynamic linker included, the kernel not.
//
//   qemu-system-arm ... -icount shift=0,sleep=off
//                       -plugin insn_count.so -d plugin -D counts.log
//
// Each block is counted when it starts to run. Under -icount, qemu ends a
// block early where an interrupt is due, so only a fault inside a block (a
// page fault, which a rerun repeats) counts instructions that did not run.
//
// Built against qemu-plugin.h of the installed qemu's own source package
// (scripts/arm-instructions.sh fetches it), so that its API version matches.
#include <inttypes.h>
#include <stdio.h>

#include <qemu-plugin.h>

QEMU_PLUGIN_EXPORT int qemu_plugin_version = QEMU_PLUGIN_VERSION;

// User space on the 3G/1G split ends where the modules' area starts.
#define USER_END 0xbf000000u
// The marker page (bench/arm/mark.c maps it with MAP_FIXED_NOREPLACE).
#define MARK_PAGE 0x20000000u

static uint64_t user_insns;  // one vCPU: the callbacks never run at once
static unsigned marks;

static void on_exec(unsigned int vcpu, void *n)
{
    (void)vcpu;
    user_insns += (uintptr_t)n;
}

static void on_mark(unsigned int vcpu, void *unused)
{
    (void)vcpu;
    (void)unused;
    char line[64];
    snprintf(line, sizeof line, "insn_count: mark %u %" PRIu64 "\n", marks++, user_insns);
    qemu_plugin_outs(line);
}

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
    (void)id;
    uint64_t pc = qemu_plugin_tb_vaddr(tb);
    if (pc >= USER_END) return;
    if ((pc & ~0xfffull) == MARK_PAGE)
        qemu_plugin_register_vcpu_tb_exec_cb(tb, on_mark, QEMU_PLUGIN_CB_NO_REGS, NULL);
    else
        qemu_plugin_register_vcpu_tb_exec_cb(tb, on_exec, QEMU_PLUGIN_CB_NO_REGS,
                                             (void *)(uintptr_t)qemu_plugin_tb_n_insns(tb));
}

static void at_end(qemu_plugin_id_t id, void *unused)
{
    (void)id;
    (void)unused;
    char line[64];
    snprintf(line, sizeof line, "insn_count: total %" PRIu64 "\n", user_insns);
    qemu_plugin_outs(line);
}

QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc,
                                           char **argv)
{
    (void)argv;
    if (argc != 0 || info->system_emulation == 0) {
        fprintf(stderr, "insn_count: for qemu-system-arm, without arguments\n");
        return -1;
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, at_end, NULL);
    return 0;
}
