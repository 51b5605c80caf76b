// SPDX-License-Identifier: MIT
// The plays of the ARM instruction count, run on the real kernel in the VM
// (scripts/arm-instructions.sh): linked with the library as it ships and
// nothing of the board, so its device nodes are the kernel's.
//
//   arm_plays media DIR          the four 5 s files of bench/instructions
//                                (run on the build machine: lame makes the MP3)
//   arm_plays none               start-up and exit only
//   arm_plays play FMT FILE      Ka_AudPlayer_PlayFile of FILE on the default
//                                device, to its end
//   arm_plays bare FMT FILE      the bare decode loop of FILE
//
// As in bench/instructions, each mode ends its main thread with
// pthread_exit: the process ends when its last thread has, with no waiting
// loop whose length would depend on timing. Exit status 3: the play or the
// loop failed.
#include <android/log.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ka_lib_audio.h"
#include "media.h"

namespace {

using namespace ka_bench;

// The library's log is kept quiet, its last error kept to show when a play
// fails.
char g_error[160];
void keep_errors(const struct __android_log_message *m)
{
    if (m->priority >= ANDROID_LOG_ERROR) strncpy(g_error, m->message, sizeof g_error - 1);
}

bool g_play;
void check_play()
{
    if (g_play && !g_finished) {
        fprintf(stderr, "arm_plays: the play did not finish (%s)\n", g_error);
        _exit(3);
    }
}

int usage()
{
    fprintf(stderr, "usage: arm_plays media DIR | none | play|bare FMT FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return usage();
    std::string mode = argv[1];
    if (mode == "media") return argc == 3 && make_gate_media(argv[2]) ? 0 : 2;
    __android_log_set_logger(keep_errors);
    atexit(check_play);
    if (mode == "none") pthread_exit(nullptr);
    if (argc != 4) return usage();
    const GateFormat *fmt = gate_format(argv[2]);
    if (!fmt) return usage();
    if (mode == "bare") {
        if (fmt->bare(argv[3]) == 0) {
            fprintf(stderr, "arm_plays: the bare %s loop decoded nothing\n", fmt->name);
            return 3;
        }
        pthread_exit(nullptr);
    }
    if (mode != "play") return usage();
    g_play = true;
    int fd;
    if (start_play(argv[3], &fd) < 0) return 3;
    pthread_exit(nullptr);
}
