// The Script Builder, the live list editor and the preparation dialogs
// offscreen, driven as an operator drives them: file dialogs and entry
// dialogs answered through the editors' seams, message boxes through the
// window host. A script built here is then broadcast by velmora-station and
// heard by velmora-listen.

#include "shell/window/editors/editors.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <deque>

#include "app/context.h"
#include "app/program.h"
#include "app/station.h"
#include "app/controller.h"
#include "app/settings.h"
#include "compression_test_media.h"
#include "media/live_list.h"
#include "media/sample_compression.h"
#include "media/script_file.h"
#include "media/script_text.h"
#include "script_test_media.h"
#include "shell/window/editors/editor_seams.h"
#include "shell/window/editors/entry_dialogs.h"
#include "shell/window/editors/entry_list_editor.h"
#include "shell/window/editors/preparation_dialogs.h"
#include "shell/window/main_window.h"
#include "shell/window/window_host.h"
#include "station_test_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "window/dialog_window_fixture.h"

namespace {

constexpr int kRate = 22050;
constexpr int kPort = 34641;

struct EditorsTest : ::testing::Test {
    WindowHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;
    EditorSeams seams;
    std::vector<std::string> boxes;
    std::deque<Answer> answers;                 // the next boxes' answers; Yes or OK when empty
    std::deque<std::string> files;             // the next file dialogs' answers ("" cancels)
    std::vector<std::string> file_titles;
    std::deque<std::function<void(QDialog&)>> entry_input;  // what the operator does in the next entry dialog
    std::string station_ip = test_ip(95);

    void SetUp() override {
        host.attach(ctx.get());
        host.box_answers = [this](const char* text, BoxStyle style) -> Answer {
            boxes.push_back(text);
            if (!answers.empty()) {
                Answer answer = answers.front();
                answers.pop_front();
                return answer;
            }
            return style.asks_yes_no() ? Answer::yes : Answer::ok;
        };
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=22050\nTransferRate=2205\nBANDWIDTH=64000\nMode=0\n"
                   "AutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip + "\nSTATION_PORT=" +
                       std::to_string(kPort) + "\nMASTER_IP=" + test_ip(96) +
                       "\nStationName=Editor FM\nStationLocation=Loopback\n");
        ctx->state.settings_file = dir.file("station.ini");
        load_settings(*ctx, true);
        ctx->live_ring.feed_mode = FeedMode::script;

        seams.choose_file = [this](QWidget*, const FileQuestion& question) {
            file_titles.push_back(question.title);
            if (files.empty()) return std::string();
            std::string answer = files.front();
            files.pop_front();
            return answer;
        };
        seams.run_modal = [this](QDialog& dialog) {
            if (auto* songs = qobject_cast<SongPreparationDialog*>(&dialog)) {
                songs->open();
                QTest::mouseClick(songs->compress_button(), Qt::LeftButton);
                EXPECT_TRUE(QTest::qWaitFor([&] { return !songs->isVisible(); }, 60000));
                return songs->result();
            }
            if (qobject_cast<PicturePassDialog*>(&dialog)) return dialog.exec();  // ends by itself
            if (entry_input.empty()) return int(QDialog::Rejected);
            auto input = entry_input.front();
            entry_input.pop_front();
            input(dialog);
            return dialog.result();
        };
    }

    // A song of `seconds` of 16-bit stereo tone at 44100 Hz.
    std::string write_song(const std::string& name, double seconds, double hz) {
        std::string path = dir.file(name);
        write_file(path, compression_media::wav(44100, 2, 16, compression_media::tone(44100, 2, 16, seconds, hz)));
        return path;
    }

    // The operator fills the script's Song Info dialog and presses OK.
    void enter_song(const std::string& song, int repeat_item, const std::string& picture = "") {
        entry_input.push_back([=](QDialog& dialog) {
            auto& info = dynamic_cast<SongInfoDialog&>(dialog);
            info.repeat()->setCurrentIndex(repeat_item);
            info.song()->setText(QString::fromStdString(song));
            info.picture()->setText(QString::fromStdString(picture));
            info.ok()->setFocus();
            QTest::mouseClick(info.ok(), Qt::LeftButton);
        });
    }
};

