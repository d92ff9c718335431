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
    double x = visibleFrame.x + visibleFrame.width - width - margin;
    double y = visibleFrame.y + visibleFrame.height - height - margin;
    // A window larger than the frame keeps its top-left corner inside it.
    x = std::max(x, visibleFrame.x);
    y = std::max(y, visibleFrame.y);
    return {x, y, width, height};
}

}  // namespace desktop
