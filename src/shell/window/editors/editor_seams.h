#pragma once
// What the editors and preparation dialogs share beyond the core: the
// script file name every script file dialog starts from (and that names the
// script the preparation works on after a save), and the two seams through
// which tests answer file dialogs and run modal dialogs without racing a
// real modal loop.

#include <QDialog>
#include <functional>
#include <string>

#include "shell/window/window_host.h"

class QWidget;

constexpr const char* SCRIPT_FILTER = "Radio Velmora DJ (*.VSK *.vsk)";
constexpr const char* SAMPLE_FILTER = "Microsoft PCM (*.wav *.WAV);;Radio Velmora VMA (*.VMA *.vma)";
constexpr const char* WAVE_FILTER = "Microsoft PCM (*.wav *.WAV)";
constexpr const char* BITMAP_FILTER = "Windows Bitmap (*.BMP *.bmp)";

struct EditorSeams {
    // The shared script file name ("*.VSK" until a script file is chosen).
    std::string script_file = "*.VSK";
    // Answers a file dialog: the chosen path, or "" when cancelled.
    std::function<std::string(QWidget* owner, const FileQuestion&)> choose_file;
    // Runs a modal dialog and returns its result (QDialog::exec by default).
    std::function<int(QDialog&)> run_modal = [](QDialog& dialog) { return dialog.exec(); };

    EditorSeams();
};
