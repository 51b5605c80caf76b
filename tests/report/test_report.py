#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# The run report of ka-board, end to end.
#
#   test_report.py KA_BOARD REPORT_DEMO WORKDIR [core|browser] [SPECTROGRAMS]
#
# core: report_demo runs under `ka-board run --report`; the trace holds each
# event once, in order, with times; the page has the lanes and marks of what the
# program did, and its levels match the WAV files (computed here); a program
# killed by SIGKILL leaves a trace that `ka-board report` turns into a page; a
# launcher killed by SIGKILL takes the program with it; a trace of a newer
# format is refused. What a listener notices in the played-out file (the stall's
# replayed buffer and gap, the close's end cut) is listed and marked where the
# files have it, and summed up on the page and in --log; a trace without the
# played-out fields gets none of it. A constant level draws as a line.
#
# browser: Debian's chromium (headless) loads the page with no console message,
# and its DOM has the lanes, the underrun, the images and the spectrograms'
# axes; laid out, no timeline label leaves its lane or overlaps its
# neighbour, and the marks on a waveform lie inside it. Skipped (77) when chromium is not installed.
#
# SPECTROGRAMS: 0 when ka-board was built without FFTW or zlib (the page then
# has none). Both modes are skipped (77) when ka-board cannot run here (another
# machine's binary without binfmt).
import html
import json
import math
import os
import pathlib
import re
import shutil
import signal
import struct
import subprocess
import sys
import wave

board, demo, work = sys.argv[1:4]
mode = sys.argv[4] if len(sys.argv) > 4 else "core"
spectrograms = 2 if len(sys.argv) <= 5 or sys.argv[5] != "0" else 0
if subprocess.run([board, "--help"], capture_output=True).returncode != 0:
    print("cannot run %s here" % board)
    sys.exit(77)
work = os.path.abspath(work) + "-" + mode
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
failures = []
LANES = ["program", "pcmC0D1p", "pcmC0D2c", "pcmC0D5p", "mixer", "codec", "service", "log"]


# Each (name, got, wanted): ok when got == wanted, or when wanted(got) for a test.
def verify(facts):
    for name, got, wanted in facts:
        ok = wanted(got) if callable(wanted) else got == wanted
        print(("ok: " if ok else "FAILED: ") + name + ("" if ok else "\n  got:    %r\n  wanted: %r" % (got, wanted)))
        if not ok:
            failures.append(name)


def run_demo(folder, *demo_args):
    # The board's clock at a quarter of real time: only the demo's stall, not
    # a loaded machine, lets the device run dry.
    cmd = [board, "run", "--speed", "0.25", "--log", "--report", folder, "--fault", "pcm_open@5:0:1", "--capture",
           "tone:440:8000", "--", demo, *demo_args]
    r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=120)
    with open(os.path.join(folder, "trace.jsonl")) as f:
        return r, [json.loads(line) for line in f]


# What the checks look at in a report page, or in chromium's DOM of it.
class Page:

    def __init__(self, text):
        self.text = text
        self.lanes = re.findall(r'<g class="lane [^"]*" data-lane="([^"]*)"', text)
        self.marks = {lane: re.findall(r'<g class="mark ([^"]*)"><title>(.*?)</title>', body, re.S)
                      for lane, body in re.findall(r'data-lane="([^"]*)"(.*?)(?=<g class="lane |</svg>)', text, re.S)}
        self.devices, self.links, self.heard = {}, {}, {}  # section id -> {class: data-value, "channels": [(peak, rms)]}; -> WAV
        for sec, body in re.findall(r'<section class="device" id="([^"]*)">(.*?)</section>', text, re.S):
            d = self.devices[sec] = dict(re.findall(r'<dd class="(\w+)" data-value="([^"]*)"', body))
            d["channels"] = [(float(p), float(r))
                             for p, r in re.findall(r'data-peak="([^"]*)" data-rms="([^"]*)"', body)]
            self.links.update((sec, href) for href in re.findall(r'<a class="wav" href="([^"]*)"', body))
            # The summary, the list [(kind, from, frames, time)] and the waveform's marks [(kind, from, to)].
            self.heard[sec] = (" ".join(re.findall(r'<p class="heard-summary">([^<]*)</p>', body)),
                               [(k, int(a), int(n), t) for k, a, n, t in re.findall(
                                   r'<tr class="(\w+)" data-from="(\d+)" data-frames="(\d+)" data-t="([^"]*)"', body)],
                               [(k, int(a), int(b)) for k, a, b in re.findall(
                                   r'<g class="heard (\w+)" data-from="(\d+)" data-to="(\d+)"', body)])
        self.spectrograms = re.findall(r'<image class="spectrogram"[^>]* href="([^"]{0,22})', text)
        self.axes = [re.findall(r'<text class="axis (\w+)"[^>]*>([^<]*)<', svg) for svg in text.split('<svg class="spectrogram"')[1:]]
        self.overflow = json.loads(html.unescape((re.findall(r'data-overflow="([^"]*)"', text) or ["null"])[0]))
        self.waveforms = text.count('<svg class="waveform"')
        self.exit_status = re.sub(r"<[^>]*>", "", "".join(re.findall(r'id="exit-status">(.*?)</td>', text, re.S)))

    def marks_of(self, lane, kind):
        return [title for classes, title in self.marks.get(lane, []) if kind in classes.split()]


