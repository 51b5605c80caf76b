#!/usr/bin/env python3
"""The run report of ka-board, end to end.

  test_report.py KA_BOARD REPORT_DEMO WORKDIR [core|browser] [SPECTROGRAMS]

core: report_demo runs under `ka-board run --report`; the trace holds each
event once, in order, with times; the page has the lanes and marks of what the
program did, and its levels match the WAV files (computed here); a program
killed by SIGKILL, and a launcher killed by SIGKILL, still leave a trace that
`ka-board report` turns into a page.

browser: Debian's chromium (headless) loads the page with no console message,
its DOM has the lanes and images, and it renders a screenshot of some size.
Skipped (77) when chromium is not installed.

SPECTROGRAMS: 0 when ka-board was built without FFTW or zlib (the page then
says that it has none). Both modes are skipped (77) when ka-board cannot run
here (another machine's binary without binfmt).
"""
import html.parser
import json
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import time
import wave
import zlib

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


def check(name, ok, detail=""):
    print(("ok: " if ok else "FAILED: ") + name + ("" if ok else "  " + str(detail)))
    if not ok:
        failures.append(name)


def run_demo(folder, *extra, demo_args=()):
    cmd = [board, "run", "--report", folder, "--fault", "pcm_open@5:0:1", "--capture", "tone:440:8000",
           *extra, "--", demo, *demo_args]
    return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=120)


def read_trace(path):
    events, bad = [], 0
    with open(path) as f:
        for line in f:
            try:
                events.append(json.loads(line))
            except ValueError:
                bad += 1
    return events, bad


class Page(html.parser.HTMLParser):
    """The parts of the report page the checks look at."""

    def __init__(self, text):
        super().__init__()
        self.lanes = []          # data-lane, in order
        self.marks = {}          # lane -> [(classes, title)]
        self.values = {}         # (section id, class) -> data-value
        self.links = {}          # section id -> href of the WAV
        self.channels = {}       # section id -> [(peak, rms)] per channel
        self.images = []         # (class, src) of <img>
        self.waveforms = 0
        self.exit_status = ""
        self._lane = None
        self._section = None
        self._mark = None
        self._in_title = False
        self._in_exit = False
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        cls = a.get("class", "")
        if tag == "g" and "lane" in cls.split():
            self._lane = a.get("data-lane")
            self.lanes.append(self._lane)
            self.marks[self._lane] = []
        elif tag == "g" and "mark" in cls.split():
            self._mark = [cls, ""]
        elif tag == "title" and self._mark is not None:
            self._in_title = True
        elif tag == "section" and cls == "device":
            self._section = a.get("id")
        elif tag == "dd" and "data-value" in a and self._section:
            self.values[(self._section, cls)] = a["data-value"]
        elif tag == "span" and cls == "channel" and self._section:
            self.channels.setdefault(self._section, []).append((float(a["data-peak"]), float(a["data-rms"])))
        elif tag == "a" and cls == "wav" and self._section:
            self.links[self._section] = a.get("href")
        elif tag == "img":
            self.images.append((cls, a.get("src", "")))
        elif tag == "svg" and cls == "waveform":
            self.waveforms += 1
        elif tag == "td" and a.get("id") == "exit-status":
            self._in_exit = True

    def handle_endtag(self, tag):
        if tag == "title":
            self._in_title = False
        elif tag == "g" and self._mark is not None:
            self.marks[self._lane].append(tuple(self._mark))
            self._mark = None
        elif tag == "g" and self._mark is None and self._lane is not None:
            self._lane = None
        elif tag == "section":
            self._section = None
        elif tag == "td":
            self._in_exit = False

    def handle_data(self, data):
        if self._in_title and self._mark is not None:
            self._mark[1] += data
        if self._in_exit:
            self.exit_status += data


def db(x):
    return 20 * math.log10(x) if x > 0 else float("-inf")


def peak_rms(data):
    return (db(max((abs(v) for v in data), default=0) / 32768),
            db(math.sqrt(sum(v * v for v in data) / len(data)) / 32768 if data else 0))


