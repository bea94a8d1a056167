// Every event line the engine prints, one typed writer each: the catalogue
// of what a host can be told. Any thread may call them; each line is printed
// whole, under the output's lock. Text from outside the engine is escaped
// here, cut at a fixed capacity.
#pragma once

#include "failures.h"

#include <atomic>
#include <cstdint>

// Input lines longer than this are refused, never held whole.
enum { LINE_MAX_BYTES = 1 << 20 };

// The engine's own refusals of what the host sent, told as log lines that
// carry a code beside their message, so that a host need not read the prose.
enum refusal {
    REFUSED_NOT_A_COMMAND,  // a line that is not a command
    REFUSED_LINE_TOO_LONG,  // a line over the input bound
    REFUSED_START_POS,      // a load's start position on media that cannot seek
    REFUSED_SUBTITLES,      // a subtitle file the library could not read or parse: the load plays on
    REFUSED_DEVICE_GONE,    // the sound device asked for went away: the sound goes to the default
};

void tell_ready(const char *library_version, const char *engine_version);
void tell_ack(long long id, bool ok);
// A refused command whose ack says why: message names the field at fault.
void tell_refused(long long id, const char *message);
// A load's ack, with the generation of the player it made.
void tell_load_ack(long long id, uint64_t generation);
// The ack of quit: the last line; output is closed to every later one.
void tell_quit_ack(long long id);
// Nothing more is printed, by any thread.
void tell_nothing_more();

void tell_opening();
void tell_playing();
void tell_paused();
void tell_end();
void tell_stopped();
void tell_buffering(double pct);
void tell_time(int64_t ms);
void tell_position(double value);
void tell_length(int64_t ms);
void tell_seekable(bool v);
void tell_pausable(bool v);
// The speed in force, when it changed.
void tell_rate(double value);
// The media played again from its start: the count-th time.
void tell_looped(int count);
// The landing of the seek command id at ms.
void tell_seek_landed(long long id, int64_t ms);
// The preview of command id, whose frame went before, shows the moment ms.
void tell_preview(long long id, int64_t ms);
void tell_format(unsigned w, unsigned h, double sar);
void tell_sound(bool playing);
// The load's one error; codec is a readable codec name, or null.
void tell_error(problem what, const char *codec);

// One track of a tracks report: name and language as the library gives them
// (language null when unknown); external for a subtitle file the host added.
struct track_entry {
    int id;
    const char *name;
    const char *language;
    bool external;
};
enum { TRACK_AUDIO, TRACK_SPU, TRACK_VIDEO, TRACK_KINDS };
struct track_report {
    const track_entry *tracks[TRACK_KINDS];
    int count[TRACK_KINDS];
    int selected[TRACK_KINDS];  // -1 for none
};
// Prints a tracks report unless it repeats the one whose hash is *told (0:
// none was told), which it then updates; false when nothing was printed.
bool tell_tracks(const track_report *r, uint64_t *told);

// What the media says about itself, in the order told; a member unknown is null.
enum meta_member {
    META_TITLE,
    META_ARTIST,
    META_ALBUM,
    META_GENRE,
    META_DATE,
    META_TRACK_NUMBER,
    META_DESCRIPTION,
    META_NOW_PLAYING,
    META_ARTWORK_URL,
    META_MEMBERS
};
enum { META_VALUE_BYTES = 1024 };  // a member is cut here, on a character's boundary
// Prints the meta line unless none is known or it repeats the one whose hash
// is *told, which it then updates; false when nothing was printed.
bool tell_meta(const char *const values[META_MEMBERS], uint64_t *told);
// One chapter: its start and length (ms) and its title, null when unknown.
struct chapter_entry {
    int64_t ms, duration_ms;
    const char *name;
};
// Prints the chapters unless they repeat the last told (as tell_meta).
bool tell_chapters(const chapter_entry *list, int count, uint64_t *told);
// Playback entered the chapter of this index.
void tell_chapter(int index);
// One sound output device: the library's id and its description.
struct device_entry {
    const char *id, *name;
};
// The devices the library can play to, and the one in use (null: the default).
void tell_devices(const device_entry *list, int count, const char *current);

// A library log line, as it is to be shown.
void tell_log(const char *message);
// The same, told only while current holds gen (see emit_while).
void tell_log_while(const std::atomic<uint64_t> &current, uint64_t gen, const char *message);
// Library lines not forwarded: dropped by the rate limit, or repeats.
void tell_lines_dropped(int count);
// A refusal; text is the host's line (or its head) for the refusals of lines,
// the subtitle location or the device for the others, already stripped of
// secrets, with NUL bytes as len counts them.
void tell_refusal(refusal what, const char *text, unsigned long len);
