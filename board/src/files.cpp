// SPDX-License-Identifier: MIT
// Files of the module that the board keeps in a private folder of its own
// (never the machine's): the sysfs codec node and the audio service's two
// command files. Their paths are redirected there; a file the board makes
// absent is simply missing from the folder, whose directories always exist
// (as /data, /run and the sysfs directory always exist on the module), so a
// shell redirection to an absent command file creates it, as it would there.
//
// system() runs the command with the real shell after replacing the command
// files' paths in its text by the board's copies.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <string_view>

#include "kb_files.h"
#include "kb_internal.h"
#include "kb_shim.h"

namespace kb {
namespace {

struct Files {
    std::string root;  // private folder, made on first use
    pid_t owner = 0;   // the process that removes it at exit (0: nobody)
    bool shared = false;
    bool own = false;  // kb_own_files(): never the launcher's folder again
    std::vector<std::string> commands;
};

Files &files()
{
    static Files *f = new Files();
    return *f;
}

bool write_file(const std::string &path, std::string_view text)
{
    int fd = kbi_real_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t w = kbi_real_write(fd, p, left);
        if (w <= 0) break;
        p += w;
        left -= size_t(w);
    }
    kbi_real_close(fd);
    return left == 0;
}

void make_dirs(const std::string &root, const char *rel)
{
    std::string p = root;
    std::string_view r(rel);
    size_t pos = 0;
    while ((pos = r.find('/', pos + 1)) != std::string_view::npos) {
        p = root + std::string(r.substr(0, pos));
        mkdir(p.c_str(), 0755);
    }
}

void remove_tree(const std::string &root)
{
    for (const char *p : kBoardFiles) unlink((root + p).c_str());
    for (const char *p : kSeenFiles) unlink((root + p).c_str());
    for (int i = int(std::size(kBoardDirs)) - 1; i >= 0; --i) rmdir((root + kBoardDirs[i]).c_str());
    rmdir(root.c_str());
}

// Folders of processes that ended without running their exit handlers (a
// program that calls _exit, a killed one) are removed by the next board.
void remove_stale(const std::string &tmp)
{
    DIR *d = opendir(tmp.c_str());
    if (!d) return;
    while (dirent *e = readdir(d)) {
        long pid = 0;
        char rest[16];
        if (sscanf(e->d_name, "ka-board.%ld.%15s", &pid, rest) != 2 || pid <= 0) continue;
        if (kill(pid_t(pid), 0) == 0 || errno != ESRCH) continue;
        remove_tree(tmp + "/" + e->d_name);
    }
    closedir(d);
}

// Events for the board files that changed since the last look (the board
// cannot see a program's own write() to them, only what they hold after).
// `quiet`: only take note (at a reset).
void note_changes_locked(bool quiet)
{
    Files &f = files();
    if (f.root.empty()) return;
    for (size_t i = 0; i < std::size(kSeenFiles); ++i) {
        std::string text, seen;
        long size = read_file(f.root + kBoardFiles[i], text);
        // "+" and the contents, or "-" for an absent file.
        std::string now = size < 0 ? std::string("-") : "+" + text;
        bool known = read_file(f.root + kSeenFiles[i], seen) >= 0;
        if (known && seen == now) continue;
        write_file(f.root + kSeenFiles[i], now);
        bool was_there = known && seen[0] == '+';
        if (quiet || !known) continue;
        if (size < 0) {
            if (was_there) Event("file_removed").str("path", kBoardFiles[i]);
            continue;
        }
        if (text.size() > 256) text.resize(256);
        Event("file_changed").str("path", kBoardFiles[i]).num("size", size).str("text", text);
    }
}

}  // namespace

long read_file(const std::string &path, std::string &out)
{
    out.clear();
    int fd = kbi_real_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    char buf[4096];
    for (;;) {
        ssize_t r = kbi_real_read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        out.append(buf, size_t(r));
    }
    kbi_real_close(fd);
    return long(out.size());
}

void files_note_changes()
{
    Guard g;
    note_changes_locked(false);
}

bool files_ensure_locked()
{
    Files &f = files();
    // A forked child goes on using its parent's folder (but leaves its
    // removal to the parent).
    if (!f.root.empty()) return true;
    // Under the launcher, every process of the program's tree shares the
    // launcher's folder (one module), which the launcher prepares and removes.
    // (The lock is held: only the real stat, never the interposed one, which
    // takes the lock for a path under /run or /data.)
    if (const char *r = getenv("KA_BOARD_ROOT"); r && *r && !f.own) {
        if (kbi_real_is_dir(r)) {
            f.root = r;
            f.shared = true;
            for (const char *p : kBoardFiles) make_dirs(f.root, p);
            return true;
        }
    }
    const char *t = getenv("TMPDIR");
    const std::string tmp = t && *t ? t : "/tmp";
    remove_stale(tmp);
    std::string tmpl = tmp + "/ka-board." + std::to_string(getpid()) + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) return false;
    f.root = buf.data();
    f.owner = getpid();
    for (const char *p : kBoardFiles) make_dirs(f.root, p);

    return true;
}

