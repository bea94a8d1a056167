// Scrub previews: players of the current load besides its own that make no
// sound, tell the host nothing of themselves and never touch playback: one
// whose library seeks to key frames, for the quick previews a hover asks, and
// one that seeks to the moment. Each preview is a client of its player's seek
// machine and lands by the facts a seek lands by; its picture goes to the
// host scaled, as a preview frame, then the preview event. The control thread
// makes, asks and closes them; their library threads report to their seek
// machines through preview_event and the log callback.
#include "engine.h"
#include "json.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const int64_t IDLE_US = 10000000;  // closed once the host asked no preview this long
const int32_t WIDTH_DEFAULT = 160;
// No sound and no subtitles; started paused, and paused again at the end, as
// the load is.
const char *const PREVIEW_OPTIONS[] = {":no-audio", ":no-spu", ":start-paused", ":file-caching=300", ":play-and-pause"};
enum { KEY_FRAMES, MOMENTS };  // the players of previews of a load

// Why the load p gives no preview, null when it does.
const char *unpreviewable(const player *p) {
    if (!p || !p->media)
        return "no media";
    if (is_live(p))
        return "a live source has no moment to show but its own";
    if (p->end_state.load() != END_NONE)
        return "the media ended";
    if (!p->had_video.load() && libvlc_video_get_track_count(p->mp) <= 0)
        return "no pictures to show";
    if (!p->seekable.load() || p->length_ms.load() <= 0)
        return "the media cannot seek";
    if (!frames_piped())
        return "no frame pipe to send it on";
    return nullptr;
}

void add_option(libvlc_media_t *media, const char *name, const char *value) {
    char buf[REQUEST_TEXT_MAX + 32];
    snprintf(buf, sizeof buf, "%s%s", name, value);
    libvlc_media_add_option(media, buf);
}

// The player of previews of the load p of this kind, made and started paused
// at its first preview, with its own connection to the same location asked
// the same way; null when it cannot be made.
player *previews_of(player *p, int kind) {
    if (p->preview[kind])
        return p->preview[kind];
    player *v = player_new(p->generation, true);
    if (!v)
        return nullptr;
    // A picture's duration, which its first preview is asked with, before
    // this player's own video output tells it.
    v->frame_us.store(p->frame_us.load());
    char *mrl = libvlc_media_get_mrl(p->media);
    libvlc_media_t *media = mrl ? libvlc_media_new_location(v->instance, mrl) : nullptr;
    if (media) {
        for (const char *o : PREVIEW_OPTIONS)
            libvlc_media_add_option(media, o);
        // One decoding thread keeps the memory small where one picture is
        // decoded; two for the moment after a key frame.
        if (kind == KEY_FRAMES)
            libvlc_media_add_option(media, ":input-fast-seek");  // no decoding from the key frame on
        libvlc_media_add_option(media, kind == KEY_FRAMES ? ":avcodec-threads=1" : ":avcodec-threads=2");
        if (p->user_agent[0])
            add_option(media, ":http-user-agent=", p->user_agent);
        if (p->referrer[0])
            add_option(media, ":http-referrer=", p->referrer);
        watch_start(v, p->timeout_ms, mrl);
        v->host_paused.store(1);
        pictures_preview(&v->pictures, WIDTH_DEFAULT);
        libvlc_media_player_set_media(v->mp, media);
        v->media = media;
    }
    libvlc_free(mrl);
    if (!media || libvlc_media_player_play(v->mp) != 0) {
        player_discard(v);
        return nullptr;
    }
    p->preview[kind] = v;
    return v;
}

// Asks v for the preview r: now, or once the one in flight landed, in place
// of any that waits.
void ask(player *p, player *v, const seek_request &r) {
    // The same media: its pictures come as far apart as the load's did.
    v->gaps.store(p->gaps.load());
    {
        std::lock_guard<ordered_mutex> hold(v->times_lock);
        v->times.gridded = p->gaps.load() == GAPS_EVEN || p->gaps.load() == GAPS_WHOLE;
    }
    if (!seek_start(v, &r))
        seek_wait_turn(v, &r);
}

// Tells a preview's trouble as a log line, while v's load is current.
void tell_trouble(const player *v, const char *what) {
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (v->generation == generation.load())
        tell_log(what);
}

}  // namespace

void cmd_preview(const command *c, long long id) {
    player *p = cur;
    const entry *ms = field(c, "ms", KIND_NUMBER), *pos = field(c, "pos", KIND_NUMBER);
    const entry *exact = field(c, "exact", KIND_BOOL);
    int32_t width = WIDTH_DEFAULT;
    const char *why = nullptr;
    char told[120];
    if ((present(c, "ms") && !ms) || (present(c, "pos") && !pos) || !ms == !pos)
        why = "preview: give ms or pos, one of them, as a number";
    else if (present(c, "width") &&
             (!int_field(c, "width", &width) || width < PREVIEW_WIDTH_MIN || width > PREVIEW_WIDTH_MAX))
        why = "preview: width must be a whole number from 32 to 640";
    else if (present(c, "exact") && !exact)
        why = "preview: exact must be true or false";
    else if (const char *not_here = unpreviewable(p)) {
        snprintf(told, sizeof told, "preview: %s", not_here);
        why = told;
    } else if (ms && (ms->number < 0 || ms->number > double(p->length_ms.load())))
        why = "preview: ms must be within the media's length";
    else if (pos && (pos->number < 0 || pos->number > 1))
        why = "preview: pos must be within 0 and 1";
    bool key = !(exact && exact->boolean);
    player *v = why ? nullptr : previews_of(p, key ? KEY_FRAMES : MOMENTS);
    if (!why && !v)
        why = "preview: no player of previews could be made";
    if (why) {
        tell_refused(id, why);
        return;
    }
    // At the end the last picture is meant, the one that shows the last moment.
    double length = double(p->length_ms.load());
    double target = std::fmin(ms ? ms->number : length * pos->number, std::fmax(0.0, length - 1));
    p->preview_used_us = now_us();
    // It replaces the preview that waits its turn, on either player.
    if (player *other = p->preview[key ? MOMENTS : KEY_FRAMES])
        seek_drop_waiting(other);
    ask(p, v, {CLIENT_PREVIEW, id, target, 0, false, true, false, true, false, key, width, ++p->previews_asked});
    tell_ack(id, true);
}

