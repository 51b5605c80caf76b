// ALC5616 DRC/AGC: the registers read and written on the board's I2C model,
// byte by byte, and what is left behind when a transfer fails.
#include <linux/i2c.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "controls_test.h"
#include "ka_lib_audio.h"

using namespace ka_test;

namespace {

constexpr int kBus = 2;
constexpr unsigned kAddr = 0x1b;

std::vector<kb_i2c_msg> i2c_msgs()
{
    std::vector<kb_i2c_msg> m(256);
    const size_t n = kb_i2c_msgs(m.data(), m.size());
    m.resize(n < m.size() ? n : m.size());
    return m;
}

// A message in a form that reads well in a failure: "w b5 ab 34" / "r 2".
std::string describe(const kb_i2c_msg &m)
{
    char buf[64];
    if (m.flags & I2C_M_RD) {
        snprintf(buf, sizeof buf, "%u:%02x r %u", m.transfer, m.addr, m.len);
        return buf;
    }
    std::string s;
    snprintf(buf, sizeof buf, "%u:%02x w", m.transfer, m.addr);
    s = buf;
    for (unsigned i = 0; i < m.len && i < sizeof m.data; ++i) {
        snprintf(buf, sizeof buf, " %02x", m.data[i]);
        s += buf;
    }
    return s;
}

std::vector<std::string> traffic()
{
    std::vector<std::string> out;
    for (const kb_i2c_msg &m : i2c_msgs()) out.push_back(describe(m));
    return out;
}

void set_regs(unsigned b4, unsigned b5, unsigned b6, int bus = kBus, unsigned addr = kAddr)
{
    kb_i2c_set_reg(bus, addr, 0xB4, b4);
    kb_i2c_set_reg(bus, addr, 0xB5, b5);
    kb_i2c_set_reg(bus, addr, 0xB6, b6);
}

std::vector<int> regs(int bus = kBus, unsigned addr = kAddr)
{
    return {kb_i2c_get_reg(bus, addr, 0xB4), kb_i2c_get_reg(bus, addr, 0xB5), kb_i2c_get_reg(bus, addr, 0xB6)};
}

using Drcagc = BoardTest;

}  // namespace

TEST_F(Drcagc, PartialMaskReadsModifiesAndWritesOneRegister)
{
    set_regs(0x1111, 0xABCD, 0x2222);
    const drcagc_param p = {0, 0, 0x00FF, 0x1234, 0, 0};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ((std::vector<int>{0x1111, 0xAB34, 0x2222}), regs());
    // Register address, then a two-byte read in the same transfer; then the
    // register address and the value, high byte first.
    EXPECT_EQ((std::vector<std::string>{"0:1b w b5", "0:1b r 2", "1:1b w b5 ab 34"}), traffic());
    EXPECT_EQ(1, kb_i2c_timeout(kBus));
    EXPECT_EQ(2, kb_i2c_retries(kBus));
    EXPECT_EQ(0, kb_i2c_open_fds());
}

TEST_F(Drcagc, RegistersAreUpdatedB5ThenB6ThenB4)
{
    set_regs(0xF0F0, 0x0F0F, 0xFFFF);
    const drcagc_param p = {0xFF00, 0x1200, 0x000F, 0x0003, 0x8001, 0x0000};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ((std::vector<int>{0x12F0, 0x0F03, 0x7FFE}), regs());
    EXPECT_EQ((std::vector<std::string>{"0:1b w b5", "0:1b r 2", "1:1b w b5 0f 03", "2:1b w b6", "2:1b r 2",
                                        "3:1b w b6 7f fe", "4:1b w b4", "4:1b r 2", "5:1b w b4 12 f0"}),
              traffic());

    // Whole registers are written without being read; value bits outside a
    // partial mask do not leak in.
    kb_reset();
    set_regs(0xAAAA, 0xAAAA, 0xAAAA);
    const drcagc_param whole = {0xFFFF, 0x0102, 0xFFFF, 0x0304, 0x0001, 0xFFFE};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &whole));
    EXPECT_EQ((std::vector<int>{0x0102, 0x0304, 0xAAAA}), regs());
    EXPECT_EQ((std::vector<std::string>{"0:1b w b5 03 04", "1:1b w b6", "1:1b r 2", "2:1b w b6 aa aa",
                                        "3:1b w b4 01 02"}),
              traffic());
}

