// The tracks and sound reports of the current player and the streams the
// library cannot decode. Run by the control loop only, with no engine lock
// held across library calls.
#include "engine.h"
#include "json.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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

// The media's stream behind a listed track of this kind (a libvlc track
// type), or null. The ids of the list are the media's own stream ids in most
// containers, but the stream PIDs in an MPEG transport stream, whose streams
// the media numbers from 0: there the kind and the order tell.
const libvlc_media_track_t *stream_of(const libvlc_track_description_t *list, int kind, int id,
                                      libvlc_media_track_t *const *streams, unsigned n) {
    for (unsigned i = 0; i < n; i++)
        if (streams[i]->i_type == kind && streams[i]->i_id == id)
            return streams[i];
    int rank = 0;
    for (const libvlc_track_description_t *d = list; d; d = d->p_next) {
        if (d->i_id == id) {
            for (unsigned i = 0; i < n; i++)
                if (streams[i]->i_type == kind && rank-- == 0)
                    return streams[i];
            return nullptr;
        }
        rank += d->i_id >= 0;
    }
    return nullptr;
}

// Reports asked again while the media's streams lag behind its tracks.
const int TRACKS_RETRIES = 20;
// A tracks report waits for the streams to settle: this long without a
// stream added, removed or selected, and every listed track known as a
// stream, or this long after the change began, whatever is known then.
const int64_t TRACKS_QUIET_US = 150000;
const int64_t TRACKS_SETTLE_MAX_US = 1000000;
const int64_t TRACKS_RECHECK_US = 50000;

// Appends one JSON array of the listed tracks, with languages from the
// media's streams; the entry that switches a kind off (negative id) is left
// out. *lagging is set when a track has no stream yet.
void put_tracks(textbuf *b, const libvlc_track_description_t *list, int kind, libvlc_media_track_t *const *streams,
                unsigned n, bool *lagging) {
    put(b, "[");
    const char *sep = "";
    for (const libvlc_track_description_t *d = list; d; d = d->p_next) {
        if (d->i_id < 0)
            continue;
        const libvlc_media_track_t *t = stream_of(list, kind, d->i_id, streams, n);
        *lagging = *lagging || !t;
        const char *language = t && t->psz_language && t->psz_language[0] ? t->psz_language : nullptr;
        char name[300];
        json_esc(name, sizeof name, d->psz_name ? d->psz_name : "");
        put(b, "%s{\"id\":%d,\"name\":\"%s\",\"language\":", sep, d->i_id, name);
        if (language) {
            char esc[80];
            json_esc(esc, sizeof esc, language);
            put(b, "\"%s\"}", esc);
        } else {
            put(b, "null}");
        }
        sep = ",";
    }
    put(b, "]");
}

// The library's FourCC for a stream whose codec it could not identify.
const uint32_t UNDEFINED_CODEC = 'u' | 'n' << 8 | 'd' << 16 | uint32_t('f') << 24;

unsigned media_streams(libvlc_media_track_t ***streams) {
    *streams = nullptr;
    return cur->media ? libvlc_media_tracks_get(cur->media, streams) : 0;
}

void release_lists(libvlc_track_description_t *audio, libvlc_track_description_t *spu,
                   libvlc_track_description_t *video, libvlc_media_track_t **streams, unsigned n) {
    libvlc_track_description_list_release(audio);
    libvlc_track_description_list_release(spu);
    libvlc_track_description_list_release(video);
    if (n)
        libvlc_media_tracks_release(streams, n);
}

bool listed_bad(const player *p, uint32_t codec) {
    for (int i = 0; i < p->bad_codec_count; i++)
        if (memcmp(p->bad_codecs[i], &codec, 4) == 0)
            return true;
    return false;
}

// The load's sound settings and subtitle choice, on the current player.
void apply_choices() {
    apply_sound_settings();
    // A load that asked for subtitles off keeps them off until an spu command.
    if (cur->hide_spu && libvlc_video_get_spu(cur->mp) >= 0)
        libvlc_video_set_spu(cur->mp, -1);
}

}  // namespace

void want_tracks() {
    apply_choices();
    int64_t now = now_us();
    cur->tracks_due_us = now + TRACKS_QUIET_US;
    if (!cur->tracks_burst_us)
        cur->tracks_burst_us = now;
}

void settle_tracks(bool now) {
    if (!cur->tracks_due_us)
        return;
    int64_t at = now_us();
    bool waiting = !now && at - cur->tracks_burst_us < TRACKS_SETTLE_MAX_US;
    // The first report also waits for playback to move: by then the demuxer
    // has made every stream of the program, however slowly it got there.
    if (waiting && !cur->tracks_told && !cur->moved.load()) {
        cur->tracks_due_us = at + TRACKS_RECHECK_US;
        return;
    }
    if (tell_tracks(waiting)) {
        cur->tracks_due_us = 0;
        cur->tracks_burst_us = 0;
    } else {
        cur->tracks_due_us = at + TRACKS_RECHECK_US;
    }
}

