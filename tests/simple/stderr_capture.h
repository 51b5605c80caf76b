// The standard error stream (the simple family's messages), caught in a
// temporary file while a StderrCapture exists.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace ka_test {

class StderrCapture {
public:
    StderrCapture() : file_(make_file()), saved_(dup(2)) { dup2(file_, 2); }
    ~StderrCapture()
    {
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        close(file_);
    }
    std::string text() const
    {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = pread(file_, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0;)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
    bool has(const std::string &needle) const { return text().find(needle) != std::string::npos; }

private:
    static int make_file()
    {
        char tmpl[] = "/tmp/ka_stderr.XXXXXX";
        const int fd = mkstemp(tmpl);
        unlink(tmpl);
        fflush(stderr);
        return fd;
    }
    int file_, saved_;
};

// Descriptors of this process open right now, of any kind.
inline int open_descriptors()
{
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd) n += fcntl(fd, F_GETFD) != -1;
    return n;
}

}  // namespace ka_test
