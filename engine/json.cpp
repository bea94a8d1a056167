// Command parser and event writer. Commands are flat objects of strings,
// numbers, booleans and null; events are printf formats written whole under
// out_lock so lines from the library's threads never interleave.
#include "json.h"
#include "locks.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Serialises everything written to standard output; always the innermost lock.
ordered_mutex out_lock{RANK_OUT};
bool out_closed;  // out_lock: set at shutdown, after which nothing is written

const char *skip_ws(const char *p) {
    while (*p == '\t' || *p == '\n' || *p == '\r' || *p == ' ')
        p++;
    return p;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads exactly four hex digits; stops at the first non-digit, so it never
// reads past the line's NUL.
int hex4(const char *text, unsigned *out) {
    unsigned v = 0;
    for (int i = 0; i < 4; i++) {
        int d = hex_digit(text[i]);
        if (d < 0)
            return -1;
        v = (v << 4) | unsigned(d);
    }
    *out = v;
    return 0;
}

char *put_utf8(char *o, unsigned c) {
    if (c < 0x80) {
        *o++ = char(c);
    } else if (c < 0x800) {
        *o++ = char(0xC0 | c >> 6);
        *o++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *o++ = char(0xE0 | c >> 12);
        *o++ = char(0x80 | ((c >> 6) & 0x3F));
        *o++ = char(0x80 | (c & 0x3F));
    } else {
        *o++ = char(0xF0 | c >> 18);
        *o++ = char(0x80 | ((c >> 12) & 0x3F));
        *o++ = char(0x80 | ((c >> 6) & 0x3F));
        *o++ = char(0x80 | (c & 0x3F));
    }
    return o;
}

// Decodes a string whose opening quote lies just before *cursor. Returns a
// malloc'd buffer and moves the cursor past the closing quote, or null.
char *json_string(const char **cursor) {
    const char *p = *cursor;
    char *buf = static_cast<char *>(malloc(4 * strlen(p) + 1));
    if (!buf)
        return nullptr;
    char *o = buf;
    for (;;) {
        unsigned char b = static_cast<unsigned char>(*p);
        if (b == 0 || b < 0x20)
            break;
        if (b == '"') {
            *o = 0;
            *cursor = p + 1;
            return buf;
        }
        if (b != '\\') {
            *o++ = char(b);
            p++;
            continue;
        }
        char e = p[1];
        const char *simple = strchr("\"\\/bfnrt", e);
        if (e != 0 && simple) {
            static const char decoded[] = "\"\\/\b\f\n\r\t";
            *o++ = decoded[simple - "\"\\/bfnrt"];
            p += 2;
            continue;
        }
        if (e != 'u')
            break;
        unsigned v;
        if (hex4(p + 2, &v) != 0)
            break;
        p += 6;
        if (v >= 0xD800 && v <= 0xDBFF) {
            unsigned w;
            if (p[0] != '\\' || p[1] != 'u' || hex4(p + 2, &w) != 0 || w < 0xDC00 || w > 0xDFFF)
                break;
            p += 6;
            o = put_utf8(o, 0x10000 + ((v - 0xD800) << 10) + (w - 0xDC00));
        } else if (v >= 0xDC00 && v <= 0xDFFF) {
            break;
        } else {
            o = put_utf8(o, v);
        }
    }
    free(buf);
    return nullptr;
}

// Length of the well-formed UTF-8 character at s, or 0 when the bytes there
// are not one; *bad then holds how many bytes form the maximal ill-formed
// prefix (at least 1), which becomes one U+FFFD.
int utf8_char(const unsigned char *s, int *bad) {
    unsigned char b = s[0];
    *bad = 1;
    if (b < 0x80)
        return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        if (b == 0xE0)
            lo = 0xA0;  // overlong
        if (b == 0xED)
            hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        if (b == 0xF0)
            lo = 0x90;  // overlong
        if (b == 0xF4)
            hi = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    for (int i = 1; i <= need; i++) {
        unsigned char c = s[i];
        if (c < lo || c > hi) {
            *bad = i;
            return 0;
        }
        lo = 0x80;
        hi = 0xBF;
    }
    return need + 1;
}

}  // namespace

