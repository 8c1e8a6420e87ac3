// An output of the program as the station sees it: a recording output among
// the station's outputs hears a real broadcast (started by its command, sent
// by the sender or pumped from the recording device, stopped by its command)
// in order, and the status lines and the status report list it by name.

#include "media/program_sink.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>

#include "app/context.h"
#include "app/controller.h"
#include "app/program.h"
#include "app/station.h"
#include "app/status_report.h"
#include "app/status_text.h"
#include "live/live_ring.h"
#include "media/picture_slots.h"
#include "server/sender.h"
#include "station_test_support.h"
#include "support/fake_host.h"
#include "support/synthetic_picture.h"

namespace {

// Writes down what it is fed, one line per call, and counts the audio.
struct RecordingSink final : ProgramSink {
    std::vector<std::string>& heard;
    int audio_calls = 0;
    bool running = false;

    explicit RecordingSink(std::vector<std::string>& log) : heard(log) {}

    std::string name() const override { return "Recorder"; }
    bool started(Services&, const ProgramInfo& program) override {
        running = true;
        channels = program.channels;
        heard.push_back("started");
        return true;
    }
    // The test's frames begin with their song's number.
    void program_frame(uint32_t seq, const uint8_t* frame, int length) override {
        ++audio_calls;
        heard.push_back("frame of song " + std::to_string(length > 0 ? frame[0] : -1));
        seqs.push_back(seq);
    }
    void program_audio(const ProgramAudio& audio) override {
        ++audio_calls;
        heard.push_back("samples " + std::to_string(audio.frames) + " x" + std::to_string(audio.channels) +
                        " at " + std::to_string(audio.rate));
        last_samples.assign(audio.samples, audio.samples + audio.frames * audio.channels);
    }
    void title(const char* text) override { heard.push_back(std::string("title ") + text); }
    void picture(const PictureSlot& picture) override {
        heard.push_back("picture " + std::to_string(picture.width) + "x" +
                        std::to_string(picture.height));
    }
    void stopped(Services&) override {
        running = false;
        heard.push_back("stopped");
    }
    std::string status(const Services&) const override {
        return running ? "recording (" + std::to_string(audio_calls) + " blocks)" : "idle";
    }
    std::vector<OutputValue> status_values() const override {
        return {{"state", OutputValueKind::Text, 0, running ? "recording" : "idle", "what it does"},
                {"blocks", OutputValueKind::Counter, audio_calls, "", "audio calls heard"}};
    }

    std::vector<uint32_t> seqs;
    std::vector<int16_t> last_samples;
    int channels = 0;  // of the program, as the last start told
};

// The log with each run of equal lines written once.
std::vector<std::string> runs(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (out.empty() || out.back() != line) out.push_back(line);
    return out;
}

// A sound card that opens, and whose boxes take the operator a second.
class CardHost : public FakeHost {
public:
    int program_channels = 0;  // of the card's own recording for the outputs
    int capture_program_channels() override { return program_channels; }
    CaptureAnswer capture_query(int) override { return CaptureAnswer::ok; }
    CaptureAnswer capture_open(int, char* error_text, int) override {
        error_text[0] = '\0';
        return CaptureAnswer::ok;
    }
    Answer message_box(const char* text, const char* caption, BoxStyle style, bool owned) override {
        ++now;
        return FakeHost::message_box(text, caption, style, owned);
    }
};

struct ProgramSinkTest : ::testing::Test {
    CardHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;
    std::string station_ip = test_ip(71);
    std::string master_ip = test_ip(72);
    std::string script = dir.file("show.VSK");
    std::vector<std::string> heard;
    RecordingSink& recorder = ctx->outputs.add(std::make_unique<RecordingSink>(heard));

    void SetUp() override {
        StationState& s = ctx->state;
        set_test_station(*ctx, dir, station_ip, master_ip);
        ctx->station.lists_without_port_told = true;
        s.AutoStart = 2;  // no box before the start
        s.SamplingRate = 16000;
        s.device_rate = 16000;
        s.TransferRate = 2000;
        ctx->live_ring.feed_mode = FeedMode::script;
        s.StationScript = script;
        // Two songs of 10 frames, each frame's first byte its song; the
        // second song comes with a picture.
        write_file(dir.file("wide.bmp"), gradient_bmp(96, 64));
        std::string bytes = "2 16000 010 SCRIPT";
        bytes.push_back('\0');
        for (int song = 1; song <= 2; ++song) {
            std::string name = dir.file("song" + std::to_string(song) + ".VMA");
            write_file(name, sample_file(std::vector<std::string>(10, std::string(20, char(song))),
                                         16000, 10));
            std::string picture = song == 2 ? dir.file("wide.bmp") : "";
            bytes += "1 " + name + " \"" + picture + "\" Song " + std::to_string(song);
            bytes.push_back('\0');
        }
        write_file(script, bytes);
    }
    void TearDown() override { close_station(*ctx); }

