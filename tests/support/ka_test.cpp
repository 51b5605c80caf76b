// SPDX-License-Identifier: MIT
#include "ka_test.h"

#include <android/log.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>

namespace ka_test {
namespace {

// Allocated once and never destroyed: detached library threads may still log
// while the test program exits.
std::mutex &g_mutex = *new std::mutex;
std::vector<LogLine> &g_lines = *new std::vector<LogLine>;

std::atomic<void (*)(const std::string &)> g_hook{nullptr};

void logger(const struct __android_log_message *m)
{
    if (auto hook = g_hook.load()) hook(m->message ? m->message : "");
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.push_back({m->priority, m->tag ? m->tag : "", m->message ? m->message : ""});
}

}  // namespace

void set_log_hook(void (*hook)(const std::string &text))
{
    g_hook = hook;
}

LogCapture::LogCapture()
{
    clear();
    __android_log_set_logger(logger);
}

LogCapture::~LogCapture()
{
    __android_log_set_logger(nullptr);
}

std::vector<LogLine> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

int LogCapture::count(const std::string &needle) const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    int n = 0;
    for (const auto &l : g_lines)
        if (l.text.find(needle) != std::string::npos) ++n;
    return n;
}

std::string LogCapture::dump() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string out;
    for (const auto &l : g_lines) out += std::to_string(l.prio) + " " + l.text;
    return out;
}

std::vector<std::string> LogCapture::errors(const std::string &file) const
{
    std::vector<std::string> out;
    for (const auto &l : lines()) {
        if (l.prio != ANDROID_LOG_ERROR) continue;
        const size_t end = l.text.find("]:");
        const bool plain = l.tag.empty() && l.text.rfind(file + "[", 0) == 0 && end != std::string::npos;
        out.push_back(plain ? l.text.substr(end + 2) : l.tag + "|" + l.text);
    }
    return out;
}

void BoardTest::SetUp()
{
    kb_reset();
    log.clear();
}

std::vector<std::string> ctl_writes()
{
    std::vector<kb_ctl_write> w(kb_ctl_writes(nullptr, 0));
    w.resize(std::min(kb_ctl_writes(w.data(), w.size()), w.size()));
    std::vector<std::string> out;
    for (const kb_ctl_write &x : w) {
        out.push_back(x.name + std::string(" ="));
        for (int i = 0; i < x.count && i < 8; ++i) out.back() += " " + std::to_string(x.values[i]);
    }
    return out;
}

kb_pcm_stats pcm_info(int device, int dir)
{
    kb_pcm_stats info{};
    kb_pcm_get_stats(device, dir, &info);
    return info;
}

std::string temp_dir()
{
    static std::string dir = [] {
        char tmpl[] = "/tmp/ka_test.XXXXXX";
        const char *d = mkdtemp(tmpl);
        return std::string(d ? d : "/tmp");
    }();
    return dir;
}

std::string read_text(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

long env_long(const char *name, long fallback)
{
    const char *v = getenv(name);
    return v && *v ? strtol(v, nullptr, 0) : fallback;
}

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace ka_test
