// Tracks and sound reports of the current player, run by the control loop.
#include "engine.h"
#include "json.h"

void tell_tracks() { apply_sound_settings(); }

void check_codecs() {
    if (cur->started.load())
        tell_tracks();
}
