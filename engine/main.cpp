// Start-up of the engine: arguments, the frame pipe, the first player, the
// reaper and stdin reader threads, the ready line; then the control loop.
#include "engine.h"
#include "frames.h"
#include "json.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

[[noreturn]] void usage(const char *message) {
    fprintf(stderr,
            "vexolo-engine: %s\nusage: vexolo-engine --max-size=WxH --frames=fd:3|null --loglevel=N\n",
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
        } else if (strncmp(a, "--loglevel=", 11) == 0) {
            verbosity = int32_t(strtol(a + 11, nullptr, 10));
        } else {
            usage(a);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    int frames_on = 1;
    parse_args(argc, argv, &frames_on);
    if (frames_start(frames_on) != 0)
        usage("fd 3 must be the frame pipe (or --frames=null)");

    cur = player_new(generation.load());
    if (!cur) {
        fputs("vexolo-engine: libvlc_new failed\n", stderr);
        return 1;
    }
    try {
        std::thread(reaper_thread).detach();
        std::thread(reader_thread).detach();
    } catch (...) {
        fputs("vexolo-engine: cannot start threads\n", stderr);
        return 1;
    }

    char version[200];
    json_esc(version, sizeof version, libvlc_get_version());
    emit("{\"type\":\"ready\",\"version\":\"%s\"}", version);
    ready_told.exchange(1);
    control_loop();
}
