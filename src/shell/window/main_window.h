#pragma once
// The operator's window: the four menus with their command ids, Ctrl+S, the
// skinned status panel with the start/stop button. Every controller call,
// the host's timer ticks included, is followed by sync_view, which
// copies the menu and button state, the caption and the cursor into the
// widgets.

#include <QMainWindow>
#include <map>

#include "base/commands.h"
#include "shell/window/skin.h"

struct Context;
class QAction;
class StatusPanel;
class StartStopButton;
class WindowHost;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(Context& ctx, WindowHost& host, Skin skin);
    ~MainWindow() override;  // the host's timers stop with the window

    // Runs one command through the controller, then syncs the view.
    void run_command(Command command_id);
    void sync_view();
    // The host's panel and send timers; off until started.
    void start_timers();
    // Stops any broadcast, closes the station and lets the window close.
    void close_for_exit();

    // The menu item that sends `command_id` now (105 and 146 are one item).
    QAction* action(Command command_id) const;
    StatusPanel* panel() const { return panel_; }
    StartStopButton* button() const { return button_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QAction* add_item(QMenu* menu, const char* text, Command command_id);
    void show_about();

    Context& ctx_;
    WindowHost& host_;
    Skin skin_;
    StatusPanel* panel_ = nullptr;
    StartStopButton* button_ = nullptr;
    std::map<Command, QAction*> actions_;
    QAction* start_item_ = nullptr;
    bool exiting_ = false;
};
