// velmora-listen: a listener for a station on this machine. It joins, keeps
// its place with keep-alives (the first right after "STARTSEQ": a station
// drops a listener it has not heard from within 4 seconds of its join),
// joins again when the audio stops for 3 seconds, asks for resends of lost
// packets while the station still holds them, decodes the audio in time
// order to a WAV file (softening the steps the codec leaves at chunk
// edges), prints the song texts and a summary, and leaves on
// exit or Ctrl+C.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/version.h"
#include "codec/decoder.h"
#include "codec/edge_smoothing.h"
#include "codec/picture_coder.h"
#include "codec/picture_decoder.h"
#include "codec/super_block.h"
#include "platform/clock.h"
#include "platform/udp_socket.h"
#include "server/bmp_header.h"
#include "server/packet.h"
#include "codec/wav_writer.h"

namespace {

// A station answers a join at once; this long without an answer means none runs there.
constexpr uint32_t kNoAnswerMs = 5000;

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Options {
    std::string host;
    int port = 3456;
    std::string bind_address = "127.0.0.1";
    bool companion = false;
    std::string user;
    double seconds = 10;
    std::string wav;
    std::string pictures;  // directory for the received pictures; empty: none fetched
    bool smoothing = true;  // soften the steps the codec leaves at chunk edges
};

void usage(FILE* out) {
    fprintf(out,
            "usage: velmora-listen HOST [--port P] [--companion] [--user ID] [--seconds N]\n"
            "                      [--wav OUT.wav] [--pictures DIR] [--bind ADDRESS]\n"
            "                      [--no-smoothing]\n"
            "       velmora-listen --help | --version\n"
            "  HOST         the station's address (a 127.x.y.z address: this listener\n"
            "               talks to stations on this machine only)\n"
            "  --port P     the station's port (default 3456)\n"
            "  --companion  receive the companion (double-rate) stream\n"
            "  --user ID    join as a listener of a station that keeps a user list\n"
            "  --seconds N  listen this long (default 10), Ctrl+C ends earlier; without\n"
            "               an answer from the station it gives up after 5 seconds\n"
            "  --wav FILE   write the decoded audio as 8-bit mono WAV\n"
            "  --pictures DIR  fetch every picture the station shows and save it as BMP\n"
            "  --bind ADDR  the local address to listen on (default 127.0.0.1)\n"
            "  --no-smoothing  keep the steps the codec leaves at 256-sample chunk edges\n"
            "               (by default they are softened to spare the clicks)\n");
}

// Seconds to listen: above 0 and at most this, so that the milliseconds fit the clock.
constexpr double kMaxSeconds = 1000000;

bool parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "velmora-listen: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        const char* v = nullptr;
        if (a == "--companion") o.companion = true;
        else if (a == "--no-smoothing") o.smoothing = false;
        else if (a == "--port") { if (!(v = value("--port"))) return false; o.port = atoi(v); }
        else if (a == "--user") { if (!(v = value("--user"))) return false; o.user = v; }
        else if (a == "--seconds") {
            if (!(v = value("--seconds"))) return false;
            char* end = nullptr;
            o.seconds = strtod(v, &end);
            if (end == v || *end || !(o.seconds > 0 && o.seconds <= kMaxSeconds)) {
                fprintf(stderr, "velmora-listen: --seconds takes a number above 0 and up to %.0f, not %s\n",
                        kMaxSeconds, v);
                return false;
            }
        }
        else if (a == "--wav") { if (!(v = value("--wav"))) return false; o.wav = v; }
        else if (a == "--pictures") { if (!(v = value("--pictures"))) return false; o.pictures = v; }
        else if (a == "--bind") { if (!(v = value("--bind"))) return false; o.bind_address = v; }
        else if (!a.empty() && a[0] == '-') { fprintf(stderr, "velmora-listen: unknown option %s\n", a.c_str()); return false; }
        else if (o.host.empty()) o.host = a;
        else { fprintf(stderr, "velmora-listen: more than one station given\n"); return false; }
    }
    if (o.host.empty()) return false;
    if (o.port <= 0 || o.port > 65535) {
        fprintf(stderr, "velmora-listen: bad port %d\n", o.port);
        return false;
    }
    return true;
}

