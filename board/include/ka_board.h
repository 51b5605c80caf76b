// SPDX-License-Identifier: MIT
/**
 * @file ka_board.h
 * @brief The emulated module as a test library: configure the board, run
 *        application code on it, read back what it did.
 *
 * libka_board interposes the libc calls through which a program reaches the
 * module's kernel side (sound card 0's PCM and control devices, the codec on
 * I2C, the sysfs codec node, the audio service's command files) and emulates
 * them in user space. Programs run on it unchanged, either preloaded
 * (`ka-board run -- PROGRAM`) or with libka_board linked in before libc (the
 * tests do that).
 *
 * This header is the board's own C API, a stable interface: a test links
 * libka_board before libc (find_package(KaLibAudio COMPONENTS board) and
 * KaLibAudio::board first, or `pkg-config ka_board`), chooses capture
 * sources, the codec node and faults, runs the application's code, then
 * reads what each device played, the mixer values, the codec registers and
 * the events. Everything here is thread safe.
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

/** Marks a declaration that is kept for a release under an old name. */
#if defined(__GNUC__) || defined(__clang__)
#define KB_DEPRECATED(why) __attribute__((deprecated(why)))
#else
#define KB_DEPRECATED(why)
#endif

#ifdef __cplusplus
/* The deprecated function kb_pcm_info() has the name of the record it fills
 * (kb_pcm_get_stats() is its new spelling); C++ warns of that with -Wshadow
 * as long as the old function is declared. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
extern "C" {
#endif

/** PCM device numbers of card 0: 0 .. KB_MAX_DEVICES - 1. */
#define KB_MAX_DEVICES 32
/** Device of the library's "audio_bluetooth". */
#define KB_DEV_BLUETOOTH 20
/** Device of the library's "audio_usb". */
#define KB_DEV_USB 21
/** Device of the library's "audio_net". */
#define KB_DEV_NET 22

/** Direction of a PCM device. */
enum kb_dir {
    KB_PLAYBACK = 0, /**< pcmC0D\<N\>p */
    KB_CAPTURE = 1   /**< pcmC0D\<N\>c */
};

/* ---- Whole board --------------------------------------------------------- */

/** Back to the defaults: every device closed and cleared, controls at their
 * defaults, no faults, default codec node text, both command files present
 * and empty, speed 0 (unlimited), records emptied. Descriptors that are still
 * open stay valid but forget their history. */
void kb_reset(void);

/** Sets the clock of the PCM devices.
 *  @param factor  1.0 the sample clock, 2.0 twice as fast, 0 consumes and
 *                 produces as fast as the caller goes (no underruns then) */
void kb_set_speed(double factor);

/** Keeps what each PCM device played out, received or captured as WAV files.
 *  @param dir  folder of the files, or NULL for no files: "pcmC0D\<N\>p.wav"
 *              what a playback device played out (what a speaker sounded),
 *              "pcmC0D\<N\>p.received.wav" what it received (written), kept
 *              only where it differs from what was played out,
 *              "pcmC0D\<N\>c.wav" what a capture device handed out. Headers
 *              are patched at every close and at process exit. */
void kb_set_output_dir(const char *dir);

/** Sets the geometry the PCM devices offer: the smallest period and the
 *  largest buffer. The board chooses as the kernel does: the smallest period
 *  the client's limits allow at or above @p period_ms, then the largest
 *  buffer of whole periods at or below @p buffer_ms. A client that sets only
 *  a lower bound on the period time (the audio library) gets exactly these;
 *  e.g. 4 and 4096 at 8 kHz give a period of 32 frames and a buffer of
 *  32768. Applies to HW_PARAMS from now on; kb_reset() returns to
 *  KA_BOARD_PERIOD_MS / KA_BOARD_BUFFER_MS.
 *  @param period_ms  smallest period in milliseconds (may be fractional), 0
 *                    for the default, 20
 *  @param buffer_ms  largest buffer in milliseconds, 0 for the default, 80 */
