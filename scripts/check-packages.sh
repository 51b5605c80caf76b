#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the Debian packages (debian/) as a packager would and checks them:
#  - natively with `dpkg-buildpackage -us -uc -b`, the source package with
#    dpkg-source; for armhf with Debian's cross build (`dpkg-buildpackage -a
#    armhf -B`), the build dependencies as :armhf packages: all of them but
#    the MPEG audio decoder's -dev package, which cannot be installed beside
#    the host's, and whose armhf header comes from its unpacked package
#    (KA_MAD_ROOT, as the armhf stage does);
#  - lintian on all of them: no error, no warning;
#  - the packages' build folders installed under a prefix of their own
#    (scripts/check-install.sh: the installed tree, the examples built
#    against it and run on the board);
#  - `apt-get install ./*.deb`; the examples as a package of their own
#    (examples/debian) built against the installed packages, its Depends
#    filled by dpkg-shlibdeps from the symbols file, run on the board;
#  - `apt-get purge` of everything leaves no file behind.
#
#   check-packages.sh WORK_DIR
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1" && work=$(cd "$1" && pwd)
jobs=${KA_JOBS:-$(nproc)}
mad_root="${KA_MAD_ARMHF_ROOT:-/var/cache/ka-lib-audio/libmad0-dev-armhf}"
arch=$(dpkg --print-architecture)
ver=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
. "$top/scripts/checks.sh"
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo -n "$@"; fi; }
apt_q() { as_root env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@"; }
# lintian's findings are printed; errors and warnings fail.
run_lintian() {
  local out rc
  out=$(lintian --fail-on error,warning -I "$@" 2>&1)
  rc=$?
  out=$(grep -v 'running with root privileges' <<<"$out")
  echo "lintian $(basename "$1"): ${out:-(nothing)}" | sed '2,$s/^/  /'
  return "$rc"
}
# A copy of the sources: dpkg-buildpackage writes beside the source folder.
copy_sources() {
  mkdir -p "$2"
  (cd "$1" && tar --exclude=./.git --exclude='./build*' -cf - .) | tar -C "$2" -xf -
}

check "debian/changelog's version ($ver) is the project's" \
  "grep -q 'project(ka_lib_audio VERSION $ver ' '$top/CMakeLists.txt'"
rm -rf "$work"
export DEB_BUILD_OPTIONS="parallel=$jobs"

# ---- native ----
src="$work/native/ka-lib-audio-$ver"
copy_sources "$top" "$src"
(cd "$work/native" && dpkg-source -b "ka-lib-audio-$ver" >"$work/source.log" 2>&1) || { cat "$work/source.log"; bad "dpkg-source -b"; }
if (cd "$src" && dpkg-buildpackage -us -uc -b >"$work/native.log" 2>&1); then
  ok "dpkg-buildpackage -us -uc -b"
  check "lintian ($arch and source)" \
    "run_lintian '$work/native/ka-lib-audio_${ver}_$arch.changes' '$work/native/ka-lib-audio_$ver.dsc'"
  "$top/scripts/check-install.sh" "$src/obj-$(dpkg-architecture -qDEB_HOST_MULTIARCH)" >"$work/install-native.log" 2>&1
  check "the installed tree of the package build (check-install.sh)" "tail -1 '$work/install-native.log' | grep -q 'install check passed'"
  grep '^FAILED' "$work/install-native.log"
else
  tail -40 "$work/native.log"; bad "dpkg-buildpackage -us -uc -b"
fi

# ---- armhf ----
xsrc="$work/armhf/ka-lib-audio-$ver"
copy_sources "$top" "$xsrc"
unmet=$(cd "$xsrc" && dpkg-checkbuilddeps -a armhf 2>&1 | sed -n 's/.*[Uu]nmet build dependencies: //p')
check "armhf build dependencies: all installed but libmad0-dev (${unmet:-none unmet})" \
  "[ -z '$unmet' ] || [ '$unmet' = libmad0-dev ]"
if (cd "$xsrc" && KA_MAD_ROOT="$mad_root" dpkg-buildpackage -a armhf -B -us -uc -d >"$work/armhf.log" 2>&1); then
  ok "dpkg-buildpackage -a armhf -B"
  check "lintian (armhf)" "run_lintian '$work/armhf/ka-lib-audio_${ver}_armhf.changes'"
  check "the armhf packages are armhf" \
    "(for d in '$work'/armhf/*.deb; do [ \"\$(dpkg-deb -f \$d Architecture)\" = armhf ] || exit 1; done)"
  "$top/scripts/check-install.sh" "$xsrc/obj-arm-linux-gnueabihf" "$top/cmake/arm-linux-gnueabihf.cmake" \
    >"$work/install-armhf.log" 2>&1
  check "the installed tree of the armhf package build" "tail -1 '$work/install-armhf.log' | grep -q 'install check passed'"
  grep '^FAILED' "$work/install-armhf.log"
else
  tail -40 "$work/armhf.log"; bad "dpkg-buildpackage -a armhf -B"
fi

# ---- installed, the examples' package on the board, purged ----
debs=("$work"/native/*.deb)
[ -e "${debs[0]}" ] || { echo "no packages"; exit 1; }
echo "packages (installed size):"
for d in "${debs[@]}"; do
  printf '  %-48s %6s KiB  %s\n' "$(basename "$d")" "$(dpkg-deb -f "$d" Installed-Size)" "$(dpkg-deb -f "$d" Depends)"
done
names=$(for d in "${debs[@]}"; do dpkg-deb -f "$d" Package; done)
snapshot() { find /usr /etc /opt /var/lib -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt \) -prune -o -print 2>/dev/null | sort; }
snapshot >"$work/before.list"
if apt_q install "${debs[@]}" >"$work/apt.log" 2>&1; then
  ok "apt-get install ./*.deb"
  check "installed: pkg-config, ka-audio on the board" \
    "pkg-config --modversion ka_lib_audio | grep -qx '$ver' && ka-board run --speed 0 -- ka-audio version | grep -q 'Lib Version'"
  ex="$work/examples/ka-lib-audio-examples-$ver"
  mkdir -p "$ex" && cp -r "$top/examples/." "$ex/"
  if (cd "$ex" && dpkg-buildpackage -us -uc -b >"$work/examples.log" 2>&1); then
    ok "the examples' package (its build ran louder's test on the board)"
    exd=$(ls "$work"/examples/ka-lib-audio-examples_*_"$arch".deb)
    check "lintian (examples)" "run_lintian '$work/examples/ka-lib-audio-examples_${ver}_$arch.changes'"
    echo "examples' Depends: $(dpkg-deb -f "$exd" Depends)"
    check "its Depends names libka-lib-audio1 from the symbols file" \
      "dpkg-deb -f '$exd' Depends | grep -q 'libka-lib-audio1 (>= $ver)'"
    names="$names ka-lib-audio-examples"
    if apt_q install "$exd" >>"$work/apt.log" 2>&1; then
      out="$work/out"; mkdir -p "$out"
      ka-board run --speed 0 --capture tone:440:4000 --out "$out" -- /usr/libexec/ka-lib-audio-examples/louder \
        >"$work/run.log" 2>&1
      rc=$?
      size=$(stat -c %s "$out/pcmC0D0p.wav" 2>/dev/null || echo 0)
      check "louder, installed, on the board (exit $rc, $size bytes played)" "[ $rc -eq 0 ] && [ $size -gt 16000 ]"
      check "volumes, installed, on the board" \
        "ka-board run --speed 0 -- /usr/libexec/ka-lib-audio-examples/volumes | grep -q 'codec playback volume: 80 80'"
    else
      cat "$work/apt.log"; bad "apt-get install of the examples' package"
    fi
  else
    tail -40 "$work/examples.log"; bad "the examples' package"
  fi
else
  cat "$work/apt.log"; bad "apt-get install ./*.deb"
fi
# shellcheck disable=SC2086
apt_q purge $names >>"$work/apt.log" 2>&1 || bad "apt-get purge"
snapshot >"$work/after.list"
check "apt-get purge leaves no file behind" "diff '$work/before.list' '$work/after.list'"
echo "package check: ${SECONDS}s"
[ $fail -eq 0 ] && echo "package check passed"
exit $fail
