// SPDX-License-Identifier: MIT
// Dynamic-range and automatic gain control of the ALC5616 codec. Three 16-bit
// registers (0xB4, 0xB5, 0xB6) are changed bit by bit over I2C, past the ALSA
// mixer, through i2c-dev: 8-bit register addresses, values most significant
// byte first.
#define KA_LOG_FILE "ka_lib_audio"
#include "ka_internal.h"
#include "controls/ka_i2c.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr const char *kCodecNode = "/sys/devices/soc:sound/codec_name";
constexpr const char *kNodeFormat = "alc5616-codec.%d-%04x\n";
constexpr uint16_t kDefaultAddr = 0x1B;  // the chip's address when the caller names the node
constexpr unsigned long kTimeout10ms = 1;
constexpr unsigned long kRetries = 2;

// The descriptor of the I2C device node, closed on every way out.
class i2c_fd {
public:
    explicit i2c_fd(int fd) : fd_(fd) {}
    ~i2c_fd()
    {
        if (fd_ >= 0) close(fd_);
    }
    i2c_fd(const i2c_fd &) = delete;
    i2c_fd &operator=(const i2c_fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads the chip's bus and address from the codec node. 0, or -1 after the
// message.
int find_alc5616(int *bus, unsigned *addr)
{
    int fd = open(kCodecNode, O_RDONLY);
    if (fd < 0) {
        KA_LOGE("%s: open file failed: errno=%d\n", "Ka_AudCodec_Set_ALC5616_DRCAGC", errno);
        return -1;
    }
    char text[129] = {};
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    text[n > 0 ? n : 0] = '\0';
    if (sscanf(text, kNodeFormat, bus, addr) != 2) {
        KA_LOGE("%s: cannot find alc5616", "Ka_AudCodec_Set_ALC5616_DRCAGC");
        return -1;
    }
    *addr &= 0xFFFFu;
    return 0;
}

}  // namespace

// One combined transfer: the register address, then a two-byte read.
int __i2c_read_data_8_16(int fd, uint16_t addr, uint8_t reg, uint16_t *value)
{
    uint8_t reg_buf[1] = {reg};
    uint8_t val_buf[2] = {0, 0};
    struct i2c_msg msgs[2] = {
        {addr, 0, sizeof reg_buf, reg_buf},
        {addr, I2C_M_RD, sizeof val_buf, val_buf},
    };
    struct i2c_rdwr_ioctl_data data = {msgs, 2};
    int ret = ioctl(fd, I2C_RDWR, &data);
    if (ret < 0) {
        KA_LOGE("%s, i2c read failed: ret=%d addr=%04x reg=%02x\n", "__i2c_read_data_8_16", ret, addr, reg);
        return ret;
    }
    *value = static_cast<uint16_t>((val_buf[0] << 8) | val_buf[1]);
    return ret;
}

// One write of three bytes: register address, value high byte, low byte.
int __i2c_write_data_8_16(int fd, uint16_t addr, uint8_t reg, uint16_t value)
{
    uint8_t buf[3] = {reg, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
    struct i2c_msg msg = {addr, 0, sizeof buf, buf};
    struct i2c_rdwr_ioctl_data data = {&msg, 1};
    int ret = ioctl(fd, I2C_RDWR, &data);
    if (ret < 0)
        KA_LOGE("%s, i2c write failed: ret=%d addr=%04x reg=%02x\n", "__i2c_write_data_8_16", ret, addr, reg);
    return ret;
}

extern "C" KA_API int Ka_AudCodec_Set_ALC5616_DRCAGC(const char *dev, const drcagc_param *param)
{
    if (param == nullptr) {
        KA_LOGE("%s: wrong parameters\n", "Ka_AudCodec_Set_ALC5616_DRCAGC");
        return -1;
    }
    if (param->mask_b4 == 0 && param->mask_b5 == 0 && param->mask_b6 == 0) return 0;

    char node[32] = {};
    uint16_t addr = kDefaultAddr;
    const char *path = dev;
    if (path == nullptr) {
        int bus = 0;
        unsigned found = 0;
        if (find_alc5616(&bus, &found) != 0) return -1;
        addr = static_cast<uint16_t>(found);
        snprintf(node, sizeof node, "/dev/i2c-%d", bus);
        path = node;
    }

    i2c_fd fd(open(path, O_RDWR));
    if (fd.get() < 0) {
        KA_LOGE("%s, line: %d, dev: %s,  open i2c device failed \n", "Ka_AudCodec_Set_ALC5616_DRCAGC", __LINE__,
                path);
        return -1;
    }
    // The adapter's own timeout and retry count; the chip works without them.
    ioctl(fd.get(), I2C_TIMEOUT, kTimeout10ms);
    ioctl(fd.get(), I2C_RETRIES, kRetries);

    struct reg_update {
        uint8_t reg;
        uint16_t mask;
        uint16_t value;
    };
    const reg_update updates[] = {
        {0xB5, param->mask_b5, param->value_b5},
        {0xB6, param->mask_b6, param->value_b6},
        {0xB4, param->mask_b4, param->value_b4},
    };
    for (const reg_update &u : updates) {
        if (u.mask == 0) continue;
        uint16_t value = u.value;
        if (u.mask != 0xFFFF) {
            uint16_t current = 0;
            if (__i2c_read_data_8_16(fd.get(), addr, u.reg, &current) < 0) return -1;
            value = static_cast<uint16_t>((current & ~u.mask) | (u.value & u.mask));
        }
        // Registers written before a failure keep their new values.
        if (__i2c_write_data_8_16(fd.get(), addr, u.reg, value) < 0) return -1;
    }
    return 0;
}
