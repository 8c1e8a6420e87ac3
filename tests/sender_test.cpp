#include "server/sender.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "app/controller.h"
#include "app/panel_view.h"
#include "server/control_datagrams.h"
#include "station_test_support.h"
#include "support/synthetic_picture.h"

namespace {

using Datagrams = std::vector<std::vector<uint8_t>>;

// Frames are told apart by their bytes: song `s`, frame `f`, main or companion.
std::string frame(int song, int f, bool companion = false, int size = 20) {
    std::string bytes(static_cast<size_t>(size), static_cast<char>(companion ? 0xC0 : 0x40));
    bytes[0] = static_cast<char>(song);
    bytes[1] = static_cast<char>(f);
    return bytes;
}

std::vector<std::string> frames(int song, int count, bool companion = false) {
    std::vector<std::string> all;
    for (int f = 0; f < count; ++f) all.push_back(frame(song, f, companion));
    return all;
}

std::string payload_text(const std::vector<uint8_t>& datagram) {
    auto payload = payload_of(datagram);
    return std::string(payload.begin(), payload.end());
}

// The picture notices ("BMPPAL..." texts) among `all`, in order.
Datagrams picture_notices(const Datagrams& all) {
    Datagrams notices;
    for (const auto& d : with_flags(all, PF_TEXT))
        if (payload_text(d).rfind("BMPPAL", 0) == 0) notices.push_back(d);
    return notices;
}

struct SenderTest : StationTest {
    // Script entry with a song made of `main` frames and, unless empty, a
    // companion file of `companion` frames.
    void add_song(int count, const std::string& name, const std::vector<std::string>& main,
                  const std::vector<std::string>& companion, const std::string& text) {
        std::string song = dir.file(name + ".VMA");
        write_file(song, sample_file(main));
        if (!companion.empty()) write_file(dir.file(name + ".V40"), sample_file(companion));
        ScriptEntry entry;
        entry.count = count;
        snprintf(entry.song, sizeof entry.song, "%s", song.c_str());
        snprintf(entry.text, sizeof entry.text, "%s", text.c_str());
        ctx->script.entries.push_back(entry);
        ctx->script.loaded = true;
        ctx->script.script_entries = static_cast<int>(ctx->script.entries.size());
    }

    void add_song(int count, int id, int frame_count) {
        add_song(count, "song" + std::to_string(id), frames(id, frame_count),
                 frames(id, frame_count, true), "Song " + std::to_string(id));
    }

    // Joins from `listener` and runs the tick that admits it.
    void join(LoopbackSocket& listener, bool companion = false) {
        send_control(listener.fd(), station_addr(), PF_TEXT | (companion ? PF_COMPANION : 0),
                     std::string("hello", 6));
        ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    }

    void ticks(int count) {
        for (int i = 0; i < count; ++i) ASSERT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    }

    ListenerEntry* entry_of(const LoopbackSocket& listener) {
        int index = find_listener(ctx->listeners, listener.addr());
        return index < 0 ? nullptr : &ctx->listeners.entries[index];
    }
};

// (song id, frame index) of the audio datagrams in order.
std::vector<std::pair<int, int>> audio_frames(const Datagrams& all, uint16_t flags = PF_AUDIO) {
    std::vector<std::pair<int, int>> seen;
    for (const auto& d : with_flags(all, flags)) seen.push_back({d[12], d[13]});
    return seen;
}

std::vector<uint32_t> audio_seqs(const Datagrams& all, uint16_t flags = PF_AUDIO) {
    std::vector<uint32_t> seqs;
    for (const auto& d : with_flags(all, flags)) seqs.push_back(header_of(d).seq);
    return seqs;
}

TEST_F(SenderTest, a_join_gets_startseq_then_audio_stamped_with_its_admission) {
    add_song(1, 1, 3);
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);

    Datagrams got = listener.receive_all();
    auto startseq = texts_tagged(got, "STARTSEQ");
    ASSERT_EQ(startseq.size(), 1u);
    EXPECT_EQ(header_of(startseq[0]).session, static_cast<uint32_t>(host.now));
    EXPECT_EQ(with_flags(got, PF_UPGRADE).size(), 9u);

    auto song_text = texts_tagged(got, "SONGTEXT");
    ASSERT_EQ(song_text.size(), 1u);
    EXPECT_EQ(text_parts(song_text[0]), (std::vector<std::string>{"SONGTEXT", "Song 1"}));
    EXPECT_EQ(header_of(song_text[0]).length, std::string("Song 1").size() + 10);

