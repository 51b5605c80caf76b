// SPDX-License-Identifier: MIT
// The trace reader of `ka-board report` and the page made from what it read:
// arbitrary trace lines (JSON objects, one a line, as the board and the
// launcher write them; a killed run leaves a cut last line).
//
// Input: the trace file's contents.
//
// The page looks for the devices' WAV files where the trace says; the paths
// are the input's. While a page is made, stat() (the report's test for a
// WAV file) finds nothing, through the linker's --wrap of stat: no file of
// the machine is read or put right.
#include <errno.h>
#include <stdint.h>
#include <sys/stat.h>

#include <sstream>
#include <string>

#include "../board/report/report.h"

namespace {
bool g_no_files = false;
}

extern "C" int __real_stat(const char *path, struct stat *st);
extern "C" int __wrap_stat(const char *path, struct stat *st)
{
    if (g_no_files) {
        errno = ENOENT;
        return -1;
    }
    return __real_stat(path, st);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    std::string page, error;
    g_no_files = true;
    const int rc = ka_report::report_page(in, "/nonexistent/ka-fuzz/trace.jsonl",
                                          "/nonexistent/ka-fuzz/report", &page, &error);
    g_no_files = false;
    if (rc == 0) {
        // One whole page.
        static const std::string kEnd = "</table></body></html>\n";
        if (page.rfind("<!DOCTYPE html>", 0) != 0 || page.size() < kEnd.size() ||
            page.compare(page.size() - kEnd.size(), kEnd.size(), kEnd) != 0)
            __builtin_trap();
    } else if (rc != -1 || error.empty()) {
        __builtin_trap();
    }
    return 0;
}
