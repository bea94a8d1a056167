// Failures provoked for real through the library, end to end: a loopback
// HTTP server that answers with error statuses, refused and unresolvable
// connections, TLS against plain HTTP and against a certificate nobody
// trusts, files that are missing or not media, and streams that no decoder
// takes. Each load must bring exactly one error, before its stopped.
#include "host.h"
#include "http_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The engine without a frame pipe; these tests look at events only.
void start(host *h, const host_options &opt = {{"--frames=null"}, false}) {
    ASSERT_TRUE(host_start(h, opt));
    ASSERT_FALSE(host_wait_type(h, "ready").is_null());
}

// Loads url and returns the events of that load once it is over: up to its
// `stopped`, and whatever follows within a fifth of a second, when a second
// error would have shown.
std::vector<json> play_out(host *h, long long id, const std::string &url) {
    json ack = host_command(h, R"({"id":)" + std::to_string(id) + R"(,"cmd":"load","url":")" + url +
                                   R"(","live":false})",
                            id);
    EXPECT_EQ(ack["ok"], true) << url;
    size_t from = h->next;
    host_wait_type(h, "stopped");
    host_drain(h, 200);
    h->next = h->events.size();
    return std::vector<json>(h->events.begin() + long(from), h->events.end());
}

std::vector<json> of_type(const std::vector<json> &events, const char *type) {
    std::vector<json> out;
    for (const json &ev : events)
        if (ev["type"] == type)
            out.push_back(ev);
    return out;
}

json error_of(const char *problem, const char *codec = nullptr) {
    return json{{"type", "error"}, {"problem", problem}, {"codec", codec ? json(codec) : json(nullptr)}};
}

// Index of the first event of type in events; events.size() when none.
size_t index_of(const std::vector<json> &events, const char *type) {
    for (size_t i = 0; i < events.size(); i++)
        if (events[i]["type"] == type)
            return i;
    return events.size();
}

bool forwarded(const std::vector<json> &events, const std::string &text) {
    for (const json &ev : of_type(events, "log"))
        if (ev["message"].get<std::string>().find(text) != std::string::npos)
            return true;
    return false;
}

std::string dump(const std::vector<json> &events) {
    std::string s;
    for (const json &ev : events)
        s += "  " + ev.dump() + "\n";
    return s;
}

// Files that are not media, in a private folder removed at the end.
struct scratch {
    std::string dir;
    scratch() {
        char d[] = "/tmp/vexolo-diag-XXXXXX";
        dir = mkdtemp(d) ? d : "";
        EXPECT_FALSE(dir.empty());
    }
    ~scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    // A file of these bytes, as a file:// location.
    std::string file(const std::string &name, const std::string &bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
        return "file://" + dir + "/" + name;
    }
};

// Pseudo-random bytes, the same on every run: std::mt19937's sequence is
// fixed by the standard. These 200 KB the library takes for MPEG audio.
std::string noise() {
    std::mt19937 gen(5);
    std::string bytes(204800, 0);
    for (char &b : bytes)
        b = char(gen() & 0xff);
    return bytes;
}

std::string file_bytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// True when this machine runs a sound server of its own, which the engine
// would find even without the test's private one.
bool machine_has_sound() {
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    struct stat st;
    return (runtime && stat((std::string(runtime) + "/pulse/native").c_str(), &st) == 0) ||
           stat("/run/pulse/native", &st) == 0;
}