    auto audio = with_flags(got, PF_AUDIO);
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(header_of(audio[0]).seq, 0u);
    EXPECT_EQ(header_of(audio[0]).session, static_cast<uint32_t>(host.now));
    EXPECT_EQ(payload_text(audio[0]), frame(1, 0));
    EXPECT_EQ(ctx->sender.packet_counter, 1u);
    EXPECT_EQ(entry_of(listener)->age, 1);
    EXPECT_TRUE(with_flags(got, PF_AUDIO | PF_COMPANION).empty());
}

TEST_F(SenderTest, every_song_starts_on_a_multiple_of_8_with_its_text) {
    add_song(1, 1, 3);
    add_song(1, 2, 2);
    open();
    LoopbackSocket plain(test_ip(94).c_str());
    LoopbackSocket companion(test_ip(95).c_str());
    join(plain);
    join(companion, true);  // song 1 frame 1
    ticks(4);               // 1/2, 2/0, 2/1, 1/0

    Datagrams to_plain = plain.receive_all();
    EXPECT_EQ(audio_frames(to_plain),
              (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1}, {1, 0}}));
    EXPECT_EQ(audio_seqs(to_plain), (std::vector<uint32_t>{0, 1, 2, 8, 9, 16}));
    std::vector<std::string> texts;
    for (const auto& d : texts_tagged(to_plain, "SONGTEXT")) texts.push_back(text_parts(d)[1]);
    EXPECT_EQ(texts, (std::vector<std::string>{"Song 1", "Song 2", "Song 1"}));

    Datagrams to_companion = companion.receive_all();
    EXPECT_TRUE(with_flags(to_companion, PF_AUDIO).empty());
    auto companion_audio = with_flags(to_companion, PF_AUDIO | PF_COMPANION);
    ASSERT_EQ(companion_audio.size(), 5u);
    EXPECT_EQ(payload_text(companion_audio[0]), frame(1, 1, true));
    EXPECT_EQ(audio_seqs(to_companion, PF_AUDIO | PF_COMPANION),
              (std::vector<uint32_t>{1, 2, 8, 9, 16}));
}

TEST_F(SenderTest, a_song_without_companion_file_sends_its_own_frames_as_companion) {
    add_song(1, "solo", frames(3, 2), {}, "Solo");
    open();
    LoopbackSocket companion(test_ip(95).c_str());
    join(companion, true);
    ticks(1);
    auto got = with_flags(companion.receive_all(), PF_AUDIO | PF_COMPANION);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(payload_text(got[0]), frame(3, 0));
    EXPECT_EQ(payload_text(got[1]), frame(3, 1));
}

TEST_F(SenderTest, a_shorter_companion_repeats_its_last_frame) {
    add_song(1, "short", frames(4, 3), frames(4, 1, true), "Short");
    open();
    LoopbackSocket companion(test_ip(95).c_str());
    join(companion, true);
    ticks(2);
    auto got = with_flags(companion.receive_all(), PF_AUDIO | PF_COMPANION);
    ASSERT_EQ(got.size(), 3u);
    for (const auto& d : got) EXPECT_EQ(payload_text(d), frame(4, 0, true));
}

TEST_F(SenderTest, repeat_counts_loop_the_song_without_new_texts) {
    add_song(3, 1, 2);
    add_song(1, 2, 1);
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    ticks(6);
    Datagrams got = listener.receive_all();
    EXPECT_EQ(audio_frames(got), (std::vector<std::pair<int, int>>{
                                     {1, 0}, {1, 1}, {1, 0}, {1, 1}, {1, 0}, {1, 1}, {2, 0}}));
    EXPECT_EQ(audio_seqs(got), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 8}));
    EXPECT_EQ(texts_tagged(got, "SONGTEXT").size(), 2u);
}

TEST_F(SenderTest, an_all_shuffle_script_plays_one_entry_then_starts_over_at_entry_0) {
    add_song(0, 1, 1);
    add_song(0, 2, 1);
    add_song(0, 3, 1);
    host.rand_values = {2, 4};  // entry 0 + 2, then entry 0 + 4 % 3
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    EXPECT_EQ(ctx->sender.entry_index, 2);
    ticks(1);
    EXPECT_EQ(audio_frames(listener.receive_all()),
              (std::vector<std::pair<int, int>>{{3, 0}, {2, 0}}));
    EXPECT_EQ(ctx->sender.entry_index, 1);
}

TEST_F(SenderTest, a_shuffle_group_goes_on_to_the_next_counted_entry) {
    add_song(1, 1, 1);
    add_song(0, 2, 1);
    add_song(0, 3, 1);
    add_song(1, 4, 1);
    host.rand_values = {0};
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    ticks(2);
    EXPECT_EQ(audio_frames(listener.receive_all()),
              (std::vector<std::pair<int, int>>{{1, 0}, {2, 0}, {4, 0}}));
}

