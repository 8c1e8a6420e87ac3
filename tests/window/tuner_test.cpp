// velmora-tuner's window offscreen, listening to a station played by the
// test over real loopback datagrams: the station's name, song text and
// picture tiles reach the widgets, the status line counts, the last
// stations are remembered, and a picture of the window is taken. There is
// no sound server here: the window says so and shows the station anyway.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>
#include <QUrl>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "codec/codec_state.h"
#include "codec/picture_coder.h"
#include "codec/picture_decoder.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "shell/tuner/tuner_window.h"
#include "support/child_process.h"
#include "support/synthetic_picture.h"
#include "support/temp_dir.h"
#include "support/tone_frames.h"
#include "support/udp_loopback.h"

namespace {

constexpr uint32_t kSession = 4242;

// A 4 x 3 tile picture as a station serves it, and how it looks decoded (top row first).
struct Served {
    SyntheticPicture picture = make_photo_picture(128, 96, 11);
    std::vector<std::vector<uint8_t>> tiles;
    QImage decoded{128, 96, QImage::Format_RGB888};
    Served() {
        prepare_picture(picture.pixels.data(), picture.pixels.size(), picture.width, picture.height,
                        picture.row_stride, 2, nullptr);
        CodecState codec;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c) {
                std::vector<uint8_t> payload(PICTURE_PAYLOAD_MAX_BYTES);
                payload.resize(encode_picture_tile(codec, copy_tile(picture, c, r).data(), 2, payload.data()));
                uint8_t tile[PICTURE_TILE_BYTES];
                decode_picture_tile(payload.data(), int(payload.size()), tile);
                for (int y = 0; y < 32; ++y)
                    for (int x = 0; x < 32; ++x) {
                        const uint8_t* bgr = tile + y * 96 + x * 3;
                        decoded.setPixelColor(c * 32 + x, 95 - (r * 32 + y), QColor(bgr[2], bgr[1], bgr[0]));
                    }
                tiles.push_back(std::move(payload));
            }
    }
};

class TunerTest : public ::testing::Test {
protected:
    LoopbackSocket station{test_ip(71).c_str()};
    Served served;
    sockaddr_in listener{};
    bool joined = false;
    uint32_t seq = 0;
    const std::vector<std::vector<uint8_t>> frames = tone_frames(22050, 4000, 440.0);

    void send(const uint8_t* bytes, int size) {
        udp_send_to(station.fd(), bytes, size, 0, &listener, sizeof listener);
    }

    // Answers what the window sent, as a station would.
    void serve() {
        uint8_t bytes[MAX_DATAGRAM];
        for (;;) {
            sockaddr_in from{};
            int from_len = sizeof from;
            if (udp_readable(station.fd()) <= 0) return;
            int n = udp_receive_from(station.fd(), bytes, sizeof bytes, &from, &from_len);
            if (n < PACKET_HEADER_SIZE) continue;
            PacketHeader h = get_packet_header(bytes);
            std::string text(reinterpret_cast<char*>(bytes) + PACKET_HEADER_SIZE, size_t(n - PACKET_HEADER_SIZE));
            text = text.c_str();
            if (h.flags == PF_TEXT && !joined) {
                listener = from;
                joined = true;
                send(bytes, build_join_accepted(bytes, 4, kSession, 22050, "Harbour Radio", "Night Tide"));
                send(bytes, build_picture_notice(bytes, 1, kSession, 4, 3));
            } else if (h.flags == PF_KEEPALIVE && h.length == 0 && h.seq == 13) {  // 5 is gone
                const auto& f = frames[5];
                send(bytes, build_audio(bytes, 13, kSession, f.data(), int(f.size()), false));
            } else if (h.flags == (PF_TEXT | PF_PICTURE) && text == "GETPAL") {
                send(bytes, build_picture_reply(bytes, 2, kSession, "BMPPAL004003", nullptr, 0));
            } else if (h.flags == (PF_TEXT | PF_PICTURE) && text.rfind("GETBMPXY", 0) == 0) {
                int c = 0, r = 0;
                sscanf(text.c_str(), "GETBMPXY%3d%3d", &c, &r);
                char reply[16];
                snprintf(reply, sizeof reply, "BMPXY%03d%03d", c, r);
                const auto& tile = served.tiles[size_t(r * 4 + c)];
                send(bytes, build_picture_reply(bytes, 2, kSession, reply, tile.data(), int(tile.size())));
            }
        }
    }

