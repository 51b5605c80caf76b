#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The run report of ka-board, end to end.

  test_report.py KA_BOARD REPORT_DEMO WORKDIR [core|browser] [SPECTROGRAMS]

core: report_demo runs under `ka-board run --report`; the trace holds each
event once, in order, with times; the page has the lanes and marks of what the
program did, and its levels match the WAV files (computed here); a program
killed by SIGKILL, and a launcher killed by SIGKILL, still leave a trace that
`ka-board report` turns into a page.

browser: Debian's chromium (headless) loads the page with no console message,
and its DOM has the lanes, the underrun and the images. Skipped (77) when
chromium is not installed.

SPECTROGRAMS: 0 when ka-board was built without FFTW or zlib (the page then
has none). Both modes are skipped (77) when ka-board cannot run here (another
machine's binary without binfmt).
"""
import json
import math
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
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
LANES = ["program", "pcmC0D1p", "pcmC0D2c", "pcmC0D5p", "mixer", "codec", "service"]


def check(name, ok, detail=""):
    print(("ok: " if ok else "FAILED: ") + name + ("" if ok else "  " + str(detail)))
    if not ok:
        failures.append(name)


def run_demo(folder, *demo_args):
    cmd = [board, "run", "--report", folder, "--fault", "pcm_open@5:0:1", "--capture", "tone:440:8000", "--", demo,
           *demo_args]
    return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=120)


def read_trace(path):
    """The events of a trace: a JSON object a line."""
    with open(path) as f:
        return [json.loads(line) for line in f]


class Page:
    """What the checks look at in a report page, or in chromium's DOM of it."""

    def __init__(self, text):
        self.text = text
        self.lanes = re.findall(r'<g class="lane [^"]*" data-lane="([^"]*)"', text)
        self.marks = {lane: re.findall(r'<g class="mark ([^"]*)"><title>(.*?)</title>', body, re.S)
                      for lane, body in re.findall(r'data-lane="([^"]*)"(.*?)(?=<g class="lane |</svg>)', text, re.S)}
        self.devices, self.links = {}, {}  # section id -> {class: data-value, "channels": [(peak, rms)]}; -> WAV
        for sec, body in re.findall(r'<section class="device" id="([^"]*)">(.*?)</section>', text, re.S):
            d = self.devices[sec] = dict(re.findall(r'<dd class="(\w+)" data-value="([^"]*)"', body))
            d["channels"] = [(float(p), float(r))
                             for p, r in re.findall(r'data-peak="([^"]*)" data-rms="([^"]*)"', body)]
            self.links.update((sec, href) for href in re.findall(r'<a class="wav" href="([^"]*)"', body))
        self.spectrograms = re.findall(r'<img class="spectrogram"[^>]* src="([^"]{0,22})', text)
        self.waveforms = text.count('<svg class="waveform"')
        self.exit_status = re.sub(r"<[^>]*>", "", "".join(re.findall(r'id="exit-status">(.*?)</td>', text, re.S)))

    def marks_of(self, lane, kind):
        return [title for classes, title in self.marks.get(lane, []) if kind in classes.split()]


def load_page(folder):
    with open(os.path.join(folder, "index.html")) as f:
        return Page(f.read())


def levels(path):
    """Peak and RMS in dBFS, clipped samples and duration of a 16-bit WAV, and
    the peak and RMS of each channel, computed here."""
    with wave.open(path) as w:
        channels, frames = w.getnchannels(), w.getnframes()
        data = struct.unpack("<%dh" % (frames * channels), w.readframes(frames))
        duration = frames / w.getframerate()

    def db(x):
        return 20 * math.log10(x) if x > 0 else float("-inf")

    def peak_rms(d):
        rms = math.sqrt(sum(v * v for v in d) / len(d)) if d else 0
        return db(max(map(abs, d), default=0) / 32768), db(rms / 32768)

    clipped = sum(1 for v in data if v in (32767, -32768))
    return (*peak_rms(data), clipped, duration), [peak_rms(data[c::channels]) for c in range(channels)]


def core():
    rep = os.path.join(work, "rep")
    r = run_demo(rep)
    check("the demo runs under --report", r.returncode == 0, r.stderr[-2000:])
    events = read_trace(os.path.join(rep, "trace.jsonl"))
    check("the trace runs from the run to the exit",
          events[0]["ev"] == "run" and events[-1]["ev"] == "exit" and events[-1].get("code") == 0,
          (events[:1], events[-1:]))
    check("every event has a time and a process",
          all(isinstance(e.get("t"), int) and isinstance(e.get("pid"), int) for e in events))
    check("the run line has the command and the board options", events[0]["program"] == [demo] and
          events[0]["options"].get("KA_BOARD_FAULTS") == "pcm_open@5:0:1", events[0])
    for pid in sorted({e["pid"] for e in events if e["ev"] == "board_ready"}):
        mine = [e for e in events if e["pid"] == pid]
        check("process %d: each event once, numbered in order, times never going back" % pid,
              [e["seq"] for e in mine] == list(range(len(mine))) and
              all(a["t"] <= b["t"] for a, b in zip(mine, mine[1:])), [(e["seq"], e["t"]) for e in mine])
    demo_pid = next(e["pid"] for e in events if e["ev"] == "pcm_open")
    mine = [e for e in events if e["pid"] == demo_pid]

    def short(e):
        k = e["ev"]
        if k.startswith("pcm_") or k in ("fault", "wav_file"):
            return "%s %s%d" % (k, e.get("dir", "?"), e.get("dev", -1))
        return "ctl_write %s=%s" % (e["name"], e["values"]) if k == "ctl_write" else k

    wanted = ["ctl_write SEC_AUX_PCM_RX Audio Mixer MultiMedia1=[1]",
              "ctl_write MultiMedia2 Mixer SEC_AUX_PCM_UL_TX=[1]",
              "node_open", "ctl_write DAC1 Playback Volume=[140, 105]", "system", "system_done", "file_changed",
              "node_open", "i2c_open", "i2c_write", "i2c_close", "fault p5",
              "pcm_open p1", "pcm_hw_params p1", "pcm_sw_params p1", "pcm_prepare p1", "wav_file p1",
              "pcm_start p1", "pcm_underrun p1", "pcm_prepare p1", "pcm_start p1", "pcm_close p1",
              "pcm_open c2", "pcm_hw_params c2", "pcm_sw_params c2", "pcm_prepare c2", "pcm_start c2",
              "wav_file c2", "pcm_close c2",
              "ctl_write SEC_AUX_PCM_RX Audio Mixer MultiMedia1=[0]",
              "ctl_write MultiMedia2 Mixer SEC_AUX_PCM_UL_TX=[0]"]
    seen = [short(e) for e in mine if e["ev"] not in ("ctl_open", "ctl_close", "i2c_read", "board_ready")]
    # The DRC/AGC update writes several registers: one i2c_write stands for them.
    compact = [s for i, s in enumerate(seen) if not (s == "i2c_write" and i and seen[i - 1] == "i2c_write")]
    check("the demo's events, each once, in order", compact == wanted,
          "\n  got:    %s\n  wanted: %s" % (compact, wanted))
    hw = next(e for e in mine if e["ev"] == "pcm_hw_params" and e["dev"] == 1)
    check("hw params: format, rate, channels, period",
          (hw["format"], hw["rate"], hw["channels"], hw["period"], hw["periods"]) == ("S16_LE", 16000, 2, 320, 4), hw)
    start = next(e for e in mine if e["ev"] == "pcm_start" and e["dev"] == 1)
    under = next(e for e in mine if e["ev"] == "pcm_underrun")
    check("the underrun is dated between the start and when it was seen",
          start["t"] < under["at"] <= under["t"], (start["t"], under))
    writes = [(e["reg"], e["values"]) for e in mine if e["ev"] == "i2c_write" and e["values"]]
    check("codec register writes: 0xB5 <- 0x0050, 0xB4 <- 0x1234", writes == [(0xB5, [0x50]), (0xB4, [0x1234])],
          writes)
    changed = next(e for e in mine if e["ev"] == "file_changed")
    check("the command file's new text",
          (changed["path"], changed["text"]) == ("/data/alsaucm_test", "rxgains gain 3\n"), changed)

    page = load_page(rep)
    check("lanes: program, each device used, mixer, codec, service", page.lanes == LANES, page.lanes)
    counts = {kind: len(page.marks_of(lane, kind)) for lane, kind in (
        ("pcmC0D1p", "pcm_hw_params"), ("pcmC0D1p", "pcm_start"), ("pcmC0D1p", "pcm_underrun"),
        ("pcmC0D1p", "pcm_close"), ("pcmC0D5p", "fault"), ("mixer", "ctl_write"), ("codec", "i2c_write"),
        ("codec", "node_open"), ("service", "system"), ("service", "file_changed"))}
    check("marks: hw params, two starts, an underrun and a close on pcmC0D1p, the fault on pcmC0D5p, five "
          "control writes, three register writes and two reads of the node, system() and the command file",
          counts == {"pcm_hw_params": 1, "pcm_start": 2, "pcm_underrun": 1, "pcm_close": 1, "fault": 1,
                     "ctl_write": 5, "i2c_write": 3, "node_open": 2, "system": 1, "file_changed": 1}, counts)
    hw_mark = " ".join(page.marks_of("pcmC0D1p", "pcm_hw_params"))
    check("the hw params mark tells format, rate, channels and period",
          all(w in hw_mark for w in ("S16_LE", "rate=16000", "channels=2", "period=320")), hw_mark)
    check("the mixer marks tell names and values",
          "DAC1 Playback Volume values=140 105" in " ".join(page.marks_of("mixer", "ctl_write")), page.marks["mixer"])
    check("the exit status", "exited with code 0" in page.exit_status, page.exit_status)

    for name, expect_clipped in (("pcmC0D1p", 8), ("pcmC0D2c", 0)):
        dev = page.devices.get("dev-" + name, {"channels": []})
        wav = os.path.join(rep, page.links.get("dev-" + name, "?"))
        check(name + ": the page links its WAV", os.path.isfile(wav), page.links)
        if not os.path.isfile(wav):
            continue
        (peak, rms, clipped, duration), per_channel = levels(wav)
        got = {k: float(dev.get(k, "nan")) for k in ("peak", "rms", "clipped", "duration")}
        check(name + ": peak, RMS, clipped samples and duration match the WAV",
              abs(got["peak"] - peak) < 0.01 and abs(got["rms"] - rms) < 0.01 and
              got["clipped"] == clipped == expect_clipped and abs(got["duration"] - duration) < 1e-6,
              (got, peak, rms, clipped, duration))
        if name == "pcmC0D1p":
            check(name + ": each channel's peak and RMS match the WAV",
                  len(dev["channels"]) == 2 and all(abs(a - c) < 0.01 and abs(b - d) < 0.01
                                                    for (a, b), (c, d) in zip(dev["channels"], per_channel)),
                  (dev["channels"], per_channel))
    check("a spectrogram per device, PNG inline (where built with FFTW and zlib); two waveforms",
          page.spectrograms == ["data:image/png;base64,"] * spectrograms and page.waveforms == 2,
          (page.spectrograms, page.waveforms))

    # `ka-board report` makes the same page again elsewhere, from the trace.
    again = os.path.join(work, "again")
    r = subprocess.run([board, "report", os.path.join(rep, "trace.jsonl"), again], capture_output=True, text=True)
    page2 = load_page(again)
    check("ka-board report: the same lanes and levels elsewhere, its WAV links leading to the files",
          r.returncode == 0 and page2.lanes == page.lanes and page2.devices == page.devices and
          len(page2.links) == 2 and all(os.path.isfile(os.path.join(again, h)) for h in page2.links.values()),
          (r.stderr, page2.links))

    # The program killed by SIGKILL in the middle of playing.
    killed = os.path.join(work, "killed")
    r = run_demo(killed, "--kill-during-play")
    check("a killed program: the launcher dies of the same signal", r.returncode == -signal.SIGKILL, r.returncode)
    events = read_trace(os.path.join(killed, "trace.jsonl"))
    check("a killed program: its exit is in the trace", events[-1]["ev"] == "exit" and events[-1].get("signal") == 9,
          events[-1:])
    page = load_page(killed)
    check("a killed program: the page says so, and shows the open stream",
          "killed by signal 9" in page.exit_status and len(page.marks_of("pcmC0D1p", "pcm_open")) == 1 and
          not page.marks_of("pcmC0D1p", "pcm_close"), (page.exit_status, page.marks.get("pcmC0D1p")))
    duration = levels(os.path.join(killed, "pcmC0D1p.wav"))[0][3]  # the report put the header right
    check("a killed program: the WAV holds what was played (half a second)", abs(duration - 0.5) < 1e-9, duration)

    # The launcher killed too: the trace is all there is; `ka-board report` makes the page.
    lost = os.path.join(work, "lost")
    os.makedirs(lost)
    trace = os.path.join(lost, "trace.jsonl")
    p = subprocess.Popen([board, "run", "--report", lost, "--", demo, "--hold"], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and '"pcm_start"' not in (open(trace).read() if os.path.exists(trace) else ""):
        time.sleep(0.01)
    os.killpg(p.pid, signal.SIGKILL)
    p.wait()
    with open(trace, "a") as f:
        f.write('{"t":1,"pid":')  # a line cut short
    check("a killed launcher: no page, a trace", not os.path.exists(os.path.join(lost, "index.html")))
    page_dir = os.path.join(work, "lost-page")
    r = subprocess.run([board, "report", trace, page_dir], capture_output=True, text=True)
    page = load_page(page_dir) if r.returncode == 0 else Page("")
    check("a killed launcher: ka-board report makes the page from the trace, with lanes up to the kill, the exit "
          "unknown, the cut line left out", {"pcmC0D1p", "mixer"} <= set(page.lanes) and
          "unknown" in page.exit_status and "1 unreadable lines left out" in page.text,
          (r.stderr, page.lanes, page.exit_status))
    r = subprocess.run([board, "report", os.path.join(work, "no-such-trace"), page_dir], capture_output=True, text=True)
    check("ka-board report of a missing trace fails and says why", r.returncode == 1 and "cannot read" in r.stderr,
          (r.returncode, r.stderr))


def browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("chromium is not installed (scripts/install-deps.sh installs it): browser checks skipped")
        sys.exit(77)
    rep = os.path.join(work, "rep")
    r = run_demo(rep)
    check("the demo runs under --report", r.returncode == 0, r.stderr[-2000:])

    def dom(path):
        """Chromium's DOM of a page, and the console lines of loading it."""
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
    console = dom(probe)[1]
    check("chromium: a console message of a page is seen", any("probe message" in line for line in console), console)
    text, console = dom(os.path.join(rep, "index.html"))
    check("chromium loads the page, with no console message", "</html>" in text and not console, console)
    page = Page(text)
    check("chromium's DOM: the lanes, the underrun mark, the spectrograms and waveforms",
          page.lanes == LANES and len(page.marks_of("pcmC0D1p", "pcm_underrun")) == 1 and
          page.spectrograms == ["data:image/png;base64,"] * spectrograms and page.waveforms == 2,
          (page.lanes, page.marks.get("pcmC0D1p"), page.spectrograms, page.waveforms))


core() if mode == "core" else browser()
print("%d checks failed" % len(failures) if failures else "all report checks passed")
sys.exit(1 if failures else 0)
