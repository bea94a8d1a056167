// The event writers. The formats live here and nowhere else; the decisions
// of what to tell, and when, stay with the code that knows.
#include "tell.h"

#include "json.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *truth(bool v) { return v ? "true" : "false"; }

// A growable text buffer for the tracks line.
struct textbuf {
    char *data;
    size_t len;
    size_t cap;
    bool failed;  // some text could not be appended: the line must not be printed
};

// Appends formatted text, or marks the buffer failed.
void put(textbuf *b, const char *format, ...) __attribute__((format(printf, 2, 3)));
void put(textbuf *b, const char *format, ...) {
    if (!b->data || b->failed) {
        b->failed = true;
        return;
    }
    for (;;) {
        va_list ap;
        va_start(ap, format);
        int n = vsnprintf(b->data + b->len, b->cap - b->len, format, ap);
        va_end(ap);
        if (n < 0) {
            b->data[b->len] = 0;
            b->failed = true;
            return;
        }
        if (b->len + size_t(n) < b->cap) {
            b->len += size_t(n);
            return;
        }
        size_t cap = size_t(n) + 2 * b->cap + 64;
        char *bigger = static_cast<char *>(realloc(b->data, cap));
        if (!bigger) {
            b->data[b->len] = 0;
            b->failed = true;
            return;
        }
        b->data = bigger;
        b->cap = cap;
    }
}

// One JSON array of tracks; subtitle tracks say whether the host added them.
void put_tracks(textbuf *b, const track_entry *tracks, int count, bool subtitles) {
    put(b, "[");
    for (int i = 0; i < count; i++) {
        char name[300];
        json_esc(name, sizeof name, tracks[i].name);
        put(b, "%s{\"id\":%d,\"name\":\"%s\",\"language\":", i ? "," : "", tracks[i].id, name);
        if (tracks[i].language) {
            char esc[80];
            json_esc(esc, sizeof esc, tracks[i].language);
            put(b, "\"%s\"", esc);
        } else {
            put(b, "null");
        }
        put(b, subtitles ? ",\"external\":%s}" : "}", truth(tracks[i].external));
    }
    put(b, "]");
}

// Outside text as a JSON string's contents: cut at META_VALUE_BYTES on a
// character's boundary, then escaped (six bytes at most for each).
void put_text(textbuf *b, const char *text) {
    char cut[META_VALUE_BYTES + 1];
    size_t n = strnlen(text, META_VALUE_BYTES + 1);
    if (n > META_VALUE_BYTES) {
        n = META_VALUE_BYTES;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            n--;
    }
    memcpy(cut, text, n);
    cut[n] = 0;
    char esc[6 * META_VALUE_BYTES + 8];
    json_esc(esc, sizeof esc, cut);
    put(b, "%s", esc);
}

// Prints the finished line of b unless it repeats the one hashed in *told.
bool tell_once(textbuf *b, uint64_t *told) {
    // A line cut short by a failed allocation would not be valid JSON; one
    // that repeats the last report tells the host nothing.
    bool told_now = !b->failed && text_hash(b->data) != *told;
    if (told_now) {
        *told = text_hash(b->data);
        emit("%s", b->data);
    }
    free(b->data);
    return told_now;
}

textbuf new_line() { return {static_cast<char *>(malloc(4096)), 0, 4096, false}; }

// The host's line escaped for a log line, a NUL byte written as \u0000.
void escape_line(char *dst, size_t size, const char *text, size_t len) {
    size_t n = 0;
    const char *p = text, *end = text + len;
    dst[0] = 0;
    while (p < end) {
        json_esc(dst + n, size - n, p);
        n += strlen(dst + n);
        p += strlen(p);
        if (p == end || n + 8 >= size)
            break;
        memcpy(dst + n, "\\u0000", 7);
        n += 6;
        p++;
    }
}

}  // namespace

void tell_ready(const char *library_version, const char *engine_version) {
    char version[200];
    json_esc(version, sizeof version, library_version);
    emit("{\"type\":\"ready\",\"version\":\"%s\",\"engine\":\"%s\"}", version, engine_version);
}

