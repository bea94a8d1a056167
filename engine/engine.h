// The engine's main unit: the player record, the current player and its
// generation, the control loop's pending bits, the lock order, and the
// functions its files call in each other, grouped by file.
#pragma once

#include "checks.h"
#include "display.h"
#include "failures.h"
#include "frames.h"
#include "locks.h"
#include "seeker.h"
#include "tell.h"
#include "timeline.h"

#include <vlc/vlc.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <mutex>

// The lock order, outermost first (ranks in locks.h; checked in debug and
// sanitizer builds). No library call is made under gate_lock, ctl_lock,
// rate_lock or out_lock.
//   video_lock  a player's: its video format and what was told of it (video.cpp)
//   gate_lock   the generation switch, and every event handler for its whole
//               length: what the handlers tell and store (players.cpp)
//   show_lock   a player's: a shown picture from its verdict until queued (video.cpp)
//   seek_lock   a player's: its seek record (seek.cpp)
//   ctl_lock    the line queue, every player's pending bits, log stores and
//               held lines (control.cpp)
//   times_lock  a player's: its picture times (video.cpp)
//   rate_lock   the log forwarding window (logs.cpp)
//   pool_lock   the picture pools, the frame queue and the frame pipe (frames.cpp)
//   out_lock    standard output (json.cpp)
//   reap_lock   the reap queue; taken alone (players.cpp)
//   sound_lock  a player's: its sound output without a device; taken alone (sound.cpp)
// For instance the display callback takes video_lock, then gate_lock to tell
// a format; a time report takes gate_lock, then seek_lock to ask whether it
// is told, then out_lock to tell it.

enum {
    PEND_TRACKS = 0x01,
    PEND_SEEK = 0x02,  // the seek record has work for the library, or a landing to tell
    PEND_START_POS = 0x04,
    PEND_ERROR = 0x08,
    PEND_CODECS = 0x10,
    PEND_ENDED = 0x20,    // the end was reached: was there anything to play?
    PEND_STOPPED = 0x40,  // the library stopped: told after any error of the load
    PEND_WATCH = 0x80,    // the source's watch has news: a resume, a denial, a lost connection
    PEND_SOUND = 0x100,   // no sound output opens: one that plays into nothing takes its place
    PEND_META = 0x200,    // what the media says about itself changed
};

// A player's seeking: the machine of the library seek in flight (seeker.h)
// and the state of its clients, each in a file of its own. seek_lock, but
// the atomics, which are read without it to skip work.
struct seeking {
    std::atomic<int> phase;  // the machine's phase, mirrored
    seeker machine;
    bool ask_due;                    // the machine asked for a library seek that the control loop is to make
    bool told_due;                   // a landing waits for its client, in the control loop
    bool unsent;                     // landed, but its picture was not queued: the next one sent carries the mark
    int64_t unsent_us;               // ... since then: the landing is told without its frame after a while
    bool end_due;                    // the media ended after the landing: told once the landing is
    bool muted;                      // the library plays muted for a paused host until it settles
    bool still;                      // the paused host has its still: the library's new pictures are no news
    bool past_still;                 // the library paused on a picture after the host's still, played on
                                     // to prove the still its landing: played, that one comes first
    bool redraw_due;                 // the still's lines changed while a seek was in flight: read anew after it
    bool redrawn_hidden;             // the landing drawn again with other lines before it settled: sent then
    std::atomic<int64_t> issued_us;  // when the library was last asked
    std::atomic<int64_t> waited_at;  // the instant of the library's last wait for its decoders, told by its log
    std::atomic<int64_t> waits;      // the waits told so far: paused, each has the pause's instant
    int64_t wait_taken;              // the last of them taken, by count
    std::atomic<int64_t> due_us;     // when the control loop must look again; 0 never
    bool start_waited;               // the start's decoders were waited for: a seek's lines are its own from now
    int64_t started_us;              // when the load first asked, to bound that wait
    bool lead_wait;                  // a seek by time waits for the pictures to tell how far the clock leads them
    // The host's seek (seek.cpp): its latest, and the one that waits its turn.
    long long host_id;
    bool host_open;  // not answered yet: its landing or the end is told
    bool pending;
    seek_request pending_req;
    // Picture steps (steps.cpp): the one that waits its turn, and a walk back.
    int step_due;  // -1 back, 1 forward, 0 none
    long long step_id;
    int64_t step_from_ms;   // the host's still
    int walk;               // the walk's stage, WALK_*; 0 none
    int64_t walk_span_ms;   // how far before the still it looked
    int64_t walk_found_ms;  // the latest picture found before the still; -1 none
    bool walk_due;          // the walk's next move waits for the library
    seek_request walk_req;
    // The loop's return (loops.cpp).
    bool loop_due;
};

