#include "shell/window/editors/preparation_dialogs.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/context.h"
#include "media/wave_conversion.h"
#include "shell/window/editors/editor_seams.h"

namespace {

QString from_local(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }
std::string to_local(const QString& text) { return text.toLocal8Bit().toStdString(); }

QPushButton* button(const char* text, QBoxLayout* row) {
    auto* b = new QPushButton(QString::fromLatin1(text));
    b->setAutoDefault(false);
    row->addWidget(b);
    return b;
}

}  // namespace

SongPreparationDialog::SongPreparationDialog(Context& ctx, EditorSeams& seams, const std::string& script,
                                             QWidget* parent)
    : QDialog(parent), ctx_(ctx), seams_(seams) {
    setWindowTitle(QStringLiteral("Preparing songs for broadcasting"));
    auto* layout = new QVBoxLayout(this);
    list_ = new QListWidget;
    list_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(list_);
    auto* status_row = new QHBoxLayout;
    status_ = new QLabel(QString::fromLatin1(job_.status_text));
    // A text that grows by a digit must not lay the dialog out again.
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    progress_ = new QProgressBar;
    progress_->setRange(0, 100);
    progress_->setValue(0);
    // No percentage before Compress: nothing has been done yet.
    progress_->setTextVisible(false);
    status_row->addWidget(status_, 1);
    status_row->addWidget(progress_);
    layout->addLayout(status_row);
    auto* buttons = new QHBoxLayout;
    add_ = button("&Add", buttons);
    remove_ = button("&Remove", buttons);
    buttons->addStretch();
    compress_ = button("&Compress", buttons);
    cancel_ = button("C&ancel", buttons);
    layout->addLayout(buttons);
    // "&Add" and "&Remove" exist, but stay hidden.
    add_->hide();
    remove_->hide();
    resize(640, 320);

    waiting_ = open_song_job(ctx_, ctx_.codec, ctx_.state, job_, script.c_str());
    for (const SongLine& line : job_.lines) list_->addItem(from_local(song_line_text(line)));

    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &SongPreparationDialog::step);
    connect(compress_, &QPushButton::clicked, this, &SongPreparationDialog::compress);
    connect(cancel_, &QPushButton::clicked, this, &SongPreparationDialog::reject);
    connect(add_, &QPushButton::clicked, this, [this] {
        WaveDialog wave(ctx_, seams_, this);
        if (seams_.run_modal(wave) != QDialog::Accepted) return;
        add_song_line(job_, to_local(wave.source()->text()), to_local(wave.destination()->text()));
        list_->addItem(from_local(song_line_text(job_.lines.back())));
    });
    connect(remove_, &QPushButton::clicked, this, [this] {
        for (int row = list_->count() - 1; row >= 0; --row) {
            if (!list_->item(row)->isSelected()) continue;
            job_.lines.erase(job_.lines.begin() + row);
            delete list_->takeItem(row);
        }
    });
}

SongPreparationDialog::~SongPreparationDialog() {
    timer_.stop();
    if (!ended_) end_song_job(ctx_, ctx_.codec, job_);
}

void SongPreparationDialog::compress() {
    if (!start_song_job(ctx_, ctx_.codec, ctx_.state, job_)) return;
    progress_->setTextVisible(true);
    for (QPushButton* b : {add_, remove_, compress_}) b->setEnabled(false);
    timer_.start(0);
}

void SongPreparationDialog::show_line(int index) {
    if (index >= 0 && index < list_->count())
        list_->item(index)->setText(from_local(song_line_text(job_.lines[static_cast<size_t>(index)])));
}

void SongPreparationDialog::step() {
    const int before = job_.current;
    const int result = song_job_step(ctx_, ctx_.codec, job_);
    // Redrawing after every step would cost the job half its speed again;
    // ten times a second shows the same.
    if (result != SONG_JOB_RUNNING || job_.current != before || !shown_.isValid() ||
        shown_.elapsed() >= kRedrawMs) {
        show_line(before);
        if (job_.current != before) show_line(job_.current);
        status_->setText(QString::fromLatin1(job_.status_text));
        progress_->setValue(job_.percent);
        shown_.start();
    }
    if (result == SONG_JOB_RUNNING) {
        timer_.start(0);
    } else if (result == SONG_JOB_FINISHED) {
        end_song_job(ctx_, ctx_.codec, job_);
        ended_ = true;
        accept();
    }
}

