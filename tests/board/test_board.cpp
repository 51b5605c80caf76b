// The emulated module as the kernel interface shows it: PCM parameter
// negotiation, the stream state rules, pacing, under- and overruns, the
// capture tone and faults; the control device, the codec on I2C, the sysfs
// codec node and the command files, system(), which paths are emulated at
// all; and the board preloaded through the ka-board launcher into programs
// that know nothing of it.
#include <fcntl.h>
#include <link.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <math.h>
#include <sound/asound.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ka_test.h"

extern char **environ;

namespace {

int open_pcm(int dev, int dir, int extra_flags = 0)
{
    return open(("/dev/snd/pcmC0D" + std::to_string(dev) + (dir ? "c" : "p")).c_str(), O_RDWR | extra_flags);
}

// Result of an ioctl as 0 or the errno value.
int io(int fd, unsigned long req, void *arg = nullptr) { return ioctl(fd, req, arg) < 0 ? errno : 0; }

snd_interval *iv(snd_pcm_hw_params &p, int n) { return &p.intervals[n - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL]; }
void set_mask(snd_pcm_hw_params &p, int n, unsigned bit)
{
    snd_mask *m = &p.masks[n - SNDRV_PCM_HW_PARAM_FIRST_MASK];
    memset(m->bits, 0, sizeof m->bits);
    m->bits[bit >> 5] = 1u << (bit & 31);
}
void set_int(snd_pcm_hw_params &p, int n, unsigned v) { *iv(p, n) = {v, v, 0, 0, 1, 0}; }

// What the audio library asks for: 16 bits per sample counted whatever the
// format, a period of at least 10 us.
snd_pcm_hw_params library_params(unsigned format, unsigned channels, unsigned rate)
{
    snd_pcm_hw_params p{};
    for (auto &m : p.masks) memset(m.bits, 0xff, sizeof m.bits);
    for (auto &i : p.intervals) i.max = ~0u;
    p.rmask = ~0u;
    set_mask(p, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    set_mask(p, SNDRV_PCM_HW_PARAM_FORMAT, format);
    iv(p, SNDRV_PCM_HW_PARAM_PERIOD_TIME)->min = 10;
    set_int(p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS, 16);
    set_int(p, SNDRV_PCM_HW_PARAM_FRAME_BITS, channels * 16);
    set_int(p, SNDRV_PCM_HW_PARAM_CHANNELS, channels);
    set_int(p, SNDRV_PCM_HW_PARAM_RATE, rate);
    return p;
}

// HW_PARAMS (S16_LE, library style), SW_PARAMS and PREPARE; 0 or an errno.
// The period and buffer sizes in frames go to *period and *buffer.
int setup(int fd, unsigned channels, unsigned rate, unsigned *period = nullptr, unsigned *buffer = nullptr)
{
    snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S16_LE, channels, rate);
    snd_pcm_sw_params sw{};
    if (int e = io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p)) return e;
    sw.avail_min = sw.start_threshold = iv(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->min;
    sw.stop_threshold = iv(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE)->min;
    if (period) *period = unsigned(sw.avail_min);
    if (buffer) *buffer = unsigned(sw.stop_threshold);
    if (int e = io(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw)) return e;
    return io(fd, SNDRV_PCM_IOCTL_PREPARE);
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

struct kb_pcm_info pcm_info(int dev, int dir = KB_PLAYBACK)
{
    struct kb_pcm_info i{};
    EXPECT_EQ(0, kb_pcm_info(dev, dir, &i));
    return i;
}

TEST_F(Board, Negotiation)
{
    // frame_bits 0: left open.
    const struct { unsigned format, channels, rate, frame_bits, frame_bytes, period_frames; } ok[] = {
        {SNDRV_PCM_FORMAT_S16_LE, 1, 8000, 16, 2, 160},
        {SNDRV_PCM_FORMAT_S8, 8, 48000, 0, 8, 960},
        {SNDRV_PCM_FORMAT_S24_LE, 6, 16000, 96, 12, 320},  // 16-bit count taken as given
        {SNDRV_PCM_FORMAT_S24_LE, 4, 16000, 0, 16, 320},   // else the format's width
    };
    int fd = open_pcm(3, KB_PLAYBACK);
    for (const auto &c : ok) {
        snd_pcm_hw_params p = library_params(c.format, c.channels, c.rate);
        iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->min = c.frame_bits;
        iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->max = c.frame_bits ? c.frame_bits : ~0u;
        ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p)) << c.channels;
        EXPECT_EQ(c.period_frames, iv(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->min);  // 20 ms
        EXPECT_EQ(c.frame_bytes * 8, iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->min);
        const struct kb_pcm_info i = pcm_info(3);
        EXPECT_TRUE(i.format == c.format && i.channels == c.channels && i.rate == c.rate) << c.channels;
        EXPECT_EQ(4 * c.period_frames * c.frame_bytes, i.buffer_bytes);
    }
    // What the card can't do is refused, and leaves the last setup recorded.
    const unsigned s16 = SNDRV_PCM_FORMAT_S16_LE, bad[][3] = {{s16, 3, 8000}, {s16, 0, 8000}, {s16, 2, 96000},
        {s16, 2, 4000}, {SNDRV_PCM_FORMAT_S16_BE, 2, 8000}, {SNDRV_PCM_FORMAT_FLOAT_LE, 2, 8000}};
    for (const auto &c : bad) {
        snd_pcm_hw_params q = library_params(c[0], c[1], c[2]);
        EXPECT_EQ(EINVAL, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &q)) << c[0] << "/" << c[1] << "/" << c[2];
    }
    EXPECT_EQ(4u, pcm_info(3).hw_params);
    // A longer minimum period is honoured; the memory-mapped layout is accepted.
    snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S16_LE, 1, 8000);
    iv(p, SNDRV_PCM_HW_PARAM_PERIOD_TIME)->min = 50000;
    set_mask(p, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_MMAP_INTERLEAVED);
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p));
    EXPECT_EQ(400u, iv(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE)->min);
    EXPECT_EQ(SNDRV_PCM_ACCESS_MMAP_INTERLEAVED, pcm_info(3).access);
    close(fd);
}

