// The host's strings that a load hands on to the library and to servers: a
// user agent, a referrer, a subtitle file's location. Pure functions; any
// thread may call them.
#pragma once

enum {
    REQUEST_TEXT_MAX = 512,  // bytes of a user agent or a referrer
    LOCATION_MAX = 1024,     // bytes of a subtitle file's location
};

// Why s cannot go out as a User-Agent header as it is, null when it can:
// printable ASCII, products and comments as HTTP has them (MyApp/1.2 (Linux)),
// no double quote (the older HTTP reader of internet radio rewrites it).
const char *agent_problem(const char *s);
// Why s cannot go out as a Referer header as it is, null when it can:
// printable ASCII without a space at either end.
const char *referrer_problem(const char *s);
// Why s is not a subtitle file location the engine hands on, null when it is:
// a file, http or https location without control characters.
const char *location_problem(const char *s);
// The path of a local file's location (file:///p or file://localhost/p),
// percent-decoded into path (size bytes); false for any other location, or
// one that decodes to a NUL or does not fit.
bool file_path(const char *location, char *path, unsigned long size);
