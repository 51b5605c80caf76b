// SPDX-License-Identifier: MIT
// The run report of ka-board: a static page made from a trace file.
#pragma once

#include <istream>
#include <string>

namespace ka_report {

// Makes DIR/index.html from the trace file at `trace` (the board's events,
// one JSON object per line, and the launcher's "run" and "exit" lines). The
// devices' WAV files are looked for where the trace says, then beside the
// trace. 0, or -1 with the reason in *error.
int make_report(const std::string &trace, const std::string &dir, std::string *error);

// The page make_report writes, without writing anything: the trace's lines
// come from `in`, `trace` names the trace file (the WAV files are looked for
// beside it, and the page links to it) and `dir` the folder the page is meant
// for. 0 with the page in *page, or -1 with the reason in *error.
int report_page(std::istream &in, const std::string &trace, const std::string &dir, std::string *page,
                std::string *error);

// Escapes `s` for a JSON string (without the quotes).
std::string json_escape(const std::string &s);

}  // namespace ka_report
