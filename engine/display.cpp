// The engine's display module for libvlc, a plugin of its own: it takes the
// decoder's pictures as they are and hands them to the engine's video
// callbacks as the library's memory output does, telling with each whether it
// is a new picture or one shown again, and its date. Pictures the engine
// takes as they come (I420 at their own size) are decoded straight into its
// buffers; the others are converted into them here, once per new picture.
// Subtitles are drawn here too. The library's video output thread calls it.
// Its demuxer filter moves where a precise seek's demuxer starts.
#include <vlc_common.h>
#include <vlc_demux.h>
#include <vlc_es_out.h>
#include <vlc_filter.h>
#include <vlc_picture_pool.h>
#include <vlc_plugin.h>
#include <vlc_subpicture.h>
#include <vlc_vout_display.h>

#include "display.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

namespace {

using lock_fn = void *(*)(void *, void **);
using unlock_fn = void (*)(void *, void *, void *const *);
using display_fn = void (*)(void *, void *);
using setup_fn = unsigned (*)(void **, char *, unsigned *, unsigned *, unsigned *, unsigned *);
using cleanup_fn = void (*)(void *);

// The engine's pictures are at most this many at once; the library asks for
// as many buffers as its decoder keeps, 32 for H.264, and decodes into the
// display's own only when it gets them all.
const unsigned POOL_MAX_PICTURES = 56;

// Chromas of subtitle regions the module can draw: the library converts
// regions into one of them.
const vlc_fourcc_t SUBPICTURE_CHROMAS[] = {VLC_CODEC_RGBA, VLC_CODEC_YUVA, VLC_CODEC_YUVP, 0};

}  // namespace

struct vout_display_sys_t {
    display_link *link;
    void *opaque;  // as the format callback left it
    lock_fn lock;
    unlock_fn unlock;
    display_fn display;
    cleanup_fn cleanup;
    bool direct;                    // the decoder writes into the engine's buffers
    unsigned pitches[3], lines[3];  // the engine's buffers' planes
    video_format_t out;             // the engine's pictures, when converted
    picture_pool_t *pool;
    filter_chain_t *convert;  // into the engine's pictures, when converted
    picture_t *target;        // the engine's picture the converter writes into
    filter_t *blend;          // subtitles, made at the first
    bool blend_failed;
    picture_t *scratch;  // a copy to draw subtitles into before converting
    picture_t *last;     // the last new picture, held: its address is not reused
    picture_t *shown;    // the engine's picture that shows it, held while shown
    void *shown_id;      // ... its identifier for the engine's callbacks
    uint64_t subtitles;  // what is drawn into it; 0 nothing
    uint32_t flags;      // SHOWN_* of the picture prepared for display
    uint32_t seeks;      // ... the link's seeks then
};

// The engine's identifier of a picture of the module, in its p_sys.
// The library hands a pooled picture from the decoder that locks it to the
// thread that releases it through reference counts of its own: the
// identifier is published with it.
struct picture_sys_t {
    vout_display_sys_t *sys;
    std::atomic<void *> id;
};

