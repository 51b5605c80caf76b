// SPDX-License-Identifier: MIT
// The contents of the audio service's command files ("/data/alsaucm_test",
// "/run/alsaucm_test"). The library only tests that one exists and has the
// shell write a line into it; nothing on the module side that this project
// has reads them. What reads their contents is the board: it notices a
// changed file at the next open, system() or exit, and puts the contents into
// a "file_changed" event of its trace (JSON-escaped, the first 256 bytes);
// `ka-board report` reads that line back and shows the text. This target
// runs contents through that whole way: written through the board's files,
// noticed by the board, traced, and read into a report page, which must show
// the contents as they were written, in one event (none for no change).
//
// Input: a first byte of flags (bit 0: the /run file instead of /data; bit
// 1: the same contents written again, which is no change; bit 2: the file
// removed afterwards), then the contents.
//
// The board (libka_board, linked before libc) is not instrumented; the
// report's reader is.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "../board/report/report.h"
#include "../board/src/kb_json.h"
#include "ka_board.h"

namespace {

std::string g_dir;    // scratch folder of the trace
std::string g_trace;  // the trace file

void remove_scratch()
{
    unlink(g_trace.c_str());
    rmdir(g_dir.c_str());
}

void write_all(const char *path, int flags, const std::string &text)
{
    int fd = open(path, flags, 0644);
    if (fd < 0) __builtin_trap();  // a present folder takes the file, as /data and /run do
    for (size_t done = 0; done < text.size();) {
        ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w <= 0) __builtin_trap();
        done += size_t(w);
    }
    close(fd);
}

// An open for reading: the board looks at its files again.
void look(const char *path)
{
    int fd = open(path, O_RDONLY);
    if (fd >= 0) close(fd);
}

std::string html(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

size_t count(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size()))
        ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The board's files and the trace are rewritten for every input. On a
    // disk each truncated file is written out at its close (ext4), and the
    // target waited for the disk most of the time: the files go to memory
    // when the machine has /dev/shm (the board makes its folder later, at
    // its first use).
    if (!getenv("TMPDIR") && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/ka-fuzz-files.XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    g_dir = tmpl;
    g_trace = g_dir + "/trace.jsonl";
    atexit(remove_scratch);
    kb_set_trace(g_trace.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // From both files present and empty, as the board has seen them. The
    // board keeps every event in memory (kb_events): the reset also empties
    // that, so that nothing an input allocates outlives it.
    kb_reset();
    kb_set_trace(g_trace.c_str());
    if (truncate(g_trace.c_str(), 0) != 0) __builtin_trap();
    const unsigned flags = size > 0 ? data[0] : 0;
    const std::string contents =
        size > 0 ? std::string(reinterpret_cast<const char *>(data) + 1, size - 1) : "";
    const char *path = (flags & 1) ? "/run/alsaucm_test" : "/data/alsaucm_test";

    write_all(path, O_WRONLY | O_TRUNC, contents);
    look(path);
    if (flags & 2) {
        write_all(path, O_WRONLY | O_TRUNC, contents);
        look(path);
    }
    if (flags & 4) {
        kb_set_file_present(path, 0);
        look(path);
    }

    std::ifstream in(g_trace, std::ios::binary);
    std::string page, error;
    if (!in || ka_report::report_page(in, g_trace, g_dir, &page, &error) != 0) __builtin_trap();

    const std::string row = "<td class=\"ev\">";
    const std::string changed =
        row +
        html("file_changed path=" + std::string(path) + " size=" + std::to_string(contents.size()) +
             " text=" + kb::valid_utf8(contents.substr(0, 256))) +
        "</td>";
    // Empty contents are no change.
    const size_t changes = contents.empty() ? 0 : 1;
    if (count(page, row + "file_changed ") != changes || count(page, changed) != changes) __builtin_trap();
    const size_t removed = count(page, row + "file_removed path=" + path + "</td>");
    if (count(page, row + "file_removed ") != removed || removed != ((flags & 4) ? 1u : 0u)) __builtin_trap();
    return 0;
}
