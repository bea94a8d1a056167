// The engine's main unit: the player record, the current player and its
// generation, the control loop's pending bits, the lock order, and the
// functions its files call in each other, grouped by file.
#pragma once

#include "failures.h"
#include "frames.h"
#include "locks.h"
#include "tell.h"

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
//   ctl_lock    the line queue, every player's pending bits, seek numbers,
//               log stores and held lines (control.cpp)
//   clock_lock  a player's: its picture clock (video.cpp)
//   rate_lock   the log forwarding window (logs.cpp)
//   pool_lock   the picture pools, the frame queue and the frame pipe (frames.cpp)
//   out_lock    standard output (json.cpp)
//   reap_lock   the reap queue; taken alone (players.cpp)
// For instance the display callback takes video_lock, then gate_lock to tell
// a format; a time report takes gate_lock, then ctl_lock for a landing, which
// takes clock_lock to restart the clock.

enum {
    PEND_TRACKS = 0x01,
    PEND_LANDED = 0x02,
    PEND_START_POS = 0x04,
    PEND_ERROR = 0x08,
    PEND_CODECS = 0x10,
    PEND_ENDED = 0x20,    // the end was reached: was there anything to play?
    PEND_STOPPED = 0x40,  // the library stopped: told after any error of the load
    PEND_WATCH = 0x80,    // the source's watch has news: a resume, a denial, a lost connection
};

// seek_state: the kind in its low two bits, the seek's number above them, so
// that a test of one seek can never pass for a later one of the same kind.
enum { SEEK_NONE = 0, SEEK_BY_TIME = 1, SEEK_BY_POS = 2, SEEK_KIND = 3 };
inline int seek_kind(int state) { return state & SEEK_KIND; }
inline int seek_id(int state) { return state & ~SEEK_KIND; }

// How far the library has come with a seek: it answers at once with the
// target as its time, so only a refill of its buffers after the request
// shows that playback moved.
enum { SEEK_ASKED = 0, SEEK_EMPTIED = 1, SEEK_REFILLED = 2 };

// end_state: running, end reached, stopped and told, stopped but not yet told.
enum { END_NONE = 0, END_REACHED = 1, END_STOPPED = 2, END_STOP_HELD = 3 };

enum { BAD_CODECS = 8, LOG_RING = 8, LOG_LINE_BYTES = 512, HELD_LINES = 8 };

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

    // Playback as the library reports it (atomics, written by the event handler).
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

    // The seek in flight (seek.cpp). Atomics hand it between the control
    // thread and the event handler; its number is decided under ctl_lock.
    std::atomic<int> seek_state;        // kind | id, SEEK_NONE when none is in flight
    std::atomic<int> seek_phase;        // id | SEEK_ASKED..SEEK_REFILLED of the seek in flight
    std::atomic<int64_t> refill_at_us;  // monotonic instant the seek's buffers refilled
    std::atomic<double> seek_target;
    std::atomic<double> seek_origin;
    std::atomic<int64_t> landed_ms;
    // Non-zero while the next picture sent is to carry FRAME_LANDED: the id
    // of the seek it lands, so the frame pipe tells one landing from the next.
    std::atomic<int> mark_frame;
    int64_t seek_deadline_us;  // control thread

    // Work for the control loop and the library's lines kept for it: ctl_lock.
    int pending;
    int seek_issued;  // id of the latest seek; only its landing is told
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
    int tracks_told;          // 1 once a tracks report was printed
    int tracks_retries;       // reports asked again for lagging streams
    int64_t tracks_due_us;    // monotonic time of the report asked for, 0 none
    int64_t tracks_burst_us;  // when the streams began to change
    uint64_t tracks_hash;     // of the last tracks line printed, 0 none
    uint64_t told_line;       // rate_lock: hash of the last log line forwarded, 0 none

    // What the host was told by the event handler: gate_lock. A repeat of
    // length, seekable or pausable is not told again.
    int64_t last_time_ms;
    int64_t last_position_us;
    int64_t last_buffering_us;
    int length_told;
    int64_t told_length_ms;
    int told_seekable;     // 0 none, 1 false, 2 true
    int told_pausable;     // 0 none, 1 false, 2 true
    double told_position;  // the last position told of a live source
    int64_t behind_of;     // the landing whose late times are counted
    int behind_count;      // times before that landing passed over

    // The picture clock (video.cpp): the playback time of the last time
    // report, resume or landing, run on by the display while playing.
    ordered_mutex clock_lock{RANK_CLOCK};
    int64_t clock_base_us;   // playback time at clock_stamp_us; the start time before any picture
    int64_t clock_stamp_us;  // monotonic; 0 until a picture is shown, and again after a landing
    int64_t clock_last_us;   // the last time given to a picture

    // The video format in use and what the host was told of it (video.cpp).
    ordered_mutex video_lock{RANK_VIDEO};
    unsigned fmt_proposed_w, fmt_proposed_h;  // the library's size, before fitting
    unsigned fmt_w, fmt_h;                    // the pool's size
    double fmt_sar;
    int fmt_settled;          // 1 once the sar makes the picture its true shape
    int fmt_checks;           // track list lookups since the format began
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
    std::atomic<int> end_held;       // 1 while the end waits for the error that explains it
    std::atomic<int> live_seen;      // 1 once the source showed itself live (a playlist that is updated)
};

