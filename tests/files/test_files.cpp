// SPDX-License-Identifier: MIT
// File playback, recording and conversion end to end on the emulated board:
// what reaches the device for each format and how a file play ends (end of
// file, failures) with nothing left behind; a recording complete and closed
// when capture fails; format detection, the WAV header and AMR to WAV
// conversion. (Pause, stop, close and replacement of file plays and
// recordings: the fault matrix.)
#include <sound/asound.h>

#include <atomic>

#include "files_test.h"

#define KA_LOG_FILE "test"
#include "ka_internal.h"

using namespace files_test;
using namespace player_test;

namespace {

// ---- File play ----------------------------------------------------------------

// Device writes of player 0 in the order a test wants: write number g_held
// waits until the gate opens; write number g_fail_at waits until a writer (a
// decode thread, or the caller's Play) sleeps on the full ring (the device
// fails that one).
std::atomic<int> g_writes{0};
std::atomic<bool> g_gate{false};
int g_held = -1, g_fail_at = -1;
int (*g_real_write)(ka_pctx *, void *, unsigned);
int ordered_write(ka_pctx *p, void *buf, unsigned len)
{
    const int n = g_writes++;
    if (n == g_held) eventually([] { return g_gate.load(); });
    if (n == g_fail_at) eventually([] { return ring_flag(0, &ka_ringbuf::writer_waiting); });
    return g_real_write(p, buf, len);
}

// The fixture of the file tests: every player and recorder closed at the
// end, with no library thread and no device descriptor left; player 0's
// device writes in the order a test asks for; the descriptors a test gave
// the library still open at the end.
class FileTest : public PlayerTest {
protected:
    void SetUp() override
    {
        PlayerTest::SetUp();
        g_writes = 0, g_gate = false, g_held = g_fail_at = -1;
        g_real_write = audCtl.pctx[0].write;
        audCtl.pctx[0].write = ordered_write;
    }
    void TearDown() override
    {
        PlayerTest::TearDown();
        EXPECT_EQ(kb_open_fds(), 0);
        audCtl.pctx[0].write = g_real_write;
        for (int fd : fds) {
            EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the caller's descriptor stays open";
            close(fd);
        }
    }
    int keep(int fd) { return fds.emplace_back(fd); }
    int ended() const { return log.count("File play main thread end"); }
    bool wait_ended(int plays)
    {
        return eventually([&] { return ended() >= plays; });
    }
    static uint64_t captured() { return ka_test::pcm_info(0, KB_CAPTURE).bytes; }
    std::vector<int> fds;
};
using FilePlay = FileTest;
using FileRecord = FileTest;
using Formats = FileTest;

// Damaged bytes in front of a frame header somewhere past `from`.
Bytes damaged(Bytes file, size_t from)
{
    while (!(file[from] == 0xFF && (file[from + 1] & 0xE0) == 0xE0)) ++from;
    file.insert(file.begin() + long(from), 300, 0x21);
    return file;
}

// A file of each format and what its play must give the device.
struct Media {
    std::string name;
    Bytes file, expected;
    off_t offset = 0;
    unsigned rate = 0;
};
TEST_F(FilePlay, EachFormatReachesTheDeviceAsDecoded)
{
    Bytes data = pcm16(2, 44100, 44100), nb = amrnb_file(150), wb = amrwb_file(150);
    const Bytes wav = wav_file(2, 44100, 16, data);
    std::vector<Media> cases = {{"p.wav", wav, data, 0, 44100},
                                {"p.amr", nb, amr_decode(nb, false), 0, 8000},
                                {"p.awb", wb, amr_decode(wb, true), 0, 16000}};
    Bytes nb_cut = amrnb_file(45), wb_stop = amrwb_file(1);
    nb_cut.pop_back();  // the last frame cut short is dropped
    // A frame type without a size ends the play; the one frame before it,
    // less than half the ring, still reaches the device.
    wb_stop.push_back(14 << 3);
    wb_stop.resize(wb_stop.size() + 100, 0);
    cases.push_back({"p.wav", wav, Bytes(wav.begin() + 1044, wav.end()), 1044});  // played from the offset
    cases.push_back({"cut.amr", nb_cut, amr_decode(nb_cut, false)});
    cases.push_back({"stop.awb", wb_stop, amr_decode(wb_stop, true)});
    if (have_tool("lame")) {
        Bytes s = mp3_file("p_s.mp3", 2, 44100, 1.5, "-b 128 --add-id3v2 --tt Play");
        Bytes m = mp3_file("p_m.mp3", 1, 22050, 1.5, "-m m -b 48");  // MPEG-2
        Bytes d = damaged(mp3_file("p_d.mp3", 2, 44100, 1.0, "-b 128 -t"), 3000);
        cases.push_back({"p_s.mp3", s, mp3_decode(s), 0, 44100});
        cases.push_back({"p_m.mp3", m, mp3_decode(m), 0, 22050});
        cases.push_back({"p_d.mp3", d, mp3_decode(d)});
    }
    for (const Media &c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        ka_test::StderrCapture err;
        const int fd = keep(open_with(c.name, c.file));
        ASSERT_EQ(Ka_AudPlayer_PlayFile(c.offset ? "hw:0,0" : nullptr, fd, c.offset, record_cb), 0);
        ASSERT_TRUE(wait_ended(1));
        Bytes got = played();
        EXPECT_TRUE(all_then_silence(got, c.expected)) << got.size() << " of " << c.expected.size();
        const unsigned rate = ka_test::pcm_info(0).rate;
        EXPECT_TRUE(!c.rate || rate == c.rate) << rate;
        EXPECT_TRUE(c.name != "p_d.mp3" || err.has("decoding error 0x")) << "a damaged stretch is reported";
        EXPECT_TRUE(c.name != "p_m.mp3" || !err.has("decoding error")) << "a clean file reports nothing";
        EXPECT_EQ(reports(0), std::vector<int>{AUD_PLAYER_FINISHED});
        // The decode thread's end of data, also after a frame cut short; the
        // AMR-WB thread ends without one.
        EXPECT_EQ(log.count("Receive Stop flag from decode thread"), c.name.ends_with(".awb") ? 0 : 1);
        EXPECT_EQ(log.count(" decode thread end\n"), 1);
    }
}

// The end of a file play as a listener hears it (on the board's default
// geometry, and in the second run on a 500 ms buffer that holds more than
// the library's ring): what the device played out (at the sample clock) ends
// with the file's last samples, a loud burst, nothing the file play wrote is
// dropped at the close, and AUD_PLAYER_FINISHED comes once all of it has
// been played out. A file shorter than half the ring is heard whole.
std::atomic<size_t> g_out_at_end{0};
int end_cb(int hdl, int result)
{
    if (result == AUD_PLAYER_FINISHED) g_out_at_end = kb_pcm_played_out(0, 0, nullptr, 0);
    return record_cb(hdl, result);
}

TEST_F(FilePlay, LastSamplesArePlayedOutBeforeTheEndIsReported)
{
    Bytes tone = pcm16(1, 8000, 1800, 4), burst;
    for (int i = 0; i < 250; ++i) put(burst, uint16_t(int16_t(i % 8 < 4 ? 30000 : -30000)), 2);
    tone.insert(tone.end(), burst.begin(), burst.end());  // not a whole number of periods
    for (const Bytes &data : {tone, pcm16(1, 8000, 100, 9)}) {
        SCOPED_TRACE(data.size());
        restart();
        kb_set_speed(1);
        g_out_at_end = 0;
        ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, keep(open_with("end.wav", wav_file(1, 8000, 16, data))), 0,
                                        end_cb),
                  0);
        ASSERT_TRUE(wait_ended(1));
        EXPECT_EQ(reports(0), std::vector<int>{AUD_PLAYER_FINISHED});
        EXPECT_EQ(ka_test::pcm_info(0).dropped_frames, 0u);
        Bytes out = played_out();
        while (!out.empty() && out.back() == 0) out.pop_back();
        const Bytes &tail = data.size() > burst.size() ? burst : data;
        EXPECT_TRUE(out.size() >= tail.size() &&
                    std::equal(tail.begin(), tail.end(), out.end() - long(tail.size())))
            << "played out " << out.size() << " bytes";
        EXPECT_GE(g_out_at_end.load(), out.size()) << "finished before it was heard";
    }
    // A stop while the device plays out the end (long enough to catch in a
    // 500 ms buffer) is no natural end: it ends the play at once, and what
    // the device still holds is dropped.
    if (ka_test::env_long("KA_BOARD_BUFFER_MS", 0) < 500) return;
    restart();
    kb_set_speed(1);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(
                  nullptr, keep(open_with("stop.wav", wav_file(1, 8000, 16, pcm16(1, 8000, 8000, 2)))), 0,
                  record_cb),
              0);
    ASSERT_TRUE(eventually([] { return kb_pcm_state(0, KB_PLAYBACK) == SNDRV_PCM_STATE_DRAINING; }));
    EXPECT_EQ(Ka_AudPlayer_Stop(0), 0);
    ASSERT_TRUE(wait_ended(1));
    EXPECT_GT(ka_test::pcm_info(0).dropped_frames, 0u);
    EXPECT_EQ(reports(0), std::vector<int>{AUD_PLAYER_FINISHED});
}

