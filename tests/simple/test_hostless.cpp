// PCM streams of the simple family: the hostless start, and failed opens
// that leave nothing open.
#include <alsa_audio.h>

#include "ka_lib_audio.h"
#include "ka_test.h"
#include "stderr_capture.h"

using namespace ka_test;

TEST(Hostless, StartedOnlyWhenHostlessAndFailuresLeaveNothingOpen)
{
    const std::string dev = "mova_pcm_open, device: hw:0,2, ", rec = "mova_record_set_params:";
    const struct {
        int fault;  // -1: none
        unsigned flags;
        int hostless;
        std::string message;
    } cases[] = {
        {-1, PCM_IN, 0, dev + "open pcm sucess\n"},
        {-1, PCM_IN, 1, dev + "open pcm sucess\n"},
        {-1, 0, 0, dev + "open pcm sucess\n"},
        {-1, 0, 1, dev + "open pcm sucess\n"},
        {KB_FAULT_PCM_OPEN, PCM_IN, 1, dev + "pcm is not ready\n"},
        {KB_FAULT_PCM_READY, 0, 1, dev + "pcm is not ready\n"},
        {KB_FAULT_PCM_HW_PARAMS, PCM_IN, 1, rec + "cannot set hw params" + dev + "pcm in  params setting failed\n"},
        {KB_FAULT_PCM_HW_PARAMS, 0, 1, "cannot set hw params\n" + dev + "pcm out params setting failed\n"},
        {KB_FAULT_PCM_SW_PARAMS, PCM_IN, 1, rec + "cannot set sw params" + dev + "pcm in  params setting failed\n"},
        {KB_FAULT_PCM_SW_PARAMS, 0, 1, "cannot set sw params" + dev + "pcm out params setting failed\n"},
        {KB_FAULT_PCM_PREPARE, PCM_IN, 1, dev + "Failed in pcm_prepare\n"},
        {KB_FAULT_PCM_START, PCM_IN, 1, dev + "Hostless IOCTL_START Error no 5 \n"},
        {KB_FAULT_PCM_START, 0, 1, dev + "Hostless IOCTL_START Error no 5 \n"},
    };
    for (const auto &c : cases) {
        kb_reset();
        StderrCapture err;
        if (c.fault >= 0) kb_fault(static_cast<enum kb_fault>(c.fault), 2, 0, -1, EIO);
        struct pcm *pcm = mova_pcm_open("hw:0,2", c.flags, 8000, 2, SNDRV_PCM_FORMAT_S16_LE, c.hostless);
        char progress[128];
        snprintf(progress, sizeof progress, "flag: 0x%x, rate: 8000, channel: 2, format: 2, hostless: %d.\n", c.flags,
                 c.hostless);
        EXPECT_EQ(dev + progress + c.message, err.text()) << c.fault;  // progress first, outcome last
        EXPECT_EQ(c.fault < 0, pcm != nullptr) << c.fault;
        if (pcm) {
            struct kb_pcm_info i {};
            kb_pcm_info(2, c.flags ? KB_CAPTURE : KB_PLAYBACK, &i);
            EXPECT_EQ(1u, i.prepares);
            EXPECT_EQ(static_cast<unsigned>(c.hostless), i.starts) << c.flags;
            EXPECT_EQ(i.period_bytes, mova_get_pem_buffer_len(pcm));
            EXPECT_EQ(0, mova_pcm_close(pcm));
        }
        EXPECT_EQ(0, kb_open_fds()) << c.fault;
    }
    EXPECT_EQ(nullptr, mova_pcm_open(nullptr, 0, 8000, 2, SNDRV_PCM_FORMAT_S16_LE, 0));
}
