// The library's log lines and the error reports drawn from them. on_log runs
// on the library's threads for every player's instance: it keeps each
// player's last error lines about the media, notes unsupported codecs, holds
// the lines of a video format negotiation and forwards lines to the host, at
// most 20 a second. A thread of its own reports the lines dropped when a
// window closes. report_error and report_problem run on the control thread.
#include "engine.h"
#include "failures.h"
#include "json.h"
#include "words.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <thread>

namespace {

const int64_t WINDOW_US = 1000000;
const int WINDOW_LINES = 20;
// A negotiation still failing after this many lines has failed for good.
const int NEGOTIATION_GIVES_UP = 1000;

// The forwarding window, process-wide so consecutive players share one limit.
ordered_mutex rate_lock{RANK_RATE};
int64_t window;     // rate_lock: monotonic instant the current window opened
int32_t in_window;  // rate_lock: lines that reached the limit in this window
int32_t dropped;    // rate_lock: of those, the ones not forwarded
int32_t repeats;    // rate_lock: lines not forwarded as repeats, told with the next drop report
bool flusher;       // rate_lock: the thread that reports drops at a window's close runs
// Never destroyed: the flusher may still wait on it when the process exits.
std::condition_variable_any &rate_wake = *new std::condition_variable_any;

// A debug line of p that tells of a seek or of the end: to the seek record.
void seek_word(player *p, word w) {
    if (w == WORD_DECODER_WAIT_DONE)
        seek_waited(p);
    else if (w == WORD_PAUSED_AT_EOF)
        p->eof_told.store(1), p->at_end.store(1);  // the pause that follows is the end's
    else if (w == WORD_INPUT_EOF)
        seek_input_ended(p);
}

// Stores an error line of an object of this type in p's ring when it is about
// the media, and notes an unsupported codec.
void store(player *p, const char *object, const char *message, bool about_media) {
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    if (about_media) {
        snprintf(p->log_ring[p->log_count % LOG_RING], LOG_LINE_BYTES, "%s", message);
        // Keep the count from wrapping: the ring only needs count mod 8 and
        // whether eight lines were ever stored.
        p->log_count = p->log_count < INT32_MAX - LOG_RING ? p->log_count + 1 : p->log_count - LOG_RING + 1;
    }
    char fourcc[5];
    if (unsupported_codec(object, message, fourcc) && p->bad_codec_count < BAD_CODECS) {
        memcpy(p->bad_codecs[p->bad_codec_count++], fourcc, 5);
        p->pending |= PEND_CODECS;
        ctl_wake.notify_one();
    }
}

// Holds a negotiation line of p; 1 when the negotiation has gone on so long
// without a format that it has failed.
bool hold_line(player *p, const char *message) {
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    snprintf(p->held[p->held_count % HELD_LINES], LOG_LINE_BYTES, "%s", message);
    p->held_count++;
    return p->held_count >= NEGOTIATION_GIVES_UP;
}

// Tells the lines dropped and repeated since the last report; rate_lock held.
void tell_dropped() {
    if (dropped + repeats)
        tell_lines_dropped(dropped + repeats);
    dropped = repeats = 0;
}

// Reports the lines dropped in a window once it has closed, when no later
// line opened the next one and reported them first.
void flusher_thread() {
    pthread_setname_np(pthread_self(), "vx-logs");
    std::unique_lock<ordered_mutex> hold(rate_lock);
    for (;;) {
        if (!dropped) {
            rate_wake.wait(hold);
            continue;
        }
        int64_t left = window + WINDOW_US - now_us();
        if (left > 0) {
            rate_wake.wait_for(hold, std::chrono::microseconds(left));
            continue;
        }
        tell_dropped();
    }
}

// Counts n lines as dropped in the current window; rate_lock held.
void drop_locked(int n) {
    if (!dropped && !flusher) {
        try {
            std::thread(flusher_thread).detach();
            flusher = true;
        } catch (...) {
            // No thread: the count waits for the next line, as it may.
        }
    }
    dropped += n;
    rate_wake.notify_one();
}

// True when p's line may be forwarded now: p is current, the line does not
// repeat p's last one, and the window has room. Reports the lines dropped in
// the window that ends when a new one opens.
bool within_rate(player *p, const char *message) {
    int64_t now = now_us();
    uint64_t h = text_hash(message);
    std::lock_guard<ordered_mutex> hold(rate_lock);
    // Read under rate_lock: a line of p counted after logs_switched told the
    // drops of p's time would be told after p's end.
    if (p->generation != generation.load())
        return false;
    if (p->told_line == h) {
        repeats++;
        return false;
    }
    if (now - window < WINDOW_US) {
        if (in_window++ >= WINDOW_LINES) {
            drop_locked(1);
            return false;
        }
    } else {
        tell_dropped();
        window = now;
        in_window = 1;
    }
    p->told_line = h;
    return true;
}

// Forwards a line of p to the host, within the rate limit.
void forward(player *p, const char *message) {
    if (ready_told.load() && within_rate(p, message))
        tell_log_while(generation, p->generation, message);
}

// A line of p's sound output: held until the output fails as a whole, which is
// told once, with the last complaint before it; nothing more of it is told.
void sound_line(player *p, const char *message, bool failed) {
    char told[LOG_LINE_BYTES + 64];
    bool repeat;
    {
        std::lock_guard<ordered_mutex> hold(ctl_lock);
        repeat = p->sound_failed;
        if (!repeat && !failed) {
            snprintf(p->sound_reason, sizeof p->sound_reason, "%s", message);
            return;
        }
        p->sound_failed = 1;
        snprintf(told, sizeof told, "sound cannot be played on this machine%s%s%s", p->sound_reason[0] ? " (" : "",
                 p->sound_reason, p->sound_reason[0] ? ")" : "");
    }
    if (!repeat) {
        forward(p, told);
    } else if (ready_told.load()) {
        std::lock_guard<ordered_mutex> hold(rate_lock);
        if (p->generation == generation.load())
            repeats++;
    }
}

}  // namespace

