// Failures provoked for real through the library, end to end: a loopback
// HTTP server that answers with error statuses, refused and unresolvable
// connections, TLS against plain HTTP, files that are missing or not media,
// and streams that no decoder takes. Each load must bring exactly one error.
#include "host.h"
#include "http_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
    // A text file.
    std::string text() {
        std::string path = dir + "/notes.txt";
        std::ofstream(path) << "Shopping list\nmilk\nbread\n";
        return "file://" + path;
    }
    // 64 KiB of pseudo-random bytes, the same on every run: std::mt19937's
    // sequence is fixed by the standard.
    std::string noise() {
        std::string path = dir + "/noise.bin";
        std::mt19937 gen(20240611);
        std::string bytes(65536, 0);
        for (char &b : bytes)
            b = char(gen() & 0xff);
        std::ofstream(path, std::ios::binary) << bytes;
        return "file://" + path;
    }
};

TEST(RealFailures, HttpErrorStatusesGiveTheirProblem) {
    // The library logs "HTTP %d error" for a status it will not play; the
    // status decides over the reason phrase that follows in later lines.
    const struct {
        int status;
        const char *problem;
    } cases[] = {
        {404, "notFound"},        {410, "notFound"},        {403, "accessDenied"},
        {401, "accessDenied"},    {451, "geoBlocked"},      {429, "connectionLimit"},
        {509, "connectionLimit"}, {503, "serverError"},     {400, "unavailable"},
    };
    http_server server;
    ASSERT_TRUE(http_start(&server));
    host h;
    start(&h);
    long long id = 1;
    for (const auto &c : cases) {
        std::string path = "/" + std::to_string(c.status) + "/clip.mp4";
        std::vector<json> events = play_out(&h, id++, http_url(&server, path));
        SCOPED_TRACE(std::to_string(c.status) + "\n" + dump(events));
        EXPECT_EQ(of_type(events, "error"), std::vector<json>{error_of(c.problem)});
        EXPECT_TRUE(forwarded(events, "HTTP " + std::to_string(c.status) + " error"));
        bool asked = false;
        for (const std::string &r : http_requests(&server))
            asked = asked || r == "GET " + path + " HTTP/1.1";
        EXPECT_TRUE(asked) << "the answer came from the server";
    }
}

TEST(RealFailures, ConnectionAndFileFailuresGiveTheirProblem) {
    http_server server;
    ASSERT_TRUE(http_start(&server));
    int holder = -1;
    int refusing = refusing_port(&holder);
    ASSERT_GT(refusing, 0);
    // Longer than the 255 bytes a DNS name may have, so the resolver refuses
    // it on the spot without sending a query anywhere; .invalid keeps it
    // from ever being a real name.
    std::string label(60, 'x');
    std::string unresolvable = label + "." + label + "." + label + "." + label + "." + label + ".invalid";
    const struct {
        std::string url;
        const char *problem;
        const char *line;  // the library's words that decide
    } cases[] = {
        {"http://127.0.0.1:" + std::to_string(refusing) + "/clip.mp4", "unreachable",
         "connection failed: Connection refused"},
        {"http://" + unresolvable + "/clip.mp4", "unreachable", "Name or service not known"},
        // A plain HTTP server answers the TLS hello with a plain 400 page.
        {"https://127.0.0.1:" + std::to_string(server.port) + "/clip.mp4", "insecure", "TLS handshake error"},
        {media_url("no-such-clip.mp4"), "notFound", "No such file or directory"},
    };
    host h;
    start(&h);
    long long id = 1;
    for (const auto &c : cases) {
        std::vector<json> events = play_out(&h, id++, c.url);
        SCOPED_TRACE(c.url.substr(0, 60) + "\n" + dump(events));
        EXPECT_EQ(of_type(events, "error"), std::vector<json>{error_of(c.problem)});
        EXPECT_TRUE(forwarded(events, c.line));
        EXPECT_EQ(index_of(events, "end"), events.size()) << "a failed load never ends";
    }
    EXPECT_EQ(http_requests(&server), std::vector<std::string>{"<not http>"}) << "only the TLS hello came";
    close(holder);
}

