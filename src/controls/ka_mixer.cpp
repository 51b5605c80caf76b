// SPDX-License-Identifier: MIT
// Mixer control access: the one road to sound card 0's mixer controls for
// the whole library (route switching, tone generator, codec and voice
// volumes) and for applications.
//
// The platform mixer object is opened by the first access and kept for the
// life of the process. Its control-device descriptor is open only while an
// operation holds mixer_lock: every operation opens it, works, and closes it
// again, so that no descriptor stays open between calls.
#define KA_LOG_FILE "ka_mixer"
#include <alsa_audio.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>

#include "ka_internal.h"

namespace {

constexpr const char kControlDevice[] = "/dev/snd/controlC0";
constexpr int kOpenAttempts = 10;
constexpr useconds_t kRetryDelayUs = 5000;

// Above this many values no control could take the request (the kernel's
// control value record holds at most 512), and the pointer array is not
// attempted: the request is refused like any allocation that cannot be had.
constexpr int kMaxValues = 1 << 16;

pthread_mutex_t mixer_lock = PTHREAD_MUTEX_INITIALIZER;
struct mixer *mixer_handle = nullptr;  // guarded by mixer_lock

template <typename T>
using MallocPtr = std::unique_ptr<T, KaFreeDeleter>;

enum class Caller { Setter, Getter };

// Makes mixer_handle hold an open control-device descriptor. Called with
// mixer_lock held; the retries and their sleeps run under the lock.
bool open_control_device(const char *name, Caller caller)
{
    if (mixer_handle == nullptr) {
        for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
            mixer_handle = mixer_open(kControlDevice);
            if (mixer_handle != nullptr) return true;
            KA_LOGE("opening mixer device retry, time left %d\n", kOpenAttempts - 1 - attempt);
            // Wait: a fixed pause, woken by the clock alone. The attempts are
            // counted, so a device that never opens ends in the error below.
            usleep(kRetryDelayUs);
        }
        if (caller == Caller::Getter)
            KA_LOGE("%s, ERROR opening mixer device: %s\n", "Ka_clt_get_mixer_value", name);
        else
            KA_LOGE("ERROR opening mixer device: %s\n", name);
        return false;
    }
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        mixer_handle->fd = mixer_open_fd(kControlDevice);
        if (mixer_handle->fd >= 0) return true;
        KA_LOGE("opening mixer fd retry, time left %d\n", kOpenAttempts - 1 - attempt);
        // Wait: as above, a counted pause; nothing else has to wake it.
        usleep(kRetryDelayUs);
    }
    KA_LOGE("ERROR opening mixer fd: %s\n", name);
    return false;
}

}  // namespace

int mixer_open_fd(const char *path)
{
    int fd = open(path, O_RDWR);
    if (fd < 0) KA_LOGE("Control device open failed: %s\n", path);
    return fd;
}

int mixer_close_fd(struct mixer *mixer)
{
    if (mixer == nullptr) return -1;
    int ret = close(mixer->fd);
    mixer->fd = -1;
    return ret;
}

int Ka_clt_set_mixer_value(const char *name, int count, const char *value)
{
    if (count == 0 || name == nullptr) {
        KA_LOGE("input para is not correct, failed to mixer: %s\n", ka_name_or_null(name));
        return 0;
    }
    if (value == nullptr) {
        KA_LOGE("input para is not correct, failed to mixer: %s\n", name);
        return 0;
    }

    MallocPtr<char *> tokens;
    MallocPtr<char> copy;
    if (count > 0 && count <= kMaxValues) {
        tokens.reset(static_cast<char **>(calloc(static_cast<size_t>(count), sizeof(char *))));
        copy.reset(static_cast<char *>(malloc(strlen(value) + 1)));
    }
    if (!tokens || !copy) {
        KA_LOGE("malloc memory failed, failed to mixer: %s\n", name);
        return 0;
    }
    strcpy(copy.get(), value);
    KA_LOGD("device: %s, value: %s\n", name, value);

    // Runs of spaces separate like one; leading and trailing spaces give no
    // token. Never more than `count` tokens are stored.
    char *save = nullptr;
    int found = 0;
    for (char *tok = strtok_r(copy.get(), " ", &save); tok != nullptr;
         tok = strtok_r(nullptr, " ", &save)) {
        if (found == 0) {
            tokens.get()[found++] = tok;
            continue;
        }
        if (found == count) {
            KA_LOGE("input count is not correct !!!!\n");
            return 0;
        }
        tokens.get()[found] = tok;
        KA_LOGD("count_empty: %d, token: %s\n", found, tok);
        ++found;
    }
    if (found < count) {
        KA_LOGE("input para is not equel to count, failed to mixer: %s\n", name);
        return 0;
    }

    KaLock lock(mixer_lock);
    if (!open_control_device(name, Caller::Setter)) return 0;

    struct mixer_ctl *ctl = mixer_get_control(mixer_handle, name, 0);
    if (ctl == nullptr) {
        KA_LOGE("Could not get the mixer control for '%s'.\n", name);
        mixer_close_fd(mixer_handle);
        return 0;
    }
    if (mixer_ctl_set_value(ctl, count, tokens.get()) != 0 &&
        mixer_ctl_mulvalues(ctl, count, tokens.get()) != 0) {
        mixer_close_fd(mixer_handle);
        return 0;
    }
    KA_LOGD("Set mixer: %s sucess\n", name);
    mixer_close_fd(mixer_handle);
    return 1;
}

int movaro_clt_set_mixer_value(const char *name, int count, const char *value)
{
    return Ka_clt_set_mixer_value(name, count, value);
}

int Ka_clt_get_mixer_value(const char *name, struct snd_ctl_elem_value *value)
{
    if (value == nullptr) return 0;
    // A missing name is a control that does not exist; it never reaches the
    // platform's lookup.
    if (name == nullptr) {
        KA_LOGE("Could not get the mixer control for '%s'.\n", "NULL");
        return -1;
    }

    KaLock lock(mixer_lock);
    if (!open_control_device(name, Caller::Getter)) return -1;

    int result = -1;
    struct mixer_ctl *ctl = mixer_get_control(mixer_handle, name, 0);
    if (ctl == nullptr) {
        KA_LOGE("Could not get the mixer control for '%s'.\n", name);
    } else {
        result = static_cast<int>(ctl->info->count);
        memset(value, 0, sizeof(*value));
        value->id.numid = ctl->info->id.numid;
        if (ioctl(mixer_handle->fd, SNDRV_CTL_IOCTL_ELEM_READ, value) < 0)
            KA_LOGE("ioctl SNDRV_CTL_IOCTL_ELEM_READ failed, fd: %d, errno: %d\n", mixer_handle->fd, errno);
        else
            KA_LOGD("mixer get %s\n", reinterpret_cast<const char *>(ctl->info->id.name));
    }
    mixer_close_fd(mixer_handle);
    return result;
}
