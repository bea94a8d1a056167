// The table of the library's words the engine reads, and their matching. The
// rows come from lines libvlc 3.0.24 wrote, captured with their level, the
// type of the object that logged them and their format.
#include "words.h"

#include <cinttypes>
#include <cstring>

namespace {

const int DEBUG = LIBVLC_DEBUG, WARNING = LIBVLC_WARNING, ERROR = LIBVLC_ERROR;
const problem NONE = PROBLEM_UNAVAILABLE;  // rows that tell no problem

}  // namespace

const word_row word_table[WORDS] = {
    {"redirecting to: %s", MATCH_FORMAT, "stream", DEBUG, NONE, READ_BY_WATCH,
     "the access goes on at the location that follows, which it opens at once"},
    {"redirecting to: icyx://", MATCH_PREFIX, "stream", DEBUG, NONE, READ_BY_WATCH,
     "the HTTP access found an internet radio's headers and hands the same location to the older HTTP access, "
     "which reads the radio's titles"},
    {"using %s module \"%s\"", MATCH_FORMAT, nullptr, DEBUG, NONE, READ_BY_WATCH,
     "a module was made; the next three rows tell the sources among them"},
    {"using access module \"access\"", MATCH_EXACT, "stream", DEBUG, NONE, READ_BY_WATCH,
     "the HTTP and HTTPS access was made: a network source"},
    {"using access module \"http\"", MATCH_EXACT, "stream", DEBUG, NONE, READ_BY_WATCH,
     "the older HTTP access was made: a network source"},
    {"using access", MATCH_PREFIX, nullptr, DEBUG, NONE, READ_BY_WATCH,
     "any other access or access demuxer was made: a file, a folder, a device"},
    {"using demux module \"ts\"", MATCH_EXACT, "demux", DEBUG, NONE, READ_BY_WATCH,
     "the MPEG-TS demuxer was made: its clock may lead its pictures by the muxer's delay"},
    {"outgoing request:\n%.*s", MATCH_FORMAT, "stream", DEBUG, NONE, READ_BY_WATCH,
     "a connection asks the server for the source, again after a drop or for a seek"},
    {"incoming response:\n%.*s", MATCH_FORMAT, "stream", DEBUG, NONE, READ_BY_WATCH,
     "the server answered the last request"},
    {"connection failed", MATCH_PREFIX, "stream", DEBUG, NONE, READ_BY_WATCH,
     "a connection failed or was given up, also after an answer that will not do"},
    {"cannot seek", MATCH_PREFIX, "stream", ERROR, NONE, READ_BY_WATCH,
     "the stream could not move to an offset: after a failed connection, the range was refused"},
    {"end of stream", MATCH_EXACT, "stream", DEBUG, NONE, READ_BY_WATCH,
     "no more bytes come: after a request that failed unanswered, the download was cut"},
    {"will be disabled (eof?)", MATCH_SUBSTRING, "demux", WARNING, NONE, READ_BY_WATCH,
     "the demuxer gave up a track whose samples the source no longer gives"},
    {"garbage", MATCH_SUBSTRING, "demux", WARNING, NONE, READ_BY_WATCH, "bytes the demuxer makes no sense of"},
    {"does not look like", MATCH_SUBSTRING, "demux", WARNING, NONE, READ_BY_WATCH,
     "bytes the demuxer makes no sense of"},
    {"Updated playlist", MATCH_PREFIX, "demux", DEBUG, NONE, READ_BY_WATCH,
     "a playlist fetched again while it plays: a live source"},
    {"loading %s slave: %s (forced: %d)", MATCH_FORMAT, "input", DEBUG, NONE, READ_BY_SUBTITLES,
     "the input opens an extra file, a subtitle file among them, at the location that follows"},
    {"failed to add %s as slave", MATCH_FORMAT, "input", WARNING, NONE, READ_BY_SUBTITLES,
     "the extra file being opened could not be read"},
    {"using demux module", MATCH_PREFIX, "demux", DEBUG, NONE, READ_BY_SUBTITLES,
     "a demuxer was made: for an extra file being opened, its streams came before"},
    {"Decoder wait done in %d ms", MATCH_FORMAT, "input", DEBUG, NONE, READ_BY_SEEK,
     "the decoders were waited for: the library's clock starts at the place it went to"},
    {"pausing at EOF (pause after each)", MATCH_FORMAT, "input", DEBUG, NONE, READ_BY_SEEK, "end evidence"},
    {"EOF reached", MATCH_FORMAT, "input", DEBUG, NONE, READ_BY_SEEK,
     "the input read the whole media: its time reports lag the pictures from here"},
    {"seeking with %" PRId64 "ms %s", MATCH_FORMAT, "demux", DEBUG, NONE, READ_BY_SEEK,
     "the MP4 demuxer starts this many ms before the place asked, at the key frame there"},
    {"elst (%d) gives %" PRId64 "ms (movie)-> %" PRId64 "ms (track)", MATCH_FORMAT, "demux", DEBUG, NONE, READ_BY_SEEK,
     "the MP4 demuxer's edit list puts the pictures this much after their decoding times (B-frames)"},
    {nullptr, MATCH_ANY, "input", ERROR, NONE, READ_BY_LOGS, "about the media: kept for the error report"},
    {nullptr, MATCH_ANY, "stream", ERROR, NONE, READ_BY_LOGS, "about the media: kept for the error report"},
    {nullptr, MATCH_ANY, "access", ERROR, NONE, READ_BY_LOGS, "about the media: kept for the error report"},
    {nullptr, MATCH_ANY, "demux", ERROR, NONE, READ_BY_LOGS, "about the media: kept for the error report"},
    {nullptr, MATCH_ANY, "decoder", ERROR, NONE, READ_BY_LOGS, "about the media: kept for the error report"},
    {nullptr, MATCH_ANY, "packetizer", ERROR, NONE, READ_BY_LOGS, "about the media: kept for the error report"},
    // The TLS layer also logs the errno its socket left behind ("No such
    // file or directory"), which would read as a missing file.
    {"TLS", MATCH_SUBSTRING, "tls client", ERROR, NONE, READ_BY_LOGS, "about the media: the TLS session failed"},
    {"certificate", MATCH_SUBSTRING, "tls client", ERROR, NONE, READ_BY_LOGS,
     "about the media: the server's certificate"},
    {"Certificate", MATCH_SUBSTRING, "tls client", ERROR, NONE, READ_BY_LOGS,
     "about the media: the server's certificate"},
    {nullptr, MATCH_ANY, "filter", ERROR, NONE, READ_BY_LOGS, "a try of the video format negotiation"},
    {nullptr, MATCH_ANY, "vout display", ERROR, NONE, READ_BY_LOGS, "a try of the video format negotiation"},
    {nullptr, MATCH_ANY, "video output", ERROR, NONE, READ_BY_LOGS, "a try of the video format negotiation"},
    {"failed to create video output", MATCH_EXACT, "decoder", ERROR, NONE, READ_BY_LOGS,
     "a try of the video format negotiation"},
    {nullptr, MATCH_ANY, "audio output", ERROR, NONE, READ_BY_LOGS, "the sound output's complaint, held"},
    {"Audio output failed", MATCH_EXACT, "audio output", ERROR, NONE, READ_BY_LOGS, "the sound output failed"},
    {"failed to create audio output", MATCH_EXACT, "decoder", ERROR, NONE, READ_BY_LOGS, "the sound output failed"},
    {"Codec `", MATCH_PREFIX, "decoder", ERROR, NONE, READ_BY_LOGS,
     "a codec the library cannot decode; its FourCC follows"},
    {"HTTP ", MATCH_SUBSTRING, nullptr, ERROR, NONE, READ_BY_FAILURES,
     "an HTTP status follows: one of 400 to 599 decides the problem"},
    {"no suitable demux", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_UNRECOGNIZED, READ_BY_FAILURES, "unrecognized"},
    {"unidentified", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_UNRECOGNIZED, READ_BY_FAILURES, "unrecognized"},
    {"could not identify", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_UNRECOGNIZED, READ_BY_FAILURES, "unrecognized"},
    {"Permission denied", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_ACCESS_DENIED, READ_BY_FAILURES, "accessDenied"},
    {"Unauthorized", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_ACCESS_DENIED, READ_BY_FAILURES, "accessDenied"},
    {"Forbidden", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_ACCESS_DENIED, READ_BY_FAILURES, "accessDenied"},
    {"No such file", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_NOT_FOUND, READ_BY_FAILURES, "notFound"},
    {"not found", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_NOT_FOUND, READ_BY_FAILURES, "notFound"},
    {"TLS", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_INSECURE, READ_BY_FAILURES, "insecure"},
    {"certificate", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_INSECURE, READ_BY_FAILURES, "insecure"},
    {"timed out", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_TIMED_OUT, READ_BY_FAILURES, "timedOut"},
    {"timeout", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_TIMED_OUT, READ_BY_FAILURES, "timedOut"},
    {"Connection refused", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_UNREACHABLE, READ_BY_FAILURES, "unreachable"},
    {"cannot resolve", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_UNREACHABLE, READ_BY_FAILURES, "unreachable"},
    {"Name or service not known", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_UNREACHABLE, READ_BY_FAILURES,
     "unreachable"},
    {"cannot connect", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_UNREACHABLE, READ_BY_FAILURES, "unreachable"},
    {"Network is unreachable", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_UNREACHABLE, READ_BY_FAILURES, "unreachable"},
    {"out of memory", MATCH_SUBSTRING, nullptr, ERROR, PROBLEM_OUT_OF_MEMORY, READ_BY_FAILURES, "outOfMemory"},
};

