// The sound devices: the library's list of where the current player's sound
// can go, and the host's choice among them, process-wide like the volume: it
// goes to every later load. When the library says the sound moved off the
// device asked for, that one went away: the host is told, and the sound
// stays with the default from then on.
#include "engine.h"
#include "json.h"
#include "failures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The device asked for, "" for the default. gate_lock: set by the control
// thread, read and given up by the event handler.
char chosen[512];

// Whether id is one of the devices p's library lists.
bool listed(player *p, const char *id) {
    libvlc_audio_output_device_t *list = libvlc_audio_output_device_enum(p->mp);
    bool found = false;
    for (libvlc_audio_output_device_t *d = list; d && !found; d = d->p_next)
        found = d->psz_device && strcmp(d->psz_device, id) == 0;
    libvlc_audio_output_device_list_release(list);
    return found;
}

}  // namespace

void cmd_devices(const command *, long long id) {
    player *p = cur;
    libvlc_audio_output_device_t *list = p ? libvlc_audio_output_device_enum(p->mp) : nullptr;
    char *current = p ? libvlc_audio_output_device_get(p->mp) : nullptr;
    int n = 0;
    for (libvlc_audio_output_device_t *d = list; d; d = d->p_next)
        n++;
    device_entry *entries = static_cast<device_entry *>(malloc(sizeof(device_entry) * size_t(n ? n : 1)));
    if (entries) {
        int i = 0;
        for (libvlc_audio_output_device_t *d = list; d; d = d->p_next)
            entries[i++] = {d->psz_device, d->psz_description};
        tell_devices(entries, n, current);
    }
    free(entries);
    free(current);
    libvlc_audio_output_device_list_release(list);
    tell_ack(id, entries != nullptr);
}

void cmd_audio_device(const command *c, long long id) {
    const entry *device = field(c, "device", KIND_STRING);
    if (!device) {
        tell_refused(id, "audioDevice: device must be a string");
        return;
    }
    if (!cur || strlen(device->string) >= sizeof chosen || !listed(cur, device->string)) {
        tell_refused(id, "audioDevice: device must be an id the devices event lists");
        return;
    }
    {
        std::lock_guard<ordered_mutex> gate(gate_lock);
        snprintf(chosen, sizeof chosen, "%s", device->string);
        cur->on_device = false;
    }
    libvlc_audio_output_device_set(cur->mp, nullptr, device->string);
    tell_ack(id, true);
}

void device_apply(player *p) {
    char device[sizeof chosen];
    {
        std::lock_guard<ordered_mutex> gate(gate_lock);
        memcpy(device, chosen, sizeof device);
    }
    if (device[0])
        libvlc_audio_output_device_set(p->mp, nullptr, device);
}

void device_reported(player *p, const char *device) {
    if (!chosen[0] || !device)
        return;
    bool on = strcmp(device, chosen) == 0;
    bool left = p->on_device && !on;
    p->on_device = on;
    if (!left)
        return;
    char shown[sizeof chosen];
    unsigned long len = mask_secrets(chosen, strlen(chosen), shown, sizeof shown);
    chosen[0] = 0;  // later loads go to the default too
    tell_refusal(REFUSED_DEVICE_GONE, shown, len);
}
