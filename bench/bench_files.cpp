// SPDX-License-Identifier: MIT
// Audio file costs, as CPU time per second of audio, each against a baseline
// measured in the same run on the same file (media and bare loops: media.h):
//  - Ka_AudPlayer_PlayFile on the board at unlimited speed (decode thread,
//    play thread, ring buffer and the emulated device) and the module's
//    decode thread alone (through the data-write contract, into a null
//    sink), against a bare decode loop of the same codec library;
//  - MP3 also against ffmpeg's decoder, where ffmpeg is installed;
//  - AMR to WAV conversion against a bare decode-and-fwrite loop;
//  - heap allocations of a decode thread for a file and for the same file
//    twice as long: equal counts mean no allocation per frame.
// Prints a table; nothing is asserted.
#include <android/log.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrwb/dec_if.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "ka_board.h"
#include "ka_lib_audio.h"
#include "media.h"

// ---- Counting allocator ---------------------------------------------------------

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
static std::atomic<long> g_allocs{0};
extern "C" void *malloc(size_t n)
{
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t a, size_t b)
{
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(a, b);
}
extern "C" void *realloc(void *p, size_t n)
{
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

namespace {

using namespace ka_bench;

std::string g_dir;

double cpu_now()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Least CPU time of a few runs.
double cpu_of(const std::function<void()> &fn, int runs = 3)
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        double t0 = cpu_now();
        fn();
        double t = cpu_now() - t0;
        if (t < best) best = t;
    }
    return best;
}

void bare_amr2wav(const std::string &in, const std::string &out, bool wide)
{
    FILE *o = fopen(out.c_str(), "wb");
    const uint8_t hdr[44] = {};
    fwrite(hdr, 1, sizeof hdr, o);
    bare_amr(in, wide, o);
    fclose(o);
}

// ---- Through the library ----------------------------------------------------------

void play_file(const std::string &path)
{
    kb_reset();
    kb_set_speed(0);
    int fd;
    int h = start_play(path, &fd);
    if (h < 0) return;
    ka_pctx *pctx = __ka_hdl2pctx(h);
    while (!(g_finished && __atomic_load_n(&pctx->state, __ATOMIC_RELAXED) == CTX_CLOSED)) {
        timespec ts{0, 200000};
        nanosleep(&ts, nullptr);
    }
    close(fd);
}

int null_write(int, void *buf, uint32_t len)
{
    if (len) g_sink = g_sink + static_cast<uint8_t *>(buf)[0];
    return 0;
}

using StartFn = int (*)(int, int, ka_data_write_cb, pthread_t *);

Bytes g_collected;
int collect_write(int, void *buf, uint32_t len)
{
    auto *p = static_cast<uint8_t *>(buf);
    g_collected.insert(g_collected.end(), p, p + len);
    return 0;
}

// The player and the board alone: the decoded PCM pushed from memory, as the
// decode thread would, then the stop of the end of the data.
void player_alone(const Bytes &pcm, int channels, unsigned rate)
{
    kb_reset();
    kb_set_speed(0);
    g_finished = false;
    int h = Ka_AudPlayer_OpenExt(nullptr, finished_cb, 0, channels, rate, 2);
    Ka_AudPlayer_Play(h, pcm.data(), unsigned(pcm.size()));
    Ka_AudPlayer_Stop(h);
    while (!g_finished) {
        timespec ts{0, 200000};
        nanosleep(&ts, nullptr);
    }
    Ka_AudPlayer_Close(h);
}

void decode_thread(StartFn start, const std::string &path, off_t offset)
{
    int fd = open(path.c_str(), O_RDONLY);
    lseek(fd, offset, SEEK_SET);
    pthread_t tid;
    if (start(0, fd, null_write, &tid) == 0) pthread_join(tid, nullptr);
    close(fd);
}

double child_cpu()
{
    rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void quiet(const struct __android_log_message *) {}

struct Media {
    const char *name;
    std::string path;
    StartFn start;
    off_t offset;
    std::function<void()> bare;
    double seconds;
};

void row(const char *what, double t, double base, double seconds)
{
    printf("  %-34s %8.2f ms/s audio   x%.2f\n", what, 1000 * t / seconds, t / base);
}

}  // namespace