void kb_set_geometry(double period_ms, double buffer_ms);

/* ---- PCM devices --------------------------------------------------------- */

/** What a PCM device node went through since the last reset. The setup
 *  fields are those of the last successful HW_PARAMS and SW_PARAMS. */
struct kb_pcm_info {
    int open;                      /**< descriptors open on the node now */
    unsigned opens;                /**< opens since reset */
    unsigned closes;               /**< closes since reset */
    unsigned access;               /**< SNDRV_PCM_ACCESS_* */
    unsigned format;               /**< SNDRV_PCM_FORMAT_* (2: S16_LE) */
    unsigned channels;             /**< channel count */
    unsigned rate;                 /**< frames per second */
    unsigned period_bytes;         /**< bytes of a period */
    unsigned buffer_bytes;         /**< bytes of the buffer */
    unsigned periods;              /**< periods in the buffer */
    unsigned hw_params;            /**< successful HW_PARAMS calls */
    unsigned long avail_min;       /**< frames */
    unsigned long start_threshold; /**< frames */
    unsigned long stop_threshold;  /**< frames */
    unsigned sw_params;            /**< successful SW_PARAMS calls */
    unsigned prepares;             /**< successful PREPARE calls */
    unsigned starts;               /**< explicit START ioctls (hostless use) */
    unsigned transfers;            /**< successful WRITEI/READI calls */
    unsigned underruns;            /**< playback underruns, capture overruns */
    uint64_t bytes;                /**< bytes written or captured since reset */
    /* What a playback device played out (0 for capture): */
    uint64_t out_frames;      /**< frames played out, silence gaps included */
    uint64_t dropped_frames;  /**< frames written and never played out: still
                                   queued at a close or DROP */
    uint64_t replayed_frames; /**< frames played from old buffer contents past
                                   the application's data, before an underrun
                                   was declared */
    uint64_t gap_frames;      /**< silence between a stop (underrun, DROP, end
                                   of a drain) and the stream's next start; the
                                   silence before a close is not kept; none at
                                   speed 0 */
};

/** The device's record under its C++-friendly name. */
typedef struct kb_pcm_info kb_pcm_stats;

/** Reads a device's record.
 *  @param device  device number, 0 .. KB_MAX_DEVICES - 1
 *  @param dir     KB_PLAYBACK or KB_CAPTURE
 *  @param out     receives the record
 *  @return 0, or -1 for a bad device number. */
int kb_pcm_get_stats(int device, int dir, kb_pcm_stats *out);

/** The same as kb_pcm_get_stats(), under its old name (kept for a release).
 *  @param device  device number, 0 .. KB_MAX_DEVICES - 1
 *  @param dir     KB_PLAYBACK or KB_CAPTURE
 *  @param out     receives the record
 *  @return 0, or -1 for a bad device number. */
int kb_pcm_info(int device, int dir, struct kb_pcm_info *out) KB_DEPRECATED("use kb_pcm_get_stats");

/** The bytes a playback device has received (written) since reset, in order,
 *  across opens (as written: in the format of kb_pcm_get_stats).
 *  @param device  device number
 *  @param from    offset of the first byte to copy
 *  @param out     receives at most @p cap bytes
 *  @param cap     room in @p out
 *  @return the total number of bytes received (may be more than copied). */
size_t kb_pcm_played(int device, size_t from, void *out, size_t cap);

/** The bytes a playback device has played out since reset, in order, across
 *  opens, in the streams' format: what a listener heard. Each stream plays
 *  out the frames its hardware pointer passes, from its buffer (past the
 *  application's data, the buffer's old contents, until the underrun is
 *  declared); after a stop, while the stream stays open, silence for the time
 *  that passed (at a speed above 0); frames still queued at a close or DROP
 *  are dropped, never played out. Kept up to 64 MiB per device.
 *  @param device  device number
 *  @param from    offset of the first byte to copy
 *  @param out     receives at most @p cap bytes
 *  @param cap     room in @p out
 *  @return the total number of bytes played out (may be more than copied). */
