#pragma once
// Pixel checks of the status panel: texts are found by their colours inside
// the rectangles where they must be, never by comparing whole pictures.

#include <QImage>
#include <QRect>

// Pixels of the large red "BROADCASTING".
inline bool is_broadcasting_red(QRgb c) { return qRed(c) > 200 && qGreen(c) < 80 && qBlue(c) < 80; }
// Pixels of the small pale-yellow texts.
inline bool is_text_yellow(QRgb c) {
    return qRed(c) > 180 && qGreen(c) > 180 && qBlue(c) < 170 && qBlue(c) > 30;
}

// Pixels of the pale-cyan captions and of the skin's cyan hairlines.
inline bool is_caption_cyan(QRgb c) { return qBlue(c) > 150 && qGreen(c) > 130 && qRed(c) < 170; }

inline int count_pixels(const QImage& image, const QRect& area, bool (*match)(QRgb)) {
    int n = 0;
    QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (match(image.pixel(x, y))) ++n;
    return n;
}

// Where the panel puts the two texts: "BROADCASTING" at (16, 90) in the
// large font, the rate line at (140, 185) in the small one.
const QRect kBroadcastingArea(16, 90, 230, 34);
const QRect kRateLineArea(140, 185, 160, 18);
