#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The ARM instruction count gate, the twin of bench/instructions: the armhf
# build playing the same 5 s MP3, AMR-NB, AMR-WB and WAV files on the real
# ARM kernel in the VM (scripts/vm.sh), against the bare decode of the same
# file on the same core, each minus a run that plays nothing.
#
#   scripts/arm-instructions.sh      (KA_VM_BUILD: the armhf build, default
#                                    build-test/armhf, with bench/arm_plays)
#
# Counted by a qemu TCG plugin (bench/arm/insn_count.c): the user-space
# instructions of the whole guest between two marks (bench/arm/mark.c)
# around each run (bench/arm/count.sh), the kernel (the module's driver, the
# ALSA core, the scheduler) left out, as callgrind leaves the board's kernel
# side out on x86. qemu runs with -icount shift=0,sleep=off: guest time is
# the instruction count (1 ns each), so when the threads wait and wake, and
# so the counts, repeat from run to run (to within a few hundred
# instructions); an idle guest skips ahead. No random seed in the device
# tree and a clock that starts at a fixed date keep boots alike.
# The plugin is built against qemu-plugin.h of the installed qemu's own
# source package, fetched once from Debian's archive into
# KA_QEMU_PLUGIN_CACHE (default /var/cache/ka-lib-audio/qemu-plugin).
#
# Prints per format
#   instructions armhf: FMT library N bare M ratio R (limit L)
# and exits non-zero when a ratio exceeds its limit or a run fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KA_VM_BUILD:-$top/build-test/armhf}
work=${KA_VM_WORK:-$top/build-test/vm}
plugin_cache=${KA_QEMU_PLUGIN_CACHE:-/var/cache/ka-lib-audio/qemu-plugin}
mirror=${KA_DEBIAN_MIRROR:-http://deb.debian.org}
# The most a file play may cost, as a multiple of the bare decode; WAV, which
# has no decode, has its own (see bench/instructions.cpp).
limit=1.05
wav_limit=8.0

fail() { echo "instructions armhf: $*" >&2; exit 1; }
start=$(date +%s)
[ -x "$build/bench/arm_plays" ] || fail "no $build/bench/arm_plays (the armhf build with benchmarks on)"
mkdir -p "$work/count"

# ---- the plugin, against the installed qemu's header ---------------------
# The source version of qemu-system-arm, e.g. 1:7.2+dfsg-7+deb12u18: the
# upstream part names the .orig tarball that holds include/qemu/qemu-plugin.h.
srcver=$(dpkg-query -W -f '${source:Version}' qemu-system-arm 2>/dev/null) || fail "qemu-system-arm is not installed"
upstream=${srcver#*:}
upstream=${upstream%-*}
header="$plugin_cache/$upstream/qemu-plugin.h"
if [ ! -f "$header" ]; then
  mkdir -p "$plugin_cache/$upstream"
  tarball="$plugin_cache/qemu_$upstream.orig.tar.xz"
  for pool in debian/pool/main debian-security/pool/updates/main; do
    /usr/lib/apt/apt-helper download-file "$mirror/$pool/q/qemu/qemu_$upstream.orig.tar.xz" "$tarball" \
      >/dev/null 2>&1 && break
  done
  [ -f "$tarball" ] || fail "cannot fetch qemu_$upstream.orig.tar.xz from $mirror"
  tar -xJf "$tarball" -O --wildcards '*/include/qemu/qemu-plugin.h' >"$header.tmp" && [ -s "$header.tmp" ] ||
    fail "no qemu-plugin.h in qemu_$upstream.orig.tar.xz"
  mv "$header.tmp" "$header"
  rm -f "$tarball"
fi
# Newer headers use glib's types.
glib=$(pkg-config --cflags glib-2.0 2>/dev/null) || fail "no glib-2.0 development files (libglib2.0-dev)"
# shellcheck disable=SC2086
cc -std=gnu11 -O2 -Wall -Wextra -Werror -shared -fPIC $glib -I"$(dirname "$header")" \
  "$top/bench/arm/insn_count.c" -o "$work/count/insn_count.so" || fail "cannot build the plugin"

# ---- the guest's files: the plays, the marker, the media -----------------
in="$work/count/in"
rm -rf "$in" && mkdir -p "$in/media"
arm-linux-gnueabihf-gcc -std=c11 -O2 -Wall -Wextra -Werror -static "$top/bench/arm/mark.c" -o "$in/mark" ||
  fail "cannot build the marker"
cp "$build/bench/arm_plays" "$build/bench/play_figures" "$top/bench/arm/count.sh" "$in/"
LD_LIBRARY_PATH="$build/src:$build/platform" qemu-arm-static -L / "$build/bench/arm_plays" media "$in/media" ||
  fail "cannot make the media"
# The other common rates and channel counts (figures only): WAV at 8 and 16
# kHz mono and 48 kHz stereo, MP3 at 48 kHz stereo and at 22.05 and 16 kHz
# mono (MPEG-2, voice prompts), each a 5 s sweep.
x="$in/media/extra"
mkdir -p "$x"
{
  sox -n -r 8000 -c 1 -b 16 "$x/wav-8k1.wav" synth 5 sine 200-3500 gain -3 &&
    sox -n -r 16000 -c 1 -b 16 "$x/wav-16k1.wav" synth 5 sine 200-7000 gain -3 &&
    sox -n -r 48000 -c 2 -b 16 "$x/wav-48k2.wav" synth 5 sine 200-15000 sine 300-12000 gain -3 &&
    sox -n -r 22050 -c 1 -b 16 "$x/tmp-22k1.wav" synth 5 sine 200-9000 gain -3 &&
    lame --quiet -b 128 "$x/wav-48k2.wav" "$x/mp3-48k2.mp3" &&
    lame --quiet -b 64 "$x/tmp-22k1.wav" "$x/mp3-22k1.mp3" &&
    lame --quiet -b 32 "$x/wav-16k1.wav" "$x/mp3-16k1.mp3"
} >/dev/null 2>&1 || fail "cannot make the media of the other rates (sox, lame)"
rm -f "$x/tmp-22k1.wav"

# ---- the counted boot ------------------------------------------------------
log="$work/count/plugin.log"
rm -f "$log"
KA_VM_QEMU_ARGS="-icount shift=0,sleep=off -machine dtb-randomness=off -rtc base=2024-01-01T00:00:00,clock=vm -plugin $work/count/insn_count.so -d plugin -D $log" \
  "$top/scripts/vm.sh" run --in "$in" --out "$work/count/out" -- sh /in/count.sh >"$work/count/console.log" 2>&1 ||
  { cat "$work/count/console.log"; fail "the counted boot failed"; }
grep -q '^counted: done' "$work/count/console.log" || { cat "$work/count/console.log"; fail "the runs did not finish"; }

# Runs in count.sh's order; run k lies between marks 2k and 2k+1.
console=$(tr -d '\r' <"$work/count/console.log")
mapfile -t runs < <(sed -n 's/^counted: \([0-9]*\) .*arm_plays \(.*\)/\1 \2/p' <<<"$console")
mapfile -t marks < <(sed -n 's/^insn_count: mark [0-9]* //p' "$log")
[ ${#marks[@]} = $((2 * ${#runs[@]})) ] || fail "${#marks[@]} marks for ${#runs[@]} runs (see $log)"
declare -A count
ok=1
for k in "${!runs[@]}"; do
  read -r rc mode _ file <<<"${runs[$k]}"
  [ "$rc" = 0 ] || { echo "instructions armhf: run '${runs[$k]}' failed"; grep -v '^insn_count' "$work/count/console.log" | tail -20; ok=0; }
  key=$mode${file:+:$file}
  [ -n "${count[$key]:-}" ] && key=$key-again
  count[$key]=$((marks[2 * k + 1] - marks[2 * k]))
done
none=${count[none]}
ratio() { awk -v l="$1" -v b="$2" 'BEGIN { printf "%.3f", l / b }'; }
for f in mp3.mp3 amrnb.amr amrwb.awb wav.wav; do
  name=${f%.*}
  lib=$((count[play:media/$f] - none)) bare=$((count[bare:media/$f] - none))
  most=$limit
  [ "$name" = wav ] && most=$wav_limit
  r=$(ratio "$lib" "$bare")
  echo "instructions armhf: $name library $lib bare $bare ratio $r (limit $most)"
  awk -v r="$r" -v m="$most" 'BEGIN { exit !(r <= m) }' || ok=0
done

# ---- the figures: per second of audio, first sound, memory ------------------
# Instructions per second of audio (the files are 5 s), and the share of a
# 1 GHz in-order core that executes one instruction per cycle on average
# (a Cortex-A7 does about that on this code: dual issue is rare in the
# codecs' multiply chains, and cache misses cost the rest).
echo "figures armhf: file | library M/s | bare decode M/s | library's own M/s | ratio | share of 1 GHz at IPC 1"
for key in "${!count[@]}"; do echo "$key"; done | sed -n 's/^play:\(.*\)/\1/p' | sort | while read -r file; do
  lib=$((count[play:$file] - none)) bare=$((count[bare:$file] - none))
  awk -v f="${file#media/}" -v l="$lib" -v b="$bare" 'BEGIN {
    printf "figures armhf: %s | %.2f | %.2f | %.3f | %.3f | %.2f %%\n", f, l / 5e6, b / 5e6, (l - b) / 5e6, l / b, l / 5e6 / 10 }'
done
# Time to first sound on the VM's kernel: guest time under -icount shift=0
# is 1 ns per instruction, the kernel's included: a 1 GHz core at IPC 1.
sed -n 's/^figure: first-sound \([a-z0-9]*\) first-sound \([0-9]*\) ns period \([0-9]*\) buffer \([0-9]*\).*/\1 \2 \3 \4/p' <<<"$console" |
  while read -r f ns period buffer; do
    awk -v f="$f" -v ns="$ns" -v p="$period" -v b="$buffer" 'BEGIN {
      printf "figures armhf: first sound %s: %.2f ms from Ka_AudPlayer_PlayFile (period %d frames, buffer %d)\n", f, ns / 1e6, p, b }'
  done
sed -n 's/^figure: stream-first-sound \([0-9]*\) \([0-9]*\) first-sound \([0-9]*\) ns period \([0-9]*\) buffer \([0-9]*\).*/\1 \2 \3 \4 \5/p' <<<"$console" |
  while read -r rate ch ns period buffer; do
    awk -v r="$rate" -v c="$ch" -v ns="$ns" -v p="$period" -v b="$buffer" 'BEGIN {
      printf "figures armhf: first sound stream %d Hz %d ch: %.2f ms from the first Ka_AudPlayer_Play (period %d frames, buffer %d)\n", r, c, ns / 1e6, p, b }'
  done
sed -n 's/^figure: memory \([a-z]*\) \([a-z0-9-]*\) memory: \(.*\)/figures armhf: memory \1 \2: \3/p' <<<"$console"
grep -q '^figure: first-sound' <<<"$console" || echo "figures armhf: no first-sound figures (see $work/count/console.log)"

status=passed
[ $ok = 1 ] || status=FAILED
echo "instructions armhf: $status (start-up subtracted: $none, again: $((count[none-again] - none)) more; $(($(date +%s) - start)) s)"
[ $ok = 1 ]