TEST_F(Board, StateRulesOfTheKernel)
{
    int fd = open_pcm(0, KB_PLAYBACK);
    auto state = [] { return kb_pcm_state(0, KB_PLAYBACK); };
    // Nothing but the hardware setup is allowed before it.
    snd_pcm_sw_params sw{};
    sw.avail_min = 1;
    short frames[320] = {};
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw));
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_START));
    EXPECT_EQ(EBADFD, xfer(fd, true, frames, 10));

    snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S16_LE, 1, 8000);
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p));
    EXPECT_EQ(SNDRV_PCM_STATE_SETUP, state());
    EXPECT_EQ(EBADFD, xfer(fd, true, frames, 10));   // set up, not prepared
    EXPECT_EQ(EINVAL, xfer(fd, false, frames, 10));  // a playback node doesn't capture
    sw.avail_min = 160;
    sw.start_threshold = 320;
    sw.stop_threshold = 640;
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw));
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));

    // Queued frames reach the start threshold: the stream starts by itself.
    long done = 0;
    ASSERT_EQ(0, xfer(fd, true, frames, 160, &done));
    EXPECT_EQ(160, done);
    EXPECT_EQ(SNDRV_PCM_STATE_PREPARED, state());
    ASSERT_EQ(0, xfer(fd, true, frames, 160));
    EXPECT_EQ(SNDRV_PCM_STATE_RUNNING, state());
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p));
    EXPECT_EQ(EBUSY, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_START));
    EXPECT_EQ(0, io(fd, SNDRV_PCM_IOCTL_DROP));
    EXPECT_EQ(SNDRV_PCM_STATE_SETUP, state());
    EXPECT_EQ(EBADFD, xfer(fd, true, frames, 10));
    // An explicit START (hostless use) runs the stream; DRAIN ends it.
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    EXPECT_EQ(0, io(fd, SNDRV_PCM_IOCTL_START));
    EXPECT_EQ(SNDRV_PCM_STATE_RUNNING, state());
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_DRAIN));
    EXPECT_EQ(SNDRV_PCM_STATE_SETUP, state());
    const struct kb_pcm_info i = pcm_info(0);
    EXPECT_TRUE(i.prepares == 2 && i.hw_params == 1 && i.transfers == 2 && i.start_threshold == 320);
    EXPECT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_FREE));
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    close(fd);
    EXPECT_EQ(-1, state());
}

