// SPDX-License-Identifier: MIT
// Performance gate that does not depend on the machine: instruction counts,
// taken by valgrind's callgrind, of the library playing a 5 s MP3, AMR-NB,
// AMR-WB and WAV file against the bare decode of the same file by the codec
// library (for WAV: a read and copy loop of its bytes). Prints per format
//   instructions: <fmt> library <N> bare <M> ratio <R>
// and exits non-zero when a ratio exceeds its format's limit (kRatioLimit;
// kWavRatioLimit for WAV, which has no decode) or a run fails.
//
// What is counted. Each figure is the instruction total of one process
// (every thread, every object: program, library, codec libraries, libc,
// dynamic linker) run under callgrind, minus the total of the same program
// run with the same start-up and board set-up that then plays nothing. So
// start-up, board set-up and process exit cancel out, and what is left is
//  - library: Ka_AudPlayer_PlayFile of the file on the default device at
//    unlimited board speed, to the end of the play (the file play's main
//    thread, decode thread and play thread, the ring buffer, the stream set-
//    up through the platform's ALSA client, the library's log formatting);
//  - bare: the bare loop of media.cpp on the same file.
// Left out of the library's count is the emulated module's kernel side: the
// board's handling of the device nodes (ioctl, open, close, path lookup:
// callgrind's --toggle-collect on the board's entry points), which on the
// module runs in the kernel. That is also where the board copies what is
// played into its record of the device; its output to disk stays off. Symbol
// binding is done at load (LD_BIND_NOW) so that it, too, is start-up work.
//
//   instructions [--limit R] [--media DIR]
//     --limit R (or KA_INSTR_LIMIT=R) replaces every limit, for experiments
//     only; --media DIR is where the media and callgrind's files go (default:
//     $KA_TEST_GEN/instructions, else the build's testdata/instructions).
//     `callgrind_annotate DIR/<fmt>-play.out` shows where a count goes.
#include <android/log.h>
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ka_board.h"
#include "ka_lib_audio.h"
#include "media.h"

extern char **environ;

namespace {

using namespace ka_bench;

// The most a file play may cost, as a multiple of the bare decode.
constexpr double kRatioLimit = 1.05;
// A WAV file has no decode: its bare loop is the 512-byte reads and a copy
// (about 0.18 M instructions for 5 s), while the library's path adds, per
// byte, what it adds for every format: the ring buffer's put and get, the
// play thread's period writes, their locks (about 0.9 M). Measured 6.30 to
// 6.68 (how often the threads wait for each other moves it); the limit
// keeps that path from growing by more than about a fifth, which for the
// decoded formats would hide in their 1.05.
constexpr double kWavRatioLimit = 8.0;

// The board's entry points into its emulation of the module's kernel side;
// none of them calls another (callgrind toggles on each entry).
constexpr const char *kBoardKernelSide[] = {"kbi_ioctl", "kbi_open_node", "kbi_close", "kbi_classify"};

// Each format's limit, in the order of kGateFormats.
constexpr double kLimits[kGateFormatCount] = {kRatioLimit, kRatioLimit, kRatioLimit, kWavRatioLimit};

// The library's log is kept quiet, but its last error messages are kept to
// show when a play fails.
char g_errors[4][160];
unsigned g_error_count;
void keep_errors(const struct __android_log_message *m)
{
    if (m->priority < ANDROID_LOG_ERROR) return;
    char *slot = g_errors[g_error_count++ % 4];
    strncpy(slot, m->message, sizeof g_errors[0] - 1);
}
void show_errors()
{
    for (unsigned i = g_error_count > 4 ? g_error_count - 4 : 0; i < g_error_count; ++i)
        fprintf(stderr, "  library: %s", g_errors[i % 4]);
}

// ---- The counted processes ---------------------------------------------------------

bool g_play;        // this process plays a file
size_t g_expected;  // PCM bytes the play must hand to the device

// At exit, after the last thread: a play must have ended normally and the
// device must have received at least the file's PCM. Every process makes the
// same count, so that it cancels out.
void check_play()
{
    uint64_t bytes = 0;
    for (int d = 0; d < KB_MAX_DEVICES; ++d) {
        kb_pcm_stats info{};
        if (kb_pcm_get_stats(d, KB_PLAYBACK, &info) == 0) bytes += info.bytes;
    }
    if (g_play && (!g_finished || bytes < g_expected)) {
        fprintf(stderr, "instructions: the play did not finish (finished %d, %llu of %zu bytes played)\n",
                int(g_finished.load()), (unsigned long long)bytes, g_expected);
        show_errors();
        _exit(3);
    }
}

// instructions --child none|play|bare FMT FILE EXPECTED_BYTES
int child(int argc, char **argv)
{
    if (argc < 3) return 2;
    std::string mode = argv[2];
    __android_log_set_logger(keep_errors);
    kb_reset();
    kb_set_speed(0);
    kb_set_output_dir(nullptr);
    atexit(check_play);
    // Each mode ends its main thread with pthread_exit: the process ends,
    // and check_play runs, when its last thread has ended. No waiting loop
    // whose length would depend on timing.
    if (mode == "none") pthread_exit(nullptr);
    if (argc < 6) return 2;
    const GateFormat *fmt = gate_format(argv[3]);
    if (!fmt) return 2;
    std::string path = argv[4];
    g_expected = strtoull(argv[5], nullptr, 10);
    if (mode == "bare") {
        if (fmt->bare(path) != g_expected) {
            fprintf(stderr, "instructions: the bare %s loop decoded another length\n", fmt->name);
            return 3;
        }
        pthread_exit(nullptr);
    }
    if (mode != "play") return 2;
    g_play = true;
    int fd;
    if (start_play(path, &fd) < 0) return 3;
    pthread_exit(nullptr);
}

// ---- The gate ------------------------------------------------------------------------

// The instruction total of `args` run under callgrind; -1 when it fails.
// `tmp` is made empty for the run: the board makes its folder there after
// looking through it for stale ones, which must not depend on what else is
// in the machine's temporary folder.
long long count(const std::string &out, const std::string &tmp, const std::vector<std::string> &args)
{
    std::error_code ec;
    std::filesystem::remove_all(tmp, ec);
    std::filesystem::create_directories(tmp, ec);
    // Threads take valgrind's lock in turn (--fair-sched): how often the decode
    // thread waits on the full ring then varies far less from run to run.
    std::vector<std::string> cmd{"valgrind", "--tool=callgrind", "-q", "--fair-sched=yes",
                                 "--callgrind-out-file=" + out};
    for (const char *fn : kBoardKernelSide) cmd.push_back(std::string("--toggle-collect=") + fn);
    // After the toggles, which would otherwise turn collection off at start.
    cmd.push_back("--collect-atstart=yes");
    cmd.insert(cmd.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : cmd) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Symbols bound at load; the board configured by the program alone.
    std::vector<std::string> env{"LD_BIND_NOW=1", "TMPDIR=" + tmp};
    for (char **e = environ; *e; ++e)
        if (strncmp(*e, "LD_BIND_NOW=", 12) != 0 && strncmp(*e, "TMPDIR=", 7) != 0 &&
            strncmp(*e, "KA_BOARD_", 9) != 0)
            env.push_back(*e);
    std::vector<char *> envp;
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, "valgrind", nullptr, nullptr, argv.data(), envp.data()) != 0) {
        fprintf(stderr, "instructions: cannot run valgrind (scripts/install-deps.sh installs it)\n");
        return -1;
    }
    int status;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "instructions: run failed:");
        for (size_t i = 0; i + 1 < argv.size(); ++i) fprintf(stderr, " %s", argv[i]);
        fprintf(stderr, "\n");
        return -1;
    }
    std::ifstream f(out);
    std::string line;
    long long total = -1;
    while (std::getline(f, line))
        if (line.rfind("totals:", 0) == 0 || (total < 0 && line.rfind("summary:", 0) == 0))
            total = atoll(line.c_str() + line.find(':') + 1);
    if (total < 0) fprintf(stderr, "instructions: no total in %s\n", out.c_str());
    return total;
}

