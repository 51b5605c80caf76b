// SPDX-License-Identifier: MIT
/*
 * android/log.h - the module's platform log (liblog).
 */
#ifndef ANDROID_LOG_H
#define ANDROID_LOG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum android_LogPriority {
    ANDROID_LOG_UNKNOWN = 0,
    ANDROID_LOG_DEFAULT,
    ANDROID_LOG_VERBOSE,
    ANDROID_LOG_DEBUG,
    ANDROID_LOG_INFO,
    ANDROID_LOG_WARN,
    ANDROID_LOG_ERROR,
    ANDROID_LOG_FATAL,
    ANDROID_LOG_SILENT
} android_LogPriority;

/* One message as handed to a logger installed with __android_log_set_logger. */
struct __android_log_message {
    size_t struct_size; /* sizeof(struct __android_log_message) */
    int32_t buffer_id;  /* always 0 (main) */
    int32_t priority;   /* android_LogPriority */
    const char *tag;
    const char *file;   /* NULL: the caller gives no source position */
    uint32_t line;
    const char *message; /* the formatted text, as printed */
};

typedef void (*__android_logger_function)(const struct __android_log_message *log_message);

int __android_log_print(int prio, const char *tag, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

int __android_log_write(int prio, const char *tag, const char *text);

/* Route every message to `logger` instead of standard error; NULL restores
 * the default output. */
void __android_log_set_logger(__android_logger_function logger);

#ifdef __cplusplus
}
#endif

#endif /* ANDROID_LOG_H */
