// The host's subtitle files: the load's and those added while it plays, each
// a subtitle track marked external, and the delay of the subtitles. The
// library opens a file on its input thread and tells of it in its lines and
// events, in order: the opening, the subtitle stream, the demuxer made (or
// the file's failure). A file that yields no subtitle stream is told
// unreadable, and the load plays on.
#include "checks.h"
#include "engine.h"
#include "failures.h"
#include "json.h"
#include "words.h"

#include <cstdio>
#include <cstring>

namespace {

const int32_t SPU_DELAY_MAX_MS = 3600000;  // an hour either way, like the sound's

// Keeps url among p's subtitle files; false when it has all it may.
bool keep(player *p, const char *url) {
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    if (p->subtitle_count >= SUBTITLES_MAX)
        return false;
    snprintf(p->subtitle_urls[p->subtitle_count++], sizeof p->subtitle_urls[0], "%s", url);
    return true;
}

// The library begins to open the file of its line's rest ("spu-es slave:
// URL (forced: 1)"): one of the host's, or one it found itself.
void opening(player *p, const char *rest) {
    const char *url = rest ? strstr(rest, " slave: ") : nullptr;
    const char *end = nullptr;  // the last " (forced: ": a location may hold the words too
    for (const char *at = url; at && (at = strstr(at, " (forced: ")); at++)
        end = at;
    if (!end)
        return;
    url += strlen(" slave: ");
    size_t len = size_t(end - url);
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    for (int i = 0; i < p->subtitle_count; i++)
        if (strlen(p->subtitle_urls[i]) == len && memcmp(p->subtitle_urls[i], url, len) == 0) {
            p->subtitle_opening = i + 1;
            p->subtitle_found = false;
            return;
        }
}

// The library is done opening the file it was opening: told when it gave
// no subtitle stream.
void opened(player *p) {
    char url[sizeof p->subtitle_urls[0]];
    {
        std::lock_guard<ordered_mutex> hold(ctl_lock);
        int which = p->subtitle_opening;
        p->subtitle_opening = 0;
        if (!which || p->subtitle_found)
            return;
        memcpy(url, p->subtitle_urls[which - 1], sizeof url);
    }
    if (p->generation != generation.load() || p->silenced.load())
        return;
    char shown[sizeof url];
    unsigned long len = mask_secrets(url, strlen(url), shown, sizeof shown);
    tell_refusal(REFUSED_SUBTITLES, shown, len);
}

player *playing() { return cur && cur->media ? cur : nullptr; }

}  // namespace

void subtitles_redraw(player *p) {
    // Paused, the library draws its still again only with the lines it holds
    // already; a track switched on, a file added or a delay changed needs lines
    // read anew, which a seek to the still's own time brings, landing on the
    // same picture. A seek under way reads its own; a change it may have read
    // before is read once it is over.
    if (!p->host_paused.load() || !p->seekable.load() || p->end_state.load() != END_NONE || seek_redraw_after(p))
        return;
    int64_t us = p->still_us.load();
    if (us < 0)
        return;
    seek_request r{CLIENT_START, 0, double((us + 500) / 1000), 0, false, false, false, true, false};
    if (!seek_start(p, &r))
        seek_wait_turn(p, &r);
}

void subtitles_load(player *p, const char *url, bool select) {
    keep(p, url);
    libvlc_media_player_add_slave(p->mp, libvlc_media_slave_type_subtitle, url, select);
}

void cmd_add_subtitles(const command *c, long long id) {
    const entry *url = field(c, "url", KIND_STRING);
    const char *problem = url ? location_problem(url->string) : "must be a string";
    char why[160];
    player *p = playing();
    if (problem)
        snprintf(why, sizeof why, "addSubtitles: url %s", problem);
    else if (!p || p->end_state.load() != END_NONE)
        snprintf(why, sizeof why, "addSubtitles: no media plays");
    else if (!keep(p, url->string))
        snprintf(why, sizeof why, "addSubtitles: a load takes at most %d subtitle files", SUBTITLES_MAX);
    else {
        p->hide_spu = 0;  // the host's own choice of subtitles, as an spu command is
        bool ok = libvlc_media_player_add_slave(p->mp, libvlc_media_slave_type_subtitle, url->string, true) == 0;
        tell_ack(id, ok);
        if (ok)
            subtitles_redraw(p);
        return;
    }
    tell_refused(id, why);
}

void cmd_spu_delay(const command *c, long long id) {
    int32_t ms = 0;
    player *p = playing();
    if (!present(c, "ms") || !int_field(c, "ms", &ms) || ms < -SPU_DELAY_MAX_MS || ms > SPU_DELAY_MAX_MS)
        tell_refused(id, "spuDelay: ms must be an integer within an hour either way");
    else if (!p)
        tell_refused(id, "spuDelay: no media plays");
    else {  // the load's input: its delay goes with it
        bool ok = libvlc_video_set_spu_delay(p->mp, int64_t(ms) * 1000) == 0;
        tell_ack(id, ok);
        if (ok)
            subtitles_redraw(p);
    }
}

void subtitles_line(player *p, int level, const char *object, const char *fmt, const char *text) {
    if (heard(WORD_SLAVE_LOADING, level, object, fmt, text))
        opening(p, word_rest(WORD_SLAVE_LOADING, text));
    else if (heard(WORD_SLAVE_FAILED, level, object, fmt, text) ||
             (heard(WORD_MODULE_MADE, level, object, fmt, text) && heard(WORD_DEMUX_MADE, level, object, fmt, text)))
        opened(p);
}

void subtitles_stream(player *p, int type, int id) {
    if (type != libvlc_track_text)
        return;
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    if (p->subtitle_opening && p->external_count < SUBTITLES_MAX) {
        p->subtitle_found = true;
        p->external_ids[p->external_count++] = id;
    }
}

bool subtitles_opening(player *p) {
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    return p->subtitle_opening != 0;
}

bool subtitles_external(player *p, int id) {
    std::lock_guard<ordered_mutex> hold(ctl_lock);
    for (int i = 0; i < p->external_count; i++)
        if (p->external_ids[i] == id)
            return true;
    return false;
}
