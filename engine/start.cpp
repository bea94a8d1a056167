// The start position of a load: applied once, when the media first buffered
// fully, as a seek of its own that the host is not told of. Control thread.
#include "engine.h"

void apply_start_pos(player *p) {
    if (p->start_pos < 0)
        return;
    double at = p->start_pos;
    p->start_pos = -1.0;
    if (!p->seekable.load()) {
        tell_refusal(REFUSED_START_POS, nullptr, 0);
        return;
    }
    if (seek_in_flight(p))
        return;  // the host's seek came first
    int64_t length = p->length_ms.load();
    seek_request r{
        CLIENT_START, 0, length >= 1 ? double(length) * at : -1, at, false, false, false, p->host_paused.load() != 0,
        false};
    if (!seek_start(p, &r))
        seek_wait_turn(p, &r);
}

// Nothing to tell: playback simply goes on from there.
void start_landed(player *p) { host_landed(p); }