def levels(path, per_channel=False):
    """Peak and RMS in dBFS, clipped samples and duration of a 16-bit WAV, computed here
    (or the peak and RMS of each channel)."""
    with wave.open(path) as w:
        assert w.getsampwidth() == 2
        channels = w.getnchannels()
        n = w.getnframes() * channels
        data = struct.unpack("<%dh" % n, w.readframes(w.getnframes()))
        duration = w.getnframes() / w.getframerate()
    if per_channel:
        return [peak_rms(data[c::channels]) for c in range(channels)]
    peak, rms = peak_rms(data)
    clipped = sum(1 for v in data if v in (32767, -32768))
    return peak, rms, clipped, duration


def kinds_of(events, pid):
    return [e for e in events if e["pid"] == pid]


def core():
    rep = os.path.join(work, "rep")
    r = run_demo(rep)
    check("the demo runs under --report", r.returncode == 0, r.stderr[-2000:])
    events, bad = read_trace(os.path.join(rep, "trace.jsonl"))
    check("every trace line is one JSON object", bad == 0 and events, bad)
    check("the trace opens with the run and ends with the exit",
          events[0]["ev"] == "run" and events[-1]["ev"] == "exit" and events[-1].get("code") == 0,
          (events[0], events[-1]))
    check("every event has a time and a process",
          all(isinstance(e.get("t"), int) and isinstance(e.get("pid"), int) for e in events))
    check("the run line has the command and the board options",
          events[0]["program"] == [demo] and events[0]["options"].get("KA_BOARD_FAULTS") == "pcm_open@5:0:1", events[0])
    board_pids = sorted({e["pid"] for e in events if e["ev"] == "board_ready"})
    demo_pid = next(e["pid"] for e in events if e["ev"] == "pcm_open")
    for pid in board_pids:
        mine = kinds_of(events, pid)
        check("process %d: each event once, numbered in order" % pid,
              [e["seq"] for e in mine] == list(range(len(mine))), [e["seq"] for e in mine])
        check("process %d: times never go back" % pid,
              all(a["t"] <= b["t"] for a, b in zip(mine, mine[1:])))
    mine = kinds_of(events, demo_pid)

    def short(e):
        k = e["ev"]
        if k.startswith("pcm_") or k in ("fault", "wav_file"):
            return "%s %s%d" % (k, e.get("dir", "?"), e.get("dev", -1))
        if k == "ctl_write":
            return "ctl_write %s=%s" % (e["name"], e["values"])
        return k

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
    writes = [e for e in mine if e["ev"] == "i2c_write" and e["values"]]
    check("codec register writes: 0xB5 <- 0x0050, 0xB4 <- 0x1234",
          [(e["reg"], e["values"]) for e in writes] == [(0xB5, [0x50]), (0xB4, [0x1234])], writes)
    changed = next(e for e in mine if e["ev"] == "file_changed")
    check("the command file's new text", (changed["path"], changed["text"]) ==
          ("/data/alsaucm_test", "rxgains gain 3\n"), changed)

    with open(os.path.join(rep, "index.html")) as f:
        page = Page(f.read())
    check("lanes: program, each device used, mixer, codec, service",
          page.lanes == ["program", "pcmC0D1p", "pcmC0D2c", "pcmC0D5p", "mixer", "codec", "service"], page.lanes)

    def marks(lane, kind):
        return [m for m in page.marks.get(lane, []) if kind in m[0].split()]

    check("pcmC0D1p: hw params, two starts, one underrun, close",
          (len(marks("pcmC0D1p", "pcm_hw_params")), len(marks("pcmC0D1p", "pcm_start")),
           len(marks("pcmC0D1p", "pcm_underrun")), len(marks("pcmC0D1p", "pcm_close"))) == (1, 2, 1, 1),
          page.marks.get("pcmC0D1p"))
    check("the hw params mark tells format, rate, channels and period",
          all(w in marks("pcmC0D1p", "pcm_hw_params")[0][1] for w in ("S16_LE", "rate=16000", "channels=2",
                                                                     "period=320")),
          marks("pcmC0D1p", "pcm_hw_params"))
    check("pcmC0D5p: the injected fault where it fired", len(marks("pcmC0D5p", "fault")) == 1, page.marks.get("pcmC0D5p"))
    check("mixer lane: five control writes with names and values",
          len(marks("mixer", "ctl_write")) == 5 and "DAC1 Playback Volume values=140 105" in
          " ".join(m[1] for m in marks("mixer", "ctl_write")), page.marks.get("mixer"))
    check("codec lane: register writes and the sysfs node",
          len(marks("codec", "i2c_write")) == 3 and len(marks("codec", "node_open")) == 2, page.marks.get("codec"))
    check("service lane: the system() command and the command file",
          len(marks("service", "system")) == 1 and len(marks("service", "file_changed")) == 1, page.marks.get("service"))
    check("the exit status", "exited with code 0" in page.exit_status, page.exit_status)

    for name, expect_clipped in (("pcmC0D1p", 8), ("pcmC0D2c", 0)):
        sec = "dev-" + name
        wav = os.path.join(rep, page.links.get(sec, "?"))
        check(name + ": the page links its WAV", os.path.exists(wav), page.links)
        if not os.path.exists(wav):
            continue
        peak, rms, clipped, duration = levels(wav)
        got = {k: float(page.values.get((sec, k), "nan")) for k in ("peak", "rms", "clipped", "duration")}
        check(name + ": peak matches the WAV", abs(got["peak"] - peak) < 0.01, (got, peak))
        check(name + ": RMS matches the WAV", abs(got["rms"] - rms) < 0.01, (got, rms))
        check(name + ": clipped samples match the WAV", got["clipped"] == clipped == expect_clipped, (got, clipped))
        check(name + ": duration matches the WAV", abs(got["duration"] - duration) < 1e-6, (got, duration))
        if name == "pcmC0D1p":
            want = levels(wav, per_channel=True)
            shown = page.channels.get(sec, [])
            check(name + ": each channel's peak and RMS match the WAV",
                  len(shown) == 2 and all(abs(a - c) < 0.01 and abs(b - d) < 0.01
                                          for (a, b), (c, d) in zip(shown, want)), (shown, want))
    pngs = [s for c, s in page.images if c == "spectrogram"]
    check("a spectrogram per device, PNG inline (where built with FFTW and zlib)",
          len(pngs) == spectrograms and all(s.startswith("data:image/png;base64,") for s in pngs),
          [s[:40] for s in pngs])
    check("two waveforms", page.waveforms == 2, page.waveforms)

    # `ka-board report` makes the same page again elsewhere, from the trace.
    again = os.path.join(work, "again")
    r = subprocess.run([board, "report", os.path.join(rep, "trace.jsonl"), again], capture_output=True, text=True)
    with open(os.path.join(again, "index.html")) as f:
        page2 = Page(f.read())
    check("ka-board report: the same lanes and levels elsewhere",
          r.returncode == 0 and page2.lanes == page.lanes and page2.values == page.values, r.stderr)
    check("ka-board report: its WAV links lead to the files",
          all(os.path.exists(os.path.join(again, h)) for h in page2.links.values()) and len(page2.links) == 2,
          page2.links)

    # The program killed by SIGKILL in the middle of playing.
    killed = os.path.join(work, "killed")
    r = run_demo(killed, demo_args=("--kill-during-play",))
    check("a killed program: the launcher dies of the same signal", r.returncode == -signal.SIGKILL, r.returncode)
    events, bad = read_trace(os.path.join(killed, "trace.jsonl"))
    check("a killed program: its exit is in the trace",
          events and events[-1]["ev"] == "exit" and events[-1].get("signal") == 9, events[-1:])
    with open(os.path.join(killed, "index.html")) as f:
        page = Page(f.read())
    check("a killed program: the page says so, and shows the open stream",
          "killed by signal 9" in page.exit_status and len(marks("pcmC0D1p", "pcm_open")) == 1 and
          not marks("pcmC0D1p", "pcm_close"), (page.exit_status, page.marks.get("pcmC0D1p")))
    wav = os.path.join(killed, "pcmC0D1p.wav")
    peak, rms, clipped, duration = levels(wav)  # the report put the header right
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
    ok = r.returncode == 0 and os.path.exists(os.path.join(page_dir, "index.html"))
    check("a killed launcher: ka-board report makes the page from the trace", ok, r.stderr)
    if ok:
        with open(os.path.join(page_dir, "index.html")) as f:
            text = f.read()
        page = Page(text)
        check("a killed launcher: lanes up to the kill, exit unknown, the cut line left out",
              "pcmC0D1p" in page.lanes and "mixer" in page.lanes and "unknown" in page.exit_status and
              "1 unreadable lines left out" in text, (page.lanes, page.exit_status))
    r = subprocess.run([board, "report", os.path.join(work, "no-such-trace"), page_dir], capture_output=True, text=True)
    check("ka-board report of a missing trace fails and says why",
          r.returncode == 1 and "cannot read" in r.stderr, (r.returncode, r.stderr))


