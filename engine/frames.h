// Picture pool and frame pipe: the buffers libvlc decodes into, and the writer
// that sends displayed pictures of the current generation to the host on fd 3.
// Callers: libvlc's video threads, the reaper, the main thread at start-up.
#pragma once

#include <atomic>
#include <cstdint>

enum {
    POOL_SLOTS = 64,           // slot pictures per format, besides the overflow: the decoder's own, and the pipe's
    FRAME_QUEUE = 3,           // pictures waiting for the writer, the one being written included
    PICTURE_MAX_SIDE = 16384,  // larger sides are refused: one buffer stays under 1 GiB
};

// The 60-byte frame header, little-endian, at these offsets.
enum {
    FRAME_OFF_MAGIC = 0,        // "VXFR"
    FRAME_OFF_WIDTH = 4,        // u32
    FRAME_OFF_HEIGHT = 8,       // u32
    FRAME_OFF_PITCH = 12,       // u32, bytes per row, a multiple of 64
    FRAME_OFF_FOURCC = 16,      // "bgr0" or "I420"
    FRAME_OFF_PTS_US = 20,      // i64
    FRAME_OFF_SEQ = 28,         // u64
    FRAME_OFF_WALL_US = 36,     // i64
    FRAME_OFF_GENERATION = 44,  // u64
    FRAME_OFF_FLAGS = 52,       // u32
    FRAME_OFF_MARK_ID = 56,     // u32: the low bits of the seek command's id on a landed frame, else 0
    FRAME_HEADER_BYTES = 60,
};

enum : uint32_t {
    FRAME_LANDED = 1,   // the picture a seek landed on
    FRAME_PREVIEW = 2,  // a preview's picture, not playback's; the mark id is the preview command's
};
enum { PREVIEW_WIDTH_MIN = 32, PREVIEW_WIDTH_MAX = 640 };

// A landing's mark for the frame pipe: MARK_SET with the low 32 bits of the
// seek command's id; 0 when none waits.
enum : uint64_t { MARK_SET = uint64_t(1) << 32 };
inline uint64_t mark_of(long long id) { return MARK_SET | uint32_t(id); }

// Pixel layouts of a picture. BGRX: one plane of 4-byte blue, green, red,
// unused pixels. I420: planar 4:2:0, the Y plane of pitch x height bytes,
// then U and V of pitch/2 x (height+1)/2 bytes each, one after the other on
// the wire.
enum { PIXELS_BGRX = 0, PIXELS_I420 = 1, PIXEL_PLANES_MAX = 3 };

// One plane of a picture's buffer.
struct plane {
    uint64_t offset;  // from the buffer's start
    uint32_t pitch;   // bytes per row
    uint32_t lines;   // rows
    uint32_t row;     // bytes of each row that are pixels
};

// Bytes per row of the first plane for width: a multiple of 64 that holds the row.
uint32_t layout_pitch(int layout, uint32_t width);
// The planes of a width x height picture whose first plane has pitch, one
// after the other; their count.
int layout_planes(int layout, uint32_t width, uint32_t height, uint32_t pitch, plane out[PIXEL_PLANES_MAX]);
// Bytes of all planes of a picture, the size of its frame after the header.
uint64_t layout_bytes(int layout, uint32_t pitch, uint32_t height);
// The header's fourcc, "bgr0" or "I420", as stored little-endian.
uint32_t layout_fourcc(int layout);

// What the pictures of a format are: the frame the host is sent, and the
// buffer it lies in, which for pictures the decoder writes straight into is
// the decoder's, larger than the frame.
struct picture_shape {
    int32_t layout;                  // PIXELS_*
    uint32_t width, height;          // the frame
    uint32_t pitch;                  // the frame's first plane
    int32_t planes;                  // of the layout
    plane buffer[PIXEL_PLANES_MAX];  // the buffer's planes, as handed to the decoder
    plane frame[PIXEL_PLANES_MAX];   // the frame's, within them
    uint64_t bytes;                  // of the whole buffer
};
// A frame of width x height in layout in a buffer of its own size; -1 for a
// size that is 0 or above PICTURE_MAX_SIDE, or a layout unknown.
int shape_packed(int layout, uint32_t width, uint32_t height, picture_shape *out);
// An I420 frame of width x height at (x, y) in the decoder's buffers of
// buffer_w x buffer_h, with the frame's own pitch; -1 as above, when the
// frame does not lie within, or when the buffers are wider than that pitch.
int shape_decoded(uint32_t width, uint32_t height, uint32_t buffer_w, uint32_t buffer_h, uint32_t x, uint32_t y,
                  picture_shape *out);

