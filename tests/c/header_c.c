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
    if (strcmp(audCtl.pctx[1].dev_name, "hw:0,13") != 0 || strcmp(audCtl.cctx[6].dev_name, "audio_net") != 0) {
        fprintf(stderr, "device table out of order\n");
        return 1;
    }
    if (__ka_hdl2pctx(7) != NULL || __ka_hdl2cctx(-1) != NULL) {
        fprintf(stderr, "handle lookup accepted a bad handle\n");
        return 1;
    }
    printf("1 passed, 0 failed\n");
    return CTX_CLOSED + AUD_FILE_WAV;
}
