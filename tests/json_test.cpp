// The command parser, its accessors, clamp_int64, json_esc and emit. Every record,
// refused ones included, is released with command_free, so the sanitizer build
// sees a decoded string that leaks.
#include "json.h"
#include "locks.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <fstream>
#include <random>
#include <thread>
#include <vector>

enum { INT = 1, CLAMP = 2 };  // parse() reads the number through int_field or clamp_int64

// Parses line into a reused record, as the control loop does: entries of an earlier
// line named key lie beyond the new count. Returns the result, the entries begun, and
// what field() finds for key under each kind ("none" when no entry has the key),
// then releases the record.
std::string parse(const std::string &line, const char *key = "", int mode = 0) {
    command c;
    parse_command(("{\"" + std::string(key) + "\":1,\"" + key + "\":1}").c_str(), &c), command_free(&c);
    int32_t rc = parse_command(line.c_str(), &c), out = -99, ok = int_field(&c, key, &out);
    std::string got = std::to_string(rc) + " " + std::to_string(c.count) + " " + (mode == INT || present(&c, key) ? "" : "none");
    for (int k = KIND_STRING; k <= KIND_NULL && mode != INT; k++)
        if (const entry *e = field(&c, key, k))
            got += mode == CLAMP ? std::to_string(clamp_int64(e->number)) : k == KIND_STRING ? e->string
                   : k == KIND_NUMBER ? testing::PrintToString(e->number) : k == KIND_NULL ? "null" : e->boolean ? "true" : "false";
    command_free(&c);
    return c.count ? "count left" : got + (mode == INT ? std::to_string(ok) + " " + std::to_string(out) : "");
}

