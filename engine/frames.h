// The frame pipe on descriptor 3, which carries the displayed pictures of
// the current generation to the host.
#pragma once

#include <cstdint>

// Opens the frame pipe when on is non-zero; 0 on success, -1 when fd 3 is unusable.
int frames_start(int on);
// Moves the frame pipe to generation g; older pictures are no longer sent.
void frames_generation(uint64_t g);
