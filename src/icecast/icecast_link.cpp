#include "icecast/icecast_link.h"

#include <lame/lame.h>
#include <opus/opusenc.h>
#include <shout/shout.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/free_with.h"
#include "media/program_frames.h"
#include "platform/http_probe.h"

namespace {

using Clock = std::chrono::steady_clock;

// A connection attempt that has not got the server's answer by then hangs.
constexpr auto kConnectTimeout = std::chrono::seconds(10);
// Encoded audio libshout holds back while the server does not read. Past
// this the worker takes no more from the queue (which then drops the
// oldest); no progress at all for kStallTimeout counts as a lost server.
constexpr ssize_t kMostBacklogBytes = 64 * 1024;
constexpr auto kStallTimeout = std::chrono::seconds(8);
// A stopped (frozen) server's system goes on taking the stream into its
// buffers for minutes, so its status page is asked on a second connection
// every few seconds: no answer within kProbeAnswer is a lost server. Both
// together stay well within 15 s of the freeze.
constexpr auto kProbeInterval = std::chrono::seconds(4);
constexpr auto kProbeAnswer = std::chrono::seconds(6);
constexpr const char* kStatusPage = "/status-json.xsl";
// Pages of at most a quarter second (in 48 kHz units): a listener hears the
// station soon, at a few bytes of page headers a second.
constexpr int kOpusMuxingDelay = 12000;

// ---- owners of the libraries' handles ---------------------------------

using ShoutHandle = std::unique_ptr<shout_t, FreeWith<shout_free>>;
using ShoutMetadata = std::unique_ptr<shout_metadata_t, FreeWith<shout_metadata_free>>;
using OpusEncoder = std::unique_ptr<OggOpusEnc, FreeWith<ope_encoder_destroy>>;
using OpusComments = std::unique_ptr<OggOpusComments, FreeWith<ope_comments_destroy>>;
using LameEncoder = std::unique_ptr<lame_global_flags, FreeWith<lame_close>>;

// ---- the encoders --------------------------------------------------------

struct Connection;
int send_encoded(Connection& c, const unsigned char* bytes, size_t size);

// At most one of the two is open.
struct Encoder {
    OpusEncoder opus;
    LameEncoder lame;
    std::vector<unsigned char> mp3;  // LAME's output
    std::vector<int16_t> pcm, wide;
    std::unique_ptr<ProgramResampler> resampler;  // to the stream's rate and channels
};

struct Connection {
    const IcecastConfig* config = nullptr;
    ShoutHandle shout_handle;
    shout_t* shout = nullptr;  // shout_handle's, for the many calls that take it
    Encoder encoder;
    std::string title;
    bool send_failed = false;
    std::string failure;
    // The server's address for the status requests that tell it still answers.
    HttpProbeTarget status_target;
    bool status_target_known = false;
};

// A failure in our words, with the system's reason when there is one
// (libshout's own text may still say "No error" after a failed send).
std::string shout_failure(shout_t* shout, int result, int system_error) {
    std::string text;
    switch (result) {
        case SHOUTERR_SOCKET: text = "the connection broke"; break;
        case SHOUTERR_NOCONNECT: text = "cannot connect"; break;
        case SHOUTERR_MALLOC: text = "out of memory"; break;
        default: text = shout_get_error(shout);
    }
    if (system_error) text += std::string(": ") + strerror(system_error);
    return text;
}

int send_encoded(Connection& c, const unsigned char* bytes, size_t size) {
    if (c.send_failed || size == 0) return 0;
    errno = 0;
    int result = shout_send(c.shout, bytes, size);
    if (result != SHOUTERR_SUCCESS && result != SHOUTERR_BUSY) {
        c.send_failed = true;
        c.failure = shout_failure(c.shout, result, errno);
        return 1;
    }
    return 0;
}

int write_page(void* user, const unsigned char* page, opus_int32 length) {
    return send_encoded(*static_cast<Connection*>(user), page, static_cast<size_t>(length));
}
int close_pages(void*) { return 0; }

OpusComments title_comments(const std::string& title) {
    OpusComments comments(ope_comments_create());
    if (comments && !title.empty()) ope_comments_add(comments.get(), "TITLE", title.c_str());
    return comments;
}

void set_mp3_title(Connection& c) {
    ShoutMetadata metadata(shout_metadata_new());
    if (!metadata) return;
    if (shout_metadata_add(metadata.get(), "song", c.title.c_str()) == SHOUTERR_SUCCESS) {
        // A refused title loses the title, not the stream.
        int ignored = shout_set_metadata_utf8(c.shout, metadata.get());
        (void)ignored;
    }
}

int open_encoder(Connection& c, std::string* problem) {
    const IcecastConfig& config = *c.config;
    Encoder& e = c.encoder;
    if (config.format == ICECAST_OPUS) {
        static const OpusEncCallbacks callbacks = {write_page, close_pages};
        OpusComments comments = title_comments(c.title);
        int error = 0;
        e.opus.reset(ope_encoder_create_callbacks(&callbacks, &c, comments.get(),
                                                  PROGRAM_OUTPUT_RATE, config.channels, 0, &error));
        if (!e.opus) {
            *problem = std::string("the Opus encoder refused: ") + ope_strerror(error);
            return 0;
        }
        ope_encoder_ctl(e.opus.get(), OPUS_SET_BITRATE(config.bitrate * 1000));
        ope_encoder_ctl(e.opus.get(), OPE_SET_MUXING_DELAY(kOpusMuxingDelay));
        // libopusenc looks 2 s ahead by default: that long behind the station.
        ope_encoder_ctl(e.opus.get(), OPE_SET_DECISION_DELAY(0));
        e.resampler = std::make_unique<ProgramResampler>(PROGRAM_OUTPUT_RATE, config.channels);
        return 1;
    }
    e.lame.reset(lame_init());
    if (!e.lame) {
        *problem = "the MP3 encoder cannot start";
        return 0;
    }
    lame_global_flags* lame = e.lame.get();
    lame_set_in_samplerate(lame, PROGRAM_OUTPUT_RATE);
    lame_set_num_channels(lame, config.channels);
    lame_set_mode(lame, config.channels == 2 ? JOINT_STEREO : MONO);
    lame_set_brate(lame, config.bitrate);
    lame_set_quality(lame, 7);  // fast: the station's CPU is for its listeners
    if (lame_init_params(lame) < 0) {
        e.lame.reset();
        *problem = "the MP3 encoder refused " + std::to_string(config.bitrate) + " kbit/s at " +
                   std::to_string(PROGRAM_OUTPUT_RATE) + " Hz";
        return 0;
    }
    e.mp3.resize(7200);  // LAME's worst case for a flush
    e.resampler = std::make_unique<ProgramResampler>(PROGRAM_OUTPUT_RATE, config.channels);
    if (!c.title.empty()) set_mp3_title(c);
    return 1;
}

void close_encoder(Connection& c) {
    Encoder& e = c.encoder;
    // What the encoder still holds goes out before it closes.
    if (e.opus) {
        ope_encoder_drain(e.opus.get());
        e.opus.reset();
    }
    if (e.lame) {
        int bytes = lame_encode_flush(e.lame.get(), e.mp3.data(), static_cast<int>(e.mp3.size()));
        if (bytes > 0) send_encoded(c, e.mp3.data(), static_cast<size_t>(bytes));
        e.lame.reset();
    }
}

// The encoder starts with the first audio after connecting, so that the
// stream's first headers already carry the title that precedes it.
void encode_audio(Connection& c, const ProgramAudio& audio) {
    Encoder& e = c.encoder;
    if (!e.opus && !e.lame && !open_encoder(c, &c.failure)) {
        c.send_failed = true;
        return;
    }
    e.pcm.clear();
    e.resampler->convert(audio, e.pcm);
    const int channels = e.resampler->channels();
    const int count = static_cast<int>(e.pcm.size()) / channels;
    if (count == 0) return;
    if (e.opus) {
        ope_encoder_write(e.opus.get(), e.pcm.data(), count);
    } else if (e.lame) {
        e.mp3.resize(static_cast<size_t>(count) * 5 / 4 + 7200);  // LAME's worst case for one call
        const int room = static_cast<int>(e.mp3.size());
        int bytes = channels == 2
                        ? lame_encode_buffer_interleaved(e.lame.get(), e.pcm.data(), count, e.mp3.data(), room)
                        : lame_encode_buffer(e.lame.get(), e.pcm.data(), nullptr, count, e.mp3.data(), room);
        if (bytes > 0) send_encoded(c, e.mp3.data(), static_cast<size_t>(bytes));
    }
}

// Decoded codec frames: 8-bit at the station's sampling rate.
void encode_decoded(Connection& c, const uint8_t* samples, int count) {
    widen_samples(samples, count, c.encoder.wide);
    encode_audio(c, {c.encoder.wide.data(), count, 1, c.config->sampling_rate});
}

// A new song: Ogg Opus starts a chained stream whose tags carry the title;
// MP3 has the server update the mount's title.
void change_title(Connection& c, const std::string& title) {
    if (title == c.title) return;
    c.title = title;
    if (c.encoder.opus) {
        OpusComments comments = title_comments(title);
        if (comments) ope_encoder_chain_current(c.encoder.opus.get(), comments.get());
    } else if (c.encoder.lame) {
        set_mp3_title(c);
    }
}

// ---- the connection ----------------------------------------------------

enum ConnectResult { CONNECT_OK, CONNECT_FAILED, CONNECT_REFUSED, CONNECT_IN_USE, CONNECT_STOPPED };

bool stopping(IcecastShared& s) {
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.stopping;
}

// Waits up to `ms` or until the station lets go. Returns false when it did.
bool pause_unless_stopped(IcecastShared& s, int ms) {
    std::unique_lock<std::mutex> lock(s.mutex);
    return !s.wake.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s.stopping; });
}

