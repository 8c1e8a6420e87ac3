#pragma once
// The skinned status panel and the start/stop button on it. The panel is
// exactly the size of the skin's background, so its coordinates are the
// pixels of the background picture.

#include <QAbstractButton>
#include <QWidget>

#include <optional>

#include "app/controller.h"

#include "shell/window/skin.h"

struct Context;

class StatusPanel : public QWidget {
    Q_OBJECT
public:
    StatusPanel(Context& ctx, const Skin& skin, QWidget* parent = nullptr);

Q_SIGNALS:
    void key_released(HiddenKey key);  // once per press

protected:
    bool event(QEvent* event) override;  // the captions' tooltips
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

// What the panel's numbers and the lamp are: a caption in the skin's pale
// cyan drawn at (x, y) that ends before `right` (where its well or the
// value begins), and a tooltip over the caption and its value (`area`).
struct PanelCaption {
    int x, y, right;
    const char* text;
    int area_x, area_y, area_width, area_height;
    const char* tip;
};
constexpr PanelCaption kPanelCaptions[] = {
    {38, 12, 108, "Directory", 7, 10, 100, 18,
     "Directory lamp: dark while the station is not listed, lit once it is, blinking when the "
     "directory has not asked for three minutes"},
    {20, 185, 128, "Stream rate", 20, 183, 280, 20,
     "Stream rate sent to each listener, and the connection class it needs"},
    {20, 215, 128, "Audio", 20, 213, 280, 20,
     "Audio type: Voice (8000 Hz) or Music; * when the sound card records at another rate"},
    {316, 185, 376, "Listeners", 316, 183, 160, 20,
     "Listeners on the air - the share of BANDWIDTH they use; (R): counted by the repeater"},
    {316, 210, 376, "Refused", 316, 208, 160, 20,
     "Listeners refused because the bandwidth was used up"},
};

// The tooltip at `at` on the panel; "" where there is none. The lamp's
// adds why the last directory request failed.
QString panel_tooltip(const Context& ctx, QPoint at);

// The panel's two fonts: a sans-serif family at these pixel sizes.
constexpr int kSmallFontPixels = 14;
constexpr int kLargeFontPixels = 28;
QFont panel_font(int pixels);

// The hidden key of a Qt key (the top-row digits 1, 2, 3, 4, 6, 8, keypad +
// and -), none for any other key. Only the top-row digits count as digits.
std::optional<HiddenKey> hidden_key(int qt_key, bool keypad);
