#include "shell/tuner/tuner_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QVBoxLayout>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/safe_files.h"

namespace {

constexpr int kStepMs = 20;
// A station-list file is a few lines; anything longer is not one.
constexpr qint64 kLongestStationList = 64 * 1024;

// The text of a station-list file: only a regular file is read (a pipe
// would block the window, a device never ends), and only a few lines of it.
bool read_station_list(const QString& path, std::string* text, std::string* error) {
    const std::string name = path.toStdString();
    FILE* file = open_regular_file(name.c_str(), error);
    if (!file) {
        *error = name + ": " + *error;
        return false;
    }
    text->resize(kLongestStationList + 1);
    const size_t got = fread(text->data(), 1, text->size(), file);
    const bool failed = ferror(file);
    fclose(file);
    text->resize(got);
    if (failed)
        *error = name + ": cannot be read";
    else if (got > kLongestStationList)
        *error = name + ": too long for a station-list file";
    return !failed && got <= kLongestStationList;
}

QStringList recent_stations() { return QSettings().value("recent").toStringList(); }

void save_recent(const QString& entry) {
    std::vector<std::string> recent;
    for (const QString& s : recent_stations()) recent.push_back(s.toStdString());
    remember_station(recent, entry.toStdString());
    QStringList list;
    for (const std::string& s : recent) list << QString::fromStdString(s);
    QSettings().setValue("recent", list);
}

}  // namespace

std::string tuner_status_text(int buffered_ms, int mark_ms, const JitterBuffer& audio, bool playing) {
    char text[160];
    int n = 0;
    if (buffered_ms >= 0)
        n = snprintf(text, sizeof text, "%s %.1f of %.1f s | ", playing ? "Buffer" : "Filling",
                     buffered_ms / 1000.0, mark_ms / 1000.0);
    snprintf(text + n, sizeof text - size_t(n), "lost %d, recovered %d of %d gaps, %d late", audio.lost,
             audio.recovered, audio.gaps, audio.late);
    return text;
}

PictureView::PictureView(QWidget* parent) : QWidget(parent) {
    setMinimumSize(256, 192);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void PictureView::set_grid(int columns, int rows) {
    image_ = QImage(columns * 32, rows * 32, QImage::Format_RGB888);
    image_.fill(QColor(128, 128, 128));
    update();
}

void PictureView::put_tile(const ListenerPicture& picture, int column, int row) {
    // A note may name a tile of a picture that was replaced since.
    if (column < 0 || row < 0 || column >= picture.columns || row >= picture.rows ||
        picture.pixels.size() != static_cast<size_t>(picture.columns) * 96 * static_cast<size_t>(picture.rows) * 32)
        return;
    if (image_.width() != picture.columns * 32 || image_.height() != picture.rows * 32)
        set_grid(picture.columns, picture.rows);
    const size_t stride = static_cast<size_t>(picture.columns) * 96;
    const int height = image_.height();
    for (int y = 0; y < 32; ++y) {
        const int stored = row * 32 + y;  // counted from the bottom
        const uint8_t* bgr = &picture.pixels[static_cast<size_t>(stored) * stride + static_cast<size_t>(column) * 96];
        uchar* rgb = image_.scanLine(height - 1 - stored) + column * 96;
        for (int x = 0; x < 32; ++x) {
            rgb[3 * x] = bgr[3 * x + 2];
            rgb[3 * x + 1] = bgr[3 * x + 1];
            rgb[3 * x + 2] = bgr[3 * x];
        }
    }
    update();
}

void PictureView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(40, 40, 48));
    if (image_.isNull()) return;
    QSize size = image_.size().scaled(this->size(), Qt::KeepAspectRatio);
    QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    painter.drawImage(target, image_);
}

