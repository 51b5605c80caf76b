// The emulated PCM devices as the kernel interface shows them: parameter
// negotiation, the stream state rules, pacing, under- and overruns, capture
// sources, and what the board records.
#include <math.h>
#include <sys/stat.h>
#include <stdio.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <thread>

#include "board_raw.h"
#include "ka_test.h"

using namespace board_raw;
using namespace ka_test;

namespace {

using BoardPcm = BoardTest;

struct kb_pcm_info pcm_info(int dev, int dir)
{
    struct kb_pcm_info i{};
    EXPECT_EQ(0, kb_pcm_info(dev, dir, &i));
    return i;
}

int16_t tone_sample(double freq, double amp, unsigned rate, uint64_t n)
{
    return static_cast<int16_t>(lrint(amp * sin(2 * M_PI * freq * static_cast<double>(n) / rate)));
}

TEST_F(BoardPcm, NegotiationFillsEveryFieldConsistently)
{
    const struct {
        unsigned format, channels, rate;
        int frame_bits;  // 0: left open
        unsigned frame_bytes, period_frames;
    } ok[] = {
        {SNDRV_PCM_FORMAT_S16_LE, 1, 8000, 16, 2, 160},
        {SNDRV_PCM_FORMAT_S16_LE, 2, 44100, 32, 4, 882},
        {SNDRV_PCM_FORMAT_S8, 8, 48000, 0, 8, 960},
        {SNDRV_PCM_FORMAT_S24_LE, 6, 16000, 96, 12, 320},  // 16-bit count taken as given
        {SNDRV_PCM_FORMAT_S24_LE, 4, 16000, 0, 16, 320},   // else the format's width
        {SNDRV_PCM_FORMAT_S32_LE, 2, 32000, 0, 8, 640},
    };
    for (const auto &c : ok) {
        int fd = open_pcm(3, KB_PLAYBACK);
        ASSERT_GE(fd, 0);
        snd_pcm_hw_params p = library_params(c.format, c.channels, c.rate);
        if (!c.frame_bits) {
            iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->min = 0;
            iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->max = ~0u;
        }
        snd_pcm_hw_params refined = p;
        ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_REFINE, &refined)) << c.channels;
        ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p)) << c.channels;
        const unsigned period = get(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE);
        EXPECT_EQ(c.period_frames, period);  // 20 ms
        EXPECT_EQ(period * c.frame_bytes, get(p, SNDRV_PCM_HW_PARAM_PERIOD_BYTES));
        EXPECT_EQ(4u, get(p, SNDRV_PCM_HW_PARAM_PERIODS));
        EXPECT_EQ(4 * period, get(p, SNDRV_PCM_HW_PARAM_BUFFER_SIZE));
        EXPECT_EQ(4 * period * c.frame_bytes, get(p, SNDRV_PCM_HW_PARAM_BUFFER_BYTES));
        EXPECT_EQ(20000u, get(p, SNDRV_PCM_HW_PARAM_PERIOD_TIME));
        EXPECT_EQ(80000u, get(p, SNDRV_PCM_HW_PARAM_BUFFER_TIME));
        EXPECT_EQ(c.frame_bytes * 8, get(p, SNDRV_PCM_HW_PARAM_FRAME_BITS));
        EXPECT_EQ(0, memcmp(&refined.intervals, &p.intervals, sizeof p.intervals));
        const struct kb_pcm_info i = pcm_info(3, KB_PLAYBACK);
        EXPECT_EQ(c.format, i.format);
        EXPECT_EQ(c.channels, i.channels);
        EXPECT_EQ(c.rate, i.rate);
        EXPECT_EQ(period * c.frame_bytes, i.period_bytes);
        EXPECT_EQ(4 * period * c.frame_bytes, i.buffer_bytes);
        EXPECT_EQ(SNDRV_PCM_ACCESS_RW_INTERLEAVED, i.access);
        close(fd);
    }

    // What the card can't do is refused, and leaves the last setup recorded.
    int fd = open_pcm(3, KB_PLAYBACK);
    const struct {
        unsigned format, channels, rate;
    } bad[] = {{SNDRV_PCM_FORMAT_S16_LE, 3, 8000},   {SNDRV_PCM_FORMAT_S16_LE, 0, 8000},
               {SNDRV_PCM_FORMAT_S16_LE, 2, 96000},  {SNDRV_PCM_FORMAT_S16_LE, 2, 4000},
               {SNDRV_PCM_FORMAT_S16_BE, 2, 8000},   {SNDRV_PCM_FORMAT_FLOAT_LE, 2, 8000}};
    for (const auto &c : bad) {
        snd_pcm_hw_params p = library_params(c.format, c.channels, c.rate);
        EXPECT_EQ(EINVAL, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p)) << c.format << "/" << c.channels;
    }
    EXPECT_EQ(6u, pcm_info(3, KB_PLAYBACK).hw_params);

    // A longer minimum period is honoured; the memory-mapped layout is accepted.
    snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S16_LE, 1, 8000);
    iv(p, SNDRV_PCM_HW_PARAM_PERIOD_TIME)->min = 50000;
    set_mask(p, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_MMAP_INTERLEAVED);
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p));
    EXPECT_EQ(400u, get(p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE));
    EXPECT_EQ(800u, pcm_info(3, KB_PLAYBACK).period_bytes);
    EXPECT_EQ(SNDRV_PCM_ACCESS_MMAP_INTERLEAVED, pcm_info(3, KB_PLAYBACK).access);
    close(fd);
}