// A 24-bit BMP of `width` x `height` (width a multiple of 4, so rows need
// no padding), rows as stored: bottom row first.
bool write_bmp24(const char* path, int width, int height, const uint8_t* pixels) {
    uint8_t header[BMP_HEADER_SIZE];
    make_bmp24_header(header, width, height);
    size_t image = static_cast<size_t>(bmp24_row_bytes(width)) * static_cast<size_t>(height);
    FILE* f = fopen(path, "wb");
    if (!f) return false;
    bool ok = fwrite(header, 1, sizeof header, f) == sizeof header &&
              fwrite(pixels, 1, image, f) == image;
    return (fclose(f) == 0) && ok;
}

bool is_loopback(const sockaddr_in& a) { return (ntohl(a.sin_addr.s_addr) >> 24) == 127; }

// The station's sampling rate from the rate code of its join reply.
int rate_from_code(uint16_t flags) {
    int family = (flags & PF_RATE_44100) ? 44100 : (flags & PF_RATE_22050) ? 22050 : 11025;
    return (flags & PF_RATE_EXACT) ? family : family * 8000 / 11025;
}

struct Listener {
    Options options;
    int socket = -1;
    sockaddr_in station{};
    uint32_t session = 0;
    int sampling_rate = 0;
    bool admitted = false;
    std::map<uint32_t, std::vector<uint8_t>> frames;  // by seq, the chosen stream
    uint32_t highest_seq = 0;
    bool have_seq = false;
    std::map<uint32_t, int> asked;  // seq -> resend requests sent
    int audio_packets = 0, probes = 0, gaps = 0, recovered = 0;

    // The picture being fetched: its tile grid and the tiles that arrived.
    struct Picture {
        int columns = 0, rows = 0;
        std::map<int, std::vector<uint8_t>> tiles;  // by row * columns + column
        std::map<int, int> asked;
        uint32_t last_request_ms = 0;
        bool active = false;
    } picture;
    int pictures_fetched = 0;  // numbers the files
    int pictures_saved = 0;    // those written
    uint32_t last_keepalive_ms = 0;
    int packets_since_keepalive = 0;
    uint32_t last_audio_ms = 0;  // or the admission, before the first audio

    void send(uint32_t seq, uint32_t sess, uint16_t flags, const void* payload, int length) {
        uint8_t bytes[MAX_DATAGRAM];
        PacketHeader h{seq, sess, flags, static_cast<uint16_t>(length)};
        put_packet_header(h, bytes);
        if (length > 0) memcpy(bytes + PACKET_HEADER_SIZE, payload, length);
        udp_send_to(socket, bytes, PACKET_HEADER_SIZE + length, 0, &station, sizeof station);
    }

    void join() {
        std::string text = options.user.empty() ? "velmora-listen" : "USERID " + options.user;
        send(0, 0, PF_TEXT | (options.companion ? PF_COMPANION : 0), text.c_str(),
             static_cast<int>(text.size()) + 1);
    }

    void keep_alive() {
        uint8_t stats[16] = {};
        stats[0] = static_cast<uint8_t>(audio_packets);
        stats[2] = static_cast<uint8_t>(gaps);
        send(0, session, PF_KEEPALIVE, stats, sizeof stats);
        last_keepalive_ms = monotonic_ms();
        packets_since_keepalive = 0;
    }

    // Ask once more for every missing packet the station may still hold (its
    // resend store keeps the last 80 audio datagrams).
    void request_resends() {
        if (!have_seq || options.companion) return;
        uint32_t oldest = highest_seq > 60 ? highest_seq - 60 : 0;
        for (uint32_t seq = oldest; seq < highest_seq; ++seq) {
            if (frames.count(seq)) continue;
            int& n = asked[seq];
            if (n >= 2) continue;
            ++n;
            send(seq, session, PF_KEEPALIVE, nullptr, 0);
        }
    }

