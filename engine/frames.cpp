// Picture pools of all players and the frame pipe on fd 3. libvlc's video
// threads lock, unlock and show pictures, the reaper frees pools, the main
// thread starts the pipe and moves its generation, the writer thread sends.
#include "frames.h"
#include "locks.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

ordered_mutex pool_lock{RANK_POOL};  // every pool and picture flag, and all state below
// With pool_lock: a picture was queued. Never destroyed, since destroying it
// at exit would wait forever for the writer sleeping on it.
std::condition_variable_any &queue_wake = *new std::condition_variable_any;
int frames_on_pipe;           // set by frames_start before any other thread
uint64_t current_generation;  // pool_lock; frames_generation
uint64_t frame_seq;           // pool_lock; next seq written, for the life of the process
picture *queue[FRAME_QUEUE];  // pool_lock; ring of pictures for the writer
int qhead, qlen;              // pool_lock

// Previews' frames: copies of their pictures at the asked width, written
// only when the playback's queue is empty. One waits, and one may be
// written; a new one takes the waiting one's place. pool_lock.
struct preview_frame {
    unsigned char header[FRAME_HEADER_BYTES];
    unsigned char *pixels;  // 64-byte aligned, cap bytes
    uint64_t cap, bytes;
};
preview_frame previews[2];
int preview_waiting = -1, preview_writing = -1;  // index in previews, -1 none

// The header's numbers are little-endian whatever the host's order.
void put32(unsigned char *at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        at[i] = static_cast<unsigned char>(v >> (8 * i));
}

void put64(unsigned char *at, uint64_t v) {
    put32(at, static_cast<uint32_t>(v));
    put32(at + 4, static_cast<uint32_t>(v >> 32));
}

// The little-endian number of the given width at at.
uint64_t get(const unsigned char *at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | at[i];
    return v;
}

// A fresh picture of the shape with its own buffer; null when memory is short.
picture *picture_new(const picture_shape *shape) {
    auto *p = static_cast<picture *>(calloc(1, sizeof(picture)));
    void *pixels = nullptr;
    if (!p || posix_memalign(&pixels, 64, size_t(shape->bytes)) != 0) {
        free(p);
        return nullptr;
    }
    p->pixels = static_cast<unsigned char *>(pixels);
    p->shape = *shape;
    return p;
}

// Frees p and its buffer.
void picture_delete(picture *p) {
    free(p->pixels);
    free(p);
}

// Room for n retired pictures; 0, or -1 when memory is short.
int reserve_retired(pictures *pool, int n) {
    if (n <= pool->retired_cap)
        return 0;
    int cap = pool->retired_cap ? pool->retired_cap : 64;
    while (cap < n)
        cap *= 2;
    void *grown = realloc(pool->retired, sizeof(picture *) * size_t(cap));
    if (!grown)
        return -1;
    pool->retired = static_cast<picture **>(grown);
    pool->retired_cap = cap;
    return 0;
}

// Appends p to the retired list, whose room the caller reserved; null is ignored.
void retire(pictures *pool, picture *p) {
    if (p)
        pool->retired[pool->retired_count++] = p;
}

// Frees p, or leaves it to the writer while it is queued; null is ignored.
void release(picture *p) {
    if (!p)
        return;
    if (p->queued)
        p->orphaned = 1;
    else
        picture_delete(p);
}

// Returns a mark that no picture sent took, unless a newer one replaced it.
void give_back(std::atomic<uint64_t> *mark, uint64_t taken) {
    uint64_t none = 0;
    if (taken)
        mark->compare_exchange_strong(none, taken);
}

