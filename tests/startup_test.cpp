// Start-up, the command line, line framing, not-a-command lines and the two
// ways the engine ends, against the real binary.
#include "host.h"

#include <gtest/gtest.h>
#include <vlc/vlc.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

const char USAGE[] = "usage: vexolo-engine --max-size=WxH --frames=fd:3|null --loglevel=N\n";

// Starts the engine and consumes its ready line.
void start_ready(host *h, const host_options &opt = {}) {
    ASSERT_TRUE(host_start(h, opt));
    json ready = host_wait_type(h, "ready");
    ASSERT_FALSE(ready.is_null());
}

// The events after the last consumed one, once the engine has ended.
std::vector<json> rest(host *h) {
    return std::vector<json>(h->events.begin() + long(h->next), h->events.end());
}

TEST(Startup, BadArgumentsEndWithUsageAndStatus2) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--bogus"}, "--bogus"},
        {{"positional"}, "positional"},
        {{"--frames=fd:4"}, "--frames=fd:4"},
        {{"--max-size"}, "--max-size"},
        {{"--max-size=1x720"}, "bad --max-size"},
        {{"--max-size=1280x1"}, "bad --max-size"},
        {{"--max-size=1280"}, "bad --max-size"},
        {{"--max-size=axb"}, "bad --max-size"},
        {{"--max-size=0x0"}, "bad --max-size"},
        {{"--max-size=640x480", "--bogus"}, "--bogus"},
    };
    for (const auto &c : cases) {
        host h;
        ASSERT_TRUE(host_start(&h, {c.args, false}));
        EXPECT_EQ(host_wait_exit(&h), 2) << c.message;
        EXPECT_EQ(host_stderr(&h), "vexolo-engine: " + c.message + "\n" + USAGE);
        EXPECT_TRUE(h.events.empty()) << "standard output must stay empty for " << c.message;
    }
}

TEST(Startup, TheFramePipeMustBeWritable) {
    const struct {
        const char *name;
        std::function<void()> set_up;
        bool frames_null;
        int status;
    } cases[] = {
        {"closed", [] { close(3); }, false, 2},
        {"read end of a pipe",
         [] {
             int p[2];
             if (pipe(p) == 0)
                 dup2(p[0], 3);
         },
         false, 2},
        {"read-only file", [] { dup2(open("/dev/null", O_RDONLY), 3); }, false, 2},
        {"read end, but no frames", [] { dup2(open("/dev/null", O_RDONLY), 3); }, true, 0},
    };
    for (const auto &c : cases) {
        host_options opt;
        opt.frame_pipe = false;
        opt.before_exec = c.set_up;
        if (c.frames_null)
            opt.args = {"--frames=null"};
        host h;
        ASSERT_TRUE(host_start(&h, opt));
        host_close_input(&h);
        EXPECT_EQ(host_wait_exit(&h), c.status) << c.name;
        if (c.status == 2) {
            EXPECT_EQ(host_stderr(&h), "vexolo-engine: fd 3 must be the frame pipe (or --frames=null)\n" +
                                           std::string(USAGE))
                << c.name;
        }
    }
}

TEST(Startup, AcceptedArgumentsReachTheReadyLine) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--max-size=1280x720 and more"},
        {"--max-size=2x2", "--loglevel=abc"},
        {"--frames=null", "--frames=fd:3"},
        {"--frames=fd:3", "--frames=null"},
        {"--loglevel=-7", "--loglevel=99999999999"},
    };
    for (const auto &args : cases) {
        host h;
        start_ready(&h, {args, true});
        host_send(&h, R"({"id":1,"cmd":"quit"})");
        EXPECT_EQ(host_ack(&h, 1)["ok"], true);
        EXPECT_EQ(host_wait_exit(&h), 0);
        EXPECT_EQ(host_stderr(&h), "");
    }
}

TEST(Startup, ReadyLineCarriesTheLibraryVersion) {
    host h;
    ASSERT_TRUE(host_start(&h));
    json ready = host_wait_type(&h, "ready");
    EXPECT_EQ(ready, (json{{"type", "ready"}, {"version", libvlc_get_version()}}));
    EXPECT_EQ(h.events.size(), 1u) << "the ready line comes first";
}