void report(IcecastShared& s, int kind, const std::string& reason) {
    std::function<void()> notify;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.stopping) return;
        s.events.push_back({kind, reason});
        notify = s.notify;
    }
    if (notify) notify();
}

void set_meta(shout_t* shout, const char* key, const std::string& value) {
    if (!value.empty()) {
        int ignored = shout_set_meta(shout, key, value.c_str());
        (void)ignored;
    }
}

// The one shout_t of a worker, set up once and opened for every attempt:
// libshout 2.4 keeps part of a failed attempt's state with its shout_t, so a
// fresh one per attempt would leave a little memory behind each time.
ShoutHandle make_shout(const IcecastConfig& config, std::string* problem) {
    ShoutHandle handle(shout_new());
    if (!handle) {
        *problem = "out of memory";
        return nullptr;
    }
    shout_t* shout = handle.get();
    unsigned format = config.format == ICECAST_MP3 ? SHOUT_FORMAT_MP3 : SHOUT_FORMAT_OGG;
    if (shout_set_host(shout, config.target.host.c_str()) != SHOUTERR_SUCCESS ||
        shout_set_port(shout, static_cast<unsigned short>(config.target.port)) != SHOUTERR_SUCCESS ||
        shout_set_mount(shout, config.target.mount.c_str()) != SHOUTERR_SUCCESS ||
        shout_set_user(shout, config.user.c_str()) != SHOUTERR_SUCCESS ||
        shout_set_password(shout, config.password.c_str()) != SHOUTERR_SUCCESS ||
        shout_set_protocol(shout, SHOUT_PROTOCOL_HTTP) != SHOUTERR_SUCCESS ||
        shout_set_content_format(shout, format, SHOUT_USAGE_AUDIO, nullptr) != SHOUTERR_SUCCESS ||
        shout_set_nonblocking(shout, SHOUT_BLOCKING_NONE) != SHOUTERR_SUCCESS) {
        *problem = shout_get_error(shout);
        return nullptr;
    }
    int ignored = shout_set_agent(shout, "Radio Velmora Broadcaster");
    (void)ignored;
    set_meta(shout, SHOUT_META_NAME, config.name);
    set_meta(shout, SHOUT_META_DESCRIPTION, config.description);
    set_meta(shout, SHOUT_META_URL, config.url);
    set_meta(shout, SHOUT_META_GENRE, config.genre);
    std::string rate = std::to_string(PROGRAM_OUTPUT_RATE);
    std::string bitrate = std::to_string(config.bitrate);
    ignored = shout_set_audio_info(shout, SHOUT_AI_SAMPLERATE, rate.c_str());
    ignored = shout_set_audio_info(shout, SHOUT_AI_CHANNELS, config.channels == 2 ? "2" : "1");
    ignored = shout_set_audio_info(shout, SHOUT_AI_BITRATE, bitrate.c_str());
    return handle;
}

