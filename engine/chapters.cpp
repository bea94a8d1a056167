// The chapters of a media: told as a list once known, with the chapter that
// playback is in whenever it enters another, and the chapter command, a seek
// to a chapter's start. The library's own chapter event comes when its
// demuxer reads a chapter, a second or so before it plays; the chapter told
// is where the times told and the landings place playback among the starts.
#include "engine.h"
#include "json.h"

#include <cstdlib>
#include <cstring>

void report_chapters(player *p) {
    libvlc_chapter_description_t **list = nullptr;
    int n = libvlc_media_player_get_full_chapter_descriptions(p->mp, -1, &list);
    if (n <= 0)
        return;
    chapter_entry *entries = static_cast<chapter_entry *>(malloc(sizeof(chapter_entry) * size_t(n)));
    if (entries) {
        for (int i = 0; i < n; i++) {
            // The library indents a nested chapter's name by its depth.
            const char *name = list[i]->psz_name;
            while (name && *name == ' ')
                name++;
            entries[i] = {list[i]->i_time_offset, list[i]->i_duration, name};
        }
        std::lock_guard<ordered_mutex> gate(gate_lock);
        if (p->generation == generation.load() && !p->silenced.load() &&
            (p->end_state.load() == END_NONE || p->end_held.load()) && tell_chapters(entries, n, &p->chapters_hash)) {
            p->chapter_count = n < CHAPTERS_MAX ? n : CHAPTERS_MAX;
            for (int i = 0; i < p->chapter_count; i++)
                p->chapter_ms[i] = entries[i].ms;
            p->told_chapter = 0;
            chapter_at(p, p->time_ms.load());
        }
    }
    free(entries);
    libvlc_chapter_descriptions_release(list, unsigned(n));
}

void chapter_at(player *p, int64_t t) {
    int index = -1;  // before the first chapter's start: in none
    for (int i = 0; i < p->chapter_count && p->chapter_ms[i] <= t; i++)
        index = i;
    if (index < 0 || index + 1 == p->told_chapter)
        return;
    p->told_chapter = index + 1;
    tell_chapter(index);
}

void cmd_chapter(const command *c, long long id) {
    int32_t index = -1;
    if (!present(c, "index") || !int_field(c, "index", &index)) {
        tell_refused(id, "chapter: index must be an integer");
        return;
    }
    player *p = cur && cur->media ? cur : nullptr;
    int64_t ms = -1;
    if (p) {
        std::lock_guard<ordered_mutex> gate(gate_lock);
        if (index >= 0 && index < p->chapter_count)
            ms = p->chapter_ms[index];
    }
    if (ms < 0) {
        tell_refused(id, "chapter: index must be one of the chapters told");
        return;
    }
    // Through the seek command itself: it lands, and is told, as a seek does.
    command seek{};
    seek.count = 1;
    strcpy(seek.entries[0].key, "ms");
    seek.entries[0].kind = KIND_NUMBER;
    seek.entries[0].number = double(ms);
    cmd_seek(&seek, id);
}
