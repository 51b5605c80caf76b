// SPDX-License-Identifier: MIT
/* The public header used from C11: types, constants and a call through the
 * exported table. */
#include <stdio.h>
#include <string.h>

#include "ka_lib_audio.h"

static int failures;

/* Counts and names a check that did not hold; the run goes on. */
static void check(int ok, const char *what)
{
    failures += !ok;
    if (!ok) fprintf(stderr, "%s\n", what);
}

int main(void)
{
    /* The two tables are reachable and hold the seven devices in order. */
    check(audCtl.pctx != NULL && audCtl.cctx != NULL, "audCtl tables missing");
    check(
        strcmp(audCtl.pctx[1].dev_name, "hw:0,13") == 0 && strcmp(audCtl.cctx[6].dev_name, "audio_net") == 0,
        "device table out of order");
    /* Bad handles, no record, no name: no context, no handle, no route
     * switched. A record outside the tables maps to a handle by the device
     * it names. */
    ka_pctx other = {0};
    int hdl = 42;
    check(__ka_hdl2pctx(7) == NULL && __ka_hdl2cctx(-1) == NULL && __ka_pctx2hdl(&other) == -1 &&
              __ka_cctx2hdl(NULL) == -1 && __ka_dev2pctx(NULL, &hdl) == NULL &&
              __ka_dev2cctx("hw:0,13 ", &hdl) == NULL && hdl == 42 && __ka_pctx_set_path(NULL, 1) == -1 &&
              __ka_cctx_set_path(NULL, 1) == -1,
          "a bad handle, record or name was accepted");
    /* Every player starts on its first route, every recorder on its first
     * capture route; a record whose mask selects nothing switches nothing
     * and succeeds. */
    for (int h = 0; h < 7; ++h)
        check(audCtl.pctx[h].path_mask == 1 && audCtl.cctx[h].path_mask == 16, "route masks at start");
    audCtl.pctx[0].path_mask = audCtl.cctx[0].path_mask = 0;
    check(__ka_pctx_set_path(&audCtl.pctx[0], 1) == 0 && __ka_cctx_set_path(&audCtl.cctx[0], 0) == 0,
          "switching no route failed");
    /* Each state a context can hold, as the player and the recorder report
     * it (7 and 8: values without a name that the player still counts as
     * playing; the recorder, 7 only). */
    static const struct {
        int state, play_code;
        const char *play;
        int rec_code;
        const char *rec;
    } states[] = {
        {CTX_CLOSED, AUD_PLAYER_FINISHED, "AUD_PLAYER_FINISHED", 3, "AUD_RECORDER_FINISHED"},
        {CTX_OPENED, AUD_PLAYER_FINISHED, "AUD_PLAYER_FINISHED", 3, "AUD_RECORDER_FINISHED"},
        {CTX_STARTING, AUD_PLAYER_START, "AUD_PLAYER_START", 0, "AUD_RECORDER_START"},
        {CTX_RUNNING, AUD_PLAYER_START, "AUD_PLAYER_START", 0, "AUD_RECORDER_START"},
        {CTX_ERROR, AUD_PLAYER_ERROR, "AUD_PLAYER_ERROR", -1, "AUD_RECORDER_ERROR"},
        {CTX_FINISHED, AUD_PLAYER_FINISHED, "AUD_PLAYER_FINISHED", 3, "AUD_RECORDER_FINISHED"},
        {CTX_PAUSED, AUD_PLAYER_PAUSE, "AUD_PLAYER_PAUSE", 1, "AUD_RECORDER_PAUSE"},
        {7, AUD_PLAYER_START, "AUD_PLAYER_START", 0, "AUD_RECORDER_START"},
        {8, AUD_PLAYER_START, "AUD_PLAYER_START", -1, "AUD_RECORDER_ERROR"},
        {9, AUD_PLAYER_ERROR, "Ka_AUDIOPLAY_UNKNOWN", -1, "AUD_RECORDER_ERROR"},
    };
    for (size_t i = 0; i < sizeof states / sizeof states[0]; ++i) {
        int play_code = 99, rec_code = 99;
        audCtl.pctx[1].state = audCtl.cctx[1].state = states[i].state;
        const char *play = Ka_AudPlayer_GetState(1, &play_code),
                   *rec = Ka_AudRecorder_HGetState(1, &rec_code);
        check(strcmp(play, states[i].play) == 0 && play_code == states[i].play_code &&
                  strcmp(rec, states[i].rec) == 0 && rec_code == states[i].rec_code,
              states[i].play);
    }
    audCtl.pctx[1].state = audCtl.cctx[1].state = CTX_CLOSED;
    /* Calls on no device; the recorder's pause and resume, accepted without
     * effect; a capture context set up and back. */
    int code = 99;
    check(Ka_AudPlayer_Resume(7) == -1 && Ka_AudPlayer_Stop(-1) == -1 && Ka_AudSoft_SetVolume(7, 50) == -1 &&
              strcmp(Ka_AudPlayer_GetState(7, &code), "No Such Device") == 0 &&
              strcmp(Ka_AudRecorder_HGetState(-1, &code), "No Such Device") == 0 && code == 99 &&
              Ka_AudRecorder_Record(7, &code, sizeof code) == -1 && Ka_AudRecorder_Pause() == 0 &&
              Ka_AudRecorder_Resume() == 0 && Ka_AudRecorder_HResume(3) == 0 &&
              __ka_cctx_init(NULL, NULL) == -1 && __ka_cctx_deinit(NULL) == -1,
          "a call on no device was accepted");
    check(__ka_cctx_init(&audCtl.cctx[2], NULL) == 0 && audCtl.cctx[2].inited == 1 &&
              audCtl.cctx[2].callback == default_capCb && __ka_cctx_deinit(&audCtl.cctx[2]) == 0 &&
              audCtl.cctx[2].inited == 0 && audCtl.cctx[2].callback == default_capCb,
          "capture context set-up");
    /* Format checks without a record to fill are refused; a file type's
     * decode operation is installed, an unknown type changes nothing. */
    ka_pctx *p0 = &audCtl.pctx[0];
    check(check_audio_format(0, NULL) == -1 && get_mp3_id3_para(0, NULL) == -1 &&
              __ka_pctx_setops(NULL, AUD_FILE_WAV) == -1 && __ka_pctx_setops(p0, AUD_FILE_WAV) == 0 &&
              p0->start_decode != NULL && __ka_pctx_setops(p0, 99) == -1 && p0->start_decode != NULL,
          "format checks or decode operations");
    other.dev_name = "audio_net";
    check(__ka_pctx2hdl(&other) == 6 && __ka_dev2cctx("hw:0,16", &hdl) == &audCtl.cctx[3] && hdl == 3,
          "lookup by name failed");
    printf("%d passed, %d failed\n", !failures, !!failures);
    return failures ? 1 : CTX_CLOSED + AUD_FILE_WAV;
}
