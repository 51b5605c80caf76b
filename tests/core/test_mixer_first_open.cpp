// The first mixer access of a process creates the platform mixer object;
// while the control device stays away it is looked for again on every call.
// Once the object exists, only its descriptor is reopened. Kept in a program
// of its own: the object lives for the life of the process.
#include <errno.h>
#include <sound/asound.h>

#include <string>

#include "ka_lib_audio.h"
#include "ka_test.h"

namespace {

using ka_test::BoardTest;

using MixerFirstOpen = BoardTest;

// Ten attempts at the mixer object, then (once it exists) ten at its
// descriptor, each refusal followed by a retry line counting down to 0;
// after nine refusals the tenth attempt gets through. (The final error
// lines, and the getter's: the fault matrix.)
TEST_F(MixerFirstOpen, RetriesTheMixerThenItsDescriptorTenTimes)
{
    const char *name = "SEC_MI2S_RX Audio Mixer MultiMedia2";
    const struct {
        int failures;
        std::string what;
        int result;
    } steps[] = {{10, "device", 0}, {0, "", 1}, {10, "fd", 0}, {9, "fd", 1}};
    const long zero = 0;
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what + std::to_string(s.failures));
        log.clear();
        kb_fault(KB_FAULT_CTL_OPEN, -1, 0, s.failures, ENOENT);
        kb_ctl_set(name, &zero, 1);
        EXPECT_EQ(Ka_clt_set_mixer_value(name, 1, "1"), s.result);
        EXPECT_EQ(log.count(" retry, time left "), s.failures);
        for (int left = 9; left >= 10 - s.failures; --left)
            EXPECT_EQ(
                log.count("opening mixer " + s.what + " retry, time left " + std::to_string(left) + "\n"), 1);
        long value = 0;
        EXPECT_EQ(kb_ctl_get(name, &value, 1), 1);
        EXPECT_EQ(value, s.result) << "the control was written";
        EXPECT_EQ(kb_open_fds(), 0);
    }
}

}  // namespace
