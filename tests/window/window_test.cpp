// The operator's window offscreen: its geometry, menus and their greying in
// each broadcast state, Ctrl+S, the hidden keys, the close box and the
// panel's texts, driven on a real script broadcast on a loopback address.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenuBar>
#include <QTest>

#include "app/context.h"
#include "app/program.h"
#include "app/station.h"
#include "app/controller.h"
#include "codec/codec_state.h"
#include "codec/set_rate.h"
#include "wire/packet.h"
#include "panel_pixels.h"
#include "shell/window/main_window.h"
#include "shell/window/status_panel.h"
#include "shell/window/window_host.h"
#include "station_test_support.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

struct WindowTest : ::testing::Test {
    WindowHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;
    std::vector<std::string> boxes;
    std::unique_ptr<MainWindow> window;

    void SetUp() override {
        host.attach(ctx.get());
        host.box_answers = [this](const char* text, BoxStyle style) {
            boxes.push_back(text);
            return style.buttons == Buttons::yes_no ? Answer::yes : Answer::ok;
        };
        StationState& s = ctx->state;
        set_test_station(*ctx, dir, test_ip(81), test_ip(82));
        s.SamplingRate = 16000;
        s.TransferRate = 2000;
        ctx->live_ring.feed_mode = FeedMode::script;
        s.StationScript = dir.file("show.VSK");
        CodecState codec;
        set_rate(codec, s.SamplingRate, s.TransferRate);
        char header[64];
        snprintf(header, sizeof header, "1 16000 %03d SCRIPT", codec.rate_percent);
        std::string script = header;
        script.push_back('\0');
        std::string song = dir.file("song.VMA");
        write_file(song, sample_file(std::vector<std::string>(16, std::string(20, 'x'))));
        script += "1 " + song + " \"\" A song";
        script.push_back('\0');
        write_file(s.StationScript, script);
        update_start_menu(*ctx);
        window = std::make_unique<MainWindow>(*ctx, host, load_skin("", nullptr));
        window->show();
    }
    void TearDown() override {
        close_station(*ctx);
        window.reset();
    }

    bool enabled(Command id) const {
        QAction* item = window->action(id);
        return item && item->isEnabled();
    }
};

TEST_F(WindowTest, panel_is_the_skin_and_the_button_sits_on_it_without_taking_focus) {
    EXPECT_EQ(window->panel()->size(), QSize(478, 401));
    EXPECT_EQ(window->centralWidget(), window->panel());
    EXPECT_EQ(window->button()->geometry(), QRect(136, 362, 221, 26));
    EXPECT_EQ(window->button()->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(window->minimumSize(), window->maximumSize());  // not resizable
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(window->button()->face(), 1);  // idle, enabled
}

TEST_F(WindowTest, menus_carry_their_ids_and_grey_in_each_broadcast_state) {
    QStringList menus;
    for (QAction* menu : window->menuBar()->actions()) menus << menu->text();
    EXPECT_EQ(menus, QStringList({"&Station", "&Options", "&Log", "&Help"}));
    for (int d = 0; d < 7; ++d) EXPECT_TRUE(enabled(view_log_command(d)));
    EXPECT_EQ(window->action(Command::view_saturday_log)->text(), "View Saturday Log");
    for (Command id : {Command::online_help, Command::check_connection, Command::about}) EXPECT_TRUE(enabled(id));
    const Command settings_items[] = {Command::build_script, Command::station_info, Command::exit, Command::settings,
                                  Command::expert_settings};
    EXPECT_TRUE(enabled(Command::start));
    for (Command id : settings_items) EXPECT_TRUE(enabled(id)) << static_cast<int>(id);

    window->run_command(Command::start);  // a real start; the address box is answered
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting) << (boxes.empty() ? "" : boxes.back());
    EXPECT_EQ(window->action(Command::start), nullptr);
    ASSERT_TRUE(enabled(Command::stop));
    EXPECT_EQ(window->action(Command::stop)->text(), "&Stop Broadcasting");
    for (Command id : settings_items) EXPECT_FALSE(enabled(id)) << static_cast<int>(id);
    EXPECT_EQ(window->button()->face(), 4);

    // A live stop draining: still greyed, the button disabled, a wait cursor.
    ctx->live_ring.feed_mode = FeedMode::live_sending;
    stop_broadcast(*ctx);
    window->sync_view();
    EXPECT_TRUE(enabled(Command::stop));
    for (Command id : settings_items) EXPECT_FALSE(enabled(id)) << static_cast<int>(id);
    EXPECT_EQ(window->button()->face(), 2);
    EXPECT_EQ(window->panel()->cursor().shape(), Qt::WaitCursor);
    finish_stop(*ctx);
    ctx->live_ring.feed_mode = FeedMode::script;
    window->sync_view();
    EXPECT_EQ(window->panel()->cursor().shape(), Qt::ArrowCursor);

    // Back on the air through the button (which loads the script through
    // the posted Start command), off again through the button.
    QTest::mouseClick(window->button(), Qt::LeftButton);
    QTest::qWait(20);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    QTest::mouseClick(window->button(), Qt::LeftButton);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_TRUE(enabled(Command::start));
    for (Command id : settings_items) EXPECT_TRUE(enabled(id)) << static_cast<int>(id);
}