// end_state: running, end reached, stopped and told, stopped but not yet told.
enum { END_NONE = 0, END_REACHED = 1, END_STOPPED = 2, END_STOP_HELD = 3 };
// How far apart every two pictures played one after the other came: a
// picture's duration; whole pictures, some more than one (pictures the library
// dropped late, changes alone on the picture grid); or not (a screencast's
// changes alone at times of their own).
enum { GAPS_UNKNOWN, GAPS_EVEN, GAPS_WHOLE, GAPS_UNEVEN };

enum { BAD_CODECS = 8, LOG_RING = 8, LOG_LINE_BYTES = 512, HELD_LINES = 8 };
// The host's subtitle files of a load, and the chapters whose starts are kept.
enum { SUBTITLES_MAX = 8, CHAPTERS_MAX = 512 };

// One playback context: its own instance, media player and media. Made by
// player_new, freed only by the reaper once the library is done with it.
// Fields come in groups by concern, each with what guards it: an atomic is
// shared between the library's threads and the control thread; a lock named
// on a group guards all of it; the rest is owned by the thread named.
struct player {
    // Library objects and identity; set before the player is installed.
    libvlc_instance_t *instance;
    libvlc_media_player_t *mp;
    libvlc_media_t *media;  // null for a player without media
    uint64_t generation;
    int live;                  // the host said the source is live
    double start_pos;          // control thread; -1.0 when none
    int hide_spu;              // control thread: the load asked for subtitles off
    struct pictures pictures;  // pool_lock, inside the frames unit
    player *reap_next;         // reap_lock: reap queue link
    // A player of previews (preview.cpp): it tells the host nothing but the
    // pictures asked of it. Set at its making.
    bool previews;
    // The load's players of previews, made at the first preview of each kind
    // (control thread; null none): one that seeks to key frames, one that
    // seeks to the moment; when the host last asked one, and how the load
    // asks its server, which the previews' own connections ask the same.
    player *preview[2];
    int64_t preview_used_us;
    uint32_t previews_asked, previews_told;  // the order of the last preview asked, and of the last answered
    char user_agent[REQUEST_TEXT_MAX + 1], referrer[REQUEST_TEXT_MAX + 1];
    int64_t timeout_ms;

    // Playback as the library reports it, made the media's own: from its first
    // picture, time never back (atomics, written by the event handler).
    std::atomic<int64_t> time_ms;
    std::atomic<int64_t> length_ms;
    std::atomic<double> position;
    std::atomic<int> paused;
    std::atomic<int> seekable;
    std::atomic<int> vouts;
    std::atomic<int> started;       // 1 from the first Playing on
    std::atomic<int> end_state;     // END_*
    std::atomic<int> filled;        // 1 once buffering reached 100
    std::atomic<int> moved;         // 1 once a time past 0 was reported
    std::atomic<int> had_video;     // 1 once a video output was made: a format was agreed
    std::atomic<int> tracks_stale;  // 1 while the media's streams lag behind its tracks

    // The display module's hand-over: the video callbacks' opaque value.
    display_link link;

