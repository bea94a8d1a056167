// The frame pipe. Pictures arrive with the video callbacks; until they do,
// the pipe only follows the generation of the current player.
#include "frames.h"

#include <atomic>

namespace {

int frames_on;  // set once at start-up
std::atomic<uint64_t> current_generation{0};

}  // namespace

int frames_start(int on) {
    frames_on = on;
    return 0;
}

void frames_generation(uint64_t g) { current_generation.store(g); }