TEST_F(SenderTest, a_new_picture_is_announced_after_the_song_text_to_listeners_and_group) {
    write_file(dir.file("wide.bmp"), gradient_bmp(96, 64));
    add_song(1, 1, 1);
    add_song(1, 2, 1);
    add_song(1, 3, 1);
    auto picture = [&](int entry, const std::string& name) {
        ScriptEntry& e = ctx->script.entries[entry];
        snprintf(e.picture, sizeof e.picture, "%s", dir.file(name).c_str());
    };
    picture(0, "wide.bmp");
    picture(1, "WIDE.BMP");     // the same name in other case: nothing is loaded
    picture(2, "missing.bmp");  // changes the picture, but there is none to announce
    std::string group = test_ip(98);
    PortSocket members{group, TEST_STATION_PORT};
    ctx->state.MBONE = 1;
    ASSERT_EQ(open_station(*ctx, station_ip.c_str(), group.c_str(), "", "Test FM"), 1);
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);  // song 1, seq 0
    ticks(1);        // song 2
    EXPECT_FALSE(ctx->pictures.slots[PICTURE_MAIN].block.empty());
    ticks(2);        // song 3, then song 1 again at seq 24

    Datagrams got = listener.receive_all();
    auto notices = picture_notices(got);
    ASSERT_EQ(notices.size(), 2u);
    for (const auto& notice : notices) {
        EXPECT_EQ(payload_text(notice), std::string("BMPPAL003002", 13));
        EXPECT_EQ(header_of(notice).length, 13);
        EXPECT_EQ(header_of(notice).session, static_cast<uint32_t>(host.now));
    }
    EXPECT_EQ(header_of(notices[0]).seq, 0u);
    EXPECT_EQ(header_of(notices[1]).seq, 24u);
    // Song text, notice, audio: the listener knows the song before its picture.
    std::vector<std::string> order;
    for (const auto& d : got) {
        if (header_of(d).seq != 24u) continue;
        order.push_back(header_of(d).flags == PF_AUDIO ? "audio" : text_parts(d)[0].substr(0, 6));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"SONGTE", "BMPPAL", "audio"}));

    auto to_group = picture_notices(members.receive_all());
    ASSERT_EQ(to_group.size(), 2u);
    EXPECT_EQ(header_of(to_group[1]).seq, 24u);
    EXPECT_EQ(header_of(to_group[1]).session, 0u);
}

TEST_F(SenderTest, each_song_sets_the_frame_budget_from_its_header) {
    add_song(1, 1, 1);
    add_song(1, 2, 1);
    write_file(ctx->script.entries[0].song, sample_file(frames(1, 1), 16000, 0x0123));
    write_file(ctx->script.entries[1].song, sample_file(frames(2, 1), 16000, 45));
    open();
    ticks(1);
    EXPECT_EQ(ctx->codec.rate_percent, 0x0123);
    ticks(1);
    EXPECT_EQ(ctx->codec.rate_percent, 45);
}

TEST_F(SenderTest, oversized_and_short_frames_end_the_song) {
    // A frame claiming 6000 bytes: 5000 go out and the song ends; then a
    // frame claiming 100 bytes of which 40 are there.
    std::string big(6000, 'b');
    big[0] = 9;
    add_song(1, "big", {big, frame(9, 1)}, {}, "Big");
    std::string cut = sample_file({frame(8, 0)});
    cut.push_back(0);
    cut.push_back(100);
    cut += std::string(40, 'c');
    write_file(dir.file("cut.VMA"), cut);
    ScriptEntry entry;
    entry.count = 1;
    snprintf(entry.song, sizeof entry.song, "%s", dir.file("cut.VMA").c_str());
    ctx->script.entries.push_back(entry);
    ctx->script.script_entries = 2;
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    ticks(3);
    auto audio = with_flags(listener.receive_all(), PF_AUDIO);
    ASSERT_EQ(audio.size(), 4u);
    EXPECT_EQ(header_of(audio[0]).length, MAX_FILE_FRAME);
    EXPECT_EQ(payload_text(audio[0]), big.substr(0, MAX_FILE_FRAME));
    EXPECT_EQ(header_of(audio[1]).seq, 8u);  // the next song, not frame 1 of "big"
    EXPECT_EQ(payload_text(audio[1]), frame(8, 0));
    EXPECT_EQ(payload_text(audio[2]), std::string(40, 'c'));
    EXPECT_EQ(header_of(audio[3]).seq, 16u);
    EXPECT_EQ(audio[3][12], 9);
}

