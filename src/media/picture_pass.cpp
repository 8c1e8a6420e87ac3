#include "media/picture_pass.h"

#include <algorithm>
#include <cstdio>

#include "base/messages.h"
#include "media/script_table.h"
#include "media/script_tokens.h"
#include "platform/paths.h"
#include "platform/safe_files.h"
#include "media/picture_check.h"
#include "media/picture_slots.h"

namespace {

// The pass loads into the main slot; a broadcast running meanwhile must get
// back the picture it shows, and an idle station should not keep the last
// picture of the pass in memory.
void restore_main_slot(Services& services, PictureSlots& pictures) {
    const std::string shown = pictures.shown_name;
    if (shown.empty())
        free_picture(pictures, PICTURE_MAIN);
    else
        load_picture(services, pictures, shown.c_str(), PICTURE_MAIN);
}

// Loads and prepares the entry's picture; sets pass.problem when it cannot
// be shown and pass.note when listeners get less than the whole picture.
void prepare_entry_picture(Services& services, PictureSlots& pictures, PicturePass& pass) {
    const char* picture = pass.picture.c_str();
    const std::string prepared = prepared_picture_name(picture);
    if (!prepared.empty() && same_file(prepared, pass.path)) {
        pass.problem = "its prepared copy " + prepared + " would replace the script itself";
        return;
    }
    PictureFacts facts;
    const int check = check_picture_file(picture, &facts);
    const std::string size = std::to_string(facts.width) + " x " + std::to_string(facts.height);
    // Listeners get whole 32 x 32 tiles of the picture's width rounded up
    // to a multiple of 4: a smaller picture is refused before a prepared
    // copy is written for it.
    if (check == 0 && ((facts.width + 3) / 4 * 4 < PICTURE_TILE_SIZE || facts.height < PICTURE_TILE_SIZE)) {
        pass.problem = size + ": smaller than one 32 x 32 tile, the listeners get nothing";
        return;
    }
    const PictureProgress* progress = pass.progress ? &pass.progress : nullptr;
    std::string unsaved;
    if (!load_picture(services, pictures, picture, PICTURE_MAIN, progress, &unsaved)) {
        pass.problem = check != 0 ? facts.problem : "it could not be loaded";
        return;
    }
    if (!unsaved.empty()) {
        pass.problem = "not prepared: " + unsaved;
        return;
    }
    if (check != 0) return;  // the picture is gone, but its prepared copy serves
    int columns = 0, rows = 0;
    picture_grid(pictures, PICTURE_MAIN, &columns, &rows);
    if (columns * PICTURE_TILE_SIZE != facts.width || rows * PICTURE_TILE_SIZE != facts.height)
        pass.note = size + ": the listeners get " + std::to_string(columns * PICTURE_TILE_SIZE) + " x " +
                    std::to_string(rows * PICTURE_TILE_SIZE);
}

int close_pass(Services& services, PictureSlots& pictures, PicturePass& pass) {
    if (pass.open) restore_main_slot(services, pictures);
    pass.open = false;
    pass.text = ScriptText{};
    return PICTURE_PASS_DONE;
}

}  // namespace

int open_picture_pass(Services& services, PicturePass& pass, const char* path, bool script_mode) {
    PictureProgress progress = std::move(pass.progress);
    pass = PicturePass{};
    pass.progress = std::move(progress);
    pass.script_mode = script_mode;
    if (path == nullptr || path[0] == '\0' || !read_script_text(path, pass.text)) return 0;
    pass.path = path;

    int declared = 0;
    if (script_mode)
        parse_script_line(services, pass.text.bytes.data(), &pass.position, &declared, nullptr, nullptr,
                          nullptr);
    else
        parse_list_line(services, pass.text.bytes.data(), &pass.position, &declared, nullptr, nullptr);
    pass.total = std::clamp(declared, 0, SCRIPT_MAX_ENTRIES);
    pass.open = pass.total > 0;
    if (!pass.open) pass.text = ScriptText{};
    return pass.total;
}

int picture_pass_step(Services& services, PictureSlots& pictures, PicturePass& pass) {
    pass.problem.clear();
    pass.note.clear();
    if (!pass.open) return PICTURE_PASS_DONE;

    char first[SCRIPT_NAME_SIZE], second[SCRIPT_NAME_SIZE], rest[SCRIPT_TEXT_SIZE];
    int count = 0;
    bool found = false;
    while (!found && pass.position < pass.text.length) {
        ++pass.line;
        found = pass.script_mode
                    ? parse_script_line(services, pass.text.bytes.data(), &pass.position, &count, first,
                                        second, rest) != 0
                    : parse_list_line(services, pass.text.bytes.data(), &pass.position, &count, second,
                                      rest) != 0;
    }
    if (!found) return close_pass(services, pictures, pass);  // the file ends before its count

    ++pass.done;
    std::snprintf(pass.count_text, sizeof pass.count_text, "%d left", pass.total - pass.done);
    pass.picture = resolve_beside(pass.path, second);
    if (!pass.picture.empty() && pass.handled.insert(pass.picture).second) {
        prepare_entry_picture(services, pictures, pass);
        if (pass.problem.empty())
            ++pass.prepared;
        else
            ++pass.failed;
    }
    return pass.done < pass.total ? PICTURE_PASS_RUNNING : close_pass(services, pictures, pass);
}