// Whether the server's status page lists a source on `mount` now. Icecast
// lists each source's "listenurl"; a server without that page lists none.
bool status_page_lists_mount(IcecastShared& s, const IcecastTarget& target) {
    HttpProbeTarget where;
    HttpProbe probe;
    std::string problem;
    if (!http_probe_target(target.host, target.port, &where, &problem) ||
        !http_probe_start(probe, where, kStatusPage, &problem))
        return false;
    int answered = 0;
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (answered == 0 && Clock::now() < deadline) {
        answered = http_probe_poll(probe, &problem);
        if (answered == 0 && !pause_unless_stopped(s, 10)) break;
    }
    http_probe_close(probe);
    const std::string key = "\"listenurl\":\"";
    const std::string& page = probe.reply;
    if (answered != 1) return false;
    for (size_t at = page.find(key); at != std::string::npos; at = page.find(key, at + 1)) {
        size_t start = at + key.size(), end = page.find('"', start);
        std::string url = page.substr(start, end == std::string::npos ? 0 : end - start);
        for (size_t slash; (slash = url.find("\\/")) != std::string::npos;) url.erase(slash, 1);
        size_t host = url.find("://");
        size_t path = url.find('/', host == std::string::npos ? 0 : host + 3);
        if (path != std::string::npos && url.compare(path, std::string::npos, target.mount) == 0)
            return true;
    }
    return false;
}

