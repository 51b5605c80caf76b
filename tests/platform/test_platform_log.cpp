// The host liblog: the logger hook, long messages, many threads, and the
// standard error line format when no logger is installed.
#include <android/log.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Seen {
    size_t struct_size;
    int buffer_id;
    int prio;
    std::string tag;
    bool file_null;
    unsigned line;
    std::string text;
};

std::mutex g_mu;
std::vector<Seen> g_seen;

void record(const struct __android_log_message *m)
{
    std::lock_guard<std::mutex> lock(g_mu);
    g_seen.push_back({m->struct_size, m->buffer_id, m->priority, m->tag ? m->tag : "<null>",
                      m->file == nullptr, m->line, m->message ? m->message : "<null>"});
}

std::atomic<int> g_a{0}, g_b{0};
void count_a(const struct __android_log_message *) { g_a.fetch_add(1, std::memory_order_relaxed); }
void count_b(const struct __android_log_message *) { g_b.fetch_add(1, std::memory_order_relaxed); }

struct LoggerGuard {
    explicit LoggerGuard(__android_logger_function f)
    {
        std::lock_guard<std::mutex> lock(g_mu);
        g_seen.clear();
        __android_log_set_logger(f);
    }
    ~LoggerGuard() { __android_log_set_logger(nullptr); }
};

TEST(PlatformLog, LoggerReceivesTheFormattedMessage)
{
    LoggerGuard guard(record);
    EXPECT_GT(__android_log_print(ANDROID_LOG_DEBUG, "", "%s[%d]:x=%s\n", "ka_mixer", 42, "on"), 0);
    __android_log_print(ANDROID_LOG_ERROR, "tag", "no newline %05.1f", 2.5);
    __android_log_write(ANDROID_LOG_INFO, "w", "written as is\n");

    std::string big(5000, 'a');
    big[4999] = 'z';
    __android_log_print(ANDROID_LOG_DEBUG, "", "<%s>\n", big.c_str());

    std::lock_guard<std::mutex> lock(g_mu);
    ASSERT_EQ(4u, g_seen.size());
    const Seen &first = g_seen[0];
    EXPECT_EQ(sizeof(struct __android_log_message), first.struct_size);
    EXPECT_EQ(0, first.buffer_id);
    EXPECT_EQ(ANDROID_LOG_DEBUG, first.prio);
    EXPECT_EQ("", first.tag);
    EXPECT_TRUE(first.file_null);
    EXPECT_EQ(0u, first.line);
    EXPECT_EQ("ka_mixer[42]:x=on\n", first.text);  // newline kept, none added

    EXPECT_EQ(ANDROID_LOG_ERROR, g_seen[1].prio);
    EXPECT_EQ("tag", g_seen[1].tag);
    EXPECT_EQ("no newline 002.5", g_seen[1].text);

    EXPECT_EQ(ANDROID_LOG_INFO, g_seen[2].prio);
    EXPECT_EQ("written as is\n", g_seen[2].text);

    // Longer than any stack buffer: arrives whole.
    EXPECT_EQ("<" + big + ">\n", g_seen[3].text);
}

TEST(PlatformLog, ManyThreadsWhileTheLoggerChanges)
{
    g_a = 0;
    g_b = 0;
    LoggerGuard guard(count_a);
    constexpr int kThreads = 4, kEach = 2000;
    std::atomic<bool> stop{false};
    std::thread switcher([&] {
        bool a = false;
        while (!stop.load()) {
            __android_log_set_logger(a ? count_a : count_b);
            a = !a;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) __android_log_print(ANDROID_LOG_DEBUG, "", "%d:%d\n", t, i);
        });
    for (auto &w : writers) w.join();
    stop = true;
    switcher.join();
    // Every message reached exactly one of the two loggers, none stderr.
    EXPECT_EQ(kThreads * kEach, g_a.load() + g_b.load());
}

// Runs `body` with standard error redirected into a file; returns what it wrote.
template <class F>
std::string capture_stderr(F body)
{
    char path[] = "/tmp/ka_log_test.XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    body();
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string out;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(path);
    return out;
}

TEST(PlatformLog, StandardErrorLines)
{
    __android_log_set_logger(nullptr);
    std::string big(3000, 'q');
    std::string out = capture_stderr([&] {
        __android_log_print(ANDROID_LOG_DEBUG, "t", "a=%d\n", 5);
        __android_log_print(ANDROID_LOG_ERROR, "", "no newline");
        __android_log_write(ANDROID_LOG_WARN, nullptr, "w\n");
        __android_log_print(ANDROID_LOG_INFO, "big", "%s", big.c_str());
    });
    EXPECT_EQ("D/(t): a=5\nE/(): no newline\nW/(): w\nI/(big): " + big + "\n", out);
}

}  // namespace