void tell_ack(long long id, bool ok) { emit("{\"type\":\"ack\",\"id\":%lld,\"ok\":%s}", id, truth(ok)); }

void tell_refused(long long id, const char *message) {
    char esc[400];
    json_esc(esc, sizeof esc, message);
    emit("{\"type\":\"ack\",\"id\":%lld,\"ok\":false,\"message\":\"%s\"}", id, esc);
}

void tell_load_ack(long long id, uint64_t generation) {
    emit("{\"type\":\"ack\",\"id\":%lld,\"ok\":true,\"generation\":%llu}", id,
         static_cast<unsigned long long>(generation));
}

void tell_quit_ack(long long id) { emit_final("{\"type\":\"ack\",\"id\":%lld,\"ok\":true}", id); }
void tell_nothing_more() { emit_close(); }

void tell_opening() { emit("{\"type\":\"opening\"}"); }
void tell_playing() { emit("{\"type\":\"playing\"}"); }
void tell_paused() { emit("{\"type\":\"paused\"}"); }
void tell_end() { emit("{\"type\":\"end\"}"); }
void tell_stopped() { emit("{\"type\":\"stopped\"}"); }
void tell_buffering(double pct) { emit("{\"type\":\"buffering\",\"pct\":%.1f}", pct); }
void tell_time(int64_t ms) { emit("{\"type\":\"time\",\"ms\":%lld}", static_cast<long long>(ms)); }
void tell_position(double value) { emit("{\"type\":\"position\",\"value\":%.6f}", value); }
void tell_length(int64_t ms) { emit("{\"type\":\"length\",\"ms\":%lld}", static_cast<long long>(ms)); }
void tell_seekable(bool v) { emit("{\"type\":\"seekable\",\"v\":%s}", truth(v)); }
void tell_pausable(bool v) { emit("{\"type\":\"pausable\",\"v\":%s}", truth(v)); }
void tell_rate(double value) { emit("{\"type\":\"rate\",\"value\":%.6g}", value); }
void tell_looped(int count) { emit("{\"type\":\"looped\",\"count\":%d}", count); }
void tell_seek_landed(long long id, int64_t ms) {
    emit("{\"type\":\"seekLanded\",\"ms\":%lld,\"id\":%lld}", static_cast<long long>(ms), id);
}
void tell_preview(long long id, int64_t ms) {
    emit("{\"type\":\"preview\",\"id\":%lld,\"ms\":%lld}", id, static_cast<long long>(ms));
}
void tell_format(unsigned w, unsigned h, double sar) {
    emit("{\"type\":\"format\",\"w\":%u,\"h\":%u,\"sar\":%.6g}", w, h, sar);
}
void tell_sound(bool playing) { emit("{\"type\":\"sound\",\"state\":\"%s\"}", playing ? "playing" : "none"); }

void tell_error(problem what, const char *codec) {
    if (!codec) {
        emit("{\"type\":\"error\",\"problem\":\"%s\",\"codec\":null}", problem_name(what));
        return;
    }
    char esc[40];
    json_esc(esc, sizeof esc, codec);
    emit("{\"type\":\"error\",\"problem\":\"%s\",\"codec\":\"%s\"}", problem_name(what), esc);
}

bool tell_tracks(const track_report *r, uint64_t *told) {
    textbuf b = new_line();
    static const char *const kinds[TRACK_KINDS] = {"audio", "spu", "video"};
    put(&b, "{\"type\":\"tracks\"");
    for (int k = 0; k < TRACK_KINDS; k++) {
        put(&b, ",\"%s\":", kinds[k]);
        put_tracks(&b, r->tracks[k], r->count[k], k == TRACK_SPU);
    }
    put(&b, ",\"selected\":{\"audio\":%d,\"spu\":%d,\"video\":%d}}", r->selected[TRACK_AUDIO], r->selected[TRACK_SPU],
        r->selected[TRACK_VIDEO]);
    return tell_once(&b, told);
}