bool tell_tracks(bool settled_only) {
    apply_choices();
    libvlc_media_track_t **streams;
    unsigned n = media_streams(&streams);
    libvlc_track_description_t *audio = libvlc_audio_get_track_description(cur->mp);
    libvlc_track_description_t *spu = libvlc_video_get_spu_description(cur->mp);
    libvlc_track_description_t *video = libvlc_video_get_track_description(cur->mp);
    int a = libvlc_audio_get_track(cur->mp);
    int s = libvlc_video_get_spu(cur->mp);
    int v = libvlc_video_get_track(cur->mp);

    textbuf b = {static_cast<char *>(malloc(4096)), 0, 4096, false};
    put(&b, "{\"type\":\"tracks\",\"audio\":");
    bool lagging = false;
    put_tracks(&b, audio, libvlc_track_audio, streams, n, &lagging);
    put(&b, ",\"spu\":");
    put_tracks(&b, spu, libvlc_track_text, streams, n, &lagging);
    put(&b, ",\"video\":");
    put_tracks(&b, video, libvlc_track_video, streams, n, &lagging);
    // A video track listed but none selected: the library renumbers a
    // segmented stream's tracks after a seek and never marks the new one
    // selected, though its pictures come. The only one listed is the one shown.
    bool unselected = v < 0 && video && video->p_next;
    if (unselected && !video->p_next->p_next && cur->vouts.load() > 0)
        v = video->p_next->i_id;
    if ((lagging || unselected) && settled_only) {
        // The demuxer is still making its streams known: a report now would
        // list some without their languages, or not at all.
        free(b.data);
        release_lists(audio, spu, video, streams, n);
        return false;
    }
    if ((lagging || unselected) && cur->tracks_retries < TRACKS_RETRIES) {
        cur->tracks_retries++;
        cur->tracks_stale.store(1);
    }
    put(&b, ",\"selected\":{\"audio\":%d,\"spu\":%d,\"video\":%d}}", a < 0 ? -1 : a, s < 0 ? -1 : s,
        v < 0 ? -1 : v);
    // A line cut short by a failed allocation would not be valid JSON; one
    // that repeats the last report tells the host nothing.
    if (!b.failed && (!cur->tracks_told || text_hash(b.data) != cur->tracks_hash)) {
        cur->tracks_told = 1;
        cur->tracks_hash = text_hash(b.data);
        emit("%s", b.data);
    }
    free(b.data);

    // Playing sound: the selected audio stream exists and its codec decodes.
    int state = 0;
    const libvlc_media_track_t *heard = a >= 0 ? stream_of(audio, libvlc_track_audio, a, streams, n) : nullptr;
    if (heard) {
        std::lock_guard<std::mutex> hold(ctl_lock);
        state = !listed_bad(cur, heard->i_codec);
    }
    release_lists(audio, spu, video, streams, n);
    if (state != cur->sound_state) {
        cur->sound_state = state;
        emit("{\"type\":\"sound\",\"state\":\"%s\"}", state ? "playing" : "none");
    }
    return true;
}

void check_codecs() {
    char bad[BAD_CODECS][5];
    int count;
    {
        std::lock_guard<std::mutex> hold(ctl_lock);
        memcpy(bad, cur->bad_codecs, sizeof bad);
        count = cur->bad_codec_count;
    }
    libvlc_media_track_t **streams;
    unsigned n = media_streams(&streams);
    bool has_video = false;
    for (unsigned i = 0; i < n; i++)
        has_video = has_video || streams[i]->i_type == libvlc_track_video;
    for (int k = 0; k < count; k++)
        for (unsigned i = 0; i < n; i++) {
            if (memcmp(bad[k], &streams[i]->i_codec, 4) != 0)
                continue;
            if (streams[i]->i_type == libvlc_track_video)
                emit_error("undecodableVideo", bad[k]);
            else if (streams[i]->i_type == libvlc_track_audio && !has_video)
                emit_error("undecodableAudio", bad[k]);
        }
    if (n)
        libvlc_media_tracks_release(streams, n);
    if (cur->started.load()) {
        cur->tracks_due_us = cur->tracks_due_us ? cur->tracks_due_us : 1;
        settle_tracks(true);
    }
}

void check_ended() {
    if (cur->error_told)
        return;
    // Input that no demuxer understands ends like a clip played through;
    // without a single stream that decodes, it was not playable at all. Nor
    // was input taken for sound that never had a length, a time or a picture.
    libvlc_media_track_t **streams;
    unsigned n = media_streams(&streams);
    bool playable = false;
    for (unsigned i = 0; i < n; i++) {
        const libvlc_media_track_t *t = streams[i];
        if ((t->i_type != libvlc_track_audio && t->i_type != libvlc_track_video) || t->i_codec == 0 ||
            t->i_codec == UNDEFINED_CODEC)
            continue;
        std::lock_guard<std::mutex> hold(ctl_lock);
        playable = playable || !listed_bad(cur, t->i_codec);
    }
    if (n)
        libvlc_media_tracks_release(streams, n);
    // An announced length and tracks are no proof when the source gave out
    // before a time or a picture came; a short sound ends as quickly.
    if (playable && !cur->moved.load() && !cur->had_video.load() &&
        (cur->length_ms.load() <= 0 || cur->starved.load() || cur->range_refused.load()))
        playable = false;
    if (playable)
        return;
    const char *problem = stored_problem(cur);
    emit_error(strcmp(problem, "unavailable") == 0 ? "unrecognized" : problem, nullptr);
}
