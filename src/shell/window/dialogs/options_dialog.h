#pragma once
// Options: script or live feed, audio type, the current script and the
// broadcaster's connection bit rate (app/settings_dialogs.h decides).

#include <QDialog>
#include <QString>
#include <functional>

struct Context;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class WindowHost;

class OptionsDialog : public QDialog {
    Q_OBJECT
public:
    OptionsDialog(Context& ctx, QWidget* parent);

    QRadioButton* script_mode = nullptr;
    QRadioButton* live_mode = nullptr;
    QComboBox* audio_type = nullptr;
    QLabel* script_label = nullptr;
    QLineEdit* script = nullptr;
    QPushButton* browse = nullptr;
    QComboBox* bit_rate = nullptr;
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    // The "Open Script" file dialog: the chosen path, empty when cancelled.
    // Tests answer it here.
    std::function<QString()> choose_script;

private:
    void show_mode(int mode);
    void press_ok();

    Context& ctx_;
};

// Runs the dialog through the host (see WindowHost::exec_dialog): 1 after OK.
int run_options_dialog(Context& ctx, WindowHost& host, QWidget* owner);