TEST_F(Drcagc, ChipFoundFromTheNodeOrFromTheGivenPath)
{
    kb_i2c_add_chip(5, 0x2a);
    kb_set_codec_node("alc5616-codec.5-002a\n");
    const drcagc_param p = {0xFFFF, 0xBEEF, 0, 0, 0, 0};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ(0xBEEF, kb_i2c_get_reg(5, 0x2a, 0xB4));
    EXPECT_EQ((std::vector<std::string>{"0:2a w b4 be ef"}), traffic());

    // A given path ignores the node and talks to 0x1B.
    kb_reset();
    kb_set_codec_node(nullptr);
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC("/dev/i2c-2", &p));
    EXPECT_EQ(0xBEEF, kb_i2c_get_reg(kBus, kAddr, 0xB4));

    // Nothing to change: no node and no device are needed.
    kb_reset();
    kb_set_codec_node(nullptr);
    const drcagc_param none = {0, 0x1234, 0, 0x5678, 0, 0x9ABC};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC("/dev/i2c-9", &none));
    EXPECT_TRUE(traffic().empty());
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(Drcagc, FailuresBeforeAnyTransfer)
{
    const drcagc_param p = {0xFFFF, 1, 0, 0, 0, 0};
    EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, nullptr));
    EXPECT_EQ(1, lib_msg(log, kError, "Ka_AudCodec_Set_ALC5616_DRCAGC: wrong parameters\n"));

    kb_set_codec_node(nullptr);
    EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ(1, lib_msg(log, kError, "Ka_AudCodec_Set_ALC5616_DRCAGC: open file failed: errno=2\n"));

    for (const char *text : {"nau8810.1-001a\n", "alc5616-codec.x-001b\n", "alc5616-codec.2\n", ""}) {
        log.clear();
        kb_set_codec_node(text);
        EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p)) << text;
        EXPECT_EQ(1, lib_msg(log, kError, "Ka_AudCodec_Set_ALC5616_DRCAGC: cannot find alc5616")) << text;
    }

    // The node names a bus without a chip; then an explicit path that fails.
    log.clear();
    kb_set_codec_node("alc5616-codec.7-001b\n");
    EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ(1, log.count(", dev: /dev/i2c-7,  open i2c device failed \n")) << log.dump();
    kb_set_codec_node("alc5616-codec.2-001b\n");
    kb_fault(KB_FAULT_I2C_OPEN, -1, 0, 1, EACCES);
    EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC("/dev/i2c-2", &p));
    EXPECT_EQ(1, log.count(", dev: /dev/i2c-2,  open i2c device failed \n"));
    EXPECT_EQ(2, log.count("]:Ka_AudCodec_Set_ALC5616_DRCAGC, line: "));

    EXPECT_TRUE(traffic().empty());
    EXPECT_EQ(0, kb_i2c_open_fds());
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(Drcagc, FailingTransferStopsAtOnceAndKeepsEarlierWrites)
{
    // Partial masks on all three: six transfers, read and write per register
    // in the order b5, b6, b4. Failing transfer k leaves the registers
    // written by transfers before it.
    const drcagc_param p = {0x00F0, 0x0050, 0x00F0, 0x0060, 0x00F0, 0x0040};
    const char *failing[] = {"read failed: ret=-1 addr=001b reg=b5",  "write failed: ret=-1 addr=001b reg=b5",
                             "read failed: ret=-1 addr=001b reg=b6",  "write failed: ret=-1 addr=001b reg=b6",
                             "read failed: ret=-1 addr=001b reg=b4",  "write failed: ret=-1 addr=001b reg=b4"};
    for (int k = 0; k < 6; ++k) {
        kb_reset();
        log.clear();
        set_regs(0, 0, 0);
        kb_fault(KB_FAULT_I2C_TRANSFER, -1, k, 1, EIO);
        EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p)) << k;
        const std::vector<int> expect = {k > 5 ? 0x50 : 0, k > 1 ? 0x60 : 0, k > 3 ? 0x40 : 0};
        EXPECT_EQ(expect, regs()) << k;
        const char *fn = (k % 2 == 0) ? "__i2c_read_data_8_16, i2c " : "__i2c_write_data_8_16, i2c ";
        EXPECT_EQ(1, lib_msg(log, kError, std::string(fn) + failing[k] + "\n")) << k << log.dump();
        EXPECT_EQ(1, kb_fault_hits(KB_FAULT_I2C_TRANSFER));
        EXPECT_EQ(0, kb_i2c_open_fds()) << k;
    }
}