// Fills a frame header; seq is the writer's.
void put_header(unsigned char *h, const picture_shape &shape, int64_t pts_us, uint64_t g, uint32_t flags,
                uint32_t mark_id) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    put32(h + FRAME_OFF_MAGIC, 0x52465856);  // "VXFR"
    put32(h + FRAME_OFF_WIDTH, shape.width);
    put32(h + FRAME_OFF_HEIGHT, shape.height);
    put32(h + FRAME_OFF_PITCH, shape.pitch);
    put32(h + FRAME_OFF_FOURCC, layout_fourcc(shape.layout));
    put64(h + FRAME_OFF_PTS_US, uint64_t(pts_us));
    put64(h + FRAME_OFF_SEQ, 0);
    put64(h + FRAME_OFF_WALL_US, uint64_t(int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000));
    put64(h + FRAME_OFF_GENERATION, g);
    put32(h + FRAME_OFF_FLAGS, flags);
    put32(h + FRAME_OFF_MARK_ID, mark_id);
}

// Scales a plane of sw x sh pixels of bpp bytes into dw x dh, each pixel the
// mean of the source pixels it covers (the nearest one when it covers less).
void scale_plane(const unsigned char *src, uint32_t spitch, uint32_t sw, uint32_t sh, unsigned char *dst,
                 uint32_t dpitch, uint32_t dw, uint32_t dh, int bpp) {
    for (uint32_t y = 0; y < dh; y++) {
        uint32_t y0 = uint32_t(uint64_t(y) * sh / dh), y1 = std::max(y0 + 1, uint32_t(uint64_t(y + 1) * sh / dh));
        unsigned char *out = dst + uint64_t(y) * dpitch;
        for (uint32_t x = 0; x < dw; x++) {
            uint32_t x0 = uint32_t(uint64_t(x) * sw / dw), x1 = std::max(x0 + 1, uint32_t(uint64_t(x + 1) * sw / dw));
            uint32_t sum[4] = {}, n = (y1 - y0) * (x1 - x0);
            for (uint32_t sy = y0; sy < y1; sy++) {
                const unsigned char *at = src + uint64_t(sy) * spitch + uint64_t(x0) * bpp;
                for (uint32_t sx = x0; sx < x1; sx++)
                    for (int c = 0; c < bpp; c++)
                        sum[c] += *at++;
            }
            for (int c = 0; c < bpp; c++)
                out[x * bpp + c] = static_cast<unsigned char>((sum[c] + n / 2) / n);
        }
    }
}

// Copies pic of a pool of previews, scaled to the pool's width, into the
// waiting preview frame for the writer; only a marked picture goes.
// pool_lock held.
bool enqueue_preview(const pictures *pool, const picture *pic, uint64_t g, uint64_t taken, int64_t pts_us) {
    const picture_shape &src = pic->shape;
    if (!taken || pic->spare)
        return false;
    uint32_t w = pool->preview_width;
    uint32_t h = std::max<uint32_t>(2, uint32_t((uint64_t(w) * src.height + src.width / 2) / src.width));
    picture_shape shape;
    if (shape_packed(src.layout, w, h, &shape) != 0)
        return false;
    int b = preview_writing == 0 ? 1 : 0;
    preview_frame &f = previews[b];
    if (f.cap < shape.bytes) {
        void *grown = nullptr;
        if (posix_memalign(&grown, 64, size_t(shape.bytes)) != 0)
            return false;
        free(f.pixels);
        f.pixels = static_cast<unsigned char *>(grown);
        f.cap = shape.bytes;
    }
    int bpp = src.layout == PIXELS_BGRX ? 4 : 1;
    for (int i = 0; i < shape.planes; i++) {
        const plane &from = src.frame[i], &to = shape.frame[i];
        scale_plane(pic->pixels + from.offset, from.pitch, from.row / bpp, from.lines, f.pixels + to.offset, to.pitch,
                    to.row / bpp, to.lines, bpp);
    }
    f.bytes = shape.bytes;
    put_header(f.header, shape, (pts_us + 500) / 1000 * 1000, g, FRAME_PREVIEW, uint32_t(taken));
    preview_waiting = b;
    queue_wake.notify_one();
    return true;
}

