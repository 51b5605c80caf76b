// The device tables as applications see them through the exported pair, the
// handle and name lookups, and route switching through the mixer.
#include <string.h>

#include <string>
#include <vector>

#include "ka_lib_audio.h"
#include "ka_test.h"

namespace {

using ka_test::BoardTest;

const char *const kNames[KA_DEVICE_COUNT] = {"hw:0,0",          "hw:0,13",   "hw:0,14",  "hw:0,16",
                                              "audio_bluetooth", "audio_usb", "audio_net"};

TEST(Contexts, TablesHoldTheSevenDevicesWithTheirDefaults)
{
    const char *mm[4] = {"MultiMedia1", "MultiMedia2", "MultiMedia6", "MultiMedia5"};
    for (int h = 0; h < KA_DEVICE_COUNT; ++h) {
        SCOPED_TRACE(h);
        const ka_pctx &p = audCtl.pctx[h];
        const ka_cctx &c = audCtl.cctx[h];
        EXPECT_STREQ(p.dev_name, kNames[h]);
        EXPECT_STREQ(c.dev_name, kNames[h]);
        EXPECT_EQ(p.path_mask, 1u);
        EXPECT_EQ(c.path_mask, 16u);
        EXPECT_EQ(p.bufsize_ms, 80u);
        EXPECT_EQ(p.state, CTX_CLOSED);
        EXPECT_EQ(c.state, CTX_CLOSED);
        EXPECT_EQ(p.pcm, nullptr);
        EXPECT_EQ(p.ringbuf, nullptr);
        EXPECT_NE(p.start_play, nullptr);
        EXPECT_NE(p.write, nullptr);
        EXPECT_NE(p.soft_volume, nullptr);
        EXPECT_EQ(p.start_decode, nullptr);
        EXPECT_EQ(c.callback, default_capCb);
        EXPECT_NE(c.read, nullptr);
        if (h < 4) {
            EXPECT_EQ(std::string(p.path_ctl[0]), std::string("SEC_AUX_PCM_RX Audio Mixer ") + mm[h]);
            EXPECT_EQ(std::string(p.path_ctl[1]), std::string("SEC_MI2S_RX Audio Mixer ") + mm[h]);
            EXPECT_EQ(std::string(p.path_ctl[2]), std::string("Incall_Music Audio Mixer ") + mm[h]);
            EXPECT_EQ(std::string(c.path_ctl[0]), std::string(mm[h]) + " Mixer SEC_AUX_PCM_UL_TX");
            EXPECT_EQ(std::string(c.path_ctl[1]), std::string(mm[h]) + " Mixer SEC_MI2S_TX");
            EXPECT_EQ(std::string(c.path_ctl[2]), std::string(mm[h]) + " Mixer VOC_REC_UL");
            EXPECT_EQ(std::string(c.path_ctl[3]), std::string(mm[h]) + " Mixer VOC_REC_DL");
        } else {
            for (const char *n : p.path_ctl) EXPECT_STREQ(n, "");
            for (const char *n : c.path_ctl) EXPECT_STREQ(n, "");
        }
    }
}

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
    std::vector<kb_ctl_write> writes()
    {
        std::vector<kb_ctl_write> w(64);
        w.resize(kb_ctl_writes(w.data(), w.size()));
        return w;
    }
    void TearDown() override { audCtl.pctx[1].path_mask = 1; }
};

TEST_F(RouteSwitching, MaskSelectsControlsInBitOrder)
{
    ka_pctx *p = __ka_hdl2pctx(1);
    p->path_mask = 7;
    EXPECT_EQ(__ka_pctx_set_path(p, 1), 0);
    auto w = writes();
    ASSERT_EQ(w.size(), 3u) << log.dump();
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(w[i].name, p->path_ctl[i]);
        EXPECT_EQ(w[i].count, 1);
        EXPECT_EQ(w[i].values[0], 1);
    }
    long v = -1;
    EXPECT_EQ(kb_ctl_get(p->path_ctl[2], &v, 1), 1);
    EXPECT_EQ(v, 1);

    // Off with mask 4 (bit 2 only); bit 3 and up select nothing.
    kb_reset();
    p->path_mask = 4 | 8 | 0x100;
    EXPECT_EQ(__ka_pctx_set_path(p, 0), 0);
    w = writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_STREQ(w[0].name, "Incall_Music Audio Mixer MultiMedia2");
    EXPECT_EQ(w[0].values[0], 0);

    kb_reset();
    p->path_mask = 0;
    EXPECT_EQ(__ka_pctx_set_path(p, 1), 0);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(__ka_pctx_set_path(nullptr, 1), -1);
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