TEST(Lines, NotACommandIsLoggedWithoutAck) {
    host h;
    start_ready(&h);
    const struct {
        std::string line, echoed;
    } cases[] = {
        {R"({"id":1.5,"cmd":"stop"})", R"({"id":1.5,"cmd":"stop"})"},
        {R"({"id":"1","cmd":"stop"})", R"({"id":"1","cmd":"stop"})"},
        {R"({"id":1,"cmd":5})", R"({"id":1,"cmd":5})"},
        {R"({"cmd":"stop"})", R"({"cmd":"stop"})"},
        {R"({"id":1})", R"({"id":1})"},
        {"{}", "{}"},
        {"\r", "\r"},
        {"stop", "stop"},
        {R"({"id":1,"cmd":"stop"} x)", R"({"id":1,"cmd":"stop"} x)"},
        {R"({"id":1,"cmd":"stop",})", R"({"id":1,"cmd":"stop",})"},
        {"{\"id\":1,\"cmd\":\"st\\u00\"}", "{\"id\":1,\"cmd\":\"st\\u00\"}"},
        {"\x01\x1f\t\"\\", "\x01\x1f\t\"\\"},
        // bytes that are not UTF-8 come back as U+FFFD, so the line stays valid
        {"caf\xe9 \xff\xfe \xed\xa0\x80", "caf\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xc3", "\xEF\xBF\xBD"},
        {"snow \xe2\x98\x83", "snow \xe2\x98\x83"},
        // a NUL byte makes the whole line not a command, and shows in the echo
        {std::string("{\"id\":4,\"cmd\":\"volume\",\"level\":10}\0junk", 40),
         std::string("{\"id\":4,\"cmd\":\"volume\",\"level\":10}\0junk", 40)},
        {std::string("\0", 1), std::string("\0", 1)},
    };
    for (const auto &c : cases)
        host_send(&h, c.line);
    EXPECT_EQ(host_command(&h, R"({"id":99,"cmd":"nosuch"})", 99)["ok"], false);
    std::vector<json> seen(h.events.begin() + 1, h.events.begin() + long(h.next) - 1);
    ASSERT_EQ(seen.size(), std::size(cases));
    for (size_t i = 0; i < seen.size(); i++)
        EXPECT_EQ(seen[i], (json{{"type", "log"}, {"message", "not a command: " + cases[i].echoed}}))
            << "line " << i;
}

TEST(Lines, EchoIsCutAtItsCapacityOnACharacterBoundary) {
    host h;
    start_ready(&h);
    // 290 plain bytes then snowmen: the last one that starts in time is
    // written whole, the cut never falls inside one.
    std::string line = std::string(290, 'a');
    for (int i = 0; i < 10; i++)
        line += "\xe2\x98\x83";
    host_send(&h, line);
    std::string msg = host_wait_type(&h, "log")["message"];
    EXPECT_EQ(msg, "not a command: " + std::string(290, 'a') + "\xe2\x98\x83");

    host_send(&h, std::string(1000, '"'));
    msg = host_wait_type(&h, "log")["message"];
    EXPECT_EQ(msg, "not a command: " + std::string(146, '"'));
}

TEST(Lines, UnrecognisedCommandsGetANegativeAck) {
    host h;
    start_ready(&h);
    for (const char *cmd : {"nosuch", "Quit", "LOAD", "", "quit "}) {
        json ack = host_command(&h, std::string(R"({"id":7,"cmd":")") + cmd + "\"}", 7);
        EXPECT_EQ(ack, (json{{"type", "ack"}, {"id", 7}, {"ok", false}})) << cmd;
    }
}

TEST(Lines, IdsAreCarriedAsSigned64BitAndClampedBeyond) {
    host h;
    start_ready(&h);
    const struct {
        const char *id;
        long long expected;
    } cases[] = {
        {"0", 0},
        {"-3", -3},
        {"1e3", 1000},
        {"0x10", 16},
        {"9007199254740993", 9007199254740992},  // nearest double
        {"1e19", INT64_MAX},
        {"1e300", INT64_MAX},
        {"-1e19", INT64_MIN},
        {"-9223372036854775808", INT64_MIN},
    };
    for (const auto &c : cases) {
        host_send(&h, std::string(R"({"cmd":"nosuch","id":)") + c.id + "}");
        json ack = host_wait_type(&h, "ack");
        EXPECT_EQ(ack["id"].get<long long>(), c.expected) << c.id;
        EXPECT_EQ(ack["ok"], false);
    }
}

