// The hand-over between the engine and its libvlc display module (display.cpp,
// built as a plugin of its own). The module is chosen for every player in
// place of the library's memory output and calls the engine's video callbacks
// as that output does; besides, it tells the engine through this record what
// the library knows of each picture: whether it is new or shown again, its
// date, and what the decoder's pictures are like. The same plugin filters
// the player's demuxer, so that a precise seek decodes from a key frame that
// shows the time asked (the MP4 demuxer's may show past it, the MPEG-TS one
// starts at the next key frame), the pictures up to the time decoded and not
// shown. Included by both sides.
#pragma once

#include <atomic>
#include <cstdint>

// The module's name (--vout=...) and its file: libvlc loads only files named
// lib<name>_plugin.so from the folders in VLC_PLUGIN_PATH.
#define DISPLAY_MODULE "vexolo"
#define DISPLAY_FILE "libvexolo_plugin.so"
// An option the module declares: an instance made with it proves the library
// loaded the module, and tells the module which hand-over the engine speaks.
#define DISPLAY_LINK_OPTION "vexolo-link"
// The demuxer filter's name, for a media's :demux-filter option.
#define DEMUX_FILTER_MODULE "vexolo-seek"

enum : uint32_t {
    DISPLAY_LINK_MAGIC = 0x4b4e4c56,  // "VLNK"
    DISPLAY_LINK_VERSION = 3,
};

// What the decoder hands the display, written by the module before it calls
// the engine's format callback.
struct display_source {
    char chroma[5];                          // the decoder's pictures, as the library names it
    uint32_t width, height;                  // of the decoder's buffers
    uint32_t x, y;                           // where the visible picture starts in them
    uint32_t visible_width, visible_height;  // the picture as it is to be seen
    uint32_t sar_num, sar_den;               // its pixels' shape; 1:1 when unknown
    uint32_t rate_num, rate_den;             // pictures a second, when the stream says; 0 unknown
};

// The engine's answer to the format, read by the module after the callback.
struct display_format {
    int direct;  // 1: the decoder decodes straight into the engine's buffers
    // Direct only: each plane of the engine's buffers, the decoder's geometry.
    uint32_t pitches[3], lines[3];
};

// What the library knows of a picture it displays, written by the module
// before each call of the display callback, read by the engine in it.
enum : uint32_t {
    SHOWN_NEW = 1,       // not shown before: the decoder's next picture
    SHOWN_FORCED = 2,    // the decoder's first after waiting for its input: shown at once, its date not on the clock
    SHOWN_REDRAWN = 4,   // shown again with other subtitles drawn into it
    SHOWN_SUBTITLE = 8,  // subtitles are drawn into it
};
struct display_shown {
    uint32_t flags;   // SHOWN_*
    int64_t date_us;  // the library's display date, on its monotonic clock (µs); 0 when it has none
    uint32_t seeks;   // the link's seeks when the module made it ready
};

// One per player, handed to the library as the video callbacks' opaque value.
// The module writes source before the format callback and shown before each
// display; the engine writes format in the format callback. One display of a
// player at a time holds the link; the library's threads that call the
// callbacks of that display are its only users meanwhile.
struct display_link {
    uint32_t magic, version;  // DISPLAY_LINK_*: a module that finds others refuses the link
    void *owner;              // the engine's player
    std::atomic<int> held;    // 1 while a display module holds it
    int asking;               // 1 while the module calls the format callback: the library's own output never does
    display_source source;
    display_format format;
    display_shown shown;
    // The demuxer filter: how many filters of the player's inputs are in
    // place, and the seek the engine asked for last. A precise seek to
    // seek_at_us (the library's time, µs) whose demuxer starts at a key frame
    // that shows past it, seek_delay_us after the key frame's decoding time,
    // is moved: its demuxer is asked again from just before that key frame,
    // seek_moved_us before the time. The engine writes delay first, then at;
    // the filter writes moved (0 when it moves nothing) before each ask.
    std::atomic<int> filters;
    std::atomic<int64_t> seek_at_us, seek_delay_us, seek_moved_us;
    // The library's seeks so far: the engine counts each it asks for, the
    // filter each its demuxer takes. The library makes a picture ready a
    // moment before its date and then waits for the date, through a seek:
    // one made ready before the last seek comes from before it, though its
    // date, on the clock before the seek, may fall after it.
    std::atomic<uint32_t> seeks;
    // A precise seek to seek_at_us asks its demuxer from seek_back_us before
    // it (MPEG-TS's, which starts at the next key frame), all of it its
    // start; the pictures up to the time decoded and not shown.
    std::atomic<int64_t> seek_back_us;
};
