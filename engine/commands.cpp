// The command handlers other than quit and seek. Each runs on the control
// thread with no lock held and answers with exactly one ack. Volume, mute and
// audio delay are process-wide and outlive every player.
#include "checks.h"
#include "engine.h"
#include "json.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Process-wide sound settings, control thread only.
int32_t volume = -1;  // 0..100; -1 never set
int32_t muted = -1;   // 0 or 1; -1 never set
int32_t audio_delay_ms = 15;

const int32_t NOT_GIVEN = INT32_MIN;  // no value int_field accepts equals it
// Beyond an hour either way a delay is a mistake: the sound would wait days.
const int32_t AUDIO_DELAY_MAX_MS = 3600000;
const int FILE_CACHING_MS = 300;

void add_option(libvlc_media_t *media, const char *format, ...) __attribute__((format(printf, 2, 3)));
void add_option(libvlc_media_t *media, const char *format, ...) {
    char buf[640];  // a user agent or a referrer of REQUEST_TEXT_MAX bytes, and its name
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    libvlc_media_add_option(media, buf);
}

// Whether location is a local Ogg file, by its first bytes. Only a regular
// file is read: a device or a pipe is left to the library.
bool local_ogg(const char *location) {
    char path[4096], head[4];
    if (!file_path(location, path, sizeof path))
        return false;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ogg = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && pread(fd, head, 4, 0) == 4 && memcmp(head, "OggS", 4) == 0;
    close(fd);
    return ogg;
}

// A number key that is absent, or present with a number within lo..hi.
bool number_in(const command *c, const char *key, double lo, double hi, double *out) {
    if (!present(c, key))
        return true;
    const entry *e = field(c, key, KIND_NUMBER);
    if (!e || e->number < lo || e->number > hi)
        return false;
    *out = e->number;
    return true;
}

// A boolean key that is absent, or present with a boolean.
bool bool_in(const command *c, const char *key, bool *out) {
    if (!present(c, key))
        return true;
    const entry *e = field(c, key, KIND_BOOL);
    if (e)
        *out = e->boolean;
    return e != nullptr;
}

// The fields of a valid load.
struct load_args {
    const char *url;
    bool live, paused, loop;
    double start_ms, start_pos;  // -1 when not given
    int32_t audio, spu;          // NOT_GIVEN when not given
    int32_t timeout_ms;          // the source may deliver nothing this long; 0 for ever
    // How the load asks a server, and its subtitle file; null when not given.
    const char *user_agent, *referrer, *subtitles;
};

// The load's strings that go on to servers and to the library, each checked
// before it is taken; false with why (naming the field) when one is refused.
bool read_strings(const command *c, load_args *a, char *why, size_t size) {
    const struct {
        const char *key;
        const char *(*problem)(const char *);
        const char **out;
    } strings[] = {
        {"userAgent", agent_problem, &a->user_agent},
        {"referrer", referrer_problem, &a->referrer},
        {"subtitles", location_problem, &a->subtitles},
    };
    for (const auto &s : strings) {
        if (!present(c, s.key))
            continue;
        const entry *e = field(c, s.key, KIND_STRING);
        const char *problem = e ? s.problem(e->string) : "must be a string";
        if (problem) {
            snprintf(why, size, "load: %s %s", s.key, problem);
            return false;
        }
        *s.out = e->string;
    }
    return true;
}

// Reads and checks a load's fields; false when the load is refused, with why
// when that is told.
bool read_load(const command *c, load_args *a, char *why, size_t size) {
    const entry *url = field(c, "url", KIND_STRING);
    const entry *live = field(c, "live", KIND_BOOL);
    *a = {nullptr, false, false, false, -1, -1, NOT_GIVEN, NOT_GIVEN, TIMEOUT_DEFAULT_MS, nullptr, nullptr, nullptr};
    why[0] = 0;
    if (!url || !url->string[0] || !live || !number_in(c, "startMs", 0, HUGE_VAL, &a->start_ms) ||
        !number_in(c, "startPos", 0, 1, &a->start_pos))
        return false;
    a->url = url->string;
    a->live = live->boolean;
    if (!bool_in(c, "paused", &a->paused) || !bool_in(c, "loop", &a->loop))
        return false;
    return int_field(c, "audio", &a->audio) && int_field(c, "spu", &a->spu) &&
           int_field(c, "timeoutMs", &a->timeout_ms) && a->timeout_ms >= 0 && read_strings(c, a, why, size);
}

