// The blocking file player: chunking over the period, the play flag across
// start, stop, failures and normal ends, a stop from another thread, and the
// WAV header checks.
#include <alsa_audio.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "ka_lib_audio.h"
#include "ka_test.h"
#include "stderr_capture.h"

using namespace ka_test;

namespace {

constexpr const char *kDev = "hw:0,1";
constexpr int kDevNo = 1;

using bytes = std::vector<unsigned char>;

std::string write_file(const std::string &name, const bytes &data)
{
    const std::string path = temp_dir() + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return path;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    return path;
}

// Non-zero bytes, so that zero filling shows.
bytes pattern(size_t n, unsigned seed = 1)
{
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i + seed) % 251 + 1);
    return b;
}

bytes played(int device = kDevNo)
{
    bytes out(1 << 20);
    const size_t n = kb_pcm_played(device, 0, out.data(), out.size());
    out.resize(n < out.size() ? n : out.size());
    return out;
}

std::vector<unsigned> transfers(int device = kDevNo)
{
    std::vector<unsigned> t(4096);
    const size_t n = kb_pcm_transfers(device, KB_PLAYBACK, t.data(), t.size());
    t.resize(n < t.size() ? n : t.size());
    return t;
}

struct kb_pcm_info info(int device = kDevNo)
{
    struct kb_pcm_info i{};
    kb_pcm_info(device, KB_PLAYBACK, &i);
    return i;
}

// The period the playback setup negotiates for a layout: the chunk size of
// the player.
unsigned period_of(unsigned flags, int channels, int rate = 8000)
{
    StderrCapture quiet;
    struct pcm *pcm = mova_pcm_open("hw:0,9", flags, rate, channels, SNDRV_PCM_FORMAT_S16_LE, 0);
    if (pcm == nullptr) return 0;
    const unsigned p = mova_get_pem_buffer_len(pcm);
    mova_pcm_close(pcm);
    return p;
}

int play(const std::string &path, uint32_t data_sz, int channels = 1, const char *dev = kDev)
{
    const int fd = open(path.c_str(), O_RDONLY);
    const int rc = mova_play_file(8000, channels, fd, 0, dev, data_sz);
    close(fd);
    return rc;
}

// A canonical 44-byte header for 16-bit PCM.
bytes wav_header(uint16_t channels, uint32_t rate, uint32_t data_sz)
{
    auto put16 = [](bytes &b, size_t at, uint16_t v) { b[at] = v & 0xFF, b[at + 1] = v >> 8; };
    auto put32 = [&](bytes &b, size_t at, uint32_t v) { put16(b, at, v & 0xFFFF), put16(b, at + 2, v >> 16); };
    bytes h(44, 0);
    memcpy(&h[0], "RIFF", 4);
    put32(h, 4, 36 + data_sz);
    memcpy(&h[8], "WAVEfmt ", 8);
    put32(h, 16, 16);
    put16(h, 20, 1);
    put16(h, 22, channels);
    put32(h, 24, rate);
    put32(h, 28, rate * channels * 2);
    put16(h, 32, channels * 2);
    put16(h, 34, 16);
    memcpy(&h[36], "data", 4);
    put32(h, 40, data_sz);
    return h;
}

class SimplePlayer : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        StderrCapture quiet;
        mova_stop_play_file();
        period = period_of(PCM_MONO, 1);
        kb_reset();
    }
    void TearDown() override
    {
        StderrCapture quiet;
        mova_stop_play_file();
    }
    unsigned period = 0;
};

}  // namespace

TEST_F(SimplePlayer, FlagStateMachine)
{
    StderrCapture err;
    const std::string path = write_file("flag.raw", pattern(100));
    EXPECT_EQ(0, mova_start_play_file());
    EXPECT_EQ(-ENOMEM, mova_start_play_wav_file());
    EXPECT_EQ(1, err.count("mova_start_play_file: start play file, mova_play_file_need_running: 1\n"));
    EXPECT_EQ(1, err.count("mova_start_play_file: stop play file, mova_play_file_need_running: 1\n"));
    const std::string stop_line = "mova_stop_play_file: stop play file, mova_play_file_need_running: 0\n";
    EXPECT_EQ(static_cast<int>(stop_line.size()), mova_stop_play_wav_file());
    EXPECT_TRUE(err.has(stop_line));

    // A normal end leaves the flag set: the next start fails until a stop.
    ASSERT_EQ(0, mova_start_play_file());
    EXPECT_EQ(0, play(path, 100));
    EXPECT_EQ(-ENOMEM, mova_start_play_file());

    // A failing play clears it.
    kb_fault(KB_FAULT_PCM_PREPARE, -1, 0, 1, EIO);
    EXPECT_EQ(-EIO, play(path, 100));
    EXPECT_EQ(0, mova_start_play_file());

    // With the flag clear a play reads one chunk, writes nothing, returns 0.
    mova_stop_play_file();
    kb_reset();
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(0, mova_play_file(8000, 1, fd, 0, kDev, 100));
    EXPECT_EQ(100, lseek(fd, 0, SEEK_CUR));
    close(fd);
    EXPECT_TRUE(transfers().empty());
    EXPECT_TRUE(err.has("mova_play_file: data_sz = 100, mova_play_file_need_running: 0.\n"));
}

