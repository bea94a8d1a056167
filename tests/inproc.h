// Support for tests that drive the engine's own functions in-process on real
// players: a private HOME with a null sound output, libvlc's plugins kept
// loaded for the whole run, and standard output captured around a call.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct player;

// A new player made current, with the gate moved as replace_player moves it,
// and noted in *made; null if the library would not make one.
player *install_current(std::vector<player *> *made);
// Releases every player in *made as the reaper releases a retired one, so that
// a replaced player can still be handed events until the test ends.
void release_made(std::vector<player *> *made);

// Runs f with standard output on a pipe and returns the lines it printed,
// each checked to be one strict JSON object and the last one terminated.
std::vector<std::string> capture_lines(const std::function<void()> &f);
// The lines that are not forwarded library log lines, which may come at any time.
std::vector<std::string> without_logs(const std::vector<std::string> &lines);
