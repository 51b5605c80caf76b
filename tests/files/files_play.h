// Helpers of the end-to-end file tests on the emulated board.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "files_media.h"
#include "ka_board.h"
#include "ka_test.h"

namespace files_test {

// Waits only guard against hangs: nothing asserts how long anything takes.
template <typename Pred>
void wait_until(Pred pred)
{
    while (!pred()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

inline Bytes played(int device)
{
    size_t total = kb_pcm_played(device, 0, nullptr, 0);
    Bytes b(total);
    if (total) kb_pcm_played(device, 0, b.data(), total);
    return b;
}

inline bool is_prefix(const Bytes &part, const Bytes &whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

inline int thread_count()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    if (!d) return -1;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// Threads of the process with none of the library's running. Sanitizer
// runtimes start a helper thread with the first thread created, so the count
// is taken after one thread has come and gone.
inline int idle_thread_count()
{
    static int base = [] {
        std::thread([] {}).join();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return thread_count();
    }();
    return base;
}

// Descriptors of this process that refer to `path`.
inline int fds_on(const std::string &path)
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (dirent *e = readdir(d)) {
        char link[512];
        std::string p = std::string("/proc/self/fd/") + e->d_name;
        ssize_t k = readlink(p.c_str(), link, sizeof link - 1);
        if (k > 0 && std::string(link, size_t(k)) == path) ++n;
    }
    closedir(d);
    return n;
}

inline int open_written(const std::string &name, const Bytes &b)
{
    std::string p = gen_path(name);
    write_file(p, b);
    return open(p.c_str(), O_RDONLY);
}

// Runs a shell command and returns its standard output.
inline std::string run_output(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

}  // namespace files_test
