// The blocking file player: whole chunks of one period, the play flag across
// start, stop, failures and normal ends, a stop from another thread, and the
// WAV header checks.
#include <alsa_audio.h>
#include <string.h>

#include <atomic>
#include <thread>

#include "ka_lib_audio.h"
#include "ka_test.h"
#include "stderr_capture.h"

using namespace ka_test;
using bytes = std::vector<unsigned char>;

namespace {

constexpr const char *kDev = "hw:0,1";

std::string write_file(const std::string &name, const bytes &data)
{
    const std::string path = temp_dir() + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    return path;
}

bytes pattern(size_t n, unsigned seed = 1)  // no zero bytes, so zero filling shows
{
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i + seed) % 251 + 1);
    return b;
}

bytes played()
{
    bytes out(1 << 16);
    out.resize(std::min(kb_pcm_played(1, 0, out.data(), out.size()), out.size()));
    return out;
}

std::vector<unsigned> transfers()
{
    std::vector<unsigned> t(256);
    t.resize(std::min(kb_pcm_transfers(1, KB_PLAYBACK, t.data(), t.size()), t.size()));
    return t;
}

int play(const std::string &path, uint32_t data_sz, int channels = 1, const char *dev = kDev)
{
    const int fd = open(path.c_str(), O_RDONLY);
    const int rc = mova_play_file(8000, channels, fd, 0, dev, data_sz);
    close(fd);
    return rc;
}

bytes wav(uint16_t channels, uint32_t rate, const bytes &data)
{
    bytes h(44, 0);
    auto put = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) h[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    memcpy(&h[0], "RIFF    WAVEfmt ", 16);
    put(16, 16, 4), put(20, 1, 2), put(22, channels, 2), put(24, rate, 4), put(34, 16, 2);
    memcpy(&h[36], "LIST", 4);  // the chunk tag is not looked at
    put(40, static_cast<uint32_t>(data.size()), 4);
    h.insert(h.end(), data.begin(), data.end());
    return h;
}

class SimplePlayer : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        // The chunk is the period the playback setup negotiates for the layout.
        struct pcm *pcm = mova_pcm_open("hw:0,9", PCM_MONO, 8000, 1, SNDRV_PCM_FORMAT_S16_LE, 0);
        ASSERT_NE(nullptr, pcm);
        period = mova_get_pem_buffer_len(pcm);
        mova_pcm_close(pcm);
        mova_stop_play_file();
        kb_reset();
    }
    void TearDown() override { mova_stop_play_file(); }
    StderrCapture err;
    unsigned period = 0;
};

}  // namespace

TEST_F(SimplePlayer, FlagStateMachine)
{
    const std::string path = write_file("flag.raw", pattern(100));
    EXPECT_EQ(0, mova_start_play_file());
    EXPECT_EQ(-ENOMEM, mova_start_play_wav_file());
    EXPECT_TRUE(err.has("mova_start_play_file: stop play file, mova_play_file_need_running: 1\n"));
    const std::string stop_line = "mova_stop_play_file: stop play file, mova_play_file_need_running: 0\n";
    EXPECT_EQ(static_cast<int>(stop_line.size()), mova_stop_play_wav_file());
    EXPECT_TRUE(err.has(stop_line));

    ASSERT_EQ(0, mova_start_play_file());
    EXPECT_EQ(0, play(path, 100));
    EXPECT_EQ(-ENOMEM, mova_start_play_file());  // a normal end leaves the flag set
    kb_fault(KB_FAULT_PCM_PREPARE, -1, 0, 1, EIO);
    EXPECT_EQ(-EIO, play(path, 100));
    EXPECT_EQ(0, mova_start_play_file());  // a failing play cleared it

    // Of starters racing each other exactly one wins.
    mova_stop_play_file();
    std::atomic<int> won{0};
    std::vector<std::thread> starters;
    for (int i = 0; i < 4; ++i) starters.emplace_back([&] { won += mova_start_play_file() == 0; });
    for (auto &t : starters) t.join();
    EXPECT_EQ(1, won.load());

    // With the flag clear a play reads one chunk, writes nothing, returns 0.
    mova_stop_play_file();
    kb_reset();
    EXPECT_EQ(0, play(path, 100));
    EXPECT_TRUE(transfers().empty());
    EXPECT_TRUE(err.has("mova_play_file: data_sz = 100, mova_play_file_need_running: 0.\n"));
}