// Frames are accepted as the emulated clock frees room; with the clock all but
// stopped, a non-blocking write stops at the buffer's size.
TEST_F(Board, PacingCountsFramesAndWakesABlockedWriter)
{
    kb_set_speed(1e-9);
    int fd = open_pcm(13, KB_PLAYBACK, O_NONBLOCK);
    unsigned period = 0, buffer = 0;
    ASSERT_EQ(0, setup(fd, 2, 8000, &period, &buffer));
    std::vector<int16_t> data(2 * 3 * buffer);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<int16_t>(k);
    long done = 0;
    ASSERT_EQ(0, xfer(fd, true, data.data(), buffer + period, &done));
    EXPECT_EQ(long(buffer), done);
    EXPECT_EQ(EAGAIN, xfer(fd, true, data.data(), period));

    // A blocking writer parked on the full buffer finishes once the clock runs.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::thread writer([&] { EXPECT_EQ(0, xfer(fd, true, data.data() + 2 * buffer, 2 * buffer)); });
    while (kb_pcm_waiters(13, KB_PLAYBACK) == 0) std::this_thread::yield();
    kb_set_speed(0);
    writer.join();
    std::vector<int16_t> played(data.size());
    ASSERT_EQ(2 * data.size(), kb_pcm_played(13, 0, played.data(), 2 * played.size()));
    EXPECT_EQ(data, played);
    close(fd);
}

TEST_F(Board, UnderrunsAndOverrunsAreCountedAndNeedAPrepare)
{
    int out = open_pcm(14, KB_PLAYBACK), in = open_pcm(14, KB_CAPTURE);
    unsigned period = 0, buffer = 0;
    ASSERT_EQ(0, setup(out, 1, 8000, &period, &buffer));
    ASSERT_EQ(0, setup(in, 1, 8000));
    std::vector<int16_t> buf(buffer);
    ASSERT_EQ(0, xfer(out, true, buf.data(), period));  // starts; nobody feeds it
    ASSERT_EQ(0, xfer(in, false, buf.data(), 1));        // starts; nobody reads it
    kb_set_speed(1000);
    ASSERT_EQ(0, kb_pcm_wait_underruns(14, KB_PLAYBACK, 1, 60000));
    ASSERT_EQ(0, kb_pcm_wait_underruns(14, KB_CAPTURE, 1, 60000));
    EXPECT_EQ(SNDRV_PCM_STATE_XRUN, kb_pcm_state(14, KB_PLAYBACK));
    // Until the client prepares again.
    kb_set_speed(0);
    for (int fd : {out, in}) {
        EXPECT_EQ(EPIPE, xfer(fd, fd == out, buf.data(), period));
        ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
        EXPECT_EQ(0, xfer(fd, fd == out, buf.data(), buffer));
        close(fd);
    }
    EXPECT_EQ(1u, pcm_info(14, KB_PLAYBACK).underruns);
    EXPECT_EQ(1u, pcm_info(14, KB_CAPTURE).underruns);
}

TEST_F(Board, CaptureToneIsExact)
{
    auto tone = [](int n) { return int16_t(lrint(12000 * sin(2 * M_PI * 1000 * n / 8000.0))); };
    kb_capture_tone(16, 1000, 12000);
    int fd = open_pcm(16, KB_CAPTURE);
    ASSERT_EQ(0, setup(fd, 2, 8000));
    std::vector<int16_t> a(2 * 400);
    ASSERT_EQ(0, xfer(fd, false, a.data(), 300));
    ASSERT_EQ(0, xfer(fd, false, a.data() + 600, 100));  // n goes on across reads
    for (int n = 0; n < 400; ++n) {
        ASSERT_EQ(tone(n), a[2 * n]) << n;
        ASSERT_EQ(a[2 * n], a[2 * n + 1]) << n;
    }
    // PREPARE starts the count again.
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_DROP));
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    ASSERT_EQ(0, xfer(fd, false, a.data(), 2));
    EXPECT_TRUE(a[0] == 0 && a[2] == tone(1));
    close(fd);
}

