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
// that is killed takes the program's tree with it (start_watch).
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
#include "../report/report.h"

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
    "  --log          the board reports what it does on standard error\n"
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
         {dir + "/" KA_BOARD_REL_LIB, dir + "/../lib/libka_board.so", dir + "/libka_board.so"})
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

void remove_root(const std::string &root)
{
    for (const char *f : kb::kBoardFiles) unlink((root + f).c_str());
    for (const char *f : kb::kSeenFiles) unlink((root + f).c_str());
    for (int i = int(std::size(kBoardDirs)) - 1; i >= 0; --i) rmdir((root + kBoardDirs[i]).c_str());
    rmdir(root.c_str());
}

volatile sig_atomic_t g_child = 0;

void forward(int sig)
{
    if (g_child > 0) kill(g_child, sig);
}

int usage_error(const std::string &msg);

int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One line of the trace, in the board's own form ("t", "pid", "seq", "ev").
bool trace_line(const std::string &trace, const std::string &kind, const std::string &fields, bool truncate)
{
    const int64_t t = monotonic_ns();
    std::string line = "{\"t\":" + std::to_string(t) + ",\"pid\":" + std::to_string(getpid()) +
                       ",\"seq\":0,\"ev\":\"" + kind + "\"" + fields + "}\n";
    if (truncate) line = kb::trace_header(t, getpid()) + line;
    int fd = open(trace.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644);
    if (fd < 0) return false;
    bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    return ok;
}

std::string jstr(const std::string &s)
{
    return "\"" + ka_report::json_escape(s) + "\"";
}

std::string json_list(char **items, int count)
{
    std::string s = "[";
    for (int i = 0; i < count; ++i) s += (i ? "," : "") + jstr(items[i]);
    return s + "]";
}

// The run's "run" line: the whole command, the program, and the board's
// settings as the options made them.
std::string run_fields(int argc, char **argv, int program)
{
    std::string opts;
    for (const char *name :
         {"KA_BOARD_SPEED", "KA_BOARD_PERIOD_MS", "KA_BOARD_BUFFER_MS", "KA_BOARD_OUT", "KA_BOARD_CODEC",
          "KA_BOARD_CAPTURE", "KA_BOARD_FILES", "KA_BOARD_FAULTS", "KA_BOARD_LOG", "KA_BOARD_SPEAKER"})
        if (const char *v = getenv(name)) opts += (opts.empty() ? "" : ",") + jstr(name) + ":" + jstr(v);
    char cwd[PATH_MAX];
    std::string dir = getcwd(cwd, sizeof cwd) ? cwd : "";
    return ",\"argv\":" + json_list(argv, argc) +
           ",\"program\":" + json_list(argv + program, argc - program) + ",\"options\":{" + opts +
           "},\"cwd\":" + jstr(dir);
}

std::string exit_fields(int status)
{
    if (WIFSIGNALED(status)) {
        const char *abbrev = sigabbrev_np(WTERMSIG(status));
        return ",\"status\":\"killed\",\"signal\":" + std::to_string(WTERMSIG(status)) +
               ",\"signal_name\":" + jstr(std::string("SIG") + (abbrev ? abbrev : "?")) +
               (WCOREDUMP(status) ? ",\"core_dumped\":true" : "");
    }
    return ",\"status\":\"exited\",\"code\":" + std::to_string(WEXITSTATUS(status));
}

std::string absolute(const std::string &p)
{
    std::error_code ec;
    std::filesystem::path a = std::filesystem::absolute(p, ec);
    return ec ? p : a.lexically_normal().string();
}

// The processes of the program's tree: every process whose environment
// names the run's folder (they all inherit KA_BOARD_ROOT from the program).
std::vector<pid_t> tree_of(const std::string &root)
{
    std::vector<pid_t> pids;
    const std::string want = "KA_BOARD_ROOT=" + root;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = pid_t(atol(name.c_str()));
        if (pid == getpid()) continue;
        std::ifstream env(entry.path() / "environ", std::ios::binary);
        for (std::string var; std::getline(env, var, '\0');)
            if (var == want) {
                pids.push_back(pid);
                break;
            }
    }
    return pids;
}