// libshout says "login failed" both for a wrong password (HTTP 401) and for
// a mount that another source holds (HTTP 403); the status page tells them
// apart. A source that has just logged in shows there only once its stream
// has begun, so a mount not listed is looked at once more a second later.
bool mount_in_use(IcecastShared& s, const IcecastTarget& target) {
    if (status_page_lists_mount(s, target)) return true;
    return pause_unless_stopped(s, 1000) && status_page_lists_mount(s, target);
}

int connect_server(IcecastShared& s, Connection& c, std::string* problem) {
    shout_t* shout = c.shout;

    // The look-up of the host name happens here; it may take its time.
    errno = 0;
    int result = shout_open(shout);
    auto deadline = Clock::now() + kConnectTimeout;
    // Under way, the answer is busy or (from some versions) unconnected.
    while (result == SHOUTERR_BUSY || result == SHOUTERR_RETRY || result == SHOUTERR_UNCONNECTED) {
        if (!pause_unless_stopped(s, 10)) return CONNECT_STOPPED;
        if (Clock::now() > deadline) {
            *problem = "the server did not answer within 10 seconds";
            return CONNECT_FAILED;
        }
        errno = 0;
        result = shout_get_connected(shout);
    }
    if (result == SHOUTERR_SUCCESS || result == SHOUTERR_CONNECTED) return CONNECT_OK;
    // A socket error before any connection is a connection never made, not a broken one.
    const int shown = result == SHOUTERR_SOCKET ? SHOUTERR_NOCONNECT : result;
    *problem = shout_failure(shout, shown, result == SHOUTERR_NOLOGIN ? 0 : errno);
    if (result != SHOUTERR_NOLOGIN) return CONNECT_FAILED;
    return mount_in_use(s, c.config->target) ? CONNECT_IN_USE : CONNECT_REFUSED;
}

void disconnect(Connection& c) {
    close_encoder(c);
    int ignored = shout_close(c.shout);  // "unconnected" after a failed attempt
    (void)ignored;
    c.send_failed = false;
}