// Queues pic of pool for the writer with its header; false, with nothing
// changed, when it cannot go: the overflow, queued already, or the queue full.
// pool_lock held.
bool enqueue(pictures *pool, picture *pic, uint64_t g, uint64_t taken, int64_t pts_us) {
    if (pool->preview_width)
        return enqueue_preview(pool, pic, g, taken, pts_us);
    if (pic->spare || pic->queued || qlen == FRAME_QUEUE)
        return false;
    // A landing is told in whole milliseconds: the frame that carries it,
    // passed on from a picture not queued, is at that time too.
    if (taken)
        pts_us = (pts_us + 500) / 1000 * 1000;
    put_header(pic->header, pic->shape, pts_us, g, taken ? uint32_t{FRAME_LANDED} : 0u, uint32_t(taken));
    pic->queued = 1;
    pool->sent = pic;
    if (pic == pool->shown)
        pool->shown_sent = 1;
    queue[(qhead + qlen) % FRAME_QUEUE] = pic;
    qlen++;
    queue_wake.notify_one();
    return true;
}

// Writes all n blocks to fd 3, advancing them as it goes; a host that closed
// the pipe ends the process.
void write_all(iovec *blocks, int n) {
    while (n > 0) {
        ssize_t done = writev(3, blocks, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            _exit(0);
        auto left = size_t(done);
        for (; n > 0 && left >= blocks->iov_len; n--)
            left -= blocks++->iov_len;
        if (n > 0) {  // a short write ended inside this block
            blocks->iov_base = static_cast<char *>(blocks->iov_base) + left;
            blocks->iov_len -= left;
        }
    }
}

// Sends the waiting preview frame unless its generation has passed; pool_lock
// held by hold, and let go while writing.
void write_preview(std::unique_lock<ordered_mutex> &hold) {
    preview_frame &f = previews[preview_waiting];
    preview_writing = preview_waiting;
    preview_waiting = -1;
    if (get(f.header + FRAME_OFF_GENERATION, 8) == current_generation) {
        put64(f.header + FRAME_OFF_SEQ, frame_seq++);
        hold.unlock();
        iovec blocks[2] = {{f.header, FRAME_HEADER_BYTES}, {f.pixels, size_t(f.bytes)}};
        write_all(blocks, 2);
        hold.lock();
    }
    preview_writing = -1;
}

// Sends the queue's oldest picture, or drops it when its generation has
// passed; a preview only when the queue is empty.
[[noreturn]] void writer_thread() {
    pthread_setname_np(pthread_self(), "vx-frames");
    std::unique_lock<ordered_mutex> hold(pool_lock);
    for (;;) {
        queue_wake.wait(hold, [] { return qlen > 0 || preview_waiting >= 0; });
        if (qlen == 0) {
            write_preview(hold);
            continue;
        }
        picture *p = queue[qhead];
        if (get(p->header + FRAME_OFF_GENERATION, 8) == current_generation) {
            put64(p->header + FRAME_OFF_SEQ, frame_seq++);
            hold.unlock();
            // While queued the header is not rewritten, nor the picture freed.
            iovec blocks[1 + PIXEL_PLANES_MAX] = {{p->header, FRAME_HEADER_BYTES}};
            const picture_shape &shape = p->shape;
            for (int i = 0; i < shape.planes; i++)
                blocks[1 + i] = {p->pixels + shape.frame[i].offset,
                                 size_t(shape.frame[i].pitch) * shape.frame[i].lines};
            write_all(blocks, 1 + shape.planes);
            hold.lock();
        }
        p->queued = 0;
        if (p->orphaned)
            picture_delete(p);
        qlen--;
        qhead = (qhead + 1) % FRAME_QUEUE;
    }
}

}  // namespace

uint32_t layout_pitch(int layout, uint32_t width) {
    // An I420 pitch is even, so its half holds a chroma row of (width+1)/2.
    return ((layout == PIXELS_I420 ? width : width * 4) + 63) & ~63u;
}

int layout_planes(int layout, uint32_t width, uint32_t height, uint32_t pitch, plane out[PIXEL_PLANES_MAX]) {
    out[0] = {0, pitch, height, layout == PIXELS_I420 ? width : width * 4};
    if (layout != PIXELS_I420)
        return 1;
    uint32_t lines = height / 2 + (height & 1), row = width / 2 + (width & 1);
    uint64_t luma = uint64_t{pitch} * height, chroma = uint64_t{pitch / 2} * lines;
    out[1] = {luma, pitch / 2, lines, row};
    out[2] = {luma + chroma, pitch / 2, lines, row};
    return 3;
}

