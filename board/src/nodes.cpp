// SPDX-License-Identifier: MIT
// What a path means to the board, and the emulated descriptors: open, close
// and ioctl of the device nodes.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

#include "kb_internal.h"
#include "kb_shim.h"

namespace kb {
namespace {

// Parses the decimal number at `s` that runs to `end` or to a single suffix
// character; -1 when there is none.
int parse_number(const char *s, const char **rest)
{
    if (*s < '0' || *s > '9') return -1;
    long v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + (*s++ - '0');
        if (v > 1000000) return -1;
    }
    *rest = s;
    return int(v);
}

bool has_prefix(const char *s, const char *p) { return strncmp(s, p, strlen(p)) == 0; }

}  // namespace

PathInfo classify(const char *path)
{
    PathInfo info;
    if (!path || path[0] != '/') return info;
    if (has_prefix(path, "/dev/snd/pcmC0D")) {
        const char *rest = nullptr;
        int d = parse_number(path + strlen("/dev/snd/pcmC0D"), &rest);
        if (d < 0 || (rest[0] != 'p' && rest[0] != 'c') || rest[1] != 0) return info;
        info.kind = d < KB_MAX_DEVICES ? PathKind::pcm : PathKind::absent;
        info.device = d;
        info.dir = rest[0] == 'c' ? KB_CAPTURE : KB_PLAYBACK;
        return info;
    }
    if (strcmp(path, "/dev/snd/controlC0") == 0) {
        info.kind = PathKind::ctl;
        return info;
    }
    if (has_prefix(path, "/dev/i2c-")) {
        const char *rest = nullptr;
        int bus = parse_number(path + strlen("/dev/i2c-"), &rest);
        if (bus < 0 || *rest) return info;
        ensure_init();
        Guard g;
        info.kind = i2c_bus_exists_locked(bus) ? PathKind::i2c : PathKind::absent;
        info.bus = bus;
        return info;
    }
    if (has_prefix(path, "/sys/devices/soc:sound/") || has_prefix(path, "/data/") ||
        has_prefix(path, "/run/")) {
        ensure_init();
        Guard g;
        info.target = files_copy_path_locked(path);
        if (!info.target.empty()) info.kind = PathKind::redirected;
    }
    return info;
}

void node_free(Node *n)
{
    if (n->kind == NodeKind::pcm) {
        pcm_close_locked(n);
    } else if (n->kind == NodeKind::i2c) {
        i2c_closed_locked();
        Event("i2c_close").num("bus", n->bus).num("fd", n->fd);
    } else {
        Event("ctl_close").num("fd", n->fd);
    }
    broadcast();
    if (n->pcm) pcm_free(n->pcm);
    delete n;
}

// As the kernel: close() takes the descriptor away at once, but a call that
// holds the file (a transfer blocked in another thread) keeps it, and runs on
// until it completes as it would have; the release comes after it returns.
bool node_drop_fd_locked(int fd)
{
    Node *n = node_remove(fd);
    if (!n) return false;
    if (--n->fds == 0) {
        n->closed = true;
        if (n->refs == 0) node_free(n);
    }
    return true;
}

Node *node_hold(int fd, int *flags)
{
    Guard g;
    Node *n = node_find(fd);
    if (!n) return nullptr;
    ++n->refs;
    // The descriptor is open while its node is in the table (close takes it
    // out under the lock before the real close), so this is its open file's.
    // A transfer looks at O_NONBLOCK once, at its start, as the kernel does.
    *flags = kbi_real_fcntl(fd, F_GETFL, 0);
    n->nonblock = *flags >= 0 && (*flags & O_NONBLOCK);
    return n;
}

long node_call_end(Node *n, int err, long result)
{
    {
        Guard g;
        node_release(n);
    }
    if (err) {
        errno = err;
        return -1;
    }
    return result;
}

namespace {

int open_plain_node(const PathInfo &info, int flags)
{
    {
        Guard g;
        enum kb_fault f = info.kind == PathKind::ctl ? KB_FAULT_CTL_OPEN : KB_FAULT_I2C_OPEN;
        if (int e = fault_check(f, -1)) {
            errno = e;
            return -1;
        }
    }
    int fd = kbi_real_open("/dev/null", flags & (O_ACCMODE | O_CLOEXEC | O_NONBLOCK), 0);
    if (fd < 0) return -1;
    Guard g;
    auto *n = new Node();
    n->kind = info.kind == PathKind::ctl ? NodeKind::ctl : NodeKind::i2c;
    n->fd = fd;
    n->bus = info.bus;
    node_add(n);
    if (n->kind == NodeKind::i2c) i2c_opened_locked();
    if (n->kind == NodeKind::ctl) Event("ctl_open").num("fd", fd);
    else Event("i2c_open").num("bus", n->bus).num("fd", fd);
    return fd;
}

}  // namespace

}  // namespace kb

using namespace kb;

extern "C" {

int kbi_classify(const char *path, char *out, size_t cap)
{
    PathInfo info = classify(path);
    switch (info.kind) {
    case PathKind::pcm:
    case PathKind::ctl:
    case PathKind::i2c:
        return KBI_NODE;
    case PathKind::absent:
        return KBI_ABSENT;
    case PathKind::redirected:
        if (info.target.size() >= cap) return KBI_ABSENT;
        memcpy(out, info.target.c_str(), info.target.size() + 1);
        return KBI_REDIRECT;
    default:
        return KBI_PASS;
    }
}

int kbi_open_node(const char *path, int flags, mode_t mode)
{
    ensure_init();
    PathInfo info = classify(path);
    if (flags & O_DIRECTORY) {
        errno = ENOTDIR;
        return -1;
    }
    switch (info.kind) {
    case PathKind::pcm:
        return pcm_open(info.device, info.dir, flags, mode);
    case PathKind::ctl:
    case PathKind::i2c:
        return open_plain_node(info, flags);
    default:
        errno = ENOENT;
        return -1;
    }
}

int kbi_is_node(int fd)
{
    return node_is_ours(fd) ? 1 : 0;
}

int kbi_close(int fd)
{
    {
        Guard g;
        if (!node_drop_fd_locked(fd)) return -2;
    }
    return kbi_real_close(fd);
}

int kbi_ioctl(int fd, unsigned long req, void *arg, int *handled)
{
    // The kernel answers these for every file before the device sees them;
    // the /dev/null descriptor's open file stands for the emulated one.
    if (req == FIONBIO || req == FIOASYNC || req == FIOCLEX || req == FIONCLEX) {
        *handled = 0;
        return -1;
    }
    int flags = 0;
    Node *n = node_hold(fd, &flags);
    if (!n) {
        *handled = 0;
        return -1;
    }
    *handled = 1;
    int result = 0, err;
    switch (n->kind) {
    case NodeKind::pcm:
        err = pcm_ioctl(n, req, arg);
        if (!err) host_after_ioctl(n, req, arg);
        break;
    case NodeKind::ctl:
        err = ctl_ioctl(n, req, arg);
        break;
    default:
        err = i2c_ioctl(n, req, arg, &result);
        break;
    }
    return int(node_call_end(n, err, result));
}

int kbi_system(const char *cmd) { return board_system(cmd); }

}  // extern "C"
