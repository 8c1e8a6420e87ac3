#pragma once
// A listener's sound output: the decoded audio of a Listener played through
// a QAudioSink in push mode, 16-bit at the station's rate when the device
// takes it, else at the device's preferred rate (resampled by the Playout).

#include <QAudioDevice>
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

#include "listener/playout.h"

class QAudioSink;
class QIODevice;
struct Listener;

// The output device called `name` (its description or id; empty: the
// default). False with the cause in `error` when there is none: no sound
// server, no device, or no device of that name.
bool find_audio_output(const QString& name, QAudioDevice* device, QString* error);
// One line per output device: its description, "(default)" after the default one.
QStringList audio_output_names();

class AudioPlayer : public QObject {
    Q_OBJECT
public:
    explicit AudioPlayer(QObject* parent = nullptr);
    ~AudioPlayer() override;

    // Opens `device` for audio at `station_rate`; playing starts once
    // `mark_ms` is at hand. False with the cause in `error`.
    bool start(const QAudioDevice& device, int station_rate, int mark_ms, QString* error);
    void stop();
    bool running() const { return sink_ != nullptr; }
    int station_rate() const { return playout_.in_rate; }
    int output_rate() const { return playout_.out_rate; }

    // Decodes what `listener` has ready and writes as much as the device
    // takes; what was decoded also goes to `keep` when given.
    void feed(Listener& listener, std::vector<uint8_t>* keep);
    void set_volume(double volume);  // 0..1
    const Playout& playout() const { return playout_; }
    // The sink's error text, empty while it plays.
    QString error_text() const;

private:
    QAudioSink* sink_ = nullptr;
    QIODevice* io_ = nullptr;
    int channels_ = 1;
    Playout playout_;
    std::vector<int16_t> mono_, frames_;
    QString device_name_;
};
