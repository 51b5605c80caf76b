// SPDX-License-Identifier: MIT
// The file operations of the PCM nodes besides ioctl, as the kernel's PCM
// layer has them: write() on a playback stream and read() on a capture
// stream move whole frames (the byte count a multiple of the frame size) as
// WRITEI/READI do, and poll() says when a transfer would not block.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>

#include "kb_pcm.h"

namespace kb {

int pcm_file_rw(Node *n, void *buf, size_t bytes, bool write, ssize_t *done)
{
    unsigned frame;
    {
        Guard g;
        const PcmStream &s = *n->pcm;
        // The playback file has no read operation, the capture file no write.
        if (write != (s.dir == KB_PLAYBACK)) return EINVAL;
        if (s.state == SNDRV_PCM_STATE_OPEN || s.state == SNDRV_PCM_STATE_DISCONNECTED) return EBADFD;
        frame = s.frame_bytes;
        if (frame == 0 || bytes % frame != 0) return EINVAL;
    }
    const unsigned long req = write ? SNDRV_PCM_IOCTL_WRITEI_FRAMES : SNDRV_PCM_IOCTL_READI_FRAMES;
    snd_xferi x{0, buf, snd_pcm_uframes_t(bytes / frame)};
    if (int e = pcm_ioctl(n, req, &x)) return e;
    host_after_ioctl(n, req, &x);
    *done = ssize_t(x.result) * ssize_t(frame);
    return 0;
}

// The kernel's PCM poll: in a prepared, running (or paused) stream ready when
// the available frames reach avail_min; a draining capture stream ready (with
// POLLERR once it holds nothing more); a draining playback stream not until
// the drain ends; in any other state (open, set up, XRUN) ready with POLLERR,
// so that the transfer that follows reports the state.
short pcm_poll_locked(Node *n, int64_t now, int64_t *next)
{
    PcmStream &s = *n->pcm;
    advance(s, now);
    const bool play = s.dir == KB_PLAYBACK;
    const short ok = play ? (POLLOUT | POLLWRNORM) : (POLLIN | POLLRDNORM);
    const uint64_t hw = uint64_t(s.hw);
    const uint64_t avail =
        play ? (hw + s.buffer > s.appl ? hw + s.buffer - s.appl : 0) : (hw > s.appl ? hw - s.appl : 0);
    auto until = [&](double target) {
        // A clock that cannot move (speed 0 leaves nothing to wait for) is
        // looked at again soon rather than in a busy loop.
        *next = std::min(*next, std::max(time_at(s, target), now + 1000000));
    };
    switch (s.state) {
        case SNDRV_PCM_STATE_PREPARED:
        case SNDRV_PCM_STATE_RUNNING:
        case SNDRV_PCM_STATE_PAUSED:
            if (avail >= s.avail_min) return ok;
            if (s.state == SNDRV_PCM_STATE_RUNNING)
                until(play ? double(s.appl + s.avail_min) - double(s.buffer) : double(s.appl + s.avail_min));
            return 0;
        case SNDRV_PCM_STATE_DRAINING:
            if (!play) return avail ? ok : short(ok | POLLERR);
            until(double(s.appl));
            return 0;
        default:
            return short(ok | POLLERR);
    }
}

}  // namespace kb