TunerWindow::TunerWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle("Velmora Tuner");
    setAcceptDrops(true);
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    auto* top = new QHBoxLayout;
    station_ = new QComboBox;
    station_->setEditable(true);
    station_->setInsertPolicy(QComboBox::NoInsert);
    station_->addItems(recent_stations());
    station_->setToolTip("A station's address (127.0.0.1:3456) or station-list file (.vsl)");
    station_->setMinimumWidth(260);
    auto* open_button = new QPushButton("Open…");
    play_button_ = new QPushButton("Play");
    play_button_->setDefault(true);
    top->addWidget(station_, 1);
    top->addWidget(open_button);
    top->addWidget(play_button_);
    layout->addLayout(top);

    auto* middle = new QHBoxLayout;
    picture_ = new PictureView;
    middle->addWidget(picture_, 1);
    auto* side = new QVBoxLayout;
    name_ = new QLabel("No station");
    QFont bold = name_->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    name_->setFont(bold);
    name_->setWordWrap(true);
    // Names and texts come from the station: shown as they are, never as markup.
    name_->setTextFormat(Qt::PlainText);
    location_ = new QLabel;
    location_->setWordWrap(true);
    location_->setTextFormat(Qt::PlainText);
    song_ = new QLabel;
    song_->setTextFormat(Qt::PlainText);
    song_->setWordWrap(true);
    song_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    side->addWidget(name_);
    side->addWidget(location_);
    side->addWidget(song_, 1);
    auto* volume_row = new QHBoxLayout;
    volume_row->addWidget(new QLabel("Volume"));
    volume_ = new QSlider(Qt::Horizontal);
    volume_->setRange(0, 100);
    volume_->setValue(QSettings().value("volume", 80).toInt());
    volume_row->addWidget(volume_);
    side->addLayout(volume_row);
    meter_ = new QProgressBar;
    meter_->setRange(0, 100);
    meter_->setTextVisible(false);
    meter_->setMaximumHeight(12);
    side->addWidget(meter_);
    auto* side_widget = new QWidget;
    side_widget->setLayout(side);
    side_widget->setFixedWidth(220);
    middle->addWidget(side_widget);
    layout->addLayout(middle, 1);
    setCentralWidget(central);
    status_ = new QLabel("Choose a station and press Play");
    status_->setTextFormat(Qt::PlainText);
    statusBar()->addWidget(status_, 1);
    resize(560, 340);

    connect(play_button_, &QPushButton::clicked, this, [this] {
        if (playing()) stop();
        else if (open_station(station_->currentText())) play();
    });
    // Enter in the address box switches to the station typed, playing or not.
    connect(station_->lineEdit(), &QLineEdit::returnPressed, this, [this] {
        if (open_station(station_->currentText())) play();
    });
    connect(open_button, &QPushButton::clicked, this, [this] { choose_file(); });
    connect(volume_, &QSlider::valueChanged, this, [this](int value) {
        player_.set_volume(value / 100.0);
        QSettings().setValue("volume", value);
    });
    connect(&timer_, &QTimer::timeout, this, [this] { step(); });
    timer_.setTimerType(Qt::PreciseTimer);
}

TunerWindow::~TunerWindow() { stop(); }

bool TunerWindow::open_station(const QString& text) {
    const QString trimmed = text.trimmed();
    StationEntry entry;
    std::string error;
    bool ok = false;
    if (trimmed.endsWith(".vsl", Qt::CaseInsensitive) || QFile::exists(trimmed)) {
        std::string list;
        if (read_station_list(trimmed, &list, &error)) {
            ok = parse_station_list(list, &entry, &error);
            if (!ok) error = trimmed.toStdString() + ": " + error;
        }
    } else {
        ok = parse_station_address(trimmed.toStdString(), &entry, &error);
    }
    if (!ok) {
        show_status(QString::fromStdString(error));
        return false;
    }
    stop();
    entry_ = entry;
    entry_text_ = trimmed;
    name_->setText(entry.name.empty() ? QString::fromStdString(station_address_text(entry))
                                      : QString::fromStdString(entry.name));
    location_->setText(QString::fromStdString(!entry.location.empty() ? entry.location : entry.category));
    song_->clear();
    save_recent(trimmed);
    station_->clear();
    station_->addItems(recent_stations());
    station_->setCurrentText(trimmed);
    return true;
}

void TunerWindow::play() {
    stop();
    ListenerConfig config;
    config.station = entry_.address;
    config.local.sin_family = AF_INET;  // any address, any port
    config.fetch_pictures = true;
    std::string error;
    if (!listener_open(listener_, config, monotonic_ms(), &error)) {
        show_status(QString::fromStdString(error));
        return;
    }
    QString audio_error;
    have_device_ = find_audio_output("", &device_, &audio_error);
    // Without sound the station is still shown; the cause stays on the status line.
    problem_ = have_device_ ? QString() : "No sound (" + audio_error.section(": ", 1) + ")";
    readable_ = std::make_unique<QSocketNotifier>(listener_.socket.fd(), QSocketNotifier::Read);
    connect(readable_.get(), &QSocketNotifier::activated, this, [this] { step(); });
    timer_.start(kStepMs);
    play_button_->setText("Stop");
    show_status("Joining " + QString::fromStdString(station_address_text(entry_)) + "…");
}