TEST_F(BoardPcm, StateRulesOfTheKernel)
{
    int fd = open_pcm(0, KB_PLAYBACK);
    ASSERT_GE(fd, 0);
    int version = 0;
    EXPECT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PVERSION, &version));
    EXPECT_EQ(SNDRV_PCM_VERSION, version);
    snd_pcm_info info;
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_INFO, &info));
    EXPECT_EQ(0u, info.device);
    EXPECT_EQ(SNDRV_PCM_STREAM_PLAYBACK, info.stream);

    // Nothing but the hardware setup is allowed before it.
    snd_pcm_sw_params sw{};
    sw.avail_min = 1;
    short frames[1600] = {};
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw));
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_START));
    EXPECT_EQ(EBADFD, xfer(fd, true, frames, 10));

    snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S16_LE, 1, 8000);
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p));
    EXPECT_EQ(SNDRV_PCM_STATE_SETUP, kb_pcm_state(0, KB_PLAYBACK));
    sw.avail_min = 0;
    EXPECT_EQ(EINVAL, io(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw));
    EXPECT_EQ(EBADFD, xfer(fd, true, frames, 10));  // set up, not prepared
    EXPECT_EQ(EINVAL, xfer(fd, false, frames, 10)); // a playback node doesn't capture
    sw.avail_min = 160;
    sw.start_threshold = 320;
    sw.stop_threshold = 640;
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw));
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    // Allowed while prepared; it puts the software setup back to defaults.
    EXPECT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p));
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw));
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));

    // Queued frames reach the start threshold: the stream starts by itself.
    long done = 0;
    ASSERT_EQ(0, xfer(fd, true, frames, 160, &done));
    EXPECT_EQ(160, done);
    EXPECT_EQ(SNDRV_PCM_STATE_PREPARED, kb_pcm_state(0, KB_PLAYBACK));
    ASSERT_EQ(0, xfer(fd, true, frames, 160, &done));
    EXPECT_EQ(SNDRV_PCM_STATE_RUNNING, kb_pcm_state(0, KB_PLAYBACK));
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p));
    EXPECT_EQ(EBUSY, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_START));
    EXPECT_EQ(0, io(fd, SNDRV_PCM_IOCTL_DROP));
    EXPECT_EQ(SNDRV_PCM_STATE_SETUP, kb_pcm_state(0, KB_PLAYBACK));
    EXPECT_EQ(EBADFD, xfer(fd, true, frames, 10));

    // START is explicit only for hostless use, and is counted.
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    EXPECT_EQ(0, io(fd, SNDRV_PCM_IOCTL_START));
    EXPECT_EQ(SNDRV_PCM_STATE_RUNNING, kb_pcm_state(0, KB_PLAYBACK));
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_DRAIN));
    EXPECT_EQ(SNDRV_PCM_STATE_SETUP, kb_pcm_state(0, KB_PLAYBACK));
    const struct kb_pcm_info i = pcm_info(0, KB_PLAYBACK);
    EXPECT_EQ(1u, i.starts);
    EXPECT_EQ(3u, i.prepares);
    EXPECT_EQ(2u, i.hw_params);
    EXPECT_EQ(2u, i.sw_params);
    EXPECT_EQ(320ul, i.start_threshold);
    EXPECT_EQ(2u, i.transfers);
    EXPECT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_FREE));
    EXPECT_EQ(EBADFD, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    close(fd);
    EXPECT_EQ(-1, kb_pcm_state(0, KB_PLAYBACK));
}

