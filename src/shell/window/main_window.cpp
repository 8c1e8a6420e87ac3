#include "shell/window/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMenuBar>
#include <QVBoxLayout>

#include "app/context.h"
#include "app/controller.h"
#include "base/version.h"
#include "shell/window/dialogs/settings_dialogs.h"
#include "shell/window/editors/editors.h"
#include "shell/window/status_panel.h"
#include "shell/window/window_host.h"

namespace {

// The one edge between the menu items' data (the menu id) and the commands.
Command item_command(const QAction* item) {
    return static_cast<Command>(item->data().toInt());
}

}  // namespace

MainWindow::MainWindow(Context& ctx, WindowHost& host, Skin skin)
    : ctx_(ctx), host_(host), skin_(std::move(skin)) {
    setWindowTitle(QString::fromLatin1(PROGRAM_TITLE));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    QMenu* station = menuBar()->addMenu(QStringLiteral("&Station"));
    start_item_ = add_item(station, "&Start Broadcasting", Command::start);
    start_item_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    add_item(station, "&Build Script", Command::build_script);
    station->addSeparator();
    add_item(station, "&Next Song", Command::next_song)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    add_item(station, "&Reload Script", Command::reload_script);
    station->addSeparator();
    add_item(station, "Station &Info", Command::station_info);
    station->addSeparator();
    add_item(station, "E&xit", Command::exit);
    QMenu* options = menuBar()->addMenu(QStringLiteral("&Options"));
    add_item(options, "&Settings", Command::settings);
    add_item(options, "&Expert Settings", Command::expert_settings);
    QMenu* log = menuBar()->addMenu(QStringLiteral("&Log"));
    const char* days[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    for (int d = 0; d < 7; ++d)
        add_item(log, (std::string("View ") + days[d] + " Log").c_str(), view_log_command(d));
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    add_item(help, "&On-line", Command::online_help);
    help->addSeparator();
    add_item(help, "Check Internet Connection", Command::check_connection);
    help->addSeparator();
    add_item(help, "&About", Command::about);

    panel_ = new StatusPanel(ctx_, skin_, this);
    setCentralWidget(panel_);
    button_ = new StartStopButton(ctx_, skin_, panel_);
    connect(button_, &QAbstractButton::clicked, this, [this] {
        run_command(Command::start_stop);
        panel_->setFocus();
    });
    connect(panel_, &StatusPanel::key_released, this, [this](HiddenKey key) {
        on_key_released(ctx_, key);
        sync_view();
        panel_->update();
    });
    connect(&host_, &QtHost::controller_called, this, &MainWindow::sync_view);
    connect(&host_, &QtHost::close_requested, this, &QWidget::close);
    host_.set_widgets(this, panel_);
    host_.dialogs[Dialog::about] = [this] {
        show_about();
        return 1;
    };
    install_settings_dialogs(ctx_, host_, this);
    install_editors(ctx_, host_, this);

    // Not resizable: the panel's coordinates are the skin's pixels.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    panel_->setFocus();

    sync_view();
}

QAction* MainWindow::add_item(QMenu* menu, const char* text, Command command_id) {
    QAction* item = menu->addAction(QString::fromLatin1(text));
    item->setData(static_cast<int>(command_id));
    connect(item, &QAction::triggered, this, [this, item] { run_command(item_command(item)); });
    actions_[command_id] = item;
    return item;
}

QAction* MainWindow::action(Command command_id) const {
    if (command_id == Command::start || command_id == Command::stop)
        return item_command(start_item_) == command_id ? start_item_ : nullptr;
    auto found = actions_.find(command_id);
    return found == actions_.end() ? nullptr : found->second;
}

MainWindow::~MainWindow() { host_.stop_timers(); }

void MainWindow::start_timers() { host_.start_timers(); }

void MainWindow::run_command(Command command_id) {
    on_command(ctx_, command_id);
    sync_view();
}

void MainWindow::sync_view() {
    const MenuView& v = ctx_.window.menus;
    bool idle = ctx_.sender.broadcast_state == BroadcastState::idle;
    start_item_->setData(static_cast<int>(v.start_item_id));
    start_item_->setText(v.start_item_id == Command::stop ? QStringLiteral("&Stop Broadcasting")
                                                          : QStringLiteral("&Start Broadcasting"));
    start_item_->setEnabled(v.start_enabled || !idle);
    actions_[Command::build_script]->setEnabled(v.settings_enabled && v.build_script_enabled);
    for (Command id :
         {Command::station_info, Command::exit, Command::settings, Command::expert_settings})
        actions_[id]->setEnabled(v.settings_enabled);
    for (Command id : {Command::next_song, Command::reload_script})
        actions_[id]->setEnabled(ctx_.sender.broadcast_state == BroadcastState::broadcasting);
    button_->setEnabled(v.button_enabled);
    button_->setText(QString::fromLatin1(v.button_text));
    const bool draining = ctx_.sender.broadcast_state == BroadcastState::stop_requested;
    panel_->setCursor(ctx_.window.hourglass || draining ? Qt::WaitCursor : Qt::ArrowCursor);
    button_->update();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!exiting_ && !on_close_request(ctx_)) {
        sync_view();
        event->ignore();
        return;
    }
    host_.stop_timers();
    event->accept();
    QApplication::quit();
}

void MainWindow::close_for_exit() {
    stop_for_exit(ctx_);
    exiting_ = true;
    sync_view();
    close();
}

void MainWindow::show_about() {
    QDialog about(this);
    about.setWindowTitle(QStringLiteral("About"));
    auto* layout = new QVBoxLayout(&about);
    layout->addWidget(new QLabel(QStringLiteral("Radio Velmora Broadcaster (TM)")));
    auto* version = new QLabel(QString::fromLatin1(PROGRAM_VERSION));
    version->setObjectName(QStringLiteral("version"));
    layout->addWidget(version);
    layout->addWidget(new QLabel(QStringLiteral("An internet radio station for one operator.")));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    layout->addWidget(buttons);
    about.exec();
}
