// SPDX-License-Identifier: MIT
/*
 * ka_board.h - the emulated module.
 *
 * libka_board interposes the libc calls through which a program reaches the
 * module's kernel side (sound card 0's PCM and control devices, the codec on
 * I2C, the sysfs codec node, the audio service's command files) and emulates
 * them in user space. Programs run on it unchanged, either preloaded
 * (`ka-board run -- PROGRAM`) or with libka_board linked in before libc (the
 * tests do that).
 *
 * This header is the board's own C API: tests configure the board and read
 * back what happened through it. Everything here is thread safe.
 *
 * Devices are named by their PCM device number on card 0 and their
 * direction; KB_PLAYBACK / KB_CAPTURE. The library's device names map as:
 *   "hw:0,N"           -> device N
 *   "audio_bluetooth"  -> device KB_DEV_BLUETOOTH
 *   "audio_usb"        -> device KB_DEV_USB
 *   "audio_net"        -> device KB_DEV_NET
 * Any device number 0..KB_MAX_DEVICES-1 exists in both directions.
 */
#ifndef KA_BOARD_H
#define KA_BOARD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
/* kb_pcm_info names both a record and the function that fills it. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
extern "C" {
#endif

#define KB_MAX_DEVICES 32
#define KB_DEV_BLUETOOTH 20
#define KB_DEV_USB 21
#define KB_DEV_NET 22

enum kb_dir { KB_PLAYBACK = 0, KB_CAPTURE = 1 };

/* ---- Whole board --------------------------------------------------------- */

/* Back to the defaults: every device closed and cleared, controls at their
 * defaults, no faults, default codec node text, both command files present
 * and empty, speed 0 (unlimited), records emptied. Descriptors that are still
 * open stay valid but forget their history. */
void kb_reset(void);

/* Clock of the PCM devices: 1.0 is the sample clock, 2.0 twice as fast,
 * 0 consumes and produces as fast as the caller goes (no underruns then). */
void kb_set_speed(double factor);

/* Folder where each PCM playback device's output is kept as
 * "pcmC0D<N>p.wav" (header patched at every close). NULL: no files. */
void kb_set_output_dir(const char *dir);

/* ---- PCM devices --------------------------------------------------------- */

struct kb_pcm_info {
    int open;                /* currently open descriptors on the node */
    unsigned opens, closes;  /* counts since reset */
    /* negotiated by the last successful HW_PARAMS */
    unsigned access;         /* SNDRV_PCM_ACCESS_* */
    unsigned format;         /* SNDRV_PCM_FORMAT_* */
    unsigned channels;
    unsigned rate;
    unsigned period_bytes;
    unsigned buffer_bytes;
    unsigned periods;
    unsigned hw_params;      /* successful HW_PARAMS calls */
    /* from the last successful SW_PARAMS */
    unsigned long avail_min;
    unsigned long start_threshold;
    unsigned long stop_threshold;
    unsigned sw_params;      /* successful SW_PARAMS calls */
    unsigned prepares;       /* successful PREPARE calls */
    unsigned starts;         /* explicit START ioctls (hostless use) */
    unsigned transfers;      /* successful WRITEI/READI calls */
    unsigned underruns;      /* playback underruns / capture overruns */
    uint64_t bytes;          /* bytes played or captured since reset */
};

/* 0 and fills *out; -1 for a bad device number. */
int kb_pcm_info(int device, int dir, struct kb_pcm_info *out);

/* Bytes a playback device has received since reset (in order, across opens).
 * Copies at most `cap` bytes from offset `from` into `out`; returns the total
 * number of bytes received (which may be more than copied). */
size_t kb_pcm_played(int device, size_t from, void *out, size_t cap);

/* Byte count of each successful transfer (WRITEI or READI) since reset, in
 * order. Copies at most `cap` entries; returns the total number of entries. */
size_t kb_pcm_transfers(int device, int dir, unsigned *out, size_t cap);

/* Blocks until a playback device has received at least `bytes` bytes in all,
 * or `timeout_ms` has passed. 0 when reached, -1 on timeout. */
int kb_pcm_wait_played(int device, size_t bytes, int timeout_ms);

