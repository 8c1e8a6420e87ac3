#include "shell/window/editors/editors.h"

#include "app/context.h"
#include "app/controller.h"
#include "media/script_file.h"
#include "shell/window/editors/editor_seams.h"
#include "shell/window/editors/entry_list_editor.h"
#include "shell/window/editors/preparation_dialogs.h"
#include "shell/window/window_host.h"

int choose_script_file(Context& ctx, EditorSeams& seams, QWidget* owner) {
    const std::string path = seams.choose_file(owner, {"Load Script", SCRIPT_FILTER, false, seams.script_file});
    if (path.empty()) {
        ctx.script.script_entries = 0;
        return 0;
    }
    seams.script_file = path;
    open_station_script(ctx, path.c_str());
    return 1;
}

std::shared_ptr<EditorSeams> install_editors(Context& ctx, WindowHost& host, QWidget* owner) {
    auto seams = std::make_shared<EditorSeams>();
    // Through the host, as every dialog of the window: an unattended run
    // names them and goes on instead of waiting for an operator.
    seams->run_modal = [&host](QDialog& dialog) { return host.exec_dialog(dialog); };
    seams->choose_file = [&host](QWidget* owner, const FileQuestion& question) {
        return host.choose_file(owner, question);
    };
    auto editor = [&ctx, seams, owner](EntryListKind kind) {
        EntryListEditor dialog(ctx, *seams, kind, owner);
        return seams->run_modal(dialog);
    };
    host.dialogs[Dialog::script_builder] = [editor] { return editor(SCRIPT_LIST); };
    host.dialogs[Dialog::live_list_editor] = [editor] { return editor(LIVE_LIST); };
    host.dialogs[Dialog::load_script] = [&ctx, seams, owner] {
        return choose_script_file(ctx, *seams, owner);
    };
    // After the settings: the pictures of what the station will play.
    host.dialogs[Dialog::picture_preparation] = [&ctx, seams, owner] {
        const bool live = feed_is_live(feed_of_mode(ctx.state.MODE));  // the feed the settings just chose
        const std::string& path = live ? ctx.state.LiveScript : ctx.state.StationScript;
        PicturePassDialog pass(ctx, path, !live, owner);
        return pass.total() > 0 ? seams->run_modal(pass) : 0;
    };
    return seams;
}
