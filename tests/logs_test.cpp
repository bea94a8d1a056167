// Tests of the library's log callback, in process: lines are handed to on_log
// as the library hands them, for player records that are current or retired,
// and what it stores, notes and prints is read back. Standard output goes to
// a pipe while a line is handed over.
#include "engine.h"
#include "inproc.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using json = nlohmann::json;

bool forwarded_any;          // some test of this process forwarded a line

// The library's calling convention: a format and its va_list.
void log_line(player *p, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void log_line(player *p, int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    on_log(p, level, nullptr, fmt, ap);
    va_end(ap);
}

// The messages of the log events that f printed; nothing else may be printed.
std::vector<std::string> printed(const std::function<void()> &f) {
    std::vector<std::string> messages;
    for (const std::string &line : capture_lines(f)) {
        json ev = json::parse(line);
        EXPECT_EQ(line.rfind(R"({"type":"log","message":")", 0), 0u) << line;
        EXPECT_EQ(ev.size(), 2u) << line;
        messages.push_back(ev["message"].get<std::string>());
    }
    if (!messages.empty())
        forwarded_any = true;
    return messages;
}

std::vector<std::string> say(player *p, int level, const char *message) {
    return printed([&] { log_line(p, level, "%s", message); });
}

// The stored lines of p, oldest first, as the error report reads them.
std::vector<std::string> ring(player *p) {
    std::lock_guard<std::mutex> hold(ctl_lock);
    std::vector<std::string> out;
    for (int i = p->log_count > LOG_RING ? p->log_count - LOG_RING : 0; i < p->log_count; i++)
        out.push_back(p->log_ring[i % LOG_RING]);
    return out;
}

std::vector<std::string> codecs(player *p) {
    std::lock_guard<std::mutex> hold(ctl_lock);
    return std::vector<std::string>(p->bad_codecs, p->bad_codecs + p->bad_codec_count);
}

int take_pending(player *p) {
    std::lock_guard<std::mutex> hold(ctl_lock);
    int bits = p->pending;
    p->pending = 0;
    return bits;
}

using lines = std::vector<std::string>;

// Every test starts after the ready line with a fresh current player record
// and no forwarding of warnings. on_log touches no library state, so a record
// without an instance behind it is a player in every respect that matters.
class Logs : public ::testing::Test {
protected:
    std::unique_ptr<player> p;

    void SetUp() override {
        p = make(generation.load() + 1);
        generation.store(p->generation);
        ready_told.store(1);
        verbosity = 0;
    }
    static std::unique_ptr<player> make(uint64_t n) {
        std::unique_ptr<player> q(new player{});
        q->generation = n;
        return q;
    }
};

TEST_F(Logs, LevelsDecideWhatIsStoredAndForwarded) {
    const struct {
        int level;
        int verbosity;
        bool forwarded;
        bool stored;
    } cases[] = {
        {LIBVLC_DEBUG, 0, false, false},   {LIBVLC_DEBUG, 5, false, false},
        {1, 5, false, false},              {LIBVLC_NOTICE, 5, false, false},
        {LIBVLC_WARNING, 0, false, false}, {LIBVLC_WARNING, -3, false, false},
        {LIBVLC_WARNING, 1, true, false},  {LIBVLC_ERROR, 0, true, true},
        {LIBVLC_ERROR, 1, true, true},     {LIBVLC_ERROR + 1, 0, true, true},
    };
    for (const auto &c : cases) {
        std::unique_ptr<player> q = make(p->generation);
        verbosity = c.verbosity;
        std::string text = "level " + std::to_string(c.level) + " verbosity " + std::to_string(c.verbosity);
        EXPECT_EQ(say(q.get(), c.level, text.c_str()), c.forwarded ? lines{text} : lines{}) << text;
        EXPECT_EQ(ring(q.get()), c.stored ? lines{text} : lines{}) << text;
        EXPECT_EQ(take_pending(q.get()), 0) << text;
    }
}

TEST_F(Logs, FormatArgumentsAreFormattedOnce) {
    // The message is what the library's format makes of its arguments; a
    // percent sign inside an argument is text, not a format.
    EXPECT_EQ(printed([&] { log_line(p.get(), LIBVLC_ERROR, "HTTP %d error on %s", 404, "/a%s%n"); }),
              lines{"HTTP 404 error on /a%s%n"});
    EXPECT_EQ(ring(p.get()), lines{"HTTP 404 error on /a%s%n"});
}

TEST_F(Logs, RingKeepsTheLastEightErrorLines) {
    ready_told.store(0);  // storing only
    for (int i = 1; i <= 10; i++)
        printed([&] { log_line(p.get(), LIBVLC_ERROR, "line %d", i); });
    EXPECT_EQ(p->log_count, 10);
    EXPECT_EQ(ring(p.get()), (lines{"line 3", "line 4", "line 5", "line 6", "line 7", "line 8", "line 9", "line 10"}));

    // The error report reads the ring: a status eight lines back is gone.
    std::unique_ptr<player> q = make(p->generation);
    say(q.get(), LIBVLC_ERROR, "HTTP 404 error");
    for (int i = 1; i <= 7; i++)
        say(q.get(), LIBVLC_ERROR, "Your input can't be opened");
    EXPECT_STREQ(stored_problem(q.get()), "notFound");
    say(q.get(), LIBVLC_ERROR, "Your input can't be opened");
    EXPECT_STREQ(stored_problem(q.get()), "unavailable");
}

TEST_F(Logs, CountNearItsLimitKeepsTheRingInOrder) {
    ready_told.store(0);
    p->log_count = INT32_MAX - LOG_RING - 2;
    for (int i = 1; i <= 12; i++)
        printed([&] { log_line(p.get(), LIBVLC_ERROR, "line %d", i); });
    EXPECT_GT(p->log_count, LOG_RING);
    EXPECT_EQ(ring(p.get()), (lines{"line 5", "line 6", "line 7", "line 8", "line 9", "line 10", "line 11", "line 12"}));
}

TEST_F(Logs, UnsupportedCodecLinesNoteTheirFourcc) {
    ready_told.store(0);
    const struct {
        int level;
        const char *message;
        const char *fourcc;  // null: nothing noted
    } cases[] = {
        {LIBVLC_ERROR, "Codec `abc", nullptr},  // ten bytes: the FourCC is incomplete
        {LIBVLC_ERROR, "Codec `abcd", "abcd"},  // eleven
        {LIBVLC_ERROR, "Codec `a52 ' (A/52 audio) is not supported.", "a52 "},
        {LIBVLC_ERROR, "Codec 'hevc' (HEVC) is not supported.", nullptr},
        {LIBVLC_ERROR, "The Codec `hevc' (HEVC) is not supported.", nullptr},
        {LIBVLC_WARNING, "Codec `hevc' (HEVC) is not supported.", nullptr},  // only errors count
    };
    verbosity = 1;
    for (const auto &c : cases) {
        std::unique_ptr<player> q = make(p->generation);
        say(q.get(), c.level, c.message);
        EXPECT_EQ(codecs(q.get()), c.fourcc ? lines{c.fourcc} : lines{}) << c.message;
        EXPECT_EQ(take_pending(q.get()), c.fourcc ? PEND_CODECS : 0) << c.message;
        EXPECT_EQ(ring(q.get()), c.level == LIBVLC_ERROR ? lines{c.message} : lines{}) << c.message;
    }
}

TEST_F(Logs, NinthUnsupportedCodecIsStoredButNotNoted) {
    ready_told.store(0);
    const char *fourccs[] = {"h264", "hevc", "h264", "VP90", "a52 ", "mp4a", "Opus", "av01"};
    lines want;
    for (const char *f : fourccs) {
        printed([&] { log_line(p.get(), LIBVLC_ERROR, "Codec `%s' (x) is not supported.", f); });
        EXPECT_EQ(take_pending(p.get()), PEND_CODECS) << f;
        want.push_back(f);
    }
    EXPECT_EQ(codecs(p.get()), want) << "the same FourCC twice is noted twice";
    say(p.get(), LIBVLC_ERROR, "Codec `dts ' (DTS) is not supported.");
    EXPECT_EQ(codecs(p.get()), want);
    EXPECT_EQ(take_pending(p.get()), 0);
    EXPECT_EQ(ring(p.get()).back(), "Codec `dts ' (DTS) is not supported.");
    EXPECT_EQ(p->log_count, 9);
}

TEST_F(Logs, LinesBeforeTheReadyLineAreStoredButNeverForwarded) {
    ready_told.store(0);
    EXPECT_EQ(say(p.get(), LIBVLC_ERROR, "PulseAudio server connection failure: Connection refused"), lines{});
    ready_told.store(1);
    EXPECT_EQ(say(p.get(), LIBVLC_ERROR, "later"), lines{"later"});
    EXPECT_EQ(ring(p.get()), (lines{"PulseAudio server connection failure: Connection refused", "later"}));
}

TEST_F(Logs, RetiredPlayerStoresItsOwnLinesAndForwardsNone) {
    std::unique_ptr<player> retired = std::move(p);
    p = make(retired->generation + 1);
    generation.store(p->generation);
    verbosity = 1;
    EXPECT_EQ(say(retired.get(), LIBVLC_ERROR, "old error"), lines{});
    EXPECT_EQ(say(retired.get(), LIBVLC_WARNING, "old warning"), lines{});
    EXPECT_EQ(say(retired.get(), LIBVLC_ERROR, "Codec `hevc' (HEVC) is not supported."), lines{});
    EXPECT_EQ(say(p.get(), LIBVLC_ERROR, "new error"), lines{"new error"});
    EXPECT_EQ(ring(retired.get()), (lines{"old error", "Codec `hevc' (HEVC) is not supported."}));
    EXPECT_EQ(codecs(retired.get()), lines{"hevc"});
    EXPECT_EQ(ring(p.get()), lines{"new error"});
}

TEST_F(Logs, LongMessagesAreCutToTheirFirst511Bytes) {
    std::string long_text(600, 'a');
    for (size_t i = 0; i < long_text.size(); i++)
        long_text[i] = char('a' + i % 26);
    EXPECT_EQ(say(p.get(), LIBVLC_ERROR, long_text.c_str()), lines{long_text.substr(0, 511)});
    EXPECT_EQ(ring(p.get()), lines{long_text.substr(0, 511)});

    // Escaped, 511 control bytes would take six times the room: the event
    // carries as many whole ones as fit, and stays one valid line.
    std::string controls(511, '\x01');
    lines got = say(p.get(), LIBVLC_ERROR, controls.c_str());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_GT(got[0].size(), 150u);
    EXPECT_LT(got[0].size(), controls.size());
    EXPECT_EQ(got[0], controls.substr(0, got[0].size()));
}

TEST_F(Logs, OnlyLinesAboutTheMediaAreStoredAndAllAreForwarded) {
    const struct { const char *object, *message; bool stored; } cases[] = {
        {"audio output", "PulseAudio server connection failure: Connection refused", false},
        {"tls client", "connection error: No such file or directory", false},
        {"tls client", "TLS session handshake error", true},
        {"access", "HTTP 404 error", true},
    };
    lines stored;
    for (const auto &c : cases) {
        EXPECT_EQ(printed([&] { take_line(p.get(), LIBVLC_ERROR, c.object, c.message); }), lines{c.message});
        if (c.stored)
            stored.push_back(c.message);
    }
    EXPECT_EQ(ring(p.get()), stored);
    EXPECT_STREQ(stored_problem(p.get()), "notFound");
}

// The video output tries formats and converters that fail before one works.
// Those lines are told only when none works, or when warnings are asked for.
TEST_F(Logs, FormatNegotiationLinesAreHeldUntilItsOutcome) {
    const char *tries[] = {"Too high level of recursion (3)", "Failed to create video converter",
                           "Failed to adapt decoder format to display", "video output creation failed"};
    const char *objects[] = {"filter", "filter", "vout display", "video output"};
    auto negotiate = [&](player *q, int rounds) {
        return printed([&] {
            for (int r = 0; r < rounds; r++)
                for (int i = 0; i < 4; i++)
                    take_line(q, LIBVLC_ERROR, objects[i], tries[i]);
            take_line(q, LIBVLC_ERROR, "decoder", "failed to create video output");
        });
    };
    // Agreed: nothing is told, nothing stored.
    EXPECT_EQ(negotiate(p.get(), 3), lines{});
    EXPECT_EQ(printed([&] { negotiation_over(p.get(), true); }), lines{});
    EXPECT_EQ(printed([&] { negotiation_over(p.get(), false); }), lines{}) << "told after it was agreed";
    EXPECT_EQ(ring(p.get()), lines{});

    // Failed: the last lines are told, the others counted as dropped when
    // the window closes.
    std::unique_ptr<player> q = make(p->generation);
    EXPECT_EQ(negotiate(q.get(), 1), lines{});
    EXPECT_EQ(printed([&] { negotiation_over(q.get(), false); }),
              (lines{tries[0], tries[1], tries[2], tries[3], "failed to create video output"}));

    // Asked for warnings, the host hears every try as it happens.
    verbosity = 1;
    std::unique_ptr<player> r = make(p->generation);
    EXPECT_EQ(negotiate(r.get(), 1).size(), 5u);
}

TEST_F(Logs, TwentyLinesASecondAndTheDroppedCountWhenTheWindowCloses) {
    // The window is process-wide: start with one of our own.
    if (forwarded_any)
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    lines first = say(p.get(), LIBVLC_ERROR, "line 1");
    int64_t opened = now_us();  // the window opened no later than this
    lines rest = printed([&] {
        for (int i = 2; i <= 25; i++)
            log_line(p.get(), LIBVLC_ERROR, "line %d", i);
    });
    ASSERT_LT(now_us() - opened, 900000) << "too slow to land 25 lines in one window";
    lines want;
    for (int i = 2; i <= 20; i++)
        want.push_back("line " + std::to_string(i));
    EXPECT_EQ(first, lines{"line 1"});
    EXPECT_EQ(rest, want);
    EXPECT_EQ(p->log_count, 25) << "dropped lines are still stored";

    // A warning that is not forwarded is not counted among the dropped lines.
    EXPECT_EQ(say(p.get(), LIBVLC_WARNING, "quiet warning"), lines{});
    // The count comes as the window closes, though no further line comes.
    lines closing = printed([&] {
        std::this_thread::sleep_for(std::chrono::microseconds(opened + 1000000 - now_us() + 300000));
    });
    EXPECT_EQ(closing, lines{"5 log lines dropped"});
    EXPECT_EQ(say(p.get(), LIBVLC_ERROR, "next window"), lines{"next window"}) << "the count is told once";
}

}  // namespace