    // Seeking (seeker.h and its clients), and the landing's mark for the frame
    // pipe: MARK_SET and the seek's id while the next picture sent is to carry
    // FRAME_LANDED.
    ordered_mutex seek_lock{RANK_SEEK};
    // Taken by a seek before its ack: no picture judged before the seek is
    // queued after the ack.
    ordered_mutex show_lock{RANK_SHOW};
    // The picture on display has its time on the timeline. One hidden on the
    // way to a seek's place has none: shown again, it goes to no one, though
    // the seek be dropped meanwhile.
    std::atomic<bool> shown_timed{true};
    seeking seek;
    std::atomic<uint64_t> mark_frame;
    std::atomic<int> host_paused;         // control thread: the host asked for a pause (or a paused load)
    std::atomic<int64_t> pause_asked_us;  // control thread: when the library was last asked to pause
    std::atomic<int> eof_told;            // the library said it paused at the end of the media
    std::atomic<int> at_end;              // and its input sits there until the next seek
    std::atomic<int> input_eof;           // the input read to the end of the file since the last seek
    std::atomic<int64_t> frame_us;        // a picture's duration, from the video track; 0 unknown
    std::atomic<double> rate;             // control thread: the speed asked for, 1.0 at every load
    bool loop;                            // set by the load: at its end the media plays again
    int loops;                            // control thread: restarts told
    std::atomic<int64_t> paused_us;       // when the library last said it paused (monotonic µs)

    // Work for the control loop and the library's lines kept for it: ctl_lock.
    int pending;
    char bad_codecs[BAD_CODECS][5];
    int bad_codec_count;
    char log_ring[LOG_RING][LOG_LINE_BYTES];
    int log_count;
    // Lines of a video format negotiation, held until it is agreed (then
    // dropped) or fails (then forwarded); the last HELD_LINES of held_count.
    char held[HELD_LINES][LOG_LINE_BYTES];
    int held_count;
    // The sound output's last complaint, held until it fails as a whole, and
    // whether that was told: once a load, however often it fails again.
    char sound_reason[LOG_LINE_BYTES];
    int sound_failed;

    // What the host was told by the control thread.
    int sound_state;  // -1 nothing told, 0 none, 1 playing
    int error_told;
    std::atomic<int> tracks_told;  // 1 once a tracks report was printed; read by the event handler
    int tracks_retries;            // reports asked again for lagging streams
    int64_t tracks_due_us;         // monotonic time of the report asked for, 0 none
    int64_t tracks_burst_us;       // when the streams began to change
    uint64_t tracks_hash;          // of the last tracks line printed, 0 none
    uint64_t told_line;            // rate_lock: hash of the last log line forwarded, 0 none

    // What the host was told by the event handler: gate_lock. A repeat of
    // length, seekable or pausable is not told again.
    int64_t last_time_ms;
    int64_t last_position_us;
    int64_t last_buffering_us;
    int length_told;
    int64_t told_length_ms;
    int told_seekable;     // 0 none, 1 false, 2 true
    int told_pausable;     // 0 none, 1 false, 2 true
    int told_paused;       // 0 none, 1 playing, 2 paused
    double told_position;  // the last position told of a live source
    int64_t behind_of;     // the landing whose late times are counted
    int behind_count;      // times before that landing passed over
    // The library's own last reports, before they are made the media's own
    // (time_ms, length_ms and position: from the first picture, never back).
    int64_t library_time_ms, library_length_ms;
    float library_position;

    // Picture times (video.cpp): each new picture's own time, from its date
    // on the library's clock and where the library said playback is.
    ordered_mutex times_lock{RANK_TIMES};
    timeline times;
    std::atomic<int64_t> still_us;  // the own time of the last picture the host was sent (video threads)
    std::atomic<int> gaps;          // GAPS_*: how far apart the pictures played so far came
    int64_t lead_given_up_us;       // times_lock: when an unmeasured lead counts as none (monotonic); 0 never

    // The video format in use and what the host was told of it (video.cpp).
    ordered_mutex video_lock{RANK_VIDEO};
    unsigned fmt_w, fmt_h;  // the pool's size
    double fmt_sar;
    unsigned told_w, told_h;  // the last format event; 0 x 0 before it
    double told_sar;

