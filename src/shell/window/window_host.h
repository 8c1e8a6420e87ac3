#pragma once
// The Host of the window: message boxes as QMessageBox, dialogs by id,
// repaints of the status panel. Tests (and unattended runs) answer the boxes
// and dialogs through `box_answers` and `dialogs` instead of a modal loop.

#include <QDialog>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <string>

#include "shell/common/qt_host.h"

struct FileQuestion {
    const char* title;   // "Open Script", "Save Script", "Load Script", "Open Sample", ...
    const char* filter;  // Qt filter text
    bool save = false;   // a save dialog (asks before overwriting)
    std::string start;   // the name the dialog starts from
};

// The extension of a filter's first pattern ("VSK" of "Radio Velmora DJ
// (*.VSK *.vsk)"), "" when it has none: what a file dialog appends to a
// name typed without one.
QString filter_suffix(const char* filter);

// Runs a file dialog for `question` with `run` (QDialog::exec, or a host's
// exec_dialog): the chosen path, or "" when cancelled.
std::string ask_for_file(QWidget* owner, const FileQuestion& question,
                         const std::function<int(QDialog&)>& run);

class WindowHost : public QtHost {
public:
    // The main window (owner of owned boxes) and the panel to repaint.
    void set_widgets(QWidget* main_window, QWidget* panel);

    Answer message_box(const char* text, const char* caption, BoxStyle style, bool owned) override;
    // A box that waits for nobody: the station goes on while it is open.
    void notice(const char* text) override;
    void invalidate(bool all) override;
    int run_dialog(Dialog dialog) override;
    // The operator mends the port or address and starts again.
    bool refuses_start_it_cannot_bind() const override { return true; }
    // The proxy dialog after a 401 or 407 (shell/window/dialogs/proxy_dialog.h).
    int proxy_dialog(bool reauthenticate) override;
    // Runs the proxy dialog over `owner` (also from the Expert dialog); 1
    // after OK saved the values.
    int run_proxy_dialog(Context& ctx, QWidget* owner, bool reauthenticate);
    // Runs a dialog modally, or hands it to `dialog_driver`; its result.
    int exec_dialog(QDialog& dialog);
    // A file dialog run through exec_dialog (so an unattended run names it and
    // goes on): the chosen path, or "" when cancelled.
    std::string choose_file(QWidget* owner, const FileQuestion& question);
    QWidget* main_window() const { return main_window_.data(); }

    // Set: every box is answered by it (text, style -> answer) and never shown.
    std::function<Answer(const char* text, BoxStyle style)> box_answers;
    // Dialogs the front end has, by id; a missing one answers 0 (cancelled).
    std::map<Dialog, std::function<int()>> dialogs;
    // Set: every dialog is shown without a modal loop and handed to it (a
    // test fills its controls and presses its buttons; an unattended run
    // leaves it). A dialog still open afterwards counts as cancelled.
    std::function<void(QDialog&)> dialog_driver;

private:
    QPointer<QWidget> main_window_;
    QPointer<QWidget> panel_;
};
