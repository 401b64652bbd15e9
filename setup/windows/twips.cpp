#include "setup/windows/twips.h"

namespace setup::windows {

int Pixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

QRect Twips(int left, int top, int width, int height) {
    return QRect(Pixels(left), Pixels(top), Pixels(width), Pixels(height));
}

QFont WindowFont(const QFont& base) {
    QFont f = base;
    f.setFamilies(QStringList{QStringLiteral("Microsoft Sans Serif"),
                              QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                              QStringLiteral("DejaVu Sans Condensed")});
    f.setPixelSize(10);
    return f;
}

}  // namespace setup::windows
