// Text over a front-end image, as the viewport draws the HUD line over the view: white 5 x 7 pixel
// letters with a dark one-pixel rim, so the line reads on light and dark terrain and on the transparent
// parts of a top view (which the rim and the letters make opaque).
#pragma once

#include "pngwriter.h"

namespace host::app
{
// Width and height of one character cell in pixels (the letter and the space to the next).
inline constexpr Int32 HUDTEXT_ADVANCE = 6;
inline constexpr Int32 HUDTEXT_HEIGHT = 7;

// Draws text with its first cell's top-left corner at (x, y), clipped to the image. Printable ASCII is
// drawn as itself; every other character (a control or a whole non-ASCII UTF-8 sequence) as '?'.
void DrawText(RgbaImage& image, Int32 x, Int32 y, const String& text);
} // namespace host::app
