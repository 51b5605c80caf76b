// ALC5616 DRC/AGC on the board's I2C model: the bytes on the wire, the order
// of the registers, and what a failure leaves behind.
#include <linux/i2c.h>
#include <stdio.h>

#include "controls_test.h"
#include "ka_lib_audio.h"

using namespace ka_test;

namespace {

// Every message since the last reset as "<transfer>:<addr> r" or
// "<transfer>:<addr> w <bytes>".
std::vector<std::string> traffic()
{
    kb_i2c_msg m[64];
    std::vector<std::string> out;
    for (size_t k = 0, count = std::min(kb_i2c_msgs(m, 64), size_t(64)); k < count; ++k) {
        const kb_i2c_msg &x = m[k];
        const bool rd = x.flags & I2C_M_RD;
        char buf[64];
        int n = snprintf(buf, sizeof buf, "%d:%02x %c", x.transfer, x.addr, rd ? 'r' : 'w');
        for (unsigned i = 0; !rd && i < x.len && i < 3; ++i) n += snprintf(buf + n, sizeof buf - n, " %02x", x.data[i]);
        out.emplace_back(buf);
    }
    return out;
}

std::vector<int> regs(int bus = 2, unsigned addr = 0x1b)
{
    return {kb_i2c_get_reg(bus, addr, 0xB4), kb_i2c_get_reg(bus, addr, 0xB5), kb_i2c_get_reg(bus, addr, 0xB6)};
}

using Drcagc = BoardTest;

}  // namespace

TEST_F(Drcagc, ReadModifyWriteUnderTheMaskInTheOrderB5B6B4)
{
    kb_i2c_set_reg(2, 0x1b, 0xB4, 0xF0F0), kb_i2c_set_reg(2, 0x1b, 0xB5, 0xABCD), kb_i2c_set_reg(2, 0x1b, 0xB6, 0xFFFF);
    const drcagc_param p = {0xFF00, 0x1299, 0x00FF, 0x1234, 0x8001, 0x0000};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ((std::vector<int>{0x12F0, 0xAB34, 0x7FFE}), regs());
    // Register address then a two-byte read in one transfer; the write sends
    // the register and the value high byte first.
    EXPECT_EQ((std::vector<std::string>{"0:1b w b5", "0:1b r", "1:1b w b5 ab 34", "2:1b w b6", "2:1b r",
                                        "3:1b w b6 7f fe", "4:1b w b4", "4:1b r", "5:1b w b4 12 f0"}),
              traffic());

    // A whole mask writes without reading; a zero mask skips its register.
    kb_reset();
    const drcagc_param whole = {0, 0x1111, 0xFFFF, 0x0304, 0, 0x2222};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &whole));
    EXPECT_EQ((std::vector<std::string>{"0:1b w b5 03 04"}), traffic());
}

TEST_F(Drcagc, ChipFromTheNodeTextOrTheGivenPath)
{
    kb_i2c_add_chip(5, 0x2a);
    kb_set_codec_node("alc5616-codec.5-002a\n");
    const drcagc_param p = {0xFFFF, 0xBEEF, 0, 0, 0, 0};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ(0xBEEF, kb_i2c_get_reg(5, 0x2a, 0xB4));
    // A given path is used with address 0x1B, whatever the node says.
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC("/dev/i2c-2", &p));
    EXPECT_EQ(0xBEEF, regs()[0]);

    // Failures before any transfer: no node, a node naming no ALC5616 or no
    // bus and address, a bus without the chip, no parameters.
    kb_reset();
    for (const char *text : {(const char *)nullptr, "nau8810.1-001a\n", "alc5616-codec.x-001b\n", "alc5616-codec.2\n",
                             "alc5616-codec.7-001b\n"}) {
        kb_set_codec_node(text);
        EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p)) << (text ? text : "no node");
    }
    EXPECT_EQ(1, log.count("Ka_AudCodec_Set_ALC5616_DRCAGC: open file failed: errno=2\n"));
    EXPECT_EQ(1, log.count(", dev: /dev/i2c-7,  open i2c device failed \n"));
    EXPECT_TRUE(traffic().empty());
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(Drcagc, FailingTransferStopsAtOnceKeepingEarlierWrites)
{
    // Six transfers: read and write of b5, b6, b4. When transfer k fails,
    // only the writes before it have landed, and the device is closed.
    const drcagc_param p = {0x00F0, 0x0050, 0x00F0, 0x0060, 0x00F0, 0x0040};
    for (int k = 0; k < 6; ++k) {
        kb_reset();
        kb_fault(KB_FAULT_I2C_TRANSFER, -1, k, 1, EIO);
        EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p)) << k;
        EXPECT_EQ((std::vector<int>{k > 5 ? 0x50 : 0, k > 1 ? 0x60 : 0, k > 3 ? 0x40 : 0}), regs()) << k;
        // Two messages per read, one per write, up to the failing transfer.
        EXPECT_EQ(static_cast<size_t>(k / 2 * 3 + (k % 2) * 2), traffic().size()) << k;
        EXPECT_EQ(0, kb_i2c_open_fds());
    }
}
