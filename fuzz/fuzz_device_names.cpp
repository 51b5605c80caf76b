// SPDX-License-Identifier: MIT
// Device names given as text, everywhere one is mapped to a device: the
// player's and recorder's context lookups, the platform's PCM open behind
// the simple family and the tone generator, the I2C device node of the
// DRC/AGC call, and the codec's device name in the sysfs codec node (codec
// type, and the bus and address of the I2C device behind it). The devices
// are the stand-ins of fuzz_module.h.
//
// Input: the name (up to the first NUL byte); all of it is also the codec
// node's contents.
#include <alsa_audio.h>

#include "fuzz_common.h"
#include "fuzz_module.h"

namespace {

// Both context tables hold the same names in the same order: a name finds
// the context of the handle it reports in both, or nothing in either.
void check_lookups(const char *name)
{
    int ph = -7, ch = -7;
    ka_pctx *p = __ka_dev2pctx(name, &ph);
    ka_cctx *c = __ka_dev2cctx(name, &ch);
    if ((p == nullptr) != (c == nullptr)) __builtin_trap();
    if (!p) {
        if (ph != -7 || ch != -7) __builtin_trap();  // the handle is stored only when found
    } else {
        if (ph != ch || ph < 0 || ph >= KA_DEVICE_COUNT) __builtin_trap();
        if (p != __ka_hdl2pctx(ph) || c != __ka_hdl2cctx(ch)) __builtin_trap();
        if (strcmp(p->dev_name, name) != 0 || strcmp(c->dev_name, name) != 0) __builtin_trap();
        if (__ka_pctx2hdl(p) != ph || __ka_cctx2hdl(c) != ch) __builtin_trap();
    }
    unsigned mask = 0;
    if ((Ka_AudPlayer_GetInterface(name, &mask) == 0) != (p != nullptr)) __builtin_trap();
    if ((Ka_AudRecorder_GetInterface(name, &mask) == 0) != (c != nullptr)) __builtin_trap();
}

void check_closed()
{
    if (ka_fuzz_module::open_fds() != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const char *name = text.c_str();

    check_lookups(name);

    // The platform's open: a stream record only for a node of card 0 that
    // opened (the stand-in refuses the rest of the setup).
    for (unsigned flags : {unsigned(PCM_OUT), unsigned(PCM_IN | PCM_MONO)}) {
        struct pcm *pcm = pcm_open(flags, const_cast<char *>(name));
        if (pcm) {
            if (pcm_ready(pcm) && (pcm->card_no != 0 || pcm->device_no < 0 || pcm->device_no >= 32))
                __builtin_trap();
            pcm_close(pcm);
        }
        check_closed();
        if (mova_pcm_open(name, flags, 8000, 1, SNDRV_PCM_FORMAT_S16_LE, 1) != nullptr) __builtin_trap();
        check_closed();
    }

    const int tone = Ka_AudTone_Open(name);
    if (tone != 0 && tone != -1) __builtin_trap();
    Ka_AudTone_Close();
    check_closed();

    // The codec node: its type, and the I2C device it names.
    ka_fuzz_module::set_codec_node(data, size);
    const int type = codec_get_type();
    if (type < -1 || type > 6) __builtin_trap();
    const drcagc_param param = {0, 0, 0x00F0, 0x0050, 0xFFFF, 0x1234};
    int rc = Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &param);
    if (rc != 0 && rc != -1) __builtin_trap();
    check_closed();

    // The name as the I2C device node.
    if (*name) {
        rc = Ka_AudCodec_Set_ALC5616_DRCAGC(name, &param);
        if (rc != 0 && rc != -1) __builtin_trap();
        check_closed();
    }
    return 0;
}
