// ka-audio: command-line access to libka_lib_audio. Runs on the module as it
// is, and on a development host under `ka-board run -- ka-audio ...`.
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "commands.h"
#include "ka_lib_audio.h"

namespace ka_tool {

static std::vector<Command> &registry()
{
    static std::vector<Command> cmds;
    return cmds;
}

void add_command(const Command &cmd) { registry().push_back(cmd); }
const std::vector<Command> &commands() { return registry(); }

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

int usage_error(const char *cmd, const char *message)
{
    fprintf(stderr, "ka-audio %s: %s\n", cmd, message);
    for (const auto &c : commands())
        if (strcmp(c.name, cmd) == 0) fprintf(stderr, "usage: ka-audio %s %s\n", c.name, c.args);
    return 2;
}

}  // namespace ka_tool

static void print_usage(FILE *out)
{
    fprintf(out, "usage: ka-audio COMMAND [ARGS]\n\ncommands:\n");
    std::vector<ka_tool::Command> sorted = ka_tool::commands();
    std::sort(sorted.begin(), sorted.end(),
              [](const ka_tool::Command &a, const ka_tool::Command &b) { return strcmp(a.name, b.name) < 0; });
    for (const auto &c : sorted) fprintf(out, "  %s %s\n      %s\n", c.name, c.args, c.summary);
}

int main(int argc, char **argv)
{
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0) {
        print_usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const auto &c : ka_tool::commands())
        if (strcmp(c.name, argv[1]) == 0) return c.run(argc - 1, argv + 1);
    fprintf(stderr, "ka-audio: unknown command '%s'\n", argv[1]);
    print_usage(stderr);
    return 2;
}
