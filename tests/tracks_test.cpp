// The tracks and sound reports end to end: what a clip contains, which
// tracks a load picks, subtitles kept off, when the sound state is told,
// transport streams from a file and live over HTTP, and no report twice.
#include "host.h"
#include "http_server.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// The engine without a frame pipe; these tests look at events only.
void start(host *h) {
    ASSERT_TRUE(host_start(h, {{"--frames=null"}, false}));
    ASSERT_FALSE(host_wait_type(h, "ready").is_null());
}

json load(host *h, long long id, const char *clip, const std::string &extra = "") {
    return host_command(h,
                        R"({"id":)" + std::to_string(id) + R"(,"cmd":"load","url":")" + media_url(clip) +
                            R"(","live":false)" + extra + "}",
                        id);
}

json command(host *h, long long id, const std::string &cmd, int track) {
    return host_command(
        h, R"({"id":)" + std::to_string(id) + R"(,"cmd":")" + cmd + R"(","track":)" + std::to_string(track) + "}",
        id);
}

// Waits for a tracks report whose selection has `which` set to `id`.
json wait_selected(host *h, const char *which, int id) {
    return host_wait(h, [&](const json &ev) { return ev["type"] == "tracks" && ev["selected"][which] == id; });
}

// The events of one type seen so far, in order.
std::vector<json> all_of(const host *h, const char *type) {
    std::vector<json> out;
    for (const json &ev : h->events)
        if (ev["type"] == type)
            out.push_back(ev);
    return out;
}

// The id of the entry of `kind` whose language is `language`; -1 if none.
int id_of(const json &tracks, const char *kind, const char *language) {
    for (const json &t : tracks[kind])
        if (t["language"] == language)
            return t["id"].get<int>();
    return -1;
}

const char *const TRACKS_MKV = R"({"type":"tracks",
  "audio":[{"id":1,"name":"English - [English]","language":"eng"},
           {"id":2,"name":"French - [French]","language":"fra"}],
  "spu":[{"id":3,"name":"Deutsch - [German]","language":"deu"},
         {"id":4,"name":"Captions - [English]","language":"eng"}],
  "video":[{"id":0,"name":"Track 1","language":"und"}],
  "selected":{"audio":1,"spu":3,"video":0}})";

TEST(Tracks, ReportListsEveryTrackWithNameLanguageAndSelection) {
    host h;
    start(&h);
    ASSERT_EQ(load(&h, 1, "tracks.mkv")["ok"], true);
    json tracks = host_wait_type(&h, "tracks");
    // The default audio and the subtitle flagged default are on.
    EXPECT_EQ(tracks, json::parse(TRACKS_MKV));
    EXPECT_EQ(host_wait_type(&h, "sound"), json::parse(R"({"type":"sound","state":"playing"})"));
}

TEST(Tracks, LoadChoosesAudioAndSubtitlesByTheReportedIds) {
    host h;
    start(&h);
    ASSERT_EQ(load(&h, 1, "tracks.mkv")["ok"], true);
    json first = host_wait_type(&h, "tracks");
    int french = id_of(first, "audio", "fra"), captions = id_of(first, "spu", "eng");
    ASSERT_GE(french, 0);
    ASSERT_GE(captions, 0);
    ASSERT_NE(first["selected"]["audio"], french);
    ASSERT_NE(first["selected"]["spu"], captions);

    std::string choice = R"(,"audio":)" + std::to_string(french) + R"(,"spu":)" + std::to_string(captions);
    ASSERT_EQ(load(&h, 2, "tracks.mkv", choice)["ok"], true);
    json chosen = host_wait_type(&h, "tracks");
    EXPECT_EQ(chosen["selected"], (json{{"audio", french}, {"spu", captions}, {"video", 0}}));
    EXPECT_EQ(chosen["audio"], first["audio"]);
    EXPECT_EQ(chosen["spu"], first["spu"]);
    // A new player tells its sound state again.
    EXPECT_EQ(host_wait_type(&h, "sound")["state"], "playing");
}

TEST(Tracks, SubtitlesOffOnLoadStayOffUntilAnSpuCommand) {
    host h;
    start(&h);
    ASSERT_EQ(load(&h, 1, "tracks.mkv", R"(,"spu":-1)")["ok"], true);
    json first = host_wait_type(&h, "tracks");
    ASSERT_FALSE(first.is_null());
    // Without the option this clip shows its default subtitles (track 3).
    EXPECT_EQ(first["selected"]["spu"], -1);
    // Another report, caused by an audio switch, keeps them off.
    ASSERT_EQ(command(&h, 2, "audio", 2)["ok"], true);
    ASSERT_FALSE(wait_selected(&h, "audio", 2).is_null());
    for (const json &t : all_of(&h, "tracks"))
        EXPECT_EQ(t["selected"]["spu"], -1) << t.dump();
    // The host's own choice ends it.
    ASSERT_EQ(command(&h, 3, "spu", 3)["ok"], true);
    json on = wait_selected(&h, "spu", 3);
    ASSERT_FALSE(on.is_null());
    EXPECT_EQ(on["selected"]["audio"], 2);
}