TEST_F(EditorsTest, a_script_built_from_nothing_is_saved_prepared_and_broadcast) {
    std::string one = write_song("one.wav", 1.0, 440);
    std::string two = write_song("two.wav", 1.0, 660);
    write_file(dir.file("cover.bmp"), bmp_bytes(96, 64));

    EntryListEditor editor(*ctx, seams, SCRIPT_LIST, nullptr);
    editor.show();
    ASSERT_EQ(editor.list()->count(), 0);  // no default script yet
    enter_song(one, 1, dir.file("cover.bmp"));
    QTest::mouseClick(editor.add_button(), Qt::LeftButton);
    answers = {Answer::no};  // "Add to the top?" No: below the first
    enter_song(two, 2);
    QTest::keyClick(editor.list(), Qt::Key_Insert);
    ASSERT_EQ(editor.list()->count(), 2);
    EXPECT_EQ(boxes, std::vector<std::string>{TOP_QUESTION});
    EXPECT_EQ(editor.list()->item(1)->text().toStdString(),
              "2 \"" + two + "\" \"\" ");
    EXPECT_EQ(editor.list()->currentRow(), 1);

    const std::string script = dir.file("show.VSK");
    files = {script};
    QTest::mouseClick(editor.save_button(), Qt::LeftButton);
    EXPECT_EQ(file_titles.back(), "Save Script");
    EXPECT_EQ(boxes.back(), DEFAULT_QUESTION);
    EXPECT_EQ(ctx->state.StationScript, script);
    EXPECT_FALSE(editor.model().modified);
    // Both songs prepared, the header completed with the run's rate percentage.
    for (std::string song : {"one", "two"}) {
        EXPECT_TRUE(compression_media::read_sample_file(dir.file(song + ".VMA")).clean_end) << song;
        EXPECT_TRUE(compression_media::read_sample_file(dir.file(song + ".V40")).clean_end) << song;
    }
    int rate = 0, percent = 0;
    ASSERT_EQ(read_script_header(script.c_str(), &rate, &percent), 1);
    EXPECT_EQ(rate, kRate);
    EXPECT_EQ(percent, ctx->codec.rate_percent);
    EXPECT_GT(percent, 0);
    EXPECT_EQ(boxes.size(), 2u);  // nothing went wrong on the way
    QTest::mouseClick(editor.done_button(), Qt::LeftButton);
    EXPECT_FALSE(editor.isVisible());
    EXPECT_EQ(editor.result(), 1);

    // The station takes the script from its settings and plays it.
    ChildProcess station;
    ASSERT_TRUE(station.start({program_path("velmora-station"), dir.file("station.ini")}, dir.file("station.out"),
                              dir.path(),
                              {{"VELMORA_HOME", dir.path()}, {"XDG_CONFIG_HOME", dir.path()},
                               {"XDG_RUNTIME_DIR", dir.path()}}));
    ProgramResult listen = run_program({program_path("velmora-listen"), station_ip, "--port", std::to_string(kPort),
                                        "--bind", test_ip(97), "--seconds", "4", "--wav", dir.file("heard.wav"),
                                        "--pictures", dir.path()},
                                       dir.path(), {}, 30000);
    ASSERT_EQ(listen.status, 0) << listen.output << read_file(dir.file("station.out"));
    EXPECT_GE(read_file(dir.file("heard.wav")).size(), 44u + 16384u) << listen.output;
    EXPECT_NE(listen.output.find("pictures 1"), std::string::npos) << listen.output;
}

