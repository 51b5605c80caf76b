// SPDX-License-Identifier: MIT
// ka-audio: command-line access to libka_lib_audio. Runs on the module as it
// is, and on a development host under `ka-board run -- ka-audio ...`.
#include <android/log.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "commands.h"
#include "ka_devices.h"
#include "ka_lib_audio.h"

namespace ka_tool {

static std::vector<Command> &registry()
{
    static std::vector<Command> cmds;
    return cmds;
}

void add_command(const Command &cmd)
{
    registry().push_back(cmd);
}
const std::vector<Command> &commands()
{
    return registry();
}

static int find_option(int argc, char **argv, const char *name, size_t *eq)
{
    size_t n = strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--", 2) != 0 || strncmp(argv[i] + 2, name, n) != 0) continue;
        char c = argv[i][2 + n];
        if (c == '\0' || c == '=') {
            *eq = (c == '=') ? 2 + n + 1 : 0;
            return i;
        }
    }
    return -1;
}

static void remove_args(int &argc, char **argv, int at, int count)
{
    for (int i = at; i + count <= argc; ++i) argv[i] = argv[i + count];
    argc -= count;
}

std::string take_option(int &argc, char **argv, const char *name, const std::string &def)
{
    size_t eq = 0;
    int i = find_option(argc, argv, name, &eq);
    if (i < 0) return def;
    if (eq) {
        std::string v = argv[i] + eq;
        remove_args(argc, argv, i, 1);
        return v;
    }
    if (i + 1 >= argc) {
        remove_args(argc, argv, i, 1);
        return def;
    }
    std::string v = argv[i + 1];
    remove_args(argc, argv, i, 2);
    return v;
}

bool take_flag(int &argc, char **argv, const char *name)
{
    size_t eq = 0;
    int i = find_option(argc, argv, name, &eq);
    if (i < 0) return false;
    remove_args(argc, argv, i, 1);
    return true;
}

bool known_device(const char *cmd, const std::string &device)
{
    if (device.empty() || ka_devices::find(device.c_str()) != nullptr) return true;
    std::string names;
    for (const auto &d : ka_devices::kDevices) names += std::string(" ") + d.name;
    fprintf(stderr, "ka-audio %s: unknown device '%s'; devices:%s (ka-audio devices describes them)\n", cmd,
            device.c_str(), names.c_str());
    return false;
}

int usage_error(const char *cmd, const char *message)
{
    fprintf(stderr, "ka-audio %s: %s\n", cmd, message);
    for (const auto &c : commands())
        if (strcmp(c.name, cmd) == 0) fprintf(stderr, "usage: ka-audio %s %s\n", c.name, c.args);
    return 2;
}

namespace {

bool g_verbose = false;
std::mutex g_log_mutex;
std::string g_last_error;

// Every line of the library comes here (from whichever thread logs it). The
// library's progress lines would interleave with the tool's own output, so
// they are shown only with -v; its error lines are kept so that a failing
// subcommand can name the cause in its one line.
void log_hook(const struct __android_log_message *m)
{
    if (!m || !m->message) return;
    if (g_verbose) {
        size_t n = strlen(m->message);
        fprintf(stderr, "%c/%s%s", m->priority >= ANDROID_LOG_ERROR ? 'E' : 'D', m->message,
                n && m->message[n - 1] == '\n' ? "" : "\n");
    }
    if (m->priority < ANDROID_LOG_ERROR) return;
    // "file[line]:text\n": keep the text.
    const char *text = strstr(m->message, "]:");
    std::string line = text ? text + 2 : m->message;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_last_error.empty()) g_last_error = line;  // the first names the cause
}

// Subcommands that reach the sound card. Outside the module (and outside the
// emulated board) its device nodes are missing; saying so beats the
// library's low-level failures.
bool needs_device(const char *cmd)
{
    static const char *const kOffline[] = {"version", "detect", "amr2wav", "devices"};
    for (const char *name : kOffline)
        if (strcmp(cmd, name) == 0) return false;
    return true;
}

