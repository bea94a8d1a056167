// The control loop: the only consumer of command lines (queued by the stdin
// reader thread) and of the pending bits that the library's threads raise on
// the current player. Everything that calls into the library for playback
// control runs here, on the main thread, with no engine lock held. Shutdown
// starts here too, or out of turn from the reader and signal threads.
#include "engine.h"
#include "failures.h"
#include "json.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

ordered_mutex ctl_lock{RANK_CTL};  // the line queue, stdin_done and every player's pending bits
// Never destroyed: threads may still wait on it when the process exits.
std::condition_variable_any &ctl_wake = *new std::condition_variable_any;
std::atomic<int> ready_told{0};       // set once the ready line is out
uint32_t max_w = 1920, max_h = 1080;  // set by the arguments before any thread starts
int32_t verbosity = 0;
int32_t pixel_layout = PIXELS_BGRX;  // set by the arguments before any thread starts

namespace {

enum {
    READ_CHUNK = 65536,
    LINE_HEAD = 512,       // what is kept of a line over the bound, for its log line
    SPARE_BUFFER = 65536,  // the line buffer is given back after a line longer than this
};

// One queued line of standard input, allocated in one block with its text,
// parsed by the reader so that it can see quit and look ahead for the loop.
struct line {
    line *next;
    command cmd;       // parsed entries; released with the line
    long long id;      // when name is set
    const char *name;  // the cmd string inside cmd; null when not a command
    int retires;       // handling it certainly retires the current player
    int too_long;      // text holds only the head of a line over the bound
    size_t len;        // bytes of text, NULs included
    char *text;        // points just past the record, NUL-terminated
};

line *lines_head;  // ctl_lock
line *lines_tail;  // ctl_lock
int stdin_done;    // ctl_lock
int signalled;     // ctl_lock: a termination signal arrived

// Exit status once shutdown has begun, -1 before; the first cause sets it.
std::atomic<int> leave_status{-1};

// A command waits for two wake-ups, the reader's and then the control
// thread's, each behind whatever else runs: during playback, the decoder's
// threads. Both threads only ever run briefly, so they ask for a short time
// slice, which lets them preempt at wake-up (kernels from 6.12 on). Threads
// they start keep the default. An engine that the host placed in another
// policy, or raised above the default priority (which the reset at thread
// start would take from the library's threads), is left as it is; a kernel
// that does not know the request ignores or refuses it, and nothing changes.
void ask_short_slice() {
    struct {  // the kernel's sched_attr, first version
        uint32_t size, sched_policy;
        uint64_t sched_flags;
        int32_t sched_nice;
        uint32_t sched_priority;
        uint64_t sched_runtime, sched_deadline, sched_period;
    } a{};
    if (syscall(SYS_sched_getattr, 0, &a, sizeof a, 0) != 0 || a.sched_policy != SCHED_OTHER || a.sched_nice < 0)
        return;
    a.size = sizeof a;
    a.sched_flags = 0x01;      // SCHED_FLAG_RESET_ON_FORK, and nothing else this version carries
    a.sched_runtime = 100000;  // ns; the kernel's shortest
    syscall(SYS_sched_setattr, 0, &a, 0);
}

[[noreturn]] void quit_watchdog() {
    pthread_setname_np(pthread_self(), "vx-watchdog");
    // 1.4 s, so that with the time to notice the line and to tear the
    // process down the engine is gone within 1.5 s of quit or end of input.
    struct timespec t = {1, 400000000};
    while (nanosleep(&t, &t) == -1 && errno == EINTR) {
    }
    // The system call itself: tools that wrap _exit (ThreadSanitizer) flush
    // standard output first, which blocks on a host that no longer reads.
    syscall(SYS_exit_group, leave_status.load());
    _exit(leave_status.load());
}

// Begins shutdown with the given exit status, unless it has begun already:
// the process ends 1.5 s after the first cause whatever blocks then. False
// when no watchdog runs.
bool start_watchdog(int status) {
    static std::once_flag once;
    static bool running;  // written once, under once
    int none = -1;
    leave_status.compare_exchange_strong(none, status);
    std::call_once(once, [] {
        try {
            std::thread(quit_watchdog).detach();
            running = true;
        } catch (...) {
            running = false;
        }
    });
    return running;
}

// Parses a line's text: a command has an integral numeric id and a string cmd.
void classify(line *l, bool has_nul) {
    l->cmd.count = 0;
    l->name = nullptr;
    l->retires = 0;
    if (has_nul || l->too_long || parse_command(l->text, &l->cmd) != 0)
        return;
    const entry *id = field(&l->cmd, "id", KIND_NUMBER);
    const entry *name = field(&l->cmd, "cmd", KIND_STRING);
    if (!id || id->number != floor(id->number) || !name)
        return;
    l->id = clamp_int64(id->number);
    l->name = name->string;
    l->retires = line_retires(&l->cmd, name->string);
}

// A queued line for the first len bytes of text (the head only when too
// long); null when memory is short, and the line is lost as if never sent.
line *make_line(const char *text, size_t len, bool has_nul, bool too_long) {
    if (too_long && len > LINE_HEAD)
        len = LINE_HEAD;
    line *l = static_cast<line *>(malloc(sizeof(line) + len + 1));
    if (!l)
        return nullptr;
    l->next = nullptr;
    l->text = reinterpret_cast<char *>(l + 1);
    memcpy(l->text, text, len);
    l->text[len] = 0;
    l->len = len;
    l->too_long = too_long;
    classify(l, has_nul);
    return l;
}

void free_line(line *l) {
    command_free(&l->cmd);
    free(l);
}

bool is_quit(const line *l) { return l->name && strcmp(l->name, "quit") == 0; }

// Appends the lines of one read to the queue at once, so that the loop's
// look-ahead sees a burst whole; ended marks the end of input.
void queue_lines(line *first, line *last, bool ended) {
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    if (first) {
        if (lines_tail)
            lines_tail->next = first;
        else
            lines_head = first;
        lines_tail = last;
    }
    if (ended)
        stdin_done = 1;
    ctl_wake.notify_one();
}

// Shuts the engine down; the ack of quit_id is the last line printed when
// acked, else nothing more is printed. The watchdog runs first: whatever
// blocks after it (a host that no longer reads, a library thread stalled while
// it holds the output, a stop that never returns) the process ends in 1.5 s.
[[noreturn]] void finish(long long quit_id, bool acked) {
    bool watched = start_watchdog(0);
    if (acked)
        tell_quit_ack(quit_id);
    else
        tell_nothing_more();
    if (player *p = cur) {
        seek_forget(p);
        if (p->media && watched) {
            sound_stop(p);
            libvlc_media_player_stop(p->mp);
        }
    }
    fflush(stdout);
    _exit(leave_status.load());
}

// Checks and dispatches one line; returns only when the engine goes on.
void handle_line(line *l) {
    if (!l->name) {
        // The host's own line, but a log line all the same: no password in it.
        static char shown[4096];  // control thread only
        size_t len = mask_secrets(l->text, std::min(l->len, sizeof shown - 1), shown, sizeof shown);
        tell_refusal(l->too_long ? REFUSED_LINE_TOO_LONG : REFUSED_NOT_A_COMMAND, shown, len);
        return;
    }
    if (is_quit(l)) {
        // Nothing follows the ack, not even the events of the stop.
        finish(l->id, true);
    }
    const command_handler h = find_handler(l->name);
    if (h)
        h(&l->cmd, l->id);
    else
        tell_ack(l->id, false);
}

// Serves the pending bits of p in their fixed order.
void serve_pending(player *p, int flags) {
    if (flags & PEND_START_POS)
        apply_start_pos(p);
    if (flags & PEND_SEEK)
        seek_serve(p);
    if (flags & PEND_CODECS)
        check_codecs(p);
    else if ((flags & PEND_TRACKS) && (p->end_state.load() == END_NONE || !p->tracks_told))
        want_tracks(p);
    // A load that played at all is told its tracks, however soon it ended;
    // the streams that an ended load takes down are no news.
    if (p->tracks_due_us && (p->end_state.load() != END_NONE || (flags & (PEND_ERROR | PEND_ENDED | PEND_STOPPED)))) {
        if (p->tracks_told)
            p->tracks_due_us = 0;
        else
            settle_tracks(p, true);
    }
    if (flags & PEND_META)
        report_meta(p);
    if (flags & PEND_SOUND)
        sound_serve(p);
    if (flags & PEND_WATCH)
        watch_serve(p);
    serve_end(p, flags);  // the error, the end and the stop, last and in their order
}

// When the loop must look at p again though nothing wakes it, 0 for never:
// a seek in flight at its deadline, a tracks report
// when the streams may have settled, the source's watch while a load plays or
// opens (idle, ended or paused, nothing ticks). A null p: never.
int64_t next_due(player *p) {
    if (!p)
        return 0;
    int64_t due = watch_due(p);
    if (int64_t seek = seek_due(p); seek && (!due || seek < due))
        due = seek;
    if (int64_t preview = preview_due(p); preview && (!due || preview < due))
        due = preview;
    if (p->tracks_due_us && (!due || p->tracks_due_us < due))
        due = p->tracks_due_us;
    return due;
}

}  // namespace

