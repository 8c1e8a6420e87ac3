#include "media/script_table.h"

#include "app/context.h"

void free_script_table(Context& ctx) {
    std::vector<ScriptEntry>().swap(ctx.script.entries);
    ctx.script.loaded = false;
    ctx.state.script_entries = 0;
}
