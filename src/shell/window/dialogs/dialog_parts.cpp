#include "shell/window/dialogs/dialog_parts.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

QLineEdit* limited_edit(const std::string& text, int limit) {
    auto* edit = new QLineEdit(QString::fromStdString(text));
    edit->setMaxLength(limit);
    return edit;
}

QHBoxLayout* ok_cancel_row(QDialog* dialog, QPushButton** ok, QPushButton** cancel) {
    *ok = new QPushButton(QStringLiteral("OK"));
    (*ok)->setDefault(true);
    *cancel = new QPushButton(QStringLiteral("Cancel"));
    QObject::connect(*cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(*ok);
    row->addWidget(*cancel);
    return row;
}
