// Problem codes from the library's error lines, the unsupported-codec
// recogniser the log handler runs, and readable codec names. No shared state:
// the control thread and the library's logging threads call in freely.
#include "failures.h"
#include "words.h"

#include <cstdlib>
#include <cstring>

namespace {

const char *const problem_names[] = {
    "unavailable", "unrecognized",     "accessDenied",     "notFound",    "insecure",
    "timedOut",    "unreachable",      "outOfMemory",      "serverError", "connectionLimit",
    "geoBlocked",  "undecodableVideo", "undecodableAudio",
};
static_assert(sizeof problem_names / sizeof problem_names[0] == PROBLEM_UNDECODABLE_AUDIO + 1);

struct status_row {
    long status;
    problem what;
};

// HTTP statuses with a problem of their own; the rest of 400..599 is
// `serverError` from 500 and `unavailable` below.
const status_row statuses[] = {
    {401, PROBLEM_ACCESS_DENIED},    {403, PROBLEM_ACCESS_DENIED}, {404, PROBLEM_NOT_FOUND},
    {410, PROBLEM_NOT_FOUND},        {408, PROBLEM_TIMED_OUT},     {429, PROBLEM_CONNECTION_LIMIT},
    {509, PROBLEM_CONNECTION_LIMIT}, {451, PROBLEM_GEO_BLOCKED},
};

struct codec_row {
    const char *key;  // exactly four bytes
    const char *name;
};

const codec_row names[] = {
    {"hevc", "HEVC"},   {"h264", "H.264"},  {"av01", "AV1"},    {"VP90", "VP9"},    {"VP80", "VP8"},
    {"mpgv", "MPEG-2"}, {"mp4v", "MPEG-4"}, {"WMV3", "WMV"},    {"WVC1", "VC-1"},   {"a52 ", "AC-3"},
    {"eac3", "E-AC-3"}, {"dts ", "DTS"},    {"mlp ", "TrueHD"}, {"trhd", "TrueHD"}, {"mp4a", "AAC"},
    {"mpga", "MP3"},    {"Opus", "Opus"},   {"fLaC", "FLAC"},   {"WMA2", "WMA"},    {"vorb", "Vorbis"},
};

// The first status in 400..599 after the status row's words in line, or 0.
// The range is checked on the full long so that a huge number cannot wrap
// into it, and the number is read within the line only, never from the next.
long http_status(const char *line) {
    const char *words = word_table[WORD_HTTP_STATUS].words;
    size_t n = strlen(words);
    for (const char *at = strstr(line, words); at; at = strstr(at + n, words)) {
        long status = strtol(at + n, nullptr, 10);
        if (status >= 400 && status <= 599)
            return status;
    }
    return 0;
}

problem status_problem(long status) {
    for (const status_row &row : statuses)
        if (row.status == status)
            return row.what;
    return status >= 500 ? PROBLEM_SERVER_ERROR : PROBLEM_UNAVAILABLE;
}

// 1 when an error line of this object type says one of the rows from..to.
int heard_in(word from, word to, const char *object, const char *message) {
    for (int w = from; w <= to; w++)
        if (heard(word(w), LIBVLC_ERROR, object, nullptr, message))
            return 1;
    return 0;
}

}  // namespace

int media_line(const char *object, const char *message) {
    if (!object)
        return 1;  // unknown origin: kept, as every line once was
    if (!message || negotiation_line(object, message))
        return 0;
    return heard_in(WORD_FROM_INPUT, WORD_TLS_CERTIFICATE_TITLE, object, message);
}

int negotiation_line(const char *object, const char *message) {
    return object && message && heard_in(WORD_FORMAT_FILTER, WORD_NO_VIDEO_OUTPUT, object, message);
}

int sound_output_line(const char *object, const char *message) {
    if (!object || !message)
        return 0;
    if (heard_in(WORD_SOUND_OUTPUT_FAILED, WORD_NO_AUDIO_OUTPUT, object, message))
        return 2;
    return heard(WORD_SOUND_OUTPUT, LIBVLC_ERROR, object, nullptr, message);
}

const char *problem_name(problem what) {
    return unsigned(what) <= PROBLEM_UNDECODABLE_AUDIO ? problem_names[what] : problem_names[PROBLEM_UNAVAILABLE];
}

problem problem_of(const char *const *lines, int count) {
    if (!lines)
        count = 0;
    for (int i = 0; i < count; i++) {
        long status = lines[i] ? http_status(lines[i]) : 0;
        if (status)
            return status_problem(status);
    }
    for (int w = FIRST_PHRASE; w < WORDS; w++)
        for (int i = 0; i < count; i++)
            if (lines[i] && heard(word(w), LIBVLC_ERROR, nullptr, nullptr, lines[i]))
                return word_table[w].what;
    return PROBLEM_UNAVAILABLE;
}

int unsupported_codec(const char *object, const char *message, char fourcc[5]) {
    if (!heard(WORD_UNSUPPORTED_CODEC, LIBVLC_ERROR, object, nullptr, message))
        return 0;
    // Shorter lines end before the four FourCC bytes are complete.
    const char *code = word_rest(WORD_UNSUPPORTED_CODEC, message);
    if (strnlen(code, 4) < 4)
        return 0;
    memcpy(fourcc, code, 4);
    fourcc[4] = 0;
    return 1;
}

void codec_name(const char *fourcc, char *dst, unsigned long size) {
    if (!dst || size == 0)
        return;
    unsigned long n = 0;
    if (fourcc) {
        // strncmp stops at a NUL, so a FourCC shorter than four bytes is safe.
        for (const codec_row &row : names) {
            if (strncmp(fourcc, row.key, 4) == 0) {
                for (; row.name[n] && n + 1 < size; n++)
                    dst[n] = row.name[n];
                dst[n] = 0;
                return;
            }
        }
        for (; n < 4 && n + 1 < size && fourcc[n]; n++)
            dst[n] = fourcc[n];
        while (n > 0 && dst[n - 1] == ' ')
            n--;
    }
    dst[n] = 0;
}

unsigned long mask_secrets(const char *src, unsigned long len, char *dst, unsigned long size) {
    if (!dst || size == 0)
        return 0;
    unsigned long n = 0;
    auto put = [&](const char *from, unsigned long count) {
        for (unsigned long k = 0; k < count && n + 1 < size; k++)
            dst[n++] = from[k];
    };
    // A word runs to the next byte that cannot be inside a URL's authority;
    // its user information ends at its last '@', the password after its
    // first ':'. Quotes the library puts around a location stay in the word.
    auto ends_word = [](char c) { return c == 0 || strchr(" \t\r\n/\"<>\\`", c) != nullptr; };
    for (unsigned long i = 0; src && i < len;) {
        unsigned long end = i;
        while (end < len && !ends_word(src[end]))
            end++;
        if (end == i) {
            put(src + i++, 1);
            continue;
        }
        const char *at = static_cast<const char *>(memrchr(src + i, '@', end - i));
        const char *colon = at ? static_cast<const char *>(memchr(src + i, ':', size_t(at - src) - i)) : nullptr;
        if (colon) {
            put(src + i, static_cast<unsigned long>(colon - src) + 1 - i);
            put("***", 3);
            put(at, static_cast<unsigned long>(src + end - at));
        } else {
            put(src + i, end - i);
        }
        i = end;
    }
    dst[n] = 0;
    return n;
}