// Takes the oldest item out of the queue into `item`; false when empty.
bool take_item(IcecastShared& s, ProgramItem& item, std::string* title_first) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.dropped_title_waiting) {
        *title_first = s.dropped_title;
        s.dropped_title_waiting = false;
    }
    if (s.count == 0) return false;
    ProgramItem& oldest = s.items[s.head];
    item.kind = oldest.kind;
    item.seq = oldest.seq;
    item.length = oldest.length;
    item.channels = oldest.channels;
    item.rate = oldest.rate;
    memcpy(item.bytes, oldest.bytes, static_cast<size_t>(oldest.length));
    s.head = (s.head + 1) % PROGRAM_QUEUE_ITEMS;
    --s.count;
    return true;
}

// What waited while the server was away is stale: only its title counts.
// (Skipped on purpose, it is not counted with what a full queue drops.)
void discard_waiting_audio(IcecastShared& s, std::string* title) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.dropped_title_waiting) *title = s.dropped_title;
    s.dropped_title_waiting = false;
    for (; s.count > 0; --s.count, s.head = (s.head + 1) % PROGRAM_QUEUE_ITEMS) {
        const ProgramItem& item = s.items[s.head];
        if (item.kind == ITEM_TITLE) title->assign(reinterpret_cast<const char*>(item.bytes), item.length);
    }
}

std::string item_text(const ProgramItem& item) {
    return std::string(reinterpret_cast<const char*>(item.bytes), static_cast<size_t>(item.length));
}

// Sends the program until the connection breaks or the station lets go.
// Returns the reason the connection ended ("" when the station let go).
std::string stream(IcecastShared& s, Connection& c, ProgramFrameDecoder& frames) {
    static thread_local ProgramItem item;
    ssize_t backlog = 0;
    auto progress = Clock::now();
    HttpProbe probe;
    struct CloseProbe {
        HttpProbe& probe;
        ~CloseProbe() { http_probe_close(probe); }
    } close_probe{probe};
    auto probe_started = Clock::now(), next_probe = Clock::now() + kProbeInterval;
    std::string answer_problem;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.wake.wait_for(lock, std::chrono::milliseconds(20),
                            [&] { return s.stopping || s.count > 0; });
            if (s.stopping) return "";
        }
        if (c.status_target_known && !http_probe_running(probe) && Clock::now() >= next_probe) {
            probe_started = Clock::now();
            next_probe = probe_started + kProbeInterval;
            if (!http_probe_start(probe, c.status_target, kStatusPage, &answer_problem))
                return "the server's status page cannot be asked: " + answer_problem;
        }
        if (http_probe_running(probe)) {
            int answered = http_probe_poll(probe, &answer_problem);
            if (answered < 0) return "the server no longer answers: " + answer_problem;
            if (answered == 0 && Clock::now() - probe_started > kProbeAnswer)
                return "the server stopped answering (no reply to a status request within " +
                       std::to_string(kProbeAnswer.count()) + " seconds)";
        }
        // Whatever libshout holds back goes first.
        errno = 0;
        int flushed = shout_send(c.shout, nullptr, 0);
        if (flushed != SHOUTERR_SUCCESS && flushed != SHOUTERR_BUSY)
            return shout_failure(c.shout, flushed, errno);
        ssize_t queued = shout_queuelen(c.shout);
        if (queued < backlog || queued == 0) progress = Clock::now();
        backlog = queued;
        if (queued > 0 && Clock::now() - progress > kStallTimeout)
            return "the server stopped taking the stream";
        if (queued > kMostBacklogBytes) {
            // Nothing is taken meanwhile (the queue drops the oldest); waiting
            // for the stop alone, as items keep coming.
            if (!pause_unless_stopped(s, 20)) return "";
            continue;
        }

        std::string title_first;
        for (int taken = 0; taken < 8; ++taken) {
            bool have = take_item(s, item, &title_first);
            if (!title_first.empty()) change_title(c, title_first);
            title_first.clear();
            if (!have) break;
            switch (item.kind) {
                case ITEM_TITLE: change_title(c, item_text(item)); break;
                case ITEM_AUDIO: {
                    int16_t samples[PROGRAM_ITEM_BYTES / 2];
                    memcpy(samples, item.bytes, static_cast<size_t>(item.length));
                    encode_audio(c, {samples, item.length / 2 / item.channels, item.channels, item.rate});
                    break;
                }
                case ITEM_FRAME:
                    frames.add(item.seq, item.bytes, item.length,
                               [&c](const uint8_t* samples, int count) { encode_decoded(c, samples, count); });
                    break;
            }
            if (c.send_failed) return c.failure;
        }
    }
}