    void ticks(int count) {
        for (int i = 0; i < count; ++i) ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    }
};

TEST_F(ProgramSinkTest, a_script_broadcast_reaches_an_output_in_order_and_the_status_lists_it) {
    EXPECT_EQ(outputs_line(*ctx), "Recorder idle");
    on_command(*ctx, Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting) << host.last_message();
    ticks(22);  // song 1 (seq 0-9), song 2 (16-25), song 1 again (32, 33)
    EXPECT_EQ(outputs_line(*ctx), "Recorder recording (22 blocks)");
    nlohmann::json status = nlohmann::json::parse(status_json(collect_status(*ctx)));
    EXPECT_EQ(status["recorder"]["state"], "recording");
    EXPECT_EQ(status["recorder"]["blocks"], 22);
    EXPECT_EQ(status["icecast"]["state"], "off");  // the output not configured is still listed
    on_command(*ctx, Command::start_stop);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    close_station(*ctx);  // as the program's end does: no second "stopped"
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "stopped"), 1);

    EXPECT_EQ(runs(heard), (std::vector<std::string>{"started",
                                                     "title Song 1",
                                                     "frame of song 1",
                                                     "title Song 2",
                                                     "frame of song 2",
                                                     "picture 96x64",
                                                     "frame of song 2",
                                                     "title Song 1",
                                                     "frame of song 1",
                                                     "picture 0x0",  // none from here on
                                                     "frame of song 1",
                                                     "stopped"}));
    // Each frame with the seq the listeners got it with: songs start on a
    // multiple of 8.
    ASSERT_EQ(recorder.seqs.size(), 22u);
    EXPECT_EQ(recorder.seqs[0], 0u);
    EXPECT_EQ(recorder.seqs[9], 9u);
    EXPECT_EQ(recorder.seqs[10], 16u);
    EXPECT_EQ(recorder.seqs[19], 25u);
    EXPECT_EQ(recorder.seqs[20], 32u);
    EXPECT_EQ(outputs_line(*ctx), "Recorder idle");
}

TEST_F(ProgramSinkTest, a_live_broadcast_reaches_an_output_with_the_captured_samples) {
    ctx->live_ring.feed_mode = FeedMode::live_priming;
    ASSERT_EQ(allocate_live_ring(ctx->live_ring), 1);  // as the program's start does
    on_command(*ctx, Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting) << host.last_message();
    ASSERT_TRUE(ctx->capture.open);
    // Three buffers come back from the card: a rising ramp of 2048 samples each.
    for (int id = 0; id < 3; ++id) {
        uint8_t* data = ctx->capture.buffers.get() + id * CAPTURE_BUFFER_BYTES;
        for (int i = 0; i < 2048; ++i) data[i] = static_cast<uint8_t>(i / 8);
        on_capture_buffer(*ctx, id, 2048);
    }
    EXPECT_EQ(outputs_line(*ctx), "Recorder recording (3 blocks)");
    // What the listeners hear, no script frame besides: the ramp itself.
    ASSERT_EQ(recorder.last_samples.size(), 2048u);
    EXPECT_EQ(recorder.last_samples[0], -128 * 256);
    EXPECT_EQ(recorder.last_samples[2047], 127 * 256);
    on_command(*ctx, Command::start_stop);
    finish_stop(*ctx);  // what the sender does once the ring has drained
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(runs(heard), (std::vector<std::string>{"started", "samples 2048 x1 at 16000", "stopped"}));
}

// A card that records stereo for the outputs: they start in stereo and take
// its samples at its own rate, never the 8-bit block, which the listeners'
// frames still take.
TEST_F(ProgramSinkTest, a_stereo_card_starts_the_outputs_in_stereo_and_feeds_them_its_own_samples) {
    host.program_channels = 2;
    ctx->live_ring.feed_mode = FeedMode::live_priming;
    ASSERT_EQ(allocate_live_ring(ctx->live_ring), 1);
    on_command(*ctx, Command::start);
    ASSERT_TRUE(ctx->capture.open) << host.last_message();
    EXPECT_EQ(recorder.channels, 2);

    uint8_t* data = ctx->capture.buffers.get();
    for (int i = 0; i < 2048; ++i) data[i] = static_cast<uint8_t>(i / 8);
    std::vector<int16_t> stereo(2 * 5645);  // 2048 samples at 16000 Hz last 5644.8 at 44100
    for (size_t i = 0; i < stereo.size(); ++i) stereo[i] = i % 2 ? -1000 : 1000;
    const ProgramAudio card{stereo.data(), 5645, 2, 44100};
    on_capture_buffer(*ctx, 0, 2048, &card);
    EXPECT_EQ(ctx->capture.block[2047], 255);  // the listeners' block: the 8-bit buffer
    // A buffer whose recording came short: nothing rather than the block,
    // which has another rate and channel count.
    on_capture_buffer(*ctx, 1, 2048, nullptr);
    EXPECT_EQ(runs(heard), (std::vector<std::string>{"started", "samples 5645 x2 at 44100"}));
    ASSERT_EQ(recorder.last_samples.size(), stereo.size());
    EXPECT_EQ(recorder.last_samples[1], -1000);
}

}  // namespace