const std::string &files_root_locked() { return files().root; }

std::string files_copy_path_locked(const char *path)
{
    if (!path) return {};
    for (const char *p : kBoardFiles)
        if (strcmp(path, p) == 0) {
            if (!files_ensure_locked()) return {};
            return files().root + p;
        }
    return {};
}

void files_reset_locked(bool initial)
{
    const Config &c = config();
    files().commands.clear();
    if (!files_ensure_locked()) return;
    if (initial && files().shared) {  // the launcher set the files up
        note_changes_locked(false);
        return;
    }
    const std::string &root = files().root;
    if (c.codec_present) write_file(root + kCodecNode, c.codec_text);
    else unlink((root + kCodecNode).c_str());
    const bool present[] = {c.data_file, c.run_file};
    const char *names[] = {kDataFile, kRunFile};
    for (int i = 0; i < 2; ++i) {
        if (present[i]) write_file(root + names[i], "");
        else unlink((root + names[i]).c_str());
    }
    note_changes_locked(true);
}

void files_exit()
{
    std::string root;
    {
        Guard g;
        note_changes_locked(false);
        Files &f = files();
        if (f.root.empty() || f.owner != getpid()) return;
        root = f.root;
    }
    remove_tree(root);
}

int board_system(const char *cmd)
{
    ensure_init();
    std::string text(cmd);
    {
        Guard g;
        files().commands.push_back(text);
        for (const char *p : {kDataFile, kRunFile}) {
            std::string copy = files_copy_path_locked(p);
            if (copy.empty()) continue;
            size_t len = strlen(p);
            for (size_t pos = text.find(p); pos != std::string::npos;
                 pos = text.find(p, pos + copy.size()))
                text.replace(pos, len, copy);
        }
    }
    Event("system").str("command", cmd);
    int status = kbi_real_system(text.c_str());
    Event("system_done").num("status", status);
    files_note_changes();
    return status;
}

}  // namespace kb

using namespace kb;

extern "C" {

void kbi_note_open(const char *path, int flags)
{
    if (!path) return;
    files_note_changes();
    int acc = flags & O_ACCMODE;
    const char *mode = acc == O_RDONLY ? "read" : acc == O_WRONLY ? "write" : "read-write";
    Event e(strncmp(path, "/sys/", 5) == 0 ? "node_open" : "file_open");
    e.str("path", path).str("mode", mode);
    if (flags & O_TRUNC) e.num("truncate", 1);
    if (flags & O_APPEND) e.num("append", 1);
}

void kb_set_codec_node(const char *text)
{
    ensure_init();
    Guard g;
    if (!files_ensure_locked()) return;
    std::string path = files().root + kCodecNode;
    if (text) write_file(path, text);
    else unlink(path.c_str());
}

void kb_own_files(void)
{
    ensure_init();
    Guard g;
    Files &f = files();
    if (f.owner == getpid() && !f.shared) return;
    f.root.clear();
    f.shared = false;
    f.own = true;
    files_reset_locked(false);  // a new folder, with the defaults
}

void kb_set_file_present(const char *path, int present)
{
    ensure_init();
    Guard g;
    if (!path || (strcmp(path, kDataFile) != 0 && strcmp(path, kRunFile) != 0)) return;
    std::string copy = files_copy_path_locked(path);
    if (copy.empty()) return;
    if (!present) {
        unlink(copy.c_str());
        return;
    }
    write_file(copy, "");  // present means present and empty
}

long kb_file_contents(const char *path, char *out, size_t cap)
{
    ensure_init();
    std::string copy;
    {
        Guard g;
        copy = files_copy_path_locked(path);
    }
    std::string text;
    if (copy.empty() || read_file(copy, text) < 0) return -1;
    if (out && cap > 0) {
        size_t k = std::min(cap - 1, text.size());
        memcpy(out, text.data(), k);
        out[k] = 0;
    }
    return long(text.size());
}

size_t kb_system_count(void)
{
    ensure_init();
    Guard g;
    return files().commands.size();
}

int kb_system_command(size_t i, char *out, size_t cap)
{
    ensure_init();
    Guard g;
    const auto &c = files().commands;
    if (i >= c.size()) return -1;
    if (out && cap > 0) snprintf(out, cap, "%s", c[i].c_str());
    return 0;
}

}  // extern "C"