    void audio() {
        if (!joined) return;
        uint8_t bytes[MAX_DATAGRAM];
        const auto& f = frames[seq % 8];
        if (seq % 8 != 5 || seq > 20) send(bytes, build_audio(bytes, seq, kSession, f.data(), int(f.size()), false));
        ++seq;
    }

    // Runs the window's event loop for `ms`, serving and sending a packet every 93 ms.
    void run_for(int ms) {
        QElapsedTimer clock;
        clock.start();
        qint64 next_audio = 0;
        while (clock.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            serve();
            if (clock.elapsed() >= next_audio) {
                audio();
                next_audio += 93;
            }
            QTest::qSleep(2);
        }
    }
};

TEST(TunerText, status_line_shows_buffer_and_datagram_counts) {
    JitterBuffer audio;
    audio.gaps = 15, audio.recovered = 12, audio.lost = 3, audio.late = 1;
    EXPECT_EQ(tuner_status_text(1400, 1500, audio, true), "Buffer 1.4 of 1.5 s | lost 3, recovered 12 of 15 gaps, 1 late");
    EXPECT_EQ(tuner_status_text(300, 1500, JitterBuffer{}, false), "Filling 0.3 of 1.5 s | lost 0, recovered 0 of 0 gaps, 0 late");
    EXPECT_EQ(tuner_status_text(-1, 1500, JitterBuffer{}, false), "lost 0, recovered 0 of 0 gaps, 0 late");
}

TEST_F(TunerTest, station_text_and_picture_tiles_reach_the_window_and_the_station_is_remembered) {
    TunerWindow window;
    window.show();
    const QString address = QString::fromStdString(test_ip(71) + ":" + std::to_string(station.port()));
    ASSERT_TRUE(window.open_station(address)) << window.status_text().toStdString();
    window.play();
    run_for(2500);
    EXPECT_TRUE(window.station_text().startsWith("Harbour Radio")) << window.station_text().toStdString();
    EXPECT_EQ(window.song_text(), "Night Tide");
    ASSERT_EQ(window.picture().image().size(), QSize(128, 96));
    EXPECT_EQ(window.picture().image(), served.decoded);
    EXPECT_TRUE(window.status_text().contains("No sound (no sound server or sound card answers)")) << window.status_text().toStdString();
    EXPECT_TRUE(window.status_text().contains("recovered 1 of 2 gaps")) << window.status_text().toStdString();
    EXPECT_GT(window.listener().audio_packets, 20);

    // The README's picture; with VELMORA_SCREENSHOTS naming a folder it is saved there.
    QImage shot = window.grab().toImage();
    EXPECT_EQ(shot.size(), window.size() * window.devicePixelRatio());
    if (const char* folder = getenv("VELMORA_SCREENSHOTS")) {
        EXPECT_TRUE(shot.save(QString::fromLocal8Bit(folder) + "/velmora-tuner.png", "PNG"));
    }

    window.stop();
    TunerWindow later;
    EXPECT_EQ(later.findChild<QComboBox*>()->itemText(0), address);
}

