#include "shell/window/window_host.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

#include "app/controller.h"
#include "app/station_state.h"
#include "base/messages.h"
#include "shell/window/dialogs/proxy_dialog.h"

void WindowHost::set_widgets(QWidget* main_window, QWidget* panel) {
    main_window_ = main_window;
    panel_ = panel;
}

void WindowHost::notice(const char* text) {
    QtHost::notice(text);  // the line on standard output, as for capture
    if (box_answers) {
        box_answers(text, Buttons::ok | Icon::warning);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, QString::fromLocal8Bit(PROGRAM_TITLE),
                                QString::fromLocal8Bit(text), QMessageBox::Ok, main_window_.data());
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

Answer WindowHost::message_box(const char* text, const char* caption, BoxStyle style, bool owned) {
    if (box_answers) return box_answers(text, style);
    QMessageBox box(owned ? main_window_.data() : nullptr);
    box.setWindowTitle(QString::fromLocal8Bit(caption));
    box.setText(QString::fromLocal8Bit(text));
    box.setTextFormat(Qt::PlainText);
    switch (style.icon) {
        case Icon::error: box.setIcon(QMessageBox::Critical); break;
        case Icon::question: box.setIcon(QMessageBox::Question); break;
        case Icon::warning: box.setIcon(QMessageBox::Warning); break;
        case Icon::information: box.setIcon(QMessageBox::Information); break;
        case Icon::none: box.setIcon(QMessageBox::NoIcon); break;
    }
    // Escape and the close box give the last answer: Cancel or No.
    struct Choice {
        QMessageBox::StandardButton button;
        Answer answer;
    };
    std::vector<Choice> choices;
    switch (style.buttons) {
        case Buttons::ok: choices = {{QMessageBox::Ok, Answer::ok}}; break;
        case Buttons::ok_cancel:
            choices = {{QMessageBox::Ok, Answer::ok}, {QMessageBox::Cancel, Answer::cancel}};
            break;
        case Buttons::yes_no:
            choices = {{QMessageBox::Yes, Answer::yes}, {QMessageBox::No, Answer::no}};
            break;
        case Buttons::yes_no_cancel:
            choices = {{QMessageBox::Yes, Answer::yes},
                       {QMessageBox::No, Answer::no},
                       {QMessageBox::Cancel, Answer::cancel}};
            break;
    }
    QMessageBox::StandardButtons buttons;
    for (const Choice& c : choices) buttons |= c.button;
    box.setStandardButtons(buttons);
    box.setDefaultButton(choices.front().button);
    box.setEscapeButton(choices.back().button);
    if (style.system_modal) box.setWindowModality(Qt::ApplicationModal);
    auto pressed = static_cast<QMessageBox::StandardButton>(box.exec());
    for (const Choice& c : choices)
        if (c.button == pressed) return c.answer;
    return choices.back().answer;
}

void WindowHost::invalidate(bool all) {
    if (!panel_) return;
    if (all) {
        panel_->update();
        return;
    }
    // The three strips that change every tick: meter, clock, elapsed time.
    int w = panel_->width();
    panel_->update(0, 150, w, 20);
    panel_->update(125, 60, w - 125, 20);
    panel_->update(375, 117, w - 375, 18);
}

int WindowHost::run_dialog(Dialog dialog) {
    auto found = dialogs.find(dialog);
    return found == dialogs.end() ? 0 : found->second();
}

int WindowHost::exec_dialog(QDialog& dialog) {
    if (!dialog_driver) return dialog.exec();
    dialog.setResult(QDialog::Rejected);
    dialog.show();
    dialog_driver(dialog);
    if (dialog.isVisible()) dialog.reject();
    return dialog.result();
}

QString filter_suffix(const char* filter) {
    static const QRegularExpression pattern(QStringLiteral("\\*\\.([A-Za-z0-9]+)"));
    QRegularExpressionMatch match = pattern.match(QString::fromLatin1(filter ? filter : ""));
    return match.hasMatch() ? match.captured(1) : QString();
}

std::string ask_for_file(QWidget* owner, const FileQuestion& question,
                         const std::function<int(QDialog&)>& run) {
    // A pattern such as "*.VSK" only says where to start: no file is named.
    QString start = QString::fromLocal8Bit(question.start.c_str());
    if (start.contains(QLatin1Char('*'))) start = QFileInfo(start).path();
    QFileDialog dialog(owner, QString::fromLatin1(question.title), start,
                       QString::fromLatin1(question.filter));
    dialog.setAcceptMode(question.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    // "show" typed in "Save Script" becomes "show.VSK", which "Open Script" then finds.
    dialog.setDefaultSuffix(filter_suffix(question.filter));
    dialog.setFileMode(question.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (run(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first().toLocal8Bit().toStdString();
}

std::string WindowHost::choose_file(QWidget* owner, const FileQuestion& question) {
    return ask_for_file(owner, question, [this](QDialog& dialog) { return exec_dialog(dialog); });
}

int WindowHost::proxy_dialog(bool reauthenticate) {
    if (!ctx_) return 0;
    return run_proxy_dialog(*ctx_, main_window_.data(), reauthenticate);
}

int WindowHost::run_proxy_dialog(Context& ctx, QWidget* owner, bool reauthenticate) {
    ProxyDialog dialog(ctx, reauthenticate, owner);
    return exec_dialog(dialog) == QDialog::Accepted ? 1 : 0;
}
