// SPDX-License-Identifier: MIT
// ka-board: runs a program on the emulated module.
//
//   ka-board run [options] -- PROGRAM [ARGS...]
//   ka-board report TRACE DIR
//
// Sets the board's KA_BOARD_* environment from the options, puts
// libka_board into LD_PRELOAD (after any sanitizer runtime already there,
// which must stay first) and runs the program. The module's files (the sysfs
// codec node, the command files) live in one folder that the launcher makes
// for the run and removes afterwards, so that every process of the program's
// tree sees the same module.
//
// With --report (or --trace) the board's events go to a trace file, which
// the launcher opens with a "run" line (the command and the board options)
// and closes with an "exit" line after the program has ended, however it
// ended; --report then makes the page from it (board/report). A launcher
// that is killed takes the program's tree with it (start_watch, launcher_run.cpp).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "../src/kb_files.h"
#include "../src/kb_json.h"
#include "../report/heard.h"
#include "../report/report.h"
#include "launcher.h"

namespace ka_launcher {

void remove_root(const std::string &root)
{
    for (const char *f : kb::kBoardFiles) unlink((root + f).c_str());
    for (const char *f : kb::kSeenFiles) unlink((root + f).c_str());
    for (int i = int(std::size(kb::kBoardDirs)) - 1; i >= 0; --i) rmdir((root + kb::kBoardDirs[i]).c_str());
    rmdir(root.c_str());
}

}  // namespace ka_launcher

using namespace ka_launcher;

namespace {

constexpr const char *kUsage =
    "usage: ka-board run [options] -- PROGRAM [ARGS...]\n"
    "       ka-board report TRACE DIR\n"
    "       ka-board --help\n"
    "\n"
    "Runs PROGRAM on the emulated module: sound card 0 (PCM devices 0..31 in both\n"
    "directions, the control device), the codec on I2C, the sysfs codec node and the\n"
    "audio service's command files, all emulated in the program's own process.\n"
    "\n"
    "options:\n"
    "  --speed X      clock of the PCM devices: 1 real time, 2 twice as fast,\n"
    "                 0 as fast as the program goes (default 1)\n"
    "  --out DIR      keep what each playback device played out (what a speaker\n"
    "                 sounded) as DIR/pcmC0D<N>p.wav and, where that differs, what\n"
    "                 it received as DIR/pcmC0D<N>p.received.wav; what capture\n"
    "                 devices hand out as DIR/pcmC0D<N>c.wav (DIR is made if need be)\n"
    "  --period-ms N  the devices' smallest period, in ms (default 20)\n"
    "  --buffer-ms N  the devices' largest buffer, in ms (default 80); a program\n"
    "                 that sets only a lower bound on the period time gets exactly\n"
    "                 these (N may be fractional)\n"
    "  --codec TEXT   text of the sysfs codec node, or 'none' for no node\n"
    "                 (default: an ALC5616 on bus 2 at 0x1b)\n"
    "  --capture SRC  what capture devices record: silence, tone:FREQ[:AMP],\n"
    "                 wav:PATH, or alsa[:PCM] for the computer's microphone through\n"
    "                 alsa-lib (default silence)\n"
    "  --speaker[=PCM]  also play every playback stream live on the computer through\n"
    "                 alsa-lib PCM (default 'default'); the devices' clock then\n"
    "                 follows the host's\n"
    "  --files LIST   command files present: 'data,run' (default), 'data', 'run', 'none'\n"
    "  --fault RULE   make calls fail: NAME[@DEVICE]:SKIP:COUNT[:ERRNO], where NAME is\n"
    "                 pcm_open, pcm_ready, pcm_hw_params, pcm_sw_params, pcm_prepare,\n"
    "                 pcm_start, pcm_write, pcm_read, ctl_open, ctl_read, ctl_write,\n"
    "                 i2c_open or i2c_transfer; after SKIP calls, COUNT calls fail\n"
    "                 (-1: all) with ERRNO (default EIO). May be given several times.\n"
    "  --log          the board reports what it does on standard error, and the run\n"
    "                 ends with what each playback device played out\n"
    "  --trace FILE   write the board's events to FILE, one JSON object a line\n"
    "  --report DIR   after the program ends (however it ends), make DIR/index.html:\n"
    "                 a timeline of what the program did to the module, and each\n"
    "                 device's audio with waveform, spectrogram and levels; the trace\n"
    "                 goes to DIR/trace.jsonl and, without --out, the WAVs to DIR\n"
    "\n"
    "ka-board report TRACE DIR makes the page again from a trace file (the WAV\n"
    "files are looked for where the trace says, then beside it).\n"
    "\n"
    "environment: KA_BOARD_LIB names the board library to preload instead of the\n"
    "one found next to this program.\n";

bool exists(const std::string &p)
{
    return !p.empty() && access(p.c_str(), R_OK) == 0;
}

std::string self_dir()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string s(buf);
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? "." : s.substr(0, slash);
}