// Connects, streams and reconnects until the station lets go.
void serve(IcecastShared& s, const IcecastConfig& config) {
    auto frames = std::make_unique<ProgramFrameDecoder>();
    Connection c;
    c.config = &config;
    std::string problem;
    c.shout_handle = make_shout(config, &problem);
    c.shout = c.shout_handle.get();
    if (!c.shout) {
        report(s, ICECAST_EVENT_LOST, problem);
        return;
    }
    std::string title;
    int retry_ms = ICECAST_FIRST_RETRY_MS;
    bool refused_told = false, in_use_told = false, refusal_seen = false;
    while (!stopping(s)) {
        problem.clear();
        int result = connect_server(s, c, &problem);
        if (result == CONNECT_STOPPED) break;
        if (result == CONNECT_OK) {
            if (!c.status_target_known)
                c.status_target_known = http_probe_target(config.target.host, config.target.port,
                                                          &c.status_target, &problem);
            discard_waiting_audio(s, &title);
            c.title = title;
            frames->reset();  // a part-block from before the break is not heard
            report(s, ICECAST_EVENT_ON_AIR, "");
            retry_ms = ICECAST_FIRST_RETRY_MS;
            refused_told = in_use_told = refusal_seen = false;
            problem = stream(s, c, *frames);
            title = c.title;
            disconnect(c);
            if (problem.empty()) break;  // the station let go
            report(s, ICECAST_EVENT_LOST, problem);
        } else {
            disconnect(c);
            // A source leaving the mount holds it a moment after it left the
            // status page: a refusal counts once a second attempt confirms it.
            if (result == CONNECT_REFUSED && !refusal_seen) {
                refusal_seen = true;
                if (!pause_unless_stopped(s, ICECAST_FIRST_RETRY_MS)) break;
                continue;
            }
            if (result == CONNECT_REFUSED) {
                if (!refused_told) report(s, ICECAST_EVENT_REFUSED, problem);
                refused_told = true;
                pause_unless_stopped(s, ICECAST_REFUSED_RETRY_MS);
                continue;
            }
            refusal_seen = false;
            // The other source may leave any moment: tried again as after a loss.
            if (result == CONNECT_IN_USE) {
                if (!in_use_told) report(s, ICECAST_EVENT_IN_USE, problem);
                in_use_told = true;
            } else {
                report(s, ICECAST_EVENT_LOST, problem);
            }
        }
        // While waiting the queue keeps only its newest audio; titles count.
        if (!pause_unless_stopped(s, retry_ms)) break;
        retry_ms = std::min(retry_ms * 2, ICECAST_LONGEST_RETRY_MS);
    }
    disconnect(c);
}

void run_worker(std::shared_ptr<IcecastShared> shared, IcecastConfig config) {
    // A server that closed the connection must not end the station: the
    // write then fails with EPIPE (the signal stays pending, blocked here).
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    IcecastShared& s = *shared;
    serve(s, config);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.finished = true;
    }
    s.wake.notify_all();
}

bool worker_finished(IcecastShared& s) {
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.finished;
}

// Joins the stopped workers that have ended; never waits for one that has not.
void join_finished_workers(IcecastLink& link) {
    auto& retired = link.retired;
    for (auto it = retired.begin(); it != retired.end();) {
        if (it->thread.joinable() && !worker_finished(*it->shared)) {
            ++it;
            continue;
        }
        if (it->thread.joinable()) it->thread.join();
        it = retired.erase(it);
    }
}

std::once_flag g_shout_ready;

}  // namespace