int64_t now_us() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void raise_pending(player *p, int bits) {
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    p->pending |= bits;
    ctl_wake.notify_one();
}

bool next_retires() {
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    if (lines_head)
        return lines_head->retires;
    return stdin_done || signalled;
}

void leave_on_signal(int signo) {
    start_watchdog(128 + signo);
    {
        std::lock_guard<ordered_mutex> hold(ctl_lock);
        signalled = 1;
        ctl_wake.notify_one();
    }
    tell_nothing_more();
}

void reader_thread() {
    pthread_setname_np(pthread_self(), "vx-reader");
    ask_short_slice();
    static char chunk[READ_CHUNK];  // this thread only
    size_t len = 0;
    char *buf = static_cast<char *>(malloc(4096));
    size_t cap = buf ? 4096 : 0;
    bool has_nul = false, too_long = false, ended = false;
    while (!ended) {
        ssize_t n = read(0, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Made non-blocking again behind our back: wait for input.
            struct pollfd p = {0, POLLIN, 0};
            poll(&p, 1, -1);
            continue;
        }
        line *first = nullptr, *last = nullptr;
        bool quit = false;
        const char *p = chunk, *end = chunk + (n > 0 ? n : 0);
        ended = n <= 0;
        while (p < end || (ended && (len > 0 || too_long))) {
            const char *lf = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
            const char *stop = lf ? lf : end;
            size_t k = size_t(stop - p), room = LINE_MAX_BYTES - len;
            if (k > room) {
                too_long = true;  // the rest is counted out, never held
                k = room;
            }
            if (len + k + 1 > cap) {
                size_t want = cap ? cap : 4096;
                while (want < len + k + 1)
                    want *= 2;
                char *bigger = static_cast<char *>(realloc(buf, want));
                if (bigger) {
                    buf = bigger;
                    cap = want;
                } else {
                    too_long = true;  // no memory for it: refused like an overlong line
                    k = cap > len + 1 ? cap - len - 1 : 0;
                }
            }
            if (buf && k > 0) {
                has_nul = has_nul || memchr(p, 0, k) != nullptr;
                memcpy(buf + len, p, k);
                len += k;
            }
            p = stop;
            if (!lf && !ended)
                break;  // the line goes on in the next read
            if (lf)
                p++;
            if (len > 0 || too_long) {
                line *l = make_line(buf ? buf : "", len, has_nul, too_long);
                if (l) {
                    (last ? last->next : first) = l;
                    last = l;
                    quit = is_quit(l);
                }
            }
            len = 0;
            has_nul = too_long = false;
            if (cap > SPARE_BUFFER) {
                free(buf);
                buf = static_cast<char *>(malloc(4096));
                cap = buf ? 4096 : 0;
            }
            if (quit || !lf)
                break;
        }
        // quit and the end of input end the engine out of turn: the loop
        // may be stuck on a host that no longer reads, and the watchdog
        // bounds it. Lines after quit are never handled, so none is read.
        ended = ended || quit;
        if (ended)
            start_watchdog(0);
        queue_lines(first, last, ended);
    }
    free(buf);
}