// The file play's main thread starts its play thread only once the caller's
// thread has ended on the device failure.
int (*g_real_start)(int);
int start_after_end(int hdl)
{
    eventually([hdl] { return __atomic_load_n(&audCtl.pctx[hdl].state, __ATOMIC_ACQUIRE) == CTX_OPENED; });
    return g_real_start(hdl);
}

// Raw file play on a player whose play thread was already running (so no
// file play wrapper watches the caller's callback), on a device that then
// fails for good: the decode thread sleeping on the full ring is released
// and the play ends.
TEST_F(FilePlay, DeviceFailingUnderRawPlayOnARunningPlayerEndsIt)
{
    ka_pctx &p = audCtl.pctx[0];
    g_real_start = p.start_play;
    p.start_play = start_after_end;
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, record_cb), 0);
    Bytes raw = pcm16(1, 8000, 8000 * 5, 6);
    kb_fault(KB_FAULT_PCM_WRITE, 0, 1, -1, EIO);
    // Write 0, the caller's, waits for the file play to be installed; write
    // 1 fails the caller's thread; write 2, the file play's own thread's
    // first, fails while the decode thread sleeps on the ring.
    g_held = 0, g_fail_at = 2;
    // The caller fills the ring; its thread runs (held in write 0).
    const Bytes first = pcm16(1, 8000, p.ringbuf->size / 2, 5);
    ASSERT_EQ(Ka_AudPlayer_Play(0, first.data(), unsigned(first.size())), int(first.size()));
    EXPECT_EQ(__atomic_load_n(&p.state, __ATOMIC_ACQUIRE), CTX_RUNNING);
    EXPECT_EQ(Ka_AudPlayer_PlayFrmFile(0, keep(open_with("raw.pcm", raw)), 0), 0);
    g_gate = true;
    ASSERT_TRUE(wait_ended(1));
    p.start_play = g_real_start;
    kb_fault(KB_FAULT_PCM_WRITE, 0, 0, 0, 0);

    EXPECT_EQ(log.count("Wav decode thread start"), 1) << "the file play started its own thread";
    EXPECT_EQ(log.count("Wav decode thread end"), 1);
    EXPECT_EQ(reports(0), (std::vector<int>{-1, 5, -1, 5}));
    EXPECT_EQ(played(), Bytes(first.begin(), first.begin() + long(ka_test::pcm_info(0).period_bytes)));
    // Closed by itself, stream too. (Descriptors and threads: the fixture;
    // the device playing again: the fault matrix.)
    EXPECT_TRUE(player_closed(0));
    EXPECT_EQ(kb_pcm_state(0, KB_PLAYBACK), -1);
}

