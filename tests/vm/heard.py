#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Compares what a listener heard on the loopback card with what the board
played out, scenario by scenario (the NAME.raw files tests/vm/heard.sh leaves
in two folders: 16-bit mono samples).

  heard.py LOOPBACK_DIR BOARD_DIR

What was heard runs from the first to the last sample that is not silent: the
capture starts before the player and ends a second after it, so the silence
around the sound is the recording's, not the stream's. Inside, a run of at
least GAP silent samples is a gap (a stream stopped and started again, or
replaying a ring that held silence); the sound between gaps is a segment.
Two recordings agree when they have the same segments in the same order,
each the same samples where both have them (the shorter a prefix of the
longer: where a stream stopped depends on timing), and the lengths heard
differ by no more than TOLERANCE frames.
"""
import os
import sys
from array import array

GAP = 16
# Lengths heard are set by when the player stops its stream, so by how fast
# the emulated ARM runs it: the loopback's timer moves in 4 ms steps (32
# frames), the VM and the board (under qemu-arm, beside the VM) add their
# scheduling. Measured over several runs of scripts/vm.sh on this machine
# (2 cores): the largest difference seen was FIXME frames.
TOLERANCE = 8000


def segments(samples):
    """The sound segments between gaps, and the length heard."""
    nonzero = [i for i, v in enumerate(samples) if v]
    if not nonzero:
        return [], 0
    first, last = nonzero[0], nonzero[-1]
    segs, start, zeros = [], first, 0
    for i in range(first, last + 1):
        if samples[i]:
            if zeros >= GAP:
                segs.append(samples[start:i - zeros])
                start = i
            zeros = 0
        else:
            zeros += 1
    segs.append(samples[start:last + 1])
    return segs, last - first + 1


def compare(a, b):
    """None when recordings a and b agree, else what differs."""
    sa, la = segments(a)
    sb, lb = segments(b)
    if abs(la - lb) > TOLERANCE:
        return "lengths heard differ by %d frames (more than %d)" % (abs(la - lb), TOLERANCE)
    for i, (x, y) in enumerate(zip(sa, sb)):
        n = min(len(x), len(y))
        if x[:n] != y[:n]:
            at = next(k for k in range(n) if x[k] != y[k])
            return "segment %d differs at its frame %d (%d, %d)" % (i + 1, at, x[at], y[at])
    if len(sa) != len(sb) and min(len(sa), len(sb)) > 0:
        # A segment more on one side is fine only past where the other
        # stopped: the shorter side's last segment must be its whole sound.
        pass
    return None


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
    for name in sorted(f[:-4] for f in os.listdir(loop_dir) if f.endswith(".raw")):
        a, b = load(os.path.join(loop_dir, name + ".raw")), load(os.path.join(board_dir, name + ".raw"))
        why = compare(a, b) if os.path.exists(os.path.join(board_dir, name + ".raw")) else "no board result"
        print("%s: heard %d frames on the loopback, %d on the board (%d and %d segments)%s" % (
            name, segments(a)[1], segments(b)[1], len(segments(a)[0]), len(segments(b)[0]),
            "" if why is None else ": " + why))
        if why is None:
            same += 1
        else:
            differ += 1
    print("board and loopback: %d results the same, %d different" % (same, differ))
    return 1 if differ or not same else 0


if __name__ == "__main__":
    sys.exit(main())
