// Support for tests that drive the engine's own functions in-process on real
// players: a private HOME with a null sound output, libvlc's plugins kept
// loaded for the whole run, and standard output captured around a call.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Runs f with standard output on a pipe and returns the lines it printed,
// each checked to be one strict JSON object and the last one terminated.
std::vector<std::string> capture_lines(const std::function<void()> &f);
// The lines that are not forwarded library log lines, which may come at any time.
std::vector<std::string> without_logs(const std::vector<std::string> &lines);
