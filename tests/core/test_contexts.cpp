// SPDX-License-Identifier: MIT
// The device contexts' handle and name lookups, and each device's route
// switching through the mixer.
#include <string.h>

#include <string>
#include <vector>

#include "ka_lib_audio.h"
#include "ka_test.h"

namespace {

using ka_test::BoardTest;

const char *const kNames[KA_DEVICE_COUNT] = {"hw:0,0",          "hw:0,13",   "hw:0,14",  "hw:0,16",
                                             "audio_bluetooth", "audio_usb", "audio_net"};

TEST(Contexts, LookupsByHandleNameAndContext)
{
    for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
        EXPECT_EQ(__ka_hdl2pctx(h), &audCtl.pctx[h]);
        EXPECT_EQ(__ka_hdl2cctx(h), &audCtl.cctx[h]);
        // Names compare as strings, not as pointers.
        std::string copy = kNames[h];
        int ph = -1, ch = -1;
        EXPECT_EQ(__ka_dev2pctx(copy.c_str(), &ph), &audCtl.pctx[h]);
        EXPECT_EQ(__ka_dev2cctx(copy.c_str(), &ch), &audCtl.cctx[h]);
        EXPECT_EQ(ph, h);
        EXPECT_EQ(ch, h);
        EXPECT_EQ(__ka_pctx2hdl(&audCtl.pctx[h]), h);
        EXPECT_EQ(__ka_cctx2hdl(&audCtl.cctx[h]), h);
    }
    for (int bad : {7, -1, 1000, INT32_MIN}) {
        EXPECT_EQ(__ka_hdl2pctx(bad), nullptr) << bad;
        EXPECT_EQ(__ka_hdl2cctx(bad), nullptr) << bad;
    }
    int untouched = 42;
    EXPECT_EQ(__ka_dev2pctx("hw:0,1", &untouched), nullptr);
    EXPECT_EQ(__ka_dev2cctx("hw:0,13 ", &untouched), nullptr);
    EXPECT_EQ(__ka_dev2pctx("", &untouched), nullptr);
    EXPECT_EQ(__ka_dev2pctx(nullptr, &untouched), nullptr);
    EXPECT_EQ(untouched, 42);

    // A context record that is not in the table but names a device maps to
    // that device's handle.
    ka_pctx other{};
    other.dev_name = "audio_net";
    EXPECT_EQ(__ka_pctx2hdl(&other), 6);
    other.dev_name = "hw:9,9";
    EXPECT_EQ(__ka_pctx2hdl(&other), -1);
    EXPECT_EQ(__ka_pctx2hdl(nullptr), -1);
    EXPECT_EQ(__ka_cctx2hdl(nullptr), -1);
}

class RouteSwitching : public BoardTest {
protected:
    // The control writes since the last call, as "name = value".
    std::vector<std::string> writes()
    {
        std::vector<kb_ctl_write> w(64);
        w.resize(kb_ctl_writes(w.data(), w.size()));
        std::vector<std::string> out;
        for (const kb_ctl_write &x : w) {
            EXPECT_EQ(x.count, 1) << x.name;
            out.push_back(x.name + (" = " + std::to_string(x.values[0])));
        }
        kb_reset();
        return out;
    }
    void TearDown() override
    {
        for (int h = 0; h < KA_DEVICE_COUNT; ++h) audCtl.pctx[h].path_mask = 1, audCtl.cctx[h].path_mask = 16;
    }
};

// Each bit of a route mask switches one route control of the device, in bit
// order: bits 0 to 2 a player's, bits 4 to 7 a recorder's; other bits select
// nothing.
TEST_F(RouteSwitching, MaskBitsSwitchTheDevicesOwnControlsInOrder)
{
    const char *mm[4] = {"MultiMedia1", "MultiMedia2", "MultiMedia6", "MultiMedia5"};
    for (int h = 0; h < 4; ++h) {
        const std::string m = mm[h];
        audCtl.pctx[h].path_mask = audCtl.cctx[h].path_mask = 0xFFFF;
        EXPECT_EQ(__ka_pctx_set_path(&audCtl.pctx[h], 1), 0);
        EXPECT_EQ(__ka_cctx_set_path(&audCtl.cctx[h], 0), 0);
        EXPECT_EQ(
            writes(),
            (std::vector<std::string>{
                "SEC_AUX_PCM_RX Audio Mixer " + m + " = 1", "SEC_MI2S_RX Audio Mixer " + m + " = 1",
                "Incall_Music Audio Mixer " + m + " = 1", m + " Mixer SEC_AUX_PCM_UL_TX = 0",
                m + " Mixer SEC_MI2S_TX = 0", m + " Mixer VOC_REC_UL = 0", m + " Mixer VOC_REC_DL = 0"}))
            << log.dump();
    }
    ka_pctx *p = __ka_hdl2pctx(1);
    p->path_mask = 4 | 8 | 0x100;
    EXPECT_EQ(__ka_pctx_set_path(p, 0), 0);
    EXPECT_EQ(writes(), std::vector<std::string>{"Incall_Music Audio Mixer MultiMedia2 = 0"});
    p->path_mask = 0;
    EXPECT_EQ(__ka_pctx_set_path(p, 1), 0);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(__ka_pctx_set_path(nullptr, 1), -1);
    EXPECT_EQ(__ka_cctx_set_path(nullptr, 1), -1);
}

TEST_F(RouteSwitching, VirtualDeviceStillAsksTheMixer)
{
    // The virtual devices have empty control names: the mixer is asked all
    // the same and refuses, and nothing is written.
    EXPECT_EQ(__ka_pctx_set_path(__ka_hdl2pctx(5), 1), 0);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(log.count("device: , value: 1\n"), 1) << log.dump();
    EXPECT_EQ(log.count("Could not get the mixer control for ''.\n"), 1) << log.dump();
}

}  // namespace
