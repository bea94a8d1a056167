// The tracks and sound reports of a player and the streams the
// library cannot decode. Run by the control loop only, with no engine lock
// held across library calls.
#include "engine.h"

#include <cstdlib>
#include <cstring>

namespace {

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
// The first report of a playing load waits longer for playback to move: a
// transport stream's time comes about a second after its first stream, and
// a busy machine's demuxer may not have made the others by then.
const int64_t TRACKS_FIRST_MAX_US = 3000000;
const int64_t TRACKS_RECHECK_US = 50000;

// The listed tracks of one kind of p, with languages from the media's streams,
// into *out (malloc'd; the caller frees it); the entry that switches a kind
// off (negative id) is left out. *lagging is set when a track has no stream
// yet. False when memory is short.
bool list_tracks(player *p, const libvlc_track_description_t *list, int kind, libvlc_media_track_t *const *streams,
                 unsigned n, track_entry **out, int *count, bool *lagging) {
    int listed = 0;
    for (const libvlc_track_description_t *d = list; d; d = d->p_next)
        listed++;
    *count = 0;
    *out = static_cast<track_entry *>(malloc(sizeof(track_entry) * size_t(listed ? listed : 1)));
    if (!*out)
        return false;
    for (const libvlc_track_description_t *d = list; d; d = d->p_next) {
        if (d->i_id < 0)
            continue;
        const libvlc_media_track_t *t = stream_of(list, kind, d->i_id, streams, n);
        *lagging = *lagging || !t;
        const char *language = t && t->psz_language && t->psz_language[0] ? t->psz_language : nullptr;
        bool external = kind == libvlc_track_text && subtitles_external(p, d->i_id);
        (*out)[(*count)++] = {d->i_id, d->psz_name ? d->psz_name : "", language, external};
    }
    return true;
}

// The library's FourCC for a stream whose codec it could not identify.
const uint32_t UNDEFINED_CODEC = 'u' | 'n' << 8 | 'd' << 16 | uint32_t('f') << 24;

unsigned media_streams(player *p, libvlc_media_track_t ***streams) {
    *streams = nullptr;
    return p->media ? libvlc_media_tracks_get(p->media, streams) : 0;
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

// The load's sound settings and subtitle choice, on p.
void apply_choices(player *p) {
    apply_sound_settings(p);
    // A load that asked for subtitles off keeps them off until an spu command.
    if (p->hide_spu && libvlc_video_get_spu(p->mp) >= 0)
        libvlc_video_set_spu(p->mp, -1);
}

}  // namespace

void want_tracks(player *p) {
    apply_choices(p);
    int64_t now = now_us();
    p->tracks_due_us = now + TRACKS_QUIET_US;
    if (!p->tracks_burst_us)
        p->tracks_burst_us = now;
}

void settle_tracks(player *p, bool now) {
    if (!p->tracks_due_us)
        return;
    int64_t at = now_us();
    int64_t max = !p->tracks_told && !p->host_paused.load() ? TRACKS_FIRST_MAX_US : TRACKS_SETTLE_MAX_US;
    bool waiting = !now && at - p->tracks_burst_us < max;
    // The first report also waits for playback to move: by then the demuxer
    // has made every stream of the program, however slowly it got there.
    if (waiting && !p->tracks_told && !p->moved.load()) {
        p->tracks_due_us = at + TRACKS_RECHECK_US;
        return;
    }
    if (report_tracks(p, waiting)) {
        p->tracks_due_us = 0;
        p->tracks_burst_us = 0;
    } else {
        p->tracks_due_us = at + TRACKS_RECHECK_US;
    }
}

bool report_tracks(player *p, bool settled_only) {
    apply_choices(p);
    report_meta(p);  // what the media says of itself comes first, before any end
    libvlc_media_track_t **streams;
    unsigned n = media_streams(p, &streams);
    libvlc_track_description_t *audio = libvlc_audio_get_track_description(p->mp);
    libvlc_track_description_t *spu = libvlc_video_get_spu_description(p->mp);
    libvlc_track_description_t *video = libvlc_video_get_track_description(p->mp);
    int a = libvlc_audio_get_track(p->mp);
    int s = libvlc_video_get_spu(p->mp);
    int v = libvlc_video_get_track(p->mp);

    track_entry *entries[TRACK_KINDS] = {};
    track_report r = {};
    bool lagging = false, listed = true;
    const libvlc_track_description_t *lists[TRACK_KINDS] = {audio, spu, video};
    const int kinds[TRACK_KINDS] = {libvlc_track_audio, libvlc_track_text, libvlc_track_video};
    for (int k = 0; k < TRACK_KINDS; k++) {
        listed = list_tracks(p, lists[k], kinds[k], streams, n, &entries[k], &r.count[k], &lagging) && listed;
        r.tracks[k] = entries[k];
    }
    // A video track listed but none selected: the library renumbers a
    // segmented stream's tracks after a seek and never marks the new one
    // selected, though its pictures come. The only one listed is the one shown.
    bool unselected = v < 0 && video && video->p_next;
    if (unselected && !video->p_next->p_next && p->vouts.load() > 0)
        v = video->p_next->i_id;
    bool settled = !lagging && !unselected;
    if (settled || !settled_only) {
        if (!settled && p->tracks_retries < TRACKS_RETRIES) {
            p->tracks_retries++;
            p->tracks_stale.store(1);
        }
        r.selected[TRACK_AUDIO] = a < 0 ? -1 : a;
        r.selected[TRACK_SPU] = s < 0 ? -1 : s;
        r.selected[TRACK_VIDEO] = v < 0 ? -1 : v;
        // A report cut short by a failed allocation is not told.
        if (listed && tell_tracks(&r, &p->tracks_hash))
            p->tracks_told = 1;
    }
    for (track_entry *e : entries)
        free(e);
    if (!settled && settled_only) {
        // The demuxer is still making its streams known: a report now would
        // list some without their languages, or not at all.
        release_lists(audio, spu, video, streams, n);
        return false;
    }

    // Playing sound: the selected audio stream exists and its codec decodes.
    int state = 0;
    const libvlc_media_track_t *heard = a >= 0 ? stream_of(audio, libvlc_track_audio, a, streams, n) : nullptr;
    if (heard) {
        std::lock_guard<ordered_mutex> hold(ctl_lock);
        state = !listed_bad(p, heard->i_codec);
    }
    release_lists(audio, spu, video, streams, n);
    if (state != p->sound_state) {
        p->sound_state = state;
        tell_sound(state != 0);
    }
    return true;
}

void check_codecs(player *p) {
    char bad[BAD_CODECS][5];
    int count;
    {
        std::lock_guard<ordered_mutex> hold(ctl_lock);
        memcpy(bad, p->bad_codecs, sizeof bad);
        count = p->bad_codec_count;
    }
    libvlc_media_track_t **streams;
    unsigned n = media_streams(p, &streams);
    bool has_video = false;
    for (unsigned i = 0; i < n; i++)
        has_video = has_video || streams[i]->i_type == libvlc_track_video;
    for (int k = 0; k < count; k++)
        for (unsigned i = 0; i < n; i++) {
            if (memcmp(bad[k], &streams[i]->i_codec, 4) != 0)
                continue;
            if (streams[i]->i_type == libvlc_track_video)
                report_problem(p, PROBLEM_UNDECODABLE_VIDEO, bad[k]);
            else if (streams[i]->i_type == libvlc_track_audio && !has_video)
                report_problem(p, PROBLEM_UNDECODABLE_AUDIO, bad[k]);
        }
    if (n)
        libvlc_media_tracks_release(streams, n);
    if (p->started.load()) {
        p->tracks_due_us = p->tracks_due_us ? p->tracks_due_us : 1;
        settle_tracks(p, true);
    }
}

void check_ended(player *p) {
    if (p->error_told)
        return;
    // Input that no demuxer understands ends like a clip played through;
    // without a single stream that decodes, it was not playable at all. Nor
    // was input taken for sound that never had a length, a time or a picture.
    libvlc_media_track_t **streams;
    unsigned n = media_streams(p, &streams);
    bool playable = false;
    for (unsigned i = 0; i < n; i++) {
        const libvlc_media_track_t *t = streams[i];
        if ((t->i_type != libvlc_track_audio && t->i_type != libvlc_track_video) || t->i_codec == 0 ||
            t->i_codec == UNDEFINED_CODEC)
            continue;
        std::lock_guard<ordered_mutex> hold(ctl_lock);
        playable = playable || !listed_bad(p, t->i_codec);
    }
    if (n)
        libvlc_media_tracks_release(streams, n);
    // An announced length and tracks are no proof when the source gave out
    // before a time or a picture came; a short sound ends as quickly.
    if (playable && !p->moved.load() && !p->had_video.load() &&
        (p->length_ms.load() <= 0 || p->starved.load() || p->range_refused.load()))
        playable = false;
    if (playable)
        return;
    problem what = stored_problem(p);
    report_problem(p, what == PROBLEM_UNAVAILABLE ? PROBLEM_UNRECOGNIZED : what, nullptr);
}

bool first_picture_unsure(player *p) {
    libvlc_media_track_t **streams;
    unsigned n = media_streams(p, &streams);
    bool unsure = false;
    for (unsigned i = 0; i < n; i++)
        unsure = unsure || (streams[i]->i_type == libvlc_track_video && memcmp(&streams[i]->i_codec, "av01", 4) == 0);
    if (streams)
        libvlc_media_tracks_release(streams, n);
    return unsure;
}
