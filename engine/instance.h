// The options of every libvlc instance the engine makes, shared with the
// benchmark's bare start-up so that it measures the same library.
#pragma once

#include "display.h"

inline const char *const INSTANCE_ARGS[] = {
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
    // Every picture decoded and shown, late or not: a seek or a step lands on
    // the picture it asked for, which a busy machine would otherwise skip.
    "--no-drop-late-frames",
    "--audio-resampler=speex_resampler",
    // Credentials live in memory only: the desktop keystores wait for ever
    // for a session bus that a headless host does not run, and a location
    // that asks for a password would then hang in opening.
    "--keystore=memory",
    // Pictures go through the engine's own display module, which tells what
    // each picture is; an instance without it is refused at its making.
    "--vout=" DISPLAY_MODULE,
    "--" DISPLAY_LINK_OPTION "=1",
};
