// The host's strings a load hands on: what goes out as it was given, and the
// reason of each refusal.
#include "checks.h"

#include <gtest/gtest.h>

#include <string>

// A local file's location gives its path, percent-decoded; others give none.
TEST(Checks, TheLocalPathOfAFileLocation) {
    const struct {
        const char *location, *path;  // null: none
    } cases[] = {
        {"file:///tmp/a.ogg", "/tmp/a.ogg"}, {"FILE:///tmp/a%20b%2Fc.ogv", "/tmp/a b/c.ogv"},
        {"file://localhost/x.ogg", "/x.ogg"}, {"file:///x.ogg?v=1#t", "/x.ogg"},
        {"file://host/x.ogg", nullptr}, {"http://x/a.ogg", nullptr}, {"/tmp/a.ogg", nullptr},
        {"file:///a%00b", nullptr}, {"file:///a%2", nullptr}, {"file:///a%zz", nullptr},
    };
    for (const auto &c : cases) {
        char path[64];
        EXPECT_EQ(file_path(c.location, path, sizeof path), c.path != nullptr) << c.location;
        EXPECT_STREQ(c.path ? path : nullptr, c.path) << c.location;
    }
    char small[4];
    EXPECT_FALSE(file_path("file:///abcd", small, sizeof small)) << "a path that does not fit";
    EXPECT_TRUE(file_path("file:///ab", small, sizeof small));
}

TEST(Checks, WhatGoesOutAsGivenAndWhyTheRestDoesNot) {
    const std::string big(513, 'a'), most(512, 'a'), far = "file:///" + std::string(1016, 'a');
    const char *const SYNTAX = "must be products and comments, as in MyApp/1.2 (Linux), without double quotes";
    const struct {
        const char *(*check)(const char *);
        std::string text;
        const char *problem;  // null: goes out
    } cases[] = {
        {agent_problem, "MyApp/1.2 (X11; Linux) Other/3 (a (nested) \\) one)", nullptr},
        {agent_problem, "Plain", nullptr}, {agent_problem, most, nullptr},
        {agent_problem, "", "must not be empty"}, {agent_problem, big, "must be at most 512 bytes"},
        {agent_problem, "App/1\n", "must be printable ASCII"}, {agent_problem, "App/\xc3\xa9", "must be printable ASCII"},
        {agent_problem, "App/1 \"q\"", SYNTAX}, {agent_problem, "App/", SYNTAX}, {agent_problem, "(only) App", SYNTAX},
        {agent_problem, "App/1 ", SYNTAX}, {agent_problem, "App/1 (open", SYNTAX}, {agent_problem, "App[1]", SYNTAX},
        {referrer_problem, "http://example.invalid/page?a=\"b\" c", nullptr},
        {referrer_problem, " http://x/", "must not begin or end with a space"},
        {referrer_problem, "http://x/\x7f", "must be printable ASCII"}, {referrer_problem, big, "must be at most 512 bytes"},
        {location_problem, "file:///tmp/a b.srt", nullptr}, {location_problem, "HTTPS://x/s.vtt", nullptr},
        {location_problem, far, nullptr}, {location_problem, far + "a", "must be at most 1024 bytes"},
        {location_problem, "/tmp/a.srt", "must be a file://, http:// or https:// location"},
        {location_problem, "ftp://x/a.srt", "must be a file://, http:// or https:// location"},
        {location_problem, "file:///tmp/a\tb.srt", "must not hold control characters"},
    };
    for (const auto &[check, text, problem] : cases) {
        const char *got = check(text.c_str());
        EXPECT_STREQ(got, problem) << text.substr(0, 60);
    }
}