// A Stop made as soon as PlayFile or PlayFrmFile has returned, before the
// main thread has started the play (held here until the stop is made), ends
// the play: nothing of the file is decoded, and the player is closed.
std::atomic<bool> g_stop_made{false};
int start_after_stop(int hdl)
{
    eventually([] { return g_stop_made.load(); });
    return g_real_start(hdl);
}

TEST_F(FilePlay, StopRightAfterSetUpIsNotLost)
{
    const Bytes data = pcm16(1, 8000, 16000, 2);  // 2 s
    g_real_start = audCtl.pctx[0].start_play;
    audCtl.pctx[0].start_play = start_after_stop;
    for (bool raw : {false, true}) {
        SCOPED_TRACE(raw);
        restart();
        g_stop_made = false;
        const int fd = keep(open_with("two.wav", wav_file(1, 8000, 16, data)));
        ASSERT_TRUE(!raw || Ka_AudPlayer_Open(nullptr, record_cb) == 0);
        ASSERT_EQ(
            raw ? Ka_AudPlayer_PlayFrmFile(0, fd, 44) : Ka_AudPlayer_PlayFile(nullptr, fd, 0, record_cb), 0);
        EXPECT_EQ(Ka_AudPlayer_Stop(0), 0);
        g_stop_made = true;
        ASSERT_TRUE(wait_ended(1));
        EXPECT_TRUE(player_closed(0));
        EXPECT_EQ(played().size(), 0u) << "the stop was lost";
        EXPECT_EQ(log.count("Wav decode thread start"), 0);
        EXPECT_EQ(reports(0), std::vector<int>{AUD_PLAYER_FINISHED});
    }
    audCtl.pctx[0].start_play = g_real_start;
}

