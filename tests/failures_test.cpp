// Unit tests of problem classification, the unsupported-codec recogniser and
// codec names. Log lines are written as the log handler stores them: the
// library's formatted message, without the module prefix its console adds.
#include "failures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct problem_case {
    std::vector<const char *> lines;
    const char *problem;
};

std::string joined(const std::vector<const char *> &lines) {
    std::string text;
    for (const char *line : lines)
        text += std::string(line) + "|";
    return text;
}

void expect_problems(const std::vector<problem_case> &cases) {
    for (const problem_case &c : cases) {
        SCOPED_TRACE(joined(c.lines));
        EXPECT_STREQ(c.problem, problem_of(c.lines.data(), (int)c.lines.size()));
    }
}

std::string name_of(const char *fourcc, unsigned long size = 16) {
    char dst[16];
    memset(dst, 'Z', sizeof dst);
    codec_name(fourcc, dst, size);
    return dst;
}

TEST(ProblemOf, HttpStatusSelectsProblemAcrossWholeRange) {
    expect_problems({
        {{"HTTP 400 error"}, "unavailable"},
        {{"HTTP 401 error"}, "accessDenied"},
        {{"HTTP 402 error"}, "unavailable"},
        {{"HTTP 403 error"}, "accessDenied"},
        {{"HTTP 404 error"}, "notFound"},
        {{"HTTP 405 error"}, "unavailable"},
        {{"HTTP 407 error"}, "unavailable"},
        {{"HTTP 408 error"}, "timedOut"},
        {{"HTTP 409 error"}, "unavailable"},
        {{"HTTP 410 error"}, "notFound"},
        {{"HTTP 411 error"}, "unavailable"},
        {{"HTTP 428 error"}, "unavailable"},
        {{"HTTP 429 error"}, "connectionLimit"},
        {{"HTTP 430 error"}, "unavailable"},
        {{"HTTP 450 error"}, "unavailable"},
        {{"HTTP 451 error"}, "geoBlocked"},
        {{"HTTP 452 error"}, "unavailable"},
        {{"HTTP 499 error"}, "unavailable"},
        {{"HTTP 500 error"}, "serverError"},
        {{"HTTP 503 error"}, "serverError"},
        {{"HTTP 508 error"}, "serverError"},
        {{"HTTP 509 error"}, "connectionLimit"},
        {{"HTTP 510 error"}, "serverError"},
        {{"HTTP 599 error"}, "serverError"},
    });
}

// Each status here is passed over, so the timeout phrase decides; a status
// wrongly taken would give a different problem.
TEST(ProblemOf, StatusOutside400To599IsPassedOver) {
    const char *timed_out = "connection timed out";
    expect_problems({
        {{"HTTP 399 error", timed_out}, "timedOut"},
        {{"HTTP 600 error", timed_out}, "timedOut"},
        {{"HTTP 302 error", timed_out}, "timedOut"},
        {{"HTTP 200 error", timed_out}, "timedOut"},
        {{"HTTP 4040 error", timed_out}, "timedOut"},
        {{"HTTP 40400 error", timed_out}, "timedOut"},
        {{"HTTP -404 error", timed_out}, "timedOut"},
        {{"HTTP error", timed_out}, "timedOut"},
        {{"HTTP ", timed_out}, "timedOut"},
        // These wrap to 404 when cut to 32 bits.
        {{"HTTP 4294967700 error", timed_out}, "timedOut"},
        {{"HTTP -4294966892 error", timed_out}, "timedOut"},
        {{"HTTP 99999999999999999999999 error", timed_out}, "timedOut"},
    });
}

TEST(ProblemOf, StatusNumberIsReadAsDecimalAfterWhiteSpace) {
    expect_problems({
        {{"HTTP  404 error"}, "notFound"},
        {{"HTTP \t404 error"}, "notFound"},
        {{"HTTP +404 error"}, "notFound"},
        {{"HTTP 0404 error"}, "notFound"},
        {{"HTTP 404"}, "notFound"},
        {{"HTTP 404.5"}, "notFound"},
        {{"HTTP 403abc"}, "accessDenied"},
        {{"HTTPS 404"}, "unavailable"},
        {{"2HTTP 404"}, "notFound"},
        // A passed-over occurrence does not hide the next one, even right after it.
        {{"HTTP HTTP 404 error"}, "notFound"},
        {{"HTTP 200 OK, then HTTP 403 error"}, "accessDenied"},
        {{"HTTP 200 OK", "HTTP 403 error"}, "accessDenied"},
    });
}