bool device_present(const char *cmd)
{
    static const char kControl[] = "/dev/snd/controlC0";
    int fd = open(kControl, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    if (errno == EBUSY) return true;  // there, but in use: the command reports that itself
    fprintf(
        stderr,
        "ka-audio %s: cannot open %s: %s (not on the module? on a PC run: ka-board run -- ka-audio %s ...)\n",
        cmd, kControl, strerror(errno), cmd);
    return false;
}

}  // namespace

bool refuse_directory(const char *cmd, const char *path)
{
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    fprintf(stderr, "ka-audio %s: %s: is a directory\n", cmd, path);
    return true;
}

void reset_library_error()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_last_error.clear();
}

std::string last_library_error()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_last_error;
}

}  // namespace ka_tool

// The first argument of a command (before "--") that looks like an option
// its synopsis does not name, or nullptr. No command takes a short option;
// a lone "-" and negative numbers are arguments.
static const char *unknown_option(const ka_tool::Command &c, int argc, char **argv)
{
    for (int i = 2; i < argc; ++i) {
        const char *a = argv[i];
        if (strcmp(a, "--") == 0) break;
        if (a[0] != '-' || !(a[1] == '-' || isalpha(static_cast<unsigned char>(a[1])))) continue;
        if (a[1] != '-') return a;
        const std::string name(a, 2 + strcspn(a + 2, "="));
        bool named = false;
        for (const char *p = strstr(c.args, name.c_str()); p && !named; p = strstr(p + 1, name.c_str())) {
            const char end = p[name.size()];
            named = !isalnum(static_cast<unsigned char>(end)) && end != '-';
        }
        if (!named) return a;
    }
    return nullptr;
}

static const char kDeviceNote[] =
    "--device takes a device name (default hw:0,0); ka-audio devices lists them.\n";

static void print_usage(FILE *out)
{
    fprintf(out,
            "usage: ka-audio [-v] COMMAND [ARGS]\n       ka-audio COMMAND --help\n\n"
            "  -v, --verbose  show the library's log lines on standard error\n\ncommands:\n");
    std::vector<ka_tool::Command> sorted = ka_tool::commands();
    std::sort(sorted.begin(), sorted.end(), [](const ka_tool::Command &a, const ka_tool::Command &b) {
        return strcmp(a.name, b.name) < 0;
    });
    for (const auto &c : sorted) fprintf(out, "  %s %s\n      %s\n", c.name, c.args, c.summary);
    fprintf(out, "\n%s", kDeviceNote);
}

int main(int argc, char **argv)
{
    // -v before the command: the library's log lines are shown.
    while (argc > 1 && (strcmp(argv[1], "-v") == 0 || strcmp(argv[1], "--verbose") == 0)) {
        ka_tool::g_verbose = true;
        --argc;
        ++argv;
    }
    __android_log_set_logger(ka_tool::log_hook);
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
        strcmp(argv[1], "help") == 0) {
        print_usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const auto &c : ka_tool::commands()) {
        if (strcmp(c.name, argv[1]) != 0) continue;
        for (int i = 2; i < argc; ++i) {
            if (strcmp(argv[i], "--") == 0) break;
            if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
                printf("usage: ka-audio [-v] %s %s\n  %s\n", c.name, c.args, c.summary);
                if (strstr(c.args, "--device") != nullptr) printf("%s", kDeviceNote);
                return 0;
            }
        }
        if (const char *bad = unknown_option(c, argc, argv)) {
            fprintf(stderr, "ka-audio %s: unknown option '%s' (ka-audio %s --help shows the usage)\n", c.name,
                    bad, c.name);
            return 2;
        }
        if (ka_tool::needs_device(c.name) && !ka_tool::device_present(c.name)) return 1;
        return c.run(argc - 1, argv + 1);
    }
    fprintf(stderr, "ka-audio: unknown %s '%s' (ka-audio --help lists the commands)\n",
            argv[1][0] == '-' ? "option" : "command", argv[1]);
    return 2;
}