    // The watch of the source (watch.cpp). Evidence from the library's lines
    // and events is stored by its threads; the control loop acts on it.
    int64_t timeout_us;              // control thread; 0 never times out
    int watch_done;                  // control thread; 1 once timed out or denied
    std::atomic<int> network;        // set before play: an http(s) location, which may lead to no other source
    std::atomic<int> network_made;   // 1 once the library made a network access for the load
    std::atomic<int> asked;          // the last request to the server: 0 none seen, 1 unanswered, 2 answered
    std::atomic<int64_t> moved_us;   // monotonic instant the source last delivered
    std::atomic<int> stalled;        // 1 while playback is told stalled
    std::atomic<int> denied;         // 1 once a network source led to a local one
    std::atomic<int> silenced;       // 1 once denied or ended by the watch: only the stop is told
    std::atomic<int> range_refused;  // 1 once the source could not serve a byte range
    std::atomic<int> conn_failed;    // 1 once a connection failed since the last request
    std::atomic<int> lost;           // why the source ended early: 1 a failed connection, 2 a refused range
    std::atomic<int> starved;        // 1 once the demuxer gave up a track it could not read
    std::atomic<int> garbled;        // 1 once a demuxer found bytes it could make no sense of
    std::atomic<int> end_held;       // 1 while the end waits for the error that explains it, or the tracks
    std::atomic<int> natural_end;    // 1 once the media came to its natural end
    std::atomic<int> live_seen;      // 1 once the source showed itself live (a playlist that is updated)

    // The sound output that plays into nothing (sound.cpp): when the sound
    // that was handed to it has played, in libvlc_clock µs; sound_lock.
    std::atomic<int> sound_tries;  // times the output that plays into nothing was put in place
    std::atomic<int> sound_asked;  // 1 while the control loop is to put it in place
    ordered_mutex sound_lock{RANK_SOUND};
    std::condition_variable_any sound_wake;  // the sound's end moved, or the player stops
    int64_t sound_end_us;                    // 0 when nothing is to play
    int64_t sound_paused_us;                 // when paused; 0 playing
    unsigned sound_rate;                     // samples a second
    bool sound_stopping;                     // the library is to stop: nothing waits for the sound

    // What the media says about itself (meta.cpp, chapters.cpp): the last
    // lines told (control thread), and the starts (ms) of the chapters, among
    // which playback is placed, with the chapter told, index + 1 (gate_lock).
    uint64_t meta_hash, chapters_hash;
    uint64_t named_title;  // control thread: the title the library makes of the location, hashed
    int64_t chapter_ms[CHAPTERS_MAX];
    int chapter_count, told_chapter;
    bool on_device;  // gate_lock: the library said the sound goes to the device asked for

    // The host's subtitle files (subtitles.cpp), ctl_lock: their locations;
    // the one the library opens now (index + 1, 0 none) and whether a
    // subtitle stream came of it; the ids of the tracks that did.
    char subtitle_urls[SUBTITLES_MAX][LOCATION_MAX + 1];
    int subtitle_count, subtitle_opening;
    bool subtitle_found;
    int external_ids[SUBTITLES_MAX];
    int external_count;
};

// players.cpp
// The current player, control thread only. Null is no player: a generation
// that a load or stop promised and that the next line retires at once, so
// nothing is built for it.
extern player *cur;
extern std::atomic<uint64_t> generation;  // written under gate_lock
extern ordered_mutex gate_lock;

// A complete player numbered n, not yet installed; null on failure. A
// player of previews (previews) is never installed.
player *player_new(uint64_t n, bool previews = false);
// Hands p, which is not current, to the reaper, silent and paused.
void player_retire(player *p);
// Stops p, releases everything it holds and frees the record: a retired
// player on the reaper, or one that was never installed.
void player_discard(player *p);
// Installs p as cur, moves the generation gate and retires the old player;
// the old player's end state when the gate moved.
int replace_player(player *p);
// Moves the generation gate to n with no player; loaded: it stands for a
// loaded media. The old player's end state when the gate moved.
int replace_with_none(uint64_t n, bool loaded);
// Whether the host was told of media in the current generation.
bool cur_loaded();
enum { REAPERS = 3 };  // reaper threads: a stop mostly waits for the library's threads
// Stops and releases retired players, oldest first; never returns. Several
// may run, each releasing one player at a time.
void reaper_thread();
// Players retired and not yet released (for tests and diagnostics).
int reap_backlog();

