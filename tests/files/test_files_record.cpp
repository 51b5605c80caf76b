// Recording to WAV and AMR-NB files: once the recorder is closed the file is
// complete and closed, whatever came next on the device.
#include <mutex>

#include "files_test.h"

using namespace files_test;

namespace {

class FileRecord : public FileTest {
protected:
    static uint64_t captured()
    {
        struct kb_pcm_info info{};
        kb_pcm_info(0, KB_CAPTURE, &info);
        return info.bytes;
    }
    // Captures at least `bytes` more, then stops and closes the recorder.
    static void record(int hdl, uint64_t bytes)
    {
        ASSERT_EQ(hdl, 0);
        uint64_t until = captured() + bytes;
        wait_until([&] { return captured() >= until; });
        Ka_AudRecorder_HStop(hdl);
        Ka_AudRecorder_HClose(hdl);
    }
    static Bytes complete(const std::string &path)
    {
        EXPECT_EQ(proc_entries("/proc/self/fd", path), 0) << "closed";
        Bytes w = read_file(path);
        EXPECT_TRUE(w.size() >= 44 && le(w, 4) == w.size() - 8 && le(w, 40) == w.size() - 44) << w.size();
        return w;
    }
};

TEST_F(FileRecord, WavHoldsTheToneAndReadsBack)
{
    kb_capture_tone(0, 440, 8000);
    std::string path = gen_path("rec.wav");
    write_file(path, Bytes(100000, 1));  // truncated by the recording
    record(Ka_AudRecorder_RecordWAV(nullptr, path.c_str(), 1, 8000, 2), 16000);
    Bytes w = complete(path);
    EXPECT_EQ((std::vector<uint32_t>{le(w, 22, 2), le(w, 24), le(w, 34, 2)}), (std::vector<uint32_t>{1, 8000, 16}));
    ASSERT_GE(w.size(), 44u + 16000u);
    for (size_t n = 0; 44 + 2 * n < w.size(); ++n)  // the board's tone from its first sample on
        ASSERT_EQ(int16_t(le(w, 44 + 2 * n, 2)), int16_t(lrint(8000 * sin(2 * M_PI * 440 * double(n) / 8000)))) << n;
    if (have_tool("soxi")) {
        EXPECT_EQ(run_output("soxi -r " + path + "; soxi -c " + path + "; soxi -s " + path),
                  "8000\n1\n" + std::to_string((w.size() - 44) / 2) + "\n");
    }
    if (have_tool("ffmpeg")) { EXPECT_EQ(run_output("ffmpeg -v error -i " + path + " -f s16le -").size(), w.size() - 44); }
}

TEST_F(FileRecord, AmrNbPlaysBack)
{
    kb_capture_tone(0, 700, 9000);
    std::string path = gen_path("rec.amr");
    record(Ka_AudRecorder_RecordAMRNB(nullptr, path.c_str()), 8000);
    EXPECT_EQ(proc_entries("/proc/self/fd", path), 0);
    Bytes a = read_file(path);
    ASSERT_GT(a.size(), 27u) << log.dump();
    size_t pos = 6, frames = 0;
    for (; pos < a.size(); ++frames) pos += 1 + size_t(amrnb_sizes[(a[pos] >> 3) & 15]);
    EXPECT_EQ(pos, a.size()) << "whole frames only";
    Bytes ref = amr_decode(a, false);
    EXPECT_EQ(ref.size(), frames * 320);

    kb_reset();
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(Ka_AudPlayer_PlayFile(nullptr, fd, 0, nullptr), 0);
    wait_until([&] { return log.count("File play main thread end") == 1; });
    EXPECT_TRUE(all_then_silence(played(), ref));
    close(fd);
}

TEST_F(FileRecord, NextRecordingAndReadFailureFinishTheFile)
{
    kb_capture_tone(0, 300, 5000);
    std::string first = gen_path("first.wav"), second = gen_path("second.amr");
    ASSERT_EQ(Ka_AudRecorder_RecordWAV(nullptr, first.c_str(), 1, 8000, 2), 0);
    wait_until([] { return captured() >= 4000; });
    ASSERT_EQ(Ka_AudRecorder_RecordAMRNB(nullptr, second.c_str()), 0) << "same handle";
    EXPECT_GE(complete(first).size(), 44u + 4000u);
    record(0, 4000);
    EXPECT_EQ(proc_entries("/proc/self/fd", second), 0);
    EXPECT_GT(read_file(second).size(), 6u);

    // A read failure ends the capture; the file covers what was stored.
    kb_reset();
    kb_fault(KB_FAULT_PCM_READ, 0, 5, -1, EIO);
    std::string path = gen_path("fail.wav");
    ASSERT_EQ(Ka_AudRecorder_RecordWAV(nullptr, path.c_str(), 1, 8000, 2), 0);
    wait_until([&] { return log.count("Read pcm error") == 1; });
    Ka_AudRecorder_HStop(0);
    Ka_AudRecorder_HClose(0);
    EXPECT_EQ(complete(path).size() - 44, captured());
}

std::mutex g_mutex;
std::vector<std::pair<int, unsigned>> g_calls;
int (*g_store)(int, void *, unsigned);
// The caller's own callback, storing through the file callback.
int recording_cb(int result, void *buf, unsigned len)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_calls.emplace_back(result, len);
    }
    return g_store(result, buf, len);
}

