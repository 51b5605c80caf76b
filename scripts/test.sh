#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and runs every test: the plain build with its instruction count gate
# (bench/instructions), the same suite on a build
# instrumented for coverage (its line and branch figures), AddressSanitizer with
# UndefinedBehaviorSanitizer, ThreadSanitizer, the module's armhf build under
# qemu-arm-static, the scenarios on a real ARM kernel in qemu-system-arm with
# that armhf build (scripts/vm.sh) with its ARM instruction count gate
# (scripts/arm-instructions.sh), and the fuzz targets for a short, bounded
# time.
#
#   scripts/test.sh                 everything (what CI runs)
#   KA_STAGES="plain tsan" scripts/test.sh   only the named stages
#
# Build folders: build-test/<stage>. Exits non-zero if any stage fails.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

stages=${KA_STAGES:-"plain coverage asan tsan armhf vm packages fuzz"}
jobs=${KA_JOBS:-$(nproc)}
out="$top/build-test"
mad_root="${KA_MAD_ARMHF_ROOT:-/var/cache/ka-lib-audio/libmad0-dev-armhf}"

"$top/scripts/install-deps.sh" || exit 1

total_run=0
total_failed=0
built=0  # whether the last configure_and_test got as far as a build
configure_and_test() {
  local name=$1; shift
  built=0
  echo "=== $name: configure and build"
  cmake -S "$top" -B "$out/$name" -G Ninja -DKA_WERROR=ON "$@" >/dev/null || return 1
  cmake --build "$out/$name" -j "$jobs" || return 1
  built=1
  echo "=== $name: tests"
  local rc=0
  (cd "$out/$name" && ctest --output-on-failure -j "$jobs" --timeout 120) 2>&1 | tee "$out/$name/ctest.log" ||
    rc=$?
  # "N% tests passed, F tests failed out of T"
  local line
  line=$(grep -E 'tests failed out of [0-9]+' "$out/$name/ctest.log" | tail -1 || true)
  if [ -n "$line" ]; then
    total_failed=$((total_failed + $(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")))
    total_run=$((total_run + $(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<<"$line")))
  else
    rc=1
  fi
  return $rc
}

# The instruction count gate (bench/instructions.cpp) of a build folder: the
# library's file play against the bare decode, counted by valgrind; fails
# when the library costs more than its limit allows.
instruction_gate() {
  local dir=$1
  echo "=== $(basename "$dir"): instruction count gate"
  rm -f "$dir/instructions.log"
  if [ ! -x "$dir/bench/instructions" ]; then
    echo "instructions: $dir/bench/instructions was not built"
    return 1
  fi
  "$dir/bench/instructions" 2>&1 | tee "$dir/instructions.log"
  return "${PIPESTATUS[0]}"
}

failed=()
for stage in $stages; do
  case $stage in
    plain)
      plain_ok=1
      configure_and_test plain -DCMAKE_BUILD_TYPE=RelWithDebInfo || plain_ok=0
      if [ $built = 1 ]; then instruction_gate "$out/plain" || plain_ok=0; fi
      [ $plain_ok = 1 ] || failed+=(plain) ;;
    coverage)
      # Counts from an earlier run in the same folder would add to this one's.
      find "$out/coverage" -name '*.gcda' -delete 2>/dev/null
      if configure_and_test coverage -DCMAKE_BUILD_TYPE=Debug -DKA_COVERAGE=ON -DKA_BUILD_BENCH=OFF; then
        "$top/scripts/coverage.sh" "$out/coverage" | tee "$out/coverage/summary.txt" || failed+=(coverage)
      else
        failed+=(coverage)
      fi ;;
    asan)
      ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        configure_and_test asan -DCMAKE_BUILD_TYPE=Debug -DKA_SANITIZE=address,undefined -DKA_BUILD_BENCH=OFF \
        || failed+=(asan) ;;
    tsan)
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        configure_and_test tsan -DCMAKE_BUILD_TYPE=Debug -DKA_SANITIZE=thread -DKA_BUILD_BENCH=OFF \
        || failed+=(tsan) ;;
    armhf)
      # Test programs that start programs need the kernel to run ARM ones.
      "$top/scripts/arm-binfmt.sh" || echo "armhf: no binfmt; programs that exec others may fail"
      # Benchmarks on for bench/arm_plays, the plays of the vm stage's
      # instruction count (Google Benchmark has no armhf package here).
      configure_and_test armhf -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/arm-linux-gnueabihf.cmake" -DKA_MAD_ROOT="$mad_root" \
        -DKA_BUILD_BENCH=ON || failed+=(armhf) ;;
    vm)
      # The armhf build on Debian's armhf kernel with the module's kernel
      # side as a driver (kernel/), and the same scenarios on the board.
      echo "=== vm: the armhf build on a real ARM kernel (qemu-system-arm)"
      KA_VM_BUILD="$out/armhf" "$top/scripts/vm.sh" test 2>&1 | tee "$out/vm.log"
      vm_rc=${PIPESTATUS[0]}
      line=$(grep -E '^real kernel: [0-9]+ passed, [0-9]+ failed' "$out/vm.log" | tail -1 || true)
      if [ -n "$line" ]; then
        total_run=$((total_run + $(sed -E 's/.*: ([0-9]+) passed, ([0-9]+) failed.*/\1 + \2/' <<<"$line")))
        total_failed=$((total_failed + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")))
      fi
      # The ARM instruction count gate: the same plays as the plain stage's
      # gate, on the real kernel (scripts/arm-instructions.sh).
      echo "=== vm: ARM instruction count gate"
      KA_VM_BUILD="$out/armhf" "$top/scripts/arm-instructions.sh" 2>&1 | tee "$out/vm-instructions.log"
      [ "${PIPESTATUS[0]}" = 0 ] || vm_rc=1
      [ "$vm_rc" = 0 ] || failed+=(vm) ;;
    packages)
      # What a user of the library gets: the Debian packages (debian/),
      # natively and for armhf, lintian, the trees they install, the
      # examples built against them and run on the board, installed with apt
      # and purged again (scripts/check-packages.sh).
      echo "=== packages: Debian packages (amd64, armhf), lintian, install, examples on the board, purge"
      KA_JOBS=$jobs "$top/scripts/check-packages.sh" "$out/deb" || failed+=(packages) ;;
    fuzz)
      echo "=== fuzz: configure and build (clang, ASan+UBSan)"
      fuzz_targets="fuzz_detect fuzz_decode_wav fuzz_decode_amrnb fuzz_decode_amrwb fuzz_decode_mp3 fuzz_amr2wav fuzz_amrnb_writer
        fuzz_mixer_text fuzz_device_names fuzz_trace_report fuzz_command_files"
      if cmake -S "$top" -B "$out/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKA_BUILD_FUZZ=ON \
           -DKA_BUILD_TESTS=OFF -DKA_BUILD_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
           >/dev/null &&
         cmake --build "$out/fuzz" -j "$jobs" --target $fuzz_targets &&
         "$top/fuzz/run-fuzz.sh" "$out/fuzz/fuzz" "${KA_FUZZ_SECONDS:-20}"; then
        echo "=== fuzz: no crash, leak, hang or runaway memory"
      else
        failed+=(fuzz)
      fi ;;
    *) echo "unknown stage $stage"; failed+=("$stage") ;;
  esac
done

# The fault matrix's summary from each stage that ran it (ctest keeps the
# output of passing tests in its log only), and the instruction counts.
for stage in $stages; do
  log="$out/$stage/Testing/Temporary/LastTest.log"
  [ -f "$log" ] && grep -hE '^(fault matrix|allocation sweep|thread sweep): ' "$log" | sed "s/^/$stage: /"
  [ -f "$out/$stage/instructions.log" ] && grep -h '^instructions: ' "$out/$stage/instructions.log" | sed "s/^/$stage: /"
done

[ -f "$out/coverage/summary.txt" ] && [[ " $stages " == *" coverage "* ]] && cat "$out/coverage/summary.txt"
[[ " $stages " == *" vm "* ]] && grep -hE '^(vm: [0-9]+s|board and kernel: )' "$out/vm.log" 2>/dev/null
[[ " $stages " == *" vm "* ]] && grep -h '^instructions armhf: ' "$out/vm-instructions.log" 2>/dev/null

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED stages: ${failed[*]}"
  status=1
else
  echo "all stages passed: $stages"
  status=0
fi
echo "ctest: $((total_run - total_failed)) passed, $total_failed failed"
exit $status
