#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Compares what a listener heard on the loopback card with what the board
played out, scenario by scenario (the NAME.raw files tests/vm/heard.sh leaves
in two folders: 16-bit mono samples).

  heard.py LOOPBACK_DIR BOARD_DIR

What was heard runs from the first to the last sample that is not silent: the
capture starts before the player and ends a second after it, so the silence
around the sound is the recording's, not the stream's. From their first
sounding samples on, the two are walked side by side: where both sound, the
samples must be the same. A run of silence on either side is either silence
in place of the same stream frames (a pointer that passed slots the writer
had not filled yet: they held silence) or a gap of each side's own length (a
stream stopped and started again): whichever makes the sound after it agree.
The lengths heard must differ by no more than TOLERANCE frames, and so must
the shorter one and the frames that sound the same on both.
"""
import os
import sys
from array import array

# Lengths heard are set by when the player stops its stream, so by how fast
# the emulated ARM runs it: the loopback's timer moves in 4 ms steps (32
# frames), and the VM (qemu-system-arm, one vCPU) and the board (the program
# under qemu-arm, at the same time as the VM) each run the player at their own
# pace. Measured on a 2-core machine shared with other builds: in three runs
# of `scripts/vm.sh heard` the lengths heard differed by up to 803 frames
# (100 ms, the stalled writer; the first play up to 687), and up to 477
# frames of the shorter one sounded on one side only; sessions playing twice
# as much (more writes before the close) differed by up to 1752 frames as the
# machine got busier. 2400 frames (300 ms) leaves room for a busier machine.
# A play that loses or gains a few periods is within it: the samples,
# compared one by one, are what catches a wrong buffer, order or replay.
TOLERANCE = 2400
# Samples compared after a silence to tell which reading of it holds.
AHEAD = 16


def trim(x):
    """The samples from the first to the last that is not silent."""
    first = next((i for i, v in enumerate(x) if v), len(x))
    last = next((i for i in range(len(x) - 1, -1, -1) if x[i]), -1)
    return x[first:last + 1]


def silence(x, i):
    n = i
    while n < len(x) and not x[n]:
        n += 1
    return n - i


def agrees(a, i, b, j):
    """The next samples where both sound are the same (and there is one), or
    one side has ended."""
    pairs = [(x, y) for x, y in zip(a[i:i + AHEAD], b[j:j + AHEAD]) if x and y]
    return i >= len(a) or j >= len(b) or (pairs and all(x == y for x, y in pairs))


def compare(a, b):
    """(None or what differs, frames that sound the same on both)."""
    a, b = trim(a), trim(b)
    i = j = common = 0
    while i < len(a) and j < len(b):
        if a[i] and b[j]:
            if a[i] != b[j]:
                return "loopback frame %d is %d, board frame %d is %d" % (i, a[i], j, b[j]), common
            i, j, common = i + 1, j + 1, common + 1
            continue
        za, zb = silence(a, i), silence(b, j)
        m = max(za, zb)
        if agrees(a, i + m, b, j + m):
            i, j = i + m, j + m
        elif agrees(a, i + za, b, j + zb):
            i, j = i + za, j + zb
        else:
            return "no sound in common after %d silent frames at loopback frame %d, %d at board frame %d" % (
                za, i, zb, j), common
    if abs(len(a) - len(b)) > TOLERANCE:
        return "lengths heard differ by %d frames (more than %d)" % (abs(len(a) - len(b)), TOLERANCE), common
    if min(len(a), len(b)) - common > TOLERANCE:
        return "%d frames sound on one side only (more than %d)" % (min(len(a), len(b)) - common, TOLERANCE), common
    return None, common


def load(path):
    data = array("h")
    if os.path.exists(path):
        with open(path, "rb") as f:
            raw = f.read()
        data.frombytes(raw[: len(raw) // 2 * 2])
    if sys.byteorder != "little":
        data.byteswap()
    return data


def main():
    loop_dir, board_dir = sys.argv[1], sys.argv[2]
    same = differ = 0
    names = {f[:-4] for d in (loop_dir, board_dir) for f in os.listdir(d) if f.endswith(".raw")}
    for name in sorted(names):
        a, b = load(os.path.join(loop_dir, name + ".raw")), load(os.path.join(board_dir, name + ".raw"))
        why, common = compare(a, b)
        for side, folder in (("loopback", loop_dir), ("board", board_dir)):
            if not os.path.exists(os.path.join(folder, name + ".raw")):
                why = "no %s result" % side
        print("%s: heard %d frames on the loopback, %d on the board, %d the same%s" % (
            name, len(trim(a)), len(trim(b)), common, "" if why is None else ": " + why))
        if why is None:
            same += 1
        else:
            differ += 1
    print("board and loopback: %d results the same, %d different" % (same, differ))
    return 1 if differ or not same else 0


if __name__ == "__main__":
    sys.exit(main())
