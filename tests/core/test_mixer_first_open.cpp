// SPDX-License-Identifier: MIT
// The first mixer access of a process creates the platform mixer object;
// while the control device stays away it is looked for again on every call.
// Once the object exists, only its descriptor is reopened. Kept in a program
// of its own: the object lives for the life of the process.
#include <errno.h>
#include <sound/asound.h>

#include <string>
#include <vector>

#include "ka_lib_audio.h"
#include "ka_test.h"

namespace {

using ka_test::BoardTest;

class MixerFirstOpen : public BoardTest {};

// The error lines of `failures` refused opens of the mixer's `what`, each
// after `each` when given, ten at most; then `last` when all ten failed.
std::vector<std::string> retries(int failures, const std::string &what, const std::string &each,
                                 const std::string &last)
{
    std::vector<std::string> want;
    for (int left = 9; left >= 10 - failures; --left) {
        if (!each.empty()) want.push_back(each);
        want.push_back("opening mixer " + what + " retry, time left " + std::to_string(left) + "\n");
    }
    if (failures == 10) want.push_back(last);
    return want;
}

TEST_F(MixerFirstOpen, RetriesTheMixerThenItsDescriptorTenTimes)
{
    const std::string name = "SEC_MI2S_RX Audio Mixer MultiMedia2";
    const std::string fd_failed = "Control device open failed: /dev/snd/controlC0\n";
    struct Step {
        int failures;
        bool get;  // Ka_clt_get_mixer_value, else a set of 1
        int result;
        std::vector<std::string> errors;
    };
    const Step steps[] = {
        {10, false, 0, retries(10, "device", "", "ERROR opening mixer device: " + name + "\n")},
        // The getter names itself in its final line.
        {10, true, -1,
         retries(10, "device", "", "Ka_clt_get_mixer_value, ERROR opening mixer device: " + name + "\n")},
        // Nothing was kept: the next call creates the mixer and succeeds.
        {0, false, 1, {}},
        {10, false, 0, retries(10, "fd", fd_failed, "ERROR opening mixer fd: " + name + "\n")},
        // Nine refusals: the tenth attempt gets through.
        {9, false, 1, retries(9, "fd", fd_failed, "")},
        {10, true, -1, retries(10, "fd", fd_failed, "ERROR opening mixer fd: " + name + "\n")},
    };
    const long zero = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE(s.failures);
        log.clear();
        kb_fault(KB_FAULT_CTL_OPEN, -1, 0, s.failures, ENOENT);
        kb_ctl_set(name.c_str(), &zero, 1);
        struct snd_ctl_elem_value v;
        EXPECT_EQ(
            s.get ? Ka_clt_get_mixer_value(name.c_str(), &v) : Ka_clt_set_mixer_value(name.c_str(), 1, "1"),
            s.result);
        EXPECT_EQ(log.errors("ka_mixer"), s.errors);
        long value = 0;
        EXPECT_EQ(kb_ctl_get(name.c_str(), &value, 1), 1);
        EXPECT_EQ(value, s.get ? 0 : s.result) << "the control was written";
        EXPECT_EQ(kb_open_fds(), 0);
    }
}

}  // namespace