TEST(RealFailures, InputNoDemuxerUnderstandsIsUnrecognizedAfterItsEnd) {
    scratch files;
    host h;
    start(&h);
    long long id = 1;
    for (const std::string &url : {files.text(), files.noise()}) {
        std::vector<json> events = play_out(&h, id++, url);
        SCOPED_TRACE(url + "\n" + dump(events));
        // The library plays such input as an empty stream to its end and
        // signals no error of its own.
        EXPECT_EQ(of_type(events, "error"), std::vector<json>{error_of("unrecognized")});
        EXPECT_LT(index_of(events, "end"), index_of(events, "error"));
        // A tracks report, when playback lasted long enough for one, lists nothing.
        for (const json &t : of_type(events, "tracks")) {
            EXPECT_EQ(t["audio"], json::array());
            EXPECT_EQ(t["video"], json::array());
        }
    }
}

TEST(RealFailures, WithoutSoundOutputNoiseIsClassifiedFromTheAudioError) {
    // On a machine without any sound output, making the media player already
    // logs the error "PulseAudio server connection failure: Connection
    // refused". It is stored with the player's lines, and the rules read
    // "Connection refused" as unreachable, so noise that would otherwise be
    // unrecognized is reported as unreachable here. The library's words
    // decide; the rules are left as they are.
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    struct stat st;
    if ((runtime && stat((std::string(runtime) + "/pulse/native").c_str(), &st) == 0) ||
        stat("/run/pulse/native", &st) == 0)
        GTEST_SKIP() << "this machine has a sound server of its own";
    scratch files;
    host h;
    host_options opt{{"--frames=null"}, false};
    opt.null_audio = false;
    start(&h, opt);
    std::vector<json> events = play_out(&h, 1, files.noise());
    SCOPED_TRACE(dump(events));
    EXPECT_EQ(of_type(events, "error"), std::vector<json>{error_of("unreachable")});
    EXPECT_LT(index_of(events, "end"), index_of(events, "error"));
}

TEST(UndecodableStreams, StreamsNoDecoderTakesAreNamed) {
    const struct {
        const char *clip;
        const char *library_line;  // what the library says about the stream
        json error;                // null: no error at all
        bool pictures;             // video decoded and shown
    } cases[] = {
        // H.264 under the FourCC "ZZ9 ": the name is the FourCC without its space.
        {"undecodable-video.avi", "Codec `ZZ9 ' (No description for this codec) is not supported.",
         error_of("undecodableVideo", "ZZ9"), false},
        {"undecodable-tone.mov", "Codec `QQQQ' (No description for this codec) is not supported.",
         error_of("undecodableAudio", "QQQQ"), false},
        // Beside video that plays, silent audio is no error: only no sound.
        {"undecodable-sound.mov", "Codec `QQQQ' (No description for this codec) is not supported.", json(), true},
    };
    host h;
    start(&h);
    long long id = 1;
    for (const auto &c : cases) {
        std::vector<json> events = play_out(&h, id++, media_url(c.clip));
        SCOPED_TRACE(std::string(c.clip) + "\n" + dump(events));
        EXPECT_TRUE(forwarded(events, c.library_line));
        std::vector<json> errors = of_type(events, "error");
        EXPECT_EQ(errors, c.error.is_null() ? std::vector<json>{} : std::vector<json>{c.error});
        // Without anything to decode the library reaches the end at once,
        // often before a tracks report; whatever sound state is told is none.
        std::vector<json> sound = of_type(events, "sound");
        EXPECT_TRUE(!sound.empty() || !c.pictures);
        for (const json &s : sound)
            EXPECT_EQ(s["state"], "none");
        EXPECT_EQ(!of_type(events, "format").empty(), c.pictures);
        EXPECT_LT(index_of(events, "end"), events.size()) << "the library plays on to the end";
    }
}

TEST(RealClips, PlayedToTheEndHoweverShortAreNoError) {
    host h;
    start(&h);
    long long id = 1;
    for (const char *clip : {"short-video.mp4", "short-tone.m4a"}) {
        std::vector<json> events = play_out(&h, id++, media_url(clip));
        SCOPED_TRACE(std::string(clip) + "\n" + dump(events));
        EXPECT_LT(index_of(events, "end"), events.size());
        EXPECT_EQ(of_type(events, "error"), std::vector<json>{});
    }
}

}  // namespace