TEST_F(EditorsTest, cancel_in_the_middle_leaves_nothing_that_counts_as_prepared) {
    std::string song = write_song("long.wav", 8.0, 440);
    EntryList list{SCRIPT_LIST, {format_entry(SCRIPT_LIST, {1, song, "", ""})}, -1, true, {}};
    const std::string script = dir.file("long.VSK");
    ASSERT_EQ(save_entry_file(*ctx, ctx->state, list, script), 1);

    SongPreparationDialog dialog(*ctx, seams, script, nullptr);
    ASSERT_EQ(dialog.waiting(), 1);
    dialog.open();
    QTest::mouseClick(dialog.compress_button(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.progress()->value() >= 20; }, 30000));
    EXPECT_TRUE(dialog.status()->text().startsWith("Compressing sample 1 of 1 (")) << dialog.status()->text().toStdString();
    EXPECT_EQ(dialog.list()->item(0)->text().at(0) == '*' || dialog.list()->item(0)->text().at(0) == '#', true);
    // While the question is open the event loop runs, but no step does.
    int percent_at_question = -1, percent_after_wait = -2;
    host.box_answers = [&](const char* text, BoxStyle) {
        boxes.push_back(text);
        percent_at_question = dialog.job().percent;
        QTest::qWait(100);
        percent_after_wait = dialog.job().percent;
        return Answer::yes;
    };
    QTest::mouseClick(dialog.cancel_button(), Qt::LeftButton);
    EXPECT_EQ(boxes.back(), CANCEL_QUESTION);
    EXPECT_EQ(percent_at_question, percent_after_wait);
    EXPECT_LT(percent_after_wait, 100);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);

    EXPECT_EQ(file_size(dir.file("long.VMA").c_str()), -1);
    EXPECT_EQ(file_size(dir.file("long.V40").c_str()), -1);
    SongJob again;
    EXPECT_EQ(open_song_job(*ctx, ctx->codec, ctx->state, again, script.c_str()), 1);  // still waiting to be compressed
    end_song_job(*ctx, ctx->codec, again);
}

TEST_F(EditorsTest, live_list_round_trip_keeps_two_line_texts_and_becomes_the_live_default) {
    write_file(dir.file("face.bmp"), bmp_bytes(64, 64));
    EntryListEditor editor(*ctx, seams, LIVE_LIST, nullptr);
    editor.show();
    entry_input.push_back([&](QDialog& dialog) {
        auto& entry = dynamic_cast<ListEntryDialog&>(dialog);
        EXPECT_EQ(entry.duration()->currentText(), "360 seconds");
        entry.picture()->setText(QString::fromStdString(dir.file("face.bmp")));
        entry.text()->setPlainText("Good evening\nfrom the loopback");
        entry.duration()->setCurrentText("90");
        QTest::mouseClick(entry.ok(), Qt::LeftButton);
    });
    entry_input.push_back([](QDialog& dialog) {  // confirmed as it opened
        QTest::mouseClick(dynamic_cast<ListEntryDialog&>(dialog).ok(), Qt::LeftButton);
    });
    QTest::mouseClick(editor.add_button(), Qt::LeftButton);
    QTest::mouseClick(editor.add_button(), Qt::LeftButton);  // "Add to the top?" Yes
    ASSERT_EQ(editor.model().entries,
              (std::vector<std::string>{"360 \"\" ",
                                        "90 \"" + dir.file("face.bmp") + "\" Good evening\nfrom the loopback"}));

    // Done with changes: saved first, then closed.
    const std::string path = dir.file("evening.live");
    files = {path};
    QTest::mouseClick(editor.done_button(), Qt::LeftButton);
    EXPECT_EQ(editor.result(), 1);
    EXPECT_FALSE(editor.isVisible());
    EXPECT_EQ(ctx->state.LiveScript, path);
    EXPECT_NE(read_file(dir.file("station.ini")).find("LiveScript=" + path), std::string::npos);
    EXPECT_EQ(file_size(dir.file("face.dbp").c_str()) > 0, true);  // the picture pass ran

    EntryListEditor reopened(*ctx, seams, LIVE_LIST, nullptr);
    EXPECT_EQ(reopened.model().entries, editor.model().entries);
    EXPECT_EQ(reopened.list()->item(1)->text(), "90 \"" + QString::fromStdString(dir.file("face.bmp")) +
                                                    "\" Good evening\nfrom the loopback");
    ASSERT_EQ(open_live_list(*ctx, ctx->script, path.c_str()), 2);
    EXPECT_STREQ(ctx->script.entries[1].text, "Good evening\nfrom the loopback");
    EXPECT_EQ(ctx->script.entries[1].count, 90);

    reopened.list()->setCurrentRow(0);
    QTest::keyClick(reopened.list(), Qt::Key_Delete);
    EXPECT_EQ(reopened.list()->currentRow(), -1);
    QTest::keyClick(reopened.list(), Qt::Key_Delete);  // nothing selected: nothing removed
    EXPECT_EQ(reopened.list()->count(), 1);
}