// A file play that the application stops and closes itself is retired by
// that close: its decode thread has ended when the close returns (so the
// descriptor may be closed), and its main thread, held on file_lock until
// the application has opened the player again and plays on it, neither
// pushes into, stops nor closes that new stream.
TEST_F(FilePlay, ClosedByTheApplicationLeavesTheNextPlayerAlone)
{
    ka_pctx &p = audCtl.pctx[0];
    const Bytes file = wav_file(1, 8000, 16, pcm16(1, 8000, 8000 * 5, 6)), mine = pcm16(1, 8000, 2000, 9);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, keep(open_with("long.wav", file)), 0, record_cb), 0);
    ASSERT_TRUE(eventually([] { return kb_pcm_played(0, 0, nullptr, 0) > 0; }));
    pthread_mutex_lock(&p.file_lock);  // the main thread joins its decode thread without it
    EXPECT_EQ(Ka_AudPlayer_Stop(0), 0);
    Ka_AudPlayer_Close(0);
    EXPECT_EQ(log.count("Wav decode thread end"), 1) << "the decode thread outlives the close";
    const size_t before = played().size();
    ASSERT_EQ(Ka_AudPlayer_Open(nullptr, nullptr), 0);
    ASSERT_EQ(Ka_AudPlayer_Play(0, mine.data(), 640), 640);
    pthread_mutex_unlock(&p.file_lock);
    ASSERT_TRUE(wait_ended(1));
    EXPECT_TRUE(state_is(0, "AUD_PLAYER_START")) << "the retired play stopped or closed the new player";
    ASSERT_EQ(Ka_AudPlayer_Play(0, mine.data() + 640, unsigned(mine.size() - 640)), int(mine.size() - 640));
    ASSERT_TRUE(flush_until_played(0, 0, before + mine.size()));
    const Bytes got = played();
    EXPECT_TRUE(all_then_silence(Bytes(got.begin() + long(before), got.end()), mine));
    EXPECT_EQ(reports(0), std::vector<int>{AUD_PLAYER_FINISHED});
}

