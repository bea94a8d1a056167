// The library's words that the engine reads as evidence: one table of every
// log line it acts on, how each is matched, what it tells and which file acts
// on it. Pure functions over constant data; any thread may call them.
#pragma once

#include "failures.h"

#include <vlc/libvlc.h>

// How a row's words are matched. Text rows match the formatted line. The log
// callback finds a debug line's row on its unformatted format alone, so that
// it formats none of the library's many other debug lines: a debug row is a
// format row, or its words are literal text of the line's format.
enum word_match {
    MATCH_ANY,        // every line of the object and level
    MATCH_EXACT,      // the whole line
    MATCH_PREFIX,     // the line's start
    MATCH_SUBSTRING,  // anywhere in the line
    MATCH_FORMAT,     // the unformatted format string, whole
};

// The file that acts on a row.
enum word_reader { READ_BY_WATCH, READ_BY_SEEK, READ_BY_LOGS, READ_BY_FAILURES, READ_BY_SUBTITLES };

// One row of the table for each line the engine reads, in table order.
enum word {
    // A network load's source and demuxer, lost connections, bytes that make no sense, live playlists.
    WORD_REDIRECT,
    WORD_ICY_REDIRECT,
    WORD_MODULE_MADE,
    WORD_HTTPS_ACCESS,
    WORD_HTTP_ACCESS,
    WORD_OTHER_SOURCE,
    WORD_TS_DEMUX,
    WORD_REQUEST,
    WORD_RESPONSE,
    WORD_CONNECTION_FAILED,
    WORD_CANNOT_SEEK,
    WORD_END_OF_STREAM,
    WORD_TRACK_STARVED,
    WORD_GARBAGE,
    WORD_NOT_LIKE,
    WORD_PLAYLIST_UPDATED,
    // The host's subtitle files as the library opens them.
    WORD_SLAVE_LOADING,
    WORD_SLAVE_FAILED,
    WORD_DEMUX_MADE,
    // Seeking and the end of the media.
    WORD_DECODER_WAIT_DONE,
    WORD_PAUSED_AT_EOF,
    WORD_INPUT_EOF,
    WORD_KEY_FRAME,
    WORD_EDIT_SHIFT,
    // Which error lines are about the media; the video format's tries; the
    // sound output; codecs the library cannot decode.
    WORD_FROM_INPUT,
    WORD_FROM_STREAM,
    WORD_FROM_ACCESS,
    WORD_FROM_DEMUX,
    WORD_FROM_DECODER,
    WORD_FROM_PACKETIZER,
    WORD_TLS,
    WORD_TLS_CERTIFICATE,
    WORD_TLS_CERTIFICATE_TITLE,
    WORD_FORMAT_FILTER,
    WORD_FORMAT_DISPLAY,
    WORD_FORMAT_OUTPUT,
    WORD_NO_VIDEO_OUTPUT,
    WORD_SOUND_OUTPUT,
    WORD_SOUND_OUTPUT_FAILED,
    WORD_NO_AUDIO_OUTPUT,
    WORD_UNSUPPORTED_CODEC,
    // Problem codes, tried in this order once an HTTP status decided nothing.
    WORD_HTTP_STATUS,
    WORD_NO_DEMUX,
    WORD_UNIDENTIFIED,
    WORD_NOT_IDENTIFIED,
    WORD_PERMISSION_DENIED,
    WORD_UNAUTHORIZED,
    WORD_FORBIDDEN,
    WORD_NO_SUCH_FILE,
    WORD_NOT_FOUND,
    WORD_TLS_PROBLEM,
    WORD_CERTIFICATE_PROBLEM,
    WORD_TIMED_OUT,
    WORD_TIMEOUT,
    WORD_CONNECTION_REFUSED,
    WORD_CANNOT_RESOLVE,
    WORD_UNKNOWN_NAME,
    WORD_CANNOT_CONNECT,
    WORD_NETWORK_UNREACHABLE,
    WORD_OUT_OF_MEMORY,
    WORDS
};
enum { FIRST_PHRASE = WORD_NO_DEMUX };  // the phrase rules run from here to the end

// A row: constant data, read by any thread.
struct word_row {
    const char *words;   // null for MATCH_ANY
    word_match match;    // how words are matched
    const char *object;  // the type of the library object that says it; null: any
    int level;           // the least level it counts at
    problem what;        // a problem row's problem
    word_reader reader;  // the file that acts on it
    const char *means;   // what it tells the engine
};
extern const word_row word_table[WORDS];

// True when a line says what row w says: at the row's level or above, from
// an object of the row's type (object: the line's, null when unknown), its
// words as the row matches them. fmt is the line's unformatted format, text
// the formatted line; a text row is matched on fmt when text is null.
bool heard(word w, int level, const char *object, const char *fmt, const char *text);

// The first row that a line below LIBVLC_WARNING may be, from its object and
// unformatted format alone; WORDS when none. What the log callback formats.
word debug_word(const char *object, const char *fmt);

// What follows a row's words in text: after a prefix, or after the literal
// start of a format up to its first conversion; null when text does not
// begin with them.
const char *word_rest(word w, const char *text);
