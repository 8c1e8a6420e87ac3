#include "stream/web_stream.h"

#include <opus/opusenc.h>

#include <algorithm>
#include <cstdio>

#include "base/free_with.h"
#include "base/station_identity.h"
#include "media/picture_slots.h"
#include "media/program_frames.h"

// ---- the feed -------------------------------------------------------------

std::string WebStreamFeed::headers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return headers_;
}

uint64_t WebStreamFeed::live_edge() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_page_ + pages_.size();
}

bool WebStreamFeed::pages_since(uint64_t from, std::string* out, uint64_t* next) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t end = first_page_ + pages_.size();
    if (from < first_page_ || from > end) return false;
    for (uint64_t n = from; n < end; ++n) out->append(pages_[static_cast<size_t>(n - first_page_)]);
    *next = end;
    return true;
}

uint64_t WebStreamFeed::stream_id() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_id_;
}

NowPlaying WebStreamFeed::now() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

void WebStreamFeed::set_wake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
}

void WebStreamFeed::wake() const {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake = wake_;
    }
    if (wake) wake();
}

void WebStreamFeed::begin_stream(std::string headers) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stream_id_;
        headers_ = std::move(headers);
        // Numbers go on across streams: a listener of the last one is
        // told by the new stream_id, never by a number it already had.
        first_page_ += pages_.size();
        pages_.clear();
    }
    wake();
}

void WebStreamFeed::add_page(std::string page) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pages_.push_back(std::move(page));
        if (pages_.size() > static_cast<size_t>(WEB_KEPT_PAGES)) {
            pages_.pop_front();
            ++first_page_;
        }
    }
    wake();
}

void WebStreamFeed::end_stream() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stream_id_;
        headers_.clear();
        first_page_ += pages_.size();
        pages_.clear();
    }
    wake();
}

void WebStreamFeed::change_now(const std::function<void(NowPlaying&)>& change) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change(now_);
        ++now_.version;
    }
    wake();
}

// ---- the encoder's thread ---------------------------------------------------

namespace {

using OpusEncoderHandle = std::unique_ptr<OggOpusEnc, FreeWith<ope_encoder_destroy>>;
using OpusCommentsHandle = std::unique_ptr<OggOpusComments, FreeWith<ope_comments_destroy>>;

// Where libopusenc's pages go: the header pages are collected until the
// stream begins, every later page goes to the listeners.
struct PageSink {
    WebStreamFeed& feed;
    bool collecting_headers = true;
    std::string headers;
};

int write_page(void* user, const unsigned char* page, opus_int32 length) {
    auto* sink = static_cast<PageSink*>(user);
    std::string bytes(reinterpret_cast<const char*>(page), static_cast<size_t>(length));
    if (sink->collecting_headers)
        sink->headers += bytes;
    else
        sink->feed.add_page(std::move(bytes));
    return 0;
}

int close_pages(void*) { return 0; }

template <typename Queue>
void run_encoder(std::shared_ptr<Queue> queue, std::shared_ptr<WebStreamFeed> feed,
                 int sampling_rate, int channels, int bitrate) {
    PageSink sink{*feed, true, {}};
    static const OpusEncCallbacks callbacks = {write_page, close_pages};
    OpusCommentsHandle comments(ope_comments_create());
    int error = 0;
    OpusEncoderHandle encoder(ope_encoder_create_callbacks(
        &callbacks, &sink, comments.get(), PROGRAM_OUTPUT_RATE, channels, 0, &error));
    if (!encoder) return;  // the status says "no stream"; the station goes on
    ope_encoder_ctl(encoder.get(), OPUS_SET_BITRATE(bitrate * 1000));
    ope_encoder_ctl(encoder.get(), OPE_SET_MUXING_DELAY(WEB_PAGE_MS * 48));
    // libopusenc looks 2 s ahead by default: that long behind the station.
    ope_encoder_ctl(encoder.get(), OPE_SET_DECISION_DELAY(0));
    ope_encoder_flush_header(encoder.get());
    sink.collecting_headers = false;
    feed->begin_stream(std::move(sink.headers));

    ProgramResampler resampler(PROGRAM_OUTPUT_RATE, channels);
    std::vector<int16_t> wide, pcm;
    auto encode = [&](const ProgramAudio& audio) {
        pcm.clear();
        resampler.convert(audio, pcm);
        ope_encoder_write(encoder.get(), pcm.data(), static_cast<int>(pcm.size()) / channels);
    };
    auto encode_decoded = [&](const uint8_t* samples, int count) {
        widen_samples(samples, count, wide);
        encode({wide.data(), count, 1, sampling_rate});
    };
    ProgramFrameDecoder frames;
    for (;;) {
        WebStream::Item item;
        {
            std::unique_lock<std::mutex> lock(queue->mutex);
            queue->wake.wait(lock, [&] { return queue->stopping || !queue->items.empty(); });
            if (queue->stopping) break;
            item = std::move(queue->items.front());
            queue->items.pop_front();
        }
        if (item.frame)
            frames.add(item.seq, item.bytes.data(), static_cast<int>(item.bytes.size()), encode_decoded);
        else
            encode({item.audio.data(), static_cast<int>(item.audio.size()) / item.channels,
                    item.channels, item.rate});
    }
    feed->end_stream();
}

}  // namespace

// ---- the keys --------------------------------------------------------------

