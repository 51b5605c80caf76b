// SPDX-License-Identifier: MIT
// The module's kernel side for the text targets, in the fuzzing process: the
// control device with controls of every type, card 0's PCM nodes, the sysfs
// codec node and the codec's I2C bus. The library and the platform layer
// compiled into the target reach it through the linker's --wrap of open,
// close and ioctl (see fuzz/CMakeLists.txt); every other path and descriptor
// goes to libc as usual.
//
// Nothing outside this process is touched: other paths under /dev and /sys
// do not exist here, so no name a fuzz input makes up can reach a device of
// the machine. The stand-in checks what reaches it (writes carry values the
// control takes, I2C buffers are whole) and counts the descriptors it hands
// out, so that a target can check that an operation closed all of them.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sanitizer/asan_interface.h>
#include <sound/asound.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

extern "C" int __real_open(const char *path, int flags, ...);
extern "C" int __real_close(int fd);
extern "C" int __real_ioctl(int fd, unsigned long req, ...);

namespace ka_fuzz_module {

struct Control {
    const char *name;
    int type;  // SNDRV_CTL_ELEM_TYPE_*
    unsigned count;
    long long min, max;
    std::vector<std::string> items;  // enumerated: the item names
    unsigned index = 0;              // element index
    long long value[128] = {};
};

// The card's controls: names as the library uses them, and controls of the
// types and sizes at the edges of the platform's conversions (enumerated
// items by name, 64-bit integers, bytes, names that fill the kernel's name
// fields without a terminator, two controls of one name).
inline std::vector<Control> &controls()
{
    static std::vector<Control> *c = [] {
        auto *v = new std::vector<Control>;
        v->push_back({"SEC_AUX_PCM_RX Audio Mixer MultiMedia1", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1, {}});
        v->push_back({"MultiMedia1 Mixer SEC_AUX_PCM_UL_TX", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1, {}});
        v->push_back({"SEC_AUX_PCM_RX_Voice Mixer DTMF", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1, {}});
        v->push_back(
            {"DTMF_Generate Rx Low High Duration Gain", SNDRV_CTL_ELEM_TYPE_INTEGER, 4, 0, 2147483647LL, {}});
        v->push_back({"DAC1 Playback Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 2, 0, 175, {}});
        v->push_back({"ADC Capture Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 2, 0, 125, {}});
        v->push_back({"Voice Rx Gain", SNDRV_CTL_ELEM_TYPE_INTEGER, 3, -1, 5000, {}});
        // Asked for with element index 0, the second one is meant.
        v->push_back({"Master Playback Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 1, 0, 63, {}, 1});
        v->push_back({"Master Playback Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 1, 0, 127, {}, 0});
        v->push_back({"Equalizer Bands", SNDRV_CTL_ELEM_TYPE_INTEGER, 128, -12, 12, {}});
        v->push_back({"Speaker Function", SNDRV_CTL_ELEM_TYPE_ENUMERATED, 1, 0, 0, {"Off", "On", "Headset"}});
        v->push_back(
            {"Channel Map", SNDRV_CTL_ELEM_TYPE_ENUMERATED, 2, 0, 0, {"Left", "Right", "Mono", "0"}});
        v->push_back({"Empty Enum", SNDRV_CTL_ELEM_TYPE_ENUMERATED, 1, 0, 0, {}});
        v->push_back({"Long Items",
                      SNDRV_CTL_ELEM_TYPE_ENUMERATED,
                      1,
                      0,
                      0,
                      {std::string(64, 'x'), std::string(63, 'y')}});
        v->push_back({"Sample Counter", SNDRV_CTL_ELEM_TYPE_INTEGER64, 2, -(1LL << 62), 1LL << 62, {}});
        v->push_back({"Codec Blob", SNDRV_CTL_ELEM_TYPE_BYTES, 8, 0, 255, {}});
        // 44 characters: the whole name field, no terminator.
        v->push_back(
            {"A Control Name Of Forty-Four Characters: 44!", SNDRV_CTL_ELEM_TYPE_INTEGER, 1, 0, 9, {}});
        return v;
    }();
    return *c;
}

enum class Node { none, ctl, pcm, codec, i2c };

struct State {
    std::vector<std::pair<int, Node>> fds;  // descriptors handed out
    std::string codec_text;                 // the codec node's contents
    bool codec_present = true;
    int codec_fd = -1;  // an anonymous file holding codec_text
    long writes = 0;    // control writes accepted
};

inline State &state()
{
    static State *s = new State;
    return *s;
}

// Descriptors handed out and not closed yet.
inline size_t open_fds()
{
    return state().fds.size();
}

inline void set_codec_node(const void *text, size_t len, bool present = true)
{
    State &s = state();
    s.codec_text.assign(static_cast<const char *>(text), len);
    s.codec_present = present;
}

inline Node node_of(int fd)
{
    for (const auto &f : state().fds)
        if (f.first == fd) return f.second;
    return Node::none;
}

// "/dev/snd/pcmC0D<N>p" or "c", N of 0..31 without leading zeros.
inline bool is_pcm_node(std::string_view p)
{
    constexpr std::string_view prefix = "/dev/snd/pcmC0D";
    if (p.substr(0, prefix.size()) != prefix) return false;
    p.remove_prefix(prefix.size());
    if (p.size() < 2 || (p.back() != 'p' && p.back() != 'c')) return false;
    p.remove_suffix(1);
    if (p.empty() || p.size() > 2 || (p.size() == 2 && p[0] == '0')) return false;
    int n = 0;
    for (char c : p) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    return n < 32;
}

inline int open_node(const char *path, int flags)
{
    std::string_view p(path);
    Node kind = Node::none;
    if (p == "/dev/snd/controlC0")
        kind = Node::ctl;
    else if (is_pcm_node(p))
        kind = Node::pcm;
    else if (p == "/sys/devices/soc:sound/codec_name")
        kind = Node::codec;
    else if (p == "/dev/i2c-2")
        kind = Node::i2c;
    if (kind == Node::none) {
        errno = ENOENT;
        return -1;
    }
    State &s = state();
    int fd;
    if (kind == Node::codec) {
        if (!s.codec_present || (flags & O_ACCMODE) != O_RDONLY) {
            errno = s.codec_present ? EACCES : ENOENT;
            return -1;
        }
        if (s.codec_fd < 0) s.codec_fd = memfd_create("ka_fuzz_codec", MFD_CLOEXEC);
        if (s.codec_fd < 0 || ftruncate(s.codec_fd, 0) != 0 ||
            pwrite(s.codec_fd, s.codec_text.data(), s.codec_text.size(), 0) != ssize_t(s.codec_text.size()) ||
            lseek(s.codec_fd, 0, SEEK_SET) != 0)
            __builtin_trap();
        fd = dup(s.codec_fd);
    } else {
        fd = __real_open("/dev/null", O_RDWR | (flags & (O_CLOEXEC | O_NONBLOCK)));
    }
    if (fd < 0) __builtin_trap();
    s.fds.emplace_back(fd, kind);
    return fd;
}

// ---- the control device ----------------------------------------------------

inline Control *control_of(unsigned numid)
{
    auto &v = controls();
    return numid >= 1 && numid <= v.size() ? &v[numid - 1] : nullptr;
}

inline void fill_id(snd_ctl_elem_id &id, unsigned numid, const Control &c)
{
    memset(&id, 0, sizeof id);
    id.numid = numid;
    id.iface = SNDRV_CTL_ELEM_IFACE_MIXER;
    id.index = c.index;
    memcpy(id.name, c.name, std::min(strlen(c.name), sizeof id.name));
}

inline int ctl_list(snd_ctl_elem_list *l)
{
    const unsigned n = unsigned(controls().size());
    l->count = n;
    l->used = 0;
    if (l->space == 0 || !l->pids) return 0;
    for (unsigned i = l->offset; i < n && l->used < l->space; ++i, ++l->used)
        fill_id(l->pids[l->used], i + 1, controls()[i]);
    return 0;
}

inline int ctl_info(snd_ctl_elem_info *info)
{
    const unsigned numid = info->id.numid;
    Control *c = control_of(numid);
    if (!c) return ENOENT;
    const unsigned item = info->value.enumerated.item;
    memset(info, 0, sizeof *info);
    fill_id(info->id, numid, *c);
    info->type = snd_ctl_elem_type_t(c->type);
    info->count = c->count;
    switch (c->type) {
        case SNDRV_CTL_ELEM_TYPE_INTEGER:
        case SNDRV_CTL_ELEM_TYPE_BOOLEAN:
            info->value.integer.min = long(c->min);
            info->value.integer.max = long(c->max);
            info->value.integer.step = 1;
            break;
        case SNDRV_CTL_ELEM_TYPE_INTEGER64:
            info->value.integer64.min = c->min;
            info->value.integer64.max = c->max;
            info->value.integer64.step = 1;
            break;
        case SNDRV_CTL_ELEM_TYPE_ENUMERATED:
            info->value.enumerated.items = unsigned(c->items.size());
            if (!c->items.empty()) {
                // As the kernel does: an item past the end names the last one.
                const std::string &name = c->items[std::min<size_t>(item, c->items.size() - 1)];
                info->value.enumerated.item = item;
                memcpy(info->value.enumerated.name, name.data(),
                       std::min(name.size(), sizeof info->value.enumerated.name));
            }
            break;
        default:
            break;
    }
    return 0;
}

// A write must name a control and carry only values it takes: the platform
// converts every string before it writes and writes nothing otherwise.
inline int ctl_write(const snd_ctl_elem_value *v)
{
    Control *c = control_of(v->id.numid);
    if (!c) __builtin_trap();
    for (unsigned i = 0; i < c->count; ++i) {
        long long x;
        switch (c->type) {
            case SNDRV_CTL_ELEM_TYPE_INTEGER:
            case SNDRV_CTL_ELEM_TYPE_BOOLEAN:
                x = v->value.integer.value[i];
                break;
            case SNDRV_CTL_ELEM_TYPE_INTEGER64:
                x = v->value.integer64.value[i];
                break;
            case SNDRV_CTL_ELEM_TYPE_ENUMERATED:
                x = v->value.enumerated.item[i];
                if (size_t(x) >= c->items.size()) __builtin_trap();
                c->value[i] = x;
                continue;
            default:
                __builtin_trap();  // not settable from text
        }
        if (x < c->min || x > c->max) __builtin_trap();
        c->value[i] = x;
    }
    ++state().writes;
    return 0;
}

inline int ctl_read(snd_ctl_elem_value *v)
{
    Control *c = control_of(v->id.numid);
    if (!c) return ENOENT;
    for (unsigned i = 0; i < c->count; ++i) {
        if (c->type == SNDRV_CTL_ELEM_TYPE_ENUMERATED)
            v->value.enumerated.item[i] = unsigned(c->value[i]);
        else if (c->type == SNDRV_CTL_ELEM_TYPE_INTEGER64)
            v->value.integer64.value[i] = c->value[i];
        else if (c->type == SNDRV_CTL_ELEM_TYPE_BYTES)
            v->value.bytes.data[i] = static_cast<unsigned char>(c->value[i]);
        else
            v->value.integer.value[i] = long(c->value[i]);
    }
    return 0;
}

inline int ctl_ioctl(unsigned long req, void *arg)
{
    switch (req) {
        case SNDRV_CTL_IOCTL_ELEM_LIST:
            return ctl_list(static_cast<snd_ctl_elem_list *>(arg));
        case SNDRV_CTL_IOCTL_ELEM_INFO:
            return ctl_info(static_cast<snd_ctl_elem_info *>(arg));
        case SNDRV_CTL_IOCTL_ELEM_WRITE:
            return ctl_write(static_cast<const snd_ctl_elem_value *>(arg));
        case SNDRV_CTL_IOCTL_ELEM_READ:
            return ctl_read(static_cast<snd_ctl_elem_value *>(arg));
        default:
            return ENOTTY;
    }
}

// ---- PCM and I2C --------------------------------------------------------------

// A PCM node answers INFO and refuses the rest: the stream setup behind a
// name fails and is undone, which is what these targets exercise.
inline int pcm_ioctl(unsigned long req, void *arg)
{
    if (req != SNDRV_PCM_IOCTL_INFO) return EINVAL;
    memset(arg, 0, sizeof(snd_pcm_info));
    return 0;
}

// The codec's registers read as 0; every buffer must be there whole. The
// message count, or -errno.
inline int i2c_ioctl(unsigned long req, void *arg)
{
    if (req == I2C_TIMEOUT || req == I2C_RETRIES) return 0;
    if (req != I2C_RDWR) return -ENOTTY;
    auto *d = static_cast<i2c_rdwr_ioctl_data *>(arg);
    if (!d->msgs || d->nmsgs == 0 || d->nmsgs > 2) __builtin_trap();
    for (unsigned i = 0; i < d->nmsgs; ++i) {
        i2c_msg &m = d->msgs[i];
        if (m.len == 0 || !m.buf) __builtin_trap();
        if (m.flags & I2C_M_RD)
            memset(m.buf, 0, m.len);
        else if (__asan_region_is_poisoned(m.buf, m.len))
            __builtin_trap();
    }
    return int(d->nmsgs);
}

}  // namespace ka_fuzz_module

extern "C" int __wrap_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | __O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (path && (strncmp(path, "/dev/", 5) == 0 || strncmp(path, "/sys/", 5) == 0))
        return ka_fuzz_module::open_node(path, flags);
    return __real_open(path, flags, mode);
}

extern "C" int __wrap_close(int fd)
{
    auto &fds = ka_fuzz_module::state().fds;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].first == fd) {
            fds.erase(fds.begin() + long(i));
            break;
        }
    }
    return __real_close(fd);
}

extern "C" int __wrap_ioctl(int fd, unsigned long req, ...)
{
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    using ka_fuzz_module::Node;
    int err;
    switch (ka_fuzz_module::node_of(fd)) {
        case Node::ctl:
            err = ka_fuzz_module::ctl_ioctl(req, arg);
            break;
        case Node::pcm:
            err = ka_fuzz_module::pcm_ioctl(req, arg);
            break;
        case Node::i2c: {
            int r = ka_fuzz_module::i2c_ioctl(req, arg);
            if (r >= 0) return r;
            err = -r;
            break;
        }
        case Node::codec:
            err = ENOTTY;
            break;
        default:
            return __real_ioctl(fd, req, arg);
    }
    if (err) {
        errno = err;
        return -1;
    }
    return 0;
}
