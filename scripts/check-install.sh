#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what a user of the library gets, from a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr:
#  - `cmake --install --prefix` into a folder of its own: headers, the library
#    with its soname links, the pkg-config file, the CMake package, the tools
#    and man pages are all there, and the binaries find their libraries
#    relative to themselves;
#  - the examples build against that tree twice, with pkg-config and with
#    find_package(KaLibAudio), the latter with the application test
#    (examples/app_test, the board as a test library), which ctest runs;
#  - natively, the tools and the examples run from that prefix on the emulated
#    board, without LD_LIBRARY_PATH, and the device gets what they played,
#    recorded files are right;
# (The Debian packages are made and checked by the packages stage of
# scripts/test.sh, with debian/.)
#
#   check-install.sh BUILD_DIR [TOOLCHAIN_FILE]     (toolchain: a cross build)
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
toolchain=${2:-}
work="$build/install-check"
prefix="$work/prefix"
rm -rf "$work" && mkdir -p "$work"
. "$top/scripts/checks.sh"

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
libdir=$(dirname "$(find "$prefix" -name 'libka_lib_audio.so.1' | head -1)")
echo "installed tree ($prefix):"
(cd "$prefix" && find . -type f -o -type l | sort | sed 's/^/  /')

for h in ka_lib_audio.h ka_audio_files.h ka_audio_controls.h ka_audio_simple.h ka_board.h \
         ka-lib-audio-platform/alsa_audio.h ka-lib-audio-platform/android/log.h; do
  check "header $h" "[ -f '$prefix/include/$h' ]"
done
check "no platform header in the include folder itself" "[ ! -e '$prefix/include/alsa_audio.h' ] && [ ! -e '$prefix/include/android' ]"
check "libka_lib_audio.so.1 -> the versioned file" \
  "[ -L '$libdir/libka_lib_audio.so.1' ] && [ \"\$(readlink '$libdir/libka_lib_audio.so.1')\" = libka_lib_audio.so.1.0.8 ]"
check "libka_lib_audio.so -> the soname" "[ \"\$(readlink '$libdir/libka_lib_audio.so')\" = libka_lib_audio.so.1 ]"
check "the library's soname" "readelf -d '$libdir/libka_lib_audio.so.1.0.8' | grep -q 'SONAME.*libka_lib_audio.so.1'"
for l in ka-lib-audio/liblog.so.0 ka-lib-audio/libalsa_intf.so.0 libka_board.so.0; do check "$l" "[ -e '$libdir/$l' ]"; done
check "the board library's soname" "readelf -d '$libdir/libka_board.so' | grep -q 'SONAME.*libka_board.so.0'"
check "pkg-config files" "[ -f '$libdir/pkgconfig/ka_lib_audio.pc' ] && [ -f '$libdir/pkgconfig/ka_board.pc' ]"
check "CMake package" "[ -f '$libdir/cmake/KaLibAudio/KaLibAudioConfig.cmake' ] && [ -f '$libdir/cmake/KaLibAudio/KaLibAudioConfigVersion.cmake' ]"
for t in ka-audio ka-board; do
  check "tool $t" "[ -x '$prefix/bin/$t' ]"
  check "man page $t.1" "[ -f '$prefix/share/man/man1/$t.1' ] && man -l '$prefix/share/man/man1/$t.1' 2>/dev/null | grep -q NAME"
done

# The reference, where the build made one: installed, the public header's
# page without the internals, no build folder named anywhere in it.
if [ -f "$build/docs/html/index.html" ]; then
  html="$prefix/share/doc/libka-lib-audio-doc/html"
  check "the HTML reference is installed" "[ -f '$html/index.html' ] && [ -f '$html/ka__lib__audio_8h.html' ]"
  check "the public header's page shows no internals" "! grep -q 'audCtl\|__ka_dev2pctx\|struct ka_pctx' '$html/ka__lib__audio_8h.html'"
  check "the reference names no build folder" "! grep -rqF -e '$build' -e '$top' '$html'"
fi