// Frames are accepted as the emulated clock frees room; with the clock all but
// stopped, a non-blocking write stops at the buffer's size.
TEST_F(BoardPcm, PacingCountsFramesAndWakesBlockedWriters)
{
    kb_set_speed(1e-9);
    int fd = open_pcm(13, KB_PLAYBACK, O_NONBLOCK);
    ASSERT_GE(fd, 0);
    Geometry s;
    ASSERT_EQ(0, setup(fd, 2, 8000, &s));
    std::vector<int16_t> data(2 * 3 * s.buffer);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<int16_t>(k);
    long done = 0;
    ASSERT_EQ(0, xfer(fd, true, data.data(), s.buffer + s.period, &done));
    EXPECT_EQ(static_cast<long>(s.buffer), done);
    EXPECT_EQ(EAGAIN, xfer(fd, true, data.data(), s.period));

    // A blocking writer waits for room; a faster clock lets it finish, and
    // DROP from another thread ends a wait at once.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::thread writer([&] {
        long n = 0;
        EXPECT_EQ(0, xfer(fd, true, data.data() + 2 * s.buffer, 2 * s.buffer, &n));
        EXPECT_EQ(static_cast<long>(2 * s.buffer), n);
    });
    while (kb_pcm_waiters(13, KB_PLAYBACK) == 0) std::this_thread::yield();
    kb_set_speed(0);
    writer.join();
    const size_t total = 3 * s.buffer * 4;
    ASSERT_EQ(total, kb_pcm_played(13, 0, nullptr, 0));
    std::vector<int16_t> played(total / 2);
    kb_pcm_played(13, 0, played.data(), total);
    EXPECT_EQ(std::vector<int16_t>(data.begin(), data.begin() + long(played.size())), played);
    std::vector<unsigned> t(4);
    ASSERT_EQ(2u, kb_pcm_transfers(13, KB_PLAYBACK, t.data(), t.size()));
    EXPECT_EQ(s.buffer * 4, t[0]);
    EXPECT_EQ(2 * s.buffer * 4, t[1]);

    kb_set_speed(1e-9);
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_DROP));
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    ASSERT_EQ(0, xfer(fd, true, data.data(), s.buffer));
    std::atomic<int> result{-1};
    std::thread blocked([&] {
        long n = 0;
        result = xfer(fd, true, data.data(), s.period, &n);
    });
    // The writer is parked on a full buffer; DROP wakes it with EBADFD.
    while (kb_pcm_waiters(13, KB_PLAYBACK) == 0) std::this_thread::yield();
    EXPECT_EQ(0, io(fd, SNDRV_PCM_IOCTL_DROP));
    blocked.join();
    EXPECT_EQ(EBADFD, result.load());

    // Closing the descriptor under a parked writer ends its wait too.
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    ASSERT_EQ(0, xfer(fd, true, data.data(), s.buffer));
    result = -1;
    std::thread orphan([&] { result = xfer(fd, true, data.data(), s.period); });
    while (kb_pcm_waiters(13, KB_PLAYBACK) == 0) std::this_thread::yield();
    close(fd);
    orphan.join();
    EXPECT_EQ(EBADF, result.load());
    EXPECT_EQ(0, kb_open_fds());
    EXPECT_EQ(0, pcm_info(13, KB_PLAYBACK).open);
}

