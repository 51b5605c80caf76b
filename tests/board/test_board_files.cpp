// SPDX-License-Identifier: MIT
// The emulated descriptors' file operations besides open, close and ioctl,
// and close itself with a call in progress, against what the kernel does; a
// process's own files under a launcher's run.
#include <poll.h>
#include <sys/select.h>
#include <linux/i2c-dev.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "board_pcm.h"

using namespace board_pcm;

// The other file operations as the kernel has them. Duplicates reach the
// same stream and the last close releases it; dup2 over an emulated
// descriptor closes it. write() and read() move whole frames of the stream's
// direction; i2c-dev's are plain messages to the I2C_SLAVE address. poll()
// and select() wait for avail_min frames and report a stopped stream with
// POLLERR. A close in another thread does not end a blocked transfer, which
// completes; the stream is released after it. WRITEI on a memory-mapped
// stream works with one channel only.
TEST_F(Board, DuplicatesReadWritePollAndCloseAsTheKernel)
{
    kb_set_speed(1);
    short buf[1280] = {};
    const int mono = prepared_pcm(1, KB_PLAYBACK, 1, SNDRV_PCM_ACCESS_MMAP_INTERLEAVED);
    const int stereo = prepared_pcm(2, KB_PLAYBACK, 2, SNDRV_PCM_ACCESS_MMAP_INTERLEAVED);
    EXPECT_TRUE(mono >= 0 && stereo >= 0 && xfer(mono, true, buf, 160) == 0);
    EXPECT_EQ(EINVAL, xfer(stereo, true, buf, 160));
    EXPECT_TRUE(close(mono) == 0 && close(stereo) == 0);

    int fd = prepared_pcm(3, KB_PLAYBACK, 1);
    EXPECT_TRUE(write(fd, buf, 3) == -1 && errno == EINVAL);  // not whole frames
    EXPECT_TRUE(read(fd, buf, 320) == -1 && errno == EINVAL);
    // The clock crawls: nothing is played before the next looks.
    kb_set_speed(0.0001);
    EXPECT_EQ(1280, write(fd, buf, 1280));  // the whole buffer
    pollfd pf{fd, POLLOUT, 0};
    EXPECT_EQ(0, poll(&pf, 1, 0));
    int on = 1;
    EXPECT_TRUE(ioctl(fd, FIONBIO, &on) == 0 && write(fd, buf, 2) == -1 && errno == EAGAIN);
    on = 0;
    EXPECT_EQ(0, ioctl(fd, FIONBIO, &on));
    kb_set_speed(1);
    EXPECT_TRUE(poll(&pf, 1, -1) == 1 && pf.revents == POLLOUT);  // a period played
    const int copy = dup(fd), high = fcntl(fd, F_DUPFD_CLOEXEC, 100);
    EXPECT_TRUE(copy >= 0 && high >= 100 && kb_open_fds() == 3);
    EXPECT_EQ(0, close(fd));
    EXPECT_EQ(0, io(high, SNDRV_PCM_IOCTL_DROP));  // the same stream
    fd_set w;
    FD_ZERO(&w);
    FD_SET(copy, &w);
    pf = {copy, POLLOUT, 0};
    EXPECT_TRUE(poll(&pf, 1, -1) == 1 && pf.revents == (POLLOUT | POLLERR));
    EXPECT_TRUE(select(copy + 1, nullptr, &w, nullptr, nullptr) == 1 && FD_ISSET(copy, &w));
    const int ctl = open("/dev/snd/controlC0", O_RDWR);
    EXPECT_EQ(copy, dup2(ctl, copy));  // closes the stream's descriptor
    EXPECT_EQ(1, pcm_info(3).open);
    EXPECT_EQ(0, close_range(unsigned(std::min(ctl, copy)), ~0u, 0));
    snd_ctl_elem_list list{};
    EXPECT_TRUE(kb_open_fds() == 0 && pcm_info(3).open == 0 &&
                io(copy, SNDRV_CTL_IOCTL_ELEM_LIST, &list) != 0);

    const int cap = prepared_pcm(3, KB_CAPTURE, 1);
    pf = {cap, POLLIN, 0};
    EXPECT_EQ(0, poll(&pf, 1, 0));  // prepared: nothing captured until a read starts it
    std::thread stop([cap] {        // ends the wait below (which mostly has begun by then)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(0, io(cap, SNDRV_PCM_IOCTL_DROP));
    });
    EXPECT_TRUE(poll(&pf, 1, -1) == 1 && pf.revents == (POLLIN | POLLERR));
    stop.join();
    EXPECT_EQ(0, io(cap, SNDRV_PCM_IOCTL_PREPARE));
    EXPECT_TRUE(read(cap, buf, 320) == 320 && write(cap, buf, 320) == -1 && errno == EINVAL);
    EXPECT_EQ(0, close(cap));

    const int i2c = open("/dev/i2c-2", O_RDWR);
    unsigned char set[] = {0x21, 0xbe, 0xef}, got[2] = {};
    EXPECT_TRUE(read(i2c, got, 2) == -1 && errno == ENXIO);  // address 0: nobody there
    EXPECT_EQ(0, ioctl(i2c, I2C_SLAVE, 0x1b));
    EXPECT_TRUE(write(i2c, set, 3) == 3 && write(i2c, set, 1) == 1 && read(i2c, got, 2) == 2);
    EXPECT_TRUE(kb_i2c_get_reg(2, 0x1b, 0x21) == 0xbeef && got[0] == 0xbe && got[1] == 0xef);
    EXPECT_EQ(0, close(i2c));

    fd = prepared_pcm(4, KB_PLAYBACK, 1);
    kb_set_speed(0.25);  // the second write waits 160 ms for room
    EXPECT_EQ(0, xfer(fd, true, buf, 640));
    long done = -1;
    std::atomic<bool> ended{false};
    std::thread writer([&] {
        EXPECT_EQ(0, xfer(fd, true, buf, 320, &done));
        ended = true;
    });
    while (kb_pcm_waiters(4, KB_PLAYBACK) == 0 && !ended) std::this_thread::yield();
    EXPECT_EQ(0, close(fd));
    writer.join();
    EXPECT_EQ(320, done);
    const struct kb_pcm_info after = pcm_info(4);
    EXPECT_TRUE(after.open == 0 && after.closes == 1 && after.bytes == 1920);
}

// A process of a launcher's run (KA_BOARD_ROOT names the run's folder) that
// asks for files of its own gets a folder of its own, and the run's folder is
// left as it was.
TEST_F(Board, OwnFilesLeaveTheRunsFolder)
{
    const std::string root = ka_test::temp_dir() + "/run-folder";
    mkdir(root.c_str(), 0755);
    setenv("KA_BOARD_ROOT", root.c_str(), 1);
    const pid_t pid = fork();
    if (pid == 0) {
        kb_own_files();
        FILE *f = fopen("/run/alsaucm_test", "w");
        const bool written = f && fputs("x", f) >= 0 && fclose(f) == 0;
        struct stat st;
        _exit(written && kb_file_contents("/run/alsaucm_test", nullptr, 0) == 1 &&
                      stat((root + "/run/alsaucm_test").c_str(), &st) != 0
                  ? 0
                  : 1);
    }
    unsetenv("KA_BOARD_ROOT");
    int status = -1;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_EQ(0, status);
}
