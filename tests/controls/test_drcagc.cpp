// ALC5616 DRC/AGC on the board's I2C model: the bytes on the wire, the order
// of the registers, and what a failure leaves behind.
#include <linux/i2c.h>
#include <stdio.h>

#include "controls_test.h"
#include "ka_lib_audio.h"

using namespace ka_test;

namespace {

// Every message since the last reset as "<transfer>:<addr> r <len>" or
// "<transfer>:<addr> w <bytes>".
std::vector<std::string> traffic()
{
    std::vector<kb_i2c_msg> m(64);
    m.resize(std::min(kb_i2c_msgs(m.data(), m.size()), m.size()));
    std::vector<std::string> out;
    for (const kb_i2c_msg &x : m) {
        char buf[64];
        int n = snprintf(buf, sizeof buf, "%d:%02x %c", x.transfer, x.addr, (x.flags & I2C_M_RD) ? 'r' : 'w');
        for (unsigned i = 0; i < x.len && i < 3; ++i)
            n += snprintf(buf + n, sizeof buf - n, (x.flags & I2C_M_RD) ? "" : " %02x", x.data[i]);
        out.emplace_back(buf);
    }
    return out;
}

std::vector<int> regs(int bus = 2, unsigned addr = 0x1b)
{
    return {kb_i2c_get_reg(bus, addr, 0xB4), kb_i2c_get_reg(bus, addr, 0xB5), kb_i2c_get_reg(bus, addr, 0xB6)};
}

void set_regs(unsigned b4, unsigned b5, unsigned b6)
{
    kb_i2c_set_reg(2, 0x1b, 0xB4, b4), kb_i2c_set_reg(2, 0x1b, 0xB5, b5), kb_i2c_set_reg(2, 0x1b, 0xB6, b6);
}

using Drcagc = BoardTest;

}  // namespace

TEST_F(Drcagc, ReadModifyWriteUnderTheMaskInTheOrderB5B6B4)
{
    set_regs(0xF0F0, 0xABCD, 0xFFFF);
    const drcagc_param p = {0xFF00, 0x1299, 0x00FF, 0x1234, 0x8001, 0x0000};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ((std::vector<int>{0x12F0, 0xAB34, 0x7FFE}), regs());
    // Register address then a two-byte read in one transfer; the write sends
    // the register and the value high byte first.
    EXPECT_EQ((std::vector<std::string>{"0:1b w b5", "0:1b r", "1:1b w b5 ab 34", "2:1b w b6", "2:1b r",
                                        "3:1b w b6 7f fe", "4:1b w b4", "4:1b r", "5:1b w b4 12 f0"}),
              traffic());
    EXPECT_EQ(1, kb_i2c_timeout(2));
    EXPECT_EQ(2, kb_i2c_retries(2));
    EXPECT_EQ(0, kb_i2c_open_fds());

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
    // Nothing to change: neither node nor device is needed.
    kb_reset();
    kb_set_codec_node(nullptr);
    const drcagc_param none = {0, 1, 0, 2, 0, 3};
    EXPECT_EQ(0, Ka_AudCodec_Set_ALC5616_DRCAGC("/dev/i2c-9", &none));
    EXPECT_TRUE(log.lines().empty());

    // Failures before any transfer.
    EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ(1, lib_msg(log, kError, "Ka_AudCodec_Set_ALC5616_DRCAGC: open file failed: errno=2\n"));
    for (const char *text : {"nau8810.1-001a\n", "alc5616-codec.x-001b\n", "alc5616-codec.2\n"}) {
        kb_set_codec_node(text);
        EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p)) << text;
    }
    EXPECT_EQ(3, lib_msg(log, kError, "Ka_AudCodec_Set_ALC5616_DRCAGC: cannot find alc5616"));
    kb_set_codec_node("alc5616-codec.7-001b\n");  // no chip on bus 7
    EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p));
    EXPECT_EQ(1, log.count(", dev: /dev/i2c-7,  open i2c device failed \n"));
    EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, nullptr));
    EXPECT_EQ(1, lib_msg(log, kError, "Ka_AudCodec_Set_ALC5616_DRCAGC: wrong parameters\n"));
    EXPECT_TRUE(traffic().empty());
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(Drcagc, FailingTransferStopsAtOnceKeepingEarlierWrites)
{
    // Six transfers: read and write of b5, b6, b4. When transfer k fails,
    // only the writes before it have landed, and the device is closed.
    const drcagc_param p = {0x00F0, 0x0050, 0x00F0, 0x0060, 0x00F0, 0x0040};
    const char *regname[] = {"b5", "b6", "b4"};
    for (int k = 0; k < 6; ++k) {
        kb_reset();
        log.clear();
        kb_fault(KB_FAULT_I2C_TRANSFER, -1, k, 1, EIO);
        EXPECT_EQ(-1, Ka_AudCodec_Set_ALC5616_DRCAGC(nullptr, &p)) << k;
        EXPECT_EQ((std::vector<int>{k > 5 ? 0x50 : 0, k > 1 ? 0x60 : 0, k > 3 ? 0x40 : 0}), regs()) << k;
        const std::string msg = std::string(k % 2 ? "__i2c_write_data_8_16, i2c write" : "__i2c_read_data_8_16, i2c read") +
                                " failed: ret=-1 addr=001b reg=" + regname[k / 2] + "\n";
        EXPECT_EQ(1, lib_msg(log, kError, msg)) << log.dump();
        // Only the transfers before the failing one went out: two messages per
        // read, one per write.
        EXPECT_EQ(static_cast<size_t>(k / 2 * 3 + (k % 2) * 2), traffic().size()) << k;
        EXPECT_EQ(0, kb_i2c_open_fds());
    }
}
