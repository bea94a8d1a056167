// The command handlers other than quit and seek. Each runs on the control
// thread with no lock held and answers with exactly one ack. Volume, mute and
// audio delay are process-wide and outlive every player.
#include "engine.h"
#include "json.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Process-wide sound settings, control thread only.
int32_t volume = -1;  // 0..100; -1 never set
int32_t muted = -1;   // 0 or 1; -1 never set
int32_t audio_delay_ms = 15;

const int32_t NOT_GIVEN = INT32_MIN;  // no value int_field accepts equals it
// Beyond an hour either way a delay is a mistake: the sound would wait days.
const int32_t AUDIO_DELAY_MAX_MS = 3600000;

void add_option(libvlc_media_t *media, const char *format, ...) __attribute__((format(printf, 2, 3)));
void add_option(libvlc_media_t *media, const char *format, ...) {
    char buf[96];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    libvlc_media_add_option(media, buf);
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

// The fields of a valid load.
struct load_args {
    const char *url;
    bool live, paused;
    double start_ms, start_pos;  // -1 when not given
    int32_t audio, spu;          // NOT_GIVEN when not given
};

// Reads and checks a load's fields; false when the load is refused.
bool read_load(const command *c, load_args *a) {
    const entry *url = field(c, "url", KIND_STRING);
    const entry *live = field(c, "live", KIND_BOOL);
    *a = {nullptr, false, false, -1, -1, NOT_GIVEN, NOT_GIVEN};
    if (!url || !url->string[0] || !live || !number_in(c, "startMs", 0, HUGE_VAL, &a->start_ms) ||
        !number_in(c, "startPos", 0, 1, &a->start_pos))
        return false;
    a->url = url->string;
    a->live = live->boolean;
    if (present(c, "paused")) {
        const entry *e = field(c, "paused", KIND_BOOL);
        if (!e)
            return false;
        a->paused = e->boolean;
    }
    return int_field(c, "audio", &a->audio) && int_field(c, "spu", &a->spu);
}

void ack_load(long long id) {
    emit("{\"type\":\"ack\",\"id\":%lld,\"ok\":true,\"generation\":%llu}", id,
         static_cast<unsigned long long>(cur->generation));
}

void cmd_load(const command *c, long long id) {
    load_args a;
    if (!read_load(c, &a)) {
        ack(id, false);
        return;
    }
    // The next line replaces this load at once: building a player that would
    // start decoding only to be torn down makes a burst of loads cost
    // seconds and gigabytes. The generation is used all the same.
    if (next_retires()) {
        replace_with_stand_in(generation.load() + 1, 1);
        ack_load(id);
        return;
    }

    player *p = player_new(generation.load() + 1);
    if (!p) {
        ack(id, false);
        return;
    }
    libvlc_media_t *media = libvlc_media_new_location(p->instance, a.url);
    if (!media) {
        player_discard(p);
        ack(id, false);
        return;
    }
    add_option(media, ":audio-desync=%d", audio_delay_ms);
    if (!a.live) {
        if (a.start_ms > 0) {
            add_option(media, ":start-time=%.3f", a.start_ms / 1000.0);
            p->clock_base_us = int64_t(std::fmin(a.start_ms, 9e12)) * 1000;  // the first picture's time
        }
        else if (a.start_pos > 0)
            p->start_pos = a.start_pos;
    }
    if (a.paused)
        add_option(media, ":start-paused");
    if (a.audio >= 0)
        add_option(media, ":audio-track-id=%d", a.audio);
    if (a.spu >= 0)
        add_option(media, ":sub-track-id=%d", a.spu);
    p->hide_spu = a.spu == -1;
    libvlc_media_player_set_media(p->mp, media);
    p->media = media;

    replace_player(p);
    ack_load(id);
    if (libvlc_media_player_play(cur->mp) != 0 && !cur->error_told) {
        cur->error_told = 1;
        emit("{\"type\":\"error\",\"problem\":\"unavailable\",\"codec\":null}");
    }
}

void cmd_stop(const command *, long long id) {
    if (!cur_loaded()) {
        ack(id, true);
        return;
    }
    // The retired player's own Stopped event arrives after the gate moved, so
    // the host hears of the stop from here, unless the library said it
    // already. Its end state is read as the gate moves: read earlier, a
    // Stopped printed in between would be told twice.
    int ended;
    if (next_retires()) {
        ended = replace_with_stand_in(generation.load() + 1, 0);
    } else {
        player *p = player_new(generation.load() + 1);
        if (!p) {
            ack(id, false);
            return;
        }
        ended = replace_player(p);
    }
    ack(id, true);
    if (ended != 2)
        emit("{\"type\":\"stopped\"}");
}

void set_pause(long long id, int pause) {
    if (!cur->media) {
        ack(id, false);
        return;
    }
    libvlc_media_player_set_pause(cur->mp, pause);
    ack(id, true);
}

void cmd_play(const command *, long long id) { set_pause(id, 0); }
void cmd_pause(const command *, long long id) { set_pause(id, 1); }

// which: 0 audio, 1 subtitles. 1 when the library took the track.
int track(const command *c, int which) {
    int32_t t = 0;
    if (!present(c, "track") || !int_field(c, "track", &t) || !cur->media)
        return 0;
    if (which == 0)
        return libvlc_audio_set_track(cur->mp, t) == 0;
    cur->hide_spu = 0;  // an explicit choice ends a load's "subtitles off"
    return libvlc_video_set_spu(cur->mp, t) == 0;
}

void cmd_audio(const command *c, long long id) { ack(id, track(c, 0)); }
void cmd_spu(const command *c, long long id) { ack(id, track(c, 1)); }

void cmd_volume(const command *c, long long id) {
    int32_t level = -1;
    if (!present(c, "level") || !int_field(c, "level", &level) || level < 0 || level > 100) {
        ack(id, false);
        return;
    }
    volume = level;
    apply_sound_settings();
    ack(id, true);
}

void cmd_mute(const command *c, long long id) {
    const entry *v = field(c, "value", KIND_BOOL);
    if (!v) {
        ack(id, false);
        return;
    }
    muted = v->boolean ? 1 : 0;
    apply_sound_settings();
    ack(id, true);
}

void cmd_audio_delay(const command *c, long long id) {
    int32_t ms = 0;
    if (!present(c, "ms") || !int_field(c, "ms", &ms) || ms < -AUDIO_DELAY_MAX_MS || ms > AUDIO_DELAY_MAX_MS) {
        ack(id, false);
        return;
    }
    audio_delay_ms = ms;
    if (cur->media && cur->started.load())
        libvlc_audio_set_delay(cur->mp, int64_t(ms) * 1000);
    ack(id, true);
}

const struct {
    const char *name;
    command_handler handler;
} handlers[] = {
    {"load", cmd_load},   {"stop", cmd_stop},   {"play", cmd_play},
    {"pause", cmd_pause}, {"seek", cmd_seek},   {"audio", cmd_audio},
    {"spu", cmd_spu},     {"volume", cmd_volume}, {"mute", cmd_mute},
    {"audioDelay", cmd_audio_delay},
};

}  // namespace

command_handler find_handler(const char *name) {
    for (const auto &h : handlers)
        if (strcmp(h.name, name) == 0)
            return h.handler;
    return nullptr;
}

void ack(long long id, bool ok) {
    emit("{\"type\":\"ack\",\"id\":%lld,\"ok\":%s}", id, ok ? "true" : "false");
}

int line_retires(const command *c, const char *name) {
    load_args a;
    if (strcmp(name, "load") == 0)
        return read_load(c, &a);
    return strcmp(name, "stop") == 0 || strcmp(name, "quit") == 0;
}

void apply_sound_settings() {
    if (!cur->mp)
        return;  // the stand-in has no library objects
    if (volume >= 0)
        libvlc_audio_set_volume(cur->mp, volume);
    if (muted >= 0)
        libvlc_audio_set_mute(cur->mp, muted);
}