TEST_F(Board, FaultsSkipThenFail)
{
    kb_fault(KB_FAULT_PCM_OPEN, 9, 1, 1, ENODEV);
    int first = open_pcm(9, KB_PLAYBACK);
    EXPECT_EQ(-1, open_pcm(9, KB_PLAYBACK));
    EXPECT_EQ(ENODEV, errno);
    int more[] = {open_pcm(10, KB_PLAYBACK), open_pcm(9, KB_PLAYBACK)};  // other devices, later calls
    EXPECT_TRUE(first >= 0 && more[0] >= 0 && more[1] >= 0);
    EXPECT_EQ(1, kb_fault_hits(KB_FAULT_PCM_OPEN));

    ASSERT_EQ(0, setup(first, 1, 8000));
    kb_fault(KB_FAULT_PCM_WRITE, -1, 2, 1, EIO);
    int16_t frames[80] = {};
    for (int e : {0, 0, EIO, 0}) EXPECT_EQ(e, xfer(first, true, frames, 80));
    EXPECT_EQ(1, kb_fault_hits(KB_FAULT_PCM_WRITE));
    EXPECT_EQ(3u, pcm_info(9).transfers);
    for (int fd : {first, more[0], more[1]}) close(fd);
    EXPECT_EQ(0, kb_open_fds());
}

// One stream of events: what kb_events() returns is what the trace file
// holds, line for line, in the order it happened, with the log's text.
TEST_F(Board, EventsReachTheTraceAndTheApiOnceInOrder)
{
    char trace[] = "/tmp/ka-board-trace.XXXXXX";
    int tfd = mkstemp(trace);
    ASSERT_GE(tfd, 0);
    close(tfd);
    kb_set_trace(trace);
    int out = open_pcm(14, KB_PLAYBACK);
    unsigned period = 0;
    ASSERT_EQ(0, setup(out, 2, 8000, &period));
    std::vector<int16_t> buf(period * 2);
    ASSERT_EQ(0, xfer(out, true, buf.data(), period));
    kb_set_speed(1000);
    ASSERT_EQ(0, kb_pcm_wait_underruns(14, KB_PLAYBACK, 1, 60000));
    kb_set_speed(0);
    ASSERT_EQ(0, io(out, SNDRV_PCM_IOCTL_PREPARE));
    close(out);
    kb_fault(KB_FAULT_PCM_OPEN, 9, 0, 1, EBUSY);
    EXPECT_LT(open_pcm(9, KB_CAPTURE), 0);
    EXPECT_EQ(0, system("true"));
    kb_set_trace(nullptr);

    std::vector<kb_event> ev(kb_events(nullptr, 0) + 8);
    ev.resize(kb_events(ev.data(), ev.size()));
    std::vector<std::string> kinds;
    for (const auto &e : ev) kinds.push_back(e.kind);
    EXPECT_EQ((std::vector<std::string>{"pcm_open", "pcm_hw_params", "pcm_sw_params", "pcm_prepare", "pcm_start",
                                        "pcm_underrun", "pcm_prepare", "pcm_close", "fault", "system",
                                        "system_done"}),
              kinds);
    std::ifstream in(trace);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    unlink(trace);
    ASSERT_EQ(ev.size(), lines.size());
    for (size_t i = 0; i < ev.size(); ++i) {
        EXPECT_EQ(lines[i], ev[i].json);
        if (i > 0) {
            EXPECT_LE(ev[i - 1].time_ns, ev[i].time_ns);
            EXPECT_EQ(ev[i - 1].seq + 1, ev[i].seq);
        }
        EXPECT_EQ(0u, lines[i].find("{\"t\":" + std::to_string(ev[i].time_ns) + ",")) << lines[i];
    }
    EXPECT_EQ(0u, std::string(ev[0].text).find("open pcmC0D14p fd=")) << ev[0].text;
    EXPECT_EQ(14, ev[0].device);
    EXPECT_EQ(KB_PLAYBACK, ev[0].dir);
    EXPECT_NE(std::string::npos, std::string(ev[1].json).find("\"format\":\"S16_LE\",\"rate\":8000,\"channels\":2,"))
        << ev[1].json;
    // The underrun is dated when the clock passed the data, before it was seen.
    const std::string u = ev[5].json;
    size_t at = u.find("\"at\":");
    ASSERT_NE(std::string::npos, at) << u;
    int64_t when = std::stoll(u.substr(at + 5));
    EXPECT_GT(when, ev[4].time_ns);
    EXPECT_LE(when, ev[5].time_ns);
    EXPECT_NE(std::string::npos, std::string(ev[8].json).find("\"name\":\"pcm_open\",\"errno\":16")) << ev[8].json;
    EXPECT_EQ(9, ev[8].device);
    EXPECT_EQ(KB_CAPTURE, ev[8].dir);
    EXPECT_NE(std::string::npos, std::string(ev[9].json).find("\"command\":\"true\"")) << ev[9].json;
}