TEST_F(SimplePlayer, PlaysWholeChunksOfOnePeriod)
{
    ASSERT_GT(period, 40u);
    StderrCapture err;
    const bytes data = pattern(2 * period + 40);

    // At the end of the file the last chunk is filled with zeros.
    const std::string at_end = write_file("chunks.raw", data);
    mova_start_play_file();
    EXPECT_EQ(0, play(at_end, static_cast<uint32_t>(data.size())));
    EXPECT_EQ((std::vector<unsigned>{period, period, period}), transfers());
    bytes expect = data;
    expect.resize(3 * period, 0);
    EXPECT_EQ(expect, played());
    EXPECT_TRUE(err.has("mova_play_file: Done playing\n"));
    const struct kb_pcm_info i = info();
    EXPECT_EQ(1u, i.channels);
    EXPECT_EQ(8000u, i.rate);
    EXPECT_EQ(0, i.open);

    // Bytes that follow the data in the file fill the last chunk instead.
    kb_reset();
    bytes file = data;
    const bytes after = pattern(period, 99);
    file.insert(file.end(), after.begin(), after.end());
    const std::string followed = write_file("chunks_followed.raw", file);
    EXPECT_EQ(0, play(followed, static_cast<uint32_t>(data.size())));
    expect.assign(file.begin(), file.begin() + 3 * period);
    EXPECT_EQ(expect, played());

    // A data size below the period makes the chunk smaller.
    kb_reset();
    EXPECT_EQ(0, play(followed, 30));
    EXPECT_EQ((std::vector<unsigned>{30}), transfers());
}

TEST_F(SimplePlayer, DataSizesZeroAndAllOnes)
{
    StderrCapture err;
    const std::string path = write_file("sizes.raw", pattern(3 * period));
    mova_start_play_file();
    EXPECT_EQ(0, play(path, 0));
    EXPECT_TRUE(transfers().empty());
    EXPECT_TRUE(err.has("mova_play_file: data_sz = 0, mova_play_file_need_running: 1.\n"));

    // 0xFFFFFFFF counts as -1 remaining after the first chunk.
    EXPECT_EQ(0, play(path, 0xFFFFFFFFu));
    EXPECT_EQ((std::vector<unsigned>{period}), transfers());
    EXPECT_TRUE(err.has("mova_play_file: data_sz = -1, mova_play_file_need_running: 1.\n"));
}

TEST_F(SimplePlayer, ChannelCountSelectsTheFrameFactor)
{
    StderrCapture err;
    mova_start_play_file();
    for (int ch : {1, 2, 6}) {
        kb_reset();
        const std::string path = write_file("ch.raw", pattern(64));
        EXPECT_EQ(0, play(path, 64, ch)) << ch;
        const struct kb_pcm_info i = info();
        EXPECT_EQ(static_cast<unsigned>(ch), i.channels);
        ASSERT_GT(i.period_bytes, 0u);
        // avail_min is the period in frames of 2 x channels bytes.
        EXPECT_EQ(i.period_bytes / (2u * ch), i.avail_min) << ch;
        EXPECT_EQ(i.period_bytes / (2u * ch), i.start_threshold) << ch;
        EXPECT_EQ(i.buffer_bytes, i.stop_threshold) << ch;
    }
}

