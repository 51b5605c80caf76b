// SPDX-License-Identifier: MIT
// Sound of the emulated PCM devices on the host (KA_BOARD_SPEAKER,
// KA_BOARD_CAPTURE=alsa[:PCM]).
//
// The board answers the program's access to sound card 0, so alsa-lib in this
// process would find the board's card instead of the machine's (and its
// plugins would run inside the board's interposition). The host side
// therefore lives in a bridge program, ka-board-audio, started per stream
// without LD_PRELOAD: it never loads the board and reaches the real sound
// system. The board talks to it over a socket pair (the stream's bytes, in
// the stream's own format) and a shared page where the bridge counts the
// frames the host has taken. A playback stream's clock is capped by that
// count, so the program feels the host device's back-pressure; the board's
// own clock runs a little fast (kHostLead) so that the host, never the
// board, sets the pace, and a host PCM without a clock of its own plays at
// the sample clock. A capture stream is paced by the bytes the bridge hands
// over. When the bridge cannot run or fails, the stream goes back to the
// board's clock and the program notices nothing.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sound/asound.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "kb_internal.h"
#include "kb_shim.h"

extern char **environ;

namespace kb {
namespace {

// How much faster than the sample clock the board lets a host-linked
// playback stream run: more than any sound card's crystal is off, less than
// a period over ten seconds when the host PCM has no clock.
constexpr double kHostLead = 1.0005;

struct Link {
    const PcmStream *stream = nullptr;
    int fd = -1;
    std::atomic<uint64_t> *taken = nullptr;  // frames the host took (shared page)
    uint64_t sent = 0;                       // frames handed to the bridge
    bool failed = false;
    PcmParams params{};
};

struct Host {
    std::string speaker;  // host PCM for playback, "" for none
    std::string capture;  // host PCM for capture, "" for none
    std::string bridge;
    std::vector<Link *> links;
    bool warned = false;
};

Host *make_host()
{
    auto *h = new Host();
    if (const char *e = getenv("KA_BOARD_SPEAKER")) h->speaker = e;
    if (const char *e = getenv("KA_BOARD_CAPTURE"); e && !strncmp(e, "alsa", 4) && (e[4] == 0 || e[4] == ':'))
        h->capture = e[4] == ':' && e[5] ? e + 5 : "default";
    if (const char *e = getenv("KA_BOARD_AUDIO_BRIDGE")) h->bridge = e;
    return h;
}

// Read once, from the environment at the first use; constant afterwards.
Host &host()
{
    static Host *h = make_host();
    return *h;
}

const std::string &pcm_name(int dir)
{
    return dir == KB_PLAYBACK ? host().speaker : host().capture;
}

Link *find(const PcmStream *s)
{
    for (Link *l : host().links)
        if (l->stream == s) return l;
    return nullptr;
}

void drop(Link *l)
{
    if (l->fd >= 0) kbi_real_close(l->fd);
    if (l->taken) munmap(l->taken, sizeof *l->taken);
    l->fd = -1;
    l->taken = nullptr;
}

bool same(const PcmParams &a, const PcmParams &b)
{
    return a.format == b.format && a.rate == b.rate && a.channels == b.channels &&
           a.frame_bytes == b.frame_bytes;
}

// Starts the bridge for a stream: returns the board's end of the socket and
// fills *taken, or -1. The board lock is not held (fork takes it).
int spawn(const PcmParams &p, const std::string &pcm, std::atomic<uint64_t> **taken)
{
    Host &h = host();
    if (h.bridge.empty() || kbi_real_access(h.bridge.c_str(), X_OK) != 0) {
        Guard g;
        if (!h.warned)
            fprintf(stderr,
                    "ka-board: no host sound: the audio bridge ka-board-audio is not "
                    "found; the run goes on without it\n");
        h.warned = true;
        return -1;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    if (p.dir == KB_CAPTURE) {
        // What the host records before the program reads waits in the
        // socket: about 100 ms of it at most, not a stale backlog.
        int sz = int(std::max(4096u, p.rate * p.frame_bytes / 10));
        setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &sz, sizeof sz);
    }
    int mfd = memfd_create("ka-board-audio", MFD_CLOEXEC);
    void *page = MAP_FAILED;
    if (mfd >= 0 && ftruncate(mfd, 4096) == 0)
        page = mmap(nullptr, sizeof(std::atomic<uint64_t>), PROT_READ | PROT_WRITE, MAP_SHARED, mfd, 0);
    if (page == MAP_FAILED) {
        if (mfd >= 0) kbi_real_close(mfd);
        kbi_real_close(sv[0]);
        kbi_real_close(sv[1]);
        return -1;
    }
    *taken = new (page) std::atomic<uint64_t>(0);

    // Everything the child needs is made before fork: after it, only
    // async-signal-safe calls.
    char name[32];
    snprintf(name, sizeof name, "pcmC0D%d%c", p.device, p.dir == KB_PLAYBACK ? 'p' : 'c');
    std::vector<std::string> args = {h.bridge,
                                     p.dir == KB_PLAYBACK ? "play" : "capture",
                                     pcm,
                                     name,
                                     std::to_string(p.format),
                                     std::to_string(p.rate),
                                     std::to_string(p.channels),
                                     std::to_string(p.frame_bytes)};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (char **e = environ; e && *e; ++e)
        if (strncmp(*e, "LD_PRELOAD=", 11) != 0) envp.push_back(*e);
    envp.push_back(nullptr);

    // Started as a grandchild, so that the program's own wait() never meets
    // it; under the launcher it is reparented to the launcher, which waits
    // for it to play out.
    pid_t pid = fork();
    if (pid == 0) {
        if (fork() == 0) {
            // Moved above 3 first: a socket that is already 0 (or a page
            // that is 3) would keep its close-on-exec flag through dup2.
            kbi_real_dup3(kbi_real_fcntl(sv[1], F_DUPFD, 10), 0, 0);
            kbi_real_dup3(kbi_real_fcntl(mfd, F_DUPFD, 10), 3, 0);
            kbi_real_closefrom(4);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        _exit(0);
    }
    kbi_real_close(sv[1]);
    kbi_real_close(mfd);
    if (pid > 0)
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    if (pid < 0) {
        kbi_real_close(sv[0]);
        munmap(page, sizeof(std::atomic<uint64_t>));
        return -1;
    }
    return sv[0];
}

// The stream's link, started (again) when its parameters changed. Lock not held.
Link *ensure_link(Node *n)
{
    PcmParams p{};
    Link *l;
    {
        Guard g;
        if (n->closed || !pcm_params_locked(n->pcm, &p)) return nullptr;
        if (pcm_name(p.dir).empty()) return nullptr;
        l = find(n->pcm);
        if (l && (l->failed || same(l->params, p))) return l->failed ? nullptr : l;
        if (!l) {
            l = new Link();
            l->stream = n->pcm;
            host().links.push_back(l);
        }
        drop(l);
        l->params = p;
        l->sent = 0;
        l->failed = true;  // until the bridge runs
    }
    std::atomic<uint64_t> *taken = nullptr;
    int fd = spawn(p, pcm_name(p.dir), &taken);
    Guard g;
    if (fd < 0) return nullptr;
    l->fd = fd;
    l->taken = taken;
    l->failed = false;
    Event("pcm_host_sound", p.device, p.dir).str("pcm", pcm_name(p.dir));
    return l;
}

void fail(Link *l, const char *what, int err)
{
    Guard g;
    if (!l->failed)
        Event("pcm_host_sound_end", l->params.device, l->params.dir)
            .str("reason", std::string(what) + ": " + (err ? strerror(err) : "end of stream"));
    l->failed = true;
    broadcast();
}

}  // namespace

double host_speed_locked(const PcmStream *s, double speed)
{
    Host &h = host();
    if (h.links.empty()) return speed;
    Link *l = find(s);
    if (!l || l->failed) return speed;
    return l->params.dir == KB_PLAYBACK ? speed * kHostLead : 0;
}

uint64_t host_queued_locked(const PcmStream *s)
{
    Link *l = host().links.empty() ? nullptr : find(s);
    if (!l || l->failed || !l->taken || l->params.dir != KB_PLAYBACK) return 0;
    uint64_t t = l->taken->load(std::memory_order_acquire);
    if (l->sent <= t) return 0;
    // A bridge that went away (its host PCM failed) takes nothing more: the
    // stream returns to the board's clock instead of waiting for it.
    struct pollfd pf = {l->fd, POLLRDHUP, 0};
    if (kbi_real_ppoll(&pf, 1, 0, nullptr) > 0 && (pf.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
        l->failed = true;
        Event("pcm_host_sound_end", l->params.device, l->params.dir).str("reason", "bridge gone");
        return 0;
    }
    return l->sent - t;
}

bool host_linked_locked(const PcmStream *s)
{
    Link *l = host().links.empty() ? nullptr : find(s);
    return l && !l->failed;
}

void host_forget_locked(const PcmStream *s)
{
    auto &v = host().links;
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i]->stream == s) {
            drop(v[i]);
            delete v[i];
            v.erase(v.begin() + long(i));
            return;
        }
}

void host_after_ioctl(Node *n, unsigned long req, void *arg)
{
    if (n->kind != NodeKind::pcm) return;
    Host &h = host();
    if (h.speaker.empty() && h.capture.empty()) return;
    if (req == SNDRV_PCM_IOCTL_PREPARE) {
        ensure_link(n);
        return;
    }
    if (req != SNDRV_PCM_IOCTL_WRITEI_FRAMES && req != SNDRV_PCM_IOCTL_READI_FRAMES) return;
    auto *x = static_cast<snd_xferi *>(arg);
    if (x->result <= 0) return;
    Link *l = ensure_link(n);
    if (!l) return;
    size_t bytes;
    {
        Guard g;
        bytes = size_t(x->result) * l->params.frame_bytes;
        if (req == SNDRV_PCM_IOCTL_WRITEI_FRAMES) l->sent += uint64_t(x->result);
    }
    // The socket is only closed when the stream is freed, which waits for
    // this ioctl to end, so it is used here without the lock.
    uint8_t *p = static_cast<uint8_t *>(x->buf);
    size_t done = 0;
    while (done < bytes) {
        ssize_t r = req == SNDRV_PCM_IOCTL_WRITEI_FRAMES ? send(l->fd, p + done, bytes - done, MSG_NOSIGNAL)
                                                         : recv(l->fd, p + done, bytes - done, MSG_WAITALL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            // What the bridge did not deliver stays as the board made it.
            fail(l, req == SNDRV_PCM_IOCTL_WRITEI_FRAMES ? "send" : "receive", r < 0 ? errno : 0);
            return;
        }
        done += size_t(r);
    }
}

}  // namespace kb
