// Positions and sizes of the setup windows are given in twips; one pixel is
// 15 twips.
#pragma once

#include <QRect>

namespace setup::windows {

inline constexpr int kTwipsPerPixel = 15;

// Twips to pixels, to the nearest pixel.
int Pixels(int twips);
// A rectangle given in twips (left, top, width, height), in pixels.
QRect Twips(int left, int top, int width, int height);

}  // namespace setup::windows