TEST_F(FilePlay, RefusalsAndRawPlay)
{
    EXPECT_EQ(Ka_AudPlayer_PlayFile(nullptr, keep(open_with("t.txt", {'h', 'i', '\n'})), 0, record_cb), -1);
    EXPECT_EQ(log.count("Unknown file format"), 1);
    const int fd = keep(open_with("f.wav", wav_file(1, 8000, 16, pcm16(1, 8000, 1600))));
    kb_fault(KB_FAULT_PCM_OPEN, -1, 0, 1, ENODEV);
    EXPECT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, record_cb), -1);
    EXPECT_FALSE(audCtl.pctx[0].inited) << "the failed open's ring and route are released";
    pthread_t tid;
    EXPECT_EQ(start_ka_wav_decode(0, fd, nullptr, &tid), -1);
    EXPECT_EQ(start_ka_mp3_decode(0, fd, __ka_default_data_write, nullptr), -1);
    // A decode thread that finds another format than it was started for
    // ends at the header and says so.
    ASSERT_EQ(start_ka_amrnb_decode(0, fd, __ka_default_data_write, &tid), 0);
    pthread_join(tid, nullptr);
    EXPECT_EQ(log.count("Amrnb Bad header"), 1);

    // Raw PCM on the caller's player, closed at the end; 0, not the handle.
    Bytes raw = pcm16(1, 8000, 8000);
    int h = Ka_AudPlayer_OpenExt("hw:0,0", record_cb, 0, 1, 8000, 2);
    EXPECT_EQ(Ka_AudPlayer_PlayFrmFile(h, keep(open_with("raw.pcm", raw)), 0), 0);
    ASSERT_TRUE(wait_ended(1));
    EXPECT_TRUE(all_then_silence(played(), raw));
    // A read error of the decode thread (a directory read as PCM).
    h = Ka_AudPlayer_Open(nullptr, record_cb);
    ASSERT_EQ(Ka_AudPlayer_PlayFrmFile(h, keep(open(ka_test::temp_dir().c_str(), O_RDONLY)), 0), 0);
    ASSERT_TRUE(wait_ended(2));
    EXPECT_EQ(log.count("Read data failed"), 1);
}

// ---- File recording -----------------------------------------------------------

// The caller's own callback, storing through the file callback.
int (*g_store)(int, void *, unsigned);
int recording_cb(int result, void *buf, unsigned len)
{
    return g_store(result, buf, len);
}

// Capture failing part way through a recording: the recording ends at the
// failed read by itself, the file (made anew over an older one) is finished
// and closed at once, holding exactly what was captured before the failure.
// (Callback order, recording again and a recording replaced by the next:
// the recorder tests and the fault matrix.)
TEST_F(FileRecord, CaptureFailingPartWayFinishesTheFile)
{
    constexpr int kGoodReads = 5;
    for (int type : {AUD_FILE_WAV, AUD_FILE_AMRNB}) {
        SCOPED_TRACE(type);
        restart();
        g_store = type == AUD_FILE_WAV ? __ka_wav_write_file_cb : __ka_amrnb_write_file_cb;
        kb_capture_tone(0, 440, 8000);
        kb_fault(KB_FAULT_PCM_READ, 0, kGoodReads, 1, EIO);
        std::string path = gen_path(type == AUD_FILE_WAV ? "partway.wav" : "partway.amr");
        write_file(path, Bytes(100000, 1));
        ASSERT_EQ(Ka_AudRecorder_RecordFile(nullptr, path.c_str(), type, 1, 8000, 2, recording_cb), 0);
        // Nobody stops it: the failure alone ends it and closes the file.
        int code = 100;
        ASSERT_TRUE(eventually([&] {
            return std::string(Ka_AudRecorder_HGetState(0, &code)) == "AUD_RECORDER_ERROR" &&
                   proc_entries("/proc/self/fd", path) == 0;
        }));
        EXPECT_EQ(code, -1);
        const unsigned period = ka_test::pcm_info(0, KB_CAPTURE).period_bytes;
        ASSERT_GT(period, 0u);
        EXPECT_EQ(captured(), uint64_t(kGoodReads) * period) << "no read after the failure";
        Bytes f = read_file(path);
        if (type == AUD_FILE_WAV) {
            ASSERT_EQ(f.size(), 44u + kGoodReads * period);
            EXPECT_EQ(Bytes(f.begin(), f.begin() + 44), wav_header(1, 8000, f.size() - 44));
            for (size_t n = 0; 44 + 2 * n < f.size(); ++n)  // the board's tone from its first sample on
                ASSERT_EQ(int16_t(le(f, 44 + 2 * n, 2)),
                          int16_t(lrint(8000 * sin(2 * M_PI * 440 * double(n) / 8000))))
                    << n;
        } else {
            ASSERT_GE(f.size(), 6u);
            EXPECT_EQ(Bytes(f.begin(), f.begin() + 6), (Bytes{'#', '!', 'A', 'M', 'R', '\n'}));
            size_t pos = 6, frames = 0;
            for (; pos < f.size(); ++frames) pos += 1 + size_t(amrnb_sizes[(f[pos] >> 3) & 15]);
            EXPECT_EQ(pos, f.size()) << "whole frames only";
            // One frame per captured buffer, padded to 20 ms when the period is
            // shorter; a period longer than a frame (320 bytes) stores none.
            EXPECT_EQ(frames, period <= 320 ? size_t(kGoodReads) : 0u) << "one frame per captured buffer";
        }
        Ka_AudRecorder_HStop(0);
        Ka_AudRecorder_HClose(0);
        EXPECT_EQ(read_file(path), f) << "nothing more stored";
        if (HasFatalFailure()) return;
    }
}