std::string find_library()
{
    if (const char *e = getenv("KA_BOARD_LIB"); e && *e) return e;
    std::string dir = self_dir();
    // Installed under any prefix (the lib folder as seen from the bin folder),
    // or run from the build tree.
    for (const std::string &p :
         {dir + "/" KA_BOARD_REL_LIB, dir + "/../lib/libka_board.so.0", dir + "/libka_board.so.0"})
        if (exists(p)) return p;
#ifdef KA_BOARD_BUILD_LIB
    if (exists(KA_BOARD_BUILD_LIB)) return KA_BOARD_BUILD_LIB;
#endif
#ifdef KA_BOARD_INSTALL_LIB
    if (exists(KA_BOARD_INSTALL_LIB)) return KA_BOARD_INSTALL_LIB;
#endif
    return {};
}

// The host sound bridge (ka-board-audio), or "".
std::string find_bridge()
{
    if (const char *e = getenv("KA_BOARD_AUDIO_BRIDGE"); e && *e) return e;
    std::string dir = self_dir();
    for (const std::string &p : {dir + "/ka-board-audio", dir + "/bridge/ka-board-audio"})
        if (access(p.c_str(), X_OK) == 0) return p;
#ifdef KA_BOARD_REL_BRIDGE
    // Installed under any prefix: the bridge's folder as seen from bin.
    if (std::string p = dir + "/" KA_BOARD_REL_BRIDGE; access(p.c_str(), X_OK) == 0) return p;
#endif
#ifdef KA_BOARD_BUILD_BRIDGE
    if (access(KA_BOARD_BUILD_BRIDGE, X_OK) == 0) return KA_BOARD_BUILD_BRIDGE;
#endif
#ifdef KA_BOARD_INSTALL_BRIDGE
    if (access(KA_BOARD_INSTALL_BRIDGE, X_OK) == 0) return KA_BOARD_INSTALL_BRIDGE;
#endif
    return {};
}

