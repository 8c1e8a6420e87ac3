#include "shell/window/editors/entry_list_editor.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/context.h"
#include "app/settings.h"
#include "base/messages.h"
#include "shell/window/editors/editor_seams.h"
#include "shell/window/editors/entry_dialogs.h"
#include "shell/window/editors/preparation_dialogs.h"

namespace {

QString from_local(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

QPushButton* button(const char* text, QBoxLayout* column) {
    auto* b = new QPushButton(QString::fromLatin1(text));
    b->setAutoDefault(false);
    column->addWidget(b);
    return b;
}

}  // namespace

EntryListEditor::EntryListEditor(Context& ctx, EditorSeams& seams, EntryListKind kind, QWidget* parent)
    : QDialog(parent), ctx_(ctx), seams_(seams) {
    list_.kind = kind;
    const bool script = kind == SCRIPT_LIST;
    setWindowTitle(script ? QStringLiteral("Script Builder") : QStringLiteral("Station Bitmaps"));
    auto* layout = new QHBoxLayout(this);
    view_ = new QListWidget;
    view_->setMinimumSize(420, 260);
    layout->addWidget(view_, 1);
    auto* column = new QVBoxLayout;
    add_ = button(script ? "Add Sample" : "Add Bitmap", column);
    edit_ = button(script ? "Edit Sample" : "Edit Bitmap", column);
    remove_ = button(script ? "Remove Sample" : "Delete Bitmap", column);  // one entry
    duplicate_ = button("Duplicate", column);
    column->addSpacing(12);
    load_ = button("Load Script", column);
    save_ = button("Save Script", column);
    column->addStretch();
    done_ = button("Done", column);
    layout->addLayout(column);
    setAcceptDrops(script);

    connect(add_, &QPushButton::clicked, this, &EntryListEditor::add_entry);
    connect(edit_, &QPushButton::clicked, this, &EntryListEditor::edit_entry);
    connect(view_, &QListWidget::itemDoubleClicked, this, &EntryListEditor::edit_entry);
    connect(remove_, &QPushButton::clicked, this, &EntryListEditor::remove_entry);
    connect(duplicate_, &QPushButton::clicked, this, &EntryListEditor::duplicate_entry);
    connect(load_, &QPushButton::clicked, this, &EntryListEditor::load_file);
    connect(save_, &QPushButton::clicked, this, &EntryListEditor::save_file);
    connect(done_, &QPushButton::clicked, this, &EntryListEditor::reject);
    connect(view_, &QListWidget::currentRowChanged, this, [this](int row) { list_.selected = row; });

    // The station's default file, when there is one; else an empty list.
    const std::string& current = script ? ctx_.state.StationScript : ctx_.state.LiveScript;
    if (!current.empty()) {
        seams_.script_file = current;
        read_entry_file(ctx_, list_, current.c_str());
    }
    show_list();
    setFocus();
}

void EntryListEditor::show_list() {
    QSignalBlocker quiet(view_);
    view_->clear();
    for (const std::string& entry : list_.entries) view_->addItem(from_local(entry));
    view_->setCurrentRow(list_.selected);
}

bool EntryListEditor::edit_text(std::string& entry) {
    const EntryFields fields = split_entry(list_.kind, entry);
    if (list_.kind == SCRIPT_LIST) {
        SongInfoDialog dialog(ctx_, seams_, fields, this);
        if (seams_.run_modal(dialog) != QDialog::Accepted) return false;
        entry = format_entry(list_.kind, dialog.fields());
    } else {
        ListEntryDialog dialog(ctx_, seams_, fields, this);
        if (seams_.run_modal(dialog) != QDialog::Accepted) return false;
        entry = format_entry(list_.kind, dialog.fields());
    }
    return true;
}

void EntryListEditor::add_entry() {
    std::string entry = list_.kind == SCRIPT_LIST ? NEW_SCRIPT_ENTRY : NEW_LIVE_ENTRY;
    if (!edit_text(entry)) return;
    insert_entry(list_, insert_position(ctx_, list_), entry);
    show_list();
    view_->setFocus();
}

void EntryListEditor::edit_entry() {
    if (list_.selected < 0 || list_.selected >= static_cast<int>(list_.entries.size())) return;
    std::string entry = list_.entries[static_cast<size_t>(list_.selected)];
    if (!edit_text(entry)) return;
    replace_selected(list_, entry);
    show_list();
}

void EntryListEditor::remove_entry() {
    remove_selected(list_);
    show_list();
}

void EntryListEditor::duplicate_entry() {
    duplicate_selected(list_);
    show_list();
}

void EntryListEditor::load_file() {
    if (!list_.entries.empty() &&
        show_message(ctx_, true, Buttons::yes_no, "%s", LOAD_QUESTION) != Answer::yes)
        return;
    const std::string path = seams_.choose_file(this, {"Open Script", SCRIPT_FILTER, false, seams_.script_file});
    if (path.empty()) return;
    seams_.script_file = path;
    read_entry_file(ctx_, list_, path.c_str());
    show_list();
}

int EntryListEditor::save_file() {
    const std::string path = seams_.choose_file(this, {"Save Script", SCRIPT_FILTER, true, seams_.script_file});
    if (path.empty()) return 0;
    if (!save_entry_file(ctx_, ctx_.state, list_, path)) return 0;
    seams_.script_file = path;
    offer_as_default(ctx_, list_.kind, path);
    prepare_saved_file(ctx_, seams_, path, list_.kind == SCRIPT_LIST, this);
    return 1;
}

void EntryListEditor::drop_files(const QStringList& paths) {
    if (list_.kind != SCRIPT_LIST) return;
    std::vector<std::string> names;
    for (const QString& path : paths) names.push_back(path.toLocal8Bit().toStdString());
    if (drop_sound_files(ctx_, ctx_.state, list_, names) > 0) show_list();
}

void EntryListEditor::reject() {
    switch (close_decision(ctx_, list_)) {
        case CLOSE_STAY: return;
        case CLOSE_DISCARD: done(0); return;
        case CLOSE_AFTER_SAVE:
            if (save_file()) done(1);
            return;
        default: done(1); return;
    }
}

void EntryListEditor::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Insert: add_entry(); return;
        case Qt::Key_Delete: remove_entry(); return;
        default: QDialog::keyPressEvent(event);
    }
}

void EntryListEditor::dragEnterEvent(QDragEnterEvent* event) {
    if (list_.kind == SCRIPT_LIST && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void EntryListEditor::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    drop_files(paths);
    event->acceptProposedAction();
}