    void on_text(const ReceivedDatagram& d) {
        const char* text = reinterpret_cast<const char*>(d.payload);
        int length = d.header.length;
        auto second = [&](int at) -> const char* {
            return at < length ? text + at : "";
        };
        if (strcmp(text, "STARTSEQ") == 0) {
            const char* name = second(9);
            const char* song = second(9 + static_cast<int>(strlen(name)) + 1);
            session = d.header.session;
            sampling_rate = rate_from_code(d.header.flags);
            admitted = true;
            last_audio_ms = monotonic_ms();
            keep_alive();  // the station keeps only listeners it hears from
            printf("joined \"%s\" at %d Hz (session %u)\n", name, sampling_rate, session);
            if (*song) printf("now playing: %s\n", song);
            // The picture being shown was announced before we came: ask for it.
            if (!options.pictures.empty()) send_picture_request("GETPAL");
        } else if (strcmp(text, "SONGTEXT") == 0) {
            printf("song: %s\n", second(9));
        } else if (strncmp(text, "BMPPAL", 6) == 0 && length >= 12) {
            int columns = 0, rows = 0;
            sscanf(text + 6, "%3d%3d", &columns, &rows);
            bool notice = length > 12;  // the sender's notice ends with a NUL, the reply does not
            if (notice) {
                printf("picture: %d x %d tiles\n", columns, rows);
                if (!options.pictures.empty()) {
                    save_picture();
                    picture = Picture{};
                    send_picture_request("GETPAL");
                }
            } else if (!options.pictures.empty() && columns > 0 && rows > 0 && columns <= 64 &&
                       rows <= 64 && !picture.active) {
                picture.columns = columns;
                picture.rows = rows;
                picture.active = true;
                request_tiles();
            }
        } else if (strncmp(text, "BMPXY", 5) == 0 && length >= 11 && picture.active) {
            int column = -1, row = -1;
            std::vector<uint8_t> tile(PICTURE_TILE_BYTES);
            // A damaged position ("-01") must not land outside the grid.
            if (sscanf(text + 5, "%3d%3d", &column, &row) == 2 && column >= 0 && row >= 0 &&
                column < picture.columns && row < picture.rows &&
                decode_picture_tile(d.payload + 11, length - 11, tile.data()))
                picture.tiles[row * picture.columns + column] = std::move(tile);
            if (static_cast<int>(picture.tiles.size()) == picture.columns * picture.rows)
                save_picture();
        } else if (strcmp(text, "Busy") == 0 || strcmp(text, "BUSY") == 0 ||
                   strcmp(text, "IntranetOnly") == 0) {
            printf("refused: %s%s%s\n", text, strcmp(text, "BUSY") == 0 ? " " : "",
                   strcmp(text, "BUSY") == 0 ? second(5) : "");
            g_stop = 2;
        }
        fflush(stdout);
    }

    static constexpr uint32_t kLongestGap = 1000;  // packets

    void on_audio(const ReceivedDatagram& d) {
        bool is_companion = d.header.flags & PF_COMPANION;
        if (is_companion != options.companion) return;
        uint32_t seq = d.header.seq;
        if (asked.count(seq) && !frames.count(seq)) ++recovered;
        frames[seq].assign(d.payload, d.payload + d.header.length);
        ++audio_packets;
        last_audio_ms = monotonic_ms();
        if (++packets_since_keepalive >= 40) keep_alive();
        if (!have_seq) {
            have_seq = true;
            highest_seq = seq;
        } else if (seq > highest_seq + kLongestGap) {
            // Not a gap the station could fill: a stray or a restarted counter.
            highest_seq = seq;
        } else if (seq > highest_seq) {
            if (seq > highest_seq + 1) {
                gaps += static_cast<int>(seq - highest_seq - 1);
                highest_seq = seq;
                request_resends();
            }
            highest_seq = seq;
        }
    }

    void send_picture_request(const char* text) {
        send(0, session, PF_TEXT | PF_PICTURE, text, static_cast<int>(strlen(text)) + 1);
    }

    // Asks for the tiles still missing, each at most four times; tiles too
    // big for one datagram never come and stay grey.
    void request_tiles() {
        picture.last_request_ms = monotonic_ms();
        for (int r = 0; r < picture.rows; ++r)
            for (int c = 0; c < picture.columns; ++c) {
                int index = r * picture.columns + c;
                if (picture.tiles.count(index) || picture.asked[index] >= 4) continue;
                ++picture.asked[index];
                char request[32];
                snprintf(request, sizeof request, "GETBMPXY%03d%03d", c, r);
                send_picture_request(request);
            }
    }

