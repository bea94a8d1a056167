// Start-up of the engine: signals and descriptors as the host left them,
// arguments, the frame pipe, the first player, the reaper, stdin reader and
// signal threads, the ready line; then the control loop.
#include "display.h"
#include "engine.h"
#include "frames.h"
#include "json.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

const int ENDING_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

int signal_pipe[2] = {-1, -1};  // written by the handler, read by signal_thread

// The folders the display module is looked for in, beside the executable: a
// build tree or an unpacked archive, then where the package installs it.
const char *const DISPLAY_FOLDERS[] = {"plugins", "../lib/vexolo-engine"};
char display_module[PATH_MAX];  // the module's file once found; main thread, before any other

// Finds the display module and has libvlc look for plugins in its folder
// too; false when it is in none of the folders.
bool find_display_module() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return false;
    exe[n] = 0;
    *strrchr(exe, '/') = 0;
    for (const char *folder : DISPLAY_FOLDERS) {
        char file[PATH_MAX], *real;
        if (snprintf(file, sizeof file, "%s/%s/" DISPLAY_FILE, exe, folder) >= int(sizeof file) ||
            access(file, R_OK) != 0 || !(real = realpath(file, nullptr)))
            continue;
        snprintf(display_module, sizeof display_module, "%s", real);
        free(real);
        *strrchr(display_module, '/') = 0;
        // Ahead of any folders the host named, so that this engine's module is the one found.
        const char *more = getenv("VLC_PLUGIN_PATH");
        char path[2 * PATH_MAX];
        snprintf(path, sizeof path, "%s%s%s", display_module, more && *more ? ":" : "", more ? more : "");
        setenv("VLC_PLUGIN_PATH", path, 1);
        strcat(display_module, "/" DISPLAY_FILE);
        return true;
    }
    return false;
}

[[noreturn]] void usage(const char *message) {
    fprintf(stderr,
            "vexolo-engine: %s\nusage: vexolo-engine --max-size=WxH --frames=fd:3|null --pixels=bgrx|i420 "
            "--loglevel=N\n",
            message);
    exit(2);
}

// Reads the options; a later occurrence overrides an earlier one.
void parse_args(int argc, char **argv, int *frames_on) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strncmp(a, "--max-size=", 11) == 0) {
            if (sscanf(a + 11, "%ux%u", &max_w, &max_h) < 2 || max_w <= 1 || max_h <= 1)
                usage("bad --max-size");
        } else if (strcmp(a, "--frames=fd:3") == 0) {
            *frames_on = 1;
        } else if (strcmp(a, "--frames=null") == 0) {
            *frames_on = 0;
        } else if (strcmp(a, "--pixels=bgrx") == 0) {
            pixel_layout = PIXELS_BGRX;
        } else if (strcmp(a, "--pixels=i420") == 0) {
            pixel_layout = PIXELS_I420;
        } else if (strncmp(a, "--pixels=", 9) == 0) {
            usage("bad --pixels");
        } else if (strncmp(a, "--loglevel=", 11) == 0) {
            verbosity = int32_t(strtol(a + 11, nullptr, 10));
        } else if (strcmp(a, "--version") == 0) {
            // Answered before descriptor 3 is looked at: no host is needed to ask.
            printf("vexolo-engine %s (libvlc %s, display plugin %s)\n", VEXOLO_VERSION, libvlc_get_version(),
                   find_display_module() ? display_module : "not found");
            exit(0);
        } else {
            usage(a);
        }
    }
}

// Descriptors 0 to 2 left closed by the host get /dev/null: otherwise the
// first socket or file the library opens takes the number, and events or
// errors would be written into it. 0 on success.
int fill_standard_descriptors() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int n = open("/dev/null", O_RDWR);  // the lowest free number: fd itself
        if (n < 0)
            return -1;
        if (n != fd) {
            dup2(n, fd);
            close(n);
        }
    }
    return 0;
}