def load_page(folder):
    path = pathlib.Path(folder, "index.html")
    return Page(path.read_text() if path.exists() else "")


# The frames of a 16-bit WAV (tuples of samples), and its rate.
def frames(path):
    with wave.open(path) as w:
        c, n, rate = w.getnchannels(), w.getnframes(), w.getframerate()
        d = struct.unpack("<%dh" % (n * c), w.readframes(n))
    return [d[i:i + c] for i in range(0, len(d), c)], rate


# Peak and RMS in dBFS, clipped samples and duration of a 16-bit WAV, and
# the peak and RMS of each channel, computed here.
def levels(path):
    f, rate = frames(path)
    data, channels, duration = sum(f, ()), len(f[0]) if f else 1, len(f) / rate

    def db(x):
        return 20 * math.log10(x) if x > 0 else float("-inf")

    def peak_rms(d):
        rms = math.sqrt(sum(v * v for v in d) / len(d)) if d else 0
        return db(max(map(abs, d), default=0) / 32768), db(rms / 32768)

    clipped = sum(1 for v in data if v in (32767, -32768))
    return (*peak_rms(data), clipped, duration), [peak_rms(data[c::channels]) for c in range(channels)]


# Whether each (got, computed) pair is within `tolerance`.
def close(pairs, tolerance):
    return all(abs(a - b) < tolerance for a, b in pairs)