TEST_F(FileRecord, RefusedTypesAndWrongCallers)
{
    std::string path = gen_path("x.mp3");
    write_file(path, Bytes(10, 1));
    EXPECT_EQ(Ka_AudRecorder_RecordFile(nullptr, path.c_str(), AUD_FILE_MP3, 1, 8000, 2, nullptr), -1);
    EXPECT_EQ(Ka_AudRecorder_RecordWAV("nodev", path.c_str(), 1, 8000, 2), -1);
    EXPECT_EQ(Ka_AudRecorder_RecordWAV(nullptr, "/nonexistent/x.wav", 1, 8000, 2), -1);
    EXPECT_EQ(captured(), 0u) << "no recorder ran";

    // Type 2: the AMR-NB header; the caller's callback gets the data.
    ASSERT_EQ(Ka_AudRecorder_RecordFile(nullptr, path.c_str(), 2, 1, 8000, 2, nullptr), 0);
    ASSERT_TRUE(eventually([] { return captured() >= 3200; }));
    Ka_AudRecorder_HStop(0);
    Ka_AudRecorder_HClose(0);
    EXPECT_EQ(read_file(path), (Bytes{'#', '!', 'A', 'M', 'R', '\n'}));
}

// ---- Formats and conversion -----------------------------------------------------

Bytes bytes(std::initializer_list<uint8_t> head, size_t pad = 0, std::initializer_list<uint8_t> tail = {})
{
    Bytes b(head);
    b.resize(b.size() + pad, 0);
    b.insert(b.end(), tail);
    return b;
}

