// Captures what the process writes to the standard error stream (the simple
// family's messages) into a temporary file while it exists.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace ka_test {

class StderrCapture {
public:
    StderrCapture()
    {
        char tmpl[] = "/tmp/ka_stderr.XXXXXX";
        file_ = mkstemp(tmpl);
        unlink(tmpl);
        fflush(stderr);
        saved_ = dup(2);
        dup2(file_, 2);
    }
    ~StderrCapture()
    {
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        close(file_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Everything written so far.
    std::string text() const
    {
        fflush(stderr);
        std::string out;
        char buf[4096];
        off_t at = 0;
        for (ssize_t n; (n = pread(file_, buf, sizeof buf, at)) > 0; at += n) out.append(buf, static_cast<size_t>(n));
        return out;
    }
    bool has(const std::string &needle) const { return text().find(needle) != std::string::npos; }
    int count(const std::string &needle) const
    {
        const std::string t = text();
        int n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
        return n;
    }

private:
    int file_ = -1;
    int saved_ = -1;
};

// Descriptors of this process that are open right now (any kind).
inline int open_descriptors()
{
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1) ++n;
    return n;
}

}  // namespace ka_test