// Whether host PCM `pcm` opens for `dir` ("play" or "capture"). The bridge
// says why not, once for the run; the run then goes on without host sound.
bool host_sound_works(const std::string &bridge, const std::string &pcm, const char *dir)
{
    if (bridge.empty()) {
        fprintf(stderr,
                "ka-board: no host sound: ka-board-audio is not installed (alsa-lib was "
                "missing when the board was built); the run goes on without it\n");
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        execl(bridge.c_str(), bridge.c_str(), "probe", pcm.c_str(), dir, (char *)nullptr);
        fprintf(stderr, "ka-board: no host sound: cannot run %s: %s; the run goes on without it\n",
                bridge.c_str(), strerror(errno));
        _exit(127);
    }
    int status = 0;
    if (pid < 0) return false;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool is_sanitizer_runtime(std::string_view lib)
{
    for (std::string_view s : {"libasan", "libtsan", "libubsan", "liblsan", "libhwasan", "libclang_rt."})
        if (lib.find(s) != std::string_view::npos) return true;
    return false;
}

// LD_PRELOAD with the board library placed after any sanitizer runtime.
std::string preload_with(const std::string &board, const char *current)
{
    std::vector<std::string> first, rest;
    std::string_view v(current ? current : "");
    while (!v.empty()) {
        size_t end = v.find_first_of(": ");
        std::string_view item = v.substr(0, end);
        if (!item.empty() && item != board) (is_sanitizer_runtime(item) ? first : rest).emplace_back(item);
        if (end == std::string_view::npos) break;
        v = v.substr(end + 1);
    }
    std::string out;
    auto add = [&out](const std::string &s) {
        if (!out.empty()) out += ':';
        out += s;
    };
    for (const auto &s : first) add(s);
    add(board);
    for (const auto &s : rest) add(s);
    return out;
}

using kb::kBoardDirs;
using kb::kCodecNode;
using kb::kDataFile;
using kb::kRunFile;

bool write_text(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// The run's folder with the files as the options ask for them; "" on failure.
std::string make_root(const char *codec, const char *files)
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/ka-board-run.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) return {};
    std::string root = buf.data();
    for (const char *d : kBoardDirs) mkdir((root + d).c_str(), 0755);
    if (!codec || strcmp(codec, "none") != 0) {
        std::string text = codec ? codec : "alc5616-codec.2-001b";
        if (text.empty() || text.back() != '\n') text += '\n';
        write_text(root + kCodecNode, text);
    }
    std::string_view list(files ? files : "data,run");
    if (list.find("data") != std::string_view::npos) write_text(root + kDataFile, "");
    if (list.find("run") != std::string_view::npos) write_text(root + kRunFile, "");
    return root;
}

std::string absolute(const std::string &p)
{
    std::error_code ec;
    std::filesystem::path a = std::filesystem::absolute(p, ec);
    return ec ? p : a.lexically_normal().string();
}

int usage_error(const std::string &msg)
{
    fprintf(stderr, "ka-board: %s (ka-board --help shows the usage)\n", msg.c_str());
    return 2;
}

int report_command(int argc, char **argv)
{
    if (argc != 4) return usage_error("report needs TRACE and DIR");
    std::string error;
    if (ka_report::make_report(argv[2], argv[3], &error) != 0) {
        fprintf(stderr, "ka-board: %s\n", error.c_str());
        return 1;
    }
    fprintf(stderr, "ka-board: report in %s/index.html\n", argv[3]);
    return 0;
}

// What `ka-board run` was asked for besides the board's settings (which go
// straight to its KA_BOARD_* environment).
struct RunOptions {
    std::string faults, report_dir, trace;
    std::string own_trace;  // a trace of the launcher's own, for --log's closing lines
    int program = 0;        // index of PROGRAM in argv
};

