// Linked into the tests that make players in-process. libvlc unloads its
// plugins when the last instance goes; memory a plugin (or a library it
// loaded, such as alsa-lib's configuration) still points to then looks leaked
// to LeakSanitizer. One instance kept for the whole run keeps them loaded.
#include "inproc.h"

#include "engine.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <vlc/vlc.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

// Reachable to the end, so not a leak either; external so the store stays.
libvlc_instance_t *kept_instance;

namespace {

std::string home;  // private HOME whose ALSA default is a null sink
int out_pipe[2];   // stands in for standard output; the read end does not block

struct inproc_env : ::testing::Environment {
    void SetUp() override {
        char dir[] = "/tmp/vexolo-inproc-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        home = dir;
        FILE *f = fopen((home + "/.asoundrc").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("pcm.!default { type null }\n", f);
        fclose(f);
        setenv("HOME", dir, 1);
        unsetenv("PULSE_SERVER");
        ASSERT_EQ(pipe(out_pipe), 0);
        fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
        const char *args[] = {"--ignore-config", "--no-lua"};
        kept_instance = libvlc_new(2, args);
    }
    void TearDown() override {
        std::error_code ignored;  // the audio client leaves its own files in HOME too
        std::filesystem::remove_all(home, ignored);
    }
};

const auto *registered = ::testing::AddGlobalTestEnvironment(new inproc_env);

}  // namespace

std::vector<std::string> capture_lines(const std::function<void()> &f) {
    // Only for the call, so that the test framework's messages stay visible.
    fflush(stdout);
    int saved = dup(1);
    dup2(out_pipe[1], 1);
    f();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(out_pipe[0], buf, sizeof buf)) > 0)
        text.append(buf, size_t(n));
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        out.push_back(text.substr(at, nl - at));
        EXPECT_TRUE(nlohmann::json::accept(out.back()) && out.back().rfind("{\"type\":\"", 0) == 0)
            << out.back();
    }
    EXPECT_EQ(at, text.size()) << "unterminated: " << text.substr(at);
    return out;
}

std::vector<std::string> without_logs(const std::vector<std::string> &lines) {
    std::vector<std::string> out;
    for (const std::string &line : lines)
        if (line.rfind(R"({"type":"log")", 0) != 0)
            out.push_back(line);
    return out;
}

player *install_current(std::vector<player *> *made) {
    player *q = player_new(generation.load() + 1);
    if (!q)
        return nullptr;
    made->push_back(q);
    std::lock_guard<std::mutex> gate(gate_lock);
    generation.store(q->generation);
    cur = q;
    return q;
}

void release_made(std::vector<player *> *made) {
    for (player *q : *made)
        player_discard(q);
    made->clear();
    cur = nullptr;
}
