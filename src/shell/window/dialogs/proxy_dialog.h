#pragma once
// Proxy Information: the four proxy values of the per-user registry, the
// password shown unscrambled in a masked edit. Opened from Expert Settings
// with every field open, and by a directory request refused with 401 or
// 407; after a refusal by the proxy, server and port are locked and the
// hint asks for the user id and password again. OK saves; Escape or the
// close box ends it with 0, and the refused request then fails.

#include <QDialog>

struct Context;
class QLabel;
class QLineEdit;
class QPushButton;

class ProxyDialog : public QDialog {
    Q_OBJECT
public:
    ProxyDialog(Context& ctx, bool reauthenticate, QWidget* parent);

    QLineEdit* server = nullptr;
    QLineEdit* port = nullptr;
    QLineEdit* user_id = nullptr;
    QLineEdit* password = nullptr;
    QLabel* hint = nullptr;
    QPushButton* ok = nullptr;

private:
    Context& ctx_;
};
