#pragma once
// The skinned status panel and the start/stop button on it. The panel is
// exactly the size of the skin's background, so its coordinates are the
// pixels of the background picture.

#include <QAbstractButton>
#include <QWidget>

#include "shell/window/skin.h"

struct Context;

class StatusPanel : public QWidget {
    Q_OBJECT
public:
    StatusPanel(Context& ctx, const Skin& skin, QWidget* parent = nullptr);

Q_SIGNALS:
    void key_released(int key);  // a hidden key, once per press

protected:
    void paintEvent(QPaintEvent*) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mouseReleaseEvent(QMouseEvent*) override { setFocus(); }

private:
    Context& ctx_;
    const Skin& skin_;
};

// The owner-drawn start/stop button: one face of the skin per state. It
// never takes the keyboard focus, so the hidden keys keep working.
class StartStopButton : public QAbstractButton {
    Q_OBJECT
public:
    StartStopButton(Context& ctx, const Skin& skin, QWidget* parent);
    // The face shown now, counted from the top of the button picture.
    int face() const;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    Context& ctx_;
    const Skin& skin_;
};

// The panel's two fonts: a sans-serif family at these pixel sizes.
constexpr int kSmallFontPixels = 14;
constexpr int kLargeFontPixels = 28;
QFont panel_font(int pixels);

// The code of a hidden key for the controller ('1' .. '8', keypad + and -),
// or 0 for any other key. Only the top-row digits count as digits.
int hidden_key_code(int qt_key, bool keypad);
