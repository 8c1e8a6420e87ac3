#include "media/script_table.h"

#include "base/messages.h"

void free_script_table(Services& services, ScriptTable& script) {
    std::vector<ScriptEntry>().swap(script.entries);
    script.loaded = false;
    services.state.script_entries = 0;
}
