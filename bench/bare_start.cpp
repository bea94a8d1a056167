// The benchmark's yardstick for start-up: a bare libvlc instance, with the
// engine's own instance options, and a media player. Prints one line when
// both exist, as the engine prints its ready line.
#include "instance.h"

#include <vlc/vlc.h>

#include <cstdio>
#include <unistd.h>

int main() {
    libvlc_instance_t *vlc = libvlc_new(sizeof INSTANCE_ARGS / sizeof INSTANCE_ARGS[0], INSTANCE_ARGS);
    if (!vlc || !libvlc_media_player_new(vlc))
        return 1;
    puts("{\"type\":\"ready\"}");
    fflush(stdout);
    _exit(0);
}