TEST_F(SenderTest, a_missing_song_file_stops_the_broadcast_with_a_message) {
    // The script's only song: nothing can be played, so the station stops
    // as a failure (a headless station then ends with status 1).
    add_song(1, 1, 1);
    snprintf(ctx->script.entries[0].song, sizeof ctx->script.entries[0].song, "%s",
             dir.file("gone.VMA").c_str());
    open();
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 0);
    // Ticks that come before the stop is handled ask for nothing more.
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 0);
    // The messages wait for the event loop: the tick never waits for a box.
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(host.posted_commands, (std::vector<Command>{Command::show_messages, Command::start_stop}));
    on_command(*ctx, Command::show_messages);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[0].text, "Cannot open file " + dir.file("gone.VMA") +
                                         " (No such file or directory)\nThe song is skipped; please "
                                         "check the script.");
    EXPECT_EQ(host.messages[1].text, "No song of the script can be played: the broadcast stops.");
    EXPECT_EQ(host.messages[1].style, Buttons::ok | Icon::error);
    EXPECT_EQ(ctx->sender.failure_status, 1);
    EXPECT_EQ(ctx->sender.pending_ticks, 0);  // the next tick is not refused
}

TEST_F(SenderTest, songs_that_cannot_be_played_are_skipped_with_one_message_each) {
    for (int id = 1; id <= 4; ++id) add_song(1, id, 1);
    // Song 2 deleted, song 3 replaced by something that is no sample file.
    remove(ctx->script.entries[1].song);
    write_file(ctx->script.entries[2].song, "just some text, not a song");
    open();
    LoopbackSocket listener(test_ip(95).c_str());
    join(listener);
    ticks(5);
    auto played = audio_frames(listener.receive_all());
    EXPECT_EQ(played, (std::vector<std::pair<int, int>>{{1, 0}, {4, 0}, {1, 0}, {4, 0}, {1, 0}, {4, 0}}));
    EXPECT_EQ(host.posted_commands, std::vector<Command>{Command::show_messages});  // no stop
    on_command(*ctx, Command::show_messages);
    ASSERT_EQ(host.messages.size(), 2u);  // once each, not once a round
    EXPECT_NE(host.messages[0].text.find(std::string(ctx->script.entries[1].song) +
                                         " (No such file or directory)"),
              std::string::npos);
    EXPECT_NE(host.messages[1].text.find(std::string(ctx->script.entries[2].song) +
                                         " (not a compressed sample file)"),
              std::string::npos);
    EXPECT_EQ(ctx->sender.failure_status, 0);

    // Put back while on the air, the song plays again at its turn.
    add_song(1, 2, 1);
    ctx->script.entries[1] = ctx->script.entries.back();
    ctx->script.entries.pop_back();
    ctx->script.script_entries = 4;
    listener.receive_all();
    ticks(2);
    EXPECT_EQ(audio_frames(listener.receive_all()), (std::vector<std::pair<int, int>>{{1, 0}, {2, 0}}));
}

TEST_F(SenderTest, songs_without_frames_do_not_hang_the_tick) {
    add_song(5, "empty1", {}, {}, "");
    add_song(0, "empty2", {}, {}, "");
    open();
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    EXPECT_TRUE(host.exit_statuses.empty());
}

TEST_F(SenderTest, a_leave_ends_the_listeners_stream) {
    add_song(1, 1, 10);
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    listener.receive_all();
    send_control(listener.fd(), station_addr(), PF_LEAVE, "");
    ticks(2);
    EXPECT_TRUE(listener.receive_all().empty());
    EXPECT_EQ(entry_of(listener)->age, AGE_FREE);

    // Only a new join brings it back: a keep-alive does not revive the entry.
    send_control(listener.fd(), station_addr(), PF_KEEPALIVE, "x");
    ticks(1);
    EXPECT_EQ(entry_of(listener)->age, AGE_FREE);
    EXPECT_TRUE(listener.receive_all().empty());
}

TEST_F(SenderTest, a_master_close_notice_is_no_leave) {
    add_song(1, 1, 10);
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    send_control(listener.fd(), station_addr(), PF_PICTURE | PF_LEAVE, "");
    ticks(1);
    EXPECT_EQ(entry_of(listener)->age, 2);
}

