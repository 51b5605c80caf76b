#!/usr/bin/env bash
# The library's main job on the emulated board: build, then run ka-audio
# under ka-board. Until file playback exists, it switches a playback route
# control on through the library and reads it back (one process: the
# board's state lives as long as the program it runs).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" >/dev/null
build="$top/build-test/plain"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target ka-audio ka-board ka_board >/dev/null
board="$build/board/ka-board"
tool="$build/tools/ka-audio"
control="SEC_AUX_PCM_RX Audio Mixer MultiMedia1"
echo "\$ ka-board run -- ka-audio mixer set '$control' 1"
"$board" run -- "$tool" mixer set "$control" 1
