#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the library on a real 32-bit ARM Linux kernel: the armhf kernel of the
# machine's own Debian release (Linux 6.1 on Debian 12, 6.12 on 13) under
# qemu-system-arm, with the module's sound card, codec I2C bus and
# sysfs codec node given by the kernel driver in kernel/, and the armhf build
# of the library and ka-audio in an initramfs.
#
#   scripts/vm.sh [test]                  the scenarios of tests/vm (prints
#                                         "real kernel: N passed, M failed")
#   scripts/vm.sh heard                   only what a listener heard: the
#                                         loopback boot against the board
#   scripts/vm.sh run [--in DIR] [--out DIR] [--loopback] -- PROGRAM ARGS
#                                         an armhf program of your own; DIR's
#                                         files are in /in, /out comes back;
#                                         --loopback: snd-aloop is card 0
#
# Packages come with `apt-get download` (the current Debian versions) and are
# kept in KA_VM_CACHE (default /var/cache/ka-lib-audio/vm). The armhf build is
# KA_VM_BUILD (default build-test/armhf, made by KA_STAGES=armhf
# scripts/test.sh); work files go to build-test/vm. The same scenarios then run
# on the board of that build (under qemu-arm), and every result must be the
# same as the kernel's. A second boot puts Debian's snd-aloop in place of the
# driver, records what the library's plays sounded like on its capture side,
# and the board must have played out the same (tests/vm/heard.sh, heard.py:
# "board and loopback: N results the same, M different"). Each step says its name
# when it fails; the VM is ended after KA_VM_TIMEOUT seconds (default 240)
# with its console log shown. KA_VM_QEMU_ARGS adds arguments to
# qemu-system-arm (scripts/arm-instructions.sh: its instruction count).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${KA_VM_CACHE:-/var/cache/ka-lib-audio/vm}
build=${KA_VM_BUILD:-$top/build-test/armhf}
work=${KA_VM_WORK:-$top/build-test/vm}
vm_timeout=${KA_VM_TIMEOUT:-240}
cross=arm-linux-gnueabihf-

step=start
said=0
fail() { echo "vm: step '$step' failed${1:+: $1}" >&2; said=1; exit 1; }
on_exit() {
  local rc=$?
  [ -n "${board_pid:-}" ] && kill "$board_pid" 2>/dev/null
  [ $rc = 0 ] || [ $said = 1 ] || echo "vm: step '$step' failed (exit $rc)" >&2
}
trap on_exit EXIT

