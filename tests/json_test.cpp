// Unit tests of engine/json: the command parser, its accessors, clamp_int64,
// json_esc and emit. Run under the sanitizer build as well: every
// parsed record, refused ones included, is released with command_free, so a
// leak of a decoded string shows up there.
#include "json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// One parse of one line; releases the record whatever the result.
struct parsed {
    command c;
    int rc;
    explicit parsed(const std::string &line) {
        memset(&c, 0xA5, sizeof c);  // garbage, as a reused record may hold
        rc = parse_command(line.c_str(), &c);
    }
    ~parsed() { command_free(&c); }
};

std::string repeat(const std::string &s, int n) {
    std::string r;
    for (int i = 0; i < n; i++)
        r += s;
    return r;
}

// n entries "k0":0,"k1":1,... as one object.
std::string entries(int n) {
    std::string r = "{";
    for (int i = 0; i < n; i++)
        r += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
    return r + "}";
}

TEST(ParseCommand, AcceptsAndRefusesLines) {
    const std::string k13 = repeat("k", 13), k14 = repeat("k", 14), k15 = repeat("k", 15), k16 = repeat("k", 16);
    const std::vector<std::string> accepted = {
        "{}", " \t\r\n{ \t\r\n} \t\r\n", R"({"id":1,"cmd":"play"}  )" "\t\r",
        "{ \"id\" \t:\r1 ,\n\"cmd\" : \"x\" }", R"({"":1})", "{\"" + k15 + "\":1}",
        "{\"" + k13 + "\\u00e9\":1}",              // 13 + 2 decoded bytes
        "{\"id\":\v1}", "{\"id\":\f\v 1}",          // strtod skips VT and FF itself
        entries(16),
    };
    const std::vector<std::string> refused = {
        "", "   ", "x{}", "[1]", "\xEF\xBB\xBF{}", "{", R"({"a":{"b":1}})", R"({"a":[1]})",
        R"({"a":"abc)", R"({"a":"abc})", R"({"a)",
        // raw control bytes, bad escapes and surrogates
        "{\"a\":\"x\ty\"}", "{\"a\":\"x\ny\"}", "{\"a\":\"\x01\"}", "{\"a\":\"\x1F\"}", "{\"a\t\":1}",
        R"({"a":"\x"})", R"({"a":"\)", R"({"a":"\u"})", R"({"a":"\u12"})", R"({"a":"\u12g4"})",
        R"({"a":"\uD83D"})", R"({"a":"\uDE00"})", R"({"a":"\uD83Dx"})", R"({"a":"\uD83D\u0041"})",
        R"({"a":"\uD83D\uD83D"})", R"({"a":"\uD83D\uDE0"})",
        "{\"" + k16 + "\":1}", "{\"" + k14 + "\\u00e9\":1}",  // 16 decoded bytes
        // structure
        R"({"id" 1})", R"({"id"})", R"({"id":})", R"({"id":1,})", R"({"id":1,,"b":2})",
        R"({"id":1 "cmd":"x"})", R"({,})", R"({id:1})", R"({'id':1})", R"({"id":1}x)", R"({"id":1}})",
        R"({}{})", R"({} x)", R"({"a":truex})", R"({"a":True})", R"({"a":nul})", R"({"a":falsey})",
        // vertical tab and form feed are no whitespace
        "\v{}", "{\v}", "{\"a\"\v:1}", "{\"a\":1\f}", "{\"a\":1}\v", "{\"a\":\vtrue}",
        entries(17),
    };
    for (const auto &lines : {std::make_pair(0, &accepted), std::make_pair(-1, &refused)})
        for (const std::string &line : *lines.second) {
            parsed p(line);
            EXPECT_EQ(p.rc, lines.first) << "line: " << testing::PrintToString(line);
            EXPECT_TRUE(p.c.count >= 0 && p.c.count <= COMMAND_ENTRIES);
        }
}