TEST_F(BoardPcm, UnderrunsAndOverrunsAreCountedAndNeedAPrepare)
{
    int out = open_pcm(14, KB_PLAYBACK);
    int in = open_pcm(14, KB_CAPTURE);
    ASSERT_GE(out, 0);
    ASSERT_GE(in, 0);
    Geometry s;
    ASSERT_EQ(0, setup(out, 1, 8000, &s));
    ASSERT_EQ(0, setup(in, 1, 8000));
    std::vector<int16_t> buf(s.buffer);
    ASSERT_EQ(0, xfer(out, true, buf.data(), s.period));  // starts; nobody feeds it
    ASSERT_EQ(0, xfer(in, false, buf.data(), 1));          // starts; nobody reads it
    kb_set_speed(1000);
    ASSERT_EQ(0, kb_pcm_wait_underruns(14, KB_PLAYBACK, 1, 60000));
    ASSERT_EQ(0, kb_pcm_wait_underruns(14, KB_CAPTURE, 1, 60000));
    EXPECT_EQ(SNDRV_PCM_STATE_XRUN, kb_pcm_state(14, KB_PLAYBACK));
    EXPECT_EQ(EPIPE, xfer(out, true, buf.data(), s.period));
    EXPECT_EQ(EPIPE, xfer(in, false, buf.data(), s.period));
    snd_pcm_sframes_t delay;
    EXPECT_EQ(EPIPE, io(out, SNDRV_PCM_IOCTL_DELAY, &delay));
    snd_pcm_sync_ptr sp;
    memset(&sp, 0, sizeof sp);
    sp.flags = SNDRV_PCM_SYNC_PTR_APPL | SNDRV_PCM_SYNC_PTR_AVAIL_MIN;
    ASSERT_EQ(0, io(out, SNDRV_PCM_IOCTL_SYNC_PTR, &sp));
    EXPECT_EQ(SNDRV_PCM_STATE_XRUN, sp.s.status.state);
    EXPECT_EQ(s.period, sp.c.control.appl_ptr);
    EXPECT_EQ(s.period, sp.s.status.hw_ptr);
    sp.flags |= SNDRV_PCM_SYNC_PTR_HWSYNC;
    EXPECT_EQ(EPIPE, io(out, SNDRV_PCM_IOCTL_SYNC_PTR, &sp));

    // The client's recovery: prepare and go on.
    kb_set_speed(0);
    ASSERT_EQ(0, io(out, SNDRV_PCM_IOCTL_PREPARE));
    ASSERT_EQ(0, io(in, SNDRV_PCM_IOCTL_PREPARE));
    EXPECT_EQ(0, xfer(out, true, buf.data(), s.buffer));
    EXPECT_EQ(0, xfer(in, false, buf.data(), s.buffer));
    EXPECT_EQ(1u, pcm_info(14, KB_PLAYBACK).underruns);
    EXPECT_EQ(1u, pcm_info(14, KB_CAPTURE).underruns);
    close(out);
    close(in);
}

TEST_F(BoardPcm, CaptureSourcesAreExact)
{
    kb_capture_tone(16, 1000, 12000);
    int fd = open_pcm(16, KB_CAPTURE);
    ASSERT_EQ(0, setup(fd, 2, 8000));
    std::vector<int16_t> a(2 * 300), b(2 * 100);
    ASSERT_EQ(0, xfer(fd, false, a.data(), 300));
    ASSERT_EQ(0, xfer(fd, false, b.data(), 100));  // n goes on across reads
    a.insert(a.end(), b.begin(), b.end());
    for (uint64_t n = 0; n < 400; ++n) {
        ASSERT_EQ(tone_sample(1000, 12000, 8000, n), a[2 * n]) << n;
        ASSERT_EQ(a[2 * n], a[2 * n + 1]) << n;
    }
    // PREPARE starts the count again; S32 carries the value in its top bits.
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_DROP));
    snd_pcm_hw_params p = library_params(SNDRV_PCM_FORMAT_S32_LE, 1, 16000);
    iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->max = ~0u;
    iv(p, SNDRV_PCM_HW_PARAM_FRAME_BITS)->min = 0;
    iv(p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS)->max = ~0u;
    iv(p, SNDRV_PCM_HW_PARAM_SAMPLE_BITS)->min = 0;
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p));
    ASSERT_EQ(0, io(fd, SNDRV_PCM_IOCTL_PREPARE));
    std::vector<int32_t> w(50);
    ASSERT_EQ(0, xfer(fd, false, w.data(), w.size()));
    for (uint64_t n = 0; n < w.size(); ++n)
        ASSERT_EQ(int32_t(uint32_t(uint16_t(tone_sample(1000, 12000, 16000, n))) << 16), w[n]) << n;
    close(fd);

    // A WAV file's data bytes as they are, then silence.
    const std::string path = temp_dir() + "/board_capture.wav";
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    uint8_t header[44] = {'R', 'I', 'F', 'F', 46, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                          16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x1f, 0, 0, 0x80, 0x3e, 0, 0, 2, 0, 16, 0,
                          'd', 'a', 't', 'a', sizeof data, 0, 0, 0};
    {
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char *>(header), sizeof header);
        f.write(reinterpret_cast<const char *>(data), sizeof data);
    }
    ASSERT_EQ(0, kb_capture_wav(16, path.c_str()));
    EXPECT_EQ(-1, kb_capture_wav(16, "/nonexistent/board.wav"));
    fd = open_pcm(16, KB_CAPTURE);
    ASSERT_EQ(0, setup(fd, 1, 8000));
    uint8_t got[16];
    memset(got, 0xee, sizeof got);
    ASSERT_EQ(0, xfer(fd, false, got, 8));
    EXPECT_EQ(0, memcmp(got, data, sizeof data));
    EXPECT_EQ(std::vector<uint8_t>(6, 0), std::vector<uint8_t>(got + 10, got + 16));
    close(fd);

    kb_capture_silence(16);
    fd = open_pcm(16, KB_CAPTURE);
    ASSERT_EQ(0, setup(fd, 1, 8000));
    memset(got, 0xee, sizeof got);
    ASSERT_EQ(0, xfer(fd, false, got, 8));
    EXPECT_EQ(std::vector<uint8_t>(16, 0), std::vector<uint8_t>(got, got + 16));
    close(fd);
    EXPECT_EQ(1600u + 200 + 16 + 16, pcm_info(16, KB_CAPTURE).bytes);
}

