#include "shell/window/dialogs/options_dialog.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/context.h"
#include "app/settings_dialogs.h"
#include "shell/window/dialogs/dialog_parts.h"
#include "shell/window/window_host.h"

OptionsDialog::OptionsDialog(Context& ctx, QWidget* parent) : QDialog(parent), ctx_(ctx) {
    setWindowTitle(QStringLiteral("Options"));
    OptionsView view = options_view(ctx_.state, ctx_.controller.no_sound_card);

    script_mode = new QRadioButton(QStringLiteral("Script"));
    live_mode = new QRadioButton(QStringLiteral("Live"));
    live_mode->setEnabled(view.live_enabled);
    auto* mode_box = new QGroupBox(QStringLiteral("Broadcast Mode"));
    auto* mode_row = new QHBoxLayout(mode_box);
    mode_row->addWidget(script_mode);
    mode_row->addWidget(live_mode);

    audio_type = new QComboBox;
    for (const char* name : AUDIO_TYPE_NAMES) audio_type->addItem(QString::fromLatin1(name));
    audio_type->setCurrentIndex(view.audio_type);

    script_label = new QLabel(QStringLiteral("Current Script:"));
    // No length limit on the edit: a cut path would name another file; OK refuses a long one.
    script = new QLineEdit(QString::fromStdString(view.script));
    script->setMinimumWidth(260);
    browse = new QPushButton(QStringLiteral("Browse"));

    bit_rate = new QComboBox;
    bit_rate->setEditable(true);
    bit_rate->setInsertPolicy(QComboBox::NoInsert);
    for (const ConnectionRate& rate : CONNECTION_RATES) bit_rate->addItem(QString::fromLatin1(rate.text));
    bit_rate->setCurrentIndex(view.rate_index);
    if (view.rate_index < 0) bit_rate->setEditText(QString::fromStdString(view.bandwidth_text));

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Audio Type:")), 0, 0);
    grid->addWidget(audio_type, 0, 1, 1, 2);
    grid->addWidget(script_label, 1, 0);
    grid->addWidget(script, 1, 1);
    grid->addWidget(browse, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Broadcaster Connection Bit Rate:")), 2, 0);
    grid->addWidget(bit_rate, 2, 1, 1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(mode_box);
    layout->addLayout(grid);
    layout->addLayout(ok_cancel_row(this, &ok, &cancel));

    choose_script = [this] {
        return QFileDialog::getOpenFileName(this, QStringLiteral("Open Script"), QString(),
                                            QStringLiteral("Radio Velmora DJ (*.VSK)"));
    };
    (view.mode == 0 ? script_mode : live_mode)->setChecked(true);
    show_mode(view.mode);
    connect(script_mode, &QRadioButton::clicked, this, [this] { show_mode(0); });
    connect(live_mode, &QRadioButton::clicked, this, [this] { show_mode(1); });
    connect(browse, &QPushButton::clicked, this, [this] {
        QString chosen = choose_script();
        if (!chosen.isEmpty()) script->setText(chosen);
    });
    connect(ok, &QPushButton::clicked, this, &OptionsDialog::press_ok);
}

void OptionsDialog::show_mode(int mode) {
    bool enabled = options_script_enabled(mode);
    script_label->setEnabled(enabled);
    script->setEnabled(enabled);
    browse->setEnabled(enabled);
}

void OptionsDialog::press_ok() {
    OptionsChoice choice;
    choice.mode = script_mode->isChecked() ? 0 : 1;
    choice.audio_type = audio_type->currentIndex();
    choice.bandwidth_text = bit_rate->currentText().toStdString();
    choice.script = script->text().toStdString();
    if (options_ok(ctx_, choice)) accept();
}

int run_options_dialog(Context& ctx, WindowHost& host, QWidget* owner) {
    OptionsDialog dialog(ctx, owner);
    dialog.choose_script = [&host, &dialog] {
        return QString::fromLocal8Bit(
            host.choose_file(&dialog, {"Open Script", "Radio Velmora DJ (*.VSK)", false, "*.VSK"}).c_str());
    };
    return host.exec_dialog(dialog) == QDialog::Accepted ? 1 : 0;
}
