#pragma once
// The Script Builder and the live list editor ("Station Bitmaps"): one
// window over the shared EntryList, opened with the station's default
// script or live list. Saving writes the file, offers it as the default and
// runs the preparation dialogs; closing with changes saves first.

#include <QDialog>
#include <QStringList>

#include "media/entry_list.h"

struct Context;
struct EditorSeams;
class QListWidget;
class QPushButton;

class EntryListEditor : public QDialog {
    Q_OBJECT
public:
    EntryListEditor(Context& ctx, EditorSeams& seams, EntryListKind kind, QWidget* parent);

    const EntryList& model() const { return list_; }
    QListWidget* list() const { return view_; }
    QPushButton* add_button() const { return add_; }
    QPushButton* edit_button() const { return edit_; }
    QPushButton* remove_button() const { return remove_; }
    QPushButton* duplicate_button() const { return duplicate_; }
    QPushButton* load_button() const { return load_; }
    QPushButton* save_button() const { return save_; }
    QPushButton* done_button() const { return done_; }

    void add_entry();
    void edit_entry();
    void remove_entry();
    void duplicate_entry();
    void load_file();
    // Save Script: 1 when the file was written (and then offered as the
    // default and prepared), 0 when the dialog was cancelled or the save failed.
    int save_file();
    // Sound files dropped from the desktop (the Script Builder only).
    void drop_files(const QStringList& paths);
    // "Done", Escape and the close box.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Runs the entry dialog on `entry`; true with the new text on OK.
    bool edit_text(std::string& entry);
    void show_list();

    Context& ctx_;
    EditorSeams& seams_;
    EntryList list_;
    QListWidget* view_;
    QPushButton* add_;
    QPushButton* edit_;
    QPushButton* remove_;
    QPushButton* duplicate_;
    QPushButton* load_;
    QPushButton* save_;
    QPushButton* done_;
};
