// Why a load failed, in the host's words: problem codes from the library's
// error lines, its unsupported-codec lines, and readable codec names. Pure
// functions without shared state; any thread may call them.
#pragma once

// Why a load failed; each has one wire name (problem_name).
enum problem {
    PROBLEM_UNAVAILABLE,
    PROBLEM_UNRECOGNIZED,
    PROBLEM_ACCESS_DENIED,
    PROBLEM_NOT_FOUND,
    PROBLEM_INSECURE,
    PROBLEM_TIMED_OUT,
    PROBLEM_UNREACHABLE,
    PROBLEM_OUT_OF_MEMORY,
    PROBLEM_SERVER_ERROR,
    PROBLEM_CONNECTION_LIMIT,
    PROBLEM_GEO_BLOCKED,
    PROBLEM_UNDECODABLE_VIDEO,
    PROBLEM_UNDECODABLE_AUDIO,
};

// The host's name of a problem, as the error event carries it. Never null.
const char *problem_name(problem what);

// The problem for a player's stored error lines (oldest first, `count` of
// them): an HTTP status 400..599 decides first, then the phrase rows of
// words.h in order; PROBLEM_UNAVAILABLE when nothing matches.
problem problem_of(const char *const *lines, int count);

// 1 when an error line from a library object of this type (as the log
// context names it; null when unknown) can tell why the media failed: the
// rows of words.h that say so. Lines of the audio output, the video output's
// format negotiation and the like say nothing about the media.
int media_line(const char *object, const char *message);

// 1 when the line belongs to the video output's format negotiation, in which
// the library tries formats and converters that fail before one is agreed.
int negotiation_line(const char *object, const char *message);

// 1 when the line comes from the sound output (or is the decoder's failure to
// make one); 2 when it says the sound output as a whole failed. A machine
// without a sound device repeats these for every block of sound.
int sound_output_line(const char *object, const char *message);

// 1 when `message`, from an object of this type, is the library's
// unsupported-codec line, with the four bytes after its words copied into
// fourcc and fourcc[4] = NUL; 0 otherwise, fourcc untouched.
int unsupported_codec(const char *object, const char *message, char fourcc[5]);

// Writes the readable name of the FourCC at fourcc (four bytes, or fewer
// before a NUL) into dst (capacity size, NUL-terminated when size > 0); an
// unknown FourCC is written as its own bytes, without trailing spaces.
void codec_name(const char *fourcc, char *dst, unsigned long size);

// Copies len bytes of src into dst (capacity size, NUL-terminated when size
// > 0) with the password of every `user:password@` shown as `user:***@`;
// the bytes written. NUL bytes are copied as they are.
unsigned long mask_secrets(const char *src, unsigned long len, char *dst, unsigned long size);
