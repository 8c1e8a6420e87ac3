#include "shell/window/dialogs/proxy_dialog.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/settings_dialogs.h"
#include "shell/window/dialogs/dialog_parts.h"

ProxyDialog::ProxyDialog(Context& ctx, bool reauthenticate, QWidget* parent)
    : QDialog(parent), ctx_(ctx) {
    setWindowTitle(QStringLiteral("Proxy Information"));
    ProxyView view = proxy_view(reauthenticate);
    server = limited_edit(view.server, PROXY_FIELD_MAX);
    port = limited_edit(view.port, PROXY_FIELD_MAX);
    user_id = limited_edit(view.user_id, PROXY_FIELD_MAX);
    password = limited_edit(view.password, PROXY_FIELD_MAX);
    password->setEchoMode(QLineEdit::Password);
    server->setEnabled(view.server_and_port_enabled);
    port->setEnabled(view.server_and_port_enabled);
    hint = new QLabel(QString::fromLatin1(view.hint));
    ok = new QPushButton(QStringLiteral("OK"));
    ok->setDefault(true);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Proxy Server:"), server);
    form->addRow(QStringLiteral("Port:"), port);
    form->addRow(QStringLiteral("User ID:"), user_id);
    form->addRow(QStringLiteral("Password:"), password);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(hint);
    layout->addWidget(ok, 0, Qt::AlignRight);
    setMinimumWidth(340);

    connect(ok, &QPushButton::clicked, this, [this] {
        ProxyView entered;
        entered.server = this->server->text().toStdString();
        entered.port = this->port->text().trimmed().toStdString();
        entered.user_id = user_id->text().toStdString();
        entered.password = password->text().toStdString();
        if (proxy_ok(ctx_, entered)) accept();
    });
}