struct command;

// commands.cpp
using command_handler = void (*)(const command *c, long long id);
// The handler of a command name other than quit; null when there is none.
command_handler find_handler(const char *name);
// Pushes the process-wide volume and mute to p.
void apply_sound_settings(player *p);
// Whether the host muted the sound (0 when it never said).
int sound_muted();
// Pauses (1) or plays (0) p's library, noting when a pause was asked.
void library_pause(player *p, int pause);
// Whether a command line certainly retires the current player when handled:
// a valid load, stop or quit.
int line_retires(const command *c, const char *name);

// seek.cpp: the seek machine of each player and its host client. Facts
// come from the library's threads; library calls and what is told of a
// landing are made by the control thread in seek_serve.
void cmd_seek(const command *c, long long id);
// Starts r for p on the control thread: the library is asked now, or once the
// seek in flight landed; false when one is in flight and r must wait.
bool seek_start(player *p, const seek_request *r);
// r waits its turn, in place of any that waits.
void seek_wait_turn(player *p, const seek_request *r);
// A picture of date (0: none on the library's clock) the display shows
// (video thread): its own time in *own, and what it is (VERDICT_*), with a
// landing's time in *landed_ms; *quiet for a probe's landing, which goes to
// no one; *send false when this picture goes to no one.
int seek_picture(player *p, picture_news *n, int64_t date, int64_t *own, int64_t *landed_ms, bool *send, bool *quiet);
// A probe's landing was kept back for its client (video thread).
void seek_probe_kept(player *p);
// After a told picture or a landing was shown: whether it was queued (with a
// mark it took) and its time.
void seek_sent(player *p, bool landing, uint64_t shown, int64_t ms);
// The library waited for its decoders (log thread).
void seek_waited(player *p);
// The library's input read to the end of its file (log thread).
void seek_input_ended(player *p);
// The library paused (event handler).
void seek_library_paused(player *p);
// The media paused at its end (under gate_lock); true when a seek takes it
// over, so that the end is not told now.
bool seek_at_end(player *p);
// Whether time and position reports are the library's echo of a seek under
// way, or of a paused host's library, and not told.
bool seek_hides_reports(const player *p);
// Whether a seek is under way.
bool seek_in_flight(const player *p);
// While a seek is under way, the still's lines are read anew once it is
// over (subtitles_redraw), and true; false when none is.
bool seek_redraw_after(player *p);
// Whether a seek is under way or landed a moment ago: what the source does
// then is still the seek's doing.
bool seek_recent(const player *p);
// The time (ms) of the last landing, 0 before any.
int64_t seek_landed_ms(player *p);
// The host's play (pause 0) or pause (1) while a seek is under way, which then
// carries it out; false when there is none and the library is to be told.
bool seek_pause(player *p, int pause);
// The control loop's work: library calls the machine asked for, landings to tell, deadlines.
void seek_serve(player *p);
// When the control loop must look at the seek again, 0 for never.
int64_t seek_due(player *p);
// Shutdown: nothing lands any more.
void seek_forget(player *p);
// A picture's duration for p, from its video track, else 40 ms.
int64_t frame_duration_us(const player *p);
// The paused host's still was drawn again by the library (other subtitles):
// true when that is the host's still and no seek is under way; a paused
// host's landing drawn again while its seek settles is sent once settled.
bool seek_still_redrawn(player *p);
// The host's seek client: its landing told, and the seek that waited its turn asked.
void host_landed(player *p);
void host_serve(player *p);

// start.cpp: the start position of a load, once its first full buffering arrived.
void apply_start_pos(player *p);
void start_landed(player *p);

