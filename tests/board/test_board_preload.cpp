// The board preloaded into programs that know nothing of it, through the
// ka-board launcher: the shell and cat see the emulated module's files and
// nodes as configured by the launcher's options.
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <math.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "board_raw.h"
#include "ka_test.h"

extern char **environ;

namespace {

std::string launcher()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string self(buf, static_cast<size_t>(n));
    return self.substr(0, self.rfind('/')) + "/../board/ka-board";
}

// A sanitizer runtime this test runs with must come first in the child too.
std::string sanitizer_runtime()
{
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *out) {
            std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.find("libasan.so") != std::string::npos ||
                name.find("libtsan.so") != std::string::npos)
                *static_cast<std::string *>(out) = name;
            return 0;
        },
        &found);
    return found;
}

// The machine an ELF file is built for, or 0.
unsigned elf_machine(const char *path)
{
    unsigned char h[20] = {};
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 0;
    ssize_t n = read(fd, h, sizeof h);
    close(fd);
    if (n != sizeof h || memcmp(h, ELFMAG, SELFMAG) != 0) return 0;
    return h[EI_DATA] == ELFDATA2LSB ? unsigned(h[18] | h[19] << 8) : unsigned(h[18] << 8 | h[19]);
}

struct Outcome {
    int spawn_error = 0;
    int status = -1;
    std::string out, err;
};

Outcome run(const std::vector<std::string> &args, const std::vector<std::string> &extra_env = {})
{
    std::vector<std::string> env = extra_env;
    for (char **e = environ; *e; ++e) {
        std::string v(*e);
        if (v.rfind("LD_PRELOAD=", 0) != 0 && v.rfind("KA_BOARD_", 0) != 0) env.push_back(v);
    }
    if (std::string rt = sanitizer_runtime(); !rt.empty()) {
        env.push_back("LD_PRELOAD=" + rt);
        env.push_back("ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0");
    }
    std::vector<char *> argv, envp;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    int out[2], err[2];
    Outcome r;
    if (pipe(out) || pipe(err)) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    // Read stderr after stdout; both stay small, far below a pipe's size.
    for (auto [fd, text] : {std::pair{out[0], &r.out}, std::pair{err[0], &r.err}}) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) text->append(buf, static_cast<size_t>(n));
        close(fd);
    }
    if (rc == 0) waitpid(pid, &r.status, 0);
    r.spawn_error = rc;
    return r;
}

const char *kScript =
    "cat /sys/devices/soc:sound/codec_name || echo no node; "
    "for f in /data/alsaucm_test /run/alsaucm_test; do "
    "  if [ -e $f ]; then echo present $f; else echo absent $f; fi; done; "
    "[ -c /dev/snd/controlC0 ] && echo control; "
    "[ -e /dev/snd/pcmC0D40p ] || echo no pcm 40; "
    "echo rxgains gain 3 > /run/alsaucm_test && cat /run/alsaucm_test";

TEST(BoardPreload, LauncherConfiguresAndPreloadsTheBoard)
{
    const std::string ka = launcher();
    ASSERT_EQ(0, access(ka.c_str(), X_OK)) << ka;
    // The board can only be preloaded into programs of its own machine (an
    // emulated 32-bit ARM build has no ARM shell to run).
    if (elf_machine("/bin/sh") != elf_machine("/proc/self/exe"))
        GTEST_SKIP() << "/bin/sh is not built for this test's machine";

    Outcome r = run({ka, "run", "--codec", "tlv320aic3x.1-0018", "--files", "run", "--log", "--",
                 "/bin/sh", "-c", kScript});
    ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
    EXPECT_EQ(0, WEXITSTATUS(r.status)) << r.err;
    EXPECT_EQ("tlv320aic3x.1-0018\n"
              "absent /data/alsaucm_test\n"
              "present /run/alsaucm_test\n"
              "control\n"
              "no pcm 40\n"
              "rxgains gain 3\n",
              r.out)
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find("[ka-board ")) << r.err;

    r = run({ka, "run", "--codec", "none", "--files", "none", "--", "/bin/sh", "-c", kScript});
    EXPECT_EQ(0, r.out.find("no node\nabsent /data/alsaucm_test\nabsent /run/alsaucm_test\n"))
        << r.out << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("[ka-board ")) << r.err;

    // Usage errors and help.
    r = run({ka, "run", "--speed", "fast", "--", "/bin/true"});
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(2, WEXITSTATUS(r.status));
    r = run({ka, "--help"});
    EXPECT_EQ(0, WEXITSTATUS(r.status));
    EXPECT_NE(std::string::npos, r.out.find("ka-board run [options] -- PROGRAM"));
}

std::string self_exe()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The launcher's options reach the board through its environment, which the
// board reads when it loads: this test binary runs itself under the launcher
// and the child part below checks what it finds.
TEST(BoardPreload, OptionsConfigureTheBoardAtLoad)
{
    const std::string ka = launcher();
    const std::string dir = ka_test::temp_dir() + "/board_env_out";
    mkdir(dir.c_str(), 0755);
    unlink((dir + "/pcmC0D5p.wav").c_str());
    Outcome r = run({ka, "run", "--capture", "tone:1000:8000", "--fault", "pcm_open@5:1:1:13",
                     "--out", dir, "--speed", "0", "--", self_exe(),
                     "--gtest_filter=BoardEnvChild.*"},
                    {"KB_TEST_ENV_CHILD=1"});
    // An emulated build runs the launcher only where the kernel knows how.
    if (r.spawn_error == ENOEXEC) GTEST_SKIP() << "cannot execute " << ka;
    ASSERT_TRUE(WIFEXITED(r.status)) << r.out << r.err;
    EXPECT_EQ(0, WEXITSTATUS(r.status)) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("[  PASSED  ] 1 test")) << r.out;
    struct stat st;
    ASSERT_EQ(0, stat((dir + "/pcmC0D5p.wav").c_str(), &st));
    EXPECT_EQ(44 + 320, st.st_size);
}

TEST(BoardEnvChild, SeesTheLaunchersOptions)
{
    if (!getenv("KB_TEST_ENV_CHILD")) GTEST_SKIP() << "runs under the launcher only";
    using namespace board_raw;
    int first = open_pcm(5, KB_PLAYBACK);
    ASSERT_GE(first, 0);
    EXPECT_EQ(-1, open_pcm(5, KB_PLAYBACK));
    EXPECT_EQ(EACCES, errno);
    ASSERT_EQ(0, setup(first, 1, 8000));
    int16_t frames[160] = {};
    ASSERT_EQ(0, xfer(first, true, frames, 160));
    close(first);

    int in = open_pcm(3, KB_CAPTURE);
    ASSERT_EQ(0, setup(in, 1, 8000));
    int16_t got[100];
    ASSERT_EQ(0, xfer(in, false, got, 100));
    for (int n = 0; n < 100; ++n)
        ASSERT_EQ(static_cast<int16_t>(lrint(8000 * sin(2 * M_PI * 1000 * n / 8000.0))), got[n]) << n;
    close(in);
}

}  // namespace