void on_log(void *data, int level, const libvlc_log_t *ctx, const char *fmt, va_list args) noexcept {
    const char *object = nullptr, *header = nullptr;
    uintptr_t id = 0;
    if (ctx)
        libvlc_log_get_object(ctx, &object, &header, &id);
    library_line(static_cast<player *>(data), level, object, fmt, args);
}

void library_line(player *p, int level, const char *object, const char *fmt, va_list args) {
    // Debug and notice lines are the bulk: only those of the table's rows are
    // formatted, found by their object and format alone. The seek record's
    // rows need no text.
    char text[4 * LOG_LINE_BYTES], message[LOG_LINE_BYTES];
    if (level <= LIBVLC_NOTICE) {
        word w = debug_word(object, fmt);
        if (w == WORD_KEY_FRAME) {
            vsnprintf(text, sizeof text, fmt, args);
            if (const char *rest = word_rest(w, text))
                seek_key_frame(p, strtod(rest, nullptr));
        } else if (w == WORD_EDIT_SHIFT) {
            long long movie, track;
            vsnprintf(text, sizeof text, fmt, args);
            const char *rest = word_rest(w, text);
            if (rest && sscanf(rest, "%*d) gives %lldms (movie)-> %lldms (track)", &movie, &track) == 2)
                seek_edit_shift(p, double(track - movie));
        } else if (w != WORDS && word_table[w].reader == READ_BY_SEEK) {
            seek_word(p, w);
        } else if (w != WORDS && (word_table[w].reader == READ_BY_WATCH || word_table[w].reader == READ_BY_SUBTITLES)) {
            vsnprintf(text, sizeof text, fmt, args);
            watch_line(p, level, object, fmt, text);
            subtitles_line(p, level, object, fmt, text);
        }
        return;
    }
    // Formatted whole before the cut, so that no password is cut before its '@'.
    int len = vsnprintf(text, sizeof text, fmt, args);
    watch_line(p, level, object, fmt, text);
    subtitles_line(p, level, object, fmt, text);
    if (p->silenced.load() || p->previews)
        return;  // nothing of a source it must not read, of a load ended, or of previews reaches the host
    mask_secrets(text, len < 0 ? 0 : std::min<unsigned long>(len, sizeof text - 1), message, sizeof message);
    take_line(p, level, object, message);
}

void take_line(player *p, int level, const char *object, const char *message) {
    if (level <= LIBVLC_NOTICE)
        return;
    if (sound_output_line(object, message) == 2)
        sound_lost(p);  // the sound plays into nothing instead, in real time
    if (level == LIBVLC_WARNING) {
        if (verbosity <= 0)
            return;
    } else if (int sound = verbosity <= 0 ? sound_output_line(object, message) : 0) {
        sound_line(p, message, sound == 2);
        return;
    } else if (verbosity <= 0 && negotiation_line(object, message)) {
        // Tries of formats that fail are the way to one that works: they are
        // errors only when none does.
        if (hold_line(p, message) && !p->had_video.load())
            negotiation_over(p, false);
        return;
    } else {
        store(p, object, message, media_line(object, message));
    }
    forward(p, message);
}

void negotiation_over(player *p, bool agreed) {
    char lines[HELD_LINES][LOG_LINE_BYTES];
    int count, n = 0;
    {
        std::lock_guard<ordered_mutex> hold(ctl_lock);
        count = p->held_count;
        p->held_count = 0;
        if (!agreed)
            for (int i = count > HELD_LINES ? count - HELD_LINES : 0; i < count; i++, n++)
                memcpy(lines[n], p->held[i % HELD_LINES], LOG_LINE_BYTES);
    }
    if (agreed || !count || !ready_told.load() || p->generation != generation.load())
        return;
    if (count > n) {
        // The ring keeps the last lines only; the others count as dropped.
        std::lock_guard<ordered_mutex> hold(rate_lock);
        drop_locked(count - n);
    }
    for (int i = 0; i < n; i++)
        forward(p, lines[i]);
}

void logs_switched() {
    std::lock_guard<ordered_mutex> hold(rate_lock);
    tell_dropped();
}

problem stored_problem(player *p) {
    char lines[LOG_RING][LOG_LINE_BYTES];
    const char *order[LOG_RING];
    int n = 0;
    {
        std::lock_guard<ordered_mutex> hold(ctl_lock);
        int count = p->log_count;
        for (int i = count > LOG_RING ? count - LOG_RING : 0; i < count; i++, n++) {
            memcpy(lines[n], p->log_ring[i % LOG_RING], LOG_LINE_BYTES);
            order[n] = lines[n];
        }
    }
    return problem_of(order, n);
}

void report_error(player *p) {
    if (!p->error_told)
        report_problem(p, stored_problem(p), nullptr);
}

void report_problem(player *p, problem what, const char *fourcc) {
    if (p->error_told)
        return;
    p->error_told = 1;
    char name[16];
    if (fourcc)
        codec_name(fourcc, name, sizeof name);
    tell_error(what, fourcc ? name : nullptr);
}