void cmd_load(const command *c, long long id) {
    load_args a;
    char why[200];
    if (!read_load(c, &a, why, sizeof why)) {
        if (why[0])
            tell_refused(id, why);
        else
            tell_ack(id, false);
        return;
    }
    // The next line replaces this load at once: building a player that would
    // start decoding only to be torn down makes a burst of loads cost
    // seconds and gigabytes. The generation is used all the same.
    if (next_retires()) {
        replace_with_none(generation.load() + 1, true);
        tell_load_ack(id, generation.load());
        return;
    }

    player *p = player_new(generation.load() + 1);
    if (!p) {
        tell_ack(id, false);
        return;
    }
    libvlc_media_t *media = libvlc_media_new_location(p->instance, a.url);
    if (!media) {
        player_discard(p);
        tell_ack(id, false);
        return;
    }
    add_option(media, ":audio-desync=%d", audio_delay_ms);
    // A local file needs little read ahead: with the library's second of it,
    // its decoders wait on pictures already made, and a seek first shows one
    // of them and comes later. At its end the media pauses on its last
    // picture, where a seek can still show it; the end is told from there.
    add_option(media, ":file-caching=%d", FILE_CACHING_MS);
    add_option(media, ":play-and-pause");
    add_option(media, ":demux-filter=" DEMUX_FILTER_MODULE);
    // The library's own Ogg demuxer seeks to the end of a file, which then
    // ends: ffmpeg's lands where asked.
    if (local_ogg(a.url))
        add_option(media, ":demux=avformat,any");
    if (!a.live) {
        if (a.start_ms > 0) {
            add_option(media, ":start-time=%.3f", a.start_ms / 1000.0);
            times_start(p, int64_t(std::fmin(a.start_ms, 9e12)) * 1000);  // the first picture's time
        } else if (a.start_pos > 0)
            p->start_pos = a.start_pos;
    }
    if (a.paused)
        add_option(media, ":start-paused");
    p->host_paused.store(a.paused);
    if (a.audio >= 0)
        add_option(media, ":audio-track-id=%d", a.audio);
    if (a.spu >= 0)
        add_option(media, ":sub-track-id=%d", a.spu);
    // Every request of the load: the first, redirects, segments, ranges.
    if (a.user_agent)
        add_option(media, ":http-user-agent=%s", a.user_agent);
    if (a.referrer)
        add_option(media, ":http-referrer=%s", a.referrer);
    p->hide_spu = a.spu == -1;
    p->loop = a.loop;
    // The previews' own connection asks the server the same way.
    snprintf(p->user_agent, sizeof p->user_agent, "%s", a.user_agent ? a.user_agent : "");
    snprintf(p->referrer, sizeof p->referrer, "%s", a.referrer ? a.referrer : "");
    p->timeout_ms = a.timeout_ms;
    watch_start(p, a.timeout_ms, a.url);
    p->live = a.live;
    libvlc_media_player_set_media(p->mp, media);
    p->media = media;
    meta_attach(p);
    device_apply(p);
    if (a.subtitles)
        subtitles_load(p, a.subtitles, a.spu == NOT_GIVEN);  // the load's track choice outranks the file

    replace_player(p);
    tell_load_ack(id, p->generation);
    if (libvlc_media_player_play(p->mp) != 0)
        report_problem(p, PROBLEM_UNAVAILABLE, nullptr);
}

void cmd_stop(const command *, long long id) {
    if (!cur_loaded()) {
        tell_ack(id, true);
        return;
    }
    // The retired player's own Stopped event arrives after the gate moved, so
    // the host hears of the stop from here, unless the library said it
    // already. Its end state is read as the gate moves: read earlier, a
    // Stopped printed in between would be told twice.
    int ended;
    if (next_retires()) {
        ended = replace_with_none(generation.load() + 1, false);
    } else {
        player *p = player_new(generation.load() + 1);
        if (!p) {
            tell_ack(id, false);
            return;
        }
        ended = replace_player(p);
    }
    tell_ack(id, true);
    if (ended != END_STOPPED)
        tell_stopped();
}

// The current player when it has media, else null.
player *playing() { return cur && cur->media ? cur : nullptr; }

void set_pause(long long id, int pause) {
    player *p = playing();
    // A seek under way carries out the host's wish itself; an ended media
    // stays on its end.
    if (p && !seek_pause(p, pause) && p->end_state.load() == END_NONE)
        library_pause(p, pause);
    // A library paused already for a loop's return tells no pause again.
    if (p)
        report_play_state(p);
    tell_ack(id, p != nullptr);
}

void cmd_play(const command *, long long id) { set_pause(id, 0); }

// Playback speeds the library keeps the sound for, pitch and all.
const double RATE_MIN = 0.25, RATE_MAX = 4.0;

