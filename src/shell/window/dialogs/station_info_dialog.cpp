#include "shell/window/dialogs/station_info_dialog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/context.h"
#include "app/settings_dialogs.h"
#include "shell/window/dialogs/dialog_parts.h"
#include "shell/window/window_host.h"
#include "web/directory.h"

StationInfoDialog::StationInfoDialog(Context& ctx, QWidget* parent) : QDialog(parent), ctx_(ctx) {
    setWindowTitle(QStringLiteral("Station Information"));
    StationInfo info = station_info_view(ctx_.state);
    name = limited_edit(info.name, STATION_FIELD_MAX);
    location = limited_edit(info.location, STATION_FIELD_MAX);
    email = limited_edit(info.email, STATION_FIELD_MAX);
    url = limited_edit(info.url, STATION_FIELD_MAX);
    category = new QComboBox;
    category->addItem(QString::fromStdString(info.category));
    category->setMinimumWidth(260);
    description = new QPlainTextEdit(QString::fromStdString(info.description));
    description->setFixedHeight(90);
    // Tab moves on to OK: a description holds no tab characters.
    description->setTabChangesFocus(true);
    // The edit holds 750 characters: what goes past them is taken back at once.
    connect(description, &QPlainTextEdit::textChanged, this, [this] {
        QString text = description->toPlainText();
        if (text.size() <= STATION_DESCRIPTION_MAX) return;
        QTextCursor cursor = description->textCursor();
        int at = std::min<int>(cursor.position(), STATION_DESCRIPTION_MAX);
        description->setPlainText(text.left(STATION_DESCRIPTION_MAX));
        cursor = description->textCursor();
        cursor.setPosition(at);
        description->setTextCursor(cursor);
    });

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Station Name:"), name);
    form->addRow(QStringLiteral("Location:"), location);
    form->addRow(QStringLiteral("Category:"), category);
    // The note's room is there from the start: grown once on screen, the
    // dialog could keep its old height under a window manager, and OK and
    // Cancel would be drawn over the description.
    category_note = new QLabel(QStringLiteral("Asking the directory for its categories..."));
    category_note->setWordWrap(true);
    category_note->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    category_note->setMinimumHeight(4 * category_note->fontMetrics().lineSpacing());
    form->addRow(QString(), category_note);
    form->addRow(QStringLiteral("Email address:\n(e.g. dj@example.com)"), email);
    form->addRow(QStringLiteral("World Wide Web URL:\n(e.g. http://www.example.com/)"), url);
    form->addRow(QStringLiteral("Short Description: "), description);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(ok_cancel_row(this, &ok, &cancel));

    connect(ok, &QPushButton::clicked, this, &StationInfoDialog::press_ok);
    // The fetch waits until the dialog is on screen: its request runs in a
    // nested event loop that keeps the dialog painted.
    QTimer::singleShot(0, this, &StationInfoDialog::fetch_categories_once);
}

void StationInfoDialog::fetch_categories_once() {
    CategoryList list;
    int result = fetch_categories(ctx_, ctx_.web, list);
    CategoryChoice choice = category_choice(result, list.paths, ctx_.state.StationCategory);
    category->clear();
    for (const std::string& path : choice.items) category->addItem(QString::fromStdString(path));
    category->setCurrentIndex(choice.selected);
    const std::string note =
        category_fetch_note(result, list.paths.size(), ctx_.state.CATEGORIES_URL,
                            http_failure_cause(ctx_.web.exchange));
    category->setEditable(!note.empty());
    category_note->setText(QString::fromStdString(note));
    // Hidden, the note gives its room back; the dialog only ever shrinks.
    category_note->setVisible(!note.empty());
    adjustSize();
    fetched_ = true;
}

void StationInfoDialog::press_ok() {
    StationInfo info;
    info.name = name->text().toStdString();
    info.location = location->text().toStdString();
    info.category = category->count() > 0 ? category->currentText().toStdString() : "";
    info.email = email->text().toStdString();
    info.url = url->text().toStdString();
    info.description = description->toPlainText().toStdString();
    if (station_info_ok(ctx_, info)) accept();
}

int run_station_info_dialog(Context& ctx, WindowHost& host, QWidget* owner) {
    StationInfoDialog dialog(ctx, owner);
    return host.exec_dialog(dialog) == QDialog::Accepted ? 1 : 0;
}
