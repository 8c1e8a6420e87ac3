// The Icecast dialog offscreen, opened from Expert Settings: what it shows
// of the stored keys, what OK writes, and a wrong value that keeps it open.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>

#include "app/context.h"
#include "app/program.h"
#include "app/controller.h"
#include "shell/window/dialogs/expert_dialog.h"
#include "shell/window/dialogs/icecast_dialog.h"
#include "station_test_support.h"
#include "window/dialog_window_fixture.h"

namespace {

struct IcecastDialogWindow : DialogWindowTest {
    void SetUp() override {
        set_test_station(*ctx, dir, test_ip(111), test_ip(112));
        write_file(ctx->state.settings_file, "[VelmoraStation]\n");
        chmod(ctx->state.settings_file.c_str(), 0600);
        open_window();
    }
    void open_icecast_from_expert_settings() {
        then<ExpertDialog>([](ExpertDialog& d) {
            QTest::mouseClick(d.icecast, Qt::LeftButton);
            QTest::mouseClick(d.cancel, Qt::LeftButton);  // the Icecast keys are stored all the same
        });
    }
};

TEST_F(IcecastDialogWindow, ok_stores_the_keys_the_operator_typed) {
    open_icecast_from_expert_settings();
    then<IcecastDialog>([](IcecastDialog& d) {
        EXPECT_EQ(d.url->text(), "");
        EXPECT_EQ(d.user->text(), "source");
        EXPECT_EQ(d.password->echoMode(), QLineEdit::Password);
        EXPECT_EQ(d.format->currentText(), "Ogg Opus");
        EXPECT_EQ(d.bitrate_hint->text(), "empty: 96 kbit/s");
        d.format->setCurrentIndex(1);
        EXPECT_EQ(d.bitrate_hint->text(), "empty: 128 kbit/s");
        d.url->setText(" http://127.0.0.1:8000/velmora.mp3 ");
        d.password->setText("hackme");
        d.bitrate->setText("96");
        QTest::mouseClick(d.ok, Qt::LeftButton);
        EXPECT_EQ(d.result(), QDialog::Accepted);
    });
    window->run_command(Command::expert_settings);
    ASSERT_EQ(dialogs_shown, QStringList({"Expert Settings", "Icecast"}));
    std::string stored = read_file(ctx->state.settings_file);
    for (const char* line : {"ICECAST_URL=http://127.0.0.1:8000/velmora.mp3", "ICECAST_USER=source",
                             "ICECAST_PASSWORD=hackme", "ICECAST_FORMAT=mp3", "ICECAST_BITRATE=96"})
        EXPECT_NE(stored.find(line), std::string::npos) << line << " in " << stored;
    EXPECT_EQ(ctx->state.icecast.bitrate, 96);
    EXPECT_TRUE(boxes.empty());  // the file is the owner's alone: no warning
}

TEST_F(IcecastDialogWindow, a_wrong_value_is_told_and_the_dialog_stays_open) {
    open_icecast_from_expert_settings();
    struct Case {
        const char* url;
        const char* bitrate;
        const char* told;
    } cases[] = {
        // Each named by its field's label.
        {"http://127.0.0.1:8000/x", "fast", "Bit rate must be a number of kbit/s, not fast"},
        {"http://127.0.0.1:8000", "",
         "Server and mount names no mount point (http://HOST:PORT/MOUNT): http://127.0.0.1:8000"},
    };
    then<IcecastDialog>([&](IcecastDialog& d) {
        for (const Case& c : cases) {
            boxes.clear();
            d.url->setText(c.url);
            d.bitrate->setText(c.bitrate);
            QTest::mouseClick(d.ok, Qt::LeftButton);
            EXPECT_NE(d.result(), QDialog::Accepted) << c.url;
            EXPECT_EQ(boxes, std::vector<std::string>{c.told});
        }
    });
    window->run_command(Command::expert_settings);
    EXPECT_EQ(read_file(ctx->state.settings_file).find("ICECAST"), std::string::npos);
}

// The address edit shows its whole hint: what an empty field means is part of it.
TEST_F(IcecastDialogWindow, the_address_hint_is_shown_whole) {
    IcecastDialog d(*ctx, window.get());
    d.show();
    ASSERT_TRUE(d.url->text().isEmpty());
    const QString hint = d.url->placeholderText();
    ASSERT_TRUE(hint.contains("empty: no Icecast output")) << hint.toStdString();
    // The text room of a line edit: inside its frame and a margin of 2 each side.
    const int frame = d.url->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, d.url);
    const int room = d.url->contentsRect().width() - 2 * frame - 4;
    EXPECT_LE(d.url->fontMetrics().horizontalAdvance(hint), room) << hint.toStdString();
}

}  // namespace