void cmd_rate(const command *c, long long id) {
    player *p = playing();
    double value = 0;
    // A live source has no speed but its own.
    bool ok = p && present(c, "value") && number_in(c, "value", RATE_MIN, RATE_MAX, &value) &&
              p->end_state.load() == END_NONE && !is_live(p) && libvlc_media_player_set_rate(p->mp, float(value)) == 0;
    double was = ok ? p->rate.load() : 0;
    if (ok) {
        times_rate(p, value);
        p->rate.store(value);
    }
    tell_ack(id, ok);
    if (ok && was != value)
        tell_rate(value);
}

void cmd_frame_step(const command *c, long long id) {
    player *p = playing();
    bool back = false;
    // Paused pictures only: playing, the next one comes by itself.
    bool ok = p && bool_in(c, "back", &back) && p->end_state.load() == END_NONE && p->host_paused.load() &&
              p->vouts.load() > 0 && p->seekable.load() && p->length_ms.load() > 0 && seek_step(p, id, back);
    tell_ack(id, ok);
}
void cmd_pause(const command *, long long id) { set_pause(id, 1); }

// which: 0 audio, 1 subtitles. 1 when the library took the track.
int track(const command *c, int which) {
    int32_t t = 0;
    player *p = playing();
    if (!present(c, "track") || !int_field(c, "track", &t) || !p)
        return 0;
    if (which == 0)
        return libvlc_audio_set_track(p->mp, t) == 0;
    p->hide_spu = 0;  // an explicit choice ends a load's "subtitles off"
    return libvlc_video_set_spu(p->mp, t) == 0;
}

void cmd_audio(const command *c, long long id) { tell_ack(id, track(c, 0)); }
void cmd_spu(const command *c, long long id) {
    bool ok = track(c, 1);
    tell_ack(id, ok);
    if (ok)
        subtitles_redraw(playing());
}

void cmd_volume(const command *c, long long id) {
    int32_t level = -1;
    if (!present(c, "level") || !int_field(c, "level", &level) || level < 0 || level > 100) {
        tell_ack(id, false);
        return;
    }
    volume = level;
    apply_sound_settings(cur);
    tell_ack(id, true);
}

void cmd_mute(const command *c, long long id) {
    const entry *v = field(c, "value", KIND_BOOL);
    if (!v) {
        tell_ack(id, false);
        return;
    }
    muted = v->boolean ? 1 : 0;
    apply_sound_settings(cur);
    tell_ack(id, true);
}

void cmd_audio_delay(const command *c, long long id) {
    int32_t ms = 0;
    if (!present(c, "ms") || !int_field(c, "ms", &ms) || ms < -AUDIO_DELAY_MAX_MS || ms > AUDIO_DELAY_MAX_MS) {
        tell_ack(id, false);
        return;
    }
    audio_delay_ms = ms;
    if (player *p = playing(); p && p->started.load())
        libvlc_audio_set_delay(p->mp, int64_t(ms) * 1000);
    tell_ack(id, true);
}

const struct {
    const char *name;
    command_handler handler;
} handlers[] = {
    {"load", cmd_load},
    {"stop", cmd_stop},
    {"play", cmd_play},
    {"pause", cmd_pause},
    {"seek", cmd_seek},
    {"audio", cmd_audio},
    {"spu", cmd_spu},
    {"volume", cmd_volume},
    {"mute", cmd_mute},
    {"audioDelay", cmd_audio_delay},
    {"rate", cmd_rate},
    {"frameStep", cmd_frame_step},
    {"addSubtitles", cmd_add_subtitles},
    {"spuDelay", cmd_spu_delay},
    {"chapter", cmd_chapter},
    {"devices", cmd_devices},
    {"audioDevice", cmd_audio_device},
    {"preview", cmd_preview},
};

}  // namespace

command_handler find_handler(const char *name) {
    for (const auto &h : handlers)
        if (strcmp(h.name, name) == 0)
            return h.handler;
    return nullptr;
}

int line_retires(const command *c, const char *name) {
    load_args a;
    char why[200];
    if (strcmp(name, "load") == 0)
        return read_load(c, &a, why, sizeof why);
    return strcmp(name, "stop") == 0 || strcmp(name, "quit") == 0;
}

int sound_muted() { return muted > 0; }

void library_pause(player *p, int pause) {
    if (pause)
        p->pause_asked_us.store(now_us());
    libvlc_media_player_set_pause(p->mp, pause);
}

void apply_sound_settings(player *p) {
    if (!p)
        return;
    if (volume >= 0)
        libvlc_audio_set_volume(p->mp, volume);
    if (muted >= 0)
        libvlc_audio_set_mute(p->mp, muted);
}