TEST_F(EditorsTest, edits_keep_what_the_dialog_hides_and_closing_never_loses_changes) {
    std::string song = write_song("song.wav", 0.2, 440);
    write_file(dir.file("pic.bmp"), bmp_bytes(64, 64));
    const std::string script = dir.file("old.VSK");
    const std::string old_bytes =
        zero_lines({"1 22050 032 SCRIPT", "12 \"" + song + "\" \"" + dir.file("pic.bmp") + "\" Night mix"});
    write_file(script, old_bytes);
    ctx->state.StationScript = script;

    EntryListEditor editor(*ctx, seams, SCRIPT_LIST, nullptr);
    editor.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&editor));
    ASSERT_EQ(editor.list()->count(), 1);
    entry_input.push_back([](QDialog& dialog) {
        auto& info = dynamic_cast<SongInfoDialog&>(dialog);
        EXPECT_EQ(info.repeat()->currentIndex(), -1);  // 12 has no item
        QTest::mouseClick(info.ok(), Qt::LeftButton);
    });
    const QPoint first = editor.list()->visualItemRect(editor.list()->item(0)).center();
    QTest::mouseClick(editor.list()->viewport(), Qt::LeftButton, {}, first);
    QTest::mouseDClick(editor.list()->viewport(), Qt::LeftButton, {}, first);
    EXPECT_EQ(editor.model().entries[0],
              "12 \"" + song + "\" \"" + dir.file("pic.bmp") + "\" Night mix");
    EXPECT_TRUE(editor.model().modified);

    // Dropped files: the sound file is added, the text file ignored.
    EXPECT_TRUE(editor.acceptDrops());
    editor.drop_files({QString::fromStdString(song), QString::fromStdString(dir.file("notes.txt"))});
    ASSERT_EQ(editor.list()->count(), 2);
    EXPECT_EQ(editor.model().entries[1], "1 \"" + song + "\" \"\" ");

    // Done, Yes to saving, the save dialog cancelled: still open.
    boxes.clear();
    QTest::mouseClick(editor.done_button(), Qt::LeftButton);
    EXPECT_EQ(boxes, std::vector<std::string>{SAVE_QUESTION});
    EXPECT_TRUE(editor.isVisible());
    // A save that fails: told, still open and modified, no default question
    // and no preparation.
    boxes.clear();
    files = {dir.file("no/such/folder/new.VSK")};
    QTest::mouseClick(editor.done_button(), Qt::LeftButton);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[1].find("could not be saved to " + dir.file("no/such/folder/new.VSK")), std::string::npos);
    EXPECT_TRUE(editor.isVisible());
    EXPECT_TRUE(editor.model().modified);
    EXPECT_EQ(file_size(dir.file("song.VMA").c_str()), -1);
    EXPECT_EQ(read_file(script), old_bytes);
    // No: closed without saving.
    answers = {Answer::no};
    QTest::mouseClick(editor.done_button(), Qt::LeftButton);
    EXPECT_FALSE(editor.isVisible());
    EXPECT_EQ(editor.result(), 0);
    EXPECT_EQ(read_file(script), old_bytes);
}

