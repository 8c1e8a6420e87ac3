#include "shell/listen/audio_player.h"

#include <QAudioSink>
#include <QMediaDevices>

#include "listener/listener.h"

namespace {
// The sink's own buffer: enough to ride out a busy moment of the event loop.
constexpr int kSinkBufferMs = 200;
}  // namespace

bool find_audio_output(const QString& name, QAudioDevice* device, QString* error) {
    const QList<QAudioDevice> outputs = QMediaDevices::audioOutputs();
    if (outputs.isEmpty()) {
        *error = "no audio output: no sound server or sound card answers";
        return false;
    }
    if (name.isEmpty()) {
        *device = QMediaDevices::defaultAudioOutput();
        if (device->isNull()) *device = outputs.first();
        return true;
    }
    for (const QAudioDevice& d : outputs)
        if (d.description() == name || QString::fromUtf8(d.id()) == name) {
            *device = d;
            return true;
        }
    *error = "no audio output called \"" + name + "\" (--list-devices shows them)";
    return false;
}

QStringList audio_output_names() {
    QStringList names;
    const QAudioDevice fallback = QMediaDevices::defaultAudioOutput();
    for (const QAudioDevice& d : QMediaDevices::audioOutputs())
        names << d.description() + (d.id() == fallback.id() ? " (default)" : "");
    return names;
}

AudioPlayer::AudioPlayer(QObject* parent) : QObject(parent) {}

AudioPlayer::~AudioPlayer() { stop(); }

bool AudioPlayer::start(const QAudioDevice& device, int station_rate, int mark_ms, QString* error) {
    stop();
    QAudioFormat format;
    format.setSampleFormat(QAudioFormat::Int16);
    format.setChannelCount(1);
    format.setSampleRate(station_rate);
    if (!device.isFormatSupported(format)) {
        const QAudioFormat preferred = device.preferredFormat();
        format.setSampleRate(preferred.sampleRate());
        if (!device.isFormatSupported(format)) format.setChannelCount(preferred.channelCount());
    }
    channels_ = format.channelCount();
    device_name_ = device.description();
    if (!playout_open(playout_, station_rate, format.sampleRate(), mark_ms)) {
        *error = QString("audio output %1: cannot resample %2 Hz to %3 Hz")
                     .arg(device_name_).arg(station_rate).arg(format.sampleRate());
        return false;
    }
    sink_ = new QAudioSink(device, format, this);
    sink_->setBufferSize(format.bytesForDuration(kSinkBufferMs * 1000));
    io_ = sink_->start();
    if (!io_ || sink_->error() != QAudio::NoError) {
        *error = "audio output " + device_name_ + ": " + error_text();
        stop();
        return false;
    }
    return true;
}

void AudioPlayer::stop() {
    if (sink_) {
        sink_->stop();
        delete sink_;
    }
    sink_ = nullptr;
    io_ = nullptr;
    playout_close(playout_);
}

QString AudioPlayer::error_text() const {
    if (!sink_) return {};
    switch (sink_->error()) {
    case QAudio::NoError: return {};
    case QAudio::OpenError: return "it cannot be opened";
    case QAudio::IOError: return "it stopped taking audio";
    case QAudio::UnderrunError: return {};
    case QAudio::FatalError: return "it failed";
    }
    return "it failed";
}

void AudioPlayer::set_volume(double volume) {
    if (sink_) sink_->setVolume(volume);
}

void AudioPlayer::feed(Listener& listener, std::vector<uint8_t>* keep) {
    listener_feed(listener, playout_, keep);
    if (!io_) return;
    const int frame_bytes = 2 * channels_;
    const size_t count = static_cast<size_t>(sink_->bytesFree() / frame_bytes);
    if (count == 0) return;
    mono_.resize(count);
    playout_read(playout_, mono_.data(), count, listener_pending_ms(listener));
    const int16_t* data = mono_.data();
    if (channels_ > 1) {
        frames_.resize(count * size_t(channels_));
        for (size_t i = 0; i < count; ++i)
            for (int c = 0; c < channels_; ++c) frames_[i * size_t(channels_) + size_t(c)] = mono_[i];
        data = frames_.data();
    }
    io_->write(reinterpret_cast<const char*>(data), qint64(count) * frame_bytes);
}