uint64_t layout_bytes(int layout, uint32_t pitch, uint32_t height) {
    uint64_t luma = uint64_t{pitch} * height;
    return layout == PIXELS_I420 ? luma + 2 * uint64_t{pitch / 2} * (height / 2 + (height & 1)) : luma;
}

uint32_t layout_fourcc(int layout) {
    return layout == PIXELS_I420 ? 0x30323449 : 0x30726762;  // "I420", "bgr0"
}

int shape_packed(int layout, uint32_t width, uint32_t height, picture_shape *out) {
    if (width == 0 || height == 0 || width > PICTURE_MAX_SIDE || height > PICTURE_MAX_SIDE ||
        (layout != PIXELS_BGRX && layout != PIXELS_I420))
        return -1;
    *out = {};
    out->layout = layout;
    out->width = width;
    out->height = height;
    out->pitch = layout_pitch(layout, width);
    out->planes = layout_planes(layout, width, height, out->pitch, out->frame);
    for (int i = 0; i < out->planes; i++)
        out->buffer[i] = out->frame[i];
    out->bytes = layout_bytes(layout, out->pitch, height);
    return 0;
}

int shape_decoded(uint32_t width, uint32_t height, uint32_t buffer_w, uint32_t buffer_h, uint32_t x, uint32_t y,
                  picture_shape *out) {
    // The frame's rows are as long as for a frame of its own: the decoder's
    // buffers may be no wider than that.
    if (shape_packed(PIXELS_I420, width, height, out) != 0 || buffer_w > out->pitch || buffer_h > PICTURE_MAX_SIDE ||
        x > buffer_w || y > buffer_h || buffer_w - x < width || buffer_h - y < height)
        return -1;
    uint32_t pitch = out->pitch;
    layout_planes(PIXELS_I420, buffer_w, buffer_h, pitch, out->buffer);
    for (int i = 0; i < 3; i++) {
        uint32_t sx = i ? x / 2 : x, sy = i ? y / 2 : y;
        out->frame[i] = out->buffer[i];
        out->frame[i].offset += uint64_t{sy} * out->buffer[i].pitch + sx;
        out->frame[i].lines = i ? height / 2 + (height & 1) : height;
        out->frame[i].row = i ? width / 2 + (width & 1) : width;
    }
    // A frame that starts to the right of the buffer's edge ends as far past
    // its last row: room for that, sent as row padding.
    out->bytes = layout_bytes(PIXELS_I420, pitch, buffer_h) + pitch;
    return 0;
}

int pictures_setup(pictures *pool, const picture_shape *shape) {
    picture *spare = picture_new(shape);
    if (!spare)
        return -1;
    spare->spare = 1;
    std::unique_lock<ordered_mutex> hold(pool_lock);
    if (reserve_retired(pool, pool->retired_count + pool->count + 1) != 0) {
        hold.unlock();
        picture_delete(spare);
        return -1;
    }
    for (int i = 0; i < pool->count; i++)
        retire(pool, pool->slots[i]);
    retire(pool, pool->overflow);
    // Only what the decoder or the writer still holds is kept, so that a
    // stream changing size again and again does not pile up buffers.
    int kept = 0;
    for (int i = 0; i < pool->retired_count; i++) {
        picture *p = pool->retired[i];
        if (p->locked || p->queued)
            pool->retired[kept++] = p;
        else
            picture_delete(p);
    }
    pool->retired_count = kept;
    pool->shape = *shape;
    pool->count = 0;
    pool->shown = pool->sent = pool->kept = nullptr;
    pool->shown_sent = 0;
    pool->overflow = spare;
    return 0;
}

