#pragma once
// Expert Settings: the station's own address, the stream rate sent to
// listeners, the automatic rate, autostart at login, the listeners' web
// page and its stream's rate, and the HTTP proxy
// (app/settings_dialogs.h decides).

#include <QDialog>
#include <string>
#include <vector>

struct Context;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;
class QSpinBox;
class WindowHost;

class ExpertDialog : public QDialog {
    Q_OBJECT
public:
    // `addresses`: this computer's addresses for the "Specify IP:" list.
    ExpertDialog(Context& ctx, WindowHost& host, std::vector<std::string> addresses,
                 QWidget* parent);

    QCheckBox* specific_ip = nullptr;
    QComboBox* address = nullptr;
    QPushButton* proxy = nullptr;
    QPushButton* icecast = nullptr;  // the Icecast output's own dialog
    QScrollBar* stream_rate = nullptr;
    QLabel* rate_text = nullptr;
    QLabel* address_note = nullptr;  // only when the stored address cannot be used
    QCheckBox* auto_rate = nullptr;
    QCheckBox* autostart = nullptr;
    QLineEdit* repeater = nullptr;  // hidden, as the settings keep it
    QLineEdit* web_listen = nullptr;  // the listeners' page: [ADDR:]PORT, empty for none
    QSpinBox* web_bitrate = nullptr;  // kbit/s of the page's stream
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    // The working rate: the bar cannot hold a stored rate above its maximum.
    int rate() const { return rate_; }

private:
    void scroll(int action);
    void press_ok();

    Context& ctx_;
    WindowHost& host_;
    int rate_ = 0;
    bool rate_moved_ = false;  // the operator moved the bar
    int maximum_ = 0;
};

int run_expert_dialog(Context& ctx, WindowHost& host, QWidget* owner);
