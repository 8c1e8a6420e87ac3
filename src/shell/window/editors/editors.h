#pragma once
// Makes the editors and preparation dialogs the window's dialogs: the
// Script Builder, the live list editor, the picture pass after the settings
// and the "Load Script" file dialog of a start without a script.

#include <memory>

struct Context;
struct EditorSeams;
class QWidget;
class WindowHost;

// Registers the dialogs with the host; `owner` owns them. The seams (shared
// script file name, file dialogs, modal runs) are returned for tests.
std::shared_ptr<EditorSeams> install_editors(Context& ctx, WindowHost& host, QWidget* owner);

// "Load Script": asks for a script and loads it as the station's script
// (open_script), keeping its result as the script entry count. 0 when the
// file dialog is cancelled (the count is then 0), else 1.
int choose_script_file(Context& ctx, EditorSeams& seams, QWidget* owner);
