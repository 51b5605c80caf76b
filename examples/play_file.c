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
static int last_result = AUD_PLAYER_START;

/* Runs in the library's play thread. */
static int on_player(int hdl, int result)
{
    (void)hdl;
    pthread_mutex_lock(&lock);
    last_result = result;
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

    /* Wait for the end (or a failure) of the play. */
    pthread_mutex_lock(&lock);
    while (last_result != AUD_PLAYER_FINISHED && last_result != AUD_PLAYER_ERROR)
        pthread_cond_wait(&changed, &lock);
    int result = last_result;
    pthread_mutex_unlock(&lock);

    /* After the finished report the library stops and closes the player in
     * its own thread; wait until the device is free again before leaving. */
    while (__atomic_load_n(&audCtl.pctx[hdl].state, __ATOMIC_ACQUIRE) != CTX_CLOSED) usleep(10000);

    close(fd);
    printf("%s: %s\n", argv[1], result == AUD_PLAYER_FINISHED ? "played" : "failed");
    return result == AUD_PLAYER_FINISHED ? 0 : 1;
}