// `run`'s options. -1 to go on, or the exit code.
int parse_options(int argc, char **argv, RunOptions &o)
{
    // People running a program on the board hear it at the sample clock;
    // tests that link the board choose their own speed.
    setenv("KA_BOARD_SPEED", "1", 0);
    int i = 2;
    for (; i < argc; ++i) {
        std::string_view a(argv[i]);
        if (a == "--") {
            ++i;
            break;
        }
        if (a.size() < 2 || a.substr(0, 2) != "--") break;
        if (a == "--log") {
            setenv("KA_BOARD_LOG", "1", 1);
            continue;
        }
        if (a == "--help") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--speaker" || a.rfind("--speaker=", 0) == 0) {
            std::string pcm(a.size() > 10 ? a.substr(10) : "default");
            setenv("KA_BOARD_SPEAKER", pcm.c_str(), 1);
            continue;
        }
        static constexpr std::string_view kValued[] = {"--speed", "--period-ms", "--buffer-ms", "--out",
                                                       "--codec", "--capture",   "--files",     "--report",
                                                       "--trace", "--fault"};
        if (std::find(std::begin(kValued), std::end(kValued), a) == std::end(kValued))
            return usage_error(std::string("unknown option '") + argv[i] + "'");
        if (i + 1 >= argc) return usage_error(std::string("option ") + argv[i] + " needs a value");
        const char *val = argv[++i];
        if (a == "--speed") {
            char *end = nullptr;
            double s = strtod(val, &end);
            if (!end || *end || s < 0) return usage_error(std::string("bad speed '") + val + "'");
            setenv("KA_BOARD_SPEED", val, 1);
        } else if (a == "--period-ms" || a == "--buffer-ms") {
            char *end = nullptr;
            double ms = strtod(val, &end);
            if (!end || *end || !(ms > 0) || ms > 1e6)
                return usage_error(std::string("bad ") + argv[i - 1] + " '" + val + "'");
            setenv(a == "--period-ms" ? "KA_BOARD_PERIOD_MS" : "KA_BOARD_BUFFER_MS", val, 1);
        } else if (a == "--out") {
            setenv("KA_BOARD_OUT", absolute(val).c_str(), 1);
        } else if (a == "--codec") {
            setenv("KA_BOARD_CODEC", val, 1);
        } else if (a == "--capture") {
            std::string_view c(val);
            if (c != "silence" && c.rfind("tone:", 0) != 0 && c.rfind("wav:", 0) != 0 && c != "alsa" &&
                c.rfind("alsa:", 0) != 0)
                return usage_error(std::string("bad capture source '") + val + "'");
            setenv("KA_BOARD_CAPTURE", val, 1);
        } else if (a == "--files") {
            setenv("KA_BOARD_FILES", val, 1);
        } else if (a == "--report") {
            o.report_dir = absolute(val);
        } else if (a == "--trace") {
            o.trace = absolute(val);
        } else if (a == "--fault") {
            if (!o.faults.empty()) o.faults += ',';
            o.faults += val;
        } else {
            return usage_error(std::string("unknown option '") + argv[i - 1] + "'");
        }
    }
    if (!o.faults.empty()) setenv("KA_BOARD_FAULTS", o.faults.c_str(), 1);
    if (i >= argc) return usage_error("no program given");
    o.program = i;
    return -1;
}

// Makes a folder the run writes into; false (said why) when it cannot.
bool make_folder(const std::string &dir)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!ec) return true;
    fprintf(stderr, "ka-board: cannot make %s: %s\n", dir.c_str(), ec.message().c_str());
    return false;
}

// The folders the run writes into and the trace's "run" line. -1 to go on,
// or the exit code.
int prepare_outputs(int argc, char **argv, RunOptions &o)
{
    if (!o.report_dir.empty()) {
        if (!make_folder(o.report_dir)) return 127;
        if (o.trace.empty()) o.trace = o.report_dir + "/trace.jsonl";
        if (!getenv("KA_BOARD_OUT")) setenv("KA_BOARD_OUT", o.report_dir.c_str(), 1);
    }
    // The board opens the WAV files there and would write nothing without it.
    if (const char *out = getenv("KA_BOARD_OUT"); out && *out && !make_folder(out)) return 127;
    // --log ends with what each playback device played out, read from the
    // trace: without a trace asked for, the launcher keeps one of its own.
    if (o.trace.empty() && getenv("KA_BOARD_LOG")) o.trace = o.own_trace = ka_report::temp_trace();
    if (!o.trace.empty()) {
        if (!trace_line(o.trace, "run", run_fields(argc, argv, o.program), true)) {
            fprintf(stderr, "ka-board: cannot write %s: %s\n", o.trace.c_str(), strerror(errno));
            return 127;
        }
        setenv("KA_BOARD_TRACE", o.trace.c_str(), 1);
    }
    return -1;
}

