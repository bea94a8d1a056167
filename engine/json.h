// The engine's JSON dialect: the command parser for standard input and the
// event writer for standard output. The parser runs on the control thread
// only; emit and json_esc may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

enum { KIND_STRING = 1, KIND_NUMBER = 2, KIND_BOOL = 3, KIND_NULL = 4 };

enum { COMMAND_ENTRIES = 16, KEY_BYTES = 16 };

struct entry {
    char key[KEY_BYTES];  // unescaped, NUL-terminated, at most 15 bytes
    int32_t kind;         // 0 while the parser has not finished the entry
    double number;        // KIND_NUMBER
    int32_t boolean;      // KIND_BOOL: 1 true, 0 false
    char *string;         // KIND_STRING: owned, released by command_free
};

struct command {
    entry entries[COMMAND_ENTRIES];
    int32_t count;  // entries begun by the parser; only these are initialised
};

// 0 when the line is exactly one flat JSON object, -1 otherwise. After any
// result the first `count` entries must be released with command_free.
int parse_command(const char *line, command *out);

// Releases the strings of the first `count` entries; the record can be reused.
void command_free(command *c);

// First entry named `name`, if it has kind `kind`; null otherwise.
const entry *field(const command *c, const char *name, int kind);

// 1 when some entry is named `name`, whatever its kind.
int present(const command *c, const char *name);

// 1 when `name` is absent (out untouched) or an integral number within
// +-2147483647 (stored in out); 0 otherwise.
int int_field(const command *c, const char *name, int32_t *out);

// A number as a signed 64-bit integer (toward zero); values beyond the range are
// clamped to its ends rather than converted with undefined behaviour.
long long clamp_int64(double id);

// Prints one event line and a LF, flushed, under out_lock; nothing once
// output is closed. The event writers (tell.h) are its only callers.
void emit(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Prints one last event line and closes output to every later emit, at once,
// so that no line of another thread can follow it.
void emit_final(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Closes output to every later emit.
void emit_close();
// Prints as emit, only while current holds gen: checked under out_lock, so
// that a line of a load ended cannot follow what the switch away from it told.
void emit_while(const std::atomic<uint64_t> &current, uint64_t gen, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Escapes outside text for a JSON string into dst (capacity size, always
// NUL-terminated). Output is valid UTF-8: invalid sequences become U+FFFD and
// truncation never splits a character. A null src gives "".
void json_esc(char *dst, unsigned long size, const char *src);

// FNV-1a of a text, never 0: tells a repeated line without keeping it.
uint64_t text_hash(const char *text);