namespace {

// A pooled picture of the direct pool takes an engine buffer as it is handed
// to the decoder, and gives it back when the library is done with it.
int lock_pooled(picture_t *pic) {
    picture_sys_t *ps = pic->p_sys;
    void *planes[PICTURE_PLANE_MAX] = {};
    void *id = ps->sys->lock(ps->sys->opaque, planes);
    if (!id)
        return VLC_EGENERIC;
    for (int i = 0; i < pic->i_planes; i++)
        pic->p[i].p_pixels = static_cast<uint8_t *>(planes[i]);
    ps->id.store(id, std::memory_order_release);
    return VLC_SUCCESS;
}

void unlock_pooled(picture_t *pic) {
    picture_sys_t *ps = pic->p_sys;
    void *id = ps->id.exchange(nullptr, std::memory_order_acq_rel);
    void *planes[PICTURE_PLANE_MAX] = {};
    for (int i = 0; i < pic->i_planes; i++)
        planes[i] = pic->p[i].p_pixels;
    if (id && ps->sys->unlock)
        ps->sys->unlock(ps->sys->opaque, id, planes);
}

// A picture's own destructor frees the picture too: the library leaves that
// to whoever replaces its default one.
void free_sys(picture_t *pic) {
    delete pic->p_sys;
    free(pic);
}

// An engine picture wrapped as the library's: its buffer is locked until the
// wrapper is released. Null when the engine has none.
void release_engine_picture(picture_t *pic) {
    unlock_pooled(pic);
    delete pic->p_sys;
    free(pic);
}

picture_t *engine_picture(vout_display_t *vd, const video_format_t *fmt) {
    vout_display_sys_t *sys = vd->sys;
    auto *ps = new (std::nothrow) picture_sys_t{sys, nullptr};
    if (!ps)
        return nullptr;
    void *planes[PICTURE_PLANE_MAX] = {};
    ps->id.store(sys->lock(sys->opaque, planes));
    if (!ps->id.load()) {
        delete ps;
        return nullptr;
    }
    picture_resource_t rsc = {};
    rsc.p_sys = ps;
    rsc.pf_destroy = release_engine_picture;
    for (int i = 0; i < 3; i++) {
        rsc.p[i].p_pixels = static_cast<uint8_t *>(planes[i]);
        rsc.p[i].i_lines = int(sys->lines[i]);
        rsc.p[i].i_pitch = int(sys->pitches[i]);
    }
    picture_t *pic = picture_NewFromResource(fmt, &rsc);
    if (!pic) {
        void *const *none = planes;
        sys->unlock(sys->opaque, ps->id.load(), none);
        delete ps;
    }
    return pic;
}

picture_pool_t *pool_of(vout_display_t *vd, unsigned count) {
    vout_display_sys_t *sys = vd->sys;
    if (sys->pool)
        return sys->pool;
    count = count < POOL_MAX_PICTURES ? count : POOL_MAX_PICTURES;
    if (!sys->direct) {
        sys->pool = picture_pool_NewFromFormat(&vd->fmt, count);
        return sys->pool;
    }
    picture_t *pictures[POOL_MAX_PICTURES];
    unsigned made = 0;
    for (; made < count; made++) {
        auto *ps = new (std::nothrow) picture_sys_t{sys, nullptr};
        if (!ps)
            break;
        picture_resource_t rsc = {};
        rsc.p_sys = ps;
        rsc.pf_destroy = free_sys;
        for (int i = 0; i < 3; i++) {
            rsc.p[i].i_lines = int(sys->lines[i]);
            rsc.p[i].i_pitch = int(sys->pitches[i]);
        }
        pictures[made] = picture_NewFromResource(&vd->fmt, &rsc);
        if (!pictures[made]) {
            delete ps;
            break;
        }
    }
    picture_pool_configuration_t cfg = {};
    cfg.picture_count = made;
    cfg.picture = pictures;
    cfg.lock = lock_pooled;
    cfg.unlock = unlock_pooled;
    sys->pool = made ? picture_pool_NewExtended(&cfg) : nullptr;
    if (!sys->pool)
        for (unsigned i = 0; i < made; i++)
            picture_Release(pictures[i]);
    return sys->pool;
}

// What the subtitles drawn into a picture look like, as a number: their
// regions' places, shapes and pixels. 0 for none.
uint64_t subtitles_of(const subpicture_t *sub) {
    uint64_t h = 0xcbf29ce484222325u;
    auto mix = [&h](const void *data, size_t n) {
        for (size_t i = 0; i < n; i++)
            h = (h ^ static_cast<const uint8_t *>(data)[i]) * 0x100000001b3u;
    };
    bool any = false;
    for (const subpicture_region_t *r = sub ? sub->p_region : nullptr; r; r = r->p_next) {
        if (!r->p_picture)
            continue;
        any = true;
        int place[] = {r->i_x,
                       r->i_y,
                       r->i_alpha,
                       sub->i_alpha,
                       int(r->fmt.i_chroma),
                       int(r->fmt.i_visible_width),
                       int(r->fmt.i_visible_height)};
        mix(place, sizeof place);
        const picture_t *pic = r->p_picture;
        for (int i = 0; i < pic->i_planes; i++)
            for (int row = 0; row < pic->p[i].i_visible_lines; row++)
                mix(pic->p[i].p_pixels + size_t(row) * size_t(pic->p[i].i_pitch), size_t(pic->p[i].i_visible_pitch));
    }
    return any ? (h ? h : 1) : 0;
}

// Draws sub into pic; false when the library has no way to draw into it.
bool draw_subtitles(vout_display_t *vd, picture_t *pic, subpicture_t *sub) {
    vout_display_sys_t *sys = vd->sys;
    if (!sys->blend && !sys->blend_failed) {
        sys->blend = filter_NewBlend(VLC_OBJECT(vd), &vd->fmt);
        sys->blend_failed = !sys->blend;
        if (!sys->blend)
            msg_Warn(vd, "subtitles cannot be drawn into %4.4s pictures",
                     reinterpret_cast<const char *>(&vd->fmt.i_chroma));
    }
    return sys->blend && picture_BlendSubpicture(pic, sys->blend, sub) > 0;
}

// The converter's output: the engine picture it is to fill.
picture_t *converter_buffer(filter_t *filter) {
    auto *vd = static_cast<vout_display_t *>(filter->owner.sys);
    return vd->sys->target ? picture_Hold(vd->sys->target) : nullptr;
}

// The engine picture that shows pic with sub drawn into it: the decoder's own
// buffer when it is the engine's and nothing is drawn, else a fresh one.
// Null when none could be had.
picture_t *render(vout_display_t *vd, picture_t *pic, subpicture_t *sub) {
    vout_display_sys_t *sys = vd->sys;
    if (sys->direct && !sub)
        return picture_Hold(pic);
    picture_t *source = pic;
    if (sub) {
        if (sys->direct) {
            picture_t *copy = engine_picture(vd, &vd->fmt);
            if (copy) {
                picture_CopyPixels(copy, pic);
                draw_subtitles(vd, copy, sub);
            }
            return copy;
        }
        if (!sys->scratch)
            sys->scratch = picture_NewFromFormat(&vd->fmt);
        if (sys->scratch) {
            picture_CopyPixels(sys->scratch, pic);
            if (draw_subtitles(vd, sys->scratch, sub))
                source = sys->scratch;
        }
    }
    sys->target = engine_picture(vd, &sys->out);
    if (!sys->target)
        return nullptr;
    picture_t *out = filter_chain_VideoFilter(sys->convert, picture_Hold(source));
    if (out)
        picture_Release(out);  // the engine's picture, held below as target
    picture_t *done = sys->target;
    sys->target = nullptr;
    if (out != done) {
        picture_Release(done);
        return nullptr;
    }
    return done;
}

void prepare(vout_display_t *vd, picture_t *pic, subpicture_t *sub) {
    vout_display_sys_t *sys = vd->sys;
    uint64_t subtitles = subtitles_of(sub);
    bool fresh = pic != sys->last, redrawn = !fresh && subtitles != sys->subtitles;
    sys->flags = (fresh ? uint32_t(SHOWN_NEW) : 0u) | (pic->b_force ? uint32_t(SHOWN_FORCED) : 0u) |
                 (redrawn ? uint32_t(SHOWN_REDRAWN) : 0u) | (subtitles ? uint32_t(SHOWN_SUBTITLE) : 0u);
    sys->seeks = sys->link->seeks.load();
    if (!fresh && !redrawn)
        return;
    if (fresh) {
        if (sys->last)
            picture_Release(sys->last);
        sys->last = picture_Hold(pic);
    }
    picture_t *shown = render(vd, pic, subtitles ? sub : nullptr);
    if (sys->shown)
        picture_Release(sys->shown);
    sys->shown = shown;
    sys->shown_id = shown ? shown->p_sys->id.load() : nullptr;
    sys->subtitles = subtitles;
}

void display(vout_display_t *vd, picture_t *pic, subpicture_t *sub) {
    vout_display_sys_t *sys = vd->sys;
    if (sys->shown_id && sys->display) {
        sys->link->shown.flags = sys->flags;
        sys->link->shown.seeks = sys->seeks;
        sys->link->shown.date_us = pic->date > VLC_TS_INVALID ? pic->date : 0;
        sys->display(sys->opaque, sys->shown_id);
    }
    picture_Release(pic);
    if (sub)
        subpicture_Delete(sub);
}

int control(vout_display_t *, int query, va_list) {
    // Whatever the library would show around the picture is no concern of a
    // display that only hands pictures on; new buffers mid-stream it has not.
    return query == VOUT_DISPLAY_RESET_PICTURES ? VLC_EGENERIC : VLC_SUCCESS;
}

// A chroma whose pictures have pixels: not a hardware surface.
bool has_pixels(vlc_fourcc_t chroma) {
    const vlc_chroma_description_t *d = vlc_fourcc_GetChromaDescription(chroma);
    return d && d->plane_count > 0 && d->pixel_size > 0;
}

void close_display(vlc_object_t *object);

int open_display(vlc_object_t *object) {
    auto *vd = reinterpret_cast<vout_display_t *>(object);
    if (!has_pixels(vd->fmt.i_chroma))
        return VLC_EGENERIC;  // the decoder falls back to pictures in memory
    auto *link = static_cast<display_link *>(var_InheritAddress(vd, "vmem-data"));
    auto setup = reinterpret_cast<setup_fn>(var_InheritAddress(vd, "vmem-setup"));
    if (!link || link->magic != DISPLAY_LINK_MAGIC || link->version != DISPLAY_LINK_VERSION || !setup) {
        msg_Err(vd, "not an engine's player: no display link");
        return VLC_EGENERIC;
    }
    int free_link = 0;
    if (!link->held.compare_exchange_strong(free_link, 1)) {
        msg_Err(vd, "the player's display link is in use");
        return VLC_EGENERIC;
    }
    auto *sys = new (std::nothrow) vout_display_sys_t{};
    if (!sys) {
        link->held.store(0);
        return VLC_ENOMEM;
    }
    vd->sys = sys;
    sys->link = link;
    sys->opaque = link;
    sys->lock = reinterpret_cast<lock_fn>(var_InheritAddress(vd, "vmem-lock"));
    sys->unlock = reinterpret_cast<unlock_fn>(var_InheritAddress(vd, "vmem-unlock"));
    sys->display = reinterpret_cast<display_fn>(var_InheritAddress(vd, "vmem-display"));
    sys->cleanup = reinterpret_cast<cleanup_fn>(var_InheritAddress(vd, "vmem-cleanup"));

    const video_format_t &in = vd->fmt;
    display_source &src = link->source;
    memcpy(src.chroma, &in.i_chroma, 4);
    src.chroma[4] = 0;
    src.width = in.i_width;
    src.height = in.i_height;
    src.x = in.i_x_offset;
    src.y = in.i_y_offset;
    src.visible_width = in.i_visible_width;
    src.visible_height = in.i_visible_height;
    src.sar_num = vd->source.i_sar_num ? vd->source.i_sar_num : 1;
    src.sar_den = vd->source.i_sar_num && vd->source.i_sar_den ? vd->source.i_sar_den : 1;
    src.rate_num = vd->source.i_frame_rate_base ? vd->source.i_frame_rate : 0;
    src.rate_den = vd->source.i_frame_rate ? vd->source.i_frame_rate_base : 0;
    link->format = {};
    link->asking = 1;  // the format callback answers the module alone
    char chroma[5];
    memcpy(chroma, src.chroma, 5);
    unsigned w = in.i_visible_width, h = in.i_visible_height, pitches[3] = {}, lines[3] = {};
    unsigned count = sys->lock ? setup(&sys->opaque, chroma, &w, &h, pitches, lines) : 0;
    link->asking = 0;
    if (!count) {
        msg_Err(vd, "the engine took no pictures of %4.4s %ux%u", src.chroma, in.i_visible_width, in.i_visible_height);
        close_display(object);
        return VLC_EGENERIC;
    }
    sys->direct = link->format.direct != 0;
    if (sys->direct) {
        memcpy(sys->pitches, link->format.pitches, sizeof sys->pitches);
        memcpy(sys->lines, link->format.lines, sizeof sys->lines);
    } else {
        memcpy(sys->pitches, pitches, sizeof sys->pitches);
        memcpy(sys->lines, lines, sizeof sys->lines);
        video_format_Init(&sys->out, vlc_fourcc_GetCodecFromString(VIDEO_ES, chroma));
        sys->out.i_width = sys->out.i_visible_width = w;
        sys->out.i_height = sys->out.i_visible_height = h;
        sys->out.i_sar_num = sys->out.i_sar_den = 1;
        if (sys->out.i_chroma == VLC_CODEC_RGB32) {
            // Blue, green, red, then a byte of nothing, in memory.
            sys->out.i_rmask = 0x00ff0000;
            sys->out.i_gmask = 0x0000ff00;
            sys->out.i_bmask = 0x000000ff;
            video_format_FixRgb(&sys->out);
        }
        filter_owner_t owner = {};
        owner.sys = vd;
        owner.video.buffer_new = converter_buffer;
        es_format_t from, to;
        es_format_InitFromVideo(&from, &in);
        es_format_InitFromVideo(&to, &sys->out);
        sys->convert = filter_chain_NewVideo(vd, false, &owner);
        if (sys->convert)
            filter_chain_Reset(sys->convert, &from, &to);
        bool made = sys->convert && filter_chain_AppendConverter(sys->convert, &from, &to) == 0;
        es_format_Clean(&from);
        es_format_Clean(&to);
        if (!made) {
            msg_Err(vd, "no conversion from %4.4s to %4.4s", src.chroma, chroma);
            close_display(object);
            return VLC_EGENERIC;
        }
    }
    vd->info.subpicture_chromas = SUBPICTURE_CHROMAS;
    vd->pool = pool_of;
    vd->prepare = prepare;
    vd->display = display;
    vd->control = control;
    vout_display_SendEventDisplaySize(vd, in.i_visible_width, in.i_visible_height);
    return VLC_SUCCESS;
}

void close_display(vlc_object_t *object) {
    auto *vd = reinterpret_cast<vout_display_t *>(object);
    vout_display_sys_t *sys = vd->sys;
    for (picture_t *pic : {sys->last, sys->shown, sys->scratch})
        if (pic)
            picture_Release(pic);
    if (sys->convert)
        filter_chain_Delete(sys->convert);
    if (sys->blend)
        filter_DeleteBlend(sys->blend);
    if (sys->pool)
        picture_pool_Release(sys->pool);
    if (sys->cleanup)
        sys->cleanup(sys->opaque);
    sys->link->held.store(0);
    delete sys;
}

}  // namespace