size_t kb_pcm_played_out(int device, size_t from, void *out, size_t cap);

/** The byte count of each successful transfer (WRITEI or READI) since reset,
 *  in order.
 *  @param device  device number
 *  @param dir     KB_PLAYBACK or KB_CAPTURE
 *  @param out     receives at most @p cap counts
 *  @param cap     room in @p out
 *  @return the total number of transfers. */
size_t kb_pcm_transfers(int device, int dir, unsigned *out, size_t cap);

/** Waits until a playback device has received at least @p bytes in all.
 *  @param device      device number
 *  @param bytes       bytes to wait for
 *  @param timeout_ms  the longest wait
 *  @return 0 when reached, -1 on timeout. */
int kb_pcm_wait_played(int device, size_t bytes, int timeout_ms);

/** Waits until the device's under- or overrun count (kb_pcm_stats.underruns)
 *  reaches @p count. The board's clock runs while it waits, so a running
 *  stream that nobody feeds underruns during the wait (at a speed above 0).
 *  @param device      device number
 *  @param dir         KB_PLAYBACK or KB_CAPTURE
 *  @param count       the count to wait for
 *  @param timeout_ms  the longest wait
 *  @return 0 when reached, -1 on timeout. */
int kb_pcm_wait_underruns(int device, int dir, unsigned count, int timeout_ms);

/** Threads blocked right now in a transfer on the device (WRITEI waiting for
 *  room in the buffer, READI waiting for data).
 *  @param device  device number
 *  @param dir     KB_PLAYBACK or KB_CAPTURE
 *  @return the number of such threads. */
int kb_pcm_waiters(int device, int dir);

/** The state of the most recently opened stream of the node that is still
 *  open.
 *  @param device  device number
 *  @param dir     KB_PLAYBACK or KB_CAPTURE
 *  @return SNDRV_PCM_STATE_*, or -1 when none is open. */
int kb_pcm_state(int device, int dir);

/** Makes a capture device deliver silence (the default).
 *  @param device  device number */
void kb_capture_silence(int device);
/** Makes a capture device deliver a tone: sample n of every channel is
 *  (int16_t) lrint(amplitude * sin(2 * pi * freq_hz * n / rate)), n counting
 *  frames from the PREPARE that started the stream, for S16_LE (other
 *  formats: the same value scaled to the width, little endian).
 *  @param device     device number
 *  @param freq_hz    frequency in Hz
 *  @param amplitude  peak, in 16-bit steps */
void kb_capture_tone(int device, double freq_hz, double amplitude);
/** Makes a capture device deliver the data of a WAV file (its bytes, as
 *  they are), then silence.
 *  @param device  device number
 *  @param path    the WAV file
 *  @return 0, or -1 when the file cannot be read as WAV. */
int kb_capture_wav(int device, const char *path);

/* ---- Control device /dev/snd/controlC0 ---------------------------------- */

/** Reads a mixer control's values.
 *  @param name    the control's name
 *  @param values  receives at most @p max values
 *  @param max     room in @p values
 *  @return the control's value count, or -1 when there is no such control. */
int kb_ctl_get(const char *name, long *values, int max);
/** Sets a control's values directly (not recorded as a write).
 *  @param name    the control's name
 *  @param values  the values
 *  @param count   their number
 *  @return 0, or -1 (no such control, bad count). */
int kb_ctl_set(const char *name, const long *values, int count);

/** One ELEM_WRITE of the control device. */
struct kb_ctl_write {
    char name[64];  /**< the control's name */
    int count;      /**< values written */
    long values[8]; /**< the first values */
};
/** Every ELEM_WRITE since reset, in order.
 *  @param out  receives at most @p cap writes
 *  @param cap  room in @p out
 *  @return the total number of writes. */
size_t kb_ctl_writes(struct kb_ctl_write *out, size_t cap);

/* ---- Codec: sysfs node and I2C ------------------------------------------- */

