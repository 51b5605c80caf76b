#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lets this machine run 32-bit ARM programs directly (through qemu-arm), so
# that armhf test programs that start other programs, or themselves, work:
# registers Debian's qemu-arm binfmt entry. Best effort: prints why not and
# exits 1 when the kernel interface is not available.
set -u
dir=/proc/sys/fs/binfmt_misc
conf=/usr/lib/binfmt.d/qemu-arm.conf
[ -e "$dir/qemu-arm" ] && exit 0
if [ ! -e "$dir/register" ]; then
  mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null || { echo "arm-binfmt: cannot mount $dir"; exit 1; }
  # In a chroot the mount shows the machine's entries, which may have it.
  [ -e "$dir/qemu-arm" ] && exit 0
fi
[ -f "$conf" ] || { echo "arm-binfmt: $conf missing (qemu-user-static)"; exit 1; }
grep -v '^#' "$conf" | head -1 > "$dir/register" 2>/dev/null || { echo "arm-binfmt: registration refused"; exit 1; }
[ -e "$dir/qemu-arm" ]