TEST(ParseCommand, LinesAcceptedOrRefusedAndWhatTheyHold) {
    auto entries = [](int n, std::string r = "{\"k\":1") { while (--n) r += ",\"k\":1"; return r + "}"; };
    const std::string k13(13, 'k'), k14(14, 'k'), k15(15, 'k'), k16(16, 'k');
    const std::tuple<std::string, const char *, int, std::string> cases[] = {  // line, key, mode: result, count, found
        {"{}", "", 0, "0 0 none"}, {" \t\r\n{ \t\r\n} \t\r\n", "", 0, "0 0 none"}, {R"({"":-0})", "", 0, "0 1 -0"},
        {"{ \"id\" \t:\r1 ,\n\"cmd\" : \"x\" }\t", "cmd", 0, "0 2 x"}, {entries(16), "k", 0, "0 16 1"},
        {"{\"" + k15 + "\":1}", k15.c_str(), 0, "0 1 1"}, {"{\"" + k13 + "\\u00e9\":1}", "", 0, "0 1 none"},
        {"{\"n\":\v1e3}", "n", 0, "0 1 1000"}, {R"({"n":0x10})", "n", 0, "0 1 16"}, {R"({"t":true})", "t", 0, "0 1 true"},
        {R"({"f":false})", "f", 0, "0 1 false"}, {R"({"z":null})", "z", 0, "0 1 null"},
        {R"({"i\u0064":7})", "id", 0, "0 1 7"}, {R"({"k\u0000x":4})", "k", 0, "0 1 4"}, {R"({"ID":1})", "id", 0, "0 1 none"},
        {R"({"id":"x","id":1})", "id", 0, "0 2 x"}, {R"({"s":"\"\\\/\b\f\n\r\t"})", "s", 0, "0 1 \"\\/\b\f\n\r\t"},
        {R"({"s":"a\u0041z\u00e9\u07FF\u20ac\uD83D\uDE00\udbff\udfff"})", "s", 0,
         "0 1 aAz\xC3\xA9\xDF\xBF\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {"{\"s\":\"\xC3\xA9\xFF\"}", "s", 0, "0 1 \xC3\xA9\xFF"}, {R"({"s":"a\u0000b"})", "s", 0, "0 1 a"},
        // int_field: integral within +-2147483647, else refused with out untouched; absent is fine
        {R"({"v":2.5,"v":1})", "v", INT, "0 2 0 -99"}, {R"({"v":"5"})", "v", INT, "0 1 0 -99"},
        {R"({"w":1})", "v", INT, "0 1 1 -99"}, {R"({"v":2147483647})", "v", INT, "0 1 1 2147483647"},
        {R"({"v":-2147483647})", "v", INT, "0 1 1 -2147483647"}, {R"({"v":-2147483648})", "v", INT, "0 1 0 -99"},
        {R"({"v":1e2})", "v", INT, "0 1 1 100"},
        // clamp_int64: toward zero, clamped at the ends; the last is the largest double below 2^63
        {R"({"n":-2.9})", "n", CLAMP, "0 1 -2"}, {R"({"n":9223372036854775808})", "n", CLAMP, "0 1 9223372036854775807"},
        {R"({"n":-1e300})", "n", CLAMP, "0 1 -9223372036854775808"},
        {R"({"n":-9223372036854775808})", "n", CLAMP, "0 1 -9223372036854775808"},
        {R"({"n":9223372036854774784})", "n", CLAMP, "0 1 9223372036854774784"},
        // refused, the entries begun so far releasable
        {R"({"a":"x","b":"y","c":"\x"})", "b", 0, "-1 3 y"}, {"{\"a\":\"x\",\"" + k16 + "\":\"y\"}", "", 0, "-1 2 none"},
        {entries(17), "", 0, "-1 16 none"}, {"{\"" + k14 + "\\u00e9\":1}", "", 0, "-1 1 none"},
    };
    for (const auto &[line, key, mode, expected] : cases)
        EXPECT_EQ(parse(line, key, mode), expected) << line;
    for (const char *line : {"", "x{}", "{", R"({"a":{"b":1}})", R"({"a":"abc})", "{\"a\":\"x\ty\"}", R"({"a":"\u12g4"})",
                             R"({"a":"\uD83D"})", R"({"a":"\uDE00"})", R"({"a":"\uDFFF"})", R"({"a":"\uD83D\u0041"})", R"({"a":"\uD83D\uDE0"})",
                             R"({"id" 1})", R"({"id":1,})", "{id:1}", R"({"id":1}x)", R"({"a":truex})", "\v{}",
                             "{\"a\":1\f}", R"({"n":1e999})", R"({"n":nan})", R"({"n":5abc})", R"({"n":0x})"})
        EXPECT_EQ(parse(line).substr(0, 3), "-1 ") << line;
}

std::string esc(unsigned long size, const char *src) {
    std::string dst(size + 15, '#');  // '#'s where json_esc wrote nothing
    return json_esc(dst.data(), size, src), dst.c_str();
}

