// SPDX-License-Identifier: MIT
// Recording to files: a recorder whose capture callback stores each captured
// buffer into a WAV or AMR-NB file, run by a record-file thread that finishes
// and closes the file when the capture ends.
//
// Choices made so that a recording always ends as a complete file:
//  - The record-file thread keeps its own copy of the file's descriptor, type
//    and encoder, so it finishes the file it was started for even when a new
//    recording is set up on the same context meanwhile; the file callbacks
//    store through that copy too.
//  - The file is finished (WAV sizes patched or encoder released, descriptor
//    closed) as soon as the capture delivers its end notification (after a
//    stop) or its read failure, which the capture loop does before it reports
//    the recorder finished. So once Ka_AudRecorder_HClose has returned, the
//    file is complete and closed. The recorder is therefore opened with a
//    small per-handle callback that calls the caller's callback and then
//    finishes the file; the caller's callback sees exactly the same calls.
//  - Ka_AudRecorder_RecordFile holds the context's file_lock for the whole
//    set-up (stopping an earlier recording included), so two recordings
//    started on one device at the same time cannot mix their files.
//  - The record-file thread forgets its id in cap_thread when it ends, so a
//    later thread that happens to get the same id is never taken for it.
//  - A negative file type is refused like the types that cannot be recorded.
#define KA_LOG_FILE "ka_lib_audio"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <utility>

#include "ka_audio_files.h"
#include "files/ka_files_internal.h"
#include "ka_ctx_own.h"
#include "ka_internal.h"

using namespace ka_files;

namespace {

// The file a record-file thread writes and finishes.
struct Recording {
    int fd;
    int type;
    void *enc;
    bool finished;
};

// Set in a record-file thread while its capture loop runs.
thread_local Recording *t_recording = nullptr;

// Wait: only the file's own writes and its close, on a local file; nothing
// here waits for another thread or for a device.
void finish(Recording &rec)
{
    if (rec.finished) return;
    rec.finished = true;
    if (rec.type == AUD_FILE_WAV) wav_update_header(rec.fd);
    if (rec.type == AUD_FILE_AMRNB) amrnb_enc_deinit(rec.enc);
    close(rec.fd);
}

template <size_t H>
int capture_cb(int result, void *buf, unsigned len)
{
    ka_cap_cb cb = ka_load(ka_cctx_own_of(int(H)).file_cb);
    int r = cb ? cb(result, buf, len) : default_capCb(result, buf, len);
    // The end notification and a read failure are the last deliveries.
    if ((result == 5 || result == -1) && t_recording) finish(*t_recording);
    return r;
}

template <size_t... I>
constexpr std::array<ka_cap_cb, sizeof...(I)> make_capture_cbs(std::index_sequence<I...>)
{
    return {capture_cb<I>...};
}
constexpr auto kCaptureCbs = make_capture_cbs(std::make_index_sequence<KA_DEVICE_COUNT>{});

void *record_file_thread(void *arg)
{
    int hdl = ka_arg_hdl(arg);
    ka_cctx *cctx = __ka_hdl2cctx(hdl);
    if (!cctx) {
        KA_LOGE("Get cctx from hdl failed, hdl = %d\n", hdl);
        return nullptr;
    }
    Recording rec{cctx->file_fd, cctx->file_type, nullptr, false};
    if (rec.type == AUD_FILE_AMRNB) {
        amrnb_enc_init(&cctx->amr_enc);
        rec.enc = cctx->amr_enc;
    }
    t_recording = &rec;
    // Wait: the capture loop runs here and ends on a stop, a failed read or
    // its refusal to run (see __ka_capture_thread); the file is finished in
    // its last delivery or just below, whichever way it ended.
    __ka_capture_thread(arg);
    t_recording = nullptr;

    pthread_t self = pthread_self();
    std::atomic_ref<pthread_t>(cctx->cap_thread).compare_exchange_strong(self, pthread_t{});
    // Whatever ended the capture (stop, read failure, refusal), the file is
    // finished here if the capture loop has not done it yet.
    finish(rec);
    return nullptr;
}

int locked_state(ka_cctx *cctx)
{
    pthread_mutex_lock(&cctx->state_lock);
    int state = cctx->state;
    pthread_mutex_unlock(&cctx->state_lock);
    return state;
}

// The recording the calling thread writes, or nullptr when the caller is no
// context's record-file thread.
Recording *caller_recording()
{
    pthread_t self = pthread_self();
    for (int i = 0; i < KA_DEVICE_COUNT; ++i) {
        ka_cctx *cctx = __ka_hdl2cctx(i);
        if (cctx && pthread_equal(self, load_tid(cctx->cap_thread))) return t_recording;
    }
    return nullptr;
}

}  // namespace