TEST_F(SenderTest, load_reports_are_kept_for_15_seconds) {
    add_song(1, 1, 10);
    open();
    LoopbackSocket repeater(test_ip(96).c_str());
    send_control(repeater.fd(), station_addr(), PF_LOAD_REPORT, "12/34");
    ticks(1);
    EXPECT_EQ(ctx->sender.load_report[0], 12);
    EXPECT_EQ(ctx->sender.load_report[1], 34);
    host.now += 15;
    ticks(1);
    EXPECT_EQ(ctx->sender.load_report[0], 12);
    host.now += 1;
    ticks(1);
    EXPECT_EQ(ctx->sender.load_report[0], 0);
    EXPECT_EQ(ctx->sender.load_report[1], 0);
}

TEST_F(SenderTest, silent_listeners_are_dropped_after_125_ticks_unless_kept_alive) {
    add_song(1, 1, 200);
    open();
    LoopbackSocket silent(test_ip(94).c_str());
    LoopbackSocket lively(test_ip(95).c_str());
    join(silent);
    join(lively);
    ticks(100);
    send_control(lively.fd(), station_addr(), PF_KEEPALIVE, std::string("\x05\x00\x07\x00", 4));
    ticks(22);
    EXPECT_EQ(entry_of(silent)->age, 124);
    ticks(1);
    EXPECT_EQ(entry_of(silent)->age, AGE_FREE);
    EXPECT_EQ(entry_of(lively)->age, 23);
    EXPECT_EQ(with_flags(silent.receive_all(), PF_AUDIO).size(), 125u);
}

TEST_F(SenderTest, slot_0_never_ages_while_a_repeater_is_set) {
    add_song(1, 1, 300);
    LoopbackSocket repeater(test_ip(96).c_str());
    ctx->state.RepeaterIP = test_ip(96) + ":" + std::to_string(repeater.port());
    open();
    add_receiver(*ctx, ctx->listeners, ctx->station, ctx->queue, on_air(ctx->sender, ctx->script));
    ASSERT_EQ(ctx->listeners.entries[0].addr.sin_addr.s_addr, repeater.addr().sin_addr.s_addr);
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    ticks(130);
    EXPECT_EQ(ctx->listeners.entries[0].age, 0);
    EXPECT_EQ(entry_of(listener)->age, AGE_FREE);
    EXPECT_EQ(with_flags(repeater.receive_all(), PF_AUDIO).size(), 131u);
}

TEST_F(SenderTest, resends_go_only_to_listeners_and_only_for_packets_in_store) {
    add_song(1, 1, 10);
    open();
    LoopbackSocket member(test_ip(94).c_str());
    LoopbackSocket stranger(test_ip(95).c_str());
    join(member);
    ticks(3);
    auto sent = with_flags(member.receive_all(), PF_AUDIO);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(entry_of(member)->age, 4);

    send_control(member.fd(), station_addr(), PF_KEEPALIVE, "", 2, 0xABCD1234);
    send_control(stranger.fd(), station_addr(), PF_KEEPALIVE, "", 2, 0xABCD1234);
    ticks(1);
    auto resent = member.receive_all();
    auto again = with_flags(resent, PF_AUDIO);
    ASSERT_EQ(again.size(), 2u);  // the resend, then the tick's own audio
    EXPECT_EQ(header_of(again[0]).seq, 2u);
    EXPECT_EQ(header_of(again[0]).session, 0xABCD1234u);
    EXPECT_EQ(payload_of(again[0]), payload_of(sent[2]));
    EXPECT_TRUE(stranger.receive_all().empty());
    EXPECT_EQ(find_listener(ctx->listeners, stranger.addr()), -1);

    // A seq long gone: no answer, but the request still counts as a sign of life.
    send_control(member.fd(), station_addr(), PF_KEEPALIVE, "", 999, 1);
    ticks(1);
    EXPECT_EQ(with_flags(member.receive_all(), PF_AUDIO).size(), 1u);
    EXPECT_EQ(entry_of(member)->age, 1);
}

TEST_F(SenderTest, keep_alives_and_resend_requests_are_traced_with_the_sender_address) {
    add_song(1, 1, 10);
    std::string trace_path = dir.file("trace.txt");
    ctx->messages.trace_file.reset(fopen(trace_path.c_str(), "w"));
    ASSERT_NE(ctx->messages.trace_file, nullptr);
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    // The first byte of each of the first eight pairs, written one after the other.
    send_control(listener.fd(), station_addr(), PF_KEEPALIVE,
                 std::string("\x05\x01\x07\x02\x0c\x03", 6));
    send_control(listener.fd(), station_addr(), PF_KEEPALIVE, "", 77, 1);
    ticks(1);

    std::string trace = read_file(trace_path);
    std::string from = test_ip(94);
    EXPECT_NE(trace.find(from + " 5712\n"), std::string::npos) << trace;
    size_t recover = trace.find(from + " Recover 77");
    ASSERT_NE(recover, std::string::npos) << trace;
    EXPECT_NE(trace[recover + from.size() + 11], '\n');  // the next trace follows on
}

