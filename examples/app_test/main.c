// SPDX-License-Identifier: MIT
/*
 * louder - records one second from the microphone and plays it back twice
 * as loud on the speaker.
 *
 *   ka-board run --capture tone:440:4000 --out out -- ./louder
 */
#include <stdio.h>

#include "louder.h"

int main(void)
{
    if (louder_echo(1000, 2) != 0) {
        fprintf(stderr, "louder: cannot record or play\n");
        return 1;
    }
    return 0;
}
