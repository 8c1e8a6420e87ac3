#pragma once
// velmora-tuner's window: a listener with a face. A station is chosen by
// address or station-list file (typed, opened, dropped or given on the
// command line); Play joins it through the listener core and plays it,
// showing its name and location, the song text, the picture as its tiles
// arrive, a level meter and a status line. All work happens in short steps
// of the one event loop: a step reads what arrived, decodes at most what
// the player needs, and draws only the tiles that came.

#include <QImage>
#include <QMainWindow>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

#include "listener/listener.h"
#include "listener/station_address.h"
#include "shell/listen/audio_player.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSlider;
class QSocketNotifier;

// The status line: buffer fill against the mark (left out when
// `buffered_ms` is -1: nothing plays), then the datagrams lost and
// recovered, e.g. "Buffer 1.4 of 1.5 s | lost 3, recovered 12 of 15 gaps, 0 late".
std::string tuner_status_text(int buffered_ms, int mark_ms, const JitterBuffer& audio, bool playing);

// The picture as its tiles arrive, scaled to fit, grey where tiles are missing.
class PictureView : public QWidget {
public:
    explicit PictureView(QWidget* parent = nullptr);
    void set_grid(int columns, int rows);
    // Copies tile (column, row) from a picture in BMP row order (bottom row first).
    void put_tile(const ListenerPicture& picture, int column, int row);
    const QImage& image() const { return image_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
};

class TunerWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit TunerWindow(QWidget* parent = nullptr);
    ~TunerWindow() override;

    // Takes an address ("127.0.0.1:3456") or the path of a ".vsl" file. False
    // with the cause in the status line.
    bool open_station(const QString& text);
    void play();
    void stop();
    bool playing() const { return listener_.socket.is_open(); }

    // What the widgets show, for tests.
    QString station_text() const;
    QString song_text() const;
    QString status_text() const;
    int level() const;
    const PictureView& picture() const { return *picture_; }
    const Listener& listener() const { return listener_; }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void step();
    void take_notes();
    void show_status(const QString& text);
    void choose_file();

    QComboBox* station_ = nullptr;
    QPushButton* play_button_ = nullptr;
    QSlider* volume_ = nullptr;
    QProgressBar* meter_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* location_ = nullptr;
    QLabel* song_ = nullptr;
    QLabel* status_ = nullptr;
    PictureView* picture_ = nullptr;

    StationEntry entry_;
    QString entry_text_;  // as remembered
    Listener listener_;
    AudioPlayer player_;
    QAudioDevice device_;
    bool have_device_ = false;
    QString problem_;  // shown before the counts while it lasts
    std::unique_ptr<QSocketNotifier> readable_;
    QTimer timer_;
};
