#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Plants one small fault at a time in src/ and checks that the test suite notices.

Each mutant changes one place: a comparison flipped, && and || swapped, an
integer constant off by one, a boolean negated, a returned value changed, a
call statement deleted. For each, the plain build is rebuilt incrementally and
the suite run under a hard time limit (a hang counts as caught); the file is
restored before the next one. Mutants that do not compile are passed over and
do not count. The sample is drawn from all candidate places with a seed, so
the same seed and count give the same mutants on the same sources.

    scripts/mutants.py [--seed S] [--count N] [--build DIR] [--limit SECONDS]
    scripts/mutants.py --seed S --only LOG      (an earlier run's survivors again)

Prints "mutants: N run, K caught (P%)", then each surviving mutant as
file:line with its change. Needs a configured plain build (scripts/test.sh
makes build-test/plain).
"""
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Binary operators stand between spaces in this code base (clang-format), which
# keeps template brackets, shifts and arrows out of the comparisons.
SWAPS = [
    (" == ", " != "), (" != ", " == "), (" < ", " >= "), (" >= ", " < "), (" > ", " <= "),
    (" <= ", " > "), (" && ", " || "), (" || ", " && "), ("true", "false"), ("false", "true"),
]
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
NOT = re.compile(r"!(?=[A-Za-z_(])")
RETURN = re.compile(r"\breturn (-?\d+|true|false|nullptr);")
CALL = re.compile(r"^\s*[A-Za-z_][\w:]*(\.|->)?[\w:.>-]*\(.*\);\s*$")
NOT_A_CALL = re.compile(r"^\s*(return|if|while|for|switch|sizeof|static_assert|case|delete|throw)\b")


def balanced(text):
    depth = 0
    for c in text:
        depth += {"(": 1, ")": -1}.get(c, 0)
        if depth < 0:
            return False
    return depth == 0


def code_lines(path):
    """(line number, text) of the lines that hold code: no comments, no
    preprocessor lines, nothing inside a block comment."""
    in_block = False
    with open(path) as f:
        for n, line in enumerate(f, 1):
            s = line.strip()
            if in_block:
                in_block = "*/" not in s
                continue
            if s.startswith("/*"):
                in_block = "*/" not in s
                continue
            if not s or s.startswith(("//", "#", "static_assert")):
                continue
            yield n, line.split("//")[0].rstrip("\n")


def candidates(path):
    rel = os.path.relpath(path, TOP)
    for n, line in code_lines(path):
        if '"' in line and line.count('"') >= 2:
            # Keep out of string literals: mutate only outside the first and
            # last quote.
            head, tail = line.split('"', 1)[0], line.rsplit('"', 1)[1]
            spans = [(0, len(head)), (len(line) - len(tail), len(line))]
        else:
            spans = [(0, len(line))]

        def inside(i, j):
            return any(a <= i and j <= b for a, b in spans)

        for old, new in SWAPS:
            word = old.strip().isalpha()
            for m in re.finditer(r"\b%s\b" % old if word else re.escape(old), line):
                if inside(m.start(), m.end()):
                    yield rel, n, m.start(), old, new
        for m in NUMBER.finditer(line):
            if inside(m.start(), m.end()):
                yield rel, n, m.start(), m.group(1), str(int(m.group(1)) + 1)
        for m in NOT.finditer(line):
            if inside(m.start(), m.end()):
                yield rel, n, m.start(), "!", ""
        for m in RETURN.finditer(line):
            value = m.group(1)
            other = {"0": "-1", "true": "false", "false": "true", "nullptr": "nullptr"}.get(value, "0")
            if other != value:
                yield rel, n, m.start(), m.group(0), "return %s;" % other
        if CALL.match(line) and not NOT_A_CALL.match(line) and "=" not in line.split("(")[0] \
                and balanced(line):
            body = line.strip()
            yield rel, n, line.index(body[0]), body, ";"


def all_candidates():
    out = []
    for root, _, files in os.walk(os.path.join(TOP, "src")):
        for name in sorted(files):
            if name.endswith((".cpp", ".h")):
                out.extend(candidates(os.path.join(root, name)))
    # Whatever the walk order, the same sources give the same list.
    return sorted(out)


def describe(rel, n, col, old, new):
    return "%s:%d: %s -> %s" % (rel, n, old.strip(), new.strip() or "(removed)")


def apply(rel, n, col, old, new):
    path = os.path.join(TOP, rel)
    with open(path) as f:
        lines = f.readlines()
    line = lines[n - 1]
    assert line[col:col + len(old)] == old, (rel, n, old)
    lines[n - 1] = line[:col] + new + line[col + len(old):]
    with open(path, "w") as f:
        f.writelines(lines)


def run(cmd, limit):
    """Runs cmd in its own process group; returns its exit code, or None when
    it ran past limit seconds (the whole group is then killed)."""
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        return p.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=100)
    ap.add_argument("--build", default=os.path.join(TOP, "build-test", "plain"))
    ap.add_argument("--limit", type=int, default=180, help="seconds for one run of the suite")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--list", action="store_true", help="print the sampled mutants and exit")
    ap.add_argument("--only", metavar="LOG", help="run again only the mutants an earlier run's LOG lists as survived")
    args = ap.parse_args()

    sites = all_candidates()
    random.Random(args.seed).shuffle(sites)
    if args.only:
        with open(args.only) as f:
            wanted = {line.split("survived: ", 1)[1].strip() for line in f if line.startswith("survived: ")}
        # The run met its mutants in this order, so of the places on one line
        # that read alike the first is the one it ran.
        chosen = {}
        for site in sites:
            chosen.setdefault(describe(*site), site)
        sites = [site for d, site in chosen.items() if d in wanted]
        args.count = len(sites)
    if args.list:
        for rel, n, _, old, new in sites[:args.count]:
            print("%s:%d: %r -> %r" % (rel, n, old, new))
        return 0
    if not os.path.exists(os.path.join(args.build, "CTestTestfile.cmake")):
        sys.exit("mutants: %s is not a configured build with tests" % args.build)
    build = ["cmake", "--build", args.build, "-j", str(args.jobs)]
    if run(build, 1800) != 0:
        sys.exit("mutants: the unmutated build fails")
    suite = ["ctest", "--test-dir", args.build, "-j", str(args.jobs), "--stop-on-failure"]
    if run(suite, args.limit) != 0:
        sys.exit("mutants: the suite fails without a mutant")

    ran, caught, survivors, started = 0, 0, [], time.time()
    for rel, n, col, old, new in sites:
        if ran == args.count:
            break
        path = os.path.join(TOP, rel)
        with open(path) as f:
            original = f.read()
        try:
            apply(rel, n, col, old, new)
            if run(build, 600) != 0:
                continue  # does not compile: not a mutant the suite could meet
            ran += 1
            rc = run(suite, args.limit)
            verdict = "caught" if rc != 0 else "SURVIVED"
            if rc is None:
                verdict = "caught (hang)"
            if rc != 0:
                caught += 1
            else:
                survivors.append(describe(rel, n, col, old, new))
            print("[%d/%d] %s:%d %r -> %r: %s" % (ran, args.count, rel, n, old, new, verdict), flush=True)
        finally:
            with open(path, "w") as f:
                f.write(original)
    run(build, 1800)  # leave the build matching the sources

    pct = 100.0 * caught / ran if ran else 0.0
    print("mutants: %d run, %d caught (%.0f%%) [seed %d, %.0f s]" % (ran, caught, pct, args.seed,
                                                                   time.time() - started))
    for s in survivors:
        print("survived: " + s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
