#include "shell/capture/capture_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QIODevice>
#include <QMediaDevices>
#include <QSocketNotifier>
#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/host.h"
#include "codec/wav_reader.h"
#include "platform/safe_files.h"
#include "media/program_audio.h"
#include "media/wave_conversion.h"

namespace {

constexpr uint8_t kSilence = 128;

// ---- a test tone ------------------------------------------------------

class ToneSource : public CaptureSource {
public:
    explicit ToneSource(double hz) : hz_(hz) {}
    CaptureAnswer open(int rate, std::string&) override {
        rate_ = rate;
        return CaptureAnswer::ok;
    }
    void read(uint8_t* out, int count) override {
        for (int i = 0; i < count; ++i, ++position_) {
            double phase = 2.0 * M_PI * hz_ * static_cast<double>(position_) / rate_;
            out[i] = static_cast<uint8_t>(std::lround(kSilence + 100.0 * std::sin(phase)));
        }
    }

private:
    double hz_;
    int rate_ = 8000;
    int64_t position_ = 0;
};

// ---- a WAV file, converted as songs are, played in a loop -------------
// The listeners' 8-bit samples are converted as songs are; the outputs get
// the file's own samples (its first two channels) at its own rate, 8-bit
// ones widened.

class WavFileSource : public CaptureSource {
public:
    explicit WavFileSource(std::string path) : path_(std::move(path)) {}

    // Reads the whole file: its samples at `rate`, or the reason it cannot serve.
    CaptureAnswer open(int rate, std::string& error) override {
        samples_.clear();
        position_ = 0;
        pcm_.clear();
        read_total_ = 0;
        std::string why;  // a pipe would hold the station in open(): regular files only
        FILE* f = open_regular_file(path_.c_str(), &why);
        if (!f) {
            error = path_ + ": " + why;
            return CaptureAnswer::error;
        }
        WavInfo info;
        int result = read_wav_header(f, info);
        std::vector<uint8_t> pcm;
        if (result == WAV_OK && info.has_format && info.sample_rate > 0) {
            pcm.resize(info.data_size);
            pcm.resize(fread(pcm.data(), 1, pcm.size(), f));
        }
        fclose(f);
        if (result == WAV_NOT_PCM) error = path_ + ": not PCM audio";
        else if (result != WAV_OK || !info.has_format || info.sample_rate == 0)
            error = path_ + ": not a WAV file (no format or no data chunk)";
        if (!error.empty()) return CaptureAnswer::error;
        PcmLayout layout = pcm_layout(info.channels, info.bits_per_sample);
        int64_t frames = static_cast<int64_t>(pcm.size()) / layout.frame_bytes;
        int64_t wanted = frames * rate / info.sample_rate;
        if (wanted <= 0 || wanted > INT32_MAX) {
            error = path_ + ": holds no samples";
            return CaptureAnswer::error;
        }
        samples_.resize(static_cast<size_t>(wanted));
        int made = convert_pcm(pcm.data(), static_cast<int>(pcm.size()), layout, info.sample_rate,
                               static_cast<uint32_t>(rate), samples_.data(), static_cast<int>(wanted), true);
        samples_.resize(static_cast<size_t>(made));
        if (samples_.empty()) {
            error = path_ + ": holds no samples";
            return CaptureAnswer::error;
        }
        rate_ = rate;
        layout_ = layout;
        file_rate_ = static_cast<int>(info.sample_rate);
        pcm_ = std::move(pcm);
        file_frames_ = frames;
        return CaptureAnswer::ok;
    }
    void read(uint8_t* out, int count) override {
        for (int i = 0; i < count; ++i) {
            out[i] = samples_[position_];
            position_ = (position_ + 1) % samples_.size();  // looped at its end
        }
        // The file's own frames of the same playing time, looped on their own.
        const int64_t first = read_total_ * file_rate_ / rate_;
        read_total_ += count;
        const int64_t end = read_total_ * file_rate_ / rate_;
        const int channels = program_channels();
        program_.resize(static_cast<size_t>((end - first) * channels));
        for (int64_t f = first; f < end; ++f) {
            const uint8_t* frame = pcm_.data() + (f % file_frames_) * layout_.frame_bytes;
            for (int c = 0; c < channels; ++c)
                program_[static_cast<size_t>((f - first) * channels + c)] =
                    static_cast<int16_t>(pcm_sample16(frame + c * layout_.sample_bytes, layout_));
        }
        if (deliver_program) deliver_program(program_.data(), static_cast<int>(end - first));
    }
    int program_channels() const override { return std::min(layout_.channels, 2); }
    int program_rate() const override { return file_rate_; }

private:
    std::string path_;
    std::vector<uint8_t> samples_;
    size_t position_ = 0;
    int rate_ = 8000;
    // The file's PCM as it stores it, for the outputs.
    std::vector<uint8_t> pcm_;
    PcmLayout layout_;
    int file_rate_ = 0;
    int64_t file_frames_ = 0;
    int64_t read_total_ = 0;  // 8-bit samples read since the opening
    std::vector<int16_t> program_;
};

// ---- standard input: raw unsigned 8-bit mono at the capture rate ------

class StdinSource : public CaptureSource {
public:
    CaptureAnswer open(int rate, std::string&) override {
        // A few seconds ahead at most: a faster writer waits in its pipe.
        limit_ = static_cast<size_t>(rate) * 4;
        if (!notifier_ && !ended_) {
            fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
            notifier_ = std::make_unique<QSocketNotifier>(0, QSocketNotifier::Read);
            QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { take_input(); });
        }
        return CaptureAnswer::ok;
    }
    void read(uint8_t* out, int count) override {
        int n = static_cast<int>(std::min(waiting_.size(), static_cast<size_t>(count)));
        std::copy(waiting_.begin(), waiting_.begin() + n, out);
        waiting_.erase(waiting_.begin(), waiting_.begin() + n);
        memset(out + n, kSilence, static_cast<size_t>(count - n));  // at its end: silence
        if (notifier_ && waiting_.size() < limit_) notifier_->setEnabled(true);
        // Once what it gave has been played, an input that ended is a lost one.
        if (ended_ && waiting_.empty() && !end_reason_.empty() && fault) {
            std::string reason = std::move(end_reason_);
            end_reason_.clear();
            fault(reason);
        }
    }

private:
    void take_input() {
        uint8_t bytes[4096];
        ssize_t n = ::read(0, bytes, sizeof bytes);
        if (n > 0) {
            waiting_.insert(waiting_.end(), bytes, bytes + n);
            if (waiting_.size() >= limit_) notifier_->setEnabled(false);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            ended_ = true;
            notifier_->setEnabled(false);
            notifier_.release()->deleteLater();
            end_reason_ = n == 0 ? "the standard input ended" : strerror(errno);
        }
    }

