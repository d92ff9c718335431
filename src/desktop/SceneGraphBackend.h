#pragma once

#include <QString>

namespace desktop {

// A renderer string from OpenGL that names a rasteriser running on the CPU.
bool isSoftwareRenderer(const QString& glRenderer);

// Where OpenGL only runs on the CPU (llvmpipe on a machine without a GPU, a virtual desktop),
// windows draw with Qt Quick's own software renderer instead: it repaints only what changed,
// while GL on the CPU redraws whole windows as fast as it can. Korvane runs beside a trading
// platform and its own encoder, so an idle window must cost next to nothing. A backend chosen
// through QT_QUICK_BACKEND stands. Call after the application object, before any window.
void chooseSceneGraphBackend();

}  // namespace desktop
