#pragma once
// The four pictures the window is drawn from. The built-in skin is ours
// (resources/make_skin.py); `--skin DIR` loads the same four files from a
// folder instead. Sizes come from the files: a picture that fails to load
// is null, measures 0 and is not drawn.

#include <QImage>
#include <QString>

struct Skin {
    QImage background;  // the whole panel; its size is the panel's
    QImage button;      // five start/stop faces stacked top to bottom
    QImage lamp;        // three directory lamp frames stacked top to bottom
    QImage meter;       // the level meter, fully lit

    int button_width() const { return button.width(); }
    int button_height() const { return button.height() / 5; }
};

constexpr int kButtonFaces = 5;
constexpr int kLampFrames = 3;

// Loads background.bmp, button.bmp, lamp.bmp and meter.bmp from `dir`, or
// the built-in skin when `dir` is empty. `problem` names each file that
// could not be loaded (the window still runs without it).
Skin load_skin(const QString& dir, QString* problem);

// Frame `k` (from the top) of a picture cut into `frames` equal frames.
QImage skin_frame(const QImage& picture, int frames, int k);
