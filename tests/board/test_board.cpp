// SPDX-License-Identifier: MIT
// The emulated module as the kernel interface shows it: the PCM stream state
// rules and parameter negotiation; pacing, under- and overruns and the event
// trace; the codec on I2C, the sysfs codec node, the command files and
// system(); which descriptors are emulated at all, from many threads at once.
// (What the devices played out and the geometry they offer:
// test_board_played_out.cpp; the platform stand-ins over the board:
// test_board_platform.cpp.)
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "board_pcm.h"

namespace {

using namespace board_pcm;

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
    EXPECT_EQ("alc5616-codec.2-001b\n", ka_test::read_text(node));
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
    EXPECT_EQ("rxgains gain 5\n", ka_test::read_text(data));
    // A file the program writes itself lands there too.
    FILE *f = fopen(run, "a");
    fputs("more\n", f);
    fclose(f);
    EXPECT_EQ("txvoices 1 3 0\nmore\n", ka_test::read_text(run));
    // The machine's own file was never touched.
    EXPECT_EQ(machine_had, syscall(SYS_faccessat, AT_FDCWD, data, F_OK) == 0);
    kb_reset();
    EXPECT_EQ(0u, kb_system_count());
    EXPECT_TRUE(kb_file_contents(run, buf, sizeof buf) == 0 && kb_file_contents(data, buf, sizeof buf) == 0);
    EXPECT_EQ("alc5616-codec.2-001b\n", ka_test::read_text(node));
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

}  // namespace