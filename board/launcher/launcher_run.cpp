// SPDX-License-Identifier: MIT
// ka-board run: the trace's own lines, and the program run with the signals
// meant for it passed on and a watch that outlives a killed launcher.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
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

#include "../report/report.h"
#include "../src/kb_json.h"
#include "launcher.h"

namespace ka_launcher {
namespace {

volatile sig_atomic_t g_child = 0;

void forward(int sig)
{
    if (g_child > 0) kill(g_child, sig);
}

constexpr int kForwarded[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
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

}  // namespace

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

int run_program(char **argv, const std::string &root, const std::string &trace, const std::string &report_dir,
                int *status)
{
    // The signals are blocked from before the fork until the handler that
    // passes them on is in place: one that comes in between waits and is
    // then passed on, rather than lost. The program starts with the mask the
    // launcher had.
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : kForwarded) sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, &old);
    pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        fprintf(stderr, "ka-board: fork: %s\n", strerror(err));
        return -1;
    }
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        execvp(argv[0], argv);
        fprintf(stderr, "ka-board: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    g_child = pid;
    for (int sig : kForwarded) signal(sig, forward);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    int done_fd = -1;
    const pid_t watch = start_watch(pid, root, trace, report_dir, &done_fd);
    *status = 0;
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    if (done_fd >= 0) {
        // The program ended: the watch goes.
        const char byte = 1;
        (void)!write(done_fd, &byte, 1);
        close(done_fd);
        while (waitpid(watch, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    return 0;
}

}  // namespace ka_launcher
