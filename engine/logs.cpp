// The library's log lines. Each player's instance logs here from the
// library's threads; lines are not forwarded to the host yet.
#include "engine.h"
#include "json.h"

void on_log(void *, int, const libvlc_log_t *, const char *, va_list) noexcept {}

void tell_error() {
    if (cur->error_told)
        return;
    cur->error_told = 1;
    emit("{\"type\":\"error\",\"problem\":\"unavailable\",\"codec\":null}");
}
