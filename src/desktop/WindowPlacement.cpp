#include "desktop/WindowPlacement.h"

#include <algorithm>

namespace desktop {

platform::Rect centeredFrame(const platform::Rect& visibleFrame, double width, double height) {
    return {visibleFrame.x + (visibleFrame.width - width) * 0.5,
            visibleFrame.y + (visibleFrame.height - height) * 0.5, width, height};
}

platform::Rect centeredLaunchFrame(const platform::Rect& visibleFrame, double fittingWidth,
                                   double fittingHeight) {
    return centeredFrame(visibleFrame, std::max(fittingWidth, 405.0),
                         std::max(fittingHeight, 350.0));
}

platform::Rect bottomRightFrame(const platform::Rect& visibleFrame, double width, double height,
                                double margin) {
    const double right = visibleFrame.x + visibleFrame.width;
    const double bottom = visibleFrame.y + visibleFrame.height;
    double x = right - width - margin;
    double y = bottom - height - margin;
    if (x + width > right - margin) {
        x = right - margin - width;
    }
    if (x < visibleFrame.x + margin) {
        x = visibleFrame.x + margin;
    }
    if (y + height > bottom - margin) {
        y = bottom - margin - height;
    }
    if (y < visibleFrame.y + margin) {
        y = visibleFrame.y + margin;
    }
    return {x, y, width, height};
}

platform::Rect slideInStartFrame(const platform::Rect& visibleFrame, const platform::Rect& target) {
    return {target.x, visibleFrame.y + visibleFrame.height + 20, target.width, target.height};
}

}  // namespace desktop