void control_loop() {
    ask_short_slice();
    for (;;) {
        int flags = 0, preview_flags = 0;
        line *taken = nullptr;
        bool input_ended, stop_now;
        player *p = cur;  // only this thread replaces it
        {
            std::unique_lock<ordered_mutex> hold(ctl_lock);
            for (;;) {
                if ((p && (p->pending || preview_pending(p, false))) || lines_head || stdin_done || signalled)
                    break;
                int64_t due = next_due(p);
                if (!due) {
                    ctl_wake.wait(hold);
                    continue;
                }
                // The steady clock keeps wall-clock jumps out.
                int64_t remaining = due - now_us();
                if (remaining <= 0)
                    break;
                auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(remaining);
                if (ctl_wake.wait_until(hold, until) == std::cv_status::timeout)
                    break;
            }
            stop_now = signalled;
            if (p) {
                flags = p->pending;
                p->pending = 0;
                preview_flags = preview_pending(p, true);
            }
            if (lines_head && !stop_now) {
                taken = lines_head;
                lines_head = taken->next;
                if (!lines_head)
                    lines_tail = nullptr;
            }
            input_ended = !taken && stdin_done;
        }
        if (stop_now)
            finish(0, false);  // a signal: like the end of input, but at once

        if (p) {
            if (int64_t due = seek_due(p); due && now_us() >= due)
                seek_serve(p);
            watch_check(p);
            if (flags)
                serve_pending(p, flags);
            if (p->tracks_due_us && now_us() >= p->tracks_due_us)
                settle_tracks(p, false);
            preview_serve(p, preview_flags);
        }
        if (taken) {
            handle_line(taken);
            free_line(taken);
        } else if (!flags && input_ended) {
            finish(0, false);  // the end of input is answered with silence
        }
    }
}