std::string media_dir(const char *arg)
{
    if (arg) return arg;
    if (const char *gen = getenv("KA_TEST_GEN")) return std::string(gen) + "/instructions";
    return KA_BENCH_TESTDATA "/instructions";
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--child") == 0) return child(argc, argv);

    double limit = 0;  // 0: each format's own limit
    const char *media = nullptr;
    if (const char *v = getenv("KA_INSTR_LIMIT")) limit = atof(v);
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--limit") == 0 && i + 1 < argc)
            limit = atof(argv[++i]);
        else if (strcmp(argv[i], "--media") == 0 && i + 1 < argc)
            media = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--limit RATIO] [--media DIR]\n", argv[0]);
            return 2;
        }
    }
    if (limit > 0) printf("instructions: limit %.3f for every format (for experiments only)\n", limit);

    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    std::string dir = media_dir(media);
    if (!make_gate_media(dir)) return 2;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 2;
    self[n] = 0;

    std::string tmp = dir + "/tmp";
    long long none = count(dir + "/none.out", tmp, {self, "--child", "none"});
    if (none < 0) return 2;
    bool ok = true;
    for (int i = 0; i < kGateFormatCount; ++i) {
        const GateFormat &f = kGateFormats[i];
        std::string file = gate_file(dir, f), expected = std::to_string(f.bare(file));
        long long play =
            count(dir + "/" + f.name + "-play.out", tmp, {self, "--child", "play", f.name, file, expected});
        long long bare =
            count(dir + "/" + f.name + "-bare.out", tmp, {self, "--child", "bare", f.name, file, expected});
        if (play < 0 || bare <= none) {
            printf("instructions: %s not counted (a run failed)\n", f.name);
            ok = false;
            continue;
        }
        long long lib = play - none, base = bare - none;
        double ratio = double(lib) / double(base);
        double most = limit > 0 ? limit : kLimits[i];
        printf("instructions: %s library %lld bare %lld ratio %.3f (limit %.2f)\n", f.name, lib, base, ratio,
               most);
        fflush(stdout);
        if (ratio > most) ok = false;
    }
    timespec t1;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("instructions: %s (start-up subtracted: %lld; %.1f s)\n", ok ? "passed" : "FAILED", none,
           double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9);
    return ok ? 0 : 1;
}