extern "C" {

KA_API int __ka_init_file_header(int fd, int type, int channels, unsigned rate, unsigned format)
{
    switch (type) {
        case AUD_FILE_WAV:
            wav_init_header(fd, channels, int(rate), int(format));
            return 0;
        case 2:
        case AUD_FILE_AMRNB:
            amrnb_init_header(fd);
            return 0;
        case AUD_FILE_MP3:
        case AUD_FILE_AMRWB:
            return -1;
        default:
            return type > AUD_FILE_AMRWB ? 0 : -1;
    }
}

KA_API int __ka_wav_write_file_cb(int result, void *buf, unsigned len)
{
    Recording *rec = caller_recording();
    if (!rec) return -1;
    if (result == 0 && !rec->finished) wav_write_file(rec->fd, buf, len);
    return 0;
}

KA_API int __ka_amrnb_write_file_cb(int result, void *buf, unsigned len)
{
    Recording *rec = caller_recording();
    if (!rec) return -1;
    if (result == 0 && !rec->finished) amrnb_write_file(rec->enc, rec->fd, buf, len);
    return 0;
}

KA_API int Ka_AudRecorder_RecordFile(const char *dev, const char *path, int type, int channels, unsigned rate,
                                     unsigned format, ka_cap_cb callback)
{
    if (!path) return -1;
    int hdl = -1;
    ka_cctx *cctx = __ka_dev2cctx(ka_default_dev(dev), &hdl);
    if (!cctx) {
        KA_LOGE("Get cctx from dev failed, dev = %s\n", ka_name_or_null(dev));
        return -1;
    }
    // Wait: file_lock is held only by another RecordFile setting up on this
    // device, for as long as this block takes; the close below waits for
    // the capture loop running there (see Ka_AudRecorder_HClose).
    pthread_mutex_lock(&cctx->file_lock);
    if (locked_state(cctx) != CTX_CLOSED) {
        Ka_AudRecorder_HStop(hdl);
        Ka_AudRecorder_HClose(hdl);
    }
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        pthread_mutex_unlock(&cctx->file_lock);
        KA_LOGE("Open file %s error\n", path);
        return -1;
    }
    if (__ka_init_file_header(fd, type, channels, rate, format) < 0) {
        pthread_mutex_unlock(&cctx->file_lock);
        KA_LOGE("Init file header failed\n");
        close(fd);
        return -1;
    }
    ka_store(ka_cctx_own_of(hdl).file_cb, callback);
    int r = Ka_AudRecorder_OpenExt(dev, kCaptureCbs[size_t(hdl)], KA_PCM_IN, channels, rate, format);
    if (r < 0) {
        pthread_mutex_unlock(&cctx->file_lock);
        KA_LOGE("Open Recorder failed, hdl = %d\n", r);
        close(fd);
        return -1;
    }
    cctx->file_type = type;
    cctx->file_fd = fd;
    pthread_mutex_lock(&cctx->state_lock);
    pthread_t tid;
    if (ka_start_detached(record_file_thread, hdl, &tid) != 0) {
        KA_LOGE("Create capature thread fail.\n");
        pthread_mutex_unlock(&cctx->state_lock);
        pthread_mutex_unlock(&cctx->file_lock);
        close(fd);
        return -1;
    }
    store_tid(cctx->cap_thread, tid);
    ka_advance(ka_cctx_own_of(hdl).gen);  // as Ka_AudRecorder_HStartRecord
    ka_store(cctx->stop, 0);
    ka_store(cctx->state, CTX_STARTING);
    pthread_mutex_unlock(&cctx->state_lock);
    pthread_mutex_unlock(&cctx->file_lock);
    return hdl;
}

KA_API int Ka_AudRecorder_RecordWAV(const char *dev, const char *path, int channels, unsigned rate,
                                    unsigned format)
{
    return Ka_AudRecorder_RecordFile(dev, path, AUD_FILE_WAV, channels, rate, format, __ka_wav_write_file_cb);
}

KA_API int Ka_AudRecorder_RecordAMRNB(const char *dev, const char *path)
{
    return Ka_AudRecorder_RecordFile(dev, path, AUD_FILE_AMRNB, 1, 8000, 2, __ka_amrnb_write_file_cb);
}

}  // extern "C"