TEST_F(SimplePlayer, PlaysWholeChunksOfOnePeriod)
{
    ASSERT_GT(period, 40u);
    const bytes data = pattern(2 * period + 40), after = pattern(period, 99);
    bytes followed = data;
    followed.insert(followed.end(), after.begin(), after.end());
    mova_start_play_file();

    // At the end of the file the last chunk is filled with zeros...
    EXPECT_EQ(0, play(write_file("end.raw", data), static_cast<uint32_t>(data.size())));
    EXPECT_EQ((std::vector<unsigned>{period, period, period}), transfers());
    bytes expect = data;
    expect.resize(3 * period, 0);
    EXPECT_EQ(expect, played());
    EXPECT_TRUE(err.has("mova_play_file: Done playing\n"));
    // ... otherwise with the bytes that follow the data.
    kb_reset();
    const std::string path = write_file("followed.raw", followed);
    EXPECT_EQ(0, play(path, static_cast<uint32_t>(data.size())));
    EXPECT_EQ(bytes(followed.begin(), followed.begin() + 3 * period), played());

    // A size below the period makes the chunk smaller; 0 plays nothing;
    // 0xFFFFFFFF counts as -1 remaining after the first chunk.
    for (uint32_t size : {30u, 0u, 0xFFFFFFFFu}) {
        kb_reset();
        EXPECT_EQ(0, play(path, size));
        EXPECT_EQ(size == 0 ? std::vector<unsigned>{} : std::vector<unsigned>{std::min(size, period)}, transfers());
    }
    EXPECT_TRUE(err.has("mova_play_file: data_sz = -1, mova_play_file_need_running: 1.\n"));

    // The channel count selects the frame size of the software parameters.
    for (int ch : {1, 2, 6}) {
        kb_reset();
        EXPECT_EQ(0, play(path, 64, ch));
        struct kb_pcm_info i {};
        kb_pcm_info(1, KB_PLAYBACK, &i);
        EXPECT_EQ(static_cast<unsigned>(ch), i.channels);
        EXPECT_EQ(i.period_bytes / (2u * ch), i.avail_min) << ch;
        EXPECT_EQ(i.buffer_bytes, i.stop_threshold) << ch;
    }
}