// One pooled buffer. Flags are changed only under the pool's lock.
struct picture {
    unsigned char *pixels;                     // shape.bytes, 64-byte aligned, never null
    int32_t locked;                            // holds by the decoder; only an overflow is held more than once
    int32_t queued;                            // 1 while the frame writer has it
    int32_t orphaned;                          // 1 once its pool is freed while queued: the writer frees it
    unsigned char header[FRAME_HEADER_BYTES];  // wire header, filled when queued
    picture_shape shape;                       // of this picture's own buffer
    int32_t spare;                             // 1 for an overflow picture, which is never sent
};

// A player's pool; zero-filled it is an empty pool. Guarded by the pool's lock.
struct pictures {
    picture *slots[POOL_SLOTS];  // 0 .. count-1 in use, in order of creation
    picture *overflow;           // handed out when all slots are busy; null without a format
    picture *shown;              // last shown; never handed out from the slots
    picture *kept;               // kept back for a seek, whose landing it may prove to be; never handed out
    picture *sent;               // the last one queued for the host: its still; never handed out
    int32_t shown_sent;          // 1 when the host was sent the shown picture
    int32_t count;
    picture **retired;  // pictures of ended formats still held by decoder or writer
    int32_t retired_count;
    int32_t retired_cap;     // 0, 64, then doubled
    picture_shape shape;     // current format
    uint32_t preview_width;  // a player of previews' pool: the width its pictures go at; 0 playback's
};

// Starts a new format of the given shape; 0, or -1 when memory is short, in
// which case the pool is left as it was (the format callback must then report
// failure to libvlc). Retired pictures that neither the decoder nor the
// writer holds are freed here.
int pictures_setup(pictures *pool, const picture_shape *shape);
// A picture for the decoder, its buffer's planes' starts stored in planes[0..];
// the overflow when no slot is free or can be made. Null, with planes
// untouched, only for a pool without a format (never set up, refused, freed):
// libvlc must not decode then.
picture *pictures_lock(pictures *pool, void **planes);
// The decoder gives pic back; null is ignored.
void pictures_unlock(picture *pic);
// Frees every picture of the pool, leaving those still queued to the writer;
// only once libvlc is done with the pool. The pool is empty afterwards.
void pictures_free(pictures *pool);

// What pictures_show returns besides the mark the frame took: it was queued.
enum : uint64_t { PICTURE_QUEUED = uint64_t(1) << 33 };
// Display of pic by the player of generation g: it becomes the pool's shown
// picture and, when send, is queued for the pipe if possible; never waits for
// the host. The shown picture shown again is not sent again once the host was
// sent it. A waiting mark goes with the picture queued, as FRAME_LANDED and the
// id; a picture not queued gives it back, unless a newer mark came meanwhile.
// A picture not sent leaves the mark alone. PICTURE_QUEUED with the mark the
// picture queued took; 0 when not queued.
uint64_t pictures_show(pictures *pool, picture *pic, uint64_t g, bool send, std::atomic<uint64_t> *mark,
                       int64_t pts_us);
// Keeps the shown picture back from the decoder (keep), or lets the kept one go.
void pictures_keep(pictures *pool, bool keep);
// Queues the kept picture (kept), else the shown one, again with the mark and
// pts_us, as if shown now: a picture shown to no one that turned out to be a
// seek's landing. As pictures_show; 0 when it cannot be sent (none, queued
// already, the overflow, the queue full, another generation): the mark then
// stays.
uint64_t pictures_resend(pictures *pool, uint64_t g, std::atomic<uint64_t> *mark, int64_t pts_us, bool kept = false);

// Makes pool a pool of previews whose pictures go at width: only a marked
// one is sent, copied and scaled into a frame of its own that waits behind
// the playback's queue and is replaced, not queued, by the next.
void pictures_preview(pictures *pool, uint32_t width);

// Opens the frame pipe when on is non-zero; 0 on success, -1 when fd 3 is unusable.
int frames_start(int on);
// Whether pictures go to the host at all (not with --frames=null).
bool frames_piped();
// Moves the frame pipe to generation g; older pictures are no longer sent.
void frames_generation(uint64_t g);
// Pictures queued and not yet done by the writer (for tests and diagnostics).
int frames_backlog();
