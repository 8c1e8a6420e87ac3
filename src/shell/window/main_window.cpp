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
#include "shell/window/dialogs/settings_dialogs.h"
#include "shell/window/editors/editors.h"
#include "shell/window/status_panel.h"
#include "shell/window/window_host.h"

MainWindow::MainWindow(Context& ctx, WindowHost& host, Skin skin)
    : ctx_(ctx), host_(host), skin_(std::move(skin)) {
    setWindowTitle(QString::fromLatin1(PROGRAM_TITLE));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    QMenu* station = menuBar()->addMenu(QStringLiteral("&Station"));
    start_item_ = add_item(station, "&Start Broadcasting", CMD_START);
    start_item_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    add_item(station, "&Build Script", CMD_BUILD_SCRIPT);
    station->addSeparator();
    add_item(station, "Station &Info", CMD_STATION_INFO);
    station->addSeparator();
    add_item(station, "E&xit", CMD_EXIT);
    QMenu* options = menuBar()->addMenu(QStringLiteral("&Options"));
    add_item(options, "&Settings", CMD_SETTINGS);
    add_item(options, "&Expert Settings", CMD_EXPERT_SETTINGS);
    QMenu* log = menuBar()->addMenu(QStringLiteral("&Log"));
    const char* days[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    for (int d = 0; d < 7; ++d)
        add_item(log, (std::string("View ") + days[d] + " Log").c_str(), CMD_VIEW_SUNDAY_LOG + d);
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    add_item(help, "&On-line", CMD_ONLINE_HELP);
    help->addSeparator();
    add_item(help, "Check Internet Connection", CMD_CHECK_CONNECTION);
    help->addSeparator();
    add_item(help, "&About", CMD_ABOUT);

    panel_ = new StatusPanel(ctx_, skin_, this);
    setCentralWidget(panel_);
    button_ = new StartStopButton(ctx_, skin_, panel_);
    connect(button_, &QAbstractButton::clicked, this, [this] {
        run_command(CMD_START_STOP);
        panel_->setFocus();
    });
    connect(panel_, &StatusPanel::key_released, this, [this](int key) {
        on_key_released(ctx_, key);
        sync_view();
        panel_->update();
    });
    connect(&host_, &QtHost::controller_called, this, &MainWindow::sync_view);
    connect(&host_, &QtHost::close_requested, this, &QWidget::close);
    host_.set_widgets(this, panel_);
    host_.dialogs[DIALOG_ABOUT] = [this] {
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

QAction* MainWindow::add_item(QMenu* menu, const char* text, int command_id) {
    QAction* item = menu->addAction(QString::fromLatin1(text));
    item->setData(command_id);
    connect(item, &QAction::triggered, this, [this, item] { run_command(item->data().toInt()); });
    actions_[command_id] = item;
    return item;
}

QAction* MainWindow::action(int command_id) const {
    if (command_id == CMD_START || command_id == CMD_STOP)
        return start_item_->data().toInt() == command_id ? start_item_ : nullptr;
    auto found = actions_.find(command_id);
    return found == actions_.end() ? nullptr : found->second;
}

MainWindow::~MainWindow() { host_.stop_timers(); }

void MainWindow::start_timers() { host_.start_timers(); }

void MainWindow::run_command(int command_id) {
    on_command(ctx_, command_id);
    sync_view();
}

void MainWindow::sync_view() {
    const StationState& s = ctx_.state;
    const auto& v = s.view;
    bool idle = s.broadcast_state == BS_IDLE;
    start_item_->setData(v.start_item_id);
    start_item_->setText(v.start_item_id == CMD_STOP ? QStringLiteral("&Stop Broadcasting")
                                                     : QStringLiteral("&Start Broadcasting"));
    start_item_->setEnabled(v.start_enabled || !idle);
    actions_[CMD_BUILD_SCRIPT]->setEnabled(v.settings_enabled && v.build_script_enabled);
    for (int id : {CMD_STATION_INFO, CMD_EXIT, CMD_SETTINGS, CMD_EXPERT_SETTINGS})
        actions_[id]->setEnabled(v.settings_enabled);
    button_->setEnabled(v.button_enabled);
    button_->setText(QString::fromLatin1(v.button_text));
    panel_->setCursor(s.hourglass || s.broadcast_state == BS_STOP_REQUESTED ? Qt::WaitCursor
                                                                            : Qt::ArrowCursor);
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
    auto* version = new QLabel(QStringLiteral("2.18"));
    version->setObjectName(QStringLiteral("version"));
    layout->addWidget(version);
    layout->addWidget(new QLabel(QStringLiteral("An internet radio station for one operator.")));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    layout->addWidget(buttons);
    about.exec();
}