void SongPreparationDialog::reject() {
    // A message box of a step is open: its files are in use.
    if (job_.in_step) return;
    if (!ended_) {
        timer_.stop();  // no step while the question is open
        if (!cancel_song_job(ctx_, ctx_.codec, job_)) {
            timer_.start(0);
            return;
        }
        ended_ = true;
    }
    QDialog::reject();
}

PicturePassDialog::PicturePassDialog(Context& ctx, const std::string& path, bool script_mode, QWidget* parent)
    : QDialog(parent), ctx_(ctx) {
    setWindowTitle(QStringLiteral("Preparing pictures for broadcast"));
    auto* layout = new QVBoxLayout(this);
    picture_ = new QLabel;
    count_ = new QLabel;
    progress_ = new QProgressBar;
    layout->addWidget(picture_);
    layout->addWidget(count_);
    layout->addWidget(progress_);
    resize(420, 120);

    total_ = open_picture_pass(ctx_, pass_, path.c_str(), script_mode);
    progress_->setRange(0, total_ > 0 ? total_ : 1);
    progress_->setValue(0);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &PicturePassDialog::step);
    // The first step runs once the dialog's event loop does.
    if (total_ > 0) timer_.start(0);
}

void PicturePassDialog::step() {
    const int result = picture_pass_step(ctx_, ctx_.pictures, pass_);
    count_->setText(QString::fromLatin1(pass_.count_text));
    QString shown = from_local(pass_.picture);
    if (!pass_.problem.empty()) shown += QStringLiteral(": ") + from_local(pass_.problem);
    picture_->setText(shown);
    progress_->setValue(pass_.done);
    if (result == PICTURE_PASS_RUNNING) timer_.start(0);
    else accept();
}

WaveDialog::WaveDialog(Context& ctx, EditorSeams& seams, QWidget* parent)
    : QDialog(parent), ctx_(ctx), seams_(seams) {
    setWindowTitle(QStringLiteral("Wave"));
    auto* form = new QFormLayout(this);
    auto path_row = [form](const char* label, QLineEdit** edit) {
        auto* row = new QHBoxLayout;
        *edit = new QLineEdit;
        row->addWidget(*edit);
        QPushButton* browse = button("Browse", row);
        form->addRow(QString::fromLatin1(label), row);
        return browse;
    };
    QPushButton* browse_source = path_row("Source:", &source_);
    QPushButton* browse_destination = path_row("Destination:", &destination_);
    auto* row = new QHBoxLayout;
    QPushButton* ok = button("OK", row);
    QPushButton* cancel = button("Cancel", row);
    form->addRow(row);

    connect(browse_source, &QPushButton::clicked, this, [this] {
        take_source(seams_.choose_file(this, {"Open Sample", WAVE_FILTER, false, to_local(source_->text())}));
    });
    connect(browse_destination, &QPushButton::clicked, this, [this] {
        std::string path =
            seams_.choose_file(this, {"Save Sample", "Radio Velmora VMA (*.VMA *.vma)", true, to_local(destination_->text())});
        if (!path.empty()) destination_->setText(from_local(path));
    });
    connect(ok, &QPushButton::clicked, this, [this] {
        if (destination_->text().isEmpty() && !source_->text().isEmpty())
            destination_->setText(from_local(wave_destination_name(to_local(source_->text()))));
        if (!source_->text().isEmpty()) accept();
    });
    connect(cancel, &QPushButton::clicked, this, [this] {
        source_->clear();
        destination_->clear();
        reject();
    });
}

void WaveDialog::take_source(const std::string& path) {
    if (path.empty() || !accept_wave_source(ctx_, ctx_.state, path.c_str())) return;
    source_->setText(from_local(path));
    if (destination_->text().isEmpty()) destination_->setText(from_local(wave_destination_name(path)));
}

void prepare_saved_file(Context& ctx, EditorSeams& seams, const std::string& path, bool script_mode,
                        QWidget* owner) {
    if (script_mode) {
        SongPreparationDialog songs(ctx, seams, path, owner);
        if (songs.waiting() > 0) seams.run_modal(songs);
    }
    PicturePassDialog pictures(ctx, path, script_mode, owner);
    if (pictures.total() > 0) seams.run_modal(pictures);
}