bool tell_meta(const char *const values[META_MEMBERS], uint64_t *told) {
    static const char *const names[META_MEMBERS] = {"title",       "artist",      "album",      "genre",     "date",
                                                    "trackNumber", "description", "nowPlaying", "artworkUrl"};
    textbuf b = new_line();
    put(&b, "{\"type\":\"meta\"");
    bool known = false;
    for (int m = 0; m < META_MEMBERS; m++) {
        if (!values[m] || !values[m][0])
            continue;
        known = true;
        put(&b, ",\"%s\":\"", names[m]);
        put_text(&b, values[m]);
        put(&b, "\"");
    }
    put(&b, "}");
    if (known)
        return tell_once(&b, told);
    free(b.data);
    return false;
}

bool tell_chapters(const chapter_entry *list, int count, uint64_t *told) {
    textbuf b = new_line();
    put(&b, "{\"type\":\"chapters\",\"list\":[");
    for (int i = 0; i < count; i++) {
        put(&b, "%s{\"ms\":%lld,\"durationMs\":%lld,\"name\":", i ? "," : "", static_cast<long long>(list[i].ms),
            static_cast<long long>(list[i].duration_ms));
        if (list[i].name) {
            put(&b, "\"");
            put_text(&b, list[i].name);
            put(&b, "\"}");
        } else {
            put(&b, "null}");
        }
    }
    put(&b, "]}");
    return tell_once(&b, told);
}

void tell_chapter(int index) { emit("{\"type\":\"chapter\",\"index\":%d}", index); }

void tell_devices(const device_entry *list, int count, const char *current) {
    textbuf b = new_line();
    put(&b, "{\"type\":\"devices\",\"list\":[");
    for (int i = 0; i < count; i++) {
        put(&b, "%s{\"id\":\"", i ? "," : "");
        put_text(&b, list[i].id ? list[i].id : "");
        put(&b, "\",\"name\":\"");
        put_text(&b, list[i].name ? list[i].name : "");
        put(&b, "\"}");
    }
    put(&b, "],\"current\":");
    if (current) {
        put(&b, "\"");
        put_text(&b, current);
        put(&b, "\"}");
    } else {
        put(&b, "null}");
    }
    uint64_t never = 0;  // every answer is told
    tell_once(&b, &never);
}

void tell_log(const char *message) {
    char esc[1100];
    json_esc(esc, sizeof esc, message);
    emit("{\"type\":\"log\",\"message\":\"%s\"}", esc);
}

void tell_log_while(const std::atomic<uint64_t> &current, uint64_t gen, const char *message) {
    char esc[1100];
    json_esc(esc, sizeof esc, message);
    emit_while(current, gen, "{\"type\":\"log\",\"message\":\"%s\"}", esc);
}

void tell_lines_dropped(int count) { emit("{\"type\":\"log\",\"message\":\"%d log lines dropped\"}", count); }

void tell_refusal(refusal what, const char *text, unsigned long len) {
    char esc[300];
    escape_line(esc, sizeof esc, text ? text : "", text ? len : 0);
    switch (what) {
    case REFUSED_NOT_A_COMMAND:
        emit("{\"type\":\"log\",\"message\":\"not a command: %s\",\"code\":\"notACommand\"}", esc);
        break;
    case REFUSED_LINE_TOO_LONG:
        emit("{\"type\":\"log\",\"message\":\"line longer than %d bytes: %s\",\"code\":\"lineTooLong\"}",
             LINE_MAX_BYTES, esc);
        break;
    case REFUSED_START_POS:
        emit("{\"type\":\"log\",\"message\":\"startPos dropped: the media cannot seek\",\"code\":\"startPosDropped\"}");
        break;
    case REFUSED_SUBTITLES:
        emit("{\"type\":\"log\",\"message\":\"subtitles unreadable: %s\",\"code\":\"subtitlesUnreadable\"}", esc);
        break;
    case REFUSED_DEVICE_GONE:
        emit("{\"type\":\"log\",\"message\":\"sound device gone, the sound goes to the default: %s\",\"code\":"
             "\"deviceGone\"}",
             esc);
        break;
    }
}
