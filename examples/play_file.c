// SPDX-License-Identifier: MIT
/*
 * play_file.c - play an audio file and wait for its end.
 *
 * The library detects the format (WAV, AMR-NB, AMR-WB, MP3), decodes in
 * threads of its own and reports the end through the callback. The file
 * descriptor stays the application's: it is closed here after the play.
 *
 *   ka-board run -- ./play_file music.mp3
 */
#include <fcntl.h>
#include <ka_lib_audio.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int finished = 0;
static int failed = 0;

/* Runs in the library's play thread: AUD_PLAYER_FINISHED once at the end,
 * preceded by AUD_PLAYER_ERROR when the device failed. */
static int on_player(int hdl, int result)
{
    (void)hdl;
    pthread_mutex_lock(&lock);
    if (result == AUD_PLAYER_ERROR) failed = 1;
    if (result == AUD_PLAYER_FINISHED) finished = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    /* NULL device: "hw:0,0". Offset 0: from where the format's data starts. */
    int hdl = Ka_AudPlayer_PlayFile(NULL, fd, 0, on_player);
    if (hdl < 0) {
        fprintf(stderr, "%s: not a playable file, or the device is busy\n", argv[1]);
        close(fd);
        return 1;
    }

    /* Wait for the end of the play (it also comes after a failure). */
    pthread_mutex_lock(&lock);
    while (!finished) pthread_cond_wait(&changed, &lock);
    int ok = !failed;
    pthread_mutex_unlock(&lock);

    /* After the finished report the library stops and closes the player in
     * its own thread; wait until the device is free again before leaving. */
    while (__atomic_load_n(&audCtl.pctx[hdl].state, __ATOMIC_ACQUIRE) != CTX_CLOSED) usleep(10000);

    close(fd);
    printf("%s: %s\n", argv[1], ok ? "played" : "failed");
    return ok ? 0 : 1;
}
