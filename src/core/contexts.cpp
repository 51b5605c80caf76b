// SPDX-License-Identifier: MIT
// The seven device contexts: the player table, the capture table, the
// exported pair that reaches them, and the lookups between device names,
// contexts and handles. A handle is the device's index in both tables.
#define KA_LOG_FILE "ka_lib_audio"
#include <alsa_audio.h>
#include <string.h>

#include "ka_ctx_own.h"
#include "ka_devices.h"
#include "ka_internal.h"

// Placeholder stream of a closed context: all zero but its descriptor.
constinit struct pcm closed_pcm = [] {
    struct pcm p {};
    p.fd = -1;
    return p;
}();

namespace {

using ka_devices::kDevices;
static_assert(ka_devices::kCount == KA_DEVICE_COUNT);
using DeviceRoutes = ka_devices::Device;

constexpr ka_pctx make_pctx(const DeviceRoutes &d)
{
    return ka_pctx{
        .dev_name = d.name,
        .path_ctl = {d.play[0], d.play[1], d.play[2]},
        .path_mask = 1,
        .pcm = nullptr,
        .ringbuf = nullptr,
        .state = CTX_CLOSED,
        .inited = 0,
        .stop = 0,
        .pause = 0,
        .soft_vol = 0,
        .soft_vol_on = 0,
        .bufsize_ms = 80,
        .data_thread = 0,
        .state_lock = PTHREAD_MUTEX_INITIALIZER,
        .ring_lock = PTHREAD_MUTEX_INITIALIZER,
        .file_lock = PTHREAD_MUTEX_INITIALIZER,
        .resume_cond = PTHREAD_COND_INITIALIZER,
        .state_cond = PTHREAD_COND_INITIALIZER,
        .write_chunk = 0,
        .callback = nullptr,
        .start_play = __ka_pctx_start_play,
        .write = __ka_pctx_write,
        .soft_volume = __ka_soft_volume,
        .start_decode = nullptr,
        .file_fd = 0,
    };
}

constexpr ka_cctx make_cctx(const DeviceRoutes &d)
{
    return ka_cctx{
        .dev_name = d.name,
        .inited = 0,
        .stop = 0,
        .pcm = nullptr,
        .path_ctl = {d.cap[0], d.cap[1], d.cap[2], d.cap[3]},
        .path_mask = 16,
        .state = CTX_CLOSED,
        .cap_thread = 0,
        .state_lock = PTHREAD_MUTEX_INITIALIZER,
        .file_lock = PTHREAD_MUTEX_INITIALIZER,
        .state_cond = PTHREAD_COND_INITIALIZER,
        .callback = default_capCb,
        .read = __ka_cctx_read,
        .file_fd = 0,
        .file_type = 0,
        .amr_enc = nullptr,
    };
}

constinit ka_pctx g_pctx[KA_DEVICE_COUNT] = {
    make_pctx(kDevices[0]), make_pctx(kDevices[1]), make_pctx(kDevices[2]), make_pctx(kDevices[3]),
    make_pctx(kDevices[4]), make_pctx(kDevices[5]), make_pctx(kDevices[6]),
};

constexpr ka_pctx_own make_pctx_own()
{
    ka_pctx_own o{};
    o.drained = PTHREAD_COND_INITIALIZER;
    return o;
}

constinit ka_pctx_own g_pctx_own[KA_DEVICE_COUNT] = {
    make_pctx_own(), make_pctx_own(), make_pctx_own(), make_pctx_own(),
    make_pctx_own(), make_pctx_own(), make_pctx_own(),
};
constinit ka_cctx_own g_cctx_own[KA_DEVICE_COUNT] = {};

constinit ka_cctx g_cctx[KA_DEVICE_COUNT] = {
    make_cctx(kDevices[0]), make_cctx(kDevices[1]), make_cctx(kDevices[2]), make_cctx(kDevices[3]),
    make_cctx(kDevices[4]), make_cctx(kDevices[5]), make_cctx(kDevices[6]),
};

// Index of the first table entry whose device name equals `name`, or -1.
// Both tables hold the same names in the same order.
template <typename Ctx>
int find_name(const Ctx *table, const char *name)
{
    for (int i = 0; i < KA_DEVICE_COUNT; ++i)
        if (strcmp(table[i].dev_name, name) == 0) return i;
    return -1;
}

template <typename Ctx>
int ctx_to_handle(const Ctx *table, const Ctx *ctx)
{
    if (ctx == nullptr || ctx->dev_name == nullptr) return -1;
    return find_name(table, ctx->dev_name);
}

// Handles outside 0..6, negative ones included (taken as unsigned), have no
// context.
template <typename Ctx>
Ctx *handle_to_ctx(Ctx *table, int hdl)
{
    if (static_cast<unsigned>(hdl) > KA_DEVICE_COUNT - 1) return nullptr;
    return &table[hdl];
}

// The handle is stored only when the name is found.
template <typename Ctx>
Ctx *name_to_ctx(Ctx *table, const char *dev, int *hdl)
{
    if (dev == nullptr) return nullptr;
    int i = find_name(table, dev);
    if (i < 0) return nullptr;
    if (hdl != nullptr) *hdl = i;
    return &table[i];
}

}  // namespace

constinit ka_aud_ctl audCtl = {g_pctx, g_cctx};

ka_pctx_own &ka_pctx_own_of(int hdl)
{
    return g_pctx_own[hdl];
}
ka_cctx_own &ka_cctx_own_of(int hdl)
{
    return g_cctx_own[hdl];
}

int __ka_pctx2hdl(ka_pctx *pctx)
{
    return ctx_to_handle(audCtl.pctx, pctx);
}
ka_pctx *__ka_hdl2pctx(int hdl)
{
    return handle_to_ctx(audCtl.pctx, hdl);
}
ka_pctx *__ka_dev2pctx(const char *dev, int *hdl)
{
    return name_to_ctx(audCtl.pctx, dev, hdl);
}
int __ka_cctx2hdl(ka_cctx *cctx)
{
    return ctx_to_handle(audCtl.cctx, cctx);
}
ka_cctx *__ka_hdl2cctx(int hdl)
{
    return handle_to_ctx(audCtl.cctx, hdl);
}
ka_cctx *__ka_dev2cctx(const char *dev, int *hdl)
{
    return name_to_ctx(audCtl.cctx, dev, hdl);
}

int __ka_pctx_set_path(ka_pctx *pctx, int on)
{
    if (pctx == nullptr) return -1;
    const char *value = on ? "1" : "0";
    // The mask is read afresh for every bit: a configuration call may change
    // it at any time, without a lock.
    for (unsigned bit = 0; bit < 3; ++bit) {
        if (ka_load(pctx->path_mask) & (1u << bit)) Ka_clt_set_mixer_value(pctx->path_ctl[bit], 1, value);
    }
    return 0;
}

int __ka_cctx_read(ka_cctx *cctx, void *buf, unsigned len)
{
    if (cctx == nullptr || buf == nullptr) return -1;
    // Wait: pcm_read blocks until the device has captured `len` bytes, woken
    // by its clock; an overrun is recovered in the platform layer and a
    // failing device returns an error at once. A device whose clock stopped
    // keeps it waiting until the driver gives up and fails the read.
    return pcm_read(cctx->pcm, buf, len) < 0 ? -1 : 0;
}