TEST_F(EditorsTest, start_without_a_script_asks_for_one_and_broadcasts_it) {
    std::string song = write_song("song.wav", 0.5, 440);
    EntryList list{SCRIPT_LIST, {format_entry(SCRIPT_LIST, {1, song, "", ""})}, -1, true, {}};
    const std::string script = dir.file("picked.VSK");
    ASSERT_EQ(save_entry_file(*ctx, ctx->state, list, script), 1);
    { SongPreparationDialog songs(*ctx, seams, script, nullptr); seams.run_modal(songs); }
    set_test_station(*ctx, dir, station_ip, test_ip(96));

    MainWindow window(*ctx, host, load_skin("", nullptr));
    auto window_seams = install_editors(*ctx, host, &window);
    window_seams->choose_file = seams.choose_file;
    files = {""};  // cancelled: nothing starts
    window.run_command(Command::start);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(file_titles.back(), "Load Script");
    files = {script};
    window.run_command(Command::start);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting) << (boxes.empty() ? "" : boxes.back());
    EXPECT_EQ(ctx->script.script_entries, 1);
    EXPECT_TRUE(ctx->state.StationScript.empty());  // picked for this start only
    window.run_command(Command::stop);
    QTest::qWait(20);
    close_station(*ctx);
}

TEST_F(EditorsTest, wave_dialog_takes_only_a_usable_source_and_proposes_its_destination) {
    const std::string song = write_song("tune.wav", 0.2, 440);
    write_file(dir.file("ulaw.wav"), wav_bytes::riff(wav_bytes::chunk("fmt ", wav_bytes::format(7, 1, 8000, 8)) +
                                                     wav_bytes::chunk("data", std::string(800, '\x80'))));
    WaveDialog wave(*ctx, seams, nullptr);
    wave.take_source(dir.file("ulaw.wav"));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], dir.file("ulaw.wav") + ": unknown file format!\nOnly PCM wave files are supported.");
    EXPECT_TRUE(wave.source()->text().isEmpty());
    write_file(dir.file("notes.wav"), "my notes, not a song\n");
    wave.take_source(dir.file("notes.wav"));
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[1].find("It is not a RIFF/WAVE file"), std::string::npos) << boxes[1];
    EXPECT_TRUE(wave.source()->text().isEmpty());
    wave.take_source(song);
    EXPECT_EQ(wave.source()->text().toStdString(), song);
    EXPECT_EQ(wave.destination()->text().toStdString(), dir.file("tune.VMA"));
    wave.destination()->setText("kept.VMA");
    wave.take_source(song);  // a destination given stays
    EXPECT_EQ(wave.destination()->text(), "kept.VMA");
}

TEST_F(EditorsTest, song_info_takes_a_text_and_refuses_a_text_file_named_wav) {
    const std::string song = write_song("song.wav", 0.2, 440);
    write_file(dir.file("notes.wav"), "my notes, not a song\n");
    EntryFields fields = split_entry(SCRIPT_LIST, "2 \"" + song + "\" \"\" Morning show");
    SongInfoDialog info(*ctx, seams, fields, nullptr);
    info.show();
    EXPECT_EQ(info.text()->toPlainText(), "Morning show");  // kept on edit

    info.song()->setText(QString::fromStdString(dir.file("notes.wav")));
    info.ok()->setFocus();
    QTest::mouseClick(info.ok(), Qt::LeftButton);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes.back(), dir.file("notes.wav") +
                                ": unknown file format!\nIt is not a RIFF/WAVE file; only PCM wave "
                                "files are supported.");
    EXPECT_TRUE(info.isVisible());

    info.song()->setText(QString::fromStdString(song));
    info.text()->setPlainText("Half; lost");
    QTest::mouseClick(info.ok(), Qt::LeftButton);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes.back().find("\";\""), std::string::npos);
    EXPECT_TRUE(info.isVisible());

    info.text()->setPlainText("Good morning, listeners");
    QTest::mouseClick(info.ok(), Qt::LeftButton);
    EXPECT_EQ(info.result(), QDialog::Accepted);
    EXPECT_EQ(format_entry(SCRIPT_LIST, info.fields()),
              "2 \"" + song + "\" \"\" Good morning, listeners");
}

