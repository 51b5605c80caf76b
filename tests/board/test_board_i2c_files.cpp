// The codec on I2C (register model and message record), the sysfs codec
// node and the command files behind redirected paths, and system().
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <string>

#include "board_raw.h"
#include "ka_test.h"

using namespace board_raw;
using namespace ka_test;

namespace {

using BoardI2c = BoardTest;
using BoardFiles = BoardTest;

int rdwr(int fd, std::vector<i2c_msg> msgs)
{
    i2c_rdwr_ioctl_data d{msgs.data(), static_cast<__u32>(msgs.size())};
    return ioctl(fd, I2C_RDWR, &d);
}

// Existence as the real kernel sees it, past the board.
bool really_exists(const char *path)
{
    return syscall(SYS_faccessat, AT_FDCWD, path, F_OK) == 0;
}

std::string read_all(const char *path)
{
    FILE *f = fopen(path, "r");
    if (!f) return "<absent>";
    std::string s;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

TEST_F(BoardI2c, RegisterModelAndMessageRecord)
{
    kb_i2c_set_reg(2, 0x1b, 0xb5, 0xabcd);
    int fd = open("/dev/i2c-2", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(1, kb_i2c_open_fds());
    EXPECT_EQ(0, ioctl(fd, I2C_TIMEOUT, 1));
    EXPECT_EQ(0, ioctl(fd, I2C_RETRIES, 2));
    EXPECT_EQ(1, kb_i2c_timeout(2));
    EXPECT_EQ(2, kb_i2c_retries(2));
    EXPECT_EQ(-1, kb_i2c_timeout(3));

    // Read: register address, then two bytes, most significant first.
    __u8 reg = 0xb5, val[2] = {0, 0};
    EXPECT_EQ(2, rdwr(fd, {{0x1b, 0, 1, &reg}, {0x1b, I2C_M_RD, 2, val}}));
    EXPECT_EQ(0xab, val[0]);
    EXPECT_EQ(0xcd, val[1]);
    // Write: address, high, low; two registers in one message go in turn.
    __u8 w[5] = {0xb5, 0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(1, rdwr(fd, {{0x1b, 0, 5, w}}));
    EXPECT_EQ(0x1234, kb_i2c_get_reg(2, 0x1b, 0xb5));
    EXPECT_EQ(0x5678, kb_i2c_get_reg(2, 0x1b, 0xb6));
    // Nobody answers at another address: the whole transfer fails.
    EXPECT_EQ(-1, rdwr(fd, {{0x1b, 0, 3, w}, {0x20, 0, 1, &reg}}));
    EXPECT_EQ(ENXIO, errno);
    EXPECT_EQ(0x1234, kb_i2c_get_reg(2, 0x1b, 0xb5));

    kb_i2c_msg m[8];
    ASSERT_EQ(3u, kb_i2c_msgs(m, 8));
    EXPECT_EQ(0, m[0].transfer);
    EXPECT_EQ(0, m[1].transfer);
    EXPECT_EQ(static_cast<unsigned>(I2C_M_RD), m[1].flags);
    EXPECT_EQ(0xab, m[1].data[0]);
    EXPECT_EQ(1, m[2].transfer);
    EXPECT_EQ(5u, m[2].len);
    EXPECT_EQ(0x78, m[2].data[4]);
    EXPECT_EQ(2, m[2].bus);
    EXPECT_EQ(0x1bu, m[2].addr);

    // A failing transfer after one that passes, then the bus works again.
    kb_fault(KB_FAULT_I2C_TRANSFER, -1, 1, 1, EREMOTEIO);
    EXPECT_EQ(2, rdwr(fd, {{0x1b, 0, 1, &reg}, {0x1b, I2C_M_RD, 2, val}}));
    EXPECT_EQ(-1, rdwr(fd, {{0x1b, 0, 3, w}}));
    EXPECT_EQ(EREMOTEIO, errno);
    EXPECT_EQ(1, rdwr(fd, {{0x1b, 0, 3, w}}));
    EXPECT_EQ(1, kb_fault_hits(KB_FAULT_I2C_TRANSFER));
    ASSERT_EQ(6u, kb_i2c_msgs(m, 8));
    EXPECT_EQ(5, m[5].transfer);  // calls are counted, failed ones too
    close(fd);
    EXPECT_EQ(0, kb_i2c_open_fds());

    // Buses exist where chips are; opens can be made to fail.
    EXPECT_EQ(-1, open("/dev/i2c-5", O_RDWR));
    EXPECT_EQ(ENOENT, errno);
    kb_i2c_add_chip(5, 0x30);
    EXPECT_EQ(-1, kb_i2c_get_reg(5, 0x31, 0));
    EXPECT_EQ(0, kb_i2c_get_reg(5, 0x30, 0));
    kb_fault(KB_FAULT_I2C_OPEN, -1, 0, 1, EACCES);
    EXPECT_EQ(-1, open("/dev/i2c-5", O_RDWR));
    EXPECT_EQ(EACCES, errno);
    fd = open("/dev/i2c-5", O_RDWR);
    EXPECT_GE(fd, 0);
    close(fd);
    kb_reset();
    EXPECT_EQ(-1, kb_i2c_get_reg(5, 0x30, 0));
    EXPECT_EQ(0, kb_i2c_get_reg(2, 0x1b, 0xb5));
    EXPECT_EQ(0u, kb_i2c_msgs(nullptr, 0));
    EXPECT_EQ(0, kb_open_fds());
}

TEST_F(BoardFiles, CodecNodeAndCommandFilesAreTheBoards)
{
    const char *node = "/sys/devices/soc:sound/codec_name";
    const bool machine_had[] = {really_exists("/data/alsaucm_test"),
                                really_exists("/run/alsaucm_test")};
    EXPECT_EQ("alc5616-codec.2-001b\n", read_all(node));
    char buf[64] = {};
    int fd = open(node, O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(21, read(fd, buf, sizeof buf));
    close(fd);
    kb_set_codec_node("nau8810.1-001a\n");
    EXPECT_EQ("nau8810.1-001a\n", read_all(node));
    kb_set_codec_node(nullptr);
    EXPECT_EQ("<absent>", read_all(node));
    EXPECT_EQ(-1, open(node, O_RDONLY));
    EXPECT_EQ(ENOENT, errno);
    struct stat st;
    EXPECT_EQ(-1, stat(node, &st));

    // Both command files are there and empty; absent ones are absent to
    // every kind of look-up.
    for (const char *f : {"/data/alsaucm_test", "/run/alsaucm_test"}) {
        EXPECT_EQ(0, access(f, F_OK)) << f;
        ASSERT_EQ(0, stat(f, &st)) << f;
        EXPECT_EQ(0, st.st_size);
        EXPECT_EQ(0, kb_file_contents(f, buf, sizeof buf));
    }
    kb_set_file_present("/data/alsaucm_test", 0);
    EXPECT_EQ(-1, access("/data/alsaucm_test", F_OK));
    EXPECT_EQ(-1, stat("/data/alsaucm_test", &st));
    EXPECT_EQ(nullptr, fopen("/data/alsaucm_test", "r"));
    EXPECT_EQ(-1, kb_file_contents("/data/alsaucm_test", buf, sizeof buf));

    // system() is recorded and runs with the board's copies.
    EXPECT_EQ(0, system("echo txvoices 1 3 0 > /run/alsaucm_test"));
    EXPECT_EQ(0, system("echo rxgains gain 5 > /data/alsaucm_test"));  // creates it
    ASSERT_EQ(2u, kb_system_count());
    char cmd[128];
    ASSERT_EQ(0, kb_system_command(1, cmd, sizeof cmd));
    EXPECT_STREQ("echo rxgains gain 5 > /data/alsaucm_test", cmd);
    EXPECT_EQ(-1, kb_system_command(2, cmd, sizeof cmd));
    EXPECT_EQ(15, kb_file_contents("/run/alsaucm_test", buf, sizeof buf));
    EXPECT_STREQ("txvoices 1 3 0\n", buf);
    EXPECT_EQ("rxgains gain 5\n", read_all("/data/alsaucm_test"));
    EXPECT_EQ(0, access("/data/alsaucm_test", F_OK));
    // A file the program writes itself lands there too.
    FILE *f = fopen("/run/alsaucm_test", "a");
    ASSERT_NE(nullptr, f);
    fputs("more\n", f);
    fclose(f);
    EXPECT_EQ("txvoices 1 3 0\nmore\n", read_all("/run/alsaucm_test"));
    // The machine's own paths were never touched.
    EXPECT_EQ(machine_had[0], really_exists("/data/alsaucm_test"));
    EXPECT_EQ(machine_had[1], really_exists("/run/alsaucm_test"));

    kb_reset();
    EXPECT_EQ(0u, kb_system_count());
    EXPECT_EQ(0, kb_file_contents("/run/alsaucm_test", buf, sizeof buf));
    EXPECT_EQ(0, kb_file_contents("/data/alsaucm_test", buf, sizeof buf));
    EXPECT_EQ("alc5616-codec.2-001b\n", read_all(node));
}

TEST_F(BoardFiles, OtherCardsAndDevicesAreAbsentAndPathsPassThrough)
{
    EXPECT_EQ(-1, open("/dev/snd/pcmC0D32p", O_RDWR));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(-1, access("/dev/snd/pcmC0D99c", F_OK));
    EXPECT_EQ(0, access("/dev/snd/pcmC0D31c", F_OK));
    EXPECT_EQ(0, access("/dev/snd/controlC0", R_OK | W_OK));
    EXPECT_EQ(0, access("/dev/i2c-2", F_OK));
    EXPECT_EQ(-1, open("/dev/snd/pcmC0D0p", O_RDWR | O_DIRECTORY));
    EXPECT_EQ(0, kb_open_fds());
    // Files of the machine are left alone.
    int fd = openat(AT_FDCWD, "/proc/self/status", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, kb_open_fds());
    int flags = 0;
    EXPECT_EQ(-1, ioctl(fd, SNDRV_PCM_IOCTL_PVERSION, &flags));  // reaches the real kernel
    close(fd);
    fd = openat(AT_FDCWD, "/dev/snd/pcmC0D7p", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(1, kb_open_fds());
    struct kb_pcm_info i{};
    ASSERT_EQ(0, kb_pcm_info(7, KB_PLAYBACK, &i));
    EXPECT_EQ(1u, i.opens);
    EXPECT_EQ(-1, kb_pcm_info(32, KB_PLAYBACK, &i));
    close(fd);
    EXPECT_EQ(0, kb_open_fds());
}

}  // namespace