    std::vector<uint8_t> waiting_;
    size_t limit_ = 64000;
    bool ended_ = false;
    std::string end_reason_;  // why it ended, until the device is told
    std::unique_ptr<QSocketNotifier> notifier_;
};

// ---- the sound card -----------------------------------------------------

// The card records signed 16-bit mono, made 8-bit as songs are: 8-bit
// capture is accepted by some back ends and then delivers nothing.
QAudioFormat capture_format(int rate) {
    QAudioFormat format;
    format.setSampleRate(rate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    return format;
}

// The outputs' program: a second recording of the card, 16-bit at its own
// rate and channels (two at most), so that the listeners' stream above stays
// exactly as the card's mono mix makes it.
QAudioFormat program_format(const QAudioDevice& device) {
    QAudioFormat format = device.preferredFormat();
    format.setChannelCount(std::clamp(format.channelCount(), 1, 2));
    format.setSampleFormat(QAudioFormat::Int16);
    if (format.sampleRate() <= 0) format.setSampleRate(PROGRAM_OUTPUT_RATE);
    return format;
}

const char* audio_error_text(QAudio::Error error) {
    switch (error) {
        case QAudio::OpenError: return "the recording device cannot be opened";
        case QAudio::IOError: return "the recording device failed while reading";
        case QAudio::UnderrunError: return "the recording device delivers too slowly";
        case QAudio::FatalError: return "the recording device is no longer usable";
        default: return "no error";
    }
}

class SoundCardSource : public CaptureSource {
public:
    CaptureAnswer query(int rate) override {
        QAudioDevice device = QMediaDevices::defaultAudioInput();
        if (device.isNull()) return CaptureAnswer::no_device;
        return device.isFormatSupported(capture_format(rate)) ? CaptureAnswer::ok
                                                              : CaptureAnswer::bad_format;
    }
    CaptureAnswer open(int rate, std::string& error) override {
        close();
        QAudioDevice device = QMediaDevices::defaultAudioInput();
        if (device.isNull()) {
            error = "no recording device";
            return CaptureAnswer::no_device;
        }
        input_ = std::make_unique<QAudioSource>(device, capture_format(rate));
//        input_->setBufferSize(rate / 5);  // a tenth of a second of 16-bit samples: low latency
        QIODevice* io = input_->start();
        if (!io || input_->error() != QAudio::NoError) {
            error = device.description().toStdString() + ": " + audio_error_text(input_->error());
            input_.reset();
            return CaptureAnswer::error;
        }
        QObject::connect(io, &QIODevice::readyRead, [this, io] {
            QByteArray bytes = io->readAll();
            converter_.convert(bytes.constData(), bytes.size(), deliver);
        });
        QObject::connect(input_.get(), &QAudioSource::stateChanged, [this](QAudio::State) {
            if (input_ && input_->error() != QAudio::NoError && fault) fault(audio_error_text(input_->error()));
        });
        open_program(device);
        return CaptureAnswer::ok;
    }
    void close() override {
        for (std::unique_ptr<QAudioSource>* source : {&input_, &program_}) {
            if (!*source) continue;
            (*source)->disconnect();
            (*source)->stop();
            source->reset();
        }
    }
    int program_channels() const override {
        return program_ ? program_->format().channelCount() : 0;
    }
    int program_rate() const override { return program_ ? program_->format().sampleRate() : 0; }
    bool paced() const override { return false; }
    void read(uint8_t* out, int count) override { memset(out, kSilence, static_cast<size_t>(count)); }

private:
    // Turns the card's 16-bit samples into ours, as songs are converted.
    class Converter {
    public:
        void convert(const char* data, qint64 size, const std::function<void(const uint8_t*, int)>& deliver) {
            const PcmLayout layout = pcm_layout(1, 16);
            int count = 0;
            for (qint64 i = 0; i < size; ++i) {
                pair_[pair_fill_++] = static_cast<uint8_t>(data[i]);
                if (pair_fill_ < 2) continue;
                pair_fill_ = 0;
                samples_[count++] = pcm_frame_to_sample(pair_, layout);
                if (count == kChunk) {
                    if (deliver) deliver(samples_, count);
                    count = 0;
                }
            }
            if (count > 0 && deliver) deliver(samples_, count);
        }

    private:
        static constexpr int kChunk = 4096;
        uint8_t pair_[2] = {};
        int pair_fill_ = 0;
        uint8_t samples_[kChunk] = {};
    };

    // A card that cannot record twice leaves the outputs the 8-bit samples.
    void open_program(const QAudioDevice& device) {
        program_ = std::make_unique<QAudioSource>(device, program_format(device));
        QIODevice* io = program_->start();
        if (!io || program_->error() != QAudio::NoError) {
            program_.reset();
            return;
        }
        program_bytes_.clear();
        QObject::connect(io, &QIODevice::readyRead, [this, io] {
            program_bytes_.append(io->readAll());
            const int frame_bytes = 2 * program_channels();
            const int frames = static_cast<int>(program_bytes_.size()) / frame_bytes;
            if (frames == 0) return;
            program_samples_.resize(static_cast<size_t>(frames) * program_channels());
            memcpy(program_samples_.data(), program_bytes_.constData(),
                   static_cast<size_t>(frames) * frame_bytes);
            program_bytes_.remove(0, static_cast<qsizetype>(frames) * frame_bytes);
            if (deliver_program) deliver_program(program_samples_.data(), frames);
        });
    }

    Converter converter_;
    std::unique_ptr<QAudioSource> input_;
    std::unique_ptr<QAudioSource> program_;
    QByteArray program_bytes_;  // a part of a frame waits for the rest
    std::vector<int16_t> program_samples_;
};

}  // namespace