/** Sets the text of "/sys/devices/soc:sound/codec_name".
 *  @param text  the text, or NULL to make the node absent (default: the
 *               node text of an ALC5616 on bus 2 at address 0x1b) */
void kb_set_codec_node(const char *text);

/** Adds a chip with a register model (8-bit register addresses, 16-bit
 *  values, most significant byte first on the wire) at @p addr on @p bus;
 *  /dev/i2c-\<bus\> exists for every bus that has a chip. The default chip is
 *  bus 2, address 0x1b, all registers 0.
 *  @param bus   bus number
 *  @param addr  7-bit address */
void kb_i2c_add_chip(int bus, unsigned addr);
/** Sets a register of a chip.
 *  @param bus    bus number
 *  @param addr   the chip's address
 *  @param reg    register address
 *  @param value  16-bit value */
void kb_i2c_set_reg(int bus, unsigned addr, unsigned reg, unsigned value);
/** Reads a register of a chip.
 *  @param bus   bus number
 *  @param addr  the chip's address
 *  @param reg   register address
 *  @return the 16-bit value, or -1 when there is no such chip. */
int kb_i2c_get_reg(int bus, unsigned addr, unsigned reg);

/** One message of an I2C_RDWR call. */
struct kb_i2c_msg {
    int bus;                /**< bus number */
    unsigned addr;          /**< the chip's address */
    unsigned flags;         /**< I2C_M_RD for reads */
    unsigned len;           /**< bytes of the message */
    unsigned char data[16]; /**< first bytes: written, or returned by a read */
    int transfer;           /**< index of the I2C_RDWR call it belonged to */
};
/** Every message of every I2C_RDWR since reset, in order.
 *  @param out  receives at most @p cap messages
 *  @param cap  room in @p out
 *  @return the total number of messages. */
size_t kb_i2c_msgs(struct kb_i2c_msg *out, size_t cap);
/** The last I2C_TIMEOUT set on a bus.
 *  @param bus  bus number
 *  @return the value, or -1 if never set. */
long kb_i2c_timeout(int bus);
/** The last I2C_RETRIES set on a bus.
 *  @param bus  bus number
 *  @return the value, or -1 if never set. */
long kb_i2c_retries(int bus);
/** Descriptors of /dev/i2c-* open right now.
 *  @return their number. */
int kb_i2c_open_fds(void);

/* ---- The audio service's command files and system() ---------------------- */

/** Makes a command file present (empty) or absent.
 *  @param path     "/data/alsaucm_test" or "/run/alsaucm_test"
 *  @param present  non-zero: present */
void kb_set_file_present(const char *path, int present);
/** Reads the board's copy of a command file.
 *  @param path  "/data/alsaucm_test" or "/run/alsaucm_test"
 *  @param out   receives at most @p cap - 1 bytes and a terminator
 *  @param cap   room in @p out
 *  @return the file's length, or -1 if it is absent. */
long kb_file_contents(const char *path, char *out, size_t cap);

/** The board keeps its copies of the sysfs node and the command files in a
 * folder that a forked child shares with its parent. A child that wants
 * files of its own (test cases run in parallel children) calls this first:
 * a new folder with the default files, removed when the process exits (or,
 * after _exit, by the next board that starts). */
void kb_own_files(void);

/** The commands handed to system() since reset (the board runs them with
 *  its own copies of the command files in place of the real ones).
 *  @return their number. */
size_t kb_system_count(void);
/** Copies one of the commands handed to system().
 *  @param i    0-based index, in order
 *  @param out  receives the command, cut to @p cap - 1 bytes and terminated
 *  @param cap  room in @p out
 *  @return 0, or -1 if there is no such command. */
int kb_system_command(size_t i, char *out, size_t cap);

/* ---- Faults -------------------------------------------------------------- */

