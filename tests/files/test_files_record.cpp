// Recording to WAV and AMR-NB files: once the recording has ended the file
// is complete and closed, whatever came next on the device.
#include "files_test.h"

using namespace files_test;
using player_test::eventually;

namespace {

class FileRecord : public FileTest {
protected:
    static uint64_t captured()
    {
        struct kb_pcm_info info {};
        kb_pcm_info(0, KB_CAPTURE, &info);
        return info.bytes;
    }
    // Captures at least `bytes` more, then stops and closes the recorder.
    static void record(int hdl, uint64_t bytes)
    {
        ASSERT_EQ(hdl, 0);
        uint64_t until = captured() + bytes;
        EXPECT_TRUE(eventually([&] { return captured() >= until; }));
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
// failed read by itself, the file (made anew over an older one) is finished
// and closed at once, holding exactly what was captured before the failure;
// the recorder reports the error, closes normally, and the device records
// again.
TEST_F(FileRecord, CaptureFailingPartWayFinishesTheFile)
{
    constexpr int kGoodReads = 5;
    for (int type : {AUD_FILE_WAV, AUD_FILE_AMRNB}) {
        SCOPED_TRACE(type);
        restart();
        g_calls.clear();
        g_store = type == AUD_FILE_WAV ? __ka_wav_write_file_cb : __ka_amrnb_write_file_cb;
        kb_capture_tone(0, 440, 8000);
        kb_fault(KB_FAULT_PCM_READ, 0, kGoodReads, 1, EIO);
        std::string path = gen_path(type == AUD_FILE_WAV ? "partway.wav" : "partway.amr");
        write_file(path, Bytes(100000, 1));
        ASSERT_EQ(Ka_AudRecorder_RecordFile(nullptr, path.c_str(), type, 1, 8000, 2, recording_cb), 0);
        // Nobody stops it: the failure alone ends it and closes the file.
        ASSERT_TRUE(eventually(
            [&] { return log.count("Read pcm error") == 1 && proc_entries("/proc/self/fd", path) == 0; }));
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
            EXPECT_EQ(
                (std::vector<uint32_t>{le(f, 4), le(f, 20, 2), le(f, 22, 2), le(f, 24), le(f, 34, 2),
                                       le(f, 40)}),
                (std::vector<uint32_t>{uint32_t(f.size() - 8), 1, 1, 8000, 16, uint32_t(f.size() - 44)}));
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
            EXPECT_EQ(frames * 320, size_t(kGoodReads) * period) << "one frame per 20 ms captured";
        }

        Ka_AudRecorder_HStop(0);
        Ka_AudRecorder_HClose(0);
        EXPECT_TRUE(player_test::recorder_closed(0));
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

// A recording started on the handle of a running one finishes that one's
// file first.
TEST_F(FileRecord, NextRecordingFinishesTheFirstFile)
{
    kb_capture_tone(0, 300, 5000);
    std::string first = gen_path("first.wav"), second = gen_path("second.amr");
    ASSERT_EQ(Ka_AudRecorder_RecordWAV(nullptr, first.c_str(), 1, 8000, 2), 0);
    ASSERT_TRUE(eventually([] { return captured() >= 4000; }));
    ASSERT_EQ(Ka_AudRecorder_RecordAMRNB(nullptr, second.c_str()), 0) << "same handle";
    EXPECT_GE(complete(first).size(), 44u + 4000u);
    record(0, 4000);
    EXPECT_EQ(proc_entries("/proc/self/fd", second), 0);
    EXPECT_GT(read_file(second).size(), 6u);
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
