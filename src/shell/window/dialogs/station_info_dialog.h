#pragma once
// Station Information: the station's public description for the station
// list and the directory. Once on screen it fetches the directory's
// categories (app/settings_dialogs.h decides what the list then shows).

#include <QDialog>

struct Context;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class WindowHost;

class StationInfoDialog : public QDialog {
    Q_OBJECT
public:
    StationInfoDialog(Context& ctx, QWidget* parent);

    QLineEdit* name = nullptr;
    QLineEdit* location = nullptr;
    QComboBox* category = nullptr;
    // Why the list holds no categories from the directory (hidden when it does);
    // the category can then be typed.
    QLabel* category_note = nullptr;
    QLineEdit* email = nullptr;
    QLineEdit* url = nullptr;
    QPlainTextEdit* description = nullptr;
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    // The category fetch has ended (whatever its outcome).
    bool categories_fetched() const { return fetched_; }

private:
    void fetch_categories_once();
    void press_ok();

    Context& ctx_;
    bool fetched_ = false;
};

int run_station_info_dialog(Context& ctx, WindowHost& host, QWidget* owner);