CaptureAnswer CaptureSource::query(int) { return CaptureAnswer::ok; }

namespace {
QtMessageHandler g_previous_handler = nullptr;

// Without a sound server Qt's audio back end says "PulseAudioService:
// pa_context_connect() failed" as it looks for devices; the station tells
// the operator what having no recording device means instead.
void drop_sound_server_words(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith(QLatin1String("PulseAudioService:"))) return;
    if (g_previous_handler) g_previous_handler(type, context, text);
}
}  // namespace

bool sound_card_present() {
    g_previous_handler = qInstallMessageHandler(drop_sound_server_words);
    bool present = !QMediaDevices::audioInputs().isEmpty();
    qInstallMessageHandler(g_previous_handler);
    return present;
}

bool capture_name_well_formed(const std::string& name, std::string& error) {
    if (name.rfind("tone:", 0) != 0) return true;
    char* end = nullptr;
    double hz = strtod(name.c_str() + 5, &end);
    if (end == name.c_str() + 5 || *end || !(hz > 0 && hz < 100000)) {
        error = "tone:HZ takes a frequency in hertz, not " + name.substr(5);
        return false;
    }
    return true;
}

std::unique_ptr<CaptureSource> make_capture_source(const std::string& name, std::string& error) {
    if (name == "default") return std::make_unique<SoundCardSource>();
    if (name == "-") return std::make_unique<StdinSource>();
    if (name.rfind("tone:", 0) == 0) {
        if (!capture_name_well_formed(name, error)) return nullptr;
        return std::make_unique<ToneSource>(strtod(name.c_str() + 5, nullptr));
    }
    // A WAV file: proved readable now, so that a wrong name is told at once.
    auto source = std::make_unique<WavFileSource>(name);
    if (source->open(8000, error) != CaptureAnswer::ok) return nullptr;
    return source;
}
