// SPDX-License-Identifier: MIT
// The ka-board launcher's parts (ka_board_launcher.cpp: the options, the
// program's environment and the end of a run; launcher_run.cpp: the trace
// lines, and running the program with its signals and its watch).
#pragma once

#include <string>

namespace ka_launcher {

// Removes the run's folder of the module's files.
void remove_root(const std::string &root);

// One line of the trace, in the board's own form ("t", "pid", "seq", "ev");
// `truncate` starts the file with its header.
bool trace_line(const std::string &trace, const std::string &kind, const std::string &fields, bool truncate);
// The run's "run" line: the whole command, the program (from argv[program]),
// and the board's settings as the options made them.
std::string run_fields(int argc, char **argv, int program);
// The "exit" line's fields for a wait status.
std::string exit_fields(int status);

// Runs `argv` (the program and its arguments) with the signals meant for the
// run passed on to it and a watch that ends its tree if the launcher is
// killed; *status gets its wait status. -1 (said why) when it cannot start.
int run_program(char **argv, const std::string &root, const std::string &trace, const std::string &report_dir,
                int *status);

}  // namespace ka_launcher
