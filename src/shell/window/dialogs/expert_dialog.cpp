#include "shell/window/dialogs/expert_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/context.h"
#include "app/settings_dialogs.h"
#include "shell/window/dialogs/dialog_parts.h"
#include "shell/window/dialogs/icecast_dialog.h"
#include "shell/window/dialogs/proxy_dialog.h"
#include "shell/window/window_host.h"

namespace {

// The bar's actions as the scroll requests the rate rule knows.
int scroll_request(int action) {
    switch (action) {
        case QAbstractSlider::SliderSingleStepSub: return SCROLL_LINE_LEFT;
        case QAbstractSlider::SliderSingleStepAdd: return SCROLL_LINE_RIGHT;
        case QAbstractSlider::SliderPageStepSub: return SCROLL_PAGE_LEFT;
        case QAbstractSlider::SliderPageStepAdd: return SCROLL_PAGE_RIGHT;
        case QAbstractSlider::SliderMove: return SCROLL_THUMB_TRACK;
        case QAbstractSlider::SliderToMinimum: return SCROLL_TO_LEFT;
        case QAbstractSlider::SliderToMaximum: return SCROLL_TO_RIGHT;
        default: return -1;
    }
}

}  // namespace

ExpertDialog::ExpertDialog(Context& ctx, WindowHost& host, std::vector<std::string> addresses,
                           QWidget* parent)
    : QDialog(parent), ctx_(ctx), host_(host) {
    setWindowTitle(QStringLiteral("Expert Settings"));
    ExpertView view = expert_view(ctx_.state, std::move(addresses));
    rate_ = view.rate;
    maximum_ = view.maximum;

    specific_ip = new QCheckBox(QStringLiteral("Specify IP:"));
    specific_ip->setChecked(view.specific_ip);
    address = new QComboBox;
    for (const std::string& text : view.addresses) address->addItem(QString::fromStdString(text));
    address->setCurrentIndex(view.address_index);
    address->setEnabled(view.specific_ip);
    proxy = new QPushButton(QStringLiteral("HTTP Proxy"));
    icecast = new QPushButton(QStringLiteral("Icecast"));

    stream_rate = new QScrollBar(Qt::Horizontal);
    stream_rate->setRange(0, maximum_);
    stream_rate->setSingleStep(STREAM_RATE_LINE);
    stream_rate->setPageStep(STREAM_RATE_PAGE);
    stream_rate->setValue(rate_);  // shown at the end when above the maximum
    stream_rate->setMinimumWidth(220);
    // A scroll bar takes no focus by itself: Tab must reach it, and the
    // arrow and page keys then move the rate as the mouse does.
    stream_rate->setFocusPolicy(Qt::StrongFocus);
    // A scroll bar's keys are inverted by default: Left would raise the rate.
    stream_rate->setInvertedControls(false);
    rate_text = new QLabel(QString::fromStdString(stream_rate_text(rate_)));
    // Wide enough for every rate, so that the bar keeps its place while it moves.
    rate_text->setMinimumWidth(rate_text->fontMetrics().horizontalAdvance(
        QString::fromStdString(stream_rate_text(STREAM_RATE_CEILING))));
    auto_rate = new QCheckBox(QStringLiteral("Auto Bit Rate"));
    auto_rate->setChecked(view.auto_rate);
    autostart = new QCheckBox(QStringLiteral("Autostart broadcasting"));
    autostart->setChecked(view.autostart);
    // Not shown: the repeater list is kept in the settings file, written back as stored.
    repeater = new QLineEdit(QString::fromStdString(view.repeater), this);
    repeater->hide();
    web_listen = new QLineEdit(QString::fromStdString(view.web_listen));
    web_listen->setPlaceholderText(QStringLiteral("off"));
    web_listen->setToolTip(
        QStringLiteral("PORT or ADDR:PORT where listeners open the station's page "
                       "in a browser; empty: no page. Used from the next start."));
    auto* web_label = new QLabel(QStringLiteral("&Web page [ADDR:]PORT:"));
    web_label->setBuddy(web_listen);
    web_bitrate = new QSpinBox;
    web_bitrate->setRange(WEB_BITRATE_MIN, WEB_BITRATE_MAX);
    web_bitrate->setValue(view.web_bitrate);
    web_bitrate->setSuffix(QStringLiteral(" kbit/s"));
    web_bitrate->setToolTip(QStringLiteral("The bit rate of the page's Ogg Opus stream"));

    auto* grid = new QGridLayout;
    grid->addWidget(specific_ip, 0, 0);
    grid->addWidget(address, 0, 1);
    grid->addWidget(proxy, 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Stream bit rate:")), 1, 0);
    grid->addWidget(stream_rate, 1, 1);
    grid->addWidget(rate_text, 1, 2);
    grid->addWidget(auto_rate, 2, 0);
    grid->addWidget(autostart, 2, 1);
    grid->addWidget(icecast, 2, 2);
    grid->addWidget(web_label, 3, 0);
    grid->addWidget(web_listen, 3, 1);
    grid->addWidget(web_bitrate, 3, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    if (!view.address_note.empty()) {
        address_note = new QLabel(QString::fromStdString(view.address_note));
        address_note->setWordWrap(true);
        layout->addWidget(address_note);
    }
    layout->addLayout(ok_cancel_row(this, &ok, &cancel));

    connect(specific_ip, &QCheckBox::toggled, address, &QWidget::setEnabled);
    connect(proxy, &QPushButton::clicked, this, [this] { host_.run_proxy_dialog(ctx_, this, false); });
    connect(icecast, &QPushButton::clicked, this, [this] { run_icecast_dialog(ctx_, host_, this); });
    connect(stream_rate, &QAbstractSlider::actionTriggered, this, &ExpertDialog::scroll);
    connect(ok, &QPushButton::clicked, this, &ExpertDialog::press_ok);
}

void ExpertDialog::scroll(int action) {
    rate_moved_ = true;
    rate_ = scroll_stream_rate(rate_, scroll_request(action), stream_rate->sliderPosition(), maximum_);
    // Overrides where the bar itself would have gone.
    stream_rate->setSliderPosition(rate_);
    rate_text->setText(QString::fromStdString(stream_rate_text(rate_)));
}

void ExpertDialog::press_ok() {
    ExpertChoice choice;
    choice.specific_ip = specific_ip->isChecked();
    choice.address = address->currentText().toStdString();
    choice.auto_rate = auto_rate->isChecked();
    choice.autostart = autostart->isChecked();
    choice.rate = rate_;
    choice.rate_moved = rate_moved_;
    choice.repeater = repeater->text().toStdString();
    choice.repeater_edited = repeater->isModified();
    choice.web_listen = web_listen->text().toStdString();
    choice.web_bitrate = web_bitrate->value();
    if (expert_ok(ctx_, choice, QCoreApplication::applicationFilePath().toStdString())) accept();
}

int run_expert_dialog(Context& ctx, WindowHost& host, QWidget* owner) {
    ExpertDialog dialog(ctx, host, local_address_texts(), owner);
    return host.exec_dialog(dialog) == QDialog::Accepted ? 1 : 0;
}
