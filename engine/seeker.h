// The one library seek in flight of a player: a small machine fed facts (with
// the time passed in) that returns what is to be done. It calls no library,
// takes no lock and reads no clock: its owner holds the player's seek_lock
// and carries out what it returns. Its clients (the host's seek, picture
// steps, a loop's return, the start position) ask it and take its landing.
#pragma once

#include <cstdint>

enum seeker_phase {
    SEEKER_IDLE,      // no library seek in flight
    SEEKER_ASKED,     // the library was asked; the picture from the new place not yet shown
    SEEKER_LANDED,    // landed; its client has not taken the landing yet
    SEEKER_SETTLING,  // landed for a paused host while the library played: it is to pause again
};

// Who asked: the landing goes back to that client.
enum seek_client { CLIENT_HOST, CLIENT_STEP, CLIENT_LOOP, CLIENT_START, CLIENT_PREVIEW, CLIENTS };

// How a landing was found.
enum seek_landing {
    LANDED_PICTURE,   // on the first picture from the new place
    LANDED_SOUND,     // without pictures: where the decoders were waited for
    LANDED_DEADLINE,  // the library showed nothing in time: where it says it is
    LANDED_UNKEYED,   // a key request whose demuxer did not say where it went: no picture is known to be it
};

struct seek_request {
    int client;        // seek_client
    long long id;      // the host's command the landing answers; 0 none
    double target_ms;  // where to, in the media's own time; -1 by position
    double pos;        // where to when by position, 0..1
    bool marked;       // the landing's frame carries FRAME_LANDED and the id
    bool quiet;        // a probe: its pictures go to no one, the landing too
    bool play;         // the library plays from there: a loop's return, a paused host's seek from the end
    bool hold;         // the host is paused: once landed the library pauses again
    bool next;         // lands on the first picture after target_ms (a step forward), not on the one showing it
    bool key =
        false;  // lands on the key frame the library seeks to, at or before target_ms, when its demuxer says where
    int32_t width = 0;   // a preview's: the width its picture goes at
    uint32_t order = 0;  // a preview's: its place among the load's previews, none answered after a later one
};

struct seeker {
    int phase;        // seeker_phase
    double frame_ms;  // a picture's duration: a picture this much before the place is not from it
    seek_request req;
    bool waited;        // the decoders were waited for since it was asked
    bool settled;       // the library is done with it: its wait, the end of its input or the deadline came
    int kept;           // KEPT_*: what the client keeps back as the landing maybe
    int64_t kept_ms;    // the dated one's time
    int after_forced;   // dated pictures shown since the forced one
    double library_ms;  // where the library was asked to go: the target, or before it when asked again
    bool again;         // the library started past the target: it is to be asked again, from before it
    int agains;         // ... and was, this many times
    bool even;          // the pictures come a picture's duration apart (not a screencast's changes alone)
    bool first_unsure;  // the decoder's first may be a picture from well before the place, not the one before the next
    bool coarse;        // the demuxer starts at the first key frame from where it is asked, however far on (MPEG-TS)
    double
        coarse_ms;  // ... and was asked from this far before a place at the load's last seek that needed farther; 0 none
    int64_t passed_us;     // when the library's clock is past the place, the dated picture kept the last before it
    bool at_end;           // the media paused at its end first: the next new picture is the last there is
    int64_t last_ms;       // ... at this time
    int64_t deadline_us;   // when it lands anyway
    int landing;           // seek_landing
    int64_t landed_ms;     // the time of the picture (or place) it landed on
    bool landed_dated;     // that picture's date is on the library's clock
    bool keyed;            // a key request: the demuxer told where its key frame is (target_ms now)
    int64_t key_delay_ms;  // how far a key frame's own time was past its decoding time (B-frames)
    double word_ms;        // where the demuxer said it starts, at a key frame, by decoding time; -1 unsaid
    bool word_moved;       // ... the library's seek moved from there: it shows from the place on
    bool key_past;         // ... at one shown past the place: asked again once the decoders were waited for
    int64_t shift_ms;      // how far the demuxer's decoding times stand before the pictures' (an MP4 edit list)
    bool shows_before;     // the decoder shows the pictures just before where it was asked: asked at the place itself
    bool moves;            // the library's seek itself moves a demuxer whose key frame shows past where it was asked
    double demuxer_ms;     // ... and asks a coarse one from here, before library_ms: 0 its start, -1 as the library
    bool to_end;  // the media paused at its end before the place showed: all shown from where the demuxer starts
};

enum { KEPT_NONE, KEPT_FORCED, KEPT_DATED };

