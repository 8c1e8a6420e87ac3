#include "shell/window/dialogs/icecast_dialog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/context.h"
#include "app/icecast_dialog.h"
#include "icecast/icecast_settings.h"
#include "shell/window/dialogs/dialog_parts.h"
#include "shell/window/window_host.h"

IcecastDialog::IcecastDialog(Context& ctx, QWidget* parent) : QDialog(parent), ctx_(ctx) {
    setWindowTitle(QStringLiteral("Icecast"));
    IcecastView view = icecast_view(ctx.state);
    url = limited_edit(view.url, ICECAST_URL_MAX);
    url->setPlaceholderText(QStringLiteral("http://HOST:PORT/MOUNT (empty: no Icecast output)"));
    // Wide enough for the whole hint (frame and margins included): what an
    // empty field means is its last words.
    url->setMinimumWidth(url->fontMetrics().horizontalAdvance(url->placeholderText()) + 24);
    user = limited_edit(view.user, ICECAST_FIELD_MAX);
    password = limited_edit(view.password, ICECAST_FIELD_MAX);
    password->setEchoMode(QLineEdit::Password);
    format = new QComboBox;
    for (const char* label : ICECAST_FORMAT_LABELS) format->addItem(QString::fromLatin1(label));
    format->setCurrentIndex(view.format);
    bitrate = limited_edit(view.bitrate, 6);
    bitrate_hint = new QLabel(QString::fromStdString(icecast_bitrate_hint(view.format)));

    auto* rate_row = new QHBoxLayout;
    rate_row->addWidget(bitrate);
    rate_row->addWidget(bitrate_hint);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Server and mount:"), url);
    form->addRow(QStringLiteral("User:"), user);
    form->addRow(QStringLiteral("Password:"), password);
    form->addRow(QStringLiteral("Format:"), format);
    form->addRow(QStringLiteral("Bit rate (kbit/s):"), rate_row);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(new QLabel(QStringLiteral("Counts from the next start of broadcasting.")));
    layout->addLayout(ok_cancel_row(this, &ok, &cancel));
    setMinimumWidth(420);

    connect(format, &QComboBox::currentIndexChanged, this, [this](int index) {
        bitrate_hint->setText(QString::fromStdString(icecast_bitrate_hint(index)));
    });
    connect(ok, &QPushButton::clicked, this, [this] {
        IcecastView entered;
        entered.url = url->text().trimmed().toStdString();
        entered.user = user->text().toStdString();
        entered.password = password->text().toStdString();
        entered.format = format->currentIndex();
        entered.bitrate = bitrate->text().trimmed().toStdString();
        if (icecast_ok(ctx_, entered)) accept();
    });
}

int run_icecast_dialog(Context& ctx, WindowHost& host, QWidget* owner) {
    IcecastDialog dialog(ctx, owner);
    return host.exec_dialog(dialog) == QDialog::Accepted ? 1 : 0;
}