TEST_F(SimplePlayer, StopFromAnotherThreadEndsAfterTheCurrentChunk)
{
    StderrCapture err;
    int p[2];
    ASSERT_EQ(0, pipe(p));
    mova_start_play_file();
    int rc = 1;
    std::thread player([&] { rc = mova_play_file(8000, 1, p[0], 0, kDev, 100 * period); });

    const bytes two = pattern(2 * period);
    ASSERT_EQ(static_cast<ssize_t>(two.size()), write(p[1], two.data(), two.size()));
    // Both chunks are played; the player then waits for the pipe.
    ASSERT_EQ(0, kb_pcm_wait_played(kDevNo, two.size(), 60000));
    mova_stop_play_file();
    // The next chunk is read, but the stop is seen before it is written.
    const bytes third = pattern(period, 7);
    ASSERT_EQ(static_cast<ssize_t>(third.size()), write(p[1], third.data(), third.size()));
    player.join();
    close(p[0]);
    close(p[1]);

    EXPECT_EQ(0, rc);
    EXPECT_EQ(two, played());
    EXPECT_TRUE(err.has("mova_play_file: Done playing\n"));
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(SimplePlayer, FailuresCloseEverythingAndClearTheFlag)
{
    const std::string path = write_file("fail.raw", pattern(3 * period));
    const struct {
        enum kb_fault fault;
        int err;
        int rc;
        const char *message;
    } cases[] = {
        {KB_FAULT_PCM_OPEN, ENOENT, -EBADFD, ""},
        {KB_FAULT_PCM_READY, EIO, -EBADFD, ""},
        {KB_FAULT_PCM_HW_PARAMS, EINVAL, -EINVAL, "cannot set hw params\nmova_play_file:params setting failed\n"},
        {KB_FAULT_PCM_SW_PARAMS, EINVAL, -EINVAL, "cannot set sw paramsmova_play_file:params setting failed\n"},
        {KB_FAULT_PCM_PREPARE, EIO, -EIO, "mova_play_file:Failed in pcm_prepare\n"},
        {KB_FAULT_PCM_WRITE, EIO, -EIO, "mova_play_file: pcm_write failed\n"},
    };
    for (const auto &c : cases) {
        kb_reset();
        StderrCapture err;
        const int fds = open_descriptors();
        ASSERT_EQ(0, mova_start_play_file());
        kb_fault(c.fault, kDevNo, 0, -1, c.err);
        EXPECT_EQ(c.rc, play(path, 3 * period)) << c.fault;
        EXPECT_TRUE(err.has(c.message)) << c.fault << ": " << err.text();
        EXPECT_FALSE(err.has("Done playing")) << c.fault;
        EXPECT_EQ(0, kb_open_fds()) << c.fault;
        EXPECT_EQ(0, info().open) << c.fault;
        EXPECT_EQ(fds, open_descriptors()) << c.fault;
        EXPECT_EQ(0, mova_start_play_file()) << c.fault;  // the failure cleared the flag
        mova_stop_play_file();
    }
    // No device name at all.
    StderrCapture err;
    mova_start_play_file();
    EXPECT_EQ(-EBADFD, play(path, 10, 1, nullptr));
    EXPECT_EQ(0, mova_start_play_file());
}

TEST_F(SimplePlayer, WavFilesAreCheckedBeforeTheyPlay)
{
    StderrCapture err;
    const int fds = open_descriptors();
    const bytes data = pattern(period + 10);
    bytes good = wav_header(1, 8000, static_cast<uint32_t>(data.size()));
    memcpy(&good[36], "LIST", 4);  // the chunk tag is not looked at
    bytes file = good;
    file.insert(file.end(), data.begin(), data.end());
    const std::string ok = write_file("ok.wav", file);

    mova_start_play_wav_file();
    EXPECT_EQ(0, mova_play_wav_file(kDev, ok.c_str()));
    EXPECT_TRUE(err.has("mova_play_wav_file: Playing '" + ok + "'.\n"));
    bytes expect = data;
    expect.resize(2 * period, 0);
    EXPECT_EQ(expect, played());
    EXPECT_EQ(1u, info().channels);
    EXPECT_EQ(fds, open_descriptors());

    auto with = [&](size_t at, std::vector<unsigned char> patch) {
        bytes b = file;
        std::copy(patch.begin(), patch.end(), b.begin() + static_cast<long>(at));
        return b;
    };
    const struct {
        const char *name;
        bytes contents;
        const char *complaint;
    } bad[] = {
        {"riff.wav", with(0, {'R', 'I', 'F', 'X'}), "is not a riff/wave file"},
        {"wave.wav", with(8, {'W', 'A', 'V', 'X'}), "is not a riff/wave file"},
        {"fmt.wav", with(12, {'f', 'm', 't', '_'}), "is not a riff/wave file"},
        {"fmt18.wav", with(16, {18}), "is not pcm format"},
        {"float.wav", with(20, {3}), "is not pcm format"},
        {"8bit.wav", with(34, {8}), "is not 16bit per sample"},
    };
    kb_reset();
    for (const auto &c : bad) {
        const std::string path = write_file(c.name, c.contents);
        EXPECT_EQ(-EINVAL, mova_play_wav_file(kDev, path.c_str())) << c.name;
        EXPECT_TRUE(err.has("mova_play_wav_file: '" + path + "' " + c.complaint + "\n")) << c.name;
    }
    const std::string truncated = write_file("short.wav", bytes(good.begin(), good.begin() + 20));
    EXPECT_LT(mova_play_wav_file(kDev, truncated.c_str()), 0);
    EXPECT_TRUE(err.has("mova_play_wav_file: cannot read header\n"));
    const std::string missing = temp_dir() + "/no-such.wav";
    EXPECT_EQ(-1, mova_play_wav_file(kDev, missing.c_str()));
    EXPECT_TRUE(err.has("mova_play_wav_file: cannot open '" + missing + "'\n"));
    const std::string before_null = err.text();
    EXPECT_EQ(-EINVAL, mova_play_wav_file(kDev, nullptr));
    EXPECT_EQ(before_null, err.text());

    EXPECT_TRUE(transfers().empty());
    EXPECT_EQ(fds, open_descriptors());
    // Header failures leave the flag as it was (still set after the good play).
    EXPECT_EQ(-ENOMEM, mova_start_play_file());
}