// Enter in a path edit only moves the focus to OK: no Browse button may be
// the dialog's default, or Enter would open a file dialog instead.
TEST_F(EditorsTest, enter_in_a_path_edit_moves_to_ok_and_opens_no_file_dialog) {
    const std::string song = write_song("enter.wav", 0.2, 440);
    SongInfoDialog info(*ctx, seams, split_entry(SCRIPT_LIST, NEW_SCRIPT_ENTRY), nullptr);
    ListEntryDialog entry(*ctx, seams, split_entry(LIVE_LIST, NEW_LIVE_ENTRY), nullptr);
    struct Case {
        const char* name;
        QDialog* dialog;
        QLineEdit* edit;
        QPushButton* ok;
    };
    for (const Case& c : {Case{"Song", &info, info.song(), info.ok()},
                          Case{"Picture", &info, info.picture(), info.ok()},
                          Case{"Bitmap", &entry, entry.picture(), entry.ok()}}) {
        SCOPED_TRACE(c.name);
        c.dialog->show();
        c.edit->setFocus();
        c.edit->setText(QString::fromStdString(song));
        QTest::keyClick(c.edit, Qt::Key_Return);
        EXPECT_TRUE(file_titles.empty()) << file_titles.front();
        EXPECT_EQ(c.dialog->focusWidget(), c.ok);
        EXPECT_TRUE(c.dialog->isVisible());
        c.edit->clear();
        file_titles.clear();
    }
}

// Every editor dialog has room for its controls, and Tab goes through them.
TEST_F(EditorsTest, editor_dialogs_give_each_control_its_place_and_a_tab_stop) {
    EntryListEditor builder(*ctx, seams, SCRIPT_LIST, nullptr);
    EntryListEditor live(*ctx, seams, LIVE_LIST, nullptr);
    SongInfoDialog info(*ctx, seams, split_entry(SCRIPT_LIST, NEW_SCRIPT_ENTRY), nullptr);
    ListEntryDialog entry(*ctx, seams, split_entry(LIVE_LIST, NEW_LIVE_ENTRY), nullptr);
    WaveDialog wave(*ctx, seams, nullptr);
    const std::pair<QDialog*, const char*> all[] = {
        {&builder, "Script Builder"}, {&live, "Station Bitmaps"}, {&info, "Song Info"},
        {&entry, "Picture and Text"}, {&wave, "Wave"}};
    // The live list's own words: a picture and a text, deleted one at a time.
    EXPECT_EQ(entry.windowTitle(), LIVE_ENTRY_TITLE);
    QStringList live_buttons;
    for (QPushButton* b : live.findChildren<QPushButton*>()) live_buttons << b->text();
    EXPECT_TRUE(live_buttons.contains("Delete Bitmap")) << live_buttons.join(", ").toStdString();
    for (const QString& text : live_buttons)
        EXPECT_FALSE(text.contains("Bitmaps")) << text.toStdString();
    for (const auto& [dialog, name] : all) {
        dialog->show();
        QCoreApplication::processEvents();
        EXPECT_EQ(overlapping_controls(*dialog), "") << name;
        EXPECT_EQ(keyboard_trap(*dialog), "") << name;
        dialog->hide();
    }
}

TEST_F(EditorsTest, file_dialogs_add_the_filter_extension_to_a_bare_name) {
    for (auto [filter, suffix] : {std::pair{SCRIPT_FILTER, "VSK"},
                                  {BITMAP_FILTER, "BMP"},
                                  {WAVE_FILTER, "wav"},
                                  {"Radio Velmora DJ (*.VSK)", "VSK"},
                                  {"All files (*)", ""}})
        EXPECT_EQ(filter_suffix(filter), QString::fromLatin1(suffix)) << filter;
    // The real dialog, its name typed as an operator types it.
    struct Case {
        const char* typed;
        const char* chosen;
    };
    for (const Case& c :
         {Case{"show", "show.VSK"}, {"night.vsk", "night.vsk"}, {"late.show", "late.show"}}) {
        const std::string chosen = ask_for_file(
            nullptr, {"Save Script", SCRIPT_FILTER, true, dir.file("*.VSK")}, [&](QDialog& dialog) {
                auto& files = dynamic_cast<QFileDialog&>(dialog);
                files.setOption(QFileDialog::DontUseNativeDialog);
                files.selectFile(QString::fromStdString(dir.file(c.typed)));
                static_cast<QDialog&>(files).accept();
                return files.result();
            });
        EXPECT_EQ(chosen, dir.file(c.chosen)) << c.typed;
    }
}