TEST_F(SenderTest, quit_from_the_station_machine_ends_the_program_at_the_tenth_tick) {
    add_song(1, 1, 50);
    open();
    LoopbackSocket tool(station_ip.c_str());
    send_control(tool.fd(), station_addr(), 0, std::string("QuitNow!", 9));
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 0);
    for (int i = 1; i < 10; ++i) {
        EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 0);
        EXPECT_TRUE(host.exit_statuses.empty()) << "tick " << i;
    }
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 0);
    EXPECT_EQ(host.exit_statuses, std::vector<int>{EXIT_OVERLOAD});
    EXPECT_EQ(ctx->station.socket.fd(), -1);
}

TEST_F(SenderTest, quit_from_the_master_is_obeyed_and_from_others_ignored) {
    add_song(1, 1, 50);
    open();
    LoopbackSocket other(test_ip(97).c_str());
    send_control(other.fd(), station_addr(), 0, "QuitNow!");
    ticks(12);
    EXPECT_TRUE(host.exit_statuses.empty());

    LoopbackSocket master(master_ip.c_str());
    send_control(master.fd(), station_addr(), 0, "QuitNow!");
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 0);
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 0);  // refused from now on
}

TEST_F(SenderTest, overload_of_nested_ticks_ends_the_program_with_status_1) {
    add_song(0, 1, 5);
    open();
    int nested_results = 0;
    host.on_rand = [&] {
        host.on_rand = nullptr;
        for (int i = 0; i < 10; ++i) nested_results += broadcast_tick(station_parts(*ctx));
    };
    broadcast_tick(station_parts(*ctx));
    EXPECT_EQ(nested_results, 0);
    EXPECT_EQ(host.exit_statuses, std::vector<int>{EXIT_OVERLOAD});
    EXPECT_EQ(ctx->station.socket.fd(), -1);
}

TEST_F(SenderTest, a_stop_inside_a_tick_leaves_the_next_broadcast_free_to_run) {
    add_song(0, 1, 5);
    open();
    host.on_rand = [&] {  // the operator stops while a message loop runs inside the tick
        host.on_rand = nullptr;
        stop_broadcast(*ctx);
    };
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 0);
    EXPECT_EQ(ctx->station.socket.fd(), -1);
    EXPECT_EQ(ctx->sender.song_file, nullptr);

    add_song(1, 2, 5);  // the next broadcast loads its script afresh
    open();
    ctx->sender.broadcast_state = BroadcastState::broadcasting;
    for (int i = 0; i < 12; ++i) EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 1) << "tick " << i;
    EXPECT_TRUE(host.exit_statuses.empty());
}

TEST_F(SenderTest, a_stop_during_a_send_error_box_sends_nothing_more) {
    add_song(1, 1, 1);
    add_song(1, 2, 1);  // its text and audio both go to the group
    std::string group = test_ip(98);
    ctx->state.MBONE = 1;
    ASSERT_EQ(open_station(*ctx, station_ip.c_str(), group.c_str(), "", "Test FM"), 1);
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    listener.receive_all();
    ctx->station.multicast_dest.sin_port = 0;  // the group's copies now fail to go
    host.on_message = [&] {
        host.on_message = nullptr;
        stop_broadcast(*ctx);
    };
    broadcast_tick(station_parts(*ctx));
    ASSERT_EQ(host.messages.size(), 1u);  // no second box about the closed socket
    EXPECT_EQ(ctx->station.socket.fd(), -1);
    EXPECT_TRUE(with_flags(listener.receive_all(), PF_AUDIO).empty());
}

TEST_F(SenderTest, a_tick_refused_while_one_runs_is_made_up_at_its_end) {
    add_song(0, 1, 5);
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    ctx->sender.packet_counter = 3;
    send_control(listener.fd(), station_addr(), PF_TEXT, std::string("hello", 6));
    int nested = -1;
    host.on_rand = [&] {
        host.on_rand = nullptr;
        nested = broadcast_tick(station_parts(*ctx));
    };
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    EXPECT_EQ(nested, 0);
    EXPECT_EQ(ctx->sender.pending_ticks, 0);
    EXPECT_EQ(audio_seqs(listener.receive_all()), (std::vector<uint32_t>{8, 9}));
}