// steps.cpp: picture steps for a paused host.
// The picture step of command id, forward or back: a seek to the next or
// previous picture. False when there is no picture to step from.
bool seek_step(player *p, long long id, bool back);
// The control loop's turn for a step that waits (seek_lock not held).
void steps_serve(player *p);
// A step's seek landed: told, or looked further from.
void step_landed(player *p);

// loops.cpp: a loop's return to the start.
// The media paused at its end and is to play again from its start (under
// gate_lock); false when it cannot seek, and ends instead.
bool seek_loop(player *p);
// The control loop's turn for a loop's return (seek_lock not held).
void loops_serve(player *p);
void loop_landed(player *p);

// preview.cpp: scrub previews, made by a second player of the current load.
void cmd_preview(const command *c, long long id);
// An event of a player of previews p (gate_lock held), heard at that instant:
// facts for its seek machine.
void preview_event(player *p, const libvlc_event_t *ev, int64_t heard);
// A preview's landing was taken by its client: its picture sent, and told.
void preview_landed(player *p);
// The control loop's turn for the previews of the load p, with the pending
// bits taken from its player of previews.
void preview_serve(player *p, int flags);
// When the control loop must look at the previews of p again; 0 never.
int64_t preview_due(const player *p);
// The pending bits of p's players of previews, taken when take; ctl_lock held.
int preview_pending(player *p, bool take);
// Closes the players of previews of p, if any.
void preview_close(player *p);
// seek.cpp: the machine's news of the demuxer's key frame (log thread).
void seek_key_frame(player *p, double before_ms);
// ... of its edit list's shift of decoding times (log thread).
void seek_edit_shift(player *p, double shift_ms);
// The request that waits its turn on p is dropped.
void seek_drop_waiting(player *p);

// tracks.cpp
// Reports the tracks and sound state of p; with settled_only, false without
// a report while the media's streams lag behind its tracks.
bool report_tracks(player *p, bool settled_only = false);
// The streams of p changed (or it began to play): its sound settings and
// subtitle choice go to the player now, the report once the streams settle.
void want_tracks(player *p);
// Makes the report want_tracks asked for when the streams have settled, or
// at once (now) at the end of the load; then nothing more is due.
void settle_tracks(player *p, bool now);
// Reports streams the log named as undecodable, then the tracks.
void check_codecs(player *p);
// At the end of p's media: one error when no stream could be played.
void check_ended(player *p);
// Whether the video decoder may show as its first picture after a seek one it
// decoded well before the place (AV1's shows pictures it was to skip).
bool first_picture_unsure(player *p);

// logs.cpp
// Tells the one error of p, classified from its stored log lines.
void report_error(player *p);
// Tells the one error of p for a known problem, with a codec FourCC or null.
void report_problem(player *p, problem what, const char *fourcc);
// The problem of the error lines stored for p.
problem stored_problem(player *p);
// The generation switched (gate_lock held): the lines of the old one dropped
// are told now, before anything the switch tells.
void logs_switched();

// ending.cpp: the end of a load, and the order of what it tells.
// Serves the end's pending bits of p in their order (control thread).
void serve_end(player *p, int flags);
// The media ended or stopped: a seek in flight will never land, and a video
// format negotiation still going on has failed; gate_lock held.
void playback_over(player *p);
// The end, told once (or held); false when it was reached before. gate_lock held.
bool reach_end(player *p);
// The end of the media: the end, then the stop that the library makes after
// it; a looping load plays again from its start instead. gate_lock held.
void ended(player *p);
// Tells the end of p (gate_lock held); at its natural end with the time and
// position of its length first.
void tell_ending(player *p);
// The media of p came to its end (the library paused there): told as the end
// and the stop that follows it.
void report_end(player *p);
// Tells the end that p held back, after the error that explains a lost
// source, or after the tracks of a load that ended before they were told.
void report_held_end(player *p);
// Tells the stopped that the library's Stopped left to the control loop, so
// that it follows every error report of p's load.
void report_stopped(player *p);
// A time report within this of the last one told is not told.
const int64_t THROTTLE_MS = 250;

