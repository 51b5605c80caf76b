// SPDX-License-Identifier: MIT
/*
 * record_files.c - record a WAV file and an AMR-NB file.
 *
 * Each recording runs in a thread of the library that stores what the
 * capture device delivers; the application decides how long by stopping it.
 * Once Ka_AudRecorder_HClose has returned the file is complete and closed.
 *
 *   ka-board run --capture tone:440 -- ./record_files memo.wav memo.amr
 */
#include <ka_lib_audio.h>
#include <stdio.h>
#include <unistd.h>

static int record(int hdl, const char *path, unsigned seconds)
{
    if (hdl < 0) {
        fprintf(stderr, "%s: cannot record (file not writable or device busy)\n", path);
        return 1;
    }
    sleep(seconds);
    Ka_AudRecorder_HStop(hdl);   /* ends the capture */
    Ka_AudRecorder_HClose(hdl);  /* waits for the file to be finished */
    printf("%s: recorded\n", path);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s OUT.wav OUT.amr\n", argv[0]);
        return 2;
    }
    /* WAV: mono, 16000 Hz, 16-bit (ALSA format 2) from "hw:0,0" (NULL). */
    int rc = record(Ka_AudRecorder_RecordWAV(NULL, argv[1], 1, 16000, 2), argv[1], 1);
    /* AMR-NB: always mono 8000 Hz, encoded at 7.95 kbit/s. */
    rc |= record(Ka_AudRecorder_RecordAMRNB(NULL, argv[2]), argv[2], 1);
    return rc;
}
