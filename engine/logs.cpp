// The library's log lines and the error reports drawn from them. on_log runs
// on the library's threads for every player's instance: it keeps each
// player's last error lines, notes unsupported codecs and forwards lines to
// the host, at most 20 a second. tell_error and emit_error run on the
// control thread.
#include "engine.h"
#include "failures.h"
#include "json.h"

#include <cstdio>
#include <cstring>

namespace {

const int64_t WINDOW_US = 1000000;
const int WINDOW_LINES = 20;

// The forwarding window, process-wide so consecutive players share one limit.
std::mutex rate_lock;
int64_t window;     // rate_lock: monotonic instant the current window opened
int32_t in_window;  // rate_lock: lines that reached the limit in this window
int32_t dropped;    // rate_lock: of those, the ones not forwarded

// Stores an error line in p's ring and notes an unsupported codec.
void store(player *p, const char *message) {
    std::lock_guard<std::mutex> hold(ctl_lock);
    snprintf(p->log_ring[p->log_count % LOG_RING], LOG_LINE_BYTES, "%s", message);
    // Keep the count from wrapping: the ring only needs count mod 8 and
    // whether eight lines were ever stored.
    p->log_count = p->log_count < INT32_MAX - LOG_RING ? p->log_count + 1 : p->log_count - LOG_RING + 1;
    char fourcc[5];
    if (unsupported_codec(message, fourcc) && p->bad_codec_count < BAD_CODECS) {
        memcpy(p->bad_codecs[p->bad_codec_count++], fourcc, 5);
        p->pending |= PEND_CODECS;
        ctl_wake.notify_one();
    }
}

// True when the line may be forwarded now; reports the lines dropped in the
// window that ends when a new one opens.
bool within_rate() {
    int64_t now = now_us();
    std::lock_guard<std::mutex> hold(rate_lock);
    if (now - window < WINDOW_US) {
        if (in_window++ < WINDOW_LINES)
            return true;
        dropped++;
        return false;
    }
    if (dropped)
        emit("{\"type\":\"log\",\"message\":\"%d log lines dropped\"}", dropped);
    window = now;
    dropped = 0;
    in_window = 1;
    return true;
}

void tell_problem(const char *problem) {
    cur->error_told = 1;
    emit("{\"type\":\"error\",\"problem\":\"%s\",\"codec\":null}", problem);
}

}  // namespace

void on_log(void *data, int level, const libvlc_log_t *, const char *fmt, va_list args) noexcept {
    if (level <= LIBVLC_NOTICE)
        return;
    player *p = static_cast<player *>(data);
    char message[LOG_LINE_BYTES];
    vsnprintf(message, sizeof message, fmt, args);
    if (level == LIBVLC_WARNING) {
        if (verbosity <= 0)
            return;
    } else {
        store(p, message);
    }
    if (!ready_told.load() || p->generation != generation.load() || !within_rate())
        return;
    char esc[1100];
    json_esc(esc, sizeof esc, message);
    emit("{\"type\":\"log\",\"message\":\"%s\"}", esc);
}

// Classifies the error lines stored for p, oldest first.
const char *stored_problem(player *p) {
    char lines[LOG_RING][LOG_LINE_BYTES];
    const char *order[LOG_RING];
    int n = 0;
    {
        std::lock_guard<std::mutex> hold(ctl_lock);
        int count = p->log_count;
        for (int i = count > LOG_RING ? count - LOG_RING : 0; i < count; i++, n++) {
            memcpy(lines[n], p->log_ring[i % LOG_RING], LOG_LINE_BYTES);
            order[n] = lines[n];
        }
    }
    return problem_of(order, n);
}

void tell_error() {
    if (!cur->error_told)
        tell_problem(stored_problem(cur));
}

void emit_error(const char *problem, const char *codec) {
    if (cur->error_told)
        return;
    if (!codec) {
        tell_problem(problem);
        return;
    }
    cur->error_told = 1;
    char name[16], esc[40];
    codec_name(codec, name, sizeof name);
    json_esc(esc, sizeof esc, name);
    emit("{\"type\":\"error\",\"problem\":\"%s\",\"codec\":\"%s\"}", problem, esc);
}
