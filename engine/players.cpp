// Making, installing and reaping players. The control thread makes and
// installs them; the reaper threads stop and release retired ones so that a
// load never waits for the library to tear the old one down.
#include "engine.h"
#include "frames.h"
#include "instance.h"

#include <cstdlib>
#include <malloc.h>
#include <pthread.h>

player *cur;
std::atomic<uint64_t> generation{0};
ordered_mutex gate_lock{RANK_GATE};  // held across a generation switch and every event handler

namespace {

// Players retired and not yet released, at most: each holds its decoders'
// memory and threads until the reaper is done with it.
const int REAP_MAX = 8;

// The reap queue, first in first out, linked through reap_next.
ordered_mutex reap_lock{RANK_REAP};
// Never destroyed: the reaper may still wait on them when the process exits.
std::condition_variable_any &reap_wake = *new std::condition_variable_any;
std::condition_variable_any &reap_done = *new std::condition_variable_any;  // a player was released
player *reap_head;                                                          // reap_lock
player *reap_tail;                                                          // reap_lock
int reap_count;                                                             // reap_lock: queued or being released

// With no player: whether the generation stands for a loaded media.
// Control thread only.
bool none_loaded;

const libvlc_event_type_t PLAYER_EVENTS[] = {
    libvlc_MediaPlayerOpening,
    libvlc_MediaPlayerBuffering,
    libvlc_MediaPlayerPlaying,
    libvlc_MediaPlayerPaused,
    libvlc_MediaPlayerStopped,
    libvlc_MediaPlayerEndReached,
    libvlc_MediaPlayerEncounteredError,
    libvlc_MediaPlayerTimeChanged,
    libvlc_MediaPlayerPositionChanged,
    libvlc_MediaPlayerSeekableChanged,
    libvlc_MediaPlayerPausableChanged,
    libvlc_MediaPlayerLengthChanged,
    libvlc_MediaPlayerVout,
    libvlc_MediaPlayerESAdded,
    libvlc_MediaPlayerESDeleted,
    libvlc_MediaPlayerESSelected,
    libvlc_MediaPlayerAudioDevice,
};

}  // namespace

player *player_new(uint64_t n, bool previews) {
    player *p = new (std::nothrow) player{};
    if (!p)
        return nullptr;
    p->previews = previews;  // before the library's first line
    p->instance = libvlc_new(sizeof INSTANCE_ARGS / sizeof INSTANCE_ARGS[0], INSTANCE_ARGS);
    if (!p->instance) {
        delete p;
        return nullptr;
    }
    p->start_pos = -1.0;
    p->last_time_ms = INT64_MIN;
    p->generation = n;
    p->sound_state = -1;
    p->rate.store(1.0);
    // Before the media player exists: it opens the audio output at once, and
    // those lines must reach on_log rather than the library's default
    // logger on standard error.
    libvlc_log_set(p->instance, on_log, p);
    p->mp = libvlc_media_player_new(p->instance);
    if (!p->mp) {
        libvlc_release(p->instance);
        delete p;
        return nullptr;
    }
    video_attach(p);
    libvlc_event_manager_t *events = libvlc_media_player_event_manager(p->mp);
    for (libvlc_event_type_t type : PLAYER_EVENTS)
        libvlc_event_attach(events, type, on_event, p);
    return p;
}

void player_discard(player *p) {
    sound_stop(p);
    libvlc_media_player_stop(p->mp);
    libvlc_media_player_release(p->mp);
    if (p->media)
        libvlc_media_release(p->media);
    pictures_free(&p->pictures);
    // The instance goes before the record: until then the library may
    // still call this player's callbacks, which write into it.
    libvlc_release(p->instance);
    delete p;
}

namespace {

// Installs p (null: no player) with generation n; see replace_player.
int install(player *p, uint64_t n) {
    player *old = cur;
    int ended = END_NONE;
    {
        // From here on no event, format report or picture of the old player
        // is passed on, and any of its handlers that was running has ended,
        // so its end state as read here is the last one the host was told.
        std::lock_guard<ordered_mutex> gate(gate_lock);
        generation.exchange(n);
        frames_generation(n);
        logs_switched();
        if (old)
            ended = old->end_state.load();
    }
    cur = p;
    if (!old || old == p)
        return ended;
    preview_close(old);
    player_retire(old);
    return ended;
}

}  // namespace

void player_retire(player *old) {
    if (old->media) {
        // Silent and idle from now on: a retired player that went on
        // decoding until the reaper got to it would starve the reaper and
        // every player after it. Pausing never waits for the library's
        // threads (media that cannot pause are stopped without waiting).
        libvlc_audio_set_mute(old->mp, 1);
        libvlc_media_player_set_pause(old->mp, 1);
    }
    std::unique_lock<ordered_mutex> hold(reap_lock);
    // Loads faster than the reaper wait for it here rather than pile up.
    reap_done.wait(hold, [] { return reap_count < REAP_MAX; });
    old->reap_next = nullptr;
    if (reap_tail)
        reap_tail->reap_next = old;
    else
        reap_head = old;
    reap_tail = old;
    reap_count++;
    reap_wake.notify_one();
}

int replace_player(player *p) { return install(p, p->generation); }

int replace_with_none(uint64_t n, bool loaded) {
    none_loaded = loaded;
    return install(nullptr, n);
}

bool cur_loaded() { return cur ? cur->media != nullptr : none_loaded; }

void reaper_thread() {
    pthread_setname_np(pthread_self(), "vx-reaper");
    for (;;) {
        player *p;
        {
            std::unique_lock<ordered_mutex> hold(reap_lock);
            reap_wake.wait(hold, [] { return reap_head != nullptr; });
            p = reap_head;
            reap_head = p->reap_next;
            if (!reap_head)
                reap_tail = nullptr;
        }
        player_discard(p);
        bool drained;
        {
            std::lock_guard<ordered_mutex> hold(reap_lock);
            drained = --reap_count == 0;
            reap_done.notify_one();
        }
        // A player's decoders leave megabytes of freed memory in the
        // allocator's arenas; hand it back to the system once all are gone.
        if (drained)
            malloc_trim(0);
    }
}

int reap_backlog() {
    std::lock_guard<ordered_mutex> hold(reap_lock);
    return reap_count;
}