// players.cpp
// The current player, control thread only. Null is no player: a generation
// that a load or stop promised and that the next line retires at once, so
// nothing is built for it.
extern player *cur;
extern std::atomic<uint64_t> generation;  // written under gate_lock
extern ordered_mutex gate_lock;

// A complete player numbered n, not yet installed; null on failure.
player *player_new(uint64_t n);
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
// Whether a command line certainly retires the current player when handled:
// a valid load, stop or quit.
int line_retires(const command *c, const char *name);

// seek.cpp
// True when v lies at least as close to the target as to the origin.
bool landed(double v, double origin, double target);
// The same for p's seek by time at playback time t: playing, the target has
// run on since the buffers refilled, so a short seek back still lands.
bool landed_at(const player *p, int64_t t);
// Records the landing at t of p's seek whose state was `state`; the caller won
// the swap of seek_state. A seek that a later one replaced meanwhile is not told.
void land(player *p, int64_t t, int state);
void cmd_seek(const command *c, long long id);
// The control loop's landing checks while a seek of p is in flight.
void check_landing(player *p);
// Applies p's start position once the first full buffering arrived.
void apply_start_pos(player *p);
// Tells p's landing.
void report_landing(player *p);

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

// logs.cpp
// Tells the one error of p, classified from its stored log lines.
void report_error(player *p);
// Tells the one error of p for a known problem, with a codec FourCC or null.
void report_problem(player *p, problem what, const char *fourcc);
// The problem of the error lines stored for p.
problem stored_problem(player *p);

// events.cpp: the media-player event handler, attached to every player.
void on_event(const libvlc_event_t *ev, void *opaque) noexcept;
// Tells the stopped that the library's Stopped left to the control loop, so
// that it follows every error report of p's load.
void report_stopped(player *p);
// p cannot seek after all, whatever the library said: told once.
void mark_unseekable(player *p);

// video.cpp: registers the decoder's video callbacks of p.
void video_attach(player *p);
// The picture clock of p restarts from playback time t (ms) at a time
// report, but while paused.
void clock_report(player *p, int64_t t);
// At a seek's refill and landing the clock restarts from t with the next
// picture shown, and forgets where it was; when it already runs from t, it
// goes on. The playback time (ms) it then stands for.
int64_t clock_land(player *p, int64_t t);
// The picture clock stops at a pause and runs on from there at a resume.
void clock_hold(player *p);
void clock_resume(player *p);
// The playback time (µs) of the picture shown now: the clock run on, capped,
// never back by less than a second but after a landing. The first picture of
// a load, and the first after a seek's refill, start the clock.
int64_t clock_read(player *p);

// logs.cpp: the library's log callback of every player's instance.
void on_log(void *data, int level, const libvlc_log_t *ctx, const char *fmt, va_list args) noexcept;
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
// Tells the end that p's lost source held back, after the error that explains it.
void report_held_end(player *p);

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
