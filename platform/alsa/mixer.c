// SPDX-License-Identifier: MIT
/*
 * libalsa_intf for the host: the mixer (ALSA control device).
 *
 * mixer_open() lists the card's controls once (ELEM_LIST, ELEM_INFO) into the
 * mixer record. Every later operation talks to the kernel through mixer->fd as
 * it is at the time of the call: callers may close that descriptor between
 * operations and store a freshly opened one in its place.
 */
#define _GNU_SOURCE

#include "alsa_audio.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define ALSA_EXPORT __attribute__((visibility("default")))

static void free_controls(struct mixer *mixer)
{
    if (mixer->ctl) {
        for (unsigned i = 0; i < mixer->count; ++i) {
            char **names = mixer->ctl[i].ename;
            if (!names) continue;
            unsigned items = mixer->info[i].value.enumerated.items;
            for (unsigned j = 0; j < items; ++j) free(names[j]);
            free(names);
        }
    }
    free(mixer->ctl);
    free(mixer->info);
    mixer->ctl = NULL;
    mixer->info = NULL;
    mixer->count = 0;
}

ALSA_EXPORT void mixer_close(struct mixer *mixer)
{
    if (!mixer) return;
    free_controls(mixer);
    if (mixer->fd >= 0) close(mixer->fd);
    free(mixer);
}

/* Reads the names of an enumerated control's items. 0, or -1 with errno. */
static int read_item_names(int fd, struct mixer_ctl *ctl)
{
    const struct snd_ctl_elem_info *info = ctl->info;
    unsigned items = info->value.enumerated.items;
    if (items == 0) return 0;
    char **names = calloc(items, sizeof *names);
    if (!names) return -1;
    ctl->ename = names; /* freed by free_controls, also when incomplete */
    for (unsigned j = 0; j < items; ++j) {
        struct snd_ctl_elem_info item;
        memset(&item, 0, sizeof item);
        item.id.numid = info->id.numid;
        item.value.enumerated.item = j;
        if (ioctl(fd, SNDRV_CTL_IOCTL_ELEM_INFO, &item) < 0) return -1;
        size_t len = strnlen(item.value.enumerated.name, sizeof item.value.enumerated.name);
        names[j] = malloc(len + 1);
        if (!names[j]) return -1;
        memcpy(names[j], item.value.enumerated.name, len);
        names[j][len] = '\0';
    }
    return 0;
}

ALSA_EXPORT struct mixer *mixer_open(const char *device)
{
    if (!device) {
        errno = EINVAL;
        return NULL;
    }
    int fd = open(device, O_RDWR);
    if (fd < 0) return NULL;

    struct snd_ctl_elem_id *ids = NULL;
    struct mixer *mixer = calloc(1, sizeof *mixer);
    if (!mixer) goto fail;
    mixer->fd = fd;

    struct snd_ctl_elem_list list;
    memset(&list, 0, sizeof list);
    if (ioctl(fd, SNDRV_CTL_IOCTL_ELEM_LIST, &list) < 0) goto fail;
    unsigned count = list.count;

    if (count > 0) {
        ids = calloc(count, sizeof *ids);
        mixer->info = calloc(count, sizeof *mixer->info);
        mixer->ctl = calloc(count, sizeof *mixer->ctl);
        if (!ids || !mixer->info || !mixer->ctl) goto fail;

        memset(&list, 0, sizeof list);
        list.space = count;
        list.pids = ids;
        if (ioctl(fd, SNDRV_CTL_IOCTL_ELEM_LIST, &list) < 0) goto fail;
        /* Controls may have gone away in between: keep what was listed. */
        if (list.used < count) count = list.used;
    }

    for (unsigned i = 0; i < count; ++i) {
        struct snd_ctl_elem_info *info = &mixer->info[i];
        info->id.numid = ids[i].numid;
        if (ioctl(fd, SNDRV_CTL_IOCTL_ELEM_INFO, info) < 0) goto fail;
        mixer->ctl[i].mixer = mixer;
        mixer->ctl[i].info = info;
        mixer->count = i + 1; /* what free_controls has to look at */
        if (info->type == SNDRV_CTL_ELEM_TYPE_ENUMERATED && read_item_names(fd, &mixer->ctl[i]) < 0)
            goto fail;
    }
    mixer->count = count;
    free(ids);
    return mixer;

fail: {
        int err = errno ? errno : EIO;
        free(ids);
        if (mixer) {
            free_controls(mixer);
            free(mixer);
        }
        close(fd);
        errno = err;
        return NULL;
    }
}

/* A control named `name` whose element index is `index`; when no control of
 * that name carries that element index, the index-th one (0-based) of that
 * name in list order. */