def png_pixels(path):
    """Width, height and the set of distinct pixels of an 8-bit RGB(A) PNG."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6)
            bpp = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    raw = zlib.decompress(idat)
    stride = width * bpp
    prev = bytearray(stride)
    colours = set()
    for y in range(height):
        ftype, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if ftype == 1:
                line[i] = (line[i] + a) & 255
            elif ftype == 2:
                line[i] = (line[i] + b) & 255
            elif ftype == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif ftype == 4:
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        if y % 4 == 0:
            colours.update(bytes(line[i:i + 3]) for i in range(0, stride, bpp * 2))
        prev = line
    return width, height, colours


def browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("chromium is not installed (scripts/install-deps.sh installs it): browser checks skipped")
        sys.exit(77)
    rep = os.path.join(work, "rep")
    r = run_demo(rep)
    check("the demo runs under --report", r.returncode == 0, r.stderr[-2000:])
    page = os.path.join(rep, "index.html")

    def chrome(url, *args):
        profile = os.path.join(work, "profile-%d" % len(os.listdir(work)))
        cmd = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync",
               "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0", *args, url]
        return subprocess.run(cmd, capture_output=True, text=True, timeout=300)

    def console(stderr):
        return [l for l in stderr.splitlines() if ":CONSOLE" in l or "Uncaught" in l]

    # The console check itself: a page that logs an error is caught.
    probe = os.path.join(work, "probe.html")
    with open(probe, "w") as f:
        f.write("<!DOCTYPE html><html><body><script>console.error('probe message')</script></body></html>")
    r = chrome("file://" + probe, "--dump-dom")
    check("chromium: a console message of a page is seen", any("probe message" in l for l in console(r.stderr)),
          r.stderr[-2000:])

    r = chrome("file://" + page, "--dump-dom")
    check("chromium loads the page", r.returncode == 0 and "</html>" in r.stdout, r.stderr[-2000:])
    check("chromium: no console message", not console(r.stderr), console(r.stderr))
    dom = Page(r.stdout)
    check("chromium's DOM: the lanes",
          dom.lanes == ["program", "pcmC0D1p", "pcmC0D2c", "pcmC0D5p", "mixer", "codec", "service"], dom.lanes)
    check("chromium's DOM: the underrun mark",
          any("pcm_underrun" in m[0].split() for m in dom.marks.get("pcmC0D1p", [])))
    check("chromium's DOM: spectrograms and waveforms",
          len([s for c, s in dom.images if c == "spectrogram"]) == spectrograms and dom.waveforms == 2,
          (len(dom.images), dom.waveforms))

    shot = os.path.join(work, "shot.png")
    r = chrome("file://" + page, "--window-size=1500,2000", "--screenshot=" + shot)
    check("chromium: a screenshot", r.returncode == 0 and os.path.exists(shot), r.stderr[-2000:])
    if os.path.exists(shot):
        w, h, colours = png_pixels(shot)
        check("the screenshot is the window's size with a drawn page (many colours)",
              (w, h) == (1500, 2000) and len(colours) > 100 and os.path.getsize(shot) > 50000,
              (w, h, len(colours), os.path.getsize(shot)))


core() if mode == "core" else browser()
print("%d checks failed" % len(failures) if failures else "all report checks passed")
sys.exit(1 if failures else 0)
