#include "media/live_list.h"

#include <algorithm>
#include <cstring>

#include "base/messages.h"
#include "media/script_table.h"
#include "media/script_text.h"
#include "media/script_tokens.h"
#include "media/picture_check.h"

int load_live_list(Services& services, ScriptTable& script, const char* path) {
    free_script_table(services, script);
    ScriptText text;
    if (!read_script_text(path, text)) return 0;

    // The header's rate field is not checked: live sound is encoded at the
    // station's own settings.
    int position = 0, declared = 0;
    char word[SCRIPT_TEXT_SIZE];
    parse_list_line(services, text.bytes.data(), &position, &declared, nullptr, word);
    if (strcmp(word, "LIVE") != 0 || declared < 0) {
        show_refusal(services, "Invalid List!");
        return 0;
    }
    int available = count_entry_lines(text, position, std::min(declared, SCRIPT_MAX_ENTRIES));
    if (available == 0) {
        show_refusal(services, "Empty List!");
        return 0;
    }

    script.entries.assign(static_cast<size_t>(available), ScriptEntry{});
    int accepted = 0;
    while (accepted < available && position < text.length) {
        ScriptEntry& entry = script.entries[static_cast<size_t>(accepted)];
        if (!parse_list_line(services, text.bytes.data(), &position, &entry.count, entry.picture,
                             entry.text))
            continue;
        if (!resolve_entry_names(services, path, entry)) {
            free_script_table(services, script);
            return 0;
        }
        if (check_picture_file(entry.picture) == 1) {
            show_message(services, true, Buttons::ok | Icon::error, "%s: unknown file format!",
                         entry.picture);
            free_script_table(services, script);
            return 0;
        }
        ++accepted;
    }
    return keep_entries(services, script, accepted);
}

int open_live_list(Services& services, ScriptTable& script, const char* path) {
    int loaded = load_live_list(services, script, path);
    for (int i = 0; i < loaded; ++i) {
        const ScriptEntry& entry = script.entries[static_cast<size_t>(i)];
        debug_trace(services, "%3d: %ds Song %s <<%s>>", i, entry.count, entry.picture, entry.text);
        // An entry without a picture shows its text alone.
        if (entry.picture[0] == '\0') {
            debug_trace(services, " no picture\n");
            continue;
        }
        long size = file_size(entry.picture);
        if (size < 0) {
            debug_trace(services, " cannot open file!\n");
            free_script_table(services, script);
            return 0;
        }
        debug_trace(services, " size : %ld\n", size);
    }
    return loaded;
}