// Host sound: checked once here, so that a machine without it gets one
// message and the program runs as without the options. Whether it is on.
bool set_up_host_sound()
{
    bool host_sound = false;
    const char *speaker = getenv("KA_BOARD_SPEAKER");
    const char *capture = getenv("KA_BOARD_CAPTURE");
    bool alsa_capture = capture && (!strcmp(capture, "alsa") || !strncmp(capture, "alsa:", 5));
    if (!(speaker && *speaker) && !alsa_capture) return false;
    std::string bridge = find_bridge();
    if (speaker && *speaker) {
        if (host_sound_works(bridge, speaker, "play"))
            host_sound = true;
        else
            unsetenv("KA_BOARD_SPEAKER");
    }
    if (alsa_capture) {
        std::string pcm = capture[4] == ':' && capture[5] ? capture + 5 : "default";
        if (host_sound_works(bridge, pcm, "capture"))
            host_sound = true;
        else
            setenv("KA_BOARD_CAPTURE", "silence", 1);
    }
    if (host_sound) setenv("KA_BOARD_AUDIO_BRIDGE", bridge.c_str(), 1);
    // The bridges outlive the processes that start them (they play out
    // what is queued): they come back to the launcher, which waits for them.
    if (host_sound) prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    return host_sound;
}

// The end of a run, however the program ended: the host bridges played out,
// the folder removed, the trace's "exit" line, the page; then the launcher
// ends as the program did.
int finish(int status, bool host_sound, const std::string &root, const RunOptions &o)
{
    if (host_sound) {
        // The host bridges play out (a buffer or two); anything else the
        // program left running is not waited for more than 10 s.
        for (int waited = 0; waited < 1000; ++waited) {
            pid_t r = waitpid(-1, nullptr, WNOHANG);
            if (r < 0 && errno != EINTR) break;
            if (r == 0) usleep(10000);
        }
    }
    remove_root(root);
    if (!o.trace.empty()) trace_line(o.trace, "exit", exit_fields(status), false);
    if (getenv("KA_BOARD_LOG") && !o.trace.empty()) fputs(ka_report::heard_log(o.trace).c_str(), stderr);
    if (!o.own_trace.empty()) unlink(o.own_trace.c_str());
    if (!o.report_dir.empty()) {
        std::string error;
        if (ka_report::make_report(o.trace, o.report_dir, &error) != 0)
            fprintf(stderr, "ka-board: no report: %s\n", error.c_str());
        else
            fprintf(stderr, "ka-board: report in %s/index.html\n", o.report_dir.c_str());
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

int run_command(int argc, char **argv)
{
    RunOptions o;
    if (int rc = parse_options(argc, argv, o); rc >= 0) return rc;
    if (int rc = prepare_outputs(argc, argv, o); rc >= 0) return rc;
    std::string lib = find_library();
    if (lib.empty()) {
        fprintf(stderr, "ka-board: cannot find libka_board.so.0 (set KA_BOARD_LIB)\n");
        return 127;
    }
    const bool host_sound = set_up_host_sound();
    std::string root = make_root(getenv("KA_BOARD_CODEC"), getenv("KA_BOARD_FILES"));
    if (root.empty()) {
        fprintf(stderr, "ka-board: cannot make the module's folder: %s\n", strerror(errno));
        return 127;
    }
    setenv("KA_BOARD_ROOT", root.c_str(), 1);
    setenv("LD_PRELOAD", preload_with(lib, getenv("LD_PRELOAD")).c_str(), 1);
    int status = 0;
    if (run_program(argv + o.program, root, o.trace, o.report_dir, &status) < 0) {
        remove_root(root);
        return 127;
    }
    return finish(status, host_sound, root, o);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return usage_error("no command given");
    std::string_view cmd(argv[1]);
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "report") return report_command(argc, argv);
    if (cmd == "run") return run_command(argc, argv);
    return usage_error(std::string(cmd[0] == '-' ? "unknown option '" : "unknown command '") + argv[1] + "'");
}