TEST_F(WindowTest, ctrl_s_starts_and_stops_and_is_dead_while_greyed) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);  // posts the stop
    QTest::qWait(20);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);

    ctx->state.StationScript.clear();  // nothing to play: the item greys
    update_start_menu(*ctx);
    window->sync_view();
    ASSERT_FALSE(enabled(Command::start));
    EXPECT_EQ(window->button()->face(), 2);
    size_t shown = boxes.size();
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    QTest::qWait(20);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(boxes.size(), shown);
}

TEST_F(WindowTest, the_directory_box_left_open_holds_neither_the_ticks_nor_a_listener_joining) {
    // No directory where DIRURL points: the add fails at once and its box
    // comes up. The operator leaves it open (a nested loop, as a modal box
    // runs); a listener joining 1 s after the start gets audio within 2 s.
    write_file(dir.file("station.ini"), "[VelmoraStation]\nDIRURL=" + test_ip(83) +
                                            "\nDIRURLPORT=9\nHTTP_TIMEOUT=5\n");
    ctx->state.settings_file = dir.file("station.ini");
    LoopbackSocket listener(test_ip(84).c_str());
    QElapsedTimer since_start;
    qint64 box_at = -1, joined_at = -1, audio_at = -1;
    host.box_answers = [&](const char* text, BoxStyle style) {
        boxes.push_back(text);
        if (!strstr(text, "could not be added")) return style.buttons == Buttons::yes_no ? Answer::yes : Answer::ok;
        box_at = since_start.elapsed();
        QEventLoop open_box;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            if (joined_at < 0 && since_start.elapsed() >= 1000) {
                send_control(listener.fd(), test_station_addr(test_ip(81)), PF_TEXT, std::string("hello", 6));
                joined_at = since_start.elapsed();
            }
            for (auto d = listener.receive(0); !d.empty(); d = listener.receive(0))
                if (audio_at < 0 && get_packet_header(d.data()).flags == PF_AUDIO) audio_at = since_start.elapsed();
            if (audio_at >= 0 || since_start.elapsed() > 5000) open_box.quit();
        });
        look.start(10);
        open_box.exec();
        return Answer::ok;
    };
    window->start_timers();  // the ticks run as in the program
    since_start.start();
    window->run_command(Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    (void)QTest::qWaitFor([&] { return audio_at >= 0 || since_start.elapsed() > 6000; }, 7000);
    ASSERT_GE(box_at, 0) << "the directory box never came";
    EXPECT_LT(box_at, 1000);  // open before the listener joined
    ASSERT_GE(joined_at, 1000);
    ASSERT_GE(audio_at, 0) << "no audio while the box was open";
    EXPECT_LE(audio_at - joined_at, 2000);
    EXPECT_FALSE(ctx->web.directory_listed);
}

