// SPDX-License-Identifier: MIT
/* The public header used from C11: types, constants and a call through the
 * exported table. */
#include <stdio.h>
#include <string.h>

#include "ka_lib_audio.h"

int main(void)
{
    /* The two tables are reachable and hold the seven devices in order. */
    if (audCtl.pctx == NULL || audCtl.cctx == NULL) {
        fprintf(stderr, "audCtl tables missing\n");
        return 1;
    }
    if (strcmp(audCtl.pctx[1].dev_name, "hw:0,13") != 0 ||
        strcmp(audCtl.cctx[6].dev_name, "audio_net") != 0) {
        fprintf(stderr, "device table out of order\n");
        return 1;
    }
    /* Bad handles, no record, no name: no context, no handle, no route
     * switched. A record outside the tables maps to a handle by the device
     * it names. */
    ka_pctx other = {0};
    int hdl = 42;
    if (__ka_hdl2pctx(7) != NULL || __ka_hdl2cctx(-1) != NULL || __ka_pctx2hdl(&other) != -1 ||
        __ka_cctx2hdl(NULL) != -1 || __ka_dev2pctx(NULL, &hdl) != NULL ||
        __ka_dev2cctx("hw:0,13 ", &hdl) != NULL || hdl != 42 || __ka_pctx_set_path(NULL, 1) != -1 ||
        __ka_cctx_set_path(NULL, 1) != -1) {
        fprintf(stderr, "a bad handle, record or name was accepted\n");
        return 1;
    }
    /* Every player starts on its first route, every recorder on its first
     * capture route; a record whose mask selects nothing switches nothing
     * and succeeds. */
    for (int h = 0; h < 7; ++h) {
        if (audCtl.pctx[h].path_mask != 1 || audCtl.cctx[h].path_mask != 16) {
            fprintf(stderr, "device %d: route masks %u, %u at start\n", h, audCtl.pctx[h].path_mask,
                    audCtl.cctx[h].path_mask);
            return 1;
        }
    }
    audCtl.pctx[0].path_mask = audCtl.cctx[0].path_mask = 0;
    if (__ka_pctx_set_path(&audCtl.pctx[0], 1) != 0 || __ka_cctx_set_path(&audCtl.cctx[0], 0) != 0) {
        fprintf(stderr, "switching no route failed\n");
        return 1;
    }
    other.dev_name = "audio_net";
    if (__ka_pctx2hdl(&other) != 6 || __ka_dev2cctx("hw:0,16", &hdl) != &audCtl.cctx[3] || hdl != 3) {
        fprintf(stderr, "lookup by name failed\n");
        return 1;
    }
    printf("1 passed, 0 failed\n");
    return CTX_CLOSED + AUD_FILE_WAV;
}