picture *pictures_lock(pictures *pool, void **planes) {
    picture *p = nullptr;
    {
        std::lock_guard<ordered_mutex> hold(pool_lock);
        if (!pool->overflow)
            return nullptr;
        for (int i = 0; i < pool->count && !p; i++) {
            picture *s = pool->slots[i];
            if (!s->locked && !s->queued && s != pool->shown && s != pool->kept && s != pool->sent)
                p = s;
        }
        if (!p && pool->count < POOL_SLOTS) {
            p = picture_new(&pool->shape);
            if (p)
                pool->slots[pool->count++] = p;
        }
        if (!p)
            p = pool->overflow;
        p->locked++;
    }
    // The picture's own shape never changes: no lock needed.
    for (int i = 0; i < p->shape.planes; i++)
        planes[i] = p->pixels + p->shape.buffer[i].offset;
    return p;
}

void pictures_unlock(picture *pic) {
    std::lock_guard<ordered_mutex> hold(pool_lock);
    if (pic && pic->locked > 0)
        pic->locked--;
}

void pictures_free(pictures *pool) {
    {
        std::lock_guard<ordered_mutex> hold(pool_lock);
        for (int i = 0; i < pool->count; i++)
            release(pool->slots[i]);
        release(pool->overflow);
        for (int i = 0; i < pool->retired_count; i++)
            release(pool->retired[i]);
        pool->count = 0;
        pool->overflow = nullptr;
        pool->shown = pool->sent = pool->kept = nullptr;
    }
    free(pool->retired);
    pool->retired = nullptr;
    pool->retired_count = 0;
    pool->retired_cap = 0;
}

uint64_t pictures_show(pictures *pool, picture *pic, uint64_t g, bool send, std::atomic<uint64_t> *mark,
                       int64_t pts_us) {
    if (!pic)
        return 0;
    std::lock_guard<ordered_mutex> hold(pool_lock);
    if (g != current_generation)
        return 0;
    if (pic != pool->shown) {
        pool->shown = pic;
        pool->shown_sent = 0;
    } else if (pool->shown_sent) {
        return 0;  // the host has it
    }
    if (!send || !frames_on_pipe)
        return 0;
    uint64_t taken = mark->exchange(0);
    if (enqueue(pool, pic, g, taken, pts_us))
        return taken | PICTURE_QUEUED;
    give_back(mark, taken);  // the next picture sent carries it
    return 0;
}

bool frames_piped() { return frames_on_pipe != 0; }

void pictures_preview(pictures *pool, uint32_t width) {
    std::lock_guard<ordered_mutex> hold(pool_lock);
    pool->preview_width = std::clamp<uint32_t>(width, PREVIEW_WIDTH_MIN, PREVIEW_WIDTH_MAX);
}

void pictures_keep(pictures *pool, bool keep) {
    std::lock_guard<ordered_mutex> hold(pool_lock);
    pool->kept = keep ? pool->shown : nullptr;
}

uint64_t pictures_resend(pictures *pool, uint64_t g, std::atomic<uint64_t> *mark, int64_t pts_us, bool kept) {
    std::lock_guard<ordered_mutex> hold(pool_lock);
    picture *pic = kept ? pool->kept : pool->shown;
    if (!pic || g != current_generation || !frames_on_pipe)
        return 0;
    uint64_t taken = mark->load();
    if (!enqueue(pool, pic, g, taken, pts_us))
        return 0;
    mark->compare_exchange_strong(taken, 0);  // taken by this frame, unless a newer mark came
    return taken | PICTURE_QUEUED;
}

int frames_start(int on) {
    static int writer_started;  // main thread only
    frames_on_pipe = on;
    if (!on)
        return 0;
    if (fcntl(3, F_GETFD) == -1)
        return -1;
    fcntl(3, F_SETPIPE_SZ, 1048576);  // a refusal (not a pipe, limits) is harmless
    if (!writer_started) {
        try {
            std::thread(writer_thread).detach();
            writer_started = 1;
        } catch (const std::system_error &) {
            // Not reported: pictures then stay queued and none is sent.
        }
    }
    return 0;
}

void frames_generation(uint64_t g) {
    std::lock_guard<ordered_mutex> hold(pool_lock);
    current_generation = g;
}

int frames_backlog() {
    std::lock_guard<ordered_mutex> hold(pool_lock);
    return qlen;
}