TEST(ParseCommand, NumbersGoThroughStrtod) {
    const struct {
        const char *text;
        double value;  // NAN: refused
    } cases[] = {
        {"1e3", 1000}, {"-0", -0.0}, {"+5", 5}, {".5", 0.5}, {"5.", 5}, {"007", 7},
        {"0x10", 16}, {"0x1p4", 16}, {"-2.5e-3", -0.0025}, {"1.7976931348623157e308", 1.7976931348623157e308},
        {"1e999", NAN}, {"-1e999", NAN}, {"nan", NAN}, {"NaN", NAN}, {"inf", NAN}, {"-Inf", NAN},
        {"infinity", NAN}, {"5abc", NAN}, {"-", NAN}, {"e5", NAN}, {"0x", NAN},  // 0, then x
    };
    for (const auto &t : cases) {
        parsed p(std::string("{\"n\":") + t.text + "}");
        if (std::isnan(t.value)) {
            EXPECT_EQ(p.rc, -1) << t.text;
            continue;
        }
        ASSERT_EQ(p.rc, 0) << t.text;
        const entry *e = field(&p.c, "n", KIND_NUMBER);
        ASSERT_NE(e, nullptr) << t.text;
        EXPECT_EQ(e->number, t.value) << t.text;
        EXPECT_EQ(std::signbit(e->number), std::signbit(t.value)) << t.text;
    }
}

TEST(ParseCommand, StringEscapesAndUtf8) {
    const struct {
        const char *json;      // body of the string value
        std::string expected;  // decoded bytes up to the first NUL
    } cases[] = {
        {R"(\")", "\""}, {R"(\\)", "\\"}, {R"(\/)", "/"}, {R"(\b)", "\b"}, {R"(\f)", "\f"},
        {R"(\n)", "\n"}, {R"(\r)", "\r"}, {R"(\t)", "\t"}, {R"(a\u0041z)", "aAz"},
        {R"(\u00E9)", "\xC3\xA9"}, {R"(\u00e9)", "\xC3\xA9"}, {R"(\u07FF)", "\xDF\xBF"},
        {R"(\u20ac)", "\xE2\x82\xAC"}, {R"(\uD83D\uDE00)", "\xF0\x9F\x98\x80"},
        {R"(\udbff\udfff)", "\xF4\x8F\xBF\xBF"}, {"\xC3\xA9\xF0\x9F\x98\x80", "\xC3\xA9\xF0\x9F\x98\x80"},
        {"\x7F\xFF\x80", "\x7F\xFF\x80"},  // not validated on input
        {R"(a\u0000b)", "a"}, {"", ""},
    };
    for (const auto &t : cases) {
        parsed p(std::string("{\"s\":\"") + t.json + "\",\"after\":1}");
        ASSERT_EQ(p.rc, 0) << t.json;
        ASSERT_EQ(p.c.count, 2);
        const entry *e = field(&p.c, "s", KIND_STRING);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(std::string(e->string), t.expected) << t.json;
    }
}

TEST(ParseCommand, KindsAndKeys) {
    parsed p(R"({"s":"x","n":2,"t":true,"f":false,"z":null,"i\u0064":7,"":3,"k\u0000ignored":4})");
    ASSERT_EQ(p.rc, 0);
    ASSERT_EQ(p.c.count, 8);
    const entry *e = p.c.entries;
    EXPECT_STREQ(e[0].key, "s");
    EXPECT_EQ(e[0].kind, KIND_STRING);
    EXPECT_STREQ(e[0].string, "x");
    EXPECT_EQ(e[1].kind, KIND_NUMBER);
    EXPECT_EQ(e[1].number, 2);
    EXPECT_EQ(e[1].string, nullptr);
    EXPECT_EQ(e[2].kind, KIND_BOOL);
    EXPECT_EQ(e[2].boolean, 1);
    EXPECT_EQ(e[3].kind, KIND_BOOL);
    EXPECT_EQ(e[3].boolean, 0);
    EXPECT_EQ(e[4].kind, KIND_NULL);
    EXPECT_EQ(e[4].number, 0);
    EXPECT_EQ(e[4].string, nullptr);
    EXPECT_STREQ(e[5].key, "id");  // keys compare after unescaping
    ASSERT_NE(field(&p.c, "id", KIND_NUMBER), nullptr);
    EXPECT_EQ(field(&p.c, "id", KIND_NUMBER)->number, 7);
    EXPECT_EQ(field(&p.c, "", KIND_NUMBER)->number, 3);
    EXPECT_EQ(field(&p.c, "k", KIND_NUMBER)->number, 4);  // key ends at \u0000
    EXPECT_EQ(field(&p.c, "kignored", KIND_NUMBER), nullptr);
    EXPECT_EQ(field(&p.c, "S", KIND_STRING), nullptr);  // case-sensitive
}