// Capacities leave room for the longest escape (none at all for size 0); ill-formed
// UTF-8 becomes U+FFFD per maximal ill-formed prefix; truncation never splits a character.
TEST(JsonEsc, EscapesCutsReplacesAndAlwaysGivesValidStrings) {
    const std::string R = "\xEF\xBF\xBD", a31(31, 'a'), a32(32, 'a'), a100(100, 'a');
    const std::tuple<unsigned long, std::string, std::string> cases[] = {
        {0, "abc", std::string(15, '#')}, {8, "abc", ""}, {1, "abc", ""}, {9, "abc", "a"}, {40, a100, a32},
        {300, a100, a100}, {14, "\"\"\"\"", "\\\"\\\"\\\""}, {200, "a\"b\\c/d\x7F", "a\\\"b\\\\c/d\x7F"},
        {40, "\x01\x1F\n", "\\u0001\\u001f\\u000a"}, {14, "\x01\x01", "\\u0001"}, {15, "\x01\x01", "\\u0001\\u0001"},
        {40, a31 + "\xE2\x82\xAC", a31 + "\xE2\x82\xAC"}, {40, a32 + "\xC3\xA9", a32},
        {40, "\xC3\xA9\xF0\x9F\x98\x80z\xF4\x8F\xBF\xBF", "\xC3\xA9\xF0\x9F\x98\x80z\xF4\x8F\xBF\xBF"},
        {40, "a\x80z\xC0\x80", "a" + R + "z" + R + R}, {40, "\xE0\x80\x80\xED\xA0\x80", R + R + R + R + R + R},
        {40, "\xF0\x80\x80\xF4\x90", R + R + R + R + R}, {40, "\xF5\xFE\xC3z\xE2\x82\"", R + R + R + "z" + R + "\\\""},
        {40, "\xF0\x9F\x98\x01\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF", R + "\\u0001\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF"},
    };
    for (const auto &[size, src, expected] : cases)
        EXPECT_EQ(esc(size, src.c_str()), expected) << size << " " << testing::PrintToString(src);
    EXPECT_EQ(esc(40, nullptr), "");
    // Any bytes give a valid JSON string body (the strict parser refuses ill-formed
    // UTF-8) within capacity.
    std::mt19937 rng(20240611);
    for (int round = 0; round < 2000; round++) {
        std::string src;
        for (int i = int(rng() % 120); i > 0; i--)
            src += char(1 + rng() % 255);
        for (unsigned long size : {1, 9, 10, 12, 40, 300, 1100}) {
            std::string out = esc(size, src.c_str());
            ASSERT_LT(out.size(), size <= 8 ? 1 : size - 2);
            ASSERT_NO_THROW(nlohmann::json::parse("\"" + out + "\"")) << testing::PrintToString(src);
        }
    }
}

// Lines of many threads arrive whole, in order per thread, each flushed by emit
// itself: stdout is not flushed before it is given back.
TEST(Emit, FlushedLinesNeverInterleave) {
    FILE *file = tmpfile();
    int saved = (fflush(stdout), dup(1));
    dup2(fileno(file), 1);
    for (std::vector<std::jthread> threads; threads.size() < 4;)  // joined as the loop ends
        threads.emplace_back([t = int(threads.size())] {
            for (int i = 0; i < 300; i++)
                emit("{\"type\":\"log\",\"t\":%d,\"i\":%d,\"m\":\"%s\"}", t, i, std::string(1000 + i * 9, char('a' + t)).c_str());
        });
    dup2(saved, 1);
    std::vector<int> next(4);
    std::ifstream in("/proc/self/fd/" + std::to_string(fileno(file)));
    for (std::string line; std::getline(in, line);) {  // a line cut short fails to parse
        nlohmann::json j = nlohmann::json::parse(line);
        int t = j.at("t"), i = j.at("i");
        ASSERT_EQ(j, nlohmann::json({{"type", "log"}, {"t", t}, {"i", next.at(size_t(t))++}, {"m", std::string(1000 + i * 9, char('a' + t))}}));
    }
    EXPECT_EQ(next, std::vector<int>(4, 300));
    close(saved), fclose(file);
}

// Locks taken in rank order pass, also again after a release; a lock taken
// under one of its own rank or above it ends the process, naming both.
TEST(LockOrderDeathTest, OnlyIncreasingRanksMayBeHeldTogether) {
#ifndef VEXOLO_LOCK_CHECK
    GTEST_SKIP() << "the order is checked in debug and sanitizer builds";
#else
    ordered_mutex gate{RANK_GATE}, ctl{RANK_CTL}, out{RANK_OUT}, other_ctl{RANK_CTL};
    {
        std::lock_guard a(gate), b(ctl), c(out);
    }
    {
        std::lock_guard c(out);
    }
    auto taken = [](int rank, int held) { return "rank " + std::to_string(rank) + " taken while rank " + std::to_string(held) + " is held"; };
    EXPECT_DEATH({ std::lock_guard c(out); std::lock_guard a(gate); }, taken(RANK_GATE, RANK_OUT));
    EXPECT_DEATH({ std::lock_guard b(ctl); std::lock_guard d(other_ctl); }, taken(RANK_CTL, RANK_CTL));
#endif
}