int main()
{
    __android_log_set_logger(quiet);
    g_dir = "/tmp/ka_bench_files";
    if (system(("mkdir -p " + g_dir).c_str()) != 0) return 1;
    constexpr int kSeconds = 30;
    fprintf(stderr, "making media (%d s each)...\n", kSeconds);
    std::vector<Media> media;
    std::string wav = g_dir + "/b.wav", nb = g_dir + "/b.amr", wb = g_dir + "/b.awb", mp3 = g_dir + "/b.mp3";
    write_file(wav, wav_file(2, 44100, synth(2, 44100, 44100 * kSeconds)));
    write_file(nb, amrnb_file(kSeconds));
    write_file(wb, amrwb_file(kSeconds));
    media.push_back({"WAV 44.1k stereo", wav, start_ka_wav_decode, 44, [&] { bare_wav(wav); }, kSeconds});
    media.push_back({"AMR-NB 12.2k", nb, start_ka_amrnb_decode, 0, [&] { bare_amr(nb, false); }, kSeconds});
    media.push_back({"AMR-WB 23.85k", wb, start_ka_amrwb_decode, 0, [&] { bare_amr(wb, true); }, kSeconds});
    if (mp3_from_wav(wav, mp3))
        media.push_back({"MP3 128k stereo", mp3, start_ka_mp3_decode, 0, [&] { bare_mp3(mp3); }, kSeconds});

    printf("CPU time per second of audio (ratio against the bare loop of the same run)\n");
    for (auto &m : media) {
        printf("%s\n", m.name);
        double base = cpu_of(m.bare);
        row("bare decode loop", base, base, m.seconds);
        row("decode thread, null sink", cpu_of([&] { decode_thread(m.start, m.path, m.offset); }), base,
            m.seconds);
        double play = cpu_of([&] { play_file(m.path); });
        row("Ka_AudPlayer_PlayFile on the board", play, base, m.seconds);
        // What the player and the emulated device cost on their own, so
        // that the file modules' share of the play shows.
        g_collected.clear();
        {
            int fd = open(m.path.c_str(), O_RDONLY);
            lseek(fd, m.offset, SEEK_SET);
            pthread_t tid;
            if (m.start(0, fd, collect_write, &tid) == 0) pthread_join(tid, nullptr);
            close(fd);
        }
        format_info fi{};
        int fd = open(m.path.c_str(), O_RDONLY);
        check_audio_format(fd, &fi);
        close(fd);
        Bytes pcm = g_collected;
        double alone = cpu_of([&] { player_alone(pcm, fi.channels, unsigned(fi.rate)); });
        row("player + board alone (PCM in memory)", alone, base, m.seconds);
        printf("  %-34s x%.2f\n", "PlayFile / (bare loop + player alone)", play / (base + alone));
        if (m.start == start_ka_mp3_decode && system("command -v ffmpeg >/dev/null 2>&1") == 0) {
            double best = 1e30;
            for (int i = 0; i < 3; ++i) {
                double c0 = child_cpu();
                if (system(("ffmpeg -v quiet -threads 1 -i " + mp3 + " -f s16le -y /dev/null").c_str()) != 0)
                    break;
                best = std::min(best, child_cpu() - c0);
            }
            if (best < 1e30) row("ffmpeg decoding to /dev/null", best, base, m.seconds);
        }
    }

    printf("AMR to WAV conversion\n");
    for (auto [name, in, wide] : {std::tuple{"AMR-NB", nb, false}, std::tuple{"AMR-WB", wb, true}}) {
        std::string out = g_dir + "/conv.wav";
        double base = cpu_of([&] { bare_amr2wav(in, out, wide); });
        double conv = cpu_of([&] { DecodeAMRFileToWAVEFile(in.c_str(), out.c_str()); });
        printf("%s\n", name);
        row("bare decode-and-fwrite loop", base, base, kSeconds);
        row("DecodeAMRFileToWAVEFile", conv, base, kSeconds);
    }

    printf("Heap allocations of one decode thread run (file, same file twice as long)\n");
    for (auto &m : media) {
        Bytes one = read_file(m.path);
        Bytes two = one;
        two.insert(two.end(),
                   one.begin() + (m.offset ? m.offset
                                           : (m.start == start_ka_amrwb_decode   ? 9
                                              : m.start == start_ka_amrnb_decode ? 6
                                                                                 : 0)),
                   one.end());
        std::string p2 = g_dir + "/twice.bin";
        write_file(p2, two);
        long a0 = g_allocs.load();
        decode_thread(m.start, m.path, m.offset);
        long a1 = g_allocs.load();
        decode_thread(m.start, p2, m.offset);
        long a2 = g_allocs.load();
        printf("  %-20s %ld allocations for %.0f s, %ld for %.0f s%s\n", m.name, a1 - a0, m.seconds, a2 - a1,
               2 * m.seconds, a1 - a0 == a2 - a1 ? "  (none per frame)" : "  (GROWS WITH LENGTH)");
    }
    return 0;
}