TEST(ParseCommand, RefusedLinesLeaveReleasableEntries) {
    {
        parsed p(R"({"a":"x","b":"y","c":"\x"})");
        EXPECT_EQ(p.rc, -1);
        ASSERT_EQ(p.c.count, 3);
        EXPECT_STREQ(p.c.entries[1].string, "y");
        EXPECT_EQ(p.c.entries[2].kind, 0);
        EXPECT_EQ(p.c.entries[2].string, nullptr);
    }
    {
        parsed p("{\"a\":\"x\",\"" + repeat("k", 16) + "\":\"y\"}");
        EXPECT_EQ(p.rc, -1);
        ASSERT_EQ(p.c.count, 2);  // the long key's entry stays counted
        EXPECT_EQ(p.c.entries[1].string, nullptr);
    }
    {
        parsed p(entries(17));
        EXPECT_EQ(p.rc, -1);
        EXPECT_EQ(p.c.count, 16);
    }
    // One record reused for many lines, as the control loop does.
    command c;
    memset(&c, 0, sizeof c);
    for (const char *line : {R"({"a":"1","b":"2"})", R"({"a":"1","b":)", R"({"a":"1"}x)", "{}"}) {
        parse_command(line, &c);
        command_free(&c);
        EXPECT_EQ(c.count, 0);
    }
}

TEST(Accessors, FieldPresentIntField) {
    parsed dup(R"({"id":1,"id":"x"})");
    ASSERT_EQ(dup.rc, 0);
    EXPECT_NE(field(&dup.c, "id", KIND_NUMBER), nullptr);
    EXPECT_EQ(field(&dup.c, "id", KIND_STRING), nullptr);  // later entry never looked at
    parsed rev(R"({"id":"x","id":1})");
    ASSERT_EQ(rev.rc, 0);
    EXPECT_EQ(field(&rev.c, "id", KIND_NUMBER), nullptr);
    EXPECT_EQ(field(&rev.c, "nope", KIND_NUMBER), nullptr);

    parsed n(R"({"z":null,"b":false})");
    EXPECT_EQ(present(&n.c, "z"), 1);
    EXPECT_EQ(present(&n.c, "b"), 1);
    EXPECT_EQ(present(&n.c, "Z"), 0);
    EXPECT_EQ(present(&n.c, ""), 0);

    const struct {
        const char *value;  // null: key absent
        int ok;
        int32_t out;        // -99 when untouched
    } cases[] = {
        {nullptr, 1, -99}, {"2.5", 0, -99}, {"\"5\"", 0, -99}, {"true", 0, -99}, {"null", 0, -99},
        {"2147483647", 1, 2147483647}, {"-2147483647", 1, -2147483647}, {"-2147483648", 0, -99},
        {"2147483648", 0, -99}, {"3.0", 1, 3}, {"1e2", 1, 100}, {"-0", 1, 0}, {"1e300", 0, -99},
    };
    for (const auto &t : cases) {
        parsed p(t.value ? std::string("{\"v\":") + t.value + ",\"v\":4}" : "{\"w\":1}");
        ASSERT_EQ(p.rc, 0);
        int32_t out = -99;
        EXPECT_EQ(int_field(&p.c, "v", &out), t.ok) << (t.value ? t.value : "absent");
        EXPECT_EQ(out, t.out) << (t.value ? t.value : "absent");
    }
}

TEST(ClampInt64, TowardZeroAndClamped) {
    const struct {
        double in;
        long long out;
    } cases[] = {
        {1.0, 1}, {-3.0, -3}, {2.9, 2}, {-2.9, -2}, {0.0, 0},
        {9.3e18, LLONG_MAX}, {-9.3e18, LLONG_MIN}, {1e300, LLONG_MAX}, {-1e300, LLONG_MIN},
        {-9223372036854775808.0, LLONG_MIN}, {9223372036854775808.0, LLONG_MAX},
        {9223372036854774784.0, 9223372036854774784LL},  // largest double below 2^63
    };
    for (const auto &t : cases)
        EXPECT_EQ(clamp_int64(t.in), t.out) << t.in;
}