def core():
    rep = os.path.join(work, "rep")
    run, events = run_demo(rep)
    demo_pid = next(e["pid"] for e in events if e["ev"] == "pcm_open")
    mine = [e for e in events if e["pid"] == demo_pid]

    def first(kind, dev=None):
        return next((e for e in mine if e["ev"] == kind and dev in (None, e.get("dev"))), {})

    def short(e):
        k = e["ev"]
        if k.startswith("pcm_") or k in ("fault", "wav_file"):
            return "%s %s%d" % (k, e.get("dir", "?"), e.get("dev", -1))
        return "ctl_write %s=%s" % (e["name"], e["values"]) if k == "ctl_write" else k

    seen = [short(e) for e in mine if e["ev"] not in ("ctl_open", "ctl_close", "i2c_read", "board_ready", "log")]
    hw, start, under, changed = first("pcm_hw_params", 1), first("pcm_start", 1), first("pcm_underrun"), \
        first("file_changed")

    def out_of_order(pid):
        e = [x for x in events if x["pid"] == pid]
        return [x["seq"] for x in e] != list(range(len(e))) or any(a["t"] > b["t"] for a, b in zip(e, e[1:]))

    verify([
        ("the demo runs under --report", (run.returncode, run.stderr[-2000:] if run.returncode else ""), (0, "")),
        ("the trace runs from the run line, with the command and the board options, to the exit",
         (events[1]["ev"], events[1]["program"], events[1]["options"].get("KA_BOARD_FAULTS"), events[-1]["ev"],
          events[-1].get("code")), ("run", [demo], "pcm_open@5:0:1", "exit", 0)),
        ("the library's log: events with priority, tag and text, no line on the program's stderr",
         (all(e["prio"] in "VDIWEF" and e["text"] for e in mine if e["ev"] == "log"),
          sum(e["ev"] == "log" for e in mine) > 5, re.findall(r"^[VDIWEF]/\(.*", run.stderr, re.M)), (True, True, [])),
        ("each process: each event once, numbered in order, times never going back",
         [pid for pid in {e["pid"] for e in events if e["ev"] == "board_ready"} if out_of_order(pid)], []),
        # The DRC/AGC update writes several registers: one i2c_write stands for them.
        ("the demo's events, each once, in order",
         [s for i, s in enumerate(seen) if not (s == "i2c_write" and i and seen[i - 1] == "i2c_write")],
         ["ctl_write SEC_AUX_PCM_RX Audio Mixer MultiMedia1=[1]", "ctl_write MultiMedia2 Mixer SEC_AUX_PCM_UL_TX=[1]",
          "node_open", "ctl_write DAC1 Playback Volume=[140, 105]", "system", "system_done", "file_changed",
          "node_open", "i2c_open", "i2c_write", "i2c_close", "fault p5",
          "pcm_open p1", "pcm_hw_params p1", "pcm_sw_params p1", "pcm_prepare p1",
          "wav_file p1", "wav_file p1",  # what it played out and what it received, from the first write
          "pcm_start p1", "pcm_underrun p1", "pcm_prepare p1", "pcm_start p1", "pcm_close p1",
          "pcm_open c2", "pcm_hw_params c2", "pcm_sw_params c2", "pcm_prepare c2", "pcm_start c2",
          "wav_file c2", "pcm_close c2",
          "ctl_write SEC_AUX_PCM_RX Audio Mixer MultiMedia1=[0]", "ctl_write MultiMedia2 Mixer SEC_AUX_PCM_UL_TX=[0]"]),
        ("hw params: format, rate, channels, period",
         tuple(hw.get(k) for k in ("format", "rate", "channels", "period", "periods")), ("S16_LE", 16000, 2, 320, 4)),
        ("the underrun is dated between the start and when it was seen",
         start.get("t", 0) < under.get("at", -1) <= under.get("t", -2), True),
        ("codec register writes: 0xB5 <- 0x0050, 0xB4 <- 0x1234",
         [(e["reg"], e["values"]) for e in mine if e["ev"] == "i2c_write" and e["values"]],
         [(0xB5, [0x50]), (0xB4, [0x1234])]),
        ("the command file's new text", (changed.get("path"), changed.get("text")),
         ("/data/alsaucm_test", "rxgains gain 3\n")),
    ])

    page = load_page(rep)
    facts = [("lanes: program, each device used, mixer, codec, service", page.lanes, LANES),
             ("marks: hw params, two starts, an underrun and a close on pcmC0D1p, the fault on pcmC0D5p, five "
              "control writes, three register writes and two reads of the node, system() and the command file",
              {kind: len(page.marks_of(lane, kind)) for lane, kind in (
                  ("pcmC0D1p", "pcm_hw_params"), ("pcmC0D1p", "pcm_start"), ("pcmC0D1p", "pcm_underrun"),
                  ("pcmC0D1p", "pcm_close"), ("pcmC0D5p", "fault"), ("mixer", "ctl_write"), ("codec", "i2c_write"),
                  ("codec", "node_open"), ("service", "system"), ("service", "file_changed"))},
              {"pcm_hw_params": 1, "pcm_start": 2, "pcm_underrun": 1, "pcm_close": 1, "fault": 1, "ctl_write": 5,
               "i2c_write": 3, "node_open": 2, "system": 1, "file_changed": 1}),
             ("the hw params mark tells format, rate, channels and period, the mixer marks names and values",
              (" ".join(page.marks_of("pcmC0D1p", "pcm_hw_params")), " ".join(page.marks_of("mixer", "ctl_write"))),
              lambda g: all(w in g[0] for w in ("S16_LE", "rate=16000", "channels=2", "period=320")) and
              "DAC1 Playback Volume values=140 105" in g[1]),
             ("the exit status", "exited with code 0" in page.exit_status, True),
             ("a spectrogram per device, PNG inline (where built with FFTW and zlib); two waveforms",
              (page.spectrograms, page.waveforms), (["data:image/png;base64,"] * spectrograms, 2))]
    for name, clipped in (("pcmC0D1p", 8), ("pcmC0D2c", 0)):
        dev = page.devices.get("dev-" + name, {"channels": []})
        wav = os.path.join(rep, page.links.get("dev-" + name, "?"))
        (peak, rms, count, duration), per_channel = levels(wav) if os.path.isfile(wav) else ((0, 0, -1, 0), [])
        got = [float(dev.get(k, "nan")) for k in ("peak", "rms", "clipped", "duration")]
        facts += [(name + ": the page links its WAV, and its peak, RMS, clipped samples and duration match the WAV",
                   (wav, got, [peak, rms, count, duration]),
                   lambda g, c=clipped: os.path.isfile(g[0]) and close(zip(g[1][:2], g[2][:2]), 0.01) and
                   g[1][2] == g[2][2] == c and close([(g[1][3], g[2][3])], 1e-6))]
        if name == "pcmC0D1p":
            facts += [(name + ": each channel's peak and RMS match the WAV", (dev["channels"], per_channel),
                       lambda g: len(g[0]) == 2 and close([(a, b) for x, y in zip(*g) for a, b in zip(x, y)], 0.01))]

    # What a listener notices on pcmC0D1p, against the files: the stall replays
    # the ring's last buffer, then is silent until the restart; the close cuts
    # off what was still queued.
    played, rate = frames(os.path.join(rep, page.links.get("dev-pcmC0D1p", "?")))
    received = os.path.join(rep, "pcmC0D1p.received.wav")
    received = frames(received)[0] if os.path.isfile(received) else played
    summary, listed, marked = page.heard.get("dev-pcmC0D1p", ("", [], []))
    size = {k: sum(n for kind, _, n, _ in listed if kind == k) for k in ("gap", "replayed", "cut")}
    (ra, rb), (ga, gb), (ca, _) = [next(((a, a + n) for kind, a, n, _ in listed if kind == k), (0, 0))
                                   for k in ("replayed", "gap", "cut")]
    ring = hw.get("period", 0) * hw.get("periods", 0)

    def since_run(e):  # when an event happened (an underrun: when the clock passed the data), from the run's start
        return "%.3f" % ((e.get("at", e.get("t", 0)) - events[1]["t"]) / 1e9)

    def ms(n):
        v = n * 1000 / rate
        return ("%.1f ms" if 0 < v < 10 else "%.0f ms") % v

    heard = "played out %.2f s of %.2f s received; cut at the end: %s; gaps: %s; replayed: %s" % (
        len(played) / rate, len(received) / rate, ms(size["cut"]), ms(size["gap"]), ms(size["replayed"]))
    facts += [("pcmC0D1p: the replayed buffer and the gap listed at the time of the underrun, the end cut at the close's; "
               "each marked on the waveform",
               ([(k, t) for k, _, _, t in listed], marked),
               ([("replayed", since_run(under)), ("gap", since_run(under)), ("cut", since_run(first("pcm_close", 1)))],
                [(k, a, a + n * (k != "cut")) for k, a, n, _ in listed])),
              ("pcmC0D1p: the played-out file has them there: the replayed stretch repeats the ring before it, the "
               "gap is the silence from it to the restarted tone (whose first frame is clipped), the cut is at the file's end and runs over the frames "
               "received and never played up to the last that sounds",
               (rb > ra >= ring > 0 and played[ra:rb] == played[ra - ring:rb - ring] and any(map(any, played[ra:rb])),
                gb > ga == rb and not any(map(any, played[ga:gb])) and any(played[ga - 1]) and any(played[gb:gb + 1][0]),
                ca == len(played), size["cut"],
                max((i + 1 for i, f in enumerate(received[len(played) - size["gap"] - size["replayed"]:]) if any(f)),
                    default=0)),
               lambda g: g[:3] == (True,) * 3 and g[3] == g[4] > 0),
              ("pcmC0D1p's summary, on the page and at the end of --log",
               (summary, re.findall(r"^ka-board: (pcmC0D\d+\w): (.*)", run.stderr, re.M)),
               (heard, [("pcmC0D1p", heard)]))]

    # `ka-board report` makes the page again elsewhere, from the trace as a
    # board that did not count what it played out wrote it: the same lanes and
    # levels, none of what a listener notices.
    again = os.path.join(work, "again")
    os.makedirs(again)
    with open(os.path.join(rep, "trace.jsonl")) as f, open(os.path.join(again, "old.jsonl"), "w") as old:
        for e in map(json.loads, f):
            if e.get("what") != "received":
                old.write(json.dumps({k: v for k, v in e.items() if k not in (
                    "out", "replayed", "played", "dropped", "cut", "what")}) + "\n")
    r = subprocess.run([board, "report", os.path.join(again, "old.jsonl"), again], capture_output=True, text=True)
    page2 = load_page(again)
    facts += [("ka-board report of a trace without the played-out fields: the same lanes and levels elsewhere, its "
               "WAV links leading to the files, no summary, list or marks",
               (r.returncode, page2.lanes, page2.devices, sorted(os.path.isfile(os.path.join(again, h))
                                                                 for h in page2.links.values()),
                [h for h in page2.heard.values() if any(h)]),
               (0, page.lanes, page.devices, [True, True], []))]

    # A constant level (a DC offset, a stuck sample) before and after a tone:
    # each column of the waveform at least a pixel high, at the level.
    dc = os.path.join(work, "dc")
    os.makedirs(dc)
    with wave.open(os.path.join(dc, "pcmC0D0p.wav"), "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(8000)
        w.writeframes(struct.pack("<6000h", *[16000] * 2000, *[
            round(8000 * math.sin(2 * math.pi * 440 * i / 8000)) for i in range(2000)], *[-16000] * 2000))
    with open(os.path.join(dc, "trace.jsonl"), "w") as f:
        f.write('{"t":1,"pid":1,"seq":0,"ev":"pcm_open","dev":0,"dir":"p","fd":3}\n{"t":2,"pid":1,"seq":1,'
                '"ev":"wav_file","dev":0,"dir":"p","path":"%s"}\n' % os.path.join(dc, "pcmC0D0p.wav"))
    subprocess.run([board, "report", os.path.join(dc, "trace.jsonl"), dc], capture_output=True)
    wave_path = (re.findall(r'<path class="wave" d="([^"]*)"', load_page(dc).text) or [""])[0]
    ys = [float(y) for y in re.findall(r"[ML][\d.]+ ([\d.]+)", wave_path)] or [0] * 2001
    top, bottom = ys[1:1001], ys[2000:1000:-1]
    facts += [("a constant level draws: every waveform column at least a pixel high, the first third above the "
               "middle, the last third below",
               (len(ys), min(b - t for t, b in zip(top, bottom)) > 0.85, max(bottom[10:320]) < 35,
                min(top[680:990]) > 35), (2001, True, True, True))]

    # The program killed by SIGKILL in the middle of playing.
    killed = os.path.join(work, "killed")
    r, events = run_demo(killed, "--kill-during-play")
    page = load_page(killed)
    facts += [("a killed program: the launcher dies of the same signal, the exit in the trace; the page says so and "
               "shows the open stream; the WAV holds what was played out (half a second written, of which the "
               "80 ms buffer's worth at most still queued at the kill; the header put right)",
               (r.returncode, events[-1]["ev"], events[-1].get("signal"), "killed by signal 9" in page.exit_status,
                len(page.marks_of("pcmC0D1p", "pcm_open")), page.marks_of("pcmC0D1p", "pcm_close"),
                round(levels(os.path.join(killed, "pcmC0D1p.wav"))[0][3], 9)),
               lambda g: g[:6] == (-signal.SIGKILL, "exit", 9, True, 1, []) and 0.42 <= g[6] < 0.5)]

    # The launcher killed (by the program, which then kills itself): the
    # launcher's watch ends the program's tree, writes the end and makes the
    # page; `ka-board report` makes it again from the trace, a line cut short
    # at its end left out.
    lost = os.path.join(work, "lost")
    r, events = run_demo(lost, "--kill-launcher")
    with open(os.path.join(lost, "trace.jsonl"), "a") as f:
        f.write('{"t":1,"pid":')  # a line cut short
    page_dir = os.path.join(work, "lost-page")
    made = subprocess.run([board, "report", os.path.join(lost, "trace.jsonl"), page_dir], capture_output=True, text=True)
    page = load_page(page_dir)
    newer = os.path.join(work, "newer.jsonl")
    pathlib.Path(newer).write_text('{"t":1,"pid":1,"ev":"trace","format":999}\n{"t":2,"pid":1,"seq":0,"ev":"board_ready"}\n')
    refused = [subprocess.run([board, "report", path, page_dir], capture_output=True, text=True)
               for path in (os.path.join(work, "no-such-trace"), newer)]
    facts += [("a killed launcher takes the program: the trace ends with that, the page is made; ka-board report "
               "makes it again, lanes up to the kill, the cut line left out",
               (r.returncode, os.path.exists(os.path.join(lost, "index.html")), events[-1].get("status"),
                made.returncode, {"pcmC0D1p", "mixer"} <= set(page.lanes), "ka-board itself was killed" in
                page.exit_status, "1 unreadable lines left out" in page.text),
               (-signal.SIGKILL, True, "launcher_killed", 0, True, True, True)),
              ("ka-board report of a missing trace, and of a newer format, fails and says why",
               [(x.returncode, "cannot read" in x.stderr or "trace format 999, newer" in x.stderr) for x in refused],
               [(1, True)] * 2)]
    verify(facts)


def browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("chromium is not installed (scripts/install-deps.sh installs it): browser checks skipped")
        sys.exit(77)
    rep = os.path.join(work, "rep")
    r = run_demo(rep)[0]

    # Chromium's DOM of a page, and the console lines of loading it.
    def dom(path):
        profile = os.path.join(work, "profile-%d" % len(os.listdir(work)))
        r = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                            "--disable-background-networking", "--disable-component-update", "--disable-sync",
                            "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0", "--dump-dom",
                            "file://" + path], capture_output=True, text=True, timeout=300)
        return r.stdout, [line for line in r.stderr.splitlines() if ":CONSOLE" in line or "Uncaught" in line]

    # The console check itself: a page that logs an error is caught.
    probe = os.path.join(work, "probe.html")
    with open(probe, "w") as f:
        f.write("<!DOCTYPE html><html><body><script>console.error('probe message')</script></body></html>")
    text, console = dom(os.path.join(rep, "index.html"))
    page = Page(text)
    # A copy of the page with a script that measures each timeline label
    # against its lane and against the label before it in its row, and each
    # mark on a waveform against the waveform.
    measured = os.path.join(rep, "measured.html")
    pathlib.Path(measured).write_text(page.text.replace("</body>", """<script>const out = [];
for (const lane of document.querySelectorAll('#timeline g.lane')) {
  const r = lane.querySelector('.lanebg').getBBox(), end = {};
  for (const t of lane.querySelectorAll('g.label text')) { const b = t.getBBox(), y = t.getAttribute('y');
    if (b.x < r.x || b.y < r.y || b.x + b.width > r.x + r.width || b.y + b.height > r.y + r.height || b.x < (end[y] || 0))
      out.push(lane.dataset.lane + ': ' + t.textContent);
    end[y] = b.x + b.width; } }
for (const m of document.querySelectorAll('svg.waveform g.heard')) {
  const w = m.closest('svg').getBoundingClientRect(), b = m.firstElementChild.nextElementSibling.getBoundingClientRect();
  if (b.left < w.left || b.right > w.right || b.top < w.top || b.bottom > w.bottom || (m.classList.contains('cut') ? b.height : b.width) < 1)
    out.push('waveform mark ' + m.getAttribute('class') + ' at ' + b.left); }
document.body.setAttribute('data-overflow', JSON.stringify(out));</script></body>"""))
    hz = ["50 Hz", "100 Hz", "200 Hz", "500 Hz", "1 kHz", "2 kHz"]
    verify([("the demo runs under --report", r.returncode, 0),
            ("chromium: a console message of a page is seen", any("probe message" in line for line in dom(probe)[1]),
             True),
            ("chromium loads the page, with no console message", ("</html>" in text, console), (True, [])),
            ("chromium's DOM: the lanes, the underrun mark, the spectrograms and waveforms, the marks of the "
             "replayed buffer, the gap and the end cut on pcmC0D1p's",
             (page.lanes, len(page.marks_of("pcmC0D1p", "pcm_underrun")), page.spectrograms, page.waveforms,
              [k for k, _, _ in page.heard.get("dev-pcmC0D1p", ("", [], []))[2]]),
             (LANES, 1, ["data:image/png;base64,"] * spectrograms, 2, ["replayed", "gap", "cut"])),
            ("the spectrograms' axes: log frequency from 50 Hz to the rate's half, seconds from 0, a -100..0 dB legend",
             [([v for k, v in a if k == "freq"], float([v for k, v in a if k == "time"][0][:-2]), [v for k, v in a if k == "legend"])
              for a in page.axes],
             [(hz + ["5 kHz"], 0, ["%d dB" % d for d in range(-100, 1, 20)]),
              (hz, 0, ["%d dB" % d for d in range(-100, 1, 20)])][:spectrograms]),
            ("no timeline label leaves its lane or runs into the next of its row, no waveform mark leaves the "
             "waveform or has no width", Page(dom(measured)[0]).overflow, [])])

core() if mode == "core" else browser()
print("%d checks failed" % len(failures) if failures else "all report checks passed")
sys.exit(1 if failures else 0)
