// Checks of the host's strings a load hands on: what the library and a
// server would take otherwise than given is refused here, with its reason.
#include "checks.h"

#include <cstring>
#include <strings.h>

namespace {

bool printable(const char *s) {
    for (; *s; s++)
        if (*s < 0x20 || *s > 0x7E)
            return false;
    return true;
}

// Length-checked printable ASCII; the common problems of both headers.
const char *header_problem(const char *s) {
    if (!s[0])
        return "must not be empty";
    if (strnlen(s, REQUEST_TEXT_MAX + 1) > REQUEST_TEXT_MAX)
        return "must be at most 512 bytes";
    if (!printable(s))
        return "must be printable ASCII";
    return nullptr;
}

bool token_char(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || strchr("!#$%&'*+-.^_`|~", c);
}

size_t token_length(const char *s) {
    size_t n = 0;
    while (s[n] && token_char(s[n]))
        n++;
    return n;
}

// The length of the comment at s, nested ones included; 0 when s holds none.
size_t comment_length(const char *s) {
    if (*s != '(')
        return 0;
    size_t i = 1;
    for (int depth = 1; depth > 0; i++) {
        char c = s[i];
        if (c == 0)
            return 0;
        if (c == '\\') {
            if (!s[++i])
                return 0;
        } else if (c == '(') {
            depth++;
        } else if (c == ')') {
            depth--;
        }
    }
    return i;
}

}  // namespace

const char *agent_problem(const char *s) {
    if (const char *problem = header_problem(s))
        return problem;
    const char *syntax = "must be products and comments, as in MyApp/1.2 (Linux), without double quotes";
    if (strchr(s, '"') || !token_char(*s))
        return syntax;
    for (;;) {
        size_t n = token_length(s);
        if (n && s[n] == '/') {
            size_t version = token_length(s + n + 1);
            n = version ? n + 1 + version : 0;
        } else if (!n) {
            n = comment_length(s);
        }
        if (!n)
            return syntax;
        s += n;
        if (!*s)
            return nullptr;
        if (*s != ' ')
            return syntax;
        while (*s == ' ')
            s++;
    }
}

const char *referrer_problem(const char *s) {
    if (const char *problem = header_problem(s))
        return problem;
    if (s[0] == ' ' || s[strlen(s) - 1] == ' ')
        return "must not begin or end with a space";
    return nullptr;
}

const char *location_problem(const char *s) {
    static const char *const schemes[] = {"file://", "http://", "https://"};
    bool known = false;
    for (const char *scheme : schemes)
        known = known || strncasecmp(s, scheme, strlen(scheme)) == 0;
    if (!known)
        return "must be a file://, http:// or https:// location";
    if (strnlen(s, LOCATION_MAX + 1) > LOCATION_MAX)
        return "must be at most 1024 bytes";
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(s); *c; c++)
        if (*c < 0x20 || *c == 0x7F)
            return "must not hold control characters";
    return nullptr;
}

bool file_path(const char *location, char *path, unsigned long size) {
    const char *s = nullptr;
    if (strncasecmp(location, "file:///", 8) == 0)
        s = location + 7;
    else if (strncasecmp(location, "file://localhost/", 17) == 0)
        s = location + 16;
    if (!s || !size)
        return false;
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    unsigned long n = 0;
    for (; *s && *s != '?' && *s != '#'; s++) {
        char c = *s;
        if (c == '%') {
            int hi = hex(s[1]), lo = hi < 0 ? -1 : hex(s[2]);
            if (lo < 0)
                return false;
            c = char(hi * 16 + lo);
            s += 2;
        }
        if (!c || n + 1 >= size)
            return false;
        path[n++] = c;
    }
    path[n] = 0;
    return true;
}
