#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command in a fresh, minimal Debian root (debootstrap
# --variant=minbase, Debian's packages only) holding a clone of this
# repository's HEAD, as root, the way a new user's machine would. Nothing of
# the host's comes in but the kernel: no host packages, no build folders, no
# ccache. A missing install step in scripts/install-deps.sh fails there.
#
#   scripts/fresh-debian.sh [--release 12|13] [COMMAND...]
#
# --release: Debian 13 (trixie, the stable release; the default) or Debian 12
# (bookworm, oldstable). COMMAND defaults to scripts/test.sh.
#
# The command runs in /src inside the root. The debootstrapped base is cached
# as a tarball (KA_FRESH_CACHE, default /var/cache/ka-lib-audio) and reused
# on the same machine; each run unpacks it anew into a folder of its own,
# which is removed at the end with every mount and process the run made,
# however the run ends. Needs root (debootstrap, chroot, mount).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${KA_FRESH_CACHE:-/var/cache/ka-lib-audio}
mirror=${KA_FRESH_MIRROR:-http://deb.debian.org/debian}
release=13
case ${1:-} in
  --release) [ $# -ge 2 ] || { echo "fresh-debian: --release needs 12 or 13" >&2; exit 2; }
             release=$2; shift 2 ;;
  --release=*) release=${1#--release=}; shift ;;
esac
case $release in
  12|bookworm) release=12; codename=bookworm ;;
  13|trixie) release=13; codename=trixie ;;
  *) echo "fresh-debian: release $release: 12 (bookworm) or 13 (trixie)" >&2; exit 2 ;;
esac
base="$cache/$codename-minbase.tar"
[ "$(id -u)" = 0 ] || { echo "fresh-debian: needs root" >&2; exit 1; }
[ $# -gt 0 ] || set -- scripts/test.sh

if ! command -v debootstrap >/dev/null; then
  apt-get update -q >/dev/null 2>&1 || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap >/dev/null
fi

mkdir -p "$cache"
if [ ! -f "$base" ]; then
  echo "fresh-debian: making the base root (debootstrap minbase $codename)"
  tmp=$(mktemp -d /var/tmp/ka-base.XXXXXX)
  # An older debootstrap may know the release only as the current testing
  # one: its script for sid makes a trixie root as well.
  script=/usr/share/debootstrap/scripts/$codename
  [ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
  if ! debootstrap --variant=minbase "$codename" "$tmp/root" "$mirror" "$script" >"$tmp/log" 2>&1; then
    tail -20 "$tmp/log" >&2
    rm -rf "$tmp"
    exit 1
  fi
  tar -C "$tmp/root" -cf "$base.part" . && mv "$base.part" "$base"
  rm -rf "$tmp"
fi

root=$(mktemp -d /var/tmp/ka-fresh.XXXXXX)
cleanup() {
  # Every process whose root is this folder (a test left running, a daemon
  # a package started), then the mounts, innermost first, then the files.
  local p
  for _ in 1 2 3; do
    local found=0
    for p in /proc/[0-9]*; do
      if [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ]; then
        kill -9 "${p#/proc/}" 2>/dev/null && found=1
      fi
    done
    [ $found = 0 ] && break
    sleep 1
  done
  grep -o " $root[^ ]*" /proc/mounts | sort -r | while read -r m; do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
  done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

tar -C "$root" -xf "$base"
# What a Debian installation lists: the release with its updates and its
# security fixes (one list, whichever format debootstrap left).
rm -f "$root"/etc/apt/sources.list.d/*.sources
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $codename main
deb $mirror $codename-updates main
deb http://deb.debian.org/debian-security $codename-security main
EOF
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
git -C "$top" archive --format=tar --prefix=src/ HEAD | tar -C "$root" -xf -

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
# A /dev of the root's own, as a container has: the usual nodes, its own
# pseudo-terminals and shared memory; nothing the run does there reaches the
# host's devices.
mount -t tmpfs -o mode=755,nosuid tmpfs "$root/dev"
for n in "null 1 3" "zero 1 5" "full 1 7" "random 1 8" "urandom 1 9" "tty 5 0"; do
  read -r name major minor <<<"$n"
  mknod -m 666 "$root/dev/$name" c "$major" "$minor"
done
mkdir -p "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mount -t tmpfs tmpfs "$root/tmp"
# The one folder kept between runs, one per release: the packages the vm
# stage downloads (the armhf kernel, its headers, busybox and the runtime),
# fetched again only when Debian has newer versions.
vm_cache="$cache/vm-$codename"
mkdir -p "$vm_cache" "$root/var/cache/ka-lib-audio/vm"
mount --bind "$vm_cache" "$root/var/cache/ka-lib-audio/vm"

echo "fresh-debian: running '$*' in a fresh Debian $release ($codename) root ($root)"
# Started in the background and waited for, so that a signal to this script
# runs the clean-up at once (bash defers traps until a foreground child ends).
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  TERM="${TERM:-dumb}" CI="${CI:-}" LANG=C.UTF-8 /bin/bash -c 'cd /src && "$@"' fresh "$@" &
status=0
wait $! || status=$?
exit $status
