// SPDX-License-Identifier: MIT
/*
 * liblog for the host: the module's platform log.
 *
 * On the emulated board (libka_board loaded in the process) every message
 * becomes one of the board's events, so it shows in its trace, its --log
 * and its report beside what the devices did. Elsewhere warnings, errors and
 * fatal messages go to standard error, one line each, in a logcat-like form
 * "E/(tag): text"; KA_LOG=all in the environment shows every priority. A
 * program may install a logger with
 * __android_log_set_logger(); while one is installed every message is handed
 * to it instead, with the text exactly as formatted.
 *
 * Thread safety: the logger is kept in an atomic pointer, so installing or
 * removing it while other threads log is race free. A message that loaded the
 * previous logger just before it was replaced may still reach that logger;
 * loggers therefore have to stay callable (they are plain functions). Each
 * stderr line is written with a single writev() so that lines from different
 * threads do not interleave.
 */
#define _GNU_SOURCE

#include <android/log.h>

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#define KA_LOG_EXPORT __attribute__((visibility("default")))

/* Messages up to this length are formatted on the stack. */
enum { LOG_STACK_BUF = 1024 };

/* No logger until one is installed (static storage starts out null). */
static _Atomic(__android_logger_function) g_logger;

/* The board's entry for log messages, looked up once: present only when
 * libka_board is in the process. */
typedef void (*board_log_fn)(int prio, const char *tag, const char *text);
static board_log_fn g_board_log;
static int g_show_all;
static pthread_once_t g_once = PTHREAD_ONCE_INIT;

static void look_around(void)
{
    g_board_log = (board_log_fn)dlsym(RTLD_DEFAULT, "kb_log_message");
    const char *e = getenv("KA_LOG");
    g_show_all = e && strcmp(e, "all") == 0;
}

static char prio_letter(int prio)
{
    switch (prio) {
        case ANDROID_LOG_VERBOSE:
            return 'V';
        case ANDROID_LOG_DEBUG:
            return 'D';
        case ANDROID_LOG_INFO:
            return 'I';
        case ANDROID_LOG_WARN:
            return 'W';
        case ANDROID_LOG_ERROR:
            return 'E';
        case ANDROID_LOG_FATAL:
            return 'F';
        case ANDROID_LOG_SILENT:
            return 'S';
        default:
            return '?';
    }
}

/* Writes the whole iovec array to standard error, resuming after partial
 * writes. A failed write drops the rest of the line: there is nowhere left
 * to report it. */
static int write_all(struct iovec *iov, int cnt)
{
    while (cnt > 0) {
        ssize_t n = writev(STDERR_FILENO, iov, cnt);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        while (cnt > 0 && (size_t)n >= iov->iov_len) {
            n -= (ssize_t)iov->iov_len;
            ++iov;
            --cnt;
        }
        if (cnt > 0) {
            iov->iov_base = (char *)iov->iov_base + n;
            iov->iov_len -= (size_t)n;
        }
    }
    return 0;
}

/* Hands one formatted message to the installed logger or to stderr.
 * Returns the length of the message, or a negative errno. */
static int deliver(int prio, const char *tag, const char *text, size_t len)
{
    if (!tag) tag = "";
    __android_logger_function logger = atomic_load_explicit(&g_logger, memory_order_acquire);
    if (logger) {
        struct __android_log_message m;
        memset(&m, 0, sizeof m);
        m.struct_size = sizeof m;
        m.buffer_id = 0;
        m.priority = prio;
        m.tag = tag;
        m.file = NULL;
        m.line = 0;
        m.message = text;
        logger(&m);
        return (int)(len > (size_t)0x7fffffff ? 0x7fffffff : len);
    }

    pthread_once(&g_once, look_around);
    if (g_board_log) {
        g_board_log(prio, tag, text);
        return (int)(len > (size_t)0x7fffffff ? 0x7fffffff : len);
    }
    if (prio < ANDROID_LOG_WARN && !g_show_all) return (int)(len > (size_t)0x7fffffff ? 0x7fffffff : len);

    char head[3] = {prio_letter(prio), '/', '('};
    struct iovec iov[5];
    iov[0].iov_base = head;
    iov[0].iov_len = sizeof head;
    iov[1].iov_base = (void *)tag;
    iov[1].iov_len = strlen(tag);
    iov[2].iov_base = (void *)"): ";
    iov[2].iov_len = 3;
    iov[3].iov_base = (void *)text;
    iov[3].iov_len = len;
    int cnt = 4;
    if (len == 0 || text[len - 1] != '\n') {
        iov[4].iov_base = (void *)"\n";
        iov[4].iov_len = 1;
        cnt = 5;
    }
    int rc = write_all(iov, cnt);
    if (rc < 0) return rc;
    return (int)(len > (size_t)0x7fffffff ? 0x7fffffff : len);
}

KA_LOG_EXPORT int __android_log_write(int prio, const char *tag, const char *text)
{
    if (!text) text = "";
    return deliver(prio, tag, text, strlen(text));
}

KA_LOG_EXPORT int __android_log_print(int prio, const char *tag, const char *fmt, ...)
{
    if (!fmt) return __android_log_write(prio, tag, "");

    char stack_buf[LOG_STACK_BUF];
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(stack_buf, sizeof stack_buf, fmt, ap);
    va_end(ap);

    int rc;
    if (n < 0) {
        /* The format could not be expanded: log nothing but the fact that a
         * message was attempted, as an empty line. */
        rc = deliver(prio, tag, "", 0);
    } else if ((size_t)n < sizeof stack_buf) {
        rc = deliver(prio, tag, stack_buf, (size_t)n);
    } else {
        char *heap = malloc((size_t)n + 1);
        if (heap) {
            int m = vsnprintf(heap, (size_t)n + 1, fmt, ap2);
            size_t len = m < 0 ? 0 : ((size_t)m > (size_t)n ? (size_t)n : (size_t)m);
            heap[len] = '\0';
            rc = deliver(prio, tag, heap, len);
            free(heap);
        } else {
            /* Out of memory: the first part of the message is better than
             * nothing. */
            rc = deliver(prio, tag, stack_buf, sizeof stack_buf - 1);
        }
    }
    va_end(ap2);
    return rc;
}

KA_LOG_EXPORT void __android_log_set_logger(__android_logger_function logger)
{
    atomic_store_explicit(&g_logger, logger, memory_order_release);
}
