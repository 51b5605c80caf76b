// SPDX-License-Identifier: MIT
// The board's event stream. Everything the board does that a developer may
// want to see afterwards is one event; each is
// - appended to the trace file named by KA_BOARD_TRACE as one JSON line
//   (after the header line with the format version, when the file is empty)
//   (one write(2) per event, so a run that is killed still leaves every
//   event before the kill, and the processes of a program's tree can share
//   the file: it is opened with O_APPEND),
// - kept in memory for kb_events() (since the last reset),
// - shown on standard error with KA_BOARD_LOG=1, as the text of the event.
//
// The sink has a mutex of its own, taken after the board lock and never
// before it, and does nothing under it but format and write.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "kb_internal.h"
#include "kb_json.h"
#include "kb_shim.h"

namespace kb {
namespace {

constexpr size_t kKeptEvents = 65536;

struct Stored {
    uint64_t seq;
    int64_t t;
    std::string kind;
    int device, dir;
    std::string text, json;
};

struct Sink {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    bool looked = false;  // at KA_BOARD_TRACE
    std::string trace;
    uint64_t seq = 0;
    std::vector<Stored> kept;
};

Sink &sink()
{
    static Sink *s = new Sink();  // never destroyed: events come until the very end
    return *s;
}

void write_fully(int fd, const char *p, size_t len)
{
    while (len > 0) {
        ssize_t w = write(fd, p, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        len -= size_t(w);
    }
}

}  // namespace

bool log_on()
{
    static std::atomic<int> on{-1};
    int v = on.load(std::memory_order_relaxed);
    if (v < 0) {
        const char *e = getenv("KA_BOARD_LOG");
        v = (e && *e && strcmp(e, "0") != 0) ? 1 : 0;
        on.store(v, std::memory_order_relaxed);
    }
    return v == 1;
}

void events_lock()
{
    pthread_mutex_lock(&sink().m);
}
void events_unlock()
{
    pthread_mutex_unlock(&sink().m);
}

void events_forked()
{
    sink().seq = 0;
}

void events_reset()
{
    Sink &s = sink();
    pthread_mutex_lock(&s.m);
    s.kept.clear();
    s.kept.shrink_to_fit();
    s.looked = false;  // back to KA_BOARD_TRACE
    s.trace.clear();
    pthread_mutex_unlock(&s.m);
}

Event::Event(const char *kind, int device, int dir) : kind_(kind), device_(device), dir_(dir)
{
    if (device_ >= 0) fields_ += ",\"dev\":" + std::to_string(device_);
    if (device_ >= 0 && dir_ >= 0) fields_ += dir_ == KB_CAPTURE ? ",\"dir\":\"c\"" : ",\"dir\":\"p\"";
}

void Event::field(const char *key)
{
    fields_ += ",\"";
    fields_ += key;
    fields_ += "\":";
    text_ += ' ';
    text_ += key;
    text_ += '=';
}

Event &Event::num(const char *key, long long v)
{
    const std::string s = std::to_string(v);
    field(key);
    fields_ += s;
    text_ += s;
    return *this;
}

Event &Event::str(const char *key, std::string_view v)
{
    field(key);
    fields_ += '"';
    json_escape(fields_, v);
    fields_ += '"';
    bool quote = v.empty() || v.find_first_of(" \t\n") != std::string_view::npos;
    if (quote) text_ += '"';
    for (char c : v) text_ += c == '\n' ? ' ' : c;
    if (quote) text_ += '"';
    return *this;
}

Event &Event::note(std::string_view text)
{
    text_ += text;
    return *this;
}

Event &Event::list(const char *key, const long *v, int n)
{
    field(key);
    fields_ += '[';
    for (int i = 0; i < n; ++i) {
        std::string s = std::to_string(v[i]);
        if (i) {
            fields_ += ',';
            text_ += ',';
        }
        fields_ += s;
        text_ += s;
    }
    fields_ += ']';
    return *this;
}

// The text of the event as the log shows it: "open pcmC0D1p fd=3" for PCM
// events, the kind with spaces for the others.
Event::~Event()
{
    std::string_view kind(kind_);
    std::string text(kind.substr(0, 4) == "pcm_" ? kind.substr(4) : kind);
    for (char &c : text)
        if (c == '_') c = ' ';
    if (device_ >= 0) {
        char dev[24];
        if (dir_ >= 0)
            snprintf(dev, sizeof dev, " pcmC0D%d%c", device_, dir_ == KB_CAPTURE ? 'c' : 'p');
        else
            snprintf(dev, sizeof dev, " pcm device %d", device_);
        text += dev;
    }
    text += text_;

    Sink &s = sink();
    pthread_mutex_lock(&s.m);
    if (!s.looked) {
        const char *path = getenv("KA_BOARD_TRACE");
        if (path && *path) s.trace = path;
        s.looked = true;
    }
    int64_t t = now_ns();
    uint64_t seq = s.seq++;
    int pid = int(getpid());
    std::string json = "{\"t\":" + std::to_string(t) + ",\"pid\":" + std::to_string(pid) +
                       ",\"seq\":" + std::to_string(seq) + ",\"ev\":\"" + kind_ + "\"" + fields_ + "}";
    // Opened for each event: programs (shells above all) move and close
    // descriptors they do not know about, and events are few.
    if (!s.trace.empty()) {
        int fd = kbi_real_open(s.trace.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (lseek(fd, 0, SEEK_END) == 0) {
                const std::string header = trace_header(t, pid);
                write_fully(fd, header.data(), header.size());
            }
            json += '\n';
            write_fully(fd, json.data(), json.size());
            json.pop_back();
            kbi_real_close(fd);
        }
    }
    if (log_on()) {
        std::string line = "[ka-board " + std::to_string(pid) + "] " + text + "\n";
        write_fully(2, line.data(), line.size());
    }
    if (s.kept.size() < kKeptEvents)
        s.kept.push_back(Stored{seq, t, kind_, device_, dir_, std::move(text), std::move(json)});
    pthread_mutex_unlock(&s.m);
}

}  // namespace kb

using namespace kb;

extern "C" void kb_set_trace(const char *path)
{
    Sink &s = sink();
    pthread_mutex_lock(&s.m);
    s.trace = path ? path : "";
    s.looked = true;
    pthread_mutex_unlock(&s.m);
}

extern "C" void kb_log_message(int prio, const char *tag, const char *text)
{
    static const char kLetters[] = "??VDIWEFS";
    const char letter[2] = {prio >= 0 && prio < 9 ? kLetters[prio] : '?', 0};
    Event("log").str("prio", letter).str("tag", tag ? tag : "").str("text", text ? text : "");
}

extern "C" size_t kb_events(struct kb_event *out, size_t cap)
{
    Sink &s = sink();
    pthread_mutex_lock(&s.m);
    size_t n = s.kept.size();
    for (size_t i = 0; out && i < n && i < cap; ++i) {
        const Stored &e = s.kept[i];
        kb_event &o = out[i];
        memset(&o, 0, sizeof o);
        o.seq = e.seq;
        o.time_ns = e.t;
        snprintf(o.kind, sizeof o.kind, "%s", e.kind.c_str());
        o.device = e.device;
        o.dir = e.dir;
        snprintf(o.text, sizeof o.text, "%s", e.text.c_str());
        snprintf(o.json, sizeof o.json, "%s", e.json.c_str());
    }
    pthread_mutex_unlock(&s.m);
    return n;
}