bool parse_web_listen(const std::string& text, std::string* address, int* port,
                      std::string* problem) {
    const size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "0.0.0.0" : text.substr(0, colon);
    const std::string digits = colon == std::string::npos ? text : text.substr(colon + 1);
    long number = 0;
    bool ok = !digits.empty() && digits.size() <= 5 &&
              std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (ok) number = std::stol(digits);
    ok = ok && number >= 1 && number <= 65535;
    unsigned a[4];
    char rest = 0;
    ok = ok && sscanf(host.c_str(), "%u.%u.%u.%u%c", &a[0], &a[1], &a[2], &a[3], &rest) == 4 &&
         a[0] < 256 && a[1] < 256 && a[2] < 256 && a[3] < 256;
    if (!ok) {
        *problem = "WEB_LISTEN must be PORT or ADDR:PORT (a dotted address, a port 1 to 65535), "
                   "not \"" + text + "\"";
        return false;
    }
    *address = host;
    *port = static_cast<int>(number);
    return true;
}

// ---- the output ------------------------------------------------------------

WebStream::WebStream(const WebStreamSettings& settings) : settings_(settings) {}

WebStream::~WebStream() { stop_encoder(); }

void WebStream::set_udp_listeners(int count) {
    if (feed_->now().udp_listeners == count) return;
    feed_->change_now([count](NowPlaying& now) { now.udp_listeners = count; });
}

bool WebStream::started(Services&, const ProgramInfo& program) {
    stop_encoder();
    if (settings_.WEB_LISTEN.empty()) return true;
    feed_->change_now([&program](NowPlaying& now) {
        now.on_air = true;
        now.station = program.station.StationName;
        now.description = program.station.WWW_DESC;
        now.web_address = program.station.WWW_URL;
    });
    queue_ = std::make_shared<Queue>();
    encoder_ = std::thread(run_encoder<Queue>, queue_, feed_, program.sampling_rate,
                           program.channels == 2 ? 2 : 1, settings_.WEB_BITRATE);
    return true;
}

void WebStream::stop_encoder() {
    if (!queue_) return;
    {
        std::lock_guard<std::mutex> lock(queue_->mutex);
        queue_->stopping = true;
        dropped_before_ += queue_->dropped;
    }
    queue_->wake.notify_one();
    // The encoder takes one item at a time and no call of its can block:
    // it ends within one item's encoding.
    if (encoder_.joinable()) encoder_.join();
    queue_.reset();
}

void WebStream::queue(Item item) {
    {
        std::lock_guard<std::mutex> lock(queue_->mutex);
        if (queue_->items.size() >= static_cast<size_t>(WEB_QUEUE_ITEMS)) {
            queue_->items.pop_front();
            ++queue_->dropped;
        }
        queue_->items.push_back(std::move(item));
    }
    queue_->wake.notify_one();
}

// Without a running encoder (no WEB_LISTEN) nothing is copied: these run
// for every frame and every captured block.
void WebStream::program_frame(uint32_t seq, const uint8_t* frame, int length) {
    if (!queue_) return;
    Item item;
    item.frame = true;
    item.seq = seq;
    item.bytes.assign(frame, frame + length);
    queue(std::move(item));
}

void WebStream::program_audio(const ProgramAudio& audio) {
    if (!queue_ || audio.frames <= 0 || audio.channels < 1 || audio.channels > 2) return;
    Item item;
    item.audio.assign(audio.samples, audio.samples + static_cast<size_t>(audio.frames) * audio.channels);
    item.channels = audio.channels;
    item.rate = audio.rate;
    queue(std::move(item));
}

void WebStream::title(const char* text) {
    if (settings_.WEB_LISTEN.empty()) return;
    const std::string title = text ? text : "";
    if (feed_->now().title == title) return;
    feed_->change_now([&title](NowPlaying& now) { now.title = title; });
}

void WebStream::picture(const PictureSlot& picture) {
    if (settings_.WEB_LISTEN.empty()) return;
    const int w = picture.width, h = picture.height;
    auto rgb = std::make_shared<std::vector<uint8_t>>();
    if (!picture.block.empty() && w > 0 && h > 0) {
        // The slot's rows are a BMP's: bottom first, blue before red.
        rgb->resize(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
        const uint8_t* pixels = picture.block.data() + picture.pixels_offset;
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = pixels + static_cast<size_t>(h - 1 - y) * static_cast<size_t>(w) * 3;
            uint8_t* to = rgb->data() + static_cast<size_t>(y) * static_cast<size_t>(w) * 3;
            for (int x = 0; x < w; ++x) {
                to[3 * x] = row[3 * x + 2];
                to[3 * x + 1] = row[3 * x + 1];
                to[3 * x + 2] = row[3 * x];
            }
        }
    }
    feed_->change_now([&](NowPlaying& now) {
        ++now.picture_version;
        now.picture_width = rgb->empty() ? 0 : w;
        now.picture_height = rgb->empty() ? 0 : h;
        now.picture_rgb = rgb->empty() ? nullptr : rgb;
    });
}

void WebStream::stopped(Services&) {
    stop_encoder();
    if (settings_.WEB_LISTEN.empty()) return;
    feed_->change_now([](NowPlaying& now) {
        now.on_air = false;
        now.title.clear();
    });
}

std::string WebStream::status(const Services&) const {
    if (settings_.WEB_LISTEN.empty()) return "";
    return queue_ ? "streaming" : "off";
}

std::vector<OutputValue> WebStream::status_values() const {
    int64_t dropped = dropped_before_;
    if (queue_) {
        std::lock_guard<std::mutex> lock(queue_->mutex);
        dropped += queue_->dropped;
    }
    return {{"state", OutputValueKind::Text, 0, queue_ ? "streaming" : "off",
             "the listeners' web stream: streaming or off"},
            {"dropped_blocks", OutputValueKind::Counter, dropped, "",
             "program blocks the encoder's full queue let go"}};
}