void start_icecast_link(IcecastLink& link, const IcecastConfig& config, std::function<void()> notify) {
    stop_icecast_link(link);
    std::call_once(g_shout_ready, [] { shout_init(); });
    link.shared = std::make_shared<IcecastShared>();
    link.shared->notify = std::move(notify);
    link.worker = std::thread(run_worker, link.shared, config);
}

void stop_icecast_link(IcecastLink& link) {
    if (!link.shared) return;
    {
        std::lock_guard<std::mutex> lock(link.shared->mutex);
        link.shared->stopping = true;
        link.shared->notify = nullptr;
    }
    link.shared->wake.notify_all();
    link.retired.push_back({std::move(link.shared), std::move(link.worker)});
    join_finished_workers(link);
}

IcecastLink::~IcecastLink() {
    stop_icecast_link(*this);
    auto deadline = Clock::now() + std::chrono::milliseconds(ICECAST_STOP_WAIT_MS);
    for (IcecastWorker& w : retired) {
        if (!w.thread.joinable()) continue;
        IcecastShared& s = *w.shared;
        std::unique_lock<std::mutex> lock(s.mutex);
        s.wake.wait_until(lock, deadline, [&] { return s.finished; });
    }
    join_finished_workers(*this);
    // Only a worker inside the system's look-up of a host name is left.
    for (IcecastWorker& w : retired)
        if (w.thread.joinable()) w.thread.detach();
}

bool icecast_link_running(const IcecastLink& link) { return link.shared != nullptr; }

namespace {

// Puts one item at the queue's end; a full queue lets its oldest go.
// Called with the queue's lock held.
void push_item(IcecastShared& s, int kind, uint32_t seq, const uint8_t* bytes, int length,
               int channels, int rate) {
    if (s.count == PROGRAM_QUEUE_ITEMS) {
        ProgramItem& oldest = s.items[s.head];
        if (oldest.kind == ITEM_TITLE) {
            s.dropped_title = item_text(oldest);
            s.dropped_title_waiting = true;
        } else {
            ++s.dropped_items;
        }
        s.head = (s.head + 1) % PROGRAM_QUEUE_ITEMS;
        --s.count;
    }
    ProgramItem& item = s.items[(s.head + s.count) % PROGRAM_QUEUE_ITEMS];
    item.kind = kind;
    item.seq = seq;
    item.length = length;
    item.channels = channels;
    item.rate = rate;
    memcpy(item.bytes, bytes, static_cast<size_t>(length));
    ++s.count;
}

}  // namespace

void queue_program_item(IcecastLink& link, int kind, uint32_t seq, const uint8_t* bytes, int length) {
    if (!link.shared) return;
    IcecastShared& s = *link.shared;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        push_item(s, kind, seq, bytes, std::clamp(length, 0, PROGRAM_ITEM_BYTES), 1, 0);
    }
    s.wake.notify_one();
}

void queue_program_audio(IcecastLink& link, const ProgramAudio& audio) {
    if (!link.shared || audio.channels < 1 || audio.channels > 2 || audio.rate <= 0) return;
    IcecastShared& s = *link.shared;
    const int frame_bytes = 2 * audio.channels;
    const int frames_per_item = PROGRAM_ITEM_BYTES / frame_bytes;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (int at = 0; at < audio.frames; at += frames_per_item) {
            const int frames = std::min(frames_per_item, audio.frames - at);
            push_item(s, ITEM_AUDIO, 0,
                      reinterpret_cast<const uint8_t*>(audio.samples + static_cast<size_t>(at) * audio.channels),
                      frames * frame_bytes, audio.channels, audio.rate);
        }
    }
    s.wake.notify_one();
}

int64_t dropped_program_items(const IcecastLink& link) {
    if (!link.shared) return 0;
    std::lock_guard<std::mutex> lock(link.shared->mutex);
    return link.shared->dropped_items;
}

std::vector<IcecastEvent> take_icecast_events(IcecastLink& link, int64_t* dropped_items) {
    std::vector<IcecastEvent> events;
    if (!link.shared) return events;
    std::lock_guard<std::mutex> lock(link.shared->mutex);
    events.swap(link.shared->events);
    if (dropped_items) *dropped_items = link.shared->dropped_items;
    return events;
}