// A host may hand over descriptors it uses without blocking; the engine's
// reads and writes must wait rather than fail with EAGAIN.
void make_blocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && (flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Descriptor 3 is open and can be written.
bool frame_pipe_writable() {
    int flags = fcntl(3, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

void on_signal(int signo) noexcept {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(signo);
    ssize_t ignored = write(signal_pipe[1], &b, 1);
    (void)ignored;
    errno = saved;
}

// Waits for a termination signal and takes it to the shutdown path. The
// only thread that does not block those signals, so the handler runs here.
void signal_thread() {
    pthread_setname_np(pthread_self(), "vx-signals");
    sigset_t ending;
    sigemptyset(&ending);
    for (int s : ENDING_SIGNALS)
        sigaddset(&ending, s);
    pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
    unsigned char b = 0;
    for (;;) {
        ssize_t n = read(signal_pipe[0], &b, 1);
        if (n == 1)
            break;
        if (n == 0 || errno != EINTR)
            return;
    }
    leave_on_signal(b);
}

// Undoes what a host's mask and dispositions would change: every signal
// unblocked, SIGPIPE ignored (writes to a closed pipe then fail instead),
// and the termination signals held for signal_thread, which starts later.
void reset_signals() {
    sigset_t ending;
    sigemptyset(&ending);
    for (int s : ENDING_SIGNALS)
        sigaddset(&ending, s);
    sigprocmask(SIG_SETMASK, &ending, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_DFL);  // an inherited SIG_IGN would reap the library's children for it
}

// The handler for the termination signals and the thread that serves them.
// Threads made from here on inherit the blocked mask; 0 on success.
int start_signal_thread() {
    if (pipe2(signal_pipe, O_CLOEXEC) != 0)
        return -1;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    // No SA_RESTART: the signal thread's read must return for a handler
    // that runs late, as under ThreadSanitizer, which defers it to then.
    sigfillset(&sa.sa_mask);
    for (int s : ENDING_SIGNALS)
        sigaction(s, &sa, nullptr);
    try {
        std::thread(signal_thread).detach();
    } catch (...) {
        return -1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // Every player's decoder threads would otherwise spread over up to
    // sixteen allocator arenas, and what they free there stays resident
    // long after the players are gone.
    mallopt(M_ARENA_MAX, 4);
    // Picture-sized blocks come from the system and go back to it when
    // freed; left to itself the allocator raises this threshold after the
    // first such free and keeps every later picture in its arenas.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    reset_signals();
    if (fill_standard_descriptors() != 0) {
        fputs("vexolo-engine: cannot open /dev/null\n", stderr);
        return 1;
    }
    int frames_on = 1;
    parse_args(argc, argv, &frames_on);
    if (frames_on && !frame_pipe_writable())
        usage("fd 3 must be the frame pipe (or --frames=null)");
    make_blocking(0);
    make_blocking(1);
    if (frames_on)
        make_blocking(3);
    if (start_signal_thread() != 0) {
        fputs("vexolo-engine: cannot start threads\n", stderr);
        return 1;
    }
    if (frames_start(frames_on) != 0)
        usage("fd 3 must be the frame pipe (or --frames=null)");

    // Without its display module the engine could not tell one picture from
    // another: it does not start.
    if (!find_display_module()) {
        fputs("vexolo-engine: its display plugin " DISPLAY_FILE " is in neither plugins/ nor ../lib/vexolo-engine/ "
              "beside the executable\n",
              stderr);
        return 1;
    }
    cur = player_new(generation.load());
    if (!cur) {
        fprintf(stderr, "vexolo-engine: libvlc %s could not start with the display plugin %s\n", libvlc_get_version(),
                display_module);
        return 1;
    }
    try {
        for (int i = 0; i < REAPERS; i++)
            std::thread(reaper_thread).detach();
        std::thread(reader_thread).detach();
    } catch (...) {
        fputs("vexolo-engine: cannot start threads\n", stderr);
        return 1;
    }

    tell_ready(libvlc_get_version(), VEXOLO_VERSION);
    ready_told.exchange(1);
    control_loop();
}
