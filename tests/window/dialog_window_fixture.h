#pragma once
// The main window offscreen with its dialogs driven by the test: a station
// of the test's own (support/settings_fixture.h), message boxes recorded and
// answered, and each dialog handed in turn to the step the test queued for
// it with then<Dialog>(...). Also the checks every dialog must pass: no
// control drawn over another, and Tab going through every control.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/station.h"
#include "shell/window/main_window.h"
#include "shell/window/window_host.h"
#include "support/settings_fixture.h"

struct DialogWindowTest : SettingsFixture<WindowHost> {
    std::unique_ptr<MainWindow> window;
    std::vector<std::string> boxes;
    // What the operator does in each dialog, in the order they open.
    std::deque<std::function<void(QDialog&)>> operator_steps;
    QStringList dialogs_shown;

    DialogWindowTest() {
        host.box_answers = [this](const char* text, BoxStyle style) {
            boxes.push_back(text);
            if (style.buttons != Buttons::yes_no) return Answer::ok;
            // No download from a test; every other question is answered Yes.
            return strstr(text, "newer version") ? Answer::no : Answer::yes;
        };
        host.dialog_driver = [this](QDialog& dialog) {
            dialogs_shown.push_back(dialog.windowTitle());
            if (operator_steps.empty()) return;  // left open: cancelled
            auto step = std::move(operator_steps.front());
            operator_steps.pop_front();
            step(dialog);
        };
    }
    // Shows the main window: SetUp calls it once the station is set.
    void open_window() {
        window = std::make_unique<MainWindow>(*ctx, host, load_skin("", nullptr));
        window->show();
    }
    void TearDown() override {
        close_station(*ctx);
        window.reset();
    }

    // The next dialog opened is handed to `step` as a `Dialog`.
    template <typename Dialog>
    void then(std::function<void(Dialog&)> step) {
        operator_steps.push_back([step](QDialog& dialog) {
            auto* typed = qobject_cast<Dialog*>(&dialog);
            ASSERT_NE(typed, nullptr) << dialog.windowTitle().toStdString();
            step(*typed);
        });
    }
};

// The first two controls of `dialog` drawn over each other, or one reaching
// past its edge; "" when every control has its own place.
inline std::string overlapping_controls(QWidget& dialog) {
    QList<QWidget*> shown;
    for (QWidget* w : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (w->isVisible()) shown.push_back(w);
    auto name = [](QWidget* w) {
        QString text = w->property("text").toString();
        return std::string(w->metaObject()->className()) + " \"" + text.left(30).toStdString() + "\"";
    };
    for (int i = 0; i < shown.size(); ++i) {
        if (!dialog.rect().contains(shown[i]->geometry())) return name(shown[i]) + " is cut off";
        for (int j = i + 1; j < shown.size(); ++j)
            if (shown[i]->geometry().intersects(shown[j]->geometry()))
                return name(shown[i]) + " and " + name(shown[j]) + " overlap";
    }
    return "";
}

// The first control of `dialog` that takes input but that Tab never reaches
// (an operator without a mouse could not use it) or never leaves (it takes
// the Tab as text); "" when Tab goes through all.
inline std::string keyboard_trap(QWidget& dialog) {
    for (QPlainTextEdit* text : dialog.findChildren<QPlainTextEdit*>())
        if (text->isVisible() && !text->tabChangesFocus()) return "a text box that keeps Tab";
    for (QWidget* w : dialog.findChildren<QWidget*>()) {
        const bool takes_input = qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w) ||
                                 qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractSlider*>(w) ||
                                 qobject_cast<QPlainTextEdit*>(w);
        if (!takes_input || !w->isVisible() || !w->isEnabled()) continue;
        // Of a group of radio buttons Tab reaches the chosen one; the arrows move on.
        auto* button = qobject_cast<QAbstractButton*>(w);
        if (button && button->autoExclusive() && !button->isChecked()) continue;
        // The parts of a combo box or a text box are reached through it.
        bool part = false;
        for (QWidget* p = w->parentWidget(); p && p != &dialog; p = p->parentWidget())
            part = part || qobject_cast<QComboBox*>(p) || qobject_cast<QAbstractScrollArea*>(p);
        if (!part && !(w->focusPolicy() & Qt::TabFocus))
            return w->metaObject()->className() + std::string(" \"") + w->property("text").toString().toStdString() + "\"";
    }
    return "";
}
