// SPDX-License-Identifier: MIT
// Shared test support: log capture through the platform log's logger hook,
// and a fixture that puts the emulated board back to its defaults.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ka_board.h"

namespace ka_test {

struct LogLine {
    int prio;
    std::string tag;
    std::string text;
};

// Collects every platform log message of the process while it exists.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> lines() const;
    void clear();
    // Messages whose text contains `needle`.
    int count(const std::string &needle) const;
    std::string dump() const;
    // The error messages (priority 6) in order, each without its
    // "<file>[<line>]:" prefix; a message that is not "<file>[...]:" with
    // the empty tag is kept whole, after a "tag|" mark.
    std::vector<std::string> errors(const std::string &file) const;
};

// Sets a function that sees every log message's text in the thread that
// logs it, before it is collected (nullptr: none); a test holds a library
// thread at one of its messages with it.
void set_log_hook(void (*hook)(const std::string &text));

// Board back to defaults and log emptied before each test.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override;
    LogCapture log;
};

// The control writes the board recorded since its reset, each as
// "<name> = <value> <value> ...".
std::vector<std::string> ctl_writes();

// What the board knows of PCM device `device` in direction `dir`.
kb_pcm_stats pcm_info(int device, int dir = KB_PLAYBACK);

// Directory for generated test files (created on first use).
std::string temp_dir();

// A file's whole contents ("" when it cannot be read).
std::string read_text(const std::string &path);

// The number in environment variable `name` (decimal, 0x hex or 0 octal),
// or `fallback` when it is unset or empty.
long env_long(const char *name, long fallback);

// Milliseconds on the monotonic clock.
int64_t now_ms();

}  // namespace ka_test
