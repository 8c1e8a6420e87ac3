// The settings dialogs offscreen, opened from the main window's commands:
// what they show, what OK writes to the settings file, the registry and the
// autostart folder, that Cancel writes nothing and that none opens while a
// broadcast runs. The categories come from the real directory server, and a
// refusal by a real proxy (tinyproxy) brings up the proxy dialog.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <functional>

#include "app/context.h"
#include "app/program.h"
#include "app/station.h"
#include "app/controller.h"
#include "app/settings.h"
#include "app/settings_dialogs.h"
#include "codec/codec_state.h"
#include "codec/set_rate.h"
#include "platform/autostart.h"
#include "shell/window/dialogs/expert_dialog.h"
#include "shell/window/dialogs/icecast_dialog.h"
#include "shell/window/dialogs/options_dialog.h"
#include "shell/window/dialogs/proxy_dialog.h"
#include "shell/window/dialogs/station_info_dialog.h"
#include "shell/window/main_window.h"
#include "shell/window/window_host.h"
#include "station_test_support.h"
#include "support/web_servers.h"
#include "web/proxy_settings.h"
#include "window/dialog_window_fixture.h"

namespace {

constexpr int kDirectoryPort = 8080;
constexpr int kProxyPort = 8888;

// Processes events until `done` holds (at most timeout_ms).
bool process_until(const std::function<bool()>& done, int timeout_ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeout_ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

std::string file_or_empty(const std::string& path) {
    return access(path.c_str(), F_OK) == 0 ? read_file(path) : "";
}

struct SettingsDialogsWindow : DialogWindowTest {
    std::string directory_ip = test_ip(101), proxy_ip = test_ip(102), station_ip = test_ip(103);
    ChildProcess directory, proxy;

    void SetUp() override {
        StationState& s = ctx->state;
        set_test_station(*ctx, dir, station_ip, test_ip(104));
        s.SamplingRate = 16000;
        s.BANDWIDTH = 128000;
        s.TransferRate = 2000;
        s.StationCategory = "\\Music";
        // The directory settings are read from the file at each request.
        write_settings("DIRURL=" + directory_ip + "\nDIRURLPORT=" + std::to_string(kDirectoryPort) +
                       "\nCATEGORIES_URL=" + directory_ip + ":" + std::to_string(kDirectoryPort) + "\n");
        open_window();
    }

    void write_settings(const std::string& lines) { write_file(ctx->state.settings_file, "[VelmoraStation]\n" + lines); }
    std::string settings() const { return read_file(ctx->state.settings_file); }
    std::string requests() const { return file_or_empty(dir.file("requests.log")); }

    void start_directory() {
        ASSERT_EQ(start_directory_server(directory, directory_ip, kDirectoryPort, dir.file("requests.log"),
                                         "answer", dir.file("directory.out")),
                  "");
    }
};

TEST_F(SettingsDialogsWindow, options_open_from_settings_write_on_ok_and_nothing_on_cancel) {
    ctx->state.MODE = 0;
    ctx->live_ring.feed_mode = FeedMode::script;
    then<OptionsDialog>([](OptionsDialog& d) {
        EXPECT_EQ(d.bit_rate->currentText(), "128k (ADSL/Cable/Dual ISDN)");
        EXPECT_EQ(d.audio_type->currentText(), "Music");
        EXPECT_TRUE(d.script_mode->isChecked());
        EXPECT_TRUE(d.script->isEnabled());
        d.choose_script = [] { return QStringLiteral("/radio/night.VSK"); };
        QTest::mouseClick(d.browse, Qt::LeftButton);
        EXPECT_EQ(d.script->text(), "/radio/night.VSK");
        d.live_mode->click();
        EXPECT_FALSE(d.script->isEnabled());
        EXPECT_FALSE(d.browse->isEnabled());
        d.audio_type->setCurrentIndex(0);
        d.bit_rate->setEditText("64k");
        QTest::mouseClick(d.ok, Qt::LeftButton);
    });
    window->action(Command::settings)->trigger();
    ASSERT_EQ(dialogs_shown, QStringList{"Options"});
    std::string written = settings();
    EXPECT_NE(written.find("SamplingRate=8000\nMBONE=0\nBANDWIDTH=64000\nImageQuality=2\nTransferRate=2000\n"
                           "Mode=1\nMBONEIP=0.0.0.0\nINTRANET=0\nStationScript=/radio/night.VSK\n"),
              std::string::npos)
        << written;
    // The main window takes the new mode and rate at once.
    EXPECT_EQ(ctx->live_ring.feed_mode, FeedMode::live_priming);
    EXPECT_EQ(ctx->state.device_rate, 11025);
    // Build Script stays usable: in live feed it opens the live list editor.
    EXPECT_TRUE(window->action(Command::build_script)->isEnabled());

    then<OptionsDialog>([](OptionsDialog& d) {
        EXPECT_TRUE(d.live_mode->isChecked());
        EXPECT_EQ(d.bit_rate->currentText(), "64k (ISDN)");
        d.bit_rate->setEditText("1.53M");
        d.script_mode->click();
        QTest::mouseClick(d.cancel, Qt::LeftButton);
    });
    window->run_command(Command::settings);
    EXPECT_EQ(settings(), written);
    EXPECT_EQ(ctx->state.MODE, 1);
    EXPECT_EQ(ctx->state.BANDWIDTH, 64000);
}

// Enter in Options, then Autostart ticked and Enter in Expert Settings: the
// file keeps the station's sampling rate, stream rate and bound address.
TEST_F(SettingsDialogsWindow, enter_in_options_and_expert_settings_keeps_what_was_not_changed) {
    write_settings("SamplingRate=16000\nTransferRate=2000\nBANDWIDTH=28800\nMode=0\nSPECIFIC_IP=1\n"
                   "IP_ADDR=" + station_ip + "\nStationLocation=Here\n");
    ASSERT_EQ(load_settings(*ctx, true), 1);
    ctx->live_ring.feed_mode = FeedMode::script;
    ctx->state.TransferRate = 1920;  // a script of 12 % at 16000 Hz was loaded
    then<OptionsDialog>([](OptionsDialog& d) { QTest::keyClick(&d, Qt::Key_Return); });
    window->action(Command::settings)->trigger();
    then<ExpertDialog>([](ExpertDialog& d) {
        d.autostart->click();
        QTest::keyClick(&d, Qt::Key_Return);
    });
    window->action(Command::expert_settings)->trigger();
    ASSERT_EQ(dialogs_shown, (QStringList{"Options", "Expert Settings"}));
    EXPECT_TRUE(boxes.empty()) << boxes.front();  // nothing changed: nothing asked or warned
    const std::string written = settings();
    const std::vector<std::string> kept = {"SamplingRate=16000\n", "TransferRate=2000\n",
                                           "IP_ADDR=" + station_ip + "\n", "SPECIFIC_IP=1\n",
                                           "AutoStart=1\n"};
    for (const std::string& line : kept)
        EXPECT_NE(written.find(line), std::string::npos) << line << written;
    EXPECT_EQ(written.find("SamplingRate=22050"), std::string::npos) << written;
    EXPECT_EQ(written.find("TransferRate=1920"), std::string::npos) << written;
}

// "abc" typed as the bit rate: the field is named and the dialog stays open.
TEST_F(SettingsDialogsWindow, options_refuse_a_typed_bit_rate_without_a_number) {
    write_settings("BANDWIDTH=64000\n");
    ctx->state.BANDWIDTH = 64000;
    bool still_open = false;
    then<OptionsDialog>([&](OptionsDialog& d) {
        d.bit_rate->lineEdit()->selectAll();
        QTest::keyClicks(d.bit_rate->lineEdit(), "abc");
        QTest::keyClick(&d, Qt::Key_Return);
        still_open = d.isVisible();
    });
    window->action(Command::settings)->trigger();
    EXPECT_TRUE(still_open);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind("Broadcaster Connection Bit Rate: \"abc\" is not a bit rate", 0), 0u)
        << boxes[0];
    EXPECT_EQ(settings(), "[VelmoraStation]\nBANDWIDTH=64000\n");
    EXPECT_EQ(ctx->state.BANDWIDTH, 64000);
}

TEST_F(SettingsDialogsWindow, options_without_a_sound_card_grey_live_and_open_in_script_mode) {
    ctx->controller.no_sound_card = true;
    ctx->state.MODE = 1;
    OptionsDialog dialog(*ctx, window.get());
    EXPECT_FALSE(dialog.live_mode->isEnabled());
    EXPECT_TRUE(dialog.script_mode->isChecked());
    EXPECT_TRUE(dialog.script->isEnabled());
}

TEST_F(SettingsDialogsWindow, no_settings_dialog_opens_while_broadcasting) {
    ctx->sender.broadcast_state = BroadcastState::broadcasting;
    update_broadcast_menu(*ctx);
    window->sync_view();
    for (Command command : {Command::settings, Command::expert_settings, Command::station_info}) {
        EXPECT_FALSE(window->action(command)->isEnabled()) << static_cast<int>(command);
        window->run_command(command);  // as the accelerator or a posted command would
    }
    EXPECT_TRUE(dialogs_shown.empty());
    ctx->sender.broadcast_state = BroadcastState::idle;
}

TEST_F(SettingsDialogsWindow, expert_settings_keep_a_high_rate_until_scrolled_and_set_up_autostart) {
    ctx->state.TransferRate = 8000;  // above the maximum of 16000 Hz and 128k: 16000
    ctx->state.BANDWIDTH = 28800;    // maximum 3600
    ctx->state.SPECIFIC_IP = 0;
    ctx->state.RepeaterIP = std::string(749, '7');
    then<ExpertDialog>([](ExpertDialog& d) {
        EXPECT_EQ(d.rate_text->text(), "64,000 bps (T1/LAN)");
        EXPECT_FALSE(d.address->isEnabled());
        d.specific_ip->click();
        EXPECT_TRUE(d.address->isEnabled());
        d.specific_ip->click();
        d.autostart->setChecked(true);
        QTest::mouseClick(d.cancel, Qt::LeftButton);
    });
    window->run_command(Command::expert_settings);
    EXPECT_EQ(settings().find("TransferRate"), std::string::npos);
    EXPECT_FALSE(autostart_entry_exists());

    then<ExpertDialog>([](ExpertDialog& d) {
        EXPECT_EQ(d.rate(), 8000);
        d.stream_rate->triggerAction(QAbstractSlider::SliderSingleStepSub);  // clamps to the maximum
        EXPECT_EQ(d.rate_text->text(), "28,800 bps (56k)");
        d.stream_rate->triggerAction(QAbstractSlider::SliderPageStepSub);
        EXPECT_EQ(d.stream_rate->value(), 3350);
        d.autostart->setChecked(true);
        d.auto_rate->setChecked(false);
        QTest::mouseClick(d.ok, Qt::LeftButton);
    });
    window->action(Command::expert_settings)->trigger();
    std::string written = settings();
    EXPECT_NE(written.find("Stream2X=0\nAutoStart=1\nTransferRate=3350\nSPECIFIC_IP=0\nRepeaterIP=" +
                           std::string(749, '7') + "\n"),
              std::string::npos)
        << written;
    EXPECT_TRUE(autostart_entry_exists());
    EXPECT_EQ(ctx->state.AutoStart, 2);
    pace_tick(*ctx);  // the running station does not start by itself
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
}

// Left lowers the rate and moves the thumb left; Right raises it.
TEST_F(SettingsDialogsWindow, the_arrow_keys_move_the_stream_rate_the_way_the_bar_shows_it) {
    ctx->state.TransferRate = 2500;
    ExpertDialog d(*ctx, host, {"127.0.0.1"}, window.get());
    d.show();
    struct Case {
        Qt::Key key;
        int change;
    } cases[] = {{Qt::Key_Left, -STREAM_RATE_LINE}, {Qt::Key_Right, STREAM_RATE_LINE}};
    for (const Case& c : cases) {
        const int before = d.rate();
        QTest::keyClick(d.stream_rate, c.key);
        EXPECT_EQ(d.rate(), before + c.change) << c.key;
        EXPECT_EQ(d.stream_rate->value(), d.rate()) << c.key;
    }
}

TEST_F(SettingsDialogsWindow, expert_settings_name_a_stored_address_the_station_cannot_bind) {
    struct Case {
        const char* stored;
        const char* note;  // how the note begins; nullptr: no note
    } cases[] = {
        {"300.1.2.3", "The stored address IP_ADDR=300.1.2.3 is not a dotted IPv4 address"},
        {"127.0.0.1", nullptr},
    };
    ctx->state.SPECIFIC_IP = 1;
    for (const Case& c : cases) {
        ctx->state.IP_ADDR = c.stored;
        then<ExpertDialog>([&](ExpertDialog& d) {
            if (!c.note) {
                EXPECT_EQ(d.address_note, nullptr) << c.stored;
            } else {
                ASSERT_NE(d.address_note, nullptr) << c.stored;
                EXPECT_TRUE(d.address_note->text().startsWith(c.note)) << d.address_note->text().toStdString();
            }
            QTest::mouseClick(d.cancel, Qt::LeftButton);
        });
        window->run_command(Command::expert_settings);
    }
}

TEST_F(SettingsDialogsWindow, the_http_proxy_button_opens_the_proxy_dialog_open_and_saves_it) {
    ASSERT_TRUE(save_proxy_settings({"old.proxy", 3128, "dj", "pa55"}));
    then<ExpertDialog>([](ExpertDialog& d) {
        QTest::mouseClick(d.proxy, Qt::LeftButton);
        QTest::mouseClick(d.cancel, Qt::LeftButton);  // the proxy is saved all the same
    });
    then<ProxyDialog>([](ProxyDialog& d) {
        EXPECT_TRUE(d.server->isEnabled());
        EXPECT_TRUE(d.port->isEnabled());
        EXPECT_EQ(d.hint->text(), "Leave blank if you do not use proxy server.");
        EXPECT_EQ(d.password->text(), "pa55");
        EXPECT_EQ(d.password->echoMode(), QLineEdit::Password);
        d.server->setText("127.0.0.1");
        d.port->setText("8888");
        d.password->setText("n3w pass");
        QTest::mouseClick(d.ok, Qt::LeftButton);
    });
    window->run_command(Command::expert_settings);
    ASSERT_EQ(dialogs_shown, QStringList({"Expert Settings", "Proxy Information"}));
    ProxySettings stored;
    ASSERT_TRUE(load_proxy_settings(stored));
    EXPECT_EQ(stored.server, "127.0.0.1");
    EXPECT_EQ(stored.port, 8888);
    EXPECT_EQ(stored.user_id, "dj");
    EXPECT_EQ(stored.password, "n3w pass");
}

TEST_F(SettingsDialogsWindow, station_information_lists_the_directory_categories_and_writes_on_ok) {
    start_directory();
    ctx->state.StationCategory = "\\music";  // a prefix of the first item: selects it
    then<StationInfoDialog>([](StationInfoDialog& d) {
        ASSERT_TRUE(process_until([&] { return d.categories_fetched(); }, 20000));
        QStringList items;
        for (int i = 0; i < d.category->count(); ++i) items << d.category->itemText(i);
        EXPECT_EQ(items, QStringList({"\\Music", "\\Music\\Rock", "\\Music\\Jazz", "\\Talk"}));
        EXPECT_EQ(d.category->currentText(), "\\Music");
        EXPECT_FALSE(d.category_note->isVisible());
        EXPECT_FALSE(d.category->isEditable());
        d.category->setCurrentIndex(2);
        d.name->setText("Night FM");
        d.location->setText("Harbour");
        d.email->setText("dj@example.com");
        d.url->setText("http://127.0.0.1/");
        d.description->setPlainText(QString(748, 'd'));
        d.description->moveCursor(QTextCursor::End);
        QTest::keyClicks(d.description, "ef");  // the 750th character is not taken
        EXPECT_EQ(d.description->toPlainText().size(), 749);
        QTest::mouseClick(d.ok, Qt::LeftButton);
    });
    window->run_command(Command::station_info);
    ASSERT_EQ(dialogs_shown.size(), 1u);
    EXPECT_NE(settings().find("StationName=Night FM\nStationLocation=Harbour\nStationCategory=\\Music\\Jazz\n"
                              "StationEMAIL=dj@example.com\nWWW_URL=http://127.0.0.1/\nWWW_DESC=" +
                              std::string(748, 'd') + "e\n"),
              std::string::npos)
        << settings();

    // Cancel after the list came again: nothing changes; the version question came only once.
    std::string written = settings();
    then<StationInfoDialog>([](StationInfoDialog& d) {
        ASSERT_TRUE(process_until([&] { return d.categories_fetched(); }, 20000));
        EXPECT_EQ(d.category->currentText(), "\\Music\\Jazz");
        d.category->setCurrentIndex(3);
        QTest::mouseClick(d.cancel, Qt::LeftButton);
    });
    window->run_command(Command::station_info);
    EXPECT_EQ(settings(), written);
    EXPECT_EQ(ctx->state.StationCategory, "\\Music\\Jazz");
    int questions = 0;
    for (const std::string& box : boxes) questions += box.find("newer version") != std::string::npos;
    EXPECT_EQ(questions, 1);
}

TEST_F(SettingsDialogsWindow, station_information_keeps_the_stored_category_when_the_directory_is_away) {
    ctx->state.StationCategory = "\\Talk";  // nobody listens on the directory's address
    then<StationInfoDialog>([](StationInfoDialog& d) {
        const QSize shown = d.size();  // on screen, before the fetch
        ASSERT_TRUE(process_until([&] { return d.categories_fetched(); }, 20000));
        // The note needs no more room than the dialog had when it was shown:
        // a window system may keep that size, and OK and Cancel must not be
        // drawn over the description then.
        EXPECT_LE(d.sizeHint().height(), shown.height());
        ASSERT_EQ(d.category->count(), 1);
        EXPECT_EQ(d.category->currentText(), "\\Talk");
        // Told why, with the host and the cause, and a category can be typed.
        EXPECT_TRUE(d.category_note->isVisible());
        const QString note = d.category_note->text();
        EXPECT_TRUE(note.startsWith("The category list could not be fetched from "))
            << note.toStdString();
        EXPECT_TRUE(note.contains(QString::number(kDirectoryPort))) << note.toStdString();
        EXPECT_TRUE(note.contains("refused")) << note.toStdString();
        // The note makes room for itself: nothing is drawn over the description.
        QTest::qWait(50);
        EXPECT_EQ(overlapping_controls(d), "");
        ASSERT_TRUE(d.category->isEditable());
        d.category->setEditText("\\Talk\\Late Night");
        QTest::mouseClick(d.ok, Qt::LeftButton);
    });
    window->run_command(Command::station_info);
    EXPECT_NE(settings().find("StationCategory=\\Talk\\Late Night\n"), std::string::npos)
        << settings();
}

// A proxy that refuses the stored password: the dialog comes up locked for
// each refused request; Escape ends the request, the right password lets
// the add through.
TEST_F(SettingsDialogsWindow, a_proxy_refusal_asks_again_for_the_password_and_escape_gives_up) {
    start_directory();
    ASSERT_EQ(start_test_proxy(proxy, proxy_ip, kProxyPort, true, dir.file("tinyproxy.conf"),
                               dir.file("proxy.out")),
              "");
    ASSERT_TRUE(save_proxy_settings({proxy_ip, kProxyPort, TEST_PROXY_USER, "wrong"}));
    // A script on the air: the station lists itself once its first tick is
    // out, and the stop unlists it.
    CodecState codec;
    set_rate(codec, ctx->state.SamplingRate, ctx->state.TransferRate);
    char header[64];
    snprintf(header, sizeof header, "1 16000 %03d SCRIPT", codec.rate_percent);
    std::string script = header;
    script.push_back('\0');
    write_file(dir.file("song.VMA"), sample_file(std::vector<std::string>(16, std::string(20, 'x'))));
    script += "1 " + dir.file("song.VMA") + " \"\" A song";
    script.push_back('\0');
    write_file(dir.file("show.VSK"), script);
    ctx->state.StationScript = dir.file("show.VSK");
    ctx->state.MODE = 0;
    ctx->live_ring.feed_mode = FeedMode::script;
    update_start_menu(*ctx);
    window->sync_view();
    window->start_timers();
    auto on_air_then_stop = [&](qsizetype dialogs) {
        window->run_command(Command::start);
        ASSERT_TRUE(process_until([&] { return dialogs_shown.size() >= dialogs; }, 20000));
        window->run_command(Command::start_stop);
        ASSERT_TRUE(process_until([&] { return ctx->sender.broadcast_state == BroadcastState::idle; }, 20000));
    };

    auto escape = [](ProxyDialog& d) {
        EXPECT_FALSE(d.server->isEnabled());
        EXPECT_FALSE(d.port->isEnabled());
        EXPECT_EQ(d.hint->text(), "Please re-enter the user id and password.");
        QTest::keyClick(&d, Qt::Key_Escape);
    };
    then<ProxyDialog>(escape);  // the add
    then<ProxyDialog>(escape);  // the remove after the refused add counted as a listing
    on_air_then_stop(1);
    ASSERT_TRUE(process_until([&] { return dialogs_shown.size() >= 2; }, 5000));
    EXPECT_EQ(dialogs_shown.size(), 2u);
    EXPECT_EQ(requests(), "");  // no retry got past the proxy

    dialogs_shown.clear();
    then<ProxyDialog>([](ProxyDialog& d) {
        EXPECT_FALSE(d.server->isEnabled());
        d.password->setText(TEST_PROXY_PASSWORD);
        QTest::mouseClick(d.ok, Qt::LeftButton);
    });
    on_air_then_stop(1);
    ASSERT_TRUE(process_until([&] { return requests().find("del_vsl") != std::string::npos; }, 5000));
    EXPECT_EQ(dialogs_shown.size(), 1u);  // the remove went through with the saved password
    EXPECT_NE(requests().find("GET /cgi-local/ul_vsl.prl?vslFile="), std::string::npos)
        << requests() << file_or_empty(dir.file("proxy.out"));
    EXPECT_NE(requests().find("GET /cgi-local/del_vsl.prl?vslFile="), std::string::npos) << requests();
}

// Pictures of the five dialogs, each with room for its controls and Tab
// going through them; with VELMORA_DIALOG_PICTURES set they are saved there
// (the README's come from docs/).
TEST_F(SettingsDialogsWindow, each_dialog_paints_with_its_title) {
    ctx->state.StationName = "Radio Velmora Night";
    ctx->state.StationLocation = "Harbour Street";
    ctx->state.StationEMAIL = "dj@example.com";
    ctx->state.WWW_DESC = "Songs for the night shift.";
    ctx->state.StationScript = "/home/dj/shows/night.VSK";
    ctx->state.StationCategory = "\\Music\\Jazz";
    ctx->state.MODE = 0;
    ctx->state.WEB_LISTEN = "8080";
    ctx->state.IP_ADDR = "192.168.1.10";  // one of the addresses offered below
    ASSERT_TRUE(save_proxy_settings({"proxy.example.com", 3128, "dj", "pa55word"}));
    OptionsDialog options(*ctx, nullptr);
    ExpertDialog expert(*ctx, host, {"192.168.1.10", "10.0.0.7"}, nullptr);
    StationInfoDialog station(*ctx, nullptr);
    ProxyDialog proxy_dialog(*ctx, false, nullptr);
    IcecastDialog icecast(*ctx, nullptr);
    const char* dir_name = getenv("VELMORA_DIALOG_PICTURES");
    const std::pair<QDialog*, const char*> all[] = {{&options, "options"},
                                                    {&expert, "expert-settings"},
                                                    {&station, "station-information"},
                                                    {&proxy_dialog, "proxy-information"},
                                                    {&icecast, "icecast"}};
    for (const auto& [dialog, name] : all) {
        dialog->show();
        QCoreApplication::processEvents();
        EXPECT_EQ(overlapping_controls(*dialog), "") << name;
        EXPECT_EQ(keyboard_trap(*dialog), "") << name;
        QImage picture = dialog->grab().toImage();
        EXPECT_GE(picture.width(), 300) << name;
        EXPECT_GE(picture.height(), 100) << name;
        if (dir_name) {
            EXPECT_TRUE(picture.save(QString("%1/%2.png").arg(dir_name, name))) << name;
        }
        dialog->hide();
    }
}

}  // namespace
