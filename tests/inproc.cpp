// Linked into the tests that make players in-process: a private HOME whose
// ALSA default is a null sink, the engine's display module on the plugin path,
// and libvlc's plugins kept loaded for the whole run. libvlc unloads them when
// the last instance goes; memory a plugin (or a library it loaded, such as
// alsa-lib's configuration) still points to then looks leaked to
// LeakSanitizer. One instance kept for the whole run keeps them.
#include <gtest/gtest.h>
#include <vlc/vlc.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

// Reachable to the end, so not a leak either; external so the store stays.
libvlc_instance_t *kept_instance;

namespace {

struct inproc_env : ::testing::Environment {
    std::string home;
    void SetUp() override {
        char dir[] = "/tmp/vexolo-inproc-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        home = dir;
        std::ofstream(home + "/.asoundrc") << "pcm.!default { type null }\n";
        setenv("HOME", dir, 1);
        unsetenv("PULSE_SERVER");
        // The engine's display module, as the binary finds it beside itself.
        setenv("VLC_PLUGIN_PATH", PLUGIN_DIR, 1);
        const char *args[] = {"--ignore-config", "--no-lua"};
        kept_instance = libvlc_new(2, args);
    }
    // The audio client leaves its own files in HOME too.
    void TearDown() override { std::error_code ignored; std::filesystem::remove_all(home, ignored); }
};

const auto *registered = ::testing::AddGlobalTestEnvironment(new inproc_env);

}  // namespace
