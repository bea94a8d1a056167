// A small host for the end-to-end tests: starts the real engine with its
// three channels, reads and strictly parses every event line, waits for
// events with a deadline, and collects what arrives on the frame pipe.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

using json = nlohmann::json;

// A clip made by scripts/make-media.sh, as a file:// location or a path.
std::string media_url(const char *name);
std::string media_path(const char *name);

// One frame read from the frame pipe.
struct frame_info {
    uint32_t width, height, pitch;
    int64_t pts_us;
    uint64_t seq;
    int64_t wall_us;
    uint64_t generation;
    uint32_t flags;
    long long begun_ms;    // header read, steady clock as host_now_ms
    long long arrived_ms;  // last pixel byte read
    uint8_t centre[3];     // blue, green, red of the middle pixel
    int number;            // of a numbered clip (make-media.sh): the picture's frame number
};

struct host_options {
    std::vector<std::string> args;  // engine arguments
    bool frame_pipe = true;         // give the engine a pipe on fd 3 and drain it
    // A private sound server with a null sink (and a null ALSA default), as
    // on a desktop; without it the engine finds no sound output at all.
    bool null_audio = true;
    bool keep_pixels = false;  // keep the pixel bytes of the last frame read
    // Runs in the child just before exec, after its descriptors are in place:
    // the odd set-ups of a careless host (async-signal-safe calls only).
    std::function<void()> before_exec = nullptr;
};

struct host {
    pid_t pid = -1;
    pid_t sound_pid = -1;  // the private sound server
    int in_fd = -1;   // engine's standard input
    int out_fd = -1;  // engine's standard output
    std::string home;
    std::string pending;       // bytes after the last complete line
    std::vector<json> events;  // every event line seen so far, in order
    std::vector<long long> event_ms;  // arrival of each event, as host_now_ms
    size_t next = 0;           // first event not yet consumed by a wait
    int status = -1;           // exit status once reaped

    // Frame pipe reader, when the pipe is on.
    int frames_fd = -1;
    std::thread drain;
    bool keep_pixels = false;
    std::mutex frames_lock;
    long long frame_bytes = 0;        // frames_lock
    std::vector<frame_info> frames;   // frames_lock: every whole frame read
    std::vector<uint8_t> last_pixels; // frames_lock: with keep_pixels
    std::string frame_error;          // frames_lock: what broke the frame stream, if anything
    std::atomic<bool> frames_paused{false};  // the reader stops between frames while set
    std::atomic<bool> ending{false};         // the host is killing the engine itself

    ~host();
};

// Starts the engine; false (with a test failure) when it cannot be started.
bool host_start(host *h, const host_options &opt = {});
// Writes text and a LF to the engine's standard input.
void host_send(host *h, const std::string &line);
// Closes the engine's standard input.
void host_close_input(host *h);

// Reads events until one after the last consumed matches; consumes up to it.
// On timeout it records a test failure listing the last events and returns null.
json host_wait(host *h, const std::function<bool(const json &)> &match, int timeout_ms = 10000);
json host_wait_type(host *h, const std::string &type, int timeout_ms = 10000);
// Waits for the ack of the command with this id.
json host_ack(host *h, long long id, int timeout_ms = 10000);
// Sends a command and returns its ack.
json host_command(host *h, const std::string &line, long long id, int timeout_ms = 10000);
// Reads whatever arrives within ms milliseconds (every line checked).
void host_drain(host *h, int ms);
// Waits for the engine to end; its exit status, or -1 (test failure) after the timeout.
int host_wait_exit(host *h, int timeout_ms = 10000);
// The same without reading the engine's output, as a host that stopped reading.
int host_wait_exit_unread(host *h, int timeout_ms = 10000);

// Resident memory, threads and open descriptors of a process.
struct host_usage {
    long rss_kb;
    int threads;
    int fds;
};
host_usage host_sample(pid_t pid);
// A copy of the frames read so far.
std::vector<frame_info> host_frames(host *h);
// Waits until at least n frames were read; false (test failure) on timeout.
bool host_wait_frames(host *h, size_t n, int timeout_ms = 10000);
// Stops or resumes reading the frame pipe; a pause takes effect between frames.
void host_pause_frames(host *h, bool paused);
// How many times slower the engine runs in this build (sanitizers): the
// waits above stretch their timeouts by it.
int host_slowdown();
// Steady clock in milliseconds.
long long host_now_ms();
// Everything the engine wrote on standard error.
std::string host_stderr(host *h);