TEST(TunerStations, station_lists_and_bad_addresses_are_read_or_refused_with_a_reason) {
    TempDir dir;
    write_file(dir.file("listen.vsl"), "127.000.000.001 Harbour Radio\n\\Music\\Jazz\nhttp://x\nNights\n");
    TunerWindow window;
    EXPECT_TRUE(window.open_station(QString::fromStdString(dir.file("listen.vsl"))));
    EXPECT_EQ(window.station_text(), "Harbour Radio\n\\Music\\Jazz");
    EXPECT_FALSE(window.open_station("radio.example.com:3456"));
    EXPECT_TRUE(window.status_text().contains("names are not looked up")) << window.status_text().toStdString();
    EXPECT_FALSE(window.open_station(QString::fromStdString(dir.file("missing.vsl"))));
    EXPECT_TRUE(window.status_text().contains("missing.vsl")) << window.status_text().toStdString();

    // A station-list file dropped on the window is opened and played.
    write_file(dir.file("night.vsl"), "127.000.000.001 Night Talk\nTalk\n\n\nLOCATION:Quay 4\n");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(dir.file("night.vsl")))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &drop);
    EXPECT_EQ(window.station_text(), "Night Talk\nQuay 4");
    EXPECT_TRUE(window.playing());
    window.stop();
}

// Enter in the address box switches to the station typed, also while one
// plays. A station that never answers is said to be silent after the five
// seconds velmora-listen waits too, and the window goes on asking.
TEST_F(TunerTest, enter_switches_stations_and_a_silent_one_is_told_while_the_joins_go_on) {
    TunerWindow window;
    window.show();
    ASSERT_TRUE(window.open_station(
        QString::fromStdString(test_ip(71) + ":" + std::to_string(station.port()))));
    window.play();
    run_for(600);
    ASSERT_TRUE(window.listener().admitted) << window.status_text().toStdString();

    LoopbackSocket silent(test_ip(72).c_str());
    const std::string silent_address = test_ip(72) + ":" + std::to_string(silent.port());
    QLineEdit* box = window.findChild<QComboBox*>()->lineEdit();
    box->selectAll();
    QTest::keyClicks(box, QString::fromStdString(silent_address));
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_TRUE(window.playing());
    EXPECT_EQ(ntohs(window.listener().config.station.sin_port), silent.port());
    run_for(5600);
    const std::string status = window.status_text().toStdString();
    EXPECT_NE(status.find("No answer from " + silent_address), std::string::npos) << status;
    EXPECT_EQ(status.find("Joining"), std::string::npos) << status;
    int joins = 0;
    for (const auto& datagram : silent.receive_all(50))
        joins += datagram.size() >= PACKET_HEADER_SIZE &&
                 get_packet_header(datagram.data()).flags == PF_TEXT;
    EXPECT_GE(joins, 4);
    window.stop();
}

// The real program given a device or a pipe instead of a station-list file:
// it says why it cannot read it, stays open, and ends on SIGTERM at once.
TEST(TunerProgram, a_device_or_a_pipe_given_as_station_list_is_refused_without_hanging) {
    TempDir dir;
    const std::string fifo = dir.file("stations.vsl");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& station : {std::string("/dev/zero"), fifo}) {
        ChildProcess tuner;
        const std::string output = dir.file("tuner.out");
        ASSERT_TRUE(tuner.start({program_path("velmora-tuner"), station}, output, dir.path(),
                                {{"QT_QPA_PLATFORM", "offscreen"},
                                 {"XDG_CONFIG_HOME", dir.path()},
                                 {"PULSE_SERVER", "unix:" + dir.file("no-server")}}));
        std::string said;
        for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
             said.find("not a regular file") == std::string::npos &&
             std::chrono::steady_clock::now() < deadline;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            said = read_file(output);
        }
        EXPECT_NE(said.find(station + ": it is not a regular file"), std::string::npos)
            << station << ": " << said;
        EXPECT_EQ(tuner.wait(0), -2) << station << ": " << said;  // still open
        tuner.signal(SIGTERM);
        EXPECT_EQ(tuner.wait(3000), 0) << station << ": " << read_file(output);
    }
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Remembered stations go to a folder of this run; no sound server answers.
    static TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + config.file("no-server")).c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setOrganizationName("velmora");
    QApplication::setApplicationName("velmora-tuner");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
