// Linked into the tests that make players in-process. libvlc unloads its
// plugins when the last instance goes; memory a plugin still points to then
// looks leaked to LeakSanitizer. One instance kept for the whole run keeps
// the plugins loaded, so only real leaks are reported.
#include <gtest/gtest.h>
#include <vlc/vlc.h>

// Reachable to the end, so not a leak either; external so the store stays.
libvlc_instance_t *kept_instance;

namespace {

struct keep_plugins : ::testing::Environment {
    void SetUp() override {
        const char *args[] = {"--ignore-config", "--no-lua"};
        kept_instance = libvlc_new(2, args);
    }
};

const auto *registered = ::testing::AddGlobalTestEnvironment(new keep_plugins);

}  // namespace