/* Blocks until the device's under- or overrun count (kb_pcm_info.underruns)
 * reaches `count`, or `timeout_ms` has passed. 0 when reached, -1 on
 * timeout. The board's clock runs while it waits, so a running stream that
 * nobody feeds underruns during the wait (at a speed above 0). */
int kb_pcm_wait_underruns(int device, int dir, unsigned count, int timeout_ms);

/* Threads blocked right now in a transfer (WRITEI waiting for room in the
 * buffer, READI waiting for data) on the device. */
int kb_pcm_waiters(int device, int dir);

/* SNDRV_PCM_STATE_* of the most recently opened stream of the node that is
 * still open, or -1 when none is open. */
int kb_pcm_state(int device, int dir);

/* Capture sources (per device; default: silence).
 * Tone: sample n of every channel is
 *   (int16_t) lrint(amplitude * sin(2 * pi * freq_hz * n / rate)),
 * n counting frames from the PREPARE that started the stream, for S16_LE
 * (other formats: the same value scaled to the width, little endian).
 * WAV: the data of the WAV file at `path` (its bytes, as they are), then
 * silence. */
void kb_capture_silence(int device);
void kb_capture_tone(int device, double freq_hz, double amplitude);
int kb_capture_wav(int device, const char *path);

/* ---- Control device /dev/snd/controlC0 ---------------------------------- */

/* Values of a control by name: copies at most `max` values, returns the
 * control's value count, or -1 when there is no such control. */
int kb_ctl_get(const char *name, long *values, int max);
/* Sets values directly (not recorded as a write). 0, or -1. */
int kb_ctl_set(const char *name, const long *values, int count);

/* Every ELEM_WRITE since reset, in order. */
struct kb_ctl_write {
    char name[64];
    int count;
    long values[8];
};
size_t kb_ctl_writes(struct kb_ctl_write *out, size_t cap);

/* ---- Codec: sysfs node and I2C ------------------------------------------- */

/* Text of "/sys/devices/soc:sound/codec_name"; NULL makes the node absent.
 * Default: the node text of an ALC5616 on bus 2 at address 0x1b. */
void kb_set_codec_node(const char *text);

/* Register model of the chip at `addr` on bus `bus` (8-bit register
 * addresses, 16-bit values, most significant byte first on the wire).
 * /dev/i2c-<bus> exists for every bus that has a chip; the default chip is
 * bus 2, address 0x1b, all registers 0. */
void kb_i2c_add_chip(int bus, unsigned addr);
void kb_i2c_set_reg(int bus, unsigned addr, unsigned reg, unsigned value);
int kb_i2c_get_reg(int bus, unsigned addr, unsigned reg); /* -1: no chip */

struct kb_i2c_msg {
    int bus;
    unsigned addr;
    unsigned flags;          /* I2C_M_RD for reads */
    unsigned len;
    unsigned char data[16];  /* first bytes: written, or returned by a read */
    int transfer;            /* index of the I2C_RDWR call it belonged to */
};
/* Every message of every I2C_RDWR since reset, in order. */
size_t kb_i2c_msgs(struct kb_i2c_msg *out, size_t cap);
/* Last I2C_TIMEOUT / I2C_RETRIES value set on the bus, -1 if never. */
long kb_i2c_timeout(int bus);
long kb_i2c_retries(int bus);
/* Descriptors of /dev/i2c-* open right now. */
int kb_i2c_open_fds(void);

/* ---- The audio service's command files and system() ---------------------- */

/* "/data/alsaucm_test" and "/run/alsaucm_test": present (empty) or absent. */
void kb_set_file_present(const char *path, int present);
/* Contents of the board's copy; -1 if absent, else the length (copies at most
 * cap - 1 bytes and a terminator). */
long kb_file_contents(const char *path, char *out, size_t cap);

/* The board keeps its copies of the sysfs node and the command files in a
 * folder that a forked child shares with its parent. A child that wants
 * files of its own (test cases run in parallel children) calls this first:
 * a new folder with the default files, removed when the process exits (or,
 * after _exit, by the next board that starts). */
void kb_own_files(void);

/* Every command handed to system() since reset, in order. The board runs
 * them with its own copies of the command files in place of the real ones. */
size_t kb_system_count(void);
/* Copies command `i` (0-based) into out; -1 if there is none. */
int kb_system_command(size_t i, char *out, size_t cap);

