// Positions and sizes of the setup windows are given in twips; one pixel is
// 15 twips.
#pragma once

#include <QFont>
#include <QRect>
#include <QStringList>

namespace setup::windows {

inline constexpr int kTwipsPerPixel = 15;

// Twips to pixels, to the nearest pixel.
int Pixels(int twips);
// A rectangle given in twips (left, top, width, height), in pixels.
QRect Twips(int left, int top, int width, int height);

// The font of the setup windows: a sans-serif face of the width the fixed
// layout was drawn for (Microsoft Sans Serif, or a face with Arial's metrics,
// Liberation Sans on Debian), 10 pixels whatever the screen's resolution:
// at 11 pixels Arial's metrics are wider than the layout's face, and the
// longest captions ("Move expired messages to:", "Password:", "Send report
// to:") ran under the controls beside them.
QFont WindowFont(const QFont& base);

}  // namespace setup::windows
