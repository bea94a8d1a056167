// Picture pools of all players and the frame pipe on fd 3. libvlc's video
// threads lock, unlock and show pictures, the reaper frees pools, the main
// thread starts the pipe and moves its generation, the writer thread sends.
#include "frames.h"
#include "locks.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

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

// A fresh picture with its own buffer; null when memory is short.
picture *picture_new(uint32_t width, uint32_t height, uint32_t pitch, int layout) {
    auto *p = static_cast<picture *>(calloc(1, sizeof(picture)));
    void *pixels = nullptr;
    if (!p || posix_memalign(&pixels, 64, size_t(layout_bytes(layout, pitch, height))) != 0) {
        free(p);
        return nullptr;
    }
    p->pixels = static_cast<unsigned char *>(pixels);
    p->width = width;
    p->height = height;
    p->pitch = pitch;
    p->layout = layout;
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

// Whether b shows what a shows: same size and layout and the same pixels in
// every plane, row padding aside. With pool_lock held, which keeps both from
// the decoder and from being freed; a paused player's decoder and writer are
// idle meanwhile.
bool same_picture(const picture *a, const picture *b) {
    if (!a || a->spare || b->spare || a->width != b->width || a->height != b->height || a->pitch != b->pitch ||
        a->layout != b->layout)
        return false;
    plane planes[PIXEL_PLANES_MAX];
    int n = layout_planes(a->layout, a->width, a->height, a->pitch, planes);
    for (int i = 0; i < n; i++) {
        const plane &pl = planes[i];
        const unsigned char *x = a->pixels + pl.offset, *y = b->pixels + pl.offset;
        if (pl.row == pl.pitch) {
            if (memcmp(x, y, size_t{pl.pitch} * pl.lines) != 0)
                return false;
            continue;
        }
        for (size_t r = 0; r < pl.lines; r++)
            if (memcmp(x + r * pl.pitch, y + r * pl.pitch, pl.row) != 0)
                return false;
    }
    return true;
}

// Returns a mark that no picture sent took, unless a newer one replaced it.
void give_back(std::atomic<uint64_t> *mark, uint64_t taken) {
    uint64_t none = 0;
    if (taken)
        mark->compare_exchange_strong(none, taken);
}

// Queues pic of pool for the writer with its header; false, with nothing
// changed, when it cannot go: the overflow, queued already, or the queue full.
// pool_lock held.
bool enqueue(pictures *pool, picture *pic, uint64_t g, uint64_t taken, int64_t pts_us) {
    if (pic->spare || pic->queued || qlen == FRAME_QUEUE)
        return false;
    // A landing is told in whole milliseconds: the frame that carries it,
    // passed on from a picture not queued, is at that time too.
    if (taken)
        pts_us -= pts_us % 1000;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned char *h = pic->header;
    put32(h + FRAME_OFF_MAGIC, 0x52465856);  // "VXFR"
    put32(h + FRAME_OFF_WIDTH, pic->width);
    put32(h + FRAME_OFF_HEIGHT, pic->height);
    put32(h + FRAME_OFF_PITCH, pic->pitch);
    put32(h + FRAME_OFF_FOURCC, layout_fourcc(pic->layout));
    put64(h + FRAME_OFF_PTS_US, uint64_t(pts_us));
    put64(h + FRAME_OFF_SEQ, 0);
    put64(h + FRAME_OFF_WALL_US, uint64_t(int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000));
    put64(h + FRAME_OFF_GENERATION, g);
    put32(h + FRAME_OFF_FLAGS, taken ? uint32_t{FRAME_LANDED} : 0u);
    put32(h + FRAME_OFF_MARK_ID, uint32_t(taken));
    pic->queued = 1;
    pool->sent = pic;
    if (pic == pool->shown) {
        pool->shown_pts_us = pts_us;
        pool->shown_sent = 1;
    }
    queue[(qhead + qlen) % FRAME_QUEUE] = pic;
    qlen++;
    queue_wake.notify_one();
    return true;
}

// Writes all n bytes to fd 3; a host that closed the pipe ends the process.
void write_all(const unsigned char *b, uint64_t n) {
    while (n > 0) {
        ssize_t done = write(3, b, n < SSIZE_MAX ? size_t(n) : size_t(SSIZE_MAX));
        if (done > 0) {
            b += done;
            n -= uint64_t(done);
        } else if (done < 0 && errno == EINTR) {
            continue;
        } else {
            _exit(0);
        }
    }
}

// Sends the queue's oldest picture, or drops it when its generation has passed.
[[noreturn]] void writer_thread() {
    pthread_setname_np(pthread_self(), "vx-frames");
    std::unique_lock<ordered_mutex> hold(pool_lock);
    for (;;) {
        queue_wake.wait(hold, [] { return qlen > 0; });
        picture *p = queue[qhead];
        if (get(p->header + FRAME_OFF_GENERATION, 8) == current_generation) {
            put64(p->header + FRAME_OFF_SEQ, frame_seq++);
            hold.unlock();
            // While queued the header is not rewritten, nor the picture freed.
            write_all(p->header, FRAME_HEADER_BYTES);
            write_all(p->pixels, layout_bytes(p->layout, uint32_t(get(p->header + FRAME_OFF_PITCH, 4)),
                                              uint32_t(get(p->header + FRAME_OFF_HEIGHT, 4))));
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

int pictures_setup(pictures *pool, uint32_t width, uint32_t height, int layout) {
    if (width == 0 || height == 0 || width > PICTURE_MAX_SIDE || height > PICTURE_MAX_SIDE ||
        (layout != PIXELS_BGRX && layout != PIXELS_I420))
        return -1;
    uint32_t pitch = layout_pitch(layout, width);
    picture *spare = picture_new(width, height, pitch, layout);
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
    pool->width = width;
    pool->height = height;
    pool->pitch = pitch;
    pool->layout = layout;
    pool->count = 0;
    pool->shown = nullptr;
    pool->kept = pool->sent = nullptr;
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
            p = picture_new(pool->width, pool->height, pool->pitch, pool->layout);
            if (p)
                pool->slots[pool->count++] = p;
        }
        if (!p)
            p = pool->overflow;
        p->locked++;
    }
    // The picture's own size and layout never change: no lock needed.
    plane layout[PIXEL_PLANES_MAX];
    int n = layout_planes(p->layout, p->width, p->height, p->pitch, layout);
    for (int i = 0; i < n; i++)
        planes[i] = p->pixels + layout[i].offset;
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
        pool->shown = nullptr;
        pool->kept = pool->sent = nullptr;
    }
    free(pool->retired);
    pool->retired = nullptr;
    pool->retired_count = 0;
    pool->retired_cap = 0;
}

uint64_t pictures_show(pictures *pool, picture *pic, uint64_t g, int how, std::atomic<uint64_t> *mark, int64_t pts_us) {
    if (!pic)
        return 0;
    std::lock_guard<ordered_mutex> hold(pool_lock);
    bool still = how == SHOW_PAUSED || how == SHOW_STALLED;
    if (g != current_generation || (still && pic == pool->shown))
        return 0;
    // Paused, the library redraws its still into fresh buffers many times a
    // second; a redraw takes the place of the shown picture, so that the older
    // buffer goes back to the decoder, but is not sent again. Playing, it
    // redraws the shown picture while the source stalls, when the clock stands
    // still a second after the last time report: a redraw of the frame sent,
    // at its time, tells nothing either. Playback pays for the comparison only
    // when the time stands still; a waiting mark is always sent.
    picture *before = pool->shown;
    bool repeat = pool->shown_sent && pts_us == pool->shown_pts_us && same_picture(before, pic);
    pool->shown = pic;
    pool->shown_pts_us = pts_us;
    pool->shown_sent = repeat;  // what the host holds is this picture still
    if (how == SHOW_HIDDEN || ((repeat || (still && same_picture(before, pic))) && !mark->load()) || !frames_on_pipe)
        return 0;
    uint64_t taken = mark->exchange(0);
    if (enqueue(pool, pic, g, taken, pts_us))
        return taken;
    give_back(mark, taken);  // the next picture sent carries it
    return 0;
}

bool frames_piped() { return frames_on_pipe != 0; }

bool pictures_changed(pictures *pool, const picture *pic) {
    std::lock_guard<ordered_mutex> hold(pool_lock);
    return pool->shown != pic && !same_picture(pool->shown, pic);
}

bool pictures_like_sent(pictures *pool, const picture *pic) {
    std::lock_guard<ordered_mutex> hold(pool_lock);
    return pool->sent == pic || same_picture(pool->sent, pic);
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
    return taken ? taken : MARK_SET;
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
