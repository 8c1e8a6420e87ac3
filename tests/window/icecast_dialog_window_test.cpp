// The Icecast dialog offscreen, opened from Expert Settings: what it shows
// of the stored keys, what OK writes, and a wrong value that keeps it open.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <deque>
#include <functional>

#include "app/context.h"
#include "app/program.h"
#include "app/controller.h"
#include "shell/window/dialogs/expert_dialog.h"
#include "shell/window/dialogs/icecast_dialog.h"
#include "shell/window/main_window.h"
#include "shell/window/window_host.h"
#include "station_test_support.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

struct IcecastDialogWindow : ::testing::Test {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.file("config")};
    WindowHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    std::unique_ptr<MainWindow> window;
    std::vector<std::string> boxes;
    std::deque<std::function<void(QDialog&)>> operator_steps;
    QStringList dialogs_shown;

    void SetUp() override {
        host.attach(ctx.get());
        host.box_answers = [this](const char* text, BoxStyle) {
            boxes.push_back(text);
            return Answer::ok;
        };
        host.dialog_driver = [this](QDialog& dialog) {
            dialogs_shown.push_back(dialog.windowTitle());
            if (operator_steps.empty()) return;
            auto step = std::move(operator_steps.front());
            operator_steps.pop_front();
            step(dialog);
        };
        set_test_station(ctx->state, dir, test_ip(111), test_ip(112));
        ctx->state.settings_file = dir.file("lumo.ini");
        write_file(ctx->state.settings_file, "[VelmoraStation]\n");
        chmod(ctx->state.settings_file.c_str(), 0600);
        window = std::make_unique<MainWindow>(*ctx, host, load_skin("", nullptr));
        window->show();
    }
    void TearDown() override { window.reset(); }

    template <typename Dialog>
    void then(std::function<void(Dialog&)> step) {
        operator_steps.push_back([step](QDialog& dialog) {
            auto* typed = qobject_cast<Dialog*>(&dialog);
            ASSERT_NE(typed, nullptr) << dialog.windowTitle().toStdString();
            step(*typed);
        });
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
        EXPECT_EQ(d.bitrate_hint->text(), "empty: 32 kbit/s");
        d.format->setCurrentIndex(1);
        EXPECT_EQ(d.bitrate_hint->text(), "empty: 64 kbit/s");
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
    EXPECT_EQ(ctx->state.ICECAST_BITRATE, 96);
    EXPECT_TRUE(boxes.empty());  // the file is the owner's alone: no warning
}

TEST_F(IcecastDialogWindow, a_wrong_value_is_told_and_the_dialog_stays_open) {
    open_icecast_from_expert_settings();
    then<IcecastDialog>([this](IcecastDialog& d) {
        d.url->setText("http://127.0.0.1:8000/x");
        d.bitrate->setText("fast");
        QTest::mouseClick(d.ok, Qt::LeftButton);
        EXPECT_NE(d.result(), QDialog::Accepted);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], "ICECAST_BITRATE must be a number of kbit/s, not fast");
        d.bitrate->setText("");
        d.url->setText("http://127.0.0.1:8000");
        QTest::mouseClick(d.ok, Qt::LeftButton);
        EXPECT_NE(d.result(), QDialog::Accepted);
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_NE(boxes[1].find("names no mount point"), std::string::npos) << boxes[1];
    });
    window->run_command(Command::expert_settings);
    EXPECT_EQ(read_file(ctx->state.settings_file).find("ICECAST"), std::string::npos);
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
