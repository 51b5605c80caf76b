// Recording to WAV and AMR-NB files: once the recorder is closed the file is
// complete and closed, whatever came next on the device.
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