TEST_F(SimplePlayer, StopFromAnotherThreadEndsBeforeTheNextChunk)
{
    int p[2];
    ASSERT_EQ(0, pipe(p));
    mova_start_play_file();
    int rc = 1;
    std::thread player([&] { rc = mova_play_file(8000, 1, p[0], 0, kDev, 100 * period); });
    const bytes two = pattern(2 * period);
    ASSERT_EQ(static_cast<ssize_t>(two.size()), write(p[1], two.data(), two.size()));
    // Once both chunks are played the player waits on the pipe; the chunk
    // that comes after the stop is read but not written.
    ASSERT_EQ(0, kb_pcm_wait_played(1, two.size(), 60000));
    mova_stop_play_file();
    ASSERT_EQ(static_cast<ssize_t>(period), write(p[1], two.data(), period));
    player.join();
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(0, rc);
    EXPECT_EQ(two, played());
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(SimplePlayer, FailuresCloseEverythingAndClearTheFlag)
{
    const std::string path = write_file("fail.raw", pattern(3 * period));
    const struct {
        enum kb_fault fault;
        int err, rc;
        const char *message;
    } cases[] = {
        {KB_FAULT_PCM_OPEN, ENOENT, -EBADFD, ""},
        {KB_FAULT_PCM_READY, EIO, -EBADFD, ""},
        {KB_FAULT_PCM_HW_PARAMS, EINVAL, -EINVAL, "cannot set hw params\nmova_play_file:params setting failed\n"},
        {KB_FAULT_PCM_SW_PARAMS, EPERM, -EPERM, "cannot set sw paramsmova_play_file:params setting failed\n"},
        {KB_FAULT_PCM_PREPARE, EIO, -EIO, "mova_play_file:Failed in pcm_prepare\n"},
        {KB_FAULT_PCM_WRITE, EIO, -EIO, "mova_play_file: pcm_write failed\n"},
    };
    const int fds = open_descriptors();
    for (const auto &c : cases) {
        kb_reset();
        ASSERT_EQ(0, mova_start_play_file());
        kb_fault(c.fault, 1, 0, -1, c.err);
        EXPECT_EQ(c.rc, play(path, 3 * period)) << c.fault;
        EXPECT_TRUE(err.has(c.message)) << c.fault;
        EXPECT_EQ(0, kb_open_fds()) << c.fault;
        EXPECT_EQ(fds, open_descriptors()) << c.fault;
        EXPECT_EQ(0, mova_start_play_file()) << c.fault;  // cleared by the failure
        mova_stop_play_file();
    }
    EXPECT_FALSE(err.has("Done playing"));
    mova_start_play_file();
    EXPECT_EQ(-EBADFD, play(path, 10, 1, nullptr));
}

TEST_F(SimplePlayer, WavHeadersAreCheckedBeforePlaying)
{
    const int fds = open_descriptors();
    const bytes data = pattern(period + 10), good = wav(1, 8000, data);
    const std::string ok = write_file("ok.wav", good);
    mova_start_play_wav_file();
    EXPECT_EQ(0, mova_play_wav_file(kDev, ok.c_str()));
    EXPECT_TRUE(err.has("mova_play_wav_file: Playing '" + ok + "'.\n"));
    bytes expect = data;
    expect.resize(2 * period, 0);
    EXPECT_EQ(expect, played());

    const struct {
        size_t at;
        unsigned char byte;
        const char *complaint;
    } bad[] = {{3, 'X', "is not a riff/wave file"}, {11, 'X', "is not a riff/wave file"},
               {15, '_', "is not a riff/wave file"}, {16, 18, "is not pcm format"},
               {20, 3, "is not pcm format"},        {34, 8, "is not 16bit per sample"}};
    kb_reset();
    for (const auto &c : bad) {
        bytes b = good;
        b[c.at] = c.byte;
        const std::string path = write_file("bad" + std::to_string(c.at) + ".wav", b);
        EXPECT_EQ(-EINVAL, mova_play_wav_file(kDev, path.c_str())) << c.at;
        EXPECT_TRUE(err.has("mova_play_wav_file: '" + path + "' " + c.complaint + "\n")) << c.at;
    }
    EXPECT_LT(mova_play_wav_file(kDev, write_file("short.wav", bytes(good.begin(), good.begin() + 20)).c_str()), 0);
    EXPECT_TRUE(err.has("mova_play_wav_file: cannot read header\n"));
    EXPECT_EQ(-1, mova_play_wav_file(kDev, "/nonexistent/x.wav"));
    EXPECT_TRUE(err.has("mova_play_wav_file: cannot open '/nonexistent/x.wav'\n"));
    const std::string before = err.text();
    EXPECT_EQ(-EINVAL, mova_play_wav_file(kDev, nullptr));
    EXPECT_EQ(before, err.text());
    EXPECT_TRUE(transfers().empty());
    EXPECT_EQ(fds, open_descriptors());
    EXPECT_EQ(-ENOMEM, mova_start_play_file());  // header failures leave the flag alone
}
