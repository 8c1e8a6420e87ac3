#pragma once
// Icecast: where the station sends its program for ordinary players (the
// server's mount, user and password, format and bit rate). Opened from
// Expert Settings; app/icecast_dialog.h decides.

#include <QDialog>

struct Context;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class WindowHost;

class IcecastDialog : public QDialog {
    Q_OBJECT
public:
    IcecastDialog(Context& ctx, QWidget* parent);

    QLineEdit* url = nullptr;
    QLineEdit* user = nullptr;
    QLineEdit* password = nullptr;
    QComboBox* format = nullptr;
    QLineEdit* bitrate = nullptr;
    QLabel* bitrate_hint = nullptr;
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;

private:
    Context& ctx_;
};

// Runs the dialog (through host.exec_dialog); 1 after OK stored the keys.
int run_icecast_dialog(Context& ctx, WindowHost& host, QWidget* owner);