runpath() { readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p'; }
lib_rp=$(runpath "$libdir/libka_lib_audio.so.1") tool_rp=$(runpath "$prefix/bin/ka-audio")
check "the library's run path is the stand-ins' folder below it ($lib_rp)" "[ '$lib_rp' = '\$ORIGIN/ka-lib-audio' ]"
tool_rp1=${tool_rp%%:*} tool_rp2=${tool_rp#*:}
check "ka-audio's run path leads to the library and the stand-ins ($tool_rp)" \
  "[ -e '$prefix/bin/${tool_rp1#\$ORIGIN/}/libka_lib_audio.so.1' ] && [ -e '$prefix/bin/${tool_rp2#\$ORIGIN/}/liblog.so.0' ]"

# ---- examples, twice ----
export PKG_CONFIG_LIBDIR="$libdir/pkgconfig"
check "pkg-config --libs: the library, the platform and codec libraries private" \
  "pkg-config --libs ka_lib_audio | grep -q -- '-lka_lib_audio' && ! pkg-config --libs ka_lib_audio | grep -q -- '-lalsa_intf\\|-llog\\|-lmad' &&
   pkg-config --static --libs ka_lib_audio | grep -q -- '-lalsa_intf -llog -lmad'"
cc=cc
[ -n "$toolchain" ] && cc=arm-linux-gnueabihf-gcc
mkdir -p "$work/ex-pc"
if make -s -C "$top/examples" CC="$cc" OUT="$work/ex-pc" >"$work/ex-pc.log" 2>&1; then ok "examples with pkg-config"; else
  cat "$work/ex-pc.log"; bad "examples with pkg-config"; fi
check "pkg-config ka_board: the board's header and library" \
  "[ -f \"\$(pkg-config --variable=includedir ka_board)/ka_board.h\" ] && pkg-config --libs ka_board | grep -q -- -lka_board"
unset PKG_CONFIG_LIBDIR
tc=()
[ -n "$toolchain" ] && tc=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
if cmake -S "$top/examples" -B "$work/ex-cmake" -G Ninja "${tc[@]}" -DCMAKE_PREFIX_PATH="$prefix" \
     >"$work/ex-cmake.log" 2>&1 && cmake --build "$work/ex-cmake" >>"$work/ex-cmake.log" 2>&1; then
  ok "examples with find_package(KaLibAudio)"
  check "the application test is built (find_package COMPONENTS board)" "[ -x '$work/ex-cmake/louder_test' ]"
  if [ -z "$toolchain" ]; then
    (cd "$work/ex-cmake" && ctest --output-on-failure) >"$work/app-test.log" 2>&1
    check "the application test passes on the installed board" "grep -q '100% tests passed' '$work/app-test.log'"
    grep -q '100% tests passed' "$work/app-test.log" || cat "$work/app-test.log"
  fi
else
  cat "$work/ex-cmake.log"; bad "examples with find_package(KaLibAudio)"
fi
check "the examples link libka_lib_audio.so.1 and not the platform libraries" \
  "(for e in '$work/ex-cmake/play_file' '$work/ex-pc/play_file'; do readelf -d \$e | grep -q 'NEEDED.*libka_lib_audio.so.1' &&
    ! readelf -d \$e | grep -q 'NEEDED.*lib\(alsa_intf\|log\)\.' || exit 1; done)"

# ---- the native examples on the board ----
if [ -z "$toolchain" ]; then
  ex="$work/ex-cmake"
  out="$work/out"
  board=(env -u LD_LIBRARY_PATH -u KA_BOARD_LIB "$prefix/bin/ka-board" run --speed 0)
  rm -rf "$out"; mkdir -p "$out"
  "${board[@]}" -- "$prefix/bin/ka-audio" version >"$work/run.log" 2>&1
  check "ka-audio runs from the prefix" "grep -q 'Lib Version' '$work/run.log'"
  for ex in "$work/ex-pc" "$work/ex-cmake"; do
    "${board[@]}" -- "$ex/volumes" >"$work/run.log" 2>&1
    check "$(basename "$ex") examples run from the prefix" "grep -q 'codec playback volume' '$work/run.log'"
  done
  "${board[@]}" --out "$out" -- "$ex/stream_pcm" >"$work/run.log" 2>&1
  rc=$?
  # Two seconds of 8000 Hz mono 16-bit were handed over before the stop.
  size=$(stat -c %s "$out/pcmC0D0p.wav" 2>/dev/null || echo 0)
  # The callback hears of the play thread's end once (result 5, after the
  # stop); start and pause are not callback reports, and nothing failed.
  check "stream_pcm played its tone (exit $rc, $size bytes on hw:0,0)" \
    "[ $rc -eq 0 ] && [ $size -gt 20000 ] && [ \$(grep -c 'result' '$work/run.log') -eq 1 ] && grep -q 'result 5' '$work/run.log'"
  # A known WAV: the device receives its samples unchanged.
  head -c 32000 /dev/urandom >"$work/in.raw"
  { printf 'RIFF\x24\x7d\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00'
    printf '\x40\x1f\x00\x00\x80\x3e\x00\x00\x02\x00\x10\x00data\x00\x7d\x00\x00'; cat "$work/in.raw"; } >"$work/in.wav"
  rm -rf "$out"; mkdir -p "$out"
  "${board[@]}" --out "$out" -- "$ex/play_file" "$work/in.wav" >"$work/run.log" 2>&1
  rc=$?
  check "play_file: the device received the file's samples (exit $rc)" \
    "[ $rc -eq 0 ] && tail -c +45 \$(ls '$out/pcmC0D0p.received.wav' 2>/dev/null || echo '$out/pcmC0D0p.wav') | head -c 32000 | cmp -s - '$work/in.raw'"
  "${board[@]}" --capture tone:440:8000 -- "$ex/record_files" "$work/rec.wav" "$work/rec.amr" >"$work/run.log" 2>&1
  rc=$?
  check "record_files: a 16 kHz mono WAV (exit $rc)" \
    "[ $rc -eq 0 ] && [ \$(stat -c %s '$work/rec.wav') -gt 1044 ] && [ \"\$(od -An -tu4 -j24 -N4 '$work/rec.wav' | tr -d ' ')\" = 16000 ]"
  check "record_files: an AMR-NB file" "[ \"\$(head -c 6 '$work/rec.amr')\" = '#!AMR' ] && [ \$(stat -c %s '$work/rec.amr') -gt 100 ]"
  "${board[@]}" -- "$ex/volumes" >"$work/run.log" 2>&1
  rc=$?
  check "volumes (exit $rc)" "[ $rc -eq 0 ] && grep -q 'codec playback volume: 80 80' '$work/run.log'"
  "${board[@]}" -- "$ex/dtmf_tone" >"$work/run.log" 2>&1
  rc=$?
  check "dtmf_tone (exit $rc)" "[ $rc -eq 0 ]"
fi

[ $fail -eq 0 ] && echo "install check passed"
exit $fail
