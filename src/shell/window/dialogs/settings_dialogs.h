#pragma once
// The settings dialogs of the main window's Options and Station menus,
// registered with the host by their dialog ids.

struct Context;
class QWidget;
class WindowHost;

void install_settings_dialogs(Context& ctx, WindowHost& host, QWidget* window);
