// The host liblog: the logger hook, long messages, many threads, and the
// standard error lines when no logger is installed.
#include <android/log.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

std::mutex g_mu;
std::vector<__android_log_message> g_msgs;  // pointers valid during the call only
std::vector<std::string> g_texts;
std::atomic<int> g_a{0}, g_b{0};

void record(const __android_log_message *m)
{
    std::lock_guard<std::mutex> lock(g_mu);
    g_msgs.push_back(*m);
    g_texts.push_back(std::string(m->tag) + "|" + m->message);
}

TEST(PlatformLog, LoggerGetsTheTextAsFormatted)
{
    g_msgs.clear();
    g_texts.clear();
    __android_log_set_logger(record);
    std::string big(5000, 'a');
    EXPECT_GT(__android_log_print(ANDROID_LOG_DEBUG, "", "%s[%d]:x=%s\n", "ka_mixer", 42, "on"), 0);
    __android_log_print(ANDROID_LOG_ERROR, "tag", "no newline %05.1f", 2.5);
    __android_log_write(ANDROID_LOG_INFO, nullptr, "as is\n");
    __android_log_print(ANDROID_LOG_DEBUG, "", "<%s>\n", big.c_str());  // beyond any stack buffer
    __android_log_set_logger(nullptr);

    ASSERT_EQ(4u, g_msgs.size());
    EXPECT_EQ(sizeof(__android_log_message), g_msgs[0].struct_size);
    EXPECT_EQ(0, g_msgs[0].buffer_id);
    EXPECT_EQ(nullptr, g_msgs[0].file);
    EXPECT_EQ(0u, g_msgs[0].line);
    EXPECT_EQ(ANDROID_LOG_DEBUG, g_msgs[0].priority);
    EXPECT_EQ(ANDROID_LOG_ERROR, g_msgs[1].priority);
    EXPECT_EQ(ANDROID_LOG_INFO, g_msgs[2].priority);
    EXPECT_EQ((std::vector<std::string>{"|ka_mixer[42]:x=on\n", "tag|no newline 002.5", "|as is\n",
                                        "|<" + big + ">\n"}),
              g_texts);
}

TEST(PlatformLog, ManyThreadsWhileTheLoggerChanges)
{
    constexpr int kThreads = 4, kEach = 2000;
    g_a = 0;
    g_b = 0;
    std::atomic<bool> stop{false};
    __android_logger_function fa = [](const __android_log_message *) { ++g_a; };
    __android_logger_function fb = [](const __android_log_message *) { ++g_b; };
    __android_log_set_logger(fa);
    std::thread switcher([&] {
        for (bool a = false; !stop.load(); a = !a) __android_log_set_logger(a ? fa : fb);
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) __android_log_print(ANDROID_LOG_DEBUG, "", "%d:%d\n", t, i);
        });
    for (auto &w : writers) w.join();
    stop = true;
    switcher.join();
    __android_log_set_logger(nullptr);
    EXPECT_EQ(kThreads * kEach, g_a.load() + g_b.load());  // each message reached one logger
}

TEST(PlatformLog, StandardErrorLines)
{
    char path[] = "/tmp/ka_log_test.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    std::string big(3000, 'q');
    __android_log_print(ANDROID_LOG_DEBUG, "t", "a=%d\n", 5);
    __android_log_print(ANDROID_LOG_ERROR, "", "no newline");
    __android_log_write(ANDROID_LOG_WARN, nullptr, "w\n");
    __android_log_print(ANDROID_LOG_INFO, "big", "%s", big.c_str());
    dup2(saved, STDERR_FILENO);
    close(saved);

    std::string out(8192, '\0');
    ssize_t n = pread(fd, out.data(), out.size(), 0);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    close(fd);
    unlink(path);
    EXPECT_EQ("D/(t): a=5\nE/(): no newline\nW/(): w\nI/(big): " + big + "\n", out);
}

}  // namespace