TEST(Tracks, SoundIsToldAtTheFirstReportThenOnlyOnChange) {
    host h;
    start(&h);
    ASSERT_EQ(load(&h, 1, "tracks.mkv")["ok"], true);
    ASSERT_FALSE(host_wait_type(&h, "tracks").is_null());
    // Each switch brings a new tracks report; only the ones that change
    // whether anything is heard bring a sound event.
    const struct {
        int track;
        const char *sound;  // null: none expected
    } steps[] = {{2, nullptr}, {-1, "none"}, {1, "playing"}, {2, nullptr}};
    std::vector<json> want = {json{{"type", "sound"}, {"state", "playing"}}};
    long long id = 2;
    for (const auto &s : steps) {
        ASSERT_EQ(command(&h, id++, "audio", s.track)["ok"], true) << s.track;
        ASSERT_FALSE(wait_selected(&h, "audio", s.track).is_null()) << s.track;
        if (s.sound) {
            want.push_back(json{{"type", "sound"}, {"state", s.sound}});
            EXPECT_EQ(host_wait_type(&h, "sound")["state"], s.sound) << s.track;
        }
    }
    ASSERT_EQ(host_command(&h, R"({"id":100,"cmd":"quit"})", 100)["ok"], true);
    EXPECT_EQ(host_wait_exit(&h), 0);
    EXPECT_EQ(all_of(&h, "sound"), want);
}

TEST(Tracks, AudioOnlyAndVideoOnlyClips) {
    const struct {
        const char *clip;
        const char *report;
        const char *sound;
    } cases[] = {
        {"tone.m4a",
         R"({"type":"tracks","audio":[{"id":0,"name":"Track 1","language":null}],"spu":[],"video":[],
             "selected":{"audio":0,"spu":-1,"video":-1}})",
         "playing"},
        {"video-only.mp4",
         R"({"type":"tracks","audio":[],"spu":[],"video":[{"id":0,"name":"Track 1","language":null}],
             "selected":{"audio":-1,"spu":-1,"video":0}})",
         "none"},
    };
    host h;
    start(&h);
    long long id = 1;
    for (const auto &c : cases) {
        ASSERT_EQ(load(&h, id++, c.clip)["ok"], true) << c.clip;
        EXPECT_EQ(host_wait_type(&h, "tracks"), json::parse(c.report)) << c.clip;
        EXPECT_EQ(host_wait_type(&h, "sound")["state"], c.sound) << c.clip;
    }
}

// In a transport stream the tracks carry the stream PIDs as ids, and the
// media's list of streams lags behind them; languages and sound are still
// those of the streams, from a file as from a live stream over HTTP. No
// report is told twice in a row.
TEST(Tracks, TransportStreamsTellLanguagesAndSoundAndNoRepeats) {
    http_server server;
    server.files = media_path("");
    ASSERT_TRUE(http_start(&server));
    const struct { std::string url; bool live; } cases[] = {
        {media_url("tracks.ts"), false},
        {http_url(&server, "/file/tracks.ts"), true},
    };
    host h;
    start(&h);
    long long id = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        size_t from = h.events.size();
        std::string line = R"({"id":)" + std::to_string(id) + R"(,"cmd":"load","url":")" + c.url + R"(","live":)" +
                           (c.live ? "true" : "false") + "}";
        ASSERT_EQ(host_command(&h, line, id)["ok"], true);
        json both = host_wait(&h, [](const json &ev) {
            return ev["type"] == "tracks" && ev["audio"].size() == 2 && ev["audio"][1]["language"].is_string();
        });
        ASSERT_FALSE(both.is_null());
        EXPECT_EQ(both["audio"][0]["language"], "eng");
        EXPECT_EQ(both["audio"][1]["language"], "fra");
        EXPECT_EQ(both["selected"]["audio"], both["audio"][0]["id"]);
        EXPECT_EQ(both["video"].size(), 1u);
        host_drain(&h, 500);
        std::vector<json> sound;
        std::map<std::string, json> last;
        for (size_t i = from; i < h.events.size(); i++) {
            const json &ev = h.events[i];
            std::string type = ev["type"];
            if (type == "sound")
                sound.push_back(ev["state"]);
            if (type == "tracks" || type == "length" || type == "seekable" || type == "pausable") {
                EXPECT_NE(ev, last[type]) << "told twice";
                last[type] = ev;
            }
        }
        EXPECT_FALSE(sound.empty());
        EXPECT_EQ(sound.back(), "playing");
        id++;
    }
}

}  // namespace