TEST_F(WindowTest, close_is_refused_while_broadcasting_with_one_message) {
    window->run_command(Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    boxes.clear();
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Please shut down the current broadcast first.");
    window->run_command(Command::stop);
    QTest::qWait(20);  // the stop item posts the start/stop command
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_TRUE(window->close());
}

TEST_F(WindowTest, hidden_keys_act_once_per_press_and_keypad_keys_need_the_keypad) {
    QWidget* panel = window->panel();
    QTest::keyClick(panel, Qt::Key_Plus, Qt::KeypadModifier);
    EXPECT_EQ(ctx->state.TransferRate, 2125);
    QKeyEvent repeat(QEvent::KeyRelease, Qt::Key_Plus, Qt::KeypadModifier, QString(), true);
    QApplication::sendEvent(panel, &repeat);
    EXPECT_EQ(ctx->state.TransferRate, 2125);
    QTest::keyClick(panel, Qt::Key_Plus);  // the main keyboard's plus is no hidden key
    EXPECT_EQ(ctx->state.TransferRate, 2125);
    QTest::keyClick(panel, Qt::Key_Minus, Qt::KeypadModifier);
    EXPECT_EQ(ctx->state.TransferRate, 2000);
    QTest::keyClick(panel, Qt::Key_3, Qt::KeypadModifier);  // a keypad digit is no digit
    EXPECT_EQ(ctx->state.SamplingRate, 16000);
    QTest::keyClick(panel, Qt::Key_3);
    EXPECT_EQ(ctx->state.SamplingRate, 32000);
    EXPECT_EQ(ctx->state.device_rate, 44100);
}

TEST_F(WindowTest, dialogs_are_dispatched_by_id_and_refused_while_broadcasting) {
    int station_info_runs = 0;
    host.dialogs[Dialog::station_info] = [&] { return ++station_info_runs, 1; };
    window->action(Command::station_info)->trigger();
    EXPECT_EQ(station_info_runs, 1);
    EXPECT_EQ(host.run_dialog(static_cast<Dialog>(9999)), 0);  // no such dialog: cancelled
    window->run_command(Command::start);
    window->run_command(Command::station_info);
    EXPECT_EQ(station_info_runs, 1);
}

TEST_F(WindowTest, panel_shows_broadcasting_and_the_rate_line_where_they_belong) {
    QImage background = load_skin("", nullptr).background.convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(count_pixels(background, kBroadcastingArea, is_broadcasting_red), 0);
    ASSERT_EQ(count_pixels(background, kRateLineArea, is_text_yellow), 0);

    window->run_command(Command::start);
    ctx->window.blink_phase = 1;
    QImage lit = window->panel()->grab().toImage();
    EXPECT_GT(count_pixels(lit, kBroadcastingArea, is_broadcasting_red), 100);
    EXPECT_EQ(count_pixels(lit, QRect(0, 0, 478, 88), is_broadcasting_red), 0);  // nowhere above
    EXPECT_GT(count_pixels(lit, kRateLineArea, is_text_yellow), 40);
    ctx->window.blink_phase = 0;  // the blink's dark phase
    QImage dark = window->panel()->grab().toImage();
    EXPECT_EQ(count_pixels(dark, kBroadcastingArea, is_broadcasting_red), 0);
    EXPECT_EQ(window->windowTitle().toStdString(),
              std::string(PROGRAM_TITLE) + " " + test_ip(81) + " [0 - 0%]");
}

TEST_F(WindowTest, about_shows_the_version) {
    QString version;
    QTimer::singleShot(0, [&] {
        QWidget* about = QApplication::activeModalWidget();
        if (!about) return;
        if (auto* label = about->findChild<QLabel*>("version")) version = label->text();
        about->close();
    });
    window->action(Command::about)->trigger();
    EXPECT_EQ(version, "2.18");
}

TEST(SkinTest, another_skin_sets_the_panel_and_button_sizes_from_its_files) {
    TempDir dir;
    QImage background(320, 380, QImage::Format_RGB32), button(100, 50, QImage::Format_RGB32);
    background.fill(Qt::darkBlue);
    button.fill(Qt::gray);
    ASSERT_TRUE(background.save(QString::fromStdString(dir.file("background.bmp"))));
    ASSERT_TRUE(button.save(QString::fromStdString(dir.file("button.bmp"))));
    QString problem;
    Skin skin = load_skin(QString::fromStdString(dir.path()), &problem);
    // The missing lamp and meter are named and left out.
    EXPECT_TRUE(problem.contains("lamp.bmp")) << problem.toStdString();
    EXPECT_TRUE(problem.contains("meter.bmp"));
    EXPECT_FALSE(problem.contains("button.bmp"));

    WindowHost host;
    auto ctx = make_context(host);
    host.attach(ctx.get());
    MainWindow window(*ctx, host, skin);
    window.show();
    EXPECT_EQ(window.panel()->size(), QSize(320, 380));
    EXPECT_EQ(window.button()->geometry(), QRect(136, 362, 100, 10));
    ctx->capture.peak_level = 50;
    ctx->web.directory_listed = true;
    EXPECT_FALSE(window.panel()->grab().isNull());  // paints without lamp and meter
}

// Each number and the lamp has its caption where the skin leaves room for
// it, ending before its value; the Icecast line keeps above the divider.
TEST_F(WindowTest, every_number_of_the_panel_has_a_caption_that_fits_its_place) {
    QFontMetrics small(panel_font(kSmallFontPixels));
    QImage background = load_skin("", nullptr).background.convertToFormat(QImage::Format_RGB32);
    QImage panel = window->panel()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (const PanelCaption& c : kPanelCaptions) {
        const QRect text(c.x, c.y, small.horizontalAdvance(c.text), small.height());
        EXPECT_LE(text.right(), c.right) << c.text;
        EXPECT_EQ(count_pixels(background, text, is_caption_cyan), 0) << c.text << ": no hairline";
        EXPECT_GT(count_pixels(panel, text, is_caption_cyan), 15) << c.text;
        const QRect tip_area(c.area_x, c.area_y, c.area_width, c.area_height);
        EXPECT_TRUE(tip_area.contains(QPoint(c.x + 2, c.y + 2))) << c.text << ": no tooltip";
    }
    // The values begin after their captions and end inside their wells.
    EXPECT_LE(140 + small.horizontalAdvance("1411.2kbps (LAN)"), 298);  // 4 x 44100 bytes/s
    EXPECT_LE(380 + small.horizontalAdvance("8192(R) - 100%"), 474);
    // Resting on a caption explains it; the lamp's names a failed directory request.
    EXPECT_TRUE(panel_tooltip(*ctx, QPoint(30, 190)).startsWith("Stream rate"));
    EXPECT_EQ(panel_tooltip(*ctx, QPoint(200, 300)), "");
    ctx->web.directory_problem = "127.0.0.3 port 8081: Connection refused";
    EXPECT_TRUE(panel_tooltip(*ctx, QPoint(15, 15))
                    .endsWith("Not listed: 127.0.0.3 port 8081: Connection refused"));
    // The Icecast line at (20, 245) ends above the divider.
    EXPECT_EQ(count_pixels(background, QRect(12, 245, 454, small.height()), is_caption_cyan), 0);
}

TEST(PanelFontTest, the_widest_texts_end_inside_the_panel) {
    QFontMetrics small(panel_font(kSmallFontPixels)), large(panel_font(kLargeFontPixels));
    EXPECT_LE(375 + small.horizontalAdvance("Dec 28 20:58:58"), 478);  // start time
    EXPECT_LE(375 + small.horizontalAdvance("99d 23h 59m 59s"), 478);  // elapsed
    EXPECT_LE(125 + small.horizontalAdvance("Wed Sep 28 20:58:58 2026"), 340);  // clock, before MBONE
    EXPECT_LE(380 + small.horizontalAdvance("8192 - 100%"), 478);  // listeners
    EXPECT_LE(16 + large.horizontalAdvance("BROADCASTING"), 300);
}

}  // namespace
