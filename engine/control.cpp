// The control loop: the only consumer of command lines (queued by the stdin
// reader thread) and of the pending bits that the library's threads raise on
// the current player. Everything that calls into the library for playback
// control runs here, on the main thread, with no engine lock held.
#include "engine.h"
#include "json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <thread>
#include <unistd.h>

std::mutex ctl_lock;  // the line queue, stdin_done and every player's pending bits
// Never destroyed: threads may still wait on it when the process exits.
std::condition_variable &ctl_wake = *new std::condition_variable;
std::atomic<int> ready_told{0};  // set once the ready line is out
uint32_t max_w = 1920, max_h = 1080;  // set by the arguments before any thread starts
int32_t verbosity = 0;

namespace {

// One queued line of standard input, allocated in one block with its text.
struct line {
    line *next;
    char *text;  // points just past the record
};

line *lines_head;  // ctl_lock
line *lines_tail;  // ctl_lock
int stdin_done;    // ctl_lock

command cmd;  // control thread: reused for every line

void queue_line(const char *text, size_t len) {
    line *l = static_cast<line *>(malloc(sizeof(line) + len + 1));
    if (!l)
        return;  // out of memory: the line is lost, as if never sent
    l->text = reinterpret_cast<char *>(l + 1);
    memcpy(l->text, text, len);
    l->text[len] = 0;
    l->next = nullptr;
    std::lock_guard<std::mutex> hold(ctl_lock);
    if (lines_tail)
        lines_tail->next = l;
    else
        lines_head = l;
    lines_tail = l;
    ctl_wake.notify_one();
}

[[noreturn]] void quit_watchdog() {
    pthread_setname_np(pthread_self(), "vx-watchdog");
    struct timespec t = {1, 500000000};
    while (nanosleep(&t, &t) == -1 && errno == EINTR) {
    }
    _exit(0);
}

// Shuts the engine down; the ack of quit_id is the last line printed when
// acked, else nothing more is printed. The watchdog starts first: whatever blocks
// after it (a host that no longer reads, a library thread stalled while it
// holds the output, a stop that never returns) the process ends in 1.5 s.
[[noreturn]] void finish(long long quit_id, bool acked) {
    bool watched = true;
    try {
        std::thread(quit_watchdog).detach();
    } catch (...) {
        watched = false;  // nothing bounds a hanging stop: skip it
    }
    if (acked)
        emit_final("{\"type\":\"ack\",\"id\":%lld,\"ok\":true}", quit_id);
    else
        emit_close();
    cur->seek_state.exchange(SEEK_NONE);
    if (cur->media && watched)
        libvlc_media_player_stop(cur->mp);
    fflush(stdout);
    _exit(0);
}

// Parses, checks and dispatches one line; returns only when the engine goes on.
void handle_line(const char *text) {
    const entry *id = nullptr;
    const entry *name = nullptr;
    if (parse_command(text, &cmd) == 0) {
        id = field(&cmd, "id", KIND_NUMBER);
        if (id && id->number != floor(id->number))
            id = nullptr;
        name = field(&cmd, "cmd", KIND_STRING);
    }
    if (!id || !name) {
        char esc[300];
        json_esc(esc, sizeof esc, text);
        emit("{\"type\":\"log\",\"message\":\"not a command: %s\"}", esc);
        command_free(&cmd);
        return;
    }
    long long n = clamp_int64(id->number);
    if (strcmp(name->string, "quit") == 0) {
        // Nothing follows the ack, not even the events of the stop.
        finish(n, true);
    }
    const command_handler h = find_handler(name->string);
    if (h)
        h(&cmd, n);
    else
        ack(n, false);
    command_free(&cmd);
}

// Serves the pending bits of cur in their fixed order.
void serve_pending(int flags) {
    if (flags & PEND_START_POS)
        apply_start_pos();
    if (flags & PEND_LANDED)
        tell_landed();
    if (flags & PEND_CODECS)
        check_codecs();
    else if ((flags & PEND_TRACKS) && (cur->end_state.load() == END_NONE || !cur->tracks_told))
        tell_tracks();  // a load that played at all is told its tracks, however soon it ended
    if (flags & PEND_ERROR)
        tell_error();
    if (flags & PEND_ENDED)
        check_ended();
    if (flags & PEND_STOPPED)
        tell_stopped();
}

}  // namespace

int64_t now_us() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void raise_pending(player *p, int bits) {
    std::lock_guard<std::mutex> hold(ctl_lock);
    p->pending |= bits;
    ctl_wake.notify_one();
}

void reader_thread() {
    pthread_setname_np(pthread_self(), "vx-reader");
    size_t cap = 4096, len = 0;
    char *buf = static_cast<char *>(malloc(cap));
    for (;;) {
        int c = getc(stdin);
        if (c != '\n' && c != EOF) {
            if (len + 1 == cap) {
                char *bigger = buf ? static_cast<char *>(realloc(buf, cap * 2)) : nullptr;
                if (!bigger)
                    continue;  // out of memory: the rest of this line is lost
                buf = bigger;
                cap *= 2;
            }
            if (buf)
                buf[len++] = char(c);
            continue;
        }
        if (len > 0)
            queue_line(buf, len);
        len = 0;
        if (c == EOF)
            break;
    }
    {
        std::lock_guard<std::mutex> hold(ctl_lock);
        stdin_done = 1;
        ctl_wake.notify_one();
    }
    free(buf);
}

void control_loop() {
    for (;;) {
        int flags;
        line *taken = nullptr;
        bool input_ended;
        {
            std::unique_lock<std::mutex> hold(ctl_lock);
            for (;;) {
                if (cur->pending || lines_head || stdin_done)
                    break;
                if (cur->seek_state.load() == SEEK_NONE) {
                    ctl_wake.wait(hold);
                    continue;
                }
                // A seek is in flight: look at it at least every 100 ms and
                // at its deadline. The steady clock keeps wall-clock jumps out.
                int64_t remaining = cur->seek_deadline_us - now_us();
                if (remaining <= 0)
                    break;
                auto until = std::chrono::steady_clock::now() +
                             std::chrono::microseconds(std::min<int64_t>(remaining, 100000));
                if (ctl_wake.wait_until(hold, until) == std::cv_status::timeout)
                    break;
            }
            flags = cur->pending;
            cur->pending = 0;
            if (lines_head) {
                taken = lines_head;
                lines_head = taken->next;
                if (!lines_head)
                    lines_tail = nullptr;
            }
            input_ended = !taken && stdin_done;
        }

        if (cur->seek_state.load() != SEEK_NONE)
            check_landing();
        if (flags)
            serve_pending(flags);
        if (taken) {
            handle_line(taken->text);
            free(taken);
        } else if (!flags && input_ended) {
            finish(0, false);  // the end of input is answered with silence
        }
    }
}
