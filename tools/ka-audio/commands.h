// SPDX-License-Identifier: MIT
// ka-audio: one program, many subcommands. Each family of subcommands lives
// in a file of its own and registers itself here at start-up.
#pragma once

#include <string>
#include <vector>

namespace ka_tool {

struct Command {
    const char *name;                   // e.g. "play"
    const char *args;                   // one-line argument synopsis
    const char *summary;                // one-line description
    int (*run)(int argc, char **argv);  // argv[0] is the subcommand name
};

// Registers a subcommand; used through a static Registrar in each file.
void add_command(const Command &cmd);
const std::vector<Command> &commands();

struct Registrar {
    explicit Registrar(const Command &cmd) { add_command(cmd); }
};

// Small helpers shared by the subcommands.
// Parses "--name=value" or "--name value" style options in place; returns the
// value of option `name` or `def`. Removes the option from argv.
std::string take_option(int &argc, char **argv, const char *name, const std::string &def);
bool take_flag(int &argc, char **argv, const char *name);
int usage_error(const char *cmd, const char *message);

// Whether `device` is a name the library's players and recorders take (an
// empty one stands for the default, hw:0,0). Otherwise prints one line that
// lists the valid names and returns false; the caller exits with 2.
bool known_device(const char *cmd, const std::string &device);

// True, after one line "ka-audio CMD: PATH: is a directory", when `path` is
// a directory.
bool refuse_directory(const char *cmd, const char *path);

// The library's first error line (priority 6) since the last reset, as its
// log hook saw it, without the source position and the line end; empty when
// there was none. The hook shows every library line on standard error only
// with -v.
std::string last_library_error();
void reset_library_error();

struct MediaHeader;
// Length in seconds of an audio file of the given file type code, read from
// the file's structure (0 when unknown); `h` is its header (media_header.h).
// Reads through pread: the descriptor's offset is kept.
double media_length(int fd, int type, const MediaHeader &h);

}  // namespace ka_tool
