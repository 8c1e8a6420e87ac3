#include "media/script_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "media/script_table.h"
#include "platform/paths.h"
#include "platform/safe_files.h"

int read_script_text(const char* path, ScriptText& text, std::string* why) {
    FILE* file = open_regular_file(path, why);
    if (!file) return 0;
    long size = -1;
    if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
    bool ok = size >= 0 && size <= SCRIPT_FILE_MAX_SIZE && fseek(file, 0, SEEK_SET) == 0;
    if (ok) {
        text.bytes.assign(static_cast<size_t>(size) + 1, '\0');
        ok = fread(text.bytes.data(), 1, static_cast<size_t>(size), file) ==
             static_cast<size_t>(size);
        text.length = static_cast<int>(size);
    }
    if (!ok && why) *why = size > SCRIPT_FILE_MAX_SIZE ? "larger than any script may be" : strerror(errno);
    fclose(file);
    return ok ? 1 : 0;
}

long file_size(const char* path) {
    FILE* file = fopen(path, "rb");
    if (!file) return -1;
    long size = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : 0;
    fclose(file);
    return size;
}

int count_entry_lines(const ScriptText& text, int position, int limit) {
    int lines = 0;
    bool in_line = false;
    for (int i = position; i < text.length && lines < limit; ++i) {
        if (text.bytes[i] != '\0' && !in_line) ++lines;
        in_line = text.bytes[i] != '\0';
    }
    return lines;
}

int resolve_entry_names(Services& services, const char* script_path, ScriptEntry& entry) {
    for (char* name : {entry.song, entry.picture}) {
        std::string resolved = resolve_beside(script_path, name);
        if (resolved.size() >= static_cast<size_t>(SCRIPT_NAME_SIZE)) {
            show_message(services, true, Buttons::ok | Icon::error,
                         "Cannot open file %s\nPlease check the script.", resolved.c_str());
            return 0;
        }
        memcpy(name, resolved.c_str(), resolved.size() + 1);
    }
    return 1;
}

void show_refusal(Services& services, const char* message) {
    show_message(services, false, Buttons::ok | Icon::error | BoxFlag::system_modal, "%s", message);
}

int keep_entries(Services& services, ScriptTable& script, int accepted) {
    script.entries.resize(static_cast<size_t>(accepted));
    script.script_entries = accepted;
    script.loaded = accepted > 0;
    return accepted;
}