TEST_F(Formats, DetectionResultsRecordsAndOffsets)
{
    struct Case {
        Bytes file;
        int result, rate, channels, format;
    };
    const int W = AUD_FILE_WAV, M = AUD_FILE_MP3;
    const Case cases[] = {
        {wav_file(2, 44100, 16, Bytes(100)), W, 44100, 2, 2},
        {wav_file(1, 8000, 8, Bytes(100)), W, 8000, 1, 0},
        {wav_file(1, 8000, 24, Bytes(100)), W, 8000, 1, 6},
        {wav_file(1, 8000, 32, Bytes(100)), W, 8000, 1, 10},
        // Not PCM (float, extensible), odd bits: no format, record untouched.
        {wav_file(1, 8000, 32, Bytes(100), 3), -1, -7, -7, -7},
        {wav_file(1, 8000, 16, Bytes(100), 0xFFFE), -1, -7, -7, -7},
        {wav_file(1, 8000, 12, Bytes(100)), -1, -7, -7, -7},
        {bytes({'#', '!', 'A', 'M', 'R', '-', 'W', 'B', '\n'}), AUD_FILE_AMRWB, 16000, -7, -7},
        {bytes({'#', '!', 'A', 'M', 'R', '\n', 'x'}), AUD_FILE_AMRNB, 8000, -7, -7},
        // MPEG frame headers: rate, channels.
        {bytes({0xFF, 0xFB, 0x90, 0x64}, 60), M, 44100, 2, -7},  // MPEG-1, joint stereo
        {bytes({0xFF, 0xFB, 0x92, 0xC4}, 60), M, 44100, 1, -7},  // single channel
        {bytes({0xFF, 0xF3, 0x94, 0x00}, 60), M, 24000, 2, -7},  // MPEG-2
        {bytes({0xFF, 0xEB, 0x90, 0x00}, 60), -1, -7, -7, -7},   // reserved version
        {bytes({0xFF, 0xFB, 0x9C, 0x00}, 60), -1, -7, -7, -7},   // reserved rate
        {bytes({0xFF, 0xE3, 0x88, 0xC0}, 60), -1, -7, -7, -7},   // MPEG-2.5 needs a tag
        {bytes({'I', 'D', '3', 4, 0, 0, 0, 0, 2, 1}, 257 + 16), M, 11025, 2,
         -7},  // no sync check behind a tag
        // Behind ID3v2 tags (syncsafe sizes) the header is found, MPEG-2.5 included.
        {bytes({'I', 'D', '3', 4, 0, 0, 0, 0, 2, 1}, 257, {0xFF, 0xE3, 0x88, 0xC0}), M, 8000, 1, -7},
        {bytes({'I', 'D', '3', 4, 0, 0, 0, 1, 0, 0}, 16384, {0xFF, 0xFB, 0x94, 0x00}), M, 48000, 2, -7},
        {bytes({'I', 'D', '3', 4, 0, 0, 1, 0, 0, 0}, 1 << 21, {0xFF, 0xFB, 0x94, 0x00}), M, 48000, 2, -7},
        {bytes({'I', 'D', '3', 4, 0, 0, 0, 0, 2, 1}, 200), -1, -7, -7, -7},  // header past the end
        {bytes({}), -1, -7, -7, -7},
        {bytes({0xFF}), -1, -7, -7, -7},
    };
    for (const Case &c : cases) {
        int fd = open_with("detect.bin", c.file);
        format_info fi{-7, -7, -7, -7, -7};
        EXPECT_EQ(check_audio_format(fd, &fi), c.result) << &c - cases;
        EXPECT_EQ(c.result == -1 ? -7 : c.rate, fi.rate) << &c - cases;
        EXPECT_TRUE(fi.channels == c.channels || c.channels == -7) << &c - cases;
        EXPECT_TRUE(fi.format == c.format || c.format == -7) << &c - cases;
        EXPECT_TRUE(c.result == -1 || lseek(fd, 0, SEEK_CUR) == (c.result == W ? 44 : 0)) << &c - cases;
        close(fd);
    }
    format_info fi{-7, -7, -7, -7, -7};
    int fd = open_with("short.wav", bytes({'R', 'I', 'F', 'F'}, 16));
    EXPECT_EQ(check_wav_file(fd, &fi) + lseek(fd, 0, SEEK_CUR), -1)
        << "a short header is refused and rewound";
    close(fd);
    // A descriptor that cannot seek (a pipe holding a WAV header, or a
    // frame header), and a frame header asked for past the end: refused,
    // the record untouched.
    const Bytes frame = bytes({0xFF, 0xFB, 0x90, 0x64});
    for (const Bytes &b : {wav_file(1, 8000, 16, Bytes(100)), frame}) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        ASSERT_EQ(write(p[1], b.data(), b.size()), ssize_t(b.size()));
        EXPECT_EQ(b.size() == 4 ? get_mp3_frame_para(p[0], 0, &fi) : check_wav_file(p[0], &fi), -1);
        close(p[0]), close(p[1]);
    }
    fd = open_with("frame.mp3", frame);
    EXPECT_EQ(get_mp3_frame_para(fd, 100, &fi), -1);
    close(fd);
    EXPECT_EQ(fi.rate + fi.channels + fi.file_type, -21);
}

TEST_F(Formats, WavHeaderUpdates)
{
    // The size fields grow by each update; the file offset is kept.
    int fd = open_with("hdr.wav", {}, O_RDWR);
    ASSERT_EQ(wav_init_header(fd, 2, 44100, 6), 0);
    EXPECT_EQ(read_file(gen_path("hdr.wav")), wav_header(2, 44100, 0)) << "a header for no data yet";
    ASSERT_EQ(Ka_Update_wav_size(fd, 1000), 44);
    lseek(fd, 123, SEEK_SET);
    ASSERT_EQ(Ka_Update_wav_size(fd, 320), 44);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 123);
    Bytes h = read_file(gen_path("hdr.wav"));
    EXPECT_EQ(h, wav_header(2, 44100, 1320));
    // Data appended by wav_write_file, down to one byte, and the header
    // update adds what the file holds past the header to the sizes.
    lseek(fd, 0, SEEK_END);
    EXPECT_EQ(wav_write_file(fd, "pcm", 1), 1);
    EXPECT_EQ(wav_write_file(fd, "pcm", 0), 0);
    EXPECT_EQ(wav_write_file(fd, nullptr, 2), -1);
    EXPECT_EQ(wav_update_header(fd), 0);
    h = read_file(gen_path("hdr.wav"));
    EXPECT_EQ(h.size(), 45u);
    EXPECT_EQ(Bytes(h.begin(), h.begin() + 44), wav_header(2, 44100, 1321));
    close(fd);
}