/* ---- Faults -------------------------------------------------------------- */

enum kb_fault {
    KB_FAULT_PCM_OPEN,      /* open() of a PCM node fails        (pcm_open NULL) */
    KB_FAULT_PCM_READY,     /* PCM INFO ioctl fails              (pcm_ready 0) */
    KB_FAULT_PCM_HW_PARAMS, /* HW_PARAMS fails */
    KB_FAULT_PCM_SW_PARAMS, /* SW_PARAMS fails */
    KB_FAULT_PCM_PREPARE,   /* PREPARE fails */
    KB_FAULT_PCM_START,     /* START fails */
    KB_FAULT_PCM_WRITE,     /* WRITEI_FRAMES fails (not an underrun) */
    KB_FAULT_PCM_READ,      /* READI_FRAMES fails (not an overrun) */
    KB_FAULT_CTL_OPEN,      /* open() of /dev/snd/controlC0 fails */
    KB_FAULT_CTL_READ,      /* ELEM_READ fails */
    KB_FAULT_CTL_WRITE,     /* ELEM_WRITE fails */
    KB_FAULT_I2C_OPEN,      /* open() of /dev/i2c-N fails */
    KB_FAULT_I2C_TRANSFER,  /* I2C_RDWR fails */
    KB_FAULT_COUNT
};

/* After `skip` calls that succeed, the next `count` calls of that kind fail
 * with `err` (an errno value); count -1 fails every call from then on.
 * `device` selects a PCM device number for the PCM faults (-1: any). Setting
 * a fault again replaces it; count 0 clears it. */
void kb_fault(enum kb_fault fault, int device, int skip, int count, int err);
/* How many calls a fault has failed so far. */
int kb_fault_hits(enum kb_fault fault);
/* How many calls of that kind (on the selected device) were made since the
 * fault was set, failed or not. A fault set with a `skip` no program reaches
 * counts calls without failing any. */
int kb_fault_calls(enum kb_fault fault);

/* ---- Events ------------------------------------------------------------- */

/* Everything the board does that shows what a program did to the module is
 * one event: PCM open, hw/sw params, prepare, start, underrun/overrun, drain,
 * drop, close; control opens and writes; I2C opens, register writes and
 * reads; opens of the codec node and the command files, and their changed
 * contents; system() commands; faults where they fired; WAV files made.
 *
 * The same events go to the trace file named by KA_BOARD_TRACE (one JSON
 * object per line, appended with one write each, so the file is usable after
 * the process is killed), to standard error with KA_BOARD_LOG=1 (as `text`),
 * and to kb_events().
 *
 * Every line has "t" (CLOCK_MONOTONIC, ns), "pid", "seq" (the process's
 * event number, from 0) and "ev" (the kind); PCM events also "dev" and "dir"
 * ("p" or "c"). The other fields depend on the kind. */
struct kb_event {
    uint64_t seq;
    int64_t time_ns;  /* CLOCK_MONOTONIC */
    char kind[32];    /* "pcm_open", "ctl_write", "i2c_write", "system", ... */
    int device;       /* PCM device number, -1 when the event has none */
    int dir;          /* KB_PLAYBACK / KB_CAPTURE, -1 when the event has none */
    char text[256];   /* the line of the text log (cut to fit) */
    char json[768];   /* the line of the trace, without the newline (cut to fit) */
};
/* Appends the events from now on to the trace file at `path` (NULL: no
 * trace). kb_reset() returns to KA_BOARD_TRACE. */
void kb_set_trace(const char *path);
/* The events since reset (up to the first 65536), in order. Copies at most
 * `cap`; returns the total number. */
size_t kb_events(struct kb_event *out, size_t cap);

/* The platform log's entry into the board: the host liblog hands each
 * message here when libka_board is in the process, and it becomes a "log"
 * event (prio as a letter V, D, I, W, E, F; tag; text) instead of a line on
 * standard error. */
void kb_log_message(int prio, const char *tag, const char *text);

/* Descriptors of emulated device nodes (PCM, control, I2C) open right now. */
int kb_open_fds(void);

#ifdef __cplusplus
}
#pragma GCC diagnostic pop
#endif

#endif /* KA_BOARD_H */