TEST_F(SenderTest, a_flood_of_requests_does_not_hold_the_tick) {
    add_song(1, 1, 10);
    open();
    LoopbackSocket flooder(test_ip(99).c_str());
    // Each load report the station reads asks the clock once, and each time
    // the clock is asked another report arrives: the socket is never empty.
    // The limit ends the flood should the tick never stop reading.
    const int limit = 3 * LISTENER_TABLE_SIZE;
    int sent = 0;
    host.on_time_now = [&] {
        if (sent == limit) return;
        send_control(flooder.fd(), station_addr(), PF_LOAD_REPORT, "1/2");
        ++sent;
    };
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    host.on_time_now = nullptr;
    EXPECT_LT(sent, limit);
    EXPECT_EQ(udp_readable(ctx->station.socket.fd()), 1);  // left for the next tick
    EXPECT_EQ(ctx->sender.packet_counter, 1u);         // the tick's own audio went out
}

TEST_F(SenderTest, a_listener_gone_away_is_no_receive_error) {
    add_song(1, 1, 50);
    open();
    // Ask for ICMP errors on this socket, as some platforms always report
    // them; a time-out keeps the read after the error from waiting long.
    int on = 1;
    setsockopt(ctx->station.socket.fd(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    timeval wait{0, 20000};
    setsockopt(ctx->station.socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    {
        LoopbackSocket listener(test_ip(94).c_str());
        join(listener);
    }
    ticks(4);  // each sends to the closed port, each reads the refusal
    EXPECT_TRUE(host.exit_statuses.empty());
    EXPECT_GE(ctx->station.socket.fd(), 0);
}

TEST_F(SenderTest, other_receive_errors_end_the_program_with_status_9) {
    add_song(1, 1, 50);
    open();
    UdpSocket real_socket = std::move(ctx->station.socket);
    ctx->station.socket = UdpSocket(::open("/dev/null", O_RDONLY));  // readable, but no socket
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 0);
    EXPECT_EQ(host.exit_statuses, std::vector<int>{EXIT_SOCKET_FAILED});
    EXPECT_EQ(ctx->station.socket.fd(), -1);
    bool shown = false;
    for (const auto& m : host.messages) shown = shown || m.text.rfind("recvfrom: ", 0) == 0;
    EXPECT_TRUE(shown);
}

TEST_F(SenderTest, multicast_gets_one_copy_of_audio_and_text_per_tick) {
    add_song(1, 1, 3);
    std::string group = test_ip(98);
    PortSocket members{group, TEST_STATION_PORT};
    ctx->state.MBONE = 1;
    ASSERT_EQ(open_station(*ctx, station_ip.c_str(), group.c_str(), "", "Test FM"), 1);
    ticks(2);
    Datagrams got = members.receive_all();
    EXPECT_EQ(audio_seqs(got), (std::vector<uint32_t>{0, 1}));
    ASSERT_EQ(texts_tagged(got, "SONGTEXT").size(), 1u);
    EXPECT_EQ(header_of(with_flags(got, PF_AUDIO)[0]).session, 0u);
}

struct LiveSenderTest : SenderTest {
    void SetUp() override {
        SenderTest::SetUp();
        ASSERT_EQ(allocate_live_ring(ctx->live_ring), 1);
        // A live list of two entries; nothing is in either picture slot.
        for (int i = 0; i < 2; ++i) {
            ScriptEntry entry;
            entry.count = 3;
            snprintf(entry.text, sizeof entry.text, "Live %d", i);
            ctx->script.entries.push_back(entry);
        }
        ctx->script.loaded = true;
        ctx->script.script_entries = 2;
        // The pump has queued entries 8 to 15.
        for (int i = 8; i < 16; ++i) {
            put_live_frame(ctx->live_ring.entries[i].main, frame(i, 0));
            put_live_frame(ctx->live_ring.entries[i].companion, frame(i, 0, true));
        }
        ctx->live_ring.read_index = 8;
        ctx->live_ring.write_index = 16;
    }

    static void put_live_frame(uint8_t* buffer, const std::string& bytes) {
        PacketHeader header{};
        header.length = static_cast<uint16_t>(bytes.size());
        memcpy(buffer, &header, sizeof header);
        memcpy(buffer + PACKET_HEADER_SIZE, bytes.data(), bytes.size());
    }
};

TEST_F(LiveSenderTest, live_sending_starts_on_a_super_block_and_drains_to_a_stop) {
    ctx->live_ring.feed_mode = FeedMode::live_priming;
    open();
    LoopbackSocket companion(test_ip(95).c_str());
    join(companion, true);
    EXPECT_TRUE(with_flags(companion.receive_all(), PF_AUDIO | PF_COMPANION).empty());
    EXPECT_EQ(ctx->sender.packet_counter, 0u);

    ctx->live_ring.feed_mode = FeedMode::live_primed;
    ticks(8);
    EXPECT_EQ(ctx->live_ring.feed_mode, FeedMode::live_sending);
    EXPECT_TRUE(ctx->window.menus.button_enabled);
    Datagrams got = companion.receive_all();
    EXPECT_EQ(audio_seqs(got, PF_AUDIO | PF_COMPANION),
              (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(payload_text(with_flags(got, PF_AUDIO | PF_COMPANION)[0]), frame(8, 0, true));
    // Nothing was shown while priming (its notice would have gone with no
    // tick); entry 0 shows from the first tick after live sending began,
    // for its 3 seconds: no other entry within these 8 ticks.
    auto texts = texts_tagged(got, "SONGTEXT");
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(header_of(texts[0]).seq, 1u);
    EXPECT_EQ(text_parts(texts[0])[1], "Live 0");

    ctx->live_ring.feed_mode = FeedMode::live_stopping;
    ctx->sender.broadcast_state = BroadcastState::stop_requested;
    EXPECT_EQ(broadcast_tick(station_parts(*ctx)), 1);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(ctx->live_ring.feed_mode, FeedMode::live_priming);  // finish_stop: live again
    EXPECT_EQ(ctx->live_ring.read_index, 0);
    EXPECT_EQ(ctx->live_ring.write_index, 0);
    EXPECT_EQ(ctx->station.socket.fd(), -1);
    EXPECT_EQ(ctx->sender.pending_ticks, 0);
}

TEST_F(LiveSenderTest, live_pictures_change_on_their_own_clock) {
    write_file(dir.file("a.bmp"), gradient_bmp(64, 32));
    write_file(dir.file("b.bmp"), gradient_bmp(32, 96));
    for (int i = 0; i < 2; ++i) {
        ctx->script.entries[i].count = 1;
        snprintf(ctx->script.entries[i].picture, SCRIPT_NAME_SIZE, "%s",
                 dir.file(i == 0 ? "a.bmp" : "b.bmp").c_str());
    }
    ctx->live_ring.feed_mode = FeedMode::live_sending;
    ctx->state.SamplingRate = 8000;  // a second is 4 ticks of 2048 samples (3.9)
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);  // shows entry 0 from this tick, seq 0
    ticks(8);        // entry 1 at seq 4, entry 0 again at seq 8

    Datagrams got = listener.receive_all();
    auto notices = picture_notices(got);
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(payload_text(notices[0]), std::string("BMPPAL002001", 13));
    EXPECT_EQ(header_of(notices[0]).seq, 0u);
    EXPECT_EQ(payload_text(notices[1]), std::string("BMPPAL001003", 13));
    EXPECT_EQ(header_of(notices[1]).seq, 4u);
    EXPECT_EQ(header_of(notices[2]).seq, 8u);
    EXPECT_EQ(ctx->pictures.shown_name, dir.file("a.bmp"));
    // Each picture comes with its own entry's text, and joins are told the same.
    auto texts = texts_tagged(got, "SONGTEXT");
    ASSERT_EQ(texts.size(), 3u);
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(header_of(texts[i]).seq, header_of(notices[i]).seq);
        EXPECT_EQ(text_parts(texts[i])[1], i == 1 ? "Live 1" : "Live 0");
    }
    EXPECT_STREQ(on_air(ctx->sender, ctx->script).song_text, "Live 0");
    ctx->sender.broadcast_state = BroadcastState::broadcasting;
    const NowPlayingLines panel = now_playing_lines(*ctx);  // the window's panel
    EXPECT_EQ(panel.picture, dir.file("a.bmp"));
    EXPECT_EQ(panel.text, "Live 0");
}

TEST_F(LiveSenderTest, an_empty_ring_sends_its_next_entry_again_and_waits) {
    ctx->live_ring.feed_mode = FeedMode::live_sending;
    ctx->live_ring.read_index = 15;
    put_live_frame(ctx->live_ring.entries[16].main, frame(99, 0));  // sent one lap ago
    open();
    LoopbackSocket listener(test_ip(94).c_str());
    join(listener);
    ticks(2);
    auto audio = with_flags(listener.receive_all(), PF_AUDIO);
    ASSERT_EQ(audio.size(), 3u);
    EXPECT_EQ(payload_text(audio[0]), frame(15, 0));
    EXPECT_EQ(payload_text(audio[1]), frame(99, 0));
    EXPECT_EQ(payload_text(audio[2]), frame(99, 0));
    EXPECT_EQ(ctx->live_ring.read_index, 16);
}

}  // namespace