    void retry_tiles() {
        if (!picture.active || monotonic_ms() - picture.last_request_ms < 500) return;
        if (static_cast<int>(picture.tiles.size()) < picture.columns * picture.rows) request_tiles();
    }

    // Writes the tiles that arrived as one 24-bit BMP, rows stored bottom first
    // like the station's picture.
    void save_picture() {
        if (!picture.active || picture.tiles.empty()) return;
        picture.active = false;
        int width = picture.columns * 32, height = picture.rows * 32;
        std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3, 128);
        for (auto& [index, tile] : picture.tiles) {
            int c = index % picture.columns, r = index / picture.columns;
            for (int y = 0; y < 32; ++y)
                memcpy(&pixels[(static_cast<size_t>(r * 32 + y) * width + c * 32) * 3],
                       &tile[static_cast<size_t>(y) * 96], 96);
        }
        char name[64];
        snprintf(name, sizeof name, "/picture_%02d.bmp", ++pictures_fetched);
        std::string path = options.pictures + name;
        if (write_bmp24(path.c_str(), width, height, pixels.data())) {
            ++pictures_saved;
            printf("picture saved: %s (%zu of %d tiles)\n", path.c_str(), picture.tiles.size(),
                   picture.columns * picture.rows);
        } else {
            fprintf(stderr, "velmora-listen: cannot write %s\n", path.c_str());
        }
        fflush(stdout);
    }

    void receive_one() {
        uint8_t bytes[MAX_DATAGRAM];
        sockaddr_in from{};
        int from_len = sizeof from;
        int n = udp_receive_from(socket, bytes, sizeof bytes, &from, &from_len);
        if (n < PACKET_HEADER_SIZE || from.sin_addr.s_addr != station.sin_addr.s_addr) return;
        ReceivedDatagram d;
        if (!parse_datagram(bytes, n, d)) return;
        if (d.header.flags & PF_AUDIO) on_audio(d);
        else if (d.header.flags & PF_UPGRADE) ++probes;
        else if (d.header.flags & PF_TEXT) on_text(d);
    }

    // Whole super-blocks in time order, lost frames as silence. The block we
    // joined inside and an unfinished last block are left out. Blocks that
    // never arrived at all become silence when the hole is short; a longer
    // one (a stray seq, a restarted station) is skipped rather than filled.
    // `steps` gets the quantiser step of each chunk's frame, 0 where lost.
    std::vector<uint8_t> decode_audio(int* lost, std::vector<float>* steps) const {
        constexpr uint32_t kLongestSilentHole = 16;  // super-blocks
        std::vector<uint8_t> samples;
        *lost = 0;
        if (frames.empty()) return samples;
        std::vector<uint32_t> bases;
        for (const auto& [seq, frame] : frames)
            if (bases.empty() || bases.back() != seq / 8 * 8) bases.push_back(seq / 8 * 8);
        if (frames.begin()->first % 8 != 0) bases.erase(bases.begin());
        if (!bases.empty() && frames.rbegin()->first < bases.back() + 7) bases.pop_back();

        static uint8_t silence[kSuperBlockSamples];
        memset(silence, 128, sizeof silence);
        for (size_t i = 0; i < bases.size(); ++i) {
            uint32_t hole = i > 0 ? (bases[i] - bases[i - 1]) / 8 - 1 : 0;
            if (hole <= kLongestSilentHole)
                for (uint32_t h = 0; h < hole; ++h) {
                    samples.insert(samples.end(), silence, silence + kSuperBlockSamples);
                    steps->insert(steps->end(), kSuperBlockSamples / kChunkSamples, 0.0f);
                    *lost += 8;
                }
            append_block(bases[i], samples, lost, steps);
        }
        return samples;
    }

    void append_block(uint32_t base, std::vector<uint8_t>& samples, int* lost,
                      std::vector<float>* steps) const {
        static uint8_t block_frames[kFramesPerSuperBlock][kFrameSamples];
        static uint8_t block[kSuperBlockSamples];
        float frame_steps[kFramesPerSuperBlock] = {};
        for (int n = 0; n < 8; ++n) {
            auto it = frames.find(base + n);
            if (it == frames.end()) ++*lost;
            if (it == frames.end() ||
                !decode_frame(it->second.data(), static_cast<int>(it->second.size()),
                              block_frames[n]))
                memset(block_frames[n], 128, kFrameSamples);
            else
                frame_steps[n] = frame_sample_step(it->second.data(), static_cast<int>(it->second.size()));
        }
        deinterleave_super_block(block_frames, block);
        samples.insert(samples.end(), block, block + kSuperBlockSamples);
        for (int c = 0; c < kSuperBlockSamples / kChunkSamples; ++c)
            steps->push_back(frame_steps[c % kFramesPerSuperBlock]);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (answer_help_or_version(argc, argv, "velmora-listen", usage)) return 0;
    Listener l;
    if (!parse_options(argc, argv, l.options)) {
        usage(stderr);
        return 2;
    }
    Options& o = l.options;
    if (!ipv4_from_dotted(o.host.c_str(), static_cast<uint16_t>(o.port), &l.station) ||
        !is_loopback(l.station)) {
        fprintf(stderr, "velmora-listen: %s is not a 127.x.y.z address\n", o.host.c_str());
        return 2;
    }
    sockaddr_in local{};
    if (!ipv4_from_dotted(o.bind_address.c_str(), 0, &local) || !is_loopback(local)) {
        fprintf(stderr, "velmora-listen: %s is not a 127.x.y.z address\n", o.bind_address.c_str());
        return 2;
    }
    l.socket = udp_open();
    if (l.socket < 0 || udp_bind(l.socket, local.sin_addr.s_addr, 0) != 0) {
        fprintf(stderr, "velmora-listen: cannot open a socket on %s\n", o.bind_address.c_str());
        return 1;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    // The audio stopped this long: the station lost us (or restarted).
    constexpr uint32_t kRejoinAfterMs = 3000;
    uint32_t start = monotonic_ms();
    uint32_t duration = static_cast<uint32_t>(o.seconds * 1000);
    uint32_t last_join = start;
    l.join();
    while (!g_stop && monotonic_ms() - start < duration) {
        pollfd p{l.socket, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            while (udp_readable(l.socket)) l.receive_one();
        }
        uint32_t now = monotonic_ms();
        if (!l.admitted && now - last_join > 1000) {  // the join or its reply got lost
            l.join();
            last_join = now;
        }
        if (l.admitted && now - l.last_audio_ms > kRejoinAfterMs && now - last_join > kRejoinAfterMs) {
            printf("no audio for %u seconds: joining again\n", kRejoinAfterMs / 1000);
            fflush(stdout);
            l.join();
            last_join = now;
        }
        if (l.admitted && now - l.last_keepalive_ms > 2000) l.keep_alive();
        l.retry_tiles();
        if (!l.admitted && now - start >= kNoAnswerMs) break;
    }
    if (!l.admitted && g_stop != 2) {
        fprintf(stderr, "velmora-listen: no station answered at %s port %d\n", o.host.c_str(), o.port);
        udp_close(l.socket);
        return 1;
    }
    l.save_picture();
    if (l.admitted) l.send(0, l.session, PF_LEAVE, nullptr, 0);

    int lost = 0;
    std::vector<float> chunk_steps;
    std::vector<uint8_t> samples = l.decode_audio(&lost, &chunk_steps);
    if (o.smoothing) smooth_chunk_edges(samples.data(), samples.size(), chunk_steps.data());
    if (!o.wav.empty() && l.sampling_rate > 0) {
        if (!write_wav_u8_mono(o.wav.c_str(), l.sampling_rate, samples.data(),
                               static_cast<uint32_t>(samples.size()))) {
            fprintf(stderr, "velmora-listen: cannot write %s\n", o.wav.c_str());
            return 1;
        }
        printf("wrote %s: %zu samples at %d Hz\n", o.wav.c_str(), samples.size(), l.sampling_rate);
    }
    printf("summary: packets %d, probes %d, gaps %d, recovered %d, lost %d, pictures %d\n",
           l.audio_packets, l.probes, l.gaps, l.recovered, lost, l.pictures_saved);
    udp_close(l.socket);
    if (g_stop == 2) return 3;  // refused by the station
    return l.admitted ? 0 : 1;
}
