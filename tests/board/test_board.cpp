// SPDX-License-Identifier: MIT
// The emulated module as the kernel interface shows it, and the platform
// stand-ins over it. The board: the PCM stream state rules and parameter
// negotiation; pacing, under- and overruns and the event trace; the codec on
// I2C, the sysfs codec node, the command files and system(); which descriptors
// are emulated at all, from many threads at once. libalsa_intf: device names,
// refused opens, an unusable handle, transfers and xrun recovery, the capture
// tone; the mixer's listing, lookup, conversion, range and count checks, and
// the control device's lookup by name. liblog's logger hook.
#include <alsa_audio.h>
#include <android/log.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ka_test.h"

namespace {

int open_pcm(int dev, int dir, int extra_flags = 0)
{
    return open(("/dev/snd/pcmC0D" + std::to_string(dev) + (dir ? "c" : "p")).c_str(), O_RDWR | extra_flags);
}

// Result of an ioctl as 0 or the errno value.
int io(int fd, unsigned long req, void *arg = nullptr)
{
    return ioctl(fd, req, arg) < 0 ? errno : 0;
}

snd_interval *iv(snd_pcm_hw_params &p, int n)
{
    return &p.intervals[n - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
}

// What the audio library asks for: 16 bits per sample counted whatever the
// format, a period of at least 10 us.
snd_pcm_hw_params library_params(unsigned format, unsigned channels, unsigned rate)
{
    snd_pcm_hw_params p;
    param_init(&p);
    param_set_mask(&p, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    param_set_mask(&p, SNDRV_PCM_HW_PARAM_FORMAT, format);
    param_set_min(&p, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 10);
    param_set_int(&p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, 16);
    param_set_int(&p, SNDRV_PCM_HW_PARAM_FRAME_BITS, channels * 16);
    param_set_int(&p, SNDRV_PCM_HW_PARAM_CHANNELS, channels);
    param_set_int(&p, SNDRV_PCM_HW_PARAM_RATE, rate);
    return p;
}

struct pcm *open_stream(const char *name, unsigned flags = PCM_OUT)
{
    return pcm_open(flags, const_cast<char *>(name));
}

// Negotiates the way the audio library does; accepted blocks become the record's.
int negotiate(struct pcm *p, unsigned channels, unsigned rate)
{
    auto *hw = static_cast<snd_pcm_hw_params *>(malloc(sizeof(snd_pcm_hw_params)));
    *hw = library_params(SNDRV_PCM_FORMAT_S16_LE, channels, rate);
    param_set_max(hw, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, ~0u);  // the sample size left open
    param_set_hw_refine(p, hw);
    if (param_set_hw_params(p, hw) != 0) return free(hw), -1;
    auto *sw = static_cast<snd_pcm_sw_params *>(calloc(1, sizeof(snd_pcm_sw_params)));
    sw->period_step = 1;
    sw->avail_min = sw->start_threshold = unsigned(pcm_period_size(hw)) / (channels * 2);
    sw->stop_threshold = unsigned(pcm_buffer_size(hw)) / (channels * 2);
    if (param_set_sw_params(p, sw) != 0) return free(sw), -1;
    return pcm_prepare(p);
}

// WRITEI / READI of `frames` frames; 0 or an errno, frames moved in *done.
int xfer(int fd, bool write, void *buf, unsigned long frames, long *done = nullptr)
{
    snd_xferi x{0, buf, frames};
    int e = io(fd, write ? SNDRV_PCM_IOCTL_WRITEI_FRAMES : SNDRV_PCM_IOCTL_READI_FRAMES, &x);
    if (done) *done = e ? -1 : long(x.result);
    return e;
}

using Board = ka_test::BoardTest;
using ka_test::pcm_info;

std::string read_all(const char *path)
{
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST_F(Board, PcmStateRulesAndNegotiation)
{
    int fd = open_pcm(0, KB_PLAYBACK);
    snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S16_LE, 1, 8000);
    snd_pcm_sw_params sw{};
    sw.avail_min = 160;
    sw.start_threshold = 320;
    sw.stop_threshold = 640;
    short frames[320] = {};
    snd_xferi few{0, frames, 10}, period{0, frames, 160};
    // Nothing but the hardware setup before it; queued frames that reach the
    // start threshold start the stream.
    enum { OPEN = SNDRV_PCM_STATE_OPEN, SETUP = SNDRV_PCM_STATE_SETUP, PREPARED = SNDRV_PCM_STATE_PREPARED };
    const int RUNNING = SNDRV_PCM_STATE_RUNNING;
    struct Step {
        unsigned long req;
        void *arg;
        int err, state;
    };
    auto run = [fd](std::initializer_list<Step> steps) {
        int i = 0;
        for (const Step &s : steps) {
            EXPECT_EQ(s.err, io(fd, s.req, s.arg)) << "step " << i;
            EXPECT_EQ(s.state, kb_pcm_state(0, KB_PLAYBACK)) << "step " << i++;
        }
    };
    run({
        {SNDRV_PCM_IOCTL_SW_PARAMS, &sw, EBADFD, OPEN},
        {SNDRV_PCM_IOCTL_PREPARE, nullptr, EBADFD, OPEN},
        {SNDRV_PCM_IOCTL_START, nullptr, EBADFD, OPEN},
        {SNDRV_PCM_IOCTL_WRITEI_FRAMES, &few, EBADFD, OPEN},
        {SNDRV_PCM_IOCTL_HW_PARAMS, &p, 0, SETUP},
        {SNDRV_PCM_IOCTL_WRITEI_FRAMES, &few, EBADFD, SETUP},  // set up, not prepared
        {SNDRV_PCM_IOCTL_READI_FRAMES, &few, EINVAL, SETUP},   // a playback node doesn't capture
    });
    snd_pcm_sw_params fill = sw;  // a silence fill larger than its threshold
    fill.silence_size = 100;
    run({
        {SNDRV_PCM_IOCTL_SW_PARAMS, &fill, EINVAL, SETUP},
        {SNDRV_PCM_IOCTL_SW_PARAMS, &sw, 0, SETUP},
        {SNDRV_PCM_IOCTL_PREPARE, nullptr, 0, PREPARED},
        {SNDRV_PCM_IOCTL_WRITEI_FRAMES, &period, 0, PREPARED},
        {SNDRV_PCM_IOCTL_WRITEI_FRAMES, &period, 0, RUNNING},
        {SNDRV_PCM_IOCTL_HW_PARAMS, &p, EBADFD, RUNNING},
        {SNDRV_PCM_IOCTL_PREPARE, nullptr, EBUSY, RUNNING},
        {SNDRV_PCM_IOCTL_START, nullptr, EBADFD, RUNNING},
        {SNDRV_PCM_IOCTL_DROP, nullptr, 0, SETUP},
        {SNDRV_PCM_IOCTL_WRITEI_FRAMES, &few, EBADFD, SETUP},
        // An explicit START with nothing queued underruns at once (EPIPE)
        // unless the stop threshold is the boundary; then it runs (hostless
        // use), and DRAIN ends it.
        {SNDRV_PCM_IOCTL_PREPARE, nullptr, 0, PREPARED},
        {SNDRV_PCM_IOCTL_START, nullptr, EPIPE, PREPARED},
    });
    snd_pcm_sw_params endless = sw;
    endless.stop_threshold = sw.boundary;
    run({
        {SNDRV_PCM_IOCTL_SW_PARAMS, &endless, 0, PREPARED},
        {SNDRV_PCM_IOCTL_START, nullptr, 0, RUNNING},
        {SNDRV_PCM_IOCTL_DRAIN, nullptr, 0, SETUP},
    });
    run({
        {SNDRV_PCM_IOCTL_HW_FREE, nullptr, 0, OPEN},
        {SNDRV_PCM_IOCTL_PREPARE, nullptr, EBADFD, OPEN},
    });

    // Set up again, as the card can (sample bits and frame_bits 0 left open),
    // or refused (err), which leaves the last setup recorded; so are sample
    // and frame sizes other than the format's (16-bit counts for 8- or 24-bit
    // samples, as the library gives them).
    const unsigned s16 = SNDRV_PCM_FORMAT_S16_LE;
    const struct {
        unsigned format, channels, rate, frame_bits, frame_bytes, period_frames;
        int err;
    } setups[] = {
        {s16, 1, 8000, 16, 2, 160, 0},
        {SNDRV_PCM_FORMAT_S8, 8, 48000, 0, 8, 960, 0},
        {SNDRV_PCM_FORMAT_S24_LE, 6, 16000, 192, 24, 320, 0},  // 32 bits a sample
        {SNDRV_PCM_FORMAT_S24_LE, 4, 16000, 0, 16, 320, 0},
        {s16, 2, 11025, 0, 4, 221, 0},  // 20 ms rounded up to whole frames
        {s16, 3, 8000, 0, 0, 0, EINVAL},
        {SNDRV_PCM_FORMAT_S8, 1, 8000, 0, 0, 0, EINVAL},
        {s16, 2, 96000, 0, 0, 0, EINVAL},
    };
    for (const auto &c : setups) {
        p = library_params(c.format, c.channels, c.rate);
        if (!c.err) {
            iv(p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS)->min = 0;
            iv(p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS)->max = ~0u;
            iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->min = c.frame_bits;
            iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->max = c.frame_bits ? c.frame_bits : ~0u;
        }
        ASSERT_EQ(c.err, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p))
            << c.format << "/" << c.channels << "/" << c.rate;
        if (c.err) continue;
        EXPECT_EQ(c.period_frames, iv(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->min);  // 20 ms
        EXPECT_EQ(c.frame_bytes * 8, iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->min);
        const kb_pcm_stats n = pcm_info(0);
        EXPECT_TRUE(n.format == c.format && n.channels == c.channels && n.rate == c.rate) << c.channels;
        EXPECT_EQ(4 * c.period_frames * c.frame_bytes, n.buffer_bytes);
    }
    EXPECT_EQ(6u, pcm_info(0).hw_params);

    // The device's geometry, chosen as the kernel does: the smallest period
    // the client allows at or above the device's, then the largest buffer of
    // whole periods at or below the device's.
    const struct {
        double period_ms, buffer_ms;
        unsigned rate, min_period_us, period, buffer;
    } geometries[] = {
        {4, 4096, 8000, 10, 32, 32768},  // a real kernel's loopback card
        {2.5, 30, 11025, 10, 28, 308},   // 27.56 frames up, 330.75 down to whole periods
        {20, 10, 8000, 10, 160, 160},    // at least one period
        {0, 0, 8000, 25000, 200, 600},   // the client's lower bound above the device's
    };
    for (const auto &g : geometries) {
        kb_set_geometry(g.period_ms, g.buffer_ms);
        p = library_params(s16, 1, g.rate);
        iv(p, SNDRV_PCM_HW_PARAM_PERIOD_TIME)->min = g.min_period_us;
        ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p)) << g.period_ms;
        EXPECT_EQ(g.period, iv(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->min) << g.period_ms;
        EXPECT_EQ(g.buffer, iv(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE)->min) << g.period_ms;
    }
    close(fd);
    EXPECT_EQ(-1, kb_pcm_state(0, KB_PLAYBACK));
}

// A playback stream nobody feeds underruns, a capture stream nobody reads in
// time overruns; both refuse transfers until the client prepares again. With
// the clock all but stopped, a non-blocking write stops at the buffer's size
// and a non-blocking read finds nothing. The events of it all: what
// kb_events() returns is what the trace file holds, line for line, in the
// order it happened, with the log's text.
TEST_F(Board, XrunsNeedAPrepareAndReachTheTraceInOrder)
{
    char trace[] = "/tmp/ka-board-trace.XXXXXX";
    int tfd = mkstemp(trace);
    ASSERT_GE(tfd, 0);
    close(tfd);
    kb_set_trace(trace);
    struct pcm *po = open_stream("hw:0,14"), *pi = open_stream("hw:0,14", PCM_IN);
    ASSERT_EQ(0, negotiate(po, 2, 8000)) << po->error;
    const int out = po->fd, in = pi->fd;
    const unsigned period = unsigned(po->sw_p->avail_min), buffer = unsigned(po->sw_p->stop_threshold);
    std::vector<int16_t> buf(2 * (buffer + period));
    ASSERT_EQ(0, xfer(out, true, buf.data(), period));  // starts; nobody feeds it
    kb_set_speed(1000);
    ASSERT_EQ(0, kb_pcm_wait_underruns(14, KB_PLAYBACK, 1, 60000));
    EXPECT_EQ(SNDRV_PCM_STATE_XRUN, kb_pcm_state(14, KB_PLAYBACK));
    // A reader waits on a clock all but stopped, which then runs past the
    // buffer's end: it wakes to the overrun.
    kb_set_speed(1e-9);
    ASSERT_EQ(0, negotiate(pi, 2, 8000)) << pi->error;
    std::thread reader([&] { EXPECT_EQ(EPIPE, xfer(in, false, buf.data(), buffer)); });
    while (kb_pcm_waiters(14, KB_CAPTURE) == 0) std::this_thread::yield();
    kb_set_speed(1e12);
    reader.join();
    kb_set_speed(1e-9);
    for (int fd : {out, in}) {
        fcntl(fd, F_SETFL, O_NONBLOCK);
        EXPECT_EQ(EPIPE, xfer(fd, fd == out, buf.data(), period));
        ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
        long done = 0;
        EXPECT_EQ(fd == out ? 0 : EAGAIN, xfer(fd, fd == out, buf.data(), buffer + period, &done));
        EXPECT_EQ(fd == out ? long(buffer) : -1, done);
        EXPECT_EQ(EAGAIN, xfer(fd, fd == out, buf.data(), period));
        pcm_close(fd == out ? po : pi);
    }
    kb_fault(KB_FAULT_PCM_OPEN, 9, 0, 1, EBUSY);
    EXPECT_EQ(nullptr, open_stream("hw:0,9", PCM_IN));
    EXPECT_EQ(0, system("true"));
    kb_set_trace(nullptr);

    std::vector<kb_event> ev(kb_events(nullptr, 0) + 8);
    ev.resize(kb_events(ev.data(), ev.size()));
    std::vector<std::string> kinds;
    for (const auto &e : ev) kinds.push_back(e.kind);
    EXPECT_EQ(
        (std::vector<std::string>{
            "pcm_open",     "pcm_open",      "pcm_hw_params", "pcm_sw_params", "pcm_prepare", "pcm_start",
            "pcm_underrun", "pcm_hw_params", "pcm_sw_params", "pcm_prepare",   "pcm_start",   "pcm_overrun",
            "pcm_prepare",  "pcm_start",     "pcm_close",     "pcm_prepare",   "pcm_start",   "pcm_close",
            "fault",        "system",        "system_done"}),
        kinds);
    std::ifstream lines(trace);
    std::string header;  // the format version, before the first event
    EXPECT_TRUE(std::getline(lines, header) && header.find(",\"ev\":\"trace\",\"format\":1}") != header.npos);
    size_t i = 0;
    for (std::string l; std::getline(lines, l) && i < ev.size(); ++i) {
        EXPECT_EQ(l, ev[i].json);
        EXPECT_TRUE(i == 0 || ev[i - 1].seq + 1 == ev[i].seq) << i;
        EXPECT_EQ(0u, l.find("{\"t\":" + std::to_string(ev[i].time_ns) + ",")) << l;
    }
    unlink(trace);
    ASSERT_EQ(21u, i);
    EXPECT_EQ(0u, std::string(ev[0].text).find("open pcmC0D14p fd=")) << ev[0].text;
    EXPECT_TRUE(ev[0].device == 14 && ev[0].dir == KB_PLAYBACK && ev[1].dir == KB_CAPTURE);
}

// A mono 8 kHz stream set up as the library sets it up: only a lower bound
// on the period time, the start threshold a period, the stop threshold two
// buffers (the buffer's size in bytes, read as frames).
int library_stream(int dev, unsigned *buffer)
{
    int fd = open_pcm(dev, KB_PLAYBACK);
    snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S16_LE, 1, 8000);
    snd_pcm_sw_params sw{};
    if (io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p)) return -1;
    *buffer = iv(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE)->min;
    sw.avail_min = sw.start_threshold = iv(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->min;
    sw.stop_threshold = 2 * *buffer;
    if (io(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw) || io(fd, SNDRV_PCM_IOCTL_PREPARE)) return -1;
    return fd;
}

// A device's played-out (or received) samples; a WAV file's.
std::vector<int16_t> samples(int dev, bool out)
{
    auto get = out ? kb_pcm_played_out : kb_pcm_played;
    std::vector<int16_t> v(get(dev, 0, nullptr, 0) / 2);
    get(dev, 0, v.data(), v.size() * 2);
    return v;
}
std::vector<int16_t> wav_samples(const std::string &path)
{
    std::string s = read_all(path.c_str());
    std::vector<int16_t> v(s.size() > 44 ? (s.size() - 44) / 2 : 0);
    memcpy(v.data(), s.data() + 44, v.size() * 2);
    return v;
}

// The last event of a kind on a playback device, and a number of its trace line.
std::string last_event(const char *kind, int dev)
{
    std::vector<kb_event> ev(kb_events(nullptr, 0));
    ev.resize(kb_events(ev.data(), ev.size()));
    for (auto e = ev.rbegin(); e != ev.rend(); ++e)
        if (e->device == dev && std::string(e->kind) == kind) return std::string(e->json) + "\n" + e->text;
    return "";
}
long long field(const std::string &event, const std::string &key)
{
    size_t at = event.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : atoll(event.c_str() + at + key.size() + 3);
}

// What a listener hears: the frames the hardware pointer passed. At speed 0
// everything written is played out as written (and the received file, the
// same, is not kept). A stream written full and then dropped or closed at
// once, on a clock all but stopped, drops exactly what was queued: played
// out is a prefix of received, and both add up to it. A writer that stops
// feeding: the pointer plays its data, then the buffer's old contents until
// the stop threshold declares the underrun, a buffer later; then silence
// (at most a minute of it) until the stream starts again.
TEST_F(Board, PlayedOutIsWhatThePointerPassed)
{
    const std::string dir = ka_test::temp_dir() + "/played-out";
    mkdir(dir.c_str(), 0755);
    kb_set_output_dir(dir.c_str());
    kb_set_geometry(4, 16);
    std::vector<int16_t> data(1024);
    for (size_t f = 0; f < data.size(); ++f) data[f] = f % 4 ? int16_t(f + 1) : 0;
    auto part = [&data](size_t from, size_t to) {
        return std::vector<int16_t>(data.begin() + long(from), data.begin() + long(to));
    };
    auto wav = [&dir](int dev, const char *what) {
        return wav_samples(dir + "/pcmC0D" + std::to_string(dev) + "p" + what + ".wav");
    };
    unsigned buffer = 0;

    int fd = library_stream(0, &buffer);
    ASSERT_EQ(128u, buffer);  // period 32 frames
    ASSERT_EQ(0, xfer(fd, true, data.data(), 300));
    close(fd);
    EXPECT_EQ(part(0, 300), samples(0, true));
    EXPECT_EQ(part(0, 300), samples(0, false));
    EXPECT_EQ(part(0, 300), wav(0, ""));
    EXPECT_NE(0, access((dir + "/pcmC0D0p.received.wav").c_str(), F_OK));
    kb_pcm_stats st = pcm_info(0);
    EXPECT_EQ((std::vector<uint64_t>{300, 0, 0, 0}),
              (std::vector<uint64_t>{st.out_frames, st.dropped_frames, st.replayed_frames, st.gap_frames}));

    const long long cut = std::count_if(data.begin() + 100, data.begin() + 228, [](int16_t v) { return v; });
    for (int dev : {1, 2}) {  // 1: DROP, then close; 2: close
        kb_set_speed(0);
        fd = library_stream(dev, &buffer);
        ASSERT_EQ(0, xfer(fd, true, data.data(), 100));
        kb_set_speed(1e-9);
        ASSERT_EQ(0, xfer(fd, true, data.data() + 100, buffer));
        EXPECT_EQ(0, dev == 1 ? io(fd, SNDRV_PCM_IOCTL_DROP) : 0);
        close(fd);
        std::string stop = last_event(dev == 1 ? "pcm_drop" : "pcm_close", dev);
        EXPECT_EQ((std::vector<long long>{100, 128, cut, 100}),
                  (std::vector<long long>{field(stop, "played"), field(stop, "dropped"), field(stop, "cut"),
                                          field(stop, "out")}))
            << stop;
        EXPECT_EQ(dev == 1 ? 0 : 128, field(last_event("pcm_close", dev), "dropped"));
        EXPECT_EQ(dev == 2, stop.find("dropped 128 frames") != std::string::npos) << stop;
        EXPECT_EQ(128u, pcm_info(dev).dropped_frames);
        EXPECT_EQ(part(0, 100), samples(dev, true));
        EXPECT_EQ(part(0, 228), samples(dev, false));
        EXPECT_EQ(part(0, 100), wav(dev, ""));
        EXPECT_EQ(part(0, 228), wav(dev, ".received"));
    }

    kb_set_speed(0);
    fd = library_stream(3, &buffer);
    ASSERT_EQ(0, xfer(fd, true, data.data(), 2 * buffer));
    kb_set_speed(1000);
    ASSERT_EQ(0, kb_pcm_wait_underruns(3, KB_PLAYBACK, 1, 60000));
    kb_set_speed(1e12);  // a long stop
    kb_set_speed(0);
    const std::string underrun = last_event("pcm_underrun", 3);
    EXPECT_TRUE(field(underrun, "out") == 384 && field(underrun, "replayed") == 128) << underrun;
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    ASSERT_EQ(0, xfer(fd, true, data.data() + 300, 100));
    close(fd);
    const uint64_t minute = 60 * 8000;
    EXPECT_EQ(384 + minute, uint64_t(field(last_event("pcm_start", 3), "out")));
    std::vector<int16_t> heard = part(0, 256);
    for (int16_t v : part(128, 256)) heard.push_back(v);
    heard.resize(heard.size() + minute);
    for (int16_t v : part(300, 400)) heard.push_back(v);
    EXPECT_TRUE(heard == samples(3, true));
    st = pcm_info(3);
    EXPECT_EQ((std::vector<uint64_t>{heard.size(), 0, 128, minute}),
              (std::vector<uint64_t>{st.out_frames, st.dropped_frames, st.replayed_frames, st.gap_frames}));
}

// The codec on I2C (its register reads and writes are the DRC/AGC tests'
// business; here what they don't reach: bus settings, a write of several
// registers, a chip that doesn't answer), the sysfs codec node, the command
// files and system().
TEST_F(Board, CodecI2cNodeCommandFilesAndSystem)
{
    auto rdwr = [](int fd, std::vector<i2c_msg> msgs) {
        i2c_rdwr_ioctl_data d{msgs.data(), static_cast<__u32>(msgs.size())};
        return ioctl(fd, I2C_RDWR, &d);
    };
    int fd = open("/dev/i2c-2", O_RDWR);
    EXPECT_TRUE(ioctl(fd, I2C_TIMEOUT, 1) == 0 && ioctl(fd, I2C_RETRIES, 2) == 0);
    EXPECT_TRUE(kb_i2c_timeout(2) == 1 && kb_i2c_retries(2) == 2 && kb_i2c_timeout(3) == -1);
    // Address, high, low; two registers in one message go in turn.
    __u8 reg = 0xb5, w[5] = {0xb5, 0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(1, rdwr(fd, {{0x1b, 0, 5, w}}));
    EXPECT_TRUE(kb_i2c_get_reg(2, 0x1b, 0xb5) == 0x1234 && kb_i2c_get_reg(2, 0x1b, 0xb6) == 0x5678);
    // Nobody answers at another address: the whole transfer fails.
    w[1] = 0;
    EXPECT_TRUE(rdwr(fd, {{0x1b, 0, 3, w}, {0x20, 0, 1, &reg}}) == -1 && errno == ENXIO);
    EXPECT_EQ(0x1234, kb_i2c_get_reg(2, 0x1b, 0xb5));
    close(fd);

    const char *node = "/sys/devices/soc:sound/codec_name";
    const char *data = "/data/alsaucm_test", *run = "/run/alsaucm_test";
    const bool machine_had = syscall(SYS_faccessat, AT_FDCWD, data, F_OK) == 0;  // past the board
    EXPECT_EQ("alc5616-codec.2-001b\n", read_all(node));
    kb_set_codec_node(nullptr);
    struct stat st;
    EXPECT_EQ(-1, stat(node, &st));
    // Both command files are there and empty; an absent one is absent to
    // every kind of look-up.
    char buf[64];
    for (const char *f : {data, run}) EXPECT_TRUE(stat(f, &st) == 0 && st.st_size == 0) << f;
    kb_set_file_present(data, 0);
    EXPECT_TRUE(access(data, F_OK) == -1 && stat(data, &st) == -1 && fopen(data, "r") == nullptr);

    // system() is recorded and runs with the board's copies.
    EXPECT_EQ(0, system("echo txvoices 1 3 0 > /run/alsaucm_test"));
    EXPECT_EQ(0, system("echo rxgains gain 5 > /data/alsaucm_test"));  // creates it
    ASSERT_EQ(2u, kb_system_count());
    char cmd[128];
    ASSERT_EQ(0, kb_system_command(1, cmd, sizeof cmd));
    EXPECT_STREQ("echo rxgains gain 5 > /data/alsaucm_test", cmd);
    EXPECT_EQ(15, kb_file_contents(run, buf, sizeof buf));
    EXPECT_STREQ("txvoices 1 3 0\n", buf);
    EXPECT_EQ("rxgains gain 5\n", read_all(data));
    // A file the program writes itself lands there too.
    FILE *f = fopen(run, "a");
    fputs("more\n", f);
    fclose(f);
    EXPECT_EQ("txvoices 1 3 0\nmore\n", read_all(run));
    // The machine's own file was never touched.
    EXPECT_EQ(machine_had, syscall(SYS_faccessat, AT_FDCWD, data, F_OK) == 0);
    kb_reset();
    EXPECT_EQ(0u, kb_system_count());
    EXPECT_TRUE(kb_file_contents(run, buf, sizeof buf) == 0 && kb_file_contents(data, buf, sizeof buf) == 0);
    EXPECT_EQ("alc5616-codec.2-001b\n", read_all(node));
}

// A fork handler registered before the board's (so run after it, while the
// board holds its lock for the fork) that closes a plain descriptor: the
// interposed close() must not need the board lock for it, as a runtime's own
// close() from inside the board (a sanitizer reporting) must not.
std::atomic<int> g_close_at_fork{-1};
void close_at_fork()
{
    int fd = g_close_at_fork.exchange(-1);
    if (fd >= 0) close(fd);
}
const bool g_fork_handler = pthread_atfork(close_at_fork, nullptr, nullptr) == 0;

// Descriptors of this process right now.
int open_descriptors()
{
    int n = 0;
    for (int fd = 0; fd < 20000; ++fd) n += fcntl(fd, F_GETFD) != -1;
    return n;
}

// Only card 0's nodes are emulated, each descriptor counted; faults pick their
// device and call. close() and ioctl() are asked of every descriptor of the
// process while others open and close emulated nodes on other threads, and
// descriptor numbers pass between emulated and plain ones: each call reaches
// the right side, and the table ends empty. Nodes past the fast table (a
// process with thousands of descriptors) are found too.
TEST_F(Board, DescriptorTable)
{
    const int before = open_descriptors();
    EXPECT_TRUE(open("/dev/snd/pcmC0D32p", O_RDWR) == -1 && errno == ENOENT);
    EXPECT_TRUE(access("/dev/snd/pcmC0D99c", F_OK) == -1 && access("/dev/snd/pcmC0D31c", F_OK) == 0);
    kb_fault(KB_FAULT_PCM_OPEN, 9, 1, 1, ENODEV);  // the second open of device 9 only
    const int first = openat(AT_FDCWD, "/dev/snd/pcmC0D9p", O_RDWR);
    EXPECT_TRUE(open_pcm(9, KB_PLAYBACK) == -1 && errno == ENODEV);
    int nodes[] = {first, open("/dev/snd/controlC0", O_RDWR), open("/dev/i2c-2", O_RDWR),
                   open_pcm(10, KB_PLAYBACK), open_pcm(9, KB_PLAYBACK)};
    EXPECT_TRUE(first >= 0 && nodes[4] >= 0 && kb_fault_hits(KB_FAULT_PCM_OPEN) == 1);
    EXPECT_EQ(5, kb_open_fds());
    for (int n : nodes) close(n);
    EXPECT_EQ(0, kb_open_fds());

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 300; ++i) {
                int ctl = open("/dev/snd/controlC0", O_RDWR), p[2] = {-1, -1}, queued = -1;
                snd_ctl_elem_list list{};
                wrong += ctl < 0 || io(ctl, SNDRV_CTL_IOCTL_ELEM_LIST, &list) != 0 || list.count == 0;
                wrong += close(ctl) != 0;
                // FIONREAD is the kernel's; the board would refuse it.
                wrong += pipe(p) != 0 || ioctl(p[0], FIONREAD, &queued) != 0 || queued != 0;
                wrong += close(p[0]) != 0;
                wrong += close(p[1]) != 0;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(0, kb_open_fds());
    EXPECT_EQ(before, open_descriptors());

    // Fill the low numbers so that the node gets a high one.
    std::vector<int> fillers;
    for (int n = 0; n >= 0 && n < 4200;) fillers.push_back(n = open("/dev/null", O_RDONLY));
    int high = open("/dev/snd/controlC0", O_RDWR), plain = open("/dev/null", O_RDONLY);
    for (int n : fillers)
        if (n >= 0) close(n);
    ASSERT_GE(high, 4096);
    EXPECT_EQ(1, kb_open_fds());
    snd_ctl_elem_list list{};
    EXPECT_EQ(0, io(high, SNDRV_CTL_IOCTL_ELEM_LIST, &list));
    EXPECT_GT(list.count, 0u);
    // A plain descriptor reaches the kernel, which refuses a sound ioctl on
    // /dev/null with ENOTTY; under qemu-user the emulator refuses ioctls it
    // does not translate with ENOSYS before the kernel sees them.
    const int plain_error = io(plain, SNDRV_CTL_IOCTL_ELEM_LIST, &list);
    EXPECT_TRUE(plain_error == ENOTTY || plain_error == ENOSYS)
        << "a plain descriptor was answered with " << plain_error;
    EXPECT_EQ(0, close(plain));

    // A fork while the board holds a node: the handler's close() of a plain
    // descriptor does not deadlock (the test's time limit would end it).
    ASSERT_TRUE(g_fork_handler);
    const int fd = open("/dev/null", O_RDONLY);
    g_close_at_fork = fd;
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
    EXPECT_EQ(-1, fcntl(fd, F_GETFD)) << "the descriptor was closed";
    EXPECT_EQ(0, close(high));
    EXPECT_EQ(0, kb_open_fds());
    EXPECT_EQ(before, open_descriptors());
}

// libalsa_intf's streams: device names, refused opens, an unusable handle,
// transfers and xrun recovery, the capture tone. (Refused setups and transfers
// that fail for good: the fault matrix, through the library.)
TEST_F(Board, PlatformPcmNamesSetupTransfersAndXrunRecovery)
{
    for (const char *name : {"", "hw:", "hw:0", "hw:0,", "hw:,1", "hw:a,0", "hw:0,1x", "hw:0,-1",
                             "plughw:0,0", "audio_blue", "audio_net ", "HW:0,0"}) {
        errno = 0;
        EXPECT_TRUE(open_stream(name) == nullptr && errno == EINVAL) << name;
    }

    // A node that opens but can't tell what it is: an unusable handle that
    // says why and refuses every call.
    kb_fault(KB_FAULT_PCM_READY, -1, 0, 1, EIO);
    struct pcm *p = open_stream("hw:0,4", PCM_IN);
    ASSERT_NE(nullptr, p);
    char buf[4] = {};
    EXPECT_TRUE(!pcm_ready(p) && strstr(p->error, strerror(EIO)) && pcm_prepare(p) == -1 &&
                pcm_read(p, buf, sizeof buf) == -1)
        << p->error;
    EXPECT_EQ(0, pcm_close(p));

    p = open_stream("hw:0,6");
    ASSERT_TRUE(pcm_ready(p));
    p->channels = 1;
    ASSERT_EQ(0, negotiate(p, 2, 8000)) << p->error;
    ASSERT_EQ(0, negotiate(p, 2, 8000)) << p->error;  // the negotiated 4-byte frame counts
    std::vector<unsigned char> data(8003);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<unsigned char>(k * 7 + 3);
    ASSERT_EQ(0, pcm_write(p, data.data(), 4003)) << p->error;
    kb_fault(KB_FAULT_PCM_WRITE, 6, 0, 2, EPIPE);
    ASSERT_EQ(0, pcm_write(p, data.data() + 4000, 4000)) << p->error;
    EXPECT_EQ(2, p->underruns);
    EXPECT_EQ(4u, pcm_info(6).prepares);  // two setups, two recoveries
    std::vector<unsigned char> got(data.size());
    ASSERT_EQ(8000u, kb_pcm_played(6, 0, got.data(), got.size()));
    EXPECT_EQ(0, memcmp(data.data(), got.data(), 8000));
    pcm_close(p);

    // The board's capture tone, the same in both channels, goes on across
    // reads; prepared again after the overrun, it starts over.
    kb_capture_tone(9, 1000, 8000);
    p = open_stream("hw:0,9", PCM_IN);
    ASSERT_EQ(0, negotiate(p, 2, 8000)) << p->error;
    std::vector<int16_t> tone(640);
    kb_fault(KB_FAULT_PCM_READ, 9, 2, 1, EPIPE);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(0, pcm_read(p, tone.data(), 640)) << p->error;
        ASSERT_EQ(0, pcm_read(p, tone.data() + 320, 640)) << p->error;
        for (int n = 0; n < 320; ++n)
            ASSERT_TRUE(tone[2 * n] == int16_t(lrint(8000 * sin(2 * M_PI * 1000 * n / 8000.0))) &&
                        tone[2 * n + 1] == tone[2 * n])
                << n;
    }
    EXPECT_EQ(1, p->underruns);
    pcm_close(p);
}

// A control's values as the board holds them.
std::vector<long> values(const char *name)
{
    std::vector<long> v(8);
    v.resize(size_t(std::max(0, kb_ctl_get(name, v.data(), 8))));
    return v;
}

constexpr const char *kStereo = "DAC1 Playback Volume";                // INTEGER, 2 values, 0..175
constexpr const char *kRoute = "SEC_MI2S_RX Audio Mixer MultiMedia1";  // BOOLEAN

TEST_F(Board, PlatformMixerAndTheControlDevice)
{
    struct mixer *m = mixer_open("/dev/snd/controlC0");
    ASSERT_NE(nullptr, m);
    auto set = [m](const char *name, std::vector<const char *> argv, bool mul = false) {
        struct mixer_ctl *c = mixer_get_control(m, name, 0);
        EXPECT_NE(nullptr, c) << name;
        auto **a = const_cast<char **>(argv.data());
        const int n = int(argv.size());
        return !c ? 1 : mul ? mixer_ctl_mulvalues(c, n, a) : mixer_ctl_set_value(c, n, a);
    };
    ASSERT_EQ(4u * 7 + 2 + 7 + 3, m->count);  // four front ends' routes, DTMF, codec, voice
    for (unsigned i = 0; i < m->count; ++i) {
        const char *name = reinterpret_cast<const char *>(m->info[i].id.name);
        EXPECT_TRUE(m->ctl[i].mixer == m && m->ctl[i].info == &m->info[i]);
        EXPECT_EQ(kb_ctl_get(name, nullptr, 0), int(m->info[i].count)) << name;
        EXPECT_EQ(&m->ctl[i], mixer_get_control(m, name, 0)) << name;
    }
    EXPECT_EQ(nullptr, mixer_get_control(m, kStereo, 1));  // only one of that name
    for (const char *name : {"DAC1 Playback", "DAC1 Playback Volume ", "", (const char *)nullptr})
        EXPECT_EQ(nullptr, mixer_get_control(m, name, 0));

    // Setting checks the count and the range.
    EXPECT_EQ(0, set(kStereo, {"0", "175"}));
    EXPECT_EQ(0, set("Voice Rx Gain", {"-1", "5000", "17"}, true));
    EXPECT_EQ((std::vector<long>{-1, 5000, 17}), values("Voice Rx Gain"));
    const std::vector<std::vector<const char *>> refused = {
        {"1"},          {"1", "2", "3"}, {"176", "0"},  {"0", "-1"},
        {"12abc", "0"}, {"", "0"},       {"0x10", "0"}, {"99999999999999999999", "0"},
        {"1", nullptr}};
    for (const auto &argv : refused) {
        EXPECT_LT(set(kStereo, argv), 0) << argv[0];
        EXPECT_LT(set(kStereo, argv, true), 0) << argv[0];
    }
    for (const char *word : {"2", "-1", "yes", "", "onn"}) EXPECT_LT(set(kRoute, {word}), 0) << word;
    EXPECT_EQ(2u, kb_ctl_writes(nullptr, 0));  // refused values write nothing
    EXPECT_EQ((std::vector<long>{0, 175}), values(kStereo));
    const struct {
        const char *word;
        long value;
    } words[] = {{"1", 1}, {"0", 0}, {"on", 1}, {"off", 0}, {"true", 1}, {"false", 0}};
    for (const auto &w : words) {
        long before = !w.value;
        kb_ctl_set(kRoute, &before, 1);
        EXPECT_EQ(0, set(kRoute, {w.word})) << w.word;
        EXPECT_EQ(std::vector<long>{w.value}, values(kRoute)) << w.word;
    }
    kb_fault(KB_FAULT_CTL_WRITE, -1, 0, 1, EIO);
    EXPECT_EQ(-EIO, set(kStereo, {"5", "6"}));

    // The board finds a control by interface and name too.
    snd_ctl_elem_value v{};
    v.id = {};
    v.id.iface = SNDRV_CTL_ELEM_IFACE_MIXER;
    snprintf(reinterpret_cast<char *>(v.id.name), sizeof v.id.name, "%s", kStereo);
    ASSERT_EQ(0, ioctl(m->fd, SNDRV_CTL_IOCTL_ELEM_READ, &v));
    EXPECT_TRUE(v.value.integer.value[0] == 0 && v.value.integer.value[1] == 175);
    v.id.numid = 0;  // it was filled in
    v.id.iface = SNDRV_CTL_ELEM_IFACE_CARD;
    EXPECT_TRUE(ioctl(m->fd, SNDRV_CTL_IOCTL_ELEM_READ, &v) == -1 && errno == ENOENT);
    // A reset puts the values back.
    kb_reset();
    EXPECT_EQ((std::vector<long>{0, 0}), values(kStereo));
    EXPECT_EQ(0u, kb_ctl_writes(nullptr, 0));
    mixer_close(m);
}

std::vector<std::string> g_texts;

void record(const __android_log_message *m)
{
    EXPECT_TRUE(m->struct_size == sizeof *m && m->buffer_id == 0 && m->file == nullptr && m->line == 0);
    g_texts.push_back(std::to_string(m->priority) + "|" + m->tag + "|" + m->message);
}

TEST(PlatformLog, LoggerHook)
{
    const std::string big(5000, 'a');  // beyond any stack buffer
    g_texts.clear();
    __android_log_set_logger(record);
    __android_log_print(ANDROID_LOG_ERROR, "tag", "%s[%d]:x=%05.1f", "ka_mixer", 42, 2.5);
    __android_log_write(ANDROID_LOG_INFO, nullptr, "as is\n");
    __android_log_print(ANDROID_LOG_DEBUG, "", "<%s>\n", big.c_str());
    __android_log_set_logger(nullptr);
    EXPECT_EQ((std::vector<std::string>{"6|tag|ka_mixer[42]:x=002.5", "4||as is\n", "3||<" + big + ">\n"}),
              g_texts);
}

}  // namespace
