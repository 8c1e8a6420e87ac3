#include "shell/window/skin.h"

#include <QDir>

// Q_INIT_RESOURCE declares its function in the namespace it is used in:
// this must stay outside any namespace.
static void init_skin_resources() { Q_INIT_RESOURCE(skin); }

Skin load_skin(const QString& dir, QString* problem) {
    init_skin_resources();
    QString base = dir.isEmpty() ? QStringLiteral(":/skin") : dir;
    Skin skin;
    struct Part {
        QImage* image;
        const char* name;
    } parts[] = {{&skin.background, "background.bmp"},
                 {&skin.button, "button.bmp"},
                 {&skin.lamp, "lamp.bmp"},
                 {&skin.meter, "meter.bmp"}};
    for (const Part& part : parts) {
        QString path = QDir(base).filePath(QString::fromLatin1(part.name));
        if (!part.image->load(path)) {
            if (problem) *problem += QStringLiteral("cannot load the skin picture %1\n").arg(path);
        }
    }
    return skin;
}

QImage skin_frame(const QImage& picture, int frames, int k) {
    if (picture.isNull() || frames <= 0) return {};
    int h = picture.height() / frames;
    if (h <= 0) return {};
    return picture.copy(0, k * h, picture.width(), h);
}