void preview_event(player *p, const libvlc_event_t *ev, int64_t heard) {
    if (!watch_admits(p, ev->type))
        return;  // a network load's previews led to a source of this machine
    switch (ev->type) {
    case libvlc_MediaPlayerPlaying:
        if (p->paused.load())
            times_resumed(p, heard);
        p->paused.store(0);
        p->started.store(1);
        break;
    case libvlc_MediaPlayerPaused:
        p->paused_us.store(heard);
        p->paused.store(1);
        if (p->eof_told.exchange(0))
            seek_at_end(p);
        else
            seek_library_paused(p);
        break;
    case libvlc_MediaPlayerBuffering:
    case libvlc_MediaPlayerTimeChanged:
        p->moved_us.store(now_us());
        break;
    case libvlc_MediaPlayerVout:
        p->vouts.store(ev->u.media_player_vout.new_count);
        break;
    case libvlc_MediaPlayerLengthChanged:
        p->length_ms.store(ev->u.media_player_length_changed.new_length);
        break;
    case libvlc_MediaPlayerSeekableChanged:
        p->seekable.store(ev->u.media_player_seekable_changed.new_seekable);
        break;
    case libvlc_MediaPlayerStopped:
    case libvlc_MediaPlayerEndReached:
    case libvlc_MediaPlayerEncounteredError:
        seek_forget(p);
        p->end_state.store(END_REACHED);
        raise_pending(p, PEND_ENDED);  // closed by the control loop
        break;
    default:
        break;
    }
}

void preview_landed(player *v) {
    seek_request r;
    int64_t ms;
    int how;
    {
        std::lock_guard<ordered_mutex> hold(v->seek_lock);
        const seeker &m = v->seek.machine;
        r = m.req;
        ms = m.landed_ms;
        how = m.landing;
    }
    player *p = cur;
    if (!p || (p->preview[KEY_FRAMES] != v && p->preview[MOMENTS] != v) || r.order < p->previews_told)
        return;  // a later preview was answered: the host has moved on
    if (how == LANDED_UNKEYED && p->preview[KEY_FRAMES] == v) {
        // A demuxer that says nothing of its key frames: the moment instead.
        if (player *exact = previews_of(p, MOMENTS)) {
            r.key = false;
            return ask(p, exact, r);
        }
    }
    uint64_t sent = 0;
    if (how == LANDED_PICTURE) {
        // Queued as the display queues a picture: the one kept back at the
        // landing, else the one it shows.
        std::lock_guard<ordered_mutex> shown(v->show_lock);
        pictures_preview(&v->pictures, uint32_t(r.width));
        v->mark_frame.store(mark_of(r.id));
        sent = pictures_resend(&v->pictures, v->generation, &v->mark_frame, ms * 1000, true);
        if (!sent)
            sent = pictures_resend(&v->pictures, v->generation, &v->mark_frame, ms * 1000);
        v->mark_frame.store(0);
        pictures_keep(&v->pictures, false);
    }
    if (sent)
        p->previews_told = r.order;
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (v->generation != generation.load())
        return;
    if (sent) {
        tell_preview(r.id, ms);
    } else {
        char what[80];
        snprintf(what, sizeof what, "preview %lld: no picture of that moment came in time", r.id);
        tell_log(what);
    }
}

int preview_pending(player *p, bool take) {
    int flags = 0;
    for (player *v : p->preview)
        if (v) {
            flags |= v->pending;
            if (take)
                v->pending = 0;
        }
    return flags;
}

int64_t preview_due(const player *p) {
    int64_t due = 0;
    for (const player *v : p->preview) {
        if (!v)
            continue;
        int64_t idle = p->preview_used_us + IDLE_US, seek = v->seek.due_us.load();
        due = due ? std::min(due, idle) : idle;
        if (seek && seek < due)
            due = seek;
    }
    return due;
}

void preview_serve(player *p, int flags) {
    int64_t now = now_us();
    for (player *v : p->preview) {
        if (v && (flags || (seek_due(v) && now >= seek_due(v))))
            seek_serve(v);
    }
    for (player *&v : p->preview) {
        if (!v)
            continue;
        // Its source stalled for the load's timeout while a preview waited on it.
        int64_t since = std::max(v->moved_us.load(), v->seek.issued_us.load());
        bool stalled = seek_in_flight(v) && v->timeout_us > 0 && now - since >= v->timeout_us;
        if (v->denied.load())
            tell_trouble(v, "previews: their source led to one of this machine; closed");
        else if (v->end_state.load() != END_NONE || stalled)
            tell_trouble(v, "previews: their source ended or went silent; closed");
        else if (now < p->preview_used_us + IDLE_US)
            continue;
        v->silenced.store(1);
        player_retire(v);
        v = nullptr;
    }
}

void preview_close(player *p) {
    for (player *&v : p->preview) {
        if (!v)
            continue;
        v->silenced.store(1);
        player_retire(v);
        v = nullptr;
    }
}
