#include "shell/window/editors/entry_dialogs.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/context.h"
#include "base/messages.h"
#include "media/script_tokens.h"
#include "shell/window/editors/editor_seams.h"

namespace {

QString from_local(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }
std::string to_local(const QString& text) { return text.toLocal8Bit().toStdString(); }

// A path typed with its quotes is the same path.
std::string unquoted(std::string path) {
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') path = path.substr(1, path.size() - 2);
    return path;
}

// An edit with a "Browse" button beside it. The button is never the
// default: a dialog makes its first auto-default button the default, and
// Enter in the edit would then open a file dialog.
QLineEdit* path_row(QFormLayout* form, const char* label, QPushButton** browse) {
    auto* row = new QHBoxLayout;
    auto* edit = new QLineEdit;
    *browse = new QPushButton(QStringLiteral("Browse"));
    (*browse)->setAutoDefault(false);
    row->addWidget(edit);
    row->addWidget(*browse);
    form->addRow(QString::fromLatin1(label), row);
    return edit;
}

// The "Text:" edit: several lines, Tab moves on.
QPlainTextEdit* text_edit(QFormLayout* form, const std::string& text) {
    auto* edit = new QPlainTextEdit;
    edit->setPlainText(from_local(text));
    edit->setTabChangesFocus(true);
    form->addRow(QStringLiteral("Text:"), edit);
    return edit;
}

// OK and Cancel. Enter in an edit only moves the focus to OK, as it always
// did: no button is the default.
QPushButton* ok_cancel(QDialog* dialog, QFormLayout* form) {
    auto* row = new QHBoxLayout;
    auto* ok = new QPushButton(QStringLiteral("OK"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    for (QPushButton* b : {ok, cancel}) {
        b->setAutoDefault(false);
        row->addWidget(b);
    }
    form->addRow(row);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return ok;
}

}  // namespace

SongInfoDialog::SongInfoDialog(Context& ctx, EditorSeams& seams, const EntryFields& fields, QWidget* parent)
    : QDialog(parent), ctx_(ctx), seams_(seams), fields_(fields) {
    setWindowTitle(QStringLiteral("Song Info"));
    auto* form = new QFormLayout(this);
    repeat_ = new QComboBox;
    repeat_->addItem(QStringLiteral("Random"));
    for (int k = 1; k <= 9; ++k) repeat_->addItem(QStringLiteral("%1x").arg(k));
    // A count of 10 or more has no item: nothing is selected, and the count
    // stays unless the operator picks one.
    repeat_->setCurrentIndex(fields.count >= 0 && fields.count <= 9 ? fields.count : -1);
    form->addRow(QStringLiteral("Repeat:"), repeat_);
    QPushButton* browse_song;
    QPushButton* browse_picture;
    song_ = path_row(form, "Song:", &browse_song);
    song_->setText(from_local(fields.song));
    picture_ = path_row(form, "Picture:", &browse_picture);
    picture_->setText(from_local(fields.picture));
    text_ = text_edit(form, fields.text);
    ok_ = ok_cancel(this, form);

    connect(browse_song, &QPushButton::clicked, this, [this] {
        std::string path = seams_.choose_file(this, {"Open Sample", SAMPLE_FILTER, false, to_local(song_->text())});
        if (!path.empty() && accept_song_file(ctx_, ctx_.state, path)) song_->setText(from_local(path));
    });
    connect(browse_picture, &QPushButton::clicked, this, [this] {
        std::string path =
            seams_.choose_file(this, {"Open Bitmap", BITMAP_FILTER, false, to_local(picture_->text())});
        if (!path.empty() && accept_picture_file(ctx_, path)) picture_->setText(from_local(path));
    });
    for (QLineEdit* edit : {song_, picture_})
        connect(edit, &QLineEdit::returnPressed, ok_, [this] { ok_->setFocus(); });
    connect(ok_, &QPushButton::clicked, this, &SongInfoDialog::confirm);
}

void SongInfoDialog::confirm() {
    const std::string song = unquoted(to_local(song_->text().trimmed()));
    if (song.empty()) {
        reject();
        return;
    }
    const std::string picture = unquoted(to_local(picture_->text().trimmed()));
    const std::string text = to_local(text_->toPlainText());
    if (!accept_song_file(ctx_, ctx_.state, song)) return;
    if (!picture.empty() && !accept_picture_file(ctx_, picture)) return;
    if (!accept_entry_text(ctx_, text)) return;
    if (repeat_->currentIndex() >= 0) fields_.count = repeat_->currentIndex();
    fields_.song = song;
    fields_.picture = picture;
    fields_.text = text;
    accept();
}

ListEntryDialog::ListEntryDialog(Context& ctx, EditorSeams& seams, const EntryFields& fields, QWidget* parent)
    : QDialog(parent), ctx_(ctx), seams_(seams), fields_(fields) {
    // A live entry is a picture and a text shown for a time: no song.
    setWindowTitle(QString::fromLatin1(LIVE_ENTRY_TITLE));
    auto* form = new QFormLayout(this);
    QPushButton* browse;
    picture_ = path_row(form, "Bitmap:", &browse);
    picture_->setText(from_local(fields.picture));
    text_ = text_edit(form, fields.text);
    duration_ = new QComboBox;
    duration_->setEditable(true);
    for (int seconds = 60; seconds <= 540; seconds += 60) duration_->addItem(QStringLiteral("%1 seconds").arg(seconds));
    duration_->setCurrentText(QStringLiteral("%1 seconds").arg(fields.count));
    form->addRow(QStringLiteral("Duration:"), duration_);
    ok_ = ok_cancel(this, form);

    connect(browse, &QPushButton::clicked, this, [this] {
        std::string path =
            seams_.choose_file(this, {"Open Bitmap", BITMAP_FILTER, false, to_local(picture_->text())});
        if (!path.empty() && accept_picture_file(ctx_, path)) picture_->setText(from_local(path));
    });
    connect(picture_, &QLineEdit::returnPressed, ok_, [this] { ok_->setFocus(); });
    connect(ok_, &QPushButton::clicked, this, &ListEntryDialog::confirm);
}

void ListEntryDialog::confirm() {
    const std::string picture = unquoted(to_local(picture_->text().trimmed()));
    if (!picture.empty() && !accept_picture_file(ctx_, picture)) return;
    const std::string text = to_local(text_->toPlainText());
    if (!accept_entry_text(ctx_, text)) return;
    fields_.count = script_number(to_local(duration_->currentText()).c_str());
    fields_.picture = picture;
    fields_.text = text;
    accept();
}