# ---- fetch: the current packages, once ------------------------------------
apt_ready=0
apt_update() {
  [ $apt_ready = 1 ] && return 0
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  apt-get update -q >/dev/null 2>&1 || true
  apt_ready=1
}
# Newest version of a package (name:arch) in the index, empty when unknown.
candidate() {
  apt-cache show --no-all-versions "$1" 2>/dev/null | sed -n 's/^Version: //p' | head -1
}
# Makes sure the current .deb of name:arch is in the cache; prints its path.
fetch() {
  local pkg=$1 name=${1%%:*} arch=${1##*:} ver file try
  for try in 1 2; do
    ver=$(candidate "$pkg")
    if [ -z "$ver" ] && [ $try = 1 ]; then apt_update; ver=$(candidate "$pkg"); fi
    if [ -z "$ver" ]; then
      # No index: whatever the cache holds.
      file=$(ls -t "$cache/debs/${name}_"*"_$arch.deb" 2>/dev/null | head -1)
      [ -n "$file" ] || fail "no package $pkg"
      echo "$file"; return
    fi
    file="$cache/debs/${name}_${ver//:/%3a}_$arch.deb"
    [ -f "$file" ] || (cd "$cache/debs" && apt-get download -q "$pkg=$ver") >"$cache/download.log" 2>&1 || true
    [ -f "$file" ] && break
    # An old index names versions the mirror no longer has.
    [ $try = 1 ] && { apt_ready=0; apt_update; }
  done
  [ -f "$file" ] || { cat "$cache/download.log" >&2; fail "download $pkg"; }
  # Older versions of the same package go.
  ls "$cache/debs/${name}_"*"_$arch.deb" | grep -vxF "$file" | xargs -r rm -f || true
  echo "$file"
}

# Dependencies (package names) of name:arch in the index.
depends_of() {
  apt-cache depends "$1" 2>/dev/null | sed -n 's/^ *Depends: <\{0,1\}\([^:> ]*\).*/\1/p'
}
do_fetch() {
  step=fetch
  mkdir -p "$cache/debs"
  local kpkg deps common kbuild
  kpkg=$(depends_of linux-image-armmp:armhf | grep '^linux-image-' | head -1)
  if [ -z "$kpkg" ]; then
    apt_update
    kpkg=$(depends_of linux-image-armmp:armhf | grep '^linux-image-' | head -1)
  fi
  if [ -z "$kpkg" ]; then
    kpkg=$(ls -t "$cache/debs/"linux-image-*-armmp_*_armhf.deb 2>/dev/null | head -1 | sed 's,.*/\([^_]*\)_.*,\1,')
  fi
  [ -n "$kpkg" ] || fail "cannot resolve linux-image-armmp:armhf"
  kabi=${kpkg#linux-image-}; kabi=${kabi%-armmp}   # e.g. 6.1.0-57, 6.12.57+deb13
  # The headers name the common headers and the host's build tools they
  # need (linux-kbuild-6.1 on Debian 12, linux-kbuild-6.12.57+deb13 on 13).
  deps=$(depends_of "linux-headers-$kabi-armmp:armhf")
  common=$(grep -E '^linux-headers-.*-common$' <<<"$deps" | head -1 || true)
  kbuild=$(grep '^linux-kbuild-' <<<"$deps" | head -1 || true)
  if [ -z "$kbuild" ]; then   # no index: whatever the cache holds
    kbuild=$(ls -t "$cache/debs/"linux-kbuild-*.deb 2>/dev/null | head -1 | sed 's,.*/\([^_]*\)_.*,\1,')
  fi
  [ -n "$kbuild" ] || fail "cannot resolve the build tools of linux-headers-$kabi-armmp"
  # Kernels of an older ABI and their build tools go.
  ls "$cache/debs/"linux-{image,headers}-*.deb 2>/dev/null | grep -vF -- "-$kabi-" | xargs -r rm -f || true
  ls "$cache/debs/"linux-kbuild-*.deb 2>/dev/null | grep -vF -- "/${kbuild}_" | xargs -r rm -f || true
  deb_kernel=$(fetch "$kpkg:armhf")
  deb_hdr=$(fetch "linux-headers-$kabi-armmp:armhf")
  deb_common=$(fetch "${common:-linux-headers-$kabi-common}:all")
  deb_kbuild=$(fetch "$kbuild:$(dpkg --print-architecture)")
  user_debs=()
  for p in busybox-static:armhf libc6:armhf libgcc-s1:armhf libstdc++6:armhf libmad0:armhf \
           libopencore-amrnb0:armhf libopencore-amrwb0:armhf; do
    user_debs+=("$(fetch "$p")")
  done
}


# ---- build: the driver, against the kernel's own headers --------------------
do_build() {
  step=unpack
  local stamp="$work/unpacked" want
  want="$(basename "$deb_kernel") $(basename "$deb_hdr") $(basename "$deb_common") $(basename "$deb_kbuild")"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    rm -rf "$work/kernel" "$work/headers" "$stamp"
    mkdir -p "$work/kernel" "$work/headers"
    dpkg-deb -x "$deb_kernel" "$work/kernel" || fail "unpack $deb_kernel"
    for d in "$deb_hdr" "$deb_common" "$deb_kbuild"; do dpkg-deb -x "$d" "$work/headers" || fail "unpack $d"; done
    # The armmp headers include the common ones by their installed path.
    sed -i "s,^include /usr/src/,include $work/headers/usr/src/," \
      "$work/headers/usr/src/linux-headers-$kabi-armmp/Makefile"
    echo "$want" >"$stamp"
  fi
  # Debian 12 ships the modules under /lib, Debian 13 under /usr/lib.
  for kdir in "$work/kernel/usr/lib/modules/"* "$work/kernel/lib/modules/"*; do
    [ -d "$kdir" ] && break
  done
  [ -d "$kdir" ] || fail "no modules in $(basename "$deb_kernel")"
  vmlinuz=$(echo "$work/kernel/boot/vmlinuz-"*)

  step="build driver"
  # The cross compiler of the gcc the kernel was built with (gcc 12 on
  # Debian 12, gcc 14 on Debian 13): each release's own
  # g++-arm-linux-gnueabihf brings it.
  local hdir="$work/headers/usr/src/linux-headers-$kabi-armmp" gccv kcc
  gccv=$(sed -n 's/^CONFIG_GCC_VERSION=//p' "$hdir/.config")
  kcc=${cross}gcc${gccv:+-$((gccv / 10000))}
  command -v "$kcc" >/dev/null ||
    fail "the kernel was built with gcc $((gccv / 10000)) and $kcc is missing (build on the kernel's own Debian release)"
  rm -rf "$work/kmod" && cp -r "$top/kernel" "$work/kmod"
  make -s -C "$hdir" M="$work/kmod" ARCH=arm CROSS_COMPILE=$cross CC="$kcc" \
    modules >"$work/kmod.log" 2>&1 || { cat "$work/kmod.log" >&2; fail; }
  if grep -q warning "$work/kmod.log"; then cat "$work/kmod.log" >&2; fail "compiler warnings"; fi
}

# ---- initramfs: busybox, the armhf runtime, the library, the tools ---------
# Kernel modules in load order: sound core, PCM, i2c-dev, the virtio disk that
# carries /out back, then the card: the module's driver, or ("loopback")
# Debian's snd-aloop as card 0 in its place. What each needs comes before it.
kmods="soundcore snd snd-timer snd-pcm i2c-dev virtio_mmio virtio_blk"
# add_module NAME [ARGS [FILE]]: puts the module (from the kernel package
# unless FILE is given) into the initramfs after the modules it depends on
# (its .modinfo); one built into the kernel is skipped. Debian 13's modules
# are xz-compressed: they are unpacked here, whatever the guest's insmod does.
add_module() {
  local name=${1//-/_} args=${2:-} file=${3:-} pat dep
  case " $added " in *" $name "*) return 0 ;; esac
  added+=" $name"
  pat=${1//[-_]/[-_]}
  if [ -z "$file" ]; then
    file=$(find "$kdir/kernel" \( -name "$pat.ko" -o -name "$pat.ko.xz" \) | head -1)
    if [ -z "$file" ]; then
      grep -q "/$pat\.ko$" "$kdir/modules.builtin" 2>/dev/null && return 0
      fail "no module $1 in the kernel package"
    fi
  fi
  case $file in
    *.xz) xz -dc "$file" >"$root/lib/modules/$name.ko" || fail "xz -d $file" ;;
    *) cp "$file" "$root/lib/modules/$name.ko" || fail "copy $file" ;;
  esac
  for dep in $(tr '\0' '\n' <"$root/lib/modules/$name.ko" | sed -n 's/^depends=//p' | tr , ' '); do
    add_module "$dep"
  done
  echo "$name $args" >>"$root/lib/modules/order"
}
do_initramfs() {  # IN_DIR driver|loopback COMMAND...
  step=initramfs
  local in=$1 card=$2 root="$work/root" m d added=""; shift 2
  [ -x "$build/tools/ka-audio" ] || fail "no armhf build in $build (KA_STAGES=armhf scripts/test.sh makes it)"
  rm -rf "$root" && mkdir -p "$root"/{dev,proc,sys,tmp,in,out,data,run,usr/local/bin,usr/local/lib}
  for d in "${user_debs[@]}"; do dpkg-deb -x "$d" "$root" || fail "unpack $d"; done
  # Debian 13's packages hold their files under /usr only, where /bin and
  # /lib are links to /usr's: the same layout for both releases.
  for d in bin sbin lib; do
    mkdir -p "$root/usr/$d"
    if [ -d "$root/$d" ] && [ ! -L "$root/$d" ]; then
      cp -a "$root/$d/." "$root/usr/$d/" && rm -rf "${root:?}/$d" || fail "merge /$d into /usr/$d"
    fi
    ln -sfn "usr/$d" "$root/$d"
  done
  mkdir -p "$root/usr/lib/modules"
  rm -rf "$root/usr/share" "$root/usr/lib/arm-linux-gnueabihf/gconv" "$root/usr/lib/arm-linux-gnueabihf/audit"
  for m in $kmods; do add_module "$m"; done
  if [ "$card" = loopback ]; then
    add_module snd-hrtimer
    add_module snd-aloop "index=0 pcm_substreams=8"
  else
    add_module ka_snd "" "$work/kmod/ka_snd.ko"
  fi
  cp -L "$build/src/libka_lib_audio.so.1" "$build/platform/libalsa_intf.so.0" \
    "$build/platform/liblog.so.0" "$root/usr/local/lib/"
  cp "$build/tools/ka-audio" "$root/usr/local/bin/"
  ${cross}gcc -std=c11 -D_DEFAULT_SOURCE -Wall -Wextra -Werror -O2 -I"$top/include" -I"$top/platform/include" \
    "$top/tests/vm/ka_vm_probe.c" -o "$root/usr/local/bin/ka_vm_probe" \
    "$root/usr/local/lib/libka_lib_audio.so.1" "$root/usr/local/lib/libalsa_intf.so.0" || fail "build ka_vm_probe"
  ${cross}gcc -std=c11 -D_DEFAULT_SOURCE -Wall -Wextra -Werror -O2 -static "$top/tests/vm/ka_vm_listen.c" \
    -o "$root/usr/local/bin/ka_vm_listen" || fail "build ka_vm_listen"
  ${cross}gcc -std=c11 -Wall -Wextra -Werror -O2 -shared -fPIC "$top/tests/vm/ka_vm_shim.c" \
    -o "$root/usr/local/lib/ka_vm_shim.so" -ldl || fail "build ka_vm_shim.so"
  [ -n "$in" ] && cp -r "$in/." "$root/in/"
  printf '%q ' "$@" >"$root/cmd"
  cat >"$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/usr/local/bin:/bin LD_LIBRARY_PATH=/usr/local/lib HOME=/tmp
mount -t proc proc /proc; mount -t sysfs sysfs /sys; mount -t devtmpfs dev /dev; mount -t tmpfs tmp /tmp
while read -r m args; do insmod /lib/modules/$m.ko $args || echo "vm: insmod $m failed"; done </lib/modules/order
: >/data/alsaucm_test; : >/run/alsaucm_test
i=0; while [ ! -e /dev/snd/controlC0 ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
[ -e /dev/snd/controlC0 ] || echo "vm: no sound card 0: the driver did not load"
echo "vm: guest ready: $(uname -r), $(ls /dev/snd | wc -l) sound nodes, $(ls /dev | grep -c '^i2c-') i2c buses"
cd /in && sh -c "$(cat /cmd)" </dev/null
echo "vm: exit status $?"
cd /out && tar -cf /dev/vda . 2>/dev/null; sync
poweroff -f
INIT
  chmod +x "$root/init"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz" || fail "cpio"
}

# ---- boot: one VM, one vCPU, ended at the time limit ------------------------
do_boot() {  # OUT_DIR
  step=boot
  local out=$1 log="$work/console.log" rc=0
  rm -f "$work/out.img" && truncate -s 256M "$work/out.img"
  local extra=()
  read -r -a extra <<<"${KA_VM_QEMU_ARGS:-}"
  timeout --foreground -k 5 "$vm_timeout" qemu-system-arm -M virt -cpu cortex-a15 -m 512 -smp 1 "${extra[@]}" \
    -nographic -no-reboot -nic none -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
    -append "console=ttyAMA0 rdinit=/init quiet panic=-1" \
    -drive file="$work/out.img",if=none,format=raw,id=out -device virtio-blk-device,drive=out \
    </dev/null >"$log" 2>&1 || rc=$?
  if [ $rc = 124 ] || [ $rc = 137 ]; then
    cat "$log" >&2
    fail "the VM did not finish within ${vm_timeout}s (console log above)"
  fi
  grep -q '^vm: guest ready' "$log" || { cat "$log" >&2; fail "the guest did not come up (console log above)"; }
  ! grep -q '^vm: no sound card' "$log" || { cat "$log" >&2; fail "the driver did not load (console log above)"; }
  mkdir -p "$out" && tar -xf "$work/out.img" -C "$out" 2>/dev/null || true
  guest_status=$(sed -n 's/^vm: exit status \([0-9]*\).*/\1/p' "$log" | tr -d '\r' | tail -1)
  [ -n "$guest_status" ] || { cat "$log" >&2; fail "the guest ended before its command did (console log above)"; }
}

# ---- the same scenarios on the board, the same results ---------------------
# Two files of received sound are the same when they differ only in how much
# silence follows the sound (how many silent periods a player writes before
# it is stopped depends on timing).
same_result() {
  cmp -s "$1" "$2" && return 0
  [[ $1 == *.raw ]] || return 1
  local a b n
  a=$(stat -c %s "$1") b=$(stat -c %s "$2")
  n=$((a < b ? a : b))
  cmp -s -n "$n" "$1" "$2" && [ "$(tail -c +$((n + 1)) "$1" | tr -d '\0' | wc -c)" = 0 ] &&
    [ "$(tail -c +$((n + 1)) "$2" | tr -d '\0' | wc -c)" = 0 ]
}
# Runs in the background while the VM runs (the scenarios mostly wait on the
# sample clock); do_board_compare waits for it.
board_pid=
start_board_run() {  # SCRIPT OUT: tests/vm/SCRIPT board OUT, into OUT.log
  [ -x "$build/board/ka-board" ] || fail "no board in $build"
  "$top/scripts/arm-binfmt.sh" >/dev/null || fail "armhf programs cannot run here (binfmt)"
  rm -rf "$2"
  KA_MEDIA="$work/media" KA_BOARD="$build/board/ka-board" KA_AUDIO="$build/tools/ka-audio" \
    KA_PROBE="$work/root/usr/local/bin/ka_vm_probe" LD_LIBRARY_PATH="$build/src:$build/platform" \
    timeout -k 5 "$vm_timeout" bash "$top/tests/vm/$1" board "$2" >"$2.log" 2>&1 &
  board_pid=$!
}
wait_board() {
  local rc=0
  wait "$board_pid" || rc=$?
  board_pid=
  [ $rc = 0 ] || { cat "$1"; fail "the scenarios on the board did not finish (exit $rc)"; }
}
do_board_compare() {
  step="board comparison"
  wait_board "$work/out-board.log"
  local f same=0 differ=0
  for f in "$work/out-kernel"/*; do
    if [ -f "$work/out-board/${f##*/}" ] && same_result "$f" "$work/out-board/${f##*/}"; then
      same=$((same + 1))
    else
      differ=$((differ + 1))
      echo "differs on the board: ${f##*/}"
      # What differs: the texts line by line, other files by size and first
      # differing byte.
      case $f in
        *.txt) diff "$f" "$work/out-board/${f##*/}" | sed 's/^/  /' || true ;;
        *) echo "  kernel $(stat -c %s "$f") bytes, board $(stat -c %s "$work/out-board/${f##*/}" 2>/dev/null || echo none);" \
          "$(cmp "$f" "$work/out-board/${f##*/}" 2>&1 | head -1)" ;;
      esac
    fi
  done
  echo "board and kernel: $same results the same, $differ different ($(tail -1 "$work/out-board.log"))"
  passed=$((passed + same))
  failed=$((failed + differ))
}

# ---- what a listener heard: the loopback card against the board -----------
# A second boot with snd-aloop as card 0 (tests/vm/heard.sh), the same plays
# on the board on the loopback's geometry; tests/vm/heard.py compares them.
do_heard() {
  do_initramfs "$work/in" loopback sh /in/heard.sh loopback /out
  start_board_run heard.sh "$work/heard-board"
  do_boot "$work/heard-loopback"
  step="heard comparison"
  tr -d '\r' <"$work/console.log" | sed -n '/^vm: guest ready/,/^vm: exit status/p'
  wait_board "$work/heard-board.log"
  sed 's/^/board: /' "$work/heard-board.log"
  grep -q '^heard: done' "$work/console.log" || fail "the plays on the loopback did not finish"
  heard_rc=0
  python3 "$top/tests/vm/heard.py" "$work/heard-loopback" "$work/heard-board" || heard_rc=$?
}
do_media() {
  step=media
  if [ ! -f "$work/media/tone-44k-stereo.mp3" ]; then
    "$top/scripts/make-media.sh" "$work/media" >/dev/null 2>&1 || fail "scripts/make-media.sh"
  fi
  # A prompt of half a second whose last 50 ms are loud: a play that loses
  # its end loses the burst.
  if [ ! -f "$work/media/prompt-8k.wav" ]; then
    if ! { sox -r 8000 -n -c 1 -b 16 "$work/tmp-sweep.wav" synth 0.45 sine 300-1200 gain -12 &&
      sox -r 8000 -n -c 1 -b 16 "$work/tmp-burst.wav" synth 0.05 square 1000 gain -1 &&
      sox "$work/tmp-sweep.wav" "$work/tmp-burst.wav" "$work/media/prompt-8k.wav"; }; then
      fail "the prompt (sox)"
    fi
    rm -f "$work/tmp-sweep.wav" "$work/tmp-burst.wav"
  fi
  rm -rf "$work/in" && mkdir -p "$work/in"
  cp -r "$top/tests/vm/." "$work/media/." "$work/in/"
}

cmd=${1:-test}
case $cmd in
  run)
    shift
    in_dir="" out_dir="$PWD/vm-out" card=driver
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
      case $1 in
        --in) in_dir=$(cd "$2" && pwd); shift 2 ;;
        --out) out_dir=$2; shift 2 ;;
        --loopback) card=loopback; shift ;;
        *) echo "usage: vm.sh run [--in DIR] [--out DIR] [--loopback] -- PROGRAM ARGS" >&2; exit 2 ;;
      esac
    done
    [ "${1:-}" = "--" ] && shift
    [ $# -gt 0 ] || { echo "usage: vm.sh run [--in DIR] [--out DIR] [--loopback] -- PROGRAM ARGS" >&2; exit 2; }
    mkdir -p "$work"
    do_fetch; do_build; do_initramfs "$in_dir" "$card" "$@"; do_boot "$out_dir"
    sed -n '/^vm: guest ready/,/^vm: exit status/p' "$work/console.log" | tr -d '\r'
    step=done; exit "$guest_status" ;;
  test)
    start=$(date +%s)
    mkdir -p "$work"
    do_fetch; do_build; do_media
    do_initramfs "$work/in" driver sh /in/scenarios.sh kernel /out
    start_board_run scenarios.sh "$work/out-board"
    do_boot "$work/out-kernel"
    step=results
    tr -d '\r' <"$work/console.log" | sed -n '/^vm: guest ready/,/^vm: exit status/p'
    line=$(tr -d '\r' <"$work/console.log" | grep -E '^real kernel: [0-9]+ passed, [0-9]+ failed' | tail -1)
    [ -n "$line" ] || fail "no result line from the scenarios"
    passed=$(sed -E 's/.*: ([0-9]+) passed.*/\1/' <<<"$line")
    failed=$(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")
    do_board_compare
    do_heard
    [ $heard_rc = 0 ] || failed=$((failed + 1))
    echo "vm: $(( $(date +%s) - start ))s"
    echo "real kernel: $passed passed, $failed failed"
    step=scenarios
    [ "$failed" = 0 ] || fail "$failed failed" ;;
  heard)
    # Only the loopback boot and its comparison with the board.
    mkdir -p "$work"
    do_fetch; do_build; do_media; do_heard
    step="done"; exit "$heard_rc" ;;
  *) echo "usage: vm.sh [test] | vm.sh run [--in DIR] [--out DIR] -- PROGRAM ARGS" >&2; exit 2 ;;
esac
