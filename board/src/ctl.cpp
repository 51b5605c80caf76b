// SPDX-License-Identifier: MIT
// The control device of sound card 0: the module's mixer controls with their
// types, value counts and ranges, and a record of every write.
#include <errno.h>
#include <limits.h>
#include <string.h>

#include <sys/ioctl.h>

#include <sound/asound.h>

#include <algorithm>
#include <string_view>

#include "kb_internal.h"

namespace kb {


namespace {

struct CtlDef {
    std::string_view name;
    int type;  // SNDRV_CTL_ELEM_TYPE_*
    int count;
    long min, max;
};

// The front ends whose routes the sound card switches: each has three
// playback routes (to the voice-side PCM, the I2S port and in-call music) and
// four capture routes.
constexpr std::string_view kFrontEnds[] = {"MultiMedia1", "MultiMedia2", "MultiMedia6",
                                           "MultiMedia5"};
constexpr std::string_view kPlaybackRoutes[] = {"SEC_AUX_PCM_RX Audio Mixer ",
                                                "SEC_MI2S_RX Audio Mixer ",
                                                "Incall_Music Audio Mixer "};
constexpr std::string_view kCaptureRoutes[] = {" Mixer SEC_AUX_PCM_UL_TX", " Mixer SEC_MI2S_TX",
                                               " Mixer VOC_REC_UL", " Mixer VOC_REC_DL"};

constexpr long kInt32Max = 2147483647L;

// Everything else the card offers. Codec volumes: the names of all codecs the
// module is built with; a control shared by several codecs takes the widest
// range any of them uses. Voice controls take a level or flag, a session
// (-1: all) and a ramp time in ms.
constexpr CtlDef kOtherControls[] = {
    {"SEC_AUX_PCM_RX_Voice Mixer DTMF", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1},
    {"DTMF_Generate Rx Low High Duration Gain", SNDRV_CTL_ELEM_TYPE_INTEGER, 4, 0, kInt32Max},
    {"DAC1 Playback Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 2, 0, 175},
    {"ADC Capture Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 2, 0, 125},
    {"Playback Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 1, 0, 255},
    {"Capture Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 1, 0, 255},
    {"Master Playback Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 1, 0, 127},
    {"PCM Playback Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 2, 0, 127},
    {"PGA Capture Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 2, 0, 119},
    {"Voice Rx Gain", SNDRV_CTL_ELEM_TYPE_INTEGER, 3, -1, 5000},
    {"Voice Rx Device Mute", SNDRV_CTL_ELEM_TYPE_INTEGER, 3, -1, 5000},
    {"Voice Tx Device Mute", SNDRV_CTL_ELEM_TYPE_INTEGER, 3, -1, 5000},
};

constexpr int kMaxValues = 8;

struct Control {
    std::string name;
    int type, count;
    long min, max;
    long value[kMaxValues];
};

struct Ctl {
    std::vector<Control> controls;  // numid = index + 1
    std::vector<kb_ctl_write> writes;
};

Ctl &ctl()
{
    static Ctl *c = [] {
        auto *t = new Ctl();
        for (auto fe : kFrontEnds) {
            for (auto r : kPlaybackRoutes)
                t->controls.push_back({std::string(r) + std::string(fe),
                                       SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1, {}});
            for (auto r : kCaptureRoutes)
                t->controls.push_back({std::string(fe) + std::string(r),
                                       SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1, {}});
        }
        for (const auto &d : kOtherControls)
            t->controls.push_back({std::string(d.name), d.type, d.count, d.min, d.max, {}});
        return t;
    }();
    return *c;
}

Control *by_name(const char *name)
{
    for (auto &c : ctl().controls)
        if (c.name == name) return &c;
    return nullptr;
}

// The control an id names: by numid, or by interface and name when numid is 0.
Control *by_id(const snd_ctl_elem_id &id, unsigned *numid)
{
    auto &v = ctl().controls;
    if (id.numid) {
        if (id.numid > v.size()) return nullptr;
        *numid = id.numid;
        return &v[id.numid - 1];
    }
    if (id.iface != SNDRV_CTL_ELEM_IFACE_MIXER || id.index != 0) return nullptr;
    char name[sizeof id.name + 1];
    memcpy(name, id.name, sizeof id.name);
    name[sizeof id.name] = 0;
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].name == name) {
            *numid = unsigned(i + 1);
            return &v[i];
        }
    return nullptr;
}

void fill_id(snd_ctl_elem_id &id, unsigned numid, const Control &c)
{
    memset(&id, 0, sizeof id);
    id.numid = numid;
    id.iface = SNDRV_CTL_ELEM_IFACE_MIXER;
    snprintf(reinterpret_cast<char *>(id.name), sizeof id.name, "%s", c.name.c_str());
}

bool in_range(const Control &c, long v) { return v >= c.min && v <= c.max; }

int elem_list(snd_ctl_elem_list *l)
{
    auto &v = ctl().controls;
    l->count = unsigned(v.size());
    l->used = 0;
    if (l->space && !l->pids) return EFAULT;
    for (unsigned i = l->offset; i < v.size() && l->used < l->space; ++i)
        fill_id(l->pids[l->used++], i + 1, v[i]);
    return 0;
}

int elem_info(snd_ctl_elem_info *info)
{
    unsigned numid = 0;
    Control *c = by_id(info->id, &numid);
    if (!c) return ENOENT;
    memset(info, 0, sizeof *info);
    fill_id(info->id, numid, *c);
    info->type = snd_ctl_elem_type_t(c->type);
    info->access = SNDRV_CTL_ELEM_ACCESS_READWRITE;
    info->count = unsigned(c->count);
    info->owner = -1;
    info->value.integer.min = c->min;
    info->value.integer.max = c->max;
    info->value.integer.step = 0;
    return 0;
}

int elem_read(snd_ctl_elem_value *v)
{
    unsigned numid = 0;
    Control *c = by_id(v->id, &numid);
    if (!c) return ENOENT;
    if (int e = fault_check(KB_FAULT_CTL_READ, -1)) return e;
    fill_id(v->id, numid, *c);
    for (int i = 0; i < c->count; ++i) v->value.integer.value[i] = c->value[i];
    return 0;
}

int elem_write(snd_ctl_elem_value *v)
{
    unsigned numid = 0;
    Control *c = by_id(v->id, &numid);
    if (!c) return ENOENT;
    if (int e = fault_check(KB_FAULT_CTL_WRITE, -1)) return e;
    for (int i = 0; i < c->count; ++i)
        if (!in_range(*c, v->value.integer.value[i])) return EINVAL;
    kb_ctl_write w{};
    snprintf(w.name, sizeof w.name, "%s", c->name.c_str());
    w.count = c->count;
    for (int i = 0; i < c->count; ++i) {
        c->value[i] = v->value.integer.value[i];
        w.values[i] = c->value[i];
    }
    ctl().writes.push_back(w);
    Event("ctl_write").str("name", c->name).list("values", w.values, w.count);
    return 0;
}

int card_info(snd_ctl_card_info *i)
{
    memset(i, 0, sizeof *i);
    i->card = 0;
    snprintf(reinterpret_cast<char *>(i->id), sizeof i->id, "kamodule");
    snprintf(reinterpret_cast<char *>(i->driver), sizeof i->driver, "ka-snd");
    snprintf(reinterpret_cast<char *>(i->name), sizeof i->name, "ka-module-snd-card");
    snprintf(reinterpret_cast<char *>(i->longname), sizeof i->longname,
             "KA cellular module sound card");
    snprintf(reinterpret_cast<char *>(i->mixername), sizeof i->mixername, "ka-module mixer");
    return 0;
}

}  // namespace

int ctl_ioctl(Node *n, unsigned long req, void *arg)
{
    Guard g;
    switch (req) {
    case SNDRV_CTL_IOCTL_PVERSION:
        *static_cast<int *>(arg) = SNDRV_CTL_VERSION;
        return 0;
    case SNDRV_CTL_IOCTL_CARD_INFO:
        return card_info(static_cast<snd_ctl_card_info *>(arg));
    case SNDRV_CTL_IOCTL_ELEM_LIST:
        return elem_list(static_cast<snd_ctl_elem_list *>(arg));
    case SNDRV_CTL_IOCTL_ELEM_INFO:
        return elem_info(static_cast<snd_ctl_elem_info *>(arg));
    case SNDRV_CTL_IOCTL_ELEM_READ:
        return elem_read(static_cast<snd_ctl_elem_value *>(arg));
    case SNDRV_CTL_IOCTL_ELEM_WRITE:
        return elem_write(static_cast<snd_ctl_elem_value *>(arg));
    case SNDRV_CTL_IOCTL_SUBSCRIBE_EVENTS: {
        // Negative asks; the board never queues an event for the file.
        int *v = static_cast<int *>(arg);
        if (*v < 0)
            *v = n->subscribed ? 1 : 0;
        else
            n->subscribed = *v > 0;
        return 0;
    }
    case SNDRV_CTL_IOCTL_PCM_NEXT_DEVICE: {
        int *d = static_cast<int *>(arg);
        *d = (*d < -1 || *d >= KB_MAX_DEVICES - 1) ? -1 : *d + 1;
        return 0;
    }
    case SNDRV_CTL_IOCTL_PCM_INFO: {
        auto *i = static_cast<snd_pcm_info *>(arg);
        int dev = int(i->device), dir = i->stream == SNDRV_PCM_STREAM_CAPTURE ? 1 : 0;
        if (dev < 0 || dev >= KB_MAX_DEVICES || i->subdevice != 0) return ENXIO;
        pcm_fill_info(i, dev, dir);
        return 0;
    }
    case SNDRV_CTL_IOCTL_PCM_PREFER_SUBDEVICE:
        return 0;
    case SNDRV_CTL_IOCTL_POWER_STATE:
        *static_cast<int *>(arg) = SNDRV_CTL_POWER_D0;
        return 0;
    default:
        return ENOTTY;
    }
}

void ctl_reset_locked()
{
    for (auto &c : ctl().controls) std::fill(std::begin(c.value), std::end(c.value), 0L);
    ctl().writes.clear();
}

}  // namespace kb

using namespace kb;

extern "C" {

int kb_ctl_get(const char *name, long *values, int max)
{
    if (!name) return -1;
    ensure_init();
    Guard g;
    const Control *c = by_name(name);
    if (!c) return -1;
    for (int i = 0; values && i < std::min(max, c->count); ++i) values[i] = c->value[i];
    return c->count;
}

int kb_ctl_set(const char *name, const long *values, int count)
{
    if (!name || !values) return -1;
    ensure_init();
    Guard g;
    Control *c = by_name(name);
    if (!c || count < 1 || count > c->count) return -1;
    for (int i = 0; i < count; ++i)
        if (!in_range(*c, values[i])) return -1;
    for (int i = 0; i < count; ++i) c->value[i] = values[i];
    return 0;
}

size_t kb_ctl_writes(struct kb_ctl_write *out, size_t cap)
{
    ensure_init();
    Guard g;
    const auto &w = ctl().writes;
    if (out) std::copy_n(w.begin(), std::min(cap, w.size()), out);
    return w.size();
}

}  // extern "C"