// Well-formed UTF-8 after the Unicode standard's table 3-7.
bool valid_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char b = s[i];
        int n = b < 0x80 ? 0 : b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : -1;
        if (n < 0 || i + n >= s.size())
            return false;
        for (int k = 1; k <= n; k++) {
            unsigned char c = s[i + k];
            unsigned lo = 0x80, hi = 0xBF;
            if (k == 1 && b == 0xE0) lo = 0xA0;
            if (k == 1 && b == 0xED) hi = 0x9F;
            if (k == 1 && b == 0xF0) lo = 0x90;
            if (k == 1 && b == 0xF4) hi = 0x8F;
            if (c < lo || c > hi)
                return false;
        }
        i += n + 1;
    }
    return true;
}

std::string esc(unsigned long size, const char *src) {
    std::vector<char> dst(size + 16, '#');
    json_esc(dst.data(), size, src);
    return dst.data();
}

TEST(JsonEsc, CapacitiesAndEscapes) {
    const std::string a100(100, 'a'), q40(40, '"'), b40(40, '\\');
    const struct {
        unsigned long size;
        const char *src;
        std::string expected;
    } cases[] = {
        {40, nullptr, ""}, {40, "", ""}, {8, "abc", ""}, {1, "abc", ""}, {9, "abc", "a"},
        {40, a100.c_str(), std::string(32, 'a')}, {300, a100.c_str(), a100},
        {40, q40.c_str(), repeat("\\\"", 16)}, {41, q40.c_str(), repeat("\\\"", 17)},
        {40, b40.c_str(), repeat("\\\\", 16)}, {200, "a\"b\\c/d", "a\\\"b\\\\c/d"},
        {40, "\x01", "\\u0001"}, {40, "\x1F", "\\u001f"}, {40, "\n\t\r", "\\u000a\\u0009\\u000d"},
        {40, "\x7F", "\x7F"}, {40, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {14, "\x01\x01", "\\u0001"}, {15, "\x01\x01", "\\u0001\\u0001"},
    };
    for (const auto &t : cases)
        EXPECT_EQ(esc(t.size, t.src), t.expected) << t.size << " " << (t.src ? t.src : "(null)");
    char untouched = 'x';
    json_esc(&untouched, 0, "abc");  // no room even for the NUL
    EXPECT_EQ(untouched, 'x');
}

TEST(JsonEsc, TruncationNeverSplitsACharacter) {
    for (const std::string ch : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"})
        for (int k = 26; k <= 34; k++) {
            std::string src = std::string(k, 'a') + ch + "zzzzzzzzzz";
            // The character goes in whole while n + 8 < 40, else nothing more does.
            std::string expected = k <= 31 ? std::string(k, 'a') + ch : std::string(32, 'a');
            if (k + int(ch.size()) <= 31)
                expected += std::string(32 - k - ch.size(), 'z');
            EXPECT_EQ(esc(40, src.c_str()), expected) << ch.size() << "-byte at " << k;
        }
}

TEST(JsonEsc, IllFormedInputBecomesReplacementCharacters) {
    const std::string R = "\xEF\xBF\xBD";
    const struct {
        const char *src;
        std::string expected;
    } cases[] = {
        {"\x80", R}, {"a\x80z", "a" + R + "z"}, {"\xBF\x80", R + R}, {"\xC0\x80", R + R}, {"\xC1\xBF", R + R},
        {"\xE0\x80\x80", R + R + R}, {"\xF0\x80\x80\x80", R + R + R + R}, {"\xED\xA0\x80", R + R + R},
        {"\xF4\x90\x80\x80", R + R + R + R}, {"\xF5", R}, {"\xF8\x88\x80\x80\x80", R + R + R + R + R},
        {"\xFE\xFF", R + R}, {"\xC3", R}, {"\xC3z", R + "z"}, {"\xC3\"", R + "\\\""},
        {"\xE2\x82", R}, {"\xE2\x82z", R + "z"}, {"\xF0\x9F\x98", R}, {"\xF0\x9F\x98\x01", R + "\\u0001"},
        {"\xC2\x80", "\xC2\x80"}, {"\xE0\xA0\x80", "\xE0\xA0\x80"}, {"\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"\xEE\x80\x80", "\xEE\x80\x80"}, {"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"}, {"\xEF\xBF\xBD", R},
    };
    for (const auto &t : cases)
        EXPECT_EQ(esc(100, t.src), t.expected) << testing::PrintToString(std::string(t.src));
}

TEST(JsonEsc, RandomInputGivesValidJsonStringBodies) {
    std::mt19937 rng(20240611);
    const std::string pieces[] = {"a", "Z", " ", "\"", "\\", "\x01", "\x1F", "\x7F", "\xC3\xA9",
                                  "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "/"};
    const unsigned long sizes[] = {1, 8, 9, 10, 12, 16, 40, 80, 300, 1100};
    for (int round = 0; round < 3000; round++) {
        // Even rounds: well-formed UTF-8 built from pieces; odd: arbitrary bytes.
        bool well_formed = round % 2 == 0;
        std::string src;
        int len = int(rng() % 160);
        for (int i = 0; i < len; i++)
            src += well_formed ? pieces[rng() % std::size(pieces)] : std::string(1, char(1 + rng() % 255));
        for (unsigned long size : sizes) {
            std::vector<char> dst(size + 16, '#');
            json_esc(dst.data(), size, src.c_str());
            size_t n = strnlen(dst.data(), size);
            ASSERT_LT(n, size) << "no NUL within capacity";
            ASSERT_LE(n, size <= 8 ? 0 : size - 3);
            std::string out(dst.data(), n);
            ASSERT_TRUE(valid_utf8(out)) << testing::PrintToString(src) << " size " << size;
            std::string back;
            ASSERT_NO_THROW(back = nlohmann::json::parse("\"" + out + "\"").get<std::string>())
                << testing::PrintToString(out);
            if (well_formed) {  // escaping is lossless: the output decodes to a prefix
                ASSERT_EQ(src.compare(0, back.size(), back), 0) << testing::PrintToString(src);
                if (size >= 6 * src.size() + 9) {
                    ASSERT_EQ(back, src);
                }
            }
        }
    }
}

// Runs fn with file descriptor 1 redirected to a pipe that a reader thread
// drains; returns everything written.
std::string capture_stdout(const std::function<void()> &fn) {
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    fflush(stdout);
    int saved = dup(1);
    dup2(fds[1], 1);
    close(fds[1]);
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        ssize_t r;
        while ((r = read(fds[0], buf, sizeof buf)) > 0)
            got.append(buf, size_t(r));
    });
    fn();
    fflush(stdout);
    dup2(saved, 1);  // closes the last write end: the reader sees end of file
    close(saved);
    reader.join();
    close(fds[0]);
    return got;
}

TEST(Emit, WritesOneFlushedLine) {
    std::string got = capture_stdout([] {
        emit("{\"type\":\"ack\",\"id\":%lld,\"ok\":%s}", 5LL, "true");
        emit("{\"type\":\"opening\"}");
    });
    EXPECT_EQ(got, "{\"type\":\"ack\",\"id\":5,\"ok\":true}\n{\"type\":\"opening\"}\n");
}

TEST(Emit, LinesFromManyThreadsNeverInterleave) {
    enum { THREADS = 4, LINES = 500 };
    auto payload = [](int t, int i) { return std::string(1000 + (i * 37 + t * 11) % 3000, char('a' + t)) + std::to_string(i); };
    std::string got = capture_stdout([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; t++)
            threads.emplace_back([t, &payload] {
                for (int i = 0; i < LINES; i++)
                    emit("{\"type\":\"log\",\"t\":%d,\"i\":%d,\"message\":\"%s\"}", t, i, payload(t, i).c_str());
            });
        for (auto &th : threads)
            th.join();
    });
    int next[THREADS] = {};
    size_t lines = 0, start = 0;
    for (size_t end; (end = got.find('\n', start)) != std::string::npos; start = end + 1, lines++) {
        nlohmann::json j;
        ASSERT_NO_THROW(j = nlohmann::json::parse(got.substr(start, end - start))) << "line " << lines;
        int t = j.at("t"), i = j.at("i");
        ASSERT_TRUE(t >= 0 && t < THREADS);
        EXPECT_EQ(i, next[t]++);  // each thread's lines arrive whole and in order
        EXPECT_EQ(j.at("message").get<std::string>(), payload(t, i));
    }
    EXPECT_EQ(start, got.size()) << "text after the last LF";
    EXPECT_EQ(lines, size_t(THREADS * LINES));
}

}  // namespace