// The demuxer filter. A demuxer asked for a time starts at the key frame
// before it by decoding time, and with B-frames that key frame may show after
// the time (the MP4 demuxer's last pictures of a key-frame interval). Asked
// again from just before it, the demuxer takes the key frame before, and the
// pictures up to the time are decoded and not shown, as the demuxer's own
// preroll would: the library shows the time at once, with no second seek.
struct demux_sys_t {
    display_link *link;
};

namespace {

int filter_demux(demux_t *d) { return demux_Demux(d->p_next); }

// A demuxer that keeps its title and chapter in its info, as the core reads
// them where a demuxer does not answer.
int info_query(demux_t *d, int query, va_list args) {
    va_list copy;
    va_copy(copy, args);
    void *out = va_arg(copy, void *);
    va_end(copy);
    if (demux_vaControl(d->p_next, query, args) == VLC_SUCCESS)
        return VLC_SUCCESS;
    auto &info = d->p_next->info;
    if (query == DEMUX_TEST_AND_CLEAR_FLAGS) {
        auto *flags = static_cast<unsigned *>(out);
        *flags &= info.i_update;
        info.i_update &= ~*flags;
    } else {
        *static_cast<int *>(out) = query == DEMUX_GET_TITLE ? info.i_title : info.i_seekpoint;
    }
    return VLC_SUCCESS;
}

// A stand-in for the demuxer's output while it is asked for a time: catches
// where it says the pictures are to show from (MPEG-TS: its first clock
// reference on), and hands all else on.
struct catcher {
    es_out_t out;  // first: the demuxer's output points here
    es_out_t *real;
    int64_t display;  // -1 unsaid
};

catcher *catcher_of(es_out_t *out) { return reinterpret_cast<catcher *>(out); }
es_out_id_t *catch_add(es_out_t *out, const es_format_t *format) {
    es_out_t *real = catcher_of(out)->real;
    return real->pf_add(real, format);
}
int catch_send(es_out_t *out, es_out_id_t *id, block_t *block) {
    es_out_t *real = catcher_of(out)->real;
    return real->pf_send(real, id, block);
}
void catch_del(es_out_t *out, es_out_id_t *id) {
    es_out_t *real = catcher_of(out)->real;
    real->pf_del(real, id);
}
int catch_control(es_out_t *out, int query, va_list args) {
    catcher *c = catcher_of(out);
    if (query == ES_OUT_SET_NEXT_DISPLAY_TIME) {
        va_list copy;
        va_copy(copy, args);
        c->display = va_arg(copy, int64_t);
        va_end(copy);
    }
    return c->real->pf_control(c->real, query, args);
}
void catch_destroy(es_out_t *) {}

// Asks the upstream demuxer for time; *display: where it said the pictures
// show from, -1 unsaid.
int ask_time(demux_t *d, int64_t time, int64_t *display) {
    catcher c{{catch_add, catch_send, catch_del, catch_control, catch_destroy, nullptr}, d->p_next->out, -1};
    d->p_next->out = &c.out;
    int result = demux_Control(d->p_next, DEMUX_SET_TIME, time, true);
    d->p_next->out = c.real;
    *display = c.display;
    return result;
}

// The demuxer asked from back before time, or from its start, and the
// pictures shown from time, by the display time the demuxer gives its own
// ask; false when it gives none, as then nothing is asked of it.
bool ask_from_before(demux_t *d, int64_t time, int64_t back) {
    int64_t from = std::max<int64_t>(time - back, 0), display = -1;
    if (ask_time(d, from, &display) != VLC_SUCCESS || display < 0)
        return false;
    // A demuxer asked for a time starts at the next key frame, which from its
    // first time may be past the media's first: its start is asked by position.
    if (from == 0 && demux_Control(d->p_next, DEMUX_SET_POSITION, 0.0, true) != VLC_SUCCESS)
        return false;
    es_out_Control(d->p_next->out, ES_OUT_SET_NEXT_DISPLAY_TIME, display + (time - from));
    return true;
}

int filter_control(demux_t *d, int query, va_list args) {
    if (query == DEMUX_TEST_AND_CLEAR_FLAGS || query == DEMUX_GET_TITLE || query == DEMUX_GET_SEEKPOINT)
        return info_query(d, query, args);
    if (query == DEMUX_SET_TIME || query == DEMUX_SET_POSITION)
        d->p_sys->link->seeks.fetch_add(1);  // the decoders were told to flush just before
    if (query != DEMUX_SET_TIME)
        return demux_vaControl(d->p_next, query, args);
    va_list copy;
    va_copy(copy, args);
    int64_t time = va_arg(copy, int64_t);
    bool precise = va_arg(copy, int) != 0;
    va_end(copy);
    display_link *link = d->p_sys->link;
    link->seek_moved_us.store(0);
    // Only the seek the engine asked for, once: the library's own (a loop's,
    // a subtitle file's) go where they are asked.
    bool asked = precise && link->seek_at_us.load() == time;
    int64_t delay = asked ? link->seek_delay_us.exchange(0) : 0, back = asked ? link->seek_back_us.exchange(0) : 0;
    if (back > 0 && ask_from_before(d, time, back))
        return VLC_SUCCESS;
    int result = demux_vaControl(d->p_next, query, args);
    int64_t start = 0;
    if (result != VLC_SUCCESS || delay <= 0 || demux_Control(d->p_next, DEMUX_GET_TIME, &start) != VLC_SUCCESS ||
        start <= 0 || start + delay <= time)
        return result;
    msg_Dbg(d, "the key frame at %" PRId64 " shows past %" PRId64 ": from the one before", start, time);
    link->seek_moved_us.store(time - (start - 1));
    if (demux_Control(d->p_next, DEMUX_SET_TIME, start - 1, true) != VLC_SUCCESS) {
        link->seek_moved_us.store(0);
        return demux_Control(d->p_next, DEMUX_SET_TIME, time, true);
    }
    es_out_Control(d->p_next->out, ES_OUT_SET_NEXT_DISPLAY_TIME, time);
    return VLC_SUCCESS;
}

int open_filter(vlc_object_t *object) {
    auto *d = reinterpret_cast<demux_t *>(object);
    auto *link = static_cast<display_link *>(var_InheritAddress(d, "vmem-data"));
    if (!link || link->magic != DISPLAY_LINK_MAGIC || link->version != DISPLAY_LINK_VERSION)
        return VLC_EGENERIC;  // not an engine's player: the demuxer goes unfiltered
    d->p_sys = new (std::nothrow) demux_sys_t{link};
    if (!d->p_sys)
        return VLC_ENOMEM;
    d->pf_demux = filter_demux;
    d->pf_control = filter_control;
    link->filters.fetch_add(1);
    return VLC_SUCCESS;
}

void close_filter(vlc_object_t *object) {
    auto *d = reinterpret_cast<demux_t *>(object);
    d->p_sys->link->filters.fetch_sub(1);
    delete d->p_sys;
}

}  // namespace

// libvlc asks for the memory output ("vmem") by name for every player that
// has video callbacks: the module answers to that name too, ahead of the
// library's own.
vlc_module_begin() set_shortname("vexolo") set_description("vexolo-engine's picture hand-over") set_category(CAT_VIDEO)
    set_subcategory(SUBCAT_VIDEO_VOUT) set_capability("vout display", 10) add_shortcut("vexolo", "vmem")
        add_integer(DISPLAY_LINK_OPTION, DISPLAY_LINK_VERSION, "hand-over version", "the engine's hand-over", false)
            set_callbacks(open_display, close_display)
    // Only where a media names it.
    add_submodule() set_shortname(DEMUX_FILTER_MODULE) set_description("vexolo-engine's seek from before the key frame")
        set_category(CAT_INPUT) set_subcategory(SUBCAT_INPUT_DEMUX) set_capability("demux_filter", 0)
            add_shortcut(DEMUX_FILTER_MODULE) set_callbacks(open_filter, close_filter) vlc_module_end()