TEST(Lines, LongLinesAreFramedWholeUpToTheBound) {
    host h;
    start_ready(&h);
    [[maybe_unused]] const long idle_kb = host_sample(h.pid).rss_kb;
    const size_t bound = 1 << 20;
    const std::string command = R"({"id":5,"cmd":"nosuch","pad":")";
    const struct {
        std::string line;
        std::string logged;  // the log message, or "" for the ack of id 5
    } cases[] = {
        {command + std::string(20000, 'x') + "\"}", ""},
        {command + std::string(bound - command.size() - 2, 'x') + "\"}", ""},
        {std::string(bound, 'x'), "not a command: " + std::string(292, 'x')},
        {command + std::string(bound, 'x') + "\"}", "line longer than 1048576 bytes: " + command + std::string(253, 'x')},
        {std::string(64 * bound, '\0'), "line longer than 1048576 bytes: " + std::string(49, '\0')},
    };
    for (const auto &c : cases) {
        host_send(&h, c.line);
        json answer = host_wait(&h, [](const json &ev) { return ev["type"] == "ack" || ev["type"] == "log"; });
        if (c.logged.empty())
            EXPECT_EQ(answer, (json{{"type", "ack"}, {"id", 5}, {"ok", false}})) << c.line.size();
        else
            EXPECT_EQ(answer, (json{{"type", "log"}, {"message", c.logged}})) << c.line.size();
    }
    // The next line is read as usual, and the long ones left no memory behind.
    EXPECT_EQ(host_command(&h, R"({"id":6,"cmd":"nosuch"})", 6)["ok"], false);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their allocators keep freed memory
    EXPECT_LT(host_sample(h.pid).rss_kb - idle_kb, 16 * 1024);
#endif
}

TEST(Lines, EmptyLinesProduceNoOutput) {
    host h;
    start_ready(&h);
    host_send(&h, "\n\n");
    host_send(&h, R"({"id":1,"cmd":"nosuch"})");
    json first = host_wait(&h, [](const json &) { return true; });
    EXPECT_EQ(first, (json{{"type", "ack"}, {"id", 1}, {"ok", false}}));
}

TEST(Lines, LinesSentBeforeTheReadyLineAreAnsweredInOrderAfterIt) {
    host h;
    ASSERT_TRUE(host_start(&h));
    for (int id = 1; id <= 5; id++)
        host_send(&h, R"({"id":)" + std::to_string(id) + R"(,"cmd":"nosuch"})");
    host_ack(&h, 5);
    ASSERT_EQ(h.events.size(), 6u);
    EXPECT_EQ(h.events[0]["type"], "ready");
    for (int id = 1; id <= 5; id++)
        EXPECT_EQ(h.events[size_t(id)]["id"], id);
}

TEST(Shutdown, QuitAcksThenEndsWithNothingAfter) {
    host h;
    start_ready(&h);
    // Lines behind quit in the same write are never handled.
    host_send(&h, "{\"id\":-3,\"cmd\":\"quit\"}\n{\"id\":4,\"cmd\":\"nosuch\"}\nnot json");
    EXPECT_EQ(host_ack(&h, -3), (json{{"type", "ack"}, {"id", -3}, {"ok", true}}));
    EXPECT_EQ(host_wait_exit(&h), 0);
    EXPECT_TRUE(rest(&h).empty()) << rest(&h).front();
}

TEST(Shutdown, EndOfInputHandlesAPartialLastLineThenEnds) {
    host h;
    start_ready(&h);
    const std::string partial = R"({"id":8,"cmd":"nosuch"})";
    ASSERT_EQ(write(h.in_fd, partial.data(), partial.size()), ssize_t(partial.size()));
    host_close_input(&h);
    EXPECT_EQ(host_ack(&h, 8)["ok"], false);
    EXPECT_EQ(host_wait_exit(&h), 0);
    EXPECT_TRUE(rest(&h).empty());
}

TEST(Shutdown, EndOfInputWithoutCommandsEndsSilently) {
    host h;
    start_ready(&h);
    host_close_input(&h);
    EXPECT_EQ(host_wait_exit(&h), 0);
    EXPECT_EQ(h.events.size(), 1u);
    EXPECT_EQ(host_stderr(&h), "");
}

}  // namespace