int parse_command(const char *line, command *out) {
    out->count = 0;
    const char *p = skip_ws(line);
    if (*p != '{')
        return -1;
    p = skip_ws(p + 1);
    if (*p == '}')
        return *skip_ws(p + 1) == 0 ? 0 : -1;
    if (*p != '"')
        return -1;
    for (;;) {
        // p stands on the opening quote of a key
        p++;
        char *key = json_string(&p);
        if (!key)
            return -1;
        entry *e = &out->entries[out->count++];
        memset(e, 0, sizeof *e);
        size_t key_len = strlen(key);
        snprintf(e->key, sizeof e->key, "%s", key);
        free(key);
        if (key_len > KEY_BYTES - 1)
            return -1;

        p = skip_ws(p);
        if (*p != ':')
            return -1;
        p = skip_ws(p + 1);
        if (*p == '"') {
            p++;
            e->string = json_string(&p);
            if (!e->string)
                return -1;
            e->kind = KIND_STRING;
        } else if (strncmp(p, "true", 4) == 0) {
            e->kind = KIND_BOOL;
            e->boolean = 1;
            p += 4;
        } else if (strncmp(p, "false", 5) == 0) {
            e->kind = KIND_BOOL;
            p += 5;
        } else if (strncmp(p, "null", 4) == 0) {
            e->kind = KIND_NULL;
            p += 4;
        } else {
            char *end;
            double v = strtod(p, &end);
            if (end == p || !std::isfinite(v))
                return -1;
            e->number = v;
            e->kind = KIND_NUMBER;
            p = end;
        }

        p = skip_ws(p);
        if (*p == '}')
            return *skip_ws(p + 1) == 0 ? 0 : -1;
        if (*p != ',')
            return -1;
        p = skip_ws(p + 1);
        if (*p != '"' || out->count == COMMAND_ENTRIES)
            return -1;
    }
}

void command_free(command *c) {
    for (int i = 0; i < c->count; i++) {
        free(c->entries[i].string);
        c->entries[i].string = nullptr;
    }
    c->count = 0;
}

const entry *field(const command *c, const char *name, int kind) {
    for (int i = 0; i < c->count; i++)
        if (strcmp(c->entries[i].key, name) == 0)
            return c->entries[i].kind == kind ? &c->entries[i] : nullptr;
    return nullptr;
}

int present(const command *c, const char *name) {
    for (int i = 0; i < c->count; i++)
        if (strcmp(c->entries[i].key, name) == 0)
            return 1;
    return 0;
}

int int_field(const command *c, const char *name, int32_t *out) {
    if (!present(c, name))
        return 1;
    const entry *e = field(c, name, KIND_NUMBER);
    if (!e || e->number != floor(e->number) || fabs(e->number) > 2147483647.0)
        return 0;
    *out = int32_t(e->number);
    return 1;
}

long long clamp_int64(double id) {
    // 2^63 is the first double above the range; -2^63 itself converts exactly.
    if (id >= 9223372036854775808.0)
        return INT64_MAX;
    if (id < -9223372036854775808.0)
        return INT64_MIN;
    return static_cast<long long>(id);
}

namespace {

// Writes one line; out_lock held.
void put_line(const char *format, va_list ap) {
    if (out_closed)
        return;
    vfprintf(stdout, format, ap);
    putc('\n', stdout);
    fflush(stdout);
}

}  // namespace

void emit(const char *format, ...) {
    std::lock_guard<ordered_mutex> hold(out_lock);
    va_list ap;
    va_start(ap, format);
    put_line(format, ap);
    va_end(ap);
}

void emit_final(const char *format, ...) {
    std::lock_guard<ordered_mutex> hold(out_lock);
    va_list ap;
    va_start(ap, format);
    put_line(format, ap);
    va_end(ap);
    out_closed = true;
}

void emit_while(const std::atomic<uint64_t> &current, uint64_t gen, const char *format, ...) {
    std::lock_guard<ordered_mutex> hold(out_lock);
    if (current.load() != gen)
        return;
    va_list ap;
    va_start(ap, format);
    put_line(format, ap);
    va_end(ap);
}

void emit_close() {
    std::lock_guard<ordered_mutex> hold(out_lock);
    out_closed = true;
}

void json_esc(char *dst, unsigned long size, const char *src) {
    unsigned long n = 0;
    if (src) {
        const unsigned char *s = reinterpret_cast<const unsigned char *>(src);
        while (*s) {
            // room for the longest escape (six bytes) and the NUL
            if (n + 8 >= size)
                break;
            unsigned char b = *s;
            if (b == '"' || b == '\\') {
                dst[n++] = '\\';
                dst[n++] = char(b);
                s++;
            } else if (b < 0x20) {
                snprintf(dst + n, 7, "\\u%04x", b);
                n += 6;
                s++;
            } else {
                int bad;
                int len = utf8_char(s, &bad);
                if (len == 0) {
                    memcpy(dst + n, "\xEF\xBF\xBD", 3);  // U+FFFD
                    n += 3;
                    s += bad;
                } else {
                    memcpy(dst + n, s, size_t(len));
                    n += unsigned(len);
                    s += len;
                }
            }
        }
    }
    if (size > 0)
        dst[n] = 0;
}

uint64_t text_hash(const char *text) {
    uint64_t h = 14695981039346656037ull;
    for (; *text; text++)
        h = (h ^ uint8_t(*text)) * 1099511628211ull;
    return h ? h : 1;
}