TEST_F(BoardPcm, FaultsSkipThenFailAndPlayedDataGoesToAWavFile)
{
    const std::string dir = temp_dir() + "/board_out";
    mkdir(dir.c_str(), 0755);
    kb_set_output_dir(dir.c_str());

    kb_fault(KB_FAULT_PCM_OPEN, 9, 1, 1, ENODEV);
    int first = open_pcm(9, KB_PLAYBACK);
    EXPECT_GE(first, 0);
    EXPECT_EQ(-1, open_pcm(9, KB_PLAYBACK));
    EXPECT_EQ(ENODEV, errno);
    int other = open_pcm(10, KB_PLAYBACK);  // another device is not affected
    EXPECT_GE(other, 0);
    close(other);
    EXPECT_EQ(1, kb_fault_hits(KB_FAULT_PCM_OPEN));

    ASSERT_EQ(0, setup(first, 1, 8000));
    kb_fault(KB_FAULT_PCM_WRITE, -1, 2, 1, EIO);
    int16_t frames[160];
    for (int k = 0; k < 160; ++k) frames[k] = static_cast<int16_t>(k * 3);
    EXPECT_EQ(0, xfer(first, true, frames, 160));
    EXPECT_EQ(0, xfer(first, true, frames, 160));
    EXPECT_EQ(EIO, xfer(first, true, frames, 160));
    EXPECT_EQ(0, xfer(first, true, frames, 80));
    EXPECT_EQ(1, kb_fault_hits(KB_FAULT_PCM_WRITE));
    kb_fault(KB_FAULT_PCM_READY, -1, 0, -1, EIO);
    snd_pcm_info info;
    EXPECT_EQ(EIO, io(first, SNDRV_PCM_IOCTL_INFO, &info));
    EXPECT_EQ(EIO, io(first, SNDRV_PCM_IOCTL_INFO, &info));
    kb_fault(KB_FAULT_PCM_READY, -1, 0, 0, 0);
    EXPECT_EQ(0, io(first, SNDRV_PCM_IOCTL_INFO, &info));
    close(first);

    std::ifstream f(dir + "/pcmC0D9p.wav", std::ios::binary);
    std::vector<uint8_t> wav((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t bytes = (160 + 160 + 80) * 2;
    ASSERT_EQ(44 + bytes, wav.size());
    auto le32 = [&](size_t at) { return wav[at] | wav[at + 1] << 8 | wav[at + 2] << 16 | wav[at + 3] << 24; };
    EXPECT_EQ(0, memcmp(wav.data(), "RIFF", 4));
    EXPECT_EQ(36 + bytes, static_cast<size_t>(le32(4)));
    EXPECT_EQ(8000, le32(24));
    EXPECT_EQ(1, wav[22]);
    EXPECT_EQ(bytes, static_cast<size_t>(le32(40)));
    EXPECT_EQ(0, memcmp(wav.data() + 44 + 320, frames, 320));
    EXPECT_EQ(bytes, kb_pcm_played(9, 0, nullptr, 0));
    kb_set_output_dir(nullptr);
}

}  // namespace