// Every way a load can fail gives its problem, the same with a sound server
// and without any sound output, whose own errors say nothing about the media.
// The error comes before the load's stopped, and a load that began to play
// is told its tracks and sound first.
TEST(RealFailures, EveryFailureGivesItsProblemWithAndWithoutSound) {
    http_server server, tls;
    scratch files;
    server.files = files.dir;
    ASSERT_TRUE(http_start(&server));
    ASSERT_TRUE(https_start(&tls));
    int holder = -1;
    int refusing = refusing_port(&holder);
    ASSERT_GT(refusing, 0);
    // Longer than the 253 bytes a DNS name may have, so the resolver refuses
    // it on the spot without sending a query anywhere.
    std::string label(60, 'x');
    std::string unresolvable = label + "." + label + "." + label + "." + label + "." + label + ".invalid";
    std::string clip = file_bytes(media_path("clip.mp4"));
    files.file("page.html", "<!doctype html><html><head><title>Hello</title></head><body><p>Hi</p></body></html>\n");
    const struct {
        std::string url;
        const char *problem, *other;  // other: a second problem the library may give instead
        const char *line;             // the library's words that decide, when there are any
    } cases[] = {
        {"http://127.0.0.1:" + std::to_string(refusing) + "/clip.mp4", "unreachable", nullptr,
         "connection failed: Connection refused"},
        {"http://" + unresolvable + "/clip.mp4", "unreachable", nullptr, "Name or service not known"},
        // A plain HTTP server answers the TLS hello with a plain 400 page.
        {"https://127.0.0.1:" + std::to_string(server.port) + "/clip.mp4", "insecure", nullptr, "TLS handshake error"},
        {http_url(&tls, "/clip.mp4"), "insecure", nullptr, "Certificate verification failure"},
        {http_url(&server, "/404/clip.mp4"), "notFound", nullptr, "HTTP 404 error"},
        {media_url("no-such-clip.mp4"), "notFound", nullptr, "No such file or directory"},
        {files.file("notes.txt", "Shopping list\nmilk\nbread\n"), "unrecognized", nullptr, nullptr},
        {files.file("noise.bin", noise()), "unrecognized", nullptr, nullptr},
        {http_url(&server, "/file/page.html"), "unrecognized", nullptr, nullptr},
        {files.file("cut.mp4", clip.substr(0, clip.size() / 2)), "unrecognized", nullptr, nullptr},
        {"file://" + files.dir, "unrecognized", nullptr, nullptr},
        {files.file("empty.mp4", ""), "unrecognized", "unavailable", nullptr},
    };
    for (bool sound : {true, false}) {
        if (!sound && machine_has_sound()) {
            printf("this machine has a sound server of its own: the cases without one are left out\n");
            continue;
        }
        host h;
        host_options opt{{"--frames=null"}, false};
        opt.null_audio = sound;
        start(&h, opt);
        long long id = 1;
        for (const auto &c : cases) {
            std::vector<json> events = play_out(&h, id++, c.url);
            SCOPED_TRACE((sound ? "with sound: " : "without sound: ") + c.url.substr(0, 60) + "\n" + dump(events));
            std::vector<json> errors = of_type(events, "error");
            ASSERT_EQ(errors.size(), 1u);
            if (c.other && errors[0] == error_of(c.other))
                printf("%s: %s\n", c.url.c_str(), c.other);
            else
                EXPECT_EQ(errors[0], error_of(c.problem));
            // Lines of earlier loads may have filled this second's share:
            // then the count of the dropped ones comes as the second ends.
            if (c.line && !forwarded(events, c.line) && !forwarded(events, "log lines dropped")) {
                EXPECT_FALSE(host_wait(&h, [](const json &ev) {
                    return ev["type"] == "log" && ev["message"].get<std::string>().find(" log lines dropped") !=
                                                      std::string::npos;
                }, 1500).is_null()) << "neither the line nor a count of dropped lines";
            }
            size_t stopped = index_of(events, "stopped");
            EXPECT_LT(index_of(events, "error"), stopped);
            if (index_of(events, "playing") < events.size()) {
                EXPECT_LT(index_of(events, "tracks"), stopped);
                EXPECT_LT(index_of(events, "sound"), stopped);
            }
        }
    }
    EXPECT_EQ(http_requests(&tls), std::vector<std::string>(2, "<tls refused>")) << "the certificate was taken";
    close(holder);
}

TEST(UndecodableStreams, StreamsNoDecoderTakesAreNamed) {
    const struct {
        const char *clip;
        const char *library_line;  // what the library says about the stream
        json error;                // null: no error at all
        bool pictures;             // video decoded and shown
        int runs;                  // the library often ends it before anything else is told
    } cases[] = {
        // H.264 under the FourCC "ZZ9 ": the name is the FourCC without its space.
        {"undecodable-video.avi", "Codec `ZZ9 ' (No description for this codec) is not supported.",
         error_of("undecodableVideo", "ZZ9"), false, 1},
        {"undecodable-tone.mov", "Codec `QQQQ' (No description for this codec) is not supported.",
         error_of("undecodableAudio", "QQQQ"), false, 4},
        // Beside video that plays, silent audio is no error: only no sound.
        {"undecodable-sound.mov", "Codec `QQQQ' (No description for this codec) is not supported.", json(), true, 1},
    };
    host h;
    start(&h);
    long long id = 1;
    for (const auto &c : cases)
        for (int run = 0; run < c.runs; run++) {
            std::vector<json> events = play_out(&h, id++, media_url(c.clip));
            SCOPED_TRACE(std::string(c.clip) + "\n" + dump(events));
            EXPECT_TRUE(forwarded(events, c.library_line));
            std::vector<json> errors = of_type(events, "error");
            EXPECT_EQ(errors, c.error.is_null() ? std::vector<json>{} : std::vector<json>{c.error});
            if (!c.error.is_null()) {
                EXPECT_LT(index_of(events, "error"), index_of(events, "stopped"));
            }
            // However soon the library reaches the end, the load is told
            // its tracks and that nothing is heard.
            EXPECT_EQ(of_type(events, "sound"), std::vector<json>{json::parse(R"({"type":"sound","state":"none"})")});
            EXPECT_FALSE(of_type(events, "tracks").empty());
            EXPECT_EQ(!of_type(events, "format").empty(), c.pictures);
            EXPECT_LT(index_of(events, "end"), events.size()) << "the library plays on to the end";
        }
}

// The library tries video formats that fail before it agrees on one; those
// tries are told only to a host that asks for warnings too.
TEST(RealClips, PlayedToTheEndHoweverShortAreNoErrorAndTheirFormatTriesNoNews) {
    for (const char *level : {"--loglevel=0", "--loglevel=1"}) {
        host h;
        start(&h, {{"--frames=null", level}, false});
        long long id = 1;
        for (const char *clip : {"short-video.mp4", "short-tone.m4a"}) {
            std::vector<json> events = play_out(&h, id++, media_url(clip));
            SCOPED_TRACE(std::string(level) + " " + clip + "\n" + dump(events));
            EXPECT_LT(index_of(events, "end"), events.size());
            EXPECT_EQ(of_type(events, "error"), std::vector<json>{});
            EXPECT_EQ(index_of(events, "sound") < events.size(), true);
            if (strcmp(clip, "short-video.mp4") == 0) {
                EXPECT_EQ(forwarded(events, "Failed to create video converter"), level[11] == '1');
            }
        }
    }
}

}  // namespace