// Converts `in` with `fn` into `wav`.
int convert(const Bytes &in, int (*fn)(const char *, const char *), Bytes &wav)
{
    write_file(gen_path("conv.amr"), in);
    unlink(gen_path("conv.wav").c_str());
    const int r = fn(gen_path("conv.amr").c_str(), gen_path("conv.wav").c_str());
    wav = read_file(gen_path("conv.wav"));
    return r;
}

TEST_F(Formats, ConversionEqualsDirectDecodeAndEndsAsDescribed)
{
    // Whole files with SID and no-data frames (AMR-NB also with the other
    // systems' SID frame, type 9, which the encoder never writes); a frame
    // cut short is dropped; AMR-WB types 10..14 end the conversion.
    Bytes cut = amrnb_file(45), stop = amrwb_file(5), empty = bytes({'#', '!', 'A', 'M', 'R', '\n'});
    Bytes sid = amrnb_file(3), tail = amrnb_file(3);
    sid.push_back(9 << 3 | 4);
    sid.resize(sid.size() + 6, 0x55);
    sid.insert(sid.end(), tail.begin() + 6, tail.end());
    cut.resize(cut.size() - 3);
    stop.push_back(10 << 3);
    stop.resize(stop.size() + 60, 0x11);
    const struct {
        Bytes in;
        bool wide;
        int (*fn)(const char *, const char *);
        int frames;
    } cases[] = {{amrnb_file(90), false, DecodeAMRFileToWAVEFile, 90},
                 {amrnb_file(16, false, -1), false, AMRNB2WAVEFile, 16},
                 {amrwb_file(60), true, DecodeAMRFileToWAVEFile, 60},
                 {cut, false, AMRNB2WAVEFile, 44},
                 {stop, true, AMRWB2WAVEFile, 5},
                 {sid, false, AMRNB2WAVEFile, 7},
                 {empty, false, AMRNB2WAVEFile, 0}};
    for (const auto &k : cases) {
        Bytes ref = amr_decode(k.in, k.wide), wav;
        EXPECT_EQ(convert(k.in, k.fn, wav), k.frames);
        ASSERT_EQ(wav.size(), 44 + ref.size());
        EXPECT_TRUE(std::equal(ref.begin(), ref.end(), wav.begin() + 44));
        EXPECT_EQ(Bytes(wav.begin(), wav.begin() + 44), wav_header(1, k.wide ? 16000 : 8000, ref.size()));
    }
    ka_test::StderrCapture cap;
    Bytes wav;
    EXPECT_EQ(convert(bytes({'h', 'e', 'l', 'l', 'o', '!', '!', '!', '!'}), DecodeAMRFileToWAVEFile, wav),
              -1);
    EXPECT_TRUE(wav.empty());
    EXPECT_EQ(AMRNB2WAVEFile("/nonexistent/in.amr", "x.wav"), -1);
    EXPECT_EQ(AMRWB2WAVEFile(nullptr, "x.wav"), -1);
    EXPECT_EQ(DecodeAMRFileToWAVEFile(gen_path("conv.amr").c_str(), nullptr), -1);
    write_file(gen_path("conv.amr"), amrwb_file(2));
    EXPECT_EQ(DecodeAMRFileToWAVEFile(gen_path("conv.amr").c_str(), "/nonexistent/out.wav"), -1);
    EXPECT_TRUE(cap.has("Bad header, n=6, header=hello!\n") && cap.has("/nonexistent/in.amr: ") &&
                cap.has("Unable to open /nonexistent/out.wav\n"))
        << cap.text();
}

}  // namespace
