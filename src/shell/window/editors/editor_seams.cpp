#include "shell/window/editors/editor_seams.h"

EditorSeams::EditorSeams() {
    choose_file = [](QWidget* owner, const FileQuestion& question) {
        return ask_for_file(owner, question, [](QDialog& dialog) { return dialog.exec(); });
    };
}