ALSA_EXPORT struct mixer_ctl *mixer_get_control(struct mixer *mixer, const char *name, unsigned index)
{
    if (!mixer || !name || !mixer->ctl || !mixer->info) return NULL;
    const size_t len = strlen(name);
    struct mixer_ctl *nth = NULL;
    unsigned seen = 0;
    for (unsigned i = 0; i < mixer->count; ++i) {
        const struct snd_ctl_elem_info *info = mixer->ctl[i].info;
        if (!info) continue;
        const char *cname = (const char *)info->id.name;
        if (strnlen(cname, sizeof info->id.name) != len || memcmp(cname, name, len) != 0) continue;
        if (info->id.index == index) return &mixer->ctl[i];
        if (seen++ == index) nth = &mixer->ctl[i];
    }
    return nth;
}

/* ---- Setting values ------------------------------------------------------ */

/* Strict decimal conversions: the whole string must be the number. */
static int to_long(const char *s, long *out)
{
    if (!s || !*s) return -1;
    char *end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end != '\0') return -1;
    *out = v;
    return 0;
}

static int to_llong(const char *s, long long *out)
{
    if (!s || !*s) return -1;
    char *end;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (errno || end == s || *end != '\0') return -1;
    *out = v;
    return 0;
}

static int to_bool(const char *s, long *out)
{
    if (!s) return -1;
    if (!strcmp(s, "1") || !strcasecmp(s, "on") || !strcasecmp(s, "true")) {
        *out = 1;
        return 0;
    }
    if (!strcmp(s, "0") || !strcasecmp(s, "off") || !strcasecmp(s, "false")) {
        *out = 0;
        return 0;
    }
    return -1;
}

/* An item name, else an item number below the item count. */
static int to_item(const struct mixer_ctl *ctl, const char *s, unsigned *out)
{
    if (!s) return -1;
    unsigned items = ctl->info->value.enumerated.items;
    if (ctl->ename) {
        for (unsigned j = 0; j < items; ++j) {
            if (ctl->ename[j] && strcmp(ctl->ename[j], s) == 0) {
                *out = j;
                return 0;
            }
        }
    }
    long v;
    if (to_long(s, &v) < 0 || v < 0 || (unsigned long)v >= items) return -1;
    *out = (unsigned)v;
    return 0;
}

/* Converts all `count` strings by the control's type into one value record
 * and writes it with a single ELEM_WRITE. Nothing is written when any string
 * does not convert. */
static int set_values(struct mixer_ctl *ctl, int count, char **argv)
{
    if (!ctl || !ctl->info || !ctl->mixer || !argv || count <= 0) return -EINVAL;
    const struct snd_ctl_elem_info *info = ctl->info;
    if ((unsigned)count != info->count) return -EINVAL;
    for (int i = 0; i < count; ++i)
        if (!argv[i]) return -EINVAL;

    struct snd_ctl_elem_value value;
    memset(&value, 0, sizeof value);
    value.id.numid = info->id.numid;

    const size_t n = (size_t)count;
    switch (info->type) {
    case SNDRV_CTL_ELEM_TYPE_INTEGER:
        if (n > sizeof value.value.integer.value / sizeof value.value.integer.value[0])
            return -EINVAL;
        for (size_t i = 0; i < n; ++i) {
            long v;
            if (to_long(argv[i], &v) < 0) return -EINVAL;
            if (v < info->value.integer.min || v > info->value.integer.max) return -EINVAL;
            value.value.integer.value[i] = v;
        }
        break;
    case SNDRV_CTL_ELEM_TYPE_BOOLEAN:
        if (n > sizeof value.value.integer.value / sizeof value.value.integer.value[0])
            return -EINVAL;
        for (size_t i = 0; i < n; ++i) {
            long v;
            if (to_bool(argv[i], &v) < 0) return -EINVAL;
            value.value.integer.value[i] = v;
        }
        break;
    case SNDRV_CTL_ELEM_TYPE_ENUMERATED:
        if (n > sizeof value.value.enumerated.item / sizeof value.value.enumerated.item[0])
            return -EINVAL;
        for (size_t i = 0; i < n; ++i) {
            unsigned item;
            if (to_item(ctl, argv[i], &item) < 0) return -EINVAL;
            value.value.enumerated.item[i] = item;
        }
        break;
    case SNDRV_CTL_ELEM_TYPE_INTEGER64:
        if (n > sizeof value.value.integer64.value / sizeof value.value.integer64.value[0])
            return -EINVAL;
        for (size_t i = 0; i < n; ++i) {
            long long v;
            if (to_llong(argv[i], &v) < 0) return -EINVAL;
            if (v < info->value.integer64.min || v > info->value.integer64.max) return -EINVAL;
            value.value.integer64.value[i] = v;
        }
        break;
    default:
        return -EINVAL; /* bytes, IEC958: not settable from strings */
    }

    if (ctl->mixer->fd < 0) return -EBADF;
    if (ioctl(ctl->mixer->fd, SNDRV_CTL_IOCTL_ELEM_WRITE, &value) < 0)
        return errno ? -errno : -EIO;
    return 0;
}

ALSA_EXPORT int mixer_ctl_set_value(struct mixer_ctl *ctl, int count, char **argv)
{
    return set_values(ctl, count, argv);
}

ALSA_EXPORT int mixer_ctl_mulvalues(struct mixer_ctl *ctl, int count, char **argv)
{
    return set_values(ctl, count, argv);
}