void TunerWindow::stop() {
    timer_.stop();
    readable_.reset();
    player_.stop();
    listener_close(listener_);
    listener_.finished_pictures.clear();
    meter_->setValue(0);
    play_button_->setText("Play");
}

void TunerWindow::step() {
    if (!playing()) return;
    listener_poll(listener_, monotonic_ms());
    take_notes();
    if (!playing()) return;
    if (player_.running()) {
        player_.feed(listener_, nullptr);
        if (!player_.error_text().isEmpty()) {
            problem_ = "audio output " + device_.description() + ": " + player_.error_text();
            player_.stop();
            have_device_ = false;
        }
    } else {
        // Without sound the audio is decoded and let go, so the buffer stays small.
        std::vector<uint8_t> unused;
        const bool due = jitter_pending_frames(listener_.audio) >= int(kStationResendStore + 8);
        while (listener_decode(listener_, due, unused) > 0) unused.clear();
    }
    meter_->setValue(player_.running() ? player_.playout().peak * 100 / 32767 : 0);
    if (!listener_.admitted && monotonic_ms() - listener_.opened_ms >= kListenerNoAnswerMs) {
        // The listener core keeps asking once a second; the station may yet come on the air.
        status_->setText("No answer from " + QString::fromStdString(station_address_text(entry_)) +
                         ": no station is on the air there. Still trying…");
    } else if (listener_.admitted) {
        const Playout& p = player_.playout();
        const int buffered = player_.running() ? playout_buffered_ms(p) + listener_pending_ms(listener_) : -1;
        QString counts = QString::fromStdString(
            tuner_status_text(buffered, listener_.config.buffer_ms, listener_.audio, p.playing));
        status_->setText(problem_.isEmpty() ? counts : problem_ + " | " + counts);
    }
}

void TunerWindow::take_notes() {
    for (const ListenerNote& n : listener_.notes) {
        switch (n.kind) {
        case kNoteJoined:
            name_->setText(QString::fromStdString(n.text));
            song_->setText(QString::fromStdString(n.song));
            if (have_device_ && (!player_.running() || player_.station_rate() != listener_.sampling_rate)) {
                QString error;
                if (!player_.start(device_, listener_.sampling_rate, listener_.config.buffer_ms, &error)) {
                    problem_ = error;
                    have_device_ = false;
                }
                player_.set_volume(volume_->value() / 100.0);
            }
            break;
        case kNoteSongText:
            song_->setText(QString::fromStdString(n.text));
            break;
        case kNotePictureTile:
            picture_->put_tile(listener_.picture, n.column, n.row);
            break;
        case kNotePictureAnnounced:
        case kNotePictureDone:
        case kNoteRestarted:
            break;
        case kNoteRefused:
            problem_ = "Refused by the station: " + QString::fromStdString(n.text);
            show_status(problem_);
            stop();
            listener_.notes.clear();
            return;
        case kNoteRejoining:
            show_status("No audio for 3 seconds: joining again");
            break;
        }
    }
    listener_.notes.clear();
    // A finished picture stays on screen; its copy is not needed.
    listener_.finished_pictures.clear();
}

void TunerWindow::show_status(const QString& text) { status_->setText(text); }

QString TunerWindow::station_text() const { return name_->text() + "\n" + location_->text(); }
QString TunerWindow::song_text() const { return song_->text(); }
QString TunerWindow::status_text() const { return status_->text(); }
int TunerWindow::level() const { return meter_->value(); }

void TunerWindow::choose_file() {
    const QString path = QFileDialog::getOpenFileName(this, "Open Station List", QString(),
                                                      "Station lists (*.vsl);;All files (*)");
    if (!path.isEmpty() && open_station(path)) play();
}

void TunerWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && event->mimeData()->urls().first().isLocalFile())
        event->acceptProposedAction();
}

void TunerWindow::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile()) return;
    event->acceptProposedAction();
    if (open_station(urls.first().toLocalFile())) play();
}

void TunerWindow::closeEvent(QCloseEvent* event) {
    stop();
    event->accept();
}
