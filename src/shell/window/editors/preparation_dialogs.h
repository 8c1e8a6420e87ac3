#pragma once
// The preparation dialogs that follow a save: "Preparing songs for
// broadcasting" compresses the WAV songs of a script, one super-block per
// step; "Preparing pictures for broadcast" prepares the pictures of a
// script or live list, one entry per step; the "Wave" dialog picks one
// source and its destination.
//
// Steps run on a single-shot 0 ms timer armed again after each step, so the
// window repaints and answers between steps, and nothing runs on while a
// step's message box is open.

#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <string>

#include "media/picture_pass.h"
#include "media/sample_compression.h"

struct Context;
struct EditorSeams;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

class SongPreparationDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int kRedrawMs = 100;
    SongPreparationDialog(Context& ctx, EditorSeams& seams, const std::string& script, QWidget* parent);
    ~SongPreparationDialog() override;

    // Lines waiting to be compressed when the dialog opened; 0 or less: it
    // has nothing to do (or could not read the script) and is not shown.
    int waiting() const { return waiting_; }
    const SongJob& job() const { return job_; }
    QListWidget* list() const { return list_; }
    QLabel* status() const { return status_; }
    QProgressBar* progress() const { return progress_; }
    QPushButton* compress_button() const { return compress_; }
    QPushButton* cancel_button() const { return cancel_; }

    // "&Compress": starts the job and its steps.
    void compress();
    // "C&ancel" (also Escape and the close box): asks while compressing.
    void reject() override;

private:
    void step();
    void show_line(int index);

    Context& ctx_;
    EditorSeams& seams_;
    SongJob job_;
    int waiting_ = 0;
    bool ended_ = false;
    QTimer timer_;
    QElapsedTimer shown_;  // since the view last showed the job
    QListWidget* list_;
    QLabel* status_;
    QProgressBar* progress_;
    QPushButton* compress_;
    QPushButton* cancel_;
    QPushButton* add_;
    QPushButton* remove_;
};

class PicturePassDialog : public QDialog {
    Q_OBJECT
public:
    PicturePassDialog(Context& ctx, const std::string& path, bool script_mode, QWidget* parent);

    // Entries to handle; 0: nothing to do, the dialog is not shown.
    int total() const { return total_; }
    const PicturePass& pass() const { return pass_; }
    QLabel* picture_label() const { return picture_; }
    QLabel* count_label() const { return count_; }

    // Escape and the close box wait for the pass: it takes a moment per
    // picture, and only its end gives the station's own picture back.
    void reject() override {}

private:
    void step();

    Context& ctx_;
    PicturePass pass_;
    int total_ = 0;
    QTimer timer_;
    QLabel* picture_;
    QLabel* count_;
    QProgressBar* progress_;
};

// The "Wave" dialog: a source WAV and the sample file it becomes.
class WaveDialog : public QDialog {
    Q_OBJECT
public:
    WaveDialog(Context& ctx, EditorSeams& seams, QWidget* parent);
    QLineEdit* source() const { return source_; }
    QLineEdit* destination() const { return destination_; }
    // Takes a picked source: checked, and the destination proposed when empty.
    void take_source(const std::string& path);

private:
    Context& ctx_;
    EditorSeams& seams_;
    QLineEdit* source_;
    QLineEdit* destination_;
};

// Runs the song preparation and then the picture pass for a saved script,
// or the picture pass alone for a live list (both owned by `owner`).
void prepare_saved_file(Context& ctx, EditorSeams& seams, const std::string& path, bool script_mode,
                        QWidget* owner);