std::string read_all(const char *path)
{
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST_F(Board, ControlListInfoReadWrite)
{
    int fd = open("/dev/snd/controlC0", O_RDWR);
    // Listed the way a client does: count first, then ids.
    snd_ctl_elem_list list{};
    ASSERT_EQ(0, io(fd, SNDRV_CTL_IOCTL_ELEM_LIST, &list));
    std::vector<snd_ctl_elem_id> ids(list.count);
    list.space = list.count;
    list.pids = ids.data();
    ASSERT_EQ(0, io(fd, SNDRV_CTL_IOCTL_ELEM_LIST, &list));
    EXPECT_EQ(4u * 7 + 2 + 7 + 3, list.used);  // four front ends' routes, DTMF, codec, voice
    std::map<std::string, snd_ctl_elem_info> controls;
    for (const auto &id : ids) {
        snd_ctl_elem_info info{};
        info.id.numid = id.numid;
        EXPECT_EQ(0, io(fd, SNDRV_CTL_IOCTL_ELEM_INFO, &info));
        controls[reinterpret_cast<const char *>(id.name)] = info;
    }
    const struct { const char *name; unsigned type, count; long min, max; } expect[] = {
        {"MultiMedia6 Mixer VOC_REC_DL", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1},
        {"DTMF_Generate Rx Low High Duration Gain", SNDRV_CTL_ELEM_TYPE_INTEGER, 4, 0, 2147483647L},
        {"DAC1 Playback Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 2, 0, 175},
        {"Voice Rx Gain", SNDRV_CTL_ELEM_TYPE_INTEGER, 3, -1, 5000},
    };
    for (const auto &e : expect) {
        const snd_ctl_elem_info &i = controls[e.name];
        EXPECT_TRUE(unsigned(i.type) == e.type && i.count == e.count && i.value.integer.min == e.min &&
                    i.value.integer.max == e.max && i.id.iface == SNDRV_CTL_ELEM_IFACE_MIXER)
            << e.name;
    }

    // Writes within the range land and are recorded; others are refused.
    auto write = [&](unsigned numid, std::vector<long> values) {
        snd_ctl_elem_value v{};
        v.id.numid = numid;
        std::copy(values.begin(), values.end(), v.value.integer.value);
        return io(fd, SNDRV_CTL_IOCTL_ELEM_WRITE, &v);
    };
    const unsigned gain = controls["Voice Rx Gain"].id.numid, dac = controls["DAC1 Playback Volume"].id.numid;
    EXPECT_EQ(0, write(gain, {5, -1, 500}));
    EXPECT_EQ(0, write(dac, {87, 175}));
    EXPECT_EQ(EINVAL, write(dac, {87, 176}));
    EXPECT_EQ(EINVAL, write(gain, {-2, 0, 0}));
    EXPECT_EQ(ENOENT, write(999, {0}));
    snd_ctl_elem_value v{};
    v.id.numid = 999;
    EXPECT_EQ(ENOENT, io(fd, SNDRV_CTL_IOCTL_ELEM_READ, &v));
    EXPECT_EQ(ENOENT, io(fd, SNDRV_CTL_IOCTL_ELEM_INFO, &controls["no such control"]));
    v.id.numid = dac;
    ASSERT_EQ(0, io(fd, SNDRV_CTL_IOCTL_ELEM_READ, &v));
    EXPECT_TRUE(v.value.integer.value[0] == 87 && v.value.integer.value[1] == 175);
    close(fd);

    kb_ctl_write w[4];
    ASSERT_EQ(2u, kb_ctl_writes(w, 4));
    EXPECT_STREQ("Voice Rx Gain", w[0].name);
    EXPECT_EQ((std::vector<long>{5, -1, 500}), std::vector<long>(w[0].values, w[0].values + w[0].count));
    EXPECT_STREQ("DAC1 Playback Volume", w[1].name);
    // A reset puts the values back.
    long got[4] = {};
    kb_reset();
    EXPECT_EQ(2, kb_ctl_get("DAC1 Playback Volume", got, 4));
    EXPECT_EQ(0, got[0]);
    EXPECT_EQ(0u, kb_ctl_writes(nullptr, 0));
}

TEST_F(Board, I2cRegisterModelAndMessageRecord)
{
    auto rdwr = [](int fd, std::vector<i2c_msg> msgs) {
        i2c_rdwr_ioctl_data d{msgs.data(), static_cast<__u32>(msgs.size())};
        return ioctl(fd, I2C_RDWR, &d);
    };
    kb_i2c_set_reg(2, 0x1b, 0xb5, 0xabcd);
    int fd = open("/dev/i2c-2", O_RDWR);
    EXPECT_TRUE(ioctl(fd, I2C_TIMEOUT, 1) == 0 && ioctl(fd, I2C_RETRIES, 2) == 0);
    EXPECT_TRUE(kb_i2c_timeout(2) == 1 && kb_i2c_retries(2) == 2 && kb_i2c_timeout(3) == -1);
    // Read: register address, then two bytes, most significant first.
    __u8 reg = 0xb5, val[2] = {0, 0};
    EXPECT_EQ(2, rdwr(fd, {{0x1b, 0, 1, &reg}, {0x1b, I2C_M_RD, 2, val}}));
    EXPECT_TRUE(val[0] == 0xab && val[1] == 0xcd);
    // Write: address, high, low; two registers in one message go in turn.
    __u8 w[5] = {0xb5, 0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(1, rdwr(fd, {{0x1b, 0, 5, w}}));
    EXPECT_TRUE(kb_i2c_get_reg(2, 0x1b, 0xb5) == 0x1234 && kb_i2c_get_reg(2, 0x1b, 0xb6) == 0x5678);
    // Nobody answers at another address: the whole transfer fails.
    EXPECT_EQ(-1, rdwr(fd, {{0x1b, 0, 3, w}, {0x20, 0, 1, &reg}}));
    EXPECT_EQ(ENXIO, errno);
    EXPECT_EQ(0x1234, kb_i2c_get_reg(2, 0x1b, 0xb5));
    close(fd);
    EXPECT_EQ(0, kb_i2c_open_fds());

    kb_i2c_msg m[8];
    ASSERT_EQ(3u, kb_i2c_msgs(m, 8));
    EXPECT_TRUE(m[0].transfer == 0 && m[1].transfer == 0 && m[2].transfer == 1);
    EXPECT_TRUE(m[1].flags == I2C_M_RD && m[1].data[0] == 0xab);
    EXPECT_TRUE(m[2].len == 5 && m[2].data[4] == 0x78 && m[2].bus == 2 && m[2].addr == 0x1b);
    // Buses exist where chips are.
    kb_i2c_add_chip(5, 0x30);
    EXPECT_TRUE(kb_i2c_get_reg(5, 0x31, 0) == -1 && kb_i2c_get_reg(5, 0x30, 0) == 0);
}

TEST_F(Board, CodecNodeCommandFilesAndSystem)
{
    // Existence as the real kernel sees it, past the board.
    auto really_exists = [](const char *path) { return syscall(SYS_faccessat, AT_FDCWD, path, F_OK) == 0; };
    const char *node = "/sys/devices/soc:sound/codec_name";
    const char *data = "/data/alsaucm_test", *run = "/run/alsaucm_test";
    const bool machine_had[] = {really_exists(data), really_exists(run)};
    EXPECT_EQ("alc5616-codec.2-001b\n", read_all(node));
    kb_set_codec_node("nau8810.1-001a\n");
    EXPECT_EQ("nau8810.1-001a\n", read_all(node));
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
    // The machine's own paths were never touched.
    EXPECT_TRUE(machine_had[0] == really_exists(data) && machine_had[1] == really_exists(run));
    kb_reset();
    EXPECT_EQ(0u, kb_system_count());
    EXPECT_TRUE(kb_file_contents(run, buf, sizeof buf) == 0 && kb_file_contents(data, buf, sizeof buf) == 0);
    EXPECT_EQ("alc5616-codec.2-001b\n", read_all(node));
}

TEST_F(Board, OnlyCardZerosNodesAreEmulatedAndCounted)
{
    EXPECT_EQ(-1, open("/dev/snd/pcmC0D32p", O_RDWR));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_TRUE(access("/dev/snd/pcmC0D99c", F_OK) == -1 && access("/dev/snd/pcmC0D31c", F_OK) == 0);
    // Files of the machine are left alone.
    int fd = openat(AT_FDCWD, "/proc/self/status", O_RDONLY), version = 0;
    EXPECT_EQ(0, kb_open_fds());
    EXPECT_EQ(-1, ioctl(fd, SNDRV_PCM_IOCTL_PVERSION, &version));  // reaches the real kernel
    close(fd);
    int nodes[] = {openat(AT_FDCWD, "/dev/snd/pcmC0D7p", O_RDWR), open("/dev/snd/controlC0", O_RDWR),
                   open("/dev/i2c-2", O_RDWR)};
    EXPECT_EQ(3, kb_open_fds());
    for (int n : nodes) close(n);
    EXPECT_EQ(0, kb_open_fds());
}

// A fork handler registered before the board's (so run after it, while the
// board holds its lock for the fork) that closes a plain descriptor: the
// interposed close() must not need the board lock for it.
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

// close() and ioctl() are asked of every descriptor of the process while
// others open and close emulated nodes on other threads, and descriptor
// numbers pass between emulated and plain ones: each call reaches the right
// side, and the table ends empty. Nodes past the fast table (a process with
// thousands of descriptors) are found too.
TEST_F(Board, DescriptorTableUnderConcurrentOpensAndCloses)
{
    const int before = open_descriptors();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 300; ++i) {
                if (t % 2 == 0) {
                    int fd = open("/dev/snd/controlC0", O_RDWR);
                    snd_ctl_elem_list list{};
                    wrong += fd < 0 || io(fd, SNDRV_CTL_IOCTL_ELEM_LIST, &list) != 0 || list.count == 0;
                    wrong += close(fd) != 0;
                } else {
                    int p[2], queued = -1;
                    if (pipe(p) != 0) {
                        ++wrong;
                        continue;
                    }
                    // FIONREAD is the kernel's; the board would refuse it.
                    wrong += ioctl(p[0], FIONREAD, &queued) != 0 || queued != 0;
                    wrong += close(p[0]) != 0;
                    wrong += close(p[1]) != 0;
                }
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(0, kb_open_fds());
    EXPECT_EQ(before, open_descriptors());

    // Fill the low numbers so that the node gets a high one.
    std::vector<int> fillers;
    for (int fd = 0; fd >= 0 && fd < 4200;) fillers.push_back(fd = open("/dev/null", O_RDONLY));
    int high = open("/dev/snd/controlC0", O_RDWR), plain = open("/dev/null", O_RDONLY);
    for (int fd : fillers)
        if (fd >= 0) close(fd);
    ASSERT_GE(high, 4096);
    EXPECT_EQ(1, kb_open_fds());
    snd_ctl_elem_list list{};
    EXPECT_EQ(0, io(high, SNDRV_CTL_IOCTL_ELEM_LIST, &list));
    EXPECT_GT(list.count, 0u);
    // A plain descriptor reaches the kernel, which refuses a sound ioctl on
    // /dev/null with ENOTTY; under qemu-user the emulator refuses ioctls it
    // does not translate with ENOSYS before the kernel sees them.
    const int plain_error = io(plain, SNDRV_CTL_IOCTL_ELEM_LIST, &list);
    EXPECT_TRUE(plain_error == ENOTTY || plain_error == ENOSYS) << "a plain descriptor was answered with " << plain_error;
    EXPECT_EQ(0, close(plain));
    EXPECT_EQ(0, close(high));
    EXPECT_EQ(0, kb_open_fds());
    EXPECT_EQ(before, open_descriptors());
}

// A runtime's close() of its own descriptor while the board's lock is held
// on that thread (here a fork handler; a sanitizer reporting from inside the
// board is the same) goes straight to the kernel instead of deadlocking.
TEST_F(Board, PlainCloseNeedsNoBoardLock)
{
    ASSERT_TRUE(g_fork_handler);
    int node = open("/dev/snd/controlC0", O_RDWR);  // the board has descriptors to look at
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    g_close_at_fork = fd;
    std::atomic<bool> done{false};
    std::thread forker([&] {
        pid_t pid = fork();
        if (pid == 0) _exit(0);
        if (pid > 0) waitpid(pid, nullptr, 0);
        done = true;
    });
    for (int i = 0; i < 60000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!done) {
        ADD_FAILURE() << "close() in a fork handler deadlocked on the board lock";
        fflush(stdout);
        _exit(1);  // the lock is lost for good: nothing else can run
    }
    forker.join();
    EXPECT_EQ(-1, fcntl(fd, F_GETFD)) << "the descriptor was closed";
    EXPECT_EQ(0, close(node));
    EXPECT_EQ(0, kb_open_fds());
}

// Exit status and output (standard output and error) of a program run with
// this one's environment; a sanitizer runtime this test runs with must come
// first in the child too.
std::pair<int, std::string> run(const std::vector<std::string> &args)
{
    std::vector<std::string> env{"ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"};
    for (char **e = environ; *e; ++e)
        if (strncmp(*e, "LD_PRELOAD=", 11) != 0) env.push_back(*e);
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *out) {
            const char *name = info->dlpi_name ? info->dlpi_name : "";
            if (strstr(name, "libasan.so") || strstr(name, "libtsan.so"))
                static_cast<std::vector<std::string> *>(out)->push_back(std::string("LD_PRELOAD=") + name);
            return 0;
        },
        &env);
    std::vector<char *> argv, envp;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int p[2], status = -1;
    if (pipe(p)) return {-1, ""};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_adddup2(&fa, p[1], 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(p[0]);
    if (rc == 0) waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// ELF class and machine of a file, to tell whether it runs natively here.
std::string elf_kind(const char *path)
{
    std::string h = read_all(path).substr(0, 20);
    return h.size() == 20 ? std::string{h[4], h[18], h[19]} : std::string();
}

TEST(BoardPreload, LauncherConfiguresAndPreloadsTheBoard)
{
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string ka = std::string(self, strrchr(self, '/')) + "/../board/ka-board";
    ASSERT_EQ(0, access(ka.c_str(), X_OK)) << ka;
    // The board can only be preloaded into programs of its own machine (an
    // emulated 32-bit ARM build has no ARM shell to run).
    if (elf_kind("/bin/sh") != elf_kind("/proc/self/exe"))
        GTEST_SKIP() << "/bin/sh is not built for this test's machine";
    const char *script =
        "cat /sys/devices/soc:sound/codec_name 2>/dev/null || echo no node; "
        "for f in /data/alsaucm_test /run/alsaucm_test; do "
        "  if [ -e $f ]; then echo present $f; else echo absent $f; fi; done; "
        "[ -c /dev/snd/controlC0 ] && echo control; [ -e /dev/snd/pcmC0D40p ] || echo no pcm 40; "
        "true 2>/dev/null 3<>/dev/snd/pcmC0D5p || echo refused; true 3<>/dev/snd/pcmC0D5p && echo opened; "
        "echo rxgains gain 3 > /run/alsaucm_test && cat /run/alsaucm_test";
    auto r = run({ka, "run", "--codec", "tlv320aic3x.1-0018", "--files", "run", "--fault",
                  "pcm_open@5:0:1:13", "--", "/bin/sh", "-c", script});
    EXPECT_EQ(0, r.first) << r.second;
    EXPECT_EQ("tlv320aic3x.1-0018\nabsent /data/alsaucm_test\npresent /run/alsaucm_test\ncontrol\nno pcm 40\n"
              "refused\nopened\nrxgains gain 3\n",
              r.second);
    r = run({ka, "run", "--codec", "none", "--files", "none", "--", "/bin/sh", "-c", script});
    EXPECT_EQ(0u, r.second.find("no node\nabsent /data/alsaucm_test\nabsent /run/alsaucm_test\n"))
        << r.second;
    r = run({ka, "run", "--log", "--", "/bin/sh", "-c", "true 3<>/dev/snd/pcmC0D1p"});
    EXPECT_TRUE(r.first == 0 && r.second.find("] open pcmC0D1p") != std::string::npos) << r.second;
    EXPECT_EQ(2, run({ka, "run", "--speed", "fast", "--", "/bin/true"}).first);  // a usage error
}

}  // namespace
