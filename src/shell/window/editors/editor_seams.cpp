#include "shell/window/editors/editor_seams.h"

#include <QFileDialog>
#include <QFileInfo>

EditorSeams::EditorSeams() {
    choose_file = [](QWidget* owner, const FileQuestion& question) {
        const QString title = QString::fromLatin1(question.title);
        const QString filter = QString::fromLatin1(question.filter);
        // A pattern such as "*.VSK" only says where to start: no file is named.
        QString start = QString::fromLocal8Bit(question.start.c_str());
        if (start.contains(QLatin1Char('*'))) start = QFileInfo(start).path();
        const QString chosen = question.save ? QFileDialog::getSaveFileName(owner, title, start, filter)
                                             : QFileDialog::getOpenFileName(owner, title, start, filter);
        return std::string(chosen.toLocal8Bit().constData());
    };
}