bool heard(word w, int level, const char *object, const char *fmt, const char *text) {
    if (unsigned(w) >= WORDS)
        return false;
    const word_row &row = word_table[w];
    if (level < row.level || (row.object && (!object || strcmp(object, row.object) != 0)))
        return false;
    const char *line = row.match == MATCH_FORMAT || !text ? fmt : text;
    if (row.match == MATCH_ANY)
        return true;
    if (!line)
        return false;
    switch (row.match) {
    case MATCH_EXACT:
    case MATCH_FORMAT:
        return strcmp(line, row.words) == 0;
    case MATCH_PREFIX:
        return strncmp(line, row.words, strlen(row.words)) == 0;
    default:
        return strstr(line, row.words) != nullptr;
    }
}

word debug_word(const char *object, const char *fmt) {
    // Most debug lines come from objects no row names, or begin otherwise.
    for (int w = 0; w < WORDS; w++) {
        const word_row &row = word_table[w];
        if (row.level < LIBVLC_WARNING && fmt && row.words &&
            (row.match == MATCH_SUBSTRING || row.words[0] == fmt[0]) && heard(word(w), row.level, object, fmt, nullptr))
            return word(w);
    }
    return WORDS;
}

const char *word_rest(word w, const char *text) {
    if (unsigned(w) >= WORDS || !text || !word_table[w].words)
        return nullptr;
    const char *words = word_table[w].words;
    size_t start = word_table[w].match == MATCH_FORMAT ? strcspn(words, "%") : strlen(words);
    return strncmp(text, words, start) == 0 ? text + start : nullptr;
}
