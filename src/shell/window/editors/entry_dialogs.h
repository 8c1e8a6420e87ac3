#pragma once
// The "Song Info" dialogs of the two editors: one for a script entry
// (repeat count, song, picture and the text sent while the song plays), one
// for a live-list entry (picture, text of several lines, seconds shown).
// Both take the entry's fields and give them back on OK; fields a dialog
// does not show stay as they came.

#include <QDialog>

#include "media/entry_list.h"

struct Context;
struct EditorSeams;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class SongInfoDialog : public QDialog {
    Q_OBJECT
public:
    SongInfoDialog(Context& ctx, EditorSeams& seams, const EntryFields& fields, QWidget* parent);
    const EntryFields& fields() const { return fields_; }

    QComboBox* repeat() const { return repeat_; }
    QLineEdit* song() const { return song_; }
    QLineEdit* picture() const { return picture_; }
    QPlainTextEdit* text() const { return text_; }
    QPushButton* ok() const { return ok_; }

    // OK: checks the song (an empty one cancels), the picture and the text,
    // and keeps the dialog open after the message of a refusal.
    void confirm();

private:
    Context& ctx_;
    EditorSeams& seams_;
    EntryFields fields_;
    QComboBox* repeat_;
    QLineEdit* song_;
    QLineEdit* picture_;
    QPlainTextEdit* text_;
    QPushButton* ok_;
};

// The title of a live list entry's dialog.
constexpr const char* LIVE_ENTRY_TITLE = "Picture and Text";

class ListEntryDialog : public QDialog {
    Q_OBJECT
public:
    ListEntryDialog(Context& ctx, EditorSeams& seams, const EntryFields& fields, QWidget* parent);
    const EntryFields& fields() const { return fields_; }

    QLineEdit* picture() const { return picture_; }
    QPlainTextEdit* text() const { return text_; }
    QComboBox* duration() const { return duration_; }
    QPushButton* ok() const { return ok_; }

    // OK: checks the picture when one is named and the text's length.
    void confirm();

private:
    Context& ctx_;
    EditorSeams& seams_;
    EntryFields fields_;
    QLineEdit* picture_;
    QPlainTextEdit* text_;
    QComboBox* duration_;
    QPushButton* ok_;
};
