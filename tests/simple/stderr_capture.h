// SPDX-License-Identifier: MIT
// The standard error stream (the simple family's messages), caught in a
// temporary file while a StderrCapture exists.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace ka_test {

class StderrCapture {
public:
    StderrCapture() : file_((fflush(stderr), fileno(tmpfile_))), saved_(dup(2)) { dup2(file_, 2); }
    ~StderrCapture()
    {
        fflush(stderr);
        dup2(saved_, 2), close(saved_), fclose(tmpfile_);
    }
    std::string text() const
    {
        std::string out(size_t(lseek(file_, 0, SEEK_END)), '\0');
        return out.resize(size_t(std::max(pread(file_, out.data(), out.size(), 0), ssize_t(0)))), out;
    }
    bool has(const std::string &needle) const { return text().find(needle) != std::string::npos; }

private:
    FILE *tmpfile_ = tmpfile();
    int file_, saved_;
};

}  // namespace ka_test
