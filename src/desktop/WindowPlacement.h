#pragma once

#include "platform/ScreenContent.h"

namespace desktop {

// Placement rules on rectangles in the desktop's coordinates (origin top-left, y down).

// A rectangle of the given size centred in a visible frame.
platform::Rect centeredFrame(const platform::Rect& visibleFrame, double width, double height);

// The launch window: at least 405 x 350, or its content's fitting size when larger, centred in
// the visible frame of the main screen.
platform::Rect centeredLaunchFrame(const platform::Rect& visibleFrame, double fittingWidth,
                                   double fittingHeight);

// A window of a fixed size in the bottom-right corner of a visible frame, 10 points in from its
// right and bottom edges. On a frame too small for it the margins are kept in this order: right,
// left, bottom, top; so the left edge and the top edge win.
platform::Rect bottomRightFrame(const platform::Rect& visibleFrame, double width, double height,
                                double margin = 10);

// Where a slide-in starts: the target's x and size, its top edge 20 below the visible frame.
platform::Rect slideInStartFrame(const platform::Rect& visibleFrame, const platform::Rect& target);

}  // namespace desktop