TEST(ProblemOf, FirstStatusOutranksLaterStatusesAndEveryPhrase) {
    expect_problems({
        {{"HTTP 503 error", "HTTP 404 error"}, "serverError"},
        {{"HTTP 404 error then HTTP 503 error"}, "notFound"},
        {{"Forbidden", "HTTP 404 error"}, "notFound"},
        {{"no suitable demux module for `http://x/a'", "HTTP 451 error"}, "geoBlocked"},
        {{"TLS handshake error: timed out", "HTTP 400 error"}, "unavailable"},
    });
}

// A number at the start of one stored line is not the status of an "HTTP "
// that ended the line before it.
TEST(ProblemOf, StatusIsReadOnlyWithinItsOwnLine) {
    expect_problems({
        {{"reply was cut after HTTP ", "404 bytes lost"}, "unavailable"},
        {{"reply was cut after HTTP ", "403 Forbidden"}, "accessDenied"},
    });
}

TEST(ProblemOf, EachPhraseSelectsItsProblem) {
    expect_problems({
        {{"no suitable demux module for `file:///x.bin'"}, "unrecognized"},
        {{"stream format unidentified"}, "unrecognized"},
        {{"could not identify codec"}, "unrecognized"},
        {{"cannot open file /x (Permission denied)"}, "accessDenied"},
        {{"401 Unauthorized"}, "accessDenied"},
        {{"server says Forbidden"}, "accessDenied"},
        {{"cannot open file /x (No such file or directory)"}, "notFound"},
        {{"stream not found"}, "notFound"},
        {{"TLS handshake error: Error in the push function."}, "insecure"},
        {{"mbedTLSv3 session failed"}, "insecure"},
        {{"server certificate verification failure"}, "insecure"},
        {{"connection timed out"}, "timedOut"},
        {{"read timeout"}, "timedOut"},
        {{"connection failed: Connection refused"}, "unreachable"},
        {{"cannot resolve nosuchhost.invalid port 80 : Name or service not known"},
         "unreachable"},
        {{"Name or service not known"}, "unreachable"},
        {{"cannot connect to 10.0.0.1:554"}, "unreachable"},
        {{"connection failed: Network is unreachable"}, "unreachable"},
        {{"out of memory"}, "outOfMemory"},
    });
}

// Pairs of neighbouring rules, both present: the earlier rule wins whatever
// the order of the lines.
TEST(ProblemOf, EarlierRuleWinsOverLaterRule) {
    expect_problems({
        {{"Forbidden", "no suitable demux module for `http://x/a'"}, "unrecognized"},
        {{"no suitable demux module for `http://x/a'", "Forbidden"}, "unrecognized"},
        {{"cannot open file /x (Permission denied): not found"}, "accessDenied"},
        {{"certificate not found"}, "notFound"},
        {{"TLS handshake error: timed out"}, "insecure"},
        {{"cannot connect: timeout"}, "timedOut"},
        {{"cannot resolve x port 80 : out of memory"}, "unreachable"},
        {{"out of memory", "connection failed: Connection refused"}, "unreachable"},
        {{"connection failed: Connection refused", "could not identify codec"}, "unrecognized"},
    });
}

TEST(ProblemOf, PhrasesAndStatusMarkerMatchCaseSensitively) {
    expect_problems({
        {{"HTTP/1.1 404 Not Found"}, "unavailable"},
        {{"http 404 error"}, "unavailable"},
        {{"Could not identify codec"}, "unavailable"},
        {{"NO SUCH FILE"}, "unavailable"},
        {{"forbidden"}, "unavailable"},
        {{"tls handshake error"}, "unavailable"},
        {{"Timed Out"}, "unavailable"},
        {{"connection refused"}, "unavailable"},
        {{"Out of memory"}, "unavailable"},
    });
}

