#include "media/script_table.h"

#include <cstring>

#include "base/messages.h"

void free_script_table(Services& services, ScriptTable& script) {
    std::vector<ScriptEntry>().swap(script.entries);
    script.loaded = false;
    script.script_entries = 0;
}

const char* script_entry_text(const ScriptTable& script, int index) {
    if (index < 0 || index >= static_cast<int>(script.entries.size())) return "";
    const ScriptEntry& entry = script.entries[static_cast<size_t>(index)];
    return memchr(entry.text, 0, sizeof entry.text) ? entry.text : "";
}
