#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building, testing, the demo and the examples need on a
# Debian 12 or 13 machine, down to a minimal root (debootstrap minbase):
# the toolchains, make for the examples' Makefile, man for the install check's
# manual pages, gcovr for the coverage stage, valgrind for the instruction
# count gate, the codec libraries, test material tools, FFTW, libpng,
# nlohmann-json, python3 and chromium for the board's run report and its test, and the armhf cross
# toolchain with the module's multiarch runtime for qemu, and qemu-system-arm
# with cpio and xz-utils for the real ARM kernel of the vm stage (Debian 13
# compresses its kernel modules; glib's headers for its instruction count
# plugin), and debhelper, lintian and Debian's cross build set for the
# packages stage. Idempotent: only missing packages are installed.
set -euo pipefail

want=(cmake ninja-build ccache pkg-config make g++ clang libclang-rt-dev llvm gcovr man-db
      libgtest-dev libgmock-dev libbenchmark-dev
      libmad0-dev libopencore-amrnb-dev libopencore-amrwb-dev
      ffmpeg sox lame libasound2-dev doxygen valgrind
      libfftw3-dev libpng-dev nlohmann-json3-dev python3 chromium
      g++-arm-linux-gnueabihf qemu-user-static qemu-system-arm cpio libglib2.0-dev xz-utils
      build-essential dpkg-dev debhelper lintian crossbuild-essential-armhf)
# The armhf build dependencies of the Debian packages (debian/control) but
# the MPEG audio decoder's (below); the report of the armhf ka-board reads
# traces with the same header-only nlohmann-json. libpng-dev:armhf brings
# libc6-dev:armhf, as crossbuild-essential-armhf does, whose kernel headers
# (linux-libc-dev:armhf, on Debian 12) must have the host's version.
want_armhf=(libc6:armhf libstdc++6:armhf libmad0:armhf libopencore-amrnb-dev:armhf
            libopencore-amrwb-dev:armhf libgtest-dev:armhf libgmock-dev:armhf
            pkgconf:armhf libasound2-dev:armhf libfftw3-dev:armhf libpng-dev:armhf)

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# apt's own output goes to a log; it is shown only when a step fails. An
# index that cannot be fetched (on a fresh machine, often the armhf part of
# the security mirror) is not fatal: what the other indexes bring is enough,
# and a real lack shows in the install that follows.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
apt_update() {
  if ! as_root apt-get update -q >"$log" 2>&1 || grep -q '^[EW]:' "$log"; then
    echo "install-deps: some package indexes could not be fetched; going on with the others"
  fi
}

missing=()
for p in "${want[@]}" "${want_armhf[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    as_root dpkg --add-architecture armhf
  fi
  apt_update
  # --no-remove: a version clash between the host's and the armhf packages
  # must fail here, never make apt take the compiler away.
  if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends --no-remove \
         "${missing[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    echo "install-deps: installing failed" >&2
    exit 1
  fi
fi

# The MPEG audio decoder's -dev package cannot be installed for armhf beside
# the host's; its armhf header is unpacked into a folder of our own.
mad_root="${KA_MAD_ARMHF_ROOT:-/var/cache/ka-lib-audio/libmad0-dev-armhf}"
if [ ! -f "$mad_root/usr/include/mad.h" ]; then
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get download libmad0-dev:armhf >/dev/null 2>&1 ||
     { apt_update; apt-get download libmad0-dev:armhf >"$log" 2>&1 || { cat "$log" >&2; exit 1; }; })
  as_root mkdir -p "$mad_root"
  as_root dpkg-deb -x "$tmp"/libmad0-dev_*_armhf.deb "$mad_root"
  rm -rf "$tmp"
fi
echo "install-deps: all present"