TEST(ProblemOf, NothingMatchingIsUnavailable) {
    EXPECT_STREQ("unavailable", problem_of(nullptr, 0));
    const char *none[] = {"unused"};
    EXPECT_STREQ("unavailable", problem_of(none, 0));
    expect_problems({
        {{""}, "unavailable"},
        {{"", "", ""}, "unavailable"},
        {{"HTTP connection failure"}, "unavailable"},
        {{"cannot open file /x (Is a directory)"}, "unavailable"},
    });
}

TEST(ProblemOf, ReadsEveryStoredLineAndNoMore) {
    const char *ring[9] = {"a", "b", "c", "d", "e", "f", "g", "HTTP 404 error", "Forbidden"};
    EXPECT_STREQ("notFound", problem_of(ring, 8));
    EXPECT_STREQ("unavailable", problem_of(ring, 7));
    EXPECT_STREQ("accessDenied", problem_of(ring + 8, 1));
}

struct codec_line {
    const char *message;
    int recognised;
    const char *fourcc;  // the entry afterwards; "ZZZZ" is the untouched sentinel
};

// Lines as the library logs them, with the type of the object that logged
// them: only lines about the media may decide a problem, and the video
// output's tries of formats are told apart.
TEST(LineOrigin, ObjectTypeDecidesWhetherALineIsAboutTheMediaOrANegotiation) {
    const struct {
        const char *object, *message;
        int media, negotiation;
    } cases[] = {
        {"audio output", "PulseAudio server connection failure: Connection refused", 0, 0},
        {"audio output", "The audio device \"default\" could not be used:\nNo such file or directory.", 0, 0},
        {"tls client", "connection error: No such file or directory", 0, 0},
        {"tls client", "TLS session handshake error", 1, 0},
        {"tls client", "Certificate verification failure: The certificate is NOT trusted.", 1, 0},
        {"tls client", "the certificate has expired", 1, 0},
        {"input", "Your input can't be opened", 1, 0},
        {"stream", "HTTP 404 error", 1, 0},
        {"access", "cannot open file /x (No such file or directory)", 1, 0},
        {"demux", "Could not open /x: Unknown error 1094995529", 1, 0},
        {"decoder", "Codec `ZZ9 ' (No description for this codec) is not supported.", 1, 0},
        {"packetizer", "no sync found", 1, 0},
        {"decoder", "failed to create video output", 0, 1},
        {"decoder", "failed to create audio output", 1, 0},
        {"filter", "Failed to create video converter", 0, 1},
        {"filter", "Too high level of recursion (3)", 0, 1},
        {"vout display", "Failed to adapt decoder format to display", 0, 1},
        {"video output", "video output creation failed", 0, 1},
        {"main", "anything", 0, 0},
        {"", "anything", 0, 0},
        {nullptr, "a line from nobody known", 1, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(media_line(c.object, c.message), c.media) << (c.object ? c.object : "null") << ": " << c.message;
        EXPECT_EQ(negotiation_line(c.object, c.message), c.negotiation) << c.message;
    }
}

TEST(UnsupportedCodec, RecognisesLineThatBeginsWithGraveAccentAndIsLongerThanTenBytes) {
    const codec_line cases[] = {
        {"Codec `XVID' (Xvid) is not supported.", 1, "XVID"},
        {"Codec `a52 ' (A52 Audio (aka AC3)) is not supported.", 1, "a52 "},
        {"Codec `abcd", 1, "abcd"},   // 11 bytes
        {"Codec `abc", 0, "ZZZZ"},    // 10 bytes
        {"Codec `", 0, "ZZZZ"},
        {"", 0, "ZZZZ"},
        {"Codec 'XVID' (Xvid) is not supported.", 0, "ZZZZ"},
        {"codec `XVID' (Xvid) is not supported.", 0, "ZZZZ"},
        {"Codec  `XVID' (Xvid) is not supported.", 0, "ZZZZ"},
        {"codec error: Codec `XVID' (Xvid) is not supported.", 0, "ZZZZ"},
        {"could not identify codec", 0, "ZZZZ"},
    };
    for (const codec_line &c : cases) {
        SCOPED_TRACE(c.message);
        char fourcc[6] = "ZZZZZ";
        EXPECT_EQ(c.recognised, unsupported_codec(c.message, fourcc));
        EXPECT_EQ(std::string(c.fourcc), std::string(fourcc, 4));
        EXPECT_EQ(c.recognised ? '\0' : 'Z', fourcc[4]);
        EXPECT_EQ('\0', fourcc[5]);
    }
    EXPECT_EQ(0, unsupported_codec(nullptr, nullptr));
}

TEST(UnsupportedCodec, CopiesOddFourccBytesVerbatim) {
    char fourcc[5];
    ASSERT_EQ(1, unsupported_codec("Codec `\"\\\xff\x01' (?) is not supported.", fourcc));
    EXPECT_EQ(0, memcmp(fourcc, "\"\\\xff\x01", 5));
    ASSERT_EQ(1, unsupported_codec("Codec `ab' (x) is not supported.", fourcc));
    EXPECT_STREQ("ab' ", fourcc);
}

TEST(CodecName, EveryKnownFourccHasItsName) {
    const char *const rows[][2] = {
        {"hevc", "HEVC"},   {"h264", "H.264"},  {"av01", "AV1"},    {"VP90", "VP9"},
        {"VP80", "VP8"},    {"mpgv", "MPEG-2"}, {"mp4v", "MPEG-4"}, {"WMV3", "WMV"},
        {"WVC1", "VC-1"},   {"a52 ", "AC-3"},   {"eac3", "E-AC-3"}, {"dts ", "DTS"},
        {"mlp ", "TrueHD"}, {"trhd", "TrueHD"}, {"mp4a", "AAC"},    {"mpga", "MP3"},
        {"Opus", "Opus"},   {"fLaC", "FLAC"},   {"WMA2", "WMA"},    {"vorb", "Vorbis"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row[0]);
        EXPECT_EQ(row[1], name_of(row[0]));
    }
}

TEST(CodecName, UnknownFourccIsItsOwnBytesWithoutTrailingSpaces) {
    const char *const rows[][2] = {
        {"XVID", "XVID"},
        {"H264", "H264"},  // keys are case-sensitive
        {"vp90", "vp90"},
        {"OPUS", "OPUS"},
        {"a52", "a52"},    // a NUL ends it early
        {"mp3 ", "mp3"},
        {"dts\0", "dts"},
        {"ab  ", "ab"},
        {" abc", " abc"},
        {"a  b", "a  b"},
        {"    ", ""},
        {"", ""},
        {"\"\xff\\ ", "\"\xff\\"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row[0]);
        EXPECT_EQ(row[1], name_of(row[0]));
    }
}

TEST(CodecName, ReadsOnlyTheFourBytesOfAnUnterminatedFourcc) {
    const char known[4] = {'h', '2', '6', '4'};
    const char unknown[4] = {'X', 'V', 'I', 'D'};
    EXPECT_EQ("H.264", name_of(known));
    EXPECT_EQ("XVID", name_of(unknown));
}

TEST(CodecName, NameIsCutToCapacity) {
    const struct {
        const char *fourcc;
        unsigned long size;
        const char *name;
    } rows[] = {
        {"eac3", 7, "E-AC-3"}, {"eac3", 6, "E-AC-"}, {"eac3", 2, "E"}, {"eac3", 1, ""},
        {"XVID", 5, "XVID"},   {"XVID", 4, "XVI"},   {"XVID", 1, ""},
        // Trailing spaces are stripped from what fitted.
        {"ab c", 4, "ab"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.fourcc) + " in " + std::to_string(row.size));
        EXPECT_EQ(row.name, name_of(row.fourcc, row.size));
    }
}

TEST(CodecName, ZeroCapacityOrNullFourccWritesNothingUnsafe) {
    char dst[2] = {'Z', 'Z'};
    codec_name("hevc", dst, 0);
    EXPECT_EQ('Z', dst[0]);
    codec_name(nullptr, dst, sizeof dst);
    EXPECT_STREQ("", dst);
    codec_name("hevc", nullptr, 16);
}

}  // namespace