// events.cpp: the media-player event handler, attached to every player.
void on_event(const libvlc_event_t *ev, void *opaque) noexcept;
// Tells the host where p landed, as time and position; gate_lock held.
void report_place(player *p, int64_t ms);
// Tells the host the play state it asked for, when the library is in it.
void report_play_state(player *p);
// p cannot seek after all, whatever the library said: told once.
void mark_unseekable(player *p);

// video.cpp: registers the decoder's video callbacks of p, and keeps its picture times.
void video_attach(player *p);
// The load's first picture is at start_us of the media.
void times_start(player *p, int64_t start_us);
// The library waited for its decoders at the instant at: the place own_us of
// the media shows a moment later, at the library's own allowance.
void times_wait(player *p, int64_t own_us, int64_t at);
// The own time of a picture of date (0: none), new or shown again; false
// when the times cannot tell it.
bool times_of(player *p, bool fresh, int64_t date, int64_t *own);
// own_us on the grid of p's pictures when near it (times_lock taken).
int64_t times_on_grid(player *p, int64_t own_us);
// A library seek was asked: nothing of the place before holds.
void times_reset(player *p);
// The library plays again, since the instant at, after the pause it last
// said (event handler).
void times_resumed(player *p, int64_t at);
// The dates run at the speed r from the last picture on.
void times_rate(player *p, double r);
// The own time (µs) of the last new picture: the host's still while paused.
int64_t times_last(player *p);
// How far the library's times run ahead of the pictures, ms (MPEG-TS: the
// muxer's delay; the sound's codec delay in some): -1 while the start's
// pictures are measuring it, 0 none or not yet known.
int64_t times_lead_ms(player *p);
// The lead of a demuxer whose clock stands off its pictures (MPEG-TS), ms,
// by which a time asked of the library and the length are moved; 0 until
// known, and 0 for a lead the library's reports alone show (AVI's): theirs.
int64_t times_clock_lead_ms(player *p);
// The library reported its time library_ms (event handler): the lead as
// times_lead_ms, measured from the report when the pictures cannot tell it.
int64_t times_report(player *p, int64_t library_ms);
// p's demuxer's clock may stand off its pictures: it is measured.
void times_may_lead(player *p);
// Whether p's demuxer is one whose clock is measured (MPEG-TS): its seeks
// start at the first key frame from where it is asked.
bool times_measured(player *p);

// sound.cpp: the sound output of a machine without one.
// The library could not open a sound output for p (any thread): the control
// loop gives it one that plays into nothing, in real time.
void sound_lost(player *p);
// Serves PEND_SOUND: p's next sound goes to the output that plays into nothing.
void sound_serve(player *p);
// Before the library stops p: the end of its sound is waited for no longer.
void sound_stop(player *p);

// logs.cpp: the library's log callback of every player's instance.
void on_log(void *data, int level, const libvlc_log_t *ctx, const char *fmt, va_list args) noexcept;
// One line of p's library as on_log gets it, with the type of the object
// that logged it (null when unknown).
void library_line(player *p, int level, const char *object, const char *fmt, va_list args);
// One formatted line of p's library at level, logged by an object of type
// object (null when unknown): stored, held or forwarded.
void take_line(player *p, int level, const char *object, const char *message);
// The video format negotiation of p is over: agreed drops its held lines,
// failed forwards them as the errors they are.
void negotiation_over(player *p, bool agreed);

