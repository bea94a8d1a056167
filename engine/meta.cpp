// What the media says about itself: its title, artist and the like, a
// radio's current song, the cover art the library found. The media's event
// comes on the library's threads and only raises PEND_META; the control loop
// reads the members and tells them whole whenever one changed, with the
// chapters beside them.
#include "engine.h"
#include "failures.h"
#include "json.h"

#include <cstdlib>
#include <cstring>

namespace {

const libvlc_meta_t LIBRARY_META[META_MEMBERS] = {
    libvlc_meta_Title,       libvlc_meta_Artist,      libvlc_meta_Album,      libvlc_meta_Genre,      libvlc_meta_Date,
    libvlc_meta_TrackNumber, libvlc_meta_Description, libvlc_meta_NowPlaying, libvlc_meta_ArtworkURL,
};

void on_media_event(const libvlc_event_t *, void *opaque) noexcept {
    player *p = static_cast<player *>(opaque);
    std::lock_guard<ordered_mutex> gate(gate_lock);
    if (p->generation == generation.load() && !p->silenced.load())
        raise_pending(p, PEND_META);
}

}  // namespace

void meta_attach(player *p) {
    // Before the media is read, its title is the name the library makes of
    // its location: the media's own title is told only where it has one.
    char *named = libvlc_media_get_meta(p->media, libvlc_meta_Title);
    p->named_title = named ? text_hash(named) : 0;
    free(named);
    libvlc_event_attach(libvlc_media_event_manager(p->media), libvlc_MediaMetaChanged, on_media_event, p);
}

void report_meta(player *p) {
    if (!p->media)
        return;
    char *values[META_MEMBERS];
    for (int m = 0; m < META_MEMBERS; m++)
        values[m] = libvlc_media_get_meta(p->media, LIBRARY_META[m]);
    if (values[META_TITLE] && text_hash(values[META_TITLE]) == p->named_title) {
        free(values[META_TITLE]);
        values[META_TITLE] = nullptr;
    }
    // The cover's location may carry a password, as a load's may; one inside
    // the media is the library's alone, until it saved the picture.
    char artwork[META_VALUE_BYTES + 1];
    if (const char *art = values[META_ARTWORK_URL]) {
        bool inside = strncmp(art, "attachment://", strlen("attachment://")) == 0;
        mask_secrets(art, strlen(art), artwork, sizeof artwork);
        free(values[META_ARTWORK_URL]);
        values[META_ARTWORK_URL] = inside ? nullptr : strdup(artwork);
    }
    {
        // Told before the end, never after it, nor of a source the load must not read.
        std::lock_guard<ordered_mutex> gate(gate_lock);
        if (p->generation == generation.load() && !p->silenced.load() &&
            (p->end_state.load() == END_NONE || p->end_held.load()))
            tell_meta(values, &p->meta_hash);
    }
    for (char *v : values)
        free(v);
    report_chapters(p);
}
