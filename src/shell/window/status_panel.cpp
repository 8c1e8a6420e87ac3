#include "shell/window/status_panel.h"

#include <QHelpEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QToolTip>

#include "app/context.h"
#include "app/controller.h"
#include "app/panel_view.h"
#include "app/status_text.h"

namespace {

// The captions' pale cyan: the skin's hairlines, lighter.
const QColor kCaptionColour(120, 200, 225);

// Texts are placed by their top-left corner.
void text_at(QPainter& p, int x, int y, const std::string& text) {
    if (text.empty()) return;
    p.drawText(QRect(x, y, 10000, 1000), Qt::AlignLeft | Qt::AlignTop,
               QString::fromLocal8Bit(text.c_str()));
}

}  // namespace

QFont panel_font(int pixels) {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    // The panel was laid out for narrow letters (6 pixels on average): the
    // start time at x 375 must end inside the 478-pixel panel.
    font.setStretch(80);
    return font;
}

std::optional<HiddenKey> hidden_key(int qt_key, bool keypad) {
    if (keypad) {
        if (qt_key == Qt::Key_Plus) return HiddenKey::transfer_up;
        if (qt_key == Qt::Key_Minus) return HiddenKey::transfer_down;
        return std::nullopt;
    }
    switch (qt_key) {
        case Qt::Key_1: return HiddenKey::rate_11025;
        case Qt::Key_2: return HiddenKey::rate_22050;
        case Qt::Key_3: return HiddenKey::rate_32000;
        case Qt::Key_4: return HiddenKey::rate_44100;
        case Qt::Key_6: return HiddenKey::rate_16000;
        case Qt::Key_8: return HiddenKey::rate_8000;
        default: return std::nullopt;
    }
}

StatusPanel::StatusPanel(Context& ctx, const Skin& skin, QWidget* parent)
    : QWidget(parent), ctx_(ctx), skin_(skin) {
    QSize size = skin.background.isNull() ? QSize(478, 401) : skin.background.size();
    setFixedSize(size);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void StatusPanel::keyReleaseEvent(QKeyEvent* event) {
    if (event->isAutoRepeat()) return;  // one press acts once
    const std::optional<HiddenKey> key =
        hidden_key(event->key(), event->modifiers() & Qt::KeypadModifier);
    if (key) Q_EMIT key_released(*key);
    else QWidget::keyReleaseEvent(event);
}

QString panel_tooltip(const Context& ctx, QPoint at) {
    for (const PanelCaption& c : kPanelCaptions) {
        if (!QRect(c.area_x, c.area_y, c.area_width, c.area_height).contains(at)) continue;
        QString tip = QString::fromLatin1(c.tip);
        // The lamp's tooltip is the window's status line for the directory.
        if (&c == &kPanelCaptions[0] && !ctx.web.directory_problem.empty())
            tip += QStringLiteral("\nNot listed: ") +
                   QString::fromLocal8Bit(ctx.web.directory_problem.c_str());
        return tip;
    }
    return QString();
}

bool StatusPanel::event(QEvent* event) {
    if (event->type() != QEvent::ToolTip) return QWidget::event(event);
    auto* help = static_cast<QHelpEvent*>(event);
    const QString tip = panel_tooltip(ctx_, help->pos());
    if (tip.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
    } else {
        QToolTip::showText(help->globalPos(), tip, this);
    }
    return true;
}

void StatusPanel::paintEvent(QPaintEvent*) {
    Context& ctx = ctx_;
    const StationState& s = ctx.state;
    QPainter p(this);
    if (skin_.background.isNull()) p.fillRect(rect(), Qt::black);
    else p.drawImage(0, 0, skin_.background);

    p.setFont(panel_font(kLargeFontPixels));
    p.setPen(QColor(255, 0, 0));
    if (broadcasting_visible(ctx)) text_at(p, 16, 90, "BROADCASTING");

    p.setFont(panel_font(kSmallFontPixels));
    p.setPen(kCaptionColour);
    for (const PanelCaption& c : kPanelCaptions) text_at(p, c.x, c.y, c.text);
    p.setPen(QColor(255, 255, 110));
    text_at(p, 375, 90, start_time_text(ctx));
    text_at(p, 125, 60, clock_text(ctx.host->time_now()));
    if (s.INTRANET) text_at(p, 375, 60, "Intranet Only");
    if (s.MBONE) text_at(p, 340, 60, "MBONE");
    text_at(p, 140, 185, rate_line(s.TransferRate));
    text_at(p, 140, 215, audio_type(ctx, ctx.capture.rate));
    text_at(p, 375, 117, elapsed_line(ctx));

    NowPlayingLines playing = now_playing_lines(ctx);
    text_at(p, 20, 275, playing.first);
    text_at(p, 20, 290, playing.picture);
    if (!playing.text.empty())
        p.drawText(QRect(20, 305, 440, 40), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                   QString::fromLocal8Bit(playing.text.c_str()));

    text_at(p, 380, 185, listeners_line(ctx));
    text_at(p, 380, 210, std::to_string(ctx.listeners.busy_rejections));
    text_at(p, 20, 245, outputs_line(ctx));

    // A zero-width source would draw the whole meter: nothing at silence.
    int meter = meter_width(ctx.capture.peak_level, skin_.meter.width());
    if (meter > 0) p.drawImage(QPoint(12, 150), skin_.meter, QRect(0, 0, meter, skin_.meter.height()));
    QImage lamp = skin_frame(skin_.lamp, kLampFrames, lamp_frame(ctx.web.directory_listed, ctx.listeners.keeper_watchdog));
    if (!lamp.isNull()) p.drawImage(10, 13, lamp);

    // The caption carries the listener count; it is rewritten with the panel.
    if (QWidget* top = window()) {
        QString caption = QString::fromLocal8Bit(caption_text(ctx).c_str());
        if (top->windowTitle() != caption) top->setWindowTitle(caption);
    }
}

StartStopButton::StartStopButton(Context& ctx, const Skin& skin, QWidget* parent)
    : QAbstractButton(parent), ctx_(ctx), skin_(skin) {
    setFocusPolicy(Qt::NoFocus);
    setText(QStringLiteral("Start Broadcast"));
    setGeometry(136, 362, skin.button_width(), skin.button_height());
}

int StartStopButton::face() const {
    return button_face(isEnabled(), ctx_.sender.broadcast_state != BroadcastState::idle, isDown());
}

void StartStopButton::paintEvent(QPaintEvent*) {
    QImage frame = skin_frame(skin_.button, kButtonFaces, face());
    if (frame.isNull()) return;
    QPainter p(this);
    p.drawImage(0, 0, frame);
}