// A new picture, or one shown again, as the display saw it.
struct picture_news {
    bool fresh;      // not shown before
    bool forced;     // the decoder's first after its wait: shown at once
    bool dated;      // its date is on the library's clock
    bool paused;     // the library is paused
    bool timed;      // own_ms is known
    int64_t own_ms;  // its time from its date, when timed
    bool placed;     // told back: it is where the library plays, whoever sees it; not one on the way to a seek's place
    bool stale = false;  // made ready for display before the library took its last seek
};

// What a picture is to the host. KEEP: hidden, but kept back, for it may
// prove to be the landing; LAND_KEPT: the picture kept back is the landing,
// and this one follows it.
enum { VERDICT_TELL, VERDICT_HIDE, VERDICT_LAND, VERDICT_KEEP, VERDICT_LAND_KEPT };

enum { SEEK_DEADLINE_US = 5000000 };  // a source that never answers

// How far before the target the library is asked again when it started at a
// key frame past it: its demuxers take one that near. Where pictures hold
// for longer, the picture at the place may start further back: farther.
const double SEEK_AGAIN_BEFORE_MS = 120, SEEK_AGAIN_FARTHER_MS = 1000;
// A coarse demuxer, first asked from a second before the place (or as far
// as the load's last seek that needed more), is asked again from twice as
// far back each time, up to the media's start, which is a key frame.
enum { SEEK_COARSE_AGAINS = 5 };
// ... the farthest a load's seeks start from at once.
const double SEEK_COARSE_MOST_MS = 16000;
// How late past its date the library may show a picture: a kept picture is
// the last before the place once the library's clock is this far past it.
enum { SEEK_LATE_US = 100000 };

// A client asks for a library seek: 1 when the library is to be asked now,
// 0 when one is in flight (the client keeps its request until it lands), or
// when the last one landed before the library was done with it: its lines
// would pass for the new one's.
int seeker_ask(seeker *s, const seek_request *r, int64_t now);
// A picture shown: what it is to the host (VERDICT_*); at a landing
// landed_ms holds the landing picture's time.
int seeker_picture(seeker *s, picture_news *n);
// The library is asked again, from before the target (again was set):
// where to, in the media's own time.
double seeker_again(seeker *s, int64_t now);
// The decoders were waited for: pictures from the new place follow. Without
// video that is the landing: true then, as for a key request whose demuxer
// said nothing of where it went.
bool seeker_waited(seeker *s, bool video);
// The input read to its end: the library is done with the seek, whose
// decoders may never be waited for.
void seeker_input_ended(seeker *s);
// The media paused at its end while a paused host's seek was asked: the
// picture kept back is the last there is and the landing, at its time, or
// for the decoder's first when asked again already at the key frame's the
// demuxer said, else at last_ms; true then.
// Without a dated one kept, asked once, it is asked again from before (again
// set); with none kept the next new picture will be the landing.
bool seeker_last_kept(seeker *s, int64_t last_ms);
// The demuxer went to the key frame before_ms before where the library was
// asked, by decoding time. For a key request that is where the library's
// clock starts, and its first new picture is the landing; otherwise, where
// that key frame shows past the place by the delay a stream's key frames
// showed before, the library is asked again from before it once its decoders
// were waited for. True when the machine took it.
bool seeker_key_frame(seeker *s, double before_ms);
// How long after its decoding time a key frame shows (B-frames): the delay
// seen, else the edit list's shift; 0 unknown.
int64_t seeker_key_delay(const seeker *s);
// The demuxer's decoding times stand shift_ms before the pictures' own (an
// MP4 edit list for B-frames): a key frame shows about that much after its
// decoding time, the evidence of one past the place until a seek shows it.
void seeker_edit_shift(seeker *s, double shift_ms);
// The media paused at its end while a playing host's seek was under way,
// before its decoders were waited for at the place (an input that had read
// to its end pauses there at once), or on a coarse demuxer, which may have
// read from past the place. Asked again from before, to play from there;
// true then.
bool seeker_cut_short(seeker *s);
// The media came to its end: what was asked will never land. True when a
// seek in flight is dropped.
bool seeker_ended(seeker *s);
// The deadline: true when it passed now and the seek landed at library_ms;
// a landed seek is then settled too.
bool seeker_tick(seeker *s, int64_t now, int64_t library_ms);
// The library's clock passed the place (passed_us) with no picture after the
// dated one kept: that one lands; true then.
bool seeker_passed(seeker *s, int64_t now);
// The client took the landing: the library is to pause again (settle) for a
// paused host after playing, or nothing more is in flight.
void seeker_taken(seeker *s, bool settle);
// The library paused: a settling seek is over. True when it was settling.
bool seeker_paused(seeker *s);
// Nothing lands any more.
void seeker_forget(seeker *s);