// Capture failing part way through a recording: the recording ends at the
// failed read by itself, the file is finished and closed at once, holding
// exactly what was captured before the failure; the recorder reports the
// error, closes normally, and the device records again.
TEST_F(FileRecord, CaptureFailingPartWayFinishesTheFile)
{
    constexpr int kGoodReads = 5;
    for (int type : {AUD_FILE_WAV, AUD_FILE_AMRNB}) {
        SCOPED_TRACE(type);
        kb_reset();
        log.clear();
        g_calls.clear();
        g_store = type == AUD_FILE_WAV ? __ka_wav_write_file_cb : __ka_amrnb_write_file_cb;
        kb_capture_tone(0, 440, 8000);
        kb_fault(KB_FAULT_PCM_READ, 0, kGoodReads, 1, EIO);
        std::string path = gen_path(type == AUD_FILE_WAV ? "partway.wav" : "partway.amr");
        ASSERT_EQ(Ka_AudRecorder_RecordFile(nullptr, path.c_str(), type, 1, 8000, 2, recording_cb), 0);
        // Nobody stops it: the failure alone ends it and closes the file.
        wait_until(
            [&] { return log.count("Read pcm error") == 1 && proc_entries("/proc/self/fd", path) == 0; });
        const std::string tail = "]:Read pcm error, hdl = 0\n";
        int errors = 0;
        for (const auto &l : log.lines())
            errors += l.prio == 6 && l.tag.empty() && l.text.rfind("ka_lib_audio[", 0) == 0 &&
                      l.text.size() > tail.size() && l.text.substr(l.text.size() - tail.size()) == tail;
        EXPECT_EQ(errors, 1) << log.dump();
        int code = 100;
        EXPECT_STREQ(Ka_AudRecorder_HGetState(0, &code), "AUD_RECORDER_ERROR");
        EXPECT_EQ(code, -1);

        struct kb_pcm_info info {};
        kb_pcm_info(0, KB_CAPTURE, &info);
        const unsigned period = info.period_bytes;
        ASSERT_GT(period, 0u);
        EXPECT_EQ(captured(), uint64_t(kGoodReads) * period) << "no read after the failure";
        std::vector<std::pair<int, unsigned>> calls(kGoodReads, {0, period});
        calls.emplace_back(-1, period);
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            EXPECT_EQ(g_calls, calls) << "data, then the failure; no end notification";
        }

        Bytes f = read_file(path);
        if (type == AUD_FILE_WAV) {
            ASSERT_EQ(f.size(), 44u + kGoodReads * period);
            EXPECT_EQ(le(f, 4), f.size() - 8);
            EXPECT_EQ(le(f, 40), f.size() - 44);
            for (size_t n = 0; 44 + 2 * n < f.size(); ++n)
                ASSERT_EQ(int16_t(le(f, 44 + 2 * n, 2)),
                          int16_t(lrint(8000 * sin(2 * M_PI * 440 * double(n) / 8000))))
                    << n;
        } else {
            ASSERT_GE(f.size(), 6u);
            EXPECT_EQ(Bytes(f.begin(), f.begin() + 6), (Bytes{'#', '!', 'A', 'M', 'R', '\n'}));
            size_t pos = 6, frames = 0;
            for (; pos < f.size(); ++frames) pos += 1 + size_t(amrnb_sizes[(f[pos] >> 3) & 15]);
            EXPECT_EQ(pos, f.size()) << "whole frames only";
            EXPECT_EQ(frames * 320, size_t(kGoodReads) * period) << "one frame per 20 ms captured";
        }

        Ka_AudRecorder_HStop(0);
        Ka_AudRecorder_HClose(0);
        EXPECT_EQ(__atomic_load_n(&audCtl.cctx[0].state, __ATOMIC_ACQUIRE), CTX_CLOSED);
        EXPECT_EQ(kb_pcm_state(0, KB_CAPTURE), -1);
        EXPECT_EQ(kb_open_fds(), 0);
        EXPECT_EQ(read_file(path), f) << "nothing more stored";
        EXPECT_EQ(log.count("Audio Recorder close failed"), 0);

        // The device records again.
        std::string again = gen_path("again.wav");
        record(Ka_AudRecorder_RecordWAV(nullptr, again.c_str(), 1, 8000, 2), 3200);
        EXPECT_GE(complete(again).size(), 44u + 3200u);
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
    record(Ka_AudRecorder_RecordFile(nullptr, path.c_str(), 2, 1, 8000, 2, nullptr), 3200);
    EXPECT_EQ(read_file(path), (Bytes{'#', '!', 'A', 'M', 'R', '\n'}));
}

}  // namespace