TEST_F(EditorsTest, the_song_dialog_shows_no_percentage_before_compress) {
    const std::string song = write_song("quiet.wav", 0.5, 440);
    EntryList list{SCRIPT_LIST, {format_entry(SCRIPT_LIST, {1, song, "", ""})}, -1, true, {}};
    ASSERT_EQ(save_entry_file(*ctx, ctx->state, list, dir.file("quiet.VSK")), 1);
    SongPreparationDialog songs(*ctx, seams, dir.file("quiet.VSK"), nullptr);
    songs.show();
    EXPECT_FALSE(songs.progress()->isTextVisible());
    QTest::mouseClick(songs.compress_button(), Qt::LeftButton);
    EXPECT_TRUE(songs.progress()->isTextVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !songs.isVisible(); }, 30000));
}

// Pixels in `area` of the picture that differ from its first pixel: text drawn there.
int drawn_pixels(const QImage& image, const QRect& area) {
    const QRgb background = image.pixel(area.topLeft());
    int drawn = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) drawn += image.pixel(x, y) != background;
    return drawn;
}

// The pictures of the README: the editors and the song dialog at work. With
// VELMORA_SCREENSHOTS naming a folder they are saved there as PNG.
TEST_F(EditorsTest, editors_and_the_song_dialog_draw_their_entries_and_progress) {
    const char* folder = getenv("VELMORA_SCREENSHOTS");
    auto keep = [&](QWidget& widget, const char* name) {
        QImage shot = widget.grab().toImage();
        EXPECT_EQ(shot.size(), widget.size() * widget.devicePixelRatio());
        if (folder) {
            EXPECT_TRUE(shot.save(QString::fromLocal8Bit(folder) + "/" + name, "PNG"));
        }
        return shot;
    };
    auto first_row_drawn = [&](EntryListEditor& editor, const QImage& shot) {
        QRect row = editor.list()->visualItemRect(editor.list()->item(0));
        row.translate(editor.list()->viewport()->mapTo(&editor, QPoint(0, 0)));
        return drawn_pixels(shot, row.intersected(editor.list()->geometry()));
    };
    const std::string song = write_song("night.wav", 8.0, 330);
    const std::string script = dir.file("night.VSK");
    write_file(dir.file("cover.bmp"), bmp_bytes(96, 64));
    EntryList list{SCRIPT_LIST,
                   {format_entry(SCRIPT_LIST, {2, song, dir.file("cover.bmp"), "Night mix"}),
                    format_entry(SCRIPT_LIST, {0, dir.file("morning.VMA"), "", ""})},
                   -1, true, {}};
    ASSERT_EQ(save_entry_file(*ctx, ctx->state, list, script), 1);
    ctx->state.StationScript = script;
    EntryListEditor builder(*ctx, seams, SCRIPT_LIST, nullptr);
    builder.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&builder));
    EXPECT_GT(first_row_drawn(builder, keep(builder, "script-builder.png")), 50);

    EntryList live_list{LIVE_LIST, {format_entry(LIVE_LIST, {120, "", dir.file("cover.bmp"), "Good evening"})}, -1, true, {}};
    ASSERT_EQ(save_entry_file(*ctx, ctx->state, live_list, dir.file("evening.live")), 1);
    ctx->state.LiveScript = dir.file("evening.live");
    EntryListEditor live(*ctx, seams, LIVE_LIST, nullptr);
    live.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&live));
    EXPECT_GT(first_row_drawn(live, keep(live, "live-list-editor.png")), 50);

    SongPreparationDialog songs(*ctx, seams, script, nullptr);
    songs.open();
    QTest::mouseClick(songs.compress_button(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return songs.progress()->value() >= 40; }, 30000));
    QImage shot = keep(songs, "preparing-songs.png");
    EXPECT_GT(drawn_pixels(shot, songs.status()->geometry()), 50);
    QTest::mouseClick(songs.cancel_button(), Qt::LeftButton);  // "are you sure" Yes
    EXPECT_FALSE(songs.isVisible());
}

}  // namespace
