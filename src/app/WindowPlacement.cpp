#include "WindowPlacement.h"

#include <algorithm>

namespace app {

platform::Rect centeredLaunchFrame(const platform::Rect& visibleFrame, double fittingWidth, double fittingHeight) {
    const double width = std::max(fittingWidth, 405.0);
    const double height = std::max(fittingHeight, 350.0);
    return {visibleFrame.x + (visibleFrame.width - width) * 0.5, visibleFrame.y + (visibleFrame.height - height) * 0.5,
            width, height};
}

platform::Rect bottomRightFrame(const platform::Rect& visibleFrame, double width, double height, double margin) {
    double x = visibleFrame.x + visibleFrame.width - width - margin;
    double y = visibleFrame.y + visibleFrame.height - height - margin;
    // A window larger than the frame keeps its top-left corner inside it.
    x = std::max(x, visibleFrame.x);
    y = std::max(y, visibleFrame.y);
    return {x, y, width, height};
}

}  // namespace app
