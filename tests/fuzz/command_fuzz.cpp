// Fuzz target for the command parser, its accessors and json_esc: any byte
// string as an input line must parse or be refused without fault, and its
// escaped echo must always be valid UTF-8 that a strict JSON reader takes.
#include "json.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A strict UTF-8 check: shortest forms only, no surrogates, at most U+10FFFF.
bool valid_utf8(const unsigned char *s, size_t n) {
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        size_t len = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        if (len == 0 || i + len > n)
            return false;
        for (size_t k = 1; k < len; k++)
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
        if ((b == 0xE0 && s[i + 1] < 0xA0) || (b == 0xED && s[i + 1] > 0x9F) || (b == 0xF0 && s[i + 1] < 0x90) ||
            (b == 0xF4 && s[i + 1] > 0x8F))
            return false;
        i += len;
    }
    return true;
}

void check_escaped(const char *src, unsigned long size) {
    char out[1200];
    out[0] = 0;  // a capacity of 0 writes nothing at all
    json_esc(out, size, src);
    size_t n = strlen(out);
    if ((size > 8 && n > size - 3) || (size <= 8 && n != 0))
        abort();
    if (!valid_utf8(reinterpret_cast<const unsigned char *>(out), n))
        abort();
    // No raw control byte, and every quote or backslash is escaped.
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c < 0x20)
            abort();
        if (c == '\\') {
            char e = out[i + 1];
            if (e == 'u')
                i += 5;
            else if (e == '"' || e == '\\')
                i += 1;
            else
                abort();
        } else if (c == '"') {
            abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), size);
    static command cmd;
    if (parse_command(line.c_str(), &cmd) == 0) {
        if (cmd.count < 0 || cmd.count > COMMAND_ENTRIES)
            abort();
        for (int i = 0; i < cmd.count; i++) {
            const entry *e = &cmd.entries[i];
            if (strlen(e->key) > KEY_BYTES - 1 || e->kind < KIND_STRING || e->kind > KIND_NULL)
                abort();
            if ((e->kind == KIND_STRING) != (e->string != nullptr))
                abort();
            // Lookups answer from the first entry of a key only.
            const entry *first = e;
            for (int j = 0; j < i; j++)
                if (strcmp(cmd.entries[j].key, e->key) == 0) {
                    first = &cmd.entries[j];
                    break;
                }
            if (!present(&cmd, e->key) || field(&cmd, e->key, first->kind) != first)
                abort();
            int32_t v = 7;
            int ok = int_field(&cmd, e->key, &v);
            bool integral = first->kind == KIND_NUMBER && first->number == floor(first->number) &&
                            first->number >= -2147483647.0 && first->number <= 2147483647.0;
            if (ok != integral || (ok && v != int32_t(first->number)))
                abort();
            if (e->kind == KIND_STRING)
                check_escaped(e->string, 300);
        }
        if (const entry *id = field(&cmd, "id", KIND_NUMBER))
            (void)clamp_int64(id->number);
    }
    command_free(&cmd);
    check_escaped(line.c_str(), 300);
    check_escaped(line.c_str(), 1100);
    check_escaped(line.c_str(), size % 64);
    return 0;
}