/** The calls the board can make fail. */
enum kb_fault {
    KB_FAULT_PCM_OPEN,      /**< open() of a PCM node fails (pcm_open NULL) */
    KB_FAULT_PCM_READY,     /**< PCM INFO ioctl fails (pcm_ready 0) */
    KB_FAULT_PCM_HW_PARAMS, /**< HW_PARAMS fails */
    KB_FAULT_PCM_SW_PARAMS, /**< SW_PARAMS fails */
    KB_FAULT_PCM_PREPARE,   /**< PREPARE fails */
    KB_FAULT_PCM_START,     /**< START fails */
    KB_FAULT_PCM_WRITE,     /**< WRITEI_FRAMES fails (not an underrun) */
    KB_FAULT_PCM_READ,      /**< READI_FRAMES fails (not an overrun) */
    KB_FAULT_CTL_OPEN,      /**< open() of /dev/snd/controlC0 fails */
    KB_FAULT_CTL_READ,      /**< ELEM_READ fails */
    KB_FAULT_CTL_WRITE,     /**< ELEM_WRITE fails */
    KB_FAULT_I2C_OPEN,      /**< open() of /dev/i2c-N fails */
    KB_FAULT_I2C_TRANSFER,  /**< I2C_RDWR fails */
    KB_FAULT_COUNT          /**< the number of kinds */
};

/** Makes calls of a kind fail: after @p skip calls that succeed, the next
 *  @p count calls fail with @p err. Setting a fault again replaces it.
 *  @param fault   the kind of call
 *  @param device  PCM device number for the PCM faults, -1 for any
 *  @param skip    calls that succeed first
 *  @param count   calls that fail then; -1 every call from then on; 0
 *                 clears the fault
 *  @param err     the errno value they fail with */
void kb_fault(enum kb_fault fault, int device, int skip, int count, int err);
/** How many calls a fault has failed so far.
 *  @param fault  the kind
 *  @return the count. */
int kb_fault_hits(enum kb_fault fault);
/** How many calls of the fault's kind (on its device) were made since it was
 *  set, failed or not: a fault set with a @p skip that no program reaches
 *  counts calls without failing any.
 *  @param fault  the kind
 *  @return the count. */
int kb_fault_calls(enum kb_fault fault);

/* ---- Events ------------------------------------------------------------- */

/** One event of the board. Everything the board does that shows what a
 * program did to the module is one event: PCM open, hw/sw params, prepare, start, underrun/overrun, drain,
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
 * ("p" or "c"). The other fields depend on the kind: docs/trace-format.md
 * describes each. */
struct kb_event {
    uint64_t seq;    /**< the process's event number, from 0 */
    int64_t time_ns; /**< CLOCK_MONOTONIC */
    char kind[32];   /**< "pcm_open", "ctl_write", "i2c_write", "system", ... */
    int device;      /**< PCM device number, -1 when the event has none */
    int dir;         /**< KB_PLAYBACK / KB_CAPTURE, -1 when the event has none */
    char text[256];  /**< the line of the text log (cut to fit) */
    char json[768];  /**< the line of the trace, without the newline (cut to fit) */
};
/** Appends the events from now on to a trace file (after a header line with
 *  the format version when the file is empty). kb_reset() returns to
 *  KA_BOARD_TRACE.
 *  @param path  the file, or NULL for no trace */
void kb_set_trace(const char *path);
/** The events since reset (up to the first 65536), in order.
 *  @param out  receives at most @p cap events
 *  @param cap  room in @p out
 *  @return the total number. */
size_t kb_events(struct kb_event *out, size_t cap);

/** The platform log's entry into the board: the host liblog hands each
 *  message here when libka_board is in the process, and it becomes a "log"
 *  event instead of a line on standard error.
 *  @param prio  ANDROID_LOG_* priority (shown as V, D, I, W, E, F)
 *  @param tag   the message's tag, or NULL
 *  @param text  the message, or NULL */
void kb_log_message(int prio, const char *tag, const char *text);

/** Descriptors of emulated device nodes (PCM, control, I2C) open right now.
 *  @return their number. */
int kb_open_fds(void);

#ifdef __cplusplus
}
#pragma GCC diagnostic pop
#endif

#endif /* KA_BOARD_H */
