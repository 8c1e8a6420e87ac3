#pragma once
// The listeners' web stream: the program as one live Ogg Opus stream,
// encoded once on a thread of its own for every web listener, and what is
// playing now. The station's thread feeds it as one of its outputs
// (WebStream, a ProgramSink); the web server's thread reads the pages and
// the now-playing record from the WebStreamFeed, which never waits for the
// encoder and never holds the station.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/program_sink.h"

constexpr int WEB_BITRATE_DEFAULT = 96;  // kbit/s
constexpr int WEB_BITRATE_MIN = 8;
constexpr int WEB_BITRATE_MAX = 320;
constexpr int WEB_LISTEN_MAX = 63;  // characters of WEB_LISTEN
// Pages kept for listeners that read a little late: some 5 s at the
// muxing delay below. A listener further behind is dropped.
constexpr int WEB_KEPT_PAGES = 50;
constexpr int WEB_PAGE_MS = 100;  // audio a page holds at most (the muxing delay)

// What the page and /now.json show; `version` counts every change.
struct NowPlaying {
    uint64_t version = 0;
    bool on_air = false;
    std::string station, description, web_address;
    std::string title;
    // The main picture, 24-bit RGB rows top first; none while empty.
    uint64_t picture_version = 0;  // 0: no picture yet
    int picture_width = 0, picture_height = 0;
    std::shared_ptr<const std::vector<uint8_t>> picture_rgb;
    int udp_listeners = 0;
};

// Shared between the station's thread (now playing), the encoder's thread
// (pages) and the web server's thread (readers). Every call takes the lock
// for a copy only.
class WebStreamFeed {
public:
    // The stream's header pages (OpusHead and OpusTags): a listener gets
    // them first. Empty while nothing is encoded.
    std::string headers() const;
    // Where a new listener starts: the next page to come (the live edge).
    uint64_t live_edge() const;
    // The pages from `from` on, appended to *out; *next says where to go on.
    // False when `from` fell out of the kept pages (the listener is too
    // slow) or the stream restarted since (new headers): drop the listener.
    bool pages_since(uint64_t from, std::string* out, uint64_t* next) const;
    // Which stream the pages belong to: a new one at each broadcast start.
    uint64_t stream_id() const;
    NowPlaying now() const;
    // Runs on the writing thread after new pages or a change of what
    // plays; the server only wakes its own thread from it.
    void set_wake(std::function<void()> wake);

    // --- writers ---
    void begin_stream(std::string headers);
    void add_page(std::string page);
    void end_stream();
    void change_now(const std::function<void(NowPlaying&)>& change);

private:
    void wake() const;
    mutable std::mutex mutex_;
    std::function<void()> wake_;
    uint64_t stream_id_ = 0;
    std::string headers_;
    std::deque<std::string> pages_;
    uint64_t first_page_ = 0;  // the number of pages_.front()
    NowPlaying now_;
};

// The keys of the listeners' web page and stream.
struct WebStreamSettings {
    std::string WEB_LISTEN;  // [ADDR:]PORT; empty: no web page
    int WEB_BITRATE = WEB_BITRATE_DEFAULT;  // kbit/s of the Ogg Opus stream
};

// Takes WEB_LISTEN apart: "PORT" (every address) or "ADDR:PORT" with a
// dotted address. False with *problem naming the key and the text.
bool parse_web_listen(const std::string& text, std::string* address, int* port,
                      std::string* problem);

// Audio a full queue lets go, oldest first: some 3 s of captured blocks,
// much more of a song's source.
constexpr int WEB_QUEUE_ITEMS = 64;

// The web stream as an output of the station. Its encoder runs on a thread
// of its own from started() to stopped(); the station's thread only queues
// the program for it and never waits.
class WebStream final : public ProgramSink {
public:
    explicit WebStream(const WebStreamSettings& settings);
    ~WebStream() override;
    WebStream(const WebStream&) = delete;
    WebStream& operator=(const WebStream&) = delete;

    // For the web server's thread; lives as long as anyone holds it.
    std::shared_ptr<WebStreamFeed> feed() const { return feed_; }
    // The UDP listeners the page counts (the program sets it each tick).
    void set_udp_listeners(int count);

    std::string name() const override { return "Web"; }
    bool started(Services& services, const ProgramInfo& program) override;
    void program_frame(uint32_t seq, const uint8_t* frame, int length) override;
    void program_audio(const ProgramAudio& audio) override;
    void title(const char* text) override;
    void picture(const PictureSlot& picture) override;
    void stopped(Services& services) override;
    std::string status(const Services& services) const override;
    std::vector<OutputValue> status_values() const override;

    struct Item {
        bool frame = false;  // a codec frame in `bytes` (else `audio`)
        uint32_t seq = 0;
        std::vector<uint8_t> bytes;
        std::vector<int16_t> audio;  // interleaved
        int channels = 1, rate = 0;
    };

private:
    void stop_encoder();
    void queue(Item item);

    const WebStreamSettings& settings_;
    std::shared_ptr<WebStreamFeed> feed_ = std::make_shared<WebStreamFeed>();
    struct Queue {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Item> items;
        bool stopping = false;
        int64_t dropped = 0;  // audio items a full queue let go
    };
    std::shared_ptr<Queue> queue_;
    std::thread encoder_;
    int64_t dropped_before_ = 0;
};