// The launcher's watch: a child of its own that waits on a pipe whose other
// end only the launcher holds. The launcher writes one byte there once the
// program has ended; when the pipe closes without it, the launcher was
// killed: the watch ends the program's whole tree, writes the end into the
// trace, removes the run's folder and makes the page. So the program never
// outlives the launcher, and the trace says why it ended.
pid_t start_watch(pid_t program, const std::string &root, const std::string &trace,
                  const std::string &report_dir, int *done_fd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t watch = fork();
    if (watch != 0) {
        close(fds[0]);
        if (watch < 0) close(fds[1]);
        *done_fd = watch < 0 ? -1 : fds[1];
        return watch;
    }
    close(fds[1]);
    // Signals meant for the run reach the launcher, which passes them on.
    for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGPIPE}) signal(sig, SIG_IGN);
    char byte = 0;
    ssize_t n;
    while ((n = read(fds[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    if (n == 1) _exit(0);
    kill(program, SIGKILL);
    int ended = 1;
    for (int round = 0; round < 50; ++round) {
        std::vector<pid_t> rest = tree_of(root);
        if (rest.empty()) break;
        for (pid_t p : rest) ended += kill(p, SIGKILL) == 0;
        usleep(20000);
    }
    remove_root(root);
    if (!trace.empty())
        trace_line(trace, "exit", ",\"status\":\"launcher_killed\",\"killed\":" + std::to_string(ended),
                   false);
    std::string error;
    if (!report_dir.empty() && ka_report::make_report(trace, report_dir, &error) != 0)
        fprintf(stderr, "ka-board: no report: %s\n", error.c_str());
    _exit(0);
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

int usage_error(const std::string &msg)
{
    fprintf(stderr, "ka-board: %s (ka-board --help shows the usage)\n", msg.c_str());
    return 2;
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
    if (cmd != "run")
        return usage_error(std::string(cmd[0] == '-' ? "unknown option '" : "unknown command '") + argv[1] +
                           "'");
    // People running a program on the board hear it at the sample clock;
    // tests that link the board choose their own speed.
    setenv("KA_BOARD_SPEED", "1", 0);

    std::string faults, report_dir, trace, out_dir;
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
            out_dir = absolute(val);
            setenv("KA_BOARD_OUT", out_dir.c_str(), 1);
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
            report_dir = absolute(val);
        } else if (a == "--trace") {
            trace = absolute(val);
        } else if (a == "--fault") {
            if (!faults.empty()) faults += ',';
            faults += val;
        } else {
            return usage_error(std::string("unknown option '") + argv[i - 1] + "'");
        }
    }
    if (!faults.empty()) setenv("KA_BOARD_FAULTS", faults.c_str(), 1);
    if (i >= argc) return usage_error("no program given");
    for (const std::string &dir : {out_dir, report_dir}) {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::create_directories(dir, ec);
        if (ec) {
            fprintf(stderr, "ka-board: cannot make %s: %s\n", dir.c_str(), ec.message().c_str());
            return 127;
        }
    }
    if (!report_dir.empty()) {
        if (trace.empty()) trace = report_dir + "/trace.jsonl";
        if (!getenv("KA_BOARD_OUT")) setenv("KA_BOARD_OUT", report_dir.c_str(), 1);
    }
    if (!trace.empty()) {
        if (!trace_line(trace, "run", run_fields(argc, argv, i), true)) {
            fprintf(stderr, "ka-board: cannot write %s: %s\n", trace.c_str(), strerror(errno));
            return 127;
        }
        setenv("KA_BOARD_TRACE", trace.c_str(), 1);
    }

    std::string lib = find_library();
    if (lib.empty()) {
        fprintf(stderr, "ka-board: cannot find libka_board.so (set KA_BOARD_LIB)\n");
        return 127;
    }
    // Host sound: checked once here, so that a machine without it gets one
    // message and the program runs as without the options.
    bool host_sound = false;
    const char *speaker = getenv("KA_BOARD_SPEAKER");
    const char *capture = getenv("KA_BOARD_CAPTURE");
    bool alsa_capture = capture && (!strcmp(capture, "alsa") || !strncmp(capture, "alsa:", 5));
    if ((speaker && *speaker) || alsa_capture) {
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
    }
    std::string root = make_root(getenv("KA_BOARD_CODEC"), getenv("KA_BOARD_FILES"));
    if (root.empty()) {
        fprintf(stderr, "ka-board: cannot make the module's folder: %s\n", strerror(errno));
        return 127;
    }
    setenv("KA_BOARD_ROOT", root.c_str(), 1);
    setenv("LD_PRELOAD", preload_with(lib, getenv("LD_PRELOAD")).c_str(), 1);

    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "ka-board: fork: %s\n", strerror(errno));
        remove_root(root);
        return 127;
    }
    if (pid == 0) {
        execvp(argv[i], argv + i);
        fprintf(stderr, "ka-board: cannot run %s: %s\n", argv[i], strerror(errno));
        _exit(127);
    }
    g_child = pid;
    for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) signal(sig, forward);
    int done_fd = -1;
    const pid_t watch = start_watch(pid, root, trace, report_dir, &done_fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (done_fd >= 0) {
        // The program ended: the watch goes.
        const char byte = 1;
        (void)!write(done_fd, &byte, 1);
        close(done_fd);
        while (waitpid(watch, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
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
    if (!trace.empty()) trace_line(trace, "exit", exit_fields(status), false);
    if (!report_dir.empty()) {
        std::string error;
        if (ka_report::make_report(trace, report_dir, &error) != 0)
            fprintf(stderr, "ka-board: no report: %s\n", error.c_str());
        else
            fprintf(stderr, "ka-board: report in %s/index.html\n", report_dir.c_str());
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}
