#!/bin/sh
# SPDX-License-Identifier: MIT
# Inside the VM (scripts/arm-instructions.sh): each counted run between two
# marks of the instruction count plugin, in this order: the run that plays
# nothing twice (the second shows that a count repeats), per format its play
# and its bare loop, then the same for the other rates and channel counts in
# media/extra. Prints "counted: STATUS WHAT" after each run. Then, not
# counted, the figures of each play: its time to first sound and memory
# ("figure: ..." lines).
# Address space layout randomisation off: a run's addresses, and so the
# paths its copies and lookups take, are the same every time.
echo 0 >/proc/sys/kernel/randomize_va_space
cd /in || exit 1
rc=0
counted() {
    ./mark
    "$@"
    rc=$?
    ./mark
    echo "counted: $rc $*"
}
counted ./arm_plays none
counted ./arm_plays none
for f in media/mp3.mp3 media/amrnb.amr media/amrwb.awb media/wav.wav media/extra/*; do
    fmt=${f##*/}
    fmt=${fmt%%[.-]*}
    counted ./arm_plays play "$fmt" "$f"
    counted ./arm_plays bare "$fmt" "$f"
done
for f in media/mp3.mp3 media/amrnb.amr media/amrwb.awb media/wav.wav; do
    fmt=${f##*/}
    fmt=${fmt%%.*}
    echo "figure: first-sound $fmt $(./play_figures start "$fmt" "$f")"
done
for p in "8000 1" "16000 1" "44100 2" "48000 2"; do
    echo "figure: stream-first-sound $p $(./play_figures stream $p)"
done
echo "figure: memory none - $(./play_figures memory none)"
for f in media/mp3.mp3 media/amrnb.amr media/amrwb.awb media/wav.wav; do
    fmt=${f##*/}
    fmt=${fmt%%.*}
    echo "figure: memory play $fmt $(./play_figures memory play "$fmt" "$f")"
    echo "figure: memory bare $fmt $(./play_figures memory bare "$fmt" "$f")"
done
echo "counted: done"
