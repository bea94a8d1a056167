// The benchmark's yardstick for start-up: a bare libvlc instance, with the
// engine's own instance options, and a media player. Prints one line when
// both exist, as the engine prints its ready line.
#include <vlc/vlc.h>

#include <cstdio>
#include <unistd.h>

int main() {
    const char *const args[] = {
        "--ignore-config",
        "--no-video-title-show",
        "--no-osd",
        "--no-snapshot-preview",
        "--no-sub-autodetect-file",
        "--no-xlib",
        "--no-lua",
        "--no-stats",
        "--no-media-library",
        "--no-disable-screensaver",
        "--avcodec-hw=none",
        "--audio-resampler=speex_resampler",
        "--keystore=memory",
    };
    libvlc_instance_t *vlc = libvlc_new(sizeof args / sizeof args[0], args);
    if (!vlc || !libvlc_media_player_new(vlc))
        return 1;
    puts("{\"type\":\"ready\"}");
    fflush(stdout);
    _exit(0);
}