// watch.cpp: the source's watch. A load that stalls is told buffering, one
// that delivers nothing for its timeout ends in an error, and a network load
// never reaches a local file.
enum { TIMEOUT_DEFAULT_MS = 20000 };
// Arms the watch of a new player for its location: nothing delivered yet,
// timeout in ms (0 never).
void watch_start(player *p, int64_t timeout_ms, const char *url);
// The source of p delivered (under gate_lock): a stall told ends with buffering 100.
void watch_moved(player *p);
// Playback of p started or resumed (under gate_lock): the watch runs from now.
void watch_resumed(player *p);
// The next instant (monotonic µs) the control loop must look at p's watch;
// 0 when there is nothing to watch. Reads atomics only: any lock may be held.
int64_t watch_due(const player *p);
// The control loop's look at p: tells a stall, ends a load that timed out.
void watch_check(player *p);
// Serves PEND_WATCH for p: a denial, a source that cannot seek.
void watch_serve(player *p);
// A line of p's library that may be a row of the watch's (words.h): evidence
// of a redirect, the source made, a (re)connection and its answer, a refused
// range, a cut, a track that could not be read, a live playlist. fmt is its
// format, text its formatted form. Library threads.
void watch_line(player *p, int level, const char *object, const char *fmt, const char *text);
// Whether an event of this type of p may be told (under gate_lock): not when
// a network load shows what its source holds before the library made a
// network access for it; the load is then denied.
bool watch_admits(player *p, int type);
// A live source: the host said so, or its playlist is updated while it plays.
bool is_live(const player *p);
// True for a time report (under gate_lock) that steps back from where a seek
// landed: the segment a stream restarts from while it skips to the target.
bool time_behind_landing(player *p, int64_t t);
// The problem of a lost source, once known; false while there is none.
bool lost_problem(const player *p, problem *what);

// meta.cpp: what the media says about itself.
// Attaches to the events of p's media before it plays: a change of its meta
// raises PEND_META.
void meta_attach(player *p);
// Tells p's meta, and its chapters, when they changed (control loop).
void report_meta(player *p);

// chapters.cpp
void cmd_chapter(const command *c, long long id);
// Tells p's chapters when they changed, and keeps their starts (control loop).
void report_chapters(player *p);
// Playback of p is at t (ms), told or landed (gate_lock held): the chapter
// it entered is told.
void chapter_at(player *p, int64_t t);

// subtitles.cpp: the host's subtitle files.
void cmd_add_subtitles(const command *c, long long id);
void cmd_spu_delay(const command *c, long long id);
// Adds the load's subtitle file at url to p before it plays, selected or not.
void subtitles_load(player *p, const char *url, bool select);
// The paused still drawn again with the subtitles now chosen (control thread).
void subtitles_redraw(player *p);
// A line of p's library that may tell of a subtitle file it opens (library
// threads): one that yields no subtitle stream is told unreadable.
void subtitles_line(player *p, int level, const char *object, const char *fmt, const char *text);
// A stream of this libvlc track type and id was added to p (under gate_lock).
void subtitles_stream(player *p, int type, int id);
// Whether the library opens one of the host's subtitle files for p now: what
// it reads then is the host's choice, not the source's.
bool subtitles_opening(player *p);
// Whether subtitle track id of p came from a file the host added.
bool subtitles_external(player *p, int id);

// devices.cpp: the sound devices, process-wide like the volume.
void cmd_devices(const command *c, long long id);
void cmd_audio_device(const command *c, long long id);
// Sends the sound of p, before it plays, to the device asked for.
void device_apply(player *p);
// The library says p's sound now goes to device (under gate_lock): when it
// is not the one asked for, that one went away, and the host is told.
void device_reported(player *p, const char *device);

// control.cpp
extern ordered_mutex ctl_lock;
extern std::condition_variable_any &ctl_wake;
extern std::atomic<int> ready_told;
extern uint32_t max_w, max_h;
extern int32_t verbosity;
extern int32_t pixel_layout;  // PIXELS_* of every picture sent

// Raises pending bits on p and wakes the control loop.
void raise_pending(player *p, int bits);
// Frames standard input into lines for the control loop; ends at end of input.
void reader_thread();
// True when the line after the one being handled certainly retires cur: a
// player built now would be torn down at once.
bool next_retires();
// Shutdown for a termination signal: nothing more is printed, the player is
// stopped, and the process ends with 128 + signo within 1.5 s.
void leave_on_signal(int signo);
// Runs commands and pending work until quit or end of input; never returns.
[[noreturn]] void control_loop();
// Monotonic clock in microseconds.
int64_t now_us();
